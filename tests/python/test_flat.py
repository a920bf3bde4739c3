"""Behaviour of the exhaustive index PyFlat: metrics, ranking, insert/create/search."""

import math
import random
import sys

import pytest

import tessra
from tessra import PyFlat

from reference import (
    INF,
    NAN,
    U64_MAX,
    cosine,
    dot,
    euclidean,
    exact,
    expected_search,
    run_isolated,
)


def build(dim, vectors, metric=None):
    idx = PyFlat(dim, metric)
    for v in vectors:
        idx.insert(v)
    return idx


def all_results(idx, query):
    return idx.search(query, 10**5)


def stored_count(idx, dim):
    try:
        return len(idx.search([0.0] * dim, 10**5))
    except ValueError as exc:
        assert str(exc) == "Search error: EmptyIndex"
        return 0


def probes(dim):
    qs = [[0.0] * dim, [1.0] * dim, [float(i) - 1.5 for i in range(dim)]]
    return qs


def snapshot(idx, dim):
    """Full rankings for a few probe queries: equal snapshots mean equal contents."""
    if stored_count(idx, dim) == 0:
        return None
    return [exact(all_results(idx, q)) for q in probes(dim)]


def assert_matches_reference(idx, vectors, metric, query, k):
    assert exact(idx.search(query, k)) == exact(expected_search(vectors, metric, query, k))


# ---------------------------------------------------------------- metric selection

# Stored vectors and a query on which the three metrics give different rankings
# and different values, so a result identifies the metric.
DISCRIMINATING = [[1.0, 0.0], [3.0, 4.0], [-2.0, 1.0], [0.5, 0.5], [0.0, 0.0]]
DISCRIMINATING_QUERY = [1.0, 2.0]


class CosineName(str):
    pass


@pytest.mark.parametrize(
    "metric, expected",
    [
        (None, "euclidean"),
        ("euclidean", "euclidean"),
        ("angular", "euclidean"),
        ("inner_product", "inner_product"),
        ("cosine", "cosine"),
        ("Cosine", "euclidean"),
        ("COSINE", "euclidean"),
        ("Euclidean", "euclidean"),
        ("Inner_product", "euclidean"),
        ("inner-product", "euclidean"),
        ("innerproduct", "euclidean"),
        ("dot", "euclidean"),
        ("", "euclidean"),
        ("cosine ", "euclidean"),
        (" cosine", "euclidean"),
        ("cosin", "euclidean"),
        ("cosines", "euclidean"),
        ("cosine\x00", "euclidean"),
        ("cosine\x00x", "euclidean"),
        ("inner_product\x00", "euclidean"),
        ("\uff43osine", "euclidean"),
        ("manhattan", "euclidean"),
        (CosineName("cosine"), "cosine"),
        (CosineName("inner_product"), "inner_product"),
    ],
)
def test_metric_selected_by_exact_name(metric, expected):
    idx = build(2, DISCRIMINATING, metric)
    got = exact(all_results(idx, DISCRIMINATING_QUERY))
    want = exact(expected_search(DISCRIMINATING, expected, DISCRIMINATING_QUERY, 100))
    assert got == want


def test_discriminating_data_really_discriminates():
    rankings = {
        m: exact(expected_search(DISCRIMINATING, m, DISCRIMINATING_QUERY, 100))
        for m in ("euclidean", "inner_product", "cosine")
    }
    assert len({tuple(r) for r in rankings.values()}) == 3


@pytest.mark.parametrize("how", ["omitted", "positional", "keyword"])
def test_metric_none_or_absent_is_euclidean(how):
    if how == "omitted":
        idx = PyFlat(2)
    elif how == "positional":
        idx = PyFlat(2, None)
    else:
        idx = PyFlat(dim=2, metric=None)
    for v in DISCRIMINATING:
        idx.insert(v)
    assert exact(all_results(idx, DISCRIMINATING_QUERY)) == exact(
        expected_search(DISCRIMINATING, "euclidean", DISCRIMINATING_QUERY, 100)
    )


