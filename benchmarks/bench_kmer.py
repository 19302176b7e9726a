"""K-mer counting and enumeration: nuvek side by side with the usual Python ways.

Run with the built module on PYTHONPATH:  python3 benchmarks/bench_kmer.py
Each figure is the best of several runs in this one process; a ratio is the
peer's time divided by nuvek's (above 1: nuvek is faster).
"""
import itertools
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kmer_peers import best_of, best_of_each, numba_count, numpy_count  # noqa: E402

from nuvek.kmer import get_kmer_count_seq, get_kmer_to_idx, get_possible_kmers  # noqa: E402

SEQ_LEN = 5_000_000


def random_seq(n, seed=7):
    rng = np.random.default_rng(seed)
    return np.frombuffer(b"ACGT", dtype=np.uint8)[rng.integers(0, 4, n)].tobytes().decode("ascii")


def row(label, nuvek_s, peers):
    cells = [f"{label:<28} nuvek {nuvek_s * 1e3:8.2f} ms"]
    for name, t in peers:
        cells.append(f"{name} {t * 1e3:8.2f} ms (x{t / nuvek_s:5.1f})")
    print("  ".join(cells))


def bench_counting(seq):
    print(f"get_kmer_count_seq on {SEQ_LEN / 1e6:.0f} Mbp of random ACGT")
    if numba_count is not None:
        numba_count(seq[:1000], 4, True)  # compile outside the timing
    for k in (4, 8, 11):
        for rc in (False, True):
            got = get_kmer_count_seq(seq, k, rc)
            assert got.total == (SEQ_LEN - k + 1) * (2 if rc else 1)
            fns = [lambda: get_kmer_count_seq(seq, k, rc), lambda: numpy_count(seq, k, rc)]
            names = ["numpy"]
            if numba_count is not None:
                fns.append(lambda: numba_count(seq, k, rc))
                names.append("numba")
            times = best_of_each(fns, 5)
            row(f"k={k:<2} rc={rc!s:<5}", times[0], list(zip(names, times[1:])))


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
    seq = random_seq(SEQ_LEN)
    bench_counting(seq)
    bench_enumeration()
    bench_short_reads()
