#include "kmer/get_kmer_count_fasta.hpp"

#include <functional>
#include <optional>

#include "fasta/fasta_reader.hpp"
#include "kmer/get_kmer_count_seq.hpp"
#include "panic.hpp"
#include "util/quote.hpp"

namespace nuvek {
namespace {

using Entries = std::vector<std::pair<std::string, KmerCountResult>>;

// Positions of record ids in the entry list: an open-addressing table of
// (hash, position) slots. Ids are compared against the list itself, so none
// is stored twice, and growing the table needs only the stored hashes. With
// one slot per record for files of many short records, this keeps the
// per-record cost at about one cache miss.
class IdPositions {
public:
    // The position of id in entries, or nothing after noting that id will be
    // added at position entries.size().
    std::optional<std::size_t> find_or_note(std::string_view id, const Entries& entries) {
        if (2 * (used_ + 1) > slots_.size()) grow();
        const std::size_t hash = std::hash<std::string_view>{}(id);
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
            Slot& s = slots_[i];
            if (s.pos == kFree) {
                s = Slot{hash, entries.size()};
                ++used_;
                return std::nullopt;
            }
            if (s.hash == hash && entries[s.pos].first == id) return s.pos;
        }
    }

private:
    static constexpr std::size_t kFree = ~std::size_t{0};
    struct Slot {
        std::size_t hash = 0;
        std::size_t pos = kFree;
    };

    void grow() {
        std::vector<Slot> old(std::max<std::size_t>(64, 2 * slots_.size()));
        old.swap(slots_);
        const std::size_t mask = slots_.size() - 1;
        for (const Slot& s : old) {
            if (s.pos == kFree) continue;
            std::size_t i = s.hash & mask;
            while (slots_[i].pos != kFree) i = (i + 1) & mask;
            slots_[i] = s;
        }
    }

    std::vector<Slot> slots_;
    std::size_t used_ = 0;
};

}  // namespace

Entries get_kmer_count_fasta(std::string_view path, std::uint8_t k, bool use_rev_complement, bool) {
    std::optional<FastaReader> reader;
    try {
        reader.emplace(path);
    } catch (const FastaError& e) {
        throw Panic(kUnwrapErr + e.long_form());
    }

    Entries entries;
    IdPositions positions;
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
        if (const auto pos = positions.find_or_note(record.id, entries))
            entries[*pos].second = std::move(counts);  // the last record with an id wins
        else
            entries.emplace_back(std::move(record.id), std::move(counts));
    }
    return entries;
}

}  // namespace nuvek
