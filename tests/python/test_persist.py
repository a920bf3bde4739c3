"""Indexes that outlive the process: save/load, pickle and deepcopy give back
the same index (every search bit for bit, ids continuing), the files follow
docs/format.md field by field, and damaged or hostile files are refused with
ValueError without crashing or allocating beyond their size."""

import copy
import errno
import math
import os
import pickle
import random
import resource
import struct
import subprocess
import sys
import threading

import pytest

from tessra import PyFlat, PyHNSW

import index_format as fmt
import load_shapes

SANITIZED = os.environ.get("TESSRA_SANITIZED") == "1"


def file_bytes(index):
    """The file contents, as pickling carries them."""
    return index.__reduce__()[1][0]


def via_save(index, tmp_path):
    path = tmp_path / "index.tsr"
    index.save(path)
    return type(index).load(str(path))


ROUND_TRIPS = {
    "save-load": via_save,
    "pickle": lambda index, _: pickle.loads(pickle.dumps(index, protocol=pickle.HIGHEST_PROTOCOL)),
    "pickle-2": lambda index, _: pickle.loads(pickle.dumps(index, protocol=2)),
    "deepcopy": lambda index, _: copy.deepcopy(index),
    "copy": lambda index, _: copy.copy(index),
}


def outcome(call):
    """repr of the result (exact for floats, NaN included) or of the exception."""
    try:
        return repr(call())
    except Exception as error:  # noqa: BLE001 - the same failure is part of the same behaviour
        return f"{type(error).__name__}: {error}"


def vectors(rng, n, dim, special=False):
    pool = [0.0, -0.0, 1.0, -2.5, 1e-300, 1e300]
    if special:
        pool += [math.nan, math.inf, -math.inf]
    return [[rng.choice(pool) if rng.random() < 0.2 else rng.uniform(-3, 3) for _ in range(dim)] for _ in range(n)]


def same_searches(a, b, rng, dim, filters=(None,)):
    for query in vectors(rng, 25, dim, special=True):
        k = rng.choice([1, 3, 10, 200])
        for f in filters:
            args = {} if f is None else {"filter": f}
            assert outcome(lambda: a.search(query, k, **args)) == outcome(lambda: b.search(query, k, **args))


# ---------------------------------------------------------------- round trips


@pytest.mark.parametrize("via", ROUND_TRIPS)
@pytest.mark.parametrize("metric", [None, "cosine", "inner_product", "unknown"])
@pytest.mark.parametrize("n, special", [(0, False), (1, False), (70, False), (70, True)])
def test_flat_round_trip(via, metric, n, special, tmp_path):
    rng = random.Random(n * 7 + special)
    original = PyFlat(5, metric)
    data = vectors(rng, n, 5, special)
    if data:
        original.create(data)
    loaded = ROUND_TRIPS[via](original, tmp_path)
    assert type(loaded) is PyFlat and loaded is not original
    assert (len(loaded), loaded.dim, loaded.metric) == (len(original), original.dim, original.metric)
    same_searches(original, loaded, rng, 5)
    assert file_bytes(loaded) == file_bytes(original)
    # Ids continue where they stopped.
    for index in (original, loaded):
        index.insert([9.0] * 5)
    assert n in [i for i, _ in loaded.search([9.0] * 5, n + 1)]
    same_searches(original, loaded, rng, 5)


HNSW_CASES = [
    # metric, layers, schema, n, special
    ("euclidean", 1, None, 60, False),
    ("angular", 5, ["colour", "size"], 80, False),
    ("inner_product", 3, ["colour", "size"], 50, True),
    ("euclidean", 300, ["colour", "size"], 40, False),
    ("euclidean", 2**64 - 1, None, 20, False),
    ("euclidean", 5, ["colour", "size"], 0, False),
    ("angular", 1, [], 1, False),
    ("euclidean", 0, None, 5, False),
]


