"""Argument binding, value conversion, error labelling and access rules, through PyFlat."""

import array
import collections
import fractions
import decimal
import math
import sys
import threading

import pytest

from tessra import PyFlat

from reference import (
    U64_MAX,
    as_double,
    as_unsigned,
    error_of,
    exact,
    expected_search,
    is_sequence,
    run_isolated,
)

STR_REFUSAL = "Can't extract `str` to `Vec`"


def raises_exactly(exc_type, message, fn, *args, **kwargs):
    """Call fn, require an exception of exactly exc_type with exactly message."""
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc_type, f"{type(info.value).__name__}: {info.value}"
    assert str(info.value) == message
    return info.value


def filled(dim=3, vectors=([0, 0, 0], [1, 0, 0], [5, 5, 5])):
    idx = PyFlat(dim)
    for v in vectors:
        idx.insert(v)
    return idx


def contents(idx, dim=3):
    """Full ranking for a probe query (None for an empty index)."""
    try:
        return exact(idx.search([0.5] * dim, 10**5))
    except ValueError:
        return None


# ================================================================ binding

ENTRY_POINTS = {
    # name: (callable factory, display name)
    "new": (lambda: PyFlat, "PyFlat.__new__()"),
    "insert": (lambda: PyFlat(3).insert, "PyFlat.insert()"),
    "search": (lambda: filled().search, "PyFlat.search()"),
    "create": (lambda: PyFlat(3).create, "PyFlat.create()"),
}

REQUIRED = {"new": "dim", "insert": "vector", "search": "query", "create": "vectors"}


@pytest.mark.parametrize("name", ENTRY_POINTS)
def test_missing_required_argument(name):
    factory, display = ENTRY_POINTS[name]
    raises_exactly(
        TypeError,
        f"{display} missing 1 required positional argument: '{REQUIRED[name]}'",
        factory(),
    )


@pytest.mark.parametrize(
    "name, optional",
    [("new", {"metric": None}), ("new", {"metric": "cosine"}), ("search", {"k": 2}), ("search", {"k": None})],
)
def test_missing_required_with_only_optional_given(name, optional):
    factory, display = ENTRY_POINTS[name]
    raises_exactly(
        TypeError,
        f"{display} missing 1 required positional argument: '{REQUIRED[name]}'",
        factory(),
        **optional,
    )


@pytest.mark.parametrize(
    "name, args, message",
    [
        ("insert", ([1, 2, 3], [4, 5, 6]), "PyFlat.insert() takes 1 positional arguments but 2 were given"),
        ("insert", (1, 2, 3), "PyFlat.insert() takes 1 positional arguments but 3 were given"),
        ("create", ([[1, 2, 3]], None), "PyFlat.create() takes 1 positional arguments but 2 were given"),
        ("search", ([0, 0, 0], 1, 2), "PyFlat.search() takes from 1 to 2 positional arguments but 3 were given"),
        ("search", (1, 2, 3, 4), "PyFlat.search() takes from 1 to 2 positional arguments but 4 were given"),
        ("new", (3, None, 1), "PyFlat.__new__() takes from 1 to 2 positional arguments but 3 were given"),
        ("new", (3, None, None, None, None), "PyFlat.__new__() takes from 1 to 2 positional arguments but 5 were given"),
    ],
)
def test_too_many_positional(name, args, message):
    factory, _ = ENTRY_POINTS[name]
    raises_exactly(TypeError, message, factory(), *args)


def test_too_many_positional_comes_before_keyword_and_conversion_errors():
    idx = filled()
    raises_exactly(
        TypeError,
        "PyFlat.search() takes from 1 to 2 positional arguments but 3 were given",
        idx.search, "not a vector", -1, 2.5, bogus=1,
    )
    raises_exactly(
        TypeError,
        "PyFlat.__new__() takes from 1 to 2 positional arguments but 3 were given",
        PyFlat, -1, 5, 6, bogus=1,
    )
    raises_exactly(
        TypeError,
        "PyFlat.insert() takes 1 positional arguments but 2 were given",
        idx.insert, None, None, vector=None,
    )


@pytest.mark.parametrize(
    "name, args, kwargs, message",
    [
        ("insert", ([1, 2, 3],), {"vector": [1, 2, 3]}, "PyFlat.insert() got multiple values for argument 'vector'"),
        ("search", ([0, 0, 0],), {"query": [0, 0, 0]}, "PyFlat.search() got multiple values for argument 'query'"),
        ("search", ([0, 0, 0], 2), {"k": 2}, "PyFlat.search() got multiple values for argument 'k'"),
        ("create", ([[1, 2, 3]],), {"vectors": [[1, 2, 3]]}, "PyFlat.create() got multiple values for argument 'vectors'"),
        ("new", (3,), {"dim": 3}, "PyFlat.__new__() got multiple values for argument 'dim'"),
        ("new", (3, None), {"metric": None}, "PyFlat.__new__() got multiple values for argument 'metric'"),
    ],
)
def test_multiple_values(name, args, kwargs, message):
    factory, _ = ENTRY_POINTS[name]
    raises_exactly(TypeError, message, factory(), *args, **kwargs)


@pytest.mark.parametrize(
    "name, args, kwargs, keyword",
    [
        ("insert", (), {"vec": [1, 2, 3]}, "vec"),
        ("insert", ([1, 2, 3],), {"vec": [1, 2, 3]}, "vec"),
        ("insert", (), {"Vector": [1, 2, 3]}, "Vector"),
        ("insert", (), {"vector\x00": [1, 2, 3]}, "vector\x00"),
        ("insert", (), {"vectors": [1, 2, 3]}, "vectors"),
        ("search", ([0, 0, 0],), {"K": 1}, "K"),
        ("search", ([0, 0, 0],), {"k ": 1}, "k "),
        ("search", ([0, 0, 0],), {"filter": None}, "filter"),
        ("search", (), {"q": [0, 0, 0]}, "q"),
        ("create", (), {"vector": [[1, 2, 3]]}, "vector"),
        ("new", (3,), {"metrics": "cosine"}, "metrics"),
        ("new", (), {"dimension": 3}, "dimension"),
        ("new", (3,), {"layers": None}, "layers"),
        ("new", (3,), {"\u00e9": 1}, "\u00e9"),
        ("insert", (), {"self": [1, 2, 3]}, "self"),
        ("new", (3,), {"cls": None}, "cls"),
    ],
)
def test_unexpected_keyword(name, args, kwargs, keyword):
    factory, display = ENTRY_POINTS[name]
    raises_exactly(TypeError, f"{display} got an unexpected keyword argument '{keyword}'", factory(), *args, **kwargs)


