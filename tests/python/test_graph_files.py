"""Graph files are held to what insertion builds: levels a draw can give, runs
of forward links (each once, to earlier nodes) then back links (later nodes,
in order), every link in both directions. A file that breaks any of it is
refused; one that keeps it costs a search no more than a built graph can.

The loader is compared with an independent reading of those rules
(follows_insertion) over random damage to built graphs, valid checksums and
all, so that each check is seen to refuse what it must and nothing else.
"""

import math
import os
import random
import subprocess
import sys

import pytest

from tessra import PyHNSW

import index_format as fmt

U64 = 2**64 - 1


def file_bytes(index):
    return index.__reduce__()[1][0]


def highest_drawn_level(layers):
    """The level of the draw of the largest random word (the highest a draw gives)."""
    weights = []
    for j in range(layers):
        weight = math.exp(-j)
        if weight == 0.0:
            break
        weights.append(weight)
    total = 0.0
    for weight in weights:
        total += weight
    threshold = total * (((2**64 - 1) >> 11) * 2.0**-53)
    running = 0.0
    for k, weight in enumerate(weights):
        running += weight
        if running > threshold:
            return k
    return (layers - 1) % 2**64


def follows_insertion(f):
    """Whether a decoded file keeps every rule insertion keeps (module docstring)."""
    n, layers = f.count, f.layers
    for u, level in enumerate(f.levels):
        if u == 0:
            if level != min((layers - 1) % 2**64, 65535):
                return False
        elif layers == 0:
            if level != 65535:
                return False
        elif level > highest_drawn_level(layers):
            return False
    forward_links, back_links = set(), set()
    for u, run in enumerate(f.runs):
        if layers == 0 and run:
            return False
        k = 0
        while k < len(run) and run[k] < u:
            k += 1
        forward, back = run[:k], run[k:]
        if any(v <= u or v >= n for v in back) or back != sorted(set(back)):
            return False
        if len(set(forward)) != len(forward) or len(forward) > f.ef_construction * (f.levels[u] + 1):
            return False
        if u > 0 and layers > 0 and not forward:
            return False
        forward_links |= {(v, u) for v in forward}
        back_links |= {(u, w) for w in back}
    return forward_links == back_links


def graph_file(forward, levels, layers, ef_construction=200, vectors=None, dim=1):
    """A file of the graph whose nodes link forward as given (back links follow)."""
    n = len(forward)
    backs = [[] for _ in range(n)]
    for u, links in enumerate(forward):
        for v in links:
            backs[v].append(u)
    runs = [list(forward[u]) + sorted(backs[u]) for u in range(n)]
    vectors = [float(i) for i in range(n * dim)] if vectors is None else vectors
    return fmt.HNSWFile(dim, 0, layers, 16, ef_construction, 50, n, None, vectors, list(levels), runs,
                        [None] * n).encode()


def built(n, layers, ef_construction, seed):
    rng = random.Random(seed)
    index = PyHNSW(2, layers=layers, ef_construction=ef_construction, ef_search=8, metric="euclidean", seed=seed)
    index.create([[rng.random(), rng.random()] for _ in range(n)])
    return index


def refused(data):
    try:
        PyHNSW._from_bytes(data)
    except ValueError as error:
        return str(error)
    return None


# ---------------------------------------------------------------- each rule


def _small():
    return fmt.HNSWFile.decode(file_bytes(built(12, 3, 4, 1)))


def _edit(change):
    f = _small()
    change(f)
    return f.encode()


def _with_forward(f, minimum):
    """A node (and its run) with at least `minimum` forward links."""
    for u in range(len(f.runs) - 1, 0, -1):
        k = sum(1 for v in f.runs[u] if v < u)
        if k >= minimum:
            return u, f.runs[u], k
    raise AssertionError("no such node")


def _move_first_back_link_to_front(f):
    for u in range(1, len(f.runs)):
        run = f.runs[u]
        k = sum(1 for v in run if v < u)
        if 0 < k < len(run):
            run.insert(0, run.pop(k))
            return
    raise AssertionError("no back link")


