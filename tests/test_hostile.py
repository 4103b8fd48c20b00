"""Hostile arguments for every method, and every method against a model on random call sequences.

A hostile argument is described by a recipe (plain data that hypothesis can draw and shrink) and built
twice: once wired to the graph for the real call, once "dry" for the prediction, where a call back into
the graph answers as the held borrow would. The prediction converts the dry copy in Python, item by
item, exactly as the binding layer documents, and runs the model on the result.
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

try:
    IntGraphCore().build_random(0, 1)
except BaseException as e:  # noqa: BLE001 - the one way to reach the exception type
    PANIC = type(e)


class Boom(Exception):
    pass


class Interrupt(KeyboardInterrupt):
    """Raised from user code like a Ctrl-C would be; always caught by these tests."""


class Oracle(Model):
    """The model, with the generator and the analyses. Orders come from the graph's nodes()."""

    def build_random(self, n, m, seed=42):
        if n < 0:
            raise ValueError()
        if m == 0:
            return
        if n == 0:
            raise PANIC("attempt to calculate the remainder with a divisor of zero")
        taken = sum(u != v and 0 <= u < n and 0 <= v < n for u, v in self.edges())
        if m > n * (n - 1) // 2 - taken:
            raise ValueError()
        x = max(seed, 1)
        while m:
            pair = []
            for _ in range(2):
                x ^= (x << 13) & (2**64 - 1)
                x ^= x >> 7
                x ^= (x << 17) & (2**64 - 1)
                pair.append(x % n)
            if pair[0] != pair[1] and not self.has_edge(*pair):
                self.add_edge(*pair)
                m -= 1

    def has_edges(self, pairs):
        return [self.has_edge(u, v) for u, v in pairs]

    def subgraph_edge_count(self, nodes):
        return sum(u in set(nodes) and v in set(nodes) for u, v in self.edges())

    def shortest_path_length(self, s, t):
        if s == t:
            return 0
        level, seen, d = {s} & set(self.adj), {s}, 0
        while level and t in self.adj:
            d += 1
            level = {v for u in level for v in self.adj[u]} - seen
            if t in level:
                return d
            seen |= level
        return -1

    def triangle_count(self):
        return sum(w > v for u in self.adj for v in self.adj[u] if v > u for w in self.adj[u] & self.adj[v])

    def connected_component_sizes(self, order):
        seen, sizes = set(), []
        for s in order:
            if s not in seen:
                todo, seen_before = [s], len(seen)
                seen.add(s)
                while todo:
                    new = self.adj[todo.pop()] - seen
                    seen |= new
                    todo += new
                sizes.append(len(seen) - seen_before)
        return sizes

    def pagerank(self, order, damping=0.85, max_iter=100, tol=1e-6):
        if not order:
            return []
        n, row = len(order), {u: i for i, u in enumerate(order)}
        cur, base = [1.0 / n] * n, (1.0 - damping) / n
        for _ in range(max_iter):
            nxt = [base] * n
            for i, u in enumerate(order):
                share = (damping * cur[i]) / len(self.adj[u]) if self.adj[u] else 0.0
                for j in sorted(row[v] for v in self.adj[u]):
                    nxt[j] += share
            diff = 0.0
            for a, b in zip(cur, nxt):
                diff += abs(a - b)
            cur = nxt
            if diff < tol:
                break
        return [(u, s.hex()) for u, s in zip(order, cur)]


def snapshot(g):
    """Everything observable, orders included; also checks that the listings agree with each other."""
    nodes, edges, seq = g.nodes(), g.edges(), g.degree_sequence()
    assert [u for u, _ in seq] == nodes and g.edges_flat() == [x for e in edges for x in e]
    return nodes, edges, [g.neighbors(u) for u in nodes], seq, g.number_of_edges()


# ---- hostile objects. Env is where their calls back into the graph go.


class Env:
    def __init__(self, g=None, borrow=None):
        self.g, self.borrow = g, borrow

    def read(self):
        if self.g is not None:
            return self.g.number_of_nodes()
        if self.borrow == "exclusive":
            raise RuntimeError("Already mutably borrowed")

    def write(self):
        if self.g is not None:
            return self.g.add_node(77)
        raise RuntimeError("Already borrowed")


MUTATE = {"pop": lambda ls: ls and ls.pop(), "append": lambda ls: ls.append(6), "clear": list.clear,
          "del0": lambda ls: ls and ls.pop(0)}


