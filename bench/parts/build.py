"""Build time and memory: tessra's pruned and full graphs and PyFlat against hnswlib, faiss and usearch.

On the data sets of the graph search above. Build time: each library builds
on two threads (PyHNSW.add(threads=2), hnswlib add_items(num_threads=2),
faiss with two OpenMP threads, usearch add(threads=2); PyFlat.add copies on
the calling thread), the libraries in turns, best of a few rounds. Memory:
each library builds in a fresh interpreter; the resident memory after the
build minus before it (input loaded and converted, freed heap returned to the
system), divided by the vector count. Build time against n: clustered n x 128
vectors up to 1,000,000, the pruned graph and hnswlib each in a fresh
interpreter on two threads; at the largest size also recall@10 and the
queries/s of 1,000 queries batched on one thread at ef 50. Sizes whose
vectors and index would not fit in the memory available are skipped."""

from __future__ import annotations

import math
import tempfile
import time
from pathlib import Path

import numpy as np

import datasets
import libraries
import report
from measure import log, settle_memory

TITLE = "Build time and memory"
PLOTS = ("build_vs_size.png",)
THREADS = 2
SCALE_EF = 50
SIZES = {
    "quick": {"sets": [("images", 2000, 200), ("clustered", 4000, 200), ("uniform", 4000, 200)], "rounds": 1,
              "scale": (2000, 5000, 10000)},
    "full": {"sets": [("images", 9000, 1000), ("clustered", 20000, 1000), ("uniform", 20000, 1000)], "rounds": 2,
             "scale": (10_000, 30_000, 100_000, 300_000, 1_000_000)},
}
SCALE_LIBRARIES = ("pruned", "hnswlib")


def memory_child(spec, key):
    """In a fresh interpreter: resident bytes per vector that building adds."""
    ds = datasets.load(spec)
    base = libraries.as_input(key, ds.base)
    del ds
    library = libraries.make(key)
    before = settle_memory()
    library.build(base, THREADS)
    return {"bytes_per_vector": (settle_memory() - before) / base.shape[0]}


def scale_child(n, key, truth_path=None):
    """In a fresh interpreter: build clustered n x 128 on two threads; with the
    exact neighbours given, also recall@10 and queries/s at ef SCALE_EF."""
    ds = datasets.clustered(n, 1000)
    base, queries = libraries.as_input(key, ds.base), libraries.as_input(key, ds.queries)
    del ds
    library = libraries.make(key)
    before = settle_memory()
    start = time.perf_counter()
    library.build(base, THREADS)
    out = {"seconds": time.perf_counter() - start, "bytes_per_vector": (settle_memory() - before) / n}
    if truth_path:
        best = 0.0
        for _ in range(3):
            start = time.perf_counter()
            found = library.search(queries, SCALE_EF)
            best = max(best, queries.shape[0] / (time.perf_counter() - start))
        out.update(recall=libraries.recall(found, np.load(truth_path)), qps=best)
    return out


def available_memory() -> int | None:
    try:
        with open("/proc/meminfo") as f:
            return next(int(line.split()[1]) * 1024 for line in f if line.startswith("MemAvailable"))
    except (OSError, StopIteration):
        return None


def fits(n: int, dim: int = 128) -> bool:
    """Whether a scale run of n vectors fits: generating the set holds three
    float64 copies at its peak, and an index about 2 KB a vector beside its
    vectors (a generous bound for both libraries at M 16)."""
    free = available_memory()
    return free is None or n * (3 * dim * 8 + 2048) < 0.8 * free


def build_times(ctx, spec, keys, rounds):
    ds = ctx.dataset(spec)
    inputs = {key: libraries.as_input(key, ds.base) for key in keys}
    best = {key: math.inf for key in keys}
    for _ in range(rounds):
        for key in keys:
            library = libraries.make(key)
            start = time.perf_counter()
            library.build(inputs[key], THREADS)
            best[key] = min(best[key], time.perf_counter() - start)
            del library
            settle_memory()
    memory = {key: ctx.child("parts.build:memory_child", spec=spec, key=key)["bytes_per_vector"] for key in keys}
    log(f"build: {ds.name} " + ", ".join(f"{k} {best[k]:.1f} s {memory[k]:,.0f} B" for k in keys))
    return {"dataset": report.describe(ds), "seconds": best, "bytes_per_vector": memory}


