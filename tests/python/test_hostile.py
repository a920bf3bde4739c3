"""Hostile input: extreme parameters, special floats, lying and mutating
sequences, conversions that raise or call back into the index, unusual
sequence and string types, numpy arrays of every kind, lone surrogates and
memory exhaustion. Nothing may crash, hang or silently differ from what the
element-by-element conversion gives.
"""

import array
import gc
import math
import random
import threading
import os
import subprocess
import sys
import time
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

from tessra import PyFlat, PyHNSW

import model_support as ms

U64 = 2**64 - 1
EXTREMES = [0, 1, 2**63, U64]
SANITIZED = os.environ.get("TESSRA_SANITIZED") == "1"


def outcome(call):
    return ms.outcome(call)


def assert_same(actual, expected, what=""):
    ms.assert_same_outcome(actual, expected, what)


def raises_exactly(kind, message, call):
    got = outcome(call)
    assert got == ("error", kind, message), got


def graph(dim=3, schema=("a", "b"), **kwargs):
    """A one-layer graph index whose whole contents one search reads back."""
    kwargs.setdefault("ef_search", U64)
    return PyHNSW(dim, layers=1, metric="euclidean", schema=None if schema is None else list(schema), **kwargs)


FILTER_PROBES = [None, ("a", 1), ("a", "x"), ("a", 1.0), ("b", 2), ("b", "y")]


def contents(idx, dim):
    """Everything a search can tell about an index: every stored vector (and,
    for a graph index with a schema, which of them pass a few filters)."""
    probe = [0.125 * (i + 1) for i in range(dim)] if dim < 10**6 else [1.0]
    if isinstance(idx, PyFlat):
        return outcome(lambda: idx.search(probe, U64))
    return [outcome(lambda f=f: idx.search(probe, U64, f)) for f in FILTER_PROBES]


def same_state(a, b, dim):
    ca, cb = contents(a, dim), contents(b, dim)
    assert ms.same_value(ca, cb) or ca == cb, f"{ca!r} != {cb!r}"


# ====================================================================== parameters


@pytest.mark.parametrize("dim", EXTREMES)
def test_flat_dim_extremes(dim):
    idx = PyFlat(dim)
    if dim == 0:
        idx.insert([])
        idx.create([[], ()])
        raises_exactly(ValueError, "Search error: EmptyIndex", lambda: idx.search([]))
        raises_exactly(ValueError, "Expected query of length 0, got 1", lambda: idx.search([1.0]))
        return
    if dim == 1:
        idx.insert([2.0])
        idx.create([[1.0]])
        assert idx.search([0.0], U64) == [(1, 1.0), (0, 2.0)]
        return
    raises_exactly(ValueError, f"Expected vector of length {dim}, got 1", lambda: idx.insert([1.0]))
    raises_exactly(ValueError, f"Expected query of length {dim}, got 1", lambda: idx.search([1.0], U64))
    raises_exactly(ValueError, f"Vector length 1 does not match index dimension {dim}",
                   lambda: idx.create([[1.0]]))
    raises_exactly(ValueError, "Create error: EmptyVectors", lambda: idx.create([]))


@pytest.mark.parametrize("dim", EXTREMES)
def test_graph_dim_extremes(dim):
    if dim == 0:
        raises_exactly(ValueError, "Dimension must be at least 1", lambda: PyHNSW(0, metric="euclidean"))
        # The dimension is checked last: argument errors and the metric come first.
        raises_exactly(ValueError, "Unsupported metric", lambda: PyHNSW(0, metric="cosine"))
        raises_exactly(TypeError, "argument 'schema': Can't extract `str` to `Vec`",
                       lambda: PyHNSW(0, metric="cosine", schema="a"))
        return
    idx = PyHNSW(dim, metric="euclidean")
    if dim == 1:
        idx.insert([1.0])
        idx.create([[2.0], [3.0]])
        assert [d for d, _ in idx.search([0.0], 3)] == [1.0, 2.0, 3.0]
        return
    raises_exactly(ValueError, f"Expected vector of length {dim}, got 1", lambda: idx.insert([1.0]))
    raises_exactly(ValueError, f"Expected vector of length {dim}, got 1", lambda: idx.create([[1.0]]))
    assert idx.search([1.0], U64) == []


def _timed_fill(idx, count, dim, seed=7):
    rng = np.random.default_rng(seed)
    vectors = rng.standard_normal((count, dim)).tolist()
    start = time.perf_counter()
    for v in vectors:
        idx.insert(v)
    for v in vectors[:50]:
        idx.search(v, 5)
    return time.perf_counter() - start, vectors


def _check_results(result, query, metric, stored, k, ef):
    assert len(result) <= max(k, 1) and len(result) <= ef
    keys = [ms.distance_key(d) for d, _ in result]
    assert keys == sorted(keys)
    for d, v in result:
        assert v in stored
        assert ms.same_float(d, metric(query, v))


@pytest.mark.parametrize("layers", [1, 2**63, U64])
def test_huge_layer_counts_cost_nothing(layers):
    """Levels come from e^-j weights, so almost every node sits low: a huge
    layer count must neither allocate per layer nor slow anything down."""
    baseline, _ = _timed_fill(PyHNSW(4, layers=5, metric="euclidean", ef_construction=20), 300, 4)
    idx = PyHNSW(4, layers=layers, metric="euclidean", ef_construction=20)
    took, vectors = _timed_fill(idx, 300, 4)
    assert took < 5 * baseline + 1.0, (took, baseline)
    for q in vectors[:20]:
        _check_results(idx.search(q, 10), q, ms.euclidean, vectors, 10, 50)
    # Many such indexes at once: each is small.
    many = [PyHNSW(2, layers=layers, metric="euclidean") for _ in range(2000)]
    for h in many[:100]:
        h.insert([1.0, 2.0])
        assert h.search([1.0, 2.0]) == [(0.0, [1.0, 2.0])]


def test_zero_layers():
    idx = PyHNSW(2, layers=0, metric="euclidean", schema=["b"])
    assert idx.search([1.0, 2.0]) == []
    for i in range(50):
        idx.insert([float(i), 1.0])
    raises_exactly(ValueError, "Search error: InvalidLayer", lambda: idx.search([1.0, 2.0]))
    raises_exactly(ValueError, "Search error: InvalidLayer", lambda: idx.search([1.0, 2.0], 0, ("a", 1)))


@pytest.mark.parametrize("m", EXTREMES)
def test_m_has_no_effect(m):
    a = PyHNSW(3, layers=1, m=m, metric="euclidean", ef_search=U64)
    b = PyHNSW(3, layers=1, metric="euclidean", ef_search=U64)
    for i in range(40):
        v = [float(i % 7), float(i % 3), -float(i)]
        a.insert(v)
        b.insert(v)
    assert a.search([0.0, 0.0, 0.0], U64) == b.search([0.0, 0.0, 0.0], U64)


