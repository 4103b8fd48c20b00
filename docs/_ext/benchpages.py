"""Benchmark pages made from the benchmark's own results (bench/results/*.json) at every build.

Each run's JSON is rendered again by the benchmark's report code (bench/report.py, bench/limits.py,
bench/persist.py), so the tables on the site are the ones those runs measured, with the machine, date
and load they were taken at; the charts are drawn again from the same JSON where matplotlib is
installed, else taken from the PNG the run drew. The smaller records (ids crafted to collide, other
threads during long calls, the billion-edge runs) get tables of their own here. The pages are written
into docs/benchmarks/generated/ (not kept in git) before Sphinx reads any source.
"""

from __future__ import annotations

import json
import shutil
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
RESULTS = ROOT / "bench" / "results"
OUT = ROOT / "docs" / "benchmarks" / "generated"

# Run reports: (stem, the page's title). Their order is the order of the pages.
RUNS = [
    ("medium", "The default run: 10M edges, uniform and R-MAT"),
    ("real", "Real graphs: highways, railways, shipping routes, a taxonomy tree"),
    ("medium-sparse", "A sparse graph shaped like the real ones: 1M edges"),
    ("small", "Small scale, with networkx: 1M edges"),
    ("large", "Large scale: 100M edges"),
    ("large-sparse-loads", "Loading a sparse graph of 100M edges"),
    ("arrays-medium", "quillmesh.arrays at 10M edges"),
    ("algorithms-small", "quillmesh.algorithms at 1M edges"),
    ("algorithms-medium", "quillmesh.algorithms at 10M edges"),
]
LIMITS = [("limits-medium", "Against the machine's limits: 10M edges"),
          ("limits-large", "Against the machine's limits: 100M edges")]
PERSIST = [("persist-medium", "Saving and loading: 10M edges"), ("persist-large", "Saving and loading: 100M edges")]


# bench/'s modules import each other by plain name.
sys.path.insert(0, str(ROOT / "bench"))

import headline  # noqa: E402
import limits  # noqa: E402
import persist  # noqa: E402
import report  # noqa: E402
from report import format_seconds  # noqa: E402
from rss import format_bytes  # noqa: E402


def _results(stem: str) -> dict:
    return json.loads((RESULTS / f"{stem}.json").read_text())


def _chart(stem: str, draw, source: str | None = None) -> str | None:
    """The chart stem.png beside the generated pages, made from the results source.json (source
    defaults to stem): draw(path) draws it again when matplotlib is installed and the results are
    newer than the copy here (draw returning False means it could not), else the PNG kept beside
    the results is copied. Its file name, or None without one."""
    target = OUT / f"{stem}.png"
    if target.exists() and target.stat().st_mtime >= (RESULTS / f"{source or stem}.json").stat().st_mtime:
        return target.name
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        drawn = RESULTS / f"{stem}.png"
        if not drawn.exists():
            return None
        shutil.copyfile(drawn, target)
        return target.name
    return None if draw(target) is False else target.name


def _with_chart(markdown: str, chart: str | None, title: str) -> str:
    """The chart goes at the end, after the tables it draws (it is as tall as several screens)."""
    if chart is None:
        return markdown
    figure = (f"\n## Charts\n\nEach graph's ratios, then each library's peak memory per operation.\n\n"
              f"```{{image}} {chart}\n:alt: {title}: times and peak memory against quillmesh's\n:width: 100%\n```\n")
    return markdown.rstrip("\n") + "\n" + figure


def _titled(markdown: str, title: str) -> str:
    """The page under its own title; the report's heading (what ran, at which scale) follows it."""
    first, _, rest = markdown.partition("\n")
    assert first.startswith("# "), first
    return f"# {title}\n\n*{first[2:]}*\n{rest}"


def _run_pages() -> list[tuple[str, str]]:
    pages = []
    for stem, title in RUNS:
        rep = report.from_json(_results(stem))
        md = _with_chart(rep.markdown(), _chart(stem, rep.chart), title)
        pages.append((stem, _titled(md, title)))
    return pages


