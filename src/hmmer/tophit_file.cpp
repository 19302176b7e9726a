// Writing and reading the top-hit file of a table.
#include "hmmer/tophit_file.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "hmmer/hit_order.hpp"
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

inline char* copy(char* p, std::string_view text) {
    std::memcpy(p, text.data(), text.size());
    return p + text.size();
}

// Renders every gene line into out, one gene at a time.
void write_genes(const GeneMap& genes, OutBuffer& out) {
    HitOrder order_of;
    for (const auto& gene : genes) {
        const std::vector<HitOrder::Ranked>& order = order_of(gene.value);
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
