#include "kmer/kmer_counter.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <utility>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "kmer/count_kernels.hpp"
#include "kmer/count_loops.hpp"
#include "kmer/kmer_buckets.hpp"
#include "kmer/kmer_failure.hpp"
#include "kmer/kmer_index.hpp"
#include "kmer/kmer_tables.hpp"
#include "util/memory.hpp"
#include "util/signals.hpp"

namespace nuvek {
namespace {

using Byte = unsigned char;
using kmer_loops::kInvalid;

// 2-bit codes of the bases, kInvalid for every other byte; with lower, the
// lower-case bases too.
constexpr std::array<Byte, 256> make_codes(bool lower) {
    std::array<Byte, 256> t{};
    for (auto& c : t) c = kInvalid;
    const char bases[] = "ACGT";
    for (Byte i = 0; i < 4; ++i) {
        t[static_cast<Byte>(bases[i])] = i;
        if (lower) t[static_cast<Byte>(bases[i] | 0x20)] = i;
    }
    return t;
}

constexpr std::array<Byte, 256> kStrictCodes = make_codes(false);
constexpr std::array<Byte, 256> kLenientCodes = make_codes(true);

// Bytes counted between two looks at pending signals (a few milliseconds).
constexpr std::uint64_t kCheckBytes = std::uint64_t{4} << 20;
// Bytes counted by one call of a loop: the unit of undoing, and of the
// checks for a change of mode and for counters close to overflowing.
constexpr std::size_t kBlock = 4096;
// Windows after which the 32-bit counters are moved into the 64-bit
// result: no counter can pass 2^31 before the next check, so that a
// counter plus its reverse complement's still fits in 32 bits.
constexpr std::uint64_t kFlushAt = (std::uint64_t{1} << 31) - 2 * kBlock - 64;
// The sparse table form is used up to this many columns (k <= 9), while its
// 32-bit counters fit a second-level cache of 1 MiB; beyond, the random
// increments and the partners' reads miss it, and window codes, written in
// order and sorted at the end, cost half as much: FASTA records of 5 to
// 100 kbp at k = 10 took 28 to 60 ms per Mbp instead of 65 to 126.
constexpr std::uint64_t kTableColumns = std::uint64_t{1} << 18;
// Up to this many columns a sequence of unknown length is counted in the
// dense table from its first window: going over the whole table at its end
// costs less than noting the touched columns (a 150 bp read at k = 4).
constexpr std::uint64_t kDenseColumns = 256;

std::uint64_t columns_of(unsigned k) { return kmer_columns(k); }

// The C++ runtime keeps its exception state in thread-local storage that
// the C library allocates on the thread's first throw. Counting throws
// std::bad_alloc exactly when memory has run out, and a failed allocation
// of that storage aborts the process; so it is touched here, when the
// module is loaded on the importing thread, where memory is still at hand.
// libstdc++ offers the call that allocates it; elsewhere (libc++, as linked
// into the wheels) one caught throw does the same.
#if defined(__GLIBCXX__)
[[gnu::used]] void* volatile exception_state = abi::__cxa_get_globals();
#else
bool touch_exception_state() {
    try {
        throw 0;
    } catch (int) {
    }
    return true;
}
[[gnu::used]] volatile bool exception_state = touch_exception_state();
#endif

}  // namespace

KmerCounter::KmerCounter(unsigned k, bool use_rev_complement, bool skip_invalid, bool reuse)
    : k_(k),
      rc_(use_rev_complement),
      skip_(skip_invalid),
      reuse_(reuse),
      lut_(skip_invalid ? kLenientCodes.data() : kStrictCodes.data()),
      kernels_(count_kernels()),
      mask_(columns_of(k) - 1),
      size_(columns_of(k)) {
    const std::uint64_t strands = rc_ ? 2 : 1;
    dense_from_ = (size_ + 2 * strands - 1) / (2 * strands);
    // The wide table pays while it fits the first- or second-level cache
    // and the sequence is long enough to amortise summing it out: from 4
    // windows per wide counter. Measured at k = 4 and 5: sequences of known
    // length gain 13 % at 17 kbp and 40 % at 100 kbp, FASTA records of 50
    // kbp (switching after 16k windows) 11 to 14 %; records just past the
    // switch (17 to 20 kbp) lose 4 to 6 %.
    step_ = k > 0 ? wide_step(k) : 1;
    if (step_ > 1) {
        wide_size_ = columns_of(k + step_ - 1);
        wide_mask_ = wide_size_ - 1;
        wide_from_ = 4 * wide_size_;
    }
    // Codes are added by bucket half a table's columns at a time, between
    // 4 and 8 million (32 to 64 MB of codes): each addition passes over the
    // whole result once.
    bucketed_ = size_ >= kBucketColumns;
    drain_at_ = std::clamp<std::uint64_t>(size_ / 2, std::uint64_t{1} << 22, std::uint64_t{1} << 23);
}

void KmerCounter::begin(std::uint64_t length) {
    code_ = 0;
    need_ = k_ > 0 ? k_ - 1 : 0;
    pending_ = 0;
    windows_ = 0;
    flushed_at_ = 0;
    pos_ = 0;
    failed_ = false;
    prefix_size_ = 0;
    tail_.clear();
    ntouched_ = 0;
    touched_dirty_ = false;
    codes_.clear();
    acc_.clear();
    switch_at_ = 0;
    if (k_ == 0) return;
    codes_room_ = drain_at_ + kBlock;
    if (length == kUnknownLength) {
        mode_ = size_ <= kDenseColumns ? Mode::Dense : size_ <= kTableColumns ? Mode::Sparse : Mode::Codes;
        if (mode_ != Mode::Codes) ensure_table();
        return;
    }
    const std::uint64_t windows = length >= k_ ? length - k_ + 1 : 0;
    mode_ = Mode::Codes;
    if (windows >= dense_from_ && bucketed_) {
        // Room for the whole sequence at once: growing the codes later
        // would copy them into fresh memory.
        codes_room_ = std::min(windows, codes_room_);
        reserve_codes(codes_room_);
    } else if (windows >= dense_from_) {
        mode_ = Mode::Dense;
        ensure_table();
        if (step_ > 1 && windows >= wide_from_) enable_wide();
    } else {
        codes_.reserve(windows * (rc_ ? 2 : 1));
    }
}

void KmerCounter::switch_mode() {
    change_mode();
    // The next count of windows at which there is something to do.
    std::uint64_t next = flushed_at_ + kFlushAt;
    if (mode_ == Mode::Codes && bucketed_ && windows_ >= dense_from_)
        next = std::min(next, windows_ + drain_at_ - codes_.size());
    else if (mode_ == Mode::Codes || mode_ == Mode::Sparse)
        next = std::min(next, dense_from_);
    if (mode_ == Mode::Dense && step_ > 1) next = std::min(next, wide_from_);
    switch_at_ = next;
}

void KmerCounter::change_mode() {
    if (windows_ - flushed_at_ >= kFlushAt) flush();
    switch (mode_) {
        case Mode::Codes:
            if (windows_ < dense_from_) return;
            if (bucketed_) {
                if (codes_.size() >= drain_at_) drain_codes();
                else if (codes_.capacity() < codes_room_) reserve_codes(codes_room_);
                return;
            }
            ensure_table();
            for (auto c : codes_) ++table_[c];
            codes_.clear();
            mode_ = Mode::Dense;
            [[fallthrough]];
        case Mode::Dense:
            if (step_ > 1 && windows_ >= wide_from_) enable_wide();
            return;
        case Mode::Sparse:
            if (windows_ >= dense_from_) mode_ = Mode::Dense;
            return;
        case Mode::Wide:
            return;
    }
}

void KmerCounter::fail_at(std::uint64_t position) {
    failed_ = true;
    bad_ = position;
}

void KmerCounter::keep_tail(const Byte* p, std::size_t n) {
    const std::size_t want = k_ + 5;
    if (tail_.size() < want) tail_.append(reinterpret_cast<const char*>(p), std::min(n, want - tail_.size()));
}

// One byte, with every case handled: priming, the end of a run at an
// invalid byte, the wide table's phase.
void KmerCounter::step(Byte b, std::uint64_t position) {
    const Byte c = lut_[b];
    if (c & kInvalid) {
        if (skip_) end_run();
        else fail_at(position);
        return;
    }
    code_ = (code_ << 2) | c;
    if (need_ != 0) {
        --need_;
        return;
    }
    ++windows_;
    const std::uint64_t column = code_ & mask_;
    switch (mode_) {
        case Mode::Codes:
            codes_.push_back(column);
            break;
        case Mode::Sparse:
            if (table_[column]++ == 0) {
                if (ntouched_ == touched_.size()) touched_.resize(std::max<std::size_t>(64, 2 * touched_.size()));
                touched_[ntouched_++] = column;
            }
            break;
        case Mode::Dense:
            ++table_[column];
            break;
        case Mode::Wide:
            if (++pending_ == step_) {
                ++wide_[code_ & wide_mask_];
                pending_ = 0;
            }
            break;
    }
}

// Ends a run of bases: the windows that the wide table has not taken yet
// are counted one by one, and the next window needs k new bases.
void KmerCounter::end_run() {
    for (unsigned t = 0; t < pending_; ++t) ++table_[(code_ >> (2 * t)) & mask_];
    pending_ = 0;
    need_ = k_ - 1;
    code_ = 0;
}

// Counts n bytes (a multiple of the wide step in wide mode) with the fast
// loop of the mode; a block holding an invalid byte fails the sequence, or
// without strictness is taken back and counted byte by byte.
void KmerCounter::fast_block(const Byte* p, std::size_t n, std::uint64_t position) {
    const CountKernels& run = kernels_;
    const std::uint64_t start_code = code_;
    const std::size_t start_codes = codes_.size();
    Byte bad = 0;
    switch (mode_) {
        case Mode::Codes:
            codes_.resize(start_codes + n);
            bad = run.codes(p, n, lut_, mask_, code_, codes_.data() + start_codes);
            break;
        case Mode::Sparse: {
            if (touched_.size() < ntouched_ + n + 1) touched_.resize(std::max(2 * touched_.size(), ntouched_ + n + 1));
            std::uint64_t* out = touched_.data() + ntouched_;
            bad = run.sparse(p, n, lut_, table_.get(), mask_, code_, out);
            ntouched_ = static_cast<std::size_t>(out - touched_.data());
            break;
        }
        case Mode::Dense:
            bad = run.dense_add(p, n, lut_, table_.get(), mask_, code_);
            break;
        case Mode::Wide:
            bad = (step_ == 2 ? run.wide2_add : run.wide3_add)(p, n, lut_, wide_.get(), wide_mask_, code_);
            break;
    }
    if (!bad) {
        windows_ += n;
        return;
    }
    if (!skip_) {
        std::size_t j = 0;
        while (!(lut_[p[j]] & kInvalid)) ++j;
        fail_at(position + j);
        return;
    }
    std::uint64_t x = start_code;
    switch (mode_) {
        case Mode::Codes:
            codes_.resize(start_codes);
            break;
        case Mode::Sparse:
            run.dense_take_back(p, n, lut_, table_.get(), mask_, x);
            touched_dirty_ = true;
            break;
        case Mode::Dense:
            run.dense_take_back(p, n, lut_, table_.get(), mask_, x);
            break;
        case Mode::Wide:
            (step_ == 2 ? run.wide2_take_back : run.wide3_take_back)(p, n, lut_, wide_.get(), wide_mask_, x);
            break;
    }
    code_ = start_code;
    for (std::size_t j = 0; j < n; ++j) step(p[j], position + j);
}

void KmerCounter::feed(std::string_view piece) {
    tables_clean_ = false;  // until the sequence's end clears them
    const auto* p = reinterpret_cast<const Byte*>(piece.data());
    const std::size_t n = piece.size();
    if (pos_ < kFailurePrefix) {
        const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(n, kFailurePrefix - pos_));
        std::memcpy(prefix_ + prefix_size_, piece.data(), take);
        prefix_size_ += take;
    }
    const std::uint64_t start = pos_;
    pos_ += n;
    if (failed_) {
        keep_tail(p, n);
        return;
    }
    if (k_ == 0) {
        feed_empty_windows(p, n, start);
        return;
    }
    std::size_t i = 0;
    while (i < n && !failed_) {
        if (need_ != 0 || pending_ != 0) {
            step(p[i], start + i);
            ++i;
            continue;
        }
        if (windows_ >= switch_at_) switch_mode();
        std::size_t len = std::min(n - i, kBlock);
        if (mode_ == Mode::Wide) len -= len % step_;
        since_check_ += len;
        if (since_check_ >= kCheckBytes) {
            since_check_ = 0;
            check_signals();
        }
        if (len == 0) {
            step(p[i], start + i);
            ++i;
            continue;
        }
        fast_block(p + i, len, start + i);
        i += len;
    }
    if (failed_) keep_tail(p + (bad_ - start), static_cast<std::size_t>(n - (bad_ - start)));
}

// k = 0: every byte offset is a window of the empty k-mer. Strictly, an
// offset inside a multi-byte character fails (the first one being the byte
// after the first non-ASCII lead byte); leniently, such offsets are skipped.
void KmerCounter::feed_empty_windows(const Byte* p, std::size_t n, std::uint64_t start) {
    if (skip_) {
        windows_ += n - count_continuation_bytes(p, n);
        return;
    }
    const std::size_t lead = first_non_ascii(p, n);
    windows_ += lead;
    if (lead == n) return;
    fail_at(start + lead);
    keep_tail(p + lead, n - lead);
}

}  // namespace nuvek
