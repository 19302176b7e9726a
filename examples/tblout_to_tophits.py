"""Turn hmmsearch --tblout output into a top-hit file and look up each
gene's best family.

Usage: python examples/tblout_to_tophits.py [TBLOUT] [TOPHIT_TSV]

TBLOUT defaults to examples/hmm/hits.tblout (made by examples/hmm/make_hits.sh
with HMMER); TOPHIT_TSV defaults to tophits/genome.tsv in the working
directory. The table keeps the best hit per gene and family; it is written,
read back into a new table, and each gene's best family is printed.
"""
import sys
from collections.abc import Iterator
from pathlib import Path

import nuvek  # noqa: F401  (enters the dotted submodules into sys.modules)
from nuvek.hmmer.tophit import TopHitFile


def parse_tblout(path: Path) -> Iterator[tuple[str, str, float, float]]:
    """Yields (gene id, family id, e-value, bit score) for every hit line of
    a --tblout file; the family is the query accession when there is one,
    else the query name."""
    with open(path) as lines:
        for line in lines:
            if line.startswith("#") or not line.strip():
                continue
            fields = line.split(None, 18)
            gene, query_name, query_accession = fields[0], fields[2], fields[3]
            family = query_accession if query_accession != "-" else query_name
            yield gene, family, float(fields[4]), float(fields[5])


def main(argv: list[str]) -> int:
    here = Path(__file__).resolve().parent
    tblout = Path(argv[1]) if len(argv) > 1 else here / "hmm" / "hits.tblout"
    out = argv[2] if len(argv) > 2 else "tophits/genome.tsv"

    table = TopHitFile(out)
    genes: list[str] = []
    for gene, family, e_val, bit_score in parse_tblout(tblout):
        if gene not in genes:
            genes.append(gene)
        table.add_hit(gene, family, e_val, bit_score)
    table.write()
    print(f"Wrote {len(genes)} genes to {out}")

    stored = TopHitFile(out)
    stored.read()
    print(f"\n{'gene':10s} {'best family':16s} {'e-value':>10s} {'bits':>7s}")
    for gene in sorted(genes):
        best = stored.get_top_hit(gene)
        assert best is not None
        print(f"{gene:10s} {best.hmm_id:16s} {best.e_val:10.2g} {best.bit_score:7.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
