"""search_batch: every row equals search on that query, bit for bit, for any
thread count; padding, errors, the shared borrow, Ctrl-C and fork."""

import _thread
import math
import os
import random
import struct
import sys
import threading
import time

import pytest

np = pytest.importorskip("numpy")

from tessra import PyFlat, PyHNSW

from reference import run_isolated

FLAT_METRICS = [None, "inner_product", "cosine"]
HNSW_METRICS = ["euclidean", "angular", "inner_product"]
THREADS = [1, 3]


def bits(x):
    return struct.pack("<d", x)


def random_vectors(rng, count, dim):
    """Small integers (so distances tie), some NaN and infinite components, some repeated vectors."""
    vectors = []
    for _ in range(count):
        if vectors and rng.random() < 0.1:
            vectors.append(list(rng.choice(vectors)))
            continue
        v = [float(rng.randint(-3, 3)) for _ in range(dim)]
        for _ in range(2):
            roll = rng.random()
            if roll < 0.08:  # NaNs of both signs: which one an operation keeps is part of the bits
                v[rng.randrange(dim)] = rng.choice([math.nan, -math.nan])
            elif roll < 0.16:
                v[rng.randrange(dim)] = rng.choice([math.inf, -math.inf])
        vectors.append(v)
    return vectors


def query_forms(queries):
    """The same queries as a list of lists, float64 and float32-exact arrays, a strided view and a tuple of rows."""
    array = np.array(queries, dtype=np.float64)
    wide = np.zeros((array.shape[0], array.shape[1] * 2))
    wide[:, ::2] = array
    return [queries, array, np.asfortranarray(array), wide[:, ::2], tuple(array), array.astype(np.float32)]


def check_flat_row(ids, distances, expected):
    assert len(ids) >= len(expected)
    for i, (ident, distance) in enumerate(expected):
        assert ids[i] == ident and bits(distances[i]) == bits(distance), (i, ids[i], distances[i], ident, distance)
    assert all(ids[len(expected):] == -1) and all(np.isnan(distances[len(expected):]))


def check_hnsw_row(ids, distances, expected, stored):
    assert len(ids) >= len(expected)
    for i, (distance, vector) in enumerate(expected):
        assert bits(distances[i]) == bits(distance), (i, distances[i], distance)
        assert [bits(x) for x in stored[ids[i]]] == [bits(x) for x in vector]
    assert all(ids[len(expected):] == -1) and all(np.isnan(distances[len(expected):]))


def check_arrays(ids, distances, rows, width):
    for array, dtype in ((ids, np.int64), (distances, np.float64)):
        assert type(array) is np.ndarray and array.dtype == dtype and array.shape == (rows, width)
        assert array.flags.c_contiguous and array.flags.writeable and array.flags.owndata


@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize("metric", FLAT_METRICS)
@pytest.mark.parametrize("dim, count", [(1, 5), (3, 300), (19, 70), (150, 400)])
def test_flat_rows_equal_search(dim, count, metric, threads):
    rng = random.Random(dim * count)
    index = PyFlat(dim, metric)
    vectors = random_vectors(rng, count, dim)
    index.create(vectors)
    queries = random_vectors(rng, 41, dim) + vectors[:3]
    for k in (None, 0, 1, 7, count + 5):
        expected = [index.search(q, k) for q in queries]
        width = min(max(k or 1, 1), count)
        for form in query_forms(queries)[: 6 if k == 7 else 2]:
            if form is not queries and form[0].dtype == np.float32 and not all(
                    float(np.float32(x)) == x or math.isnan(x) for q in queries for x in q):
                continue
            ids, distances = index.search_batch(form, k, threads=threads)
            check_arrays(ids, distances, len(queries), width)
            for row in range(len(queries)):
                check_flat_row(ids[row], distances[row], expected[row])


