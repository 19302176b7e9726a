// Canonical genome accession ids.
#pragma once

#include <string>
#include <string_view>

namespace nuvek {

// The canonical form of a genome id: unchanged when it starts with "U";
// otherwise "RS_" and "GB_" removed, "GCA_" and "GCF_" replaced by "G" (each
// in one left-to-right pass, in that order) and everything from the first
// "." cut off.
std::string canonical_gid(std::string_view gid);

}  // namespace nuvek