def _drop_back_link(f):
    u, run, k = _with_forward(f, 1)
    f.runs[run[0]].remove(u)


def _drop_forward_link(f):
    u, run, k = _with_forward(f, 2)
    del run[0]


def _swap_back_links(f):
    for u, run in enumerate(f.runs):
        k = sum(1 for v in run if v < u)
        if len(run) - k >= 2:
            run[k], run[k + 1] = run[k + 1], run[k]
            return
    raise AssertionError("no two back links")


def _repeat_forward_link(f):
    u, run, k = _with_forward(f, 1)
    run.insert(1, run[0])


TWO_NODES = dict(layers=U64, ef_construction=200)
RULES = {
    # The two shapes that stalled searches for seconds: a level no draw gives, a run repeating one id.
    "level-65535": (graph_file([[], [0]], [65535, 65535], **TWO_NODES),
                    r"node 1 has level 65535, above the highest a level draw gives \(36\)"),
    "repeated-100000": (fmt.HNSWFile(1, 0, U64, 16, U64, 50, 2, None, [0.0, 1.0], [65535, 0], [[1], [0] * 100000],
                                     [None, None]).encode(), "node 1 links to node 0 twice"),
    "level-37": (graph_file([[], [0], [0, 1]], [65535, 3, 37], **TWO_NODES), r"node 2 has level 37, above"),
    "node-0-level": (graph_file([[], [0]], [3, 0], layers=5), "node 0 has level 3, not the top layer 4"),
    "level-without-layers": (graph_file([[], []], [65535, 0], layers=0), "node 1 has level 0 in an index without layers"),
    "links-without-layers": (graph_file([[], [0]], [65535, 65535], layers=0), "node 0 has links in an index without layers"),
    "self-link": (_edit(lambda f: f.runs[5].append(5)), "node 5 links to itself"),
    "no-earlier-node": (graph_file([[], [], [0, 1]], [2, 0, 0], layers=3), "node 1 links to no node inserted before it"),
    "too-many-earlier-nodes": (graph_file([[], [0], [0, 1]], [1, 0, 0], layers=2, ef_construction=1),
                               r"node 2 links to 2 nodes inserted before it, more than 1"),
    "forward-after-back": (_edit(_move_first_back_link_to_front), "after a node inserted after it"),
    "back-links-out-of-order": (_edit(_swap_back_links), "links to later nodes are out of order"),
    "repeated-forward-link": (_edit(_repeat_forward_link), "twice"),
    "one-way-forward-link": (_edit(_drop_back_link), "which does not link back"),
    "one-way-back-link": (_edit(_drop_forward_link), "which does not link back"),
}


@pytest.mark.parametrize("name", sorted(RULES))
def test_a_file_breaking_a_rule_of_insertion_is_refused(name):
    data, message = RULES[name]
    assert not follows_insertion(fmt.HNSWFile.decode(data))
    with pytest.raises(ValueError, match=r"^Corrupted index file: .*" + message + r".* \(section '(levels|runs)'\)$"):
        PyHNSW._from_bytes(data)


# ---------------------------------------------------------------- random damage, against the rules


def _damage(f, rng):
    """One random change to the levels or the runs of a decoded file."""
    n = f.count
    run = f.runs[rng.randrange(n)]
    kind = rng.randrange(9)
    if kind == 0:
        f.levels[rng.randrange(n)] = rng.choice([0, 1, 2, 3, 35, 36, 37, 200, 65535])
    elif kind == 1:
        run.insert(rng.randrange(len(run) + 1), rng.randrange(n))
    elif kind == 2 and run:
        del run[rng.randrange(len(run))]
    elif kind == 3 and len(run) >= 2:
        i, j = rng.sample(range(len(run)), 2)
        run[i], run[j] = run[j], run[i]
    elif kind == 4 and run:
        run[rng.randrange(len(run))] = rng.randrange(n)
    elif kind == 5 and run:
        run.append(run[rng.randrange(len(run))])
    elif kind == 6:
        # A link in both directions where insertion would put it: valid unless a bound says otherwise.
        u = rng.randrange(1, n)
        v = rng.randrange(u)
        if v not in f.runs[u]:
            k = sum(1 for x in f.runs[u] if x < u)
            f.runs[u].insert(k, v)
            back = sorted(x for x in f.runs[v] if x > v)
            f.runs[v][:] = [x for x in f.runs[v] if x < v] + sorted(back + [u])
    elif kind == 7:
        f.ef_construction = rng.choice([0, 1, 2])
    else:
        f.layers = rng.choice([0, 1, 2, 40, U64])


