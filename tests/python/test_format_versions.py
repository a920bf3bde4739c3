"""What version 2 of the file format adds, and what it keeps: files of version 1
still load; removals and a seeded index's generator survive every copy; a
seeded index is a function of its calls, down to the bytes of its file."""

import copy
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
