"""What the tests share: the table of IntGraphCore's methods, a pure-Python reference graph with every
analysis, graph makers, argument objects that misbehave, and thread and subprocess runners.

Tests import it as a plain module (`from support import ...`): pytest puts this folder on sys.path
because it is not a package.
"""

import collections.abc
import functools
import os
import random
import subprocess
import sys
import textwrap
import threading
from collections import deque
from dataclasses import dataclass

from quillmesh._accel import IntGraphCore

I64_MIN, I64_MAX, U64_MAX = -(2**63), 2**63 - 1, 2**64 - 1
EXTREMES = [I64_MIN, I64_MIN + 1, -1, 0, 1, I64_MAX - 1, I64_MAX]
REFUSED = {"shared": "Already mutably borrowed", "exclusive": "Already borrowed"}  # by the borrow wanted
THREADS = 8  # Python threads in the concurrency tests
WORKER_COUNTS = (1, 2, 5)  # pool sizes whose results must agree
TIMEOUT = 30  # seconds before a thread or a subprocess counts as stuck


# ---------------------------------------------------------------------------------------------
# The methods


@dataclass(frozen=True)
class Param:
    name: str
    kind: str  # how it converts: "i64", "u64", "f64", "seq[i64]" (a sequence of ids), "seq[pair]" (of 2-tuples)
    default: str | None = None  # as the text signature writes it


@dataclass(frozen=True)
class Method:
    name: str
    params: tuple[Param, ...]
    borrow: str  # "shared" or "exclusive"
    doc: str | None  # what __doc__ holds after the text signature
    sample: tuple  # arguments that succeed on sample_graph()

    @property
    def param_names(self):
        return tuple(p.name for p in self.params)

    @property
    def signature(self):
        return "($self" + "".join(f", {p.name}" + (f"={p.default}" if p.default else "") for p in self.params) + ")"

    def __call__(self, g, *args, **kwargs):
        return getattr(g, self.name)(*args, **kwargs)


def _method(name, params, borrow, sample=(), doc=None):
    declared = tuple(Param(*p.split(":")) for p in params.split())
    return Method(name, declared, borrow, doc, sample)


# Every public method of IntGraphCore, in registration order. Parameters are "name:kind[:default]".
# pagerank and triangle_count fill the graph's cache, so they take the exclusive borrow like mutations.
METHODS = (
    _method("add_node", "n:i64", "exclusive", (1,)),
    _method("add_edge", "u:i64 v:i64", "exclusive", (1, 2)),
    _method("add_edges_from", "edges:seq[pair]", "exclusive", ([(1, 2)],)),
    _method("add_edges_flat", "flat:seq[i64]", "exclusive", ([1, 2],)),
    _method("add_nodes_from", "nodes:seq[i64]", "exclusive", ([1],)),
    _method("has_edge", "u:i64 v:i64", "shared", (1, 2)),
    _method("build_random", "n:i64 m:u64 seed:u64:42", "exclusive", (3, 0),
            "Native bulk random graph generation (Erős-Rényi G_{n,m} style)\n"
            "Bypasses Python list allocations for massive benchmarks."),
    _method("has_node", "n:i64", "shared", (1,)),
    _method("number_of_nodes", "", "shared"),
    _method("number_of_edges", "", "shared"),
    _method("neighbors", "n:i64", "shared", (2,)),
    _method("degree", "n:i64", "shared", (1,)),
    _method("nodes", "", "shared"),
    _method("edges", "", "shared"),
    _method("edges_flat", "", "shared"),
    _method("degree_sequence", "", "shared"),
    _method("has_edges", "edges:seq[pair]", "shared", ([(1, 2), (2, 3)],)),
    _method("triangle_count", "", "exclusive", (),
            "Triangle counting using CSR sorted merge-intersection.\n"
            "The sorted adjacency in CSR enables SIMD-friendly sequential scans."),
    _method("connected_component_sizes", "", "shared", (), "Connected components via parallel BFS."),
    _method("shortest_path_length", "source:i64 target:i64", "shared", (1, 2)),
    _method("subgraph_edge_count", "nodes:seq[i64]", "shared", ([1, 2],)),
    _method("pagerank", "damping:f64:0.85 max_iter:u64:100 tol:f64:1e-6", "exclusive", (),
            "SIMD-friendly PageRank using contiguous f64 arrays + rayon parallel scatter."),
)
# The special methods the class defines itself (bool() goes through __len__).
SPECIALS = (
    _method("__len__", "", "shared"),
    _method("__contains__", "n:i64", "shared", (1,)),
    _method("__repr__", "", "shared"),
)
METHOD = {m.name: m for m in METHODS + SPECIALS}


def sample_graph():
    g = IntGraphCore()
    g.add_edge(1, 2)
    g.add_edge(2, 3)
    return g


# ---------------------------------------------------------------------------------------------
# The reference


