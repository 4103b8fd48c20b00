"""Writes the hand-made part of the fuzzer's seed corpus (fuzz/corpus/seed-*): one small input per
kind of operation and load path, in the byte format harness.cpp decodes, so that a fresh run starts
from every entry point at once instead of waiting to stumble on each opcode.

    python3 fuzz/seeds.py [OUT_DIR]      (default: fuzz/corpus)
"""

import pathlib
import struct
import sys

# Opcodes, in the order of the harness's Op.
(ADD_NODE, ADD_EDGE, ADD_NODES, ADD_SPAN, ADD_OWNED, ADD_SOURCE, ADD_PATTERN, BUILD_RANDOM,
 POINT_QUERIES, HAS_EDGES, SUBGRAPH, COMPONENTS, SHORTEST_PATH, TRIANGLES, PAGERANK, FAIL_ALLOCATION,
 ARRAYS, LABELS, DISTANCES, PAGERANK_SCORES, COLUMN_LOAD, WATCH_PROGRESS, ANALYSES) = range(23)
# Pattern shapes and routes, likewise.
STAR, PATH, CLIQUE, SCATTER, REVERSE_STAR, COLLISIONS, HUB_COLLISIONS = range(7)
SPAN, OWNED, SOURCE = range(3)
ODD = 64
# Column piece forms: the type in the low 3 bits, then the stride's extra values, flags.
I8, I16, I32, I64, U8, U16, U32, U64 = range(8)
STRIDE = 8
UNALIGNED, REVERSED, VALIDITY = 32, 64, 128
ALL_NULL = 255


def dense(k):
    return bytes([k])


def existing(k):
    return bytes([0x40 | (k & 31), k >> 5])


def negative(k):
    return bytes([0x60 | k])


def far(k, offset=0):
    return bytes([0x80 | k, offset])


def extreme(k):
    return bytes([0xA0 | k])


def colliding(k, family=0):
    return bytes([0xC0 | k, family])


def raw(value):
    return bytes([0xE0]) + struct.pack("<q", value)


def batch(pairs, odd=None):
    out = bytes([len(pairs) | (ODD if odd is not None else 0)])
    for u, v in pairs:
        out += u + v
    return out + (odd or b"")


def ids(items):
    return bytes([len(items)]) + b"".join(items)


def pattern(route, shape, base, count, scale=0, extra=b""):
    return bytes([ADD_PATTERN, route, shape]) + base + bytes([count, scale]) + extra


def queries():
    """Every analysis once, with arguments that mix present and absent ids."""
    return (bytes([POINT_QUERIES, 4]) + dense(0) + dense(1) + negative(3) + dense(2) + extreme(0) + extreme(2)
            + far(4) + dense(5)
            + bytes([HAS_EDGES]) + batch([(dense(0), dense(1)), (dense(1), dense(0)), (dense(9), dense(9))], dense(3))
            + bytes([SUBGRAPH]) + ids([dense(0), dense(1), dense(1), negative(0)]) + b"\x00"
            + bytes([SUBGRAPH]) + ids([]) + b"\x01"
            + bytes([COMPONENTS])
            + bytes([SHORTEST_PATH]) + dense(0) + dense(5)
            + bytes([SHORTEST_PATH]) + dense(7) + dense(7)
            + bytes([TRIANGLES])
            + bytes([PAGERANK, 217, 100, 2])
            + bytes([TRIANGLES])
            + bytes([PAGERANK, 255, 39, 0]))


def arrays():
    """Every array form of the listings and analyses."""
    return (bytes([ARRAYS, LABELS, DISTANCES]) + dense(0) + bytes([DISTANCES]) + dense(2) + bytes([DISTANCES])
            + negative(9) + bytes([PAGERANK_SCORES, 217, 30, 1]))


def piece(form, length=None, validity=b""):
    """A column piece: its length (left out for the last one), its form, and its bitmap's bytes."""
    return (bytes([length]) if length is not None else b"") + bytes([form]) + validity


