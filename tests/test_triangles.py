"""triangle_count against the reference, on awkward ids, hubs, insertion orders and mutations."""

import itertools
import json
import random

import pytest

from quillmesh._accel import IntGraphCore
from support import I64_MAX, I64_MIN, Model, graph, run_python


def reference(edges):
    return Model.of(edges).triangle_count()


POOLS = {"small": list(range(25)), "negative": list(range(-30, 0)),
         "extreme": [I64_MIN, I64_MIN + 1, -2, -1, 0, 1, 3, I64_MAX - 1, I64_MAX],
         "wide": [random.Random(3).getrandbits(64) - 2**63 for _ in range(30)]}


@pytest.mark.parametrize("pool", sorted(POOLS))
@pytest.mark.parametrize("seed", range(5))
def test_random_graphs_match_reference(pool, seed):
    rng = random.Random(seed)
    nodes = POOLS[pool]
    edges = [(rng.choice(nodes), rng.choice(nodes)) for _ in range(rng.randrange(len(nodes) * 4))]
    edges += [(u, u) for u in rng.sample(nodes, 3)]
    g, expected = graph(edges, [10**15 + seed, -(10**15)]), reference(edges)
    assert g.triangle_count() == expected
    assert g.triangle_count() == expected  # from the cached snapshot


@pytest.mark.parametrize(("edges", "count"), [
    ([], 0), ([(1, 1)], 0), ([(1, 2), (2, 3), (3, 1)], 1), (list(itertools.combinations(range(4), 2)), 4),
    (list(itertools.combinations(range(5), 2)), 10), ([(1, 2), (1, 3), (2, 3), (2, 4), (3, 4)], 2),
    ([(1, 2), (2, 3), (3, 1), (1, 1), (2, 2), (3, 3)], 1), ([(-3, -1), (-1, 2), (2, -3)], 1),
    ([(I64_MIN, I64_MAX), (I64_MAX, 0), (0, I64_MIN)], 1), ([(i, i + 1) for i in range(50)], 0),
    ([(0, i) for i in range(1, 50)], 0), ([(i, (i + 1) % 4) for i in range(4)], 0),
])
def test_documented_cases(edges, count):
    assert graph(edges).triangle_count() == count
    assert graph(edges, [10**6, -(10**6), 7]).triangle_count() == count


@pytest.mark.parametrize("hub", [I64_MIN, 0, 15_000, I64_MAX])
def test_wheel_hub(hub):
    """A hub joined to every node of a long cycle closes one triangle per cycle edge."""
    cycle = [x for x in range(1, 30_002) if x != hub][:30_000]
    rim = [(cycle[i], cycle[(i + 1) % len(cycle)]) for i in range(len(cycle))]
    g = graph([(hub, x) for x in cycle] + rim)
    assert g.triangle_count() == len(cycle)


def test_hub_with_random_leaf_edges():
    rng = random.Random(8)
    leaves = rng.sample(range(-(10**12), 10**12), 20_000)
    edges = [(-5, x) for x in leaves] + [tuple(rng.sample(leaves, 2)) for _ in range(10_000)]
    edges += [(leaves[i], leaves[i + 1]) for i in range(0, 3000, 2)]
    edges += [(x, y) for x, y in itertools.combinations(leaves[:40], 2)]  # a dense core
    assert graph(edges).triangle_count() == reference(edges)


@pytest.mark.parametrize("seed", range(3))
def test_independent_of_insertion_order(seed):
    rng = random.Random(seed)
    g0 = IntGraphCore()
    g0.build_random(300, 2500, seed)
    edges = g0.edges()
    expected = reference(edges)
    assert g0.triangle_count() == expected > 0
    for _ in range(3):
        rng.shuffle(edges)
        flipped = [(v, u) if rng.random() < 0.5 else (u, v) for u, v in edges]
        g = graph(flipped)
        assert g.triangle_count() == expected


def test_interleaved_with_pagerank_and_mutations():
    rng = random.Random(4)
    g, edges = IntGraphCore(), []
    for step in range(25):
        batch = [(rng.randrange(-40, 40), rng.randrange(-40, 40)) for _ in range(rng.randrange(1, 12))]
        if step % 2:
            g.add_edges_flat([x for e in batch for x in e])
        else:
            g.add_edges_from(batch)
        edges += batch
        if step % 3:
            g.pagerank()
        assert g.triangle_count() == reference(edges), step
        g.pagerank(max_iter=3)
        assert g.triangle_count() == reference(edges), step
    # closing a new triangle counts it at once, after the snapshot has been built
    g.add_edges_from([(500, 501), (501, 502)])
    before = g.triangle_count()
    g.add_edge(502, 500)
    assert g.triangle_count() == before + 1
    g.add_edge(500, 502)  # already there
    g.add_node(501)
    assert g.triangle_count() == before + 1
    g.build_random(60, 300, 9)
    assert g.triangle_count() == reference(g.edges())


