import math
import os
import random
import struct

import pytest

import nuvek  # noqa: F401 - registers nuvek.hmmer.tophit in sys.modules
from nuvek.hmmer.tophit import Hit, TopHitFile

from conftest import run_python

HEADER = b"Gene Id\tTop hits (Family id,e-value,bitscore)\n"
NAN = float("nan")
UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"
INVALID = "called `Result::unwrap()` on an `Err` value: ParseFloatError { kind: Invalid }"
EMPTY = "called `Result::unwrap()` on an `Err` value: ParseFloatError { kind: Empty }"


def bits(v):
    return struct.pack("<d", v)


def snapshot(table, genes):
    """{gene: {family: (e_val bits, bit_score bits)}} for the given genes."""
    out = {}
    for g, families in genes.items():
        out[g] = {}
        for f in families:
            h = table.get_hmm_hit(g, f)
            out[g][f] = (bits(h.e_val), bits(h.bit_score))
    return out


# --- table -------------------------------------------------------------------


@pytest.mark.parametrize(
    "offers, kept",
    [
        ([(1e-5, 30.0), (1e-30, 20.0)], (1e-5, 30.0)),
        ([(1e-5, 30.0), (1e-3, 31.0)], (1e-3, 31.0)),
        ([(1e-5, 30.0), (1e-9, 30.0)], (1e-9, 30.0)),
        ([(1e-9, 30.0), (1e-5, 30.0)], (1e-9, 30.0)),
        ([(1e-5, 30.0), (1e-1, NAN)], (1e-5, 30.0)),
        ([(1e-5, NAN), (1e-9, 99.0)], (1e-5, NAN)),
        ([(NAN, 30.0), (1e-9, 30.0)], (NAN, 30.0)),
        ([(1.0, 0.0), (0.5, -0.0)], (0.5, -0.0)),
    ],
)
def test_add_rule(offers, kept):
    t = TopHitFile("unused")
    for e, b in offers:
        t.add_hit("g1", "F1", e, b)
    h = t.get_hmm_hit("g1", "F1")
    assert (bits(h.e_val), bits(h.bit_score)) == (bits(kept[0]), bits(kept[1]))


def test_lookups_and_selection():
    t = TopHitFile("")
    assert t.path == ""
    assert not t.contains_gene_id("g1") and t.get_top_hit("g1") is None and t.get_hmm_hit("g1", "F1") is None
    t.add_hit("g1", "F1", 1e-5, 30.0)
    t.add_hit("g1", "F2", 1e-9, 10)
    t.add_hit("g2", "F1", 1, 1)
    t.add_hit("G1", "F1", 1, 99)
    assert t.get_top_hit("g1") == Hit("g1", "F1", 1e-5, 30.0)
    assert t.get_hmm_hit("g1", "F2") == Hit("g1", "F2", 1e-9, 10.0)
    assert t.contains_gene_id("g1") and not t.contains_gene_id("g1 ") and not t.contains_gene_id("g3")
    assert t.contains_gene_hmm("g1", "F2") and not t.contains_gene_hmm("g1", "F9") and not t.contains_gene_hmm("g2", "F2")
    held = t.get_top_hit("g2")
    t.add_hit("g2", "F1", 1, 5)
    assert held.bit_score == 1.0 and t.get_top_hit("g2").bit_score == 5.0
    assert t.get_hmm_hit("g1", "F1").bit_score == 30.0  # the same family of another gene is untouched


def test_top_hit_ties_and_nan():
    t = TopHitFile("x")
    for f in ("A", "B", "C"):
        t.add_hit("g", f, 1e-5, 10)
    assert t.get_top_hit("g").hmm_id == "C"  # the last added of equal hits, every time
    t.add_hit("n", "A", 1, NAN)
    t.add_hit("n", "B", 1, 50)
    assert t.get_top_hit("n").hmm_id == "A"
    t.add_hit("m", "A", 1, 5)
    t.add_hit("m", "B", 1, NAN)
    t.add_hit("m", "C", 1, 4)
    assert t.get_top_hit("m").hmm_id == "A"


