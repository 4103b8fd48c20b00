"""The type stubs describe the module: a typed usage example runs and passes `mypy --strict`, and
plain misuse is caught."""

import runpy
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLE = Path(__file__).parent / "typing" / "usage.py"
MISUSE = """\
from quillmesh import IntGraphCore
IntGraphCore().add_edge("a", 2)
x: str = IntGraphCore().nodes()
IntGraphCore().add_edges_from([[1, 2]])
"""


def test_usage_example_runs():
    runpy.run_path(str(EXAMPLE))


def test_stubs_under_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    misuse = tmp_path / "misuse.py"
    misuse.write_text(MISUSE)
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(EXAMPLE), str(misuse)],
        capture_output=True, text=True, check=False,
    )
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert not [e for e in errors if EXAMPLE.name in e], result.stdout
    assert sorted(int(e.split(":")[1]) for e in errors) == [2, 3, 4], result.stdout
