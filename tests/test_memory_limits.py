"""Running out of memory: every call raises MemoryError (it never aborts the process or raises anything
else, except that a worker pool which cannot start at all reports its own failure) and leaves a
consistent graph on which every later call works.

Each case runs in a fresh interpreter that builds its starting graph once, without ever starting the
worker pool, and then, for each limit, forks a copy of itself that caps its own address space
(RLIMIT_AS) a given headroom above what it already maps and makes the call. The headroom grows
fourfold from 512 KiB until the call succeeds, then a few more limits fill the last gap, so that the
failures land at many different points of the call. A copy that dies is reported with the end of
its standard error.

After a MemoryError the copy lifts its limit and checks that the graph is consistent and is the
starting one or, for the loads, the graph that inserting a prefix of the input one item at a time
gives; that every query works on it; that the same call made again gives what it gives without a
limit; and that every mutation works after that. A call that succeeds under a limit must give what
it gives without one.

Address-space limits make no sense under AddressSanitizer, which maps terabytes of shadow memory.
"""

import json
import os
import textwrap

import pytest

from support import METHODS, run_python

HERE = os.path.dirname(os.path.abspath(__file__))


def sanitized():
    """Whether this interpreter runs with AddressSanitizer's runtime (preloaded or linked in)."""
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        return True
    with open("/proc/self/maps") as maps:
        return any("libasan" in line for line in maps)


pytestmark = pytest.mark.skipif(sanitized(), reason="AddressSanitizer maps more address space than any limit leaves")

