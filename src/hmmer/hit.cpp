#include "hmmer/hit.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace nuvek {

namespace {

template <std::size_t N>
char* copy_text(char* p, const char (&text)[N]) {
    std::memcpy(p, text, N - 1);
    return p + (N - 1);
}

}  // namespace

bool operator==(const Hit& a, const Hit& b) {
    return a.gene_id == b.gene_id && a.hmm_id == b.hmm_id && a.e_val == b.e_val && a.bit_score == b.bit_score;
}

char* write_number(char* p, double v) {
    if (std::isnan(v)) return copy_text(p, "NaN");
    if (std::signbit(v)) *p++ = '-';
    if (std::isinf(v)) return copy_text(p, "inf");
    if (v == 0) {
        *p++ = '0';
        return p;
    }
    // Shortest round-trip digits in scientific form: d[.ddd]e(+|-)XX.
    char buf[32];
    const char* end = std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::scientific).ptr;
    const char* e = end;
    while (e[-1] != 'e') --e;
    int exp10 = 0;  // a sign and at least two digits follow the 'e'
    for (const char* q = e + 1; q < end; ++q) exp10 = exp10 * 10 + (*q - '0');
    if (*e == '-') exp10 = -exp10;
    char digits[20];
    int n = 0;
    for (const char* q = buf; q < e - 1; ++q)
        if (*q != '.') digits[n++] = *q;
    while (n > 1 && digits[n - 1] == '0') --n;
    // The value is 0.d1...dn x 10^k.
    const int k = exp10 + 1;
    if (k <= 0) {
        *p++ = '0';
        *p++ = '.';
        std::memset(p, '0', static_cast<std::size_t>(-k));
        p += -k;
        std::memcpy(p, digits, static_cast<std::size_t>(n));
        return p + n;
    }
    if (k < n) {
        std::memcpy(p, digits, static_cast<std::size_t>(k));
        p += k;
        *p++ = '.';
        std::memcpy(p, digits + k, static_cast<std::size_t>(n - k));
        return p + (n - k);
    }
    std::memcpy(p, digits, static_cast<std::size_t>(n));
    p += n;
    std::memset(p, '0', static_cast<std::size_t>(k - n));
    return p + (k - n);
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
