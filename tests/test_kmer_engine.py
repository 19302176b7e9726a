"""The counting engine against plain-Python references: every way of holding
counts (few windows over many columns, dense tables, the wide table at small
k on long sequences), the first-failure rule at every place of a block, the
failure notes, and counting with skip_invalid."""
import collections
import random
import re

import pytest

from nuvek.kmer import get_kmer_count_seq

UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"
COMPLEMENT = str.maketrans("ACGT", "TGCA")
BLOCK = 4096  # the counter's unit of work; failures are placed around it


def rc_of(s):
    return s.translate(COMPLEMENT)[::-1]


def windows(seq, k):
    """The all-ACGT windows of seq after upper-casing (the lenient count)."""
    runs = re.split("[^ACGT]+", seq.upper())
    return [run[i : i + k] for run in runs for i in range(len(run) - k + 1)]


def reference(seq, k, rc):
    """Counter of column -> count, and total, for counting seq's valid windows."""
    ws = windows(seq, k)
    if rc:
        ws += [rc_of(w) for w in ws]
    digits = str.maketrans("ACGT", "0123")
    counts = collections.Counter(int(w.translate(digits), 4) for w in ws)
    return counts, len(ws)


def nonzero(result):
    return {i: c for i, c in enumerate(result.counts) if c}


def check(result, seq, k, rc):
    counts, total = reference(seq, k, rc)
    assert result.k == k and result.total == total
    assert len(result.counts) == 4**k
    assert nonzero(result) == dict(counts)


def random_bases(rng, n):
    return "".join(rng.choices("ACGT", k=n))


# Lengths that reach each form of the counts: few windows (a list of codes),
# a dense table, and past 64 * 4^(k+s-1) windows the wide table (k <= 4:
# s = 3; k <= 7: s = 2), plus lengths that are not a multiple of s.
@pytest.mark.parametrize(
    "k, lengths",
    [
        (1, [1, 2, 5, 100, 40_000, 40_001]),
        (2, [2, 3, 7, 300, 70_001, 70_002]),
        (3, [3, 40, 300_001]),
        (4, [4, 63, 150, 16_386, 16_387, 33_000, 300_001, 300_002]),  # the wide table from 16,384 windows
        (5, [5, 300, 2_000, 16_387, 16_388, 300_001]),
        (6, [6, 300, 10_000, 1_100_000]),
        (7, [7, 1_000, 40_000]),
        (8, [8, 150, 40_000, 300_001]),
        (9, [9, 150, 140_000]),
        (10, [10, 150, 600_000]),
        (11, [11, 150, 30_000]),
        (12, [12, 150, 20_000]),
    ],
)
@pytest.mark.parametrize("rc", [False, True])
@pytest.mark.engine
def test_random_sequences_every_form(k, lengths, rc):
    rng = random.Random(k * 7 + rc)
    for n in lengths:
        seq = random_bases(rng, n)
        check(get_kmer_count_seq(seq, k, rc), seq, k, rc)


@pytest.mark.parametrize("rc", [False, True])
def test_k0_counts_every_offset(rc):
    for n in (0, 1, BLOCK + 3):
        result = get_kmer_count_seq("G" * n, 0, rc)
        assert (result.total, result.counts) == (n * (1 + rc), [n * (1 + rc)])


def test_repetitive_sequence_in_the_wide_table():
    # One k-mer dominates: the wide table's counters take all increments.
    seq = "A" * 3_000_000 + "C"
    result = get_kmer_count_seq(seq, 4, True)
    assert result.counts[0] == result.counts[255] == 3_000_000 - 3
    assert result.counts[1] == result.counts[0b10111111] == 1  # AAAC and its reverse complement GTTT
    assert result.total == 2 * (len(seq) - 3)


# --- failures ---------------------------------------------------------------------


def failure_places(n, k):
    """Offsets around block edges and the ends of a sequence of n bytes."""
    places = {0, 1, k - 1, k, n - 1, n - 2}
    for edge in range(BLOCK, n, BLOCK):
        places |= {edge - 2, edge - 1, edge, edge + 1, edge + k - 1}
    # A block is counted as two streams, the second one starting halfway
    # from the 32 bytes before it.
    for start in range(0, n, BLOCK):
        half = start + min(BLOCK, n - start) // 2
        places |= {half - 33, half - 32, half - 1, half, half + 1, half + k - 1}
    return sorted(p for p in places if 0 <= p < n)


