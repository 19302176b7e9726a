"""FASTA input: gzip-compressed files read transparently, and blocking reads
that a signal can interrupt."""
import gzip
import os
import random
import signal
import subprocess
import sys
import textwrap
import time
import zlib

import pytest

from nuvek.kmer import get_kmer_count_fasta


def make_fasta(n_records=40, seed=3):
    rng = random.Random(seed)
    out = []
    for i in range(n_records):
        seq = "".join(rng.choices("ACGT", k=rng.randrange(0, 3000)))
        out.append(f">r{i} some description\n")
        out.extend(seq[j : j + 70] + "\n" for j in range(0, len(seq), 70))
    return "".join(out).encode()


FASTA = make_fasta()


def profiles(path, k=3):
    return {rid: (r.total, tuple(r.counts)) for rid, r in get_kmer_count_fasta(str(path), k, True).items()}


@pytest.fixture(scope="module")
def expected(tmp_path_factory):
    path = tmp_path_factory.mktemp("plain") / "plain.fa"
    path.write_bytes(FASTA)
    result = profiles(path)
    assert len(result) == 40
    return result


def members(data, size):
    """data compressed as one gzip member per size bytes, as block tools do."""
    return b"".join(gzip.compress(data[i : i + size]) for i in range(0, len(data), size))


def raw_deflate_gzip(data):
    """A gzip member written by zlib directly (no file name, other header flags)."""
    c = zlib.compressobj(9, zlib.DEFLATED, 16 + 15)
    return c.compress(data) + c.flush()


@pytest.mark.parametrize(
    "blob",
    [
        pytest.param(lambda d: gzip.compress(d, 1), id="level1"),
        pytest.param(lambda d: gzip.compress(d, 9), id="level9"),
        pytest.param(raw_deflate_gzip, id="zlib-writer"),
        pytest.param(lambda d: members(d, 997), id="many-members"),
        pytest.param(lambda d: members(d, 65280), id="block-sized-members"),
        pytest.param(lambda d: gzip.compress(b"") + gzip.compress(d) + gzip.compress(b""), id="empty-members"),
        pytest.param(lambda d: gzip.compress(d) + b"\0" * 512, id="zero-padding"),
        pytest.param(lambda d: gzip.compress(d.replace(b"\n", b"\r\n")), id="crlf"),
    ],
)
def test_gzip_counts_equal_plain(tmp_path, expected, blob):
    path = tmp_path / "genome.fa"  # the name says nothing about the content
    path.write_bytes(blob(FASTA))
    assert profiles(path) == expected


def test_plain_file_named_gz(tmp_path, expected):
    path = tmp_path / "genome.fa.gz"
    path.write_bytes(FASTA)
    assert profiles(path) == expected


@pytest.mark.parametrize("data", [b"", b">only\n", b">s\nACGT\n>t\n"])
def test_small_gzip_inputs(tmp_path, data):
    plain, gz = tmp_path / "p.fa", tmp_path / "p.fa.gz"
    plain.write_bytes(data)
    gz.write_bytes(gzip.compress(data))
    assert profiles(gz, 2) == profiles(plain, 2)


GOOD = gzip.compress(FASTA)


def flip(blob, at):
    return blob[:at] + bytes([blob[at] ^ 0x55]) + blob[at + 1 :]


