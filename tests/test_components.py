"""connected_component_sizes() against the reference, which walks nodes() in order."""

import bisect
import random

import pytest

from quillmesh._accel import IntGraphCore
from support import EXTREMES, I64_MAX, I64_MIN, Model, random_graph


def check(g, edges=None):
    """connected_component_sizes() of g against the reference, with g's edges or the ones given."""
    order = g.nodes()
    edges = g.edges() if edges is None else edges
    assert {x for e in edges for x in e} <= set(order)
    sizes = g.connected_component_sizes()
    assert sizes == Model.of(edges, order).connected_component_sizes(order)
    assert sum(sizes) == g.number_of_nodes() == len(order)
    assert g.connected_component_sizes() == sizes
    return sizes


POOLS = {  # id pool and number of steps
    "sparse": (range(400), 200),
    "medium": (range(150), 200),
    "dense": (range(40), 300),
    "negative": (range(-300, 5), 250),
    "extreme": (EXTREMES + [I64_MIN + 7 * k for k in range(30)] + [I64_MAX - k for k in range(30)], 150),
    "wide": ([(k * 0x9E3779B97F4A7C15) % 2**64 - 2**63 for k in range(300)], 350),
}


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("kind", sorted(POOLS))
def test_random_graphs_match_reference(kind, seed):
    ids, m = POOLS[kind]
    g, model = random_graph(random.Random(f"{kind}{seed}"), list(ids), m, isolated=0.2, repeats=0.05)
    sizes = check(g, model.edges())
    assert kind != "sparse" or len(sizes) > 50


@pytest.mark.parametrize("n, m, seed", [(50_000, 20_000, 1), (50_000, 70_000, 2)])
def test_build_random(n, m, seed):
    g = IntGraphCore()
    g.build_random(n, m, seed)
    g.add_nodes_from(range(n - 100, n + 100))  # some isolated nodes at the end of the order
    check(g)


def test_giant_component_among_many_small():
    rng = random.Random(5)
    ids = rng.sample(range(-10**12, 10**12), 40_000)
    giant, rest = ids[:20_000], ids[20_000:]
    edges = [(giant[i], giant[rng.randrange(i)]) for i in range(1, len(giant))]  # a random tree
    edges += [(rng.choice(giant), rng.choice(giant)) for _ in range(6_000)]
    for k in range(0, len(rest) - 6, 6):  # pairs, paths of three, lone self-loops
        a, b, c, d, e, f = rest[k:k + 6]
        edges += [(a, b), (c, d), (d, e), (f, f)]
    rng.shuffle(edges)
    g = IntGraphCore()
    for i in range(0, len(edges), 5000):
        g.add_nodes_from(rng.sample(rest, 100))
        g.add_edges_from(edges[i:i + 5000])
    sizes = check(g, edges)
    assert max(sizes) == 20_000 and len(sizes) > 9_000


@pytest.mark.parametrize("cuts", [0, 6])
@pytest.mark.parametrize("cycle", [False, True])
def test_long_chains(cycle, cuts):
    # A path (or cycle) of 60,000 nodes with scattered ids and a scrambled edge order, cut into pieces.
    n = 60_000
    ids = [(k * 0x9E3779B97F4A7C15 + cuts) % 2**64 - 2**63 for k in range(n)]  # distinct, scattered
    edges = list(zip(ids, ids[1:])) + ([(ids[-1], ids[0])] if cycle else [])
    at = sorted(random.Random(cuts).sample(range(1, n - 1), cuts))
    for k in reversed(at):
        del edges[k]
    edges = [edges[k * 7919 % len(edges)] for k in range(len(edges))]  # 7919 is prime
    g = IntGraphCore()
    g.add_edges_from(edges)
    pos = {x: k for k, x in enumerate(ids)}
    counts = {}  # piece -> size, in the order nodes() first meets the pieces
    for x in g.nodes():
        piece = bisect.bisect_left(at, pos[x])  # deleting edge a splits ids[a] from ids[a + 1]
        piece = piece % max(cuts, 1) if cycle else piece  # the wrap-around joins last and first
        counts[piece] = counts.get(piece, 0) + 1
    assert g.connected_component_sizes() == list(counts.values())
    assert len(counts) == (max(cuts, 1) if cycle else cuts + 1) and sum(counts.values()) == n


@pytest.mark.parametrize("seed", range(3))
def test_clusters_joined_only_by_late_edges(seed):
    # Every hub gets its leaves before any hub-to-hub edge, so those edges come late in both hubs'
    # neighbour sets. Hub 0 has the largest cluster and is joined to most other hubs.
    rng = random.Random(seed)
    hubs, edges = 400, []
    for h in range(hubs):
        edges += [(h, hubs * (j + 1) + h) for j in range(40 if h == 0 else rng.randrange(2, 5))]
    late = [(0, h) for h in range(1, hubs) if rng.random() < 0.8]
    late += [(rng.randrange(1, hubs), rng.randrange(1, hubs)) for _ in range(40)]
    rng.shuffle(late)
    g = IntGraphCore()
    g.add_edges_from(edges)
    g.add_edges_from(late)
    assert len(check(g, edges + late)) > 1


def test_documented_cases():
    g = IntGraphCore()
    assert g.connected_component_sizes() == []
    g.add_nodes_from([5, -3, 0, I64_MIN, I64_MAX])
    assert g.connected_component_sizes() == [1] * 5
    for steps in ([(1, 2), (3,)], [(3,), (1, 2)], [(2, 1), (3,)], [(3,), (2, 1)]):
        g = IntGraphCore()
        for step in steps:
            (g.add_edge if len(step) == 2 else g.add_node)(*step)
        order = g.nodes()
        pair_first = min(order.index(1), order.index(2)) < order.index(3)
        assert g.connected_component_sizes() == ([2, 1] if pair_first else [1, 2])
    g = IntGraphCore()
    g.add_edge(7, 7)
    assert g.connected_component_sizes() == [1]
    g.add_edges_from([(7, 8), (8, 8)])
    assert g.connected_component_sizes() == [2]
