"""The benchmark's graphs: the reader of the real graphs' adjacency literals, the tree of parent links,
the sparse synthetic graph, their cache files, the description the report gives of them, and the
driver's choice of graphs per scale."""

from __future__ import annotations

import ast
import random
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))

import graphs  # noqa: E402
import install  # noqa: E402
import realgraphs  # noqa: E402
import run  # noqa: E402
from report import Column, Report, Result, graph_lines  # noqa: E402

# A module in the form the data packages use, with what a simple graph must not keep: a self-loop
# (node 0, node 4), an edge listed from both ends, a key repeated in one dict (node 2), an edge listed
# from one end only (4 -> 1), isolated nodes (3 and 5), lengths with exponents, and a graph=... that
# is not at the start of a line after the literal.
MODULE = b"""
from somewhere.core import Thing
graph=[{1: 1.233, 2: 8.5e-05, 0: 0.0}, {0: 1.233, 2: 1E+3}, {0: 2.5e-1, 1: 3.0, 1: 3.0}, {}, {4: 0.0, 1: 7.25}, {}]
nodes=[[1.0, 2.0], [3.0, -4.5e-3], [0, 0], [1, 1], [2, 2], [3, 3]]
thing = Thing(graph=graph, nodes=nodes)
"""


def edge_set(edges: np.ndarray) -> set[tuple[int, int]]:
    return {(min(u, v), max(u, v)) for u, v in edges.tolist()}


def test_parse_adjacency_lists_every_entry_under_its_dict():
    u, v, nodes = realgraphs.parse_adjacency(realgraphs.adjacency_literal(MODULE))
    assert nodes == 6
    assert list(zip(u.tolist(), v.tolist())) == [
        (0, 1), (0, 2), (0, 0), (1, 0), (1, 2), (2, 0), (2, 1), (2, 1), (4, 4), (4, 1)]


@pytest.mark.parametrize("seed", range(5))
def test_parse_adjacency_agrees_with_the_python_literal(seed):
    rng = random.Random(seed)
    nodes = rng.randint(1, 60)
    lengths = [0.0, 1e-05, 2.5e-300, 1.5e+20, 123456.789, 7.0, 0.1]
    adjacency = [{k: rng.choice(lengths) * rng.random() for k in rng.sample(range(nodes), rng.randint(0, 6))}
                 for _ in range(nodes)]
    text = f"import x\ngraph={adjacency!r}\nnodes=[[0.5, 1e-07]]\n".encode()
    u, v, count = realgraphs.parse_adjacency(realgraphs.adjacency_literal(text))
    listed = ast.literal_eval(f"[{realgraphs.adjacency_literal(text).decode()}]")
    assert count == nodes
    assert list(zip(u.tolist(), v.tolist())) == [(i, k) for i, d in enumerate(listed) for k in d]


@pytest.mark.parametrize("literal, complaint", [
    (b"{1.5: 2.0}", "colons"),
    (b"{-1: 2.0}", "colons"),
    (b"{'a': 2.0}", "colons"),
    (b"{0: 1.0}, {7: 1.0}", "past the last"),
    (b"1: 2.0, {0: 1.0}", "before the first dict"),
])
def test_parse_adjacency_refuses_another_form(literal, complaint):
    with pytest.raises(ValueError, match=complaint):
        realgraphs.parse_adjacency(literal)


@pytest.mark.parametrize("text", [b"graph = None\n", b"x = 1; graph=[{0: 1.0}]\n", b"graph=[{0: 1.0}\n"])
def test_adjacency_literal_needs_a_closed_list_at_a_line_start(text):
    with pytest.raises(ValueError):
        realgraphs.adjacency_literal(text)


def test_a_real_graph_is_simple_compacted_and_shuffled(monkeypatch, tmp_path):
    monkeypatch.setattr(realgraphs, "read",
                        lambda kind: realgraphs.parse_adjacency(realgraphs.adjacency_literal(MODULE)))
    monkeypatch.setattr(realgraphs, "version_tag", lambda kind: "pkg1.0")
    files = graphs.ensure("highways", None, tmp_path, log=lambda s: None)
    assert files.edges.name == f"highways-pkg1.0-v{graphs.FORMAT_VERSION}.npy"
    edges = np.load(files.edges)
    # Node 4 becomes 3 once the isolated node 3 is left out; 5 is gone.
    assert edges.shape == (4, 2) and edge_set(edges) == {(0, 1), (0, 2), (1, 2), (1, 3)}
    queries = np.load(files.queries)
    assert queries["path_pairs"].max() < 4 and (queries["path_pairs"][:, 0] != queries["path_pairs"][:, 1]).all()
    monkeypatch.setattr(realgraphs, "version_tag", lambda kind: "pkg2.0")
    assert graphs.ensure("highways", None, tmp_path, log=lambda s: None).edges != files.edges


