"""The many-genomes example: a directory of FASTA files (gzip included) to one
matrix of profiles, on local processes and on a Dask cluster."""
import gzip
import importlib.util
import pickle
import random
import subprocess
import sys
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")

from nuvek.kmer import get_kmer_count_fasta, get_kmer_count_seq  # noqa: E402

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "many_genomes.py"


def load_example():
    found = importlib.util.spec_from_file_location("many_genomes", EXAMPLE)
    module = importlib.util.module_from_spec(found)
    sys.modules["many_genomes"] = module  # pickle finds classes by module name
    found.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def genomes(tmp_path_factory):
    directory = tmp_path_factory.mktemp("genomes")
    rng = random.Random(4)
    for g in range(5):
        gc = 0.3 + 0.1 * g  # distinct composition per genome
        weights = [(1 - gc) / 2, gc / 2, gc / 2, (1 - gc) / 2]
        text = "".join(f">c{i}\n" + "".join(rng.choices("ACGT", weights, k=2000)) + "\n" for i in range(5)).encode()
        if g % 2:
            (directory / f"g{g}.fna.gz").write_bytes(gzip.compress(text))
        else:
            (directory / f"g{g}.fa").write_bytes(text)
    (directory / "notes.txt").write_text("not a genome\n")
    return directory


def expected_matrix(directory, k):
    rows = {}
    for path in sorted(directory.iterdir()):
        if path.suffix == ".txt":
            continue
        total = np.zeros(4**k)
        for result in get_kmer_count_fasta(str(path), k, True).values():
            total += np.array(result.counts, dtype=float)
        rows[path.name] = total / total.sum()
    return rows


def run(directory, *args, cwd):
    return subprocess.run(
        [sys.executable, str(EXAMPLE), str(directory), *args], capture_output=True, text=True, cwd=cwd, timeout=300
    )


def read_matrix(path):
    rows = {}
    for line in path.read_text().splitlines():
        name, *values = line.split("\t")
        rows[name] = np.array([float(v) for v in values])
    return rows


BACKENDS = [
    pytest.param(["--workers", "1"], id="one-process"),
    pytest.param(["--workers", "2"], id="two-processes"),
    pytest.param(["--workers", "2", "--dask"], id="dask-local-cluster"),
]


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("k", [2, 4])
def test_matrix_matches_one_call_per_genome(tmp_path, genomes, backend, k):
    if "--dask" in backend:
        pytest.importorskip("dask.distributed")
    proc = run(genomes, "--k", str(k), "--out", "m.tsv", *backend, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    got, want = read_matrix(tmp_path / "m.tsv"), expected_matrix(genomes, k)
    assert list(got) == list(want)  # every genome, in file-name order
    for name in want:
        np.testing.assert_allclose(got[name], want[name], rtol=1e-5)


def skip_without_dask(backend):
    if "--dask" in backend:
        pytest.importorskip("dask.distributed")


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("strict", [False, True])
def test_failed_genomes_are_reported_and_the_others_written(tmp_path, genomes, backend, strict):
    """A genome cut off in its gzip stream fails either way, one with N only
    with --strict: each failure is reported with its message and note, the
    batch goes on, the other rows are written and the exit status is 1."""
    skip_without_dask(backend)
    directory = tmp_path / "with-bad"
    directory.mkdir()
    for path in genomes.iterdir():
        (directory / path.name).write_bytes(path.read_bytes())
    (directory / "a_cut.fa.gz").write_bytes(gzip.compress(b">x\n" + b"ACGT" * 5000)[:-40])
    (directory / "b_gaps.fa").write_text(">x\nACGTNACGTacgt\n")
    proc = run(directory, "--out", "m.tsv", *backend, *(["--strict"] if strict else []), cwd=tmp_path)
    assert proc.returncode == 1, proc.stderr
    assert 'error: a_cut.fa.gz: Failed to read fasta from "' in proc.stderr
    rows = read_matrix(tmp_path / "m.tsv")
    good = [name for name in expected_matrix(genomes, 4)]
    if strict:
        assert "error: b_gaps.fa: called `Option::unwrap()` on a `None` value" in proc.stderr
        assert f'  in record "x" of "{directory / "b_gaps.fa"}", position 4: \'N\'' in proc.stderr
        assert proc.stderr.rstrip().endswith("2 of 7 genomes failed: a_cut.fa.gz, b_gaps.fa")
        assert list(rows) == good
    else:
        assert "b_gaps.fa" not in proc.stderr
        assert proc.stderr.rstrip().endswith("1 of 7 genomes failed: a_cut.fa.gz")
        assert list(rows) == ["b_gaps.fa", *good]
        want = get_kmer_count_seq("ACGTNACGTacgt", 4, True, skip_invalid=True)
        np.testing.assert_allclose(rows["b_gaps.fa"], np.asarray(want) / want.total, rtol=1e-5)


# Real assemblies with N runs and soft-masked bases, from Debian's
# kaptive-example and abacas-examples packages (installed by CI).
DEBIAN_ASSEMBLIES = sorted(
    [*Path("/usr/share/doc/kaptive/examples").glob("*.fasta.gz"),
     *Path("/usr/share/doc/abacas-examples").glob("*.fna.gz")]
)


@pytest.mark.skipif(len(DEBIAN_ASSEMBLIES) < 5, reason="Debian's kaptive-example and abacas-examples are not installed")
@pytest.mark.parametrize("backend", BACKENDS)
def test_real_assemblies_plain_and_gzip(tmp_path, backend):
    skip_without_dask(backend)
    directory = tmp_path / "real"
    directory.mkdir()
    for i, path in enumerate(DEBIAN_ASSEMBLIES):
        if i % 2:
            (directory / path.name).write_bytes(path.read_bytes())
        else:
            (directory / path.name.removesuffix(".gz")).write_bytes(gzip.decompress(path.read_bytes()))
    proc = run(directory, "--k", "4", "--out", "m.tsv", *backend, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    rows = read_matrix(tmp_path / "m.tsv")
    assert list(rows) == sorted(p.name for p in directory.iterdir()) and len(rows) == len(DEBIAN_ASSEMBLIES)
    for name, row in rows.items():
        total = np.zeros(256)
        for result in get_kmer_count_fasta(str(directory / name), 4, True, skip_invalid=True).values():
            total += np.asarray(result)
        np.testing.assert_allclose(row, total / total.sum(), rtol=1e-5)


def test_genome_error_pickles_with_message_and_notes():
    example = load_example()
    err = example.GenomeError("g1.fa: Failed to read fasta", ["while counting g1.fa"])
    back = pickle.loads(pickle.dumps(err))
    assert type(back) is example.GenomeError
    assert str(back) == "g1.fa: Failed to read fasta" and back.__notes__ == ["while counting g1.fa"]


def test_worker_turns_panic_into_genome_error(tmp_path):
    example = load_example()
    bad = tmp_path / "bad.fa"
    bad.write_text(">x\nNNNN\n")
    with pytest.raises(example.GenomeError, match="^bad.fa: called `Option::unwrap") as info:
        example.genome_profile(bad, 2, skip_invalid=False)
    pickle.dumps(info.value)


def test_counts_through_the_buffer_protocol():
    result = get_kmer_count_seq("ACGTTGCAAC", 2, True)
    assert load_example().counts_array(result).tolist() == result.counts
