"""Fuzzes TopHitFile.read() with top-hit files of arbitrary bytes. The read
either succeeds or fails with one of the reader's internal failures, exactly
where a pure-Python reader fails, having added exactly the hits that reader
adds before it; writing the table and reading that file into a new table
gives the same table."""
import os
import sys
import tempfile

import atheris

import nuvek  # noqa: F401
from nuvek.hmmer.tophit import TopHitFile

with atheris.instrument_imports():
    import references

READ_BUFFER = 64 * 1024  # bytes the reader's buffer holds at first
PATH = os.path.join(tempfile.mkdtemp(prefix="fuzz-tophit-"), "hits.tsv")

PIECES = [b"Gene Id\tTop hits\n", b"\t", b"\n", b"\r\n", b"\r", b",", b";", b"g1", b"g2", b"F1", b"F2", b"",
          b"1e-5", b"30", b"-0", b"0", b"nan", b"-NaN", b"inf", b"-Infinity", b"+3.5", b".5", b"5.", b"1e400",
          b"1e-400", b"0.00000000025", b"2.5E+3", b"12345678901234567890123", b" ", b"e", b"\xff", "\u00e9".encode()]


def check_table(table, model):
    """The table holds exactly the hits of model ({gene: {family: hit}})."""
    for gene, families in model.items():
        assert table.contains_gene_id(gene), gene
        for family, (e_val, bit_score) in families.items():
            hit = table.get_hmm_hit(gene, family)
            assert hit is not None and table.contains_gene_hmm(gene, family), (gene, family)
            assert references.same_number(hit.e_val, e_val), (gene, family, hit.e_val, e_val)
            assert references.same_number(hit.bit_score, bit_score), (gene, family, hit.bit_score, bit_score)
    # Nothing else: the written file names exactly these hits, in gene order.
    table.write()
    with open(table.path, "rb") as f:
        written = f.read()
    assert written.startswith(b"Gene Id\tTop hits (Family id,e-value,bitscore)\n")
    back = references.read_tophits(written, {})
    assert list(back) == list(model), (list(back), list(model))
    for gene, families in model.items():
        assert back[gene].keys() == families.keys(), gene
        for family, (e_val, bit_score) in families.items():
            e2, b2 = back[gene][family]
            assert references.same_number(e_val, e2) and references.same_number(bit_score, b2), (gene, family)
        # Best hit first, wherever the order is defined (no NaN involved).
        hits = list(back[gene].values())
        for a, b in zip(hits, hits[1:]):
            assert not references.better(b, a), (gene, a, b)
    return written, back


def check_top_hits(table, model):
    for gene, families in model.items():
        family, (e_val, bit_score) = references.top_hit(families)
        hit = table.get_top_hit(gene)
        assert hit.hmm_id == family and hit.gene_id == gene, (gene, hit, family)
        assert references.same_number(hit.e_val, e_val) and references.same_number(hit.bit_score, bit_score)


def test_one_input(data):
    # Two control bytes, then the file: whether the rest is raw or spelled
    # from pieces of top-hit lines, and an offset that puts the file's bytes
    # around the end of the reader's first buffer.
    if len(data) < 2:
        return
    shaped, pad = bool(data[0] & 1), data[1]
    content = data[2:]
    if shaped:
        content = b"".join(PIECES[b % len(PIECES)] for b in content)
    if pad >= 192:
        # A long header line fills the buffer up to a few bytes short; without
        # its line feed the first fuzzed line continues it.
        end = b"\n" if pad & 1 else b""
        content = b"h" * (READ_BUFFER - len(end) - (pad - 192)) + end + content
    with open(PATH, "wb") as f:
        f.write(content)

    model = {}
    try:
        references.read_tophits(content, model)
    except references.ReadFailure as failure:
        expected_failure = str(failure)
    else:
        expected_failure = None

    table = TopHitFile(PATH)
    try:
        table.read()
    except BaseException as exc:  # noqa: BLE001
        if type(exc).__name__ != "PanicException":
            raise
        assert str(exc) == expected_failure, (content, str(exc), expected_failure)
    else:
        assert expected_failure is None, (content, expected_failure)

    # What was read (up to a failure) is exactly the reference's table. The
    # table's write() replaces the input file, which was consumed already;
    # a new table reads that file back and must hold the same hits.
    # The new table meets the hits in the order of the file.
    _, file_order = check_table(table, model)
    check_top_hits(table, model)
    fresh = TopHitFile(PATH)
    fresh.read()
    check_table(fresh, model)
    check_top_hits(fresh, file_order)


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
