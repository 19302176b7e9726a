"""Composition profiles a user could build instead of get_kmer_profile_fasta,
and the generated inputs of bench_profile.py.

Every peer returns (ids, starts, ends, totals, matrix) with the matrix in
nuvek's columns: canonical k-mers (the smaller code of a k-mer and its
reverse complement, base 4 with A=0, C=1, G=2, T=3) in ascending order. A
window holding a byte other than a/c/g/t in either case is skipped, as with
skip_invalid=True.
"""
import itertools

import numpy as np

COMPLEMENT = str.maketrans("ACGT", "TGCA")


def canonical_columns(k):
    """(map from k-mer code to canonical column, number of columns)."""
    kmers = ["".join(p) for p in itertools.product("ACGT", repeat=k)]
    canon = sorted({min(s, s.translate(COMPLEMENT)[::-1]) for s in kmers})
    index = {s: i for i, s in enumerate(canon)}
    cmap = np.array([index[min(s, s.translate(COMPLEMENT)[::-1])] for s in kmers], dtype=np.int64)
    return cmap, len(canon)


LUT = np.full(256, 4, dtype=np.uint8)
for _i, _c in enumerate(b"ACGT"):
    LUT[_c] = _i
    LUT[_c | 0x20] = _i

# ---------------------------------------------------------------------------
# Inputs


def write_metagenome(path, n=10_000, seed=5):
    """n contigs with log-normal lengths (median 1.5 kbp, at least 200 bp),
    60-column lines; a fifth of them hold one to three runs of N."""
    rng = np.random.default_rng(seed)
    lengths = np.maximum(200, rng.lognormal(np.log(1500), 0.9, n).astype(np.int64))
    bases = np.frombuffer(b"ACGT", dtype=np.uint8)
    with open(path, "w") as f:
        for i, length in enumerate(lengths):
            seq = bases[rng.integers(0, 4, length)].copy()
            if rng.random() < 0.2:
                for _ in range(rng.integers(1, 4)):
                    a = int(rng.integers(0, length))
                    seq[a : a + int(rng.integers(1, 200))] = ord("N")
            text = seq.tobytes().decode("ascii")
            f.write(f">contig_{i} length={length}\n")
            f.writelines(text[j : j + 60] + "\n" for j in range(0, length, 60))
    return int(lengths.sum())


def write_genome(path, n=5_000_000, seed=9):
    """One chromosome of n random bases, 80-column lines."""
    rng = np.random.default_rng(seed)
    text = np.frombuffer(b"ACGT", dtype=np.uint8)[rng.integers(0, 4, n)].tobytes().decode("ascii")
    with open(path, "w") as f:
        f.write(">chromosome\n")
        f.writelines(text[j : j + 80] + "\n" for j in range(0, n, 80))
    return n


# ---------------------------------------------------------------------------
# Peers: a FASTA reader, then numba loops over the joined sequences

try:
    import numba
except ImportError:  # numba is optional
    numba = None


def readers():
    """(name, iterate(path) -> (id, sequence) pairs) of the installed readers."""
    from bench_fasta import peer_readers

    found = peer_readers()
    return [(name, found[name]) for name in ("pyfastx", "pysam", "dnaio") if name in found]


def joined(read, path):
    """ids, the sequences as one byte array, and each record's offsets."""
    ids, seqs = [], []
    for rid, seq in read(path):
        ids.append(rid)
        seqs.append(seq)
    lengths = np.fromiter(map(len, seqs), dtype=np.int64, count=len(seqs))
    offsets = np.zeros(len(seqs) + 1, dtype=np.int64)
    np.cumsum(lengths, out=offsets[1:])
    buf = np.frombuffer("".join(seqs).encode("ascii"), dtype=np.uint8)
    return ids, buf, offsets


