"""What version 2 of the file format adds, and what it keeps: files of version 1
still load; removals and a seeded index's generator survive every copy; a
seeded index is a function of its calls, down to the bytes of its file."""

import copy
import re
import pickle

import numpy as np
import pytest

import index_format as fmt
from tessra import PyFlat, PyHNSW


def file_bytes(index):
    return index.__reduce__()[1][0]


def data(seed, n=300, dim=8):
    return np.random.default_rng(seed).normal(size=(n, dim))


def copies(index, tmp_path):
    path = tmp_path / "index.tsr"
    index.save(path)
    return [type(index).load(path), pickle.loads(pickle.dumps(index)), copy.deepcopy(index)]


@pytest.mark.parametrize("cls", [PyFlat, PyHNSW])
def test_files_of_version_1_still_load(cls):
    index = cls(8, metric="euclidean")
    index.add(data(1))
    if cls is PyHNSW:
        f = fmt.HNSWFile.decode(file_bytes(index))
        f.version = 1
        old = f.encode()
    else:
        old = fmt.flat_file(8, 0, data(1).tolist(), version=1)
    loaded = cls._from_bytes(old)
    queries = data(2, n=10)
    assert [loaded.search(q, k=5) for q in queries] == [index.search(q, k=5) for q in queries]
    # Saved again, it is a version 2 file with nothing removed and no generator.
    assert file_bytes(loaded) == file_bytes(index)


@pytest.mark.parametrize("cls", [PyFlat, PyHNSW])
def test_removals_survive_every_copy(cls, tmp_path):
    index = cls(8, metric="euclidean")
    index.add(data(3))
    index.remove(list(range(0, 300, 3)))
    queries = data(4, n=10)
    for other in copies(index, tmp_path):
        assert len(other) == len(index) == 200
        assert [other.search(q, k=7) for q in queries] == [index.search(q, k=7) for q in queries]
        with pytest.raises(ValueError, match="^Remove error: id 3 was already removed$"):
            other.remove([3])
        assert other.add(data(5, n=2)).tolist() == [300, 301]


def seeded_build(seed, calls):
    index = PyHNSW(8, metric="euclidean", seed=seed)
    for call, arg in calls:
        getattr(index, call)(*arg)
    return index


CALLS = [("add", (data(6, n=200),)), ("insert", (data(7, n=1)[0],)), ("remove", ([5, 9],)),
         ("create", (data(8, n=50),))]


def test_a_seeded_index_is_a_function_of_its_calls(tmp_path):
    a, b = seeded_build(11, CALLS), seeded_build(11, CALLS)
    assert a.seed == 11 and file_bytes(a) == file_bytes(b)
    assert file_bytes(seeded_build(12, CALLS)) != file_bytes(a)
    # A copy draws on exactly as the original would have.
    for other in copies(a, tmp_path):
        assert other.seed == 11
        more = data(9, n=40)
        other.add(more, threads=2)
        a_again = seeded_build(11, CALLS)
        a_again.add(more, threads=1)
        assert file_bytes(other) == file_bytes(a_again)


def pruned_file(**changes):
    index = PyHNSW(4, metric="euclidean", graph="pruned", m=2)
    index.add(data(10, n=40, dim=4))
    f = fmt.PrunedFile.decode(file_bytes(index))
    for name, change in changes.items():
        change(f) if callable(change) else setattr(f, name, change)
    return f.encode()


def _set_level(f, node, level):
    f.levels[node] = level
    f.lists[node] = (f.lists[node] + [[]] * level)[: level + 1]


def _params(f, **values):
    names = ["dim", "metric", "reserved", "layers", "m", "ef_construction", "ef_search", "count"]
    f.params = tuple(values.get(n, v) for n, v in zip(names, f.params))


@pytest.mark.parametrize(
    "change, message",
    [
        (dict(p=lambda f: _params(f, m=1)), "m of 1"),
        (dict(p=lambda f: _params(f, layers=0)), "no layers"),
        # m = 2 draws at most level 52; with 16 layers at most 15.
        (dict(p=lambda f: _set_level(f, 5, 16)), "node 5 has level 16 (at most 15)"),
        (dict(p=lambda f: f.lists[3][0].__setitem__(0, 3)), "node 3 links to itself"),
        (dict(p=lambda f: f.lists[3].__setitem__(0, [1, 1])), "node 3 links to node 1 twice on layer 0"),
        (dict(p=lambda f: f.lists[3].__setitem__(0, [40])), "node 3 links to node 40 of 40"),
        (dict(p=lambda f: f.lists[3].__setitem__(0, [0, 1, 2, 4, 5])), "node 3 has 5 neighbours on layer 0"),
        (dict(p=lambda f: f.lists[3].__setitem__(0, [])), "node 3 has no neighbour on layer 0"),
        (dict(p=lambda f: (_set_level(f, 3, 1), f.lists[3].__setitem__(1, [next(
            i for i, lv in enumerate(f.levels) if lv == 0)]))), "which is not on it"),
    ],
)
def test_a_pruned_file_that_breaks_a_rule_of_the_build_is_refused(change, message):
    with pytest.raises(ValueError, match=r"^Corrupted index file: .*" + re.escape(message)):
        PyHNSW._from_bytes(pruned_file(**change))


def test_a_pruned_file_round_trips_through_the_independent_reader():
    index = PyHNSW(4, metric="euclidean", graph="pruned", m=2, seed=4)
    index.add(data(10, n=40, dim=4))
    index.remove([2, 3])
    raw = file_bytes(index)
    f = fmt.PrunedFile.decode(raw)
    assert f.encode() == raw and f.removed == [2, 3] and f.params[4] == 2
    assert all(len(ids) <= (4 if layer == 0 else 2) for node in f.lists for layer, ids in enumerate(node))
