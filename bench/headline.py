"""The front page's benchmark table and chart, from one run's results (bench/results/medium.json).

A handful of operations users reach for first, on the run's uniform and R-MAT graphs: quillmesh's
time on the standard interpreter (where the peers run) against the fastest peer's, and the memory
the loaded graph holds. The README carries the table (tests/test_docs.py checks it against the
results), the docs' benchmark page makes it again at every build, and the chart is written by

    .venv-bench-gil/bin/python bench/headline.py [--results bench/results/medium.json] [--chart PATH]

after a run worth showing (it needs matplotlib).
"""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from report import BASELINE, format_seconds, from_json  # noqa: E402

RESULTS = HERE / "results" / "medium.json"
CHART = HERE / "results" / "headline.png"
OPS = [
    ("load_numpy", "load a numpy array of edges"),
    ("generate", "random G(n, m), natively"),
    ("has_edge", "100k has_edge calls"),
    ("components", "connected components"),
    ("shortest_path", "100 shortest paths"),
    ("pagerank", "PageRank"),
    ("triangles_cold", "count triangles"),
]
GRAPHS = {"uniform": "uniform", "rmat": "R-MAT"}


def fastest_peer(report, graph: str, op: str):
    """(peer name, peer seconds, ratio, is_lower_bound) of the fastest peer, or None."""
    best = None
    for column in report.columns:
        if column.lib == BASELINE or column.state != "run":
            continue
        ratio, bound = report.ratio(graph, op, column)
        if ratio is None:
            continue
        r = report.get(graph, op, column.name)
        key = (bound, ratio)  # a finished peer beats one that was stopped
        if best is None or key < best[0]:
            best = (key, column.lib, r.seconds if r.status == "ok" else None, ratio, bound)
    return None if best is None else best[1:]


def rows(data: dict) -> list[dict]:
    report = from_json(data)
    base = {c.interp: c.name for c in report.columns if c.lib == BASELINE and c.state == "run"}
    mine = base.get("gil") or base["ft"]
    out = []
    for op, label in OPS:
        row = {"op": op, "label": label}
        for graph in GRAPHS:
            r = report.get(graph, op, mine)
            peer = fastest_peer(report, graph, op)
            row[graph] = {"seconds": r.seconds if r and r.status == "ok" else None,
                          "peer": peer and {"lib": peer[0], "seconds": peer[1], "ratio": peer[2], "bound": peer[3]}}
        out.append(row)
    memory = {"op": "memory", "label": "memory of the loaded graph"}
    for graph in GRAPHS:
        peers = [(report.get(graph, "load_numpy", c.name), c.lib) for c in report.columns
                 if c.lib != BASELINE and c.state == "run"]
        peers = [(r.bytes_per_edge, lib) for r, lib in peers if r and r.bytes_per_edge]
        r = report.get(graph, "load_numpy", mine)
        lean = min(peers) if peers else None
        memory[graph] = {"bytes_per_edge": r.bytes_per_edge if r else None,
                         "peer": lean and {"lib": lean[1], "bytes_per_edge": lean[0]}}
    out.append(memory)
    return out


def _cell(entry: dict) -> tuple[str, str]:
    if "bytes_per_edge" in entry:
        mine = f"{entry['bytes_per_edge']:.1f} B/edge"
        peer = entry["peer"]
        if not peer:
            return mine, "—"
        return mine, f"{peer['lib']} {peer['bytes_per_edge']:.1f} ({peer['bytes_per_edge'] / entry['bytes_per_edge']:.1f}x)"
    mine = format_seconds(entry["seconds"]) if entry["seconds"] is not None else "—"
    peer = entry["peer"]
    if not peer:
        return mine, "—"
    if peer["bound"]:
        return mine, f"all stopped (over {peer['ratio']:.1f}x)"
    return mine, f"{peer['lib']} {format_seconds(peer['seconds'])} ({peer['ratio']:.1f}x)"


def table(data: dict) -> str:
    """The Markdown table: per graph, quillmesh and the fastest (or leanest) peer with its multiple."""
    header = ["10M edges"] + [part for name in GRAPHS.values() for part in (name, "fastest peer")]
    lines = ["| " + " | ".join(header) + " |", "|---" + "|---:" * (len(header) - 1) + "|"]
    for row in rows(data):
        cells = [row["label"]] + [c for graph in GRAPHS for c in _cell(row[graph])]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def caption(data: dict) -> str:
    m = data["machine"]
    return (f"{m['date']}, {m['cores']} cores, load average {m['load_before']} before the run; "
            "best of up to 3 runs; a multiple is the peer's time (or memory) over quillmesh's.")


def chart(data: dict, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    timed = [row for row in rows(data) if row["op"] != "memory"]
    fig, ax = plt.subplots(figsize=(8, 3.2))
    width = 0.38
    for i, (graph, name) in enumerate(GRAPHS.items()):
        ys = [row[graph]["peer"]["ratio"] if row[graph]["peer"] else 0 for row in timed]
        xs = [k + (i - 0.5) * width for k in range(len(timed))]
        bars = ax.bar(xs, ys, width, label=name)
        for bar, row in zip(bars, timed):
            if row[graph]["peer"] and row[graph]["peer"]["bound"]:
                bar.set_hatch("//")  # every peer was stopped: at least this
    ax.axhline(1, color="black", linewidth=0.8)
    ax.set_yscale("log")
    ax.set_ylabel("fastest peer's time / quillmesh's")
    ax.set_xticks(range(len(timed)))
    ax.set_xticklabels([row["label"] for row in timed], rotation=20, ha="right", fontsize=8)
    ax.legend(fontsize=8)
    ax.set_title("How many times longer the fastest peer took (10M edges; above 1: quillmesh is faster;\n"
                 "hatched: every peer was stopped, so at least this)", fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--results", type=Path, default=RESULTS)
    p.add_argument("--chart", type=Path, default=CHART)
    args = p.parse_args()
    data = json.loads(args.results.read_text())
    print(table(data))
    print()
    print(caption(data))
    chart(data, args.chart)
    print(f"headline: wrote {args.chart}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
