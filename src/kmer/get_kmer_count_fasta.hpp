// K-mer counting of every record of a FASTA file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kmer/kmer_count_result.hpp"

namespace nuvek {

// One entry per distinct record id, in the order of first occurrence; a
// later record with the same id replaces the earlier counts. Each record is
// counted as get_kmer_count_seq counts a sequence (skip_invalid alike); a
// counting failure carries the note
//   in record "id" of "path", position N: 'X'
// A read error fails the call.
std::vector<std::pair<std::string, KmerCountResult>> get_kmer_count_fasta(std::string_view path, std::uint8_t k,
                                                                          bool use_rev_complement,
                                                                          bool skip_invalid = false);

}  // namespace nuvek
