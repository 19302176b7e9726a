#include "kmer/get_kmer_count_seq.hpp"

#include "fasta/dna_sequence.hpp"
#include "kmer/kmer_index.hpp"
#include "panic.hpp"

namespace nuvek {
namespace {

KmerCountResult count_single(std::string_view seq, std::uint8_t k,
                             const std::unordered_map<std::string, std::uint64_t>& index) {
    KmerCountResult r{k, 0, std::vector<std::uint64_t>(index.size(), 0)};
    for (std::size_t i = 0; i + k <= seq.size() && i < seq.size(); ++i) {
        auto it = index.find(std::string(seq.substr(i, k)));
        if (it == index.end()) throw Panic(kUnwrapNone);
        ++r.counts[it->second];
        ++r.total;
    }
    return r;
}

}  // namespace

KmerCountResult get_kmer_count_seq(std::string_view seq, std::uint8_t k, bool use_rev_complement) {
    const auto index = get_kmer_to_idx(k);
    KmerCountResult fwd = count_single(seq, k, index);
    if (!use_rev_complement) return fwd;
    return add(fwd, count_single(rev_complement(seq), k, index));
}

}  // namespace nuvek