def hnsw_index(rng, metric, count, dim, schema):
    index = PyHNSW(dim, layers=rng.choice([1, 3]), ef_construction=rng.choice([4, 16]),
                   ef_search=rng.choice([3, 10]), metric=metric, schema=schema)
    vectors = random_vectors(rng, count, dim)
    metadata = [[("color", rng.choice(["red", "blue"])), ("size", rng.randint(0, 3))] for _ in vectors]
    index.create(vectors, metadata if schema else None)
    return index, vectors


@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize("filter", [None, ("color", "red"), ("size", 2), ("size", 2.0)])
@pytest.mark.parametrize("metric", HNSW_METRICS)
def test_hnsw_rows_equal_search(metric, filter, threads):
    rng = random.Random(f"{metric}{filter}")
    dim = rng.choice([2, 5])
    index, stored = hnsw_index(rng, metric, rng.choice([1, 40, 120]), dim, ["color", "size"])
    queries = random_vectors(rng, 30, dim) + stored[:2]
    for k in (None, 1, 4, 50):
        expected = [index.search(q, k, filter) for q in queries]
        ids, distances = index.search_batch(np.array(queries), k, filter, threads=threads)
        for row in range(len(queries)):
            check_hnsw_row(ids[row], distances[row], expected[row], stored)
    # The widest row: k, capped by the beam for this call and by the node count.
    for ef in (1, 2, 7, 60):
        ids, _ = index.search_batch(queries, 60, filter, threads=threads, ef_search=ef)
        assert ids.shape == (len(queries), min(60, ef, len(stored)))


@pytest.mark.parametrize("ef", [1, 2, 5, 30])
def test_hnsw_ef_search_equals_an_index_built_with_that_beam(ef):
    # With one layer every node sits on layer 0, so two indexes given the same
    # vectors build the same graph whatever their levels draw.
    rng = random.Random(ef)
    vectors, queries = random_vectors(rng, 90, 4), random_vectors(rng, 25, 4)
    own, other = PyHNSW(4, layers=1, ef_search=ef, metric="euclidean"), PyHNSW(4, layers=1, metric="euclidean")
    own.create(vectors)
    other.create(vectors)
    for threads in THREADS:
        ids, distances = other.search_batch(queries, 8, threads=threads, ef_search=ef)
        for row, q in enumerate(queries):
            check_hnsw_row(ids[row], distances[row], own.search(q, 8), vectors)


def test_hnsw_ragged_queries_and_empty_index():
    index = PyHNSW(3, metric="euclidean")
    ids, distances = index.search_batch([[1.0], [1.0, 2.0, 3.0, 4.0]], 5)
    check_arrays(ids, distances, 2, 0)
    index.create([[0, 0, 0], [1, 1, 1], [2, 2, 2]])
    queries = [[1.0], [1.0, 2.0, 3.0, 4.0], []]
    ids, distances = index.search_batch(queries, 5, threads=2)
    check_arrays(ids, distances, 3, 3)
    stored = [[0.0] * 3, [1.0] * 3, [2.0] * 3]
    for row, q in enumerate(queries):
        check_hnsw_row(ids[row], distances[row], index.search(q, 5), stored)


