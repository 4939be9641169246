"""Writing the tracks and detections of a run of about 2 M points: chunk by chunk from the
result's arrays (`tables.write_columns`, as `write_outputs` does), against building the whole
DataFrames first and writing them with `tables.write_csv` (the way before); and the Parquet
files written in the same pass.

The arrays are synthetic (no images): 2000 frames of 1000 detections (x, y, intensity,
float32), linked as tracks of 50 points (the track matrix, int32 ends, int64 frames, float32
speeds), as `TrackingResult` holds them.

Times are medians over alternated rounds in one process (`common.paired_times`). Memory is
measured in a fresh process per way, after the arrays are built: the peak of NumPy's and
pandas' allocations (tracemalloc) plus the peak of pyarrow's memory pool, and the growth of
the peak resident set (ru_maxrss), each beyond the arrays.

    PYTHONPATH=python python bench/bench_tables.py            # 2 M points
    PYTHONPATH=python python bench/bench_tables.py --points 200000
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

from common import fmt_time, paired_times, table  # noqa: E402

PER_FRAME = 1000
TRACK_LENGTH = 50


def arrays(points: int):
    rng = np.random.default_rng(0)
    frames_count = points // PER_FRAME
    tables = [np.column_stack([rng.uniform(0, 512, (PER_FRAME, 2)), rng.uniform(100, 200, PER_FRAME)])
              .astype(np.float32) for _ in range(frames_count)]
    n = frames_count * PER_FRAME
    matrix = np.concatenate(tables)
    ends = np.arange(TRACK_LENGTH, n + 1, TRACK_LENGTH, dtype=np.int32)
    frames = np.tile(np.arange(TRACK_LENGTH, dtype=np.int64), n // TRACK_LENGTH)
    speed = rng.uniform(0, 3, n).astype(np.float32)
    speed[::TRACK_LENGTH * 7] = np.nan
    return tables, matrix, ends, frames, speed


def before(data, out: Path):
    """The DataFrames built whole (as `table()` and `detections()` did), then write_csv."""
    import pandas as pd
    from trakora_workflow.tables import write_csv
    tables, matrix, ends, frames, speed = data
    lengths = np.diff(np.concatenate([[0], ends]))
    tracks = pd.DataFrame({"track": np.repeat(np.arange(len(lengths)), lengths), "frame": frames,
                           "time": frames * 0.05, "x": matrix[:, 0], "y": matrix[:, 1], "intensity": matrix[:, 2],
                           "speed": speed})
    write_csv(tracks, out / "tracks.csv")
    del tracks
    counts = [len(t) for t in tables]
    stacked = np.concatenate(tables)
    detections = pd.DataFrame({"frame": np.repeat(np.arange(len(tables)), counts), "x": stacked[:, 0],
                               "y": stacked[:, 1], "intensity": stacked[:, 2]})
    write_csv(detections, out / "detections.csv")


def after(data, out: Path, parquet: bool = False):
    from trakora_workflow.pipeline import detection_columns, track_columns
    from trakora_workflow.tables import write_columns
    tables, matrix, ends, frames, speed = data
    for name, columns in (("tracks", track_columns(matrix, ends, frames, 2, 0.05, speed)),
                          ("detections", detection_columns(tables, 2))):
        write_columns(columns, out / f"{name}.csv", out / f"{name}.parquet" if parquet else None)


WAYS = {"before": before, "after": after, "after+parquet": lambda data, out: after(data, out, parquet=True)}


def _rss_peak() -> int:
    import resource
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def measure_memory(way: str, points: int) -> dict:
    """In this (fresh) process: the arrays, then one write the given way."""
    import tracemalloc

    import pandas  # noqa: F401  (imported before the baseline, as in a run)
    import pyarrow as pa
    import pyarrow.csv  # noqa: F401
    import pyarrow.parquet  # noqa: F401
    data = arrays(points)
    pool = pa.default_memory_pool()
    with tempfile.TemporaryDirectory() as tmp:
        rss = _rss_peak()
        tracemalloc.start()
        WAYS[way](data, Path(tmp))
        _, traced = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        return {"traced": traced, "arrow": pool.max_memory(), "rss_growth": _rss_peak() - rss,
                "arrays": sum(a.nbytes for a in data[1:]) + sum(t.nbytes for t in data[0])}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--points", type=int, default=2_000_000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--memory", metavar="WAY", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory:
        print(json.dumps(measure_memory(args.memory, args.points)))
        return
    memory = {}
    for way in WAYS:
        proc = subprocess.run([sys.executable, __file__, "--memory", way, "--points", str(args.points)],
                              capture_output=True, text=True, check=True)
        memory[way] = json.loads(proc.stdout)
    data = arrays(args.points)
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp)
        t_before, t_after = paired_times(lambda: before(data, out), lambda: after(data, out), args.rounds)
        _, t_parquet = paired_times(lambda: after(data, out), lambda: after(data, out, parquet=True), args.rounds)
        sizes = {p.name: p.stat().st_size for p in out.iterdir()}
    mib = 2**20
    print(f"{args.points} track points and {args.points} detections "
          f"(arrays {memory['before']['arrays'] / mib:.0f} MiB); tracks.csv {sizes['tracks.csv'] / mib:.0f} MiB, "
          f"detections.csv {sizes['detections.csv'] / mib:.0f} MiB, tracks.parquet "
          f"{sizes['tracks.parquet'] / mib:.0f} MiB, detections.parquet {sizes['detections.parquet'] / mib:.0f} MiB\n")
    rows = []
    for way, seconds in (("before", t_before), ("after", t_after), ("after+parquet", t_parquet)):
        m = memory[way]
        rows.append([way, fmt_time(seconds), f"{seconds / t_before:.2f}", f"{m['traced'] / mib:.0f}",
                     f"{m['arrow'] / mib:.0f}", f"{(m['traced'] + m['arrow']) / mib:.0f}",
                     f"{(m['traced'] + m['arrow']) / (memory['before']['traced'] + memory['before']['arrow']):.3f}",
                     f"{m['rss_growth'] / mib:.0f}"])
    print(table(["writing", "time", "time / before", "NumPy+pandas peak (MiB)", "pyarrow pool peak (MiB)",
                 "sum (MiB)", "sum / before", "peak RSS growth (MiB)"], rows))


if __name__ == "__main__":
    main()
