"""Sketch bounds in checking mode, through the Python layer.

A child interpreter imports tessra with TESSRA_SKETCH_CHECK set: every vector
a sketch bound skips is recomputed, and an admissible one raises the internal
fault. It builds PyFlat and PyHNSW indexes on adversarial data (duplicates,
exact ties, near-ties, magnitudes from 1e-300 to 1e300, NaN and infinities)
for every metric and searches them. PyFlat's answers and the pruned graph's
filtered scans must equal, bit for bit, those of a child without sketches; the checked child must have skipped
vectors and found no violation.
"""

import json
import os
import subprocess
import sys
import textwrap

import pytest

SCRIPT = textwrap.dedent(
    r"""
    import json, math, random, struct, sys
    import tessra

    def bits(x):
        return struct.pack("<d", x).hex() if not math.isnan(x) else "nan"

    def dataset(kind, n, dim, rng):
        centres = [[rng.gauss(0, 4) / (1 + 0.3 * j) for j in range(dim)] for _ in range(5)]
        out = []
        for i in range(n):
            v = [c + rng.gauss(0, 1) / (1 + j) for j, c in enumerate(centres[i % 5])]
            if kind == "duplicates" and i >= 4:
                v = list(out[i % 4])
            elif kind == "lattice":
                v = [float(round(x)) for x in v]
            elif kind == "near-ties" and i >= 4:
                v = [math.nextafter(x, math.inf if rng.random() < 0.5 else -math.inf) for x in out[i % 4]]
            elif kind == "magnitudes":
                scale = 10.0 ** rng.uniform(-300, 300) if i % 3 == 0 else 1.0
                v = [x * scale for x in v]
            elif kind == "edges":
                v = [x * (1e152 if i % 2 else 1e-157) for x in v]
            elif kind == "non-finite" and i % 13 == 2:
                v[i % dim] = [math.nan, math.inf, -math.inf][i % 3]
            out.append(v)
        return out

    def queries(data, rng):
        qs = [list(data[(i * 31) % len(data)]) for i in range(8)]
        qs += [[x + 1e-3 * rng.gauss(0, 1) * (abs(x) + 1e-300) for x in data[i]] for i in range(4)]
        qs += [[0.0] * len(data[0]), [math.nan] + data[1][1:], data[2][:-1] + [math.inf]]
        return qs

    results = {}
    rng = random.Random(2024)
    for kind in ["gaussian", "duplicates", "lattice", "near-ties", "magnitudes", "edges", "non-finite"]:
        data = dataset(kind, 160, 12, rng)
        qs = queries(data, rng)
        for metric in ["euclidean", "inner_product", "cosine"]:
            flat = tessra.PyFlat(12, metric)
            flat.create(data)
            results[f"{kind} {metric}"] = [
                [[bits(d), i] for d, i in flat.search(q, k)] for q in qs for k in (1, 10, 40)]
            for k in (1, 10):
                ids, dists = flat.search_batch(qs, k, threads=2)
                results[f"{kind} {metric} batch {k}"] = [
                    [[bits(float(d)), int(i)] for d, i in zip(drow, irow)] for drow, irow in zip(dists, ids)]
        for metric in ["euclidean", "inner_product", "angular"]:
            graph = tessra.PyHNSW(12, ef_construction=16, ef_search=8, metric=metric)
            graph.create(data)
            for q in qs:
                for d, v in graph.search(q, 5):
                    pass  # a skipped admissible vector raises; the graph's own draws differ per process
            # The parallel build's speculative searches and batched searches skip too.
            bulk = tessra.PyHNSW(12, ef_construction=16, ef_search=8, metric=metric)
            bulk.add(data, threads=2)
            bulk.search_batch(qs, 5, threads=2)
            # The pruned graph's filtered scans prove nodes out with byte codes.
            tagged = tessra.PyHNSW(12, ef_construction=16, ef_search=8, metric=metric, graph="pruned",
                                   schema=["all", "half"], seed=1)
            tagged.add(data, metadata=[[("all", 0), ("half", i % 2)] for i in range(len(data))], threads=2)
            for k in (1, 10):
                for f in (("all", 0), ("half", 1)):
                    ids, dists = tagged.search_batch(qs, k, f, threads=2)
                    results[f"{kind} {metric} pruned {f[0]} {k}"] = [
                        [[bits(float(d)), int(i)] for d, i in zip(drow, irow)] for drow, irow in zip(dists, ids)]
    stats = tessra._sketch_stats() if hasattr(tessra, "_sketch_stats") else None
    json.dump({"results": results, "stats": stats}, sys.stdout)
    """
)


def run_child(env_extra):
    env = dict(os.environ)
    for name in ("TESSRA_SKETCH_CHECK", "TESSRA_SKETCH_RANK", "TESSRA_SKETCH_MIN"):
        env.pop(name, None)
    env.update(env_extra)
    done = subprocess.run([sys.executable, "-c", SCRIPT], env=env, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-3000:]
    return json.loads(done.stdout)


@pytest.mark.parametrize("rank", ["3", "6"])
def test_checked_sketches_skip_without_changing_results(rank):
    checked = run_child({"TESSRA_SKETCH_CHECK": "1", "TESSRA_SKETCH_RANK": rank, "TESSRA_SKETCH_MIN": "16"})
    plain = run_child({"TESSRA_SKETCH_MIN": str(2**62)})
    tested, skipped, violations = checked["stats"]
    assert violations == 0
    assert 0 < skipped < tested
    assert plain["stats"] is None  # the hook exists only in checking mode
    assert checked["results"] == plain["results"]


