"""Challenge-style movies and the track-level scores of the 2012 particle tracking challenge.

`simulate_challenge` makes a movie like the challenge's: Gaussian spots on a Poisson
background, particles that appear and disappear during the movie, blinks of one or two
frames, and one of three kinds of motion:

    receptor     Brownian, a diffusion coefficient per particle
    vesicle      switching between Brownian and directed motion (a two-state Markov chain)
    microtubule  directed, 4-8 pixels per frame, the heading turning smoothly

SNR is the spot's peak intensity over the background noise: amplitude / sqrt(background).

`challenge_scores` compares estimated tracks with the truth as the challenge does: ground
truth tracks are paired one to one with estimated tracks (or with dummy tracks) so that the
summed track distance is least; the distance between two tracks sums, over every frame where
either of them has a point, min(||p - q||, gate), a missing point counting as the gate. From
the pairing:

    alpha = 1 - d(X, Y) / d(X, empty)
    beta  = (d(X, empty) - d(X, Y)) / (d(X, empty) + d(Y', empty))

with Y' the estimated tracks left unpaired. `alpha` ignores spurious tracks, `beta` pays for
them. A pair no better than the dummy track (an estimated track far from the true one in
every frame they share) is a tie and is left unpaired. Also the Jaccard index of points (true and estimated points matched one to one per
frame within the gate), of tracks (paired truth tracks over all tracks of both sets less the
pairs), and the localization RMSE of the matched points. Coordinates are in pixels: x the
column, y the row.
"""
from __future__ import annotations

import math

import numpy as np
import pandas as pd
from scipy.optimize import linear_sum_assignment
from scipy.sparse import coo_matrix
from scipy.sparse.csgraph import connected_components
from scipy.spatial import cKDTree

MOTIONS = ("receptor", "vesicle", "microtubule")
DENSITIES = {"low": 100, "medium": 500, "high": 1000}
SNRS = (1, 2, 4, 7)
GATE = 5.0


# --------------------------------------------------------------------------- simulation

def _steps(motion: str, rng: np.random.Generator, n: int, frames: int) -> np.ndarray:
    """Displacements (n, frames, 2) from frame t - 1 to frame t (step 0 is unused)."""
    if motion == "receptor":
        diffusion = rng.uniform(0.25, 1.5, n)                       # px^2 / frame
        return rng.normal(size=(n, frames, 2)) * np.sqrt(2.0 * diffusion)[:, None, None]
    if motion == "microtubule":
        speed = rng.uniform(4.0, 8.0, n)
        heading = rng.uniform(0, 2 * np.pi, n)[:, None] + np.cumsum(rng.normal(0.0, 0.1, (n, frames)), axis=1)
        speed_t = speed[:, None] * (1.0 + rng.normal(0.0, 0.05, (n, frames)))
        directed = np.stack([np.cos(heading), np.sin(heading)], axis=2) * speed_t[:, :, None]
        return directed + rng.normal(0.0, 0.2, (n, frames, 2))
    if motion == "vesicle":
        diffusion = rng.uniform(0.25, 1.0, n)
        speed = rng.uniform(2.0, 5.0, n)
        heading = rng.uniform(0, 2 * np.pi, n)[:, None] + np.cumsum(rng.normal(0.0, 0.15, (n, frames)), axis=1)
        # two-state chain: Brownian -> directed with 0.1 per frame, directed -> Brownian 0.15
        switch = rng.random((n, frames))
        state = np.zeros((n, frames), dtype=bool)
        current = rng.random(n) < 0.4
        for t in range(frames):
            current = np.where(current, switch[:, t] >= 0.15, switch[:, t] < 0.1)
            state[:, t] = current
        brownian = rng.normal(size=(n, frames, 2)) * np.sqrt(2.0 * diffusion)[:, None, None]
        directed = (np.stack([np.cos(heading), np.sin(heading)], axis=2) * speed[:, None, None]
                    + rng.normal(0.0, 0.3, (n, frames, 2)))
        return np.where(state[:, :, None], directed, brownian)
    raise ValueError(f"motion must be one of {', '.join(MOTIONS)}, got {motion!r}")