def test_argument_errors_and_borrows():
    t = TopHitFile(path="p")
    with pytest.raises(TypeError, match="^argument 'e_val': "):
        t.add_hit("g", "F", "1", 2)
    assert not t.contains_gene_id("g")
    with pytest.raises(TypeError, match="^argument 'path': 'bytes' object cannot be converted to 'PyString'$"):
        TopHitFile(b"p")
    with pytest.raises(TypeError, match=r"^TopHitFile.get_hmm_hit\(\) missing 1 required positional argument: 'hmm_id'$"):
        t.get_hmm_hit("g")

    class Sneaky:
        def __float__(self):
            t.contains_gene_id("g")
            return 1.0

    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        t.add_hit("g", "F", Sneaky(), 1)
    t.add_hit(gene_id="g", hmm_id="F", e_val=1, bit_score=2)
    assert t.contains_gene_hmm(hmm_id="F", gene_id="g")


# --- writing -----------------------------------------------------------------


def sample(path):
    t = TopHitFile(str(path))
    t.add_hit("g1", "F2", 0.001, 20.5)
    t.add_hit("g1", "F1", 1e-10, 50.0)
    t.add_hit("g2", "F3", 2.5e-7, 33.0)
    return t


def test_sample_bytes_and_nested_directories(tmp_path):
    path = tmp_path / "a" / "b" / "c.tsv"
    sample(path).write()
    assert path.read_bytes() == HEADER + b"g1\tF1,0.0000000001,50;F2,0.001,20.5\ng2\tF3,0.00000025,33\n"
    path.write_bytes(b"x" * 5000)
    TopHitFile(str(path)).write()
    assert path.read_bytes() == HEADER
    assert sorted(os.listdir(path.parent)) == ["c.tsv"]  # no temporary file left


def test_hit_order_in_line(tmp_path):
    t = TopHitFile(str(tmp_path / "o.tsv"))
    for f, e, b in [("A", 1, 10), ("B", 1, 30), ("C", 1, 20), ("D", 1e-5, 30), ("E", 1e-9, 30), ("F", 1e-5, 30)]:
        t.add_hit("g", f, e, b)
    for i in range(40):  # enough families to exercise the merging sort
        t.add_hit("h", f"f{i}", 1, i % 7)
    t.write()
    lines = (tmp_path / "o.tsv").read_bytes().split(b"\n")
    assert lines[1] == b"g\tE,0.000000001,30;D,0.00001,30;F,0.00001,30;B,1,30;C,1,20;A,1,10"
    fams = [p.split(b",") for p in lines[2].split(b"\t")[1].split(b";")]
    # Best first; equal hits in insertion order, so that a table read back
    # from the file picks the same one of them as get_top_hit.
    expected = sorted(range(40), key=lambda i: -(i % 7))
    assert [int(f[0][1:]) for f in fams] == expected


@pytest.mark.parametrize(
    "count, bit_score",
    [
        (120, lambda rng, i: round(rng.uniform(-20, 1500), 1)),  # spread over buckets
        (300, lambda rng, i: rng.choice([5.0, 5.5, -0.0, 0.0, 1e-300, 7.25])),  # ties, crowded buckets
        (64, lambda rng, i: rng.choice([1.0, 2.0]) if i else 1e300),  # one far outlier
        (50, lambda rng, i: rng.choice([float("inf"), -float("inf"), 3.0, -1e308, 1e308])),  # no finite range
        (40, lambda rng, i: 2.0),  # all equal: order by e-value, then insertion order
        (5000, lambda rng, i: round(rng.uniform(0, 100), 1)),  # beyond the bucket limit
        (17, lambda rng, i: 5e-324 * rng.randrange(3)),  # subnormal range
    ],
)
def test_hit_order_matches_a_stable_sort(tmp_path, count, bit_score):
    rng = random.Random(count)
    t = TopHitFile(str(tmp_path / "s.tsv"))
    hits = [(f"F{i}", rng.choice([1e-5, 2e-5, 0.5]), bit_score(rng, i)) for i in range(count)]
    for f, e, b in hits:
        t.add_hit("g", f, e, b)
    t.write()
    line = (tmp_path / "s.tsv").read_bytes().split(b"\n")[1]
    written = [p.split(b",")[0].decode() for p in line.split(b"\t")[1].split(b";")]
    # Best first: a stable sort by (-bit score, e-value), equal hits in insertion order.
    assert written == [f for f, e, b in sorted(hits, key=lambda h: (-h[2], h[1]))]


