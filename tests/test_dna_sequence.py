import pytest

from nuvek.fasta import DnaSequence


@pytest.mark.parametrize(
    "seq, expected",
    [
        ("", ""),
        ("ACGT", "ACGT"),
        ("AAC", "GTT"),
        ("GATTACA", "TGTAATC"),
        ("acgt", "NNNN"),
        ("ACGTN", "NACGT"),
        ("ACGU", "NCGT"),
        ("A\u00e4", "NT"),  # one N per character, not per byte
        ("\u20acA\U0001f9ecC", "GNTN"),  # three- and four-byte characters
        ("A C\tG\n", "NCNGNT"),
    ],
)
def test_rev_complement(seq, expected):
    dna = DnaSequence(seq)
    rc = dna.rev_complement()
    assert type(rc) is DnaSequence
    assert rc.seq == expected
    assert dna.seq == seq  # unchanged


@pytest.mark.parametrize("seq", ["", "hello world 123", "NNNN", "\u00e9\u00e8", "ACGT" * 1000])
def test_seq_reads_back_unchanged_as_new_str(seq):
    dna = DnaSequence(seq=seq)
    first, second = dna.seq, dna.seq
    assert first == second == seq


def test_rev_complement_twice_restores_only_acgt():
    import random

    rng = random.Random(7)
    seq = "".join(rng.choice("ACGT") for _ in range(5001))
    assert DnaSequence(seq).rev_complement().rev_complement().seq == seq


def test_equality_is_identity():
    a, b = DnaSequence("A"), DnaSequence("A")
    assert a != b and a == a
    hash(a)
