"""quillmesh.algorithms at scale: each function's time and the memory it takes above the graph.

    python bench/analyses.py EDGES.npy [FUNCTION ...] [--samples K]

EDGES.npy is an (m, 2) int64 edge array, such as the cached graphs under bench/.data (make bench
--scale large writes the 100M-edge one). Each function runs once in a fresh process that has loaded
the graph and nothing else, so one function's memory never counts towards another's; the figure is
the peak resident memory while it ran (the kernel's high-water mark, reset first, or RSS sampled
where that cannot be reset) less the resident memory before, its result included, in bytes per
edge. Functions: core_numbers, triangles, clustering, transitivity, modularity (of the partition
node position % 97), betweenness (sampled from --samples sources, 16 by default), communities and
diameter; default all but communities and diameter, which at 100M uniform edges take long
(communities) or longer than anyone waits (diameter of a dense random graph).
"""

from __future__ import annotations

import argparse
import gc
import json
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from rss import format_bytes, peak_watch, resident_bytes  # noqa: E402

FUNCTIONS = ("core_numbers", "triangles", "clustering", "transitivity", "modularity", "betweenness", "communities",
             "diameter")
DEFAULT = FUNCTIONS[:6]
MODULARITY_GROUPS = 97


def run_one(path: str, name: str, samples: int) -> dict:
    """In this process: load the graph, run one function, report."""
    import numpy as np
    from quillmesh import IntGraphCore, algorithms

    g = IntGraphCore()
    g.add_edges_flat(np.load(path, mmap_mode="r").reshape(-1))
    m = g.number_of_edges()
    calls = {
        "core_numbers": lambda: algorithms.core_numbers(g),
        "triangles": lambda: algorithms.triangles(g),
        "clustering": lambda: algorithms.clustering(g),
        "transitivity": lambda: algorithms.transitivity(g),
        "modularity": lambda: algorithms.modularity(g, np.arange(len(g), dtype=np.int64) % MODULARITY_GROUPS),
        "betweenness": lambda: algorithms.betweenness(g, samples=samples),
        "communities": lambda: algorithms.communities(g),
        "diameter": lambda: algorithms.diameter(g),
    }
    call = calls[name]
    gc.collect()
    before = resident_bytes()
    with peak_watch() as watch:
        start = time.perf_counter()
        result = call()
        seconds = time.perf_counter() - start
    del result
    over = max(watch.peak - before, 0)
    return {"function": name, "edges": m, "seconds": seconds, "peak_over_graph": over, "bytes_per_edge": over / m,
            "graph_bytes": before}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("edges", help="an (m, 2) int64 .npy edge array")
    parser.add_argument("functions", nargs="*", help=f"from {', '.join(FUNCTIONS)}; default: {', '.join(DEFAULT)}")
    parser.add_argument("--samples", type=int, default=16, help="sources of the sampled betweenness")
    parser.add_argument("--json", help="also write the results to this file")
    parser.add_argument("--one", help=argparse.SUPPRESS)  # the child's own run
    args = parser.parse_args()
    unknown = [name for name in args.functions if name not in FUNCTIONS]
    if unknown:
        parser.error(f"unknown function {unknown[0]!r}; known: {', '.join(FUNCTIONS)}")
    if args.one:
        print(json.dumps(run_one(args.edges, args.one, args.samples)))
        return
    rows = []
    for name in args.functions or DEFAULT:
        done = subprocess.run([sys.executable, __file__, args.edges, "--one", name, "--samples", str(args.samples)],
                              capture_output=True, text=True, check=True)
        row = json.loads(done.stdout.strip().splitlines()[-1])
        rows.append(row)
        print(f"{name:<14}{row['seconds']:>9.2f} s  {format_bytes(row['peak_over_graph']):>9} over the graph "
              f"({row['bytes_per_edge']:.1f} B/edge; graph {format_bytes(row['graph_bytes'])})", flush=True)
    if args.json:
        Path(args.json).write_text(json.dumps(rows, indent=2))


if __name__ == "__main__":
    main()
