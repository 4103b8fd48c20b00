"""quillmesh.progress: inside a block every long call of the thread reports monotonic progress that
ends at its total; the reports come from a watcher thread, stop at the block's end, follow each
thread's own block, and survive failures, interrupts and a callback that raises."""

import signal
import threading

import numpy as np
import pytest

import quillmesh
from quillmesh import IntGraphCore, arrays
from support import run_python, state


def base_graph():
    g = IntGraphCore()
    g.build_random(20_000, 120_000, 3)
    return g


PAIRS = np.random.default_rng(1).integers(0, 30_000, size=(200_000, 2))

# Every kind of long call: (operation as reported, the call on a graph, the total it reports)
CALLS = {
    "add_edges_from": (lambda g: g.add_edges_from([tuple(p) for p in PAIRS.tolist()]), len(PAIRS)),
    "add_edges_flat": (lambda g: g.add_edges_flat(PAIRS.reshape(-1)), len(PAIRS)),
    "add_nodes_from": (lambda g: g.add_nodes_from(PAIRS[:, 0]), len(PAIRS)),
    "arrays.add_edges": (lambda g: arrays.add_edges(g, PAIRS[:, 0], PAIRS[:, 1]), len(PAIRS)),
    "build_random": (lambda g: g.build_random(40_000, 100_000, 5), 100_000),
    "has_edges": (lambda g: g.has_edges([tuple(p) for p in PAIRS.tolist()]), len(PAIRS)),
    "subgraph_edge_count": (lambda g: g.subgraph_edge_count(PAIRS[:, 0]), len(PAIRS)),
    "pagerank": (lambda g: g.pagerank(max_iter=40, tol=0.0), 40),
    "triangle_count": (lambda g: g.triangle_count(), 20_000),
    "connected_component_sizes": (lambda g: g.connected_component_sizes(), 20_000),
    "shortest_path_length": (lambda g: g.shortest_path_length(0, 10**9), 20_000),
    "edges": (lambda g: g.edges(), 20_000),
    "arrays.pagerank": (lambda g: arrays.pagerank(g, max_iter=7, tol=0.0), 7),
    "arrays.component_labels": (lambda g: arrays.component_labels(g), 20_000),
    "arrays.distances": (lambda g: arrays.distances(g, 0), 20_000),
    "arrays.edges": (lambda g: arrays.edges(g), 20_000),
    "arrays.csr": (lambda g: arrays.csr(g), 20_000),
}


def by_call(events):
    calls = {}
    for e in events:
        calls.setdefault(e.call, []).append(e)
    return list(calls.values())


def assert_monotonic_to_the_end(reports, operation, total):
    assert {e.operation for e in reports} == {operation}
    done = [e.done for e in reports]
    assert done == sorted(done), done
    assert all(e.done <= e.total or e.total == 0 for e in reports)
    assert [e.state for e in reports[:-1]] == ["running"] * (len(reports) - 1)
    last = reports[-1]
    assert (last.state, last.done, last.total) == ("done", total, total)
    elapsed = [e.elapsed for e in reports]
    assert elapsed == sorted(elapsed)


@pytest.mark.parametrize("operation", CALLS)
def test_every_long_call_reports_monotonic_progress_to_its_total(operation):
    call, total = CALLS[operation]
    g = base_graph()
    events = []
    with quillmesh.progress(events.append, interval=0.001):
        call(g)
    (reports,) = by_call(events)
    assert_monotonic_to_the_end(reports, operation, total)


def test_pagerank_that_converges_early_still_ends_at_its_total():
    g = base_graph()
    events = []
    with quillmesh.progress(events.append, interval=0.001):
        g.pagerank(max_iter=10_000, tol=1e-3)
    (reports,) = by_call(events)
    assert {e.total for e in reports if e.total} == {10_000}
    assert_monotonic_to_the_end(reports, "pagerank", 10_000)


def test_nothing_is_reported_outside_a_block_or_for_point_operations():
    g = base_graph()
    events = []
    block = quillmesh.progress(events.append, interval=0.001)
    g.pagerank(max_iter=3)
    with block:
        g.add_edge(1, 2)
        g.has_node(3)
        g.pagerank(max_iter=3)
    g.triangle_count()
    assert [e.operation for e in events] and {e.operation for e in events} == {"pagerank"}
    assert len(by_call(events)) == 1
    with pytest.raises(RuntimeError, match="entered twice"):
        with block:
            pass


