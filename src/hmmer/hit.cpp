#include "hmmer/hit.hpp"

#include <charconv>
#include <cmath>

namespace nuvek {

bool operator==(const Hit& a, const Hit& b) {
    return a.gene_id == b.gene_id && a.hmm_id == b.hmm_id && a.e_val == b.e_val && a.bit_score == b.bit_score;
}

void append_number(std::string& out, double v) {
    if (std::isnan(v)) {
        out += "NaN";
        return;
    }
    if (std::signbit(v)) out += '-';
    if (std::isinf(v)) {
        out += "inf";
        return;
    }
    if (v == 0) {
        out += '0';
        return;
    }
    // Shortest round-trip digits in scientific form: d[.ddd]e(+|-)XX.
    char buf[32];
    const auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::scientific);
    const char* end = res.ptr;
    const char* e = end;
    while (e > buf && e[-1] != 'e') --e;
    // The exponent: a sign and at least two digits after the 'e'.
    int exp10 = 0;
    for (const char* p = e + 1; p < end; ++p) exp10 = exp10 * 10 + (*p - '0');
    if (*e == '-') exp10 = -exp10;
    char digits[20];
    int n = 0;
    for (const char* p = buf; p < e - 1; ++p)
        if (*p != '.') digits[n++] = *p;
    while (n > 1 && digits[n - 1] == '0') --n;
    // The value is 0.d1...dn x 10^k.
    const int k = exp10 + 1;
    if (k <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-k), '0');
        out.append(digits, static_cast<std::size_t>(n));
    } else if (k < n) {
        out.append(digits, static_cast<std::size_t>(k));
        out += '.';
        out.append(digits + k, static_cast<std::size_t>(n - k));
    } else {
        out.append(digits, static_cast<std::size_t>(n));
        out.append(static_cast<std::size_t>(k - n), '0');
    }
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
