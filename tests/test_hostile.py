"""Hostile arguments for every method, and every method against the reference on random call sequences.

A hostile argument is a recipe (plain data hypothesis can draw) built twice: wired to the graph for the
real call, and "dry" for the prediction, where a call back into the graph answers as the held borrow
would. The prediction converts the dry copy in Python as the binding layer documents, then asks the model.
"""

import collections.abc
import math
import operator

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

from quillmesh._accel import IntGraphCore
from support import (I64_MAX, I64_MIN, METHOD, METHODS, SPECIALS, U64_MAX, Boom, Interrupt, Model, Seq, assert_same,
                     bits, state)

# The methods that convert arguments, with the one special method that does.
CONVERTING = {m.name: m for m in METHODS + SPECIALS if m.params}


def poke(env, how):
    """Calls back into the graph; env is (graph, None), or (None, borrow held) to answer as that borrow would."""
    g, borrow = env
    if how == "swallow":  # a refused call, caught by the code that made it
        try:
            poke(env, "write")
        except RuntimeError:
            return
    elif g is not None:
        g.number_of_nodes() if how == "read" else g.add_node(77)
    elif how == "write" or borrow == "exclusive":
        raise RuntimeError("Already borrowed" if how == "write" else "Already mutably borrowed")


CALLBACKS, MUTATE = ("read", "write", "swallow"), {"pop": lambda ls: ls and ls.pop(), "append": lambda ls: ls.append(6),
                                                   "clear": list.clear, "del0": lambda ls: ls and ls.pop(0)}


class Idx:
    def __init__(self, env, how, payload, owner):
        self.env, self.how, self.payload, self.owner = env, how, payload, owner

    def __index__(self):
        if self.how == "raise":
            raise self.payload("hostile")
        poke(self.env, self.how) if self.how in CALLBACKS else MUTATE.get(self.how, id)(self.owner)  # or edits its list
        return self.payload


class Wired(Seq):
    """A Seq whose len() and iteration may first call back into the graph; len() may also lie or fail."""

    def __init__(self, env, items, length, fail_at, in_iter):
        lie = {"huge": 2**62, "neg": -1, "over": 2**70, "raise": "interrupt"}.get(length)
        super().__init__(items, lie, fail_at, bad_iter=in_iter == "bad")
        self.env, self.on_len, self.on_iter = env, length, in_iter

    def __len__(self):
        if self.on_len in CALLBACKS:
            poke(self.env, self.on_len)
        return super().__len__()

    def iterate(self):
        if self.on_iter in CALLBACKS:
            poke(self.env, self.on_iter)
        yield from super().iterate()


def build(recipe, env, owner=None):
    tag, *rest = recipe
    if tag in ("val", "idx"):
        return rest[0] if tag == "val" else Idx(env, *rest, owner)
    if tag == "pair":
        return tuple(build(r, env, owner) for r in rest[0])
    items = []
    items += [build(r, env, items) for r in rest[0]]
    return {"list": lambda: items, "tuple": lambda: tuple(items), "set": lambda: set(map(id, items)),
            "dict": lambda: dict.fromkeys(map(id, items)), "gen": lambda: (x for x in items),
            "seq": lambda: Wired(env, items, *rest[1])}[tag]()


def to_i64(x, lo=I64_MIN, hi=I64_MAX):
    if not lo <= (v := operator.index(x)) <= hi:
        raise OverflowError()
    return v


def to_seq(obj, item):
    if isinstance(obj, str):
        raise TypeError("Can't extract `str` to `Vec`")
    if not isinstance(obj, collections.abc.Sequence):
        name = "'None'" if obj is None else f"'{type(obj).__qualname__}' object"
        raise TypeError(f"{name} is not an instance of 'Sequence'")
    try:
        len(obj)  # only sizes the first reservation: an ordinary error is ignored, an interrupt is not
    except Exception:  # noqa: BLE001
        pass
    return [item(x) for x in obj]


