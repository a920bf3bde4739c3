"""Module life cycle: re-initialisation in one interpreter gives the same
module, a second interpreter is refused (and the first keeps working), and
instances free everything they own, also when the interpreter shuts down with
indexes still alive.

Checks that could take the test process down run in a child interpreter.
"""

import _imp
import gc
import importlib
import importlib.util
import os
import subprocess
import sys

import pytest

import tessra
from tessra import PyFlat, PyHNSW

SANITIZED = os.environ.get("TESSRA_SANITIZED") == "1"
REFUSAL = "PyO3 modules do not yet support subinterpreters"


def run_child(code, timeout=300):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout, env=env)
    return proc.returncode, proc.stdout, proc.stderr


def _spec():
    return importlib.util.spec_from_file_location("tessra", tessra.__file__)


# ---------------------------------------------------------------- re-initialisation


def test_module_from_spec_returns_the_same_module():
    spec = _spec()
    module = importlib.util.module_from_spec(spec)  # runs the init function again
    spec.loader.exec_module(module)
    assert module is tessra
    assert module.PyFlat is PyFlat and module.PyHNSW is PyHNSW
    assert module.__all__ == ["PyFlat", "PyHNSW"]  # registration did not run twice


def test_create_dynamic_and_reload_return_the_same_module():
    assert _imp.create_dynamic(_spec()) is tessra
    assert importlib.reload(tessra) is tessra
    assert tessra.__all__ == ["PyFlat", "PyHNSW"]


def test_import_after_removal_from_sys_modules():
    saved = sys.modules.pop("tessra")
    try:
        again = importlib.import_module("tessra")
        assert again is saved
    finally:
        sys.modules["tessra"] = saved


def test_instances_cross_reinitialisation():
    before = PyFlat(2)
    before.insert([1.0, 2.0])
    module = _imp.create_dynamic(_spec())
    after = module.PyFlat(2)
    after.insert([1.0, 2.0])
    assert type(before) is type(after)
    assert before.search([1.0, 2.0]) == after.search([1.0, 2.0]) == [(0, 0.0)]


def test_repeated_initialisation_takes_no_references():
    spec = _spec()
    for _ in range(100):
        _imp.create_dynamic(spec)
    gc.collect()
    counts = [sys.getrefcount(tessra), sys.getrefcount(PyFlat), sys.getrefcount(PyHNSW)]
    for _ in range(10**4):
        _imp.create_dynamic(spec)
    gc.collect()
    assert [sys.getrefcount(tessra), sys.getrefcount(PyFlat), sys.getrefcount(PyHNSW)] == counts
    assert tessra.__all__ == ["PyFlat", "PyHNSW"]


# ---------------------------------------------------------------- sub-interpreters

SUBINTERPRETER = r"""
import os, sys
try:
    import _xxsubinterpreters as interpreters
except ImportError:
    print("UNAVAILABLE")
    raise SystemExit(0)

FIRST = {first!r}
probe = '''
import os, sys
sys.path[:] = {path!r}
for attempt in range(2):
    try:
        import tessra
    except ImportError as exc:
        os.write(1, ("sub refused " + str(exc) + "\\n").encode())
    else:
        index = tessra.PyFlat(1)
        index.insert([2.0])
        os.write(1, ("sub imported " + repr(index.search([0.0])) + "\\n").encode())
'''


def main_import():
    try:
        import tessra
    except ImportError as exc:
        print("main refused", exc, flush=True)
        return None
    index = tessra.PyHNSW(2, metric="euclidean")
    index.insert([1.0, 2.0])
    print("main imported", index.search([1.0, 2.0]), flush=True)
    return tessra


if FIRST == "main":
    module = main_import()
interp = interpreters.create()
sys.stdout.flush()
interpreters.run_string(interp, probe)
interpreters.destroy(interp)
if FIRST == "sub":
    module = main_import()
else:
    # The first interpreter's module keeps working after the refusal.
    index = module.PyFlat(2)
    index.create([[1.0, 1.0], [3.0, 3.0]])
    print("main still works", index.search([3.0, 3.0], 2), flush=True)
    second = interpreters.create()
    interpreters.run_string(second, probe)
    interpreters.destroy(second)
print("done", flush=True)
"""


