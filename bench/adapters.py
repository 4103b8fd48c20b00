"""One adapter per library, all with the same methods, so the worker runs every library the same way.

An adapter maps each benchmark operation onto the library's closest native call and returns the
library's own result, untouched; the worker times only these calls. Turning a result into a
comparable value (a count, a total) happens afterwards, untimed, in the worker, with the few
library-specific conversions kept here as small overrides (e.g. igraph marks a missing edge with -1).

Building methods take the node count n (ids are 0..n-1, every one of them used) and return a new
native graph. An operation a library has no native call for is listed in `unsupported` with the
reason, and shown as such in the report. `notes` says how an operation was mapped when that is not
obvious. Operations that have no batch call of their own (`has_edges`) fall back to a Python loop
over the library's single-pair call, defined once here in the base class.
"""

from __future__ import annotations

import importlib
import math
import random
from importlib import metadata

from catalogue import PAGERANK_DAMPING, PAGERANK_MAX_ITER, PAGERANK_TOL


class Adapter:
    name = ""
    module = ""
    # Distributions whose versions are reported.
    distributions: tuple[str, ...] = ()
    # op name -> why the library cannot run it natively.
    unsupported: dict[str, str] = {}
    # op name -> how the op was mapped, for the report.
    notes: dict[str, str] = {}
    # Ops whose check value is not comparable across libraries for this one (e.g. G(n, p) generation).
    inexact: frozenset[str] = frozenset()
    # Whether analysis results are cached between calls (a warm call then differs from a cold one).
    caches_results = False

    def __init__(self) -> None:
        self.lib = importlib.import_module(self.module)

    @classmethod
    def base_form(cls) -> str:
        """The load op whose graph the query ops run on: the fastest native form the library takes."""
        return next(op for op in ("load_numpy", "load_flat", "load_tuples") if op not in cls.unsupported)

    def versions(self) -> dict[str, str]:
        found = {}
        for dist in self.distributions:
            try:
                found[dist] = metadata.version(dist)
            except metadata.PackageNotFoundError:
                found[dist] = "not installed"
        return found

    # ---- building: each returns a native graph

    def from_tuples(self, n, pairs):
        raise NotImplementedError

    def from_flat(self, n, flat):
        raise NotImplementedError

    def from_numpy(self, n, edges):
        raise NotImplementedError

    def generate(self, n, m, seed):
        raise NotImplementedError

    def counts(self, g) -> tuple[int, int]:
        raise NotImplementedError

    # ---- hooks around timed calls (untimed)

    def prepare(self, op, g):
        """The object the op runs on; a library may need a converted graph (untimed)."""
        return g

    def drop_caches(self, g) -> None:
        """Puts the graph back into its just-mutated state before a cold run."""

    # ---- single calls, handed out as callables for the worker's query loops

    def has_edge_fn(self, g):
        raise NotImplementedError

    def degree_fn(self, g):
        raise NotImplementedError

    def neighbors_fn(self, g):
        raise NotImplementedError

    def distance_fn(self, g):
        raise NotImplementedError

    # ---- whole-graph calls

    def nodes(self, g):
        raise NotImplementedError

    def edges(self, g):
        raise NotImplementedError

    def degrees(self, g):
        raise NotImplementedError

    def triangles(self, g):
        raise NotImplementedError

    def pagerank(self, g):
        raise NotImplementedError

    def components(self, g):
        raise NotImplementedError

    def has_edges(self, g, pairs):
        has_edge = self.has_edge_fn(g)
        return [has_edge(u, v) for u, v in pairs]

    def subgraph_edges(self, g, nodes):
        raise NotImplementedError

    # ---- turning native results into comparable values (untimed)

    def present_count(self, g, answers) -> int:
        return sum(1 for a in answers if a)

    def triangle_total(self, g, result) -> int:
        return int(result)

    def degree_total(self, g, result) -> int:
        items = result.values() if hasattr(result, "values") else result
        return int(round(sum(x[1] if isinstance(x, tuple) else x for x in items)))


