"""Saving and loading graphs: quillmesh.io against each peer's own way of keeping a graph in a file.

    python bench/persist.py [--scale small|medium|large] [--repeat N] [--python-gil PY] [--libs a,b]
        [--json PATH] [--md PATH]

On the uniform G(n, m) graph of bench/graphs.py (medium: 1M nodes, 10M edges), each library builds
the graph from the same edge array (untimed) in a worker process of its own, saves it to a file
under bench/.data/ (the file removed before every save), reads the file once untimed so that the
page cache holds it, and loads it again; the best of --repeat runs counts. The peers use their own
means: networkit its binary format (graphio.NetworkitBinaryWriter / NetworkitBinaryReader), igraph
its pickle files (Graph.write_pickle / Graph.Read_Pickle), rustworkx and networkx pickle protocol 5
(networkx only at small scale). Every loaded graph is checked against the edge list (its counts and
the degree of every node).

quillmesh also gets: the time to build the same graph with add_edges_flat from the numpy array, the
resident memory of the built and of the loaded graph (bytes per edge, as bench/run.py measures
loads), a pickle protocol 5 round trip with out-of-band buffers, copy.copy, and the peak RSS of a
load in a fresh process: the peak RSS of a process that imports quillmesh and loads the file, less
that of one that only imports it (the kernel's high-water mark VmHWM: a child's ru_maxrss starts
at its parent's peak). Its loaded, unpickled and copied graphs must list exactly the
nodes and edges of the saved one.

quillmesh runs on the interpreter given by --python (default: the one running this script); each
peer on that one when it imports there, else on --python-gil (the standard CPython 3.13 venv).
Markdown and JSON go to bench/results/persist-{scale}.{md,json}, with the machine, the date and
the load average before and after. The exit status is non-zero when a check failed or a worker
failed; a target missed is a finding, not a failure.
"""

from __future__ import annotations

import argparse
import copy
import gc
import json
import os
import pickle
import queue
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path.insert(0, str(BENCH))

import graphs  # noqa: E402
from report import format_seconds  # noqa: E402
from rss import OUT_OF_MEMORY_WORDS, default_limit, format_bytes, limit_address_space, resident_bytes  # noqa: E402
from worker import emit, interpreter, out_of_memory  # noqa: E402
from workerpipe import WorkerPipe  # noqa: E402

SCALES = graphs.SCALES
BASELINE = "quillmesh"
PEERS = ("networkit", "igraph", "rustworkx", "networkx")
# Libraries written in Python run only at these scales.
PURE_PYTHON = {"networkx": ("small",)}
DEFAULT_REPEAT = 3
# Seconds one worker may take in all (building its graph, every save and load), per scale.
WORKER_TIMEOUT = {"small": 600.0, "medium": 1800.0, "large": 7200.0}
# Seconds a fresh process gets for one load whose peak memory is measured.
PEAK_TIMEOUT = 1800.0
# The targets: a load at least this many times faster than add_edges_flat of the same edges from a
# numpy array, and a pickle round trip within this multiple of a save and a load through a file.
LOAD_VS_BUILD_TARGET = 4.0
PICKLE_VS_FILE_TARGET = 1.5
# Bytes read at a time when a file is read once to bring it into the page cache.
WARM_CHUNK = 16 << 20

MEANS = {
    "quillmesh": "`quillmesh.io.save(g, path)` / `quillmesh.io.load(path)`",
    "networkit": "`graphio.NetworkitBinaryWriter().write(g, path)` / `NetworkitBinaryReader().read(path)`",
    "igraph": "`g.write_pickle(path)` / `Graph.Read_Pickle(path)` (pickle, highest protocol)",
    "rustworkx": "`pickle.dump(g, file, protocol=5)` / `pickle.load(file)` (PyGraph)",
    "networkx": "`pickle.dump(G, file, protocol=5)` / `pickle.load(file)`",
}
FILE_SUFFIX = {"quillmesh": ".qmg", "networkit": ".nkbg", "igraph": ".pickle", "rustworkx": ".pickle",
               "networkx": ".pickle"}

# The one-shot process whose peak RSS gives a load's peak: it imports quillmesh and quillmesh.io and,
# given a path, loads it. Without a path it is the baseline: the same imports and nothing else. The
# peak is the kernel's high-water mark of the process's own memory (VmHWM), not ru_maxrss: Linux
# carries the parent's peak over into the child's ru_maxrss across fork and exec, so every child of
# a driver holding 70 MB would report at least 70 MB, hiding a small graph's load altogether.
PEAK_PROGRAM = """\
import json, sys
import quillmesh, quillmesh.io
out = {}
if len(sys.argv) > 1:
    g = quillmesh.io.load(sys.argv[1])
    out = {"nodes": g.number_of_nodes(), "edges": g.number_of_edges()}
with open("/proc/self/status") as f:
    out["hwm"] = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))
print(json.dumps(out))
"""


def log(message: str = "") -> None:
    print(message, flush=True)


# ---- arithmetic and formatting (pure)


def best(times) -> float | None:
    """The best (smallest) of a list of times; None for none."""
    return min(times) if times else None


def quotient(top, bottom) -> float | None:
    """top / bottom, or None when either is missing or bottom is zero."""
    return top / bottom if top is not None and bottom else None


def format_ratio(ratio: float | None, ahead: bool | None = None) -> str:
    """×r, bold where quillmesh is not ahead (by default: where the peer's figure is below quillmesh's)."""
    if ratio is None:
        return ""
    ahead = ratio >= 1 if ahead is None else ahead
    text = f"×{ratio:.2f}" if ratio < 1 else f"×{ratio:.1f}"
    return text if ahead else f"**{text}**"


