"""Model-based tests of PyHNSW.

With one layer the graph is deterministic (no level draw matters), so a plain
Python implementation of insertion and layer search predicts every result bit
for bit: adjacency runs as lists (back links appended to the end of each
neighbour's run, then the forward list appended to the new node's run), the
best-first layer search with its visited set, admission rule, insert-position
rule and filter rules. Every error must match in type and message.

With other layer counts the level draw is random, so the results are checked
against invariants instead: distance order, distances recomputed with
sequential sums, result length bounds, stored vectors only, filter respected.
"""

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from tessra import PyHNSW

import model_support as ms

COMPONENTS = st.one_of(
    st.sampled_from([0.0, -0.0, 1.0, -1.0, 2.0, 0.5, 3.0, -2.5, 4.0]),
    st.sampled_from([ms.NAN, ms.INF, -ms.INF, 1e308, 5e-324]),
    st.integers(-3, 3),
    st.floats(-10, 10),
)
BAD_COMPONENTS = st.sampled_from(["1.0", None, 10**400, 1j])

NAMES = st.sampled_from(["a", "b", "c", "z", "", "\ud800"])
VALUES = st.sampled_from(
    ["red", "blue", "", "é", 0, 1, -1, 2**63 - 1, -(2**63), 2**63, 2**70, 10**400,
     0.0, -0.0, 1.0, ms.NAN, ms.INF, True, False, None, [1], b"x", "\udfff"]
)
SCHEMAS = st.sampled_from([None, [], ["a"], ["a", "b"], ["b", "a", "a"], ["c"], ("a", "c")])
PAIR = st.one_of(
    st.tuples(NAMES, VALUES),
    st.tuples(NAMES, VALUES),
    st.tuples(NAMES, VALUES),
    st.sampled_from([["a", 1], ("a",), ("a", 1, 2), (1, 1), "a", None]),
)
PAIR_LISTS = st.one_of(st.lists(PAIR, max_size=4), st.sampled_from([None, "ab", {("a", 1)}, 5]))
FILTERS = st.one_of(
    st.none(),
    st.tuples(NAMES, VALUES),
    st.tuples(st.sampled_from(["a", "b", "c"]), st.sampled_from(["red", "blue", 0, 1, 1.0, True])),
    st.sampled_from([["a", 1], ("a",), (1, 1), "a", ("a", 1, 2)]),
)
KS = st.one_of(st.none(), st.integers(0, 10), st.sampled_from([2**64 - 1, -1, 2**64, 1.5, True]))
SMALL_EF = st.one_of(st.integers(0, 6), st.just(200), st.none())


def vectors_of(dim):
    good = st.lists(COMPONENTS, min_size=dim, max_size=dim)
    wrong = st.sampled_from([n for n in range(dim + 3) if n != dim]).flatmap(
        lambda n: st.lists(COMPONENTS, min_size=n, max_size=n))
    bad = st.builds(lambda v, x: v + [x], st.lists(COMPONENTS, max_size=dim), BAD_COMPONENTS)
    return st.one_of(good, good, good, good, good, good, good, good, wrong, bad, st.sampled_from(["ab", None]))


