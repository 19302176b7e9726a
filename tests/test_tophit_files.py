"""What write() and read() do to the files around them: replacing a file
never destroys the old one, links and ownership survive, signals interrupt
blocking calls, failures name their line, and a written table reads back
answering every lookup as before."""
import math
import os
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import pytest

import nuvek  # noqa: F401 - registers nuvek.hmmer.tophit in sys.modules
from nuvek.hmmer.tophit import TopHitFile

HEADER = b"Gene Id\tTop hits (Family id,e-value,bitscore)\n"
NAN = float("nan")
NOBODY = 65534


def big_table(path, genes=4000):
    """A table whose file is about 1.3 MB: more than the small file systems below hold."""
    t = TopHitFile(str(path))
    for i in range(genes):
        t.add_hit(f"gene{i}", "F", 1e-300, i)
    return t


def spawn(code, *args, user=None):
    """Starts code in a fresh interpreter, as user (a uid) if given."""
    cmd = [sys.executable, "-c", textwrap.dedent(code), *map(str, args)]
    if user is not None:
        cmd = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups", *cmd]
    return subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def run(code, *args, user=None, timeout=60):
    proc = spawn(code, *args, user=user)
    out, err = proc.communicate(timeout=timeout)
    return proc.returncode, out, err


WRITE_BIG = """
    import sys, nuvek
    TopHitFile = sys.modules["nuvek.hmmer.tophit"].TopHitFile
    t = TopHitFile(sys.argv[1])
    for i in range(int(sys.argv[2])):
        t.add_hit(f"gene{i}", "F", 1e-300, i)
    try:
        t.write()
        print("written")
    except BaseException as e:
        print(e)
"""


@pytest.fixture
def small_fs():
    """A tmpfs of 256 KiB, mounted where every user can reach it."""
    if os.geteuid() != 0:
        pytest.skip("mounting a small file system needs root")
    where = tempfile.mkdtemp(prefix="nuvek-fs-")
    os.chmod(where, 0o755)
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k,mode=755", "tmpfs", where], capture_output=True)
    if mounted.returncode != 0:
        os.rmdir(where)
        pytest.skip(f"cannot mount a tmpfs here: {mounted.stderr.decode().strip()}")
    try:
        yield Path(where)
    finally:
        subprocess.run(["umount", where], check=False)
        os.rmdir(where)


def fill_up(fs, leave=64 * 1024):
    """Fills fs but for about `leave` bytes."""
    filler = fs / "filler"
    fd = os.open(filler, os.O_WRONLY | os.O_CREAT, 0o644)
    try:
        while True:
            os.write(fd, b"\0" * 4096)
    except OSError:
        pass
    finally:
        os.close(fd)
    os.truncate(filler, max(0, os.path.getsize(filler) - leave))


# --- a failed write keeps the old file -----------------------------------------


def needs_setpriv():
    if os.geteuid() != 0 or subprocess.run(["which", "setpriv"], capture_output=True).returncode != 0:
        pytest.skip("needs root and setpriv to act as another user")
    # The interpreter and its libraries may live where only root can read.
    code, _, err = run("import nuvek", user=NOBODY)
    if code != 0:
        pytest.skip(f"this interpreter cannot run as another user: {err.strip().splitlines()[-1]}")


@pytest.mark.parametrize("room", [8 * 1024, 4 * 1024 * 1024])
def test_user_in_unwritable_directory(small_fs, room):
    """dir/own.tsv belongs to the user, dir does not: no temporary file can be
    made, so the file is rewritten in place, but a disk too full for the new
    contents fails the call before the old contents are touched."""
    needs_setpriv()
    d = small_fs / "dir"
    d.mkdir()
    own = d / "own.tsv"
    genes = 200 if room > 1024 * 1024 else 4000  # about 6 KB or 1.3 MB of new contents
    # Where the write succeeds, the old file is the longer one: its tail must go.
    own.write_bytes(HEADER + b"old\tF,1,2\n" * (2000 if genes == 200 else 1))
    os.chown(own, NOBODY, NOBODY)
    fill_up(small_fs, leave=min(room, 128 * 1024))
    code, out, err = run(WRITE_BIG, own, genes, user=NOBODY)
    assert code == 0, err
    if genes == 4000:
        assert out.strip() == 'Cannot write to file!: Os { code: 28, kind: StorageFull, message: "No space left on device" }'
        assert own.read_bytes() == HEADER + b"old\tF,1,2\n"
    else:
        assert out.strip() == "written"
        u = TopHitFile(str(own))
        u.read()
        assert u.get_top_hit("gene199").bit_score == 199 and not u.contains_gene_id("old")
        assert own.stat().st_uid == NOBODY and own.read_bytes().count(b"\n") == 201
    assert sorted(os.listdir(d)) == ["own.tsv"]


