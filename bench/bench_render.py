"""Rendering benchmark: the four rs_draw_tracks* functions against NumPy baselines.

Scenes: 20 000 Brownian tracks of 50 points in a 2048 x 2048 grid (2D) and in a 256^3 grid
(3D). The baselines are what a user would write: one line per segment (skimage.draw.line in
2D, skimage.draw.line_nd in 3D, end point excluded) accumulated with np.add.at, plain sums
with no trimming. A Python loop over a million segments takes minutes, so the baselines run on
the first BASELINE_TRACKS tracks and their time is extrapolated per segment to the full scene.

Peak memory of each trakora call is measured in a fresh subprocess on Linux (the peak RSS,
reset through /proc/self/clear_refs just before the call, minus the RSS before it) and
compared with the bound: the output arrays plus 16 bytes per visit.

    PYTHONPATH=build/<dir> python bench/bench_render.py [--repeats 3] [--baseline-tracks 500]
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

import trakora

N_TRACKS, N_POINTS = 20_000, 50


def scene(dim, size, seed=0):
    rng = np.random.default_rng(seed)
    start = rng.uniform(0, size, (N_TRACKS, 1, dim))
    steps = rng.normal(0, 2.0, (N_TRACKS, N_POINTS, dim))
    steps[:, 0] = 0
    pos = (start + steps.cumsum(axis=1)).reshape(-1, dim)
    intensity = rng.uniform(50, 150, (len(pos), 1))
    value = rng.uniform(0, 10, (len(pos), 1))
    matrix = np.hstack([pos, intensity, value]).astype(np.float32)
    ends = (np.arange(1, N_TRACKS + 1) * N_POINTS).astype(np.int32)
    return matrix, ends


def extent_of(dim, size):
    return (0.0, float(size)) * dim


CALLS = {
    ("2d", False): ("rs_draw_tracks", 3),
    ("2d", True): ("rs_draw_tracks_value", 4),
    ("3d", False): ("rs_draw_tracks_3d", 4),
    ("3d", True): ("rs_draw_tracks_value_3d", 5),
}


def columns(kind, with_value, matrix):
    """The point matrix of the function: coordinates, intensity (and value)."""
    return np.ascontiguousarray(matrix[:, :CALLS[(kind, with_value)][1]])


def call(kind, with_value, m, ends, size):
    dim = 2 if kind == "2d" else 3
    return getattr(trakora, CALLS[(kind, with_value)][0])(m, ends, extent_of(dim, size), 1.0)


# ---- baselines -------------------------------------------------------------------------------

def to_index(matrix, dim, size):
    # The same conversion as the module (pixel size 1, extent starting at 0): round half away.
    q = matrix[:, :dim].astype(np.float32)
    return (np.sign(q) * np.floor(np.abs(q) + 0.5)).astype(np.int64)


def baseline(kind, with_value, matrix, ends, size, n_tracks):
    """Plain sums (and intensity-weighted means) with one skimage line per segment."""
    from skimage.draw import line, line_nd

    dim = 2 if kind == "2d" else 3
    shape = (size,) * dim
    sums = np.zeros(shape, np.float32)
    counts = np.zeros(shape, np.uint32)
    weighted = np.zeros(shape, np.float32) if with_value else None
    matrix = matrix[: ends[n_tracks - 1]]
    idx = to_index(matrix, dim, size)
    inten = matrix[:, dim]
    val = matrix[:, dim + 1]
    segments = 0
    start = 0
    for e in ends[:n_tracks]:
        for r in range(start, e):
            a = idx[r]
            if r + 1 < e:
                b = idx[r + 1]
                if dim == 2:
                    rr, cc = line(a[0], a[1], b[0], b[1])
                    coords = [rr[:-1], cc[:-1]]
                else:
                    coords = list(line_nd(a, b, endpoint=False))
                n = len(coords[0])
                if n == 0:
                    continue
                segments += 1
                t = np.arange(n, dtype=np.float32) / np.float32(n)
                w = inten[r] * (1 - t) + t * inten[r + 1]
            else:
                coords = [np.array([c]) for c in a]
                w = np.array([inten[r]], np.float32)
                t = np.zeros(1, np.float32)
            keep = np.all([(c >= 0) & (c < size) for c in coords], axis=0)
            coords = tuple(c[keep] for c in coords)
            np.add.at(sums, coords, w[keep])
            np.add.at(counts, coords, 1)
            if with_value:
                v = val[r] * (1 - t) + t * (val[r + 1] if r + 1 < e else val[r])
                np.add.at(weighted, coords, (w * v)[keep])
        start = e
    if with_value:
        np.divide(weighted, sums, out=weighted, where=sums > 0)
    return segments


def median_time(fn, repeats):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return float(np.median(times))


# ---- peak memory in a subprocess ---------------------------------------------------------------

CHILD = r"""
import json, sys
import numpy as np
sys.path.insert(0, sys.argv[4])
from bench_render import call, columns
def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key + ":"))
matrix = np.load(sys.argv[1]); ends = np.load(sys.argv[2])
kind, with_value, size = sys.argv[3].split(",")
m = columns(kind, with_value == "1", matrix)
del matrix
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # reset the peak RSS (VmHWM) to the current RSS
before = status("VmRSS")
out = call(kind, with_value == "1", m, ends, int(size))
peak = status("VmHWM")
arrays = out[:-1]
print(json.dumps({"before": before, "peak": peak, "outputs": sum(a.nbytes for a in arrays),
                  "visits": int(arrays[-1].sum(dtype=np.uint64))}))
