"""K-mer calls under memory exhaustion and Ctrl-C, each in a fresh interpreter."""
import os
import signal
import subprocess
import sys
import itertools
import textwrap
import threading
import time

import pytest

from conftest import run_python

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.skipif(UNDER_ASAN, reason="an address-space limit does not combine with the sanitizer's shadow memory")
@pytest.mark.parametrize(
    "call",
    [
        "get_kmer_count_seq('ACGN', 2, False)",
        "get_kmer_to_idx(12)",
        "get_kmer_count_seq('ACGT' * 10, 12, True).counts",
        "get_kmer_count_seq('ACGT' * 3_000, 8, True)",
        "get_possible_kmers(12)",
    ],
)
def test_calls_with_memory_exhausted_never_abort(call):
    """With the address space filled up to a limit, a call raises (MemoryError
    or its own failure) and the process goes on: nothing that the C++ side
    sets up lazily on the calling thread, such as the runtime's exception
    state on the first throw, may be left to the moment memory has run out."""
    code = textwrap.dedent(
        f"""
        import ctypes, resource
        import nuvek
        from nuvek.kmer import get_kmer_count_seq, get_kmer_to_idx, get_possible_kmers
        limit = resource.RLIMIT_AS
        resource.setrlimit(limit, (2 << 30, resource.RLIM_INFINITY))
        malloc = ctypes.CDLL(None).malloc
        malloc.restype, malloc.argtypes = ctypes.c_void_p, [ctypes.c_size_t]
        for size in (1 << 20, 1 << 12, 256, 16):
            try:
                while malloc(size):
                    pass
            except MemoryError:
                pass
        try:
            {call}
        except BaseException:
            pass
        resource.setrlimit(limit, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        print(get_kmer_count_seq("AACGT", 2, True).total)
        """
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert (proc.returncode, proc.stdout) == (0, "8\n"), proc.stderr


@pytest.mark.skipif(UNDER_ASAN, reason="an address-space limit does not combine with the sanitizer's shadow memory")
def test_dict_past_an_address_space_limit_raises_memory_error():
    proc = subprocess.run(["prlimit", f"--as={2 << 30}", sys.executable, "-c",
                           "import nuvek.kmer as k\ntry:\n    k.get_kmer_to_idx(12)\nexcept MemoryError:\n    print('MemoryError')"],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0 and proc.stdout in ("", "MemoryError\n"), proc.stderr


def interrupt(code, wait):
    """Runs code in a child, calls wait() once the child printed "go", then
    sends SIGINT; returns the child's exit status and stderr."""
    proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "go\n"
        wait()
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=120)
    finally:
        proc.kill()
    return proc.returncode, err


def test_ctrl_c_interrupts_fasta_counting(tmp_path):
    """The file is a FIFO fed without end: only Ctrl-C can end the call. The
    signal is sent once megabytes have gone through the pipe, that is, with
    the child inside the call."""
    fifo = tmp_path / "endless.fa"
    os.mkfifo(fifo)
    line = b"ACGTTGCAGGATCCAT" * 4 + b"\n"
    inside = threading.Event()

    def feed():
        try:
            with open(fifo, "wb") as f:
                f.write(b">chr\n")
                for n in itertools.count():
                    f.write(line * 4096)
                    if n == 64:
                        inside.set()
        except OSError:
            pass
        finally:
            inside.set()

    threading.Thread(target=feed, daemon=True).start()
    status, err = interrupt(
        f"""
        import nuvek
        from nuvek.kmer import get_kmer_count_fasta
        print("go", flush=True)
        get_kmer_count_fasta({str(fifo)!r}, 4, True)
        """,
        inside.wait,
    )
    assert status != 0 and err.rstrip().endswith("KeyboardInterrupt"), err


@pytest.mark.parametrize("call, full_mb", [("get_possible_kmers(12)", 1100), ("get_kmer_to_idx(12)", 2100)])
def test_ctrl_c_interrupts_enumeration(call, full_mb):
    """The child's handler notes how much memory the call had taken when the
    signal was handled: an enumeration interrupted early has built a small
    part of the list or dict of 4^12 entries (full_mb when complete); one
    that ran to its end before handling the signal has built all of it."""
    status, err = interrupt(
        f"""
        import signal, sys
        import nuvek
        from nuvek.kmer import get_kmer_to_idx, get_possible_kmers

        def rss_mb():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * 4096 >> 20

        def handler(signum, frame):
            print("grown", rss_mb() - base, file=sys.stderr, flush=True)
            raise KeyboardInterrupt

        base = rss_mb()
        signal.signal(signal.SIGINT, handler)
        print("go", flush=True)
        {call}
        """,
        lambda: time.sleep(0.1),
    )
    assert status != 0 and "KeyboardInterrupt" in err, err
    grown = int(err.split("grown ")[1].split()[0])
    assert grown < full_mb * 0.6, err


@pytest.mark.parametrize("call", [
    "get_possible_kmers(8)",
    "get_kmer_to_idx(8)",
    "get_kmer_count_seq('ACGT', 11, False).counts",
    "get_kmer_count_seq('ACGT' * 2000, 11, True).counts",
    "numpy.asarray(get_kmer_count_seq('ACGT', 11, False))",
])
def test_signal_handlers_never_see_a_container_being_filled(call):
    """A handler run while the module builds a long list or dict walks every
    object the collector knows, reading each list's last item, as memory
    profilers and debuggers do: none may be a list whose items are not yet
    set (reading one crashed the interpreter)."""
    if "numpy" in call:
        pytest.importorskip("numpy")
    proc = run_python(f"""
        import gc, signal
        import nuvek
        from nuvek.kmer import get_kmer_count_seq, get_kmer_to_idx, get_possible_kmers
        try:
            import numpy
        except ImportError:
            pass
        seen, running = 0, True
        def walk(signum, frame):
            global seen
            for o in gc.get_objects():
                if type(o) is list and len(o) >= 4**8:
                    o[-1]
                    seen += 1
            if running:  # no alarm may outlive the loop: its default action ends the process
                signal.setitimer(signal.ITIMER_REAL, 0.0002)
        signal.signal(signal.SIGALRM, walk)
        signal.setitimer(signal.ITIMER_REAL, 0.0002)
        for _ in range(60):
            result = {call}
            assert len(result) in (4**8, 4**11)
        running = False
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, signal.SIG_IGN)
        print("ok", seen)
    """, check=False)
    assert proc.returncode == 0 and proc.stdout.startswith("ok"), (proc.returncode, proc.stderr[-2000:])
