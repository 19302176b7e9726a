#include "kmer/get_kmer_count_seq.hpp"

#include "kmer/kmer_counter.hpp"
#include "kmer/kmer_index.hpp"

namespace nuvek {

KmerCountResult get_kmer_count_seq(std::string_view seq, std::uint8_t k, bool use_rev_complement,
                                   bool skip_invalid) {
    const std::uint64_t size = kmer_columns(k);
    if (k > 0 && seq.size() < k) return KmerCountResult::sparse(k, 0, size, KmerEntries{});
    KmerCounter counter(k, use_rev_complement, skip_invalid, /*reuse=*/false);
    counter.begin(seq.size());
    counter.feed(seq);
    return counter.finish();
}

}  // namespace nuvek
