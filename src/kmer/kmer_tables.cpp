#include "kmer/kmer_tables.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "kmer/kmer_entries.hpp"
#include "kmer/kmer_index.hpp"
#include "util/memory.hpp"
#include "util/platform.hpp"

#if NUVEK_X86_FAST_PATHS
#include <emmintrin.h>
#endif

namespace nuvek {
namespace {

// Sums the counters of column x and of its reverse complement r into both,
// when x is the smaller of the two (doubling a palindrome); otherwise the
// pair is summed when r is visited, and both stores write back what was
// read. No branch: which case applies is as random as the counts.
template <class Count>
inline void fold_pair(Count* counts, std::uint64_t x, unsigned k) noexcept {
    const std::uint64_t r = rev_complement_code(x, k);
    const Count a = counts[x];
    const Count b = counts[r];
    const Count sum = a + b;
    counts[r] = x <= r ? sum : b;
    counts[x] = x <= r ? sum : a;
}

// acc[(x >> 2t) & mask] += wide[x] for every x below n and t below s, as
// s rounds of plain row additions: after round t the wide table is folded
// in place, each counter the sum of four neighbours, so that round t + 1
// adds row by row again. Adding counter by counter instead kept hitting
// the same few of acc's counters, each addition waiting for the last: it
// took a fifth of the time of counting a 50 kbp record at k = 4.
template <class Count>
void sum_out(Count* acc, std::uint32_t* wide, std::uint64_t n, unsigned s, std::uint64_t mask) noexcept {
    const std::uint64_t columns = mask + 1;
    for (unsigned t = 0; t < s; ++t) {
        const std::uint64_t m = n >> (2 * t);  // a multiple of columns
        for (std::uint64_t row = 0; row < m; row += columns)
            for (std::uint64_t c = 0; c < columns; ++c) acc[c] += wide[row + c];
        if (t + 1 < s)
            for (std::uint64_t y = 0; y < m / 4; ++y)
                wide[y] = wide[4 * y] + wide[4 * y + 1] + wide[4 * y + 2] + wide[4 * y + 3];
    }
}

// Calls visit(x) for every column x below 4^k, in an order that keeps x's
// reverse complement close to the previous ones. Reverse complementing
// moves a column's last letters to the front, so a plain pass over the
// columns would read the partners all over a table much larger than the
// cache. Instead the columns are visited in tiles that vary only the first
// and the last kEdge letters: the tile's own columns and their partners
// then both form 4^kEdge runs of 4^kEdge adjacent counters.
template <class Visit>
void visit_tiled(unsigned k, Visit&& visit) noexcept {
    constexpr unsigned kEdge = 3;
    constexpr std::uint64_t kRun = std::uint64_t{1} << (2 * kEdge);
    const std::uint64_t size = std::uint64_t{1} << (2 * k);
    if (k < 2 * kEdge + 2) {
        for (std::uint64_t x = 0; x < size; ++x) visit(x);
        return;
    }
    const std::uint64_t middles = std::uint64_t{1} << (2 * (k - 2 * kEdge));
    const unsigned first_shift = 2 * (k - kEdge);
    for (std::uint64_t middle = 0; middle < middles; ++middle)
        for (std::uint64_t first = 0; first < kRun; ++first) {
            const std::uint64_t base = (first << first_shift) | (middle << (2 * kEdge));
            for (std::uint64_t last = 0; last < kRun; ++last) visit(base | last);
        }
}

// out[x] = table[x] + table[rc(x)] for every column x below 4^k, out being
// written once and never read. Columns are taken in tiles that vary the
// first and the last e letters (e up to 3) around a fixed middle: the
// partners of a tile form one tile too, 4^e runs of 4^e adjacent counters,
// but runs 4^(k-e) counters apart, a power of two that maps them all to
// the same few cache sets. So the partner tile is first copied into a
// small buffer, each run scattered to the position of its reverse
// complement, after which every output run is the sum of two contiguous
// runs.
// The reverse complement of every column for k up to kPermutedK, for small
// tables whose fold is short enough that setting up tiles would dominate.
constexpr unsigned kPermutedK = 6;

struct RcPermutations {
    std::uint16_t columns[(std::size_t{1} << (2 * kPermutedK + 1))];  // k's at offset 4^k
    RcPermutations() noexcept {
        for (unsigned k = 1; k <= kPermutedK; ++k) {
            const std::uint64_t n = std::uint64_t{1} << (2 * k);
            for (std::uint64_t x = 0; x < n; ++x)
                columns[n + x] = static_cast<std::uint16_t>(rev_complement_code(x, k));
        }
    }
};
const RcPermutations rc_permutations;

// dst[b] = own[b] + partner[b] for b below n (a multiple of 4, dst 16-byte
// aligned), widened to 64 bits; the sum fits in 32 bits (see the counter's
// flush). With stream, on x86, the stores go straight to memory, skipping
// the read of each line of the result before it is overwritten: a gain of
// a fifth at k = 8 on memory that held earlier results, but a loss of a
// third on fresh 4 KiB pages, which the kernel has just zeroed in the cache.
template <bool Stream>
inline void store_sums(std::uint64_t* dst, const std::uint32_t* own, const std::uint32_t* partner,
                       std::uint64_t n) noexcept {
#if NUVEK_X86_FAST_PATHS
    const __m128i zero = _mm_setzero_si128();
    for (std::uint64_t b = 0; b < n; b += 4) {
        const __m128i sum = _mm_add_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(own + b)),
                                          _mm_loadu_si128(reinterpret_cast<const __m128i*>(partner + b)));
        auto* to = reinterpret_cast<__m128i*>(dst + b);
        if constexpr (Stream) {
            _mm_stream_si128(to, _mm_unpacklo_epi32(sum, zero));
            _mm_stream_si128(to + 1, _mm_unpackhi_epi32(sum, zero));
        } else {
            _mm_store_si128(to, _mm_unpacklo_epi32(sum, zero));
            _mm_store_si128(to + 1, _mm_unpackhi_epi32(sum, zero));
        }
    }
#else
    for (std::uint64_t b = 0; b < n; ++b) dst[b] = std::uint64_t{own[b] + partner[b]};
#endif
}