def to_pair(x):
    if not isinstance(x, tuple):
        raise TypeError(f"'{type(x).__qualname__}' object is not an instance of 'tuple'")
    if len(x) != 2:
        raise ValueError(f"expected tuple of length 2, but got tuple of length {len(x)}")
    return to_i64(x[0]), to_i64(x[1])


CONVERT = {"i64": to_i64, "u64": lambda x: to_i64(x, 0, U64_MAX), "seq[i64]": lambda x: to_seq(x, to_i64),
           "seq[pair]": lambda x: to_seq(x, to_pair), "f64": lambda x: x if type(x) is float else math.copysign(x, x)}
START = [(1, 2), (2, 3), (3, 1), (3, 4), (5, 5), (I64_MIN, I64_MAX), (0, -1), (4, 9)]


def predict(name, recipes, model, order):
    """("ok", result) or ("err", exception), converting like the binding layer; mutates the model."""
    env = (None, METHOD[name].borrow)
    try:
        values = [order] if name == "pagerank" else []
        for param, recipe in zip(METHOD[name].params, recipes):
            try:
                values.append(CONVERT[param.kind](build(recipe, env)))
            except TypeError as e:  # exactly TypeError gets the parameter's name
                if type(e) is not TypeError:
                    raise
                raise TypeError(f"argument '{param.name}': {e}") from None
        result = getattr(model, name)(*values)
        return "ok", bits(result) if name == "pagerank" else result
    except BaseException as e:  # noqa: BLE001 - Interrupt and the panic are predictions too
        return "err", e


def outcome(g, name, args):
    try:
        got = getattr(g, name)(*args)
        return "ok", set(got) if name == "neighbors" else bits(got) if name == "pagerank" else got
    except BaseException as e:  # noqa: BLE001
        return "err", e


def check_call(name, recipes):
    g, model = IntGraphCore(), Model()
    g.add_edges_from(START)
    model.add_edges_from(START)
    before = state(g)
    kind, expected = predict(name, recipes, model, g.nodes())
    got_kind, got = outcome(g, name, [build(r, (g, None)) for r in recipes])
    if kind == "err":
        assert got_kind == "err" and type(got) is type(expected), (got, expected)
        assert not str(expected) or str(got) == str(expected)  # overflow messages are the interpreter's
        assert state(g) == before
    else:
        assert (got_kind, got) == ("ok", expected)
        assert_same(g, model, samples=20)
        state(g)
    assert g.triangle_count() == model.triangle_count()  # and the borrow was given back
    return kind if kind == "ok" else type(expected).__name__


WRONG = ["7", 1.0, None, [1], {1: 2}, {3}, b"\x01", 2j, object(), range(2)]
OUT = {"i64": [I64_MAX + 1, I64_MIN - 1, 2**64, 10**100], "u64": [-1, 2**64, -(2**64), 10**100],
       "f64": [10**400, -(10**400)]}
RAISES = [ValueError, TypeError, Boom, Interrupt, ZeroDivisionError, RuntimeError]
ids = st.one_of(st.integers(-3, 12), st.sampled_from([I64_MIN, I64_MAX, I64_MIN + 1, I64_MAX - 1]))
numbers = {"i64": ids, "u64": st.integers(0, 6), "f64": st.floats() | st.integers(-2, 2)}  # small: m, max_iter


def scalar(kind, hostile=True, mutations=False):
    good = numbers[kind].map(lambda x: ("val", x))
    calls = list(CALLBACKS) + (list(MUTATE) if mutations else [])
    return st.one_of(good, good, good, st.sampled_from(OUT[kind] + WRONG).map(lambda x: ("val", x)),
                     st.tuples(st.just("idx"), st.just("ret"), numbers[kind] | st.sampled_from(OUT[kind] + WRONG)),
                     st.tuples(st.just("idx"), st.just("raise"), st.sampled_from(RAISES)),
                     st.tuples(st.just("idx"), st.sampled_from(calls), numbers[kind])) if hostile else good


