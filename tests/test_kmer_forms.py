"""Every way the counter holds counts (window codes, a sparse table, the dense
table, the wide table) and every form of result (dense, sparse, narrow) give
the counts of a plain reference, at the numbers of windows just below, at
and just above each change of form, for k from 1 to 12, one strand or both,
strict or skipping invalid letters; and the exported buffer equals `counts`
however often it is taken."""
import array
import collections
import gzip
import random
import re

import pytest

from nuvek.kmer import get_kmer_count_fasta, get_kmer_count_seq

pytestmark = pytest.mark.engine

COMPLEMENT = str.maketrans("ACGT", "TGCA")
DIGITS = str.maketrans("ACGT", "0123")


def reference(seq, k, rc, skip):
    """Column -> count; with skip, lower-case bases count as upper-case and
    windows holding any other letter are left out."""
    if skip:
        seq = seq.upper()
    runs = re.split("[^ACGT]+", seq) if skip else [seq]
    counts = collections.Counter()
    for run in runs:
        # windows of base-4 digits: a window's column is int(digits, 4)
        digits = run.translate(DIGITS)
        counts.update(digits[i : i + k] for i in range(len(digits) - k + 1))
        if rc:
            back = run.translate(COMPLEMENT)[::-1].translate(DIGITS)
            counts.update(back[i : i + k] for i in range(len(back) - k + 1))
    return {int(window, 4): c for window, c in counts.items()}


def expected_bytes(ref, k):
    out = array.array("Q", bytes(8 * 4**k))
    for col, c in ref.items():
        out[col] = c
    return out.tobytes()  # native order, as the buffer's format "Q" is


def wide_step(k):
    return 3 if k <= 4 else 2 if k <= 7 else 1


