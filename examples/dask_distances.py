"""Hop distances from many sources on a Dask cluster.

The graph is scattered to every worker once (Dask pickles it with protocol 5: its big sections
travel out of band, as buffers, not copied into the pickle); each task then gets its worker's copy
and a source id, and returns that source's distances. The demo starts a local cluster of worker
processes that listens on 127.0.0.1 only; pass the `Client` of another cluster to use that one.

    python examples/dask_distances.py [NODES EDGES SOURCES WORKERS]
"""

import sys

import numpy as np
from distributed import Client, LocalCluster

from process_pool import report  # beside this file
from quillmesh import IntGraphCore, arrays


def _distances(g, source):
    return arrays.distances(g, source)


def local_cluster(workers=2):
    return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                        host="127.0.0.1", dashboard_address=None)


def dask_distances(g, sources, workers=2, client=None) -> dict[int, np.ndarray]:
    """{source: arrays.distances(g, source)} on `client`'s cluster, or on a local cluster of
    `workers` processes started and closed for this call."""
    sources = list(sources)
    if client is None:
        with local_cluster(workers) as cluster, Client(cluster) as own:
            return dask_distances(g, sources, client=own)
    # hash=False: a random key, instead of a token that Dask would make by pickling g once more.
    graph = client.scatter(g, broadcast=True, hash=False)
    futures = client.map(_distances, [graph] * len(sources), sources)
    return dict(zip(sources, client.gather(futures)))


def main(nodes=200_000, edges=1_000_000, count=8, workers=2):
    g = IntGraphCore()
    g.build_random(nodes, edges, seed=7)
    sources = [int(s) for s in np.random.default_rng(1).choice(nodes, size=count, replace=False)]
    report(g, dask_distances(g, sources, workers))


if __name__ == "__main__":
    main(*map(int, sys.argv[1:]))
