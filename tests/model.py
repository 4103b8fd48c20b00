"""Pure-Python reference model of IntGraphCore, and a checker that compares the two.

The model has the same method names as the native class, so a test can apply one operation to
both with ``getattr``. Orders are the native store's business: the model answers neighbour and
enumeration queries with sets, and ``assert_same`` compares them as such.
"""

import random

I64_MIN, I64_MAX = -(2**63), 2**63 - 1


class Model:
    def __init__(self):
        self.adj = {}  # node -> set of neighbours; a self-loop is the node in its own set
        self.edge_count = 0

    # ---- mutations
    def add_node(self, n):
        self.adj.setdefault(n, set())

    def add_edge(self, u, v):
        nu = self.adj.setdefault(u, set())
        if v not in nu:
            self.edge_count += 1
        nu.add(v)
        self.adj.setdefault(v, set()).add(u)

    def add_nodes_from(self, nodes):
        for n in nodes:
            self.add_node(n)

    def add_edges_from(self, edges):
        for u, v in edges:
            self.add_edge(u, v)

    def add_edges_flat(self, flat):
        self.add_edges_from(zip(flat[0::2], flat[1::2]))

    # ---- queries
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
    """Calls a query on the native graph and normalises its result to the model's form."""
    result = getattr(graph, name)(*args)
    if name == "neighbors":
        assert len(result) == len(set(result)), f"duplicates in neighbors{args}: {result}"
        assert all(type(x) is int for x in result)
        return set(result)
    return result


def assert_same(graph, model, probes=(), samples=200):
    """Checks every observable query of `graph` against `model`.

    `probes` are extra ids (typically absent ones) to ask about as nodes and as edge endpoints.
    """
    n, m = model.number_of_nodes(), model.number_of_edges()
    assert graph.number_of_nodes() == n and len(graph) == n and bool(graph) == (n > 0)
    assert graph.number_of_edges() == m
    assert repr(graph) == repr(model)
    for u, nbrs in model.adj.items():
        assert graph.has_node(u) and u in graph
        assert graph.degree(u) == len(nbrs), u
        got = query(graph, "neighbors", u)
        assert got == nbrs, u
        for v in got:  # symmetry, seen through the graph alone
            assert graph.has_edge(v, u), (v, u)
    probes = list(probes) + [0, -1, 1, I64_MIN, I64_MAX]
    for p in probes:
        assert graph.has_node(p) == (p in graph) == model.has_node(p), p
        assert graph.degree(p) == model.degree(p), p
        assert query(graph, "neighbors", p) == model.neighbors(p), p
    rng = random.Random(n * 1_000_003 + m)
    pool = list(model.adj) + probes
    for _ in range(samples):
        u, v = rng.choice(pool), rng.choice(pool)
        assert graph.has_edge(u, v) == model.has_edge(u, v), (u, v)
    # Enumerations, once the native class offers them.
    if hasattr(graph, "nodes"):
        got = graph.nodes()
        assert len(got) == n and set(got) == model.nodes()
    if hasattr(graph, "edges"):
        got = graph.edges()
        assert len(got) == m and all(u <= v for u, v in got) and set(got) == model.edges()
    if hasattr(graph, "degree_sequence"):
        got = graph.degree_sequence()
        assert len(got) == n and dict(got) == model.degree_sequence()
