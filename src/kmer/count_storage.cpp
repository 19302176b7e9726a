#include "kmer/count_storage.hpp"

#include <sys/mman.h>

#include <bit>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "util/memory.hpp"

namespace nuvek {
namespace {

constexpr std::size_t kBlock = std::size_t{2} << 20;  // one huge page
// Below this size the ordinary heap serves: it reuses the memory of freed
// results without new page faults. Small results were tried in the blocks
// too (100,000 reads at k = 4: 200 MB of 2 KiB results, twice as fast
// once warm), but on a virtual machine fresh huge pages can cost the host
// a fault per 4 KiB: a second such call while the first one's results were
// still alive took 1.2 to 2 s instead of 0.2 s.
constexpr std::size_t kBlockFrom = std::size_t{64} << 10;
// Up to this size results share blocks; above it each gets its own.
constexpr std::size_t kShareUpTo = kBlock / 2;
// Results in a shared block start on a cache line of their own.
constexpr std::size_t kLine = 64;

std::size_t round_up(std::size_t n, std::size_t unit) { return (n + unit - 1) / unit * unit; }

// At most this much memory of live results is asked to be backed by huge
// pages; further blocks take 4 KiB pages. On a virtual machine a fresh huge
// page can cost the host a fault per 4 KiB: with no cap, 256 MB of results
// (500 records at k = 8) alive and as many more asked for, calls took 1 to
// 2.4 s instead of 0.1 to 0.3 s. With this cap the same run takes 0.16 to
// 0.5 s per call, and one result of 128 MB (5 Mbp at k = 12) takes a few
// dozen faults instead of 32,000 (a third of the call's time): a cap of
// 64 MB left it in 4 KiB pages.
constexpr std::size_t kHugeCap = std::size_t{256} << 20;
// Freed blocks of one huge page are kept, up to this much, and handed out
// again before any fresh memory is mapped: a fresh huge page is zeroed by
// the kernel on its first touch, which took a third of the time of
// counting a 5 Mbp genome of 100 contigs at k = 8 when its results were
// made afresh on every call. The memory stays with the process meanwhile.
constexpr std::size_t kKeepCap = std::size_t{64} << 20;
// Freed mappings of more than a block, up to this size each, are kept too,
// for the next request of their size: one sequence at k = 12 takes three
// (the window codes, 40 MB for 5 Mbp; their low bits spread by bucket, 20
// MB; the result, 128 MB), and each was fresh memory on every call, whose
// zeroing by the kernel took a third of the call. With room for one, the
// codes' mapping pushed out the result's. The newest kSpares, up to
// kSparesCap in all, are kept; they are given back as soon as a mapping
// fails.
constexpr std::size_t kSpareCap = std::size_t{128} << 20;
constexpr std::size_t kSpares = 3;
constexpr std::size_t kSparesCap = std::size_t{192} << 20;

// The blocks: the results living in each shared block, and the huge-page
// memory handed out. The shared block being filled is never given back
// before the next one is taken.
struct Blocks {
    std::mutex lock;
    char* current = nullptr;
    std::size_t used = 0;
    std::unordered_map<std::uintptr_t, std::size_t> live;     // shared block -> results in it
    std::unordered_map<std::uintptr_t, std::size_t> advised;  // mapping -> its bytes, huge pages asked
    std::size_t advised_bytes = 0;
    std::vector<char*> kept;  // freed single blocks, ready for reuse
    struct Spare {
        char* p = nullptr;
        std::size_t bytes = 0;
    };
    Spare spares[kSpares];  // freed larger mappings, ready for reuse, oldest first
    std::size_t nspares = 0;
    std::size_t spares_bytes = 0;
};

void release_kept_blocks() noexcept;

Blocks& blocks() {
    static Blocks* s = [] {
        auto* b = new Blocks;  // never destroyed: results may outlive static destruction
        b->kept.reserve(kKeepCap / kBlock);  // so that keeping a block never allocates
        on_memory_short(&release_kept_blocks);
        return b;
    }();
    return *s;
}

// Gives a mapping back to the kernel. Called with the lock held.
void unmap_now(Blocks& s, void* p, std::size_t bytes) noexcept {
    munmap(p, bytes);
    auto it = s.advised.find(reinterpret_cast<std::uintptr_t>(p));
    if (it == s.advised.end()) return;
    s.advised_bytes -= it->second;
    s.advised.erase(it);
}

// Forgets the i-th spare (not unmapped). Called with the lock held.
void remove_spare(Blocks& s, std::size_t i) noexcept {
    s.spares_bytes -= s.spares[i].bytes;
    for (std::size_t j = i + 1; j < s.nspares; ++j) s.spares[j - 1] = s.spares[j];
    --s.nspares;
}

// Takes the newest kept spare of exactly bytes, or null. Called with the
// lock held.
char* take_spare(Blocks& s, std::size_t bytes) noexcept {
    for (std::size_t i = s.nspares; i-- > 0;) {
        if (s.spares[i].bytes != bytes) continue;
        char* p = s.spares[i].p;
        remove_spare(s, i);
        return p;
    }
    return nullptr;
}

// Gives every spare back. Called with the lock held.
void unmap_spares(Blocks& s) noexcept {
    for (std::size_t i = 0; i < s.nspares; ++i) unmap_now(s, s.spares[i].p, s.spares[i].bytes);
    s.nspares = 0;
    s.spares_bytes = 0;
}

// bytes (a multiple of kBlock) of memory aligned to kBlock: a kept block
// or mapping of that size, else fresh memory asked to be backed by huge
// pages while under the cap; null when the mapping fails. Called with the
// lock held.
char* map_blocks(Blocks& s, std::size_t bytes) noexcept {
    if (bytes == kBlock && !s.kept.empty()) {
        char* block = s.kept.back();
        s.kept.pop_back();
        return block;
    }
    if (char* p = take_spare(s, bytes)) return p;
    const std::size_t span = bytes + kBlock;
    if (span < bytes) return nullptr;
    void* p = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED && s.nspares > 0) {
        unmap_spares(s);
        p = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    }
    if (p == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(p);
    const auto aligned = (start + kBlock - 1) & ~std::uintptr_t{kBlock - 1};
    // Unmap the unaligned head and the rest of the tail.
    if (aligned > start) munmap(p, aligned - start);
    const std::size_t tail = span - (aligned - start) - bytes;
    if (tail > 0) munmap(reinterpret_cast<void*>(aligned + bytes), tail);
#ifdef MADV_HUGEPAGE
    if (s.advised_bytes + bytes <= kHugeCap) {
        try {
            s.advised.emplace(aligned, bytes);
            s.advised_bytes += bytes;
            madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);
        } catch (...) {
            // No room to note it: the block simply stays in 4 KiB pages.
        }
    }
#endif
    return reinterpret_cast<char*>(aligned);
}

// Gives the kept blocks and the spare mappings back: a request that would
// not fit otherwise.
void release_kept_blocks() noexcept {
    Blocks& s = blocks();
    std::lock_guard<std::mutex> guard(s.lock);
    for (char* block : s.kept) unmap_now(s, block, kBlock);
    s.kept.clear();
    unmap_spares(s);
}

// Called with the lock held.
void unmap_blocks(Blocks& s, void* p, std::size_t bytes) noexcept {
    if (bytes == kBlock && (s.kept.size() + 1) * kBlock <= kKeepCap && s.kept.size() < s.kept.capacity()) {
        s.kept.push_back(static_cast<char*>(p));
        return;
    }
    if (bytes > kBlock && bytes <= kSpareCap) {
        // The newest freed mappings are kept; the oldest go to make room.
        while (s.nspares > 0 && (s.nspares == kSpares || s.spares_bytes + bytes > kSparesCap)) {
            unmap_now(s, s.spares[0].p, s.spares[0].bytes);
            remove_spare(s, 0);
        }
        s.spares[s.nspares++] = Blocks::Spare{static_cast<char*>(p), bytes};
        s.spares_bytes += bytes;
        return;
    }
    unmap_now(s, p, bytes);
}

void* allocate_shared(std::size_t bytes) {
    bytes = round_up(bytes, kLine);
    Blocks& s = blocks();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.current || kBlock - s.used < bytes) {
        char* block = map_blocks(s, kBlock);
        if (!block) throw std::bad_alloc();
        try {
            s.live.emplace(reinterpret_cast<std::uintptr_t>(block), 0);
        } catch (...) {
            unmap_blocks(s, block, kBlock);
            throw;
        }
        if (s.current) {
            auto old = s.live.find(reinterpret_cast<std::uintptr_t>(s.current));
            if (old->second == 0) {
                unmap_blocks(s, s.current, kBlock);
                s.live.erase(old);
            }
        }
        s.current = block;
        s.used = 0;
    }
    char* p = s.current + s.used;
    s.used += bytes;
    ++s.live[reinterpret_cast<std::uintptr_t>(s.current)];
    return p;
}

