"""The benchmark's input graphs and query sets, made once with numpy and cached as .npy files.

Three synthetic edge lists per scale: a uniform G(n, m) graph, a skewed R-MAT graph (Graph500
parameters, so a few hubs hold a large share of the edges) and a sparse uniform graph with as many
edges as nodes (mean degree 2, as in most real graphs). All are simple graphs: self-loops are
dropped and duplicates removed, then more edges are drawn until exactly m distinct edges remain.
The real graphs (realgraphs.py) are read from the packages that ship them, have their own size at
every scale, and are treated the same way from their raw edges on. Node ids are compacted to 0..k-1
over the nodes that have an edge, so every library, whether it numbers nodes itself (igraph,
rustworkx, networkit) or takes arbitrary ids (quillmesh, networkx), holds exactly the same graph
with the same ids. Edge order is shuffled and each edge's orientation flipped at random,
so no library gets a sorted input it could exploit.

Every file is written under a name that carries the generator's parameters and format version, so
a cached file is only reused for the same graph; workers load them read-only. The text edge list (one
"u v" line per edge, in the array's order) is written from the array only when an op reads it: at
large scale it is 1.6 GB.
"""

from __future__ import annotations

import os
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

import realgraphs
from catalogue import BALL_NODES

# Bump when the generators or the query sets change, so stale cache files are ignored.
FORMAT_VERSION = 1

SCALES = {
    "small": (100_000, 1_000_000),
    "medium": (1_000_000, 10_000_000),
    "large": (10_000_000, 100_000_000),
}
KINDS = ("uniform", "rmat", "sparse")
# The kinds that are uniform G(n, m) graphs, which a library's native random generator also makes.
GNM_KINDS = ("uniform", "sparse")
# Graphs read from packages, at their own size whatever the scale.
REAL_KINDS = tuple(realgraphs.SOURCES)

UNIFORM_SEED = 20240611
RMAT_SEED = 20240612
QUERY_SEED = 20240613
SPARSE_SEED = 20240614
# Shuffles a real graph's edges and flips their orientation.
REAL_SEED = 20240615
# Graph500 quadrant probabilities; d = 1 - a - b - c.
RMAT_A, RMAT_B, RMAT_C = 0.57, 0.19, 0.19
# Margin on the draws of a top-up round beyond what the previous round's yield predicts.
OVERSAMPLE = 1.1

POINT_QUERIES = 100_000  # has_edge / degree / neighbors loops
PATH_QUERIES = 100  # shortest-path pairs
BATCH_PAIRS = 1_000_000  # batch edge tests
SUBGRAPH_FRACTION = 0.10  # share of the nodes in the induced subgraph
PRESENT_SHARE = 0.5  # share of edge-test pairs taken from existing edges
FLIP_SHARE = 0.5  # share of edges whose orientation is reversed
TEXT_SEPARATOR = " "  # between the two ids of a line of the text edge list
TEXT_BLOCK_EDGES = 5_000_000  # edges formatted at a time when writing the text edge list
DECIMAL_BASE = 10


@dataclass(frozen=True)
class GraphFiles:
    kind: str
    edges: Path  # (m, 2) int64
    queries: Path  # .npz with the query sets
    text: Path  # the same edges as a text edge list, made by ensure_text()

    @property
    def ball(self) -> Path:
        """The edges of the BFS ball the exact betweenness op runs on, made by ensure_ball()."""
        return self.edges.with_name(f"{self.edges.stem}-ball{BALL_NODES}.npy")


def _canonical_keys(u: np.ndarray, v: np.ndarray, span: int) -> np.ndarray:
    """One int64 key per undirected pair, self-loops removed."""
    keep = u != v
    u, v = u[keep], v[keep]
    lo, hi = np.minimum(u, v), np.maximum(u, v)
    return lo * span + hi


def _sorted_unique(a: np.ndarray) -> np.ndarray:
    # np.unique takes a much slower path than a plain sort for large int64 arrays.
    a = np.sort(a)
    if a.size:
        a = a[np.concatenate(([True], a[1:] != a[:-1]))]
    return a


