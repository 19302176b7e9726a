"""Reference and memory leaks: every callable, success and failure paths.

Each operation is run many times; afterwards the process's resident memory
must have stopped growing and the reference counts of the argument objects
must be what they were before.
"""
import collections.abc
import gc
import os
import pathlib
import sys

import pytest

import nuvek  # noqa: F401
from nuvek.fasta import DnaSequence
from nuvek.hmmer.tophit import Hit, TopHitFile
from nuvek.kmer import (
    KmerCountResult,
    get_kmer_count_fasta,
    get_kmer_count_seq,
    get_kmer_profile_fasta,
    get_kmer_to_idx,
    get_possible_kmers,
)
from nuvek.util.accession import canonical_gid


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def swallow(fn, *args, **kwargs):
    """Calls fn, swallowing the expected failures (internal failures too)."""
    try:
        return fn(*args, **kwargs)
    except (TypeError, ValueError, OverflowError, RuntimeError, MemoryError, UnicodeEncodeError):
        return None
    except BaseException as exc:  # noqa: BLE001
        if type(exc).__name__ != "PanicException":
            raise
        return None


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    root = tmp_path_factory.mktemp("leaks")
    fasta = root / "g.fa"
    fasta.write_text(">s1 first\nACGTACGTAC\n>s2\nGGGCCCAAATTT\n")
    bad_fasta = root / "bad.fa"
    bad_fasta.write_text(">s1\nACGN\n")
    tophits = root / "t.tsv"
    table = TopHitFile(str(tophits))
    table.add_hit("g1", "F1", 1e-10, 50.0)
    table.write()
    bad_tophits = root / "bad.tsv"
    bad_tophits.write_text("Gene Id\tTop hits\ng1\tF1,x,1\n")
    return {"fasta": str(fasta), "bad_fasta": str(bad_fasta), "tophits": str(tophits),
            "bad_tophits": str(bad_tophits), "dir": str(root), "missing": str(root / "missing")}