def test_keyword_that_is_not_valid_utf8_is_unexpected():
    idx = PyFlat(3)
    with pytest.raises(TypeError) as info:
        idx.insert(**{"\udcff": [1, 2, 3]})
    assert type(info.value) is TypeError
    assert str(info.value).startswith("PyFlat.insert() got an unexpected keyword argument ")
    assert contents(idx) is None


@pytest.mark.parametrize(
    "call, message",
    [
        # first failing keyword decides, in the order given
        (lambda i: i.search([0, 0, 0], query=[0, 0, 0], bogus=1), "PyFlat.search() got multiple values for argument 'query'"),
        (lambda i: i.search([0, 0, 0], bogus=1, query=[0, 0, 0]), "PyFlat.search() got an unexpected keyword argument 'bogus'"),
        (lambda i: i.search([0, 0, 0], second=1, first=2), "PyFlat.search() got an unexpected keyword argument 'second'"),
        # keyword errors come before missing-argument errors
        (lambda i: i.search(k=1, bogus=2), "PyFlat.search() got an unexpected keyword argument 'bogus'"),
        (lambda i: i.insert(bogus=2), "PyFlat.insert() got an unexpected keyword argument 'bogus'"),
        # keyword errors come before any conversion
        (lambda i: i.search("not a vector", k=-1, bogus=2), "PyFlat.search() got an unexpected keyword argument 'bogus'"),
        (lambda i: i.insert(None, vector=None), "PyFlat.insert() got multiple values for argument 'vector'"),
    ],
)
def test_binding_order_methods(call, message):
    idx = filled()
    before = contents(idx)
    raises_exactly(TypeError, message, call, idx)
    assert contents(idx) == before


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"zzz": 1, "metric": None, "yyy": 2}, "PyFlat.__new__() got an unexpected keyword argument 'zzz'"),
        ({"metric": None, "dim": 3, "dim2": 1}, "PyFlat.__new__() got an unexpected keyword argument 'dim2'"),
        ({"metric": "cosine", "b": 1, "a": 2}, "PyFlat.__new__() got an unexpected keyword argument 'b'"),
        ({"metric": -1, "bogus": 1}, "PyFlat.__new__() got an unexpected keyword argument 'bogus'"),
        ({"metric": 5}, "PyFlat.__new__() missing 1 required positional argument: 'dim'"),
    ],
)
def test_binding_order_constructor_keywords_in_dict_order(kwargs, message):
    raises_exactly(TypeError, message, PyFlat, **kwargs)


def test_constructor_binding_before_conversion():
    raises_exactly(TypeError, "PyFlat.__new__() got multiple values for argument 'dim'", PyFlat, -1, dim=-1)
    raises_exactly(TypeError, "PyFlat.__new__() got an unexpected keyword argument 'bogus'", PyFlat, -1, 5, bogus=1)
    raises_exactly(TypeError, "PyFlat.__new__() got an unexpected keyword argument 'bogus'", PyFlat, 3, bogus=1, dim=4)
    raises_exactly(TypeError, "PyFlat.__new__() got multiple values for argument 'dim'", PyFlat, 3, dim=4, bogus=1)


def test_all_parameters_by_keyword():
    idx = PyFlat(dim=2, metric="inner_product")
    assert idx.insert(vector=[1, 0]) is None
    assert idx.create(vectors=[[-1, 0], [2, 0]]) is None
    assert idx.search(query=[1, 0], k=3) == [(1, -1.0), (0, 1.0), (2, 2.0)]
    assert idx.search(k=3, query=[1, 0]) == [(1, -1.0), (0, 1.0), (2, 2.0)]
    assert idx.search([1, 0], k=2) == [(1, -1.0), (0, 1.0)]
    idx2 = PyFlat(metric="inner_product", dim=2)
    idx2.create([[1, 0], [-1, 0], [2, 0]])
    assert idx2.search([1, 0], 3) == idx.search([1, 0], 3)


def test_methods_called_through_the_class():
    idx = PyFlat.__new__(PyFlat, 2)
    PyFlat.insert(idx, [1, 1])
    PyFlat.create(idx, vectors=[[2, 2]])
    assert PyFlat.search(idx, [0, 0], k=5) == [(0, math.sqrt(2.0)), (1, math.sqrt(8.0))]


def test_hnsw_constructor_binding_messages():
    from tessra import PyHNSW

    raises_exactly(TypeError, "PyHNSW.__new__() missing 1 required positional argument: 'dim'", PyHNSW)
    raises_exactly(
        TypeError,
        "PyHNSW.__new__() takes from 1 to 7 positional arguments but 8 were given",
        PyHNSW, 4, 5, 16, 200, 50, "euclidean", None, None,
    )
    raises_exactly(TypeError, "PyHNSW.__new__() got an unexpected keyword argument 'k'", PyHNSW, 4, k=1)


# ================================================================ unsigned conversion


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class IndexRaises:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc

    def __repr__(self):
        return f"IndexRaises({self.exc!r})"


class IntSub(int):
    def __index__(self):
        raise AssertionError("an int subclass is converted directly")


class MyTypeError(TypeError):
    pass