@pytest.mark.parametrize("cls", [PyFlat, PyHNSW])
def test_empty_queries_give_empty_rows(cls):
    index = PyFlat(2) if cls is PyFlat else PyHNSW(2, metric="euclidean")
    index.create([[0, 0], [1, 1], [2, 2]])
    for empty in ([], np.zeros((0, 2)), np.zeros((0, 5))):
        ids, distances = index.search_batch(empty, 2)
        check_arrays(ids, distances, 0, 2)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda i: i.search_batch([[1, 2], [1, 2, 3]]), ValueError, "Expected query of length 2, got 3 (query 1)"),
        (lambda i: i.search_batch(np.zeros((4, 3))), ValueError, "Expected query of length 2, got 3 (query 0)"),
        (lambda i: i.search_batch([[1, 2]], threads=0), ValueError, "Thread count must be at least 1"),
        (lambda i: i.search_batch([[1, 2]], threads=-1), ValueError, "Thread count must be at least 1"),
        (lambda i: i.search_batch([[1, 2]], threads=-(2**70)), ValueError, "Thread count must be at least 1"),
        (lambda i: i.search_batch([[1, 2]], threads=2.0), TypeError,
         "argument 'threads': 'float' object cannot be interpreted as an integer"),
        (lambda i: i.search_batch([[1, 2]], 1, 2), TypeError,
         "PyFlat.search_batch() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda i: i.search_batch([[1, 2]], ef_search=3), TypeError,
         "PyFlat.search_batch() got an unexpected keyword argument 'ef_search'"),
        (lambda i: i.search_batch(), TypeError, "PyFlat.search_batch() missing 1 required positional argument: 'queries'"),
        (lambda i: i.search_batch("ab"), TypeError, "argument 'queries': Can't extract `str` to `Vec`"),
        (lambda i: i.search_batch([1, 2]), TypeError, "argument 'queries': 'int' object cannot be converted to 'Sequence'"),
        (lambda i: i.search_batch([[1, 2]], "3"), TypeError,
         "argument 'k': 'str' object cannot be interpreted as an integer"),
    ],
)
def test_flat_errors(call, error, message):
    index = PyFlat(2)
    index.create([[0, 0]])
    with pytest.raises(error) as info:
        call(index)
    assert str(info.value) == message


def test_query_conversion_errors_match_search():
    index = PyFlat(2)
    index.create([[0, 0]])
    for bad in ([1, None], [1, "2"], [object(), 1], np.array(["a", "b"]), "xy", 5, {1: 2}):
        with pytest.raises(Exception) as single:
            index.search(bad)
        with pytest.raises(Exception) as batch:
            index.search_batch([[0, 0], bad])
        assert type(batch.value) is type(single.value)
        assert str(batch.value) == str(single.value).replace("argument 'query'", "argument 'queries'")


def test_search_errors_match_search():
    with pytest.raises(ValueError, match="^Search error: EmptyIndex$"):
        PyFlat(2).search_batch([[0, 0]])
    assert PyFlat(2).search_batch([], 3)[0].shape == (0, 0)
    zero_beam = PyHNSW(2, ef_search=0, metric="euclidean")
    zero_beam.create([[0, 0], [1, 1]])
    normal = PyHNSW(2, layers=1, metric="euclidean")
    normal.create([[0, 0], [1, 1]])
    for index, kwargs in ((zero_beam, {}), (normal, {"ef_search": 0})):
        with pytest.raises(ValueError) as single:
            (zero_beam if index is normal else index).search([0, 0])
        with pytest.raises(ValueError) as batch:
            index.search_batch([[0, 0]] * 20, threads=3, **kwargs)
        assert str(batch.value) == str(single.value)
    no_schema = PyHNSW(2, metric="euclidean")
    no_schema.create([[0, 0]])
    for filter in (("a", 1), ("a", None), "a"):
        with pytest.raises(Exception) as single:
            no_schema.search([0, 0], 1, filter)
        with pytest.raises(Exception) as batch:
            no_schema.search_batch([[0, 0]], 1, filter)
        assert (type(batch.value), str(batch.value)) == (type(single.value), str(single.value))
    schema = PyHNSW(2, metric="euclidean", schema=["a"])
    schema.create([[0, 0]], [[("a", 1)]])
    with pytest.raises(ValueError, match="^Search error: AttributeNotFound$"):
        schema.search_batch([[0, 0]], 1, ("b", 1))
    with pytest.raises(TypeError, match=r"^argument 'ef_search': "):
        schema.search_batch([[0, 0]], ef_search=1.5)
    with pytest.raises(TypeError, match=r"takes from 1 to 3 positional arguments but 4 were given$"):
        schema.search_batch([[0, 0]], 1, None, 2)