def test_metric_given_by_keyword_only_dim_positional():
    idx = PyFlat(2, metric="cosine")
    for v in DISCRIMINATING:
        idx.insert(v)
    assert exact(all_results(idx, DISCRIMINATING_QUERY)) == exact(
        expected_search(DISCRIMINATING, "cosine", DISCRIMINATING_QUERY, 100)
    )


# ---------------------------------------------------------------- metric values


@pytest.mark.parametrize(
    "metric, stored, query, value",
    [
        ("euclidean", [3.0, 4.0], [0.0, 0.0], 5.0),
        ("euclidean", [1.5, -2.25], [1.5, -2.25], 0.0),
        ("inner_product", [4.0, 5.0, 6.0], [1.0, 2.0, 3.0], 32.0),
        ("cosine", [0.0, 1.0], [1.0, 0.0], 0.0),
        ("cosine", [2.0, 0.0], [1.0, 0.0], 1.0),
        ("cosine", [1.0, 1.0], [0.0, 0.0], NAN),
        ("cosine", [0.0, 0.0], [1.0, 1.0], NAN),
        ("cosine", [-3.0, 0.0], [2.0, 0.0], -1.0),
    ],
)
def test_metric_values(metric, stored, query, value):
    idx = build(len(stored), [stored], metric)
    [(ident, dist)] = idx.search(query)
    assert ident == 0
    if math.isnan(value):
        assert math.isnan(dist)
    else:
        assert float.hex(dist) == float.hex(value)


def test_self_distance_is_exactly_zero_for_awkward_values():
    vectors = [[0.1, 0.2, 0.3, 1e-300, 1e300, -7.25, 5e-324]]
    idx = build(7, vectors)
    [(ident, dist)] = idx.search(vectors[0])
    assert (ident, float.hex(dist)) == (0, float.hex(0.0))


@pytest.mark.parametrize("metric", ["euclidean", "inner_product", "cosine"])
def test_sequential_summation_order(metric):
    # Sums whose value depends on the order of additions: only the plain
    # left-to-right accumulation gives these results.
    big = 1e16
    stored = [
        [big, 1.0, -big, 1.0, big, 1.0, -big, 1.0, 1.0],
        [1.0, big, 1.0, -big, 3.0, -3.0, 1e-3, 2.0**-30, -big],
        [1e308, 1e308, -1e308, -1e308, 1.0, 1.0, 1.0, 1.0, 1.0],
        [2.0**53, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, -(2.0**53)],
    ]
    query = [1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0]
    idx = build(9, stored, metric)
    assert_matches_reference(idx, stored, metric, query, 10)
    query2 = [0.0, -1.0, 0.5, 2.0, -0.25, 1e-8, 7.0, -1e8, 3.0]
    assert_matches_reference(idx, stored, metric, query2, 10)


# ---------------------------------------------------------------- ranking examples


def test_example_euclidean_k2_and_k10():
    idx = build(2, [[0, 0], [3, 4], [1, 0]], "euclidean")
    assert idx.search([0, 0], 2) == [(0, 0.0), (2, 1.0)]
    assert idx.search([0, 0], 10) == [(0, 0.0), (2, 1.0), (1, 5.0)]


@pytest.fixture
def three_d():
    return build(3, [[0, 0, 0], [1, 0, 0], [5, 5, 5]])


def test_example_k_omitted(three_d):
    assert three_d.search([0, 0, 0]) == [(0, 0.0)]


@pytest.mark.parametrize("k", [None, 0, 1, False, True])
def test_k_none_zero_one_give_one_pair(three_d, k):
    assert three_d.search([0, 0, 0], k) == [(0, 0.0)]
    assert three_d.search([0, 0, 0], k=k) == [(0, 0.0)]


def test_example_k5(three_d):
    assert three_d.search([0, 0, 0], 5) == [(0, 0.0), (1, 1.0), (2, 8.660254037844387)]