@pytest.mark.parametrize(
    "value, as_k",
    [
        (True, 1),
        (False, 0),
        (2, 2),
        (Index(2), 2),
        (Index(0), 0),
        (IntSub(2), 2),
        (U64_MAX, U64_MAX),
        (Index(U64_MAX), U64_MAX),
    ],
)
def test_unsigned_accepted(value, as_k):
    idx = filled()
    expected = idx.search([0, 0, 0], min(as_k, 10))
    assert len(expected) == min(max(as_k, 1), 3)
    assert idx.search([0, 0, 0], value) == expected
    assert idx.search([0, 0, 0], k=value) == expected


@pytest.mark.parametrize("value, dim", [(True, 1), (False, 0), (Index(2), 2), (IntSub(2), 2)])
def test_unsigned_accepted_as_dim(value, dim):
    idx = PyFlat(value)
    with pytest.raises(ValueError, match=rf"^Expected vector of length {dim}, got 5$"):
        idx.insert([1, 2, 3, 4, 5])


UNSIGNED_OVERFLOWS = [-1, -(2**70), 2**64, 2**64 + 5, 10**30, Index(-1), Index(2**64)]


@pytest.mark.parametrize("value", UNSIGNED_OVERFLOWS, ids=repr)
@pytest.mark.parametrize("where", ["dim", "k"])
def test_unsigned_overflow_is_unlabelled(value, where):
    expected = error_of(as_unsigned, value)
    assert type(expected) is OverflowError
    if where == "dim":
        exc = raises_exactly(OverflowError, str(expected), PyFlat, value)
    else:
        idx = filled()
        exc = raises_exactly(OverflowError, str(expected), idx.search, [0, 0, 0], value)
        idx.insert([1, 1, 1])  # access released
    assert "argument" not in str(exc)


def test_unsigned_overflow_messages_are_the_interpreters():
    raises_exactly(OverflowError, "can't convert negative int to unsigned", PyFlat, -1)
    raises_exactly(OverflowError, "int too big to convert", filled().search, [0, 0, 0], 2**64)


@pytest.mark.parametrize(
    "value",
    [1.0, 2.5, "3", [1], 1j, decimal.Decimal(2), fractions.Fraction(4, 2), Index("x"), Index(1.0)],
    ids=repr,
)
@pytest.mark.parametrize("where", ["dim", "k"])
def test_unsigned_type_errors_are_labelled(value, where):
    expected = error_of(as_unsigned, value)
    assert type(expected) is TypeError
    if where == "dim":
        exc = raises_exactly(TypeError, f"argument 'dim': {expected}", PyFlat, value)
    else:
        exc = raises_exactly(TypeError, f"argument 'k': {expected}", filled().search, [0, 0, 0], value)
    assert exc.__cause__ is None


def test_unsigned_type_error_examples():
    raises_exactly(TypeError, "argument 'dim': 'float' object cannot be interpreted as an integer", PyFlat, 2.5)
    raises_exactly(
        TypeError, "argument 'k': 'float' object cannot be interpreted as an integer", filled().search, [0, 0, 0], 1.0
    )
    raises_exactly(
        TypeError, "argument 'dim': 'NoneType' object cannot be interpreted as an integer", PyFlat, None
    )
    raises_exactly(
        TypeError, "argument 'dim': 'NoneType' object cannot be interpreted as an integer", PyFlat, dim=None
    )


@pytest.mark.parametrize("where", ["dim", "k"])
@pytest.mark.parametrize(
    "exc",
    [ValueError("v"), RuntimeError("r"), ZeroDivisionError("z"), MyTypeError("sub"), KeyError("k")],
    ids=lambda e: type(e).__name__,
)
def test_index_raising_non_typeerror_passes_through_unchanged(where, exc):
    obj = IndexRaises(exc)
    with pytest.raises(BaseException) as info:
        if where == "dim":
            PyFlat(obj)
        else:
            filled().search([0, 0, 0], obj)
    assert info.value is exc


@pytest.mark.parametrize("where", ["dim", "k"])
def test_index_raising_typeerror_is_labelled(where):
    obj = IndexRaises(TypeError("index went wrong"))
    if where == "dim":
        exc = raises_exactly(TypeError, "argument 'dim': index went wrong", PyFlat, obj)
    else:
        exc = raises_exactly(TypeError, "argument 'k': index went wrong", filled().search, [0, 0, 0], obj)
    assert exc.__cause__ is None


@pytest.mark.parametrize("where", ["dim", "k"])
def test_labelled_error_keeps_the_original_cause(where):
    cause = KeyError("root")

    class Chained:
        def __index__(self):
            raise TypeError("chained") from cause

    if where == "dim":
        exc = raises_exactly(TypeError, "argument 'dim': chained", PyFlat, Chained())
    else:
        exc = raises_exactly(TypeError, "argument 'k': chained", filled().search, [0, 0, 0], Chained())
    assert exc.__cause__ is cause


# ================================================================ double conversion


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"Floaty({self.value!r})"


class FloatRaises:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc

    def __repr__(self):
        return f"FloatRaises({self.exc!r})"


class FloatSub(float):
    def __float__(self):
        raise AssertionError("a float subclass is read directly")


@pytest.mark.parametrize(
    "element",
    [
        3,
        -7,
        True,
        False,
        2**53 + 1,
        2**1000,
        -(2**1023),
        0.1,
        FloatSub(0.25),
        Floaty(1.5),
        Floaty(float("nan")),
        Index(7),
        Index(2**60 + 3),
        fractions.Fraction(1, 3),
        decimal.Decimal("0.1"),
        decimal.Decimal("1e400"),
        float("inf"),
        -0.0,
    ],
    ids=repr,
)
def test_double_conversion_accepted(element):
    value = as_double(element)
    stored = [[1.0, 2.0, 3.0], [-1.0, 0.5, 0.0]]
    for metric in (None, "inner_product", "cosine"):
        idx = PyFlat(3, metric)
        idx.insert([element, 1.0, -2.0])
        idx.create([[0.0, element, 1.0]] + stored)
        ref = [[value, 1.0, -2.0], [0.0, value, 1.0]] + stored
        for query in ([1.0, 1.0, 1.0], [element, 0.0, 2.0]):
            got = idx.search(query, 10)
            want = expected_search(ref, metric, [as_double(x) for x in query], 10)
            assert exact(got) == exact(want)


