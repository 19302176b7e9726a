#include "kmer/kmer_count_result.hpp"

#include <algorithm>
#include <new>
#include <utility>

#include "kmer/export_memory.hpp"
#include "util/memory.hpp"

namespace nuvek {
namespace {

// True when n sparse entries take less than half the room of size dense
// counters (the rule of table_result).
bool sparse_is_smaller(std::uint64_t n, std::uint64_t size) { return 2 * n < size; }

template <class Narrow>
void widen(const void* from, std::uint64_t n, std::uint64_t* to) noexcept {
    const auto* p = static_cast<const Narrow*>(from);
    for (std::uint64_t i = 0; i < n; ++i) to[i] = p[i];
}

template <class Narrow>
void copy_narrow(const std::uint32_t* from, std::uint64_t n, void* to) noexcept {
    auto* p = static_cast<Narrow*>(to);
    for (std::uint64_t i = 0; i < n; ++i) p[i] = static_cast<Narrow>(from[i]);
}

// out[column] = count (or 0) for each entry. The columns are in no order
// over a vector up to 128 MB, so each store would wait for its line: the
// line of the entry kAhead on is asked for first, and the stores' misses
// overlap (100 kbp records at k = 10, 200,000 entries into 8 MB: 1.27 ->
// 0.6 ms a record).
template <class Entries>
void scatter_entries(std::uint64_t* out, const Entries& entries, bool counts) noexcept {
    constexpr std::size_t kAhead = 16;
    const std::size_t n = entries.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (i + kAhead < n) __builtin_prefetch(out + entries[i + kAhead].column(), 1, 3);
        out[entries[i].column()] = counts ? entries[i].count() : 0;
    }
}

}  // namespace

void ExportDeleter::operator()(std::uint64_t* p) const noexcept { give_back_export_memory(p, bytes, false); }

KmerCountResult::~KmerCountResult() { drop_expanded(); }

KmerCountResult& KmerCountResult::operator=(KmerCountResult&& other) noexcept {
    if (this != &other) {
        drop_expanded();
        k = other.k;
        total = other.total;
        size_ = std::exchange(other.size_, 0);
        form_ = std::exchange(other.form_, Form::Dense);
        width_ = std::exchange(other.width_, 0);
        dense_ = std::move(other.dense_);
        narrow_ = std::move(other.narrow_);
        entries_ = std::move(other.entries_);
        wide_entries_ = std::move(other.wide_entries_);
        expanded_ = std::move(other.expanded_);
    }
    return *this;
}

void KmerCountResult::drop_expanded() noexcept {
    if (!expanded_) return;
    if (form_ != Form::Sparse) {
        expanded_.reset();
        return;
    }
    // The vector is read-only outside: zeros over the counters this result
    // set leave it all zeros, at the cost of its entries rather than of its
    // whole length, for the next sparse result of its size.
    std::uint64_t* out = expanded_.get();
    scatter_entries(out, entries_, false);
    scatter_entries(out, wide_entries_, false);
    const std::size_t bytes = expanded_.get_deleter().bytes;
    give_back_export_memory(expanded_.release(), bytes, true);
}

KmerCountResult KmerCountResult::sparse(std::uint8_t k, std::uint64_t total, std::uint64_t size,
                                        KmerEntries entries) {
    KmerCountResult r;
    r.k = k;
    r.total = total;
    r.size_ = size;
    r.form_ = Form::Sparse;
    r.entries_ = std::move(entries);
    return r;
}

KmerCountResult KmerCountResult::sparse(std::uint8_t k, std::uint64_t total, std::uint64_t size,
                                        WideEntries entries) {
    KmerCountResult r = sparse(k, total, size, KmerEntries{});
    r.wide_entries_ = std::move(entries);
    return r;
}

