"""The usual ULM scores of a run against the simulator's truth.

Localizations are paired frame by frame with the truth (Hungarian assignment, pairs no
farther apart than wavelength / 2); a pair within wavelength / 4 is a hit. precision = hits
/ localizations, recall = hits / true bubbles, Jaccard = hits / (localizations + bubbles -
hits); the RMSE is over the hits (x and z errors together, per point). The speed error is
that of every smoothed track point against the speed of the true bubble it lies within
wavelength / 4 of (bubbles slower than a tenth of the fastest left out: a relative error
means little near a wall). The saturation curve is the fraction of the true vessels' map
pixels that the density map holds after each tenth of the frames.
"""
from __future__ import annotations

import numpy as np
import pandas as pd

__all__ = ["match_frames", "score_localizations", "score_speeds", "saturation_curve", "score_ulm"]


def match_frames(found: pd.DataFrame, truth: pd.DataFrame, max_distance: float):
    """(found index, truth index, distance) arrays of the frame-by-frame pairs."""
    from scipy.optimize import linear_sum_assignment
    fi, ti, dist = [], [], []
    if len(found) == 0 or len(truth) == 0:
        return np.zeros(0, np.int64), np.zeros(0, np.int64), np.zeros(0)
    fg = dict(tuple(found.groupby("frame").indices.items()))
    tg = truth.groupby("frame").indices
    fx, fz = found["x"].to_numpy(), found["z"].to_numpy()
    tx, tz = truth["x"].to_numpy(), truth["z"].to_numpy()
    for frame, trows in tg.items():
        frows = fg.get(frame)
        if frows is None:
            continue
        d = np.hypot(fx[frows, None] - tx[None, trows], fz[frows, None] - tz[None, trows])
        cost = np.where(d <= max_distance, d, 1e6 * max_distance + 1.0)
        r, c = linear_sum_assignment(cost)
        ok = d[r, c] <= max_distance
        fi.append(frows[r[ok]])
        ti.append(trows[c[ok]])
        dist.append(d[r[ok], c[ok]])
    if not fi:
        return np.zeros(0, np.int64), np.zeros(0, np.int64), np.zeros(0)
    return np.concatenate(fi), np.concatenate(ti), np.concatenate(dist)


def score_localizations(found: pd.DataFrame, truth: pd.DataFrame, wavelength: float) -> dict:
    _, _, d = match_frames(found, truth, wavelength / 2)
    hits = d[d <= wavelength / 4]
    n_hit, n_found, n_true = len(hits), len(found), len(truth)
    return {
        "localizations": n_found, "true_bubbles": n_true, "pairs": int(len(d)), "hits": n_hit,
        "precision": n_hit / n_found if n_found else 0.0,
        "recall": n_hit / n_true if n_true else 0.0,
        "jaccard": n_hit / (n_found + n_true - n_hit) if (n_found + n_true - n_hit) else 0.0,
        "rmse": float(np.sqrt(np.mean(hits ** 2))) if n_hit else None,
        "rmse_wavelengths": float(np.sqrt(np.mean(hits ** 2)) / wavelength) if n_hit else None,
    }


def score_speeds(tracks: pd.DataFrame, truth: pd.DataFrame, wavelength: float) -> dict:
    fi, ti, _ = match_frames(tracks, truth, wavelength / 4)
    if len(fi) == 0:
        return {"matched_points": 0, "median_abs_speed_error": None, "median_speed_error": None}
    true_speed = np.hypot(truth["vx"].to_numpy(), truth["vz"].to_numpy())
    fast = true_speed[ti] >= 0.1 * true_speed.max()
    est = tracks["speed"].to_numpy()[fi][fast]
    ref = true_speed[ti][fast]
    rel = (est - ref) / ref
    return {"matched_points": int(fast.sum()), "median_abs_speed_error": float(np.median(np.abs(rel))),
            "median_speed_error": float(np.median(rel))}


def vessel_mask(truth: pd.DataFrame, shape: tuple[int, int], grid: float) -> np.ndarray:
    """Map pixels that true bubble positions visit."""
    ix = np.rint(truth["x"].to_numpy() / grid).astype(np.int64)
    iz = np.rint(truth["z"].to_numpy() / grid).astype(np.int64)
    ok = (ix >= 0) & (ix < shape[1]) & (iz >= 0) & (iz < shape[0])
    mask = np.zeros(shape, bool)
    mask[iz[ok], ix[ok]] = True
    return mask


def saturation_curve(tracks: pd.DataFrame, truth: pd.DataFrame, frames: int, shape: tuple[int, int],
                     grid: float, steps: int = 10) -> dict:
    from .pipeline import track_visits
    mask = vessel_mask(truth, shape, grid)
    out_frames, filled = [], []
    for k in range(1, steps + 1):
        upto = int(round(frames * k / steps))
        _, pixel, _, _ = track_visits(tracks[tracks["frame"] < upto], shape, grid)
        seen = np.zeros(shape[0] * shape[1], bool)
        seen[pixel] = True
        out_frames.append(upto)
        filled.append(float((seen.reshape(shape) & mask).sum() / max(1, mask.sum())))
    return {"frames": out_frames, "vessel_fraction": filled}


def score_ulm(result, truth: pd.DataFrame, wavelength: float) -> dict:
    """All the scores of a `UlmResult` against the simulator's truth."""
    scores = score_localizations(result.localizations, truth, wavelength)
    scores.update(score_speeds(result.tracks, truth, wavelength))
    scores["saturation"] = saturation_curve(result.tracks, truth, result.frames, result.maps.density.shape,
                                            result.maps.grid)
    return scores
