"""Exact search: PyFlat against numpy float64 brute force and faiss IndexFlatL2.

k = 10 on MNIST (9,000 x 784, 1,000 queries) and clustered 50,000 x 128
(1,000 queries). Three ways of asking:
  - one query per call: PyFlat.search with a 1-d float64 array; numpy's
    |x|² − 2 x·q over the stored vectors, then argpartition; faiss
    IndexFlatL2.search of one float32 row;
  - batched on one thread: PyFlat.search_batch(threads=1); numpy's
    |x|² − 2 Q·Xᵀ in blocks of 256 queries through its BLAS on one thread;
    faiss on one OpenMP thread;
  - batched on two threads: the same with threads=2 (numpy only when
    threadpoolctl can raise its BLAS threads).
The three libraries take turns pass by pass (best pass counts), so their ratios
come from the same load. Checks beside the rates: recall@10 against exact
float64 search (numpy's expanded form and faiss's float32 can miss ties and
near-ties), and search_batch rows equal to search's, ids and distance bits.
Bytes read per query: a fresh interpreter counts what the sketch bounds let
PyFlat skip (TESSRA_SKETCH_COUNT), which bounds the vector bytes read."""

from __future__ import annotations

import numpy as np

import libraries
import report
from libraries import K
from measure import best_rates, log

TITLE = "Exact search"
PLOTS = ("flat_qps.png",)
SIZES = {
    "quick": {"sets": [("images", 2000, 200), ("clustered", 5000, 200)], "rounds": 2},
    "full": {"sets": [("images", 9000, 1000), ("clustered", 50000, 1000)], "rounds": 3},
}
NUMPY_BLOCK = 256  # queries per BLAS call: a matrix product, and a block that stays in cache


def numpy_one(base, norms):
    def search(q):
        d = norms - 2.0 * (base @ q)
        part = np.argpartition(d, K - 1)[:K]
        return part[np.argsort(d[part], kind="stable")]

    return search


def numpy_batched(base, norms, queries):
    out = np.empty((queries.shape[0], K), dtype=np.int64)
    for start in range(0, queries.shape[0], NUMPY_BLOCK):
        d = norms[None, :] - 2.0 * (queries[start : start + NUMPY_BLOCK] @ base.T)
        part = np.argpartition(d, K - 1, axis=1)[:, :K]
        order = np.argsort(np.take_along_axis(d, part, axis=1), axis=1, kind="stable")
        out[start : start + len(d)] = np.take_along_axis(part, order, axis=1)
    return out


def blas_threads():
    """A context manager setting numpy's BLAS threads, or None without threadpoolctl."""
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:
        return None
    return lambda n: threadpool_limits(limits=n, user_api="blas")


def rows_equal(batch, singles) -> int:
    """Rows of search_batch equal to search's (id, distance) lists, distance bits included."""
    ids, distances = batch
    same = 0
    for row, found in enumerate(singles):
        n = len(found)
        same += bool([int(i) for i in ids[row, :n]] == [i for i, _ in found]
                     and np.array_equal(distances[row, :n], np.array([d for _, d in found]), equal_nan=True)
                     and (ids[row, n:] == -1).all())
    return same


def skipped_child(spec):
    """In a fresh interpreter with TESSRA_SKETCH_COUNT set: what PyFlat's bounds
    skipped over one search per query."""
    import datasets
    import tessra

    ds = datasets.load(spec)
    flat = tessra.PyFlat(ds.dim)
    flat.add(ds.base)
    before = tessra._sketch_stats()
    for q in ds.queries:
        flat.search(q, K)
    after = tessra._sketch_stats()
    return {"tested": after[0] - before[0], "skipped": after[1] - before[1], "violations": after[2] - before[2]}


def measure_set(ctx, spec, rounds):
    ds = ctx.dataset(spec)
    truth = ctx.truth(spec)
    log(f"exact: {ds.name} {ds.n} x {ds.dim}, {ds.nq} queries")
    flat = ctx.tessra.PyFlat(ds.dim)
    flat.add(ds.base)
    norms = np.einsum("ij,ij->i", ds.base, ds.base)
    one = numpy_one(ds.base, norms)
    single = {"PyFlat": lambda: [flat.search(q, K) for q in ds.queries],
              "numpy": lambda: [one(q) for q in ds.queries]}
    batched = {("PyFlat", t): (lambda t=t: flat.search_batch(ds.queries, K, threads=t)) for t in (1, 2)}
    batched[("numpy", 1)] = lambda: numpy_batched(ds.base, norms, ds.queries)
    limit = blas_threads()
    if limit is not None:
        def numpy_two():
            with limit(2):
                return numpy_batched(ds.base, norms, ds.queries)
        batched[("numpy", 2)] = numpy_two
    if ctx.have("faiss"):
        import faiss

        index = faiss.IndexFlatL2(ds.dim)
        index.add(libraries.as_input("faiss", ds.base))
        q32 = libraries.as_input("faiss", ds.queries)
        rows32 = [q32[i : i + 1] for i in range(ds.nq)]
        faiss.omp_set_num_threads(1)
        single["faiss"] = lambda: [index.search(r, K)[1][0] for r in rows32]

        def faiss_batch(t):
            faiss.omp_set_num_threads(t)
            try:
                return index.search(q32, K)[1]
            finally:
                faiss.omp_set_num_threads(1)

        for t in (1, 2):
            batched[("faiss", t)] = lambda t=t: faiss_batch(t)
    one_rates = best_rates(single, ds.nq, rounds)
    batch_rates = best_rates(batched, ds.nq, rounds)
    as_ids = {"PyFlat": lambda r: [[i for i, _ in row] for row in r]}
    out = {"dataset": report.describe(ds), "single": {}, "batched": []}
    for name, (qps, result) in one_rates.items():
        found = as_ids.get(name, lambda r: r)(result)
        out["single"][name] = {"qps": qps, "recall": libraries.recall(found, truth)}
    singles = one_rates["PyFlat"][1]
    for (name, threads), (qps, result) in batch_rates.items():
        row = {"library": name, "threads": threads, "qps": qps}
        if name == "PyFlat":
            row["rows_equal_search"] = rows_equal(result, singles)
            result = result[0]
        row["recall"] = libraries.recall(result, truth)
        out["batched"].append(row)
    try:
        out["skipped"] = ctx.child("parts.exact:skipped_child", env={"TESSRA_SKETCH_COUNT": "1"}, spec=spec)
    except RuntimeError as exc:  # a build without the counting mode
        ctx.note(f"Exact search: the skipped share was not counted ({str(exc).splitlines()[-1]}).")
    log("  " + ", ".join(f"{n} {v['qps']:,.0f} q/s" for n, v in out["single"].items()))
    return out


