"""Operating-system errors in failure messages: the FASTA reader and the
top-hit file describe the same error number with the same C library text,
each in its own form."""
import errno
import os
import re

import pytest

import nuvek  # noqa: F401
from nuvek.hmmer.tophit import TopHitFile
from nuvek.kmer import get_kmer_count_fasta


def _missing(tmp_path):
    return tmp_path / "missing.fa"


def _under_a_file(tmp_path):
    (tmp_path / "plain").write_text(">a\nAC\n")
    return tmp_path / "plain" / "x.fa"


def _link_loop(tmp_path):
    os.symlink("loop_b", tmp_path / "loop_a")
    os.symlink("loop_a", tmp_path / "loop_b")
    return tmp_path / "loop_a"


def _long_name(tmp_path):
    return tmp_path / ("n" * 300)


@pytest.mark.parametrize(
    "make_path, code, kind",
    [
        (_missing, errno.ENOENT, "NotFound"),
        (_under_a_file, errno.ENOTDIR, "NotADirectory"),
        (_link_loop, errno.ELOOP, "FilesystemLoop"),
        (_long_name, errno.ENAMETOOLONG, "InvalidFilename"),
    ],
    ids=["missing", "not-a-directory", "link-loop", "name-too-long"],
)
def test_open_error_texts_agree(tmp_path, panic_type, make_path, code, kind):
    path = str(make_path(tmp_path))
    text = os.strerror(code)

    with pytest.raises(panic_type) as fasta_failure:
        get_kmer_count_fasta(path, 2, False)
    assert str(fasta_failure.value).split("\n")[-1] == f"    {text} (os error {code})"

    with pytest.raises(panic_type) as table_failure:
        TopHitFile(path).read()
    assert str(table_failure.value) == f'Cannot read file!: Os {{ code: {code}, kind: {kind}, message: "{text}" }}'


def test_read_error_of_a_directory_agrees(tmp_path, panic_type):
    with pytest.raises(panic_type) as fasta_failure:
        get_kmer_count_fasta(str(tmp_path), 2, False)
    short = re.fullmatch(r'Failed to read fasta from ".*": (.*) \(os error (\d+)\)', str(fasta_failure.value))
    assert short and short.groups() == (os.strerror(errno.EISDIR), str(errno.EISDIR))

    with pytest.raises(panic_type) as table_failure:
        TopHitFile(str(tmp_path)).read()
    assert f'message: "{short.group(1)}"' in str(table_failure.value)