@pytest.mark.parametrize("k", [15, 16, 17, 18, 24])
def test_cliques_around_the_row_length_counted_at_once(k):
    # Equal degrees rank by row, so a clique's forward rows take every length from 0 to k - 1: rows
    # of up to 16 are counted against all of the row at once, longer ones through the bitmap. Row 0,
    # the first node, is in every other row: a value the padding of a short row must never match.
    import numpy as np
    from quillmesh import algorithms

    edges = list(itertools.combinations(range(k), 2))
    g = graph(edges)
    assert g.triangle_count() == k * (k - 1) * (k - 2) // 6
    # beside a hub with leaves joined at random: short and long rows in one graph, against the
    # per-node counts, which always go through the bitmap
    rng = random.Random(k)
    edges += [(1000, 2000 + i) for i in range(60)] + [(2000 + rng.randrange(60), 2000 + rng.randrange(60))
                                                      for _ in range(150)]
    g = graph(edges)
    assert g.triangle_count() == reference(edges) == int(np.sum(algorithms.triangles(g))) // 3


def test_rows_in_wide_words_count_what_narrow_ones_count():
    # Forward rows name their members by where their rows start, in 32-bit words while every start
    # fits and in 64-bit words past that. A lowered threshold takes the wide words with small graphs:
    # the total, the per-node counts and the clustering must not change, over short rows, long rows
    # (a hub's leaves joined at random) and a graph a mutation has made the cache rebuild.
    code = """
import json, random, sys
from quillmesh._accel import IntGraphCore
from quillmesh import algorithms
rng = random.Random(11)
g = IntGraphCore()
g.add_edges_from([(rng.randrange(300), rng.randrange(300)) for _ in range(2500)])
g.add_edges_from([(-7, k) for k in range(0, 300, 2)] + [(5, 5)])
out = [g.triangle_count(), algorithms.triangles(g).tolist(), algorithms.clustering(g).tolist()]
g.add_edges_from([(k, k + 1) for k in range(0, 299, 3)])
out += [g.triangle_count(), algorithms.triangles(g).tolist()]
print(json.dumps(out))
"""
    narrow = json.loads(run_python(code))
    wide = json.loads(run_python(code, env={"QUILLMESH_TRIANGLES_WIDE_WORDS": "1"}))
    assert wide == narrow
    rng = random.Random(11)
    edges = [(rng.randrange(300), rng.randrange(300)) for _ in range(2500)]
    edges += [(-7, k) for k in range(0, 300, 2)] + [(5, 5)]
    assert narrow[0] == reference(edges)


def test_nodes_at_and_past_the_byte_of_degree():
    # On a graph of millions of nodes, ranks compare degrees through a byte capped at 255 and read
    # the full degrees only when both bytes are at the cap (a lowered threshold takes that path
    # here): hubs just under, at and past the cap, some of equal degree, joined to each other and
    # sharing leaves, must count what the reference counts, node by node, either way.
    rng = random.Random(255)
    targets = [254, 255, 255, 256, 300, 300, 400]
    hubs = list(range(-len(targets), 0))
    edges = list(itertools.combinations(hubs, 2))
    leaves = list(range(1, 1200))
    for hub, target in zip(hubs, targets):
        edges += [(hub, leaf) for leaf in rng.sample(leaves, target - (len(hubs) - 1))]
    edges += [tuple(rng.sample(leaves, 2)) for _ in range(3000)]
    code = f"""
import json
from quillmesh._accel import IntGraphCore
from quillmesh import algorithms
g = IntGraphCore()
g.add_edges_from({edges!r})
print(json.dumps([g.triangle_count(), dict(zip(g.nodes(), algorithms.triangles(g).tolist())),
                  sorted(g.degree(h) for h in {hubs!r})]))
"""
    adj = Model.of(edges).adj
    per_node = {u: sum(1 for v, w in itertools.combinations(sorted(adj[u]), 2) if w in adj[v]) for u in adj}
    expected = [reference(edges), {str(u): c for u, c in per_node.items()}, sorted(targets)]
    assert sum(per_node.values()) // 3 == expected[0]
    assert json.loads(run_python(code)) == expected
    assert json.loads(run_python(code, env={"QUILLMESH_TRIANGLES_CAPPED_NODES": "1"})) == expected
