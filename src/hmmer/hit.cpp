#include "hmmer/hit.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "hmmer/extended.hpp"

namespace nuvek {

namespace {

template <std::size_t N>
char* copy_text(char* p, const char (&text)[N]) {
    std::memcpy(p, text, N - 1);
    return p + (N - 1);
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
bool short_digits(double v, const long double* pow10, std::uint64_t& digits, int& exp10) {
    if constexpr (!extended::kX87) return false;
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const int biased = static_cast<int>(bits >> 52);
    // Subnormal gaps are not relative to the value; leave those to to_chars.
    if (biased == 0) return false;
    const int e2 = biased - 1023;                   // v in [2^e2, 2^(e2+1))
    const int upper = ((e2 + 1) * 78913) >> 18;     // floor((e2+1) log10 2): floor(log10 v) or one more
    const int j = 14 - upper;                       // v x 10^j has 14 or 15 digits before the point
    const long double scale = extended::pow10(pow10, j);
    const long double x = static_cast<long double>(v) * scale;
    // The integer nearest to x (x < 2^62): adding 1.5 x 2^63 leaves no bits
    // below the units. Everything stays in x87 registers up to here.
    const long double rounded = (x + 0x1.8p63L) - 0x1.8p63L;
    const double r = static_cast<double>(x - rounded);  // the difference is exact: x and d are within a factor 2
    // The candidate reads back as v when |r| is below half the gap to the
    // neighbouring double on its side, in units of 10^-j. That half gap is
    // x 2^-53 / m1, with m1 in [1, 2) the significand of v; below a power of
    // two (candidate below v: r > 0) the gap is half as wide. Rounding x and
    // r to double costs 2^-52 relative, far inside the margin of 2^-58.
    const std::uint64_t fraction = bits & 0x000FFFFFFFFFFFFFull;
    const std::uint64_t m1_bits = fraction | 0x3FF0000000000000ull;
    double m1;
    std::memcpy(&m1, &m1_bits, sizeof m1);
    const bool narrow = fraction == 0 && biased > 1 && r > 0;  // the sign of r is unpredictable: test it last
    const double limit = static_cast<double>(x) * (narrow ? 0x1p-54 - 0x1p-59 : 0x1p-53 - 0x1p-58);
    if (!(std::fabs(r) * m1 < limit)) return false;
    const auto d = static_cast<std::uint64_t>(static_cast<double>(rounded));  // exact: below 2^53

    std::uint64_t m = d;
    int e = -j;
    if (m % 100000000 == 0) m /= 100000000, e += 8;
    if (m % 10000 == 0) m /= 10000, e += 4;
    if (m % 100 == 0) m /= 100, e += 2;
    if (m % 10 == 0) m /= 10, e += 1;
    digits = m;
    exp10 = e;
    return true;
}

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes the decimal digits of m ending at end; returns their start.
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

}  // namespace

bool operator==(const Hit& a, const Hit& b) {
    return a.gene_id == b.gene_id && a.hmm_id == b.hmm_id && a.e_val == b.e_val && a.bit_score == b.bit_score;
}

const long double* fast_number_table() noexcept {
    return extended::precise() ? extended::pow10_table() : nullptr;
}

char* write_number(char* p, double v) { return write_number(p, v, fast_number_table()); }

// The layout below writes whole words: the digits as 24 bytes (at most 17
// of them count) and runs of zeros in steps of 16 bytes. What lands past the
// end of the text stays within the kMaxNumberChars of room the caller
// provides (at most 350 bytes from the start of the number) and is
// overwritten or ignored.
inline void copy_digits(char* dst, const char* src) { std::memcpy(dst, src, 24); }

inline void fill_zeros(char* dst, int n) {
    for (int i = 0; i < n; i += 16) std::memcpy(dst + i, "0000000000000000", 16);
}

char* write_number(char* p, double v, const long double* pow10) {
    if (std::isnan(v)) return copy_text(p, "NaN");
    if (std::signbit(v)) *p++ = '-';
    if (std::isinf(v)) return copy_text(p, "inf");
    if (v == 0) {
        *p++ = '0';
        return p;
    }
    char buf[64] = {};  // 24 bytes are readable from wherever the digits start
    const char* digits;
    int n, k;  // the value is 0.d1...dn x 10^k
    std::uint64_t m;
    int exp10;
    if (pow10 && short_digits(std::fabs(v), pow10, m, exp10)) {
        char* const last = buf + 32;
        digits = digits_before(last, m);
        n = static_cast<int>(last - digits);
        k = exp10 + n;
    } else {
        // Shortest round-trip digits in scientific form: d[.ddd]e(+|-)XX.
        const char* end = std::to_chars(buf, buf + 32, std::fabs(v), std::chars_format::scientific).ptr;
        const char* e = end;
        while (e[-1] != 'e') --e;
        int exp = 0;  // a sign and at least two digits follow the 'e'
        for (const char* q = e + 1; q < end; ++q) exp = exp * 10 + (*q - '0');
        if (*e == '-') exp = -exp;
        // Drop the point after the first digit, and trailing zeros.
        char* w = buf + 1;
        for (const char* q = buf + 2; q < e - 1; ++q) *w++ = *q;
        n = static_cast<int>(w - buf);
        while (n > 1 && buf[n - 1] == '0') --n;
        digits = buf;
        k = exp + 1;
    }
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
        p += k;
        copy_digits(p + 1, digits + k);
        *p = '.';
        return p + 1 + (n - k);
    }
    copy_digits(p, digits);
    fill_zeros(p + n, k - n);
    return p + k;
}

void append_number(std::string& out, double v) {
    char buf[kMaxNumberChars];
    out.append(buf, static_cast<std::size_t>(write_number(buf, v) - buf));
}

void append_hmm_str(std::string& out, std::string_view hmm_id, const Score& s) {
    out += hmm_id;
    out += ',';
    append_number(out, s.e_val);
    out += ',';
    append_number(out, s.bit_score);
}

std::string Hit::hmm_str() const {
    std::string out;
    append_hmm_str(out, hmm_id, score());
    return out;
}

std::string Hit::repr() const {
    std::string out;
    out.reserve(gene_id.size() + hmm_id.size() + 32);
    out += gene_id;
    out += ' ';
    out += hmm_id;
    out += " (";
    append_number(out, e_val);
    out += '/';
    append_number(out, bit_score);
    out += ')';
    return out;
}

}  // namespace nuvek