HARNESS = r'''
import hashlib, json, os, resource, signal, sys, tempfile, time, traceback
import numpy as np
sys.path.insert(0, sys.argv[1])
from quillmesh._accel import IntGraphCore
from support import METHODS

MIB = 1 << 20
COPY_TIMEOUT = 60


def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))


def settled_size():
    # The address space in use once it stops moving: a worker that has just been woken may still be
    # setting up its own malloc arena, which maps twice the arena and then gives the excess back, so
    # a single reading can count tens of MiB that are about to go (and the limit would then leave
    # room for a call that should fail).
    size = status("VmSize")
    for _ in range(100):
        time.sleep(0.01)
        size, before = status("VmSize"), size
        if size == before:
            break
    return size


def grown(n, flat):
    # Nodes 0..n-1, then the edges of `flat` in batches small enough next to the graph to go in one
    # edge at a time: nothing here starts the worker pool, so each copy starts its own.
    g = IntGraphCore()
    g.add_nodes_from(np.arange(n, dtype=np.int64))
    step = 2 * (n // 32)
    for i in range(0, len(flat), step):
        g.add_edges_flat(flat[i:i + step])
    return g


def mix(x):
    x = x.astype(np.uint64)
    x ^= x >> np.uint64(30)
    x *= np.uint64(0xBF58476D1CE4E5B9)
    x ^= x >> np.uint64(27)
    x *= np.uint64(0x94D049BB133111EB)
    return x ^ (x >> np.uint64(31))


def digest(values):
    return hashlib.sha1(np.asarray(values, dtype=np.int64).tobytes()).hexdigest()[:16]


def fingerprint(g):
    # The graph in short: its counts, its node order and every node's degree.
    return {"nodes": len(g), "edges": g.number_of_edges(), "node order": digest(g.nodes()),
            "degrees": hash(tuple(g.degree_sequence()))}


def examine(g, thorough=True):
    # The fingerprint with the edge set added, and the ways in which the graph is inconsistent (when
    # thorough: a graph found equal to a consistent one needs no more).
    nodes = np.array(g.nodes(), dtype=np.int64)
    flat = np.array(g.edges_flat(), dtype=np.int64)
    seq = g.degree_sequence()
    u, v = flat[0::2], flat[1::2]
    edge_set = int(np.sum(mix(mix(u) + v.astype(np.uint64)), dtype=np.uint64)) if len(u) else 0
    state = {"nodes": len(nodes), "edges": len(u), "node order": digest(nodes), "degrees": hash(tuple(seq)),
             "edge set": f"{edge_set:016x}", "wrong": []}
    if thorough:
        state["wrong"] = inconsistencies(g, nodes, u, v, seq)
    return state


def inconsistencies(g, nodes, u, v, seq):
    degrees = np.fromiter((d for _, d in seq), np.int64, len(seq))
    wrong = []
    if len(nodes) != len(g) or len(nodes) != g.number_of_nodes() or len(np.unique(nodes)) != len(nodes):
        wrong.append("nodes")
    if not np.array_equal(np.fromiter((n for n, _ in seq), np.int64, len(seq)), nodes):
        wrong.append("degree_sequence order")
    if len(u) != g.number_of_edges() or not (u <= v).all():
        wrong.append("edge count")
    # every edge end is a node, and each node's degree is the number of edges at it (a loop once)
    ends, at_node = np.unique(np.concatenate([u, v[u != v]]), return_counts=True)
    order = np.argsort(nodes)
    touched = degrees[order] > 0
    if not (np.array_equal(ends, nodes[order][touched]) and np.array_equal(at_node, degrees[order][touched])):
        wrong.append("edge ends or degrees")
    if len(u):  # and, for a sample of the edges, each end is in the other's neighbour set
        pick = np.random.default_rng(0).choice(len(u), size=min(len(u), 20_000), replace=False)
        if not all(g.has_edges(list(zip(v[pick].tolist(), u[pick].tolist())))):
            wrong.append("symmetry")
        # the point queries, which read small sets through the index, agree with the listing
        few = list(zip(u[pick[:2000]].tolist(), v[pick[:2000]].tolist()))
        if not all(g.has_edge(a, b) and g.has_edge(b, a) for a, b in few):
            wrong.append("has_edge")
        if not all(b in g.neighbors(a) and len(g.neighbors(a)) == g.degree(a) for a, b in few[:500]):
            wrong.append("neighbors")
    return wrong


def summary(result):
    if result is None or isinstance(result, int):
        return result
    return hashlib.sha1(repr(result).encode()).hexdigest()[:16]


QUERIES = [m for m in METHODS if m.borrow == "shared" or m.name in ("triangle_count", "pagerank")]
MUTATIONS = [m for m in METHODS if m not in QUERIES]


def run_all(g, methods):
    for m in methods:
        m(g, *m.sample)
    return [m.name for m in methods]


def edge_prefix(g, pairs, make):
    # The graph make() gives after the input's edges up to the first one g lacks, inserted in order.
    present = g.has_edges(pairs)
    k = present.index(False) if False in present else len(present)
    ref = make()
    ref.add_edges_from(pairs[:k])  # the same graph as inserting them one by one
    return f"the first {k} of {len(pairs)} edges", ref


def random_prefix(g, n, seed):
    # What build_random kept: the same call on the starting graph, asking for the edges it added.
    ref = make()
    added = g.number_of_edges() - ref.number_of_edges()
    ref.build_random(n, added, seed)
    return f"the first {added} edges drawn", ref


def node_prefix(g, nodes, make):
    k = next((i for i, n in enumerate(nodes) if n not in g), len(nodes))
    ref = make()
    ref.add_nodes_from(nodes[:k])
    return f"the first {k} of {len(nodes)} nodes", ref


def attempt(headroom, warm):
    if warm:  # start the worker pool with a tiny parallel call
        w = IntGraphCore()
        w.add_edges_from([(0, 1), (1, 2), (5, 6)])
        assert w.connected_component_sizes() == [3, 2] and status("Threads") > 1
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    if headroom is not None:
        resource.setrlimit(resource.RLIMIT_AS, (settled_size() * 1024 + headroom, hard))
    error = result = None
    try:
        result = op(g)
    except BaseException as e:  # noqa: BLE001 - sorted out below, once memory is back
        error = e
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    report = {"outcome": "ok" if error is None else type(error).__name__,
              "message": None if error is None else str(error)[:300], "result": summary(result)}
    report["state"] = examine(g, thorough=error is not None or headroom is None)
    if error is None:
        return report
    if report["state"] == START:
        report["kept"] = "nothing"
    elif prefix is None:
        report["kept"] = "a change"
    else:
        report["kept"], ref = prefix(g)
        report["prefix state"] = examine(ref)
        del ref
    try:
        report["afterwards"] = run_all(g, QUERIES)  # on the graph as the failure left it
        report["retry result"] = summary(op(g))
        report["retry state"] = fingerprint(g)
        report["afterwards"] += run_all(g, MUTATIONS)
    except BaseException as e:  # noqa: BLE001 - reported
        report["afterwards"] = f"{type(e).__name__}: {e}"[:300]
    return report


def in_copy(task, headroom=None):
    # Runs task() in a forked copy of this process; returns its report, or how the copy died.
    assert status("Threads") == 1, "the worker pool runs here already; no copy would start it"
    started, out, err = time.monotonic(), tempfile.TemporaryFile(), tempfile.TemporaryFile()
    pid = os.fork()
    if pid == 0:
        code = 3
        try:
            os.dup2(err.fileno(), 2)
            out.write(json.dumps(task()).encode())
            out.flush()
            code = 0
        except BaseException:  # noqa: BLE001 - the parent reports the traceback
            traceback.print_exc()
            sys.stderr.flush()
        finally:
            os._exit(code)
    while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < started + COPY_TIMEOUT:
        time.sleep(0.005)
    timed_out = done[0] == 0
    if timed_out:
        os.kill(pid, signal.SIGKILL)
        done = os.waitpid(pid, 0)
    code = os.waitstatus_to_exitcode(done[1])
    out.seek(0)
    err.seek(0)
    report = json.loads(out.read()) if code == 0 and not timed_out else {"outcome": "died"}
    report.update(headroom_MiB=None if headroom is None else round(headroom / MIB, 1), code=code, timed_out=timed_out,
                  seconds=round(time.monotonic() - started, 2), stderr=err.read().decode(errors="replace")[-1500:])
    return report


def start_state():
    report = in_copy(lambda: examine(g))
    assert report["code"] == 0, report["stderr"]
    return {k: report[k] for k in ("nodes", "edges", "node order", "degrees", "edge set", "wrong")}


def sweep(warm, refine=2):
    # Headrooms from 512 KiB, growing fourfold until the call succeeds, then `refine` more between
    # the last failure and that success.
    trial = lambda headroom: in_copy(lambda: attempt(headroom, warm), headroom)
    reference, trials, headroom = trial(None), [], MIB // 2
    while headroom <= 4 << 30 and (not trials or trials[-1]["outcome"] != "ok"):
        trials.append(trial(headroom))
        headroom *= 4
    if len(trials) > 1 and trials[-1]["outcome"] == "ok":
        low, high = headroom // 16, headroom // 4
        trials += [trial(low + (high - low) * i // (refine + 1)) for i in range(1, refine + 1)]
    return {"start": START, "reference": reference, "trials": trials}
'''

