#!/usr/bin/env bash
# Breaks the code on purpose, one named mutation at a time, and checks that a
# test notices: the rigorous bounds' margins, the batch skip rule, the sketch
# refit on load, the speculation check of the parallel build, and the loader's
# invariant checks. For manual runs (not CI); run it before you stop whenever
# you touch one of those places, and add a line below for each new rigorous
# bound or validation you write.
#
#   dev/mutants.sh [NAME...]      (default: every mutation; --list names them)
#
# Each mutation replaces one snippet that must occur exactly once in its file
# (the script fails loudly when it does not: update the snippet), in a scratch
# copy of the working tree (build/mutants/tree, synced from the tree as it is,
# uncommitted changes included). The copy is built in its own build
# directories (reused across runs, so a run rebuilds only what a mutation
# touches), then only the tests named for the mutation run. A mutation no
# test notices SURVIVED. Exit status: 0 when every mutation was caught, 1 when
# any survived, 2 when one could not be applied or built.
#
# Not in the list, because they cannot change a result: the euclidean shrink
# (1 - 1e-9) and the cosine allowance of the sketch bounds. Each is backed by
# an additive allowance that alone exceeds every rounding it covers (by 16x,
# see the slack of sketch_basis.cpp): removing it skips a few more vectors,
# never an admissible one. Likewise the float32 rounding allowance and the
# comparison shrink of the batch bound (sketch/batch_bound.hpp): the product
# margin's spare, 5 v (n_a + n_b)^2, exceeds both. Nor is the parallel build's skipping of expansions
# above a committed node's level: without it the check redoes more searches,
# and the graph stays the same. Nor is the byte codes' distance slack
# (kCodeDistanceSlack, 2e-9): the gap bound's kappa keeps 1.01 (n + 8) v where
# its derivation needs 1.004 (n + 2) v, a surplus of at least 6 * 2^-24 on the
# squared distance, which alone exceeds the float64 rounding the slack covers.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export MUTANTS_ROOT="$root"
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
exec python3 - "$@" <<'PY'
import os
import shutil
import subprocess
import sys

ROOT = os.environ["MUTANTS_ROOT"]
WORK = os.path.join(ROOT, "build", "mutants")
TREE = os.path.join(WORK, "tree")
CORE = os.path.join(WORK, "core")
EXT = os.path.join(WORK, "ext")

