"""Plain pure-Python pieces shared by the model-based tests.

Metric functions add their terms one at a time into one accumulator, in
element order, exactly like the native functions, so their results can be
compared bit for bit. Argument conversions go through the interpreter's own C
functions (via ctypes) so that the model raises exactly what the module's
conversions raise.
"""

import ctypes
import heapq
import math
import struct

NAN = float("nan")
INF = float("inf")

# ---------------------------------------------------------------- metrics


# The metrics, summed in element order as the module sums them.
from reference import cosine, dot, euclidean  # noqa: E402


def flat_metric(name):
    if name == "inner_product":
        return dot
    if name == "cosine":
        return cosine
    return euclidean


HNSW_METRICS = {"euclidean": euclidean, "angular": cosine, "inner_product": dot}

# ---------------------------------------------------------------- orders


def distance_key(d):
    """Distance order: numbers as usual (-0.0 == 0.0), NaN after all, NaNs equal."""
    return (1, 0.0) if math.isnan(d) else (0, d)


def ranks_before(a, b):
    return distance_key(a) < distance_key(b)


def ranks_after(a, b):
    return distance_key(a) > distance_key(b)


def candidate_key(distance, ident):
    return (*distance_key(distance), ident)


def same_float(a, b):
    """Bit-identical doubles, any NaN equal to any NaN."""
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return type(a) is type(b) and struct.pack("<d", a) == struct.pack("<d", b)


def same_value(a, b):
    """Deep equality where floats must be bit-identical (NaNs alike)."""
    if isinstance(a, float) or isinstance(b, float):
        return same_float(a, b)
    if isinstance(a, (list, tuple)) or isinstance(b, (list, tuple)):
        return (
            type(a) is type(b)
            and len(a) == len(b)
            and all(same_value(x, y) for x, y in zip(a, b))
        )
    return type(a) is type(b) and a == b


# ---------------------------------------------------------------- the interpreter's conversions

_api = ctypes.pythonapi


def _fn(name, restype, *argtypes):
    f = getattr(_api, name)
    f.restype = restype
    f.argtypes = argtypes
    return f


_float_as_double = _fn("PyFloat_AsDouble", ctypes.c_double, ctypes.py_object)
_number_index = _fn("PyNumber_Index", ctypes.py_object, ctypes.py_object)
_as_ulonglong = _fn("PyLong_AsUnsignedLongLong", ctypes.c_ulonglong, ctypes.py_object)
_as_longlong = _fn("PyLong_AsLongLong", ctypes.c_longlong, ctypes.py_object)
_sequence_check = _fn("PySequence_Check", ctypes.c_int, ctypes.py_object)


class ModelError(Exception):
    """What the module is expected to raise: an exception type and its message."""

    def __init__(self, kind, message):
        super().__init__(kind, message)
        self.kind = kind
        self.message = message


def fail(kind, message):
    raise ModelError(kind, message)


def labelled(name, convert, *args):
    """Runs a conversion; a failure of exactly TypeError gets the argument's name."""
    try:
        return convert(*args)
    except ModelError:
        raise
    except BaseException as exc:  # noqa: BLE001 - mirrors the module's labelling
        if type(exc) is TypeError:
            fail(TypeError, f"argument '{name}': {exc}")
        fail(type(exc), str(exc))


def _conversion_error(obj, target):
    raise TypeError(f"'{type(obj).__qualname__}' object cannot be converted to '{target}'")


def as_double(obj):
    if type(obj) is float:
        return obj
    return _float_as_double(obj)


def as_unsigned(obj):
    if not isinstance(obj, int):
        obj = _number_index(obj)
    return _as_ulonglong(obj)


def as_text(obj):
    if not isinstance(obj, str):
        _conversion_error(obj, "PyString")
    obj.encode("utf-8")  # lone surrogates: UnicodeEncodeError
    return obj


def as_list(obj, item):
    if isinstance(obj, str):
        raise TypeError("Can't extract `str` to `Vec`")
    if not _sequence_check(obj):
        _conversion_error(obj, "Sequence")
    return [item(x) for x in obj]


def as_doubles(obj):
    return as_list(obj, as_double)


def as_vector_list(obj):
    return as_list(obj, as_doubles)


def as_pair(obj):
    if not isinstance(obj, tuple):
        _conversion_error(obj, "PyTuple")
    if len(obj) != 2:
        raise ValueError(f"expected tuple of length 2, but got tuple of length {len(obj)}")
    return (as_text(obj[0]), obj[1])


def as_pair_list(obj):
    return as_list(obj, as_pair)


def as_pair_lists(obj):
    return as_list(obj, as_pair_list)


