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
from typing import TYPE_CHECKING, NamedTuple

import numpy as np

from . import _core
from .autotune import (LinkReach, Polarity, Size, estimate_diameter, estimate_link_distance, estimate_polarity,
                       SAMPLE_FRAMES)
from .detect import (FrameDetections, Preparation, ThresholdReport, choose_threshold, detect_frame, detect_range,
                     preparation, robust_threshold, sample_indices)
from .distributed import detect_on_cluster
from .errors import InputError, ParameterError
from .io import KeptFrames, available_memory, check_frames, open_recording
from .params import DEFAULT_DIAMETER, MAX_DISTANCE_RANGE, TrackingParams, render_grid
from .tables import Columns
from .threads import thread_count

if TYPE_CHECKING:
    import pandas as pd

    from .analysis import Analysis

# pandas and the analysis load when the first table is built, after detection, so that
# reading and detecting start without them.

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
                 chunk_size: int | None = None, prep: Preparation | None = None) -> list[FrameDetections]:
    """Detections of every frame, in frame order. Frames are read one at a time, each read,
    prepared and detected on one of `threads.thread_count()` threads (decoding, filtering and the
    native detection run without the interpreter lock, so they overlap), or by the tasks on a
    Dask `client`. `params` must be resolved; `prep` prepares each frame (None: frames are
    detected as they are). The first failure in frame order is raised."""
    source = open_recording(stack)
    n = len(source)
    update, close = _progress_callback(progress, n)
    try:
        if client is not None:
            return detect_on_cluster(client, source, params, prep, chunk_size=chunk_size, progress=update)
        threads = min(thread_count(), n)
        if threads <= 1:
            detections = []
            for f in range(n):
                detections.extend(detect_range(source, f, f + 1, params, prep))
                if update is not None:
                    update(f + 1, n)
            return detections
        return _detect_threaded(source, params, prep, threads, update)
    finally:
        close()


def _detect_threaded(source, params: TrackingParams, prep: Preparation | None, threads: int,
                     update) -> list[FrameDetections]:
    """Frames detected on a pool of threads, at most 2 * threads of them in flight (memory
    for that many frames), collected in frame order."""
    from collections import deque
    from concurrent.futures import ThreadPoolExecutor

    n = len(source)
    detections: list[FrameDetections] = []
    pending: deque = deque()
    with ThreadPoolExecutor(threads, thread_name_prefix="trakora-detect") as pool:
        try:
            for f in range(n):
                pending.append(pool.submit(detect_range, source, f, f + 1, params, prep))
                while pending and (len(pending) > 2 * threads or f == n - 1):
                    detections.extend(pending.popleft().result())
                    if update is not None:
                        update(len(detections), n)
        finally:
            for future in pending:
                future.cancel()
    return detections


class Links(NamedTuple):
    """Tracks as the linker builds them: `matrix` (rows x, y(, z), intensity, track after
    track, each in frame order), int32 `track_end_indices`, and for every row its `frames`
    and its `rows` in that frame's table (int64)."""

    matrix: np.ndarray
    track_end_indices: np.ndarray
    frames: np.ndarray
    rows: np.ndarray


def link_tables(tables: list[np.ndarray], params: TrackingParams, ndim: int) -> Links:
    """Link frame tables (the linker runs without the interpreter lock): by each track's
    predicted motion with gap closing (`linking="motion"`), or frame pairs by distance alone
    (`"nearest"`: the matrix and end indices of `rs_link_points` / `rs_link_points_3d`)."""
    # The 2D linker's ratio test is off when no ratio is given: NaN compares as "not
    # greater", so every intensity passes, negative ones included.
    ratio = params.max_intensity_ratio if ndim == 2 else None
    link = _core.link_motion if params.linking == "motion" else _core.link
    matrix, ends, frames, rows = link(tables, ndim, params.max_distance, params.max_skip, ratio)
    if len(ends) and int(ends.max()) >= 2**31:
        raise ValueError("too many linked points for int32 track end indices")
    return Links(matrix, ends.astype(np.int32), frames, rows)