def operations(files):
    seq = "ACGT" * 64
    gid = "RS_GCF_000005845.2"
    hit = Hit("g1", "F1", 1e-10, 50.0)
    other = Hit("g1", "F2", 1e-5, 50.0)
    table = TopHitFile(files["tophits"])
    table.add_hit("g1", "F1", 1e-10, 50.0)
    scratch = TopHitFile(os.path.join(files["dir"], "scratch", "w.tsv"))

    class CallsBack:
        def __float__(self):
            table.contains_gene_id("g1")
            return 1.0

    class BadLen(collections.abc.Sequence):
        def __len__(self):
            raise TypeError("no length")

        def __getitem__(self, i):
            raise IndexError(i)

    dense = get_kmer_count_seq(seq, 4, True)
    huge = get_kmer_count_seq(seq[:40], 31, False)
    args = [seq, gid, hit, other, table, dense, huge]
    ops = {
        "canonical_gid": lambda: canonical_gid(gid),
        "canonical_gid wrong type": lambda: swallow(canonical_gid, b"x"),
        "canonical_gid missing": lambda: swallow(canonical_gid),
        "canonical_gid keyword": lambda: swallow(canonical_gid, gid=gid, x=1),
        "DnaSequence": lambda: DnaSequence(seq).rev_complement().seq,
        "DnaSequence wrong type": lambda: swallow(DnaSequence, 1),
        "get_possible_kmers": lambda: get_possible_kmers(3),
        "get_kmer_to_idx": lambda: get_kmer_to_idx(3),
        "k too large": lambda: swallow(get_possible_kmers, 40),
        "k out of range": lambda: swallow(get_possible_kmers, 256),
        "get_kmer_count_seq": lambda: get_kmer_count_seq(seq, 4, True).counts,
        "count lookup failure": lambda: swallow(get_kmer_count_seq, seq + "N", 4, True),
        "count boundary failure": lambda: swallow(get_kmer_count_seq, "AA\u00e9", 2, False),
        "count huge k": lambda: swallow(get_kmer_count_seq, seq, 40, False),
        "count bad bool": lambda: swallow(get_kmer_count_seq, seq, 4, 1),
        "KmerCountResult": lambda: KmerCountResult(2, 5, [1, 2]).counts,
        "KmerCountResult str": lambda: swallow(KmerCountResult, 2, 5, "12"),
        "KmerCountResult negative": lambda: swallow(KmerCountResult, 2, 5, [1, -2]),
        "get_kmer_count_fasta": lambda: get_kmer_count_fasta(files["fasta"], 3, True),
        "get_kmer_count_fasta path-like": lambda: get_kmer_count_fasta(pathlib.Path(files["fasta"]), 3, True),
        "fasta bytes path": lambda: swallow(get_kmer_count_fasta, files["fasta"].encode(), 3, True),
        "skip_invalid keyword": lambda: get_kmer_count_seq(seq, 4, True, skip_invalid=False),
        "skip_invalid positional": lambda: swallow(get_kmer_count_seq, seq, 4, True, False),
        "skip_invalid not a bool": lambda: swallow(get_kmer_count_seq, seq, 4, True, skip_invalid=1),
        "buffer dense": lambda: memoryview(dense).tolist(),
        "buffer sparse": lambda: memoryview(get_kmer_count_seq(seq[:20], 9, False)).tolist(),
        "buffer view outlives result": lambda: memoryview(KmerCountResult(1, 0, [1, 2, 3, 4])).tolist(),
        "buffer huge sparse": lambda: swallow(memoryview, huge),
        "counts with failing len": lambda: swallow(KmerCountResult, 1, 0, BadLen()),
        "TopHitFile path-like": lambda: TopHitFile(pathlib.Path(files["tophits"])).path,
        "fasta missing file": lambda: swallow(get_kmer_count_fasta, files["missing"], 3, True),
        "fasta directory": lambda: swallow(get_kmer_count_fasta, files["dir"], 3, True),
        "fasta bad letter": lambda: swallow(get_kmer_count_fasta, files["bad_fasta"], 2, False),
        "profile": lambda: (lambda p: (p.ids, p.starts, p.ends, p.totals, p.columns, memoryview(p).tolist()))(
            get_kmer_profile_fasta(files["fasta"], 3)),
        "profile windows": lambda: memoryview(get_kmer_profile_fasta(
            files["fasta"], 2, canonical=False, window=4, step=3, skip_invalid=True)).tolist(),
        "profile view outlives it": lambda: memoryview(get_kmer_profile_fasta(files["fasta"], 4)).tolist(),
        "profile bad letter": lambda: swallow(get_kmer_profile_fasta, files["bad_fasta"], 2, window=2),
        "profile missing file": lambda: swallow(get_kmer_profile_fasta, files["missing"], 3),
        "profile bad k": lambda: swallow(get_kmer_profile_fasta, files["fasta"], 13),
        "profile bad window": lambda: swallow(get_kmer_profile_fasta, files["fasta"], 3, window=2),
        "profile bad flag": lambda: swallow(get_kmer_profile_fasta, files["fasta"], 3, canonical=1),
        "Hit": lambda: (repr(hit), hit.hmm_str(), hit.gene_id, hit.hmm_id, hit.e_val, hit.bit_score),
        "Hit comparisons": lambda: (hit < other, hit <= other, hit == other, hit != other, hit > other, hit >= other),
        "Hit against int": lambda: (hit == 5, swallow(lambda: hit < 5)),
        "Hit hash": lambda: swallow(hash, hit),
        "Hit wrong type": lambda: swallow(Hit, 1, "F", 1.0, 2.0),
        "TopHitFile lookups": lambda: (
            table.contains_gene_id("g1"),
            table.contains_gene_hmm("g1", "F1"),
            table.get_top_hit("g1"),
            table.get_hmm_hit("g1", "F1"),
            table.get_top_hit("none"),
            table.path,
        ),
        "TopHitFile add_hit": lambda: table.add_hit("g1", "F1", 1e-10, 50.0),
        "TopHitFile borrow conflict": lambda: swallow(table.add_hit, "g1", "F1", CallsBack(), 1.0),
        "TopHitFile write": lambda: scratch.write(),
        "TopHitFile read": lambda: TopHitFile(files["tophits"]).read(),
        "TopHitFile read missing": lambda: swallow(TopHitFile(files["missing"]).read),
        "TopHitFile read bad": lambda: swallow(TopHitFile(files["bad_tophits"]).read),
        "TopHitFile write bad id": lambda: swallow(_bad_id_table(files).write),
    }
    return ops, args


def _bad_id_table(files):
    t = TopHitFile(os.path.join(files["dir"], "never.tsv"))
    t.add_hit("g\t1", "F", 1.0, 1.0)
    return t


def test_no_reference_leaks(files):
    ops, args = operations(files)
    for name, op in ops.items():
        for _ in range(20):
            op()
        gc.collect()
        before = [sys.getrefcount(a) for a in args]
        for _ in range(200):
            op()
        gc.collect()
        assert [sys.getrefcount(a) for a in args] == before, name


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer holds freed memory in quarantine; its leak checker covers this run",
)
def test_memory_stops_growing(files):
    ops, _ = operations(files)
    rounds = 2000 if os.environ.get("PYTHONMALLOC") != "malloc" else 300
    for op in ops.values():
        for _ in range(rounds // 4):
            op()
    gc.collect()
    before = rss_bytes()
    for op in ops.values():
        for _ in range(rounds):
            op()
    gc.collect()
    grown = rss_bytes() - before
    assert grown < 4 * 1024 * 1024, f"resident memory grew by {grown} bytes"
