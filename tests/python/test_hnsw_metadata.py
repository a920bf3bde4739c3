"""PyHNSW metadata: value conversion (text, then integer, then float), record building and its errors.

Stored kinds are observed through filters, whose equality is type-strict: an index
holding a single node returns it exactly when the filter value equals its value.
"""

import collections
import decimal
import fractions

import numpy as np
import pytest

from tessra import PyHNSW

NO_SCHEMA_METADATA = "No schema provided in HNSW instance; cannot use metadata"
STR_REFUSAL = "Can't extract `str` to `Vec`"


def raises_exactly(exc_type, message, fn, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc_type, f"{type(info.value).__name__}: {info.value}"
    assert str(info.value) == message
    return info.value


def index(schema, dim=1, **kwargs):
    return PyHNSW(dim, metric="euclidean", layers=1, ef_search=1000, schema=schema, **kwargs)


def single(value, attr="v"):
    idx = index([attr])
    idx.insert([0.0], metadata=[(attr, value)])
    return idx


def passes(idx, attr, value):
    return [v[0] for _, v in idx.search([0.0], k=1000, filter=(attr, value))]


def matches(idx, attr, value):
    """Whether the single node of `idx` passes the filter (attr, value)."""
    return passes(idx, attr, value) == [0.0]


def count(idx, dim=1):
    return len(idx.search([0.0] * dim, k=2**64 - 1))


class IntSub(int):
    pass


class FloatSub(float):
    pass


class StrSub(str):
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"Floaty({self.value!r})"


class Both:
    def __index__(self):
        return 7

    def __float__(self):
        return 2.5

    def __repr__(self):
        return "Both()"


class IndexRaises:
    def __index__(self):
        raise ValueError("no index")

    def __float__(self):
        return 2.5

    def __repr__(self):
        return "IndexRaises()"


class Opaque:
    def __repr__(self):
        return "Opaque()"


class Tracker:
    """Records every attempt to convert it."""

    def __init__(self):
        self.calls = []

    def __index__(self):
        self.calls.append("index")
        return 1

    def __float__(self):
        self.calls.append("float")
        return 1.0


# ================================================================ value conversion


@pytest.mark.parametrize(
    "stored, equal, unequal",
    [
        ("blue", ["blue", StrSub("blue")], ["Blue", "blue ", "blu"]),
        (StrSub("blue"), ["blue"], ["Blue"]),
        ("", [""], [0, 0.0, " "]),
        ("3", ["3"], [3, 3.0]),
        ("\u00e9", ["\u00e9"], ["e\u0301", "e"]),
        ("a\x00b", ["a\x00b"], ["a", "a\x00c"]),
        # integers
        (42, [42, IntSub(42), Index(42), np.int64(42)], [42.0, "42", 43, 42.5]),
        (IntSub(5), [5], [5.0]),
        (Index(7), [7], [7.0]),
        (np.int64(5), [5], [5.0]),
        (np.uint8(200), [200], [200.0]),
        (True, [1, True], [1.0, "True", 2]),
        (False, [0, False], [0.0, -0.0]),
        (-2**63, [-2**63], [float(-2**63)]),
        (2**63 - 1, [2**63 - 1], [float(2**63 - 1)]),
        # too large for 64 bits: the nearest double
        (2**63, [9.223372036854776e18, 2**63], [2**63 - 1]),
        (-2**63 - 1, [-9.223372036854776e18], [-2**63]),
        (2**70, [1.1805916207174113e21, 2**70], []),
        # floats
        (1.0, [1.0, FloatSub(1.0)], [1, True, "1.0"]),
        (3.0, [3.0], [3]),
        (-0.0, [0.0, -0.0], [0]),
        (0.0, [-0.0], [0, False]),
        (float("inf"), [float("inf")], [float("-inf")]),
        (FloatSub(1.5), [1.5], []),
        (np.float64(1.5), [1.5], []),
        (np.float32(1.5), [1.5], [1]),
        (Floaty(2.5), [2.5], []),
        (Both(), [7], [2.5, 7.0]),
        (IndexRaises(), [2.5], []),
        (decimal.Decimal("2.5"), [2.5], ["2.5"]),
        (fractions.Fraction(1, 4), [0.25], []),
        # NaN is accepted and equal to nothing
        (float("nan"), [], [float("nan"), 0.0, 0]),
    ],
    ids=repr,
)
def test_stored_kind(stored, equal, unequal):
    idx = single(stored)
    for probe in equal:
        assert matches(idx, "v", probe), probe
    for probe in unequal:
        assert not matches(idx, "v", probe), probe


@pytest.mark.parametrize(
    "value",
    [None, [1], (1,), {}, {1: 2}, b"x", bytearray(b"1"), "\ud800", "a\udfffb", 10**400, -(10**400),
     complex(1, 2), Opaque(), Index("x"), Floaty("x")],
    ids=repr,
)
def test_unsupported_value(value):
    idx = index(["v"])
    idx.insert([5.0], metadata=[("v", 1)])
    exc = raises_exactly(
        ValueError, "Unsupported metadata type for attribute 'v'", idx.insert, [0.0], metadata=[("v", value)]
    )
    # the failed conversion attempts are discarded, not chained
    assert exc.__cause__ is None and exc.__context__ is None
    assert count(idx) == 1
    raises_exactly(
        ValueError, "Unsupported metadata type for attribute 'v'", idx.create, [[0.0]], metadata=[[("v", value)]]
    )
    assert count(idx) == 1


# ================================================================ record building


def test_schema_order_not_pair_order():
    idx = index(["color", "size"])
    idx.insert([0.0], metadata=[("size", 42), ("color", "blue")])
    assert matches(idx, "color", "blue")
    assert matches(idx, "size", 42)
    assert not matches(idx, "size", "blue")
    assert not matches(idx, "color", 42)


@pytest.mark.parametrize(
    "pairs, equal, unequal",
    [
        ([("color", "blue"), ("color", "red")], ["red"], ["blue"]),
        ([("color", None), ("color", "red")], ["red"], []),
        ([("color", "red"), ("other", 1), ("color", 5)], [5], ["red"]),
    ],
    ids=repr,
)
def test_last_pair_wins(pairs, equal, unequal):
    idx = index(["color"])
    idx.insert([0.0], metadata=pairs)
    for probe in equal:
        assert matches(idx, "color", probe)
    for probe in unequal:
        assert not matches(idx, "color", probe)


def test_earlier_pair_replaced_by_unsupported_value():
    idx = index(["color"])
    raises_exactly(
        ValueError,
        "Unsupported metadata type for attribute 'color'",
        idx.insert,
        [0.0],
        metadata=[("color", "red"), ("color", None)],
    )


def test_unknown_names_are_ignored_and_never_converted():
    tracker = Tracker()
    idx = index(["color", "size"])
    idx.insert(
        [0.0],
        metadata=[("color", "blue"), ("weight", tracker), ("size", 1), ("Color", None), ("other", object())],
    )
    assert tracker.calls == []
    assert matches(idx, "color", "blue") and matches(idx, "size", 1)
    raises_exactly(ValueError, "Search error: AttributeNotFound", idx.search, [0.0], filter=("weight", 1))


def test_each_schema_entry_converts_its_value_once():
    tracker = Tracker()
    idx = index(["a", "b"])
    idx.insert([0.0], metadata=[("b", tracker), ("a", tracker)])
    assert tracker.calls == ["index", "index"]


@pytest.mark.parametrize(
    "schema, pairs, message",
    [
        (["color", "size"], [], "Missing metadata for attribute 'color'"),
        (["color", "size"], [("color", "blue")], "Missing metadata for attribute 'size'"),
        (["color", "size"], [("size", 1)], "Missing metadata for attribute 'color'"),
        # the first failing schema entry decides
        (["a", "b"], [("b", None)], "Missing metadata for attribute 'a'"),
        (["a", "b"], [("a", None)], "Unsupported metadata type for attribute 'a'"),
        (["a", "b"], [("a", 1), ("b", None)], "Unsupported metadata type for attribute 'b'"),
        (["b", "a"], [("a", None), ("b", None)], "Unsupported metadata type for attribute 'b'"),
        (["a", "b", "c"], [("a", 1), ("c", None)], "Missing metadata for attribute 'b'"),
        # names match exactly: no case folding, trimming or normalisation
        (["color"], [("Color", "blue")], "Missing metadata for attribute 'color'"),
        (["color"], [("color ", "blue")], "Missing metadata for attribute 'color'"),
        (["\u00e9"], [("e\u0301", 1)], "Missing metadata for attribute '\u00e9'"),
        (["a\x00b"], [("a", 1)], "Missing metadata for attribute 'a\x00b'"),
        # the name goes in as it is, without quoting or escaping
        (["it's \"x\"\n"], [], "Missing metadata for attribute 'it's \"x\"\n'"),
        (["größe"], [("größe", None)], "Unsupported metadata type for attribute 'größe'"),
        (["a", "a"], [("a", None)], "Unsupported metadata type for attribute 'a'"),
        ([""], [("x", 1)], "Missing metadata for attribute ''"),
    ],
    ids=repr,
)
def test_record_errors(schema, pairs, message):
    idx = index(schema)
    full = [(name, 1) for name in schema]
    idx.insert([9.0], metadata=full)
    exc = raises_exactly(ValueError, message, idx.insert, [0.0], metadata=pairs)
    assert exc.__cause__ is None
    raises_exactly(ValueError, message, idx.create, [[0.0], [1.0]], metadata=[full, pairs])
    assert count(idx) == 1


def test_failed_insert_leaves_records_aligned():
    idx = index(["c"])
    idx.insert([0.0], metadata=[("c", "a")])
    with pytest.raises(ValueError):
        idx.insert([1.0], metadata=[])
    with pytest.raises(ValueError):
        idx.insert([2.0], metadata=[("c", None)])
    idx.insert([3.0], metadata=[("c", "b")])
    idx.insert([4.0], metadata=[("c", "a")])
    assert passes(idx, "c", "a") == [0.0, 4.0]
    assert passes(idx, "c", "b") == [3.0]


def test_empty_schema_accepts_any_pairs():
    idx = index([])
    idx.insert([0.0], metadata=[])
    idx.insert([1.0], metadata=[("x", None), ("y", object())])
    idx.create([[2.0], [3.0]], metadata=[[], [("z", [1, 2])]])
    assert count(idx) == 4
    raises_exactly(ValueError, "Search error: EmptySchema", idx.search, [0.0], filter=("x", 1))


def test_schema_naming_an_attribute_twice():
    idx = index(["a", "a"])
    idx.insert([0.0], metadata=[("a", 5)])
    assert matches(idx, "a", 5)
    assert not matches(idx, "a", 5.0)


def test_schema_naming_an_attribute_twice_filter_reads_the_first_position():
    class Counting:
        """1 on the first conversion, 2 on the second."""

        def __init__(self):
            self.n = 0

        def __index__(self):
            self.n += 1
            return self.n

    idx = index(["a", "a"])
    idx.insert([0.0], metadata=[("a", Counting())])
    assert matches(idx, "a", 1)
    assert not matches(idx, "a", 2)


def test_records_of_several_attributes_and_nodes():
    idx = index(["color", "size", "weight"])
    idx.insert([0.0], metadata=[("color", "red"), ("size", 1), ("weight", 1.5)])
    idx.insert([1.0], metadata=[("weight", 2.5), ("size", 2), ("color", "blue")])
    idx.create(
        [[2.0], [3.0]],
        metadata=[
            [("color", "red"), ("size", 2), ("weight", 2.5)],
            (("size", 1), ("color", "blue"), ("weight", 1.5)),
        ],
    )
    assert passes(idx, "color", "red") == [0.0, 2.0]
    assert passes(idx, "color", "blue") == [1.0, 3.0]
    assert passes(idx, "size", 1) == [0.0, 3.0]
    assert passes(idx, "size", 2) == [1.0, 2.0]
    assert passes(idx, "weight", 2.5) == [1.0, 2.0]
    assert passes(idx, "weight", 2) == []


# ================================================================ argument shapes


Pair = collections.namedtuple("Pair", "name value")


class PairSeq:
    def __init__(self, pairs):
        self.pairs = pairs

    def __len__(self):
        return len(self.pairs)

    def __getitem__(self, i):
        return self.pairs[i]

    def __repr__(self):
        return f"PairSeq({self.pairs!r})"


@pytest.mark.parametrize(
    "metadata",
    [
        [("c", 1)],
        (("c", 1),),
        [Pair("c", 1)],
        PairSeq([("c", 1)]),
        [("x", None), ("c", 1)],
    ],
    ids=repr,
)
def test_accepted_metadata_shapes(metadata):
    idx = index(["c"])
    idx.insert([0.0], metadata=metadata)
    assert matches(idx, "c", 1)
    idx2 = index(["c"])
    idx2.create([[0.0]], metadata=[metadata])
    assert matches(idx2, "c", 1)


@pytest.mark.parametrize("schema", [None, ["c"]])
@pytest.mark.parametrize(
    "metadata, exc_type, message",
    [
        ([["c", 1]], TypeError, "argument 'metadata': 'list' object cannot be converted to 'PyTuple'"),
        ([("c", 1), ["c", 1]], TypeError, "argument 'metadata': 'list' object cannot be converted to 'PyTuple'"),
        ([("c", 1, 2)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ([("c",)], ValueError, "expected tuple of length 2, but got tuple of length 1"),
        ([()], ValueError, "expected tuple of length 2, but got tuple of length 0"),
        ([(1, "c")], TypeError, "argument 'metadata': 'int' object cannot be converted to 'PyString'"),
        ([(None, "c")], TypeError, "argument 'metadata': 'NoneType' object cannot be converted to 'PyString'"),
        ([(b"c", 1)], TypeError, "argument 'metadata': 'bytes' object cannot be converted to 'PyString'"),
        ("c", TypeError, f"argument 'metadata': {STR_REFUSAL}"),
        (("c", 1), TypeError, "argument 'metadata': 'str' object cannot be converted to 'PyTuple'"),
        ({"c": 1}, TypeError, "argument 'metadata': 'dict' object cannot be converted to 'Sequence'"),
        (5, TypeError, "argument 'metadata': 'int' object cannot be converted to 'Sequence'"),
        ((p for p in [("c", 1)]), TypeError,
         "argument 'metadata': 'generator' object cannot be converted to 'Sequence'"),
    ],
    ids=lambda x: "generator" if hasattr(x, "__next__") else repr(x),
)
def test_refused_metadata_shapes(schema, metadata, exc_type, message):
    idx = PyHNSW(1, metric="euclidean", schema=schema)
    idx.insert([9.0])
    raises_exactly(exc_type, message, idx.insert, [0.0], metadata=metadata)
    # in create, the same shape one level down is refused with the same error
    if not hasattr(metadata, "__next__"):
        raises_exactly(exc_type, message, idx.create, [[0.0]], metadata=[metadata])
    assert count(idx) == 1


@pytest.mark.parametrize(
    "metadata, exc_type, message",
    [
        ([("c", 1)], TypeError, "argument 'metadata': 'str' object cannot be converted to 'PyTuple'"),
        ("c", TypeError, f"argument 'metadata': {STR_REFUSAL}"),
        (["c"], TypeError, f"argument 'metadata': {STR_REFUSAL}"),
        ([[("c", 1)], [("c", 1, 2)]], ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ],
    ids=repr,
)
def test_refused_create_metadata_shapes(metadata, exc_type, message):
    # the shape is checked before the record count and the schema
    for schema in (None, ["c"]):
        idx = PyHNSW(1, metric="euclidean", schema=schema)
        raises_exactly(exc_type, message, idx.create, [[0.0], [1.0], [2.0]], metadata=metadata)


def test_lone_surrogate_pair_name_is_a_unicode_error():
    idx = index(["c"])
    with pytest.raises(UnicodeEncodeError):
        idx.insert([0.0], metadata=[("c\ud800", 1)])
    with pytest.raises(UnicodeEncodeError):
        PyHNSW(1, metric="euclidean").insert([0.0], metadata=[("\udc80", 1)])
    assert idx.search([0.0]) == []


@pytest.mark.parametrize("metadata", [[], [("c", 1)], [("c", None)], (), PairSeq([])], ids=repr)
def test_no_schema_refuses_metadata(metadata):
    tracker = Tracker()
    idx = PyHNSW(1, metric="euclidean")
    raises_exactly(ValueError, NO_SCHEMA_METADATA, idx.insert, [0.0], metadata=metadata)
    raises_exactly(ValueError, NO_SCHEMA_METADATA, idx.insert, [0.0], metadata=list(metadata) + [("t", tracker)])
    raises_exactly(ValueError, NO_SCHEMA_METADATA, idx.create, [[0.0]], metadata=[metadata])
    assert tracker.calls == []  # no value is converted
    assert idx.search([0.0]) == []


# ================================================================ nodes without records


def test_nodes_without_records_never_pass_and_do_not_shift_later_records():
    idx = index(["c"])
    idx.insert([0.0])
    idx.insert([1.0], metadata=[("c", "a")])
    idx.create([[2.0], [3.0]])
    idx.insert([4.0], metadata=[("c", "b")])
    idx.create([[5.0]], metadata=[[("c", "a")]])
    idx.insert([6.0], metadata=None)
    assert count(idx) == 7
    assert passes(idx, "c", "a") == [1.0, 5.0]
    assert passes(idx, "c", "b") == [4.0]


# ================================================================ access conflicts during value conversion


def caught(fn, log):
    try:
        fn()
    except Exception as exc:  # noqa: BLE001 - the inner call's error is the point
        log.append((type(exc), str(exc)))
    else:
        log.append(None)


INNER = {
    "search": (lambda idx: idx.search([0.0]), "Already mutably borrowed"),
    "insert": (lambda idx: idx.insert([7.0]), "Already borrowed"),
    "create": (lambda idx: idx.create([[7.0]]), "Already borrowed"),
}

OUTER = {
    "insert": lambda idx, value: idx.insert([1.0], metadata=[("v", value)]),
    "create": lambda idx, value: idx.create([[2.0], [1.0]], metadata=[[("v", 0)], [("v", value)]]),
}


def stored_ids(idx):
    return sorted(v[0] for _, v in idx.search([0.0], k=100))


@pytest.mark.parametrize("outer", OUTER)
@pytest.mark.parametrize("inner", INNER)
def test_index_calling_back_caught(outer, inner):
    call, message = INNER[inner]
    log = []

    class Value:
        def __index__(self):
            caught(lambda: call(idx), log)
            return 7

    idx = index(["v"])
    idx.insert([0.0], metadata=[("v", 0)])
    OUTER[outer](idx, Value())
    assert log == [(RuntimeError, message)]
    assert passes(idx, "v", 7) == [1.0]
    assert passes(idx, "v", 7.0) == []
    assert 7.0 not in stored_ids(idx)


@pytest.mark.parametrize("outer", OUTER)
@pytest.mark.parametrize("inner", INNER)
def test_index_calling_back_uncaught_falls_through_to_float(outer, inner):
    call, _ = INNER[inner]

    class Value:
        def __index__(self):
            call(idx)
            return 7

    class ValueWithFloat(Value):
        def __float__(self):
            return 2.5

    idx = index(["v"])
    idx.insert([0.0], metadata=[("v", 0)])
    # the RuntimeError is discarded: with no float conversion the value is unsupported
    exc = raises_exactly(ValueError, "Unsupported metadata type for attribute 'v'", OUTER[outer], idx, Value())
    assert exc.__context__ is None and exc.__cause__ is None
    assert stored_ids(idx) == [0.0]
    # with one, it becomes a float
    OUTER[outer](idx, ValueWithFloat())
    assert passes(idx, "v", 2.5) == [1.0]
    assert passes(idx, "v", 7) == []


@pytest.mark.parametrize("inner", INNER)
def test_float_calling_back(inner):
    call, message = INNER[inner]
    log = []

    class Value:
        def __float__(self):
            caught(lambda: call(idx), log)
            return 0.5

    class Raising:
        def __float__(self):
            call(idx)
            return 0.5

    idx = index(["v"])
    idx.insert([0.0], metadata=[("v", 0)])
    idx.insert([1.0], metadata=[("v", Value())])
    assert log == [(RuntimeError, message)]
    assert passes(idx, "v", 0.5) == [1.0]
    raises_exactly(ValueError, "Unsupported metadata type for attribute 'v'", idx.insert, [2.0], [("v", Raising())])
    assert stored_ids(idx) == [0.0, 1.0]


class CallingPairs:
    """A pair list whose iteration first runs a callback."""

    def __init__(self, pairs, callback):
        self.pairs = pairs
        self.callback = callback

    def __len__(self):
        return len(self.pairs)

    def __getitem__(self, i):
        return self.pairs[i]

    def __iter__(self):
        self.callback()
        return iter(self.pairs)


@pytest.mark.parametrize("inner", INNER)
def test_pair_list_iteration_calling_back(inner):
    call, message = INNER[inner]
    idx = index(["v"])
    log = []
    idx.insert([1.0], metadata=CallingPairs([("v", 3)], lambda: caught(lambda: call(idx), log)))
    idx.create([[2.0]], metadata=[CallingPairs([("v", 4)], lambda: caught(lambda: call(idx), log))])
    assert log == [(RuntimeError, message)] * 2
    assert passes(idx, "v", 3) == [1.0] and passes(idx, "v", 4) == [2.0]
    # uncaught, the conversion error leaves the call unlabelled and the index unchanged
    exc = raises_exactly(
        RuntimeError, message, idx.insert, [5.0], metadata=CallingPairs([("v", 5)], lambda: call(idx))
    )
    assert exc.__cause__ is None
    raises_exactly(
        RuntimeError, message, idx.create, [[5.0]], metadata=[CallingPairs([("v", 5)], lambda: call(idx))]
    )
    assert stored_ids(idx) == [1.0, 2.0]
    idx.insert([6.0], metadata=[("v", 6)])
    assert stored_ids(idx) == [1.0, 2.0, 6.0]


def test_value_conversion_may_use_another_index():
    other = index(["v"])
    idx = index(["v"])

    class Value:
        def __index__(self):
            other.insert([3.0], metadata=[("v", 1)])
            return 9

    idx.insert([1.0], metadata=[("v", Value())])
    assert passes(idx, "v", 9) == [1.0]
    assert passes(other, "v", 1) == [3.0]
