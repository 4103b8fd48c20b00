"""Hop distances from many sources on a pool of processes, one machine.

The graph is saved to a file once; every worker process loads it once, when it starts (the pool's
`initializer`), and keeps it in a module global for all the tasks it runs. A task sends only a
source id and gets back that source's distances, so the graph itself never travels through a pipe.

    python examples/process_pool.py [NODES EDGES SOURCES WORKERS]
"""

import multiprocessing
import os
import sys
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor

import numpy as np

import quillmesh.io
from quillmesh import IntGraphCore, arrays

_graph = None  # this worker's graph, loaded once when it starts


def _load_graph(path):
    global _graph
    _graph = quillmesh.io.load(path)


def _distances(source):
    # On a big graph, return a reduction instead (say the eccentricity and the count reached):
    # every array comes back through a pipe, 8 bytes per node.
    return source, arrays.distances(_graph, source)


def distances_from(path, sources, workers=2) -> dict[int, np.ndarray]:
    """{source: arrays.distances(graph, source)} for the graph saved at `path`, on `workers` processes."""
    # Each worker starts as a fresh interpreter ("spawn"). "fork" would copy this process while other
    # threads (quillmesh's worker pool, the caller's own) may hold locks that no thread of the child
    # would ever release: the child could hang, or see their data half changed.
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(workers, mp_context=context, initializer=_load_graph,
                             initargs=(os.fspath(path),)) as pool:
        return dict(pool.map(_distances, sources))


def main(nodes=200_000, edges=1_000_000, count=8, workers=2):
    g = IntGraphCore()
    started = time.perf_counter()
    g.build_random(nodes, edges, seed=7)
    built = time.perf_counter() - started
    sources = [int(s) for s in np.random.default_rng(1).choice(nodes, size=count, replace=False)]
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "graph.qmg")
        quillmesh.io.save(g, path)
        started = time.perf_counter()
        quillmesh.io.load(path)
        loaded = time.perf_counter() - started
        print(f"{g}: built in {built:.3f} s; loading the saved file (each worker does it once) {loaded:.3f} s")
        result = distances_from(path, sources, workers)
    report(g, result)


def report(g, result):
    """Prints what each source reaches, and checks one source against this process's own answer."""
    for source, dist in result.items():
        reached = dist >= 0
        print(f"source {source}: reaches {int(reached.sum())} nodes, eccentricity {int(dist[reached].max())}")
    first = next(iter(result))
    assert np.array_equal(result[first], arrays.distances(g, first))


if __name__ == "__main__":
    main(*map(int, sys.argv[1:]))
