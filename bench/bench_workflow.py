"""Workflow benchmark: linking with provenance against the module's linker, what the stages
after linking cost, and how long `track` holds the interpreter lock.

Synthetic frame tables of Brownian particles (no images are simulated): 1000 particles in a
512 x 512 field, steps of 1 pixel per axis, 5 % of the detections dropped at random, 2000
frames; linked with the workflow's defaults (max_distance 5 pixels, max_skip 1). Timed per
round, in this order: the module's `rs_link_points` alone, the workflow's linking
(`link_tables`: the same tracks plus every point's frame and row), the motion-aware linker
with gap closing (`_core.link_motion`), per-point speeds
(`point_speeds`), the analysis (`analyze`), the density and speed images (`render_tracks`),
and, for the record, writing the outputs of the tracks (tracks.csv, detections.csv;
density.png and speed.png).

`--lock` runs `track` in a thread on a simulated recording of about 2 M linked points while
another thread wakes every millisecond, and prints the longest stretch that thread waited
(the longest hold of the interpreter lock by the tracking thread, give or take a switch
interval of 5 ms).

    PYTHONPATH=python python bench/bench_workflow.py                 # 2000 frames x 1000 spots
    PYTHONPATH=python python bench/bench_workflow.py --quick         # 200 frames
    PYTHONPATH=python python bench/bench_workflow.py --lock          # the lock holds of track

Times are medians over the rounds (the first, cold round apart: its memory is fresh from the
system).
"""
import os

# Idle OpenBLAS worker threads spin after NumPy calls and would compete with the linker's own
# workers on a small machine; nothing here uses BLAS.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse  # noqa: E402
import statistics  # noqa: E402
import sys  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
import threading  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402
import trakora  # noqa: E402

from common import fmt_time, table  # noqa: E402
from trakora_workflow import _core  # noqa: E402
from trakora_workflow.analysis import analyze  # noqa: E402
from trakora_workflow.io import FrameSource  # noqa: E402
from trakora_workflow.tables import write_csv  # noqa: E402
from trakora_workflow.pictures import save_density_png, save_speed_png  # noqa: E402
from trakora_workflow.pipeline import _track_table, link_tables, point_speeds, render_tracks, track  # noqa: E402
from trakora_workflow.params import TrackingParams  # noqa: E402

FIELD = 512


def simulate(frames, particles, seed=0, drop=0.05, step=1.0):
    """Frame tables x, y, intensity (float32) of Brownian particles in a FIELD x FIELD box."""
    rng = np.random.default_rng(seed)
    pos = rng.uniform(0, FIELD, (particles, 2))
    tables = []
    for f in range(frames):
        if f:
            pos = np.mod(pos + rng.normal(0, step, pos.shape), FIELD)
        keep = rng.random(particles) >= drop
        tables.append(np.column_stack([pos[keep], rng.uniform(100, 200, keep.sum())]).astype(np.float32))
    return tables


class _Shown:
    """What the picture writers read of a tracking result."""

    ndim = 2

    def __init__(self, rendering, ends, params):
        self.rendering, self.track_end_indices, self.params = rendering, ends, params


def one_round(tables, params, frame_shape, out_dir, write):
    times = {}
    start = time.perf_counter()
    trakora.rs_link_points(tables, params.max_distance, params.max_skip, np.nan)
    times["rs_link_points alone"] = time.perf_counter() - start
    start = time.perf_counter()
    matrix, ends, frames, rows = link_tables(tables, params, 2)
    times["linking with frames and rows"] = time.perf_counter() - start
    start = time.perf_counter()
    _core.link_motion(tables, 2, params.max_distance, params.max_skip, None)
    times["motion-aware linking with gap closing"] = time.perf_counter() - start
    start = time.perf_counter()
    speed = point_speeds(matrix, ends, frames, params.frame_interval, 2)
    times["point_speeds"] = time.perf_counter() - start
    start = time.perf_counter()
    analyze(_track_table(matrix, ends, frames, 2, params.frame_interval, None), ndim=2,
            frame_interval=params.frame_interval)
    times["analysis"] = time.perf_counter() - start
    start = time.perf_counter()
    rendering = render_tracks(matrix, ends, speed, frame_shape, params)
    times["rendering"] = time.perf_counter() - start
    if write:
        import pandas as pd
        start = time.perf_counter()
        lengths = np.diff(np.concatenate([[0], ends]))
        tracks = pd.DataFrame({"track": np.repeat(np.arange(len(lengths)), lengths), "frame": frames,
                               "time": frames * params.frame_interval, "x": matrix[:, 0], "y": matrix[:, 1],
                               "intensity": matrix[:, 2], "speed": speed})
        write_csv(tracks, out_dir / "tracks.csv")
        counts = [len(t) for t in tables]
        stacked = np.concatenate(tables)
        write_csv(pd.DataFrame({"frame": np.repeat(np.arange(len(tables)), counts), "x": stacked[:, 0],
                                "y": stacked[:, 1], "intensity": stacked[:, 2]}), out_dir / "detections.csv")
        times["writing tracks.csv + detections.csv"] = time.perf_counter() - start
        start = time.perf_counter()
        shown = _Shown(rendering, ends, params)
        save_density_png(shown, out_dir / "density.png")
        save_speed_png(shown, out_dir / "speed.png")
        times["writing density.png + speed.png"] = time.perf_counter() - start
    return times, (matrix, ends, frames, rows)