def random_case(start, n, m, seed):
    """The case text of build_random(n, m, seed) on the graph that `start` makes."""
    return f"""
        {start}
        op = lambda g: g.build_random({n}, {m}, {seed})
        prefix = lambda g: random_prefix(g, {n}, {seed})
    """


# Each case sets up `make()` (builds the starting graph), `op(g)` (the call under test) and
# `prefix(g)`: for a graph that a failed load changed, which prefix of the input it holds and the
# graph that prefix gives without a limit; None for the calls that must change nothing.
CASES = {
    "add_edges_flat of 2M edges into an empty graph": """
        flat = np.random.default_rng(1).integers(0, 600_000, size=4_000_000, dtype=np.int64)
        make = IntGraphCore
        op = lambda g: g.add_edges_flat(flat)
        prefix = lambda g: edge_prefix(g, list(zip(flat[0::2].tolist(), flat[1::2].tolist())), make)
    """,
    "add_edges_flat of 1M edges into a graph of 300k": """
        rng = np.random.default_rng(2)
        start = rng.integers(0, 100_000, size=600_000, dtype=np.int64)
        make = lambda: grown(100_000, start)
        flat = rng.integers(0, 300_000, size=2_000_000, dtype=np.int64)
        op = lambda g: g.add_edges_flat(flat)
        prefix = lambda g: edge_prefix(g, list(zip(flat[0::2].tolist(), flat[1::2].tolist())), make)
    """,
    # few enough endpoints next to the graph's nodes to go in edge by edge: first among the nodes
    # there, then to new ones, for which the graph makes room midway
    "add_edges_flat of a small batch into a graph of 300k": """
        rng = np.random.default_rng(3)
        start = rng.integers(0, 2**17, size=600_000, dtype=np.int64)
        make = lambda: grown(2**17, start)
        old = rng.integers(0, 2**17, size=6_000, dtype=np.int64)
        new = np.column_stack([rng.integers(0, 2**17, size=3_000), 2**17 + np.arange(3_000)]).ravel()
        flat = np.concatenate([old, new])
        op = lambda g: g.add_edges_flat(flat)
        prefix = lambda g: edge_prefix(g, list(zip(flat[0::2].tolist(), flat[1::2].tolist())), make)
    """,
    "add_edges_from 300k tuples into an empty graph": """
        ends = np.random.default_rng(4).integers(-2**40, 2**40, size=600_000, dtype=np.int64).tolist()
        pairs = list(zip(ends[0::2], ends[1::2]))
        make = IntGraphCore
        op = lambda g: g.add_edges_from(pairs)
        prefix = lambda g: edge_prefix(g, pairs, make)
    """,
    "add_nodes_from 300k ids": """
        ids = np.random.default_rng(5).integers(-2**50, 2**50, size=300_000, dtype=np.int64).tolist()
        make = lambda: grown(1000, np.arange(2000, dtype=np.int64) % 1000)
        op = lambda g: g.add_nodes_from(ids)
        prefix = lambda g: node_prefix(g, ids, make)
    """,
    # a prefix of build_random's edges is what the same call asking for fewer edges adds
    "build_random into an empty graph": random_case("make = IntGraphCore", 100_000, 500_000, 7),
    "build_random into a graph of 300k": random_case(
        """start = np.random.default_rng(6).integers(0, 100_000, size=600_000, dtype=np.int64)
        make = lambda: grown(100_000, start)""", 150_000, 300_000, 8),
    # past the chunk bound (lowered for these cases, see LOWERED), a load goes in chunks and a
    # failure keeps the chunks before it
    "add_edges_flat of 2M edges in chunks": """
        flat = np.random.default_rng(12).integers(0, 150_000, size=4_000_000, dtype=np.int64)
        make = IntGraphCore
        op = lambda g: g.add_edges_flat(flat)
        prefix = lambda g: edge_prefix(g, list(zip(flat[0::2].tolist(), flat[1::2].tolist())), make)
    """,
    "build_random in chunks": random_case("make = IntGraphCore", 100_000, 1_000_000, 13),
    # the first analysis on a graph builds what it needs
    "triangle_count": """
        start = np.random.default_rng(9).integers(0, 50_000, size=600_000, dtype=np.int64)
        make = lambda: grown(50_000, start)
        op, prefix = (lambda g: g.triangle_count()), None
    """,
    "pagerank": """
        start = np.random.default_rng(10).integers(0, 50_000, size=600_000, dtype=np.int64)
        make = lambda: grown(50_000, start)
        op, prefix = (lambda g: g.pagerank()), None
    """,
    # the same on rows laid out in segments of senders (see LOWERED), as for millions of nodes
    "pagerank in segments": """
        start = np.random.default_rng(10).integers(0, 50_000, size=600_000, dtype=np.int64)
        make = lambda: grown(50_000, start)
        op, prefix = (lambda g: g.pagerank()), None
    """,
    # the same on the halved rows of a billion entries (see LOWERED)
    "pagerank on halved rows": """
        start = np.random.default_rng(10).integers(0, 50_000, size=600_000, dtype=np.int64)
        make = lambda: grown(50_000, start)
        op, prefix = (lambda g: g.pagerank()), None
    """,
    "connected_component_sizes": """
        start = np.random.default_rng(11).integers(0, 200_000, size=300_000, dtype=np.int64)
        make = lambda: grown(200_000, start)
        op, prefix = (lambda g: g.connected_component_sizes()), None
    """,
    # a long path: the search from one end meets the other only after seeing every node, its seen
    # set moving from a hash table to a byte per node (2 MB here) on the way
    "shortest_path_length": """
        make = lambda: grown(2_000_000, np.repeat(np.arange(2_000_000, dtype=np.int64), 2)[1:-1])
        op, prefix = (lambda g: g.shortest_path_length(0, 1_999_999)), None
    """,
}
# Bounds lowered for the cases that take the paths of much larger inputs: the load chunk bound
# (edges), the PageRank segment (rows), the entries from which PageRank's rows are halved.
LOWERED = {
    "add_edges_flat of 2M edges in chunks": {"QUILLMESH_LOAD_CHUNK_EDGES": "100000"},
    "build_random in chunks": {"QUILLMESH_LOAD_CHUNK_EDGES": "100000"},
    "pagerank in segments": {"QUILLMESH_PAGERANK_SEGMENT_ROWS": "4096"},
    "pagerank on halved rows": {"QUILLMESH_PAGERANK_HALVED_ENTRIES": "1"},
}
# Cases that also run with the worker pool started before the limit is set; otherwise a call that
# uses the pool starts it under the limit.
WARM = {"build_random into an empty graph", "triangle_count", "pagerank", "pagerank in segments",
        "pagerank on halved rows", "connected_component_sizes"}
