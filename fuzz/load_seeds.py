"""Writes the seed corpus of the graph file reader's fuzzer (fuzz/corpus-load/): small graphs saved
by quillmesh.io, one per layout a load builds (inline sets, lists, tables, self-loops, extreme and
negative ids, isolated nodes, the empty graph), each under the feeding modes load_harness.cpp
decodes from its first byte (as is; checksums repaired; in pieces), and a few damaged files.

    python3 fuzz/load_seeds.py [OUT_DIR]      (default: fuzz/corpus-load; needs quillmesh installed)
"""

import io
import pathlib
import sys

import quillmesh
import quillmesh.io

AS_IS, REPAIR, IN_PIECES = 0, 1, 2
HUB_DEGREE = 40  # above the 32 a list holds: the hub's set is a table
KEYED_LEAVES, GOLDEN = 200, 0x9E3779B97F4A7C15  # enough colliding leaves to make a table keyed


def graphs():
    g = quillmesh.IntGraphCore()
    yield "empty", g

    g = quillmesh.IntGraphCore()
    g.add_nodes_from([5, -3, 2**63 - 1, -(2**63)])
    yield "isolated", g

    g = quillmesh.IntGraphCore()
    g.add_edges_from([(1, 2), (2, 3), (3, 3), (0, 1)])
    yield "inline-and-loop", g

    g = quillmesh.IntGraphCore()
    g.add_edges_flat([v for k in range(1, 9) for v in (0, k)] + [1, 2, 2, 3, 3, 4])
    yield "lists", g

    g = quillmesh.IntGraphCore()
    for k in range(1, HUB_DEGREE + 1):
        g.add_edge(-7, k * 1000)
    g.add_edge(1000, 2000)
    yield "table-hub", g

    g = quillmesh.IntGraphCore()
    g.build_random(30, 90, 3)
    yield "random", g

    # A hub joined to the nodes whose dense indices share the first 8th of its table's slots at every
    # capacity: its table turns keyed, and the file marks it so.
    g = quillmesh.IntGraphCore()
    g.add_nodes_from(range(8 * KEYED_LEAVES))
    g.add_edges_from([(-1, i) for i in range(8 * KEYED_LEAVES) if (i * GOLDEN) % 2**64 < 2**61][:KEYED_LEAVES])
    yield "keyed-hub", g


def main():
    out = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent / "corpus-load")
    out.mkdir(parents=True, exist_ok=True)
    for name, g in graphs():
        buffer = io.BytesIO()
        quillmesh.io.save(g, buffer)
        data = buffer.getvalue()
        (out / f"seed-{name}").write_bytes(bytes([AS_IS, 0]) + data)
        (out / f"seed-{name}-repair").write_bytes(bytes([REPAIR, 0]) + data)
        (out / f"seed-{name}-pieces").write_bytes(bytes([IN_PIECES, 6]) + data)
        if name == "table-hub":
            # A truncated file and one with a neighbour index past the end, checksums repaired.
            (out / "seed-truncated").write_bytes(bytes([AS_IS, 0]) + data[: len(data) // 2])
            damaged = bytearray(data)
            damaged[-40] = 0xFF
            (out / "seed-damaged-repair").write_bytes(bytes([REPAIR, 0]) + bytes(damaged))


if __name__ == "__main__":
    main()
