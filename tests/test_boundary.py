"""Argument binding, conversions and exceptions shared by every callable."""
import pytest

from nuvek.fasta import DnaSequence
from nuvek.kmer import KmerCountResult, get_kmer_count_fasta, get_kmer_count_seq, get_possible_kmers
from nuvek.util.accession import canonical_gid


def raises(exc_type, message, fn, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc_type
    assert str(info.value) == message
    return info.value


@pytest.mark.parametrize(
    "fn, args, kwargs, message",
    [
        (canonical_gid, (), {}, "canonical_gid() missing 1 required positional argument: 'gid'"),
        (canonical_gid, ("a", "b"), {}, "canonical_gid() takes 1 positional arguments but 2 were given"),
        (get_possible_kmers, (3, 4), {}, "get_possible_kmers() takes 1 positional arguments but 2 were given"),
        (get_possible_kmers, (), {"k": 3, "x": 1}, "get_possible_kmers() got an unexpected keyword argument 'x'"),
        (get_possible_kmers, (3,), {"k": 3}, "get_possible_kmers() got multiple values for argument 'k'"),
        (
            get_kmer_count_seq,
            ("ACGT",),
            {},
            "get_kmer_count_seq() missing 2 required positional arguments: 'k' and 'use_rev_complement'",
        ),
        (
            get_kmer_count_seq,
            (),
            {"k": 1},
            "get_kmer_count_seq() missing 2 required positional arguments: 'seq' and 'use_rev_complement'",
        ),
        (
            KmerCountResult,
            (),
            {},
            "KmerCountResult.__new__() missing 3 required positional arguments: 'k', 'total', and 'counts'",
        ),
        (KmerCountResult, (1, 2, [], 4), {}, "KmerCountResult.__new__() takes 3 positional arguments but 4 were given"),
        (DnaSequence, (), {"sequence": "A"}, "DnaSequence.__new__() got an unexpected keyword argument 'sequence'"),
        (DnaSequence, ("A",), {"seq": "A"}, "DnaSequence.__new__() got multiple values for argument 'seq'"),
    ],
)
def test_binding_errors(fn, args, kwargs, message):
    raises(TypeError, message, fn, *args, **kwargs)


def test_keywords_in_any_order():
    result = get_kmer_count_seq(use_rev_complement=False, k=2, seq="ACGT")
    assert result.total == 3
    assert KmerCountResult(counts=[1], total=2, k=3).k == 3


@pytest.mark.parametrize(
    "fn, args, exc_type, message",
    [
        (canonical_gid, (b"GCF_1",), TypeError, "argument 'gid': 'bytes' object cannot be converted to 'PyString'"),
        (DnaSequence, (None,), TypeError, "argument 'seq': 'NoneType' object cannot be converted to 'PyString'"),
        (
            get_kmer_count_seq,
            (b"ACGT", 2, False),
            TypeError,
            "argument 'seq': 'bytes' object cannot be converted to 'PyString'",
        ),
        (
            get_kmer_count_seq,
            ("ACGT", 2, 1),
            TypeError,
            "argument 'use_rev_complement': 'int' object cannot be converted to 'PyBool'",
        ),
        (
            get_kmer_count_fasta,
            (__file__, 2, None),
            TypeError,
            "argument 'use_rev_complement': 'NoneType' object cannot be converted to 'PyBool'",
        ),
        (get_possible_kmers, (256,), OverflowError, "out of range integral type conversion attempted"),
        (get_possible_kmers, (-1,), OverflowError, "out of range integral type conversion attempted"),
        (get_possible_kmers, (2**70,), OverflowError, "Python int too large to convert to C long"),
        (get_possible_kmers, (3.0,), TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
        (get_possible_kmers, ("3",), TypeError, "argument 'k': 'str' object cannot be interpreted as an integer"),
        (KmerCountResult, (1, -1, []), OverflowError, "can't convert negative int to unsigned"),
        (KmerCountResult, (1, 2**64, []), OverflowError, "int too big to convert"),
        (KmerCountResult, (1, 0, "12"), ValueError, "Can't extract `str` to `Vec`"),
        (KmerCountResult, (1, 0, {}), TypeError, "argument 'counts': 'dict' object cannot be converted to 'Sequence'"),
        (KmerCountResult, (1, 0, {1}), TypeError, "argument 'counts': 'set' object cannot be converted to 'Sequence'"),
        (
            KmerCountResult,
            (1, 0, (x for x in [1])),
            TypeError,
            "argument 'counts': 'generator' object cannot be converted to 'Sequence'",
        ),
        (KmerCountResult, (1, 0, [1, -1]), OverflowError, "can't convert negative int to unsigned"),
        (KmerCountResult, (1, 0, [1.5]), TypeError, "argument 'counts': 'float' object cannot be interpreted as an integer"),
    ],
)
def test_conversion_errors(fn, args, exc_type, message):
    raises(exc_type, message, fn, *args)


def test_first_failing_argument_is_reported():
    raises(TypeError, "argument 'seq': 'int' object cannot be converted to 'PyString'", get_kmer_count_seq, 1, 999, 2)


@pytest.mark.parametrize(
    "value, expected",
    [(True, 1), (False, 0), (255, 255), (0, 0)],
)
def test_k_accepts_index_values(value, expected):
    assert KmerCountResult(value, 0, []).k == expected


def test_index_protocol_and_sequences_are_accepted():
    class Index:
        def __index__(self):
            return 7

    r = KmerCountResult(Index(), Index(), (1, Index()))
    assert (r.k, r.total, r.counts) == (7, 7, [1, 7])
    assert KmerCountResult(1, 0, range(3)).counts == [0, 1, 2]
    assert KmerCountResult(1, 0, b"\x01\x02").counts == [1, 2]
    assert KmerCountResult(1, 0, [2**64 - 1]).counts == [2**64 - 1]


def test_str_subclass_is_text_and_lone_surrogate_is_refused():
    class Name(str):
        pass

    assert canonical_gid(Name("GCA_1.2")) == "G1"
    with pytest.raises(UnicodeEncodeError):
        canonical_gid("\ud800")


def test_type_error_cause_is_kept():
    class Bad:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as exc:
                raise TypeError("no index") from exc

    exc = raises(TypeError, "argument 'k': no index", get_possible_kmers, Bad())
    assert isinstance(exc.__cause__, KeyError)


def test_non_type_errors_pass_unchanged():
    class Bad:
        def __index__(self):
            raise ValueError("custom")

    raises(ValueError, "custom", get_possible_kmers, Bad())

    class BadType(TypeError):
        pass

    class Bad2:
        def __index__(self):
            raise BadType("subclass")

    raises(BadType, "subclass", get_possible_kmers, Bad2())


def test_panic_is_not_an_exception(panic_type):
    try:
        get_kmer_count_seq("ACGN", 2, False)
    except Exception:  # noqa: BLE001
        pytest.fail("an internal failure must not be caught as Exception")
    except BaseException as exc:  # noqa: BLE001
        assert type(exc) is panic_type
        assert str(exc) == "called `Option::unwrap()` on a `None` value"
        assert exc.args == ("called `Option::unwrap()` on a `None` value",)


def test_panic_writes_a_diagnostic_to_stderr():
    from conftest import run_python

    proc = run_python(
        """
        from nuvek.kmer import get_kmer_count_seq
        try:
            get_kmer_count_seq("N", 1, False)
        except BaseException as exc:
            print(type(exc).__name__)
        """
    )
    assert proc.stdout.strip() == "PanicException"
    assert "called `Option::unwrap()` on a `None` value" in proc.stderr
    assert "src/" in proc.stderr


def test_methods_without_arguments_refuse_arguments():
    with pytest.raises(TypeError):
        DnaSequence("A").rev_complement(1)


def test_unbound_method_on_wrong_type():
    with pytest.raises(TypeError):
        DnaSequence.rev_complement(5)


@pytest.mark.parametrize(
    "reenter, message",
    [
        (lambda t: t.contains_gene_id("g"), "Already mutably borrowed"),
        (lambda t: t.path, "Already mutably borrowed"),
        (lambda t: t.add_hit("g", "F", 1.0, 2.0), "Already borrowed"),
        (lambda t: t.read(), "Already borrowed"),
    ],
)
def test_reentrant_use_during_exclusive_borrow_is_refused(reenter, message):
    import nuvek  # noqa: F401
    from nuvek.hmmer.tophit import TopHitFile

    table = TopHitFile("unused.tsv")
    seen = []

    class CallsBack:
        def __float__(self):
            try:
                reenter(table)
            except RuntimeError as exc:
                seen.append(str(exc))
                raise
            return 1.0

    with pytest.raises(RuntimeError) as info:
        table.add_hit("g", "F", CallsBack(), 2.0)
    assert str(info.value) == message and seen == [message]
    # The borrow is released: the table is usable and unchanged.
    assert not table.contains_gene_id("g")
    table.add_hit("g", "F", 1.0, 2.0)
    assert table.get_hmm_hit("g", "F").bit_score == 2.0


@pytest.mark.parametrize("fn, first", [(get_kmer_count_seq, "ACGT"), (get_kmer_count_fasta, __file__)])
def test_skip_invalid_is_keyword_only(fn, first):
    name = fn.__name__
    raises(TypeError, f"{name}() takes 3 positional arguments but 4 were given", fn, first, 2, False, False)
    raises(TypeError, f"{name}() missing 1 required positional argument: 'use_rev_complement'", fn, first, 2,
           skip_invalid=True)
    raises(TypeError, f"{name}() got an unexpected keyword argument 'skip'", fn, first, 2, False, skip=True)


@pytest.mark.parametrize("value", [1, 0, None, "yes", 1.0])
@pytest.mark.parametrize("fn, first", [(get_kmer_count_seq, "ACGT"), (get_kmer_count_fasta, __file__)])
def test_skip_invalid_is_a_strict_bool(fn, first, value):
    raises(TypeError, f"argument 'skip_invalid': '{type(value).__name__}' object cannot be converted to 'PyBool'",
           fn, first, 2, False, skip_invalid=value)


def test_skip_invalid_is_converted_after_the_positional_arguments():
    raises(TypeError, "argument 'k': 'str' object cannot be interpreted as an integer", get_kmer_count_seq,
           "ACGT", "2", False, skip_invalid=1)


@pytest.mark.parametrize("skip", [False, True])
def test_skip_invalid_accepted_by_keyword(skip, tmp_path):
    assert get_kmer_count_seq("ACGT", 2, False, skip_invalid=skip).counts == get_kmer_count_seq("ACGT", 2, False).counts
    fasta = tmp_path / "a.fa"
    fasta.write_text(">r\nACGT\n")
    result = get_kmer_count_fasta(skip_invalid=skip, use_rev_complement=True, k=2, path=str(fasta))
    assert result["r"].total == 6


class StrPath:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


class BytesPath(StrPath):
    def __fspath__(self):
        return self.path.encode()


def path_forms(path):
    import pathlib

    class Name(str):
        pass

    return [path, pathlib.Path(path), pathlib.PurePosixPath(path), StrPath(path), Name(path)]


@pytest.mark.parametrize("form", range(5))
def test_paths_take_str_and_path_like(tmp_path, form):
    from nuvek.hmmer.tophit import TopHitFile

    fasta = tmp_path / "a.fa"
    fasta.write_text(">r\nACGT\n")
    assert get_kmer_count_fasta(path_forms(str(fasta))[form], 2, False)["r"].total == 3
    target = str(tmp_path / "sub" / "t.tsv")
    table = TopHitFile(path_forms(target)[form])
    assert type(table.path) is str and table.path == target
    table.add_hit("g", "F", 1.0, 2.0)
    table.write()
    again = TopHitFile(path=path_forms(target)[form])
    again.read()
    assert again.contains_gene_hmm("g", "F")


@pytest.mark.parametrize(
    "value, type_name",
    [(b"a.fa", "bytes"), (BytesPath("a.fa"), "BytesPath"), (bytearray(b"a"), "bytearray"), (3, "int"),
     (None, "NoneType")],
)
def test_paths_refuse_everything_else(value, type_name):
    from nuvek.hmmer.tophit import TopHitFile

    message = f"argument 'path': '{type_name}' object cannot be converted to 'PyString'"
    raises(TypeError, message, get_kmer_count_fasta, value, 2, False)
    raises(TypeError, message, TopHitFile, value)


def test_failing_fspath_propagates():
    class Broken:
        def __fspath__(self):
            raise KeyError("no path")

    with pytest.raises(KeyError):
        get_kmer_count_fasta(Broken(), 2, False)


def counts_sequence(length):
    """A Sequence whose __len__ is given; raising when it is an exception."""
    import collections.abc

    class Counts(collections.abc.Sequence):
        def __len__(self):
            if isinstance(length, BaseException):
                raise length
            return length

        def __getitem__(self, i):
            if i >= 2:
                raise IndexError(i)
            return i

    return Counts()


@pytest.mark.parametrize(
    "length, exc_type, message",
    [
        (KeyError("len failed"), KeyError, "'len failed'"),
        (ZeroDivisionError("len failed"), ZeroDivisionError, "len failed"),
        (TypeError("len failed"), TypeError, "argument 'counts': len failed"),
        (2**70, OverflowError, "cannot fit 'int' into an index-sized integer"),
        (-1, ValueError, "__len__() should return >= 0"),
    ],
)
def test_failing_len_of_counts_propagates(length, exc_type, message):
    raises(exc_type, message, KmerCountResult, 1, 0, counts_sequence(length))


def test_honest_sequence_is_read_by_iteration():
    assert KmerCountResult(1, 0, counts_sequence(2)).counts == [0, 1]


class Stop(Exception):
    pass


@pytest.mark.parametrize("make", [lambda n: range(n), lambda n: [7] * n, lambda n: tuple(range(n))],
                         ids=["range", "list", "tuple"])
def test_long_conversions_run_signal_handlers(make):
    import signal
    import sys

    counts = make(10_000_000)
    outside = sys.getrefcount(counts)
    inside = []

    def handler(signum, frame):
        # While the constructor runs, its arguments hold one more reference
        # to counts: the handler must run during the conversion, not after.
        inside.append(sys.getrefcount(counts))
        raise Stop

    old = signal.signal(signal.SIGALRM, handler)
    try:
        with pytest.raises(Stop):
            # armed inside the block: on a loaded machine (the sanitizer
            # build) 10 ms could pass before the block was entered
            signal.setitimer(signal.ITIMER_REAL, 0.01)
            KmerCountResult(1, 0, counts)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert inside and inside[0] > outside


def callables():
    """Every callable with parameters: valid arguments by name, and for each
    parameter a value its conversion refuses with a TypeError."""
    from nuvek.hmmer.tophit import Hit, TopHitFile

    table = TopHitFile("unused.tsv")
    hit = {"gene_id": "g", "hmm_id": "F", "e_val": 1.0, "bit_score": 2.0}
    return [
        (canonical_gid, {"gid": "G1"}),
        (DnaSequence, {"seq": "ACGT"}),
        (get_possible_kmers, {"k": 2}),
        (get_kmer_count_seq, {"seq": "ACGT", "k": 2, "use_rev_complement": False}),
        (get_kmer_count_fasta, {"path": __file__ + ".missing", "k": 2, "use_rev_complement": False}),
        (KmerCountResult, {"k": 1, "total": 0, "counts": []}),
        (Hit, hit),
        (TopHitFile, {"path": "t.tsv"}),
        (table.add_hit, hit),
        (table.contains_gene_id, {"gene_id": "g"}),
        (table.contains_gene_hmm, {"gene_id": "g", "hmm_id": "F"}),
        (table.get_top_hit, {"gene_id": "g"}),
        (table.get_hmm_hit, {"gene_id": "g", "hmm_id": "F"}),
    ]


BAD = {str: object(), int: "1", float: "x", bool: 1, list: {1}}


@pytest.mark.parametrize("index", range(13))
@pytest.mark.parametrize("by_keyword", [False, True])
def test_each_parameter_is_converted_under_its_own_name(index, by_keyword):
    fn, good = callables()[index]
    for name, value in good.items():
        bad = dict(good, **{name: BAD[type(value)]})
        with pytest.raises(TypeError) as info:
            if by_keyword:
                fn(**bad)
            else:
                fn(*bad.values())
        assert str(info.value).startswith(f"argument '{name}': "), (fn, name, str(info.value))