RENDER_BYTES_PER_PIXEL = 32   # the four images, their reoriented copies and the pictures drawn from them


def check_render_memory(frame_shape: tuple[int, ...], params: TrackingParams) -> None:
    """A ParameterError naming render_pixel_size, before any work, when the rendered images
    would need more memory than the machine has available."""
    shape = render_grid(frame_shape, params)
    need = math.prod(shape) * RENDER_BYTES_PER_PIXEL
    have = available_memory()
    if need > have:
        raise ParameterError("render_pixel_size", f"{params.render_pixel_size:g} gives rendered images of "
                             f"{' x '.join(map(str, shape))} pixels, which need about {need / 2**30:.3g} GiB "
                             f"where {have / 2**30:.3g} GiB are available; use a larger render pixel size")


KEPT_BYTES = 1 << 30     # at most this much of sampled frames is kept for detection


CONFIRMED_POINTS = 3     # a track of fainter detections needs this many points to be kept


def keep_confirmed(tables: list[np.ndarray], refined: list[np.ndarray], links: Links, threshold: float,
                   ndim: int) -> tuple[list[np.ndarray], list[np.ndarray], Links]:
    """Hysteresis in time: of detections made below `threshold`, only those in a track of at
    least CONFIRMED_POINTS points that reaches `threshold` somewhere are kept, with that
    track; detections at or above it are always kept. Returns the filtered tables and refined
    flags and the kept tracks, their rows renumbered in the filtered tables."""
    keep = [t[:, ndim] >= threshold for t in tables]
    ends = np.asarray(links.track_end_indices, dtype=np.int64)
    lengths = np.diff(np.concatenate([[0], ends]))
    track = np.repeat(np.arange(len(lengths)), lengths)
    strong = links.matrix[:, ndim] >= threshold
    confirmed = (np.bincount(track, strong, minlength=len(lengths)) > 0) & (lengths >= CONFIRMED_POINTS)
    point = confirmed[track] if len(track) else np.zeros(0, dtype=bool)
    offsets = np.concatenate([[0], np.cumsum([len(t) for t in tables])]).astype(np.int64)
    flat = np.concatenate(keep) if keep else np.zeros(0, dtype=bool)
    where = offsets[links.frames[point]] + links.rows[point]
    flat[where] = True
    renumbered = np.cumsum(flat) - 1
    kept_offsets = np.concatenate([[0], np.cumsum([int(flat[a:b].sum()) for a, b in zip(offsets[:-1], offsets[1:])])])
    frames = links.frames[point]
    rows = renumbered[where] - kept_offsets[frames]
    masks = [flat[a:b] for a, b in zip(offsets[:-1], offsets[1:])]
    kept = Links(links.matrix[point], np.cumsum(lengths[confirmed]).astype(np.int32), frames, rows.astype(np.int64))
    return [t[m] for t, m in zip(tables, masks)], [r[m] for r, m in zip(refined, masks)], kept


def keep_long_tracks(links: Links, min_length: int | None) -> Links:
    """The tracks with at least `min_length` points (all for None), in their order."""
    if not min_length or min_length <= 1 or len(links.track_end_indices) == 0:
        return links
    lengths = np.diff(np.concatenate([[0], np.asarray(links.track_end_indices, dtype=np.int64)]))
    from .analysis import long_tracks
    keep = long_tracks(lengths, min_length)
    mask = np.repeat(keep, lengths)
    return Links(links.matrix[mask], np.cumsum(lengths[keep]).astype(np.int32), links.frames[mask],
                 links.rows[mask])


