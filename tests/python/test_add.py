"""Bulk insertion with add: the graph create builds, the ids returned, create's
checks and errors, threads, progress, interruption and the borrow it holds."""

import os
import signal
import threading
import time

import numpy as np
import pytest

from tessra import PyFlat, PyHNSW

SCHEMA = ["group", "tag"]


def data(n, dim, seed, kind="random"):
    rng = np.random.default_rng(seed)
    if kind == "random":
        return rng.standard_normal((n, dim))
    if kind == "duplicates":
        return rng.integers(0, 3, (n, dim)).astype(float)
    if kind == "sorted":
        return np.cumsum(rng.random((n, dim)) * 0.01, axis=0)
    centres = rng.standard_normal((6, dim)) * 10
    return centres[rng.integers(0, 6, n)] + rng.standard_normal((n, dim)) * 0.1


def metadata(n):
    return [[("group", i % 3), ("tag", "x" if i % 2 else "y")] for i in range(n)]


def answers(idx, queries, k=10, filter=None):
    return [idx.search(list(q), k, filter) for q in queries]


# One layer: every node has level 0, so the graph depends on the vectors alone
# and add, create and insert can be compared without controlling level draws.
@pytest.mark.parametrize("kind", ["random", "clustered", "duplicates", "sorted"])
@pytest.mark.parametrize("metric", ["euclidean", "angular"])
@pytest.mark.parametrize("threads", [1, 2, 8])
def test_add_builds_the_graph_create_builds(kind, metric, threads):
    vectors = data(600, 6, 1, kind)
    queries = data(15, 6, 2)
    kwargs = dict(layers=1, ef_construction=12, ef_search=10, metric=metric, schema=SCHEMA)
    created = PyHNSW(6, **kwargs)
    created.create(vectors.tolist(), metadata(600))
    added = PyHNSW(6, **kwargs)
    # In two calls, the second onto a linked graph.
    first = added.add(vectors[:250], metadata(600)[:250], threads=threads)
    rest = added.add(vectors[250:], metadata(600)[250:], threads=threads)
    assert first.dtype == np.int64 and rest.dtype == np.int64
    assert first.tolist() == list(range(250)) and rest.tolist() == list(range(250, 600))
    assert answers(added, queries) == answers(created, queries)
    assert answers(added, queries, filter=("group", 1)) == answers(created, queries, filter=("group", 1))


def test_add_after_insert_numbers_from_the_stored_count():
    idx = PyHNSW(3, metric="euclidean")
    idx.insert([0.0, 0.0, 0.0])
    assert idx.add([[1.0, 0.0, 0.0], [2.0, 0.0, 0.0]], threads=2).tolist() == [1, 2]
    flat = PyFlat(2)
    flat.insert([0.0, 0.0])
    ids = flat.add(np.ones((3, 2)))
    assert ids.dtype == np.int64 and ids.tolist() == [1, 2, 3]
    assert [i for i, _ in flat.search([1.0, 1.0], 4)] == [1, 2, 3, 0]


def test_flat_add_matches_create():
    vectors = data(200, 5, 3)
    a, b = PyFlat(5, "cosine"), PyFlat(5, "cosine")
    a.create(vectors.tolist())
    b.add(vectors, threads=3)
    for q in data(10, 5, 4):
        assert a.search(list(q), 7) == b.search(list(q), 7)


@pytest.mark.parametrize("dim", [0, 1, 4])
def test_flat_add_ids_name_stored_vectors_and_are_never_reused(dim):
    """Every id add returns names the vector stored for it. A dimension-0 index
    stores nothing (as create and insert do with its empty vectors), so add
    refuses rather than hand out ids of vectors that do not exist."""
    rng = np.random.default_rng(dim)
    flat, returned = PyFlat(dim), []
    for rows in (3, 2, 5):
        vectors = rng.standard_normal((rows, dim))
        if dim == 0:
            with pytest.raises(ValueError, match=r"^Add error: an index of dimension 0 stores no vectors$"):
                flat.add(vectors.tolist() if rows == 2 else vectors)
            flat.create(vectors)
            flat.insert([])
            continue
        ids = flat.add(vectors).tolist()
        returned += ids
        for i, v in zip(ids, vectors):
            assert flat.search(list(v), 1) == [(i, 0.0)]
    assert returned == list(range(len(flat)))
    if dim == 0:
        with pytest.raises(ValueError, match="^Search error: EmptyIndex$"):
            flat.search([])


