"""The examples and the quick benchmark run as a user runs them, in a fresh
interpreter, and print the answers they promise."""

import gzip
import json
import os
import re
import site
import struct
import subprocess
import sys
from pathlib import Path

import pytest

import tessra

ROOT = Path(__file__).resolve().parents[2]


def child_env():
    """Environment in which a child interpreter imports this very tessra."""
    env = os.environ.copy()
    here = str(Path(tessra.__file__).resolve().parent)
    site_dirs = {str(Path(p).resolve()) for p in [*site.getsitepackages(), site.getusersitepackages()]}
    if here not in site_dirs:
        env["PYTHONPATH"] = os.pathsep.join(p for p in (here, env.get("PYTHONPATH")) if p)
    return env


def run(*args, timeout=180):
    proc = subprocess.run(
        [sys.executable, *map(str, args)],
        cwd=ROOT, env=child_env(), capture_output=True, text=True, timeout=timeout,
    )
    assert proc.returncode == 0, f"{args} exited {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
    return proc.stdout, proc.stderr


def write_idx_images(path, count, seed=5):
    """A gzip IDX image file of count 28x28 images (random pixels)."""
    import numpy as np

    pixels = np.random.default_rng(seed).integers(0, 256, size=(count, 28, 28), dtype=np.uint8)
    with gzip.open(path, "wb") as f:
        f.write(struct.pack(">IIII", 0x0803, count, 28, 28) + pixels.tobytes())


def test_quickstart_prints_the_nearest_points_of_both_indexes():
    out, _ = run("examples/quickstart.py")
    flat_part, graph_part = out.split("PyHNSW, the 3 nearest")
    # The same three points, nearest first, from both indexes.
    ids = lambda text: [int(m) for m in re.findall(r"^\s+id (\d+) ", text, re.M)]
    assert ids(flat_part) == [1, 5, 0]
    assert ids(graph_part) == [1, 5, 0]
    assert "id 1  [1.0, 0.0, 0.0]  distance 0.1000" in flat_part
    assert "id 5  [0.9, 0.2, 0.1]  distance 0.1732" in graph_part
    assert "nearest point: id 1 at distance 0.1000" in out


def test_metadata_filters_are_type_strict():
    out, _ = run("examples/metadata_filters.py")
    found = {}
    for line in out.splitlines():
        if "->" in line:
            label, names = (part.strip() for part in line.split("->"))
            found[label] = re.findall(r"(\w+) \(", names)
    assert found["no filter"] == ["hinge", "gasket", "flange"]
    assert found['filter ("color", "blue")'] == ["flange", "clamp", "bolt"]
    assert found['filter ("color", "Blue")'] == []
    assert found['filter ("size", 42)'] == ["clamp", "anchor"]
    assert found['filter ("size", 42.0)'] == ["eyelet", "bolt"]
    assert found['filter ("size", "42")'] == ["hinge"]
    assert found['filter ("size", 1)'] == ["gasket"]
    assert found['filter ("size", True)'] == ["gasket"]
    assert found['filter ("size", float("nan"))'] == []
    assert found['after insert, ("color", "blue")'] == ["ingot", "flange", "clamp"]
    assert "insert without a schema attribute: ValueError: Missing metadata for attribute 'size'" in out
    assert "insert with an unsupported value: ValueError: Unsupported metadata type for attribute 'color'" in out
    assert "filter on an unknown attribute: ValueError: Search error: AttributeNotFound" in out
    assert "filter value None: ValueError: Unsupported type for metadata filter" in out
    assert (
        "filter on an index without schema: ValueError: "
        "No schema provided in HNSW instance; cannot use metadata filtering" in out
    )


def test_numpy_bulk_agrees_with_brute_force():
    pytest.importorskip("numpy")
    out, _ = run("examples/numpy_bulk.py")
    assert "PyFlat agrees with numpy brute force on 50/50 queries" in out
    recall = float(re.search(r"PyHNSW recall@10 against numpy brute force: ([0-9.]+)", out).group(1))
    assert recall >= 0.9
    first, second = re.search(r"float32 query, nearest id: (\d+) \| list query, nearest id: (\d+)", out).groups()
    assert first == second


def test_bulk_add_builds_the_graph_of_create():
    pytest.importorskip("numpy")
    out, _ = run("examples/bulk_add.py")
    assert "same answers as create: True" in out
    assert "ids 0..3999 (int64)" in out
    assert "next ids: [4000, 4001, 4002]" in out


