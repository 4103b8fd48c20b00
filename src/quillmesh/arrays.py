"""Arrays in and out: IntGraphCore listings and analyses as numpy arrays, and edge loads from columns.

Every function takes an ``IntGraphCore`` and works on the same native graph, through the same borrow
as its methods (shared for reads; exclusive for loads and for ``pagerank``, which may fill the
graph's cached snapshot). Results are allocated once at their final size and filled natively: no
Python object is made per element. Per-node results are in ``g.nodes()`` order, so position i of
``degrees(g)``, ``pagerank(g)``, ``component_labels(g)`` and ``distances(g, s)`` is the node
``nodes(g)[i]``.

numpy is required by this module only. scipy (``to_scipy``) and networkx (``to_networkx``,
``from_networkx``) are imported when those functions are called; columns from pyarrow, polars or
pandas are read through the Arrow PyCapsule interface, without importing any Arrow library.
"""

from __future__ import annotations

import numbers
from typing import Any

import numpy as np
import numpy.typing as npt

from quillmesh import _arrays
from quillmesh._accel import IntGraphCore

__all__ = [
    "add_edges",
    "component_labels",
    "csr",
    "degrees",
    "distances",
    "edges",
    "from_networkx",
    "nodes",
    "pagerank",
    "to_networkx",
    "to_scipy",
]

Int64Array = npt.NDArray[np.int64]
IndexArray = npt.NDArray[np.int32] | npt.NDArray[np.int64]
Float64Array = npt.NDArray[np.float64]


def nodes(g: IntGraphCore) -> Int64Array:
    """Every node's id, in ``g.nodes()`` order."""
    return np.asarray(_arrays.nodes(g))


def degrees(g: IntGraphCore) -> Int64Array:
    """Every node's degree (a self-loop counts once), in ``g.nodes()`` order."""
    return np.asarray(_arrays.degrees(g))


def edges(g: IntGraphCore) -> Int64Array:
    """Every edge once as a row ``(u, v)`` with ``u <= v``: an (m, 2) array in ``g.edges()`` order."""
    return np.asarray(_arrays.edges(g))


def pagerank(g: IntGraphCore, damping: float = 0.85, max_iter: int = 100, tol: float = 1e-6) -> Float64Array:
    """PageRank scores in ``g.nodes()`` order: the same values, bit for bit, as ``g.pagerank()``."""
    return np.asarray(_arrays.pagerank(g, damping, max_iter, tol))


def component_labels(g: IntGraphCore) -> Int64Array:
    """Each node's connected component, in ``g.nodes()`` order.

    Label k is the k-th entry of ``g.connected_component_sizes()``, so
    ``np.bincount(component_labels(g))`` equals those sizes.
    """
    return np.asarray(_arrays.component_labels(g))


def distances(g: IntGraphCore, source: int) -> Int64Array:
    """Hop distance of every node from ``source``, in ``g.nodes()`` order; -1 where unreachable.

    A ``source`` that is not a node reaches nothing: every entry is -1.
    """
    return np.asarray(_arrays.distances(g, source))


def csr(g: IntGraphCore) -> tuple[IndexArray, IndexArray]:
    """The adjacency as compressed sparse rows ``(indptr, indices)``.

    Row i is the node ``nodes(g)[i]``; its neighbours are the positions
    ``indices[indptr[i]:indptr[i + 1]]``, ascending (a self-loop is one entry). Both arrays are
    int32 when every value fits, int64 otherwise, which is what ``scipy.sparse.csr_array`` keeps
    without a copy.
    """
    indptr, indices = _arrays.csr(g)
    return np.asarray(indptr), np.asarray(indices)


# scipy and networkx ship no type information, so their objects are typed as Any here.
def to_scipy(g: IntGraphCore, dtype: npt.DTypeLike = np.float64) -> Any:
    """The adjacency matrix as a ``scipy.sparse.csr_array`` of ones, rows and columns in ``g.nodes()`` order.

    It shares ``csr(g)``'s arrays. Needs scipy.
    """
    import scipy.sparse

    indptr, indices = csr(g)
    n = len(indptr) - 1
    data = np.ones(len(indices), dtype=dtype)
    return scipy.sparse.csr_array((data, indices, indptr), shape=(n, n), copy=False)


def to_networkx(g: IntGraphCore) -> Any:
    """A ``networkx.Graph`` with the same nodes (in ``g.nodes()`` order) and edges. Needs networkx."""
    import networkx

    out = networkx.Graph()
    out.add_nodes_from(nodes(g).tolist())
    out.add_edges_from(edges(g).tolist())
    return out


def from_networkx(graph: Any) -> IntGraphCore:
    """A new IntGraphCore with the nodes (in the graph's order) and edges of a networkx graph.

    Nodes must be integers in the signed 64-bit range; a directed graph's edges are taken as
    undirected. Any other node is a ``TypeError`` that names it.
    """
    ids = list(graph.nodes)
    for node in ids:
        if not isinstance(node, numbers.Integral) or isinstance(node, bool):
            raise TypeError(f"from_networkx() needs integer nodes, got {node!r} ({type(node).__name__})")
    out = IntGraphCore()
    out.add_nodes_from([int(node) for node in ids])
    pairs = [(int(u), int(v)) for u, v, *_ in graph.edges]
    if pairs:
        out.add_edges_from(pairs)
    return out


def _column(values: Any) -> Any:
    """values as add_edges() reads them: Arrow arrays and buffers as they are, else through numpy."""
    if hasattr(values, "__arrow_c_stream__") or hasattr(values, "__arrow_c_array__"):
        return values
    try:
        memoryview(values).release()
    except TypeError:
        return np.asarray(values)
    return values


def add_edges(g: IntGraphCore, src: Any, dst: Any) -> None:
    """Adds the edges ``(src[k], dst[k])`` in order: the graph ``g.add_edges_flat()`` makes of the interleaved pairs.

    ``src`` and ``dst`` are equal-length columns of integers: numpy arrays (strided slices too), any
    buffer of integers, or anything with the Arrow PyCapsule interface (pyarrow arrays and chunked
    arrays, polars Series, pandas Arrow columns); other sequences go through ``numpy.asarray``.
    They are read where they lie. A null, a value outside the signed 64-bit range or columns of
    unequal length raise ``ValueError``/``OverflowError`` naming the column and the first bad
    position, and a column that is not of integers ``TypeError``; the graph is then unchanged.
    """
    _arrays.add_edges(g, _column(src), _column(dst))