def step_seconds(steps: dict, step: str, key: str = "seconds") -> float | None:
    """A figure of an ok step of a worker (None when the step is missing or failed)."""
    s = steps.get(step)
    return s.get(key) if s and s.get("status") == "ok" else None


def status_text(step: dict | None) -> str:
    if not step:
        return "—"
    status = step.get("status")
    return {"oom": "out of memory", "timeout": "timed out"}.get(status, status)


def time_cell(steps: dict, step: str, base: float | None) -> str:
    """A time with its ratio to quillmesh's (base), or what stopped the step or the worker before it."""
    seconds = step_seconds(steps, step)
    if seconds is None:
        if step not in steps:
            stopped = next((name for name, s in steps.items() if s.get("status") != "ok"), None)
            if stopped:
                return f"{status_text(steps[stopped])} ({stopped})"
        return status_text(steps.get(step))
    ratio = quotient(seconds, base)
    return f"{format_seconds(seconds)} {format_ratio(ratio)}".rstrip()


def size_cell(file_bytes: int | None, edges: int, base: int | None = None) -> str:
    """A file's size, its bytes per edge, and its ratio to quillmesh's file (base)."""
    if file_bytes is None:
        return "–"
    text = f"{format_bytes(file_bytes)}, {file_bytes / edges:.2f} B/edge"
    ratio = quotient(file_bytes, base)
    return f"{text} {format_ratio(ratio)}" if ratio is not None else text


def peak_figure(load_peaks: list[int], baseline_peaks: list[int]) -> int | None:
    """The peak RSS a load adds: the lowest peak of the loading processes less the lowest of the
    processes that only import (each of them has a little noise upwards, never downwards)."""
    if not load_peaks or not baseline_peaks:
        return None
    return min(load_peaks) - min(baseline_peaks)


def figures(qm: dict, peers: dict[str, dict]) -> dict:
    """The figures the report sets out, from quillmesh's steps and each peer's (name -> steps).

    Ratios read "above 1: quillmesh ahead" except file_vs_memory, pickle_vs_file and
    load_peak_vs_graph, which are quillmesh's own multiples (lower is better).
    """
    load = step_seconds(qm, "load")
    save = step_seconds(qm, "save")
    file_bytes = step_seconds(qm, "save", "file_bytes")
    graph_bytes = step_seconds(qm, "load", "resident_bytes")
    out: dict = {}

    load_vs_build = quotient(step_seconds(qm, "build"), load)
    out["load_vs_build"] = {"value": load_vs_build, "target": LOAD_VS_BUILD_TARGET,
                            "met": None if load_vs_build is None else load_vs_build >= LOAD_VS_BUILD_TARGET}

    peer_loads = {name: s for name, steps in peers.items() if (s := step_seconds(steps, "load")) is not None}
    fastest = min(peer_loads, key=peer_loads.get) if peer_loads else None
    ratio = quotient(peer_loads.get(fastest), load)
    out["load_vs_fastest_peer"] = {"value": ratio, "peer": fastest, "ahead": None if ratio is None else ratio >= 1}

    saves = {}
    for name, steps in peers.items():
        ratio = quotient(step_seconds(steps, "save"), save)
        if ratio is not None:
            saves[name] = {"value": ratio, "ahead": ratio >= 1}
    out["save_vs_peers"] = saves

    ratio = quotient(file_bytes, graph_bytes)
    out["file_vs_memory"] = {"value": ratio, "ahead": None if ratio is None else ratio <= 1}

    peer_files = {name: b for name, steps in peers.items() if (b := step_seconds(steps, "save", "file_bytes"))}
    smallest = min(peer_files, key=peer_files.get) if peer_files else None
    ratio = quotient(peer_files.get(smallest), file_bytes)
    out["smallest_peer_file"] = {"value": ratio, "peer": smallest, "ahead": None if ratio is None else ratio >= 1}

    file_pair = save + load if save is not None and load is not None else None
    ratio = quotient(step_seconds(qm, "pickle", "roundtrip_seconds"), file_pair)
    out["pickle_vs_file"] = {"value": ratio, "save_plus_load": file_pair, "target": PICKLE_VS_FILE_TARGET,
                             "met": None if ratio is None else ratio <= PICKLE_VS_FILE_TARGET}

    ratio = quotient(step_seconds(qm, "load_peak", "peak_bytes"), graph_bytes)
    out["load_peak_vs_graph"] = {"value": ratio}
    return out


def verdict(met: bool | None, yes: str = "met", no: str = "**missed**") -> str:
    return "–" if met is None else (yes if met else no)


def _x(value: float | None, digits: int = 2) -> str:
    return "–" if value is None else f"×{value:.{digits}f}"


def _named(peer: str | None) -> str:
    return f" ({peer})" if peer else ""


def _cells(*cells: str) -> str:
    """A Markdown table row; an empty cell is written "| |"."""
    return "|" + "".join(f" {c} |" if c else " |" for c in cells)


