"""quillmesh.algorithms against networkx: core numbers, triangles per node, local clustering and
transitivity, with self-loops ignored, on random graphs through every storage path (compact and
sparse ids, hubs, isolated nodes, extreme ids, bulk and native loads), on networkx's structured
graphs and on hypothesis' small ones; plus the same bits for any worker count, the results
following mutations, the borrow each function takes, and its progress reports."""

import hashlib
import json
import pickle
import random
import textwrap

import networkx as nx
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quillmesh
from quillmesh import algorithms
from quillmesh._accel import IntGraphCore
from support import EXTREMES, I64_MAX, I64_MIN, REFUSED, finish_python, run_threads, start_python

PER_NODE = ("core_numbers", "triangles", "clustering")
NAMES = (*PER_NODE, "transitivity")
# The functions that may build a cached structure take the graph alone, like g.triangle_count().
BORROW = {"core_numbers": "shared", "triangles": "exclusive", "clustering": "exclusive",
          "transitivity": "exclusive"}
INT_RESULTS = ("core_numbers", "triangles")
RTOL = 1e-12


# ---------------------------------------------------------------------------------------------
# The reference and the comparison


def networkx_graph(g):
    """g as a networkx graph without its self-loops (networkx's core_number refuses them)."""
    G = nx.Graph()
    G.add_nodes_from(g.nodes())
    G.add_edges_from(g.edges())
    G.remove_edges_from(list(nx.selfloop_edges(G)))
    return G


def reference(g):
    """networkx's four answers for g, the per-node ones in g.nodes() order."""
    G, order = networkx_graph(g), g.nodes()
    per_node = {"core_numbers": nx.core_number(G), "triangles": nx.triangles(G), "clustering": nx.clustering(G)}
    out = {name: [values[u] for u in order] for name, values in per_node.items()}
    out["transitivity"] = nx.transitivity(G)
    return out


def compute(g, first=None):
    """The four results, starting with `first` (so that it is the call that builds any cached structure)."""
    order = ([first] if first else []) + [name for name in NAMES if name != first]
    return {name: getattr(algorithms, name)(g) for name in order}


def close(got, expected):
    return got == expected or abs(got - expected) <= RTOL * abs(expected)


def assert_agrees(g, got, expected):
    order = g.nodes()
    for name in PER_NODE:
        a = got[name]
        dtype = np.int64 if name in INT_RESULTS else np.float64
        assert isinstance(a, np.ndarray) and a.dtype == dtype and a.shape == (len(order),), \
            (name, type(a), getattr(a, "dtype", None), getattr(a, "shape", None), len(order))
        same = (lambda x, y: x == y) if name in INT_RESULTS else close
        wrong = [(u, x, y) for u, x, y in zip(order, a.tolist(), expected[name]) if not same(x, y)]
        assert not wrong, f"{name}: {len(wrong)} nodes differ; (node, got, networkx): {wrong[:8]}"
    t = got["transitivity"]
    assert isinstance(t, float), type(t)
    assert t == pytest.approx(expected["transitivity"], rel=RTOL, abs=0)


def raw(results):
    """Results as exact bytes, to compare runs bit for bit."""
    return {name: (v.tobytes() if isinstance(v, np.ndarray) else float(v).hex()) for name, v in results.items()}


def assert_matches_networkx(g, first="clustering"):
    """Compares the four results with networkx; then asks again, in the other order, for the same bits."""
    got = compute(g, first)
    assert_agrees(g, got, reference(g))
    again = compute(g, "triangles" if first != "triangles" else "core_numbers")
    assert raw(again) == raw(got)


# ---------------------------------------------------------------------------------------------
# Random graphs through every storage path

# Node layouts: ids 0..n-1 as drawn (the flat index), or scattered over the whole signed 64-bit
# range, negative ones included (the hashed index). The multiplier is odd, so the map is one-to-one.
LAYOUTS = {
    "compact": lambda i: i,
    "sparse": lambda i: (i * 0x9E3779B97F4A7C15 + 0x5DEECE66D) % 2**64 - 2**63,
}


def random_pairs(rng, n, m, loops=0.03):
    """m random pairs among 0..n-1, about `loops` of them self-loops; repeats and both orientations."""
    out = []
    for _ in range(m):
        u = rng.randrange(n)
        out.append((u, u if rng.random() < loops else rng.randrange(n)))
    return out


def uniform(rng):
    n = 600
    pairs = random_pairs(rng, n, 3600)
    # isolated nodes, and nodes whose only edge is a self-loop (degree 1 here, 0 without loops)
    return pairs + [(n + 1, n + 1), (n + 5, n + 5)], list(range(n + 10))