def point_speeds(matrix: np.ndarray, track_end_indices: np.ndarray, frames: np.ndarray,
                 frame_interval: float, ncoords: int) -> np.ndarray:
    """Speed of every track point, in space units per time unit: the mean of the step speeds
    (`analysis.step_speeds`) on either side of it (one step for the first and last point of a
    track)."""
    n = len(matrix)
    if n == 0:
        return np.zeros(0, dtype=np.float32)
    from .analysis import step_speeds
    step = step_speeds(np.asarray(matrix[:, :ncoords], dtype=np.float64), frames, frame_interval)
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
    """Density and speed images of the tracks over the field of view of the frames (the
    module's drawing functions, run without the interpreter lock); a ParameterError when the
    image would exceed `params.max_image_pixels`."""
    render_grid(frame_shape, params)
    px, size = params.pixel_size, params.render_pixel_size
    valued = np.column_stack([matrix, speed]).astype(np.float32)
    if len(frame_shape) == 2:
        rows, cols = frame_shape
        extent = (0.0, cols * px, 0.0, rows * px)
        order = (1, 0)
    else:
        planes, rows, cols = frame_shape
        extent = (0.0, cols * px, 0.0, rows * px, 0.0, planes * params.z_step)
        order = (2, 1, 0)
    # the module's rs_draw_tracks(_3d) and rs_draw_tracks_value(_3d), without the lock
    density, counts, weight, mean, adjusted = _core.render(matrix, track_end_indices, valued, extent, size)

    def orient(a):
        return np.ascontiguousarray(a.transpose(order))
    return Rendering(density=orient(density), counts=orient(counts), speed=orient(mean),
                     weight=orient(weight), extent=tuple(adjusted), pixel_size=float(size))


@dataclass(frozen=True)
class Choices:
    """What `track` measured from the recording for the parameters left to it (None where
    the parameter was given): the polarity (`invert`), the particle size (`diameter`), the
    link distance and gap (`max_distance`, `max_skip`)."""

    polarity: Polarity | None = None
    size: Size | None = None
    reach: LinkReach | None = None

    def lines(self, params: TrackingParams) -> list[str]:
        """One line per automatic choice, saying what it looked at."""
        out = []
        if self.polarity is not None:
            what = {"bright": "bright spots", "dark": "dark spots on a light background (inverted)",
                    "ring": "bright centres inside dark rings"}[self.polarity.kind]
            out.append(f"automatic `invert`: {what} (pixels beyond 5 noise sigmas: "
                       f"{self.polarity.bright_tail:.2%} above the background, {self.polarity.dark_tail:.2%} below)")
        if self.size is not None:
            basis = (f"blob scale sigma {self.size.sigma:.2f} px over {self.size.blobs} blobs"
                     if self.size.blobs else "nothing to measure, the default")
            window = f", `window_size` {self.size.window} px (the bright centre)" if self.size.window else ""
            out.append(f"automatic `diameter`: {params.diameter} px ({basis}){window}")
        if self.reach is not None:
            unit = params.space_unit
            out.append(f"automatic `max_distance`: {params.max_distance:.4g} {unit} (median step to the next "
                       f"frame's nearest detection {self.reach.step:.3g} {unit}), `max_skip` {params.max_skip} "
                       f"({self.reach.reappearing:.1%} of detections reappear after a frame)")
        return out

    def summary(self) -> dict:
        return {"polarity": self.polarity.summary() if self.polarity else None,
                "size": self.size.summary() if self.size else None,
                "link": self.reach.summary() if self.reach else None}


