"""Graphs in other processes: the recipes of examples/ (a process pool that loads a saved graph once per
worker, a Dask cluster the graph is scattered to) give the distances computed here, and a protocol-5
pickle travels through shared memory to another interpreter intact."""

import importlib
import json
import pickle
import re
import subprocess
import sys
from multiprocessing.shared_memory import SharedMemory
from pathlib import Path

import numpy as np
import pytest

import quillmesh.io
from quillmesh import IntGraphCore, arrays
from support import run_python

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"
# The pool's and the cluster's worker processes import the example modules by name (that is how the
# task functions are pickled); they are started with this process's sys.path.
if str(EXAMPLES) not in sys.path:
    sys.path.insert(0, str(EXAMPLES))

ABSENT = 123_456_789_012  # not a node: every distance from it is -1


def small_graph():
    """A few thousand nodes: a sparse random part with a giant component and small ones, a hub with a
    hash-table neighbour set, a triangle of negative ids, an edge between extreme ids, a lone node."""
    g = IntGraphCore()
    g.build_random(3000, 3600, seed=11)
    g.add_edges_from([(10_000, k) for k in range(0, 3000, 40)])
    g.add_edges_from([(-5, -6), (-6, -7), (-7, -5), (-7, -7), (2**62, -(2**63))])
    g.add_node(-1)
    return g


SOURCES = [0, 1, 17, 2999, 10_000, -5, 2**62, -1, ABSENT]


def expected(g, sources):
    return {s: arrays.distances(g, s) for s in sources}


def assert_same_distances(got, want):
    assert list(got) == list(want)  # one entry per source, in the order asked
    for s, dist in want.items():
        assert got[s].dtype == np.int64 and np.array_equal(got[s], dist), s


def test_the_sources_reach_different_parts():
    # Guards the comparisons below against a graph where every distance is the same.
    want = expected(small_graph(), SOURCES)
    assert len({int((d >= 0).sum()) for d in want.values()}) >= 4
    assert (want[ABSENT] == -1).all() and int(want[0].max()) >= 4


def test_process_pool_gives_the_distances_of_this_process(tmp_path):
    process_pool = importlib.import_module("process_pool")
    g = small_graph()
    path = tmp_path / "graph.qmg"
    quillmesh.io.save(g, path)
    assert_same_distances(process_pool.distances_from(path, SOURCES, workers=2), expected(g, SOURCES))


def test_process_pool_demo_runs_as_a_script():
    # As a script its functions live in __main__, which the spawned workers must import again.
    proc = subprocess.run([sys.executable, str(EXAMPLES / "process_pool.py"), "3000", "6000", "3", "2"],
                          capture_output=True, text=True, timeout=300, check=False)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert len(re.findall(r"^source \d+: reaches \d+ nodes, eccentricity \d+$", proc.stdout, re.M)) == 3


@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("distributed")
    dask_distances = importlib.import_module("dask_distances")
    with dask_distances.local_cluster(2) as cluster, distributed.Client(cluster) as client:
        yield client


def test_dask_gives_the_distances_of_this_process(dask_client):
    dask_distances = importlib.import_module("dask_distances")
    g = small_graph()
    got = dask_distances.dask_distances(g, SOURCES, client=dask_client)
    assert_same_distances(got, expected(g, SOURCES))
    assert len(dask_client.scheduler_info()["workers"]) == 2


def test_dask_scatters_a_graph_changed_since_an_earlier_scatter(dask_client):
    # A second scatter must carry the graph as it is now: not a copy kept under an earlier key, nor
    # pickled pieces kept from the first time.
    dask_distances = importlib.import_module("dask_distances")
    g = small_graph()
    dask_distances.dask_distances(g, SOURCES[:2], client=dask_client)
    g.add_edge(0, -5)
    got = dask_distances.dask_distances(g, SOURCES, client=dask_client)
    assert_same_distances(got, expected(g, SOURCES))