@pytest.mark.parametrize("k", [2, 3])
def test_k_limits_result(three_d, k):
    assert three_d.search([5, 5, 5], k) == [(2, 0.0), (1, math.sqrt(66.0)), (0, math.sqrt(75.0))][:k]


@pytest.mark.parametrize("k", [3, 4, 1000, 10**6, 2**31, 2**32 + 1, 2**63, U64_MAX])
def test_k_larger_than_count_returns_everything(k):
    # Runs in its own interpreter: a module that sizes anything by k could abort.
    code = f"""
from tessra import PyFlat
idx = PyFlat(3)
for v in ([0, 0, 0], [1, 0, 0], [5, 5, 5]):
    idx.insert(v)
print(idx.search([0, 0, 0], {k}))
"""
    rc, out, err = run_isolated(code)
    assert rc == 0, err
    assert out.strip() == "[(0, 0.0), (1, 1.0), (2, 8.660254037844387)]"


def test_inner_product_least_similar_first():
    idx = build(2, [[1, 0], [-1, 0]], "inner_product")
    assert idx.search([1, 0], 1) == [(1, -1.0)]


def test_inner_product_ranks_raw_values():
    # dot products with the query: 10, -2, 3
    idx = build(2, [[10, 0], [-2, 5], [3, 1]], "inner_product")
    assert idx.search([1, 0], 3) == [(1, -2.0), (2, 3.0), (0, 10.0)]


def test_cosine_least_similar_first_and_zero_vector_last():
    stored = [[0, 0], [1, 0], [0, 1], [-1, 0], [1, 1]]
    idx = build(2, stored, "cosine")
    res = idx.search([1, 1], 10)
    assert [i for i, _ in res] == [3, 1, 2, 4, 0]
    assert math.isnan(res[-1][1])
    assert exact(res) == exact(expected_search(stored, "cosine", [1, 1], 10))


def test_angular_is_euclidean_in_flat_index():
    stored = [[1, 0], [10, 0], [0, 2]]
    idx = build(2, stored, "angular")
    assert idx.search([1, 0], 3) == [(0, 0.0), (2, math.sqrt(5.0)), (1, 9.0)]


# ---------------------------------------------------------------- ties and NaN


def test_duplicate_vector_gets_two_ids_equal_distance_lower_id_first():
    idx = build(2, [[5, 5], [1, 1], [1, 1]])
    assert idx.search([1, 1], 3) == [(1, 0.0), (2, 0.0), (0, math.sqrt(32.0))]


@pytest.mark.parametrize("metric", ["euclidean", "inner_product", "cosine"])
def test_many_ties_come_back_in_id_order(metric):
    rng = random.Random(7)
    kinds = [[1.0, 2.0], [2.0, 1.0], [-1.0, 0.5], [0.0, 0.0]]
    stored = [list(rng.choice(kinds)) for _ in range(300)]
    idx = build(2, stored, metric)
    for query in ([1.0, 1.0], [0.0, 0.0], [-2.0, 3.0]):
        for k in (1, 5, 77, 150, 299, 300, 1000):
            assert_matches_reference(idx, stored, metric, query, k)


def test_equal_distances_from_different_vectors_tie_by_id():
    # four different points on a circle around the query
    stored = [[0, 5], [5, 0], [3, 4], [-4, -3], [0, -5]]
    idx = build(2, stored)
    assert idx.search([0, 0], 5) == [(0, 5.0), (1, 5.0), (2, 5.0), (3, 5.0), (4, 5.0)]


