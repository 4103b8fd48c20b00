"""The benchmark driver behind `make bench`: quillmesh against networkx, igraph, rustworkx and networkit.

    .venv-bench-ft/bin/python bench/run.py --python-ft PY [--python-gil PY] [--scale small|medium|large|real]
        [--ops a,b] [--libs a,b] [--repeat N] [--graphs uniform,rmat,sparse,highways,...] [--memory-limit GIB]

It makes (or reuses) the input graphs under bench/.data, then for every graph and every library runs
bench/worker.py in a subprocess of the interpreter the library is installed for: the free-threaded
one when the library has a wheel for it, otherwise the standard CPython 3.13 venv. quillmesh runs on
both, and each peer is compared with quillmesh on its own interpreter. Every load op gets a fresh
worker (its memory figure must not see garbage from earlier ops); the query ops share one. A run
that goes past --op-timeout is stopped by killing its worker, and a new worker takes the remaining
ops (quillmesh itself, the baseline, only gets a much longer safety limit). Every worker caps its
own address space at --memory-limit, so one that needs more memory fails alone and its op is
reported as out of memory. Results are cross-checked between libraries and against answers computed
from the edge list with numpy (per-node analysis results element by element, through files the
workers write under the data directory); any disagreement or failed op makes the exit status non-zero, after
the report (Markdown, JSON and a PNG chart under bench/results/, and for a full run a copy named
after the scale) has been written.
"""

from __future__ import annotations

import argparse
import datetime as dt
import json
import math
import os
import platform
import queue
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

import graphs
import realgraphs
from adapters import ADAPTERS
from catalogue import (BY_NAME, FLOAT_ATOL, FLOAT_RTOL, OPS, PAGERANK_MIN_OVERLAP, PEER_LIMIT_CAP, SKIPPED_ON,
                       UNIFORM_ONLY, select)
from install import status_path
from partition import fixed_labels, modularity
from report import BASELINE, STATUS_TEXT, Column, Report, Result, format_seconds
from rss import GIB, LIMIT_MARGIN, OUT_OF_MEMORY_WORDS, available_memory, default_limit, format_bytes
from workerpipe import WorkerPipe

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
WORKER = BENCH / "worker.py"
LIBRARIES = tuple(ADAPTERS)
PEERS = tuple(lib for lib in LIBRARIES if lib != BASELINE)
# Libraries written in Python run only at these scales (the real graphs have at most a few million edges).
PURE_PYTHON = {"networkx": ("small", "real")}
# The scale that runs the real graphs alone, each at its own size.
REAL_SCALE = "real"
GRAPH_TITLES = {
    "uniform": "uniform G(n, m)",
    "rmat": f"R-MAT (a={graphs.RMAT_A}, b={graphs.RMAT_B}, c={graphs.RMAT_C})",
    "sparse": "sparse G(n, m), m = n",
    **{kind: source.title for kind, source in realgraphs.SOURCES.items()},
}
DEFAULT_REPEAT = 3
DEFAULT_OP_BUDGET = 3.0
# Per scale: a peer's time limit for one run of a load op and of a query op, and the graphs run by
# default. At large scale a load takes a peer one to two minutes, and the R-MAT graph is left out:
# drawing it takes about ten minutes and 9 GB of the driver's memory, and running it would double a
# run of some forty minutes (--graphs uniform,rmat,sparse runs it anyway). The real graphs are small
# enough to let every peer's run go on for longer, so that few of their rows are only lower bounds.
SCALE_DEFAULTS = {
    "small": {"op_timeout": 10.0, "query_timeout": 5.0, "graphs": ",".join(graphs.KINDS)},
    "medium": {"op_timeout": 10.0, "query_timeout": 5.0, "graphs": ",".join(graphs.KINDS)},
    "large": {"op_timeout": 240.0, "query_timeout": 45.0, "graphs": "uniform,sparse"},
    REAL_SCALE: {"op_timeout": 30.0, "query_timeout": 30.0, "graphs": ",".join(graphs.REAL_KINDS)},
}
# Seconds allowed for what is not a timed run of a peer: a quillmesh run (the baseline every ratio
# needs), a worker's start, the preparation of an op's input and the build of the query graph. The
# limit is only there to end a hung worker.
BASELINE_TIMEOUT = 600.0
KIB = 1 << 10


