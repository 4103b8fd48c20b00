"""The seeded random graph generator build_random(n, m, seed=42)."""

import itertools

import pytest

from quillmesh._accel import IntGraphCore
from support import I64_MAX, I64_MIN, U64_MAX, Model, graph, state, xorshift


def loaded(flat=(), nodes=()):
    """A graph holding the edges of a flat list, then nodes."""
    return graph(zip(flat[0::2], flat[1::2]), nodes)


def test_generator_states():
    assert list(itertools.islice(xorshift(42), 6)) == [
        45454805674, 11532217803599905471, 10021416941527320954, 2899061411254629736, 5661411637479084162,
        10094803945545275427]


WORKED = {(1, 4), (4, 6), (2, 7), (4, 5), (6, 7)}
SEED_0 = {(1, 3), (1, 5), (3, 9), (5, 7), (8, 9)}
SECOND = {(1, 2), (1, 5), (2, 6), (4, 9), (7, 8)}


@pytest.mark.parametrize("calls,edges", [
    ([(10, 5)], WORKED), ([(10, 5, 0)], SEED_0), ([(10, 5, 1)], SEED_0),
    ([(10, 5, 2)], {(2, 7), (2, 9), (4, 7), (6, 8), (8, 9)}), ([(3, 3)], {(0, 1), (1, 2), (0, 2)}),
    ([(10, 5), (10, 5)], WORKED | SECOND),
])
def test_worked_examples(calls, edges):
    g = IntGraphCore()
    for args in calls:
        assert g.build_random(*args) is None
    assert set(g.edges()) == edges and g.number_of_edges() == len(edges)
    assert set(g.nodes()) == {x for e in edges for x in e}
    if calls == [(10, 5)]:  # first appearance in the pairs (4,1) (4,6) (2,7) (5,4) (6,7)
        assert g.nodes() == [4, 1, 6, 2, 7, 5]


@pytest.mark.parametrize("n,m,seed,pre", [
    (10, 5, 42, []), (50, 300, 7, []), (8, 28, 5, []), (2000, 400, 0, []), (2**32, 30, 5, [0, 1]),
    (2**32 + 1, 30, 6, []), (2**40, 40, U64_MAX, [3, 5, 2**39, 7]), (10**12, 10, 42, []),
    (I64_MAX, 20, 3, []),  # far more ids than could ever be reserved
    (8, 1, 42, [x for p in itertools.combinations(range(8), 2) if p != (0, 1) for x in p]),  # one free pair
    (30, 5, 8, list(range(2000))),  # a few edges next to a large store
    (20, 60, 9, [0, 1, 1, 2, 5, 5, -3, 4, 19, 100, I64_MIN, 0, 7, 8]),
    (6, 12, 1, [0, 1, 2, 3, 4, 5, 3, 3, 4, 4, -1, 0, 0, 9]),  # exactly the free pairs
    (3, 3, 4, [0, 5, 1, -1, 2, 100, 7, 7]),  # edges leaving 0..n-1 take no pair
    (60, 500, 11, [x for i in range(40) for x in (3, i + 4)]),  # node 3 is a hub from the start
    (10, 5, 42, [1, 4, 6, 4]),  # some of the drawn pairs are already there
    # attempts drawn in parallel pieces, each from the state jumped past the ones before it; with
    # few nodes, self-loops and repeats fall in every piece
    (300_000, 150_000, 12, []), (1000, 140_000, 3, [0, 1, 5, 999]), (2**32, 70_000, 2**63 + 5, []),
])
def test_matches_simulation(n, m, seed, pre):
    g = loaded(pre, nodes=[-50, 0])
    before = g.nodes()
    g.build_random(n, m, seed)
    added = Model.of(loaded(pre).edges()).random_edges(n, m, seed)
    old = {(min(p), max(p)) for p in zip(pre[::2], pre[1::2])}
    assert g.number_of_edges() == len(old) + m
    assert set(g.edges()) == old | {(min(p), max(p)) for p in added}
    assert g.nodes() == list(dict.fromkeys(before + [x for p in added for x in p]))
    # The same pairs added one at a time give the same store, orders included.
    twin = loaded(pre, nodes=[-50, 0])
    for u, v in added:
        twin.add_edge(u, v)
    assert state(g) == state(twin)


FULL_0_TO_3 = [x for p in itertools.combinations(range(4), 2) for x in p] + [2, 2, -1, 7]
REFUSED = [
    ((10, -1), {}, OverflowError, None), ((10, 5, -1), {}, OverflowError, None),
    ((10, 2**64), {}, OverflowError, None), ((10, 5), {"seed": 2**64}, OverflowError, None),
    ((2**63, 1), {}, OverflowError, None), ((None, 1), {}, TypeError, "argument 'n': "),
    ((10, None), {}, TypeError, "argument 'm': "), ((10, 5.0), {}, TypeError, "argument 'm': "),
    ((10.0, 5), {}, TypeError, "argument 'n': "), ((10, 5), {"seed": None}, TypeError, "argument 'seed': "),
    ((10, 5, 1.5), {}, TypeError, "argument 'seed': "), ((-1, 0), {}, ValueError, None),
    ((-1, 3), {}, ValueError, None), ((I64_MIN, 1), {}, ValueError, None), ((1, 1), {}, ValueError, None),
    ((2, 2), {}, ValueError, None), ((5, 11), {}, ValueError, None), ((3, 2**64 - 1), {}, ValueError, None),
]
NO_FREE_PAIR = [((4, 1), {}, ValueError, None), ((4, 2, 7), {}, ValueError, None), ((2, 1), {}, ValueError, None)]


@pytest.mark.parametrize("pre,args,kwargs,exc,text", [(p, *r) for p in ([], FULL_0_TO_3) for r in REFUSED]
                         + [(FULL_0_TO_3, *r) for r in NO_FREE_PAIR])
def test_refused_calls_change_nothing(pre, args, kwargs, exc, text):
    g = loaded(pre, nodes=[5])
    before = state(g)
    with pytest.raises(exc) as info:
        g.build_random(*args, **kwargs)
    assert text is None or str(info.value).startswith(text)
    assert state(g) == before


@pytest.mark.parametrize("pre", [[], FULL_0_TO_3])
@pytest.mark.parametrize("m", [1, 5])
def test_zero_nodes_with_edges_is_an_internal_fault(pre, m):
    g = loaded(pre)
    before = state(g)
    with pytest.raises(BaseException) as info:
        g.build_random(0, m)
    e = info.value
    assert type(e).__name__ == "PanicException" and not isinstance(e, Exception) and state(g) == before
    assert str(e) == "attempt to calculate the remainder with a divisor of zero"
    g.build_random(5, 1)  # still usable
    assert g.number_of_edges() == before[4] + 1


@pytest.mark.parametrize("pre", [[], FULL_0_TO_3])
@pytest.mark.parametrize("n", [0, 1, 2, 4, 10**18, I64_MAX])
def test_zero_edges_is_fine_for_any_n(pre, n):
    g = loaded(pre)
    before = state(g)
    assert g.build_random(n, 0) is None and g.build_random(n, 0, seed=7) is None
    assert state(g) == before