@pytest.mark.parametrize("layers", [1, 5])
def test_zero_ef_construction_stores_nothing_on_failure(layers):
    idx = PyHNSW(2, layers=layers, ef_construction=0, metric="euclidean", schema=["a"], ef_search=U64)
    idx.insert([1.0, 1.0], [("a", 1)])
    for _ in range(3):
        raises_exactly(ValueError, "Insert error: InvalidEF", lambda: idx.insert([2.0, 2.0], [("a", 1)]))
    assert idx.search([0.0, 0.0], U64) == [(math.sqrt(2.0), [1.0, 1.0])]
    assert idx.search([0.0, 0.0], U64, ("a", 1)) == [(math.sqrt(2.0), [1.0, 1.0])]
    fresh = PyHNSW(2, layers=layers, ef_construction=0, metric="euclidean", ef_search=U64)
    raises_exactly(ValueError, "Create error: InvalidEF", lambda: fresh.create([[1.0, 0.0], [2.0, 0.0], [3.0, 0.0]]))
    assert fresh.search([0.0, 0.0], U64) == [(1.0, [1.0, 0.0])]


@pytest.mark.parametrize("ef", [1, 2**63, U64])
@pytest.mark.parametrize("layers", [1, 3])
def test_huge_ef_construction_never_presizes(ef, layers):
    idx = PyHNSW(3, layers=layers, ef_construction=ef, ef_search=ef, metric="euclidean")
    took, vectors = _timed_fill(idx, 200, 3)
    for q in vectors[:10]:
        _check_results(idx.search(q, U64), q, ms.euclidean, vectors, U64, ef)


@pytest.mark.parametrize("ef_search", EXTREMES)
def test_ef_search_extremes(ef_search):
    idx = PyHNSW(2, layers=1, ef_search=ef_search, metric="euclidean")
    assert idx.search([0.0, 0.0], U64) == []
    for i in range(30):
        idx.insert([float(i), 0.0])
    if ef_search == 0:
        raises_exactly(ValueError, "Search error: InvalidEF", lambda: idx.search([0.0, 0.0]))
        return
    got = idx.search([0.0, 0.0], U64)
    assert len(got) == min(ef_search, 30)
    assert got[0] == (0.0, [0.0, 0.0])


@pytest.mark.parametrize("k", EXTREMES)
def test_k_extremes(k):
    flat = PyFlat(2)
    hnsw = graph(2, schema=None)
    for i in range(5):
        flat.insert([float(i), 0.0])
        hnsw.insert([float(i), 0.0])
    want = min(max(k, 1), 5)
    assert flat.search([0.0, 0.0], k) == [(i, float(i)) for i in range(want)]
    assert hnsw.search([0.0, 0.0], k) == [(float(i), [float(i), 0.0]) for i in range(want)]
    for bad, kind in [(-1, OverflowError), (2**64, OverflowError), (1.0, TypeError)]:
        assert outcome(lambda: flat.search([0.0, 0.0], bad))[1] is kind
        assert outcome(lambda: hnsw.search([0.0, 0.0], bad))[1] is kind


# ====================================================================== special floats

SPECIALS = [0.0, -0.0, ms.NAN, ms.INF, -ms.INF, 5e-324, -5e-324, 2.2250738585072014e-308, 1e308, -1e308, 1.0]


def _special_vectors(dim=3):
    out = []
    for i, x in enumerate(SPECIALS):
        out.append([x, SPECIALS[(i * 3 + 1) % len(SPECIALS)], SPECIALS[(i * 5 + 2) % len(SPECIALS)]][:dim])
    out.append([0.0] * dim)
    out.append([-0.0] * dim)
    return out


@pytest.mark.parametrize("metric", [None, "inner_product", "cosine"])
def test_flat_special_components_match_the_model(metric):
    idx, model = PyFlat(3, metric), ms.FlatModel(3, metric)
    for v in _special_vectors():
        idx.insert(v)
        model.insert(v)
    for q in _special_vectors():
        for k in (1, 4, U64):
            assert_same(outcome(lambda: idx.search(q, k)), outcome(lambda: model.search(q, k)), repr(q))


@pytest.mark.parametrize("metric", ["euclidean", "angular", "inner_product"])
def test_graph_special_components_match_the_model(metric):
    idx = PyHNSW(3, layers=1, metric=metric, ef_search=4)
    model = ms.HNSWModel(3, layers=1, metric=metric, ef_search=4)
    for v in _special_vectors():
        idx.insert(v)
        model.insert(v)
    for q in _special_vectors():
        for k in (1, 3, U64):
            assert_same(outcome(lambda: idx.search(q, k)), outcome(lambda: model.search(q, k)), repr(q))


@pytest.mark.parametrize("metric", [None, "euclidean", "inner_product", "cosine"])
def test_flat_zero_vectors(metric):
    idx = PyFlat(2, metric)
    idx.create([[0.0, 0.0], [1.0, 2.0], [-0.0, 0.0], [-3.0, 1.0]])
    model = ms.FlatModel(2, metric)
    model.create([[0.0, 0.0], [1.0, 2.0], [-0.0, 0.0], [-3.0, 1.0]])
    for q in ([0.0, 0.0], [1.0, 1.0], [-0.0, -0.0]):
        got = idx.search(q, U64)
        assert_same(("ok", got), outcome(lambda: model.search(q, U64)))
        if metric == "cosine":
            # every zero vector (or a zero query) gives NaN, ranked last
            assert all(math.isnan(d) for _, d in got[-2:])


@pytest.mark.parametrize("metric", ["euclidean", "angular", "inner_product"])
def test_graph_zero_vectors(metric):
    idx = PyHNSW(2, layers=1, metric=metric, ef_search=U64)
    model = ms.HNSWModel(2, layers=1, metric=metric, ef_search=U64)
    for v in ([0.0, 0.0], [1.0, 2.0], [-0.0, 0.0], [-3.0, 1.0]):
        idx.insert(v)
        model.insert(v)
    for q in ([0.0, 0.0], [1.0, 1.0], []):
        assert_same(outcome(lambda: idx.search(q, U64)), outcome(lambda: model.search(q, U64)))


# ====================================================================== lying and failing sequences


class Seq:
    """A sequence (it has __getitem__) over `items`, with a __len__ that may lie
    or fail, and an element access that may fail at one position."""

    def __init__(self, items, length=None, len_error=None, fail_at=None, error=None):
        self.items, self.length, self.len_error = list(items), length, len_error
        self.fail_at, self.error = fail_at, error

    def __len__(self):
        if self.len_error is not None:
            raise self.len_error
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise self.error
        return self.items[i]


class IterSeq(Seq):
    """The same, iterated through __iter__ instead of __getitem__."""

    def __iter__(self):
        for i in range(len(self.items)):
            if i == self.fail_at:
                raise self.error
            yield self.items[i]


