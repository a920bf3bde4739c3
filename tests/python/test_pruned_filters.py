"""Filtered search on the pruned graph: few matching nodes are scanned
exactly (the result is an exact search of the matching nodes, bit for bit),
many are walked; no search returns a node that fails the filter or was
removed; the posting lists behind the plan survive save, load, pickle and an
interrupted add."""

import copy
import json
import os
import pickle
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import reference
from tessra import PyHNSW

METRICS = ["euclidean", "angular", "inner_product"]

CHILD = textwrap.dedent(
    r"""
    import json, struct, sys
    import numpy as np
    import tessra

    def bits(x):
        return struct.pack("<d", x).hex() if x == x else "nan"

    n, dim = 600, 6
    rng = np.random.default_rng(5)
    base = np.round(rng.standard_normal((n, dim)) * 4) / 4  # a lattice: exact ties everywhere
    base[7] = 0.0  # angular distances of NaN
    base[11] = base[3]
    queries = np.concatenate([base[:6], base[6:12] + rng.standard_normal((6, dim)) * 0.1])
    out = []
    for metric in ["euclidean", "angular", "inner_product"]:
        for values in [1, 2, 10, 100, 1000]:
            tags = [int(t) for t in rng.integers(0, values, n)]
            index = tessra.PyHNSW(dim, metric=metric, graph="pruned", schema=["tag"], ef_construction=32,
                                  ef_search=10, seed=values)
            index.add(base, metadata=[[("tag", t)] for t in tags], threads=2)
            removed = [0, 3, 17, 250, 599]
            index.remove(removed)
            for tag in sorted(set(tags[:40]))[:3]:
                for k in [1, 10, 200]:
                    before = tessra._filter_plans()
                    ids, dists = index.search_batch(queries, k, ("tag", tag), threads=2)
                    after = tessra._filter_plans()
                    single = [index.search(list(q), k, ("tag", tag)) for q in queries[:3]]
                    out.append({"metric": metric, "values": values, "tag": tag, "k": k, "tags": tags,
                                "removed": removed, "scanned": after[0] - before[0], "walked": after[1] - before[1],
                                "ids": ids.tolist(), "dists": [[bits(d) for d in row] for row in dists],
                                "single": [[[bits(d), list(v)] for d, v in rows] for rows in single]})
    json.dump({"base": base.tolist(), "queries": queries.tolist(), "searches": out}, sys.stdout)
    """
)


@pytest.fixture(scope="module")
def planned():
    env = dict(os.environ, TESSRA_TEST_HOOKS="1")
    done = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-3000:]
    return json.loads(done.stdout)


def graph_distance(metric, a, b):
    if metric == "euclidean":
        return reference.euclidean(a, b)
    return 1.0 - (reference.cosine(a, b) if metric == "angular" else reference.dot(a, b))


def exact_matching(base, metric, query, tags, tag, removed, k):
    found = [(graph_distance(metric, query, v), i) for i, v in enumerate(base) if tags[i] == tag and i not in removed]
    found.sort(key=lambda pair: (pair[0] != pair[0], pair[0], pair[1]))  # NaN last, then the lower id
    return found[: max(k, 1)]


def bits(x):
    """A double's bits; every NaN alike (the sign of a NaN the metric makes is the processor's)."""
    return struct.pack("<d", x).hex() if x == x else "nan"


def test_scans_equal_an_exact_search_of_the_matching_nodes_and_nothing_fails_the_filter(planned):
    base, queries = planned["base"], planned["queries"]
    seen = {"scanned": set(), "walked": set()}
    for s in planned["searches"]:
        tags, removed = s["tags"], set(s["removed"])
        # One plan per call, whatever the rows.
        assert s["scanned"] + s["walked"] == 1, s
        for row, (ids, dists) in enumerate(zip(s["ids"], s["dists"])):
            returned = [i for i in ids if i >= 0]
            assert all(tags[i] == s["tag"] and i not in removed for i in returned)
            if not s["scanned"]:
                continue
            exact = exact_matching(base, s["metric"], queries[row], tags, s["tag"], removed, s["k"])
            assert returned == [i for _, i in exact]
            assert dists[: len(exact)] == [bits(d) for d, _ in exact]
        kind = "scanned" if s["scanned"] else "walked"
        seen[kind].add((s["metric"], s["values"]))
        if s["scanned"]:
            for row, pairs in enumerate(s["single"]):
                exact = exact_matching(base, s["metric"], queries[row], tags, s["tag"], removed, s["k"])
                assert pairs == [[bits(d), base[i]] for d, i in exact]
    # Every metric and share scanned; the largest shares walked.
    assert {values for _, values in seen["scanned"]} >= {2, 10, 100, 1000}
    assert {values for _, values in seen["walked"]} == {1}
    assert {metric for metric, _ in seen["scanned"]} == set(METRICS)


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


@pytest.mark.parametrize("values", [2, 10, 300])
def test_removed_nodes_never_come_back_through_either_plan(values):
    index, base, tags, queries = tagged_index(values=values, ef_search=16)
    removed = [int(i) for i in np.flatnonzero(tags == 1)[::2]] + [0, 5]
    index.remove(sorted(set(removed)))
    for tag in (0, 1):
        ids, _ = index.search_batch(queries, 50, ("tag", tag), threads=2)
        for row in ids:
            returned = [i for i in row if i >= 0]
            assert returned and all(tags[i] == tag and i not in removed for i in returned)
    # Removing every match leaves nothing to return.
    index.remove([int(i) for i in np.flatnonzero(tags == 1) if int(i) not in set(removed)])
    ids, dists = index.search_batch(queries, 10, ("tag", 1))
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
