"""pagerank: bit-for-bit agreement with the reference power iteration, documented values, arguments."""

import json
import math
import random

import pytest

from quillmesh._accel import IntGraphCore
from support import I64_MAX, I64_MIN, bits, graph, model_of, random_graph, run_python

NAN, INF = float("nan"), float("inf")


def reference(g, *args, **kwargs):
    """The reference's (result, change of every iteration) for what g holds, rows in g.nodes() order."""
    return model_of(g).pagerank_steps(g.nodes(), *args, **kwargs)


def make(*edges, nodes=()):
    return graph(edges, nodes)


def ranked_graph(seed, pool, steps=None):
    """Random edges among pool, some self-loops, and a few calls of add_node."""
    rng = random.Random(seed)
    return random_graph(rng, pool, steps or rng.randrange(1, 3 * len(pool)), isolated=0.02)[0]


POOLS = {
    "small": list(range(30)),
    "negative": list(range(-200, 5)),
    "extreme": [I64_MIN, I64_MIN + 1, -7, -1, 0, 1, 2**40, I64_MAX - 1, I64_MAX],
    "wide": [random.Random(5).getrandbits(64) - 2**63 for _ in range(300)],
}
ARGS = [
    {}, {"damping": 0.5, "max_iter": 1000, "tol": 1e-13}, {"damping": 0.0}, {"damping": 1.0, "max_iter": 40},
    {"damping": 1, "tol": 1}, {"damping": 1.7, "max_iter": 30}, {"damping": -0.3}, {"max_iter": 0},
    {"max_iter": 1}, {"max_iter": 2**64 - 1, "tol": 1e-10}, {"tol": 0.0, "max_iter": 30},
    {"tol": -1.0, "max_iter": 25}, {"tol": INF}, {"tol": NAN, "max_iter": 20},
    {"damping": NAN, "max_iter": 15}, {"damping": INF, "max_iter": 5},
]


