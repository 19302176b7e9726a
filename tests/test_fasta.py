"""Reading FASTA files and counting their k-mers with get_kmer_count_fasta."""
import itertools
import random

import pytest

from nuvek.kmer import get_kmer_count_fasta

# The Unicode White_Space characters: trimmed from line ends, and the header
# is split at the first of them. (str.isspace differs: it also takes
# U+001C..U+001F.)
WS = "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"
UNWRAP_ERR = "called `Result::unwrap()` on an `Err` value: "
DIGITS = str.maketrans("ACGT", "0123")


def ref_read(data):
    """Reference reader: bytes of a FASTA file -> list of (id, seq)."""
    records = []
    for line in data.split(b"\n"):
        text = line.decode("utf-8").rstrip(WS)
        if text.startswith(">"):
            header = text[1:]
            cut = next((i for i, c in enumerate(header) if c in WS), len(header))
            records.append((header[:cut], []))
        else:
            records[-1][1].append(text)
    return [(rid, "".join(parts)) for rid, parts in records]


def ref_count(seq, k, rc):
    """Reference counter: (total, counts) with columns in base 4 over ACGT."""
    counts = [0] * 4**k
    strands = [seq, seq[::-1].translate(str.maketrans("ACGT", "TGCA"))] if rc else [seq]
    total = 0
    for s in strands:
        for i in range(len(s) - k + 1 if k else len(s)):
            counts[int(s[i : i + k].translate(DIGITS) or "0", 4)] += 1
            total += 1
    return total, counts


def count_file(path, k, rc):
    return [(rid, r.total, r.counts) for rid, r in get_kmer_count_fasta(str(path), k, rc).items()]


def expected(records, k, rc):
    latest = dict(records)  # first-occurrence order, last value wins
    return [(rid, *ref_count(seq, k, rc)) for rid, seq in latest.items()]


@pytest.fixture
def fasta(tmp_path, monkeypatch):
    """Writes bytes to a file in the (current) temp dir and returns its name."""
    monkeypatch.chdir(tmp_path)

    def write(data, name="in.fa"):
        (tmp_path / name).write_bytes(data)
        return name

    return write


@pytest.mark.parametrize(
    "data, records",
    [
        (b"", []),
        (b">s1", [("s1", "")]),
        (b">s1 some description\nACGT\n", [("s1", "ACGT")]),
        (b">s1  x\nAC\n>s2\tx y\nGT", [("s1", "AC"), ("s2", "GT")]),
        (b"> x\nAC\n", [("", "AC")]),
        (">\u2003s1\nAC\n".encode(), [("", "AC")]),
        (">s1\u00a0d\nAC\n>s2\u3000\nGT\n".encode(), [("s1", "AC"), ("s2", "GT")]),
        (">s\u00e9q\u200bx desc\nAC\n".encode(), [("s\u00e9q\u200bx", "AC")]),  # U+200B is no whitespace
        (">s\x1c\u180e\u200b\nAC\n".encode(), [("s\x1c\u180e\u200b", "AC")]),
        (b">s1 d\r\nAC\r\nGT\r\n", [("s1", "ACGT")]),
        (">s\nAC \t\x0b\x0c\u00a0\u2028\u205f\nG\u1680\u2000\u200a\u2029\u202f\nT\u3000\u0085\n".encode(),
         [("s", "ACGT")]),
        (b">s\nAC\n\n   \r\nGT\n\n", [("s", "ACGT")]),
        (b">s1 d\rACGT\rAC\r", [("s1", "")]),  # CR alone ends no line
        (b">a\nAA\n>b\nCC\n>a\nGT\n", [("a", "AA"), ("b", "CC"), ("a", "GT")]),
        # a header that is ">" alone is a record with the empty id
        (b">\n>s2\nACGT\n", [("", ""), ("s2", "ACGT")]),
        (b">s1\nAC\n> \t\r\n>s3\nGT\n>\n", [("s1", "AC"), ("", ""), ("s3", "GT"), ("", "")]),
    ],
)
@pytest.mark.parametrize("k, rc", [(0, False), (2, True)])
def test_reader(fasta, data, records, k, rc):
    if data:
        assert ref_read(data) == records
    assert count_file(fasta(data), k, rc) == expected(records, k, rc)


@pytest.mark.parametrize("seq", ["ANx", "acg", "\u00e9\u00e9"])
def test_record_shorter_than_k(fasta, seq):
    result = get_kmer_count_fasta(fasta(f">s\n{seq}\n>t\nACGT\n".encode()), 5, True)
    assert (result["s"].total, sum(result["s"].counts), len(result["s"].counts)) == (0, 0, 4**5)
    assert result["t"].total == 0


