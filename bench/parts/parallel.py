"""The parallel build: PyHNSW.add on one and two threads, both graphs.

On MNIST (9,000 x 784) and clustered 20,000 x 128. Each graph is built with
seed 1 on one thread and on two, in turns, best of a few rounds; the two
builds must save the same bytes (the graph never depends on the thread
count). The full graph runs every insertion's layer searches ahead on worker
threads and links in order on the calling thread, redoing a search that a
later link could have changed; the pruned graph inserts in batches whose
bounds depend on the index size only. Columns:
  - speed-up: wall time on one thread ÷ on two;
  - processor s: processor time of the whole build, every thread;
  - redone: share of the full graph's speculative searches redone in order;
  - serial: share of the work that runs in order on the calling thread
    (commits, and searches redone or run directly);
  - idle estimate: the speed-up this build would have on two idle cores,
    processor(1) ÷ (serial · processor(2) + (1 − serial) · processor(2) / 2),
    which holds on a shared machine where the wall-clock speed-up does not."""

from __future__ import annotations

import math
import pickle
import time

import libraries
import report
from measure import log, settle_memory

TITLE = "Parallel build"
PLOTS = ()
THREADS = (1, 2)
SIZES = {
    "quick": {"sets": [("images", 2000, 10), ("clustered", 4000, 10)], "rounds": 1},
    "full": {"sets": [("images", 9000, 10), ("clustered", 20000, 10)], "rounds": 2},
}


def serial_share(stats) -> float:
    """The share of a build's processor time that runs in insertion order."""
    in_order = stats["redone"] + stats["direct"]
    per_in_order = stats["redo_seconds"] / in_order if in_order else 0.0
    total = stats["search_seconds"] + stats["commit_seconds"] + stats["redo_seconds"]
    serial = stats["commit_seconds"] + stats["redone"] * per_in_order
    return serial / total if total else 0.0


def build(ds, graph, threads):
    library = libraries.TessraGraph(graph)
    start, cpu = time.perf_counter(), time.process_time()
    library.build(ds.base, threads)
    seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
    return seconds, cpu, library.index._add_stats(), pickle.dumps(library.index)


def measure_set(ctx, spec, rounds):
    ds = ctx.dataset(spec)
    rows = []
    for graph in ("full", "pruned"):
        best = {t: (math.inf, None, None) for t in THREADS}
        saved = {}
        for _ in range(rounds):
            for t in THREADS:
                seconds, cpu, stats, data = build(ds, graph, t)
                saved.setdefault(t, data)
                if seconds < best[t][0]:
                    best[t] = (seconds, cpu, stats)
                del data
                settle_memory()
        same = all(saved[t] == saved[THREADS[0]] for t in THREADS)
        del saved
        one_wall, one_cpu, _ = best[THREADS[0]]
        for t in THREADS:
            seconds, cpu, stats = best[t]
            serial = serial_share(stats)
            spec_n = stats["speculated"]
            rows.append({"graph": graph, "threads": t, "seconds": seconds, "cpu": cpu, "stats": stats,
                         "speed_up": one_wall / seconds, "serial": serial,
                         "redone": stats["redone"] / spec_n if spec_n else None,
                         "idle_estimate": one_cpu / (serial * cpu + (1 - serial) * cpu / t),
                         "same_bytes_as_one_thread": same})
            log(f"parallel: {ds.name} {graph} {t} thread(s) {seconds:.1f} s")
    return {"dataset": report.describe(ds), "rows": rows}


def run(ctx):
    sizes = ctx.sizes(SIZES)
    return {"sets": [measure_set(ctx, ctx.spec(*s), sizes["rounds"]) for s in sizes["sets"]],
            "rounds": sizes["rounds"]}


def render(res) -> str:
    rows, differ = [], []
    for s in res["sets"]:
        for r in s["rows"]:
            rows.append([report.size_label(s["dataset"]), libraries.display(r["graph"]), r["threads"],
                         report.fmt(r["seconds"], ".2f"), report.times(r["speed_up"]), report.fmt(r["cpu"], ".2f"),
                         report.fmt(r["redone"], ".1%"), f"{r['serial']:.1%}", report.times(r["idle_estimate"])])
            if not r["same_bytes_as_one_thread"] and r["threads"] == THREADS[-1]:
                differ.append(f"{libraries.display(r['graph'])} on {report.size_label(s['dataset'])}")
    out = [f"Best of {res['rounds']} round{'s' if res['rounds'] > 1 else ''}.", "",
           report.table(["data set", "graph", "threads", "build s", "speed-up", "processor s", "redone", "serial",
                         "idle estimate"], rows, left=2), ""]
    out.append("The builds on one and on two threads saved the same bytes." if not differ else
               "The builds on one and on two threads saved different bytes (they must not): " + ", ".join(differ) + ".")
    return "\n".join(out)


def plot(res, plt, out_dir):
    return []