def test_symlink_target_on_full_disk_is_kept(small_fs):
    target = small_fs / "data" / "t.tsv"
    target.parent.mkdir()
    target.write_bytes(HEADER + b"old\tF,1,2\n")
    link = small_fs / "link.tsv"
    link.symlink_to("data/t.tsv")  # relative to the link's directory
    fill_up(small_fs)
    code, out, err = run(WRITE_BIG, link, 4000)
    assert out.strip().endswith('Os { code: 28, kind: StorageFull, message: "No space left on device" }'), err
    assert link.is_symlink() and target.read_bytes() == HEADER + b"old\tF,1,2\n"
    assert sorted(os.listdir(target.parent)) == ["t.tsv"]


@pytest.mark.parametrize("relative", [True, False])
def test_symlink_stays_and_target_is_replaced(tmp_path, relative):
    target = tmp_path / "real" / "t.tsv"
    target.parent.mkdir()
    target.write_bytes(b"x" * 5000)
    os.chmod(target, 0o600)
    middle = tmp_path / "middle.tsv"
    middle.symlink_to("real/t.tsv" if relative else target)
    link = tmp_path / "sub" / "link.tsv"
    link.parent.mkdir()
    link.symlink_to("../middle.tsv" if relative else middle)
    t = TopHitFile(str(link))
    t.add_hit("g", "F", 1, 2)
    t.write()
    assert link.is_symlink() and middle.is_symlink()
    assert target.read_bytes() == HEADER + b"g\tF,1,2\n" and os.stat(target).st_mode & 0o777 == 0o600
    assert sorted(os.listdir(target.parent)) == ["t.tsv"]


def test_dangling_symlink_creates_its_target(tmp_path):
    link = tmp_path / "link.tsv"
    link.symlink_to("made.tsv")
    TopHitFile(str(link)).write()
    assert link.is_symlink() and (tmp_path / "made.tsv").read_bytes() == HEADER


@pytest.mark.parametrize("ids", [(NOBODY, NOBODY), (NOBODY, 0), (0, NOBODY)])
def test_owner_and_group_are_kept(tmp_path, ids):
    if os.geteuid() != 0:
        pytest.skip("only the superuser may give a file to another user")
    path = tmp_path / "t.tsv"
    path.write_bytes(b"old")
    os.chown(path, *ids)
    os.chmod(path, 0o640)
    big_table(path, 10).write()
    st = os.stat(path)
    assert (st.st_uid, st.st_gid, st.st_mode & 0o777) == (*ids, 0o640)


def test_fifo_is_written_in_place(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    reader = subprocess.Popen(["cat", str(fifo)], stdout=subprocess.PIPE)
    t = TopHitFile(str(fifo))
    t.add_hit("g", "F", 1, 2)
    t.write()
    assert reader.communicate(timeout=30)[0] == HEADER + b"g\tF,1,2\n"
    assert sorted(os.listdir(tmp_path)) == ["fifo"]


# --- killed and interrupted ----------------------------------------------------


def test_killed_writer_leaves_no_temporary_file(tmp_path):
    path = tmp_path / "t.tsv"
    path.write_bytes(HEADER)
    code = """
        import sys, nuvek
        t = sys.modules["nuvek.hmmer.tophit"].TopHitFile(sys.argv[1])
        for i in range(150000):
            t.add_hit(f"gene{i}", "F", 1e-300, i)
        print("ready", flush=True)
        while True:
            t.write()
    """
    for delay in (0.05, 0.13, 0.21, 0.3, 0.45):
        proc = spawn(code, path)
        assert proc.stdout.readline().strip() == "ready"
        time.sleep(delay)
        proc.send_signal(signal.SIGKILL)
        proc.communicate()
        # The new file is written without a name and named only to be
        # renamed over the old one at once: a kill can land between those
        # two calls (the system offers no single one), and then what is
        # left is a complete file, never a part of one.
        names = sorted(os.listdir(tmp_path))
        for name in names[:-1]:
            assert name.startswith(".tophit-") and name.endswith(".tmp")
            data = (tmp_path / name).read_bytes()
            assert data.startswith(HEADER) and data.endswith(b",149999\n")
            os.unlink(tmp_path / name)
        assert names[-1] == "t.tsv"
        with open(path, "rb") as f:
            assert f.read(len(HEADER)) == HEADER  # the old or a complete new file


READ_FIFO = """
    import os, signal, sys, nuvek
    t = sys.modules["nuvek.hmmer.tophit"].TopHitFile(sys.argv[1])
    seen = []
    signal.signal(signal.SIGUSR1, lambda *a: seen.append(1))
    try:
        print("ready", flush=True)
        t.read()
        print("read", t.contains_gene_id("g"), len(seen))
    except KeyboardInterrupt:
        print("KeyboardInterrupt")
"""


@pytest.mark.parametrize("blocked_in", ["open", "read"])
def test_ctrl_c_interrupts_read_of_a_fifo(tmp_path, blocked_in):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    proc = spawn(READ_FIFO, fifo)
    assert proc.stdout.readline().strip() == "ready"
    writer = None
    if blocked_in == "read":
        writer = open(fifo, "wb", buffering=0)  # opens once the reader has
        writer.write(HEADER)
    time.sleep(0.3)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=30)
    if writer:
        writer.close()
    assert out.strip() == "KeyboardInterrupt", err


