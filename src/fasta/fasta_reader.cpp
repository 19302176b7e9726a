#include "fasta/fasta_reader.hpp"

#include <cstring>

#include "util/platform.hpp"
#include "util/utf8.hpp"
#include "util/word_scan.hpp"

#if NUVEK_X86_FAST_PATHS
#include <emmintrin.h>
#endif

namespace nuvek {
namespace {

constexpr bool is_ascii_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The Unicode White_Space characters.
constexpr bool is_white_space(char32_t c) {
    if (c < 0x80) return is_ascii_space(static_cast<unsigned char>(c));
    return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 ||
           c == 0x202F || c == 0x205F || c == 0x3000;
}

// Byte length of the multi-byte whitespace character that ends the n bytes
// at p, or 0. The bytes are valid UTF-8, so the lead bytes C2, E1, E2 and E3
// can only start the character that ends there.
std::size_t multibyte_space_suffix(const unsigned char* p, std::size_t n) {
    const unsigned char c = p[n - 1];
    if (n >= 2 && p[n - 2] == 0xC2) return (c == 0x85 || c == 0xA0) ? 2 : 0;
    if (n < 3) return 0;
    const unsigned char a = p[n - 3], b = p[n - 2];
    bool space = false;
    if (a == 0xE1) space = b == 0x9A && c == 0x80;                              // U+1680
    else if (a == 0xE2 && b == 0x80) space = c <= 0x8A || c == 0xA8 || c == 0xA9 || c == 0xAF;  // U+2000..200A, 2028, 2029, 202F
    else if (a == 0xE2 && b == 0x81) space = c == 0x9F;                         // U+205F
    else if (a == 0xE3) space = b == 0x80 && c == 0x80;                         // U+3000
    return space ? 3 : 0;
}

// Length of the n bytes of valid UTF-8 at s without their trailing
// whitespace; looks only at the last characters.
std::size_t trimmed_size(const char* s, std::size_t n) {
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    while (n > 0) {
        const unsigned char c = p[n - 1];
        if (c < 0x80) {
            if (!is_ascii_space(c)) break;
            --n;
        } else if (const std::size_t w = multibyte_space_suffix(p, n)) {
            n -= w;
        } else {
            break;
        }
    }
    return n;
}

// Splits a header (the line after ">") into id and description.
void parse_header(std::string_view h, FastaRecord& r) {
    h = h.substr(0, trimmed_size(h.data(), h.size()));
    for (std::size_t i = 0; i < h.size();) {
        const auto b = static_cast<unsigned char>(h[i]);
        std::size_t len = 1;
        bool space;
        if (b < 0x80) {
            space = is_ascii_space(b);
        } else {
            len = utf8::sequence_length(b);
            space = is_white_space(utf8::decode_at(h, i));
        }
        if (space) {
            r.id.assign(h.substr(0, i));
            r.description.emplace(h.substr(i + len));
            return;
        }
        i += len;
    }
    r.id.assign(h);
}

FastaError invalid_text() { return FastaError("stream did not contain valid UTF-8"); }

}  // namespace

std::string FastaError::long_form() const {
    if (cause_.empty()) return short_form_;
    return short_form_ + "\n\nCaused by:\n    " + cause_;
}

FastaReader::FastaReader(std::string_view path)
    : input_(path), buf_(new char[kBufferSize]), joined_(new char[kBufferSize + kJoinSlack]) {}

FastaReader::~FastaReader() = default;

// Fills the buffer with the next bytes of the input; false at its end.
bool FastaReader::refill() {
    if (eof_) return false;
    const std::size_t n = input_.read(buf_.get(), kBufferSize);
    pos_ = 0;
    end_ = n;
    eof_ = n == 0;
    return !eof_;
}

// Appends the next line, without its line feed, to out and checks that it is
// UTF-8. Returns false when the file had ended (nothing was read). Lines
// of ASCII bytes need no further check.
bool FastaReader::read_line(std::string& out) {
    const std::size_t start = out.size();
    bool any = false;
    bool ascii = true;
    for (;;) {
        if (pos_ == end_ && !refill()) break;
        any = true;
        const char* p = buf_.get() + pos_;
        const std::size_t avail = end_ - pos_;
        const auto* nl = static_cast<const char*>(std::memchr(p, '\n', avail));
        const std::size_t len = nl ? static_cast<std::size_t>(nl - p) : avail;
        if (ascii && first_non_ascii(reinterpret_cast<const unsigned char*>(p), len) != len) ascii = false;
        out.append(p, len);
        pos_ += len;
        if (nl) {
            ++pos_;
            break;
        }
    }
    if (!ascii && !utf8::is_valid(std::string_view(out).substr(start))) throw invalid_text();
    return any;
}

namespace {

// Collects the sequence into the record itself.
class AppendTo final : public FastaSink {
public:
    explicit AppendTo(std::string& seq) : seq_(seq) {}
    void append(std::string_view piece) override { seq_.append(piece); }

private:
    std::string& seq_;
};

constexpr bool is_ascii_non_space(unsigned char c) { return c < 0x80 && !is_ascii_space(c); }

// Copies the clean lines at the start of p[0..n) to out, without their line
// feeds and trailing whitespace, and returns the bytes of p they took
// (whole lines only, out moved past what was written). A clean line is
// ASCII, ends with a line feed at least 16 bytes before the end of p and
// does not start with ">"; the first other line stops the copy, for the
// general path. On x86 sixteen bytes are copied, and searched for line
// feeds and non-ASCII bytes, at a time: a genome's lines of 80 letters cost
// a few cycles each instead of a search and a copy call apiece. out needs
// room for 16 bytes more than it receives.
std::size_t join_clean_lines(const char* p, std::size_t n, char*& out) {
#if NUVEK_X86_FAST_PATHS
    const char* src = p;
    const char* const end = p + n;
    const char* line = src;  // the start of the line being copied
    char* dst = out;
    char* line_out = dst;
    const __m128i feed = _mm_set1_epi8('\n');
    while (end - src >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
        const auto feeds = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, feed)));
        const auto high = static_cast<unsigned>(_mm_movemask_epi8(v));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), v);
        if ((feeds | high) == 0) {
            src += 16;
            dst += 16;
            continue;
        }
        const auto j = static_cast<unsigned>(__builtin_ctz(feeds | high));
        if (((feeds >> j) & 1) == 0) break;  // a non-ASCII byte: the line goes the general way
        dst += j;
        src += j + 1;
        while (dst > line_out && is_ascii_space(static_cast<unsigned char>(dst[-1]))) --dst;
        line = src;
        line_out = dst;
        if (src < end && *src == '>') break;
    }
    out = line_out;
    return static_cast<std::size_t>(line - p);