def test_nan_components_rank_last_in_id_order():
    stored = [
        [NAN, 0.0],   # 0: NaN
        [1.0, 1.0],   # 1
        [0.0, NAN],   # 2: NaN
        [INF, 0.0],   # 3: inf
        [0.5, 0.0],   # 4
        [NAN, NAN],   # 5: NaN
        [-1.0, 0.0],  # 6
    ]
    idx = build(2, stored)
    res = idx.search([0.0, 0.0], 7)
    assert [i for i, _ in res] == [4, 6, 1, 3, 0, 2, 5]
    assert res[3][1] == INF
    assert all(math.isnan(d) for _, d in res[4:])
    assert exact(res) == exact(expected_search(stored, "euclidean", [0.0, 0.0], 7))


def test_nan_first_in_insertion_order_still_ranks_last():
    idx = build(1, [[NAN], [NAN], [2.0], [NAN], [1.0]])
    res = idx.search([0.0], 1)
    assert res == [(4, 1.0)]
    res = idx.search([0.0], 3)
    assert [i for i, _ in res] == [4, 2, 0]


def test_nan_query_makes_every_distance_nan():
    idx = build(2, [[1, 2], [3, 4], [5, 6]])
    res = idx.search([NAN, 0.0], 3)
    assert [i for i, _ in res] == [0, 1, 2]
    assert all(math.isnan(d) for _, d in res)


def test_cosine_zero_query_gives_all_nan():
    idx = build(2, [[1, 2], [3, 4], [0, 0]], "cosine")
    res = idx.search([0, 0], 3)
    assert [i for i, _ in res] == [0, 1, 2]
    assert all(math.isnan(d) for _, d in res)


@pytest.mark.parametrize("metric", ["euclidean", "inner_product", "cosine"])
def test_infinities(metric):
    stored = [
        [INF, 0.0],
        [-INF, 1.0],
        [1.0, 1.0],
        [INF, INF],
        [0.0, -INF],
        [1e308, 1e308],
        [-2.0, 0.5],
    ]
    idx = build(2, stored, metric)
    for query in ([1.0, 0.0], [INF, 0.0], [-1.0, -INF], [0.0, 0.0], [1e308, -1e308]):
        assert_matches_reference(idx, stored, metric, query, 100)


def test_inner_product_negative_infinity_ranks_first():
    idx = build(1, [[1.0], [-INF], [-5.0], [0.0]], "inner_product")
    assert idx.search([1.0], 4) == [(1, -INF), (2, -5.0), (3, 0.0), (0, 1.0)]


def test_inner_product_inf_times_zero_is_nan_and_last():
    idx = build(2, [[INF, 1.0], [1.0, 1.0]], "inner_product")
    res = idx.search([0.0, 1.0], 2)
    assert res[0] == (1, 1.0)
    assert res[1][0] == 0 and math.isnan(res[1][1])


def test_overflowing_squares_give_inf_distance():
    idx = build(2, [[1e200, 0.0], [1.0, 0.0]])
    assert idx.search([0.0, 0.0], 2) == [(1, 1.0), (0, INF)]


def test_subnormal_values():
    stored = [[5e-324, 0.0], [1e-310, 1e-310], [0.0, 0.0]]
    idx = build(2, stored)
    assert_matches_reference(idx, stored, "euclidean", [0.0, 5e-324], 3)
    idx = build(2, stored, "inner_product")
    assert_matches_reference(idx, stored, "inner_product", [1e300, 1e10], 3)


# ---------------------------------------------------------------- randomized comparison


def _random_value(rng):
    r = rng.random()
    if r < 0.3:
        return float(rng.randint(-3, 3))
    if r < 0.6:
        return rng.uniform(-1, 1)
    return rng.uniform(-1, 1) * 10.0 ** rng.randint(-12, 12)