class Odd(Exception):
    pass


class OddBase(BaseException):
    pass


class TypeErrorSub(TypeError):
    pass


class BadInt(int):
    pass


LIES = [
    dict(length=2**62),
    dict(length=sys.maxsize),
    dict(length=0),
    dict(length=1),
    dict(length=-1),
    dict(length=2**70),
    dict(length=BadInt(5)),
    dict(len_error=Odd("len")),
    dict(len_error=MemoryError()),
    dict(len_error=OddBase("len")),
    dict(len_error=TypeError("len")),
]
MIDWAY = [
    dict(fail_at=1, error=Odd("midway")),
    dict(fail_at=0, error=TypeError("midway type")),
    dict(fail_at=1, error=TypeErrorSub("midway subtype")),
    dict(fail_at=2, error=OddBase("midway base")),
    dict(fail_at=1, error=KeyError("k")),
    dict(fail_at=1, error=StopIteration()),
]

# Each entry point: a factory for a fresh index, the call, and a plain argument.
ENTRY_POINTS = {
    "flat.insert": (lambda: PyFlat(3), lambda idx, x: idx.insert(x), [1.0, 2.0, 3.0], 3),
    "flat.search": (lambda: _filled(PyFlat(3)), lambda idx, x: idx.search(x, 3), [1.0, 2.0, 3.0], 3),
    "flat.create": (lambda: PyFlat(2), lambda idx, x: idx.create(x), [[1.0, 2.0], [3.0, 4.0], (5, 6)], 2),
    "flat.create.inner": (lambda: PyFlat(3), lambda idx, x: idx.create([[0.0, 0.0, 0.0], x]), [1.0, 2.0, 3.0], 3),
    "graph.insert": (lambda: graph(), lambda idx, x: idx.insert(x), [1.0, 2.0, 3.0], 3),
    "graph.search": (lambda: _filled(graph()), lambda idx, x: idx.search(x, 3), [1.0, 2.0, 3.0], 3),
    "graph.create": (lambda: graph(2), lambda idx, x: idx.create(x), [[1.0, 2.0], [3.0, 4.0], (5, 6)], 2),
    "graph.metadata": (lambda: graph(), lambda idx, x: idx.insert([1.0, 1.0, 1.0], x),
                       [("a", 1), ("b", "y"), ("z", None)], 3),
    "graph.create.metadata": (lambda: graph(), lambda idx, x: idx.create([[1.0] * 3, [2.0] * 3, [3.0] * 3], x),
                              [[("a", 1), ("b", 2)], [("a", "x"), ("b", "y")], (("a", 1.0), ("b", 2))], 3),
    "graph.create.metadata.inner": (lambda: graph(), lambda idx, x: idx.create([[1.0] * 3], [x]),
                                    [("a", 1), ("b", "y"), ("z", None)], 3),
    "graph.schema": (None, lambda _, x: _schema_probe(x), ["a", "b", "c"], 0),
}


def _filled(idx):
    for v in ([0.0, 0.0, 0.0], [1.0, 2.0, 2.0], [3.0, 1.0, 0.0], [-1.0, 5.0, 2.0]):
        idx.insert(v)
    return idx


def _schema_probe(schema):
    """What a constructor made of `schema`: which attribute names a search resolves."""
    idx = PyHNSW(1, layers=1, metric="euclidean", schema=schema)
    idx.insert([0.0])
    found = []
    for name in ("a", "b", "c"):
        try:
            idx.search([0.0], 1, (name, 0))
            found.append(name)
        except ValueError as exc:
            found.append(str(exc))
    return found


def _compare(entry, hostile, plain):
    factory, call, _, dim = ENTRY_POINTS[entry]
    a = factory() if factory else None
    b = factory() if factory else None
    got = outcome(lambda: call(a, hostile))
    want = outcome(lambda: call(b, plain))
    assert_same(got, want, entry)
    if a is not None:
        same_state(a, b, dim)
    return got


@pytest.mark.parametrize("entry", ENTRY_POINTS)
@pytest.mark.parametrize("kind", [Seq, IterSeq])
@pytest.mark.parametrize("lie", LIES, ids=repr)
def test_lying_len_changes_nothing(entry, kind, lie):
    items = ENTRY_POINTS[entry][2]
    got = _compare(entry, kind(items, **lie), items)
    assert got[0] == "ok"


@pytest.mark.parametrize("entry", ENTRY_POINTS)
@pytest.mark.parametrize("kind", [Seq, IterSeq])
@pytest.mark.parametrize("midway", MIDWAY, ids=repr)
def test_iteration_failing_midway(entry, kind, midway):
    items = ENTRY_POINTS[entry][2]
    factory, call, _, dim = ENTRY_POINTS[entry]
    hostile = kind(items, **midway)
    if isinstance(midway["error"], StopIteration) and kind is Seq:
        # Through __getitem__, StopIteration ends the sequence, as in a for loop.
        _compare(entry, hostile, items[: midway["fail_at"]])
        return
    a, b = (factory(), factory()) if factory else (None, None)
    got = outcome(lambda: call(a, hostile))
    error = midway["error"]
    if isinstance(error, StopIteration):
        # A generator turns a StopIteration inside it into RuntimeError.
        error = RuntimeError("generator raised StopIteration")
    name = {"flat.create.inner": "vectors", "graph.create.metadata.inner": "metadata",
            "graph.create.metadata": "metadata", "graph.metadata": "metadata", "graph.schema": "schema",
            "flat.insert": "vector", "graph.insert": "vector", "flat.search": "query", "graph.search": "query",
            "flat.create": "vectors", "graph.create": "vectors"}[entry]
    if type(error) is TypeError:
        want = ("error", TypeError, f"argument '{name}': {error}")
    else:
        want = ("error", type(error), str(error))
    assert got == want
    if a is not None:
        same_state(a, b, dim)  # nothing stored by the failed call


@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_non_sequences_are_refused(entry):
    for bad in ({1.0}, {"a": 1.0}, (x for x in [1.0]), None, 3, 3.0, object()):
        _compare(entry, bad, _Reference(bad))


class _Reference:
    """Stands for `obj` in the plain call: the same refusal must come out."""

    def __new__(cls, obj):
        return obj


# ====================================================================== conversions that misbehave


class Num:
    """A number whose __float__ and __index__ do what they are told."""

    def __init__(self, float_result=None, index_result=None, error=None):
        self.float_result, self.index_result, self.error = float_result, index_result, error

    def __float__(self):
        if self.error is not None:
            raise self.error
        return self.float_result

    def __index__(self):
        if self.error is not None:
            raise self.error
        return self.index_result


class FloatOnly:
    def __init__(self, result):
        self.result = result

    def __float__(self):
        return self.result


class IndexOnly:
    def __init__(self, result):
        self.result = result

    def __index__(self):
        return self.result


