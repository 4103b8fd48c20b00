"""quillmesh.algorithms' betweenness, communities and modularity against networkx, self-loops
ignored: on random graphs through every storage path, on structured graphs and on the smallest
ones; the sampled betweenness from the sources its seed draws; the properties of the communities
found; the same bits for any worker count; the borrow, progress reports and Ctrl-C."""

import functools
import json
import math
import random
import subprocess
import sys
import textwrap

import networkx as nx
import numpy as np
import pytest

import quillmesh
from quillmesh import algorithms
from quillmesh._accel import IntGraphCore
from support import EXTREMES, I64_MAX, I64_MIN, REFUSED, finish_python, start_python
from test_algorithms import (LAYOUTS, STRUCTURED, Reenter, by_call, components, layered, load, networkx_graph,
                             random_pairs, structured, uniform)
from test_long_calls import HARNESS, TAIL

U64 = 2**64


def close(got, expected):
    np.testing.assert_allclose(got, expected, rtol=1e-9, atol=1e-12)


# ---------------------------------------------------------------------------------------------
# References


def splitmix64_sources(n, k, seed):
    """The dense positions of the k sources: a partial Fisher-Yates shuffle of 0..n-1 by SplitMix64."""
    state, entries = seed % U64, list(range(n))
    for i in range(k):
        state = (state + 0x9E3779B97F4A7C15) % U64
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) % U64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) % U64
        z ^= z >> 31
        j = i + z % (n - i)
        entries[i], entries[j] = entries[j], entries[i]
    return entries[:k]


class Drawn(random.Random):
    """A random source whose sample() gives the sources chosen, so that networkx estimates from them."""
    def __init__(self, chosen):
        super().__init__(0)
        self.chosen = chosen

    def sample(self, population, k):
        assert k == len(self.chosen)
        return list(self.chosen)


def reference_betweenness(G, order, normalized=True, samples=None, seed=0):
    chosen = None if samples is None else Drawn([order[i] for i in splitmix64_sources(len(order), samples, seed)])
    values = nx.betweenness_centrality(G, k=samples, normalized=normalized, seed=chosen)
    return np.array([values[u] for u in order], dtype=np.float64)


def partition(order, labels):
    parts = {}
    for u, c in zip(order, np.asarray(labels).tolist()):
        parts.setdefault(c, set()).add(u)
    return list(parts.values())


def nx_modularity(G, order, labels, resolution=1.0):
    return nx.community.modularity(G, partition(order, labels), weight=None, resolution=resolution)


def louvain_modularity(G):
    return nx.community.modularity(G, nx.community.louvain_communities(G, seed=0, weight=None), weight=None)


def assert_valid_communities(g, G, labels):
    """Labels numbered by first appearance, every community connected, nodes without edges alone."""
    order = g.nodes()
    assert isinstance(labels, np.ndarray) and labels.dtype == np.int64 and labels.shape == (len(order),)
    if len(order):
        values, first = np.unique(labels, return_index=True)
        assert values.tolist() == list(range(len(values)))
        assert labels[np.sort(first)].tolist() == list(range(len(values)))
    parts = partition(order, labels)
    broken = [sorted(p)[:5] for p in parts if not nx.is_connected(G.subgraph(p))]
    assert not broken, f"{len(broken)} communities are not connected: {broken[:3]}"
    part_of = {u: p for p in parts for u in p}
    crowded = [u for u in order if G.degree(u) == 0 and part_of[u] != {u}]
    assert not crowded, f"nodes without edges in a community with others: {crowded[:5]}"
    return parts


# ---------------------------------------------------------------------------------------------
# Random graphs through every storage path


def hubs(rng):
    """A hub of degree ~450 with a self-loop, nodes of degree 31, 32 and 33 (where the neighbour set
    turns into a table) around paths, a clique through the hub, random edges and two isolated nodes."""
    n = 500
    pairs = [(0, v) for v in rng.sample(range(1, n), 450)] + [(0, 0)] + random_pairs(rng, n, 900)
    base = n
    for d in (31, 32, 33):
        ring = list(range(base + 1, base + 1 + d))
        pairs += [(base, v) for v in ring] + [(ring[i], ring[i + 1]) for i in range(d - 1)]
        base += d + 1
    clique = list(range(base, base + 20)) + [0]
    pairs += [(u, v) for i, u in enumerate(clique) for v in clique[i + 1:]]
    rng.shuffle(pairs)
    return pairs, [base + 20, base + 21]