@pytest.mark.parametrize(
    "element",
    ["1.0", None, [1.0], (1.0,), 1j, Ellipsis, b"1", Floaty(1), Floaty("x"), FloatRaises(TypeError("float went wrong"))],
    ids=repr,
)
@pytest.mark.parametrize("where", ["vector", "query", "vectors"])
def test_double_type_errors_are_labelled(element, where):
    expected = error_of(as_double, element)
    assert type(expected) is TypeError
    idx = filled()
    before = contents(idx)
    if where == "vector":
        exc = raises_exactly(TypeError, f"argument 'vector': {expected}", idx.insert, [0.0, element, 0.0])
    elif where == "query":
        exc = raises_exactly(TypeError, f"argument 'query': {expected}", idx.search, [0.0, 0.0, element])
    else:
        exc = raises_exactly(
            TypeError, f"argument 'vectors': {expected}", idx.create, [[1, 2, 3], [element, 0.0, 0.0]]
        )
    assert exc.__cause__ is None
    assert contents(idx) == before


def test_double_type_error_example_message():
    raises_exactly(TypeError, "argument 'vector': must be real number, not str", PyFlat(3).insert, [1, "2", 3])


@pytest.mark.parametrize("where", ["vector", "query", "vectors"])
def test_double_overflow_is_unlabelled(where):
    idx = filled()
    before = contents(idx)
    expected = error_of(as_double, 10**400)
    if where == "vector":
        raises_exactly(OverflowError, str(expected), idx.insert, [1, 10**400, 2])
    elif where == "query":
        raises_exactly(OverflowError, str(expected), idx.search, [1, 10**400, 2])
    else:
        raises_exactly(OverflowError, str(expected), idx.create, [[1, 2, 3], [10**400, 1, 2]])
    assert str(expected) == "int too large to convert to float"
    assert contents(idx) == before


@pytest.mark.parametrize(
    "exc",
    [ValueError("v"), ArithmeticError("a"), MyTypeError("sub"), RuntimeError("r")],
    ids=lambda e: type(e).__name__,
)
def test_float_raising_non_typeerror_passes_through_unchanged(exc):
    idx = filled()
    with pytest.raises(BaseException) as info:
        idx.insert([1, FloatRaises(exc), 2])
    assert info.value is exc
    with pytest.raises(BaseException) as info:
        idx.search([1, 2, FloatRaises(exc)])
    assert info.value is exc
    with pytest.raises(BaseException) as info:
        idx.create([[1, 2, 3], [FloatRaises(exc), 2, 3]])
    assert info.value is exc


def test_float_labelled_error_keeps_cause():
    cause = LookupError("root")

    class Chained:
        def __float__(self):
            raise TypeError("no float today") from cause

    exc = raises_exactly(TypeError, "argument 'vector': no float today", PyFlat(1).insert, [Chained()])
    assert exc.__cause__ is cause


# ================================================================ list conversion


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


class StrSub(str):
    pass


class OldStyleSeq:
    """A sequence with only __getitem__ (iterated through IndexError)."""

    def __init__(self, items):
        self.items = list(items)

    def __getitem__(self, i):
        return self.items[i]


class LyingLength:
    def __init__(self, items, length):
        self.items = list(items)
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items)


class LengthRaises(LyingLength):
    def __len__(self):
        raise TypeError("no length")


def _double_memoryview():
    return memoryview(array.array("d", [1.0, 2.0, 3.0]))


def _strided_memoryview():
    return memoryview(array.array("d", [1.0, 99.0, 2.0, 99.0, 3.0]))[::2]


ACCEPTED_VECTORS = [
    ("list", lambda: [1.0, 2.0, 3.0]),
    ("tuple", lambda: (1.0, 2.0, 3.0)),
    ("range", lambda: range(1, 4)),
    ("list subclass", lambda: ListSub([1.0, 2.0, 3.0])),
    ("tuple subclass", lambda: TupleSub((1, 2, 3))),
    ("bytes", lambda: b"\x01\x02\x03"),
    ("bytearray", lambda: bytearray(b"\x01\x02\x03")),
    ("deque", lambda: collections.deque([1, 2, 3])),
    ("UserList", lambda: collections.UserList([1, 2, 3])),
    ("array d", lambda: array.array("d", [1, 2, 3])),
    ("array f", lambda: array.array("f", [1, 2, 3])),
    ("array i", lambda: array.array("i", [1, 2, 3])),
    ("array Q", lambda: array.array("Q", [1, 2, 3])),
    ("memoryview d", _double_memoryview),
    ("memoryview bytes", lambda: memoryview(b"\x01\x02\x03")),
    ("strided memoryview", _strided_memoryview),
    ("old-style sequence", lambda: OldStyleSeq([1, 2, 3])),
    ("length too small", lambda: LyingLength([1, 2, 3], 1)),
    ("length too large", lambda: LyingLength([1, 2, 3], 1000)),
    ("length zero", lambda: LyingLength([1, 2, 3], 0)),
    ("length raises", lambda: LengthRaises([1, 2, 3], 0)),
]


@pytest.mark.parametrize("make", [m for _, m in ACCEPTED_VECTORS], ids=[n for n, _ in ACCEPTED_VECTORS])
def test_sequence_kinds_accepted(make):
    ref = PyFlat(3)
    ref.insert([1.0, 2.0, 3.0])
    ref.insert([0.5, 0.5, 0.5])
    expected = ref.search([1.0, 2.0, 3.0], 5)
    assert expected[0] == (0, 0.0)

    idx = PyFlat(3)
    idx.insert(make())
    idx.create([make(), [0.5, 0.5, 0.5]])
    assert idx.search(make(), 5) == [(0, 0.0), (1, 0.0), (2, expected[1][1])]

    idx = PyFlat(3)
    idx.create((make(), [0.5, 0.5, 0.5]))
    assert idx.search(make(), 5) == expected


