"""Canonicalise a list of genome accession ids and report duplicates.

Usage: python examples/canonical_accessions.py [IDS_FILE]

Reads one id per line (default: examples/accessions.txt), prints each id
with its canonical form, then lists every canonical id that more than one
input id maps to: the same genome under a RefSeq/GenBank prefix or another
version.
"""
import sys
from collections import defaultdict
from pathlib import Path

import nuvek  # noqa: F401  (enters the dotted submodules into sys.modules)
from nuvek.util.accession import canonical_gid


def canonicalise(ids: list[str]) -> dict[str, list[str]]:
    """Maps each canonical id to the input ids that give it, in input order."""
    groups: defaultdict[str, list[str]] = defaultdict(list)
    for gid in ids:
        groups[canonical_gid(gid)].append(gid)
    return dict(groups)


def main(argv: list[str]) -> int:
    path = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parent / "accessions.txt"
    ids = [line.strip() for line in path.read_text().splitlines() if line.strip()]
    groups = canonicalise(ids)
    width = max(map(len, ids), default=0)
    for gid in ids:
        print(f"{gid:<{width}}  {canonical_gid(gid)}")
    duplicates = {canon: members for canon, members in groups.items() if len(members) > 1}
    print(f"\n{len(ids)} ids, {len(groups)} genomes, {len(duplicates)} with duplicates")
    for canon, members in duplicates.items():
        print(f"  {canon}: {', '.join(members)}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