RANDOM = {"uniform": uniform, "hubs": hubs, "components": components, "layered": layered}
WAYS = ("add_edges_from", "add_edges_flat", "one by one")
RANDOM_GRAPHS = [(case, layout, WAYS[(i + j) % 3]) for i, case in enumerate(RANDOM) for j, layout in enumerate(LAYOUTS)]


@functools.cache
def random_graph(case, layout, how):
    rng = random.Random(case)
    pairs, nodes = RANDOM[case](rng)
    ident = LAYOUTS[layout]
    g = load([(ident(u), ident(v)) for u, v in pairs], [ident(u) for u in nodes], how)
    return g, networkx_graph(g)


@functools.cache
def exact_reference(case):
    """networkx's unnormalised betweenness of the compact graph, by node: the same values in every layout."""
    g, G = random_graph(case, "compact", "add_edges_from")
    return nx.betweenness_centrality(G, normalized=False)


@pytest.mark.parametrize(("case", "layout", "how"), RANDOM_GRAPHS)
def test_betweenness_of_random_graphs(case, layout, how):
    g, G = random_graph(case, layout, how)
    order, ident = g.nodes(), LAYOUTS[layout]
    back = {ident(u): u for u in exact_reference(case)}
    plain = np.array([exact_reference(case)[back[u]] for u in order])
    n = len(order)
    unnormalized = algorithms.betweenness(g, normalized=False)
    assert unnormalized.dtype == np.float64 and unnormalized.shape == (n,)
    close(unnormalized, plain)
    close(algorithms.betweenness(g), plain * 2 / ((n - 1) * (n - 2)))
    for normalized in (True, False):
        for k, seed in ((1, 3), (25, 0), (25, -7)):
            close(algorithms.betweenness(g, normalized, samples=k, seed=seed),
                  reference_betweenness(G, order, normalized, k, seed))


@pytest.mark.parametrize(("case", "layout", "how"), RANDOM_GRAPHS)
def test_communities_and_modularity_of_random_graphs(case, layout, how):
    g, G = random_graph(case, layout, how)
    order = g.nodes()
    labels = algorithms.communities(g)
    assert_valid_communities(g, G, labels)
    q = algorithms.modularity(g, labels)
    assert q == pytest.approx(nx_modularity(G, order, labels), rel=1e-12)
    assert q >= 0.98 * louvain_modularity(G)
    assert algorithms.communities(g).tobytes() == labels.tobytes()
    # partitions given as any integers: wide signed values, values below n, one node per community
    rng = np.random.default_rng(len(order))
    wide = np.array(EXTREMES + [-(2**40), 12345], dtype=np.int64)
    for column in (wide[rng.integers(0, len(wide), size=len(order))], rng.integers(0, 4, size=len(order)),
                   np.arange(len(order))[::-1].copy(), labels[::-1].copy()):
        for resolution in (0.5, 1.0, 2.0):
            assert algorithms.modularity(g, column, resolution) == pytest.approx(
                nx_modularity(G, order, column, resolution), rel=1e-12, abs=1e-15)


def test_extreme_ids():
    rng = random.Random(2)
    wide = EXTREMES + [rng.getrandbits(64) - 2**63 for _ in range(40)]
    pairs = [(rng.choice(wide), rng.choice(wide)) for _ in range(300)] + [(I64_MAX, x) for x in wide]
    g = load(pairs + [(I64_MIN, I64_MIN), (I64_MIN, I64_MAX)], [I64_MIN + 7, 0], "add_edges_flat")
    G, order = networkx_graph(g), g.nodes()
    for normalized in (True, False):
        close(algorithms.betweenness(g, normalized), reference_betweenness(G, order, normalized))
        close(algorithms.betweenness(g, normalized, 9, 4), reference_betweenness(G, order, normalized, 9, 4))
    labels = algorithms.communities(g, seed=5)
    assert_valid_communities(g, G, labels)
    assert algorithms.modularity(g, labels) == pytest.approx(nx_modularity(G, order, labels), rel=1e-12)


