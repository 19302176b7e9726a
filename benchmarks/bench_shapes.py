"""K-mer counting over the shapes genomes come in, each side in a process of its own.

Shapes (generated once into a cache directory, random A/C/G/T, 60-column
lines): 150 bp reads and records of 1, 5, 20 and 100 kbp (about 1 Mbp each),
a draft assembly of about 5 Mbp with log-normal contig lengths (median about
20 kbp, 500 bp to 400 kbp), and the assemblies that the Debian packages
kaptive-example, kleborate-examples and abacas-examples ship, when they are
installed (upper-cased, any other letter than A/C/G/T, such as N, replaced
by A, so that every side counts the same windows of the same shape).

For every shape and k (4, 6, 8, 10), with both strands:
- nuvek: get_kmer_count_fasta, the counts exported as numpy arrays
  ({id: numpy.asarray(r)}) or not exported;
- the peers: pyfastx, pysam and dnaio each feeding the numba loop with the
  lookup inside (kmer_peers.numba_lut_count, a dict of arrays), and pyfastx
  feeding numpy bincount (kmer_peers.numpy_count);
- the output floor: as many dense arrays of 4^k unsigned 64-bit counters as
  there are records, written into fresh memory (numpy.ones).
Each of these runs twice, results dropped between calls and all results
kept alive, and each cell of each side runs in a fresh process (so that no
side inherits another's heap): best of several steady-state calls after
one warm-up call (7, or as many as fit in 0.5 s up to 200, when results
are dropped; at most 3 when they are kept). A side whose results are kept
or whose process holds more than 256 MB runs in 3 processes, best taken
(on a virtual machine such a side's time depends on whether the host
still backs the memory it is given). get_kmer_count_seq on 5 Mbp at k =
4, 6, 8, 10, 11, 12 against the numba loop and numpy, likewise.

Printed per cell: the times, ratios (peer / nuvek, floor / nuvek), and each
process's peak resident memory (ru_maxrss) and the memory it keeps between
calls (resident size after a dropped call minus before the first).

Run: PYTHONPATH=build-dev python benchmarks/bench_shapes.py [--quick]
     [--only SHAPE[,SHAPE]] [--k 4,8] [--keep drop|keep] [--json out.json]
"""
import argparse
import gzip
import json
import lzma
import math
import os
import random
import resource
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CACHE = os.environ.get("NUVEK_SHAPES_CACHE", "/tmp/nuvek-shapes")
GENERATED = ["reads150", "rec1k", "rec5k", "rec20k", "rec100k", "draft"]
FASTA_PEERS = ["pyfastx+numba", "pysam+numba", "dnaio+numba", "pyfastx+numpy"]
SEQ_PEERS = ["numba", "numpy"]


# ---------------------------------------------------------------------------
# Inputs


def write_fasta(path, records):
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        for rid, seq in records:
            f.write(f">{rid}\n")
            for i in range(0, len(seq), 60):
                f.write(seq[i : i + 60] + "\n")
    os.replace(tmp, path)


def generated_lengths(name, rng):
    fixed = {"reads150": (6666, 150), "rec1k": (1000, 1000), "rec5k": (200, 5000),
             "rec20k": (50, 20000), "rec100k": (10, 100000)}
    if name in fixed:
        n, length = fixed[name]
        return [length] * n
    lengths, total = [], 0
    while total < 5_000_000:
        length = int(min(400_000, max(500, rng.lognormvariate(math.log(20_000), 1.1))))
        lengths.append(length)
        total += length
    return lengths


def generated_path(name):
    os.makedirs(CACHE, exist_ok=True)
    path = os.path.join(CACHE, name + ".fa")
    if not os.path.exists(path):
        rng = random.Random(sum(map(ord, name)))
        records = [(f"{name}_{i}", "".join(rng.choices("ACGT", k=n)))
                   for i, n in enumerate(generated_lengths(name, rng))]
        write_fasta(path, records)
    return path


def read_records(path):
    opener = gzip.open if path.endswith(".gz") else lzma.open if path.endswith(".xz") else open
    records, rid, parts = [], None, []
    with opener(path, "rt") as f:
        for line in f:
            line = line.strip()
            if line.startswith(">"):
                if rid is not None:
                    records.append((rid, "".join(parts)))
                rid, parts = line[1:].split()[0] if line[1:].split() else "", []
            elif line:
                parts.append(line)
    if rid is not None:
        records.append((rid, "".join(parts)))
    return records