REBUILD = """
import json, pickle, sys
from multiprocessing.shared_memory import SharedMemory

name, layout = sys.argv[1], json.loads(sys.argv[2])
block = SharedMemory(name=name, track=False)  # the parent owns and unlinks it
views = [block.buf[start:start + size] for start, size in layout]
g = pickle.loads(views[0], buffers=views[1:])
print(json.dumps([g.nodes(), g.edges(), [g.neighbors(u) for u in g.nodes()]]))
del g
for view in views:
    view.release()
block.close()
"""


def test_protocol_5_pickle_rebuilt_from_shared_memory_in_another_process():
    g = small_graph()
    buffers = []
    head = pickle.dumps(g, protocol=5, buffer_callback=buffers.append)
    raws = [b.raw() for b in buffers]
    # The big sections go out of band: what stays in the pickle is smaller than they are.
    assert raws and len(head) < sum(r.nbytes for r in raws)
    pieces = [memoryview(head), *raws]
    block = SharedMemory(create=True, size=sum(p.nbytes for p in pieces))
    try:
        layout, at = [], 0
        for piece in pieces:
            block.buf[at:at + piece.nbytes] = piece
            layout.append((at, piece.nbytes))
            at += piece.nbytes
        out = run_python(REBUILD, block.name, json.dumps(layout))
    finally:
        block.close()
        block.unlink()
    nodes, edges, neighbours = json.loads(out)
    assert nodes == g.nodes()
    assert [tuple(e) for e in edges] == g.edges()
    assert neighbours == [g.neighbors(u) for u in g.nodes()]


GUIDE_PAGE = ROOT / "docs" / "guide" / "processes.md"
# A python block of the guide that quotes a script of examples/ says which, in the marker above it.
EXCERPT = re.compile(r"^<!-- not run: an excerpt of examples/([\w.-]+\.py)\b[^>]*-->\n```python\n(.*?)^```", re.S | re.M)


def guide_excerpts(page=GUIDE_PAGE):
    """(example script, code) for every python block of page marked as an excerpt of examples/."""
    return EXCERPT.findall(page.read_text(encoding="utf-8"))


def is_excerpt(block, source):
    """Every non-blank line of block is a line of source, in the same order, indentation included."""
    lines = iter(source.splitlines())
    return all(any(line == have for have in lines) for line in block.splitlines() if line.strip())


def test_guide_recipes_are_excerpts_of_the_tested_examples():
    excerpts = guide_excerpts()
    # Every python block of the page that does not run is one of these excerpts.
    assert len(excerpts) == GUIDE_PAGE.read_text(encoding="utf-8").count("<!-- not run:")
    assert [example for example, _ in excerpts] == ["process_pool.py", "dask_distances.py"]
    for example, block in excerpts:
        assert len([line for line in block.splitlines() if line.strip()]) >= 10
        assert is_excerpt(block, (EXAMPLES / example).read_text(encoding="utf-8")), example


def test_guide_excerpts_pairs_each_block_with_the_script_its_marker_names(tmp_path):
    page = tmp_path / "page.md"
    page.write_text("<!-- not run: an excerpt of examples/a.py, which a test runs -->\n```python\nx = 1\n```\n\n"
                    "```python\ny = 2\n```\n\n<!-- not run: a sketch -->\n```python\nw = 0\n```\n\n"
                    "<!-- not run: an excerpt of examples/b_c.py -->\n```python\nz = 3\n```\n", encoding="utf-8")
    assert guide_excerpts(page) == [("a.py", "x = 1\n"), ("b_c.py", "z = 3\n")]


def test_excerpt_check_notices_a_changed_line():
    source = "def f(x):\n    y = x + 1\n    return y\n"
    assert is_excerpt("def f(x):\n    return y\n", source)
    assert not is_excerpt("def f(x):\n    return x\n", source)
    assert not is_excerpt("    return y\ndef f(x):\n", source)  # order counts
