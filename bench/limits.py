"""How far each quillmesh kernel is from what this machine can do at all.

    .venv/bin/python bench/limits.py [--scale small|medium|large] [--graphs uniform,sparse]
        [--kernels a,b] [--repeat R] [--probe-json PATH]

First a native probe (limits_probe.c, compiled here with `cc -O2 -march=native -pthread`) measures
the memory system with 1 thread and with every usable CPU: sequential read and write bandwidth over
memory already touched, the rate of the first write to memory never touched (each figure from
processes of their own, started a few seconds apart, with huge pages asked and without), and the
cost of random 8-byte reads issued many at a time at working sets of half the L2, half the L3,
powers of two in between, and several no cache holds (cache sizes from
/sys/devices/system/cpu/cpu0/cache). Then
every kernel runs on the benchmark's graph of the chosen scale (best of R runs after an untimed
one), and its time is set against a lower bound:

    bound = read / S + written / W + fresh / F + sum over groups of random reads (count * R(ws))

S, W and F are the sequential read, touched-write and first-write rates (F: the faster of huge and
small pages; on a virtual machine whose host takes back what the guest frees, memory never touched
costs several times what memory just unmapped costs, and a load in a new process pays the former)
and R(ws) the cost of one
random read in a working set of ws bytes: that of the cache level that holds ws (L2, L3, else
memory), as measured at the largest working set probed for that level that is not above ws. The
L3 needs more than one figure: on this virtual machine it reports 480 MiB, and a random read costs
about 1.3 ns in 4 MiB but 10 to 12 ns in 240 MiB, close to memory's 14 to 17. All rates are measured with every
core working (1-thread rates for a kernel marked serial). The byte and read counts come from one small
function per kernel below (load_work, pagerank_iteration_work, ...), in terms of the graph's nodes
n, edges m, adjacency entries E (2m less one per self-loop) and, for triangles, the sum over nodes
of in+(v) * out+(v) with every edge oriented from the lower to the higher (degree, id). These are
models of the work each kernel must do (the bytes its input and output take, the adjacency it has
to stream, the reads it cannot make in order), not accounts of what the code happens to do: a
kernel whose method skips part of that work (union-find that samples neighbours, a search that
turns bottom-up) can come in under its bound, and a multiple near 1 means the kernel runs at the
machine's limit for that work.

It prints a table and writes bench/results/limits-{scale}.{md,json}; bench/report.py adds that
table to the benchmark report of the same scale.
"""

from __future__ import annotations

import argparse
import gc
import hashlib
import json
import math
import os
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))
import graphs  # noqa: E402
from report import format_seconds  # noqa: E402
from rss import format_bytes  # noqa: E402

RESULTS = BENCH / "results"
PROBE_SOURCE = BENCH / "limits_probe.c"
PROBE_FLAGS = ("-O2", "-march=native", "-pthread")
CACHE_ROOT = Path("/sys/devices/system/cpu/cpu0/cache")
HUGE_PAGE_SETTING = Path("/sys/kernel/mm/transparent_hugepage/enabled")

KIB, MIB, GIB = 1 << 10, 1 << 20, 1 << 30
GB = 1e9
NS = 1e-9
MS = 1e3
# The probe streams a buffer of at least this size and this many times the L3, so that no level
# of cache holds it; its memory-level random reads use the same buffer.
SEQUENTIAL_FLOOR = 2 * GIB
L3_MULTIPLE = 4
FRESH_BYTES = 512 * MIB  # mapped, written and unmapped per pass of the rewrite figure
# The first-touch figure: this many bytes never touched, written once, in a process of its own, each
# figure the median of FIRST_TOUCH_RUNS such processes. Each starts FIRST_TOUCH_SETTLE seconds after
# the one before it ends: a virtual machine hands memory just freed back to its host within a
# second or two, and a load started later finds it gone again.
FIRST_TOUCH_BYTES = GIB
FIRST_TOUCH_RUNS = 3
FIRST_TOUCH_SETTLE = 3.0
PROBE_READS = 8_000_000  # random reads per thread and pass (four times as many at the L2 level)
PROBE_CHAIN = 2_000_000  # steps of the dependent-read chain
PROBE_REPS = 3
# The probe's tiny mode: sizes small enough for a test run of a fraction of a second.
TINY_PROBE = {"sequential": 16 * MIB, "fresh": 4 * MIB, "reads": 100_000, "chain": 10_000, "reps": 1}
TINY_FIRST_TOUCH = {"bytes": 4 * MIB, "runs": 1, "settle": 0.0}

# Bytes per item of the model's data: a dense index in the store, a row offset, a score, a node's
# own record (its id and its neighbour set), an int64 of the numpy input or output.
INDEX = 4
OFFSET = 8
SCORE = 8
NODE_RECORD = 24
INT64 = 8
# PageRank is timed at two iteration counts; their difference over the extra iterations is one
# iteration, without the sorted copy that the first call builds.
PAGERANK_ITERATIONS = (5, 25)
GENERATE_SEED = 7
# Loads from Python lists are left out by default above this many edges: the lists alone would take
# most of the machine's memory (100M tuples: 19 GB on the free-threaded build).
LIST_LOAD_MAX_EDGES = 1 << 25
TERMS = ("read", "written", "fresh", "random")