def test_mnist_search_on_generated_images():
    pytest.importorskip("numpy")
    out, _ = run("examples/mnist_search.py", timeout=120)
    assert "generated images" in out
    recall = float(re.search(r"recall@10 against PyFlat ([0-9.]+)", out).group(1))
    assert recall >= 0.9
    # The picture block: a title row, then 14 text rows of 4 images side by side.
    art = out.split("\nquery ", 1)[1].splitlines()[1:]
    assert len(art) == 14 and all(len(row) == 4 * 28 + 3 * 3 for row in art)


def test_mnist_search_reads_an_idx_file(tmp_path):
    pytest.importorskip("numpy")
    path = tmp_path / "images-idx3-ubyte.gz"
    write_idx_images(path, 2100)
    out, _ = run("examples/mnist_search.py", path, timeout=120)
    assert f"MNIST images from {path}: 2000 indexed, 50 queries, dimension 784" in out


def test_batch_search_rows_equal_search():
    pytest.importorskip("numpy")
    out, _ = run("examples/batch_search.py", timeout=300)
    assert "batch data: generated images" in out and "9000 indexed, 1000 queries, dimension 784" in out
    assert "PyFlat: 1000/1000 rows equal search" in out
    assert "PyHNSW: 1000/1000 rows equal search" in out
    assert out.count("ids int64 (1000, 10), distances float64 (1000, 10)") == 4
    assert re.search(r"k=3 with ef_search=2: width 2, first row \[\d+, \d+\]", out)


def test_pruned_graph_example_finds_what_exact_search_finds():
    out, _ = run("examples/pruned_graph.py")
    assert "graph='pruned', m=16" in out
    recalls = [float(x) for x in re.findall(r"recall@10 ([0-9.]+)", out)]
    assert len(recalls) == 3 and recalls[-1] >= 0.99
    assert "same as an exact search of the blue points: True" in out
    assert "loaded copy answers the same: True" in out


def test_update_example_never_returns_a_stale_version():
    out, _ = run("examples/update_index.py")
    assert "after the update: 1950 products, ids 2000..2199" in out
    assert "every result is a current version: True" in out
    assert "saved and loaded: 1950 products; withdrawn ones stay removed: True" in out


def test_quick_benchmark_runs_and_reports(tmp_path):
    pytest.importorskip("numpy")
    mnist = tmp_path / "images-idx3-ubyte.gz"
    write_idx_images(mnist, 1200)
    out_dir = tmp_path / "out"
    # Under AddressSanitizer every build is many times slower and resident
    # sizes mean nothing: the driver and the exact part only.
    sanitized = bool(os.environ.get("TESSRA_SANITIZED"))
    subset = ["--parts", "exact"] if sanitized else []
    run("bench/run.py", "--quick", "--mnist", mnist, "--out", out_dir, *subset, timeout=900)
    report = (out_dir / "performance.md").read_text()
    results = json.loads((out_dir / "performance.json").read_text())
    parts = results["parts"]
    assert list(parts) == (["exact"] if sanitized else ["exact", "frontier", "build", "filtered", "persist", "parallel"])
    assert f"python bench/run.py --quick --mnist {mnist}" in report.split("\n\n")[1]
    assert results["machine"]["simd"] in report and results["machine"]["cpu"] in report
    for part in parts.values():
        assert "error" not in part, part.get("error")
        assert f"## {part['title']}" in report and len(part["load_start"]) == len(part["load_end"]) == 3

    # Exact search: PyFlat is exact one query per call and batched, and its
    # batched rows are search's, on the MNIST file and the generated set.
    exact = parts["exact"]["results"]["sets"]
    assert [(s["dataset"]["name"], s["dataset"]["n"], s["dataset"]["nq"]) for s in exact] == [
        ("mnist", 1080, 120), ("clustered-5k", 5000, 200)]
    for s in exact:
        assert s["single"]["PyFlat"]["recall"] == 1.0 and s["single"]["numpy"]["qps"] > 0
        flat = [r for r in s["batched"] if r["library"] == "PyFlat"]
        assert [r["threads"] for r in flat] == [1, 2]
        assert all(r["recall"] == 1.0 and r["rows_equal_search"] == s["dataset"]["nq"] for r in flat)
        assert s["skipped"]["violations"] == 0 and 0 <= s["skipped"]["skipped"] <= s["skipped"]["tested"]
    # Random pixels leave the sketch bounds nothing to skip; clustered vectors do not.
    assert exact[1]["skipped"]["skipped"] > 0
    if sanitized:
        return

    frontier = parts["frontier"]["results"]
    for s in frontier["sets"]:
        libs = {r["library"] for r in s["rows"]}
        assert {"pruned", "full"} <= libs and len(s["rows"]) == len(libs) * len(frontier["efs"])
        best = {r["library"]: r["recall"] for r in s["rows"] if r["ef"] == max(frontier["efs"])}
        assert best["pruned"] >= 0.95 and best["full"] >= 0.95
    assert "q/s at recall ≥ 0.99" in report

    build = parts["build"]["results"]
    for s in build["sets"]:
        assert s["seconds"]["pruned"] > 0 and s["seconds"]["full"] > 0
        # An index holds at least its float64 vectors.
        assert s["bytes_per_vector"]["flat"] > 8 * s["dataset"]["dim"] * 0.9
    scale = build["scale"]["rows"]
    largest = max(r["n"] for r in scale)
    assert {r["n"] for r in scale} == {2000, 5000, 10000}
    assert [r["recall"] >= 0.9 for r in scale if r["n"] == largest and r["library"] == "pruned"] == [True]

    for s in parts["filtered"]["results"]["sets"]:
        assert [r["values"] for r in s["rows"]] == [2, 10, 100, 1000, 10000]
        for r in s["rows"]:
            assert all(v["failing_returned"] == 0 for v in r["libraries"].values())
            assert 0 <= r["libraries"]["pruned"]["recall"] <= 1
        assert s["rows"][0]["libraries"]["pruned"]["recall"] >= 0.9 and s["unfiltered"]["pruned"]["qps"] > 0

    saved = [r for s in parts["persist"]["results"]["sets"] for r in s["rows"]]
    assert {r["index"] for r in saved} >= {"pruned", "full", "flat", "numpy"}
    assert all(r["same_answers"] and r["bytes"] > 0 for r in saved)

    built = [r for s in parts["parallel"]["results"]["sets"] for r in s["rows"]]
    assert {(r["graph"], r["threads"]) for r in built} == {("full", 1), ("full", 2), ("pruned", 1), ("pruned", 2)}
    assert all(r["same_bytes_as_one_thread"] for r in built)

    if results["machine"]["versions"].get("matplotlib"):
        for plot in ("flat_qps.png", "recall_vs_qps.png", "build_vs_size.png", "filtered.png"):
            assert (out_dir / plot).stat().st_size > 0 and f"]({plot})" in report


