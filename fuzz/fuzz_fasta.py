"""Fuzzes get_kmer_count_fasta with files of arbitrary bytes (k from 0 to 6,
with and without the reverse complement), and get_kmer_profile_fasta with
the same files (canonical or plain, windows, steps, min_length and
skip_invalid drawn from the control bytes). Each call either fails with one
of the reader's or the counter's internal failures, or returns exactly what
a pure-Python reader and counter make of the same bytes."""
import os
import sys
import tempfile

import atheris

import nuvek  # noqa: F401
from nuvek.kmer import get_kmer_count_fasta, get_kmer_profile_fasta

# Coverage of the references (which follow the native code's branches)
# guides the search: the extension itself is not instrumented.
with atheris.instrument_imports():
    import references

PATH = os.path.join(tempfile.mkdtemp(prefix="fuzz-fasta-"), "in.fa")
READ_BUFFER = 128 * 1024  # bytes per read of the FASTA reader
READ_FAILURE = f'Failed to read fasta from "{PATH}": '
GZIP_FAILURES = references.GzipFailure.MESSAGES


def same_failure(exc, expected_failure, context):
    if expected_failure.startswith(READ_FAILURE) and expected_failure[len(READ_FAILURE) :] in GZIP_FAILURES:
        # A damaged gzip stream fails the call; a reader's or counter's
        # failure in the bytes inflated before the damage may come first.
        return
    if expected_failure.startswith("byte index"):
        # The boundary message ends with the sequence: check its start.
        assert str(exc).startswith(expected_failure), (*context, str(exc), expected_failure)
    else:
        assert str(exc) == expected_failure, (*context, str(exc), expected_failure)


def check_profile(content, k, flags, shape):
    canonical, skip = not flags & 2, bool(flags & 4)
    min_length = (flags >> 3) & 7
    window = (shape >> 1) % 12
    window = 0 if window < k else window
    step = (shape >> 5) if window else 0
    context = (content, k, canonical, window, step, min_length, skip)
    try:
        expected = references.profile_fasta(content, k, canonical, window, step, min_length, skip)
    except references.FastaFailure as failure:
        expected, expected_failure = None, READ_FAILURE + str(failure)
    except references.CountFailure as failure:
        expected, expected_failure = None, str(failure)
    try:
        p = get_kmer_profile_fasta(PATH, k, canonical=canonical, window=window, step=step, min_length=min_length,
                                   skip_invalid=skip)
    except BaseException as exc:  # noqa: BLE001
        if type(exc).__name__ != "PanicException":
            raise
        assert expected is None, (*context, str(exc))
        same_failure(exc, expected_failure, context)
        return
    assert expected is not None, (*context, expected_failure)
    rows = memoryview(p).tolist()
    got = [(i, s, e, t, {c: n for c, n in enumerate(r) if n}) for i, s, e, t, r in
           zip(p.ids, p.starts, p.ends, p.totals, rows)]
    assert got == expected, context


def test_one_input(data):
    # Four control bytes, then the file: k, the strand flag, whether the
    # rest is raw or spelled from FASTA-shaped pieces, and an offset that
    # puts the file's bytes around the end of the reader's first buffer.
    if len(data) < 4:
        return
    k, rc, shaped, pad = data[0] % 7, bool(data[1] & 1), bool(data[2] & 1), data[3]
    content = data[4:]
    if shaped:
        # Headers, DNA, line ends, blanks, the odd Unicode space, non-DNA
        # letter or broken UTF-8 sequence.
        pieces = [b">", b">s1 x", b"> ", b"\n", b"\r\n", b"\r", b"A", b"C", b"G", b"T", b"ACGT", b" ", b"\t",
                  b"N", b"a", "\u00a0".encode(), "\u3000".encode(), "\u00e9".encode(), b"\xc3", b"\xff"]
        content = b"".join(pieces[b % len(pieces)] for b in content)
    if pad >= 192:
        # A long header line fills the buffer up to a few bytes short; without
        # its line feed the first fuzzed line continues it.
        end = b"\n" if pad & 1 else b""
        content = b">pad " + b"x" * (READ_BUFFER - len(end) - 5 - (pad - 192)) + end + content
    with open(PATH, "wb") as f:
        f.write(content)

    check_profile(content, max(k, 1), data[1], data[2])
    try:
        expected = references.count_fasta(content, k, rc)
    except references.FastaFailure as failure:
        expected, expected_failure = None, READ_FAILURE + str(failure)
    except references.CountFailure as failure:
        expected, expected_failure = None, str(failure)
    try:
        result = get_kmer_count_fasta(PATH, k, rc)
    except BaseException as exc:  # noqa: BLE001
        if type(exc).__name__ != "PanicException":
            raise
        assert expected is None, (content, k, rc, str(exc))
        same_failure(exc, expected_failure, (content, k, rc))
        return
    assert expected is not None, (content, k, rc, expected_failure)
    assert list(result) == list(expected), (content, k, rc)
    for rid, (counts, total) in expected.items():
        got = result[rid]
        assert got.k == k and got.total == total, (content, k, rc, rid)
        got_counts = got.counts
        assert len(got_counts) == 4**k
        assert {i: n for i, n in enumerate(got_counts) if n} == counts, (content, k, rc, rid)


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