@pytest.mark.parametrize("via", ROUND_TRIPS)
@pytest.mark.parametrize("metric, layers, schema, n, special", HNSW_CASES)
def test_hnsw_round_trip(via, metric, layers, schema, n, special, tmp_path):
    rng = random.Random(layers % 1000 + n)
    original = PyHNSW(3, layers=layers, m=7, ef_construction=16, ef_search=12, metric=metric, schema=schema)
    for v in vectors(rng, n, 3, special):
        # Some nodes without a record; text, integer and float values, NaN included.
        if schema and rng.random() < 0.7:
            original.insert(v, [("colour", rng.choice(["red", "blé", ""])),
                                ("size", rng.choice([1, -4, 2.5, math.nan]))])
        else:
            original.insert(v)
    loaded = ROUND_TRIPS[via](original, tmp_path)
    assert type(loaded) is PyHNSW and loaded is not original
    for name in ("dim", "metric", "layers", "m", "ef_construction", "ef_search", "schema"):
        assert getattr(loaded, name) == getattr(original, name), name
    assert len(loaded) == len(original) == n
    filters = (None, ("colour", "red"), ("size", 1), ("size", 2.5)) if schema else (None,)
    same_searches(original, loaded, rng, 3, filters)
    assert file_bytes(loaded) == file_bytes(original)
    if layers != 0 and metric == "euclidean":
        loaded.insert([50.0, 50.0, 50.0])
        assert len(loaded) == n + 1
        assert loaded.search([50.0, 50.0, 50.0])[0][1] == [50.0, 50.0, 50.0]


