// Memory for dense k-mer counts, and for the other per-sequence vectors
// that grow with the windows: the entries of sparse results and the
// counter's window codes (a 100 kbp record at k = 10 makes 1.6 MB of each,
// which from the heap were faulted in afresh for every record).
//
// A FASTA file gives one dense result per record, each written once: at
// k = 8 a 5 Mbp genome of 100 contigs makes 51 MB of them. Taken from the
// heap in 4 KiB pages, faulting them in costs more than counting them.
// Results from 64 KiB up are therefore placed in 2 MiB blocks that the
// kernel is asked to back with huge pages: results up to 1 MiB share a
// block, which is freed once all of them are freed (so one kept result
// holds its whole block), larger ones get blocks of their own. Up to 64 MB
// of freed single blocks are kept and handed out again, already faulted in,
// and so are the three newest freed larger mappings, up to 128 MB each and
// 192 MB in all (the codes, their buckets and the result at k = 12).
//
// The vector type leaves its elements uninitialised where a std::vector
// would zero them (CountVector v(n), v.resize(n)): the code filling it
// writes every counter anyway. Ask for zeros explicitly: v(n, 0).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <utility>
#include <vector>

namespace nuvek {

// bytes of memory for counters, aligned for any counter type; throws
// std::bad_alloc when it cannot be had.
void* allocate_counts(std::size_t bytes);
// Gives back memory from allocate_counts(bytes), with the same bytes.
void release_counts(void* p, std::size_t bytes) noexcept;

// Asks the kernel to back large memory with huge pages (the whole 2 MiB
// pages inside it, from 4 MiB on): counting touches a table at random, and
// 4 KiB pages would make most increments miss the TLB; a fresh result
// written in full would take a page fault per 4 KiB. Purely advisory.
void advise_huge_pages(void* data, std::size_t bytes) noexcept;

template <class T>
struct CountAllocator {
    using value_type = T;

    CountAllocator() noexcept = default;
    template <class U>
    CountAllocator(const CountAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(allocate_counts(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { release_counts(p, n * sizeof(T)); }

    // Default-initialisation: no zeroing of trivial counters.
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    template <class U>
    bool operator==(const CountAllocator<U>&) const noexcept {
        return true;
    }
};

using CountVector = std::vector<std::uint64_t, CountAllocator<std::uint64_t>>;

}  // namespace nuvek
