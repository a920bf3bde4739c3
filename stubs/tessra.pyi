"""Type information for the tessra extension module."""

import os
from collections.abc import Callable, Sequence
from typing import Any, Literal, SupportsFloat, SupportsIndex, Union, final

import numpy as np
import numpy.typing as npt

__all__ = ["PyFlat", "PyHNSW"]

# A vector: any sequence of numbers, or a 1-d numpy array.
_Vector = Union[Sequence[SupportsFloat | SupportsIndex], npt.NDArray[Any]]
# Several vectors: a sequence of vectors, or a 2-d numpy array.
_Vectors = Union[Sequence[_Vector], npt.NDArray[Any]]
# A metadata value is stored as text, a 64-bit integer or a float, tried in that order.
_MetadataValue = Union[str, SupportsIndex, SupportsFloat]
# Pairs naming no schema attribute are ignored, so their values may be anything.
_MetadataPairs = Sequence[tuple[str, object]]
# A file-system path, as open() takes it.
_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
# The result of search_batch: ids (int64) and distances (float64), one row per query.
_BatchResult = tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]

_Ids = Union[SupportsIndex, Sequence[SupportsIndex], npt.NDArray[np.integer[Any]]]

@final
class PyFlat:
    """Our Python-facing Flat index."""

    def __new__(cls, dim: SupportsIndex, metric: str | None = None) -> PyFlat: ...
    def insert(self, vector: _Vector) -> None:
        """Insert a vector into the index.

        The vector is expected as a list of floats whose length equals the index dimension."""
    def search(self, query: _Vector, k: SupportsIndex | None = None) -> list[tuple[int, float]]:
        """Search for the k nearest neighbors.

        Returns a list of tuples `(id, distance)`."""
    def create(self, vectors: _Vectors) -> None:
        """Create an index from a list of vectors."""
    def add(
        self,
        vectors: _Vectors,
        *,
        threads: SupportsIndex | None = None,
        progress: bool | Callable[[int, int], object] | None = None,
    ) -> npt.NDArray[np.int64]:
        """Append the vectors in order, as create does, and return their ids as a numpy int64 array.

        An index of dimension 0 stores no vectors, so it refuses with ValueError."""
    def remove(self, ids: _Ids) -> None:
        """Remove vectors by id: an int, a sequence of ints or a 1-d integer numpy array.

        Removed vectors are never returned by a search again, len() counts the vectors that remain, and ids are never reused. All or nothing: an id never assigned or already removed raises ValueError and removes nothing. An id repeated within one call is removed once."""
    def save(self, path: _Path) -> None:
        """Write the index to a file.

        The file is written beside `path` and renamed over it once complete, so an existing file is replaced whole or not at all."""
    @classmethod
    def load(cls, path: _Path) -> PyFlat:
        """Read an index written by PyFlat.save()."""
    def __reduce__(self) -> tuple[Callable[[bytes], PyFlat], tuple[bytes]]: ...
    def __len__(self) -> int: ...
    def __repr__(self) -> str: ...
    def __bool__(self) -> bool: ...
    @property
    def dim(self) -> int:
        """The dimension of the stored vectors."""
    @property
    def metric(self) -> str:
        """The metric: "euclidean", "cosine" or "inner_product"."""
    def search_batch(
        self, queries: _Vectors, k: SupportsIndex | None = None, *, threads: SupportsIndex | None = None
    ) -> _BatchResult:
        """Search for the k nearest neighbors of every query, on several threads.

        Returns a tuple `(ids, distances)` of numpy arrays (int64 and float64) with one row per query; row i holds the pairs `search(queries[i], k)` returns. Short rows are padded with id -1 and distance NaN. `threads=None` uses every core the process may use."""

