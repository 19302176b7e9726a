// The top-hit table of one genome: for every gene, the best hit offered for
// each HMM family, bound to the path of the table's file.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "hmmer/hit.hpp"
#include "util/ordered_map.hpp"
#include "util/word_scan.hpp"

namespace nuvek {

// Family id -> score of the best hit of one gene. Never empty once entered
// in a table.
using FamilyMap = OrderedMap<Score>;
// Gene id -> the gene's families.
using GeneMap = OrderedMap<FamilyMap>;

// The add rule within one gene's families: a new family takes the hit; a
// present one changes only when its stored hit ranks below the offered one.
// True when the family was new.
bool offer(FamilyMap& families, std::string_view hmm_id, const Score& offered);

// Ids that the top-hit file cannot hold: a gene id with a tab or a line
// feed, a family id with a comma, a semicolon, a tab or a line feed.
// Checked for every id on every write, so inline.
inline bool unwritable_gene_id(std::string_view gene_id) noexcept {
    return holds_any_of(gene_id.data(), gene_id.size(), "\t\n");
}
inline bool unwritable_family_id(std::string_view hmm_id) noexcept {
    return holds_any_of(hmm_id.data(), hmm_id.size(), ",;\t\n");
}

// The entry get_top_hit answers with for a gene with these families (not
// empty): one pass in insertion order, a later hit taking over whenever the
// current best ranks below or level with it.
const FamilyMap::Entry& top_entry(const FamilyMap& families) noexcept;

struct TopHitFile {
    std::string path;
    GeneMap hits;
    // Whether an id the file cannot hold was ever entered (ids are never
    // removed). write() searches every id only then: that pass over the
    // whole table costs about a tenth of write() in
    // benchmarks/bench_tophit.py. Both insert paths below keep it.
    bool unwritable_ids = false;

    // Offers a hit to the table: it is kept when the pair is new, and
    // replaces the stored hit of the pair only when that ranks below it.
    void add_hit(std::string_view gene_id, std::string_view hmm_id, double e_val, double bit_score);
    // The same for a gene already in the table, given its families.
    void add_family_hit(FamilyMap& families, std::string_view hmm_id, const Score& offered) {
        if (offer(families, hmm_id, offered) && unwritable_family_id(hmm_id)) unwritable_ids = true;
    }

    bool contains_gene_id(std::string_view gene_id) const;
    bool contains_gene_hmm(std::string_view gene_id, std::string_view hmm_id) const;

    // The gene's best hit, as top_entry picks it.
    std::optional<Hit> get_top_hit(std::string_view gene_id) const;
    std::optional<Hit> get_hmm_hit(std::string_view gene_id, std::string_view hmm_id) const;

    // The file operations, in tophit_file.cpp.
    void write() const;
    void read();
};

}  // namespace nuvek
