"""Behaviour of the graph index PyHNSW: construction, insert/create/search, errors and their order."""

import math
import random

import pytest

from tessra import PyHNSW

from reference import NAN, INF, U64_MAX, cosine, dot, euclidean, run_isolated

NO_SCHEMA_METADATA = "No schema provided in HNSW instance; cannot use metadata"
LENGTH_MISMATCH = "Length of metadata list must match number of vectors"
STR_REFUSAL = "Can't extract `str` to `Vec`"

METRIC_FN = {"euclidean": euclidean, "angular": cosine, "inner_product": dot}
METRICS = list(METRIC_FN)


def raises_exactly(exc_type, message, fn, *args, **kwargs):
    """Call fn, require an exception of exactly exc_type carrying exactly message."""
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc_type, f"{type(info.value).__name__}: {info.value}"
    assert str(info.value) == message
    return info.value


def index(dim, metric="euclidean", **kwargs):
    return PyHNSW(dim, metric=metric, **kwargs)


def filled(dim, vectors, metric="euclidean", **kwargs):
    idx = index(dim, metric, **kwargs)
    for v in vectors:
        idx.insert(v)
    return idx


def hexd(d):
    if math.isnan(d):
        return "nan"
    return float.hex(d + 0.0)  # -0.0 and 0.0 are the same distance


def exact(results):
    """Results as comparable values: distances bit for bit, vectors as reprs (NaN-safe)."""
    return [(hexd(d), repr(v)) for d, v in results]


def brute(vectors, metric, query):
    """Every stored vector with its distance to `query`, smallest first, NaN last."""
    fn = METRIC_FN[metric]
    q = [float(x) for x in query]
    pairs = [(fn(q, [float(x) for x in v]), [float(x) for x in v]) for v in vectors]
    pairs.sort(key=lambda p: (math.isnan(p[0]), 0.0 if math.isnan(p[0]) else p[0]))
    return pairs


def grouped(results):
    """Results as runs of equal distances, each run an unordered set of vectors."""
    groups = []
    for d, v in results:
        key = hexd(d)
        if groups and groups[-1][0] == key:
            groups[-1][1].append(repr(v))
        else:
            groups.append((key, [repr(v)]))
    return [(key, sorted(vs)) for key, vs in groups]


def count(idx, dim):
    """Number of stored nodes (every node is reachable and ef_search is large in these tests)."""
    return len(idx.search([0.0] * dim, U64_MAX))


def rand_vectors(n, dim, seed):
    rnd = random.Random(seed)
    return [[rnd.uniform(-10, 10) for _ in range(dim)] for _ in range(n)]


# ================================================================ construction


@pytest.mark.parametrize(
    "kwargs",
    [
        {},
        {"metric": None},
        {"metric": "Euclidean"},
        {"metric": "EUCLIDEAN"},
        {"metric": "cosine"},
        {"metric": "Angular"},
        {"metric": "Inner_product"},
        {"metric": "inner-product"},
        {"metric": "dot"},
        {"metric": ""},
        {"metric": "euclidean "},
        {"metric": " euclidean"},
        {"metric": "euclidea"},
        {"metric": "euclidean\x00"},
        {"metric": "angular\x00x"},
        {"metric": "\uff45uclidean"},
        {"metric": None, "layers": 1, "schema": ["a"]},
        {"metric": "cosine", "layers": 0, "m": 0, "ef_construction": 0, "ef_search": 0, "schema": []},
    ],
    ids=repr,
)
def test_unsupported_metric(kwargs):
    exc = raises_exactly(ValueError, "Unsupported metric", PyHNSW, 4, **kwargs)
    assert exc.args == ("Unsupported metric",)
    assert exc.__cause__ is None


class MetricName(str):
    pass


@pytest.mark.parametrize("metric", METRICS + [MetricName("angular")])
def test_supported_metric_names(metric):
    idx = PyHNSW(3, metric=metric)
    idx.insert([1.0, 2.0, 3.0])
    assert len(idx.search([1.0, 2.0, 3.0])) == 1


@pytest.mark.parametrize(
    "args, kwargs, exc_type, message",
    [
        # every argument is converted before the metric is examined
        ((4,), {"metric": "bogus", "schema": "color"}, TypeError, f"argument 'schema': {STR_REFUSAL}"),
        ((4,), {"schema": "color"}, TypeError, f"argument 'schema': {STR_REFUSAL}"),
        ((4,), {"metric": "bogus", "schema": [1]}, TypeError,
         "argument 'schema': 'int' object cannot be converted to 'PyString'"),
        ((4,), {"metric": "bogus", "schema": {"a"}}, TypeError,
         "argument 'schema': 'set' object cannot be converted to 'Sequence'"),
        ((4,), {"metric": "bogus", "ef_search": -1}, OverflowError, "can't convert negative int to unsigned"),
        ((4,), {"metric": None, "layers": 1.5}, TypeError,
         "argument 'layers': 'float' object cannot be interpreted as an integer"),
        ((4,), {"metric": 5}, TypeError, "argument 'metric': 'int' object cannot be converted to 'PyString'"),
        # parameter order decides, not keyword order
        ((4,), {"schema": [1], "metric": 2}, TypeError,
         "argument 'metric': 'int' object cannot be converted to 'PyString'"),
        ((4,), {"ef_search": 1.5, "layers": -1}, OverflowError, "can't convert negative int to unsigned"),
        ((4,), {"ef_construction": "x", "m": 2**64}, OverflowError,
         "int too big to convert"),
        ((4,), {"ef_search": 2.0, "ef_construction": None, "metric": "bogus"}, TypeError,
         "argument 'ef_search': 'float' object cannot be interpreted as an integer"),
        # the dimension check comes after the metric check
        ((0,), {"metric": "bogus"}, ValueError, "Unsupported metric"),
        ((0,), {}, ValueError, "Unsupported metric"),
        ((0,), {"metric": "euclidean", "schema": "x"}, TypeError, f"argument 'schema': {STR_REFUSAL}"),
        ((0,), {"metric": "euclidean"}, ValueError, "Dimension must be at least 1"),
        ((False,), {"metric": "angular", "schema": ["a"]}, ValueError, "Dimension must be at least 1"),
        ((0,), {"metric": "inner_product", "layers": 0, "ef_search": 0}, ValueError, "Dimension must be at least 1"),
        ((None,), {"metric": "euclidean"}, TypeError,
         "argument 'dim': 'NoneType' object cannot be interpreted as an integer"),
        ((-1,), {"metric": "bogus"}, OverflowError, "can't convert negative int to unsigned"),
    ],
    ids=repr,
)
def test_constructor_errors_and_their_order(args, kwargs, exc_type, message):
    raises_exactly(exc_type, message, PyHNSW, *args, **kwargs)


