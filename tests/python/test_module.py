"""The module object and the surface of its two classes."""

import ctypes
import gc
import importlib
import importlib.util
import inspect
import shutil
import subprocess
import sys
import weakref

import pytest

import tessra
from tessra import PyFlat, PyHNSW

from reference import run_isolated

CLASSES = [PyFlat, PyHNSW]

FLAT_DOCS = {
    "insert": (
        "($self, vector)",
        "Insert a vector into the index.\n\n"
        "The vector is expected as a list of floats whose length equals the index dimension.",
    ),
    "search": (
        "($self, query, k=None)",
        "Search for the k nearest neighbors.\n\nReturns a list of tuples `(id, distance)`.",
    ),
    "create": ("($self, vectors)", "Create an index from a list of vectors."),
}

HNSW_DOCS = {
    "insert": (
        "($self, vector, metadata=None)",
        "Insert a vector into the index.\n\n"
        "The vector is expected as a list of floats.\n"
        "Optionally, metadata can be provided as a list of tuples, e.g.:\n"
        '`[("color", "blue"), ("size", 42)]`',
    ),
    "search": (
        "($self, query, k=None, filter=None)",
        "Search for the k nearest neighbors.\n\nReturns a list of tuples `(distance, vector)`.",
    ),
    "create": ("($self, vectors, metadata=None)", None),
}


# ---------------------------------------------------------------- module


def test_all():
    assert type(tessra.__all__) is list
    assert tessra.__all__ == ["PyFlat", "PyHNSW"]


def test_module_doc_is_empty_string():
    assert tessra.__doc__ == ""


def test_module_name():
    assert tessra.__name__ == "tessra"
    assert sys.modules["tessra"] is tessra


def test_module_contents():
    public = {name for name in vars(tessra) if not name.startswith("_")}
    assert public == {"PyFlat", "PyHNSW"}
    assert tessra.PyFlat is PyFlat
    assert tessra.PyHNSW is PyHNSW
    # no module-level functions or other objects
    for name, value in vars(tessra).items():
        if callable(value):
            assert value in (PyFlat, PyHNSW), name
    assert not hasattr(tessra, "PanicException")


def test_reimport_returns_the_same_module():
    assert importlib.import_module("tessra") is tessra
    saved = sys.modules.pop("tessra")
    try:
        again = importlib.import_module("tessra")
        assert again is saved
        assert again.PyFlat is PyFlat
        assert again.PyHNSW is PyHNSW
        assert again.__all__ == ["PyFlat", "PyHNSW"]
    finally:
        sys.modules["tessra"] = saved


def test_loading_from_file_again_returns_the_same_module():
    spec = importlib.util.spec_from_file_location("tessra", tessra.__file__)
    module = importlib.util.module_from_spec(spec)
    assert module is tessra
    assert module.__all__ == ["PyFlat", "PyHNSW"]


def test_calling_init_function_again_returns_the_same_module():
    lib = ctypes.PyDLL(tessra.__file__)
    init = lib.PyInit_tessra
    init.restype = ctypes.py_object
    init.argtypes = ()
    assert init() is tessra
    assert init() is tessra
    assert tessra.__all__ == ["PyFlat", "PyHNSW"]
    idx = PyFlat(1)
    idx.insert([1.0])
    assert idx.search([1.0]) == [(0, 0.0)]


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm not available")
def test_only_the_init_function_is_exported():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", tessra.__file__], capture_output=True, text=True, check=True
    ).stdout
    symbols = {line.split()[-1] for line in out.splitlines() if line.strip()}
    assert symbols == {"PyInit_tessra"}


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="uses the 3.11 sub-interpreter module")
def test_second_interpreter_is_refused():
    code = f"""
import sys
import tessra
import _xxsubinterpreters as interpreters
iid = interpreters.create()
try:
    interpreters.run_string(iid, "import sys; sys.path[:] = {sys.path!r}; import tessra")
except Exception as exc:
    print("REFUSED", exc)
else:
    print("ACCEPTED")
idx = tessra.PyFlat(2)
idx.insert([1, 2])
print(idx.search([1, 2]))
"""
    rc, out, err = run_isolated(code)
    assert rc == 0, err
    lines = out.splitlines()
    assert lines[0].startswith("REFUSED ")
    assert "ImportError" in lines[0]
    assert "PyO3 modules do not yet support subinterpreters, see " in lines[0]
    assert lines[1] == "[(0, 0.0)]"


# ---------------------------------------------------------------- classes


@pytest.mark.parametrize("cls, name", [(PyFlat, "PyFlat"), (PyHNSW, "PyHNSW")])
def test_class_names(cls, name):
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert repr(cls) == f"<class 'builtins.{name}'>"


def test_flat_doc_and_signature():
    assert PyFlat.__doc__ == "Our Python-facing Flat index."
    assert PyFlat.__text_signature__ == "(dim, metric=None)"


def test_hnsw_doc_and_signature():
    assert PyHNSW.__doc__ == ""
    assert PyHNSW.__text_signature__ == (
        "(dim, layers=None, m=None, ef_construction=None, ef_search=None, metric=None, schema=None, *, "
        "graph=None, seed=None)"
    )


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_dict_holds_only_the_methods(cls):
    # add is the bulk insertion beside create; _add_stats reports the last add to the benchmark.
    extra = {"add", "_add_stats"} if cls is PyHNSW else {"add"}
    persistence = {"save", "load", "_from_bytes", "__reduce__", "__len__", "__bool__", "__repr__", "dim", "metric",
                   "remove"}
    if cls is PyHNSW:
        persistence |= {"layers", "m", "ef_construction", "ef_search", "schema", "graph", "seed"}
    assert set(vars(cls)) == {"__module__", "__doc__", "__new__", "insert", "search", "create", "search_batch"} | extra | persistence
    assert cls.__bases__ == (object,)
    assert cls.__mro__ == (cls, object)
    assert cls.__init__ is object.__init__
    assert cls.__eq__ is object.__eq__
    assert cls.__hash__ is object.__hash__


