"""bench/persist.py's own helpers: argument defaults, the figures' arithmetic, the report's cells and
tables, and its workers on a graph of a few hundred edges."""

from __future__ import annotations

import importlib.util
import json
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))

import persist  # noqa: E402

HAS_IO = importlib.util.find_spec("quillmesh") is not None and importlib.util.find_spec("quillmesh.io") is not None


def ok(seconds=None, **fields) -> dict:
    return {"status": "ok", "seconds": seconds, **fields}


def qm_steps(**over) -> dict:
    steps = {
        "build": ok(2.0, resident_bytes=120_000_000),
        "save": ok(0.2, file_bytes=90_000_000),
        "load": ok(0.4, resident_bytes=100_000_000),
        "pickle": ok(0.9, roundtrip_seconds=0.9, dumps_seconds=0.3, loads_seconds=0.6,
                     inband_bytes=300, buffers=4, buffer_bytes=90_000_000),
        "copy": ok(0.1),
        "load_peak": {"status": "ok", "peak_bytes": 130_000_000, "load_hwm": [150_000_000, 151_000_000],
                      "baseline_hwm": [20_000_000, 21_000_000]},
    }
    steps.update(over)
    return steps


PEERS = {
    "networkit (gil)": {"save": ok(0.1, file_bytes=60_000_000), "load": ok(0.3)},
    "igraph (gil)": {"save": ok(8.0, file_bytes=120_000_000), "load": ok(12.0)},
    "rustworkx (gil)": {"save": {"status": "timeout", "message": "stopped"}},
}


class TestArguments:
    def test_defaults_follow_the_scale(self):
        args = persist.parse_args(["--scale", "small"])
        assert args.json == persist.BENCH / "results" / "persist-small.json"
        assert args.md == persist.BENCH / "results" / "persist-small.md"
        assert args.workdir == persist.BENCH / ".data" / "persist-small"
        assert args.timeout == persist.WORKER_TIMEOUT["small"]
        assert args.repeat == persist.DEFAULT_REPEAT
        assert args.lib_names == list(persist.PEERS)
        assert args.memory_limit > 0

    def test_explicit_values_win(self, tmp_path):
        args = persist.parse_args(["--json", str(tmp_path / "a.json"), "--md", str(tmp_path / "a.md"),
                                   "--libs", "igraph, networkit", "--timeout", "5", "--memory-limit", "0",
                                   "--data-dir", str(tmp_path)])
        assert args.scale == "medium"
        assert (args.json, args.md) == (tmp_path / "a.json", tmp_path / "a.md")
        assert args.lib_names == ["igraph", "networkit"]
        assert (args.timeout, args.memory_limit) == (5.0, 0)
        assert args.workdir == tmp_path / "persist-medium"

    @pytest.mark.parametrize("argv", [["--libs", "quillmesh2"], ["--repeat", "0"], ["--scale", "huge"],
                                      ["--worker", "igraph"]])
    def test_bad_arguments_are_refused(self, argv, capsys):
        with pytest.raises(SystemExit) as exc:
            persist.parse_args(argv)
        assert exc.value.code == 2

    def test_worker_arguments_take_the_limit_in_bytes(self, tmp_path):
        args = persist.parse_args(["--worker", "networkx", "--edges", str(tmp_path / "e.npy"), "--dir", str(tmp_path),
                                   "--memory-limit", "1234567"])
        assert (args.worker, args.memory_limit, args.dir) == ("networkx", 1234567, tmp_path)


class TestPlan:
    def test_each_peer_runs_where_it_imports_first(self):
        where = {("ft", "igraph"), ("gil", "igraph"), ("gil", "networkit")}
        pythons = {"ft": "ft", "gil": "gil"}
        columns = persist.plan_columns(["networkit", "igraph", "rustworkx", "networkx"], "medium", pythons,
                                       importable=lambda py, lib: (py, lib) in where)
        got = {c["lib"]: (c["state"], c["interp"]) for c in columns}
        assert got == {"quillmesh": ("run", "ft"), "igraph": ("run", "ft"), "networkit": ("run", "gil"),
                       "rustworkx": ("not installable", None), "networkx": ("skipped", None)}
        assert [c["lib"] for c in columns] == ["quillmesh", "networkit", "igraph", "rustworkx", "networkx"]

    def test_no_gil_interpreter_is_not_tried(self):
        tried = []
        columns = persist.plan_columns(["networkx"], "small", {"ft": "py", "gil": ""},
                                       importable=lambda py, lib: tried.append(py) or False)
        assert tried == ["py"]
        assert columns[1]["state"] == "not installable" and "ft (py)" in columns[1]["reason"]