class HNSWMachineBase(RuleBasedStateMachine):
    LAYERS = st.just(1)
    DIMS = st.integers(1, 3)

    def new(self, **kwargs):
        model = ms.outcome(lambda: ms.HNSWModel(**kwargs))
        index = ms.outcome(lambda: PyHNSW(**kwargs))
        if model[0] == "error":
            ms.assert_same_outcome(index, model, f"PyHNSW({kwargs!r})")
            return False
        assert index[0] == "ok", f"PyHNSW({kwargs!r}) raised {index!r}"
        self.model, self.index = model[1], index[1]
        return True

    @initialize(metric=st.sampled_from(list(ms.HNSW_METRICS)), schema=SCHEMAS,
                efc=SMALL_EF, efs=SMALL_EF, data=st.data())
    def start(self, metric, schema, efc, efs, data):
        layers = data.draw(self.LAYERS)
        dim = data.draw(self.DIMS)
        assert self.new(dim=dim, layers=layers, ef_construction=efc, ef_search=efs, metric=metric, schema=schema)

    @rule(dim=st.sampled_from([0, 1, 2, -1, 1.5, None]),
          metric=st.sampled_from(["euclidean", "cosine", None, 3, "\ud800", "Euclidean"]),
          schema=st.sampled_from([None, ["a"], "a", [1], ["\ud800"], 7]),
          m=st.sampled_from([None, 0, 2**64 - 1, -1, 2.0]),
          efc=st.sampled_from([None, 1, 2**64, 0]))
    def constructor_errors(self, dim, metric, schema, m, efc):
        """Argument errors come in parameter order; the metric and dim checks come last."""
        kwargs = dict(dim=dim, layers=1, m=m, ef_construction=efc, metric=metric, schema=schema)
        model = ms.outcome(lambda: ms.HNSWModel(**kwargs))
        index = ms.outcome(lambda: PyHNSW(**kwargs))
        if model[0] == "ok":
            assert index[0] == "ok"
        else:
            ms.assert_same_outcome(index, model, f"PyHNSW({kwargs!r})")

    def check(self, what, call_index, call_model):
        expected = ms.outcome(call_model)
        actual = ms.outcome(call_index)
        ms.assert_same_outcome(actual, expected, what)
        return actual

    @rule(data=st.data(), metadata=st.one_of(st.none(), PAIR_LISTS))
    def insert(self, data, metadata):
        vector = data.draw(vectors_of(self.model.dim))
        if metadata is None:
            self.check(f"insert({vector!r})", lambda: self.index.insert(vector),
                       lambda: self.model.insert(vector))
        else:
            self.check(f"insert({vector!r}, {metadata!r})", lambda: self.index.insert(vector, metadata),
                       lambda: self.model.insert(vector, metadata))

    @rule(data=st.data(), with_metadata=st.booleans())
    def create(self, data, with_metadata):
        dim = self.model.dim
        vectors = data.draw(st.one_of(
            st.lists(vectors_of(dim), max_size=4),
            st.lists(st.lists(COMPONENTS, min_size=dim, max_size=dim), min_size=1, max_size=4),
            st.sampled_from([[], "ab", None]),
        ))
        if not with_metadata:
            self.check(f"create({vectors!r})", lambda: self.index.create(vectors),
                       lambda: self.model.create(vectors))
            return
        n = len(vectors) if isinstance(vectors, list) else 1
        metadata = data.draw(st.one_of(
            st.lists(st.lists(st.tuples(st.sampled_from(["a", "b", "c"]), VALUES), max_size=3),
                     min_size=n, max_size=n),
            st.lists(PAIR_LISTS, max_size=4),
            st.sampled_from([[], "ab", [("a", 1)]]),
        ))
        self.check(f"create({vectors!r}, {metadata!r})", lambda: self.index.create(vectors, metadata),
                   lambda: self.model.create(vectors, metadata))


class LayerOneMachine(HNSWMachineBase):
    """One layer: the whole graph is predicted exactly."""

    @rule(data=st.data(), k=KS, flt=FILTERS)
    def search(self, data, k, flt):
        query = data.draw(st.one_of(vectors_of(self.model.dim),
                                    st.lists(COMPONENTS, max_size=self.model.dim + 2)))
        self.check(f"search({query!r}, {k!r}, {flt!r})", lambda: self.index.search(query, k, flt),
                   lambda: self.model.search(query, k, flt))

    @precondition(lambda self: self.model.vectors)
    @rule(data=st.data())
    def search_by_stored_vector(self, data):
        """Queries equal to stored vectors: exact ties and zero distances."""
        query = data.draw(st.sampled_from(self.model.vectors))
        k = data.draw(st.integers(0, len(self.model.vectors) + 1))
        self.check(f"search({query!r}, {k})", lambda: self.index.search(query, k=k),
                   lambda: self.model.search(query, k=k))

    @invariant()
    def whole_index_agrees(self):
        if not self.model.vectors or self.model.efs == 0:
            return
        probe = [0.5 * (i + 1) for i in range(self.model.dim)]
        self.check("probe", lambda: self.index.search(probe, 2**64 - 1),
                   lambda: self.model.search(probe, 2**64 - 1))


