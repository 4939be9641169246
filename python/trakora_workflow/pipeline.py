"""The tracking workflow: detect spots frame by frame, link them, compute speeds, render.

Axis conventions. A 2D stack has shape (frames, rows, columns), a 3D stack (frames, planes,
rows, columns). The detectors report positions per array axis; the frame tables handed to the
linkers are read as x, y(, z), intensity, and this package fills them as

    x = column (last axis), y = row, z = plane (first spatial axis of a volume),

all in physical units: index i on an axis maps to i * spacing, where the spacing is
`pixel_size` for rows and columns and `z_step` for planes. Rendered images are returned in the
orientation of the input frames ((rows, columns) or (planes, rows, columns)), one rendered
pixel of `render_pixel_size` per array element, pixel i centred on i * render_pixel_size.
"""
from __future__ import annotations

import math
import numbers
import time
from dataclasses import asdict, dataclass, field, replace

import numpy as np
import pandas as pd

import trakora

from .analysis import Analysis, analyze
from .detect import (Preparation, ThresholdReport, choose_threshold, detect_range,
                     preparation, robust_threshold, sample_indices, unrefined)
from .distributed import detect_on_cluster
from .errors import InputError, ParameterError
from .frames import recover_points
from .io import check_frames, open_recording
from .params import TrackingParams, render_grid

UNREFINED_WARNING_SHARE = 0.2


def auto_threshold(stack, snr: float, sample: int = 8) -> float:
    """Median plus `snr` robust standard deviations of up to `sample` raw frames (finite values
    only; see `robust_threshold` for data where more than half of the values are equal)."""
    source = open_recording(stack)
    if len(source) == 0:
        return 0.0
    values = np.concatenate([np.asarray(source[i], dtype=np.float64).ravel()
                             for i in sample_indices(len(source), sample)])
    threshold = robust_threshold(values, snr)[0]
    return threshold if math.isfinite(threshold) else 0.0


def check_stack(stack) -> int:
    """The spatial dimensionality (2 or 3) of a stack, or a ValueError naming its shape."""
    return check_frames(open_recording(stack))


def _progress_callback(progress, total: int, desc: str = "detect"):
    """(update(done, total), close()) for progress=True (a tqdm bar), a callable, or False."""
    if callable(progress):
        return progress, lambda: None
    if not progress:
        return None, lambda: None
    from tqdm.auto import tqdm
    bar = tqdm(total=total, desc=desc, unit="frame")

    def update(done, _total):
        bar.update(done - bar.n)
    return update, bar.close


def detect_stack(stack, params: TrackingParams, *, progress=False, client=None,
                 chunk_size: int | None = None, prep: Preparation | None = None) -> list[np.ndarray]:
    """Frame tables of every frame, in frame order; frames are read one at a time (serially,
    or by the tasks on a Dask `client`). `params` must be resolved; `prep` prepares each
    frame (None: frames are detected as they are)."""
    source = open_recording(stack)
    update, close = _progress_callback(progress, len(source))
    try:
        if client is not None:
            return detect_on_cluster(client, source, params, prep, chunk_size=chunk_size, progress=update)
        tables = []
        for f in range(len(source)):
            tables.extend(detect_range(source, f, f + 1, params, prep))
            if update is not None:
                update(f + 1, len(source))
        return tables
    finally:
        close()


def link_tables(tables: list[np.ndarray], params: TrackingParams, ndim: int):
    """Link frame tables; returns (track matrix, int32 track_end_indices)."""
    if ndim == 2:
        # The linker's ratio products compare as "not greater" when NaN, so a NaN ratio turns the
        # intensity test off for every intensity, negative ones included (an infinite ratio
        # would still refuse points of negative intensity).
        ratio = math.nan if params.max_intensity_ratio is None else params.max_intensity_ratio
        matrix, ends = trakora.rs_link_points(tables, params.max_distance, params.max_skip, ratio)
    else:
        matrix, ends = trakora.rs_link_points_3d(tables, params.max_distance, params.max_skip)
    if len(ends) and int(ends.max()) >= 2**31:
        raise ValueError("too many linked points for int32 track end indices")
    return matrix, ends.astype(np.int32)