# ---- the machine


def parse_size(text: str) -> int:
    """A size as sysfs writes it ("48K", "2048K", "1M", "512") in bytes."""
    text = text.strip()
    units = {"K": KIB, "M": MIB, "G": GIB}
    if text and text[-1].upper() in units:
        return int(text[:-1]) * units[text[-1].upper()]
    return int(text)


def cache_sizes(root: Path = CACHE_ROOT) -> dict[int, int]:
    """{level: bytes} of the data and unified caches of the first CPU."""
    sizes = {}
    for index in sorted(root.glob("index*")):
        if (index / "type").read_text().strip() in ("Data", "Unified"):
            sizes[int((index / "level").read_text())] = parse_size((index / "size").read_text())
    return sizes


def huge_page_setting(path: Path = HUGE_PAGE_SETTING) -> str:
    """The transparent huge page mode in force ("always", "madvise", "never"), or "unknown"."""
    try:
        text = path.read_text()
    except OSError:
        return "unknown"
    return text[text.index("[") + 1:text.index("]")] if "[" in text else text.strip()


def compile_probe(cache_dir: Path) -> Path:
    """The probe's binary, compiled once per source and flags into cache_dir."""
    cc = os.environ.get("CC", "cc")
    if shutil.which(cc) is None:
        raise SystemExit(f"limits: no C compiler '{cc}' on PATH: the probe (bench/limits_probe.c) needs one "
                         "(install gcc, or set CC)")
    source = PROBE_SOURCE.read_bytes()
    digest = hashlib.sha256(source + " ".join((cc,) + PROBE_FLAGS).encode()).hexdigest()[:16]
    binary = cache_dir / f"limits_probe-{digest}"
    if not binary.exists():
        cache_dir.mkdir(parents=True, exist_ok=True)
        partial = binary.with_name(binary.name + f".{os.getpid()}.tmp")
        built = subprocess.run([cc, *PROBE_FLAGS, str(PROBE_SOURCE), "-o", str(partial)], capture_output=True, text=True)
        if built.returncode != 0:
            raise SystemExit(f"limits: compiling the probe with {cc} failed:\n{built.stderr}")
        os.replace(partial, binary)
    return binary


