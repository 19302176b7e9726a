"""Fuzzes the number text form with doubles of every bit pattern: hmm_str()
and repr of a Hit give the shortest round-trip digits in positional form
(never an exponent), and the top-hit file carries every value bit for bit
(NaN as NaN), both as written by write() and in the other textual forms the
reader accepts (exponents, a leading "+", exact decimal expansions)."""
import math
import os
import re
import struct
import sys
import tempfile
from decimal import Decimal

import atheris

import nuvek  # noqa: F401
from nuvek.hmmer.tophit import Hit, TopHitFile

with atheris.instrument_imports():
    import references

PATH = os.path.join(tempfile.mkdtemp(prefix="fuzz-numbers-"), "hits.tsv")
HEADER = "Gene Id\tTop hits (Family id,e-value,bitscore)\n"
TEXT = re.compile(r"NaN|-?inf|-?[0-9]+(?:\.[0-9]+)?")


def other_form(x, choice):
    """x in one of the reader's accepted forms other than the writer's."""
    if math.isnan(x):
        return ["nan", "NaN", "-nan", "+NAN"][choice % 4]
    if math.isinf(x):
        word = ["inf", "Infinity", "INF", "iNfInItY"][choice % 4]
        return word if x > 0 else "-" + word
    forms = [
        repr(x),
        repr(x).upper(),
        ("+" if math.copysign(1, x) > 0 else "") + repr(x),
        format(Decimal(x), "f"),  # the exact value: up to ~770 digits
        "%.17e" % x,
        "%.25g" % x,
        format(Decimal(x).scaleb(-400), "f") + "e400",  # shifted by an exponent
    ]
    return forms[choice % len(forms)]


def check_text(text, x):
    assert TEXT.fullmatch(text), (x, text)
    assert text == references.number_text(x), (x, text, references.number_text(x))
    assert references.same_number(float(text), x), (x, text)


def test_one_input(data):
    # Nine bytes per value: a choice (bit 0: the next eight bytes are the
    # bit pattern of the double, else a short decimal; the rest picks the
    # reader form), then eight bytes.
    values = []
    for at in range(0, min(len(data), 16 * 9) - 8, 9):
        choice, raw = data[at], data[at + 1 : at + 9]
        if choice & 1:
            (x,) = struct.unpack("<d", raw)
        else:
            # Digits x 10^e of ordinary size, as real scores and e-values
            # are, rounded once to the nearest double.
            (m,) = struct.unpack("<q", raw)
            x = float(f"{m % 10**(1 + choice % 17)}e{(m >> 56) % 61 - 30}") * (-1 if m < 0 else 1)
        values.append((x, choice >> 1))
    if not values:
        return

    table = TopHitFile(PATH)
    lines = [HEADER]
    for i, (x, choice) in enumerate(values):
        y = values[-1 - i][0]  # pair every value with another as bit score
        hit = Hit(f"g{i}", "F", x, y)
        e_text, b_text = references.number_text(x), references.number_text(y)
        assert hit.hmm_str() == f"F,{e_text},{b_text}", (x, y, hit.hmm_str())
        assert repr(hit) == f"g{i} F ({e_text}/{b_text})", (x, y, repr(hit))
        check_text(e_text, x)
        assert references.same_number(hit.e_val, x) and references.same_number(hit.bit_score, y)
        table.add_hit(f"g{i}", "F", x, y)
        lines.append(f"o{i}\tF,{other_form(x, choice)},{other_form(y, choice // 7)}\n")

    # Through the file as written.
    table.write()
    fresh = TopHitFile(PATH)
    fresh.read()
    for i, (x, _) in enumerate(values):
        hit = fresh.get_hmm_hit(f"g{i}", "F")
        y = values[-1 - i][0]
        assert references.same_number(hit.e_val, x) and references.same_number(hit.bit_score, y), (x, y, hit)

    # Through the other accepted forms.
    with open(PATH, "w") as f:
        f.write("".join(lines))
    other = TopHitFile(PATH)
    other.read()
    for i, (x, choice) in enumerate(values):
        hit = other.get_hmm_hit(f"o{i}", "F")
        y = values[-1 - i][0]
        assert references.same_number(hit.e_val, x), (x, other_form(x, choice), hit.e_val)
        assert references.same_number(hit.bit_score, y), (y, other_form(y, choice // 7), hit.bit_score)


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
