#include "hmmer/hit.hpp"

#include "util/number_text.hpp"

namespace nuvek {

bool operator==(const Hit& a, const Hit& b) {
    return a.gene_id == b.gene_id && a.hmm_id == b.hmm_id && a.e_val == b.e_val && a.bit_score == b.bit_score;
}

std::string Hit::hmm_str() const {
    std::string out;
    out.reserve(hmm_id.size() + 32);
    out += hmm_id;
    out += ',';
    append_number(out, e_val);
    out += ',';
    append_number(out, bit_score);
    return out;
}

std::string Hit::repr() const {
    std::string out;
    out.reserve(gene_id.size() + hmm_id.size() + 32);
    out += gene_id;
    out += ' ';
    out += hmm_id;
    out += " (";
    append_number(out, e_val);
    out += '/';
    append_number(out, bit_score);
    out += ')';
    return out;
}

}  // namespace nuvek
