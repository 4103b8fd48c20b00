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

The array ops (nodes, edges, degrees and PageRank as arrays) are quillmesh.arrays against each
peer's closest form: an array where the peer has one, else its list call. Where that is the very call
of the list op, `same_call` says so and the worker reports the list op's measurement for it rather
than timing the same call twice.

The analyses (quillmesh.algorithms against the peers' calls) return the library's own result too:
a per-node result is turned into an array by node id afterwards (`node_values`), a partition into
a label per node id (`community_labels`). Betweenness is asked for normalized (by 2 / ((n-1)(n-2)),
as networkx does for an undirected graph) where the call can normalize; igraph's raw values are
scaled in that conversion. The partition the modularity op scores is handed to each library in its
own form (`partition`), made beforehand.
"""

from __future__ import annotations

import importlib
import math
import random
from importlib import metadata

import numpy as np

from catalogue import ALGORITHM_SEED, BETWEENNESS_SAMPLES, PAGERANK_DAMPING, PAGERANK_MAX_ITER, PAGERANK_TOL

# The array ops a library without array forms answers with its list calls: array op -> list op.
LIST_FORMS = {"nodes_array": "nodes", "edges_array": "edges", "degrees_array": "degrees", "pagerank_array": "pagerank"}


def graph_call(home: str, name: str):
    """An adapter method that is one call of the graph alone: `getattr(self.<home>, name)(g)`."""
    def method(self, g):
        return getattr(getattr(self, home), name)(g)
    method.__name__ = name
    return method


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
    # Array op -> its list op, for the array ops this library runs as that very list call.
    list_forms: dict[str, str] = LIST_FORMS
    # Other ops this library runs as the very call of another op: op -> that op.
    same_calls: dict[str, str] = {}

    def __init__(self) -> None:
        self.lib = importlib.import_module(self.module)

    @classmethod
    def base_form(cls) -> str:
        """The load op whose graph the query ops run on: the fastest native form the library takes."""
        return next(op for op in ("load_numpy", "load_flat", "load_tuples") if op not in cls.unsupported)

    @classmethod
    def same_call(cls) -> dict[str, str]:
        """op -> an op this library runs as the very same call, measured once for both."""
        same = dict(cls.list_forms) | cls.same_calls
        if not cls.caches_results:
            same["triangles_warm"] = "triangles_cold"
        return same

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

    def from_columns(self, n, src, dst):
        raise NotImplementedError

    def from_arrow(self, n, src, dst):
        # Without an Arrow reader a peer takes the columns as numpy arrays (combining the chunks).
        return self.from_columns(n, src.to_numpy(), dst.to_numpy())

    def from_text(self, n, path):
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

    def component_labels(self, g):
        raise NotImplementedError

    def distances(self, g, source):
        raise NotImplementedError

    # The array ops of a library without array forms are its list calls (see LIST_FORMS).
    def nodes_array(self, g):
        return self.nodes(g)

    def edges_array(self, g):
        return self.edges(g)

    def degrees_array(self, g):
        return self.degrees(g)

    def pagerank_array(self, g):
        return self.pagerank(g)

    def has_edges(self, g, pairs):
        has_edge = self.has_edge_fn(g)
        return [has_edge(u, v) for u, v in pairs]

    def subgraph_edges(self, g, nodes):
        raise NotImplementedError

    # ---- analyses (quillmesh.algorithms and the peers' closest calls)

    def partition(self, g, labels):
        """The library's own form of a partition given as a label per node id (untimed)."""
        raise NotImplementedError

    def modularity(self, g, partition):
        raise NotImplementedError

    def core_numbers(self, g):
        raise NotImplementedError

    def node_triangles(self, g):
        raise NotImplementedError

    def clustering(self, g):
        raise NotImplementedError

    def transitivity(self, g):
        raise NotImplementedError

    def communities(self, g):
        raise NotImplementedError

    def communities_refined(self, g):
        raise NotImplementedError

    def betweenness(self, g):
        raise NotImplementedError

    def betweenness_sampled(self, g):
        raise NotImplementedError

    def diameter(self, g):
        raise NotImplementedError

    # ---- turning native results into comparable values (untimed)

    def present_count(self, g, answers) -> int:
        return sum(1 for a in answers if a)

    def triangle_total(self, g, result) -> int:
        return int(result)

    def degree_total(self, g, result) -> int:
        if isinstance(result, np.ndarray):
            return int(round(result.sum()))
        items = result.values() if hasattr(result, "values") else result
        return int(round(sum(x[1] if isinstance(x, tuple) else x for x in items)))

    def pagerank_scores(self, g, result):
        """(node, score) pairs, a mapping, or scores indexed by node id, for the top-node check."""
        return result

    def label_sizes(self, g, result) -> list[int]:
        """Component sizes of a component_labels result (one label per node)."""
        return np.unique(np.asarray(result), return_counts=True)[1].tolist()

    def layer_sizes(self, g, result) -> list[int]:
        """How many nodes a distances result puts at hop 0, 1, 2, ... (unreachable ones left out)."""
        hops = np.asarray(result, dtype=np.float64)
        hops = hops[np.isfinite(hops) & (hops >= 0) & (hops <= len(hops))].astype(np.int64)
        return np.bincount(hops).tolist()

    def node_values(self, op, g, result) -> np.ndarray:
        """A per-node result as an array indexed by node id (every id 0..n-1 present)."""
        n = self.counts(g)[0]
        if hasattr(result, "items"):
            items = list(result.items())
            ids = np.fromiter((int(k) for k, _ in items), dtype=np.int64, count=len(items))
            values = np.array([v for _, v in items])
            if ids.size != n or np.unique(ids).size != n:
                raise ValueError(f"{op}: {ids.size} values for {n} nodes")
            out = np.empty(n, dtype=values.dtype)
            out[ids] = values
            return out
        out = np.asarray(result)
        if out.shape != (n,):
            raise ValueError(f"{op}: {out.shape} values for {n} nodes")
        return out

    def community_labels(self, g, result) -> np.ndarray:
        """A community per node id, from a communities result (a label sequence by node id)."""
        return self.node_values("communities", g, result)

    @staticmethod
    def sets_to_labels(sets, n: int) -> np.ndarray:
        """Labels by node id from a partition given as node sets; every node must be in exactly one."""
        labels = np.full(n, -1, dtype=np.int64)
        for label, members in enumerate(sets):
            ids = np.fromiter(members, dtype=np.int64, count=len(members))
            if (labels[ids] >= 0).any():
                raise ValueError("a node is in two communities")
            labels[ids] = label
        if (labels < 0).any():
            raise ValueError(f"{int((labels < 0).sum())} nodes in no community")
        return labels


class Quillmesh(Adapter):
    name = "quillmesh"
    module = "quillmesh"
    distributions = ("quillmesh",)
    caches_results = True
    list_forms: dict[str, str] = {}
    same_calls = {"communities_refined": "communities"}
    notes = {
        "triangles_cold": "first call after a mutation: includes building the forward rows",
        "triangles_warm": "forward rows already built",
        "pagerank": "run cold (CSR cache rebuilt each run)",
        "load_columns": "arrays.add_edges(g, src, dst), two contiguous int64 columns",
        "load_arrow": "arrays.add_edges(g, src, dst), two pyarrow chunked arrays",
        "load_text": "pyarrow.csv.read_csv + arrays.add_edges (the guide's Arrow recipe)",
        "nodes_array": "arrays.nodes(g)",
        "edges_array": "arrays.edges(g)",
        "degrees_array": "arrays.degrees(g)",
        "component_labels": "arrays.component_labels(g), run cold",
        "pagerank_array": "arrays.pagerank(g), run cold",
        "distances": "arrays.distances(g, source), run cold",
        "modularity": "algorithms.modularity(g, labels), labels in g.nodes() order",
        "core_numbers": "algorithms.core_numbers(g), run cold",
        "node_triangles": "algorithms.triangles(g), run cold",
        "clustering": "algorithms.clustering(g), run cold",
        "transitivity": "algorithms.transitivity(g), run cold",
        "communities": f"algorithms.communities(g, seed={ALGORITHM_SEED}), run cold",
        "betweenness_sampled": f"algorithms.betweenness(g, samples={BETWEENNESS_SAMPLES}, seed={ALGORITHM_SEED})",
        "betweenness": "algorithms.betweenness(g), normalized",
        "diameter": "algorithms.diameter(g), run cold",
    }

    def __init__(self) -> None:
        super().__init__()
        self.arrays = importlib.import_module("quillmesh.arrays")
        self.algorithms = importlib.import_module("quillmesh.algorithms")

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

    def from_columns(self, n, src, dst):
        g = self._empty()
        self.arrays.add_edges(g, src, dst)
        return g

    from_arrow = from_columns  # add_edges reads Arrow columns as they are

    def from_text(self, n, path):
        import pyarrow as pa
        import pyarrow.csv as csv

        table = csv.read_csv(
            path,
            read_options=csv.ReadOptions(column_names=["src", "dst"]),
            parse_options=csv.ParseOptions(delimiter=" "),
            convert_options=csv.ConvertOptions(column_types={"src": pa.int64(), "dst": pa.int64()}),
        )
        return self.from_columns(n, table["src"], table["dst"])

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

    def nodes_array(self, g):
        return self.arrays.nodes(g)

    def edges_array(self, g):
        return self.arrays.edges(g)

    def degrees_array(self, g):
        return self.arrays.degrees(g)

    def pagerank_array(self, g):
        return self.arrays.pagerank(g, PAGERANK_DAMPING, PAGERANK_MAX_ITER, PAGERANK_TOL)

    def component_labels(self, g):
        return self.arrays.component_labels(g)

    def distances(self, g, source):
        return self.arrays.distances(g, source)

    def pagerank_scores(self, g, result):
        # Per-node results are in g.nodes() order, not by id.
        if isinstance(result, np.ndarray):
            return list(zip(self.arrays.nodes(g).tolist(), result.tolist()))
        return result

    def has_edges(self, g, pairs):
        return g.has_edges(pairs)

    def subgraph_edges(self, g, nodes):
        return g.subgraph_edge_count(nodes)

    def partition(self, g, labels):
        return np.ascontiguousarray(labels[self.arrays.nodes(g)])

    def modularity(self, g, partition):
        return self.algorithms.modularity(g, partition)

    core_numbers = graph_call("algorithms", "core_numbers")
    node_triangles = graph_call("algorithms", "triangles")
    clustering = graph_call("algorithms", "clustering")
    transitivity = graph_call("algorithms", "transitivity")
    diameter = graph_call("algorithms", "diameter")

    def communities(self, g):
        return self.algorithms.communities(g, seed=ALGORITHM_SEED)

    def betweenness(self, g):
        return self.algorithms.betweenness(g, normalized=True)

    def betweenness_sampled(self, g):
        return self.algorithms.betweenness(g, normalized=True, samples=BETWEENNESS_SAMPLES, seed=ALGORITHM_SEED)

    def node_values(self, op, g, result):
        # Per-node results are in g.nodes() order, not by id.
        values = np.asarray(result)
        out = np.empty_like(values)
        out[self.arrays.nodes(g)] = values
        return out


class Networkx(Adapter):
    name = "networkx"
    module = "networkx"
    distributions = ("networkx", "scipy")
    unsupported = {
        "load_flat": "no bulk call taking a flat list",
        "load_numpy": "no bulk call taking a numpy edge array",
        "load_columns": "no bulk call taking arrays",
        "load_arrow": "no bulk call taking arrays",
    }
    notes = {
        "load_text": "read_edgelist(path, nodetype=int)",
        "component_labels": "connected_components (node sets; no label array)",
        "distances": "single_source_shortest_path_length (a dict)",
        "neighbors": "G.adj[n] (a view, not a copied list)",
        "pagerank": "tol scaled by 1/n (networkx compares the L1 change with n*tol)",
        "has_edges": "Python loop over has_edge (no batch call)",
        "modularity": "community.modularity(G, node sets)",
        "core_numbers": "core_number",
        "node_triangles": "triangles",
        "clustering": "clustering",
        "transitivity": "transitivity",
        "communities": f"community.louvain_communities(G, seed={ALGORITHM_SEED})",
        "betweenness_sampled": f"betweenness_centrality(G, k={BETWEENNESS_SAMPLES}, seed={ALGORITHM_SEED})",
        "betweenness": "betweenness_centrality(G)",
        "diameter": "diameter(component, usebounds=True) per component (it takes a connected graph only)",
    }
    same_calls = {"communities_refined": "communities"}

    def from_tuples(self, n, pairs):
        g = self.lib.Graph()
        g.add_edges_from(pairs)
        return g

    def from_text(self, n, path):
        return self.lib.read_edgelist(path, nodetype=int)

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

    def component_labels(self, g):
        return list(self.lib.connected_components(g))

    def label_sizes(self, g, result):
        return [len(c) for c in result]

    def distances(self, g, source):
        return self.lib.single_source_shortest_path_length(g, source)

    def layer_sizes(self, g, result):
        return super().layer_sizes(g, list(result.values()))

    def subgraph_edges(self, g, nodes):
        return g.subgraph(nodes).number_of_edges()

    def partition(self, g, labels):
        order = np.argsort(labels, kind="stable")
        bounds = np.flatnonzero(np.diff(labels[order])) + 1
        return [set(part.tolist()) for part in np.split(order, bounds)]

    def modularity(self, g, partition):
        return self.lib.community.modularity(g, partition)

    core_numbers = graph_call("lib", "core_number")
    node_triangles = graph_call("lib", "triangles")
    clustering = graph_call("lib", "clustering")
    transitivity = graph_call("lib", "transitivity")

    def communities(self, g):
        return self.lib.community.louvain_communities(g, seed=ALGORITHM_SEED)

    def betweenness(self, g):
        return self.lib.betweenness_centrality(g, normalized=True)

    def betweenness_sampled(self, g):
        return self.lib.betweenness_centrality(g, k=BETWEENNESS_SAMPLES, normalized=True, seed=ALGORITHM_SEED)

    def diameter(self, g):
        nx = self.lib
        return max((nx.diameter(g.subgraph(c), usebounds=True) for c in nx.connected_components(g) if len(c) > 1),
                   default=0)

    def community_labels(self, g, result):
        return self.sets_to_labels(result, g.number_of_nodes())


class Igraph(Adapter):
    name = "igraph"
    module = "igraph"
    distributions = ("igraph",)
    unsupported = {
        "load_flat": "no bulk call taking a flat list",
        "betweenness_sampled": "no sampled form (its cutoff bounds the path length, not the sources)",
    }
    notes = {
        "load_tuples": "Graph(n, edges=pairs) (no duplicate-edge check)",
        "load_numpy": "Graph(n, edges=array) (no duplicate-edge check)",
        "load_columns": "Graph(n, edges=numpy.column_stack((src, dst))) (no call taking two columns)",
        "load_arrow": "chunked arrays to_numpy(), then as two numpy columns",
        "load_text": "Graph.Read_Edgelist(path, directed=False)",
        "component_labels": "connected_components().membership",
        "distances": "distances(source)[0] (floats, inf where unreachable)",
        "triangles_cold": "len(list_triangles()) (no count-only call)",
        "pagerank": "PRPACK solver; its tolerance is fixed",
        "has_edges": "get_eids(pairs, error=False)",
        "modularity": "Graph.modularity(membership)",
        "core_numbers": "coreness()",
        "node_triangles": "numpy.bincount of list_triangles() (no per-node count call)",
        "clustering": 'transitivity_local_undirected(mode="zero")',
        "transitivity": "transitivity_undirected()",
        "communities": f"community_multilevel(), Python's random seeded {ALGORITHM_SEED} first",
        "communities_refined": f'community_leiden(objective_function="modularity", n_iterations=-1), Python\'s '
                               f"random seeded {ALGORITHM_SEED} first",
        "betweenness": "betweenness(directed=False), scaled by 2 / ((n-1)(n-2)) afterwards",
        "diameter": "diameter(directed=False, unconn=True) (a search from every node)",
    }

    def from_tuples(self, n, pairs):
        return self.lib.Graph(n=n, edges=pairs)

    def from_numpy(self, n, edges):
        return self.lib.Graph(n=n, edges=edges)

    def from_columns(self, n, src, dst):
        return self.from_numpy(n, np.column_stack((src, dst)))

    def from_text(self, n, path):
        return self.lib.Graph.Read_Edgelist(str(path), directed=False)

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

    def component_labels(self, g):
        return g.connected_components().membership

    def distances(self, g, source):
        return g.distances(source)[0]

    def has_edges(self, g, pairs):
        return g.get_eids(pairs, error=False)

    def present_count(self, g, answers):
        return sum(1 for e in answers if e >= 0)

    def subgraph_edges(self, g, nodes):
        return g.induced_subgraph(nodes).ecount()

    def partition(self, g, labels):
        return labels.tolist()

    def modularity(self, g, partition):
        return g.modularity(partition)

    def core_numbers(self, g):
        return g.coreness()

    def node_triangles(self, g):
        return np.bincount(np.asarray(g.list_triangles(), dtype=np.int64).reshape(-1), minlength=g.vcount())

    def clustering(self, g):
        return g.transitivity_local_undirected(mode="zero")

    def transitivity(self, g):
        return g.transitivity_undirected()

    def communities(self, g):
        random.seed(ALGORITHM_SEED)  # igraph draws from Python's random module
        return g.community_multilevel()

    def communities_refined(self, g):
        random.seed(ALGORITHM_SEED)
        return g.community_leiden(objective_function="modularity", n_iterations=-1)

    def betweenness(self, g):
        return g.betweenness(directed=False)

    def diameter(self, g):
        return g.diameter(directed=False, unconn=True)

    def node_values(self, op, g, result):
        values = super().node_values(op, g, result)
        if op == "betweenness":
            n = g.vcount()
            values = values * (2.0 / ((n - 1) * (n - 2))) if n > 2 else values * 0.0
        return values

    def community_labels(self, g, result):
        return np.asarray(result.membership, dtype=np.int64)


class Rustworkx(Adapter):
    name = "rustworkx"
    module = "rustworkx"
    distributions = ("rustworkx",)
    unsupported = {
        "load_flat": "no bulk call taking a flat list",
        "load_numpy": "no bulk call taking a numpy edge array",
        "load_columns": "no bulk call taking arrays",
        "load_arrow": "no bulk call taking arrays",
        "modularity": "no modularity call",
        "node_triangles": "no per-node triangle count (transitivity only)",
        "clustering": "no local clustering call",
        "communities": "no community detection",
        "communities_refined": "no community detection",
        "betweenness_sampled": "no sampled form",
        "diameter": "no diameter call",
    }
    # Its node and edge listings are sequences numpy reads directly.
    list_forms = {op: form for op, form in LIST_FORMS.items() if op not in ("nodes_array", "edges_array")}
    notes = {
        "load_tuples": "PyGraph (multigraph: no duplicate-edge check)",
        "load_text": "PyGraph.read_edge_list(path, deliminator=' ')",
        "nodes_array": "numpy.asarray(node_indices())",
        "edges_array": "numpy.asarray(edge_list())",
        "component_labels": "connected_components (node sets; no label array)",
        "distances": "bfs_layers(g, [source]) (the nodes at each hop)",
        "nodes": "list(node_indices()): its result is a lazy Rust-side sequence",
        "edges": "list(edge_list()): its result is a lazy Rust-side sequence",
        "degrees": "list(degree_centrality().items()) (degrees / (n-1))",
        "triangles_cold": "transitivity() scaled back to a count (no triangle-count call)",
        "pagerank": "on a directed copy made beforehand (pagerank needs a PyDiGraph); tol scaled by 1/n",
        "shortest_path": "dijkstra_shortest_paths(source, target, default_weight=1)",
        "has_edges": "Python loop over has_edge (no batch call)",
        "core_numbers": "core_number",
        "transitivity": "transitivity",
        "betweenness": "betweenness_centrality(g, normalized=True) (parallel above 50 nodes)",
    }

    def from_tuples(self, n, pairs):
        g = self.lib.PyGraph()
        g.extend_from_edge_list(pairs)
        return g

    def from_text(self, n, path):
        return self.lib.PyGraph.read_edge_list(str(path), deliminator=" ")

    def generate(self, n, m, seed):
        return self.lib.undirected_gnm_random_graph(n, m, seed=seed)

    def counts(self, g):
        return g.num_nodes(), g.num_edges()

    def prepare(self, op, g):
        return g.to_directed() if op in ("pagerank", "pagerank_array") else g

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

    def nodes_array(self, g):
        return np.asarray(g.node_indices())

    def edges_array(self, g):
        return np.asarray(g.edge_list())

    def component_labels(self, g):
        return self.lib.connected_components(g)

    def label_sizes(self, g, result):
        return [len(c) for c in result]

    def distances(self, g, source):
        return self.lib.bfs_layers(g, [source])

    def layer_sizes(self, g, result):
        return [len(layer) for layer in result]

    def subgraph_edges(self, g, nodes):
        return g.subgraph(nodes).num_edges()

    core_numbers = graph_call("lib", "core_number")
    transitivity = graph_call("lib", "transitivity")

    def betweenness(self, g):
        return self.lib.betweenness_centrality(g, normalized=True)


class Networkit(Adapter):
    name = "networkit"
    module = "networkit"
    distributions = ("networkit",)
    unsupported = {
        "load_tuples": "no bulk call taking Python tuples",
        "load_flat": "no bulk call taking a flat list",
        "node_triangles": "no per-node triangle count (TriangleEdgeScore counts per edge)",
    }
    inexact = frozenset({"generate"})
    notes = {
        "load_numpy": "Graph(n).addEdges((u, v)) (no duplicate-edge check)",
        "load_columns": "Graph(n).addEdges((src, dst)) (no duplicate-edge check)",
        "load_arrow": "chunked arrays to_numpy(), then as two numpy columns",
        "load_text": "graphio.EdgeListReader(' ', 0, continuous=True, directed=False).read(path)",
        "component_labels": "ConnectedComponents(g).run().getPartition().getVector()",
        "distances": "distance.BFS(g, source, storePaths=False).run().getDistances()",
        "generate": "ErdosRenyiGenerator is G(n, p) with p = m / (n choose 2): about m edges",
        "neighbors": "list(iterNeighbors(n)) (no list-returning call)",
        "degrees": "DegreeCentrality (degrees as floats)",
        "triangles_cold": "TriangleEdgeScore, edges indexed beforehand",
        "pagerank": "L1 norm, same tol",
        "shortest_path": "BidirectionalBFS",
        "has_edges": "Python loop over hasEdge (no batch call)",
        "modularity": "community.Modularity().getQuality(partition, G), the Partition made beforehand",
        "core_numbers": "centrality.CoreDecomposition",
        "clustering": "centrality.LocalClusteringCoefficient(G, turbo=True)",
        "transitivity": "globals.ClusteringCoefficient.exactGlobal",
        "communities": f"community.PLM(G, refine=False) (plain PLM), setSeed({ALGORITHM_SEED}) first",
        "communities_refined": f"community.PLM(G, refine=True) (PLMR), setSeed({ALGORITHM_SEED}) first",
        "betweenness_sampled": f"centrality.EstimateBetweenness(G, {BETWEENNESS_SAMPLES}, normalized=True, "
                               "parallel=True), setSeed first",
        "betweenness": "centrality.Betweenness(G, normalized=True)",
        "diameter": "distance.Diameter(G, DiameterAlgo.EXACT)",
    }

    def from_numpy(self, n, edges):
        return self.from_columns(n, edges[:, 0], edges[:, 1])

    def from_columns(self, n, src, dst):
        g = self.lib.Graph(n)
        g.addEdges((src, dst))
        return g

    def from_text(self, n, path):
        reader = self.lib.graphio.EdgeListReader(" ", 0, continuous=True, directed=False)
        return reader.read(str(path))

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

    def component_labels(self, g):
        return self.lib.components.ConnectedComponents(g).run().getPartition().getVector()

    def distances(self, g, source):
        return self.lib.distance.BFS(g, source, storePaths=False).run().getDistances()

    def subgraph_edges(self, g, nodes):
        return self.lib.graphtools.subgraphFromNodes(g, nodes).numberOfEdges()

    def partition(self, g, labels):
        part = self.lib.structures.Partition(g.numberOfNodes())
        part.setUpperBound(int(labels.max()) + 1 if labels.size else 0)
        for node, label in enumerate(labels.tolist()):
            part[node] = label
        return part

    def modularity(self, g, partition):
        return self.lib.community.Modularity().getQuality(partition, g)

    def core_numbers(self, g):
        return self.lib.centrality.CoreDecomposition(g).run().scores()

    def clustering(self, g):
        return self.lib.centrality.LocalClusteringCoefficient(g, turbo=True).run().scores()

    def transitivity(self, g):
        return self.lib.globals.ClusteringCoefficient.exactGlobal(g)

    def _plm(self, g, refine):
        self.lib.setSeed(ALGORITHM_SEED, False)
        return self.lib.community.PLM(g, refine=refine).run().getPartition()

    def communities(self, g):
        return self._plm(g, refine=False)

    def communities_refined(self, g):
        return self._plm(g, refine=True)

    def betweenness(self, g):
        return self.lib.centrality.Betweenness(g, normalized=True).run().scores()

    def betweenness_sampled(self, g):
        self.lib.setSeed(ALGORITHM_SEED, False)
        estimate = self.lib.centrality.EstimateBetweenness(g, BETWEENNESS_SAMPLES, normalized=True, parallel=True)
        return estimate.run().scores()

    def diameter(self, g):
        return self.lib.distance.Diameter(g, algo=self.lib.distance.DiameterAlgo.EXACT).run().getDiameter()[0]

    def community_labels(self, g, result):
        return np.asarray(result.getVector(), dtype=np.int64)


ADAPTERS = {cls.name: cls for cls in (Quillmesh, Networkx, Igraph, Rustworkx, Networkit)}
