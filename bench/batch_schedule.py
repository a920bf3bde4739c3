"""The pruned graph's batch schedule: recall of batched builds against the
batch-of-one build, through bench/cpp's pruned_probe (the schedule is not
exposed to Python). A tuning tool; the report (bench/run.py) does not use it.

    python bench/batch_schedule.py [--mnist PATH] [--sets images,clustered,uniform]
                                   [--divisors 0,100,50,20,10,5] [--cap 256] [--quick]

A divisor D builds in batches of max(1, s / D) nodes for an index of s nodes,
at most CAP (0: batches of one); every build draws the same levels and uses
the same parameters, on two threads. Prints a Markdown table per data set:
batches, build seconds, and recall@10 at each ef beside the batch-of-one's.
"""

from __future__ import annotations

import argparse
import json
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(HERE))
import datasets  # noqa: E402

K = 10
THREADS = 2


def probe_program() -> Path:
    """bench/cpp's pruned_probe, built on first use into build/bench-cpp."""
    out = REPO / "build" / "bench-cpp"
    if not (out / "CMakeCache.txt").exists():
        subprocess.run(["cmake", "-S", str(HERE / "cpp"), "-B", str(out), "-DCMAKE_BUILD_TYPE=Release"], check=True,
                       capture_output=True)
    subprocess.run(["cmake", "--build", str(out), "--parallel", "2"], check=True, capture_output=True)
    return out / "pruned_probe"


def write_probe_file(ds, path) -> None:
    """The probe's input: "TPRB", n, nq, dim, k (uint64), base, queries, exact neighbours."""
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
                   "--threads", str(THREADS), "--efs", ",".join(map(str, efs))]
        result = subprocess.run(command, capture_output=True, text=True, check=True)
    return [json.loads(line) for line in result.stdout.splitlines() if line.startswith("{")]


def table(results) -> str:
    one = next((r for r in results if r["divisor"] == 0), None)
    efs = list(results[0]["recall"].keys())
    lines = ["| divisor (beta) | batches | build s | " + " | ".join(f"recall ef {e} | vs one" for e in efs) + " |",
             "|---|---:|---:|" + "---:|---:|" * len(efs)]
    for r in results:
        beta = "batch of one" if r["divisor"] == 0 else f"{r['divisor']} ({1 / r['divisor']:.3f})"
        cells = []
        for e in efs:
            value = r["recall"][e][0]
            cells += [f"{value:.4f}", f"{value - one['recall'][e][0]:+.4f}" if one else "–"]
        lines.append(f"| {beta} | {r['batches']} | {r['seconds']:.2f} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mnist", help="MNIST IDX file; without it generated images stand in")
    parser.add_argument("--sets", default="images,clustered,uniform")
    parser.add_argument("--divisors", default="0,100,50,20,10,5")
    parser.add_argument("--cap", type=int, default=256)
    parser.add_argument("--quick", action="store_true", help="small sets, for a smoke run")
    args = parser.parse_args(argv)
    n, nq = (4000, 200) if args.quick else (20000, 1000)
    for kind in args.sets.split(","):
        if kind == "images":
            spec = ({"kind": "mnist", "path": args.mnist} if args.mnist else {"kind": "digits"})
            spec.update(n=2000 if args.quick else 9000, nq=nq)
        else:
            spec = {"kind": kind, "n": n, "nq": nq}
        ds = datasets.load(spec)
        print(f"## {ds.name} {ds.n} x {ds.dim}: {ds.note}\n", flush=True)
        print(table(batches(ds, [int(d) for d in args.divisors.split(",")], args.cap)) + "\n", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