# One assembly of each package: a fragmented draft, a finished genome with
# its plasmids, and contigs of an older sequencing run.
REAL_FILES = {
    "kaptive:fragmented_assembly": "/usr/share/doc/kaptive/examples/fragmented_assembly.fasta.gz",
    "kleborate:Klebs_HS11286": "/usr/share/doc/kleborate/examples/data/Klebs_HS11286.fna.xz",
    "abacas:454AllContigs": "/usr/share/doc/abacas-examples/454AllContigs.fna.gz",
}


def real_shapes():
    """name -> cached clean copy, for each assembly of the packages that is installed."""
    shapes = {}
    for name, src in REAL_FILES.items():
        if not os.path.exists(src):
            continue
        dst = os.path.join(CACHE, "real_" + name.replace(":", "_") + ".fa")
        if not os.path.exists(dst):
            clean = bytes(b if b in b"ACGT" else ord("A") for b in range(256))
            records = [(rid, s.upper().encode().translate(clean).decode()) for rid, s in read_records(src)]
            os.makedirs(CACHE, exist_ok=True)
            write_fasta(dst, records)
        shapes[name] = dst
    return shapes


def describe(path):
    lengths = [len(s) for _, s in read_records(path)]
    lengths.sort()
    return f"{len(lengths)} records, {sum(lengths) / 1e6:.2f} Mbp, median {lengths[len(lengths) // 2]:,} bp"


# ---------------------------------------------------------------------------
# One side of one cell, in this process


def rss_kb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * (os.sysconf("SC_PAGE_SIZE") // 1024)


MIN_SECONDS = 0.5
MAX_CALLS = 200


def worker(cell_args):
    import numpy as np

    sys.path.insert(0, HERE)
    impl, path, k, export, keep = cell_args["impl"], cell_args["path"], cell_args["k"], cell_args["export"], cell_args["keep"]
    # kept results pile up: at k = 10 a 5 Mbp assembly keeps 1.2 GB per call
    repeat = min(cell_args["repeat"], 3) if keep else cell_args["repeat"]
    seq = None
    if impl.startswith("seq:"):
        seq = open(path).read()
    if impl == "nuvek":
        from nuvek.kmer import get_kmer_count_fasta

        if export:
            def run():
                return {rid: np.asarray(r) for rid, r in get_kmer_count_fasta(path, k, True).items()}
        else:
            def run():
                return get_kmer_count_fasta(path, k, True)
    elif impl == "seq:nuvek":
        from nuvek.kmer import get_kmer_count_seq

        if export:
            def run():
                return np.asarray(get_kmer_count_seq(seq, k, True))
        else:
            def run():
                return get_kmer_count_seq(seq, k, True)
    elif impl in ("seq:numba", "seq:numpy"):
        from kmer_peers import numba_lut_count, numpy_count

        count = numba_lut_count if impl == "seq:numba" else numpy_count

        def run():
            return count(seq, k, True)
    elif impl == "floor":
        n = sum(1 for line in open(path) if line.startswith(">"))
        size = 4**k

        def run():
            # fresh memory, every counter written once
            return [np.ones(size, dtype=np.uint64) for _ in range(n)]
    else:
        reader, counter = impl.split("+")
        from kmer_peers import numba_lut_count, numpy_count

        count = numba_lut_count if counter == "numba" else numpy_count
        if reader == "pyfastx":
            import pyfastx

            def records():
                for name, s, *_ in pyfastx.Fastx(path, uppercase=False):
                    yield name, s
        elif reader == "pysam":
            import pysam

            def records():
                with pysam.FastxFile(path) as f:
                    for r in f:
                        yield r.name, r.sequence
        else:
            import dnaio

            def records():
                with dnaio.open(path) as f:
                    for r in f:
                        yield r.name.split()[0], r.sequence

        def run():
            return {name: count(s, k, True) for name, s in records()}

    kept = []
    before = rss_kb()
    result = run()  # warm-up: compilation, first faults
    if keep:
        kept.append(result)
    del result
    after_drop = rss_kb()
    best = float("inf")
    start = time.perf_counter()
    deadline = start + cell_args["budget"]
    # Dropped results: calls of a few milliseconds go on for at least
    # MIN_SECONDS (at most MAX_CALLS), so that one timer tick or page
    # reclaim in 7 calls does not make the figure.
    calls = repeat if keep else max(repeat, MAX_CALLS)
    for i in range(calls):
        if i >= repeat and time.perf_counter() - start > MIN_SECONDS:
            break
        t0 = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - t0)
        if keep:
            kept.append(result)
        del result
        if not keep:
            after_drop = rss_kb()
        if time.perf_counter() > deadline and i >= 1:
            break
    return {"best": best, "maxrss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
            "kept_mb": (after_drop - before) / 1024}


