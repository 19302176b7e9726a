// A k-mer counter that takes a sequence in pieces: a whole string at once,
// or a FASTA record line by line straight from the reader's buffer. Its
// rolling state carries over from one piece to the next, so a window may
// span any number of pieces, and its tables are kept from one sequence to
// the next (all zero in between), so that many short records cost no
// allocation each.
//
// The forward strand only is counted; the reverse strand's counts are the
// forward counts of each column's reverse complement, added at the end.
// Counters are 32-bit, moved into the 64-bit result before any of them
// could overflow.
//
// Four ways to hold the counts of one sequence, chosen by how many windows
// it has against the 4^k columns, and changed while it grows:
//   codes  - a list of the window codes, sorted at the end (few windows,
//            many columns: nothing of size 4^k is touched); from k = 12,
//            where the table would miss the caches, the codes of a sequence
//            with many windows too, added to the 64-bit result bucket by
//            bucket (kmer_buckets.hpp) every few million windows;
//   sparse - a table of 4^k counters kept zero between sequences, plus the
//            list of columns that left zero (few windows, up to 2^18 columns);
//   dense  - the table alone;
//   wide   - at small k on long sequences, every s-th (k+s-1)-mer is counted
//            in a table that still fits the cache, one increment standing
//            for s windows; the k-mers are summed out of it at the end.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kmer/count_kernels.hpp"
#include "kmer/kmer_count_result.hpp"
#include "kmer/kmer_failure.hpp"

namespace nuvek {

class KmerCounter {
public:
    static constexpr std::uint64_t kUnknownLength = ~std::uint64_t{0};

    // k from 1 to 31. With skip_invalid, lower-case a, c, g, t count as
    // their upper-case bases and a window holding any other byte is skipped;
    // without it, such a window fails the sequence.
    // With reuse false the tables are freed, not cleared, at the end of
    // the sequence: for a counter that counts one sequence only.
    KmerCounter(unsigned k, bool use_rev_complement, bool skip_invalid, bool reuse = true);
    // Leaves tables it ends with zeroed to the next counter (see
    // kmer_counter_tables.cpp).
    ~KmerCounter();
    KmerCounter(const KmerCounter&) = delete;
    KmerCounter& operator=(const KmerCounter&) = delete;

    // Starts a sequence; length is its byte length when known in advance.
    void begin(std::uint64_t length = kUnknownLength);
    // Counts the next bytes of the sequence.
    void feed(std::string_view piece);
    // Ends the sequence and returns its counts. A sequence of at least k
    // bytes holding a byte outside the bases (without skip_invalid) throws
    // the failure of its first failing window, noted "position N: 'X'".
    // Either way the counter is ready for the next sequence.
    KmerCountResult finish();

private:
    enum class Mode { Codes, Sparse, Dense, Wide };

    struct FreeDeleter {
        void operator()(std::uint32_t* p) const noexcept { std::free(p); }
    };
    using Table = std::unique_ptr<std::uint32_t[], FreeDeleter>;

    void step(unsigned char b, std::uint64_t position);
    void end_run();
    void fail_at(std::uint64_t position);
    void keep_tail(const unsigned char* p, std::size_t n);
    void fast_block(const unsigned char* p, std::size_t n, std::uint64_t position);
    void feed_empty_windows(const unsigned char* p, std::size_t n, std::uint64_t start);
    void switch_mode();
    void change_mode();
    void enable_wide();
    void ensure_table();
    void flush();
    std::uint64_t drain_codes();
    void reserve_codes(std::uint64_t n);
    void clear_tables();
    KmerCountResult sparse_result(std::uint64_t total);

    const unsigned k_;
    const bool rc_;
    const bool skip_;
    const bool reuse_;
    const unsigned char* const lut_;
    const CountKernels& kernels_;
    const std::uint64_t mask_;
    const std::uint64_t size_;   // 4^k
    unsigned step_ = 1;          // s of the wide table, 1 when none pays
    std::uint64_t wide_mask_ = 0;
    std::uint64_t wide_size_ = 0;
    std::uint64_t dense_from_ = 0;  // windows from which the table is cheaper than sparse forms
    std::uint64_t wide_from_ = 0;   // windows from which the wide table pays
    bool bucketed_ = false;         // many windows stay codes, added by bucket
    std::uint64_t drain_at_ = 0;    // codes added by bucket at a time
    std::uint64_t codes_room_ = 0;  // bucketed: the codes to make room for (the sequence's, when known)

    Table table_;             // 4^k counters, or null
    Table wide_;              // 4^(k+s-1) counters, or null
    bool tables_clean_ = true;  // table_ and wide_ all zeros (between sequences)
    CountVector touched_;                 // sparse: columns that left zero (first ntouched_)
    std::size_t ntouched_ = 0;
    bool touched_dirty_ = false;          // touched_ may hold repeats or zeroed columns
    CountVector codes_;                   // codes mode: the window codes (count memory: reused, not zeroed)
    CountVector acc_;                     // 64-bit counts flushed so far, or empty

    // Per sequence.
    Mode mode_ = Mode::Codes;
    std::uint64_t code_ = 0;     // rolling code
    unsigned need_ = 0;          // bytes still needed before the next window ends
    unsigned pending_ = 0;       // wide: windows ended since the last increment
    std::uint64_t windows_ = 0;  // windows counted
    std::uint64_t flushed_at_ = 0;  // windows_ at the last flush
    std::uint64_t switch_at_ = 0;   // windows_ from which switch_mode() may have work
    std::uint64_t pos_ = 0;      // bytes fed
    std::uint64_t since_check_ = 0;  // bytes since the last look at signals
    bool failed_ = false;
    std::uint64_t bad_ = 0;      // offset of the first byte outside the bases
    char prefix_[kFailurePrefix];  // the sequence's first bytes, for a failure message
    std::size_t prefix_size_ = 0;
    std::string tail_;           // bytes from bad_ on
};

}  // namespace nuvek
