"""PyFlat.search (one query per call, k = 10) with each form of its bound data,
against numpy float64 BLAS brute force and faiss IndexFlatL2 (float32).

Each form runs in a child interpreter (TESSRA_SKETCH_FORM is read at import);
in it the three searches take turns, three passes each, and the best pass of
each counts, so the ratios of one child are comparable under load.

    python bench/flat_forms.py [--mnist PATH] [--forms doubles,chosen] [--queries 300]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

CHILD = r"""
import json, sys, time
import numpy as np
sys.path.insert(0, sys.argv[1])
import datasets, tessra, faiss
name, mnist, nq = sys.argv[2], sys.argv[3], int(sys.argv[4])
if name == "mnist":
    m = datasets.read_idx(mnist).reshape(10000, -1).astype(np.float64)
    base, queries = m[:9000], m[9000:9000 + nq]
elif name == "clustered":
    d = datasets.clustered(50000, nq); base, queries = d.base, d.queries
else:
    d = datasets.uniform(20000, nq); base, queries = d.base, d.queries
flat = tessra.PyFlat(base.shape[1]); flat.create(base)
norms = np.einsum("ij,ij->i", base, base)
def numpy_search(q, k=10):
    d = norms - 2.0 * (base @ q)
    part = np.argpartition(d, k - 1)[:k]
    return part[np.argsort(d[part], kind="stable")]
index = faiss.IndexFlatL2(base.shape[1]); index.add(np.ascontiguousarray(base, dtype=np.float32))
qs32 = np.ascontiguousarray(queries, dtype=np.float32)
faiss.omp_set_num_threads(1)
runs = {"tessra": lambda i: flat.search(queries[i], 10), "numpy": lambda i: numpy_search(queries[i]),
        "faiss": lambda i: index.search(qs32[i:i + 1], 10)}
best = {k: 0.0 for k in runs}
for _ in range(3):
    for key, run in runs.items():
        start = time.process_time()
        for i in range(nq): run(i)
        best[key] = max(best[key], nq / (time.process_time() - start))
print(json.dumps(best))
"""


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mnist", help="the MNIST test images (IDX); the set is left out without it")
    parser.add_argument("--forms", default="doubles,chosen")
    parser.add_argument("--queries", type=int, default=300)
    args = parser.parse_args(argv)
    sets = ["clustered", "uniform"] + (["mnist"] if args.mnist and os.path.exists(args.mnist) else [])
    env = dict(os.environ, OMP_NUM_THREADS="1")
    # Current numpy is slowed by these (see the machine notes); unset together.
    env.pop("OPENBLAS_CORETYPE", None), env.pop("OPENBLAS_L2_SIZE", None)
    env["OPENBLAS_NUM_THREADS"] = "1"
    print("| data | form | PyFlat q/s | numpy q/s | faiss q/s | ÷ numpy | ÷ faiss |")
    print("|---|---|---:|---:|---:|---:|---:|")
    for name in sets:
        for form in args.forms.split(","):
            child_env = dict(env, TESSRA_SKETCH_FORM="" if form == "chosen" else form)
            out = subprocess.run([sys.executable, "-c", CHILD, str(HERE), name, args.mnist, str(args.queries)],
                                 env=child_env, capture_output=True, text=True, check=True)
            r = json.loads(out.stdout.strip().splitlines()[-1])
            print(f"| {name} | {form} | {r['tessra']:,.0f} | {r['numpy']:,.0f} | {r['faiss']:,.0f} | "
                  f"{r['tessra'] / r['numpy']:.2f}× | {r['tessra'] / r['faiss']:.2f}× |", flush=True)


if __name__ == "__main__":
    main()
