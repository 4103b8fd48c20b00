"""The benchmark's operations: their names, groups, row labels and how their results are compared.

Shared by the driver (which selects, labels and cross-checks) and the workers (which run them). The
order of OPS is the order in which a worker runs them and the report lists them.
"""

from __future__ import annotations

from dataclasses import dataclass

# The PageRank parameters every library is asked for (as far as each one allows).
PAGERANK_DAMPING = 0.85
PAGERANK_TOL = 1e-6  # L1 change between iterations, summed over all nodes
PAGERANK_MAX_ITER = 100
# Top-ranked PageRank nodes compared across libraries, and how many of them must agree.
PAGERANK_TOP = 10
PAGERANK_MIN_OVERLAP = 6
# Chunks of the pyarrow chunked arrays the Arrow load reads its two columns from.
ARROW_CHUNKS = 100
# Sources every library's sampled betweenness draws (its own draw, so the values are not compared).
BETWEENNESS_SAMPLES = 2
# Exact betweenness (a search from every node) runs on a piece of the graph of this many nodes, the
# same for every library: a BFS ball around one node (graphs.ensure_ball).
BALL_NODES = 3_000
# Seed handed to the calls that take one (sampled betweenness, communities).
ALGORITHM_SEED = 0
# The partition the modularity op scores: node v in group v % MODULARITY_GROUPS.
MODULARITY_GROUPS = 97
# Float results (clustering, transitivity, betweenness, modularity) agree when within this relative
# tolerance, or this absolute one for values near zero.
FLOAT_RTOL = 1e-9
FLOAT_ATOL = 1e-12
# The analyses' peer time limit: quillmesh's time times this, but no more than the cap (seconds).
PEER_LIMIT_FACTOR = 3.0
PEER_LIMIT_CAP = 120.0


@dataclass(frozen=True)
class Op:
    name: str
    label: str
    # "load" ops build a graph and get a bytes-per-edge figure; "query" ops run on a built graph.
    kind: str
    # How results are compared across libraries: "exact" (equal check values, and equal per-node
    # arrays where the check holds one), "close" (within FLOAT_RTOL), "top" (PageRank top-node
    # overlap) or "none" (communities, sampled betweenness: each library's own draw).
    compare: str = "exact"
    # For an op quillmesh runs through quillmesh.arrays: the op of its own list (or flat) form, which
    # the report sets it against.
    versus: str | None = None
    # For the analyses: a peer's run may take this many times quillmesh's on the same graph (up to
    # PEER_LIMIT_CAP seconds) where that is longer than the query limit, so that an analysis quillmesh
    # itself needs many seconds for (communities at medium scale) is not cut short before a peer
    # could have matched it. 0: the query limit alone.
    peer_limit_factor: float = 0.0