def hubs(rng):
    """A hub of degree ~2500 with triangles through it, a second of ~300, nodes of degree 31, 32 and
    33 (the neighbour set turns into a table above 32) whose neighbours form a path, and a clique."""
    n = 3000
    pairs = [(0, v) for v in rng.sample(range(1, n), 2500)] + [(0, 0)]
    pairs += [(1, v) for v in rng.sample(range(2, n), 300)] + [(1, 1)]
    pairs += random_pairs(rng, n, 5000)
    base = n
    for d in (31, 32, 33):
        center, ring = base, list(range(base + 1, base + 1 + d))
        pairs += [(center, v) for v in ring] + [(ring[i], ring[i + 1]) for i in range(d - 1)]
        base += d + 1
    clique = list(range(base, base + 40)) + [0]  # the big hub is in it as well
    pairs += [(u, v) for i, u in enumerate(clique) for v in clique[i + 1:]]
    rng.shuffle(pairs)
    return pairs, []


def components(rng):
    """Pieces of every kind on their own ids: cliques, a cycle, a star, a tree, a dense random
    piece, a sparse one, isolated nodes; the pairs shuffled together."""
    pairs, base = [], 0

    def block(size):
        nonlocal base
        base += size
        return list(range(base - size, base))

    for size in (3, 4, 12, 35):
        ids = block(size)
        pairs += [(u, v) for i, u in enumerate(ids) for v in ids[i + 1:]]
    ids = block(30)
    pairs += [(ids[i], ids[(i + 1) % 30]) for i in range(30)]
    ids = block(60)
    pairs += [(ids[0], v) for v in ids[1:]]
    ids = block(50)
    pairs += [(ids[i], ids[rng.randrange(i)]) for i in range(1, 50)]
    for size, m in ((80, 900), (200, 260)):
        ids = block(size)
        pairs += [(ids[u], ids[v]) for u, v in random_pairs(rng, size, m)]
    rng.shuffle(pairs)
    return pairs, block(15)


def layered(rng):
    """A dense core with looser shells around it: core numbers spread over a wide range."""
    pairs = [(u, v) for u in range(25) for v in range(u + 1, 25)]
    for u in range(25, 700):
        k = 1 + u % 9
        pairs += [(u, v) for v in rng.sample(range(u), k)]
    pairs += [(u, u) for u in rng.sample(range(700), 20)]
    return pairs, []


CASES = {"uniform": uniform, "hubs": hubs, "components": components, "layered": layered}


def load(pairs, nodes, how):
    g = IntGraphCore()
    if how == "one by one":
        for u, v in pairs:
            g.add_edge(u, v)
    elif how == "add_edges_from":
        g.add_edges_from(pairs)
    else:  # bulk, from a numpy array read where it lies
        g.add_edges_flat(np.array(pairs, dtype=np.int64).reshape(-1))
    g.add_nodes_from(nodes)
    return g


# which function meets the fresh graph first, and so builds what it caches
FIRST = {"add_edges_from": "clustering", "add_edges_flat": "triangles", "one by one": "transitivity"}


@pytest.mark.parametrize("how", FIRST)
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("case", CASES)
def test_random_graphs_match_networkx(case, layout, how):
    rng = random.Random(case)
    pairs, nodes = CASES[case](rng)
    ident = LAYOUTS[layout]
    g = load([(ident(u), ident(v)) for u, v in pairs], [ident(u) for u in nodes], how)
    assert_matches_networkx(g, first=FIRST[how])


def test_extreme_ids():
    rng = random.Random(2)
    wide = EXTREMES + [rng.getrandbits(64) - 2**63 for _ in range(40)]
    pairs = [(rng.choice(wide), rng.choice(wide)) for _ in range(400)]
    pairs += [(I64_MAX, x) for x in wide if x != I64_MAX]  # a hub of degree > 32 at the top id
    pairs += [(I64_MIN, I64_MIN), (I64_MAX, I64_MAX), (I64_MIN, I64_MAX), (I64_MIN, 0), (0, I64_MAX)]
    g = load(pairs, [I64_MIN + 7, I64_MAX - 7], "add_edges_from")
    assert_matches_networkx(g)
    triangle = load([(I64_MIN, I64_MAX), (I64_MAX, -1), (-1, I64_MIN), (I64_MIN, I64_MIN)], [0], "one by one")
    assert_matches_networkx(triangle, first="triangles")


