"""The per-instance borrow: conflicting calls are refused at once, compatible ones run side by side."""

import contextlib
import threading

import pytest

from quillmesh._accel import IntGraphCore
from support import METHODS, REFUSED, THREADS, TIMEOUT, run_threads, sample_graph, state

# name -> (borrow kind, call): every method with its sample arguments, and the special methods.
CALLS = {m.name: (m.borrow, lambda g, m=m: m(g, *m.sample)) for m in METHODS}
CALLS.update({"len": ("shared", len), "bool": ("shared", bool), "repr": ("shared", repr),
              "contains": ("shared", lambda g: 1 in g)})


def holder(method):
    """A call that converts x under its borrow: x stands in its last integer parameter, or in its sequence."""
    i = max(i for i, p in enumerate(method.params) if p.kind != "f64")
    param = method.params[i]
    wrap = {"seq[i64]": lambda x: [1, x], "seq[pair]": lambda x: [(1, x)]}.get(param.kind, lambda x: x)
    return method.borrow, lambda g, x: method(g, *method.sample[:i], **{param.name: wrap(x)})


# Calls that hold their borrow while converting x, so x.__index__ runs under it.
HOLDERS = {m.name: holder(m) for m in METHODS if m.params}
HOLDERS["contains"] = ("shared", lambda g, x: x in g)


class Calls:
    """An __index__ that runs inner() and remembers what it returned or raised."""

    def __init__(self, inner, value=9):
        self.inner, self.value, self.result, self.error = inner, value, None, None

    def __index__(self):
        try:
            self.result = self.inner()
        except BaseException as e:
            self.error = e
            raise
        return self.value


@contextlib.contextmanager
def held(g, holder, value=9):
    """Runs holder(g, x) on another thread, parked inside the conversion of x for the with-block."""
    entered, go, outcome = threading.Event(), threading.Event(), {}
    gate = Calls(lambda: entered.set() or go.wait(TIMEOUT), value)

    def run():
        try:
            outcome["result"] = holder(g, gate)
        except BaseException as e:
            outcome["error"] = e

    thread = threading.Thread(target=run)
    thread.start()
    try:
        assert entered.wait(TIMEOUT)
        yield outcome
        assert not outcome, "the holder finished while it should have been parked"
    finally:
        go.set()
        thread.join(TIMEOUT)
    assert not thread.is_alive() and "error" not in outcome, outcome.get("error")


@pytest.mark.parametrize("inner", CALLS)
@pytest.mark.parametrize("outer", HOLDERS)
def test_reentrant_call(outer, inner):
    (outer_kind, hold), (inner_kind, call) = HOLDERS[outer], CALLS[inner]
    g = sample_graph()
    before = state(g)
    obj = Calls(lambda: call(g))
    if outer_kind == inner_kind == "shared":
        hold(g, obj)
        assert obj.error is None and obj.result == call(sample_graph())
    else:
        with pytest.raises(RuntimeError) as info:
            hold(g, obj)
        assert info.value is obj.error and str(obj.error) == REFUSED[inner_kind]  # not wrapped
        assert state(g) == before
    call(g)
    g.add_node(11)  # the borrow was given back
    assert 11 in g


def test_binding_errors_come_before_the_borrow():
    # The inner binding error wins over the borrow refusal; as a TypeError raised while the outer
    # argument converts, it is then wrapped under the outer parameter's name.
    g = sample_graph()
    for outer, inner in [(g.add_node, lambda: g.has_node(1, 2)), (g.has_node, lambda: g.add_edge(1))]:
        obj = Calls(inner)
        with pytest.raises(TypeError) as info:
            outer(obj)
        assert str(info.value) == f"argument 'n': {obj.error}" and "positional argument" in str(obj.error)
    assert state(g) == state(sample_graph())


@pytest.mark.parametrize(
    "failure",
    [
        lambda g: g.add_node(1, 2),
        lambda g: g.has_node(),
        lambda g: g.number_of_nodes(1),
        lambda g: g.add_edge(1, "a"),
        lambda g: g.degree(Calls(lambda: 1 / 0)),
        lambda g: "a" in g,
        lambda g: g.neighbors(Calls(lambda: g.add_node(Calls(lambda: g.has_node(1))))),
    ],
)
def test_borrow_is_released_after_failures(failure):
    g = sample_graph()
    for _ in range(3):
        with pytest.raises(Exception):
            failure(g)
    g.add_edge(3, 4)  # needs the exclusive borrow: nothing may be left held
    assert g.has_edge(4, 3) and len(g) == 4


@pytest.mark.parametrize("holder", HOLDERS)
def test_other_threads_meet_a_held_borrow(holder):
    kind, hold = HOLDERS[holder]
    g = sample_graph()
    expected = {name: call(sample_graph()) for name, (_, call) in CALLS.items()}
    with held(g, hold) as outcome:
        # This thread is "B": a conflicting call must fail at once instead of waiting for A.
        for name, (call_kind, call) in CALLS.items():
            if kind == call_kind == "shared":
                assert call(g) == expected[name]
            else:
                with pytest.raises(RuntimeError, match=f"^{REFUSED[call_kind]}$"):
                    call(g)
    assert outcome["result"] == HOLDERS[holder][1](sample_graph(), 9)
    after = sample_graph()
    HOLDERS[holder][1](after, 9)  # the same call without interference leaves the same graph
    assert state(g) == state(after)


def test_many_shared_borrows_at_once():
    g, n = sample_graph(), THREADS
    barrier, results = threading.Barrier(n, timeout=TIMEOUT), [None] * n

    def reader(i):  # all n shared borrows are held together inside barrier.wait
        results[i] = (g.has_node(Calls(barrier.wait, 2)), [g.degree(2) for _ in range(500)], len(g), repr(g))

    run_threads(reader, n)
    assert results == [(True, [2] * 500, 3, "IntGraphCore(nodes=3, edges=2)")] * n
    g.add_node(99)  # every shared borrow was given back
    assert 99 in g


def test_separate_graphs_do_not_share_borrows():
    n, m = THREADS, 2000
    graphs, barrier = [IntGraphCore() for _ in range(n)], threading.Barrier(n, timeout=TIMEOUT)

    def writer(i):
        graphs[i].add_node(Calls(barrier.wait, -1))  # all n exclusive borrows held together
        for j in range(m):
            graphs[i].add_edge(i * m + j, i * m + j + 1)

    run_threads(writer, n)
    for i, g in enumerate(graphs):
        assert (len(g), g.number_of_edges()) == (m + 2, m) and not g.has_node((i + 1) * m + 1)
        assert sorted(g.neighbors(i * m + 5)) == [i * m + 4, i * m + 6]
