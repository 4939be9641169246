"""rs_detect_peaks on a 2048 x 2048 float32 frame with 2000 Gaussian spots (sigma 1.3 px) on a
background with Poisson-like noise, min_distance 3, threshold from the noise level.

- peak finding alone (localization_method=None) against skimage.feature.peak_local_max with
  the same threshold and distance, and against the memory-bound floor image.max();
- with radial_symmetry and with gaussian_fitting against
  trackpy.locate(frame, diameter=7, preprocess=False) with threshold and percentile set to
  keep the same candidates;
- localization error (RMSE in pixels against the true centres) of both methods and of
  trackpy, at two noise levels.

Run: python bench/bench_detect2d.py          (about a minute; peak finding against image.max() only: --floor)
     python bench/bench_detect2d.py --realistic  (peak finding against image.max() on camera-like
         data: Poisson background 100, 3000 spots of amplitude 200-1000 and sigma 1-1.3 px,
         threshold 6 noise sigma above the background; 1 and 2 threads, each in its own process)
"""
import os
import sys
import warnings
from pathlib import Path

import numpy as np
import trackpy
from scipy.spatial import cKDTree
from skimage.feature import peak_local_max

import trakora

sys.path.insert(0, str(Path(__file__).parent))
from common import fmt_time, in_fresh_interpreters, median_time, paired_times, realistic_spots, table  # noqa: E402

SIZE = 2048
SPOTS = 2000
SIGMA = 1.3
MIN_DISTANCE = 3
BACKGROUND = 100.0
# Peak amplitude above background: a bright and a dim population of spots.
NOISE_LEVELS = {"low noise (amplitude 1000)": 1000.0, "high noise (amplitude 150)": 150.0}
REALISTIC_SPOTS = 3000


def synthetic_frame(amplitude, seed=0):
    rng = np.random.default_rng(seed)
    # One spot per cell of a jittered grid: spots never overlap, so every true centre has
    # one well-defined detection.
    cells = int(np.ceil(np.sqrt(SPOTS)))
    pitch = SIZE / cells
    grid = (np.stack(np.meshgrid(np.arange(cells), np.arange(cells), indexing="ij"), -1).reshape(-1, 2) + 0.5) * pitch
    centres = grid[rng.permutation(len(grid))[:SPOTS]] + rng.uniform(-pitch / 4, pitch / 4, (SPOTS, 2))
    clean = np.full((SIZE, SIZE), BACKGROUND, np.float32)
    half = int(np.ceil(4 * SIGMA))
    for r, c in centres:
        r0, c0 = int(r) - half, int(c) - half
        rr, cc = np.mgrid[r0:r0 + 2 * half + 1, c0:c0 + 2 * half + 1]
        clean[r0:r0 + 2 * half + 1, c0:c0 + 2 * half + 1] += (
            amplitude * np.exp(-((rr - r) ** 2 + (cc - c) ** 2) / (2 * SIGMA**2))).astype(np.float32)
    noisy = clean + rng.normal(0.0, 1.0, clean.shape).astype(np.float32) * np.sqrt(clean)
    return noisy.astype(np.float32), centres


def noise_threshold(frame):
    median = float(np.median(frame))
    sigma = 1.4826 * float(np.median(np.abs(frame - median)))
    return median + 5.0 * sigma


def rmse(found, truth):
    """RMSE over true centres matched to a detection within 1.5 px, and the matched fraction."""
    dist, _ = cKDTree(found).query(truth, distance_upper_bound=1.5)
    hit = np.isfinite(dist)
    return float(np.sqrt(np.mean(dist[hit] ** 2))), hit.mean()


def realistic_floor():
    frame = realistic_spots((SIZE, SIZE), REALISTIC_SPOTS, [(1.0, 1.3)] * 2, BACKGROUND)
    thr = BACKGROUND + 6.0 * np.sqrt(BACKGROUND)
    extent = (0.0, SIZE - 1.0, 0.0, SIZE - 1.0)

    def find():
        return trakora.rs_detect_peaks(frame, extent, thr, MIN_DISTANCE, None, None, None)

    t_find, t_max = paired_times(find, frame.max)
    print(f"{len(find()[1])} peaks, {int(np.sum(frame >= thr))} pixels reach the threshold; peak finding "
          f"{fmt_time(t_find)}, image.max() {fmt_time(t_max)}: {t_find / t_max:.2f}x its time (target <= 2x)")


