#include "kmer/kmer_profile.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "kmer/kmer_index.hpp"
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

// The matrix lives in pages of its own where the system can move them:
// growing it by remapping copies nothing (realloc copies blocks that the
// allocator keeps in its heap, which a matrix of a few MB still is).
#if defined(MREMAP_MAYMOVE)
void ProfileMatrix::resize(std::uint64_t bytes) {
    void* p = data_ ? mremap(data_, bytes_, bytes, MREMAP_MAYMOVE)
                    : mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<std::uint64_t*>(p);
    bytes_ = bytes;
#ifdef MADV_HUGEPAGE
    // Every row is written once, in order: 4 KiB pages would cost a fault
    // each. Advised whole, so that the mapping stays one piece that mremap
    // can move.
    if (bytes >= (std::uint64_t{4} << 20)) madvise(p, bytes, MADV_HUGEPAGE);
#endif
}

void ProfileMatrix::release() noexcept {
    if (data_) munmap(data_, bytes_);
}
#else
void ProfileMatrix::resize(std::uint64_t bytes) {
    void* p = std::realloc(data_, bytes);
    if (!p) throw std::bad_alloc();
    data_ = static_cast<std::uint64_t*>(p);
    bytes_ = bytes;
}

void ProfileMatrix::release() noexcept { std::free(data_); }
#endif

ProfileMatrix::~ProfileMatrix() { release(); }

ProfileMatrix::ProfileMatrix(ProfileMatrix&& o) noexcept
    : data_(std::exchange(o.data_, nullptr)),
      bytes_(std::exchange(o.bytes_, 0)),
      columns_(o.columns_),
      rows_(std::exchange(o.rows_, 0)),
      capacity_(std::exchange(o.capacity_, 0)) {}

ProfileMatrix& ProfileMatrix::operator=(ProfileMatrix&& o) noexcept {
    if (this != &o) {
        release();
        data_ = std::exchange(o.data_, nullptr);
        bytes_ = std::exchange(o.bytes_, 0);
        columns_ = o.columns_;
        rows_ = std::exchange(o.rows_, 0);
        capacity_ = std::exchange(o.capacity_, 0);
    }
    return *this;
}

std::uint64_t* ProfileMatrix::append() {
    if (rows_ == capacity_) {
        constexpr std::uint64_t kPage = 4096;
        // Twice as many rows, in whole pages.
        const std::uint64_t want = capacity_ < 16 ? 16 : 2 * capacity_;
        const auto count = checked_mul(want, columns_);
        if (!count || *count > (~std::uint64_t{0} - kPage) / sizeof(std::uint64_t)) throw std::bad_alloc();
        require_fits(*count, sizeof(std::uint64_t));
        resize((*count * sizeof(std::uint64_t) + kPage - 1) / kPage * kPage);
        capacity_ = bytes_ / sizeof(std::uint64_t) / columns_;
    }
    return row(rows_++);
}

void ProfileMatrix::shrink() noexcept {
    constexpr std::uint64_t kPage = 4096;
    const std::uint64_t bytes = (rows_ * columns_ * sizeof(std::uint64_t) + kPage - 1) / kPage * kPage;
    if (bytes == 0) {
        release();
        data_ = nullptr;
        bytes_ = capacity_ = 0;
        return;
    }
    if (bytes >= bytes_) return;
    try {
        resize(bytes);
        capacity_ = bytes_ / sizeof(std::uint64_t) / columns_;
    } catch (const std::bad_alloc&) {
        // Keeping the room is harmless.
    }
}

}  // namespace nuvek
