"""The pruned graph against its peers: the recall / speed frontier, build
time, memory, and the batch schedule of its deterministic parallel build.

    python bench/frontier.py [--mnist PATH] [--sets mnist,clustered,uniform]
                             [--measure frontier,build,memory,batches] [--rounds N] [--quick]

Every measurement is a function below; the CLI prints Markdown tables.

- frontier: k = 10, queries batched on one thread (tessra search_batch with
  threads=1, the peers' batch calls with one thread), recall@10 against exact
  float64 brute force, for ef in EFS. Every index is built first; then, per ef,
  the libraries take turns, ROUNDS times, and each keeps its best rate, so
  ratios come from one run under the same load. "fastest" picks, per library,
  the fastest ef reaching the recall.
- build: each library builds on 2 threads, in turns, ROUNDS times; best time.
- memory: each library builds in a fresh subprocess; resident memory after the
  build minus before it (input already loaded and converted), per vector.
- scale: clustered N x 128 (--scale-n, default 1,000,000), tessra and
  hnswlib each in a fresh process: build seconds on 2 threads, RSS per
  vector after it, recall@10 and q/s at ef 50.
- batches: recall of the batched build (tessra's schedule: a batch of
  max(1, s / divisor) nodes for an index of s nodes, at most CAP) against the
  batch-of-one build, same levels and parameters; through bench/cpp's
  pruned_probe, since the schedule is not exposed to Python.

Peers: hnswlib (M 16, ef_construction 200), faiss IndexHNSWFlat (M 16,
efConstruction 200), usearch (connectivity 16, expansion_add 200, float32);
tessra PyHNSW(graph="pruned", m=16, ef_construction=200). Data: MNIST (the
first 9,000 images of the file as the base, the last 1,000 as queries; the
path is an argument, the set is skipped when missing), clustered 20,000 x 128
and uniform 20,000 x 32 (datasets.py).
"""

from __future__ import annotations

import argparse
import json
import os
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(HERE))
import datasets  # noqa: E402
from measure import log, settle_memory  # noqa: E402

EFS = (10, 20, 30, 50, 100, 200)
TARGETS = (0.95, 0.99)
K = 10
BUILD_THREADS = 2


def import_tessra():
    """This worktree's development build when there is one, else the installed module."""
    dev = REPO / "build" / "dev"
    if dev.is_dir() and str(dev) not in sys.path:
        sys.path.insert(0, str(dev))
    import tessra

    return tessra


# ---------------------------------------------------------------- libraries


class Tessra:
    name = "tessra"

    def build(self, base, threads):
        tessra = import_tessra()
        self.index = tessra.PyHNSW(base.shape[1], metric="euclidean", graph="pruned", m=16, ef_construction=200, seed=1)
        self.index.add(base, threads=threads)

    def search(self, queries, ef):
        return self.index.search_batch(queries, K, threads=1, ef_search=ef)[0]


class Hnswlib:
    name = "hnswlib"

    def build(self, base, threads):
        import hnswlib

        self.queries32 = None
        data = base if base.dtype == np.float32 else base.astype(np.float32)
        self.index = hnswlib.Index(space="l2", dim=base.shape[1])
        self.index.init_index(max_elements=base.shape[0], M=16, ef_construction=200, random_seed=1)
        self.index.add_items(data, num_threads=threads)
        self.index.set_num_threads(1)

    def search(self, queries, ef):
        self.index.set_ef(ef)
        return self.index.knn_query(queries, k=K, num_threads=1)[0]


class Faiss:
    name = "faiss"

    def build(self, base, threads):
        import faiss

        self.faiss = faiss
        data = base if base.dtype == np.float32 else base.astype(np.float32)
        self.index = faiss.IndexHNSWFlat(base.shape[1], 16)
        self.index.hnsw.efConstruction = 200
        faiss.omp_set_num_threads(threads)
        self.index.add(data)
        faiss.omp_set_num_threads(1)

    def search(self, queries, ef):
        self.index.hnsw.efSearch = ef
        return self.index.search(queries, K)[1]


class Usearch:
    name = "usearch"

    def build(self, base, threads):
        from usearch.index import Index

        data = base if base.dtype == np.float32 else base.astype(np.float32)
        self.index = Index(ndim=base.shape[1], metric="l2sq", dtype="f32", connectivity=16, expansion_add=200)
        self.index.add(np.arange(base.shape[0]), data, threads=threads)

    def search(self, queries, ef):
        self.index.expansion_search = ef
        return self.index.search(queries, K, threads=1).keys