def _spots(shape: tuple[int, int], x: np.ndarray, y: np.ndarray, sigmas: np.ndarray, radius: int) -> np.ndarray:
    """Sum of unit-peak Gaussian spots centred at (x, y) (column, row), each drawn on the
    pixels within `radius` of its centre pixel."""
    height, width = shape
    offsets = np.arange(-radius, radius + 1)
    cols = np.rint(x).astype(np.int64)[:, None] + offsets[None, :]             # (n, k)
    rows = np.rint(y).astype(np.int64)[:, None] + offsets[None, :]
    gx = np.exp(-(cols - x[:, None]) ** 2 / (2.0 * sigmas[:, None] ** 2))
    gy = np.exp(-(rows - y[:, None]) ** 2 / (2.0 * sigmas[:, None] ** 2))
    value = gy[:, :, None] * gx[:, None, :]                                     # (n, k, k)
    r = np.broadcast_to(rows[:, :, None], value.shape)
    c = np.broadcast_to(cols[:, None, :], value.shape)
    inside = (r >= 0) & (r < height) & (c >= 0) & (c < width)
    flat = r[inside] * width + c[inside]
    return np.bincount(flat, weights=value[inside], minlength=height * width).reshape(height, width)


def _population(motion, rng, rate, frames, burn, shape, min_lifetime, mean_lifetime):
    """Positions (n, frames, 2) and presence (n, frames) of the particles born at `rate` per
    frame from frame -burn on that are present in some frame of the movie."""
    height, width = shape
    total = frames + burn
    birth = np.repeat(np.arange(total), rng.poisson(rate, total))
    n = len(birth)
    life = min_lifetime + rng.geometric(1.0 / (mean_lifetime - min_lifetime + 1.0), n) - 1
    steps = _steps(motion, rng, n, total)
    start = np.column_stack([rng.uniform(0, width - 1, n), rng.uniform(0, height - 1, n)])
    age = np.arange(total)[None, :] - birth[:, None]
    alive = (age >= 0) & (age < life[:, None])
    position = start[:, None, :] + np.cumsum(np.where((age > 0)[:, :, None], steps, 0.0), axis=1)
    inside = ((position[..., 0] >= 0) & (position[..., 0] <= width - 1)
              & (position[..., 1] >= 0) & (position[..., 1] <= height - 1))
    # present from birth until the lifetime ends or the particle first leaves the field
    present = (alive & (np.cumsum(alive & ~inside, axis=1) == 0))[:, burn:]
    keep = present.any(axis=1)
    return position[keep, burn:], present[keep]


