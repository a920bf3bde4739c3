"""Saving and loading: tessra's two graphs and PyFlat against numpy, hnswlib and faiss.

On MNIST (9,000 x 784) and clustered 20,000 x 128, each index built on two
threads. Each index is written to a file and read back, best of three, through
memory (tmpfs, so the page cache alone) and to disk: tessra's save
(written beside the target, fsynced, renamed over it), numpy np.save /
np.load of the float64 vectors, hnswlib save_index / load_index, faiss
write_index / read_index of IndexHNSWFlat. The peers' saves are followed by
an fsync of the file, so every save here ends on the device. tessra's indexes
are also pickled and unpickled in memory. Every index read back answers the
first 100 queries as the original does."""

from __future__ import annotations

import math
import tempfile
import time
from pathlib import Path

import numpy as np

import libraries
import report
from measure import fsync_file, log, settle_memory

TITLE = "Saving and loading"
PLOTS = ()
SIZES = {
    "quick": {"sets": [("images", 2000, 100), ("clustered", 4000, 100)], "repeats": 2},
    "full": {"sets": [("images", 9000, 100), ("clustered", 20000, 100)], "repeats": 3},
}
BUILD_THREADS = 2
CHECKED_QUERIES = 100


class NumpyArray:
    """The float64 vectors in an .npy file: what any index must at least write."""

    key, name = "numpy", "numpy np.save"

    def build(self, base, threads):
        self.base = np.array(base, copy=True)

    def search(self, queries, ef):
        return self.base[:1].copy()  # what came back is compared whole, below

    def save(self, path):
        with open(path, "wb") as f:
            np.save(f, self.base)

    def load(self, path):
        other = NumpyArray()
        with open(path, "rb") as f:
            other.base = np.load(f)
        return other

    def same(self, other, queries):
        return bool(np.array_equal(self.base, other.base))


def filesystem(path: Path) -> str:
    """The type of the file system holding path, from /proc/mounts."""
    best, kind = "", "?"
    try:
        with open("/proc/mounts") as f:
            for line in f:
                fields = line.split()
                mount = fields[1]
                if str(path).startswith(mount) and len(mount) > len(best):
                    best, kind = mount, fields[2]
    except OSError:
        pass
    return kind


def places():
    """(label, directory) of a memory-backed and a disk-backed file system, where there are."""
    out = []
    shm = Path("/dev/shm")
    if shm.is_dir() and filesystem(shm) == "tmpfs":
        out.append((f"memory (tmpfs {shm})", shm))
    temp = Path(tempfile.gettempdir())
    disk = temp if filesystem(temp) not in ("tmpfs", "ramfs") else libraries_repo() / "build"
    disk.mkdir(parents=True, exist_ok=True)
    out.append((f"disk ({filesystem(disk)} {disk})", disk))
    return out


def libraries_repo() -> Path:
    return Path(__file__).resolve().parents[2]


def same_answers(original, loaded, queries) -> bool:
    if isinstance(original, NumpyArray):
        return original.same(loaded, queries)
    return bool(np.array_equal(np.asarray(original.search(queries, 50)), np.asarray(loaded.search(queries, 50))))


def best(calls: int, action):
    seconds, result = math.inf, None
    for _ in range(calls):
        start = time.perf_counter()
        result = action()
        seconds = min(seconds, time.perf_counter() - start)
    return seconds, result


def measure_index(library, key, queries, repeats, where):
    rows = []
    peer = key not in ("pruned", "full", "flat")
    for label, folder in where:
        with tempfile.TemporaryDirectory(dir=folder) as tmp:
            path = Path(tmp) / f"index-{key}"

            def save():
                library.save(path)
                if peer:
                    fsync_file(path)

            save_s, _ = best(repeats, save)
            load_s, loaded = best(repeats, lambda: library.load(path))
            size = path.stat().st_size
            rows.append({"index": key, "where": label, "bytes": size, "save_s": save_s, "load_s": load_s,
                         "same_answers": same_answers(library, loaded, queries)})
            del loaded
    if hasattr(library, "pickled"):
        dumps, loads = library.pickled()
        dump_s, data = best(repeats, dumps)
        undump_s, copy = best(repeats, lambda: loads(data))
        again = libraries.make(key)
        again.index = copy
        rows.append({"index": key, "where": "pickle (in memory)", "bytes": len(data), "save_s": dump_s,
                     "load_s": undump_s, "same_answers": same_answers(library, again, queries)})
        del data, copy, again
    return rows


def measure_set(ctx, spec, repeats):
    ds = ctx.dataset(spec)
    where = places()
    keys = ["pruned", "full", "flat", "numpy", *(p for p in ("hnswlib", "faiss") if ctx.have(p))]
    rows = []
    for key in keys:
        library = NumpyArray() if key == "numpy" else libraries.make(key)
        library.build(libraries.as_input(key, ds.base), BUILD_THREADS)
        queries = libraries.as_input(key, ds.queries[:CHECKED_QUERIES])
        for row in measure_index(library, key, queries, repeats, where):
            rows.append(row)
            log(f"persist: {ds.name} {key} {row['where']}: {row['bytes'] / 1e6:.1f} MB, save {row['save_s']:.3f} s, "
                f"load {row['load_s']:.3f} s")
        del library
        settle_memory()
    return {"dataset": report.describe(ds), "rows": rows}


def run(ctx):
    sizes = ctx.sizes(SIZES)
    return {"sets": [measure_set(ctx, ctx.spec(*s), sizes["repeats"]) for s in sizes["sets"]],
            "repeats": sizes["repeats"]}


NAMES = {"numpy": "numpy np.save", "faiss": "faiss IndexHNSWFlat"}


def render(res) -> str:
    rows, differ = [], []
    for s in res["sets"]:
        n = s["dataset"]["n"]
        for r in s["rows"]:
            name = NAMES.get(r["index"]) or libraries.display(r["index"])
            rows.append([report.size_label(s["dataset"]), name, r["where"], f"{r['bytes'] / 1e6:,.1f}",
                         report.fmt(r["bytes"] / n), report.fmt(r["save_s"], ".3f"), report.fmt(r["load_s"], ".3f"),
                         report.fmt(r["bytes"] / r["save_s"] / 1e9, ".2f"), report.fmt(r["bytes"] / r["load_s"] / 1e9, ".2f")])
            if not r["same_answers"]:
                differ.append(f"{name} on {report.size_label(s['dataset'])} ({r['where']})")
    out = [f"Best of {res['repeats']}; GB/s of file size.", "",
           report.table(["data set", "index", "through", "file MB", "bytes per vector", "save s", "load s",
                         "save GB/s", "load GB/s"], rows, left=3)]
    out += ["", ("Every index read back answered as the original did." if not differ else
                 "Read back and answering differently from the original: " + ", ".join(differ) + ".")]
    return "\n".join(out)


def plot(res, plt, out_dir):
    return []
