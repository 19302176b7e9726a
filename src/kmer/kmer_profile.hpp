// A composition profile: one row of k-mer counts per FASTA record or per
// window of a record, in one matrix of 64-bit counters.
//
// Columns are either every k-mer in column order (plain), or every
// canonical k-mer: the smaller column of a k-mer and its reverse
// complement, in ascending order, so that both strands of a window count in
// one column and a palindrome (its own reverse complement) counts once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nuvek {

// Largest k a profile takes: a row of 4^12 plain columns is 128 MiB.
inline constexpr unsigned kMaxProfileK = 12;

// The columns of a profile and how a table of 4^k 32-bit counters (one per
// k-mer code, plus one zero counter at index 4^k) is read into them.
class ProfileColumns {
public:
    // k from 1 to kMaxProfileK; std::bad_alloc when the column map cannot
    // fit in memory.
    ProfileColumns(unsigned k, bool canonical);

    unsigned k() const noexcept { return k_; }
    bool canonical() const noexcept { return canonical_; }
    // (4^k + 4^(k/2)) / 2 canonical columns for even k, 4^k / 2 for odd k;
    // 4^k plain ones.
    std::uint64_t size() const noexcept { return size_; }
    // The k-mer code of each column (canonical: the smaller code); empty for
    // plain columns, whose column is the code.
    const std::vector<std::uint32_t>& codes() const noexcept { return first_; }

    // out[j] += the count of column j in table.
    void add(std::uint64_t* out, const std::uint32_t* table) const noexcept;
    // Whether take() may be used: up to k = kTakeMaxK (a map of 4^k codes).
    bool can_take() const noexcept { return k_ <= kTakeMaxK; }
    // For each of the n codes (distinct), adds its counter in table to its
    // column in out and zeroes the counter.
    void take(std::uint64_t* out, std::uint32_t* table, const std::uint64_t* codes, std::size_t n) const noexcept;

    static constexpr unsigned kTakeMaxK = 10;

private:
    unsigned k_;
    bool canonical_;
    std::uint64_t size_;
    // Canonical column j counts table[first_[j]] + table[second_[j]]; the
    // second code of a palindrome is the zero counter.
    std::vector<std::uint32_t> first_;
    std::vector<std::uint32_t> second_;
    std::vector<std::uint32_t> column_of_;  // by code, canonical up to kTakeMaxK
};

// Rows of `columns` 64-bit counters, one block of memory, grown by whole
// rows. Every growth is checked against the memory the process may still
// take; a row handed out is zero (rows never written before are fresh
// pages, which are not written again).
class ProfileMatrix {
public:
    explicit ProfileMatrix(std::uint64_t columns) : columns_(columns) {}
    ~ProfileMatrix();
    ProfileMatrix(ProfileMatrix&& o) noexcept;
    ProfileMatrix& operator=(ProfileMatrix&& o) noexcept;
    ProfileMatrix(const ProfileMatrix&) = delete;
    ProfileMatrix& operator=(const ProfileMatrix&) = delete;

    std::uint64_t rows() const noexcept { return rows_; }
    std::uint64_t columns() const noexcept { return columns_; }
    const std::uint64_t* data() const noexcept { return data_; }
    std::uint64_t* row(std::uint64_t r) noexcept { return data_ + r * columns_; }

    // Appends a row and returns it (valid until the next append).
    std::uint64_t* append();
    // Removes the last rows from row r on.
    void truncate(std::uint64_t r) noexcept { rows_ = r < rows_ ? r : rows_; }
    // Gives back the room beyond the rows.
    void shrink() noexcept;

private:
    void resize(std::uint64_t bytes);
    void give_back() noexcept;  // unmaps what lies beyond bytes_
    void release() noexcept;

    std::uint64_t* data_ = nullptr;
    std::uint64_t bytes_ = 0;   // room the rows may take (checked against the memory limit)
    std::uint64_t mapped_ = 0;  // mapped or allocated, at least bytes_
    bool in_room_ = false;      // in a room of huge pages
    std::uint64_t columns_;
    std::uint64_t rows_ = 0;
    std::uint64_t written_ = 0;  // rows handed out so far: from there on, fresh
    std::uint64_t capacity_ = 0;
};

struct KmerProfile {
    std::uint8_t k = 0;
    bool canonical = true;
    std::vector<std::uint32_t> column_codes;  // empty: plain columns
    ProfileMatrix counts{0};
    // Per row: its record (an index into record_ids), base range and the
    // number of k-mers counted in it.
    std::vector<std::string> record_ids;
    std::vector<std::uint64_t> row_record;
    std::vector<std::uint64_t> starts;
    std::vector<std::uint64_t> ends;
    std::vector<std::uint64_t> totals;

    std::uint64_t rows() const noexcept { return counts.rows(); }
    std::uint64_t column_code(std::uint64_t j) const noexcept {
        return column_codes.empty() ? j : column_codes[j];
    }
};

}  // namespace nuvek
