#include "kmer/kmer_buckets.hpp"

#include <algorithm>
#include <vector>

#include "kmer/count_storage.hpp"
#include "kmer/kmer_index.hpp"
#include "util/platform.hpp"
#include "util/signals.hpp"

#if NUVEK_X86_FAST_PATHS
#include <emmintrin.h>
#endif

namespace nuvek {
namespace {

// A bucket's columns: 2^15 32-bit counters (128 KiB) for its count, and
// its low bits fit the 16-bit entries of the spread codes.
constexpr unsigned kLowBits = 15;
constexpr std::uint64_t kLowColumns = std::uint64_t{1} << kLowBits;
constexpr std::uint64_t kLowMask = kLowColumns - 1;
// Up to twice this many digits (k <= 14), a reverse complement is looked up
// by halves, in tables of up to 32 KiB.
constexpr unsigned kHalfDigits = 7;

// out[i] += t[i] for the bucket's columns (out[i] = t[i] when fresh), t
// left zero; returns the non-zero counters of out.
std::uint64_t add_bucket(std::uint64_t* __restrict out, std::uint32_t* __restrict t, bool fresh) noexcept {
    std::uint64_t nonzero = 0;
    for (std::uint64_t i = 0; i < kLowColumns; ++i) {
        const std::uint64_t v = (fresh ? 0 : out[i]) + t[i];
        out[i] = v;
        nonzero += v != 0;
        t[i] = 0;
    }
    return nonzero;
}

// out[i] = t[i] for the bucket's columns, t left zero; returns the non-zero
// counters. On x86 the stores go straight to memory: the result (128 MB at
// k = 12) is far larger than the caches, and each of its lines would
// otherwise be read before it is overwritten.
std::uint64_t write_bucket(std::uint64_t* __restrict out, std::uint32_t* __restrict t) noexcept {
#if NUVEK_X86_FAST_PATHS
    if (reinterpret_cast<std::uintptr_t>(out) % 16 != 0) return add_bucket(out, t, true);
    const __m128i zero = _mm_setzero_si128();
    __m128i zero_lanes = _mm_setzero_si128();
    for (std::uint64_t i = 0; i < kLowColumns; i += 4) {
        auto* from = reinterpret_cast<__m128i*>(t + i);
        const __m128i v = _mm_loadu_si128(from);
        _mm_storeu_si128(from, zero);
        zero_lanes = _mm_sub_epi32(zero_lanes, _mm_cmpeq_epi32(v, zero));
        auto* to = reinterpret_cast<__m128i*>(out + i);
        _mm_stream_si128(to, _mm_unpacklo_epi32(v, zero));
        _mm_stream_si128(to + 1, _mm_unpackhi_epi32(v, zero));
    }
    alignas(16) std::uint32_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), zero_lanes);
    const std::uint64_t zeros = std::uint64_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
    _mm_sfence();
    return kLowColumns - zeros;
#else
    return add_bucket(out, t, true);
#endif
}

}  // namespace

std::uint64_t add_codes_by_bucket(std::uint64_t* acc, bool first, const std::uint64_t* codes, std::size_t n,
                                   unsigned k, bool rc) {
    const unsigned high = 2 * k - kLowBits;
    const std::size_t buckets = std::size_t{1} << high;
    const std::size_t spread = n * (rc ? 2 : 1);

    // Where each bucket starts among the spread codes. A reverse
    // complement's bucket (its high bits) is the reverse complement of the
    // code's lowest d digits, shifted: the codes' low digits are counted
    // and their counts moved to those buckets afterwards, which takes the
    // reverse complement of each of 4^d values instead of n codes.
    std::vector<std::size_t> start(buckets + 1, 0);
    for (std::size_t i = 0; i < n; ++i) ++start[codes[i] >> kLowBits];
    if (rc) {
        const unsigned d = (high + 1) / 2;
        const std::uint64_t low_mask = (std::uint64_t{1} << (2 * d)) - 1;
        std::vector<std::size_t> lows(std::size_t{1} << (2 * d), 0);
        for (std::size_t i = 0; i < n; ++i) ++lows[codes[i] & low_mask];
        for (std::uint64_t j = 0; j <= low_mask; ++j) start[rev_complement_code(j, d) >> (2 * d - high)] += lows[j];
    }
    std::size_t sum = 0;
    for (auto& s : start) {
        const std::size_t c = s;
        s = sum;
        sum += c;
    }

    // Spread: each code's low bits into its bucket, in count memory (kept
    // for the next sequence of this size; written before it is read, so
    // not zeroed first).
    std::vector<std::uint16_t, CountAllocator<std::uint16_t>> low(spread == 0 ? 1 : spread);
    {
        std::vector<std::size_t> at(start.begin(), start.end() - 1);
        std::uint16_t* out = low.data();
        if (rc && k <= 2 * kHalfDigits) {
            // The reverse complement from two looked-up halves: a fifth
            // of the pass's time at k = 12 against computing it whole.
            const unsigned a = k / 2, b = k - a;  // digits of the low and the high half
            std::vector<std::uint16_t> rc_low(std::size_t{1} << (2 * a)), rc_high(std::size_t{1} << (2 * b));
            for (std::uint64_t j = 0; j < rc_low.size(); ++j) rc_low[j] = static_cast<std::uint16_t>(rev_complement_code(j, a));
            for (std::uint64_t j = 0; j < rc_high.size(); ++j) rc_high[j] = static_cast<std::uint16_t>(rev_complement_code(j, b));
            const std::uint64_t low_mask = (std::uint64_t{1} << (2 * a)) - 1;
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint64_t c = codes[i];
                const std::uint64_t r = std::uint64_t{rc_low[c & low_mask]} << (2 * b) | rc_high[c >> (2 * a)];
                out[at[c >> kLowBits]++] = static_cast<std::uint16_t>(c & kLowMask);
                out[at[r >> kLowBits]++] = static_cast<std::uint16_t>(r & kLowMask);
            }
        } else if (rc) {
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint64_t c = codes[i];
                const std::uint64_t r = rev_complement_code(c, k);
                out[at[c >> kLowBits]++] = static_cast<std::uint16_t>(c & kLowMask);
                out[at[r >> kLowBits]++] = static_cast<std::uint16_t>(r & kLowMask);
            }
        } else {
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint64_t c = codes[i];
                out[at[c >> kLowBits]++] = static_cast<std::uint16_t>(c & kLowMask);
            }
        }
    }

    // Count each bucket in the small table and write its part of acc,
    // leaving the table zero again. No bucket holds 2^32 codes: the caller
    // spreads fewer at a time.
    std::vector<std::uint32_t> table(kLowColumns, 0);
    std::uint64_t nonzero = 0;
    for (std::size_t b = 0; b < buckets; ++b) {
        if ((b & 63) == 63) check_signals();
        const std::uint16_t* p = low.data() + start[b];
        const std::uint16_t* end = low.data() + start[b + 1];
        std::uint32_t* t = table.data();
        for (; p != end; ++p) ++t[*p];
        std::uint64_t* out = acc + (std::uint64_t{b} << kLowBits);
        if (first) nonzero += write_bucket(out, t);
        else nonzero += add_bucket(out, t, false);
    }
    return nonzero;
}

}  // namespace nuvek
