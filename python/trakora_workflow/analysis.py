"""Analysis of linked tracks: track filtering, drift, mean squared displacement, diffusion
coefficient and speeds.

Every function takes a tracks table as `TrackingResult.table()` returns it: one row per track
point with columns track, frame, x, y (and z for volumes; a table is 3-D exactly when it has a
"z" column), positions in physical units. Rows may come in any order. Within a track frames
must strictly increase but may skip frames (a frame gap g > 1 between consecutive points).

Everything is vectorized over the rows (sorting, shifted arrays, `np.bincount`); nothing loops
over tracks in Python, so tables of millions of points are fine. Lags are counted in frames,
never in rows: with skipped frames, two points of a track form a lag-L pair when their frames
differ by L.
"""
from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import pandas as pd

__all__ = ["Analysis", "analyze", "compute_drift", "ensemble_msd", "filter_tracks",
           "fit_power_law", "long_tracks", "msd", "step_speeds", "subtract_drift", "track_speeds"]


# --------------------------------------------------------------------------- table helpers

def _axes(table: pd.DataFrame) -> list[str]:
    return ["x", "y", "z"] if "z" in table.columns else ["x", "y"]


def _check(table: pd.DataFrame, needed: tuple[str, ...] = ("track", "frame")) -> None:
    missing = [c for c in (*needed, "x", "y") if c not in table.columns]
    if missing:
        raise ValueError(f"the tracks table lacks the column(s) {', '.join(missing)}: "
                         "pass a table with track, frame, x, y (and z), as TrackingResult.table() gives")


@dataclass
class _Sorted:
    """A tracks table as arrays sorted by (track, frame)."""

    order: np.ndarray      # row positions of the table in sorted order
    track: np.ndarray      # track id per sorted row
    frame: np.ndarray      # int64 frame per sorted row
    pos: np.ndarray        # float64 (n, ndim) positions per sorted row
    starts: np.ndarray     # index of the first sorted row of every track
    code: np.ndarray       # 0-based track number per sorted row

    @property
    def n_tracks(self) -> int:
        return len(self.starts)


def _sorted(table: pd.DataFrame) -> _Sorted:
    _check(table)
    track = table["track"].to_numpy()
    frame = table["frame"].to_numpy()
    if len(frame) and not np.issubdtype(frame.dtype, np.integer):
        if not np.all(np.isfinite(frame)) or np.any(frame != np.round(frame)):
            raise ValueError("the tracks table has non-integer frame numbers: frames must be whole numbers")
    frame = frame.astype(np.int64)
    n = len(track)
    presorted = n < 2 or bool(np.all((track[1:] > track[:-1])
                                     | ((track[1:] == track[:-1]) & (frame[1:] > frame[:-1]))))
    pos = table[_axes(table)].to_numpy(dtype=np.float64)
    if presorted:
        order = np.arange(n)
    else:
        order = np.lexsort((frame, track))
        track, frame, pos = track[order], frame[order], pos[order]
    new = np.ones(n, dtype=bool)
    new[1:] = track[1:] != track[:-1]
    if n > 1 and np.any(~new[1:] & (frame[1:] <= frame[:-1])):
        raise ValueError("a track of the tracks table has two points in the same frame: "
                         "each track must visit a frame at most once")
    starts = np.flatnonzero(new)
    code = np.cumsum(new) - 1
    return _Sorted(order=order, track=track, frame=frame, pos=pos, starts=starts, code=code)


