"""get_kmer_count_fasta against Python FASTA readers feeding numpy/numba counters.

Generates into a temporary directory a 5 Mbp genome of 100 contigs (60-column
lines) and 100,000 reads of 150 bp, then times, in this process and best of
several runs:

- reading alone: nuvek at k = 0 without the reverse complement (one counter
  per record, so this is the reader's own speed) against each peer reader
  just iterating (id, sequence) pairs;
- counting with the reverse complement at k = 4 and 8: nuvek against every
  installed peer reader (pyfastx, pysam FastxFile, dnaio, Biopython SeqIO)
  feeding the numpy and numba counters of kmer_peers.py, each keeping one
  count vector per record id (dense, or sparse when 4^k is large, as a user
  would to keep 100,000 vectors in memory: numpy then counts with np.unique,
  numba counts into one reused vector and takes its non-zero entries). On the
  reads only the fastest reader feeds the counters, to keep the run short.

nuvek runs under a data-size limit of its current use plus 2 GiB; the rise
of the process's peak resident memory during one run is printed. A nuvek case whose projected time (from a run on
a small prefix of the file) exceeds the budget is skipped and says so.

Run: PYTHONPATH=build-dev python3 benchmarks/bench_fasta.py
"""
import ctypes
import os
import random
import resource
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kmer_peers import encode, numba_count_into, numpy_count  # noqa: E402

from nuvek.kmer import get_kmer_count_fasta  # noqa: E402

BUDGET_S = 15.0  # longest projected nuvek run still timed
GIB = 1 << 30


def best_of(fn, repeat):
    """Best wall time of up to repeat runs; a run over a second is not repeated."""
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
        if best > 1.0:
            break
    return best


# ---------------------------------------------------------------------------
# Data


def write_fasta(path, records, width):
    with open(path, "w") as f:
        for rid, seq in records:
            f.write(f">{rid} generated record\n")
            for i in range(0, len(seq), width):
                f.write(seq[i : i + width] + "\n")


def random_seq(rng, n):
    return rng.choices("ACGT", k=n)


