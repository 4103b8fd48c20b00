"""The worker pool: results independent of its size, how it is sized, threads and fork."""

import os
import threading

import pytest

from quillmesh._accel import IntGraphCore
from support import THREADS, WORKER_COUNTS, finish_python, run_threads, start_python

POOL_VARIABLES = ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")


def start(script, env, *args):
    """Starts a fresh interpreter on script, with the pool variables of env only."""
    return start_python(script, *args, env=env, unset=POOL_VARIABLES)


def run(script, env, *args):
    return finish_python(start(script, env, *args)).stdout_text


WORKLOAD = """
    from quillmesh._accel import IntGraphCore
    g = IntGraphCore()
    g.build_random(4000, 16000, 7)
    g.add_edges_from([(-1, x) for x in range(0, 4000, 3)] + [(5, 5), (-9, -9)])
    g.add_nodes_from([10**12, -(10**12)])
    print(g.triangle_count())
    print(repr(g.pagerank()))
    print(repr(g.pagerank(0.6, 40, 0.0)))
    print(g.has_edges([(u, v) for u in range(-1, 80) for v in range(0, 4000, 29)]))
    print(g.connected_component_sizes())
"""


def test_results_independent_of_worker_count():
    procs = [start(WORKLOAD, {"RAYON_NUM_THREADS": str(k)}) for k in WORKER_COUNTS]
    outs = [finish_python(p).stdout_text for p in procs]
    assert len(set(outs)) == 1
    count, _, _, answers, _ = outs[0].splitlines()
    assert int(count) > 0 and "True" in answers and "False" in answers


# The scripts below count the pool's threads with this.
POOL_THREADS = """
    import os
    def threads():  # the pool's own threads, by name: a sanitizer may run a thread of its own
        names = []
        for task in os.listdir("/proc/self/task"):
            try:
                with open(f"/proc/self/task/{task}/comm") as f:
                    names.append(f.read().strip())
            except FileNotFoundError:  # a thread that has just ended
                pass
        return names.count("quillmesh-pool")
"""

POOL_SIZE = POOL_THREADS + """
    import sys
    if sys.argv[2] == "pin":
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
    from quillmesh._accel import IntGraphCore
    before = threads()
    g = IntGraphCore()
    g.add_edge(1, 2), g.add_edge(2, 3), g.add_edge(3, 1)
    IntGraphCore().pagerank(), g.nodes(), g.shortest_path_length(1, 3), g.subgraph_edge_count([1, 2])
    assert threads() == before, "the pool started before any parallel loop"
    {"triangles": IntGraphCore().triangle_count, "has_edges": lambda: g.has_edges([]),
     "pagerank": g.pagerank}[sys.argv[1]]()
    started = threads()
    g.triangle_count(), g.pagerank(), g.has_edges([(1, 2)] * 100)
    assert threads() == started, "a second pool"
    print(started - before)
"""


@pytest.mark.parametrize(("threads", "cpus", "first", "pin", "workers"), [
    ("3", None, "triangles", "-", 3), ("1", "4", "has_edges", "-", 1), ("5", None, "pagerank", "pin", 5),
    ("abc", "2", "triangles", "pin", 2), ("-3", "4", "triangles", "-", 4), (None, "3", "has_edges", "pin", 3),
    # pinned to one processor: an explicit zero, or nothing usable, means one worker per processor
    ("0", "4", "triangles", "pin", 1), ("", " 2", "triangles", "pin", 1), (None, "0", "pagerank", "pin", 1),
    ("2x", "-1", "has_edges", "pin", 1),
])
def test_pool_size(threads, cpus, first, pin, workers):
    env = {k: v for k, v in zip(POOL_VARIABLES, (threads, cpus)) if v is not None}
    assert int(run(POOL_SIZE, env, first, pin)) == workers


def test_pool_size_defaults_to_available_processors():
    workers = int(run(POOL_SIZE, {}, "triangles", "-"))
    assert 1 <= workers <= len(os.sched_getaffinity(0))


def test_python_threads_share_the_pool():
    def work(seed):
        g = IntGraphCore()
        g.build_random(1500, 6000, seed)
        g.add_edges_from([(-seed, x) for x in range(0, 1500, 2)])
        return g.triangle_count(), g.pagerank(), g.pagerank(0.7, 30, 0.0), g.connected_component_sizes()

    expected = {seed: work(seed) for seed in range(1, THREADS + 1)}
    barrier = threading.Barrier(THREADS)
    got = {}

    def body(i):
        barrier.wait()
        got[i + 1] = [work(i + 1) for _ in range(3)]

    run_threads(body, timeout=300)
    assert got == {seed: [want] * 3 for seed, want in expected.items()}


FORK = POOL_THREADS + """
    from quillmesh._accel import IntGraphCore
    g = IntGraphCore()
    g.build_random(2000, 8000, 3)
    expected = g.triangle_count(), g.pagerank()
    assert expected[0] > 0 and threads() == 2
    pid = os.fork()
    if pid == 0:
        failed = threads() != 0
        h = IntGraphCore()
        h.build_random(2000, 8000, 3)
        failed |= ((h.triangle_count(), h.pagerank()) != expected) << 1
        failed |= (g.has_edges(g.edges()) != [True] * g.number_of_edges()) << 2
        failed |= (threads() != 2) << 3
        os._exit(failed)
    _, status = os.waitpid(pid, 0)
    print(os.waitstatus_to_exitcode(status), (g.triangle_count(), g.pagerank()) == expected, threads())
"""


def test_fork_after_pool_started():
    assert run(FORK, {"RAYON_NUM_THREADS": "2"}).split() == ["0", "True", "2"]
