"""The pruned graph, PyHNSW(..., graph="pruned"): recall against brute force
with the most similar first, filters that never let a failing node out,
seeded reproducibility on any thread count, add with progress and Ctrl-C,
the option errors, and copies that search and grow as the original."""

import copy
import pickle
import signal
import threading
import time

import numpy as np
import pytest

from tessra import PyFlat, PyHNSW

SCHEMA = ["group", "tag"]


def data(n, dim, seed, kind="clustered"):
    rng = np.random.default_rng(seed)
    if kind == "random":
        return rng.standard_normal((n, dim))
    centres = rng.standard_normal((20, dim)) * 3
    return centres[rng.integers(0, 20, n)] + rng.standard_normal((n, dim))


def pruned(dim, metric="euclidean", **kwargs):
    kwargs.setdefault("ef_construction", 64)
    return PyHNSW(dim, metric=metric, graph="pruned", **kwargs)


def plain_distance(metric, a, b):
    """The distance as the index defines it: one float64 accumulator, elements in order."""
    if metric == "euclidean":
        total = 0.0
        for x, y in zip(a, b):
            total += (x - y) * (x - y)
        return total**0.5
    dot = 0.0
    for x, y in zip(a, b):
        dot += x * y
    if metric == "inner_product":
        return 1.0 - dot
    na = nb = 0.0
    for x in a:
        na += x * x
    for y in b:
        nb += y * y
    return 1.0 - dot / (na**0.5 * nb**0.5)


def brute_force(metric, base, queries, k, keep=None):
    """Ids of the k most similar vectors (ranked as the index ranks them), numpy arithmetic."""
    if metric == "euclidean":
        d = ((queries[:, None, :] - base[None, :, :]) ** 2).sum(-1)
    elif metric == "inner_product":
        d = -(queries @ base.T)
    else:
        norms = np.linalg.norm(base, axis=1)
        d = -(queries @ base.T) / (np.linalg.norm(queries, axis=1)[:, None] * norms[None, :])
    if keep is not None:
        d = np.where(keep[None, :], d, np.inf)
    return np.argsort(d, axis=1, kind="stable")[:, :k]


def recall(found, truth):
    return np.mean([len(set(f) & set(t)) / len(t) for f, t in zip(found, truth)])


@pytest.mark.parametrize("metric", ["euclidean", "angular", "inner_product"])
def test_recall_against_brute_force_most_similar_first(metric):
    base, queries = data(3000, 12, 1), data(100, 12, 2)
    if metric == "inner_product":
        # 1 - dot is no metric: on vectors of unequal length graphs (peers' too) lose
        # recall, so this compares on vectors of nearly equal length.
        base /= np.linalg.norm(base, axis=1)[:, None] * (1 + 0.01 * np.random.default_rng(3).random((3000, 1)))
    index = pruned(12, metric, seed=5)
    index.add(base, threads=2)
    ids, distances = index.search_batch(queries, 10, threads=1, ef_search=100)
    assert recall(ids, brute_force(metric, base, queries, 10)) >= 0.95
    # Nearest first, each distance the index's own exact value (1 - similarity for the similarity metrics).
    assert np.all(np.diff(distances, axis=1) >= 0)
    for q, row_ids, row_distances in zip(queries[:5], ids[:5], distances[:5]):
        for i, d in zip(row_ids, row_distances):
            assert d == plain_distance(metric, list(q), list(base[i]))
    # search gives the same pairs, with the stored vectors.
    pairs = index.search(list(queries[0]), 100)[:10]
    assert [d for d, _ in pairs] == distances[0].tolist()
    assert [v for _, v in pairs] == base[ids[0]].tolist()


@pytest.mark.parametrize("metric", ["euclidean", "angular"])
def test_filtered_search_returns_passing_nodes_only(metric):
    base, queries = data(2000, 8, 3), data(50, 8, 4)
    groups = np.arange(2000) % 5
    index = pruned(8, metric, schema=SCHEMA)
    index.add(base[:1500], [[("group", int(g)), ("tag", "a")] for g in groups[:1500]], threads=2)
    for row in base[1500:]:  # nodes without a record never pass
        index.insert(list(row))
    for group in (0, 3):
        keep = (groups == group) & (np.arange(2000) < 1500)
        ids, _ = index.search_batch(queries, 10, ("group", group), threads=2)
        assert keep[ids[ids >= 0]].all()
        assert recall(ids, brute_force(metric, base, queries, 10, keep)) >= 0.9
        for q in queries[:5]:
            for _, vector in index.search(list(q), 10, ("group", group)):
                assert keep[int(np.flatnonzero((base == vector).all(axis=1))[0])]
    assert index.search(list(queries[0]), 10, ("group", 99)) == []