@pytest.mark.parametrize("cls", ["PyFlat", "PyHNSW"])
def test_signature_and_lazy_numpy(cls):
    code = f"""
import inspect, sys
import tessra
sig = str(inspect.signature(tessra.{cls}.search_batch))
assert "numpy" not in sys.modules, "importing tessra imported numpy"
print(sig)
"""
    status, out, err = run_isolated(code)
    assert status == 0, err
    expected = {
        "PyFlat": "(self, /, queries, k=None, *, threads=None)",
        "PyHNSW": "(self, /, queries, k=None, filter=None, *, threads=None, ef_search=None)",
    }[cls]
    assert out.strip() == expected


def long_flat_batch():
    """A flat index and queries whose batch takes well over a second on one thread."""
    rng = np.random.default_rng(1)
    index = PyFlat(128)
    index.create(rng.normal(size=(20000, 128)))
    return index, rng.normal(size=(6000, 128))


def test_insert_during_a_batch_fails_and_changes_nothing():
    index, queries = long_flat_batch()
    probe = queries[:5]
    before = index.search_batch(probe, 3)
    started, outcome = threading.Event(), {}

    def run_batch():
        started.set()
        # The result, or the exception, is checked by the test's own thread.
        try:
            outcome["result"] = index.search_batch(queries, 3, threads=1)
        except BaseException as error:  # noqa: BLE001 - reported below
            outcome["error"] = error

    worker = threading.Thread(target=run_batch)
    worker.start()
    started.wait()
    time.sleep(0.2)
    attempts = []
    while worker.is_alive() and len(attempts) < 3:
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            index.insert([0.0] * 128)
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            index.create([[0.0] * 128])
        attempts.append(index.search(probe[0], 3))  # searches run alongside
    worker.join()
    assert "error" not in outcome, outcome.get("error")
    ids, distances = outcome["result"]
    assert ids.shape == (6000, 3)
    for row in (0, 2999, 5999):  # the batch saw the index as it was throughout
        assert [(int(i), float(d)) for i, d in zip(ids[row], distances[row])] == index.search(queries[row], 3)
    assert attempts, "the batch ended before the insert was tried"
    assert attempts[0] == [(int(i), float(d)) for i, d in zip(*(a[0] for a in before))]
    after = index.search_batch(probe, 3)
    assert (after[0] == before[0]).all() and (after[1] == before[1]).all()
    assert len(index.search(probe[0], 10**9)) == 20000


@pytest.mark.parametrize("cls", ["PyFlat", "PyHNSW"])
def test_a_batch_stops_at_ctrl_c(cls):
    if cls == "PyFlat":
        index, queries = long_flat_batch()
        queries = np.concatenate([queries] * 20)
        call = lambda: index.search_batch(queries, 5, threads=2)
    else:
        rng = np.random.default_rng(2)
        index = PyHNSW(16, layers=2, ef_construction=8, metric="euclidean")
        index.create(rng.normal(size=(1500, 16)))
        queries = rng.normal(size=(300000, 16))
        call = lambda: index.search_batch(queries, 5, threads=2, ef_search=1500)
    timer = threading.Timer(0.5, _thread.interrupt_main)
    started = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            call()
    finally:
        timer.cancel()
    # The whole batch takes minutes; the interrupt comes after half a second.
    assert time.monotonic() - started < 20


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_fork_after_a_threaded_batch():
    index = PyFlat(4)
    index.create(np.arange(400.0).reshape(100, 4))
    hnsw = PyHNSW(4, metric="euclidean")
    hnsw.create(np.arange(400.0).reshape(100, 4))
    queries = np.arange(40.0).reshape(10, 4) * 3
    flat_before = index.search_batch(queries, 4, threads=3)
    hnsw_before = hnsw.search_batch(queries, 4, threads=3)
    pid = os.fork()
    if pid == 0:
        ok = False
        try:
            flat_after = index.search_batch(queries, 4, threads=3)
            hnsw_after = hnsw.search_batch(queries, 4, threads=3)
            ok = (flat_after[0] == flat_before[0]).all() and (hnsw_after[0] == hnsw_before[0]).all()
        finally:
            os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
