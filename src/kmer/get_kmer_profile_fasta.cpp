#include "kmer/get_kmer_profile_fasta.hpp"

#include <optional>

#include "fasta/fasta_reader.hpp"
#include "panic.hpp"
#include "util/quote.hpp"

namespace nuvek {
namespace {

class ProfileSink final : public FastaSink {
public:
    explicit ProfileSink(ProfileCounter& counter) : counter_(counter) {}
    void append(std::string_view piece) override { counter_.feed(piece); }

private:
    ProfileCounter& counter_;
};

}  // namespace

KmerProfile get_kmer_profile_fasta(std::string_view path, unsigned k, bool canonical, ProfileLayout layout,
                                   bool skip_invalid) {
    if (layout.window != 0 && layout.step == 0) layout.step = layout.window;
    const ProfileColumns columns(k, canonical);
    KmerProfile profile;
    profile.k = static_cast<std::uint8_t>(k);
    profile.canonical = canonical;
    profile.counts = ProfileMatrix(columns.size());
    ProfileCounter counter(columns, layout, skip_invalid, profile);

    std::optional<FastaReader> reader;
    try {
        reader.emplace(path);
    } catch (const FastaError& e) {
        throw Panic(kUnwrapErr + e.long_form());
    }
    FastaRecord record;
    ProfileSink sink(counter);
    for (;;) {
        try {
            if (!reader->next(record, sink)) break;
        } catch (const FastaError& e) {
            throw Panic("Failed to read fasta from " + quote_str(path) + ": " + e.short_form());
        }
        try {
            counter.finish(record.id);
        } catch (Panic& failure) {
            failure.set_note("in record " + quote_str(record.id) + " of " + quote_str(path) + ", " + failure.note());
            throw;
        }
    }
    profile.counts.shrink();
    profile.column_codes = columns.codes();
    return profile;
}

}  // namespace nuvek