@final
class PyHNSW:
    def __new__(
        cls,
        dim: SupportsIndex,
        layers: SupportsIndex | None = None,
        m: SupportsIndex | None = None,
        ef_construction: SupportsIndex | None = None,
        ef_search: SupportsIndex | None = None,
        metric: str | None = None,
        schema: Sequence[str] | None = None,
        *,
        graph: Literal["full", "pruned"] | None = None,
        seed: SupportsIndex | None = None,
    ) -> PyHNSW: ...
    def insert(self, vector: _Vector, metadata: _MetadataPairs | None = None) -> None:
        """Insert a vector into the index.

        The vector is expected as a list of floats.
        Optionally, metadata can be provided as a list of tuples, e.g.:
        `[("color", "blue"), ("size", 42)]`"""
    def search(
        self, query: _Vector, k: SupportsIndex | None = None, filter: tuple[str, _MetadataValue] | None = None
    ) -> list[tuple[float, list[float]]]:
        """Search for the k nearest neighbors.

        Returns a list of tuples `(distance, vector)`."""
    def create(self, vectors: _Vectors, metadata: Sequence[_MetadataPairs] | None = None) -> None: ...
    def add(
        self,
        vectors: _Vectors,
        metadata: Sequence[_MetadataPairs] | None = None,
        *,
        threads: SupportsIndex | None = None,
        progress: bool | Callable[[int, int], object] | None = None,
    ) -> npt.NDArray[np.int64]:
        """Insert the vectors in order, as create does, on several threads.

        The graph is exactly the one create builds with the same level draws.
        threads: None for every usable core. progress: True for a bar on a
        terminal's standard error, or a callable receiving (done, total).
        Returns the new ids as a numpy int64 array."""
    def remove(self, ids: _Ids) -> None:
        """Remove vectors by id: an int, a sequence of ints or a 1-d integer numpy array.

        Removed vectors are never returned by a search again, len() counts the vectors that remain, and ids are never reused. All or nothing: an id never assigned or already removed raises ValueError and removes nothing. An id repeated within one call is removed once."""
    def save(self, path: _Path) -> None:
        """Write the index to a file.

        The file is written beside `path` and renamed over it once complete, so an existing file is replaced whole or not at all."""
    @classmethod
    def load(cls, path: _Path) -> PyHNSW:
        """Read an index written by PyHNSW.save()."""
    def __reduce__(self) -> tuple[Callable[[bytes], PyHNSW], tuple[bytes]]: ...
    def __len__(self) -> int: ...
    def __repr__(self) -> str: ...
    def __bool__(self) -> bool: ...
    @property
    def dim(self) -> int:
        """The dimension of the stored vectors."""
    @property
    def metric(self) -> str:
        """The metric: "euclidean", "angular" or "inner_product"."""
    @property
    def layers(self) -> int:
        """The number of layers."""
    @property
    def m(self) -> int:
        """The m the index was created with."""
    @property
    def ef_construction(self) -> int:
        """The beam width of insertion."""
    @property
    def ef_search(self) -> int:
        """The beam width of search."""
    @property
    def schema(self) -> list[str] | None:
        """The metadata attribute names, or None."""
    @property
    def graph(self) -> Literal["full", "pruned"]:
        """The graph: "full" (every link kept) or "pruned"."""
    @property
    def seed(self) -> int | None:
        """The seed of the index's own level generator, or None."""
    def search_batch(
        self,
        queries: _Vectors,
        k: SupportsIndex | None = None,
        filter: tuple[str, _MetadataValue] | None = None,
        *,
        threads: SupportsIndex | None = None,
        ef_search: SupportsIndex | None = None,
    ) -> _BatchResult:
        """Search for the k nearest neighbors of every query, on several threads.

        Returns a tuple `(ids, distances)` of numpy arrays (int64 and float64) with one row per query; row i holds the node ids (insertion order from 0) and distances of the pairs `search(queries[i], k, filter)` returns. Short rows are padded with id -1 and distance NaN. `threads=None` uses every core the process may use; `ef_search` replaces the index's own for this call."""
