"""Sphinx configuration of quillmesh's documentation site (make docs)."""

from __future__ import annotations

import sys
from pathlib import Path

DOCS = Path(__file__).resolve().parent
sys.path.insert(0, str(DOCS / "_ext"))

project = "quillmesh"
author = "the quillmesh developers"
copyright = "2026, the quillmesh developers"
release = version = "0.1.0"

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "sphinx.ext.intersphinx",
    "benchpages",
    "stubsigs",
]

source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
root_doc = "index"
# The benchmarks' front table is a part of their index page, not a page of its own.
exclude_patterns = ["benchmarks/generated/headline.md"]

myst_enable_extensions = ["colon_fence", "deflist", "fieldlist", "attrs_inline"]
myst_heading_anchors = 3

# The reference documents what the package exports, in the order its modules list it.
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_typehints_format = "short"
autodoc_preserve_defaults = True
napoleon_numpy_docstring = True
napoleon_google_docstring = False

# No network while building: names of the standard library and numpy are left as plain text.
intersphinx_mapping: dict[str, tuple[str, str | None]] = {}
nitpicky = True
nitpick_ignore_regex = [
    # numpy's and the typing module's names in signatures and stubs, which no page here documents.
    ("py:class", r"(numpy|np|npt|numpy\.typing)\..*"),
    ("py:class", r"(typing|collections\.abc|os|types)\..*"),
    ("py:class", r"(Int64Array|Float64Array|IndexArray|PathLike|State|Callback)"),
    ("py:class", r"(IO|Any|Literal|SupportsIndex|TracebackType|BaseException|NDArray|DTypeLike|ArrayLike)"),
    ("py:class", r"(_Sequence|_Pair|_T_co|ProgressChannel|quillmesh\._.*)"),
    ("py:class", r"(int|float|bool|str|bytes|None|list|tuple|dict|object|type)(\[.*\])?"),
    ("py:exc", r"(TypeError|ValueError|OverflowError|MemoryError|RuntimeError|KeyboardInterrupt)"),
]

html_theme = "furo"
html_title = "quillmesh"
html_static_path = ["_static"]
html_css_files = ["quillmesh.css"]
html_theme_options = {
    "source_repository": "",
    "navigation_with_keys": True,
}
html_show_sourcelink = False
