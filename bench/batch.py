"""Batch search: many queries per call, on one and two threads.

Measured per data set: PyFlat.search_batch against numpy's batched brute force
(|x|² − 2 Q·Xᵀ through BLAS on one thread, then argpartition), and
PyHNSW.search_batch against hnswlib's knn_query with the same thread count.
Every rate is the best of a few passes over the whole query set in one call;
the rates a ratio compares are measured in turn, pass by pass, so that load
from elsewhere on the machine falls on both alike.

Run alone, it measures PyFlat's batches against numpy's on MNIST (when the
file is there) and the clustered 50,000 x 128 set, numpy on one BLAS thread:

    python bench/batch.py [--mnist PATH] [--rounds 3] [--k 10]
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

if __name__ == "__main__":
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # numpy's figure is one thread's; set before numpy loads

import numpy as np

from measure import log

THREADS = (1, 2)
NUMPY_CHUNK = 256  # queries per BLAS call: large enough for a matrix product, small enough for the cache


def best_rates(calls: dict, count: int, min_seconds: float = 1.5, max_rounds: int = 5):
    """Run every call (one batch of `count` queries) once per round, in turn, so
    that load from elsewhere falls on all of them alike; at least two rounds,
    more until min_seconds. Returns {name: (best q/s, result of the first round)}."""
    best = {name: float("inf") for name in calls}
    first: dict = {}
    spent, rounds = 0.0, 0
    while rounds < max_rounds and (rounds < 2 or spent < min_seconds):
        for name, call in calls.items():
            t0 = time.perf_counter()
            result = call()
            elapsed = time.perf_counter() - t0
            first.setdefault(name, result)
            best[name] = min(best[name], elapsed)
            spent += elapsed
        rounds += 1
    return {name: (count / best[name], first[name]) for name in calls}


def numpy_batched(base, norms, queries, k):
    """Exact k nearest (up to rounding in the expansion) for every query: ids, nearest first."""
    out = np.empty((queries.shape[0], k), dtype=np.int64)
    for start in range(0, queries.shape[0], NUMPY_CHUNK):
        q = queries[start : start + NUMPY_CHUNK]
        d = norms[None, :] - 2.0 * (q @ base.T)
        part = np.argpartition(d, k - 1, axis=1)[:, :k]
        order = np.argsort(np.take_along_axis(d, part, axis=1), axis=1, kind="stable")
        out[start : start + len(q)] = np.take_along_axis(part, order, axis=1)
    return out


def flat_rows_equal(ids, distances, single_results):
    """Rows of search_batch that equal search's list of (id, distance), distance bits included."""
    same = 0
    for row, found in enumerate(single_results):
        n = len(found)
        same += (
            [int(i) for i in ids[row, :n]] == [i for i, _ in found]
            and np.array_equal(distances[row, :n], np.array([d for _, d in found]), equal_nan=True)
            and bool((ids[row, n:] == -1).all())
        )
    return same


