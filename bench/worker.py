"""Runs the benchmark operations for one library on one graph, in the interpreter it is started with.

The driver (run.py) starts one worker per (interpreter, library, graph). The worker loads the cached
edge list and query sets, runs the requested operations in catalogue order and writes one JSON
object per line to stdout as it goes: "hello" (versions), "start" before each op and "run" before
each of its runs ("check" after the first, while its result is turned into a check value, untimed
and outside the run's time limit), then "done", "unsupported", "error" or "oom" for it, "setup" / "setup_done" (or
"setup_failed") around building the graph the query ops share, and "end", or "restart" when it
leaves the ops after an out-of-memory failure to a fresh worker. Streaming lets the driver show
progress and, when an op runs past its time limit, kill the worker and start a new one for the
remaining ops.

Timing: every op runs up to --repeat times and the best time counts; repeating stops early once an
op has used --op-budget seconds. Before each run of a query op the adapter drops its caches (only
quillmesh has any), so every run is cold except triangles_warm. Load ops also report the resident
memory the new graph adds, measured after a garbage collection and malloc_trim on both sides, from
their first run, in bytes per edge.

The analyses: exact betweenness runs on a graph of its own, the BFS ball of graphs.ensure_ball,
built the library's base way before the op (untimed). A per-node result is checked through a file:
the worker writes it, by node id, to --check-dir, and the driver compares the libraries' arrays
element by element and deletes them. The communities ops are run once more after the first run
(untimed), and the check records whether the second partition is the same, beside the modularity
of the first computed from the edge list (partition.py).

Memory: every op reports the peak RSS of its first run above the settled RSS just before it (so a
result the op builds, such as an edge list, counts). The worker caps its own address space at
--memory-limit bytes first thing, so an op that needs more fails inside the worker; a MemoryError is
reported as an "oom" event, naming the stage (preparing the op's input, or the op itself). A native
library that aborts instead leaves the diagnosis to the driver. The edge array is read from disk
when needed and let go once the op's own input is made from it, so a list-of-tuples load does not
also hold the array.
"""

from __future__ import annotations

import argparse
import hashlib
import heapq
import json
import os
import sys
import sysconfig
import time

import numpy as np

from adapters import ADAPTERS
from catalogue import ARROW_CHUNKS, BY_NAME, COMMUNITY_OPS, PAGERANK_TOP
from partition import canonical, fixed_labels, modularity
from rss import OUT_OF_MEMORY_WORDS, limit_address_space, peak_watch, resident_bytes

# Neighbour lists folded into the neighbors check, beyond the total count.
NEIGHBOR_CHECK_NODES = 1000
# Seed handed to the native random generators.
GENERATE_SEED = 7
# How the report names an op measured as the same call as another (default: the array ops).
SAME_CALL_NOTES = {
    "triangles_warm": "no result cache: same call as cold",
    "communities_refined": "no refined variant: same call as communities",
}
# Per-node results: compared exactly (integers) or within a tolerance (floats) by the driver, through
# files; sampled betweenness only gets a summary (each library samples its own sources).
NODE_ARRAY_OPS = {"core_numbers": "int", "node_triangles": "int", "clustering": "float", "betweenness": "float",
                  "betweenness_sampled": "summary"}


def emit(**event) -> None:
    sys.stdout.write(json.dumps(event) + "\n")
    sys.stdout.flush()


def out_of_memory(exc: BaseException) -> bool:
    """Whether an exception reports a failed allocation (some libraries raise their own types)."""
    text = str(exc).lower()
    return isinstance(exc, MemoryError) or any(word in text for word in OUT_OF_MEMORY_WORDS)


def interpreter() -> dict:
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    return {
        "version": sys.version.split()[0],
        "build": "free-threaded" if free_threaded else "standard",
        "gil_enabled": sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True,
        "executable": sys.executable,
    }