@pytest.mark.parametrize("extra", [False, True], ids=["alone", "with a hub and loose nodes"])
def test_build_random(extra):
    g = IntGraphCore()
    g.build_random(3000, 15000, seed=5)
    if extra:
        g.add_edges_from([(-5, x) for x in range(0, 3000, 4)] + [(-5, -5), (17, 17)])
        g.add_nodes_from([-1, 10**12])
        g.build_random(3000, 2000, seed=6)  # more random edges after the others
    assert_matches_networkx(g)


def test_bulk_loads_into_a_large_graph_and_a_loaded_copy():
    """A small batch into a large graph goes in edge by edge, a large one at once; a graph loaded
    from its pickle holds the store's arrays as saved."""
    rng = np.random.default_rng(3)
    g = IntGraphCore()
    g.add_edges_flat(rng.integers(0, 4000, size=2 * 20000))
    g.add_edges_flat(np.array([-1, 5, 5, 9, 9, -1, -1, -1, 2**40, 5], dtype=np.int64))  # small: edge by edge
    g.add_edges_flat(np.concatenate([np.full(900, 7), rng.integers(0, 4000, size=900)]).reshape(2, -1).T.reshape(-1))
    assert g.degree(7) > 500
    assert_matches_networkx(g)
    copy = pickle.loads(pickle.dumps(g, protocol=5))
    assert_matches_networkx(copy, first="triangles")
    assert raw(compute(copy)) == raw(compute(g))


# ---------------------------------------------------------------------------------------------
# Structured graphs

STRUCTURED = {
    "path": lambda: nx.path_graph(40),
    "star": lambda: nx.star_graph(600),
    "complete": lambda: nx.complete_graph(45),
    "wheel": lambda: nx.wheel_graph(300),
    "complete bipartite": lambda: nx.complete_bipartite_graph(5, 40),  # triples, no triangle
    "grid_2d": lambda: nx.grid_2d_graph(12, 15),
    "caveman": lambda: nx.caveman_graph(5, 8),
    "connected_caveman": lambda: nx.connected_caveman_graph(6, 9),
    "lollipop": lambda: nx.lollipop_graph(36, 20),
    "barbell": lambda: nx.barbell_graph(34, 3),
    "karate club": nx.karate_club_graph,
    "several components": lambda: nx.disjoint_union_all([nx.complete_graph(6), nx.cycle_graph(9),
                                                         nx.petersen_graph(), nx.empty_graph(4)]),
    "empty": lambda: nx.empty_graph(0),
    "isolated nodes only": lambda: nx.empty_graph(25),
}


def structured(name, layout):
    """The structured graph `name` with its nodes numbered in `layout`."""
    G = nx.convert_node_labels_to_integers(STRUCTURED[name]())
    ident = LAYOUTS[layout]
    g = IntGraphCore()
    g.add_nodes_from([ident(u) for u in G.nodes])
    g.add_edges_from([(ident(u), ident(v)) for u, v in G.edges])
    assert (len(g), g.number_of_edges()) == (G.number_of_nodes(), G.number_of_edges())
    return g


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("name", STRUCTURED)
def test_structured_graphs_match_networkx(name, layout):
    assert_matches_networkx(structured(name, layout))


def test_a_graph_of_self_loops_only():
    g = IntGraphCore()
    g.add_edges_from([(u, u) for u in (3, -4, I64_MAX, 0)])
    assert_matches_networkx(g)
    got = compute(g)
    assert got["core_numbers"].tolist() == [0] * 4 and got["transitivity"] == 0.0


# ---------------------------------------------------------------------------------------------
# Small random graphs

ID = st.one_of(st.integers(0, 9), st.integers(-5, 5), st.sampled_from(EXTREMES))
PAIR = st.one_of(st.tuples(ID, ID), ID.map(lambda x: (x, x)))


@settings(max_examples=250, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(PAIR, max_size=60), st.lists(ID, max_size=4), st.sampled_from(["add_edges_from", "add_edges_flat"]),
       st.sampled_from(NAMES))
def test_small_graphs_match_networkx(pairs, nodes, how, first):
    g = load(pairs, nodes, how)
    got = compute(g, first)
    assert_agrees(g, got, reference(g))


# ---------------------------------------------------------------------------------------------
# Worker counts, threads

BIG = """
    g = IntGraphCore()
    g.build_random(12_000, 70_000, 13)
    g.add_edges_from([(-3, x) for x in range(0, 12_000, 4)] + [(-3, -3), (7, 7)])
    g.add_edges_from([(u, v) for u in range(-60, -20) for v in range(u + 1, -20)])
    g.add_nodes_from([10**15, -10**15])
"""