class FloatSub(float):
    pass


class IntSub(int):
    pass


BAD_NUMBERS = [
    Num(error=Odd("float")),
    Num(error=TypeError("plain type error")),
    Num(error=TypeErrorSub("sub type error")),
    Num(error=OddBase("base")),
    Num(error=KeyboardInterrupt()),
    Num(error=MemoryError()),
    Num(error=OverflowError("of")),
    Num(float_result=2.5, index_result=3),
    FloatOnly("x"),
    FloatOnly(3),
    FloatOnly(FloatSub(1.5)),
    FloatOnly(None),
    IndexOnly("x"),
    IndexOnly(1.5),
    IndexOnly(True),
    IndexOnly(IntSub(4)),
    IndexOnly(2**64),
    IndexOnly(-1),
    IndexOnly(2**63),
    FloatSub(ms.NAN),
    IntSub(2**64 - 1),
    Decimal("2.5"),
    Fraction(1, 3),
    np.float32(0.1),
    np.int64(-5),
    np.uint64(U64),
    np.bool_(True),
    np.float16(ms.INF),
    np.longdouble("1e-4000") if np.finfo(np.longdouble).tiny < 1e-4000 else np.longdouble(1e-300),
]


@pytest.fixture(params=range(len(BAD_NUMBERS)), ids=lambda i: type(BAD_NUMBERS[i]).__name__ + str(i))
def number(request):
    return BAD_NUMBERS[request.param]


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_numbers_as_vector_elements(number):
    for metric_index in (PyFlat(3), graph()):
        model = (ms.FlatModel(3, None) if isinstance(metric_index, PyFlat)
                 else ms.HNSWModel(3, layers=1, metric="euclidean", schema=["a", "b"], ef_search=U64))
        vector = [1.0, number, 2.0]
        assert_same(outcome(lambda: metric_index.insert(vector)), outcome(lambda: model.insert(vector)))
        assert_same(outcome(lambda: metric_index.create([vector])), outcome(lambda: model.create([vector])))
        if model.vectors:
            assert_same(outcome(lambda: metric_index.search(vector, 3)), outcome(lambda: model.search(vector, 3)))


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("where", ["dim", "layers", "m", "ef_construction", "ef_search"])
def test_numbers_as_unsigned_parameters(number, where):
    kwargs = dict(dim=2, layers=1, metric="euclidean")
    kwargs[where] = number
    assert_same(outcome(lambda: PyHNSW(**kwargs) and None), outcome(lambda: ms.HNSWModel(**kwargs) and None))
    if where == "dim":
        assert_same(outcome(lambda: PyFlat(number) and None), outcome(lambda: ms.FlatModel(number, None) and None))


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_numbers_as_k(number):
    flat, fmodel = _filled(PyFlat(3)), ms.FlatModel(3, None)
    hnsw, hmodel = _filled(graph()), ms.HNSWModel(3, layers=1, metric="euclidean", schema=["a", "b"], ef_search=U64)
    _filled(fmodel)
    _filled(hmodel)
    assert_same(outcome(lambda: flat.search([0.0, 0.0, 0.0], number)),
                outcome(lambda: fmodel.search([0.0, 0.0, 0.0], number)))
    assert_same(outcome(lambda: hnsw.search([0.0, 0.0, 0.0], number)),
                outcome(lambda: hmodel.search([0.0, 0.0, 0.0], number)))


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_numbers_as_metadata_and_filter_values(number):
    idx = graph(schema=("a",))
    model = ms.HNSWModel(3, layers=1, metric="euclidean", schema=["a"], ef_search=U64)
    for index in (idx, model):
        index.insert([0.0, 0.0, 0.0], [("a", 1)])
    call = lambda index: index.insert([1.0, 1.0, 1.0], [("a", number), ("b", number)])  # noqa: E731
    assert_same(outcome(lambda: call(idx)), outcome(lambda: call(model)))
    for value in (number, 1, 2.5, 3, U64, True, 0.1):
        assert_same(outcome(lambda: idx.search([0.0] * 3, U64, ("a", value))),
                    outcome(lambda: model.search([0.0] * 3, U64, ("a", value))))


# ====================================================================== calling back into the index


class CallsBack:
    """A number whose conversion calls `action` (typically on the index being
    converted for) and either swallows the resulting error or lets it out."""

    def __init__(self, action, catch, result=1.0):
        self.action, self.catch, self.result = action, catch, result
        self.seen = []

    def _run(self):
        try:
            self.seen.append(("ok", self.action()))
        except RuntimeError as exc:
            self.seen.append(("error", str(exc)))
            if not self.catch:
                raise

    def __float__(self):
        self._run()
        return float(self.result)

    def __index__(self):
        self._run()
        return int(self.result)


def _indexes():
    yield "flat", _filled(PyFlat(3))
    yield "graph", _filled(graph())


@pytest.mark.parametrize("catch", [True, False], ids=["caught", "uncaught"])
@pytest.mark.parametrize(
    "outer, inner, message",
    [
        ("insert", "search", "Already mutably borrowed"),
        ("insert", "insert", "Already borrowed"),
        ("insert", "create", "Already borrowed"),
        ("create", "search", "Already mutably borrowed"),
        ("create", "create", "Already borrowed"),
        ("search", "insert", "Already borrowed"),
        ("search", "create", "Already borrowed"),
        ("search", "search", None),
    ],
)
def test_conversion_calling_back_into_the_same_index(outer, inner, message, catch):
    for kind, idx in _indexes():
        before = contents(idx, 3)
        inner_call = {
            "search": lambda: idx.search([0.0, 0.0, 0.0], 2),
            "insert": lambda: idx.insert([9.0, 9.0, 9.0]),
            "create": lambda: idx.create([[9.0, 9.0, 9.0]]),
        }[inner]
        hostile = CallsBack(inner_call, catch, result=7.0)
        vector = [7.0, hostile, 7.0]
        outer_call = {
            "insert": lambda: idx.insert(vector),
            "create": lambda: idx.create([[7.0, 7.0, 7.0], vector]),
            "search": lambda: idx.search(vector, 3),
        }[outer]
        got = outcome(outer_call)
        if message is None:
            assert got[0] == "ok" and hostile.seen[0][0] == "ok", (kind, got, hostile.seen)
            continue
        assert hostile.seen == [("error", message)], (kind, hostile.seen)
        if catch:
            assert got[0] == "ok", (kind, got)
        else:
            assert got == ("error", RuntimeError, message), (kind, got)  # unlabelled
            assert contents(idx, 3) == before
        # The index is free again and works.
        idx.insert([5.0, 5.0, 5.0])
        assert idx.search([5.0, 5.0, 5.0], 1)[0][0 if kind == "graph" else 1] == 0.0


