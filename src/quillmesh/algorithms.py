"""Analyses beyond ``IntGraphCore``'s own methods: core numbers, triangles, clustering, diameter.

Every function takes an ``IntGraphCore`` and works on the same native graph, through the same
borrow as its methods: shared for ``core_numbers`` and ``diameter``; exclusive for the triangle-based ones, which
build (and keep, until the next change) the same forward rows as ``g.triangle_count()``. Each runs
detached from the interpreter, stops on Ctrl-C and reports progress inside a
``quillmesh.progress()`` block as "algorithms.<name>". Per-node results are numpy arrays in
``g.nodes()`` order, allocated once and filled natively.

Self-loops are ignored by all of these, as networkx ignores them: a node's self-loop takes part in
no triangle and does not count towards its degree here. Results are the same bits whatever the
number of worker threads. Needs numpy.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from quillmesh import _algorithms
from quillmesh._accel import IntGraphCore

__all__ = ["clustering", "core_numbers", "diameter", "transitivity", "triangles"]

Int64Array = npt.NDArray[np.int64]
Float64Array = npt.NDArray[np.float64]


def core_numbers(g: IntGraphCore) -> Int64Array:
    """Each node's core number: the largest k such that it belongs to the k-core of ``g``.

    The k-core is the largest subgraph in which every node has at least k neighbours. Computed by
    bucket peeling in O(n + m).
    """
    return np.asarray(_algorithms.core_numbers(g))


def triangles(g: IntGraphCore) -> Int64Array:
    """The number of triangles through each node; their sum is ``3 * g.triangle_count()``."""
    return np.asarray(_algorithms.triangles(g))


def clustering(g: IntGraphCore) -> Float64Array:
    """Each node's local clustering coefficient: ``2 t / (d (d - 1))`` for t triangles and d neighbours.

    d counts the neighbours other than the node itself; the coefficient is 0 where d < 2.
    """
    return np.asarray(_algorithms.clustering(g))


def transitivity(g: IntGraphCore) -> float:
    """The fraction of connected triples that are closed: 3 x triangles / connected triples (0.0 without any)."""
    return float(_algorithms.transitivity(g))


def diameter(g: IntGraphCore) -> int:
    """The greatest distance between two nodes that are connected; 0 for a graph without edges.

    Exact, by iFUB: a search from a central node, then searches from the nodes of the deepest
    levels only, until the bound it gives is met (on real graphs a few searches, not one per node).
    For a graph in several components it is the greatest of their diameters.
    """
    return int(_algorithms.diameter(g))
