"""FASTA counting line by line from the reader's buffer: records spanning many
lines and read buffers, line ends whose trailing whitespace straddles a buffer
boundary, failure notes naming record, file and position, and skip_invalid."""
import random

import pytest

from nuvek.kmer import get_kmer_count_fasta, get_kmer_count_seq

BUFFER = 128 * 1024  # the reader's read size
UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"
# Line ends: only the line feed ends a line; trailing whitespace is removed.
EOLS = ["\n", "\r\n", " \t\n", "\u00a0\n", "\u3000\r\n", "\u2029\n"]


@pytest.fixture
def fasta(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)

    def write(data, name="g.fa"):
        (tmp_path / name).write_bytes(data if isinstance(data, bytes) else data.encode())
        return name

    return write


def lines_of(seq, width, eol):
    return "".join(seq[i : i + width] + eol for i in range(0, len(seq), width))


def as_tuple(result):
    return result.k, result.total, result.counts


def count(path, k, rc, skip=False):
    if not skip:
        return get_kmer_count_fasta(path, k, rc)
    return get_kmer_count_fasta(path, k, rc, skip_invalid=True)


def count_seq(seq, k, rc, skip=False):
    if not skip:
        return get_kmer_count_seq(seq, k, rc)
    return get_kmer_count_seq(seq, k, rc, skip_invalid=True)


def random_records(rng, alphabet, n):
    records = []
    for i in range(n):
        length = [0, 3, 150, 5_000, 70_000, 300_000, 16_390][i % 7]
        seq = "".join(rng.choices(alphabet, k=length))
        width = rng.choice([1, 7, 60, 61, 80, BUFFER - 1, BUFFER + 3, 10**6])
        records.append((f"r{i}", seq, width, rng.choice(EOLS)))
    return records


@pytest.mark.parametrize("skip, alphabet", [(False, "ACGT"), (True, "ACGTacgtNNRy-")])
@pytest.mark.parametrize("k, rc", [(0, False), (1, True), (4, True), (8, False), (11, True)])
def test_records_over_many_lines_and_buffers(fasta, skip, alphabet, k, rc):
    rng = random.Random(k * 3 + rc + skip)
    records = random_records(rng, alphabet, 14)
    data = "".join(f">{rid} desc{eol}" + ("\n" if i % 3 == 0 else "") + lines_of(seq, width, eol)
                   for i, (rid, seq, width, eol) in enumerate(records))
    assert len(data) > 4 * BUFFER
    got = count(fasta(data), k, rc, skip)
    assert list(got) == [rid for rid, *_ in records]
    for rid, seq, *_ in records:
        assert as_tuple(got[rid]) == as_tuple(count_seq(seq, k, rc, skip)), rid


# Text placed so that its first byte lies at each offset around the end of
# the first read buffer. Inside a line, whitespace and non-ASCII letters are
# part of the sequence; at the end of a line, whitespace is trimmed.
@pytest.mark.parametrize(
    "middle, line_end",
    [
        ("  ", ""),
        ("\u00a0", ""),
        ("\u3000 \u2029", ""),
        ("", " \u00a0\t"),
        ("", "\u3000\u3000"),
        ("é", ""),
        ("\u00a0é ", "\u00a0"),
    ],
)
def test_line_pieces_across_the_buffer_end(fasta, middle, line_end):
    head = ">s\n"
    for shift in range(-4, 5):
        before = BUFFER + shift - len(head) - len(middle.encode()) // 2
        seq_line = "A" * before + middle + "CGT" * 3 + line_end
        data = head + seq_line + "\nGGCC\n>t\nACGT\n"
        seq = "A" * before + middle + "CGT" * 3 + "GGCC"
        for k in (0, 3):
            name = fasta(data)
            if middle and (k or not middle.isascii()):
                with pytest.raises(BaseException) as info:
                    get_kmer_count_fasta(name, k, True)
                assert info.value.__notes__[0].startswith(f'in record "s" of "g.fa", position {before}: ')
                lenient = count(name, k, True, skip=True)
                assert as_tuple(lenient["s"]) == as_tuple(count_seq(seq, k, True, skip=True))
            else:
                got = get_kmer_count_fasta(name, k, True)
                assert as_tuple(got["s"]) == as_tuple(get_kmer_count_seq(seq, k, True))
                assert got["t"].total == get_kmer_count_seq("ACGT", k, True).total


