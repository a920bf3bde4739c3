"""examples/sharded_search.py: the merge of per-shard PyFlat results equals one
index over all the vectors (ties and NaN included), and the example runs on a
local Dask cluster of two worker processes."""

import importlib.util
import math
import os
import random
from pathlib import Path

import pytest

from tessra import PyFlat

from test_examples import run

ROOT = Path(__file__).resolve().parents[2]


def load_example():
    spec = importlib.util.spec_from_file_location("sharded_search", ROOT / "examples" / "sharded_search.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("metric", [None, "cosine", "inner_product"])
@pytest.mark.parametrize("shards", [1, 2, 3, 7])
def test_merged_shards_equal_one_index(metric, shards):
    example = load_example()
    rng = random.Random(shards)
    # Few distinct components: many equal distances across shards; some NaN.
    vectors = [[float(rng.randint(-1, 1)) for _ in range(2)] for _ in range(60)]
    vectors[7][0] = vectors[31][1] = math.nan
    queries = [[float(rng.randint(-2, 2)) for _ in range(2)] for _ in range(20)] + [[0.0, 0.0], [math.nan, 1.0]]
    chunks, offsets = example.split(vectors, shards)
    whole = PyFlat(2, metric)
    whole.create(vectors)
    for k in (1, 5, 60, 100):
        parts = [example.build_flat(chunk, offset, metric).search(queries, k) for chunk, offset in zip(chunks, offsets)]
        assert repr(example.merge_flat(parts, offsets, k)) == repr([whole.search(q, k) for q in queries])


@pytest.mark.skipif(os.environ.get("TESSRA_SANITIZED") == "1", reason="worker processes are not sanitized")
def test_example_runs_on_a_local_cluster_of_two_workers():
    pytest.importorskip("distributed")
    out, _ = run("examples/sharded_search.py", "--workers", "2", "--n", "1500", "--dim", "4", "--shards", "3",
                 "--queries", "30", "--k", "7", timeout=300)
    assert "cluster: 2 workers, 3 shards of 1500 vectors (dim 4)" in out
    assert "PyFlat: merged top-7 equals one index over all vectors: True" in out
    assert "shard 0 fetched from its worker: 500 vectors, same results: True" in out
    recall = float(out.split("recall against exact search: ")[1].split()[0])
    assert recall >= 0.9
