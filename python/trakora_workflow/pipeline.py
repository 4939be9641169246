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
import time
from dataclasses import asdict, dataclass, field, replace

import numpy as np
import pandas as pd

import trakora

from .frames import recover_points


@dataclass(frozen=True)
class TrackingParams:
    """Parameters of the workflow; distances are in the physical units of `pixel_size`.

    `None` means: `threshold` from the data (median + `threshold_snr` robust standard
    deviations of a sample of frames), `min_distance` 3 pixels, `max_distance` 5 pixels,
    `z_step` = `pixel_size`, `render_pixel_size` = `pixel_size`, `max_intensity_ratio` no
    intensity test, `window_size` the module's default of 7.
    `correlation_sigmas` (per axis z, y, x, physical units) and `correlation_threshold`
    apply to volumes only.
    """

    pixel_size: float = 1.0
    z_step: float | None = None
    frame_interval: float = 1.0
    threshold: float | None = None
    threshold_snr: float = 6.0
    min_distance: float | None = None
    localization_method: str | None = "radial_symmetry"
    window_size: int | None = None
    max_num_peaks: int | None = None
    correlation_sigmas: tuple[float, float, float] | None = None
    correlation_threshold: float | None = None
    max_distance: float | None = None
    max_skip: int = 1
    max_intensity_ratio: float | None = None
    render_pixel_size: float | None = None
    space_unit: str = "px"
    time_unit: str = "frame"

    def resolved(self, stack: np.ndarray) -> TrackingParams:
        """A copy with every `None` default filled in for this stack, after range checks."""
        for name in ("pixel_size", "frame_interval", "threshold_snr"):
            value = getattr(self, name)
            if not (math.isfinite(value) and value > 0):
                raise ValueError(f"{name} must be a positive number, got {value!r}")
        if self.max_skip < 0:
            raise ValueError(f"max_skip must be >= 0, got {self.max_skip}")
        px = self.pixel_size
        filled = replace(
            self,
            z_step=px if self.z_step is None else self.z_step,
            threshold=auto_threshold(stack, self.threshold_snr) if self.threshold is None else self.threshold,
            min_distance=3.0 * px if self.min_distance is None else self.min_distance,
            max_distance=5.0 * px if self.max_distance is None else self.max_distance,
            render_pixel_size=px if self.render_pixel_size is None else self.render_pixel_size,
        )
        for name in ("z_step", "max_distance", "render_pixel_size"):
            value = getattr(filled, name)
            if not (math.isfinite(value) and value > 0):
                raise ValueError(f"{name} must be a positive number, got {value!r}")
        return filled


def auto_threshold(stack: np.ndarray, snr: float, sample: int = 8) -> float:
    """Median plus `snr` robust standard deviations (1.4826 * MAD) of up to `sample` frames."""
    if len(stack) == 0:
        return 0.0
    picks = np.unique(np.linspace(0, len(stack) - 1, min(sample, len(stack))).astype(int))
    values = np.asarray(stack[picks], dtype=np.float64)
    median = float(np.median(values))
    mad = float(np.median(np.abs(values - median)))
    return median + snr * 1.4826 * mad


def check_stack(stack: np.ndarray) -> int:
    """The spatial dimensionality (2 or 3) of a stack, or a ValueError naming its shape."""
    if stack.ndim not in (3, 4):
        raise ValueError("expected a stack of images (frames, rows, columns) or of volumes "
                         f"(frames, planes, rows, columns), got an array of shape {stack.shape}")
    if not (np.issubdtype(stack.dtype, np.integer) or np.issubdtype(stack.dtype, np.floating)
            or stack.dtype == np.bool_):
        raise ValueError(f"expected a stack of real numbers, got dtype {stack.dtype}")
    return stack.ndim - 1