def _steps(s: _Sorted) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Steps between consecutive points of the same track: (index of the first point,
    frame gap, displacement (m, ndim))."""
    if len(s.frame) < 2:
        return np.zeros(0, dtype=np.int64), np.zeros(0, dtype=np.int64), np.zeros((0, s.pos.shape[1]))
    first = np.flatnonzero(s.code[1:] == s.code[:-1])
    return first, s.frame[first + 1] - s.frame[first], s.pos[first + 1] - s.pos[first]


# --------------------------------------------------------------------------- filtering

def long_tracks(lengths: np.ndarray, min_length: int | None) -> np.ndarray:
    """Which of the tracks of these lengths (points) are kept: those of at least `min_length`
    points (all when `min_length` is None or <= 1)."""
    lengths = np.asarray(lengths)
    if min_length is None or min_length <= 1:
        return np.ones(lengths.shape, dtype=bool)
    return lengths >= min_length


def filter_tracks(table: pd.DataFrame, min_length: int | None) -> pd.DataFrame:
    """The rows of tracks with at least `min_length` points (all rows when `min_length` is
    None or <= 1), in the original order."""
    if min_length is None or min_length <= 1:
        return table.copy()
    _check(table, ("track",))
    sizes = table.groupby("track", sort=False)["track"].transform("size").to_numpy()
    return table[long_tracks(sizes, min_length)].copy()


# --------------------------------------------------------------------------- drift

def compute_drift(table: pd.DataFrame) -> pd.DataFrame:
    """Cumulative drift of the ensemble, per frame.

    Every step between consecutive points of a track that spans g frames (from frame f to
    f + g) contributes its displacement / g to each of the g frame transitions f -> f+1, ...,
    f+g-1 -> f+g. The drift velocity of a transition is the mean of the contributions of all
    steps spanning it; a transition that no step spans has zero drift. The drift of a frame is
    the sum of the velocities of the transitions before it, so it is 0 at the first frame.
    Only steps within tracks are used, so particles entering or leaving the field do not bias
    the estimate.

    Returns a DataFrame indexed by every frame from the first to the last frame of the table
    (index name "frame"), with one column per axis (x, y(, z)) in the units of the table.
    """
    return _drift(_sorted(table), _axes(table))


def _drift(s: _Sorted, axes: list[str]) -> pd.DataFrame:
    if len(s.frame) == 0:
        return pd.DataFrame({a: np.zeros(0) for a in axes}, index=pd.Index([], dtype=np.int64, name="frame"))
    f0, f1 = int(s.frame.min()), int(s.frame.max())
    transitions = f1 - f0
    first, gap, disp = _steps(s)
    begin = s.frame[first] - f0                  # first transition covered by each step
    end = begin + gap                            # one past the last transition covered
    # Difference arrays: +value at the first covered transition, -value one past the last.
    count = np.bincount(begin, minlength=transitions + 1) - np.bincount(end, minlength=transitions + 1)
    count = np.cumsum(count)[:transitions]
    drift = np.zeros((transitions + 1, len(axes)))
    per_frame = disp / gap[:, None]
    for k in range(len(axes)):
        total = (np.bincount(begin, per_frame[:, k], minlength=transitions + 1)
                 - np.bincount(end, per_frame[:, k], minlength=transitions + 1))
        total = np.cumsum(total)[:transitions]
        velocity = np.divide(total, count, out=np.zeros(transitions), where=count > 0)
        drift[1:, k] = np.cumsum(velocity)
    return pd.DataFrame(drift, columns=axes,
                        index=pd.RangeIndex(f0, f1 + 1, name="frame"))


def subtract_drift(table: pd.DataFrame, drift: pd.DataFrame) -> pd.DataFrame:
    """A copy of `table` with every position minus the drift of its frame (positions become
    float64). Every frame of the table must be in the index of `drift`."""
    _check(table, ("frame",))
    axes = _axes(table)
    missing_axes = [a for a in axes if a not in drift.columns]
    if missing_axes:
        raise ValueError(f"the drift lacks the column(s) {', '.join(missing_axes)} of the tracks table: "
                         "compute it with compute_drift on a table of the same dimensionality")
    where = drift.index.get_indexer(table["frame"].to_numpy())
    if np.any(where < 0):
        bad = table["frame"].to_numpy()[where < 0][0]
        raise ValueError(f"frame {bad} of the tracks table is not in the drift's frames "
                         f"({drift.index.min()}..{drift.index.max()}): compute the drift from this table")
    out = table.copy()
    values = drift[axes].to_numpy(dtype=np.float64)[where]
    for k, a in enumerate(axes):
        out[a] = table[a].to_numpy(dtype=np.float64) - values[:, k]
    return out


# --------------------------------------------------------------------------- MSD

def _lag_pairs(s: _Sorted, max_lag: int):
    """For every row offset k = 1..max_lag, over the rows i < n - k: (frame lag of rows i and
    i + k, with 0 where they are in different tracks or more than `max_lag` frames apart;
    their squared displacement). Frames strictly increase within a track, so a frame lag L
    needs a row offset k <= L and offsets up to max_lag find every pair."""
    n = len(s.frame)
    columns = [np.ascontiguousarray(s.pos[:, a]) for a in range(s.pos.shape[1])]
    # Buffers reused for every offset (the yielded arrays are views into them).
    same_buf, lag_buf = np.empty(n, dtype=bool), np.empty(n, dtype=np.int64)
    sq_buf, d_buf = np.empty(n), np.empty(n)
    for k in range(1, min(max_lag, n - 1) + 1):
        m = n - k
        same = np.equal(s.code[k:], s.code[:-k], out=same_buf[:m])
        if not same.any():
            return                  # no track has k + 1 points: larger offsets pair nothing
        lag = np.subtract(s.frame[k:], s.frame[:-k], out=lag_buf[:m])
        lag[~same | (lag > max_lag)] = 0
        sq, d = sq_buf[:m], d_buf[:m]
        sq[:] = 0.0
        for c in columns:
            np.subtract(c[k:], c[:-k], out=d)
            np.multiply(d, d, out=d)
            sq += d
        yield lag, sq


def _check_lag(max_lag) -> int:
    if max_lag is None or int(max_lag) != max_lag or max_lag < 1:
        raise ValueError(f"max_lag must be a whole number of frames >= 1, got {max_lag!r}")
    return int(max_lag)


def msd(table: pd.DataFrame, max_lag: int, frame_interval: float) -> pd.DataFrame:
    """Mean squared displacement of every track at every frame lag 1..`max_lag` it has pairs
    for: columns track, lag (frames), lag_time (lag * frame_interval), msd (mean squared
    displacement, units of the table squared), count (pairs averaged). Pairs of one track
    overlap (every pair of points with that frame difference counts)."""
    max_lag = _check_lag(max_lag)
    s = _sorted(table)
    # One slot per track and lag that the track can reach: a track spanning S frames has
    # lags 1..min(S, max_lag), so the slots take at most the room of the pairs themselves.
    span = np.zeros(s.n_tracks, dtype=np.int64)
    if len(s.frame):
        ends = np.append(s.starts[1:], len(s.frame)) - 1
        span = np.minimum(s.frame[ends] - s.frame[s.starts], max_lag)
    offset = np.concatenate([[0], np.cumsum(span)])
    slots = int(offset[-1])
    total = np.zeros(slots)
    count = np.zeros(slots, dtype=np.int64)
    base = offset[s.code] - 1 if len(s.frame) else np.zeros(0, dtype=np.int64)
    for lag, sq in _lag_pairs(s, max_lag):
        k = len(s.frame) - len(lag)
        slot = np.where(lag > 0, base[:-k] + lag, slots)     # pairs that do not count: slot `slots`
        total += np.bincount(slot, sq, minlength=slots + 1)[:slots]
        count += np.bincount(slot, minlength=slots + 1)[:slots]
    slot_track = np.repeat(np.arange(s.n_tracks), span)
    slot_lag = np.arange(slots) - offset[slot_track] + 1
    used = count > 0
    lag = slot_lag[used]
    return pd.DataFrame({
        "track": s.track[s.starts][slot_track[used]] if s.n_tracks else s.track[:0],
        "lag": lag,
        "lag_time": lag * float(frame_interval),
        "msd": total[used] / count[used],
        "count": count[used],
    })


def ensemble_msd(table: pd.DataFrame, max_lag: int, frame_interval: float) -> pd.DataFrame:
    """Ensemble mean squared displacement at every frame lag 1..`max_lag`: the mean over all
    pairs of points of any track whose frames differ by the lag (each pair counts once, so
    long tracks weigh more). Columns lag, lag_time, msd (NaN where count is 0), count."""
    return _ensemble_msd(_sorted(table), _check_lag(max_lag), frame_interval)


def _ensemble_msd(s: _Sorted, max_lag: int, frame_interval: float) -> pd.DataFrame:
    total = np.zeros(max_lag + 1)
    count = np.zeros(max_lag + 1, dtype=np.int64)
    for lag, sq in _lag_pairs(s, max_lag):
        total += np.bincount(lag, sq, minlength=max_lag + 1)    # bin 0 collects non-pairs
        count += np.bincount(lag, minlength=max_lag + 1)
    lag = np.arange(1, max_lag + 1)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = np.where(count[1:] > 0, total[1:] / np.maximum(count[1:], 1), np.nan)
    return pd.DataFrame({"lag": lag, "lag_time": lag * float(frame_interval), "msd": mean,
                         "count": count[1:]})


def fit_power_law(emsd: pd.DataFrame, ndim: int, max_lag: int = 10) -> dict:
    """Least-squares fit of MSD = A * t^n on log-log axes (log MSD = log A + n log t).

    Uses the first `max_lag` rows of `emsd` (in order of lag) that have count > 0 and a
    finite msd > 0. Returns {"A", "n", "D", "lags_used"} with D = A / (2 * ndim), the
    diffusion coefficient when the motion is Brownian (n close to 1); A, n and D are NaN when
    fewer than two distinct lags are usable.
    """
    nan = {"A": math.nan, "n": math.nan, "D": math.nan, "lags_used": 0}
    if emsd is None or len(emsd) == 0:
        return nan
    rows = emsd.sort_values("lag")
    t = rows["lag_time"].to_numpy(dtype=np.float64)
    m = rows["msd"].to_numpy(dtype=np.float64)
    c = rows["count"].to_numpy() if "count" in rows.columns else np.ones(len(rows))
    ok = (c > 0) & np.isfinite(m) & (m > 0) & np.isfinite(t) & (t > 0)
    t, m = t[ok][:max(int(max_lag), 0)], m[ok][:max(int(max_lag), 0)]
    if len(np.unique(t)) < 2:
        return {**nan, "lags_used": int(len(t))}
    n, log_a = np.polyfit(np.log(t), np.log(m), 1)
    a = float(np.exp(log_a))
    return {"A": a, "n": float(n), "D": a / (2.0 * ndim), "lags_used": int(len(t))}


# --------------------------------------------------------------------------- speeds

def track_speeds(table: pd.DataFrame, frame_interval: float) -> pd.DataFrame:
    """Per track: track, length (points), duration ((last frame - first frame) *
    frame_interval), net_speed (|last position - first position| / duration) and
    mean_step_speed (mean over the track's steps of distance / (frame gap * frame_interval)).
    Speeds are NaN for single-point tracks."""
    return _track_speeds(_sorted(table), frame_interval)


def step_speeds_of(displacement: np.ndarray, gap: np.ndarray, frame_interval: float) -> np.ndarray:
    """Speed of each step: |displacement| / (frame gap * frame_interval)."""
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.linalg.norm(displacement, axis=1) / (gap * float(frame_interval))


def step_speeds(coords: np.ndarray, frames: np.ndarray, frame_interval: float) -> np.ndarray:
    """Step speeds between consecutive rows of a position array (n, ndim) whose frames are
    `frames` (n - 1 values; the steps across tracks are for the caller to drop)."""
    return step_speeds_of(np.diff(coords, axis=0), np.diff(frames), frame_interval)


def _track_speeds(s: _Sorted, frame_interval: float) -> pd.DataFrame:
    n_tracks = s.n_tracks
    if n_tracks == 0:
        return pd.DataFrame({"track": s.track[:0], "length": np.zeros(0, dtype=np.int64),
                             "duration": np.zeros(0), "net_speed": np.zeros(0),
                             "mean_step_speed": np.zeros(0)})
    ends = np.append(s.starts[1:], len(s.frame)) - 1
    length = ends - s.starts + 1
    duration = (s.frame[ends] - s.frame[s.starts]) * float(frame_interval)
    net = np.linalg.norm(s.pos[ends] - s.pos[s.starts], axis=1)
    first, gap, disp = _steps(s)
    step_speed = step_speeds_of(disp, gap, frame_interval)
    owner = s.code[first]
    steps = np.bincount(owner, minlength=n_tracks)
    with np.errstate(invalid="ignore", divide="ignore"):
        net_speed = np.where(length > 1, net / duration, np.nan)
        mean_step = np.where(steps > 0, np.bincount(owner, step_speed, minlength=n_tracks) / steps, np.nan)
    return pd.DataFrame({"track": s.track[s.starts], "length": length, "duration": duration,
                         "net_speed": net_speed, "mean_step_speed": mean_step})


# --------------------------------------------------------------------------- all together

def _json_number(value):
    if value is None:
        return None
    value = float(value)
    return value if math.isfinite(value) else None


@dataclass
class Analysis:
    """Results of `analyze`.

    `table`: the analysed tracks (filtered, drift subtracted when asked, sorted by track and
    frame); `drift`: the
    cumulative drift per frame that was subtracted, or None; `emsd`: the ensemble MSD;
    `fit`: the power-law fit of the ensemble MSD; `speeds`: per-track speeds.
    """

    table: pd.DataFrame
    drift: pd.DataFrame | None
    emsd: pd.DataFrame
    fit: dict
    speeds: pd.DataFrame
    ndim: int
    frame_interval: float
    space_unit: str = "px"
    time_unit: str = "frame"

    @property
    def diffusive(self) -> bool | None:
        """Whether the MSD exponent n lies in DIFFUSIVE_EXPONENTS, so that D means something;
        None without a fit."""
        n = self.fit["n"]
        if not math.isfinite(n):
            return None
        low, high = DIFFUSIVE_EXPONENTS
        return bool(low <= n <= high)

    def warnings(self) -> list[str]:
        """A line when D means nothing: the motion is not diffusive."""
        if self.diffusive is False:
            return [f"motion is not diffusive (MSD exponent n = {self.fit['n']:.2f}, outside "
                    f"{DIFFUSIVE_EXPONENTS[0]}-{DIFFUSIVE_EXPONENTS[1]}): D is not meaningful; directed or "
                    "flowing particles give n near 2, confined ones below 1, mixtures in between"]
        return []

    def summary(self) -> dict:
        """JSON-ready summary (non-finite numbers become None)."""
        space, time = self.space_unit, self.time_unit
        e = self.emsd
        drift = None
        if self.drift is not None:
            total = self.drift.iloc[-1].tolist() if len(self.drift) else [0.0] * self.ndim
            drift = {"total": [_json_number(v) for v in total], "axes": list(self.drift.columns),
                     "units": space}
        net = self.speeds["net_speed"].to_numpy(dtype=np.float64)
        step = self.speeds["mean_step_speed"].to_numpy(dtype=np.float64)
        net, step = net[np.isfinite(net)], step[np.isfinite(step)]
        return {
            "msd": {
                "lag_time": [_json_number(v) for v in e["lag_time"]],
                "msd": [_json_number(v) for v in e["msd"]],
                "count": [int(v) for v in e["count"]],
                "A": _json_number(self.fit["A"]),
                "n": _json_number(self.fit["n"]),
                "D": _json_number(self.fit["D"]),
                "lags_used": int(self.fit["lags_used"]),
                "units": {"msd": f"{space}²", "lag_time": time, "D": f"{space}²/{time}"},
            },
            "diffusive": self.diffusive,
            "drift": drift,
            "tracks_kept": int(len(self.speeds)),
            "mean_net_speed": _json_number(net.mean()) if len(net) else None,
            "median_step_speed": _json_number(np.median(step)) if len(step) else None,
            "speed_unit": f"{space}/{time}",
        }


DIFFUSIVE_EXPONENTS = (0.8, 1.2)     # MSD exponents for which a diffusion coefficient means something
INDEPENDENT_STEPS = 30               # non-overlapping displacements a lag needs to be shown


def _sampled_lags(s: _Sorted) -> int:
    """The largest lag (at most 100 and the frames spanned - 1) at which the tracks hold
    INDEPENDENT_STEPS non-overlapping displacements: a track spanning S frames gives
    (S - 1) // L of them at lag L. Longer lags rest on too few samples to show. At least two
    lags where the frames allow, so that a power law can be fitted."""
    if len(s.frame) == 0:
        return 1
    spanned = int(s.frame.max() - s.frame.min()) + 1
    limit = max(1, min(100, spanned - 1))
    ends = np.append(s.starts[1:], len(s.frame)) - 1
    spans = (s.frame[ends] - s.frame[s.starts]).astype(np.int64)
    lags = np.arange(1, limit + 1)
    independent = (spans[None, :] // lags[:, None]).sum(axis=1)
    enough = np.flatnonzero(independent >= INDEPENDENT_STEPS)
    return max(min(2, limit), int(lags[enough[-1]]) if len(enough) else 1)


def analyze(table: pd.DataFrame, *, ndim: int | None = None, frame_interval: float = 1.0,
            min_length: int | None = None, drift: bool = False, max_lag: int | None = None,
            fit_lags: int = 10, space_unit: str = "px", time_unit: str = "frame") -> Analysis:
    """Filter the tracks, optionally subtract the ensemble drift, then compute the ensemble
    MSD up to `max_lag` frames (default: the longest lag, at most 100, that the tracks sample
    with INDEPENDENT_STEPS non-overlapping displacements), fit
    MSD = A t^n over its first `fit_lags` lags and the per-track speeds.

    `ndim` defaults to the table's (3 when it has a "z" column, else 2)."""
    if not (math.isfinite(frame_interval) and frame_interval > 0):
        raise ValueError(f"frame_interval must be a positive number, got {frame_interval!r}")
    _check(table)
    table_ndim = len(_axes(table))
    if ndim is None:
        ndim = table_ndim
    elif ndim != table_ndim:
        raise ValueError(f"ndim={ndim} does not match the tracks table, which has {table_ndim} "
                         "position columns: pass the table's dimensionality or leave ndim out")
    kept = filter_tracks(table, min_length) if min_length is not None and min_length > 1 else table
    # Sorted once: every step below works on the same sorted arrays.
    s = _sorted(kept)
    kept = kept.iloc[s.order].reset_index(drop=True)
    drift_table = None
    if drift:
        axes = _axes(kept)
        drift_table = _drift(s, axes)
        kept = subtract_drift(kept, drift_table)
        s.pos = kept[axes].to_numpy(dtype=np.float64)
    if max_lag is None:
        max_lag = _sampled_lags(s)
    emsd = _ensemble_msd(s, _check_lag(max_lag), frame_interval)
    fit = fit_power_law(emsd, ndim, fit_lags)
    speeds = _track_speeds(s, frame_interval)
    return Analysis(table=kept, drift=drift_table, emsd=emsd, fit=fit, speeds=speeds, ndim=ndim,
                    frame_interval=float(frame_interval), space_unit=space_unit, time_unit=time_unit)
