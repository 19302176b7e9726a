import math
import random
import struct

import pytest

import nuvek  # noqa: F401 - registers nuvek.hmmer.tophit in sys.modules
from nuvek.hmmer.tophit import Hit

NAN = float("nan")
INF = float("inf")


def text(v):
    return Hit("", "", v, 0.0).hmm_str().split(",")[1]


def test_text_forms():
    h = Hit("g1", "F1", 1e-10, 50.0)
    assert repr(h) == str(h) == "g1 F1 (0.0000000001/50)"
    assert h.hmm_str() == "F1,0.0000000001,50"
    assert repr(Hit("", "a,b", 1, 2)) == " a,b (1/2)"
    assert Hit("", "a,b", 1, 2).hmm_str() == "a,b,1,2"


@pytest.mark.parametrize(
    "value, expected",
    [
        (50.0, "50"),
        (0.25, "0.25"),
        (1e-10, "0.0000000001"),
        (7.5e-05, "0.000075"),
        (3.2e-45, "0." + "0" * 44 + "32"),
        (0.1 + 0.2, "0.30000000000000004"),
        (1e16, "1" + "0" * 16),
        (2.0**70, "11805916207174113" + "0" * 5),
        (1e23, "1" + "0" * 23),
        (-12.5, "-12.5"),
        (1e-300, "0." + "0" * 299 + "1"),
        (5e-324, "0." + "0" * 323 + "5"),
        (0.0, "0"),
        (-0.0, "-0"),
        (NAN, "NaN"),
        (-NAN, "NaN"),
        (INF, "inf"),
        (-INF, "-inf"),
        (123.0, "123"),
        (1.5, "1.5"),
    ],
)
def test_number_text_form(value, expected):
    assert text(value) == expected


def shortest_digits(r):
    """Significant digits and decimal exponent (value = 0.d1..dn x 10^k) of a repr."""
    mantissa, _, exp = r.partition("e")
    whole, _, frac = mantissa.partition(".")
    digits = (whole + frac).lstrip("0")
    k = len(whole) + int(exp or 0) - (len(whole + frac) - len((whole + frac).lstrip("0")))
    return digits.rstrip("0"), k


def test_number_text_round_trips_with_shortest_digits():
    rng = random.Random(5)
    values = [struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0] for _ in range(20000)]
    values += [rng.uniform(-1e6, 1e6) for _ in range(5000)] + [float(rng.randrange(10**18)) for _ in range(2000)]
    for v in values:
        if not math.isfinite(v) or v == 0:
            continue
        t = text(v)
        assert "e" not in t and "E" not in t
        back = float(t)
        assert struct.pack("<d", back) == struct.pack("<d", v), (v, t)
        # Same digits as the interpreter's own shortest repr, laid out positionally.
        assert shortest_digits(t.lstrip("-")) == shortest_digits(repr(abs(v))), (v, t)


def test_number_text_of_short_decimals_and_powers_of_two():
    # Values with few significant digits take a fast path; powers of two (a
    # narrower gap below them), their neighbours and 15- to 17-digit values
    # sit at its edges.
    rng = random.Random(7)
    values = []
    for _ in range(30000):
        n = rng.randint(1, 17)
        values.append(float(f"{rng.randrange(10 ** (n - 1), 10**n)}e{rng.randint(-340, 308)}"))
    for e in range(-1074, 1024, 3):
        p = 2.0**e
        values += [p, math.nextafter(p, 0), math.nextafter(p, INF)]
    for e in range(-323, 308, 7):
        values += [float(f"{d}e{e}") for d in (1, 95, 999999999999999, 9999999999999999, 100000000000001)]
    for v in filter(lambda v: v and math.isfinite(v), values):
        for x in (v, -v):
            t = text(x)
            assert struct.pack("<d", float(t)) == struct.pack("<d", x), (x, t)
            assert shortest_digits(t.lstrip("-")) == shortest_digits(repr(abs(x))), (x, t)


# (bit score, e-value) of a and b; the expected results of <, <=, ==, >, >= with equal ids.
COMPARISONS = [
    ((10, 1e-5), (20, 1e-5), (True, True, False, False, False)),
    ((20, 1e-5), (10, 1e-9), (False, False, False, True, True)),
    ((10, 1e-5), (10, 1e-9), (True, True, False, False, False)),
    ((10, 1e-9), (10, 1e-5), (False, False, False, True, True)),
    ((10, 1e-5), (10, 1e-5), (False, True, True, False, True)),
    ((0.0, 1), (-0.0, 1), (False, True, True, False, True)),
    ((NAN, 1), (5, 1), (False, False, False, True, True)),
    ((5, 1), (NAN, 1), (False, False, False, True, True)),
    ((5, NAN), (5, 1), (False, False, False, True, True)),
    ((5, 1), (5, NAN), (False, False, False, True, True)),
    ((4, NAN), (5, 1), (True, True, False, False, False)),
]


@pytest.mark.parametrize("a, b, expected", COMPARISONS)
def test_comparison_table(a, b, expected):
    ha, hb = Hit("g", "F", a[1], a[0]), Hit("g", "F", b[1], b[0])
    assert (ha < hb, ha <= hb, ha == hb, ha > hb, ha >= hb) == expected
    assert (ha != hb) == (not expected[2])


def test_equality_uses_ids_and_nan_is_unequal_to_itself():
    a, b = Hit("g1", "F", 1e-5, 10), Hit("g2", "F", 1e-5, 10)
    assert not a < b and not a > b and a <= b and a >= b and a != b
    assert Hit("g", "F", 1e-5, 10) == Hit("g", "F", 1e-5, 10)
    assert Hit("g", "F", 1e-5, 10) != Hit("g", "G", 1e-5, 10)
    n = Hit("g", "F", NAN, 10)
    assert n != n and not n == n


def test_sort_and_max_rank_by_quality():
    hits = [Hit(str(i), "F", e, b) for i, (e, b) in enumerate([(1e-5, 30), (1e-9, 30), (1, 10), (1e-5, 30), (0, 40)])]
    assert [h.gene_id for h in sorted(hits)] == ["2", "0", "3", "1", "4"]
    assert max(hits).gene_id == "4"
    assert max(hits[:4]).gene_id == "1"


def test_other_operand_types():
    h = Hit("g", "F", 1, 1)
    assert not h == 5 and h != 5 and h == h
    for op in ("__lt__", "__le__", "__gt__", "__ge__", "__eq__"):
        assert getattr(h, op)(5) is NotImplemented
    with pytest.raises(TypeError):
        h < 5  # noqa: B015
    with pytest.raises(TypeError):
        hash(h)


def test_fields_constructor_and_immutability():
    h = Hit(gene_id="g", hmm_id="F", e_val=1, bit_score=True)
    assert (h.gene_id, h.hmm_id, h.e_val, h.bit_score) == ("g", "F", 1.0, 1.0)
    assert type(h.e_val) is float
    with pytest.raises(TypeError, match="^argument 'e_val': "):
        Hit("g", "F", "1", 1)
    with pytest.raises(TypeError, match="^argument 'gene_id': 'int' object cannot be converted to 'PyString'$"):
        Hit(1, "F", "x", 1)
    with pytest.raises(TypeError, match=r"^Hit.__new__\(\) missing 1 required positional argument: 'bit_score'$"):
        Hit("g", "F", 1)
    with pytest.raises(AttributeError):
        h.e_val = 2.0
    with pytest.raises(AttributeError):
        h.extra = 1
    with pytest.raises(TypeError):
        type("Sub", (Hit,), {})
    assert Hit.__module__ == "builtins" and Hit.__name__ == "Hit"