def test_pickle_in_a_fresh_process_finds_the_module_itself():
    index = PyHNSW(2, metric="euclidean", schema=["tag"])
    index.insert([1.0, 2.0], [("tag", "a")])
    index.insert([3.0, 4.0])
    flat = PyFlat(2)
    flat.insert([1.0, 2.0])
    code = ("import pickle, sys; h, f = pickle.load(sys.stdin.buffer); "
            "print(type(h).__name__, h.search([3, 4], 2), f.search([1, 2]))")
    run = subprocess.run([sys.executable, "-c", code], input=pickle.dumps((index, flat)), capture_output=True,
                         timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.decode().strip() == f"PyHNSW {index.search([3, 4], 2)} [(0, 0.0)]"


LOADER = "type(tessra.{cls}.__reduce__()[0])"
HELPER_MISUSES = [
    LOADER + "()(b'')",
    LOADER + "()",
    LOADER + ".__new__(" + LOADER + ")",
    "object.__new__(" + LOADER + ")",
    LOADER + ".__call__(tessra.PyHNSW(2, metric='euclidean'), b'')",
    LOADER + ".__reduce__(tessra.PyFlat(1))",
]


@pytest.mark.parametrize("misuse", HELPER_MISUSES)
def test_the_pickle_loader_type_cannot_be_made_or_misused(misuse):
    """The callable pickle finds the loader by exists only as __reduce__ makes
    it: a plain instance (no target) or a call on something else is a TypeError."""
    for cls in ("PyFlat(2)", "PyHNSW(2, metric='euclidean')"):
        code = f"import tessra\ntry:\n    {misuse.format(cls=cls)}\nexcept TypeError as error:\n    print('TypeError')"
        run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        assert (run.returncode, run.stdout.strip()) == (0, "TypeError"), run.stderr[-2000:]


def test_attributes_are_read_only_and_schema_a_copy():
    index = PyHNSW(4, layers=2, m=3, ef_construction=5, ef_search=6, metric="angular", schema=["a", "b"])
    assert (index.dim, index.metric, index.layers, index.m, index.ef_construction, index.ef_search) == (
        4, "angular", 2, 3, 5, 6)
    index.schema.append("c")
    assert index.schema == ["a", "b"]
    assert PyHNSW(1, metric="euclidean").schema is None
    assert (PyFlat(2).metric, PyFlat(2, "cosine").metric, PyFlat(2, "inner_product").metric) == (
        "euclidean", "cosine", "inner_product")
    for obj, name in [(index, "dim"), (index, "schema"), (index, "layers"), (PyFlat(2), "metric")]:
        with pytest.raises(AttributeError):
            setattr(obj, name, 1)
    assert len(PyFlat(0)) == 0


# ---------------------------------------------------------------- the format


def test_hnsw_file_follows_the_documented_layout():
    rng = random.Random(3)
    index = PyHNSW(3, layers=4, m=2, ef_construction=9, ef_search=7, metric="inner_product", schema=["c", "s"])
    inserted, records = vectors(rng, 40, 3, special=True), []
    for v in inserted:
        record = [("c", rng.choice(["x", "yé"])), ("s", rng.choice([7, 0.25]))] if rng.random() < 0.5 else None
        index.insert(v, record)
        records.append(record)
    data = file_bytes(index)
    f = fmt.HNSWFile.decode(data)
    assert (f.dim, f.metric, f.layers, f.m, f.ef_construction, f.ef_search, f.count) == (3, 2, 4, 2, 9, 7, 40)
    assert f.schema == [b"c", b"s"]
    assert struct.pack("<120d", *f.vectors) == struct.pack("<120d", *[x for v in inserted for x in v])
    assert f.levels[0] == 3 and all(level <= 3 for level in f.levels)
    assert all(0 <= i < 40 for run in f.runs for i in run)
    for record, stored in zip(records, f.records):
        if record is None:
            assert stored is None
        else:
            expected = [(0, value.encode()) if isinstance(value, str) else (1 if isinstance(value, int) else 2, value)
                        for _, value in record]
            assert stored == expected
    assert f.encode() == data


def test_flat_file_follows_the_documented_layout(tmp_path):
    rows = vectors(random.Random(4), 9, 4, special=True)
    index = PyFlat(4, "inner_product")
    index.create(rows)
    assert file_bytes(index) == fmt.flat_file(4, 2, rows)
    index.save(tmp_path / "f.tsr")
    assert (tmp_path / "f.tsr").read_bytes() == fmt.flat_file(4, 2, rows)


# ---------------------------------------------------------------- damaged and hostile files


def small_hnsw():
    index = PyHNSW(2, layers=3, m=4, ef_construction=4, ef_search=4, metric="euclidean", schema=["t", "n"])
    for i in range(4):
        index.insert([float(i), 1.0], [("t", "ab"), ("n", i)] if i % 2 else None)
    return index


def small_flat():
    index = PyFlat(2)
    index.create([[1.0, 2.0], [3.0, 4.0]])
    return index


@pytest.mark.parametrize("make", [small_hnsw, small_flat])
def test_every_truncation_and_every_flipped_bit_is_refused(make):
    index = make()
    cls = type(index)
    data = file_bytes(index)
    for size in range(len(data)):
        with pytest.raises(ValueError):
            cls._from_bytes(data[:size])
    for bit in range(len(data) * 8):
        damaged = bytearray(data)
        damaged[bit // 8] ^= 1 << (bit % 8)
        with pytest.raises(ValueError):
            cls._from_bytes(bytes(damaged))


def _hnsw_file(**changes):
    f = fmt.HNSWFile.decode(file_bytes(small_hnsw()))
    for name, value in changes.items():
        setattr(f, name, value(f) if callable(value) else value)
    return f.encode()


def _flip_runs_payload(data):
    f = fmt.split(data)
    at = 20
    for tag, payload in f.sections:
        if tag == 5:
            break
        at += 16 + len(payload) + 4
    damaged = bytearray(data)
    damaged[at + 16] ^= 0x10
    return bytes(damaged)


HUGE = 2**62
HOSTILE = {
    "empty": (b"", "Not a tessra index file"),
    "text": (b"hello, this is not an index at all", "Not a tessra index file"),
    "version": (fmt.File(2, [], version=7).encode(), r"Unsupported index file version 7 \(this build reads 1 to 2\)"),
    "kind": (fmt.File(1, []).encode(), "File holds a PyFlat index, not a PyHNSW index"),
    "unknown-kind": (fmt.File(9, []).encode(), "Corrupted index file: unknown index kind 9"),
    "header-only": (fmt.File(2, []).encode(), "Truncated index file"),
    "runs-checksum": (_flip_runs_payload(file_bytes(small_hnsw())),
                      "Corrupted index file: checksum mismatch in section 'runs'"),
    "huge-count": (_hnsw_file(count=HUGE), "more nodes than an index can number"),
    "count-beyond-vectors": (_hnsw_file(count=2**32 - 1), "length does not match"),
    "huge-dim": (_hnsw_file(dim=HUGE), "length does not match"),
    "dim-zero": (_hnsw_file(dim=0), "dimension 0"),
    "id-out-of-range": (_hnsw_file(runs=lambda f: f.runs[:3] + [f.runs[3] + [4]]), "node 3 links to node 4 of 4"),
    "level-too-high": (_hnsw_file(levels=[2, 0, 3, 0]), "node 2 has level 3"),
    "first-level": (_hnsw_file(levels=[1, 0, 0, 0]), "node 0 has level 1"),
    "metric": (_hnsw_file(metric=3), "unknown metric code 3"),
    "schema-utf8": (_hnsw_file(schema=[b"t", b"\xed\xa0\x80"]), "not valid UTF-8"),
    "value-utf8": (_hnsw_file(records=lambda f: [None, [(0, b"\xff"), (1, 1)], None, None]), "not valid UTF-8"),
    "value-kind": (_hnsw_file(records=lambda f: [None, [(3, 1), (1, 1)], None, None]), "unknown kind 3"),
    "record-without-schema": (_hnsw_file(schema=None), "has a record but the index has no schema"),
    "short-record": (_hnsw_file(schema=[b"t", b"n", b"extra"]), "Corrupted index file"),
    "section-order": (_hnsw_file(tags=(1, 3, 2, 4, 5, 6)), "expected this section, found tag 3"),
    "trailing": (file_bytes(small_hnsw()) + b"\0", "unexpected data after the last section"),
    "flat-huge-count": (fmt.flat_file(2, 0, [[1.0, 2.0]], count=HUGE), "length does not match"),
    "flat-dim-zero": (fmt.flat_file(0, 0, [], count=5), "vectors in an index of dimension 0"),
    "removed-beyond": (_hnsw_file(removed=[1, 4]), "removed id 4 of 4 ids"),
    "removed-order": (_hnsw_file(removed=[2, 1]), "removed ids out of order at 1"),
    "removed-twice": (_hnsw_file(removed=[2, 2]), "removed ids out of order at 2"),
    "flat-removed-beyond": (fmt.flat_file(2, 0, [[1.0, 2.0]], removed=[1]), "removed id 1 of 1 ids"),
    "generator-zero-state": (_hnsw_file(generator=(5, (0, 0, 0, 0))), "the generator's state is all zero"),
    "pruned-kind-in-version-1": (fmt.File(3, [], version=1).encode(), "unknown index kind 3"),
}


def _huge_length(data, tag):
    """`data` with section `tag` declaring 2**62 bytes (the checksum cannot be right for a length that large)."""
    f, at = fmt.split(data), 20
    for t, payload in f.sections:
        if t == tag:
            break
        at += 16 + len(payload) + 4
    return data[: at + 8] + struct.pack("<Q", HUGE) + data[at + 16 :]


def _patch_section(data, tag, change):
    """`data` with the payload of section `tag` changed and every checksum valid."""
    f = fmt.split(data)
    f.sections = [(t, change(p) if t == tag else p) for t, p in f.sections]
    return f.encode()


HOSTILE["huge-run"] = (_patch_section(file_bytes(small_hnsw()), 5, lambda p: struct.pack("<Q", HUGE) + p[8:]),
                       "run of node 0 runs past the end of the section")
HOSTILE["huge-name-count"] = (_patch_section(file_bytes(small_hnsw()), 2, lambda p: p[:8] + struct.pack("<Q", HUGE) + p[16:]),
                              "more attribute names than the section holds")
HOSTILE["huge-text"] = (_patch_section(file_bytes(small_hnsw()), 2, lambda p: p[:16] + struct.pack("<Q", HUGE) + p[24:]),
                        "text runs past the end of the section")
HOSTILE["section-length-short"] = (_patch_section(file_bytes(small_hnsw()), 1, lambda p: p[:-8]), "unexpected length")
HOSTILE["huge-section"] = (_huge_length(file_bytes(small_hnsw()), 3),
                           "Truncated index file: section 'vectors' ends past the end of the file")


@pytest.mark.parametrize("name", sorted(HOSTILE))
def test_hostile_files_are_refused_without_large_allocations(name, tmp_path):
    data, message = HOSTILE[name]
    cls = PyFlat if name.startswith("flat-") else PyHNSW
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    with pytest.raises(ValueError, match=message):
        cls._from_bytes(data)
    path = tmp_path / "hostile.tsr"
    path.write_bytes(data)
    with pytest.raises(ValueError, match=message):
        cls.load(path)
    grown_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    assert grown_kib < 64 * 1024


BUILD_SHAPE = """
import sys
import load_shapes
load_shapes.SHAPES[sys.argv[1]](1.0).save(sys.argv[2])
"""


@pytest.mark.slow
@pytest.mark.skipif(SANITIZED, reason="resident sizes mean nothing under AddressSanitizer")
@pytest.mark.parametrize("shape", sorted(load_shapes.SHAPES))
def test_loading_peaks_within_the_documented_bound(shape, tmp_path):
    """docs/format.md: loading takes at most PEAK_FACTOR times the file's size
    plus PEAK_CONSTANT beyond what the process held, on the files whose nodes
    cost the most in memory against their bytes in the file."""
    path = tmp_path / "shape.tsr"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(__file__)] + sys.path))
    built = subprocess.run([sys.executable, "-c", BUILD_SHAPE, shape, str(path)], env=env, capture_output=True,
                           text=True, timeout=600)
    assert built.returncode == 0, built.stderr[-2000:]
    size = path.stat().st_size
    run = subprocess.run([sys.executable, "-c", load_shapes.MEASURE_LOAD, str(path)], env=env, capture_output=True,
                         text=True, timeout=600)
    assert run.returncode == 0, run.stderr[-2000:]
    peak = int(run.stdout.split()[0])
    assert peak <= load_shapes.PEAK_FACTOR * size + load_shapes.PEAK_CONSTANT, (peak, size)


