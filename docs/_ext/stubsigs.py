"""Typed signatures for the native class in the API reference, read from its stub.

``IntGraphCore``'s methods are native: the interpreter knows their parameters and defaults (from
their text signatures) but not their types. ``src/quillmesh/_accel.pyi`` has both; this hands
autodoc the stub's signature for each method, so the reference shows the same types a type checker
sees. The stub's private helpers are shown as what they stand for.
"""

from __future__ import annotations

import ast
from pathlib import Path

STUB = Path(__file__).resolve().parents[2] / "src" / "quillmesh" / "_accel.pyi"
CLASS = "quillmesh.IntGraphCore"
SHOWN_AS = {"_Sequence": "Sequence", "_Pair": "tuple[int, int]", "SupportsIndex": "int"}


def _rename(text: str) -> str:
    for private, shown in SHOWN_AS.items():
        text = text.replace(private, shown)
    return text


def stub_signatures() -> dict[str, tuple[str, str]]:
    """method name -> (parameters without self, return annotation), from the stub."""
    tree = ast.parse(STUB.read_text())
    cls = next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "IntGraphCore")
    out = {}
    for fn in cls.body:
        if not isinstance(fn, ast.FunctionDef):
            continue
        args = fn.args
        params = args.posonlyargs + args.args
        defaults = [None] * (len(params) - len(args.defaults)) + list(args.defaults)
        shown = []
        for param, default in zip(params, defaults):
            if param.arg in ("self", "cls"):
                continue
            text = param.arg + (f": {ast.unparse(param.annotation)}" if param.annotation else "")
            if default is not None:
                text += f" = {ast.unparse(default)}"
            shown.append(text)
        if args.posonlyargs and len(args.posonlyargs) > 1:
            shown.append("/")
        returns = ast.unparse(fn.returns) if fn.returns else ""
        out[fn.name] = (_rename("(" + ", ".join(shown) + ")"), _rename(returns))
    return out


def setup(app):
    signatures = stub_signatures()

    def process(app, what, name, obj, options, signature, return_annotation):
        if what == "method" and name.startswith(CLASS + "."):
            found = signatures.get(name.rsplit(".", 1)[1])
            if found is None:
                raise ValueError(f"{name} is not in {STUB.name}: add it to the stub")
            return found
        return None

    app.connect("autodoc-process-signature", process)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
