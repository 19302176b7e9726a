"""The call boundary: what a call costs, and what the results cost to use.

- canonical_gid over a million genome ids against the str-method chain
  that Python code writes for it (behind the same "U" check);
- a genome's 100 k-mer count results at k=8 turned into numpy arrays:
  numpy.asarray(result), which reads the counts through the buffer
  protocol without a copy, against numpy.array(result.counts), which
  goes through a list of ints.

add_hit, the other call-bound operation, is timed in bench_tophit.py.

Run with the built module importable:  python3 benchmarks/bench_boundary.py
Each figure is the best of several runs in this one process; a ratio is the
peer's time divided by nuvek's (above 1: nuvek is faster).
"""
import os
import random
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kmer_peers import best_of as best  # noqa: E402

import nuvek  # noqa: E402,F401 - enters the submodules into sys.modules
from nuvek.kmer import get_kmer_count_seq  # noqa: E402
from nuvek.util.accession import canonical_gid  # noqa: E402


def row(label, t_nuvek, t_peer, goal=None):
    ratio = t_peer / t_nuvek
    mark = "" if goal is None else f"   (goal {goal}x: {'ok' if ratio >= goal else 'BELOW GOAL'})"
    print(f"{label:<50}{t_nuvek * 1e3:>10.3f}{t_peer * 1e3:>10.1f}{ratio:>10.1f}x{mark}", flush=True)


def genome_ids(n, seed=1):
    """Ids as they come in reference tables: RefSeq and GenBank assemblies
    with a version, some already canonical, some uncultivated ("U...")."""
    rng = random.Random(seed)
    ids = []
    for _ in range(n):
        r, num = rng.random(), rng.randrange(10**8, 10**9)
        if r < 0.4:
            ids.append(f"RS_GCF_{num:09d}.{rng.randrange(1, 4)}")
        elif r < 0.8:
            ids.append(f"GB_GCA_{num:09d}.{rng.randrange(1, 4)}")
        elif r < 0.9:
            ids.append(f"G{num:09d}")
        else:
            ids.append(f"UBA{num}")
    return ids


def python_canonical(gid):
    if gid[:1] == "U":
        return gid
    return gid.replace("RS_", "").replace("GB_", "").replace("GCA_", "G").replace("GCF_", "G").partition(".")[0]


def bench_canonical_gid():
    ids = genome_ids(1_000_000)
    assert [canonical_gid(g) for g in ids[:10000]] == [python_canonical(g) for g in ids[:10000]]

    def nuvek_side():
        for g in ids:
            canonical_gid(g)

    def python_side():
        for g in ids:
            # Written out, as it is in a loop, without a call of its own.
            g if g[:1] == "U" else g.replace("RS_", "").replace("GB_", "").replace(
                "GCA_", "G").replace("GCF_", "G").partition(".")[0]

    row("canonical_gid x 1,000,000 vs str methods", best(nuvek_side), best(python_side), 2.5)


def bench_buffer_export():
    rng = np.random.default_rng(3)
    letters = np.frombuffer(b"ACGT", dtype=np.uint8)
    contigs = [letters[rng.integers(0, 4, int(n))].tobytes().decode() for n in rng.integers(5_000, 60_000, 100)]
    results = [get_kmer_count_seq(c, 8, True) for c in contigs]
    assert all(np.array_equal(np.asarray(r), np.array(r.counts, dtype=np.uint64)) for r in results[:5])

    def nuvek_side():
        return [np.asarray(r) for r in results]

    def list_side():
        return [np.array(r.counts) for r in results]

    def stacked_nuvek():
        return np.stack([np.asarray(r) for r in results])

    def stacked_list():
        return np.array([r.counts for r in results])

    row("100 results, k=8: asarray(r) vs array(r.counts)", best(nuvek_side), best(list_side, 3))
    row("the same stacked into one 100 x 65536 matrix", best(stacked_nuvek), best(stacked_list, 3))


def main():
    print(f"{'operation':<50}{'nuvek ms':>10}{'peer ms':>10}{'ratio':>11}")
    bench_canonical_gid()
    bench_buffer_export()


if __name__ == "__main__":
    sys.exit(main())
