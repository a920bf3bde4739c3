"""Recall of PyHNSW with its default parameters on clustered data, against exact brute force."""

import time

import numpy as np
import pytest

from tessra import PyHNSW

N, DIM, CLUSTERS, QUERIES, K = 3000, 16, 30, 150, 10

# Measured recall@10 on this data is 1.000 (minimum 0.999 per run over repeated
# builds, whose level draws differ); the threshold leaves a wide margin for that
# randomness while still catching a graph that links or searches badly.
MIN_RECALL = 0.95
# No single query may lose most of its neighbours.
MIN_QUERY_RECALL = 0.6


def clustered(seed):
    rng = np.random.default_rng(seed)
    centres = rng.normal(0.0, 4.0, (CLUSTERS, DIM))
    data = centres[rng.integers(0, CLUSTERS, N)] + rng.normal(0.0, 1.0, (N, DIM))
    queries = centres[rng.integers(0, CLUSTERS, QUERIES)] + rng.normal(0.0, 1.0, (QUERIES, DIM))
    return data, queries


@pytest.fixture(scope="module")
def built():
    data, queries = clustered(seed=20240611)
    idx = PyHNSW(DIM, metric="euclidean")
    start = time.perf_counter()
    idx.create(data)
    return idx, data, queries, time.perf_counter() - start


def test_recall_at_10(built):
    idx, data, queries, build_seconds = built
    row_of = {tuple(row): i for i, row in enumerate(data.tolist())}
    assert len(row_of) == N

    total = 0
    worst = 1.0
    for q in queries:
        exact = np.argsort(np.sqrt(((data - q) ** 2).sum(axis=1)), kind="stable")[:K]
        res = idx.search(q.tolist(), k=K)
        assert len(res) == K
        found = {row_of[tuple(v)] for _, v in res}
        hits = len(found & set(exact.tolist()))
        total += hits
        worst = min(worst, hits / K)
        # the distances returned are the true ones, nearest first
        dists = [d for d, _ in res]
        assert dists == sorted(dists)
        for d, v in res:
            assert d == pytest.approx(float(np.sqrt(((np.array(v) - q) ** 2).sum())), rel=1e-12, abs=1e-12)
    recall = total / (K * len(queries))
    assert recall >= MIN_RECALL, f"recall@{K} {recall:.3f} (worst query {worst:.1f}, build {build_seconds:.1f}s)"
    assert worst >= MIN_QUERY_RECALL, f"worst query recall {worst:.1f}"


def test_stored_vectors_find_themselves(built):
    idx, data, _, _ = built
    for i in range(0, N, 97):
        [(d, v)] = idx.search(data[i].tolist())
        assert d == 0.0
        assert v == data[i].tolist()
