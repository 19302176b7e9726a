#include "kmer/kmer_index.hpp"

#include "fasta/dna_sequence.hpp"
#include "util/memory.hpp"

namespace nuvek {

std::vector<std::string> get_possible_kmers(std::uint8_t k) {
    if (k > 31) throw std::bad_alloc();
    const std::uint64_t n = std::uint64_t{1} << (2 * k);
    require_fits(n, sizeof(std::string) + k);
    std::vector<std::string> out;
    out.reserve(n);
    for (std::uint64_t i = 0; i < n; ++i) {
        std::string s(k, 'A');
        for (unsigned j = 0; j < k; ++j) s[k - 1 - j] = DNA[(i >> (2 * j)) & 3];
        out.push_back(std::move(s));
    }
    return out;
}

std::unordered_map<std::string, std::uint64_t> get_kmer_to_idx(std::uint8_t k) {
    auto kmers = get_possible_kmers(k);
    std::unordered_map<std::string, std::uint64_t> out;
    for (std::uint64_t i = 0; i < kmers.size(); ++i) out.emplace(std::move(kmers[i]), i);
    return out;
}

}  // namespace nuvek
