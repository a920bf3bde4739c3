"""Array inputs: any array must behave exactly like the equivalent Python list."""

import math
import sys

import pytest

np = pytest.importorskip("numpy")

from tessra import PyFlat  # noqa: E402

from reference import as_double, error_of, exact  # noqa: E402

METRICS = [None, "inner_product", "cosine"]


def as_list(arr):
    """The Python list the index should see for a 1-d (or 2-d) array: element by element."""
    if arr.ndim == 2:
        return [as_list(row) for row in arr]
    return [as_double(x) for x in arr]


def rankings(idx, queries, k=10**4):
    return [exact(idx.search(q, k)) for q in queries]


def check_same(dim, stored, queries, metric):
    """Index built from arrays (insert and create) and from lists give identical rankings,
    for array queries and list queries."""
    lists = [as_list(v) for v in stored]
    qlists = [as_list(q) for q in queries]

    by_list = PyFlat(dim, metric)
    for v in lists:
        by_list.insert(v)
    expected = rankings(by_list, qlists)

    by_insert = PyFlat(dim, metric)
    for v in stored:
        by_insert.insert(v)
    assert rankings(by_insert, qlists) == expected
    assert rankings(by_insert, queries) == expected
    assert rankings(by_list, queries) == expected
    return expected


def _values(rng, n, dim):
    data = rng.standard_normal((n, dim)) * 10.0 ** rng.integers(-8, 8, size=(n, dim))
    data[rng.random((n, dim)) < 0.2] = 0.0
    data[0, 0] = np.nan if dim > 1 else data[0, 0]
    return data


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize(
    "dtype", ["float64", "float32", "float16", "int64", "int32", "int8", "uint8", "uint64", "bool", ">f8", "<f4", ">i4"]
)
@pytest.mark.parametrize("dim", [1, 3, 4, 8, 17])
def test_one_dimensional_arrays(metric, dtype, dim):
    rng = np.random.default_rng(dim)
    raw = _values(rng, 12, dim)
    if dtype == "bool":
        data = raw > 0
    elif np.dtype(dtype).kind in "iu":
        info = np.iinfo(dtype)
        data = np.clip(np.nan_to_num(raw * 1000), info.min, info.max).astype(dtype)
    else:
        with np.errstate(over="ignore", invalid="ignore"):
            data = raw.astype(dtype)
    stored = [data[i] for i in range(10)]
    queries = [data[10], data[11]]
    check_same(dim, stored, queries, metric)


@pytest.mark.parametrize("metric", METRICS)
def test_two_dimensional_array_for_create(metric):
    rng = np.random.default_rng(5)
    data = _values(rng, 30, 9)
    by_array = PyFlat(9, metric)
    by_array.create(data)
    by_list = PyFlat(9, metric)
    by_list.create(data.tolist())
    queries = [data[3], data[7].astype(np.float32), data[-1].tolist()]
    assert rankings(by_array, queries) == rankings(by_list, [as_list(np.asarray(q)) for q in queries])


@pytest.mark.parametrize(
    "make",
    [
        lambda a: a[:, ::2],
        lambda a: a[::2, :],
        lambda a: a[::-1, ::-3],
        lambda a: a.T.copy().T,  # Fortran order
        lambda a: a.T[:6, :].T,
        lambda a: np.asfortranarray(a)[1:, 1:],
        lambda a: np.lib.stride_tricks.as_strided(a, shape=(a.shape[0], 4), strides=(a.strides[0], 0)),
    ],
    ids=["cols step 2", "rows step 2", "reversed", "fortran", "transposed view", "fortran slice", "zero stride"],
)
@pytest.mark.parametrize("metric", METRICS)
def test_non_contiguous_arrays(make, metric):
    rng = np.random.default_rng(11)
    base = _values(rng, 20, 12)
    base[0, 0] = 1.5
    view = make(base)
    assert view.ndim == 2
    dim = view.shape[1]
    lists = view.tolist()

    by_array = PyFlat(dim, metric)
    by_array.create(view)
    by_insert = PyFlat(dim, metric)
    for row in view:
        by_insert.insert(row)
    by_list = PyFlat(dim, metric)
    by_list.create(lists)

    queries = [view[0], view[-1], view[:, 0][:dim] if view.shape[0] >= dim else view[1]]
    expected = rankings(by_list, [as_list(q) for q in queries])
    assert rankings(by_array, queries) == expected
    assert rankings(by_insert, queries) == expected