def simulate_challenge(motion: str = "receptor", density: str | int = "low", snr: float = 4.0, *,
                       frames: int = 100, shape: tuple[int, int] = (512, 512), background: float = 10.0,
                       mean_lifetime: float = 30.0, min_lifetime: int = 3, blink_rate: float = 0.03,
                       sigma: tuple[float, float] = (1.0, 1.5), seed: int = 0) -> tuple[np.ndarray, pd.DataFrame]:
    """A challenge-style movie and its truth.

    `density` is "low", "medium", "high" (100, 500, 1000 particles per frame on a 512 x 512
    field) or a number of particles per frame; on another `shape` the count scales with the
    area, so that the spacing between particles stays that of the named density. Lifetimes
    are `min_lifetime` plus a geometric number of frames (mean `mean_lifetime` in all);
    births keep the count steady (particles that leave the field early are made up for) and
    particles present at the first frame are part way through their lives. A particle ends when its lifetime ends or when it leaves the field
    (it never comes back). A visible particle starts a blink with probability `blink_rate`
    per frame: it is not drawn for one or two frames. Spot sigmas are drawn from `sigma` per
    particle; the amplitude is snr * sqrt(background) for every spot.

    Returns the movie (frames, rows, columns) as uint16 counts and the truth: one row per
    particle and frame where it is present, columns particle, frame, x (column), y (row),
    visible (False during a blink), sorted by particle then frame.
    """
    if motion not in MOTIONS:
        raise ValueError(f"motion must be one of {', '.join(MOTIONS)}, got {motion!r}")
    per_frame = DENSITIES.get(density) if isinstance(density, str) else density
    if per_frame is None:
        raise ValueError(f"density must be one of {', '.join(DENSITIES)} or a count, got {density!r}")
    if frames < 1 or len(shape) != 2 or min(shape) < 8:
        raise ValueError("need at least one frame and a 2D shape of at least 8 x 8")
    if not (snr > 0 and background > 0 and mean_lifetime > min_lifetime >= 1):
        raise ValueError("snr and background must be positive and mean_lifetime > min_lifetime >= 1")
    rng = np.random.default_rng(seed)
    height, width = shape
    count = per_frame * (height * width) / (512 * 512)

    # Births start well before the first frame, so that the particles of the first frame
    # are part way through their lives as in the steady state; a pilot run measures how many
    # leave the field early and the birth rate is raised to make up for them.
    burn = int(math.ceil(4 * mean_lifetime))
    rate = count / mean_lifetime
    pilot = _population(motion, np.random.default_rng([seed, 1]), rate, frames, burn, shape,
                        min_lifetime, mean_lifetime)[1]
    mean_present = pilot.sum(axis=0).mean() if pilot.size else 0.0
    if mean_present > 0:
        rate *= count / mean_present
    position, present = _population(motion, rng, rate, frames, burn, shape, min_lifetime, mean_lifetime)
    n = len(present)

    # blinks of one or two frames, each after at least one visible frame
    begin = rng.random((n, frames)) < blink_rate
    length = rng.integers(1, 3, (n, frames))
    hidden = np.zeros((n, frames), dtype=bool)
    remaining = np.zeros(n, dtype=np.int64)
    shown = np.zeros(n, dtype=bool)                      # visible in the frame before
    for f in range(frames):
        remaining = np.where((remaining == 0) & shown & begin[:, f], length[:, f], remaining)
        hidden[:, f] = remaining > 0
        remaining = np.maximum(remaining - 1, 0)
        shown = present[:, f] & ~hidden[:, f]
    visible = present & ~hidden

    sigmas = rng.uniform(sigma[0], sigma[1], n)
    amplitude = snr * math.sqrt(background)
    radius = int(math.ceil(4.0 * sigma[1]))               # the spot's tail below 3e-4 of its peak
    movie = np.empty((frames, height, width), dtype=np.uint16)
    for f in range(frames):
        on = np.flatnonzero(visible[:, f])
        mean = background + amplitude * _spots(shape, position[on, f, 0], position[on, f, 1], sigmas[on], radius)
        movie[f] = np.minimum(rng.poisson(mean), 65535).astype(np.uint16)

    p, f = np.nonzero(present)                           # particle-major order
    truth = pd.DataFrame({"particle": p.astype(np.int64), "frame": f.astype(np.int64),
                          "x": position[p, f, 0], "y": position[p, f, 1], "visible": visible[p, f]})
    return movie, truth


# --------------------------------------------------------------------------- matching

def _max_weight_pairs(rows: np.ndarray, cols: np.ndarray, weight: np.ndarray, n_rows: int,
                      n_cols: int) -> np.ndarray:
    """Indices of the candidate edges (rows[k], cols[k]) that form a one-to-one matching of
    greatest total weight (weights > 0; rows and columns may stay unmatched). Solved exactly
    by `linear_sum_assignment` on each connected component of the candidate graph."""
    if len(rows) == 0:
        return np.zeros(0, dtype=np.int64)
    graph = coo_matrix((np.ones(len(rows)), (rows, n_rows + cols)), shape=(n_rows + n_cols,) * 2)
    _, label = connected_components(graph, directed=False)
    component = label[rows]
    order = np.argsort(component, kind="stable")
    bounds = np.flatnonzero(np.diff(component[order])) + 1
    chosen = []
    for group in np.split(order, bounds):
        if len(group) == 1:
            chosen.append(group)
            continue
        r, r_index = np.unique(rows[group], return_inverse=True)
        c, c_index = np.unique(cols[group], return_inverse=True)
        matrix = np.zeros((len(r), len(c)))
        edge = np.full((len(r), len(c)), -1, dtype=np.int64)
        matrix[r_index, c_index] = weight[group]
        edge[r_index, c_index] = group
        ri, ci = linear_sum_assignment(matrix, maximize=True)
        picked = edge[ri, ci]
        chosen.append(picked[picked >= 0])
    return np.concatenate(chosen)


