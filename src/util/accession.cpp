#include "util/accession.hpp"

#include <cstring>

namespace nuvek {
namespace {

// One step: every occurrence of body + "_" in the n bytes at src is
// replaced by with (nothing when it is 0), in one left-to-right pass; the
// result goes to dst, which may be src itself (writing never runs ahead of
// reading). Returns the result's length.
//
// No body holds a "_", so an occurrence is a "_" preceded by the body
// within the run of bytes since the "_" before it: occurrences cannot
// overlap, and checking each "_" alone finds the same ones as a leftmost
// scan. A run is copied unchanged, so its last bytes are read back from
// dst. A replacement ends the run, so text that it brings together is not
// matched again by the same step; a later step, running over this step's
// result, does match it.
std::size_t replace_step(const char* src, std::size_t n, char* dst, std::string_view body, char with) {
    const std::size_t length = body.size();
    std::size_t w = 0, run = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const char c = src[i];
        if (c == '_' && run >= length && std::memcmp(dst + w - length, body.data(), length) == 0) {
            w -= length;
            if (with) dst[w++] = with;
            run = 0;
            continue;
        }
        dst[w++] = c;
        run = c == '_' ? 0 : run + 1;
    }
    return w;
}

// The same step over text whose "_" positions are known: text is the n
// bytes at out, under[0..count) the positions of its "_" in order. Only the
// "_" are visited; a match moves the rest of the text left. Updates n,
// under and count to the result. Ids are short: the body is a constant and
// the moves are plain loops, so that no step calls into the C library.
template <std::size_t Length>
void replace_step_at(char* out, std::size_t& n, std::size_t* under, std::size_t& count,
                     const char (&body)[Length + 1], char with) {
    const std::size_t removed = Length + 1 - (with ? 1 : 0);
    std::size_t shift = 0, kept = 0, run_start = 0;
    for (std::size_t j = 0; j < count; ++j) {
        const std::size_t at = under[j] - shift;  // where this "_" is now
        const std::size_t run = under[j] - run_start;
        run_start = under[j] + 1;
        if (run >= Length && std::memcmp(out + at - Length, body, Length) == 0) {
            char* to = out + at - Length;
            if (with) *to++ = with;
            for (std::size_t i = at + 1; i < n; ++i) *to++ = out[i];
            n -= removed;
            shift += removed;
        } else {
            under[kept++] = at;
        }
    }
    count = kept;
}

// Room for the "_" positions of a typical id; ids with more take the
// byte-by-byte steps.
constexpr std::size_t kMaxUnderscores = 16;

// The steps over text with too many "_" to list: byte by byte.
std::string_view replace_all_steps(std::string_view gid, char* out) {
    std::size_t n = replace_step(gid.data(), gid.size(), out, "RS", 0);
    n = replace_step(out, n, out, "GB", 0);
    n = replace_step(out, n, out, "GCA", 'G');
    n = replace_step(out, n, out, "GCF", 'G');
    return n == gid.size() ? gid : std::string_view(out, n);
}

}  // namespace

std::string_view canonical_gid(std::string_view gid, char* out) {
    if (gid.empty() || gid.front() == 'U') return gid;
    // One loop copies the text up to the first "." and lists its "_". No
    // step makes or removes a ".", and none matches across one: what follows
    // the first "." cannot change what precedes it, so it is cut first.
    std::size_t under[kMaxUnderscores];
    std::size_t count = 0, n = 0;
    for (; n < gid.size(); ++n) {
        const char c = gid[n];
        if (c == '.') break;
        out[n] = c;
        if (c != '_') continue;
        if (count == kMaxUnderscores) {
            const std::size_t dot = gid.find('.', n);
            return replace_all_steps(gid.substr(0, dot), out);
        }
        under[count++] = n;
    }
    gid = gid.substr(0, n);
    // Every pattern ends with "_": without one nothing matches.
    if (count == 0) return gid;
    replace_step_at<2>(out, n, under, count, "RS", 0);
    replace_step_at<2>(out, n, under, count, "GB", 0);
    replace_step_at<3>(out, n, under, count, "GCA", 'G');
    replace_step_at<3>(out, n, under, count, "GCF", 'G');
    // Every replacement shortens the text: the same length means no change.
    return n == gid.size() ? gid : std::string_view(out, n);
}

}  // namespace nuvek
