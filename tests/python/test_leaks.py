"""No leaks: every entry point, on success and on each error path, called many
times, must leave the process's resident memory and Python's traced
allocations flat, and must leave the reference counts of the caller's objects
exactly as they were.

Iteration counts: 10**5 calls per case for the resident-memory check (a leak of
one 32-byte block per call would show as 3 MB), 10**4 under tracemalloc (which
makes every call several times slower; one leaked object per call shows as
10**4 blocks). Cases that build a fresh index per call use fewer iterations, as
noted in their table entry. Under the sanitizer build (TESSRA_SANITIZED=1) the
counts drop tenfold and the resident-memory check is skipped, since
AddressSanitizer's quarantine holds freed memory on purpose.
"""

import gc
import os
import sys
import tempfile
import tracemalloc

import pytest

from tessra import PyFlat, PyHNSW

SANITIZED = os.environ.get("TESSRA_SANITIZED") == "1"
SCALE = 10 if SANITIZED else 1
RSS_CALLS = 10**5 // SCALE
TRACED_CALLS = 10**4 // SCALE
PAGE = os.sysconf("SC_PAGE_SIZE")
RSS_TOLERANCE = 1 << 20  # bytes, over the whole loop
TRACED_BYTES_TOLERANCE = 16 << 10
TRACED_BLOCKS_TOLERANCE = 100
# Calls traced before the first snapshot. Under the sanitizer build a bounded
# pool of about a thousand small blocks turns over one block per call of
# __reduce__, add or search_batch (it stops at the same count after 2,000 or
# 10,000 calls), and each block it replaces counts as new once tracing runs,
# so the snapshot waits until the pool has turned over.
TRACED_WARMUP = 1500 if SANITIZED else 200


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def fresh(text):
    """A new str object (not interned, not shared with any constant)."""
    return "".join(list(text))


class Num:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return float(self.value)

    def __index__(self):
        return int(self.value)


class Raises:
    def __float__(self):
        raise KeyError("conversion")

    __index__ = __float__