def log(message: str = "", end: str = "\n") -> None:
    print(message, end=end, flush=True)


# ---- planning


def installed(python: str) -> dict | None:
    """The install record of the venv a python belongs to (None when none was made)."""
    path = status_path(Path(python).parent.parent)
    return json.loads(path.read_text())["packages"] if path.exists() else None


def plan_columns(libs: list[str], scale: str, pythons: dict[str, str | None]) -> list[Column]:
    records = {interp: installed(py) if py else None for interp, py in pythons.items()}
    columns = []
    for lib in libs:
        if lib == BASELINE:
            columns += [Column(lib, interp) for interp, py in pythons.items() if py]
            continue
        if lib in PURE_PYTHON and scale not in PURE_PYTHON[lib]:
            columns.append(Column(lib, None, "skipped",
                                  f"pure Python, run only at --scale {'/'.join(PURE_PYTHON[lib])}"))
            continue
        reasons = []
        for interp, py in pythons.items():
            if not py:
                reasons.append(f"{interp}: no standard CPython 3.13 on this machine for a second venv")
                continue
            record = records[interp]
            entry = (record or {}).get(lib)
            if record is None or (entry and entry["installed"]):
                columns.append(Column(lib, interp))
                break
            reasons.append(f"{interp}: {entry['reason'] if entry else 'not in bench/requirements-peers.txt'}")
        else:
            columns.append(Column(lib, None, "not installable", "; ".join(reasons)))
    return columns


# ---- running workers


class Worker(WorkerPipe):
    """One bench/worker.py process; yields its events, or a timeout marker when it goes quiet too long.
    Its stderr is passed on and its tail kept (see workerpipe.py)."""

    def __init__(self, python: str, args: list[str], env: dict) -> None:
        super().__init__([python, str(WORKER), *args], env)

    def death(self) -> tuple[str, str]:
        """(status, message) for a worker that exited before its "end" event."""
        code = self.close()
        self._stderr_done.join(timeout=5)
        tail = "".join(self.stderr_tail).lower()
        if code == -signal.SIGKILL and not self.killed:
            return "oom", "killed by SIGKILL, most likely by the kernel's out-of-memory killer"
        if any(word in tail for word in OUT_OF_MEMORY_WORDS):
            last = next((line.strip() for line in reversed(self.stderr_tail)
                         if any(word in line.lower() for word in OUT_OF_MEMORY_WORDS)), "")
            return "oom", f"worker exited with status {code}: {last[:200]}"
        return "error", f"worker exited with status {code}"

    def next(self, timeout: float):
        try:
            return self.events.get(timeout=timeout)
        except queue.Empty:
            return "timeout"


