#include "util/accession.hpp"

namespace nuvek {
namespace {

// One left-to-right pass replacing every occurrence of pattern; text that a
// replacement brings together is not searched again.
std::string replace_all(std::string_view text, std::string_view pattern, std::string_view with) {
    std::string out;
    out.reserve(text.size());
    std::size_t from = 0;
    for (std::size_t at; (at = text.find(pattern, from)) != std::string_view::npos; from = at + pattern.size()) {
        out.append(text, from, at - from);
        out.append(with);
    }
    out.append(text, from);
    return out;
}

}  // namespace

std::string canonical_gid(std::string_view gid) {
    if (!gid.empty() && gid.front() == 'U') return std::string(gid);
    std::string s = replace_all(gid, "RS_", "");
    s = replace_all(s, "GB_", "");
    s = replace_all(s, "GCA_", "G");
    s = replace_all(s, "GCF_", "G");
    if (const auto dot = s.find('.'); dot != std::string::npos) s.resize(dot);
    return s;
}

}  // namespace nuvek