class Quillmesh(Adapter):
    name = "quillmesh"
    module = "quillmesh"
    distributions = ("quillmesh",)
    caches_results = True
    notes = {
        "triangles_cold": "first call after a mutation: includes building the CSR cache",
        "triangles_warm": "CSR cache already built",
        "pagerank": "run cold (CSR cache rebuilt each run)",
    }

    def _empty(self):
        return self.lib.IntGraphCore()

    def from_tuples(self, n, pairs):
        g = self._empty()
        g.add_edges_from(pairs)
        return g

    def from_flat(self, n, flat):
        g = self._empty()
        g.add_edges_flat(flat)
        return g

    def from_numpy(self, n, edges):
        g = self._empty()
        g.add_edges_flat(edges.reshape(-1))
        return g

    def generate(self, n, m, seed):
        g = self._empty()
        g.build_random(n, m, seed)
        return g

    def counts(self, g):
        return g.number_of_nodes(), g.number_of_edges()

    def drop_caches(self, g):
        # Any successful mutating call drops the CSR cache, even one that changes nothing.
        g.add_edges_from([])

    def has_edge_fn(self, g):
        return g.has_edge

    def degree_fn(self, g):
        return g.degree

    def neighbors_fn(self, g):
        return g.neighbors

    def distance_fn(self, g):
        return g.shortest_path_length

    def nodes(self, g):
        return g.nodes()

    def edges(self, g):
        return g.edges()

    def degrees(self, g):
        return g.degree_sequence()

    def triangles(self, g):
        return g.triangle_count()

    def pagerank(self, g):
        return g.pagerank(PAGERANK_DAMPING, PAGERANK_MAX_ITER, PAGERANK_TOL)

    def components(self, g):
        return g.connected_component_sizes()

    def has_edges(self, g, pairs):
        return g.has_edges(pairs)

    def subgraph_edges(self, g, nodes):
        return g.subgraph_edge_count(nodes)


class Networkx(Adapter):
    name = "networkx"
    module = "networkx"
    distributions = ("networkx", "scipy")
    unsupported = {
        "load_flat": "no bulk call taking a flat list",
        "load_numpy": "no bulk call taking a numpy edge array",
    }
    notes = {
        "neighbors": "G.adj[n] (a view, not a copied list)",
        "pagerank": "tol scaled by 1/n (networkx compares the L1 change with n*tol)",
        "has_edges": "Python loop over has_edge (no batch call)",
    }

    def from_tuples(self, n, pairs):
        g = self.lib.Graph()
        g.add_edges_from(pairs)
        return g

    def generate(self, n, m, seed):
        return self.lib.gnm_random_graph(n, m, seed=seed)

    def counts(self, g):
        return g.number_of_nodes(), g.number_of_edges()

    def has_edge_fn(self, g):
        return g.has_edge

    def degree_fn(self, g):
        return g.degree.__getitem__

    def neighbors_fn(self, g):
        return g.adj.__getitem__

    def distance_fn(self, g):
        nx = self.lib

        def distance(s, t):
            try:
                return nx.shortest_path_length(g, s, t)
            except nx.NetworkXNoPath:
                return -1

        return distance

    def nodes(self, g):
        return list(g)

    def edges(self, g):
        return list(g.edges)

    def degrees(self, g):
        return list(g.degree)

    def triangles(self, g):
        return self.lib.triangles(g)

    def triangle_total(self, g, result):
        return sum(result.values()) // 3

    def pagerank(self, g):
        return self.lib.pagerank(
            g, alpha=PAGERANK_DAMPING, max_iter=PAGERANK_MAX_ITER, tol=PAGERANK_TOL / g.number_of_nodes()
        )

    def components(self, g):
        return [len(c) for c in self.lib.connected_components(g)]

    def subgraph_edges(self, g, nodes):
        return g.subgraph(nodes).number_of_edges()