AHEAD = ("ahead", "**not ahead**")
SMALLER = ("smaller", "**larger**")
# The rows of the figures' table, in order: the figure, its label ({name}: the peer of a figure kept per
# peer), the sign of its target ("" for none: the verdict is then whether quillmesh is ahead) and
# the words of its verdict (None for no verdict).
FIGURE_ROWS = (
    ("load_vs_build", "load against `add_edges_flat` of the numpy array (build time / load time)", "≥",
     ("met", "**missed**")),
    ("load_vs_fastest_peer", "load against the fastest peer's load (peer / quillmesh)", "", AHEAD),
    ("save_vs_peers", "save against {name}'s save (peer / quillmesh)", "", AHEAD),
    ("file_vs_memory", "file size / the loaded graph's resident memory", "", SMALLER),
    ("smallest_peer_file", "the smallest peer file / quillmesh's file", "", SMALLER),
    ("pickle_vs_file", "pickle round trip / (save + load through a file)", "≤", ("met", "**missed**")),
    ("load_peak_vs_graph", "load's peak in a fresh process / the finished graph", "", None),
)
# The figures kept per peer (name -> figure) rather than once.
PER_PEER = {"save_vs_peers"}


def figure_rows(fig: dict) -> list[str]:
    """The figures as Markdown table rows: figure, value, target, verdict."""
    rows = []
    for key, label, sign, words in FIGURE_ROWS:
        for name, f in fig[key].items() if key in PER_PEER else [(None, fig[key])]:
            target = f"{sign} {f['target']:g}" if sign else ""
            judged = verdict(f["met" if sign else "ahead"], *words) if words else ""
            rows.append(_cells(label.format(name=name), _x(f["value"]) + _named(f.get("peer")), target, judged))
    return rows


def column_name(column: dict) -> str:
    return f"{column['lib']} ({column['interp']})" if column.get("interp") else column["lib"]


def runs_on(column: dict) -> str:
    if column["state"] != "run":
        return f"{column['state']}: {column['reason']}"
    i = column.get("interpreter") or {}
    if not i:
        return "–"
    return f"Python {i['version']}{'t' if i['build'] == 'free-threaded' else ''}"


def markdown(report: dict) -> str:
    s, m, g = report["settings"], report["machine"], report["graph"]
    columns = report["columns"]
    edges = g["edges"]
    qm = next(c for c in columns if c["lib"] == BASELINE)
    steps = qm.get("steps", {})
    base_save, base_load = step_seconds(steps, "save"), step_seconds(steps, "load")
    base_file = step_seconds(steps, "save", "file_bytes")
    out = [
        f"# quillmesh persistence benchmark — {s['scale']} scale",
        "",
        f"{m['date']} · {m['cpu']} · {m['cores']} cores · {m['memory_gib']:.0f} GiB · "
        f"load average {m['load_before']} before, {m.get('load_after', '?')} after · quillmesh {m['commit']}",
        "",
        f"Uniform G(n, m): {g['nodes']:,} nodes, {edges:,} edges ({g['file']}), the same edges in every library, "
        f"each built from the edge array untimed in a worker process of its own. Best of {s['repeat']} runs. "
        f"Every library saves to a file in {s['workdir']} (on the same filesystem as the repository), the file "
        "removed before each save; then the file is read once, untimed, so that **every load reads from a warm "
        "page cache**. The workers run with MIMALLOC_PURGE_DELAY=0, as the loads of bench/run.py do, so that the "
        "free-threaded build hands freed memory back at once and a graph's resident memory is its own. quillmesh's save to a path is atomic and durable: it writes a temporary file, flushes it to "
        "disk (fsync), renames it and syncs the folder; the peers' writers sync nothing (the row below the table "
        "gives quillmesh's save to an open file object, without the sync). Ratio = peer / quillmesh: above 1 quillmesh is faster or its file smaller; **bold** where "
        "it is not. MB = 10^6 bytes.",
        "",
    ]
    heads = [column_name(c) for c in columns]
    out += ["| operation | " + " | ".join(heads) + " |", "|---" + "|---:" * len(columns) + "|",
            "| runs on | " + " | ".join(runs_on(c) for c in columns) + " |",
            "| means | " + " | ".join(MEANS[c["lib"]] if c["state"] == "run" else "" for c in columns) + " |"]

    def row(label, cell):
        return f"| {label} | " + " | ".join(cell(c) if c["state"] == "run" else "—" for c in columns) + " |"

    def timed(step, base):
        return lambda c: time_cell(c.get("steps", {}), step, None if c["lib"] == BASELINE else base)

    out.append(row("save to a file", timed("save", base_save)))
    out.append(row("load from the file (page cache warm)", timed("load", base_load)))
    out.append(row("file size", lambda c: size_cell(step_seconds(c.get("steps", {}), "save", "file_bytes"), edges,
                                                   None if c["lib"] == BASELINE else base_file)))
    out += ["", "## quillmesh in detail", "",
            "| operation | time | memory |", "|---|---:|---|"]
    out += detail_rows(steps, edges)
    out += ["", "## Figures", "", "| figure | value | target | |", "|---|---:|---:|---|"]
    out += figure_rows(report["figures"])
    out += ["", "## Libraries", ""]
    for c in columns:
        if c["state"] == "run":
            versions = ", ".join(f"{k} {v}" for k, v in c.get("versions", {}).items())
            i = c.get("interpreter") or {}
            where = f"Python {i.get('version')} {i.get('build')}, {i.get('executable')}" if i else c.get("python", "")
            out.append(f"- **{column_name(c)}**: {versions}; {where}; load average {c.get('load_average', '?')} "
                       "when its worker started")
        else:
            out.append(f"- **{column_name(c)}**: {c['state']}: {c['reason']}")
    out += ["", "## Checks", ""]
    if report["failures"]:
        out += [f"- FAILED: {f}" for f in report["failures"]]
    else:
        out.append(f"All {report['checked']} checks agree: every loaded graph has the edge list's node and edge "
                   "counts and the degree of every node; quillmesh's loaded, unpickled and copied graphs list "
                   "exactly the saved graph's nodes and edges, in the same order, and its file saved to a file "
                   "object is byte for byte the one saved to a path.")
    return "\n".join(out) + "\n"


