"""PyHNSW filtered search: type-strict equality, refusals, search errors and what a filtered search returns."""

import collections
import math
import random
import textwrap

import numpy as np
import pytest

from tessra import PyHNSW

from reference import run_isolated

NO_SCHEMA_FILTER = "No schema provided in HNSW instance; cannot use metadata filtering"
UNSUPPORTED_FILTER = "Unsupported type for metadata filter"
NAN = float("nan")


def raises_exactly(exc_type, message, fn, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc_type, f"{type(info.value).__name__}: {info.value}"
    assert str(info.value) == message
    return info.value


def ids(results):
    """Node ids of results whose vectors carry their node id as first component."""
    return [int(v[0]) for _, v in results]


def run_case(body, timeout=120):
    """Run `body` in a fresh interpreter (a faulty module may abort it); return its last output line."""
    code = "import tessra, math, random\nfrom tessra import PyHNSW\n" + textwrap.dedent(body)
    rc, out, err = run_isolated(code, timeout=timeout)
    assert rc == 0, f"interpreter ended with {rc}: {err[-2000:]}"
    return out.strip().splitlines()[-1]


# Stored values of attribute "v", node i at vector [i]; node 0 holds a value no probe below matches
# except where stated. Large ef_search: every node is reached, so filters alone decide the output.
VALUES = [
    "zero",            # 0
    42,                # 1  Int
    42.0,              # 2  Float
    "42",              # 3  Str
    True,              # 4  Int 1
    1,                 # 5  Int 1
    1.0,               # 6  Float 1.0
    NAN,               # 7  Float NaN
    0.0,               # 8
    -0.0,              # 9
    0,                 # 10 Int 0
    "blue",            # 11
    "Blue",            # 12
    "",                # 13
    2**63,             # 14 Float 9.223372036854776e18
    2**63 - 1,         # 15 Int
    -2**63,            # 16 Int
    float("inf"),      # 17
    "e\u0301",         # 18 decomposed
    "\u00e9",          # 19 precomposed
    False,             # 20 Int 0
]


@pytest.fixture(scope="module")
def population():
    idx = PyHNSW(1, metric="euclidean", ef_search=100, schema=["v"])
    for i, value in enumerate(VALUES):
        idx.insert([float(i)], metadata=[("v", value)])
    return idx


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class Floaty:
    def __float__(self):
        return 42.0

    def __repr__(self):
        return "Floaty()"


class Opaque:
    def __repr__(self):
        return "Opaque()"


class StrSub(str):
    pass


class FloatSub(float):
    pass


@pytest.mark.parametrize(
    "value, expected",
    [
        (42, [1]),
        (42.0, [2]),
        ("42", [3]),
        (True, [4, 5]),
        (1, [4, 5]),
        (1.0, [6]),
        (NAN, []),
        (0.0, [8, 9]),
        (-0.0, [8, 9]),
        (0, [10, 20]),
        (False, [10, 20]),
        ("blue", [11]),
        ("Blue", [12]),
        ("BLUE", []),
        ("", [13]),
        (2**63, [14]),
        (9.223372036854776e18, [14]),
        (2**63 - 1, [15]),
        (-2**63, [16]),
        (float(-2**63), []),
        (float("inf"), [17]),
        (float("-inf"), []),
        ("e\u0301", [18]),
        ("\u00e9", [19]),
        ("zero", [0]),
        ("zero ", []),
        (43, []),
        # values converted by the same rules as stored ones
        (np.int64(42), [1]),
        (np.float64(42.0), [2]),
        (np.float32(1.0), [6]),
        (Index(42), [1]),
        (Floaty(), [2]),
        (StrSub("blue"), [11]),
        (FloatSub(1.0), [6]),
        (2**64, []),
        (10**400, None),
    ],
    ids=repr,
)
def test_equality_is_type_strict(population, value, expected):
    if expected is None:
        raises_exactly(ValueError, UNSUPPORTED_FILTER, population.search, [0.0], filter=("v", value))
        return
    res = population.search([0.0], k=1000, filter=("v", value))
    assert sorted(ids(res)) == expected
    # nearest first, with the distances of the returned nodes
    assert [d for d, _ in res] == sorted(float(i) for i in expected)


def test_unfiltered_search_returns_every_node(population):
    assert sorted(ids(population.search([0.0], k=1000))) == list(range(len(VALUES)))


@pytest.mark.parametrize("layers", [1, 2, None])
def test_filtered_search_is_exact_on_a_small_index(layers):
    rnd = random.Random(7)
    colors = ["red", "green", "blue"]
    idx = PyHNSW(3, metric="euclidean", layers=layers, ef_search=200, schema=["color", "size"])
    rows = []
    for i in range(90):
        v = [float(i), rnd.uniform(-5, 5), rnd.uniform(-5, 5)]
        color, size = rnd.choice(colors), rnd.randrange(3)
        rows.append((v, color, size))
        idx.insert(v, metadata=[("size", size), ("color", color)])
    for q in ([10.0, 0.0, 0.0], [45.0, 3.0, -3.0], [100.0, 0.0, 0.0]):
        for attr, value in [("color", "red"), ("color", "blue"), ("size", 0), ("size", 2), ("size", 2.0)]:
            want = [
                v for v, c, s in sorted(rows, key=lambda r: math.dist(q, r[0]))
                if {"color": c, "size": s}[attr] == value and type({"color": c, "size": s}[attr]) is type(value)
            ]
            got = idx.search(q, k=1000, filter=(attr, value))
            assert [v for _, v in got] == want
            assert [v for _, v in idx.search(q, k=5, filter=(attr, value))] == want[:5]


# ================================================================ refusals


Filter = collections.namedtuple("Filter", "name value")


@pytest.mark.parametrize("schema", [None, ["c"], []])
@pytest.mark.parametrize("filled", [False, True])
@pytest.mark.parametrize(
    "flt, exc_type, message",
    [
        (["c", "x"], TypeError, "argument 'filter': 'list' object cannot be converted to 'PyTuple'"),
        ("c", TypeError, "argument 'filter': 'str' object cannot be converted to 'PyTuple'"),
        ({"c": "x"}, TypeError, "argument 'filter': 'dict' object cannot be converted to 'PyTuple'"),
        (5, TypeError, "argument 'filter': 'int' object cannot be converted to 'PyTuple'"),
        (("c", "x", 1), ValueError, "expected tuple of length 2, but got tuple of length 3"),
        (("c",), ValueError, "expected tuple of length 2, but got tuple of length 1"),
        ((), ValueError, "expected tuple of length 2, but got tuple of length 0"),
        ((1, "x"), TypeError, "argument 'filter': 'int' object cannot be converted to 'PyString'"),
        ((None, "x"), TypeError, "argument 'filter': 'NoneType' object cannot be converted to 'PyString'"),
        ((b"c", "x"), TypeError, "argument 'filter': 'bytes' object cannot be converted to 'PyString'"),
    ],
    ids=repr,
)
def test_filter_shapes_refused(schema, filled, flt, exc_type, message):
    # the shape is checked before the schema, the value and the index contents
    idx = PyHNSW(1, metric="euclidean", schema=schema, layers=0)
    if filled:
        idx.insert([0.0])
    exc = raises_exactly(exc_type, message, idx.search, [0.0], filter=flt)
    assert exc.__cause__ is None


def test_filter_name_with_lone_surrogate():
    idx = PyHNSW(1, metric="euclidean", schema=["c"])
    with pytest.raises(UnicodeEncodeError):
        idx.search([0.0], filter=("\ud800", 1))


def test_filter_tuple_subclass_accepted():
    idx = PyHNSW(1, metric="euclidean", schema=["c"])
    idx.insert([0.0], metadata=[("c", "x")])
    assert idx.search([0.0], filter=Filter("c", "x")) == [(0.0, [0.0])]


def test_filter_none_is_no_filter():
    idx = PyHNSW(1, metric="euclidean")
    idx.insert([0.0])
    assert idx.search([0.0], 1, None) == idx.search([0.0], filter=None) == [(0.0, [0.0])]


@pytest.mark.parametrize("layers", [None, 0])
@pytest.mark.parametrize("filled", [False, True])
@pytest.mark.parametrize("value", ["x", None, Opaque(), [1], "\ud800", 10**400], ids=repr)
def test_no_schema_filter(layers, filled, value):
    idx = PyHNSW(1, metric="euclidean", layers=layers, ef_search=0)
    if filled:
        idx.insert([0.0])
    exc = raises_exactly(ValueError, NO_SCHEMA_FILTER, idx.search, [0.0], k=3, filter=("c", value))
    assert exc.__cause__ is None and exc.__context__ is None


class IndexRaises:
    def __index__(self):
        raise RuntimeError("boom")

    def __repr__(self):
        return "IndexRaises()"


@pytest.mark.parametrize("schema", [["c"], [], ["a", "b"]])
@pytest.mark.parametrize("filled", [False, True])
@pytest.mark.parametrize(
    "value",
    [None, [1], (1,), {}, b"c", bytearray(b"1"), "\ud800", "x\udfff", 10**400, -(10**400), complex(1, 1),
     Opaque(), IndexRaises(), Index(1.5)],
    ids=repr,
)
def test_unsupported_filter_value(schema, filled, value):
    # refused before the search runs, whatever the attribute or the index
    idx = PyHNSW(1, metric="euclidean", schema=schema, layers=0)
    if filled:
        idx.insert([0.0])
    exc = raises_exactly(ValueError, UNSUPPORTED_FILTER, idx.search, [0.0], filter=("nope", value))
    assert exc.__cause__ is None and exc.__context__ is None


@pytest.mark.parametrize(
    "query, k, flt, exc_type, message",
    [
        ("ab", None, ("c", None), TypeError, "argument 'query': Can't extract `str` to `Vec`"),
        ([0.0], -1, ["c"], OverflowError, "can't convert negative int to unsigned"),
        ([0.0], 1.5, ("c", None), TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
        ([0.0], 1, ["c", None], TypeError, "argument 'filter': 'list' object cannot be converted to 'PyTuple'"),
    ],
    ids=repr,
)
def test_arguments_converted_before_the_filter_is_examined(query, k, flt, exc_type, message):
    idx = PyHNSW(1, metric="euclidean")
    raises_exactly(exc_type, message, idx.search, query, k, flt)


# ================================================================ search errors


@pytest.mark.parametrize("schema", [["c"], []])
@pytest.mark.parametrize("value", ["x", 1, 2.5])
def test_empty_index_ignores_filter_problems(schema, value):
    for layers, ef_search in [(None, None), (0, None), (1, 0), (3, 0)]:
        idx = PyHNSW(1, metric="euclidean", schema=schema, layers=layers, ef_search=ef_search)
        assert idx.search([0.0], k=5, filter=("weight", value)) == []
        assert idx.search([0.0], filter=("c", value)) == []


@pytest.mark.parametrize(
    "schema, attr, layers, ef_search, message",
    [
        ([], "x", None, None, "Search error: EmptySchema"),
        ([], "x", 1, None, "Search error: EmptySchema"),
        (["color", "size"], "weight", None, None, "Search error: AttributeNotFound"),
        (["color", "size"], "Color", 1, None, "Search error: AttributeNotFound"),
        (["color", "size"], "color ", 2, None, "Search error: AttributeNotFound"),
        (["color"], "", 1, None, "Search error: AttributeNotFound"),
        # zero layers: every search of a non-empty index fails that way first
        ([], "x", 0, None, "Search error: InvalidLayer"),
        (["color"], "weight", 0, 0, "Search error: InvalidLayer"),
        (["color"], "color", 0, None, "Search error: InvalidLayer"),
        # one layer: the final search comes first, so a zero ef_search is reported first
        ([], "x", 1, 0, "Search error: InvalidEF"),
        (["color"], "weight", 1, 0, "Search error: InvalidEF"),
        # more layers: the descent (beam 1) meets the filter problem first
        ([], "x", 2, 0, "Search error: EmptySchema"),
        (["color"], "weight", None, 0, "Search error: AttributeNotFound"),
        (["color"], "color", None, 0, "Search error: InvalidEF"),
    ],
    ids=repr,
)
def test_filtered_search_errors(schema, attr, layers, ef_search, message):
    idx = PyHNSW(1, metric="euclidean", schema=schema, layers=layers, ef_search=ef_search)
    idx.insert([0.0])
    for k in (None, 0, 10):
        exc = raises_exactly(ValueError, message, idx.search, [0.0], k, (attr, 1))
        assert exc.__cause__ is None


def test_schema_naming_an_attribute_twice():
    idx = PyHNSW(1, metric="euclidean", schema=["a", "b", "a"])
    idx.insert([0.0], metadata=[("a", 1), ("b", 2)])
    idx.insert([1.0], metadata=[("a", 2), ("b", 1)])
    assert ids(idx.search([0.0], k=5, filter=("a", 1))) == [0]
    assert ids(idx.search([0.0], k=5, filter=("a", 2))) == [1]
    assert ids(idx.search([0.0], k=5, filter=("b", 1))) == [1]


# ================================================================ what a filtered search returns


def test_failing_start_node_is_not_returned():
    idx = PyHNSW(1, metric="euclidean", schema=["c"], layers=1)
    idx.insert([0.0], metadata=[("c", "x")])
    idx.insert([5.0], metadata=[("c", "y")])
    idx.insert([6.0], metadata=[("c", "y")])
    # node 0 is the nearest and guides the walk, but fails: the rest fill the output
    assert idx.search([0.0], k=1, filter=("c", "y")) == [(5.0, [5.0])]
    assert idx.search([0.0], k=0, filter=("c", "y")) == [(5.0, [5.0])]
    assert idx.search([0.0], k=10, filter=("c", "y")) == [(5.0, [5.0]), (6.0, [6.0])]
    assert idx.search([0.0], k=10, filter=("c", "x")) == [(0.0, [0.0])]
    assert idx.search([0.0], k=10, filter=("c", "z")) == []


@pytest.mark.parametrize("layers", [1, None])
def test_only_node_failing_gives_nothing(layers):
    idx = PyHNSW(2, metric="angular", schema=["c"], layers=layers)
    idx.insert([1.0, 0.0], metadata=[("c", 1)])
    assert idx.search([1.0, 0.0], k=5, filter=("c", 2)) == []
    assert idx.search([1.0, 0.0], k=0, filter=("c", 1.0)) == []
    assert idx.search([1.0, 0.0], k=0, filter=("c", 1)) == [(1.0, [1.0, 0.0])]


@pytest.mark.parametrize("layers", [1, None])
def test_nodes_without_records_never_pass(layers):
    idx = PyHNSW(1, metric="euclidean", schema=["c"], layers=layers)
    idx.insert([0.0])  # the entry node, without a record
    idx.insert([1.0], metadata=[("c", "a")])
    idx.insert([2.0])
    idx.create([[3.0], [4.0]])
    idx.create([[5.0]], metadata=[[("c", "a")]])
    idx.insert([6.0], metadata=[("c", "b")])
    assert ids(idx.search([2.0], k=10, filter=("c", "a"))) == [1, 5]
    assert ids(idx.search([0.0], k=1, filter=("c", "a"))) == [1]
    assert ids(idx.search([0.0], k=10, filter=("c", "b"))) == [6]
    assert len(idx.search([0.0], k=10)) == 7


@pytest.mark.parametrize("ef_search", [1, 2])
def test_failing_start_node_pushed_out_of_a_full_list(ef_search):
    # The start node (node 0) fails the filter and is pushed out of the result list
    # by passing nodes; the output holds the passing nodes found, nearest first.
    out = run_case(
        f"""
        idx = PyHNSW(1, metric="euclidean", layers=1, ef_search={ef_search}, schema=["c"])
        idx.insert([0.0], metadata=[("c", "x")])
        for v in (5.0, 6.0, 7.0):
            idx.insert([v], metadata=[("c", "y")])
        print([idx.search([5.0], k=k, filter=("c", "y")) for k in (0, 1, 10)])
        """
    )
    best = [(0.0, [5.0]), (1.0, [6.0])][:ef_search]
    assert out == repr([best[:1], best[:1], best])


@pytest.mark.parametrize("layers, ef_search", [(1, 10), (2, 20), (None, None)])
def test_filtered_results_only_contain_passing_nodes(layers, ef_search):
    # Larger index, many queries whose filter fails at the entry node (node 0).
    out = run_case(
        f"""
        rnd = random.Random(11)
        dim = 8
        idx = PyHNSW(dim, metric="euclidean", layers={layers}, ef_search={ef_search}, schema=["group", "tag"])
        groups = {{}}
        for i in range(1000):
            v = [float(i)] + [rnd.gauss(0.0, 1.0) for _ in range(dim - 1)]
            g = i % 3 if i else 0
            groups[i] = g
            idx.insert(v, metadata=[("group", g), ("tag", "t%d" % (i % 7))])
        bad = 0
        returned = 0
        for j in range(120):
            q = [rnd.uniform(0, 1000)] + [rnd.gauss(0.0, 1.0) for _ in range(dim - 1)]
            g = 1 + j % 2
            for k in (1, 10, 50):
                res = idx.search(q, k=k, filter=("group", g))
                returned += len(res)
                bad += sum(1 for _, v in res if groups[int(v[0])] != g)
                dists = [d for d, _ in res]
                assert dists == sorted(dists)
                assert len(res) <= k
        print(bad, returned)
        """,
        timeout=300,
    )
    bad, returned = map(int, out.split())
    assert bad == 0
    assert returned > 0


# ================================================================ access conflicts during filter conversion


def caught(fn, log):
    try:
        fn()
    except Exception as exc:  # noqa: BLE001 - the inner call's error is the point
        log.append((type(exc), str(exc)))
    else:
        log.append(None)


def small():
    idx = PyHNSW(1, metric="euclidean", layers=1, schema=["v"])
    idx.insert([0.0], metadata=[("v", 1)])
    idx.insert([1.0], metadata=[("v", 2)])
    idx.insert([2.0], metadata=[("v", 2.5)])
    return idx


@pytest.mark.parametrize("inner", ["insert", "create"])
def test_exclusive_call_from_filter_value_caught(inner):
    idx = small()
    log = []
    call = {"insert": lambda: idx.insert([9.0]), "create": lambda: idx.create([[9.0]])}[inner]

    class Value:
        def __index__(self):
            caught(call, log)
            return 2

    assert idx.search([0.0], k=5, filter=("v", Value())) == [(1.0, [1.0])]
    assert log == [(RuntimeError, "Already borrowed")]
    assert len(idx.search([0.0], k=10)) == 3


@pytest.mark.parametrize("inner", ["insert", "create"])
def test_exclusive_call_from_filter_value_uncaught(inner):
    idx = small()
    call = {"insert": lambda: idx.insert([9.0]), "create": lambda: idx.create([[9.0]])}[inner]

    class Value:
        def __index__(self):
            call()
            return 2

    class ValueWithFloat(Value):
        def __float__(self):
            return 2.5

    # the RuntimeError is discarded by the conversion order
    exc = raises_exactly(ValueError, UNSUPPORTED_FILTER, idx.search, [0.0], k=5, filter=("v", Value()))
    assert exc.__context__ is None
    assert idx.search([0.0], k=5, filter=("v", ValueWithFloat())) == [(2.0, [2.0])]
    assert len(idx.search([0.0], k=10)) == 3
    idx.insert([3.0], metadata=[("v", 2)])
    assert ids(idx.search([0.0], k=10, filter=("v", 2))) == [1, 3]


def test_search_from_filter_value_shares_the_index():
    idx = small()
    inner = []

    class Value:
        def __index__(self):
            inner.append(idx.search([2.0], k=5, filter=("v", 2.5)))
            return 1

    assert idx.search([0.0], k=5, filter=("v", Value())) == [(0.0, [0.0])]
    assert inner == [[(0.0, [2.0])]]
    idx.insert([3.0], metadata=[("v", 1)])
