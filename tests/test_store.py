"""Point operations of IntGraphCore: adding nodes and edges one at a time and querying them."""

import random

import pytest

from quillmesh._accel import IntGraphCore
from support import I64_MAX, I64_MIN, Index, Model, assert_same


def both(*ops, g=None, m=None):
    """Applies (name, *args) operations to a graph and a model (new ones by default)."""
    g, m = IntGraphCore() if g is None else g, Model() if m is None else m
    for name, *args in ops:
        assert getattr(g, name)(*args) is None
        getattr(m, name)(*args)
    return g, m


def test_new_instance_is_empty():
    g = IntGraphCore()
    assert (g.number_of_nodes(), g.number_of_edges(), len(g), bool(g)) == (0, 0, 0, False)
    assert repr(g) == "IntGraphCore(nodes=0, edges=0)" and g.degree(5) == 0 and g.neighbors(5) == []
    assert not (g.has_node(5) or 5 in g or g.has_edge(1, 2) or g.has_edge(5, 5))
    assert_same(g, Model())


def test_repeated_edges_in_both_orientations_count_once():
    g, m = both(("add_edge", 1, 2), ("add_edge", 2, 1), ("add_edge", 1, 2), ("add_edge", 2, 3))
    assert g.neighbors(1) == [2] and g.degree(1) == 1 and g.degree(2) == 2
    assert g.has_edge(1, 2) and g.has_edge(2, 1) and not g.has_edge(1, 3)
    assert repr(g) == "IntGraphCore(nodes=3, edges=2)"
    assert_same(g, m)


def test_self_loop_counts_once():
    g, m = both(("add_edge", 3, 3), ("add_edge", 3, 3))
    assert (g.neighbors(3), g.degree(3), g.number_of_edges(), len(g)) == ([3], 1, 1, 1)
    both(("add_edge", 3, 4), ("add_edge", 4, 3), ("add_edge", 4, 4), g=g, m=m)
    assert (g.degree(3), g.degree(4), g.number_of_edges()) == (2, 2, 3)
    assert_same(g, m)


def test_add_node_is_idempotent_and_keeps_neighbours():
    g, m = both(("add_node", 7), ("add_node", 7))
    assert (len(g), g.number_of_edges(), g.neighbors(7), g.degree(7)) == (1, 0, [], 0)
    both(("add_edge", 1, 2), ("add_node", 1), ("add_node", 2), ("add_node", 7), g=g, m=m)
    assert g.neighbors(1) == [2] and g.neighbors(2) == [1] and g.number_of_edges() == 1
    assert_same(g, m)


def test_extreme_and_negative_ids_are_ordinary_nodes():
    g, m = both(("add_edge", -5, I64_MAX), ("add_node", 0), ("add_node", -1), ("add_edge", 0, -1),
                ("add_edge", I64_MIN, I64_MAX), ("add_edge", I64_MIN, I64_MIN))
    assert sorted(g.neighbors(I64_MAX)) == [I64_MIN, -5]
    assert_same(g, m, probes=[-2, 2, I64_MIN + 1, I64_MAX - 1, 1 << 32, -(1 << 32)])
    # An empty slot must never pass for a stored 0, -1 or extreme id.
    g, m = both(("add_edge", I64_MIN, I64_MAX))
    assert not any(g.has_node(x) for x in (0, -1, 1, I64_MIN + 1, I64_MAX - 1))
    assert not g.has_edge(I64_MIN, -1) and not g.has_edge(0, I64_MAX)


def test_has_edge_with_absent_endpoints_is_false():
    g, m = both(("add_node", 2), ("add_edge", 3, 4))
    assert not any(g.has_edge(*p) for p in [(1, 2), (2, 1), (1, 1), (2, 2), (1, 3), (3, 1)])
    assert_same(g, m, probes=[1, 5])


