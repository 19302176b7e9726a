#include "kmer/kmer_count_result.hpp"

#include <string>

#include "panic.hpp"

namespace nuvek {
namespace {

void assert_equal(std::uint64_t left, std::uint64_t right) {
    if (left == right) return;
    throw Panic("assertion failed: `(left == right)`\n  left: `" + std::to_string(left) + "`,\n right: `" +
                std::to_string(right) + "`");
}

}  // namespace

KmerCountResult add(const KmerCountResult& a, const KmerCountResult& b) {
    assert_equal(a.k, b.k);
    assert_equal(a.counts.size(), b.counts.size());
    KmerCountResult out{a.k, a.total + b.total, a.counts};
    for (std::size_t i = 0; i < out.counts.size(); ++i) out.counts[i] += b.counts[i];
    return out;
}

}  // namespace nuvek