def _distinct_edges(draw, m: int, span: int, rng: np.random.Generator) -> np.ndarray:
    """Draws pairs with draw(count) until m distinct undirected edges exist; picks m of them.

    Each round draws enough for the missing edges at the share of new distinct edges that the
    previous round yielded (self-loops, duplicates and, for R-MAT, out-of-range ids all cost draws).
    """
    keys = np.empty(0, dtype=np.int64)
    yield_rate = 1.0
    while keys.size < m:
        missing = m - keys.size
        count = int(missing / yield_rate * OVERSAMPLE) + 1
        before = keys.size
        u, v = draw(count)
        keys = _sorted_unique(np.concatenate([keys, _canonical_keys(u, v, span)]))
        yield_rate = max((keys.size - before) / count, 1.0 / count)
    return _arranged(keys, span, rng, m)


def _arranged(keys: np.ndarray, span: int, rng: np.random.Generator, m: int | None = None) -> np.ndarray:
    """m of the undirected edges (all of them by default) in random order, each flipped at random."""
    m = keys.size if m is None else m
    keys = keys[rng.permutation(keys.size)[:m]]
    edges = np.stack([keys // span, keys % span], axis=1)
    flip = rng.random(m) < FLIP_SHARE
    edges[flip] = edges[flip][:, ::-1]
    return edges


def size(kind: str, scale: str) -> tuple[int, int]:
    """(n, m) of a synthetic graph: the scale's, or for the sparse kind as many edges as nodes."""
    n, m = SCALES[scale]
    return (n, n) if kind == "sparse" else (n, m)


def _uniform_edges(n: int, m: int, seed: int = UNIFORM_SEED) -> np.ndarray:
    rng = np.random.default_rng(seed)

    def draw(count):
        return rng.integers(0, n, size=count, dtype=np.int64), rng.integers(0, n, size=count, dtype=np.int64)

    return _distinct_edges(draw, m, n, rng)


def _rmat_edges(n: int, m: int) -> np.ndarray:
    """R-MAT over 2**scale ids with a random relabelling; pairs with an id >= n are redrawn."""
    rng = np.random.default_rng(RMAT_SEED)
    scale = max(1, int(np.ceil(np.log2(n))))
    relabel = rng.permutation(1 << scale).astype(np.int64)

    def draw(count):
        u = np.zeros(count, dtype=np.int64)
        v = np.zeros(count, dtype=np.int64)
        for bit in range(scale):
            r = rng.random(count)
            # Quadrants a (0,0), b (0,1), c (1,0), d (1,1).
            row = r >= RMAT_A + RMAT_B
            col = ((r >= RMAT_A) & (r < RMAT_A + RMAT_B)) | (r >= RMAT_A + RMAT_B + RMAT_C)
            u |= row.astype(np.int64) << bit
            v |= col.astype(np.int64) << bit
        u, v = relabel[u], relabel[v]
        inside = (u < n) & (v < n)
        return u[inside], v[inside]

    return _distinct_edges(draw, m, n, rng)


def _real_edges(kind: str) -> np.ndarray:
    """A real graph's raw edges as a simple graph: no self-loops, each undirected edge once."""
    u, v, span = realgraphs.read(kind)
    keys = _sorted_unique(_canonical_keys(u, v, span))
    return _arranged(keys, span, np.random.default_rng(REAL_SEED))


def _compact(edges: np.ndarray) -> np.ndarray:
    """Renumbers the nodes that have an edge to 0..k-1, keeping their relative order."""
    used = _sorted_unique(edges.reshape(-1))
    if used.size and used[-1] == used.size - 1:
        return edges
    return np.searchsorted(used, edges).astype(np.int64)


def _queries(edges: np.ndarray) -> dict[str, np.ndarray]:
    rng = np.random.default_rng(QUERY_SEED)
    nodes = int(edges.max()) + 1

    def pairs(count: int) -> np.ndarray:
        present = int(count * PRESENT_SHARE)
        picked = edges[rng.integers(0, edges.shape[0], size=present)]
        rand = rng.integers(0, nodes, size=(count - present, 2), dtype=np.int64)
        out = np.concatenate([picked, rand])
        return out[rng.permutation(count)]

    path = rng.integers(0, nodes, size=(PATH_QUERIES * 2, 2), dtype=np.int64)
    path = path[path[:, 0] != path[:, 1]][:PATH_QUERIES]
    return {
        "point_pairs": pairs(POINT_QUERIES),
        "point_nodes": rng.integers(0, nodes, size=POINT_QUERIES, dtype=np.int64),
        "path_pairs": path,
        "batch_pairs": pairs(BATCH_PAIRS),
        "subgraph_nodes": rng.choice(nodes, size=int(nodes * SUBGRAPH_FRACTION), replace=False).astype(np.int64),
    }


def _atomic_save(path: Path, save) -> None:
    tmp = path.with_name(path.name + f".{os.getpid()}.tmp")
    with open(tmp, "wb") as f:
        save(f)
    os.replace(tmp, path)


def ensure(kind: str, scale: str | None, cache_dir: Path, log=print) -> GraphFiles:
    """Returns the cached files of one graph, generating them first when absent.

    A real graph ignores the scale: its files are named after the version of the package it comes
    from, so a new version is read again.
    """
    if kind in REAL_KINDS:
        stem = f"{kind}-{realgraphs.version_tag(kind)}-v{FORMAT_VERSION}"
        what = f"{kind} graph from {realgraphs.SOURCES[kind].distribution}"
        make = lambda: _real_edges(kind)  # noqa: E731
    else:
        n, m = size(kind, scale)
        stem = f"{kind}-n{n}-m{m}-v{FORMAT_VERSION}"
        what = f"{kind} graph n={n:,} m={m:,}"
        if kind == "rmat":
            make = lambda: _rmat_edges(n, m)  # noqa: E731
        else:
            make = lambda: _uniform_edges(n, m, SPARSE_SEED if kind == "sparse" else UNIFORM_SEED)  # noqa: E731
    files = GraphFiles(kind, cache_dir / f"{stem}.npy", cache_dir / f"{stem}-queries.npz", cache_dir / f"{stem}.txt")
    if files.edges.exists() and files.queries.exists():
        return files
    cache_dir.mkdir(parents=True, exist_ok=True)
    started = time.perf_counter()
    log(f"making the {what} into {files.edges} ...")
    edges = _compact(make())
    _atomic_save(files.edges, lambda f: np.save(f, edges))
    _atomic_save(files.queries, lambda f: np.savez(f, **_queries(edges)))
    log(f"made the {kind} graph in {time.perf_counter() - started:.1f} s")
    return files


def format_lines(block: np.ndarray) -> bytes:
    """An (k, 2) array of non-negative ids as "u v" lines, formatted with array arithmetic.

    Every id is followed by one byte (the separator, or the newline after the second id); its
    digits are written from the last one backwards, one decimal place per pass over the array.
    """
    ids = block.reshape(-1)
    if not ids.size:
        return b""
    digits = np.ones(ids.size, dtype=np.int64)
    power = DECIMAL_BASE
    while power <= int(ids.max()):
        digits += ids >= power
        power *= DECIMAL_BASE
    ends = np.cumsum(digits + 1)  # one past each id's trailing byte
    out = np.empty(int(ends[-1]), dtype=np.uint8)
    out[ends - 1] = ord(TEXT_SEPARATOR)
    out[ends[1::2] - 1] = ord("\n")
    rest = ids.copy()
    last = ends - 2
    for place in range(int(digits.max())):
        live = digits > place
        out[last[live] - place] = ord("0") + rest[live] % DECIMAL_BASE
        rest //= DECIMAL_BASE
    return out.tobytes()


def write_text(edges: np.ndarray, out) -> None:
    """Writes an (m, 2) edge array to a binary file as "u v" lines, a block of edges at a time."""
    for start in range(0, edges.shape[0], TEXT_BLOCK_EDGES):
        out.write(format_lines(np.asarray(edges[start:start + TEXT_BLOCK_EDGES])))


def ensure_text(files: GraphFiles, log=print) -> Path:
    """The cached text edge list of a graph, written from its edge array first when absent."""
    if not files.text.exists():
        started = time.perf_counter()
        log(f"writing the text edge list {files.text} ...")
        edges = np.load(files.edges, mmap_mode="r")
        _atomic_save(files.text, lambda f: write_text(edges, f))
        log(f"wrote {files.text.stat().st_size / 1e9:.2f} GB in {time.perf_counter() - started:.1f} s")
    return files.text


def ball_edges(edges: np.ndarray, source: int, size: int) -> np.ndarray:
    """The subgraph induced by the first `size` nodes a BFS from source reaches, renumbered 0..k-1.

    Whole levels are taken while they fit, then the lowest ids of the next one; the nodes are
    numbered in that order (the source is 0). Every node keeps the edge it was reached by, so the
    ball is connected and uses every id. Level by level over the edge array: a few passes for a
    graph of small diameter, more (each a pass over m edges) for a long thin one.
    """
    nodes = int(edges.max()) + 1
    a, b = edges[:, 0], edges[:, 1]
    reached = np.zeros(nodes, dtype=bool)
    reached[source] = True
    frontier = np.array([source], dtype=np.int64)
    order = [frontier]
    count = 1
    while count < size and frontier.size:
        front = np.zeros(nodes, dtype=bool)
        front[frontier] = True
        found = np.concatenate([b[front[a]], a[front[b]]])
        frontier = _sorted_unique(found[~reached[found]])[: size - count]
        reached[frontier] = True
        order.append(frontier)
        count += frontier.size
    ball = np.concatenate(order)
    label = np.full(nodes, -1, dtype=np.int64)
    label[ball] = np.arange(ball.size, dtype=np.int64)
    return label[edges[reached[a] & reached[b]]]


def ensure_ball(files: GraphFiles, log=print) -> Path:
    """The cached BFS ball of BALL_NODES nodes of a graph, made from its edge array first when absent.

    Its centre is the first path query's source from which the BFS reaches that many nodes (on a
    graph of many components the first sources may lie in small ones), else the one reaching most.
    """
    if not files.ball.exists():
        started = time.perf_counter()
        edges = np.load(files.edges)
        best = np.empty((0, 2), dtype=np.int64)
        for source in np.load(files.queries)["path_pairs"][:, 0].tolist():
            ball = ball_edges(edges, int(source), BALL_NODES)
            if ball.size and (not best.size or ball.max() > best.max()):
                best = ball
            if best.size and best.max() + 1 >= BALL_NODES:
                break
        _atomic_save(files.ball, lambda f: np.save(f, best))
        log(f"made the {BALL_NODES:,}-node ball of the {files.kind} graph ({best.shape[0]:,} edges) in "
            f"{time.perf_counter() - started:.1f} s")
    return files.ball


def describe(edges: np.ndarray) -> dict:
    """Node count, edge count and degree figures of an edge list (for the report)."""
    nodes = int(edges.max()) + 1 if edges.size else 0
    degree = np.bincount(edges.reshape(-1), minlength=nodes)

    def share(of: np.ndarray) -> float:
        return float(of.mean()) if nodes else 0.0

    return {
        "nodes": nodes,
        "edges": int(edges.shape[0]),
        "max_degree": int(degree.max()) if nodes else 0,
        "mean_degree": float(degree.mean()) if nodes else 0.0,
        "median_degree": float(np.median(degree)) if nodes else 0.0,
        "degree_shares": {"1": share(degree == 1), "2": share(degree == 2), "3+": share(degree >= 3)},
    }
