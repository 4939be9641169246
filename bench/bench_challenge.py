"""Tracking quality on challenge-style movies: trakora's workflow against trackpy and laptrack.

Each scenario (motion, density, SNR) is simulated once (`trakora_workflow.challenge`) and
tracked in this one process by:

  trakora      `track(movie, TrackingParams(max_distance=D, max_skip=2))`, and `track(movie)`
               with no options at all ("defaults": polarity, size, threshold, link distance
               and gap measured from the movie)
  trackpy      as a careful user runs it: `tp.batch(movie, 7, minmass=0, engine="numba",
               processes=1)`, the minimum mass by Otsu's threshold on the histogram of the
               masses found, `tp.link` with search range D, memory 2 and adaptive search
               (stop 0.5 px, step 0.95); for microtubules (directed motion) the linking goes
               through `tp.predict.NearestVelocityPredict`
  laptrack     `LapTrack` (squared Euclidean costs, cutoff D^2, gap closing over up to 2
               missed frames with the same cutoff, no splitting or merging) on the detections
               of trakora's first run, so that it differs from trakora in the linking only

D is 6 px for receptors, 7 for vesicles, 10 for microtubules (the largest steps the
simulation makes, about). Scores are the challenge's (gate 5 px): alpha, beta, the Jaccard
index of the detections, the RMSE of matched detections. Times are wall times of the whole
run from the movie in memory to the tracks (trackpy: locating, the threshold, linking);
laptrack's is its linking alone. The first call of each tool is made on a small movie first,
so that numba's compilation is not timed.

    PYTHONPATH=python python bench/bench_challenge.py              # 3 motions x 3 densities x SNR 2, 4, 7
    PYTHONPATH=python python bench/bench_challenge.py --quick      # 3 scenarios, 256 x 256 x 50
    PYTHONPATH=python python bench/bench_challenge.py --motions receptor --densities low --snrs 4

trackpy, numba, laptrack and scikit-image are needed here only (not by the package).
"""
import argparse
import itertools
import json
import os
import sys
import time
import warnings

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from trakora_workflow import TrackingParams, track  # noqa: E402
from trakora_workflow.challenge import challenge_scores, detection_jaccard, simulate_challenge  # noqa: E402

MAX_DISTANCE = {"receptor": 6.0, "vesicle": 7.0, "microtubule": 10.0}
QUICK = [("receptor", "medium", 4), ("vesicle", "low", 7), ("microtubule", "medium", 4)]


def run_trakora(movie, params):
    start = time.perf_counter()
    result = track(movie, params)
    elapsed = time.perf_counter() - start
    return result.table()[["track", "frame", "x", "y"]], result.detections(), elapsed


def otsu(values, bins=256):
    """Otsu's threshold of a 1-D sample (skimage's, if there)."""
    try:
        from skimage.filters import threshold_otsu
        return float(threshold_otsu(values))
    except ImportError:
        hist, edges = np.histogram(values, bins)
        centres = 0.5 * (edges[1:] + edges[:-1])
        w0 = np.cumsum(hist)
        w1 = w0[-1] - w0
        m0 = np.cumsum(hist * centres) / np.maximum(w0, 1)
        m1 = (np.sum(hist * centres) - np.cumsum(hist * centres)) / np.maximum(w1, 1)
        return float(centres[np.argmax(w0 * w1 * (m0 - m1) ** 2)])


def run_trackpy(movie, motion, max_distance):
    import trackpy as tp
    start = time.perf_counter()
    features = tp.batch(movie, 7, minmass=0, engine="numba", processes=1)
    if len(features):
        features = features[features["mass"] >= otsu(features["mass"].to_numpy())]
    options = dict(search_range=max_distance, memory=2, adaptive_stop=0.5, adaptive_step=0.95)
    if motion == "microtubule":
        linked = tp.predict.NearestVelocityPredict().link_df(features, **options)
    else:
        linked = tp.link(features, **options)
    elapsed = time.perf_counter() - start
    table = linked.rename(columns={"particle": "track"})[["track", "frame", "x", "y"]]
    return table, features[["frame", "x", "y"]], elapsed


def run_laptrack(detections, max_distance):
    from laptrack import LapTrack
    cutoff = max_distance ** 2
    tracker = LapTrack(metric="sqeuclidean", cutoff=cutoff, gap_closing_metric="sqeuclidean",
                       gap_closing_cutoff=cutoff, gap_closing_max_frame_count=2,
                       splitting_cutoff=False, merging_cutoff=False)
    start = time.perf_counter()
    frame_df = detections[["frame", "x", "y"]].reset_index(drop=True)
    track_df, _, _ = tracker.predict_dataframe(frame_df, ["y", "x"], only_coordinate_cols=False)
    elapsed = time.perf_counter() - start
    table = track_df.rename(columns={"track_id": "track"})[["track", "frame", "x", "y"]]
    return table, elapsed


def warm_up():
    movie, _ = simulate_challenge("receptor", "low", 7, frames=5, shape=(64, 64), seed=99)
    run_trakora(movie, TrackingParams(max_distance=6.0, max_skip=2))
    _, detections, _ = run_trackpy(movie, "microtubule", 6.0)
    run_trackpy(movie, "receptor", 6.0)
    try:
        run_laptrack(detections, 6.0)
    except Exception:
        pass


