"""The graph indexes the benchmark compares, behind one small interface.

Every wrapper has
  build(base, threads, schema=None, metadata=None)  build on `threads` threads
  search(queries, ef)        k = K nearest ids of every query, one batched call
                             on one thread (ids, shape (nq, K), -1 padded)
  one_by_one(rows, ef, keys=None, masks=None)
                             a function that searches every row (a 1 x dim
                             array) with one call per query and returns the
                             found ids per query; keys[i] is the (attribute,
                             value) filter of query i and masks[key] the
                             vectors it lets through
  save(path), load(path)     write the built index, and a new wrapper read
                             back from a file (where the library can)

Parameters are the same for all: M (connectivity) 16 and ef_construction 200.
tessra takes float64 vectors; hnswlib, faiss and usearch take float32, so their
inputs are converted once, before anything is timed."""

from __future__ import annotations

import importlib
import importlib.metadata

import numpy as np

K = 10
M = 16
EF_CONSTRUCTION = 200
SEED = 1
PEERS = ("hnswlib", "faiss", "usearch")


def version(module_name: str) -> str | None:
    """The installed version of a library, or None when it cannot be imported."""
    try:
        module = importlib.import_module(module_name)
    except Exception:  # ImportError, or a broken binary wheel
        return None
    for dist in (module_name, {"faiss": "faiss-cpu"}.get(module_name, module_name)):
        try:
            return importlib.metadata.version(dist)
        except importlib.metadata.PackageNotFoundError:
            continue
    return getattr(module, "__version__", "installed")


def as_input(key: str, array: np.ndarray) -> np.ndarray:
    """What a library is fed: float64 for tessra, float32 for the peers."""
    if key in ("pruned", "full", "flat", "numpy"):
        return array
    return np.ascontiguousarray(array, dtype=np.float32)


class TessraGraph:
    def __init__(self, graph: str):
        self.key = graph
        self.name = f"tessra {graph}"

    def build(self, base, threads, schema=None, metadata=None):
        import tessra

        self.index = tessra.PyHNSW(base.shape[1], metric="euclidean", graph=self.key, m=M,
                                   ef_construction=EF_CONSTRUCTION, schema=schema, seed=SEED)
        self.index.add(base, metadata, threads=threads)

    @property
    def default_ef(self) -> int:
        return self.index.ef_search

    def search(self, queries, ef):
        return self.index.search_batch(queries, K, threads=1, ef_search=ef)[0]

    def one_by_one(self, rows, ef, keys=None, masks=None):
        # search_batch of one row: the ids come back, where search returns vectors.
        search = self.index.search_batch
        if keys is None:
            return lambda: [search(row, K, threads=1, ef_search=ef)[0][0] for row in rows]
        return lambda: [search(row, K, key, threads=1, ef_search=ef)[0][0] for row, key in zip(rows, keys)]

    def save(self, path):
        self.index.save(path)

    def load(self, path):
        other = TessraGraph(self.key)
        other.index = type(self.index).load(path)
        return other

    def pickled(self):
        """(pickle.dumps, pickle.loads) of the index, for the save/load table."""
        import pickle

        return (lambda: pickle.dumps(self.index, protocol=pickle.HIGHEST_PROTOCOL)), pickle.loads


class Hnswlib:
    key = name = "hnswlib"

    def build(self, base, threads, schema=None, metadata=None):
        import hnswlib

        self.dim = base.shape[1]
        self.index = hnswlib.Index(space="l2", dim=self.dim)
        self.index.init_index(max_elements=base.shape[0], M=M, ef_construction=EF_CONSTRUCTION, random_seed=SEED)
        self.index.add_items(base, num_threads=threads)
        self.index.set_num_threads(1)

    def search(self, queries, ef):
        self.index.set_ef(ef)
        return self.index.knn_query(queries, k=K, num_threads=1)[0]

    def one_by_one(self, rows, ef, keys=None, masks=None):
        self.index.set_ef(ef)
        query = self.index.knn_query
        if keys is None:
            return lambda: [query(row, k=K, num_threads=1)[0][0] for row in rows]
        # The filter is a Python callable asked about every node the walk meets:
        # a list's __getitem__ on booleans is the cheapest one there is.
        allow = {key: mask.tolist().__getitem__ for key, mask in masks.items()}
        wanted = {key: min(K, int(mask.sum())) for key, mask in masks.items()}

        def run():
            out = []
            for row, key in zip(rows, keys):
                k = wanted[key]
                while True:
                    # hnswlib raises when it finds fewer than k: ask for fewer.
                    try:
                        out.append(query(row, k=k, num_threads=1, filter=allow[key])[0][0])
                        break
                    except RuntimeError:
                        if k <= 1:
                            out.append(np.empty(0, dtype=np.int64))
                            break
                        k //= 2
            return out

        return run

    def save(self, path):
        self.index.save_index(str(path))

    def load(self, path):
        import hnswlib

        other = Hnswlib()
        other.dim = self.dim
        other.index = hnswlib.Index(space="l2", dim=self.dim)
        other.index.load_index(str(path))
        other.index.set_num_threads(1)
        return other


