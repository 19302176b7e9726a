// Limits for allocations whose size follows the input rather than the data:
// a request larger than the machine's physical memory is refused with
// std::bad_alloc (MemoryError in Python) before anything is allocated, so
// that a call fails cleanly instead of letting the kernel kill the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>

namespace nuvek {

// Installed physical memory in bytes (read once).
std::uint64_t physical_memory_bytes() noexcept;

// a * b, or nothing when the product does not fit in 64 bits.
inline std::optional<std::uint64_t> checked_mul(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t r;
    if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
    return r;
}

// Throws std::bad_alloc unless count items of item_bytes each fit in
// physical memory.
inline void require_fits(std::uint64_t count, std::uint64_t item_bytes) {
    auto bytes = checked_mul(count, item_bytes);
    if (!bytes || *bytes > physical_memory_bytes()) throw std::bad_alloc();
}

}  // namespace nuvek
