"""Keeping an index up to date: remove what changed, add its new version.

    python examples/update_index.py

A catalogue of products, each described by a vector. Products change (a new
description, so a new vector) and are withdrawn. tessra ids are never reused,
so the application keeps a map from its own keys to the current id: an update
removes the old id and adds the new vector under a fresh one. Removed vectors
are never returned again, in the graph as in the exact index, and removals
are saved with the index.
"""

import os
import tempfile

import numpy as np

import tessra

DIM = 32
rng = np.random.default_rng(3)
products = {f"sku-{n:04d}": rng.normal(size=DIM) for n in range(2000)}

index = tessra.PyHNSW(DIM, metric="angular", graph="pruned", schema=["sku"], seed=1)
keys = list(products)
ids = index.add(np.array([products[k] for k in keys]), metadata=[[("sku", k)] for k in keys])
current = dict(zip(keys, ids.tolist()))  # sku -> the id of its current vector
print(f"catalogue: {len(index)} products")

# 200 products get a new description; 50 are withdrawn.
changed = keys[:200]
withdrawn = keys[200:250]
index.remove([current[k] for k in changed + withdrawn])
for key in withdrawn:
    del current[key]
new_vectors = np.array([rng.normal(size=DIM) for _ in changed])
new_ids = index.add(new_vectors, metadata=[[("sku", k)] for k in changed])
for key, new_id, vector in zip(changed, new_ids.tolist(), new_vectors):
    current[key] = new_id
    products[key] = vector
print(f"after the update: {len(index)} products, ids {int(new_ids[0])}..{int(new_ids[-1])} for the new versions")

# Searches return current versions only.
live = set(current.values())
found, _ = index.search_batch(rng.normal(size=(500, DIM)), k=10)
assert set(found.ravel().tolist()) <= live
print("every result is a current version:", set(found.ravel().tolist()) <= live)
nearest = index.search(products["sku-0007"].tolist(), k=1)[0]
print(f"the nearest product to sku-0007's new description is at distance {nearest[0]:.1e}")

with tempfile.TemporaryDirectory() as directory:
    path = os.path.join(directory, "catalogue.tsr")
    index.save(path)
    again = tessra.PyHNSW.load(path)
    print(f"saved and loaded: {len(again)} products; withdrawn ones stay removed:",
          not set(again.search_batch(rng.normal(size=(200, DIM)), k=10)[0].ravel().tolist()) - live)
