"""Model-based test of PyFlat: random call sequences against a plain Python model.

Every call (constructor, insert, create, search; valid and invalid arguments)
goes to the module and to the model; results must be bit-identical and errors
must have the same type and message.
"""

import math

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from tessra import PyFlat

import model_support as ms

# Few distinct component values, so that ties, zeros, NaN and infinities are common.
COMPONENTS = st.one_of(
    st.sampled_from([0.0, -0.0, 1.0, -1.0, 2.0, 0.5, 3.0, -2.5, ms.NAN, ms.INF, -ms.INF, 1e308, 5e-324, 1e-300]),
    st.integers(-3, 3),
    st.booleans(),
    st.floats(allow_nan=True, allow_infinity=True),
)
# Elements that conversion refuses (or that overflow).
BAD_COMPONENTS = st.sampled_from(["1.0", None, [1.0], 10**400, 1j, b"1"])

METRICS = st.sampled_from([None, "euclidean", "angular", "inner_product", "cosine", "Cosine", "", "dot"])
KS = st.one_of(
    st.none(),
    st.integers(0, 12),
    st.sampled_from([True, False, 2**64 - 1, 2**63, -1, 2**64, 1.0, 2.5, "3"]),
)


def vectors_of(dim):
    good = st.lists(COMPONENTS, min_size=dim, max_size=dim)
    wrong = st.sampled_from([n for n in range(dim + 3) if n != dim]).flatmap(
        lambda n: st.lists(COMPONENTS, min_size=n, max_size=n))
    bad = st.builds(
        lambda v, i, x: v[:i] + [x] + v[i:],
        st.lists(COMPONENTS, min_size=0, max_size=dim),
        st.integers(0, dim),
        BAD_COMPONENTS,
    )
    as_tuple = good.map(tuple)
    shapes = st.sampled_from(["abc", None, {1.0}, 3.0, iter([1.0])])
    return st.one_of(good, good, good, good, as_tuple, wrong, bad, shapes)


class FlatMachine(RuleBasedStateMachine):
    def new(self, dim, metric):
        model_outcome = ms.outcome(lambda: ms.FlatModel(dim, metric))
        index_outcome = ms.outcome(lambda: PyFlat(dim, metric))
        assert (model_outcome[0], index_outcome[0]) in (("ok", "ok"), ("error", "error"))
        if model_outcome[0] == "error":
            ms.assert_same_outcome(index_outcome, model_outcome, "constructor")
            return False
        self.model, self.index = model_outcome[1], index_outcome[1]
        return True

    DIMS = st.integers(0, 4)

    @initialize(data=st.data(), metric=METRICS)
    def start(self, data, metric):
        assert self.new(data.draw(self.DIMS), metric)

    @rule(dim=st.one_of(st.integers(0, 4), st.sampled_from([-1, 2**64, 1.5, None, "2", True])),
          metric=st.one_of(METRICS, st.sampled_from([5, b"cosine", "\ud800"])))
    def reconstruct(self, dim, metric):
        self.new(dim, metric)

    @rule(data=st.data())
    def insert(self, data):
        vector = data.draw(vectors_of(self.model.dim))
        expected = ms.outcome(lambda: self.model.insert(vector))
        actual = ms.outcome(lambda: self.index.insert(vector))
        ms.assert_same_outcome(actual, expected, f"insert({vector!r})")

    @rule(data=st.data())
    def create(self, data):
        dim = self.model.dim
        vectors = data.draw(st.one_of(
            st.lists(vectors_of(dim), max_size=4),
            st.lists(st.lists(COMPONENTS, min_size=dim, max_size=dim), min_size=1, max_size=5),
            st.sampled_from([[], (), "ab", None, [[1.0] * dim, "12"], {1}]),
        ))
        expected = ms.outcome(lambda: self.model.create(vectors))
        actual = ms.outcome(lambda: self.index.create(vectors))
        ms.assert_same_outcome(actual, expected, f"create({vectors!r})")

    @rule(data=st.data(), k=KS, by_keyword=st.booleans())
    def search(self, data, k, by_keyword):
        query = data.draw(vectors_of(self.model.dim))
        expected = ms.outcome(lambda: self.model.search(query, k))
        if by_keyword:
            actual = ms.outcome(lambda: self.index.search(query=query, k=k))
        else:
            actual = ms.outcome(lambda: self.index.search(query, k))
        ms.assert_same_outcome(actual, expected, f"search({query!r}, {k!r})")

    @invariant()
    def contents_agree(self):
        # Every stored vector, in id order, by a full-length search: a zero query
        # under euclidean distance is not enough to identify vectors, so compare
        # the whole ranking for a fixed probe.
        if self.model.count() == 0:
            return
        probe = [0.25 * (i + 1) for i in range(self.model.dim)]
        ms.assert_same_outcome(
            ms.outcome(lambda: self.index.search(probe, 2**64 - 1)),
            ms.outcome(lambda: self.model.search(probe, 2**64 - 1)),
            "probe",
        )


class LongVectorFlatMachine(FlatMachine):
    """Vectors longer than the blocks after which a euclidean scan may stop early."""

    DIMS = st.sampled_from([63, 64, 65, 130])


FlatMachine.TestCase.settings = settings(
    max_examples=150,
    stateful_step_count=25,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
LongVectorFlatMachine.TestCase.settings = settings(FlatMachine.TestCase.settings, max_examples=40)
test_flat_model = FlatMachine.TestCase
test_flat_model_long_vectors = LongVectorFlatMachine.TestCase


def test_model_metrics_agree_with_known_values():
    """The model itself: a few values worked out by hand."""
    assert ms.euclidean([0.0, 0.0], [3.0, 4.0]) == 5.0
    assert ms.dot([1.0, 2.0, 3.0], [4.0, 5.0, 6.0]) == 32.0
    assert math.isnan(ms.cosine([0.0, 0.0], [1.0, 1.0]))
    assert ms.cosine([1.0, 2.0, 3.0], [1.0, 2.0]) == 5 / (math.sqrt(14) * math.sqrt(5))