def test_neighbors_returns_a_fresh_copy():
    g, _ = both(("add_edge", 1, 2))
    first = g.neighbors(1)
    first.append(99)
    assert g.neighbors(1) == [2] and g.neighbors(1) is not g.neighbors(1)
    g.add_edge(1, 4)
    assert first == [2, 99] and sorted(g.neighbors(1)) == [2, 4]


def test_bool_converts_as_int():
    g, m = both(("add_node", True), ("add_edge", False, True))
    assert g.has_node(1) and True in g and g.has_edge(True, 0)
    assert g.neighbors(True) == [0] and type(g.neighbors(0)[0]) is int
    assert_same(g, m)


@pytest.mark.parametrize("args, exc, name", [
    ((1, 2**63), OverflowError, None), ((2**63, 1), OverflowError, None),
    ((1, I64_MIN - 1), OverflowError, None), ((1, Index(ValueError("boom"))), ValueError, None),
    ((1, "a"), TypeError, "v"), (("a", 1), TypeError, "u"),
    ((1, 1.0), TypeError, "v"), ((None, 1), TypeError, "u"),
])
def test_failed_conversion_leaves_graph_unchanged(args, exc, name):
    g, m = both(("add_edge", 5, 6), ("add_node", 7), ("add_edge", 7, 7))
    with pytest.raises(exc) as err:
        g.add_edge(*args)
    message = str(err.value)
    assert message.startswith(f"argument '{name}': ") if name else "argument" not in message
    bad = args[1] if args[0] == 1 else args[0]
    for call in (g.add_node, g.has_node, g.degree, g.neighbors, g.__contains__):
        with pytest.raises(exc) as err:
            call(bad)
        assert str(err.value).startswith("argument 'n': ") == (exc is TypeError)
    assert_same(g, m, probes=[1])  # node 1 was not created


def test_hub_through_neighbour_set_layouts():
    rng, hub, other = random.Random(11), -3, 10**15
    leaves = [I64_MIN, I64_MAX, 0, -1] + rng.sample(range(-(10**12), 10**12), 25_000)
    leaves.insert(32, hub)  # the self-loop arrives as the 33rd neighbour
    checkpoints = {1, 2, 3, 4, 5, 16, 17, 31, 32, 33, 34, 48, 49, 63, 64, 65, 97, 1000, len(leaves)}
    # A bystander whose neighbour set is a table: its order must survive all that follows.
    g, m = both(*[("add_edge", other, other + i) for i in range(1, 41)])
    bystander = g.neighbors(other)
    for k, leaf in enumerate(leaves, 1):
        g.add_edge(hub, leaf)
        m.add_edge(hub, leaf)
        if k not in checkpoints:
            continue
        order = g.neighbors(hub)
        assert g.degree(hub) == len(order) == k and set(order) == set(leaves[:k])
        sample = leaves[:k] if k < 1000 else rng.sample(leaves[:k], 500)
        assert all(g.has_edge(hub, x) and g.has_edge(x, hub) for x in sample)
        assert k == len(leaves) or not g.has_edge(hub, leaves[k])
        # Other nodes change and hub edges repeat: the hub's order must not move.
        both(("add_edge", leaves[0], leaves[k - 1]), ("add_edge", hub, leaves[0]),
             ("add_edge", leaves[k - 1], hub), ("add_edge", 5 * 10**14 + k, -5 * 10**14 - k),
             ("add_node", 7 * 10**14 + k), g=g, m=m)
        assert g.neighbors(hub) == order and g.number_of_edges() == m.number_of_edges()
        if k <= 100:
            assert_same(g, m)
    assert g.neighbors(other) == bystander
    assert_same(g, m, samples=2000)


