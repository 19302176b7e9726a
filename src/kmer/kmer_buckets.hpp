// Window codes counted into a table far larger than the caches, bucket by
// bucket: the codes (and their reverse complements) are first spread by
// their high bits into buckets of 2^15 columns each, then every bucket is
// counted in a small table that stays in the second-level cache and its
// part of the result written in order. Two linear passes over the codes
// and one over the result take the place of an increment that misses the
// cache (and the TLB) for every window, and of the reverse strand's fold
// over a table of that size.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nuvek {

// Columns from which a sequence's counts go through buckets (k >= 12): a
// table of 4^k 32-bit counters then takes 64 MiB or more. One 5 Mbp
// sequence at k = 12 took 76 ms this way and 117 ms in the table; at k = 11
// (16 MiB, which a large last-level cache still holds) both took 47-50 ms,
// and the table stays.
inline constexpr std::uint64_t kBucketColumns = std::uint64_t{1} << 24;

// Adds the n window codes (k >= 8, so that a bucket is a whole number of
// columns), and with rc each code's reverse complement, to acc's 4^k
// 64-bit counters. With first, acc's memory holds nothing yet and every
// counter is written, zero or not; otherwise the counts are added to it.
// Returns the number of non-zero counters of acc after the addition.
std::uint64_t add_codes_by_bucket(std::uint64_t* acc, bool first, const std::uint64_t* codes, std::size_t n,
                                   unsigned k, bool rc);

}  // namespace nuvek
