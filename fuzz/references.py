"""Small pure-Python references the fuzzers check nuvek against."""

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
