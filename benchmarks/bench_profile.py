"""get_kmer_profile_fasta against a FASTA reader + numba loop, against
get_kmer_count_fasta + numpy stacking, and against get_kmer_count_fasta's
own counting speed.

Run with the built module on PYTHONPATH:  python3 benchmarks/bench_profile.py
Generates into a temporary directory a metagenome-like assembly (10,000
contigs, log-normal lengths with a median of 1.5 kbp, runs of N in a fifth
of them) and a 5 Mbp genome in one record. Every measured side runs in a
process of its own (python3 bench_profile.py --side NAME ...), which checks
its matrix against nuvek's once and then prints the best of several calls;
the parent runs every side --rounds times, taking turns, and keeps each
side's best. Ratios are the other side's time over nuvek's.

Cells:
  metagenome, k=4 canonical, skip_invalid: nuvek against each reader +
    numba (the joined sequences counted in one numba call) and against
    get_kmer_count_fasta + numpy stacking + canonical fold;
  genome in 5 kbp windows 2.5 kbp apart, k=4 canonical: nuvek against each
    reader + numba counting every window on its own, and counting each
    2.5 kbp block once and adding blocks;
  per-base speed: get_kmer_profile_fasta (window 0) against
    get_kmer_count_fasta (one strand) on both files at k = 4 and 8.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

WINDOW, STEP = 5000, 2500


def best_time(fn, calls):
    """Best wall time and best processor time (this process's own, which a
    machine shared with other work disturbs less) of several calls."""
    wall = cpu = float("inf")
    for _ in range(calls):
        t0, c0 = time.perf_counter(), time.process_time()
        fn()
        c1, t1 = time.process_time(), time.perf_counter()
        wall, cpu = min(wall, t1 - t0), min(cpu, c1 - c0)
    return wall, cpu


def side(name, path, k, calls):
    """Runs one side in this process and prints its best time as JSON."""
    import numpy as np

    import nuvek  # noqa: F401
    from nuvek.kmer import get_kmer_count_fasta, get_kmer_profile_fasta

    import profile_peers as peers

    windows = name.endswith("-windows")
    kind = name[: -len("-windows")] if windows else name
    expected = None
    if kind == "nuvek":
        opts = dict(window=WINDOW, step=STEP) if windows else {}
        fn = lambda: get_kmer_profile_fasta(path, k, skip_invalid=True, **opts)  # noqa: E731
    elif kind == "nuvek-plain":
        fn = lambda: get_kmer_profile_fasta(path, k, canonical=False, skip_invalid=True)  # noqa: E731
    elif kind == "count":
        fn = lambda: get_kmer_count_fasta(path, k, False, skip_invalid=True)  # noqa: E731
    elif kind == "stacked":
        fn = lambda: peers.stacked_counts(path, k)  # noqa: E731
        expected = lambda out: out[1]  # noqa: E731
    else:
        reader, _, variant = kind.partition("+")
        read = dict(peers.readers())[reader]
        if windows:
            fn = lambda: peers.peer_windows(read, path, k, WINDOW, STEP, variant == "blocks")  # noqa: E731
        else:
            fn = lambda: peers.peer_records(read, path, k)  # noqa: E731
        expected = lambda out: out[4]  # noqa: E731
    got = fn()  # also compiles the numba loops
    if expected is not None:
        opts = dict(window=WINDOW, step=STEP) if windows else {}
        ref = np.asarray(get_kmer_profile_fasta(path, k, skip_invalid=True, **opts))
        assert np.array_equal(np.asarray(expected(got), dtype=np.uint64), ref), f"{name}: matrix differs"
    wall, cpu = best_time(fn, calls)
    print(json.dumps({"side": name, "wall": wall, "cpu": cpu}))


def run_side(name, path, k, calls):
    cmd = [sys.executable, os.path.abspath(__file__), "--side", name, "--path", path, "--k", str(k),
           "--calls", str(calls)]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    got = json.loads(out.strip().splitlines()[-1])
    return got["wall"], got["cpu"]


def measure(sides, path, k, calls, rounds):
    best = {s: (float("inf"), float("inf")) for s in sides}
    for _ in range(rounds):
        for s in sides:
            wall, cpu = run_side(s, path, k, calls)
            best[s] = (min(best[s][0], wall), min(best[s][1], cpu))
    return best


def report(title, best, base):
    """Each side's best wall and processor time, and its ratio to base's."""
    print(title)
    w0, c0 = best[base]
    for s, (w, c) in best.items():
        ratio = "" if s == base else f"  wall {w / w0:5.2f}x, cpu {c / c0:5.2f}x {base}"
        print(f"  {s:<24} wall {w * 1e3:8.2f} ms  cpu {c * 1e3:8.2f} ms{ratio}")


def cpu_line():
    name, flags = "unknown", set()
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name") and name == "unknown":
                name = line.split(":", 1)[1].strip()
            if line.startswith("flags"):
                flags = set(line.split(":", 1)[1].split())
    loops = "avx512" if {"avx512f", "avx512bw", "avx512vl", "bmi2"} <= flags else "baseline"
    pinned = os.environ.get("NUVEK_KMER_VARIANT", "auto")
    return f"CPU: {name}; counting loops: {loops if pinned == 'auto' else pinned + ' (pinned)'}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--side")
    parser.add_argument("--path")
    parser.add_argument("--k", type=int, default=4)
    parser.add_argument("--calls", type=int, default=7)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    if args.side:
        side(args.side, args.path, args.k, args.calls)
        return
    import profile_peers as peers

    print(cpu_line())
    names = [name for name, _ in peers.readers()]
    with tempfile.TemporaryDirectory() as tmp:
        meta = os.path.join(tmp, "metagenome.fa")
        genome = os.path.join(tmp, "genome.fa")
        bases = peers.write_metagenome(meta)
        peers.write_genome(genome)
        sides = ["nuvek", "stacked"] + [f"{n}+numba" for n in names]
        best = measure(sides, meta, 4, args.calls, args.rounds)
        report(f"metagenome, 10,000 contigs, {bases / 1e6:.1f} Mbp, k=4 canonical, skip_invalid", best, "nuvek")
        sides = ["nuvek-windows"] + [f"{n}+{v}-windows" for n in names for v in ("direct", "blocks")]
        best = measure(sides, genome, 4, args.calls, args.rounds)
        report(f"5 Mbp genome, {WINDOW} bp windows {STEP} bp apart, k=4 canonical", best, "nuvek-windows")
        for label, path in (("metagenome", meta), ("genome", genome)):
            for k in (4, 8):
                best = measure(["nuvek", "nuvek-plain", "count"], path, k, args.calls, args.rounds)
                report(f"per-base speed on the {label}, k={k} (count: get_kmer_count_fasta, one strand)",
                       best, "count")


if __name__ == "__main__":
    main()
