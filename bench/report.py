"""Turns the driver's collected results into the report: Markdown tables, a JSON record and a chart.

Times are the best of the runs; a peer's ratio is its time divided by quillmesh's on the same
interpreter (quillmesh on the free-threaded one when it did not run on the peer's), so a ratio above
1 means quillmesh was faster. Next to each time is the op's peak memory: how far the process's RSS
rose above its settled level during the op's first run, the result it builds included. The loads
also get the RSS the finished graph holds, in bytes per edge. The ops quillmesh runs through
quillmesh.arrays are also set against its own list (or flat) call for the same answer. When
bench/limits.py has been run at the same scale (results/limits-{scale}.json beside the report), its
table of each kernel's time against the machine's limits ends the report. The communities ops get a
table of their own: the modularity of each library's partition (computed alike for all from the edge
list), how many communities it has, and whether a second run in the same process gave the same
partition.
"""

from __future__ import annotations

import json
from dataclasses import dataclass, field
from pathlib import Path

from catalogue import BY_NAME, COMMUNITY_OPS, FLOAT_RTOL, OPS
from rss import format_bytes

BASELINE = "quillmesh"
# How a status other than "ok" reads in the tables and the log.
STATUS_TEXT = {"oom": "out of memory", "unsupported": "n/a"}
# Seconds below which times are printed in milliseconds.
MILLI = 1.0
MILLIS_PER_SECOND = 1000
# Peaks below this many bytes are noise (a page here or there): no ratio is drawn from them.
PEAK_RATIO_FLOOR = 1_000_000


@dataclass
class Column:
    """One library on one interpreter, as a column of the report."""

    lib: str
    interp: str | None  # "ft", "gil" or None when the library did not run anywhere
    state: str = "run"  # "run", "not installable" or "skipped"
    reason: str = ""
    python: str = ""  # e.g. "3.13.5t" (t: free-threaded)
    interpreter: dict = field(default_factory=dict)
    versions: dict = field(default_factory=dict)

    @property
    def name(self) -> str:
        return f"{self.lib} ({self.interp})" if self.interp else self.lib


@dataclass
class Result:
    graph: str
    op: str
    column: str
    status: str  # "ok", "timeout", "oom", "unsupported", "error", "not installable", "skipped"
    seconds: float | None = None
    runs: int = 0
    times: list = field(default_factory=list)
    bytes_per_edge: float | None = None
    peak_bytes: int | None = None  # peak RSS above the RSS before the op, in its first run
    check: object = None
    note: str | None = None
    message: str = ""
    stage: str | None = None  # for "oom": "input" (making the op's Python input) or "run"
    limit: float | None = None  # for "timeout": the seconds the stopped run was allowed


