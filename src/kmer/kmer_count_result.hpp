// The k-mer counts of one sequence: k, the number of windows counted and
// one counter per column index.
#pragma once

#include <cstdint>
#include <vector>

namespace nuvek {

struct KmerCountResult {
    std::uint8_t k = 0;
    std::uint64_t total = 0;
    std::vector<std::uint64_t> counts;
};

// Entry-by-entry sum of two results with equal k and equal counts length
// (sums modulo 2^64); a mismatch is an internal failure.
KmerCountResult add(const KmerCountResult& a, const KmerCountResult& b);

}  // namespace nuvek