# Seconds to wait after a process that held more than SETTLE_AFTER_MB: on
# a virtual machine the host takes the memory a process freed back a moment
# later (free page reporting), and a side started at once would find those
# pages still backed, where the side before it had to fault them in (3.4 GB
# of fresh vectors: 1.5 s right after another such process, 5.9 to 9 s
# after a pause).
SETTLE = 3.0
SETTLE_AFTER_MB = 256
_last_peak_mb = 0


# A side whose results are kept, or whose process held more than
# SETTLE_AFTER_MB, runs in this many processes and its best is taken: on a
# virtual machine the fresh memory such a process takes is either still
# backed by the host or faulted in by it, which moves one call 3 to 15x for
# nuvek, the peers and the floor alike (8 MB vectors at k = 10, kept: 0.2 s
# or 3.7 s; 200 x 5 kbp at k = 8, kept, not exported: 7.5 ms or 39 ms);
# several draws give every side its backed case.
PROCESSES = 3


def run_one(cell_args):
    global _last_peak_mb
    if _last_peak_mb > SETTLE_AFTER_MB:
        time.sleep(SETTLE)
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--worker", json.dumps(cell_args)],
                         capture_output=True, text=True)
    if out.returncode != 0:
        _last_peak_mb = 0
        return {"error": (out.stderr.strip().splitlines() or ["failed"])[-1]}
    result = json.loads(out.stdout.strip().splitlines()[-1])
    _last_peak_mb = result.get("maxrss_mb", 0)
    return result


def run_side(impl, path, k, export, keep, repeat, budget):
    cell_args = {"impl": impl, "path": path, "k": k, "export": export, "keep": keep, "repeat": repeat,
            "budget": budget}
    result = run_one(cell_args)
    if "error" in result or (not keep and result["maxrss_mb"] <= SETTLE_AFTER_MB):
        return result
    result["processes"] = [result["best"]]
    for _ in range(PROCESSES - 1):
        more = run_one(cell_args)
        if "error" in more:
            return more
        result["processes"].append(more["best"])
        result["best"] = min(result["best"], more["best"])
        result["maxrss_mb"] = max(result["maxrss_mb"], more["maxrss_mb"])
        result["kept_mb"] = max(result["kept_mb"], more["kept_mb"])
    return result


# ---------------------------------------------------------------------------
# The sweep


def fmt_ms(s):
    return f"{s * 1e3:.2f}" if s < 0.1 else f"{s * 1e3:.0f}"


def dispatched():
    try:
        flags = open("/proc/cpuinfo").read().split("flags", 1)[1].split("\n", 1)[0].split()
    except (OSError, IndexError):
        return "unknown"
    need = {"avx512f", "avx512bw", "avx512vl", "bmi2"}
    return "avx512" if need <= set(flags) else "baseline"


def cpu_name():
    for line in open("/proc/cpuinfo"):
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return "unknown"


