"""shortest_path_length() against the reference's breadth-first distances."""

import os
import random
import subprocess
import sys

import pytest

from quillmesh._accel import IntGraphCore
from support import I64_MAX, I64_MIN, Model, graph

ABSENT = [10**15 + 3, -(10**15) - 3, 2**62 + 1]


def build(edges, isolated=()):
    """The graph and its reference."""
    return graph(edges, isolated), Model.of(edges, isolated)


def hubbed(rng, ids, m):
    """Random edges, a quarter of them at a few hubs, so the two ends grow at different rates."""
    hubs = ids[:4]
    return [(rng.choice(hubs) if rng.random() < 0.25 else rng.choice(ids), rng.choice(ids)) for _ in range(m)]


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("kind", ["sparse", "tree_like", "dense", "hubs", "skewed", "extreme"])
def test_random_graphs_match_bfs(kind, seed):
    rng = random.Random(f"{kind}{seed}")
    if kind == "extreme":
        ids = [I64_MIN, I64_MIN + 1, -1, 0, 1, I64_MAX - 1, I64_MAX] + [rng.getrandbits(64) - 2**63 for _ in range(150)]
    elif kind == "skewed":  # degrees from 1 to thousands: the big sets are hash tables
        ids = rng.sample(range(-5000, 5000), 3000)
    else:
        ids = rng.sample(range(-500, 500), 300)
    m = {"sparse": 200, "tree_like": 320, "dense": 1500, "skewed": 4000}.get(kind, 400)
    if kind == "hubs":
        edges = hubbed(rng, ids, m)
    elif kind == "skewed":
        edges = [(ids[int(len(ids) * rng.random() ** 4)], rng.choice(ids)) for _ in range(m)]
    else:
        edges = [(rng.choice(ids), rng.choice(ids)) for _ in range(m)]
    edges += [(x, x) for x in rng.sample(ids, 20)]  # self-loops change no distance
    g, model = build(edges, isolated=rng.sample(ids, 30))
    nodes = list(model.adj)
    reachable = unreachable = 0
    for s in rng.sample(nodes, 12):
        dist = model.distances(s)
        for t in rng.sample(nodes, 60) + ABSENT:
            got = g.shortest_path_length(s, t)
            assert got == dist.get(t, -1) == model.shortest_path_length(s, t), (s, t)
            assert g.shortest_path_length(t, s) == got
            reachable += got > 0
            unreachable += got < 0
    assert reachable and unreachable
    assert [g.shortest_path_length(x, x) for x in ABSENT] == [0] * 3
    assert [g.shortest_path_length(x, y) for x, y in zip(ABSENT, ABSENT[1:])] == [-1] * 2


@pytest.mark.parametrize("cycle", [False, True])
def test_long_path_and_cycle(cycle):
    rng = random.Random(11)
    n = 2000
    ids = rng.sample(range(-10**12, 10**12), n)
    edges = list(zip(ids, ids[1:])) + ([(ids[-1], ids[0])] if cycle else [])
    rng.shuffle(edges)
    g, _ = build(edges)
    assert g.shortest_path_length(ids[0], ids[-1]) == g.shortest_path_length(ids[-1], ids[0]) == (1 if cycle else n - 1)
    for _ in range(300):
        i, j = rng.randrange(n), rng.randrange(n)
        d = abs(i - j)
        assert g.shortest_path_length(ids[i], ids[j]) == (min(d, n - d) if cycle else d), (i, j)