#else
    (void)p;
    (void)n;
    (void)out;
    return 0;
#endif
}

}  // namespace

bool FastaReader::next(FastaRecord& r) {
    AppendTo sink(r.seq);
    return next(r, sink);
}

bool FastaReader::next(FastaRecord& r, FastaSink& sink) {
    if (done_) return false;
    try {
        r.clear();
        if (!started_) {
            started_ = true;
            std::string line;
            if (!read_line(line)) {
                done_ = true;
                return false;
            }
            if (line.empty() || line[0] != '>')
                throw FastaError("Expected > at record start.");
            header_.assign(line, 1);
            have_header_ = true;
        }
        if (!have_header_) {
            done_ = true;
            return false;
        }
        parse_header(header_, r);
        have_header_ = false;
        read_sequence(sink);
        return true;
    } catch (const FastaError&) {
        done_ = true;
        throw;
    }
}

// Checks that bytes p[0..n) of the buffer, which start on a character
// boundary, are UTF-8. Bytes come here at most once, and only those that
// the joining of clean ASCII lines (which tests them itself) did not take.
void FastaReader::check_text(const char* p, std::size_t n) {
    if (first_non_ascii(reinterpret_cast<const unsigned char*>(p), n) == n) return;
    if (!utf8::is_valid(std::string_view(p, n))) throw invalid_text();
}

