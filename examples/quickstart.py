"""tessra in one minute: an exact index and a graph index over a few 3-d points.

    python examples/quickstart.py
"""

import tessra

# Six points in 3-d space; a point's position in this list is its id.
points = [
    [0.0, 0.0, 0.0],  # 0: the origin
    [1.0, 0.0, 0.0],  # 1
    [0.0, 2.0, 0.0],  # 2
    [1.0, 1.0, 1.0],  # 3
    [5.0, 5.0, 5.0],  # 4: far away
    [0.9, 0.2, 0.1],  # 5
]
query = [1.0, 0.1, 0.0]
print(f"query: {query}\n")

# PyFlat compares the query with every stored vector: exact answers.
# Without a metric name it measures euclidean distance.
flat = tessra.PyFlat(3)
flat.create(points)  # bulk insert; ids are 0, 1, 2, ... in list order
flat.insert([2.0, 0.5, 0.0])  # one more vector: id 6
points.append([2.0, 0.5, 0.0])

print("PyFlat, the 3 nearest points: search returns (id, distance), nearest first")
for point_id, distance in flat.search(query, k=3):
    print(f"  id {point_id}  {points[point_id]}  distance {distance:.4f}")

# PyHNSW walks a layered neighbour graph: approximate answers, fast on large
# sets. It needs an explicit metric: "euclidean", "angular" or "inner_product".
graph = tessra.PyHNSW(3, metric="euclidean")
graph.create(points)

# A PyHNSW search returns (distance, copy of the stored vector); map a vector
# back to its id with a dictionary when you need the id.
id_of = {tuple(p): i for i, p in enumerate(points)}
print("\nPyHNSW, the 3 nearest points: search returns (distance, vector), nearest first")
for distance, vector in graph.search(query, k=3):
    print(f"  id {id_of[tuple(vector)]}  {vector}  distance {distance:.4f}")

# Without k, a search returns the single nearest point.
(best_id, best_distance), = flat.search(query)
print(f"\nnearest point: id {best_id} at distance {best_distance:.4f}")
