"""The best HMM hits of one genome's genes and their top-hit file."""

import os
from typing import final

__all__: list[str]

@final
class Hit:
    """One hit of a gene against an HMM family. Immutable and unhashable.

    Hits are ordered by quality: a larger bit score is better, and at equal
    bit scores a smaller e-value is better; ``max(hits)`` is the best hit.
    ``a > b`` is ``not (a <= b)`` and ``a >= b`` is ``not (a < b)``.
    """

    def __new__(cls, gene_id: str, hmm_id: str, e_val: float, bit_score: float) -> Hit:
        """Builds a hit; nothing is validated."""

    @property
    def gene_id(self) -> str:
        """The gene id."""

    @property
    def hmm_id(self) -> str:
        """The HMM family id."""

    @property
    def e_val(self) -> float:
        """The e-value."""

    @property
    def bit_score(self) -> float:
        """The bit score."""

    def hmm_str(self) -> str:
        """``family,e-value,bit score`` with numbers in shortest positional
        form, e.g. ``F1,0.0000000001,50``."""

    def __lt__(self, other: Hit) -> bool: ...
    def __le__(self, other: Hit) -> bool: ...
    def __gt__(self, other: Hit) -> bool: ...
    def __ge__(self, other: Hit) -> bool: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...

@final
class TopHitFile:
    """The table of the best hit per gene and family, bound to the path of
    its top-hit file. Building it does not touch the file system."""

    def __new__(cls, path: str | os.PathLike[str]) -> TopHitFile:
        """A new, empty table bound to ``path`` (a str, or an ``os.PathLike``
        whose ``__fspath__`` gives a str, kept as that str)."""

    @property
    def path(self) -> str:
        """The path given to the constructor."""

    def add_hit(self, gene_id: str, hmm_id: str, e_val: float, bit_score: float) -> None:
        """Keeps the hit when it is the first or a better one for its gene and family."""

    def contains_gene_id(self, gene_id: str) -> bool:
        """True when the table holds a hit for the gene."""

    def contains_gene_hmm(self, gene_id: str, hmm_id: str) -> bool:
        """True when the table holds a hit for the gene and family."""

    def get_top_hit(self, gene_id: str) -> Hit | None:
        """The gene's best hit, or None."""

    def get_hmm_hit(self, gene_id: str, hmm_id: str) -> Hit | None:
        """The hit kept for the gene and family, or None."""

    def write(self) -> None:
        """Writes the table to ``path`` (creating missing directories);
        raises ``PanicException`` on failure, leaving an existing regular file
        unchanged."""

    def read(self) -> None:
        """Merges the hits of the file at ``path`` into the table; raises
        ``PanicException`` for a file that cannot be read or parsed."""