def _md_table(header: list[str], rows: list[list[str]]) -> list[str]:
    right = ["---:" if i else "---" for i in range(len(header))]
    out = ["| " + " | ".join(header) + " |", "| " + " | ".join(right) + " |"]
    out += ["| " + " | ".join(row) + " |" for row in rows]
    return out


def _other_page() -> str:
    lines = ["# Other measurements", "",
             "Smaller records kept beside the runs above, each from its own script in `bench/`.", ""]

    hostile = _results("hostile")
    lines += ["## Ids and neighbours chosen to collide", "",
              f"`bench/hostile.py`: each call on {hostile['count']:,} ids crafted to collide in the node hash, "
              f"and on hubs whose neighbours collide in the hub's table, against as many random ids "
              f"(best of {hostile['repeat']}, Python {hostile['python'].split()[0]}). "
              "A ratio below 1 means the crafted input was faster.", ""]
    rows = [[r["call"], f"{r['crafted_ms']:.1f} ms", f"{r['random_ms']:.1f} ms", f"{r['ratio']:.2f}"]
            for r in hostile["rows"]]
    lines += _md_table(["call", "crafted", "random", "crafted / random"], rows) + [""]

    lines += ["## Other threads during a long call", "",
              "`bench/threads.py`: how long a garbage collection in another thread takes while "
              "`triangle_count()` runs, and how many `shortest_path_length` queries two threads answer "
              "against one.", ""]
    rows = []
    for build in ("ft", "gil"):
        if (RESULTS / f"threads-{build}.json").exists():
            t = _results(f"threads-{build}")
            rows.append([t["build"], f"{t['gc_idle_ms']:.2f} ms", f"{t['gc_during_triangle_count_ms']:.2f} ms",
                         format_seconds(t["triangle_count_s"]), f"{t['paths_speedup']:.2f}x"])
    lines += _md_table(["interpreter", "collection, idle", "collection during the count", "the count",
                        "2 threads / 1"], rows) + [""]

    lines += ["## A billion edges", "",
              "`bench/billion.py`: one graph built and analysed step by step in one process; peak is "
              "the process's resident memory at its highest during the step.", ""]
    for stem in ("billion", "billion-io", "billion-pagerank"):
        b = _results(stem)
        lines += [f"### {b['nodes']:,} nodes, {b['edges']:,} edges ({stem}.json)", "",
                  f"{b['date']} · Python {b['python']} · {b['cores']} cores · {format_bytes(b['memory_bytes'])}", ""]
        rows = []
        for step in b["steps"]:
            if step.get("status") == "ok":
                rows.append([f"`{step['label']}`", format_seconds(step["seconds"]), format_bytes(step["peak_rss"])])
            else:
                rows.append([f"`{step['label']}`", step.get("status", "?"), ""])
        lines += _md_table(["step", "time", "peak"], rows) + [""]
    return "\n".join(lines)


def _headline_part() -> str:
    """The front page's table (bench/headline.py) and its chart, for the benchmarks' index page."""
    data = _results(headline.RESULTS.stem)
    _chart("headline", lambda path: headline.chart(data, path), source=headline.RESULTS.stem)
    return "\n".join([headline.table(data), "", headline.caption(data), "",
                      "```{image} generated/headline.png", ":alt: The fastest peer's time over quillmesh's, per operation",
                      ":width: 100%", "```"])


def write_pages(app=None) -> None:
    OUT.mkdir(parents=True, exist_ok=True)
    pages = _run_pages()
    pages += [(stem, _titled(limits.markdown(_results(stem)), title)) for stem, title in LIMITS]
    pages += [(stem, _titled(persist.markdown(_results(stem)), title)) for stem, title in PERSIST]
    pages.append(("other", _other_page()))
    pages.append(("headline", _headline_part()))
    # Only what changed is written, so that a build reading these pages is never handed half a file.
    for stem, text in pages:
        page = OUT / f"{stem}.md"
        text = text if text.endswith("\n") else text + "\n"
        if not page.exists() or page.read_text() != text:
            page.write_text(text)
    wanted = {f"{stem}.md" for stem, _ in pages} | {f"{stem}.png" for stem, _ in pages}
    for stale in OUT.iterdir():
        if stale.name not in wanted:
            stale.unlink()


def setup(app):
    app.connect("builder-inited", write_pages)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