@st.composite
def sequence(draw, kind):
    item = scalar("i64", False)
    item = item if kind == "seq[i64]" else st.tuples(item, item).map(lambda p: ("pair", p))
    items = draw(st.lists(item, max_size=8))
    if draw(st.booleans()):  # one hostile item, anywhere
        bad = scalar("i64", mutations=True)
        if kind == "seq[pair]":
            bad = st.tuples(bad, bad).map(lambda p: ("pair", p)) | st.sampled_from(
                [[1, 2], (1, 2, 3), (1,), 5, "ab", None]).map(lambda x: ("val", x))
        items.insert(draw(st.integers(0, len(items))), draw(bad))
    shape = draw(st.sampled_from(["list", "list", "tuple", "seq", "seq", "set", "dict", "gen", "str", "bytes", "none"]))
    if shape in ("str", "bytes", "none"):
        return ("val", {"str": "12", "bytes": b"\x02\x05\x02\x03", "none": None}[shape])
    length = st.sampled_from(["honest", "huge", "neg", "over", "raise", "read", "write"])
    in_iter = st.sampled_from([None, "read", "write", "bad"])
    return (shape, items, draw(st.tuples(length, st.none() | st.integers(0, 8), in_iter)))


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.data())
def test_hostile_arguments(data):
    name = data.draw(st.sampled_from(sorted(CONVERTING)))
    kinds = [p.kind for p in CONVERTING[name].params]
    event(f"{name}: {check_call(name, [data.draw(sequence(k) if k.startswith('seq') else scalar(k)) for k in kinds])}")


@pytest.mark.parametrize("name", [m.name for m in CONVERTING.values() if m.params[0].kind.startswith("seq")])
@pytest.mark.parametrize("how", MUTATE)
@pytest.mark.parametrize("at", [0, 2, 4])
def test_list_changing_while_it_is_read(name, how, at):
    pairs = METHOD[name].params[0].kind == "seq[pair]"
    items = [("pair", [("val", i), ("val", -i)]) if pairs else ("val", i) for i in range(5)]
    items.insert(at, ("pair", [("val", 7), ("idx", how, 8)]) if pairs else ("idx", how, 7))
    check_call(name, [("list", items)])


small = st.integers(-4, 12) | st.sampled_from([I64_MIN, I64_MAX, I64_MAX - 1])
ARG = {"i64": small, "u64": st.integers(0, 8), "f64": st.sampled_from([0.85, 0.5, 1.0]),
       "seq[i64]": st.lists(small, max_size=9), "seq[pair]": st.lists(st.tuples(small, small), max_size=6)}
NARROWER = {("build_random", "n"): st.integers(-1, 12), ("build_random", "seed"): st.integers(0, U64_MAX),
            ("pagerank", "max_iter"): st.integers(0, 30), ("pagerank", "tol"): st.sampled_from([1e-6, 0.0])}
ARGS = {name: st.tuples(*(NARROWER.get((name, p.name), ARG[p.kind]) for p in m.params))
        for name, m in CONVERTING.items()}


class EveryMethod(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.g, self.m = IntGraphCore(), Model()

    def both(self, name, *args):
        expected = predict(name, [("val", a) for a in args], self.m, self.g.nodes())
        got = outcome(self.g, name, args)
        assert got == expected if got[0] == "ok" else type(got[1]) is type(expected[1]), (name, args, got, expected)

    @rule(data=st.data())
    def call(self, data):
        name = data.draw(st.sampled_from(sorted(ARGS)))
        self.both(name, *data.draw(ARGS[name]))

    @invariant()
    def same_graph(self):
        nodes, edges, _, seq, count = state(self.g)
        assert set(nodes) == self.m.nodes() and set(edges) == self.m.edges() and count == self.m.number_of_edges()
        assert dict(seq) == self.m.degree_sequence() and len(nodes) == len(seq) == len(self.m.adj)
        assert self.g.connected_component_sizes() == self.m.connected_component_sizes(nodes)
        assert self.g.triangle_count() == self.m.triangle_count()

    def teardown(self):
        assert_same(self.g, self.m, samples=30)


TestEveryMethod = EveryMethod.TestCase
TestEveryMethod.settings = settings(max_examples=30, stateful_step_count=25, deadline=None)
