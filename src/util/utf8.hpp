// Small UTF-8 helpers for text that is known to be valid UTF-8 (every
// Python str arrives as such) and a validator for bytes read from files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace nuvek::utf8 {

// True when byte b continues a multi-byte character.
inline constexpr bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Byte length of the character whose lead byte is b (1 for ASCII).
inline constexpr std::size_t sequence_length(unsigned char b) {
    return b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
}

// Decodes the character that starts at byte offset pos of valid UTF-8 text.
inline char32_t decode_at(std::string_view s, std::size_t pos) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + pos;
    const unsigned char b = p[0];
    if (b < 0x80) return b;
    if (b < 0xE0) return (char32_t(b & 0x1F) << 6) | (p[1] & 0x3F);
    if (b < 0xF0) return (char32_t(b & 0x0F) << 12) | (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
    return (char32_t(b & 0x07) << 18) | (char32_t(p[1] & 0x3F) << 12) |
           (char32_t(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
}

// Length of the longest prefix of bytes that is valid UTF-8 (equal to the
// size when all of it is valid). Overlong forms, surrogates and code points
// above U+10FFFF are invalid. Runs of ASCII are skipped a word at a time.
std::size_t valid_prefix(std::string_view bytes) noexcept;

inline bool is_valid(std::string_view bytes) noexcept { return valid_prefix(bytes) == bytes.size(); }

}  // namespace nuvek::utf8
