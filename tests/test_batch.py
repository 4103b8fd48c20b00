"""has_edges() and subgraph_edge_count(), and that the read-only analyses leave the graph alone."""

import random
from collections import namedtuple

import pytest

from quillmesh._accel import IntGraphCore
from support import EXTREMES, I64_MAX, I64_MIN, Model, state

def loaded_graph(seed, n=3000, m=6000):
    """A graph loaded in bulk and its reference: random edges among n ids and the extremes, self-loops,
    nodes without edges; also the generator and the ids."""
    rng = random.Random(seed)
    ids = rng.sample(range(-(10**6), 10**6), n) + EXTREMES
    edges = [(rng.choice(ids), rng.choice(ids)) for _ in range(m)]
    edges += [(x, x) for x in rng.sample(ids, 100)] + [(I64_MIN, I64_MAX), (I64_MAX, I64_MAX)]
    nodes = rng.sample(ids, 200)
    g = IntGraphCore()
    g.add_nodes_from(nodes)
    g.add_edges_from(edges)
    return rng, ids, g, Model.of(edges, nodes)


def test_has_edges_matches_single_queries():
    rng, ids, g, model = loaded_graph(1)
    present = sorted(model.edges())
    absent_ids = [I64_MIN + 5, I64_MAX - 5, 10**7, -(10**7)]
    mixed = ids + absent_ids
    flip = lambda p: p[:: rng.choice((1, -1))]
    makers = [
        lambda: flip(rng.choice(present)),  # edges, self-loops included, in both orientations
        lambda: (rng.choice(ids), rng.choice(ids)),  # mostly absent pairs of nodes
        lambda: flip((rng.choice(absent_ids), rng.choice(mixed))),  # one or two absent nodes
        lambda: (rng.choice(mixed),) * 2,  # (x, x), with or without a self-loop
        lambda: (rng.choice(EXTREMES), rng.choice(EXTREMES)),
    ]
    pairs = [make() for make in rng.choices(makers, weights=(4, 3, 1, 1, 1), k=100_000)]
    got = g.has_edges(pairs)
    assert type(got) is list and all(type(x) is bool for x in got)
    assert got == [g.has_edge(u, v) for u, v in pairs]
    assert got == model.has_edges(pairs)
    assert 0.3 < sum(got) / len(got) < 0.7
    assert g.has_edges(pairs[::-1]) == got[::-1]
    assert g.has_edges(tuple(pairs[:1000])) == got[:1000]


def test_has_edges_documented_cases():
    g = IntGraphCore()
    assert g.has_edges([]) == []
    assert g.has_edges([(1, 2)]) == [False]
    g.add_edge(1, 2)
    assert g.has_edges([(1, 2), (2, 1), (1, 3), (9, 9)]) == [True, True, False, False]
    g.add_node(5)
    assert g.has_edges([(5, 5)]) == [False]
    g.add_edge(5, 5)
    assert g.has_edges([(5, 5), (5, 1), (1, 1)]) == [True, False, False]
    assert g.has_edges([(1, 2), (1, 3)] * 500 + [(2, 1)]) == [True, False] * 500 + [True]
    Pair = namedtuple("Pair", "u v")
    assert g.has_edges([Pair(2, 1), Pair(5, 5)]) == [True, True]  # a tuple subclass is a tuple