class Bench:
    def __init__(self, args, columns: list[Column], pythons: dict[str, str | None], report: Report) -> None:
        self.args = args
        self.columns = columns
        self.pythons = pythons
        self.report = report
        self.env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
        self.env["PYTHONUNBUFFERED"] = "1"

    def run_graph(self, kind: str, files: graphs.GraphFiles, ops: list[str]) -> None:
        for column in self.columns:
            if column.state != "run":
                for op in ops:
                    self.report.add(Result(kind, op, column.name, column.state, message=column.reason))
                continue
            loads = [op for op in ops if BY_NAME[op].kind == "load"]
            queries = [op for op in ops if BY_NAME[op].kind == "query"]
            batches = [[op] for op in loads] + ([queries] if queries else [])
            base = ADAPTERS[column.lib].base_form()
            if queries and base in loads and column.lib != BASELINE:
                # A peer's query ops run on the graph its base-form load op builds, in the same
                # process (that load still comes first there, so its memory figure is its own),
                # instead of building it once more. quillmesh keeps them apart: the load processes
                # run with an allocator setting that would slow its queries.
                batches = [[op] for op in loads if op != base] + [[base] + queries]
            for batch in batches:
                if column.state != "run":
                    break
                self.run_batch(kind, files, column, batch)

    def run_batch(self, kind: str, files: graphs.GraphFiles, column: Column, ops: list[str]) -> None:
        env = dict(self.env)
        if BY_NAME[ops[0]].kind == "load":
            # Return freed object memory at once, so a build's RSS growth is its own (see worker.py).
            env["MIMALLOC_PURGE_DELAY"] = "0"
        remaining = list(ops)
        while remaining and column.state == "run":
            args = ["--lib", column.lib, "--edges", str(files.edges), "--queries", str(files.queries),
                    "--ops", ",".join(remaining), "--repeat", str(self.args.repeat),
                    "--op-budget", str(self.args.op_budget), "--memory-limit", str(self.args.memory_limit_bytes)]
            if files.text.exists():
                args += ["--text", str(files.text)]
            if files.ball.exists():
                args += ["--ball", str(files.ball)]
            args += ["--check-dir", str(self.args.data_dir / "checks")]
            worker = Worker(self.pythons[column.interp], args, env)
            remaining = self.follow(kind, column, worker, remaining)

    def follow(self, kind: str, column: Column, worker: Worker, ops: list[str]) -> list[str]:
        """Reads one worker's events; returns the ops still to run after a stopped worker."""
        current = None
        in_setup = False
        pending = list(ops)
        wait = BASELINE_TIMEOUT
        while True:
            event = worker.next(wait)
            if event == "timeout" or event is None:
                if event == "timeout":
                    worker.kill()
                    message = f"a run took longer than {wait:.0f} s and was stopped"
                    status = "timeout"
                else:
                    status, message = worker.death()
                if in_setup:
                    # Every query op needs that graph: none of them can run.
                    self.fail_queries(kind, column, pending, status, f"building the graph for the queries: {message}",
                                      announce=False)
                    return []
                if current is None and not pending:
                    return []
                stopped = current or pending[0]
                self.record(Result(kind, stopped, column.name, status, message=message,
                                   limit=wait if status == "timeout" else None), column,
                            printed_label=current is not None)
                if status == "timeout":
                    self.cascade_timeout(kind, column, stopped, pending, wait)
                rest = [op for op in pending if op != stopped]
                if status == "oom" and stopped == ADAPTERS[column.lib].base_form():
                    # The query ops would build that same graph again.
                    queries = [op for op in rest if BY_NAME[op].kind == "query"]
                    self.fail_queries(kind, column, queries, "oom",
                                      f"its graph ({BY_NAME[stopped].label}) did not fit")
                    rest = [op for op in rest if op not in queries]
                return rest
            name = event["event"]
            # The short limit covers a timed run only: from its "run" event to the next event.
            wait = self.limit(kind, column, current) if name == "run" else BASELINE_TIMEOUT
            if name in ("hello", "fatal"):
                column.versions = event.get("versions", column.versions)
                i = event["interpreter"]
                column.python = f"{i['version']}{'t' if i['build'] == 'free-threaded' else ''}"
                column.interpreter = i
            if name == "fatal" and event.get("oom"):
                worker.close()
                log(f"  {column.name:<18} out of memory: {event['message']}")
                for op in pending:
                    self.report.add(Result(kind, op, column.name, "oom", message=event["message"]))
                return []
            elif name == "fatal":
                worker.close()
                column.state, column.reason = "not installable", event["message"]
                log(f"  {column.name:<18} {column.reason}")
                for op in pending:
                    self.report.add(Result(kind, op, column.name, column.state, message=column.reason))
                return []
            elif name == "setup":
                in_setup = True
                log(f"  {column.name:<18} {'(building its graph for the queries)':<28}", end="")
            elif name == "setup_done":
                in_setup = False
                log(f" {format_seconds(event['seconds']):>10}")
            elif name == "setup_failed":
                worker.close()
                self.fail_queries(kind, column, pending, event["status"], event["message"], announce=not in_setup)
                return []
            elif name == "start":
                current = event["op"]
                log(f"  {column.name:<18} {BY_NAME[current].label:<28}", end="")
            elif name in ("done", "unsupported", "error", "oom"):
                op = event["op"]
                pending = [o for o in pending if o != op]
                current = None
                self.record(self.result_of(kind, column, event), column, printed_label=name != "unsupported")
            elif name == "end":
                worker.close()
                return []
            elif name == "restart":  # the worker asks for a fresh process for the ops left
                worker.close()
                return pending

    def fail_queries(self, kind: str, column: Column, ops: list[str], status: str, message: str,
                     announce: bool = True) -> None:
        """Records ops that cannot run because the graph they share could not be built."""
        if announce:
            log(f"  {column.name:<18} {'(building its graph for the queries)':<28}", end="")
        log(f" {STATUS_TEXT.get(status, status)}: {message}")
        for op in ops:
            self.report.add(Result(kind, op, column.name, status, message=message))

    def limit(self, kind: str, column: Column, op: str | None) -> float:
        """Seconds a single run of op may take."""
        peer = self.args.query_timeout if op and BY_NAME[op].kind == "query" else self.args.op_timeout
        if column.lib == BASELINE:
            return max(peer, BASELINE_TIMEOUT)
        factor = BY_NAME[op].peer_limit_factor if op else 0.0
        base_name = self.report.baseline_column(column)
        base = self.report.get(kind, op, base_name) if factor and base_name else None
        if base is not None and base.status == "ok":
            peer = max(peer, min(factor * base.seconds, PEER_LIMIT_CAP))
        return peer

    def cascade_timeout(self, kind: str, column: Column, stopped: str, pending: list[str], limit: float) -> None:
        # An op the library runs as the very call that just timed out would only time out again.
        same = ADAPTERS[column.lib].same_call()
        for op in [op for op in pending if same.get(op) == stopped]:
            pending.remove(op)
            message = f"same call as {BY_NAME[stopped].label}, which was stopped"
            self.record(Result(kind, op, column.name, "timeout", message=message, limit=limit), column,
                        printed_label=False)

    @staticmethod
    def result_of(kind: str, column: Column, event: dict) -> Result:
        name, op = event["event"], event["op"]
        if name == "unsupported":
            return Result(kind, op, column.name, "unsupported", message=event["reason"])
        if name == "error":
            return Result(kind, op, column.name, "error", message=event["message"])
        if name == "oom":
            where = "preparing its input (untimed)" if event["stage"] == "input" else "in the op"
            return Result(kind, op, column.name, "oom", message=f"{where}: {event['message']}",
                          stage=event["stage"])
        return Result(kind, op, column.name, "ok", seconds=event["seconds"], runs=event["runs"],
                      times=event["times"], bytes_per_edge=event.get("bytes_per_edge"),
                      peak_bytes=event.get("peak_bytes"), check=event.get("check"), note=event.get("note"))

    def record(self, result: Result, column: Column, printed_label: bool = True) -> None:
        self.report.add(result)
        if not printed_label:
            if result.status != "unsupported":
                log(f"  {column.name:<18} {BY_NAME[result.op].label:<28} "
                    f"{STATUS_TEXT.get(result.status, result.status)}: {result.message}")
            return
        if result.status == "ok":
            memory = f"  peak {format_bytes(result.peak_bytes):>8}" if result.peak_bytes is not None else ""
            if result.bytes_per_edge is not None:
                memory += f"  {result.bytes_per_edge:6.1f} B/edge"
            log(f" {format_seconds(result.seconds):>10}  best of {result.runs}{memory}")
        else:
            log(f" {STATUS_TEXT.get(result.status, result.status)}: {result.message}")