def snapshot(index, queries):
    ids, distances = index.search_batch(queries, 10, threads=1)
    return ids.tolist(), distances.tolist()


def test_seed_reproducibility_on_any_thread_count():
    base, queries = data(4000, 10, 5), data(40, 10, 6)
    runs = []
    for threads in (1, 2, 4):
        index = pruned(10, seed=123)
        index.add(base[:2500], threads=threads)
        for row in base[2500:2600]:
            index.insert(list(row))
        index.add(base[2600:], threads=threads)
        runs.append(snapshot(index, queries))
    assert runs[0] == runs[1] == runs[2]
    # create equals add; another seed draws other levels.
    created = pruned(10, seed=123)
    created.create(base[:2500].tolist())
    added = pruned(10, seed=123)
    added.add(base[:2500], threads=3)
    assert snapshot(created, queries) == snapshot(added, queries)
    other = pruned(10, seed=124)
    other.add(base[:2500])
    assert other.seed == 124 and created.seed == 123
    assert snapshot(other, queries) != snapshot(created, queries)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"graph": "Pruned"}, "Unsupported graph"),
        ({"graph": "pruned", "m": 1}, "m must be at least 2 in the pruned graph"),
        ({"graph": "pruned", "m": 0}, "m must be at least 2 in the pruned graph"),
        ({"graph": "pruned", "m": 32768}, "m must be at most 32767 in the pruned graph"),
        ({"graph": "pruned", "layers": 0}, "layers must be at least 1 in the pruned graph"),
        ({"graph": "pruned", "metric": "cosine"}, "Unsupported metric"),
    ],
)
def test_option_errors(kwargs, message):
    kwargs.setdefault("metric", "euclidean")
    with pytest.raises(ValueError) as info:
        PyHNSW(4, **kwargs)
    assert str(info.value) == message


def test_attributes_and_defaults():
    index = PyHNSW(3, metric="angular", graph="pruned")
    assert (index.graph, index.layers, index.m, index.ef_construction, index.ef_search) == ("pruned", 16, 16, 200, 50)
    assert index.seed is None and index.schema is None and index.metric == "angular" and index.dim == 3
    assert PyHNSW(3, metric="angular", graph="pruned", layers=3, m=2).layers == 3
    assert PyHNSW(3, metric="angular").layers == 5 and PyHNSW(3, metric="angular", graph="full").graph == "full"
    assert len(index) == 0
    index.insert([1.0, 0.0, 0.0])
    assert len(index) == 1
    with pytest.raises(TypeError, match="graph"):
        PyHNSW(3, metric="angular", graph=1)


def test_zero_beams_fail_as_in_the_full_graph():
    index = pruned(2, ef_construction=0, ef_search=0)
    assert index.search([0.0, 0.0], 3) == []  # an empty index checks nothing
    index.insert([0.0, 0.0])
    with pytest.raises(ValueError, match=r"^Insert error: InvalidEF$"):
        index.insert([1.0, 0.0])
    with pytest.raises(ValueError, match=r"^Search error: InvalidEF$"):
        index.search([0.0, 0.0], 3)
    assert len(index) == 1
    bulk = pruned(2, ef_construction=0)
    with pytest.raises(ValueError, match=r"^Add error: InvalidEF at vector 1 \(the vectors before it were added\)$"):
        bulk.add([[1.0, 0.0], [2.0, 0.0], [3.0, 0.0]])
    assert bulk.search([2.0, 0.0], 5) == [(1.0, [1.0, 0.0])]


def test_k_and_beam():
    base = data(500, 4, 7)
    index = pruned(4, ef_search=5)
    index.add(base)
    assert len(index.search(list(base[0]), 0)) == 1
    # The beam widens to k: k above ef_search still returns k.
    assert len(index.search(list(base[0]), 40)) == 40
    ids, _ = index.search_batch(base[:3], 40, threads=1)
    assert ids.shape == (3, 40) and (ids >= 0).all()
    wide, _ = index.search_batch(base[:3], 5, threads=1, ef_search=200)
    narrow, _ = index.search_batch(base[:3], 5, threads=1, ef_search=1)
    assert wide.shape == narrow.shape == (3, 5)