@dataclass(frozen=True)
class TrackingResult:
    """Everything the workflow produced for one recording, built once.

    `tables`: per-frame detections (x, y(, z), intensity); `refined`: per frame, which of
    them the localizer refined. `matrix`, `track_end_indices`: the linker's track matrices
    (end indices as int32). `frames`, `rows`: for every matrix row, its frame and its row in
    that frame's table (tracks shorter than `min_length` are left out of these and of
    everything after them; `tables` keep every detection). `speed`: per-point speed (drift
    removed when `drift`; see `point_speeds`). `analysis`: drift, mean squared displacement
    and its fit, per-track speeds. `warnings`: one-line reports of a degraded result (no
    detection, a threshold above the data, many unrefined positions, ignored options).
    `threshold`: how the threshold was chosen.
    """

    ndim: int
    frame_shape: tuple[int, ...]
    params: TrackingParams
    tables: list[np.ndarray]
    refined: list[np.ndarray]
    matrix: np.ndarray
    track_end_indices: np.ndarray
    frames: np.ndarray
    rows: np.ndarray
    speed: np.ndarray
    analysis: Analysis
    rendering: Rendering
    threshold: ThresholdReport
    choices: Choices = field(default_factory=Choices)
    timings: dict[str, float] = field(default_factory=dict)
    warnings: tuple[str, ...] = ()
    source_name: str = "array"
    notes: tuple[str, ...] = ()

    @property
    def track_ids(self) -> np.ndarray:
        lengths = np.diff(np.concatenate([[0], self.track_end_indices]))
        return np.repeat(np.arange(len(lengths)), lengths)

    @property
    def n_detections(self) -> int:
        return int(sum(len(t) for t in self.tables))

    @property
    def unrefined(self) -> int:
        """Detections whose position is not the localizer's (0 without localization)."""
        if self.params.localization_method is None:
            return 0
        return int(sum(len(r) - int(np.count_nonzero(r)) for r in self.refined))

    def table(self) -> pd.DataFrame:
        """One row per track point: track, frame, time, x, y(, z), intensity, speed."""
        return self.track_columns().frame()

    def detections(self) -> pd.DataFrame:
        """One row per detection: frame, x, y(, z), intensity."""
        return self.detection_columns().frame()

    def track_columns(self) -> Columns:
        """The columns of `table()`, read a chunk of rows at a time (see `tables.Columns`)."""
        return track_columns(self.matrix, self.track_end_indices, self.frames, self.ndim, self.params.frame_interval,
                             self.speed)

    def detection_columns(self) -> Columns:
        """The columns of `detections()`, read a chunk of rows at a time."""
        return detection_columns(self.tables, self.ndim)

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
            "median_point_speed": float(np.median(self.speed)) if len(self.speed) else 0.0,
            "unrefined": self.unrefined if refined else None,
            "unrefined_share": (self.unrefined / detections if detections else 0.0) if refined else None,
            "threshold": self.threshold.summary(),
            "automatic": self.choices.summary(),
            "warnings": list(self.warnings),
            "notes": list(self.notes),
            "units": {"space": self.params.space_unit, "time": self.params.time_unit},
            "params": asdict(self.params),
            "timings_s": {k: round(v, 4) for k, v in self.timings.items()},
            **self.analysis.summary(),
        }


def track_columns(matrix: np.ndarray, track_end_indices: np.ndarray, frames: np.ndarray, ndim: int,
                  frame_interval: float, speed: np.ndarray | None) -> Columns:
    """One row per linked point: track (int64, numbered by `track_end_indices`), frame, time
    (frame x `frame_interval`), x, y(, z), intensity (the matrix's columns, in its type) and
    speed (unless None); any chunk of rows is computed from those rows alone."""
    ends = np.asarray(track_end_indices)
    names = ["x", "y", "z"][:ndim] + ["intensity"]

    def read(start: int, stop: int) -> dict[str, np.ndarray]:
        # the track of row i: how many tracks end at or before it
        columns = {"track": np.searchsorted(ends, np.arange(start, stop, dtype=np.int64), side="right"),
                   "frame": frames[start:stop], "time": frames[start:stop] * frame_interval}
        for k, name in enumerate(names):
            columns[name] = matrix[start:stop, k]
        if speed is not None:
            columns["speed"] = speed[start:stop]
        return columns
    return Columns(len(matrix), read)