@pytest.mark.parametrize(
    "data, k, message, note",
    [
        (">a\nACGT\n>CP003200.1 x\nACGTA\nCGNTT\n", 3, UNWRAP_NONE, 'in record "CP003200.1" of "g.fa", position 7: \'N\''),
        (">a\nAC\nGT\n>b\nAAAA\nAAAé\n", 2, "byte index 8 is not a char boundary; it is inside 'é' (bytes 7..9) of `AAAAAAAé`",
         'in record "b" of "g.fa", position 7: \'é\''),
        (">q\"\\\n" + "A" * 100 + "\n" * 1000 + "a\n", 4, UNWRAP_NONE, 'in record "q\\"\\\\" of "g.fa", position 100: \'a\''),
        (">e\nAC\n\U0001F600\n", 0, "byte index 3 is not a char boundary; it is inside '\U0001F600' (bytes 2..6) of `AC\U0001F600`",
         'in record "e" of "g.fa", position 2: \'\U0001F600\''),
    ],
)
def test_failure_note_names_record_file_and_position(fasta, panic_type, data, k, message, note):
    with pytest.raises(panic_type) as info:
        get_kmer_count_fasta(fasta(data), k, False)
    assert str(info.value) == message
    assert info.value.__notes__ == [note]


def test_failure_deep_in_a_long_record(fasta, panic_type):
    seq = "".join(random.Random(5).choices("ACGT", k=3 * BUFFER))
    at = 2 * BUFFER + 17
    name = fasta(">chr\n" + lines_of(seq[:at] + "N" + seq[at + 1 :], 61, "\r\n"))
    with pytest.raises(panic_type) as info:
        get_kmer_count_fasta(name, 8, True)
    assert info.value.__notes__ == [f"in record \"chr\" of \"g.fa\", position {at}: 'N'"]


@pytest.mark.parametrize("bad", ["N", "é"])
def test_read_error_later_in_the_same_record_wins(fasta, panic_type, bad):
    # The record is read to its end before its counting failure is raised,
    # as when the whole record was read first.
    name = fasta((f">a\nAC{bad}GT\n" + "ACGT\n" * 50_000).encode() + b"AC\xff\n>b\nAC\n")
    with pytest.raises(panic_type) as info:
        get_kmer_count_fasta(name, 2, False)
    assert str(info.value) == 'Failed to read fasta from "g.fa": stream did not contain valid UTF-8'


def test_many_short_reads_after_long_records(fasta):
    # Tables are kept between records: after dense and failing-free long
    # records, short reads still start from clean counters.
    rng = random.Random(8)
    records = [("long", "".join(rng.choices("ACGT", k=400_000)))]
    records += [(f"read{i}", "".join(rng.choices("ACGT", k=150))) for i in range(300)]
    name = fasta("".join(f">{rid}\n{lines_of(seq, 70, chr(10))}" for rid, seq in records))
    for k in (4, 8, 12):
        got = get_kmer_count_fasta(name, k, True)
        for rid, seq in records[:1] + records[-3:]:
            assert as_tuple(got[rid]) == as_tuple(get_kmer_count_seq(seq, k, True))


@pytest.mark.parametrize("k", [1, 3, 6])
def test_skip_invalid_fasta_with_soft_masking_and_gaps(fasta, k):
    rng = random.Random(k)
    seq = "".join(rng.choice(["ACGT" * 10, "acgtt" * 9, "N" * 100, "-", "é", "R"]) for _ in range(3000))
    name = fasta(">m\n" + lines_of(seq, 60, "\n"))
    for rc in (False, True):
        got = count(name, k, rc, skip=True)["m"]
        assert as_tuple(got) == as_tuple(count_seq(seq, k, rc, skip=True))


# Short lines of every width, each with its own line end, some holding
# non-ASCII letters or whitespace inside, so that lines joined sixteen
# bytes at a time meet every kind of line next to every other.
@pytest.mark.parametrize("k, rc", [(0, False), (3, True), (5, False)])
def test_mixed_short_lines(fasta, k, rc):
    rng = random.Random(k)
    records, data = [], []
    for i in range(600):
        parts = []
        for _ in range(rng.randrange(0, 60)):
            line = "".join(rng.choices("ACGTacgtN", k=rng.randrange(0, 40)))
            if rng.random() < 0.05:
                at = rng.randrange(len(line) + 1)
                line = line[:at] + rng.choice(["é", " ", "\u00a0", "\t"]) + "A" + line[at:]
            parts.append(line)
            data.append(line + rng.choice(EOLS + ["  \r\n", "\t\n", "\n\n"]))
        data.insert(len(data) - len(parts), f">r{i}\n")
        records.append((f"r{i}", "".join(parts)))
    text = "".join(data)
    assert len(text.encode()) > 2 * BUFFER
    got = count(fasta(text), k, rc, skip=True)
    assert list(got) == [rid for rid, _ in records]
    for rid, seq in records:
        assert as_tuple(got[rid]) == as_tuple(count_seq(seq, k, rc, skip=True)), rid