class TestFigures:
    def test_ratios_and_targets(self):
        fig = persist.figures(qm_steps(), PEERS)
        assert fig["load_vs_build"]["value"] == pytest.approx(5.0)
        assert fig["load_vs_build"]["met"] is True
        assert fig["load_vs_fastest_peer"] == {"value": pytest.approx(0.75), "peer": "networkit (gil)", "ahead": False}
        assert fig["save_vs_peers"] == {"networkit (gil)": {"value": pytest.approx(0.5), "ahead": False},
                                        "igraph (gil)": {"value": pytest.approx(40.0), "ahead": True}}
        assert fig["file_vs_memory"]["value"] == pytest.approx(0.9)
        assert fig["smallest_peer_file"]["value"] == pytest.approx(60 / 90)
        assert fig["smallest_peer_file"]["peer"] == "networkit (gil)"
        assert fig["pickle_vs_file"]["value"] == pytest.approx(0.9 / 0.6)
        assert fig["pickle_vs_file"]["met"] is True
        assert fig["load_peak_vs_graph"]["value"] == pytest.approx(1.3)

    def test_targets_missed(self):
        steps = qm_steps(build=ok(1.0), pickle=ok(1.0, roundtrip_seconds=1.0))
        fig = persist.figures(steps, {})
        assert fig["load_vs_build"]["value"] == pytest.approx(2.5) and fig["load_vs_build"]["met"] is False
        assert fig["pickle_vs_file"]["value"] == pytest.approx(1 / 0.6) and fig["pickle_vs_file"]["met"] is False

    def test_failed_steps_give_no_figure(self):
        steps = qm_steps(load={"status": "oom", "message": "MemoryError"})
        fig = persist.figures(steps, {"igraph (gil)": {"load": {"status": "error"}}})
        for name in ("load_vs_build", "load_vs_fastest_peer", "file_vs_memory", "pickle_vs_file", "load_peak_vs_graph"):
            assert fig[name]["value"] is None, name
        assert fig["load_vs_build"]["met"] is None
        assert fig["load_vs_fastest_peer"]["peer"] is None
        assert fig["save_vs_peers"] == {}

    def test_peak_is_lowest_load_less_lowest_baseline(self):
        assert persist.peak_figure([300, 250, 260], [40, 50]) == 210
        assert persist.peak_figure([], [40]) is None


class TestCells:
    @pytest.mark.parametrize("ratio, text", [(2.345, "×2.3"), (1.0, "×1.0"), (0.876, "**×0.88**"), (None, "")])
    def test_ratio_is_bold_where_the_peer_is_ahead(self, ratio, text):
        assert persist.format_ratio(ratio) == text

    def test_time_and_size_cells(self):
        steps = {"save": ok(3.0, file_bytes=125_000_000), "load": {"status": "timeout"}}
        assert persist.time_cell(steps, "save", 1.5) == "3 s ×2.0"
        assert persist.time_cell(steps, "save", 6.0) == "3 s **×0.50**"
        assert persist.time_cell(steps, "save", None) == "3 s"
        assert persist.time_cell(steps, "load", 1.0) == "timed out"
        assert persist.time_cell(steps, "copy", 1.0) == "timed out (load)"
        assert persist.time_cell({"save": ok(1.0)}, "load", 1.0) == "—"
        assert persist.time_cell({"setup": {"status": "oom"}}, "save", 1.0) == "out of memory (setup)"
        assert persist.size_cell(125_000_000, 10_000_000, 100_000_000) == "125 MB, 12.50 B/edge ×1.2"
        assert persist.size_cell(50_000_000, 10_000_000, 100_000_000) == "50 MB, 5.00 B/edge **×0.50**"
        assert persist.size_cell(None, 10) == "–"

    def test_quotient_and_best(self):
        assert persist.quotient(3.0, 2.0) == 1.5
        assert persist.quotient(None, 2.0) is None and persist.quotient(3.0, 0) is None
        assert persist.best([0.3, 0.1, 0.2]) == 0.1 and persist.best([]) is None


