"""quillmesh.arrays: every array result equals its list method (or the reference model) element for
element and in nodes() order; column loads build the graph add_edges_flat builds from the interleaved
pairs, from every kind of column, and refuse bad columns before changing anything; the functions
share the class's borrow and work from many threads."""

import array
import gc
import json
import os
import sys

import numpy as np
import pytest

from quillmesh import arrays
from quillmesh._accel import IntGraphCore
from support import EXTREMES, I64_MAX, REFUSED, Model, bits, graph, model_of, run_python, run_threads, state


def small_graphs():
    loops_and_isolated = graph([(1, 2), (2, 3), (5, 5), (7, 8), (3, 1)], nodes=[-4, 9])
    extremes = graph([(a, b) for a in EXTREMES for b in EXTREMES if a <= b][::3], nodes=[12345])
    random = IntGraphCore()
    random.build_random(600, 2000, 7)
    random.add_edges_from([(-5, 10**15), (10**15, 599), (-7, -7)])
    random.add_nodes_from([-1, -2])
    hubs = graph([(0, k) for k in range(1, 400)] + [(k, k + 1) for k in range(1, 399, 3)] + [(7, 0), (0, 0)])
    hubs.add_edges_from([(-3, 10 + k) for k in range(0, 300, 2)])  # a second hub, under a negative id
    return {"empty": IntGraphCore(), "loops and isolated": loops_and_isolated, "extremes": extremes,
            "random": random, "hubs": hubs}


GRAPHS = small_graphs()


@pytest.fixture(params=list(GRAPHS))
def g(request):
    return GRAPHS[request.param]


def test_listings_equal_the_methods(g):
    assert arrays.nodes(g).dtype == np.int64 and arrays.nodes(g).tolist() == g.nodes()
    assert arrays.degrees(g).tolist() == [d for _, d in g.degree_sequence()]
    edges = arrays.edges(g)
    assert edges.dtype == np.int64 and edges.shape == (g.number_of_edges(), 2)
    assert [tuple(e) for e in edges.tolist()] == g.edges()


def test_edge_array_over_many_blocks_and_every_set_layout():
    # Tens of thousands of nodes (the listing splits them into blocks the threads place one after
    # another) under random signed ids, with degrees from 0 to past a table's threshold, sets
    # built in bulk (borrowed lists) and edge by edge (lists of their own), hubs and self-loops.
    rng = np.random.default_rng(5)
    ids = rng.integers(-2**62, 2**62, size=40_000)
    g = IntGraphCore()
    pairs = rng.integers(0, len(ids), size=(50_000, 2))
    g.add_edges_flat(ids[pairs].reshape(-1))
    for hub, degree in [(3, 40), (17_000, 3000), (39_999, 9), (25_000, 33)]:
        g.add_edges_from([(int(ids[hub]), int(ids[k])) for k in rng.integers(0, len(ids), size=degree)])
    g.add_edges_from([(int(ids[k]), int(ids[k])) for k in range(0, len(ids), 997)])
    for _ in range(2):  # the second call reuses what the first left behind
        edges = arrays.edges(g)
        assert edges.shape == (g.number_of_edges(), 2)
        assert [tuple(e) for e in edges.tolist()] == g.edges()


@pytest.mark.parametrize("params", [(), (0.5, 7, 0.0), (0.99, 1000, 1e-12)])
def test_pagerank_has_the_methods_bits(g, params):
    scores = arrays.pagerank(g, *params)
    assert scores.dtype == np.float64
    assert bits(zip(arrays.nodes(g).tolist(), scores.tolist())) == bits(g.pagerank(*params))


def test_component_labels_number_components_in_size_order(g):
    labels = arrays.component_labels(g).tolist()
    ids = g.nodes()
    sizes = g.connected_component_sizes()
    assert np.bincount(labels, minlength=len(sizes)).tolist() == sizes
    # Same label exactly when the model puts the two nodes in one component.
    model = model_of(g)
    for u, label in zip(ids, labels):
        reach = set(model.distances(u))
        assert {v for v, other in zip(ids, labels) if other == label} == reach
    # Labels appear in order of first appearance: 0, then 1, ...
    firsts = list(dict.fromkeys(labels))
    assert firsts == list(range(len(sizes)))