def test_read_only_array():
    data = np.arange(12, dtype=np.float64).reshape(4, 3)
    data.flags.writeable = False
    idx = PyFlat(3)
    idx.create(data)
    idx.insert(data[1])
    assert idx.search(data[1], 2) == [(1, 0.0), (4, 0.0)]


def test_index_copies_the_array():
    data = np.arange(6, dtype=np.float64).reshape(2, 3)
    idx = PyFlat(3)
    idx.create(data)
    row = np.array([10.0, 10.0, 10.0])
    idx.insert(row)
    before = idx.search([0.0, 0.0, 0.0], 3)
    refs = sys.getrefcount(data), sys.getrefcount(row)
    data[:] = -1.0
    row[:] = -1.0
    assert idx.search([0.0, 0.0, 0.0], 3) == before
    assert (sys.getrefcount(data), sys.getrefcount(row)) == refs


def test_array_query_is_copied_and_not_mutated():
    idx = PyFlat(3)
    idx.create([[1, 2, 3], [4, 5, 6]])
    q = np.array([1.0, 2.0, 3.0])
    idx.search(q, 2)
    assert q.tolist() == [1.0, 2.0, 3.0]


def test_special_values_in_arrays():
    data = np.array([[np.nan, 0.0], [np.inf, 1.0], [-0.0, 5e-324], [1e308, -1e308], [1.0, 1.0]])
    for metric in METRICS:
        check_same(2, list(data), [np.array([0.0, 0.0]), np.array([np.inf, 0.0]), np.array([1.0, -1.0])], metric)


def test_large_integers_round_like_python():
    big = np.array([2**53 + 1, 2**62 + 3, -(2**63), 3], dtype=np.int64)
    ubig = np.array([2**64 - 1, 2**63 + 1, 2**53 + 1, 0], dtype=np.uint64)
    for metric in METRICS:
        check_same(4, [big, ubig], [np.array([1, 1, 1, 1], dtype=np.int64), ubig], metric)
    idx = PyFlat(4, "inner_product")
    idx.insert(ubig)
    pyints = [2**64 - 1, 2**63 + 1, 2**53 + 1, 0]
    [(ident, dist)] = idx.search([1, 0, 0, 0])
    assert dist == float(pyints[0])


# ---------------------------------------------------------------- sizes and shapes


def test_zero_size_arrays():
    idx = PyFlat(0)
    idx.insert(np.empty(0))
    idx.create(np.empty((3, 0)))
    with pytest.raises(ValueError, match="^Search error: EmptyIndex$"):
        idx.search(np.empty(0))

    idx = PyFlat(3)
    with pytest.raises(ValueError, match="^Expected vector of length 3, got 0$"):
        idx.insert(np.empty(0))
    with pytest.raises(ValueError, match="^Create error: EmptyVectors$"):
        idx.create(np.empty((0, 3)))
    with pytest.raises(ValueError, match="^Vector length 0 does not match index dimension 3$"):
        idx.create(np.empty((2, 0)))
    idx.insert(np.ones(3))
    with pytest.raises(ValueError, match="^Expected query of length 3, got 0$"):
        idx.search(np.empty(0))