@pytest.mark.parametrize("make", [m for _, m in ACCEPTED_VECTORS], ids=[n for n, _ in ACCEPTED_VECTORS])
def test_sequence_kinds_accepted_as_outer_list(make):
    # the outer argument of create follows the same rule
    class Rows(LyingLength):
        pass

    idx = PyFlat(3)
    idx.create(Rows([make(), make()], 7))
    idx.create(OldStyleSeq([make()]))
    res = idx.search([1.0, 2.0, 3.0], 5)
    assert res == [(0, 0.0), (1, 0.0), (2, 0.0)]


def test_bytes_are_a_sequence_of_small_integers():
    idx = PyFlat(4)
    idx.insert(b"\x00\x10\xff\x7f")
    assert exact(idx.search([0, 16, 255, 127])) == exact([(0, 0.0)])
    idx.create([b"\x01\x01\x01\x01"])
    assert idx.search(b"\x01\x01\x01\x01") == [(1, 0.0)]


class NotASequence:
    def __iter__(self):
        return iter([1.0, 2.0, 3.0])


def _generator():
    return (x for x in [1.0, 2.0, 3.0])


REFUSED = [
    ("None", lambda: None),
    ("set", lambda: {1.0, 2.0, 3.0}),
    ("frozenset", lambda: frozenset({1.0, 2.0, 3.0})),
    ("dict", lambda: {1: 1.0, 2: 2.0, 3: 3.0}),
    ("OrderedDict", lambda: collections.OrderedDict([(0, 1.0), (1, 2.0), (2, 3.0)])),
    ("dict keys", lambda: {1: 0, 2: 0, 3: 0}.keys()),
    ("generator", _generator),
    ("list iterator", lambda: iter([1.0, 2.0, 3.0])),
    ("int", lambda: 3),
    ("float", lambda: 3.0),
    ("object", lambda: object()),
    ("iterable without getitem", lambda: NotASequence()),
]


@pytest.mark.parametrize("make", [m for _, m in REFUSED], ids=[n for n, _ in REFUSED])
@pytest.mark.parametrize("where", ["vector", "query", "vectors", "inner"])
def test_non_sequences_refused(make, where):
    obj = make()
    assert not is_sequence(obj)
    message_tail = f"'{type(obj).__qualname__}' object cannot be converted to 'Sequence'"
    idx = filled()
    before = contents(idx)
    if where == "vector":
        exc = raises_exactly(TypeError, f"argument 'vector': {message_tail}", idx.insert, obj)
    elif where == "query":
        exc = raises_exactly(TypeError, f"argument 'query': {message_tail}", idx.search, obj)
    elif where == "vectors":
        exc = raises_exactly(TypeError, f"argument 'vectors': {message_tail}", idx.create, obj)
    else:
        exc = raises_exactly(TypeError, f"argument 'vectors': {message_tail}", idx.create, [[1, 2, 3], obj])
    assert exc.__cause__ is None
    assert contents(idx) == before


def test_refusal_names_the_qualified_type_name():
    class Local:
        pass

    qual = Local.__qualname__
    assert "<locals>" in qual
    raises_exactly(
        TypeError,
        f"argument 'vector': '{qual}' object cannot be converted to 'Sequence'",
        PyFlat(1).insert,
        Local(),
    )


def test_refusal_examples():
    raises_exactly(
        TypeError, "argument 'vector': 'NoneType' object cannot be converted to 'Sequence'", PyFlat(3).insert, None
    )
    raises_exactly(
        TypeError, "argument 'vector': 'set' object cannot be converted to 'Sequence'", PyFlat(3).insert, {1, 2, 3}
    )


@pytest.mark.parametrize("text", ["abc", "", "1.0", StrSub("abc")], ids=repr)
def test_str_refused(text):
    idx = filled()
    raises_exactly(TypeError, f"argument 'vector': {STR_REFUSAL}", idx.insert, text)
    raises_exactly(TypeError, f"argument 'query': {STR_REFUSAL}", idx.search, text)
    raises_exactly(TypeError, f"argument 'vectors': {STR_REFUSAL}", idx.create, text)
    raises_exactly(TypeError, f"argument 'vectors': {STR_REFUSAL}", idx.create, [[1, 2, 3], text])
    raises_exactly(TypeError, f"argument 'vectors': {STR_REFUSAL}", idx.create, ["12"])


def test_str_refusal_example():
    raises_exactly(TypeError, "argument 'vectors': Can't extract `str` to `Vec`", PyFlat(2).create, [[1, 2], "12"])
    raises_exactly(TypeError, "argument 'vector': Can't extract `str` to `Vec`", PyFlat(3).insert, "abc")


def test_elements_of_bulk_are_not_numbers():
    # bytes is a sequence of ints; an int is not a sequence
    raises_exactly(
        TypeError,
        "argument 'vectors': 'int' object cannot be converted to 'Sequence'",
        PyFlat(3).create,
        b"abc",
    )
    raises_exactly(
        TypeError,
        "argument 'vectors': 'float' object cannot be converted to 'Sequence'",
        PyFlat(3).create,
        [1.0, 2.0, 3.0],
    )


class IterRaises:
    def __init__(self, exc, after=0):
        self.exc = exc
        self.after = after

    def __getitem__(self, i):
        raise AssertionError("not used")

    def __len__(self):
        return 3

    def __iter__(self):
        if self.after == 0:
            raise self.exc
        return self._gen()

    def _gen(self):
        for i in range(self.after):
            yield float(i)
        raise self.exc


@pytest.mark.parametrize("after", [0, 2])
def test_iteration_typeerror_is_labelled(after):
    exc = raises_exactly(
        TypeError, "argument 'vector': iteration broke", PyFlat(3).insert, IterRaises(TypeError("iteration broke"), after)
    )
    assert exc.__cause__ is None


@pytest.mark.parametrize("after", [0, 2])
@pytest.mark.parametrize("exc_type", [ValueError, IndexError, RuntimeError, MyTypeError])
def test_iteration_other_errors_pass_through(after, exc_type):
    original = exc_type("iteration broke")
    idx = filled()
    before = contents(idx)
    with pytest.raises(BaseException) as info:
        idx.insert(IterRaises(original, after))
    assert info.value is original
    with pytest.raises(BaseException) as info:
        idx.create([[1, 2, 3], IterRaises(original, after)])
    assert info.value is original
    assert contents(idx) == before