class Idx:
    def __init__(self, env, how, payload, owner):
        self.env, self.how, self.payload, self.owner = env, how, payload, owner

    def __index__(self):
        if self.how == "raise":
            raise self.payload("hostile")
        if self.how in ("read", "write"):
            getattr(self.env, self.how)()
        if self.how == "swallow":  # a refused call inside __index__, caught there
            try:
                self.env.write()
            except RuntimeError:
                pass
        if self.how in MUTATE:  # changes the list being read
            MUTATE[self.how](self.owner)
        return self.payload


class Seq(collections.abc.Sequence):
    def __init__(self, env, items, length, fail_at, in_iter):
        self.env, self.items, self.length, self.fail_at, self.in_iter = env, items, length, fail_at, in_iter

    def __len__(self):
        lie = {"huge": 2**62, "neg": -1, "over": 2**70, "honest": len(self.items)}
        if self.length in ("read", "write"):
            getattr(self.env, self.length)()
        if self.length == "raise":
            raise Interrupt("len")
        return lie.get(self.length, 1)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        if self.in_iter == "bad":
            return 5
        return self._iterate()

    def _iterate(self):
        if self.in_iter in ("read", "write"):
            getattr(self.env, self.in_iter)()
        for k, x in enumerate(self.items):
            if k == self.fail_at:
                raise Boom("iteration failed")
            yield x


def build(recipe, env, owner=None):
    tag, *rest = recipe
    if tag == "val":
        return rest[0]
    if tag == "idx":
        return Idx(env, *rest, owner)
    if tag == "pair":
        return tuple(build(r, env, owner) for r in rest[0])
    items = []
    items += [build(r, env, items) for r in rest[0]]
    shapes = {"list": lambda: items, "tuple": lambda: tuple(items), "set": lambda: set(map(id, items)),
              "dict": lambda: dict.fromkeys(map(id, items)), "gen": lambda: (x for x in items),
              "seq": lambda: Seq(env, items, *rest[1])}
    return shapes[tag]()


def to_i64(x, lo=I64_MIN, hi=I64_MAX):
    v = operator.index(x)
    if not lo <= v <= hi:
        raise OverflowError()
    return v


def to_seq(obj, item):
    if isinstance(obj, str):
        raise TypeError("Can't extract `str` to `Vec`")
    if obj is None:
        raise TypeError("'None' is not an instance of 'Sequence'")
    if not isinstance(obj, (list, tuple, bytes, collections.abc.Sequence)):
        raise TypeError(f"'{type(obj).__qualname__}' object is not an instance of 'Sequence'")
    return [item(x) for x in obj]


def to_pair(x):
    if not isinstance(x, tuple):
        raise TypeError(f"'{type(x).__qualname__}' object is not an instance of 'tuple'")
    if len(x) != 2:
        raise ValueError(f"expected tuple of length 2, but got tuple of length {len(x)}")
    return to_i64(x[0]), to_i64(x[1])


CONVERT = {"i": to_i64, "u": lambda x: to_i64(x, 0, 2**64 - 1), "f": lambda x: x if type(x) is float else math.copysign(x, x),
           "si": lambda x: to_seq(x, to_i64), "sp": lambda x: to_seq(x, to_pair)}
EXCLUSIVE = {"add_node", "add_edge", "add_nodes_from", "add_edges_from", "add_edges_flat", "build_random", "pagerank",
             "triangle_count"}
PARAMS = {"add_node": "n:i", "add_edge": "u:i v:i", "has_node": "n:i", "__contains__": "n:i", "has_edge": "u:i v:i",
          "neighbors": "n:i", "degree": "n:i", "shortest_path_length": "source:i target:i",
          "add_nodes_from": "nodes:si", "add_edges_flat": "flat:si", "subgraph_edge_count": "nodes:si",
          "add_edges_from": "edges:sp", "has_edges": "edges:sp", "build_random": "n:i m:u seed:u",
          "pagerank": "damping:f max_iter:u tol:f"}
START = [(1, 2), (2, 3), (3, 1), (3, 4), (5, 5), (I64_MIN, I64_MAX), (0, -1), (4, 9)]


