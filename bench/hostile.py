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

Then a hub whose neighbours are chosen to collide in its own table. A neighbour table places a
node's dense index (the order in which nodes were first added) by the top bits of the index times
0x9e3779b97f4a7c15, so after adding nodes 0..66K-1 the K of them whose products fall in the lowest
1/64 of the range have homes in the first 64th of the slots at every capacity. For K in --hub
(100,000 and 1,000,000 by default) the table gives, on a hub joined to those K nodes and on one
joined to K random ones of the same nodes, each call that touches the hub's set: add_edges_flat of
the star, add_edge one leaf at a time, has_edge and has_edges on the star's edges,
subgraph_edge_count of the hub and its leaves, neighbors of the hub, and triangle_count after a
ring through the leaves has been added (the other analyses read the set the same way).

`make bench` runs it with the defaults; `--count 16000 --hub 20000` is a run of a few seconds.
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


GOLDEN = 0x9E3779B97F4A7C15
HUB_SPREAD = 66  # nodes per leaf: enough that K of them fall in the lowest 1/64


def hub_leaves(count: int, crafted: bool) -> np.ndarray:
    """The hub's leaves among the nodes 0..HUB_SPREAD*count-1: those whose products with GOLDEN lie
    in the lowest 1/64 of the range, or as many drawn at random."""
    nodes = HUB_SPREAD * count
    if not crafted:
        return np.random.default_rng(SEED).choice(nodes, count, replace=False).astype(np.int64)
    with np.errstate(over="ignore"):
        products = np.arange(nodes, dtype=np.uint64) * np.uint64(GOLDEN)
    return np.flatnonzero(products < np.uint64(1 << 58))[:count].astype(np.int64)


def measure_hub(count: int, crafted: bool) -> dict[str, float]:
    """Milliseconds of every call that touches a hub joined to count leaves."""
    leaves = hub_leaves(count, crafted)
    hub, nodes = HUB_SPREAD * count, range(HUB_SPREAD * count + 1)
    star = np.empty(2 * count, dtype=np.int64)
    star[0::2], star[1::2] = hub, leaves
    listed = leaves.tolist()
    times = {}

    g = IntGraphCore()
    g.add_nodes_from(nodes)
    times["add_edges_flat"] = timed(lambda: g.add_edges_flat(star))
    times["has_edge"] = timed(lambda: [g.has_edge(hub, x) for x in listed])
    pairs = [(hub, x) for x in listed]
    times["has_edges"] = timed(lambda: g.has_edges(pairs))
    members = [hub, *listed]
    times["subgraph_edge_count"] = timed(lambda: g.subgraph_edge_count(members))
    times["neighbors"] = timed(lambda: g.neighbors(hub))
    ring = np.empty(2 * (count - 1), dtype=np.int64)
    ring[0::2], ring[1::2] = leaves[:-1], leaves[1:]
    g.add_edges_flat(ring)
    times["triangle_count"] = timed(g.triangle_count)
    del g

    g = IntGraphCore()
    g.add_nodes_from(nodes)
    times["add_edge"] = timed(lambda: [g.add_edge(hub, x) for x in listed])
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
    hubs = {}
    for count in args.hub:
        crafted = plain = None
        for _ in range(args.repeat):
            now = measure_hub(count, True)
            crafted = now if crafted is None else {c: min(ms, crafted[c]) for c, ms in now.items()}
            now = measure_hub(count, False)
            plain = now if plain is None else {c: min(ms, plain[c]) for c, ms in now.items()}
        hubs[count] = [{"call": call, "crafted_ms": crafted[call], "random_ms": plain[call],
                        "ratio": crafted[call] / plain[call] if plain[call] > 0 else float("inf")} for call in crafted]
        print(f"\nhub joined to {count:,} of {HUB_SPREAD * count:,} nodes chosen to collide in its table "
              f"against {count:,} random ones")
        print(f"{'call':<28}{'colliding ms':>14}{'random ms':>12}{'ratio':>8}")
        for row in hubs[count]:
            print(f"{row['call']:<28}{row['crafted_ms']:>14.1f}{row['random_ms']:>12.1f}{row['ratio']:>8.2f}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"count": args.count, "queries": args.queries, "repeat": args.repeat, "python": sys.version,
                       "rows": rows, "hubs": {str(k): v for k, v in hubs.items()}}, f, indent=2)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--count", type=int, default=1_000_000, help="ids of each kind (at least 2)")
    parser.add_argument("--queries", type=int, default=PATH_QUERIES, help="shortest_path_length calls")
    parser.add_argument("--repeat", type=int, default=ROUNDS, help="rounds per kind of ids; the best counts")
    parser.add_argument("--hub", type=lambda text: [int(k) for k in text.split(",") if k],
                        default=[100_000, 1_000_000], help="comma-separated leaf counts of the colliding hub "
                                                           "(empty: none)")
    parser.add_argument("--json", help="also write the tables to this file")
    args = parser.parse_args()
    if args.count < 2 or args.repeat < 1 or any(k < 2 for k in args.hub):
        parser.error("--count and every --hub count must be at least 2, and --repeat at least 1")
    if args.hub and np is None:
        parser.error("the colliding hub needs numpy (--hub '' leaves it out)")
    main()
