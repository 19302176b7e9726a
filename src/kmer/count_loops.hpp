// The inner loops of k-mer counting, over a run of bytes that is expected to
// hold only bases.
//
// Each loop looks every byte up in a 256-entry table of 2-bit codes, ORs the
// code into a validity byte and shifts it into the rolling code; the rolling
// code is masked only where it indexes a table. An invalid byte has code 4:
// it sets the validity byte's bit 2 (and garbles the rolling code), so the
// caller tests one byte after the loop and, if it is set, undoes or discards
// the loop's work. With Sign = -1 a loop takes back exactly the increments
// that the same loop with Sign = +1 made from the same rolling code.
//
// The loops are plain functions of plain arguments, so that the same body
// can be compiled once per instruction set and picked at run time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nuvek::kmer_loops {

using Byte = unsigned char;

// Bit set in the code of every byte that is not a base.
inline constexpr Byte kInvalid = 4;

// Runs of at least this many bytes are counted as two interleaved streams:
// the rolling code is a chain of a shift and an OR per byte, two cycles of
// latency that bound a single stream; the second half's chain starts from
// its 32 bytes before (the whole 64-bit code), so that both streams make
// exactly the increments, and leave exactly the code, of one stream.
inline constexpr std::size_t kTwoStreams = 256;

// From this table size (mask + 1 counters: 4 MiB, k >= 10) on, the dense
// loop asks for the counter of the window kAhead bytes on before it is
// needed: the table is past the second-level cache, and the increments'
// misses then overlap further. One 5 Mbp sequence (Xeon, 2 MiB L2): k = 10
// 17.7 -> 16.1 ms, k = 11 33.7 -> 31.9 ms; at k = 9 (1 MiB) no gain.
inline constexpr std::uint64_t kPrefetchFrom = (std::uint64_t{1} << 20) - 1;
inline constexpr std::size_t kAhead = 48;

// Rolls code over p[0..n) with no counting (validity is checked by the
// stream that counts these bytes).
inline std::uint64_t roll(const Byte* p, std::size_t n, const Byte* lut, std::uint64_t x) {
    for (std::size_t i = 0; i < n; ++i) x = (x << 2) | lut[p[i]];
    return x;
}

// Every S-th byte's (k+S-1)-mer is counted into table[code & mask]; it
// stands for the S k-mer windows that end in its last S bytes (S = 1: every
// window on its own). n is a multiple of S. Without Checked the bytes are
// known to be bases and no validity byte is kept (0 is returned): about 8 %
// faster at k = 4.
template <int S, int Sign, bool Checked = true>
inline Byte count_wide(const Byte* p, std::size_t n, const Byte* lut, std::uint32_t* table, std::uint64_t mask,
                       std::uint64_t& code) {
    std::uint64_t x = code;
    Byte bad = 0;
    std::size_t i = 0;
    if (n >= kTwoStreams) {
        const std::size_t h = n / (2 * S) * S;  // the second stream starts in phase
        std::uint64_t y = roll(p + h - 32, 32, lut, 0);
        if constexpr (S == 1) {
            if (mask >= kPrefetchFrom && h > kAhead) {
                std::uint64_t xa = roll(p, kAhead, lut, x), ya = roll(p + h, kAhead, lut, y);
                for (; i < h - kAhead; ++i) {
                    const Byte c = lut[p[i]];
                    const Byte d = lut[p[h + i]];
                    if constexpr (Checked) bad |= c | d;
                    x = (x << 2) | c;
                    y = (y << 2) | d;
                    xa = (xa << 2) | lut[p[i + kAhead]];
                    ya = (ya << 2) | lut[p[h + i + kAhead]];
                    __builtin_prefetch(table + (xa & mask), 1, 3);
                    __builtin_prefetch(table + (ya & mask), 1, 3);
                    table[x & mask] += static_cast<std::uint32_t>(Sign);
                    table[y & mask] += static_cast<std::uint32_t>(Sign);
                }
            }
        }
        for (; i < h; i += S) {
            for (int j = 0; j < S; ++j) {
                const Byte c = lut[p[i + j]];
                const Byte d = lut[p[h + i + j]];
                if constexpr (Checked) bad |= c | d;
                x = (x << 2) | c;
                y = (y << 2) | d;
            }
            table[x & mask] += static_cast<std::uint32_t>(Sign);
            table[y & mask] += static_cast<std::uint32_t>(Sign);
        }
        x = y;
        i = 2 * h;
    }
    for (; i < n; i += S) {
        for (int j = 0; j < S; ++j) {
            const Byte c = lut[p[i + j]];
            if constexpr (Checked) bad |= c;
            x = (x << 2) | c;
        }
        table[x & mask] += static_cast<std::uint32_t>(Sign);
    }
    code = x;
    return bad & kInvalid;
}

// Every byte's window is counted into table[code & mask].
template <int Sign>
inline Byte count_dense(const Byte* p, std::size_t n, const Byte* lut, std::uint32_t* table, std::uint64_t mask,
                        std::uint64_t& code) {
    return count_wide<1, Sign>(p, n, lut, table, mask, code);
}

// count_dense for bytes known to be bases.
inline void count_clean(const Byte* p, std::size_t n, const Byte* lut, std::uint32_t* table, std::uint64_t mask,
                        std::uint64_t& code) {
    count_wide<1, 1, false>(p, n, lut, table, mask, code);
}

// Counts into a table that is mostly zero and notes in touched (room for n
// more) every column whose counter leaves zero; returns the new end of
// touched. Not undone: the caller clears what it noted.
inline Byte count_sparse(const Byte* p, std::size_t n, const Byte* lut, std::uint32_t* table, std::uint64_t mask,
                         std::uint64_t& code, std::uint64_t*& touched) {
    std::uint64_t x = code;
    std::uint64_t* out = touched;
    Byte bad = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Byte c = lut[p[i]];
        bad |= c;
        x = (x << 2) | c;
        const std::uint64_t column = x & mask;
        *out = column;
        out += table[column]++ == 0;
    }
    code = x;
    touched = out;
    return bad & kInvalid;
}

// Writes every byte's window code to out[0..n).
inline Byte collect_codes(const Byte* p, std::size_t n, const Byte* lut, std::uint64_t mask, std::uint64_t& code,
                          std::uint64_t* out) {
    std::uint64_t x = code;
    Byte bad = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Byte c = lut[p[i]];
        bad |= c;
        x = (x << 2) | c;
        out[i] = x & mask;
    }
    code = x;
    return bad & kInvalid;
}

}  // namespace nuvek::kmer_loops
