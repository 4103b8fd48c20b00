"""The type stubs describe the module: they declare what the class has, a typed usage example runs and
passes `mypy --strict`, and plain misuse is caught."""

import ast
import inspect
import runpy
import subprocess
import sys
from pathlib import Path

import pytest

from quillmesh._accel import IntGraphCore
from support import METHODS, SPECIALS

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


STUB = Path(__file__).resolve().parents[1] / "src" / "quillmesh" / "_accel.pyi"


def stub_mismatches(path):
    """How the IntGraphCore class of the stub file at `path` differs from the module's class."""
    tree = ast.parse(path.read_text(encoding="utf-8"))
    (cls,) = [node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "IntGraphCore"]
    stub = {node.name: node for node in cls.body if isinstance(node, ast.FunctionDef)}
    problems = []
    for name in stub.keys() - {m.name for m in METHODS} - {m.name for m in SPECIALS} - {"__new__", "__init__"}:
        problems.append(f"{name}: in the stub only")
    for name, fn in stub.items():
        if not hasattr(IntGraphCore, name):
            problems.append(f"{name}: the class has no such attribute")
    for m in METHODS + SPECIALS:
        if m.name not in stub:
            if not m.name.startswith("__"):
                problems.append(f"{m.name}: missing from the stub")
            continue
        args = stub[m.name].args
        positional = args.posonlyargs + args.args
        defaults = [None] * (len(positional) - len(args.defaults)) + args.defaults
        declared = [(a.arg, None if d is None else ast.literal_eval(d)) for a, d in zip(positional, defaults)]
        if m.name.startswith("__"):  # the interpreter's slots: the names are the stub's own business
            declared = [(f"arg{i}", d) for i, (_, d) in enumerate(declared)]
            expected = [(f"arg{i}", None) for i in range(len(m.params) + 1)]
        else:  # from the live signature: names in order and defaults as values (1e-6 and 1e-06 alike)
            params = inspect.signature(getattr(IntGraphCore, m.name)).parameters.values()
            expected = [(p.name, None if p.default is p.empty else p.default) for p in params]
        if declared != expected or args.vararg or args.kwarg or args.kwonlyargs:
            problems.append(f"{m.name}: stub {declared}, module {expected}")
        if ast.get_docstring(stub[m.name]) != m.doc:
            problems.append(f"{m.name}: stub doc {ast.get_docstring(stub[m.name])!r}, module {m.doc!r}")
    return sorted(problems)


def test_stub_class_matches_the_module():
    assert stub_mismatches(STUB) == []
