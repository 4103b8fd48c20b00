"""A small program written against the type stubs; `mypy --strict` must accept it as it stands."""

import numpy as np

import quillmesh
from quillmesh import IntGraphCore, ProgressEvent, arrays


def summary(g: IntGraphCore) -> dict[str, object]:
    ranks: list[tuple[int, float]] = g.pagerank(damping=0.9, tol=1e-9)
    sizes: list[int] = g.connected_component_sizes()
    return {
        "nodes": g.number_of_nodes(),
        "edges": g.number_of_edges(),
        "triangles": g.triangle_count(),
        "top": max(ranks, key=lambda pair: pair[1])[0] if ranks else None,
        "components": sizes,
        "distance": g.shortest_path_length(1, 3),
    }


g = IntGraphCore()
g.add_node(0)
g.add_edge(1, 2)
g.add_edges_from([(2, 3), (3, 1)])
g.add_edges_flat([4, 5, 5, 6])
g.add_edges_flat(np.array([7, 8], dtype=np.int64))
g.add_nodes_from(range(10))
g.build_random(100, 50, seed=7)
present: bool = g.has_node(3) and g.has_edge(1, 2) and 3 in g
answers: list[bool] = g.has_edges([(1, 2), (2, 9)])
inside: int = g.subgraph_edge_count([1, 2, 3])
pairs: list[tuple[int, int]] = g.edges()
flat: list[int] = g.edges_flat() + g.nodes() + g.neighbors(1)
degrees: list[tuple[int, int]] = g.degree_sequence()
print(len(g), g.degree(1), present, answers, inside, len(pairs), len(flat), len(degrees), summary(g))

ids: np.ndarray = arrays.nodes(g)
ranks = arrays.pagerank(g, damping=0.9)
labels = arrays.component_labels(g)
indptr, indices = arrays.csr(g)
arrays.add_edges(g, np.array([1, 2]), [3, 4])
hops = arrays.distances(g, 1)
print(ids.size, float(ranks.sum()), int(labels.max()), indptr.dtype, indices.size, arrays.edges(g).shape, hops[0])


def report(event: ProgressEvent) -> None:
    print(event.operation, event.done, event.total, event.finished)


with quillmesh.progress(report, interval=0.5):
    g.build_random(200, 100, seed=3)

# Saving, loading, pickling and copying.
import copy
import io
import pickle
import tempfile
from pathlib import Path

from quillmesh.io import FORMAT_VERSION, FormatError, load, save

with tempfile.TemporaryDirectory() as folder:
    save(g, Path(folder) / "g.qmg")
    same: IntGraphCore = load(Path(folder) / "g.qmg")
stream = io.BytesIO()
save(g, stream)
stream.seek(0)
again = load(stream)
try:
    load(io.BytesIO(b"not a graph"))
except FormatError as error:
    print(FORMAT_VERSION, error)
clone: IntGraphCore = copy.deepcopy(g)
print(same.number_of_edges() == again.number_of_edges() == clone.number_of_edges() == pickle.loads(pickle.dumps(g)).number_of_edges())

# Analyses beyond the class's own.
from quillmesh import algorithms

cores: np.ndarray = algorithms.core_numbers(g)
through: np.ndarray = algorithms.triangles(g)
local: np.ndarray = algorithms.clustering(g)
closed: float = algorithms.transitivity(g)
print(int(cores.max(initial=0)), int(through.sum()), float(local.mean()) if local.size else 0.0, closed)
longest: int = algorithms.diameter(g)