class Report:
    def __init__(self, columns: list[Column], graphs: dict, settings: dict, machine: dict) -> None:
        self.columns = columns
        self.graphs = graphs  # kind -> description
        self.settings = settings
        self.machine = machine
        self.results: dict[tuple[str, str, str], Result] = {}
        self.failures: list[str] = []
        self.compared = 0

    def add(self, result: Result) -> None:
        self.results[(result.graph, result.op, result.column)] = result

    def get(self, graph: str, op: str, column: str) -> Result | None:
        return self.results.get((graph, op, column))

    def ops(self, graph: str) -> list[str]:
        present = {op for (g, op, _) in self.results if g == graph}
        return [op.name for op in OPS if op.name in present]

    # ---- ratios

    def baseline_column(self, column: Column) -> str | None:
        """The quillmesh column a peer is compared with: same interpreter, else free-threaded."""
        names = {c.name: c for c in self.columns if c.lib == BASELINE and c.state == "run"}
        for interp in (column.interp, "ft"):
            candidate = f"{BASELINE} ({interp})"
            if candidate in names:
                return candidate
        return None

    def ratio(self, graph: str, op: str, column: Column, attr: str = "seconds") -> tuple[float | None, bool]:
        """(peer / quillmesh, is_lower_bound). A timed-out peer gives a lower bound."""
        if column.lib == BASELINE:
            return None, False
        base_name = self.baseline_column(column)
        base = self.get(graph, op, base_name) if base_name else None
        mine = self.get(graph, op, column.name)
        if not base or not mine or base.status != "ok" or not getattr(base, attr):
            return None, False
        if mine.status == "ok" and getattr(mine, attr) is not None:
            return getattr(mine, attr) / getattr(base, attr), False
        if mine.status == "timeout" and attr == "seconds":
            return (mine.limit or self.timeout_of(op)) / base.seconds, True
        return None, False

    def timeout_of(self, op: str) -> float:
        """How long a peer's single run of op was allowed."""
        if BY_NAME[op].kind == "query":
            return self.settings.get("query_timeout", self.settings["op_timeout"])
        return self.settings["op_timeout"]

    def not_ahead(self) -> list[dict]:
        """Every (graph, op) where some peer beat quillmesh on its interpreter."""
        found = []
        for graph in self.graphs:
            for op in self.ops(graph):
                for column in self.columns:
                    ratio, lower = self.ratio(graph, op, column)
                    # A peer stopped at its time limit only says it took at least that long.
                    if ratio is not None and ratio < 1 and not lower:
                        base = self.get(graph, op, self.baseline_column(column))
                        mine = self.get(graph, op, column.name)
                        found.append(
                            {
                                "graph": graph,
                                "op": op,
                                "peer": column.name,
                                "peer_seconds": mine.seconds,
                                "quillmesh": self.baseline_column(column),
                                "quillmesh_seconds": base.seconds,
                                "ratio": ratio,
                            }
                        )
        return found

    def versus(self, graph: str) -> list[dict]:
        """quillmesh's array ops against its own calls they stand in for, per quillmesh column.

        Each row has both times and first-run peaks and their ratios (own call / array op, so above
        1 the array op is faster or smaller); a figure that is missing is None, and so is the peak
        ratio when either peak is below PEAK_RATIO_FLOOR.
        """
        rows = []
        for column in (c for c in self.columns if c.lib == BASELINE and c.state == "run"):
            for op in self.ops(graph):
                own = BY_NAME[op].versus
                mine, theirs = self.get(graph, op, column.name), self.get(graph, own, column.name) if own else None
                if not own or not mine or not theirs or mine.status != "ok" or theirs.status != "ok":
                    continue
                rows.append({
                    "column": column.name, "op": op, "versus": own,
                    "seconds": mine.seconds, "versus_seconds": theirs.seconds,
                    "time_ratio": _quotient(theirs.seconds, mine.seconds),
                    "peak_bytes": mine.peak_bytes, "versus_peak_bytes": theirs.peak_bytes,
                    "peak_ratio": _quotient(theirs.peak_bytes, mine.peak_bytes)
                    if min(theirs.peak_bytes or 0, mine.peak_bytes or 0) >= PEAK_RATIO_FLOOR else None,
                })
        return rows

    def community_quality(self, graph: str) -> list[dict]:
        """Per communities op and library that ran it: the modularity of its partition, its count of
        communities and whether a second run gave the same partition."""
        rows = []
        for op in (op for op in COMMUNITY_OPS if op in self.ops(graph)):
            for column in self.columns:
                r = self.get(graph, op, column.name)
                if r and r.status == "ok" and isinstance(r.check, dict) and "modularity" in r.check:
                    rows.append({"op": op, "column": column.name, "modularity": r.check["modularity"],
                                 "communities": r.check["communities"],
                                 "same_on_rerun": r.check.get("same_on_rerun"), "note": r.note})
        return rows

    def best_partitions(self, graph: str) -> tuple[dict | None, dict | None]:
        """The highest-modularity partition of quillmesh and of any peer, over both communities ops."""
        rows = self.community_quality(graph)
        ours = [r for r in rows if r["column"].startswith(BASELINE)]
        theirs = [r for r in rows if not r["column"].startswith(BASELINE)]
        best = lambda found: max(found, key=lambda r: r["modularity"]) if found else None  # noqa: E731
        return best(ours), best(theirs)

    # ---- Markdown

    def _time_cell(self, graph: str, op: str, column: Column) -> str:
        r = self.get(graph, op, column.name)
        if r is None or column.state != "run":
            return "—"
        if r.status != "ok":
            if r.status == "timeout":
                text = f"> {r.limit or self.timeout_of(op):.0f} s"
            elif r.status == "oom" and r.stage == "input":
                text = "out of memory (input)"
            else:
                text = STATUS_TEXT.get(r.status, r.status)
            ratio, lower = self.ratio(graph, op, column)
            return f"{text} (>{ratio:.1f}×)" if ratio is not None and lower else text
        text = format_seconds(r.seconds)
        ratio, _ = self.ratio(graph, op, column)
        if ratio is not None:
            mark = f"×{ratio:.2f}" if ratio < 1 else f"×{ratio:.1f}"
            text += f" **{mark}**" if ratio < 1 else f" {mark}"
        return text

    def _peak_cell(self, graph: str, op: str, column: Column) -> str:
        r = self.get(graph, op, column.name)
        if r is None or r.status != "ok" or r.peak_bytes is None:
            return ""
        return format_bytes(r.peak_bytes)

    def _memory_cell(self, graph: str, op: str, column: Column) -> str:
        r = self.get(graph, op, column.name)
        if r is None or column.state != "run":
            return "—"
        if r.status != "ok" or r.bytes_per_edge is None:
            return STATUS_TEXT.get(r.status, r.status)
        text = f"{r.bytes_per_edge:.1f}"
        ratio, _ = self.ratio(graph, op, column, attr="bytes_per_edge")
        if ratio is not None:
            text += f" ×{ratio:.1f}"
        return text

    def _table(self, graph: str, ops: list[str], cell, first: str, peak=None) -> list[str]:
        """One row per op, one column per library; with `peak`, each library that ran gets a second
        column right after its own, filled by peak(graph, op, column)."""
        cells = []  # (header, runs-on text, cell function) per table column
        for c in self.columns:
            runs_on = f"Python {c.python}" if c.state == "run" else f"{c.state}: {c.reason}"
            cells.append((c.name, runs_on, lambda op, c=c: cell(graph, op, c)))
            if peak and c.state == "run":
                cells.append(("peak", "", lambda op, c=c: peak(graph, op, c)))
        lines = [
            "| " + " | ".join([first] + [header for header, _, _ in cells]) + " |",
            "|---" + "|---:" * len(cells) + "|",
            "| " + " | ".join(["runs on"] + [runs_on for _, runs_on, _ in cells]) + " |",
        ]
        for op in ops:
            lines.append("| " + " | ".join([BY_NAME[op].label] + [fill(op) for _, _, fill in cells]) + " |")
        return lines

    def markdown(self) -> str:
        s, m = self.settings, self.machine
        out = [
            f"# quillmesh benchmark — {scale_title(s['scale'])}",
            "",
            f"{m['date']} · {m['cpu']} · {m['cores']} cores · {m['memory_gib']:.0f} GiB · "
            f"load average {m['load_before']} before, {m['load_after']} after · quillmesh {m['commit']}",
            "",
            f"Best of up to {s['repeat']} runs (repeating stops once an op has used {s['op_budget']:.0f} s; "
            f"a peer's single run is stopped after {s['op_timeout']:.0f} s, "
            f"or {s.get('query_timeout', s['op_timeout']):.0f} s for a query, quillmesh's after "
            f"{s['baseline_timeout']:.0f} s). "
            "Ratio = peer time / quillmesh time on the same interpreter: above 1 quillmesh is faster; "
            "**bold** where it is not. "
            "Peak = how far the process's resident memory rose above its level before the op, during the "
            "op's first run (what it builds and returns included; MB = 10^6 bytes)"
            + (f"; every worker runs with its address space limited to {s['memory_limit'] / (1 << 30):.1f} GiB, "
               "and one that needs more is reported as out of memory." if s.get("memory_limit") else "."),
            "",
        ]
        for graph, desc in self.graphs.items():
            ops = self.ops(graph)
            out += [
                f"## {desc['title']}: {desc['nodes']:,} nodes, {desc['edges']:,} edges "
                f"(mean degree {desc['mean_degree']:.1f}, max {desc['max_degree']:,})",
                "",
            ]
            described = graph_lines(desc)
            out += described + ([""] if described else [])
            out += self._table(graph, ops, self._time_cell, "operation (time)", peak=self._peak_cell)
            loads = [op for op in ops if BY_NAME[op].kind == "load"]
            if loads:
                out += ["", "Memory: resident memory the finished graph holds, bytes per edge (ratio to quillmesh)", ""]
                out += self._table(graph, loads, self._memory_cell, "build")
            out += self._versus_table(graph)
            out += self._community_table(graph)
            out.append("")
        out += self._columns_section() + self._notes_section() + self._findings_section()
        return "\n".join(out) + "\n"

    def _versus_table(self, graph: str) -> list[str]:
        rows = self.versus(graph)
        if not rows:
            return []
        out = ["", "quillmesh.arrays against quillmesh's own call for the same answer (ratio = own call / "
               "arrays, above 1 the array form is faster or smaller)", "",
               "| quillmesh | arrays op | time | own call | time | ratio | peak | own peak | ratio |",
               "|---|---|---:|---|---:|---:|---:|---:|---:|"]
        for r in rows:
            out.append(
                f"| {r['column']} | {BY_NAME[r['op']].label} | {format_seconds(r['seconds'])} | "
                f"{BY_NAME[r['versus']].label} | {format_seconds(r['versus_seconds'])} | {_times(r['time_ratio'])} | "
                f"{format_bytes(r['peak_bytes'])} | {format_bytes(r['versus_peak_bytes'])} | {_times(r['peak_ratio'])} |"
            )
        return out

    def _community_table(self, graph: str) -> list[str]:
        rows = self.community_quality(graph)
        if not rows:
            return []
        ran = [c for c in self.columns if any(r["column"] == c.name for r in rows)]
        out = ["", "Communities: modularity of each library's partition (resolution 1, computed from the edge "
               "list the same way for all), its number of communities, and whether a second run in the same "
               "process gave the same partition", "",
               "| operation | " + " | ".join(c.name for c in ran) + " |",
               "|---" + "|---:" * len(ran) + "|"]
        for op in COMMUNITY_OPS:
            cells = []
            for c in ran:
                r = next((r for r in rows if r["op"] == op and r["column"] == c.name), None)
                if r is None:
                    cells.append("—")
                    continue
                rerun = {True: "same on rerun", False: "differs on rerun", None: "rerun not checked"}
                cells.append(f"{r['modularity']:.4f} · {r['communities']:,} · {rerun[r['same_on_rerun']]}")
            if any(cell != "—" for cell in cells):
                out.append(f"| {BY_NAME[op].label} | " + " | ".join(cells) + " |")
        return out

    def _columns_section(self) -> list[str]:
        out = ["## Libraries", ""]
        for c in self.columns:
            if c.state == "run":
                versions = ", ".join(f"{k} {v}" for k, v in c.versions.items())
                i = c.interpreter
                gil = "GIL enabled" if i.get("gil_enabled", True) else "GIL disabled"
                out.append(f"- **{c.name}**: {versions}; Python {i.get('version')} {i.get('build')} ({gil}), "
                           f"{i.get('executable')}")
            else:
                out.append(f"- **{c.name}**: {c.state}: {c.reason}")
        return out + [""]

    def _notes_section(self) -> list[str]:
        order = list(BY_NAME)
        notes: dict[tuple[str, str], str] = {}
        errors: list[str] = []
        for r in self.results.values():
            lib = r.column.split(" ")[0]
            if r.status == "ok" and r.note:
                notes.setdefault((lib, r.op), r.note)
            elif r.status == "unsupported":
                notes.setdefault((lib, r.op), f"n/a: {r.message}")
            elif r.status in ("error", "timeout", "oom"):
                errors.append(f"- {r.column}, {self.graphs[r.graph]['title']}, {BY_NAME[r.op].label}: "
                              f"{STATUS_TEXT.get(r.status, r.status)}: {r.message}")
        # Ops left out on a graph for every library (a library not run at all is listed under Libraries).
        running = {c.name for c in self.columns if c.state == "run"}
        skipped = sorted({(r.graph, r.op, r.message) for r in self.results.values()
                          if r.status == "skipped" and r.column in running and r.graph in self.graphs},
                         key=lambda x: (list(self.graphs).index(x[0]), order.index(x[1])))
        errors += [f"- every library, {self.graphs[graph]['title']}, {BY_NAME[op].label}: left out: {message}"
                   for graph, op, message in skipped]
        out = ["## How each library runs each operation", ""]
        for (lib, op), note in sorted(notes.items(), key=lambda kv: (kv[0][0], order.index(kv[0][1]))):
            out.append(f"- {lib}, {BY_NAME[op].label}: {note}")
        if errors:
            out += ["", "Stopped or failed:", ""] + errors
        return out + [""]

    def _findings_section(self) -> list[str]:
        out = ["## Cross-checks", ""]
        if self.failures:
            out += [f"- FAILED: {f}" for f in self.failures]
        else:
            out.append(f"All {self.compared} comparisons agree (exact values; floats within a relative "
                       f"{FLOAT_RTOL:g}; PageRank by top-10 overlap).")
        quality = []
        for graph in self.graphs:
            ours, theirs = self.best_partitions(graph)
            if ours is None and theirs is None:
                continue
            line = f"- Community modularity, {self.graphs[graph]['title']}: "
            line += ", ".join(f"{r['column']} {BY_NAME[r['op']].label} {r['modularity']:.4f}"
                              for r in (ours, theirs) if r)
            if ours and theirs:
                gap = ours["modularity"] - theirs["modularity"]
                line += f" (quillmesh {'at least as good as' if gap >= 0 else 'below'} the best peer, {gap:+.4f})"
            plm = [r for r in self.community_quality(graph) if r["column"].startswith("networkit")]
            if plm:
                line += "; networkit's PLM on a second run: " + ", ".join(
                    f"{BY_NAME[r['op']].label} {'same partition' if r['same_on_rerun'] else 'a different partition'}"
                    for r in plm)
            quality.append(line)
        out += [""] + quality if quality else []
        out += ["", "## Where quillmesh is not ahead", ""]
        behind = self.not_ahead()
        if not behind:
            out.append("Nowhere: quillmesh is fastest on every operation measured.")
        for b in behind:
            out.append(
                f"- {self.graphs[b['graph']]['title']}, {BY_NAME[b['op']].label}: {b['peer']} "
                f"{format_seconds(b['peer_seconds'])} vs {b['quillmesh']} {format_seconds(b['quillmesh_seconds'])} "
                f"(×{b['ratio']:.2f})"
            )
        return out + [""]

    # ---- files

    def as_json(self) -> dict:
        rows = []
        for (graph, op, column), r in self.results.items():
            col = next(c for c in self.columns if c.name == column)
            ratio, lower = self.ratio(graph, op, col)
            mem_ratio, _ = self.ratio(graph, op, col, attr="bytes_per_edge")
            rows.append({**r.__dict__, "label": BY_NAME[op].label, "ratio": ratio, "ratio_is_lower_bound": lower,
                         "memory_ratio": mem_ratio})
        return {
            "settings": self.settings,
            "machine": self.machine,
            "graphs": self.graphs,
            "columns": [c.__dict__ | {"name": c.name} for c in self.columns],
            "results": rows,
            "cross_check": {"compared": self.compared, "failures": self.failures},
            "not_ahead": self.not_ahead(),
            "arrays_versus_own_calls": {graph: self.versus(graph) for graph in self.graphs},
            "communities": {graph: self.community_quality(graph) for graph in self.graphs},
        }

    def write(self, directory: Path, stem: str = "latest") -> list[Path]:
        directory.mkdir(parents=True, exist_ok=True)
        from limits import report_section  # numpy and the probe's helpers: only when writing

        md, js, png = (directory / f"{stem}.{ext}" for ext in ("md", "json", "png"))
        md.write_text(self.markdown() + report_section(directory, self.settings["scale"]))
        js.write_text(json.dumps(self.as_json(), indent=1, default=str) + "\n")
        written = [md, js]
        if self.chart(png):
            written.append(png)
        return written

    def chart(self, path: Path) -> bool:
        try:
            import matplotlib

            matplotlib.use("Agg")
            import matplotlib.pyplot as plt
        except ImportError as exc:
            print(f"bench: no chart ({exc})")
            return False
        ran = [c for c in self.columns if c.state == "run"]
        peers = [c for c in ran if c.lib != BASELINE]
        palette = plt.rcParams["axes.prop_cycle"].by_key()["color"]
        color = {c.name: palette[i % len(palette)] for i, c in enumerate(ran)}  # the same in every panel
        graphs = list(self.graphs)
        fig, axes = plt.subplots(2 * len(graphs), 1, figsize=(14, 9.6 * len(graphs)), squeeze=False)
        for row, graph in enumerate(graphs):
            ops = self.ops(graph)
            title = f"{self.graphs[graph]['title']} ({self.graphs[graph]['edges']:,} edges)"
            ax = axes[2 * row, 0]
            width = 0.8 / max(1, len(peers))
            for i, column in enumerate(peers):
                xs, ys, bounds = [], [], []
                for x, op in enumerate(ops):
                    ratio, lower = self.ratio(graph, op, column)
                    if ratio is not None:
                        xs.append(x + (i - (len(peers) - 1) / 2) * width)
                        ys.append(ratio)
                        bounds.append(lower)
                bars = ax.bar(xs, ys, width, label=column.name, color=color[column.name])
                for bar, lower in zip(bars, bounds):
                    if lower:
                        bar.set_hatch("//")
            ax.axhline(1.0, color="black", linewidth=0.8)
            ax.set_yscale("log")
            ax.set_ylabel("peer time / quillmesh time")
            ax.set_title(f"{title}: above 1 = quillmesh faster; hatched = peer timed out (lower bound)")
            self._op_axis(ax, ops)
            # Peak memory, absolute, for every library including quillmesh.
            ax = axes[2 * row + 1, 0]
            width = 0.8 / max(1, len(ran))
            for i, column in enumerate(ran):
                xs, ys = [], []
                for x, op in enumerate(ops):
                    r = self.get(graph, op, column.name)
                    if r and r.status == "ok" and r.peak_bytes:
                        xs.append(x + (i - (len(ran) - 1) / 2) * width)
                        ys.append(max(r.peak_bytes, 1e6) / 1e6)
                ax.bar(xs, ys, width, label=column.name, color=color[column.name])
            ax.set_yscale("log")
            ax.set_ylabel("peak memory of the op, MB")
            ax.set_title(f"{title}: peak RSS above the level before the op (lower is better)")
            self._op_axis(ax, ops)
        fig.suptitle(f"quillmesh vs peers, {scale_title(self.settings['scale'])}, {self.machine['date']}")
        fig.tight_layout(rect=(0, 0, 1, 1 - 0.6 / fig.get_figheight()))  # room for the title
        fig.savefig(path, dpi=110)
        plt.close(fig)
        return True

    @staticmethod
    def _op_axis(ax, ops: list[str]) -> None:
        ax.set_xticks(range(len(ops)))
        ax.set_xticklabels([BY_NAME[op].label for op in ops], rotation=30, ha="right", fontsize=8)
        ax.legend(fontsize=8)


