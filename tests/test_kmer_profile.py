"""get_kmer_profile_fasta and KmerProfile against a pure-Python reference:
canonical form by string reverse complement, windows by slicing."""
import collections
import gc
import gzip
import itertools
import os
import pickle
import random
import re
import signal
import subprocess
import sys
import threading

import pytest

from nuvek.kmer import KmerProfile, get_kmer_count_fasta, get_kmer_profile_fasta

COMPLEMENT = str.maketrans("ACGT", "TGCA")
INVALID = re.compile("[^ACGT]")
VALID_RUN = re.compile("[ACGTacgt]+")
UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"


def columns_of(k, canonical):
    kmers = ["".join(p) for p in itertools.product("ACGT", repeat=k)]
    if not canonical:
        return kmers
    return sorted({min(s, s.translate(COMPLEMENT)[::-1]) for s in kmers})


def reference(records, k, canonical=True, window=0, step=0, min_length=0, skip_invalid=False):
    """(ids, starts, ends, totals, rows) of the profile; raises ValueError for
    a letter outside the bases inside a row's range (without skip_invalid)."""
    cols = columns_of(k, canonical)
    index = {s: i for i, s in enumerate(cols)}
    out = ([], [], [], [], [])
    for rid, seq in records:
        if len(seq) < min_length:
            continue
        spans = [(0, len(seq))] if window == 0 else [(a, a + window) for a in range(0, len(seq) - window + 1, step or window)]
        for a, b in spans:
            row, total = [0] * len(cols), 0
            if b - a >= k:
                if skip_invalid:
                    runs = [m.group().upper() for m in VALID_RUN.finditer(seq, a, b)]
                elif INVALID.search(seq, a, b):
                    raise ValueError(rid)
                else:
                    runs = [seq[a:b]]
                for run in runs:
                    n = len(run) - k + 1
                    back = run.translate(COMPLEMENT)[::-1]
                    for i in range(max(n, 0)):
                        w = run[i : i + k]
                        if canonical:
                            # the reverse complement of run[i:i+k]
                            w = min(w, back[len(run) - i - k : len(run) - i])
                        row[index[w]] += 1
                    total += max(n, 0)
            for lst, v in zip(out, (rid, a, b, total, row)):
                lst.append(v)
    return out


def as_tuple(p):
    return p.ids, p.starts, p.ends, p.totals, memoryview(p).tolist()


@pytest.fixture
def fasta(tmp_path):
    def write(records, name="g.fa", width=60):
        path = tmp_path / name
        text = "".join(f">{rid} d\n" + "".join(seq[i : i + width] + "\n" for i in range(0, len(seq), width))
                       for rid, seq in records)
        if name.endswith(".gz"):
            path.write_bytes(gzip.compress(text.encode()))
        else:
            path.write_text(text)
        return str(path)

    return write


def random_records(rng, lengths, alphabet="ACGT"):
    return [(f"r{i}", "".join(rng.choices(alphabet, k=n))) for i, n in enumerate(lengths)]


