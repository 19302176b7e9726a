import collections
import itertools
import random

import pytest

from nuvek.kmer import (
    KmerCountResult,
    get_kmer_count_seq,
    get_kmer_to_idx,
    get_possible_kmers,
)

UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"
COMPLEMENT = str.maketrans("ACGT", "TGCA")


def slow_count(seq, k, rc):
    """Reference counter over ACGT text: one dict lookup per window."""
    index = {"".join(p): i for i, p in enumerate(itertools.product("ACGT", repeat=k))}
    counts = [0] * 4**k
    strands = [seq, seq.translate(COMPLEMENT)[::-1]] if rc else [seq]
    for s in strands:
        for i in range(len(s) - k + 1 if k else len(s)):
            counts[index[s[i : i + k]]] += 1
    return counts


def kmer_of(column, k):
    return "".join("ACGT"[(column >> (2 * (k - 1 - j))) & 3] for j in range(k))


def nonzero(result):
    return {kmer_of(i, result.k): c for i, c in enumerate(result.counts) if c}


@pytest.mark.parametrize(
    "k, checks",
    [
        (0, {"": 0}),
        (1, {"A": 0, "C": 1, "G": 2, "T": 3}),
        (2, {"AA": 0, "AC": 1, "GT": 11, "TT": 15}),
        (3, {"ACG": 6, "CGT": 27, "TTT": 63}),
        (4, {"AAAA": 0, "ACGT": 27}),
    ],
)
def test_enumeration_and_index_agree(k, checks):
    kmers = get_possible_kmers(k)
    index = get_kmer_to_idx(k)
    assert kmers == ["".join(p) for p in itertools.product("ACGT", repeat=k)]
    assert index == {kmer: i for i, kmer in enumerate(kmers)}
    assert all(index[kmer] == i for kmer, i in checks.items())


@pytest.mark.parametrize(
    "seq, k, rc, expected, total",
    [
        ("AAC", 2, False, {"AA": 1, "AC": 1}, 2),
        ("AAC", 2, True, {"AA": 1, "AC": 1, "GT": 1, "TT": 1}, 4),
        ("ACGT", 2, True, {"AC": 2, "CG": 2, "GT": 2}, 6),
        ("ACGT", 4, True, {"ACGT": 2}, 2),
        ("GATTACA", 3, False, dict.fromkeys(["GAT", "ATT", "TTA", "TAC", "ACA"], 1), 5),
        ("ACGT", 0, False, {"": 4}, 4),
        ("ACGT", 0, True, {"": 8}, 8),
        ("", 3, True, {}, 0),
        ("A", 2, False, {}, 0),
        ("acg", 4, True, {}, 0),
        ("NNNNé", 9, True, {}, 0),
    ],
)
def test_count_cases(seq, k, rc, expected, total):
    result = get_kmer_count_seq(seq, k, rc)
    assert (result.k, result.total, nonzero(result)) == (k, total, expected)
    assert len(result.counts) == 4**k


@pytest.mark.parametrize("rc", [False, True])
def test_random_sequences_match_reference(rc):
    rng = random.Random(1234)
    for _ in range(120):
        k = rng.randrange(7)
        # Short sequences give sparse results, long ones dense results.
        seq = "".join(rng.choices("ACGT", k=rng.choice([rng.randrange(12), rng.randrange(3000)])))
        result = get_kmer_count_seq(seq, k, rc)
        counts = result.counts
        assert counts == slow_count(seq, k, rc), (seq, k)
        assert len(counts) == 4**k
        assert result.total == sum(counts) == (max(len(seq) - k + 1, 0) if k else len(seq)) * (2 if rc else 1)
        if rc:
            index = get_kmer_to_idx(k)
            for kmer, i in index.items():
                assert counts[i] == counts[index[kmer.translate(COMPLEMENT)[::-1]]]


@pytest.mark.parametrize("k", [8, 10, 11])
@pytest.mark.parametrize("rc", [False, True])
def test_many_short_reads_at_large_k(k, rc):
    # Many short reads reuse per-thread scratch space; every call must see
    # it clean, also right after a call that failed.
    rng = random.Random(k)
    for n in range(200):
        seq = "".join(rng.choices("ACGT", k=rng.randrange(k, 160)))
        if n % 7 == 0:
            with pytest.raises(BaseException, match="Option"):
                get_kmer_count_seq(seq + "N", k, rc)
        result = get_kmer_count_seq(seq, k, rc)
        windows = [seq[i : i + k] for i in range(len(seq) - k + 1)]
        if rc:
            windows += [w.translate(COMPLEMENT)[::-1] for w in windows]
        expected = {w: windows.count(w) for w in windows}
        if n < 2:
            assert nonzero(result) == expected
        else:  # reading the full list of 4^k entries for every read is slow
            assert result.total == len(windows)
    if k == 8:
        # A repetitive long sequence is dense; the same text cut short is
        # sparse: both read back the reference counts.
        long = "ACGTTGCAAC" * 40000
        for seq in (long, long[:100]):
            assert get_kmer_count_seq(seq, 8, rc).counts == slow_count(seq, 8, rc)
    if k == 11:
        # Thousands of windows over 4^11 columns: sparse, counted by sorting.
        seq = "".join(rng.choices("ACGT", k=5000)) + "ACGTTGCAACG" * 50
        windows = [seq[i : i + k] for i in range(len(seq) - k + 1)]
        if rc:
            windows += [w.translate(COMPLEMENT)[::-1] for w in windows]
        assert nonzero(get_kmer_count_seq(seq, k, rc)) == collections.Counter(windows)