def test_searches_after_one_that_saw_most_of_a_big_graph():
    """A search that sees 900k nodes, then small ones on the same thread and on another graph."""
    n = 900_000
    g = IntGraphCore()
    g.add_edges_flat([k // 2 + k % 2 for k in range(2 * (n - 1))])  # the path 0 - 1 - ... - n-1
    assert g.shortest_path_length(0, n - 1) == n - 1
    assert g.shortest_path_length(n - 1, 0) == n - 1
    assert [g.shortest_path_length(0, k) for k in (1, 2, 50)] == [1, 2, 50]
    small, _ = build([(1, 2), (2, 3), (7, 8)])
    assert [small.shortest_path_length(1, 3), small.shortest_path_length(3, 7)] == [2, -1]


def test_searches_while_the_graph_grows():
    """Each search marks the nodes it sees in an array kept for the next: one that has grown since, a
    search that stopped early, and a search that found no path must all leave it clean."""
    g = IntGraphCore()
    for n in (2, 10, 1000, 70_000):
        g.add_edges_flat([k // 2 + k % 2 for k in range(2 * (n - 1))])  # extends the path 0 - ... - n-1
        g.add_node(-n)  # an isolated node: no path to it
        assert [g.shortest_path_length(0, n - 1), g.shortest_path_length(n - 1, 1)] == [n - 1, n - 2]
        assert [g.shortest_path_length(0, -n), g.shortest_path_length(n // 2, 0)] == [-1, n // 2]


def test_the_hash_map_of_larger_graphs_gives_the_same_distances():
    """Graphs of millions of nodes keep a search's seen nodes in a hash map; lowering the bound from
    which they do runs the random-graph cases through it."""
    env = dict(os.environ, QUILLMESH_PATH_MARKED_NODES="1")
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                          f"{__file__}::test_random_graphs_match_bfs", f"{__file__}::test_searches_while_the_graph_grows"],
                         env=env, cwd=os.path.dirname(__file__), capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stdout[-3000:] + run.stderr[-3000:]
    assert "\n25 passed" in "\n" + run.stdout, run.stdout[-500:]


def test_grid_with_many_shortest_paths():
    rng = random.Random(3)
    side = 40
    ids = rng.sample(range(I64_MIN, I64_MIN + 10**9), side * side)
    at = lambda r, c: ids[r * side + c]
    edges = [(at(r, c), at(r, c + 1)) for r in range(side) for c in range(side - 1)]
    edges += [(at(r, c), at(r + 1, c)) for r in range(side - 1) for c in range(side)]
    rng.shuffle(edges)
    g, _ = build(edges)
    for _ in range(300):
        r1, c1, r2, c2 = (rng.randrange(side) for _ in range(4))
        assert g.shortest_path_length(at(r1, c1), at(r2, c2)) == abs(r1 - r2) + abs(c1 - c2)


def test_documented_cases():
    g = IntGraphCore()
    assert g.shortest_path_length(7, 7) == 0
    assert g.shortest_path_length(7, 8) == -1
    g.add_edges_from([(1, 2), (2, 3), (3, 4)])
    assert g.shortest_path_length(1, 2) == g.shortest_path_length(2, 1) == 1
    assert g.shortest_path_length(1, 4) == g.shortest_path_length(4, 1) == 3
    assert g.shortest_path_length(1, 99) == g.shortest_path_length(99, 1) == -1
    assert g.shortest_path_length(99, 99) == 0
    g.add_edge(5, 6)
    assert g.shortest_path_length(1, 6) == g.shortest_path_length(5, 4) == -1
    g.add_edge(1, 4)
    assert g.shortest_path_length(1, 4) == g.shortest_path_length(4, 1) == 1
    assert g.shortest_path_length(2, 4) == 2

    g = IntGraphCore()
    g.add_edge(I64_MIN, I64_MIN)
    g.add_edge(I64_MAX, 0)
    assert g.shortest_path_length(I64_MIN, I64_MAX) == g.shortest_path_length(I64_MIN, 0) == -1
    g.add_edge(I64_MIN, 0)
    assert g.shortest_path_length(I64_MIN, I64_MAX) == 2
    assert g.shortest_path_length(I64_MIN, I64_MIN) == 0


def test_argument_errors():
    g = IntGraphCore()
    g.add_edge(1, 2)
    bad = [(("a", 2), "source"), ((1, 2.0), "target"), ((None, "b"), "source"), (("a", 2**63), "source")]
    for args, name in bad:  # source is converted first
        with pytest.raises(TypeError, match=rf"^argument '{name}': '\w+' object cannot be interpreted as an integer$"):
            g.shortest_path_length(*args)
    for args in [(1, 2**63), (2**63, "b"), (-(2**63) - 1, 1), (2**64, 2**63)]:
        with pytest.raises(OverflowError) as info:
            g.shortest_path_length(*args)
        assert "argument" not in str(info.value)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'target'"):
        g.shortest_path_length(1)
    assert g.shortest_path_length(target=2, source=1) == 1
    assert g.shortest_path_length(True, 2) == 1  # an int subclass is an integer
