#!/usr/bin/env python3
"""Sharded search on a Dask cluster: the vectors are split into shards, each
shard's index is built on a worker and stays there, every query goes to every
shard, and the per-shard top-k lists are merged into one.

    python examples/sharded_search.py [--scheduler ADDRESS] [--workers 2] [--n 6000] [--dim 16]
                                      [--shards 3] [--queries 50] [--k 10]

Without --scheduler it starts a local cluster of --workers worker processes.
Needs dask.distributed: pip install 'tessra[distributed]' (or '.[distributed]'
from a checkout).

For PyFlat the merge is exact: a shard's local id i is the global id
offset + i, and merging each shard's top k by (distance, global id) gives what
one index over all the vectors returns, ties included (equal distances keep
the lower global id first; NaN comes last). PyHNSW returns (distance, vector)
pairs; they merge by distance the same way. Indexes travel between processes
by pickling, which carries the same bytes as PyFlat.save()/PyHNSW.save().
"""

from __future__ import annotations

import argparse
import importlib
import math
import random
from typing import Any, Union

# Code shipped to workers names the classes through the module: the classes
# report the module "builtins", so pickle cannot store them by name and a
# function holding them directly cannot be pickled by value; the module is
# pickled by name. Indexes themselves pickle fine.
import tessra

Vector = list[float]
FlatResult = list[tuple[int, float]]
HNSWResult = list[tuple[float, list[float]]]


def make_vectors(n: int, dim: int, seed: int) -> list[list[float]]:
    """Gaussian components rounded to one decimal, so equal distances occur."""
    rng = random.Random(seed)
    return [[round(rng.gauss(0.0, 1.0), 1) for _ in range(dim)] for _ in range(n)]


def split(vectors: list[Vector], shards: int) -> tuple[list[list[Vector]], list[int]]:
    """Contiguous shards and the global id of each shard's first vector."""
    size = math.ceil(len(vectors) / shards)
    chunks = [vectors[start : start + size] for start in range(0, len(vectors), size)]
    return chunks, [i * size for i in range(len(chunks))]


# ---------------------------------------------------------------- run on the workers


class Shard:
    """A shard's index and the global id of its first vector. Tasks return a
    Shard rather than a bare index: Dask pickles the type of every task result
    to describe it, which fails (and is logged) for the index classes."""

    def __init__(self, index: Union[tessra.PyFlat, tessra.PyHNSW], offset: int):
        self.index, self.offset = index, offset

    def search(self, queries: list[Vector], k: int) -> list[Any]:
        return [self.index.search(query, k) for query in queries]


def build_flat(vectors: list[list[float]], offset: int = 0, metric: str | None = None) -> Shard:
    index = tessra.PyFlat(len(vectors[0]), metric)
    index.create(vectors)
    return Shard(index, offset)


def build_hnsw(vectors: list[list[float]], offset: int = 0, metric: str = "euclidean") -> Shard:
    index = tessra.PyHNSW(len(vectors[0]), ef_construction=64, ef_search=64, metric=metric)
    index.create(vectors)
    return Shard(index, offset)


def search_shard(shard: Shard, queries: list[Vector], k: int) -> list[Any]:
    return shard.search(queries, k)


# ---------------------------------------------------------------- merging on the client


def _rank(distance: float) -> tuple[bool, float]:
    """Distance order: numbers as usual (-0.0 equals 0.0), NaN after every number."""
    return (True, 0.0) if math.isnan(distance) else (False, distance)


def merge_flat(shard_results: list[list[FlatResult]], offsets: list[int], k: int) -> list[FlatResult]:
    """Per query, the k best (global id, distance) pairs over every shard's (local id, distance) list."""
    merged = []
    for per_shard in zip(*shard_results):
        pairs: FlatResult = [(offset + i, d) for offset, results in zip(offsets, per_shard) for i, d in results]
        pairs.sort(key=lambda pair: (*_rank(pair[1]), pair[0]))
        merged.append(pairs[: max(k, 1)])
    return merged


def merge_hnsw(shard_results: list[list[HNSWResult]], k: int) -> list[HNSWResult]:
    """Per query, the k nearest (distance, vector) pairs over every shard, in shard order on equal distances."""
    merged = []
    for per_shard in zip(*shard_results):
        pairs: HNSWResult = [pair for results in per_shard for pair in results]
        pairs.sort(key=lambda pair: _rank(pair[0]))  # stable
        merged.append(pairs[: max(k, 1)])
    return merged


def sharded_search(client: Any, vectors: list[Vector], queries: list[Vector], shards: int, k: int,
                   metric: str | None = None) -> tuple[list[FlatResult], list[HNSWResult], list[Any]]:
    """Builds PyFlat and PyHNSW shards on the cluster and answers `queries` from them.
    Returns (merged PyFlat results, merged PyHNSW results, the PyFlat shard futures)."""
    chunks, offsets = split(vectors, shards)
    # Each chunk is sent to a worker once; its shards are built there and stay there.
    chunk_futures = client.scatter(chunks)
    flat_shards = [client.submit(build_flat, c, o, metric) for c, o in zip(chunk_futures, offsets)]
    hnsw_shards = [client.submit(build_hnsw, c, o, metric or "euclidean") for c, o in zip(chunk_futures, offsets)]
    query_future = client.scatter(queries, broadcast=True)
    flat_parts = client.gather([client.submit(search_shard, shard, query_future, k) for shard in flat_shards])
    hnsw_parts = client.gather([client.submit(search_shard, shard, query_future, k) for shard in hnsw_shards])
    return merge_flat(flat_parts, offsets, k), merge_hnsw(hnsw_parts, k), flat_shards


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scheduler", help="address of a running Dask scheduler")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster")
    parser.add_argument("--n", type=int, default=6000)
    parser.add_argument("--dim", type=int, default=16)
    parser.add_argument("--shards", type=int, default=3)
    parser.add_argument("--queries", type=int, default=50)
    parser.add_argument("--k", type=int, default=10)
    args = parser.parse_args()

    distributed: Any = importlib.import_module("dask.distributed")

    vectors = make_vectors(args.n, args.dim, seed=1)
    queries = make_vectors(args.queries, args.dim, seed=2)
    if args.scheduler:
        client, cluster = distributed.Client(args.scheduler), None
    else:
        cluster = distributed.LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = distributed.Client(cluster)
    try:
        workers = len(client.scheduler_info()["workers"])
        print(f"cluster: {workers} workers, {args.shards} shards of {args.n} vectors (dim {args.dim})")
        flat, hnsw, flat_shards = sharded_search(client, vectors, queries, args.shards, args.k)

        exact = build_flat(vectors).search(queries, args.k)
        print(f"PyFlat: merged top-{args.k} equals one index over all vectors: {flat == exact}")

        found = sum(len({tuple(v) for _, v in got} & {tuple(vectors[i]) for i, _ in want})
                    for got, want in zip(hnsw, exact))
        print(f"PyHNSW: merged top-{args.k} recall against exact search: {found / (len(exact) * args.k):.3f}")

        # An index moves between processes by pickling: bring shard 0 back to this process.
        shard = flat_shards[0].result()
        chunks, _ = split(vectors, args.shards)
        same = shard.search(queries, args.k) == build_flat(chunks[0]).search(queries, args.k)
        print(f"shard 0 fetched from its worker: {len(shard.index)} vectors, same results: {same}")
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


if __name__ == "__main__":
    main()
