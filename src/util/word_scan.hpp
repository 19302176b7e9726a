// Word-at-a-time scanning of byte runs: the one place that reads text
// several bytes per step, for the scans that dominate reading large files
// (long ASCII runs in ids, sequences and top-hit lines).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace nuvek {

// Offset of the first byte above 0x7F in the n bytes at s, or n. Reads
// 32 bytes a step while they are all ASCII, then finishes byte by byte.
inline std::size_t first_non_ascii(const unsigned char* s, std::size_t n) noexcept {
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        std::uint64_t w[4];
        std::memcpy(w, s + i, 32);
        if (((w[0] | w[1] | w[2] | w[3]) & kHigh) != 0) break;
    }
    for (; i < n; ++i)
        if (s[i] >= 0x80) return i;
    return n;
}

inline std::size_t first_non_ascii(const char* s, std::size_t n) noexcept {
    return first_non_ascii(reinterpret_cast<const unsigned char*>(s), n);
}

}  // namespace nuvek