def make_data(tmp):
    rng = random.Random(7)
    genome = [(f"contig_{i}", "".join(random_seq(rng, 50_000))) for i in range(100)]
    reads = [(f"read_{i}", "".join(random_seq(rng, 150))) for i in range(100_000)]
    files = {}
    for name, records, width in [("genome", genome, 60), ("reads", reads, 150)]:
        files[name] = os.path.join(tmp, f"{name}.fa")
        write_fasta(files[name], records, width)
        # a prefix of the file for projecting slow runs
        files[name + "-probe"] = os.path.join(tmp, f"{name}-probe.fa")
        write_fasta(files[name + "-probe"], records[: max(1, len(records) // 1000)], width)
    return files


# ---------------------------------------------------------------------------
# Peer readers: each yields (id, sequence) pairs


def peer_readers():
    readers = {}
    try:
        import pyfastx

        readers["pyfastx"] = lambda path: iter(pyfastx.Fasta(path, build_index=False))
    except ImportError:
        pass
    try:
        import pysam

        def read_pysam(path):
            with pysam.FastxFile(path) as f:
                for entry in f:
                    yield entry.name, entry.sequence

        readers["pysam"] = read_pysam
    except ImportError:
        pass
    try:
        import dnaio

        def read_dnaio(path):
            with dnaio.open(path) as f:
                for record in f:
                    yield record.name.split(None, 1)[0], record.sequence

        readers["dnaio"] = read_dnaio
    except ImportError:
        pass
    try:
        from Bio import SeqIO

        readers["Biopython"] = lambda path: ((r.id, str(r.seq)) for r in SeqIO.parse(path, "fasta"))
    except ImportError:
        pass
    return readers


def dense(k):
    """Whether a user would keep one full vector per record."""
    return 4**k <= 4096


def numpy_sparse(seq, k, rc):
    """Non-zero columns and their counts: rolling index by shifts, np.unique."""
    codes = encode(seq)
    n = codes.size - k + 1
    if n <= 0:
        return np.zeros(0, dtype=np.int64), np.zeros(0, dtype=np.int64)
    strands = [codes, 3 - codes[::-1]] if rc else [codes]
    index = np.zeros((len(strands), n), dtype=np.int64)
    for row, strand in zip(index, strands):
        for j in range(k):
            row <<= 2
            row |= strand[j : j + n]
    return np.unique(index, return_counts=True)


def with_numpy(reader, path, k, rc):
    if dense(k):
        return {rid: numpy_count(seq, k, rc) for rid, seq in reader(path)}
    return {rid: numpy_sparse(seq, k, rc) for rid, seq in reader(path)}


def with_numba(reader, path, k, rc):
    buf = np.zeros(4**k, dtype=np.int64)
    out = {}
    for rid, seq in reader(path):
        numba_count_into(encode(seq), k, rc, buf)
        if dense(k):
            out[rid] = buf.copy()
            buf.fill(0)
        else:
            nz = np.flatnonzero(buf)
            out[rid] = (nz, buf[nz])
            buf[nz] = 0
    return out


def drain(reader, path):
    for _ in reader(path):
        pass


# ---------------------------------------------------------------------------
# nuvek, bounded in time and memory


def status(field):
    """A size field of /proc/self/status in bytes."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return 0


def peak_rss_growth(fn):
    """Runs fn with the peak-RSS mark reset; returns how far the peak rose."""
    ctypes.CDLL(None).malloc_trim(0)  # hand back what earlier runs freed
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status("VmRSS")
    fn()
    return status("VmHWM") - before


def time_nuvek(files, name, k, rc, repeat):
    """(seconds, peak bytes, note): best time, or None with the reason."""
    probe = files[name + "-probe"]
    t0 = time.perf_counter()
    get_kmer_count_fasta(probe, k, rc)
    projected = (time.perf_counter() - t0) * os.path.getsize(files[name]) / os.path.getsize(probe)
    if projected > BUDGET_S:
        return None, 0, f"skipped: projected {projected:.0f} s"
    soft, hard = resource.getrlimit(resource.RLIMIT_DATA)
    resource.setrlimit(resource.RLIMIT_DATA, (status("VmData") + 2 * GIB, hard))
    try:
        peak = peak_rss_growth(lambda: get_kmer_count_fasta(files[name], k, rc))
        best = best_of(lambda: get_kmer_count_fasta(files[name], k, rc), repeat)
    except MemoryError:
        return None, 0, "MemoryError above 2 GiB"
    finally:
        resource.setrlimit(resource.RLIMIT_DATA, (soft, hard))
    return best, peak, ""


# ---------------------------------------------------------------------------


def fmt(seconds):
    return f"{seconds * 1e3:9.1f} ms"


def report(title, nuvek, peers):
    """Prints nuvek's time and each peer's with the ratio peer/nuvek."""
    t, peak, note = nuvek
    print(f"\n{title}")
    if t is None:
        print(f"  {'nuvek':<26} {note}")
    else:
        print(f"  {'nuvek':<26} {fmt(t)}   peak memory +{peak / 2**20:.0f} MiB")
    for label, pt in sorted(peers.items(), key=lambda item: item[1]):
        ratio = f"nuvek {pt / t:5.2f}x faster" if t else ""
        print(f"  {label:<26} {fmt(pt)}   {ratio}")
    return t


def goal(text, t, peers, prefix, factor):
    """Prints whether nuvek beats the fastest peer with a label starting with prefix by factor."""
    candidates = {label: pt for label, pt in peers.items() if label.endswith(prefix)}
    if t is None or not candidates:
        print(f"  goal {text}: not measured")
        return
    label = min(candidates, key=candidates.get)
    ratio = candidates[label] / t
    print(f"  goal {text}: {ratio:.2f}x against {label} -> {'met' if ratio >= factor else 'NOT met'}")


def main():
    readers = peer_readers()
    print("peer readers:", ", ".join(readers) or "none", "| numba:", "yes" if numba_count_into else "no")
    with tempfile.TemporaryDirectory() as tmp:
        files = make_data(tmp)
        if numba_count_into:  # compile before timing
            numba_count_into(encode("ACGT" * 10), 4, True, np.zeros(256, dtype=np.int64))

        for name in ["genome", "reads"]:
            path, size = files[name], os.path.getsize(files[name])
            repeat = 3 if name == "reads" else 5
            # reading alone
            peers = {label: best_of(lambda r=r: drain(r, path), repeat) for label, r in readers.items()}
            t = report(f"{name} ({size / 1e6:.1f} MB): reading alone (nuvek: k = 0, no reverse complement)",
                       time_nuvek(files, name, 0, False, repeat), peers)
            if t:
                print(f"  nuvek reads {size / t / 1e9:.2f} GB/s (goal: over 1 GB/s)")
            fastest = min(peers, key=peers.get) if peers else None
            feeding = list(readers) if name == "genome" else [fastest] if fastest else []
            for k in [4, 8]:
                peers = {}
                for label in feeding:
                    peers[f"{label} + numpy"] = best_of(lambda r=readers[label]: with_numpy(r, path, k, True), repeat)
                    if numba_count_into:
                        peers[f"{label} + numba"] = best_of(
                            lambda r=readers[label]: with_numba(r, path, k, True), repeat)
                t = report(f"{name}: k = {k}, with reverse complement", time_nuvek(files, name, k, True, repeat),
                           peers)
                if name == "genome":
                    goal("2.5x the fastest reader + numpy", t, peers, "numpy", 2.5)
                    goal("1.2x the fastest reader + numba", t, peers, "numba", 1.2)
                else:
                    goal("3x the fastest reader + numba", t, peers, "numba", 3.0)


if __name__ == "__main__":
    main()