def test_schema_name_with_lone_surrogate_is_refused_before_the_metric():
    with pytest.raises(UnicodeEncodeError):
        PyHNSW(4, metric="bogus", schema=["ok", "\ud800"])


@pytest.mark.parametrize("schema", [None, [], ["a"], ["a", "a"], ("a", "b"), ["", "x y", "\u00e9"]], ids=repr)
def test_schema_shapes_accepted(schema):
    idx = PyHNSW(2, metric="euclidean", schema=schema)
    idx.insert([1.0, 2.0])
    assert idx.search([1.0, 2.0]) == [(0.0, [1.0, 2.0])]


def test_default_ef_search_is_50():
    vectors = [[float(i), 0.0] for i in range(60)]
    for idx in (filled(2, vectors), filled(2, vectors, layers=None, m=None, ef_construction=None, ef_search=None)):
        res = idx.search([0.0, 0.0], k=100)
        assert len(res) == 50
        assert [v for _, v in res] == vectors[:50]


@pytest.mark.parametrize("param", ["layers", "ef_construction", "ef_search"])
def test_explicit_none_is_the_default_not_zero(param):
    idx = PyHNSW(2, metric="euclidean", **{param: None})
    idx.insert([0.0, 0.0])
    idx.insert([1.0, 0.0])  # ef_construction 0 would refuse this
    assert len(idx.search([0.0, 0.0], k=5)) == 2  # layers 0 / ef_search 0 would refuse this


def test_m_has_no_effect():
    vectors = rand_vectors(40, 3, seed=1)
    queries = rand_vectors(5, 3, seed=2)
    built = [filled(3, vectors, layers=1, m=m, ef_construction=4, ef_search=4) for m in (0, 1, 16, U64_MAX)]
    for q in queries:
        results = [exact(idx.search(q, k=4)) for idx in built]
        assert all(r == results[0] for r in results)


def test_one_layer_graph_is_deterministic():
    # With one layer no level is ever drawn: the same insertions build the same graph,
    # even when small beams make the answers approximate.
    vectors = rand_vectors(150, 4, seed=3)
    queries = rand_vectors(20, 4, seed=4)
    a = filled(4, vectors, layers=1, ef_construction=2, ef_search=2)
    b = index(4, layers=1, ef_construction=2, ef_search=2)
    b.create(vectors)
    for q in queries:
        assert exact(a.search(q, k=2)) == exact(b.search(q, k=2))


# ================================================================ ranking and exactness


@pytest.mark.parametrize("layers", [1, None])
@pytest.mark.parametrize(
    "metric, stored, query, expected",
    [
        # smallest raw value first, for every metric
        ("euclidean", [[3.0, 4.0], [10.0, 0.0], [0.5, 0.0]], [0.0, 0.0],
         [(0.5, [0.5, 0.0]), (5.0, [3.0, 4.0]), (10.0, [10.0, 0.0])]),
        # dot products 10, -2, 3: the least similar comes first
        ("inner_product", [[10.0, 0.0], [-2.0, 5.0], [3.0, 1.0]], [1.0, 0.0],
         [(-2.0, [-2.0, 5.0]), (3.0, [3.0, 1.0]), (10.0, [10.0, 0.0])]),
        ("inner_product", [[1.0, 2.0, 3.0], [-4.0, -5.0, -6.0]], [4.0, 5.0, 6.0],
         [(-77.0, [-4.0, -5.0, -6.0]), (32.0, [1.0, 2.0, 3.0])]),
        # cosine similarities 1, 0, -1: opposite first, identical last
        ("angular", [[1.0, 0.0], [0.0, 1.0], [-1.0, 0.0]], [1.0, 0.0],
         [(-1.0, [-1.0, 0.0]), (0.0, [0.0, 1.0]), (1.0, [1.0, 0.0])]),
        ("angular", [[2.0, 0.0], [0.0, 3.0]], [1.0, 0.0], [(0.0, [0.0, 3.0]), (1.0, [2.0, 0.0])]),
    ],
)
def test_ranking_by_raw_value(layers, metric, stored, query, expected):
    idx = filled(len(query), stored, metric, layers=layers)
    assert idx.search(query, k=10) == expected
    assert idx.search(query) == expected[:1]


