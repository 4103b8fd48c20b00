"""Bulk loading: add_nodes_from, add_edges_from and add_edges_flat, on every kind of input."""

import array
import collections
import operator
import random

import numpy as np
import pytest

from quillmesh._accel import IntGraphCore
from support import I64_MAX, I64_MIN, METHODS, Boom, Index, Model, Seq, assert_same, state

# The loaders: mutating methods that take one sequence. name -> parameter name
LOADERS = [m for m in METHODS if m.borrow == "exclusive" and m.params and m.params[0].kind.startswith("seq")]
PARAM = {m.name: m.params[0].name for m in LOADERS}
INT_METHODS = [m.name for m in LOADERS if m.params[0].kind == "seq[i64]"]
Pair = collections.namedtuple("Pair", "u v")  # a tuple subclass


BAD_INDEX = Index(Boom("bad index"))


def populated():
    g = IntGraphCore()
    g.add_edges_from([(1, 2), (2, 3), (3, 3), (I64_MIN, I64_MAX), (-4, 1)])
    g.add_node(-9)
    return g


def outcome(method, arg, g):
    """The graph's state after one bulk call, or the error the call raised."""
    try:
        assert getattr(g, method)(arg) is None
    except Exception as e:
        return type(e), str(e)
    return state(g)


TOO_BIG = (OverflowError, "Python int too large to convert to C long")
BAD_INTS = [("a", TypeError, "'str' object cannot be interpreted as an integer"), (2**63, *TOO_BIG),
            (1.5, TypeError, "'float' object cannot be interpreted as an integer"), (I64_MIN - 1, *TOO_BIG),
            (None, TypeError, "'NoneType' object cannot be interpreted as an integer"),
            ([1], TypeError, "'list' object cannot be interpreted as an integer"), (BAD_INDEX, Boom, "bad index")]
BAD_PAIRS = [([1, 2], TypeError, "'list' object is not an instance of 'tuple'"), ((2**63, 1), *TOO_BIG),
             (5, TypeError, "'int' object is not an instance of 'tuple'"), ((1, BAD_INDEX), Boom, "bad index"),
             ((1, 2, 3), ValueError, "expected tuple of length 2, but got tuple of length 3"),
             ((1,), ValueError, "expected tuple of length 2, but got tuple of length 1"),
             ((1, "a"), TypeError, "'str' object cannot be interpreted as an integer")]


