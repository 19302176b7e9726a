// The counter's own tables while a sequence grows: the wide table made when
// it starts to pay, the 32-bit counters moved into the 64-bit result before
// they could overflow, and the window codes' room and their addition to the
// result by bucket.
#include <cstdlib>
#include <cstring>
#include <new>

#include "kmer/count_storage.hpp"
#include "kmer/kmer_buckets.hpp"
#include "kmer/kmer_counter.hpp"
#include "kmer/kmer_tables.hpp"
#include "util/memory.hpp"

namespace nuvek {

// Counts the following windows in the wide table. Called between windows
// only (no window of the current run is pending), so the first increment
// comes after s more windows and stands for exactly those.
void KmerCounter::enable_wide() {
    if (!wide_) {
        auto* t = static_cast<std::uint32_t*>(std::calloc(wide_size_, sizeof(std::uint32_t)));
        if (!t) throw std::bad_alloc();
        wide_.reset(t);
    }
    mode_ = Mode::Wide;
}

void KmerCounter::flush() {
    if (mode_ != Mode::Dense && mode_ != Mode::Wide) return;
    if (acc_.empty()) {
        require_fits(size_, sizeof(std::uint64_t));
        acc_.assign(size_, 0);
    }
    add_table(acc_.data(), table_.get(), size_);
    std::memset(table_.get(), 0, size_ * sizeof(std::uint32_t));
    if (mode_ == Mode::Wide) {
        sum_out_wide(acc_.data(), wide_.get(), wide_size_, step_, mask_);
        std::memset(wide_.get(), 0, wide_size_ * sizeof(std::uint32_t));
    }
    flushed_at_ = windows_;
}

// Room for n window codes, in huge pages where they can be had.
void KmerCounter::reserve_codes(std::uint64_t n) {
    codes_.reserve(n);
    advise_huge_pages(codes_.data(), codes_.capacity() * sizeof(std::uint64_t));
}

// Adds the codes noted so far to the 64-bit result, by bucket; returns its
// non-zero counters.
std::uint64_t KmerCounter::drain_codes() {
    const bool first = acc_.empty();
    if (first) {
        require_fits(size_, sizeof(std::uint64_t));
        acc_ = CountVector(size_);
    }
    const std::uint64_t nonzero = add_codes_by_bucket(acc_.data(), first, codes_.data(), codes_.size(), k_, rc_);
    codes_.clear();
    flushed_at_ = windows_;
    return nonzero;
}

}  // namespace nuvek
