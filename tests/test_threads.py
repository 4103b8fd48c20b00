"""Many threads on one graph, and many graphs at once, on the free-threaded build.

QM_STRESS_SECONDS sets how long the mixed run lasts (default 3 s); raise it for a soak test.
"""

import os
import random
import sys
import threading
import time

import pytest

from quillmesh._accel import IntGraphCore
from support import I64_MAX, I64_MIN, METHOD, REFUSED, THREADS, Model, run_threads, state

pytestmark = pytest.mark.skipif(sys._is_gil_enabled(), reason="needs the free-threaded build")

SECONDS = float(os.environ.get("QM_STRESS_SECONDS", "3"))
POOL = list(range(-40, 260)) + [I64_MIN, I64_MIN + 1, I64_MAX - 1, I64_MAX]


class Worker:
    """One thread's random calls: records what its successful mutations added, checks what it reads."""

    def __init__(self, g, seed):
        self.g, self.rng, self.model, self.done = g, random.Random(seed), Model(), {"ok": 0, "refused": 0}
        self.pair_was_taken, self.last = False, (0, 0, 0)  # build_random(2, 1) refused; counts seen so far

    def ids(self, k):
        return [self.rng.choice(POOL) for _ in range(k)]

    def known(self, count):  # mostly edges this thread added, so that reads can be checked against them
        edges, r = sorted(self.model.edges()), self.rng
        return [r.choice(edges) if edges and r.random() < 0.7 else tuple(self.ids(2)) for _ in range(count)]

    def step(self):
        g, m, r = self.g, self.model, self.rng
        name = r.choice(CALLS)
        try:
            if name in ("add_node", "add_edge", "add_nodes_from", "add_edges_from", "add_edges_flat"):
                args = {"add_node": lambda: self.ids(1), "add_edge": lambda: self.ids(2),
                        "add_nodes_from": lambda: [self.ids(r.randrange(6))],
                        "add_edges_flat": lambda: [self.ids(r.randrange(11))],
                        "add_edges_from": lambda: [[tuple(self.ids(2)) for _ in range(r.randrange(6))]]}[name]()
                getattr(g, name)(*args)
                getattr(m, name)(*args)
            elif name == "build_random":
                try:
                    g.build_random(2, 1, seed=r.randrange(2**64))  # the only free pair among 0..1 is {0, 1}
                    m.add_edge(0, 1)
                except ValueError:
                    self.pair_was_taken = True
            elif name == "pairs":
                pairs = self.known(r.randrange(1, 40))
                assert all(ok >= m.has_edge(*p) and g.has_edge(*p) >= ok for p, ok in zip(pairs, g.has_edges(pairs)))
                (u, v), d = pairs[0], g.shortest_path_length(*pairs[0])
                assert d in (0, 1) if m.has_edge(u, v) else (d == 0) == (u == v)
            elif name == "neighbors":
                (n,) = self.ids(1)
                got = g.neighbors(n)
                assert len(got) == len(set(got)) and set(got) >= m.adj.get(n, set()) and g.degree(n) >= m.degree(n)
            elif name == "listings":
                nodes, edges, flat, seq = g.nodes(), g.edges(), g.edges_flat(), g.degree_sequence()
                assert len(set(nodes)) == len(nodes) and set(nodes) >= m.nodes() and set(edges) >= m.edges()
                assert all(u <= v for u, v in edges) and len(set(edges)) == len(edges) and len(flat) % 2 == 0
                assert len({u for u, _ in seq}) == len(seq) >= len(m.adj) and all(n in g for n in list(m.adj)[:5])
                assert g.subgraph_edge_count(list(m.adj)[:30]) >= m.subgraph_edge_count(list(m.adj)[:30])
                sizes = g.connected_component_sizes()
                assert min(sizes, default=1) >= 1 and sum(sizes) >= len(m.adj)
            elif name == "counters":  # nothing is ever removed
                now = (g.number_of_nodes(), g.number_of_edges(), len(g))
                assert all(a >= b for a, b in zip(now, self.last)) and repr(g).startswith("IntGraphCore(nodes=")
                self.last = now
            elif name == "triangle_count":
                assert g.triangle_count() >= m.triangle_count()
            else:
                ranks = g.pagerank(max_iter=20)
                assert len({u for u, _ in ranks}) == len(ranks) and {u for u, _ in ranks} >= m.nodes()
        except RuntimeError as e:  # every step makes calls of one borrow kind only
            assert str(e) == REFUSED[METHOD[name].borrow if name in METHOD else "shared"], (name, e)
            self.done["refused"] += 1
            return
        self.done["ok"] += 1


