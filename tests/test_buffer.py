"""KmerCountResult exports its counters through the buffer protocol:
read-only, unsigned 64-bit items, one dimension, no copy."""
import gc
import sys

import pytest

from nuvek.kmer import KmerCountResult, get_kmer_count_seq


def results():
    return {
        "dense": get_kmer_count_seq("ACGTTGCAAC" * 20, 3, True),
        # One short read at a large k is held sparse.
        "sparse": get_kmer_count_seq("ACGTACGTACGTA", 9, False),
        "built": KmerCountResult(2, 5, [1, 2**64 - 1, 0]),
        "empty": KmerCountResult(0, 0, []),
    }


@pytest.mark.parametrize("name", ["dense", "sparse", "built", "empty"])
def test_memoryview_sees_the_counts(name):
    r = results()[name]
    view = memoryview(r)
    assert (view.format, view.itemsize, view.ndim, view.readonly) == ("Q", 8, 1, True)
    assert view.shape == (len(r.counts),) and view.strides == (8,)
    assert view.c_contiguous and view.nbytes == 8 * len(r.counts)
    assert view.tolist() == r.counts
    assert view.obj is r


@pytest.mark.parametrize("name", ["dense", "sparse"])
def test_every_export_shows_the_same_memory(name):
    numpy = pytest.importorskip("numpy")
    r = results()[name]
    first, second = numpy.asarray(r), numpy.frombuffer(r, numpy.uint64)
    assert numpy.shares_memory(first, second)
    assert first.tolist() == r.counts


@pytest.mark.parametrize("flags", [0x1, 0x1 | 0x4 | 0x8 | 0x10 | 0x100])  # WRITABLE, alone and with FULL
def test_writable_requests_are_refused(flags):
    import ctypes

    r = KmerCountResult(1, 0, [1, 2, 3, 4])
    view = ctypes.create_string_buffer(256)  # room for a Py_buffer
    get_buffer = ctypes.pythonapi.PyObject_GetBuffer
    get_buffer.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_int]
    with pytest.raises(BufferError, match="not writable"):
        get_buffer(r, ctypes.addressof(view), flags)
    with pytest.raises(TypeError):
        memoryview(r)[0] = 5
    assert r.counts == [1, 2, 3, 4]


def test_views_outlive_the_result():
    view = memoryview(get_kmer_count_seq("AACCGGTT", 2, False))
    gc.collect()
    assert sum(view.tolist()) == 7
    r = KmerCountResult(1, 3, [3, 0, 0, 0])
    refs = sys.getrefcount(r)
    views = [memoryview(r) for _ in range(10)]
    assert sys.getrefcount(r) == refs + 10
    del views
    assert sys.getrefcount(r) == refs


def test_sparse_export_leaves_the_rest_unchanged():
    r = results()["sparse"]
    before = (r.k, r.total, r.counts)
    with memoryview(r) as view:
        assert view.tolist() == before[2]
        assert (r.k, r.total, r.counts) == before
    assert r.counts is not r.counts


def test_huge_sparse_export_raises_memory_error():
    r = get_kmer_count_seq("ACGTACGTACGTACGTACGTACGTACGTACGTACGTACGTACGTACGTAC", 31, False)
    with pytest.raises(MemoryError):
        memoryview(r)
    assert r.total == 20


def test_numpy_sees_the_counts_without_a_copy():
    numpy = pytest.importorskip("numpy")
    r = get_kmer_count_seq("ACGTTGCAAC" * 20, 4, True)
    a = numpy.asarray(r)
    assert a.dtype == numpy.uint64 and a.shape == (256,) and not a.flags.writeable
    assert a.tolist() == r.counts
    b = numpy.frombuffer(r, numpy.uint64)
    assert numpy.shares_memory(a, b)
    assert numpy.asarray(KmerCountResult(1, 0, [2**64 - 1])).tolist() == [2**64 - 1]
