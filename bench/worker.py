"""Runs the benchmark operations for one library on one graph, in the interpreter it is started with.

The driver (run.py) starts one worker per (interpreter, library, graph). The worker loads the cached
edge list and query sets, runs the requested operations in catalogue order and writes one JSON
object per line to stdout as it goes: "hello" (versions), "start" before each op and "run" before
each of its runs, then "done", "unsupported" or "error" for it, "setup" / "setup_done" around
building the graph the query ops share, and "end". Streaming lets the driver show progress and, when an op
runs past its time limit, kill the worker and start a new one for the remaining ops.

Timing: every op runs up to --repeat times and the best time counts; repeating stops early once an
op has used --op-budget seconds. Before each run of a query op the adapter drops its caches (only
quillmesh has any), so every run is cold except triangles_warm. Load ops also report the resident
memory the new graph adds, measured after a garbage collection and malloc_trim on both sides, from
their first run, in bytes per edge.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import hashlib
import heapq
import json
import os
import sys
import sysconfig
import time

import numpy as np

from adapters import ADAPTERS
from catalogue import BY_NAME, PAGERANK_TOP

# Neighbour lists folded into the neighbors check, beyond the total count.
NEIGHBOR_CHECK_NODES = 1000
# Seed handed to the native random generators.
GENERATE_SEED = 7
# Settling the heap before reading RSS: rounds at most, small objects churned per round, and the
# change between two readings below which the heap counts as settled.
SETTLE_ROUNDS = 10
SETTLE_OBJECTS = 100_000
SETTLE_BYTES = 1 << 20

_libc = ctypes.CDLL(None)
_PAGE = os.sysconf("SC_PAGE_SIZE")


def emit(**event) -> None:
    sys.stdout.write(json.dumps(event) + "\n")
    sys.stdout.flush()


def _rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * _PAGE


def resident_bytes() -> int:
    """RSS once freed heap memory has gone back to the system, so it counts only what is held.

    glibc returns free pages on malloc_trim. The free-threaded interpreter's object allocator
    (mimalloc) returns them lazily, on later allocations, so a few rounds of small allocations are
    made until two readings agree; the driver also starts load workers with MIMALLOC_PURGE_DELAY=0.
    """
    last = -1
    for _ in range(SETTLE_ROUNDS):
        gc.collect()
        churn = [[i] for i in range(SETTLE_OBJECTS)]
        del churn
        gc.collect()
        _libc.malloc_trim(0)
        now = _rss()
        if abs(now - last) < SETTLE_BYTES:
            break
        last = now
    return now


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

    def __init__(self, edges: np.ndarray, queries) -> None:
        self.edges = edges
        self.queries = queries
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
        return self._pairs(self.edges)

    def _flat(self):
        return self.edges.reshape(-1).tolist()

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
    "shortest_path": _loop_distance,
    "has_edges": lambda a, g, inp: (lambda pairs: lambda: a.has_edges(g, pairs))(inp.get("batch_pairs")),
    "subgraph": lambda a, g, inp: (lambda nodes: lambda: a.subgraph_edges(g, nodes))(inp.get("subgraph_nodes")),
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


def _neighbor_check(a, g, inp, total) -> dict:
    neighbors = a.neighbors_fn(g)
    digest = hashlib.sha256()
    for n in inp.get("point_nodes")[:NEIGHBOR_CHECK_NODES]:
        digest.update(json.dumps(sorted(int(x) for x in neighbors(n))).encode())
    return {"total": total, "first_lists_sha256": digest.hexdigest()[:16]}


def check_value(op: str, a, g, inp, result):
    if op in ("has_edge", "degree", "subgraph"):
        return int(result)
    if op == "neighbors":
        return _neighbor_check(a, g, inp, result)
    if op in ("nodes", "edges"):
        return len(result)
    if op == "degrees":
        return a.degree_total(g, result)
    if op.startswith("triangles"):
        return a.triangle_total(g, result)
    if op == "pagerank":
        return _pagerank_top(result)
    if op == "components":
        return _component_check(result)
    if op == "shortest_path":
        return [int(d) for d in result]
    if op == "has_edges":
        return a.present_count(g, result)
    raise KeyError(op)


# ---- running


class Runner:
    def __init__(self, adapter, edges: np.ndarray, queries, repeat: int, budget: float) -> None:
        self.a = adapter
        self.edges = edges
        self.nodes = int(edges.max()) + 1 if edges.size else 0
        self.inp = Inputs(edges, queries)
        self.repeat = repeat
        self.budget = budget
        self.measured: dict[str, dict] = {}
        self.kept = None  # the graph of the base form's load, kept for the query ops

    def _repeat(self, run_once) -> list[float]:
        times: list[float] = []
        while len(times) < self.repeat and sum(times) < self.budget:
            emit(event="run", index=len(times))  # the driver's time limit applies per run
            times.append(run_once())
        return times

    def load(self, op: str) -> dict:
        a, m = self.a, self.edges.shape[0]
        if op == "load_tuples":
            data = self.inp.get("tuples")
            build = lambda: a.from_tuples(self.nodes, data)  # noqa: E731
        elif op == "load_flat":
            data = self.inp.get("flat")
            build = lambda: a.from_flat(self.nodes, data)  # noqa: E731
        elif op == "load_numpy":
            build = lambda: a.from_numpy(self.nodes, self.edges)  # noqa: E731
        else:
            build = lambda: a.generate(self.nodes, m, GENERATE_SEED)  # noqa: E731
        first: dict = {}
        keep = op == a.base_form()

        def run_once() -> float:
            before = resident_bytes()
            started = time.perf_counter()
            g = build()
            elapsed = time.perf_counter() - started
            if not first:
                first["bytes"] = resident_bytes() - before
                nodes, edges = a.counts(g)
                first["check"] = None if op in a.inexact else {"edges": edges}
                first["graph"] = {"nodes": nodes, "edges": edges}
                if keep:  # the query ops run on this graph rather than on one built again
                    self.kept = g
            del g
            return elapsed

        times = self._repeat(run_once)
        self.inp.drop("tuples")
        self.inp.drop("flat")
        return {
            "times": times,
            "bytes_per_edge": first["bytes"] / m,
            "check": first["check"],
            "built": first["graph"],
        }

    def base_graph(self):
        """The graph the query ops run on: the one the load op of the base form built, if it ran."""
        if self.kept is not None:
            g, self.kept = self.kept, None
            return g
        a = self.a
        form = a.base_form()
        if form == "load_numpy":
            return a.from_numpy(self.nodes, self.edges)
        if form == "load_flat":
            return a.from_flat(self.nodes, self.inp.get("flat"))
        return a.from_tuples(self.nodes, self.inp.get("tuples"))

    def query(self, op: str, g) -> dict:
        a = self.a
        if op == "triangles_warm" and not a.caches_results and "triangles_cold" in self.measured:
            # Without a result cache a repeated call is the cold call again; report that measurement.
            same = dict(self.measured["triangles_cold"])
            same["note"] = "no result cache: same call as cold"
            return same
        target = a.prepare(op, g)
        run = QUERY_BODIES[op](a, target, self.inp)
        if op == "triangles_warm":
            run()  # fills the cache
        checks: list = []

        def run_once() -> float:
            if op != "triangles_warm":
                a.drop_caches(target)
            started = time.perf_counter()
            result = run()
            elapsed = time.perf_counter() - started
            if not checks:
                # Checked now and let go, so a big result (an edge list) is not still held while
                # later runs build theirs.
                checks.append(check_value(op, a, target, self.inp, result))
            del result
            return elapsed

        times = self._repeat(run_once)
        out = {"times": times, "check": checks[0]}
        self.measured[op] = out
        return out


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--lib", required=True, choices=sorted(ADAPTERS))
    p.add_argument("--edges", required=True)
    p.add_argument("--queries", required=True)
    p.add_argument("--ops", required=True, help="comma-separated op names, in any order")
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--op-budget", type=float, default=20.0)
    args = p.parse_args()

    ops = [op for op in BY_NAME if op in set(args.ops.split(","))]
    try:
        adapter = ADAPTERS[args.lib]()
    except ImportError as exc:
        emit(event="fatal", message=f"cannot import {args.lib}: {exc}", interpreter=interpreter())
        return 3
    emit(event="hello", lib=args.lib, versions=adapter.versions(), interpreter=interpreter())

    edges = np.load(args.edges)
    queries = np.load(args.queries)
    runner = Runner(adapter, edges, queries, max(1, args.repeat), args.op_budget)

    def attempt(op: str, work) -> None:
        if op in adapter.unsupported:
            emit(event="unsupported", op=op, reason=adapter.unsupported[op])
            return
        emit(event="start", op=op)
        try:
            out = work(op)
        except Exception as exc:  # reported per op; the other ops still run
            emit(event="error", op=op, message=f"{type(exc).__name__}: {exc}")
            return
        out.setdefault("note", adapter.notes.get(op))
        emit(event="done", op=op, seconds=min(out["times"]), runs=len(out["times"]), **out)

    for op in (o for o in ops if BY_NAME[o].kind == "load"):
        attempt(op, runner.load)

    query_ops = [o for o in ops if BY_NAME[o].kind == "query"]
    if query_ops:
        if runner.kept is not None:
            g = runner.base_graph()  # the load op's own graph: nothing to build
        else:
            emit(event="setup", what="building the graph for the query ops")
            started = time.perf_counter()
            g = runner.base_graph()
            emit(event="setup_done", seconds=time.perf_counter() - started)
        for op in query_ops:
            attempt(op, lambda name: runner.query(name, g))
    emit(event="end")
    return 0


if __name__ == "__main__":
    sys.exit(main())
