#include "kmer/export_memory.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "kmer/count_storage.hpp"
#include "util/memory.hpp"

namespace nuvek {
namespace {

// From this size on a vector is a mapping of its own: fresh mappings read
// as zeros without a store, and a mapping's pages can be offered back to
// the kernel while it is kept (below). Smaller vectors come from the heap.
constexpr std::size_t kMapFrom = std::size_t{64} << 10;
// From this size on a fresh mapping is backed by huge pages (map_fresh).
constexpr std::size_t kHugeFrom = std::size_t{4} << 20;

struct Block {
    void* p;
    bool offered;  // pages offered back to the kernel (MADV_FREE)
    bool clean;    // all zeros
};

struct Kept {
    std::mutex lock;
    std::unordered_map<std::size_t, std::vector<Block>> by_size;  // most recently freed last
    std::size_t resident = 0;  // bytes kept as they are
    std::size_t offered = 0;   // bytes kept with their pages offered back
    std::size_t resident_cap = 0;
    std::size_t offered_cap = 0;
};

bool mapped(std::size_t bytes) { return bytes >= kMapFrom; }

void release(void* p, std::size_t bytes) noexcept {
    if (mapped(bytes)) munmap(p, bytes);
    else std::free(p);
}

void release_all() noexcept;

Kept& kept() {
    static Kept* s = [] {
        auto* k = new Kept;  // never destroyed: results may outlive static destruction
        const std::uint64_t memory = std::min(physical_memory_bytes(), allocatable_bytes());
        k->resident_cap = static_cast<std::size_t>(std::min(memory / 32, std::uint64_t{256} << 20));
        k->offered_cap = static_cast<std::size_t>(memory / 4);
        on_memory_short(&release_all);
        return k;
    }();
    return *s;
}

// Gives every kept vector back: a request that would not fit otherwise.
void release_all() noexcept {
    Kept& s = kept();
    std::unordered_map<std::size_t, std::vector<Block>> all;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        all.swap(s.by_size);
        s.resident = s.offered = 0;
    }
    for (const auto& [bytes, blocks] : all)
        for (const Block& b : blocks) release(b.p, bytes);
}

// A fresh mapping of bytes; from kHugeFrom on it starts on a 2 MiB boundary
// and is asked to be backed by huge pages, as numpy asks for its own arrays
// of that size: a vector of 8 MB then costs 4 faults instead of 2,048 (on
// bare metal always a gain; on a virtual machine both kinds of page are at
// the mercy of the host's backing, see docs/benchmarks.md).
void* map_fresh(std::size_t bytes) noexcept {
    constexpr std::size_t kHuge = std::size_t{1} << 21;
    const std::size_t span = bytes >= kHugeFrom ? bytes + kHuge : bytes;
    if (span < bytes) return nullptr;
    void* p = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    if (span == bytes) return p;
    const auto start = reinterpret_cast<std::uintptr_t>(p);
    const auto aligned = (start + kHuge - 1) & ~std::uintptr_t{kHuge - 1};
    // Unmap the unaligned head and the rest of the tail.
    if (aligned > start) munmap(p, aligned - start);
    const std::size_t tail = span - (aligned - start) - bytes;
    if (tail > 0) munmap(reinterpret_cast<void*>(aligned + bytes), tail);
    advise_huge_pages(reinterpret_cast<void*>(aligned), bytes);
    return reinterpret_cast<void*>(aligned);
}

void* fresh(std::size_t bytes, bool zeroed) noexcept {
    if (mapped(bytes)) return map_fresh(bytes);
    return zeroed ? std::calloc(bytes, 1) : std::malloc(bytes);
}

// Offers a kept mapping's pages back to the kernel: they stay mapped, and
// the kernel takes them only when it runs short of memory; until then a
// store to them costs no page fault. False when the kernel cannot do that.
bool offer_pages(void* p, std::size_t bytes) noexcept {
#ifdef MADV_FREE
    return madvise(p, bytes, MADV_FREE) == 0;
#else
    (void)p;
    (void)bytes;
    return false;
#endif
}

}  // namespace

void* take_export_memory(std::size_t bytes, bool zeroed) {
    Kept& s = kept();
    void* p = nullptr;
    bool clean = false;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        auto it = s.by_size.find(bytes);
        if (it != s.by_size.end() && !it->second.empty()) {
            const Block b = it->second.back();
            it->second.pop_back();
            (b.offered ? s.offered : s.resident) -= bytes;
            p = b.p;
            clean = b.clean;
        }
    }
    if (p) {
        // Already faulted in: zeroing it is a plain store at the memory's
        // speed, where fresh pages would cost a fault each. Pages the
        // kernel took back meanwhile read as zeros and fault in again.
        if (zeroed && !clean) std::memset(p, 0, bytes);
        return p;
    }
    p = fresh(bytes, zeroed);
    if (!p) {
        release_all();  // kept vectors of other sizes
        p = fresh(bytes, zeroed);
    }
    if (!p) throw std::bad_alloc();
    return p;
}

void give_back_export_memory(void* p, std::size_t bytes, bool clean) noexcept {
    if (!p) return;
    Kept& s = kept();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        // Kept as it is up to the first cap; beyond it, with its pages
        // offered back, up to the second.
        bool offered = false;
        bool keep = s.resident + bytes <= s.resident_cap;
        if (!keep && mapped(bytes) && s.offered + bytes <= s.offered_cap) keep = offered = offer_pages(p, bytes);
        if (keep) {
            try {
                s.by_size[bytes].push_back(Block{p, offered, clean});
                (offered ? s.offered : s.resident) += bytes;
                return;
            } catch (...) {
                // No room to note it: given back below.
            }
        }
    }
    release(p, bytes);
}

}  // namespace nuvek