CALLS = ["add_node", "add_edge", "add_nodes_from", "add_edges_from", "add_edges_flat", "build_random", "pairs",
         "neighbors", "listings", "counters", "triangle_count", "pagerank"]


def test_many_threads_on_one_graph():
    g = IntGraphCore()
    workers, start = [Worker(g, seed) for seed in range(THREADS)], threading.Barrier(THREADS, timeout=30)
    end = time.monotonic() + SECONDS

    def run(i):
        start.wait()
        while time.monotonic() < end:
            workers[i].step()

    run_threads(run, timeout=SECONDS + 60)
    model = Model()
    for w in workers:
        model.add_nodes_from(w.model.nodes())
        model.add_edges_from(w.model.edges())
    nodes, edges, nbrs, _, count = state(g)
    assert set(nodes) == model.nodes() and set(edges) == model.edges() and count == len(model.edges())
    for u, got in zip(nodes, nbrs):
        assert set(got) == model.adj[u] and all(u in g.neighbors(v) for v in got)
    assert (0, 1) in edges or not any(w.pair_was_taken for w in workers)
    assert g.connected_component_sizes() == model.connected_component_sizes(nodes)
    assert g.triangle_count() == model.triangle_count()
    ok, refused = (sum(w.done[k] for w in workers) for k in ("ok", "refused"))
    assert ok > 100 and refused > 0, (ok, refused)  # the threads did overlap


def analyse(g, seed):
    return (g.triangle_count(), g.pagerank(), g.has_edges([(u, (u * 7 + seed) % 3000) for u in range(0, 3000, 3)]),
            g.connected_component_sizes(), g.subgraph_edge_count(range(0, 3000, 2)), g.shortest_path_length(0, 2999))


def test_separate_graphs_share_the_worker_pool():
    def built(seed):
        g = IntGraphCore()
        g.build_random(3000, 9000 + seed, seed=seed)
        return g

    expected = [analyse(built(seed), seed) for seed in range(THREADS)]
    rounds, end = [0] * THREADS, time.monotonic() + SECONDS / 2

    def run(i):
        while rounds[i] == 0 or time.monotonic() < end:
            assert analyse(built(i), i) == expected[i]
            rounds[i] += 1

    run_threads(run, timeout=SECONDS + 60)


def test_arguments_changed_by_another_thread_while_read():
    g, ints, pairs = IntGraphCore(), list(range(1000)), [(i, i + 1) for i in range(500)]
    end = time.monotonic() + SECONDS / 2

    def run(i):
        r = random.Random(i)
        while time.monotonic() < end:
            if i == 0:  # reads every argument while the other thread changes them
                g.add_nodes_from(ints), g.add_edges_from(pairs), g.add_edges_flat(ints), g.subgraph_edge_count(ints)
                assert all(type(x) is bool for x in g.has_edges(pairs))
            elif r.random() < 0.5:
                ints.extend(r.randrange(2000) for _ in range(r.randrange(30)))
                pairs.extend((r.randrange(2000), r.randrange(2000)) for _ in range(r.randrange(30)))
            else:
                del ints[r.randrange(len(ints) + 1):], pairs[r.randrange(len(pairs) + 1):]

    run_threads(run, count=2, timeout=SECONDS + 60)
    assert all(0 <= u < 2000 for u in g.nodes()) and all(0 <= u <= v < 2000 for u, v in g.edges())