def measure(key, adapter, ds, k, single_results, single_qps, rows: list):
    """Batch rows for one index of one data set: PyFlat (with numpy's batched
    brute force beside it), PyHNSW and hnswlib, each on one and two threads."""
    queries = ds.queries
    entry = {"dataset": ds.name, "n": ds.n, "dim": ds.dim, "nq": ds.nq}
    calls = {}
    for threads in THREADS:
        if key in ("PyFlat", "PyHNSW"):
            calls[threads] = lambda t=threads: adapter.index.search_batch(queries, k, threads=t)
        elif key == "hnswlib":
            calls[threads] = lambda t=threads: adapter.index.knn_query(queries, k=k, num_threads=t)
    if not calls:
        return
    if key == "PyFlat":
        base = ds.base
        norms = np.einsum("ij,ij->i", base, base)
        calls["numpy"] = lambda: numpy_batched(base, norms, queries, k)
    load = os.getloadavg()
    measured = best_rates(calls, len(queries))
    if "numpy" in measured:
        qps = measured.pop("numpy")[0]
        rows.append({**entry, "load": load, "index": "numpy batched brute force", "key": "numpy", "threads": 1, "qps": qps})
        log(f"  numpy batched: {qps:.0f} q/s")
    for threads, (qps, result) in measured.items():
        row = {**entry, "load": load, "index": adapter.name, "key": key, "threads": threads, "qps": qps,
               "single_qps": single_qps}
        if key == "PyFlat":
            row["rows_equal_search"] = flat_rows_equal(result[0], result[1], single_results)
        if key == "PyHNSW":
            ids, distances = result
            row["rows_equal_search"] = sum(
                np.array_equal(distances[r, : len(f)], np.array([d for d, _ in f]), equal_nan=True)
                and all(np.array_equal(ds.base[i], v) for i, (_, v) in zip(ids[r], f))
                for r, f in enumerate(single_results)
            )
        rows.append(row)
        log(f"  {adapter.name} batch, {threads} thread(s): {qps:.0f} q/s")


def _find(rows, dataset, key, threads):
    for r in rows:
        if r["dataset"] == dataset and r["key"] == key and r["threads"] == threads:
            return r
    return None


