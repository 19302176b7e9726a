// One hit of a gene against an HMM protein family, its order and its text
// forms, and the one positional text form of a double used by both.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace nuvek {

// The two numbers of a hit; the order of hits depends on these alone.
struct Score {
    double e_val;
    double bit_score;
};

// a ranks below b: smaller bit score, or equal bit scores and larger
// e-value. Plain IEEE comparisons, so any NaN involved makes it false.
inline bool score_lt(const Score& a, const Score& b) {
    return a.bit_score < b.bit_score || (a.bit_score == b.bit_score && a.e_val > b.e_val);
}

// a ranks below b or level with it (the same with >= on the e-values).
inline bool score_le(const Score& a, const Score& b) {
    return a.bit_score < b.bit_score || (a.bit_score == b.bit_score && a.e_val >= b.e_val);
}

struct Hit {
    // The numbers come first so that comparisons, which read only them,
    // touch the first cache line of a hit.
    double e_val;
    double bit_score;
    std::string gene_id;
    std::string hmm_id;

    Hit(std::string gene, std::string hmm, double e, double bit)
        : e_val(e), bit_score(bit), gene_id(std::move(gene)), hmm_id(std::move(hmm)) {}

    Score score() const { return {e_val, bit_score}; }

    // "<hmm_id>,<e_val>,<bit_score>": one hit as the top-hit file writes it.
    std::string hmm_str() const;
    // "<gene_id> <hmm_id> (<e_val>/<bit_score>)".
    std::string repr() const;
};

// Ids byte for byte, then both numbers by IEEE equality.
bool operator==(const Hit& a, const Hit& b);

// Appends the positional text form of v: the shortest digits that read
// back as v, laid out without an exponent ("1e-5" is "0.00001", "1e23" is
// "1" and 23 zeros); "NaN", "inf", "-inf", "0" and "-0" for the special
// values.
void append_number(std::string& out, double v);

// The longest text write_number produces: a sign, "0.", 323 zeros and 17
// digits for the smallest subnormal range, less for every other value.
inline constexpr std::size_t kMaxNumberChars = 352;

// Writes the text form of v at p, which has room for kMaxNumberChars, and
// returns the end of the text.
char* write_number(char* p, double v);
// The same with the result of fast_number_table(), taken once for many
// numbers: the powers of ten of the fast path, or null to go without it.
char* write_number(char* p, double v, const long double* pow10);
const long double* fast_number_table() noexcept;

inline std::string number_text(double v) {
    std::string out;
    append_number(out, v);
    return out;
}

// Appends the hmm_str form of a hit with family id hmm_id and score s.
void append_hmm_str(std::string& out, std::string_view hmm_id, const Score& s);

}  // namespace nuvek
