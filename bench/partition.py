"""Partitions of a graph's nodes, for the modularity and communities ops, computed with numpy.

The modularity op scores one fixed partition every library is given (node v in group
v % MODULARITY_GROUPS); its answer is checked against `modularity` here. The communities ops are
judged the same way: the modularity of each library's partition is computed here from its labels
and the edge list, not taken from the library, so every partition is scored alike.
"""

from __future__ import annotations

import numpy as np

from catalogue import MODULARITY_GROUPS


def fixed_labels(nodes: int) -> np.ndarray:
    """The modularity op's partition: a label per node id."""
    return np.arange(nodes, dtype=np.int64) % MODULARITY_GROUPS


def modularity(edges: np.ndarray, labels: np.ndarray, resolution: float = 1.0) -> float:
    """Newman's modularity of a partition (labels indexed by node id) of a simple undirected graph.

    Q = sum over communities c of  L_c / m - resolution * (D_c / 2m)^2, with L_c the edges inside c
    and D_c the sum of its nodes' degrees.
    """
    m = edges.shape[0]
    if m == 0:
        return 0.0
    labels = np.asarray(labels, dtype=np.int64)
    _, dense = np.unique(labels, return_inverse=True)
    groups = int(dense.max()) + 1
    lu, lv = dense[edges[:, 0]], dense[edges[:, 1]]
    inside = np.bincount(lu[lu == lv], minlength=groups).astype(np.float64)
    degree_sums = np.bincount(lu, minlength=groups) + np.bincount(lv, minlength=groups)
    return float(inside.sum() / m - resolution * np.sum((degree_sums / (2.0 * m)) ** 2))


def canonical(labels: np.ndarray) -> np.ndarray:
    """Labels renumbered in order of first appearance: equal for two labelings of the same partition."""
    labels = np.asarray(labels)
    _, first, dense = np.unique(labels, return_index=True, return_inverse=True)
    rank = np.empty(first.size, dtype=np.int64)
    rank[np.argsort(first)] = np.arange(first.size)
    return rank[dense]