def test_nan_hits_written_once_and_read_back(tmp_path):
    t = TopHitFile(str(tmp_path / "n.tsv"))
    values = [(NAN, 1), (1, NAN), (0.0, -0.0), (float("inf"), float("-inf")), (3.2e-45, 5), (NAN, NAN), (1, 2)] * 5
    for i, (e, b) in enumerate(values):
        t.add_hit("g", f"F{i}", e, b)
    t.write()
    line = (tmp_path / "n.tsv").read_bytes().split(b"\n")[1]
    assert sorted(p.split(b",")[0] for p in line.split(b"\t")[1].split(b";")) == sorted(
        f"F{i}".encode() for i in range(len(values))
    )
    assert b"F4,0." + b"0" * 44 + b"32,5" in line and b"-inf" in line and b",-0" in line
    u = TopHitFile(t.path)
    u.read()
    genes = {"g": [f"F{i}" for i in range(len(values))]}
    assert snapshot(u, genes) == snapshot(t, genes)


def test_random_tables_round_trip(tmp_path):
    rng = random.Random(11)
    specials = [NAN, float("inf"), -float("inf"), 0.0, -0.0, 1e-300, 5e-324, 1.7976931348623157e308]
    for trial in range(5):
        t = TopHitFile(str(tmp_path / f"r{trial}.tsv"))
        genes = {}
        for _ in range(300):
            g = "".join(rng.choice("ab é\r") for _ in range(rng.randrange(0, 4)))
            f = "".join(rng.choice("xyζ \r") for _ in range(rng.randrange(0, 4)))
            e = rng.choice(specials) if rng.random() < 0.2 else 10 ** rng.uniform(-300, 3)
            b = rng.choice(specials) if rng.random() < 0.2 else rng.uniform(-100, 1000)
            t.add_hit(g, f, e, b)
            genes.setdefault(g, set()).add(f)
        t.write()
        u = TopHitFile(t.path)
        u.read()
        assert snapshot(u, genes) == snapshot(t, genes)
        assert all(u.contains_gene_id(g) for g in genes)
        u.read()  # reading into a table that holds the same hits changes nothing
        assert snapshot(u, genes) == snapshot(t, genes)


def test_output_is_the_same_in_every_process(tmp_path):
    code = """
        import nuvek, random, sys
        from nuvek.hmmer.tophit import TopHitFile
        rng = random.Random(3)
        t = TopHitFile(sys.argv[1] if len(sys.argv) > 1 else {path!r})
        for _ in range(2000):
            t.add_hit(f"g{{rng.randrange(300)}}", f"F{{rng.randrange(40)}}", rng.choice([1e-5, 1]), rng.choice([10, 20]))
        t.write()
        print(t.get_top_hit("g7"))
    """
    outs = []
    for i in range(2):
        path = tmp_path / f"d{i}.tsv"
        proc = run_python(code.format(path=str(path)))
        outs.append((path.read_bytes(), proc.stdout))
    assert outs[0] == outs[1]


