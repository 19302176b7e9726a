"""DNA sequences."""

from typing import final

__all__: list[str]

@final
class DnaSequence:
    """One DNA sequence held as text, with its reverse complement.

    Any text is accepted and stored unchanged. Instances are immutable;
    equality is identity.
    """

    def __new__(cls, seq: str) -> DnaSequence:
        """Stores a copy of ``seq``.

        Raises ``TypeError`` ("argument 'seq': ...") when ``seq`` is not a str.
        """

    @property
    def seq(self) -> str:
        """The stored text (a new str on every read)."""

    def rev_complement(self) -> DnaSequence:
        """A new sequence: the characters in reverse order with A<->T and
        C<->G swapped; every other character (lower case, N, non-ASCII)
        becomes one "N"."""