class Fails:
    """A sequence whose iteration fails after one item."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 1:
            raise KeyError("midway")
        return 1.0


class CallsBack:
    """A number whose conversion calls back into an index and lets the error out."""

    def __init__(self, action):
        self.action = action

    def __float__(self):
        self.action()
        return 1.0

    __index__ = __float__


def vec(*xs):
    return [float(x) + 0.0 for x in xs]  # new float objects


def filled_flat():
    idx = PyFlat(3)
    idx.create([vec(0, 0, 0), vec(1, 2, 3), vec(-1, 5, 2), vec(3, 1, 0)])
    return idx


def filled_graph(layers=1, **kw):
    idx = PyHNSW(3, layers=layers, metric="euclidean", schema=["a", "b"], **kw)
    for i, v in enumerate([vec(0, 0, 0), vec(1, 2, 3), vec(-1, 5, 2), vec(3, 1, 0)]):
        idx.insert(v, [("a", fresh("red") if i % 2 else i), ("b", float(i))])
    return idx


# ---------------------------------------------------------------- the cases
#
# Each case builds (call, expected exception or None, objects whose reference
# counts the call must not change, iteration divisor).


def case_table():
    flat, graph = filled_flat(), filled_graph()
    graph5 = filled_graph(layers=5)
    empty_flat, empty_graph = PyFlat(3), PyHNSW(3, metric="euclidean", schema=["a"])
    no_schema = PyHNSW(3, layers=1, metric="euclidean")
    no_schema.insert(vec(1, 1, 1))
    empty_schema = PyHNSW(3, layers=1, metric="euclidean", schema=[])
    empty_schema.insert(vec(1, 1, 1))
    zero_layers = PyHNSW(3, layers=0, metric="euclidean")
    zero_layers.insert(vec(1, 1, 1))
    zero_efs = PyHNSW(3, layers=1, ef_search=0, metric="euclidean")
    zero_efs.insert(vec(1, 1, 1))
    zero_efc = PyHNSW(3, layers=1, ef_construction=0, metric="euclidean", schema=["a"])
    zero_efc.insert(vec(1, 1, 1), [("a", 1)])

    q = vec(0.5, 0.25, 2)
    k = int("300")
    red = fresh("red")
    flt = (fresh("a"), red)
    meta = [(fresh("a"), fresh("blue")), (fresh("b"), int("123456789")), (fresh("zz"), object())]
    bad_meta = [(fresh("a"), None), (fresh("b"), 1)]
    schema = [fresh("a"), fresh("b")]
    short = vec(1, 2)
    vectors = [vec(1, 2, 3), vec(4, 5, 6)]
    rows_meta = [[(fresh("a"), 1), (fresh("b"), 2.5)], [(fresh("a"), fresh("x")), (fresh("b"), 3)]]
    metric = fresh("cosine")

    def conflict(idx, mode):
        inner = (lambda: idx.search(q)) if mode == "search" else (lambda: idx.insert(vec(1, 1, 1)))
        return [1.0, CallsBack(inner), 1.0]

    C = {}
    # PyFlat constructor
    C["flat.new"] = (lambda: PyFlat(3, metric), None, [metric], 1)
    C["flat.new.missing"] = (lambda: PyFlat(), TypeError, [], 1)
    C["flat.new.extra"] = (lambda: PyFlat(3, metric, 1), TypeError, [metric], 1)
    C["flat.new.keyword"] = (lambda: PyFlat(3, nope=metric), TypeError, [metric], 1)
    C["flat.new.twice"] = (lambda: PyFlat(3, dim=3), TypeError, [], 1)
    C["flat.new.dim-type"] = (lambda: PyFlat(metric), TypeError, [metric], 1)
    C["flat.new.dim-overflow"] = (lambda: PyFlat(-1), OverflowError, [], 1)
    C["flat.new.dim-raises"] = (lambda: PyFlat(Raises()), KeyError, [], 1)
    C["flat.new.metric-type"] = (lambda: PyFlat(3, k), TypeError, [k], 1)
    C["flat.new.metric-surrogate"] = (lambda: PyFlat(3, "\ud800"), UnicodeEncodeError, [], 1)
    # PyFlat.insert (a fresh index per call: stored vectors are not a leak)
    C["flat.insert"] = (lambda: PyFlat(3).insert(q), None, [q, *q], 1)
    C["flat.insert.numpy-like-tuple"] = (lambda: PyFlat(3).insert(tuple(q)), None, [*q], 1)
    C["flat.insert.length"] = (lambda: flat.insert(short), ValueError, [short, *short], 1)
    C["flat.insert.str"] = (lambda: flat.insert(red), TypeError, [red], 1)
    C["flat.insert.element"] = (lambda: flat.insert([1.0, red, 2.0]), TypeError, [red], 1)
    C["flat.insert.raises"] = (lambda: flat.insert([1.0, Raises(), 2.0]), KeyError, [], 1)
    C["flat.insert.iteration"] = (lambda: flat.insert(Fails()), KeyError, [], 1)
    C["flat.insert.not-sequence"] = (lambda: flat.insert({1.0}), TypeError, [], 1)
    C["flat.insert.binding"] = (lambda: flat.insert(q, q), TypeError, [q], 1)
    C["flat.insert.conflict"] = (lambda: flat.insert(conflict(flat, "search")), RuntimeError, [], 1)
    # PyFlat.search
    C["flat.search"] = (lambda: flat.search(q, k), None, [q, k, *q], 1)
    C["flat.search.k-none"] = (lambda: flat.search(query=q), None, [q], 1)
    C["flat.search.length"] = (lambda: flat.search(short, k), ValueError, [short, k], 1)
    C["flat.search.empty"] = (lambda: empty_flat.search(q, k), ValueError, [q, k], 1)
    C["flat.search.k-type"] = (lambda: flat.search(q, red), TypeError, [q, red], 1)
    C["flat.search.k-overflow"] = (lambda: flat.search(q, -k), OverflowError, [q], 1)
    C["flat.search.k-object"] = (lambda: flat.search(q, Num(2)), None, [q], 1)
    C["flat.search.query-raises"] = (lambda: flat.search([Raises()], k), KeyError, [k], 1)
    C["flat.search.conflict"] = (lambda: flat.search(conflict(flat, "insert")), RuntimeError, [], 1)
    # PyFlat.create
    C["flat.create"] = (lambda: PyFlat(3).create(vectors), None, [vectors, *vectors], 1)
    C["flat.create.empty"] = (lambda: flat.create([]), ValueError, [], 1)
    C["flat.create.length"] = (lambda: flat.create([q, short]), ValueError, [q, short], 1)
    C["flat.create.inner-str"] = (lambda: flat.create([q, red]), TypeError, [q, red], 1)
    C["flat.create.inner-raises"] = (lambda: flat.create([q, [Raises()]]), KeyError, [q], 1)
    C["flat.create.conflict"] = (lambda: flat.create([conflict(flat, "search")]), RuntimeError, [], 1)
    # PyHNSW constructor
    C["graph.new"] = (lambda: PyHNSW(3, 2, 4, 8, 8, "euclidean", schema), None, [schema, *schema], 1)
    C["graph.new.metric"] = (lambda: PyHNSW(3, metric=metric, schema=schema), ValueError, [metric, schema], 1)
    C["graph.new.dim0"] = (lambda: PyHNSW(0, metric="angular", schema=schema), ValueError, [schema], 1)
    C["graph.new.schema-str"] = (lambda: PyHNSW(3, metric="angular", schema=red), TypeError, [red], 1)
    C["graph.new.schema-item"] = (lambda: PyHNSW(3, metric="angular", schema=[red, k]), TypeError, [red, k], 1)
    C["graph.new.layers"] = (lambda: PyHNSW(3, layers=red), TypeError, [red], 1)
    C["graph.new.ef-raises"] = (lambda: PyHNSW(3, ef_search=Raises()), KeyError, [], 1)
    C["graph.new.binding"] = (lambda: PyHNSW(3, 1, 2, 3, 4, "euclidean", [], 8), TypeError, [], 1)
    # PyHNSW.insert (fresh index per call on success: 3 inserts each)
    C["graph.insert"] = (lambda: _graph_inserts(meta), None, [meta, *meta, *(v for _, v in meta)], 4)
    C["graph.insert.no-metadata"] = (lambda: _graph_inserts(None), None, [], 4)
    C["graph.insert.length"] = (lambda: graph.insert(short, meta), ValueError, [short, meta, *meta], 1)
    C["graph.insert.missing"] = (lambda: graph.insert(q, meta[1:]), ValueError, [q, *meta], 1)
    C["graph.insert.unsupported"] = (lambda: graph.insert(q, bad_meta), ValueError, [q, bad_meta, *bad_meta], 1)
    C["graph.insert.no-schema"] = (lambda: no_schema.insert(q, meta), ValueError, [q, meta, *meta], 1)
    C["graph.insert.pair-list"] = (lambda: graph.insert(q, [[red, 1]]), TypeError, [q, red], 1)
    C["graph.insert.pair-length"] = (lambda: graph.insert(q, [(red, 1, 2)]), ValueError, [q, red], 1)
    C["graph.insert.pair-name"] = (lambda: graph.insert(q, [(k, red)]), TypeError, [q, k, red], 1)
    C["graph.insert.invalid-ef"] = (lambda: zero_efc.insert(q, meta), ValueError, [q, meta, *meta], 1)
    C["graph.insert.conflict"] = (lambda: graph.insert(conflict(graph, "search")), RuntimeError, [], 1)
    # PyHNSW.search
    C["graph.search"] = (lambda: graph.search(q, k), None, [q, k], 1)
    C["graph.search.layers"] = (lambda: graph5.search(q, k), None, [q, k], 1)
    C["graph.search.filter"] = (lambda: graph.search(q, k, flt), None, [q, k, flt, red], 1)
    C["graph.search.filter-float"] = (lambda: graph5.search(q, k, ("b", 1.0)), None, [q, k], 1)
    C["graph.search.empty"] = (lambda: empty_graph.search(q, k, flt), None, [q, k, flt], 1)
    C["graph.search.filter-no-schema"] = (lambda: no_schema.search(q, k, flt), ValueError, [flt, red], 1)
    C["graph.search.filter-unsupported"] = (lambda: graph.search(q, k, (red, None)), ValueError, [red], 1)
    C["graph.search.filter-tuple"] = (lambda: graph.search(q, k, [red, 1]), TypeError, [red], 1)
    C["graph.search.empty-schema"] = (lambda: empty_schema.search(q, k, flt), ValueError, [flt], 1)
    C["graph.search.attribute"] = (lambda: graph.search(q, k, (fresh("zz"), red)), ValueError, [red], 1)
    C["graph.search.invalid-ef"] = (lambda: zero_efs.search(q, k), ValueError, [q, k], 1)
    C["graph.search.invalid-layer"] = (lambda: zero_layers.search(q, k), ValueError, [q, k], 1)
    C["graph.search.query-raises"] = (lambda: graph.search([Raises()]), KeyError, [], 1)
    C["graph.search.conflict"] = (lambda: graph.search(conflict(graph, "insert")), RuntimeError, [], 1)
    # PyHNSW.create (fresh index per call on success)
    C["graph.create"] = (lambda: _graph_create(vectors, rows_meta), None, [vectors, rows_meta, *rows_meta], 4)
    C["graph.create.empty"] = (lambda: graph.create([], []), ValueError, [], 1)
    C["graph.create.count"] = (lambda: graph.create(vectors, rows_meta[:1]), ValueError, [vectors, rows_meta], 1)
    C["graph.create.no-schema"] = (lambda: no_schema.create(vectors, rows_meta), ValueError, [vectors, rows_meta], 1)
    C["graph.create.missing"] = (lambda: graph.create(vectors, [rows_meta[0], []]), ValueError, [vectors], 1)
    C["graph.create.length"] = (lambda: graph.create([q, short], rows_meta), ValueError, [q, short, rows_meta], 1)
    C["graph.create.invalid-ef"] = (lambda: zero_efc.create(vectors), ValueError, [vectors], 1)
    C["graph.create.inner-raises"] = (lambda: graph.create([q, [Raises()]]), KeyError, [q], 1)
    C["graph.create.conflict"] = (lambda: graph.create([conflict(graph, "search")]), RuntimeError, [], 1)
    _add_persistence_and_parallel_cases(C, flat, graph, q, k, flt, vectors, rows_meta, red)
    return C


# Files for the save and load cases, in a directory of their own for the run.
FILES = tempfile.mkdtemp(prefix="tessra-leaks-")


def _add_persistence_and_parallel_cases(C, flat, graph, q, k, flt, vectors, rows_meta, red):
    import numpy as np

    flat_path, graph_path = os.path.join(FILES, "flat.tsr"), os.path.join(FILES, "graph.tsr")
    flat.save(flat_path)
    graph.save(graph_path)
    flat_bytes, graph_bytes = flat.__reduce__()[1][0], graph.__reduce__()[1][0]
    damaged = graph_bytes[:-1] + bytes([graph_bytes[-1] ^ 1])
    missing = os.path.join(FILES, "missing.tsr")
    queries = np.array([q, q[::-1], [0.0, 1.0, 2.0]])
    progress_calls = []

    def progress(done, total):
        progress_calls.append(done)

    # save, load, pickling (a save syncs the file: fewer calls)
    C["flat.save"] = (lambda: flat.save(flat_path), None, [flat_path], 200)
    C["graph.save"] = (lambda: graph.save(graph_path), None, [graph_path], 200)
    C["graph.save.directory"] = (lambda: graph.save(FILES), IsADirectoryError, [], 20)
    C["flat.load"] = (lambda: PyFlat.load(flat_path), None, [flat_path], 20)
    C["graph.load"] = (lambda: PyHNSW.load(graph_path), None, [graph_path], 20)
    C["graph.load.missing"] = (lambda: PyHNSW.load(missing), FileNotFoundError, [missing], 4)
    C["graph.load.kind"] = (lambda: PyHNSW.load(flat_path), ValueError, [flat_path], 4)
    C["flat.from-bytes"] = (lambda: PyFlat._from_bytes(flat_bytes), None, [flat_bytes], 4)
    C["graph.from-bytes"] = (lambda: PyHNSW._from_bytes(graph_bytes), None, [graph_bytes], 4)
    C["graph.from-bytes.damaged"] = (lambda: PyHNSW._from_bytes(damaged), ValueError, [damaged], 4)
    C["graph.from-bytes.type"] = (lambda: PyHNSW._from_bytes(red), TypeError, [red], 1)
    C["flat.reduce"] = (lambda: flat.__reduce__(), None, [flat], 4)
    C["graph.reduce"] = (lambda: graph.__reduce__(), None, [graph], 4)
    # add (a fresh index per call on success)
    C["flat.add"] = (lambda: PyFlat(3).add(vectors, threads=2), None, [vectors, *vectors], 4)
    C["graph.add"] = (lambda: PyHNSW(3, metric="euclidean", schema=["a", "b"]).add(vectors, rows_meta, threads=2,
                                                                                  progress=progress),
                      None, [vectors, rows_meta, *rows_meta, progress], 20)
    C["graph.add.empty"] = (lambda: graph.add([]), ValueError, [], 1)
    C["graph.add.threads"] = (lambda: graph.add(vectors, threads=0), ValueError, [vectors], 1)
    C["graph.add.progress"] = (lambda: graph.add(vectors, progress=red), TypeError, [vectors, red], 1)
    C["flat.add.dimension-0"] = (lambda: PyFlat(0).add([[], []]), ValueError, [], 1)
    # search_batch
    C["flat.search-batch"] = (lambda: flat.search_batch(queries, k, threads=2), None, [queries, k], 4)
    C["graph.search-batch"] = (lambda: graph.search_batch(queries, k, flt, threads=2), None, [queries, k, flt], 4)
    C["flat.search-batch.length"] = (lambda: flat.search_batch([q[:2]], k), ValueError, [k], 1)
    C["graph.search-batch.attribute"] = (lambda: graph.search_batch(queries, k, (red, 1)), ValueError, [queries, red], 1)


def _graph_inserts(meta):
    idx = PyHNSW(3, layers=1, metric="euclidean", schema=["a", "b"])
    for x in (1.0, 2.0, 3.0):
        idx.insert([x, x, x], meta)


def _graph_create(vectors, rows_meta):
    idx = PyHNSW(3, layers=3, metric="inner_product", schema=["a", "b"])
    idx.create(vectors, rows_meta)


CASES = case_table()


def _runner(call, expected):
    if expected is None:
        return call

    def run():
        try:
            call()
        except expected:
            pass

    return run


def _check_path(call, expected):
    """The case takes the path it is meant to take."""
    try:
        call()
    except BaseException as exc:  # noqa: BLE001
        assert expected is not None and type(exc) is expected, repr(exc)
    else:
        assert expected is None, f"no {expected.__name__} raised"


@pytest.mark.parametrize("name", list(CASES))
def test_reference_counts_unchanged(name):
    call, expected, tracked, _ = CASES[name]
    _check_path(call, expected)
    run = _runner(call, expected)
    gc.collect()
    before = [sys.getrefcount(o) for o in tracked]
    for _ in range(3):
        run()
        assert [sys.getrefcount(o) for o in tracked] == before


@pytest.mark.parametrize("name", list(CASES))
def test_no_leak(name):
    call, expected, _, divisor = CASES[name]
    run = _runner(call, expected)
    for _ in range(1000 // divisor):
        run()
    gc.collect()
    if not SANITIZED:
        start = rss()
        for _ in range(RSS_CALLS // divisor):
            run()
        gc.collect()
        grown = rss() - start
        assert grown < RSS_TOLERANCE, f"resident memory grew by {grown} bytes over {RSS_CALLS // divisor} calls"

    tracemalloc.start()
    try:
        for _ in range(TRACED_WARMUP):
            run()
        gc.collect()
        first = tracemalloc.take_snapshot()
        size0 = tracemalloc.get_traced_memory()[0]
        for _ in range(TRACED_CALLS // divisor):
            run()
        gc.collect()
        size1 = tracemalloc.get_traced_memory()[0]
        last = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    blocks = sum(s.count_diff for s in last.compare_to(first, "filename"))
    assert size1 - size0 < TRACED_BYTES_TOLERANCE, f"traced memory grew by {size1 - size0} bytes"
    assert blocks < TRACED_BLOCKS_TOLERANCE, f"{blocks} more traced blocks"


def test_results_hold_no_extra_references():
    # Counts are taken into plain variables: assertion rewriting holds references.
    flat, graph = filled_flat(), filled_graph()
    q = vec(0.5, 0.25, 2)
    result = flat.search(q, 4)
    counts = [sys.getrefcount(result)]
    for pair in result:
        counts += [sys.getrefcount(pair), sys.getrefcount(pair[1])]
    # the list: name + argument; each pair: list + loop name + argument; each distance: tuple + argument
    assert counts == [2] + [3, 2] * 4
    result = graph.search(q, 4, ("b", 1.0))
    counts = [sys.getrefcount(result)]
    for pair in result:
        distance, vector = pair
        counts += [sys.getrefcount(pair), sys.getrefcount(distance), sys.getrefcount(vector)]
        counts += [sys.getrefcount(x) for x in vector]
        del distance, vector
    # pair: list + loop name + argument; distance and vector: tuple + name + argument;
    # each component: list + comprehension name + argument
    assert counts == [2, 3, 3, 3, 3, 3, 3]
    counts = [sys.getrefcount(flat), sys.getrefcount(graph)]
    assert counts == [2, 2]


@pytest.mark.slow
@pytest.mark.parametrize("kind", ["flat", "graph"])
def test_large_indexes_built_and_dropped(kind):
    """Bigger indexes (thousands of vectors, long adjacency runs, metadata text)
    built and dropped again and again: the resident size stays put."""
    import numpy as np

    rng = np.random.default_rng(3)
    data = rng.standard_normal((1500 if kind == "graph" else 20000, 16))
    labels = [[("a", f"label-{i % 17}"), ("b", i)] for i in range(len(data))]

    def build():
        if kind == "flat":
            idx = PyFlat(16)
            idx.create(data)
            idx.search(data[0], 10)
        else:
            idx = PyHNSW(16, metric="euclidean", ef_construction=32, schema=["a", "b"])
            idx.create(data, labels)
            idx.search(data[0], 10, ("a", "label-3"))

    rounds = 2 if SANITIZED else 8
    build()
    build()
    gc.collect()
    start = rss()
    for _ in range(rounds):
        build()
    gc.collect()
    if not SANITIZED:
        assert rss() - start < 4 * RSS_TOLERANCE