# ---- checking


def reference_checks(edges: np.ndarray, queries) -> dict[str, object]:
    """What the ops must answer, computed from the edge list with numpy."""
    nodes = int(edges.max()) + 1
    degree = np.bincount(edges.reshape(-1), minlength=nodes)
    lo, hi = np.minimum(edges[:, 0], edges[:, 1]), np.maximum(edges[:, 0], edges[:, 1])
    keys = np.sort(lo * nodes + hi)

    def present(pairs: np.ndarray) -> int:
        a, b = np.minimum(pairs[:, 0], pairs[:, 1]), np.maximum(pairs[:, 0], pairs[:, 1])
        k = a * nodes + b
        at = np.minimum(np.searchsorted(keys, k), keys.size - 1)
        return int(np.count_nonzero(keys[at] == k))

    member = np.zeros(nodes, dtype=bool)
    member[queries["subgraph_nodes"]] = True
    loaded = {"edges": int(edges.shape[0])}
    return {
        **{op.name: loaded for op in OPS if op.kind == "load"},
        "has_edge": present(queries["point_pairs"]),
        "degree": int(degree[queries["point_nodes"]].sum()),
        **dict.fromkeys(("nodes", "nodes_array"), nodes),
        **dict.fromkeys(("edges", "edges_array"), int(edges.shape[0])),
        **dict.fromkeys(("degrees", "degrees_array"), int(degree.sum())),
        "has_edges": present(queries["batch_pairs"]),
        "subgraph": int(np.count_nonzero(member[edges[:, 0]] & member[edges[:, 1]])),
        "neighbors": int(degree[queries["point_nodes"]].sum()),
        "modularity": {"value": modularity(edges, fixed_labels(nodes))},
    }