def test_wrong_lengths_from_arrays():
    idx = PyFlat(3)
    idx.insert(np.zeros(3))
    with pytest.raises(ValueError, match="^Expected vector of length 3, got 4$"):
        idx.insert(np.zeros(4))
    with pytest.raises(ValueError, match="^Expected query of length 3, got 2$"):
        idx.search(np.zeros(6)[::3])
    with pytest.raises(ValueError, match="^Vector length 5 does not match index dimension 3$"):
        idx.create(np.zeros((2, 5)))
    assert idx.search(np.zeros(3), 10) == [(0, 0.0)]


@pytest.mark.parametrize("value", [np.array(1.5), np.array(7, dtype=np.int64)], ids=["float 0-d", "int 0-d"])
@pytest.mark.parametrize("where", ["vector", "query", "vectors", "inner"])
def test_zero_dimensional_array_is_not_iterable(value, where):
    expected = error_of(iter, value)
    idx = PyFlat(1)
    idx.insert([1.0])
    with pytest.raises(TypeError) as info:
        if where == "vector":
            idx.insert(value)
        elif where == "query":
            idx.search(value)
        elif where == "vectors":
            idx.create(value)
        else:
            idx.create([[1.0], value])
    name = "vectors" if where == "inner" else where
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument '{name}': {expected}"
    assert idx.search([0.0], 5) == [(0, 1.0)]


def test_zero_dimensional_array_as_element_converts():
    idx = PyFlat(2)
    idx.insert([np.array(1.5), np.array(2, dtype=np.int32)])
    assert idx.search([1.5, 2.0]) == [(0, 0.0)]


@pytest.mark.parametrize("value", [np.float64(1.0), np.int64(3), np.float32(2.0)], ids=repr)
def test_numpy_scalars_are_not_sequences(value):
    name = type(value).__qualname__
    with pytest.raises(TypeError) as info:
        PyFlat(1).insert(value)
    assert str(info.value) == f"argument 'vector': '{name}' object cannot be converted to 'Sequence'"


def test_numpy_scalars_as_unsigned():
    idx = PyFlat(np.int64(2))
    idx.create(np.array([[1, 1], [2, 2], [3, 3]]))
    assert idx.search([0, 0], np.uint8(2)) == [(0, math.sqrt(2.0)), (1, math.sqrt(8.0))]
    assert len(idx.search([0, 0], np.uint64(2**64 - 1))) == 3
    with pytest.raises(OverflowError):
        idx.search([0, 0], np.int64(-1))
    with pytest.raises(TypeError, match=r"^argument 'k': 'numpy.float64' object cannot be interpreted as an integer$"):
        idx.search([0, 0], np.float64(1.0))


def test_two_dimensional_array_as_a_vector_is_refused():
    rows = np.ones((3, 3))
    expected = error_of(as_double, rows[0])
    idx = PyFlat(3)
    with pytest.raises(TypeError) as info:
        idx.insert(rows)
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument 'vector': {expected}"
    with pytest.raises(ValueError, match="^Search error: EmptyIndex$"):
        idx.search([0, 0, 0])


def test_three_dimensional_array_for_create_is_refused():
    cube = np.ones((2, 3, 3))
    expected = error_of(as_double, cube[0, 0])
    with pytest.raises(TypeError) as info:
        PyFlat(3).create(cube)
    assert str(info.value) == f"argument 'vectors': {expected}"


# ---------------------------------------------------------------- object arrays


def test_object_arrays():
    from fractions import Fraction

    vec = np.array([1, 2.5, Fraction(1, 3), True], dtype=object)
    idx = PyFlat(4, "inner_product")
    idx.insert(vec)
    idx.insert([1.0, 2.5, 1 / 3, 1.0])
    res = idx.search(np.array([1.0, 1.0, 1.0, 1.0]), 2)
    assert res[0][1] == res[1][1]

    table = np.empty(2, dtype=object)
    table[0] = [1.0, 2.0, 3.0, 4.0]
    table[1] = np.array([5.0, 6.0, 7.0, 8.0])
    idx.create(table)
    assert len(idx.search([0, 0, 0, 0], 10)) == 4

    ragged = np.empty(2, dtype=object)
    ragged[0] = [1.0, 2.0, 3.0, 4.0]
    ragged[1] = [1.0]
    with pytest.raises(ValueError, match="^Vector length 1 does not match index dimension 4$"):
        idx.create(ragged)
    assert len(idx.search([0, 0, 0, 0], 10)) == 4


