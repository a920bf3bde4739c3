#!/usr/bin/env python3
"""Benchmark tessra's PyFlat and PyHNSW against numpy, hnswlib and faiss.

    python bench/run.py [--mnist PATH] [--quick] [--out DIR] [--parts LIST]

Data sets: the MNIST test images when --mnist names the IDX file (gzip or
plain; 10,000 x 784: first 9,000 rows are the base, last 1,000 the queries),
and a generated clustered set (50,000 x 128, 100 Gaussian clusters, fixed seed,
1,000 queries). --quick shrinks everything (2,000 base vectors, 200 queries)
so the whole run takes well under a minute.

Measured per index and data set: build time, queries/s for k=10 with one query
per call (query as a Python list and as a numpy array), recall@10 against exact
float64 search, and bytes per stored vector (process RSS growth over the build,
divided by n: C++ allocations are invisible to tracemalloc), and save/load
speed of every index that can be written to a file (through tmpfs, i.e. the
page cache, and to the report directory's disk; tessra also by pickle). Also: PyFlat scan
bandwidth beside a single-thread stream bandwidth, per-call overhead on a
1-vector index, a PyHNSW ef_search sweep and build time against size (to
50,000 vectors, with its growth exponent). PyFlat and PyHNSW are also built
without their sketch bounds, as the baseline, and the share of distances the
bounds skipped is reported.

Peers (hnswlib, faiss, matplotlib) are imported lazily and skipped with a note
when missing. Every index runs single-threaded, except in the batch tables
(bench/batch.py: whole query sets per call on one and two threads;
--batch-only runs just those and the per-query rates they compare with). The report goes to
DIR/report.md (default bench/out/), raw numbers to DIR/results.json and plots
to DIR/*.png when matplotlib is installed. Progress goes to stderr."""

from __future__ import annotations

import os

# One thread for every peer, as tessra is single-threaded. Must precede the
# numpy/faiss imports, which size their thread pools when first loaded.
for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")
# tessra counts the distances its sketch bounds skip (once per batch of
# candidates, not per distance) and exposes the counts to this script.
os.environ.setdefault("TESSRA_SKETCH_COUNT", "1")

import argparse
import json
import math
import platform
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
K = 10
EF_SWEEP = (10, 20, 50, 100, 200)

SIZES = {
    "quick": dict(
        clustered_n=2000, clustered_nq=200, overhead_calls=2000,
        sweep_n=500, sweep_nq=100, scaling=(250, 500, 1000), create_sizes=(500, 1000, 2000),
    ),
    "full": dict(
        clustered_n=50000, clustered_nq=1000, overhead_calls=20000,
        sweep_n=5000, sweep_nq=500, scaling=(1000, 2000, 4000, 8000, 16000, 32000, 50000),
        create_sizes=(2000, 4000, 8000),
    ),
}

try:
    import numpy as np
except ImportError:
    print("bench/run.py needs numpy (pip install numpy)", file=sys.stderr)
    sys.exit(2)

sys.path.insert(0, str(HERE))
import batch  # noqa: E402
import datasets  # noqa: E402
import indexes  # noqa: E402
from measure import (  # noqa: E402
    Progress, log, per_call_seconds, rss_bytes, settle_memory, stream_bandwidth, time_queries,
)


def import_tessra():
    try:
        import tessra
        return tessra
    except ImportError:
        pass
    dev = REPO / "build" / "dev"
    sys.path.insert(0, str(dev))
    try:
        import tessra
        log(f"note: imported tessra from {dev}")
        return tessra
    except ImportError as exc:
        log(f"cannot import tessra ({exc}); build it with dev/build.sh or put it on PYTHONPATH")
        sys.exit(2)