def predict(name, recipes, model, order):
    """What the call should give, as ("ok", result) or ("err", exception); applies mutations to model."""
    env = Env(borrow="exclusive" if name in EXCLUSIVE else "shared")
    try:
        values = []
        for spec, recipe in zip(PARAMS[name].split(), recipes):
            param, kind = spec.split(":")
            try:
                values.append(CONVERT[kind](build(recipe, env)))
            except TypeError as e:  # the argument-error rule: exactly TypeError gets the parameter's name
                if type(e) is not TypeError:
                    raise
                raise TypeError(f"argument '{param}': {e}") from None
        if name == "pagerank":
            values = [order, *values]
        return "ok", getattr(model, name)(*values)
    except BaseException as e:  # noqa: BLE001 - Interrupt and PANIC are predictions too
        return "err", e


def check_call(name, recipes):
    g, model = IntGraphCore(), Oracle()
    g.add_edges_from(START)
    model.add_edges_from(START)
    before = snapshot(g)
    kind, expected = predict(name, recipes, model, g.nodes())
    try:
        result = ("ok", getattr(g, name)(*(build(r, Env(g)) for r in recipes)))
    except BaseException as e:  # noqa: BLE001
        result = ("err", e)
    if kind == "err":
        e = result[1]
        assert result[0] == "err" and type(e) is type(expected), (result, expected)
        assert not str(expected) or str(e) == str(expected)
        assert snapshot(g) == before
    else:
        got = result[1]
        assert result[0] == "ok", result
        if name == "neighbors":
            got = set(got)
        elif name == "pagerank":
            got = [(u, s.hex()) for u, s in got]
        assert got == expected
        assert_same(g, model, samples=20)
        snapshot(g)
    assert g.triangle_count() == model.triangle_count()  # the borrow was given back
    return kind if kind == "ok" else type(expected).__name__


WRONG = ["7", 1.0, None, [1], {1: 2}, {3}, b"\x01", 2j, object(), range(2)]
OUT = {"i": [I64_MAX + 1, I64_MIN - 1, 2**64, 10**100], "u": [-1, 2**64, -(2**64), 10**100], "f": [10**400, -(10**400)]}
RAISES = [ValueError, TypeError, Boom, Interrupt, ZeroDivisionError, RuntimeError]
ids = st.one_of(st.integers(-3, 12), st.sampled_from([I64_MIN, I64_MAX, I64_MIN + 1, I64_MAX - 1]))
numbers = {"i": ids, "u": st.integers(0, 6), "f": st.floats() | st.integers(-2, 2)}


def scalar(kind, hostile=True, mutations=False):
    good = numbers[kind].map(lambda x: ("val", x))
    if not hostile:
        return good
    calls = ["read", "write", "swallow"] + (list(MUTATE) if mutations else [])
    return st.one_of(
        good, good, good, st.sampled_from(OUT[kind] + WRONG).map(lambda x: ("val", x)),
        st.tuples(st.just("idx"), st.just("ret"), numbers[kind] | st.sampled_from(OUT[kind] + WRONG)),
        st.tuples(st.just("idx"), st.just("raise"), st.sampled_from(RAISES)),
        st.tuples(st.just("idx"), st.sampled_from(calls), numbers[kind]))


@st.composite
def sequence(draw, kind):
    item = scalar("i", False) if kind == "si" else st.tuples(scalar("i", False), scalar("i", False))
    items = draw(st.lists(item.map(lambda p: p if p[0] == "val" else ("pair", p)), max_size=8))
    if draw(st.booleans()):  # one hostile item, anywhere
        bad = scalar("i", mutations=True)
        if kind == "sp":
            bad = st.one_of(st.tuples(bad, bad).map(lambda p: ("pair", p)),
                            st.sampled_from([[1, 2], (1, 2, 3), (1,), 5, "ab", None]).map(lambda x: ("val", x)))
        items.insert(draw(st.integers(0, len(items))), draw(bad))
    shape = draw(st.sampled_from(["list", "list", "tuple", "seq", "seq", "set", "dict", "gen", "str", "bytes", "none"]))
    if shape in ("str", "bytes", "none"):
        return ("val", {"str": "12", "bytes": b"\x02\x05\x02\x03", "none": None}[shape])
    extra = draw(st.tuples(st.sampled_from(["honest", "huge", "neg", "over", "raise", "read", "write"]),
                           st.none() | st.integers(0, 8), st.sampled_from([None, None, "read", "write", "bad"])))
    return (shape, items, extra)


