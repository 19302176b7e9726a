"""The type stubs name exactly what the runtime module offers, with the same
parameters, so that they cannot drift from it."""
import ast
import os
import re
import sys
import tempfile
from pathlib import Path

import pytest

import nuvek

STUBS = Path(__file__).resolve().parent.parent / "nuvek-stubs"
MODULES = {
    "nuvek.util.accession": STUBS / "util" / "accession.pyi",
    "nuvek.hmmer.tophit": STUBS / "hmmer" / "tophit.pyi",
    "nuvek.kmer": STUBS / "kmer.pyi",
    "nuvek.fasta": STUBS / "fasta.pyi",
}
KEYWORD_ONLY = {}  # function name -> keyword-only parameters in its stub
DUNDER_COMPARISONS = {"__lt__", "__le__", "__gt__", "__ge__", "__eq__", "__ne__"}


def stub_members(path):
    """{name: ('function', params) | ('class', {member: kind/params})} of a stub."""
    tree = ast.parse(path.read_text())
    out = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            out[node.name] = ("function", [a.arg for a in node.args.args])
            KEYWORD_ONLY[node.name] = [a.arg for a in node.args.kwonlyargs]
        elif isinstance(node, ast.ClassDef):
            members = {}
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    is_property = any(isinstance(d, ast.Name) and d.id == "property" for d in item.decorator_list)
                    members[item.name] = "property" if is_property else [a.arg for a in item.args.args[1:]]
            out[node.name] = ("class", members)
    return out


def runtime_params(fn, display):
    """Parameter names of a runtime callable, read from its own message for a
    call without arguments."""
    try:
        fn()
    except TypeError as exc:
        message = str(exc)
    else:
        return []
    if "takes no arguments" in message or "missing" not in message:
        return []
    assert message.startswith(display + "() missing"), message
    return re.findall(r"'([^']+)'", message.split(":", 1)[1])


def instances():
    from nuvek.fasta import DnaSequence
    from nuvek.hmmer.tophit import Hit, TopHitFile
    from nuvek.kmer import KmerCountResult, get_kmer_profile_fasta

    with tempfile.TemporaryDirectory() as tmp:
        fasta = os.path.join(tmp, "p.fa")
        with open(fasta, "w") as f:
            f.write(">a\nACGT\n")
        profile = get_kmer_profile_fasta(fasta, 2)
    return {
        "KmerProfile": profile,
        "DnaSequence": DnaSequence("A"),
        "KmerCountResult": KmerCountResult(1, 0, []),
        "Hit": Hit("g", "f", 1.0, 2.0),
        "TopHitFile": TopHitFile("unused/never-written.tsv"),
    }


def check_method(bound, display, params):
    if params:
        assert runtime_params(bound, display) == params, display
    else:
        with pytest.raises(TypeError, match="takes no arguments"):
            bound(1)


def check_keyword_only(fn, display, positional, names):
    """Each keyword-only parameter is known to the runtime, can be left out
    and cannot be given by position."""
    for name in names:
        with pytest.raises(TypeError) as info:
            fn(**{name: False})
        assert str(info.value).startswith(display + "() missing"), str(info.value)
    with pytest.raises(TypeError, match="unexpected keyword argument 'no_such_parameter'"):
        fn(no_such_parameter=False)
    if names:
        with pytest.raises(TypeError, match=f"takes {positional} positional arguments but {positional + 1} were"):
            fn(*[None] * (positional + 1))


@pytest.mark.parametrize("module_name", sorted(MODULES))
def test_stub_matches_runtime(module_name):
    module = sys.modules[module_name]
    members = stub_members(MODULES[module_name])
    assert sorted(members) == sorted(module.__all__)
    for name, (kind, detail) in members.items():
        obj = getattr(module, name)
        if kind == "function":
            assert callable(obj) and not isinstance(obj, type), name
            assert detail == runtime_params(obj, name), name
            check_keyword_only(obj, name, len(detail), KEYWORD_ONLY[name])
            continue
        assert isinstance(obj, type), name
        runtime = {m for m in vars(obj) if not m.startswith("__")}
        assert runtime == {m for m in detail if not m.startswith("__")}, name
        instance = instances()[name]
        for member, expected in detail.items():
            if member == "__new__":
                assert runtime_params(obj, f"{name}.__new__") == expected, name
            elif member in DUNDER_COMPARISONS:
                assert member in vars(obj), (name, member)
            elif member == "__buffer__":
                assert memoryview(instance).readonly, name
                assert (member in vars(obj)) == (sys.version_info >= (3, 12)), name
            elif member == "__len__":
                assert type(vars(obj)[member]).__name__ == "wrapper_descriptor" and len(instance) >= 0, name
            elif expected == "property":
                assert type(vars(obj)[member]).__name__ == "getset_descriptor", (name, member)
            else:
                assert type(vars(obj)[member]).__name__ == "method_descriptor", (name, member)
                check_method(getattr(instance, member), f"{name}.{member}", expected)


def test_top_module_stub():
    members = stub_members(STUBS / "__init__.pyi")
    assert members == {}
    assert hasattr(nuvek, "__all__")