def comparable(op: str, check):
    """The part of a check value that the reference answers cover."""
    return check["total"] if op == "neighbors" else check


def agree(a: float, b: float) -> bool:
    return math.isclose(a, b, rel_tol=FLOAT_RTOL, abs_tol=FLOAT_ATOL)


def compare_node_arrays(report: Report, kind: str, op: str, title: str) -> None:
    """Compares the per-node results the workers left in files, each library's with the first one's
    (quillmesh's when it has one), exactly or within the tolerance; then deletes the files and keeps
    only the summary in the results."""
    results = [r for c in report.columns
               if (r := report.get(kind, op, c.name)) and r.status == "ok" and isinstance(r.check, dict)
               and "file" in r.check]
    arrays = {}
    for r in results:
        path = Path(r.check.pop("file"))
        try:
            arrays[r.column] = np.load(path)
        except OSError as exc:
            report.failures.append(f"{title}: {r.column}'s result could not be read back ({exc})")
        path.unlink(missing_ok=True)
    if len(arrays) < 2:
        return
    exact = BY_NAME[op].compare == "exact"
    (base_name, base), *others = sorted(arrays.items(), key=lambda kv: not kv[0].startswith(BASELINE))
    for name, values in others:
        report.compared += 1
        if values.shape != base.shape:
            report.failures.append(f"{title}: {name} gave {values.shape[0]} values, {base_name} {base.shape[0]}")
            continue
        same = values == base if exact else np.isclose(values, base, rtol=FLOAT_RTOL, atol=FLOAT_ATOL)
        if not same.all():
            first = int(np.flatnonzero(~same)[0])
            report.failures.append(f"{title}: {name} and {base_name} differ at {int((~same).sum()):,} nodes, "
                                   f"first node {first}: {values[first].item()!r} against {base[first].item()!r}")