LIBRARIES = {cls.name: cls for cls in (Tessra, Hnswlib, Faiss, Usearch)}


def available(names):
    out = []
    for name in names:
        module = {"tessra": None, "hnswlib": "hnswlib", "faiss": "faiss", "usearch": "usearch"}[name]
        if module is not None:
            try:
                __import__(module)
            except ImportError:
                log(f"{name} is not installed: skipped")
                continue
        out.append(name)
    return out


def as_input(name, array):
    """What a library is fed: float64 for tessra, float32 for the peers."""
    return array if name == "tessra" else np.ascontiguousarray(array, dtype=np.float32)


# ---------------------------------------------------------------- data


def load_sets(names, mnist_path, quick):
    sets = []
    for name in names:
        if name == "mnist":
            if mnist_path and os.path.exists(mnist_path):
                sets.append(datasets.load_mnist(mnist_path, quick=quick))
            else:
                log(f"MNIST not found at {mnist_path!r}: skipped")
        elif name == "clustered":
            sets.append(datasets.clustered(4000 if quick else 20000, 200 if quick else 1000))
        elif name == "uniform":
            sets.append(datasets.uniform(4000 if quick else 20000, 200 if quick else 1000))
        else:
            raise SystemExit(f"unknown data set {name!r}")
    return sets


def recall(found, truth):
    hits = sum(len(set(f.tolist()) & set(t.tolist())) for f, t in zip(found, truth))
    return hits / truth.size


# ---------------------------------------------------------------- measurements


def frontier(ds, names, rounds):
    """Rows (library, ef, recall, q/s) and each library's build seconds."""
    truth, _ = datasets.exact_knn(ds.base, ds.queries, K)
    built, build_seconds = {}, {}
    for name in names:
        library = LIBRARIES[name]()
        base = as_input(name, ds.base)
        start = time.perf_counter()
        library.build(base, BUILD_THREADS)
        build_seconds[name] = time.perf_counter() - start
        built[name] = (library, as_input(name, ds.queries))
        log(f"{ds.name}: {name} built in {build_seconds[name]:.2f} s")
    rows = []
    for ef in EFS:
        best = {name: 0.0 for name in names}
        found = {}
        for _ in range(rounds):
            for name in names:
                library, queries = built[name]
                start = time.perf_counter()
                found[name] = library.search(queries, ef)
                best[name] = max(best[name], queries.shape[0] / (time.perf_counter() - start))
        for name in names:
            rows.append({"library": name, "ef": ef, "recall": recall(found[name], truth), "qps": best[name]})
        log(f"{ds.name}: ef {ef} " + ", ".join(f"{n} {best[n]:.0f}" for n in names))
    return rows, build_seconds


def fastest(rows, target):
    """Per library: the row with the best q/s among those reaching the recall."""
    out = {}
    for row in rows:
        if row["recall"] >= target and row["qps"] > out.get(row["library"], {}).get("qps", -1.0):
            out[row["library"]] = row
    return out


def builds(ds, names, rounds):
    """Best build seconds per library on BUILD_THREADS threads, libraries in turns."""
    inputs = {name: as_input(name, ds.base) for name in names}
    best = {name: float("inf") for name in names}
    for _ in range(rounds):
        for name in names:
            library = LIBRARIES[name]()
            start = time.perf_counter()
            library.build(inputs[name], BUILD_THREADS)
            best[name] = min(best[name], time.perf_counter() - start)
            del library
    return best


def memory_child(name, set_name, mnist_path):
    """In a fresh process: resident bytes per vector that building adds."""
    (ds,) = load_sets([set_name], mnist_path, quick=False)
    base = as_input(name, ds.base)
    library = LIBRARIES[name]()
    before = settle_memory()
    library.build(base, BUILD_THREADS)
    after = settle_memory()
    return {"library": name, "set": ds.name, "bytes_per_vector": (after - before) / ds.n}


def memory(set_name, names, mnist_path):
    out = {}
    for name in names:
        command = [sys.executable, __file__, "--memory-child", name, set_name, "--mnist", mnist_path or ""]
        result = subprocess.run(command, capture_output=True, text=True, check=True)
        out[name] = json.loads(result.stdout.strip().splitlines()[-1])["bytes_per_vector"]
    return out


