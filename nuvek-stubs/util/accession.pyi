"""Genome accession ids."""

__all__: list[str]

def canonical_gid(gid: str) -> str:
    """The canonical form of a genome id.

    Ids starting with "U" are returned unchanged. Otherwise "RS_" and "GB_"
    are removed, "GCA_" and "GCF_" become "G", and the first "." and all
    after it are dropped: ``canonical_gid("RS_GCF_000005845.2") == "G000005845"``.
    """
