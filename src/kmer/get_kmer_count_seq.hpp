// K-mer counting of one sequence, optionally with its reverse complement.
#pragma once

#include <cstdint>
#include <string_view>

#include "kmer/kmer_count_result.hpp"

namespace nuvek {

// Counts every window of k bytes of seq (valid UTF-8) by its column; with
// use_rev_complement also the windows of the reverse complement, so that
// total is doubled and a k-mer and its reverse complement get equal counts.
//
// Failures, decided by the first failing window in order: a window holding
// any byte outside upper-case A, C, G, T panics with the failed-unwrap
// message; a window that starts or ends inside a multi-byte character panics
// with the character-boundary message. Either failure carries the note
// "position N: 'X'", the offset and character of the first byte outside the
// bases. A sequence shorter than k is not looked at. k above 31 throws
// std::bad_alloc.
//
// With skip_invalid nothing fails: lower-case a, c, g, t count as A, C, G, T
// and every window holding any other byte is skipped (with k = 0, the byte
// offsets inside multi-byte characters); total is the number of windows
// counted, doubled with use_rev_complement.
//
// Cheap to call repeatedly on short reads: nothing of size 4^k is allocated
// or cleared unless the result itself is dense, and the result is sparse
// whenever that is smaller.
KmerCountResult get_kmer_count_seq(std::string_view seq, std::uint8_t k, bool use_rev_complement,
                                   bool skip_invalid = false);

}  // namespace nuvek