def cross_check(report: Report, kind: str, ops: list[str], reference: dict) -> None:
    for op in ops:
        title = f"{GRAPH_TITLES[kind]}, {BY_NAME[op].label}"
        compare_node_arrays(report, kind, op, title)
        values = {c.name: r.check for c in report.columns
                  if (r := report.get(kind, op, c.name)) and r.status == "ok" and r.check is not None}
        if BY_NAME[op].compare == "none":
            continue
        if BY_NAME[op].compare == "close":
            # Floats: a per-node result was compared above; a single value is compared here.
            scalars = {name: v["value"] for name, v in values.items() if "value" in v}
            expected = reference.get(op, {}).get("value")
            base_name = next(iter(sorted(scalars, key=lambda name: not name.startswith(BASELINE))), None)
            for name, value in scalars.items():
                if expected is not None:
                    report.compared += 1
                    if not agree(value, expected):
                        report.failures.append(f"{title}: {name} answered {value!r}, the edge list says {expected!r}")
                elif name != base_name:
                    report.compared += 1
                    if not agree(value, scalars[base_name]):
                        report.failures.append(f"{title}: {name} answered {value!r}, "
                                               f"{base_name} {scalars[base_name]!r}")
            continue
        if BY_NAME[op].compare == "top":
            base_name = next((name for name in values if name.startswith(BASELINE)), None)
            base = values.get(base_name)
            for name, top in values.items():
                if base is None or name == base_name:
                    continue
                report.compared += 1
                overlap = len(set(base) & set(top))
                if overlap < PAGERANK_MIN_OVERLAP:
                    report.failures.append(f"{title}: top-{len(base)} nodes of quillmesh and {name} share only "
                                           f"{overlap} (need {PAGERANK_MIN_OVERLAP})")
            continue
        groups: dict[str, list[str]] = {}
        for name, value in values.items():
            groups.setdefault(json.dumps(value, sort_keys=True), []).append(name)
        if op in reference:
            expected = reference[op]
            for name, value in values.items():
                report.compared += 1
                if comparable(op, value) != expected:
                    report.failures.append(f"{title}: {name} answered {comparable(op, value)}, "
                                           f"the edge list says {expected}")
        if len(groups) > 1:
            report.compared += len(values) - 1
            detail = "; ".join(f"{', '.join(names)}: {value[:120]}" for value, names in groups.items())
            report.failures.append(f"{title}: libraries disagree: {detail}")
        elif len(values) > 1:
            report.compared += len(values) - 1


def answered_figures(report: Report, kind: str) -> dict:
    """What the answers tell about a graph, for its description: the hop distances of the path
    queries, the BFS from one source and the components, as quillmesh found them (cross-checked
    with the peers above)."""
    def answer(op: str):
        ran = sorted((c for c in report.columns if c.state == "run"), key=lambda c: c.lib != BASELINE)
        return next((r.check for c in ran if (r := report.get(kind, op, c.name)) and r.status == "ok"), None)

    figures: dict = {}
    if (hops := answer("shortest_path")) is not None:
        linked = sorted(h for h in hops if h >= 0)
        figures["path_hops"] = {"pairs": len(hops), "connected": len(linked),
                                "longest": linked[-1] if linked else None,
                                "median": float(np.median(linked)) if linked else None}
    if (bfs := answer("distances")) is not None:
        figures["bfs"] = {"reached": bfs["reached"], "eccentricity": bfs["eccentricity"]}
    if (parts := answer("components")) is not None:
        figures["components"] = {"count": parts["count"], "largest": parts["largest"]}
    return figures


def source_text(kind: str) -> str:
    source = realgraphs.SOURCES[kind]
    return f"{source.distribution} {realgraphs.version(kind)}, {source.file}"


# ---- machine