@pytest.mark.parametrize("k, n", [(1, 3 * BLOCK + 5), (3, 2 * BLOCK + 1), (8, 2 * BLOCK + 7), (11, BLOCK + 9), (4, 200)])
@pytest.mark.parametrize("bad", ["N", "a", " ", "é"])
def test_failure_at_every_place_of_a_block(panic_type, k, n, bad):
    rng = random.Random(n + k)
    base = random_bases(rng, n)
    for at in failure_places(n, k):
        seq = base[:at] + bad + base[at + 1 :]
        with pytest.raises(panic_type) as info:
            get_kmer_count_seq(seq, k, at % 2 == 0)
        message = str(info.value)
        if bad == "é" and at >= k - 1:
            # The first window holding é ends inside it; one that starts
            # earlier ends on a base after it and fails on the lookup.
            assert message.startswith(f"byte index {at + 1} is not a char boundary; it is inside 'é' (bytes {at}..{at + 2}) of `")
        else:
            assert message == UNWRAP_NONE
        assert info.value.__notes__ == [f"position {at}: '{bad}'"]


@pytest.mark.parametrize(
    "seq, k, message, note",
    [
        ("ACGTN" + "A" * 5000 + "é", 3, UNWRAP_NONE, "position 4: 'N'"),  # the first bad byte decides
        ("A" * 5000 + "éN", 2, "byte index 5001 is not a char boundary", "position 5000: 'é'"),
        ("ACé", 3, "byte index 3 is not a char boundary", "position 2: 'é'"),
        ("A" * 10 + "\u20ac" + "A" * 10, 4, "byte index 11 is not a char boundary", "position 10: '€'"),
        ("AAAA\tA", 2, UNWRAP_NONE, "position 4: '\\t'"),
        ("é" + "A" * 10, 0, "byte index 1 is not a char boundary", "position 0: 'é'"),
        ("AA" * 300 + "\U0001F600", 0, "byte index 601 is not a char boundary", "position 600: '\U0001F600'"),
    ],
)
def test_failure_message_and_note(panic_type, seq, k, message, note):
    with pytest.raises(panic_type) as info:
        get_kmer_count_seq(seq, k, False)
    assert str(info.value).startswith(message)
    assert info.value.__notes__ == [note]


def test_long_sequence_message_quotes_its_first_256_bytes(panic_type):
    seq = "A" * 255 + "é" + "A" * 10_000
    with pytest.raises(panic_type) as info:
        get_kmer_count_seq(seq, 1, False)
    assert str(info.value) == (
        "byte index 256 is not a char boundary; it is inside 'é' (bytes 255..257) of `" + "A" * 255 + "`[...]"
    )


def test_counting_goes_on_after_a_failure():
    # Tables are fresh or cleared after every call, failed ones included.
    seq = random_bases(random.Random(3), 50_000)
    for k in (2, 4, 8, 11):
        with pytest.raises(BaseException, match="Option"):
            get_kmer_count_seq(seq + "N", k, True)
        check(get_kmer_count_seq(seq[:3000], k, True), seq[:3000], k, True)


# --- skip_invalid -------------------------------------------------------------------


def lenient(seq, k, rc):
    return get_kmer_count_seq(seq, k, rc, skip_invalid=True)


def mixed_sequence(rng, n):
    """Bases in both cases, runs of N, IUPAC codes, gaps, digits and
    non-ASCII letters."""
    parts = []
    while sum(map(len, parts)) < n:
        r = rng.random()
        if r < 0.75:
            parts.append(random_bases(rng, rng.randrange(1, 3 * BLOCK if r < 0.1 else 60)))
        elif r < 0.85:
            parts.append(random_bases(rng, rng.randrange(1, 400)).lower())
        elif r < 0.9:
            parts.append("N" * rng.randrange(1, 200))
        else:
            parts.append(rng.choice(["R", "y", "-", "7", "é", "\u20ac", "\U0001F600", "n", " ", "ı", "ſ"]))
    return "".join(parts)


@pytest.mark.parametrize("k", range(1, 9))
@pytest.mark.parametrize("rc", [False, True])
def test_skip_invalid_matches_reference(k, rc):
    rng = random.Random(100 * k + rc)
    for n in (0, k - 1, k, 30, 500, 20_000, 200_000):
        seq = mixed_sequence(rng, n)
        check(lenient(seq, k, rc), seq, k, rc)


@pytest.mark.parametrize("rc", [False, True])
def test_skip_invalid_equals_strict_on_clean_upper_case(rc):
    seq = random_bases(random.Random(9), 100_000)
    for k in (0, 1, 4, 8, 11):
        a, b = lenient(seq, k, rc), get_kmer_count_seq(seq, k, rc)
        assert (a.total, a.counts) == (b.total, b.counts)
        low = lenient(seq.lower(), k, rc)
        assert (low.total, low.counts) == (b.total, b.counts)


@pytest.mark.parametrize(
    "seq, k, total",
    [
        ("NNNN", 1, 0),
        ("acgNt", 2, 2),
        ("AéA", 1, 2),
        ("AéA", 0, 3),  # k = 0: the offsets inside é are skipped
        ("", 0, 0),
        ("A\U0001F600", 0, 2),
    ],
)
def test_skip_invalid_small_cases(seq, k, total):
    result = lenient(seq, k, False)
    assert result.total == total == sum(result.counts)
