#include "kmer/get_kmer_count_fasta.hpp"

#include "panic.hpp"

namespace nuvek {

std::vector<std::pair<std::string, KmerCountResult>> get_kmer_count_fasta(std::string_view, std::uint8_t, bool) {
    throw Panic("reading FASTA files is not available yet");
}

}  // namespace nuvek
