"""Indexes whose files are the hardest on a loader's memory, each built through
the API: per node the file holds little (a dimension-1 vector, a level, a run
length, a record flag) while the loaded index holds fixed costs per node
(a run header, a run's own allocation, a record's start). Used by the memory
bound test (test_persist.py) and by bench/load_memory.py.

Each builder takes a scale (1.0: files of 15 to 30 MB) and returns the index.
"""

import numpy as np

from tessra import PyHNSW


def _rows(scale, n):
    return max(int(n * scale), 1000)


def empty_runs(scale):
    """No layers: every run empty, nothing but the fixed costs of each node."""
    n = _rows(scale, 1_500_000)
    index = PyHNSW(1, layers=0, metric="euclidean")
    index.add(np.zeros((n, 1)))
    return index


def empty_records(scale):
    """An empty schema and a record on every node: a record start per node."""
    n = _rows(scale, 1_200_000)
    index = PyHNSW(1, layers=0, metric="euclidean", schema=[])
    index.create(np.zeros((n, 1)), [[]] * n)
    return index


def short_runs(scale):
    """One link per linking search: runs of about two entries, each its own
    allocation, and an empty record on every node."""
    n = _rows(scale, 600_000)
    index = PyHNSW(1, layers=1, ef_construction=1, metric="euclidean", schema=[])
    index.add(np.random.default_rng(1).random((n, 1)), [[]] * n, threads=1)
    return index


def integer_records(scale):
    """Records of 500 integers: 9 bytes a value in the file and in memory."""
    n = _rows(scale, 4_000)
    names = [f"a{i}" for i in range(500)]
    index = PyHNSW(1, layers=0, metric="euclidean", schema=names)
    index.create(np.zeros((n, 1)), [[(name, i) for i, name in enumerate(names)]] * n)
    return index


def empty_texts(scale):
    """Records of 50 empty texts: 9 bytes a value in the file, 13 in memory."""
    n = _rows(scale, 40_000)
    names = [f"t{i}" for i in range(50)]
    index = PyHNSW(1, layers=0, metric="euclidean", schema=names)
    index.create(np.zeros((n, 1)), [[(name, "") for name in names]] * n)
    return index


def sketched_graph(scale):
    """A built graph of 64-d vectors under cosine: sketches are made again on load."""
    n = _rows(scale, 20_000)
    rng = np.random.default_rng(2)
    centres = rng.standard_normal((20, 64)) * 4
    data = centres[rng.integers(0, 20, n)] + rng.standard_normal((n, 64)) * (1.0 / (1 + np.arange(64)))
    index = PyHNSW(64, ef_construction=16, metric="angular")
    index.add(data)
    return index


SHAPES = {f.__name__.replace("_", "-"): f for f in
          (empty_runs, empty_records, short_runs, integer_records, empty_texts, sketched_graph)}

# What loading a file may take at its peak beyond the memory held before:
# docs/format.md states it.
PEAK_FACTOR = 3
PEAK_CONSTANT = 4 << 20

# A child process that loads the file named by argv[1] and prints the peak
# resident growth during the load, what the index still holds afterwards
# (both in bytes) and the load's processor time.
MEASURE_LOAD = r"""
import sys, time
import tessra

def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024

before = status("VmRSS")
# The high-water mark starts from here (Linux: writing 5 resets it).
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
started = time.process_time()
index = tessra.PyHNSW.load(sys.argv[1])
seconds = time.process_time() - started
print(status("VmHWM") - before, status("VmRSS") - before, seconds)
"""