"""


def peak_memory(kind, with_value, matrix, ends, size):
    with tempfile.TemporaryDirectory() as tmp:
        mpath, epath = os.path.join(tmp, "m.npy"), os.path.join(tmp, "e.npy")
        np.save(mpath, matrix)
        np.save(epath, ends)
        here = os.path.dirname(os.path.abspath(__file__))
        out = subprocess.run([sys.executable, "-c", CHILD, mpath, epath, f"{kind},{int(with_value)},{size}", here],
                             check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--baseline-tracks", type=int, default=500)
    args = ap.parse_args()

    rows = []
    for kind, size in (("2d", 2048), ("3d", 256)):
        dim = 2 if kind == "2d" else 3
        matrix, ends = scene(dim, size)
        for with_value in (False, True):
            name = CALLS[(kind, with_value)][0]
            m = columns(kind, with_value, matrix)
            ours = median_time(lambda: call(kind, with_value, m, ends, size), args.repeats)
            t0 = time.perf_counter()
            segs = baseline(kind, with_value, matrix, ends, size, args.baseline_tracks)
            t_base = time.perf_counter() - t0
            total_segments = N_TRACKS * (N_POINTS - 1)
            base_full = t_base / max(segs, 1) * total_segments
            mem = peak_memory(kind, with_value, matrix, ends, size)
            used = mem["peak"] - mem["before"]
            bound = mem["outputs"] + 16 * mem["visits"]
            rows.append((name, f"{size}^{dim}", ours, base_full, base_full / ours, mem["visits"], used, bound))

    print(f"{N_TRACKS} tracks x {N_POINTS} points; baseline timed on {args.baseline_tracks} tracks and "
          f"extrapolated per segment; trakora: median of {args.repeats}.\n")
    print("| function | grid | trakora (s) | NumPy baseline (s, extrapolated) | speed-up | visits | "
          "peak memory (MB) | bound: outputs + 16 B/visit (MB) |")
    print("|---|---|---|---|---|---|---|---|")
    for name, grid, ours, base, ratio, visits, used, bound in rows:
        print(f"| `{name}` | {grid} | {ours:.3f} | {base:.1f} | {ratio:.0f}x | {visits:,} | "
              f"{used / 1e6:.0f} | {bound / 1e6:.0f} |")


if __name__ == "__main__":
    main()
