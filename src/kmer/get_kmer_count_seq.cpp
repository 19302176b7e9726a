#include "kmer/get_kmer_count_seq.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

#include "kmer/kmer_index.hpp"
#include "panic.hpp"
#include "util/memory.hpp"
#include "util/quote.hpp"
#include "util/utf8.hpp"

namespace nuvek {
namespace {

using Byte = unsigned char;

// 2-bit code of an upper-case base: A 0x41 -> 0, C 0x43 -> 1, G 0x47 -> 2,
// T 0x54 -> 3. Only meaningful for bytes already checked to be A, C, G, T.
inline std::uint64_t base_code(Byte c) { return ((c >> 1) ^ (c >> 2)) & 3u; }

inline bool is_base(Byte c) { return c == 'A' || c == 'C' || c == 'G' || c == 'T'; }

// Offset of the first byte of p[0..n) outside A, C, G, T, or n. Whole
// 64-byte chunks are tested with a branch-free reduction the compiler
// vectorises; only a failing chunk is searched byte by byte.
std::size_t first_non_base(const Byte* p, std::size_t n) {
    constexpr std::size_t kChunk = 64;
    std::size_t i = 0;
    for (; i + kChunk <= n; i += kChunk) {
        Byte bad = 0;
        for (std::size_t j = 0; j < kChunk; ++j) {
            const Byte c = p[i + j];
            bad |= static_cast<Byte>((c != 'A') & (c != 'C') & (c != 'G') & (c != 'T'));
        }
        if (bad) break;
    }
    for (; i < n; ++i)
        if (!is_base(p[i])) return i;
    return n;
}

// Offset of the first byte of p[0..n) above 0x7F, or n.
std::size_t first_non_ascii(const Byte* p, std::size_t n) {
    constexpr std::size_t kChunk = 64;
    std::size_t i = 0;
    for (; i + kChunk <= n; i += kChunk) {
        Byte high = 0;
        for (std::size_t j = 0; j < kChunk; ++j) high |= p[i + j];
        if (high & 0x80) break;
    }
    for (; i < n; ++i)
        if (p[i] & 0x80) return i;
    return n;
}

// The failure for a window that starts or ends at byte offset `index`,
// which lies inside a multi-byte character of seq.
[[noreturn]] void fail_char_boundary(std::string_view seq, std::size_t index) {
    constexpr std::size_t kShown = 256;
    const std::size_t start = utf8::char_start(seq, index);
    const std::size_t end = start + utf8::sequence_length(static_cast<Byte>(seq[start]));
    std::size_t shown = seq.size();
    if (shown > kShown) {
        shown = kShown;
        while (utf8::is_continuation(static_cast<Byte>(seq[shown]))) --shown;
    }
    std::string message = "byte index " + std::to_string(index) + " is not a char boundary; it is inside " +
                          quote_char(utf8::decode_at(seq, start)) + " (bytes " + std::to_string(start) + ".." +
                          std::to_string(end) + ") of `";
    message.append(seq.substr(0, shown));
    message += '`';
    if (shown < seq.size()) message += "[...]";
    throw Panic(message);
}

// Raises the failure of the first failing window of seq (k >= 1, at least
// k bytes), given the offset of its first byte outside A, C, G, T.
//
// Every window before the first one holding that byte consists of bases
// and ends on a base or on that byte, which is never a continuation byte
// (it is ASCII or the lead byte of the first multi-byte character), so those
// windows pass. The first window holding it starts on a boundary as well;
// it fails on its end if that falls inside a character (the boundary check
// comes before the lookup), else on the lookup.
[[noreturn]] void fail_window(std::string_view seq, unsigned k, std::size_t bad) {
    const std::size_t start = bad >= k - 1 ? bad - (k - 1) : 0;
    const std::size_t end = start + k;
    if (end < seq.size() && utf8::is_continuation(static_cast<Byte>(seq[end]))) fail_char_boundary(seq, end);
    throw Panic(kUnwrapNone);
}

// Checks the whole of seq (k >= 1, at least k bytes).
void require_bases(std::string_view seq, unsigned k) {
    const auto* p = reinterpret_cast<const Byte*>(seq.data());
    const std::size_t bad = first_non_base(p, seq.size());
    if (bad != seq.size()) fail_window(seq, k, bad);
}

// ---------------------------------------------------------------------------
// Dense counting: one counter per column, allocated for the result itself.

// Counts the windows of seq into counts (4^k entries) while checking the
// bases block by block, so that each block is checked and counted while it
// sits in the first-level cache. With kRev the reverse strand's code is
// rolled alongside and counted too.
template <bool kRev>
void count_dense(std::string_view seq, unsigned k, std::uint64_t* counts) {
    constexpr std::size_t kBlock = 4096;
    const auto* p = reinterpret_cast<const Byte*>(seq.data());
    const std::size_t n = seq.size();
    const std::uint64_t mask = (std::uint64_t{1} << (2 * k)) - 1;
    const unsigned top = 2 * (k - 1);
    std::uint64_t fwd = 0;
    std::uint64_t rev = 0;
    for (std::size_t pos = 0; pos < n;) {
        const std::size_t end = std::min(n, pos + kBlock);
        const std::size_t bad = first_non_base(p + pos, end - pos);
        if (pos + bad != end) fail_window(seq, k, pos + bad);
        std::size_t i = pos;
        for (; i < end && i + 1 < k; ++i) {
            const std::uint64_t c = base_code(p[i]);
            fwd = (fwd << 2) | c;
            if constexpr (kRev) rev = (rev >> 2) | ((3 - c) << top);
        }
        for (; i < end; ++i) {
            const std::uint64_t c = base_code(p[i]);
            fwd = ((fwd << 2) | c) & mask;
            ++counts[fwd];
            if constexpr (kRev) {
                rev = (rev >> 2) | ((3 - c) << top);
                ++counts[rev];
            }
        }
        pos = end;
    }
}

// Adds to every column the count of its reverse complement's column: the
// windows of the reverse strand are exactly the reverse complements of the
// forward windows. Palindromic columns are doubled.
inline void fold_pair(std::uint64_t* counts, std::uint64_t x, unsigned k) {
    const std::uint64_t r = rev_complement_code(x, k);
    if (x < r) {
        const std::uint64_t s = counts[x] + counts[r];
        counts[x] = s;
        counts[r] = s;
    } else if (x == r) {
        counts[x] *= 2;
    }
}

// Reverse complementing moves a column's last letters to the front, so a
// plain pass over the columns would read the partners all over a table much
// larger than the cache. Instead the columns are visited in tiles that vary
// only the first and the last kEdge letters: the tile's own columns and
// their partners then both form 4^kEdge runs of 4^kEdge adjacent counters.
void fold_rev_complement(std::uint64_t* counts, unsigned k) {
    constexpr unsigned kEdge = 3;
    constexpr std::uint64_t kRun = std::uint64_t{1} << (2 * kEdge);
    const std::uint64_t size = std::uint64_t{1} << (2 * k);
    if (k < 2 * kEdge + 2) {
        for (std::uint64_t x = 0; x < size; ++x) fold_pair(counts, x, k);
        return;
    }
    const std::uint64_t middles = std::uint64_t{1} << (2 * (k - 2 * kEdge));
    const unsigned first_shift = 2 * (k - kEdge);
    for (std::uint64_t middle = 0; middle < middles; ++middle)
        for (std::uint64_t first = 0; first < kRun; ++first) {
            const std::uint64_t base = (first << first_shift) | (middle << (2 * kEdge));
            for (std::uint64_t last = 0; last < kRun; ++last) fold_pair(counts, base | last, k);
        }
}

// Asks the kernel to back a large counter table with huge pages: counting
// touches it at random, and 4 KiB pages would make most increments miss the
// TLB. Purely advisory; nothing depends on it succeeding.
void advise_huge_pages(void* data, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
    constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
    if (bytes < 2 * kHuge) return;
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kHuge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

KmerCountResult count_into_dense(std::string_view seq, unsigned k, std::uint64_t size, std::uint64_t windows,
                                 bool rc) {
    require_fits(size, sizeof(std::uint64_t));
    std::vector<std::uint64_t> counts;
    counts.reserve(size);
    advise_huge_pages(counts.data(), size * sizeof(std::uint64_t));
    counts.resize(size, 0);
    // With many windows per column, folding the forward counts (one pass
    // over the columns) is cheaper than counting a second code per window.
    if (rc && size > windows) {
        count_dense<true>(seq, k, counts.data());
    } else {
        count_dense<false>(seq, k, counts.data());
        if (rc) fold_rev_complement(counts.data(), k);
    }
    KmerCountResult result{static_cast<std::uint8_t>(k), windows * (rc ? 2 : 1), std::move(counts)};
    result.compact();
    return result;
}

// ---------------------------------------------------------------------------
// Sparse counting: only the columns the windows touch.

// Columns up to this many are counted in a per-thread table of 32-bit
// counters (4 MiB at most), which stays all zero between calls: a call
// clears only the counters it touched.
constexpr std::uint64_t kTableColumns = std::uint64_t{1} << 20;

struct Scratch {
    std::vector<std::uint32_t> table;
    std::vector<std::uint64_t> codes;
};

thread_local Scratch scratch;

// Releases a scratch buffer that a large call grew beyond what short reads
// need, so that one big sequence does not pin its memory for the thread's
// lifetime.
void trim(std::vector<std::uint64_t>& v) {
    constexpr std::size_t kKeep = std::size_t{1} << 16;
    if (v.capacity() > kKeep) std::vector<std::uint64_t>().swap(v);
    else v.clear();
}

template <class Emit>
void roll_codes(std::string_view seq, unsigned k, Emit&& emit) {
    const auto* p = reinterpret_cast<const Byte*>(seq.data());
    const std::uint64_t mask = (std::uint64_t{1} << (2 * k)) - 1;
    std::uint64_t code = 0;
    std::size_t i = 0;
    for (; i + 1 < k; ++i) code = (code << 2) | base_code(p[i]);
    for (; i < seq.size(); ++i) {
        code = ((code << 2) | base_code(p[i])) & mask;
        emit(code);
    }
}

// Counts through the per-thread table; entries come out in order of first
// occurrence.
std::vector<KmerEntry> count_with_table(std::string_view seq, unsigned k, std::uint64_t size,
                                        std::uint64_t windows, bool rc) {
    auto& table = scratch.table;
    auto& touched = scratch.codes;
    if (table.size() < size) table.resize(size, 0);
    touched.clear();
    touched.reserve(windows);
    // Clear the touched counters on every way out, failures included.
    struct Reset {
        std::vector<std::uint32_t>& table;
        std::vector<std::uint64_t>& touched;
        ~Reset() {
            for (auto c : touched) table[c] = 0;
            trim(touched);
        }
    } reset{table, touched};
    roll_codes(seq, k, [&](std::uint64_t code) {
        if (table[code]++ == 0) touched.push_back(code);
    });
    std::vector<KmerEntry> entries;
    entries.reserve(touched.size() * (rc ? 2 : 1));
    if (!rc) {
        for (auto c : touched) entries.push_back({c, table[c]});
        return entries;
    }
    // A column's combined count is its own plus its reverse complement's
    // forward count; a reverse complement that occurs only on the reverse
    // strand gets an entry of its own.
    for (auto c : touched) {
        const std::uint64_t r = rev_complement_code(c, k);
        entries.push_back({c, std::uint64_t{table[c]} + table[r]});
        if (table[r] == 0) entries.push_back({r, table[c]});
    }
    return entries;
}

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

// Counts by sorting the window codes: for columns too many for the table.
std::vector<KmerEntry> count_by_sorting(std::string_view seq, unsigned k, std::uint64_t windows, bool rc) {
    auto& codes = scratch.codes;
    codes.clear();
    struct Trim {
        std::vector<std::uint64_t>& codes;
        ~Trim() { trim(codes); }
    } guard{codes};
    codes.reserve(windows * (rc ? 2 : 1));
    roll_codes(seq, k, [&](std::uint64_t code) { codes.push_back(code); });
    if (rc) {
        const std::size_t forward = codes.size();
        for (std::size_t i = 0; i < forward; ++i) codes.push_back(rev_complement_code(codes[i], k));
    }
    radix_sort(codes, 2 * k);
    std::size_t distinct = 0;
    for (std::size_t i = 0; i < codes.size(); ++i) distinct += i == 0 || codes[i] != codes[i - 1];
    std::vector<KmerEntry> entries;
    entries.reserve(distinct);
    for (std::size_t i = 0; i < codes.size();) {
        std::size_t j = i + 1;
        while (j < codes.size() && codes[j] == codes[i]) ++j;
        entries.push_back({codes[i], j - i});
        i = j;
    }
    return entries;
}

}  // namespace

KmerCountResult get_kmer_count_seq(std::string_view seq, std::uint8_t k, bool use_rev_complement, bool) {
    const std::uint64_t size = kmer_columns(k);
    const std::uint64_t strands = use_rev_complement ? 2 : 1;
    const std::size_t n = seq.size();

    if (k == 0) {
        // Every byte offset is a window of the empty k-mer; only an offset
        // inside a multi-byte character fails, the first being the byte
        // after the first non-ASCII lead byte.
        const std::size_t lead = first_non_ascii(reinterpret_cast<const Byte*>(seq.data()), n);
        if (lead != n) fail_char_boundary(seq, lead + 1);
        return KmerCountResult{0, n * strands, {n * strands}};
    }
    if (n < k) return KmerCountResult::sparse(k, 0, size, {});

    const std::uint64_t windows = n - k + 1;
    // Dense unless even one distinct column per window would leave most
    // columns zero.
    if (windows * strands * 2 >= size) return count_into_dense(seq, k, size, windows, use_rev_complement);

    require_bases(seq, k);
    auto entries = size <= kTableColumns ? count_with_table(seq, k, size, windows, use_rev_complement)
                                         : count_by_sorting(seq, k, windows, use_rev_complement);
    return KmerCountResult::sparse(k, windows * strands, size, std::move(entries));
}

}  // namespace nuvek
