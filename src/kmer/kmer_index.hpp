// The k-mers of a length k in column order, and their 2-bit codes.
//
// A k-mer's column is its number in base 4 with A = 0, C = 1, G = 2, T = 3,
// first letter most significant; this is also the ascending byte order of
// the k-mer texts. Counting works on these codes directly, so no k-mer ->
// column map is ever built natively; the Python-facing map and list are
// filled straight from the enumeration below.
#pragma once

#include <cstdint>
#include <new>
#include <string>
#include <string_view>

#include "fasta/dna_sequence.hpp"
#include "util/signals.hpp"

namespace nuvek {

// Largest k whose columns can be numbered: 4^31 = 2^62 still fits in a
// 64-bit size, 4^32 does not.
inline constexpr unsigned kMaxKmerK = 31;

// The number of columns for k, 4^k. For k above 31 the count cannot even be
// represented in 64 bits, let alone allocated, so every operation that needs
// it (enumeration, the index, counting) fails with std::bad_alloc, raised in
// Python as MemoryError, rather than computing a wrapped-around size.
inline std::uint64_t kmer_columns(unsigned k) {
    if (k > kMaxKmerK) throw std::bad_alloc();
    return std::uint64_t{1} << (2 * k);
}

// The column of the reverse complement of the k-mer with column `code`
// (k <= 31): complement every 2-bit letter (x -> 3 - x) and reverse their
// order.
inline std::uint64_t rev_complement_code(std::uint64_t code, unsigned k) noexcept {
    if (k == 0) return 0;
    std::uint64_t x = ~code;
    x = __builtin_bswap64(x);
    x = ((x >> 4) & 0x0F0F0F0F0F0F0F0FULL) | ((x & 0x0F0F0F0F0F0F0F0FULL) << 4);
    x = ((x >> 2) & 0x3333333333333333ULL) | ((x & 0x3333333333333333ULL) << 2);
    return x >> (64 - 2 * k);
}

// Calls visit(text, column) for every k-mer in column order, text being the
// k letters (a view valid only during the call). The caller sizes its
// output with kmer_columns(k) first. Pending signals are run every 2^16
// k-mers (a few milliseconds of building Python objects), so that Ctrl-C
// ends a large enumeration.
template <class Visit>
void get_possible_kmers(unsigned k, Visit&& visit) {
    constexpr std::uint64_t kCheckEvery = std::uint64_t{1} << 16;
    const std::uint64_t n = kmer_columns(k);
    std::string text(k, DNA[0]);
    for (std::uint64_t column = 0; column < n; ++column) {
        if ((column & (kCheckEvery - 1)) == kCheckEvery - 1) check_signals();
        visit(std::string_view(text), column);
        // Advance the letters like an odometer: trailing Ts roll over to A.
        for (std::size_t j = k; j-- > 0;) {
            const char c = text[j];
            if (c != DNA[3]) {
                text[j] = c == DNA[0] ? DNA[1] : c == DNA[1] ? DNA[2] : DNA[3];
                break;
            }
            text[j] = DNA[0];
        }
    }
}

}  // namespace nuvek
