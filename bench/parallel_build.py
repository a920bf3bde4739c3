"""Building PyHNSW with add() on 1, 2, ... threads: build time, the share of
speculative searches that had to be redone, where the time went, and the
links stored per vector.

    python bench/parallel_build.py [--mnist PATH] [--clustered N] [--threads 1,2]

The graph does not depend on the thread count (tests/cpp checks that with
injected level draws); here each build draws its own levels, so graphs of two
builds differ as two create() calls would.
Columns:
  redone      share of speculative searches a later commit invalidated (redone
              in order on the calling thread)
  direct      insertions whose turn came before any thread had searched for
              them: the calling thread searched the current graph itself
  CPU s       processor time of the whole build, every thread
  search s    processor time of speculative searches, summed over every thread
  commit s    processor time validating and linking on the calling thread
  in-order s  processor time of searches the calling thread ran in insertion
              order (direct + redone)
  serial      share of the work that must run in insertion order: commits and
              redone searches
  idle est.   the speed-up over one thread this build would have on T idle
              cores: CPU(1) / (serial * CPU(T) + (1 - serial) * CPU(T) / T);
              processor times, so it holds on a shared machine where the
              wall-clock speed-up does not
The link columns compare the stored entries with those of storing every link
of every layer, self links included (each found pair stored twice).
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import datasets  # noqa: E402

DEFAULT_MNIST = "/work/shared/data/mnist-t10k-images-idx3-ubyte.gz"


def load(args) -> list[datasets.Dataset]:
    sets = []
    path = args.mnist
    if path and os.path.exists(path):
        sets.append(datasets.load_mnist(path, quick=args.quick))
    else:
        print(f"MNIST not found at {path!r}: skipped", file=sys.stderr)
    n = 5000 if args.quick else args.clustered
    if n:
        sets.append(datasets.clustered(n, 50))
    return sets


def build(ds: datasets.Dataset, threads: int):
    import tessra

    index = tessra.PyHNSW(ds.dim, metric="euclidean")
    start, cpu_start = time.perf_counter(), time.process_time()
    index.add(ds.base, threads=threads)
    seconds, cpu = time.perf_counter() - start, time.process_time() - cpu_start
    return seconds, cpu, index._add_stats()


def serial_share(stats) -> float:
    in_order = stats["redone"] + stats["direct"]
    per_in_order = stats["redo_seconds"] / in_order if in_order else 0.0
    total = stats["search_seconds"] + stats["commit_seconds"] + stats["redo_seconds"]
    serial = stats["commit_seconds"] + stats["redone"] * per_in_order
    return serial / total if total else 0.0


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mnist", default=DEFAULT_MNIST, help="MNIST IDX file (skipped when missing)")
    parser.add_argument("--clustered", type=int, default=50000, help="clustered 128-d base size (0: skip)")
    parser.add_argument("--threads", default="1,2", help="thread counts, comma-separated")
    parser.add_argument("--quick", action="store_true", help="small sets, for a smoke test")
    args = parser.parse_args(argv)
    thread_counts = [int(t) for t in args.threads.split(",")]

    load_avg = os.getloadavg() if hasattr(os, "getloadavg") else None
    print(f"cores usable: {len(os.sched_getaffinity(0)) if hasattr(os, 'sched_getaffinity') else os.cpu_count()}, "
          f"load average before: {load_avg}")
    print("| data set | threads | build s | speed-up | speculated | redone | direct | search s | commit s "
          "| in-order s | serial | CPU s | idle est. | entries/vec before | entries/vec after | bytes/vec after |")
    print("|" + "---|" * 16)
    for ds in load(args):
        base_seconds = base_cpu = None
        for threads in thread_counts:
            seconds, cpu, stats = build(ds, threads)
            if base_seconds is None:
                base_seconds, base_cpu = seconds, cpu
            spec = stats["speculated"]
            redone = stats["redone"] / spec if spec else 0.0
            serial = serial_share(stats)
            estimate = base_cpu / (serial * cpu + (1.0 - serial) * cpu / threads)
            print(f"| {ds.name} ({ds.n}×{ds.dim}) | {threads} | {seconds:.1f} | {base_seconds / seconds:.2f} | "
                  f"{spec} | {redone:.1%} | {stats['direct']} | {stats['search_seconds']:.1f} | "
                  f"{stats['commit_seconds']:.2f} | {stats['redo_seconds']:.1f} | "
                  f"{serial:.1%} | {cpu:.1f} | {estimate:.2f}× | "
                  f"{2 * stats['pairs_found'] / ds.n:.0f} | {stats['link_entries'] / ds.n:.0f} | "
                  f"{stats['link_bytes'] / ds.n:.0f} |", flush=True)
    if load_avg is not None:
        print(f"load average after: {os.getloadavg()}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
