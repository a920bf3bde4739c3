"""Pure-Python reference model of the flat index, plus helpers shared by the tests.

The metric functions mirror the native ones operation for operation (one
accumulator, terms added in increasing index order), so their results can be
compared with the module's bit for bit.
"""

import ctypes
import math
import os
import subprocess
import sys

NAN = float("nan")
INF = float("inf")
U64_MAX = 2**64 - 1


# ---------------------------------------------------------------- metrics


def euclidean(a, b):
    s = 0.0
    for x, y in zip(a, b):
        s += (x - y) * (x - y)
    return math.sqrt(s)


def dot(a, b):
    s = 0.0
    for x, y in zip(a, b):
        s += x * y
    return s


def _ieee_div(n, d):
    if d == 0.0:
        if n == 0.0 or math.isnan(n):
            return NAN
        return math.copysign(INF, n) * math.copysign(1.0, d)
    return n / d


def cosine(a, b):
    d = 0.0
    for x, y in zip(a, b):
        d += x * y
    sa = 0.0
    for x in a:
        sa += x * x
    sb = 0.0
    for y in b:
        sb += y * y
    return _ieee_div(d, math.sqrt(sa) * math.sqrt(sb))


def metric_for(name):
    """The function the flat index picks for a metric name."""
    if name == "inner_product":
        return dot
    if name == "cosine":
        return cosine
    return euclidean


# ---------------------------------------------------------------- ranking


def candidate_key(pair):
    ident, dist = pair
    if math.isnan(dist):
        return (1, 0.0, ident)
    return (0, dist, ident)


def expected_search(vectors, metric, query, k=None):
    """What PyFlat.search returns for `query` on an index holding `vectors`.

    Raises LookupError when the index would report EmptyIndex.
    """
    if not vectors or len(vectors[0]) == 0:
        raise LookupError("empty index")
    fn = metric_for(metric)
    q = [float(x) for x in query]
    pairs = [(i, fn(q, [float(x) for x in v])) for i, v in enumerate(vectors)]
    pairs.sort(key=candidate_key)
    if k is None:
        k = 1
    return pairs[: max(k, 1)]


def exact(results):
    """Results in a form where equality means bit-identical distances.

    NaNs of any sign or payload compare equal to each other.
    """
    out = []
    for ident, dist in results:
        out.append((ident, "nan" if math.isnan(dist) else float.hex(dist)))
    return out


# ---------------------------------------------------------------- interpreter's own conversion errors

_api = ctypes.pythonapi

_float_as_double = _api.PyFloat_AsDouble
_float_as_double.restype = ctypes.c_double
_float_as_double.argtypes = (ctypes.py_object,)

_number_index = _api.PyNumber_Index
_number_index.restype = ctypes.py_object
_number_index.argtypes = (ctypes.py_object,)

_as_ulonglong = _api.PyLong_AsUnsignedLongLong
_as_ulonglong.restype = ctypes.c_ulonglong
_as_ulonglong.argtypes = (ctypes.py_object,)

_sequence_check = _api.PySequence_Check
_sequence_check.restype = ctypes.c_int
_sequence_check.argtypes = (ctypes.py_object,)


def as_double(obj):
    """The double the interpreter's own float conversion yields (or raises)."""
    if type(obj) is float:
        return obj
    return _float_as_double(obj)


def as_unsigned(obj):
    """The unsigned 64-bit value the interpreter's own conversion yields (or raises)."""
    if not isinstance(obj, int):
        obj = _number_index(obj)
    return _as_ulonglong(obj)


def is_sequence(obj):
    return bool(_sequence_check(obj))


def error_of(fn, *args):
    """The exception `fn(*args)` raises (it must raise)."""
    try:
        fn(*args)
    except Exception as exc:  # noqa: BLE001 - any error is what we want
        return exc
    raise AssertionError(f"{fn!r}{args!r} did not raise")


# ---------------------------------------------------------------- isolation


def run_isolated(code, timeout=120):
    """Run `code` in a fresh interpreter; return (returncode, stdout, stderr).

    Used for cases where a faulty module could abort the whole process.
    """
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    proc = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )
    return proc.returncode, proc.stdout, proc.stderr