def detection_columns(tables: list[np.ndarray], ndim: int) -> Columns:
    """One row per row of the frame tables: frame (int64), x, y(, z), intensity, in the type
    the tables share (float32 without detections); a chunk is copied from the tables it spans."""
    counts = np.array([len(t) for t in tables], dtype=np.int64)
    offsets = np.concatenate([[0], np.cumsum(counts)]).astype(np.int64)
    total = int(offsets[-1])
    dtype = np.result_type(*[t.dtype for t in tables]) if total else np.dtype(np.float32)
    names = ["x", "y", "z"][:ndim] + ["intensity"]

    def read(start: int, stop: int) -> dict[str, np.ndarray]:
        first = int(np.searchsorted(offsets, start, side="right")) - 1
        last = int(np.searchsorted(offsets, stop, side="left"))
        pieces, frame_counts = [], []
        for f in range(max(first, 0), min(last, len(tables))):
            a, b = max(start, offsets[f]) - offsets[f], min(stop, offsets[f + 1]) - offsets[f]
            pieces.append(tables[f][a:b])
            frame_counts.append(max(b - a, 0))
        stacked = (np.concatenate(pieces).astype(dtype, copy=False) if stop > start
                   else np.zeros((0, ndim + 1), dtype=dtype))
        frame = np.repeat(np.arange(max(first, 0), max(first, 0) + len(frame_counts), dtype=np.int64),
                          frame_counts)
        return {"frame": frame, **{n: stacked[:, k] for k, n in enumerate(names)}}
    return Columns(total, read)


def _track_table(matrix: np.ndarray, track_end_indices: np.ndarray, frames: np.ndarray, ndim: int,
                 frame_interval: float, speed: np.ndarray | None) -> pd.DataFrame:
    return track_columns(matrix, track_end_indices, frames, ndim, frame_interval, speed).frame()


def _sample(source, count: int = SAMPLE_FRAMES) -> list[np.ndarray]:
    return [np.asarray(source[i]) for i in sample_indices(len(source), count)]


def _automatic_detection(source, params: TrackingParams) -> tuple[TrackingParams, Polarity | None, Size | None]:
    """`invert` and `diameter` measured from sampled frames where they are None (the
    polarity is measured for the diameter too: rings are sized by their ring); the size is
    also measured when Gaussian fitting was asked for, to check that its width suits."""
    wants_size = params.diameter is None or params.localization_method == "gaussian_fitting"
    if params.invert is not None and not wants_size:
        return params, None, None
    sample = _sample(source)
    polarity = estimate_polarity(sample)
    if params.invert is not None:
        kind = "dark" if params.invert else ("ring" if polarity.kind == "ring" else "bright")
        polarity = replace(polarity, kind=kind)
    size = estimate_diameter(sample, polarity, default=DEFAULT_DIAMETER) if wants_size else None
    filled = replace(params, invert=polarity.invert if params.invert is None else params.invert,
                     diameter=size.diameter if params.diameter is None else params.diameter)
    if params.diameter is None and params.window_size is None and size is not None and size.window is not None:
        filled = replace(filled, window_size=size.window)
    return (filled, polarity if params.invert is None else None,
            size if params.diameter is None else None)


GAUSSIAN_SIGMAS = (0.6, 1.7)     # pixels: spots that the fixed 1-pixel Gaussian fit suits


def _method_warnings(given: TrackingParams, params: TrackingParams, size: Size | None) -> list[str]:
    if given.localization_method != "gaussian_fitting" or size is None or not size.blobs:
        return []
    low, high = GAUSSIAN_SIGMAS
    if low <= size.sigma <= high:
        return []
    return [f"`localization_method` gaussian_fitting fits a Gaussian of fixed width (1 pixel); these spots "
            f"have a scale of {size.sigma:.2f} px, so their positions come out biased: use radial_symmetry"]


def _automatic_linking(tables: list[np.ndarray], given: TrackingParams, params: TrackingParams,
                       ndim: int) -> tuple[TrackingParams, LinkReach | None, list[str]]:
    """`max_distance` and `max_skip` from the detections where they are None."""
    if given.max_distance is not None and given.max_skip is not None:
        return params, None, []
    reach = estimate_link_distance(tables, ndim, params.pixel_size)
    if reach is None:
        return params, None, []
    low, high = MAX_DISTANCE_RANGE
    distance = min(high, max(low, reach.max_distance)) if given.max_distance is None else params.max_distance
    skip = reach.max_skip if given.max_skip is None else params.max_skip
    notes = []
    if reach.ambiguous and given.max_distance is None:
        notes.append(f"the particles move far for their density (median step {reach.step:.3g}, median "
                     f"spacing {reach.spacing:.3g} {params.space_unit}): links may be ambiguous; give "
                     "`max_distance` if the motion is known")
    return replace(params, max_distance=distance, max_skip=skip), reach, notes


