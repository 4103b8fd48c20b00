"""No reference, object or native memory is leaked by any call, and absurd requests fail cleanly."""

import collections.abc
import gc
import os
import subprocess
import sys
import textwrap
import tracemalloc

import numpy as np
import pytest

from quillmesh._accel import IntGraphCore

SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")  # ASan keeps freed memory and reserves address space


class Boom(Exception):
    pass


class Idx:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if self.value is None:
            raise Boom("bad index")
        return self.value


class Seq(collections.abc.Sequence):
    def __init__(self, items, fail=False):
        self.items, self.fail = items, fail

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        yield from self.items
        if self.fail:
            raise Boom("iteration failed")


class Args:
    """Argument objects that no small-int or string cache keeps alive."""

    def __init__(self):
        base = int("1" + "0" * 12)
        self.ints = [base + i for i in range(40)]
        self.bad_ints = self.ints + [Idx(None)]
        self.idx, self.small, self.bad, self.huge = Idx(base + 99), Idx(3), Idx(None), base**6
        self.pairs = [(self.ints[i], self.ints[i + 1]) for i in range(39)]
        self.bad_pairs = self.pairs + [(1, self.bad)]
        self.seq, self.bad_seq = Seq(self.ints), Seq(self.ints, fail=True)
        self.damping, self.tol, self.array = float("0.5"), float("1e-9"), np.array(self.ints)

    def watched(self):
        return [self.ints, self.ints[0], self.ints[-1], self.bad_ints, self.idx, self.small, self.bad, self.huge,
                self.pairs, self.pairs[3], self.bad_pairs, self.seq, self.bad_seq, self.damping, self.tol, self.array]


CALLS = {
    "add_node": lambda g, a: g.add_node(a.idx), "add_node!": lambda g, a: g.add_node(a.bad),
    "add_edge": lambda g, a: g.add_edge(a.ints[0], a.idx), "add_edge!": lambda g, a: g.add_edge(a.ints[0], a.huge),
    "add_nodes_from": lambda g, a: g.add_nodes_from(a.seq), "add_nodes_from!": lambda g, a: g.add_nodes_from(a.bad_ints),
    "add_edges_from": lambda g, a: g.add_edges_from(a.pairs), "add_edges_from!": lambda g, a: g.add_edges_from(a.bad_pairs),
    "add_edges_flat": lambda g, a: g.add_edges_flat(a.array), "add_edges_flat!": lambda g, a: g.add_edges_flat(a.bad_seq),
    "build_random": lambda g, a: g.build_random(a.idx, a.small, seed=a.ints[1]),
    "build_random!": lambda g, a: g.build_random(a.idx, a.small, seed=a.tol),
    "has_node": lambda g, a: g.has_node(a.idx) and a.ints[0] in g, "has_node!": lambda g, a: a.bad in g,
    "has_edge": lambda g, a: g.has_edge(*a.pairs[3]), "has_edge!": lambda g, a: g.has_edge(a.ints[0], a.damping),
    "neighbors": lambda g, a: g.neighbors(a.ints[0]), "neighbors!": lambda g, a: g.neighbors(a.huge),
    "degree": lambda g, a: g.degree(a.idx), "degree!": lambda g, a: g.degree(a.ints),
    "has_edges": lambda g, a: g.has_edges(a.pairs), "has_edges!": lambda g, a: g.has_edges(a.bad_pairs),
    "subgraph_edge_count": lambda g, a: g.subgraph_edge_count(a.ints) + g.subgraph_edge_count(a.array),
    "subgraph_edge_count!": lambda g, a: g.subgraph_edge_count(a.bad_seq),
    "shortest_path_length": lambda g, a: g.shortest_path_length(a.ints[0], a.idx),
    "shortest_path_length!": lambda g, a: g.shortest_path_length(a.idx, a.bad),
    "pagerank": lambda g, a: g.pagerank(a.damping, a.small, a.tol), "pagerank!": lambda g, a: g.pagerank(a.damping, a.bad),
}


@pytest.mark.parametrize("name", CALLS)
def test_arguments_keep_their_reference_counts(name):
    g, a, call = IntGraphCore(), Args(), CALLS[name]
    g.add_edges_from(a.pairs[:10])
    outcomes = set()
    for i in range(201):
        try:
            call(g, a)
            outcomes.add("ok")
        except (Boom, TypeError, OverflowError) as e:
            outcomes.add(type(e))
        if i == 0:  # after one call, so that one-time caches are filled
            before = [sys.getrefcount(x) for x in a.watched()]
    assert [sys.getrefcount(x) for x in a.watched()] == before
    assert len(outcomes) == 1 and ("ok" in outcomes) != name.endswith("!"), outcomes