void release_shared(void* p) noexcept {
    const auto block = reinterpret_cast<std::uintptr_t>(p) & ~std::uintptr_t{kBlock - 1};
    Blocks& s = blocks();
    std::lock_guard<std::mutex> guard(s.lock);
    auto it = s.live.find(block);
    if (it == s.live.end()) return;
    if (--it->second != 0) return;
    if (reinterpret_cast<char*>(block) == s.current) {
        s.used = 0;  // empty again: refilled from its start
        return;
    }
    unmap_blocks(s, reinterpret_cast<void*>(block), kBlock);
    s.live.erase(it);
}

// Small results (below kBlockFrom: the counts of reads and short records)
// come from the heap, in sizes rounded up to a quarter of their power of
// two, and freed ones are kept by size, up to kSmallCap in all, for the
// next results: the heap gave the memory of a dropped call's results back
// to the kernel, and the next call faulted it in again (1,000 records of 1
// kbp at k = 6: 850 page faults, a quarter of the call).
constexpr std::size_t kSmallCap = std::size_t{64} << 20;
// Blocks below this size are left to the heap, which reuses them at once
// without faults: keeping 6,666 reads' counts of 256 bytes at k = 4 took
// their room from the heap's other requests, which then faulted fresh
// memory in (45 -> 426 faults a call).
constexpr std::size_t kSmallFrom = 1024;

