#include "kmer/kmer_profile.hpp"

#include <cstring>
#include <new>

#include "kmer/kmer_index.hpp"
#include "kmer/kmer_tables.hpp"
#include "util/memory.hpp"

namespace nuvek {

ProfileColumns::ProfileColumns(unsigned k, bool canonical) : k_(k), canonical_(canonical) {
    if (k == 0 || k > kMaxProfileK) throw std::bad_alloc();
    const std::uint64_t n = kmer_columns(k);
    if (!canonical) {
        size_ = n;
        return;
    }
    const std::uint64_t half = k % 2 ? 0 : kmer_columns(k / 2);
    size_ = (n + half) / 2;
    require_fits(2 * size_, sizeof(std::uint32_t));
    first_.reserve(size_);
    second_.reserve(size_);
    for (std::uint64_t c = 0; c < n; ++c) {
        const std::uint64_t r = rev_complement_code(c, k);
        if (r < c) continue;
        first_.push_back(static_cast<std::uint32_t>(c));
        second_.push_back(static_cast<std::uint32_t>(r == c ? n : r));
    }
}

void ProfileColumns::add(std::uint64_t* out, const std::uint32_t* table) const noexcept {
    if (!canonical_) {
        for (std::uint64_t j = 0; j < size_; ++j) out[j] += table[j];
        return;
    }
    const std::uint32_t* a = first_.data();
    const std::uint32_t* b = second_.data();
    for (std::uint64_t j = 0; j < size_; ++j) out[j] += std::uint64_t{table[a[j]]} + table[b[j]];
}

std::uint64_t* ProfileMatrix::append() {
    if (rows_ == capacity_) {
        // Half as much again: realloc moves large blocks by remapping pages,
        // so growing costs no copy, and shrink() returns the slack.
        const std::uint64_t want = capacity_ < 16 ? 16 : capacity_ + capacity_ / 2;
        const auto count = checked_mul(want, columns_);
        if (!count) throw std::bad_alloc();
        require_fits(*count, sizeof(std::uint64_t));
        void* p = std::realloc(data_.get(), *count * sizeof(std::uint64_t));
        if (!p) throw std::bad_alloc();
        static_cast<void>(data_.release());
        data_.reset(static_cast<std::uint64_t*>(p));
        capacity_ = want;
        // Every row is written once, in order: 4 KiB pages would cost a
        // fault each.
        advise_huge_pages(p, *count * sizeof(std::uint64_t));
    }
    return row(rows_++);
}

void ProfileMatrix::shrink() noexcept {
    if (rows_ == capacity_) return;
    if (rows_ == 0) {
        data_.reset();
        capacity_ = 0;
        return;
    }
    if (void* p = std::realloc(data_.get(), rows_ * columns_ * sizeof(std::uint64_t))) {
        static_cast<void>(data_.release());
        data_.reset(static_cast<std::uint64_t*>(p));
        capacity_ = rows_;
    }
}

}  // namespace nuvek