class Faiss:
    key = name = "faiss"

    def build(self, base, threads, schema=None, metadata=None):
        import faiss

        self.faiss = faiss
        self.index = faiss.IndexHNSWFlat(base.shape[1], M)
        self.index.hnsw.efConstruction = EF_CONSTRUCTION
        faiss.omp_set_num_threads(threads)
        self.index.add(base)
        faiss.omp_set_num_threads(1)

    def search(self, queries, ef):
        self.index.hnsw.efSearch = ef
        return self.index.search(queries, K)[1]

    def one_by_one(self, rows, ef, keys=None, masks=None):
        self.index.hnsw.efSearch = ef
        search = self.index.search
        if keys is None:
            return lambda: [search(row, K)[1][0] for row in rows]
        faiss = self.faiss
        params, self._bitmaps = {}, []
        for key, mask in masks.items():
            bits = np.packbits(mask, bitorder="little")
            self._bitmaps.append(bits)  # the selector points into it: keep it alive
            selector = faiss.IDSelectorBitmap(mask.size, faiss.swig_ptr(bits))
            params[key] = (faiss.SearchParametersHNSW(sel=selector, efSearch=ef), selector)
        return lambda: [search(row, K, params=params[key][0])[1][0] for row, key in zip(rows, keys)]

    def save(self, path):
        self.faiss.write_index(self.index, str(path))

    def load(self, path):
        other = Faiss()
        other.faiss = self.faiss
        other.index = self.faiss.read_index(str(path))
        return other


class Usearch:
    key = name = "usearch"

    def build(self, base, threads, schema=None, metadata=None):
        from usearch.index import Index

        self.index = Index(ndim=base.shape[1], metric="l2sq", dtype="f32", connectivity=M,
                           expansion_add=EF_CONSTRUCTION)
        self.index.add(np.arange(base.shape[0]), base, threads=threads)

    def search(self, queries, ef):
        self.index.expansion_search = ef
        return self.index.search(queries, K, threads=1).keys


class TessraFlat:
    """PyFlat, for the build and memory tables (its searches are in the exact part)."""

    key, name = "flat", "tessra PyFlat"

    def build(self, base, threads, schema=None, metadata=None):
        import tessra

        self.index = tessra.PyFlat(base.shape[1])
        self.index.add(base, threads=threads)

    def search(self, queries, ef):
        return self.index.search_batch(queries, K, threads=1)[0]

    def save(self, path):
        self.index.save(path)

    def load(self, path):
        other = TessraFlat()
        other.index = type(self.index).load(path)
        return other

    pickled = TessraGraph.pickled


def make(key: str):
    """A fresh wrapper for a library key: "pruned", "full", "flat", or a peer's name."""
    if key in ("pruned", "full"):
        return TessraGraph(key)
    return {"flat": TessraFlat, "hnswlib": Hnswlib, "faiss": Faiss, "usearch": Usearch}[key]()


def display(key: str) -> str:
    return make(key).name


def recall(found, truth) -> float:
    """Share of the true neighbours found: found and truth hold one id array per
    query (padding ids below 0 are ignored); a query without true neighbours
    counts for nothing."""
    hits = total = 0
    for f, t in zip(found, truth):
        t = [int(i) for i in t]
        hits += len(set(int(i) for i in f if i >= 0) & set(t))
        total += len(t)
    return hits / total if total else float("nan")