def main():
    global PROCESSES
    ap = argparse.ArgumentParser()
    ap.add_argument("--worker")
    ap.add_argument("--quick", action="store_true", help="pyfastx+numba only, 3 calls per side, no kept results")
    ap.add_argument("--only", help="comma-separated shapes (seq5m for get_kmer_count_seq)")
    ap.add_argument("--k", help="comma-separated k")
    ap.add_argument("--keep", choices=["drop", "keep"], help="one of the two result modes only")
    ap.add_argument("--peers", help="comma-separated peers")
    ap.add_argument("--no-floor", action="store_true")
    ap.add_argument("--nuvek-only", action="store_true", help="time nuvek alone (to compare two builds)")
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--processes", type=int, default=PROCESSES,
                    help=f"processes per side when results are kept or a side holds over {SETTLE_AFTER_MB} MB")
    ap.add_argument("--json", help="append every cell as a JSON line to this file")
    args = ap.parse_args()
    if args.worker:
        print(json.dumps(worker(json.loads(args.worker))))
        return

    PROCESSES = max(1, args.processes)
    repeat = 3 if args.quick else args.repeat
    budget = 2.0 if args.quick else 6.0
    shapes = {name: generated_path(name) for name in GENERATED}
    shapes.update(real_shapes())
    os.makedirs(CACHE, exist_ok=True)
    seq_path = os.path.join(CACHE, "seq5m.txt")
    if not os.path.exists(seq_path):
        with open(seq_path + ".tmp", "w") as f:
            f.write("".join(random.Random(5).choices("ACGT", k=5_000_000)))
        os.replace(seq_path + ".tmp", seq_path)
    only = set(args.only.split(",")) if args.only else None
    ks = [int(x) for x in args.k.split(",")] if args.k else None
    keeps = [args.keep == "keep"] if args.keep else ([False] if args.quick else [False, True])
    peers = args.peers.split(",") if args.peers else (["pyfastx+numba"] if args.quick else FASTA_PEERS)
    print(f"CPU: {cpu_name()}, {os.cpu_count()} cores; counting loops dispatched: {dispatched()}")
    print("ratios: peer / nuvek (above 1: nuvek faster); floor / nuvek; times in ms, best of "
          f"{repeat} calls or more (dropped: up to {MAX_CALLS} in {MIN_SECONDS} s) after a warm-up, each side in "
          f"its own process ({PROCESSES} processes when results are kept or a side holds over {SETTLE_AFTER_MB} MB)")
    out = open(args.json, "a") if args.json else None

    cells = []
    for name, path in shapes.items():
        if only is None or name in only:
            cells += [(name, path, k, "fasta") for k in (ks or [4, 6, 8, 10])]
    if only is None or "seq5m" in only:
        cells += [("seq5m", seq_path, k, "seq") for k in (ks or [4, 6, 8, 10, 11, 12])]
    described = set()
    for name, path, k, kind in cells:
        if name not in described:
            described.add(name)
            print(f"\n## {name}: " + (describe(path) if kind == "fasta" else "one 5 Mbp sequence"))
            print("| k | results | nuvek | nuvek + numpy.asarray | fastest peer | ratio | ratio (exported) "
                  "| floor | floor ratio (exported) | peak MB nuvek/exported/peer | kept MB nuvek/exported/peer |")
            print("|---|---|---|---|---|---|---|---|---|---|---|")
        records = 1 if kind == "seq" else sum(1 for line in open(path) if line.startswith(">"))
        if records * 8 * 4**k > 4 << 30:
            # every side would hold its dense vectors: more memory than a shared machine has to spare
            print(f"| {k} | – | not run: {records} dense vectors of 4^{k} counters take "
                  f"{records * 8 * 4**k / 1e9:.0f} GB |")
            continue
        for keep in keeps:
            prefix = "seq:" if kind == "seq" else ""
            plain = run_side(prefix + "nuvek", path, k, False, keep, repeat, budget)
            exported = run_side(prefix + "nuvek", path, k, True, keep, repeat, budget)
            peer_results = {}
            for peer in [] if args.nuvek_only else (SEQ_PEERS if kind == "seq" else peers):
                if kind == "fasta" and peer.endswith("numpy") and k > 8 and args.quick:
                    continue
                peer_results[peer] = run_side(prefix + peer, path, k, False, keep, repeat, budget)
            floor = None if args.no_floor or args.nuvek_only or kind == "seq" else run_side("floor", path, k, False, keep, repeat, budget)
            good = {p: r for p, r in peer_results.items() if "best" in r}
            fastest = min(good, key=lambda p: good[p]["best"]) if good else None
            row = {"shape": name, "k": k, "keep": keep, "nuvek": plain, "exported": exported,
                   "peers": peer_results, "floor": floor, "fastest": fastest}
            if out:
                out.write(json.dumps(row) + "\n")
                out.flush()
            if args.nuvek_only and "best" in plain and "best" in exported:
                print(f"| {k} | {'kept' if keep else 'dropped'} | {fmt_ms(plain['best'])} | {fmt_ms(exported['best'])} "
                      f"| | | | | | {plain['maxrss_mb']:.0f}/{exported['maxrss_mb']:.0f} | {plain['kept_mb']:.0f}/{exported['kept_mb']:.0f} |",
                      flush=True)
                continue
            if "best" not in plain or "best" not in exported or not fastest:
                print(f"| {k} | {'kept' if keep else 'dropped'} | failed: {plain.get('error')} "
                      f"{exported.get('error')} {[r.get('error') for r in peer_results.values()]} |")
                continue
            pb = good[fastest]["best"]
            floor_txt = fmt_ms(floor["best"]) if floor and "best" in floor else "–"
            floor_ratio = f"{floor['best'] / exported['best']:.2f}x" if floor and "best" in floor else "–"
            print(f"| {k} | {'kept' if keep else 'dropped'} | {fmt_ms(plain['best'])} | {fmt_ms(exported['best'])} "
                  f"| {fastest} {fmt_ms(pb)} | {pb / plain['best']:.2f}x | {pb / exported['best']:.2f}x "
                  f"| {floor_txt} | {floor_ratio} "
                  f"| {plain['maxrss_mb']:.0f}/{exported['maxrss_mb']:.0f}/{good[fastest]['maxrss_mb']:.0f} "
                  f"| {plain['kept_mb']:.0f}/{exported['kept_mb']:.0f}/{good[fastest]['kept_mb']:.0f} |", flush=True)


if __name__ == "__main__":
    main()
