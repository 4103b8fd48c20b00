"""The benchmark's own helpers: the text edge list it writes and the report's arrays-against-own-calls rows."""

from __future__ import annotations

import io
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))

import graphs  # noqa: E402
from adapters import ADAPTERS  # noqa: E402
from catalogue import ALIASES, BY_NAME, OPS, select  # noqa: E402
from report import Column, Report, Result  # noqa: E402


def lines_of(edges) -> bytes:
    return "".join(f"{u} {v}\n" for u, v in edges).encode()


@pytest.mark.parametrize(
    "edges",
    [
        [[0, 0]],
        [[0, 9], [10, 99], [100, 1_000_000], [9_999_999, 1]],
        [[2**40, 7], [123456789012, 10]],
    ],
)
def test_format_lines_matches_python_formatting(edges):
    assert graphs.format_lines(np.array(edges, dtype=np.int64)) == lines_of(edges)


def test_format_lines_of_nothing():
    assert graphs.format_lines(np.empty((0, 2), dtype=np.int64)) == b""


def test_write_text_spans_blocks(monkeypatch):
    monkeypatch.setattr(graphs, "TEXT_BLOCK_EDGES", 3)
    edges = np.random.default_rng(5).integers(0, 10**6, size=(10, 2))
    out = io.BytesIO()
    graphs.write_text(edges, out)
    assert out.getvalue() == lines_of(edges.tolist())


def test_ensure_text_writes_once(tmp_path):
    edges = np.array([[1, 2], [3, 40]], dtype=np.int64)
    files = graphs.GraphFiles("uniform", tmp_path / "e.npy", tmp_path / "q.npz", tmp_path / "e.txt")
    np.save(files.edges, edges)
    assert graphs.ensure_text(files, log=lambda s: None).read_bytes() == b"1 2\n3 40\n"
    files.text.write_bytes(b"kept\n")
    assert graphs.ensure_text(files, log=lambda s: None).read_bytes() == b"kept\n"


def test_every_versus_names_an_op_of_the_same_kind():
    for op in BY_NAME.values():
        if op.versus:
            assert BY_NAME[op.versus].kind == op.kind, op.name


def test_same_call_pairs_are_list_forms_the_warm_count_or_an_unrefined_library():
    # Besides list forms, a library may answer the warm count with its cold one (no cache) and the
    # refined communities variant with its only community call.
    other_twins = {("triangles_warm", "triangles_cold"), ("communities_refined", "communities")}
    for adapter in ADAPTERS.values():
        for op, twin in adapter.same_call().items():
            assert op in BY_NAME and twin in BY_NAME
            assert BY_NAME[op].versus == twin or (op, twin) in other_twins
    assert ADAPTERS["quillmesh"].same_call() == {"communities_refined": "communities"}


def make_report(results) -> Report:
    columns = [Column("quillmesh", "ft"), Column("igraph", "gil")]
    report = Report(columns, {"uniform": {}}, {"op_timeout": 10}, {})
    for op, column, seconds, peak in results:
        report.add(Result("uniform", op, column, "ok", seconds=seconds, peak_bytes=peak))
    return report


def test_versus_rows_pair_quillmesh_ops_with_their_own_calls():
    report = make_report([
        ("edges", "quillmesh (ft)", 2.0, 800_000_000),
        ("edges_array", "quillmesh (ft)", 0.1, 160_000_000),
        ("edges_array", "igraph (gil)", 1.0, 900_000_000),
        ("load_numpy", "quillmesh (ft)", 0.5, 100_000_000),
        ("load_arrow", "quillmesh (ft)", 0.55, 999_999),
        ("component_labels", "quillmesh (ft)", 0.2, 10),  # its own call did not run
    ])
    rows = {r["op"]: r for r in report.versus("uniform")}
    assert set(rows) == {"edges_array", "load_arrow"}
    assert rows["edges_array"]["time_ratio"] == pytest.approx(20.0)
    assert rows["edges_array"]["peak_ratio"] == pytest.approx(5.0)
    assert rows["load_arrow"]["time_ratio"] == pytest.approx(0.5 / 0.55)
    assert rows["load_arrow"]["peak_ratio"] is None  # a peak too small to divide by
    assert all(r["column"] == "quillmesh (ft)" for r in rows.values())
    assert "| quillmesh (ft) | edges as array | 100 ms | enumerate edges | 2 s | ×20.00 |" in "\n".join(
        report._versus_table("uniform"))


def test_versus_rows_skip_a_failed_own_call():
    report = make_report([("pagerank_array", "quillmesh (ft)", 0.5, 10)])
    report.add(Result("uniform", "pagerank", "quillmesh (ft)", "oom"))
    assert report.versus("uniform") == []
    assert report._versus_table("uniform") == []


def test_default_run_leaves_the_analyses_to_their_group():
    analyses = set(ALIASES["algorithms"])
    default = select(None)
    assert default and not analyses & set(default)
    assert select("all") == [op.name for op in OPS]
    assert set(select("algorithms")) == analyses
    assert select("pagerank,algorithms")[0] == "pagerank"
