"""Time the track analysis on large simulated tracks tables, and draw the figures of
docs/analysis.md.

    python bench/bench_analysis.py                     # timing table (0.6 and 2.4 million points)
    python bench/bench_analysis.py --figures docs/img  # msd.png and overlay.png, with the numbers

The tables are Brownian particles (D = 0.5 µm²/s, 0.1 s frames) with localization noise,
blinking (20 % of the points dropped, so tracks skip frames), particles entering and leaving,
and a uniform drift, as in tests/test_analysis.py.
"""
import argparse
import sys
from pathlib import Path

import numpy as np
import pandas as pd

from common import median_time, table

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))
from trakora_workflow.analysis import (analyze, compute_drift, ensemble_msd, msd,  # noqa: E402
                                       track_speeds)

D, DT, SIGMA, VELOCITY = 0.5, 0.1, 0.02, (1.0, -0.6, 0.4)


def tracks_table(ndim, particles, frames, blink=0.2, seed=0):
    rng = np.random.default_rng(seed)
    steps = rng.normal(0.0, np.sqrt(2 * D * DT), (particles, frames, ndim))
    steps[:, 0] = rng.uniform(0, 60, (particles, ndim))
    pos = np.cumsum(steps, axis=1) + rng.normal(0.0, SIGMA, steps.shape)
    pos += np.asarray(VELOCITY[:ndim]) * DT * np.arange(frames)[None, :, None]
    start = rng.integers(0, frames // 2, particles)
    stop = start + rng.integers(frames // 4, frames // 2 + 1, particles)
    f = np.arange(frames)
    present = (f >= start[:, None]) & (f < stop[:, None]) & (rng.random((particles, frames)) >= blink)
    track, frame = np.nonzero(present)
    out = pd.DataFrame({"track": track, "frame": frame, "time": frame * DT})
    for k, axis in enumerate("xyz"[:ndim]):
        out[axis] = pos[track, frame, k]
    return out


def bench():
    rows = []
    for particles, frames in ((5_000, 400), (20_000, 400)):
        t = tracks_table(2, particles, frames).sample(frac=1.0, random_state=0)
        cases = [
            ("compute_drift", lambda: compute_drift(t)),
            ("ensemble_msd, 100 lags", lambda: ensemble_msd(t, 100, DT)),
            ("msd per track, 100 lags", lambda: msd(t, 100, DT)),
            ("track_speeds", lambda: track_speeds(t, DT)),
            ("analyze (drift, 100 lags)", lambda: analyze(t, frame_interval=DT, drift=True)),
        ]
        for name, fn in cases:
            rows.append((f"{len(t):,}", name, f"{median_time(fn, repeats=3):.2f} s"))
    print(table(["points", "function", "median time"], rows))


def figures(directory: Path):
    from trakora_workflow import TrackingParams, simulate_recording, track
    from trakora_workflow.pictures import save_msd_png, save_overlay_png

    directory.mkdir(parents=True, exist_ok=True)
    t = tracks_table(2, 2000, 200, seed=1)
    result = analyze(t, frame_interval=DT, drift=True, max_lag=50, fit_lags=10,
                     space_unit="µm", time_unit="s")
    fit = result.fit
    print(f"MSD fit: A = {fit['A']:.4f}, n = {fit['n']:.4f}, D = {fit['D']:.4f} µm²/s "
          f"(true {D}, error {100 * (fit['D'] / D - 1):+.2f} %); drift over the recording "
          f"{np.round(result.drift.iloc[-1].to_numpy(), 3)} µm "
          f"(imposed {np.round(np.asarray(VELOCITY[:2]) * DT * (t['frame'].max() - t['frame'].min()), 3)})")
    save_msd_png(result.emsd, fit, directory / "msd.png", "µm", "s")

    pixel_size = 0.1
    rec = simulate_recording(frames=40, shape=(240, 320), pixel_size=pixel_size, n_brownian=40, seed=3)
    tracked = track(rec.stack, TrackingParams(pixel_size=pixel_size, max_distance=0.4,
                                              frame_interval=rec.frame_interval, space_unit="µm"))
    frame = 20
    save_overlay_png(rec.stack[frame], tracked.detections(), tracked.table(), directory / "overlay.png",
                     pixel_size=pixel_size, space_unit="µm", frame_index=frame)
    print(f"overlay: frame {frame} of a simulated 240 × 320 recording, "
          f"{len(tracked.track_end_indices)} tracks")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--figures", type=Path, help="write msd.png and overlay.png into this folder")
    args = parser.parse_args()
    if args.figures:
        figures(args.figures)
    else:
        bench()