@pytest.mark.parametrize(
    "blob, reason",
    [
        (GOOD[:2], "unexpected end of gzip stream"),
        (GOOD[:9], "unexpected end of gzip stream"),
        (GOOD[: len(GOOD) // 2], "unexpected end of gzip stream"),
        (GOOD[:-4], "unexpected end of gzip stream"),  # length of the trailer missing
        (GOOD[:-1], "unexpected end of gzip stream"),
        (gzip.compress(b">a\nAC\n") + GOOD[:100], "unexpected end of gzip stream"),  # second member cut
        (flip(GOOD, len(GOOD) // 3), "invalid gzip data"),
        (flip(GOOD, len(GOOD) - 8), "invalid gzip data"),  # CRC-32
        (flip(GOOD, len(GOOD) - 3), "invalid gzip data"),  # length
        (GOOD[:2] + b"\x07" + GOOD[3:], "invalid gzip data"),  # not deflate
        (GOOD + b"trailing text", "invalid gzip data"),
        (GOOD + b"\0\0\x1f\x8b" + b"garbage" * 4, "invalid gzip data"),
        (GOOD[:3] + bytes([GOOD[3] | 0x20]) + GOOD[4:], "invalid gzip data"),  # reserved flag bit
        (GOOD + GOOD[:3] + bytes([GOOD[3] | 0x80]) + GOOD[4:], "invalid gzip data"),
    ],
    ids=[
        "magic-only", "header-cut", "half", "no-length", "one-byte-short", "second-member-cut",
        "corrupt-data", "bad-crc", "bad-length", "bad-method", "trailing-text", "bad-second-member",
        "reserved-flag", "reserved-flag-second-member",
    ],
)
def test_damaged_gzip_fails_with_reason(tmp_path, panic_type, blob, reason):
    path = tmp_path / "bad.gz"
    path.write_bytes(blob)
    with pytest.raises(panic_type) as info:
        get_kmer_count_fasta(str(path), 3, False)
    assert str(info.value) == f'Failed to read fasta from "{path}": {reason}'


@pytest.mark.parametrize("data", [b"\x1f", b"\x1f>s\nAC\n", b"\x1f\x0b>s\nAC\n"])
def test_almost_magic_is_plain_text(tmp_path, panic_type, data):
    path = tmp_path / "x.fa"
    path.write_bytes(data)
    with pytest.raises(panic_type, match="Expected > at record start"):
        get_kmer_count_fasta(str(path), 3, False)


# A writer in another process: the module keeps the interpreter lock while
# it waits for input, so a thread of this process could not feed the FIFO.
WRITER = """
import random, sys
data = open(sys.argv[1], "rb").read()
rng = random.Random(5)
with open(sys.argv[2], "wb", buffering=0) as w:
    i = 0
    while i < len(data):
        n = rng.randrange(1, 8) if i < 20000 else len(data)
        w.write(data[i : i + n])
        i += n
"""


@pytest.mark.parametrize("compress", [False, True], ids=["plain", "gzip"])
def test_fifo_in_tiny_pieces(tmp_path, expected, compress):
    """Reads that return a few bytes at a time split every header and member."""
    fifo, source = tmp_path / "in.fifo", tmp_path / "source"
    os.mkfifo(fifo)
    source.write_bytes(members(FASTA, 3001) if compress else FASTA)
    writer = subprocess.Popen([sys.executable, "-c", WRITER, str(source), str(fifo)])
    try:
        got = profiles(fifo)
    finally:
        writer.wait(timeout=60)
    assert got == expected


# ---------------------------------------------------------------------------
# Interrupts, each in a child interpreter that the test signals.

CHILD = """
import signal, sys, time
import nuvek
from nuvek.kmer import get_kmer_count_fasta
{setup}
print("ready", flush=True)
try:
    result = get_kmer_count_fasta(sys.argv[1], 4, False)
except KeyboardInterrupt:
    print("interrupted", flush=True)
    sys.exit(0)
print("returned", sorted(result), flush=True)
"""


def start_child(path, setup=""):
    code = textwrap.dedent(CHILD).format(setup=setup)
    child = subprocess.Popen(
        [sys.executable, "-c", code, str(path)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    assert child.stdout.readline().strip() == "ready"
    time.sleep(0.5)  # let it block inside the call
    return child


def finish(child, timeout=10):
    try:
        out, err = child.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        child.kill()
        child.communicate()
        pytest.fail("the call did not stop on SIGINT")
    assert child.returncode == 0, err
    return out


def test_sigint_while_opening_fifo_without_writer(tmp_path):
    fifo = tmp_path / "no-writer.fifo"
    os.mkfifo(fifo)
    child = start_child(fifo)
    child.send_signal(signal.SIGINT)
    assert finish(child).strip() == "interrupted"


@pytest.mark.parametrize(
    "first_bytes",
    [b">s1\nACGTACGT\nAC", gzip.compress(FASTA)[:3000], gzip.compress(FASTA)[:5]],
    ids=["plain", "gzip", "gzip-header"],
)
def test_sigint_while_writer_stalls(tmp_path, first_bytes):
    fifo = tmp_path / "stalled.fifo"
    os.mkfifo(fifo)
    child = start_child(fifo)
    with open(fifo, "wb", buffering=0) as w:
        w.write(first_bytes)
        time.sleep(0.3)
        child.send_signal(signal.SIGINT)
        assert finish(child).strip() == "interrupted"


def test_sigint_during_an_endless_stream(tmp_path):
    """A writer that never pauses: the call must still look for signals."""
    fifo = tmp_path / "endless.fifo"
    os.mkfifo(fifo)
    child = start_child(fifo)
    chunk = (">same_id\n" + "ACGT" * 4000 + "\n").encode() * 64
    start = time.monotonic()
    closed = False
    try:
        with open(fifo, "wb", buffering=0) as w:
            w.write(chunk)
            time.sleep(0.5)
            child.send_signal(signal.SIGINT)
            while time.monotonic() - start < 20:
                w.write(chunk)
    except BrokenPipeError:
        closed = True  # the child stopped reading
    assert closed, "the call went on reading after SIGINT"
    assert finish(child).strip() == "interrupted"


def test_signal_handler_that_returns_lets_the_open_go_on(tmp_path):
    """EINTR from a handler that does not raise: the open is retried."""
    fifo = tmp_path / "later.fifo"
    os.mkfifo(fifo)
    setup = "hits = []\nsignal.signal(signal.SIGUSR1, lambda *a: hits.append(1))"
    child = start_child(fifo, setup)
    child.send_signal(signal.SIGUSR1)
    time.sleep(0.3)
    with open(fifo, "wb") as w:
        w.write(b">a\nACGT\n>b\nTTTT\n")
    assert finish(child).strip() == "returned ['a', 'b']"
