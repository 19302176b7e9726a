"""Turn hmmsearch or hmmscan --tblout output into a top-hit file and look up
each gene's best family.

Usage: python examples/tblout_to_tophits.py [TBLOUT] [TOPHIT_TSV]

TBLOUT defaults to examples/hmm/hits.tblout (made by examples/hmm/make_hits.sh
with HMMER); TOPHIT_TSV defaults to tophits/genome.tsv in the working
directory. The table keeps the best hit per gene and family; it is written,
read back into a new table, and each gene's best family is printed.

The two programs write the same columns with the roles swapped: hmmsearch
searches families (queries) against genes (targets), hmmscan genes (queries)
against families (targets). Which one wrote the file is read from its
trailer ("# Program:  hmmsearch"); a file without it is refused rather than
read with gene and family possibly swapped.
"""
import sys
from collections.abc import Iterator
from pathlib import Path

import nuvek  # noqa: F401  (enters the dotted submodules into sys.modules)
from nuvek.hmmer.tophit import TopHitFile


class TbloutError(Exception):
    """A --tblout file this example cannot read safely."""


def tblout_program(lines: list[str]) -> str:
    """The program named on the "# Program:" line of a --tblout trailer."""
    for line in lines:
        if line.startswith("#") and line[1:].strip().startswith("Program:"):
            return line[1:].strip()[len("Program:") :].strip()
    return ""


def parse_tblout(path: Path) -> Iterator[tuple[str, str, float, float]]:
    """Yields (gene id, family id, e-value, bit score) for every hit line of
    an hmmsearch or hmmscan --tblout file; the family is the HMM's accession
    when there is one, else its name."""
    with open(path) as f:
        lines = f.read().splitlines()
    program = tblout_program(lines)
    if program not in ("hmmsearch", "hmmscan"):
        found = f"it names {program!r}" if program else "it has no '# Program:' line"
        raise TbloutError(
            f"{path}: cannot tell which columns hold the gene and the family ({found}); "
            "expected the --tblout output of hmmsearch or hmmscan, trailer included"
        )
    # Columns: target name, target accession, query name, query accession, E-value, score, ...
    gene_col, family_col = (0, 2) if program == "hmmsearch" else (2, 0)
    for line in lines:
        if line.startswith("#") or not line.strip():
            continue
        fields = line.split(None, 18)
        gene = fields[gene_col]
        name, accession = fields[family_col], fields[family_col + 1]
        family = accession if accession != "-" else name
        yield gene, family, float(fields[4]), float(fields[5])


def main(argv: list[str]) -> int:
    here = Path(__file__).resolve().parent
    tblout = Path(argv[1]) if len(argv) > 1 else here / "hmm" / "hits.tblout"
    out = argv[2] if len(argv) > 2 else "tophits/genome.tsv"

    table = TopHitFile(out)
    genes: list[str] = []
    try:
        hits = list(parse_tblout(tblout))
    except TbloutError as e:
        print(f"error: {e}", file=sys.stderr)
        return 2
    for gene, family, e_val, bit_score in hits:
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
