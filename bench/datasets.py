"""Benchmark data sets: the MNIST test images (an IDX file), generated images
in their place when there is no file, and generated clustered and uniform sets.
Every set is float64, C-contiguous, split into base and queries, and fixed by
its seed."""

from __future__ import annotations

import gzip
import struct
from dataclasses import dataclass

import numpy as np

CLUSTERED_SEED = 20240611


@dataclass
class Dataset:
    name: str
    base: np.ndarray  # (n, dim) float64
    queries: np.ndarray  # (nq, dim) float64
    note: str = ""

    @property
    def n(self) -> int:
        return self.base.shape[0]

    @property
    def dim(self) -> int:
        return self.base.shape[1]

    @property
    def nq(self) -> int:
        return self.queries.shape[0]


def read_idx(path: str) -> np.ndarray:
    """Read an IDX file (plain or gzip-compressed) of unsigned bytes.

    Returns an array of shape (count, *dims) with dtype uint8."""
    with open(path, "rb") as raw:
        head = raw.read(2)
    opener = gzip.open if head == b"\x1f\x8b" else open
    with opener(path, "rb") as f:
        data = f.read()
    if len(data) < 4:
        raise ValueError(f"{path}: too short for an IDX file")
    zero, dtype_code, ndim = struct.unpack(">HBB", data[:4])
    if zero != 0 or dtype_code != 0x08:
        raise ValueError(f"{path}: not an unsigned-byte IDX file (magic {data[:4].hex()})")
    shape = struct.unpack(">" + "I" * ndim, data[4 : 4 + 4 * ndim])
    payload = data[4 + 4 * ndim :]
    expected = int(np.prod(shape))
    if len(payload) != expected:
        raise ValueError(f"{path}: payload has {len(payload)} bytes, header says {expected}")
    return np.frombuffer(payload, dtype=np.uint8).reshape(shape)


