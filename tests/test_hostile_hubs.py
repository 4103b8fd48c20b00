"""A hub whose neighbours are chosen to collide in its table.

Neighbour tables place a dense index by the top bits of a fixed multiply, and dense indices follow
the order in which nodes were added, so a caller can pick a hub's neighbours to share one probe run
at every capacity. Such a hub must answer like any other (the model's answers, in every process,
by every route of loading, across saving and pickling), and its order must still be set by the
insertions alone: whatever the hub's set does about the collisions, the neighbours that come after
it has done so are listed in the order they arrived.
"""

import copy
import json
import os
import pickle
import random

import numpy as np
import pytest

import quillmesh.io
from quillmesh import IntGraphCore, algorithms
from support import Model, assert_same, colliding_nodes, run_python, state

LEAVES = 4000
NODES = 66 * LEAVES  # enough nodes that LEAVES of them collide


@pytest.fixture(scope="module")
def leaves():
    return colliding_nodes(LEAVES)


def hub_graph(leaves, route="add_edge"):
    """Nodes 0..NODES-1 added first (so node i has dense index i), then a hub, NODES, joined to the
    leaves by the given route."""
    g = IntGraphCore()
    g.add_nodes_from(range(NODES + 1))
    hub = NODES
    if route == "add_edge":
        for x in leaves:
            g.add_edge(hub, x)
    elif route == "add_edges_from":
        g.add_edges_from([(hub, x) for x in leaves])
    elif route == "add_edges_flat":
        g.add_edges_flat(np.array([e for x in leaves for e in (hub, x)], dtype=np.int64))
    elif route == "leaf first":
        for x in leaves:
            g.add_edge(x, hub)
    return g


def settled_prefix(order, arrivals):
    """The least j such that order[j:] == arrivals[j:] (the tail listed in arrival order)."""
    j = len(order)
    while j > 0 and order[j - 1] == arrivals[j - 1]:
        j -= 1
    return j


def test_the_leaves_collide():
    # the premise: at a table of 2^k slots, every leaf's home is among the first 2^k / 64
    for x in colliding_nodes(200):
        for bits in (6, 10, 16, 22):
            assert (x * 0x9E3779B97F4A7C15 % (1 << 64)) >> (64 - bits) < (1 << bits) // 64


@pytest.mark.parametrize("route", ["add_edge", "add_edges_from", "add_edges_flat", "leaf first"])
def test_a_colliding_hub_answers_like_the_model(leaves, route):
    g, hub = hub_graph(leaves, route), NODES
    m = Model()
    for x in range(NODES + 1):
        m.add_node(x)
    for x in leaves:
        m.add_edge(hub, x)
    assert g.degree(hub) == LEAVES and sorted(g.neighbors(hub)) == sorted(leaves)
    assert all(g.has_edge(hub, x) and g.has_edge(x, hub) for x in leaves)
    absent = [x for x in range(0, NODES, 37) if x not in set(leaves)][:3000]
    assert not any(g.has_edge(hub, x) for x in absent)
    assert g.has_edges([(hub, x) for x in leaves[:500] + absent[:500]]) == [True] * 500 + [False] * 500
    assert g.subgraph_edge_count([hub] + leaves[::2] + absent) == len(leaves[::2])
    assert g.number_of_edges() == LEAVES
    assert_same(g, m, probes=[hub, NODES + 1], samples=50)


def test_the_order_is_set_by_the_insertions_alone(leaves):
    orders = {route: hub_graph(leaves, route).neighbors(NODES)
              for route in ("add_edge", "add_edges_from", "add_edges_flat", "leaf first")}
    assert len({tuple(o) for o in orders.values()}) == 1
    order = orders["add_edge"]
    # The set stopped laying its elements out by the public hash early on: from there, arrival order.
    j = settled_prefix(order, leaves)
    assert j < LEAVES // 4 and sorted(order[:j]) == sorted(leaves[:j])


def test_neighbours_added_later_keep_arriving_in_order(leaves):
    g, hub = hub_graph(leaves), NODES
    rng = random.Random(3)
    taken = set(leaves)
    more = rng.sample([x for x in range(NODES) if x % 64 == 5 and x not in taken], 3000)  # past a growth
    for x in more:
        g.add_edge(hub, x)
    order = g.neighbors(hub)
    assert order[LEAVES:] == more and sorted(order[:LEAVES]) == sorted(leaves)
    assert all(g.has_edge(hub, x) for x in more[::7])


SCRIPT = """
import json, sys
sys.path.insert(0, sys.argv[1])
from test_hostile_hubs import hub_graph
from support import colliding_nodes
g = hub_graph(colliding_nodes(int(sys.argv[2])), "add_edges_flat")
g.add_edges_from([(int(sys.argv[3]), x) for x in range(0, 3000, 3)])
print(json.dumps([g.neighbors(int(sys.argv[3])), g.edges()[:5000], g.triangle_count()]))
"""


def test_every_process_lists_the_same_order():
    # each process draws its own keys for whatever the set keeps secret; none of it may show
    here = os.path.dirname(__file__)
    runs = [json.loads(run_python(SCRIPT, here, "1500", str(66 * 1500))) for _ in range(2)]
    assert runs[0] == runs[1]


def test_saved_pickled_and_copied_hubs_are_the_same_graph(leaves, tmp_path):
    g = hub_graph(leaves)
    g.add_edges_from([(NODES, x) for x in range(1, 2000, 2)])
    g.add_edges_from([(leaves[k], leaves[k + 1]) for k in range(0, LEAVES - 1, 2)])
    path = tmp_path / "hub.qmg"
    quillmesh.io.save(g, path)
    copies = [quillmesh.io.load(path), pickle.loads(pickle.dumps(g)), copy.copy(g), copy.deepcopy(g)]
    for h in copies:
        assert state(h) == state(g)
        assert h.neighbors(NODES) == g.neighbors(NODES)
        # and they grow alike: the copy's set is the same kind of set
        h.add_edges_from([(NODES, x) for x in range(4, 600, 4)])
    grown = [state(h) for h in copies]
    assert all(s == grown[0] for s in grown)
    # saving the copy again gives the same bytes as saving the original after the same change
    g.add_edges_from([(NODES, x) for x in range(4, 600, 4)])
    again = tmp_path / "again.qmg"
    quillmesh.io.save(g, again)
    quillmesh.io.save(copies[0], tmp_path / "copy.qmg")
    assert again.read_bytes() == (tmp_path / "copy.qmg").read_bytes()


def test_analyses_on_a_colliding_hub(leaves):
    g = hub_graph(leaves)
    ring = [(leaves[k], leaves[k + 1]) for k in range(LEAVES - 1)]
    g.add_edges_from(ring)
    assert g.triangle_count() == LEAVES - 1
    assert g.shortest_path_length(leaves[0], leaves[-1]) == 2
    sizes = g.connected_component_sizes()
    assert max(sizes) == LEAVES + 1 and len(sizes) == NODES + 1 - LEAVES
    assert algorithms.core_numbers(g)[NODES] == 2
    assert int(algorithms.triangles(g)[NODES]) == LEAVES - 1
