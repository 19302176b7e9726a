#include "kmer/kmer_entries.hpp"

#include <algorithm>
#include <utility>

#include "kmer/kmer_index.hpp"

namespace nuvek {
namespace {

// Scratch for sorting, kept by the thread between sequences up to kKeepScratch
// bytes: fresh memory for every record would cost a page fault per 4 KiB,
// as much as the sort itself.
constexpr std::size_t kKeepScratch = std::size_t{8} << 20;

template <class Key>
struct Scratch {
    std::vector<Key> keys, other;
    void trim() {
        if (keys.capacity() * sizeof(Key) > kKeepScratch) keys = {};
        if (other.capacity() * sizeof(Key) > kKeepScratch) other = {};
    }
};

template <class Key>
Scratch<Key>& scratch() {
    thread_local Scratch<Key> s;
    return s;
}

// Sorts n keys below 2^bits, the result in keys: least significant digit
// first, each pass reading and scattering every key once, the counts of
// every pass taken in one read. Digits of up to 11 bits while the keys fit
// the second-level cache (2^11 targets of the scatter stay in the first),
// of up to 8 bits beyond (8 million keys at k = 12: 34 ms in three passes
// against 65 ms in two). A pass whose digit is the same for every key is
// skipped.
template <unsigned Passes, class Key>
void radix_passes(Key*& keys, Key*& other, std::size_t n, unsigned bits) {
    const unsigned digit = (bits + Passes - 1) / Passes;
    const std::size_t buckets = std::size_t{1} << digit;
    const Key mask = static_cast<Key>(buckets - 1);
    std::vector<std::size_t> start(Passes * buckets, 0);
    std::size_t* h = start.data();
    for (std::size_t i = 0; i < n; ++i) {
        const Key c = keys[i];
        for (unsigned p = 0; p < Passes; ++p) ++h[p * buckets + ((c >> (p * digit)) & mask)];
    }
    for (unsigned p = 0; p < Passes; ++p) {
        std::size_t* at = h + p * buckets;
        if (*std::max_element(at, at + buckets) == n) continue;
        std::size_t sum = 0;
        for (std::size_t b = 0; b < buckets; ++b) sum += std::exchange(at[b], sum);
        const unsigned shift = p * digit;
        for (std::size_t i = 0; i < n; ++i) {
            const Key c = keys[i];
            other[at[(c >> shift) & mask]++] = c;
        }
        std::swap(keys, other);
    }
}

template <class Key>
void radix_sort(Key*& keys, Key*& other, std::size_t n, unsigned bits) {
    const unsigned max_digit = n <= (std::size_t{1} << 20) ? 11 : 8;
    switch ((bits + max_digit - 1) / max_digit) {
        case 0: return;
        case 1: return radix_passes<1>(keys, other, n, bits);
        case 2: return radix_passes<2>(keys, other, n, bits);
        case 3: return radix_passes<3>(keys, other, n, bits);
        case 4: return radix_passes<4>(keys, other, n, bits);
        case 5: return radix_passes<5>(keys, other, n, bits);
        case 6: return radix_passes<6>(keys, other, n, bits);
        case 7: return radix_passes<7>(keys, other, n, bits);
        default: return radix_passes<8>(keys, other, n, bits);  // up to 64 bits
    }
}

// The entries of the window codes, the reverse strand's added when rc, by
// sorting them as keys of type Key (wide enough for 2k bits).
template <class Entry, class Key>
EntryVector<Entry> sorted_entries(const CountVector& codes, unsigned k, bool rc) {
    Scratch<Key>& s = scratch<Key>();
    const std::size_t forward = codes.size();
    const std::size_t n = forward * (rc ? 2 : 1);
    for (std::vector<Key>* v : {&s.keys, &s.other}) {
        if (v->size() >= n) continue;
        *v = {};  // not copied on growth
        v->resize(n);
    }
    Key* keys = s.keys.data();
    Key* other = s.other.data();
    for (std::size_t i = 0; i < forward; ++i) keys[i] = static_cast<Key>(codes[i]);
    if (rc)
        for (std::size_t i = 0; i < forward; ++i) keys[forward + i] = static_cast<Key>(rev_complement_code(codes[i], k));
    radix_sort(keys, other, n, 2 * k);
    // Where each run of equal keys starts, noted without a branch, in the
    // other buffer (a run starts at most once per key).
    std::size_t runs = 0;
    if (n > 0) {
        other[0] = 0;
        runs = 1;
        for (std::size_t i = 1; i < n; ++i) {
            other[runs] = static_cast<Key>(i);
            runs += keys[i] != keys[i - 1];
        }
    }
    EntryVector<Entry> entries;
    entries.reserve(runs);  // each entry written once, not zeroed first
    for (std::size_t r = 0; r < runs; ++r) {
        const std::size_t from = static_cast<std::size_t>(other[r]);
        const std::size_t to = r + 1 < runs ? static_cast<std::size_t>(other[r + 1]) : n;
        entries.push_back(Entry{keys[from], to - from});
    }
    s.trim();
    return entries;
}

}  // namespace

KmerEntries strand_entries(const std::uint32_t* table, const std::uint64_t* columns, std::size_t n,
                                      unsigned k, bool rc) {
    KmerEntries entries(n * (rc ? 2 : 1) + 1);
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
EntryVector<Entry> count_codes(const CountVector& codes, unsigned k, bool rc) {
    // A few hundred codes (a short read's windows) are counted in a small
    // open-addressing table: faster than sorting them. From about 300 the
    // sort is faster (600 bp at k = 8: 9.8 us against 14; 3 kbp at k = 10:
    // 51 us against 85). The reverse strand is added from the forward
    // counts, as for the sparse table.
    constexpr std::size_t kHashed = std::size_t{1} << 8;
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
        EntryVector<Entry> entries;
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
    // Up to 2^32 keys of up to 32 bits (k <= 16): half the bytes to move.
    if (2 * k <= 32 && codes.size() * 2 <= (std::uint64_t{1} << 32)) return sorted_entries<Entry, std::uint32_t>(codes, k, rc);
    return sorted_entries<Entry, std::uint64_t>(codes, k, rc);
}

template KmerEntries count_codes<KmerEntry>(const CountVector&, unsigned, bool);
template WideEntries count_codes<WideEntry>(const CountVector&, unsigned, bool);

}  // namespace nuvek