class Igraph(Adapter):
    name = "igraph"
    module = "igraph"
    distributions = ("igraph",)
    unsupported = {"load_flat": "no bulk call taking a flat list"}
    notes = {
        "load_tuples": "Graph(n, edges=pairs) (no duplicate-edge check)",
        "load_numpy": "Graph(n, edges=array) (no duplicate-edge check)",
        "triangles_cold": "len(list_triangles()) (no count-only call)",
        "pagerank": "PRPACK solver; its tolerance is fixed",
        "has_edges": "get_eids(pairs, error=False)",
    }

    def from_tuples(self, n, pairs):
        return self.lib.Graph(n=n, edges=pairs)

    def from_numpy(self, n, edges):
        return self.lib.Graph(n=n, edges=edges)

    def generate(self, n, m, seed):
        random.seed(seed)  # igraph draws from Python's random module
        return self.lib.Graph.Erdos_Renyi(n=n, m=m)

    def counts(self, g):
        return g.vcount(), g.ecount()

    def has_edge_fn(self, g):
        return g.are_adjacent

    def degree_fn(self, g):
        return g.degree

    def neighbors_fn(self, g):
        return g.neighbors

    def distance_fn(self, g):
        def distance(s, t):
            d = g.distances(s, t)[0][0]
            return int(d) if math.isfinite(d) else -1

        return distance

    def nodes(self, g):
        return g.vs.indices

    def edges(self, g):
        return g.get_edgelist()

    def degrees(self, g):
        return g.degree()

    def triangles(self, g):
        return g.list_triangles()

    def triangle_total(self, g, result):
        return len(result)

    def pagerank(self, g):
        return g.pagerank(damping=PAGERANK_DAMPING, implementation="prpack")

    def components(self, g):
        return g.connected_components().sizes()

    def has_edges(self, g, pairs):
        return g.get_eids(pairs, error=False)

    def present_count(self, g, answers):
        return sum(1 for e in answers if e >= 0)

    def subgraph_edges(self, g, nodes):
        return g.induced_subgraph(nodes).ecount()


