#include "util/memory.hpp"

#include <unistd.h>

namespace nuvek {

std::uint64_t physical_memory_bytes() noexcept {
    static const std::uint64_t bytes = [] {
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long page_size = sysconf(_SC_PAGE_SIZE);
        if (pages <= 0 || page_size <= 0) return std::uint64_t{1} << 32;
        return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
    }();
    return bytes;
}

}  // namespace nuvek