# ---------------------------------------------------------------------------------------------
# Structured graphs and the smallest ones


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("name", STRUCTURED)
def test_structured_graphs(name, layout):
    g = structured(name, layout)
    G, order = networkx_graph(g), g.nodes()
    for normalized in (True, False):
        exact = algorithms.betweenness(g, normalized)
        close(exact, reference_betweenness(G, order, normalized))
        if order:  # every node a source: the exact values, summed in another order
            np.testing.assert_allclose(algorithms.betweenness(g, normalized, len(order), 8), exact, rtol=1e-12, atol=0)
    labels = algorithms.communities(g)
    assert_valid_communities(g, G, labels)
    if G.number_of_edges() == 0:
        assert labels.tolist() == list(range(len(order))) and np.isnan(algorithms.modularity(g, labels))
        return
    q = algorithms.modularity(g, labels)
    assert q == pytest.approx(nx_modularity(G, order, labels), rel=1e-12, abs=1e-15)
    assert q >= louvain_modularity(G) - 1e-9
    if name == "karate club":
        assert q > 0.4197  # the best partition known


@pytest.mark.parametrize("edges, nodes", [([], []), ([], [5]), ([(1, 2)], []), ([(I64_MIN, I64_MIN)], []),
                                          ([(1, 1), (2, 2)], [3]), ([(4, 4), (4, -4)], [])],
                         ids=["empty", "one node", "one edge", "one self-loop", "self-loops only", "edge and loop"])
def test_the_smallest_graphs(edges, nodes):
    g = load(edges, nodes, "add_edges_from")
    G, order = networkx_graph(g), g.nodes()
    n, has_edges = len(g), any(u != v for u, v in edges)
    for normalized in (True, False):
        assert algorithms.betweenness(g, normalized).tolist() == [0.0] * n
        for k in range(1, n + 1):  # three nodes and one source: NaN at the source, as networkx has it
            close(algorithms.betweenness(g, normalized, k), reference_betweenness(G, order, normalized, k))
    labels = algorithms.communities(g)
    assert labels.dtype == np.int64 and labels.tolist() == ([0, 0] if has_edges else list(range(n)))
    q = algorithms.modularity(g, np.zeros(n, dtype=np.int64))
    assert isinstance(q, float) and (q == 0.0 if has_edges else np.isnan(q))


# ---------------------------------------------------------------------------------------------
# Sampled betweenness


def test_sampled_betweenness_draws_its_sources_from_the_seed():
    g, G = random_graph("components", "sparse", "add_edges_flat")
    order, n = g.nodes(), len(g)
    for k, seed in ((1, 0), (2, 1), (17, -1), (17, U64 + 5), (40, 2**70), (n - 1, 9), (n, 3)):
        for normalized in (True, False):
            close(algorithms.betweenness(g, normalized, k, seed), reference_betweenness(G, order, normalized, k, seed))
    # seeds are taken modulo 2**64; the same seed gives the same bits, other seeds other sources
    estimate = algorithms.betweenness(g, samples=30, seed=5)
    assert algorithms.betweenness(g, samples=30, seed=U64 + 5).tobytes() == estimate.tobytes()
    assert algorithms.betweenness(g, samples=30, seed=5).tobytes() == estimate.tobytes()
    others = {algorithms.betweenness(g, samples=30, seed=s).tobytes() for s in (6, 7, -1)}
    assert len(others | {estimate.tobytes()}) == 4
    # a single source is never between itself and a target: NaN there, and only there
    one = algorithms.betweenness(g, samples=1, seed=2)
    assert np.flatnonzero(np.isnan(one)).tolist() == splitmix64_sources(n, 1, 2)
    # bool is an int: True draws one source
    assert algorithms.betweenness(g, samples=True, seed=2).tobytes() == one.tobytes()
    for bad in (0, -1, n + 1, 2**63):
        with pytest.raises(ValueError):
            algorithms.betweenness(g, samples=bad)
    with pytest.raises((ValueError, OverflowError)):
        algorithms.betweenness(g, samples=2**64)
    for bad in (1.5, "3", np.float64(2.0)):
        with pytest.raises(TypeError):
            algorithms.betweenness(g, samples=bad)
    with pytest.raises(TypeError):
        algorithms.betweenness(g, seed=0.5)


