"""K-mer counters a user could write instead of nuvek, shared by the benchmarks.

Each counter takes an ASCII str of A/C/G/T, k and the reverse-complement flag
and returns a numpy array of 4**k counts in the same column order as nuvek
(base 4, A=0, C=1, G=2, T=3, first letter most significant).
"""
import numpy as np

_CODE = np.full(256, 255, dtype=np.uint8)
for _i, _c in enumerate(b"ACGT"):
    _CODE[_c] = _i


def encode(seq):
    """2-bit codes of an ACGT str as a uint8 array."""
    codes = _CODE[np.frombuffer(seq.encode("ascii"), dtype=np.uint8)]
    if codes.size and codes.max() == 255:
        raise ValueError("sequence holds a letter outside ACGT")
    return codes


def _numpy_strand(codes, k):
    n = codes.size - k + 1
    if n <= 0:
        return np.zeros(4**k, dtype=np.int64)
    index = np.zeros(n, dtype=np.int64)
    for j in range(k):
        index <<= 2
        index |= codes[j : j + n]
    return np.bincount(index, minlength=4**k)


def numpy_count(seq, k, use_rev_complement):
    """Vectorised: 2-bit encode, rolling index built by shifts, np.bincount."""
    codes = encode(seq)
    counts = _numpy_strand(codes, k)
    if use_rev_complement:
        counts = counts + _numpy_strand(3 - codes[::-1], k)
    return counts


try:
    import numba
except ImportError:  # numba is optional
    numba = None

if numba is not None:

    @numba.njit(cache=False, nogil=True)
    def _numba_kernel(codes, k, rc, counts):
        mask = (1 << (2 * k)) - 1
        shift = 2 * (k - 1)
        fwd = 0
        rev = 0
        for i in range(codes.size):
            c = codes[i]
            fwd = ((fwd << 2) | c) & mask
            rev = (rev >> 2) | ((3 - c) << shift)
            if i >= k - 1:
                counts[fwd] += 1
                if rc:
                    counts[rev] += 1

    _LUT = np.full(256, 4, dtype=np.uint8)
    for _i, _c in enumerate(b"ACGT"):
        _LUT[_c] = _i

    @numba.njit(cache=False, nogil=True)
    def _numba_lut_kernel(buf, lut, k, rc, counts):
        """The fastest plain loop a user writes: the byte is looked up inside
        the loop, both strands are rolled and counted in the same pass."""
        mask = (1 << (2 * k)) - 1
        shift = 2 * (k - 1)
        fwd = 0
        rev = 0
        filled = 0
        for i in range(buf.size):
            c = lut[buf[i]]
            if c > 3:
                return False
            fwd = ((fwd << 2) | c) & mask
            rev = (rev >> 2) | ((3 - c) << shift)
            filled += 1
            if filled >= k:
                counts[fwd] += 1
                if rc:
                    counts[rev] += 1
        return True

    def numba_lut_count(seq, k, use_rev_complement):
        """Byte lookup table inside one numba loop over np.frombuffer of the
        encoded text (k >= 1); raises on a letter outside ACGT."""
        counts = np.zeros(4**k, dtype=np.int64)
        if not _numba_lut_kernel(np.frombuffer(seq.encode(), np.uint8), _LUT, k, use_rev_complement, counts):
            raise ValueError("sequence holds a letter outside ACGT")
        return counts

    def numba_count(seq, k, use_rev_complement):
        """A numba-compiled rolling loop over the 2-bit codes (k >= 1)."""
        counts = np.zeros(4**k, dtype=np.int64)
        _numba_kernel(encode(seq), k, use_rev_complement, counts)
        return counts

    def numba_count_into(codes, k, use_rev_complement, counts):
        """Adds the counts of already encoded codes into counts."""
        _numba_kernel(codes, k, use_rev_complement, counts)

else:
    numba_count = None
    numba_count_into = None
    numba_lut_count = None


def best_of(fn, repeat=5):
    """Best wall time of several runs, in seconds."""
    import time

    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def best_of_each(fns, repeat=5):
    """Best wall time of each function, in seconds, taking turns run by run
    so that a busy moment on a shared machine hits every contender alike."""
    import time

    best = [float("inf")] * len(fns)
    for _ in range(repeat):
        for i, fn in enumerate(fns):
            t0 = time.perf_counter()
            fn()
            best[i] = min(best[i], time.perf_counter() - t0)
    return best
