"""Bad and large input at scale: a 200 MB sequence line, a million tiny
records, a top-hit line of 100,000 hits, and every k up to 255. Each call
either gives the right answer or fails cleanly (MemoryError for sizes that
cannot be held, the usual internal failures otherwise) without a crash, a
hang or a burst of memory."""
import os
import random
import resource
import subprocess
import sys
import textwrap

import pytest

import nuvek  # noqa: F401
from nuvek.hmmer.tophit import TopHitFile
from nuvek.kmer import (
    KmerCountResult,
    get_kmer_count_fasta,
    get_kmer_count_seq,
    get_kmer_to_idx,
    get_possible_kmers,
)

pytestmark = pytest.mark.slow

MB = 1 << 20
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def write_fasta_line(path, header, unit, size, tail=b""):
    """A FASTA file of one record whose sequence is one line of size bytes
    (unit repeated), followed by tail."""
    block = unit * (MB // len(unit))
    with open(path, "wb") as f:
        f.write(header + b"\n")
        for _ in range(size // len(block)):
            f.write(block)
        f.write(tail + b"\n")


# --- a 200 MB line -------------------------------------------------------------


def test_200_mb_sequence_line(tmp_path):
    path = tmp_path / "long.fa"
    n = 200 * MB
    write_fasta_line(path, b">chr1 one line", b"ACGT", n)
    for k, rc in [(0, False), (4, True)]:
        result = get_kmer_count_fasta(str(path), k, rc)["chr1"]
        windows = n - max(k, 1) + 1
        assert result.total == windows * (2 if rc else 1)
        if k == 4:
            # ACGT repeated is its own reverse complement: ACGT starts m
            # windows, its rotations CGTA, GTAC and TACG m - 1 each, and
            # every window is counted twice.
            m = n // 4
            counts = {i: c for i, c in enumerate(result.counts) if c}
            assert counts == {27: 2 * m, 108: 2 * (m - 1), 177: 2 * (m - 1), 198: 2 * (m - 1)}


@pytest.mark.parametrize(
    "tail, message",
    [
        (b"N", "called `Option::unwrap()` on a `None` value"),
        ("\u00e9".encode(), "byte index"),
        (b"\xff", "stream did not contain valid UTF-8"),
    ],
)
def test_200_mb_line_that_fails_at_its_end(tmp_path, panic_type, tail, message):
    path = tmp_path / "bad.fa"
    write_fasta_line(path, b">chr1", b"ACGT", 200 * MB, tail)
    with pytest.raises(panic_type) as info:
        get_kmer_count_fasta(str(path), 3, False)
    text = str(info.value)
    assert message in text
    # The message quotes at most the first 256 bytes of the sequence.
    assert len(text) < 1000


def test_200_mb_string(panic_type):
    seq = "ACGT" * (50 * MB)
    result = get_kmer_count_seq(seq, 1, True)
    assert result.counts == [100 * MB] * 4 and result.total == 400 * MB
    with pytest.raises(panic_type, match="(?m)^called `Option::unwrap\\(\\)` on a `None` value$"):
        get_kmer_count_seq(seq + "N", 2, False)


# --- a million records -----------------------------------------------------------


def test_million_tiny_records(tmp_path):
    path = tmp_path / "many.fa"
    with open(path, "w") as f:
        f.writelines(f">r{i}\nAC\nG\n" for i in range(1_000_000))
    result = get_kmer_count_fasta(str(path), 1, False)
    assert len(result) == 1_000_000
    assert list(result)[:3] == ["r0", "r1", "r2"] and list(result)[-1] == "r999999"
    assert result["r123456"].counts == [1, 1, 1, 0] and result["r123456"].total == 3


def test_million_records_few_ids_last_wins(tmp_path):
    path = tmp_path / "dups.fa"
    with open(path, "w") as f:
        f.writelines(f">id{i % 1000}\n{'A' * (i // 1000 % 5)}\n" for i in range(1_000_000))
        f.write(">\n>id7\nCCCCCCC\n")
    result = get_kmer_count_fasta(str(path), 1, False)
    assert list(result) == [f"id{i}" for i in range(1000)] + [""]
    assert result["id8"].counts == [4, 0, 0, 0]  # the last id8 is record 999008: 999 % 5 letters A
    assert result["id7"].counts == [0, 7, 0, 0]
    assert result[""].total == 0



@pytest.mark.parametrize("ids", ["one", "ten"])
def test_repeated_ids_release_the_replaced_counts(tmp_path, ids):
    """200,000 reads under one id (or ten) at k=6, both strands: a replaced
    result is released when it is replaced, so the call's memory follows the
    distinct ids (it held every read's counts, 900 MB, until the end)."""
    path = tmp_path / "reads.fa"
    genome = "".join(random.Random(21).choices("ACGT", k=20_000))
    with open(path, "w") as f:
        f.writelines(f">{'x' if ids == 'one' else f'x{i % 10}'} read {i}\n{genome[i % 19_850:][:150]}\n"
                     for i in range(200_000))
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(f"""
        import resource
        import nuvek
        from nuvek.kmer import get_kmer_count_fasta, get_kmer_count_seq
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        result = get_kmer_count_fasta({str(path)!r}, 6, True)
        grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
        assert len(result) == {1 if ids == "one" else 10}, len(result)
        last = {genome[199_999 % 19_850:][:150]!r}
        assert result["x" if len(result) == 1 else "x9"].counts == get_kmer_count_seq(last, 6, True).counts
        print(grown >> 10)
    """)], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert int(proc.stdout) < 64, f"the call grew the process by {proc.stdout.strip()} MB"

# --- a profile matrix past 1 GiB ---------------------------------------------------


@pytest.mark.skipif(UNDER_ASAN, reason="a matrix of 1.1 GB under the sanitizer's shadow memory")
def test_profile_matrix_past_its_first_room(tmp_path):
    # 8-base windows one base apart at k=8: one k-mer per row, 32,896
    # columns of 8 bytes, 4,193 rows: 1.1 GB, grown past the room of 1 GiB
    # that rows are first written into.
    from nuvek.kmer import get_kmer_profile_fasta

    rng = random.Random(8)
    seq = "".join(rng.choice("ACGT") for _ in range(4200))
    path = tmp_path / "g.fa"
    path.write_text(">g\n" + seq + "\n")
    p = get_kmer_profile_fasta(str(path), 8, window=8, step=1)
    flat = memoryview(p).cast("B").cast("Q")
    n = len(p.columns)
    assert len(p) == 4193 and len(flat) == 4193 * n and p.totals == [1] * 4193
    index = {c: i for i, c in enumerate(p.columns)}
    back = str.maketrans("ACGT", "TGCA")
    for r in range(len(p)):
        w = seq[r : r + 8]
        assert flat[r * n + index[min(w, w.translate(back)[::-1])]] == 1
    for r in (0, 4081, 4082, 4192):
        assert sum(flat[r * n : (r + 1) * n]) == 1


# --- a top-hit line of 100,000 hits ----------------------------------------------------


def hits_line(n, family):
    return ";".join(f"{family(i)},1e-{i % 300},{i * 0.5}" for i in range(n))


def test_tophit_line_with_100000_hits(tmp_path, panic_type):
    path = tmp_path / "wide.tsv"
    n = 100_000
    path.write_text(f"Gene Id\tTop hits\ng1\t{hits_line(n, lambda i: f'F{i}')}\ng2\t{hits_line(n, lambda i: 'same')}\n")
    table = TopHitFile(str(path))
    table.read()
    assert all(table.contains_gene_hmm("g1", f"F{i}") for i in range(0, n, 997))
    top = table.get_top_hit("g1")
    assert (top.hmm_id, top.bit_score) == (f"F{n - 1}", (n - 1) * 0.5)
    assert table.get_hmm_hit("g2", "same").bit_score == (n - 1) * 0.5

    table.write()
    again = TopHitFile(str(path))
    again.read()
    assert again.get_hmm_hit("g1", "F54321").e_val == float(f"1e-{54321 % 300}")
    lines = path.read_text().splitlines()
    assert len(lines) == 3 and lines[1].count(";") == n - 1
    assert lines[1].startswith(f"g1\tF{n - 1},")  # best hit first

    # The last piece is broken: every hit before it was added.
    path.write_text(f"h\ng3\t{hits_line(n, lambda i: f'F{i}')};F,1e-5\n")
    with pytest.raises(panic_type) as info:
        again.read()
    assert str(info.value) == "called `Option::unwrap()` on a `None` value"
    assert again.contains_gene_hmm("g3", f"F{n - 1}") and not again.contains_gene_hmm("g3", "F")


# --- every k ---------------------------------------------------------------------------


def test_k_up_to_255(tmp_path):
    """Sizes of 4^k beyond any memory fail with MemoryError at once; results
    that stay small are built whatever k is."""
    fasta = tmp_path / "small.fa"
    fasta.write_text(">a\nACGTACGTAC\n>b\n\n")
    for k in range(256):
        assert KmerCountResult(k, 5, [1, 2]).k == k
        if k >= 20:  # 4^20 k-mers of 20 bytes: terabytes
            with pytest.raises(MemoryError):
                get_possible_kmers(k)
            with pytest.raises(MemoryError):
                get_kmer_to_idx(k)
        if k >= 32:
            # 4^k counters: not even their number fits in 64 bits.
            with pytest.raises(MemoryError):
                get_kmer_count_seq("ACGT" * 20, k, True)
            with pytest.raises(MemoryError):
                get_kmer_count_seq("", k, False)
            with pytest.raises(MemoryError):
                get_kmer_count_fasta(str(fasta), k, True)
            continue
        # Up to k 31 the counts are held by their non-zero entries; listing
        # all 4^k of them is what cannot fit.
        result = get_kmer_count_seq("ACGT" * 20, k, True)
        assert result.k == k and result.total == 2 * max(80 - max(k, 1) + 1, 0)
        counts = get_kmer_count_fasta(str(fasta), k, False)
        assert list(counts) == ["a", "b"] and counts["a"].total == max(10 - max(k, 1) + 1, 0)
        assert counts["b"].total == 0
        if k >= 24:
            with pytest.raises(MemoryError):
                result.counts


@pytest.mark.skipif(UNDER_ASAN, reason="an address-space limit does not combine with the sanitizer's shadow memory")
def test_k_past_a_memory_limit():
    """Under an address-space limit of 1 GiB, sizes that the machine could
    hold but the process may not fail with MemoryError too, and the process
    goes on working."""
    code = textwrap.dedent(
        """
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        import nuvek
        from nuvek.kmer import get_kmer_count_seq, get_kmer_to_idx, get_possible_kmers
        for call in (get_possible_kmers, get_kmer_to_idx, lambda k: get_kmer_count_seq("A" * 40, k, True).counts):
            for k in (13, 14, 16):
                try:
                    call(k)
                except MemoryError:
                    pass
        assert len(get_possible_kmers(8)) == 65536
        print("done")
        """
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "done\n"