def workload(rounds_of_failures=20):
    a = Args()
    g = IntGraphCore()
    g.build_random(4000, 16000, seed=5)
    g.add_edges_flat(np.arange(-3000, 3000))
    g.add_edges_from([(i, -i) for i in range(2000)])
    g.add_nodes_from(range(10**15, 10**15 + 500))
    results = [g.nodes(), g.edges(), g.edges_flat(), g.degree_sequence(), g.triangle_count(), g.pagerank(max_iter=5),
               g.connected_component_sizes(), g.has_edges([(i, i + 1) for i in range(3000)]), repr(g), len(g),
               g.subgraph_edge_count(range(0, 4000, 3)), g.shortest_path_length(0, 3999), g.neighbors(5), g.degree(5)]
    for _ in range(rounds_of_failures):
        for name in CALLS:
            try:
                CALLS[name](g, a)
            except (Boom, TypeError, OverflowError):
                pass
    return len(results)


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's quarantine holds on to freed memory")
def test_native_memory_stays_flat():
    for _ in range(4):
        workload(2)
    gc.collect()
    start = rss()
    for _ in range(30):  # the graph alone takes a few MB each time
        workload(2)
    gc.collect()
    assert rss() - start < 8 << 20


def test_python_allocations_stay_flat():
    workload(1)
    gc.collect()
    tracemalloc.start()
    try:
        workload(1)
        gc.collect()
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(6):
            workload()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    assert grown < 64 << 10  # one leaked object per failed call would pass this many times over


EXHAUSTION = """
import collections.abc, resource, sys
import numpy as np
from quillmesh._accel import IntGraphCore

def state(g):
    nodes = g.nodes()
    return nodes, g.edges(), [g.neighbors(u) for u in nodes], g.degree_sequence(), g.number_of_edges()

class Liar(collections.abc.Sequence):
    def __init__(self, items): self.items = items
    def __len__(self): return 2**62
    def __getitem__(self, i): return self.items[i]
    def __iter__(self): return iter(self.items)

g = IntGraphCore()
g.add_edges_from([(0, 1), (1, 2), (2, 0), (-5, 9)])
g.triangle_count()  # starts the worker pool and fills the snapshot
before = state(g)
for n, m in [(2**32 - 1, 2**62), (2**40, 2**61), (2**63 - 1, 2**64 - 1), (2**31, 2**40), (3, 2**64 - 1)]:
    try:
        g.build_random(n, m)
        sys.exit(f"build_random({n}, {m}) succeeded")
    except (MemoryError, ValueError):
        assert state(g) == before, (n, m)
assert g.subgraph_edge_count(Liar([0, 1, 2])) == 3 and g.has_edges(Liar([(2, 1), (9, -5)])) == [True, True]
g.add_nodes_from(Liar([11, 12, 13]))
g.add_edges_flat(Liar([20, 21, 22]))
g.add_edges_from(Liar([(30, 31)]))
assert {11, 12, 13, 20, 21, 30, 31} <= set(g.nodes()) and 22 not in g and g.number_of_edges() == 6

if sys.argv[1] == "limited":  # now run out of memory for real, inside the native allocations
    big = np.random.default_rng(1).integers(0, 2**40, size=2**23)
    with open("/proc/self/statm") as f:
        address_space = int(f.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (address_space + (160 << 20), resource.getrlimit(resource.RLIMIT_AS)[1]))
    before = state(g)
    for call in [lambda: g.build_random(2**31, 2**28), lambda: g.build_random(2**20, 2**27), lambda: g.add_edges_flat(big)]:
        try:
            call()
            sys.exit("no MemoryError")
        except MemoryError:
            assert state(g) == before
    try:
        g.build_random(2**40, 2**26)  # ids past 2**32 go in one at a time: the edges added so far stay
        sys.exit("no MemoryError")
    except MemoryError:
        pass
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY,) * 2)
    nodes, edges, degrees, count = g.nodes(), g.edges(), g.degree_sequence(), g.number_of_edges()
    assert count == len(edges) == len(set(edges)) > 6 and len(nodes) == len(set(nodes)) == len(degrees)
    assert sum(d for _, d in degrees) == 2 * count - sum(u == v for u, v in edges)
    assert all(g.has_edge(v, u) and u in g.neighbors(v) for u, v in edges[::997])
    assert g.triangle_count() >= 1 and g.connected_component_sizes()[0] == 3
print("done")
"""


@pytest.mark.parametrize("mode", ["plain", pytest.param("limited", marks=pytest.mark.skipif(
    SANITIZED, reason="the sanitizer reserves more address space than any limit leaves"))])
def test_absurd_requests_fail_quickly_and_cleanly(mode):
    run = subprocess.run([sys.executable, "-c", textwrap.dedent(EXHAUSTION), mode], capture_output=True, text=True,
                         timeout=20)
    assert run.returncode == 0 and run.stdout.strip() == "done", run.stderr[-3000:]
