"""Ids made to collide: every call gives what the reference gives, in the orders ids alone decide.

The node hash is public and a bijection, so ids with chosen hashes are easy to make. The families
below are those that pile into one probe run of a table placed by the hash's low bits, by its high
bits, or by a fixed mix of dense indices (a search's seen set); the tables that no result shows now
place keys under a secret key, so these ids must behave exactly like any others: the same listings
in first-appearance order, the same neighbour orders, the same answers, in every process.
"""

import json
import os
import random

import pytest

from quillmesh._accel import IntGraphCore
from support import Model, assert_same, run_python, state

U64 = 1 << 64
HASH_MULTIPLIER, HASH_ROTATION = 0xF1357AEA2E62A9C5, 26
COUNT = 3000  # ids of each family: thousands of probes per call in a table that lets them collide


def id_with_hash(h):
    """The one id whose node hash is h."""
    h %= U64
    x = ((h >> HASH_ROTATION) | (h << (64 - HASH_ROTATION))) % U64 * pow(HASH_MULTIPLIER, -1, U64) % U64
    return x - U64 if x >= 1 << 63 else x


def node_hash(x):
    p = x % U64 * HASH_MULTIPLIER % U64
    return ((p << HASH_ROTATION) | (p >> (64 - HASH_ROTATION))) % U64


# Hash families: equal low bits (a mask of the low bits), equal high bits (a table that takes the top
# bits), and hashes apart only in their top bits (a multiply that only carries upwards).
FAMILIES = {
    "low bits": lambda i: i << 40,
    "high bits": lambda i: i,
    "top bits only": lambda i: (i << 52) | 0x5A5A5,
}


@pytest.fixture(params=sorted(FAMILIES))
def crafted(request):
    return [id_with_hash(FAMILIES[request.param](i)) for i in range(COUNT)]


def test_the_crafted_ids_share_their_hash_bits():
    # the premise: distinct ids, whose hashes are those chosen
    for make in FAMILIES.values():
        ids = [id_with_hash(make(i)) for i in range(COUNT)]
        assert len(set(ids)) == COUNT
        assert [node_hash(x) for x in ids] == [make(i) % U64 for i in range(COUNT)]


# ---------------------------------------------------------------------------------------------
# The store


def test_nodes_one_at_a_time_and_in_bulk(crafted):
    one, bulk = IntGraphCore(), IntGraphCore()
    for x in crafted:
        one.add_node(x)
    bulk.add_nodes_from(crafted + crafted[::2])
    for g in (one, bulk):
        assert g.nodes() == crafted  # first appearance, whatever the hashes
        assert all(g.has_node(x) and g.degree(x) == 0 for x in crafted)
        assert not any(g.has_node(x) for x in range(1, 200))  # ids that share nothing with them
    assert not one.has_node(id_with_hash(COUNT << 40)) and not one.has_node(id_with_hash(COUNT))


def test_star_of_crafted_leaves(crafted):
    hub, leaves = crafted[0], crafted[1:]
    g, m = IntGraphCore(), Model()
    for x in leaves:
        g.add_edge(hub, x)
        m.add_edge(hub, x)
    g.add_edge(leaves[5], leaves[5])  # a self-loop among them
    m.add_edge(leaves[5], leaves[5])
    assert g.nodes() == crafted
    assert_same(g, m, probes=[id_with_hash(COUNT << 40), id_with_hash(COUNT)])


