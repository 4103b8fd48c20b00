"""quillmesh in a threaded program: how long another thread waits while a long call runs.

    python bench/threads.py [--nodes N] [--edges M] [--queries Q] [--json PATH]

Run with each interpreter (`make bench` runs it with both). It prints, for the medium uniform graph:

- gc.collect() latency in a second thread while triangle_count() runs cold in the first, against
  the same collection on an idle graph (a long call that stays attached to the interpreter makes
  the collection wait for the whole call on the free-threaded build);
- the throughput of shortest_path_length from 2 threads on one graph against 1 thread (a call that
  holds the global lock keeps the standard build at about 1x).
"""

from __future__ import annotations

import argparse
import gc
import json
import random
import statistics
import sys
import sysconfig
import threading
import time

from quillmesh import IntGraphCore

MEDIUM_NODES = 1_000_000
MEDIUM_EDGES = 10_000_000
SEED = 42
# Collections started this long after the long call, so they land inside it.
GC_DELAY = 0.1
GC_ROUNDS = 5
PATH_QUERIES = 2000
PATH_ROUNDS = 3


def build() -> IntGraphCore:
    g = IntGraphCore()
    g.build_random(args.nodes, args.edges, SEED)
    return g


def busy(g: IntGraphCore) -> bool:
    """True while another call holds g's borrow."""
    try:
        g.add_edges_flat([])
    except RuntimeError:
        return True
    return False


def gc_latency(g: IntGraphCore) -> tuple[list[float], list[float], float]:
    """gc.collect() times (idle, during triangle_count) and the length of one cold count."""
    idle = []
    for _ in range(GC_ROUNDS):
        t = time.perf_counter()
        gc.collect()
        idle.append(time.perf_counter() - t)
    during, call = [], 0.0
    for _ in range(GC_ROUNDS):
        g.add_edges_flat([])  # drops the cached snapshot: the count runs cold
        took = {}

        def count() -> None:
            while True:
                t = time.perf_counter()
                try:
                    g.triangle_count()
                except RuntimeError:  # the probe below held the borrow for a moment
                    continue
                took["call"] = time.perf_counter() - t
                return

        worker = threading.Thread(target=count)
        worker.start()
        # A call that never lets this thread run is only seen once it has ended.
        while not busy(g) and worker.is_alive():
            time.sleep(0.001)
        time.sleep(GC_DELAY)
        still_running = busy(g)
        t = time.perf_counter()
        gc.collect()
        collected = time.perf_counter() - t
        worker.join()
        if still_running:
            during.append(collected)
        call = took["call"]
    return idle, during, call


def path_throughput(g: IntGraphCore, threads: int) -> float:
    """Queries per second of `threads` threads each running PATH_QUERIES searches on g."""
    rng = random.Random(SEED)
    pairs = [[(rng.randrange(args.nodes), rng.randrange(args.nodes)) for _ in range(args.queries)]
             for _ in range(threads)]
    best = 0.0
    for _ in range(PATH_ROUNDS):
        barrier = threading.Barrier(threads + 1)

        def run(mine: list[tuple[int, int]]) -> None:
            barrier.wait()
            for s, t in mine:
                g.shortest_path_length(s, t)

        workers = [threading.Thread(target=run, args=(pairs[i],)) for i in range(threads)]
        for w in workers:
            w.start()
        barrier.wait()
        t = time.perf_counter()
        for w in workers:
            w.join()
        best = max(best, threads * args.queries / (time.perf_counter() - t))
    return best


def main() -> None:
    build_name = "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "standard"
    print(f"quillmesh threads benchmark: {build_name} CPython {sys.version.split()[0]}, "
          f"{args.nodes:,} nodes, {args.edges:,} edges", flush=True)
    g = build()
    idle, during, call = gc_latency(g)
    one = path_throughput(g, 1)
    two = path_throughput(g, 2)
    result = {
        "build": build_name,
        "gc_idle_ms": 1000 * statistics.median(idle),
        "gc_during_triangle_count_ms": 1000 * statistics.median(during) if during else None,
        "gc_during_max_ms": 1000 * max(during) if during else None,
        "triangle_count_s": call,
        "paths_per_s_1_thread": one,
        "paths_per_s_2_threads": two,
        "paths_speedup": two / one,
    }
    print(f"  gc.collect() idle:                      {result['gc_idle_ms']:8.2f} ms (median of {GC_ROUNDS})")
    if during:
        print(f"  gc.collect() during triangle_count():   {result['gc_during_triangle_count_ms']:8.2f} ms "
              f"(median of {len(during)}, max {result['gc_during_max_ms']:.2f} ms; the call takes {call:.2f} s)")
    else:
        print("  gc.collect() during triangle_count():   no collection could start while the call ran")
    print(f"  shortest_path_length, 1 thread:         {one:8.0f} queries/s")
    print(f"  shortest_path_length, 2 threads:        {two:8.0f} queries/s ({two / one:.2f}x)")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(result, f, indent=2)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--nodes", type=int, default=MEDIUM_NODES)
    parser.add_argument("--edges", type=int, default=MEDIUM_EDGES)
    parser.add_argument("--queries", type=int, default=PATH_QUERIES)
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()
    main()