def test_nested_errors_are_labelled_once():
    exc = raises_exactly(
        TypeError, "argument 'vectors': must be real number, not str", PyFlat(2).create, [[1, 2], [3, "x"]]
    )
    assert exc.__cause__ is None
    raises_exactly(
        TypeError,
        "argument 'vectors': 'NoneType' object cannot be converted to 'Sequence'",
        PyFlat(2).create,
        [[1, 2], None],
    )


def test_first_failing_element_decides():
    raises_exactly(TypeError, "argument 'vector': must be real number, not str", PyFlat(3).insert, [1, "a", None])
    raises_exactly(TypeError, "argument 'vector': must be real number, not NoneType", PyFlat(3).insert, [1, None, "a"])
    raises_exactly(OverflowError, "int too large to convert to float", PyFlat(3).insert, [10**400, "a", 1])
    raises_exactly(
        TypeError, "argument 'vector': must be real number, not str", PyFlat(3).insert, ["a", 10**400, 1]
    )


def test_stop_iteration_in_next_ends_the_sequence():
    class Short:
        def __getitem__(self, i):
            raise AssertionError

        def __iter__(self):
            return self

        def __next__(self):
            raise StopIteration

    idx = PyFlat(0)
    idx.insert(Short())
    raises_exactly(ValueError, "Expected vector of length 3, got 0", PyFlat(3).insert, Short())


def test_reference_counts_unchanged_by_failed_conversions():
    elem = Floaty(1.0)
    bad = [1.0, elem, "x"]
    before = (sys.getrefcount(elem), sys.getrefcount(bad))
    idx = PyFlat(3)
    for _ in range(50):
        with pytest.raises(TypeError):
            idx.insert(bad)
        with pytest.raises(TypeError):
            idx.create([bad])
        with pytest.raises(TypeError):
            idx.search(bad)
    assert (sys.getrefcount(elem), sys.getrefcount(bad)) == before


# ================================================================ text conversion


@pytest.mark.parametrize(
    "metric, type_name",
    [(5, "int"), (b"cosine", "bytes"), (["cosine"], "list"), (1.5, "float"), (True, "bool"), (bytearray(b"x"), "bytearray")],
    ids=repr,
)
def test_metric_must_be_text(metric, type_name):
    exc = raises_exactly(
        TypeError, f"argument 'metric': '{type_name}' object cannot be converted to 'PyString'", PyFlat, 3, metric
    )
    assert exc.__cause__ is None
    raises_exactly(
        TypeError, f"argument 'metric': '{type_name}' object cannot be converted to 'PyString'", PyFlat, 3, metric=metric
    )


@pytest.mark.parametrize("metric", ["\ud800", "cosine\udfff", "\udc80abc"])
def test_metric_with_lone_surrogate_is_unicode_encode_error(metric):
    expected = error_of(metric.encode, "utf-8")
    with pytest.raises(UnicodeEncodeError) as info:
        PyFlat(3, metric)
    assert type(info.value) is UnicodeEncodeError
    assert str(info.value) == str(expected)
    assert "argument" not in str(info.value)


def test_dim_converted_before_metric():
    raises_exactly(OverflowError, "can't convert negative int to unsigned", PyFlat, -1, 5)
    raises_exactly(OverflowError, "can't convert negative int to unsigned", PyFlat, -1, "\ud800")
    raises_exactly(TypeError, "argument 'dim': 'float' object cannot be interpreted as an integer", PyFlat, 2.5, 5)
    raises_exactly(
        TypeError, "argument 'dim': 'float' object cannot be interpreted as an integer", PyFlat, metric=5, dim=2.5
    )


# ================================================================ access (borrow) rules


class Calling:
    """A sequence whose iteration first runs a callback, then yields items."""

    def __init__(self, items, callback):
        self.items = list(items)
        self.callback = callback

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        self.callback()
        return iter(self.items)


def inner_error(fn):
    """Run fn, return the exception it raised (None if none)."""
    try:
        fn()
    except Exception as exc:  # noqa: BLE001
        return exc
    return None


INNER_CALLS_DURING_EXCLUSIVE = {
    "search": (lambda idx: idx.search([0, 0, 0], 3), "Already mutably borrowed"),
    "insert": (lambda idx: idx.insert([7, 7, 7]), "Already borrowed"),
    "create": (lambda idx: idx.create([[7, 7, 7]]), "Already borrowed"),
}

OUTER_EXCLUSIVE = {
    "insert": lambda idx, seq: idx.insert(seq),
    "create-outer": lambda idx, seq: idx.create(seq_outer(seq)),
    "create-inner": lambda idx, seq: idx.create([[4, 4, 4], seq]),
}


def seq_outer(seq):
    """A bulk argument whose own iteration runs the callback of `seq`."""
    return Calling([list(seq.items)], seq.callback)


@pytest.mark.parametrize("inner", INNER_CALLS_DURING_EXCLUSIVE)
@pytest.mark.parametrize("outer", OUTER_EXCLUSIVE)
def test_nested_call_during_exclusive_access_caught(outer, inner):
    idx = filled()
    inner_call, message = INNER_CALLS_DURING_EXCLUSIVE[inner]
    seen = []
    seq = Calling([2, 2, 2], lambda: seen.append(inner_error(lambda: inner_call(idx))))
    OUTER_EXCLUSIVE[outer](idx, seq)
    assert len(seen) == 1
    assert type(seen[0]) is RuntimeError
    assert str(seen[0]) == message
    # the outer call went on normally and stored its vectors after the three
    res = idx.search([2, 2, 2], 10)
    assert res[0][1] == 0.0
    ids = sorted(i for i, _ in res)
    assert ids == list(range(len(ids)))
    assert len(ids) == (5 if outer == "create-inner" else 4)
    # and the index is free again
    idx.insert([9, 9, 9])
    assert idx.search([9, 9, 9]) == [(len(ids), 0.0)]