def attempt(fn, *args):
    """fn(*args), or the error's name in place of the result (a tool that gives up on a
    scenario, e.g. trackpy's oversized subnetworks, is reported, not fatal)."""
    try:
        return fn(*args), None
    except Exception as error:  # noqa: BLE001
        return None, f"{type(error).__name__}: {error}"[:120]


def scenario(motion, density, snr, frames, size, seed):
    movie, truth = simulate_challenge(motion, density, snr, frames=frames, shape=(size, size), seed=seed)
    distance = MAX_DISTANCE[motion]
    row = {"motion": motion, "density": density, "snr": snr, "frames": frames, "size": size,
           "true_points": int(truth["visible"].sum()), "true_tracks": int(truth["particle"].nunique())}
    errors = {}
    out, errors["trakora"] = attempt(run_trakora, movie, TrackingParams(max_distance=distance, max_skip=2))
    if out:
        tracks, detections, row["time_trakora"] = out
        s = challenge_scores(truth, tracks)
        row.update(alpha_trakora=s["alpha"], beta_trakora=s["beta"], jt_trakora=s["jaccard_tracks"])
        row["jd_trakora"], row["rmse_trakora"] = detection_jaccard(truth, detections)
        lap, errors["laptrack"] = attempt(run_laptrack, detections, distance)
        if lap:
            s = challenge_scores(truth, lap[0])
            row.update(alpha_laptrack=s["alpha"], beta_laptrack=s["beta"], time_laptrack=lap[1])
    out, errors["defaults"] = attempt(run_trakora, movie, None)
    if out:
        s = challenge_scores(truth, out[0])
        row.update(alpha_defaults=s["alpha"], beta_defaults=s["beta"], time_defaults=out[2])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        out, errors["trackpy"] = attempt(run_trackpy, movie, motion, distance)
    if out:
        tracks, detections, row["time_trackpy"] = out
        s = challenge_scores(truth, tracks)
        row.update(alpha_trackpy=s["alpha"], beta_trackpy=s["beta"], jt_trackpy=s["jaccard_tracks"])
        row["jd_trackpy"], row["rmse_trackpy"] = detection_jaccard(truth, detections)
    row["errors"] = {k: v for k, v in errors.items() if v}
    return row


HEADER = ["scenario", "α trakora", "α defaults", "α trackpy", "α laptrack", "β trakora", "β defaults",
          "β trackpy", "β laptrack", "det. J trakora", "det. J trackpy", "RMSE trakora", "RMSE trackpy",
          "trakora s", "trackpy / trakora time", "laptrack link s"]


def cells(row):
    def f(key, digits=3):
        value = row.get(key)
        return "failed" if value is None else f"{value:.{digits}f}"
    ratio = (row["time_trackpy"] / row["time_trakora"]
             if row.get("time_trackpy") and row.get("time_trakora") else None)
    return [f"{row['motion']} {row['density']} SNR {row['snr']}",
            f("alpha_trakora"), f("alpha_defaults"), f("alpha_trackpy"), f("alpha_laptrack"),
            f("beta_trakora"), f("beta_defaults"), f("beta_trackpy"), f("beta_laptrack"),
            f("jd_trakora"), f("jd_trackpy"), f("rmse_trakora"), f("rmse_trackpy"),
            f("time_trakora", 2), "failed" if ratio is None else f"{ratio:.2f}", f("time_laptrack", 2)]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="three scenarios on 256 x 256 x 50 frames")
    parser.add_argument("--motions", nargs="+", default=["receptor", "vesicle", "microtubule"])
    parser.add_argument("--densities", nargs="+", default=["low", "medium", "high"])
    parser.add_argument("--snrs", nargs="+", type=float, default=[2, 4, 7])
    parser.add_argument("--frames", type=int, default=None)
    parser.add_argument("--size", type=int, default=None)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--json", help="also append each scenario's figures to this file (JSON lines)")
    args = parser.parse_args(argv)
    if args.quick:
        grid = QUICK
        frames, size = args.frames or 50, args.size or 256
    else:
        grid = [(m, d, s) for d, m, s in itertools.product(args.densities, args.motions, args.snrs)]
        frames, size = args.frames or 100, args.size or 512
    grid = [(m, d, int(s) if float(s).is_integer() else s) for m, d, s in grid]
    import trackpy as tp
    tp.quiet()
    warm_up()
    print(f"{len(grid)} scenarios, {size} x {size} pixels x {frames} frames, seed {args.seed}", flush=True)
    print("| " + " | ".join(HEADER) + " |", flush=True)
    print("|" + "|".join("---" for _ in HEADER) + "|", flush=True)
    for motion, density, snr in grid:
        row = scenario(motion, density, snr, frames, size, args.seed)
        print("| " + " | ".join(cells(row)) + " |", flush=True)
        for tool, error in row["errors"].items():
            print(f"    {tool} failed: {error}", file=sys.stderr, flush=True)
        if args.json:
            with open(args.json, "a") as fh:
                fh.write(json.dumps(row) + "\n")


if __name__ == "__main__":
    main()