# Ids 0..n-1 (or a range not much wider than the node count) are looked up through a flat array,
# other ids through a hash table, and the index moves between the two as ids and nodes arrive: ids in
# random order start in the table and move to the array once the count catches up, ascending ids grow
# the array, and a wide id sends everything back to the table. Every id must stay findable throughout.
WIDENING = {
    "negative id": [("add_edge", -1, 5)],
    "far id": [("add_node", 10**9)],
    "self-loop on a far id": [("add_edge", 2**40, 2**40)],
    "bulk edges": [("add_edges_flat", [7, 3 * 10**6, 8, 9])],
    "bulk nodes": [("add_nodes_from", [11, I64_MIN, 12])],
    "extremes": [("add_edge", I64_MAX, 0), ("add_edge", I64_MIN, I64_MAX)],
}


@pytest.mark.parametrize("grown_by", ["edges", "nodes"])
@pytest.mark.parametrize("widening", WIDENING)
def test_ids_stay_findable_when_the_index_changes_layout(grown_by, widening):
    rng = random.Random(len(widening) * 7 + len(grown_by))
    n = 70_000  # past the array's smallest size, so it has grown before the first wide id
    edges = [(rng.randrange(n), rng.randrange(n)) for _ in range(3 * n)]
    g, m = IntGraphCore(), Model()
    if grown_by == "edges":
        for u, v in edges[:2000]:
            g.add_edge(u, v)
            m.add_edge(u, v)
        g.add_edges_from(edges[2000:])
    else:
        g.add_nodes_from(range(0, n, 2))  # ascending: the array grows as the ids do
        m.add_nodes_from(range(0, n, 2))
        g.add_edges_from(edges)
    m.add_edges_from(edges)
    both(*WIDENING[widening], g=g, m=m)
    g.add_edges_from(edges[:100] + [(u + n, v) for u, v in edges[:500]])  # after the move
    m.add_edges_from(edges[:100] + [(u + n, v) for u, v in edges[:500]])
    # Every node's lookup, through its degree and membership; its neighbours for a sample.
    assert (g.number_of_nodes(), g.number_of_edges()) == (m.number_of_nodes(), m.number_of_edges())
    assert g.nodes() == list(m.adj) and [g.degree(u) for u in m.adj] == [len(a) for a in m.adj.values()]
    assert all(u in g for u in m.adj) and not any(u in g for u in (n + 5, 2**41, -2, I64_MIN + 7))
    for u in [u for u, _ in edges[:300]] + [-1, 10**9, 2**40, I64_MIN, I64_MAX, 3 * 10**6]:
        got = g.neighbors(u)
        assert sorted(got) == sorted(m.neighbors(u)) and all(g.has_edge(v, u) for v in got), u


def test_point_queries_follow_every_set_across_index_layouts():
    """has_edge and neighbors read small sets through the index rather than the set itself: sets of
    every size, built while the ids go through the hash table, must read the same after the index
    moves to the flat array, after they grow there (into tables too), and after a move back."""
    rng = random.Random(5)
    n = 3000
    ids = rng.sample(range(100 * n), n)  # spread far wider than the node count: hashed
    g, m = IntGraphCore(), Model()

    def grow(rounds):
        for k, u in enumerate(ids):
            for j in range(rounds(k)):
                both(("add_edge", u, ids[(k + 7 * j + 1) % n]), g=g, m=m)

    def check():
        for u in ids:
            got = g.neighbors(u)
            assert set(got) == m.neighbors(u) and g.degree(u) == len(got), u
            assert all(g.has_edge(u, v) and g.has_edge(v, u) for v in got), u
            assert not g.has_edge(u, u + 1) or u + 1 in got

    grow(lambda k: k % 36)  # degrees from 0 to past the list layout's 32
    check()
    both(("add_nodes_from", range(100 * n)), g=g, m=m)  # the count catches up: the flat array
    check()
    grow(lambda k: 3 if k % 5 == 0 else 0)  # lists move to bigger arrays, some become tables
    check()
    both(("add_edge", -1, ids[0]), ("add_edge", 2**40, ids[1]), g=g, m=m)  # back to the table
    check()
    grow(lambda k: 1 if k % 3 == 0 else 0)
    check()
    assert_same(g, m, samples=500)
