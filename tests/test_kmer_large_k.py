"""Counting where 4^k is large: sequences with millions of windows at k = 12
(counted by bucket, added to the result a few million windows at a time),
and sparse results past 2^24 columns (k >= 13), whose entries cannot share
8 bytes between column and count."""
import array
import collections
import random
import re

import pytest

from nuvek.kmer import get_kmer_count_fasta, get_kmer_count_seq

pytestmark = pytest.mark.engine

COMPLEMENT = str.maketrans("ACGT", "TGCA")
DIGITS = str.maketrans("ACGT", "0123")
UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"


def window_counts(block, k, skip):
    """The windows of block repeated, as (column, reverse complement's
    column, count) for those inside a copy and for those that run into the
    next copy (a window starting at offset j of a copy is the window at j of
    block + block[:k - 1])."""
    text = block + block[: k - 1]
    if skip:
        text = text.upper()
    inner, wrap = collections.Counter(), collections.Counter()
    for run in re.finditer("[ACGT]+" if skip else ".+", text):
        a, b = run.span()
        last = min(b - k + 1, len(block))
        inner.update(text[j : j + k] for j in range(a, min(last, len(block) - k + 1)))
        wrap.update(text[j : j + k] for j in range(max(a, len(block) - k + 1), last))

    def columns(part):
        return [
            (int(w.translate(DIGITS), 4), int(w.translate(COMPLEMENT)[::-1].translate(DIGITS), 4), c)
            for w, c in part.items()
        ]

    return columns(inner), columns(wrap)


def combine(inner, wrap, reps, rc):
    """Column -> count for reps copies, with the reverse strand when rc."""
    counts = collections.Counter()
    for part, times in ((inner, reps), (wrap, reps - 1)):
        for col, back, c in part:
            counts[col] += c * times
            if rc:
                counts[back] += c * times
    return {col: c for col, c in counts.items() if c}


def repeated_reference(block, reps, k, rc, skip):
    return combine(*window_counts(block, k, skip), reps, rc)


def check_buffer(result, ref, k):
    """The exported counters equal ref: each reference column read, and the
    buffer's zero bytes counted (in C) to show that no other counter is set;
    a second export shows the same bytes."""
    assert result.k == k and result.total == sum(ref.values())
    view = memoryview(result)
    assert view.format == "Q" and len(view) == 4**k
    assert all(view[col] == c for col, c in ref.items())
    step = 1 << 20
    zero_bytes = sum(view[i : i + step].tobytes().count(0) for i in range(0, len(view), step))
    assert zero_bytes == 8 * len(view) - sum(8 - c.to_bytes(8, "little").count(0) for c in ref.values())
    assert memoryview(result) == view


@pytest.fixture(scope="module")
def block():
    # About 3 million distinct 12-mers per strand: twice the block (6 Mbp)
    # has enough windows and columns for a dense result.
    return "".join(random.Random(12).choices("ACGT", k=3_000_000))


@pytest.fixture(scope="module")
def block_windows(block):
    """skip -> (the block as counted, its window Counters)."""
    sprinkled_block = sprinkled(block, random.Random(2))
    return {
        False: (block, window_counts(block, 12, False)),
        True: (sprinkled_block, window_counts(sprinkled_block, 12, True)),
    }


def sprinkled(block, rng):
    s = list(block)
    for i in rng.sample(range(len(s)), 3000):
        s[i] = rng.choice("acgtNnRY-")
    return "".join(s)


@pytest.mark.parametrize(
    "reps, rc, skip",
    [
        (3, True, True),  # 9 million windows: two additions; other letters among them
        (3, False, False),  # one strand: few columns touched, entries
    ],
)
def test_millions_of_windows_at_k12(block_windows, reps, rc, skip):
    block, windows = block_windows[skip]
    result = get_kmer_count_seq(block * reps, 12, rc, skip_invalid=skip)
    check_buffer(result, combine(*windows, reps, rc), 12)


def test_a_long_fasta_record_at_k12(tmp_path, block, block_windows):
    # A record's length is not known in advance: its codes are noted and
    # then added by bucket once they are many, in one addition here, to a
    # dense result; a short record follows.
    path = tmp_path / "long.fa"
    seq = block * 2
    with open(path, "w") as f:
        f.write(">long\n")
        for i in range(0, len(seq), 80):
            f.write(seq[i : i + 80] + "\n")
        f.write(">short\nACGTACGTACGTAC\n")
    results = get_kmer_count_fasta(str(path), 12, True)
    check_buffer(results["long"], combine(*block_windows[False][1], 2, True), 12)
    check_buffer(results["short"], repeated_reference("ACGTACGTACGTAC", 1, 12, True, False), 12)


def test_a_late_bad_letter_among_millions_of_windows(panic_type, block):
    seq = block * 2
    at = len(seq) - 5
    with pytest.raises(panic_type) as info:
        get_kmer_count_seq(seq[:at] + "N" + seq[at + 1 :], 12, True)
    assert str(info.value) == UNWRAP_NONE
    assert info.value.__notes__ == [f"position {at}: 'N'"]


@pytest.mark.parametrize("rc, skip", [(True, False), (False, True)])
def test_sparse_results_past_2_to_the_24_columns(rc, skip):
    # k = 13: columns above 2^24 (every T-rich k-mer) and counts kept whole;
    # short sequences, a few thousand windows (hashed) and more (sorted).
    rng = random.Random(13 + rc)
    for n in (40, 3000, 20_000):
        seq = "T" * 30 + "".join(rng.choices("ACGT", k=n))
        if skip:
            seq = sprinkled(seq, rng) if n > 3000 else seq + "nN" + seq.lower()
        result = get_kmer_count_seq(seq, 13, rc, skip_invalid=skip)
        check_buffer(result, repeated_reference(seq, 1, 13, rc, skip), 13)


def test_k13_fasta_records(tmp_path):
    rng = random.Random(1313)
    seqs = {f"r{i}": "".join(rng.choices("ACGT", k=n)) + "T" * 14 for i, n in enumerate((20, 500, 9000))}
    path = tmp_path / "k13.fa"
    path.write_text("".join(f">{rid}\n{s}\n" for rid, s in seqs.items()))
    results = get_kmer_count_fasta(str(path), 13, True)
    for rid, s in seqs.items():
        check_buffer(results[rid], repeated_reference(s, 1, 13, True, False), 13)


def test_memory_of_a_dropped_result_shows_none_of_its_counts(block):
    # The mapping of a dropped 128 MB result is handed to the next one of
    # its size: every counter of the next result is written afresh.
    get_kmer_count_seq(block * 2, 12, True)
    n = 4_300_000
    windows = n - 11
    result = get_kmer_count_seq("A" * n, 12, True)
    check_buffer(result, {0: windows, 4**12 - 1: windows}, 12)
    result = get_kmer_count_seq("AC" * (n // 2), 12, True)
    ac, ca, gt, tg = (int(d * 6, 4) for d in ("01", "10", "23", "32"))
    check_buffer(result, {ac: (windows + 1) // 2, gt: (windows + 1) // 2, ca: windows // 2, tg: windows // 2}, 12)