def test_readme_names_only_examples_that_exist_and_are_run_here():
    readme = (ROOT / "README.md").read_text()
    named = set(re.findall(r"examples/(\w+\.py)", readme))
    assert named, "the README names no example"
    runs_here = set(re.findall(r"examples/(\w+\.py)", Path(__file__).read_text()))
    # The Dask example has its own test file.
    runs_here |= set(re.findall(r"examples/(\w+\.py)", (ROOT / "tests/python/test_sharded_search.py").read_text()))
    for name in sorted(named):
        assert (ROOT / "examples" / name).is_file(), name
        assert name in runs_here, f"no test runs examples/{name}"


def test_readme_quick_start_runs_as_written(tmp_path):
    readme = (ROOT / "README.md").read_text()
    quick_start = readme.split("## Quick start", 1)[1].split("\n## ", 1)[0]
    code = "\n".join(re.findall(r"```python\n(.*?)```", quick_start, re.S))
    # What the comments promise, checked after the code as the reader ran it.
    code += (
        "\nassert flat.search(data[7], k=3)[0] == (7, 0.0)"
        "\nassert ids.shape == (5, 10) and (ids % 25 == 7).all()"
        "\nassert len(graph) == 10000 and not {3, 5} & set(graph.search_batch(data[:20], k=10)[0].ravel().tolist())"
        "\nassert repr(again).startswith(\"PyHNSW(dim=128, metric='euclidean', graph='pruned', m=16\")"
        "\nprint('ok')"
    )
    proc = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=child_env(), capture_output=True,
                          text=True, timeout=300)
    assert proc.returncode == 0 and proc.stdout.strip().endswith("ok"), proc.stderr


def test_removal_benchmark_keeps_recall_and_never_returns_a_removed_id():
    out, _ = run("bench/removal.py", "--quick")
    timings = re.findall(r"^\| (PyFlat|PyHNSW full|PyHNSW pruned) \| 2,000 \| 200 \| [\d.]+ ms \|$", out, re.M)
    assert timings == ["PyFlat", "PyHNSW full", "PyHNSW pruned"]
    differences = [float(d) for d in re.findall(r"^\| (?:full|pruned) \| \d+ \| [\d.]+ \| [\d.]+ \| ([+-][\d.]+) \|$",
                                                out, re.M)]
    assert len(differences) == 4 and all(abs(d) <= 0.01 for d in differences), out
