"""quillmesh on one very large random graph, step by step, in one process: time and memory of each step.

    .venv-bench-ft/bin/python bench/billion.py                      # 100M nodes, 1B edges
    .venv-bench-ft/bin/python bench/billion.py --edges 10000000     # a quick trial (nodes: edges / 10)

Steps: build_random(n, m, seed), quillmesh.io.save(g, file), then (the built graph dropped)
quillmesh.io.load(file), on whose graph the rest run: connected_component_sizes(), a few
shortest_path_length(s, t) calls, triangle_count() and quillmesh.arrays.pagerank(g). The file (about
9 GB at a billion edges; --file, default bench/.data/billion.qmg) is removed at the end unless
--keep-file. PageRank runs cold, like the benchmark's
(the forward rows that triangle_count() left are dropped first), so the figures line up with
bench/scaling.py's chart. Its scores come as one float64 array (8 bytes a node): the method's list of
(node, score) tuples would need 150 bytes a node, 15 GB more at a billion edges, which no machine
that holds such a graph has to spare. For each step it prints and records:

- the wall time;
- the peak RSS during the step, sampled by a thread from /proc/self/statm every 2 ms (the native
  work runs detached from the interpreter, so the thread keeps sampling on either build), and that
  peak above the RSS before the step;
- the process's peak RSS so far (ru_maxrss) and the settled RSS after the step, its results freed.

While a step runs, quillmesh.progress() draws its calls' progress on standard error (a tqdm bar, or
one line rewritten in place), so a step of minutes shows how far it has got; --no-progress leaves
it out.

Results go to bench/results/billion.json (rewritten after every step, so a run that dies still
leaves the steps before). The process caps its own address space (--memory-limit): a step that does
not fit raises MemoryError, is recorded as out of memory, and the steps after it still run if they
can. Not part of `make test` or `make bench`.
"""

from __future__ import annotations

import argparse
import datetime as dt
import json
import os
import platform
import random
import sys
import sysconfig
import time
from pathlib import Path

from rss import (GIB, SampledPeak, available_memory, format_bytes, limit_address_space, max_rss, resident_bytes,
                 total_memory)

import quillmesh
import quillmesh.io
from quillmesh import IntGraphCore, arrays

