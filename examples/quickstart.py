"""A first look at nuvek: run `python examples/quickstart.py`."""
import tempfile
from pathlib import Path

import nuvek  # noqa: F401  (enters the dotted submodules into sys.modules)
from nuvek.fasta import DnaSequence
from nuvek.hmmer.tophit import Hit, TopHitFile
from nuvek.kmer import get_kmer_count_fasta, get_kmer_count_seq, get_possible_kmers
from nuvek.util.accession import canonical_gid

HERE = Path(__file__).resolve().parent


def sequences() -> None:
    print("== DNA sequences")
    dna = DnaSequence("ATGAAACGCATTAGCACCACCATTACCACC")
    print(f"  5' {dna.seq} 3'")
    print(f"  reverse complement: {dna.rev_complement().seq}")


def kmers() -> None:
    result = get_kmer_count_seq("GATTACA", 2, False)
    seen = {kmer: n for kmer, n in zip(get_possible_kmers(2), result.counts) if n}
    print(f"  dinucleotides of GATTACA: {seen}")
    print("\n== K-mer counting of examples/genome.fasta (k = 2, both strands)")
    results = get_kmer_count_fasta(str(HERE / "genome.fasta"), 2, True)
    dinucleotides = get_possible_kmers(2)
    print("  contig     windows  " + " ".join(f"{d:>4s}" for d in ["GC%", "CG", "TA"]))
    for contig, result in results.items():
        counts = dict(zip(dinucleotides, result.counts))
        per_mille = {d: 1000 * counts[d] / result.total for d in ("CG", "TA")}
        gc_share = sum(counts[d] for d in dinucleotides if d[0] in "GC") / result.total
        print(f"  {contig:10s} {result.total:7d}  {100 * gc_share:4.0f} {per_mille['CG']:4.0f} {per_mille['TA']:4.0f}")
    print("  (CG and TA per thousand windows)")


def top_hits() -> None:
    print("\n== Best HMM hits per gene")
    with tempfile.TemporaryDirectory() as tmp:
        table = TopHitFile(str(Path(tmp) / "hits" / "genome.tsv"))
        table.add_hit("gene_1", "PF_kinase", 2.4e-30, 94.0)
        table.add_hit("gene_1", "PF_helicase", 1e-5, 21.5)
        table.add_hit("gene_2", "PF_transporter", 4.2e-30, 93.0)
        table.write()
        print("  " + Path(table.path).read_text().replace("\n", "\n  ").rstrip())
        stored = TopHitFile(table.path)
        stored.read()
        best = stored.get_top_hit("gene_1")
        assert best is not None
        print(f"  best hit of gene_1: {best!r}")
        print(f"  better than a 30-bit hit? {best > Hit('gene_1', 'PF_other', 1e-3, 30.0)}")


def accessions() -> None:
    print("\n== Canonical accession ids")
    for gid in ["RS_GCF_000005845.2", "GB_GCA_000005845.2", "UBA12345.1"]:
        print(f"  {gid:20s} -> {canonical_gid(gid)}")


if __name__ == "__main__":
    sequences()
    kmers()
    top_hits()
    accessions()
