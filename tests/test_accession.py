import random

import pytest

from nuvek.util.accession import canonical_gid


@pytest.mark.parametrize(
    "gid, expected",
    [
        ("", ""),
        ("RS_GCF_123.1", "G123"),
        ("GB_GCA_123.1", "G123"),
        ("GCF_123.2", "G123"),
        ("GCA_123", "G123"),
        ("G123", "G123"),
        ("U123.1", "U123.1"),
        ("RS_U1.1", "U1"),
        ("URS_GCF_1.1", "URS_GCF_1.1"),
        ("uGCF_1.1", "uG1"),
        ("rs_GCF_1.1", "rs_G1"),
        ("xRS_y", "xy"),
        ("GCA_1_GCF_2.3", "G1_G2"),
        ("RRS_S_1", "RS_1"),
        ("GRS_B_1", "1"),
        ("GCRS_A_1", "G1"),
        ("a.b.c", "a"),
        (".1", ""),
        ("abc", "abc"),
        ("...", ""),
        ("\u00e9GCF_\u00e9.x", "\u00e9G\u00e9"),
    ],
)
def test_canonical_gid(gid, expected):
    assert canonical_gid(gid) == expected
    assert canonical_gid(gid=gid) == expected


def reference(gid):
    if gid.startswith("U"):
        return gid
    for old, new in [("RS_", ""), ("GB_", ""), ("GCA_", "G"), ("GCF_", "G")]:
        gid = gid.replace(old, new)
    return gid.split(".", 1)[0]


@pytest.mark.parametrize("seed, pieces_max", [(11, 8), (12, 30), (13, 80)])
def test_random_ids_match_reference(seed, pieces_max):
    # Long ids hold more underscores than the fast path keeps track of.
    rng = random.Random(seed)
    pieces = ["RS_", "GB_", "GCA_", "GCF_", "G", "C", "A", "F", "_", ".", "1", "U", "R", "S", "B", "\u00e9"]
    for _ in range(2000):
        gid = "".join(rng.choice(pieces) for _ in range(rng.randrange(pieces_max)))
        assert canonical_gid(gid) == reference(gid), gid


@pytest.mark.parametrize("gid", ["G000005845", "GCF", "x" * 300, "U1.1_GCF_", "RS", "\u00e9_x"])
def test_canonical_id_is_returned_itself(gid):
    assert canonical_gid(gid) is gid


@pytest.mark.parametrize("gid, expected", [("G1", "G1"), ("G1.2", "G1"), ("RS_GCF_1.2", "G1"), ("U1", "U1")])
def test_str_subclass_gives_plain_str(gid, expected):
    class Gid(str):
        pass

    result = canonical_gid(Gid(gid))
    assert type(result) is str and result == expected


@pytest.mark.parametrize("length", [255, 256, 257, 5000])
def test_ids_longer_than_the_stack_buffer(length):
    gid = ("RS_GCF_" + "1" * length)[:length] + "_GB_x.9"
    assert canonical_gid(gid) == reference(gid)
