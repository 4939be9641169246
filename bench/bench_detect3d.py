"""rs_detect_peaks3d on a synthetic 64 x 256 x 256 float32 volume with 1000 Gaussian spots and
noise: peak finding against skimage.feature.peak_local_max and volume.max(), each localization
method against trackpy.locate in 3D, the cost of the correlation stage, and the localization
error of both methods next to trackpy's.

Run: python bench/bench_detect3d.py            (peak finding against volume.max() only: --floor)
     python bench/bench_detect3d.py --realistic  (peak finding against volume.max() on camera-like
         data: Poisson background 100, 1000 spots of amplitude 200-1000, sigma 1-1.3 voxels
         laterally and 1-1.5 axially, threshold 6 noise sigma above the background; 1 and 2
         threads, each in its own process)
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

SHAPE = (64, 256, 256)
SPOTS = 1000
SIGMA = np.array([1.0, 1.5, 1.5])  # voxels, axis 0 first
AMPLITUDE, BACKGROUND, NOISE = 100.0, 10.0, 2.0
THRESHOLD, MIN_DISTANCE = 50.0, 3.0
EXTENT = (0.0, SHAPE[0] - 1.0, 0.0, SHAPE[1] - 1.0, 0.0, SHAPE[2] - 1.0)  # positions in voxels
MATCH_RADIUS = 1.5
REALISTIC_BACKGROUND = 100.0


def synthetic_volume(seed=1):
    rng = np.random.default_rng(seed)
    centres = []
    while len(centres) < SPOTS:  # at least 6 voxels apart, 4 voxels from every face
        c = rng.uniform(4, np.array(SHAPE) - 5)
        if not centres or np.min(np.sum((np.array(centres) - c) ** 2, axis=1)) > 36:
            centres.append(c)
    centres = np.array(centres)
    vol = np.full(SHAPE, BACKGROUND, np.float64)
    for c in centres:
        lo = np.maximum(np.floor(c - 4 * SIGMA).astype(int), 0)
        hi = np.minimum(np.ceil(c + 4 * SIGMA).astype(int) + 1, SHAPE)
        z, y, x = np.ogrid[lo[0]:hi[0], lo[1]:hi[1], lo[2]:hi[2]]
        r2 = ((z - c[0]) / SIGMA[0]) ** 2 + ((y - c[1]) / SIGMA[1]) ** 2 + ((x - c[2]) / SIGMA[2]) ** 2
        vol[lo[0]:hi[0], lo[1]:hi[1], lo[2]:hi[2]] += AMPLITUDE * np.exp(-r2 / 2)
    vol += rng.normal(0, NOISE, SHAPE)
    return vol.astype(np.float32), centres


def accuracy(found, truth):
    """RMSE (voxels) over true spots with a detection within MATCH_RADIUS, and the matched share."""
    dist, _ = cKDTree(found).query(truth) if len(found) else (np.full(len(truth), np.inf), None)
    matched = dist <= MATCH_RADIUS
    return float(np.sqrt(np.mean(dist[matched] ** 2))), matched.mean()


def realistic_floor():
    vol = realistic_spots(SHAPE, SPOTS, [(1.0, 1.5), (1.0, 1.3), (1.0, 1.3)], REALISTIC_BACKGROUND)
    thr = REALISTIC_BACKGROUND + 6.0 * np.sqrt(REALISTIC_BACKGROUND)

    def find():
        return trakora.rs_detect_peaks3d(vol, EXTENT, thr, MIN_DISTANCE, None, None, None, None, None)

    t_find, t_max = paired_times(find, vol.max)
    print(f"{len(find()[1])} peaks, {int(np.sum(vol >= thr))} voxels reach the threshold; peak finding "
          f"{fmt_time(t_find)}, volume.max() {fmt_time(t_max)}: {t_find / t_max:.2f}x its time (target <= 3x)")


def main():
    if "--realistic" in sys.argv:
        print(f"{SHAPE[0]} x {SHAPE[1]} x {SHAPE[2]} float32, Poisson background {REALISTIC_BACKGROUND:g}, "
              f"{SPOTS} spots")
        return in_fresh_interpreters(__file__, "--realistic-run")
    if "--realistic-run" in sys.argv:
        return realistic_floor()
    vol, truth = synthetic_volume()

    def ours(method=None, sigmas=None):
        return trakora.rs_detect_peaks3d(vol, EXTENT, THRESHOLD, MIN_DISTANCE, None, method, sigmas, None, None)

    def tp():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return trackpy.locate(vol, diameter=(5, 7, 7), preprocess=False)

    t_find, t_max = paired_times(ours, vol.max)
    if "--floor" in sys.argv:
        print(f"peak finding {fmt_time(t_find)}, volume.max() {fmt_time(t_max)}: {t_find / t_max:.2f}x its time")
        return
    trackpy.quiet()
    t_skimage = median_time(lambda: peak_local_max(vol, min_distance=1, threshold_abs=THRESHOLD), repeats=3)
    t_rs = median_time(lambda: ours("radial_symmetry"), repeats=7)
    t_gf = median_time(lambda: ours("gaussian_fitting"), repeats=7)
    t_trackpy = median_time(tp, repeats=3)
    sig = tuple(SIGMA)
    t_find_alone, t_find_corr = paired_times(ours, lambda: ours(sigmas=sig))
    t_rs_alone, t_rs_corr = paired_times(lambda: ours("radial_symmetry"), lambda: ours("radial_symmetry", sig),
                                         repeats=15)

    found = len(ours()[1])
    print(f"{SHAPE[0]}x{SHAPE[1]}x{SHAPE[2]} float32, {SPOTS} spots, {found} peaks found, "
          f"{trakora_threads()} threads\n")
    print(table(["stage", "trakora", "peer", "peer time", "ratio"], [
        ("peak finding", fmt_time(t_find), "skimage peak_local_max", fmt_time(t_skimage),
         f"{t_skimage / t_find:.0f}× faster"),
        ("peak finding", fmt_time(t_find), "volume.max()", fmt_time(t_max), f"{t_find / t_max:.2f}× its time"),
        ("radial symmetry", fmt_time(t_rs), "trackpy.locate", fmt_time(t_trackpy), f"{t_trackpy / t_rs:.0f}× faster"),
        ("Gaussian fitting", fmt_time(t_gf), "trackpy.locate", fmt_time(t_trackpy), f"{t_trackpy / t_gf:.0f}× faster"),
        ("peak finding + correlation", fmt_time(t_find_corr), "peak finding alone", fmt_time(t_find_alone),
         f"{100 * (t_find_corr / t_find_alone - 1):+.0f} %"),
        ("radial symmetry + correlation", fmt_time(t_rs_corr), "radial symmetry alone", fmt_time(t_rs_alone),
         f"{100 * (t_rs_corr / t_rs_alone - 1):+.0f} %"),
    ]))

    rows = []
    for name, positions in [("trakora, integer peaks", ours()[0]),
                            ("trakora, radial symmetry", ours("radial_symmetry")[0]),
                            ("trakora, Gaussian fitting", ours("gaussian_fitting")[0]),
                            ("trackpy.locate", tp()[["z", "y", "x"]].to_numpy())]:
        rmse, share = accuracy(positions, truth)
        rows.append((name, len(positions), f"{100 * share:.1f} %", f"{rmse:.3f}"))
    print()
    print(table(["localization", "detections", f"spots matched (≤ {MATCH_RADIUS} voxel)", "RMSE (voxels)"], rows))


def trakora_threads():
    return os.environ.get("TRAKORA_NUM_THREADS", os.cpu_count())


if __name__ == "__main__":
    main()
