#include "kmer/kmer_buckets.hpp"

#include <algorithm>
#include <memory>
#include <vector>

#include "kmer/count_storage.hpp"
#include "kmer/kmer_index.hpp"
#include "util/signals.hpp"

namespace nuvek {
namespace {

// A bucket's columns: 2^15 32-bit counters (128 KiB) for its count, and
// its low bits fit the 16-bit entries of the spread codes.
constexpr unsigned kLowBits = 15;
constexpr std::uint64_t kLowColumns = std::uint64_t{1} << kLowBits;
constexpr std::uint64_t kLowMask = kLowColumns - 1;

}  // namespace

std::uint64_t add_codes_by_bucket(std::uint64_t* acc, bool first, const std::uint64_t* codes, std::size_t n,
                                   unsigned k, bool rc) {
    const unsigned high = 2 * k - kLowBits;
    const std::size_t buckets = std::size_t{1} << high;
    const std::size_t spread = n * (rc ? 2 : 1);

    // Where each bucket starts among the spread codes.
    std::vector<std::size_t> start(buckets + 1, 0);
    if (rc) {
        for (std::size_t i = 0; i < n; ++i) {
            ++start[codes[i] >> kLowBits];
            ++start[rev_complement_code(codes[i], k) >> kLowBits];
        }
    } else {
        for (std::size_t i = 0; i < n; ++i) ++start[codes[i] >> kLowBits];
    }
    std::size_t sum = 0;
    for (auto& s : start) {
        const std::size_t c = s;
        s = sum;
        sum += c;
    }

    // Spread: each code's low bits into its bucket. The memory is written
    // before it is read, so it is not zeroed first.
    std::unique_ptr<std::uint16_t[]> low(new std::uint16_t[spread == 0 ? 1 : spread]);
    advise_huge_pages(low.get(), spread * sizeof(std::uint16_t));
    {
        std::vector<std::size_t> at(start.begin(), start.end() - 1);
        std::uint16_t* out = low.get();
        if (rc) {
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

    // Count each bucket in the small table and write its part of acc. No
    // bucket holds 2^32 codes: the caller spreads fewer at a time.
    std::vector<std::uint32_t> table(kLowColumns, 0);
    std::uint64_t nonzero = 0;
    for (std::size_t b = 0; b < buckets; ++b) {
        if ((b & 63) == 63) check_signals();
        const std::uint16_t* p = low.get() + start[b];
        const std::uint16_t* end = low.get() + start[b + 1];
        std::uint32_t* t = table.data();
        for (; p != end; ++p) ++t[*p];
        std::uint64_t* out = acc + (std::uint64_t{b} << kLowBits);
        for (std::uint64_t i = 0; i < kLowColumns; ++i) {
            const std::uint64_t v = (first ? 0 : out[i]) + t[i];
            out[i] = v;
            nonzero += v != 0;
        }
        if (start[b + 1] != start[b]) std::fill(table.begin(), table.end(), 0);
    }
    return nonzero;
}

}  // namespace nuvek