// partners[rc_end[i] * run + j] = rows[i][j] for i, j below run (64): the
// 64 x 64 tile of partner counters transposed, its rows put in the order of
// their reverse complements. rc_end is an involution, so the rows feeding
// four adjacent columns of the output are rc_end of those columns; on x86
// they are moved as 4 x 4 blocks.
inline void gather_partners(std::uint32_t* partners, const std::uint32_t* const* rows, const std::uint32_t* rc_end,
                            std::uint64_t run) noexcept {
#if NUVEK_X86_FAST_PATHS
    if (run == 64) {
        for (std::uint64_t c = 0; c < 64; c += 4) {
            const std::uint32_t* r0 = rows[rc_end[c]];
            const std::uint32_t* r1 = rows[rc_end[c + 1]];
            const std::uint32_t* r2 = rows[rc_end[c + 2]];
            const std::uint32_t* r3 = rows[rc_end[c + 3]];
            for (std::uint64_t j = 0; j < 64; j += 4) {
                const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r0 + j));
                const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r1 + j));
                const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r2 + j));
                const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r3 + j));
                const __m128i ab_lo = _mm_unpacklo_epi32(a, b), ab_hi = _mm_unpackhi_epi32(a, b);
                const __m128i xy_lo = _mm_unpacklo_epi32(x, y), xy_hi = _mm_unpackhi_epi32(x, y);
                std::uint32_t* out = partners + j * 64 + c;
                _mm_store_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi64(ab_lo, xy_lo));
                _mm_store_si128(reinterpret_cast<__m128i*>(out + 64), _mm_unpackhi_epi64(ab_lo, xy_lo));
                _mm_store_si128(reinterpret_cast<__m128i*>(out + 128), _mm_unpacklo_epi64(ab_hi, xy_hi));
                _mm_store_si128(reinterpret_cast<__m128i*>(out + 192), _mm_unpackhi_epi64(ab_hi, xy_hi));
            }
        }
        return;
    }
