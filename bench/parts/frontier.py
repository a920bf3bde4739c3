"""Graph search: recall against speed, for both of tessra's graphs against hnswlib, faiss and usearch.

k = 10 on MNIST (9,000 x 784), clustered 20,000 x 128 and uniform 20,000 x 32,
1,000 queries each. Every index is built first (on two threads), then, for
each ef, the libraries take turns answering the whole query set in one call
on one thread (tessra search_batch(threads=1, ef_search=ef), the peers'
batch calls on one thread); each keeps its best pass. Recall@10 is against
exact float64 search. Parameters: tessra PyHNSW(graph="pruned" or "full",
m=16, ef_construction=200); hnswlib M 16, ef_construction 200; faiss
IndexHNSWFlat M 16, efConstruction 200; usearch connectivity 16,
expansion_add 200 (peers in float32). The full graph keeps every link its
searches find (hundreds a node), the pruned one at most 2·m on layer 0."""

from __future__ import annotations

import time

import libraries
import report
from libraries import K
from measure import best_rates, log, settle_memory

TITLE = "Graph search: recall against speed"
PLOTS = ("recall_vs_qps.png",)
TARGETS = (0.95, 0.99)
SIZES = {
    "quick": {"sets": [("images", 2000, 200), ("clustered", 4000, 200), ("uniform", 4000, 200)],
              "efs": (10, 50, 200), "rounds": 2},
    "full": {"sets": [("images", 9000, 1000), ("clustered", 20000, 1000), ("uniform", 20000, 1000)],
             "efs": (10, 20, 30, 50, 100, 200), "rounds": 5},
}
BUILD_THREADS = 2


def fastest(rows, target):
    """Per library: the fastest row among those reaching the recall target."""
    out = {}
    for row in rows:
        if row["recall"] >= target and row["qps"] > out.get(row["library"], {}).get("qps", -1.0):
            out[row["library"]] = row
    return out


def summary(rows, target):
    """Per library: (its fastest row reaching target or None, that rate ÷ the fastest peer's)."""
    best = fastest(rows, target)
    peers = [r for key, r in best.items() if key in libraries.PEERS]
    top = max(peers, key=lambda r: r["qps"]) if peers else None
    libs = list(dict.fromkeys(r["library"] for r in rows))
    return {key: (best.get(key), report.ratio(best[key]["qps"], top["qps"]) if key in best and top else None)
            for key in libs}


def measure_set(ctx, spec, efs, rounds):
    ds = ctx.dataset(spec)
    truth = ctx.truth(spec)
    built, build_seconds = {}, {}
    for key in ctx.graph_keys():
        library = libraries.make(key)
        base = libraries.as_input(key, ds.base)
        start = time.perf_counter()
        library.build(base, BUILD_THREADS)
        build_seconds[key] = time.perf_counter() - start
        built[key] = (library, libraries.as_input(key, ds.queries))
        log(f"frontier: {ds.name} {key} built in {build_seconds[key]:.1f} s")
    rows = []
    for ef in efs:
        calls = {key: (lambda lib=lib, q=q: lib.search(q, ef)) for key, (lib, q) in built.items()}
        rates = best_rates(calls, ds.nq, rounds)
        for key, (qps, found) in rates.items():
            rows.append({"library": key, "ef": ef, "recall": libraries.recall(found, truth), "qps": qps})
        log(f"  ef {ef}: " + ", ".join(f"{k} {r['recall']:.3f} @ {r['qps']:,.0f}" for k, r in
                                      zip(rates, rows[-len(rates):])))
    del built
    settle_memory()
    return {"dataset": report.describe(ds), "rows": rows, "build_seconds": build_seconds}


def run(ctx):
    sizes = ctx.sizes(SIZES)
    return {"sets": [measure_set(ctx, ctx.spec(*s), sizes["efs"], sizes["rounds"]) for s in sizes["sets"]],
            "efs": list(sizes["efs"]), "rounds": sizes["rounds"]}


def render(res) -> str:
    out = [f"Cells are recall@{K} · queries/s (best of {res['rounds']} passes, one thread).", ""]
    for s in res["sets"]:
        libs = list(dict.fromkeys(r["library"] for r in s["rows"]))
        cell = {(r["library"], r["ef"]): r for r in s["rows"]}
        rows = [[ef] + [f"{cell[(k, ef)]['recall']:.4f} · {cell[(k, ef)]['qps']:,.0f}" for k in libs]
                for ef in res["efs"]]
        out += [f"### {report.size_label(s['dataset'])}", "",
                report.table(["ef", *map(libraries.display, libs)], rows), ""]
    out += [f"The fastest ef reaching recall@{K} ≥ {TARGETS[0]} and ≥ {TARGETS[1]}, per library, and its rate "
            "÷ the fastest peer's (hnswlib, faiss or usearch) at the same target. \"not reached\": no ef of the "
            "sweep got there.", ""]
    rows = []
    for s in res["sets"]:
        sums = [summary(s["rows"], t) for t in TARGETS]
        for key in sums[0]:
            cells = []
            for per in sums:
                row, r = per[key]
                cells += [f"{row['qps']:,.0f} (ef {row['ef']})" if row else "not reached", report.times(r)]
            rows.append([report.size_label(s["dataset"]), libraries.display(key), *cells])
    header = ["data set", "library"]
    for t in TARGETS:
        header += [f"q/s at recall ≥ {t}", "÷ fastest peer"]
    out.append(report.table(header, rows, left=2))
    return "\n".join(out)


def plot(res, plt, out_dir):
    sets = res["sets"]
    fig, axes = report.panels(plt, len(sets))
    for ax, s in zip(axes[0], sets):
        for key in dict.fromkeys(r["library"] for r in s["rows"]):
            pts = [r for r in s["rows"] if r["library"] == key]
            ax.plot([p["recall"] for p in pts], [p["qps"] for p in pts], marker="o", label=libraries.display(key),
                    linewidth=2.2 if key in ("pruned", "full") else 1.2)
        ax.set_yscale("log")
        ax.set_xlabel(f"recall@{K}")
        ax.set_ylabel("queries/s (batched, one thread)")
        ax.set_title(report.size_label(s["dataset"]))
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8)
    report.save(plt, fig, out_dir / "recall_vs_qps.png")
    return [("Recall against queries per second, one point per ef", "recall_vs_qps.png")]