@pytest.mark.parametrize("layers", [1, 2, None])
@pytest.mark.parametrize("metric", METRICS)
def test_small_index_matches_brute_force(metric, layers):
    # Fewer nodes than ef_construction: every insertion links the whole graph, so
    # a search with ef_search >= n visits everything and is exact.
    vectors = rand_vectors(80, 6, seed=METRICS.index(metric) * 10 + (layers or 5))
    queries = rand_vectors(8, 6, seed=99)
    idx = filled(6, vectors, metric, layers=layers, ef_search=100)
    for q in queries:
        want = brute(vectors, metric, q)
        for k in (1, 7, 80, 1000):
            assert exact(idx.search(q, k=k)) == exact(want[:k])


@pytest.mark.parametrize("layers", [1, None])
@pytest.mark.parametrize("metric", METRICS)
def test_small_beams_return_true_distances(metric, layers):
    # Long vectors and full result lists: whatever the search skips, every pair it
    # returns carries the vector's whole distance, nearest first, each node once.
    vectors = rand_vectors(300, 150, seed=6)
    idx = filled(150, vectors, metric, layers=layers, ef_construction=8, ef_search=5)
    fn = METRIC_FN[metric]
    for q in rand_vectors(10, 150, seed=7):
        res = idx.search(q, k=5)
        assert len(res) == 5
        assert [hexd(d) for d, _ in res] == [hexd(fn(q, v)) for _, v in res]
        assert [d for d, _ in res] == sorted(d for d, _ in res)
        assert len({tuple(v) for _, v in res}) == 5


class OneLayerModel:
    """A plain model of the one-layer graph: beam search from node 0, every found node linked both ways."""

    def __init__(self, metric, ef_construction, ef_search):
        self.fn = METRIC_FN[metric]
        self.ef_construction = ef_construction
        self.ef_search = ef_search
        self.vectors = []
        self.runs = []

    @staticmethod
    def before(a, b):
        """Distance order: a ranks strictly before b (NaN after every number)."""
        return not math.isnan(a) and (math.isnan(b) or a < b)

    def position(self, found, d):
        size, base = len(found), 0
        while size > 1:
            half = size // 2
            if not self.before(d, found[base + half][0]):
                base += half
            size -= half
        return base + 1 if self.before(found[base][0], d) else base

    def knn(self, query, ef):
        d0 = self.fn(query, self.vectors[0])
        found, heap, seen = [(d0, 0)], [(d0, 0)], {0}
        while heap:
            c = min(heap, key=lambda p: (math.isnan(p[0]), 0.0 if math.isnan(p[0]) else p[0], p[1]))
            heap.remove(c)
            if self.before(found[-1][0], c[0]):
                break
            for v in self.runs[c[1]]:
                if v in seen:
                    continue
                seen.add(v)
                dv = self.fn(query, self.vectors[v])
                if len(found) < ef or dv < found[-1][0]:
                    heap.append((dv, v))
                    found.insert(self.position(found, dv), (dv, v))
                    del found[ef:]
        return found

    def insert(self, vector):
        n = len(self.vectors)
        self.vectors.append(vector)
        self.runs.append([])
        if n == 0:
            return
        found = self.knn(vector, self.ef_construction)
        for _, ident in found:
            self.runs[ident].append(n)
        self.runs[n].extend(ident for _, ident in found)

    def search(self, query, k):
        if not self.vectors:
            return []
        return [(d, self.vectors[i]) for d, i in self.knn(query, self.ef_search)[: max(k, 1)]]


@pytest.mark.parametrize(
    "metric, dim, ef_construction, ef_search, grid",
    [
        ("euclidean", 130, 4, 3, False),
        ("euclidean", 70, 2, 6, False),
        ("angular", 40, 3, 4, False),
        ("inner_product", 40, 3, 4, False),
        # small integer coordinates: many equal distances
        ("euclidean", 2, 3, 4, True),
        ("inner_product", 2, 5, 3, True),
        ("angular", 3, 2, 5, True),
    ],
)
def test_one_layer_graph_matches_the_model(metric, dim, ef_construction, ef_search, grid):
    rnd = random.Random(dim * 31 + ef_construction)
    if grid:
        vectors = [[float(rnd.randint(-3, 3)) for _ in range(dim)] for _ in range(200)]
        queries = [[float(rnd.randint(-3, 3)) for _ in range(dim)] for _ in range(25)]
        # zero vectors: NaN distances under cosine
        vectors[0] = vectors[40] = [0.0] * dim
        queries[0] = [0.0] * dim
    else:
        vectors = rand_vectors(400, dim, seed=dim)
        queries = rand_vectors(12, dim, seed=dim + 1)
    model = OneLayerModel(metric, ef_construction, ef_search)
    idx = index(dim, metric, layers=1, ef_construction=ef_construction, ef_search=ef_search)
    for v in vectors:
        model.insert(v)
        idx.insert(v)
    for q in queries + vectors[:5]:
        for k in (1, ef_search):
            assert exact(idx.search(q, k)) == exact(model.search(q, k))


@pytest.mark.parametrize("metric", METRICS)
def test_create_matches_brute_force(metric):
    vectors = rand_vectors(60, 5, seed=5)
    idx = index(5, metric, layers=1, ef_search=64)
    idx.create(vectors)
    q = [0.5, -1.0, 2.0, 0.0, 3.0]
    assert exact(idx.search(q, k=60)) == exact(brute(vectors, metric, q))


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("query", [[2.0], [2.0, -1.0], [2.0, -1.0, 0.5, 7.0], [2.0, -1.0, 0.5, 7.0, -3.0, 1.0], []])
def test_queries_of_any_length_compare_over_the_shorter_length(metric, query):
    vectors = [[1.0, 2.0, 3.0], [-1.0, 0.5, 2.0], [4.0, -4.0, 0.0], [0.25, 0.0, -8.0]]
    idx = filled(3, vectors, metric, layers=1)
    assert grouped(idx.search(query, k=10)) == grouped(brute(vectors, metric, query))


