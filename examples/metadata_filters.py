"""Metadata and filtered search with PyHNSW.

    python examples/metadata_filters.py

An index built with a schema stores one typed value per schema attribute with
every vector (text, integer or float), and a search can be restricted to the
vectors whose value for one attribute equals a given value. Equality is
type-strict: the integer 42, the float 42.0 and the text "42" are three
different values.
"""

from collections.abc import Callable

import tessra

# Eight items on a line, so distances are easy to follow: item i sits at x = i.
items: list[tuple[str, str, int | float | str]] = [
    ("anchor", "red", 42),  # an int
    ("bolt", "blue", 42.0),  # a float
    ("clamp", "blue", 42),
    ("dowel", "red", 7),
    ("eyelet", "green", 42.0),
    ("flange", "blue", 7),
    ("gasket", "red", True),  # a bool is stored as the integer 1
    ("hinge", "green", "42"),  # text
]
vectors = [[float(i), 0.0] for i in range(len(items))]
metadata = [[("name", name), ("color", color), ("size", size)] for name, color, size in items]

index = tessra.PyHNSW(2, metric="euclidean", schema=["name", "color", "size"])
index.create(vectors, metadata=metadata)  # one list of (attribute, value) pairs per vector

# Searches return (distance, vector); look the vector up to show its metadata.
by_vector = {tuple(v): item for v, item in zip(vectors, items)}


def show(label: str, results: list[tuple[float, list[float]]]) -> None:
    found = []
    for distance, vector in results:
        name, color, size = by_vector[tuple(vector)]
        found.append(f"{name} ({color}, size {size!r})")
    print(f"{label:<34} -> {', '.join(found) if found else 'no match'}")


query = [7.4, 0.0]
print(f"query {query}, k=3\n")
show("no filter", index.search(query, k=3))
show('filter ("color", "blue")', index.search(query, k=3, filter=("color", "blue")))
show('filter ("color", "Blue")', index.search(query, k=3, filter=("color", "Blue")))

print("\nType-strict equality on size:")
show('filter ("size", 42)', index.search(query, k=3, filter=("size", 42)))
show('filter ("size", 42.0)', index.search(query, k=3, filter=("size", 42.0)))
show('filter ("size", "42")', index.search(query, k=3, filter=("size", "42")))
show('filter ("size", 1)', index.search(query, k=3, filter=("size", 1)))
show('filter ("size", True)', index.search(query, k=3, filter=("size", True)))
show('filter ("size", float("nan"))', index.search(query, k=3, filter=("size", float("nan"))))

# One more vector, inserted on its own with its metadata. Pairs may come in any
# order; attributes outside the schema are ignored.
index.insert([7.5, 0.0], metadata=[("size", 42), ("color", "blue"), ("name", "ingot"), ("weight", None)])
vectors.append([7.5, 0.0])
by_vector[(7.5, 0.0)] = ("ingot", "blue", 42)
show('after insert, ("color", "blue")', index.search(query, k=3, filter=("color", "blue")))

print("\nWhat is refused, and how:")
attempts: list[tuple[str, Callable[[], object]]] = [
    ("insert without a schema attribute", lambda: index.insert([9.0, 0.0], metadata=[("name", "jig"), ("color", "red")])),
    ("insert with an unsupported value", lambda: index.insert([9.0, 0.0], metadata=[("name", "jig"), ("color", None), ("size", 1)])),
    ("filter on an unknown attribute", lambda: index.search(query, filter=("weight", 1))),
    # None is not a metadata value, so the type checker refuses it too; passed on purpose to show the error.
    ("filter value None", lambda: index.search(query, filter=("size", None))),  # type: ignore[arg-type]
    ("filter on an index without schema", lambda: tessra.PyHNSW(2, metric="euclidean").search(query, filter=("color", "red"))),
]
for label, attempt in attempts:
    try:
        attempt()
        print(f"  {label}: accepted")
    except ValueError as exc:
        print(f"  {label}: ValueError: {exc}")