if numba is not None:

    @numba.njit(nogil=True, cache=False)
    def _records(buf, offsets, lut, k, cmap, out, totals):
        mask = (1 << (2 * k)) - 1
        shift = 2 * (k - 1)
        for r in range(offsets.size - 1):
            fwd = 0
            rev = 0
            filled = 0
            row = out[r]
            for i in range(offsets[r], offsets[r + 1]):
                c = lut[buf[i]]
                if c > 3:
                    filled = 0
                    continue
                fwd = ((fwd << 2) | c) & mask
                rev = (rev >> 2) | ((3 - c) << shift)
                filled += 1
                if filled >= k:
                    row[cmap[min(fwd, rev)]] += 1
                    totals[r] += 1

    @numba.njit(nogil=True, cache=False)
    def _columns(buf, lo, hi, lut, k, cmap, cols):
        """cols[i]: the canonical column of the k-mer starting at lo + i, or -1."""
        mask = (1 << (2 * k)) - 1
        shift = 2 * (k - 1)
        fwd = 0
        rev = 0
        filled = 0
        for i in range(lo, hi):
            c = lut[buf[i]]
            if c > 3:
                filled = 0
                if i - lo - k + 1 >= 0:
                    cols[i - lo - k + 1] = -1
                continue
            fwd = ((fwd << 2) | c) & mask
            rev = (rev >> 2) | ((3 - c) << shift)
            filled += 1
            if i - lo - k + 1 >= 0:
                cols[i - lo - k + 1] = cmap[min(fwd, rev)] if filled >= k else -1

    @numba.njit(nogil=True, cache=False)
    def _windows_direct(cols, window, step, k, out, totals, first):
        """Every window counted on its own."""
        w = 0
        while w * step + window <= cols.size + k - 1:
            row = out[first + w]
            for i in range(w * step, w * step + window - k + 1):
                if cols[i] >= 0:
                    row[cols[i]] += 1
                    totals[first + w] += 1
            w += 1

    @numba.njit(nogil=True, cache=False)
    def _windows_blocks(cols, window, step, k, out, totals, first, blocks):
        """The k-mers starting in each step-sized block counted once; a
        window is the sum of its blocks less the k - 1 k-mers that run past
        its end (step must divide window)."""
        nblocks = (cols.size + step - 1) // step
        for b in range(nblocks):
            for i in range(b * step, min(cols.size, (b + 1) * step)):
                if cols[i] >= 0:
                    blocks[b, cols[i]] += 1
        per = window // step
        w = 0
        while w * step + window <= cols.size + k - 1:
            row = out[first + w]
            for b in range(w, w + per):
                row += blocks[b]
            for i in range(w * step + window - k + 1, min(cols.size, w * step + window)):
                if cols[i] >= 0:
                    row[cols[i]] -= 1
            totals[first + w] = row.sum()
            w += 1


def peer_records(read, path, k):
    """One row per record: the joined sequences, one numba call."""
    cmap, ncol = canonical_columns(k)
    ids, buf, offsets = joined(read, path)
    out = np.zeros((len(ids), ncol), dtype=np.uint64)
    totals = np.zeros(len(ids), dtype=np.int64)
    _records(buf, offsets, LUT, k, cmap, out, totals)
    return ids, [0] * len(ids), np.diff(offsets).tolist(), totals.tolist(), out


def peer_windows(read, path, k, window, step, blocks):
    """One row per whole window of every record."""
    cmap, ncol = canonical_columns(k)
    ids, buf, offsets = joined(read, path)
    counts = [max(0, (int(offsets[r + 1] - offsets[r]) - window) // step + 1) for r in range(len(ids))]
    out = np.zeros((sum(counts), ncol), dtype=np.uint64)
    totals = np.zeros(sum(counts), dtype=np.int64)
    row_ids, starts, first = [], [], 0
    for r, n in enumerate(counts):
        if n == 0:
            continue
        lo, hi = int(offsets[r]), int(offsets[r + 1])
        cols = np.empty(hi - lo - k + 1, dtype=np.int64)
        _columns(buf, lo, hi, LUT, k, cmap, cols)
        if blocks:
            scratch = np.zeros(((cols.size + step - 1) // step, ncol), dtype=np.uint64)
            _windows_blocks(cols, window, step, k, out, totals, first, scratch)
        else:
            _windows_direct(cols, window, step, k, out, totals, first)
        row_ids += [ids[r]] * n
        starts += range(0, n * step, step)
        first += n
    return row_ids, starts, [s + window for s in starts], totals.tolist(), out


def stacked_counts(path, k):
    """nuvek's own get_kmer_count_fasta, one row per record stacked with
    numpy, folded into canonical columns by two column gathers."""
    from nuvek.kmer import get_kmer_count_fasta

    cmap, ncol = canonical_columns(k)
    codes = np.arange(4**k)
    rc = np.zeros_like(codes)
    for j in range(k):
        rc |= (3 - ((codes >> (2 * j)) & 3)) << (2 * (k - 1 - j))
    first = np.flatnonzero(codes <= rc)
    second = rc[first]
    pal = first == second
    counts = get_kmer_count_fasta(path, k, False, skip_invalid=True)
    ids = list(counts)
    m = np.stack([np.asarray(r) for r in counts.values()])
    out = m[:, first] + np.where(pal, 0, m[:, second])
    return ids, out