FINGERPRINT = """
    import hashlib, json
    from quillmesh import algorithms
    from quillmesh._accel import IntGraphCore
""" + BIG + """
    def fingerprint(g, results):
        out = {name: hashlib.sha256(results[name].tobytes()).hexdigest()
               for name in ("core_numbers", "triangles", "clustering")}
        out["transitivity"] = float(results["transitivity"]).hex()
        out["graph"] = hashlib.sha256(repr((g.nodes(), g.edges())).encode()).hexdigest()
        return out
"""


def test_same_bits_for_any_worker_count():
    script = FINGERPRINT + """
    names = ("core_numbers", "triangles", "clustering", "transitivity")
    print(json.dumps(fingerprint(g, {name: getattr(algorithms, name)(g) for name in names})))
"""
    procs = [start_python(script, env={"RAYON_NUM_THREADS": str(k)}, unset=("RAYON_RS_NUM_CPUS",)) for k in (1, 2)]
    one, two = (json.loads(finish_python(p).stdout_text) for p in procs)
    assert one == two
    # this process, whatever its pool, gets the same bits, and they are networkx's answers
    scope = {}
    exec(textwrap.dedent(FINGERPRINT), scope)
    g = scope["g"]
    got = compute(g)
    assert scope["fingerprint"](g, got) == one
    assert_agrees(g, got, reference(g))