# ---------------------------------------------------------------------------------------------
# Communities and modularity: resolution, seeds, arguments


def test_resolution_and_seed():
    caves = structured("connected_caveman", "sparse")
    G = networkx_graph(caves)
    counts = []
    for resolution in (0.0, 0.3, 1.0, 2.0, 8.0, 1e6):
        labels = algorithms.communities(caves, resolution=resolution, seed=1)
        assert_valid_communities(caves, G, labels)
        counts.append(int(labels.max()) + 1)
    assert counts == sorted(counts) and counts[0] == 1 and counts[2] == 6 and counts[-1] == len(caves)
    # at resolution 0 every component is one community
    g, G = random_graph("components", "compact", "add_edges_from")
    labels = algorithms.communities(g, resolution=0.0)
    assert sorted(map(sorted, partition(g.nodes(), labels))) == sorted(map(sorted, nx.connected_components(G)))
    # the seed only orders the visits: the same seed (modulo 2**64) gives the same labels
    g, G = random_graph("uniform", "sparse", "one by one")
    runs = {s: algorithms.communities(g, seed=s).tobytes() for s in (0, 1, 2, -1)}
    assert algorithms.communities(g, seed=U64 - 1).tobytes() == runs[-1]
    assert algorithms.communities(g, 1.0, 2).tobytes() == runs[2]
    assert len(set(runs.values())) > 1
    for bad in (-1.0, -1e-300, float("nan"), float("inf"), -float("inf")):
        with pytest.raises(ValueError):
            algorithms.communities(g, resolution=bad)
    with pytest.raises(TypeError):
        algorithms.communities(g, seed=1.5)


def test_modularity_arguments():
    g = load([(1, 2), (2, 3), (3, 1), (3, 4), (4, 5), (5, 6), (6, 4), (6, 6), (9, 9)], [I64_MAX], "add_edges_from")
    G, order, n = networkx_graph(g), g.nodes(), len(g)
    side = {1: 0, 2: 0, 3: 0, 4: 1, 5: 1, 6: 1, 9: 2, I64_MAX: 1}
    base = [side[u] for u in order]
    expected = nx_modularity(G, order, base)
    for dtype in (np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64):
        assert algorithms.modularity(g, np.array(base, dtype=dtype)) == pytest.approx(expected, rel=1e-12)
    as_list = [[I64_MIN, -1, I64_MAX][c] for c in base]
    assert algorithms.modularity(g, as_list) == pytest.approx(expected, rel=1e-12)
    strided = np.repeat(np.array(base, dtype=np.int64), 3)[::3]
    assert algorithms.modularity(g, strided) == pytest.approx(expected, rel=1e-12)
    assert algorithms.modularity(g, np.array(base) == 1) == pytest.approx(expected, rel=1e-12)
    for resolution in (0.0, 0.5, 3.0, -1.0):
        assert algorithms.modularity(g, base, resolution) == pytest.approx(
            nx_modularity(G, order, base, resolution), rel=1e-12)
    for bad in (base[:-1], base + [0], np.array([], dtype=np.int64), np.array([base, base]), np.zeros((n, 1), int)):
        with pytest.raises(ValueError):
            algorithms.modularity(g, bad)
    for bad in (np.array(base, dtype=np.float64), [0.5] * n, ["a"] * n, [None] * n):
        with pytest.raises(TypeError):
            algorithms.modularity(g, bad)
    for bad in (float("nan"), float("inf")):
        with pytest.raises(ValueError):
            algorithms.modularity(g, base, bad)
    for bad in (None, [(1, 2)], G):
        with pytest.raises(TypeError):
            algorithms.modularity(bad, base)
    # An empty list is no labels (numpy makes it float64), right for an empty graph, short for g.
    assert math.isnan(algorithms.modularity(IntGraphCore(), []))
    with pytest.raises(ValueError):
        algorithms.modularity(g, [])


# ---------------------------------------------------------------------------------------------
# Worker counts, borrow, progress, Ctrl-C

