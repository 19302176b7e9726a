"""Dense count results: the reverse strand folded straight into the result
at every k whose columns are taken in tiles of different shapes, and results
that share memory with other results staying intact while those come and go
(through the counts list and the buffer export alike)."""
import collections
import random
import struct

import pytest

from nuvek.kmer import KmerCountResult, get_kmer_count_fasta, get_kmer_count_seq

COMPLEMENT = str.maketrans("ACGT", "TGCA")
DIGITS = str.maketrans("ACGT", "0123")


def column(kmer):
    return int(kmer.translate(DIGITS), 4)


def reference(seq, k, rc):
    """Column -> count of seq's windows, with the reverse strand's when rc."""
    counts = collections.Counter(column(seq[i : i + k]) for i in range(len(seq) - k + 1))
    if rc:
        back = seq.translate(COMPLEMENT)[::-1]
        counts.update(column(back[i : i + k]) for i in range(len(back) - k + 1))
    return counts


def as_dict(counts):
    return {i: c for i, c in enumerate(counts) if c}


def from_buffer(result):
    view = memoryview(result)
    return list(struct.unpack(f"{len(view)}Q", view.tobytes()))


# k = 1 to 9 covers tiles of 0 to 3 letters at each end with 0 to 3 letters
# between them; lengths give at least as many windows as columns, so that
# the result is dense.
@pytest.mark.parametrize("k", range(1, 10))
@pytest.mark.parametrize("rc", [True, False])
def test_dense_result_matches_reference(k, rc):
    rng = random.Random(k)
    seq = "".join(rng.choices("ACGT", k=max(2000, 4**k + 500)))
    got = get_kmer_count_seq(seq, k, rc)
    assert got.total == (len(seq) - k + 1) * (2 if rc else 1)
    assert len(got.counts) == 4**k
    assert as_dict(got.counts) == dict(reference(seq, k, rc))
    assert from_buffer(got) == got.counts


def test_palindromes_are_doubled_in_a_dense_fold():
    # Every window of this sequence at k = 6 is one of a few palindromes.
    seq = "ACGCGT" * 3000
    got = get_kmer_count_seq(seq, 6, True)
    assert as_dict(got.counts) == dict(reference(seq, 6, True))
    assert got.counts[column("ACGCGT")] == 2 * seq.count("ACGCGT")


# Short reads at k = 4 (many small results to a block, over several
# blocks), long records at k = 7 to 9 (a few to a block, a block each).
@pytest.mark.parametrize(
    "k, per_record, records, kept_ids",
    [(4, 150, 3000, (0, 1, 1500, 2999)), (7, 20_000, 10, (0, 4, 9)), (8, 60_000, 10, (0, 4, 9)), (9, 200_000, 4, (1, 3))],
)
def test_kept_results_survive_the_others(tmp_path, k, per_record, records, kept_ids):
    rng = random.Random(k)
    records = ["".join(rng.choices("ACGT", k=per_record)) for _ in range(records)]
    path = tmp_path / "g.fa"
    path.write_text("".join(f">r{i}\n{s}\n" for i, s in enumerate(records)))
    first = get_kmer_count_fasta(str(path), k, True)
    kept = {f"r{i}": first[f"r{i}"] for i in kept_ids}
    views = {rid: memoryview(r) for rid, r in kept.items()}
    del first  # frees the other results, which shared memory with the kept ones
    again = [get_kmer_count_fasta(str(path), k, True) for _ in range(2)]
    for rid, result in kept.items():
        i = int(rid[1:])
        expected = reference(records[i], k, True)
        assert as_dict(result.counts) == dict(expected)
        assert as_dict(struct.unpack(f"{4**k}Q", views[rid].tobytes())) == dict(expected)
        assert again[-1][rid].counts == result.counts
    for view in views.values():
        view.release()


@pytest.mark.parametrize("n", [1, 8191, 8192, 70_000, 300_000])
def test_results_built_from_python_hold_their_counts(n):
    counts = [(i * 7919) % 1000 for i in range(n)]
    results = [KmerCountResult(3, 5, counts) for _ in range(6)]
    del results[1::2]
    for r in results:
        assert r.counts == counts
        assert from_buffer(r) == counts


def test_many_large_results_alive_at_once():
    # 150 results of 512 KiB: past the memory that is given huge pages, so
    # that blocks of both kinds are taken, freed and taken again.
    rng = random.Random(1)
    seq = "".join(rng.choices("ACGT", k=60_000))
    expected = get_kmer_count_seq(seq, 8, True).counts
    assert as_dict(expected) == dict(reference(seq, 8, True))
    results = [get_kmer_count_seq(seq, 8, True) for _ in range(150)]
    del results[::2]
    results += [get_kmer_count_seq(seq, 8, True) for _ in range(50)]
    for r in results[::7]:
        assert r.counts == expected
    assert all(memoryview(r).tobytes() == memoryview(results[0]).tobytes() for r in results)


# Small tables are kept in the fewest bytes per counter that hold the
# largest count: a run of one base pushes AAAA (and TTTT) across the limits
# of one, two and four bytes, on top of random bases that make the table
# too full to be held sparse.
@pytest.mark.parametrize("run", [0, 250, 251, 252, 65_530, 65_531, 65_532, 70_000])
@pytest.mark.parametrize("k, rc", [(3, True), (4, True), (4, False), (6, True)])
def test_small_tables_in_every_width(run, k, rc):
    rng = random.Random(run + k)
    seq = "".join(rng.choices("ACGT", k=3 * 4**k)) + "A" * run
    got = get_kmer_count_seq(seq, k, rc)
    assert as_dict(got.counts) == dict(reference(seq, k, rc))
    assert from_buffer(got) == got.counts
    assert got.total == (len(seq) - k + 1) * (2 if rc else 1)


@pytest.mark.parametrize("k", [3, 4, 5, 6])
@pytest.mark.parametrize("skip", [False, True])
def test_fasta_reads_in_narrow_tables(tmp_path, k, skip):
    rng = random.Random(5)
    letters = "ACGTNa" if skip else "ACGT"
    reads = [("r%d" % i, "".join(rng.choices(letters, k=150))) for i in range(300)]
    reads.append(("long", "C" * 300 + "".join(rng.choices("ACGT", k=500))))
    path = tmp_path / "reads.fa"
    path.write_text("".join(f">{rid}\n{seq}\n" for rid, seq in reads))
    got = get_kmer_count_fasta(str(path), k, True, skip_invalid=skip)
    assert list(got) == [rid for rid, _ in reads]
    for rid, seq in reads:
        seq = seq.upper()
        want = collections.Counter()  # every window without N, on both strands
        for w in (seq[i : i + k] for i in range(len(seq) - k + 1)):
            if "N" not in w:
                want.update(reference(w, k, True))
        assert as_dict(got[rid].counts) == dict(want), rid
        assert from_buffer(got[rid]) == got[rid].counts