// Reads sequence lines up to the next header (left in header_) or the end of
// the file, passing each line's bytes to sink. The lines that lie inside the
// buffer are copied together into joined_, without line feeds and trailing
// whitespace, and go out as one piece: a 5 Mbp genome in lines of 80 is then
// 40 pieces rather than 62,500. A line that runs past the buffer goes out in
// pieces as the buffer is refilled, with only its possible trailing
// whitespace held back.
void FastaReader::read_sequence(FastaSink& sink) {
    carry_.clear();
    bool line_start = true;
    std::size_t joined = 0;  // bytes in joined_, not yet passed on; from this buffer only
    const auto pass_joined = [&] {
        if (joined) sink.append(std::string_view(joined_.get(), joined));
        joined = 0;
    };
    for (;;) {
        if (pos_ == end_) {
            pass_joined();
            if (!refill()) {
                if (!line_start) sequence_bytes(nullptr, 0, true, sink);
                return;
            }
        }
        const char* p = buf_.get() + pos_;
        const std::size_t avail = end_ - pos_;
        if (line_start && *p == '>') {
            pass_joined();
            ++pos_;
            header_.clear();
            read_line(header_);
            have_header_ = true;
            return;
        }
        if (line_start) {
            char* out = joined_.get() + joined;
            if (const std::size_t taken = join_clean_lines(p, avail, out)) {
                joined = static_cast<std::size_t>(out - joined_.get());
                pos_ += taken;
                continue;
            }
        }
        const auto* nl = static_cast<const char*>(std::memchr(p, '\n', avail));
        if (nl && carry_.empty()) {
            const auto len = static_cast<std::size_t>(nl - p);
            check_text(p, len);
            const std::size_t cut = trimmed_size(p, len);
            std::memcpy(joined_.get() + joined, p, cut);
            joined += cut;
            pos_ += len + 1;
            line_start = true;
            continue;
        }
        pass_joined();
        if (nl) {
            const auto len = static_cast<std::size_t>(nl - p);
            sequence_bytes(p, len, true, sink);
            pos_ += len + 1;
            line_start = true;
        } else {
            sequence_bytes(p, avail, false, sink);
            pos_ = end_;
            line_start = false;
        }
    }
}

// Passes on bytes p[0..n) of a sequence line (in the buffer); ends_line says
// whether the line ends after them.
void FastaReader::sequence_bytes(const char* p, std::size_t n, bool ends_line, FastaSink& sink) {
    if (!carry_.empty()) {
        // The held-back bytes stand unless the line ends before its next
        // ASCII letter; they join that letter in one piece.
        std::size_t j = 0;
        while (j < n && !is_ascii_non_space(static_cast<unsigned char>(p[j]))) ++j;
        const bool letter = j < n;
        carry_.append(p, letter ? j + 1 : n);
        if (!letter && !ends_line) return;
        if (!utf8::is_valid(carry_)) throw invalid_text();
        const std::size_t kept = letter ? carry_.size() : trimmed_size(carry_.data(), carry_.size());
        if (kept) sink.append(std::string_view(carry_.data(), kept));
        carry_.clear();
        if (!letter) return;
        p += j + 1;
        n -= j + 1;
    }
    if (n == 0) return;
    std::size_t cut = n;
    if (ends_line) {
        check_text(p, n);
        cut = trimmed_size(p, n);
    } else {
        while (cut > 0 && !is_ascii_non_space(static_cast<unsigned char>(p[cut - 1]))) --cut;
        check_text(p, cut);
        carry_.assign(p + cut, n - cut);
    }
    if (cut) sink.append(std::string_view(p, cut));
}

}  // namespace nuvek