@pytest.mark.parametrize("metric", ["euclidean", "inner_product", "cosine"])
@pytest.mark.parametrize("dim", [1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 33, 64])
def test_random_against_reference(metric, dim):
    rng = random.Random(dim * 1000 + len(metric))
    n = rng.randint(1, 80)
    stored = [[_random_value(rng) for _ in range(dim)] for _ in range(n)]
    # some exact duplicates for ties
    for _ in range(5):
        stored.append(list(rng.choice(stored)))
    idx = build(dim, stored, metric)
    for _ in range(4):
        query = [_random_value(rng) for _ in range(dim)]
        for k in (0, 1, 2, n // 2, len(stored), len(stored) + 10):
            assert_matches_reference(idx, stored, metric, query, k)


@pytest.mark.parametrize("dim", [65, 128, 129, 200])
def test_near_ties_in_high_dimensions(dim):
    # Permutations of one set of values give distances that differ by a few
    # ulps (different summation order), so the k-th best is surrounded by
    # near-ties; some vectors only differ after the first 64 components.
    rng = random.Random(dim)
    base = [rng.uniform(-1, 1) * 10.0 ** rng.randint(-3, 3) for _ in range(64)]
    stored = []
    for i in range(260):
        head = base[:]
        rng.shuffle(head)
        tail = [0.0] * (dim - 64)
        if i % 5 == 1:
            tail[rng.randrange(dim - 64)] = rng.choice([1e-9, 1e-12, 5e-324, NAN, INF])
        if i % 7 == 3:
            stored.append(list(stored[-1]))
            continue
        stored.append(head + tail)
    idx = PyFlat(dim)
    idx.create(stored)
    queries = [[0.0] * dim, [1e-6] * dim, [rng.uniform(-1, 1) for _ in range(dim)]]
    for query in queries:
        for k in (1, 2, 3, 5, 17, 33, 100, 260):
            assert_matches_reference(idx, stored, "euclidean", query, k)


@pytest.mark.parametrize("dim", [70, 257])
def test_high_dimension_random_against_reference(dim):
    rng = random.Random(dim + 1)
    stored = [[_random_value(rng) for _ in range(dim)] for _ in range(120)]
    for metric in ("euclidean", "inner_product", "cosine"):
        idx = PyFlat(dim, metric)
        idx.create(stored)
        for _ in range(3):
            query = [_random_value(rng) for _ in range(dim)]
            for k in (1, 4, 20, 120):
                assert_matches_reference(idx, stored, metric, query, k)


@pytest.mark.parametrize("metric", ["euclidean", "inner_product", "cosine"])
def test_larger_index_against_reference(metric):
    rng = random.Random(12345)
    dim = 19
    stored = [[rng.gauss(0, 1) for _ in range(dim)] for _ in range(1500)]
    idx = PyFlat(dim, metric)
    idx.create(stored[:700])
    for v in stored[700:]:
        idx.insert(v)
    query = [rng.gauss(0, 1) for _ in range(dim)]
    assert_matches_reference(idx, stored, metric, query, len(stored))
    assert_matches_reference(idx, stored, metric, query, 10)


# ---------------------------------------------------------------- results


def test_result_types():
    idx = build(2, [[1, 2], [3, 4]])
    res = idx.search([0, 0], 2)
    assert type(res) is list
    for item in res:
        assert type(item) is tuple
        assert len(item) == 2
        assert type(item[0]) is int
        assert type(item[1]) is float


def test_results_are_new_objects_every_call():
    idx = build(2, [[1, 2], [3, 4]])
    a = idx.search([0, 0], 2)
    b = idx.search([0, 0], 2)
    assert a == b
    assert a is not b
    for x, y in zip(a, b):
        assert x is not y
    a.clear()
    assert idx.search([0, 0], 2) == b


def test_large_ids_are_plain_ints():
    idx = PyFlat(1)
    idx.create([[float(i)] for i in range(300)])
    res = idx.search([299.0], 300)
    assert res[0] == (299, 0.0)
    assert sorted(i for i, _ in res) == list(range(300))
    assert all(type(i) is int for i, _ in res)


def test_index_keeps_no_reference_to_inputs():
    vec = [1.0, 2.0, 3.0]
    batch = [[4.0, 5.0, 6.0], [7.0, 8.0, 9.0]]
    query = [0.0, 0.0, 0.0]
    before = [sys.getrefcount(o) for o in (vec, batch, batch[0], batch[1], query)]
    idx = PyFlat(3)
    idx.insert(vec)
    idx.create(batch)
    first = idx.search(query, 3)
    after = [sys.getrefcount(o) for o in (vec, batch, batch[0], batch[1], query)]
    assert before == after
    vec[0] = 100.0
    batch[0][0] = 100.0
    batch.append([0.0, 0.0, 0.0])
    query[0] = 100.0
    assert idx.search([0.0, 0.0, 0.0], 3) == first


# ---------------------------------------------------------------- empty index and dimension 0


@pytest.mark.parametrize("k", [None, 0, 1, 5, U64_MAX])
def test_search_on_fresh_index_is_empty_index(k):
    idx = PyFlat(3)
    with pytest.raises(ValueError) as info:
        idx.search([0, 0, 0], k)
    assert type(info.value) is ValueError
    assert str(info.value) == "Search error: EmptyIndex"
    assert info.value.__cause__ is None


@pytest.mark.parametrize("query, n", [([0, 0], 2), ([0, 0, 0, 0], 4), ([], 0)])
def test_wrong_query_length_reported_before_emptiness(query, n):
    idx = PyFlat(3)
    with pytest.raises(ValueError, match=rf"^Expected query of length 3, got {n}$"):
        idx.search(query)


def test_dimension_zero():
    idx = PyFlat(0)
    idx.insert([])
    idx.insert(())
    assert idx.create([[], []]) is None
    for k in (None, 0, 5):
        with pytest.raises(ValueError, match=r"^Search error: EmptyIndex$"):
            idx.search([], k)
    with pytest.raises(ValueError, match=r"^Expected vector of length 0, got 1$"):
        idx.insert([1.0])
    with pytest.raises(ValueError, match=r"^Expected query of length 0, got 2$"):
        idx.search([1.0, 2.0])
    with pytest.raises(ValueError, match=r"^Create error: EmptyVectors$"):
        idx.create([])
    with pytest.raises(ValueError, match=r"^Vector length 1 does not match index dimension 0$"):
        idx.create([[], [1.0]])


@pytest.mark.parametrize("dim", [2**32, 2**63, U64_MAX])
def test_huge_dimension_is_accepted_and_reported_in_decimal(dim):
    idx = PyFlat(dim)
    with pytest.raises(ValueError, match=rf"^Expected vector of length {dim}, got 1$"):
        idx.insert([1.0])
    with pytest.raises(ValueError, match=rf"^Expected query of length {dim}, got 0$"):
        idx.search([])
    with pytest.raises(ValueError, match=rf"^Vector length 2 does not match index dimension {dim}$"):
        idx.create([[1.0, 2.0]])


# ---------------------------------------------------------------- insert


def test_insert_returns_none_and_assigns_ids_in_order():
    idx = PyFlat(2)
    assert idx.insert([3, 3]) is None
    assert idx.insert([1, 1]) is None
    assert idx.insert([2, 2]) is None
    assert [i for i, _ in idx.search([0, 0], 3)] == [1, 2, 0]


@pytest.mark.parametrize("vector, n", [([1, 2], 2), ([1, 2, 3, 4], 4), ([], 0), ([1] * 300, 300)])
def test_insert_wrong_length(vector, n):
    idx = build(3, [[1, 1, 1]])
    before = snapshot(idx, 3)
    with pytest.raises(ValueError) as info:
        idx.insert(vector)
    assert type(info.value) is ValueError
    assert str(info.value) == f"Expected vector of length 3, got {n}"
    assert snapshot(idx, 3) == before
    idx.insert([2, 2, 2])  # the index is not left borrowed
    assert stored_count(idx, 3) == 2


def test_insert_wrong_length_on_empty_index_stores_nothing():
    idx = PyFlat(3)
    with pytest.raises(ValueError):
        idx.insert([1, 2])
    with pytest.raises(ValueError, match="^Search error: EmptyIndex$"):
        idx.search([0, 0, 0])


def test_insert_mixed_numbers():
    idx = PyFlat(3)
    idx.insert([1, True, 2.5])
    assert exact(idx.search([0, 0, 0])) == exact([(0, euclidean([0, 0, 0], [1.0, 1.0, 2.5]))])


# ---------------------------------------------------------------- search


@pytest.mark.parametrize("query, n", [([0, 0], 2), ([0, 0, 0, 0], 4), ([], 0)])
def test_search_wrong_length(three_d, query, n):
    with pytest.raises(ValueError) as info:
        three_d.search(query, 3)
    assert type(info.value) is ValueError
    assert str(info.value) == f"Expected query of length 3, got {n}"


def test_search_converts_k_before_checking_query_length(three_d):
    with pytest.raises(OverflowError):
        three_d.search([0, 0], -1)
    with pytest.raises(TypeError, match=r"^argument 'k': 'float' object cannot be interpreted as an integer$"):
        three_d.search([0, 0], 1.5)


def test_search_converts_k_before_emptiness_check():
    idx = PyFlat(3)
    with pytest.raises(OverflowError):
        idx.search([0, 0, 0], -1)
    with pytest.raises(TypeError, match=r"^argument 'k': "):
        idx.search([0, 0, 0], "2")


def test_search_converts_query_before_k(three_d):
    with pytest.raises(TypeError, match=r"^argument 'query': "):
        three_d.search("abc", -1)
    with pytest.raises(TypeError, match=r"^argument 'query': "):
        three_d.search([0, 0, "x"], 1.5)


def test_search_does_not_change_index(three_d):
    before = snapshot(three_d, 3)
    for _ in range(3):
        three_d.search([1, 2, 3], 2)
    assert snapshot(three_d, 3) == before


# ---------------------------------------------------------------- create


def test_create_on_fresh_index():
    vectors = [[1, 2], [3, 4], [0, 0]]
    idx = PyFlat(2)
    assert idx.create(vectors) is None
    assert idx.search([0, 0], 3) == [(2, 0.0), (0, math.sqrt(5.0)), (1, 5.0)]


def test_create_appends_and_ids_continue():
    idx = build(2, [[10, 10], [20, 20]])
    idx.create([[1, 1], [2, 2]])
    idx.insert([3, 3])
    idx.create([[4, 4]])
    res = idx.search([0, 0], 10)
    assert [i for i, _ in res] == [2, 3, 4, 5, 0, 1]
    stored = [[10, 10], [20, 20], [1, 1], [2, 2], [3, 3], [4, 4]]
    assert exact(res) == exact(expected_search(stored, "euclidean", [0, 0], 10))


def test_create_same_as_repeated_insert():
    rng = random.Random(3)
    stored = [[rng.uniform(-5, 5) for _ in range(6)] for _ in range(40)]
    a = PyFlat(6, "cosine")
    a.create(stored)
    b = build(6, stored, "cosine")
    assert snapshot(a, 6) == snapshot(b, 6)


@pytest.mark.parametrize("empty", [[], (), range(0)])
def test_create_empty_is_refused_and_changes_nothing(empty):
    idx = build(2, [[1, 1]])
    before = snapshot(idx, 2)
    with pytest.raises(ValueError) as info:
        idx.create(empty)
    assert type(info.value) is ValueError
    assert str(info.value) == "Create error: EmptyVectors"
    assert snapshot(idx, 2) == before
    fresh = PyFlat(2)
    with pytest.raises(ValueError, match="^Create error: EmptyVectors$"):
        fresh.create(empty)
    with pytest.raises(ValueError, match="^Search error: EmptyIndex$"):
        fresh.search([0, 0])


@pytest.mark.parametrize(
    "batch, bad_len",
    [
        ([[1, 2, 3], [4, 5]], 2),
        ([[4, 5], [1, 2, 3]], 2),
        ([[1, 2, 3], [4, 5, 6], [7, 8, 9, 10]], 4),
        ([[1, 2, 3], [4, 5], [6]], 2),
        ([[1, 2, 3], [], [4, 5, 6]], 0),
        ([[1]], 1),
    ],
)
def test_create_with_wrong_length_stores_nothing(batch, bad_len):
    # every length is checked before anything is appended
    idx = PyFlat(3)
    with pytest.raises(ValueError) as info:
        idx.create(batch)
    assert type(info.value) is ValueError
    assert str(info.value) == f"Vector length {bad_len} does not match index dimension 3"
    with pytest.raises(ValueError, match="^Search error: EmptyIndex$"):
        idx.search([0, 0, 0])

    idx = build(3, [[9, 9, 9], [8, 8, 8]])
    before = snapshot(idx, 3)
    with pytest.raises(ValueError, match=rf"^Vector length {bad_len} does not match index dimension 3$"):
        idx.create(batch)
    assert snapshot(idx, 3) == before
    # still usable, and ids continue from the stored vectors
    idx.create([[0, 0, 0]])
    assert idx.search([0, 0, 0]) == [(2, 0.0)]


def test_create_wrong_length_is_an_ordinary_value_error():
    idx = PyFlat(2)
    try:
        idx.create([[1, 2], [3], [4, 5]])
    except Exception as exc:  # must be catchable as an ordinary error
        assert type(exc) is ValueError
        assert str(exc) == "Vector length 1 does not match index dimension 2"
    else:
        pytest.fail("create accepted a vector of the wrong length")
    with pytest.raises(ValueError, match="^Search error: EmptyIndex$"):
        idx.search([0, 0])
    idx.insert([1, 2])
    assert idx.search([1, 2]) == [(0, 0.0)]


def test_create_converts_everything_before_checking_lengths():
    idx = PyFlat(3)
    with pytest.raises(TypeError, match=r"^argument 'vectors': "):
        idx.create([[1, 2], [1, 2, "x"]])
    with pytest.raises(TypeError, match=r"^argument 'vectors': Can't extract `str` to `Vec`$"):
        idx.create([[1, 2], "12"])


def test_create_conversion_failure_stores_nothing():
    idx = build(2, [[1, 1]])
    before = snapshot(idx, 2)
    with pytest.raises(TypeError):
        idx.create([[2, 2], [3, 3], [4, None]])
    with pytest.raises(OverflowError):
        idx.create([[2, 2], [10**400, 3]])
    assert snapshot(idx, 2) == before


def test_independent_indexes():
    a = build(2, [[1, 1]])
    b = build(2, [[5, 5], [6, 6]], "inner_product")
    a.create([[2, 2]])
    assert a.search([0, 0], 5) == [(0, math.sqrt(2.0)), (1, math.sqrt(8.0))]
    assert b.search([1, 1], 5) == [(0, 10.0), (1, 12.0)]


def test_many_indexes_created_and_dropped():
    for i in range(200):
        idx = PyFlat(8, ["cosine", None, "inner_product"][i % 3])
        idx.create([[float(j + i)] * 8 for j in range(20)])
        assert len(idx.search([0.0] * 8, 5)) == 5
        del idx


def test_instance_type():
    idx = PyFlat(3)
    assert type(idx) is PyFlat
    assert isinstance(idx, tessra.PyFlat)


@pytest.mark.parametrize("metric", ["euclidean", "inner_product", "cosine"])
def test_distances_match_reference_functions(metric):
    fn = {"euclidean": euclidean, "inner_product": dot, "cosine": cosine}[metric]
    stored = [[0.1, 0.7, -0.3], [2.5, -1.0, 1e-7], [-4.0, 3.0, 12.0]]
    query = [0.3, -0.2, 0.9]
    idx = build(3, stored, metric)
    got = dict(idx.search(query, 3))
    for i, v in enumerate(stored):
        assert float.hex(got[i]) == float.hex(fn(query, v))
