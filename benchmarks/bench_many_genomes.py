"""Speed-up of worker processes on a batch of genomes, with the example's
process pool (examples/many_genomes.py).

Writes 64 genome files of 5 Mbp (50 contigs each; every other one gzip -6;
eight distinct genomes, each written eight times)
and times the whole batch at k = 4 with 1 and with N worker processes, pool
start included, best of 5, alternating. A pure-Python busy loop on the same
pools is the control: on a machine whose other cores are busy, it shows the
speed-up the machine could give at that moment.

Run: python benchmarks/bench_many_genomes.py [N]   (default: the core count)
"""
import gzip
import os
import random
import sys
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
import many_genomes  # noqa: E402

REPEAT = 5


def spin(n):
    s = 0
    for i in range(n):
        s += i
    return s


def make_genomes(directory, distinct=8, copies=8, contigs=50, length=100_000):
    rng = random.Random(9)
    for g in range(distinct):
        text = "".join(f">c{i}\n" + "".join(rng.choices("ACGT", k=length)) + "\n" for i in range(contigs)).encode()
        packed = gzip.compress(text, 6)
        for c in range(copies):
            n = g * copies + c
            if n % 2:
                (directory / f"g{n:02d}.fa.gz").write_bytes(packed)
            else:
                (directory / f"g{n:02d}.fa").write_bytes(text)


def main():
    workers = int(sys.argv[1]) if len(sys.argv) > 1 else os.cpu_count() or 1
    with tempfile.TemporaryDirectory() as tmp:
        make_genomes(Path(tmp))
        paths = many_genomes.genome_files(tmp)
        best = {}
        for _ in range(REPEAT):
            for w in (1, workers):
                t = time.perf_counter()
                many_genomes.profiles_with_processes(paths, 4, w)
                best[("nuvek", w)] = min(best.get(("nuvek", w), float("inf")), time.perf_counter() - t)
                t = time.perf_counter()
                with ProcessPoolExecutor(w) as pool:
                    list(pool.map(spin, [300_000] * len(paths)))
                best[("busy loop", w)] = min(best.get(("busy loop", w), float("inf")), time.perf_counter() - t)
    print(f"{len(paths)} genomes of 5 Mbp, k=4, best of {REPEAT}")
    for what in ("nuvek", "busy loop"):
        one, many = best[(what, 1)], best[(what, workers)]
        print(f"{what:10s} 1 worker {one:6.3f} s, {workers} workers {many:6.3f} s, speed-up {one / many:.2f}x")


if __name__ == "__main__":
    main()