# name: (file, snippet, replacement, tests). Tests: "cpp:WORD ..." runs the
# core tests whose names hold a word; "py:ARGS" runs pytest with ARGS.
GI = "src/hnsw/graph_invariants.cpp"
PF = "src/pruned/pruned_format.cpp"
NEW_SECTIONS = "py:tests/python/test_format_versions.py tests/python/test_persist.py -k refused or hostile"
GRAPH_FILES = "py:tests/python/test_graph_files.py tests/python/test_persist.py -k rule_of_insertion or damage or hostile"
MUTATIONS = {
    # Sketch bounds: the additive allowances that cover the rounding of the bound and of the exact value.
    "sketch-euclidean-allowance": ("src/sketch/sketch_index.hpp",
                                   "const double reach = threshold + (slack_ + index.aux_[id]);",
                                   "const double reach = threshold;", "cpp:sketch"),
    "sketch-dot-slack": ("src/sketch/sketch_index.hpp", "- residual_ * aux[0] - slack;", "- residual_ * aux[0];",
                         "cpp:sketch"),
    # The batched flat scan leaves a pair out only for the query whose bound proves it out.
    "batch-skip-for-the-group": ("src/sketch/batch_bound.cpp", "keep[j] &= ~dropped;",
                                 "for (std::size_t l = 0; l < kBoundLanes; ++l) keep[l] &= ~dropped;", "cpp:batch"),
    # The batch bound in product form: the proven error term of the kernel and the expansion.
    "batch-product-margin": ("src/sketch/batch_bound.hpp", "constexpr double kProductMargin = 1.01;",
                             "constexpr double kProductMargin = 0.0;", "cpp:product batch_bound batched_scans"),
    # A batch query's seed: the value just above the k-th gathered distance (ties at it are admitted),
    # from live vectors only.
    "batch-seed-drops-ties": ("src/flat/lane_scan.cpp",
                              "seed_[j] = std::nextafter(at_most, std::numeric_limits<double>::infinity());",
                              "seed_[j] = at_most;", "cpp:batch"),
    "batch-seed-counts-removed": ("src/flat/lane_scan.cpp", "for (better &= live; better != 0;",
                                  "for (; better != 0;", "cpp:batch"),
    # Loading fits the sketches again.
    "flat-no-refit-on-load": ("src/flat/flat_format.cpp",
                              "flat.sketches.update(flat.metric, flat.vector_store.data(), flat.size(), flat.dim);",
                              "", "py:tests/python/test_sketch_check.py -k skips_as_much"),
    "graph-no-refit-on-load": ("src/hnsw/hnsw_restore.cpp",
                               "index.sketches_.update(index.metric_, index.vector_store_.data(), count, index.dim_);",
                               "", "py:tests/python/test_sketch_check.py -k skips_as_much"),
    # Byte code bounds: the margins of the gap bound and the distance a skip must prove.
    "codes-sum-margin": ("src/sketch/code_grid.hpp", "constexpr double kCodeSumMargin = 1.01;",
                         "constexpr double kCodeSumMargin = 0.0;", "cpp:byte_code pruned_walks_with_codes"),
    "codes-query-rounding": ("src/sketch/code_grid.hpp", "constexpr double kCodeQueryRounding = 1.01;",
                             "constexpr double kCodeQueryRounding = 0.0;", "cpp:byte_code"),
    # The pruned graph's code bounds apply only where a skipped node could not change a decision:
    # once a walk's beam is full, and once a scan holds k nodes.
    "walk-codes-before-the-beam-fills": ("src/pruned/layer_walk.cpp",
                                         "const bool prove = bounded && results.size() >= ef;",
                                         "const bool prove = bounded && !results.empty();",
                                         "cpp:pruned_walks_with_codes"),
    "scan-codes-before-k-kept": ("src/pruned/filtered_search.cpp", "if (full && bounded) n = query.keep(",
                                 "if (!kept.empty() && bounded) n = query.keep(",
                                 "cpp:pruned_filtered_scans_equal"),
    # The parallel build's check of a speculative search.
    "speculation-always-redone": ("src/hnsw/parallel_build.cpp", "if (still_exact(id, slot)) {",
                                  "if (false && still_exact(id, slot)) {", "cpp:parallel_build"),
    "speculation-never-checked": ("src/hnsw/parallel_build.cpp", "if (still_exact(id, slot)) {",
                                  "if (true || still_exact(id, slot)) {", "cpp:parallel_build"),
    # The loader's checks of graph files, one by one.
    "loader-node-0-level": (GI, "if (id == 0 && level != first)", "if (false)", GRAPH_FILES),
    "loader-levels-without-layers": (GI, "if (id != 0 && layers == 0 && level != UINT16_MAX)", "if (false)",
                                     GRAPH_FILES),
    "loader-drawable-levels": (GI, "if (id != 0 && level > highest)", "if (false)", GRAPH_FILES),
    "loader-links-without-layers": (GI, "if (layers_ == 0 && !run.empty())", "if (false)", GRAPH_FILES),
    "loader-self-link": (GI, "if (other == self) return", "if (false) return", GRAPH_FILES),
    "loader-forward-links-first": (GI, "if (other < self)\n", "if (false)\n", GRAPH_FILES),
    "loader-back-links-in-order": (GI, "if (i > forward && other <= run[i - 1])", "if (false)", GRAPH_FILES),
    "loader-an-earlier-link": (GI, "if (id > 0 && forward == 0 && layers_ > 0)", "if (false)", GRAPH_FILES),
    "loader-forward-link-bound": (GI, "if (forward > most)", "if (false)", GRAPH_FILES),
    "loader-repeated-forward-link": (GI, "if (next > 0 && back[next - 1] == link.from)", "if (false)", GRAPH_FILES),
    "loader-forward-link-returned": (GI, "if (next >= back.size() || back[next] != link.from)",
                                     "if (next >= back.size())", GRAPH_FILES),
    "loader-back-link-returned": (GI, "if (next_back_[id] != run.size())", "if (false)", GRAPH_FILES),
    "loader-run-ids-in-range": (GI, "if (other >= count)\n", "if (false)\n", GRAPH_FILES),
    # The loader's checks of the pruned graph's lists, of removed ids and of a generator's state.
    "pruned-loader-level-bound": (PF, "if (state.levels[id] > highest)", "if (false)", NEW_SECTIONS),
    "pruned-loader-list-capacity": (PF, "if (length > state.lists.capacity(layer))", "if (false)", NEW_SECTIONS),
    "pruned-loader-layer-0-link": (PF, "if (layer == 0 && id > 0 && length == 0)", "if (false)", NEW_SECTIONS),
    "pruned-loader-id-range": (PF, "if (neighbour >= count)", "if (false)", NEW_SECTIONS),
    "pruned-loader-self-link": (PF, "if (neighbour == id)", "if (false)", NEW_SECTIONS),
    "pruned-loader-on-layer": (PF, "if (state.levels[neighbour] < layer)", "if (false)", NEW_SECTIONS),
    "pruned-loader-repeats": (PF, "if (seen[neighbour] == list_number)", "if (false)", NEW_SECTIONS),
    "loader-removed-in-range": ("src/io/sections.cpp", "if (ids[i] >= assigned)", "if (false)", NEW_SECTIONS),
    "loader-removed-in-order": ("src/io/sections.cpp", "if (i > 0 && ids[i] <= ids[i - 1])", "if (false)",
                                NEW_SECTIONS),
    "loader-generator-state": ("src/io/sections.cpp", "if (present == 1 && zero_state)", "if (false)", NEW_SECTIONS),
}