def outcome(fn, *args):
    try:
        fn(*args)
    except Exception as error:  # noqa: BLE001 - the exception itself is compared
        return type(error), str(error).replace("Create error", "Add error")
    return None


BAD_HNSW_INPUTS = [
    ([], None),
    ([[1.0, 2.0], [1.0]], None),
    ([[1.0, 2.0]], [[("group", 1)], [("group", 2)]]),
    ([[1.0, 2.0]], [[("group", [1])]]),
    ([[1.0, 2.0], [3.0]], [[("group", object())], [("group", 1)]]),
    ("not vectors", None),
    ([[1.0, "x"]], None),
    ([[1.0, 2.0]], "not metadata"),
]


@pytest.mark.parametrize("schema", [SCHEMA, None])
@pytest.mark.parametrize("vectors, records", BAD_HNSW_INPUTS)
def test_add_refuses_what_create_refuses_and_stores_nothing(schema, vectors, records):
    created, added = PyHNSW(2, metric="euclidean", schema=schema), PyHNSW(2, metric="euclidean", schema=schema)
    expected = outcome(created.create, vectors, records)
    assert expected is not None
    assert outcome(added.add, vectors, records) == expected
    assert added.add([[5.0, 5.0]]).tolist() == [0]  # nothing was stored


@pytest.mark.parametrize("vectors", [[], [[1.0, 2.0], [1.0]], "xy", [[1.0, None]]])
def test_flat_add_refuses_what_create_refuses(vectors):
    assert outcome(PyFlat(2).add, vectors) == outcome(PyFlat(2).create, vectors)
    flat = PyFlat(2)
    outcome(flat.add, vectors)
    assert flat.add([[0.0, 0.0]]).tolist() == [0]


def test_add_insertion_failure_keeps_the_vectors_before_it():
    idx = PyHNSW(1, metric="euclidean", ef_construction=0)
    with pytest.raises(ValueError, match=r"^Add error: InvalidEF at vector 1 \(the vectors before it were added\)$"):
        idx.add([[1.0], [2.0], [3.0]])
    assert idx.search([2.0], 5) == [(1.0, [1.0])]


@pytest.mark.parametrize(
    "kwargs, exc_type, message",
    [
        ({"threads": 0}, ValueError, "Thread count must be at least 1"),
        ({"threads": -3}, ValueError, "Thread count must be at least 1"),
        ({"progress": 1}, TypeError, "argument 'progress': expected a bool or a callable, got int"),
        ({"progress": "yes"}, TypeError, "argument 'progress': expected a bool or a callable, got str"),
        ({"speed": 1}, TypeError, "PyHNSW.add() got an unexpected keyword argument 'speed'"),
    ],
)
def test_option_errors(kwargs, exc_type, message):
    idx = PyHNSW(1, metric="euclidean")
    with pytest.raises(exc_type) as info:
        idx.add([[1.0]], **kwargs)
    assert type(info.value) is exc_type and str(info.value) == message
    with pytest.raises(TypeError, match="threads"):
        idx.add([[1.0]], threads="2")
    assert idx.add([[1.0]]).tolist() == [0]


def test_options_are_keyword_only():
    with pytest.raises(TypeError, match=r"^PyHNSW.add\(\) takes from 1 to 2 positional arguments but 3 were given$"):
        PyHNSW(1, metric="euclidean").add([[1.0]], None, 2)
    with pytest.raises(TypeError, match=r"^PyFlat.add\(\) takes 1 positional arguments but 2 were given$"):
        PyFlat(1).add([[1.0]], 2)


