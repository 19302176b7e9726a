// Quoted forms of text used inside messages: a string between double quotes
// or a single character between single quotes, with quotes, backslashes and
// control characters escaped, and characters that would not show (other
// separators and controls, unassigned code points, combining marks) written
// as \u{hex}.
#pragma once

#include <string>
#include <string_view>

namespace nuvek {

// "text" with \\, \", \t, \r, \n, \0 and \u{...} escapes. text is valid UTF-8.
std::string quote_str(std::string_view text);

// 'c' with \\, \', \t, \r, \n, \0 and \u{...} escapes.
std::string quote_char(char32_t c);

}  // namespace nuvek
