"""Many threads on one graph, and many graphs at once, on the free-threaded build.

QM_STRESS_SECONDS sets how long the mixed run lasts (default 3 s); raise it for a soak test.
"""

import os
import random
import sys
import threading
import time

import pytest

from model import I64_MAX, I64_MIN
from quillmesh._accel import IntGraphCore
from test_hostile import Oracle, snapshot

pytestmark = pytest.mark.skipif(sys._is_gil_enabled(), reason="needs the free-threaded build")

SECONDS = float(os.environ.get("QM_STRESS_SECONDS", "3"))
THREADS = 8
REFUSED = {"shared": "Already mutably borrowed", "exclusive": "Already borrowed"}
POOL = list(range(-40, 260)) + [I64_MIN, I64_MIN + 1, I64_MAX - 1, I64_MAX]


def run_threads(target, count=THREADS, limit=SECONDS + 60):
    """Runs target(i) on count threads; fails on any exception or on a thread that does not finish."""
    errors = []

    def guarded(i):
        try:
            target(i)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=guarded, args=(i,), daemon=True) for i in range(count)]
    for t in threads:
        t.start()
    deadline = time.monotonic() + limit
    for t in threads:
        t.join(max(0.1, deadline - time.monotonic()))
    assert not any(t.is_alive() for t in threads), "a thread is stuck (deadlock?)"
    assert not errors, errors[:3]


class Worker:
    """One thread's random calls; remembers what its successful mutations added and checks its reads."""

    def __init__(self, g, seed):
        self.g, self.rng = g, random.Random(seed)
        self.nodes, self.edges, self.nbrs = set(), set(), {}
        self.counts = {"ok": 0, "refused": 0}
        self.full_pair_seen = False  # build_random(2, 1) refused because {0, 1} was there
        self.last = {"number_of_edges": 0, "number_of_nodes": 0, "triangle_count": 0}

    def ids(self, k):
        return [self.rng.choice(POOL) for _ in range(k)]

    def added(self, *pairs, nodes=()):
        self.nodes.update(nodes)
        for u, v in pairs:
            self.nodes.update((u, v))
            self.edges.add((min(u, v), max(u, v)))
            self.nbrs.setdefault(u, set()).add(v)
            self.nbrs.setdefault(v, set()).add(u)

    def mine(self):
        return self.rng.choice(sorted(self.edges)) if self.edges and self.rng.random() < 0.7 else tuple(self.ids(2))

    def step(self):
        g, r = self.g, self.rng
        name = r.choice(CALLS)
        kind = "exclusive" if name in MUTATING or name in ("pagerank", "triangle_count") else "shared"
        try:
            getattr(self, name)(g)
        except RuntimeError as e:
            assert str(e) == REFUSED[kind], (name, e)
            self.counts["refused"] += 1
            return
        self.counts["ok"] += 1

    # ---- mutations: record exactly what a success added
    def add_node(self, g):
        (n,) = self.ids(1)
        g.add_node(n)
        self.added(nodes=[n])

    def add_edge(self, g):
        u, v = self.ids(2)
        g.add_edge(u, v)
        self.added((u, v))

    def add_nodes_from(self, g):
        ns = self.ids(self.rng.randrange(6))
        g.add_nodes_from(ns)
        self.added(nodes=ns)

    def add_edges_from(self, g):
        pairs = [tuple(self.ids(2)) for _ in range(self.rng.randrange(6))]
        g.add_edges_from(pairs)
        self.added(*pairs)

    def add_edges_flat(self, g):
        flat = self.ids(self.rng.randrange(11))
        g.add_edges_flat(flat)
        self.added(*zip(flat[::2], flat[1::2]))

    def build_random(self, g):
        try:
            g.build_random(2, 1, seed=self.rng.randrange(2**64))  # the only free pair is {0, 1}
            self.added((0, 1))
        except ValueError:
            self.full_pair_seen = True
        g.build_random(self.rng.randrange(10**6), 0)

    # ---- reads: what this thread added stays visible, counts never shrink
    def has_edge(self, g):
        u, v = self.mine()
        assert g.has_edge(u, v) or (min(u, v), max(u, v)) not in self.edges

    def has_edges(self, g):
        pairs = [self.mine() for _ in range(self.rng.randrange(1, 40))]
        got = g.has_edges(pairs)
        assert all(ok or (min(p), max(p)) not in self.edges for ok, p in zip(got, pairs))

    def neighbors(self, g):
        (n,) = self.ids(1)
        got, mine = g.neighbors(n), self.nbrs.get(n, set())
        assert len(got) == len(set(got)) and set(got) >= mine and g.degree(n) >= len(mine)

    def shortest_path_length(self, g):
        u, v = self.mine()
        d = g.shortest_path_length(u, v)
        assert d in (0, 1) if (min(u, v), max(u, v)) in self.edges else (d == 0) == (u == v)

    def subgraph_edge_count(self, g):
        ns = sorted(self.nodes)[:30]
        assert g.subgraph_edge_count(ns) >= sum(u in ns and v in ns for u, v in self.edges)

    def listings(self, g):
        nodes, edges, flat, seq = g.nodes(), g.edges(), g.edges_flat(), g.degree_sequence()
        assert len(set(nodes)) == len(nodes) and set(nodes) >= self.nodes and set(edges) >= self.edges
        assert all(u <= v for u, v in edges) and len(set(edges)) == len(edges) and len(flat) % 2 == 0
        assert len({u for u, _ in seq}) == len(seq) >= len(self.nodes)

    def counters(self, g):
        for name in ("number_of_edges", "number_of_nodes"):
            now = getattr(g, name)()
            assert now >= self.last[name]
            self.last[name] = now
        assert len(g) >= self.last["number_of_nodes"] and repr(g).startswith("IntGraphCore(nodes=")
        assert not self.nodes or self.rng.choice(sorted(self.nodes)) in g

    def connected_component_sizes(self, g):
        sizes = g.connected_component_sizes()
        assert all(s >= 1 for s in sizes) and sum(sizes) >= len(self.nodes)

    def triangle_count(self, g):
        now = g.triangle_count()
        assert now >= self.last["triangle_count"]
        self.last["triangle_count"] = now

    def pagerank(self, g):
        ranks = g.pagerank(max_iter=20)
        assert len({u for u, _ in ranks}) == len(ranks) and {u for u, _ in ranks} >= self.nodes