class Bench:
    def __init__(self, args):
        self.args = args
        self.mode = "quick" if args.quick else "full"
        self.cfg = SIZES[self.mode]
        self.notes: list[str] = []
        self.results: dict = {"mode": self.mode, "k": K}
        self.tessra = import_tessra()
        self.hnswlib, why = indexes.try_import("hnswlib")
        if why:
            self.notes.append(f"hnswlib skipped: {why}")
        self.faiss, why = indexes.try_import("faiss")
        if why:
            self.notes.append(f"faiss skipped: {why}")
        elif not hasattr(self.faiss, "IndexHNSWFlat"):
            self.notes.append("faiss IndexHNSWFlat not available in this faiss build; skipped")
        if self.faiss is not None and hasattr(self.faiss, "omp_set_num_threads"):
            self.faiss.omp_set_num_threads(1)
        self.has_flat = hasattr(self.tessra, "PyFlat")
        self.has_hnsw = hasattr(self.tessra, "PyHNSW")
        for cls, ok in (("PyFlat", self.has_flat), ("PyHNSW", self.has_hnsw)):
            if not ok:
                self.notes.append(f"tessra.{cls} is not present in this build; skipped")
        for note in self.notes:
            log("note: " + note)

    # -- index factories ---------------------------------------------------
    def factories(self, approx_ef: int = indexes.HNSW_EF_SEARCH, only=None):
        if only is None and self.args.batch_only:
            only = ("numpy", "PyFlat", "PyHNSW", "hnswlib")
        out = [("numpy", lambda d: indexes.NumpyBrute(d))]
        baseline = hasattr(self.tessra, "_sketch_fit_from")
        if self.has_flat:
            out.append(("PyFlat", lambda d: indexes.TessraFlat(self.tessra, d)))
            if baseline:
                out.append(("PyFlat0", lambda d: indexes.TessraFlat(self.tessra, d, sketches=False)))
        if self.faiss is not None:
            out.append(("faiss-flat", lambda d: indexes.FaissFlat(self.faiss, d)))
        if self.has_hnsw:
            out.append(("PyHNSW", lambda d: indexes.TessraHNSW(self.tessra, d, approx_ef)))
            if baseline:
                out.append(("PyHNSW0", lambda d: indexes.TessraHNSW(self.tessra, d, approx_ef, sketches=False)))
        if self.hnswlib is not None:
            out.append(("hnswlib", lambda d: indexes.Hnswlib(self.hnswlib, d, approx_ef)))
        if self.faiss is not None and hasattr(self.faiss, "IndexHNSWFlat"):
            out.append(("faiss-hnsw", lambda d: indexes.FaissHNSW(self.faiss, d, approx_ef)))
        if only is not None:
            out = [f for f in out if f[0] in only]
        return out

    # -- building ------------------------------------------------------------
    def build(self, adapter, base, label: str):
        """Build an index; return (seconds, bytes per vector estimate)."""
        adapter.prepare(base)
        before = settle_memory()
        t0 = time.perf_counter()
        adapter.build()
        seconds = time.perf_counter() - t0
        after = settle_memory()
        adapter.release_input()
        log(f"  {label}: built in {seconds:.2f}s")
        return seconds, (after - before) / base.shape[0]

    # -- environment -----------------------------------------------------------
    def environment(self):
        cpu = platform.processor() or platform.machine()
        try:
            with open("/proc/cpuinfo") as f:
                for line in f:
                    if line.startswith("model name"):
                        cpu = line.split(":", 1)[1].strip()
                        break
        except OSError:
            pass
        env = {
            "python": platform.python_version(),
            "numpy": np.__version__,
            "cpu": cpu,
            "cores": os.cpu_count(),
            "tessra": getattr(self.tessra, "__file__", "?"),
            "hnswlib": getattr(self.hnswlib, "__version__", "installed") if self.hnswlib else "missing",
            "faiss": getattr(self.faiss, "__version__", "installed") if self.faiss else "missing",
            "threads": {v: os.environ.get(v) for v in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS")},
            "openblas_coretype": os.environ.get("OPENBLAS_CORETYPE"),
            "load_start": os.getloadavg() if hasattr(os, "getloadavg") else None,
        }
        self.results["environment"] = env

    # -- per-call overhead ---------------------------------------------------
    def overhead(self):
        dim, calls = 128, self.cfg["overhead_calls"]
        log(f"per-call overhead: 1-vector index, {dim}-d query, k=1, {calls} calls x 3")
        rng = np.random.default_rng(7)
        base = rng.normal(size=(1, dim))
        q_np = rng.normal(size=dim)
        q_list = q_np.tolist()
        rows = []
        for key, make in self.factories():
            adapter = make(dim)
            adapter.prepare(base)
            adapter.build()
            adapter.release_input()
            t_list = per_call_seconds(lambda: adapter.search_list(q_list, 1), calls)
            t_np = per_call_seconds(lambda: adapter.search_numpy(q_np, 1), calls)
            rows.append({"index": adapter.name, "list_us": t_list * 1e6, "numpy_us": t_np * 1e6})
            log(f"  {adapter.name}: list {t_list * 1e6:.2f} us, numpy {t_np * 1e6:.2f} us")
        self.results["overhead"] = rows

    # -- bulk input: list of lists against a numpy array ----------------------
    def create_input(self):
        if not self.has_flat:
            return
        sizes = self.cfg["create_sizes"]
        log(f"PyFlat.create input: list of lists against a 2-d numpy array, 128-d, n in {list(sizes)}")
        rows = []
        for n in sizes:
            base = datasets.clustered(n, 1).base
            entry = {"n": n}
            for field, as_list in (("list_s", True), ("numpy_s", False)):
                adapter = indexes.TessraFlat(self.tessra, base.shape[1], list_input=as_list)
                adapter.prepare(base)
                t0 = time.perf_counter()
                adapter.build()
                entry[field] = time.perf_counter() - t0
                del adapter
            log(f"  n={n}: list {entry['list_s']:.3f}s, numpy {entry['numpy_s']:.3f}s")
            rows.append(entry)
        self.results["create_input"] = rows
        if len(rows) >= 2 and rows[0]["list_s"] > 0:
            growth = math.log(rows[-1]["list_s"] / rows[0]["list_s"]) / math.log(rows[-1]["n"] / rows[0]["n"])
            if growth > 1.5:
                self.notes.append(
                    f"PyFlat.create from a list of lists grows like n^{growth:.1f} "
                    f"({rows[0]['n']} to {rows[-1]['n']} vectors): the conversion is not linear"
                )

    # -- build time against size ---------------------------------------------
    def scaling(self):
        sizes = self.cfg["scaling"]
        only = ("PyHNSW", "hnswlib", "faiss-hnsw")
        facts = self.factories(only=only)
        if not facts:
            return
        log(f"build time against size: clustered 128-d, n in {list(sizes)}")
        series: dict[str, list] = {}
        for n in sizes:
            ds = datasets.clustered(n, 1)
            for key, make in facts:
                adapter = make(ds.dim)
                secs, _ = self.build(adapter, ds.base, f"{adapter.name} n={n}")
                series.setdefault(adapter.name, []).append([n, secs])
                del adapter
                settle_memory()
        self.results["scaling"] = series
        pts = series.get("tessra PyHNSW")
        if pts and len(pts) >= 2 and pts[-2][1] > 0 and pts[-1][1] > 0:
            (n1, t1), (n2, t2) = pts[-2], pts[-1]
            self.growth = math.log(t2 / t1) / math.log(n2 / n1)
            log(f"  PyHNSW build time grows like n^{self.growth:.2f} between n={n1} and n={n2}")
        self.results["scaling_exponents"] = {
            name: growth_exponent(pts) for name, pts in series.items() if growth_exponent(pts) is not None}

    def estimate_build(self, n: int, dim: int) -> str:
        pts = self.results.get("scaling", {}).get("tessra PyHNSW")
        if dim != 128:  # the size series is 128-d; other dimensions cost differently
            return ""
        growth = getattr(self, "growth", None)
        if not pts or growth is None:
            return ""
        n2, t2 = pts[-1]
        if n <= n2:
            return ""
        est = t2 * (n / n2) ** max(growth, 1.0)
        return f" (extrapolated from the size series: about {est / 60:.1f} min)"

    # -- one data set ----------------------------------------------------------
    def run_dataset(self, ds: datasets.Dataset):
        log(f"data set {ds.name}: {ds.n} x {ds.dim} base, {ds.nq} queries ({ds.note})")
        t0 = time.perf_counter()
        gt_ids, gt_d = datasets.exact_knn(ds.base, ds.queries, K)
        log(f"  exact ground truth in {time.perf_counter() - t0:.1f}s")
        q_lists = ds.queries.tolist()
        q_rows = list(ds.queries)
        rows = []
        for key, make in self.factories():
            adapter = make(ds.dim)
            if key == "PyHNSW":
                log(
                    f"  building PyHNSW with one create() call (layers 5, ef_construction 200, "
                    f"ef_search 50): its graph links every node each layer search finds, without "
                    f"pruning, so this build is far slower than the others"
                    + self.estimate_build(ds.n, ds.dim)
                )
            before = self.sketch_stats()
            secs, per_vec = self.build(adapter, ds.base, adapter.name)
            built = self.sketch_stats()
            qps_list, res_list = time_queries(lambda q: adapter.search_list(q, K), q_lists, f"{adapter.name} list")
            qps_np, res_np = time_queries(lambda q: adapter.search_numpy(q, K), q_rows, f"{adapter.name} numpy")
            searched = self.sketch_stats()
            rec, err, short = self.recall(adapter, res_list, ds, gt_d)
            rec_np, _, _ = self.recall(adapter, res_np, ds, gt_d)
            row = {
                "dataset": ds.name, "index": adapter.name, "key": key, "n": ds.n, "dim": ds.dim,
                "build_s": secs, "qps_list": qps_list, "qps_numpy": qps_np,
                "recall": rec, "recall_numpy": rec_np, "bytes_per_vector": per_vec,
                "distance_rel_err": err, "short_results": short,
            }
            if before is not None and key in ("PyFlat", "PyHNSW"):
                row["skip_build"] = skipped_share(before, built)
                row["skip_search"] = skipped_share(built, searched)
            if abs(rec - rec_np) > 1e-12 and adapter.exact:
                self.notes.append(f"{adapter.name} on {ds.name}: list and numpy queries gave different answers")
            if key == "PyFlat":
                best = max(qps_list, qps_np)
                row["scan_gbps"] = ds.n * ds.dim * 8 * best / 1e9
            if err is not None and err > 1e-9:
                self.notes.append(
                    f"{adapter.name} on {ds.name}: reported distances differ from exact float64 "
                    f"euclidean distances of the returned vectors by up to {err:.2e} (relative)"
                )
            if short:
                self.notes.append(f"{adapter.name} on {ds.name}: {short} of {ds.nq} queries returned fewer than {K} results")
            if adapter.exact and rec < 0.999:
                self.notes.append(f"{adapter.name} on {ds.name}: exact index has recall@{K} {rec:.4f}")
            log(f"  {adapter.name}: {qps_list:.0f} q/s list, {qps_np:.0f} q/s numpy, recall@{K} {rec:.4f}")
            rows.append(row)
            self.persistence(adapter, ds, q_lists[0])
            batch.measure(key, adapter, ds, K, res_np, qps_np, self.results.setdefault("batch", []))
            del adapter, res_list, res_np
            settle_memory()
        stream = stream_bandwidth(ds.n * ds.dim * 8)
        self.results.setdefault("datasets", []).append(
            {"name": ds.name, "n": ds.n, "dim": ds.dim, "nq": ds.nq, "note": ds.note, "stream_gbps": stream / 1e9}
        )
        self.results.setdefault("rows", []).extend(rows)

    def sketch_stats(self):
        stats = getattr(self.tessra, "_sketch_stats", None)
        return stats() if stats is not None else None

    # -- save and load -----------------------------------------------------------
    def persistence(self, adapter, ds, query):
        """Save and load through the page cache (tmpfs when there is one) and to
        the report directory's disk; for tessra also pickle. Best of 3 each."""
        if not hasattr(adapter, "save"):
            return
        places = [("tmpfs", Path("/dev/shm"))] if Path("/dev/shm").is_dir() else []
        places.append(("disk", Path(self.args.out)))
        expected = adapter.search_list(query, K)
        for where, folder in places:
            folder.mkdir(parents=True, exist_ok=True)
            path = folder / f"tessra-bench-{os.getpid()}.idx"
            try:
                save_s = load_s = math.inf
                for _ in range(3):
                    t0 = time.perf_counter()
                    adapter.save(str(path))
                    save_s = min(save_s, time.perf_counter() - t0)
                    t0 = time.perf_counter()
                    loaded = adapter.load(str(path))
                    load_s = min(load_s, time.perf_counter() - t0)
                    same = repr(loaded.search_list(query, K)) == repr(expected)
                    del loaded
                size = path.stat().st_size
            finally:
                path.unlink(missing_ok=True)
            row = {"dataset": ds.name, "index": adapter.name, "where": where, "bytes": size,
                   "save_s": save_s, "load_s": load_s, "same_results": same}
            if where == "tmpfs" and adapter.name.startswith("tessra"):
                import pickle
                dump_s = undump_s = math.inf
                for _ in range(3):
                    t0 = time.perf_counter()
                    data = pickle.dumps(adapter.index, protocol=pickle.HIGHEST_PROTOCOL)
                    dump_s = min(dump_s, time.perf_counter() - t0)
                    t0 = time.perf_counter()
                    pickle.loads(data)
                    undump_s = min(undump_s, time.perf_counter() - t0)
                    del data
                row.update(pickle_s=dump_s, unpickle_s=undump_s)
            if not same:
                self.notes.append(f"{adapter.name} on {ds.name}: a loaded index answered differently")
            log(f"  {adapter.name} ({where}): {size / 1e6:.1f} MB, save {size / save_s / 1e9:.2f} GB/s, "
                f"load {size / load_s / 1e9:.2f} GB/s")
            self.results.setdefault("persistence", []).append(row)
        settle_memory()

    @staticmethod
    def recall(adapter, results, ds, gt_d):
        """recall@K with ties: a returned vector counts when its exact distance is
        within the K-th exact distance. Returns (recall, max relative error of the
        reported distances or None, queries with fewer than K results)."""
        hits, err, short = 0, None, 0
        for i, raw in enumerate(results):
            vecs, reported = adapter.returned(raw, ds.base)
            vecs = vecs[:K]
            if len(vecs) < K:
                short += 1
            if len(vecs) == 0:
                continue
            d = np.sqrt(((vecs - ds.queries[i]) ** 2).sum(axis=1))
            thr = gt_d[i, K - 1]
            hits += int(np.count_nonzero(d <= thr + 1e-9 * max(thr, 1.0)))
            if reported is not None:
                rel = np.abs(reported[: len(d)] - d) / np.maximum(d, 1e-12)
                err = max(err or 0.0, float(rel.max()))
        return hits / (len(results) * K), err, short

    # -- ef_search sweep -------------------------------------------------------
    def ef_sweep(self):
        only = ("PyHNSW", "hnswlib", "faiss-hnsw")
        if not self.factories(only=only):
            return
        n, nq = self.cfg["sweep_n"], self.cfg["sweep_nq"]
        ds = datasets.clustered(n, nq)
        log(
            f"ef_search sweep {list(EF_SWEEP)} on {ds.n} x {ds.dim} clustered: PyHNSW fixes ef_search "
            f"at construction, so it is rebuilt once per value"
        )
        _, gt_d = datasets.exact_knn(ds.base, ds.queries, K)
        rows_np = list(ds.queries)
        curves: dict[str, list] = {}
        for key, make in self.factories(only=only):
            if key == "PyHNSW":
                for ef in EF_SWEEP:
                    adapter = make(ds.dim)
                    adapter.ef_search = ef
                    secs, _ = self.build(adapter, ds.base, f"{adapter.name} ef_search={ef}")
                    qps, res = time_queries(lambda q: adapter.search_numpy(q, K), rows_np, f"PyHNSW ef={ef}")
                    rec = self.recall(adapter, res, ds, gt_d)[0]
                    curves.setdefault(adapter.name, []).append({"ef": ef, "qps": qps, "recall": rec, "build_s": secs})
                    del adapter
                    settle_memory()
            else:
                adapter = make(ds.dim)
                self.build(adapter, ds.base, adapter.name)
                for ef in EF_SWEEP:
                    adapter.set_ef(ef)
                    qps, res = time_queries(lambda q: adapter.search_numpy(q, K), rows_np, f"{adapter.name} ef={ef}")
                    rec = self.recall(adapter, res, ds, gt_d)[0]
                    curves.setdefault(adapter.name, []).append({"ef": ef, "qps": qps, "recall": rec})
                del adapter
                settle_memory()
        self.results["ef_sweep"] = {"n": ds.n, "nq": ds.nq, "dim": ds.dim, "curves": curves}

    # -- run -----------------------------------------------------------------
    def run(self):
        started = time.perf_counter()
        self.environment()
        parts = set((self.args.parts or "overhead,create,scaling,datasets,sweep").split(","))
        if self.args.batch_only:
            parts = {"datasets"}
        if "overhead" in parts:
            self.overhead()
        if "create" in parts:
            self.create_input()
        if "scaling" in parts:
            self.scaling()
        sets = []
        if self.args.mnist:
            sets.append(lambda: datasets.load_mnist(self.args.mnist, self.args.quick))
        else:
            self.notes.append("MNIST skipped: no --mnist PATH given")
        sets.append(lambda: datasets.clustered(self.cfg["clustered_n"], self.cfg["clustered_nq"]))
        if "datasets" in parts:
            for load in sets:
                self.run_dataset(load())
        if "sweep" in parts:
            self.ef_sweep()
        self.results["total_s"] = time.perf_counter() - started
        if hasattr(os, "getloadavg"):
            self.results["environment"]["load_end"] = os.getloadavg()
        self.results["notes"] = self.notes
        out = Path(self.args.out)
        out.mkdir(parents=True, exist_ok=True)
        plots = make_plots(self.results, out)
        (out / "results.json").write_text(json.dumps(self.results, indent=2))
        report = render_report(self.results, plots)
        (out / "report.md").write_text(report)
        print(render_tables(self.results))
        log(f"report: {out / 'report.md'} ({self.results['total_s']:.0f}s in total)")


# -- report --------------------------------------------------------------------

def growth_exponent(pts):
    """Least-squares slope of log(time) against log(n) over the points with n >= 2000."""
    pts = [(n, t) for n, t in pts if n >= 2000 and t > 0]
    if len(pts) < 2:
        return None
    xs = [math.log(n) for n, _ in pts]
    ys = [math.log(t) for _, t in pts]
    mx, my = sum(xs) / len(xs), sum(ys) / len(ys)
    den = sum((x - mx) ** 2 for x in xs)
    return sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / den if den else None


def skipped_share(start, end):
    """(share of candidate distances the sketch bounds skipped, candidates tested) between two counts."""
    tested, skipped = end[0] - start[0], end[1] - start[1]
    return [skipped / tested if tested else None, tested]


def fmt(x, spec=".0f", missing="–"):
    if x is None or (isinstance(x, float) and math.isnan(x)):
        return missing
    return format(x, spec)


def ratio(a, b):
    if a is None or b is None or b == 0:
        return None
    return a / b


def by(rows, dataset, key):
    for r in rows:
        if r["dataset"] == dataset and r["key"] == key:
            return r
    return None


def render_tables(res) -> str:
    rows = res.get("rows", [])
    lines = [
        f"### Indexes (k={res['k']}, one query per call, single thread)",
        "",
        "| data set | index | build s | q/s list | q/s numpy | recall@10 | bytes/vector |",
        "|---|---|---:|---:|---:|---:|---:|",
    ]
    for r in rows:
        lines.append(
            f"| {r['dataset']} ({r['n']}x{r['dim']}) | {r['index']} | {fmt(r['build_s'], '.3f')} | "
            f"{fmt(r['qps_list'])} | {fmt(r['qps_numpy'])} | {fmt(r['recall'], '.4f')} | "
            f"{fmt(r['bytes_per_vector'])} |"
        )
    lines += [
        "",
        "### Ratios",
        "",
        "| data set | PyFlat q/s ÷ numpy q/s (list / numpy) | PyHNSW build ÷ hnswlib build | "
        "PyHNSW q/s ÷ hnswlib q/s (list / numpy) |",
        "|---|---:|---:|---:|",
    ]
    for ds in res.get("datasets", []):
        name = ds["name"]
        flat, npy = by(rows, name, "PyFlat"), by(rows, name, "numpy")
        hn, hl = by(rows, name, "PyHNSW"), by(rows, name, "hnswlib")
        f_l = ratio(flat and flat["qps_list"], npy and npy["qps_list"])
        f_n = ratio(flat and flat["qps_numpy"], npy and npy["qps_numpy"])
        b = ratio(hn and hn["build_s"], hl and hl["build_s"])
        h_l = ratio(hn and hn["qps_list"], hl and hl["qps_list"])
        h_n = ratio(hn and hn["qps_numpy"], hl and hl["qps_numpy"])
        lines.append(
            f"| {name} | {fmt(f_l, '.2f')} / {fmt(f_n, '.2f')} | {fmt(b, '.1f')} | "
            f"{fmt(h_l, '.3f')} / {fmt(h_n, '.3f')} |"
        )
    skip_rows = [r for r in rows if "skip_search" in r]
    if skip_rows:
        lines += [
            "",
            "### Distances skipped by the sketch bounds",
            "",
            "Share of the candidates tested against a full threshold whose exact distance a sketch bound "
            "proved unnecessary (the rest were computed, with early abandonment), and how many were tested.",
            "",
            "| data set | index | build: skipped (tested) | search: skipped (tested) |",
            "|---|---|---:|---:|",
        ]
        for r in skip_rows:
            b, q = r.get("skip_build") or [None, 0], r["skip_search"]
            lines.append(
                f"| {r['dataset']} | {r['index']} | {fmt(b[0], '.1%')} ({b[1]:,}) | {fmt(q[0], '.1%')} ({q[1]:,}) |"
            )
    if any(r["key"] in ("PyFlat0", "PyHNSW0") for r in rows):
        lines += [
            "",
            "### Sketch bounds on against off (same run)",
            "",
            "| data set | PyFlat q/s ÷ without (numpy query) | PyFlat ÷ faiss flat q/s | PyHNSW q/s ÷ without "
            "(numpy query) | PyHNSW build without ÷ with |",
            "|---|---:|---:|---:|---:|",
        ]
        for ds in res.get("datasets", []):
            name = ds["name"]
            f1, f0, ff = by(rows, name, "PyFlat"), by(rows, name, "PyFlat0"), by(rows, name, "faiss-flat")
            h1, h0 = by(rows, name, "PyHNSW"), by(rows, name, "PyHNSW0")
            lines.append(
                f"| {name} | {fmt(ratio(f1 and f1['qps_numpy'], f0 and f0['qps_numpy']), '.2f')} | "
                f"{fmt(ratio(f1 and f1['qps_numpy'], ff and ff['qps_numpy']), '.2f')} | "
                f"{fmt(ratio(h1 and h1['qps_numpy'], h0 and h0['qps_numpy']), '.2f')} | "
                f"{fmt(ratio(h0 and h0['build_s'], h1 and h1['build_s']), '.2f')} |"
            )
    if res.get("persistence"):
        lines += [
            "",
            "### Save and load (best of 3; GB/s of file size; tessra's save includes fsync)",
            "",
            "| data set | index | where | file MB | save GB/s | load GB/s | pickle GB/s | unpickle GB/s |",
            "|---|---|---|---:|---:|---:|---:|---:|",
        ]
        for r in res["persistence"]:
            rate = lambda key: r["bytes"] / r[key] / 1e9 if r.get(key) else None  # noqa: E731
            lines.append(
                f"| {r['dataset']} | {r['index']} | {r['where']} | {r['bytes'] / 1e6:.1f} | "
                f"{fmt(rate('save_s'), '.2f')} | {fmt(rate('load_s'), '.2f')} | "
                f"{fmt(rate('pickle_s'), '.2f')} | {fmt(rate('unpickle_s'), '.2f')} |"
            )
    batch_tables = batch.render(res, fmt, ratio)
    if batch_tables:
        lines += ["", batch_tables]
    return "\n".join(lines)


def render_report(res, plots) -> str:
    env = res.get("environment", {})
    rows = res.get("rows", [])
    out = [
        "# tessra benchmark",
        "",
        f"Mode: **{res['mode']}**, run {time.strftime('%Y-%m-%d %H:%M')}, {res.get('total_s', 0):.0f} s in total.",
        "",
        f"Machine: {env.get('cpu')} ({env.get('cores')} cores visible), Python {env.get('python')}, "
        f"numpy {env.get('numpy')}, hnswlib {env.get('hnswlib')}, faiss {env.get('faiss')}. "
        f"Thread settings: {env.get('threads')}; hnswlib and faiss are set to one thread."
        + (f" OPENBLAS_CORETYPE={env['openblas_coretype']}." if env.get("openblas_coretype") else ""),
        "",
        f"tessra module: `{env.get('tessra')}`",
        "",
        "Load average (1/5/15 min) at start: "
        + (", ".join(f"{x:.2f}" for x in env["load_start"]) if env.get("load_start") else "?")
        + "; at end: "
        + (", ".join(f"{x:.2f}" for x in env["load_end"]) if env.get("load_end") else "?")
        + ". Other work on the machine shows up as noise in every number below.",
        "",
        "Data sets:",
        "",
    ]
    for ds in res.get("datasets", []):
        out.append(f"- {ds['name']}: {ds['n']} x {ds['dim']} base, {ds['nq']} queries; {ds['note']}")
    out += [
        "",
        "Method: build time is one bulk call on the 2-d float64 numpy array (PyFlat/PyHNSW `create`, "
        "hnswlib `add_items`, faiss `add`); PyHNSW uses its defaults (layers 5, ef_construction 200, "
        "ef_search 50, metric \"euclidean\"), hnswlib and faiss HNSW use M=16, ef_construction=200, "
        "ef=50. Queries: k=10, one query per call, timed over the whole query set, once with the query "
        "as a Python list and once as a 1-d float64 numpy array. numpy brute force is float64 "
        "(|x|² − 2x·q, argpartition); faiss takes float32, so its calls include the conversion. "
        "recall@10 counts a returned vector as correct when its exact float64 distance is within the "
        "10th exact distance (so ties count). bytes/vector is the process RSS growth over the build "
        "(after returning free heap pages to the OS) divided by n: an estimate.",
        "",
        render_tables(res),
        "",
        "### PyFlat scan bandwidth",
        "",
        "| data set | PyFlat scan GB/s (n·dim·8 bytes per query) | single-thread stream GB/s (numpy sum) | share |",
        "|---|---:|---:|---:|",
    ]
    for ds in res.get("datasets", []):
        flat = by(rows, ds["name"], "PyFlat")
        scan = flat.get("scan_gbps") if flat else None
        out.append(
            f"| {ds['name']} | {fmt(scan, '.2f')} | {fmt(ds['stream_gbps'], '.2f')} | "
            f"{fmt(ratio(scan, ds['stream_gbps']), '.0%')} |"
        )
    out += [
        "",
        "### Per-call overhead (1-vector index, 128-d query, k=1)",
        "",
        "| index | list query µs | numpy query µs |",
        "|---|---:|---:|",
    ]
    for r in res.get("overhead", []):
        out.append(f"| {r['index']} | {fmt(r['list_us'], '.2f')} | {fmt(r['numpy_us'], '.2f')} |")
    conv = res.get("create_input")
    if conv:
        out += [
            "",
            "### PyFlat.create input (128-d clustered)",
            "",
            "| n | list of lists s | numpy array s |",
            "|---:|---:|---:|",
        ]
        for r in conv:
            out.append(f"| {r['n']} | {fmt(r['list_s'], '.3f')} | {fmt(r['numpy_s'], '.4f')} |")
    scaling = res.get("scaling")
    if scaling:
        sizes = sorted({n for pts in scaling.values() for n, _ in pts})
        out += [
            "",
            "### Build time (s) against size (clustered, 128-d)",
            "",
            "| index | " + " | ".join(f"n={n}" for n in sizes) + " |",
            "|---|" + "---:|" * len(sizes),
        ]
        for name, pts in scaling.items():
            d = dict((n, t) for n, t in pts)
            out.append(f"| {name} | " + " | ".join(fmt(d.get(n), ".3f") for n in sizes) + " |")
        exps = res.get("scaling_exponents", {})
        if exps:
            out += ["", "Growth exponent (least-squares slope of log time against log n, n ≥ 2000): "
                    + ", ".join(f"{name} n^{e:.2f}" for name, e in exps.items()) + "."]
    sweep = res.get("ef_sweep")
    if sweep:
        out += [
            "",
            f"### ef_search sweep ({sweep['n']} x {sweep['dim']} clustered, {sweep['nq']} queries, numpy input)",
            "",
            "| index | " + " | ".join(f"ef={ef}" for ef in EF_SWEEP) + " |",
            "|---|" + "---:|" * len(EF_SWEEP),
        ]
        for name, pts in sweep["curves"].items():
            d = {p["ef"]: p for p in pts}
            cells = [
                f"{fmt(d[ef]['recall'], '.3f')} @ {fmt(d[ef]['qps'])} q/s" if ef in d else "–" for ef in EF_SWEEP
            ]
            out.append(f"| {name} | " + " | ".join(cells) + " |")
        out.append("")
        out.append("Cells are recall@10 @ queries/s.")
    if plots:
        out += ["", "### Plots", ""]
        for title, fname in plots:
            out.append(f"![{title}]({fname})")
    notes = res.get("notes", [])
    if notes:
        out += ["", "### Notes", ""] + [f"- {n}" for n in notes]
    out.append("")
    return "\n".join(out)


def make_plots(res, out: Path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except Exception as exc:
        res.setdefault("notes", []).append(f"plots skipped: matplotlib not importable ({exc})")
        return []
    made = []
    sweep = res.get("ef_sweep")
    if sweep and sweep["curves"]:
        fig, ax = plt.subplots(figsize=(7, 5))
        for name, pts in sweep["curves"].items():
            xs = [p["recall"] for p in pts]
            ys = [p["qps"] for p in pts]
            ax.plot(xs, ys, marker="o", label=name)
            for p in pts:
                ax.annotate(str(p["ef"]), (p["recall"], p["qps"]), fontsize=7, textcoords="offset points", xytext=(3, 3))
        ax.set_yscale("log")
        ax.set_xlabel("recall@10")
        ax.set_ylabel("queries/s (one query per call)")
        ax.set_title(f"ef_search sweep, {sweep['n']} x {sweep['dim']} clustered")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
        fig.tight_layout()
        fig.savefig(out / "recall_vs_qps.png", dpi=110)
        plt.close(fig)
        made.append(("recall@10 against queries/s", "recall_vs_qps.png"))
    scaling = res.get("scaling")
    if scaling:
        fig, ax = plt.subplots(figsize=(7, 5))
        main = {r["index"]: (r["n"], r["build_s"]) for r in res.get("rows", []) if r["dataset"].startswith("clustered")}
        for name, pts in scaling.items():
            pts = sorted(pts + ([list(main[name])] if name in main and main[name][0] > pts[-1][0] else []))
            ax.plot([p[0] for p in pts], [p[1] for p in pts], marker="o", label=name)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("vectors (128-d clustered)")
        ax.set_ylabel("build time (s)")
        ax.set_title("Build time against size")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
        fig.tight_layout()
        fig.savefig(out / "build_vs_size.png", dpi=110)
        plt.close(fig)
        made.append(("build time against size", "build_vs_size.png"))
    batch_plot = batch.plot(res, plt, out)
    if batch_plot:
        made.append(batch_plot)
    rows = [r for r in res.get("rows", []) if r["key"] in ("PyFlat", "numpy", "faiss-flat")]
    if rows:
        names = [d["name"] for d in res.get("datasets", [])]
        keys = [k for k in ("PyFlat", "numpy", "faiss-flat") if any(r["key"] == k for r in rows)]
        fig, axes = plt.subplots(1, len(names), figsize=(5 * len(names), 4.5), squeeze=False)
        for ax, name in zip(axes[0], names):
            width = 0.38
            for j, (field, label) in enumerate((("qps_list", "list query"), ("qps_numpy", "numpy query"))):
                vals = [(by(rows, name, k) or {}).get(field, 0) for k in keys]
                ax.bar([i + (j - 0.5) * width for i in range(len(keys))], vals, width, label=label)
            ax.set_xticks(range(len(keys)))
            ax.set_xticklabels([(by(rows, name, k) or {}).get("index", k) for k in keys], fontsize=8)
            ax.set_ylabel("queries/s (k=10)")
            ax.set_title(f"Exact search, {name}")
            ax.legend()
        fig.tight_layout()
        fig.savefig(out / "flat_qps.png", dpi=110)
        plt.close(fig)
        made.append(("exact search queries/s", "flat_qps.png"))
    return made


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0], formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mnist", metavar="PATH", help="MNIST images in IDX format (gzip or plain); skipped when absent")
    ap.add_argument("--quick", action="store_true", help="small sizes: 2,000 base vectors, 200 queries")
    ap.add_argument("--out", default=str(HERE / "out"), metavar="DIR", help="report directory (default bench/out)")
    ap.add_argument("--parts", metavar="LIST",
                    help="comma-separated subset of overhead,create,scaling,datasets,sweep (default: all)")
    ap.add_argument("--batch-only", action="store_true",
                    help="only what the batch tables need: numpy, PyFlat, PyHNSW and hnswlib on the data sets")
    args = ap.parse_args(argv)
    if args.mnist and not os.path.exists(args.mnist):
        ap.error(f"--mnist {args.mnist}: no such file")
    Bench(args).run()


if __name__ == "__main__":
    main()
