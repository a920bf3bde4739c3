"""Type information for the tessra extension module."""

from collections.abc import Sequence
from typing import Any, SupportsFloat, SupportsIndex, Union, final

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
# The result of search_batch: ids (int64) and distances (float64), one row per query.
_BatchResult = tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]

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