def detail_rows(steps: dict, edges: int) -> list[str]:
    """quillmesh's own rows: the build it is set against, the load's memory, pickle and copy."""
    def mem(step, key="resident_bytes"):
        b = step_seconds(steps, step, key)
        return "–" if b is None else f"{format_bytes(b)} held, {b / edges:.1f} B/edge"

    def secs(step, key="seconds"):
        v = step_seconds(steps, step, key)
        return format_seconds(v) if v is not None else status_text(steps.get(step))

    rows = [f"| `add_edges_flat` of the interleaved int64 numpy array, into a new graph | {secs('build')} | "
            f"{mem('build')} |",
            f"| `quillmesh.io.save` to a file (a path: atomic, flushed to disk with fsync) | {secs('save')} | |",
            f"| `quillmesh.io.save` to an open binary file object (no fsync) | {secs('save_object')} | |",
            f"| `quillmesh.io.load` from the file (page cache warm) | {secs('load')} | {mem('load')} |"]
    peak = steps.get("load_peak")
    if peak and peak.get("status") == "ok":
        graph = step_seconds(steps, "load", "resident_bytes")
        text = (f"peak {format_bytes(peak['peak_bytes'])} above a process that only imports quillmesh "
                f"(VmHWM {format_bytes(min(peak['load_hwm']))} against {format_bytes(min(peak['baseline_hwm']))})")
        if graph:
            text += f"; {_x(quotient(peak['peak_bytes'], graph))} the finished graph"
        rows.append(f"| `quillmesh.io.load` in a fresh process | | {text} |")
    elif peak:
        rows.append(f"| `quillmesh.io.load` in a fresh process | | {status_text(peak)}: {peak.get('message', '')} |")
    save, load = step_seconds(steps, "save"), step_seconds(steps, "load")
    if save is not None and load is not None:
        rows.append(f"| save + load through the file | {format_seconds(save + load)} | |")
    p = steps.get("pickle")
    if p and p.get("status") == "ok":
        size = (f"{format_bytes(p['inband_bytes'] + p['buffer_bytes'])} pickled: {p['buffers']} out-of-band "
                f"buffers of {format_bytes(p['buffer_bytes'])} and {p['inband_bytes']:,} bytes in band")
        rows += [f"| `pickle.dumps(g, protocol=5, buffer_callback=buffers.append)` | {secs('pickle', 'dumps_seconds')} | "
                 f"{size} |",
                 f"| `pickle.loads(data, buffers=buffers)` | {secs('pickle', 'loads_seconds')} | |",
                 f"| pickle round trip (dumps + loads, best run) | {secs('pickle', 'roundtrip_seconds')} | |"]
    else:
        rows.append(f"| pickle round trip | {secs('pickle')} | |")
    rows.append(f"| `copy.copy(g)` | {secs('copy')} | |")
    return rows


# ---- the workers (one process per library)


def warm(path: Path) -> None:
    """Reads a file once, so that the page cache holds it."""
    buffer = bytearray(WARM_CHUNK)
    with open(path, "rb", buffering=0) as f:
        while f.readinto(buffer):
            pass


def same_bytes(a: Path, b: Path) -> bool:
    """Whether two files hold the same bytes (read a chunk at a time)."""
    if a.stat().st_size != b.stat().st_size:
        return False
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while chunk := fa.read(WARM_CHUNK):
            if chunk != fb.read(WARM_CHUNK):
                return False
    return True


def timed(call) -> tuple[float, object]:
    started = time.perf_counter()
    result = call()
    return time.perf_counter() - started, result


def repeat_timed(call, repeat: int, first=None) -> list[float]:
    """Times call() repeat times; first(result), when given, runs untimed on the first run's result.
    The previous run's result is let go before the next run starts."""
    times = []
    for i in range(repeat):
        gc.collect()
        seconds, result = timed(call)
        times.append(seconds)
        if i == 0 and first is not None:
            first(result)
        del result
    return times


def timed_saves(save, g, path: Path, repeat: int) -> dict:
    """Saves g repeat times, the file removed (untimed) before each; then reads it once untimed."""
    times = []
    for _ in range(repeat):
        path.unlink(missing_ok=True)
        gc.collect()
        seconds, _ = timed(lambda: save(g, path))
        times.append(seconds)
    file_bytes = path.stat().st_size
    warm(path)
    return {"times": times, "seconds": best(times), "file_bytes": file_bytes}


def first_run_memory(build, repeat: int, check) -> dict:
    """Times build() repeat times; the first run also gets the resident memory its result holds (the
    settled RSS after less before, as bench/worker.py measures loads) and is checked. Returns the
    step and keeps the last result in step["graph"] (not part of the JSON)."""
    times, held, kept = [], None, None
    for i in range(repeat):
        kept = None
        gc.collect()
        before = resident_bytes() if i == 0 else 0
        seconds, kept = timed(build)
        times.append(seconds)
        if i == 0:
            held = resident_bytes() - before
            check(kept)
    return {"times": times, "seconds": best(times), "resident_bytes": held, "graph": kept}