def machine_info() -> dict:
    cpu = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem_kib = int(next(line for line in f if line.startswith("MemTotal")).split()[1])
    try:
        commit = subprocess.run(["git", "describe", "--always", "--dirty"], cwd=ROOT, capture_output=True,
                                text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        commit = "unknown"
    return {
        "date": dt.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"),
        "cpu": cpu,
        "cores": os.cpu_count(),
        "usable_cores": len(os.sched_getaffinity(0)),
        "memory_gib": mem_kib * KIB / GIB,
        "platform": platform.platform(),
        "commit": commit,
        "load_before": load_average(),
    }


def load_average() -> str:
    return "/".join(f"{x:.1f}" for x in os.getloadavg())


# ---- main


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    scales = ", ".join(f"{name} = {n:,} nodes / {m:,} edges" for name, (n, m) in graphs.SCALES.items())
    p.add_argument("--scale", choices=[*graphs.SCALES, REAL_SCALE], default="medium",
                   help=f"{scales} (the sparse graph: as many edges as nodes); {REAL_SCALE} = the real graphs alone, "
                        f"with networkx (default medium)")
    p.add_argument("--ops", help="comma-separated ops or groups (load, columns, queries, enumerate, arrays, triangles, "
                                        "algorithms) or all; default all but algorithms")
    p.add_argument("--libs", help=f"comma-separated from {', '.join(LIBRARIES)}; quillmesh always runs")
    p.add_argument("--graphs", help=f"comma-separated from {', '.join(graphs.KINDS + graphs.REAL_KINDS)} (default: "
                                    f"the synthetic ones, uniform,sparse at large scale; at --scale {REAL_SCALE} the "
                                    f"real ones, which run at their own size at any scale)")
    p.add_argument("--repeat", type=int, default=DEFAULT_REPEAT, help="runs per op; the best counts")
    p.add_argument("--op-budget", type=float, default=DEFAULT_OP_BUDGET,
                   help="stop repeating an op once its runs took this many seconds")
    p.add_argument("--op-timeout", type=float,
                   help="stop a peer's single run of a load op after this many seconds (reported as a timeout, "
                        "its ratio as a lower bound; default 10, 240 at large scale)")
    p.add_argument("--query-timeout", type=float,
                   help="the same for query ops (a timed-out query is a lower bound far past any other figure; "
                        "default 5, 45 at large scale)")
    p.add_argument("--memory-limit", type=float,
                   help=f"address-space limit of every worker process, in GiB, 0 for none (default: the machine's "
                        f"RAM less {LIMIT_MARGIN // GIB} GiB); a worker that needs more is reported as out of memory")
    p.add_argument("--python-ft", default=str(ROOT / ".venv-bench-ft/bin/python"))
    p.add_argument("--python-gil", default="", help="python of the standard-CPython venv ('' if none)")
    p.add_argument("--data-dir", type=Path, default=BENCH / ".data")
    p.add_argument("--results-dir", type=Path, default=BENCH / "results")
    p.add_argument("--keep-as", metavar="NAME",
                   help="also write the report as NAME.{md,json,png} (e.g. a narrowed run worth keeping)")
    args = p.parse_args()
    defaults = SCALE_DEFAULTS[args.scale]
    args.op_timeout = defaults["op_timeout"] if args.op_timeout is None else args.op_timeout
    args.query_timeout = defaults["query_timeout"] if args.query_timeout is None else args.query_timeout
    args.graphs = args.graphs or defaults["graphs"]
    args.memory_limit_bytes = default_limit() if args.memory_limit is None else int(args.memory_limit * GIB)
    try:
        args.op_names = select(args.ops)
    except ValueError as exc:
        p.error(str(exc))
    libs = [x.strip() for x in (args.libs or ",".join(LIBRARIES)).split(",") if x.strip()]
    unknown = sorted(set(libs) - set(LIBRARIES))
    if unknown:
        p.error(f"unknown libraries {unknown}; known: {', '.join(LIBRARIES)}")
    args.lib_names = [lib for lib in LIBRARIES if lib in libs or lib == BASELINE]
    args.kinds = [k.strip() for k in args.graphs.split(",") if k.strip()]
    if not args.kinds or set(args.kinds) - set(graphs.KINDS + graphs.REAL_KINDS):
        p.error(f"--graphs takes {', '.join(graphs.KINDS + graphs.REAL_KINDS)}")
    if args.scale == REAL_SCALE and set(args.kinds) - set(graphs.REAL_KINDS):
        p.error(f"--scale {REAL_SCALE} runs real graphs only ({', '.join(graphs.REAL_KINDS)}); "
                f"a synthetic graph needs --scale small, medium or large")
    # Narrowed runs write only latest.*; a full one (every op and library, at least the scale's default
    # graphs) also keeps its scale's copy, for bench/scaling.py and the real graphs' own report.
    args.full = not args.ops and not args.libs and set(defaults["graphs"].split(",")) <= set(args.kinds)
    return args


def main() -> int:
    args = parse_args()
    pythons = {"ft": args.python_ft, "gil": args.python_gil or None}
    columns = plan_columns(args.lib_names, args.scale, pythons)
    settings = {"scale": args.scale, "repeat": args.repeat, "op_budget": args.op_budget,
                "op_timeout": args.op_timeout, "query_timeout": args.query_timeout,
                "baseline_timeout": max(args.op_timeout, BASELINE_TIMEOUT),
                "memory_limit": args.memory_limit_bytes, "ops": args.op_names, "graphs": args.kinds}
    machine = machine_info()
    if args.scale == REAL_SCALE:
        size = "each graph at its own size"
    else:
        size = "n={:,}, m={:,}".format(*graphs.SCALES[args.scale])
    log(f"bench: {args.scale} scale ({size}) on {machine['cpu']}, {machine['cores']} cores, "
        f"load average {machine['load_before']}")
    limit = args.memory_limit_bytes
    log(f"bench: every worker's address space is limited to "
        + (f"{limit / GIB:.1f} GiB" if limit else "nothing (no limit)")
        + f"; {available_memory() / GIB:.1f} GiB of memory available now")
    if limit and available_memory() < limit:
        log("bench: less memory is available than a worker may take: a big one may meet the kernel's "
            "out-of-memory killer (it is then reported as out of memory)")
    for c in columns:
        log(f"bench: {c.name}: " + ("runs" if c.state == "run" else f"{c.state}: {c.reason}"))

    report = Report(columns, {}, settings, machine)
    bench = Bench(args, columns, pythons, report)
    started = time.perf_counter()
    for kind in args.kinds:
        files = graphs.ensure(kind, args.scale, args.data_dir, log=lambda s: log(f"bench: {s}"))
        if "load_text" in args.op_names:
            graphs.ensure_text(files, log=lambda s: log(f"bench: {s}"))
        # What the answers must be is worked out first, so the driver does not hold the edge list
        # while the workers run.
        edges = np.load(files.edges)
        queries = np.load(files.queries)
        report.graphs[kind] = graphs.describe(edges) | {"title": GRAPH_TITLES[kind], "file": str(files.edges)}
        if kind in graphs.REAL_KINDS:
            report.graphs[kind]["source"] = source_text(kind)
        reference = reference_checks(edges, queries)
        del edges, queries
        desc = report.graphs[kind]
        log(f"\n== {GRAPH_TITLES[kind]}: {desc['nodes']:,} nodes, {desc['edges']:,} edges, "
            f"max degree {desc['max_degree']:,}")
        ops = [op for op in args.op_names if kind in graphs.GNM_KINDS or op not in UNIFORM_ONLY]
        for op in [op for op in ops if kind in SKIPPED_ON.get(op, {})]:
            ops.remove(op)
            log(f"bench: {BY_NAME[op].label} is left out on this graph: {SKIPPED_ON[op][kind]}")
            for column in columns:
                report.add(Result(kind, op, column.name, "skipped", message=SKIPPED_ON[op][kind]))
        if "betweenness" in ops:
            graphs.ensure_ball(files, log=lambda s: log(f"bench: {s}"))
        bench.run_graph(kind, files, ops)
        cross_check(report, kind, ops, reference)
        report.graphs[kind] |= answered_figures(report, kind)
    machine["load_after"] = load_average()
    machine["elapsed_seconds"] = round(time.perf_counter() - started, 1)

    log("\n" + report.markdown())
    written = report.write(args.results_dir)
    if args.full:
        written += report.write(args.results_dir, stem=args.scale)
    if args.keep_as:
        written += report.write(args.results_dir, stem=args.keep_as)
    for path in written:
        log(f"bench: wrote {path.relative_to(ROOT) if path.is_relative_to(ROOT) else path}")
    errors = [r for r in report.results.values() if r.status == "error"]
    if report.failures:
        log("\nbench: CROSS-CHECK FAILED:\n" + "\n".join(f"  {f}" for f in report.failures))
    if errors:
        log("\nbench: some ops failed:\n" + "\n".join(f"  {r.column} {r.graph} {r.op}: {r.message}" for r in errors))
    # Running out of memory under the limit is a finding, like a timeout, not a failure of the run.
    short = [r for r in report.results.values() if r.status == "oom"]
    if short:
        log("\nbench: out of memory:\n" + "\n".join(f"  {r.column} {r.graph} {r.op}: {r.message}" for r in short))
    log(f"bench: finished in {machine['elapsed_seconds']:.0f} s")
    return 1 if report.failures or errors else 0


if __name__ == "__main__":
    sys.exit(main())
