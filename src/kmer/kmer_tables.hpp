// Whole-table work of k-mer counting, done once per sequence: moving 32-bit
// counters into the 64-bit result, summing k-mers out of a wide table,
// folding in the reverse strand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kmer/kmer_count_result.hpp"

namespace nuvek {

// The s of the wide table for k (1: none): counting every s-th
// (k+s-1)-mer pays while its 4^(k+s-1) counters stay in the cache.
unsigned wide_step(unsigned k) noexcept;

// acc[i] += table[i] for i below n.
void add_table(std::uint64_t* acc, const std::uint32_t* table, std::uint64_t n) noexcept;
// Adds to acc (4^k counters, mask = 4^k - 1) the k-mers of a wide table of
// n counters for step s: each (k+s-1)-mer stands for the s k-mers that end
// in its last s letters. The wide table is used as scratch: the caller
// zeroes it afterwards.
void sum_out_wide(std::uint64_t* acc, std::uint32_t* wide, std::uint64_t n, unsigned s,
                  std::uint64_t mask) noexcept;
void sum_out_wide(std::uint32_t* acc, std::uint32_t* wide, std::uint64_t n, unsigned s,
                  std::uint64_t mask) noexcept;
// Adds to every column the count of its reverse complement's column (4^k
// counters): the windows of the reverse strand are exactly the reverse
// complements of the forward windows. Palindromic columns are doubled.
void fold_rev_complement(std::uint64_t* counts, unsigned k) noexcept;

// The result for n = 4^k 32-bit counters of the forward strand, with the
// reverse strand folded in when rc (the table may be changed), in the
// smaller of the two forms: the non-zero entries, or every counter widened
// to 64 bits.
KmerCountResult table_result(std::uint8_t k, std::uint64_t total, std::uint32_t* table, std::uint64_t n, bool rc);

// Empties v, releasing its memory when it grew beyond what short sequences
// need, so that one long sequence does not pin it.
void trim(CountVector& v) noexcept;

// Offset of the first byte above 0x7F in p[0..n), or n.
std::size_t first_non_ascii(const unsigned char* p, std::size_t n) noexcept;
// Number of UTF-8 continuation bytes (10xxxxxx) in p[0..n).
std::size_t count_continuation_bytes(const unsigned char* p, std::size_t n) noexcept;

}  // namespace nuvek