@pytest.mark.parametrize("catch", [True, False], ids=["caught", "uncaught"])
def test_k_calling_back(catch):
    for kind, idx in _indexes():
        hostile = CallsBack(lambda: idx.insert([1.0, 1.0, 1.0]), catch, result=2)
        got = outcome(lambda: idx.search([0.0, 0.0, 0.0], hostile))
        assert hostile.seen == [("error", "Already borrowed")]
        if catch:
            assert got[0] == "ok" and len(got[1]) == 2
        else:
            assert got == ("error", RuntimeError, "Already borrowed")
        nested = CallsBack(lambda: idx.search([0.0, 0.0, 0.0], CallsBack(lambda: idx.search([1.0] * 3), True)), True)
        assert outcome(lambda: idx.search([0.0, 0.0, 0.0], nested))[0] == "ok"
        assert nested.seen[0][0] == "ok"


@pytest.mark.parametrize("catch", [True, False], ids=["caught", "uncaught"])
def test_metadata_and_filter_values_calling_back(catch):
    """A metadata or filter value's conversion errors are discarded (the value
    then counts as unsupported), so a refused call-back shows up that way."""
    idx = _filled(graph(schema=("a",)))
    value = CallsBack(lambda: idx.search([0.0, 0.0, 0.0]), catch, result=4)
    got = outcome(lambda: idx.insert([4.0, 4.0, 4.0], [("a", value)]))
    assert value.seen[0] == ("error", "Already mutably borrowed")
    if catch:
        assert got == ("ok", None)
        assert [v for _, v in idx.search([0.0] * 3, U64, ("a", 4))] == [[4.0, 4.0, 4.0]]
    else:
        assert got == ("error", ValueError, "Unsupported metadata type for attribute 'a'")
    value = CallsBack(lambda: idx.insert([0.0, 0.0, 0.0]), catch, result=4)
    got = outcome(lambda: idx.search([0.0] * 3, U64, ("a", value)))
    assert value.seen[0] == ("error", "Already borrowed")
    if catch:
        assert got[0] == "ok" and [v for _, v in got[1]] == [[4.0, 4.0, 4.0]]
    else:
        assert got == ("error", ValueError, "Unsupported type for metadata filter")


def test_calling_into_another_index_is_fine():
    a, b = PyFlat(2), PyFlat(2)
    hostile = CallsBack(lambda: b.insert([1.0, 1.0]) or b.search([0.0, 0.0]), catch=False)
    a.insert([hostile, 2.0])
    assert hostile.seen == [("ok", [(0, math.sqrt(2.0))])]
    assert a.search([1.0, 2.0]) == [(0, 0.0)]


# ====================================================================== strings, bytes, buffers


class Str(str):
    pass


def test_str_subclasses():
    raises_exactly(TypeError, "argument 'vector': Can't extract `str` to `Vec`", lambda: PyFlat(3).insert(Str("abc")))
    raises_exactly(TypeError, "argument 'vectors': Can't extract `str` to `Vec`",
                   lambda: PyFlat(3).create([[1, 2, 3], Str("123")]))
    raises_exactly(TypeError, "argument 'schema': Can't extract `str` to `Vec`",
                   lambda: PyHNSW(3, metric="euclidean", schema=Str("ab")))
    # As text a str subclass is its text.
    cos = PyFlat(2, Str("cosine"))
    cos.insert([0.0, 0.0])
    assert math.isnan(cos.search([1.0, 0.0])[0][1])
    idx = PyHNSW(1, layers=1, metric=Str("inner_product"), schema=[Str("a")], ef_search=U64)
    idx.insert([2.0], [(Str("a"), Str("red"))])
    idx.insert([3.0], [("a", np.str_("blue"))])
    assert idx.search([1.0], U64, (Str("a"), "red")) == [(2.0, [2.0])]
    assert idx.search([1.0], U64, (np.str_("a"), Str("blue"))) == [(3.0, [3.0])]


BUFFERS = [
    b"\x01\x02\xff",
    bytearray(b"\x00\x80\x07"),
    memoryview(b"\x01\x02\x03"),
    memoryview(array.array("d", [1.5, ms.NAN, -0.0])),
    memoryview(array.array("q", [-(2**63), 0, 2**63 - 1])),
    memoryview(bytearray(24)).cast("d"),
    memoryview(b"abcdef").cast("B", (2, 3)),
    memoryview(b"abc")[::2],
    array.array("d", [1e308, ms.INF, 5e-324]),
    array.array("f", [0.1, -0.0, 3.0]),
    array.array("i", [-1, 2, 3]),
    array.array("Q", [U64, 2**63, 0]),
    array.array("b", [-128, 0, 127]),
    array.array("u", "abc"),
]


@pytest.mark.parametrize("buf", BUFFERS, ids=lambda b: type(b).__name__ + "-" + str(getattr(b, "format", getattr(b, "typecode", ""))))
@pytest.mark.parametrize("entry", ["flat.insert", "flat.search", "flat.create.inner", "graph.insert", "graph.search"])
def test_bytes_and_buffers_are_sequences(buf, entry):
    """Each gives exactly what iterating it gives (or that iteration's error)."""
    try:
        plain = [x for x in buf]
    except Exception as exc:  # noqa: BLE001 - e.g. multi-dimensional memoryviews
        got = outcome(lambda: ENTRY_POINTS[entry][1](ENTRY_POINTS[entry][0](), buf))
        name = {"flat.insert": "vector", "graph.insert": "vector", "flat.search": "query",
                "graph.search": "query", "flat.create.inner": "vectors"}[entry]
        want = (f"argument '{name}': {exc}" if type(exc) is TypeError else str(exc))
        assert got == ("error", type(exc), want)
        return
    _compare(entry, buf, plain)


def test_bytes_where_text_is_expected():
    raises_exactly(TypeError, "argument 'metric': 'bytes' object cannot be converted to 'PyString'",
                   lambda: PyFlat(2, b"cosine"))
    raises_exactly(TypeError, "argument 'schema': 'int' object cannot be converted to 'PyString'",
                   lambda: PyHNSW(2, metric="euclidean", schema=b"ab"))
    idx = graph(schema=("a",))
    raises_exactly(TypeError, "argument 'metadata': 'bytes' object cannot be converted to 'PyString'",
                   lambda: idx.insert([1.0] * 3, [(b"a", 1)]))
    raises_exactly(ValueError, "Unsupported metadata type for attribute 'a'",
                   lambda: idx.insert([1.0] * 3, [("a", b"1")]))
    raises_exactly(TypeError, "argument 'filter': 'bytes' object cannot be converted to 'PyString'",
                   lambda: idx.search([1.0] * 3, 1, (b"a", 1)))


# ====================================================================== numpy arrays

NUMERIC_DTYPES = ["float16", "float32", "float64", "longdouble", "int8", "int16", "int32", "int64",
                  "uint8", "uint16", "uint32", "uint64", "bool", "complex64", "complex128"]