@pytest.mark.parametrize("inner", INNER_CALLS_DURING_EXCLUSIVE)
@pytest.mark.parametrize("outer", OUTER_EXCLUSIVE)
def test_nested_call_during_exclusive_access_uncaught(outer, inner):
    idx = filled()
    before = contents(idx)
    inner_call, message = INNER_CALLS_DURING_EXCLUSIVE[inner]
    seq = Calling([2, 2, 2], lambda: inner_call(idx))
    with pytest.raises(BaseException) as info:
        OUTER_EXCLUSIVE[outer](idx, seq)
    assert type(info.value) is RuntimeError
    assert str(info.value) == message
    assert contents(idx) == before
    idx.insert([9, 9, 9])
    assert idx.search([9, 9, 9]) == [(3, 0.0)]


INNER_CALLS_DURING_SHARED = {
    "insert": lambda idx: idx.insert([7, 7, 7]),
    "create": lambda idx: idx.create([[7, 7, 7]]),
}


@pytest.mark.parametrize("inner", INNER_CALLS_DURING_SHARED)
def test_exclusive_call_during_search_caught(inner):
    idx = filled()
    before = contents(idx)
    seen = []
    query = Calling([1, 0, 0], lambda: seen.append(inner_error(lambda: INNER_CALLS_DURING_SHARED[inner](idx))))
    assert idx.search(query, 2) == [(1, 0.0), (0, 1.0)]
    assert type(seen[0]) is RuntimeError
    assert str(seen[0]) == "Already borrowed"
    assert contents(idx) == before
    idx.insert([9, 9, 9])
    assert idx.search([9, 9, 9]) == [(3, 0.0)]


@pytest.mark.parametrize("inner", INNER_CALLS_DURING_SHARED)
def test_exclusive_call_during_search_uncaught(inner):
    idx = filled()
    before = contents(idx)
    query = Calling([1, 0, 0], lambda: INNER_CALLS_DURING_SHARED[inner](idx))
    exc = raises_exactly(RuntimeError, "Already borrowed", idx.search, query, 2)
    assert exc.__cause__ is None
    assert contents(idx) == before
    idx.insert([9, 9, 9])
    assert idx.search([9, 9, 9]) == [(3, 0.0)]


def test_exclusive_call_during_k_conversion():
    idx = filled()
    seen = []

    class K:
        def __index__(self):
            seen.append(inner_error(lambda: idx.insert([7, 7, 7])))
            return 2

    assert idx.search([1, 0, 0], K()) == [(1, 0.0), (0, 1.0)]
    assert type(seen[0]) is RuntimeError and str(seen[0]) == "Already borrowed"
    idx.insert([9, 9, 9])


def test_search_during_element_conversion_of_insert():
    idx = filled()
    seen = []

    class Elem:
        def __float__(self):
            seen.append(inner_error(lambda: idx.search([0, 0, 0])))
            return 2.0

    idx.insert([Elem(), 2, 2])
    assert type(seen[0]) is RuntimeError and str(seen[0]) == "Already mutably borrowed"
    assert idx.search([2, 2, 2]) == [(3, 0.0)]


def test_nested_searches_both_succeed():
    idx = filled()
    inner_results = []
    query = Calling([1, 0, 0], lambda: inner_results.append(idx.search([5, 5, 5], 1)))
    assert idx.search(query, 2) == [(1, 0.0), (0, 1.0)]
    assert inner_results == [[(2, 0.0)]]
    # the shared count went back to zero: exclusive access is possible
    idx.insert([9, 9, 9])
    idx.create([[8, 8, 8]])
    assert idx.search([8, 8, 8]) == [(4, 0.0)]


def test_three_level_nested_searches_then_exclusive():
    idx = filled()
    log = []

    def level3():
        log.append(("3", idx.search([0, 0, 0], 1)))

    def level2():
        log.append(("2", idx.search(Calling([5, 5, 5], level3), 1)))

    assert idx.search(Calling([1, 0, 0], level2), 1) == [(1, 0.0)]
    assert log == [("3", [(0, 0.0)]), ("2", [(2, 0.0)])]
    idx.insert([9, 9, 9])


def test_failed_nested_search_releases_shared_access():
    idx = filled()
    errors = []

    def inner():
        errors.append(inner_error(lambda: idx.search([0, 0])))  # wrong length
        errors.append(inner_error(lambda: idx.search("x")))  # conversion error

    assert idx.search(Calling([1, 0, 0], inner)) == [(1, 0.0)]
    assert str(errors[0]) == "Expected query of length 3, got 2"
    assert str(errors[1]) == "argument 'query': Can't extract `str` to `Vec`"
    idx.insert([9, 9, 9])


def test_binding_checked_before_access():
    idx = filled()
    seen = []

    def inner():
        seen.append(inner_error(lambda: idx.search()))
        seen.append(inner_error(lambda: idx.insert([1, 2, 3], bogus=1)))
        seen.append(inner_error(lambda: idx.create(1, 2)))

    idx.insert(Calling([1, 1, 1], inner))
    assert [type(e) for e in seen] == [TypeError] * 3
    assert str(seen[0]) == "PyFlat.search() missing 1 required positional argument: 'query'"
    assert str(seen[1]) == "PyFlat.insert() got an unexpected keyword argument 'bogus'"
    assert str(seen[2]) == "PyFlat.create() takes 1 positional arguments but 2 were given"


def test_access_checked_before_conversion():
    idx = filled()
    seen = []

    def inner():
        seen.append(inner_error(lambda: idx.search("not a vector", 1.5)))
        seen.append(inner_error(lambda: idx.insert("not a vector")))
        seen.append(inner_error(lambda: idx.create([])))
        seen.append(inner_error(lambda: idx.search([0, 0])))

    idx.insert(Calling([1, 1, 1], inner))
    assert [(type(e), str(e)) for e in seen] == [
        (RuntimeError, "Already mutably borrowed"),
        (RuntimeError, "Already borrowed"),
        (RuntimeError, "Already borrowed"),
        (RuntimeError, "Already mutably borrowed"),
    ]