@pytest.mark.parametrize(
    "gene, family, message",
    [
        ("g\t1", "F", 'Cannot write gene id "g\\t1": it contains a tab or a line feed'),
        ("g\n", "F", 'Cannot write gene id "g\\n": it contains a tab or a line feed'),
        ("g", "F,1", 'Cannot write family id "F,1": it contains a comma, a semicolon, a tab or a line feed'),
        ("g", "é;\x00", 'Cannot write family id "é;\\0": it contains a comma, a semicolon, a tab or a line feed'),
        ("g", "\t", 'Cannot write family id "\\t": it contains a comma, a semicolon, a tab or a line feed'),
        ("ok", "F;2", 'Cannot write family id "F;2": it contains a comma, a semicolon, a tab or a line feed'),
    ],
)
def test_ids_that_cannot_be_read_back_are_refused(tmp_path, panic_type, gene, family, message):
    t = TopHitFile(str(tmp_path / "new" / "t.tsv"))
    t.add_hit("ok", "F", 1, 1)
    t.add_hit(gene, family, 1, 1)
    with pytest.raises(panic_type) as info:
        t.write()
    assert str(info.value) == message
    assert not (tmp_path / "new").exists()  # nothing created


def test_write_failures(tmp_path, panic_type):
    def failure(path):
        t = TopHitFile(path)
        t.add_hit("g", "F", 1, 1)
        with pytest.raises(panic_type) as info:
            t.write()
        return str(info.value)

    assert failure("") == UNWRAP_NONE
    assert failure("/") == UNWRAP_NONE
    (tmp_path / "file").write_bytes(b"")
    assert failure(str(tmp_path / "file" / "x.tsv")).startswith("Cannot create directory!: Os { code: 17, kind: AlreadyExists")
    assert failure(str(tmp_path)) == 'Cannot create file!: Os { code: 21, kind: IsADirectory, message: "Is a directory" }'
    nul = 'Error { kind: InvalidInput, message: "data provided contains a nul byte" }'
    assert failure(str(tmp_path / "a\0b" / "x")) == "Cannot create directory!: " + nul
    assert failure(str(tmp_path / "a\0b")) == "Cannot create file!: " + nul
    # The header goes out first, unbuffered, so a device that takes nothing fails there.
    assert failure("/dev/full") == (
        'Cannot write to file!: Os { code: 28, kind: StorageFull, message: "No space left on device" }'
    )
    with pytest.raises(panic_type, match="^Cannot write to file!: Os { code: 28, kind: StorageFull"):
        TopHitFile("/dev/full").write()


def test_existing_file_keeps_mode_and_symlink_is_written_through(tmp_path):
    path = tmp_path / "t.tsv"
    path.write_bytes(b"old")
    os.chmod(path, 0o640)
    sample(path).write()
    assert os.stat(path).st_mode & 0o777 == 0o640
    link = tmp_path / "link.tsv"
    link.symlink_to(path)
    TopHitFile(str(link)).write()
    assert link.is_symlink() and path.read_bytes() == HEADER
    new = tmp_path / "fresh.tsv"
    proc = run_python(
        f"""
        import os, sys, nuvek
        os.umask(0o027)
        sys.modules["nuvek.hmmer.tophit"].TopHitFile({str(new)!r}).write()
        """
    )
    assert proc.returncode == 0 and os.stat(new).st_mode & 0o777 == 0o640


def test_failed_write_leaves_old_file_intact(tmp_path):
    path = tmp_path / "t.tsv"
    sample(path).write()
    before = path.read_bytes()
    proc = run_python(
        f"""
        import os, resource, sys, nuvek
        TopHitFile = sys.modules["nuvek.hmmer.tophit"].TopHitFile
        t = TopHitFile({str(path)!r})
        for i in range(20000):
            t.add_hit(f"gene{{i}}", "F", 1e-300, i)
        resource.setrlimit(resource.RLIMIT_FSIZE, (100000, 100000))
        try:
            t.write()
        except BaseException as e:
            print(e)
        """
    )
    assert proc.stdout.strip() == 'TODO: panic message: Os { code: 27, kind: FileTooLarge, message: "File too large" }'
    assert path.read_bytes() == before
    assert os.listdir(tmp_path) == ["t.tsv"]