@pytest.mark.parametrize("threads", [1, 2])
def test_progress_callable_sees_the_build_and_its_end(threads):
    calls = []
    idx = PyHNSW(8, metric="euclidean", ef_construction=64)
    idx.add(data(3000, 8, 5), threads=threads, progress=lambda done, total: calls.append((done, total)))
    assert calls[-1] == (3000, 3000)
    assert all(total == 3000 for _, total in calls)
    assert [done for done, _ in calls] == sorted(done for done, _ in calls)
    flat_calls = []
    PyFlat(2).add([[1.0, 2.0]], progress=lambda *a: flat_calls.append(a))
    assert flat_calls == [(1, 1)]


@pytest.mark.parametrize("threads", [1, 3])
def test_progress_exception_stops_and_keeps_a_consistent_prefix(threads):
    vectors = data(20000, 8, 6)

    class Stop(Exception):
        pass

    def stop_soon(done, total):
        raise Stop(done)

    idx = PyHNSW(8, metric="euclidean", layers=1, ef_construction=32)
    with pytest.raises(Stop):
        idx.add(vectors, threads=threads, progress=stop_soon)
    kept = int(idx.add(vectors[:1])[0])
    assert kept < 20000
    # The kept prefix is the graph one insertion after another builds.
    reference = PyHNSW(8, metric="euclidean", layers=1, ef_construction=32)
    reference.create(np.vstack([vectors[:kept], vectors[:1]]).tolist())
    queries = data(10, 8, 7)
    assert answers(idx, queries) == answers(reference, queries)


def test_calls_during_the_build_fail_at_once():
    idx = PyHNSW(8, metric="euclidean")
    seen, other_errors = [], []
    building, tried = threading.Event(), threading.Event()

    def meddle(done, total):
        for call in (lambda: idx.search([0.0] * 8), lambda: idx.insert([0.0] * 8), lambda: idx.add([[0.0] * 8])):
            try:
                call()
            except RuntimeError as error:
                seen.append(str(error))
        if not building.is_set():
            # The other thread searches while the build still holds the index
            # (waiting releases the interpreter lock; the build is under way).
            building.set()
            tried.wait(30)

    def other_thread():
        building.wait(30)
        for attempt in range(200):
            try:
                idx.search([0.0] * 8)
            except RuntimeError as error:
                other_errors.append(str(error))
            tried.set()
            time.sleep(0.001)

    thread = threading.Thread(target=other_thread)
    thread.start()
    idx.add(data(3000, 8, 8), threads=2, progress=meddle)
    building.set()
    thread.join()
    assert seen and set(seen) == {"Already mutably borrowed", "Already borrowed"}
    assert other_errors and set(other_errors) == {"Already mutably borrowed"}
    assert len(idx.search([0.0] * 8, 5)) == 5


@pytest.mark.skipif(not hasattr(signal, "pthread_kill"), reason="needs pthread_kill")
@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_stops_the_build_and_keeps_what_was_linked(threads):
    vectors = data(20000, 16, 9)
    idx = PyHNSW(16, metric="euclidean", layers=1, ef_construction=64)
    main = threading.main_thread().ident
    timer = threading.Timer(0.5, lambda: signal.pthread_kill(main, signal.SIGINT))
    timer.start()
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        idx.add(vectors, threads=threads)
    # It stops soon after the signal (a loose bound: a hang is the fault to catch).
    assert time.monotonic() - started < 30
    timer.join()
    kept = int(idx.add(vectors[:1])[0])
    assert 0 < kept < 20000
    reference = PyHNSW(16, metric="euclidean", layers=1, ef_construction=64)
    reference.create(np.vstack([vectors[:kept], vectors[:1]]).tolist())
    queries = data(5, 16, 10)
    assert answers(idx, queries) == answers(reference, queries)