def hub_order(leaves):
    """The order in which a hub's set lists leaves with dense indices 1, 2, ...: a list in insertion
    order up to 32 elements, then a linear-probing table (from 64 slots, kept at most 3/4 full,
    rebuilt in its slot order) that puts index i at the top bits of i * 0x9e3779b97f4a7c15."""
    list_capacity, min_table, golden = 32, 64, 0x9E3779B97F4A7C15
    order, table = list(range(1, len(leaves) + 1)), None

    def put(slots, i):
        s = (i * golden % U64) >> (65 - len(slots).bit_length())
        while slots[s] is not None:
            s = (s + 1) % len(slots)
        slots[s] = i

    def build(elements, cap):
        slots = [None] * cap
        for i in elements:
            put(slots, i)
        return slots

    for size, i in enumerate(order):
        if table is None and size == list_capacity:
            table = build(order[:size], min_table)
        if table is not None:
            if 4 * (size + 1) > 3 * len(table):
                table = build([x for x in table if x is not None], 2 * len(table))
            put(table, i)
    indices = order if table is None else [x for x in table if x is not None]
    return [leaves[i - 1] for i in indices]


def test_neighbour_order_is_set_by_insertions_alone(crafted):
    # a hub's order shows its table's layout; crafted ids must not move it, whichever way they come
    hub, leaves = crafted[0], crafted[1:]
    one = IntGraphCore()
    for x in leaves:
        one.add_edge(hub, x)
    flat = IntGraphCore()
    flat.add_edges_flat([end for x in leaves for end in (hub, x)])
    assert one.neighbors(hub) == flat.neighbors(hub) == hub_order(leaves)


def test_crafted_ids_join_a_graph_of_dense_ids(crafted):
    # ids 0..n-1 live in a flat array; the first crafted id moves the index into the table
    rng = random.Random(5)
    dense = list(range(500))
    edges = [(rng.choice(dense), rng.choice(crafted)) for _ in range(4000)] + [(u, u + 1) for u in dense[:-1]]
    g, m = IntGraphCore(), Model()
    g.add_edges_from(edges[:100])
    m.add_edges_from(edges[:100])
    for u, v in edges[100:]:
        g.add_edge(u, v)
        m.add_edge(u, v)
    g.add_nodes_from(crafted)
    m.add_nodes_from(crafted)
    assert_same(g, m, probes=crafted[:50])


# ---------------------------------------------------------------------------------------------
# Bulk loads and batch queries


def ring_and_star(ids):
    hub, leaves = ids[0], ids[1:]
    return [(hub, x) for x in leaves] + list(zip(leaves, leaves[1:]))


def test_loads_agree_with_edge_by_edge(crafted):
    edges = ring_and_star(crafted)
    flat = [end for e in edges for end in e]
    one = IntGraphCore()
    for u, v in edges:
        one.add_edge(u, v)
    tuples, ends = IntGraphCore(), IntGraphCore()
    tuples.add_edges_from(edges)
    ends.add_edges_flat(flat)
    # a second batch, small next to the graph, goes edge by edge through the same index
    extra = [(crafted[i], crafted[-i]) for i in range(2, 40)]
    for g in (one, tuples, ends):
        g.add_edges_from(extra)
    assert state(one) == state(tuples) == state(ends)
    assert_same(ends, Model.of(edges + extra))


def test_batch_queries(crafted):
    edges = ring_and_star(crafted)
    g, m = IntGraphCore(), Model.of(edges)
    g.add_edges_flat([end for e in edges for end in e])
    rng = random.Random(11)
    absent = [id_with_hash((COUNT + i) << 40) for i in range(50)] + [id_with_hash(COUNT + i) for i in range(50)]
    pool = crafted + absent
    pairs = [(rng.choice(pool), rng.choice(pool)) for _ in range(5000)] + edges[::7]
    assert g.has_edges(pairs) == m.has_edges(pairs)
    for members in (crafted, crafted[::3] + absent, crafted[1:] * 2, absent):
        assert g.subgraph_edge_count(members) == m.subgraph_edge_count(members)


# ---------------------------------------------------------------------------------------------
# Analyses