def scale_child(name, n, truth_path):
    """In a fresh process: build clustered n x 128, then measure it at ef 50."""
    ds = datasets.clustered(n, 1000)
    base, queries = as_input(name, ds.base), as_input(name, ds.queries)
    del ds
    library = LIBRARIES[name]()
    before = settle_memory()
    start = time.perf_counter()
    library.build(base, BUILD_THREADS)
    seconds = time.perf_counter() - start
    rss = (settle_memory() - before) / n
    truth = np.load(truth_path)
    best = 0.0
    for _ in range(3):
        start = time.perf_counter()
        found = library.search(queries, 50)
        best = max(best, queries.shape[0] / (time.perf_counter() - start))
    return {"library": name, "seconds": seconds, "bytes_per_vector": rss, "recall": recall(found, truth), "qps": best}


def scale(n, names):
    ds = datasets.clustered(n, 1000)
    truth, _ = datasets.exact_knn(ds.base, ds.queries, K)
    del ds
    out = []
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "truth.npy"
        np.save(path, truth)
        for name in names:
            command = [sys.executable, __file__, "--scale-child", name, str(n), str(path)]
            result = subprocess.run(command, capture_output=True, text=True, check=True)
            out.append(json.loads(result.stdout.strip().splitlines()[-1]))
            log(f"scale {n}: {out[-1]}")
    return out


def probe_program():
    """bench/cpp's pruned_probe, built on first use into build/bench-cpp."""
    out = REPO / "build" / "bench-cpp"
    program = out / "pruned_probe"
    if not program.exists():
        subprocess.run(["cmake", "-S", str(HERE / "cpp"), "-B", str(out), "-DCMAKE_BUILD_TYPE=Release"], check=True,
                       capture_output=True)
    subprocess.run(["cmake", "--build", str(out), "--parallel", "2"], check=True, capture_output=True)
    return program


def write_probe_file(ds, path):
    truth, _ = datasets.exact_knn(ds.base, ds.queries, K)
    with open(path, "wb") as f:
        f.write(b"TPRB")
        f.write(struct.pack("<4Q", ds.n, ds.nq, ds.dim, K))
        f.write(np.ascontiguousarray(ds.base, dtype="<f8").tobytes())
        f.write(np.ascontiguousarray(ds.queries, dtype="<f8").tobytes())
        f.write(truth.astype("<i8").tobytes())


def batches(ds, divisors, cap, efs=(10, 20, 50)):
    """Recall per ef of builds with each divisor (0: batches of one), same levels."""
    program = probe_program()
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / f"{ds.name}.tprb"
        write_probe_file(ds, path)
        command = [str(program), str(path), "build", "--divisors", ",".join(map(str, divisors)), "--cap", str(cap),
                   "--threads", str(BUILD_THREADS), "--efs", ",".join(map(str, efs))]
        result = subprocess.run(command, capture_output=True, text=True, check=True)
    return [json.loads(line) for line in result.stdout.splitlines() if line.startswith("{")]


# ---------------------------------------------------------------- tables