def test_progress_bar_only_on_a_terminal(capfd):
    PyHNSW(2, metric="euclidean").add([[1.0, 2.0], [3.0, 4.0]], progress=True)
    assert capfd.readouterr().err == ""


def test_progress_bar_on_a_terminal():
    # A pseudo-terminal as standard error: the bar is drawn and ends its line.
    pty = pytest.importorskip("pty")
    import sys

    primary, secondary = pty.openpty()
    saved = sys.stderr
    try:
        sys.stderr = os.fdopen(secondary, "w")
        PyHNSW(4, metric="euclidean").add(data(300, 4, 11), progress=True)
        sys.stderr.flush()
    finally:
        sys.stderr.close()
        sys.stderr = saved
    import select

    chunks = []
    while select.select([primary], [], [], 0.5)[0]:
        try:
            chunk = os.read(primary, 65536)
        except OSError:  # Linux reports the closed other end as an I/O error
            break
        if not chunk:
            break
        chunks.append(chunk)
    os.close(primary)
    text = b"".join(chunks).decode()
    assert "100.0%" in text and "300/300" in text and "vectors/s" in text and text.endswith("total\r\n")


FAILING_WORKER = r"""
import sys
import numpy as np
import tessra
from tessra import PyFlat, PyHNSW

rng = np.random.default_rng(4)
vectors = rng.standard_normal((1500, 8))
queries = rng.standard_normal((400, 8))
case = sys.argv[1]
if case == "add":
    # Lockstep: every search runs on a worker thread, so the 300th task fails on one.
    tessra._lockstep_build(True)
    index = PyHNSW(8, layers=1, ef_construction=16, metric="euclidean")
    tessra._fail_task(300)
    try:
        index.add(vectors, threads=3)
    except MemoryError:
        print("MemoryError")
    tessra._fail_task(0)
    kept = len(index)
    reference = PyHNSW(8, layers=1, ef_construction=16, metric="euclidean")
    reference.create(vectors[:kept])
    same = [index.search(list(q), 5) for q in queries[:20]] == [reference.search(list(q), 5) for q in queries[:20]]
    index.add(vectors[kept:], threads=3)
    reference.create(vectors[kept:])
    rest = [index.search(list(q), 5) for q in queries[:20]] == [reference.search(list(q), 5) for q in queries[:20]]
    print(0 < kept < 1500, same, rest)
else:
    index = PyFlat(8) if case == "flat" else PyHNSW(8, metric="euclidean", ef_construction=16)
    index.add(vectors)
    before = index.search_batch(queries, 5, threads=3)
    outcomes = []
    for n in (1, 5, 12):  # of 13 flat blocks, 50 graph chunks
        tessra._fail_task(n)
        try:
            index.search_batch(queries, 5, threads=3)
            outcomes.append("returned")
        except MemoryError:
            outcomes.append("MemoryError")
    tessra._fail_task(0)
    after = index.search_batch(queries, 5, threads=3)
    print(" ".join(outcomes))
    print(len(index) == 1500, (before[0] == after[0]).all(), (before[1] == after[1]).all())
"""


@pytest.mark.parametrize("case", ["add", "flat", "graph"])
def test_a_failing_worker_surfaces_and_leaves_a_consistent_index(case):
    """A task of a parallel call that fails (memory exhaustion) on a worker
    thread: the call raises MemoryError once every thread has stopped, a bulk
    add keeps the vectors linked before it (the graph of inserting just
    those, which takes the rest), and a batch leaves the index as it was."""
    import subprocess
    import sys

    env = dict(os.environ, TESSRA_TEST_HOOKS="1")
    run = subprocess.run([sys.executable, "-c", FAILING_WORKER, case], env=env, capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stderr[-3000:]
    if case == "add":
        assert run.stdout.split() == ["MemoryError", "True", "True", "True"]
    else:
        assert run.stdout.splitlines() == ["MemoryError MemoryError MemoryError", "True True True"]