def switch_windows(k, rc):
    """Numbers of windows around each change of form for k."""
    strands = 2 if rc else 1
    size = 4**k
    dense_from = (size + 2 * strands - 1) // (2 * strands)
    points = {dense_from} | ({size // 2, size} if k <= 8 else set())
    if wide_step(k) > 1:
        points.add(4 * 4 ** (k + wide_step(k) - 1))
    if k == 6:
        # a sparse count's result turns narrow when its entries would take
        # more than 8 KB: about 1024 / strands distinct columns, which random
        # windows reach a little later
        points.update(1024 // strands + d for d in (0, 16, 48))
    if k >= 11:
        # hashed and sorted codes; the switch to the table at k = 11 only
        # (at k = 12 it takes millions of windows)
        points = {4096 // strands} | ({dense_from} if k == 11 else set())
    # window codes (a sequence of known length under the dense switch, or
    # k >= 10): counted in a small hash table up to 256, sorted beyond
    points.add(256)
    windows = set()
    for p in points:
        windows.update(w for w in (p - 1, p + 1) if w >= 1)
    windows.update({1, 2, 100})
    return sorted(windows)


def make_seq(rng, windows, k, skip):
    seq = "".join(rng.choices("ACGT", k=windows + k - 1))
    if skip and len(seq) > 20:
        s = list(seq)
        for i in rng.sample(range(len(s)), max(1, len(s) // 500)):
            s[i] = rng.choice("acgtN")
        seq = "".join(s)
    return seq


def check(result, seq, k, rc, skip):
    ref = reference(seq, k, rc, skip)
    assert result.k == k
    assert result.total == sum(ref.values())
    want = expected_bytes(ref, k)
    # exported twice: the second export reads what the first one built
    for _ in range(2):
        assert memoryview(result).cast("B").tobytes() == want
    if k <= 9:
        counts = result.counts
        assert len(counts) == 4**k
        assert {i: c for i, c in enumerate(counts) if c} == ref
        assert memoryview(result).cast("B").tobytes() == want


K_CASES = [(k, rc) for k in range(1, 11) for rc in (True, False)] + [(11, True), (12, True)]


@pytest.mark.parametrize("skip", [False, True])
@pytest.mark.parametrize("k, rc", K_CASES)
def test_sequences_around_every_change_of_form(k, rc, skip):
    rng = random.Random(k * 31 + rc * 7 + skip)
    for windows in switch_windows(k, rc):
        seq = make_seq(rng, windows, k, skip)
        check(get_kmer_count_seq(seq, k, rc, skip_invalid=skip), seq, k, rc, skip)


@pytest.mark.parametrize("skip", [False, True])
@pytest.mark.parametrize("k, rc", K_CASES)
def test_fasta_records_around_every_change_of_form(tmp_path, k, rc, skip):
    rng = random.Random(k * 37 + rc * 11 + skip)
    records = [(f"r{i}", make_seq(rng, w, k, skip)) for i, w in enumerate(switch_windows(k, rc))]
    # short records between long ones: the counter's tables are reused
    records += [(f"short{i}", make_seq(rng, 3, k, skip)) for i in range(3)]
    path = tmp_path / "forms.fa"
    with open(path, "w") as f:
        for rid, seq in records:
            f.write(f">{rid}\n")
            for i in range(0, len(seq), 60):
                f.write(seq[i : i + 60] + "\n")
    results = get_kmer_count_fasta(str(path), k, rc, skip_invalid=skip)
    assert sorted(results) == sorted(rid for rid, _ in records)
    for rid, seq in records:
        check(results[rid], seq, k, rc, skip)


@pytest.mark.parametrize("k", [5, 8, 10])
def test_palindromes_and_partners_of_sparse_results(k):
    # A palindrome counts twice per window; a column whose reverse
    # complement never occurs forward still gets the reverse strand's count.
    pal = ("ACGT" * 3)[: k + (k % 2)]
    seq = pal + "A" * k + "C" * k
    check(get_kmer_count_seq(seq, k, True), seq, k, True, False)


@pytest.mark.parametrize("k", [4, 6, 8, 10])
def test_exports_in_memory_of_dropped_exports(k):
    # An exported vector goes back to be handed out again once its result
    # dies: a later export into it must show none of the earlier counts.
    rng = random.Random(k)
    for _ in range(3):
        crowded = "".join(rng.choices("ACGT", k=min(4**k // 3, 20000) + k - 1))
        first = get_kmer_count_seq(crowded, k, True)
        view = memoryview(first)
        assert view.cast("B").tobytes() == expected_bytes(reference(crowded, k, True, False), k)
        del first, view
        for sparse in ("A" * (k + 2), "ACGT" * k, "C" * k + "acgtN" + "G" * k):
            check(get_kmer_count_seq(sparse, k, True, skip_invalid=True), sparse, k, True, True)


def test_large_exports_alive_together(tmp_path):
    # Exports of 8 MB and more are fresh mappings cut to a 2 MiB boundary:
    # a dozen alive at once, each dropped one at a time, stay apart.
    rng = random.Random(1011)
    seqs = {f"r{i}": make_seq(rng, rng.choice([3, 300, 3000]), 10, True) for i in range(12)}
    path = tmp_path / "large.fa"
    path.write_text("".join(f">{rid}\n{seq}\n" for rid, seq in seqs.items()))
    results = get_kmer_count_fasta(str(path), 10, True, skip_invalid=True)
    views = {rid: memoryview(r) for rid, r in results.items()}
    for rid in list(seqs):
        for other, seq in seqs.items():
            if other in views:
                assert views[other].cast("B").tobytes() == expected_bytes(reference(seq, 10, True, True), 10)
        del views[rid], results[rid]


@pytest.mark.parametrize("k", [4, 6, 8])
def test_tables_of_calls_that_stop_mid_record(tmp_path, k, panic_type):
    # A call hands the tables it ends with, zeroed, to the next call. One
    # that stops inside a record (a cut-off gzip stream, an invalid letter)
    # has counted into them: the next call must not see those counts.
    rng = random.Random(k * 7)
    first = "".join(rng.choices("ACGT", k=60000))
    good = {"a": "".join(rng.choices("ACGT", k=30000)), "b": "".join(rng.choices("ACGT", k=300))}
    cut = tmp_path / "cut.fa.gz"
    packed = gzip.compress(f">x\n{first}\n".encode())
    cut.write_bytes(packed[: len(packed) // 2])
    bad = tmp_path / "bad.fa"
    bad.write_text(f">x\n{first[:40000]}N{first[40000:]}\n")
    clean = tmp_path / "clean.fa"
    clean.write_text("".join(f">{rid}\n{seq}\n" for rid, seq in good.items()))
    for broken in (cut, bad, cut):
        with pytest.raises(panic_type):
            get_kmer_count_fasta(str(broken), k, True)
        results = get_kmer_count_fasta(str(clean), k, True)
        for rid, seq in good.items():
            check(results[rid], seq, k, True, False)


@pytest.mark.parametrize("k, records", [(6, 60), (8, 600)])
def test_exports_of_many_records_reused_across_calls(tmp_path, k, records):
    # Exports dropped by one call are handed to the next call's results, in
    # another order: sparse ones that set few counters, narrow ones (k = 6)
    # that set them all; at k = 8, 600 exports (300 MB) also pass the part
    # of the kept memory whose pages are offered back to the kernel.
    rng = random.Random(k * 101)
    seqs = {}
    for i in range(records):
        windows = rng.choice([1, 5, 40, 600, 2000])
        seqs[f"r{i}"] = make_seq(rng, windows, k, True)
    want = {rid: expected_bytes(reference(seq, k, True, True), k) for rid, seq in seqs.items()}
    for round_ in range(3):
        order = list(seqs)
        rng.shuffle(order)
        path = tmp_path / f"round{round_}.fa"
        with open(path, "w") as f:
            for rid in order:
                f.write(f">{rid}\n{seqs[rid]}\n")
        results = get_kmer_count_fasta(str(path), k, True, skip_invalid=True)
        views = {rid: memoryview(r) for rid, r in results.items()}
        for rid in order:
            assert views[rid].cast("B").tobytes() == want[rid], (round_, rid)
        # half of them die before the rest are checked again
        for rid in order[::2]:
            del views[rid], results[rid]
        for rid in order[1::2]:
            assert memoryview(results[rid]).cast("B").tobytes() == want[rid], (round_, rid)
        del views, results


@pytest.mark.parametrize("k", [10, 11])
@pytest.mark.parametrize("rc", [True, False])
def test_sorted_codes_of_few_distinct_kmers(k, rc):
    # Tens of thousands of windows of one to four distinct k-mers: passes of
    # the sort whose digit is the same for every code are skipped.
    for seq in ("A" * 30000, "AC" * 15000, "ACGT" * 8000, "A" * 20000 + "C" * 20000):
        check(get_kmer_count_seq(seq, k, rc), seq, k, rc, False)


@pytest.mark.parametrize("k", [3, 5, 6])
def test_exported_narrow_results_outlive_later_calls(tmp_path, k):
    # A narrow result reads from its exported vector once it has one; the
    # memory of its narrow counters goes to the next call's results, which
    # are counted while the first call's results live on.
    rng = random.Random(k)
    first = {f"a{i}": make_seq(rng, rng.choice([3, 60, 900]), k, True) for i in range(40)}
    second = {f"a{i}": make_seq(rng, rng.choice([3, 60, 900]), k, True) for i in range(40)}
    paths = []
    for name, seqs in (("first", first), ("second", second)):
        path = tmp_path / f"{name}.fa"
        path.write_text("".join(f">{rid}\n{seq}\n" for rid, seq in seqs.items()))
        paths.append(str(path))
    kept = get_kmer_count_fasta(paths[0], k, True, skip_invalid=True)
    for r in kept.values():
        memoryview(r).release()
    later = get_kmer_count_fasta(paths[1], k, True, skip_invalid=True)
    for seqs, results in ((first, kept), (second, later)):
        for rid, seq in seqs.items():
            check(results[rid], seq, k, True, True)