def frontier_table(ds, rows, build_seconds):
    names = list(dict.fromkeys(r["library"] for r in rows))
    lines = [f"### {ds.name} ({ds.n} x {ds.dim}, {ds.nq} queries)", "",
             "| ef | " + " | ".join(f"{n} recall | {n} q/s" for n in names) + " |",
             "|---:|" + "---:|---:|" * len(names)]
    for ef in EFS:
        cells = []
        for n in names:
            row = next(r for r in rows if r["library"] == n and r["ef"] == ef)
            cells += [f"{row['recall']:.4f}", f"{row['qps']:,.0f}"]
        lines.append(f"| {ef} | " + " | ".join(cells) + " |")
    lines += ["", "| recall@10 | tessra (ef) | fastest peer (ef) | ratio |", "|---|---:|---:|---:|"]
    for target in TARGETS:
        best = fastest(rows, target)
        ours = best.get("tessra")
        peers = [r for n, r in best.items() if n != "tessra"]
        peer = max(peers, key=lambda r: r["qps"]) if peers else None
        ours_text = f"{ours['qps']:,.0f} ({ours['ef']})" if ours else "not reached"
        peer_text = f"{peer['library']} {peer['qps']:,.0f} ({peer['ef']})" if peer else "–"
        ratio = f"{ours['qps'] / peer['qps']:.2f}x" if ours and peer else "–"
        lines.append(f"| >= {target} | {ours_text} | {peer_text} | {ratio} |")
    lines += ["", "build, 2 threads: " + ", ".join(f"{n} {s:.2f} s" for n, s in build_seconds.items()), ""]
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mnist", default="/work/shared/data/mnist-t10k-images-idx3-ubyte.gz",
                        help="MNIST IDX file (the set is skipped when missing)")
    parser.add_argument("--sets", default="mnist,clustered,uniform")
    parser.add_argument("--measure", default="frontier,build,memory,batches")
    parser.add_argument("--libraries", default="tessra,hnswlib,faiss,usearch")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--divisors", default="0,100,50,20,10,5")
    parser.add_argument("--cap", type=int, default=256)
    parser.add_argument("--quick", action="store_true", help="small sets, for a smoke run")
    parser.add_argument("--scale-n", type=int, default=1_000_000)
    parser.add_argument("--memory-child", nargs=2, metavar=("LIBRARY", "SET"), help=argparse.SUPPRESS)
    parser.add_argument("--scale-child", nargs=3, metavar=("LIBRARY", "N", "TRUTH"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.memory_child:
        print(json.dumps(memory_child(*args.memory_child, args.mnist)))
        return 0
    if args.scale_child:
        name, n, truth_path = args.scale_child
        print(json.dumps(scale_child(name, int(n), truth_path)))
        return 0

    measures = set(args.measure.split(","))
    names = available(args.libraries.split(","))
    if "scale" in measures:
        rows = scale(args.scale_n, [n for n in names if n in ("tessra", "hnswlib")])
        print(f"## clustered {args.scale_n:,} x 128, 2 threads, ef 50\n")
        print("| library | build s | RSS per vector | recall@10 | q/s |\n|---|---:|---:|---:|---:|")
        for r in rows:
            print(f"| {r['library']} | {r['seconds']:.1f} | {r['bytes_per_vector']:,.0f} | {r['recall']:.4f} | {r['qps']:,.0f} |")
        print(flush=True)
        measures.discard("scale")
        if not measures:
            return 0
    sets = load_sets(args.sets.split(","), args.mnist, args.quick)
    for ds in sets:
        print(f"## {ds.name}: {ds.note}\n", flush=True)
        if "frontier" in measures:
            rows, seconds = frontier(ds, names, args.rounds)
            print(frontier_table(ds, rows, seconds), flush=True)
        if "build" in measures:
            best = builds(ds, names, max(2, args.rounds // 2))
            base = best.get("hnswlib")
            print("| build, 2 threads | seconds | / hnswlib |\n|---|---:|---:|")
            for name, seconds in best.items():
                print(f"| {name} | {seconds:.2f} | {seconds / base:.2f}x |" if base else f"| {name} | {seconds:.2f} | – |")
            print(flush=True)
        if "memory" in measures and not args.quick:
            per_vector = memory(args.sets.split(",")[sets.index(ds)], names, args.mnist)
            base = per_vector.get("hnswlib")
            print("| RSS per vector after the build | bytes | / hnswlib |\n|---|---:|---:|")
            for name, value in per_vector.items():
                print(f"| {name} | {value:,.0f} | {value / base:.2f}x |" if base else f"| {name} | {value:,.0f} | – |")
            print(flush=True)
        if "batches" in measures:
            divisors = [int(d) for d in args.divisors.split(",")]
            results = batches(ds, divisors, args.cap)
            one = next((r for r in results if r["divisor"] == 0), None)
            efs = list(results[0]["recall"].keys())
            print("| divisor (beta) | batches | build s | " + " | ".join(f"recall ef {e} | vs one" for e in efs) + " |")
            print("|---|---:|---:|" + "---:|---:|" * len(efs))
            for r in results:
                beta = "batch of one" if r["divisor"] == 0 else f"{r['divisor']} ({1 / r['divisor']:.3f})"
                cells = []
                for e in efs:
                    value = r["recall"][e][0]
                    cells += [f"{value:.4f}", f"{value - one['recall'][e][0]:+.4f}" if one else "–"]
                print(f"| {beta} | {r['batches']} | {r['seconds']:.2f} | " + " | ".join(cells) + " |")
            print(flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
