"""Analyses beyond ``IntGraphCore``'s own methods: cores, triangles, clustering, diameter,
betweenness and communities.

Every function takes an :class:`~quillmesh.IntGraphCore` and works on the same native graph, through
the same borrow as its methods: exclusive for the triangle-based ones (``triangles``, ``clustering``
and ``transitivity``), which build (and keep, until the next change) the same forward rows as
``g.triangle_count()``; shared for the others. A call that conflicts with one in progress raises
``RuntimeError`` at once, and a ``g`` that is not an ``IntGraphCore`` raises ``TypeError``; the
functions' own sections below list only the errors beyond these two. Each runs detached from the interpreter, stops on Ctrl-C and reports
progress inside a :class:`~quillmesh.progress` block as "algorithms.<name>". Per-node results are
numpy arrays in ``g.nodes()`` order, allocated once and filled natively.

Self-loops are ignored by all of these, as networkx ignores them: a node's self-loop takes part in
no triangle and does not count towards its degree here. Results are the same bits whatever the
number of worker threads, and from run to run (for ``communities`` and sampled ``betweenness``, for
a given seed). Needs numpy.
"""

from __future__ import annotations

import operator

import numpy as np
import numpy.typing as npt

from quillmesh import _algorithms
from quillmesh._accel import IntGraphCore

__all__ = ["betweenness", "clustering", "communities", "core_numbers", "diameter", "modularity", "transitivity",
           "triangles"]

Int64Array = npt.NDArray[np.int64]
Float64Array = npt.NDArray[np.float64]


def core_numbers(g: IntGraphCore) -> Int64Array:
    """Each node's core number: the largest k such that it belongs to the k-core of ``g``.

    The k-core is the largest subgraph in which every node has at least k neighbours. Computed by
    bucket peeling in O(n + m).

    Returns
    -------
    numpy.ndarray of numpy.int64
        One core number per node, in ``g.nodes()`` order; 0 for a node without neighbours.

    Examples
    --------
    >>> from quillmesh import IntGraphCore, algorithms
    >>> g = IntGraphCore()
    >>> g.add_edges_from([(1, 2), (2, 3), (3, 1), (3, 4)])
    >>> algorithms.core_numbers(g)
    array([2, 2, 2, 1])
    """
    return np.asarray(_algorithms.core_numbers(g))


def triangles(g: IntGraphCore) -> Int64Array:
    """The number of triangles through each node; their sum is ``3 * g.triangle_count()``.

    Returns
    -------
    numpy.ndarray of numpy.int64
        One count per node, in ``g.nodes()`` order.

    Examples
    --------
    >>> from quillmesh import IntGraphCore, algorithms
    >>> g = IntGraphCore()
    >>> g.add_edges_from([(1, 2), (2, 3), (3, 1), (3, 4)])
    >>> algorithms.triangles(g)
    array([1, 1, 1, 0])
    >>> int(algorithms.triangles(g).sum()) == 3 * g.triangle_count()
    True
    """
    return np.asarray(_algorithms.triangles(g))


def clustering(g: IntGraphCore) -> Float64Array:
    """Each node's local clustering coefficient: ``2 t / (d (d - 1))`` for t triangles and d neighbours.

    d counts the neighbours other than the node itself; the coefficient is 0 where d < 2.

    Returns
    -------
    numpy.ndarray of numpy.float64
        One coefficient per node, between 0 and 1, in ``g.nodes()`` order.

    Examples
    --------
    >>> from quillmesh import IntGraphCore, algorithms
    >>> g = IntGraphCore()
    >>> g.add_edges_from([(1, 2), (2, 3), (3, 1), (3, 4)])
    >>> algorithms.clustering(g).round(3).tolist()
    [1.0, 1.0, 0.333, 0.0]
    """
    return np.asarray(_algorithms.clustering(g))