class Inputs:
    """The Python-side inputs of the ops, made on first use (untimed) and shared between ops."""

    def __init__(self, edges, queries, nodes: int) -> None:
        self.edges = edges  # a callable returning the edge array
        self.queries = queries
        self.nodes = nodes
        self._made: dict[str, object] = {}

    def get(self, name: str):
        if name not in self._made:
            self._made[name] = getattr(self, "_" + name)()
        return self._made[name]

    def drop(self, name: str) -> None:
        self._made.pop(name, None)

    @staticmethod
    def _pairs(arr: np.ndarray) -> list[tuple[int, int]]:
        return list(zip(arr[:, 0].tolist(), arr[:, 1].tolist()))

    def _tuples(self):
        return self._pairs(self.edges())

    def _flat(self):
        return self.edges().reshape(-1).tolist()

    def _columns(self):
        edges = self.edges()
        return np.ascontiguousarray(edges[:, 0]), np.ascontiguousarray(edges[:, 1])

    def _arrow(self):
        import pyarrow as pa

        # Each chunk wraps its slice of the column without a copy; the columns stay alive with them.
        def chunked(column):
            bounds = np.linspace(0, column.size, ARROW_CHUNKS + 1).astype(np.int64)
            return pa.chunked_array([pa.array(column[a:b]) for a, b in zip(bounds[:-1], bounds[1:])])

        return tuple(chunked(column) for column in self._columns())

    def _source(self):
        # The BFS source: the first path query's source, a node chosen at random with the queries.
        return int(self.queries["path_pairs"][0, 0])

    def _point_pairs(self):
        return self._pairs(self.queries["point_pairs"])

    def _point_nodes(self):
        return self.queries["point_nodes"].tolist()

    def _path_pairs(self):
        return self._pairs(self.queries["path_pairs"])

    def _batch_pairs(self):
        return self._pairs(self.queries["batch_pairs"])

    def _subgraph_nodes(self):
        return self.queries["subgraph_nodes"].tolist()

    def _partition_labels(self):
        return fixed_labels(self.nodes)


# ---- query bodies: (adapter, graph, inputs) -> a callable running the timed part.


def _loop_has_edge(a, g, inp):
    has_edge, pairs = a.has_edge_fn(g), inp.get("point_pairs")

    def run():
        hits = 0
        for u, v in pairs:
            if has_edge(u, v):
                hits += 1
        return hits

    return run


def _loop_degree(a, g, inp):
    degree, nodes = a.degree_fn(g), inp.get("point_nodes")

    def run():
        total = 0
        for n in nodes:
            total += degree(n)
        return total

    return run


def _loop_neighbors(a, g, inp):
    neighbors, nodes = a.neighbors_fn(g), inp.get("point_nodes")

    def run():
        total = 0
        for n in nodes:
            total += len(neighbors(n))
        return total

    return run


def _loop_distance(a, g, inp):
    distance, pairs = a.distance_fn(g), inp.get("path_pairs")
    return lambda: [distance(s, t) for s, t in pairs]


def _graph_call(op: str):
    return lambda a, g, inp: lambda: getattr(a, op)(g)


QUERY_BODIES = {
    "has_edge": _loop_has_edge,
    "degree": _loop_degree,
    "neighbors": _loop_neighbors,
    "nodes": lambda a, g, inp: lambda: a.nodes(g),
    "edges": lambda a, g, inp: lambda: a.edges(g),
    "degrees": lambda a, g, inp: lambda: a.degrees(g),
    "triangles_cold": lambda a, g, inp: lambda: a.triangles(g),
    "triangles_warm": lambda a, g, inp: lambda: a.triangles(g),
    "pagerank": lambda a, g, inp: lambda: a.pagerank(g),
    "components": lambda a, g, inp: lambda: a.components(g),
    "nodes_array": lambda a, g, inp: lambda: a.nodes_array(g),
    "edges_array": lambda a, g, inp: lambda: a.edges_array(g),
    "degrees_array": lambda a, g, inp: lambda: a.degrees_array(g),
    "component_labels": lambda a, g, inp: lambda: a.component_labels(g),
    "pagerank_array": lambda a, g, inp: lambda: a.pagerank_array(g),
    "distances": lambda a, g, inp: (lambda source: lambda: a.distances(g, source))(inp.get("source")),
    "shortest_path": _loop_distance,
    "has_edges": lambda a, g, inp: (lambda pairs: lambda: a.has_edges(g, pairs))(inp.get("batch_pairs")),
    "subgraph": lambda a, g, inp: (lambda nodes: lambda: a.subgraph_edges(g, nodes))(inp.get("subgraph_nodes")),
    "modularity": lambda a, g, inp: (lambda part: lambda: a.modularity(g, part))(
        a.partition(g, inp.get("partition_labels"))),
    # the whole-graph analyses: the adapter's method of the op's name, on the graph alone
    **{op: _graph_call(op) for op in ("core_numbers", "node_triangles", "clustering", "transitivity", "communities",
                                      "communities_refined", "betweenness_sampled", "betweenness", "diameter")},
}


# ---- check values: comparable across libraries (untimed).


def _pagerank_top(scores) -> list[int]:
    if hasattr(scores, "items"):
        pairs = scores.items()
    else:
        seq = list(scores)
        pairs = seq if seq and isinstance(seq[0], tuple) else enumerate(seq)
    best = heapq.nsmallest(PAGERANK_TOP, ((-s, int(node)) for node, s in pairs))
    return [node for _, node in best]


