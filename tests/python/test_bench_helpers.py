"""The benchmark's own arithmetic, which every figure of the report rests on:
exact neighbours among the vectors a filter lets through, recall with padded
results, the "fastest ef reaching a recall" choice, and the driver refusing
parts it does not have."""

import sys
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

np = pytest.importorskip("numpy")
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))

import datasets  # noqa: E402
import libraries  # noqa: E402
from parts import frontier  # noqa: E402


@pytest.mark.parametrize("seed", range(6))
def test_filtered_neighbours_are_the_nearest_allowed_vectors(seed):
    rng = np.random.default_rng(seed)
    n, dim, k = int(rng.integers(1, 300)), int(rng.integers(1, 20)), 10
    base, queries = rng.normal(size=(n, dim)), rng.normal(size=(40, dim))
    # Masks shared by several queries, one letting nothing through, one fewer than k.
    masks = [rng.random(n) < p for p in (0.0, 3 / n, 0.1, 0.5, 1.0)]
    allowed = [masks[int(rng.integers(len(masks)))] for _ in queries]
    found = datasets.filtered_knn(base, queries, allowed, k)
    truth = []
    for q, mask, ids in zip(queries, allowed, found):
        ok = np.flatnonzero(mask)
        order = ok[np.argsort(((base[ok] - q) ** 2).sum(axis=1), kind="stable")][:k]
        assert ids.tolist() == order.tolist()
        truth.append(order)
    padded = [np.concatenate([ids, -np.ones(k - len(ids), dtype=np.int64)]) for ids in found]
    assert libraries.recall(padded, truth) == 1.0
    # Dropping one found neighbour of one query loses exactly that share.
    hit = next((i for i, t in enumerate(truth) if len(t)), None)
    if hit is not None:
        padded[hit][0] = -1
        assert libraries.recall(padded, truth) == pytest.approx(1 - 1 / sum(len(t) for t in truth))


rows_strategy = st.lists(
    st.tuples(st.sampled_from(["pruned", "full", "hnswlib", "faiss", "usearch"]), st.sampled_from([10, 20, 50, 200]),
              st.floats(0, 1), st.floats(1, 1e6)),
    min_size=1, max_size=30,
)


@settings(max_examples=200, deadline=None)
@given(rows_strategy, st.sampled_from(frontier.TARGETS))
def test_fastest_ef_reaching_a_recall(raw, target):
    rows = [{"library": lib, "ef": ef, "recall": rec, "qps": qps} for lib, ef, rec, qps in raw]
    summary = frontier.summary(rows, target)
    reaching = {lib: [r for r in rows if r["library"] == lib and r["recall"] >= target] for lib in summary}
    peers = [max(r["qps"] for r in rs) for lib, rs in reaching.items() if lib in libraries.PEERS and rs]
    for lib, (row, ratio) in summary.items():
        if not reaching[lib]:
            assert row is None and ratio is None
            continue
        assert row in reaching[lib] and row["qps"] == max(r["qps"] for r in reaching[lib])
        assert ratio == (pytest.approx(row["qps"] / max(peers)) if peers else None)


@pytest.mark.parametrize("parts", ["bogus", "exact,frontiers", ","])
def test_driver_refuses_unknown_parts(parts):
    import subprocess

    proc = subprocess.run([sys.executable, "bench/run.py", "--parts", parts], cwd=Path(__file__).resolve().parents[2],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 2 and "--parts: unknown part" in proc.stderr
