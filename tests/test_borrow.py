"""The per-instance borrow: conflicting calls are refused at once, compatible ones run side by side."""

import contextlib
import threading

import pytest

from quillmesh._accel import IntGraphCore

TIMEOUT = 10
SHARED_REFUSED = "Already mutably borrowed"
EXCLUSIVE_REFUSED = "Already borrowed"

# Calls that take a shared borrow, and calls that take the exclusive one. Add new methods here.
SHARED = {
    "has_node": lambda g: g.has_node(1),
    "has_edge": lambda g: g.has_edge(1, 2),
    "neighbors": lambda g: g.neighbors(1),
    "degree": lambda g: g.degree(1),
    "number_of_nodes": lambda g: g.number_of_nodes(),
    "number_of_edges": lambda g: g.number_of_edges(),
    "len": len,
    "bool": bool,
    "repr": repr,
    "contains": lambda g: 1 in g,
}
EXCLUSIVE = {
    "add_node": lambda g: g.add_node(1),
    "add_edge": lambda g: g.add_edge(1, 2),
}
# Calls that hold a borrow while converting `x` (so an __index__ of x runs under the borrow).
SHARED_HOLDERS = {
    "has_node": lambda g, x: g.has_node(x),
    "has_edge": lambda g, x: g.has_edge(1, x),
    "neighbors": lambda g, x: g.neighbors(x),
    "degree": lambda g, x: g.degree(x),
    "contains": lambda g, x: x in g,
}
EXCLUSIVE_HOLDERS = {
    "add_node": lambda g, x: g.add_node(x),
    "add_edge_u": lambda g, x: g.add_edge(x, 2),
    "add_edge_v": lambda g, x: g.add_edge(1, x),
}
EXPECTED = {  # results of SHARED on the graph built by sample()
    "has_node": True, "has_edge": True, "neighbors": [2], "degree": 1, "number_of_nodes": 3,
    "number_of_edges": 2, "len": 3, "bool": True, "repr": "IntGraphCore(nodes=3, edges=2)", "contains": True,
}


def sample():
    g = IntGraphCore()
    g.add_edge(1, 2)
    g.add_edge(2, 3)
    return g


def state(g):
    return repr(g), {n: sorted(g.neighbors(n)) for n in range(-1, 12) if g.has_node(n)}


def refused(call, g, message):
    with pytest.raises(RuntimeError) as info:
        call(g)
    assert type(info.value) is RuntimeError and str(info.value) == message


class Calls:
    """An __index__ that runs `inner()` and remembers what it returned or raised."""

    def __init__(self, inner, value=1):
        self.inner, self.value, self.result, self.error = inner, value, None, None

    def __index__(self):
        try:
            self.result = self.inner()
        except BaseException as e:
            self.error = e
            raise
        return self.value


class Gate:
    """An __index__ that announces it was entered, then waits to be let through."""

    def __init__(self, value=1):
        self.value, self.entered, self.go = value, threading.Event(), threading.Event()

    def __index__(self):
        self.entered.set()
        if not self.go.wait(TIMEOUT):
            raise AssertionError("gate never opened")
        return self.value


@contextlib.contextmanager
def held(g, holder, value=1):
    """Runs holder(g, gate) on another thread, parked inside argument conversion for the block."""
    gate, outcome = Gate(value), {}

    def run():
        try:
            outcome["result"] = holder(g, gate)
        except BaseException as e:
            outcome["error"] = e

    thread = threading.Thread(target=run)
    thread.start()
    try:
        assert gate.entered.wait(TIMEOUT), "holder never reached its argument"
        yield outcome
    finally:
        gate.go.set()
        thread.join(TIMEOUT)
        assert not thread.is_alive()
    assert "error" not in outcome, outcome.get("error")


# ---- re-entrant calls from inside an argument conversion


@pytest.mark.parametrize("inner", SHARED)
@pytest.mark.parametrize("outer", EXCLUSIVE_HOLDERS)
def test_shared_inside_exclusive_is_refused(outer, inner):
    g = sample()
    before = state(g)
    obj = Calls(lambda: SHARED[inner](g), value=9)
    with pytest.raises(RuntimeError) as info:
        EXCLUSIVE_HOLDERS[outer](g, obj)
    assert info.value is obj.error and str(obj.error) == SHARED_REFUSED
    assert state(g) == before and not g.has_node(9)
    g.add_node(9)
    assert g.has_node(9)