def test_a_failing_call_ends_its_report_and_its_exception_passes():
    g = base_graph()
    before = state(g)
    events = []
    with pytest.raises(ValueError, match="cannot add"):
        with quillmesh.progress(events.append):
            g.build_random(10, 1000)
    assert [(e.operation, e.state) for e in by_call(events)[0][-1:]] == [("build_random", "failed")]
    assert state(g) == before


def test_a_raising_callback_stops_the_reports_not_the_call():
    g, reference = base_graph(), base_graph()
    seen = []

    def callback(e):
        seen.append(e)
        raise LookupError("from the callback")

    with pytest.raises(LookupError, match="from the callback"):
        with quillmesh.progress(callback, interval=0.001):
            g.build_random(40_000, 100_000, 5)
            g.pagerank(max_iter=5)
    reference.build_random(40_000, 100_000, 5)
    assert len(seen) == 1 and state(g) == state(reference)
    # The block is over: the thread reports nothing any more.
    g.pagerank(max_iter=2)
    assert len(seen) == 1


def test_the_callback_runs_on_a_watcher_thread_that_holds_no_borrow():
    g = base_graph()
    callers, answers = set(), []

    def callback(e):
        callers.add(threading.get_ident())
        if e.state == "running":
            try:
                answers.append(len(g.neighbors(0)))  # a shared borrow beside the running call's
            except RuntimeError as refused:
                answers.append(str(refused))

    with quillmesh.progress(callback, interval=0.001):
        for _ in range(3):
            arrays.distances(g, 0)  # holds a shared borrow
    assert callers and threading.get_ident() not in callers
    assert all(a == len(g.neighbors(0)) for a in answers)


def test_threads_see_their_own_calls_and_blocks_nest():
    g = base_graph()
    seen = {}
    barrier = threading.Barrier(3)

    def watched(name, call):
        events = seen.setdefault(name, [])
        with quillmesh.progress(events.append, interval=0.001):
            barrier.wait()
            call()

    def unwatched():
        barrier.wait()
        arrays.component_labels(g)

    threads = [threading.Thread(target=watched, args=("a", lambda: arrays.distances(g, 1))),
               threading.Thread(target=watched, args=("b", lambda: arrays.edges(g))),
               threading.Thread(target=unwatched)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert {e.operation for e in seen["a"]} == {"arrays.distances"}
    assert {e.operation for e in seen["b"]} == {"arrays.edges"}

    outer, inner = [], []
    with quillmesh.progress(outer.append):
        arrays.degrees(g)
        with quillmesh.progress(inner.append):
            arrays.nodes(g)
        arrays.edges(g)
    assert [by_call(outer)[k][-1].operation for k in range(2)] == ["arrays.degrees", "arrays.edges"]
    assert {e.operation for e in inner} == {"arrays.nodes"}


def test_default_bars_on_standard_error(monkeypatch, capsys):
    monkeypatch.setitem(__import__("sys").modules, "tqdm.auto", None)  # as if tqdm were not installed
    g = base_graph()
    with quillmesh.progress():
        g.pagerank(max_iter=5, tol=0.0)
    err = capsys.readouterr().err
    assert "\rpagerank: 5/5 100.0%" in err and err.endswith("\n")


def test_default_bars_through_tqdm(capsys):
    pytest.importorskip("tqdm")
    g = base_graph()
    with quillmesh.progress():
        arrays.pagerank(g, max_iter=5, tol=0.0)
        with pytest.raises(ValueError):
            g.build_random(10, 1000)
    err = capsys.readouterr().err
    assert "arrays.pagerank" in err and "5/5" in err and "failed" in err


INTERRUPTED = """
import json, os, signal, threading, time
import quillmesh
from quillmesh import IntGraphCore
g = IntGraphCore(); g.build_random(50_000, 400_000, 3)
events = []

def fire():
    while not any(e.state == "running" and e.done > 0 for e in list(events)):
        time.sleep(0.001)
    os.kill(os.getpid(), signal.SIGINT)

threading.Thread(target=fire, daemon=True).start()
try:
    with quillmesh.progress(events.append, interval=0.001):
        g.pagerank(0.85, 10**9, 0.0)
except KeyboardInterrupt:
    pass
last = events[-1]
print(json.dumps([last.operation, last.state, last.done < last.total, sorted({e.call for e in events})]))
"""


@pytest.mark.skipif(not hasattr(signal, "SIGINT"), reason="needs SIGINT")
def test_an_interrupted_call_ends_its_report_as_interrupted():
    import json

    assert json.loads(run_python(INTERRUPTED)) == ["pagerank", "interrupted", True, [0]]
