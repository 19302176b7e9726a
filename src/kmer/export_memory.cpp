#include "kmer/export_memory.hpp"

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

struct Kept {
    std::mutex lock;
    std::unordered_map<std::size_t, std::vector<void*>> by_size;  // most recently freed last
    std::size_t bytes = 0;
    std::size_t cap = 0;
};

Kept& kept() {
    static Kept* s = [] {
        auto* k = new Kept;  // never destroyed: results may outlive static destruction
        k->cap = static_cast<std::size_t>(std::min(physical_memory_bytes() / 32, std::uint64_t{256} << 20));
        return k;
    }();
    return *s;
}

}  // namespace

void* take_export_memory(std::size_t bytes, bool zeroed) {
    Kept& s = kept();
    void* p = nullptr;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        auto it = s.by_size.find(bytes);
        if (it != s.by_size.end() && !it->second.empty()) {
            p = it->second.back();
            it->second.pop_back();
            s.bytes -= bytes;
        }
    }
    if (p) {
        // Already faulted in: zeroing it is a plain store at the memory's
        // speed, where fresh pages would cost a fault each.
        if (zeroed) std::memset(p, 0, bytes);
        return p;
    }
    // Fresh memory: calloc leaves pages the kernel zeroed untouched. From
    // 4 MiB on they are asked to be huge pages, as numpy does for its
    // arrays: one fault per 2 MiB instead of one per 4 KiB.
    p = zeroed ? std::calloc(bytes, 1) : std::malloc(bytes);
    if (!p) throw std::bad_alloc();
    advise_huge_pages(p, bytes);
    return p;
}

void give_back_export_memory(void* p, std::size_t bytes) noexcept {
    if (!p) return;
    Kept& s = kept();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (s.bytes + bytes <= s.cap) {
            try {
                s.by_size[bytes].push_back(p);
                s.bytes += bytes;
                return;
            } catch (...) {
                // No room to note it: given back below.
            }
        }
    }
    std::free(p);
}

}  // namespace nuvek