@functools.cache
def panic_type():
    """PanicException, which the module does not export."""
    try:
        IntGraphCore().build_random(0, 1)
    except BaseException as e:  # noqa: BLE001 - the one way to reach the type
        return type(e)
    raise AssertionError("build_random(0, 1) did not fail")


def xorshift(seed):
    """The states of build_random's generator."""
    x = seed if seed > 1 else 1
    while True:
        x ^= (x << 13) & U64_MAX
        x ^= x >> 7
        x ^= (x << 17) & U64_MAX
        yield x


class Model:
    """IntGraphCore in plain Python, under the native method names, so one call can go to both.

    Orders belong to the native store: neighbours and listings come back as sets, and the analyses
    whose result follows nodes() take that order as their first argument."""

    def __init__(self):
        self.adj = {}  # node -> set of neighbours; a self-loop is the node in its own set
        self.edge_count = 0

    @classmethod
    def of(cls, edges=(), nodes=()):
        m = cls()
        m.add_nodes_from(nodes)
        m.add_edges_from(edges)
        return m

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
        flat = list(flat)
        self.add_edges_from(zip(flat[0::2], flat[1::2]))

    def build_random(self, n, m, seed=42):
        taken = sum(u != v and 0 <= u and v < n for u, v in self.edges())  # edges come as (u, v), u <= v
        if n < 0 or n > 0 and m > n * (n - 1) // 2 - taken:
            raise ValueError()
        if m and not n:
            raise panic_type()("attempt to calculate the remainder with a divisor of zero")
        self.random_edges(n, m, seed)

    def random_edges(self, n, m, seed=42):
        """Adds what build_random(n, m, seed) adds, unchecked; returns the new pairs as drawn, in order."""
        draws, added = xorshift(seed), []
        while len(added) < m:
            u, v = next(draws) % n, next(draws) % n
            if u != v and not self.has_edge(u, v):
                self.add_edge(u, v)
                added.append((u, v))
        return added

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

    def has_edges(self, pairs):
        return [self.has_edge(u, v) for u, v in pairs]

    def subgraph_edge_count(self, nodes):
        inside = set(nodes)
        return sum(u in inside and v in inside for u, v in self.edges())

    def distances(self, source):
        """Hop distance from source to every node it reaches, itself included (none if it is absent)."""
        if source not in self.adj:
            return {}
        dist, queue = {source: 0}, deque([source])
        while queue:
            u = queue.popleft()
            for v in self.adj[u]:
                if v not in dist:
                    dist[v] = dist[u] + 1
                    queue.append(v)
        return dist

    def shortest_path_length(self, source, target):
        return 0 if source == target else self.distances(source).get(target, -1)

    def triangle_count(self):
        # every triangle is met once from each of its three edges; self-loops close none
        adj = self.adj
        return sum(len(adj[u] & adj[v] - {u, v}) for u in adj for v in adj[u] if u < v) // 3

    def connected_component_sizes(self, order):
        """Component sizes, each where `order` first meets one of its nodes."""
        seen, sizes = set(), []
        for s in order:
            if s in seen:
                continue
            todo, first = [s], len(seen)
            seen.add(s)
            while todo:
                new = self.adj[todo.pop()] - seen
                seen |= new
                todo += new
            sizes.append(len(seen) - first)
        return sizes

    def pagerank(self, order, damping=0.85, max_iter=100, tol=1e-6):
        return self.pagerank_steps(order, damping, max_iter, tol)[0]

    def pagerank_steps(self, order, damping=0.85, max_iter=100, tol=1e-6):
        """The power iteration with `order` as rows: (result, the summed change of every iteration run).

        Each receiver adds its shares in ascending sender row, which fixes every rounding."""
        n = len(order)
        if n == 0:
            return [], []
        row = {u: i for i, u in enumerate(order)}
        rows = [sorted(row[v] for v in self.adj[u]) for u in order]
        cur, base, diffs = [1.0 / float(n)] * n, (1.0 - damping) / float(n), []
        while len(diffs) < max_iter:
            nxt = [base] * n
            for i, targets in enumerate(rows):
                if targets:
                    share = (damping * cur[i]) / float(len(targets))
                    for j in targets:
                        nxt[j] += share
            diff = 0.0
            for a, b in zip(cur, nxt):
                diff += abs(a - b)
            cur = nxt
            diffs.append(diff)
            if diff < tol:
                break
        return list(zip(order, cur)), diffs


def model_of(g):
    """The reference holding what g holds, as g lists it."""
    return Model.of(g.edges(), g.nodes())


def bits(ranks):
    """pagerank() results with exact float bits; every NaN reads as 'nan'."""
    return [(u, s.hex()) for u, s in ranks]


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
    assert sorted(graph.nodes()) == sorted(model.nodes())
    edges = graph.edges()
    assert len(edges) == m and all(u <= v for u, v in edges) and set(edges) == model.edges()
    seq = graph.degree_sequence()
    assert len(seq) == n and dict(seq) == model.degree_sequence()


