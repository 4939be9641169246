"""Detection on a Dask cluster: each task reads, prepares and detects its own range of frames.

A task is given the frame source (for files: only their paths; the worker opens the files
itself), a frame range and the parameters, never the pixels from the client, so that nothing
is scattered and the scheduler can rerun a task on another worker when a worker is lost. A
source made from an in-memory array does carry its frames inside the tasks (there is no file
to read them from).

Each worker process runs the module's own worker pool; to keep several worker processes on
one machine from oversubscribing its cores, local clusters start their workers with
TRAKORA_NUM_THREADS=1 (read once, when a worker first uses the module). Workers of a remote
cluster should be started with the same variable.
"""
from __future__ import annotations

import math
import uuid
from contextlib import contextmanager

import numpy as np

from .detect import FrameDetections, Preparation, detect_range
from .io import ArraySource
from .params import TrackingParams

WORKER_ENV = {"TRAKORA_NUM_THREADS": "1"}


class ClusterError(RuntimeError):
    """Detection on the cluster failed (a task failed, or workers kept dying)."""


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
        try:
            client = distributed.Client(address, timeout=30)
        except Exception as exc:
            raise ClusterError(f"cannot connect to the Dask scheduler at '{address}': "
                               f"{str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__}") from exc
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


def _task_source(source, start: int, stop: int):
    """What a task gets to read frames start .. stop - 1 from: the source itself when it reads
    files; for in-memory arrays, just the task's frames (offset to start at 0)."""
    if isinstance(source, ArraySource) and not hasattr(source, "path"):
        return ArraySource(np.asarray(source[start:stop])), 0, stop - start
    return source, start, stop


def _failure(exc: BaseException) -> str:
    text = str(exc).strip()
    first = text.splitlines()[0] if text else ""
    return f"{type(exc).__name__}: {first}" if first else type(exc).__name__


def detect_on_cluster(client, source, params: TrackingParams, prep: Preparation | None = None, *,
                      chunk_size: int | None = None, progress=None) -> list[FrameDetections]:
    """Detections of every frame, computed on the cluster, in frame order. `progress` is
    called with (frames done, total) as tasks finish."""
    distributed = _require_distributed()
    n_frames = len(source)
    if n_frames == 0:
        return []
    if chunk_size is None:
        n_workers = max(1, len(client.scheduler_info().get("workers", {})))
        chunk_size = max(1, math.ceil(n_frames / (4 * n_workers)))
    chunks = frame_chunks(n_frames, chunk_size)
    futures = []
    run = uuid.uuid4().hex[:12]
    for a, b in chunks:
        task_source, start, stop = _task_source(source, a, b)
        futures.append(client.submit(detect_range, task_source, start, stop, params, prep,
                                     pure=False, key=f"trakora-detect-{run}-{a}-{b}"))
    sizes = {f.key: b - a for f, (a, b) in zip(futures, chunks)}
    done = 0
    try:
        for future in distributed.as_completed(futures):
            if future.status == "error":
                raise future.exception()
            done += sizes[future.key]
            if progress is not None:
                progress(done, n_frames)
        results = client.gather(futures)
    except (KeyboardInterrupt, SystemExit):
        client.cancel(futures)
        raise
    except ValueError:
        client.cancel(futures)
        raise
    except Exception as exc:
        client.cancel(futures)
        raise ClusterError(f"detection on the Dask cluster failed ({_failure(exc)}); "
                           "check the workers, or run without the cluster (`workers`, `dask`)") from exc
    detections: list[FrameDetections] = []
    for chunk in results:
        detections.extend(chunk)
    return detections