def test_kind_mismatch_names_both_classes(tmp_path):
    small_flat().save(tmp_path / "flat.tsr")
    with pytest.raises(ValueError, match="^File holds a PyFlat index, not a PyHNSW index$"):
        PyHNSW.load(tmp_path / "flat.tsr")


def test_operating_system_errors(tmp_path):
    missing = tmp_path / "missing.tsr"
    with pytest.raises(FileNotFoundError) as raised:
        PyFlat.load(missing)
    assert raised.value.filename == missing
    with pytest.raises(IsADirectoryError):
        PyFlat.load(tmp_path)
    with pytest.raises(FileNotFoundError):
        small_flat().save(tmp_path / "no" / "such" / "dir.tsr")
    with pytest.raises(OSError):
        small_flat().save(tmp_path)  # a directory cannot be replaced by a file
    with pytest.raises(TypeError, match="argument 'path'"):
        small_flat().save(3)
    with pytest.raises(ValueError, match="embedded null byte"):
        PyFlat.load("a\0b")
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    with pytest.raises(ValueError, match="Not a tessra index file"):  # and it does not wait for a writer
        PyFlat.load(fifo)
    assert sorted(os.listdir(tmp_path)) == ["fifo"]


@pytest.mark.parametrize("length", [1, 200, 240, os.pathconf("/", "PC_NAME_MAX")])
def test_save_takes_every_name_the_file_system_takes(length, tmp_path):
    path = tmp_path / ("n" * length)
    for content in (small_flat(), PyFlat(2)):  # a new file, then one replaced
        content.save(path)
        assert file_bytes(PyFlat.load(path)) == file_bytes(content)
        assert os.listdir(tmp_path) == [path.name]