@settings(max_examples=600, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.data())
def test_hostile_arguments(data):
    name = data.draw(st.sampled_from(sorted(PARAMS)))
    kinds = [spec.split(":")[1] for spec in PARAMS[name].split()]
    event(f"{name}: {check_call(name, [data.draw(sequence(k) if k[0] == 's' else scalar(k)) for k in kinds])}")


@pytest.mark.parametrize("name", ["add_nodes_from", "add_edges_flat", "subgraph_edge_count", "add_edges_from", "has_edges"])
@pytest.mark.parametrize("how", MUTATE)
@pytest.mark.parametrize("at", [0, 2, 4])
def test_list_changing_while_it_is_read(name, how, at):
    item = ("idx", how, 7) if name not in ("add_edges_from", "has_edges") else ("pair", [("val", 7), ("idx", how, 8)])
    items = [("val", i) if item[0] == "idx" else ("pair", [("val", i), ("val", -i)]) for i in range(5)]
    check_call(name, [("list", items[:at] + [item] + items[at:], None)])


@pytest.mark.parametrize("name", ["nodes", "edges", "edges_flat", "degree_sequence", "number_of_nodes", "number_of_edges",
                                  "triangle_count", "connected_component_sizes"])
def test_no_argument_methods_take_none(name):
    g = IntGraphCore()
    g.add_edges_from(START)
    before = snapshot(g)
    for bad in [1, None, Idx(Env(g), "write", 1, None)]:
        with pytest.raises(TypeError, match="takes no arguments"):
            getattr(g, name)(bad)
    assert snapshot(g) == before


small = st.integers(-4, 12) | st.sampled_from([I64_MIN, I64_MAX, I64_MAX - 1])


class EveryMethod(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.g, self.m = IntGraphCore(), Oracle()

    def both(self, name, *args):
        kind, expected = predict(name, [("val", a) for a in args], self.m, self.g.nodes())
        try:
            got = getattr(self.g, name)(*args)
        except BaseException as e:  # noqa: BLE001
            assert kind == "err" and type(e) is type(expected), (name, args, e)
            return
        assert kind == "ok", (name, args, expected)
        got = set(got) if name == "neighbors" else [(u, s.hex()) for u, s in got] if name == "pagerank" else got
        assert got == expected, (name, args)

    @rule(name=st.sampled_from(["add_node", "has_node", "neighbors", "degree", "__contains__"]), n=small)
    def one_id(self, name, n):
        self.both(name, n)

    @rule(name=st.sampled_from(["add_edge", "has_edge", "shortest_path_length"]), u=small, v=small)
    def two_ids(self, name, u, v):
        self.both(name, u, v)

    @rule(name=st.sampled_from(["add_nodes_from", "add_edges_flat", "subgraph_edge_count"]), ids=st.lists(small, max_size=9))
    def id_list(self, name, ids):
        self.both(name, ids)

    @rule(name=st.sampled_from(["add_edges_from", "has_edges"]), pairs=st.lists(st.tuples(small, small), max_size=6))
    def pair_list(self, name, pairs):
        self.both(name, pairs)

    @rule(n=st.integers(-1, 12), m=st.integers(0, 8), seed=st.integers(0, 2**64 - 1))
    def build_random(self, n, m, seed):
        self.both("build_random", n, m, seed)

    @rule(damping=st.sampled_from([0.85, 0.5, 1.0]), max_iter=st.integers(0, 30), tol=st.sampled_from([1e-6, 0.0]))
    def analyses(self, damping, max_iter, tol):
        self.both("pagerank", damping, max_iter, tol)
        assert self.g.triangle_count() == self.m.triangle_count()
        assert self.g.connected_component_sizes() == self.m.connected_component_sizes(self.g.nodes())

    @invariant()
    def same_graph(self):
        nodes, edges, _, seq, count = snapshot(self.g)
        assert set(nodes) == self.m.nodes() and set(edges) == self.m.edges() and count == self.m.number_of_edges()
        assert dict(seq) == self.m.degree_sequence() and len(nodes) == len(seq) == len(self.m.adj)

    def teardown(self):
        assert_same(self.g, self.m, samples=30)


TestEveryMethod = EveryMethod.TestCase
TestEveryMethod.settings = settings(max_examples=30, stateful_step_count=25, deadline=None)