def _threshold_warnings(report: ThresholdReport, params: TrackingParams) -> list[str]:
    notes = []
    if math.isfinite(report.prepared_max) and report.threshold >= report.prepared_max:
        where = "band-passed " if params.preprocess else ""
        notes.append(f"threshold {report.threshold:.4g} is at or above the largest {where}value "
                     f"{report.prepared_max:.4g} of the sampled frames, so few or no spots can be found; "
                     "lower `threshold` or `threshold_snr`" + (" or try `invert`" if report.looks_dark_on_light else ""))
    return notes


def _result_warnings(n_detections: int, n_unrefined: int, report: ThresholdReport, params: TrackingParams,
                     source, prep: Preparation, dark_hint: bool = True) -> list[str]:
    """Warnings about the detections; `dark_hint`: the polarity was given, so frames that look
    dark-on-light are worth a word (a measured polarity has already looked)."""
    notes = []
    dark = dark_hint and report.looks_dark_on_light
    if n_detections == 0:
        lo, hi = report.raw_range
        hint = "; the frames look dark-on-light: try `invert`" if dark else "; lower `threshold`"
        notes.append(f"no detection in any frame (threshold {report.threshold:.4g}, data range "
                     f"{lo:.4g} to {hi:.4g}){hint}")
    elif dark:
        notes.append("the frames look dark-on-light (their values reach further below the background "
                     "than above it); if the particles are dark, use `invert`")
    if n_detections and params.localization_method is not None and n_unrefined > UNREFINED_WARNING_SHARE * n_detections:
        notes.append(f"{n_unrefined / n_detections:.0%} of positions were not placed by the localizer"
                     + _window_advice(source, params, prep, n_unrefined / n_detections) +
                     ("" if params.preprocess else "; keeping the band-pass on (preprocess) may help"))
    return notes


def _window_advice(source, params: TrackingParams, prep: Preparation, share: float) -> str:
    """Advice on the localization window that has been measured: the unrefined share of a
    sampled frame with windows two pixels smaller and larger; nothing when neither is
    clearly better."""
    frame = _sample(source, 1)[0]
    tried = {}
    for window in (params.window_size - 2, params.window_size + 2):
        if window < 3:
            continue
        found = detect_frame(frame, replace(params, window_size=window), prep)
        if len(found.refined):
            tried[window] = 1.0 - float(np.count_nonzero(found.refined)) / len(found.refined)
    if not tried:
        return ""
    best = min(tried, key=tried.get)
    if tried[best] > share - 0.05:
        return " (windows two pixels smaller or larger do no better)"
    return (f"; a `window_size` of {best} leaves {tried[best]:.0%} unrefined on a sampled frame "
            f"(set `window_size` or `diameter`)")


