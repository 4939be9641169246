"""`trakora ulm` against a NumPy/SciPy port of the usual ULM script, on one simulated
recording (1000 frames of 100 x 120 pixels, SNR 20 dB, tissue 30 dB over the bubbles, in
.mat blocks), in one run: wall time of each and the ratio, and both sets of scores.

The port does what the common ULM scripts do, block by block: np.linalg.svd of the block
with the same cut-off, the envelope, a Gaussian prefilter (scipy.ndimage), peaks as
skimage's peak_local_max finds them (maximum_filter), a Python loop over the peaks that
drops crowded windows and localizes by radial symmetry (Parthasarathy's formula on the same
anisotropic windows), then frame-pair Hungarian linking (scipy.optimize.linear_sum_assignment),
moving-average smoothing with speeds from the smoothed steps, and a count rendering (each
track once per pixel). Both read the same files and write their maps; BLAS runs on one
thread for both (OPENBLAS_NUM_THREADS=1), so that the load of a shared machine hits them alike.

    python bench/bench_ulm.py [--frames 1000] [--block 500]
"""
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import argparse
import contextlib
import io
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))

from trakora_workflow.cli import main as trakora_main                       # noqa: E402
from trakora_workflow.ulm import UlmParams, score_localizations, score_speeds, simulate_ulm, write_blocks  # noqa: E402
from trakora_workflow.ulm.scores import saturation_curve                     # noqa: E402


# ---------------------------------------------------------------- the NumPy/SciPy port

def radial_symmetry(window):
    """Parthasarathy's radial-symmetry centre (row, col) offsets from the window centre."""
    from scipy.ndimage import uniform_filter
    ny, nx = window.shape
    xm = np.arange(-(nx - 1) / 2 + 0.5, (nx - 1) / 2, 1.0)[None, :].repeat(ny - 1, 0)
    ym = np.arange(-(ny - 1) / 2 + 0.5, (ny - 1) / 2, 1.0)[:, None].repeat(nx - 1, 1)
    du = window[:-1, 1:] - window[1:, :-1]
    dv = window[:-1, :-1] - window[1:, 1:]
    fdu = uniform_filter(du, 3, mode="constant")
    fdv = uniform_filter(dv, 3, mode="constant")
    mag2 = fdu * fdu + fdv * fdv
    with np.errstate(divide="ignore", invalid="ignore"):
        m = -(fdv + fdu) / (fdu - fdv)
    bad = ~np.isfinite(m)
    m[bad] = 1e6 * np.where(np.isnan(m[bad]), 0, 1)
    b = ym - m * xm
    s = mag2.sum()
    if s <= 0:
        return None
    xc, yc = (mag2 * xm).sum() / s, (mag2 * ym).sum() / s
    w = mag2 / np.sqrt((xm - xc) ** 2 + (ym - yc) ** 2 + 1e-12)
    wm = w / (m * m + 1)
    sw, smmw, smw, smbw, sbw = wm.sum(), (m * m * wm).sum(), (m * wm).sum(), (m * b * wm).sum(), (b * wm).sum()
    det = smw * smw - smmw * sw
    if det == 0:
        return None
    return (smbw * smw - smmw * sbw) / det, (smbw * sw - smw * sbw) / det


