"""Filtered search: recall and speed against selectivity, tessra's two graphs against hnswlib's filter callback and faiss's IDSelector.

On MNIST (9,000 x 784) and clustered 20,000 x 128, 1,000 queries. Every
vector gets random integer tags, one per attribute, with 2, 10, 100, 1,000
and 10,000 values (uniform, fixed seed); each query filters on the value of
one attribute that a random stored vector holds, so at least one vector
matches. One query per call: tessra search_batch of one row with the filter
(the index's own ef_search, 50), hnswlib knn_query with a Python filter
callable, faiss IndexHNSWFlat search with an IDSelectorBitmap, both peers at
the same ef. Recall@10 is against the exact 10 nearest among the matching
vectors (fewer when fewer match). The libraries take turns; the best pass
counts. Beside it, each index's unfiltered queries/s, asked the same way.
The full graph neither returns nor expands a node that fails the filter; the
pruned graph walks through such nodes and never returns them."""

from __future__ import annotations

import time

import numpy as np

import datasets
import libraries
import report
from libraries import K
from measure import best_rates, log, settle_memory

TITLE = "Filtered search"
PLOTS = ("filtered.png",)
VALUES = (2, 10, 100, 1000, 10000)
SIZES = {
    "quick": {"sets": [("images", 2000, 200), ("clustered", 4000, 200)], "rounds": 1},
    "full": {"sets": [("images", 9000, 1000), ("clustered", 20000, 1000)], "rounds": 2},
}
BUILD_THREADS = 2
TAG_SEED = 17


def tags(n: int, nq: int):
    """Per attribute: the stored vectors' tags and the queries' filter values."""
    rng = np.random.default_rng(TAG_SEED)
    out = {}
    for values in VALUES:
        stored = rng.integers(0, values, size=n)
        out[f"t{values}"] = (stored, stored[rng.integers(0, n, size=nq)])
    return out


def measure_set(ctx, spec, rounds):
    ds = ctx.dataset(spec)
    attrs = tags(ds.n, ds.nq)
    schema = list(attrs)
    metadata = [[(a, int(attrs[a][0][i])) for a in schema] for i in range(ds.n)]
    keys = ctx.graph_keys(peers=("hnswlib", "faiss"))
    built = {}
    for key in keys:
        library = libraries.make(key)
        start = time.perf_counter()
        library.build(libraries.as_input(key, ds.base), BUILD_THREADS, schema=schema, metadata=metadata)
        log(f"filtered: {ds.name} {key} built in {time.perf_counter() - start:.1f} s")
        q = libraries.as_input(key, ds.queries)
        built[key] = (library, [q[i : i + 1] for i in range(ds.nq)])
    ef = built["pruned"][0].default_ef
    unfiltered = best_rates({k: lib.one_by_one(rows, ef) for k, (lib, rows) in built.items()}, ds.nq, rounds)
    truth = ctx.truth(spec)
    out = {"dataset": report.describe(ds), "ef": ef, "libraries": keys, "rows": [],
           "unfiltered": {k: {"qps": qps, "recall": libraries.recall(found, truth)}
                          for k, (qps, found) in unfiltered.items()}}
    for attr, (stored, wanted) in attrs.items():
        masks = {}
        for v in np.unique(wanted):
            masks[(attr, int(v))] = stored == v
        query_keys = [(attr, int(v)) for v in wanted]
        query_masks = [masks[key] for key in query_keys]
        exact = datasets.filtered_knn(ds.base, ds.queries, query_masks, K)
        calls = {k: lib.one_by_one(rows, ef, query_keys, masks) for k, (lib, rows) in built.items()}
        rates = best_rates(calls, ds.nq, rounds)
        row = {"values": int(attr[1:]), "share": float(np.mean([m.mean() for m in query_masks])), "libraries": {}}
        for k, (qps, found) in rates.items():
            wrong = sum(int((~m[f[f >= 0]]).sum()) for f, m in zip(map(np.asarray, found), query_masks))
            row["libraries"][k] = {"qps": qps, "recall": libraries.recall(found, exact), "failing_returned": wrong}
        out["rows"].append(row)
        log(f"  {attr}: " + ", ".join(f"{k} {v['recall']:.3f} @ {v['qps']:,.0f}" for k, v in row["libraries"].items()))
    del built
    settle_memory()
    return out


def run(ctx):
    sizes = ctx.sizes(SIZES)
    return {"sets": [measure_set(ctx, ctx.spec(*s), sizes["rounds"]) for s in sizes["sets"]],
            "rounds": sizes["rounds"]}


def render(res) -> str:
    out = [f"Cells are recall@{K} · queries/s, one query per call (best of {res['rounds']} "
           f"pass{'es' if res['rounds'] > 1 else ''}). \"matching\" is the mean share of the vectors that pass "
           "a query's filter.", ""]
    wrong = []
    for s in res["sets"]:
        keys = s["libraries"]
        rows = []
        for r in s["rows"]:
            cells = [f"{r['values']:,}", f"{r['share']:.1%}" if r["share"] >= 0.01 else f"{r['share']:.3%}"]
            for k in keys:
                v = r["libraries"][k]
                cells.append(f"{v['recall']:.4f} · {v['qps']:,.0f}")
                if v["failing_returned"]:
                    wrong.append(f"{libraries.display(k)} returned {v['failing_returned']} vectors failing the filter "
                                 f"on {report.size_label(s['dataset'])} with {r['values']:,} values")
            rows.append(cells)
        rows.append(["no filter", "100%"] + [f"{s['unfiltered'][k]['recall']:.4f} · {s['unfiltered'][k]['qps']:,.0f}"
                                             for k in keys])
        out += [f"### {report.size_label(s['dataset'])} (ef {s['ef']})", "",
                report.table(["tag values", "matching", *map(libraries.display, keys)], rows, left=1), ""]
    if wrong:
        out += ["Vectors returned that fail their filter (there should be none):", "", *(f"- {w}" for w in wrong), ""]
    else:
        out += ["No index returned a vector that fails its filter.", ""]
    return "\n".join(out).rstrip()


def plot(res, plt, out_dir):
    sets = res["sets"]
    fig, axes = report.panels(plt, len(sets), rows=2, height=3.8)
    for col, s in enumerate(sets):
        shares = [r["share"] for r in s["rows"]]
        for k in s["libraries"]:
            for row, field in enumerate(("recall", "qps")):
                axes[row][col].plot(shares, [r["libraries"][k][field] for r in s["rows"]], marker="o",
                                    label=libraries.display(k))
        for row, label in enumerate((f"recall@{K}", "queries/s (one per call)")):
            ax = axes[row][col]
            ax.set_xscale("log")
            if row == 1:
                ax.set_yscale("log")
            ax.set_xlabel("share of vectors matching the filter")
            ax.set_ylabel(label)
            ax.grid(True, which="both", alpha=0.3)
        axes[0][col].set_title(f"Filtered search, {report.size_label(s['dataset'])}")
        axes[0][col].legend(fontsize=8)
    report.save(plt, fig, out_dir / "filtered.png")
    return [("Filtered search: recall and queries per second against the share of vectors matching", "filtered.png")]
