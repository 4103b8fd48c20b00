"""The floor under the listing rows: how long the result objects alone take to build.

nodes() returns a list of new int objects, as the peers' node listings do; degree_sequence() returns
(node, degree) pairs where igraph and networkit return bare degrees, and edges() returns a tuple
per edge. This builds exactly those objects in the plainest C loop
(listing_floor.c, compiled here against the running interpreter) and times them next to
quillmesh's own calls on a graph of the benchmark's medium size, so the cost of the result's shape
can be told from the cost of getting it out of the graph.

    .venv-bench-gil/bin/python bench/floor/listing_floor.py
    .venv-bench-ft/bin/python bench/floor/listing_floor.py
"""

import argparse
import importlib
import os
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

from quillmesh._accel import IntGraphCore

HERE = Path(__file__).resolve().parent


def build_extension(out_dir: str):
    source = HERE / "listing_floor.c"
    target = Path(out_dir) / ("listing_floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    cc = os.environ.get("CC", "cc")
    include = sysconfig.get_paths()["include"]
    subprocess.run([cc, "-O2", "-shared", "-fPIC", f"-I{include}", str(source), "-o", str(target)], check=True)
    sys.path.insert(0, out_dir)
    try:
        return importlib.import_module("listing_floor")
    finally:
        sys.path.remove(out_dir)


def best(call, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - started)
        del result
    return min(times)


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--nodes", type=int, default=1_000_000)
    p.add_argument("--edges", type=int, default=10_000_000)
    p.add_argument("--repeat", type=int, default=5)
    args = p.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        floor = build_extension(tmp)
    g = IntGraphCore()
    g.build_random(args.nodes, args.edges, 42)
    n, m = g.number_of_nodes(), g.number_of_edges()
    rows = [
        ("node ids, floor", best(lambda: floor.node_ids(n), args.repeat)),
        ("nodes()", best(g.nodes, args.repeat)),
        ("bare degrees (the peers' shape)", best(lambda: floor.small_ints(n), args.repeat)),
        ("(node, degree) pairs, floor", best(lambda: floor.node_pairs(n), args.repeat)),
        ("degree_sequence()", best(g.degree_sequence, args.repeat)),
        ("(u, v) edge tuples, floor", best(lambda: floor.edge_pairs(m, max(1, m // n)), args.repeat)),
        ("edges()", best(g.edges, args.repeat)),
    ]
    build = "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "standard"
    print(f"Python {sys.version.split()[0]} ({build}), {n:,} nodes, {m:,} edges, best of {args.repeat}")
    for name, seconds in rows:
        print(f"  {name:34} {seconds * 1e3:9.1f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
