"""Small pure-Python references the fuzzers check nuvek against."""
import math
import re
import struct
import zlib
from decimal import Decimal

COMPLEMENT = {"A": "T", "C": "G", "G": "C", "T": "A"}


def canonical_gid(gid):
    if gid.startswith("U"):
        return gid
    for old, new in [("RS_", ""), ("GB_", ""), ("GCA_", "G"), ("GCF_", "G")]:
        gid = gid.replace(old, new)
    return gid.split(".", 1)[0]


def rev_complement(seq):
    return "".join(COMPLEMENT.get(c, "N") for c in reversed(seq))


class CountFailure(Exception):
    """The failure that counting a sequence must raise: its message prefix."""


def count_strand(seq, k):
    """Counts (column -> count, total) of one strand, or raises CountFailure.

    Windows are byte windows of the UTF-8 text, checked in order: a window
    that starts or ends inside a character fails with the boundary message,
    one holding anything but A, C, G, T with the lookup message.
    """
    data = seq.encode("utf-8")
    counts = {}
    total = 0
    for i in range(len(data)):
        if i + k > len(data):
            break
        for at in (i, i + k):
            if at < len(data) and (data[at] & 0xC0) == 0x80:
                raise CountFailure(f"byte index {at} is not a char boundary; it is inside ")
        window = data[i : i + k]
        if any(b not in b"ACGT" for b in window):
            raise CountFailure("called `Option::unwrap()` on a `None` value")
        col = 0
        for b in window:
            col = col * 4 + b"ACGT".index(b)
        counts[col] = counts.get(col, 0) + 1
        total += 1
    return counts, total


def count_seq(seq, k, use_rev_complement):
    counts, total = count_strand(seq, k)
    if use_rev_complement:
        rc_counts, rc_total = count_strand(rev_complement(seq), k)
        for col, n in rc_counts.items():
            counts[col] = counts.get(col, 0) + n
        total += rc_total
    return counts, total


# ---------------------------------------------------------------------------
# FASTA files

# The Unicode White_Space characters (str.isspace also takes U+001C..U+001F).
WHITE_SPACE = frozenset(
    "\t\n\x0b\x0c\r \x85\xa0\u1680\u2028\u2029\u202f\u205f\u3000" + "".join(map(chr, range(0x2000, 0x200B)))
)


class FastaFailure(Exception):
    """A failure of the FASTA reader: its short form."""


def rstrip_white(text):
    end = len(text)
    while end and text[end - 1] in WHITE_SPACE:
        end -= 1
    return text[:end]


def fasta_lines(data):
    """The lines of the file's bytes, without their line feeds, decoded one
    at a time as they are read: an undecodable line raises FastaFailure
    where it stands."""
    lines = data.split(b"\n")
    if lines[-1] == b"":
        lines.pop()  # a final line feed ends the last line, it starts none
    for line in lines:
        try:
            yield line.decode("utf-8")
        except UnicodeDecodeError:
            raise FastaFailure("stream did not contain valid UTF-8") from None


def fasta_records(data):
    """(id, seq) of every record in file order; a read error raises
    FastaFailure once the records before it were yielded. A record is
    complete only once the line after it (the next header) was read."""
    lines = fasta_lines(data)
    first = next(lines, None)
    if first is None:
        return
    if not first.startswith(">"):
        raise FastaFailure("Expected > at record start.")
    header = first
    while header is not None:
        head = rstrip_white(header[1:])
        cut = next((i for i, c in enumerate(head) if c in WHITE_SPACE), len(head))
        seq = []
        header = None
        for line in lines:
            if line.startswith(">"):
                header = line
                break
            seq.append(rstrip_white(line))
        yield head[:cut], "".join(seq)


class GzipFailure(FastaFailure):
    """A damaged gzip stream. The call fails, but which failure it reports
    depends on how far the stream is read first: a reader's failure in the
    bytes before the damage, or either of these messages."""

    MESSAGES = ("invalid gzip data", "unexpected end of gzip stream")


def gunzip(data):
    """The bytes of a stream of gzip members: zero bytes between members
    are padding; anything else after a member must be another member."""
    out = []
    rest = data
    while True:
        rest = rest.lstrip(b"\0") if out else rest
        if not rest:
            return b"".join(out)
        if rest[0] != 0x1F or (len(rest) > 1 and rest[1] != 0x8B):
            raise GzipFailure("invalid gzip data")
        member = zlib.decompressobj(16 + 15)
        try:
            out.append(member.decompress(rest))
        except zlib.error:
            raise GzipFailure("invalid gzip data") from None
        if not member.eof:
            raise GzipFailure("unexpected end of gzip stream")
        rest = member.unused_data


def count_fasta(data, k, use_rev_complement):
    """The records' counts {id: (counts, total)} in first-occurrence order,
    the last record of an id winning; raises FastaFailure or CountFailure.
    Data that begins with the gzip magic bytes is decompressed first."""
    if data[:2] == b"\x1f\x8b":
        data = gunzip(data)
    result = {}
    for rid, seq in fasta_records(data):
        result[rid] = count_seq(seq, k, use_rev_complement)
    return result


