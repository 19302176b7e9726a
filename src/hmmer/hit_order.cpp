#include "hmmer/hit_order.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace nuvek {

namespace {

using Ranked = HitOrder::Ranked;

// Ascending with x, 0 and -0 alike; never 0 or all ones for a number.
inline std::uint64_t order_key(double x) {
    if (x == 0) x = 0.0;
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return (b >> 63) ? ~b : b | (std::uint64_t{1} << 63);
}

inline Ranked rank(const FamilyMap::Entry& e) {
    const double bit = e.value.bit_score, ev = e.value.e_val;
    return {std::isnan(bit) ? 0 : order_key(bit), std::isnan(ev) ? 0 : ~order_key(ev), &e};
}

// Entries lie in insertion order, so their addresses break ties: std::sort
// then gives the order of a stable sort.
inline bool written_before(const Ranked& a, const Ranked& b) {
    using U128 = unsigned __int128;
    const U128 ka = (U128{a.bit_key} << 64) | a.e_key, kb = (U128{b.bit_key} << 64) | b.e_key;
    return ka > kb || (ka == kb && a.entry < b.entry);
}

void insertion_sort(std::vector<Ranked>& v) {
    for (std::size_t i = 1; i < v.size(); ++i) {
        const Ranked x = v[i];
        std::size_t j = i;
        for (; j > 0 && written_before(x, v[j - 1]); --j) v[j] = v[j - 1];
        v[j] = x;
    }
}

// Sorts by written_before. Hits in random order are first spread by bit
// score over about as many buckets as there are hits (a stable counting
// pass), which leaves an insertion sort only the few that share a bucket:
// write() of the benchmark's genes of 120 hits takes 1.3x as long with
// std::sort alone (benchmarks/bench_tophit.py). Bit scores that cannot be
// spread (NaN, infinite, all equal) or that crowd one bucket go to std::sort.
void sort_hits(std::vector<Ranked>& v, std::vector<Ranked>& scratch, std::vector<std::uint32_t>& counts) {
    const std::size_t n = v.size();
    if (n <= 16) return insertion_sort(v);
    constexpr std::size_t kMaxBuckets = 4096, kCrowded = 32;
    double lo = v[0].entry->value.bit_score, hi = lo;
    bool finite = n <= kMaxBuckets;
    for (const Ranked& r : v) {
        const double x = r.entry->value.bit_score;
        finite = finite && std::isfinite(x);
        lo = x < lo ? x : lo;
        hi = x > hi ? x : hi;
    }
    const std::size_t buckets = std::bit_ceil(n);
    const double per_unit = static_cast<double>(buckets) / (hi - lo);
    if (!finite || !(hi > lo) || !std::isfinite(per_unit)) return std::sort(v.begin(), v.end(), written_before);
    // Greater bit scores in earlier buckets, equal ones in the same bucket.
    auto bucket_of = [&](const Ranked& r) {
        const double b = (hi - r.entry->value.bit_score) * per_unit;
        return b >= static_cast<double>(buckets - 1) ? buckets - 1 : static_cast<std::size_t>(b);
    };
    counts.assign(buckets + 1, 0);
    for (const Ranked& r : v) ++counts[bucket_of(r) + 1];
    for (std::size_t b = 1; b <= buckets; ++b) {
        if (counts[b] > kCrowded) return std::sort(v.begin(), v.end(), written_before);
        counts[b] += counts[b - 1];  // now the start of bucket b
    }
    scratch.resize(n);
    for (const Ranked& r : v) scratch[counts[bucket_of(r)]++] = r;
    v.swap(scratch);
    insertion_sort(v);
}

}  // namespace

const std::vector<HitOrder::Ranked>& HitOrder::operator()(const FamilyMap& families) {
    std::vector<Ranked>& order = order_;
    order.clear();
    for (const auto& e : families) order.push_back(rank(e));
    sort_hits(order, scratch_, counts_);
    // A NaN in the hit get_top_hit picks leaves its place free: first in
    // the line, where nothing read after it takes over.
    const FamilyMap::Entry* top = &top_entry(families);
    if (std::isnan(top->value.bit_score) || std::isnan(top->value.e_val)) {
        const auto at = std::find_if(order.begin(), order.end(), [&](const Ranked& r) { return r.entry == top; });
        std::rotate(order.begin(), at, at + 1);
    }
    return order;
}

}  // namespace nuvek
