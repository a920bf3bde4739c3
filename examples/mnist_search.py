"""Nearest-neighbour search over handwritten digits.

    python examples/mnist_search.py [PATH]

PATH is an MNIST image file in IDX format, gzip-compressed or not (for
example t10k-images-idx3-ubyte.gz). Without PATH the example generates
28x28 images of ten noisy shapes instead. 2,000 images are indexed and 50
others are the queries; each image is a 784-d vector of pixel values 0-255.
"""

import gzip
import struct
import sys
import time

import numpy as np
import numpy.typing as npt

import tessra

BASE, QUERIES, K = 2000, 50, 10
SHADES = " .:-=+*#%@"


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
    """Ten shapes (rings of different sizes crossed by a bar), each drawn with noise."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:28, 0:28]
    shapes = []
    for c in range(10):
        radius = 4 + (c % 5) * 1.8
        ring = np.abs(np.hypot(y - 14, x - 14) - radius) < 1.6
        bar = np.abs(x - (6 + 1.7 * c)) < 1.2 if c < 5 else np.abs(y - (6 + 1.7 * (c - 5))) < 1.2
        shapes.append(np.where(ring | bar, 230.0, 0.0).ravel())
    labels = rng.integers(0, 10, size=count)
    noisy = np.array(shapes)[labels] + rng.normal(0, 40, size=(count, 784))
    return np.clip(noisy, 0, 255).round().astype(np.uint8)


def ascii_art(image: npt.NDArray[np.float64]) -> list[str]:
    """28x28 pixels as 14 text rows (two pixel rows per text row)."""
    img = image.reshape(28, 28).astype(float)
    rows = (img[0::2] + img[1::2]) / 2
    return ["".join(SHADES[int(v / 256 * len(SHADES))] for v in row) for row in rows]


if len(sys.argv) > 1:
    images = read_idx_images(sys.argv[1])
    source = f"MNIST images from {sys.argv[1]}"
else:
    images = generated_images(BASE + QUERIES)
    source = "generated images (no MNIST file given)"
base = images[:BASE].astype(np.float64)
queries = images[-QUERIES:].astype(np.float64)
print(f"data: {source}: {len(base)} indexed, {len(queries)} queries, dimension {base.shape[1]}")

t0 = time.perf_counter()
flat = tessra.PyFlat(784)
flat.create(base)
t1 = time.perf_counter()
graph = tessra.PyHNSW(784, metric="euclidean")
graph.create(base)
t2 = time.perf_counter()
print(f"built PyFlat in {t1 - t0:.3f}s and PyHNSW in {t2 - t1:.2f}s")

row_id = {row.tobytes(): i for i, row in enumerate(base)}
hits = 0
t_flat = t_graph = 0.0
for q in queries:
    t0 = time.perf_counter()
    exact = {i for i, _ in flat.search(q, k=K)}
    t1 = time.perf_counter()
    approx = [row_id[np.asarray(v).tobytes()] for _, v in graph.search(q, k=K)]
    t2 = time.perf_counter()
    t_flat += t1 - t0
    t_graph += t2 - t1
    hits += len(exact.intersection(approx))
print(f"PyFlat: {t_flat / QUERIES * 1e3:.2f} ms per query (exact)")
print(f"PyHNSW: {t_graph / QUERIES * 1e3:.2f} ms per query, recall@{K} against PyFlat {hits / (QUERIES * K):.3f}")

# Show the first query beside the three images PyFlat finds nearest to it.
nearest = flat.search(queries[0], k=3)
columns = [ascii_art(queries[0])] + [ascii_art(base[i]) for i, _ in nearest]
titles = ["query"] + [f"id {i}, dist {d:.0f}" for i, d in nearest]
print()
print("   ".join(f"{t:<28}" for t in titles))
for line in zip(*columns):
    print("   ".join(line))
