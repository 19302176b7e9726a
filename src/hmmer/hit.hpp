// One hit of a gene against an HMM protein family, its order and its text
// forms, and the one positional text form of a double used by both.
#pragma once

#include <string>
#include <string_view>

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
    std::string gene_id;
    std::string hmm_id;
    double e_val;
    double bit_score;

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

inline std::string number_text(double v) {
    std::string out;
    append_number(out, v);
    return out;
}

// Appends the hmm_str form of a hit with family id hmm_id and score s.
void append_hmm_str(std::string& out, std::string_view hmm_id, const Score& s);

}  // namespace nuvek
