"""Filtered search on the pruned graph through the Python face: no search
returns a node that fails the filter or was removed, and the posting lists
behind the plan survive save, load, pickle, copies and an interrupted add.
(The scans' exactness, bit for bit, is a core test: test_pruned_filters.cpp.)"""

import copy
import pickle

import numpy as np
import pytest

from tessra import PyHNSW

def tagged_index(n=2000, dim=8, values=40, seed=3, **kwargs):
    rng = np.random.default_rng(seed)
    base = rng.standard_normal((n, dim))
    tags = rng.integers(0, values, n)
    index = PyHNSW(dim, metric="euclidean", graph="pruned", schema=["tag", "name"], ef_construction=48, seed=seed, **kwargs)
    index.add(base, metadata=[[("tag", int(t)), ("name", f"n{t % 7}")] for t in tags], threads=2)
    return index, base, tags, rng.standard_normal((20, dim))


def filtered_answers(index, queries, filters):
    return [index.search_batch(queries, 10, f, threads=1) for f in filters]


def same_answers(a, b):
    return all(np.array_equal(x[0], y[0]) and np.array_equal(x[1].view(np.int64), y[1].view(np.int64))
               for x, y in zip(a, b))


def test_posting_lists_survive_save_load_pickle_and_copies(tmp_path):
    index, base, tags, queries = tagged_index()
    index.remove([1, 2, 3, 500])
    filters = [("tag", 0), ("tag", 39), ("tag", 1000), ("name", "n3"), ("name", "n9")]
    expected = filtered_answers(index, queries, filters)
    path = tmp_path / "tagged.tsr"
    index.save(path)
    for other in (PyHNSW.load(path), pickle.loads(pickle.dumps(index)), copy.deepcopy(index), copy.copy(index)):
        assert same_answers(filtered_answers(other, queries, filters), expected)
        # Copies keep planning what they add.
        other.insert(list(queries[0]), [("tag", 1000), ("name", "x")])
        ids, _ = other.search_batch(queries[:1], 3, ("tag", 1000))
        assert ids[0].tolist() == [len(base), -1, -1]


def test_an_interrupted_add_keeps_the_posting_lists_of_the_linked_nodes():
    rng = np.random.default_rng(9)
    base = rng.standard_normal((30000, 8))
    tags = rng.integers(0, 50, len(base))
    metadata = [[("tag", int(t))] for t in tags]
    index = PyHNSW(8, metric="euclidean", graph="pruned", schema=["tag"], ef_construction=32, seed=2)

    def stop_soon(done, total):
        if done < total:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        index.add(base, metadata=metadata, threads=2, progress=stop_soon)
    kept = len(index)
    assert 0 < kept < len(base)
    for tag in (0, 7, 49):
        ids, dists = index.search_batch(base[:5], 1000, ("tag", tag))
        for row in ids:
            returned = sorted(i for i in row if i >= 0)
            assert returned == [i for i in range(kept) if tags[i] == tag]
    # The rest joins as if nothing had happened.
    index.add(base[kept:], metadata=metadata[kept:])
    ids, _ = index.search_batch(base[:5], 1000, ("tag", 7))
    assert sorted(i for i in ids[0] if i >= 0) == [i for i in range(len(base)) if tags[i] == 7]


@pytest.mark.parametrize("values", [1, 3, 300])  # every node matching: the walk; a third or fewer: the scan
def test_removed_nodes_never_come_back_through_either_plan(values):
    index, base, tags, queries = tagged_index(values=values, ef_search=16)
    target = int(tags[0])
    matching = {int(i) for i in np.flatnonzero(tags == target)}
    removed = {i for i in sorted(matching)[::2]} | {5}
    index.remove(sorted(removed))
    live = matching - removed
    ids, _ = index.search_batch(queries, 50, ("tag", target), threads=2)
    for row in ids:
        returned = [i for i in row if i >= 0]
        assert len(returned) == min(50, len(live)) and set(returned) <= live
    # Removing every match leaves nothing to return.
    index.remove(sorted(live))
    ids, dists = index.search_batch(queries, 10, ("tag", target))
    assert (ids == -1).all() and np.isnan(dists).all()


@pytest.mark.parametrize(
    "filter_, error",
    [(("colour", 1), "Search error: AttributeNotFound"), (("tag", 1.5j), "Unsupported type for metadata filter")],
)
def test_filter_errors_stay_as_they_are(filter_, error):
    index, _, _, queries = tagged_index(n=300)
    with pytest.raises(ValueError) as raised:
        index.search_batch(queries, 5, filter_)
    assert error in str(raised.value)
    with pytest.raises(ValueError) as single:
        index.search(list(queries[0]), 5, filter_)
    assert str(single.value) == str(raised.value)
