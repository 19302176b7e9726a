#include "kmer/kmer_count_result.hpp"

#include <algorithm>
#include <string>

#include "panic.hpp"
#include "util/memory.hpp"

namespace nuvek {
namespace {

void assert_equal(std::uint64_t left, std::uint64_t right) {
    if (left == right) return;
    throw Panic("assertion failed: `(left == right)`\n  left: `" + std::to_string(left) + "`,\n right: `" +
                std::to_string(right) + "`");
}

// True when n sparse entries take less room than size dense counters.
bool sparse_is_smaller(std::uint64_t n, std::uint64_t size) {
    return n * sizeof(KmerEntry) / sizeof(std::uint64_t) < size;
}

// Sorts entries by column and sums entries of equal column; entries whose
// sum wraps to zero are dropped.
void merge_duplicates(std::vector<KmerEntry>& entries) {
    std::sort(entries.begin(), entries.end(),
              [](const KmerEntry& x, const KmerEntry& y) { return x.column < y.column; });
    std::size_t out = 0;
    for (std::size_t i = 0; i < entries.size();) {
        KmerEntry e = entries[i++];
        while (i < entries.size() && entries[i].column == e.column) e.count += entries[i++].count;
        if (e.count != 0) entries[out++] = e;
    }
    entries.resize(out);
}

}  // namespace

KmerCountResult KmerCountResult::sparse(std::uint8_t k, std::uint64_t total, std::uint64_t size,
                                        std::vector<KmerEntry> entries) {
    KmerCountResult r;
    r.k = k;
    r.total = total;
    r.size_ = size;
    r.sparse_ = true;
    r.entries_ = std::move(entries);
    return r;
}

CountVector KmerCountResult::counts() const {
    if (!sparse_) return dense_;
    require_fits(size_, sizeof(std::uint64_t));
    CountVector out(size_, 0);
    for (const auto& e : entries_) out[e.column] = e.count;
    return out;
}

const CountVector& KmerCountResult::held_counts() const {
    if (!sparse_) return dense_;
    if (!expanded_built_) {
        expanded_ = counts();
        expanded_built_ = true;
    }
    return expanded_;
}

void KmerCountResult::compact() {
    if (sparse_) {
        if (sparse_is_smaller(entries_.size(), size_)) return;
        dense_ = expanded_built_ ? std::move(expanded_) : counts();
        entries_ = {};
        expanded_ = {};
        expanded_built_ = false;
        sparse_ = false;
        return;
    }
    const auto nonzero =
        static_cast<std::uint64_t>(std::count_if(dense_.begin(), dense_.end(), [](std::uint64_t c) { return c != 0; }));
    if (!sparse_is_smaller(nonzero, size_)) return;
    std::vector<KmerEntry> entries;
    entries.reserve(nonzero);
    for (std::uint64_t i = 0; i < size_; ++i)
        if (dense_[i] != 0) entries.push_back({i, dense_[i]});
    entries_ = std::move(entries);
    dense_ = {};
    sparse_ = true;
}

KmerCountResult add(const KmerCountResult& a, const KmerCountResult& b) {
    assert_equal(a.k, b.k);
    assert_equal(a.size(), b.size());
    const std::uint64_t total = a.total + b.total;
    if (a.is_sparse() && b.is_sparse()) {
        std::vector<KmerEntry> entries;
        entries.reserve(a.entries().size() + b.entries().size());
        entries.insert(entries.end(), a.entries().begin(), a.entries().end());
        entries.insert(entries.end(), b.entries().begin(), b.entries().end());
        merge_duplicates(entries);
        auto out = KmerCountResult::sparse(a.k, total, a.size(), std::move(entries));
        out.compact();
        return out;
    }
    // At least one side is dense: start from a copy of it and add the other.
    const KmerCountResult& base = a.is_sparse() ? b : a;
    const KmerCountResult& other = a.is_sparse() ? a : b;
    CountVector counts = base.dense();
    if (other.is_sparse()) {
        for (const auto& e : other.entries()) counts[e.column] += e.count;
    } else {
        for (std::size_t i = 0; i < counts.size(); ++i) counts[i] += other.dense()[i];
    }
    return KmerCountResult{a.k, total, std::move(counts)};
}

}  // namespace nuvek