@pytest.mark.parametrize(
    "data, message",
    [
        (b"\n>s1\nAC\n", "Expected > at record start."),
        (b"ACGT\n>s1\n", "Expected > at record start."),
        (b"\xef\xbb\xbf>s1\nAC\n", "Expected > at record start."),
        (b">s1\nAC\n>s2\nAC\n>s3\nA\xff\n", "stream did not contain valid UTF-8"),
        (b">s\xc3\nAC\n", "stream did not contain valid UTF-8"),
        (b">s\xc3\xa9\nAC\n>t\nA\xff\n", "stream did not contain valid UTF-8"),
        (b">s\nAC\xe2\x80", "stream did not contain valid UTF-8"),
        (b">s\nAC\n>\xed\xa0\x80\n", "stream did not contain valid UTF-8"),  # surrogate
        (b">s\n" + b"ACGT" * 100_000 + b"\xc0\xaf\n", "stream did not contain valid UTF-8"),  # overlong
    ],
)
def test_read_errors(fasta, panic_type, data, message):
    with pytest.raises(panic_type) as exc:
        get_kmer_count_fasta(fasta(data), 1, False)
    assert str(exc.value) == f'Failed to read fasta from "in.fa": {message}'


@pytest.mark.parametrize("char, error", [("\u00e9".encode(), None), ("\u2003".encode()[:2], "stream did not contain valid UTF-8")])
def test_characters_across_buffer_boundaries(fasta, panic_type, char, error):
    # A header character starts one byte before each power of two from 64 KiB
    # to 1 MiB, so that it straddles the boundary of any such read buffer.
    data = bytearray(b">a\n")
    for n in range(16, 21):
        data += b"A" * ((1 << n) - 1 - len(data) - 4) + b"\n>x " + char + b"\n"
    data += b"ACGT\n"
    if error is None:
        assert count_file(fasta(bytes(data)), 0, False) == expected(ref_read(bytes(data)), 0, False)
    else:
        with pytest.raises(panic_type, match=error):
            get_kmer_count_fasta(fasta(bytes(data)), 0, False)


@pytest.mark.parametrize("line", [b"AC GT", b" ACGT", b"ACNT"])
def test_lookup_failure_comes_before_a_later_read_error(fasta, panic_type, line):
    with pytest.raises(panic_type, match="(?m)^called `Option::unwrap\\(\\)` on a `None` value$"):
        get_kmer_count_fasta(fasta(b">a\nACGT\n>b\n" + line + b"\n>c\n\xff\n"), 1, False)


def test_directory(tmp_path, monkeypatch, panic_type):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "d").mkdir()
    with pytest.raises(panic_type) as exc:
        get_kmer_count_fasta("d", 2, False)
    assert str(exc.value) == 'Failed to read fasta from "d": Is a directory (os error 21)'


@pytest.mark.parametrize(
    "path, quoted, cause",
    [
        ('no/such "x"\\y\t\u0301\n.fa', '"no/such \\"x\\"\\\\y\\t\\u{301}\\n.fa"', "No such file or directory (os error 2)"),
        ("a\0b", '"a\\0b"', "data provided contains a nul byte"),
    ],
)
def test_open_error(panic_type, path, quoted, cause):
    with pytest.raises(panic_type) as exc:
        get_kmer_count_fasta(path, 2, False)
    assert str(exc.value).split("\n") == [
        f"{UNWRAP_ERR}Failed to read fasta from {quoted}", "", "Caused by:", f"    {cause}"]


def test_large_file_against_reference(fasta):
    rng = random.Random(4)
    ids = [f"r{i}" for i in range(300)]
    chunks, records = [], []
    for n in range(400):
        rid = rng.choice(ids) if n % 7 == 0 else f"c{n}"
        seq = "".join(rng.choices("ACGT", k=rng.choice([0, 2, 150, 1000, 9000])))
        width = rng.choice([60, 61, 80, 1 << 20])
        eol = rng.choice(["\n", "\r\n", " \u00a0\n"])
        desc = rng.choice(["", " plain", "\tn\u00e9e", "\u3000x"])
        lines = [seq[i : i + width] for i in range(0, len(seq), width)]
        if len(lines) > 2:
            lines.insert(1, "")
        chunks.append(f">{rid}{desc}{eol}" + "".join(line + eol for line in lines))
        records.append((rid, seq))
    data = "".join(chunks).encode()
    assert len(data) > 3 * 128 * 1024 and ref_read(data) == records
    name = fasta(data)
    for k, rc in itertools.product([0, 3], [False, True]):
        assert count_file(name, k, rc) == expected(records, k, rc)