class LongVectorLayerOneMachine(LayerOneMachine):
    """Vectors longer than the blocks after which a euclidean distance may stop early."""

    DIMS = st.sampled_from([64, 65, 130])


class ManyLayersMachine(HNSWMachineBase):
    """Random levels: results checked by invariants, errors exactly."""

    LAYERS = st.sampled_from([0, 2, 3, 5, 40, 2**63, 2**64 - 1])

    @rule(data=st.data(), k=KS, flt=FILTERS)
    def search(self, data, k, flt):
        query = data.draw(st.one_of(vectors_of(self.model.dim),
                                    st.lists(COMPONENTS, max_size=self.model.dim + 2)))
        expected = ms.outcome(lambda: self.model.prepare_search(query, k, flt))
        actual = ms.outcome(lambda: self.index.search(query, k, flt))
        what = f"search({query!r}, {k!r}, {flt!r})"
        if expected[0] == "error":
            ms.assert_same_outcome(actual, expected, what)
            return
        assert actual[0] == "ok", f"{what}: {actual!r}"
        q, kk, bound, empty = expected[1]
        self.check_result(q, kk, bound, empty, actual[1], what)

    def check_result(self, q, k, bound, empty, result, what):
        model = self.model
        assert isinstance(result, list)
        if empty:
            assert result == []
            return
        assert len(result) <= max(k, 1) and len(result) <= model.efs, what
        if bound is None:
            assert result, what  # the start node is always in an unfiltered result
        keys = [ms.distance_key(d) for d, _ in result]
        assert keys == sorted(keys), what
        available = {}
        for i, v in enumerate(model.vectors):
            if bound is None or model.passes(bound, i):
                key = tuple(ms.distance_key(x) + (str(x),) for x in v)
                available[key] = available.get(key, 0) + 1
        for d, vector in result:
            assert isinstance(d, float) and isinstance(vector, list) and len(vector) == model.dim
            key = tuple(ms.distance_key(x) + (str(x),) for x in vector)
            assert available.get(key, 0) > 0, f"{what}: {vector!r} is not a stored vector passing the filter"
            available[key] -= 1
            assert ms.same_float(d, model.metric(q, vector)), what
        if len(model.vectors) == 1 and bound is None:
            v = model.vectors[0]
            assert ms.same_value(result, [(model.metric(q, v), v)]), what


_settings = settings(
    max_examples=120,
    stateful_step_count=20,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)
LayerOneMachine.TestCase.settings = _settings
ManyLayersMachine.TestCase.settings = settings(_settings, max_examples=80)
LongVectorLayerOneMachine.TestCase.settings = settings(_settings, max_examples=30)
test_hnsw_one_layer_model = LayerOneMachine.TestCase
test_hnsw_one_layer_model_long_vectors = LongVectorLayerOneMachine.TestCase
test_hnsw_many_layers_invariants = ManyLayersMachine.TestCase


def test_model_reproduces_worked_insertion_example():
    """The model's graph for 1-d inserts 0, 1, 3 with one layer: runs [1, 2], [0, 2], [1, 0]."""
    model = ms.HNSWModel(1, layers=1, metric="euclidean")
    for x in (0.0, 1.0, 3.0):
        model.insert([x])
    assert model.runs == [[1, 2], [0, 2], [1, 0]]


def test_insert_position_rule():
    assert ms.insert_position([(1.0, 0)], 1.0) == 0
    assert ms.insert_position([(1.0, 0), (1.0, 1)], 1.0) == 1
    assert ms.insert_position([(1.0, 0), (2.0, 1)], 1.5) == 1
    assert ms.insert_position([(1.0, 0), (ms.NAN, 1)], 5.0) == 1
