// The end of a sequence: turning the counter's tables into a result and
// leaving them clean for the next sequence.
#include <algorithm>
#include <cstring>
#include <utility>

#include "kmer/kmer_counter.hpp"
#include "kmer/kmer_failure.hpp"
#include "kmer/kmer_entries.hpp"
#include "kmer/kmer_index.hpp"
#include "kmer/kmer_tables.hpp"

namespace nuvek {
namespace {

// Tables of up to this many columns are measured whole at the end of a
// sparse count (see sparse_result).
constexpr std::uint64_t kNarrowColumns = 1024;
// Up to this many columns (k <= 6) a result can also be narrow (see
// table_result).
constexpr std::uint64_t kNarrowUpTo = 4096;

}  // namespace

void KmerCounter::clear_tables() {
    switch (mode_) {
        case Mode::Codes:
            trim(codes_);
            break;
        case Mode::Sparse:
            // Zeros over the touched counters, one store each at random,
            // or over the whole table where that is fewer cycles (a store
            // of 64 bytes covers 16 counters): 1 kbp at k = 6 touches a
            // quarter of the table.
            if (8 * ntouched_ > size_) std::memset(table_.get(), 0, size_ * sizeof(std::uint32_t));
            else
                for (std::size_t i = 0; i < ntouched_; ++i) table_[touched_[i]] = 0;
            if (touched_.size() > (std::size_t{1} << 16)) CountVector().swap(touched_);
            break;
        case Mode::Wide:
            std::memset(wide_.get(), 0, wide_size_ * sizeof(std::uint32_t));
            [[fallthrough]];
        case Mode::Dense:
            if (reuse_) std::memset(table_.get(), 0, size_ * sizeof(std::uint32_t));
            else table_.reset();
            break;
    }
    ntouched_ = 0;
    tables_clean_ = true;
}

// The counts of the touched columns: as entries while they are the smaller
// form, else from the whole table, as a dense result would be.
KmerCountResult KmerCounter::sparse_result(std::uint64_t total) {
    const auto k = static_cast<std::uint8_t>(k_);
    // Up to 1,024 columns a read's counts take less room as one narrow
    // counter per column than as entries: 100,000 reads of 150 bp at k = 5
    // made 460 MB of entries (of 16 bytes then). The table is read, not
    // changed. Above that, up to 4,096 columns, the table is measured whole
    // when the entries could take more than twice the room of one byte per
    // column: a 1 kbp record at k = 6 made 28 KB of entries (14 KB in 8-byte
    // ones) where its narrow counts take 4 KB, and those results took more
    // time in page faults than the counting did. A read keeps its few entries, made without reading the
    // whole table.
    const std::uint64_t strands = rc_ ? 2 : 1;
    if (size_ <= kNarrowColumns || 2 * ntouched_ * strands >= size_ ||
        (size_ <= kNarrowUpTo && ntouched_ * strands * sizeof(KmerEntry) > 2 * size_))
        return table_result(k, total, table_.get(), size_, rc_);
    std::uint64_t* touched = touched_.data();
    if (touched_dirty_) {
        // Windows taken back may have left repeats and zero counters.
        std::sort(touched, touched + ntouched_);
        const std::uint32_t* t = table_.get();
        ntouched_ = static_cast<std::size_t>(
            std::remove_if(touched, std::unique(touched, touched + ntouched_), [t](std::uint64_t c) { return t[c] == 0; }) -
            touched);
    }
    return KmerCountResult::sparse(k, total, size_, strand_entries(table_.get(), touched, ntouched_, k_, rc_));
}

KmerCountResult KmerCounter::finish() {
    const auto k = static_cast<std::uint8_t>(k_);
    const std::uint64_t strands = rc_ ? 2 : 1;
    if (failed_) {
        if (k_ == 0) throw empty_window_failure(std::string_view(prefix_, prefix_size_), pos_, bad_, tail_);
        clear_tables();
        if (pos_ >= k_) throw window_failure(std::string_view(prefix_, prefix_size_), pos_, k_, bad_, tail_);
        return KmerCountResult::sparse(k, 0, size_, KmerEntries{});
    }
    if (k_ == 0) return KmerCountResult{0, windows_ * strands, CountVector{windows_ * strands}};
    end_run();
    const std::uint64_t total = windows_ * strands;
    KmerCountResult result;
    switch (mode_) {
        case Mode::Codes:
            if (bucketed_ && windows_ >= dense_from_) {
                const std::uint64_t nonzero = drain_codes();
                result = KmerCountResult{k, total, std::move(acc_)};
                acc_ = {};
                // Written dense, it stays dense unless its entries take
                // under a quarter of the room: turning 128 MB at k = 12
                // into entries cost more than the count.
                if (4 * nonzero < size_) result.compact();
            } else if (size_ <= KmerEntry::kMaxColumns) {
                result = KmerCountResult::sparse(k, total, size_, count_codes<KmerEntry>(codes_, k_, rc_));
            } else {
                result = KmerCountResult::sparse(k, total, size_, count_codes<WideEntry>(codes_, k_, rc_));
            }
            break;
        case Mode::Sparse:
            result = sparse_result(total);
            break;
        case Mode::Dense:
        case Mode::Wide:
            if (acc_.empty()) {
                // Fewer than 2^31 windows: folded in 32 bits, and widened
                // only if the result is dense.
                if (mode_ == Mode::Wide) sum_out_wide(table_.get(), wide_.get(), wide_size_, step_, mask_);
                result = table_result(k, total, table_.get(), size_, rc_);
            } else {
                flush();
                if (rc_) fold_rev_complement(acc_.data(), k_);
                result = KmerCountResult{k, total, std::move(acc_)};
                acc_ = {};
                result.compact();
            }
            break;
    }
    clear_tables();
    return result;
}

}  // namespace nuvek
