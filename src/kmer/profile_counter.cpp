#include "kmer/profile_counter.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <new>

#include "kmer/count_loops.hpp"
#include "kmer/kmer_index.hpp"
#include "kmer/kmer_tables.hpp"
#include "util/memory.hpp"
#include "util/signals.hpp"

namespace nuvek {
namespace {

using Byte = unsigned char;
using kmer_loops::kInvalid;

constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();
// Units of work (bytes counted, counters read) between looks at signals.
constexpr std::uint64_t kCheckEvery = std::uint64_t{4} << 20;
// K-mers after which the 32-bit table is moved into 64-bit counts: no
// counter can pass 2^32 before the next look.
constexpr std::uint64_t kFlushAt = (std::uint64_t{1} << 31);
// Tables of at least this many counters may be read sparse.
constexpr std::uint64_t kSparseFromColumns = std::uint64_t{1} << 14;

// The 2-bit code of each byte that is a base (upper case; with lower, lower
// case too), kInvalid for the others.
template <bool Lower>
constexpr std::array<Byte, 256> base_codes() {
    std::array<Byte, 256> codes{};
    codes.fill(kInvalid);
    constexpr std::string_view bases = "ACGT";
    for (std::size_t i = 0; i < bases.size(); ++i) {
        codes[static_cast<Byte>(bases[i])] = static_cast<Byte>(i);
        if (Lower) codes[static_cast<Byte>(bases[i] + ('a' - 'A'))] = static_cast<Byte>(i);
    }
    return codes;
}

constexpr auto kUpper = base_codes<false>();
constexpr auto kAnyCase = base_codes<true>();

// a * b + c, or kNever when that does not fit.
std::uint64_t at_or_never(std::uint64_t a, std::uint64_t b, std::uint64_t c) noexcept {
    std::uint64_t r;
    if (__builtin_mul_overflow(a, b, &r) || __builtin_add_overflow(r, c, &r)) return kNever;
    return r;
}

}  // namespace

void ProfileCounter::FreeTable::operator()(std::uint32_t* p) const noexcept { std::free(p); }

ProfileCounter::ProfileCounter(const ProfileColumns& columns, ProfileLayout layout, bool skip_invalid,
                               KmerProfile& out)
    : columns_(columns),
      layout_(layout),
      skip_(skip_invalid),
      k_(columns.k()),
      lut_(skip_invalid ? kAnyCase.data() : kUpper.data()),
      kernels_(count_kernels()),
      mask_(kmer_columns(columns.k()) - 1),
      out_(out) {
    const std::uint64_t n = mask_ + 2;
    require_fits(n, sizeof(std::uint32_t));
    table_.reset(static_cast<std::uint32_t*>(std::calloc(n, sizeof(std::uint32_t))));
    if (!table_) throw std::bad_alloc();
    table_bytes_ = n * sizeof(std::uint32_t);
    if (table_bytes_ >= (std::uint64_t{2} << 20)) advise_huge_pages(table_.get(), table_bytes_);
    if (layout_.window != 0) {
        // A window is open from its first k-mer to its last.
        const std::uint64_t open = (layout_.window - k_) / layout_.step + 1;
        require_fits(open, sizeof(Snapshot));
        open_.resize(open);
    } else {
        if (wide_step(k_) > 1) {
            // As for counting a sequence: from 4 k-mers per wide counter.
            wide_step_ = wide_step(k_);
            wide_size_ = kmer_columns(k_ + wide_step_ - 1);
            wide_from_ = 4 * wide_size_;
        }
        // Reading a row from the noted counters pays where the table has
        // outgrown the first-level cache (64 KiB from k = 7); below, the
        // slower noting loop costs more than reading the whole table.
        // Measured on 10,000 contigs (median 1.5 kbp): k=6 0.74x, k=7
        // 1.5x, k=8 3x the speed of reading the whole table.
        if (columns_.can_take() && mask_ + 1 >= kSparseFromColumns) {
            sparse_until_ = (mask_ + 1) / 4;
            touched_.resize(sparse_until_);
        }
    }
    reset();
}

// The byte counts at which window w takes its first and its last look.
std::uint64_t ProfileCounter::open_at(std::uint64_t w) const noexcept { return at_or_never(w, layout_.step, k_ - 1); }
std::uint64_t ProfileCounter::close_at(std::uint64_t w) const noexcept {
    return at_or_never(w, layout_.step, layout_.window);
}

void ProfileCounter::schedule() noexcept {
    if (layout_.window == 0) {
        next_event_ = kNever;
        return;
    }
    next_event_ = open_at(next_open_);
    if (next_close_ < next_open_) next_event_ = std::min(next_event_, close_at(next_close_));
}

void ProfileCounter::events(std::uint64_t at) {
    while (next_close_ < next_open_ && close_at(next_close_) == at) {
        Snapshot& first = open_[next_close_ % open_.size()];
        add_row(at - layout_.window, at, kmers_ - first.kmers, &first);
        ++next_close_;
    }
    if (open_at(next_open_) == at) {
        Snapshot& s = open_[next_open_ % open_.size()];
        s.kmers = kmers_;
        s.zero = kmers_ == 0 && !base_used_;
        if (!s.zero) {
            if (s.counts.empty()) {
                require_fits(columns_.size(), sizeof(std::uint64_t));
                s.counts.resize(columns_.size());
            }
            read_table(s.counts.data());
        }
        ++next_open_;
    }
    schedule();
}

// out = the counts so far, by column.
void ProfileCounter::read_table(std::uint64_t* out) const noexcept {
    const std::uint64_t n = columns_.size();
    if (base_used_) std::memcpy(out, base_.data(), n * sizeof(std::uint64_t));
    else std::memset(out, 0, n * sizeof(std::uint64_t));
    columns_.add(out, table_.get());
}

// Adds the counts so far into row, which is zero; while sparse, from the
// noted counters, which it zeroes.
void ProfileCounter::read_row(std::uint64_t* row) noexcept {
    if (sparse_) {
        columns_.take(row, table_.get(), touched_.data(), ntouched_);
        ntouched_ = 0;
        return;
    }
    if (base_used_) std::memcpy(row, base_.data(), columns_.size() * sizeof(std::uint64_t));
    columns_.add(row, table_.get());
}

void ProfileCounter::add_row(std::uint64_t start, std::uint64_t end, std::uint64_t kmers, const Snapshot* from) {
    const std::uint64_t n = columns_.size();
    work(sparse_ ? 3 * ntouched_ : 3 * n);
    std::uint64_t* row = out_.counts.append();
    out_.row_record.push_back(out_.record_ids.size());
    out_.starts.push_back(start);
    out_.ends.push_back(end);
    out_.totals.push_back(kmers);
    read_row(row);
    if (from && !from->zero) {
        const std::uint64_t* f = from->counts.data();
        for (std::uint64_t j = 0; j < n; ++j) row[j] -= f[j];
    }
}

void ProfileCounter::work(std::uint64_t units) {
    since_check_ += units;
    if (since_check_ >= kCheckEvery) {
        since_check_ = 0;
        check_signals();
    }
}

void ProfileCounter::flush() {
    sparse_ = false;
    fold_wide();
    if (!base_used_) {
        require_fits(columns_.size(), sizeof(std::uint64_t));
        base_.assign(columns_.size(), 0);
        base_used_ = true;
    }
    columns_.add(base_.data(), table_.get());
    std::memset(table_.get(), 0, table_bytes_);
    flushed_at_ = kmers_;
}

// A byte outside the bases at offset at. Leniently, or outside every
// window, it only ends the run of bases; otherwise the record stops being
// counted: it fails if it is long enough to hold the range the byte lies in
// (a later range could not be whole either).
void ProfileCounter::invalid_at(std::uint64_t at) {
    need_ = k_ - 1;
    code_ = 0;
    if (skip_) return;
    std::uint64_t ends = layout_.min_length > k_ ? layout_.min_length : k_;
    if (layout_.window != 0) {
        const std::uint64_t w = at < layout_.window ? 0 : (at - layout_.window) / layout_.step + 1;
        if (at_or_never(w, layout_.step, 0) > at) return;  // between two windows
        ends = std::max(layout_.min_length, close_at(w));
    }
    stopped_ = true;
    bad_ = at;
    fails_from_ = ends;
}

void ProfileCounter::keep_tail(const Byte* p, std::size_t n) {
    const std::size_t want = k_ + 5;
    if (tail_.size() < want) tail_.append(reinterpret_cast<const char*>(p), std::min(n, want - tail_.size()));
}

void ProfileCounter::feed(std::string_view piece) {
    const auto* p = reinterpret_cast<const Byte*>(piece.data());
    const std::size_t n = piece.size();
    if (pos_ < kFailurePrefix) {
        const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(n, kFailurePrefix - pos_));
        std::memcpy(prefix_ + prefix_size_, piece.data(), take);
        prefix_size_ += take;
    }
    const std::uint64_t start = pos_;
    pos_ += n;
    if (stopped_) {
        keep_tail(p, n);
        return;
    }
    std::size_t i = 0;
    while (i < n && !stopped_) {
        const std::uint64_t at = start + i;
        if (at == next_event_) events(at);
        if (kmers_ - flushed_at_ >= kFlushAt) flush();
        if (need_ != 0) {
            step(p[i], at);
            ++i;
            continue;
        }
        const auto len = static_cast<std::size_t>(std::min<std::uint64_t>({n - i, next_event_ - at, kBlock}));
        work(len);
        block(p + i, len, at);
        i += len;
    }
    if (stopped_) keep_tail(p + (bad_ - start), static_cast<std::size_t>(pos_ - bad_));
}

