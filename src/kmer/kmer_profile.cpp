#include "kmer/kmer_profile.hpp"

#include <sys/mman.h>
#include <sys/resource.h>

#include <algorithm>
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
    if (can_take()) column_of_.resize(n);
    for (std::uint64_t c = 0; c < n; ++c) {
        const std::uint64_t r = rev_complement_code(c, k);
        if (r < c) continue;
        if (can_take()) column_of_[c] = column_of_[r] = static_cast<std::uint32_t>(first_.size());
        first_.push_back(static_cast<std::uint32_t>(c));
        second_.push_back(static_cast<std::uint32_t>(r == c ? n : r));
    }
}

void ProfileColumns::take(std::uint64_t* out, std::uint32_t* table, const std::uint64_t* codes,
                          std::size_t n) const noexcept {
    const std::uint32_t* column = column_of_.data();
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t c = codes[i];
        out[canonical_ ? column[c] : c] += table[c];
        table[c] = 0;
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

// The matrix lives in pages of its own, grown by remapping, which copies
// nothing. Once it passes 2 MiB it moves, in one copy of at most that, into
// a room of 1 GiB of address space aligned to huge pages and asked to be
// them: growing within the room is a change of the capacity only, and
// writing the rows costs a fault per 2 MiB rather than per 4 KiB. Small
// profiles keep small pages. The room is memory only where rows are written
// and the capacity is still checked against the memory limit as it grows;
// it is not taken where the address space or data size is limited, since
// it would count against those limits.
#if defined(MREMAP_MAYMOVE)
namespace {
constexpr std::uint64_t kHugePage = std::uint64_t{1} << 21;
constexpr std::uint64_t kRoom = std::uint64_t{1} << 30;

bool unlimited(int resource) noexcept {
    rlimit r{};
    return getrlimit(resource, &r) == 0 && r.rlim_cur == RLIM_INFINITY;
}

// A mapping of bytes (a multiple of kHugePage) aligned to huge pages, or null.
void* map_room(std::uint64_t bytes) noexcept {
    if (!unlimited(RLIMIT_AS) || !unlimited(RLIMIT_DATA)) return nullptr;
    const std::uint64_t span = bytes + kHugePage;
    void* p = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    const auto aligned = (at + kHugePage - 1) & ~(kHugePage - 1);
    if (aligned > at) munmap(p, aligned - at);
    if (const std::uint64_t tail = at + span - (aligned + bytes)) munmap(reinterpret_cast<void*>(aligned + bytes), tail);
#ifdef MADV_HUGEPAGE
    madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);
#endif
    return reinterpret_cast<void*>(aligned);
}
}  // namespace

void ProfileMatrix::resize(std::uint64_t bytes) {
    if (bytes <= mapped_) {
        bytes_ = bytes;
        return;
    }
    if (!in_room_ && bytes > kHugePage) {
        const std::uint64_t room = std::max(kRoom, (bytes + kHugePage - 1) / kHugePage * kHugePage);
        if (void* p = map_room(room)) {
            if (data_) std::memcpy(p, data_, rows_ * columns_ * sizeof(std::uint64_t));
            written_ = rows_;
            release();
            data_ = static_cast<std::uint64_t*>(p);
            bytes_ = bytes;
            mapped_ = room;
            in_room_ = true;
            return;
        }
    }
    void* p = data_ ? mremap(data_, mapped_, bytes, MREMAP_MAYMOVE)
                    : mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    if (bytes >= (std::uint64_t{4} << 20)) madvise(p, bytes, MADV_HUGEPAGE);
#endif
    data_ = static_cast<std::uint64_t*>(p);
    bytes_ = mapped_ = bytes;
}

void ProfileMatrix::give_back() noexcept {
    if (bytes_ < mapped_ && munmap(reinterpret_cast<char*>(data_) + bytes_, mapped_ - bytes_) == 0) mapped_ = bytes_;
}

void ProfileMatrix::release() noexcept {
    if (data_) munmap(data_, mapped_);
}
#else
void ProfileMatrix::resize(std::uint64_t bytes) {
    void* p = std::realloc(data_, bytes);
    if (!p) throw std::bad_alloc();
    data_ = static_cast<std::uint64_t*>(p);
    bytes_ = mapped_ = bytes;
}

void ProfileMatrix::give_back() noexcept {
    if (bytes_ >= mapped_) return;
    if (void* p = std::realloc(data_, bytes_)) {
        data_ = static_cast<std::uint64_t*>(p);
        mapped_ = bytes_;
    }
}

void ProfileMatrix::release() noexcept { std::free(data_); }
#endif

ProfileMatrix::~ProfileMatrix() { release(); }

ProfileMatrix::ProfileMatrix(ProfileMatrix&& o) noexcept
    : data_(std::exchange(o.data_, nullptr)),
      bytes_(std::exchange(o.bytes_, 0)),
      mapped_(std::exchange(o.mapped_, 0)),
      in_room_(std::exchange(o.in_room_, false)),
      columns_(o.columns_),
      rows_(std::exchange(o.rows_, 0)),
      written_(std::exchange(o.written_, 0)),
      capacity_(std::exchange(o.capacity_, 0)) {}

ProfileMatrix& ProfileMatrix::operator=(ProfileMatrix&& o) noexcept {
    if (this != &o) {
        release();
        data_ = std::exchange(o.data_, nullptr);
        bytes_ = std::exchange(o.bytes_, 0);
        mapped_ = std::exchange(o.mapped_, 0);
        in_room_ = std::exchange(o.in_room_, false);
        columns_ = o.columns_;
        rows_ = std::exchange(o.rows_, 0);
        written_ = std::exchange(o.written_, 0);
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
    std::uint64_t* r = row(rows_);
#if defined(MREMAP_MAYMOVE)
    if (rows_ < written_) std::memset(r, 0, columns_ * sizeof(std::uint64_t));
#else
    std::memset(r, 0, columns_ * sizeof(std::uint64_t));
#endif
    ++rows_;
    written_ = std::max(written_, rows_);
    return r;
}

void ProfileMatrix::shrink() noexcept {
    constexpr std::uint64_t kPage = 4096;
    const std::uint64_t bytes = (rows_ * columns_ * sizeof(std::uint64_t) + kPage - 1) / kPage * kPage;
    if (bytes == 0) {
        release();
        data_ = nullptr;
        bytes_ = mapped_ = capacity_ = written_ = 0;
        in_room_ = false;
        return;
    }
    if (bytes < bytes_) {
        bytes_ = bytes;
        capacity_ = bytes_ / sizeof(std::uint64_t) / columns_;
    }
    give_back();
}

}  // namespace nuvek
