"""What reporting progress costs the long calls: each call inside a quillmesh.progress() block against
the same call outside one, interleaved, on the benchmark's medium graph.

    python bench/progress.py [--nodes N] [--edges M] [--rounds R] [--json PATH]

Each round runs every call once untimed, then once outside a block and once inside (a block whose
callback does nothing, so only the reporting is measured, not a bar's drawing), in alternating
order; the table gives each call's median time both ways and their ratio, in wall-clock time and
in the CPU time of the whole process (which a virtual machine's slow first touch of memory does not
inflate). Run it with another build's interpreter to
compare the outside figures across builds.
"""

from __future__ import annotations

import argparse
import json
import statistics
import time
from pathlib import Path

import numpy as np

import quillmesh
from quillmesh import IntGraphCore, arrays


def calls(nodes: int, edges: int):
    rng = np.random.default_rng(7)
    flat = rng.integers(0, nodes, size=2 * edges, dtype=np.int64)
    pairs = [tuple(p) for p in rng.integers(0, nodes, size=(edges // 10, 2)).tolist()]
    subset = rng.integers(0, nodes, size=nodes // 2, dtype=np.int64)
    g = IntGraphCore()
    g.build_random(nodes, edges, 1)

    def fresh(load):
        def run():
            h = IntGraphCore()
            load(h)
        return run

    return {
        "add_edges_flat (numpy)": fresh(lambda h: h.add_edges_flat(flat)),
        "arrays.add_edges": fresh(lambda h: arrays.add_edges(h, flat[0::2], flat[1::2])),
        "build_random": fresh(lambda h: h.build_random(nodes, edges, 3)),
        "has_edges": lambda: g.has_edges(pairs),
        "subgraph_edge_count": lambda: g.subgraph_edge_count(subset),
        "pagerank (20 iterations)": lambda: g.pagerank(max_iter=20, tol=0.0),
        "triangle_count": lambda: g.triangle_count(),
        "connected_component_sizes": lambda: g.connected_component_sizes(),
        "arrays.edges": lambda: arrays.edges(g),
        "arrays.distances": lambda: arrays.distances(g, 0),
    }


def timed(call) -> tuple[float, float]:
    """(wall seconds, CPU seconds of the whole process: every worker's included)."""
    start, cpu = time.perf_counter(), time.process_time()
    call()
    return time.perf_counter() - start, time.process_time() - cpu


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--nodes", type=int, default=1_000_000)
    parser.add_argument("--edges", type=int, default=10_000_000)
    parser.add_argument("--rounds", type=int, default=6)
    parser.add_argument("--json", type=Path)
    args = parser.parse_args()

    table = calls(args.nodes, args.edges)
    outside: dict[str, list[tuple[float, float]]] = {name: [] for name in table}
    inside: dict[str, list[tuple[float, float]]] = {name: [] for name in table}
    for r in range(args.rounds):
        for name, call in table.items():
            # An untimed run first: the first call after others of other sizes meets memory the
            # machine has not handed out for a while (slow to fault in on a virtual machine), and
            # that would fall on whichever of the pair ran first.
            call()
            order = (False, True) if r % 2 == 0 else (True, False)
            for watched in order:
                if watched:
                    with quillmesh.progress(lambda event: None):
                        inside[name].append(timed(call))
                else:
                    outside[name].append(timed(call))

    rows = []
    print(f"{args.nodes:,} nodes, {args.edges:,} edges; median of {args.rounds} interleaved rounds")
    print(f"{'call':<28} {'outside s':>10} {'inside s':>10} {'ratio':>7} {'CPU out s':>10} {'CPU in s':>10} {'ratio':>7}")
    for name in table:
        (out, cpu_out), (ins, cpu_in) = (tuple(statistics.median(x) for x in zip(*runs)) for runs in (outside[name], inside[name]))
        rows.append({"call": name, "outside_s": out, "inside_s": ins, "outside_cpu_s": cpu_out, "inside_cpu_s": cpu_in})
        print(f"{name:<28} {out:>10.3f} {ins:>10.3f} {ins / out:>6.3f}x {cpu_out:>10.3f} {cpu_in:>10.3f} {cpu_in / cpu_out:>6.3f}x")
    if args.json:
        args.json.write_text(json.dumps({"nodes": args.nodes, "edges": args.edges, "rounds": args.rounds,
                                         "rows": rows}, indent=1))


if __name__ == "__main__":
    main()
