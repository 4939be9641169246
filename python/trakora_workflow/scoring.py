"""Scores of a tracking result against ground truth.

Detections and true spots are matched one to one, frame by frame: pairs closer than the
matching radius are taken in order of increasing distance. Only true spots at least `margin`
pixels from every edge are scored, and only detections there count as false positives, so
that spots cut by the edge neither help nor hurt. Distances are in pixels (a plane of a
volume counts z_step / pixel_size pixels).
"""
from __future__ import annotations

import numpy as np
import pandas as pd

from .pipeline import TrackingResult


def match_points(truth: np.ndarray, found: np.ndarray, radius: float) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Greedy one-to-one matching by increasing distance; returns (truth index, found index,
    distance) of the matched pairs."""
    if len(truth) == 0 or len(found) == 0:
        empty = np.zeros(0, dtype=np.int64)
        return empty, empty, np.zeros(0)
    distance = np.sqrt(((truth[:, None, :] - found[None, :, :]) ** 2).sum(axis=2))
    ti, fi = np.nonzero(distance <= radius)
    order = np.argsort(distance[ti, fi], kind="stable")
    taken_t, taken_f = set(), set()
    pairs = []
    for k in order:
        t, f = int(ti[k]), int(fi[k])
        if t not in taken_t and f not in taken_f:
            taken_t.add(t)
            taken_f.add(f)
            pairs.append((t, f, distance[t, f]))
    if not pairs:
        empty = np.zeros(0, dtype=np.int64)
        return empty, empty, np.zeros(0)
    t, f, d = map(np.asarray, zip(*pairs))
    return t.astype(np.int64), f.astype(np.int64), d.astype(np.float64)


def score(result: TrackingResult, truth: pd.DataFrame, *, radius: float = 1.0,
          margin: float = 4.0) -> dict:
    """Detection Jaccard index, localization RMSE (pixels) and fraction of true links
    recovered, for a result and the ground truth of a simulated recording (pixel units,
    columns particle, frame, x, y(, z))."""
    ndim = result.ndim
    names = ["x", "y", "z"][:ndim]
    px = result.params.pixel_size
    scale = np.array([1.0, 1.0, result.params.z_step / px][:ndim])   # pixels per unit index
    size = np.array(result.frame_shape[::-1], dtype=np.float64)       # (x, y(, z)) lengths

    def interior(points_index):
        return ((points_index >= margin) & (points_index <= size - 1 - margin)).all(axis=1)

    tp = fp = fn = 0
    squared_errors = []
    matched: dict[tuple[int, int], tuple[int, int]] = {}   # (particle, frame) -> (frame, table row)
    by_frame = dict(tuple(truth.groupby("frame")))
    for frame, table in enumerate(result.tables):
        found_index = table[:, :ndim].astype(np.float64) / (px * scale)   # in index units
        rows = by_frame.get(frame)
        truth_index = rows[names].to_numpy(np.float64) if rows is not None else np.zeros((0, ndim))
        ti, fi, _ = match_points(truth_index * scale, found_index * scale, radius)
        truth_in = interior(truth_index)
        found_in = interior(found_index)
        keep = truth_in[ti]
        tp += int(keep.sum())
        fn += int(truth_in.sum() - keep.sum())
        unmatched = np.ones(len(found_index), dtype=bool)
        unmatched[fi] = False
        fp += int((unmatched & found_in).sum())
        diff = (truth_index[ti[keep]] - found_index[fi[keep]]) * scale
        squared_errors.append((diff ** 2).sum(axis=1))
        if rows is not None:
            particles = rows["particle"].to_numpy()
            for t, f in zip(ti, fi):
                matched[(int(particles[t]), frame)] = (frame, int(f))

    errors = np.concatenate(squared_errors) if squared_errors else np.zeros(0)
    position = {(int(f), int(r)): i for i, (f, r) in enumerate(zip(result.frames, result.rows))}
    track_of = result.track_ids

    ordered = truth.sort_values(["particle", "frame"])
    part = ordered["particle"].to_numpy()
    frame = ordered["frame"].to_numpy()
    inside = interior(ordered[names].to_numpy(np.float64))
    consecutive = (part[1:] == part[:-1]) & (frame[1:] == frame[:-1] + 1) & inside[1:] & inside[:-1]
    true_links = int(consecutive.sum())
    recovered = 0
    for k in np.flatnonzero(consecutive):
        a = matched.get((int(part[k]), int(frame[k])))
        b = matched.get((int(part[k + 1]), int(frame[k + 1])))
        if a is None or b is None:
            continue
        ia, ib = position.get(a), position.get(b)
        if ia is not None and ib == ia + 1 and track_of[ia] == track_of[ib]:
            recovered += 1

    return {
        "detections": int(sum(len(t) for t in result.tables)),
        "jaccard": tp / (tp + fp + fn) if (tp + fp + fn) else 1.0,
        "true_positives": tp,
        "false_positives": fp,
        "false_negatives": fn,
        "rmse_px": float(np.sqrt(errors.mean())) if len(errors) else float("nan"),
        "true_links": true_links,
        "links_recovered": recovered / true_links if true_links else float("nan"),
        "tracks": int(len(result.track_end_indices)),
    }