#endif
    for (std::uint64_t i = 0; i < run; ++i) {
        std::uint32_t* column = partners + rc_end[i];
        for (std::uint64_t j = 0; j < run; ++j) column[j * run] = rows[i][j];
    }
}

void fold_widen(std::uint64_t* out, const std::uint32_t* table, unsigned k) noexcept {
    if (k <= kPermutedK) {
        const std::uint64_t n = std::uint64_t{1} << (2 * k);
        const std::uint16_t* rc = rc_permutations.columns + n;
        for (std::uint64_t x = 0; x < n; ++x) out[x] = std::uint64_t{table[x]} + table[rc[x]];
        return;
    }
    const unsigned e = std::min(3u, k / 2);
    const std::uint64_t run = std::uint64_t{1} << (2 * e);
    const unsigned middle_letters = k - 2 * e;
    const std::uint64_t middles = std::uint64_t{1} << (2 * middle_letters);
    const unsigned first_shift = 2 * (k - e);
    std::uint32_t rc_end[64];
    for (std::uint64_t a = 0; a < run; ++a) rc_end[a] = static_cast<std::uint32_t>(rev_complement_code(a, e));
    alignas(64) std::uint32_t partners[64 * 64];
    const std::uint32_t* rows[64];
    for (std::uint64_t middle = 0; middle < middles; ++middle) {
        const std::uint64_t rc_middle = rev_complement_code(middle, middle_letters) << (2 * e);
        // partners[ra * run + b] = table[rc(b), rc(middle), ra]
        for (std::uint64_t i = 0; i < run; ++i) rows[i] = table + ((i << first_shift) | rc_middle);
        gather_partners(partners, rows, rc_end, run);
        const std::uint64_t own_middle = middle << (2 * e);
        for (std::uint64_t a = 0; a < run; ++a) {
            const std::uint64_t base = (a << first_shift) | own_middle;
            // Results of up to 1 MiB share blocks that are kept for reuse.
            if (k <= 8) store_sums<true>(out + base, table + base, partners + rc_end[a] * run, run);
            else store_sums<false>(out + base, table + base, partners + rc_end[a] * run, run);
        }
    }
#if NUVEK_X86_FAST_PATHS
    _mm_sfence();  // the streamed stores are seen before the result is handed out
#endif
}

template <class Count>
void fold(Count* counts, unsigned k) noexcept {
    visit_tiled(k, [&](std::uint64_t x) { fold_pair(counts, x, k); });
}

}  // namespace

// Measured on 5 Mbp: s = 3 saves about 5 % at k <= 4 and s = 2 about 25 %
// at k = 7; at k = 8 the table of 4^9 counters (1 MiB) no longer stays in a
// second-level cache of 1 MiB and s = 2 loses.
unsigned wide_step(unsigned k) noexcept {
    if (k <= 4) return 3;  // 4^6 counters: 16 KiB, first-level cache
    if (k <= 7) return 2;  // up to 4^8 counters: 256 KiB, second-level cache
    return 1;
}

void add_table(std::uint64_t* acc, const std::uint32_t* table, std::uint64_t n) noexcept {
    for (std::uint64_t i = 0; i < n; ++i) acc[i] += table[i];
}

void sum_out_wide(std::uint64_t* acc, std::uint32_t* wide, std::uint64_t n, unsigned s,
                  std::uint64_t mask) noexcept {
    sum_out(acc, wide, n, s, mask);
}
void sum_out_wide(std::uint32_t* acc, std::uint32_t* wide, std::uint64_t n, unsigned s,
                  std::uint64_t mask) noexcept {
    sum_out(acc, wide, n, s, mask);
}
void fold_rev_complement(std::uint64_t* counts, unsigned k) noexcept { fold(counts, k); }

