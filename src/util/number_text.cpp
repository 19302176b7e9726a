#include "util/number_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "util/platform.hpp"
#include "util/word_scan.hpp"

namespace nuvek {

namespace {

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

template <std::size_t N>
char* copy_text(char* p, const char (&text)[N]) {
    std::memcpy(p, text, N - 1);
    return p + (N - 1);
}

bool equals_ignoring_case(const char* p, const char* end, std::string_view lower) {
    if (static_cast<std::size_t>(end - p) != lower.size()) return false;
    for (const char c : lower) {
        if ((*p >= 'A' && *p <= 'Z' ? static_cast<char>(*p - 'A' + 'a') : *p) != c) return false;
        ++p;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Extended precision (x87): both directions convert most numbers with one
// long double operation whose error is bounded, and fall back to the
// exact library conversions when the bound cannot decide. Measured in
// benchmarks/bench_tophit.py (--portable-build).

#if NUVEK_X86_FAST_PATHS
inline constexpr bool kX87 = std::numeric_limits<long double>::digits == 64;
constexpr int kPow10Min = -350, kPow10Max = 350;

// 10^j rounded to the nearest long double, for kPow10Min <= j <= kPow10Max,
// built when the module loads so that lookups need no guard.
struct Pow10Table {
    long double values[kPow10Max - kPow10Min + 1];
    Pow10Table() {
        // The C library converts decimal text with correct rounding.
        char text[16];
        for (int i = kPow10Min; i <= kPow10Max; ++i) {
            std::snprintf(text, sizeof text, "1e%d", i);
            values[i - kPow10Min] = std::strtold(text, nullptr);
        }
    }
};
const Pow10Table kPow10;

inline long double pow10(int j) noexcept { return kPow10.values[j - kPow10Min]; }

// True when long double operations round to the full 64-bit significand
// right now: the x87 precision-control field can shorten them to 53 bits.
inline bool extended_precise() noexcept {
    if constexpr (!kX87) return false;
    unsigned short cw;
    __asm__ volatile("fnstcw %0" : "=m"(cw));
    return (cw & 0x300) == 0x300;
}

// Shortest digits of a positive normal double with at most 15 significant
// digits: v is digits x 10^exp10 with no trailing zeros in digits. False
// when v needs more digits or the check below cannot decide.
//
// Why one candidate suffices: with k = floor(log10 v) - 14 (or one more),
// the multiples of 10^k lie more than four times the gap between doubles
// apart, so at most one of them reads back as v, and it is the multiple
// nearest to v. Any shorter text that reads back as v is such a multiple
// too, so the shortest text is that candidate with its zeros stripped.
// The candidate is found in long double arithmetic whose error is bounded
// by 2^-62 relative, and tested with a margin of 2^-58 relative that covers
// that error and the rounding of the test itself.
bool short_digits(double v, std::uint64_t& digits, int& exp10) {
    if (!extended_precise()) return false;
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const int biased = static_cast<int>(bits >> 52);
    if (biased == 0) return false;  // subnormal gaps are not relative to the value
    const int e2 = biased - 1023;                // v in [2^e2, 2^(e2+1))
    const int upper = ((e2 + 1) * 78913) >> 18;  // floor((e2+1) log10 2): floor(log10 v) or one more
    const int j = 14 - upper;                    // v x 10^j has 14 or 15 digits before the point
    const long double x = static_cast<long double>(v) * pow10(j);
    // The integer nearest to x (x < 2^62): adding 1.5 x 2^63 leaves no bits
    // below the units.
    const long double rounded = (x + 0x1.8p63L) - 0x1.8p63L;
    const double r = static_cast<double>(x - rounded);  // exact: x and rounded are within a factor 2
    // The candidate reads back as v when |r| is below half the gap to the
    // neighbouring double on its side, in units of 10^-j: x 2^-53 / m1, with
    // m1 in [1, 2) the significand of v; below a power of two (candidate
    // below v: r > 0) the gap is half as wide.
    const std::uint64_t fraction = bits & 0x000FFFFFFFFFFFFFull;
    const std::uint64_t m1_bits = fraction | 0x3FF0000000000000ull;
    double m1;
    std::memcpy(&m1, &m1_bits, sizeof m1);
    const bool narrow = fraction == 0 && biased > 1 && r > 0;
    const double limit = static_cast<double>(x) * (narrow ? 0x1p-54 - 0x1p-59 : 0x1p-53 - 0x1p-58);
    if (!(std::fabs(r) * m1 < limit)) return false;
    std::uint64_t m = static_cast<std::uint64_t>(static_cast<double>(rounded));  // exact: below 2^53
    int e = -j;
    // Strip the zeros (at most 14) in halving steps.
    if (m % 100000000 == 0) m /= 100000000, e += 8;
    if (m % 10000 == 0) m /= 10000, e += 4;
    if (m % 100 == 0) m /= 100, e += 2;
    if (m % 10 == 0) m /= 10, e += 1;
    digits = m;
    exp10 = e;
    return true;
}

// mantissa x 10^power (0 < mantissa < 10^19) rounded to the nearest double,
// when the product in extended precision (within 3 units of its last place
// of the exact value) cannot lie next to a halfway point between doubles.
bool convert_extended(std::uint64_t mantissa, long long power, double& out) {
    if (power < kPow10Min || power > kPow10Max || !extended_precise()) return false;
    const long double y = static_cast<long double>(mantissa) * pow10(static_cast<int>(power));
    if (!(y >= 0x1p-1022L && y < 0x1p1023L)) return false;  // a normal double, not in the top binade
    std::uint64_t significand;
    std::memcpy(&significand, &y, sizeof significand);
    const unsigned below = static_cast<unsigned>(significand & 0x7FF);  // the 11 bits below the double's last place
    if (below + 8 >= 1024 && below <= 1024 + 8) return false;
    out = static_cast<double>(y);
    return true;
}
#else
bool short_digits(double, std::uint64_t&, int&) { return false; }
bool convert_extended(std::uint64_t, long long, double&) { return false; }
#endif

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes the decimal digits of m ending at end, two at a time; returns
// their start.
char* digits_before(char* end, std::uint64_t m) {
    while (m >= 100) {
        end -= 2;
        std::memcpy(end, kDigitPairs + (m % 100) * 2, 2);
        m /= 100;
    }
    if (m >= 10) {
        end -= 2;
        std::memcpy(end, kDigitPairs + m * 2, 2);
    } else {
        *--end = static_cast<char>('0' + m);
    }
    return end;
}

// Shortest round-trip digits of a positive finite v, without trailing
// zeros, written into buf (64 bytes); returns where they start, their
// count n, and k such that the value is 0.d1...dn x 10^k.
const char* shortest_digits(double v, char* buf, int& n, int& k) {
    std::uint64_t m;
    int exp10;
    if (short_digits(v, m, exp10)) {
        char* const last = buf + 32;
        const char* const digits = digits_before(last, m);
        n = static_cast<int>(last - digits);
        k = exp10 + n;
        return digits;
    }
    // d[.ddd]e(+|-)XX, then the point dropped in place.
    const char* const end = std::to_chars(buf, buf + 32, v, std::chars_format::scientific).ptr;
    const char* e = end;
    while (e[-1] != 'e') --e;
    int exp = 0;  // a sign and at least two digits follow the 'e'
    for (const char* q = e + 1; q < end; ++q) exp = exp * 10 + (*q - '0');
    if (*e == '-') exp = -exp;
    char* w = buf + 1;
    for (const char* q = buf + 2; q < e - 1; ++q) *w++ = *q;
    n = static_cast<int>(w - buf);
    while (n > 1 && buf[n - 1] == '0') --n;
    k = exp + 1;
    return buf;
}

constexpr double kExactPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                  1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

}  // namespace

// The layout writes whole words: the digits as 24 bytes (at most 17 of
// them count) and runs of zeros in steps of 16 bytes. What lands past the
// end of the text stays within the kMaxNumberChars of room the caller
// provides (at most 350 bytes from the start of the number) and is
// overwritten or ignored. Fixed sizes compile to plain stores instead of
// library calls (benchmarks/bench_tophit.py, write()).
inline void copy_digits(char* dst, const char* src) { std::memcpy(dst, src, 24); }

inline void fill_zeros(char* dst, int n) {
    for (int i = 0; i < n; i += 16) std::memcpy(dst + i, "0000000000000000", 16);
}

char* write_number(char* p, double v) noexcept {
    if (std::isnan(v)) return copy_text(p, "NaN");
    if (std::signbit(v)) *p++ = '-';
    if (std::isinf(v)) return copy_text(p, "inf");
    if (v == 0) {
        *p++ = '0';
        return p;
    }
    char buf[64] = {};  // 24 bytes are readable from wherever the digits start
    int n, k;
    const char* const digits = shortest_digits(std::fabs(v), buf, n, k);
    if (k <= 0) {
        *p++ = '0';
        *p++ = '.';
        fill_zeros(p, -k);
        p += -k;
        copy_digits(p, digits);
        return p + n;
    }
    if (k < n) {
        copy_digits(p, digits);
        p[k] = '.';
        copy_digits(p + k + 1, digits + k);
        return p + n + 1;
    }
    copy_digits(p, digits);
    fill_zeros(p + n, k - n);
    return p + k;
}

void append_number(std::string& out, double v) {
    char buf[kMaxNumberChars];
    out.append(buf, static_cast<std::size_t>(write_number(buf, v) - buf));
}

ParsedNumber parse_number(const char* p, const char* end, const char*& stop) noexcept {
    stop = p;
    const bool negative = p < end && *p == '-';
    if (p < end && (negative || *p == '+')) ++p;
    const char* const unsigned_start = p;
    const double sign = negative ? -1.0 : 1.0;

    if (p == end || (!is_digit(*p) && *p != '.')) {
        const char* q = p;
        while (q < end && ((*q | 0x20) >= 'a' && (*q | 0x20) <= 'z')) ++q;
        stop = q;
        if (equals_ignoring_case(p, q, "inf") || equals_ignoring_case(p, q, "infinity"))
            return {sign * std::numeric_limits<double>::infinity(), NumberError::None};
        if (equals_ignoring_case(p, q, "nan"))
            return {std::copysign(std::numeric_limits<double>::quiet_NaN(), sign), NumberError::None};
        return {0, NumberError::Invalid};
    }

    // The one pass over the grammar: digits with at most one point, then an
    // optional exponent. The digits from the first nonzero one on are
    // gathered in mantissa, which holds them exactly when there are at most
    // 19; the value is then mantissa x 10^(scale + exponent). magnitude is
    // the decimal position of the first nonzero digit (0.d x 10^magnitude).
    p = skip_run(p, end, '0');
    const char* const first = p;
    std::uint64_t mantissa = 0;
    for (; p < end && is_digit(*p); ++p) mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
    const long long whole = p - first;  // integer digits from the first nonzero one
    long long significant = whole, scale = 0, magnitude = whole;
    bool any = p > unsigned_start;
    if (p < end && *p == '.') {
        const char* const fraction = ++p;
        if (whole == 0) {
            // The zeros after the point of a small value's positional form.
            p = skip_run(p, end, '0');
            magnitude = -(p - fraction);
        }
        const char* const digits = p;
        for (; p < end && is_digit(*p); ++p) mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
        significant += p - digits;
        scale = -(p - fraction);
        any = any || p > fraction;
    }
    if (!any) return {0, NumberError::Invalid};
    long long exponent = 0;
    if (p < end && (*p | 0x20) == 'e') {
        ++p;
        const bool exponent_negative = p < end && *p == '-';
        if (p < end && (*p == '+' || *p == '-')) ++p;
        const char* const exponent_digits = p;
        for (; p < end && is_digit(*p); ++p)
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (*p - '0');
        if (p == exponent_digits) return {0, NumberError::Invalid};
        if (exponent_negative) exponent = -exponent;
    }
    stop = p;

    if (significant <= 19 && mantissa == 0) return {sign * 0.0, NumberError::None};
    if (significant <= 19) {
        const long long power = scale + exponent;
        // Exact operands give one correctly rounded operation.
        if (mantissa <= (std::uint64_t{1} << 53) && power >= -22 && power <= 22) {
            const double m = static_cast<double>(mantissa);
            return {sign * (power < 0 ? m / kExactPow10[-power] : m * kExactPow10[power]), NumberError::None};
        }
        double value;
        if (convert_extended(mantissa, power, value)) return {sign * value, NumberError::None};
    }
    double value = 0;
    const auto res = std::from_chars(unsigned_start, p, value, std::chars_format::general);
    if (res.ec == std::errc::result_out_of_range)
        value = magnitude + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return {sign * value, NumberError::None};
}

}  // namespace nuvek