KmerCountResult KmerCountResult::narrow(std::uint8_t k, std::uint64_t total, const std::uint32_t* counts,
                                        std::uint64_t size, unsigned width) {
    KmerCountResult r;
    r.k = k;
    r.total = total;
    r.size_ = size;
    r.form_ = Form::Narrow;
    r.width_ = static_cast<std::uint8_t>(width);
    const std::size_t bytes = static_cast<std::size_t>(size) * width;
    r.narrow_ = std::unique_ptr<unsigned char[], CountBytesDeleter>(static_cast<unsigned char*>(allocate_counts(bytes)),
                                                                    CountBytesDeleter{bytes});
    if (width == 1) copy_narrow<std::uint8_t>(counts, size, r.narrow_.get());
    else if (width == 2) copy_narrow<std::uint16_t>(counts, size, r.narrow_.get());
    else copy_narrow<std::uint32_t>(counts, size, r.narrow_.get());
    return r;
}

CountVector KmerCountResult::counts() const {
    if (form_ == Form::Dense) return dense_;
    if (form_ == Form::Expanded) return CountVector(expanded_.get(), expanded_.get() + size_);
    require_fits(size_, sizeof(std::uint64_t));
    if (form_ == Form::Narrow) {
        CountVector out(size_);  // uninitialised: widening writes every counter
        if (width_ == 1) widen<std::uint8_t>(narrow_.get(), size_, out.data());
        else if (width_ == 2) widen<std::uint16_t>(narrow_.get(), size_, out.data());
        else widen<std::uint32_t>(narrow_.get(), size_, out.data());
        return out;
    }
    CountVector out(size_, 0);
    for_each_entry([&](std::uint64_t column, std::uint64_t count) { out[column] = count; });
    return out;
}

std::span<const std::uint64_t> KmerCountResult::held_counts() const {
    if (form_ == Form::Dense) return {dense_.data(), dense_.size()};
    if (size_ == 0) return {};
    if (!expanded_) {
        // Zeroed memory for a sparse result, where only the non-zero
        // counters are written; a narrow result (at most a few KiB) is
        // widened counter by counter.
        require_fits(size_, sizeof(std::uint64_t));
        const bool narrow = form_ == Form::Narrow;
        const std::size_t bytes = size_ * sizeof(std::uint64_t);
        auto* out = static_cast<std::uint64_t*>(take_export_memory(bytes, !narrow));
        if (!narrow) {
            scatter_entries(out, entries_, true);
            scatter_entries(out, wide_entries_, true);
        } else if (width_ == 1) {
            widen<std::uint8_t>(narrow_.get(), size_, out);
        } else if (width_ == 2) {
            widen<std::uint16_t>(narrow_.get(), size_, out);
        } else {
            widen<std::uint32_t>(narrow_.get(), size_, out);
        }
        expanded_ = std::unique_ptr<std::uint64_t[], ExportDeleter>(out, ExportDeleter{bytes});
        if (narrow) {
            narrow_.reset();
            form_ = Form::Expanded;
        }
    }
    return {expanded_.get(), size_};
}

void KmerCountResult::compact() {
    if (form_ == Form::Narrow || form_ == Form::Expanded) return;
    if (form_ == Form::Sparse) {
        if (sparse_is_smaller(entries_.size() + wide_entries_.size(), size_)) return;
        dense_ = counts();
        drop_expanded();
        entries_ = {};
        wide_entries_ = {};
        form_ = Form::Dense;
        return;
    }
    // Entries of 8 bytes hold columns below 2^24 only.
    if (size_ > KmerEntry::kMaxColumns) return;
    std::uint64_t nonzero = 0, largest = 0;
    for (const std::uint64_t c : dense_) {
        nonzero += c != 0;
        largest = std::max(largest, c);
    }
    if (!sparse_is_smaller(nonzero, size_) || largest > KmerEntry::kMaxCount) return;
    // Every counter is written to the next slot, which advances past
    // non-zero ones only: no branch on the counts.
    KmerEntries entries(nonzero + 1);
    KmerEntry* out = entries.data();
    for (std::uint64_t i = 0; i < size_; ++i) {
        *out = KmerEntry{i, dense_[i]};
        out += dense_[i] != 0;
    }
    entries.pop_back();
    entries_ = std::move(entries);
    dense_ = {};
    form_ = Form::Sparse;
}

}  // namespace nuvek
