#include "util/quote.hpp"

#include <algorithm>
#include <cstdio>

#include "util/escape_table.hpp"
#include "util/utf8.hpp"

namespace nuvek {
namespace {

bool needs_unicode_escape(char32_t c) {
    const auto& table = escape_table::kEscaped;
    auto it = std::upper_bound(std::begin(table), std::end(table), std::uint32_t(c),
                               [](std::uint32_t v, const escape_table::Range& r) { return v < r.first; });
    if (it == std::begin(table)) return false;
    --it;
    return c <= it->last;
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Appends one character in its escaped form; quote is the delimiter that
// must be escaped (the other quote stands as it is).
void append_escaped(std::string& out, char32_t c, char quote) {
    switch (c) {
        case U'\\': out += "\\\\"; return;
        case U'\t': out += "\\t"; return;
        case U'\r': out += "\\r"; return;
        case U'\n': out += "\\n"; return;
        case U'\0': out += "\\0"; return;
        default: break;
    }
    if (c == static_cast<char32_t>(quote)) {
        out += '\\';
        out += quote;
        return;
    }
    if (needs_unicode_escape(c)) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
        out += buf;
        return;
    }
    append_utf8(out, c);
}

}  // namespace

std::string quote_str(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b >= 0x20 && b < 0x7F && b != '\\' && b != '"') {
            out += static_cast<char>(b);
            ++i;
            continue;
        }
        append_escaped(out, utf8::decode_at(text, i), '"');
        i += utf8::sequence_length(b);
    }
    out += '"';
    return out;
}

std::string quote_char(char32_t c) {
    std::string out = "'";
    append_escaped(out, c, '\'');
    out += '\'';
    return out;
}

}  // namespace nuvek