def point_speeds(matrix: np.ndarray, track_end_indices: np.ndarray, frames: np.ndarray,
                 frame_interval: float, ncoords: int) -> np.ndarray:
    """Speed of every track point, in space units per time unit.

    Each step between consecutive points of a track has the speed distance / (frame gap *
    frame_interval); a point's speed is the mean of the steps on either side of it (one step
    for the first and last point of a track).
    """
    n = len(matrix)
    if n == 0:
        return np.zeros(0, dtype=np.float32)
    coords = np.asarray(matrix[:, :ncoords], dtype=np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        step = np.linalg.norm(np.diff(coords, axis=0), axis=1) / (np.diff(frames) * frame_interval)
    within = np.ones(n - 1, dtype=bool)
    inner_ends = np.asarray(track_end_indices[:-1], dtype=np.int64)
    within[inner_ends[(inner_ends >= 1) & (inner_ends < n)] - 1] = False
    before = np.full(n, np.nan)
    after = np.full(n, np.nan)
    before[1:] = np.where(within, step, np.nan)
    after[:-1] = np.where(within, step, np.nan)
    speed = np.where(np.isnan(before), after, np.where(np.isnan(after), before, 0.5 * (before + after)))
    return speed.astype(np.float32)


@dataclass
class Rendering:
    """Rendered tracks in the orientation of the input frames.

    `density`: the module's density values (trimmed intensity sums); `counts`: visits per
    pixel; `speed`: intensity-weighted mean speed; `weight`: the intensity sums behind it;
    `extent`: the adjusted extent the module returned, in its own axis order (x, y(, z)).
    """

    density: np.ndarray
    counts: np.ndarray
    speed: np.ndarray
    weight: np.ndarray
    extent: tuple[float, ...]
    pixel_size: float


def render_tracks(matrix: np.ndarray, track_end_indices: np.ndarray, speed: np.ndarray,
                  frame_shape: tuple[int, ...], params: TrackingParams) -> Rendering:
    """Density and speed images of the tracks over the field of view of the frames; a
    ParameterError when the image would exceed `params.max_image_pixels`."""
    render_grid(frame_shape, params)
    px, size = params.pixel_size, params.render_pixel_size
    valued = np.column_stack([matrix, speed]).astype(np.float32)
    if len(frame_shape) == 2:
        rows, cols = frame_shape
        extent = (0.0, cols * px, 0.0, rows * px)
        density, counts, adjusted = trakora.rs_draw_tracks(matrix, track_end_indices, extent, size)
        weight, mean, _, _ = trakora.rs_draw_tracks_value(valued, track_end_indices, extent, size)
        order = (1, 0)
    else:
        planes, rows, cols = frame_shape
        extent = (0.0, cols * px, 0.0, rows * px, 0.0, planes * params.z_step)
        density, counts, adjusted = trakora.rs_draw_tracks_3d(matrix, track_end_indices, extent, size)
        weight, mean, _, _ = trakora.rs_draw_tracks_value_3d(valued, track_end_indices, extent, size)
        order = (2, 1, 0)

    def orient(a):
        return np.ascontiguousarray(a.transpose(order))
    return Rendering(density=orient(density), counts=orient(counts), speed=orient(mean),
                     weight=orient(weight), extent=tuple(adjusted), pixel_size=float(size))


@dataclass
class TrackingResult:
    """Everything the workflow produced for one recording.

    `tables`: per-frame detections (x, y(, z), intensity). `matrix`, `track_end_indices`:
    the linker's track matrices (end indices as int32). `frames`, `rows`: for every matrix
    row, its frame and its row in that frame's table (tracks shorter than `min_length` are
    left out of these and of everything after them; `tables` keep every detection).
    `speed`: per-point step speed (drift removed when `drift`). `analysis`: drift, mean
    squared displacement and its fit, per-track speeds. `warnings`: one-line reports of a degraded result (no detection, a threshold above the
    data, many unrefined positions, ignored options). `threshold`: how the threshold was
    chosen; `unrefined`: detections left on whole pixels.
    """

    ndim: int
    frame_shape: tuple[int, ...]
    params: TrackingParams
    tables: list[np.ndarray]
    matrix: np.ndarray
    track_end_indices: np.ndarray
    frames: np.ndarray
    rows: np.ndarray
    speed: np.ndarray
    rendering: Rendering | None
    timings: dict[str, float] = field(default_factory=dict)
    warnings: list[str] = field(default_factory=list)
    threshold: ThresholdReport | None = None
    unrefined: int = 0
    source_name: str = "array"
    notes: list[str] = field(default_factory=list)
    analysis: Analysis | None = None

    @property
    def track_ids(self) -> np.ndarray:
        lengths = np.diff(np.concatenate([[0], self.track_end_indices]))
        return np.repeat(np.arange(len(lengths)), lengths)

    @property
    def n_detections(self) -> int:
        return int(sum(len(t) for t in self.tables))

    def table(self) -> pd.DataFrame:
        """One row per track point: track, frame, time, x, y(, z), intensity, speed."""
        names = ["x", "y", "z"][:self.ndim]
        columns = {"track": self.track_ids, "frame": self.frames,
                   "time": self.frames * self.params.frame_interval}
        for k, name in enumerate(names):
            columns[name] = self.matrix[:, k]
        columns["intensity"] = self.matrix[:, self.ndim]
        columns["speed"] = self.speed
        return pd.DataFrame(columns)

    def detections(self) -> pd.DataFrame:
        """One row per detection: frame, x, y(, z), intensity."""
        names = ["x", "y", "z"][:self.ndim] + ["intensity"]
        counts = [len(t) for t in self.tables]
        stacked = (np.concatenate(self.tables) if sum(counts)
                   else np.zeros((0, self.ndim + 1), dtype=np.float32))
        frame = np.repeat(np.arange(len(self.tables)), counts)
        return pd.DataFrame({"frame": frame, **{n: stacked[:, k] for k, n in enumerate(names)}})

    def summary(self) -> dict:
        lengths = np.diff(np.concatenate([[0], self.track_end_indices]))
        detections = self.n_detections
        refined = self.params.localization_method is not None
        return {
            "input": self.source_name,
            "frames": len(self.tables),
            "frame_shape": list(self.frame_shape),
            "detections": detections,
            "detections_per_frame": detections / len(self.tables) if self.tables else 0.0,
            "tracks": int(len(lengths)),
            "linked_points": int(len(self.matrix)),
            "mean_track_length": float(lengths.mean()) if len(lengths) else 0.0,
            "median_speed": float(np.median(self.speed)) if len(self.speed) else 0.0,
            "unrefined": self.unrefined if refined else None,
            "unrefined_share": (self.unrefined / detections if detections else 0.0) if refined else None,
            "threshold": self.threshold.summary() if self.threshold is not None else None,
            "warnings": list(self.warnings),
            "notes": list(self.notes),
            "units": {"space": self.params.space_unit, "time": self.params.time_unit},
            "params": asdict(self.params),
            "timings_s": {k: round(v, 4) for k, v in self.timings.items()},
            **(self.analysis.summary() if self.analysis is not None else {}),
        }


def _threshold_warnings(report: ThresholdReport, params: TrackingParams) -> list[str]:
    notes = []
    if math.isfinite(report.prepared_max) and report.threshold >= report.prepared_max:
        where = "band-passed " if params.preprocess else ""
        notes.append(f"threshold {report.threshold:.4g} is at or above the largest {where}value "
                     f"{report.prepared_max:.4g} of the sampled frames, so few or no spots can be found; "
                     "lower `threshold` or `threshold_snr`" + (" or try `invert`" if report.looks_dark_on_light else ""))
    return notes


def _result_warnings(n_detections: int, n_unrefined: int, report: ThresholdReport,
                     params: TrackingParams) -> list[str]:
    notes = []
    if n_detections == 0:
        lo, hi = report.raw_range
        hint = ("; the frames look dark-on-light: try `invert`" if report.looks_dark_on_light
                else "; lower `threshold` or `threshold_snr`")
        notes.append(f"no detection in any frame (threshold {report.threshold:.4g}, data range "
                     f"{lo:.4g} to {hi:.4g}){hint}")
    elif report.looks_dark_on_light:
        notes.append("the frames look dark-on-light (their values reach further below the background "
                     "than above it); if the particles are dark, use `invert`")
    if n_detections and params.localization_method is not None and n_unrefined > UNREFINED_WARNING_SHARE * n_detections:
        notes.append(f"{n_unrefined / n_detections:.0%} of positions stayed on whole pixels (not refined); "
                     "use a smaller `window_size` / `diameter`" +
                     ("" if params.preprocess else ", or keep the band-pass on (preprocess)"))
    return notes


def track(data, params: TrackingParams | None = None, *, progress=False, client=None,
          chunk_size: int | None = None, channel: int | None = None) -> TrackingResult:
    """Run the whole workflow on a recording: an array (frames, rows, columns) or (frames,
    planes, rows, columns), a list of 2-D/3-D arrays, a `FrameSource` from `open_recording`,
    or anything `open_recording` opens (paths, a directory, a glob pattern).

    Frames are read one at a time, prepared (inverted when `invert`, band-passed unless
    `preprocess=False`), detected (serially, or on a Dask `client` in chunks of frames),
    linked; then every point gets its frame and speed, and the tracks are rendered.
    `progress` is True (a progress bar), False, or a callable (frames done, total).
    """
    if params is not None and not isinstance(params, TrackingParams):
        raise ParameterError("params", f"must be a TrackingParams, got {type(params).__name__}")
    if data is None or isinstance(data, (numbers.Number, np.generic, bytes, dict, set)):
        raise InputError(f"data must be a recording (an array of frames, frames, paths or a FrameSource), "
                         f"got {type(data).__name__}")
    source = open_recording(data, channel=channel)
    ndim = check_frames(source)
    params = params or TrackingParams()
    warnings = params.ignored(ndim, len(source))
    params = params.resolve(source.frame_shape, len(source))
    timings = {}
    start = time.perf_counter()
    prep = preparation(params, source)
    report = choose_threshold(source, params, prep)
    params = replace(params, threshold=report.threshold)
    warnings += _threshold_warnings(report, params)
    timings["threshold"] = time.perf_counter() - start

    start = time.perf_counter()
    tables = detect_stack(source, params, progress=progress, client=client, chunk_size=chunk_size, prep=prep)
    timings["detect"] = time.perf_counter() - start
    n_unrefined = unrefined(tables, params) if params.localization_method is not None else 0
    n_detections = int(sum(len(t) for t in tables))
    warnings += _result_warnings(n_detections, n_unrefined, report, params)

    start = time.perf_counter()
    matrix, ends = link_tables(tables, params, ndim)
    frames, rows = recover_points(tables, matrix, ends, params.max_skip)
    timings["link"] = time.perf_counter() - start

    matrix, ends, frames, rows = keep_long_tracks(matrix, ends, frames, rows, params.min_length)
    result = TrackingResult(ndim=ndim, frame_shape=source.frame_shape, params=params,
                            tables=tables, matrix=matrix, track_end_indices=ends, frames=frames,
                            rows=rows, speed=np.zeros(len(matrix), np.float32), rendering=None,
                            timings=timings, warnings=warnings, threshold=report, unrefined=n_unrefined,
                            source_name=source.name, notes=[source.note] if source.note else [])

    start = time.perf_counter()
    result.analysis = analyze(result.table(), ndim=ndim, frame_interval=params.frame_interval,
                              drift=params.drift, max_lag=params.max_lag,
                              space_unit=params.space_unit, time_unit=params.time_unit)
    positions = matrix
    if result.analysis.drift is not None and len(matrix):
        positions = np.array(matrix, dtype=np.float64)
        positions[:, :ndim] -= result.analysis.drift.loc[frames].to_numpy(dtype=np.float64)
    result.speed = point_speeds(positions, ends, frames, params.frame_interval, ndim)
    # the linker's order is already by track, then frame: the analysed table's order
    result.analysis.table["speed"] = result.speed
    timings["analysis"] = time.perf_counter() - start

    start = time.perf_counter()
    result.rendering = render_tracks(matrix, ends, result.speed, source.frame_shape, params)
    timings["render"] = time.perf_counter() - start
    return result


def keep_long_tracks(matrix, ends, frames, rows, min_length: int | None):
    """The tracks with at least `min_length` points (all for None): (matrix, int32 end
    indices, frames, rows) of the kept tracks, in their order."""
    if not min_length or min_length <= 1 or len(ends) == 0:
        return matrix, ends, frames, rows
    lengths = np.diff(np.concatenate([[0], np.asarray(ends, dtype=np.int64)]))
    keep = lengths >= min_length
    mask = np.repeat(keep, lengths)
    return matrix[mask], np.cumsum(lengths[keep]).astype(np.int32), frames[mask], rows[mask]