def make_report(qm=None, peers=PEERS) -> dict:
    columns = [{"lib": "quillmesh", "interp": "ft", "state": "run", "reason": "", "steps": qm or qm_steps(),
                "versions": {"quillmesh": "0.1.0"}, "interpreter": {"version": "3.13.5", "build": "free-threaded",
                                                                      "executable": "py"}}]
    for name, steps in peers.items():
        lib, interp = name.split(" ")
        columns.append({"lib": lib, "interp": interp.strip("()"), "state": "run", "reason": "", "steps": steps,
                        "versions": {lib: "1"}, "interpreter": {"version": "3.13.0", "build": "standard",
                                                                "executable": "gil"}})
    columns.append({"lib": "networkx", "interp": None, "state": "skipped", "reason": "pure Python"})
    report = {"settings": {"scale": "medium", "repeat": 3, "workdir": "bench/.data/persist-medium"},
              "machine": {"date": "today", "cpu": "cpu", "cores": 2, "memory_gib": 24, "load_before": "1.0/1.0/1.0",
                          "load_after": "2.0/1.5/1.0", "commit": "abc"},
              "graph": {"nodes": 1_000_000, "edges": 10_000_000, "file": "e.npy"},
              "columns": columns, "checked": 7, "failures": [], "errors": []}
    report["figures"] = persist.figures(columns[0]["steps"], {persist.column_name(c): c["steps"] for c in columns[1:-1]})
    return report


class TestMarkdown:
    @pytest.mark.parametrize("line", [
        # the main table
        "| operation | quillmesh (ft) | networkit (gil) | igraph (gil) | rustworkx (gil) | networkx |",
        "| runs on | Python 3.13.5t | Python 3.13.0 | Python 3.13.0 | Python 3.13.0 | skipped: pure Python |",
        "| save to a file | 200 ms | 100 ms **×0.50** | 8 s ×40.0 | timed out | — |",
        "| load from the file (page cache warm) | 400 ms | 300 ms **×0.75** | 12 s ×30.0 | timed out (save) | — |",
        "| file size | 90 MB, 9.00 B/edge | 60 MB, 6.00 B/edge **×0.67** | 120 MB, 12.00 B/edge ×1.3 | – | — |",
        # the figures
        "| load against `add_edges_flat` of the numpy array (build time / load time) | ×5.00 | ≥ 4 | met |",
        "| load against the fastest peer's load (peer / quillmesh) | ×0.75 (networkit (gil)) | | **not ahead** |",
        "| save against igraph (gil)'s save (peer / quillmesh) | ×40.00 | | ahead |",
        "| pickle round trip / (save + load through a file) | ×1.50 | ≤ 1.5 | met |",
        "| load's peak in a fresh process / the finished graph | ×1.30 | | |",
    ])
    def test_table_line(self, line):
        assert line in persist.markdown(make_report()).splitlines()

    @pytest.mark.parametrize("phrase", ["load average 1.0/1.0/1.0 before, 2.0/1.5/1.0 after", "warm page cache",
                                        "All 7 checks agree"])
    def test_text(self, phrase):
        assert phrase in persist.markdown(make_report())

    def test_detail_rows(self):
        rows = "\n".join(persist.detail_rows(qm_steps(), 10_000_000))
        assert "| `add_edges_flat` of the interleaved int64 numpy array, into a new graph | 2 s | 120 MB held, 12.0 B/edge |" in rows
        assert "peak 130 MB above a process that only imports quillmesh (VmHWM 150 MB against 20 MB); ×1.30" in rows
        assert "| save + load through the file | 600 ms | |" in rows
        assert "90 MB pickled: 4 out-of-band buffers of 90 MB and 300 bytes in band" in rows

    def test_failures_and_missing_quillmesh(self):
        report = make_report(qm={"build": ok(2.0, resident_bytes=1), "load": {"status": "oom", "message": "x"}})
        report["failures"] = ["igraph (gil), loaded: 3 nodes with another degree than in the edge list"]
        text = persist.markdown(report)
        assert "- FAILED: igraph (gil), loaded: 3 nodes with another degree than in the edge list" in text
        assert "| `quillmesh.io.load` from the file (page cache warm) | out of memory | – |" in text
        assert "| load against `add_edges_flat` of the numpy array (build time / load time) | – | ≥ 4 | – |" in text