def _subinterpreter_lines(first):
    rc, out, err = run_child(SUBINTERPRETER.format(first=first, path=[p for p in sys.path if p]))
    assert rc == 0, err
    if out.strip() == "UNAVAILABLE":
        pytest.skip("no _xxsubinterpreters in this interpreter")
    return out.splitlines()


def test_second_interpreter_is_refused_and_the_first_keeps_working():
    lines = _subinterpreter_lines("main")
    assert lines[0] == "main imported [(0.0, [1.0, 2.0])]"
    for line in (lines[1], lines[2], lines[4], lines[5]):
        assert line.startswith("sub refused " + REFUSAL), lines
    assert lines[3] == "main still works [(1, 0.0), (0, 2.8284271247461903)]"
    assert lines[-1] == "done"


def test_the_first_interpreter_to_initialise_keeps_the_module():
    lines = _subinterpreter_lines("sub")
    assert lines[0] == "sub imported [(0, 2.0)]"
    assert lines[1] == "sub imported [(0, 2.0)]"
    assert lines[2].startswith("main refused " + REFUSAL)
    assert lines[-1] == "done"


# ---------------------------------------------------------------- deallocation

CHURN = r"""
import gc, sys
import numpy as np
import tessra

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096

rng = np.random.default_rng(11)
data = rng.standard_normal((400, 24))
labels = [[("colour", ("red", "green", "blue")[i % 3]), ("size", i), ("weight", i * 0.5)] for i in range(400)]
queries = data[:20].tolist()

def round_():
    graphs = []
    for layers in (1, 4):
        g = tessra.PyHNSW(24, layers=layers, metric="angular", ef_construction=40,
                          schema=["colour", "size", "weight"])
        g.create(data, labels)
        for q in queries:
            g.search(q, 5, ("colour", "red"))
        graphs.append(g)
    flats = [tessra.PyFlat(24, "cosine") for _ in range(5)]
    for f in flats:
        f.create(data)
        f.search(queries[0], 10)
    # many small ones, dropped at once
    small = [tessra.PyHNSW(2, metric="euclidean", schema=["a"]) for _ in range(300)]
    for i, s in enumerate(small):
        s.insert([float(i), 1.0], [("a", "x" * (i % 50))])
    return graphs, flats, small

for _ in range({warmup}):
    round_()
gc.collect()
start = rss()
for _ in range({rounds}):
    kept = round_()
    del kept
gc.collect()
print((rss() - start) // 1024)
"""


@pytest.mark.slow
@pytest.mark.skipif(SANITIZED, reason="resident size means nothing under AddressSanitizer")
def test_building_and_dropping_indexes_keeps_memory_flat():
    rc, out, err = run_child(CHURN.format(warmup=3, rounds=25))
    assert rc == 0, err
    grown_kib = int(out.strip())
    # One round holds about 2 MB of vectors, links and records: keeping even one
    # round's worth per round would grow by tens of megabytes.
    assert grown_kib < 2048, f"resident memory grew by {grown_kib} KiB"


SHUTDOWN = r"""
import gc, tessra

class Holder:
    pass

# Live at exit: module globals, a reference cycle only the final collection
# frees, and an index reachable from a class attribute.
flat = tessra.PyFlat(3)
flat.insert([1.0, 2.0, 3.0])
graph = tessra.PyHNSW(3, metric="euclidean", schema=["a"])
graph.insert([1.0, 2.0, 3.0], [("a", "x")])
cycle = []
cycle.append(cycle)
cycle.append(tessra.PyHNSW(3, metric="inner_product"))
cycle[-1].insert([0.0, 1.0, 0.0])
Holder.index = tessra.PyFlat(1)
del cycle
gc.disable()
print("bye")
"""


def test_interpreter_exit_with_live_indexes_is_clean():
    rc, out, err = run_child(SHUTDOWN)
    assert (rc, out, err) == (0, "bye\n", "")