def test_distances_equal_the_model(g):
    model = model_of(g)
    ids = g.nodes()
    for source in ids[:: max(1, len(ids) // 15)] + [I64_MAX - 3]:
        expected = model.distances(source)
        assert arrays.distances(g, source).tolist() == [expected.get(v, -1) for v in ids]


def test_csr_rows_are_sorted_positions_of_the_neighbours(g):
    indptr, indices = arrays.csr(g)
    assert indptr.dtype == indices.dtype == np.int32
    ids = g.nodes()
    position = {u: i for i, u in enumerate(ids)}
    assert len(indptr) == len(ids) + 1 and indptr[0] == 0 and indptr[-1] == len(indices)
    for i, u in enumerate(ids):
        assert indices[indptr[i]:indptr[i + 1]].tolist() == sorted(position[v] for v in g.neighbors(u))


def test_results_own_their_memory_and_outlive_the_graph():
    g = IntGraphCore()
    g.build_random(1000, 5000, 3)
    expected = g.edges()
    edges, degrees = arrays.edges(g), arrays.degrees(g)
    del g
    gc.collect()
    assert [tuple(e) for e in edges.tolist()] == expected
    degrees[0] = -1  # results are ordinary writable arrays
    assert degrees[0] == -1
    view = memoryview(edges.base)
    assert (view.format, view.shape, view.readonly) == ("l", (len(expected), 2), False)


def test_to_scipy_shares_the_csr_arrays():
    scipy = pytest.importorskip("scipy")
    g = GRAPHS["random"]
    matrix = arrays.to_scipy(g)
    assert isinstance(matrix, scipy.sparse.csr_array) and matrix.shape == (len(g), len(g))
    for a in (matrix.indptr, matrix.indices):
        while isinstance(a.base, np.ndarray):
            a = a.base
        assert isinstance(a.base, memoryview)  # a view of our result, not a copy scipy made
    ids = g.nodes()
    dense = matrix.toarray()
    assert (dense == dense.T).all() and dense.sum() == sum(d for _, d in g.degree_sequence())
    assert all(dense[ids.index(u), ids.index(v)] == 1 for u, v in g.edges())


def test_networkx_round_trip_keeps_nodes_in_order():
    nx = pytest.importorskip("networkx")
    g = GRAPHS["loops and isolated"]
    G = arrays.to_networkx(g)
    assert list(G.nodes) == g.nodes() and {tuple(sorted(e)) for e in G.edges} == set(g.edges())
    back = arrays.from_networkx(G)
    assert back.nodes() == g.nodes() and set(back.edges()) == set(g.edges())
    assert arrays.from_networkx(nx.DiGraph([(1, 2), (2, 1)])).edges() == [(1, 2)]
    with pytest.raises(TypeError, match="integer nodes, got 'a'"):
        arrays.from_networkx(nx.Graph([(1, "a")]))
    with pytest.raises(TypeError, match="integer nodes, got True"):
        arrays.from_networkx(nx.Graph([(True, 3)]))


# ---------------------------------------------------------------------------------------------
# Column loads

RNG = np.random.default_rng(5)
PAIRS = np.concatenate([RNG.integers(-50, 400, size=(3000, 2)), [[I64_MAX, -(2**63)], [9, 9]]])


def loaded_flat(pairs, start=()):
    g = graph(start)
    g.add_edges_flat(np.ascontiguousarray(pairs, dtype=np.int64).reshape(-1))
    return state(g)


def loaded_columns(src, dst, start=()):
    g = graph(start)
    arrays.add_edges(g, src, dst)
    return state(g)


def pyarrow_columns(pairs):
    pa = pytest.importorskip("pyarrow")
    return pa.array(pairs[:, 0]), pa.chunked_array([pairs[:7, 1], pairs[7:20, 1], [], pairs[20:, 1]])


def pandas_columns(pairs):
    pd = pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    return pd.Series(pairs[:, 0]), pd.Series(pairs[:, 1], dtype="int64[pyarrow]")


def polars_columns(pairs):
    pl = pytest.importorskip("polars")
    return pl.Series(pairs[:, 0]), pl.Series(pairs[:, 1])


COLUMNS = {
    "strided slices of one array": lambda p: (p[:, 0], p[:, 1]),
    "contiguous int64": lambda p: (p[:, 0].copy(), p[:, 1].copy()),
    "reversed views": lambda p: (p[::-1, 0][::-1], p[::-1, 1][::-1]),
    "lists": lambda p: (p[:, 0].tolist(), p[:, 1].tolist()),
    "array.array": lambda p: (array.array("q", p[:, 0].tolist()), array.array("q", p[:, 1].tolist())),
    "pyarrow array and chunked array": pyarrow_columns,
    "pandas, numpy and Arrow backed": pandas_columns,
    "polars": polars_columns,
}


@pytest.mark.parametrize("kind", COLUMNS)
# A batch that is small next to the graph it goes into takes another path: edge by edge.
@pytest.mark.parametrize("start", [(), [(1, 2)] + [(k, k + 1) for k in range(1000, 121000, 2)]],
                         ids=["empty graph", "large graph"])
def test_columns_load_what_the_interleaved_flat_load_loads(kind, start):
    src, dst = COLUMNS[kind](PAIRS)
    assert loaded_columns(src, dst, start) == loaded_flat(PAIRS, start)


@pytest.mark.parametrize("dtype", [np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.uint64])
def test_narrow_and_unsigned_columns_widen(dtype):
    info = np.iinfo(dtype)
    top = min(int(info.max), I64_MAX)  # the largest value a node id can take
    values = np.array([info.min, top, 0, 1, top], dtype=dtype)
    pairs = np.stack([values, values[::-1]], axis=1).astype(np.int64)
    assert loaded_columns(values, values[::-1]) == loaded_flat(pairs)


def test_chunked_column_loads_equal_whole_ones():
    script = """
import json, sys
import numpy as np
from quillmesh import arrays
from quillmesh._accel import IntGraphCore
pa = None
try:
    import pyarrow as pa
except ImportError:
    pass
rng = np.random.default_rng(8)
ends = rng.integers(0, 5000, size=(20000, 2))
out = {}
for name in ("numpy", "arrow"):
    g = IntGraphCore(); g.add_edges_from([(7, 8)])
    if name == "numpy":
        arrays.add_edges(g, ends[:, 0], ends[:, 1])
    elif pa is not None:
        arrays.add_edges(g, pa.chunked_array([ends[:333, 0], ends[333:, 0]]), pa.array(ends[:, 1]))
    else:
        continue
    out[name] = [g.nodes(), g.edges_flat()]
g = IntGraphCore(); g.add_edges_from([(7, 8)]); g.add_edges_flat(ends.reshape(-1))
out["flat"] = [g.nodes(), g.edges_flat()]
print(json.dumps(out))
"""
    chunked = json.loads(run_python(script, env={"QUILLMESH_LOAD_CHUNK_EDGES": "300"}))
    assert chunked["numpy"] == chunked["flat"]
    assert chunked.get("arrow", chunked["flat"]) == chunked["flat"]


BAD = {
    # (src, dst, exception, message): the message names the column and the first bad position in the
    # order the interleaved ends meet them
    "unequal lengths": (np.arange(5), np.arange(6), ValueError, "src and dst differ in length: 5 and 6"),
    "float column": (np.arange(3), np.ones(3), TypeError, "argument 'dst': .*format 'd'"),
    "bool column": (np.ones(3, dtype=bool), np.arange(3), TypeError, "argument 'src': .*format '\\?'"),
    "big-endian column": (np.arange(3, dtype=">i8"), np.arange(3), TypeError, "argument 'src'"),
    "two-dimensional": (np.zeros((2, 2), dtype=np.int64), np.arange(2), TypeError, "argument 'src': .*2 dimensions"),
    "strings": (["1", "2"], [1, 2], TypeError, "argument 'src'"),
    "not a column": (5, [1], TypeError, "argument 'src'"),
    "too large in src, earlier than in dst": (np.array([0, 2**63, 0], dtype=np.uint64),
                                              np.array([0, 0, 2**64 - 1], dtype=np.uint64),
                                              OverflowError, r"src\[1\] = 9223372036854775808 does not fit"),
    "too large in dst, before src's": (np.array([0, 0, 2**63], dtype=np.uint64),
                                       np.array([0, 2**63, 0], dtype=np.uint64),
                                       OverflowError, r"dst\[1\] = 9223372036854775808"),
}


@pytest.mark.parametrize("case", BAD)
def test_bad_columns_change_nothing(case):
    src, dst, error, message = BAD[case]
    g = graph([(1, 2), (3, 3)])
    before = state(g)
    with pytest.raises(error, match=message):
        arrays.add_edges(g, src, dst)
    assert state(g) == before


def test_arrow_nulls_are_refused_at_their_first_position():
    pa = pytest.importorskip("pyarrow")
    g = graph([(1, 2)])
    before = state(g)
    with pytest.raises(ValueError, match=r"dst\[2\] is null"):
        arrays.add_edges(g, pa.array([1, 2, 3, None]), pa.chunked_array([[1, 2], [None, 4]]))
    with pytest.raises(ValueError, match=r"src\[0\] is null"):  # a column of the null type
        arrays.add_edges(g, pa.array([None, None]).slice(1), pa.array([5, 6]).slice(1))
    with pytest.raises(TypeError, match="argument 'src': .*format 'g'"):
        arrays.add_edges(g, pa.array([1.5]), pa.array([1]))
    with pytest.raises(TypeError, match="dictionary-encoded"):
        arrays.add_edges(g, pa.array([1, 2]).dictionary_encode(), pa.array([1, 2]))
    assert state(g) == before
    # An offset into a column with nulls elsewhere reads only the values it covers.
    arrays.add_edges(g, pa.array([None, 4, 5]).slice(1), pa.array([6, 7, None]).slice(0, 2))
    assert g.edges() == [(1, 2), (4, 6), (5, 7)]


class CallsBack:
    """A column whose Arrow export first runs `action`: code that runs while the load holds the borrow."""

    def __init__(self, values, action):
        self.values, self.action = values, action

    def __arrow_c_array__(self, requested_schema=None):
        self.action()
        import pyarrow as pa
        return pa.array(self.values).__arrow_c_array__(requested_schema)


def test_a_column_that_calls_back_meets_the_loads_borrow():
    pytest.importorskip("pyarrow")
    g = graph([(1, 2)])
    before = state(g)
    seen = []

    def read_graph():
        with pytest.raises(RuntimeError, match=REFUSED["shared"]):
            arrays.nodes(g)
        for exclusive in (lambda: arrays.add_edges(g, [1], [2]), lambda: arrays.pagerank(g)):
            with pytest.raises(RuntimeError, match=REFUSED["exclusive"]):
                exclusive()
        seen.append(True)

    arrays.add_edges(g, CallsBack([5], read_graph), [6])
    assert seen and g.edges() == [(1, 2), (5, 6)]

    def fail():
        raise KeyError("from the column")

    with pytest.raises(KeyError, match="from the column"):
        arrays.add_edges(g, [7], CallsBack([8], fail))
    assert g.edges() == [(1, 2), (5, 6)] and state(graph([(1, 2)])) == before


def test_arguments_are_bound_and_checked_like_methods():
    g = GRAPHS["random"]
    with pytest.raises(TypeError, match="argument 'g': 'list' object is not an instance of 'IntGraphCore'"):
        arrays.nodes([1, 2])
    with pytest.raises(TypeError, match=r"distances\(\) missing 1 required positional argument: 'source'"):
        arrays.distances(g)
    with pytest.raises(OverflowError):
        arrays.distances(g, 2**63)
    assert arrays.pagerank(g, tol=0.5).tolist() == arrays.pagerank(g, 0.85, 100, 0.5).tolist()


def test_many_threads_read_one_graph_while_one_loads_another():
    g = IntGraphCore()
    g.build_random(20_000, 80_000, 4)
    expected = (arrays.edges(g).tolist(), arrays.component_labels(g).tolist(), arrays.distances(g, 0).tolist())
    ends = np.random.default_rng(6).integers(0, 50_000, size=(200_000, 2))
    other = IntGraphCore()

    def work(i):
        if i == 0:
            arrays.add_edges(other, ends[:, 0], ends[:, 1])
            return
        for _ in range(3):
            got = (arrays.edges(g).tolist(), arrays.component_labels(g).tolist(), arrays.distances(g, 0).tolist())
            assert got == expected
            # The class's own methods share the same graph meanwhile.
            assert [list(e) for e in g.edges()] == expected[0] and g.shortest_path_length(0, 0) == 0

    run_threads(work)
    model = Model.of(map(tuple, ends.tolist()))
    assert other.number_of_edges() == model.number_of_edges() and set(other.edges()) == model.edges()


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_results_and_columns_are_released():
    """Results free their memory with the last array that views them; columns keep no reference
    (buffer views and Arrow arrays are released when the call ends, whether it succeeds or not)."""
    g = IntGraphCore()
    g.build_random(50_000, 200_000, 9)
    ends = arrays.edges(g)  # 3.2 MB: a leak per call would show in the resident size at once
    src, dst = ends[:, 0].copy(), ends[:, 1].copy()
    bad = np.array([1.5] * len(src))
    columns = [(src, dst), (ends[:, 0], ends[:, 1])]
    try:
        import pyarrow as pa

        columns.append((pa.array(src), pa.chunked_array([dst[:1000], dst[1000:]])))
    except ImportError:
        pass

    def round_of_calls():
        for f in (arrays.nodes, arrays.degrees, arrays.edges, arrays.component_labels, arrays.csr):
            f(g)
        arrays.pagerank(g, max_iter=2)
        arrays.distances(g, 0)
        for a, b in columns:
            arrays.add_edges(IntGraphCore(), a, b)
            with pytest.raises(TypeError):
                arrays.add_edges(IntGraphCore(), a, bad)

    round_of_calls()
    counts = [sys.getrefcount(x) for pair in columns for x in pair]
    gc.collect()
    before = resident_bytes()
    for _ in range(30):
        round_of_calls()
    gc.collect()
    assert [sys.getrefcount(x) for pair in columns for x in pair] == counts
    if "asan" not in os.environ.get("LD_PRELOAD", ""):  # ASan keeps freed memory aside
        assert resident_bytes() - before < 64 << 20
