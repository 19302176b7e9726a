// The order of a gene's hits in its line of the top-hit file.
#pragma once

#include <cstdint>
#include <vector>

#include "hmmer/tophit.hpp"

namespace nuvek {

// The order of a gene's hits in its line. Best first: bit scores from
// greatest to smallest, equal bit scores by e-value from smallest to
// greatest. Hits equal in both keep their insertion order, and hits with a
// NaN come after those they cannot be ranked against: a NaN e-value last
// among its bit score, a NaN bit score after every other hit. Read back
// into a new table, the hits are inserted in this order, and get_top_hit
// (which takes the last of the best in insertion order) answers as before.
class HitOrder {
public:
    // A hit with integer keys that order like the line: two keys compared
    // as one 128-bit number, the entry's address breaking ties.
    struct Ranked {
        std::uint64_t bit_key;
        std::uint64_t e_key;
        const FamilyMap::Entry* entry;
    };

    // The hits of one gene in line order; valid until the next call.
    const std::vector<Ranked>& operator()(const FamilyMap& families);

private:
    std::vector<Ranked> order_, scratch_;
    std::vector<std::uint32_t> counts_;
};

}  // namespace nuvek
