#include "kmer/kmer_entries.hpp"

#include <algorithm>
#include <utility>

#include "kmer/kmer_index.hpp"

namespace nuvek {
namespace {

// Sorts codes below 2^bits, 11 bits per pass: a handful of linear passes
// instead of a comparison sort's log(n) over millions of windows.
void radix_sort(std::vector<std::uint64_t>& codes, unsigned bits) {
    constexpr unsigned kDigit = 11;
    constexpr std::size_t kBuckets = std::size_t{1} << kDigit;
    if (codes.size() < 256) {
        std::sort(codes.begin(), codes.end());
        return;
    }
    std::vector<std::uint64_t> other(codes.size());
    std::vector<std::size_t> start(kBuckets);
    for (unsigned shift = 0; shift < bits; shift += kDigit) {
        std::fill(start.begin(), start.end(), 0);
        for (auto c : codes) ++start[(c >> shift) & (kBuckets - 1)];
        std::size_t sum = 0;
        for (auto& s : start) sum += std::exchange(s, sum);
        for (auto c : codes) other[start[(c >> shift) & (kBuckets - 1)]++] = c;
        codes.swap(other);
    }
}

}  // namespace

std::vector<KmerEntry> strand_entries(const std::uint32_t* table, const std::uint64_t* columns, std::size_t n,
                                      unsigned k, bool rc) {
    std::vector<KmerEntry> entries(n * (rc ? 2 : 1) + 1);
    KmerEntry* out = entries.data();
    if (!rc) {
        for (std::size_t i = 0; i < n; ++i) out[i] = {columns[i], table[columns[i]]};
        entries.resize(n);
        return entries;
    }
    // No branch on the counts, so that the reads of the partners, spread
    // over a table larger than the cache, overlap.
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t c = columns[i];
        const std::uint64_t r = rev_complement_code(c, k);
        const std::uint32_t own = table[c];
        const std::uint32_t partner = table[r];
        out[0] = {c, std::uint64_t{own} + partner};
        out[1] = {r, own};
        out += 1 + (partner == 0);
    }
    entries.resize(static_cast<std::size_t>(out - entries.data()));
    return entries;
}

template <class Entry>
std::vector<Entry> count_codes(std::vector<std::uint64_t>& codes, unsigned k, bool rc) {
    // A few thousand codes (a short read's windows) are counted in a small
    // open-addressing table: faster than sorting them. The reverse strand
    // is added from the forward counts, as for the sparse table.
    constexpr std::size_t kHashed = std::size_t{1} << 12;
    if (codes.size() <= kHashed) {
        constexpr std::uint64_t kFree = ~std::uint64_t{0};  // no column is that large
        unsigned bits = 4;
        while ((std::size_t{1} << bits) < 2 * codes.size()) ++bits;
        const std::size_t mask = (std::size_t{1} << bits) - 1;
        struct Slot {
            std::uint64_t column;
            std::uint64_t count;
        };
        std::vector<Slot> slots(mask + 1, Slot{kFree, 0});
        const auto slot = [&](std::uint64_t c) -> Slot& {
            std::size_t i = static_cast<std::size_t>((c * 0x9E3779B97F4A7C15ull) >> (64 - bits));
            while (slots[i].column != c && slots[i].column != kFree) i = (i + 1) & mask;
            return slots[i];
        };
        // The slots taken, in order, so that the entries are read without a
        // pass over the free slots.
        std::vector<Slot*> taken;
        taken.reserve(codes.size());
        for (auto c : codes) {
            Slot& e = slot(c);
            if (e.column == kFree) taken.push_back(&e);
            e.column = c;
            ++e.count;
        }
        std::vector<Entry> entries;
        entries.reserve(taken.size() * (rc ? 2 : 1));
        for (const Slot* taken_slot : taken) {
            const Slot& e = *taken_slot;
            if (!rc) {
                entries.push_back({e.column, e.count});
                continue;
            }
            const std::uint64_t r = rev_complement_code(e.column, k);
            const Slot& partner = slot(r);
            const std::uint64_t other = partner.column == r ? partner.count : 0;
            entries.push_back({e.column, e.count + other});
            if (other == 0) entries.push_back({r, e.count});
        }
        return entries;
    }
    if (rc) {
        const std::size_t forward = codes.size();
        for (std::size_t i = 0; i < forward; ++i) codes.push_back(rev_complement_code(codes[i], k));
    }
    radix_sort(codes, 2 * k);
    std::size_t distinct = 0;
    for (std::size_t i = 0; i < codes.size(); ++i) distinct += i == 0 || codes[i] != codes[i - 1];
    std::vector<Entry> entries;
    entries.reserve(distinct);
    for (std::size_t i = 0; i < codes.size();) {
        std::size_t j = i + 1;
        while (j < codes.size() && codes[j] == codes[i]) ++j;
        entries.push_back({codes[i], j - i});
        i = j;
    }
    return entries;
}

template std::vector<KmerEntry> count_codes<KmerEntry>(std::vector<std::uint64_t>&, unsigned, bool);
template std::vector<WideEntry> count_codes<WideEntry>(std::vector<std::uint64_t>&, unsigned, bool);

}  // namespace nuvek