void ProfileCounter::finish(std::string& id) {
    const std::uint64_t length = pos_;
    if (!stopped_ && length == next_event_) events(length);
    if (length < layout_.min_length) {
        out_.counts.truncate(first_row_);
    } else if (stopped_ && length >= fails_from_) {
        throw window_failure(std::string_view(prefix_, prefix_size_), length, k_, bad_, tail_);
    } else if (layout_.window == 0) {
        fold_wide();
        add_row(0, length, kmers_, nullptr);
    }
    const std::uint64_t rows = out_.counts.rows();
    out_.row_record.resize(rows);
    out_.starts.resize(rows);
    out_.ends.resize(rows);
    out_.totals.resize(rows);
    if (rows > first_row_) out_.record_ids.push_back(std::move(id));
    if (sparse_) {
        for (std::size_t i = 0; i < ntouched_; ++i) table_[touched_[i]] = 0;
    } else if (kmers_ != 0 || base_used_) {
        std::memset(table_.get(), 0, table_bytes_);
    }
    if (wide_used_) std::memset(wide_.get(), 0, wide_size_ * sizeof(std::uint32_t));
    work(table_bytes_ / 16);
    reset();
}

void ProfileCounter::reset() {
    pos_ = 0;
    code_ = 0;
    need_ = k_ - 1;
    kmers_ = 0;
    wide_used_ = false;
    sparse_ = sparse_until_ != 0;
    ntouched_ = 0;
    hopeful_ = false;
    doubted_ = false;
    flushed_at_ = 0;
    base_used_ = false;
    first_row_ = out_.counts.rows();
    next_open_ = 0;
    next_close_ = 0;
    stopped_ = false;
    prefix_size_ = 0;
    tail_.clear();
    schedule();
}

}  // namespace nuvek