def degrees_by_id(nodes: np.ndarray, degrees: np.ndarray, n: int) -> np.ndarray:
    """A degree per id 0..n-1 from (node, degree) arrays in any order."""
    out = np.zeros(n, dtype=np.int64)
    out[np.asarray(nodes, dtype=np.int64)] = np.asarray(degrees, dtype=np.int64)
    return out


class Checks:
    """What the loaded graphs must agree with: the edge list's counts and degrees."""

    def __init__(self, edges: np.ndarray) -> None:
        self.n = int(edges.max()) + 1 if edges.size else 0
        self.m = int(edges.shape[0])
        self.degree = np.bincount(edges.reshape(-1), minlength=self.n)
        self.failures: list[str] = []
        self.done = 0

    def graph(self, what: str, nodes: int, edges: int, degree_by_id: np.ndarray) -> None:
        self.done += 1
        if (nodes, edges) != (self.n, self.m):
            self.failures.append(f"{what}: {nodes:,} nodes and {edges:,} edges, the edge list has {self.n:,} and {self.m:,}")
        elif not np.array_equal(degree_by_id, self.degree):
            wrong = int(np.count_nonzero(degree_by_id != self.degree))
            self.failures.append(f"{what}: {wrong:,} nodes with another degree than in the edge list")

    def same(self, what: str, equal: bool) -> None:
        self.done += 1
        if not equal:
            self.failures.append(what)


class Peer:
    """How one peer builds (untimed), saves, loads and counts its graph."""

    def __init__(self, lib: str) -> None:
        from adapters import ADAPTERS

        self.lib = lib
        self.adapter = ADAPTERS[lib]()
        self.module = self.adapter.lib

    def build(self, edges: np.ndarray, n: int):
        a = self.adapter
        if "load_numpy" not in a.unsupported:
            return a.from_numpy(n, edges)
        return a.from_tuples(n, list(zip(edges[:, 0].tolist(), edges[:, 1].tolist())))

    def save(self, g, path: Path) -> None:
        if self.lib == "networkit":
            self.module.graphio.NetworkitBinaryWriter().write(g, str(path))
        elif self.lib == "igraph":
            g.write_pickle(str(path))
        else:
            with open(path, "wb") as f:
                pickle.dump(g, f, protocol=5)

    def load(self, path: Path):
        if self.lib == "networkit":
            return self.module.graphio.NetworkitBinaryReader().read(str(path))
        if self.lib == "igraph":
            return self.module.Graph.Read_Pickle(str(path))
        with open(path, "rb") as f:
            return pickle.load(f)

    def degrees(self, g, n: int) -> np.ndarray:
        if self.lib == "networkit":
            scores = self.module.centrality.DegreeCentrality(g).run().scores()
            return np.rint(np.asarray(scores)).astype(np.int64)
        if self.lib == "igraph":
            return np.asarray(g.degree(), dtype=np.int64)
        if self.lib == "rustworkx":
            nodes = np.asarray(g.node_indices(), dtype=np.int64)
            return degrees_by_id(nodes, np.fromiter((g.degree(v) for v in nodes.tolist()), np.int64, nodes.size), n)
        pairs = np.array(list(g.degree), dtype=np.int64).reshape(-1, 2)
        return degrees_by_id(pairs[:, 0], pairs[:, 1], n)

    def check(self, checks: Checks, what: str, g) -> None:
        nodes, edges = self.adapter.counts(g)
        checks.graph(f"{self.lib}, {what}", nodes, edges, self.degrees(g, checks.n))


class Stepper:
    """Runs a worker's steps, announcing each and reporting its result or what stopped it."""

    def __init__(self) -> None:
        self.ok = True

    def __call__(self, step: str, work) -> dict | None:
        emit(event="step", step=step)
        try:
            out = work()
        except Exception as exc:  # reported per step; the driver decides what it means
            message = f"{type(exc).__name__}: {exc}" if str(exc) else type(exc).__name__
            emit(event="result", step=step, status="oom" if out_of_memory(exc) else "error", message=message)
            self.ok = False
            return None
        shown = {k: v for k, v in out.items() if k != "graph"}
        emit(event="result", step=step, status="ok", **shown)
        return out


def run_peer(lib: str, edges_path: Path, workdir: Path, repeat: int) -> None:
    peer = Peer(lib)
    emit(event="hello", versions=peer.adapter.versions(), interpreter=interpreter())
    edges = np.load(edges_path)
    checks = Checks(edges)
    step = Stepper()

    def build() -> dict:
        seconds, g = timed(lambda: peer.build(edges, checks.n))
        return {"seconds": seconds, "graph": g}

    built = step("setup", build)
    if built is None:
        return
    g = built.pop("graph")
    edges = None  # the graph is made; the array is not needed again
    peer.check(checks, "the built graph", g)
    path = workdir / f"{lib}{FILE_SUFFIX[lib]}"
    if step("save", lambda: timed_saves(peer.save, g, path, repeat)) is None:
        return
    g = None
    gc.collect()

    def load() -> dict:
        times = repeat_timed(lambda: peer.load(path), repeat, lambda h: peer.check(checks, "loaded", h))
        return {"times": times, "seconds": best(times)}

    step("load", load)
    path.unlink(missing_ok=True)
    emit(event="checks", done=checks.done, failures=checks.failures)


