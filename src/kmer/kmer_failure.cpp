#include "kmer/kmer_failure.hpp"

#include "util/quote.hpp"
#include "util/utf8.hpp"

namespace nuvek {
namespace {

using Byte = unsigned char;

// The character-boundary failure for byte offset `index`, which lies inside
// the character that starts at offset `base` + `start` of the sequence
// (start being its offset within tail).
Panic char_boundary(std::string_view prefix, std::uint64_t length, std::uint64_t index, std::uint64_t base,
                    std::size_t start, std::string_view tail) {
    constexpr std::size_t kShown = 256;
    const std::uint64_t first = base + start;
    const std::uint64_t end = first + utf8::sequence_length(static_cast<Byte>(tail[start]));
    std::size_t shown = prefix.size();
    if (length > kShown) {
        shown = kShown;
        while (utf8::is_continuation(static_cast<Byte>(prefix[shown]))) --shown;
    }
    std::string message = "byte index " + std::to_string(index) + " is not a char boundary; it is inside " +
                          quote_char(utf8::decode_at(tail, start)) + " (bytes " + std::to_string(first) + ".." +
                          std::to_string(end) + ") of `";
    message.append(prefix.substr(0, shown));
    message += '`';
    if (shown < length) message += "[...]";
    return Panic(std::move(message));
}

}  // namespace

std::string position_note(std::uint64_t position, char32_t c) {
    return "position " + std::to_string(position) + ": " + quote_char(c);
}

Panic window_failure(std::string_view prefix, std::uint64_t length, unsigned k, std::uint64_t bad,
                     std::string_view tail) {
    const std::uint64_t start = bad >= k - 1 ? bad - (k - 1) : 0;
    const std::uint64_t end = start + k;
    Panic failure(kUnwrapNone);
    if (end < length && utf8::is_continuation(static_cast<Byte>(tail[end - bad]))) {
        std::size_t first = static_cast<std::size_t>(end - bad);
        while (utf8::is_continuation(static_cast<Byte>(tail[first]))) --first;
        failure = char_boundary(prefix, length, end, bad, first, tail);
    }
    failure.set_note(position_note(bad, utf8::decode_at(tail, 0)));
    return failure;
}

Panic empty_window_failure(std::string_view prefix, std::uint64_t length, std::uint64_t lead, std::string_view tail) {
    Panic failure = char_boundary(prefix, length, lead + 1, lead, 0, tail);
    failure.set_note(position_note(lead, utf8::decode_at(tail, 0)));
    return failure;
}

}  // namespace nuvek
