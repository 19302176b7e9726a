// Canonical genome accession ids.
#pragma once

#include <string_view>

namespace nuvek {

// The canonical form of a genome id: unchanged when it starts with "U";
// otherwise "RS_" and "GB_" removed, "GCA_" and "GCF_" replaced by "G" (each
// step one left-to-right pass over the text the step before produced, in
// that order) and everything from the first "." cut off.
//
// Never longer than gid. Returns a view of gid itself when the result is
// gid or a prefix of it; otherwise writes the result to out, which has room
// for gid.size() bytes, and returns a view of out.
std::string_view canonical_gid(std::string_view gid, char* out);

}  // namespace nuvek
