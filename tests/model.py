"""Pure-Python reference model of IntGraphCore, and a checker comparing a graph with it.

The model has the native method names, so one operation can be applied to both with getattr.
Orders belong to the native store: the model answers neighbours and enumerations with sets.
"""

import random

I64_MIN, I64_MAX = -(2**63), 2**63 - 1


class Model:
    def __init__(self):
        self.adj = {}  # node -> set of neighbours; a self-loop is the node in its own set
        self.edge_count = 0

    def add_node(self, n):
        self.adj.setdefault(n, set())

    def add_edge(self, u, v):
        self.edge_count += v not in self.adj.setdefault(u, set())
        self.adj[u].add(v)
        self.adj.setdefault(v, set()).add(u)

    def add_nodes_from(self, nodes):
        for n in nodes:
            self.add_node(n)

    def add_edges_from(self, edges):
        for u, v in edges:
            self.add_edge(u, v)

    def add_edges_flat(self, flat):
        self.add_edges_from(zip(flat[0::2], flat[1::2]))

    def has_node(self, n):
        return n in self.adj

    __contains__ = has_node

    def has_edge(self, u, v):
        return v in self.adj.get(u, ())

    def neighbors(self, n):
        return set(self.adj.get(n, ()))

    def degree(self, n):
        return len(self.adj.get(n, ()))

    def number_of_nodes(self):
        return len(self.adj)

    __len__ = number_of_nodes

    def number_of_edges(self):
        return self.edge_count

    def __repr__(self):
        return f"IntGraphCore(nodes={len(self.adj)}, edges={self.edge_count})"

    def nodes(self):
        return set(self.adj)

    def edges(self):
        return {(min(u, v), max(u, v)) for u, nbrs in self.adj.items() for v in nbrs}

    def degree_sequence(self):
        return {n: len(nbrs) for n, nbrs in self.adj.items()}


def query(graph, name, *args):
    """Calls a query on the graph, normalised to the model's form (neighbours as a set)."""
    result = getattr(graph, name)(*args)
    if name == "neighbors":
        assert len(result) == len(set(result)), f"duplicates in neighbors{args}: {result}"
        assert all(type(x) is int for x in result)
        return set(result)
    return result


def assert_same(graph, model, probes=(), samples=200):
    """Checks every observable query of `graph` against `model`; `probes` are extra ids to ask."""
    n, m = model.number_of_nodes(), model.number_of_edges()
    assert (graph.number_of_nodes(), len(graph), bool(graph)) == (n, n, n > 0)
    assert graph.number_of_edges() == m and repr(graph) == repr(model)
    for u, nbrs in model.adj.items():
        assert graph.has_node(u) and u in graph and graph.degree(u) == len(nbrs), u
        got = query(graph, "neighbors", u)
        assert got == nbrs, u
        assert all(graph.has_edge(v, u) for v in got), u  # symmetry, seen through the graph
    probes = [*probes, 0, -1, 1, I64_MIN, I64_MAX]
    for p in probes:
        assert graph.has_node(p) == (p in graph) == model.has_node(p), p
        assert graph.degree(p) == model.degree(p), p
        assert query(graph, "neighbors", p) == model.neighbors(p), p
    rng, pool = random.Random(n * 1_000_003 + m), list(model.adj) + probes
    for u, v in ((rng.choice(pool), rng.choice(pool)) for _ in range(samples)):
        assert graph.has_edge(u, v) == model.has_edge(u, v), (u, v)
    if hasattr(graph, "nodes"):  # enumerations
        assert sorted(graph.nodes()) == sorted(model.nodes())
        edges = graph.edges()
        assert len(edges) == m and all(u <= v for u, v in edges) and set(edges) == model.edges()
        seq = graph.degree_sequence()
        assert len(seq) == n and dict(seq) == model.degree_sequence()