@pytest.mark.parametrize("inner", EXCLUSIVE)
@pytest.mark.parametrize("outer", list(SHARED_HOLDERS) + list(EXCLUSIVE_HOLDERS))
def test_exclusive_inside_any_borrow_is_refused(outer, inner):
    g = IntGraphCore()
    g.add_node(5)
    holders = SHARED_HOLDERS | EXCLUSIVE_HOLDERS
    obj = Calls(lambda: EXCLUSIVE[inner](g))
    with pytest.raises(RuntimeError) as info:
        holders[outer](g, obj)
    assert info.value is obj.error and str(obj.error) == EXCLUSIVE_REFUSED
    assert state(g) == ("IntGraphCore(nodes=1, edges=0)", {5: []})
    EXCLUSIVE[inner](g)
    assert g.has_node(1)


@pytest.mark.parametrize("inner", SHARED)
@pytest.mark.parametrize("outer", SHARED_HOLDERS)
def test_shared_inside_shared_runs(outer, inner):
    g = sample()
    obj = Calls(lambda: SHARED[inner](g), value=2)
    SHARED_HOLDERS[outer](g, obj)
    assert obj.error is None and obj.result == EXPECTED[inner]


def test_binding_errors_come_before_the_borrow():
    # The inner call's binding error wins over its borrow refusal; being a TypeError raised while
    # the outer argument converts, it is then wrapped under the outer parameter's name.
    g = sample()
    for outer, inner, text in [
        (g.add_node, lambda: g.has_node(1, 2), "IntGraphCore.has_node() takes 1 positional arguments but 2 were given"),
        (g.has_node, lambda: g.add_edge(1), "IntGraphCore.add_edge() missing 1 required positional argument: 'v'"),
    ]:
        obj = Calls(inner)
        with pytest.raises(TypeError) as info:
            outer(obj)
        assert str(obj.error) == text and str(info.value) == f"argument 'n': {text}"
    assert state(g) == state(sample())


@pytest.mark.parametrize(
    "failure",
    [
        lambda g: g.add_node(1, 2),
        lambda g: g.has_node(),
        lambda g: g.has_edge(1, x=2),
        lambda g: g.number_of_nodes(1),
        lambda g: g.add_node("a"),
        lambda g: g.add_edge(1, 2**63),
        lambda g: g.has_node("a"),
        lambda g: g.degree(Calls(lambda: 1 / 0)),
        lambda g: "a" in g,
        lambda g: g.add_node(Calls(lambda: g.has_node(1))),
        lambda g: g.has_node(Calls(lambda: g.add_node(1))),
        lambda g: g.neighbors(Calls(lambda: g.add_node(Calls(lambda: g.has_node(1))))),
    ],
)
def test_borrow_is_released_after_failures(failure):
    g = sample()
    for _ in range(3):
        with pytest.raises(Exception):
            failure(g)
    g.add_edge(3, 4)  # needs the exclusive borrow: nothing may be left held
    assert g.has_edge(4, 3) and len(g) == 4


# ---- calls from other threads


@pytest.mark.parametrize("holder", EXCLUSIVE_HOLDERS)
def test_exclusive_holder_refuses_other_threads(holder):
    g = sample()
    with held(g, EXCLUSIVE_HOLDERS[holder], value=7) as outcome:
        # This thread is "B": each conflicting call must fail at once rather than wait for A.
        for call in SHARED.values():
            refused(call, g, SHARED_REFUSED)
        for call in EXCLUSIVE.values():
            refused(call, g, EXCLUSIVE_REFUSED)
        assert "result" not in outcome
    assert outcome["result"] is None and g.has_node(7)
    assert g.number_of_edges() == 2 + (holder != "add_node")


