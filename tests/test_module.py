"""The module tree, import forms and class properties."""
import sys

import pytest

import nuvek
import nuvek.fasta as fasta_mod
import nuvek.kmer as kmer_mod
from conftest import run_python

SUBMODULES = ["nuvek.util.accession", "nuvek.hmmer.tophit", "nuvek.kmer", "nuvek.fasta"]


def test_top_module_holds_the_submodules_by_full_name():
    assert nuvek.__doc__ == ""
    assert nuvek.__all__ == SUBMODULES
    for name in SUBMODULES:
        assert sys.modules[name] is getattr(nuvek, name)
        assert sys.modules[name].__name__ == name
        assert sys.modules[name].__doc__ is None
    for missing in ["kmer", "fasta", "util", "hmmer"]:
        assert not hasattr(nuvek, missing)
    assert "nuvek.util" not in sys.modules and "nuvek.hmmer" not in sys.modules


def test_submodule_contents_in_registration_order():
    assert kmer_mod.__all__[:4] == [
        "get_kmer_count_fasta",
        "get_kmer_count_seq",
        "get_kmer_to_idx",
        "get_possible_kmers",
    ]
    assert fasta_mod.__all__ == ["DnaSequence"]
    assert sys.modules["nuvek.util.accession"].__all__ == ["canonical_gid"]


@pytest.mark.parametrize(
    "module, name",
    [
        ("nuvek.util.accession", "canonical_gid"),
        ("nuvek.kmer", "get_kmer_count_seq"),
        ("nuvek.kmer", "get_possible_kmers"),
    ],
)
def test_functions_are_bound_to_their_submodule(module, name):
    fn = getattr(sys.modules[module], name)
    assert fn.__module__ == module
    assert fn.__self__ is sys.modules[module]
    assert fn.__name__ == name
    assert fn.__doc__ is None


@pytest.mark.parametrize("cls", [fasta_mod.DnaSequence, kmer_mod.KmerCountResult])
def test_class_properties(cls):
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__
    assert repr(cls) == f"<class 'builtins.{cls.__name__}'>"
    assert cls.__doc__ is None
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize(
    "instance",
    [lambda: fasta_mod.DnaSequence("ACGT"), lambda: kmer_mod.KmerCountResult(1, 0, [])],
)
def test_instances_take_no_new_attributes(instance):
    obj = instance()
    with pytest.raises(AttributeError):
        obj.extra = 1
    assert not hasattr(obj, "__dict__")
    import weakref

    with pytest.raises(TypeError):
        weakref.ref(obj)


@pytest.mark.parametrize(
    "statement, ok",
    [
        ("from nuvek.kmer import get_kmer_count_seq", True),
        ("import nuvek.kmer", True),
        ("import nuvek.kmer as km", True),
        ("import nuvek.fasta as f; f.DnaSequence", True),
        ("from nuvek.util.accession import canonical_gid", False),
        ("from nuvek.hmmer.tophit import Hit", False),
    ],
)
def test_first_import_forms(statement, ok):
    proc = run_python(statement, check=False)
    assert (proc.returncode == 0) == ok, proc.stderr
    if not ok:
        assert "ModuleNotFoundError" in proc.stderr


def test_dotted_forms_after_import_and_aliased_intermediate():
    run_python(
        """
        import nuvek
        from nuvek.util.accession import canonical_gid
        assert canonical_gid("GCF_1.1") == "G1"
        try:
            import nuvek.util.accession as acc
        except ImportError:
            pass
        else:
            raise AssertionError("aliased import through a missing intermediate module")
        """
    )


def test_second_initialisation_is_refused():
    run_python(
        """
        import importlib, sys
        import nuvek
        kmer = sys.modules["nuvek.kmer"]
        del sys.modules["nuvek"]
        try:
            importlib.import_module("nuvek")
        except ImportError as exc:
            assert "once" in str(exc)
        else:
            raise AssertionError("second initialisation succeeded")
        assert sys.modules["nuvek.kmer"] is kmer
        """
    )


def test_panic_exception_is_a_base_exception(panic_type):
    assert issubclass(panic_type, BaseException)
    assert not issubclass(panic_type, Exception)
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__doc__
    for module in SUBMODULES:
        assert "PanicException" not in vars(sys.modules[module])
    assert "PanicException" not in vars(nuvek)
