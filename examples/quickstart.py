"""A first look at nuvek: run `python examples/quickstart.py`."""
from pathlib import Path

import nuvek  # noqa: F401  (enters the dotted submodules into sys.modules)
from nuvek.fasta import DnaSequence
from nuvek.kmer import get_kmer_count_seq, get_possible_kmers
from nuvek.util.accession import canonical_gid

HERE = Path(__file__).resolve().parent


def read_first_record(path):
    lines = path.read_text().splitlines()
    header = lines[0][1:]
    seq = []
    for line in lines[1:]:
        if line.startswith(">"):
            break
        seq.append(line.strip())
    return header, "".join(seq)


def main():
    header, seq = read_first_record(HERE / "genome.fasta")
    print(f"First record: {header} ({len(seq)} bp)")

    dna = DnaSequence(seq[:30])
    print(f"  5' {dna.seq} 3'")
    print(f"  reverse complement: {dna.rev_complement().seq}")

    result = get_kmer_count_seq(seq, 2, True)
    print(f"\nDinucleotide counts, both strands ({result.total} windows):")
    for kmer, count in zip(get_possible_kmers(2), result.counts):
        print(f"  {kmer} {count:4d} {'#' * (count // 4)}")

    print("\nCanonical accession ids:")
    for gid in ["RS_GCF_000005845.2", "GB_GCA_000005845.2", "UBA12345.1"]:
        print(f"  {gid:20s} -> {canonical_gid(gid)}")


if __name__ == "__main__":
    main()