class SimulatedRecording(FrameSource):
    """Frames of Brownian spots drawn on the fly (Gaussian stamps of sigma 1.2 px on a noisy
    background, one of a few drawn once), so that a recording of millions of points needs no
    memory or disk. A frame is drawn in a few milliseconds (a NumPy sum of the stamps), so
    that the reading, not the tracking, holds the interpreter lock no longer than that."""

    def __init__(self, frames, particles, size, seed=0):
        self.name = "simulated"
        self.shape = (frames, size, size)
        rng = np.random.default_rng(seed)
        start = rng.uniform(8, size - 8, (particles, 2))
        self.positions = np.clip(start + np.cumsum(rng.normal(0, 0.7, (frames, particles, 2)), axis=0), 4, size - 5)
        offsets = np.arange(-3, 4)
        self.dy, self.dx = [a.ravel() for a in np.meshgrid(offsets, offsets, indexing="ij")]
        self.backgrounds = [rng.normal(100.0, 5.0, (size, size)) for _ in range(4)]

    def read(self, index):
        size = self.shape[1]
        pos = self.positions[index]
        centre = np.rint(pos).astype(np.int64)
        rows = centre[:, :1] + self.dy
        cols = centre[:, 1:] + self.dx
        values = 200.0 * np.exp(-((rows - pos[:, :1]) ** 2 + (cols - pos[:, 1:]) ** 2) / (2 * 1.2**2))
        spots = np.bincount((rows * size + cols).ravel(), values.ravel(), minlength=size * size)
        return (self.backgrounds[index % 4] + spots.reshape(size, size)).astype(np.float32)


def longest_lock_hold(work):
    """Runs work() in a thread while this thread sleeps 1 ms at a time; returns (the longest
    wait of this thread beyond its sleep, the result of work)."""
    out = {}
    worker = threading.Thread(target=lambda: out.setdefault("result", work()))
    longest = 0.0
    worker.start()
    while worker.is_alive():
        start = time.perf_counter()
        time.sleep(0.001)
        longest = max(longest, time.perf_counter() - start - 0.001)
    worker.join()
    return longest, out.get("result")


def lock_report(frames, particles):
    recording = SimulatedRecording(frames, particles, 1024)
    params = TrackingParams(max_distance=4.0)
    start = time.perf_counter()
    longest, result = longest_lock_hold(lambda: track(recording, params))
    seconds = time.perf_counter() - start
    print(f"track on {frames} simulated frames of 1024 x 1024 ({particles} spots each): "
          f"{result.n_detections:,} detections, {len(result.matrix):,} linked points in {fmt_time(seconds)}; "
          f"longest wait of another thread for the interpreter lock: {fmt_time(longest)}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--frames", type=int, default=2000)
    parser.add_argument("--spots", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="200 frames, 2 rounds")
    parser.add_argument("--no-write", action="store_true", help="leave out writing the outputs")
    parser.add_argument("--lock", action="store_true",
                        help="only the interpreter-lock holds of track on ~2 M linked points")
    args = parser.parse_args()
    if args.lock:
        lock_report(1000 if not args.quick else 100, 2000)
        return
    if args.quick:
        args.frames, args.rounds = 200, 2
    frame_shape = (FIELD, FIELD)
    params = TrackingParams(threshold=1.0).resolve(frame_shape)
    tables = simulate(args.frames, args.spots)
    n = sum(len(t) for t in tables)
    print(f"{args.frames} frames x {args.spots} particles: {n:,} detections; "
          f"max_distance {params.max_distance:g}, max_skip {params.max_skip}; {os.cpu_count()} cores\n")

    rounds = []
    with tempfile.TemporaryDirectory() as tmp:
        for _ in range(args.rounds):
            times, linked = one_round(tables, params, frame_shape, Path(tmp), not args.no_write)
            rounds.append(times)
    matrix, ends, frames, rows = linked
    print(f"{len(matrix):,} linked points in {len(ends):,} tracks\n")

    link = statistics.median(r["rs_link_points alone"] for r in rounds)
    rows_out = []
    for stage in rounds[0]:
        median = statistics.median(r[stage] for r in rounds)
        rows_out.append((stage, fmt_time(median), fmt_time(rounds[0][stage]), f"{median / link:.2f}"))
    print(table(["stage", f"median of {args.rounds}", "first round", "/ rs_link_points"], rows_out))


if __name__ == "__main__":
    main()