def test_components_and_paths(crafted):
    # pieces of a ring through crafted ids: paths along a piece, -1 across pieces
    pieces = [crafted[i:i + 500] for i in range(0, COUNT, 500)]
    edges = [e for piece in pieces for e in zip(piece, piece[1:])]
    g, m = IntGraphCore(), Model.of(edges)
    g.add_edges_from(edges)
    assert g.connected_component_sizes() == m.connected_component_sizes(g.nodes()) == [500] * len(pieces)
    rng = random.Random(3)
    for _ in range(60):
        a, b = rng.choice(crafted), rng.choice(crafted)
        assert g.shortest_path_length(a, b) == m.shortest_path_length(a, b), (a, b)
    assert g.triangle_count() == 0
    assert [u for u, _ in g.pagerank()] == g.nodes()


def old_seen_slot(i):
    """Where a search's seen set used to put dense index i, before it had a key (top bits of this)."""
    x = i
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9 % U64
    x = (x ^ (x >> 27)) * 0x94D049BB133111EB % U64
    return x ^ (x >> 31)


def test_paths_through_a_hub_whose_neighbours_collide_in_the_seen_set():
    # The graph's builder picks which nodes a search meets: here a hub whose neighbours are the
    # dense indices that a fixed mix put first in every table size, so a search from one of them
    # saw them all in one run.
    n, picked = 40_000, 2_000
    ids = [id_with_hash(i << 40) for i in range(n)]
    leaves = sorted(range(1, n), key=old_seen_slot)[:picked]
    tail = [ids[i] for i in range(1, n) if i not in set(leaves)][:20]
    g = IntGraphCore()
    g.add_nodes_from(ids)  # dense index i is ids[i]
    edges = [(ids[0], ids[i]) for i in leaves] + [(ids[leaves[7]], tail[0])] + list(zip(tail, tail[1:]))
    g.add_edges_from(edges)
    m = Model.of(edges, ids)
    rng = random.Random(9)
    queries = [(ids[rng.choice(leaves)], ids[rng.choice(leaves)]) for _ in range(20)]
    queries += [(ids[rng.choice(leaves)], t) for t in tail] + [(ids[leaves[1]], ids[n - 1])]
    assert [g.shortest_path_length(a, b) for a, b in queries] == [m.shortest_path_length(a, b) for a, b in queries]
    assert g.connected_component_sizes() == m.connected_component_sizes(g.nodes())


# ---------------------------------------------------------------------------------------------
# Every process


SCRIPT = """
import json, sys
from quillmesh._accel import IntGraphCore
from test_crafted_ids import FAMILIES, id_with_hash, ring_and_star
ids = [id_with_hash(make(i)) for make in FAMILIES.values() for i in range(1000)]
g = IntGraphCore()
for u, v in ring_and_star(ids):
    g.add_edge(u, v)
g.add_edges_flat([x for i in range(0, len(ids) - 1, 3) for x in (ids[i], ids[i + 1])])
print(json.dumps([g.nodes(), g.edges(), [g.neighbors(u) for u in g.nodes()], g.connected_component_sizes(),
                  [s.hex() for _, s in g.pagerank()], g.triangle_count()]))
"""


def test_every_process_gives_the_same_results():
    # each process draws its own table keys; nothing of them may show
    here = os.path.dirname(__file__)
    runs = [json.loads(run_python(SCRIPT, env={"PYTHONPATH": here})) for _ in range(2)]
    assert runs[0] == runs[1]


# ---------------------------------------------------------------------------------------------
# Long lists of large ids


def test_long_lists_mixing_large_and_small_ids_read_in_order():
    # Stretches of large ids (read one by one) and of small ones (read a block at a time, on
    # every worker once long enough) take turns; every value must land where it stood.
    large = [id_with_hash(i << 40) for i in range(1, 45_000)]
    ids = large[:20_000] + list(range(40_000)) + large[20_000:25_000] + list(range(40_000, 60_000)) + large[25_000:]
    g = IntGraphCore()
    g.add_nodes_from(ids)
    assert g.nodes() == ids
    pairs = list(zip(ids, ids[1:]))
    g.add_edges_from(pairs[::2])
    assert g.has_edges(pairs) == [k % 2 == 0 for k in range(len(pairs))]
    assert g.subgraph_edge_count(ids[:30_000] + [-5, -6]) == 15_000
