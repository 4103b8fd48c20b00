"""Hostile arguments for every method, and every method against a model on random call sequences.

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

from model import I64_MAX, I64_MIN, Model, assert_same
from quillmesh._accel import IntGraphCore
from test_random_graph import xorshift

try:
    IntGraphCore().build_random(0, 1)
except BaseException as e:  # noqa: BLE001 - the one way to reach the type
    PANIC = type(e)


class Boom(Exception):
    pass


class Interrupt(KeyboardInterrupt):
    """Raised from user code like a Ctrl-C; the tests always catch it."""


class Oracle(Model):
    """The model with the generator and the analyses; orders that belong to the store come from nodes()."""

    def build_random(self, n, m, seed=42):
        taken = sum(u != v and 0 <= u and v < n for u, v in self.edges())  # edges come as (u, v), u <= v
        if n < 0 or n > 0 and m > n * (n - 1) // 2 - taken:
            raise ValueError()
        if m and not n:
            raise PANIC("attempt to calculate the remainder with a divisor of zero")
        draws = xorshift(seed)
        while m:
            u, v = next(draws) % n, next(draws) % n
            if u != v and not self.has_edge(u, v):
                self.add_edge(u, v)
                m -= 1

    def has_edges(self, pairs):
        return [self.has_edge(u, v) for u, v in pairs]

    def subgraph_edge_count(self, nodes):
        return sum(u in nodes and v in nodes for u, v in self.edges())

    def shortest_path_length(self, s, t):
        level, seen, d = {s} & set(self.adj), {s}, 0
        while s != t and level and t in self.adj:
            d, level = d + 1, {v for u in level for v in self.adj[u]} - seen
            seen |= level
            if t in level:
                return d
        return 0 if s == t else -1

    def triangle_count(self):
        return sum(w > v for u in self.adj for v in self.adj[u] if v > u for w in self.adj[u] & self.adj[v])

    def connected_component_sizes(self, order):
        seen, sizes = set(), []
        for s in (s for s in order if s not in seen):
            todo, first = [s], len(seen)
            seen.add(s)
            while todo:
                new = self.adj[todo.pop()] - seen
                seen |= new
                todo += new
            sizes.append(len(seen) - first)
        return sizes

    def pagerank(self, order, damping=0.85, max_iter=100, tol=1e-6):
        n, row = len(order), {u: i for i, u in enumerate(order)}
        cur, base = [1.0 / n] * n if n else [], (1.0 - damping) / n if n else 0.0
        for _ in range(max_iter if n else 0):
            nxt, diff = [base] * n, 0.0
            for i, u in enumerate(order):  # each receiver adds its shares in ascending sender row
                for j in sorted(row[v] for v in self.adj[u]):
                    nxt[j] += (damping * cur[i]) / len(self.adj[u])
            for a, b in zip(cur, nxt):
                diff += abs(a - b)
            cur = nxt
            if diff < tol:
                break
        return [(u, s.hex()) for u, s in zip(order, cur)]


def snapshot(g):
    """Everything observable, orders included; the listings must agree with each other."""
    nodes, edges, seq = g.nodes(), g.edges(), g.degree_sequence()
    assert [u for u, _ in seq] == nodes and g.edges_flat() == [x for e in edges for x in e]
    return nodes, edges, [g.neighbors(u) for u in nodes], seq, g.number_of_edges()


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


class Seq(collections.abc.Sequence):
    def __init__(self, env, items, length, fail_at, in_iter):
        self.env, self.items, self.length, self.fail_at, self.in_iter = env, items, length, fail_at, in_iter

    def __len__(self):  # lies, fails or calls back; the graph must not care
        if self.length in CALLBACKS:
            poke(self.env, self.length)
        if self.length == "raise":
            raise Interrupt("len")
        return {"huge": 2**62, "neg": -1, "over": 2**70}.get(self.length, len(self.items))

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return 5 if self.in_iter == "bad" else self.iterate()

    def iterate(self):
        if self.in_iter in CALLBACKS:
            poke(self.env, self.in_iter)
        for k, x in enumerate(self.items):
            if k == self.fail_at:
                raise Boom("iteration failed")
            yield x


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
            "seq": lambda: Seq(env, items, *rest[1])}[tag]()


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


CONVERT = {"i": to_i64, "u": lambda x: to_i64(x, 0, 2**64 - 1), "si": lambda x: to_seq(x, to_i64),
           "sp": lambda x: to_seq(x, to_pair), "f": lambda x: x if type(x) is float else math.copysign(x, x)}
EXCLUSIVE = {"add_node", "add_edge", "add_nodes_from", "add_edges_from", "add_edges_flat", "build_random", "pagerank"}
PARAMS = {"add_node": "n:i", "add_edge": "u:i v:i", "has_node": "n:i", "__contains__": "n:i", "has_edge": "u:i v:i",
          "neighbors": "n:i", "degree": "n:i", "shortest_path_length": "source:i target:i",
          "add_nodes_from": "nodes:si", "add_edges_flat": "flat:si", "subgraph_edge_count": "nodes:si",
          "add_edges_from": "edges:sp", "has_edges": "edges:sp", "build_random": "n:i m:u seed:u",
          "pagerank": "damping:f max_iter:u tol:f"}
START = [(1, 2), (2, 3), (3, 1), (3, 4), (5, 5), (I64_MIN, I64_MAX), (0, -1), (4, 9)]


def predict(name, recipes, model, order):
    """("ok", result) or ("err", exception), converting like the binding layer; mutates the model."""
    env = (None, "exclusive" if name in EXCLUSIVE else "shared")
    try:
        values = [order] if name == "pagerank" else []
        for declared, recipe in zip(PARAMS[name].split(), recipes):
            param, kind = declared.split(":")
            try:
                values.append(CONVERT[kind](build(recipe, env)))
            except TypeError as e:  # exactly TypeError gets the parameter's name
                if type(e) is not TypeError:
                    raise
                raise TypeError(f"argument '{param}': {e}") from None
        return "ok", getattr(model, name)(*values)
    except BaseException as e:  # noqa: BLE001 - Interrupt and PANIC are predictions too
        return "err", e


def outcome(g, name, args):
    try:
        got = getattr(g, name)(*args)
        return "ok", set(got) if name == "neighbors" else [(u, s.hex()) for u, s in got] if name == "pagerank" else got
    except BaseException as e:  # noqa: BLE001
        return "err", e


def check_call(name, recipes):
    g, model = IntGraphCore(), Oracle()
    g.add_edges_from(START)
    model.add_edges_from(START)
    before = snapshot(g)
    kind, expected = predict(name, recipes, model, g.nodes())
    got_kind, got = outcome(g, name, [build(r, (g, None)) for r in recipes])
    if kind == "err":
        assert got_kind == "err" and type(got) is type(expected), (got, expected)
        assert not str(expected) or str(got) == str(expected)  # overflow messages are the interpreter's
        assert snapshot(g) == before
    else:
        assert (got_kind, got) == ("ok", expected)
        assert_same(g, model, samples=20)
        snapshot(g)
    assert g.triangle_count() == model.triangle_count()  # and the borrow was given back
    return kind if kind == "ok" else type(expected).__name__


WRONG = ["7", 1.0, None, [1], {1: 2}, {3}, b"\x01", 2j, object(), range(2)]
OUT = {"i": [I64_MAX + 1, I64_MIN - 1, 2**64, 10**100], "u": [-1, 2**64, -(2**64), 10**100], "f": [10**400, -(10**400)]}
RAISES = [ValueError, TypeError, Boom, Interrupt, ZeroDivisionError, RuntimeError]
ids = st.one_of(st.integers(-3, 12), st.sampled_from([I64_MIN, I64_MAX, I64_MIN + 1, I64_MAX - 1]))
numbers = {"i": ids, "u": st.integers(0, 6), "f": st.floats() | st.integers(-2, 2)}  # u stays small: m, max_iter


def scalar(kind, hostile=True, mutations=False):
    good = numbers[kind].map(lambda x: ("val", x))
    calls = list(CALLBACKS) + (list(MUTATE) if mutations else [])
    return st.one_of(good, good, good, st.sampled_from(OUT[kind] + WRONG).map(lambda x: ("val", x)),
                     st.tuples(st.just("idx"), st.just("ret"), numbers[kind] | st.sampled_from(OUT[kind] + WRONG)),
                     st.tuples(st.just("idx"), st.just("raise"), st.sampled_from(RAISES)),
                     st.tuples(st.just("idx"), st.sampled_from(calls), numbers[kind])) if hostile else good


@st.composite
def sequence(draw, kind):
    item = scalar("i", False)
    item = item if kind == "si" else st.tuples(item, item).map(lambda p: ("pair", p))
    items = draw(st.lists(item, max_size=8))
    if draw(st.booleans()):  # one hostile item, anywhere
        bad = scalar("i", mutations=True)
        if kind == "sp":
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
    name = data.draw(st.sampled_from(sorted(PARAMS)))
    kinds = [declared.split(":")[1] for declared in PARAMS[name].split()]
    event(f"{name}: {check_call(name, [data.draw(sequence(k) if k[0] == 's' else scalar(k)) for k in kinds])}")


@pytest.mark.parametrize("name", [name for name, declared in PARAMS.items() if ":s" in declared])
@pytest.mark.parametrize("how", MUTATE)
@pytest.mark.parametrize("at", [0, 2, 4])
def test_list_changing_while_it_is_read(name, how, at):
    pairs = name in ("add_edges_from", "has_edges")
    items = [("pair", [("val", i), ("val", -i)]) if pairs else ("val", i) for i in range(5)]
    items.insert(at, ("pair", [("val", 7), ("idx", how, 8)]) if pairs else ("idx", how, 7))
    check_call(name, [("list", items)])


small = st.integers(-4, 12) | st.sampled_from([I64_MIN, I64_MAX, I64_MAX - 1])
ids_list, pair_list = st.tuples(st.lists(small, max_size=9)), st.tuples(st.lists(st.tuples(small, small), max_size=6))
ARGS = {**dict.fromkeys(["add_node", "has_node", "neighbors", "degree", "__contains__"], st.tuples(small)),
        **dict.fromkeys(["add_edge", "has_edge", "shortest_path_length"], st.tuples(small, small)),
        **dict.fromkeys(["add_nodes_from", "add_edges_flat", "subgraph_edge_count"], ids_list),
        **dict.fromkeys(["add_edges_from", "has_edges"], pair_list),
        "build_random": st.tuples(st.integers(-1, 12), st.integers(0, 8), st.integers(0, 2**64 - 1)),
        "pagerank": st.tuples(st.sampled_from([0.85, 0.5, 1.0]), st.integers(0, 30), st.sampled_from([1e-6, 0.0]))}


class EveryMethod(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.g, self.m = IntGraphCore(), Oracle()

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
        nodes, edges, _, seq, count = snapshot(self.g)
        assert set(nodes) == self.m.nodes() and set(edges) == self.m.edges() and count == self.m.number_of_edges()
        assert dict(seq) == self.m.degree_sequence() and len(nodes) == len(seq) == len(self.m.adj)
        assert self.g.connected_component_sizes() == self.m.connected_component_sizes(nodes)
        assert self.g.triangle_count() == self.m.triangle_count()

    def teardown(self):
        assert_same(self.g, self.m, samples=30)


TestEveryMethod = EveryMethod.TestCase
TestEveryMethod.settings = settings(max_examples=30, stateful_step_count=25, deadline=None)