@pytest.mark.parametrize("layers, ef_construction", [(1, 3), (3, 4), (40, 2)])
def test_random_damage_is_refused_exactly_when_it_breaks_a_rule(layers, ef_construction):
    rng = random.Random(layers * 100 + ef_construction)
    original = file_bytes(built(30, layers, ef_construction, layers))
    assert follows_insertion(fmt.HNSWFile.decode(original))
    seen = {True: 0, False: 0}
    for _ in range(400):
        f = fmt.HNSWFile.decode(original)
        for _ in range(rng.choice([1, 1, 2])):
            _damage(f, rng)
        data = f.encode()
        valid = follows_insertion(f)
        seen[valid] += 1
        error = refused(data)
        if valid:
            assert error is None, error
            assert file_bytes(PyHNSW._from_bytes(data)) == data
        else:
            assert error is not None and error.startswith("Corrupted index file: "), f.runs
    assert seen[True] >= 20 and seen[False] >= 200, seen


# ---------------------------------------------------------------- the cost of a search

MEASURE = r"""
import sys, tessra
index = tessra.PyHNSW.load(sys.argv[1])
for q in [[-1e9], [0.5], [1e9], [float(len(index)) / 3]]:
    before = tessra._search_work()
    index.search(q + [0.0] * (index.dim - 1), 10)
    after = tessra._search_work()
    print(*[b - a for a, b in zip(before, after)])
"""


def _top_level_graphs():
    """Valid files shaped to make searches work hard: every node on the highest
    drawable level (a built index almost never has one there), with a
    complete graph, a path that each greedy layer search walks end to end, a
    hub, and the two-node file of a huge layer count."""
    layers = 1000
    top = highest_drawn_level(layers)
    first = min(layers - 1, 65535)
    n = 60
    yield "complete", graph_file([list(range(u)) for u in range(n)], [first] + [top] * (n - 1), layers)
    n = 400
    yield "path", graph_file([[u - 1] if u else [] for u in range(n)], [first] + [top] * (n - 1), layers, 1)
    yield "hub", graph_file([[0] if u else [] for u in range(n)], [first] + [top] * (n - 1), layers, 1)
    yield "two-nodes", graph_file([[], [0]], [65535, top], U64)


def _work(tmp_path, name, data):
    path = tmp_path / f"{name}.tsr"
    path.write_bytes(data)
    env = dict(os.environ, TESSRA_TEST_HOOKS="1")
    run = subprocess.run([sys.executable, "-c", MEASURE, str(path)], env=env, capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stderr[-2000:]
    return [tuple(map(int, line.split())) for line in run.stdout.splitlines()]


def test_a_file_that_loads_costs_a_search_no_more_than_a_built_graph_can(tmp_path):
    """A search runs one layer search per layer from the highest level below
    node 0's down to 0, and each takes every node's distance and scans every
    run at most once; levels no draw gives are refused, so the bound is the
    one a built graph of the same size meets: (36 + 1) x (nodes, run entries)."""
    files = list(_top_level_graphs())
    files += [(f"built-{n}", file_bytes(built(n, 1000, 16, n))) for n in (60, 400)]
    for name, data in files:
        f = fmt.HNSWFile.decode(data)
        assert follows_insertion(f)
        highest = max(f.levels[1:])
        assert highest <= 36
        entries = sum(len(run) for run in f.runs)
        for layer_searches, distances, scanned in _work(tmp_path, name, data):
            assert layer_searches <= highest + 1, name
            assert distances <= (highest + 1) * f.count, name
            assert scanned <= (highest + 1) * entries, name