# --- reading -----------------------------------------------------------------


@pytest.mark.parametrize(
    "body, hits",
    [
        (b"", []),
        (b"g\tF1,1E-5,+30\n", [("g", "F1", 1e-5, 30.0)]),
        (b"g\tF1,1e-5,30,extra\tthird column\n", [("g", "F1", 1e-5, 30.0)]),
        (b"g\tF1,.5,5.;F2,-INF,+Infinity;F3,nAn,-0\r\n", [("g", "F1", 0.5, 5.0), ("g", "F2", -math.inf, math.inf), ("g", "F3", NAN, -0.0)]),
        (b"g\tF,1e400,-1e-400", [("g", "F", math.inf, -0.0)]),
        (b"\xff\tbad,utf8\ng\tF,1,2\n", [("g", "F", 1.0, 2.0)]),
        (b"g\tF,1,20\ng\tF,2,40\ng\tF,1,30\n", [("g", "F", 2.0, 40.0)]),
        (b"g\tF,0.000000000000000000000000000000000000000000001,1\n", [("g", "F", 1e-45, 1.0)]),
    ],
)
def test_reader_accepts(tmp_path, body, hits):
    path = tmp_path / "r.tsv"
    path.write_bytes(b"any header\n" + body)
    t = TopHitFile(str(path))
    t.read()
    for g, f, e, b in hits:
        h = t.get_hmm_hit(g, f)
        assert (bits(h.e_val), bits(h.bit_score)) == (bits(e), bits(b)) or (math.isnan(e) and math.isnan(h.e_val))
    assert sum(t.contains_gene_id(g) for g in {h[0] for h in hits}) == len({h[0] for h in hits})


def test_first_readable_line_is_the_header(tmp_path):
    path = tmp_path / "h.tsv"
    path.write_bytes(b"\xc3\x28\tF,1,1\ng\tF,1,1\n")
    t = TopHitFile(str(path))
    t.read()
    assert not t.contains_gene_id("g")


@pytest.mark.parametrize(
    "body, message, added",
    [
        (b"g\tF,1,1\n\n", UNWRAP_NONE, ["F"]),
        (b"g\tF,1,1;\n", UNWRAP_NONE, ["F"]),
        (b"g\t\n", UNWRAP_NONE, []),
        (b"no tab here\n", UNWRAP_NONE, []),
        (b"g\tF,1,1;G\n", UNWRAP_NONE, ["F"]),
        (b"g\tF,1,1;G,abc\n", INVALID, ["F"]),
        (b"g\tG,1e-5\n", UNWRAP_NONE, []),
        (b"g\tG,,5\n", EMPTY, []),
        (b"g\tG,1,\n", EMPTY, []),
        (b"g\tG, 1,5\n", INVALID, []),
        (b"g\tG,1 ,5\n", INVALID, []),
        (b"g\tG,1,5\r\r\n", INVALID, []),
        (b"g\tG,1,5\r", INVALID, []),
        *[(b"g\tG,1," + f + b"\n", INVALID, []) for f in (b"+", b"-", b".", b"1e", b"1e+", b"0x10", b"1_0", b"nan(1)", b"1..2", b"++1", b"e5", b"infinit")],
        # The e-value ends at the next ",": a number must fill all of it.
        *[(b"g\tG," + f + b",5\n", INVALID, []) for f in (b"-", b"1e", b"1e5x", b"inf1", b"nan(1)", b"-+1", b"1.2.3", b"5 ")],
    ],
)
def test_reader_failures(tmp_path, panic_type, body, message, added):
    path = tmp_path / "f.tsv"
    path.write_bytes(HEADER + body)
    t = TopHitFile(str(path))
    with pytest.raises(panic_type) as info:
        t.read()
    assert str(info.value) == message
    assert [f for f in "FG" if t.contains_gene_hmm("g", f)] == added