@pytest.mark.parametrize("pool", sorted(POOLS))
@pytest.mark.parametrize("seed", range(4))
def test_matches_reference_bit_for_bit(pool, seed):
    g = ranked_graph(seed, POOLS[pool])
    for kwargs in ARGS:
        got = g.pagerank(**kwargs)
        assert bits(got) == bits(reference(g, **kwargs)[0]) and [u for u, _ in got] == g.nodes(), kwargs
    # a tol equal to an iteration's change (or just above it) pins down that change to the last bit
    _, diffs = reference(g, max_iter=60, tol=0.0)
    for d in diffs[:: max(1, len(diffs) // 6)]:
        for tol in (d, math.nextafter(d, INF)):
            assert bits(g.pagerank(0.85, 60, tol)) == bits(reference(g, 0.85, 60, tol)[0]), tol
    # positional and keyword forms bind alike
    assert bits(g.pagerank(0.6, 50, 1e-9)) == bits(reference(g, 0.6, 50, 1e-9)[0])


def test_every_row_length_around_the_short_row_limit():
    # Node k has k neighbours among ids scattered over the whole range (and node 0 none), so rows of
    # every length from 1 to 45 are summed, each in ascending order of its senders.
    rng = random.Random(11)
    ids = rng.sample(range(-(10**6), 10**6), 400)
    edges = [(ids[k], v) for k in range(1, 46) for v in rng.sample(ids[46:], k)]
    g = make(*edges, nodes=[ids[0]])
    assert sorted(g.degree(ids[k]) for k in range(46)) == list(range(46))
    for kwargs in ({}, {"max_iter": 3, "tol": 0.0}):
        assert bits(g.pagerank(**kwargs)) == bits(reference(g, **kwargs)[0])


def test_nan_damping_runs_every_iteration():
    g = ranked_graph(1, list(range(20)), 40)
    result = g.pagerank(damping=NAN, max_iter=7)
    assert result and all(math.isnan(s) for _, s in result)
    assert len(reference(g, NAN, 7)[1]) == 7


def test_regular_graph_stays_uniform_and_non_positive_tol_runs_max_iter():
    g = make((1, 2), (2, 3), (3, 4), (4, 1))  # stays exactly uniform: every change is 0
    assert g.pagerank() == [(u, 0.25) for u in g.nodes()] and reference(g)[1] == [0.0]
    for tol in (0.0, -1.0):
        res, diffs = reference(g, tol=tol, max_iter=13)
        assert diffs == [0.0] * 13 and bits(g.pagerank(tol=tol, max_iter=13)) == bits(res)


def test_documented_values():
    assert make().pagerank() == [] and make().pagerank(NAN, 0, NAN) == []
    assert make(nodes=[5]).pagerank() == [(5, 0.15000000000000002)]
    assert make((7, 7)).pagerank() == [(7, 1.0)]
    assert sorted(make((1, 2)).pagerank()) == [(1, 0.5), (2, 0.5)]
    g = make((1, 2), (2, 3))
    scores = dict(g.pagerank())
    assert scores[1] == scores[3] == pytest.approx(0.2567567, abs=1e-6)
    assert scores[2] == pytest.approx(0.4864867, abs=1e-6)
    assert len(reference(g)[1]) == 83  # converges on the 83rd update
    assert g.pagerank(max_iter=83) == g.pagerank() != g.pagerank(max_iter=82)
    assert all(s == 1 / 3 for _, s in g.pagerank(max_iter=0))
    g.add_node(9)
    scores = dict(g.pagerank())
    assert scores[9] == 0.037500000000000006
    assert sum(scores.values()) == pytest.approx(0.7875, abs=1e-6)


@pytest.mark.parametrize(("kwargs", "error", "text"), [
    ({"damping": None}, TypeError, "argument 'damping': "), ({"max_iter": None}, TypeError, "argument 'max_iter': "),
    ({"tol": None}, TypeError, "argument 'tol': "), ({"max_iter": 1.5}, TypeError, "argument 'max_iter': "),
    ({"damping": "0.5"}, TypeError, "argument 'damping': "), ({"max_iter": -1}, OverflowError, ""),
    ({"max_iter": 2**64}, OverflowError, ""),
    ({"dampening": 0.5}, TypeError, "IntGraphCore.pagerank() got an unexpected keyword argument"),
])
def test_argument_errors(kwargs, error, text):
    g = make((1, 2), (2, 3), (3, 3))
    before = g.pagerank()
    with pytest.raises(error) as info:
        g.pagerank(**kwargs)
    assert type(info.value) is error and str(info.value).startswith(text)
    assert bits(g.pagerank()) == bits(before)


def test_too_many_positional_arguments():
    with pytest.raises(TypeError) as info:
        IntGraphCore().pagerank(0.85, 100, 1e-6, 5)
    assert str(info.value) == "IntGraphCore.pagerank() takes from 0 to 3 positional arguments but 4 were given"


def test_mutations_between_calls():
    g = ranked_graph(11, list(range(-40, 40)), 120)
    first = g.pagerank()
    assert bits(first) == bits(g.pagerank())
    u, v = g.edges()[5]
    for redo in (lambda: g.add_edge(v, u), lambda: g.add_node(u), lambda: g.add_edges_from([(u, v)])):
        redo()
        assert bits(g.pagerank()) == bits(first)
    g.add_edge(-40, 1000)  # a new node and an edge
    after = g.pagerank()
    assert bits(after) == bits(reference(g)[0]) and [x for x, _ in after] == g.nodes()
    assert dict(after).keys() - dict(first).keys() == {1000} and bits(after) != bits(first)
    g.triangle_count()
    g.add_edge(1000, 1000)
    assert bits(g.pagerank(tol=0, max_iter=20)) == bits(reference(g, tol=0, max_iter=20)[0])


# On graphs of millions of nodes the pull goes segment by segment of senders; the environment
# lowers the segment size so that small graphs take that path, pieces of 255 entries and more
# (counted aside) included.
SEGMENTED = """
import json, sys
from quillmesh._accel import IntGraphCore
cases, calls = json.load(open(sys.argv[1]))
out = {}
for name, (edges, nodes, extra) in cases.items():
    g = IntGraphCore()
    g.add_edges_from([tuple(e) for e in edges])
    g.add_nodes_from(nodes)
    out[name] = [[[u, s.hex()] for u, s in g.pagerank(**kwargs)] for kwargs in calls]
    g.add_edge(*extra)  # drops the snapshot: the next call lays the rows out again
    out[name].append([[u, s.hex()] for u, s in g.pagerank()])
print(json.dumps(out))
"""


def _segmented_cases():
    rng = random.Random(23)
    ids = rng.sample(range(-(10**9), 10**9), 2000)
    hubs = [(ids[0], v) for v in ids[1:301]]  # 300 senders within the first rows: one piece of 300
    hubs += [(ids[1000], v) for v in rng.sample(ids, 700)]  # a piece of every size over the segments
    hubs += [(rng.choice(ids), rng.choice(ids)) for _ in range(6000)] + [(v, v) for v in ids[::97]]
    wide = POOLS["wide"]
    scattered = [(rng.choice(wide), rng.choice(wide)) for _ in range(900)] + [(wide[3], wide[3])]
    return {
        "hubs": (hubs, [-1, -2, 10**12], (ids[5], ids[1500])),
        "scattered": (scattered, [I64_MIN, I64_MAX], (wide[0], wide[299])),
        # No edges at all: every piece of every segment is empty (and the snapshot has no targets).
        "isolated": ([], ids[:40], (ids[0], ids[1])),
    }


def _layout_matches_reference(tmp_path, env):
    """The layout cases above, run in a fresh interpreter under env, against the reference."""
    cases = _segmented_cases()
    calls = [{}, {"max_iter": 3, "tol": 0.0}, {"damping": 0.5, "max_iter": 1000, "tol": 1e-13}]
    path = tmp_path / "cases.json"
    path.write_text(json.dumps([cases, calls]))
    got = json.loads(run_python(SEGMENTED, path, env=env))
    for name, (edges, nodes, extra) in cases.items():
        g = graph(edges, nodes)
        want = [bits(reference(g, **kwargs)[0]) for kwargs in calls]
        g.add_edge(*extra)
        want.append(bits(reference(g)[0]))
        assert [[tuple(p) for p in r] for r in got[name]] == want, name


@pytest.mark.parametrize("segment_rows", [1, 64, 512])
def test_segmented_pull_matches_reference(tmp_path, segment_rows):
    _layout_matches_reference(tmp_path, {"QUILLMESH_PAGERANK_SEGMENT_ROWS": str(segment_rows)})


# From a billion entries the snapshot keeps only each row's entries up to the row itself, and
# PageRank pushes the others; the environment lowers that threshold. The rows are cut into a band
# per thread (the workers and the caller): two bands (the first one's pieces from the rows after it
# start their rows), three and five (middle bands, whose pieces start inside the later rows).
@pytest.mark.parametrize("workers", [1, 2, 4])
def test_halved_snapshot_matches_reference(tmp_path, workers):
    env = {"QUILLMESH_PAGERANK_HALVED_ENTRIES": "1", "RAYON_NUM_THREADS": str(workers)}
    _layout_matches_reference(tmp_path, env)