def test_equal_distances_are_all_returned():
    vectors = [[1.0, 0.0], [-1.0, 0.0], [0.0, 1.0], [0.0, -1.0], [2.0, 0.0]]
    idx = filled(2, vectors, layers=1)
    res = idx.search([0.0, 0.0], k=10)
    assert [d for d, _ in res] == [1.0, 1.0, 1.0, 1.0, 2.0]
    assert sorted(map(tuple, (v for _, v in res[:4]))) == sorted(map(tuple, vectors[:4]))


# ================================================================ special values


SPECIAL_VECTORS = [
    [1.0, 2.0, 3.0],
    [0.0, 0.0, 0.0],
    [NAN, 1.0, 1.0],
    [INF, 1.0, 0.0],
    [-2.0, 0.5, 1.0],
    [-INF, -INF, 2.0],
    [1e300, 1e300, 0.0],
    [3.0, -1.0, 0.25],
]


@pytest.mark.parametrize("layers", [1, None])
@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize(
    "query",
    [[1.0, 1.0, 1.0], [0.0, 0.0, 0.0], [NAN, 0.0, 0.0], [INF, 0.0, 0.0], [-1.0, 2.0, -3.0]],
    ids=repr,
)
def test_nan_inf_and_zero_vectors(metric, layers, query):
    idx = filled(3, SPECIAL_VECTORS, metric, layers=layers)
    res = idx.search(query, k=100)
    want = brute(SPECIAL_VECTORS, metric, query)
    assert grouped(res) == grouped(want)
    # NaN distances rank after every number
    nan_seen = False
    for d, _ in res:
        nan_seen = nan_seen or math.isnan(d)
        assert math.isnan(d) or not nan_seen


@pytest.mark.parametrize("ef_search", [1, 2, 3])
@pytest.mark.parametrize("metric", METRICS)
def test_small_beam_with_nan_distances(metric, ef_search):
    # The zero vector is node 0, the start of every search, and at NaN from every
    # query under cosine. Whatever a small beam finds comes back in distance order.
    vectors = [[0.0, 0.0], [1.0, 0.0], [0.0, 1.0], [-1.0, 0.0], [-1.0, -1.0], [NAN, 1.0]]
    idx = filled(2, vectors, metric, layers=1, ef_search=ef_search)
    for q in ([1.0, 0.0], [0.0, 0.0], [-2.0, 3.0]):
        res = idx.search(q, k=10)
        assert 1 <= len(res) <= ef_search
        known = {repr(v): d for d, v in brute(vectors, metric, q)}
        assert len({repr(v) for _, v in res}) == len(res)
        assert [hexd(d) for d, _ in res] == [hexd(known[repr(v)]) for _, v in res]
        keys = [(math.isnan(d), 0.0 if math.isnan(d) else d) for d, _ in res]
        assert keys == sorted(keys)


# ================================================================ result shape and copies


def test_result_shape():
    idx = filled(3, [[1, 2, 3], [True, 0, -1], [0.5, 0.25, 0.125]], layers=1)
    res = idx.search([0, 0, 0], k=3)
    assert type(res) is list and len(res) == 3
    for pair in res:
        assert type(pair) is tuple and len(pair) == 2
        dist, vec = pair
        assert type(dist) is float
        assert type(vec) is list and len(vec) == 3
        assert all(type(x) is float for x in vec)
    assert [v for _, v in res] == [[0.5, 0.25, 0.125], [1.0, 0.0, -1.0], [1.0, 2.0, 3.0]]


def test_results_are_copies():
    source = [1.0, 2.0]
    idx = filled(2, [source, [5.0, 5.0]], layers=1)
    source[0] = 99.0  # the index kept no reference to the caller's list
    first = idx.search([0.0, 0.0], k=2)
    first[0][1][0] = -7.0
    first[0][1].append(3.0)
    first.append("junk")
    second = idx.search([0.0, 0.0], k=2)
    assert second == [(math.sqrt(5.0), [1.0, 2.0]), (math.sqrt(50.0), [5.0, 5.0])]
    assert second[0][1] is not first[0][1]


@pytest.mark.parametrize(
    "k, expected",
    [(None, 1), (0, 1), (False, 1), (True, 1), (1, 1), (3, 3), (10, 10), (11, 10), (10**6, 10), (U64_MAX, 10)],
    ids=repr,
)
def test_k(k, expected):
    vectors = [[float(i), 0.0] for i in range(10)]
    idx = filled(2, vectors, layers=1)
    res = idx.search([0.2, 0.0], k=k) if k is not None else idx.search([0.2, 0.0])
    assert [v for _, v in res] == vectors[:expected]
    assert idx.search([0.2, 0.0], k) == res


def test_k_zero_is_the_nearest_pair():
    idx = filled(1, [[5.0], [1.0], [3.0]])
    assert idx.search([1.2], k=0) == idx.search([1.2], k=1) == [(pytest.approx(0.2), [1.0])]