struct Small {
    std::mutex lock;
    std::unordered_map<std::size_t, std::vector<void*>> by_size;  // most recently freed last
    std::size_t bytes = 0;
};

void release_small() noexcept;

Small& small() {
    static Small* s = [] {
        auto* k = new Small;  // never destroyed: results may outlive static destruction
        on_memory_short(&release_small);
        return k;
    }();
    return *s;
}

// Gives every kept small block back to the heap.
void release_small() noexcept {
    Small& s = small();
    std::unordered_map<std::size_t, std::vector<void*>> all;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        all.swap(s.by_size);
        s.bytes = 0;
    }
    for (const auto& [bytes, blocks] : all)
        for (void* p : blocks) ::operator delete(p);
}

// bytes (from kSmallFrom) rounded up to a quarter of their power of two.
std::size_t small_size(std::size_t bytes) {
    return round_up(bytes, std::size_t{1} << (std::bit_width(bytes - 1) - 3));
}

void* take_small(std::size_t bytes) {
    if (bytes < kSmallFrom) return ::operator new(bytes);
    const std::size_t size = small_size(bytes);
    Small& s = small();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        auto it = s.by_size.find(size);
        if (it != s.by_size.end() && !it->second.empty()) {
            void* p = it->second.back();
            it->second.pop_back();
            s.bytes -= size;
            return p;
        }
    }
    return ::operator new(size);
}

void keep_small(void* p, std::size_t bytes) noexcept {
    if (bytes < kSmallFrom) {
        ::operator delete(p);
        return;
    }
    const std::size_t size = small_size(bytes);
    Small& s = small();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (s.bytes + size <= kSmallCap) {
            try {
                s.by_size[size].push_back(p);
                s.bytes += size;
                return;
            } catch (...) {
                // No room to note it: given back below.
            }
        }
    }
    ::operator delete(p);
}

}  // namespace

void advise_huge_pages(void* data, std::size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
    constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
    if (bytes < 2 * kHuge) return;
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kHuge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

void* allocate_counts(std::size_t bytes) {
    if (bytes < kBlockFrom) return take_small(bytes);
    if (bytes <= kShareUpTo) return allocate_shared(bytes);
    const std::size_t mapped = round_up(bytes, kBlock);
    if (mapped < bytes) throw std::bad_alloc();
    Blocks& s = blocks();
    std::lock_guard<std::mutex> guard(s.lock);
    char* p = map_blocks(s, mapped);
    if (!p) throw std::bad_alloc();
    return p;
}

void release_counts(void* p, std::size_t bytes) noexcept {
    if (!p) return;
    if (bytes < kBlockFrom) {
        keep_small(p, bytes);
        return;
    }
    if (bytes <= kShareUpTo) {
        release_shared(p);
        return;
    }
    Blocks& s = blocks();
    std::lock_guard<std::mutex> guard(s.lock);
    unmap_blocks(s, p, round_up(bytes, kBlock));
}

}  // namespace nuvek