def test_threads_on_one_graph_and_on_many():
    """Shared calls run side by side on one graph; the exclusive ones on separate graphs at once."""
    rng = random.Random(9)
    pairs, nodes = hubs(rng)
    shared = load(pairs, nodes, "add_edges_from")
    expected = raw(compute(shared))
    graphs = [load(pairs, nodes, "add_edges_flat") for _ in range(4)]
    seen = []

    def work(i):
        if i % 2:
            for _ in range(3):
                seen.append(algorithms.core_numbers(shared).tobytes() == expected["core_numbers"])
        else:
            seen.append(raw(compute(graphs[i // 2], NAMES[i % 4])) == expected)

    run_threads(work)
    assert seen and all(seen)


# ---------------------------------------------------------------------------------------------
# Mutations, borrow, arguments, progress


def test_results_follow_mutations():
    """Every change shows in the next call, whichever function comes first and whatever the graph's
    cached copies hold (triangle_count and pagerank build their own)."""
    rng = random.Random(11)
    g = load(random_pairs(rng, 200, 700), range(200), "add_edges_from")  # compact ids
    assert_matches_networkx(g, first="triangles")

    # an edge that closes triangles counts them at once, after the cache was built
    a, b = next((u, v) for u in range(200) for v in range(u + 1, 200)
                if not g.has_edge(u, v) and set(g.neighbors(u)) & set(g.neighbors(v)) - {u, v})
    before = algorithms.triangles(g)
    g.add_edge(a, b)
    after = algorithms.triangles(g)
    assert not np.array_equal(before, after)
    common = (set(g.neighbors(a)) & set(g.neighbors(b))) - {a, b}
    order = g.nodes()
    added = {order[i]: int(d) for i, d in enumerate(after - before) if d}
    assert added == {a: len(common), b: len(common)} | {w: 1 for w in common}
    assert int(after.sum()) == 3 * g.triangle_count()

    mutations = [
        lambda: g.add_edge(b, a),  # already there: nothing changes
        lambda: g.add_node(200),  # one more node: the arrays grow
        lambda: g.add_edge(5, 5),
        lambda: g.pagerank(max_iter=3),  # its sorted copy replaces the oriented one
        lambda: g.add_edges_from([(3, v) for v in range(60, 160)]),  # a new hub
        lambda: g.triangle_count(),
        lambda: g.add_edges_flat(np.array([-9, 3, 3, 4, -9, 4, 2**50, -9], dtype=np.int64)),  # ids no longer compact
        lambda: g.build_random(200, 300, seed=4),
        lambda: g.add_edges_from([(u, v) for u in range(-30, -10) for v in range(u + 1, -10)]),
    ]
    for step, mutate in enumerate(mutations):
        mutate()
        assert_matches_networkx(g, first=NAMES[step % 4])


class Reenter:
    """An id whose conversion runs call() while the method converting it holds the graph's borrow."""

    def __init__(self, call, value):
        self.call, self.value, self.result, self.error = call, value, None, None

    def __index__(self):
        try:
            self.result = self.call()
        except BaseException as e:  # noqa: BLE001 - inspected by the test
            self.error = e
        return self.value


@pytest.mark.parametrize("name", NAMES)
def test_borrow(name):
    rng = random.Random(1)
    g = load(random_pairs(rng, 80, 300), [], "add_edges_from")
    expected = raw(compute(g))[name]
    call = getattr(algorithms, name)
    # inside has_edge (shared borrow held) and add_node (exclusive borrow held) on this thread
    inside_shared, inside_exclusive = Reenter(lambda: call(g), 1), Reenter(lambda: call(g), 1)
    g.has_edge(0, inside_shared)
    g.add_node(inside_exclusive)
    if BORROW[name] == "shared":
        assert inside_shared.error is None and raw({name: inside_shared.result})[name] == expected
        refused = REFUSED["shared"]
    else:
        assert isinstance(inside_shared.error, RuntimeError), inside_shared.error
        assert str(inside_shared.error) == REFUSED["exclusive"]
        refused = REFUSED["exclusive"]
    assert isinstance(inside_exclusive.error, RuntimeError) and str(inside_exclusive.error) == refused
    # the borrow was given back
    g.add_edge(0, 1)
    assert_matches_networkx(g, first=name)


@pytest.mark.parametrize("name", NAMES)
def test_a_non_graph_argument_raises_type_error(name):
    call = getattr(algorithms, name)
    for bad in ([(1, 2)], None, 5, nx.Graph([(1, 2)]), IntGraphCore):
        with pytest.raises(TypeError):
            call(bad)
    with pytest.raises(TypeError):
        call()


def by_call(events):
    calls = {}
    for e in events:
        calls.setdefault(e.call, []).append(e)
    return list(calls.values())


@pytest.mark.parametrize("name", NAMES)
def test_progress_reports(name):
    g = IntGraphCore()
    g.build_random(20_000, 120_000, 3)
    events = []
    with quillmesh.progress(events.append, interval=0.001):
        getattr(algorithms, name)(g)
    (reports,) = by_call(events)
    assert {e.operation for e in reports} == {f"algorithms.{name}"}
    done = [e.done for e in reports]
    assert done == sorted(done)
    assert [e.state for e in reports[:-1]] == ["running"] * (len(reports) - 1)
    last = reports[-1]
    assert last.state == "done" and last.done == last.total > 0


# ---------------------------------------------------------------------------------------------
# Diameter


# Above this many nodes the reference diameter comes from a search from every node with
# quillmesh.arrays.distances (code of its own), networkx's taking minutes there.
NETWORKX_DIAMETER_NODES = 400


def networkx_diameter(g):
    """The greatest diameter among g's components (networkx refuses a disconnected graph)."""
    if len(g) > NETWORKX_DIAMETER_NODES:
        from quillmesh import arrays
        return max((int(arrays.distances(g, u).max()) for u in g.nodes()), default=0)
    G = networkx_graph(g)
    return max((nx.diameter(G.subgraph(c)) for c in nx.connected_components(G) if len(c) > 1), default=0)


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("name", STRUCTURED)
def test_diameter_of_structured_graphs(name, layout):
    g = structured(name, layout)
    assert algorithms.diameter(g) == networkx_diameter(g)


@pytest.mark.parametrize("case", CASES)
def test_diameter_of_random_graphs(case):
    rng = random.Random(case)
    pairs, nodes = CASES[case](rng)
    g = load(pairs, nodes, "add_edges_from")
    assert algorithms.diameter(g) == networkx_diameter(g)


@settings(max_examples=200, deadline=None)
@given(st.lists(PAIR, max_size=40), st.lists(ID, max_size=4))
def test_diameter_of_small_graphs(pairs, nodes):
    g = load(pairs, nodes, "add_edges_from")
    assert algorithms.diameter(g) == networkx_diameter(g)


def test_diameter_of_long_paths_and_trees():
    # Long thin peripheries, where the levels' bound ends the search early, and a path of 3000 nodes
    # glued to a dense random core.
    g = IntGraphCore()
    g.build_random(2000, 12000, 3)
    g.add_edges_from([(k, k + 1) for k in range(1999, 5000)])
    g.add_edges_from([(-k, -2 * k - 1) for k in range(1, 800)])
    assert algorithms.diameter(g) == networkx_diameter(g)
    assert isinstance(algorithms.diameter(IntGraphCore()), int) and algorithms.diameter(IntGraphCore()) == 0


def test_diameter_takes_the_shared_borrow_and_reports_progress():
    g = IntGraphCore()
    g.add_edges_from([(1, 2), (2, 3)])
    events = []
    with quillmesh.progress(events.append, interval=0.001):
        assert algorithms.diameter(g) == 2
    calls = by_call(events)
    assert len(calls) == 1 and calls[0][-1].operation == "algorithms.diameter" and calls[0][-1].state == "done"
    with pytest.raises(TypeError):
        algorithms.diameter([(1, 2)])