class TestWorkerParts:
    def test_saves_start_from_no_file(self, tmp_path):
        path = tmp_path / "f"

        def append(g, p):
            with open(p, "ab") as f:
                f.write(g)

        step = persist.timed_saves(append, b"12345", path, 3)
        assert step["file_bytes"] == 5 and len(step["times"]) == 3 and step["seconds"] == min(step["times"])

    def test_checks_catch_counts_and_degrees(self):
        checks = persist.Checks(np.array([[0, 1], [1, 2]], dtype=np.int64))
        checks.graph("right", 3, 2, np.array([1, 2, 1]))
        assert checks.failures == []
        checks.graph("one edge short", 3, 1, np.array([1, 2, 1]))
        checks.graph("degrees moved", 3, 2, np.array([2, 1, 1]))
        checks.same("differs", False)
        assert checks.done == 4
        assert [f.split(":")[0] for f in checks.failures] == ["one edge short", "degrees moved", "differs"]

    def test_same_bytes(self, tmp_path, monkeypatch):
        monkeypatch.setattr(persist, "WARM_CHUNK", 4)
        a, b, c, d = (tmp_path / x for x in "abcd")
        a.write_bytes(b"0123456789")
        b.write_bytes(b"0123456789")
        c.write_bytes(b"0123456788")
        d.write_bytes(b"012345678")
        assert persist.same_bytes(a, b)
        assert not persist.same_bytes(a, c) and not persist.same_bytes(a, d)

    def test_degrees_by_id_puts_each_degree_at_its_node(self):
        assert persist.degrees_by_id(np.array([2, 0]), np.array([5, 7]), 4).tolist() == [7, 0, 5, 0]


def events(capsys) -> list[dict]:
    return [json.loads(line) for line in capsys.readouterr().out.splitlines()]


def small_edges(tmp_path) -> Path:
    """A simple graph on the ids 0..59: distinct undirected edges, no self-loops."""
    rng = np.random.default_rng(3)
    pairs = rng.integers(0, 60, size=(500, 2))
    keys = np.unique(pairs.min(axis=1) * 60 + pairs.max(axis=1))
    edges = np.stack([keys // 60, keys % 60], axis=1)
    edges = edges[edges[:, 0] != edges[:, 1]]
    assert np.unique(edges).size == 60
    path = tmp_path / "edges.npy"
    np.save(path, edges.astype(np.int64))
    return path


def results(evs: list[dict]) -> dict:
    return {e["step"]: e for e in evs if e["event"] == "result"}


def test_peer_worker_on_a_small_graph(tmp_path, capsys):
    pytest.importorskip("networkx")
    persist.run_peer("networkx", small_edges(tmp_path), tmp_path, 2)
    evs = events(capsys)
    got = results(evs)
    assert [got[s]["status"] for s in ("setup", "save", "load")] == ["ok"] * 3
    assert got["save"]["file_bytes"] > 0 and len(got["load"]["times"]) == 2
    assert evs[-1] == {"event": "checks", "done": 2, "failures": []}
    assert not (tmp_path / "networkx.pickle").exists()


@pytest.mark.skipif(not HAS_IO, reason="quillmesh.io does not import")
def test_quillmesh_worker_and_fresh_load_on_a_small_graph(tmp_path, capsys):
    edges = small_edges(tmp_path)
    persist.run_quillmesh(edges, tmp_path, 2)
    evs = events(capsys)
    got = results(evs)
    assert {s: got[s]["status"] for s in got} == dict.fromkeys(("build", "save", "save_object", "load", "pickle", "copy"), "ok")
    path = tmp_path / "quillmesh.qmg"
    assert got["save"]["file_bytes"] == path.stat().st_size
    assert [len(got["pickle"][k]) for k in ("dumps_times", "loads_times", "roundtrip_times")] == [2, 2, 2]
    assert got["save_object"]["file_bytes"] == got["save"]["file_bytes"]
    assert evs[-1] == {"event": "checks", "done": 5, "failures": []}
    n, m = int(np.load(edges).max()) + 1, len(np.load(edges))
    peak = persist.measure_load_peak(sys.executable, path, 1, (n, m))
    assert peak["status"] == "ok" and peak["peak_bytes"] == peak["load_hwm"][0] - peak["baseline_hwm"][0]
    with pytest.raises(RuntimeError, match="loaded"):
        persist.measure_load_peak(sys.executable, path, 1, (n, m + 1))