# ---------------------------------------------------------------- metadata values


def metadata_value(obj):
    """('s', text) / ('i', int) / ('f', float), or None when unsupported."""
    if isinstance(obj, str):
        try:
            obj.encode("utf-8")
            return ("s", obj)
        except UnicodeEncodeError:
            pass
    # Every failure, whatever its type, is discarded and the next kind tried.
    try:
        return ("i", _as_longlong(obj))
    except BaseException:  # noqa: BLE001
        pass
    try:
        return ("f", as_double(obj))
    except BaseException:  # noqa: BLE001
        return None


def metadata_equal(a, b):
    return a[0] == b[0] and a[1] == b[1]  # floats by IEEE equality: NaN equals nothing


def build_record(schema, pairs):
    table = {}
    for name, value in pairs:
        table[name] = value
    record = []
    for name in schema:
        if name not in table:
            fail(ValueError, f"Missing metadata for attribute '{name}'")
        value = metadata_value(table[name])
        if value is None:
            fail(ValueError, f"Unsupported metadata type for attribute '{name}'")
        record.append(value)
    return record


def outcome(call):
    """('ok', result) or ('error', type, message) for a call of the module."""
    try:
        return ("ok", call())
    except ModelError as exc:
        return ("error", exc.kind, exc.message)
    except BaseException as exc:  # noqa: BLE001 - the module's errors are what we compare
        return ("error", type(exc), str(exc))


def assert_same_outcome(actual, expected, what=""):
    if actual[0] == "error" or expected[0] == "error":
        assert actual == expected, f"{what}: module {actual!r} != model {expected!r}"
    else:
        assert same_value(actual[1], expected[1]), f"{what}: module {actual[1]!r} != model {expected[1]!r}"


# ---------------------------------------------------------------- the models


class FlatModel:
    """The exhaustive index as a list of vectors."""

    def __init__(self, dim, metric):
        self.dim = labelled("dim", as_unsigned, dim)
        if metric is not None:
            labelled("metric", as_text, metric)
        self.metric = flat_metric(metric)
        self.vectors = []

    def count(self):
        return len(self.vectors) if self.dim else 0

    def insert(self, vector):
        v = labelled("vector", as_doubles, vector)
        if len(v) != self.dim:
            fail(ValueError, f"Expected vector of length {self.dim}, got {len(v)}")
        self.vectors.append(v)

    def create(self, vectors):
        vs = labelled("vectors", as_vector_list, vectors)
        if not vs:
            fail(ValueError, "Create error: EmptyVectors")
        for v in vs:
            if len(v) != self.dim:
                fail(ValueError, f"Vector length {len(v)} does not match index dimension {self.dim}")
        self.vectors.extend(vs)

    def search(self, query, k=None):
        q = labelled("query", as_doubles, query)
        kk = 1 if k is None else labelled("k", as_unsigned, k)
        if len(q) != self.dim:
            fail(ValueError, f"Expected query of length {self.dim}, got {len(q)}")
        if self.count() == 0:
            fail(ValueError, "Search error: EmptyIndex")
        pairs = [(self.metric(q, v), i) for i, v in enumerate(self.vectors)]
        pairs.sort(key=lambda p: candidate_key(*p))
        return [(i, d) for d, i in pairs[: max(kk, 1)]]


def insert_position(result, d):
    """Where a pair with distance d goes in the sorted, non-empty result list."""
    size, base = len(result), 0
    while size > 1:
        half = size // 2
        mid = base + half
        if not ranks_after(result[mid][0], d):
            base = mid
        size -= half
    return base + 1 if ranks_before(result[base][0], d) else base


