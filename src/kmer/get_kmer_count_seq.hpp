// K-mer counting of one sequence, optionally with its reverse complement.
#pragma once

#include <cstdint>
#include <string_view>

#include "kmer/kmer_count_result.hpp"

namespace nuvek {

KmerCountResult get_kmer_count_seq(std::string_view seq, std::uint8_t k, bool use_rev_complement);

}  // namespace nuvek