def _component_check(sizes) -> dict:
    ordered = sorted(int(s) for s in sizes)
    digest = hashlib.sha256(json.dumps(ordered).encode()).hexdigest()[:16]
    return {"count": len(ordered), "largest": ordered[-1] if ordered else 0, "sizes_sha256": digest}


def _distance_check(layers: list[int]) -> dict:
    """What a BFS reached: the node count per hop, summed up and hashed."""
    layers = [int(x) for x in layers]
    digest = hashlib.sha256(json.dumps(layers).encode()).hexdigest()[:16]
    return {"reached": sum(layers), "eccentricity": len(layers) - 1, "layers_sha256": digest}


def _neighbor_check(a, g, inp, total) -> dict:
    neighbors = a.neighbors_fn(g)
    digest = hashlib.sha256()
    for n in inp.get("point_nodes")[:NEIGHBOR_CHECK_NODES]:
        digest.update(json.dumps(sorted(int(x) for x in neighbors(n))).encode())
    return {"total": total, "first_lists_sha256": digest.hexdigest()[:16]}


def _node_array_check(op: str, a, g, result, check_file) -> dict:
    """A per-node result's summary, and for the compared ones the file holding it by node id."""
    values = a.node_values(op, g, result)
    kind = NODE_ARRAY_OPS[op]
    if kind == "int":
        whole = np.rint(values).astype(np.int64)
        if not np.array_equal(whole, values):
            raise ValueError(f"{op}: non-integral values")
        values = whole
        total, top = int(values.sum()), int(values.max()) if values.size else 0
    else:
        values = values.astype(np.float64)
        total, top = float(values.sum()), float(values.max()) if values.size else 0.0
    check = {"nodes": int(values.size), "sum": total, "max": top}
    if kind != "summary":
        path = check_file(op)
        np.save(path, values)
        check["file"] = str(path)
    return check


def check_value(op: str, a, g, inp, result, check_file=None):
    if op in ("has_edge", "degree", "subgraph"):
        return int(result)
    if op == "neighbors":
        return _neighbor_check(a, g, inp, result)
    if op in ("nodes", "edges", "nodes_array", "edges_array"):
        return len(result)
    if op in ("degrees", "degrees_array"):
        return a.degree_total(g, result)
    if op.startswith("triangles"):
        return a.triangle_total(g, result)
    if op in ("pagerank", "pagerank_array"):
        return _pagerank_top(a.pagerank_scores(g, result))
    if op == "components":
        return _component_check(result)
    if op == "component_labels":
        return _component_check(a.label_sizes(g, result))
    if op == "distances":
        return _distance_check(a.layer_sizes(g, result))
    if op == "shortest_path":
        return [int(d) for d in result]
    if op == "has_edges":
        return a.present_count(g, result)
    if op in NODE_ARRAY_OPS:
        return _node_array_check(op, a, g, result, check_file)
    if op in ("transitivity", "modularity"):
        return {"value": float(result)}
    if op == "diameter":
        return int(result)
    if op in COMMUNITY_OPS:
        labels = a.community_labels(g, result)
        if labels.shape != (inp.nodes,):
            raise ValueError(f"{op}: {labels.shape} labels for {inp.nodes} nodes")
        return {"communities": int(np.unique(labels).size), "modularity": modularity(inp.edges(), labels)}
    raise KeyError(op)


# ---- running