# Whole-graph analyses come last, the slowest peers' last of all: a run stopped for taking too long
# ends its worker, and a new worker has to rebuild the graph for whatever ops follow.
OPS = (
    Op("load_tuples", "load: list of tuples", "load"),
    Op("load_flat", "load: flat list", "load"),
    Op("load_numpy", "load: numpy array", "load"),
    Op("load_columns", "load: two numpy columns", "load", versus="load_numpy"),
    Op("load_arrow", f"load: pyarrow, {ARROW_CHUNKS} chunks", "load", versus="load_numpy"),
    Op("load_text", "load: text edge list file", "load", versus="load_numpy"),
    Op("generate", "native random G(n, m)", "load"),
    Op("has_edge", "has_edge x100k (loop)", "query"),
    Op("degree", "degree x100k (loop)", "query"),
    Op("neighbors", "neighbors x100k (loop)", "query"),
    Op("nodes", "enumerate nodes", "query"),
    Op("edges", "enumerate edges", "query"),
    Op("degrees", "degree sequence", "query"),
    Op("nodes_array", "nodes as array", "query", versus="nodes"),
    Op("edges_array", "edges as array", "query", versus="edges"),
    Op("degrees_array", "degrees as array", "query", versus="degrees"),
    Op("subgraph", "induced subgraph edges", "query"),
    Op("components", "component sizes", "query"),
    Op("component_labels", "component labels", "query", versus="components"),
    Op("pagerank", "PageRank", "query", compare="top"),
    Op("pagerank_array", "PageRank as array", "query", compare="top", versus="pagerank"),
    Op("has_edges", "batch edge test x1M", "query"),
    Op("shortest_path", "shortest path x100", "query"),
    Op("distances", "BFS distances, one source", "query"),
    Op("triangles_cold", "triangle count (cold)", "query"),
    Op("triangles_warm", "triangle count (warm)", "query"),
    # quillmesh.algorithms against the peers' closest calls.
    *(
        Op(name, label, "query", compare, peer_limit_factor=PEER_LIMIT_FACTOR)
        for name, label, compare in (
            ("modularity", "modularity, given partition", "close"),
            ("core_numbers", "core numbers", "exact"),
            ("node_triangles", "triangles per node", "exact"),
            ("clustering", "local clustering", "close"),
            ("transitivity", "transitivity", "close"),
            ("communities", "communities", "none"),
            ("communities_refined", "communities, refined variant", "none"),
            ("betweenness_sampled", f"betweenness, {BETWEENNESS_SAMPLES} sources", "none"),
            ("betweenness", f"exact betweenness, {BALL_NODES // 1000}k ball", "close"),
            ("diameter", "diameter (exact)", "exact"),
        )
    ),
)
BY_NAME = {op.name: op for op in OPS}

# Names accepted by --ops besides the op names themselves.
ALIASES = {
    "load": ("load_tuples", "load_flat", "load_numpy"),
    "columns": ("load_columns", "load_arrow", "load_text"),
    "queries": ("has_edge", "degree", "neighbors"),
    "enumerate": ("nodes", "edges", "degrees"),
    "arrays": ("nodes_array", "edges_array", "degrees_array", "component_labels", "pagerank_array", "distances"),
    "triangles": ("triangles_cold", "triangles_warm"),
    "algorithms": ("modularity", "core_numbers", "node_triangles", "clustering", "transitivity", "communities",
                   "communities_refined", "betweenness_sampled", "betweenness", "diameter"),
}

# The ops whose results are partitions, scored by their modularity.
COMMUNITY_OPS = ("communities", "communities_refined")

# Ops only run on the uniform G(n, m) graphs, graphs.GNM_KINDS (native generation makes its own).
UNIFORM_ONLY = frozenset({"generate"})
# Ops left out on some graphs, and why: an exact diameter of a dense uniform random graph (every
# node's eccentricity the diameter or one less) takes a search from nearly every node whatever the
# method, n searches over m edges.
SKIPPED_ON = {"diameter": {"uniform": "exact diameter of a dense uniform random graph: no bound closes "
                                      "before a search from nearly every node (n searches over m edges)"}}


# The default run leaves the analyses out: at medium scale they alone take longer than everything
# else together (communities and the peers' limits of three times its time). `--ops algorithms` runs
# them, `--ops all` runs everything.
DEFAULT_LEFT_OUT = frozenset(ALIASES["algorithms"])


def select(requested: str | None) -> list[str]:
    """Op names for a comma-separated --ops value (None: all but the analyses), in catalogue order."""
    if not requested:
        return [op.name for op in OPS if op.name not in DEFAULT_LEFT_OUT]
    if requested.strip() == "all":
        return [op.name for op in OPS]
    wanted: set[str] = set()
    for item in (part.strip() for part in requested.split(",")):
        if not item:
            continue
        if item in ALIASES:
            wanted.update(ALIASES[item])
        elif item in BY_NAME:
            wanted.add(item)
        else:
            known = ", ".join([op.name for op in OPS] + sorted(ALIASES))
            raise ValueError(f"unknown op {item!r}; known: {known}")
    return [op.name for op in OPS if op.name in wanted]
