"""Removing vectors: never returned again, exact for PyFlat, all or nothing, ids never reused."""

import numpy as np
import pytest

from reference import exact, expected_search
from tessra import PyFlat, PyHNSW

METRICS = ["euclidean", "inner_product", "cosine"]


def pruned(dim, **kwargs):
    return PyHNSW(dim, graph="pruned", **kwargs)


# Every index that removes: the exact one and both graphs.
INDEXES = pytest.mark.parametrize("cls", [PyFlat, PyHNSW, pruned], ids=["flat", "full", "pruned"])


def tied_data(seed, n=300, dim=6):
    """Small integers (many equal distances), some NaN components and zero vectors."""
    rng = np.random.default_rng(seed)
    data = rng.integers(-2, 3, (n, dim)).astype(float)
    data[rng.random(n) < 0.03, rng.integers(0, dim)] = np.nan
    data[rng.random(n) < 0.03] = 0.0
    return data


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("seed", range(3))
def test_flat_search_equals_the_full_ranking_without_the_removed(metric, seed):
    data = tied_data(seed)
    rows = data.tolist()
    rng = np.random.default_rng(100 + seed)
    index = PyFlat(data.shape[1], metric=metric)
    index.add(data)
    removed = set()
    queries = tied_data(200 + seed, n=8).tolist()
    # Enough rounds to go past the point where the sketches are fitted and to
    # remove nearly everything.
    for fraction in (0.05, 0.2, 0.5, 0.9):
        alive = [i for i in range(len(rows)) if i not in removed]
        chosen = rng.choice(alive, size=int(len(alive) * fraction), replace=False).tolist()
        index.remove(chosen)
        removed.update(chosen)
        assert len(index) == len(rows) - len(removed)
        for k in (1, 10, len(rows)):
            ranking = expected_search(rows, metric, queries[0], k=len(rows))
            wanted = [pair for pair in ranking if pair[0] not in removed][:k]
            assert exact(index.search(queries[0], k=k)) == exact(wanted)
        ids, distances = index.search_batch(queries, k=10, threads=2)
        for row, query in enumerate(queries):
            wanted = exact(index.search(query, k=10))
            got = [(int(i), float(d)) for i, d in zip(ids[row], distances[row]) if i >= 0]
            assert exact(got) == wanted


def make(cls, n=40, dim=3):
    rng = np.random.default_rng(5)
    data = rng.normal(size=(n, dim))
    index = cls(dim, metric="euclidean")
    index.add(data)
    return index, data


def answers(index, data):
    return [index.search(q, k=5) for q in data[:5].tolist()]


@INDEXES
@pytest.mark.parametrize(
    "ids, error, message",
    [
        ([3, 4, 2.5], TypeError, "argument 'ids': 'float' object cannot be interpreted as an integer"),
        ([3, "4"], TypeError, "argument 'ids': 'str' object cannot be interpreted as an integer"),
        ("12", TypeError, "argument 'ids': Can't extract `str` to `Vec`"),
        (None, TypeError, "argument 'ids': 'NoneType' object cannot be converted to 'Sequence'"),
        ([3, 40], ValueError, "Remove error: no vector has id 40"),
        ([3, -1], ValueError, "Remove error: no vector has id -1"),
        ([3, 2**64], ValueError, "Remove error: no vector has id 18446744073709551616"),
        ([3, 7], ValueError, "Remove error: id 7 was already removed"),
    ],
)
def test_a_refused_removal_changes_nothing(cls, ids, error, message):
    index, data = make(cls)
    index.remove([7])
    before = (len(index), answers(index, data), index.__reduce__()[1])
    with pytest.raises(error) as caught:
        index.remove(ids)
    assert str(caught.value) == message
    assert (len(index), answers(index, data), index.__reduce__()[1]) == before


@INDEXES
def test_accepted_forms_and_repeats(cls):
    index, data = make(cls)
    index.remove(3)
    index.remove(np.array([4, 5], dtype=np.int32))
    index.remove((6, 6, 8))  # a repeat within one call is removed once
    index.remove([])
    index.remove(np.uint64(9))
    assert len(index) == 40 - 6
    ids, _ = index.search_batch(data, k=40)
    assert not set(ids.ravel().tolist()) & {3, 4, 5, 6, 8, 9}


@INDEXES
def test_ids_are_never_reused(cls):
    index, data = make(cls)
    index.remove(list(range(30, 40)))
    assert index.add(data[:3]).tolist() == [40, 41, 42]
    assert len(index) == 33


