"""No reference, object or native memory is leaked by any call, and absurd requests fail cleanly."""

import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

from quillmesh._accel import IntGraphCore
from support import METHODS, SPECIALS, Boom, Index, Seq, run_python

SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")  # ASan keeps freed memory and reserves address space


class Args:
    """Argument objects that no small-int or string cache keeps alive."""

    def __init__(self):
        base = int("1" + "0" * 12)
        self.ints = [base + i for i in range(40)]
        self.first, self.second, self.huge = self.ints[0], self.ints[1], base**6
        self.idx, self.small, self.bad = Index(base + 99), Index(3), Index(Boom)
        self.pairs, self.bad_ints = [(self.ints[i], self.ints[i + 1]) for i in range(39)], self.ints + [self.bad]
        self.bad_pairs, self.seq, self.bad_seq = self.pairs + [(1, self.bad)], *(
            Seq(self.ints, fail_at=fail) for fail in (None, 39))
        self.damping, self.tol, self.array = float("0.5"), float("1e-9"), np.array(self.ints)

    def watched(self):
        return [self.ints, *self.ints, self.bad_ints, self.idx, self.small, self.bad, self.huge, self.pairs,
                self.pairs[3], self.bad_pairs, self.seq, self.bad_seq, self.damping, self.tol, self.array]


# Args attributes by parameter kind: values that convert, and values that fail in different ways.
GOOD = {"i64": ["idx", "first", "second"], "u64": ["small"], "f64": ["damping", "tol"],
        "seq[i64]": ["array", "seq", "ints"], "seq[pair]": ["pairs"]}
BAD = {"i64": ["bad", "huge", "ints", "damping"], "u64": ["tol", "bad", "huge"], "f64": ["bad", "ints"],
       "seq[i64]": ["bad_ints", "bad_seq"], "seq[pair]": ["bad_pairs"]}


def arguments(k, method):
    """Arguments for the k-th converting method: all convert, or the k-th one (cyclically) fails."""
    kinds = [p.kind for p in method.params]
    good = [GOOD[kind][(k + i) % len(GOOD[kind])] for i, kind in enumerate(kinds)]
    bad = list(good)
    bad[k % len(kinds)] = BAD[kinds[k % len(kinds)]][k % len(BAD[kinds[k % len(kinds)]])]
    return " ".join(good), " ".join(bad)


# method: (arguments that convert, arguments that fail), as names of Args attributes
CALLS = {m.name: arguments(k, m) for k, m in enumerate(m for m in METHODS + SPECIALS if m.params)}


def call(g, a, method, names):
    return getattr(g, method)(*(getattr(a, name) for name in names.split()))


@pytest.mark.parametrize("method,names", [(m, names) for m, both in CALLS.items() for names in both])
def test_arguments_keep_their_reference_counts(method, names):
    g, a = IntGraphCore(), Args()
    g.add_edges_from(a.pairs[:10])
    outcomes = set()
    for i in range(201):
        try:
            call(g, a, method, names)
            outcomes.add("ok")
        except (Boom, TypeError, OverflowError) as e:
            outcomes.add(type(e))
        if i == 0:  # after one call, so that one-time caches are filled
            before = [sys.getrefcount(x) for x in a.watched()]
    assert [sys.getrefcount(x) for x in a.watched()] == before
    assert len(outcomes) == 1 and ("ok" in outcomes) == (names == CALLS[method][0]), outcomes


