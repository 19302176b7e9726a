import subprocess
import sys
import textwrap

import pytest

# nuvek is a single extension module, not a package: importing it first enters
# its dotted submodules into sys.modules so that test modules can import them.
import nuvek  # noqa: F401


def run_python(code, cwd=None, check=True):
    """Runs code in a fresh interpreter and returns the completed process."""
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        cwd=cwd,
    )
    if check and proc.returncode != 0:
        raise AssertionError(f"subprocess failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc


@pytest.fixture
def panic_type():
    """The PanicException type, taken from a raised internal failure."""
    from nuvek.kmer import get_kmer_count_seq

    try:
        get_kmer_count_seq("N", 1, False)
    except BaseException as exc:  # noqa: BLE001 - the type is what we want
        return type(exc)
    raise AssertionError("expected an internal failure")
