"""Uniform wrappers around every index the benchmark compares.

Each wrapper has:
  prepare(base)        untimed: turn the base set into the input its build takes
  build()              timed: construct and fill the index
  release_input()      drop what prepare() made
  search_list(q, k)    one query given as a Python list of floats
  search_numpy(q, k)   one query given as a 1-d float64 numpy array
  returned(raw, base)  (vectors, reported euclidean distances or None) of one result
and, where the index can be persisted:
  save(path)           write the built index to a file
  load(path)           a new wrapper holding the index read back from `path`
All peers are asked to use a single thread, as tessra does."""

from __future__ import annotations

import importlib

import numpy as np

HNSW_M = 16
HNSW_EF_CONSTRUCTION = 200
HNSW_EF_SEARCH = 50


def try_import(name: str):
    """Import a peer lazily; return (module, None) or (None, reason)."""
    try:
        return importlib.import_module(name), None
    except Exception as exc:  # ImportError, or a broken binary wheel
        return None, f"{name} not importable ({type(exc).__name__}: {exc})"


class NumpyBrute:
    name = "numpy brute force"
    exact = True

    def __init__(self, dim: int):
        self.dim = dim

    def prepare(self, base):
        self._src = base

    def build(self):
        self.base = np.array(self._src, dtype=np.float64, copy=True)
        self.norms = np.einsum("ij,ij->i", self.base, self.base)

    def release_input(self):
        self._src = None

    def _search(self, q, k):
        d = self.norms - 2.0 * (self.base @ q)
        k = min(k, d.shape[0])
        part = np.argpartition(d, k - 1)[:k] if k < d.shape[0] else np.arange(d.shape[0])
        return part[np.argsort(d[part], kind="stable")]

    def search_list(self, q, k):
        return self._search(np.asarray(q, dtype=np.float64), k)

    def search_numpy(self, q, k):
        return self._search(q, k)

    def returned(self, raw, base):
        return base[raw], None

    def save(self, path):
        with open(path, "wb") as f:
            np.save(f, self.base)

    def load(self, path):
        other = NumpyBrute(self.dim)
        with open(path, "rb") as f:
            other.base = np.load(f)
        other.norms = np.einsum("ij,ij->i", other.base, other.base)
        return other


class _TessraFile:
    """save/load for both tessra classes (save also fsyncs, which the peers do not)."""

    def save(self, path):
        self.index.save(path)

    def load(self, path):
        other = object.__new__(type(self))
        other.__dict__.update(self.__dict__)
        other.index = type(self.index).load(path)
        return other


class TessraFlat(_TessraFile):
    name = "tessra PyFlat"
    exact = True

    def __init__(self, tessra, dim: int, list_input: bool = False, sketches: bool = True):
        self.tessra = tessra
        self.dim = dim
        self.list_input = list_input
        self.sketches = sketches
        if not sketches:
            self.name = "tessra PyFlat (no sketches)"

    def prepare(self, base):
        # create() takes the 2-d float64 array itself, as the peers do;
        # list_input measures the list-of-lists path instead.
        self._src = base.tolist() if self.list_input else base

    def build(self):
        def make():
            self.index = self.tessra.PyFlat(self.dim)
            self.index.create(self._src)

        if self.sketches:
            make()
        else:
            without_sketches(self.tessra, make)

    def release_input(self):
        self._src = None

    def search_list(self, q, k):
        return self.index.search(q, k)

    search_numpy = search_list

    def returned(self, raw, base):
        ids = np.fromiter((i for i, _ in raw), dtype=np.int64, count=len(raw))
        return base[ids], np.array([d for _, d in raw], dtype=np.float64)


def without_sketches(tessra, build):
    """Runs build() with tessra's sketch bounds off (the hidden hook exists when
    TESSRA_SKETCH_COUNT was set at import): the baseline they are measured against."""
    previous = tessra._sketch_fit_from(2**62)
    try:
        build()
    finally:
        tessra._sketch_fit_from(previous)


