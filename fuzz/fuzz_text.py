"""Fuzzes the functions that take arbitrary text: canonical_gid,
DnaSequence.rev_complement and get_kmer_count_seq (k from 0 to 4), checking
each against a pure-Python reference."""
import sys

import atheris

import nuvek  # noqa: F401
from nuvek.fasta import DnaSequence
from nuvek.kmer import get_kmer_count_seq
from nuvek.util.accession import canonical_gid

# Coverage of the references (which follow the native code's branches)
# guides the search: the extension itself is not instrumented.
with atheris.instrument_imports():
    import references


def check_count(text, k, rc):
    try:
        expected = references.count_seq(text, k, rc)
    except references.CountFailure as failure:
        expected_failure = str(failure)
    else:
        expected_failure = None
    try:
        result = get_kmer_count_seq(text, k, rc)
    except BaseException as exc:  # noqa: BLE001
        if type(exc).__name__ != "PanicException":
            raise
        assert expected_failure is not None, (text, k, rc, str(exc))
        assert str(exc).startswith(expected_failure), (text, k, rc, str(exc), expected_failure)
        return
    assert expected_failure is None, (text, k, rc, expected_failure)
    counts, total = expected
    assert result.k == k and result.total == total, (text, k, rc)
    got = result.counts
    assert len(got) == 4**k
    assert {i: n for i, n in enumerate(got) if n} == counts, (text, k, rc)


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    k = fdp.ConsumeIntInRange(0, 4)
    rc = fdp.ConsumeBool()
    if fdp.ConsumeBool():
        # Mostly-DNA text with occasional other characters.
        raw = fdp.ConsumeBytes(fdp.remaining_bytes())
        alphabet = "ACGTACGTACGTACGTNacgt \u00e9\u20ac\U0001f9ec\u0301"
        text = "".join(alphabet[b % len(alphabet)] for b in raw)
    else:
        text = fdp.ConsumeUnicodeNoSurrogates(fdp.remaining_bytes())
    assert canonical_gid(text) == references.canonical_gid(text)
    assert DnaSequence(text).rev_complement().seq == references.rev_complement(text)
    check_count(text, k, rc)


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