def _links(tmp_path, shape):
    """(path to save to, the file it must end up in) for a shape of symbolic links."""
    data, other = tmp_path / "data", tmp_path / "other"
    data.mkdir()
    other.mkdir()
    target = data / "index.tsr"
    if shape != "dangling":
        small_flat().save(target)
    if shape in ("link", "dangling"):
        (other / "link").symlink_to(target)
    elif shape == "relative":
        (other / "link").symlink_to("../data/index.tsr")
    elif shape == "chain":  # absolute, then relative, then absolute again
        (data / "second").symlink_to("index.tsr")
        (tmp_path / "first").symlink_to(data / "second")
        (other / "link").symlink_to(tmp_path / "first")
    return other / "link", target


@pytest.mark.parametrize("shape", ["link", "dangling", "relative", "chain"])
def test_save_through_a_symlink_replaces_the_file_it_names(shape, tmp_path):
    path, target = _links(tmp_path, shape)
    links = {p: os.readlink(p) for p in tmp_path.rglob("*") if p.is_symlink()}
    index = PyFlat(2)
    index.create([[float(i), 1.0] for i in range(30)])
    index.save(path)
    # Every link is still the same link, and the file at the end of them holds the new index.
    assert {p: os.readlink(p) for p in tmp_path.rglob("*") if p.is_symlink()} == links
    assert target.is_file() and not target.is_symlink()
    assert file_bytes(PyFlat.load(target)) == file_bytes(PyFlat.load(path)) == file_bytes(index)
    assert sorted(p.name for p in target.parent.iterdir() if not p.is_symlink()) == ["index.tsr"]
    assert [p.name for p in path.parent.iterdir()] == ["link"]