def _values(dtype):
    dt = np.dtype(dtype)
    if dt.kind in "iu":
        info = np.iinfo(dt)
        return np.array([info.min, info.max, 0, 1, info.max // 3, 2], dtype=dt)
    if dt.kind == "f":
        info = np.finfo(dt)
        return np.array([ms.NAN, ms.INF, -ms.INF, info.tiny / 4, info.max, -0.0], dtype=dt)
    if dt.kind == "c":
        return np.array([1 + 2j, -0.0, complex(ms.NAN, 1), 3, 4j, 5], dtype=dt)
    return np.array([True, False, True, True, False, False], dtype=dt)


def _other_arrays():
    base = np.arange(6, dtype=np.float64) * 1.5 - 2
    out = {
        "object-numbers": np.array([1.0, Fraction(1, 3), Decimal("2.5"), 4, True, np.float32(0.5)], dtype=object),
        "object-bad": np.array([1.0, "x", 2.0, 3.0, 4.0, 5.0], dtype=object),
        "datetime": np.array(["2020-01-01"] * 6, dtype="datetime64[s]"),
        "timedelta": np.arange(6).astype("timedelta64[s]"),
        "strings": np.array(["1", "2", "3", "4", "5", "6"]),
        "structured": np.zeros(6, dtype=[("x", "f8"), ("y", "i4")]),
        "structured-field": _field_view(),
        "bytes-strings": np.array([b"1", b"2", b"3", b"4", b"5", b"6"]),
        "byteswapped-f8": base.astype(">f8"),
        "byteswapped-i4": np.arange(6, dtype=">i4"),
        "little-f8": base.astype("<f8"),
        "strided": np.arange(12, dtype=np.float64)[::2],
        "reversed": base[::-1],
        "zero-stride": np.broadcast_to(np.float64(2.5), (6,)),
        "readonly": base.copy(),
        "misaligned": np.frombuffer(b"\x00" + base.tobytes(), dtype=np.float64, count=6, offset=1),
        "empty": np.empty(0),
        "zero-d": np.array(1.5),
        "two-d": base.reshape(2, 3),
        "two-d-single": base.reshape(6, 1),
        "three-d": base.reshape(1, 2, 3),
        "masked": np.ma.array(base, mask=[0, 1, 0, 0, 0, 0]),
        "matrix-like-subclass": base.view(type("Sub", (np.ndarray,), {})),
    }
    out["readonly"].setflags(write=False)
    return out


def _field_view():
    """A float64 view with a 12-byte stride: one field of a packed record array."""
    records = np.zeros(6, dtype=[("x", "f8"), ("y", "i4")])
    records["x"] = [1.5, -2.0, ms.NAN, 4.0, 5e-324, -0.0]
    return records["x"]


def _all_arrays():
    arrays = {dt: _values(dt) for dt in NUMERIC_DTYPES}
    arrays.update(_other_arrays())
    return arrays


ARRAYS = _all_arrays()


@pytest.mark.filterwarnings("ignore")
@pytest.mark.parametrize("name", list(ARRAYS))
@pytest.mark.parametrize("entry", ["flat.insert", "flat.search", "graph.insert", "graph.search", "flat.create.inner"])
def test_numpy_vectors_convert_like_their_elements(name, entry):
    arr = ARRAYS[name]
    size = arr.shape[0] if arr.ndim else 0
    factories = {
        "flat.insert": (lambda: PyFlat(size), lambda idx, x: idx.insert(x), size),
        "flat.search": (lambda: PyFlat(size), lambda idx, x: (idx.insert([0.25] * size), idx.search(x, 3))[1], size),
        "graph.insert": (lambda: graph(max(size, 1)), lambda idx, x: idx.insert(x), max(size, 1)),
        "graph.search": (lambda: _graph_filled(max(size, 1)), lambda idx, x: idx.search(x, U64), max(size, 1)),
        "flat.create.inner": (lambda: PyFlat(size), lambda idx, x: idx.create([x, [0.5] * size]), size),
    }
    factory, call, dim = factories[entry]
    try:
        elements = [x for x in arr]  # the element-by-element reading
    except Exception as exc:  # noqa: BLE001 - 0-d arrays cannot be iterated
        got = outcome(lambda: call(factory(), arr))
        assert got[1] is type(exc) and str(exc) in got[2]
        return
    a, b = factory(), factory()
    got = outcome(lambda: call(a, arr))
    want = outcome(lambda: call(b, elements))
    assert_same(got, want, name)
    same_state(a, b, dim)


def _graph_filled(dim):
    idx = graph(dim, schema=None)
    for i in range(5):
        idx.insert([float(i) - 2.0] * dim)
    return idx


def _two_d(name):
    base = (np.arange(12, dtype=np.float64) * 0.75 - 3).reshape(3, 4)
    values = {dt: np.resize(_values(dt), 12).reshape(3, 4) for dt in NUMERIC_DTYPES}
    layouts = {
        "C": base,
        "F": np.asfortranarray(base),
        "transposed": base.T.copy().T,
        "column-strided": np.arange(24, dtype=np.float64).reshape(3, 8)[:, ::2],
        "row-strided": np.arange(24, dtype=np.float64).reshape(6, 4)[::2],
        "reversed": base[::-1, ::-1],
        "broadcast": np.broadcast_to(np.arange(4.0), (3, 4)),
        "no-rows": np.empty((0, 4)),
        "no-columns": np.empty((3, 0)),
        "byteswapped": base.astype(">f8"),
        "three-d": base.reshape(3, 1, 4),
        "three-d-wide": base.reshape(3, 2, 2),
        "one-d": base.ravel(),
        "object": base.astype(object),
        "float16-F": np.asfortranarray(base.astype(np.float16)),
    }
    layouts.update({f"dtype-{dt}": v for dt, v in values.items()})
    return layouts[name]


TWO_D = ["C", "F", "transposed", "column-strided", "row-strided", "reversed", "broadcast", "no-rows",
         "no-columns", "byteswapped", "three-d", "three-d-wide", "one-d", "object", "float16-F"] + [
    f"dtype-{dt}" for dt in NUMERIC_DTYPES]


@pytest.mark.filterwarnings("ignore")
@pytest.mark.parametrize("name", TWO_D)
@pytest.mark.parametrize("kind", ["flat", "graph"])
def test_numpy_vector_lists_convert_like_their_rows(name, kind):
    arr = _two_d(name)
    dim = arr.shape[-1] if arr.ndim >= 1 else 0
    factory = (lambda: PyFlat(dim)) if kind == "flat" else (lambda: graph(max(dim, 1), schema=None))
    try:
        rows = [[x for x in row] for row in arr]
    except Exception:  # noqa: BLE001 - rows that are scalars
        rows = [x for x in arr]
    a, b = factory(), factory()
    got = outcome(lambda: a.create(arr))
    want = outcome(lambda: b.create(rows))
    assert_same(got, want, name)
    same_state(a, b, max(dim, 1))


# ====================================================================== lone surrogates

LONE = "\ud800"
SURROGATE_ERROR = "'utf-8' codec can't encode character '\\ud800' in position 1: surrogates not allowed"


def test_lone_surrogates():
    bad = "x" + LONE
    raises_exactly(UnicodeEncodeError, SURROGATE_ERROR, lambda: PyFlat(2, bad))
    raises_exactly(UnicodeEncodeError, SURROGATE_ERROR, lambda: PyHNSW(2, metric=bad))
    raises_exactly(UnicodeEncodeError, SURROGATE_ERROR, lambda: PyHNSW(2, metric="euclidean", schema=["a", bad]))
    idx = graph(schema=("a",))
    raises_exactly(UnicodeEncodeError, SURROGATE_ERROR, lambda: idx.insert([1.0] * 3, [(bad, 1)]))
    raises_exactly(UnicodeEncodeError, SURROGATE_ERROR, lambda: idx.create([[1.0] * 3], [[("a", 1), (bad, 1)]]))
    raises_exactly(ValueError, "Unsupported metadata type for attribute 'a'", lambda: idx.insert([1.0] * 3, [("a", bad)]))
    raises_exactly(UnicodeEncodeError, SURROGATE_ERROR, lambda: idx.search([1.0] * 3, 1, (bad, 1)))
    raises_exactly(ValueError, "Unsupported type for metadata filter", lambda: idx.search([1.0] * 3, 1, ("a", bad)))
    raises_exactly(TypeError, f"PyFlat.search() got an unexpected keyword argument '{bad}'",
                   lambda: PyFlat(1).search([1.0], **{bad: 1}))
    raises_exactly(TypeError, f"PyHNSW.__new__() got an unexpected keyword argument '{bad}'",
                   lambda: PyHNSW(1, **{bad: 1}))
    assert idx.search([1.0] * 3) == []  # nothing was stored


def test_names_with_nul_and_non_ascii_text():
    schema = ["a\x00b", "é€😀"]
    idx = PyHNSW(1, layers=1, metric="euclidean", schema=schema, ef_search=U64)
    raises_exactly(ValueError, "Missing metadata for attribute 'a\x00b'", lambda: idx.insert([1.0], []))
    raises_exactly(ValueError, "Unsupported metadata type for attribute 'é€😀'",
                   lambda: idx.insert([1.0], [("a\x00b", 1), ("é€😀", None)]))
    idx.insert([1.0], [("a\x00b", "x\x00y"), ("é€😀", "😀")])
    idx.insert([2.0], [("a\x00b", "x"), ("é€😀", "😀")])
    assert idx.search([0.0], U64, ("a\x00b", "x\x00y")) == [(1.0, [1.0])]
    raises_exactly(ValueError, "Search error: AttributeNotFound", lambda: idx.search([0.0], U64, ("a", "x")))
    assert [v for _, v in idx.search([0.0], U64, ("é€😀", "😀"))] == [[1.0], [2.0]]


# ====================================================================== lists mutated while converted


class Mutates:
    """A number whose conversion runs `action` once (on its own container)."""

    def __init__(self, value=7.0):
        self.value, self.action = value, None

    def __float__(self):
        action, self.action = self.action, None
        if action is not None:
            action()
        return self.value


MUTATIONS = {
    "clear": lambda lst: lst.clear(),
    "pop": lambda lst: lst.pop(),
    "shrink-to-one": lambda lst: lst.__delitem__(slice(1, None)),
    "append": lambda lst: lst.append(8.0),
    "grow-a-lot": lambda lst: lst.extend([9.0] * 10000),
    "replace-next": lambda lst: lst.__setitem__(slice(2, 3), ["bad"]),
    "replace-self": lambda lst: lst.__setitem__(1, 0.5),
    "reverse": lambda lst: lst.reverse(),
    "swap-contents": lambda lst: lst.__setitem__(slice(None), [Mutates(1.0), 2.0, 3.0]),
}


def _mutating_vector(mutation):
    m = Mutates()
    lst = [1.0, m, 3.0, 4.0]
    m.action = lambda: MUTATIONS[mutation](lst)
    return lst


@pytest.mark.parametrize("mutation", MUTATIONS)
@pytest.mark.parametrize("entry", ["flat.insert", "flat.search", "graph.insert", "graph.search"])
def test_list_mutated_by_its_own_element(mutation, entry):
    dims = {"clear": 2, "pop": 3, "shrink-to-one": 2, "append": 5, "grow-a-lot": 10004, "reverse": 4,
            "replace-next": 4, "replace-self": 4, "swap-contents": 4}
    plain = ms.outcome(lambda: ms.labelled("x", ms.as_doubles, _mutating_vector(mutation)))
    dim = dims[mutation]
    factory = {"flat.insert": lambda: PyFlat(dim), "flat.search": lambda: PyFlat(dim),
               "graph.insert": lambda: graph(dim), "graph.search": lambda: graph(dim)}[entry]
    idx, reference = factory(), factory()
    if entry.endswith("search"):
        for index in (idx, reference):
            index.insert([0.5] * dim)
    call = (lambda index, x: index.insert(x)) if entry.endswith("insert") else (lambda index, x: index.search(x, 2))
    got = outcome(lambda: call(idx, _mutating_vector(mutation)))
    if plain[0] == "error":
        name = "vector" if entry.endswith("insert") else "query"
        assert got[0] == "error" and got[1] is plain[1]
        assert got[2] == plain[2].replace("argument 'x'", f"argument '{name}'")
    else:
        want = outcome(lambda: call(reference, plain[1]))
        assert_same(got, want, mutation)
    same_state(idx, reference, dim)


@pytest.mark.parametrize("mutation", ["clear", "pop", "append", "replace-next"])
def test_outer_list_mutated_by_an_inner_element(mutation):
    def make():
        m = Mutates()
        outer = [[1.0, 1.0], [2.0, m], [3.0, 3.0], [4.0, 4.0]]
        m.action = lambda: MUTATIONS[mutation](outer)
        return outer

    plain = ms.outcome(lambda: ms.as_vector_list(make()))
    for factory in (lambda: PyFlat(2), lambda: graph(2, schema=None)):
        idx, reference = factory(), factory()
        got = outcome(lambda: idx.create(make()))
        if plain[0] == "error":
            assert got[0] == "error" and got[1] is plain[1]
        else:
            assert_same(got, outcome(lambda: reference.create(plain[1])))
        same_state(idx, reference, 2)


def test_metadata_list_emptied_during_value_conversion():
    class Clears:
        def __init__(self, target):
            self.target = target

        def __index__(self):
            self.target.clear()
            return 5

    idx = graph(schema=("a", "b"))
    pairs = [("a", None), ("b", 2)]
    pairs[0] = ("a", Clears(pairs))
    idx.insert([1.0, 1.0, 1.0], pairs)
    assert pairs == []
    assert [v for _, v in idx.search([0.0] * 3, U64, ("a", 5))] == [[1.0, 1.0, 1.0]]
    outer = [[("a", 1), ("b", 2)]]
    outer[0][0] = ("a", Clears(outer))
    idx.create([[2.0] * 3], outer)
    assert [v for _, v in idx.search([0.0] * 3, U64, ("a", 5))] == [[1.0, 1.0, 1.0], [2.0, 2.0, 2.0]]


# ====================================================================== memory exhaustion

MEMORY_SCRIPT = r"""
import resource, sys
import numpy as np
import tessra

def vm_size():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

limit = vm_size() + 400 * 2**20
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

flat = tessra.PyFlat(3)
flat.insert([1.0, 2.0, 3.0])
graph = tessra.PyHNSW(3, layers=1, metric="euclidean")
graph.insert([1.0, 2.0, 3.0])
huge = np.broadcast_to(np.float64(1.0), (10**9,))            # 8 GB when read, no memory now
huge_rows = np.broadcast_to(np.float64(1.0), (10**5, 10**4))
cases = {
    "flat.insert(range)": lambda: flat.insert(range(10**9)),
    "flat.insert(array)": lambda: flat.insert(huge),
    "flat.search(array)": lambda: flat.search(huge),
    "flat.create(rows)": lambda: flat.create(huge_rows),
    "flat.create([array])": lambda: flat.create([huge]),
    "graph.insert(array)": lambda: graph.insert(huge),
    "graph.search(array)": lambda: graph.search(huge),
    "graph.create(rows)": lambda: graph.create(huge_rows),
}
for name, call in cases.items():
    try:
        call()
    except MemoryError:
        print(name, "MemoryError")
    else:
        print(name, "no error")
    sys.stdout.flush()
print(flat.search([1, 2, 3], 10), graph.search([1, 2, 3], 10))
"""


@pytest.mark.skipif(SANITIZED, reason="address-space limits do not work under AddressSanitizer")
def test_memory_exhaustion_raises_memory_error():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT], capture_output=True, text=True, timeout=300, env=env)
    assert proc.returncode == 0, proc.stderr[-3000:]
    lines = proc.stdout.splitlines()
    assert [line.split()[-1] for line in lines[:-1]] == ["MemoryError"] * 8, proc.stdout
    assert lines[-1] == "[(0, 0.0)] [(0.0, [1.0, 2.0, 3.0])]"