def test_tree_edges_keep_one_edge_per_child_and_drop_the_root_loop(monkeypatch, tmp_path):
    children = np.array([10, 1, 2, 33, 7])
    parents = np.array([1, 1, 1, 2, 33])
    u, v, span = realgraphs.tree_edges(children, parents)
    assert span == 34
    monkeypatch.setattr(realgraphs, "read", lambda kind: (u, v, span))
    monkeypatch.setattr(realgraphs, "version_tag", lambda kind: "tree")
    edges = np.load(graphs.ensure("taxonomy", None, tmp_path, log=lambda s: None).edges)
    # Ids 1, 2, 7, 10, 33 in their order: 0, 1, 2, 3, 4.
    assert edge_set(edges) == {(0, 3), (0, 1), (1, 4), (2, 4)}


def test_tree_edges_refuse_a_parent_that_is_not_listed():
    with pytest.raises(ValueError, match="e.g. 5 of 3"):
        realgraphs.tree_edges(np.array([1, 3]), np.array([1, 5]))


def test_sparse_graph_has_as_many_edges_as_nodes(monkeypatch, tmp_path):
    monkeypatch.setitem(graphs.SCALES, "small", (300, 3000))
    assert graphs.size("sparse", "small") == (300, 300) and graphs.size("uniform", "small") == (300, 3000)
    sparse = graphs.ensure("sparse", "small", tmp_path, log=lambda s: None)
    uniform = graphs.ensure("uniform", "small", tmp_path, log=lambda s: None)
    assert sparse.edges != uniform.edges
    edges = np.load(sparse.edges)
    assert edges.shape == (300, 2) and len(edge_set(edges)) == 300 and (edges[:, 0] != edges[:, 1]).all()
    used = np.unique(edges)
    assert used.tolist() == list(range(used.size)) and used.size < 300  # isolated ids left out


def test_describe_gives_degree_shares():
    # A path 0-1-2-3 and a star 4-(5, 6, 7).
    desc = graphs.describe(np.array([[0, 1], [1, 2], [2, 3], [4, 5], [4, 6], [4, 7]]))
    assert desc["degree_shares"] == {"1": 5 / 8, "2": 2 / 8, "3+": 1 / 8}
    assert desc["median_degree"] == 1.0 and desc["max_degree"] == 3


def test_graph_lines_say_what_the_answers_found():
    report = Report([Column("quillmesh", "ft"), Column("igraph", "gil")], {"highways": {}}, {"op_timeout": 10}, {})
    report.add(Result("highways", "shortest_path", "igraph (gil)", "ok", check=[1, 1, 1]))
    report.add(Result("highways", "shortest_path", "quillmesh (ft)", "ok", check=[612, -1, 4, 240]))
    report.add(Result("highways", "distances", "quillmesh (ft)", "ok",
                      check={"reached": 5000, "eccentricity": 700, "layers_sha256": "x"}))
    figures = run.answered_figures(report, "highways")
    assert figures["path_hops"] == {"pairs": 4, "connected": 3, "longest": 612, "median": 240.0}
    assert "components" not in figures
    text = " ".join(graph_lines(figures | {"source": "pkg 1.0, file.py"}))
    assert text.startswith("From pkg 1.0, file.py.")
    assert "3 of the 4 path queries connected, the longest 612 hops (median 240); the BFS from one source" in text
    assert graph_lines({"title": "t", "nodes": 1}) == []  # a report written before these figures existed


@pytest.mark.parametrize("argv, kinds, full", [
    (["--scale", "real"], list(graphs.REAL_KINDS), True),
    (["--scale", "large"], ["uniform", "sparse"], True),
    (["--scale", "large", "--graphs", "uniform,rmat,sparse"], ["uniform", "rmat", "sparse"], True),
    (["--scale", "medium", "--graphs", "sparse"], ["sparse"], False),
    (["--scale", "medium", "--graphs", "uniform,highways"], ["uniform", "highways"], False),
    (["--scale", "small", "--ops", "load"], ["uniform", "rmat", "sparse"], False),
])
def test_graphs_run_per_scale(monkeypatch, argv, kinds, full):
    monkeypatch.setattr(sys, "argv", ["run.py", *argv])
    args = run.parse_args()
    assert args.kinds == kinds and args.full == full


def test_real_scale_takes_no_synthetic_graph(monkeypatch):
    monkeypatch.setattr(sys, "argv", ["run.py", "--scale", "real", "--graphs", "highways,uniform"])
    with pytest.raises(SystemExit):
        run.parse_args()


def test_requirement_lines_carry_their_own_pip_options():
    assert install.split_options("scgraph-data==2.0.0 --no-deps") == ("scgraph-data==2.0.0", ["--no-deps"])
    assert install.split_options("networkx") == ("networkx", [])
    with pytest.raises(ValueError, match="--pre"):
        install.split_options("igraph --pre")