@pytest.mark.parametrize(
    "k, exc_type, message",
    [
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
        (1.0, TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
        ("3", TypeError, "argument 'k': 'str' object cannot be interpreted as an integer"),
    ],
    ids=repr,
)
def test_bad_k(k, exc_type, message):
    idx = filled(1, [[1.0]])
    raises_exactly(exc_type, message, idx.search, [1.0], k)
    # on an empty index too: k is converted before the index is looked at
    raises_exactly(exc_type, message, index(1).search, [1.0], k=k)


def test_ef_search_caps_the_result_length():
    vectors = [[float(i)] for i in range(10)]
    idx = filled(1, vectors, layers=1, ef_search=3)
    assert idx.search([0.0], k=10) == [(0.0, [0.0]), (1.0, [1.0]), (2.0, [2.0])]
    assert len(idx.search([9.0], k=U64_MAX)) <= 3


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("layers", [1, 4])
def test_one_node_answers_every_query_with_it(metric, layers):
    stored = [1.5, -2.0, 0.5]
    idx = filled(3, [stored], metric, layers=layers)
    for q in ([1.5, -2.0, 0.5], [0.0, 0.0, 1.0], [-3.0, 7.0, 2.0]):
        for k in (None, 0, 1, 5):
            assert exact(idx.search(q, k)) == exact([(METRIC_FN[metric](q, stored), stored)])


# ================================================================ empty index and zero parameters


@pytest.mark.parametrize(
    "kwargs",
    [{}, {"layers": 0}, {"ef_search": 0}, {"layers": 0, "ef_search": 0, "ef_construction": 0}, {"layers": 1}],
    ids=repr,
)
@pytest.mark.parametrize("k", [None, 0, 5, U64_MAX])
def test_empty_index_returns_empty_list(kwargs, k):
    idx = index(2, **kwargs)
    assert idx.search([1.0, 2.0], k) == []
    assert idx.search([], k) == []


@pytest.mark.parametrize("ef_search", [None, 0])
def test_zero_layers_insert_but_cannot_search(ef_search):
    idx = index(2, layers=0, ef_search=ef_search)
    idx.insert([1.0, 2.0])
    idx.insert([3.0, 4.0])
    idx.create([[5.0, 6.0], [7.0, 8.0]])
    for k in (None, 0, 3):
        raises_exactly(ValueError, "Search error: InvalidLayer", idx.search, [1.0, 2.0], k)


def test_zero_layers_and_zero_ef_construction_still_insert():
    idx = index(2, layers=0, ef_construction=0)
    idx.insert([1.0, 2.0])
    idx.insert([3.0, 4.0])
    idx.create([[5.0, 6.0]])
    raises_exactly(ValueError, "Search error: InvalidLayer", idx.search, [0.0, 0.0])


@pytest.mark.parametrize("layers", [1, 2, None])
def test_zero_ef_search(layers):
    idx = index(2, layers=layers, ef_search=0)
    idx.insert([1.0, 2.0])
    for k in (None, 0, 4):
        exc = raises_exactly(ValueError, "Search error: InvalidEF", idx.search, [1.0, 2.0], k)
        assert exc.__cause__ is None
    idx.insert([2.0, 2.0])
    raises_exactly(ValueError, "Search error: InvalidEF", idx.search, [1.0, 2.0], 2)


@pytest.mark.parametrize("layers", [1, 3])
def test_zero_ef_construction_insert_stores_nothing(layers):
    idx = index(2, layers=layers, ef_construction=0)
    idx.insert([1.0, 2.0])
    for v in ([3.0, 4.0], [1.0, 2.0]):
        exc = raises_exactly(ValueError, "Insert error: InvalidEF", idx.insert, v)
        assert exc.__cause__ is None
    assert idx.search([3.0, 4.0], k=100) == [(math.sqrt(8.0), [1.0, 2.0])]


@pytest.mark.parametrize("layers", [1, 3])
def test_zero_ef_construction_create_keeps_the_first_vector(layers):
    idx = index(2, layers=layers, ef_construction=0)
    raises_exactly(ValueError, "Create error: InvalidEF", idx.create, [[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]])
    assert idx.search([5.0, 6.0], k=100) == [(math.sqrt(32.0), [1.0, 2.0])]
    # a non-empty index fails at the first vector of the list
    raises_exactly(ValueError, "Create error: InvalidEF", idx.create, [[7.0, 8.0], [9.0, 9.0]])
    assert count(idx, 2) == 1


def test_failed_insertions_keep_nothing_of_their_node():
    # A node that failed to link cannot be reached by a search, so what a failed
    # insertion keeps shows only in memory: 2 MB vectors, refused again and again.
    code = """
import tessra

def rss():
    for line in open("/proc/self/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) * 1024

dim = 250_000
idx = tessra.PyHNSW(dim, metric="euclidean", layers=1, ef_construction=0, schema=["c"])
v = [0.5] * dim
idx.insert(v, metadata=[("c", "x")])

def refused(call, message):
    try:
        call()
    except ValueError as exc:
        assert str(exc) == message, exc
    else:
        raise AssertionError("not refused")

for _ in range(3):
    refused(lambda: idx.insert(v, metadata=[("c", "y")]), "Insert error: InvalidEF")
before = rss()
for _ in range(100):
    refused(lambda: idx.insert(v, metadata=[("c", "y")]), "Insert error: InvalidEF")
grown_insert = rss() - before
before = rss()
for _ in range(60):
    refused(lambda: idx.create([v, v]), "Create error: InvalidEF")
grown_create = rss() - before
assert len(idx.search(v, k=100)) == 1
print(grown_insert // 2**20, grown_create // 2**20)
"""
    rc, out, err = run_isolated(code)
    assert rc == 0, err
    grown_insert, grown_create = map(int, out.split())
    # keeping the vectors would take 200 MB and 120 MB
    assert grown_insert < 32
    assert grown_create < 32


def test_zero_ef_construction_with_metadata_keeps_the_first_record():
    idx = index(1, layers=1, ef_construction=0, schema=["c"])
    raises_exactly(
        ValueError, "Create error: InvalidEF", idx.create, [[1.0], [2.0]], metadata=[[("c", "a")], [("c", "b")]]
    )
    assert idx.search([2.0], k=10, filter=("c", "a")) == [(1.0, [1.0])]
    assert idx.search([2.0], k=10, filter=("c", "b")) == []


def test_length_check_comes_before_the_insert_error():
    idx = index(2, ef_construction=0)
    idx.insert([1.0, 1.0])
    raises_exactly(ValueError, "Expected vector of length 2, got 3", idx.insert, [1.0, 2.0, 3.0])
    raises_exactly(ValueError, "Expected vector of length 2, got 1", idx.create, [[1.0, 2.0], [1.0]])


def test_huge_parameters_run_fast_without_allocating():
    code = """
import time, tessra
start = time.time()
for layers in (2**63, 2**64 - 1):
    idx = tessra.PyHNSW(3, layers=layers, m=2**64 - 1, ef_construction=2**64 - 1, ef_search=2**64 - 1,
                        metric="euclidean")
    for i in range(40):
        idx.insert([float(i), 0.0, 0.0])
    idx.create([[float(i), 1.0, 0.0] for i in range(40)])
    res = idx.search([3.2, 0.0, 0.0], k=2**64 - 1)
    assert len(res) == 80, len(res)
    assert res[0] == (0.20000000000000018, [3.0, 0.0, 0.0]), res[0]
    assert idx.search([3.2, 0.0, 0.0], k=0) == res[:1]
print("elapsed", time.time() - start)
"""
    rc, out, err = run_isolated(code, timeout=120)
    assert rc == 0, err
    assert float(out.split()[-1]) < 20.0


# ================================================================ insert: checks and their order


@pytest.mark.parametrize("metadata", [[("color", "blue")], [], (), [("x", None)]], ids=repr)
def test_insert_metadata_without_schema(metadata):
    idx = index(2, layers=1)
    idx.insert([0.0, 0.0])
    exc = raises_exactly(ValueError, NO_SCHEMA_METADATA, idx.insert, [1.0, 2.0], metadata)
    assert exc.__cause__ is None and exc.__context__ is None
    # the metadata checks come before the length check
    raises_exactly(ValueError, NO_SCHEMA_METADATA, idx.insert, [1.0], metadata=metadata)
    assert count(idx, 2) == 1


def test_insert_metadata_none_is_no_metadata():
    idx = index(2, layers=1)
    idx.insert([1.0, 2.0], None)
    idx.insert([3.0, 4.0], metadata=None)
    assert count(idx, 2) == 2


def test_insert_without_metadata_on_schema_index():
    idx = index(2, layers=1, schema=["color"])
    idx.insert([1.0, 2.0])
    assert idx.search([1.0, 2.0]) == [(0.0, [1.0, 2.0])]


@pytest.mark.parametrize("vector", [[], [1.0], [1.0, 2.0, 3.0], [1.0] * 40], ids=len)
def test_insert_wrong_length_is_refused(vector):
    idx = index(2, layers=1)
    idx.insert([5.0, 5.0])
    exc = raises_exactly(ValueError, f"Expected vector of length 2, got {len(vector)}", idx.insert, vector)
    assert exc.__cause__ is None
    assert idx.search([0.0, 0.0], k=10) == [(math.sqrt(50.0), [5.0, 5.0])]


def test_insert_wrong_length_into_empty_index_stores_nothing():
    idx = index(3, layers=1)
    raises_exactly(ValueError, "Expected vector of length 3, got 2", idx.insert, [1.0, 2.0])
    assert idx.search([0.0, 0.0, 0.0]) == []
    idx.insert([1.0, 2.0, 3.0])
    assert idx.search([0.0, 0.0, 0.0], k=5) == [(math.sqrt(14.0), [1.0, 2.0, 3.0])]


@pytest.mark.parametrize(
    "vector, metadata, exc_type, message",
    [
        # vector first, then the metadata shape, then the schema, then the record, then the length
        ("ab", [("c", None)], TypeError, f"argument 'vector': {STR_REFUSAL}"),
        ([1.0, "x"], "junk", TypeError, "argument 'vector': must be real number, not str"),
        ([1.0], "junk", TypeError, f"argument 'metadata': {STR_REFUSAL}"),
        ([1.0], [["c", 1]], TypeError, "argument 'metadata': 'list' object cannot be converted to 'PyTuple'"),
        ([1.0], [("c", 1, 2)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ([1.0], [("c", None)], ValueError, "Missing metadata for attribute 'a'"),
        ([1.0], [("a", None)], ValueError, "Unsupported metadata type for attribute 'a'"),
        ([1.0], [("a", 1)], ValueError, "Expected vector of length 2, got 1"),
    ],
    ids=repr,
)
def test_insert_order_of_checks_with_schema(vector, metadata, exc_type, message):
    idx = index(2, layers=1, schema=["a"])
    idx.insert([9.0, 9.0], [("a", 0)])
    raises_exactly(exc_type, message, idx.insert, vector, metadata)
    assert count(idx, 2) == 1


@pytest.mark.parametrize(
    "metadata, exc_type, message",
    [
        ("junk", TypeError, f"argument 'metadata': {STR_REFUSAL}"),
        ([["c", 1]], TypeError, "argument 'metadata': 'list' object cannot be converted to 'PyTuple'"),
        ([("c", 1, 2)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ([(5, 1)], TypeError, "argument 'metadata': 'int' object cannot be converted to 'PyString'"),
    ],
    ids=repr,
)
def test_insert_metadata_shape_is_checked_before_the_schema(metadata, exc_type, message):
    idx = index(2)
    raises_exactly(exc_type, message, idx.insert, [1.0, 2.0], metadata)
    assert idx.search([0.0, 0.0]) == []


# ================================================================ create: checks and their order


def test_create_empty():
    idx = index(2)
    raises_exactly(ValueError, "Create error: EmptyVectors", idx.create, [])
    raises_exactly(ValueError, "Create error: EmptyVectors", idx.create, [], None)
    raises_exactly(ValueError, "Create error: EmptyVectors", idx.create, ())
    # no schema: the metadata is refused first
    raises_exactly(ValueError, NO_SCHEMA_METADATA, idx.create, [], metadata=[])
    with_schema = index(2, schema=["a"])
    raises_exactly(ValueError, "Create error: EmptyVectors", with_schema.create, [], metadata=[])
    with_empty_schema = index(2, schema=[])
    raises_exactly(ValueError, "Create error: EmptyVectors", with_empty_schema.create, [], metadata=[])
    # a non-empty index refuses an empty list too
    idx.insert([1.0, 2.0])
    raises_exactly(ValueError, "Create error: EmptyVectors", idx.create, [])


@pytest.mark.parametrize("schema", [None, ["a"]])
@pytest.mark.parametrize(
    "vectors, metadata",
    [
        ([[1.0, 2.0], [3.0, 4.0]], [[("a", 1)]]),
        ([[1.0, 2.0]], [[("a", 1)], [("a", 2)]]),
        ([[1.0, 2.0]], []),
        ([], [[]]),
        # the count is compared before any vector's length or record is examined
        ([[1.0], [3.0, 4.0, 5.0]], [[("b", None)]]),
    ],
    ids=repr,
)
def test_create_metadata_count_mismatch(schema, vectors, metadata):
    idx = index(2, layers=1, schema=schema)
    idx.insert([9.0, 9.0])
    exc = raises_exactly(ValueError, LENGTH_MISMATCH, idx.create, vectors, metadata)
    assert exc.__cause__ is None
    assert count(idx, 2) == 1


@pytest.mark.parametrize(
    "vectors",
    [[[1.0, 2.0]], [[1.0, 2.0], [3.0, 4.0]], [[1.0], [2.0, 3.0, 4.0]]],
    ids=repr,
)
def test_create_metadata_without_schema(vectors):
    idx = index(2, layers=1)
    metadata = [[("a", None)] for _ in vectors]
    raises_exactly(ValueError, NO_SCHEMA_METADATA, idx.create, vectors, metadata)
    raises_exactly(ValueError, NO_SCHEMA_METADATA, idx.create, vectors, [[] for _ in vectors])
    assert idx.search([0.0, 0.0]) == []


@pytest.mark.parametrize(
    "vectors, metadata, message",
    [
        # every record is built in list order, then every length is checked in list order
        ([[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]], [[("a", 1)], [], [("a", 3)]], "Missing metadata for attribute 'a'"),
        ([[1.0, 2.0], [3.0], [5.0, 6.0]], [[("a", 1)], [], [("a", 3)]], "Missing metadata for attribute 'a'"),
        # a bad record after a wrong-length vector: the record's error
        ([[1.0, 2.0], [3.0], [5.0, 6.0]], [[("a", 1)], [("a", 2)], []], "Missing metadata for attribute 'a'"),
        ([[1.0], [3.0, 4.0]], [[("a", 1)], []], "Missing metadata for attribute 'a'"),
        ([[1.0], [3.0, 4.0, 5.0], [1.0, 2.0]], [[("a", 1)], [("a", 2)], [("a", None)]],
         "Unsupported metadata type for attribute 'a'"),
        # every record builds: the first wrong length
        ([[1.0, 2.0], [3.0, 4.0], [5.0, 6.0, 7.0]], [[("a", 1)], [("a", 2)], [("a", 3)]],
         "Expected vector of length 2, got 3"),
        ([[1.0, 2.0], [3.0], [5.0, 6.0, 7.0]], [[("a", 1)], [("a", 2)], [("a", 3)]],
         "Expected vector of length 2, got 1"),
        # a bad record before a wrong-length vector: the record's error
        ([[1.0, 2.0], [3.0, 4.0, 5.0]], [[("a", None)], [("a", 2)]], "Unsupported metadata type for attribute 'a'"),
    ],
    ids=repr,
)
def test_create_with_metadata_order_of_checks(vectors, metadata, message):
    idx = index(2, layers=1, schema=["a"])
    idx.insert([9.0, 9.0], [("a", 0)])
    raises_exactly(ValueError, message, idx.create, vectors, metadata)
    assert count(idx, 2) == 1  # nothing of the call was inserted


@pytest.mark.parametrize(
    "vectors, bad",
    [([[1.0, 2.0], [3.0, 4.0], [5.0]], 1), ([[1.0, 2.0, 3.0], [3.0, 4.0]], 3), ([[1.0, 2.0], []], 0)],
    ids=repr,
)
@pytest.mark.parametrize("schema", [None, ["a"]])
def test_create_without_metadata_checks_every_length_first(vectors, bad, schema):
    idx = index(2, layers=1, schema=schema)
    raises_exactly(ValueError, f"Expected vector of length 2, got {bad}", idx.create, vectors)
    assert idx.search([0.0, 0.0], k=10) == []


def test_create_without_metadata_on_schema_index_stores_no_records():
    idx = index(2, layers=1, schema=["a"])
    idx.create([[1.0, 2.0], [3.0, 4.0]])
    idx.create([[5.0, 6.0]], metadata=None)
    assert count(idx, 2) == 3
    assert idx.search([0.0, 0.0], k=10, filter=("a", 0)) == []


def test_create_appends_to_existing_nodes():
    idx = index(1, layers=1)
    idx.insert([0.0])
    idx.create([[1.0], [2.0]])
    idx.create(([3.0],))
    assert [v for _, v in idx.search([0.0], k=10)] == [[0.0], [1.0], [2.0], [3.0]]


# ================================================================ access conflicts through argument conversion


class Calling:
    """A sequence whose iteration first runs a callback, then yields its items."""

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


def error_of_call(fn):
    try:
        fn()
    except Exception as exc:  # noqa: BLE001 - the inner call's error is the point
        return exc
    return None


INNER = {
    "search": (lambda idx: idx.search([0.0, 0.0], 3), "Already mutably borrowed"),
    "insert": (lambda idx: idx.insert([7.0, 7.0]), "Already borrowed"),
    "create": (lambda idx: idx.create([[7.0, 7.0]]), "Already borrowed"),
}

OUTER_EXCLUSIVE = {
    "insert-vector": lambda idx, seq: idx.insert(seq),
    "create-vectors": lambda idx, seq: idx.create(Calling([list(seq.items)], seq.callback)),
    "create-element": lambda idx, seq: idx.create([[4.0, 4.0], seq]),
}


@pytest.mark.parametrize("inner", INNER)
@pytest.mark.parametrize("outer", OUTER_EXCLUSIVE)
def test_call_back_during_exclusive_conversion(outer, inner):
    call, message = INNER[inner]
    # caught: the inner call fails, the outer one goes on
    idx = filled(2, [[0.0, 0.0]], layers=1)
    seen = []
    OUTER_EXCLUSIVE[outer](idx, Calling([2.0, 2.0], lambda: seen.append(error_of_call(lambda: call(idx)))))
    assert [(type(e), str(e)) for e in seen] == [(RuntimeError, message)]
    stored = [v for _, v in idx.search([0.0, 0.0], k=10)]
    assert stored == ([[0.0, 0.0], [2.0, 2.0], [4.0, 4.0]] if outer == "create-element" else [[0.0, 0.0], [2.0, 2.0]])
    # uncaught: the outer call fails with the same error, unlabelled, and changes nothing
    idx = filled(2, [[0.0, 0.0]], layers=1)
    with pytest.raises(BaseException) as info:
        OUTER_EXCLUSIVE[outer](idx, Calling([2.0, 2.0], lambda: call(idx)))
    assert type(info.value) is RuntimeError and str(info.value) == message
    assert idx.search([0.0, 0.0], k=10) == [(0.0, [0.0, 0.0])]
    idx.insert([1.0, 1.0])
    assert count(idx, 2) == 2


@pytest.mark.parametrize("inner", ["insert", "create"])
def test_exclusive_call_back_during_search(inner):
    call, _ = INNER[inner]
    idx = filled(2, [[0.0, 0.0], [1.0, 0.0]], layers=1)
    seen = []
    query = Calling([1.0, 0.0], lambda: seen.append(error_of_call(lambda: call(idx))))
    assert idx.search(query, 5) == [(0.0, [1.0, 0.0]), (1.0, [0.0, 0.0])]
    assert [(type(e), str(e)) for e in seen] == [(RuntimeError, "Already borrowed")]
    with pytest.raises(BaseException) as info:
        idx.search(Calling([1.0, 0.0], lambda: call(idx)), 5)
    assert type(info.value) is RuntimeError and str(info.value) == "Already borrowed"
    assert count(idx, 2) == 2
    idx.insert([3.0, 3.0])
    assert count(idx, 2) == 3


def test_nested_searches_share_the_index():
    idx = filled(2, [[0.0, 0.0], [1.0, 0.0]], layers=1)
    inner = []

    class K:
        def __index__(self):
            inner.append(idx.search(Calling([1.0, 0.0], lambda: inner.append(idx.search([0.0, 0.0]))), 1))
            return 2

    assert idx.search(Calling([0.0, 0.0], lambda: inner.append(idx.search([1.0, 0.0]))), K()) == [
        (0.0, [0.0, 0.0]),
        (1.0, [1.0, 0.0]),
    ]
    assert inner == [[(0.0, [1.0, 0.0])], [(0.0, [0.0, 0.0])], [(0.0, [1.0, 0.0])]], inner
    idx.insert([5.0, 5.0])  # every shared access was given back


def test_exclusive_call_back_during_k_conversion():
    idx = filled(2, [[0.0, 0.0], [1.0, 0.0]], layers=1)
    seen = []

    class K:
        def __index__(self):
            seen.append(error_of_call(lambda: idx.insert([7.0, 7.0])))
            return 2

    assert len(idx.search([0.0, 0.0], K())) == 2
    assert [(type(e), str(e)) for e in seen] == [(RuntimeError, "Already borrowed")]
    assert count(idx, 2) == 2


def test_other_index_usable_during_conversion():
    a = filled(2, [[0.0, 0.0]], layers=1)
    b = filled(2, [[1.0, 1.0]], layers=1)
    a.insert(Calling([2.0, 2.0], lambda: b.insert([3.0, 3.0])))
    assert count(a, 2) == 2 and count(b, 2) == 2