MUTATING = ["add_node", "add_edge", "add_nodes_from", "add_edges_from", "add_edges_flat", "build_random"]
CALLS = MUTATING * 2 + ["has_edge", "has_edges", "neighbors", "shortest_path_length", "subgraph_edge_count",
                        "listings", "counters", "connected_component_sizes", "triangle_count", "pagerank"] * 2


def test_many_threads_on_one_graph():
    g = IntGraphCore()
    workers = [Worker(g, seed) for seed in range(THREADS)]
    start = threading.Barrier(THREADS, timeout=30)
    end = time.monotonic() + SECONDS

    def run(i):
        start.wait()
        while time.monotonic() < end:
            workers[i].step()

    run_threads(run)
    model = Oracle()
    for w in workers:
        model.add_nodes_from(w.nodes)
        model.add_edges_from(w.edges)
    nodes, edges, nbrs, _, count = snapshot(g)
    assert set(nodes) == model.nodes() and set(edges) == model.edges() and count == len(model.edges())
    for u, got in zip(nodes, nbrs):
        assert set(got) == model.adj[u] and all(u in g.neighbors(v) for v in got)
    assert (0, 1) in edges or not any(w.full_pair_seen for w in workers)
    assert sorted(g.connected_component_sizes()) == sorted(model.connected_component_sizes(nodes))
    assert g.triangle_count() == model.triangle_count()
    ok, refused = (sum(w.counts[k] for w in workers) for k in ("ok", "refused"))
    assert ok > 100 and refused > 0, (ok, refused)  # the threads did overlap


def analyse(g, seed):
    pairs = [(u, (u * 7 + seed) % 3000) for u in range(0, 3000, 3)]
    return (g.triangle_count(), g.pagerank(), g.has_edges(pairs), g.connected_component_sizes(),
            g.subgraph_edge_count(range(0, 3000, 2)), g.shortest_path_length(0, 2999))


def test_separate_graphs_share_the_worker_pool():
    def built(seed):
        g = IntGraphCore()
        g.build_random(3000, 9000 + seed, seed=seed)
        return g

    expected = [analyse(built(seed), seed) for seed in range(THREADS)]
    rounds = [0] * THREADS
    end = time.monotonic() + SECONDS / 2

    def run(i):
        while rounds[i] == 0 or time.monotonic() < end:
            assert analyse(built(i), i) == expected[i]
            rounds[i] += 1

    run_threads(run)
    assert min(rounds) >= 1