@pytest.mark.parametrize(
    "cls, docs", [(PyFlat, FLAT_DOCS), (PyHNSW, HNSW_DOCS)], ids=["PyFlat", "PyHNSW"]
)
@pytest.mark.parametrize("method", ["insert", "search", "create"])
def test_method_docs(cls, docs, method):
    signature, doc = docs[method]
    descriptor = vars(cls)[method]
    assert type(descriptor).__name__ == "method_descriptor"
    assert descriptor.__name__ == method
    assert descriptor.__qualname__ == f"{cls.__name__}.{method}"
    assert descriptor.__text_signature__ == signature
    if doc is None:
        assert not descriptor.__doc__
    else:
        assert descriptor.__doc__ == doc


@pytest.mark.parametrize(
    "cls, method, params",
    [
        (PyFlat, "insert", "(self, /, vector)"),
        (PyFlat, "search", "(self, /, query, k=None)"),
        (PyFlat, "create", "(self, /, vectors)"),
        (PyHNSW, "insert", "(self, /, vector, metadata=None)"),
        (PyHNSW, "search", "(self, /, query, k=None, filter=None)"),
        (PyHNSW, "create", "(self, /, vectors, metadata=None)"),
    ],
)
def test_method_signatures_introspect(cls, method, params):
    assert str(inspect.signature(getattr(cls, method))) == params


def test_bound_method_signature():
    idx = PyFlat(3)
    assert str(inspect.signature(idx.search)) == "(query, k=None)"
    assert idx.search.__self__ is idx
    assert idx.insert.__doc__ == FLAT_DOCS["insert"][1]


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_not_subclassable(cls):
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):

        class Sub(cls):  # noqa: F841
            pass


def test_type_flags():
    for cls in CLASSES:
        assert not cls.__flags__ & (1 << 10)  # not a base type
        assert not cls.__flags__ & (1 << 14)  # no garbage-collector support
        assert cls.__flags__ & (1 << 9)  # heap type


# ---------------------------------------------------------------- instances


def test_instance_has_no_dict_and_takes_no_new_attributes():
    idx = PyFlat(3)
    assert not hasattr(idx, "__dict__")
    for name in ("x", "dim", "metric", "__dict__"):
        with pytest.raises(AttributeError):
            setattr(idx, name, 1)
    with pytest.raises(AttributeError):
        idx.insert = None
    with pytest.raises(AttributeError):
        del idx.search
    idx.insert([1, 2, 3])
    assert idx.search([1, 2, 3]) == [(0, 0.0)]


def test_instance_cannot_be_weakly_referenced():
    idx = PyFlat(3)
    with pytest.raises(TypeError):
        weakref.ref(idx)
    assert not hasattr(idx, "__weakref__")


def test_instance_not_tracked_by_gc():
    idx = PyFlat(3)
    idx.insert([1, 2, 3])
    assert not gc.is_tracked(idx)


def test_instance_has_no_extra_behaviour():
    idx = PyFlat(3)
    idx.insert([1, 2, 3])
    assert len(idx) == 1  # the additions: len() counts the stored vectors
    assert PyFlat(3) and PyHNSW(3, metric="euclidean")  # and leaves even empty indexes true
    with pytest.raises(TypeError):
        iter(idx)
    with pytest.raises(TypeError):
        memoryview(idx)
    with pytest.raises(TypeError):
        idx[0]
    assert repr(idx) == "PyFlat(dim=3, metric='euclidean', len=1)"  # and repr() shows what it holds
    other = PyFlat(3)
    other.insert([1, 2, 3])
    assert idx != other
    assert idx == idx


def test_inherited_init_accepts_constructor_arguments():
    idx = PyFlat(2, "cosine")
    idx.__init__(2, "cosine")
    idx = PyFlat(dim=2, metric="cosine")
    assert isinstance(idx, PyFlat)


def test_instances_freed_with_their_object():
    idx = PyFlat(3)
    idx.create([[float(i)] * 3 for i in range(100)])
    count = sys.getrefcount(idx)
    res = idx.search([0.0] * 3, 3)
    assert sys.getrefcount(idx) == count
    del idx
    gc.collect()
    assert res[0] == (0, 0.0)


@pytest.mark.parametrize(
    "make, text",
    [
        (lambda: PyFlat(3), "PyFlat(dim=3, metric='euclidean', len=2)"),
        (lambda: PyFlat(3, metric="cosine"), "PyFlat(dim=3, metric='cosine', len=2)"),
        (lambda: PyHNSW(3, metric="angular"),
         "PyHNSW(dim=3, metric='angular', graph='full', layers=5, ef_construction=200, ef_search=50, len=2)"),
        (lambda: PyHNSW(3, metric="euclidean", graph="pruned", m=8, ef_search=20),
         "PyHNSW(dim=3, metric='euclidean', graph='pruned', m=8, ef_construction=200, ef_search=20, len=2)"),
    ],
)
def test_repr_shows_what_the_index_holds(make, text):
    index = make()
    index.add([[1.0, 2.0, 3.0], [3.0, 2.0, 1.0]])
    assert repr(index) == text

    # While an insertion holds the index, repr leaves the length out instead of failing.
    class Vector(list):
        def __iter__(self):
            seen.append(repr(index))
            return super().__iter__()

    seen = []
    index.insert(Vector([0.0, 0.0, 0.0]))
    assert seen == [text.replace(", len=2)", ")")]
