// Pieces of the top-hit file format shared by the writer, the reader and
// their tests: the number grammar of the reader and the descriptions of
// operating-system errors used in failure messages.
#pragma once

#include <string>
#include <string_view>

namespace nuvek {

// The header line of every top-hit file (46 bytes with its LF).
inline constexpr std::string_view kTopHitHeader = "Gene Id\tTop hits (Family id,e-value,bitscore)\n";

// Parses a number field of a top-hit file: an optional sign, then "inf",
// "infinity" or "nan" in any case, or decimal digits with at most one point
// and an optional exponent. Rounds to nearest, overflowing to an infinity
// and underflowing to a zero. A rejected field ends with an internal
// failure naming the error kind (Empty or Invalid).
double parse_number(std::string_view field);
// The same with the result of fast_number_table() (hit.hpp), taken once
// for many fields; null goes without the extended-precision fast path.
double parse_number(std::string_view field, const long double* pow10);

}  // namespace nuvek
