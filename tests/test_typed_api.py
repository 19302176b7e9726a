"""Every signature of the module, called with typed values: mypy --strict
checks this file against the stubs, and pytest runs it against the module."""
from pathlib import Path
from typing import Optional

import nuvek  # noqa: F401
from nuvek.fasta import DnaSequence
from nuvek.hmmer.tophit import Hit, TopHitFile
from nuvek.kmer import (
    KmerCountResult,
    get_kmer_count_fasta,
    get_kmer_count_seq,
    get_kmer_to_idx,
    get_possible_kmers,
)
from nuvek.util.accession import canonical_gid


def test_sequences_and_accessions() -> None:
    dna: DnaSequence = DnaSequence(seq="GATTACA")
    rc: DnaSequence = dna.rev_complement()
    text: str = rc.seq
    assert text == "TGTAATC"
    gid: str = canonical_gid(gid="GB_GCA_1.1")
    assert gid == "G1"


def test_kmers(tmp_path: Path) -> None:
    kmers: list[str] = get_possible_kmers(k=2)
    index: dict[str, int] = get_kmer_to_idx(k=2)
    assert index[kmers[11]] == 11
    result: KmerCountResult = get_kmer_count_seq(seq="AAC", k=2, use_rev_complement=True)
    k: int = result.k
    total: int = result.total
    counts: list[int] = result.counts
    assert (k, total, sum(counts)) == (2, 4, 4)
    built = KmerCountResult(k=1, total=2, counts=(1, 1, 0, 0))
    assert built.counts == [1, 1, 0, 0]
    fasta = tmp_path / "a.fa"
    fasta.write_text(">s1\nAAC\n")
    per_record: dict[str, KmerCountResult] = get_kmer_count_fasta(path=str(fasta), k=2, use_rev_complement=False)
    assert per_record["s1"].total == 2
    by_path: dict[str, KmerCountResult] = get_kmer_count_fasta(fasta, 2, False, skip_invalid=False)
    assert by_path["s1"].counts == per_record["s1"].counts
    strict: KmerCountResult = get_kmer_count_seq("AAC", 2, True, skip_invalid=False)
    view: memoryview = memoryview(strict)
    assert view.tolist() == strict.counts


def test_top_hits(tmp_path: Path) -> None:
    hit = Hit(gene_id="g1", hmm_id="F1", e_val=1e-10, bit_score=50)
    fields: tuple[str, str, float, float] = (hit.gene_id, hit.hmm_id, hit.e_val, hit.bit_score)
    assert fields == ("g1", "F1", 1e-10, 50.0)
    line: str = hit.hmm_str()
    assert line == "F1,0.0000000001,50"
    worse = Hit("g1", "F2", 1e-3, 20.5)
    order: list[bool] = [worse < hit, worse <= hit, hit > worse, hit >= worse, hit == hit, hit != worse]
    assert all(order)

    table = TopHitFile(path=tmp_path / "t.tsv")
    table.add_hit(gene_id="g1", hmm_id="F1", e_val=1e-10, bit_score=50.0)
    table.add_hit("g1", "F2", 1e-3, 20.5)
    present: bool = table.contains_gene_id(gene_id="g1") and table.contains_gene_hmm(gene_id="g1", hmm_id="F2")
    assert present
    top: Optional[Hit] = table.get_top_hit(gene_id="g1")
    pair: Optional[Hit] = table.get_hmm_hit(gene_id="g1", hmm_id="F2")
    assert top is not None and pair is not None and top.hmm_id == "F1" and pair.bit_score == 20.5
    table.write()
    again = TopHitFile(table.path)
    again.read()
    assert again.get_top_hit("g1") == top
