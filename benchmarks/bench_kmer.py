"""K-mer counting and enumeration: nuvek side by side with the usual Python ways.

Run with the built module on PYTHONPATH:  python3 benchmarks/bench_kmer.py
Each figure is the best of several runs in this one process; a ratio is the
peer's time divided by nuvek's (above 1: nuvek is faster). The strongest peer
is the numba loop with the byte lookup table inside it (kmer_peers.py), fed
for FASTA files by the fastest of pyfastx, pysam and dnaio.
"""
import itertools
import os
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kmer_peers import best_of, best_of_each, numba_count, numba_lut_count, numpy_count  # noqa: E402

from nuvek.kmer import get_kmer_count_fasta, get_kmer_count_seq, get_kmer_to_idx, get_possible_kmers  # noqa: E402

SEQ_LEN = 5_000_000


def random_seq(n, seed=7):
    rng = np.random.default_rng(seed)
    return np.frombuffer(b"ACGT", dtype=np.uint8)[rng.integers(0, 4, n)].tobytes().decode("ascii")


def row(label, nuvek_s, peers):
    cells = [f"{label:<28} nuvek {nuvek_s * 1e3:8.2f} ms"]
    for name, t in peers:
        cells.append(f"{name} {t * 1e3:8.2f} ms (x{t / nuvek_s:5.1f})")
    print("  ".join(cells))


def cpu_line():
    """The processor's features that the counting dispatcher looks at, and
    the loops it picks for them in a build without a pinned variant."""
    flags = set()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    flags = set(line.split(":", 1)[1].split())
                    break
    except OSError:
        pass
    wanted = ["avx2", "bmi2", "avx512f", "avx512bw", "avx512vl"]
    have = [w for w in wanted if w in flags]
    picks = "avx512" if {"avx512f", "avx512bw", "avx512vl", "bmi2"} <= flags else "baseline"
    pinned = os.environ.get("NUVEK_KMER_VARIANT", "auto")
    if pinned != "auto":
        picks = f"{pinned} (pinned at build time)"
    return f"CPU features: {' '.join(have) or 'none of ' + ' '.join(wanted)}; counting loops: {picks}"


def bench_counting(seq):
    print(f"get_kmer_count_seq on {SEQ_LEN / 1e6:.0f} Mbp of random ACGT")
    if numba_count is not None:
        numba_count(seq[:1000], 4, True)  # compile outside the timing
        numba_lut_count(seq[:1000], 4, True)
    for k in (4, 8, 11):
        for rc in (False, True):
            got = get_kmer_count_seq(seq, k, rc)
            assert got.total == (SEQ_LEN - k + 1) * (2 if rc else 1)
            fns = [lambda: get_kmer_count_seq(seq, k, rc), lambda: numpy_count(seq, k, rc)]
            names = ["numpy"]
            if numba_count is not None:
                assert numba_lut_count(seq, k, rc).tolist() == got.counts
                fns += [lambda: numba_count(seq, k, rc), lambda: numba_lut_count(seq, k, rc)]
                names += ["numba", "numba-lut"]
            times = best_of_each(fns, 5)
            row(f"k={k:<2} rc={rc!s:<5}", times[0], list(zip(names, times[1:])))


def soft_masked(seq, seed=3):
    """seq with about half of it in lower-case runs of 50 to 5,000 bases."""
    rng = np.random.default_rng(seed)
    out, i = [], 0
    while i < len(seq):
        n = int(rng.integers(50, 5000))
        part = seq[i : i + n]
        out.append(part.lower() if rng.random() < 0.5 else part)
        i += n
    return "".join(out)


def bench_skip_invalid(seq):
    print("skip_invalid=True against the strict count (ratio: strict time / lenient time)")
    masked = soft_masked(seq)
    for k in (4, 8, 11):
        try:
            fns = [lambda: get_kmer_count_seq(seq, k, True, skip_invalid=True),
                   lambda: get_kmer_count_seq(masked, k, True, skip_invalid=True)]
            fns[0]()
        except TypeError:
            print("  skipped: this build has no skip_invalid keyword")
            return
        times = best_of_each([lambda: get_kmer_count_seq(seq, k, True)] + fns, 5)
        print(f"  k={k:<2} strict {times[0] * 1e3:7.2f} ms  lenient clean {times[1] * 1e3:7.2f} ms "
              f"(x{times[0] / times[1]:4.2f})  lenient soft-masked {times[2] * 1e3:7.2f} ms (x{times[0] / times[2]:4.2f})")


# --- FASTA -------------------------------------------------------------------------


def write_fasta(path, records, width):
    with open(path, "w") as f:
        for rid, seq in records:
            f.write(f">{rid}\n")
            f.writelines(seq[i : i + width] + "\n" for i in range(0, len(seq), width))


def peer_readers():
    """(name, iterate(path) -> (id, seq) pairs) for the fastest installed readers."""
    from bench_fasta import peer_readers as all_readers

    readers = all_readers()
    return [(name, readers[name]) for name in ("pyfastx", "pysam", "dnaio") if name in readers]


def with_numba(read, path, k, keep_dense):
    """One count vector per record id: the array itself, or at large k (where
    100,000 dense arrays cannot be kept) its non-zero columns and counts.
    Like nuvek's results: one dense 64-bit counter per column and record
    (int64 here, uint64 there), kept in a dict by record id."""
    out = {}
    for rid, seq in read(path):
        counts = numba_lut_count(seq, k, True)
        if keep_dense:
            out[rid] = counts
        else:
            nz = np.flatnonzero(counts)
            out[rid] = (nz, counts[nz])
    return out


