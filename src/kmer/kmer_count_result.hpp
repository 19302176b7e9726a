// The k-mer counts of one sequence: k, the number of windows counted and
// one counter per column index.
//
// The counters are held in one of three forms. Dense: one counter per
// column, as a plain vector. Sparse: only the non-zero counters, as (column,
// count) entries with distinct columns in no particular order, plus the
// number of columns. Narrow: one counter per column in 1, 2 or 4 bytes, the
// fewest that hold the largest. Counting picks the smallest form, so that
// the counts of a short read take a few hundred bytes instead of 8 * 4^k:
// 100,000 reads are 25 MB of counts at k = 4 rather than 200 MB, which the
// process would fault in page by page. All forms read back as the same
// counters; the full vector is materialised only when a caller asks for it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "kmer/count_storage.hpp"

namespace nuvek {

// One non-zero counter of a sparse result in 8 bytes: its column (below
// 2^24, k <= 12) and its count (below 2^40, more windows than any sequence
// held in memory has).
class KmerEntry {
public:
    static constexpr unsigned kColumnBits = 24;
    // Results of more columns (k >= 13) keep their entries as WideEntry.
    static constexpr std::uint64_t kMaxColumns = std::uint64_t{1} << kColumnBits;
    static constexpr std::uint64_t kMaxCount = (std::uint64_t{1} << (64 - kColumnBits)) - 1;

    KmerEntry() = default;
    constexpr KmerEntry(std::uint64_t column, std::uint64_t count) noexcept : bits_(count << kColumnBits | column) {}
    constexpr std::uint64_t column() const noexcept { return bits_ & ((std::uint64_t{1} << kColumnBits) - 1); }
    constexpr std::uint64_t count() const noexcept { return bits_ >> kColumnBits; }

private:
    std::uint64_t bits_ = 0;
};

// One non-zero counter of a sparse result of more than 2^24 columns, in 16
// bytes.
class WideEntry {
public:
    WideEntry() = default;
    constexpr WideEntry(std::uint64_t column, std::uint64_t count) noexcept : column_(column), count_(count) {}
    constexpr std::uint64_t column() const noexcept { return column_; }
    constexpr std::uint64_t count() const noexcept { return count_; }

private:
    std::uint64_t column_ = 0;
    std::uint64_t count_ = 0;
};

// The entries of sparse results live in count memory (count_storage.hpp),
// as dense results do: a 100 kbp record at k = 10 makes 1.6 MB of entries,
// which the heap hands back to the kernel once the result dies, so that
// every record faulted its entries in afresh (a quarter of its time).
template <class Entry>
using EntryVector = std::vector<Entry, CountAllocator<Entry>>;
using KmerEntries = EntryVector<KmerEntry>;
using WideEntries = EntryVector<WideEntry>;

// Gives a narrow result's counters back to count memory, where they live
// as entries do.
struct CountBytesDeleter {
    std::size_t bytes = 0;
    void operator()(unsigned char* p) const noexcept { release_counts(p, bytes); }
};

// Gives a result's exported vector back to the export memory.
struct ExportDeleter {
    std::size_t bytes = 0;
    void operator()(std::uint64_t* p) const noexcept;
};

class KmerCountResult {
public:
    KmerCountResult() = default;
    KmerCountResult(KmerCountResult&&) noexcept = default;
    KmerCountResult& operator=(KmerCountResult&& other) noexcept;
    ~KmerCountResult();
    // Dense result; counts may have any length (results built from Python
    // are stored as given).
    KmerCountResult(std::uint8_t k_, std::uint64_t total_, CountVector counts)
        : k(k_), total(total_), size_(counts.size()), dense_(std::move(counts)) {}
    KmerCountResult(std::uint8_t k_, std::uint64_t total_, const std::vector<std::uint64_t>& counts)
        : KmerCountResult(k_, total_, CountVector(counts.begin(), counts.end())) {}

    // Sparse result of `size` columns holding the given non-zero entries
    // (distinct columns, each below size, any order).
    static KmerCountResult sparse(std::uint8_t k, std::uint64_t total, std::uint64_t size,
                                  KmerEntries entries);
    // The same for results of more than 2^24 columns.
    static KmerCountResult sparse(std::uint8_t k, std::uint64_t total, std::uint64_t size,
                                  WideEntries entries);
    // Narrow result of the size counters at counts, each stored in width
    // bytes (1, 2 or 4; every counter must fit).
    static KmerCountResult narrow(std::uint8_t k, std::uint64_t total, const std::uint32_t* counts,
                                  std::uint64_t size, unsigned width);

    std::uint8_t k = 0;
    std::uint64_t total = 0;

    // Number of columns (the length of the counts vector).
    std::uint64_t size() const noexcept { return size_; }
    bool is_sparse() const noexcept { return form_ == Form::Sparse; }
    // Bytes per counter of a narrow result (1, 2 or 4), 0 for the others;
    // narrow_data() holds size() counters of that width.
    unsigned narrow_width() const noexcept { return form_ == Form::Narrow ? width_ : 0; }
    const void* narrow_data() const noexcept { return narrow_.get(); }
    // Calls visit(column, count) for each non-zero entry of a sparse result.
    template <class Visit>
    void for_each_entry(Visit&& visit) const {
        for (const auto& e : entries_) visit(e.column(), e.count());
        for (const auto& e : wide_entries_) visit(e.column(), e.count());
    }

    // The full counts vector; std::bad_alloc when it cannot fit in memory.
    CountVector counts() const;

    // The full counts vector, held by the result for as long as it lives:
    // a dense result's own counters; for a sparse or narrow result, a vector
    // built on the first call and kept, in export memory (kept across
    // results, see export_memory.hpp) where a sparse result writes only its
    // non-zero counters. A sparse result keeps its entries (they clean the
    // vector when it is given back); a narrow one frees its narrow counters
    // and is read from the vector from then on, so that a kept exported
    // result holds one copy of its counts and the next results reuse the
    // memory (1,000 records of 1 kbp at k = 6, kept: 4 MB less per call).
    // std::bad_alloc when it cannot fit in memory.
    std::span<const std::uint64_t> held_counts() const;

    // Switches a dense or sparse result to the smaller of those two forms:
    // sparse when the non-zero entries take less room than one counter per
    // column.
    void compact();

private:
    // Expanded: a narrow result once exported, its counters in expanded_.
    enum class Form : std::uint8_t { Dense, Sparse, Narrow, Expanded };
    // Gives the full vector back, clean when only the entries were written.
    void drop_expanded() noexcept;


    std::uint64_t size_ = 0;
    mutable Form form_ = Form::Dense;
    std::uint8_t width_ = 0;
    CountVector dense_;
    mutable std::unique_ptr<unsigned char[], CountBytesDeleter> narrow_;
    KmerEntries entries_;
    WideEntries wide_entries_;  // instead of entries_, above 2^24 columns
    // The full vector of a sparse or narrow result (size_ counters), once
    // held_counts() built it.
    mutable std::unique_ptr<std::uint64_t[], ExportDeleter> expanded_;
};

}  // namespace nuvek
