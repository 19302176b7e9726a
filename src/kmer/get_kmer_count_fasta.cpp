#include "kmer/get_kmer_count_fasta.hpp"

#include <optional>
#include <unordered_map>

#include "fasta/fasta_reader.hpp"
#include "kmer/get_kmer_count_seq.hpp"
#include "panic.hpp"
#include "util/quote.hpp"

namespace nuvek {

std::vector<std::pair<std::string, KmerCountResult>> get_kmer_count_fasta(std::string_view path, std::uint8_t k,
                                                                          bool use_rev_complement) {
    std::optional<FastaReader> reader;
    try {
        reader.emplace(path);
    } catch (const FastaError& e) {
        throw Panic(kUnwrapErr + e.long_form());
    }

    std::vector<std::pair<std::string, KmerCountResult>> results;
    std::unordered_map<std::string, std::size_t> slot;  // record id -> position in results
    FastaRecord record;
    for (;;) {
        // Any read error fails the call: returning the records read so far
        // would present a damaged file as a complete one.
        try {
            if (!reader->next(record)) break;
        } catch (const FastaError& e) {
            throw Panic("Failed to read fasta from " + quote_str(path) + ": " + e.short_form());
        }
        KmerCountResult counts = get_kmer_count_seq(record.seq, k, use_rev_complement);
        const auto [it, inserted] = slot.try_emplace(record.id, results.size());
        if (inserted)
            results.emplace_back(std::move(record.id), std::move(counts));
        else
            results[it->second].second = std::move(counts);  // the last record with an id wins
    }
    return results;
}

}  // namespace nuvek