def column(*pieces):
    return bytes([len(pieces) - 1]) + b"".join(pieces)


OVERWRITE = 128


def column_load(pairs, first, second, overwrite=0):
    """Loads the pairs as two columns; overwrite (OVERWRITE | k) changes end k after the check."""
    return bytes([COLUMN_LOAD]) + batch(pairs) + first + second + bytes([overwrite])


PATH_PAIRS = [(dense(k), dense(k + 1)) for k in range(20)]
WIDE_PAIRS = [(extreme(k % 8), far(k % 8, k)) for k in range(12)]

SEEDS = {
    "points": bytes([ADD_NODE]) + negative(7) + bytes([ADD_EDGE]) + dense(1) + dense(2)
    + bytes([ADD_EDGE]) + dense(2) + dense(2) + bytes([ADD_EDGE]) + dense(2) + dense(1)
    + bytes([ADD_NODES]) + ids([dense(10), dense(11), negative(6)]) + queries(),
    "span-at-once": bytes([ADD_SPAN]) + batch([(dense(1), dense(2)), (dense(2), dense(3)), (dense(3), dense(1)),
                                               (dense(3), dense(4)), (dense(4), dense(4))], dense(9)) + queries(),
    "owned-at-once": bytes([ADD_OWNED]) + batch([(extreme(0), extreme(2)), (extreme(2), extreme(4)),
                                                 (extreme(4), extreme(0)), (extreme(5), extreme(0))]) + queries(),
    "source-at-once": bytes([ADD_SOURCE]) + batch([(negative(1), negative(2)), (negative(2), negative(3))]) + b"\x07"
    + queries(),
    "source-fails-first": bytes([ADD_SOURCE]) + batch([(dense(1), dense(2))]) + b"\x00" + queries(),
    "edge-by-edge": pattern(SPAN, PATH, dense(0), 200) + bytes([ADD_SPAN]) + batch([(dense(0), far(2)), (dense(3), dense(50))])
    + bytes([ADD_OWNED]) + batch([(existing(7), existing(99))]) + queries(),
    "chunked-span": pattern(SPAN, SCATTER, dense(0), 120, 0, b"\x05\x30") + queries(),
    "chunked-owned": pattern(OWNED, CLIQUE, dense(3), 12) + queries(),
    "chunked-source": pattern(SOURCE, STAR, dense(0), 60, 0, b"\x07") + queries(),
    "chunked-source-fails": pattern(SOURCE, PATH, negative(0), 70, 0, b"\x02") + queries(),
    "hub-table": pattern(SPAN, STAR, dense(0), 200, 1) + pattern(OWNED, REVERSE_STAR, dense(0), 90, 2) + queries(),
    "hub-grows-in-chunks": pattern(SPAN, STAR, dense(0), 30) + pattern(SOURCE, STAR, dense(0), 250, 3, b"\x07")
    + queries(),
    "collisions": pattern(SPAN, COLLISIONS, dense(0), 150, 1, b"\x11") + bytes([ADD_EDGE]) + colliding(3, 0x11)
    + colliding(200 & 31, 0x11) + queries(),
    "extremes": bytes([ADD_SPAN]) + batch([(extreme(k), extreme((k + 3) % 8)) for k in range(8)])
    + bytes([ADD_EDGE]) + raw(-(2**63)) + raw(2**63 - 1) + queries(),
    # every analysis on a small graph with a triangle, a tail, a self-loop and a second component:
    # cores, triangles, betweenness (normalized), sampled (3 sources, then too many), diameter,
    # communities, modularity of small labels and of wide ones, and of labels one short
    "analyses": pattern(SPAN, CLIQUE, dense(0), 5) + pattern(OWNED, PATH, dense(4), 6)
    + bytes([ADD_EDGE]) + dense(20) + dense(21) + bytes([ADD_EDGE]) + dense(9) + dense(9)
    + bytes([ANALYSES, 0, 0, ANALYSES, 1, 0, ANALYSES, 2, 1, ANALYSES, 3, 3]) + bytes(8)
    + bytes([ANALYSES, 3, 200]) + bytes(8) + bytes([ANALYSES, 4, 0, ANALYSES, 5, 0, 7, ANALYSES, 5, 3, 1])
    + bytes([ANALYSES, 6, 0]) + bytes(range(1, 14)) + bytes([ANALYSES, 6, 128]) + b"".join(dense(k) for k in range(13))
    + bytes([ANALYSES, 6, 64]) + bytes(range(13)),
    # a hub whose table piles its leaves into one run (it turns keyed), then more leaves one at a time
    "hub-collisions": pattern(SPAN, HUB_COLLISIONS, dense(0), 100, 3) + bytes([ADD_EDGE]) + dense(0) + dense(7)
    + pattern(OWNED, STAR, dense(5), 200, 1) + queries(),
    "far-then-dense": bytes([ADD_SPAN]) + batch([(far(5), far(6)), (far(6), far(7))]) + pattern(OWNED, PATH, dense(0), 100)
    + queries(),
    "random-small": bytes([BUILD_RANDOM, 0, 10, 5, 0, 42]) + bytes([BUILD_RANDOM, 0, 10, 5, 0, 42]) + queries(),
    "random-chunked": bytes([BUILD_RANDOM, 1, 99, 90, 1, 7]) + queries(),
    "random-wide": bytes([BUILD_RANDOM, 4, 3, 40, 0, 1]) + bytes([BUILD_RANDOM, 3, 3, 30, 0, 2]) + queries(),
    "random-refused": bytes([BUILD_RANDOM, 2, 5, 3, 0, 0]) + bytes([BUILD_RANDOM, 5, 3, 9, 0, 0])
    + bytes([BUILD_RANDOM, 0, 0, 1, 0, 0]) + bytes([BUILD_RANDOM, 5, 4, 6, 0, 3]) + queries(),
    "random-seeded": bytes([BUILD_RANDOM, 9, 40, 30, 0]) + struct.pack("<Q", 2**64 - 1) + queries(),
    "oom-points": bytes([FAIL_ALLOCATION, 0, ADD_NODE]) + dense(1) + bytes([FAIL_ALLOCATION, 0, ADD_EDGE]) + far(3)
    + far(4) + bytes([ADD_EDGE, 1, 2, FAIL_ALLOCATION, 1, ADD_NODES]) + ids([dense(k) for k in range(3, 12)]) + queries(),
    "oom-at-once": bytes([ADD_EDGE, 1, 2, PAGERANK, 1, 1, 1, FAIL_ALLOCATION, 3, ADD_SPAN])
    + batch([(dense(k), dense(k + 1)) for k in range(9)]) + queries(),
    "oom-chunked": pattern(OWNED, PATH, dense(0), 30) + bytes([FAIL_ALLOCATION, 9])
    + pattern(SPAN, STAR, dense(40), 100) + queries(),
    "oom-random": bytes([FAIL_ALLOCATION, 6, BUILD_RANDOM, 1, 99, 90, 1, 7]) + queries(),
    "oom-analyses": pattern(SPAN, CLIQUE, dense(0), 9) + bytes([FAIL_ALLOCATION, 2, PAGERANK, 200, 10, 0])
    + bytes([FAIL_ALLOCATION, 1, TRIANGLES, FAIL_ALLOCATION, 0, COMPONENTS]) + queries(),
    "arrays": pattern(SPAN, SCATTER, dense(0), 120, 0, b"\x05\x30") + bytes([ADD_EDGE]) + dense(100) + dense(100)
    + bytes([ADD_NODE]) + negative(4) + arrays() + bytes([WATCH_PROGRESS]) + arrays() + queries(),
    "arrays-far-apart": pattern(OWNED, PATH, dense(0), 250, 3) + pattern(SPAN, STAR, dense(0), 250, 2)
    + arrays() + queries(),
    # Over 4096 nodes: the edge array's passes and the bottom-up levels of the distances split
    # among workers; a hub from node 0 sends the search bottom-up at once.
    "arrays-many-blocks": b"".join(bytes([BUILD_RANDOM, 4, 0, 255, 3, s]) for s in (3, 5, 7))
    + pattern(SPAN, STAR, dense(0), 255, 3) + bytes([WATCH_PROGRESS]) + arrays(),
    "oom-arrays": pattern(SPAN, CLIQUE, dense(0), 9) + bytes([FAIL_ALLOCATION, 0, ARRAYS, FAIL_ALLOCATION, 1, LABELS,
                                                                FAIL_ALLOCATION, 0, DISTANCES]) + dense(1) + arrays(),
    "columns-plain": column_load(PATH_PAIRS, column(piece(I64)), column(piece(I64))) + arrays(),
    "columns-pieces": column_load(PATH_PAIRS, column(piece(U8 | STRIDE, 5), piece(I16 | UNALIGNED, 7), piece(U32 | REVERSED)),
                                  column(piece(I8 | 3 * STRIDE | UNALIGNED | REVERSED, 0), piece(U64))) + arrays(),
    "columns-wide": column_load(WIDE_PAIRS, column(piece(I8, 4), piece(I32 | 2 * STRIDE)),
                                column(piece(U16 | STRIDE | REVERSED))) + queries(),
    "columns-too-large": column_load(WIDE_PAIRS, column(piece(U64)), column(piece(I64))) + queries(),
    "columns-null": column_load(PATH_PAIRS, column(piece(I64)),
                                column(piece(I32, 9), piece(U16 | VALIDITY, 6, bytes([3, 4])), piece(I64))) + queries(),
    "columns-all-null": column_load(PATH_PAIRS, column(piece(I64, 19), piece(I64 | VALIDITY, None, bytes([5, ALL_NULL]))),
                                    column(piece(I64))) + queries(),
    "columns-chunked": bytes([WATCH_PROGRESS]) + column_load(PATH_PAIRS * 3, column(piece(I16 | STRIDE, 30), piece(U8)),
                                                             column(piece(I32 | VALIDITY, 50, bytes([7, 50])), piece(I64)))
    + pattern(SPAN, PATH, dense(0), 60) + column_load([(dense(k), dense(k + 2)) for k in range(40)],
                                                      column(piece(U32)), column(piece(I8 | REVERSED)))
    + arrays() + queries(),
    "columns-overwritten": column_load(PATH_PAIRS, column(piece(I64)), column(piece(I16 | STRIDE)), OVERWRITE | 9)
    + pattern(SPAN, PATH, dense(0), 10) + column_load(PATH_PAIRS * 3, column(piece(I32, 40), piece(U16)),
                                                      column(piece(I64)), OVERWRITE | 101) + queries(),
    "progress": bytes([WATCH_PROGRESS]) + pattern(SOURCE, STAR, dense(0), 60, 0, b"\x07") + bytes([BUILD_RANDOM, 1, 99, 90, 1, 7])
    + bytes([BUILD_RANDOM, 3, 3, 30, 0, 2]) + bytes([ADD_NODES]) + ids([dense(k) for k in range(20)]) + arrays() + queries(),
    "mixed": bytes([ADD_EDGE]) + dense(5) + dense(6) + bytes([TRIANGLES]) + bytes([ADD_EDGE]) + dense(6) + dense(7)
    + bytes([PAGERANK, 200, 20, 1]) + bytes([ADD_NODE]) + dense(5) + bytes([PAGERANK, 200, 20, 1])
    + pattern(SPAN, CLIQUE, dense(5), 9) + queries(),
}


def main():
    out = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent / "corpus")
    out.mkdir(parents=True, exist_ok=True)
    for name, data in SEEDS.items():
        (out / f"seed-{name}").write_bytes(data)


if __name__ == "__main__":
    main()
