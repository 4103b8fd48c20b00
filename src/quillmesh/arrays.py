"""Arrays in and out: IntGraphCore listings and analyses as numpy arrays, and edge loads from columns.

Every function takes an :class:`~quillmesh.IntGraphCore` and works on the same native graph, through
the same borrow as its methods (shared for reads; exclusive for loads and for ``pagerank``, which
may fill the graph's cached snapshot), so a call that conflicts with one in progress raises
``RuntimeError`` at once; a ``g`` that is not an ``IntGraphCore`` raises ``TypeError``. The
functions' own sections below list only the errors beyond these two. Each runs detached from the interpreter, stops on Ctrl-C and reports
progress inside a :class:`~quillmesh.progress` block as "arrays.<name>" (the conversions as the calls
they are made of: ``to_scipy`` as "arrays.csr", say). Results are allocated once at their final size
and filled natively: no Python object is made per element. Per-node results are in ``g.nodes()``
order, so position i of ``degrees(g)``, ``pagerank(g)``, ``component_labels(g)`` and
``distances(g, s)`` is the node ``nodes(g)[i]``.

numpy is required by this module only. scipy (``to_scipy``) and networkx (``to_networkx``) are
imported when those functions are called, and ``from_networkx`` reads a networkx graph without
importing networkx; columns from pyarrow, polars or pandas are read through the Arrow PyCapsule
interface, without importing any Arrow library.
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
    """Every node's id, in ``g.nodes()`` order.

    Returns
    -------
    numpy.ndarray of numpy.int64
        One id per node, shape (n,).

    Examples
    --------
    >>> from quillmesh import IntGraphCore, arrays
    >>> g = IntGraphCore()
    >>> g.add_edges_from([(1, 2), (2, 3), (3, 1), (3, 4)])
    >>> g.add_node(9)
    >>> arrays.nodes(g)
    array([1, 2, 3, 4, 9])
    """
    return np.asarray(_arrays.nodes(g))


def degrees(g: IntGraphCore) -> Int64Array:
    """Every node's degree (a self-loop counts once), in ``g.nodes()`` order.

    Returns
    -------
    numpy.ndarray of numpy.int64
        The number of neighbours of each node, shape (n,).

    Examples
    --------
    >>> from quillmesh import IntGraphCore, arrays
    >>> g = IntGraphCore()
    >>> g.add_edges_from([(1, 2), (2, 3), (3, 1), (3, 4), (4, 4)])
    >>> arrays.degrees(g)
    array([2, 2, 3, 2])
    """
    return np.asarray(_arrays.degrees(g))


def edges(g: IntGraphCore) -> Int64Array:
    """Every edge once as a row ``(u, v)`` with ``u <= v``, in ``g.edges()`` order.

    Each edge is listed at its smaller endpoint ``u``: the nodes in ``g.nodes()`` order, and each
    one's larger neighbours in ``g.neighbors(u)`` order. The rows are therefore not sorted.

    Returns
    -------
    numpy.ndarray of numpy.int64
        An (m, 2) array: column 0 holds the smaller endpoint of each edge, column 1 the larger.

    Examples
    --------
    >>> from quillmesh import IntGraphCore, arrays
    >>> g = IntGraphCore()
    >>> g.add_edges_from([(2, 1), (3, 2), (3, 3)])
    >>> arrays.edges(g)
    array([[2, 3],
           [1, 2],
           [3, 3]])
    """
    return np.asarray(_arrays.edges(g))


def pagerank(g: IntGraphCore, damping: float = 0.85, max_iter: int = 100, tol: float = 1e-6) -> Float64Array:
    """PageRank scores in ``g.nodes()`` order: the same values, bit for bit, as ``g.pagerank()``.

    The scores come from power iteration, which runs until an iteration changes them by less than
    ``tol`` in all (the sum of the changes over the nodes) or ``max_iter`` iterations have run; see
    :meth:`quillmesh.IntGraphCore.pagerank`. The call needs ``g`` alone: it builds, and keeps until
    the next change, a sorted copy of the adjacency.

    Parameters
    ----------
    damping : float
        The damping factor: the share of a node's score that it passes on to its neighbours.
    max_iter : int
        The most iterations to run (0 or more).
    tol : float
        The total change of the scores below which the iteration stops.

    Returns
    -------
    numpy.ndarray of numpy.float64
        One score per node, shape (n,); empty for a graph without nodes.

    Raises
    ------
    TypeError
        If ``g`` is not an IntGraphCore, ``damping`` or ``tol`` is not a number, or
        ``max_iter`` is not an integer.
    OverflowError
        If ``max_iter`` is negative or does not fit an unsigned 64-bit integer.
    """
    return np.asarray(_arrays.pagerank(g, damping, max_iter, tol))


def component_labels(g: IntGraphCore) -> Int64Array:
    """Each node's connected component, in ``g.nodes()`` order.

    Label k is the k-th entry of ``g.connected_component_sizes()``, so
    ``np.bincount(component_labels(g))`` equals those sizes.

    Returns
    -------
    numpy.ndarray of numpy.int64
        One label per node, shape (n,), from 0 to the number of components less one.

    Examples
    --------
    >>> import numpy as np
    >>> from quillmesh import IntGraphCore, arrays
    >>> g = IntGraphCore()
    >>> g.add_edges_from([(1, 2), (5, 6), (2, 3)])
    >>> arrays.component_labels(g)
    array([0, 0, 1, 1, 0])
    >>> np.bincount(arrays.component_labels(g)).tolist() == g.connected_component_sizes()
    True
    """
    return np.asarray(_arrays.component_labels(g))


def distances(g: IntGraphCore, source: int) -> Int64Array:
    """Hop distance of every node from ``source``, in ``g.nodes()`` order; -1 where unreachable.

    A ``source`` that is not a node reaches nothing: every entry is -1.

    Parameters
    ----------
    source : int
        The node the distances are measured from.

    Returns
    -------
    numpy.ndarray of numpy.int64
        The number of edges on a shortest path from ``source`` to each node, shape (n,): 0 for
        ``source`` itself, -1 for a node it does not reach.

    Raises
    ------
    TypeError
        If ``g`` is not an IntGraphCore or ``source`` is not an integer.
    OverflowError
        If ``source`` is outside the signed 64-bit range.

    Examples
    --------
    >>> from quillmesh import IntGraphCore, arrays
    >>> g = IntGraphCore()
    >>> g.add_edges_from([(1, 2), (2, 3), (7, 8)])
    >>> arrays.distances(g, 1)
    array([ 0,  1,  2, -1, -1])
    >>> arrays.distances(g, 99)
    array([-1, -1, -1, -1, -1])
    """
    return np.asarray(_arrays.distances(g, source))


def csr(g: IntGraphCore) -> tuple[IndexArray, IndexArray]:
    """The adjacency as compressed sparse rows ``(indptr, indices)``.

    Row i is the node ``nodes(g)[i]``; its neighbours are the positions
    ``indices[indptr[i]:indptr[i + 1]]``, ascending (a self-loop is one entry). Both arrays are
    int32 when every value fits, int64 otherwise, which is what ``scipy.sparse.csr_array`` keeps
    without a copy.

    Returns
    -------
    indptr : numpy.ndarray of numpy.int32 or numpy.int64
        Where each row starts in ``indices``, shape (n + 1,).
    indices : numpy.ndarray of numpy.int32 or numpy.int64
        The neighbours' positions in ``g.nodes()`` order, row after row, shape (2m - s,) for
        s self-loops.

    Examples
    --------
    >>> from quillmesh import IntGraphCore, arrays
    >>> g = IntGraphCore()
    >>> g.add_edges_from([(10, 30), (10, 20), (30, 30)])
    >>> indptr, indices = arrays.csr(g)
    >>> indptr.tolist(), indices.tolist()
    ([0, 2, 4, 5], [1, 2, 0, 1, 0])
    >>> indices.dtype
    dtype('int32')
    """
    indptr, indices = _arrays.csr(g)
    return np.asarray(indptr), np.asarray(indices)


# scipy and networkx ship no type information, so their objects are typed as Any here.
def to_scipy(g: IntGraphCore, dtype: npt.DTypeLike = np.float64) -> Any:
    """The adjacency matrix as a ``scipy.sparse.csr_array`` of ones, rows and columns in ``g.nodes()`` order.

    It shares :func:`quillmesh.arrays.csr`'s arrays (``indptr`` and ``indices`` are not copied). A
    self-loop is a one on the diagonal. Needs scipy, which is imported when the function is called.

    Parameters
    ----------
    dtype : numpy.typing.DTypeLike
        The type of the matrix's values (numpy's float64 unless given).

    Returns
    -------
    ``scipy.sparse.csr_array``
        An (n, n) symmetric matrix with a one at (i, j) for every edge between the nodes at
        positions i and j.

    Raises
    ------
    ImportError
        If scipy is not installed.

    Examples
    --------
    >>> import numpy as np
    >>> from quillmesh import IntGraphCore, arrays
    >>> g = IntGraphCore()
    >>> g.add_edges_from([(1, 2), (2, 3)])
    >>> arrays.to_scipy(g, dtype=np.int8).toarray()
    array([[0, 1, 0],
           [1, 0, 1],
           [0, 1, 0]], dtype=int8)
    """
    import scipy.sparse

    indptr, indices = csr(g)
    n = len(indptr) - 1
    data = np.ones(len(indices), dtype=dtype)
    return scipy.sparse.csr_array((data, indices, indptr), shape=(n, n), copy=False)


def to_networkx(g: IntGraphCore) -> Any:
    """A ``networkx.Graph`` with the same nodes (in ``g.nodes()`` order) and edges.

    Needs networkx, which is imported when the function is called.

    Returns
    -------
    ``networkx.Graph``
        A new graph whose nodes are Python ints, added in ``g.nodes()`` order, with the edges in
        ``g.edges()`` order (self-loops included).

    Raises
    ------
    ImportError
        If networkx is not installed.

    Examples
    --------
    >>> from quillmesh import IntGraphCore, arrays
    >>> g = IntGraphCore()
    >>> g.add_edges_from([(3, 1), (1, 2)])
    >>> G = arrays.to_networkx(g)
    >>> list(G.nodes), list(G.edges)
    ([3, 1, 2], [(3, 1), (1, 2)])
    """
    import networkx

    out = networkx.Graph()
    out.add_nodes_from(nodes(g).tolist())
    out.add_edges_from(edges(g).tolist())
    return out


def from_networkx(graph: Any) -> IntGraphCore:
    """A new IntGraphCore with the nodes (in the graph's order) and edges of a networkx graph.

    Nodes must be integers in the signed 64-bit range (numpy integers too, but not ``bool``); a
    directed graph's edges are taken as undirected, and a multigraph's parallel edges are one edge.
    Attributes of nodes and edges are left behind. Every node is checked before the new graph is
    made. networkx itself is not imported: anything with networkx's ``nodes`` and ``edges`` views
    will do.

    Parameters
    ----------
    graph : ``networkx.Graph``
        The graph to copy: a ``Graph``, ``DiGraph``, ``MultiGraph`` or ``MultiDiGraph``.

    Returns
    -------
    IntGraphCore
        A new graph whose ``nodes()`` follow ``graph.nodes`` and whose edges are those of
        ``graph.edges``.

    Raises
    ------
    TypeError
        If a node is not an integer (a ``bool`` included); the message names the node.
    OverflowError
        If a node is an integer outside the signed 64-bit range.

    Examples
    --------
    >>> import networkx as nx
    >>> from quillmesh import arrays
    >>> g = arrays.from_networkx(nx.DiGraph([(3, 1), (1, 3), (1, 2)]))
    >>> g.nodes(), g.edges()
    ([3, 1, 2], [(1, 3), (1, 2)])
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
    They are read where they lie. Both columns are checked in full before any edge goes in, so a
    bad argument leaves the graph unchanged. The call needs ``g`` alone.

    Parameters
    ----------
    g : IntGraphCore
        The graph to add to, held under its exclusive borrow.
    src, dst : Any
        The edges' first and second endpoints, one column each, of equal length.

    Raises
    ------
    TypeError
        If a column is not of integers (floats and booleans included, a big-endian or
        dictionary-encoded column, one of more than one dimension, or a sequence that numpy makes
        into anything but integers), or if ``g`` is not an IntGraphCore. The message names the
        column.
    ValueError
        If a column holds a null (the message names the column and the first null's position), or
        the columns differ in length (it gives both lengths).
    OverflowError
        If a value lies outside the signed 64-bit range (a large value of a uint64 column, say); the
        message names the column and the first bad position.

    Examples
    --------
    >>> import numpy as np
    >>> from quillmesh import IntGraphCore, arrays
    >>> g = IntGraphCore()
    >>> pairs = np.array([[1, 2], [2, 3], [3, 1]])
    >>> arrays.add_edges(g, pairs[:, 0], pairs[:, 1])
    >>> g.edges()
    [(1, 2), (1, 3), (2, 3)]
    """
    _arrays.add_edges(g, _column(src), _column(dst))
