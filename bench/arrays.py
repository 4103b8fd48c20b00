"""Array results and column loads against the list methods, on one graph, in one process.

    python bench/arrays.py [--nodes N] [--edges M] [--repeat R] [--json PATH]

For each pair (a method that returns Python objects, the quillmesh.arrays function that returns the
same values as an array) it reports the best time of R calls and the memory the call took above
what the process held before it (the RSS high-water mark while it ran, less the RSS before), and
checks that the two agree. The loads compare add_edges_flat of an interleaved (m, 2) array with
add_edges of its two columns (strided, then contiguous, then as pyarrow arrays when pyarrow is
installed), each into a fresh graph.
"""

from __future__ import annotations

import argparse
import gc
import json
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from rss import format_bytes, peak_watch, rss  # noqa: E402

from quillmesh import IntGraphCore, arrays  # noqa: E402


def measure(call, repeat):
    """(best seconds, peak bytes above the starting RSS, the last result)."""
    best, peak, result = float("inf"), 0, None
    for _ in range(repeat):
        result = None
        gc.collect()
        before = rss()
        with peak_watch() as watch:
            start = time.perf_counter()
            result = call()
            best = min(best, time.perf_counter() - start)
        peak = max(peak, watch.peak - before)
    return best, peak, result


def same_edges(listed, array):
    return len(listed) == len(array) and all(tuple(r) == e for r, e in zip(array[:: max(1, len(array) // 1000)].tolist(), listed[:: max(1, len(array) // 1000)]))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--nodes", type=int, default=1_000_000)
    parser.add_argument("--edges", type=int, default=10_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--json", type=Path)
    args = parser.parse_args()

    g = IntGraphCore()
    g.build_random(args.nodes, args.edges, 1)
    rows = []

    def pair(name, listed, as_array, agree):
        t_list, m_list, a = measure(listed, args.repeat)
        t_array, m_array, b = measure(as_array, args.repeat)
        assert agree(a, b), name
        del a, b
        rows.append({"call": name, "list_s": t_list, "array_s": t_array, "list_bytes": m_list, "array_bytes": m_array})

    pair("edges", g.edges, lambda: arrays.edges(g), same_edges)
    pair("nodes", g.nodes, lambda: arrays.nodes(g), lambda a, b: a == b.tolist())
    pair("degrees", g.degree_sequence, lambda: arrays.degrees(g), lambda a, b: [d for _, d in a] == b.tolist())
    pair("pagerank", g.pagerank, lambda: arrays.pagerank(g), lambda a, b: [s for _, s in a] == b.tolist())
    pair("components", g.connected_component_sizes, lambda: arrays.component_labels(g),
         lambda a, b: np.bincount(b).tolist() == a)

    ends = arrays.edges(g)
    del g
    gc.collect()
    flat = ends.reshape(-1)
    columns = {"strided columns": (ends[:, 0], ends[:, 1]),
               "contiguous columns": (ends[:, 0].copy(), ends[:, 1].copy())}
    try:
        import pyarrow as pa

        columns["pyarrow columns"] = (pa.array(ends[:, 0]), pa.array(ends[:, 1]))
    except ImportError:
        pass

    def load(call):
        def run():
            h = IntGraphCore()
            call(h)
            return h.number_of_edges(), len(h)
        return run

    t_flat, m_flat, expected = measure(load(lambda h: h.add_edges_flat(flat)), args.repeat)
    for name, (src, dst) in columns.items():
        t, m, got = measure(load(lambda h, s=src, d=dst: arrays.add_edges(h, s, d)), args.repeat)
        assert got == expected, name
        rows.append({"call": f"load: add_edges_flat vs add_edges, {name}", "list_s": t_flat, "array_s": t,
                     "list_bytes": m_flat, "array_bytes": m})

    print(f"{args.nodes:,} nodes, {args.edges:,} edges; best of {args.repeat}")
    print(f"{'call':<58} {'list/flat s':>11} {'array s':>9} {'ratio':>7} {'list mem':>10} {'array mem':>10}")
    for r in rows:
        print(f"{r['call']:<58} {r['list_s']:>11.3f} {r['array_s']:>9.3f} {r['list_s'] / r['array_s']:>6.1f}x "
              f"{format_bytes(r['list_bytes']):>10} {format_bytes(r['array_bytes']):>10}")
    if args.json:
        args.json.write_text(json.dumps({"nodes": args.nodes, "edges": args.edges, "rows": rows}, indent=1))


if __name__ == "__main__":
    main()