# ====================================================================== threads, finalizers, deep nesting


class Yields:
    """A number whose conversion lets other threads run."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


def test_threads_sharing_indexes():
    """Conversions that release the interpreter lock let other threads in while
    a call holds its access: they must be refused at once, never corrupt."""
    flat = PyFlat(2)
    hnsw = PyHNSW(2, layers=1, metric="euclidean", schema=["t"], ef_search=U64)
    stored_flat, stored_graph, errors, unexpected = [], [], [], []

    def worker(t):
        rng = random.Random(t)
        for i in range(150):
            v = [Yields(float(t)), Yields(float(i))]
            op = rng.random()
            try:
                if op < 0.3:
                    flat.insert(v)
                    stored_flat.append((float(t), float(i)))
                elif op < 0.5:
                    hnsw.insert(v, [("t", t)])
                    stored_graph.append((float(t), float(i)))
                elif op < 0.75:
                    flat.search(v, 3)
                else:
                    for _, found in hnsw.search(v, 5, ("t", t)):
                        if found[0] != float(t):
                            unexpected.append(found)
            except RuntimeError as exc:
                errors.append(str(exc))
            except ValueError as exc:  # a search before any insert
                if str(exc) != "Search error: EmptyIndex":
                    unexpected.append(exc)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(t,)) for t in range(6)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
    finally:
        sys.setswitchinterval(interval)
    assert not unexpected
    assert set(errors) <= {"Already borrowed", "Already mutably borrowed"}
    assert errors, "no conflict happened: the test did not interleave calls"
    got = sorted(tuple(v) for _, v in hnsw.search([0.0, 0.0], U64))
    assert got == sorted(stored_graph)
    assert len(flat.search([0.0, 0.0], U64)) == len(stored_flat)


def test_finalizers_calling_into_the_index_during_calls():
    """A collection can run inside any allocation a call makes (conversion,
    results), and with it finalizers that call the same index."""
    idx = _filled(graph(schema=("a",)))
    flat = _filled(PyFlat(3))
    seen = []

    class Garbage:
        def __init__(self):
            self.me = self

        def __del__(self):
            for call in (lambda: idx.search([0.0] * 3, 2), lambda: idx.insert([1.0] * 3, [("a", 1)]),
                         lambda: flat.search([0.0] * 3, 2), lambda: flat.create([[2.0] * 3])):
                try:
                    call()
                    seen.append("ok")
                except RuntimeError as exc:
                    seen.append(str(exc))

    threshold = gc.get_threshold()
    gc.set_threshold(1, 1, 1)
    try:
        for i in range(200):
            Garbage()
            idx.search([Yields(0.5), 1.0, float(i)], 4, ("a", 1))
            Garbage()
            idx.insert([float(i), 0.0, 0.0], [("a", [Garbage()] and 1)])
            Garbage()
            flat.search([0.0, 0.0, float(i)], 5)
            Garbage()
            flat.create([[float(i), 1.0, 1.0], [Yields(1.0), 2.0, 3.0]])
    finally:
        gc.set_threshold(*threshold)
        gc.collect()
    assert set(seen) <= {"ok", "Already borrowed", "Already mutably borrowed"}
    assert "ok" in seen
    idx.insert([7.5, 7.5, 7.5], [("a", 7)])
    assert idx.search([7.5, 7.5, 7.5], 1) == [(0.0, [7.5, 7.5, 7.5])]
    # (a filtered search reaches it only through nodes that pass, if at all)
    assert idx.search([7.5, 7.5, 7.5], 1, ("a", 7)) in ([], [(0.0, [7.5, 7.5, 7.5])])


class TooDeep(Exception):
    pass


@pytest.mark.parametrize("kind", ["flat", "graph"])
def test_deeply_nested_shared_access_unwinds(kind):
    idx = _filled(PyFlat(3) if kind == "flat" else graph())
    depth = []

    class Deeper:
        def __float__(self):
            depth.append(1)
            if len(depth) > 150:
                raise TooDeep("bottom")
            idx.search([Deeper(), 0.0, 0.0], 2)
            return 0.0

    with pytest.raises(TooDeep):
        idx.search([Deeper(), 0.0, 0.0])
    assert len(depth) == 151
    idx.insert([1.0, 1.0, 1.0])  # every shared access was given back
    idx.create([[2.0, 2.0, 2.0]])