def detect_frame(frame: np.ndarray, params: TrackingParams) -> np.ndarray:
    """Detect one image or volume; returns its frame table, float32 (n, 3) x, y, intensity
    or (n, 4) x, y, z, intensity. `params` must be resolved."""
    frame = np.asarray(frame, dtype=np.float32)
    px = params.pixel_size
    if frame.ndim == 2:
        rows, cols = frame.shape
        extent = (0.0, (rows - 1) * px, 0.0, (cols - 1) * px)
        positions, intensities = trakora.rs_detect_peaks(
            frame, extent, params.threshold, params.min_distance, params.localization_method,
            params.window_size, params.max_num_peaks)
        table = np.empty((len(intensities), 3), dtype=np.float32)
        table[:, 0] = positions[:, 1]
        table[:, 1] = positions[:, 0]
        table[:, 2] = intensities
        return table
    planes, rows, cols = frame.shape
    extent = (0.0, (planes - 1) * params.z_step, 0.0, (rows - 1) * px, 0.0, (cols - 1) * px)
    sigmas = None if params.correlation_sigmas is None else tuple(float(s) for s in params.correlation_sigmas)
    positions, intensities, _ = trakora.rs_detect_peaks3d(
        frame, extent, params.threshold, params.min_distance, params.window_size,
        params.localization_method, sigmas, params.correlation_threshold, params.max_num_peaks)
    table = np.empty((len(intensities), 4), dtype=np.float32)
    table[:, 0] = positions[:, 2]
    table[:, 1] = positions[:, 1]
    table[:, 2] = positions[:, 0]
    table[:, 3] = intensities
    return table


def detect_chunk(chunk: np.ndarray, params: TrackingParams) -> list[np.ndarray]:
    """Detect every frame of a chunk of consecutive frames, in order."""
    return [detect_frame(frame, params) for frame in chunk]


def detect_stack(stack: np.ndarray, params: TrackingParams, *, progress: bool = False,
                 client=None, chunk_size: int | None = None) -> list[np.ndarray]:
    """Frame tables of every frame, in frame order; on a Dask `client` when one is given."""
    if client is not None:
        from .distributed import detect_on_cluster
        return detect_on_cluster(client, stack, params, chunk_size=chunk_size, progress=progress)
    from tqdm.auto import tqdm
    return [detect_frame(stack[f], params)
            for f in tqdm(range(len(stack)), desc="detect", unit="frame", disable=not progress)]


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
    """Density and speed images of the tracks over the field of view of the frames."""
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
    """Everything the workflow produced for one stack.

    `tables`: per-frame detections (x, y(, z), intensity). `matrix`, `track_end_indices`:
    the linker's track matrices (end indices as int32). `frames`, `rows`: for every matrix
    row, its frame and its row in that frame's table. `speed`: per-point speed.
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
    rendering: Rendering
    timings: dict[str, float] = field(default_factory=dict)

    @property
    def track_ids(self) -> np.ndarray:
        lengths = np.diff(np.concatenate([[0], self.track_end_indices]))
        return np.repeat(np.arange(len(lengths)), lengths)

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
        return {
            "frames": len(self.tables),
            "frame_shape": list(self.frame_shape),
            "detections": int(sum(len(t) for t in self.tables)),
            "tracks": int(len(lengths)),
            "linked_points": int(len(self.matrix)),
            "mean_track_length": float(lengths.mean()) if len(lengths) else 0.0,
            "median_speed": float(np.median(self.speed)) if len(self.speed) else 0.0,
            "units": {"space": self.params.space_unit, "time": self.params.time_unit},
            "params": asdict(self.params),
            "timings_s": {k: round(v, 4) for k, v in self.timings.items()},
        }


def track(stack: np.ndarray, params: TrackingParams | None = None, *, progress: bool = False,
          client=None, chunk_size: int | None = None) -> TrackingResult:
    """Run the whole workflow on a (frames, rows, columns) or (frames, planes, rows, columns)
    stack: detection (serial, or on a Dask `client` in chunks of frames), linking, recovery of
    every point's frame, speeds, density and speed images."""
    ndim = check_stack(stack)
    params = (params or TrackingParams()).resolved(stack)
    timings = {}
    start = time.perf_counter()
    tables = detect_stack(stack, params, progress=progress, client=client, chunk_size=chunk_size)
    timings["detect"] = time.perf_counter() - start

    start = time.perf_counter()
    matrix, ends = link_tables(tables, params, ndim)
    frames, rows = recover_points(tables, matrix, ends, params.max_skip)
    timings["link"] = time.perf_counter() - start

    start = time.perf_counter()
    speed = point_speeds(matrix, ends, frames, params.frame_interval, ndim)
    rendering = render_tracks(matrix, ends, speed, tuple(stack.shape[1:]), params)
    timings["render"] = time.perf_counter() - start
    return TrackingResult(ndim=ndim, frame_shape=tuple(stack.shape[1:]), params=params,
                          tables=tables, matrix=matrix, track_end_indices=ends, frames=frames,
                          rows=rows, speed=speed, rendering=rendering, timings=timings)