def test_save_through_a_symlink_loop_or_to_a_directory_fails_cleanly(tmp_path):
    (tmp_path / "loop").symlink_to(tmp_path / "loop")
    with pytest.raises(OSError) as raised:
        small_flat().save(tmp_path / "loop")
    assert raised.value.errno == errno.ELOOP
    (tmp_path / "dir").mkdir()
    (tmp_path / "to-dir").symlink_to(tmp_path / "dir")
    with pytest.raises(OSError):
        small_flat().save(tmp_path / "to-dir")
    assert sorted(os.listdir(tmp_path)) == ["dir", "loop", "to-dir"] and os.listdir(tmp_path / "dir") == []


def test_save_replaces_the_file_whole(tmp_path):
    path = tmp_path / "index.tsr"
    small_flat().save(path)
    bigger = PyFlat(2)
    bigger.create([[float(i), 0.0] for i in range(100)])
    os.chmod(path, 0o600)
    bigger.save(os.fsencode(path))  # bytes paths work too
    assert len(PyFlat.load(path)) == 100
    assert os.listdir(tmp_path) == ["index.tsr"]
    assert os.stat(path).st_mode & 0o777 == 0o600  # a replaced file keeps its permissions


def test_interrupted_save_leaves_the_previous_file(tmp_path):
    """A write that fails midway (the file-size limit here) keeps the old file and removes the temporary."""
    path = tmp_path / "index.tsr"
    small_flat().save(path)
    before = path.read_bytes()
    code = f"""
import resource, signal, sys
from tessra import PyFlat
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
index = PyFlat(64)
index.create([[float(i)] * 64 for i in range(4000)])
resource.setrlimit(resource.RLIMIT_FSIZE, (100000, resource.RLIM_INFINITY))
try:
    index.save({str(path)!r})
except OSError as error:
    print(type(error).__name__, error.errno)
"""
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split()[0] == "OSError" and run.stdout.split()[1] == "27"  # EFBIG
    assert path.read_bytes() == before
    assert os.listdir(tmp_path) == ["index.tsr"]


def test_save_runs_beside_searches_and_holds_off_insertions(tmp_path):
    index = PyHNSW(16, metric="euclidean", ef_construction=8)
    index.create([[float(i % 7)] * 16 for i in range(3000)])
    outcomes, failures, stop = [], [], threading.Event()

    def insert_loop():
        # Whatever goes wrong here is checked by the test's own thread (a
        # failed assertion in this thread would only print a warning).
        try:
            while not stop.is_set():
                try:
                    index.insert([1.0] * 16)
                    outcomes.append("inserted")
                except RuntimeError as error:
                    outcomes.append(str(error))
                index.search([0.0] * 16)
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append(error)

    thread = threading.Thread(target=insert_loop)
    thread.start()
    try:
        for i in range(5):
            while True:
                try:
                    index.save(tmp_path / f"i{i}.tsr")
                    break
                except RuntimeError as error:  # an insertion was under way
                    assert str(error) == "Already mutably borrowed"
    finally:
        stop.set()
        thread.join()
    assert not failures, failures
    assert set(outcomes) <= {"inserted", "Already borrowed"} and "inserted" in outcomes, set(outcomes)
    for i in range(5):
        loaded = PyHNSW.load(tmp_path / f"i{i}.tsr")
        assert 3000 <= len(loaded) <= 3000 + outcomes.count("inserted")
