"""The pruned graph: fast approximate search with metadata filters, checked against exact search.

    python examples/pruned_graph.py

A PyHNSW built with graph="pruned" keeps at most 2*m neighbours per node, so it
builds and searches at the speed of the usual HNSW libraries, while every
distance it reports is still the exact float64 value. With a seed, the index is
a function of its calls: the same vectors give the same graph, and the same
file, on any number of threads.
"""

import os
import tempfile

import numpy as np

import tessra

N, DIM, K = 20_000, 64, 10
rng = np.random.default_rng(1)
centres = rng.normal(size=(50, DIM)) * 4
labels = rng.integers(0, 50, N)
data = centres[labels] + rng.normal(size=(N, DIM))
queries = centres[rng.integers(0, 50, 200)] + rng.normal(size=(200, DIM))
colours = ["red", "green", "blue", "grey"]
metadata = [[("colour", colours[i % 4]), ("cluster", int(labels[i]))] for i in range(N)]

graph = tessra.PyHNSW(DIM, metric="euclidean", graph="pruned", m=16, schema=["colour", "cluster"], seed=7)
graph.add(data, metadata=metadata)  # every core; the same graph on any thread count
print(graph)

exact = tessra.PyFlat(DIM)
exact.add(data)


def recall(found: np.ndarray, truth: np.ndarray) -> float:
    return float(np.mean([len(set(f) & set(t)) / K for f, t in zip(found.tolist(), truth.tolist())]))


truth, _ = exact.search_batch(queries, k=K)
for ef in (10, 20, 50):
    ids, _ = graph.search_batch(queries, k=K, ef_search=ef)
    print(f"ef_search {ef:3d}: recall@{K} {recall(ids, truth):.3f}")

# Filtered search: only blue points come back, nearest first, with exact distances.
ids, dists = graph.search_batch(queries[:1], k=3, filter=("colour", "blue"))
print("three nearest blue points:", ids[0].tolist(), [round(d, 4) for d in dists[0].tolist()])
# The same as an exact search among the blue points alone, distance bits included.
blue = np.flatnonzero(np.arange(N) % 4 == 2)
only_blue = tessra.PyFlat(DIM)
only_blue.add(data[blue])
exact_blue = [(int(blue[i]), d) for i, d in only_blue.search(queries[0], k=3)]
print("same as an exact search of the blue points:", exact_blue == list(zip(ids[0].tolist(), dists[0].tolist())))

with tempfile.TemporaryDirectory() as directory:
    path = os.path.join(directory, "graph.tsr")
    graph.save(path)
    again = tessra.PyHNSW.load(path)
    same = again.search_batch(queries, k=K)[0].tolist() == graph.search_batch(queries, k=K)[0].tolist()
    print("loaded copy answers the same:", same)