@pytest.mark.parametrize(
    "seq, k, message",
    [
        ("ACGN", 2, UNWRAP_NONE),
        ("acgt", 1, UNWRAP_NONE),
        ("AC GT", 5, UNWRAP_NONE),
        ("é" + "A" * 10, 2, UNWRAP_NONE),  # the window "é" ends on a boundary
        ("AAé", 2, "byte index 3 is not a char boundary; it is inside 'é' (bytes 2..4) of `AAé`"),
        ("Aé", 1, "byte index 2 is not a char boundary; it is inside 'é' (bytes 1..3) of `Aé`"),
        ("AAAAé", 3, "byte index 5 is not a char boundary; it is inside 'é' (bytes 4..6) of `AAAAé`"),
        ("AN€", 2, UNWRAP_NONE),  # "AN" fails before any window meets the euro sign
        ("A€A", 3, "byte index 3 is not a char boundary; it is inside '€' (bytes 1..4) of `A€A`"),
        ("AC\u0301", 2, "byte index 3 is not a char boundary; it is inside '\\u{301}' (bytes 2..4) of `AC\u0301`"),
        ("A\U0001F600", 0, "byte index 2 is not a char boundary; it is inside '\U0001F600' (bytes 1..5) of `A\U0001F600`"),
        ("A" * 255 + "éA", 1, "byte index 256 is not a char boundary; it is inside 'é' (bytes 255..257) of `"
         + "A" * 255 + "`[...]"),
        ("A" * 300 + "é", 1, "byte index 301 is not a char boundary; it is inside 'é' (bytes 300..302) of `"
         + "A" * 256 + "`[...]"),
    ],
)
def test_failures_first_window_decides(panic_type, seq, k, message):
    with pytest.raises(panic_type) as info:
        get_kmer_count_seq(seq, k, True)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call",
    [
        lambda: get_possible_kmers(40),
        lambda: get_kmer_to_idx(40),
        lambda: get_possible_kmers(255),
        lambda: get_kmer_to_idx(24),  # numbered in 64 bits, too big for memory
        lambda: get_kmer_count_seq("", 40, False),
        lambda: get_kmer_count_seq("ACGT" * 100, 32, True),
        lambda: get_kmer_count_seq("ACGT" * 10, 30, True).counts,
    ],
)
def test_huge_sizes_raise_memory_error(call):
    with pytest.raises(MemoryError):
        call()


def test_huge_k_sparse_result_keeps_total():
    result = get_kmer_count_seq("ACGT" * 10, 31, True)
    assert (result.k, result.total) == (31, 20)


@pytest.mark.parametrize(
    "k, total, counts, expected",
    [
        (2, 5, [1, 2], [1, 2]),
        (0, 0, [], []),
        (1, 9, (3, 4), [3, 4]),
        (3, 0, range(3), [0, 1, 2]),
        (255, 2**64 - 1, [2**64 - 1], [2**64 - 1]),
    ],
)
def test_result_constructor(k, total, counts, expected):
    result = KmerCountResult(k, total, counts)
    assert (result.k, result.total, result.counts) == (k, total, expected)
    result.counts.append(7)
    assert result.counts == expected and result.counts is not result.counts


@pytest.mark.parametrize(
    "args, exc, text",
    [
        ((2, 5, "12"), ValueError, "Can't extract `str` to `Vec`"),
        ((2, 5, {1}), TypeError, "argument 'counts': 'set' object cannot be converted to 'Sequence'"),
        ((256, 5, [1]), OverflowError, "out of range integral type conversion attempted"),
        ((2, -1, [1]), OverflowError, None),
        ((2, 5, [1, -1]), OverflowError, None),
    ],
)
def test_result_constructor_refuses(args, exc, text):
    with pytest.raises(exc) as info:
        KmerCountResult(*args)
    assert text is None or str(info.value) == text


@pytest.mark.parametrize("name", ["k", "total", "counts", "other"])
def test_result_is_read_only(name):
    with pytest.raises(AttributeError):
        setattr(get_kmer_count_seq("ACGT", 1, False), name, 1)