def main():
    if "--realistic" in sys.argv:
        print(f"{SIZE} x {SIZE} float32, Poisson background {BACKGROUND:g}, {REALISTIC_SPOTS} spots")
        return in_fresh_interpreters(__file__, "--realistic-run")
    if "--realistic-run" in sys.argv:
        return realistic_floor()
    trackpy.quiet()
    threads = os.environ.get("TRAKORA_NUM_THREADS", str(os.cpu_count()))
    extent = (0.0, SIZE - 1.0, 0.0, SIZE - 1.0)
    timing_rows, error_rows = [], []
    for level, amplitude in NOISE_LEVELS.items():
        frame, centres = synthetic_frame(amplitude)
        thr = noise_threshold(frame)
        percentile = 100.0 * float(np.mean(frame < thr))

        def ours(method):
            return trakora.rs_detect_peaks(frame, extent, thr, MIN_DISTANCE, method, None, None)

        def skimage_peaks():
            return peak_local_max(frame, min_distance=MIN_DISTANCE, threshold_abs=thr)

        def trackpy_locate():
            return trackpy.locate(frame, diameter=7, preprocess=False, threshold=thr, percentile=percentile)

        t_find, t_max = paired_times(lambda: ours(None), frame.max)
        if "--floor" in sys.argv:
            print(f"{level}: peak finding {fmt_time(t_find)}, image.max() {fmt_time(t_max)}: "
                  f"{t_find / t_max:.2f}x its time")
            continue
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            t_skimage = median_time(skimage_peaks, repeats=5)
            t_rs = median_time(lambda: ours("radial_symmetry"), repeats=11)
            t_gf = median_time(lambda: ours("gaussian_fitting"), repeats=11)
            t_tp = median_time(trackpy_locate, repeats=3)
            tp = trackpy_locate()

        n_find, n_sk = len(ours(None)[1]), len(skimage_peaks())
        timing_rows += [
            [level, "rs_detect_peaks, no method", fmt_time(t_find), f"{n_find} peaks", "", ""],
            [level, "image.max()", fmt_time(t_max), "", f"{t_find / t_max:.2f}x its time", "<= 3x"],
            [level, "skimage peak_local_max", fmt_time(t_skimage), f"{n_sk} peaks",
             f"{t_skimage / t_find:.1f}x faster", ">= 5x"],
            [level, "rs_detect_peaks, radial_symmetry", fmt_time(t_rs), f"{len(ours('radial_symmetry')[1])} spots",
             f"{t_tp / t_rs:.1f}x faster than trackpy", ">= 10x"],
            [level, "rs_detect_peaks, gaussian_fitting", fmt_time(t_gf), f"{len(ours('gaussian_fitting')[1])} spots",
             f"{t_tp / t_gf:.1f}x faster than trackpy", ">= 10x"],
            [level, "trackpy.locate(diameter=7, preprocess=False)", fmt_time(t_tp), f"{len(tp)} spots", "", ""],
        ]
        results = {
            "integer peak (no method)": ours(None)[0],
            "radial_symmetry": ours("radial_symmetry")[0],
            "gaussian_fitting": ours("gaussian_fitting")[0],
            "trackpy": tp[["y", "x"]].to_numpy(),
        }
        for name, found in results.items():
            err, matched = rmse(found, centres)
            error_rows.append([level, name, f"{err:.3f}", f"{100 * matched:.1f}%"])

    if "--floor" in sys.argv:
        return
    print(f"2048 x 2048 float32, {SPOTS} spots, sigma {SIGMA} px, background {BACKGROUND:g}, "
          f"min_distance {MIN_DISTANCE}, threshold median + 5 sigma; {threads} threads\n")
    print(table(["Frame", "Call", "Median time", "Found", "Ratio", "Target"], timing_rows))
    print()
    print(table(["Frame", "Method", "RMSE (px)", "True spots matched within 1.5 px"], error_rows))


if __name__ == "__main__":
    main()
