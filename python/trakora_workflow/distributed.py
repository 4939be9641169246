"""Detection on a Dask cluster: frames are sent in chunks and the tables gathered in order.

Each worker process runs the module's own worker pool; to keep several worker processes on
one machine from oversubscribing its cores, local clusters start their workers with
TRAKORA_NUM_THREADS=1 (read once, when a worker first uses the module). Workers of a remote
cluster should be started with the same variable.
"""
from __future__ import annotations

import math
from contextlib import contextmanager

import numpy as np

from .pipeline import TrackingParams, detect_chunk

WORKER_ENV = {"TRAKORA_NUM_THREADS": "1"}


def _require_distributed():
    try:
        import distributed
    except ImportError as exc:
        raise RuntimeError("Dask is not installed; install it with: pip install 'dask[distributed]'") from exc
    return distributed


@contextmanager
def dask_client(address: str | None = None, workers: int | None = None):
    """A client for the scheduler at `address`, or for a local cluster of `workers` processes
    (one thread each) that is shut down on exit."""
    distributed = _require_distributed()
    if address:
        client = distributed.Client(address)
        try:
            yield client
        finally:
            client.close()
        return
    with distributed.LocalCluster(n_workers=workers or 2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0", env=dict(WORKER_ENV)) as cluster, \
            distributed.Client(cluster) as client:
        yield client


def frame_chunks(n_frames: int, chunk_size: int) -> list[tuple[int, int]]:
    """Consecutive [start, stop) ranges covering n_frames frames."""
    return [(a, min(a + chunk_size, n_frames)) for a in range(0, n_frames, chunk_size)]


def detect_on_cluster(client, stack: np.ndarray, params: TrackingParams, *,
                      chunk_size: int | None = None, progress: bool = False) -> list[np.ndarray]:
    """Frame tables of every frame, computed on the cluster, in frame order."""
    distributed = _require_distributed()
    n_frames = len(stack)
    if n_frames == 0:
        return []
    if chunk_size is None:
        n_workers = max(1, len(client.scheduler_info().get("workers", {})))
        chunk_size = max(1, math.ceil(n_frames / (4 * n_workers)))
    chunks = frame_chunks(n_frames, chunk_size)
    data = client.scatter([np.asarray(stack[a:b]) for a, b in chunks])
    futures = client.map(detect_chunk, data, params=params, pure=False)
    from tqdm.auto import tqdm
    with tqdm(total=n_frames, desc="detect", unit="frame", disable=not progress) as bar:
        sizes = {f.key: b - a for f, (a, b) in zip(futures, chunks)}
        for done in distributed.as_completed(futures):
            bar.update(sizes[done.key])
    tables: list[np.ndarray] = []
    for chunk_tables in client.gather(futures):
        tables.extend(chunk_tables)
    return tables
