// The top-hit file format: what the writer and the reader of
// TopHitFile (tophit.hpp) share.
#pragma once

#include <string_view>

namespace nuvek {

// The header line of every top-hit file (46 bytes with its LF).
inline constexpr std::string_view kTopHitHeader = "Gene Id\tTop hits (Family id,e-value,bitscore)\n";

}  // namespace nuvek