def bench_fasta():
    if numba_lut_count is None:
        print("FASTA: skipped (numba not installed)")
        return
    rng = np.random.default_rng(11)
    bases = np.frombuffer(b"ACGT", dtype=np.uint8)

    def rnd(n):
        return bases[rng.integers(0, 4, n)].tobytes().decode("ascii")

    with tempfile.TemporaryDirectory() as tmp:
        genome = os.path.join(tmp, "genome.fa")
        reads = os.path.join(tmp, "reads.fa")
        write_fasta(genome, [(f"contig{i}", rnd(50_000)) for i in range(100)], 80)
        write_fasta(reads, [(f"read{i}", rnd(150)) for i in range(100_000)], 150)
        readers = peer_readers()
        size = os.path.getsize(genome)
        t0 = best_of(lambda: get_kmer_count_fasta(genome, 0, False), 7)
        print(f"get_kmer_count_fasta reading alone (k=0) on the 5 Mbp genome: {t0 * 1e3:.2f} ms, {size / t0 / 1e9:.2f} GB/s")
        for label, path, ks, repeat in (("5 Mbp genome, 100 contigs", genome, (4, 8), 5),
                                        ("100,000 reads of 150 bp", reads, (4, 8), 2)):
            print(f"get_kmer_count_fasta rc on {label} against reader + numba-lut loop")
            for k in ks:
                keep_dense = k <= 6 or path == genome
                fns = [lambda: get_kmer_count_fasta(path, k, True)]
                fns += [lambda read=read: with_numba(read, path, k, keep_dense) for _, read in readers]
                times = best_of_each(fns, repeat)
                row(f"  k={k}", times[0], [(name, t) for (name, _), t in zip(readers, times[1:])])
                if path == genome:
                    # What the peer's output alone costs: 100 dense arrays of
                    # 4^k 64-bit counters, each written to fresh heap memory
                    # (nuvek places its results in huge pages instead).
                    floor = best_of(lambda: [np.ones(4**k, dtype=np.int64) for _ in range(100)], 5)
                    print(f"  k={k} writing 100 fresh numpy arrays of 4^{k} int64 counters takes "
                          f"{floor * 1e3:.2f} ms (nuvek's whole call: {times[0] * 1e3:.2f} ms)")
                    # End to end, when the counts are wanted as numpy arrays:
                    # nuvek's results are exported without a copy, the peer's
                    # arrays are its own output.
                    fns = [lambda: {rid: np.asarray(r) for rid, r in get_kmer_count_fasta(path, k, True).items()}]
                    fns += [lambda read=read: with_numba(read, path, k, True) for _, read in readers]
                    times = best_of_each(fns, repeat)
                    row(f"  k={k} as numpy arrays", times[0], [(name, t) for (name, _), t in zip(readers, times[1:])])


def plain_lists(k):
    variants = [
        ("map-join", lambda: list(map("".join, itertools.product("ACGT", repeat=k)))),
        ("listcomp", lambda: ["".join(p) for p in itertools.product("ACGT", repeat=k)]),
    ]
    return variants if k < 10 else variants[:1]  # the fastest variant only, at large k


def plain_dicts(k):
    variants = [
        ("zip-range", lambda: dict(zip(map("".join, itertools.product("ACGT", repeat=k)), range(4**k)))),
        ("dictcomp", lambda: {"".join(p): i for i, p in enumerate(itertools.product("ACGT", repeat=k))}),
    ]
    return variants if k < 10 else variants[:1]


def numpy_list(k):
    """Letters of every column by vectorised digit extraction, then tolist."""
    columns = np.arange(4**k, dtype=np.int64)
    shifts = 2 * np.arange(k - 1, -1, -1, dtype=np.int64)
    letters = np.frombuffer(b"ACGT", dtype=np.uint8)[(columns[:, None] >> shifts) & 3]
    return np.ascontiguousarray(letters).view(f"S{k}").ravel().astype(f"U{k}").tolist()


def bench_enumeration():
    print("get_possible_kmers / get_kmer_to_idx against plain Python (fastest variant shown)")
    for k in (8, 11):
        repeat = 7 if k == 8 else 3
        assert get_possible_kmers(k) == numpy_list(k)
        for kind, fn, plain in (("list", get_possible_kmers, plain_lists), ("dict", get_kmer_to_idx, plain_dicts)):
            variants = plain(k)
            fns = [lambda: fn(k)] + [v for _, v in variants]
            if kind == "list":
                fns.append(lambda: numpy_list(k))
            times = best_of_each(fns, repeat)
            best, name = min(zip(times[1 : 1 + len(variants)], (n for n, _ in variants)))
            peers = [(f"py:{name}", best)] + ([("numpy", times[-1])] if kind == "list" else [])
            row(f"{kind} k={k}", times[0], peers)


def bench_short_reads():
    n, length, k = 20_000, 150, 8
    reads = [random_seq(length, seed=i) for i in range(n)]
    print(f"{n} reads of {length} bp, k={k}, one call per read (sparse results)")
    for rc in (False, True):
        nuvek_s = best_of(lambda: [get_kmer_count_seq(r, k, rc) for r in reads], 3)
        print(f"  rc={rc!s:<5} {nuvek_s * 1e3:8.2f} ms total, {nuvek_s / n * 1e6:6.2f} us per read")


if __name__ == "__main__":
    print(cpu_line())
    seq = random_seq(SEQ_LEN)
    bench_counting(seq)
    bench_skip_invalid(seq)
    bench_fasta()
    bench_enumeration()
    bench_short_reads()