PARAMS = [pytest.param(case, False, id=case + ", pool started under the limit") for case in CASES]
PARAMS += [pytest.param(case, True, id=case + ", pool started before") for case in CASES if case in WARM]
# Large blocks are mapped and unmapped one by one, and free memory at the top of the heap is given
# back, so that the address space a copy starts with is nearly all in use and its headroom is real.
MALLOC = "glibc.malloc.mmap_threshold=262144:glibc.malloc.trim_threshold=262144"
ALL_METHODS = sorted(m.name for m in METHODS)


def describe(t):
    return (f"headroom {t['headroom_MiB']} MiB: {t['outcome']} {t.get('message') or ''} "
            f"(exit code {t['code']}{', timed out' if t['timed_out'] else ''}) {t['stderr'][-600:]}")


def outline(t):
    return f"{t['headroom_MiB']} MiB: {t['outcome']}" + (f" keeping {t['kept']}" if "kept" in t else "")


@pytest.mark.parametrize("case,warm", PARAMS)
def test_running_out_of_memory(case, warm):
    script = (HARNESS + textwrap.dedent(CASES[case])
              + f"\ng = make()\nSTART = start_state()\nprint(json.dumps(sweep({warm})))\n")
    env = {"OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1", "GLIBC_TUNABLES": MALLOC}
    env.update(LOWERED.get(case, {}))
    out = json.loads(run_python(script, HERE, env=env, timeout=600).splitlines()[-1])
    start, reference, trials = out["start"], out["reference"], out["trials"]
    print(f"{case}: " + ", ".join(map(outline, trials)))

    assert start["wrong"] == [], start
    assert reference["outcome"] == "ok" and reference["state"]["wrong"] == [], describe(reference)
    # No copy dies, and the only failure is MemoryError; except that a worker pool which cannot be
    # started at all (its threads' stacks do not fit) is reported as the pool's own failure.
    def allowed(t):
        if t["outcome"] in ("ok", "MemoryError"):
            return True
        return (not warm and t["outcome"] == "PanicException"
                and t["message"].startswith("The global thread pool has not been initialized."))

    bad = [describe(t) for t in trials if t["code"] != 0 or t["timed_out"] or not allowed(t)]
    assert not bad, bad
    # The limits cross the point of failure. With the pool started under the limit, that point may
    # be the pool's own start, which the variant with the pool started before then goes past.
    outcomes = {t["outcome"] for t in trials}
    failure = {"MemoryError"} if warm else {"MemoryError", "PanicException"}
    assert "ok" in outcomes and outcomes & failure, "the limits did not cross the point of failure"

    for t in trials:
        where = describe(t)
        assert t["state"]["wrong"] == [], where
        if t["outcome"] == "ok":
            assert t["result"] == reference["result"] and t["state"] == reference["state"], where
            continue
        assert t["kept"] != "a change", where  # only a load may keep some of its input
        if t["kept"] != "nothing":
            assert t["prefix state"]["wrong"] == [] and t["state"] == t["prefix state"], (where, t["kept"])
        assert sorted(t["afterwards"]) == ALL_METHODS, (where, t["afterwards"])
        if t["kept"] == "nothing" or not case.startswith("build_random"):
            # made again without a limit, the call gives what it gives on the untouched graph
            assert t["retry result"] == reference["result"], where
            assert t["retry state"] == {k: reference["state"][k] for k in t["retry state"]}, where
