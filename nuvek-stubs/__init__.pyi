"""Fast building blocks for genome analysis.

``nuvek`` is one extension module. Importing it registers four submodules
under their dotted names: ``nuvek.util.accession``, ``nuvek.hmmer.tophit``,
``nuvek.kmer`` and ``nuvek.fasta``. Import ``nuvek`` before importing from
the two submodules with three-part names.
"""

__all__: list[str]
