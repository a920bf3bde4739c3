"""Removal: how long remove() takes, and the recall a graph keeps after it.

    python bench/removal.py [--n 50000] [--recall-n 20000] [--quick]

Clustered 128-d vectors (bench/datasets.py). Two tables in Markdown:
  - the time of one remove() of a random tenth of n vectors, per index
    (PyFlat, the full graph, the pruned graph), each built with add();
  - recall@10 after removing a random fifth of recall-n vectors, against the
    exact 10 nearest of the vectors that remain, beside a fresh build of those
    vectors with the same parameters and seed, at ef_search 10 and 50. No
    removed id may come back.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import datasets  # noqa: E402
import tessra  # noqa: E402

K = 10


def indexes(dim: int):
    yield "PyFlat", lambda: tessra.PyFlat(dim)
    yield "PyHNSW full", lambda: tessra.PyHNSW(dim, metric="euclidean", seed=5)
    yield "PyHNSW pruned", lambda: tessra.PyHNSW(dim, metric="euclidean", graph="pruned", m=16, seed=5)


def removal_times(n: int, rng: np.random.Generator) -> list[str]:
    ds = datasets.clustered(n, 10)
    gone = rng.choice(n, n // 10, replace=False)
    rows = ["| index | vectors | removed | remove() |", "|---|---:|---:|---:|"]
    for name, make in indexes(ds.base.shape[1]):
        index = make()
        index.add(ds.base)
        start = time.perf_counter()
        index.remove(gone)
        seconds = time.perf_counter() - start
        assert len(index) == n - len(gone)
        rows.append(f"| {name} | {n:,} | {len(gone):,} | {seconds * 1000:.1f} ms |")
    return rows


def recall_after_removal(n: int, rng: np.random.Generator) -> list[str]:
    ds = datasets.clustered(n, 500)
    gone = np.sort(rng.choice(n, n // 5, replace=False))
    keep = np.setdiff1d(np.arange(n), gone)
    exact = tessra.PyFlat(ds.base.shape[1])
    exact.add(ds.base[keep])
    truth = keep[exact.search_batch(ds.queries, k=K)[0]]

    def recall(ids: np.ndarray) -> float:
        return float(np.mean([len(set(a) & set(b)) / K for a, b in zip(ids.tolist(), truth.tolist())]))

    rows = ["| graph | ef_search | after removal | fresh build | difference |", "|---|---:|---:|---:|---:|"]
    for name, make in list(indexes(ds.base.shape[1]))[1:]:
        removed = make()
        removed.add(ds.base)
        removed.remove(gone)
        fresh = make()
        fresh.add(ds.base[keep])
        for ef in (10, 50):
            found = removed.search_batch(ds.queries, k=K, ef_search=ef)[0]
            assert not np.isin(found, gone).any(), "a removed id came back"
            again = keep[fresh.search_batch(ds.queries, k=K, ef_search=ef)[0]]
            a, b = recall(found), recall(again)
            rows.append(f"| {name.split()[-1]} | {ef} | {a:.4f} | {b:.4f} | {a - b:+.4f} |")
    return rows


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--n", type=int, default=50_000, help="vectors for the timing (a tenth removed)")
    parser.add_argument("--recall-n", type=int, default=20_000, help="vectors for the recall (a fifth removed)")
    parser.add_argument("--quick", action="store_true", help="2,000 vectors each")
    args = parser.parse_args(argv)
    if args.quick:
        args.n = args.recall_n = 2_000
    rng = np.random.default_rng(3)
    print("\n".join(removal_times(args.n, rng)))
    print()
    print("\n".join(recall_after_removal(args.recall_n, rng)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
