#include "kmer/get_kmer_count_fasta.hpp"

#include <new>
#include <optional>

#include "fasta/fasta_reader.hpp"
#include "kmer/kmer_counter.hpp"
#include "kmer/kmer_index.hpp"
#include "panic.hpp"
#include "util/quote.hpp"

namespace nuvek {
namespace {

// Feeds each sequence piece to the counter as the reader passes it on.
class CountingSink final : public FastaSink {
public:
    explicit CountingSink(KmerCounter& counter) : counter_(counter) {}
    void append(std::string_view piece) override { counter_.feed(piece); }

private:
    KmerCounter& counter_;
};

}  // namespace

void get_kmer_count_fasta(std::string_view path, std::uint8_t k, bool use_rev_complement, bool skip_invalid,
                          KmerRecordSink& out) {
    std::optional<FastaReader> reader;
    try {
        reader.emplace(path);
    } catch (const FastaError& e) {
        throw Panic(kUnwrapErr + e.long_form());
    }
    // Any read error fails the call: returning the records read so far
    // would present a damaged file as a complete one.
    FastaRecord record;
    const auto next = [&](FastaSink* sink) {
        try {
            return sink ? reader->next(record, *sink) : reader->next(record);
        } catch (const FastaError& e) {
            throw Panic("Failed to read fasta from " + quote_str(path) + ": " + e.short_form());
        }
    };

    if (k > kMaxKmerK) {
        // No counts of 4^k columns can be made; a file without records
        // still gives its empty result.
        if (next(nullptr)) throw std::bad_alloc();
        return;
    }
    KmerCounter counter(k, use_rev_complement, skip_invalid);
    CountingSink sink(counter);
    for (;;) {
        counter.begin();
        if (!next(&sink)) break;
        KmerCountResult counts;
        try {
            counts = counter.finish();
        } catch (Panic& failure) {
            failure.set_note("in record " + quote_str(record.id) + " of " + quote_str(path) + ", " + failure.note());
            throw;
        }
        out.put(record.id, std::move(counts));
    }
}

}  // namespace nuvek
