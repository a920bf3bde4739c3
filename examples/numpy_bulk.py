"""Bulk loading from numpy, numpy queries, and a check against numpy brute force.

    python examples/numpy_bulk.py

create() takes a 2-d array (one row per vector) and search() a 1-d array,
as well as Python lists. PyFlat must agree with brute force exactly; PyHNSW is
approximate, so we measure its recall.
"""

import time

import numpy as np
import numpy.typing as npt

import tessra

N, DIM, QUERIES, K = 2000, 64, 50, 10
rng = np.random.default_rng(42)
data = rng.normal(size=(N, DIM))  # float64, one vector per row
queries = rng.normal(size=(QUERIES, DIM))


def brute_force(
    q: npt.NDArray[np.float64], k: int
) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.float64]]:
    """Ids and euclidean distances of the k nearest rows of data, nearest first
    (ties broken by the lower id, as PyFlat does)."""
    d = np.sqrt(((data - q) ** 2).sum(axis=1))
    ids = np.argsort(d, kind="stable")[:k]
    return ids, d[ids]


t0 = time.perf_counter()
flat = tessra.PyFlat(DIM)
flat.create(data)
t1 = time.perf_counter()
graph = tessra.PyHNSW(DIM, metric="euclidean")
graph.create(data)
t2 = time.perf_counter()
print(f"{N} vectors of dimension {DIM}: PyFlat.create {t1 - t0:.3f}s, PyHNSW.create {t2 - t1:.2f}s")

# PyHNSW returns stored vectors, not ids: index the rows by their bytes.
row_id = {row.tobytes(): i for i, row in enumerate(data)}

flat_agree = 0
max_gap = 0.0
graph_hits = 0
t_flat = t_graph = 0.0
for q in queries:  # each q is a 1-d float64 array
    want_ids, want_d = brute_force(q, K)

    t0 = time.perf_counter()
    flat_result = flat.search(q, k=K)  # [(id, distance), ...]
    t_flat += time.perf_counter() - t0
    ids = np.array([i for i, _ in flat_result])
    dists = np.array([d for _, d in flat_result])
    flat_agree += bool(np.array_equal(ids, want_ids))
    max_gap = max(max_gap, float(np.max(np.abs(dists - want_d))))

    t0 = time.perf_counter()
    graph_result = graph.search(q, k=K)  # [(distance, vector), ...]
    t_graph += time.perf_counter() - t0
    got = {row_id[np.asarray(v, dtype=np.float64).tobytes()] for _, v in graph_result}
    graph_hits += len(got & set(want_ids.tolist()))

print(f"PyFlat agrees with numpy brute force on {flat_agree}/{QUERIES} queries "
      f"(largest distance difference {max_gap:.1e}), {t_flat / QUERIES * 1e3:.3f} ms per query")
print(f"PyHNSW recall@{K} against numpy brute force: {graph_hits / (QUERIES * K):.3f}, "
      f"{t_graph / QUERIES * 1e3:.3f} ms per query")

# Any numeric sequence works as a query: a float32 row, a list, a tuple.
q32 = queries[0].astype(np.float32)
print("float32 query, nearest id:", flat.search(q32)[0][0],
      "| list query, nearest id:", flat.search(queries[0].tolist())[0][0])
