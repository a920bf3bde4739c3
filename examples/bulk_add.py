"""Building a graph index on every core with add(), and checking it is the graph create() builds.

    python examples/bulk_add.py

add() inserts the vectors in order like create(), but runs the insertions'
searches ahead on worker threads and links them in order on the calling thread,
so the graph does not depend on the thread count or timing. It returns the new
ids, reports progress, and can be stopped with Ctrl-C (what was added stays).
"""

import os
import time

import numpy as np

import tessra

N, DIM = 4000, 32
rng = np.random.default_rng(7)
centres = rng.normal(size=(20, DIM)) * 4
data = centres[rng.integers(0, 20, N)] + rng.normal(size=(N, DIM))
queries = rng.normal(size=(20, DIM)) * 4

# One layer: every node has level 0, so both builds draw no random levels and
# their graphs can be compared through their answers.

t0 = time.perf_counter()
one_by_one = tessra.PyHNSW(DIM, layers=1, ef_construction=100, metric="euclidean")
one_by_one.create(data)
t1 = time.perf_counter()

threads = os.cpu_count() or 1
reports: list[tuple[int, int]] = []
parallel = tessra.PyHNSW(DIM, layers=1, ef_construction=100, metric="euclidean")
ids = parallel.add(data, threads=threads, progress=lambda done, total: reports.append((done, total)))
t2 = time.perf_counter()

print(f"create: {t1 - t0:.2f}s; add on {threads} threads: {t2 - t1:.2f}s ({len(reports)} progress reports)")
print(f"ids {ids[0]}..{ids[-1]} ({ids.dtype})")
same = all(one_by_one.search(q, 10) == parallel.search(q, 10) for q in queries)
print("same answers as create:", same)

# More vectors later: ids continue from the stored count.
more = parallel.add(rng.normal(size=(3, DIM)), threads=threads)
print("next ids:", more.tolist())
