#include "kmer/kmer_count_result.hpp"

#include <algorithm>

#include "util/memory.hpp"

namespace nuvek {
namespace {

// True when n sparse entries take less room than size dense counters.
bool sparse_is_smaller(std::uint64_t n, std::uint64_t size) {
    return n * sizeof(KmerEntry) / sizeof(std::uint64_t) < size;
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

}  // namespace nuvek
