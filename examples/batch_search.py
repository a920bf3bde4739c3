"""Many queries in one call: search_batch on every core, checked against search.

    python examples/batch_search.py [PATH]

PATH is an MNIST image file in IDX format, gzip-compressed or not (for
example t10k-images-idx3-ubyte.gz). Without PATH the example generates
28x28 images of ten noisy shapes instead. 9,000 images are indexed and 1,000
others are the queries, as 784-d vectors of pixel values 0-255.

search_batch takes a 2-d array of queries and returns two arrays, ids and
distances, with one row per query. Each row is exactly what search returns
for that query: the same ids and the same distance bits.
"""

import gzip
import struct
import sys
import time

import numpy as np
import numpy.typing as npt

import tessra

BASE, QUERIES, K = 9000, 1000, 10
GRAPH_BASE = 2000  # the graph build links every node its searches find, so it stays small here


def read_idx_images(path: str) -> npt.NDArray[np.uint8]:
    """Images of an IDX file (magic 0x00000803) as an (n, 28*28) uint8 array."""
    with open(path, "rb") as f:
        gzipped = f.read(2) == b"\x1f\x8b"
    with (gzip.open if gzipped else open)(path, "rb") as f:
        data = f.read()
    magic, count, rows, cols = struct.unpack(">IIII", data[:16])
    if magic != 0x0803:
        sys.exit(f"{path}: not an IDX image file (magic {magic:#010x})")
    return np.frombuffer(data[16:], dtype=np.uint8, count=count * rows * cols).reshape(count, rows * cols)


def generated_images(count: int, seed: int = 3) -> npt.NDArray[np.uint8]:
    """Ten noisy shapes: rings of different sizes crossed by a bar."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:28, 0:28]
    shapes = []
    for c in range(10):
        ring = np.abs(np.hypot(y - 14, x - 14) - (4 + (c % 5) * 1.8)) < 1.6
        bar = np.abs(x - (6 + 1.7 * c)) < 1.2 if c < 5 else np.abs(y - (6 + 1.7 * (c - 5))) < 1.2
        shapes.append(np.where(ring | bar, 230.0, 0.0).ravel())
    noisy = np.array(shapes)[rng.integers(0, 10, size=count)] + rng.normal(0, 40, size=(count, 784))
    return np.clip(noisy, 0, 255).round().astype(np.uint8)


if len(sys.argv) > 1:
    images = read_idx_images(sys.argv[1])[: BASE + QUERIES]
    source = f"MNIST images from {sys.argv[1]}"
else:
    images = generated_images(BASE + QUERIES)
    source = "generated images (no MNIST file given)"
base = images[:-QUERIES].astype(np.float64)
queries = images[-QUERIES:].astype(np.float64)
print(f"batch data: {source}: {len(base)} indexed, {len(queries)} queries, dimension {base.shape[1]}")

flat = tessra.PyFlat(784)
flat.create(base)
graph = tessra.PyHNSW(784, ef_construction=40, metric="euclidean")
graph.create(base[:GRAPH_BASE])
indexes: list[tuple[str, tessra.PyFlat | tessra.PyHNSW]] = [("PyFlat", flat), ("PyHNSW", graph)]

for name, index in indexes:
    for threads in (1, None):
        t0 = time.perf_counter()
        ids, distances = index.search_batch(queries, K, threads=threads)
        seconds = time.perf_counter() - t0
        label = "1 thread" if threads == 1 else "every core"
        print(f"{name} search_batch, {label}: {len(queries) / seconds:,.0f} queries/s, "
              f"ids {ids.dtype} {ids.shape}, distances {distances.dtype} {distances.shape}")

    # Row i is search(queries[i], K): PyFlat gives (id, distance) pairs, PyHNSW
    # (distance, vector) pairs whose vectors are the stored rows of the ids.
    same = 0
    for i, q in enumerate(queries):
        if isinstance(index, tessra.PyFlat):
            row = [(int(ident), float(d)) for ident, d in zip(ids[i], distances[i])]
            same += row == index.search(q, K)
        else:
            found = index.search(q, K)
            same += len(found) == int((ids[i] >= 0).sum()) and all(
                float(d) == d2 and base[ident].tolist() == v2
                for ident, d, (d2, v2) in zip(ids[i], distances[i], found)
            )
    print(f"{name}: {same}/{len(queries)} rows equal search")

# Rows shorter than the width are padded with id -1 and distance NaN.
ids, distances = graph.search_batch(queries[:2], 3, ef_search=2)
print(f"k=3 with ef_search=2: width {ids.shape[1]}, first row {ids[0].tolist()}")