ROUND_TRIP_SCRIPT = textwrap.dedent(
    r"""
    import copy, pickle, sys, tempfile, os
    import numpy as np
    import tessra

    rng = np.random.default_rng(3)
    centres = rng.normal(size=(10, 48)) * 5
    data = centres[rng.integers(0, 10, 1500)] + rng.normal(size=(1500, 48)) / (1 + np.arange(48))
    queries = data[:40] + rng.normal(size=(40, 48)) * 0.01

    def skipped(index):
        before = tessra._sketch_stats()[1]
        for q in queries:
            index.search(list(q), 10)
        index.search_batch(queries, 10)
        return tessra._sketch_stats()[1] - before

    path = os.path.join(tempfile.mkdtemp(), "index.tsr")
    out = []
    for index in (tessra.PyFlat(48), tessra.PyHNSW(48, metric="euclidean", ef_construction=32, seed=5)):
        index.add(data)
        index.save(path)
        copies = [pickle.loads(pickle.dumps(index)), type(index).load(path), copy.deepcopy(index)]
        out.append([skipped(index)] + [skipped(c) for c in copies])
    print(out)
    """
)


def test_a_loaded_index_skips_as_much_as_the_original():
    """Sketches are not stored: loading fits them again (on every vector at
    once, where the insertions fitted them on the first 256, then 1,024), so
    a copy skips about what the original skips, and every copy the same."""
    env = dict(os.environ, TESSRA_SKETCH_COUNT="1")
    for name in ("TESSRA_SKETCH_CHECK", "TESSRA_SKETCH_RANK", "TESSRA_SKETCH_MIN"):
        env.pop(name, None)
    done = subprocess.run([sys.executable, "-c", ROUND_TRIP_SCRIPT], env=env, capture_output=True, text=True,
                          timeout=600)
    assert done.returncode == 0, done.stderr[-3000:]
    for counts in json.loads(done.stdout):
        original, *copies = counts
        assert original > 0 and copies == [copies[0]] * 3 and copies[0] >= 0.9 * original, counts


NEAR_TIES = textwrap.dedent(
    r"""
    import json, math, random, struct, sys
    import tessra

    def bits(x):
        return struct.pack("<d", x).hex() if not math.isnan(x) else "nan"

    # Vectors in the first 12 coordinates (the sketch holds all of them), in
    # two clusters at +-2^20 so the mean is far from every query; around each
    # query, vectors whose differences from it are one offset of multiples of
    # 2^-10 permuted and sign-flipped (their distances differ by a few ulps),
    # and others 1 to 100 away.
    dim, span = int(sys.argv[1]), 12
    rng = random.Random(dim)
    offset = [rng.randint(1, 8) * 2.0 ** -10 for _ in range(span)]
    data, queries = [], []
    for c in range(6):
        centre = [0.5] * dim
        centre[0] = (-1.0 if c % 2 else 1.0) * 2.0 ** 20
        for j in range(1, span):
            centre[j] = rng.randint(-256, 256) * 0.25
        queries.append(centre)
        for h in range(150):
            axes = rng.sample(range(span), span)
            v = list(centre)
            for j in range(span):
                v[axes[j]] += rng.choice((1.0, -1.0)) * offset[j]
            data.append(v)
            w = list(centre)
            for j in range(span):
                w[j] += 10.0 ** (2.0 * (h % 7) / 6.0) * rng.gauss(0, 1)
            data.append(w)
    rng.shuffle(data)
    queries += [[math.nextafter(x, math.inf) if j == 1 + c else x for j, x in enumerate(q)] for c, q in enumerate(queries)]
    flat = tessra.PyFlat(dim)
    flat.create(data)
    results = {}
    for k in (1, 10, 200):
        results[f"search {k}"] = [[[bits(d), i] for d, i in flat.search(q, k)] for q in queries]
        ids, dists = flat.search_batch(queries, k, threads=2)
        results[f"batch {k}"] = [[[bits(float(d)), int(i)] for d, i in zip(drow, irow)] for drow, irow in zip(dists, ids)]
    stats = tessra._sketch_stats() if hasattr(tessra, "_sketch_stats") else None
    json.dump({"results": results, "stats": stats}, sys.stdout)
    """
)


@pytest.mark.parametrize("dim, rank, form", [(128, "16", "bytes"), (784, "64", "bytes"), (128, "32", "doubles")])
def test_checked_batch_bound_on_near_ties(dim, rank, form):
    """search_batch at the ranks and lengths the benchmarks use, on near ties
    far from the data's mean, where the product form's rounding is the
    largest error its bound covers: rows equal search without sketches."""
    def child(env_extra):
        env = dict(os.environ)
        for name in ("TESSRA_SKETCH_CHECK", "TESSRA_SKETCH_RANK", "TESSRA_SKETCH_MIN", "TESSRA_SKETCH_FORM"):
            env.pop(name, None)
        env.update(env_extra)
        done = subprocess.run([sys.executable, "-c", NEAR_TIES, str(dim)], env=env, capture_output=True, text=True,
                              timeout=600)
        assert done.returncode == 0, done.stderr[-3000:]
        return json.loads(done.stdout)

    checked = child({"TESSRA_SKETCH_CHECK": "1", "TESSRA_SKETCH_RANK": rank, "TESSRA_SKETCH_FORM": form})
    plain = child({"TESSRA_SKETCH_MIN": str(2**62)})
    tested, skipped, violations = checked["stats"]
    assert violations == 0
    assert 0 < skipped < tested
    assert checked["results"] == plain["results"]