def from_json(data: dict) -> Report:
    """The report a run wrote as JSON, to be rendered again."""
    columns = []
    for c in data["columns"]:
        fields = {k: v for k, v in c.items() if k in Column.__dataclass_fields__}
        columns.append(Column(**fields))
    report = Report(columns, data["graphs"], data["settings"], data["machine"])
    for row in data["results"]:
        report.add(Result(**{k: v for k, v in row.items() if k in Result.__dataclass_fields__}))
    report.failures = data["cross_check"]["failures"]
    report.compared = data["cross_check"]["compared"]
    return report


def main() -> int:
    """Renders a run's JSON again (Markdown, JSON and chart beside it), e.g. after the report changed."""
    import argparse

    p = argparse.ArgumentParser(description=main.__doc__)
    p.add_argument("json", type=Path, nargs="+", help="e.g. bench/results/large.json")
    for path in p.parse_args().json:
        report = from_json(json.loads(path.read_text()))
        for written in report.write(path.parent, stem=path.stem):
            print(f"report: wrote {written}")
    return 0


def scale_title(scale: str) -> str:
    return "real graphs" if scale == "real" else f"{scale} scale"


def graph_lines(desc: dict) -> list[str]:
    """What a graph's description says beyond its size: where it comes from, its degrees, and what the
    answers found (hop distances of the path queries and of one BFS, components); each when known."""
    lines = []
    if "source" in desc:
        lines.append(f"From {desc['source']}.")
    if shares := desc.get("degree_shares"):
        parts = [f"{share:.1%} of degree {d.replace('+', ' or more')}" for d, share in shares.items()]
        lines.append(f"Degrees: median {desc['median_degree']:g}; of the nodes, {', '.join(parts)}.")
    found = []
    if hops := desc.get("path_hops"):
        text = f"{hops['connected']} of the {hops['pairs']} path queries connected"
        if hops["connected"]:
            text += f", the longest {hops['longest']:,} hops (median {hops['median']:g})"
        found.append(text)
    if bfs := desc.get("bfs"):
        found.append(f"the BFS from one source reaches {bfs['reached']:,} nodes, the farthest "
                     f"{bfs['eccentricity']:,} hops away")
    if parts := desc.get("components"):
        found.append(f"{parts['count']:,} component{'s' if parts['count'] != 1 else ''}, "
                     f"the largest of {parts['largest']:,} nodes")
    if found:
        text = "; ".join(found)
        lines.append(text[0].upper() + text[1:] + ".")
    return lines


def _quotient(top, bottom) -> float | None:
    return top / bottom if top is not None and bottom else None


def _times(ratio: float | None) -> str:
    return "–" if ratio is None else f"×{ratio:.2f}"


def format_seconds(seconds: float | None) -> str:
    if seconds is None:
        return "–"
    if seconds < MILLI:
        return f"{seconds * MILLIS_PER_SECOND:.3g} ms"
    return f"{seconds:.3g} s"


if __name__ == "__main__":
    raise SystemExit(main())
