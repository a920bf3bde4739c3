"""A workload for the native leak checks of dev/leakcheck.sh: every entry point
of both classes, on success and on each error path, plus indexes built and
dropped, then a normal interpreter exit (so that everything still owned by an
index at exit is freed by deallocation, and whatever is not shows as a leak).

Usage: python dev/leak_workload.py [ROUNDS]   (default 20)
"""

import gc
import sys

import tessra
from tessra import PyFlat, PyHNSW


class Raises:
    def __float__(self):
        raise KeyError("conversion")

    __index__ = __float__


class CallsBack:
    def __init__(self, action):
        self.action = action

    def __float__(self):
        self.action()
        return 1.0


def attempt(call):
    try:
        call()
    except (TypeError, ValueError, OverflowError, KeyError, RuntimeError, UnicodeEncodeError):
        pass


def one_round(i):
    q = [0.5, 0.25, 2.0]
    # PyFlat: success paths, each metric
    for metric in (None, "inner_product", "cosine", "other"):
        flat = PyFlat(3, metric)
        flat.insert([1.0, 2.0, 3.0])
        flat.create([[float(j), 1.0, -1.0] for j in range(40)])
        flat.search(q)
        flat.search(q, 10**6)
    # PyFlat: error paths
    attempt(lambda: PyFlat())
    attempt(lambda: PyFlat(-1))
    attempt(lambda: PyFlat(3, 5))
    attempt(lambda: PyFlat(3, "\ud800"))
    attempt(lambda: PyFlat(3, nope=1))
    attempt(lambda: flat.insert([1.0]))
    attempt(lambda: flat.insert("abc"))
    attempt(lambda: flat.insert([1.0, Raises(), 2.0]))
    attempt(lambda: flat.insert([1.0, CallsBack(lambda: flat.search(q)), 2.0]))
    attempt(lambda: flat.search([1.0]))
    attempt(lambda: flat.search(q, -1))
    attempt(lambda: flat.search([CallsBack(lambda: flat.insert(q)), 1.0, 1.0]))
    attempt(lambda: PyFlat(3).search(q))
    attempt(lambda: flat.create([]))
    attempt(lambda: flat.create([q, [1.0]]))
    attempt(lambda: flat.create([q, "ab"]))

    # PyHNSW: success paths, several layer counts and metrics, metadata of every kind
    for layers, metric in ((1, "euclidean"), (3, "angular"), (5, "inner_product"), (2**64 - 1, "euclidean")):
        graph = PyHNSW(3, layers=layers, ef_construction=16, metric=metric, schema=["colour", "size", "weight"])
        for j in range(30):
            graph.insert([float(j), float(j % 3), 1.0],
                         [("colour", "red" if j % 2 else "blue" * 20), ("size", j), ("weight", j / 2)])
        graph.insert([9.0, 9.0, 9.0])  # a node without a record
        graph.create([[float(j), 0.0, 2.0] for j in range(20)],
                     [[("colour", "green"), ("size", 2**63), ("weight", float("nan"))] for _ in range(20)])
        graph.create([[1.0, 1.0, 1.0], [2.0, 2.0, 2.0]])
        graph.search(q, 10)
        graph.search(q, 10**6, ("colour", "red"))
        graph.search(q, 0, ("size", 3))
        graph.search(q, 5, ("weight", 1.5))
        graph.search(q, 5, ("size", 9.223372036854776e18))
    # PyHNSW: error paths
    attempt(lambda: PyHNSW(3))
    attempt(lambda: PyHNSW(0, metric="euclidean"))
    attempt(lambda: PyHNSW(3, metric="euclidean", schema="abc"))
    attempt(lambda: PyHNSW(3, metric="euclidean", schema=["a", 1]))
    attempt(lambda: PyHNSW(3, ef_search=Raises(), metric="euclidean"))
    attempt(lambda: graph.insert([1.0]))
    attempt(lambda: graph.insert(q, [("colour", None), ("size", 1), ("weight", 1.0)]))
    attempt(lambda: graph.insert(q, [("size", 1)]))
    attempt(lambda: graph.insert(q, [["colour", "x"]]))
    attempt(lambda: graph.insert(q, [("colour", "x", 1)]))
    attempt(lambda: graph.insert(q, [(1, "x")]))
    attempt(lambda: graph.insert([CallsBack(lambda: graph.search(q)), 1.0, 1.0]))
    attempt(lambda: graph.search(q, 1, ("colour", None)))
    attempt(lambda: graph.search(q, 1, ["colour", "x"]))
    attempt(lambda: graph.search(q, 1, ("nope", 1)))
    attempt(lambda: graph.search([CallsBack(lambda: graph.insert(q)), 1.0, 1.0]))
    attempt(lambda: graph.create([]))
    attempt(lambda: graph.create([q, q], [[("colour", "x")]]))
    attempt(lambda: graph.create([q, [1.0]], [[("colour", "x"), ("size", 1), ("weight", 1.0)]] * 2))
    attempt(lambda: graph.create([q], [[("colour", "x")]]))
    no_schema = PyHNSW(3, layers=1, metric="euclidean")
    no_schema.insert(q)
    attempt(lambda: no_schema.insert(q, []))
    attempt(lambda: no_schema.search(q, 1, ("a", 1)))
    attempt(lambda: no_schema.create([q], [[]]))
    empty_schema = PyHNSW(3, layers=1, metric="euclidean", schema=[])
    empty_schema.insert(q, [])
    attempt(lambda: empty_schema.search(q, 1, ("a", 1)))
    zero = PyHNSW(3, layers=0, ef_construction=0, ef_search=0, metric="euclidean")
    zero.insert(q)
    zero.insert(q)
    attempt(lambda: zero.search(q))
    zero_ef = PyHNSW(3, layers=1, ef_construction=0, ef_search=0, metric="euclidean", schema=["a"])
    zero_ef.insert(q, [("a", "first")])
    attempt(lambda: zero_ef.insert(q, [("a", "refused")]))
    attempt(lambda: zero_ef.create([q, q], [[("a", "x")], [("a", "y")]]))
    attempt(lambda: zero_ef.search(q))
    # Re-initialisation of the module.
    import _imp
    import importlib.util

    assert _imp.create_dynamic(importlib.util.spec_from_file_location("tessra", tessra.__file__)) is tessra


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    for i in range(rounds):
        one_round(i)
    gc.collect()
    # Indexes alive at exit are freed by the interpreter's shutdown.
    global survivor
    survivor = PyHNSW(2, metric="euclidean", schema=["a"])
    survivor.insert([1.0, 2.0], [("a", "kept until exit")])
    print(f"leak workload: {rounds} rounds done")


if __name__ == "__main__":
    main()
