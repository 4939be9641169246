"""rs_radial_symmetry_2d against a vectorised NumPy version of the same method, and against
the cost of the smallest possible NumPy call on the same window (window.sum()).

Run: python bench/bench_radial_symmetry2d.py
"""
import sys
from pathlib import Path

import numpy as np

import trakora

sys.path.insert(0, str(Path(__file__).parent))
from common import fmt_time, median_time, table  # noqa: E402


def box_mean(a):
    padded = np.pad(a, 1)
    out = np.zeros_like(a)
    for di in range(3):
        for dj in range(3):
            out += padded[di:di + a.shape[0], dj:dj + a.shape[1]]
    return out / np.float32(9)


def radial_symmetry_numpy(window):
    """The radial-symmetry centre, written as a NumPy user would (float32 throughout)."""
    w = window.astype(np.float32)
    h, wd = w.shape
    d1 = w[1:, :-1] - w[:-1, 1:]
    d2 = w[:-1, :-1] - w[1:, 1:]
    f1, f2 = box_mean(d1), box_mean(d2)
    r = (np.float32(0.5) - np.float32(h - 1) * np.float32(0.5)) + np.arange(h - 1, dtype=np.float32)[:, None]
    c = (np.float32(0.5) - np.float32(wd - 1) * np.float32(0.5)) + np.arange(wd - 1, dtype=np.float32)[None, :]
    r, c = np.broadcast_arrays(r, c)
    with np.errstate(divide="ignore", invalid="ignore"):
        m = -(f1 + f2) / (f1 - f2)
        m = np.where(np.isnan(m), (d1 + d2) / (d1 - d2), m)
    m = np.where(np.isnan(m), np.float32(0), m)
    m = np.where(np.isinf(m), np.float32(1e6), m).astype(np.float32)
    b = c - m * r
    g = f1 * f1 + f2 * f2
    s = g.sum() or np.float32(1)
    rc, cc = (g * r).sum() / s, (g * c).sum() / s
    e = np.maximum(np.sqrt((r - rc) ** 2 + (c - cc) ** 2), np.float32(1e-4))
    q = (g / e) / (m * m + 1)
    sw, smm, sm, smb, sb = q.sum(), (q * m * m).sum(), (q * m).sum(), (q * m * b).sum(), (q * b).sum()
    det = sm * sm - sw * smm
    if det == 0:
        raise ValueError("Radial symmetry localization failed")
    return float((sw * smb - sm * sb) / det), float((sm * smb - smm * sb) / det)


def spot(n, rng):
    y, x = np.mgrid[0:n, 0:n]
    cy, cx = (n - 1) / 2 + rng.uniform(-0.5, 0.5, 2)
    img = 100 * np.exp(-((y - cy) ** 2 + (x - cx) ** 2) / (2 * 1.5**2)) + 10
    return (img + rng.normal(0, 1, img.shape)).astype(np.float32)


def main():
    rng = np.random.default_rng(1)
    rows = []
    for n in (7, 15):
        w = spot(n, rng)
        ours_result = trakora.rs_radial_symmetry_2d(w)
        numpy_result = radial_symmetry_numpy(w)
        assert np.allclose(ours_result, numpy_result, atol=1e-3), (ours_result, numpy_result)
        ours = median_time(lambda: trakora.rs_radial_symmetry_2d(w), repeats=9, number=2000)
        reference = median_time(lambda: radial_symmetry_numpy(w), repeats=9, number=100)
        floor = median_time(lambda: w.sum(), repeats=9, number=2000)
        rows.append((f"{n}×{n}", fmt_time(ours), fmt_time(reference), f"{reference / ours:.0f}×",
                     fmt_time(floor), f"{ours / floor:.2f}"))
    print(table(["window", "rs_radial_symmetry_2d", "NumPy version", "speed-up",
                 "window.sum()", "ours / sum()"], rows))


if __name__ == "__main__":
    main()
