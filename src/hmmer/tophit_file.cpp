// Writing and reading the top-hit file of a table.
#include "hmmer/tophit_file.hpp"

#include <fcntl.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

#include "hmmer/tophit.hpp"
#include "panic.hpp"
#include "util/fs.hpp"
#include "util/line_reader.hpp"
#include "util/number_text.hpp"
#include "util/os_error.hpp"
#include "util/out_buffer.hpp"
#include "util/quote.hpp"
#include "util/utf8.hpp"
#include "util/word_scan.hpp"

namespace nuvek {

namespace {

constexpr const char* kLineFailure = "TODO: panic message";

[[noreturn]] void fail(const char* what, const std::string& description) {
    throw Panic(std::string(what) + ": " + description);
}

[[noreturn]] void fail_os(const char* what, int code) { fail(what, os_error_description(code)); }

std::string write_error_description(int code) {
    return code < 0 ? std::string(kWriteZeroDescription) : os_error_description(code);
}

// ---------------------------------------------------------------------------
// Writer

// Refuses ids that would not read back as written.
void check_ids(const GeneMap& genes) {
    for (const auto& gene : genes) {
        if (unwritable_gene_id(gene.key))
            throw Panic("Cannot write gene id " + quote_str(gene.key) + ": it contains a tab or a line feed");
        for (const auto& family : gene.value) {
            if (unwritable_family_id(family.key))
                throw Panic("Cannot write family id " + quote_str(family.key) +
                            ": it contains a comma, a semicolon, a tab or a line feed");
        }
    }
}

// The order of a gene's hits in its line. Best first: bit scores from
// greatest to smallest, equal bit scores by e-value from smallest to
// greatest. Hits equal in both keep their insertion order, and hits with a
// NaN come after those they cannot be ranked against: a NaN e-value last
// among its bit score, a NaN bit score after every other hit. Read back
// into a new table, the hits are inserted in this order, and get_top_hit
// (which takes the last of the best in insertion order) answers as before.
//
// Each hit gets two integer keys that order like this, compared as one
// 128-bit number.
struct Ranked {
    std::uint64_t bit_key;
    std::uint64_t e_key;
    const FamilyMap::Entry* entry;
};

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

void order_hits(const FamilyMap& families, std::vector<Ranked>& order, std::vector<Ranked>& scratch,
                std::vector<std::uint32_t>& counts) {
    order.clear();
    for (const auto& e : families) order.push_back(rank(e));
    sort_hits(order, scratch, counts);
    // A NaN in the hit get_top_hit picks leaves its place free: first in
    // the line, where nothing read after it takes over.
    const FamilyMap::Entry* top = &top_entry(families);
    if (std::isnan(top->value.bit_score) || std::isnan(top->value.e_val)) {
        const auto at = std::find_if(order.begin(), order.end(), [&](const Ranked& r) { return r.entry == top; });
        std::rotate(order.begin(), at, at + 1);
    }
}

inline char* copy(char* p, std::string_view text) {
    std::memcpy(p, text.data(), text.size());
    return p + text.size();
}

// Renders every gene line into out, one gene at a time.
void write_genes(const GeneMap& genes, OutBuffer& out) {
    std::vector<Ranked> order, scratch;
    std::vector<std::uint32_t> counts;
    for (const auto& gene : genes) {
        order_hits(gene.value, order, scratch, counts);
        char* p = out.room(gene.key.size() + 1);
        p = copy(p, gene.key);
        *p++ = '\t';
        out.commit(p);
        for (std::size_t i = 0; i < order.size(); ++i) {
            const FamilyMap::Entry& hit = *order[i].entry;
            p = out.room(hit.key.size() + 2 * kMaxNumberChars + 3);
            p = copy(p, hit.key);
            *p++ = ',';
            p = write_number(p, hit.value.e_val);
            *p++ = ',';
            p = write_number(p, hit.value.bit_score);
            *p++ = i + 1 < order.size() ? ';' : '\n';
            out.commit(p);
        }
    }
    out.flush();
}

// ---------------------------------------------------------------------------
// Reader

[[noreturn]] void number_error(NumberError error) {
    throw Panic(std::string(kUnwrapErr) + "ParseFloatError { kind: " +
                (error == NumberError::Empty ? "Empty" : "Invalid") + " }");
}

// The number field at p, which ends at the next "," or ";" or at end;
// p moves to that end.
double read_number(const char*& p, const char* end) {
    const char* stop;
    const ParsedNumber n = parse_number(p, end, stop);
    if (n.error == NumberError::None && (stop == end || *stop == ',' || *stop == ';')) {
        p = stop;
        return n.value;
    }
    number_error(p == end || *p == ',' || *p == ';' ? NumberError::Empty : NumberError::Invalid);
}

// The text of s up to the first c, or all of it; rest gets what follows
// the c, or nothing when there is none.
inline std::string_view split_at(std::string_view s, char c, std::optional<std::string_view>& rest) {
    const auto* at = static_cast<const char*>(std::memchr(s.data(), c, s.size()));
    if (!at) {
        rest.reset();
        return s;
    }
    const auto n = static_cast<std::size_t>(at - s.data());
    rest = s.substr(n + 1);
    return s.substr(0, n);
}

inline const char* separator(const char* p, const char* end) { return find_either(p, end, ',', ';'); }

// Offers every hit of one gene line (not the header) to the table.
void read_line(TopHitFile& table, std::string_view line) {
    std::optional<std::string_view> rest, ignored;
    const std::string_view gene_id = split_at(line, '\t', rest);
    if (!rest) throw Panic(kUnwrapNone);
    // Columns after a second TAB are ignored.
    const std::string_view field = split_at(*rest, '\t', ignored);

    // The gene's family map, looked up once its first hit is in.
    FamilyMap* families = nullptr;
    // Each piece (up to a ";") is scanned once, left to right: the family
    // id up to its ",", each number up to the next "," or the piece's end.
    const char* p = field.data();
    const char* const end = p + field.size();
    while (true) {
        const char* q = separator(p, end);
        if (q == end || *q == ';') throw Panic(kUnwrapNone);
        const std::string_view hmm_id(p, static_cast<std::size_t>(q - p));
        p = q + 1;
        const double e_val = read_number(p, end);
        if (p == end || *p == ';') throw Panic(kUnwrapNone);
        ++p;
        const double bit_score = read_number(p, end);
        // Fields after a third "," are ignored.
        q = p;
        while (q < end && *q != ';') ++q;
        if (families) {
            table.add_family_hit(*families, hmm_id, Score{e_val, bit_score});
        } else {
            table.add_hit(gene_id, hmm_id, e_val, bit_score);
            families = table.hits.find(gene_id);
            // Room for the line's other hits at once, rather than growing
            // step by step (within a bound: pieces may repeat families).
            const auto more = static_cast<std::size_t>(std::count(q, end, ';'));
            families->reserve(families->size() + std::min<std::size_t>(more, 4096));
        }
        if (q == end) return;
        p = q + 1;
    }
}

}  // namespace

void TopHitFile::write() const {
    const std::optional<std::string> parent = parent_of(path);
    if (!parent) throw Panic(kUnwrapNone);
    if (unwritable_ids) check_ids(hits);

    if (has_nul(*parent)) fail("Cannot create directory!", kNulDescription);
    if (const int err = create_dir_all(*parent)) fail_os("Cannot create directory!", err);

    if (has_nul(path)) fail("Cannot create file!", kNulDescription);
    FileReplacement file;
    if (const int err = file.open(path)) fail_os("Cannot create file!", err);
    if (file.needs_reservation()) {
        // Rewriting the old file in place: a full disk must fail before
        // its first byte is touched.
        OutBuffer sizing(-1);
        write_genes(hits, sizing);
        if (const int err = file.reserve(kTopHitHeader.size() + sizing.total()))
            fail_os("Cannot write to file!", err);
    }

    // The header goes out on its own, so that its failure is told apart.
    if (const int err = write_all(file.fd(), kTopHitHeader.data(), kTopHitHeader.size()))
        fail("Cannot write to file!", write_error_description(err));
    OutBuffer out(file.fd());
    try {
        write_genes(hits, out);
    } catch (const WriteFailed& failed) {
        fail(kLineFailure, write_error_description(failed.code));
    }
    if (const int err = file.finish(kTopHitHeader.size() + out.total()))
        fail_os(hits.empty() ? "Cannot write to file!" : kLineFailure, err);
    if (const int err = file.replace()) fail_os("Cannot create file!", err);
}

void TopHitFile::read() {
    if (has_nul(path)) fail("Cannot read file!", kNulDescription);
    Fd file(open_file(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) fail_os("Cannot read file!", errno);

    LineReader reader(file.get());
    std::string_view line;
    std::size_t line_number = 0;  // of the line being read, from 1
    bool header = true;
    try {
        while (true) {
            ++line_number;
            if (!reader.next(line)) break;
            if (!utf8::is_valid(line)) continue;
            if (header) {
                header = false;
                continue;
            }
            read_line(*this, line);
        }
        if (reader.error()) fail_os("Cannot read file!", reader.error());
    } catch (Panic& failure) {
        failure.set_note("at line " + std::to_string(line_number) + " of " + quote_str(path));
        throw;
    }
}

}  // namespace nuvek