def test_other_indexes_are_not_affected_by_a_borrow():
    a = filled()
    b = filled()

    def inner():
        b.insert([6, 6, 6])
        b.create([[7, 7, 7]])
        assert b.search([7, 7, 7]) == [(4, 0.0)]
        PyFlat(3).insert([1, 2, 3])

    a.insert(Calling([2, 2, 2], inner))
    assert a.search([2, 2, 2]) == [(3, 0.0)]


def test_errors_release_access():
    idx = filled()
    failing = [
        lambda: idx.insert([1, 2]),
        lambda: idx.insert("x"),
        lambda: idx.insert([1, 2, None]),
        lambda: idx.insert([1, 2, 10**400]),
        lambda: idx.create([]),
        lambda: idx.create([[1, 2, 3], [1, 2]]),
        lambda: idx.create([[1, 2, 3], None]),
        lambda: idx.search([1, 2]),
        lambda: idx.search([1, 2, 3], -1),
        lambda: idx.search("x"),
        lambda: PyFlat(3).search([0, 0, 0]),
    ]
    for call in failing:
        with pytest.raises(Exception):
            call()
        # both an exclusive and a shared access are possible afterwards
        idx.insert([0, 0, 0])
        idx.search([0, 0, 0])
    assert contents(idx) is not None
    assert len(idx.search([0, 0, 0], 100)) == 3 + len(failing)


def test_user_exception_in_nested_call_passes_through():
    idx = filled()
    original = KeyError("user")

    def inner():
        idx.search([0, 0, 0])
        raise original

    with pytest.raises(KeyError) as info:
        idx.search(Calling([0, 0, 0], inner))
    assert info.value is original
    idx.insert([1, 1, 1])


def test_huge_length_hint_is_harmless():
    # a sequence that reports an absurd length must not break the conversion
    code = """
import sys
from tessra import PyFlat

class Liar:
    def __init__(self, items):
        self.items = items
    def __len__(self):
        return sys.maxsize
    def __getitem__(self, i):
        return self.items[i]
    def __iter__(self):
        return iter(self.items)

idx = PyFlat(3)
idx.insert(Liar([1.0, 2.0, 3.0]))
idx.create(Liar([Liar([4.0, 5.0, 6.0])]))
print(idx.search(Liar([1.0, 2.0, 3.0]), 5))
"""
    rc, out, err = run_isolated(code)
    assert rc == 0, err
    assert out.strip() == f"[(0, 0.0), (1, {math.sqrt(27.0)!r})]"


def test_list_mutated_during_conversion_follows_iteration():
    idx = PyFlat(3)
    items = [1.0]

    class Grow:
        def __float__(self):
            items.append(3.0)
            return 2.0

    items.append(Grow())
    idx.insert(items)  # the appended element is converted too
    assert idx.search([1.0, 2.0, 3.0]) == [(0, 0.0)]

    items = [1.0, 2.0]

    class Shrink:
        def __float__(self):
            del items[:]
            return 5.0

    items.insert(1, Shrink())
    raises_exactly(ValueError, "Expected vector of length 3, got 2", idx.insert, items)
    assert idx.search([1.0, 2.0, 3.0], 5) == [(0, 0.0)]


def test_outer_list_mutated_during_conversion():
    idx = PyFlat(2)
    rows = [[1.0, 1.0]]

    class Grow:
        def __float__(self):
            rows.append([3.0, 3.0])
            return 2.0

    rows.append([Grow(), 2.0])
    idx.create(rows)
    assert [i for i, _ in idx.search([0, 0], 10)] == [0, 1, 2]


def test_conflicting_call_from_another_thread_fails_at_once():
    idx = filled()
    seen = []

    def other_thread():
        seen.append(inner_error(lambda: idx.search([0, 0, 0])))
        seen.append(inner_error(lambda: idx.insert([1, 1, 1])))

    def run_thread():
        t = threading.Thread(target=other_thread)
        t.start()
        t.join(timeout=60)
        assert not t.is_alive()

    idx.insert(Calling([2, 2, 2], run_thread))
    assert [(type(e), str(e)) for e in seen] == [
        (RuntimeError, "Already mutably borrowed"),
        (RuntimeError, "Already borrowed"),
    ]
    seen.clear()

    def other_thread_shared():
        seen.append(idx.search([5, 5, 5]))
        seen.append(inner_error(lambda: idx.create([[1, 1, 1]])))

    def run_shared():
        t = threading.Thread(target=other_thread_shared)
        t.start()
        t.join(timeout=60)

    assert idx.search(Calling([2, 2, 2], run_shared)) == [(3, 0.0)]
    assert seen[0] == [(2, 0.0)]
    assert type(seen[1]) is RuntimeError and str(seen[1]) == "Already borrowed"
    idx.insert([1, 1, 1])


def test_searches_from_many_threads():
    idx = PyFlat(4)
    idx.create([[float(i), float(-i), 0.5, 1.0] for i in range(200)])
    expected = idx.search([3.0, -3.0, 0.5, 1.0], 7)
    failures = []

    def worker():
        for _ in range(200):
            if idx.search([3.0, -3.0, 0.5, 1.0], 7) != expected:
                failures.append(1)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures
    idx.insert([0, 0, 0, 0])


def test_nothing_written_to_stderr(capfd):
    idx = PyFlat(3)
    idx.insert(LengthRaises([1, 2, 3], 0))
    idx.create([[4, 5, 6]])
    idx.search([0, 0, 0], 5)
    for call in (
        lambda: idx.insert([1, 2]),
        lambda: idx.insert("x"),
        lambda: idx.create([[1, 2]]),
        lambda: idx.create([]),
        lambda: idx.search([1, 2, 3], -1),
        lambda: PyFlat(3).search([1, 2, 3]),
        lambda: PyFlat(3, "\ud800"),
    ):
        with pytest.raises(Exception):
            call()
    out, err = capfd.readouterr()
    assert (out, err) == ("", "")