def source_files():
    listed = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=ROOT, check=True,
                            capture_output=True).stdout.split(b"\0")
    return sorted(p.decode() for p in listed if p and os.path.isfile(os.path.join(ROOT, p.decode())))


def sync():
    """Makes the scratch tree equal the working tree, touching only what differs
    (so the reused build directories rebuild only that)."""
    wanted = set(source_files())
    for path in wanted:
        src, dst = os.path.join(ROOT, path), os.path.join(TREE, path)
        with open(src, "rb") as f:
            data = f.read()
        if os.path.exists(dst):
            with open(dst, "rb") as f:
                if f.read() == data:
                    continue
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        with open(dst, "wb") as f:
            f.write(data)
    for base, _, names in os.walk(TREE):
        for name in names:
            rel = os.path.relpath(os.path.join(base, name), TREE)
            if rel not in wanted:
                os.remove(os.path.join(TREE, rel))


def mutate(name):
    path, old, new, _ = MUTATIONS[name]
    full = os.path.join(TREE, path)
    with open(full) as f:
        text = f.read()
    found = text.count(old)
    if found != 1:
        print(f"{name}: the snippet occurs {found} times in {path} (must be once): update dev/mutants.sh\n  {old!r}")
        return False
    with open(full, "w") as f:
        f.write(text.replace(old, new))
    return True


def build(tests):
    steps = []
    if tests.startswith("cpp:"):
        steps.append(("core", ["cmake", "-S", os.path.join(TREE, "tests", "cpp"), "-B", CORE], CORE))
    else:
        steps.append(("extension", ["cmake", "-S", TREE, "-B", EXT, f"-DPython_EXECUTABLE={sys.executable}"], EXT))
    for what, configure, directory in steps:
        if not os.path.exists(os.path.join(directory, "build.ninja")):
            subprocess.run(configure + ["-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release"], check=True,
                           capture_output=True)
        done = subprocess.run(["cmake", "--build", directory], capture_output=True, text=True)
        if done.returncode != 0:
            print(done.stdout[-3000:] + done.stderr[-3000:])
            return False
    return True


def run_tests(tests):
    """(caught, what failed)."""
    kind, args = tests.split(":", 1)
    if kind == "cpp":
        command = [os.path.join(CORE, "core_tests"), *args.split()]
        env = dict(os.environ)
    else:
        paths, _, selection = args.partition(" -k ")
        command = [sys.executable, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider", *paths.split()]
        if selection:
            command += ["-k", selection]
        env = dict(os.environ, PYTHONPATH=EXT)
    try:
        done = subprocess.run(command, cwd=TREE, env=env, capture_output=True, text=True, timeout=900)
    except subprocess.TimeoutExpired:
        return True, "timed out (a hang)"
    if done.returncode == 0:
        return False, ""
    lines = (done.stdout + done.stderr).splitlines()
    failed = [l for l in lines if l.startswith("FAILED")] or [l for l in lines if "failed" in l] or lines[-1:]
    if done.returncode < 0:
        failed.append(f"killed by signal {-done.returncode}")
    return True, "; ".join(failed[:3])[:300]


def main(argv):
    if argv[:1] == ["--list"]:
        print("\n".join(MUTATIONS))
        return 0
    names = argv or list(MUTATIONS)
    unknown = [n for n in names if n not in MUTATIONS]
    if unknown:
        print("unknown mutation(s):", ", ".join(unknown))
        return 2
    os.makedirs(TREE, exist_ok=True)
    survived, broken = [], []
    try:
        for name in names:
            sync()
            tests = MUTATIONS[name][3]
            if not mutate(name) or not build(tests):
                broken.append(name)
                continue
            caught, what = run_tests(tests)
            if caught:
                print(f"caught    {name}: {what}", flush=True)
            else:
                print(f"SURVIVED  {name} ({tests})", flush=True)
                survived.append(name)
    finally:
        sync()
    print(f"{len(names) - len(survived) - len(broken)} caught, {len(survived)} survived, {len(broken)} not run")
    return 2 if broken else 1 if survived else 0


sys.exit(main(sys.argv[1:]))
PY