def render(res, fmt, ratio) -> str:
    rows = res.get("batch", [])
    if not rows:
        return ""
    lines = [
        f"### Batch search (k={res['k']}, every query of the set in one call)",
        "",
        "| data set | index | threads | q/s | rows equal `search` |",
        "|---|---|---:|---:|---:|",
    ]
    for r in rows:
        eq = f"{r['rows_equal_search']}/{r['nq']}" if "rows_equal_search" in r else "–"
        lines.append(f"| {r['dataset']} ({r['n']}x{r['dim']}) | {r['index']} | {r['threads']} | {fmt(r['qps'])} | {eq} |")
    lines += [
        "",
        "| data set | PyFlat 1 thread ÷ numpy batched | PyFlat 2 threads ÷ 1 | PyHNSW 2 threads ÷ 1 | "
        "PyHNSW ÷ hnswlib (1 / 2 threads) | PyHNSW µs per query: single call − batch |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    for name in dict.fromkeys(r["dataset"] for r in rows):
        f1, f2 = _find(rows, name, "PyFlat", 1), _find(rows, name, "PyFlat", 2)
        npy = _find(rows, name, "numpy", 1)
        h1, h2 = _find(rows, name, "PyHNSW", 1), _find(rows, name, "PyHNSW", 2)
        l1, l2 = _find(rows, name, "hnswlib", 1), _find(rows, name, "hnswlib", 2)
        q = lambda r: r and r["qps"]
        overhead = None
        if h1 and h1.get("single_qps"):
            overhead = (1 / h1["single_qps"] - 1 / h1["qps"]) * 1e6
        lines.append(
            f"| {name} | {fmt(ratio(q(f1), q(npy)), '.2f')} | {fmt(ratio(q(f2), q(f1)), '.2f')} | "
            f"{fmt(ratio(q(h2), q(h1)), '.2f')} | {fmt(ratio(q(h1), q(l1)), '.3f')} / {fmt(ratio(q(h2), q(l2)), '.3f')} | "
            f"{fmt(overhead, '.1f')} |"
        )
    loads = [r["load"][0] for r in rows if r.get("load")]
    if loads:
        lines += ["", f"1-minute load average during these runs: {min(loads):.2f} to {max(loads):.2f} "
                  f"on {os.cpu_count()} cores (two threads scale only when two cores are free)."]
    return "\n".join(lines)


def plot(res, plt, out):
    rows = res.get("batch", [])
    if not rows:
        return None
    names = list(dict.fromkeys(r["dataset"] for r in rows))
    fig, axes = plt.subplots(1, len(names), figsize=(5.5 * len(names), 4.5), squeeze=False)
    for ax, name in zip(axes[0], names):
        mine = [r for r in rows if r["dataset"] == name]
        labels = [f"{r['index'].replace('tessra ', '')}\n{r['threads']} thr" for r in mine]
        ax.bar(range(len(mine)), [r["qps"] for r in mine], color=["C0" if "tessra" in r["index"] else "C1" for r in mine])
        ax.set_xticks(range(len(mine)))
        ax.set_xticklabels(labels, fontsize=7)
        ax.set_yscale("log")
        ax.set_ylabel(f"queries/s (k={res['k']}, whole set per call)")
        ax.set_title(f"Batch search, {name}")
    fig.tight_layout()
    fig.savefig(out / "batch_qps.png", dpi=110)
    plt.close(fig)
    return ("batch search queries/s", "batch_qps.png")


def interleaved(calls: dict, count: int, rounds: int):
    """Every call once per round, in turn; per call the best rate by wall time
    and by processor time (all threads of the process), and its first result."""
    wall = {name: 0.0 for name in calls}
    cpu = {name: 0.0 for name in calls}
    first: dict = {}
    for _ in range(rounds):
        for name, call in calls.items():
            t0, c0 = time.perf_counter(), time.process_time()
            result = call()
            wall[name] = max(wall[name], count / (time.perf_counter() - t0))
            cpu[name] = max(cpu[name], count / (time.process_time() - c0))
            first.setdefault(name, result)
    return wall, cpu, first


def main(argv=None):
    here = Path(__file__).resolve().parent
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mnist", default=str(here.parent.parent / "shared" / "data" / "mnist-t10k-images-idx3-ubyte.gz"),
                        help="the MNIST test images (IDX); the set is left out when the file is missing")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--k", type=int, default=10)
    args = parser.parse_args(argv)
    sys.path.insert(0, str(here))
    import datasets
    import tessra

    sets = []
    if os.path.exists(args.mnist):
        sets.append(datasets.load_mnist(args.mnist, quick=False))
    else:
        log(f"{args.mnist} not found: MNIST left out")
    sets.append(datasets.clustered(50000, 1000))
    lines = [
        f"search_batch, k = {args.k}, whole query set per call, best of {args.rounds} interleaved rounds "
        f"(OPENBLAS_NUM_THREADS={os.environ.get('OPENBLAS_NUM_THREADS', 'unset')})",
        "",
        "| data set | numpy batched q/s | PyFlat 1 thread q/s | PyFlat 2 threads q/s | 1 thread ÷ numpy (wall / processor time) "
        "| 2 threads ÷ 1 | rows equal `search` |",
        "|---|---:|---:|---:|---:|---:|---:|",
    ]
    for ds in sets:
        flat = tessra.PyFlat(ds.dim)
        flat.create(ds.base)
        norms = np.einsum("ij,ij->i", ds.base, ds.base)
        single = [flat.search(q, args.k) for q in ds.queries]
        calls = {
            "numpy": lambda: numpy_batched(ds.base, norms, ds.queries, args.k),
            1: lambda: flat.search_batch(ds.queries, args.k, threads=1),
            2: lambda: flat.search_batch(ds.queries, args.k, threads=2),
        }
        wall, cpu, first = interleaved(calls, ds.nq, args.rounds)
        equal = min(flat_rows_equal(*first[t], single) for t in (1, 2))
        lines.append(
            f"| {ds.name} ({ds.n}x{ds.dim}) | {wall['numpy']:.0f} | {wall[1]:.0f} | {wall[2]:.0f} | "
            f"{wall[1] / wall['numpy']:.2f} / {cpu[1] / cpu['numpy']:.2f} | {wall[2] / wall[1]:.2f} | {equal}/{ds.nq} |"
        )
        log(lines[-1])
    load = os.getloadavg()
    lines += ["", f"1-minute load average at the end: {load[0]:.2f} on {os.cpu_count()} cores."]
    print("\n".join(lines))


if __name__ == "__main__":
    main()
