// The text form of doubles: the one formatter of the numbers of a hit and
// the one parser of the numbers of a top-hit file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace nuvek {

// The longest text write_number produces: a sign, "0.", 323 zeros and 17
// digits for the smallest subnormals, less for every other value.
inline constexpr std::size_t kMaxNumberChars = 352;

// Writes the positional text form of v at p, which has room for
// kMaxNumberChars, and returns the end of the text: the shortest digits
// that read back as v, laid out without an exponent ("1e-5" is "0.00001",
// "1e23" is "1" and 23 zeros); "NaN", "inf", "-inf", "0" and "-0" for the
// special values.
char* write_number(char* p, double v) noexcept;

// Appends the text form of v.
void append_number(std::string& out, double v);

// Why a number field was rejected.
enum class NumberError { None, Empty, Invalid };

struct ParsedNumber {
    double value;
    NumberError error;
};

// Parses a number at the start of [p, end): an optional "+" or "-", then
// "inf", "infinity" or "nan" in any mix of cases, or decimal digits with at
// most one point and at least one digit, optionally followed by "e" or "E",
// an optional sign and digits; no spaces. Parses the longest text the
// grammar allows and sets stop to its end; the field is accepted only when
// the caller finds its delimiter at stop. One pass both finds the field's
// end and converts it, for fields that run to hundreds of digits. Rounds to
// the nearest double, overflowing to an infinity and underflowing to a zero
// of the field's sign.
ParsedNumber parse_number(const char* p, const char* end, const char*& stop) noexcept;

}  // namespace nuvek
