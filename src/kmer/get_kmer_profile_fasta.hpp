// The k-mer profile of a FASTA file: one row of counts per record, or per
// window of each record.
#pragma once

#include <cstdint>
#include <string_view>

#include "kmer/kmer_profile.hpp"
#include "kmer/profile_counter.hpp"

namespace nuvek {

// Reads the file as get_kmer_count_fasta does (plain or gzip, the same open
// and read failures) and profiles every record. k from 1 to kMaxProfileK;
// layout.window 0 or at least k, layout.step 0 (the window) when the window
// is 0. Rows:
//   window 0: one per record of at least min_length bases, its whole
//     sequence;
//   window W: one per window of W bases starting at 0, S, 2S, ... that lies
//     inside a record of at least min_length bases.
// A counting failure carries the note
//   in record "id" of "path", position N: 'X'
KmerProfile get_kmer_profile_fasta(std::string_view path, unsigned k, bool canonical, ProfileLayout layout,
                                   bool skip_invalid);

}  // namespace nuvek
