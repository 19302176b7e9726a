"""Several Python threads at once: separate objects of every kind, and one
shared top-hit table. The module holds the interpreter lock through every
operation, so with plain arguments nothing can interleave inside one; the
only Python code that can run in the middle of an operation is an argument's
own __float__ during add_hit, and what other threads can then see are the
borrow errors, never a damaged table."""
import random
import sys
import threading
import time
from collections import Counter

import pytest

import nuvek  # noqa: F401
from nuvek.fasta import DnaSequence
from nuvek.hmmer.tophit import Hit, TopHitFile
from nuvek.kmer import get_kmer_count_fasta, get_kmer_count_seq, get_possible_kmers
from nuvek.util.accession import canonical_gid

ROUNDS = 300
SHARED_GENES = [f"shared{i}" for i in range(5)]


@pytest.fixture(autouse=True)
def frequent_switches():
    """Makes the interpreter switch threads as often as it can."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def run_threads(targets):
    """Runs each target in its own thread; returns their exceptions."""
    errors = []
    start = threading.Barrier(len(targets))

    def wrap(target):
        start.wait()
        try:
            target()
        except BaseException as exc:  # noqa: BLE001 - reported to the test
            errors.append(exc)

    threads = [threading.Thread(target=wrap, args=(t,)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
        assert not t.is_alive(), "thread did not finish"
    return errors


def kmer_counts(seq, k):
    """Counts per column; a window starts at every offset, so k 0 counts len(seq)."""
    found = Counter(seq[i : i + k] for i in range(len(seq) - max(k, 1) + 1))
    return [found[w] for w in get_possible_kmers(k)]


def separate_objects_worker(seed, tmp_path):
    """Counting, FASTA, Hits and canonical_gid on objects of its own."""

    def work():
        rng = random.Random(seed)
        fasta = tmp_path / f"t{seed}.fa"
        for _ in range(ROUNDS // 3):
            seq = "".join(rng.choice("ACGT") for _ in range(rng.randrange(0, 60)))
            k = rng.randrange(0, 4)
            result = get_kmer_count_seq(seq, k, False)
            assert result.counts == kmer_counts(seq, k) and result.total == sum(result.counts)

            fasta.write_text(f">a{seed}\n{seq[:30]}\n{seq[30:]}\n>b\nACGT\n")
            counts = get_kmer_count_fasta(str(fasta), k, False)
            assert list(counts) == [f"a{seed}", "b"]
            assert counts[f"a{seed}"].counts == result.counts

            assert DnaSequence(seq).rev_complement().rev_complement().seq == seq
            assert canonical_gid(f"RS_GCF_{seed:09d}.1") == f"G{seed:09d}"

            a, b = Hit("g", "F", 1e-5, rng.random()), Hit("g", "F", 1e-5, 2.0)
            assert a < b and b > a and a.hmm_str().startswith("F,0.00001,")

    return work


def table_worker(table, me, outcomes, adds_done, value=float):
    """Adds to its own genes and to the shared ones, looks up, writes and
    reads the shared table; keeps every successful add and every error."""
    mine = f"gene-of-{me}"

    def work():
        rng = random.Random(me)
        for i in range(ROUNDS):
            op = rng.randrange(6)
            try:
                if op < 3:
                    gene = mine if op else rng.choice(SHARED_GENES)
                    # Distinct bit scores everywhere: the kept hit of a pair
                    # does not depend on the order in which threads add.
                    hit = (gene, f"F{rng.randrange(4)}", rng.random(), me * 1000.0 + i)
                    table.add_hit(hit[0], hit[1], value(hit[2]), value(hit[3]))
                    adds_done.append(hit)
                    outcomes.append(("add", None))
                elif op == 3:
                    top = table.get_top_hit(mine)
                    own = [h for h in adds_done if h[0] == mine]
                    # Hits of this thread's own gene come only from this thread.
                    if own:
                        best = max(own, key=lambda h: h[3])
                        assert (top.hmm_id, top.bit_score) == (best[1], best[3])
                    else:
                        assert top is None
                    outcomes.append(("lookup", None))
                elif op == 4:
                    table.write()
                    outcomes.append(("lookup", None))
                else:
                    table.read()
                    outcomes.append(("add", None))
            except RuntimeError as exc:
                outcomes.append(("add" if op in (0, 1, 2, 5) else "lookup", str(exc)))

    return work


def check_table(table, adds):
    """The table holds exactly the best of the successful adds per pair."""
    best = {}
    for gene, family, e_val, bit_score in adds:
        if (gene, family) not in best or bit_score > best[gene, family][1]:
            best[gene, family] = (e_val, bit_score)
    for (gene, family), (e_val, bit_score) in best.items():
        hit = table.get_hmm_hit(gene, family)
        assert (hit.e_val, hit.bit_score) == (e_val, bit_score)
    # Nothing more: the file holds exactly these hits.
    table.write()
    with open(table.path) as f:
        lines = f.read().splitlines()[1:]
    written = {(line.split("\t")[0], piece.split(",")[0]) for line in lines for piece in line.split("\t")[1].split(";")}
    assert written == set(best)


def test_threads_with_plain_arguments_never_conflict(tmp_path):
    table = TopHitFile(str(tmp_path / "shared" / "hits.tsv"))
    table.write()
    per_thread = [([], []) for _ in range(4)]
    targets = [table_worker(table, me, outcomes, adds) for me, (outcomes, adds) in enumerate(per_thread)]
    targets += [separate_objects_worker(seed, tmp_path) for seed in range(3)]
    assert run_threads(targets) == []
    for outcomes, _ in per_thread:
        assert [o for o in outcomes if o[1] is not None] == []
    check_table(table, [hit for _, adds in per_thread for hit in adds])


class YieldingFloat:
    """A number whose conversion lets other threads run in the middle of
    add_hit; the first one waits until another thread has met the table
    borrowed, so that the conflict is sure to be exercised."""

    conflict_seen = threading.Event()
    first = threading.Lock()

    def __init__(self, value):
        self.value = value

    def __float__(self):
        if YieldingFloat.first.acquire(blocking=False):
            YieldingFloat.conflict_seen.wait(timeout=30)
        time.sleep(0)
        return self.value


def test_yielding_float_shows_only_borrow_errors(tmp_path):
    YieldingFloat.conflict_seen, YieldingFloat.first = threading.Event(), threading.Lock()
    table = TopHitFile(str(tmp_path / "hits.tsv"))
    table.write()
    per_thread = [([], []) for _ in range(4)]

    def watcher():
        # Plain lookups until one meets the borrowed table.
        while not YieldingFloat.conflict_seen.is_set():
            try:
                table.contains_gene_id("x")
            except RuntimeError as exc:
                assert str(exc) == "Already mutably borrowed"
                YieldingFloat.conflict_seen.set()
            time.sleep(0)

    targets = [table_worker(table, 0, *per_thread[0], value=YieldingFloat)]
    targets += [table_worker(table, me, outcomes, adds) for me, (outcomes, adds) in enumerate(per_thread) if me]
    targets += [watcher, separate_objects_worker(7, tmp_path)]
    assert run_threads(targets) == []
    assert YieldingFloat.conflict_seen.is_set()

    # A shared borrow is refused only by the exclusive one of add_hit; an
    # exclusive borrow is refused by any other borrow, and those are held
    # only by add_hit too, since nothing else yields.
    allowed = {"lookup": {None, "Already mutably borrowed"}, "add": {None, "Already borrowed"}}
    for outcomes, _ in per_thread:
        for kind, error in outcomes:
            assert error in allowed[kind], (kind, error)
    # The yielding thread's own adds never meet a borrow: when it runs, no
    # other operation is in progress.
    assert all(error is None for _, error in per_thread[0][0])

    check_table(table, [hit for _, adds in per_thread for hit in adds])
    table.add_hit("after", "F", 1.0, 1.0)  # every borrow was released
    assert table.contains_gene_hmm("after", "F")