def transitivity(g: IntGraphCore) -> float:
    """The fraction of connected triples that are closed: 3 x triangles / connected triples.

    A connected triple is a path of two edges (u, v, w) through its middle node v; it is closed when
    u and w are neighbours too. A graph without any connected triple has transitivity 0.0.

    Returns
    -------
    float
        The transitivity, between 0.0 and 1.0.

    Examples
    --------
    >>> from quillmesh import IntGraphCore, algorithms
    >>> g = IntGraphCore()
    >>> g.add_edges_from([(1, 2), (2, 3), (3, 1), (3, 4)])
    >>> algorithms.transitivity(g)
    0.6
    """
    return float(_algorithms.transitivity(g))


def diameter(g: IntGraphCore) -> int:
    """The greatest distance between two nodes that are connected; 0 for a graph without edges.

    Exact, by iFUB: a search from a central node, then searches from the nodes of the deepest
    levels only, until the bound it gives is met (on real graphs a few searches, not one per node).
    For a graph in several components it is the greatest of their diameters.

    Returns
    -------
    int
        The number of edges on the longest of the shortest paths between connected nodes.

    Examples
    --------
    >>> from quillmesh import IntGraphCore, algorithms
    >>> g = IntGraphCore()
    >>> g.add_edges_from([(1, 2), (2, 3), (3, 1), (3, 4), (8, 9)])
    >>> algorithms.diameter(g)
    2
    """
    return int(_algorithms.diameter(g))


def betweenness(g: IntGraphCore, normalized: bool = True, samples: int | None = None, seed: int = 0) -> Float64Array:
    """Each node's betweenness centrality, exact or estimated from sampled sources.

    A node's betweenness is the sum over pairs of other nodes s, t of the share of shortest s-t paths
    that pass through it. Exact by default (Brandes' method, a breadth-first search from every node,
    side by side on the worker threads). With ``samples=k``, estimated from k distinct sources drawn
    with ``seed`` and scaled as networkx's ``k=`` estimate is: a node that was not a source is divided
    by k (n - 2) when normalized, a source by (k - 1)(n - 2), since it is never between itself and a
    target (NaN for the source when k is 1). ``normalized=True`` divides the exact form by
    (n - 1)(n - 2), the ordered pairs of other nodes; unnormalised values count each unordered pair
    once. Graphs of fewer than three nodes are all 0.

    Parameters
    ----------
    normalized : bool
        Whether to scale the values by the number of pairs of other nodes, as described above.
    samples : int or None
        The number of sources to estimate from, between 1 and ``g.number_of_nodes()``; ``None``
        (the default) computes the exact values.
    seed : int
        Draws the sources; any integer, taken modulo ``2**64``. The same graph, ``samples`` and
        ``seed`` give the same values.

    Returns
    -------
    numpy.ndarray of numpy.float64
        One value per node, in ``g.nodes()`` order.

    Raises
    ------
    ValueError
        If ``samples`` is less than 1 or more than the number of nodes.
    TypeError
        If ``g`` is not an IntGraphCore, or ``samples`` or ``seed`` is not an integer.

    Examples
    --------
    >>> from quillmesh import IntGraphCore, algorithms
    >>> g = IntGraphCore()
    >>> g.add_edges_from([(1, 2), (2, 3), (3, 4)])
    >>> algorithms.betweenness(g, normalized=False).tolist()
    [0.0, 2.0, 2.0, 0.0]
    >>> algorithms.betweenness(g).round(4).tolist()
    [0.0, 0.6667, 0.6667, 0.0]
    """
    if samples is None:
        count = 0
    else:
        count = operator.index(samples)
        if count < 1:
            raise ValueError(f"samples must be at least 1, got {count}")
        if count >= 1 << 64:
            raise ValueError("samples must not exceed the number of nodes")
    return np.asarray(_algorithms.betweenness(g, 1 if normalized else 0, count, operator.index(seed) % (1 << 64)))