def test_signal_whose_handler_returns_lets_the_read_go_on(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    proc = spawn(READ_FIFO, fifo)
    assert proc.stdout.readline().strip() == "ready"
    time.sleep(0.2)
    proc.send_signal(signal.SIGUSR1)  # while blocked in open
    with open(fifo, "wb", buffering=0) as writer:
        writer.write(HEADER)
        time.sleep(0.2)
        proc.send_signal(signal.SIGUSR1)  # while blocked in read
        time.sleep(0.2)
        writer.write(b"g\tF,1,2\n")
    out, err = proc.communicate(timeout=30)
    # Both signals interrupted a blocking call; their handler may still be
    # pending when the count is taken.
    assert out.split()[:2] == ["read", "True"] and int(out.split()[2]) >= 1, err


def test_interrupted_write_changes_nothing(tmp_path):
    path = tmp_path / "t.tsv"
    path.write_bytes(HEADER + b"old\tF,1,2\n")
    code = """
        import signal, sys, nuvek
        t = sys.modules["nuvek.hmmer.tophit"].TopHitFile(sys.argv[1])
        for i in range(300000):
            t.add_hit(f"gene{i}", "F", 1e-300, i)
        signal.signal(signal.SIGALRM, signal.default_int_handler)
        try:
            signal.setitimer(signal.ITIMER_REAL, 0.002)
            t.write()
            print("written")
        except KeyboardInterrupt:
            print("KeyboardInterrupt")
    """
    code_, out, err = run(code, path)
    assert out.strip() == "KeyboardInterrupt", err
    assert path.read_bytes() == HEADER + b"old\tF,1,2\n"
    assert sorted(os.listdir(tmp_path)) == ["t.tsv"]


# --- failures name their line --------------------------------------------------


@pytest.mark.parametrize(
    "body, line",
    [
        (b"g\tF,1,2\ng2\n", 3),
        (b"g\tF,1,2\r\n\xff\xfe\r\ng\tF,abc,1\r\n", 4),  # skipped lines are counted
        (b"g\tF,1,2;F2,1e-5\n", 2),
        (b"g\tF,1,2\n\n", 3),
    ],
)
def test_read_failure_notes_its_line(tmp_path, panic_type, body, line):
    path = tmp_path / "hits.tsv"
    path.write_bytes(HEADER + body)
    with pytest.raises(panic_type) as info:
        TopHitFile(str(path)).read()
    assert getattr(info.value, "__notes__", None) == [f'at line {line} of "{path}"']


def test_open_failure_has_no_line(tmp_path, panic_type):
    with pytest.raises(panic_type) as info:
        TopHitFile(str(tmp_path / "missing.tsv")).read()
    assert str(info.value).startswith("Cannot read file!: Os { code: 2, kind: NotFound")
    assert not getattr(info.value, "__notes__", None)


# --- a round trip keeps every answer --------------------------------------------


@pytest.mark.parametrize(
    "hits",
    [
        [("F1", 1e-5, 30), ("F2", 1e-5, 30)],
        [("F1", 1e-5, 30), ("F2", 1e-5, 30), ("F3", 1e-5, 30), ("F4", 1, 50), ("F5", 1, 50)],
        [("A", 1, 0.0), ("B", 1, -0.0), ("C", 2, 0.0)],
        [("A", 1, 5), ("B", 1, NAN), ("C", 1, 4)],
        [("A", 1, NAN), ("B", 1, 50)],
        [("A", NAN, 5), ("B", 1, 5)],
        [("A", 1, 5), ("B", NAN, 5), ("C", 2, 5)],
        [("A", 1, 5), ("B", NAN, 6), ("C", 1, 5)],
        [("A", NAN, NAN), ("B", NAN, 5), ("C", 1, NAN)],
    ],
)
def test_round_trip_answers_as_before(tmp_path, hits):
    t = TopHitFile(str(tmp_path / "r.tsv"))
    for f, e, b in hits:
        t.add_hit("g", f, e, b)
    t.write()
    u = TopHitFile(t.path)
    u.read()
    assert u.get_top_hit("g").hmm_id == t.get_top_hit("g").hmm_id
    for f, e, b in hits:
        a, b2 = t.get_hmm_hit("g", f), u.get_hmm_hit("g", f)
        assert (a.hmm_id, repr(a.e_val), repr(a.bit_score)) == (b2.hmm_id, repr(b2.e_val), repr(b2.bit_score))
        assert u.contains_gene_hmm("g", f)


def test_random_ties_round_trip(tmp_path):
    import random

    rng = random.Random(5)
    t = TopHitFile(str(tmp_path / "r.tsv"))
    for _ in range(3000):
        e = rng.choice([1e-5, 1e-9, NAN, 0.5])
        b = rng.choice([10.0, 20.0, 20.0, NAN, -0.0, 0.0, math.inf])
        t.add_hit(f"g{rng.randrange(200)}", f"F{rng.randrange(30)}", e, b)
    t.write()
    u = TopHitFile(t.path)
    u.read()
    for g in range(200):
        a, b = t.get_top_hit(f"g{g}"), u.get_top_hit(f"g{g}")
        assert (a is None) == (b is None)
        if a is not None:
            assert a.hmm_id == b.hmm_id