def _near_pairs(a: np.ndarray, b: np.ndarray, gate: float) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Pairs of points of the same frame closer than `gate`: a and b are (frame, x, y) rows;
    returns (index in a, index in b, distance)."""
    if len(a) == 0 or len(b) == 0:
        empty = np.zeros(0, dtype=np.int64)
        return empty, empty, np.zeros(0)
    # frames laid far apart on a third axis: a pair within the gate is always of one frame
    spread = 4.0 * gate

    def lift(p):
        return np.column_stack([p[:, 1], p[:, 2], p[:, 0] * spread])
    near = cKDTree(lift(a)).sparse_distance_matrix(cKDTree(lift(b)), gate, output_type="ndarray")
    keep = near["v"] < gate
    return near["i"][keep].astype(np.int64), near["j"][keep].astype(np.int64), near["v"][keep]


def match_frame_points(truth: np.ndarray, found: np.ndarray, gate: float = GATE) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """One-to-one matching of points within each frame: as many pairs closer than `gate` as
    possible, and of those the least summed distance. Points are (frame, x, y) rows; returns
    (truth index, found index, distance)."""
    truth = np.asarray(truth, dtype=np.float64).reshape(-1, 3)
    found = np.asarray(found, dtype=np.float64).reshape(-1, 3)
    ti, fi, d = _near_pairs(truth, found, gate)
    # a pair more counts for more than any saving in distance
    weight = (len(ti) + 1.0) + (gate - d) / gate
    k = _max_weight_pairs(ti, fi, weight, len(truth), len(found))
    return ti[k], fi[k], d[k]


def _track_points(table: pd.DataFrame, track_column: str, name: str):
    """(track index per point, points as (frame, x, y), points per track) of a track table,
    with one point per track and frame."""
    if len(table) == 0:
        return np.zeros(0, dtype=np.int64), np.zeros((0, 3)), np.zeros(0, dtype=np.int64)
    ids, index = np.unique(table[track_column].to_numpy(), return_inverse=True)
    frame = table["frame"].to_numpy(np.int64)
    if pd.DataFrame({"t": index, "f": frame}).duplicated().any():
        raise ValueError(f"the {name} tracks have more than one point in a frame")
    points = np.column_stack([frame, table["x"].to_numpy(np.float64), table["y"].to_numpy(np.float64)])
    if not np.isfinite(points).all():
        raise ValueError(f"the {name} tracks have non-finite positions")
    return index.astype(np.int64), points, np.bincount(index, minlength=len(ids)).astype(np.int64)


def challenge_scores(truth: pd.DataFrame, tracks: pd.DataFrame, gate: float = GATE, *,
                     truth_column: str = "particle", track_column: str = "track",
                     visible_only: bool = True) -> dict:
    """The challenge's scores of estimated `tracks` (columns track, frame, x, y) against the
    `truth` (columns particle, frame, x, y and, used when `visible_only`, visible): alpha,
    beta, the Jaccard index of points and of tracks, the localization RMSE of the matched
    points (pixels), and the counts behind them."""
    if visible_only and "visible" in truth:
        truth = truth[truth["visible"].to_numpy(bool)]
    t_track, t_points, t_len = _track_points(truth, truth_column, "true")
    e_track, e_points, e_len = _track_points(tracks, track_column, "estimated")
    n_true, n_est = len(t_len), len(e_len)

    # The distance of a pair: gate * (|theta| + |omega|) less a saving of gate for every
    # frame both share and of gate - ||p - q|| for each shared frame where they are closer
    # than the gate. A pair without a point within the gate is never better than the dummy
    # track (gate * |theta|), so the candidates are the pairs with such a point.
    ti, ei, d = _near_pairs(t_points, e_points, gate)
    pair_key = t_track[ti] * max(n_est, 1) + e_track[ei]
    keys, inverse = np.unique(pair_key, return_inverse=True)
    close_saving = np.bincount(inverse, weights=gate - d, minlength=len(keys))
    a, b = keys // max(n_est, 1), keys % max(n_est, 1)
    shared = _shared_frames(a, b, t_track, t_points[:, 0], e_track, e_points[:, 0], n_est)
    # gain over pairing theta with its dummy track
    gain = gate * shared + close_saving - gate * e_len[b]
    good = gain > 1e-9 * gate
    a, b, gain = a[good], b[good], gain[good]
    chosen = _max_weight_pairs(a, b, gain, n_true, n_est)
    paired_true, paired_est = a[chosen], b[chosen]

    d_empty = gate * float(t_len.sum())
    d_xy = d_empty - float(gain[chosen].sum())
    unpaired = np.ones(n_est, dtype=bool)
    unpaired[paired_est] = False
    d_spurious = gate * float(e_len[unpaired].sum())

    mt, mf, md = match_frame_points(t_points, e_points, gate)
    tp_points = len(mt)
    n_true_points, n_est_points = len(t_points), len(e_points)
    point_union = n_true_points + n_est_points - tp_points
    track_union = n_true + n_est - len(chosen)
    return {
        "alpha": 1.0 - d_xy / d_empty if d_empty else float("nan"),
        "beta": (d_empty - d_xy) / (d_empty + d_spurious) if d_empty + d_spurious else float("nan"),
        "jaccard_points": tp_points / point_union if point_union else 1.0,
        "jaccard_tracks": len(chosen) / track_union if track_union else 1.0,
        "rmse": float(np.sqrt(np.mean(md ** 2))) if tp_points else float("nan"),
        "true_tracks": n_true,
        "estimated_tracks": n_est,
        "paired_tracks": int(len(chosen)),
        "true_points": n_true_points,
        "estimated_points": n_est_points,
        "matched_points": tp_points,
    }


def _shared_frames(a, b, t_track, t_frame, e_track, e_frame, n_est) -> np.ndarray:
    """For each pair (true track a[k], estimated track b[k]), the number of frames where both
    have a point."""
    if len(a) == 0:
        return np.zeros(0)
    e_order = np.argsort(e_track, kind="stable")
    e_start = np.searchsorted(e_track[e_order], np.arange(n_est + 1))
    length = e_start[b + 1] - e_start[b]
    pair = np.repeat(np.arange(len(a)), length)
    within = np.arange(len(pair)) - np.repeat(np.cumsum(length) - length, length)
    frame = e_frame[e_order][e_start[b][pair] + within].astype(np.int64)
    span = int(max(t_frame.max(), e_frame.max()) - min(t_frame.min(), e_frame.min())) + 1
    low = int(min(t_frame.min(), e_frame.min()))
    true_keys = np.sort(t_track.astype(np.int64) * span + (t_frame.astype(np.int64) - low))
    query = a[pair] * span + (frame - low)
    hit = np.searchsorted(true_keys, query)
    found = (hit < len(true_keys)) & (true_keys[np.minimum(hit, len(true_keys) - 1)] == query)
    return np.bincount(pair, weights=found, minlength=len(a))


def detection_jaccard(truth: pd.DataFrame, detections: pd.DataFrame, gate: float = GATE, *,
                      visible_only: bool = True) -> tuple[float, float]:
    """(Jaccard index, RMSE of the matched pairs) of detections (columns frame, x, y) against
    the visible true points, matched one to one per frame within `gate`."""
    if visible_only and "visible" in truth:
        truth = truth[truth["visible"].to_numpy(bool)]
    t = truth[["frame", "x", "y"]].to_numpy(np.float64)
    e = detections[["frame", "x", "y"]].to_numpy(np.float64)
    ti, _, d = match_frame_points(t, e, gate)
    union = len(t) + len(e) - len(ti)
    return (len(ti) / union if union else 1.0), (float(np.sqrt(np.mean(d ** 2))) if len(d) else float("nan"))
