"""Requests that cannot fit under the process's real memory limits give
MemoryError before anything is allocated, not a killed or aborted process.
Each case runs in a child interpreter with its limit set there."""
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

# Each request needs at least 1 GiB; the child's limit leaves it 256 MiB.
REQUESTS = {
    "kmer_to_idx": "K.get_kmer_to_idx(13)",
    "possible_kmers": "K.get_possible_kmers(13)",
    "result_counts": "K.KmerCountResult(k=14, total=0, counts=range(4**14))",
    "dense_count": "K.get_kmer_count_seq('ACGT' * 2_000_000, 14, False).counts",
}

CHILD = """
import resource, sys
import nuvek
import nuvek.kmer as K
{limit}
try:
    {request}
except MemoryError:
    print("MemoryError")
    sys.exit(0)
print("allocated")
"""

AS_LIMIT = """
size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.{which}, (size + 256 * 2**20, resource.RLIM_INFINITY))
"""


def run_child(code, prefix=()):
    proc = subprocess.run([*prefix, sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    return proc.returncode, proc.stdout.strip(), proc.stderr


@pytest.mark.skipif(UNDER_ASAN, reason="an address-space limit does not combine with the sanitizer's shadow memory")
@pytest.mark.parametrize("which", ["RLIMIT_AS", "RLIMIT_DATA"])
@pytest.mark.parametrize("request_name", sorted(REQUESTS))
def test_rlimit_gives_memory_error(which, request_name):
    code = textwrap.dedent(CHILD).format(limit=AS_LIMIT.format(which=which), request=REQUESTS[request_name])
    rc, out, err = run_child(code)
    assert (rc, out) == (0, "MemoryError"), err[-2000:]


@pytest.mark.skipif(UNDER_ASAN, reason="an address-space limit does not combine with the sanitizer's shadow memory")
def test_small_requests_still_work_under_a_limit():
    code = textwrap.dedent(CHILD).format(
        limit=AS_LIMIT.format(which="RLIMIT_AS"),
        request="assert len(K.get_kmer_to_idx(8)) == 4**8 and K.get_kmer_count_seq('ACGT' * 1000, 10, True).total",
    )
    rc, out, err = run_child(code)
    assert (rc, out) == (0, "allocated"), err[-2000:]


def memory_cgroup_limit_file():
    """The limit file of this process's memory cgroup (v1 or v2), or None."""
    try:
        groups = Path("/proc/self/cgroup").read_text().splitlines()
        mounts = Path("/proc/self/mountinfo").read_text().splitlines()
    except OSError:
        return None
    for line in mounts:
        fields, _, rest = line.partition(" - ")
        root, mount = fields.split()[3:5]
        fstype, _, options = rest.split()[:3]
        for group in groups:
            _, controllers, path = group.split(":", 2)
            if fstype == "cgroup" and "memory" in options.split(",") and "memory" in controllers.split(","):
                name = "memory.limit_in_bytes"
            elif fstype == "cgroup2" and group.startswith("0::"):
                name = "memory.max"
            else:
                continue
            if root != "/" and path.startswith(root):
                path = path[len(root) :]
            candidate = Path(mount + path.rstrip("/")) / name
            if candidate.exists():
                return candidate
    return None


def test_cgroup_limit_gives_memory_error(tmp_path):
    """A container's or batch job's limit: the kernel would kill the process.
    The limit file is replaced, inside a private mount namespace of the
    child only, by one that says 1 GiB."""
    target = memory_cgroup_limit_file()
    if target is None or shutil.which("unshare") is None:
        pytest.skip("no memory cgroup or no unshare here")
    fake = tmp_path / "limit"
    fake.write_text(f"{1 << 30}\n")
    code = textwrap.dedent(CHILD).format(limit="", request=REQUESTS["result_counts"])
    shell = f'mount --bind "{fake}" "{target}" && exec "$0" "$@"'
    probe = subprocess.run(
        ["unshare", "--mount", "--propagation", "private", "sh", "-c", f'mount --bind "{fake}" "{target}"'],
        capture_output=True,
    )
    if probe.returncode != 0:
        pytest.skip("cannot make a private mount namespace here")
    rc, out, err = run_child(code, prefix=("unshare", "--mount", "--propagation", "private", "sh", "-c", shell))
    assert (rc, out) == (0, "MemoryError"), err[-2000:]


@pytest.mark.skipif(UNDER_ASAN, reason="an address-space limit does not combine with the sanitizer's shadow memory")
def test_kept_export_memory_is_given_back_before_memory_error():
    # 80 exports of 8 MB dropped: their 640 MB stay mapped for reuse. Under
    # a limit that leaves 300 MB beyond them, an export of 512 MiB fits only
    # once the kept vectors are given back.
    code = textwrap.dedent("""
        import resource
        import nuvek.kmer as K
        results = [K.get_kmer_count_seq("ACGT" * 50 + "A" * i, 10, True) for i in range(80)]
        views = [memoryview(r) for r in results]
        del views, results
        size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (size + 300 * 2**20, resource.RLIM_INFINITY))
        r = K.get_kmer_count_seq("ACGTTGCA" * 4, 13, False)
        view = memoryview(r)
        assert len(view) == 4**13 and sum(view[i] for i in range(0, 4**13, 4**13 // 64)) <= r.total
        print("allocated")
    """)
    rc, out, err = run_child(code)
    assert (rc, out) == (0, "allocated"), err[-2000:]


@pytest.mark.skipif(UNDER_ASAN, reason="an address-space limit does not combine with the sanitizer's shadow memory")
def test_kept_result_mapping_is_given_back_before_memory_error():
    # A dropped dense result of 128 MB (k = 12) stays mapped for the next
    # one of its size. Under a limit that leaves 450 MB beyond it, an export
    # of 512 MiB fits only once that mapping is given back.
    code = textwrap.dedent("""
        import random, resource
        import nuvek.kmer as K
        rng = random.Random(12)
        r = K.get_kmer_count_seq("".join(rng.choices("ACGT", k=4_500_000)), 12, True)
        assert len(memoryview(r)) == 4**12
        del r
        size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (size + 450 * 2**20, resource.RLIM_INFINITY))
        r = K.get_kmer_count_seq("ACGTTGCA" * 4, 13, False)
        assert len(memoryview(r)) == 4**13
        print("allocated")
    """)
    rc, out, err = run_child(code)
    assert (rc, out) == (0, "allocated"), err[-2000:]
