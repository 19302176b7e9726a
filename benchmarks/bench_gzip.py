"""get_kmer_count_fasta on a gzip-compressed genome against Python readers of
the same .gz feeding a numba counter.

Generates into a temporary directory a 5 Mbp genome of 100 contigs (80-column
lines) compressed with `gzip -6`, then times in this process, best of 5, the
k-mer profile of every contig at k = 4 with the reverse complement:

- nuvek: get_kmer_count_fasta on the .gz;
- every installed peer reader (pyfastx, dnaio, pysam, Biopython over the
  standard gzip module) iterating (id, sequence) pairs, each sequence counted
  by one numba loop: the letter's code taken from a 256-entry table inside
  the loop, forward and reverse codes rolled together, both counters
  incremented in the same loop; np.frombuffer(seq.encode()) is inside the
  timing.

Also printed: decompression alone (the standard zlib module, and isal where
installed) and nuvek on the uncompressed file, to show where the time goes.
Ratios are peer time / nuvek time (above 1: nuvek is faster).

Run: python benchmarks/bench_gzip.py
"""
import gzip
import os
import random
import subprocess
import sys
import tempfile
import zlib


from nuvek.kmer import get_kmer_count_fasta

K = 4

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kmer_peers import best_of, numba_lut_count  # noqa: E402

if numba_lut_count is None:
    sys.exit("numba is needed: pip install '.[bench]'")


def numba_profile(seq):
    """The k-mer benchmark's numba loop with the byte lookup inside it."""
    return numba_lut_count(seq, K, True)


# ---------------------------------------------------------------------------
# Readers a user would write, each yielding (id, sequence str) pairs.


def read_pyfastx(path):
    import pyfastx

    for name, seq in pyfastx.Fastx(path, format="fasta", uppercase=False):
        yield name, seq


def read_dnaio(path):
    import dnaio

    with dnaio.open(path) as f:
        for r in f:
            yield r.name.split(None, 1)[0], r.sequence


def read_pysam(path):
    import pysam

    with pysam.FastxFile(path) as f:
        for r in f:
            yield r.name, r.sequence


def read_biopython(path):
    from Bio import SeqIO

    with gzip.open(path, "rt") as f:
        for rid, seq in SeqIO.FastaIO.SimpleFastaParser(f):
            yield rid.split(None, 1)[0], seq


PEERS = {"pyfastx": read_pyfastx, "dnaio": read_dnaio, "pysam": read_pysam, "biopython+gzip": read_biopython}


def make_genome(tmp):
    rng = random.Random(11)
    path = os.path.join(tmp, "genome.fa")
    with open(path, "w") as f:
        for i in range(100):
            seq = "".join(rng.choices("ACGT", k=50_000))
            f.write(f">contig_{i} generated\n")
            for j in range(0, len(seq), 80):
                f.write(seq[j : j + 80] + "\n")
    subprocess.run(["gzip", "-6", "-k", "-f", path], check=True)
    return path, path + ".gz"


def main():
    with tempfile.TemporaryDirectory() as tmp:
        plain, gz = make_genome(tmp)
        print(f"genome: {os.path.getsize(plain) / 1e6:.1f} MB, gzip -6: {os.path.getsize(gz) / 1e6:.1f} MB; k={K}, both strands")

        reference = {rid: list(r.counts) for rid, r in get_kmer_count_fasta(plain, K, True).items()}
        got = {rid: list(r.counts) for rid, r in get_kmer_count_fasta(gz, K, True).items()}
        assert got == reference, "nuvek: .gz and plain file disagree"
        numba_profile("ACGT")  # compile outside the timing

        t_nuvek = best_of(lambda: get_kmer_count_fasta(gz, K, True))
        t_plain = best_of(lambda: get_kmer_count_fasta(plain, K, True))
        data = open(gz, "rb").read()
        print(f"{'nuvek (.gz)':32s} {t_nuvek * 1e3:8.2f} ms")
        print(f"{'nuvek (uncompressed file)':32s} {t_plain * 1e3:8.2f} ms")
        t = best_of(lambda: zlib.decompress(data, 31))
        print(f"{'zlib.decompress alone':32s} {t * 1e3:8.2f} ms")
        try:
            import isal.igzip

            t = best_of(lambda: isal.igzip.decompress(data))
            print(f"{'isal decompress alone':32s} {t * 1e3:8.2f} ms")
        except ImportError:
            pass

        print(f"\n{'peer reader + numba loop':32s} {'time':>11s} {'peer/nuvek':>11s}")
        fastest = None
        for name, reader in PEERS.items():
            try:
                got = {rid: numba_profile(seq) for rid, seq in reader(gz)}
            except ImportError:
                print(f"{name:32s} not installed")
                continue
            assert all(list(got[rid]) == reference[rid] for rid in reference), name
            t = best_of(lambda: {rid: numba_profile(seq) for rid, seq in reader(gz)})
            fastest = t if fastest is None else min(fastest, t)
            print(f"{name:32s} {t * 1e3:8.2f} ms {t / t_nuvek:10.2f}x")
        if fastest is not None:
            print(f"\nnuvek against the fastest peer: {fastest / t_nuvek:.2f}x")


if __name__ == "__main__":
    main()
