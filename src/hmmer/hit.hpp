// One hit of a gene against an HMM protein family, its order and its text
// forms (numbers in the text form of util/number_text.hpp).
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

}  // namespace nuvek