class TessraHNSW(_TessraFile):
    name = "tessra PyHNSW"
    exact = False

    def __init__(self, tessra, dim: int, ef_search: int = HNSW_EF_SEARCH, sketches: bool = True):
        self.tessra = tessra
        self.dim = dim
        self.ef_search = ef_search
        self.sketches = sketches
        if not sketches:
            self.name = "tessra PyHNSW (no sketches)"

    def prepare(self, base):
        self._src = base

    def build(self):
        # Defaults: layers 5, ef_construction 200; ef_search is fixed at construction.
        def make():
            self.index = self.tessra.PyHNSW(self.dim, ef_search=self.ef_search, metric="euclidean")
            self.index.create(self._src)

        if self.sketches:
            make()
        else:
            without_sketches(self.tessra, make)

    def release_input(self):
        self._src = None

    def search_list(self, q, k):
        return self.index.search(q, k)

    search_numpy = search_list

    def returned(self, raw, base):
        # The index hands back copies of the stored vectors, not ids.
        if not raw:
            return np.empty((0, self.dim)), np.empty(0)
        vecs = np.array([v for _, v in raw], dtype=np.float64)
        return vecs, np.array([d for d, _ in raw], dtype=np.float64)


class Hnswlib:
    name = "hnswlib"
    exact = False

    def __init__(self, hnswlib, dim: int, ef_search: int = HNSW_EF_SEARCH):
        self.lib = hnswlib
        self.dim = dim
        self.ef_search = ef_search

    def prepare(self, base):
        self._src = base

    def build(self):
        idx = self.lib.Index(space="l2", dim=self.dim)
        idx.init_index(max_elements=self._src.shape[0], ef_construction=HNSW_EF_CONSTRUCTION, M=HNSW_M, random_seed=100)
        idx.set_num_threads(1)
        idx.add_items(self._src)
        idx.set_ef(self.ef_search)
        self.index = idx

    def set_ef(self, ef):
        self.index.set_ef(ef)

    def release_input(self):
        self._src = None

    def search_list(self, q, k):
        return self.index.knn_query(q, k=k)

    search_numpy = search_list

    def returned(self, raw, base):
        labels, _ = raw
        return base[labels[0].astype(np.int64)], None

    def save(self, path):
        self.index.save_index(path)

    def load(self, path):
        other = Hnswlib(self.lib, self.dim, self.ef_search)
        idx = self.lib.Index(space="l2", dim=self.dim)
        idx.load_index(path)
        idx.set_num_threads(1)
        idx.set_ef(self.ef_search)
        other.index = idx
        return other


class _FaissFile:
    def save(self, path):
        self.faiss.write_index(self.index, path)

    def load(self, path):
        other = object.__new__(type(self))
        other.__dict__.update(self.__dict__)
        other.index = self.faiss.read_index(path)
        return other


class FaissFlat(_FaissFile):
    name = "faiss IndexFlatL2"
    exact = True

    def __init__(self, faiss, dim: int):
        self.faiss = faiss
        self.dim = dim

    def prepare(self, base):
        self._src = np.ascontiguousarray(base, dtype=np.float32)

    def build(self):
        self.index = self.faiss.IndexFlatL2(self.dim)
        self.index.add(self._src)

    def release_input(self):
        self._src = None

    def search_list(self, q, k):
        return self.index.search(np.asarray(q, dtype=np.float32).reshape(1, -1), k)

    search_numpy = search_list

    def returned(self, raw, base):
        _, ids = raw
        ids = ids[0][ids[0] >= 0]
        return base[ids], None


class FaissHNSW(FaissFlat):
    name = "faiss IndexHNSWFlat"
    exact = False

    def __init__(self, faiss, dim: int, ef_search: int = HNSW_EF_SEARCH):
        super().__init__(faiss, dim)
        self.ef_search = ef_search

    def build(self):
        idx = self.faiss.IndexHNSWFlat(self.dim, HNSW_M)
        idx.hnsw.efConstruction = HNSW_EF_CONSTRUCTION
        idx.add(self._src)
        idx.hnsw.efSearch = self.ef_search
        self.index = idx

    def set_ef(self, ef):
        self.index.hnsw.efSearch = ef