def test_removing_everything():
    flat, data = make(PyFlat)
    flat.remove(range(40))
    with pytest.raises(ValueError, match="^Search error: EmptyIndex$"):
        flat.search(data[0])
    graph, data = make(PyHNSW)
    graph.remove(range(40))
    assert graph.search(data[0], k=3) == []
    assert graph.search_batch(data[:2], k=3)[0].shape == (2, 0)


@INDEXES
def test_remove_takes_the_index_to_itself(cls):
    index, data = make(cls)

    class Query(list):
        def __iter__(self):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                index.remove([1])
            return super().__iter__()

    index.search(Query(data[0].tolist()))
    assert len(index) == 40


def clustered(seed, n, dim=16, clusters=30):
    rng = np.random.default_rng(seed)
    centres = rng.normal(0.0, 4.0, (clusters, dim))
    return centres[rng.integers(0, clusters, n)] + rng.normal(0.0, 1.0, (n, dim))


def recall(index, data, alive, queries, k=10):
    alive = np.asarray(alive)
    hits = 0
    ids, _ = index.search_batch(queries, k=k)
    for q, row in zip(queries, ids):
        exact_ids = alive[np.argsort(((data[alive] - q) ** 2).sum(axis=1), kind="stable")[:k]]
        hits += len(set(row.tolist()) & set(exact_ids.tolist()))
    return hits / (k * len(queries))


@pytest.mark.parametrize("graph", ["full", "pruned"])
def test_graph_recall_after_removing_a_fifth(graph):
    data = clustered(1, 3000)
    queries = clustered(2, 200)
    rng = np.random.default_rng(3)
    removed = rng.choice(len(data), size=len(data) // 5, replace=False)
    alive = np.setdiff1d(np.arange(len(data)), removed)

    index = PyHNSW(16, metric="euclidean", ef_search=20, seed=1, graph=graph)
    index.add(data)
    index.remove(removed)
    ids, _ = index.search_batch(queries, k=10)
    assert not set(ids.ravel().tolist()) & set(removed.tolist())
    assert (ids >= 0).all()  # every row filled with nodes that remain

    fresh = PyHNSW(16, metric="euclidean", ef_search=20, seed=1, graph=graph)
    fresh.add(data[alive])
    fresh_recall = recall(fresh, data[alive], np.arange(len(alive)), queries)
    assert recall(index, data, alive, queries) >= fresh_recall - 0.01


@pytest.mark.parametrize("graph", ["full", "pruned"])
def test_filtered_graph_search_never_returns_a_removed_node(graph):
    data = clustered(4, 600)
    index = PyHNSW(16, metric="euclidean", schema=["tag"], graph=graph)
    index.add(data, metadata=[[("tag", i % 3)] for i in range(len(data))])
    index.remove(range(0, 600, 2))
    for q in clustered(5, 20):
        for _, v in index.search(q, k=10, filter=("tag", 1)):
            i = int(np.flatnonzero((data == v).all(axis=1))[0])
            assert i % 2 == 1 and i % 3 == 1


@INDEXES
@pytest.mark.parametrize("seed", range(4))
def test_no_removed_id_ever_comes_back(cls, seed, tmp_path):
    """Random insert / add / remove / search / save / load sequences against a model of which ids live."""
    rng = np.random.default_rng(seed)
    index = cls(4, metric="euclidean")
    alive, assigned = set(), 0
    for step in range(60):
        action = rng.integers(0, 6)
        if action == 0 or assigned == 0:
            index.insert(rng.normal(size=4).tolist())
            alive.add(assigned)
            assigned += 1
        elif action == 1:
            n = int(rng.integers(1, 40))
            assert index.add(rng.normal(size=(n, 4))).tolist() == list(range(assigned, assigned + n))
            alive.update(range(assigned, assigned + n))
            assigned += n
        elif action == 2 and alive:
            chosen = rng.choice(sorted(alive), size=int(rng.integers(1, len(alive) + 1)), replace=False)
            index.remove(chosen)
            alive.difference_update(chosen.tolist())
        elif action == 3:
            index.save(tmp_path / "i.tsr")
            index = type(index).load(tmp_path / "i.tsr")
        else:
            queries = rng.normal(size=(3, 4))
            if not alive:
                if cls is PyFlat:
                    with pytest.raises(ValueError, match="EmptyIndex"):
                        index.search_batch(queries, k=5)
                continue
            ids, _ = index.search_batch(queries, k=int(rng.integers(1, 20)))
            found = set(ids.ravel().tolist()) - {-1}
            assert found <= alive
        assert len(index) == len(alive)