class Rustworkx(Adapter):
    name = "rustworkx"
    module = "rustworkx"
    distributions = ("rustworkx",)
    unsupported = {
        "load_flat": "no bulk call taking a flat list",
        "load_numpy": "no bulk call taking a numpy edge array",
    }
    notes = {
        "load_tuples": "PyGraph (multigraph: no duplicate-edge check)",
        "nodes": "list(node_indices()): its result is a lazy Rust-side sequence",
        "edges": "list(edge_list()): its result is a lazy Rust-side sequence",
        "degrees": "list(degree_centrality().items()) (degrees / (n-1))",
        "triangles_cold": "transitivity() scaled back to a count (no triangle-count call)",
        "pagerank": "on a directed copy made beforehand (pagerank needs a PyDiGraph); tol scaled by 1/n",
        "shortest_path": "dijkstra_shortest_paths(source, target, default_weight=1)",
        "has_edges": "Python loop over has_edge (no batch call)",
    }

    def from_tuples(self, n, pairs):
        g = self.lib.PyGraph()
        g.extend_from_edge_list(pairs)
        return g

    def generate(self, n, m, seed):
        return self.lib.undirected_gnm_random_graph(n, m, seed=seed)

    def counts(self, g):
        return g.num_nodes(), g.num_edges()

    def prepare(self, op, g):
        return g.to_directed() if op == "pagerank" else g

    def has_edge_fn(self, g):
        return g.has_edge

    def degree_fn(self, g):
        return g.degree

    def neighbors_fn(self, g):
        return g.neighbors

    def distance_fn(self, g):
        shortest = self.lib.dijkstra_shortest_paths

        def distance(s, t):
            paths = shortest(g, s, target=t, default_weight=1.0)
            return len(paths[t]) - 1 if t in paths else -1

        return distance

    # The listing calls return Rust-side sequences whose items become Python objects only when read;
    # they are read into lists here, as the other libraries' listings are.
    def nodes(self, g):
        return list(g.node_indices())

    def edges(self, g):
        return list(g.edge_list())

    def degrees(self, g):
        return list(self.lib.degree_centrality(g).items())

    def degree_total(self, g, result):
        return int(round(sum(d for _, d in result) * (g.num_nodes() - 1)))

    def triangles(self, g):
        return self.lib.transitivity(g)

    def triangle_total(self, g, result):
        # transitivity = 3 * triangles / connected triples
        triples = sum(d * (d - 1) // 2 for d in (g.degree(v) for v in g.node_indices()))
        return int(round(result * triples / 3))

    def pagerank(self, g):
        return self.lib.pagerank(
            g, alpha=PAGERANK_DAMPING, max_iter=PAGERANK_MAX_ITER, tol=PAGERANK_TOL / g.num_nodes()
        )

    def components(self, g):
        return [len(c) for c in self.lib.connected_components(g)]

    def subgraph_edges(self, g, nodes):
        return g.subgraph(nodes).num_edges()


class Networkit(Adapter):
    name = "networkit"
    module = "networkit"
    distributions = ("networkit",)
    unsupported = {
        "load_tuples": "no bulk call taking Python tuples",
        "load_flat": "no bulk call taking a flat list",
    }
    inexact = frozenset({"generate"})
    notes = {
        "load_numpy": "Graph(n).addEdges((u, v)) (no duplicate-edge check)",
        "generate": "ErdosRenyiGenerator is G(n, p) with p = m / (n choose 2): about m edges",
        "neighbors": "list(iterNeighbors(n)) (no list-returning call)",
        "degrees": "DegreeCentrality (degrees as floats)",
        "triangles_cold": "TriangleEdgeScore, edges indexed beforehand",
        "pagerank": "L1 norm, same tol",
        "shortest_path": "BidirectionalBFS",
        "has_edges": "Python loop over hasEdge (no batch call)",
    }

    def from_numpy(self, n, edges):
        g = self.lib.Graph(n)
        g.addEdges((edges[:, 0], edges[:, 1]))
        return g

    def generate(self, n, m, seed):
        self.lib.setSeed(seed, False)
        p = m / (n * (n - 1) / 2)
        return self.lib.generators.ErdosRenyiGenerator(n, p).generate()

    def counts(self, g):
        return g.numberOfNodes(), g.numberOfEdges()

    def prepare(self, op, g):
        if op.startswith("triangles"):
            g.indexEdges()
        return g

    def has_edge_fn(self, g):
        return g.hasEdge

    def degree_fn(self, g):
        return g.degree

    def neighbors_fn(self, g):
        def neighbors(u):
            return list(g.iterNeighbors(u))

        return neighbors

    def distance_fn(self, g):
        bfs = self.lib.distance.BidirectionalBFS
        nodes = g.numberOfNodes()

        def distance(s, t):
            d = bfs(g, s, t, storePred=False).run().getDistance()
            return int(d) if d <= nodes else -1

        return distance

    def nodes(self, g):
        return list(g.iterNodes())

    def edges(self, g):
        return list(g.iterEdges())

    def degrees(self, g):
        return self.lib.centrality.DegreeCentrality(g).run().scores()

    def triangles(self, g):
        return self.lib.sparsification.TriangleEdgeScore(g).run().scores()

    def triangle_total(self, g, result):
        return int(round(sum(result))) // 3

    def pagerank(self, g):
        pr = self.lib.centrality.PageRank(g, damp=PAGERANK_DAMPING, tol=PAGERANK_TOL)
        pr.norm = self.lib.centrality.Norm.L1_NORM
        pr.maxIterations = PAGERANK_MAX_ITER
        return pr.run().scores()

    def components(self, g):
        return list(self.lib.components.ConnectedComponents(g).run().getComponentSizes().values())

    def subgraph_edges(self, g, nodes):
        return self.lib.graphtools.subgraphFromNodes(g, nodes).numberOfEdges()


ADAPTERS = {cls.name: cls for cls in (Quillmesh, Networkx, Igraph, Rustworkx, Networkit)}