def test_reader_open_failures(tmp_path, panic_type):
    t = TopHitFile(str(tmp_path / "missing.tsv"))
    with pytest.raises(panic_type) as info:
        t.read()
    assert str(info.value) == 'Cannot read file!: Os { code: 2, kind: NotFound, message: "No such file or directory" }'
    with pytest.raises(panic_type, match="^Cannot read file!: Os { code: 21, kind: IsADirectory"):
        TopHitFile(str(tmp_path)).read()
    with pytest.raises(panic_type, match="^Cannot read file!: Error { kind: InvalidInput"):
        TopHitFile("a\0").read()


def test_long_lines_read_back(tmp_path):
    t = TopHitFile(str(tmp_path / "long.tsv"))
    for i in range(3000):
        t.add_hit("g", f"F{i}", 1e-300, i)
    t.write()
    assert os.path.getsize(t.path) > 3 * 64 * 1024
    u = TopHitFile(t.path)
    u.read()
    assert u.get_top_hit("g") == Hit("g", "F2999", 1e-300, 2999)
    assert all(u.contains_gene_hmm("g", f"F{i}") for i in range(3000))


def test_reader_numbers_match_float(tmp_path):
    rng = random.Random(7)

    def digits(n):
        return "".join(rng.choice("0123456789") for _ in range(n))

    texts = []
    for _ in range(4000):
        whole = rng.choice(["", "0", "00", digits(rng.randrange(1, 25))])
        frac = rng.choice(["", digits(rng.randrange(1, 25)), "0" * rng.randrange(300) + digits(3)])
        t = whole + (("." + frac) if frac or rng.random() < 0.3 else "")
        if not any(c.isdigit() for c in t):
            t += "7"
        if rng.random() < 0.5:
            t += rng.choice("eE") + rng.choice(["", "+", "-"]) + str(rng.choice([rng.randrange(30), rng.randrange(400)]))
        texts.append(rng.choice(["", "+", "-"]) + t)
    texts += ["9007199254740993", "9007199254740992e1", "1e22", "1e23", "123456789012345678901234567890e-30",
              "2.4703282292062328e-324", "2.4703282292062327e-324", "1.7976931348623159e308", "-0e999999999999"]
    path = tmp_path / "n.tsv"
    path.write_text("h\n" + "".join(f"g\tF{i},{t},{t}\n" for i, t in enumerate(texts)))
    table = TopHitFile(str(path))
    table.read()
    for i, t in enumerate(texts):
        h = table.get_hmm_hit("g", f"F{i}")
        assert bits(h.e_val) == bits(float(t)), t


def test_reader_numbers_near_halfway_between_doubles(tmp_path):
    # Decimals of 16 to 19 digits next to the midpoint of two neighbouring
    # doubles, and short decimals over the whole exponent range: where an
    # extended-precision product must not decide the rounding on its own.
    from decimal import Decimal, getcontext

    getcontext().prec = 800
    rng = random.Random(11)
    texts = []
    for _ in range(1500):
        v = abs(struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0])
        if not math.isfinite(v) or v == 0:
            continue
        mid = (Decimal(v) + Decimal(math.nextafter(v, math.inf))) / 2
        texts += [format(mid, f".{n}e") for n in (15, 16, 17, 18)]
    texts += [f"{rng.randrange(1, 10**rng.randint(1, 19))}e{rng.randint(-345, 310)}" for _ in range(3000)]
    path = tmp_path / "mid.tsv"
    path.write_text("h\n" + "".join(f"g\tF{i},{t},0\n" for i, t in enumerate(texts)))
    table = TopHitFile(str(path))
    table.read()
    for i, t in enumerate(texts):
        assert bits(table.get_hmm_hit("g", f"F{i}").e_val) == bits(float(t)), t
