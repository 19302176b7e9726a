// Extended-precision helpers shared by the number writer and reader: powers
// of ten as long doubles and a check that long double arithmetic really
// carries its 64-bit significand. Both fast paths bound their rounding
// errors by that precision and fall back to exact conversions otherwise.
#pragma once

#include <limits>

namespace nuvek::extended {

inline constexpr int kPow10Min = -350;
inline constexpr int kPow10Max = 350;

// 10^j rounded to the nearest long double, for kPow10Min <= j <= kPow10Max.
const long double* pow10_table() noexcept;

inline long double pow10(const long double* table, int j) noexcept { return table[j - kPow10Min]; }

// The fast paths read the significand of x87 extended values directly.
inline constexpr bool kX87 =
#if defined(__x86_64__) || defined(__i386__)
    std::numeric_limits<long double>::digits == 64;
#else
    false;
#endif

// True when long double operations round to the full 64-bit significand
// right now: the x87 precision-control field can shorten them to 53 bits,
// and the fast paths are then skipped.
inline bool precise() noexcept {
    if constexpr (kX87) {
        unsigned short cw;
        __asm__ volatile("fnstcw %0" : "=m"(cw));
        return (cw & 0x300) == 0x300;
    } else {
        return false;
    }
}

}  // namespace nuvek::extended
