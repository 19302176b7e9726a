// The entries (column, count) of sparse results: from the touched columns
// of a table, or from a list of window codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kmer/kmer_count_result.hpp"

namespace nuvek {

// The entries of the n distinct columns whose counters in a table of the
// forward strand are non-zero, with the reverse strand folded in when rc:
// a column's count plus its reverse complement's, and an entry of its own
// for a reverse complement whose forward counter is zero.
KmerEntries strand_entries(const std::uint32_t* table, const std::uint64_t* columns, std::size_t n,
                                      unsigned k, bool rc);

// The entries of a list of window codes (k >= 1), with the reverse strand's
// added when rc. Entry is KmerEntry up to k = 12,
// WideEntry above.
template <class Entry>
EntryVector<Entry> count_codes(const CountVector& codes, unsigned k, bool rc);

}  // namespace nuvek
