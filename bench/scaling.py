"""How time and memory grow with the graph: one chart from the benchmark runs of several scales.

    .venv-bench-ft/bin/python bench/scaling.py [--results-dir bench/results] [--out bench/results/scaling.png]

It reads the per-scale copies a full `make bench` run keeps (bench/results/small.json, medium.json,
large.json: 1M, 10M and 100M edges) and, when present, bench/results/billion.json from
bench/billion.py (quillmesh alone, 1B edges by default), and draws, against the edge count on log-log
axes, for the uniform graph:

- the time of a few representative ops, one panel each: the native random build G(n, m), component
  sizes, PageRank and the cold triangle count;
- the peak memory of the build and of PageRank (how far RSS rose above its level before the op;
  MB and GB are 10^6 and 10^9 bytes).

One line per library (quillmesh on the free-threaded build; the peers on whichever build they ran).
A peer stopped at its time limit is drawn as an open marker at that limit (its time is at least
that), one that ran out of memory as a cross on the top edge. Scales whose file is missing are left
out.
"""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

BENCH = Path(__file__).resolve().parent
SCALES = ("small", "medium", "large")
GRAPH = "uniform"
BASELINE = "quillmesh (ft)"
# (op, panel title) for the time panels and the memory panels.
TIME_OPS = (
    ("generate", "build: native random G(n, m)"),
    ("components", "connected component sizes"),
    ("pagerank", "PageRank (cold)"),
    ("triangles_cold", "triangle count (cold)"),
)
MEMORY_OPS = (
    ("generate", "peak memory: build"),
    ("pagerank", "peak memory: PageRank"),
)
# billion.py's steps as the benchmark's ops.
BILLION_STEPS = {"build": "generate", "components": "components", "pagerank": "pagerank",
                 "triangles": "triangles_cold"}
# Relative shift along the edge axis between the open markers (and crosses) of neighbouring lines.
MARKER_SPREAD = 0.08
COLORS = {"quillmesh": "#d62728", "networkx": "#7f7f7f", "igraph": "#1f77b4", "rustworkx": "#ff7f0e",
          "networkit": "#2ca02c"}


class Point:
    def __init__(self, edges: int, status: str, seconds=None, peak=None, limit=None, source="") -> None:
        self.edges = edges
        self.status = status  # "ok", "timeout", "oom", or anything else (not drawn)
        self.seconds = seconds
        self.peak = peak
        self.limit = limit  # the time limit a "timeout" ran into
        self.source = source


def read_bench(path: Path) -> dict[str, dict[str, list[Point]]]:
    """column -> op -> points of one benchmark result file (its uniform graph)."""
    data = json.loads(path.read_text())
    if GRAPH not in data.get("graphs", {}):
        return {}
    edges = data["graphs"][GRAPH]["edges"]
    settings = data["settings"]
    out: dict[str, dict[str, list[Point]]] = {}
    for r in data["results"]:
        if r["graph"] != GRAPH:
            continue
        column = r["column"]
        if column.startswith("quillmesh") and column != BASELINE:
            continue
        kind_limit = settings.get("query_timeout", settings["op_timeout"]) if r["op"] not in (
            "load_tuples", "load_flat", "load_numpy", "generate") else settings["op_timeout"]
        point = Point(edges, r["status"], r.get("seconds"), r.get("peak_bytes"), kind_limit,
                      f"{path.name} ({settings['scale']})")
        out.setdefault(column, {}).setdefault(r["op"], []).append(point)
    return out


def read_billion(path: Path) -> dict[str, dict[str, list[Point]]]:
    data = json.loads(path.read_text())
    column = "quillmesh (ft)" if data.get("python", "").endswith("t") else "quillmesh (gil)"
    out: dict[str, list[Point]] = {}
    for step in data.get("steps", []):
        op = BILLION_STEPS.get(step["step"])
        if op:
            out.setdefault(op, []).append(Point(data["edges"], step["status"], step.get("seconds"),
                                                step.get("peak_above_before"), source=path.name))
    return {column: out}


def merge(into: dict, more: dict) -> None:
    for column, ops in more.items():
        for op, points in ops.items():
            into.setdefault(column, {}).setdefault(op, []).extend(points)


def color_of(column: str) -> str:
    return COLORS.get(column.split(" ")[0], "black")


