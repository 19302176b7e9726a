"""The table of code points that quoted text escapes: it regenerates from its
generator, it holds the characters the quoting rules name, and the module's
quoting looks every code point up in it correctly."""
import importlib.util
import re
import unicodedata
from pathlib import Path

import pytest

from nuvek.kmer import get_kmer_count_fasta

ROOT = Path(__file__).resolve().parents[1]
HEADER = ROOT / "src" / "util" / "escape_table.hpp"
GENERATOR = ROOT / "tools" / "gen_escape_table.py"

pytestmark = pytest.mark.skipif(not HEADER.exists() or not GENERATOR.exists(),
                                reason="needs the source tree beside the tests")


def load_generator():
    found = importlib.util.spec_from_file_location("gen_escape_table", GENERATOR)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def committed_ranges():
    return [(int(lo, 16), int(hi, 16))
            for lo, hi in re.findall(r"\{0x([0-9A-F]+), 0x([0-9A-F]+)\}", HEADER.read_text())]


def in_table(cp, table):
    return any(lo <= cp <= hi for lo, hi in table)


def quoted(text, table):
    """The quoted literal written independently of the module: the named
    escapes, then \\u{hex} for what the table holds."""
    named = {"\\": "\\\\", "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0", '"': '\\"'}
    out = []
    for c in text:
        if c in named:
            out.append(named[c])
        elif in_table(ord(c), table):
            out.append("\\u{%x}" % ord(c))
        else:
            out.append(c)
    return '"' + "".join(out) + '"'


def open_error_quote(panic_type, path):
    """The quoted path in the message of a failed open."""
    with pytest.raises(panic_type) as exc:
        get_kmer_count_fasta(path, 2, False)
    first = str(exc.value).split("\n")[0]
    prefix = "Failed to read fasta from "
    return first[first.index(prefix) + len(prefix):]


def test_committed_table_regenerates():
    gen = load_generator()
    if unicodedata.unidata_version != gen.UNICODE_VERSION:
        pytest.skip(f"the table is for Unicode {gen.UNICODE_VERSION}, "
                    f"this interpreter has {unicodedata.unidata_version}")
    assert gen.render() == HEADER.read_text(encoding="utf-8")


def test_table_is_sorted_and_disjoint():
    table = committed_ranges()
    assert table and table[0][0] == 0 and table[-1][1] == 0x10FFFF
    for (lo, hi), (next_lo, _) in zip(table, table[1:]):
        assert lo <= hi < next_lo - 1  # adjacent ranges would have been merged


@pytest.mark.parametrize(
    "char, escaped",
    [
        (" ", False), ("'", False), ("~", False), ("\u00e9", False), ("\u4e2d", False),
        ("\U0001f600", False), ("\u0903", False),  # a spacing mark that extends nothing
        ("\x1b", True), ("\x7f", True), ("\x85", True),  # controls
        ("\u00a0", True), ("\u3000", True), ("\u2028", True), ("\u2029", True),  # separators
        ("\u00ad", True), ("\u200d", True), ("\ufeff", True),  # format characters
        ("\u0301", True), ("\u20dd", True),  # nonspacing and enclosing marks
        ("\u09be", True), ("\u200c", True), ("\uff9e", True), ("\U000e0041", True),  # other extenders
        ("\ue000", True), ("\U0010fffd", True),  # private use
        ("\u0378", True), ("\U0010ffff", True), ("\U0003ffff", True),  # unassigned
    ],
)
def test_quoting_rules(panic_type, char, escaped):
    assert in_table(ord(char), committed_ranges()) == escaped
    expected = "\\u{%x}" % ord(char) if escaped else char
    assert open_error_quote(panic_type, f"no-such-dir/x{char}y") == f'"no-such-dir/x{expected}y"'


def boundary_code_points(table):
    """Every range's first and last code point and their outer neighbours,
    except the surrogates, which a str cannot carry into UTF-8."""
    points = set()
    for lo, hi in table:
        points.update({lo - 1, lo, hi, hi + 1})
    return sorted(cp for cp in points if 0 < cp <= 0x10FFFF and not 0xD800 <= cp <= 0xDFFF)


@pytest.mark.parametrize("planes", [range(0, 1), range(1, 17)], ids=["basic", "supplementary"])
def test_module_looks_up_every_range_boundary(panic_type, planes):
    table = committed_ranges()
    points = [cp for cp in boundary_code_points(table) if cp >> 16 in planes]
    assert points
    # Short names, so that the path fails for want of its directory rather
    # than for its length.
    for start in range(0, len(points), 40):
        name = "".join(map(chr, points[start:start + 40]))
        path = f"no-such-dir/{name}"
        assert open_error_quote(panic_type, path) == quoted(path, table)