class HNSWModel:
    """The graph index. With `graph` false only vectors and records are kept."""

    def __init__(self, dim, layers=None, m=None, ef_construction=None, ef_search=None, metric=None, schema=None):
        self.dim = labelled("dim", as_unsigned, dim)
        self.layers = 5 if layers is None else labelled("layers", as_unsigned, layers)
        if m is not None:
            labelled("m", as_unsigned, m)
        self.efc = 200 if ef_construction is None else labelled("ef_construction", as_unsigned, ef_construction)
        self.efs = 50 if ef_search is None else labelled("ef_search", as_unsigned, ef_search)
        name = None if metric is None else labelled("metric", as_text, metric)
        self.schema = None if schema is None else labelled("schema", as_list, schema, as_text)
        if name not in HNSW_METRICS:
            fail(ValueError, "Unsupported metric")
        if self.dim == 0:
            fail(ValueError, "Dimension must be at least 1")
        self.metric = HNSW_METRICS[name]
        self.graph = self.layers == 1
        self.vectors, self.runs, self.records = [], [], []

    # ---- core

    def passes(self, flt, node):
        position, wanted = flt
        record = self.records[node]
        return record is not None and metadata_equal(record[position], wanted)

    def knn(self, start, q, ef, flt):
        d = self.metric(q, self.vectors[start])
        result = [(d, start)]
        heap = [(candidate_key(d, start), d, start)]
        visited = {start}
        while heap:
            _, cd, c = heapq.heappop(heap)
            if ranks_after(cd, result[-1][0]):
                break
            for v in self.runs[c]:
                if flt is not None and not self.passes(flt, v):
                    continue  # not marked visited: another run may lead here again
                if v in visited:
                    continue
                visited.add(v)
                dv = self.metric(q, self.vectors[v])
                if not (len(result) < ef or dv < result[-1][0]):
                    continue
                heapq.heappush(heap, (candidate_key(dv, v), dv, v))
                result.insert(insert_position(result, dv), (dv, v))
                if len(result) > ef:
                    result.pop()
        return result

    def insert_node(self, vector, record, prefix):
        if self.vectors and self.layers >= 1 and self.efc == 0:
            fail(ValueError, prefix + "InvalidEF")
        n = len(self.vectors)
        self.vectors.append(vector)
        self.runs.append([])
        self.records.append(record)
        if n == 0 or not self.graph:
            return
        found = self.knn(0, vector, self.efc, None)
        for _, ident in found:
            self.runs[ident].append(n)
        self.runs[n].extend(ident for _, ident in found)

    # ---- Python face

    def insert(self, vector, metadata=None):
        v = labelled("vector", as_doubles, vector)
        record = None
        if metadata is not None:
            pairs = labelled("metadata", as_pair_list, metadata)
            if self.schema is None:
                fail(ValueError, "No schema provided in HNSW instance; cannot use metadata")
            record = build_record(self.schema, pairs)
        if len(v) != self.dim:
            fail(ValueError, f"Expected vector of length {self.dim}, got {len(v)}")
        self.insert_node(v, record, "Insert error: ")

    def create(self, vectors, metadata=None):
        vs = labelled("vectors", as_vector_list, vectors)
        records = [None] * len(vs)
        if metadata is not None:
            lists = labelled("metadata", as_pair_lists, metadata)
            if len(lists) != len(vs):
                fail(ValueError, "Length of metadata list must match number of vectors")
            if self.schema is None:
                fail(ValueError, "No schema provided in HNSW instance; cannot use metadata")
        # Every record is built in order, then every length is checked in order.
        if metadata is not None:
            records = [build_record(self.schema, pairs) for pairs in lists]
        for v in vs:
            if len(v) != self.dim:
                fail(ValueError, f"Expected vector of length {self.dim}, got {len(v)}")
        if not vs:
            fail(ValueError, "Create error: EmptyVectors")
        for v, record in zip(vs, records):
            self.insert_node(v, record, "Create error: ")

    def prepare_search(self, query, k=None, filter=None):
        """Conversions and checks; (query, k, bound filter or None) or raises ModelError."""
        q = labelled("query", as_doubles, query)
        kk = 1 if k is None else labelled("k", as_unsigned, k)
        flt = None
        if filter is not None:
            name, raw = labelled("filter", as_pair, filter)
            if self.schema is None:
                fail(ValueError, "No schema provided in HNSW instance; cannot use metadata filtering")
            value = metadata_value(raw)
            if value is None:
                fail(ValueError, "Unsupported type for metadata filter")
            flt = (name, value)
        if not self.vectors:
            return q, kk, None, True
        if self.layers == 0:
            fail(ValueError, "Search error: InvalidLayer")
        if (1 if self.layers >= 2 else self.efs) == 0:
            fail(ValueError, "Search error: InvalidEF")
        if flt is not None:
            if not self.schema:
                fail(ValueError, "Search error: EmptySchema")
            if flt[0] not in self.schema:
                fail(ValueError, "Search error: AttributeNotFound")
            flt = (list(self.schema).index(flt[0]), flt[1])
        if self.efs == 0:
            fail(ValueError, "Search error: InvalidEF")
        return q, kk, flt, False

    def search(self, query, k=None, filter=None):
        q, kk, flt, empty = self.prepare_search(query, k, filter)
        if empty:
            return []
        found = self.knn(0, q, self.efs, flt)
        if flt is not None and not self.passes(flt, 0):
            found = [pair for pair in found if pair[1] != 0]
        return [(d, list(self.vectors[i])) for d, i in found[: max(kk, 1)]]