def load_mnist(path: str, n: int, nq: int) -> Dataset:
    """The images of an IDX file as float64 vectors: the last tenth (at most
    1,000) are the queries, the images before them the base; the first n base
    images and the first nq queries are kept."""
    images = read_idx(path)
    flat = images.reshape(images.shape[0], -1).astype(np.float64)
    if flat.shape[0] < 2:
        raise ValueError(f"{path}: needs at least two images")
    split = flat.shape[0] - min(1000, flat.shape[0] // 10 or 1)
    base, queries = flat[: min(n, split)], flat[split : split + nq]
    return Dataset("mnist", np.ascontiguousarray(base), np.ascontiguousarray(queries),
                   note=f"MNIST images from {path}, uint8 pixels as float64")


def digits(n: int, nq: int, seed: int = CLUSTERED_SEED + 2) -> Dataset:
    """Generated 28 x 28 images standing in for MNIST when no file is given: ten
    shapes (rings of different sizes crossed by a bar), each drawn with noise,
    as whole pixel values 0..255."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:28, 0:28]
    shapes = []
    for c in range(10):
        radius = 4 + (c % 5) * 1.8
        ring = np.abs(np.hypot(y - 14, x - 14) - radius) < 1.6
        bar = np.abs(x - (6 + 1.7 * c)) < 1.2 if c < 5 else np.abs(y - (6 + 1.7 * (c - 5))) < 1.2
        shapes.append(np.where(ring | bar, 230.0, 0.0).ravel())
    shapes = np.array(shapes)

    def draw(count: int) -> np.ndarray:
        noisy = shapes[rng.integers(0, 10, size=count)] + rng.normal(0, 40, size=(count, 784))
        return np.clip(noisy, 0, 255).round()

    base = draw(n)
    queries = draw(nq)
    return Dataset("digits", np.ascontiguousarray(base), np.ascontiguousarray(queries),
                   note=f"generated 28 x 28 images (no MNIST file given), seed {seed}")


def load(spec: dict) -> Dataset:
    """The data set a spec names: {"kind": "mnist", "path", "n", "nq"}, or
    {"kind": "digits" | "clustered" | "uniform", "n", "nq"}. Specs travel to
    child processes, which rebuild the same set from them."""
    kind, n, nq = spec["kind"], spec["n"], spec["nq"]
    if kind == "mnist":
        return load_mnist(spec["path"], n, nq)
    if kind == "digits":
        return digits(n, nq)
    if kind == "clustered":
        return clustered(n, nq)
    if kind == "uniform":
        return uniform(n, nq)
    raise ValueError(f"unknown data set kind {kind!r}")


def clustered(n: int, nq: int, dim: int = 128, clusters: int = 100, seed: int = CLUSTERED_SEED) -> Dataset:
    """Gaussian clusters: centres ~ N(0, 1) per component, points ~ centre + N(0, 0.35^2).

    Queries are drawn the same way (a random cluster, then noise) after the base,
    from the same generator, so the set is fixed by the seed."""
    rng = np.random.default_rng(seed)
    centres = rng.normal(0.0, 1.0, size=(clusters, dim))
    spread = 0.35

    def draw(count: int) -> np.ndarray:
        labels = rng.integers(0, clusters, size=count)
        return centres[labels] + rng.normal(0.0, spread, size=(count, dim))

    base = draw(n)
    queries = draw(nq)
    return Dataset(
        f"clustered-{n // 1000}k" if n >= 1000 else f"clustered-{n}",
        np.ascontiguousarray(base),
        np.ascontiguousarray(queries),
        note=f"{clusters} Gaussian clusters, dim {dim}, seed {seed}",
    )


def exact_knn(base: np.ndarray, queries: np.ndarray, k: int, chunk: int = 64):
    """Exact float64 euclidean k nearest neighbours.

    Candidates come from the expanded form |x|^2 - 2 x.q, then the best k + 16
    are re-ranked with the direct difference so rounding in the expansion cannot
    change the answer. Returns (ids, distances), each (nq, k)."""
    k = min(k, base.shape[0])
    extra = min(base.shape[0], k + 16)
    norms = np.einsum("ij,ij->i", base, base)
    ids = np.empty((queries.shape[0], k), dtype=np.int64)
    dists = np.empty((queries.shape[0], k), dtype=np.float64)
    for start in range(0, queries.shape[0], chunk):
        q = queries[start : start + chunk]
        partial = norms[None, :] - 2.0 * (q @ base.T)
        cand = np.argpartition(partial, extra - 1, axis=1)[:, :extra]
        for row in range(q.shape[0]):
            c = cand[row]
            d = np.sqrt(((base[c] - q[row]) ** 2).sum(axis=1))
            order = np.lexsort((c, d))[:k]
            ids[start + row] = c[order]
            dists[start + row] = d[order]
    return ids, dists


def uniform(n: int, nq: int, dim: int = 32, seed: int = CLUSTERED_SEED + 1) -> Dataset:
    """Points uniform in the unit cube, queries drawn the same way after the base."""
    rng = np.random.default_rng(seed)
    base = rng.random((n, dim))
    queries = rng.random((nq, dim))
    return Dataset(
        f"uniform-{n // 1000}k" if n >= 1000 else f"uniform-{n}",
        np.ascontiguousarray(base),
        np.ascontiguousarray(queries),
        note=f"uniform in [0, 1)^{dim}, seed {seed}",
    )


def filtered_knn(base: np.ndarray, queries: np.ndarray, allowed: list, k: int):
    """Exact k nearest among the allowed vectors of each query: allowed[i] is a
    boolean mask over the base. Returns one int64 array of ids (at most k, nearest
    first) per query. Queries sharing a mask are answered together."""
    out: list = [None] * queries.shape[0]
    groups: dict = {}
    for i, mask in enumerate(allowed):
        groups.setdefault(id(mask), (mask, []))[1].append(i)
    for mask, rows in groups.values():
        ids = np.flatnonzero(mask)
        if ids.size == 0:
            for i in rows:
                out[i] = np.empty(0, dtype=np.int64)
            continue
        found, _ = exact_knn(base[ids], queries[rows], k)
        for i, local in zip(rows, found):
            out[i] = ids[local]
    return out
