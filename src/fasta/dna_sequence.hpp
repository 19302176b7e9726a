// A DNA sequence held as text, and its reverse complement.
#pragma once

#include <string>
#include <string_view>

namespace nuvek {

// The DNA alphabet in column order: k-mers are numbered in base 4 with
// A = 0, C = 1, G = 2, T = 3.
inline constexpr char DNA[4] = {'A', 'C', 'G', 'T'};

// The reverse complement of UTF-8 text: characters in reverse order, A<->T
// and C<->G swapped, every other character (lower case, N, any non-ASCII
// character) written as one "N". The result has one byte per character.
std::string rev_complement(std::string_view seq);

struct DnaSequence {
    std::string seq;

    DnaSequence rev_complement() const { return DnaSequence{nuvek::rev_complement(seq)}; }
};

}  // namespace nuvek
