"""K-mer enumeration and counting.

Column ``i`` of every counts list is the k-mer ``get_possible_kmers(k)[i]``:
k-mers are numbered in base 4 with A=0, C=1, G=2, T=3, the first letter the
most significant digit.
"""

import os
from collections.abc import Sequence
from typing import final

__all__: list[str]

def get_kmer_count_fasta(
    path: str | os.PathLike[str], k: int, use_rev_complement: bool, *, skip_invalid: bool = False
) -> dict[str, KmerCountResult]:
    """Counts the k-mers of every record of the FASTA file at ``path`` (a
    str or an ``os.PathLike`` whose ``__fspath__`` gives a str).

    Returns one result per record id, in the order of the records in the
    file; a later record with the same id replaces an earlier one.
    ``skip_invalid`` works as for ``get_kmer_count_seq``.

    Raises ``PanicException`` (a ``BaseException``) when the file cannot be
    opened or read ("Failed to read fasta from ..."), or, without
    ``skip_invalid``, when a record holds a letter other than upper-case
    A, C, G, T in a window.
    """

def get_kmer_profile_fasta(
    path: str | os.PathLike[str],
    k: int,
    *,
    canonical: bool = True,
    window: int = 0,
    step: int = 0,
    min_length: int = 0,
    skip_invalid: bool = False,
) -> KmerProfile:
    """The k-mer profile of the FASTA file at ``path``: one row of counts per
    record (``window=0``) or per window of ``window`` bases starting at 0,
    ``step``, 2 * ``step``, ... (``step=0``: the window) that lies inside its
    record, in file order. Records shorter than ``min_length`` give no row.

    Columns: with ``canonical``, every canonical k-mer (the smaller, in
    column order, of a k-mer and its reverse complement) in ascending order,
    both strands of a window counting once in it; without, the 4**k k-mers
    of ``get_possible_kmers(k)``, forward strand only.

    ``k`` is 1..12 (else ``ValueError``); ``window`` is 0 or at least ``k``
    and ``step`` needs a window (else ``ValueError``). The file, its
    failures and ``skip_invalid`` are those of ``get_kmer_count_fasta``;
    without ``skip_invalid`` a letter other than A, C, G, T inside a row's
    range raises ``PanicException``. A matrix that cannot fit in memory
    raises ``MemoryError``.
    """

def get_kmer_count_seq(seq: str, k: int, use_rev_complement: bool, *, skip_invalid: bool = False) -> KmerCountResult:
    """Counts every window of ``k`` letters of ``seq``; with
    ``use_rev_complement`` the reverse complement's windows are added too.

    ``k`` is an int from 0 to 255; ``use_rev_complement`` and
    ``skip_invalid`` must be exactly True or False. A window holding any
    character other than upper-case A, C, G, T raises ``PanicException``;
    with ``skip_invalid=True``, lower-case a, c, g, t count as A, C, G, T,
    a window holding any other character is skipped on both strands and
    never fails, and ``total`` counts the windows counted.
    """

def get_kmer_to_idx(k: int) -> dict[str, int]:
    """Maps each of the 4**k k-mers to its column index."""

def get_possible_kmers(k: int) -> list[str]:
    """All 4**k k-mers in column order (ascending: AA..A first, TT..T last)."""

@final
class KmerCountResult:
    """The k-mer counts of one sequence. Immutable.

    Supports the buffer protocol: ``memoryview(result)`` and
    ``numpy.asarray(result)`` see the counts without a copy, read-only, as
    unsigned 64-bit integers (format ``"Q"``), one per column.
    """

    def __new__(cls, k: int, total: int, counts: Sequence[int]) -> KmerCountResult:
        """Builds a result; nothing is validated beyond the types.

        ``k`` is 0..255, ``total`` and every count 0..2**64-1; ``counts`` is
        any sequence but a str (``ValueError``), e.g. a list, tuple or range.
        """

    @property
    def k(self) -> int:
        """The k-mer length."""

    @property
    def total(self) -> int:
        """The number of windows counted."""

    @property
    def counts(self) -> list[int]:
        """One count per column index (a new list on every read)."""

    def __buffer__(self, flags: int, /) -> memoryview:
        """The counts as a read-only buffer (the method itself exists from
        Python 3.12; ``memoryview()`` and numpy use the protocol on every
        version)."""

@final
class KmerProfile:
    """Rows of k-mer counts, made by ``get_kmer_profile_fasta``. Immutable,
    not picklable.

    Supports the buffer protocol: ``numpy.asarray(profile)`` is the
    (rows, columns) matrix of unsigned 64-bit counts (format ``"Q"``,
    C-contiguous, read-only) without a copy. Every list member is a new
    list on every read.
    """

    @property
    def k(self) -> int:
        """The k-mer length."""

    @property
    def canonical(self) -> bool:
        """Whether a column holds a k-mer and its reverse complement."""

    @property
    def ids(self) -> list[str]:
        """The record id of each row."""

    @property
    def starts(self) -> list[int]:
        """Where each row's range starts in its record (0-based)."""

    @property
    def ends(self) -> list[int]:
        """Where each row's range ends in its record (exclusive)."""

    @property
    def totals(self) -> list[int]:
        """The k-mers counted in each row (its counts' sum)."""

    @property
    def columns(self) -> list[str]:
        """The k-mer of each column."""

    def __len__(self) -> int:
        """The number of rows."""

    def __buffer__(self, flags: int, /) -> memoryview:
        """The counts as a read-only buffer of shape (rows, columns)."""
