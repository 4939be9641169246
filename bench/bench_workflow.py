"""Workflow benchmark: what the stages after linking cost next to linking itself.

Synthetic frame tables of Brownian particles (no images are simulated): 1000 particles in a
512 x 512 field, steps of 1 pixel per axis, 5 % of the detections dropped at random, 2000
frames; linked with the workflow's defaults (max_distance 5 pixels, max_skip 1). Timed per
round, in this order: linking (`link_tables`), recovery of every point's frame
(`recover_points`), per-point speeds (`point_speeds`), the density and speed images
(`render_tracks`), and, for the record, writing the outputs of the tracks (tracks.csv,
detections.csv with pandas; density.png and speed.png). Then `recover_points` once more on
spots that sit still on whole pixels, where identical rows fill every frame.

    PYTHONPATH=python python bench/bench_workflow.py                 # 2000 frames x 1000 spots
    PYTHONPATH=python python bench/bench_workflow.py --quick         # 200 frames
    PYTHONPATH=python python bench/bench_workflow.py --reference     # also the plain-Python
                                                                     # matching the tests use

Times are medians over the rounds (the first, cold round apart: its memory is fresh from the
system); peak memory is what tracemalloc sees allocated (NumPy arrays included) in a separate
call.
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
import tracemalloc  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402

from common import fmt_time, table  # noqa: E402
from trakora_workflow.frames import recover_points  # noqa: E402
from trakora_workflow.output import write_csv  # noqa: E402
from trakora_workflow.pictures import save_density_png, save_speed_png  # noqa: E402
from trakora_workflow.pipeline import link_tables, point_speeds, render_tracks  # noqa: E402
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


def traced_peak(fn):
    """(result, peak bytes of the memory fn allocated through Python and NumPy, above what was
    allocated before), by tracemalloc; slows pure-Python code down, so timed apart."""
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        out = fn()
        return out, tracemalloc.get_traced_memory()[1] - before
    finally:
        tracemalloc.stop()


class _Shown:
    """What the picture writers read of a tracking result."""

    ndim = 2

    def __init__(self, rendering, ends, params):
        self.rendering, self.track_end_indices, self.params = rendering, ends, params


def one_round(tables, params, frame_shape, out_dir, write):
    times = {}
    start = time.perf_counter()
    matrix, ends = link_tables(tables, params, 2)
    times["linking"] = time.perf_counter() - start
    start = time.perf_counter()
    frames, rows = recover_points(tables, matrix, ends, params.max_skip)
    times["recover_points"] = time.perf_counter() - start
    start = time.perf_counter()
    speed = point_speeds(matrix, ends, frames, params.frame_interval, 2)
    times["point_speeds"] = time.perf_counter() - start
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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--frames", type=int, default=2000)
    parser.add_argument("--spots", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="200 frames, 2 rounds")
    parser.add_argument("--no-write", action="store_true", help="leave out writing the outputs")
    parser.add_argument("--reference", action="store_true",
                        help="also time the plain-Python matching kept in tests/test_failures.py")
    args = parser.parse_args()
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

    link = statistics.median(r["linking"] for r in rounds)
    rows_out = []
    for stage in rounds[0]:
        median = statistics.median(r[stage] for r in rounds)
        rows_out.append((stage, fmt_time(median), fmt_time(rounds[0][stage]), f"{median / link:.2f}"))
    after = ("recover_points", "point_speeds", "rendering")
    total = sum(statistics.median(r[s] for r in rounds) for s in after)
    rows_out.append(("recover_points + point_speeds + rendering", fmt_time(total),
                     fmt_time(sum(rounds[0][s] for s in after)), f"{total / link:.2f}"))
    print(table(["stage", f"median of {args.rounds}", "first round", "/ linking"], rows_out))
    _, peak = traced_peak(lambda: recover_points(tables, matrix, ends, params.max_skip))
    print(f"\nrecover_points peak memory: {peak / 2**20:.0f} MiB ({peak / n:.0f} bytes per detection; "
          f"the tables hold {12 * n / 2**20:.0f} MiB)")

    # Spots that sit still on whole pixels with integer intensities: every row of the tables
    # repeats in most frames, and every point is resolved along its track.
    still = [np.rint(t).astype(np.float32) for t in simulate(args.frames, args.spots, step=0.0)]
    for t in still:
        t[:, 2] = 100.0
    still_matrix, still_ends = link_tables(still, params, 2)
    start = time.perf_counter()
    recover_points(still, still_matrix, still_ends, params.max_skip)
    seconds = time.perf_counter() - start
    print(f"\nstill spots on whole pixels ({len(still_matrix):,} points, each in up to {args.frames} frames): "
          f"recover_points {fmt_time(seconds)}")

    if args.reference:
        sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
        from test_failures import reference_recover_points
        start = time.perf_counter()
        ref_frames, ref_rows = reference_recover_points(tables, matrix, ends, params.max_skip)
        seconds = time.perf_counter() - start
        same = np.array_equal(ref_frames, frames) and np.array_equal(ref_rows, rows)
        _, ref_peak = traced_peak(lambda: reference_recover_points(tables, matrix, ends, params.max_skip))
        print(f"\nplain-Python matching: {fmt_time(seconds)} ({seconds / link:.1f} x linking), peak memory "
              f"{ref_peak / 2**20:.0f} MiB; same frames and rows: {same}")


if __name__ == "__main__":
    main()
