// Counts the records of a FASTA file, one after another and each in pieces,
// into the rows of a KmerProfile.
//
// A record's k-mers go into one table of 4^k 32-bit counters that keeps
// counting from the record's start: the counts of a base range are the
// difference of two looks at the table (read into the profile's columns),
// one when the range's first k-mer is about to be counted and one when its
// last k-mer has been. Every base is counted once, however much the
// windows overlap; a window costs two reads of the table, a whole record
// one.
//
// A long record profiled whole (no windows) at small k goes, from a few
// table sizes on, into the wide table of the counter: every s-th
// (k+s-1)-mer, summed out into the k-mer table when the record ends.
// Windows need a look at the table every window step, which summing out
// would cost more than it saves.
//
// A short record profiled whole at large k touches few of the table's
// counters: while its k-mers are fewer than a quarter of them, the counters
// that leave zero are noted, and its row is read from those alone (the row
// is fresh memory, already zero), which also clears the table for the next
// record. Past that, the record goes on as any other: the row is read from
// the whole table.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kmer/count_kernels.hpp"
#include "kmer/kmer_failure.hpp"
#include "kmer/kmer_profile.hpp"

namespace nuvek {

struct ProfileLayout {
    std::uint64_t window = 0;      // 0: one row per record
    std::uint64_t step = 0;        // distance of window starts (0: the window)
    std::uint64_t min_length = 0;  // shorter records give no row
};

class ProfileCounter {
public:
    // window is 0 or at least the columns' k. With skip_invalid, lower-case
    // bases count as upper-case ones and a k-mer holding any other byte is
    // left out; without it, such a byte inside a row's range fails the call.
    ProfileCounter(const ProfileColumns& columns, ProfileLayout layout, bool skip_invalid, KmerProfile& out);

    // Counts the next bytes of the current record.
    void feed(std::string_view piece);
    // Ends the record: its rows stay in the profile under id (none if it is
    // shorter than min_length). A byte outside the bases inside a row's
    // range (without skip_invalid) throws the failure that counting the
    // record would, noted "position N: 'X'". Then ready for the next record.
    void finish(std::string& id);

private:
    struct Snapshot {
        std::vector<std::uint64_t> counts;
        std::uint64_t kmers = 0;
        bool zero = true;  // nothing counted yet: counts not filled
    };

    std::uint64_t open_at(std::uint64_t w) const noexcept;
    std::uint64_t close_at(std::uint64_t w) const noexcept;
    void schedule() noexcept;
    void events(std::uint64_t at);
    void read_table(std::uint64_t* out) const noexcept;
    void add_row(std::uint64_t start, std::uint64_t end, std::uint64_t kmers, const Snapshot* from);
    void step(unsigned char b, std::uint64_t at);
    void count_run(const unsigned char* p, std::size_t n);
    bool sparse_now() noexcept;
    bool try_run(const unsigned char* p, std::size_t n);
    unsigned char count_split(const unsigned char* p, std::size_t n, bool checked, std::size_t& wide);
    void ensure_wide();
    CountKernels::Table wide_loop(bool take_back) const noexcept;
    void read_row(std::uint64_t* row) noexcept;
    void block(const unsigned char* p, std::size_t n, std::uint64_t at);
    void invalid_at(std::uint64_t at);
    void flush();
    void fold_wide() noexcept;
    void work(std::uint64_t units);
    void keep_tail(const unsigned char* p, std::size_t n);
    void reset();

    static constexpr std::uint64_t kNoWide = ~std::uint64_t{0};
    // Bytes counted by one call of a loop (the unit that is taken back when
    // it meets a byte outside the bases).
    static constexpr std::size_t kBlock = 4096;

    struct FreeTable {
        void operator()(std::uint32_t* p) const noexcept;
    };

    const ProfileColumns& columns_;
    const ProfileLayout layout_;
    const bool skip_;
    const unsigned k_;
    const unsigned char* const lut_;
    const CountKernels& kernels_;
    const std::uint64_t mask_;
    KmerProfile& out_;
    std::unique_ptr<std::uint32_t[], FreeTable> table_;  // 4^k counters and a zero one
    std::uint64_t table_bytes_ = 0;
    unsigned wide_step_ = 1;           // s of the wide table, 1 when none is used
    std::uint64_t wide_size_ = 0;      // 4^(k+s-1) counters
    std::uint64_t wide_from_ = kNoWide;  // k-mers of a record from which it pays
    std::unique_ptr<std::uint32_t[], FreeTable> wide_;
    std::uint64_t sparse_until_ = 0;      // k-mers of a record up to which it is sparse (0: never)
    std::vector<std::uint64_t> touched_;  // the codes whose counter left zero, while sparse
    std::vector<std::uint64_t> base_;  // counts moved out of the table, by column
    bool base_used_ = false;
    std::vector<Snapshot> open_;       // the open windows' first looks, by window % size
    std::uint64_t since_check_ = 0;

    // Per record.
    std::uint64_t pos_ = 0;      // bytes fed
    std::uint64_t code_ = 0;     // rolling code
    unsigned need_ = 0;          // bases still needed before the next k-mer ends
    std::uint64_t kmers_ = 0;    // k-mers counted
    bool wide_used_ = false;     // the wide table holds some of them (not zero)
    bool sparse_ = false;        // touched_ holds every counter that is not zero
    std::size_t ntouched_ = 0;
    bool hopeful_ = false;       // the next block is counted before it is tested
    bool doubted_ = false;       // a block so counted held other bytes
    std::uint64_t flushed_at_ = 0;
    std::uint64_t first_row_ = 0;
    std::uint64_t next_open_ = 0;   // next window to open
    std::uint64_t next_close_ = 0;  // next window to close
    std::uint64_t next_event_ = 0;  // byte count at which one of them is due
    bool stopped_ = false;          // a byte outside the bases may fail the record
    std::uint64_t bad_ = 0;         // its offset
    std::uint64_t fails_from_ = 0;  // the record length from which it does
    char prefix_[kFailurePrefix];
    std::size_t prefix_size_ = 0;
    std::string tail_;
};

}  // namespace nuvek
