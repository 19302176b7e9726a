// Enumeration of all k-mers in column order and the k-mer -> column map.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace nuvek {

std::vector<std::string> get_possible_kmers(std::uint8_t k);
std::unordered_map<std::string, std::uint64_t> get_kmer_to_idx(std::uint8_t k);

}  // namespace nuvek
