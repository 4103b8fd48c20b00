"""The README's usage tour runs as written and prints what its comments say."""

import contextlib
import io
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[1] / "README.md"


def example(section):
    text = README.read_text(encoding="utf-8")
    block = re.search(rf"## {section}\n.*?```python\n(.*?)```", text, re.S)
    assert block, f"README has no example under {section}"
    return block.group(1)


def run_example(code):
    """Runs the code; returns what it printed and what its print lines claim, line by line."""
    # Every print line states its output in a trailing comment, perhaps with an aside in parentheses.
    claimed = [re.sub(r"\s+\([a-z ]+\)$", "", line.split("#", 1)[1].strip())
               for line in code.splitlines() if line.startswith("print(")]
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, str(README), "exec"), {})
    return out.getvalue().splitlines(), claimed


def test_usage_tour_prints_what_it_claims():
    printed, claimed = run_example(example("Usage"))
    assert printed == claimed
    assert len(claimed) >= 15


def test_arrow_recipe_prints_what_it_claims(tmp_path, monkeypatch):
    pytest.importorskip("pyarrow")
    monkeypatch.chdir(tmp_path)  # it writes its edge list into the current folder
    printed, claimed = run_example(example("Big graphs with numpy and Arrow"))
    assert printed == claimed and len(claimed) == 5


def test_saving_example_prints_what_it_claims():
    printed, claimed = run_example(example("Saving, loading and pickling"))
    assert printed == claimed
    assert len(claimed) == 4


def test_analyses_example_prints_what_it_claims():
    pytest.importorskip("numpy")
    printed, claimed = run_example(example("More analyses"))
    assert printed == claimed