@pytest.mark.parametrize("k", range(1, 9))
@pytest.mark.parametrize("canonical", [True, False])
def test_records_match_reference(fasta, k, canonical):
    rng = random.Random(k * 2 + canonical)
    records = random_records(rng, [0, k - 1, k, k + 1, 50, 333, 1000])
    p = get_kmer_profile_fasta(fasta(records), k, canonical=canonical)
    assert as_tuple(p) == reference(records, k, canonical)
    assert (p.k, p.canonical, len(p)) == (k, canonical, len(records))
    assert p.columns == columns_of(k, canonical)
    n = 4**k
    assert len(p.columns) == (((n + 4 ** (k // 2)) // 2 if k % 2 == 0 else n // 2) if canonical else n)


@pytest.mark.parametrize("word", ["AT", "CG", "ACGT", "GAATTC", "ACGCGT"])
def test_palindromes_count_once(fasta, word):
    assert word == word.translate(COMPLEMENT)[::-1]
    p = get_kmer_profile_fasta(fasta([("p", word)]), len(word))
    row = memoryview(p).tolist()[0]
    assert row[p.columns.index(word)] == 1 and sum(row) == 1 == p.totals[0]
    # A k-mer and its reverse complement share one column.
    q = get_kmer_profile_fasta(fasta([("a", "AAAA"), ("t", "TTTT")], name="at.fa"), 2)
    assert memoryview(q).tolist()[0] == memoryview(q).tolist()[1]


@pytest.mark.parametrize("window,step", [(8, 0), (8, 3), (8, 4), (8, 1), (5, 7), (8, 8), (4, 12)])
@pytest.mark.parametrize("k", [1, 3, 4])
def test_windows_and_steps_around_record_lengths(fasta, window, step, k):
    if window < k:
        pytest.skip("window shorter than k")
    s = step or window
    lengths = sorted({max(0, n) for n in (window - 1, window, window + 1, window + s - 1, window + s,
                                          window + s + 1, 2 * window, 3 * window + 2, 0)})
    records = random_records(random.Random(window * 31 + step), lengths)
    p = get_kmer_profile_fasta(fasta(records), k, window=window, step=step)
    assert as_tuple(p) == reference(records, k, window=window, step=step)


@pytest.mark.parametrize("window", [0, 6])
def test_min_length_drops_short_records_unread(fasta, panic_type, window):
    records = [("short", "ACGTNAC"), ("long", "ACGTACGTACGTAC"), ("edge", "ACGTACGTAC"), ("tiny", "")]
    path = fasta(records)
    p = get_kmer_profile_fasta(path, 3, window=window, min_length=10)
    assert as_tuple(p) == reference(records, 3, window=window, min_length=10)
    assert "short" not in p.ids and "edge" in p.ids
    # Without min_length the N of the short record fails the call.
    with pytest.raises(panic_type):
        get_kmer_profile_fasta(path, 3, window=window)


@pytest.mark.parametrize("k", [1, 4, 5])
@pytest.mark.parametrize("window,step", [(0, 0), (9, 4), (6, 10)])
def test_n_and_lower_case_with_skip_invalid(fasta, k, window, step):
    rng = random.Random(k + window)
    records = random_records(rng, [3, 10, 57, 200, 401], alphabet="ACGTACGTACGTacgtNNRy-")
    p = get_kmer_profile_fasta(fasta(records), k, window=window, step=step, skip_invalid=True)
    assert as_tuple(p) == reference(records, k, window=window, step=step, skip_invalid=True)


def counted_rows(records, k, skip_invalid, canonical=True):
    """Whole-record rows by counting substrings: fast enough for records of
    a few hundred kbp."""
    cols = columns_of(k, canonical)
    index = {s: i for i, s in enumerate(cols)}
    rows = []
    for _, seq in records:
        seq = seq.upper() if skip_invalid else seq
        row = [0] * len(cols)
        for w, n in collections.Counter(seq[i : i + k] for i in range(len(seq) - k + 1)).items():
            if w.strip("ACGT") == "":
                row[index[min(w, w.translate(COMPLEMENT)[::-1]) if canonical else w]] += n
        rows.append(row)
    return rows


def dirtied(rng, seq, runs=20):
    """seq with short runs of N, other letters and lower case put in."""
    out = list(seq)
    for _ in range(runs):
        at = rng.randrange(len(out))
        out[at : at + rng.randrange(1, 4)] = rng.choice(["N", "n-", "acg", "NNNN"])
    return "".join(out)


# Long records at small k switch to counting every s-th (k+s-1)-mer after
# 4 * 4^(k+s-1) k-mers (s = 3 up to k = 4, 2 up to k = 7).
@pytest.mark.parametrize("k,switch", [(1, 64), (3, 4096), (4, 16384), (5, 16384), (6, 65536), (7, 262144), (8, 0)])
def test_long_records_match_around_the_wide_switch(fasta, k, switch):
    rng = random.Random(k)
    n = switch or 70000
    lengths = [n + k - 2, n + k - 1, n + k + 4, 2 * n + 4097, 300]
    records = random_records(rng, lengths)
    # Runs of any length between invalid letters, lower case too.
    records.append(("dirty", dirtied(rng, records[3][1], 40)))
    # One letter outside the bases far past the switch, after clean blocks
    # that are counted before they are tested: taken back and recounted.
    clean = records[3][1]
    for i, at in enumerate((n + 3 * 4096 + 5, n + 6 * 4096 + 4090, 2 * n)):
        records.append((f"late{i}", clean[:at] + "Nn-"[i] + clean[at + 1 :]))
    p = get_kmer_profile_fasta(fasta(records), k, skip_invalid=True)
    assert memoryview(p).tolist() == counted_rows(records, k, True)
    # The same bases as one window each: counted with looks at the table.
    for (rid, seq), row in zip(records, memoryview(p).tolist()):
        w = get_kmer_profile_fasta(fasta([(rid, seq)], name="one.fa"), k, window=len(seq), skip_invalid=True)
        assert memoryview(w).tolist() == [row] and w.totals == [sum(row)]


# From k = 7, records profiled whole note the counters they touch while their
# k-mers are fewer than 4^k / 4; longer ones, and all at smaller k, read the
# whole table. Short and long records take turns, so each must leave the
# table clear for the next.
@pytest.mark.parametrize("k,canonical", [(6, True), (7, True), (7, False), (8, True), (9, False)])
def test_records_around_the_sparse_switch(fasta, k, canonical):
    rng = random.Random(k)
    q = 4**k // 4
    lengths = [q + k - 2, 3, q + k - 1, k, q + k, 2 * q + 4100, q // 2, q + k + 1]
    records = random_records(rng, lengths)
    records.insert(3, ("dirty-long", dirtied(rng, records[0][1] * 2)))
    records.insert(5, ("dirty-short", dirtied(rng, records[6][1] * 3, 3)))
    p = get_kmer_profile_fasta(fasta(records), k, canonical=canonical, skip_invalid=True)
    assert memoryview(p).tolist() == counted_rows(records, k, True, canonical)
    assert p.totals == [sum(row) for row in counted_rows(records, k, True, canonical)]


@pytest.mark.parametrize("seq", ["ACGTNACGT", "ACGTACgT", "AC\u00e9GTAC", "NACGTACGTACGT", "ACGTACGTACGN",
                                 "ACGT" * 5000 + "NACGT", "ACGT" * 5000 + "ACgT"])
def test_letter_failure_is_get_kmer_count_fasta_s(fasta, panic_type, seq):
    path = fasta([("ok", "ACGTACGT"), ("bad", seq)])
    with pytest.raises(panic_type) as want:
        get_kmer_count_fasta(path, 4, False)
    with pytest.raises(panic_type) as got:
        get_kmer_profile_fasta(path, 4)
    assert str(got.value) == str(want.value)
    assert getattr(got.value, "__notes__", None) == getattr(want.value, "__notes__", None)


def test_letters_outside_every_window_are_not_looked_at(fasta, panic_type):
    # Windows 0-4 and 8-12 of a 14-base record: the gap and the tail hold N.
    path = fasta([("g", "ACGTANNNACGTAN")])
    p = get_kmer_profile_fasta(path, 2, window=5, step=8)
    assert (p.starts, p.ends, p.totals) == ([0, 8], [5, 13], [4, 4])
    with pytest.raises(panic_type) as info:
        get_kmer_profile_fasta(path, 2, window=5, step=4)
    assert info.value.__notes__ == [f'in record "g" of "{path}", position 5: \'N\'']


def test_gzip_duplicate_ids_and_file_order(fasta):
    records = [("x", "ACGTTGCA" * 5), ("y", "GGGCCC"), ("x", "TTTTACGA" * 3)]
    plain = get_kmer_profile_fasta(fasta(records), 3, window=8, step=4)
    packed = get_kmer_profile_fasta(fasta(records, name="g.fa.gz"), 3, window=8, step=4)
    assert as_tuple(packed) == as_tuple(plain) == reference(records, 3, window=8, step=4)
    assert plain.ids[0] == "x" and plain.ids[-1] == "x" and "y" not in plain.ids


@pytest.mark.parametrize("records,window", [([], 0), ([], 10), ([("a", "ACGT"), ("b", "ACGTACGTA")], 10)])
def test_no_rows(fasta, records, window):
    p = get_kmer_profile_fasta(fasta(records), 4, window=window)
    view = memoryview(p)
    assert len(p) == 0 and view.shape == (0, 136) and view.tolist() == []
    assert p.ids == p.starts == p.ends == p.totals == []


def test_buffer_shape_format_and_lifetime(fasta):
    records = random_records(random.Random(5), [30, 40, 50])
    p = get_kmer_profile_fasta(fasta(records), 3, canonical=False)
    view = memoryview(p)
    assert (view.format, view.itemsize, view.ndim, view.shape) == ("Q", 8, 2, (3, 64))
    assert view.readonly and view.c_contiguous and view.strides == (512, 8)
    with pytest.raises(TypeError):
        view[0, 0] = 1
    expected = as_tuple(p)
    del p
    gc.collect()
    assert view.tolist() == expected[4]  # the view keeps the profile alive
    assert [sum(r) for r in view.tolist()] == expected[3]


def test_numpy_views_share_the_counts(fasta):
    np = pytest.importorskip("numpy")
    p = get_kmer_profile_fasta(fasta(random_records(random.Random(6), [100, 200])), 4)
    a, b = np.asarray(p), np.asarray(p)
    assert a.dtype == np.uint64 and a.shape == (2, 136) and not a.flags.writeable
    assert np.shares_memory(a, b)
    assert a.sum(axis=1).tolist() == p.totals


def test_members_are_read_only_and_not_picklable(fasta):
    p = get_kmer_profile_fasta(fasta([("a", "ACGTAC")]), 2)
    for name in ("k", "canonical", "ids", "starts", "ends", "totals", "columns", "extra"):
        with pytest.raises(AttributeError):
            setattr(p, name, 1)
    with pytest.raises(TypeError):
        pickle.dumps(p)
    with pytest.raises(TypeError):
        KmerProfile()
    p.ids.append("changed")
    assert p.ids == ["a"]


@pytest.mark.parametrize("kwargs,error,text", [
    (dict(k=0), ValueError, "k must be from 1 to 12, not 0"),
    (dict(k=13), ValueError, "k must be from 1 to 12, not 13"),
    (dict(k=-1), ValueError, "k must be from 1 to 12, not -1"),
    (dict(k=2**70), ValueError, f"k must be from 1 to 12, not {2**70}"),
    (dict(k=2.0), TypeError, "argument 'k': "),
    (dict(k=4, window=3), ValueError, "window must be 0 (whole records) or at least k = 4 bases, not 3"),
    (dict(k=4, step=2), ValueError, "step needs a window: step 2 with window 0"),
    (dict(k=4, canonical=1), TypeError, "argument 'canonical': 'int' object cannot be converted to 'PyBool'"),
    (dict(k=4, skip_invalid=None), TypeError, "argument 'skip_invalid': "),
    (dict(k=4, window=-1), OverflowError, ""),
])
def test_argument_errors(fasta, kwargs, error, text):
    with pytest.raises(error) as info:
        get_kmer_profile_fasta(fasta([("a", "ACGT")]), **kwargs)
    assert str(info.value).startswith(text)


def test_keyword_only_options_and_path_forms(fasta, panic_type, tmp_path):
    import pathlib

    path = fasta([("a", "ACGTACGT")])
    with pytest.raises(TypeError):
        get_kmer_profile_fasta(path, 4, True)  # canonical is keyword-only
    assert get_kmer_profile_fasta(pathlib.Path(path), k=4).ids == ["a"]
    missing = str(tmp_path / "missing.fa")
    with pytest.raises(panic_type) as got:
        get_kmer_profile_fasta(missing, 4)
    with pytest.raises(panic_type) as want:
        get_kmer_count_fasta(missing, 4, False)
    assert str(got.value) == str(want.value)


def test_python_code_never_meets_a_half_filled_list(fasta):
    """A gc callback or signal handler that walks every live list while the
    call runs and while its lists are built must find no empty slot."""
    path = fasta(random_records(random.Random(8), [20_000] * 20), width=80)
    seen = []

    def walk(*_):
        # A list being built is young: generation 0 holds it.
        for obj in gc.get_objects(0):
            if type(obj) is list:
                for _ in obj:  # an empty slot would crash here
                    pass
                seen.append(len(obj))

    old_threshold = gc.get_threshold()
    old_handler = signal.signal(signal.SIGALRM, walk)
    gc.callbacks.append(walk)
    gc.set_threshold(10)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)
        p = get_kmer_profile_fasta(path, 4, window=500, step=100)
        lists = [p.ids, p.starts, p.ends, p.totals, p.columns]
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old_handler)
        gc.callbacks.remove(walk)
        gc.set_threshold(*old_threshold)
    assert seen and all(len(lst) == len(p) for lst in lists[:4])


@pytest.mark.parametrize("window", [0, 1000])
def test_ctrl_c_stops_a_long_call(tmp_path, window):
    """The file is a FIFO fed without end: only Ctrl-C ends the call. The
    signal is sent once megabytes have gone through, with the child inside."""
    fifo = tmp_path / "endless.fa"
    os.mkfifo(fifo)
    inside = threading.Event()

    def feed():
        try:
            with open(fifo, "wb") as f:
                f.write(b">chr\n")
                for n in itertools.count():
                    f.write(b"ACGTTGCAGGATCCAT" * 4096 + b"\n")
                    if n == 256:
                        inside.set()
        except OSError:
            pass
        finally:
            inside.set()

    threading.Thread(target=feed, daemon=True).start()
    code = f"import nuvek.kmer as K\nprint('go', flush=True)\nK.get_kmer_profile_fasta({str(fifo)!r}, 4, window={window})"
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "go\n"
        inside.wait()
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=120)
    finally:
        proc.kill()
    assert proc.returncode != 0 and err.rstrip().endswith("KeyboardInterrupt"), err