@pytest.mark.parametrize("holder", SHARED_HOLDERS)
def test_shared_holder_admits_readers_and_refuses_writers(holder):
    g = sample()
    before = state(g)
    with held(g, SHARED_HOLDERS[holder], value=2) as outcome:
        for name, call in SHARED.items():
            assert call(g) == EXPECTED[name]
        assert "result" not in outcome
        for call in EXCLUSIVE.values():
            refused(call, g, EXCLUSIVE_REFUSED)
        refused(lambda g: g.add_edge(5, 6), g, EXCLUSIVE_REFUSED)
    result = outcome["result"]
    assert (sorted(result) if holder == "neighbors" else result) == {
        "has_node": True, "has_edge": True, "neighbors": [1, 3], "degree": 2, "contains": True}[holder]
    assert state(g) == before
    g.add_edge(5, 6)
    assert g.has_edge(6, 5)


def test_many_shared_borrows_at_once():
    g = sample()
    n = 8
    barrier = threading.Barrier(n, timeout=TIMEOUT)
    results, errors = [None] * n, []

    class AllInside:  # returns only once every thread holds its shared borrow
        def __index__(self):
            barrier.wait()
            return 2

    def reader(i):
        try:
            results[i] = (g.has_node(AllInside()), [g.degree(2) for _ in range(200)], len(g), repr(g))
        except BaseException as e:
            errors.append(e)

    threads = [threading.Thread(target=reader, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(TIMEOUT)
    assert not errors and not any(t.is_alive() for t in threads)
    assert results == [(True, [2] * 200, 3, "IntGraphCore(nodes=3, edges=2)")] * n
    g.add_node(99)  # every shared borrow was given back
    assert 99 in g


def test_separate_graphs_do_not_share_borrows():
    n = 8
    graphs = [IntGraphCore() for _ in range(n)]
    barrier = threading.Barrier(n, timeout=TIMEOUT)
    errors = []

    class AllInside:  # every thread holds the exclusive borrow of its own graph here
        def __index__(self):
            barrier.wait()
            return -1

    def writer(i):
        try:
            g = graphs[i]
            g.add_node(AllInside())
            for j in range(2000):
                g.add_edge(i * 10_000 + j, i * 10_000 + j + 1)
        except BaseException as e:
            errors.append(e)

    threads = [threading.Thread(target=writer, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(TIMEOUT)
    assert not errors and not any(t.is_alive() for t in threads)
    for i, g in enumerate(graphs):
        assert (len(g), g.number_of_edges()) == (2002, 2000)
        assert g.neighbors(i * 10_000 + 5) in ([i * 10_000 + 4, i * 10_000 + 6], [i * 10_000 + 6, i * 10_000 + 4])


def test_contended_graph_stays_consistent():
    """Readers and writers race on one graph: every call succeeds or is refused, nothing else."""
    g = IntGraphCore()
    n_writers, n_readers, per_writer = 4, 4, 300
    errors, stop = [], threading.Event()

    def writer(w):
        try:
            for j in range(per_writer):
                while True:
                    try:
                        g.add_edge(w * 1000 + j, w * 1000 + j + 1)
                        break
                    except RuntimeError as e:
                        assert str(e) == EXCLUSIVE_REFUSED
        except BaseException as e:
            errors.append(e)

    def reader():
        try:
            while not stop.is_set():
                try:
                    nodes, edges = len(g), g.number_of_edges()
                    assert 0 <= edges and 0 <= nodes
                    assert g.degree(1) <= 2 and all(abs(x - 1) == 1 for x in g.neighbors(1))
                except RuntimeError as e:
                    assert str(e) == SHARED_REFUSED
        except BaseException as e:
            errors.append(e)

    writers = [threading.Thread(target=writer, args=(w,)) for w in range(n_writers)]
    readers = [threading.Thread(target=reader) for _ in range(n_readers)]
    for t in readers + writers:
        t.start()
    for t in writers:
        t.join(TIMEOUT * 3)
    stop.set()
    for t in readers:
        t.join(TIMEOUT)
    assert not errors, errors[:3]
    assert not any(t.is_alive() for t in readers + writers)
    assert g.number_of_edges() == n_writers * per_writer
    assert len(g) == n_writers * (per_writer + 1)
    assert all(g.has_edge(w * 1000 + j + 1, w * 1000 + j) for w in range(n_writers) for j in range(per_writer))