def workload(rounds=10):
    a = Args()
    g = IntGraphCore()
    g.build_random(4000, 16000, seed=5)
    g.add_edges_flat(np.arange(-3000, 3000))
    g.add_edges_from([(i, -i) for i in range(2000)])
    g.add_nodes_from(range(10**15, 10**15 + 500))
    results = [g.nodes(), g.edges(), g.edges_flat(), g.degree_sequence(), g.triangle_count(), g.pagerank(max_iter=5),
               g.connected_component_sizes(), g.has_edges([(i, i + 1) for i in range(3000)]), repr(g), len(g),
               g.subgraph_edge_count(range(0, 4000, 3)), g.shortest_path_length(0, 3999), g.neighbors(5), g.degree(5)]
    for _ in range(rounds):
        for method, (good, bad) in CALLS.items():
            call(g, a, method, good)
            with pytest.raises((Boom, TypeError, OverflowError)):
                call(g, a, method, bad)
    return len(results)


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_memory_stays_flat():
    for _ in range(4):
        workload(2)
    gc.collect()
    start = rss()
    for _ in range(20):  # the graph alone takes about 1 MB each time
        workload(2)
    gc.collect()
    assert SANITIZED or rss() - start < 8 << 20  # the sanitizer's quarantine holds on to freed memory
    tracemalloc.start()
    try:
        workload(), workload()  # first-time allocations (caches, specialisations) happen here
        gc.collect()
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(4):
            workload()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    assert grown < 16 << 10  # 1200 calls: leaking even a small int from each would exceed this


EXHAUSTION = """
import collections.abc, resource, sys
import numpy as np
from quillmesh._accel import IntGraphCore

class Liar(collections.abc.Sequence):
    def __init__(self, items): self.items = items
    def __len__(self): return 2**62
    def __getitem__(self, i): return self.items[i]
    def __iter__(self): return iter(self.items)

def refused(call, *errors):
    before = g.nodes(), g.edges(), g.degree_sequence(), [g.neighbors(u) for u in g.nodes()]
    try:
        call()
        sys.exit(f"no {errors}")
    except errors:
        assert (g.nodes(), g.edges(), g.degree_sequence(), [g.neighbors(u) for u in g.nodes()]) == before

g = IntGraphCore()
g.add_edges_from([(0, 1), (1, 2), (2, 0), (-5, 9)])
g.triangle_count()  # starts the worker pool and fills the snapshot
for n, m in [(2**32 - 1, 2**62), (2**40, 2**61), (2**63 - 1, 2**64 - 1), (2**31, 2**40), (3, 2**64 - 1)]:
    refused(lambda: g.build_random(n, m), MemoryError, ValueError)
assert g.subgraph_edge_count(Liar([0, 1, 2])) == 3 and g.has_edges(Liar([(2, 1), (9, -5)])) == [True, True]
g.add_nodes_from(Liar([11, 12, 13]))
g.add_edges_flat(Liar([20, 21, 22]))
g.add_edges_from(Liar([(30, 31)]))
assert {11, 12, 13, 20, 21, 30, 31} <= set(g.nodes()) and 22 not in g and g.number_of_edges() == 6

if sys.argv[1] == "limited":  # now run out of memory for real, inside the native allocations
    big, limit = np.random.default_rng(1).integers(0, 2**40, size=2**23), resource.getrlimit(resource.RLIMIT_AS)
    with open("/proc/self/statm") as f:
        mapped = int(f.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (mapped + (160 << 20), limit[1]))
    for call in [lambda: g.build_random(2**31, 2**28), lambda: g.build_random(2**20, 2**27),
                 lambda: g.add_edges_flat(big)]:
        refused(call, MemoryError)
    try:
        g.build_random(2**40, 2**26)  # whatever it kept of its edges, the graph must be consistent
        sys.exit("no MemoryError")
    except MemoryError:
        resource.setrlimit(resource.RLIMIT_AS, (limit[1], limit[1]))
    nodes, edges, degrees, count = g.nodes(), g.edges(), g.degree_sequence(), g.number_of_edges()
    assert count == len(edges) == len(set(edges)) and len(nodes) == len(set(nodes)) == len(degrees)
    assert sum(d for _, d in degrees) == 2 * count - sum(u == v for u, v in edges)
    assert all(g.has_edge(v, u) and u in g.neighbors(v) for u, v in edges[::997])
    assert g.triangle_count() >= 1 and g.connected_component_sizes()[0] == 3
print("done")
"""


@pytest.mark.parametrize("mode", ["plain", pytest.param("limited", marks=pytest.mark.skipif(
    SANITIZED, reason="the sanitizer reserves more address space than any limit leaves"))])
def test_absurd_requests_fail_quickly_and_cleanly(mode):
    assert run_python(EXHAUSTION, mode, timeout=20).strip() == "done"