def probe_sizes(caches: dict[int, int], tiny: bool = False) -> dict[str, int]:
    """The probe's arguments: the L2 and L3 sizes and how much it streams, maps and reads."""
    l2, l3 = caches[2], caches.get(3, caches[2])
    if tiny:
        return {"l2": l2, "l3": min(l3, TINY_PROBE["sequential"] // 2), **TINY_PROBE}
    return {"l2": l2, "l3": l3, "sequential": max(SEQUENTIAL_FLOOR, L3_MULTIPLE * l3), "fresh": FRESH_BYTES,
            "reads": PROBE_READS, "chain": PROBE_CHAIN, "reps": PROBE_REPS}


def run_probe(binary: Path, sizes: dict[str, int], first_touch: dict | None = None) -> dict:
    """The probe's figures, then the first-touch figures of every thread count it ran with, each
    measured in processes of their own (first_touch: bytes, runs and settle, as FIRST_TOUCH_*)."""
    data = json.loads(probe_stdout([str(binary)] + [x for key, value in sizes.items() for x in (f"--{key}", str(value))]))
    touch = first_touch or {"bytes": FIRST_TOUCH_BYTES, "runs": FIRST_TOUCH_RUNS, "settle": FIRST_TOUCH_SETTLE}
    for run in data.get("runs") or []:
        for key, huge in FIRST_TOUCH_FIGURES.items():
            run[key] = first_touch_rate(binary, touch, run.get("threads"), huge)
    data["first_touch"] = touch
    return parse_probe(json.dumps(data))


def probe_stdout(args: list[str]) -> str:
    done = subprocess.run(args, capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"limits: the probe failed ({' '.join(args)}):\n{done.stderr}")
    return done.stdout


def first_touch_rate(binary: Path, touch: dict, threads: int, huge: bool) -> float:
    """GB/s of writing memory never touched, with huge pages asked or not: the median of touch["runs"]
    fresh processes, each after touch["settle"] seconds of quiet."""
    rates = []
    for _ in range(touch["runs"]):
        time.sleep(touch["settle"])
        out = probe_stdout([str(binary), "--first-touch", str(touch["bytes"]), "--threads", str(threads),
                            "--huge", "1" if huge else "0"])
        rates.append(json.loads(out)["first_touch_gbs"])
    return sorted(rates)[len(rates) // 2]


RUN_FIGURES = ("seq_read_gbs", "seq_write_gbs", "fresh_write_gbs", "fresh_write_small_pages_gbs")
# Figures of memory never touched (huge pages asked or not); a probe run saved before they were
# measured lacks them, and its bounds charge fresh memory at the rewrite figure.
FIRST_TOUCH_FIGURES = {"first_touch_gbs": True, "first_touch_small_pages_gbs": False}
LEVELS = ("l2", "l3", "memory")


def parse_probe(text: str) -> dict:
    """The probe's JSON, checked: every figure present, finite and positive, a random-read figure
    per working set and at least one working set per level; ValueError otherwise."""
    data = json.loads(text)

    def positive(value, what):
        if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value) or value <= 0:
            raise ValueError(f"probe output: {what} is {value!r}, not a positive number")

    sets = data.get("random_sets") or []
    for s in sets:
        positive(s.get("bytes"), "a random-read working set")
    if sorted({s.get("level") for s in sets}, key=str) != sorted(LEVELS):
        raise ValueError(f"probe output: random-read working sets for {sorted({s.get('level') for s in sets}, key=str)}, "
                         f"not for each of {', '.join(LEVELS)}")
    runs = data.get("runs")
    if not runs or runs[0].get("threads") != 1:
        raise ValueError("probe output: no 1-thread run")
    for run in runs:
        threads = run.get("threads")
        for key in RUN_FIGURES + tuple(k for k in FIRST_TOUCH_FIGURES if k in run):
            positive(run.get(key), f"{key} with {threads} threads")
        costs = run.get("random_ns")
        if not isinstance(costs, list) or len(costs) != len(sets):
            raise ValueError(f"probe output: {threads} threads: random_ns does not give one figure per working set")
        for s, ns in zip(sets, costs):
            positive(ns, f"random_ns at {s['bytes']} bytes with {threads} threads")
    positive(data.get("chain_latency_ns"), "chain_latency_ns")
    return data


@dataclass(frozen=True)
class Rates:
    """The machine's rates for one thread count: bytes per second, and seconds per random read at
    each working set probed, with the level it was probed for."""

    threads: int
    seq_read: float
    seq_write: float
    fresh_write: float
    l2: int  # bytes of the L2 and the L3: the levels' bounds
    l3: int
    random: tuple[tuple[str, int, float], ...]  # (level, working set probed, seconds per read)

    def read_cost(self, working_set: float) -> tuple[str, int, float]:
        """(level, working set probed, seconds per read) for random reads in working_set bytes: the
        level is the smallest cache that holds it (memory if none), the cost the one measured at the
        largest working set probed for that level that is not larger (the level's smallest if all are)."""
        level = "l2" if working_set <= self.l2 else "l3" if working_set <= self.l3 else "memory"
        probed = sorted((size, seconds) for name, size, seconds in self.random if name == level)
        size, seconds = max((p for p in probed if p[0] <= working_set), default=probed[0])
        return level, size, seconds


def fresh_rate(run: dict) -> float:
    """GB/s at which a kernel can get fresh memory: never touched, with or without huge pages,
    whichever is faster (a kernel that asks for the slower way pays for it). A run without
    first-touch figures: its rewrite of memory just unmapped."""
    touched = [run[k] for k in FIRST_TOUCH_FIGURES if k in run]
    return max(touched) if touched else run["fresh_write_gbs"]


def rates_from_probe(probe: dict, caches: dict[int, int]) -> dict[str, Rates]:
    """{"one": 1-thread rates, "all": rates with every usable CPU} from the probe's output."""
    out = {}
    for run in probe["runs"]:
        out["one" if run["threads"] == 1 else "all"] = Rates(
            threads=run["threads"], seq_read=run["seq_read_gbs"] * GB, seq_write=run["seq_write_gbs"] * GB,
            fresh_write=fresh_rate(run) * GB, l2=caches[2], l3=caches.get(3, caches[2]),
            random=tuple((s["level"], s["bytes"], ns * NS) for s, ns in zip(probe["random_sets"], run["random_ns"])))
    out.setdefault("all", out["one"])  # a machine of one CPU
    return out


# ---- the work each kernel must do


@dataclass(frozen=True)
class Shape:
    """What the models need to know of a graph."""

    nodes: int
    edges: int
    entries: int  # E: adjacency entries, 2 per edge and 1 per self-loop
    oriented: int  # edges that are not self-loops: the entries of the oriented lists
    wedges: int  # sum over nodes of in+(v) * out+(v), edges oriented by (degree, id)

    @classmethod
    def of_counts(cls, nodes: int, edges: int) -> Shape:
        """A graph known by its counts only, without self-loops (no wedge count)."""
        return cls(nodes, edges, 2 * edges, edges, 0)


def shape_of(edges: np.ndarray) -> Shape:
    """The shape of the simple undirected graph an (m, 2) edge list makes (duplicates and reversed
    pairs count once; its nodes are the ids that appear)."""
    ends = np.asarray(edges, dtype=np.int64).reshape(-1)
    if not ends.size:
        return Shape(0, 0, 0, 0, 0)
    if ends.min() >= 0 and ends.max() < ends.size and np.all(np.bincount(ends) > 0):
        dense, n = ends, int(ends.max()) + 1  # ids already 0..n-1, as the benchmark's graphs have them
    else:
        ids, dense = np.unique(ends, return_inverse=True)
        n = int(ids.size)
    pairs = dense.reshape(-1, 2)
    keys = np.unique(np.minimum(pairs[:, 0], pairs[:, 1]) * n + np.maximum(pairs[:, 0], pairs[:, 1]))
    del pairs, dense
    lo, hi = keys // n, keys % n
    loop = lo == hi
    loops = int(loop.sum())
    # A self-loop is one entry, in its own node's set; it takes no part in the orientation.
    degree = np.bincount(lo, minlength=n) + np.bincount(hi[~loop], minlength=n)
    lo, hi = lo[~loop], hi[~loop]  # lo < hi: on equal degrees the lower id ranks first
    forward = degree[lo] <= degree[hi]
    tail, head = np.where(forward, lo, hi), np.where(forward, hi, lo)
    wedges = int(np.dot(np.bincount(head, minlength=n), np.bincount(tail, minlength=n)))
    m = int(keys.size)
    return Shape(n, m, 2 * m - loops, m - loops, wedges)


@dataclass(frozen=True)
class RandomReads:
    count: int
    working_set: int  # bytes the reads fall in


@dataclass(frozen=True)
class Work:
    """Bytes a kernel must stream (read), write to memory already touched (written) and write to
    fresh memory (fresh), and the groups of random reads it must make."""

    read: int = 0
    written: int = 0
    fresh: int = 0
    random: tuple[RandomReads, ...] = ()
    serial: bool = False  # runs on one thread: bound by the 1-thread rates

    def __add__(self, other: Work) -> Work:
        return Work(self.read + other.read, self.written + other.written, self.fresh + other.fresh,
                    self.random + other.random, self.serial and other.serial)

    def rates(self, rates: dict[str, Rates]) -> Rates:
        return rates["one" if self.serial else "all"]

    def terms(self, rates: Rates) -> dict[str, float]:
        """Seconds of each term of the bound at these rates."""
        return {"read": self.read / rates.seq_read, "written": self.written / rates.seq_write,
                "fresh": self.fresh / rates.fresh_write,
                "random": sum(r.count * rates.read_cost(r.working_set)[2] for r in self.random)}

    def bound(self, rates: Rates) -> float:
        return sum(self.terms(rates).values())


def graph_bytes(shape: Shape) -> int:
    """The graph a load writes: its adjacency entries and a record per node."""
    return INDEX * shape.entries + NODE_RECORD * shape.nodes


def load_work(shape: Shape, input_bytes: int) -> Work:
    """A load into an empty graph: read the input once, write the graph fresh, and place every
    entry in its node's list (a random access in the adjacency)."""
    adjacency = INDEX * shape.entries
    return Work(read=input_bytes, fresh=graph_bytes(shape), random=(RandomReads(shape.entries, adjacency),))


def numpy_input_bytes(shape: Shape) -> int:
    """Two int64 ids per edge: an (m, 2) array or two columns."""
    return 2 * INT64 * shape.edges


def python_input_bytes(items: list) -> int:
    """What a list argument takes: the list with its pointer array, and every object it points to
    (and, for tuples, the objects they hold), each distinct object once, by sys.getsizeof."""
    members = [x for item in items if isinstance(item, tuple) for x in item]
    return sys.getsizeof(items) + distinct_object_bytes(items) + distinct_object_bytes(members)


def distinct_object_bytes(objects: list) -> int:
    """sys.getsizeof summed over the distinct objects of a list (one object listed twice counts once)."""
    if not objects:
        return 0
    ids = np.fromiter(map(id, objects), dtype=np.uint64, count=len(objects))
    _, first = np.unique(ids, return_index=True)
    return sum(map(sys.getsizeof, map(objects.__getitem__, first.tolist())))


def pagerank_iteration_work(shape: Shape) -> Work:
    """One iteration: stream the adjacency and the row offsets, read the old scores and write the
    new ones, and read every sender's score at random."""
    return Work(read=INDEX * shape.entries + OFFSET * shape.nodes + SCORE * shape.nodes, written=SCORE * shape.nodes,
                random=(RandomReads(shape.entries, SCORE * shape.nodes),))


def components_work(shape: Shape) -> Work:
    """Stream the adjacency; read a neighbour's label (or parent) at random per entry."""
    return Work(read=INDEX * shape.entries, random=(RandomReads(shape.entries, INDEX * shape.nodes),))


def triangles_warm_work(shape: Shape) -> Work:
    """With the oriented lists at hand: stream them, stream the lists intersected (for each oriented
    edge u -> v, the list of v: sum of in+(v) * out+(v) entries), and find one row start per
    oriented edge at random."""
    oriented = INDEX * shape.oriented
    return Work(read=oriented + INDEX * shape.wedges, random=(RandomReads(shape.oriented, oriented),))


def triangles_cold_work(shape: Shape) -> Work:
    """The warm count, after streaming the adjacency and writing the oriented lists fresh."""
    return triangles_warm_work(shape) + Work(read=INDEX * shape.entries,
                                             fresh=INDEX * shape.oriented + OFFSET * shape.nodes)


def distances_work(shape: Shape) -> Work:
    """Breadth-first search from one node: stream the adjacency and the per-node records, and write
    each reached node's distance once, at random."""
    return Work(read=INDEX * shape.entries + OFFSET * shape.nodes,
                random=(RandomReads(shape.nodes, INDEX * shape.nodes),))


def edges_array_work(shape: Shape) -> Work:
    """Stream the adjacency and the node records, read each listed neighbour's id at random, and
    write the (m, 2) int64 array fresh."""
    return Work(read=INDEX * shape.entries + OFFSET * shape.nodes, fresh=2 * INT64 * shape.edges,
                random=(RandomReads(shape.edges, OFFSET * shape.nodes),))


def degrees_array_work(shape: Shape) -> Work:
    """Stream the node records, write an int64 per node fresh."""
    return Work(read=OFFSET * shape.nodes, fresh=INT64 * shape.nodes)


def has_edges_work(shape: Shape, pairs: int) -> Work:
    """Per pair: both ids looked up in the node index (about 16 bytes a node), then one membership
    probe in the adjacency."""
    return Work(random=(RandomReads(2 * pairs, 2 * INT64 * shape.nodes),
                        RandomReads(pairs, INDEX * shape.entries)))


def multiple(seconds: float, bound: float) -> float | None:
    """The kernel's time in units of its bound (None when there is no bound to divide by)."""
    return seconds / bound if bound > 0 else None


# ---- timing


KERNELS = {
    "load_numpy": "load: numpy (m, 2) array, add_edges_flat",
    "load_columns": "load: two numpy columns, arrays.add_edges",
    "load_flat": "load: flat list of ints, add_edges_flat",
    "load_tuples": "load: list of tuples, add_edges_from",
    "build_random": "build_random(n, m, seed)",
    "pagerank": "PageRank, one iteration",
    "component_sizes": "connected_component_sizes()",
    "component_labels": "arrays.component_labels",
    "triangles_cold": "triangle_count(), cold",
    "triangles_warm": "triangle_count(), warm",
    "distances": "arrays.distances, one source",
    "edges_array": "arrays.edges",
    "degrees_array": "arrays.degrees",
    "has_edges": "has_edges, batch of pairs",
}
LIST_LOADS = ("load_flat", "load_tuples")
# Kernels whose cost is mostly the fresh memory they fill: each timed run is a process of its own
# (started FIRST_TOUCH_SETTLE seconds after the one before), since a second run in one process is
# handed the memory the first one freed, which a virtual machine gives far more cheaply.
FRESH_PROCESS_KERNELS = ("load_numpy", "load_columns", "build_random")


def best_time(call, repeat: int, before=None) -> tuple[float, object]:
    """(best seconds of `repeat` calls after an untimed one, the last call's result). before(), if
    given, runs untimed ahead of every call."""
    fastest, result = math.inf, None
    for timed in range(repeat + 1):
        result = None
        if before:
            before()
        gc.collect()
        started = time.perf_counter()
        result = call()
        took = time.perf_counter() - started
        if timed:
            fastest = min(fastest, took)
    return fastest, result


def fill_for(name: str, edges: np.ndarray, shape: Shape):
    """fill(h): what the FRESH_PROCESS_KERNELS kernel `name` does to a new graph h, its input
    prepared here (the two columns copied out of the edge array), outside any timing."""
    from quillmesh import arrays

    if name == "load_numpy":
        flat = edges.reshape(-1)
        return lambda h: h.add_edges_flat(flat)
    if name == "load_columns":
        src, dst = edges[:, 0].copy(), edges[:, 1].copy()
        return lambda h: arrays.add_edges(h, src, dst)
    return lambda h: h.build_random(shape.nodes, shape.edges, GENERATE_SEED)


def fresh_process_call(name: str, edges_file: Path) -> float:
    """Seconds of one call of a FRESH_PROCESS_KERNELS kernel in this process, its input read first."""
    from quillmesh import IntGraphCore

    edges = np.load(edges_file)
    fill = fill_for(name, edges, Shape.of_counts(int(edges.max()) + 1, len(edges)))
    del edges  # what the numpy load reads, its fill keeps
    gc.collect()
    g = IntGraphCore()
    started = time.perf_counter()
    fill(g)
    return time.perf_counter() - started


def time_in_fresh_processes(name: str, edges_file: Path, repeat: int, settle: float = FIRST_TOUCH_SETTLE) -> float:
    """The best of `repeat` calls of a kernel, each in a new interpreter started `settle` seconds
    after the last one ended."""
    fastest = math.inf
    for _ in range(repeat):
        time.sleep(settle)
        done = subprocess.run([sys.executable, str(Path(__file__).resolve()), "--time-one", name, str(edges_file)],
                              capture_output=True, text=True)
        if done.returncode != 0:
            raise SystemExit(f"limits: timing {name} in a fresh process failed:\n{done.stderr}")
        fastest = min(fastest, json.loads(done.stdout.strip().splitlines()[-1])["seconds"])
    return fastest


def row(name: str, seconds: float, work: Work, rates: dict[str, Rates], **extra) -> dict:
    """A kernel's line of the report: its time, its bound and the bound's terms at the rates of the
    thread count it runs with, and the work counted."""
    at = work.rates(rates)
    return {
        "kernel": name, "label": KERNELS[name], "seconds": seconds, "bound": work.bound(at),
        "multiple": multiple(seconds, work.bound(at)), "threads": at.threads, "terms": work.terms(at),
        "work": {"read": work.read, "written": work.written, "fresh": work.fresh,
                 "random": [dict(zip(("level", "probed_set", "seconds_each"), at.read_cost(r.working_set)),
                                 count=r.count, working_set=r.working_set) for r in work.random]},
        **extra,
    }


def time_graph(files: graphs.GraphFiles, kernels: list[str], repeat: int, rates: dict[str, Rates], log,
               fresh_processes: bool = False) -> dict:
    """Every kernel asked for, timed on one benchmark graph, as report rows."""
    from quillmesh import IntGraphCore, arrays

    edges = np.load(files.edges)
    queries = np.load(files.queries)
    shape = shape_of(edges)
    rows = []

    def add(line: dict) -> None:
        rows.append(line)
        log(f"limits: {line['label']}: {line['seconds'] * MS:.1f} ms, {format_multiple(line['multiple'])} its bound")

    def timed(name: str, call, work_of, before=None, **extra):
        log(f"limits: {KERNELS[name]} ...")
        if fresh_processes and name in FRESH_PROCESS_KERNELS:
            # The work does not depend on the run: the graph is the one this process builds below.
            seconds, result = time_in_fresh_processes(name, files.edges, repeat), None
            extra["fresh_processes"] = repeat
        else:
            seconds, result = best_time(call, repeat, before)
        add(row(name, seconds, work_of(result), rates, **extra))

    def into_new_graph(fill):
        def run():
            h = IntGraphCore()
            fill(h)
            return h
        return run

    # Timed in fresh processes, these need no input here.
    load_call = lambda name: None if fresh_processes else into_new_graph(fill_for(name, edges, shape))  # noqa: E731
    numpy_load = lambda _: load_work(shape, numpy_input_bytes(shape))  # noqa: E731
    for name in ("load_numpy", "load_columns"):
        if name in kernels:
            timed(name, load_call(name), numpy_load)
    lists = {"load_flat": (lambda: edges.reshape(-1).tolist(), "add_edges_flat"),
             "load_tuples": (lambda: list(zip(edges[:, 0].tolist(), edges[:, 1].tolist())), "add_edges_from")}
    for name, (make, method) in lists.items():
        if name in kernels:
            items = make()
            size = python_input_bytes(items)
            timed(name, into_new_graph(lambda h: getattr(h, method)(items)), lambda _: load_work(shape, size),
                  input_bytes=size)
            del items
    if "build_random" in kernels:
        def random_work(h):
            if h is None:
                h = into_new_graph(fill_for("build_random", edges, shape))()
            return load_work(Shape.of_counts(h.number_of_nodes(), h.number_of_edges()), 0)
        timed("build_random", load_call("build_random"), random_work)
    del edges
    gc.collect()

    g = IntGraphCore()
    g.add_edges_flat(np.load(files.edges).reshape(-1))
    if (g.number_of_nodes(), g.number_of_edges()) != (shape.nodes, shape.edges):
        raise SystemExit(f"limits: the graph has {g.number_of_nodes():,} nodes and {g.number_of_edges():,} edges, "
                         f"its edge list {shape.nodes:,} and {shape.edges:,}")
    if "pagerank" in kernels:
        log(f"limits: {KERNELS['pagerank']} ...")
        calls = {k: best_time(lambda k=k: arrays.pagerank(g, max_iter=k, tol=0.0), repeat)[0]
                 for k in PAGERANK_ITERATIONS}
        few, many = PAGERANK_ITERATIONS
        add(row("pagerank", (calls[many] - calls[few]) / (many - few), pagerank_iteration_work(shape), rates,
                calls={str(k): s for k, s in calls.items()}))
    if "component_sizes" in kernels:
        timed("component_sizes", g.connected_component_sizes, lambda _: components_work(shape))
    if "component_labels" in kernels:
        timed("component_labels", lambda: arrays.component_labels(g), lambda _: components_work(shape))
    if "triangles_cold" in kernels:
        # Any successful change drops the cached copies, even one that adds nothing.
        timed("triangles_cold", g.triangle_count, lambda _: triangles_cold_work(shape),
              before=lambda: g.add_edges_from([]))
    if "triangles_warm" in kernels:
        timed("triangles_warm", g.triangle_count, lambda _: triangles_warm_work(shape))
    if "distances" in kernels:
        source = int(queries["path_pairs"][0, 0])
        timed("distances", lambda: arrays.distances(g, source), lambda _: distances_work(shape), source=source)
    if "edges_array" in kernels:
        timed("edges_array", lambda: arrays.edges(g), lambda _: edges_array_work(shape))
    if "degrees_array" in kernels:
        timed("degrees_array", lambda: arrays.degrees(g), lambda _: degrees_array_work(shape))
    if "has_edges" in kernels:
        batch = queries["batch_pairs"]
        pairs = list(zip(batch[:, 0].tolist(), batch[:, 1].tolist()))
        timed("has_edges", lambda: g.has_edges(pairs), lambda _: has_edges_work(shape, len(pairs)), pairs=len(pairs))
    return {"shape": shape.__dict__, "file": str(files.edges), "kernels": rows}


# ---- the report


def format_multiple(value: float | None) -> str:
    return "–" if value is None else f"×{value:.2f}" if value < 10 else f"×{value:.1f}"


def _ms(seconds: float) -> str:
    """Milliseconds to three figures, without an exponent."""
    if not seconds:
        return "–"
    ms = seconds * MS
    return f"{ms:,.0f}" if ms >= 100 else f"{ms:.3g}"


def rates_table(probe: dict) -> list[str]:
    """The machine's rates, one column per thread count."""
    runs = probe["runs"]
    lines = ["| rate | " + " | ".join(f"{r['threads']} thread{'s' if r['threads'] > 1 else ''}" for r in runs) + " |",
             "|---" + "|---:" * len(runs) + "|"]
    figures = [("sequential read", "seq_read_gbs"), ("sequential write, memory already touched", "seq_write_gbs"),
               ("first write to memory never touched, in a fresh process (huge pages asked, as the store maps)",
                "first_touch_gbs"),
               ("first write to memory never touched, in a fresh process (small pages)", "first_touch_small_pages_gbs"),
               ("write to memory just unmapped, mapped again (huge pages asked)", "fresh_write_gbs"),
               ("write to memory just unmapped, mapped again (small pages)", "fresh_write_small_pages_gbs")]
    for text, key in [(text, key) for text, key in figures if all(key in r for r in runs)]:
        lines.append(f"| {text}, GB/s | " + " | ".join(f"{r[key]:.2f}" for r in runs) + " |")
    for k, s in enumerate(probe["random_sets"]):
        lines.append(f"| random 8-byte read in {format_bytes(s['bytes'])} ({s['level']}), ns per read over all threads | "
                     + " | ".join(f"{r['random_ns'][k]:.2f}" for r in runs) + " |")
    lines.append(f"| dependent read from memory (latency), ns | {probe['chain_latency_ns']:.0f} |"
                 + " |" * (len(runs) - 1))
    return lines


def kernel_table(rows: list[dict]) -> list[str]:
    """Per kernel: time, bound, multiple and the bound's terms in ms, the largest in bold."""
    lines = ["| kernel | time | bound | time / bound | read ms | written ms | fresh ms | random ms | random reads |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---|"]
    for r in rows:
        top = max(TERMS, key=lambda t: r["terms"][t])
        terms = [f"**{_ms(r['terms'][t])}**" if t == top else _ms(r["terms"][t]) for t in TERMS]
        reads = ", ".join(f"{x['count'] / 1e6:.3g}M in {format_bytes(x['working_set'])} ({x['level']}, "
                          f"{x['seconds_each'] / NS:.2g} ns)" for x in r["work"]["random"]) or "–"
        lines.append(f"| {r['label']} | {format_seconds(r['seconds'])} | {format_seconds(r['bound'])} | "
                     f"{format_multiple(r['multiple'])} | "
                     + " | ".join(terms) + f" | {reads} |")
    return lines


def graph_heading(kind: str, graph: dict) -> str:
    s = graph["shape"]
    return (f"{kind}: {s['nodes']:,} nodes, {s['edges']:,} edges, E = {s['entries']:,} entries, "
            f"sum of in+ * out+ = {s['wedges']:,}")


def markdown(result: dict) -> str:
    m = result["machine"]
    out = [f"# quillmesh kernels against the machine's limits — {result['scale']} scale", "",
           f"{m['date']} · {m['cpu']} · {m['cores']} cores · L2 {m['caches'].get('2', 0) // KIB:,} KiB per core, "
           f"L3 {m['caches'].get('3', 0) // KIB:,} KiB · transparent huge pages: {m['huge_pages']} · "
           f"load average {m['load_before']} before, {m['load_after']} after · quillmesh {m['commit']}", "",
           "## The machine", "",
           f"From bench/limits_probe.c ({result['probe']['seconds']:.0f} s; threads pinned one per CPU; best of "
           f"{result['probe']['sizes']['reps']} passes after a warm-up pass"
           + (f"; a first write: the median of {result['probe']['first_touch']['runs']} processes of their own, "
              f"{format_bytes(result['probe']['first_touch']['bytes'])} each, started "
              f"{result['probe']['first_touch']['settle']:.0f} s apart" if "first_touch" in result["probe"] else "")
           + "):", ""]
    out += rates_table(result["probe"])
    out += ["", "## The kernels", "",
            f"Time: best of {result['repeat']} runs after an untimed one (PageRank: the difference between "
            f"{' and '.join(map(str, PAGERANK_ITERATIONS))} iterations, per iteration). Bound: the least time the "
            "work the kernel must do takes at the rates above with every core working; the terms are its parts "
            "(the largest in bold). Models and their formulas: docs/internals/benchmark-method.md, *Limits*."
            + (f" The loads and build_random: best of {result['repeat']} runs, each in a new process started "
               f"{FIRST_TOUCH_SETTLE:.0f} s after the last, so that their memory is never touched before."
               if result.get("fresh_processes") else ""), ""]
    for kind, graph in result["graphs"].items():
        out += [f"### {graph_heading(kind, graph)}", ""] + kernel_table(graph["kernels"]) + [""]
    if result.get("left_out"):
        out += [f"Left out: {result['left_out']}", ""]
    return "\n".join(out)


def report_section(results_dir: Path, scale: str) -> str:
    """The limits table for a benchmark report of this scale, or "" when there is no limits run of it."""
    path = results_dir / f"limits-{scale}.json"
    if not path.exists():
        return ""
    result = json.loads(path.read_text())
    out = ["## Against the machine's limits", "",
           f"From bench/limits.py ({path.name}, {result['machine']['date']}, at {result['machine']['commit']}): "
           "each kernel's time over the least time its work takes at this machine's measured rates.", ""]
    for kind, graph in result["graphs"].items():
        out += [f"{graph_heading(kind, graph)}:", ""] + kernel_table(graph["kernels"]) + [""]
    return "\n".join(out)


# ---- the run


def default_kinds() -> list[str]:
    return [kind for kind in ("uniform", "sparse") if kind in graphs.KINDS]


def pick_kernels(asked: str | None, scale: str) -> tuple[list[str], str]:
    """(kernels to run, what was left out by default and why)."""
    if asked:
        names = [x.strip() for x in asked.split(",") if x.strip()]
        unknown = sorted(set(names) - set(KERNELS))
        if unknown:
            raise ValueError(f"unknown kernels {unknown}; known: {', '.join(KERNELS)}")
        return [k for k in KERNELS if k in names], ""
    if graphs.SCALES[scale][1] > LIST_LOAD_MAX_EDGES:
        return [k for k in KERNELS if k not in LIST_LOADS], (
            f"the loads from Python lists ({', '.join(LIST_LOADS)}): above {LIST_LOAD_MAX_EDGES:,} edges the lists "
            "alone take most of the machine's memory (--kernels runs them anyway)")
    return list(KERNELS), ""


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--scale", choices=list(graphs.SCALES), default="medium")
    p.add_argument("--graphs", default=",".join(default_kinds()), help="comma-separated graph kinds of bench/graphs.py")
    p.add_argument("--kernels", help=f"comma-separated from {', '.join(KERNELS)} (default all; at large scale "
                                     "without the list loads)")
    p.add_argument("--repeat", type=int, default=3, help="timed runs per kernel, after an untimed one; the best counts")
    p.add_argument("--fresh-processes", action=argparse.BooleanOptionalAction, default=None,
                   help=f"time {', '.join(FRESH_PROCESS_KERNELS)} once per new process, best of --repeat processes "
                        "(default: at large scale)")
    p.add_argument("--time-one", nargs=2, metavar=("KERNEL", "EDGES_NPY"), help=argparse.SUPPRESS)
    p.add_argument("--probe-json", type=Path,
                   help="use the probe's figures from this file (its output, or a limits JSON) instead of probing")
    p.add_argument("--data-dir", type=Path, default=BENCH / ".data")
    p.add_argument("--results-dir", type=Path, default=RESULTS)
    p.add_argument("--build-dir", type=Path, default=BENCH.parent / "build" / "limits",
                   help="where the probe is compiled")
    args = p.parse_args()
    if args.time_one:
        name, edges_file = args.time_one
        if name not in FRESH_PROCESS_KERNELS:
            p.error(f"--time-one takes {', '.join(FRESH_PROCESS_KERNELS)}")
        print(json.dumps({"seconds": fresh_process_call(name, Path(edges_file))}))
        return 0
    fresh_processes = args.fresh_processes if args.fresh_processes is not None else args.scale == "large"
    kinds = [k.strip() for k in args.graphs.split(",") if k.strip()]
    if not kinds or set(kinds) - set(graphs.KINDS):
        p.error(f"--graphs takes {', '.join(graphs.KINDS)}")
    try:
        kernels, left_out = pick_kernels(args.kernels, args.scale)
    except ValueError as exc:
        p.error(str(exc))

    from run import load_average, machine_info

    machine = machine_info()
    caches = cache_sizes()
    machine |= {"caches": {str(k): v for k, v in caches.items()}, "huge_pages": huge_page_setting()}
    log = lambda s: print(s, flush=True)  # noqa: E731
    log(f"limits: {args.scale} scale, load average {machine['load_before']}; caches {caches}")
    if args.probe_json:
        saved = json.loads(args.probe_json.read_text())  # the probe's own output, or a limits run's JSON
        probe = parse_probe(json.dumps(saved.get("probe", saved)))
    else:
        binary = compile_probe(args.build_dir)
        log("limits: probing the memory system (about a minute) ...")
        probe = run_probe(binary, probe_sizes(caches))
    rates = rates_from_probe(probe, caches)
    print("\n".join(rates_table(probe)))

    result = {"scale": args.scale, "repeat": args.repeat, "fresh_processes": fresh_processes, "machine": machine,
              "probe": probe,
              "left_out": left_out, "graphs": {}}
    for kind in kinds:
        files = graphs.ensure(kind, args.scale, args.data_dir, log=lambda s: log(f"limits: {s}"))
        result["graphs"][kind] = time_graph(files, kernels, args.repeat, rates, log, fresh_processes)
        print(f"\n{graph_heading(kind, result['graphs'][kind])}\n" + "\n".join(kernel_table(result["graphs"][kind]["kernels"])))
    machine["load_after"] = load_average()
    args.results_dir.mkdir(parents=True, exist_ok=True)
    stem = args.results_dir / f"limits-{args.scale}"
    stem.with_suffix(".json").write_text(json.dumps(result, indent=1) + "\n")
    stem.with_suffix(".md").write_text(markdown(result) + "\n")
    log(f"limits: wrote {stem}.json and {stem}.md (load average {machine['load_after']} after)")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