namespace {

// The entries of the non-zero counters among n. Every counter is written to
// the next slot, which advances past non-zero ones only: no branch on the
// (random) counts.
template <class Count>
KmerEntries nonzero_entries(const Count* counts, std::uint64_t n, std::uint64_t nonzero) {
    KmerEntries entries(nonzero + 1);
    KmerEntry* out = entries.data();
    for (std::uint64_t i = 0; i < n; ++i) {
        *out = KmerEntry{i, counts[i]};
        out += counts[i] != 0;
    }
    entries.pop_back();
    return entries;
}

// Tables up to this many counters (k <= kPermutedK) are folded into
// scratch and measured before the result's form is chosen.
constexpr std::uint64_t kFoldFirst = 4096;

}  // namespace

KmerCountResult table_result(std::uint8_t k, std::uint64_t total, std::uint32_t* table, std::uint64_t n, bool rc) {
    if (n <= kFoldFirst) {
        // Small tables (a read's counts) take the smallest of the three
        // forms, folded first into scratch; sums fit in 32 bits (see the
        // counter's flush).
        // The OR of the counters is under 2^8 (2^16) exactly when each of
        // them is, and takes one instruction where an unsigned maximum
        // takes four in the baseline instruction set; the non-zero counters
        // are counted in 32 bits (at most 4,096).
        std::uint32_t folded[kFoldFirst];
        const std::uint32_t* counts = table;
        std::uint32_t any = 0;
        std::uint32_t nonzero = 0;
        if (rc) {
            const std::uint16_t* partner = rc_permutations.columns + n;
            for (std::uint64_t x = 0; x < n; ++x) {
                const std::uint32_t sum = table[x] + table[partner[x]];
                folded[x] = sum;
                any |= sum;
                nonzero += sum != 0;
            }
            counts = folded;
        } else {
            for (std::uint64_t x = 0; x < n; ++x) {
                any |= table[x];
                nonzero += table[x] != 0;
            }
        }
        const unsigned width = any <= 0xFF ? 1 : any <= 0xFFFF ? 2 : 4;
        if (nonzero * sizeof(KmerEntry) < n * width)
            return KmerCountResult::sparse(k, total, n, nonzero_entries(counts, n, nonzero));
        return KmerCountResult::narrow(k, total, counts, n, width);
    }
    std::uint64_t nonzero = 0;
    for (std::uint64_t i = 0; i < n; ++i) nonzero += table[i] != 0;
    // Each non-zero counter of the forward strand makes at most one entry
    // per strand (8 bytes, a counter's room): the result is sparse when
    // those entries take less than half the room of the dense vector, which
    // is judged without folding the table.
    const std::uint64_t strands = rc ? 2 : 1;
    if (n <= KmerEntry::kMaxColumns && 2 * strands * nonzero < n) {
        std::vector<std::uint64_t> columns(nonzero + 1);
        std::uint64_t* out = columns.data();
        for (std::uint64_t i = 0; i < n; ++i) {
            *out = i;
            out += table[i] != 0;
        }
        return KmerCountResult::sparse(k, total, n, strand_entries(table, columns.data(), nonzero, k, rc));
    }
    require_fits(n, sizeof(std::uint64_t));
    if (!rc) return KmerCountResult{k, total, CountVector(table, table + n)};
    CountVector counts(n);  // uninitialised: the fold writes every counter
    fold_widen(counts.data(), table, k);
    return KmerCountResult{k, total, std::move(counts)};
}

void trim(CountVector& v) noexcept {
    constexpr std::size_t kKeep = std::size_t{1} << 16;
    if (v.capacity() > kKeep) CountVector().swap(v);
    else v.clear();
}

std::size_t first_non_ascii(const unsigned char* p, std::size_t n) noexcept {
    constexpr std::size_t kChunk = 64;
    std::size_t i = 0;
    for (; i + kChunk <= n; i += kChunk) {
        unsigned char high = 0;
        for (std::size_t j = 0; j < kChunk; ++j) high |= p[i + j];
        if (high & 0x80) break;
    }
    for (; i < n; ++i)
        if (p[i] & 0x80) return i;
    return n;
}

std::size_t count_continuation_bytes(const unsigned char* p, std::size_t n) noexcept {
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) count += (p[i] & 0xC0) == 0x80;
    return count;
}

}  // namespace nuvek