def draw(series: dict, out: Path, sources: list[str]) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D
    from matplotlib.ticker import FuncFormatter, LogLocator, NullLocator
    from matplotlib.transforms import blended_transform_factory

    panels = [(op, title, "seconds") for op, title in TIME_OPS] + [(op, title, "peak") for op, title in MEMORY_OPS]
    fig, axes = plt.subplots(2, 3, figsize=(15, 9))
    columns = sorted(series, key=lambda c: (not c.startswith("quillmesh"), c))
    all_edges = sorted({p.edges for ops in series.values() for pts in ops.values() for p in pts})
    drawn: set[str] = set()
    for ax, (op, title, what) in zip(axes.flat, panels):
        top = blended_transform_factory(ax.transData, ax.transAxes)
        for i, column in enumerate(columns):
            # Peers stopped at the same limit would hide each other: their markers are spread a little.
            spread = 1 + MARKER_SPREAD * (i - (len(columns) - 1) / 2)
            points = sorted(series[column].get(op, []), key=lambda p: p.edges)
            color = color_of(column)
            style = dict(color=color, linewidth=2.4 if column.startswith("quillmesh") else 1.4)
            ok = [p for p in points if p.status == "ok" and getattr(p, what) is not None]
            if what == "peak":
                ys = [max(p.peak, 1e6) for p in ok]  # below 1 MB drawn at 1 MB
            else:
                ys = [p.seconds for p in ok]
            if ok:
                ax.plot([p.edges for p in ok], ys, marker="o", label=column, **style)
                drawn.add(column)
            if what == "seconds":
                bounds = [p for p in points if p.status == "timeout" and p.limit]
                if bounds:
                    ax.plot([p.edges * spread for p in bounds], [p.limit for p in bounds], linestyle="none", marker="o",
                            markerfacecolor="white", markeredgecolor=color, markersize=8)
                    drawn.add(column)
            for p in points:
                if p.status == "oom":
                    ax.plot([p.edges * spread], [0.97], marker="x", color=color, markersize=10, transform=top,
                            clip_on=False)
                    drawn.add(column)
        ax.set_xscale("log")
        ax.set_xlim(all_edges[0] / 2, all_edges[-1] * 2)
        ax.set_yscale("log")
        ax.set_xticks(all_edges)
        ax.set_xticklabels([edge_label(e) for e in all_edges])
        ax.xaxis.set_minor_locator(NullLocator())
        ax.yaxis.set_major_locator(LogLocator(subs=(1.0, 2.0, 5.0)))
        ax.yaxis.set_minor_locator(NullLocator())
        ax.yaxis.set_major_formatter(FuncFormatter(seconds_label if what == "seconds" else bytes_label))
        ax.set_xlabel("edges")
        ax.set_ylabel("wall time" if what == "seconds" else "peak RSS above the level before the op")
        ax.set_title(title)
        ax.grid(True, which="major", alpha=0.3)
    # One legend for the whole figure: the libraries, then the markers.
    handles = [Line2D([], [], color=color_of(c), marker="o", linewidth=2.4 if c.startswith("quillmesh") else 1.4,
                      label=c) for c in columns if c in drawn]
    handles += [
        Line2D([], [], linestyle="none", marker="o", markerfacecolor="white", markeredgecolor="black",
               label="stopped at the time limit (at least this long)"),
        Line2D([], [], linestyle="none", marker="x", color="black", label="out of memory"),
    ]
    fig.legend(handles=handles, loc="lower center", ncol=min(len(handles), 4), fontsize=9, frameon=False)
    fig.suptitle("quillmesh and its peers from 1M edges up, uniform random graphs (10 edges per node); "
                 "log-log\nfrom " + ", ".join(sources), fontsize=11)
    fig.tight_layout(rect=(0, 0.07, 1, 1))
    out.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(out, dpi=100)
    plt.close(fig)


def seconds_label(value: float, _pos=None) -> str:
    if value < 1:
        return f"{value * 1000:g} ms"
    return f"{value:g} s"


def bytes_label(value: float, _pos=None) -> str:
    for size, suffix in ((1e9, "GB"), (1e6, "MB")):
        if value >= size:
            return f"{value / size:g} {suffix}"
    return f"{value / 1e6:g} MB"


def edge_label(edges: int) -> str:
    for size, suffix in ((10**9, "B"), (10**6, "M"), (10**3, "k")):
        if edges >= size:
            value = edges / size
            return f"{value:g}{suffix}"
    return str(edges)


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--results-dir", type=Path, default=BENCH / "results")
    p.add_argument("--billion", type=Path, help="billion.py's JSON (default RESULTS_DIR/billion.json)")
    p.add_argument("--out", type=Path, help="the chart (default RESULTS_DIR/scaling.png)")
    args = p.parse_args()
    billion = args.billion or args.results_dir / "billion.json"
    out = args.out or args.results_dir / "scaling.png"

    series: dict = {}
    sources = []
    for scale in SCALES:
        path = args.results_dir / f"{scale}.json"
        if not path.exists():
            print(f"scaling: no {path}; `make bench BENCH_ARGS=\"--scale {scale}\"` writes it")
            continue
        found = read_bench(path)
        if not found:
            print(f"scaling: {path} has no {GRAPH} graph")
            continue
        merge(series, found)
        sources.append(path.name)
    if billion.exists():
        merge(series, read_billion(billion))
        sources.append(billion.name)
    else:
        print(f"scaling: no {billion}; bench/billion.py writes it")
    if not series:
        print("scaling: nothing to draw")
        return 1
    draw(series, out, sources)
    print(f"scaling: wrote {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