def track(data, params: TrackingParams | None = None, *, progress=False, client=None,
          chunk_size: int | None = None, channel: int | None = None) -> TrackingResult:
    """Run the whole workflow on a recording: an array (frames, rows, columns) or (frames,
    planes, rows, columns), a list of 2-D/3-D arrays, a `FrameSource` from `open_recording`,
    or anything `open_recording` opens (paths, a directory, a glob pattern).

    Frames are read one at a time, prepared (inverted when `invert`, band-passed unless
    `preprocess=False`), detected (serially, or on a Dask `client` in chunks of frames),
    linked (every linked point keeps its frame and row); then the tracks are analysed, every
    point gets its speed, and the tracks are rendered.
    `progress` is True (a progress bar), False, or a callable (frames done, total).
    """
    if params is not None and not isinstance(params, TrackingParams):
        raise ParameterError("params", f"must be a TrackingParams, got {type(params).__name__}")
    if data is None or isinstance(data, (numbers.Number, np.generic, bytes, dict, set)):
        raise InputError(f"data must be a recording (an array of frames, frames, paths or a FrameSource), "
                         f"got {type(data).__name__}")
    source = open_recording(data, channel=channel)
    ndim = check_frames(source)
    given = params or TrackingParams()
    warnings = given.ignored(ndim, len(source))
    timings = {}
    check_render_memory(source.frame_shape, given.resolve(source.frame_shape, len(source)))
    # the frames sampled for the automatic choices are decoded once
    sampled = KeptFrames(source, min(KEPT_BYTES, available_memory() // 8))
    start = time.perf_counter()
    params, polarity, size = _automatic_detection(sampled, given)
    params = params.resolve(source.frame_shape, len(source))
    warnings += _method_warnings(given, params, size)
    timings["choices"] = time.perf_counter() - start
    start = time.perf_counter()
    prep = preparation(params, sampled)
    report = choose_threshold(sampled, params, prep)
    sampled.release()
    params = replace(params, threshold=report.threshold)
    warnings += _threshold_warnings(report, params)
    timings["threshold"] = time.perf_counter() - start

    start = time.perf_counter()
    extend = math.isfinite(report.low_threshold)
    detecting = replace(params, threshold=report.low_threshold) if extend else params
    detections = detect_stack(source if client is not None else sampled, detecting, progress=progress,
                              client=client, chunk_size=chunk_size, prep=prep)
    tables = [d.table for d in detections]
    refined = [d.refined for d in detections]
    timings["detect"] = time.perf_counter() - start
    # all detections, the fainter ones of track extension too: they give most particles a
    # partner in the next frame
    params, reach, notes = _automatic_linking(tables, given, params, ndim)
    warnings += notes
    choices = Choices(polarity=polarity, size=size, reach=reach)

    start = time.perf_counter()
    links = link_tables(tables, params, ndim)
    if extend:
        tables, refined, links = keep_confirmed(tables, refined, links, params.threshold, ndim)
    links = keep_long_tracks(links, params.min_length)
    timings["link"] = time.perf_counter() - start
    n_detections = int(sum(len(t) for t in tables))
    n_unrefined = (int(sum(len(r) - int(np.count_nonzero(r)) for r in refined))
                   if params.localization_method is not None else 0)
    warnings += _result_warnings(n_detections, n_unrefined, report, params, source, prep,
                                 dark_hint=given.invert is not None)

    start = time.perf_counter()
    from .analysis import analyze
    matrix, ends, frames = links.matrix, links.track_end_indices, links.frames
    lengths = np.diff(np.concatenate([[0], ends]))
    track_ids = np.repeat(np.arange(len(lengths)), lengths)
    analysis = analyze(_track_table(matrix, ends, frames, ndim, params.frame_interval, None), ndim=ndim,
                       frame_interval=params.frame_interval, drift=params.drift, max_lag=params.max_lag,
                       space_unit=params.space_unit, time_unit=params.time_unit)
    positions = matrix
    if analysis.drift is not None and len(matrix):
        positions = np.array(matrix, dtype=np.float64)
        positions[:, :ndim] -= analysis.drift.loc[frames].to_numpy(dtype=np.float64)
    speed = point_speeds(positions, ends, frames, params.frame_interval, ndim)
    # the linker's order is already by track, then frame: the analysed table's order
    analysis.table["speed"] = speed
    warnings += analysis.warnings()
    timings["analysis"] = time.perf_counter() - start

    start = time.perf_counter()
    rendering = render_tracks(matrix, ends, speed, source.frame_shape, params)
    timings["render"] = time.perf_counter() - start
    return TrackingResult(ndim=ndim, frame_shape=source.frame_shape, params=params, tables=tables,
                          refined=refined, matrix=matrix, track_end_indices=ends, frames=frames, rows=links.rows,
                          speed=speed, analysis=analysis, rendering=rendering, threshold=report, choices=choices,
                          timings=timings, warnings=tuple(warnings), source_name=source.name,
                          notes=((source.note,) if source.note else ()) + tuple(choices.lines(params)))
