"""The README's usage tour runs as written and prints what its comments say."""

import contextlib
import io
import re
from pathlib import Path

README = Path(__file__).resolve().parents[1] / "README.md"


def tour():
    text = README.read_text(encoding="utf-8")
    block = re.search(r"## Usage\n.*?```python\n(.*?)```", text, re.S)
    assert block, "README has no usage example"
    return block.group(1)


def test_usage_tour_prints_what_it_claims():
    code = tour()
    # Every print line states its output in a trailing comment, perhaps with an aside in parentheses.
    claimed = [re.sub(r"\s+\([a-z ]+\)$", "", line.split("#", 1)[1].strip())
               for line in code.splitlines() if line.startswith("print(")]
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, str(README), "exec"), {})
    assert out.getvalue().splitlines() == claimed
    assert len(claimed) >= 15