@pytest.mark.parametrize("metric", ["euclidean", "angular", "inner_product"])
def test_every_copy_searches_and_grows_as_the_original(metric, tmp_path):
    base, more = data(600, 8, 21), data(200, 8, 22)
    index = pruned(8, metric=metric, schema=SCHEMA, seed=3)
    index.add(base, metadata=[[("group", i % 4), ("tag", str(i % 3))] for i in range(600)])
    index.remove(list(range(0, 600, 7)))
    index.save(tmp_path / "g.tsr")
    queries = data(20, 8, 23)
    for other in (PyHNSW.load(tmp_path / "g.tsr"), pickle.loads(pickle.dumps(index)), copy.deepcopy(index)):
        assert (other.graph, other.seed, other.m, other.layers, len(other)) == ("pruned", 3, 16, 16, len(index))
        for q in queries:
            for f in (None, ("group", 1)):
                assert other.search(q, k=10, filter=f) == index.search(q, k=10, filter=f)
        other.add(more, threads=2)
        original = pickle.loads(pickle.dumps(index))
        original.add(more, threads=1)
        assert other.__reduce__()[1] == original.__reduce__()[1]


def test_seeded_builds_on_one_and_two_threads_save_the_same_bytes(tmp_path):
    base = data(1500, 16, 24)
    files = []
    for threads in (1, 2):
        index = pruned(16, seed=99)
        index.add(base, threads=threads)
        index.save(tmp_path / f"{threads}.tsr")
        files.append((tmp_path / f"{threads}.tsr").read_bytes())
    assert files[0] == files[1]
    assert PyHNSW.load.__doc__ == PyFlat.load.__doc__.replace("PyFlat", "PyHNSW")


@pytest.mark.parametrize("threads", [1, 2])
def test_progress_sees_the_build_and_an_exception_keeps_a_prefix(threads):
    vectors = data(40000, 16, 8)
    calls = []
    index = pruned(16, seed=1)
    index.add(vectors[:3000], threads=threads, progress=lambda done, total: calls.append((done, total)))
    assert calls[-1] == (3000, 3000) and all(t == 3000 for _, t in calls)
    assert [d for d, _ in calls] == sorted(d for d, _ in calls)

    class Stop(Exception):
        pass

    def stop_soon(done, total):
        raise Stop(done)

    stopped = pruned(16, seed=2)
    with pytest.raises(Stop):
        stopped.add(vectors, threads=threads, progress=stop_soon)
    kept = len(stopped)
    assert 0 < kept < 40000
    # The prefix is the graph a build of just those vectors makes, from the same level draws.
    reference = pruned(16, seed=2)
    reference.add(vectors[:kept])
    queries = data(20, 16, 9)
    assert snapshot(stopped, queries) == snapshot(reference, queries)


@pytest.mark.skipif(not hasattr(signal, "pthread_kill"), reason="needs pthread_kill")
@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_stops_the_build_and_keeps_what_was_linked(threads):
    vectors = data(40000, 16, 10)
    index = pruned(16, seed=3, ef_construction=100)
    main = threading.main_thread().ident
    timer = threading.Timer(0.5, lambda: signal.pthread_kill(main, signal.SIGINT))
    timer.start()
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        index.add(vectors, threads=threads)
    # It stops soon after the signal (a loose bound: a hang is the fault to catch).
    assert time.monotonic() - started < 30
    timer.join()
    kept = len(index)
    assert 0 < kept < 40000
    reference = pruned(16, seed=3, ef_construction=100)
    reference.add(vectors[:kept])
    queries = data(10, 16, 11)
    assert snapshot(index, queries) == snapshot(reference, queries)


def test_calls_during_the_build_fail_at_once():
    index = pruned(8)
    seen = []

    def meddle(done, total):
        for call in (lambda: index.search([0.0] * 8), lambda: index.insert([0.0] * 8)):
            try:
                call()
            except RuntimeError as error:
                seen.append(str(error))

    index.add(data(3000, 8, 12), threads=2, progress=meddle)
    assert seen and set(seen) == {"Already mutably borrowed", "Already borrowed"}
    assert len(index.search([0.0] * 8, 5)) == 5
