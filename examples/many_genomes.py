"""K-mer profiles of many genomes at once: a directory of FASTA files (plain
or gzip-compressed) to one matrix, one row per genome.

Usage:
    python examples/many_genomes.py DIR [--k K] [--workers N] [--dask [ADDRESS]] [--out MATRIX.tsv]
                                        [--strict]

nuvek holds the interpreter lock for a whole call, so threads do not run
genomes side by side: processes do. Each worker process counts one genome
and sends back a plain numpy array; nuvek's own objects and its internal
failure (PanicException) cannot be pickled, so none of them crosses a
process boundary. An internal failure is turned into GenomeError, an
ordinary picklable exception that keeps the message and its notes.

Without --dask the genomes run on a concurrent.futures.ProcessPoolExecutor
of N local processes (default: one per core). With --dask they run on a Dask
distributed cluster: at ADDRESS when given (a scheduler of a cluster of
many machines, which all need nuvek installed and the files at the same
path), else on a LocalCluster of N single-threaded workers.

Row i of the matrix holds genome i's k-mer frequencies (both strands,
summed over its contigs), in nuvek's column order; genomes are sorted by
file name.

Real assemblies carry runs of N and soft-masked (lower-case) bases, so
windows holding anything but A, C, G, T are skipped and lower-case bases
count as upper case (skip_invalid); --strict makes such a letter fail the
genome instead. A genome that fails is reported on standard error with its
message and notes and left out of the matrix; the other genomes' rows are
still written, and the exit status is 1 when any genome failed.
"""
import argparse
import importlib
import os
import sys
import time
from collections.abc import Sequence
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path
from typing import Any, Optional

# (mypy may run where numpy is not installed)
import numpy as np  # type: ignore[import-not-found,unused-ignore]

FASTA_SUFFIXES = (".fa", ".fna", ".fasta", ".fa.gz", ".fna.gz", ".fasta.gz")


class GenomeError(Exception):
    """A genome that could not be counted. Picklable, unlike PanicException;
    args[0] is the original message (with the file name in front), and the
    original's notes (e.g. where the failure happened) are carried over."""

    def __init__(self, message: str, notes: Sequence[str] = ()) -> None:
        super().__init__(message)
        if notes:
            self.__notes__ = list(notes)  # shown by tracebacks on Python 3.11+

    def __reduce__(self) -> tuple[type["GenomeError"], tuple[str, tuple[str, ...]]]:
        return (type(self), (self.args[0], tuple(getattr(self, "__notes__", ()))))


def counts_array(result: Any) -> Any:
    """A KmerCountResult's counters as a numpy array, through the buffer
    protocol (no copy)."""
    return np.asarray(result)


def genome_profile(path: "str | Path", k: int, skip_invalid: bool = True) -> Any:
    """Runs in a worker: the k-mer frequencies of one genome file."""
    import nuvek  # noqa: F401  (enters the dotted submodules into sys.modules)
    from nuvek.kmer import get_kmer_count_fasta

    try:
        contigs = get_kmer_count_fasta(str(path), k, True, skip_invalid=skip_invalid)
    except BaseException as exc:
        if type(exc).__name__ != "PanicException":
            raise  # KeyboardInterrupt, MemoryError and ordinary exceptions pickle as they are
        raise GenomeError(f"{Path(path).name}: {exc}", getattr(exc, "__notes__", ())) from None
    total = np.zeros(4**k, dtype=np.uint64)
    for result in contigs.values():
        total += counts_array(result)
    windows = total.sum()
    return total / windows if windows else total.astype(np.float64)


def genome_files(directory: str) -> list[Path]:
    return sorted(p for p in Path(directory).iterdir() if p.name.endswith(FASTA_SUFFIXES))


# A batch's outcome, in the order of its paths: a genome's row, or the
# exception that its worker raised.
Outcome = Any


def profiles_with_processes(paths: Sequence[Path], k: int, skip_invalid: bool, workers: int) -> list[Outcome]:
    """One outcome per path, computed on a pool of local processes."""
    with ProcessPoolExecutor(max_workers=workers) as pool:
        futures = [pool.submit(genome_profile, p, k, skip_invalid) for p in paths]
        outcomes: list[Outcome] = []
        for future in futures:
            try:
                outcomes.append(future.result())
            except Exception as exc:  # one genome's failure; KeyboardInterrupt still ends the batch
                outcomes.append(exc)
        return outcomes


def profiles_with_dask(paths: Sequence[Path], k: int, skip_invalid: bool, client: Any) -> list[Outcome]:
    """One outcome per path, computed on a Dask distributed cluster."""
    futures = client.map(genome_profile, [str(p) for p in paths], k=k, skip_invalid=skip_invalid, pure=False)
    distributed: Any = importlib.import_module("dask.distributed")
    distributed.wait(futures)
    return [f.exception() if f.status == "error" else f.result() for f in futures]


def report(path: Path, exc: BaseException) -> None:
    """A failed genome on standard error: its message, then its notes."""
    message = str(exc) if isinstance(exc, GenomeError) else f"{path.name}: {type(exc).__name__}: {exc}"
    print(f"error: {message}", file=sys.stderr)
    for note in getattr(exc, "__notes__", ()):
        print(f"  {note}", file=sys.stderr)


def main(argv: Optional[list[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("directory")
    ap.add_argument("--k", type=int, default=4)
    ap.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    ap.add_argument("--dask", nargs="?", const="local", metavar="ADDRESS")
    ap.add_argument("--out", default="profiles.tsv")
    ap.add_argument("--strict", action="store_true",
                    help="fail a genome on any letter but A, C, G, T instead of skipping its windows")
    args = ap.parse_args(argv)
    skip_invalid = not args.strict

    paths = genome_files(args.directory)
    if not paths:
        print(f"no FASTA files in {args.directory}", file=sys.stderr)
        return 1
    start = time.perf_counter()
    if args.dask:
        distributed: Any = importlib.import_module("dask.distributed")  # untyped
        if args.dask == "local":
            cluster = distributed.LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True)
            with cluster, distributed.Client(cluster) as client:
                outcomes = profiles_with_dask(paths, args.k, skip_invalid, client)
        else:
            with distributed.Client(args.dask) as client:
                outcomes = profiles_with_dask(paths, args.k, skip_invalid, client)
    else:
        outcomes = profiles_with_processes(paths, args.k, skip_invalid, args.workers)
    elapsed = time.perf_counter() - start

    failed = [path for path, outcome in zip(paths, outcomes) if isinstance(outcome, BaseException)]
    for path, outcome in zip(paths, outcomes):
        if isinstance(outcome, BaseException):
            report(path, outcome)
    rows = [(path, row) for path, row in zip(paths, outcomes) if not isinstance(row, BaseException)]
    if rows:
        with open(args.out, "w") as out:
            for path, row in rows:
                out.write(path.name + "\t" + "\t".join(f"{x:.6g}" for x in row) + "\n")
        print(f"{len(rows)} genomes, {len(rows[0][1])} columns, {elapsed:.2f} s -> {args.out}")
    if failed:
        print(f"{len(failed)} of {len(paths)} genomes failed: {', '.join(p.name for p in failed)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