def profile_failure(data, k, bad):
    """The message of the first k-mer holding the byte at offset bad."""
    end = max(bad - k + 1, 0) + k
    if end < len(data) and (data[end] & 0xC0) == 0x80:
        return f"byte index {end} is not a char boundary; it is inside "
    return "called `Option::unwrap()` on a `None` value"


def profile_fasta(data, k, canonical, window, step, min_length, skip_invalid):
    """The rows (id, start, end, total, {column: count}) of
    get_kmer_profile_fasta, byte ranges of each record's UTF-8 sequence;
    raises FastaFailure or CountFailure."""
    if data[:2] == b"\x1f\x8b":
        data = gunzip(data)
    codes = range(4**k)
    rc = [int("".join(str(3 - int(d)) for d in reversed(_digits(c, k))), 4) for c in codes]
    columns = sorted({min(c, rc[c]) for c in codes}) if canonical else list(codes)
    index = {c: i for i, c in enumerate(columns)}
    rows = []
    for rid, seq in fasta_records(data):
        b = seq.encode("utf-8")
        if len(b) < min_length:
            continue
        if window:
            spans = [(a, a + window) for a in range(0, len(b) - window + 1, step or window)]
        else:
            spans = [(0, len(b))] if len(b) >= k else []
        if not skip_invalid:
            bad = min((i for a, e in spans for i in range(a, e) if b[i] not in b"ACGT"), default=None)
            if bad is not None:
                raise CountFailure(profile_failure(b, k, bad))
        if not window and len(b) < k:
            spans = [(0, len(b))]
        for a, e in spans:
            counts, total = {}, 0
            for i in range(a, e - k + 1):
                w = b[i : i + k]
                if any(x not in b"ACGTacgt" for x in w):
                    continue
                code = int("".join(str(b"ACGT".index(x & 0xDF)) for x in w), 4)
                col = index[min(code, rc[code]) if canonical else code]
                counts[col] = counts.get(col, 0) + 1
                total += 1
            rows.append((rid, a, e, total, counts))
    return rows


def _digits(code, k):
    return [str((code >> (2 * (k - 1 - j))) & 3) for j in range(k)]


# ---------------------------------------------------------------------------
# Top-hit files

UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"
NUMBER = re.compile(r"[+-]?(?:(?i:inf|infinity|nan)|(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?)")


class ReadFailure(Exception):
    """A failure of reading a top-hit file: its message."""


def parse_number(field):
    if not NUMBER.fullmatch(field):
        kind = "Empty" if field == "" else "Invalid"
        raise ReadFailure(f"called `Result::unwrap()` on an `Err` value: ParseFloatError {{ kind: {kind} }}")
    return float(field)


def better(new, stored):
    """True when the hit (e_val, bit_score) new replaces stored."""
    return new[1] > stored[1] or (new[1] == stored[1] and new[0] < stored[0])


def add_hit(table, gene, family, e_val, bit_score):
    families = table.setdefault(gene, {})
    if family not in families or better((e_val, bit_score), families[family]):
        families[family] = (e_val, bit_score)


def read_tophits(data, table):
    """Merges the hits of a top-hit file's bytes into table
    {gene: {family: (e_val, bit_score)}} (insertion-ordered); raises
    ReadFailure as the file's reader does, the hits before it added."""
    lines = data.split(b"\n")
    last = lines.pop()  # the bytes after the last line feed: a line without one, if any
    lines = [line.removesuffix(b"\r") for line in lines] + ([last] if last else [])
    header = True
    for raw in lines:
        try:
            line = raw.decode("utf-8")
        except UnicodeDecodeError:
            continue
        if header:
            header = False
            continue
        if "\t" not in line:
            raise ReadFailure(UNWRAP_NONE)
        gene, field = line.split("\t", 1)
        field = field.split("\t", 1)[0]
        for piece in field.split(";"):
            if "," not in piece:
                raise ReadFailure(UNWRAP_NONE)
            family, rest = piece.split(",", 1)
            e_val = parse_number(rest.split(",", 1)[0])
            if "," not in rest:
                raise ReadFailure(UNWRAP_NONE)
            bit_score = parse_number(rest.split(",", 1)[1].split(",", 1)[0])
            add_hit(table, gene, family, e_val, bit_score)
    return table


def top_hit(families):
    """The hit get_top_hit selects, visiting the families in insertion order."""
    best = None
    for family, hit in families.items():
        if best is None or hit[1] > best[1][1] or (hit[1] == best[1][1] and hit[0] <= best[1][0]):
            best = (family, hit)
    return best


def same_number(a, b):
    """Bit-for-bit equality, any NaN equal to any NaN."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return struct.pack("<d", a) == struct.pack("<d", b)


def number_text(x):
    """The number text form: shortest round-trip digits, positional."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return format(Decimal(repr(x)).normalize(), "f")
