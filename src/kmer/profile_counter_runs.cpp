// The counting of a record's bytes: runs of bases through the loop of the
// record's form (sparse, wide, dense), the bytes around them one by one.
#include "kmer/profile_counter.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "kmer/base_runs.hpp"
#include "kmer/count_loops.hpp"
#include "kmer/kmer_tables.hpp"

namespace nuvek {
namespace {
using Byte = unsigned char;
using kmer_loops::kInvalid;
}  // namespace

void ProfileCounter::ensure_wide() {
    if (!wide_) {
        wide_.reset(static_cast<std::uint32_t*>(std::calloc(wide_size_, sizeof(std::uint32_t))));
        if (!wide_) throw std::bad_alloc();
    }
    wide_used_ = true;
}

CountKernels::Table ProfileCounter::wide_loop(bool take_back) const noexcept {
    if (wide_step_ == 2) return take_back ? kernels_.wide2_take_back : kernels_.wide2_add;
    return take_back ? kernels_.wide3_take_back : kernels_.wide3_add;
}

// Moves the k-mers of the wide table into the k-mer table.
void ProfileCounter::fold_wide() noexcept {
    if (!wide_used_) return;
    sum_out_wide(table_.get(), wide_.get(), wide_size_, wide_step_, mask_);
    std::memset(wide_.get(), 0, wide_size_ * sizeof(std::uint32_t));
    wide_used_ = false;
}

void ProfileCounter::step(Byte b, std::uint64_t at) {
    const Byte c = lut_[b];
    if (c & kInvalid) {
        invalid_at(at);
        return;
    }
    code_ = (code_ << 2) | c;
    if (need_ != 0) {
        --need_;
        return;
    }
    const std::uint64_t column = code_ & mask_;
    if (table_[column]++ == 0 && sparse_now()) touched_[ntouched_++] = column;
    ++kmers_;
}

// Whether the record is still counted sparse: not from sparse_until_ k-mers.
bool ProfileCounter::sparse_now() noexcept {
    if (sparse_ && kmers_ >= sparse_until_) sparse_ = false;
    return sparse_;
}

// A run of n bases with no k-mer pending: while the record is sparse,
// noting the counters that leave zero; in the wide table, s k-mers per
// counter, as far as whole steps go; the rest one by one.
void ProfileCounter::count_run(const Byte* p, std::size_t n) {
    if (sparse_now()) {
        // The noting loop is slower (its next slot waits for the counter's
        // load): only up to the limit.
        const auto m = static_cast<std::size_t>(std::min<std::uint64_t>(n, sparse_until_ - kmers_));
        std::uint64_t* out = touched_.data() + ntouched_;
        kernels_.sparse(p, m, lut_, table_.get(), mask_, code_, out);
        ntouched_ = static_cast<std::size_t>(out - touched_.data());
        kmers_ += m;
        if (m == n) return;
        sparse_ = false;
        p += m;
        n -= m;
    }
    std::size_t wide = 0;
    count_split(p, n, false, wide);
    kmers_ += n;
}

// Counts n bytes with no k-mer pending, past wide_from_ k-mers in the wide
// table as far as whole steps go (wide: how far), the rest one by one; with
// checked, returns the loops' validity byte.
Byte ProfileCounter::count_split(const Byte* p, std::size_t n, bool checked, std::size_t& wide) {
    Byte bad = 0;
    wide = 0;
    if (kmers_ >= wide_from_) {
        ensure_wide();
        wide = n / wide_step_ * wide_step_;
        if (wide != 0) bad |= wide_loop(false)(p, wide, lut_, wide_.get(), wide_size_ - 1, code_);
    }
    if (wide < n) {
        bad |= (checked ? kernels_.dense_add : kernels_.dense_clean)(p + wide, n - wide, lut_, table_.get(), mask_,
                                                                     code_);
    }
    return bad;
}

// Counts n bytes (no k-mer pending, not sparse) as one run of bases,
// testing them only as the loops go; if they are not all bases, takes
// everything back and returns false.
bool ProfileCounter::try_run(const Byte* p, std::size_t n) {
    const std::uint64_t start = code_;
    std::size_t wide = 0;
    if (!count_split(p, n, true, wide)) {
        kmers_ += n;
        return true;
    }
    std::uint64_t x = start;
    if (wide != 0) wide_loop(true)(p, wide, lut_, wide_.get(), wide_size_ - 1, x);
    if (wide < n) kernels_.dense_take_back(p + wide, n - wide, lut_, table_.get(), mask_, x);
    code_ = start;
    return false;
}

// n bytes from offset at with no k-mer pending (the rolling code holds
// the k - 1 bases before them): the runs of bases go through the fast loop,
// the bytes that end a run or start one byte by byte. Once a record has had
// a whole block of bases only, its next blocks are counted first and tested
// as they go, instead of being scanned for the end of each run first; after
// one block that was not, the record is scanned to its end.
void ProfileCounter::block(const Byte* p, std::size_t n, std::uint64_t at) {
    if (hopeful_ && need_ == 0 && !sparse_now()) {
        if (try_run(p, n)) return;
        hopeful_ = false;
        doubted_ = true;
    }
    if (!doubted_ && need_ == 0 && n == kBlock) hopeful_ = true;
    std::size_t j = 0;
    while (j < n && !stopped_) {
        if (need_ != 0) {
            step(p[j], at + j);
            ++j;
            continue;
        }
        const std::size_t end = j + first_outside_bases(p + j, n - j, skip_);
        if (end > j) count_run(p + j, end - j);
        if (end < n) {
            hopeful_ = false;
            step(p[end], at + end);
        }
        j = end + 1;
    }
}

}  // namespace nuvek
