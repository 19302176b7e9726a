"""Tetranucleotide frequency profile of every contig of a genome.

Usage: python examples/tetranucleotide_profile.py [FASTA] [OUT_TSV] [THRESHOLD]

One get_kmer_profile_fasta call counts the canonical 4-mers of every contig
(a 4-mer and its reverse complement in one of 136 columns, both strands
counted once), lower-case bases included and 4-mers holding N left out. The
script writes one row per contig with its 136 frequencies as a TSV (default:
tetranucleotides.tsv in the working directory), computes the genome's mean
profile (every 4-mer of the genome weighted alike) and flags contigs whose
composition differs from it: the distance of a contig's profile from the
genome's (half the sum of absolute differences, 0 = identical, 1 = disjoint)
above THRESHOLD (default 0.2). Such contigs are candidates for plasmids,
islands or contamination.

The matrix is read here through memoryview, which needs nothing installed;
with numpy, numpy.asarray(profile) is the same matrix without a copy.
"""
import sys
from pathlib import Path
from typing import Optional, cast

import nuvek  # noqa: F401  (enters the dotted submodules into sys.modules)
from nuvek.kmer import KmerProfile, get_kmer_profile_fasta

K = 4


def frequencies(counts: list[int], total: int) -> Optional[list[float]]:
    """A row's counts as frequencies, or None when no 4-mer was counted."""
    return [c / total for c in counts] if total else None


def genome_profile(profile: KmerProfile, rows: list[list[int]]) -> Optional[list[float]]:
    """The frequencies of the whole genome: the column sums over all 4-mers."""
    windows = sum(profile.totals)
    if not windows:
        return None
    return [sum(column) / windows for column in zip(*rows)]


def distance(a: list[float], b: list[float]) -> float:
    """Total variation distance of two frequency profiles (0 to 1)."""
    return sum(abs(x - y) for x, y in zip(a, b)) / 2


def main(argv: list[str]) -> int:
    here = Path(__file__).resolve().parent
    fasta = Path(argv[1]) if len(argv) > 1 else here / "genome.fasta"
    out = Path(argv[2]) if len(argv) > 2 else Path("tetranucleotides.tsv")
    threshold = float(argv[3]) if len(argv) > 3 else 0.2

    profile = get_kmer_profile_fasta(fasta, K, skip_invalid=True)
    rows = cast(list[list[int]], memoryview(profile).tolist())  # (contigs, 136) counts
    genome = genome_profile(profile, rows)
    if genome is None:
        print("no contig is long enough to count")
        return 1
    columns = profile.columns
    flagged: list[tuple[str, float]] = []
    with open(out, "w") as tsv:
        tsv.write("contig\twindows\tdistance\tflag\t" + "\t".join(columns) + "\n")
        for contig, total, counts in zip(profile.ids, profile.totals, rows):
            freqs = frequencies(counts, total)
            if freqs is None:
                tsv.write(f"{contig}\t0\t\ttoo short\t" + "\t".join("" for _ in columns) + "\n")
                continue
            d = distance(freqs, genome)
            flag = "differs" if d > threshold else ""
            if flag:
                flagged.append((contig, d))
            tsv.write(f"{contig}\t{total}\t{d:.4f}\t{flag}\t" + "\t".join(f"{f:.6f}" for f in freqs) + "\n")

    print(f"{len(profile)} contigs, profiles written to {out}")
    for contig, d in flagged:
        print(f"  {contig}: composition differs from the genome (distance {d:.3f} > {threshold})")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
