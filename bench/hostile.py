"""quillmesh on crafted node ids: what ids chosen to collide cost against random ids.

    python bench/hostile.py [--count N] [--queries Q] [--repeat R] [--json PATH]

The node hash is fixed and public, and a bijection, so anyone can compute ids with any hashes they
like. The crafted ids here are those whose hash is i << 40 (i < N): their hashes agree in the low 40
bits, so a table that places ids by the low bits of the hash puts them all in one probe run at every
size it grows through. The random ids are N distinct ids drawn from the whole 64-bit range. For each
call the table gives the best time of R rounds on crafted ids, on random ids (the two kinds take
turns, so a busy machine weighs on both alike) and their ratio:

- add_node, add_nodes_from and has_node over the N ids;
- add_edge, has_edge, has_edges, subgraph_edge_count and neighbors on a hub joined to the other
  N - 1 ids (neighbors is asked of every id);
- add_edges_flat, and the analyses, on that star with a ring through its leaves (each leaf also
  joined to the next), so that it has triangles and more than one path between two nodes.

`make bench` runs it with the default N (1,000,000); `--count 16000` is a run of a few seconds.
"""

from __future__ import annotations

import argparse
import json
import random
import sys
import time
from typing import Callable

from quillmesh import IntGraphCore

try:
    import numpy as np
except ImportError:  # the flat load then reads a list
    np = None

U64 = 1 << 64
# The node hash: multiply by this, then rotate left by HASH_ROTATION (src/core/base/types.hpp).
HASH_MULTIPLIER = 0xF1357AEA2E62A9C5
HASH_ROTATION = 26
# The crafted ids' hashes are i << CRAFT_SHIFT: all equal in the low CRAFT_SHIFT bits.
CRAFT_SHIFT = 40
SEED = 7
PATH_QUERIES = 10_000
ROUNDS = 3


def signed(x: int) -> int:
    return x - U64 if x >= 1 << 63 else x


def id_with_hash(h: int) -> int:
    """The one id whose node hash is h: undo the rotation, then the multiplication."""
    product = ((h >> HASH_ROTATION) | (h << (64 - HASH_ROTATION))) % U64
    return signed(product * pow(HASH_MULTIPLIER, -1, U64) % U64)


def crafted_ids(count: int) -> list[int]:
    return [id_with_hash(i << CRAFT_SHIFT) for i in range(count)]


def random_ids(count: int) -> list[int]:
    rng = random.Random(SEED)
    ids = set()
    while len(ids) < count:
        ids.add(rng.randrange(-(1 << 63), 1 << 63))
    return list(ids)


def timed(call: Callable[[], object]) -> float:
    """Seconds one call takes."""
    t = time.perf_counter()
    call()
    return time.perf_counter() - t


def flat(pairs_flat: list[int]):
    return np.array(pairs_flat, dtype=np.int64) if np is not None else pairs_flat


def measure(ids: list[int], queries: int) -> dict[str, float]:
    """Milliseconds of every call on one set of ids."""
    hub, leaves = ids[0], ids[1:]
    star = [end for leaf in leaves for end in (hub, leaf)]
    ring = [end for a, b in zip(leaves, leaves[1:]) for end in (a, b)]
    rng = random.Random(SEED)
    path_pairs = [(rng.choice(leaves), rng.choice(leaves)) for _ in range(queries)]
    times = {}

    g = IntGraphCore()
    times["add_node"] = timed(lambda: [g.add_node(x) for x in ids])
    g = IntGraphCore()
    times["add_nodes_from"] = timed(lambda: g.add_nodes_from(ids))
    times["has_node"] = timed(lambda: [g.has_node(x) for x in ids])

    g = IntGraphCore()
    times["add_edge"] = timed(lambda: [g.add_edge(hub, x) for x in leaves])
    g.add_edges_flat(flat(ring))
    times["has_edge"] = timed(lambda: [g.has_edge(hub, x) for x in leaves])
    pairs = [(hub, x) for x in leaves]
    times["has_edges"] = timed(lambda: g.has_edges(pairs))
    times["subgraph_edge_count"] = timed(lambda: g.subgraph_edge_count(ids))
    times["neighbors"] = timed(lambda: [g.neighbors(x) for x in ids])

    g = IntGraphCore()
    ends = flat(star + ring)
    times["add_edges_flat"] = timed(lambda: g.add_edges_flat(ends))
    times["pagerank"] = timed(g.pagerank)
    times["triangle_count"] = timed(g.triangle_count)
    times["connected_component_sizes"] = timed(g.connected_component_sizes)
    times["shortest_path_length"] = timed(lambda: [g.shortest_path_length(a, b) for a, b in path_pairs])
    return {call: seconds * 1000 for call, seconds in times.items()}


def best(ids: list[int]) -> Callable[[dict[str, float] | None], dict[str, float]]:
    """One more round on ids, folded into the best times so far."""
    def round_(so_far: dict[str, float] | None) -> dict[str, float]:
        now = measure(ids, args.queries)
        return now if so_far is None else {call: min(ms, so_far[call]) for call, ms in now.items()}
    return round_


def main() -> None:
    crafted_round, random_round = best(crafted_ids(args.count)), best(random_ids(args.count))
    crafted = plain = None
    for _ in range(args.repeat):
        crafted = crafted_round(crafted)
        plain = random_round(plain)
    rows = [{"call": call, "crafted_ms": crafted[call], "random_ms": plain[call],
             "ratio": crafted[call] / plain[call] if plain[call] > 0 else float("inf")} for call in crafted]
    print(f"{args.count:,} crafted ids (hashes i << {CRAFT_SHIFT}) against {args.count:,} random ids "
          f"(Python {sys.version.split()[0]})")
    print(f"{'call':<28}{'crafted ms':>12}{'random ms':>12}{'ratio':>8}")
    for row in rows:
        print(f"{row['call']:<28}{row['crafted_ms']:>12.1f}{row['random_ms']:>12.1f}{row['ratio']:>8.2f}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"count": args.count, "queries": args.queries, "repeat": args.repeat, "python": sys.version,
                       "rows": rows}, f, indent=2)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--count", type=int, default=1_000_000, help="ids of each kind (at least 2)")
    parser.add_argument("--queries", type=int, default=PATH_QUERIES, help="shortest_path_length calls")
    parser.add_argument("--repeat", type=int, default=ROUNDS, help="rounds per kind of ids; the best counts")
    parser.add_argument("--json", help="also write the table to this file")
    args = parser.parse_args()
    if args.count < 2 or args.repeat < 1:
        parser.error("--count must be at least 2 and --repeat at least 1")
    main()
