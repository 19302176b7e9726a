// K-mer counting of every record of a FASTA file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "kmer/kmer_count_result.hpp"

namespace nuvek {

// Receives each record's id and counts as soon as the record is counted,
// in file order. Ids may repeat: the caller decides (the Python dict keeps
// the first one's place and the last one's counts).
class KmerRecordSink {
public:
    virtual void put(std::string& id, KmerCountResult&& counts) = 0;

protected:
    ~KmerRecordSink() = default;
};

// Counts every record as get_kmer_count_seq counts a sequence (skip_invalid
// alike) and passes it to out. A counting failure carries the note
//   in record "id" of "path", position N: 'X'
// A read error fails the call (after the records before it were passed on).
void get_kmer_count_fasta(std::string_view path, std::uint8_t k, bool use_rev_complement, bool skip_invalid,
                          KmerRecordSink& out);

}  // namespace nuvek