WORKLOAD = """
    import hashlib
    import numpy as np
    from quillmesh import algorithms
    from quillmesh._accel import IntGraphCore

    def fingerprint():
        g = IntGraphCore()
        g.build_random(3000, 12_000, 13)
        g.add_edges_from([(-3, x) for x in range(0, 3000, 5)] + [(-3, -3), (7, 7)])
        # small pieces after the rest: whole batches of searches that reach few nodes
        g.add_edges_from([(10**6 + 10 * p + i, 10**6 + 10 * p + i + 1) for p in range(150) for i in range(9)])
        g.add_nodes_from([10**15, -10**15])
        out = {"exact": algorithms.betweenness(g), "unnormalized": algorithms.betweenness(g, False),
               "sampled": algorithms.betweenness(g, samples=700, seed=11),
               "communities": algorithms.communities(g, seed=3),
               "communities at 2.5": algorithms.communities(g, 2.5, 4)}
        out["modularity"] = np.float64(algorithms.modularity(g, out["communities"]))
        return {name: hashlib.sha256(np.ascontiguousarray(v).tobytes()).hexdigest() for name, v in out.items()}
"""


def test_same_bits_for_any_worker_count():
    script = WORKLOAD + "\n    import json\n    print(json.dumps(fingerprint()))\n"
    procs = [start_python(script, env={"RAYON_NUM_THREADS": str(k)}, unset=("RAYON_RS_NUM_CPUS",)) for k in (1, 5)]
    one, five = (json.loads(finish_python(p).stdout_text) for p in procs)
    scope = {}
    exec(textwrap.dedent(WORKLOAD), scope)
    assert one == five == scope["fingerprint"]()


CALLS = {
    "betweenness": lambda g: algorithms.betweenness(g),
    "sampled betweenness": lambda g: algorithms.betweenness(g, False, 20, 1),
    "communities": lambda g: algorithms.communities(g, 1.5, 2),
    "modularity": lambda g: algorithms.modularity(g, np.arange(len(g)) % 5),
}


@pytest.mark.parametrize("name", CALLS)
def test_the_shared_borrow(name):
    g, _ = random_graph("uniform", "compact", "add_edges_from")
    call = CALLS[name]
    expected = np.asarray(call(g)).tobytes()
    inside_shared, inside_exclusive = Reenter(lambda: call(g), 1), Reenter(lambda: call(g), 1)
    g.has_edge(0, inside_shared)
    g.add_node(inside_exclusive)  # node 1 is there already: the graph is unchanged
    assert inside_shared.error is None and np.asarray(inside_shared.result).tobytes() == expected
    assert isinstance(inside_exclusive.error, RuntimeError) and str(inside_exclusive.error) == REFUSED["shared"]
    assert np.asarray(call(g)).tobytes() == expected


@pytest.mark.parametrize("name", CALLS)
def test_progress_reports(name):
    g = IntGraphCore()
    g.build_random(3000, 15_000, 3)
    total = {"betweenness": len(g), "sampled betweenness": 20}.get(name)  # searches; else passes, or nothing
    events = []
    with quillmesh.progress(events.append, interval=0.001):
        CALLS[name](g)
    (reports,) = by_call(events)
    operation = "algorithms." + name.split()[-1]
    assert {e.operation for e in reports} == {operation}
    done = [e.done for e in reports]
    assert done == sorted(done)
    assert [e.state for e in reports[:-1]] == ["running"] * (len(reports) - 1)
    last = reports[-1]
    assert last.state == "done" and last.done == last.total
    if total:
        assert last.total == total
    elif name == "communities":
        assert last.total >= 1  # the passes made


def test_ctrl_c_stops_exact_betweenness():
    script = HARNESS + textwrap.dedent("""
        from quillmesh import algorithms
        g = IntGraphCore(); g.build_random(100_000, 600_000, 1)
        before, estimate = state(g), algorithms.betweenness(g, samples=3, seed=1).tobytes()
        latency = interrupted(g, lambda: algorithms.betweenness(g), 0.1)
        assert state(g) == before and algorithms.betweenness(g, samples=3, seed=1).tobytes() == estimate
    """) + TAIL
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0 and "latency" in proc.stdout, proc.stderr[-3000:]