def port(paths, p: UlmParams, cutoff, out_dir):
    import scipy.io
    from scipy.ndimage import gaussian_filter, maximum_filter
    from scipy.optimize import linear_sum_assignment
    hr, hc = p.half_window
    sr = p.spot_sigma[0] * p.wavelength / p.axial_pixel_size
    sc = p.spot_sigma[1] * p.wavelength / p.pixel_size
    locs, offset = [], 0
    for path in paths:
        iq = scipy.io.loadmat(path)["IQ"]                    # depth x lateral x frames
        rows, cols, frames = iq.shape
        x = iq.reshape(rows * cols, frames)
        u, s, vh = np.linalg.svd(x, full_matrices=False)
        x = x - (u[:, :cutoff] * s[:cutoff]) @ vh[:cutoff]
        env = np.abs(x).reshape(rows, cols, frames).transpose(2, 0, 1).astype(np.float32)
        smooth = gaussian_filter(env, (0, p.prefilter * sr, p.prefilter * sc))
        threshold = np.median(env) * 10 ** (p.threshold_db / 20)
        peaks = (smooth == maximum_filter(smooth, size=(1, 3, 3))) & (smooth >= threshold)
        peaks[:, [0, -1], :] = False
        peaks[:, :, [0, -1]] = False
        for f, r, c in zip(*np.nonzero(peaks)):
            top, left = max(0, r - hr), max(0, c - hc)
            others = peaks[f, top:r + hr + 1, left:c + hc + 1]
            if (smooth[f, top:r + hr + 1, left:c + hc + 1][others] >= p.crowd_ratio * smooth[f, r, c]).sum() > 1:
                continue
            win = env[f, top:r + hr + 1, left:c + hc + 1].astype(np.float64)
            off = radial_symmetry(win)
            if off is None:
                continue
            dr = top + (win.shape[0] - 1) / 2 + off[0] - r
            dc = left + (win.shape[1] - 1) / 2 + off[1] - c
            if abs(dr) > max(1, hr / 2) or abs(dc) > max(1, hc / 2):
                continue
            locs.append((offset + f, (c + dc) * p.pixel_size, (r + dr) * p.axial_pixel_size, env[f, r, c]))
        offset += frames
    locs = pd.DataFrame(locs, columns=["frame", "x", "z", "intensity"])
    # frame-pair Hungarian linking
    groups = locs.groupby("frame").indices
    track_of = np.full(len(locs), -1)
    next_track = 0
    xy = locs[["x", "z"]].to_numpy()
    for f in range(offset):
        cur = groups.get(f, np.zeros(0, int))
        for i in cur:
            if track_of[i] < 0:
                track_of[i] = next_track
                next_track += 1
        nxt = groups.get(f + 1)
        if nxt is None or len(cur) == 0:
            continue
        d = np.hypot(xy[cur, None, 0] - xy[None, nxt, 0], xy[cur, None, 1] - xy[None, nxt, 1])
        a, b = linear_sum_assignment(np.where(d <= p.max_distance, d, 1e9))
        for i, j in zip(a, b):
            if d[i, j] <= p.max_distance:
                track_of[nxt[j]] = track_of[cur[i]]
    locs["track"] = track_of
    tracks = []
    for t, g in locs.sort_values(["track", "frame"]).groupby("track"):
        if len(g) < p.min_length:
            continue
        k = np.ones(p.smooth_span) / p.smooth_span
        xs = np.convolve(np.pad(g.x.to_numpy(), p.smooth_span // 2, mode="edge"), k, "valid")
        zs = np.convolve(np.pad(g.z.to_numpy(), p.smooth_span // 2, mode="edge"), k, "valid")
        vx = np.gradient(xs) * p.frame_rate
        vz = np.gradient(zs) * p.frame_rate
        tracks.append(pd.DataFrame({"track": t, "frame": g.frame.to_numpy(), "x": xs, "z": zs, "vx": vx, "vz": vz,
                                    "speed": np.hypot(vx, vz)}))
    tracks = pd.concat(tracks, ignore_index=True)
    # count rendering, each track once per pixel, on the interpolated smoothed tracks
    g = p.grid
    nz, nx = int((rows - 1) * p.axial_pixel_size / g + 1e-9) + 1, int((cols - 1) * p.pixel_size / g + 1e-9) + 1
    density = np.zeros((nz, nx))
    for _, tr in tracks.groupby("track"):
        px, pz = tr.x.to_numpy(), tr.z.to_numpy()
        steps = np.maximum(1, np.ceil(np.hypot(np.diff(px), np.diff(pz)) / (g / 2))).astype(int)
        sx = np.concatenate([np.linspace(px[i], px[i + 1], n, endpoint=False) for i, n in enumerate(steps)] + [px[-1:]])
        sz = np.concatenate([np.linspace(pz[i], pz[i + 1], n, endpoint=False) for i, n in enumerate(steps)] + [pz[-1:]])
        ix, iz = np.rint(sx / g).astype(int), np.rint(sz / g).astype(int)
        ok = (ix >= 0) & (ix < nx) & (iz >= 0) & (iz < nz)
        cells = np.unique(iz[ok] * nx + ix[ok])
        np.add.at(density.reshape(-1), cells, 1)
    np.save(Path(out_dir) / "port_density.npy", density.astype(np.float32))
    return locs, tracks, density


# ---------------------------------------------------------------- the run

def scores(locs, tracks, sim, frames, shape, grid):
    s = score_localizations(locs, sim.truth, sim.wavelength)
    s.update(score_speeds(tracks, sim.truth, sim.wavelength))
    s["saturation"] = saturation_curve(tracks, sim.truth, frames, shape, grid)["vessel_fraction"][-1]
    return s


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=1000)
    ap.add_argument("--block", type=int, default=500, help="frames per block file (default: 500)")
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    sim = simulate_ulm(frames=args.frames, seed=args.seed)
    with tempfile.TemporaryDirectory() as tmp:
        paths = write_blocks(sim, Path(tmp) / "blocks", frames_per_block=args.block, fmt="mat")
        out = Path(tmp) / "out"
        # warm up: the imports and first calls of both, on a short recording, before timing
        warm = write_blocks(simulate_ulm(frames=40, seed=2), Path(tmp) / "warm", frames_per_block=20, fmt="mat")
        with contextlib.redirect_stdout(io.StringIO()):
            trakora_main(["ulm", *warm, "--wavelength", "0.1", "--pixel-size", str(sim.pixel_size),
                          "--frame-rate", "1000", "--out", str(Path(tmp) / "warm_out"), "--quiet", "--min-length", "3"])
        port(warm, UlmParams(wavelength=0.1, pixel_size=sim.pixel_size, frame_rate=1000.0, min_length=3).resolve(),
             3, tmp)
        argv = ["ulm", *paths, "--wavelength", "0.1", "--pixel-size", str(sim.pixel_size), "--frame-rate", "1000",
                "--out", str(out), "--quiet"]
        start = time.perf_counter()
        with contextlib.redirect_stdout(io.StringIO()):
            rc = trakora_main(argv)
        t_ours = time.perf_counter() - start
        assert rc == 0
        import json
        from trakora_workflow.ulm import run_ulm
        summary = json.loads((out / "summary.json").read_text())
        # the same pipeline from Python without writing the outputs (tables, maps, pictures)
        start = time.perf_counter()
        run_ulm(paths, UlmParams(wavelength=0.1, pixel_size=sim.pixel_size, frame_rate=1000.0))
        t_pipeline = time.perf_counter() - start
        ours_locs = pd.read_csv(out / "localizations.csv")
        ours_tracks = pd.read_csv(out / "tracks.csv")
        p = UlmParams(wavelength=0.1, pixel_size=sim.pixel_size, frame_rate=1000.0).resolve()
        cutoff = int(summary["svd_cutoff"][0])
        start = time.perf_counter()
        port_locs, port_tracks, _ = port(paths, p, cutoff, tmp)
        t_port = time.perf_counter() - start
    shape = tuple(summary["maps"]["shape"])
    so = scores(ours_locs, ours_tracks, sim, args.frames, shape, p.grid)
    sp = scores(port_locs, port_tracks, sim, args.frames, shape, p.grid)
    print(f"recording: {args.frames} frames of 100 x 120 pixels in blocks of {args.block} (.mat v5), "
          f"SVD cut-off {cutoff}")
    print(f"trakora ulm (whole command, outputs written): {t_ours:.2f} s")
    print(f"NumPy/SciPy port of the usual script:          {t_port:.2f} s")
    print(f"ratio port / trakora: {t_port / t_ours:.1f}x")
    print(f"trakora_workflow.ulm.run_ulm without writing outputs: {t_pipeline:.2f} s "
          f"(port / run_ulm: {t_port / t_pipeline:.1f}x)")
    rows = [("precision", "precision"), ("recall", "recall"), ("Jaccard", "jaccard"),
            ("RMSE (wavelengths)", "rmse_wavelengths"), ("median |speed error|", "median_abs_speed_error"),
            ("median speed error (signed)", "median_speed_error"), ("vessel pixels filled", "saturation"),
            ("localizations", "localizations")]
    print(f"| score | trakora ulm | NumPy/SciPy port |\n|---|---|---|")
    for label, key in rows:
        a, b = so[key], sp[key]
        f = (lambda v: f"{v:.3f}") if isinstance(a, float) else str
        print(f"| {label} | {f(a)} | {f(b)} |")


if __name__ == "__main__":
    main()