def run_quillmesh(edges_path: Path, workdir: Path, repeat: int) -> None:
    from importlib import metadata

    import quillmesh.io as qio
    from quillmesh import IntGraphCore, arrays

    emit(event="hello", versions={"quillmesh": metadata.version("quillmesh"), "numpy": np.__version__},
         interpreter=interpreter())
    edges = np.load(edges_path)
    flat = edges.reshape(-1)
    checks = Checks(edges)
    step = Stepper()

    def check_against_edges(what):
        def check(g):
            checks.graph(f"quillmesh, {what}", g.number_of_nodes(), g.number_of_edges(),
                         degrees_by_id(arrays.nodes(g), arrays.degrees(g), checks.n))
        return check

    def build():
        g = IntGraphCore()
        g.add_edges_flat(flat)
        return g

    built = step("build", lambda: first_run_memory(build, repeat, check_against_edges("built with add_edges_flat")))
    if built is None:
        return
    g = built.pop("graph")
    edges = flat = None  # the graph is made; the array is not needed again
    saved_nodes, saved_edges = arrays.nodes(g), arrays.edges(g)

    def same_as_saved(what):
        def check(h):
            checks.same(f"quillmesh, {what}: the nodes or edges differ from the saved graph's",
                        np.array_equal(arrays.nodes(h), saved_nodes) and np.array_equal(arrays.edges(h), saved_edges))
        return check

    path = workdir / f"quillmesh{FILE_SUFFIX['quillmesh']}"
    if step("save", lambda: timed_saves(qio.save, g, path, repeat)) is None:
        return

    def save_to_object(g, target: Path) -> None:
        with open(target, "wb") as f:
            qio.save(g, f)

    # A path is saved atomically and durably (flushed to disk, renamed, the folder synced); the peers'
    # writers sync nothing. The same bytes written to an open file object show what the sync costs.
    unsynced = workdir / f"quillmesh-object{FILE_SUFFIX['quillmesh']}"
    by_object = step("save_object", lambda: timed_saves(save_to_object, g, unsynced, repeat))
    if by_object is not None:
        checks.same("quillmesh: the file saved to a path and the one saved to a file object differ",
                    same_bytes(path, unsynced))
    unsynced.unlink(missing_ok=True)

    loaded = step("load", lambda: first_run_memory(lambda: qio.load(path), repeat, same_as_saved("loaded")))
    if loaded is not None:
        loaded.pop("graph")

    def pickled() -> dict:
        dumps, loads, trips, sizes = [], [], [], {}
        for i in range(repeat):
            gc.collect()
            buffers: list = []
            started = time.perf_counter()
            data = pickle.dumps(g, protocol=5, buffer_callback=buffers.append)
            middle = time.perf_counter()
            h = pickle.loads(data, buffers=buffers)
            ended = time.perf_counter()
            dumps.append(middle - started)
            loads.append(ended - middle)
            trips.append(ended - started)
            if i == 0:
                sizes = {"inband_bytes": len(data), "buffers": len(buffers),
                         "buffer_bytes": sum(b.raw().nbytes for b in buffers)}
                same_as_saved("unpickled")(h)
            del data, buffers, h
        return {"dumps_times": dumps, "loads_times": loads, "roundtrip_times": trips,
                "dumps_seconds": best(dumps), "loads_seconds": best(loads), "roundtrip_seconds": best(trips),
                "seconds": best(trips), **sizes}

    step("pickle", pickled)
    def copied() -> dict:
        times = repeat_timed(lambda: copy.copy(g), repeat, same_as_saved("copied"))
        return {"times": times, "seconds": best(times)}

    step("copy", copied)
    # The file stays for the fresh-process load the driver measures next.
    emit(event="checks", done=checks.done, failures=checks.failures)


def worker_main(args) -> int:
    limit_address_space(args.memory_limit)
    try:
        if args.worker == BASELINE:
            run_quillmesh(args.edges, args.dir, args.repeat)
        else:
            run_peer(args.worker, args.edges, args.dir, args.repeat)
    except ImportError as exc:
        emit(event="fatal", message=f"cannot import: {exc}")
        return 3
    emit(event="end")
    return 0


# ---- the driver


class WorkerProcess(WorkerPipe):
    """A persist worker whose JSON lines arrive on a queue; its stderr is passed on and its tail kept
    (see workerpipe.py)."""

    def events_until(self, deadline: float):
        """Yields events until the worker ends; "timeout" once the deadline passes (the worker killed)."""
        while True:
            try:
                event = self.events.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                self.kill()
                yield "timeout"
                return
            if event is None:
                return
            yield event

    def death(self) -> tuple[str, str]:
        """(status, message) for a worker that ended before its "end" event."""
        code = self.proc.wait()
        self._stderr_done.join(timeout=5)
        tail = "".join(self.stderr_tail).lower()
        if code == -signal.SIGKILL:
            return "oom", "killed by SIGKILL, most likely by the kernel's out-of-memory killer"
        if any(word in tail for word in OUT_OF_MEMORY_WORDS):
            last = self.stderr_tail[-1].strip()[:200] if self.stderr_tail else ""
            return "oom", f"worker exited with status {code}: {last}"
        return "error", f"worker exited with status {code}"


def worker_env() -> dict:
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    env["PYTHONUNBUFFERED"] = "1"
    # Freed object memory goes back at once, so a graph's resident memory is its own (see rss.py).
    env["MIMALLOC_PURGE_DELAY"] = "0"
    return env


