"""A bright-field recording from disk: the whole `trakora run` against the decode floor and
trackpy's locate.

Writes a 100-frame 424 x 640 RGBA PNG sequence of dark spheres (apparent diameter about 11
pixels) on an unevenly lit background with noise, then times, in one run:

- the decode floor: imageio decoding the PNGs and converting them to float luminance, one
  thread;
- `trakora run 'frames/*.png' --min-length 25 --drift` with every other choice automatic
  (a subprocess: start-up and imports, reading, colour conversion, the automatic choices,
  band-pass, detection, linking, analysis, every output file), then its stages as its
  summary.json times them;
- `trackpy.batch` locating the same decoded frames with its numba engine (the reading is not
  timed for trackpy), diameter 11, invert=True, minmass chosen from trackpy's own mass
  histogram of the first frame (the valley between noise and particles, by Otsu's rule on
  log mass), no linking;
- the start-up of the command alone (`trakora --help`).

Prints wall times as ratios, features per frame beside the truth, and recall / RMSE of both
against the known positions. Usage: python bench/bench_recording.py [--frames 100]
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import imageio.v3 as iio
import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))
from trakora_workflow import open_recording, simulate_recording  # noqa: E402
from trakora_workflow.scoring import match_points  # noqa: E402

from common import table  # noqa: E402


def write_sequence(folder: Path, frames: int, seed: int = 0):
    rec = simulate_recording(frames=frames, shape=(424, 640), n_channels=0, n_brownian=120, diffusion=0.5,
                             dark=True, illumination=0.5, background=170.0, amplitude=(90.0, 120.0),
                             spot_sigma=2.6, noise=6.0, seed=seed)
    folder.mkdir(parents=True, exist_ok=True)
    grey = np.clip(rec.stack, 0, 255).astype(np.uint8)
    for i, f in enumerate(grey):
        iio.imwrite(folder / f"frame_{i}.png", np.dstack([f, f, f, np.full_like(f, 255)]))
    return rec


def otsu(values: np.ndarray) -> float:
    hist, edges = np.histogram(values, bins=128)
    centres = (edges[:-1] + edges[1:]) / 2
    w0 = np.cumsum(hist)
    w1 = w0[-1] - w0
    m0 = np.cumsum(hist * centres) / np.maximum(w0, 1)
    m1 = (np.sum(hist * centres) - np.cumsum(hist * centres)) / np.maximum(w1, 1)
    return float(centres[np.argmax(w0 * w1 * (m0 - m1) ** 2)])


def score(truth, frame_of, xy, n_frames):
    """Recall and RMSE (px) of positions against the truth, matched within 1.5 px."""
    tp, errors = 0, []
    for f in range(n_frames):
        t = truth[truth["frame"] == f][["x", "y"]].to_numpy()
        found = xy[frame_of == f]
        ti, fi, d = match_points(t, found, 1.5)
        tp += len(ti)
        errors.append(d)
    d = np.concatenate(errors)
    return tp / len(truth), float(np.sqrt((d ** 2).mean())) if len(d) else float("nan")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--frames", type=int, default=100)
    args = ap.parse_args()
    import trackpy
    trackpy.quiet()
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp) / "frames"
        rec = write_sequence(folder, args.frames)
        truth = rec.truth

        out = Path(tmp) / "out"
        env = dict(os.environ, PYTHONPATH=str(Path(__file__).resolve().parents[1] / "python"))
        start = time.perf_counter()
        proc = subprocess.run([sys.executable, "-m", "trakora_workflow", "run", str(folder / "*.png"),
                               "--min-length", "25", "--drift", "--quiet", "--out", str(out)],
                              capture_output=True, text=True, env=env)
        trakora_seconds = time.perf_counter() - start
        if proc.returncode:
            sys.exit(proc.stderr)
        detections = np.genfromtxt(out / "detections.csv", delimiter=",", names=True)
        summary = json.loads((out / "summary.json").read_text())
        trakora_recall, trakora_rmse = score(truth, detections["frame"].astype(int),
                                             np.column_stack([detections["x"], detections["y"]]), args.frames)

        paths = sorted(folder.glob("*.png"), key=lambda p: int(p.stem.split("_")[1]))
        weights = np.array([0.2125, 0.7154, 0.0721], dtype=np.float32)
        start = time.perf_counter()
        frames = [iio.imread(p)[..., :3].astype(np.float32) @ weights for p in paths]
        decode_seconds = time.perf_counter() - start

        first = trackpy.locate(frames[0], 11, invert=True, minmass=0, engine="numba")
        minmass = float(np.exp(otsu(np.log(first["mass"][first["mass"] > 0]))))
        start = time.perf_counter()
        features = trackpy.batch(frames, 11, invert=True, minmass=minmass, processes=1, engine="numba")
        trackpy_seconds = time.perf_counter() - start
        start = time.perf_counter()
        subprocess.run([sys.executable, "-m", "trakora_workflow", "--help"], capture_output=True, env=env, check=True)
        help_seconds = time.perf_counter() - start
        tp_recall, tp_rmse = score(truth, features["frame"].to_numpy(),
                                   features[["x", "y"]].to_numpy(), args.frames)

    per_frame_truth = len(truth) / args.frames
    rows = [
        ["trakora run (whole command: read PNGs, track, analyse, write outputs)", f"{trakora_seconds:.2f}",
         f"{summary['detections_per_frame']:.1f}", f"{trakora_recall:.3f}", f"{trakora_rmse:.3f}"],
        [f"trackpy.batch, numba engine (locate only, minmass {minmass:.0f})", f"{trackpy_seconds:.2f}",
         f"{len(features) / args.frames:.1f}", f"{tp_recall:.3f}", f"{tp_rmse:.3f}"],
        ["decoding the PNGs to float luminance (imageio, one thread)", f"{decode_seconds:.2f}", "", "", ""],
    ]
    print(f"{args.frames} frames of 424 x 640 RGBA PNG, {per_frame_truth:.1f} true particles per frame\n")
    print(table(["", "wall time (s)", "features per frame", "recall", "RMSE (px)"], rows))
    print(f"\ntrakora run / trackpy.batch (numba): {trakora_seconds / trackpy_seconds:.2f}x; "
          f"trakora run / decoding: {trakora_seconds / decode_seconds:.2f}x")
    timed = summary.get("timings_s", {})
    stages = [(name, f"{seconds:.3f}") for name, seconds in timed.items()]
    stages.append(("the rest: start-up and imports, opening the files, writing every output",
                   f"{trakora_seconds - sum(timed.values()):.3f}"))
    stages.append(("start-up: trakora --help", f"{help_seconds:.3f}"))
    print("\nstages of trakora run (summary.json timings_s)\n")
    print(table(["stage", "seconds"], stages))


if __name__ == "__main__":
    main()