def test_has_edges_conversion_errors():
    g = IntGraphCore()
    g.add_edge(1, 2)
    before = (g.nodes(), g.edges())
    cases = [
        ([[1, 2]], TypeError, r"^argument 'edges': 'list' object is not an instance of 'tuple'$"),
        ([(1, 2)] * 5000 + [[1, 2]], TypeError, r"^argument 'edges': 'list' object is not an instance of 'tuple'$"),
        ([(1, 2, 3)], ValueError, r"^expected tuple of length 2, but got tuple of length 3$"),
        ([(1, 2)] * 5000 + [(1,)], ValueError, r"^expected tuple of length 2, but got tuple of length 1$"),
        ([(1, 2), (1, "a")], TypeError, r"^argument 'edges': 'str' object cannot be interpreted as an integer$"),
        ([(1, 2), (2**63, 1)], OverflowError, None),
        ("12", TypeError, r"^argument 'edges': Can't extract `str` to `Vec`$"),
        ({(1, 2)}, TypeError, r"^argument 'edges': 'set' object is not an instance of 'Sequence'$"),
        (None, TypeError, r"^argument 'edges': 'None' is not an instance of 'Sequence'$"),
    ]
    for arg, exc, message in cases:
        with pytest.raises(exc, match=message) as info:
            g.has_edges(arg)
        assert exc is TypeError or "argument" not in str(info.value)
    assert (g.nodes(), g.edges()) == before
    assert g.has_edges([(2, 1)]) == [True]  # the instance is usable again


def test_subgraph_edge_count_matches_brute_force():
    rng, ids, g, model = loaded_graph(2, n=400, m=1200)
    absent = [10**7, I64_MIN + 9, I64_MAX - 9]
    for size in [0, 1, 2, 5, 20, 100, 300, 1000]:
        chosen = [rng.choice(ids + absent) for _ in range(size)]
        chosen += rng.sample(chosen, len(chosen) // 3)  # duplicates
        rng.shuffle(chosen)
        expected = model.subgraph_edge_count(chosen)
        assert g.subgraph_edge_count(chosen) == expected, size
        assert g.subgraph_edge_count(tuple(reversed(chosen))) == expected
    assert g.subgraph_edge_count(g.nodes()) == g.number_of_edges() == model.number_of_edges()
    assert g.subgraph_edge_count(ids + absent + ids) == model.number_of_edges()


def test_subgraph_edge_count_documented_cases():
    g = IntGraphCore()
    assert g.subgraph_edge_count([]) == 0
    g.add_edges_from([(1, 2), (2, 3), (3, 1), (3, 4)])
    assert g.subgraph_edge_count([]) == 0
    assert g.subgraph_edge_count([1, 2, 3]) == 3
    assert g.subgraph_edge_count([1, 2, 3, 3, 3]) == 3
    assert g.subgraph_edge_count([1, 2, 99]) == 1
    assert g.subgraph_edge_count([4]) == 0
    assert g.subgraph_edge_count([1, 2, 3, 4]) == g.subgraph_edge_count([4, 3, 2, 1]) == 4
    g.add_edge(-5, 2)
    assert g.subgraph_edge_count([-5, 2]) == g.subgraph_edge_count([2, -5]) == 1
    g.add_edge(7, 7)
    assert g.subgraph_edge_count([7]) == g.subgraph_edge_count([7, 7]) == 1
    assert g.subgraph_edge_count(range(-5, 8)) == g.number_of_edges() == 6
    g.add_edge(I64_MIN, I64_MAX)
    assert g.subgraph_edge_count([I64_MAX, I64_MIN]) == 1
    with pytest.raises(TypeError, match=r"^argument 'nodes': Can't extract `str` to `Vec`$"):
        g.subgraph_edge_count("12")
    with pytest.raises(TypeError, match=r"^argument 'nodes': "):
        g.subgraph_edge_count([1, None])
    with pytest.raises(OverflowError):
        g.subgraph_edge_count([1, 2**63])


def test_read_only_analyses_leave_the_graph_unchanged():
    rng, ids, g, _ = loaded_graph(3, n=500, m=800)
    before = state(g), g.pagerank()
    pairs = [(rng.choice(ids), rng.choice(ids)) for _ in range(5000)]
    g.connected_component_sizes()
    for u, v in pairs[:200] + [(10**9, ids[0]), (10**9, 10**9)]:
        g.shortest_path_length(u, v)
    g.has_edges(pairs)
    g.subgraph_edge_count(ids[:250] + [10**9])
    for bad in ([(1, 2, 3)], [[1, 2]]):
        with pytest.raises((TypeError, ValueError)):
            g.has_edges(bad)
    assert (state(g), g.pagerank()) == before
