"""connected_component_sizes() against a breadth-first oracle that walks nodes() in order."""

import bisect
import random
from collections import deque

import pytest

from quillmesh._accel import IntGraphCore

I64_MIN, I64_MAX = -(2**63), 2**63 - 1
EXTREMES = [I64_MIN, I64_MIN + 1, -1, 0, 1, I64_MAX - 1, I64_MAX]


def oracle(order, edges):
    """Component sizes, each listed where `order` first meets one of its nodes."""
    adj = {n: [] for n in order}
    for u, v in edges:
        adj[u].append(v)
        adj[v].append(u)
    seen, sizes = set(), []
    for s in order:
        if s in seen:
            continue
        seen.add(s)
        queue, count = deque([s]), 0
        while queue:
            count += 1
            for v in adj[queue.popleft()]:
                if v not in seen:
                    seen.add(v)
                    queue.append(v)
        sizes.append(count)
    return sizes


def check(g, edges=None):
    order = g.nodes()
    edges = g.edges() if edges is None else edges
    assert set(order) == {x for e in edges for x in e} | set(order)  # every endpoint is a node
    sizes = g.connected_component_sizes()
    assert sizes == oracle(order, edges)
    assert sum(sizes) == g.number_of_nodes() == len(order)
    assert g.connected_component_sizes() == sizes
    return sizes


def random_graph(rng, ids, m, loops=0.05, isolated=0.2):
    """Edges among `ids`, interleaved with isolated nodes, self-loops and repeats."""
    g, edges = IntGraphCore(), []
    for _ in range(m):
        if rng.random() < isolated:
            g.add_node(rng.choice(ids))
            continue
        u = rng.choice(ids)
        v = u if rng.random() < loops else rng.choice(ids)
        if edges and rng.random() < 0.05:
            v, u = rng.choice(edges)
        edges.append((u, v))
        g.add_edge(u, v)
    return g, edges


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("kind", ["sparse", "medium", "dense", "negative", "extreme", "wide"])
def test_random_graphs_match_oracle(kind, seed):
    rng = random.Random(f"{kind}{seed}")
    ids = {
        "sparse": lambda: list(range(400)),
        "medium": lambda: list(range(150)),
        "dense": lambda: list(range(40)),
        "negative": lambda: list(range(-300, 5)),
        "extreme": lambda: EXTREMES + [I64_MIN + 7 * k for k in range(30)] + [I64_MAX - k for k in range(30)],
        "wide": lambda: [rng.getrandbits(64) - 2**63 for _ in range(300)],
    }[kind]()
    m = {"sparse": 200, "medium": 200, "dense": 300}.get(kind, rng.randrange(50, 400))
    g, edges = random_graph(rng, ids, m)
    if kind == "wide":
        g.add_edges_from(edges)  # the bulk path must not change anything
    sizes = check(g, edges)
    if kind == "sparse":
        assert len(sizes) > 50


@pytest.mark.parametrize("n, m, seed", [(50_000, 20_000, 1), (50_000, 70_000, 2)])
def test_build_random(n, m, seed):
    g = IntGraphCore()
    g.build_random(n, m, seed)
    g.add_nodes_from(range(n - 100, n + 100))  # some isolated nodes at the end of the order
    check(g)


def test_giant_component_among_many_small():
    rng = random.Random(5)
    ids = rng.sample(range(-10**12, 10**12), 60_000)
    giant, rest = ids[:30_000], ids[30_000:]
    edges = [(giant[i], giant[rng.randrange(i)]) for i in range(1, len(giant))]  # a random tree
    edges += [(rng.choice(giant), rng.choice(giant)) for _ in range(10_000)]
    for k in range(0, len(rest) - 6, 6):  # pairs, paths of three, stars with a self-loop
        a, b, c, d, e, f = rest[k:k + 6]
        edges += [(a, b), (c, d), (d, e), (f, f)]
    rng.shuffle(edges)
    g = IntGraphCore()
    for i in range(0, len(edges), 5000):
        g.add_nodes_from(rng.sample(rest, 100))
        g.add_edges_from(edges[i:i + 5000])
    sizes = check(g, edges)
    assert max(sizes) == 30_000


@pytest.mark.parametrize("cuts", [0, 1, 6])
@pytest.mark.parametrize("cycle", [False, True])
def test_long_chains(cycle, cuts):
    # A path (or cycle) of 100,000 nodes with shuffled ids and edge order, cut into pieces.
    n = 100_000
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

    for build in ([(1, 2), 3], [3, (1, 2)], [(2, 1), 3], [3, (2, 1)]):
        g = IntGraphCore()
        for step in build:
            g.add_edge(*step) if isinstance(step, tuple) else g.add_node(step)
        order = g.nodes()
        pair_first = min(order.index(1), order.index(2)) < order.index(3)
        assert g.connected_component_sizes() == ([2, 1] if pair_first else [1, 2])

    g = IntGraphCore()
    g.add_edge(7, 7)
    assert g.connected_component_sizes() == [1]
    g.add_edge(7, 8)
    g.add_edge(8, 8)
    assert g.connected_component_sizes() == [2]
