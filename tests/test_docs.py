"""Every Python example of the README and of the documentation (docs/**/*.md) runs as written.

A page's ```python blocks run in order in one namespace, in an empty folder, as a reader would paste
them. A line that starts with ``print(`` states what it prints in a trailing comment (perhaps with
an aside in parentheses, which is not compared), and the printed lines must be exactly those. A block
that cannot run on its own (an excerpt of a tested script, a sketch of a server) is preceded by a
comment ``<!-- not run: why -->``. A page that needs a library this interpreter lacks (polars,
Dask) is skipped, and says which.
"""

from __future__ import annotations

import contextlib
import io
import json
import re
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))

import headline  # noqa: E402
PAGES = [ROOT / "README.md"] + sorted((ROOT / "docs").glob("**/*.md"))
PAGES = [p for p in PAGES if "generated" not in p.parts]

FENCE = re.compile(r"^```python\n(.*?)^```", re.S | re.M)
NOT_RUN = re.compile(r"<!-- not run: [^>]+-->\s*$")
ASIDE = re.compile(r"\s+\([a-z0-9 ,.'-]+\)$")


def blocks(text: str) -> list[tuple[int, str, bool]]:
    """(line number, code, runs) for every python block of a page."""
    found = []
    for match in FENCE.finditer(text):
        before = text[: match.start()].rstrip("\n")
        previous = before.rsplit("\n", 1)[-1]
        found.append((before.count("\n") + 2, match.group(1), not NOT_RUN.search(previous)))
    return found


def claims(code: str) -> list[str]:
    out = []
    for line in code.splitlines():
        if line.startswith("print("):
            assert "#" in line, f"print line without the output it claims: {line}"
            out.append(ASIDE.sub("", line.split("#", 1)[1].strip()))
    return out


def page_id(page: Path) -> str:
    return str(page.relative_to(ROOT))


@pytest.mark.parametrize("page", [p for p in PAGES if any(run for _, _, run in blocks(p.read_text()))], ids=page_id)
def test_page_examples_print_what_they_claim(page, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    namespace: dict = {"__name__": "__docs__"}
    for line, code, runs in blocks(page.read_text(encoding="utf-8")):
        if not runs:
            continue
        out = io.StringIO()
        try:
            with contextlib.redirect_stdout(out):
                exec(compile(code, f"{page_id(page)}:{line}", "exec"), namespace)
        except ModuleNotFoundError as e:
            if e.name and not e.name.startswith("quillmesh"):
                pytest.skip(f"{page_id(page)} needs {e.name}")
            raise
        assert out.getvalue().splitlines() == claims(code), f"{page_id(page)}, the block at line {line}"


def test_every_not_run_marker_gives_a_reason_and_leaves_out_a_block():
    """A marker without a reason, or one that is not right above a python block, leaves nothing out."""
    for page in PAGES:
        text = page.read_text(encoding="utf-8")
        markers = [m.start() for m in re.finditer(r"<!-- not run", text)]
        skipped = sum(not runs for _, _, runs in blocks(text))
        assert len(markers) == skipped, f"{page_id(page)}: a not-run marker that is malformed or not above a block"


def test_readme_is_a_front_page():
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    assert len(text.splitlines()) <= 160
    # It leads into the site: the guide, the reference and the benchmarks.
    for target in ("docs/guide/", "docs/reference/", "docs/benchmarks/", "make docs"):
        assert target in text, target


def test_readme_benchmark_table_is_the_kept_run():
    """The front page's table is what bench/headline.py makes of the results it cites, row for row."""
    table = headline.table(json.loads(headline.RESULTS.read_text()))
    assert table in (ROOT / "README.md").read_text(encoding="utf-8")
    assert len(table.splitlines()) == len(headline.OPS) + 3  # header, rule, the ops and memory
