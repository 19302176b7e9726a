// Word-at-a-time scanning of byte runs: the one place that reads text
// several bytes per step, for the scans that dominate reading large files
// (long ASCII runs in ids, sequences and top-hit lines).
#pragma once

#include <bit>
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

// Whether any byte of the n bytes at s is one of the bytes in set, eight
// bytes a step: a byte equal to c is a zero byte of the word XOR c, and
// (w - 0x01..) & ~w & 0x80.. is nonzero exactly when w has a zero byte.
template <std::size_t N>
bool holds_any_of(const char* s, std::size_t n, const char (&set)[N]) noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL, kHigh = 0x8080808080808080ULL;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, s + i, 8);
        std::uint64_t zero = 0;
        for (std::size_t j = 0; j + 1 < N; ++j) {
            const std::uint64_t x = w ^ (kOnes * static_cast<unsigned char>(set[j]));
            zero |= (x - kOnes) & ~x & kHigh;
        }
        if (zero) return true;
    }
    for (; i < n; ++i)
        for (std::size_t j = 0; j + 1 < N; ++j)
            if (s[i] == set[j]) return true;
    return false;
}

namespace word_scan_detail {

inline std::uint64_t load(const char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// The offset of the lowest marked byte of a nonzero mark word (high bit of
// each byte), in memory order.
inline std::size_t first_marked(std::uint64_t mark) noexcept {
    if constexpr (std::endian::native == std::endian::little)
        return static_cast<std::size_t>(std::countr_zero(mark) >> 3);
    else
        return static_cast<std::size_t>(std::countl_zero(mark) >> 3);
}

// High bit set in each byte of w that is zero. Marks above the first
// zero byte may be false, so only the first mark counts.
inline std::uint64_t zero_bytes(std::uint64_t w) noexcept {
    return (w - 0x0101010101010101ULL) & ~w & 0x8080808080808080ULL;
}

}  // namespace word_scan_detail

// The first byte in [p, end) equal to a or b, or end; eight bytes a step
// (numbers in positional form run to hundreds of zeros).
inline const char* find_either(const char* p, const char* end, char a, char b) noexcept {
    using namespace word_scan_detail;
    const std::uint64_t wa = 0x0101010101010101ULL * static_cast<unsigned char>(a);
    const std::uint64_t wb = 0x0101010101010101ULL * static_cast<unsigned char>(b);
    for (; end - p >= 8; p += 8) {
        const std::uint64_t w = load(p);
        const std::uint64_t mark = zero_bytes(w ^ wa) | zero_bytes(w ^ wb);
        if (mark) return p + first_marked(mark);
    }
    while (p < end && *p != a && *p != b) ++p;
    return p;
}

// The first byte in [p, end) other than c, or end; eight bytes a step.
inline const char* skip_run(const char* p, const char* end, char c) noexcept {
    using namespace word_scan_detail;
    const std::uint64_t wc = 0x0101010101010101ULL * static_cast<unsigned char>(c);
    for (; end - p >= 8; p += 8) {
        const std::uint64_t w = load(p) ^ wc;  // zero bytes where p holds c
        if (w != 0) {
            if constexpr (std::endian::native == std::endian::little)
                return p + (std::countr_zero(w) >> 3);
            else
                return p + (std::countl_zero(w) >> 3);
        }
    }
    while (p < end && *p == c) ++p;
    return p;
}

}  // namespace nuvek