def run_worker(column: dict, args, edges_path: Path, report: dict) -> None:
    """Runs one library's worker and files its steps, checks and failures into column and report."""
    from run import load_average

    column["load_average"] = load_average()
    command = [column["python"], str(Path(__file__).resolve()), "--worker", column["lib"], "--edges", str(edges_path),
               "--dir", str(args.workdir), "--repeat", str(args.repeat), "--memory-limit", str(args.memory_limit)]
    worker = WorkerProcess(command, worker_env())
    steps = column.setdefault("steps", {})
    current, ended = None, False
    name = column_name(column)
    for event in worker.events_until(time.monotonic() + args.timeout):
        if event == "timeout":
            steps[current or "setup"] = {"status": "timeout",
                                         "message": f"the worker ran past {args.timeout:.0f} s and was stopped"}
            ended = True
            break
        kind = event["event"]
        if kind == "hello":
            column["versions"], column["interpreter"] = event["versions"], event["interpreter"]
        elif kind == "fatal":
            column["state"], column["reason"] = "not installable", event["message"]
            log(f"  {name}: {event['message']}")
            if column["lib"] == BASELINE:  # every figure needs it
                report["errors"].append(f"{name}: {event['message']}")
            ended = True
        elif kind == "step":
            current = event["step"]
            print(f"  {name:<20} {current:<8}", end="", flush=True)
        elif kind == "result":
            step = {k: v for k, v in event.items() if k not in ("event", "step")}
            steps[event["step"]] = step
            current = None
            if step["status"] == "ok":
                extra = f"  {format_bytes(step['file_bytes'])}" if "file_bytes" in step else ""
                extra += f"  {step['resident_bytes'] / report['graph']['edges']:.1f} B/edge held" \
                    if step.get("resident_bytes") else ""
                log(f" {format_seconds(step.get('seconds'))}{extra}")
            else:
                log(f" {status_text(step)}: {step['message']}")
                if step["status"] == "error":
                    report["errors"].append(f"{name}, {event['step']}: {step['message']}")
        elif kind == "checks":
            report["checked"] += event["done"]
            report["failures"] += event["failures"]
        elif kind == "end":
            ended = True
    if not ended:
        status, message = worker.death()
        steps[current or "setup"] = {"status": status, "message": message}
        log(f" {status}: {message}")
        if status == "error":
            report["errors"].append(f"{name}, {current or 'setup'}: {message}")
    worker.proc.wait()


def measure_load_peak(python: str, path: Path, repeat: int, expect: tuple[int, int]) -> dict:
    """Peak RSS (VmHWM) of fresh processes that load the file, and of as many that only import quillmesh."""
    env = worker_env()

    def one(*argv) -> dict:
        done = subprocess.run([python, "-c", PEAK_PROGRAM, *argv], capture_output=True, text=True, env=env,
                              cwd=ROOT, timeout=PEAK_TIMEOUT)
        if done.returncode != 0:
            raise RuntimeError(f"the process exited with status {done.returncode}: {done.stderr.strip()[-300:]}")
        return json.loads(done.stdout.strip().splitlines()[-1])

    loads, baselines = [], []
    for _ in range(repeat):
        baselines.append(one()["hwm"])
        got = one(str(path))
        if (got["nodes"], got["edges"]) != expect:
            raise RuntimeError(f"the fresh process loaded {got['nodes']:,} nodes and {got['edges']:,} edges")
        loads.append(got["hwm"])
    return {"status": "ok", "load_hwm": loads, "baseline_hwm": baselines, "peak_bytes": peak_figure(loads, baselines)}


def imports(python: str, module: str) -> bool:
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    try:
        return subprocess.run([python, "-c", f"import {module}"], capture_output=True, env=env, timeout=120).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


def plan_columns(libs: list[str], scale: str, pythons: dict[str, str], importable=imports) -> list[dict]:
    """A column per library: quillmesh on the "ft" python (the driver's unless told otherwise); each peer
    on the first interpreter it imports on, "ft" before "gil", or why it does not run."""
    columns = [{"lib": BASELINE, "interp": "ft", "python": pythons["ft"], "state": "run", "reason": ""}]
    for lib in PEERS:
        if lib not in libs:
            continue
        if lib in PURE_PYTHON and scale not in PURE_PYTHON[lib]:
            columns.append({"lib": lib, "interp": None, "state": "skipped",
                            "reason": f"pure Python, run only at --scale {'/'.join(PURE_PYTHON[lib])}"})
            continue
        where = next((interp for interp, py in pythons.items() if py and importable(py, lib)), None)
        if where is None:
            tried = ", ".join(f"{i} ({py})" for i, py in pythons.items() if py) or "no interpreter"
            columns.append({"lib": lib, "interp": None, "state": "not installable",
                            "reason": f"does not import on {tried}"})
        else:
            columns.append({"lib": lib, "interp": where, "python": pythons[where], "state": "run", "reason": ""})
    return columns