def communities(g: IntGraphCore, resolution: float = 1.0, seed: int = 0) -> Int64Array:
    """Each node's community, as labels 0..k-1 numbered in ``g.nodes()`` order of first appearance.

    Communities of high modularity at this ``resolution`` (higher gives more, smaller communities),
    found by the Leiden method: nodes move between communities while that raises the modularity,
    each community is refined into well-connected parts before the parts are merged a level up,
    and passes repeat until one no longer raises it. Every community is connected. The visiting
    order is drawn from ``seed``: the same graph, resolution and seed give the same labels.
    An isolated node is a community of its own.

    Parameters
    ----------
    resolution : float
        The weight of the expected edges in the modularity (see :func:`quillmesh.algorithms.modularity`):
        a finite number, 0 or more. At 0 every connected component is one community.
    seed : int
        Draws the order in which nodes are visited; any integer, taken modulo ``2**64``.

    Returns
    -------
    numpy.ndarray of numpy.int64
        One label per node, in ``g.nodes()`` order: the first node has label 0, and each new
        community the listing meets takes the next label.

    Raises
    ------
    ValueError
        If ``resolution`` is negative, NaN or infinite.
    TypeError
        If ``g`` is not an IntGraphCore or ``seed`` is not an integer.

    Examples
    --------
    >>> from quillmesh import IntGraphCore, algorithms
    >>> g = IntGraphCore()
    >>> g.add_edges_from([(1, 2), (2, 3), (3, 1), (3, 4), (4, 5), (5, 6), (6, 4)])
    >>> algorithms.communities(g)
    array([0, 0, 0, 1, 1, 1])
    """
    return np.asarray(_algorithms.communities(g, float(resolution), operator.index(seed) % (1 << 64)))


def modularity(g: IntGraphCore, labels: npt.ArrayLike, resolution: float = 1.0) -> float:
    """The modularity of the partition that gives node ``g.nodes()[i]`` the community ``labels[i]``.

    Q = sum over communities c of L_c / m - resolution * (K_c / 2m)^2, with L_c the edges inside c,
    K_c the sum of its nodes' degrees and m the number of edges (self-loops left out of all three).
    ``labels`` is one integer per node (any values a signed 64-bit integer holds; nodes with equal
    labels share a community). NaN for a graph without edges.

    Parameters
    ----------
    labels : numpy.typing.ArrayLike
        One integer label per node, in ``g.nodes()`` order: a one-dimensional numpy array of any
        integer or boolean type, or a sequence that ``numpy.asarray`` makes into one.
    resolution : float
        The weight of the expected edges, the second term of Q: any finite number.

    Returns
    -------
    float
        The modularity Q, or NaN when ``g`` has no edges other than self-loops.

    Raises
    ------
    TypeError
        If ``labels`` is not of integers (floats, strings and objects included), or ``g`` is not an
        IntGraphCore.
    ValueError
        If ``labels`` is not one-dimensional or does not hold exactly one label per node, or
        ``resolution`` is NaN or infinite.
    OverflowError
        If a label is outside the signed 64-bit range (a large value of a uint64 array).

    Examples
    --------
    >>> from quillmesh import IntGraphCore, algorithms
    >>> g = IntGraphCore()
    >>> g.add_edges_from([(1, 2), (2, 3), (3, 1), (3, 4), (4, 5), (5, 6), (6, 4)])
    >>> round(algorithms.modularity(g, [0, 0, 0, 1, 1, 1]), 4)
    0.3571
    >>> algorithms.modularity(g, [0, 0, 0, 0, 0, 0])
    0.0
    """
    column = np.asarray(labels)
    if column.size == 0 and column.dtype == np.float64:
        column = column.astype(np.int64)  # what numpy makes of an empty list: no labels, not floats
    if column.dtype.kind not in "iub":
        raise TypeError(f"labels must be integers, not {column.dtype}")
    if column.ndim != 1:
        raise ValueError(f"labels must be one-dimensional, not of shape {column.shape}")
    if column.dtype.kind == "b":
        column = column.astype(np.int64)
    return float(_algorithms.modularity(g, column, float(resolution)))