def run(ctx):
    sizes = ctx.sizes(SIZES)
    if not ctx.have("faiss"):
        ctx.note("Exact search: faiss is not installed, so IndexFlatL2 is left out.")
    return {"sets": [measure_set(ctx, ctx.spec(kind, n, nq), sizes["rounds"]) for kind, n, nq in sizes["sets"]],
            "rounds": sizes["rounds"], "numpy_threads_2": blas_threads() is not None}


NAMES = {"PyFlat": "PyFlat", "numpy": "numpy float64", "faiss": "faiss IndexFlatL2 (float32)"}


def render(res) -> str:
    out = [f"Queries/s, best of {res['rounds']} passes.", ""]
    rows = []
    for s in res["sets"]:
        batched = {(r["library"], r["threads"]): r for r in s["batched"]}
        label = report.size_label(s["dataset"])
        ways = [("one query per call", {n: v["qps"] for n, v in s["single"].items()})]
        for t in (1, 2):
            ways.append((f"batched, {t} thread{'s' if t > 1 else ''}",
                         {n: r["qps"] for (n, th), r in batched.items() if th == t}))
        for way, rates in ways:
            flat = rates.get("PyFlat")
            rows.append([label, way, report.fmt(flat), report.fmt(rates.get("numpy")), report.fmt(rates.get("faiss")),
                         report.times(report.ratio(flat, rates.get("numpy"))),
                         report.times(report.ratio(flat, rates.get("faiss")))])
    out.append(report.table(["data set", "how", "PyFlat q/s", "numpy q/s", "faiss q/s", "PyFlat ÷ numpy",
                             "PyFlat ÷ faiss"], rows, left=2))
    if not res["numpy_threads_2"]:
        out += ["", "numpy's batched row on two threads is left out: its BLAS thread count is fixed at one "
                "(install threadpoolctl to let the benchmark raise it)."]
    out += ["", "Recall@10 against exact float64 search, and `search_batch` rows equal to `search`'s "
            "(ids and distance bits):", ""]
    rows = []
    for s in res["sets"]:
        eq = [f"{r['rows_equal_search']}/{s['dataset']['nq']}" for r in s["batched"] if "rows_equal_search" in r]
        rows.append([report.size_label(s["dataset"])]
                    + [report.fmt(s["single"].get(n, {}).get("recall"), ".4f") for n in NAMES]
                    + [" and ".join(eq)])
    out.append(report.table(["data set", *(f"recall {n}" for n in NAMES), "rows equal (1 / 2 threads)"], rows))
    rows = []
    for s in res["sets"]:
        c, ds = s.get("skipped"), s["dataset"]
        if not c or not c["tested"]:
            continue
        share = c["skipped"] / c["tested"]
        taken = ds["n"] - c["skipped"] / ds["nq"]  # every vector not skipped has its distance taken
        rows.append([report.size_label(ds), f"{share:.1%}", report.fmt(taken), f"{taken * ds['dim'] * 8 / 1e6:.2f} MB",
                     f"{ds['n'] * ds['dim'] * 8 / 1e6:.2f} MB"])
    if rows:
        out += ["", "What one `PyFlat.search` reads: the sketch bounds prove most stored vectors out without "
                "reading them; the distance of every other vector is taken (and stops early once it passes the "
                "k-th best, so the bytes are an upper bound). Every vector's bound data (a few to a few dozen "
                "bytes) is read as well.", ""]
        out.append(report.table(["data set", "skipped unread", "distances taken a query",
                                 "vector bytes read a query (at most)", "a full scan reads"], rows))
    return "\n".join(out)


def plot(res, plt, out_dir):
    sets = res["sets"]
    fig, axes = report.panels(plt, len(sets))
    for ax, s in zip(axes[0], sets):
        labels, values, colours = [], [], []
        for name, v in s["single"].items():
            labels.append(f"{name}\none/call")
            values.append(v["qps"])
            colours.append("C0" if name == "PyFlat" else "C1" if name == "numpy" else "C2")
        for r in s["batched"]:
            labels.append(f"{r['library']}\nbatch {r['threads']}t")
            values.append(r["qps"])
            colours.append("C0" if r["library"] == "PyFlat" else "C1" if r["library"] == "numpy" else "C2")
        ax.bar(range(len(values)), values, color=colours)
        ax.set_xticks(range(len(values)))
        ax.set_xticklabels(labels, fontsize=7)
        ax.set_yscale("log")
        ax.set_ylabel(f"queries/s (k={K})")
        ax.set_title(f"Exact search, {report.size_label(s['dataset'])}")
        ax.grid(True, axis="y", which="both", alpha=0.3)
    report.save(plt, fig, out_dir / "flat_qps.png")
    return [("Exact search: queries per second, one query per call and batched", "flat_qps.png")]
