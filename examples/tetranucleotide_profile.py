"""Tetranucleotide frequency profile of every contig of a genome.

Usage: python examples/tetranucleotide_profile.py [FASTA] [OUT_TSV] [THRESHOLD]

Counts the 4-mers of every contig on both strands, writes one row per contig
with its 256 frequencies as a TSV (default: tetranucleotides.tsv in the
working directory), and flags contigs whose composition differs from the
genome's: the distance of a contig's profile from the genome-wide profile
(half the sum of absolute differences, 0 = identical, 1 = disjoint) above
THRESHOLD (default 0.2). Such contigs are candidates for plasmids,
islands or contamination.

Contigs must be upper-case A, C, G, T; a contig with any other letter
(N, soft-masked lower case) makes the count fail with PanicException.
"""
import sys
from pathlib import Path
from typing import Optional

import nuvek  # noqa: F401  (enters the dotted submodules into sys.modules)
from nuvek.kmer import get_kmer_count_fasta, get_possible_kmers

K = 4

# (contig id, windows counted, frequencies or None when no window fits)
Row = tuple[str, int, Optional[list[float]]]


def profiles(fasta: Path) -> list[Row]:
    """(contig id, total windows, frequencies) for every contig, in file order."""
    rows: list[Row] = []
    for contig, result in get_kmer_count_fasta(str(fasta), K, True).items():
        total = result.total
        freqs = [c / total for c in result.counts] if total else None
        rows.append((contig, total, freqs))
    return rows


def genome_profile(rows: list[Row]) -> Optional[list[float]]:
    """The frequencies of the whole genome: every contig weighted by its windows."""
    counts = [0.0] * 4**K
    windows = 0
    for _, total, freqs in rows:
        if freqs is None:
            continue
        windows += total
        for i, f in enumerate(freqs):
            counts[i] += f * total
    return [c / windows for c in counts] if windows else None


def distance(a: list[float], b: list[float]) -> float:
    """Total variation distance of two frequency profiles (0 to 1)."""
    return sum(abs(x - y) for x, y in zip(a, b)) / 2


def main(argv: list[str]) -> int:
    here = Path(__file__).resolve().parent
    fasta = Path(argv[1]) if len(argv) > 1 else here / "genome.fasta"
    out = Path(argv[2]) if len(argv) > 2 else Path("tetranucleotides.tsv")
    threshold = float(argv[3]) if len(argv) > 3 else 0.2

    rows = profiles(fasta)
    genome = genome_profile(rows)
    if genome is None:
        print("no contig is long enough to count")
        return 1
    kmers = get_possible_kmers(K)
    flagged: list[tuple[str, float]] = []
    with open(out, "w") as tsv:
        tsv.write("contig\twindows\tdistance\tflag\t" + "\t".join(kmers) + "\n")
        for contig, total, freqs in rows:
            if freqs is None:
                tsv.write(f"{contig}\t0\t\ttoo short\t" + "\t".join("" for _ in kmers) + "\n")
                continue
            d = distance(freqs, genome)
            flag = "differs" if d > threshold else ""
            if flag:
                flagged.append((contig, d))
            tsv.write(f"{contig}\t{total}\t{d:.4f}\t{flag}\t" + "\t".join(f"{f:.6f}" for f in freqs) + "\n")

    print(f"{len(rows)} contigs, profiles written to {out}")
    for contig, d in flagged:
        print(f"  {contig}: composition differs from the genome (distance {d:.3f} > {threshold})")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