def test_object_array_with_bad_elements():
    idx = PyFlat(3)
    with pytest.raises(TypeError) as info:
        idx.insert(np.array([1.0, "x", 2.0], dtype=object))
    assert str(info.value) == "argument 'vector': must be real number, not str"
    with pytest.raises(OverflowError):
        idx.insert(np.array([1.0, 10**400, 2.0], dtype=object))
    rows = np.empty(2, dtype=object)
    rows[0] = [1.0, 2.0, 3.0]
    rows[1] = "abc"
    with pytest.raises(TypeError) as info:
        idx.create(rows)
    assert str(info.value) == "argument 'vectors': Can't extract `str` to `Vec`"
    rows[1] = None
    with pytest.raises(TypeError) as info:
        idx.create(rows)
    assert str(info.value) == "argument 'vectors': 'NoneType' object cannot be converted to 'Sequence'"
    with pytest.raises(ValueError, match="^Search error: EmptyIndex$"):
        idx.search([0, 0, 0])


def test_array_of_python_lists_in_list():
    rows = [np.array([1.0, 2.0]), [3.0, 4.0], (5, 6), np.array([7, 8], dtype=np.int16)]
    idx = PyFlat(2)
    idx.create(rows)
    ref = PyFlat(2)
    ref.create([[1.0, 2.0], [3.0, 4.0], [5.0, 6.0], [7.0, 8.0]])
    assert idx.search([0, 0], 10) == ref.search([0, 0], 10)


def test_unaligned_buffer():
    raw = bytearray(8 * 9 + 1)
    data = np.frombuffer(raw, dtype=np.float64, offset=1, count=9).reshape(3, 3)
    assert not data.flags.aligned
    values = [[1.5, -2.0, 3.25], [0.0, 7.0, -1e-9], [2.0**-1074, 1e300, -4.0]]
    data[:] = values
    column = [row[1] for row in values]
    idx = PyFlat(3, "inner_product")
    idx.create(data)
    idx.insert(data[1])
    idx.insert(data[:, 1])
    ref = PyFlat(3, "inner_product")
    ref.create(values + [values[1], column])
    for q in (data[0], data[:, 2], [1.0, 1.0, 1.0]):
        want = exact(ref.search(as_list(np.asarray(q, dtype=np.float64)), 10))
        assert exact(idx.search(q, 10)) == want


def test_one_dimensional_array_for_create_is_refused():
    with pytest.raises(TypeError) as info:
        PyFlat(2).create(np.array([1.0, 2.0]))
    assert str(info.value) == "argument 'vectors': 'float64' object cannot be converted to 'Sequence'"


def test_two_dimensional_object_array_for_create():
    from fractions import Fraction

    rows = np.array([[1, 2.5], [Fraction(1, 3), True]], dtype=object)
    idx = PyFlat(2)
    idx.create(rows)
    ref = PyFlat(2)
    ref.create([[1.0, 2.5], [1 / 3, 1.0]])
    assert exact(idx.search([0, 0], 5)) == exact(ref.search([0, 0], 5))


class ArraySub(np.ndarray):
    pass


def test_array_subclass_same_as_list():
    data = np.arange(12, dtype=np.float64).reshape(4, 3).view(ArraySub) / 7.0
    assert type(data) is ArraySub
    for metric in METRICS:
        idx = PyFlat(3, metric)
        idx.create(data)
        idx.insert(data[2])
        ref = PyFlat(3, metric)
        ref.create(np.asarray(data).tolist() + [np.asarray(data[2]).tolist()])
        assert exact(idx.search(data[1], 10)) == exact(ref.search(np.asarray(data[1]).tolist(), 10))