BENCH = Path(__file__).resolve().parent
DEFAULT_NODES = 10**8
DEFAULT_EDGES = 10**9
SEED = 7
PATH_PAIRS = 5
PATH_SEED = 11
STEPS = ("build", "save", "load", "components", "paths", "triangles", "pagerank")
# The billion-edge graph needs nearly all of the machine; this much is left to the rest of it.
LIMIT_MARGIN_GIB = 2.0


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--edges", type=int, default=DEFAULT_EDGES, help="edge count m (default 10**9)")
    p.add_argument("--nodes", type=int, help="node count n: ids 0..n-1 (default m / 10)")
    p.add_argument("--seed", type=int, default=SEED)
    p.add_argument("--steps", default=",".join(STEPS),
                   help=f"comma-separated from {', '.join(STEPS)} (build always runs)")
    p.add_argument("--memory-limit", type=float,
                   help=f"address-space limit in GiB, 0 for none (default: RAM less {LIMIT_MARGIN_GIB:g} GiB)")
    p.add_argument("--json", type=Path, default=BENCH / "results" / "billion.json")
    p.add_argument("--no-progress", action="store_true", help="no progress bars while a step runs")
    p.add_argument("--file", type=Path, default=BENCH / ".data" / "billion.qmg", help="where save and load go")
    p.add_argument("--keep-file", action="store_true", help="leave the saved graph file in place")
    args = p.parse_args()
    args.nodes = args.nodes if args.nodes is not None else max(1, args.edges // 10)
    args.steps = [s.strip() for s in args.steps.split(",") if s.strip()]
    unknown = set(args.steps) - set(STEPS)
    if unknown:
        p.error(f"unknown steps {sorted(unknown)}; known: {', '.join(STEPS)}")
    if args.memory_limit is None:
        args.memory_limit = max(1.0, total_memory() / GIB - LIMIT_MARGIN_GIB)
    return args


class Run:
    def __init__(self, args) -> None:
        self.args = args
        free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
        self.record = {
            "nodes": args.nodes,
            "edges": args.edges,
            "seed": args.seed,
            "date": dt.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"),
            "python": f"{sys.version.split()[0]}{'t' if free_threaded else ''}",
            "platform": platform.platform(),
            "cores": os.cpu_count(),
            "memory_bytes": total_memory(),
            "memory_limit_bytes": int(args.memory_limit * GIB),
            "rss_start": resident_bytes(),
            "steps": [],
        }

    def save(self) -> None:
        self.args.json.parent.mkdir(parents=True, exist_ok=True)
        tmp = self.args.json.with_name(self.args.json.name + ".tmp")
        tmp.write_text(json.dumps(self.record, indent=1) + "\n")
        os.replace(tmp, self.args.json)

    def step(self, name: str, label: str, work):
        """Runs work() under the RSS sampler; records and prints its figures. Returns its result
        (None when it ran out of memory)."""
        before = resident_bytes()
        watched = not self.args.no_progress
        # With bars, the step's figures go on a line of their own below them.
        print(f"{label:<34}", end="\n" if watched else "", flush=True)
        entry = {"step": name, "label": label, "rss_before": before}
        result = None
        with SampledPeak() as watch:
            started = time.perf_counter()
            try:
                if watched:
                    with quillmesh.progress():
                        result = work()
                    print(f"{'':<34}", end="", flush=True)
                else:
                    result = work()
                entry["status"] = "ok"
            except MemoryError as exc:
                entry["status"] = "oom"
                entry["message"] = f"MemoryError: {exc}"
            entry["seconds"] = time.perf_counter() - started
        above = max(0, watch.peak - before)
        entry["peak_rss"] = watch.peak
        entry["peak_above_before"] = above
        self.record["steps"].append(entry)
        if entry["status"] == "ok":
            print(f"{entry['seconds']:9.2f} s   peak {format_bytes(watch.peak):>8} (+{format_bytes(above)})",
                  end="", flush=True)
        else:
            print(f"  out of memory after {entry['seconds']:.1f} s", end="", flush=True)
        return entry, result

    def finish(self, entry: dict, extra: str = "") -> None:
        """Records the RSS once the step's results are gone, and the peak so far."""
        entry["rss_after"] = resident_bytes()
        entry["max_rss_so_far"] = max_rss()
        print(f"   after {format_bytes(entry['rss_after']):>8}   max so far {format_bytes(entry['max_rss_so_far']):>8}"
              f"{extra}", flush=True)
        self.save()


def main() -> int:
    args = parse_args()
    limit_address_space(int(args.memory_limit * GIB))
    run = Run(args)
    n, m = args.nodes, args.edges
    print(f"billion: n={n:,} m={m:,} seed={args.seed} on Python {run.record['python']}, "
          f"{run.record['cores']} cores; address space limited to {args.memory_limit:.1f} GiB, "
          f"{available_memory() / GIB:.1f} GiB available; writing {args.json}", flush=True)

    g = IntGraphCore()
    entry, _ = run.step("build", f"build_random({n:,}, {m:,})", lambda: g.build_random(n, m, args.seed))
    entry["graph"] = {"nodes": g.number_of_nodes(), "edges": g.number_of_edges()}
    run.finish(entry, f"   ({entry['graph']['edges']:,} edges)")
    if entry["status"] != "ok":
        return 1
    run.record["graph_bytes"] = entry["rss_after"] - run.record["rss_start"]
    run.record["graph_bytes_per_edge"] = run.record["graph_bytes"] / max(1, g.number_of_edges())
    build_seconds = entry["seconds"]

    if "save" in args.steps:
        args.file.parent.mkdir(parents=True, exist_ok=True)
        entry, _ = run.step("save", f"io.save(g, {args.file.name})", lambda: quillmesh.io.save(g, args.file))
        if entry["status"] == "ok":
            entry["file_bytes"] = args.file.stat().st_size
            entry["file_bytes_per_edge"] = entry["file_bytes"] / max(1, m)
        run.finish(entry, f"   ({format_bytes(entry.get('file_bytes', 0))} file)")

    if "load" in args.steps and args.file.exists():
        # The built graph goes first: a second copy would not fit beside it.
        del g
        g = IntGraphCore()
        entry, loaded = run.step("load", f"io.load({args.file.name})", lambda: quillmesh.io.load(args.file))
        if loaded is not None:
            g = loaded
            entry["graph"] = {"nodes": g.number_of_nodes(), "edges": g.number_of_edges()}
            entry["build_over_load"] = build_seconds / entry["seconds"]
        del loaded
        run.finish(entry, f"   ({entry.get('build_over_load', 0):.1f}x faster than the build)")
    if not args.keep_file:
        args.file.unlink(missing_ok=True)

    if "components" in args.steps:
        entry, sizes = run.step("components", "connected_component_sizes()", g.connected_component_sizes)
        if sizes is not None:
            entry["result"] = {"count": len(sizes), "largest": max(sizes, default=0)}
        del sizes
        run.finish(entry, f"   ({entry['result']['count']:,} components)" if "result" in entry else "")

    if "paths" in args.steps:
        rng = random.Random(PATH_SEED)
        pairs = [(rng.randrange(n), rng.randrange(n)) for _ in range(PATH_PAIRS)]

        def paths():
            out = []
            for s, t in pairs:
                started = time.perf_counter()
                d = g.shortest_path_length(s, t)
                out.append({"source": s, "target": t, "length": d, "seconds": time.perf_counter() - started})
            return out

        entry, calls = run.step("paths", f"shortest_path_length x{PATH_PAIRS}", paths)
        entry["result"] = calls
        run.finish(entry, f"   (lengths {[c['length'] for c in calls]})" if calls is not None else "")

    if "triangles" in args.steps:
        entry, count = run.step("triangles", "triangle_count() (cold)", g.triangle_count)
        entry["result"] = count
        run.finish(entry, f"   ({count:,} triangles)" if count is not None else "")

    if "pagerank" in args.steps:
        g.add_edges_from([])  # a mutating call, even an empty one, drops the CSR copy: a cold run
        entry, scores = run.step("pagerank", "arrays.pagerank(g) (cold)", lambda: arrays.pagerank(g))
        extra = ""
        if scores is not None:
            top = int(scores.argmax())
            entry["result"] = {"length": len(scores), "bytes": scores.nbytes, "top_row": top,
                               "top_score": float(scores[top]), "sum": float(scores.sum())}
            extra = f"   (top score {scores[top]:.6g} at row {top:,})"
        del scores
        run.finish(entry, extra)

    del g
    run.record["rss_end"] = resident_bytes()
    run.save()
    print(f"billion: wrote {args.json}")
    return 0 if all(s["status"] == "ok" for s in run.record["steps"]) else 1


if __name__ == "__main__":
    sys.exit(main())
