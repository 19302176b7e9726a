// Limits for allocations whose size follows the input rather than the data:
// a request larger than the memory the process may still take is refused
// with std::bad_alloc (MemoryError in Python) before anything is allocated,
// so that a call fails cleanly instead of letting the kernel kill the
// process (a container's or batch job's memory limit) or an allocation fail
// half-way through building a result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>

namespace nuvek {

// Installed physical memory in bytes (read once).
std::uint64_t physical_memory_bytes() noexcept;

// The most this process may still allocate: the smallest of physical memory,
// the memory cgroup's limit less what the group already uses without
// being able to give back (anonymous and shared memory; file cache is
// reclaimable), and the address-space and data-size limits (RLIMIT_AS,
// RLIMIT_DATA) less what the process already maps. Limits are read afresh
// on every call (tens of microseconds), since they and the use change.
std::uint64_t allocatable_bytes() noexcept;

// a * b, or nothing when the product does not fit in 64 bits.
inline std::optional<std::uint64_t> checked_mul(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t r;
    if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
    return r;
}

// Requests up to this size are measured against physical memory only: the
// allocator's own failure still becomes MemoryError, and the check stays a
// comparison for the many small results of per-record calls.
inline constexpr std::uint64_t kLimitCheckBytes = std::uint64_t{16} << 20;

// Memory the process keeps for reuse (the memory of freed results) counts
// against its limits: whoever keeps some registers a function that gives
// it all back, and these are called before a request is refused for want
// of room. At most a few are registered; extra ones are ignored.
using KeptMemoryRelease = void (*)() noexcept;
void on_memory_short(KeptMemoryRelease release) noexcept;
// Calls every registered release.
void release_kept_memory() noexcept;

// Throws std::bad_alloc unless count items of item_bytes each fit in the
// memory this process may still take (once kept memory is given back).
inline void require_fits(std::uint64_t count, std::uint64_t item_bytes) {
    auto bytes = checked_mul(count, item_bytes);
    if (!bytes || *bytes > physical_memory_bytes()) throw std::bad_alloc();
    if (*bytes > kLimitCheckBytes && *bytes > allocatable_bytes()) {
        release_kept_memory();
        if (*bytes > allocatable_bytes()) throw std::bad_alloc();
    }
}

}  // namespace nuvek