def scale(ctx, sizes):
    keys = [k for k in SCALE_LIBRARIES if ctx.have(k)]
    kept = [n for n in sizes if fits(n)]
    skipped = [n for n in sizes if n not in kept]
    if skipped:
        ctx.note(f"Build time against n: {', '.join(f'{n:,}' for n in skipped)} vectors skipped, "
                 f"as they would not fit in the memory available.")
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for n in kept:
            truth_path = None
            if n == kept[-1]:
                ds = datasets.clustered(n, 1000)
                truth_path = str(Path(tmp) / "truth.npy")
                np.save(truth_path, datasets.exact_knn(ds.base, ds.queries, libraries.K)[0])
                del ds
                settle_memory()
            for key in keys:
                row = {"n": n, "library": key, **ctx.child("parts.build:scale_child", n=n, key=key,
                                                          truth_path=truth_path)}
                rows.append(row)
                log(f"build: clustered {n:,} {key} {row['seconds']:.1f} s")
    return {"rows": rows, "skipped": skipped, "dim": 128}


def run(ctx):
    sizes = ctx.sizes(SIZES)
    keys = ["pruned", "full", "flat", *(p for p in libraries.PEERS if ctx.have(p))]
    sets = [build_times(ctx, ctx.spec(*s), keys, sizes["rounds"]) for s in sizes["sets"]]
    return {"sets": sets, "rounds": sizes["rounds"], "scale": scale(ctx, sizes["scale"])}


def render(res) -> str:
    rows = []
    for s in res["sets"]:
        secs, mem = s["seconds"], s["bytes_per_vector"]
        for key in secs:
            rows.append([report.size_label(s["dataset"]), libraries.display(key), report.fmt(secs[key], ".2f"),
                         report.times(report.ratio(secs[key], secs.get("hnswlib"))), report.fmt(mem[key]),
                         report.times(report.ratio(mem[key], mem.get("hnswlib")))])
    out = [f"Best of {res['rounds']} build{'s' if res['rounds'] > 1 else ''} on {THREADS} threads; memory in "
           "bytes per vector (tessra keeps float64 vectors, the peers float32).", "",
           report.table(["data set", "library", "build s", "÷ hnswlib", "RSS bytes per vector", "÷ hnswlib"], rows,
                        left=2)]
    sc = res["scale"]
    if sc["rows"]:
        keys = list(dict.fromkeys(r["library"] for r in sc["rows"]))
        by = {(r["n"], r["library"]): r for r in sc["rows"]}
        sizes = sorted({r["n"] for r in sc["rows"]})
        rows = []
        for n in sizes:
            cells = [f"{n:,}"]
            for key in keys:
                r = by.get((n, key))
                cells += [report.fmt(r and r["seconds"], ".1f"), report.fmt(r and r["bytes_per_vector"])]
            cells.append(report.times(report.ratio(by.get((n, "pruned"), {}).get("seconds"),
                                                    by.get((n, "hnswlib"), {}).get("seconds"))))
            rows.append(cells)
        header = ["n"]
        for key in keys:
            header += [f"{libraries.display(key)} build s", "RSS bytes per vector"]
        out += ["", "### Build time against n", "",
                f"Clustered n × {sc['dim']}, on {THREADS} threads, each build in a fresh process.", "",
                report.table(header + ["pruned ÷ hnswlib"], rows)]
        largest = sizes[-1]
        rows = [[libraries.display(k), report.fmt(by[(largest, k)].get("recall"), ".4f"),
                 report.fmt(by[(largest, k)].get("qps"))] for k in keys if (largest, k) in by]
        out += ["", f"At {largest:,} vectors, ef {SCALE_EF}, 1,000 queries batched on one thread:", "",
                report.table(["library", "recall@10", "q/s"], rows)]
        if sc["skipped"]:
            out += ["", "Skipped (would not fit in memory): " + ", ".join(f"{n:,}" for n in sc["skipped"]) + "."]
    return "\n".join(out)


def plot(res, plt, out_dir):
    sc = res["scale"]
    if not sc["rows"]:
        return []
    fig, axes = report.panels(plt, 1, width=6.5, height=4.5)
    ax = axes[0][0]
    for key in dict.fromkeys(r["library"] for r in sc["rows"]):
        pts = sorted((r["n"], r["seconds"]) for r in sc["rows"] if r["library"] == key)
        ax.plot([p[0] for p in pts], [p[1] for p in pts], marker="o", label=libraries.display(key))
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel(f"vectors (clustered, {sc['dim']}-d)")
    ax.set_ylabel(f"build time on {THREADS} threads (s)")
    ax.set_title("Build time against size")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    report.save(plt, fig, out_dir / "build_vs_size.png")
    return [("Build time against size", "build_vs_size.png")]
