#include "hmmer/tophit.hpp"

namespace nuvek {

bool offer(FamilyMap& families, std::string_view hmm_id, const Score& offered) {
    auto [stored, inserted] = families.find_or_insert(hmm_id, [&] { return offered; });
    if (!inserted && score_lt(*stored, offered)) *stored = offered;
    return inserted;
}

const FamilyMap::Entry& top_entry(const FamilyMap& families) noexcept {
    const auto& entries = families.entries();
    const FamilyMap::Entry* best = &entries.front();
    for (const auto& e : entries)
        if (score_le(best->value, e.value)) best = &e;
    return *best;
}

void TopHitFile::add_hit(std::string_view gene_id, std::string_view hmm_id, double e_val, double bit_score) {
    const Score offered{e_val, bit_score};
    FamilyMap* families = hits.find(gene_id);
    if (!families) {
        // Fill the family map before entering the gene, so that a failed
        // allocation never leaves a gene without families.
        FamilyMap first;
        first.find_or_insert(hmm_id, [&] { return offered; });
        hits.find_or_insert(gene_id, [&] { return std::move(first); });
        if (unwritable_gene_id(gene_id) || unwritable_family_id(hmm_id)) unwritable_ids = true;
        return;
    }
    add_family_hit(*families, hmm_id, offered);
}

bool TopHitFile::contains_gene_id(std::string_view gene_id) const { return hits.find(gene_id) != nullptr; }

bool TopHitFile::contains_gene_hmm(std::string_view gene_id, std::string_view hmm_id) const {
    const FamilyMap* families = hits.find(gene_id);
    return families && families->find(hmm_id);
}

std::optional<Hit> TopHitFile::get_top_hit(std::string_view gene_id) const {
    const FamilyMap* families = hits.find(gene_id);
    if (!families || families->empty()) return std::nullopt;
    const FamilyMap::Entry& best = top_entry(*families);
    return Hit{std::string(gene_id), best.key, best.value.e_val, best.value.bit_score};
}

std::optional<Hit> TopHitFile::get_hmm_hit(std::string_view gene_id, std::string_view hmm_id) const {
    const FamilyMap* families = hits.find(gene_id);
    if (!families) return std::nullopt;
    const Score* s = families->find(hmm_id);
    if (!s) return std::nullopt;
    return Hit{std::string(gene_id), std::string(hmm_id), s->e_val, s->bit_score};
}

}  // namespace nuvek
