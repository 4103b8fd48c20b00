"""Whole-graph listings: nodes(), edges(), edges_flat() and degree_sequence()."""

import random

import pytest

from quillmesh._accel import IntGraphCore
from support import I64_MAX, I64_MIN, assert_same, random_graph

LISTINGS = ("nodes", "edges", "edges_flat", "degree_sequence")


def listed_graph(seed, steps):
    """A graph and its model: self-loops, negative and extreme ids, isolated nodes and a hub, -7."""
    rng = random.Random(seed)
    ids = [0, -1, 1, I64_MIN, I64_MAX, I64_MIN + 1, I64_MAX - 1]
    ids += [rng.randrange(I64_MIN, I64_MAX) for _ in range(30)] + [rng.randrange(-20, 20) for _ in range(30)]
    g, m = random_graph(rng, ids, steps, loops=0.1, isolated=0.1, hub=-7, at_hub=0.25)
    for n in (-123456789, 2**62):  # isolated
        g.add_node(n), m.add_node(n)
    return g, m


@pytest.mark.parametrize("seed,ops", [(0, 0), (1, 5), (2, 60), (3, 300), (4, 1000)])
def test_listings_agree_with_each_other_and_the_model(seed, ops):
    g, m = listed_graph(seed, ops)
    nodes, edges, flat, seq = (getattr(g, name)() for name in LISTINGS)
    assert nodes == [u for u, _ in seq] and len(set(nodes)) == len(nodes) == len(g) == g.number_of_nodes()
    assert all(type(u) is int and type(d) is int and d == g.degree(u) for u, d in seq)
    assert all(type(e) is tuple and len(e) == 2 and e[0] <= e[1] for e in edges)
    assert len(set(edges)) == len(edges) == g.number_of_edges() and len(flat) == 2 * len(edges)
    assert flat == [x for e in edges for x in e]
    loops = sum(u == v for u, v in edges)
    assert sum(d for _, d in seq) == 2 * (len(edges) - loops) + loops
    # Edges are walked node by node and, within a node, in neighbour order, from the smaller end.
    assert edges == [(u, v) for u in nodes for v in g.neighbors(u) if u <= v]
    assert_same(g, m)
    # Every call hands out a new list, and the listings do not change the graph.
    for name in LISTINGS:
        first = getattr(g, name)()
        first.append(None)
        assert getattr(g, name)() == first[:-1]
    if ops >= 300:
        assert g.degree(-7) > 32 and loops > 0


@pytest.mark.parametrize(
    "build,nodes,edges,seq",
    [
        ([], [], [], []),
        ([("add_edge", 3, -2)], [3, -2], [(-2, 3)], [(3, 1), (-2, 1)]),
        ([("add_edge", 7, 7)], [7], [(7, 7)], [(7, 1)]),
        ([("add_node", 5)], [5], [], [(5, 0)]),
        ([("add_edge", 1, 2), ("add_edge", 2, 3)], [1, 2, 3], [(1, 2), (2, 3)], [(1, 1), (2, 2), (3, 1)]),
        ([("add_edge", I64_MAX, I64_MIN), ("add_node", 0)], [I64_MAX, I64_MIN, 0], [(I64_MIN, I64_MAX)],
         [(I64_MAX, 1), (I64_MIN, 1), (0, 0)]),
    ],
)
def test_documented_cases(build, nodes, edges, seq):
    g = IntGraphCore()
    for name, *args in build:
        getattr(g, name)(*args)
    assert (g.nodes(), g.edges(), g.degree_sequence()) == (nodes, edges, seq)
    assert g.edges_flat() == [x for e in edges for x in e]