@pytest.mark.parametrize(
    "method,bad,exc,text",
    [(m, *b) for m in INT_METHODS for b in BAD_INTS] + [("add_edges_from", *b) for b in BAD_PAIRS],
)
def test_bad_item_anywhere_changes_nothing(method, bad, exc, text):
    rng = random.Random(7)
    good = [rng.randrange(-40, 40) for _ in range(400)]
    if method == "add_edges_from":
        good = list(zip(good[::2], good[1::2]))
    for where in (0, len(good) // 2, len(good) - 1):
        for container in (list, tuple, Seq):
            g = populated()
            before = state(g)
            with pytest.raises(exc) as info:
                getattr(g, method)(container(good[:where] + [bad] + good[where + 1 :]))
            assert str(info.value) == (f"argument '{PARAM[method]}': {text}" if exc is TypeError else text)
            assert state(g) == before


@pytest.mark.parametrize("method", PARAM)
@pytest.mark.parametrize("arg,text", [
    ("12", "Can't extract `str` to `Vec`"), (None, "'None' is not an instance of 'Sequence'"),
    ({1, 2}, "'set' object is not an instance of 'Sequence'"), (5, "'int' object is not an instance of 'Sequence'"),
    ({1: 2}, "'dict' object is not an instance of 'Sequence'"),
    (iter([1, 2]), "'list_iterator' object is not an instance of 'Sequence'"),
    ((x for x in [1, 2]), "'generator' object is not an instance of 'Sequence'"),
])
def test_non_sequences_are_refused(method, arg, text):
    g = populated()
    before = state(g)
    with pytest.raises(TypeError) as info:
        getattr(g, method)(arg)
    assert str(info.value) == f"argument '{PARAM[method]}': {text}" and state(g) == before


@pytest.mark.parametrize("method", PARAM)
def test_failing_iteration_changes_nothing(method):
    items = list(range(300)) if method != "add_edges_from" else [(i, i + 1) for i in range(300)]
    for fail_at in (0, 150, 299):
        g = populated()
        before = state(g)
        with pytest.raises(Boom, match="^iteration failed$"):
            getattr(g, method)(Seq(items, fail_at=fail_at))
        assert state(g) == before


@pytest.mark.parametrize("method,arg,nodes,edges", [
    ("add_edges_flat", [1, 2, 3], [1, 2], [(1, 2)]),  # an odd last item is ignored
    ("add_edges_flat", [7], [], []), ("add_edges_flat", [], [], []),
    ("add_edges_from", [], [], []), ("add_nodes_from", [], [], []),
    ("add_nodes_from", [5, -5, 5, 5], [5, -5], []),
    ("add_edges_from", [(1, 2), (2, 1), (1, 2)], [1, 2], [(1, 2)]),
    ("add_edges_flat", [2, 1, 1, 2, 2, 1], [2, 1], [(1, 2)]),
    ("add_edges_from", [(4, 4), (4, 4)], [4], [(4, 4)]),
    ("add_edges_flat", [5, 5, 5, 4, 4, 4, 4, 5], [5, 4], [(4, 4), (4, 5), (5, 5)]),
    ("add_nodes_from", b"\x02\x01\x02", [2, 1], []),
    ("add_edges_flat", bytearray(b"\x03\x00\x00\x03\xff"), [3, 0], [(0, 3)]),
    ("add_nodes_from", range(3), [0, 1, 2], []),
    ("add_edges_flat", range(-2, 3), [-2, -1, 0, 1], [(-2, -1), (0, 1)]),
    ("add_edges_from", (Pair(9, I64_MIN), (True, 9)), [9, I64_MIN, 1], [(I64_MIN, 9), (1, 9)]),
])
def test_small_inputs(method, arg, nodes, edges):
    g, m = IntGraphCore(), Model()
    assert getattr(g, method)(arg) is None
    getattr(m, method)(list(arg))
    assert g.nodes() == nodes and sorted(g.edges()) == sorted(edges)
    assert_same(g, m)


def sample(dtype, count, seed):
    """Ids that fit `dtype`, its extremes included, few enough to repeat."""
    info, rng = np.iinfo(dtype), random.Random(seed)
    lo, hi = max(int(info.min), I64_MIN), min(int(info.max), I64_MAX)
    pool = [lo, hi, lo + 1, hi - 1, 0, 1] + [rng.randint(lo, hi) for _ in range(30)]
    return [rng.choice(pool) for _ in range(count)]


@pytest.mark.parametrize("dtype", ["int64", "int32", "int16", "int8", "uint8", "uint16", "uint32", "uint64",
                                   "longlong", "ulonglong", ">i4", ">u8"])
@pytest.mark.parametrize("method", INT_METHODS)
def test_arrays_and_sequences_load_like_lists(method, dtype):
    data = sample(dtype, 401, seed=len(dtype))
    arr = np.array(data, dtype=dtype)
    assert arr.tolist() == data
    reps = [arr, tuple(data), Seq(data), Seq(data, length="fail"), list(arr), arr[::-1][::-1]]
    if np.dtype(dtype).isnative:
        reps.append(array.array(np.dtype(dtype).char, data))
    for make in (IntGraphCore, populated):
        expected = outcome(method, data, make())
        assert not isinstance(expected[0], type)  # the list loads
        for rep in reps:
            assert outcome(method, rep, make()) == expected, type(rep)


BASE = np.array(sample("int64", 120, seed=5), dtype=np.int64)


@pytest.mark.parametrize("arr", [
    BASE[::2], BASE[1::3], BASE[::-1], BASE.reshape(-1, 2), BASE.reshape(-1, 1),
    np.asfortranarray(BASE.reshape(2, -1)), np.array([1, 2, 2**63, 3], dtype=np.uint64),
    np.array([3, 2**64 - 1], dtype=np.uint64), np.array([1.0, 2.0, 3.0, 4.0]),
    np.array([0.5, 2.0], dtype=np.float32), np.array([True, False, True, True]),
])
@pytest.mark.parametrize("method", INT_METHODS)
def test_other_arrays_load_or_fail_like_their_items(method, arr):
    # Whatever path reads an array, the outcome is that of converting its items one by one.
    got = outcome(method, arr, populated())
    assert got == outcome(method, list(arr), populated())
    if arr.ndim > 1:  # a row is not an int: nothing is silently flattened
        assert got[0] is TypeError and got[1].startswith(f"argument '{PARAM[method]}': ")
    elif arr.dtype.kind in "iu":
        assert got == outcome(method, arr.tolist(), populated())


@pytest.mark.parametrize("seed,narrow", [(0, False), (1, False), (2, True), (3, True)])
def test_batches_match_one_at_a_time_insertion(seed, narrow):
    rng = random.Random(seed)
    hubs = [rng.randrange(-10**6, 10**6) for _ in range(3)]
    pool = [rng.randrange(-30, 30) for _ in range(40)] + [rng.randrange(I64_MIN, I64_MAX) for _ in range(400)]
    pool += [I64_MIN, I64_MAX, 0, -1]
    graphs = [IntGraphCore() for _ in range(4)]  # one at a time, flat list, pairs, numpy array
    model, seen = Model(), {}
    pair_reps = [list, lambda ps: tuple(Pair(*p) for p in ps), Seq, lambda ps: Seq(ps, length="fail")]
    lows = [0, -1000, I64_MIN, I64_MAX - 3000, -1500, 0]
    for k, size in enumerate([20, 3000, 5, 2500, 1, 0]):  # batches large and small next to the store
        if narrow:  # every id of the batch within 3000 values, some of them stored already
            hubs = [lows[k] + 1, lows[k] + 2, lows[k] + 3]
            pool = [lows[k] + rng.randrange(3000) for _ in range(400)]
        flat = []
        for _ in range(size):
            u = rng.choice(hubs) if rng.random() < 0.1 else rng.choice(pool)
            flat += [u, u if rng.random() < 0.03 else rng.choice(pool)]
        nodes, odd = [rng.choice(pool) for _ in range(size // 10)], [rng.choice(pool)] * (size % 2)
        hub_before = [graphs[0].degree(h) for h in hubs]
        for i in range(0, len(flat), 2):
            graphs[0].add_edge(flat[i], flat[i + 1])
        graphs[1].add_edges_flat(flat + odd)
        graphs[2].add_edges_from(pair_reps[k % 4](zip(flat[::2], flat[1::2])))
        graphs[3].add_edges_flat(np.array(flat + odd, dtype=np.int64))
        for n in nodes:
            graphs[0].add_node(n)
        for g in graphs[1:]:
            g.add_nodes_from(nodes)
        model.add_edges_flat(flat), model.add_nodes_from(nodes)
        seen.update(dict.fromkeys(flat + nodes))
        expected = state(graphs[0])
        assert expected[0] == list(seen)  # nodes in order of first appearance
        assert all(state(g) == expected for g in graphs[1:])
        if size == 3000:  # the hubs passed 32 and 64 neighbours within this batch
            assert max(hub_before) < 32 and min(graphs[0].degree(h) for h in hubs) > 64
    assert_same(graphs[2], model)


@pytest.mark.parametrize("narrow", [False, True])
def test_batches_over_thousands_of_nodes_match_one_at_a_time_insertion(narrow):
    """Big batches are grouped by node in many separate node ranges and input slices."""
    rng = random.Random(f"thousands{narrow}")
    ids = list(range(-3000, 5000)) if narrow else [rng.randrange(I64_MIN, I64_MAX) for _ in range(8000)]
    one, batch = IntGraphCore(), IntGraphCore()
    for size in (4000, 30000):  # the second batch also extends sets the first one built
        flat = []
        for _ in range(size):
            u = ids[int(len(ids) * rng.random() ** 3)]  # skewed: the first ids get hundreds of neighbours
            flat += [u, u if rng.random() < 0.01 else rng.choice(ids)]
        for i in range(0, len(flat), 2):
            one.add_edge(flat[i], flat[i + 1])
        batch.add_edges_flat(flat)
        assert state(batch) == state(one)
    assert one.number_of_nodes() > 5000 and max(d for _, d in one.degree_sequence()) > 300


@pytest.mark.parametrize("form", ["flat", "numpy", "tuples"])
def test_long_batches_number_new_ids_in_order_of_first_appearance(form):
    """A long batch is numbered in two parts: ids new in the second part, some of them also in the
    first, must still take their places in order of first appearance over the whole batch."""
    rng = random.Random(f"long{form}")
    flat = []
    for k in range(160_000):  # 320,000 ends: the numbering is split
        span = 40_000 if k < 90_000 else 120_000  # ids above 40,000 first come late
        u = rng.randrange(-500, span)
        flat += [u, u if rng.random() < 0.02 else rng.randrange(-500, span)]
    one, batch = IntGraphCore(), IntGraphCore()
    for g in (one, batch):
        g.add_edges_from([(7, 90_000), (-3, -3), (100_000, 5)])  # some ids stored already
    for i in range(0, len(flat), 2):
        one.add_edge(flat[i], flat[i + 1])
    if form == "flat":
        batch.add_edges_flat(flat)
    elif form == "numpy":
        batch.add_edges_flat(np.array(flat, dtype=np.int64))
    else:
        batch.add_edges_from(list(zip(flat[::2], flat[1::2])))
    assert state(batch) == state(one)


def test_long_generator_batches_number_like_one_at_a_time_insertion():
    g, twin = IntGraphCore(), IntGraphCore()
    for h in (g, twin):
        h.add_edges_flat([3, 4, 50_000, 8])
    g.build_random(200_000, 140_000, 9)  # 280,000 ends at once: the numbering is split
    for u, v in Model.of([(3, 4), (50_000, 8)]).random_edges(200_000, 140_000, 9):
        twin.add_edge(u, v)
    assert g.number_of_edges() == 140_002
    assert state(g) == state(twin)


def test_small_sets_keep_their_order_through_every_growth_after_a_batch():
    """Thousands of sets get their first list from one batch (new nodes and nodes that held one or
    two neighbours before it), then grow on through later batches and single edges, some into
    tables, exactly as one-at-a-time insertion grows them."""
    rng = random.Random("growth")
    n = 10_000
    ring = [(i, (i + 1) % n) for i in range(n // 2)]  # the first half holds one or two neighbours

    def skewed(size):  # low ids get dozens of neighbours, so some sets pass 32 and become tables
        return [(int(n * rng.random() ** 2), rng.randrange(n)) for _ in range(size)]

    one, batch = IntGraphCore(), IntGraphCore()
    for step in (ring, skewed(3 * n), skewed(4 * n)):
        for u, v in step:
            one.add_edge(u, v)
        batch.add_edges_from(step)
        assert state(batch) == state(one)
    for u, v in skewed(n):
        one.add_edge(u, v)
        batch.add_edge(u, v)
    assert state(batch) == state(one)
    degrees = sorted(d for _, d in batch.degree_sequence())
    assert degrees[n // 10] >= 3 and degrees[-1] > 64


BLOCK = 1 << 16  # items of a list read between two looks at pending signals


def _odd_int(rng, v):
    """v as something other than a small plain int, or v itself once it is past one digit."""
    return rng.choice([np.int64(v), Index(v), v]) if -2**30 < v < 2**30 else v


@pytest.mark.parametrize("method", INT_METHODS + ["add_edges_from"])
def test_long_lists_mix_plain_and_other_ints_across_blocks(method):
    # Long lists are read a block at a time; a big int, a numpy int, an __index__ object or a tuple
    # subclass takes another path, at a block's first or last item as anywhere else, and the bad
    # item of a later block still changes nothing.
    rng = random.Random(3)
    count = 3 * BLOCK + 11
    ints = [rng.choice([rng.randrange(-1000, 1000), rng.randrange(-2**40, 2**40)]) for _ in range(2 * count)]
    odd = {0, BLOCK - 1, BLOCK, BLOCK + 1, 2 * BLOCK - 1, 2 * BLOCK, count - 1} | set(rng.sample(range(count), 60))
    if method == "add_edges_from":
        plain = list(zip(ints[::2], ints[1::2]))[:count]
        items = [Pair(_odd_int(rng, u), v) if i in odd else (u, v) for i, (u, v) in enumerate(plain)]
        bad = (1, "a")
    else:
        plain = ints[:count]
        items = [_odd_int(rng, v) if i in odd else v for i, v in enumerate(plain)]
        bad = "a"
    for make in (IntGraphCore, populated):
        expected = outcome(method, plain, make())
        assert not isinstance(expected[0], type)
        assert outcome(method, items, make()) == expected
        g = make()
        before = state(g)
        with pytest.raises(TypeError):
            getattr(g, method)(items[: 2 * BLOCK + 3] + [bad] + items[2 * BLOCK + 3 :])
        assert state(g) == before


class ChangesItsList:
    """An int whose __index__ first changes the list it sits in."""

    def __init__(self, value, change):
        self.value, self.change, self.owner = value, change, None

    def __index__(self):
        self.change(self.owner)
        return self.value


CHANGES = {"pop": list.pop, "append": lambda ls: ls.append(ls[1]), "clear": list.clear, "del0": lambda ls: ls.pop(0)}


def _list_with_a_changer(method, count, at, change):
    items = [(i, -i - 1) for i in range(count)] if method == "add_edges_from" else list(range(count))
    odd = ChangesItsList(-5, CHANGES[change])
    items[at] = (odd, 4) if method == "add_edges_from" else odd
    odd.owner = items
    return items


@pytest.mark.parametrize("change", sorted(CHANGES))
@pytest.mark.parametrize("method", ["add_nodes_from", "add_edges_from"])
def test_long_list_changed_midway_loads_what_its_iterator_yields(method, change):
    # The plain items of a long list are read ahead, a block at a time; an item whose conversion
    # changes the list must leave the items after it read as they are once it has run.
    count, at = 3 * BLOCK, BLOCK + 3000
    items, seen = _list_with_a_changer(method, count, at, change), []
    for x in items:  # the list's own iterator, conversions run as items come
        seen.append((operator.index(x[0]), x[1]) if isinstance(x, tuple) else operator.index(x))
    g = IntGraphCore()
    getattr(g, method)(_list_with_a_changer(method, count, at, change))
    assert state(g) == outcome(method, seen, IntGraphCore())