def parse_args(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sizes = ", ".join(f"{name} = {n:,} nodes / {m:,} edges" for name, (n, m) in SCALES.items())
    p.add_argument("--scale", choices=list(SCALES), default="medium", help=f"{sizes} (default medium)")
    p.add_argument("--repeat", type=int, default=DEFAULT_REPEAT, help="runs of every step; the best counts")
    p.add_argument("--libs", help=f"comma-separated peers from {', '.join(PEERS)} (default all); quillmesh always runs")
    p.add_argument("--python", default=sys.executable,
                   help="interpreter for quillmesh, and for every peer that imports on it (default: this one)")
    p.add_argument("--python-gil", default="",
                   help="interpreter of the standard-CPython venv, for the peers that do not import on --python")
    p.add_argument("--timeout", type=float, help="seconds one library's worker may take in all "
                   f"(default {', '.join(f'{s} {t:.0f}' for s, t in WORKER_TIMEOUT.items())})")
    p.add_argument("--memory-limit", type=float,
                   help="address-space limit of every worker, in GiB, 0 for none (default: the RAM less 4 GiB)")
    p.add_argument("--data-dir", type=Path, default=BENCH / ".data")
    p.add_argument("--json", type=Path, help="default bench/results/persist-{scale}.json")
    p.add_argument("--md", type=Path, help="default bench/results/persist-{scale}.md")
    p.add_argument("--worker", choices=[BASELINE, *PEERS], help=argparse.SUPPRESS)
    p.add_argument("--edges", type=Path, help=argparse.SUPPRESS)
    p.add_argument("--dir", type=Path, help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.repeat < 1:
        p.error("--repeat must be at least 1")
    if args.worker:
        args.memory_limit = int(args.memory_limit or 0)  # bytes, as the driver passes it
        if args.edges is None or args.dir is None:
            p.error("a worker needs --edges and --dir")
        return args
    libs = [x.strip() for x in (args.libs or ",".join(PEERS)).split(",") if x.strip()]
    unknown = sorted(set(libs) - set(PEERS))
    if unknown:
        p.error(f"unknown libraries {unknown}; known: {', '.join(PEERS)}")
    args.lib_names = libs
    args.timeout = WORKER_TIMEOUT[args.scale] if args.timeout is None else args.timeout
    args.memory_limit = default_limit() if args.memory_limit is None else int(args.memory_limit * (1 << 30))
    args.json = args.json or BENCH / "results" / f"persist-{args.scale}.json"
    args.md = args.md or BENCH / "results" / f"persist-{args.scale}.md"
    args.workdir = args.data_dir / f"persist-{args.scale}"
    return args


def main(argv=None) -> int:
    args = parse_args(argv)
    if args.worker:
        return worker_main(args)
    from run import load_average, machine_info

    machine = machine_info()
    n, m = SCALES[args.scale]
    log(f"persist: {args.scale} scale (n={n:,}, m={m:,}) on {machine['cpu']}, {machine['cores']} cores, "
        f"load average {machine['load_before']}")
    files = graphs.ensure("uniform", args.scale, args.data_dir, log=lambda s: log(f"persist: {s}"))
    edges = np.load(files.edges, mmap_mode="r")
    graph = {"nodes": int(edges.max()) + 1, "edges": int(edges.shape[0]),
             "file": str(files.edges.relative_to(ROOT) if files.edges.is_relative_to(ROOT) else files.edges)}
    del edges
    pythons = {"ft": args.python, "gil": args.python_gil}
    columns = plan_columns(args.lib_names, args.scale, pythons)
    shown_dir = args.workdir.relative_to(ROOT) if args.workdir.resolve().is_relative_to(ROOT) else args.workdir
    settings = {"scale": args.scale, "repeat": args.repeat, "timeout": args.timeout,
                "memory_limit": args.memory_limit, "workdir": str(shown_dir),
                "page_cache": "warm: each file read once, untimed, before its timed loads"}
    report = {"settings": settings, "machine": machine, "graph": graph, "columns": columns,
              "checked": 0, "failures": [], "errors": []}
    for c in columns:
        log(f"persist: {column_name(c)}: " + ("runs" if c["state"] == "run" else f"{c['state']}: {c['reason']}"))

    shutil.rmtree(args.workdir, ignore_errors=True)
    args.workdir.mkdir(parents=True)
    try:
        for column in columns:
            if column["state"] == "run":
                run_worker(column, args, files.edges, report)
            if column["lib"] == BASELINE and step_seconds(column["steps"], "save") is not None:
                path = args.workdir / f"quillmesh{FILE_SUFFIX['quillmesh']}"
                print(f"  {column_name(column):<20} {'peak':<8}", end="", flush=True)
                try:
                    peak = measure_load_peak(column["python"], path, args.repeat, (graph["nodes"], graph["edges"]))
                    log(f" {format_bytes(peak['peak_bytes'])} above importing quillmesh")
                except (RuntimeError, subprocess.TimeoutExpired, ValueError) as exc:
                    peak = {"status": "error", "message": str(exc)}
                    report["errors"].append(f"{column_name(column)}, load_peak: {exc}")
                    log(f" error: {exc}")
                column["steps"]["load_peak"] = peak
                path.unlink(missing_ok=True)
    finally:
        shutil.rmtree(args.workdir, ignore_errors=True)
    machine["load_after"] = load_average()
    qm = columns[0].get("steps", {})
    report["figures"] = figures(qm, {column_name(c): c.get("steps", {}) for c in columns[1:] if c["state"] == "run"})

    text = markdown(report)
    log("\n" + text)
    for path, content in ((args.md, text), (args.json, json.dumps(report, indent=1, default=str) + "\n")):
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(content)
        log(f"persist: wrote {path.relative_to(ROOT) if path.resolve().is_relative_to(ROOT) else path}")
    if report["failures"]:
        log("\npersist: CHECK FAILED:\n" + "\n".join(f"  {f}" for f in report["failures"]))
    if report["errors"]:
        log("\npersist: some steps failed:\n" + "\n".join(f"  {e}" for e in report["errors"]))
    return 1 if report["failures"] or report["errors"] else 0


if __name__ == "__main__":
    status = main()
    sys.stdout.flush()
    # A worker leaves without tearing its heap down: at large scale that alone takes seconds.
    os._exit(status)