def state(g):
    """Everything observable about a graph, orders included; the listings must agree with each other."""
    nodes, edges, seq = g.nodes(), g.edges(), g.degree_sequence()
    assert [u for u, _ in seq] == nodes and g.edges_flat() == [x for e in edges for x in e]
    return nodes, edges, [g.neighbors(u) for u in nodes], seq, g.number_of_edges()


# ---------------------------------------------------------------------------------------------
# Graph makers


def graph(edges=(), nodes=()):
    """A graph holding `edges`, then `nodes`."""
    g = IntGraphCore()
    g.add_edges_from(list(edges))
    g.add_nodes_from(list(nodes))
    return g


def random_graph(rng, ids, steps, *, loops=0.05, isolated=0.0, repeats=0.0, hub=None, at_hub=0.0):
    """A graph and its model after `steps` random calls among `ids`, one at a time: add_edge, with
    self-loops, repeats of an earlier edge turned around and edges at a hub; or a lone add_node."""
    g, m, edges = IntGraphCore(), Model(), []
    for _ in range(steps):
        if rng.random() < isolated:
            n = rng.choice(ids)
            g.add_node(n)
            m.add_node(n)
            continue
        u = hub if hub is not None and rng.random() < at_hub else rng.choice(ids)
        v = u if rng.random() < loops else rng.choice(ids)
        if edges and rng.random() < repeats:
            v, u = rng.choice(edges)
        edges.append((u, v))
        g.add_edge(u, v)
        m.add_edge(u, v)
    return g, m


# ---------------------------------------------------------------------------------------------
# Arguments that misbehave


class Boom(Exception):
    pass


class Interrupt(KeyboardInterrupt):
    """Raised from user code like a Ctrl-C; the tests always catch it."""


class Index:
    """__index__ returns `value`; raises it if it is an exception (a new one each time if it is a
    class, so that no traceback piles up); appends `tag` to `log` first."""

    def __init__(self, value, log=None, tag=None):
        self.value, self.log, self.tag = value, log, tag

    def __index__(self):
        if self.log is not None:
            self.log.append(self.tag)
        if isinstance(self.value, type) and issubclass(self.value, BaseException):
            raise self.value("hostile")
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Seq(collections.abc.Sequence):
    """A sequence that is not a list. len() may lie (an int), fail ("fail": Boom) or be interrupted
    ("interrupt"); iteration may fail at item `fail_at` or not return an iterator (`bad_iter`)."""

    def __init__(self, items, length=None, fail_at=None, bad_iter=False):
        self.items, self.length, self.fail_at, self.bad_iter = list(items), length, fail_at, bad_iter

    def __len__(self):
        if self.length == "fail":
            raise Boom("no length")
        if self.length == "interrupt":
            raise Interrupt("len")
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return 5 if self.bad_iter else self.iterate()

    def iterate(self):
        for k, x in enumerate(self.items):
            if k == self.fail_at:
                raise Boom("iteration failed")
            yield x


# ---------------------------------------------------------------------------------------------
# Threads and subprocesses


def run_threads(target, count=THREADS, timeout=TIMEOUT):
    """Runs target(i) on count threads; fails on any exception and on a thread that does not finish."""
    errors = []

    def guarded(i):
        try:
            target(i)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=guarded, args=(i,), daemon=True) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout)
    assert not any(t.is_alive() for t in threads), "a thread is stuck (deadlock?)"
    assert not errors, errors[:3]


def start_python(code, *args, env=(), unset=(), cwd=None):
    """Starts a fresh interpreter on code; env adds variables, unset drops inherited ones."""
    environ = {k: v for k, v in os.environ.items() if k not in unset}
    environ.update(env)
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), *map(str, args)], env=environ, cwd=cwd,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def finish_python(proc, timeout=120):
    """Waits for an interpreter from start_python, which must succeed; returns it with stdout and stderr."""
    try:
        proc.stdout_text, proc.stderr_text = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        raise
    assert proc.returncode == 0, proc.stderr_text[-3000:]
    return proc


def run_python(code, *args, timeout=120, **options):
    """Runs code in a fresh interpreter (see start_python) and returns its stdout."""
    return finish_python(start_python(code, *args, **options), timeout).stdout_text


def colliding_nodes(count, share=64):
    """`count` of the nodes 0, 1, 2, ... (dense indices alike, when they are the first nodes added to
    a graph) whose products with the neighbour tables' Fibonacci multiplier lie in the lowest
    1/share of the range: every table capacity gives them homes in its first 1/share of slots."""
    golden, limit, found, i = 0x9E3779B97F4A7C15, (1 << 64) // share, [], 0
    while len(found) < count:
        if i * golden % (1 << 64) < limit:
            found.append(i)
        i += 1
    return found
