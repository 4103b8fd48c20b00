"""bench/limits.py: the work each kernel is charged, the machine's rates as read from the probe, and
the bound and multiple made from them. No timing: the probe runs only in its tiny mode."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))

import limits  # noqa: E402
from limits import RandomReads, Rates, Shape, Work  # noqa: E402

from quillmesh import IntGraphCore, arrays  # noqa: E402

L2, L3 = 2 * limits.MIB, 480 * limits.MIB

# ---- graph shapes, counted by hand

# A triangle 0-1-2 with 3 hanging off 2. Degrees 2, 2, 3, 1; ranked by (degree, id): 3, 0, 1, 2.
# Oriented: 0->1, 0->2, 1->2, 3->2. in+ = (0, 1, 3, 0), out+ = (2, 1, 0, 1): only node 1 has both.
TRIANGLE_AND_PENDANT = [(0, 1), (1, 2), (2, 0), (2, 3)]


@pytest.mark.parametrize("edges, expected", [
    (TRIANGLE_AND_PENDANT, Shape(nodes=4, edges=4, entries=8, oriented=4, wedges=1)),
    # A self-loop is one entry and no oriented edge; 0 has degree 2 (itself and 1).
    ([(0, 0), (0, 1)], Shape(nodes=2, edges=2, entries=3, oriented=1, wedges=0)),
    # A star: every edge points at the centre, which has no out+; nothing to intersect.
    ([(0, 1), (0, 2), (0, 3), (0, 4)], Shape(nodes=5, edges=4, entries=8, oriented=4, wedges=0)),
    # A path 0-1-2-3: degrees 1, 2, 2, 1; 0->1, 1->2, 3->2; node 1 has in+ 1 and out+ 1.
    ([(0, 1), (1, 2), (2, 3)], Shape(nodes=4, edges=3, entries=6, oriented=3, wedges=1)),
    # Duplicates and reversed pairs are one edge: the path 0-1-2, both ends pointing at 1.
    ([(0, 1), (1, 0), (0, 1), (1, 2)], Shape(nodes=3, edges=2, entries=4, oriented=2, wedges=0)),
    ([], Shape(0, 0, 0, 0, 0)),
])
def test_shape_of_small_graphs(edges, expected):
    assert limits.shape_of(np.array(edges, dtype=np.int64).reshape(-1, 2)) == expected


def test_shape_does_not_depend_on_the_ids():
    ids = np.array([10**12, -5, 7, 2**40], dtype=np.int64)
    assert limits.shape_of(ids[np.array(TRIANGLE_AND_PENDANT)]) == limits.shape_of(np.array(TRIANGLE_AND_PENDANT))


def brute_force_wedges(pairs) -> int:
    edges = {(min(u, v), max(u, v)) for u, v in pairs if u != v}
    loops = {u for u, v in pairs if u == v}
    degree = {}
    for u, v in edges:
        degree[u] = degree.get(u, 0) + 1
        degree[v] = degree.get(v, 0) + 1
    for u in loops:
        degree[u] = degree.get(u, 0) + 1
    out, into = {}, {}
    for u, v in edges:
        low, high = sorted((u, v), key=lambda x: (degree[x], x))
        out[low] = out.get(low, 0) + 1
        into[high] = into.get(high, 0) + 1
    return sum(into[x] * out.get(x, 0) for x in into)


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_shape_agrees_with_the_graph_quillmesh_builds(seed):
    rng = np.random.default_rng(seed)
    pairs = rng.integers(0, 60, size=(400, 2))
    pairs[:10, 1] = pairs[:10, 0]  # self-loops
    shape = limits.shape_of(pairs)
    g = IntGraphCore()
    g.add_edges_flat(pairs.reshape(-1))
    assert (shape.nodes, shape.edges) == (g.number_of_nodes(), g.number_of_edges())
    assert shape.entries == int(arrays.degrees(g).sum())
    assert shape.wedges == brute_force_wedges(pairs.tolist())


# ---- the work of each kernel on the triangle with a pendant: n = 4, m = 4, E = 8, wedges = 1

TOY = Shape(nodes=4, edges=4, entries=8, oriented=4, wedges=1)


@pytest.mark.parametrize("work, expected", [
    # input 16m, graph 4E + 24n fresh, E placements in the 4E adjacency
    (limits.load_work(TOY, limits.numpy_input_bytes(TOY)), Work(read=64, fresh=128, random=(RandomReads(8, 32),))),
    (limits.load_work(TOY, 0), Work(fresh=128, random=(RandomReads(8, 32),))),
    # 4E + 8n offsets + 8n old scores streamed, 8n new scores written, E reads in the 8n scores
    (limits.pagerank_iteration_work(TOY), Work(read=96, written=32, random=(RandomReads(8, 32),))),
    (limits.components_work(TOY), Work(read=32, random=(RandomReads(8, 16),))),
    # 4m oriented + 4 * 1 intersected, m row starts in 4m
    (limits.triangles_warm_work(TOY), Work(read=20, random=(RandomReads(4, 16),))),
    # + the adjacency streamed (32) and the oriented copy written fresh (4m + 8n = 48)
    (limits.triangles_cold_work(TOY), Work(read=52, fresh=48, random=(RandomReads(4, 16),))),
    (limits.distances_work(TOY), Work(read=64, random=(RandomReads(4, 16),))),
    (limits.edges_array_work(TOY), Work(read=64, fresh=64, random=(RandomReads(4, 32),))),
    (limits.degrees_array_work(TOY), Work(read=32, fresh=32)),
    # 10 pairs: 20 lookups in the 16n node index, 10 probes in the 4E adjacency
    (limits.has_edges_work(TOY, 10), Work(random=(RandomReads(20, 64), RandomReads(10, 32)))),
])
def test_work_of_each_kernel(work, expected):
    assert work == expected


def test_cold_triangles_without_self_loops_count_the_loop_free_edges():
    looped = limits.shape_of(np.array([(0, 0), (0, 1), (1, 2), (2, 0)]))
    assert looped.oriented == 3 and looped.entries == 7
    assert limits.triangles_cold_work(looped).fresh == 4 * 3 + 8 * 3


def test_python_input_counts_each_object_once():
    big = 10**12 + 1  # one object, listed three times
    other = big + 1
    flat = [big, big, other, big]
    assert limits.python_input_bytes(flat) == sys.getsizeof(flat) + sys.getsizeof(big) + sys.getsizeof(other)


def test_python_input_of_tuples_counts_the_tuples_and_their_ints():
    a, b, c = 10**12 + 1, 10**12 + 2, 10**12 + 3
    t = (a, b)
    pairs = [t, t, (b, c)]
    expected = sys.getsizeof(pairs) + 2 * sys.getsizeof(t) + sum(map(sys.getsizeof, (a, b, c)))
    assert limits.python_input_bytes(pairs) == expected


# ---- the probe's output


SETS = [("l2", L2 // 2), ("l3", 4 * limits.MIB), ("l3", 8 * limits.MIB), ("l3", L3 // 2), ("memory", 4 * L3)]


def probe_output(**changes) -> dict:
    run = {"seq_read_gbs": 10.0, "seq_write_gbs": 5.0, "fresh_write_gbs": 2.5, "fresh_write_small_pages_gbs": 1.0,
           "random_ns": [1.0, 2.0, 3.0, 10.0, 20.0]}
    data = {"pinned": True, "cpus": [0, 1], "sizes": {"reps": 3},
            "random_sets": [{"level": level, "bytes": size} for level, size in SETS],
            "runs": [{"threads": 1, **run},
                     {"threads": 2, **run, "seq_read_gbs": 16.0, "random_ns": [0.5, 1.0, 1.5, 5.0, 10.0]}],
            "chain_latency_ns": 120.0, "seconds": 20.0}
    data.update(changes)
    return data


def test_parse_probe_reads_both_thread_counts():
    data = limits.parse_probe(json.dumps(probe_output()))
    rates = limits.rates_from_probe(data, {2: L2, 3: L3})
    assert rates["one"].threads == 1 and rates["all"].threads == 2
    assert rates["all"].seq_read == pytest.approx(16e9)
    assert rates["one"].fresh_write == pytest.approx(2.5e9)
    assert rates["all"].read_cost(L3) == ("l3", L3 // 2, pytest.approx(5e-9))
    assert rates["one"].read_cost(5 * limits.MIB) == ("l3", 4 * limits.MIB, pytest.approx(2e-9))


@pytest.mark.parametrize("broken", [
    lambda d: d["runs"][1].pop("seq_write_gbs"),
    lambda d: d["runs"][0]["random_ns"].__setitem__(2, 0),
    lambda d: d["runs"][1]["random_ns"].__setitem__(4, -1.0),
    lambda d: d["runs"][1]["random_ns"].pop(),  # a working set without its figure
    lambda d: d["runs"][0].update(fresh_write_gbs="fast"),
    lambda d: d["runs"].pop(0),
    lambda d: d["random_sets"].pop(),  # no memory level
    lambda d: d["random_sets"][0].update(bytes=0),
    lambda d: d.update(chain_latency_ns=None),
])
def test_parse_probe_refuses_a_missing_or_senseless_figure(broken):
    data = probe_output()
    broken(data)
    with pytest.raises(ValueError):
        limits.parse_probe(json.dumps(data))


def test_fresh_memory_is_charged_at_the_faster_first_touch():
    data = probe_output()
    old = limits.rates_from_probe(data, {2: L2, 3: L3})["all"]
    assert old.fresh_write == pytest.approx(2.5e9)  # saved before first touches were measured
    data["runs"][1].update(first_touch_gbs=0.5, first_touch_small_pages_gbs=1.5)
    assert limits.rates_from_probe(limits.parse_probe(json.dumps(data)), {2: L2, 3: L3})["all"].fresh_write == \
        pytest.approx(1.5e9)
    data["runs"][0].update(first_touch_gbs=0.0)
    with pytest.raises(ValueError):
        limits.parse_probe(json.dumps(data))
    text = limits.markdown(limits_result() | {"probe": data | {"first_touch": limits.TINY_FIRST_TOUCH}})
    assert "| first write to memory never touched, in a fresh process (small pages), GB/s |" not in text  # one run lacks it
    data["runs"][0].update(first_touch_gbs=0.4, first_touch_small_pages_gbs=1.0)
    text = limits.markdown(limits_result() | {"probe": data | {"first_touch": limits.TINY_FIRST_TOUCH}})
    assert "| first write to memory never touched, in a fresh process (small pages), GB/s | 1.00 | 1.50 |" in text


def test_parse_probe_refuses_what_c_prints_for_nan():
    text = json.dumps(probe_output()).replace('"chain_latency_ns": 120.0', '"chain_latency_ns": nan')
    with pytest.raises(ValueError):
        limits.parse_probe(text)


def test_one_cpu_machine_uses_its_only_run_for_all():
    data = probe_output()
    data["runs"] = data["runs"][:1]
    rates = limits.rates_from_probe(data, {2: L2, 3: L3})
    assert rates["all"] == rates["one"]


def test_cache_sizes_from_sysfs(tmp_path):
    for index, (level, kind, size) in enumerate([(1, "Data", "48K"), (1, "Instruction", "64K"),
                                                 (2, "Unified", "2048K"), (3, "Unified", "480M")]):
        d = tmp_path / f"index{index}"
        d.mkdir()
        (d / "level").write_text(f"{level}\n")
        (d / "type").write_text(f"{kind}\n")
        (d / "size").write_text(f"{size}\n")
    assert limits.cache_sizes(tmp_path) == {1: 48 * 1024, 2: L2, 3: L3}


def test_huge_page_setting(tmp_path):
    f = tmp_path / "enabled"
    f.write_text("always [madvise] never\n")
    assert limits.huge_page_setting(f) == "madvise"
    assert limits.huge_page_setting(tmp_path / "absent") == "unknown"


# ---- levels, bounds and multiples


RATES = Rates(threads=2, seq_read=1e9, seq_write=5e8, fresh_write=2.5e8, l2=L2, l3=L3,
              random=(("l2", L2 // 2, 1e-9), ("l3", 4 * limits.MIB, 2e-9), ("l3", 8 * limits.MIB, 3e-9),
                      ("l3", L3 // 2, 1e-8), ("memory", 4 * L3, 1e-7)))


@pytest.mark.parametrize("working_set, level, probed", [
    (0, "l2", L2 // 2),
    (L2, "l2", L2 // 2),  # above the set probed, still in the L2
    (L2 + 1, "l3", 4 * limits.MIB),  # past the L2: the L3's smallest set, though it is larger
    (8 * limits.MIB - 1, "l3", 4 * limits.MIB),  # the largest set probed that is not larger
    (8 * limits.MIB, "l3", 8 * limits.MIB),
    (L3, "l3", L3 // 2),
    (L3 + 1, "memory", 4 * L3),
    (100 * L3, "memory", 4 * L3),
])
def test_random_read_cost_by_level_and_working_set(working_set, level, probed):
    name, size, seconds = RATES.read_cost(working_set)
    assert (name, size) == (level, probed)
    assert seconds == dict(((n, b), t) for n, b, t in RATES.random)[(level, probed)]


def test_bound_adds_each_term_at_its_rate():
    work = Work(read=10**9, written=10**9, fresh=10**9,
                random=(RandomReads(1000, L2), RandomReads(1000, L2 + 1), RandomReads(10, L3 + 1)))
    terms = work.terms(RATES)
    assert terms == pytest.approx({"read": 1.0, "written": 2.0, "fresh": 4.0,
                                   "random": 1000 * 1e-9 + 1000 * 2e-9 + 10 * 1e-7})
    assert work.bound(RATES) == pytest.approx(7.0 + 4e-6)


def test_multiple_is_time_over_bound():
    assert limits.multiple(3.0, 1.5) == pytest.approx(2.0)
    assert limits.multiple(0.5, 2.0) == pytest.approx(0.25)
    assert limits.multiple(1.0, 0.0) is None


def test_serial_work_is_bound_by_one_thread():
    one = Rates(1, 1e9, 1e9, 1e9, L2, L3, (("memory", 4 * L3, 1e-7),))
    every = Rates(2, 2e9, 2e9, 2e9, L2, L3, (("memory", 4 * L3, 5e-8),))
    rates = {"one": one, "all": every}
    row = limits.row("degrees_array", 2.0, Work(read=10**9, serial=True), rates)
    assert (row["threads"], row["bound"], row["multiple"]) == (1, pytest.approx(1.0), pytest.approx(2.0))
    row = limits.row("degrees_array", 2.0, Work(read=10**9), rates)
    assert (row["threads"], row["bound"], row["multiple"]) == (2, pytest.approx(0.5), pytest.approx(4.0))


def test_large_scale_leaves_out_the_list_loads_unless_asked():
    kernels, why = limits.pick_kernels(None, "large")
    assert not set(limits.LIST_LOADS) & set(kernels) and "load_tuples" in why
    assert limits.pick_kernels(None, "medium") == (list(limits.KERNELS), "")
    assert limits.pick_kernels("load_tuples,pagerank", "large") == (["load_tuples", "pagerank"], "")
    with pytest.raises(ValueError):
        limits.pick_kernels("pagerank,nonsense", "medium")


# ---- the report


def limits_result() -> dict:
    shape = Shape(nodes=4, edges=4, entries=8, oriented=4, wedges=1)
    rates = limits.rates_from_probe(probe_output(), {2: L2, 3: L3})
    rows = [limits.row("triangles_warm", 0.003, limits.triangles_warm_work(shape), rates)]
    machine = {"date": "2026-12-09 08:00 UTC", "cpu": "cpu", "cores": 2, "caches": {"2": L2, "3": L3},
               "huge_pages": "madvise", "load_before": "0.1/0.1/0.1", "load_after": "0.2/0.1/0.1", "commit": "abc"}
    return {"scale": "medium", "repeat": 3, "machine": machine, "probe": probe_output(), "left_out": "",
            "graphs": {"uniform": {"shape": shape.__dict__, "kernels": rows}}}


def test_report_section_only_with_a_limits_run_of_the_scale(tmp_path):
    assert limits.report_section(tmp_path, "medium") == ""
    (tmp_path / "limits-medium.json").write_text(json.dumps(limits_result()))
    assert limits.report_section(tmp_path, "large") == ""
    section = limits.report_section(tmp_path, "medium")
    line = next(x for x in section.splitlines() if x.startswith("| triangle_count(), warm"))
    bound = limits.triangles_warm_work(TOY).bound(limits.rates_from_probe(probe_output(), {2: L2, 3: L3})["all"])
    assert limits.format_multiple(0.003 / bound) in line


def test_markdown_lists_rates_and_kernels():
    text = limits.markdown(limits_result())
    assert "| sequential read, GB/s | 10.00 | 16.00 |" in text
    assert "| random 8-byte read in 4.19 MB (l3), ns per read over all threads | 2.00 | 1.00 |" in text
    assert "triangle_count(), warm" in text and "4 nodes, 4 edges, E = 8 entries" in text


# ---- the probe itself, tiny


@pytest.mark.skipif(shutil.which(os.environ.get("CC", "cc")) is None, reason="no C compiler")
def test_tiny_probe_runs_and_prints_every_figure(tmp_path):
    caches = {2: L2, 3: L3}
    binary = limits.compile_probe(tmp_path)
    data = limits.run_probe(binary, limits.probe_sizes(caches, tiny=True), limits.TINY_FIRST_TOUCH)
    # parse_probe has checked every figure; the first-touch ones are there for each thread count
    assert [r["threads"] for r in data["runs"]] == sorted({1, len(os.sched_getaffinity(0))})
    assert all(set(limits.FIRST_TOUCH_FIGURES) <= set(r) for r in data["runs"])
    sets = [(s["level"], s["bytes"]) for s in data["random_sets"]]
    assert sets[0] == ("l2", L2 // 2) and sets[-1][0] == "memory"
    assert [b for _, b in sets] == sorted(b for _, b in sets)
    assert limits.compile_probe(tmp_path) == binary  # compiled once per source


def test_benchmark_report_ends_with_the_limits_table_of_its_scale(tmp_path, monkeypatch):
    from report import Column, Report

    (tmp_path / "limits-medium.json").write_text(json.dumps(limits_result()))
    monkeypatch.setattr(Report, "chart", lambda self, path: False)
    machine = {"date": "d", "cpu": "c", "cores": 2, "memory_gib": 24.0, "load_before": "0", "load_after": "0",
               "commit": "abc"}
    for scale, shown in (("medium", True), ("small", False)):
        settings = {"scale": scale, "repeat": 3, "op_budget": 3.0, "op_timeout": 10.0, "baseline_timeout": 600.0}
        Report([Column("quillmesh", "ft")], {}, settings, machine).write(tmp_path, stem=scale)
        text = (tmp_path / f"{scale}.md").read_text()
        assert ("## Against the machine's limits" in text) == shown
        if shown:
            assert text.index("## Against the machine's limits") > text.index("## Cross-checks")
            assert "| triangle_count(), warm |" in text


def test_fresh_process_timing_runs_each_call_in_a_new_interpreter(tmp_path):
    edges = np.array([[0, 1], [1, 2], [2, 0], [2, 3]], dtype=np.int64)
    path = tmp_path / "edges.npy"
    np.save(path, edges)
    for name in limits.FRESH_PROCESS_KERNELS:
        assert 0 < limits.time_in_fresh_processes(name, path, repeat=2, settle=0.0) < 60
    # the child's own check of what it is asked to time
    done = subprocess.run([sys.executable, str(Path(limits.__file__)), "--time-one", "pagerank", str(path)],
                          capture_output=True, text=True)
    assert done.returncode == 2 and "--time-one takes" in done.stderr
