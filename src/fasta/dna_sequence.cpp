#include "fasta/dna_sequence.hpp"

#include <array>

#include "util/utf8.hpp"

namespace nuvek {
namespace {

// Complement of each byte; lead bytes of multi-byte characters map to 'N'
// and continuation bytes to 0, which marks them as skipped.
constexpr std::array<char, 256> make_complement_table() {
    std::array<char, 256> t{};
    for (int b = 0; b < 256; ++b) t[b] = utf8::is_continuation(static_cast<unsigned char>(b)) ? '\0' : 'N';
    t['A'] = 'T';
    t['C'] = 'G';
    t['G'] = 'C';
    t['T'] = 'A';
    return t;
}

constexpr auto kComplement = make_complement_table();

}  // namespace

std::string rev_complement(std::string_view seq) {
    std::string out(seq.size(), '\0');
    std::size_t j = 0;
    for (std::size_t i = seq.size(); i-- > 0;) {
        const char c = kComplement[static_cast<unsigned char>(seq[i])];
        out[j] = c;
        j += c != '\0';
    }
    out.resize(j);
    return out;
}

}  // namespace nuvek
