// A hash map from byte-string keys to values that remembers the order in
// which keys were first inserted and iterates in that order. Entries are
// never removed. Keys are hashed as bytes with a seed drawn at random for
// every map, so crafted ids cannot force collisions; the order of iteration
// does not depend on the hash, so output built from a map is reproducible.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nuvek {

// A fresh random 64-bit seed: a per-process key from the system's random
// source mixed with a per-call counter.
std::uint64_t random_seed();

// Seeded hash of a byte string.
std::uint64_t hash_bytes(std::string_view key, std::uint64_t seed) noexcept;

template <class V>
class OrderedMap {
public:
    struct Entry {
        std::string key;
        V value;
    };

    OrderedMap() : seed_(random_seed()) {}

    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }

    // Entries in insertion order.
    const std::vector<Entry>& entries() const noexcept { return entries_; }
    auto begin() const noexcept { return entries_.begin(); }
    auto end() const noexcept { return entries_.end(); }

    const V* find(std::string_view key) const noexcept {
        const std::size_t i = index_of(key, slots_.empty() ? 0 : hash_bytes(key, seed_));
        return i == kMissing ? nullptr : &entries_[i].value;
    }
    V* find(std::string_view key) noexcept {
        return const_cast<V*>(static_cast<const OrderedMap&>(*this).find(key));
    }

    // The value under key, or a new entry built from make() when the key is
    // absent; second is true when the entry was inserted.
    template <class Make>
    std::pair<V*, bool> find_or_insert(std::string_view key, Make&& make) {
        const std::uint64_t h = slots_.empty() ? 0 : hash_bytes(key, seed_);
        const std::size_t i = index_of(key, h);
        if (i != kMissing) return {&entries_[i].value, false};
        if (entries_.size() >= kMaxEntries) throw std::bad_alloc();
        entries_.push_back(Entry{std::string(key), make()});
        if (slots_.empty()) {
            if (entries_.size() > kSmall) rebuild();
        } else if ((entries_.size() + 1) * 4 > slots_.size() * 3) {
            rebuild();
        } else {
            place(h, entries_.size() - 1);
        }
        return {&entries_.back().value, true};
    }

    // Makes room for n entries in all, so that growing to n entries neither
    // moves entries nor rebuilds the index.
    void reserve(std::size_t n) {
        if (n <= entries_.size()) return;
        if (n > kMaxEntries) throw std::bad_alloc();
        entries_.reserve(n);
        if (n <= kSmall) return;
        std::size_t cap = 16;
        while ((n + 1) * 4 > cap * 3) cap *= 2;  // below the load limit with n entries
        if (cap > slots_.size()) rebuild(cap);
    }

private:
    // Maps this small are searched by a plain scan, without hashing.
    static constexpr std::size_t kSmall = 8;
    static constexpr std::size_t kMissing = ~std::size_t{0};
    // Slots keep entry indices in 32 bits.
    static constexpr std::size_t kMaxEntries = 0xFFFFFFFEull;

    // A slot holds the top 32 bits of the key's hash and the entry index
    // plus one; 0 is an empty slot.
    static std::uint64_t slot_of(std::uint64_t h, std::size_t index) {
        return (h & 0xFFFFFFFF00000000ull) | static_cast<std::uint64_t>(index + 1);
    }

    static bool same(const std::string& a, std::string_view b) noexcept {
        return a.size() == b.size() && (b.empty() || std::memcmp(a.data(), b.data(), b.size()) == 0);
    }

    std::size_t index_of(std::string_view key, std::uint64_t h) const noexcept {
        if (slots_.empty()) {
            for (std::size_t i = 0; i < entries_.size(); ++i)
                if (same(entries_[i].key, key)) return i;
            return kMissing;
        }
        const std::size_t mask = slots_.size() - 1;
        const std::uint64_t tag = h & 0xFFFFFFFF00000000ull;
        for (std::size_t pos = static_cast<std::size_t>(h) & mask;; pos = (pos + 1) & mask) {
            const std::uint64_t s = slots_[pos];
            if (s == 0) return kMissing;
            if ((s & 0xFFFFFFFF00000000ull) == tag) {
                const std::size_t i = static_cast<std::size_t>(s & 0xFFFFFFFFull) - 1;
                if (same(entries_[i].key, key)) return i;
            }
        }
    }

    void place(std::uint64_t h, std::size_t index) noexcept {
        const std::size_t mask = slots_.size() - 1;
        std::size_t pos = static_cast<std::size_t>(h) & mask;
        while (slots_[pos] != 0) pos = (pos + 1) & mask;
        slots_[pos] = slot_of(h, index);
    }

    void rebuild(std::size_t cap = 16) {
        while ((entries_.size() + 1) * 2 > cap) cap *= 2;
        slots_.assign(cap, 0);
        for (std::size_t i = 0; i < entries_.size(); ++i) place(hash_bytes(entries_[i].key, seed_), i);
    }

    std::vector<Entry> entries_;
    std::vector<std::uint64_t> slots_;  // empty while the map is small
    std::uint64_t seed_;
};

}  // namespace nuvek
