"""The runnable examples work on the small data shipped beside them."""
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def run_example(name, *args, cwd):
    proc = subprocess.run(
        [sys.executable, str(EXAMPLES / name), *map(str, args)], capture_output=True, text=True, cwd=cwd
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def test_quickstart(tmp_path):
    out = run_example("quickstart.py", cwd=tmp_path)
    for part in ["reverse complement: GGTGG", "contig_6", "best hit of gene_1: gene_1 PF_kinase", "-> G000005845"]:
        assert part in out


def test_tetranucleotide_profile_flags_foreign_contigs(tmp_path):
    out = run_example("tetranucleotide_profile.py", EXAMPLES / "genome.fasta", "profile.tsv", cwd=tmp_path)
    flagged = {line.split(":")[0].strip() for line in out.splitlines() if "differs" in line}
    assert flagged == {"contig_4", "contig_6"}  # the plasmid and the AT-rich island
    rows = (tmp_path / "profile.tsv").read_text().splitlines()
    header = rows[0].split("\t")
    assert header[:4] == ["contig", "windows", "distance", "flag"] and len(header) == 4 + 136
    for row in rows[1:]:
        freqs = [float(x) for x in row.split("\t")[4:]]
        assert sum(freqs) == pytest.approx(1.0, abs=1e-4)


def test_tetranucleotide_profile_short_contig(tmp_path):
    fasta = tmp_path / "g.fa"
    fasta.write_text(">long\n" + "ACGTTGCA" * 40 + "\n>tiny\nAC\n")
    out = run_example("tetranucleotide_profile.py", fasta, "p.tsv", cwd=tmp_path)
    assert "2 contigs" in out
    assert "too short" in (tmp_path / "p.tsv").read_text()


def test_tblout_to_tophits(tmp_path):
    out = run_example("tblout_to_tophits.py", EXAMPLES / "hmm" / "hits.tblout", "t/genome.tsv", cwd=tmp_path)
    best = {}
    for line in out.splitlines():
        fields = line.split()
        if fields and fields[0].startswith("gene_"):
            best[fields[0]] = fields[1]
    # gene_04 and gene_12 hit two families; the higher bit score wins.
    assert best["gene_04"] == "PF_helicase" and best["gene_12"] == "PF_helicase"
    assert best["gene_08"] == "PF_kinase" and len(best) == 12
    lines = (tmp_path / "t" / "genome.tsv").read_text().splitlines()
    assert lines[0] == "Gene Id\tTop hits (Family id,e-value,bitscore)"
    assert len(lines) == 13


def test_canonical_accessions(tmp_path):
    ids = tmp_path / "ids.txt"
    ids.write_text("RS_GCF_1.1\nGB_GCA_1.2\nUBA1.1\nGCF_2.1\n")
    out = run_example("canonical_accessions.py", ids, cwd=tmp_path)
    assert "4 ids, 3 genomes, 1 with duplicates" in out
    assert "G1: RS_GCF_1.1, GB_GCA_1.2" in out


def as_hmmscan(tblout_text):
    """The same hits as hmmscan writes them: genes as queries, families as
    targets (name and accession columns swapped), and its program line."""
    out = []
    for line in tblout_text.splitlines():
        if line.startswith("# Program:"):
            line = line.replace("hmmsearch", "hmmscan")
        elif not line.startswith("#"):
            f = line.split(None, 18)
            line = " ".join([f[2], f[3], f[0], f[1], *f[4:]])
        out.append(line)
    return "\n".join(out) + "\n"


def best_families(out):
    return {f[0]: f[1] for f in (line.split() for line in out.splitlines()) if f and f[0].startswith("gene_")}


@pytest.mark.parametrize("program", ["hmmsearch", "hmmscan"])
def test_tblout_to_tophits_reads_either_program(tmp_path, program):
    text = (EXAMPLES / "hmm" / "hits.tblout").read_text()
    # One family line with an accession: the accession is then its id.
    text = text.replace("PF_kinase            -         ", "PF_kinase            PF00069.1 ", 1)
    if program == "hmmscan":
        text = as_hmmscan(text)
    tblout = tmp_path / "hits.tblout"
    tblout.write_text(text)
    best = best_families(run_example("tblout_to_tophits.py", tblout, "t/g.tsv", cwd=tmp_path))
    assert len(best) == 12 and best["gene_04"] == best["gene_12"] == "PF_helicase"
    assert best["gene_03"] == "PF00069.1"  # gene_03's kinase line carries the accession
    assert best["gene_02"] == "PF_transporter"


@pytest.mark.parametrize(
    "trailer, says",
    [("", "no '# Program:' line"), ("# Program:         phmmer\n", "names 'phmmer'")],
)
def test_tblout_to_tophits_refuses_unknown_program(tmp_path, trailer, says):
    lines = (EXAMPLES / "hmm" / "hits.tblout").read_text().splitlines(keepends=True)
    hits = [line for line in lines if not line.startswith("#")]
    tblout = tmp_path / "hits.tblout"
    tblout.write_text("".join(hits) + "#\n" + trailer)
    proc = subprocess.run(
        [sys.executable, str(EXAMPLES / "tblout_to_tophits.py"), str(tblout), "t/g.tsv"],
        capture_output=True, text=True, cwd=tmp_path,
    )
    assert proc.returncode == 2 and says in proc.stderr
    assert not (tmp_path / "t").exists()
