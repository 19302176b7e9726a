// The counter's own tables while a sequence grows: the wide table made when
// it starts to pay, the 32-bit counters moved into the 64-bit result before
// they could overflow, and the window codes' room and their addition to the
// result by bucket.
#include <array>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#include "kmer/count_storage.hpp"
#include "kmer/kmer_buckets.hpp"
#include "kmer/kmer_counter.hpp"
#include "kmer/kmer_tables.hpp"
#include "util/memory.hpp"

namespace nuvek {
namespace {

// Zeroed tables kept between counters. A FASTA call makes a counter of its
// own, and its 4^k table (256 KB at k = 8, 4 MB at k = 10) came from calloc
// and was faulted in afresh on every call: 10 x 100 kbp at k = 8 took 240
// page faults a call, a tenth of its time. A counter that ends with its
// tables zeroed leaves them here for the next one; a few, up to 16 MB each.
constexpr std::size_t kShelfSlots = 4;
constexpr std::size_t kShelfMaxBytes = std::size_t{16} << 20;

struct Shelf {
    std::mutex lock;
    std::array<std::uint32_t*, kShelfSlots> table{};
    std::array<std::size_t, kShelfSlots> counters{};
};

void release_shelf() noexcept;

Shelf& shelf() {
    static Shelf* s = [] {
        auto* made = new Shelf;  // never destroyed: counters may outlive static destruction
        on_memory_short(&release_shelf);
        return made;
    }();
    return *s;
}

void release_shelf() noexcept {
    Shelf& s = shelf();
    std::array<std::uint32_t*, kShelfSlots> all{};
    {
        std::lock_guard<std::mutex> guard(s.lock);
        all.swap(s.table);
        s.counters = {};
    }
    for (std::uint32_t* t : all) std::free(t);
}

// A zeroed table of n counters from the shelf, or null.
std::uint32_t* take_clean(std::size_t n) noexcept {
    Shelf& s = shelf();
    std::lock_guard<std::mutex> guard(s.lock);
    for (std::size_t i = 0; i < kShelfSlots; ++i)
        if (s.table[i] && s.counters[i] == n) {
            s.counters[i] = 0;
            return std::exchange(s.table[i], nullptr);
        }
    return nullptr;
}

// Keeps a zeroed table of n counters for a later counter, or frees it.
void put_clean(std::uint32_t* t, std::size_t n) noexcept {
    if (!t) return;
    if (n <= kShelfMaxBytes / sizeof(std::uint32_t)) {
        Shelf& s = shelf();
        std::lock_guard<std::mutex> guard(s.lock);
        for (std::size_t i = 0; i < kShelfSlots; ++i)
            if (!s.table[i]) {
                s.table[i] = t;
                s.counters[i] = n;
                return;
            }
    }
    std::free(t);
}

}  // namespace

KmerCounter::~KmerCounter() {
    if (!tables_clean_) return;
    put_clean(table_.release(), size_);
    put_clean(wide_.release(), wide_size_);
}

// Counts the following windows in the wide table. Called between windows
// only (no window of the current run is pending), so the first increment
// comes after s more windows and stands for exactly those.
void KmerCounter::enable_wide() {
    if (!wide_) wide_.reset(take_clean(wide_size_));
    if (!wide_) {
        auto* t = static_cast<std::uint32_t*>(std::calloc(wide_size_, sizeof(std::uint32_t)));
        if (!t) throw std::bad_alloc();
        wide_.reset(t);
    }
    mode_ = Mode::Wide;
}

void KmerCounter::ensure_table() {
    if (table_) return;
    table_.reset(take_clean(size_));
    if (table_) return;
    require_fits(size_, sizeof(std::uint32_t));
    auto* t = static_cast<std::uint32_t*>(std::calloc(size_, sizeof(std::uint32_t)));
    if (!t) throw std::bad_alloc();
    table_.reset(t);
    advise_huge_pages(t, size_ * sizeof(std::uint32_t));
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