class Runner:
    def __init__(self, adapter, edges_path: str, queries, repeat: int, budget: float, text_path: str | None = None,
                 ball_path: str | None = None, check_dir: str | None = None) -> None:
        self.a = adapter
        self.edges_path = edges_path
        self.text_path = text_path  # the same edges as a text edge list, for load_text
        self.ball_path = ball_path  # the BFS ball exact betweenness runs on
        self.check_dir = check_dir  # where per-node results go for the driver to compare
        self._edges: np.ndarray | None = None
        edges = self.edges()
        self.nodes = int(edges.max()) + 1 if edges.size else 0
        self.m = int(edges.shape[0])
        self.inp = Inputs(self.edges, queries, self.nodes)
        self.repeat = repeat
        self.budget = budget
        self.measured: dict[str, dict] = {}
        self.kept = None  # the graph of the base form's load, kept for the query ops
        self.stage = "input"  # what an op is doing: "input" (untimed preparation) or "run"
        self.failed: dict[str, str] = {}  # op -> status of the ops that did not complete

    def edges(self) -> np.ndarray:
        """The edge array, read from disk again if it was let go."""
        if self._edges is None:
            self._edges = np.load(self.edges_path)
        return self._edges

    def release_edges(self) -> None:
        self._edges = None

    def _repeat(self, run_once) -> list[float]:
        times: list[float] = []
        while len(times) < self.repeat and sum(times) < self.budget:
            emit(event="run", index=len(times))  # the driver's time limit applies per run
            self.stage = "run"
            times.append(run_once())
        return times

    def load(self, op: str) -> dict:
        a, m = self.a, self.m
        if op == "load_tuples":
            data = self.inp.get("tuples")
            build = lambda: a.from_tuples(self.nodes, data)  # noqa: E731
        elif op == "load_flat":
            data = self.inp.get("flat")
            build = lambda: a.from_flat(self.nodes, data)  # noqa: E731
        elif op == "load_numpy":
            edges = self.edges()
            build = lambda: a.from_numpy(self.nodes, edges)  # noqa: E731
        elif op in ("load_columns", "load_arrow"):
            src, dst = self.inp.get(op.removeprefix("load_"))
            make = a.from_columns if op == "load_columns" else a.from_arrow
            build = lambda: make(self.nodes, src, dst)  # noqa: E731
        elif op == "load_text":
            if self.text_path is None:
                raise ValueError("load_text needs --text")
            build = lambda: a.from_text(self.nodes, self.text_path)  # noqa: E731
        else:
            build = lambda: a.generate(self.nodes, m, GENERATE_SEED)  # noqa: E731
        if op != "load_numpy":
            self.release_edges()  # this op's input is made; the array is only read again if needed
        first: dict = {}
        keep = op == a.base_form()

        def run_once() -> float:
            before = resident_bytes()
            with peak_watch() as watch:
                started = time.perf_counter()
                g = build()
                elapsed = time.perf_counter() - started
            if not first:
                first["bytes"] = resident_bytes() - before
                first["peak"] = max(0, watch.peak - before)
                nodes, edges = a.counts(g)
                first["check"] = None if op in a.inexact else {"edges": edges}
                first["graph"] = {"nodes": nodes, "edges": edges}
                if keep:  # the query ops run on this graph rather than on one built again
                    self.kept = g
            del g
            return elapsed

        times = self._repeat(run_once)
        for name in ("tuples", "flat", "columns", "arrow"):
            self.inp.drop(name)
        return {
            "times": times,
            "bytes_per_edge": first["bytes"] / m,
            "peak_bytes": first["peak"],
            "check": first["check"],
            "built": first["graph"],
        }

    def base_graph(self):
        """The graph the query ops run on: the one the load op of the base form built, if it ran."""
        if self.kept is not None:
            g, self.kept = self.kept, None
            return g
        return self.build(self.edges())

    def build(self, edges: np.ndarray):
        """A graph of an edge array over ids 0..k-1, built the library's base way."""
        a = self.a
        form = a.base_form()
        nodes = int(edges.max()) + 1 if edges.size else 0
        if form == "load_numpy":
            return a.from_numpy(nodes, edges)
        if form == "load_flat":
            return a.from_flat(nodes, edges.reshape(-1).tolist())
        return a.from_tuples(nodes, Inputs._pairs(edges))

    def check_file(self, op: str) -> str:
        if self.check_dir is None:
            raise ValueError(f"{op} needs --check-dir")
        os.makedirs(self.check_dir, exist_ok=True)
        build = "ft" if sysconfig.get_config_var("Py_GIL_DISABLED") else "gil"
        stem = os.path.basename(self.edges_path).removesuffix(".npy")
        return os.path.join(self.check_dir, f"{stem}-{op}-{self.a.name}-{build}.npy")

    def query(self, op: str, g) -> dict:
        a = self.a
        twin = a.same_call().get(op)
        if twin in self.measured:
            # The library runs this op as the very call it ran for twin: report that measurement.
            same = dict(self.measured[twin])
            same["note"] = SAME_CALL_NOTES.get(op, f"no array form: same call as {BY_NAME[twin].label}")
            return same
        if op == "betweenness":
            if self.ball_path is None:
                raise ValueError("betweenness needs --ball")
            g = self.build(np.load(self.ball_path))  # exact betweenness runs on the ball alone
        target = a.prepare(op, g)
        run = QUERY_BODIES[op](a, target, self.inp)
        if op == "triangles_warm":
            run()  # fills the cache
        checks: list = []
        peaks: list = []

        def run_once() -> float:
            if op != "triangles_warm":
                a.drop_caches(target)
            before = resident_bytes() if not peaks else 0
            with peak_watch() as watch:
                started = time.perf_counter()
                result = run()
                elapsed = time.perf_counter() - started
            if not checks:
                emit(event="check")  # what follows is untimed: the driver's run limit no longer applies
                peaks.append(max(0, watch.peak - before))
                # Checked now and let go, so a big result (an edge list) is not still held while
                # later runs build theirs.
                checks.append(check_value(op, a, target, self.inp, result, self.check_file))
                if op in COMMUNITY_OPS:
                    first = canonical(a.community_labels(target, result))
                    del result
                    again = run()
                    second = canonical(a.community_labels(target, again))
                    checks[0]["same_on_rerun"] = bool(np.array_equal(first, second))
                    del again, first, second
                    self.release_edges()  # read for the modularity; later ops read it again if they need it
            result = None
            return elapsed

        times = self._repeat(run_once)
        out = {"times": times, "check": checks[0], "peak_bytes": peaks[0]}
        self.measured[op] = out
        return out


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--lib", required=True, choices=sorted(ADAPTERS))
    p.add_argument("--edges", required=True)
    p.add_argument("--queries", required=True)
    p.add_argument("--text", help="the edges as a text edge list (for load_text)")
    p.add_argument("--ball", help="the edges of the BFS ball exact betweenness runs on")
    p.add_argument("--check-dir", help="where per-node results are written for the driver to compare")
    p.add_argument("--ops", required=True, help="comma-separated op names, in any order")
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--op-budget", type=float, default=20.0)
    p.add_argument("--memory-limit", type=int, default=0, help="address-space cap in bytes (0: none)")
    args = p.parse_args()
    limit_address_space(args.memory_limit)

    ops = [op for op in BY_NAME if op in set(args.ops.split(","))]
    try:
        adapter = ADAPTERS[args.lib]()
    except ImportError as exc:
        # Under a tight address-space limit even mapping the library's shared object can fail.
        emit(event="fatal", message=f"cannot import {args.lib}: {exc}", oom=out_of_memory(exc),
             interpreter=interpreter())
        return 3
    emit(event="hello", lib=args.lib, versions=adapter.versions(), interpreter=interpreter())

    queries = np.load(args.queries)
    runner = Runner(adapter, args.edges, queries, max(1, args.repeat), args.op_budget, args.text, args.ball,
                    args.check_dir)

    def attempt(op: str, work) -> None:
        if op in adapter.unsupported:
            emit(event="unsupported", op=op, reason=adapter.unsupported[op])
            return
        emit(event="start", op=op)
        runner.stage = "input"
        try:
            out = work(op)
        except Exception as exc:  # reported per op; the other ops still run
            message = f"{type(exc).__name__}: {exc}" if str(exc) else type(exc).__name__
            if out_of_memory(exc):
                runner.failed[op] = "oom"
                emit(event="oom", op=op, stage=runner.stage, message=message)
            else:
                runner.failed[op] = "error"
                emit(event="error", op=op, message=message)
            return
        out.setdefault("note", adapter.notes.get(op))
        emit(event="done", op=op, seconds=min(out["times"]), runs=len(out["times"]), **out)

    for op in (o for o in ops if BY_NAME[o].kind == "load"):
        attempt(op, runner.load)

    query_ops = [o for o in ops if BY_NAME[o].kind == "query"]
    if query_ops:
        base = adapter.base_form()
        if runner.kept is not None:
            g = runner.base_graph()  # the load op's own graph: nothing to build
        elif runner.failed.get(base) == "oom":
            # Building the same graph once more would only run out of memory again.
            emit(event="setup_failed", status="oom", message=f"its graph ({BY_NAME[base].label}) did not fit")
            return 0
        else:
            emit(event="setup", what="building the graph for the query ops")
            started = time.perf_counter()
            try:
                g = runner.base_graph()
            except Exception as exc:
                status = "oom" if out_of_memory(exc) else "error"
                emit(event="setup_failed", status=status, message=f"{type(exc).__name__}: {exc}")
                return 0
            emit(event="setup_done", seconds=time.perf_counter() - started)
        runner.release_edges()
        for i, op in enumerate(query_ops):
            attempt(op, lambda name: runner.query(name, g))
            if runner.failed.get(op) == "oom" and i + 1 < len(query_ops):
                # What the failed op had allocated may stay reserved in this process (the
                # free-threaded build's allocator keeps its address space), which could starve the
                # next op under the limit: a fresh worker takes the rest.
                emit(event="restart")
                return 0
    emit(event="end")
    return 0


if __name__ == "__main__":
    status = main()
    sys.stdout.flush()
    # Leaving without tearing the heap down: at large scale that alone takes seconds per worker.
    os._exit(status)
