"""The pictures of a tracking result: track density, mean speed, the ensemble MSD with its
power-law fit, and one frame with its detections and tracks drawn over it.

Density and speed are images: they are colour-mapped and composed with their axes, colour bar
and scale bar by `mapimage` (NumPy and Pillow, no matplotlib), saved, and returned as the RGB
picture. The MSD and the overlay are matplotlib Figures, built with the object-oriented
`matplotlib.figure.Figure` (no pyplot state, safe in threads and scripts), saved to the given
path and returned for further use.

Volumes are shown as projections along z (density summed, speed averaged with the intensity
weights). An image larger than `DISPLAY_PIXELS` on a side is reduced by blocks before it is
drawn; a small one is enlarged by whole blocks (`mapimage.TARGET_PIXELS`). Projection and
reduction go through the image a band of rows at a time, so drawing needs memory for the
picture and one band, never a full-size copy of a rendered image.

Units are drawn as text: a `$` in a unit is a dollar sign, not the start of a formula, and a
unit read from a command line under a non-UTF-8 locale is repaired (`jsonsafe.utf8_text`).
A MemoryError while drawing becomes an OutputError naming the picture.
"""
from __future__ import annotations

import functools
import inspect
import math
import os
import warnings
from pathlib import Path
from typing import TYPE_CHECKING, Callable, TypeVar

import numpy as np

from . import mapimage
from .errors import OutputError
from .jsonsafe import utf8_text

if TYPE_CHECKING:
    import pandas as pd

    from .pipeline import Rendering, TrackingResult

__all__ = ["DISPLAY_PIXELS", "density_scale", "display_factor", "reduced", "save_density_png",
           "save_msd_png", "save_overlay_png", "save_speed_png", "speed_scale", "text_unit"]

PNG_OPTIONS = {"compress_level": 2}   # matplotlib's PNGs: fast compression, a little larger
DISPLAY_PIXELS = 1600    # longest side of an image drawn into a PNG
BAND_ELEMENTS = 1 << 17  # about how many pixels of a rendered image one reduction step reads

F = TypeVar("F", bound=Callable)


def text_unit(unit: str) -> str:
    """A unit as matplotlib text: surrogates repaired, `$` escaped (drawn as itself)."""
    return utf8_text(str(unit)).replace("$", r"\$")


def _picture(what: str) -> Callable[[F], F]:
    """A MemoryError while drawing (the function's `path` argument) becomes an OutputError
    naming the picture."""
    def decorate(draw: F) -> F:
        signature = inspect.signature(draw)

        @functools.wraps(draw)
        def drawn(*args, **kwargs):
            try:
                return draw(*args, **kwargs)
            except MemoryError:
                path = signature.bind(*args, **kwargs).arguments["path"]
                named = isinstance(path, (str, os.PathLike))
                raise OutputError(f"not enough memory to draw the {what} picture"
                                  + (f" {Path(path).name}" if named else ""),
                                  path=os.fspath(path) if named else None) from None
        return drawn  # type: ignore[return-value]
    return decorate


# --------------------------------------------------------------------------- reduction

def display_factor(shape: tuple[int, ...]) -> int:
    """By how much an image of this shape is reduced before it is drawn (1: not at all)."""
    return max(1, -(-max(shape) // DISPLAY_PIXELS))


def _bands(rows: int, factor: int, per_row: int):
    """Row ranges (start, stop) of whole blocks of `factor` rows, each about BAND_ELEMENTS
    pixels (`per_row` pixels a row), covering `rows`."""
    step = factor * max(1, BAND_ELEMENTS // max(1, per_row * factor))
    for start in range(0, rows, step):
        yield start, min(rows, start + step)


def _block_reduce(band: np.ndarray, factor: int, how: str, fill: float = 0.0) -> np.ndarray:
    """One band (rows, columns) as float64, padded with `fill` to whole blocks and reduced
    over each block with `how` ("sum", "max" or "nanmean")."""
    rows, cols = (-(-n // factor) * factor for n in band.shape)
    if (rows, cols) != band.shape:
        padded = np.full((rows, cols), fill, dtype=np.float64)
        padded[:band.shape[0], :band.shape[1]] = band
    else:
        padded = band.astype(np.float64, copy=False)
    if factor == 1:
        return padded
    shaped = padded.reshape(rows // factor, factor, cols // factor, factor)
    if how == "nanmean":
        with warnings.catch_warnings():        # blocks of only NaN pixels stay NaN
            warnings.simplefilter("ignore", RuntimeWarning)
            return np.nanmean(shaped, axis=(1, 3))
    return getattr(getattr(shaped, how)(axis=3), how)(axis=1)     # faster than both axes at once


def reduced(rendering: Rendering, ndim: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(density, speed, weight) to draw, as float64 images of at most DISPLAY_PIXELS a side:
    volumes projected along z (density and weight summed, speed the weighted mean), then
    reduced by blocks (density: block maximum, so thin tracks stay visible; weight: block sum;
    speed: weighted mean). Pixels without a positive weight have speed 0."""
    density, speed, weight = rendering.density, rendering.speed, rendering.weight
    if ndim == 2:
        density, speed, weight = density[None], speed[None], weight[None]
    _, rows, cols = density.shape
    factor = display_factor((rows, cols))
    out_rows, out_cols = -(-rows // factor), -(-cols // factor)
    shown = np.empty((out_rows, out_cols)), np.empty((out_rows, out_cols)), np.empty((out_rows, out_cols))
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        for start, stop in _bands(rows, factor, cols * density.shape[0]):
            rows_out = slice(start // factor, -(-stop // factor))
            w = weight[:, start:stop].sum(axis=0, dtype=np.float64)
            ws = np.einsum("zij,zij->ij", weight[:, start:stop], speed[:, start:stop], dtype=np.float64)
            ws[~(w > 0)] = 0.0
            shown[0][rows_out] = _block_reduce(density[:, start:stop].sum(axis=0, dtype=np.float64), factor, "max")
            block_w = _block_reduce(w, factor, "sum")
            block_ws = _block_reduce(ws, factor, "sum")
            shown[2][rows_out] = block_w
            shown[1][rows_out] = np.where(block_w > 0, block_ws / block_w, 0.0)
    return shown


# --------------------------------------------------------------------------- density and speed

def _rendering(result: TrackingResult) -> Rendering:
    if result.rendering is None:
        raise ValueError("the result has no rendered images (its tracks were not rendered)")
    return result.rendering


def _nice_length(span: float) -> float:
    """A round length (1, 2 or 5 times a power of ten) of about a fifth of `span`."""
    target = span / 5.0
    power = 10.0 ** math.floor(math.log10(target))
    return max(m * power for m in (1, 2, 5) if m * power <= target)


def _draw_map(result: TrackingResult, rgb: np.ndarray, path: str | Path, title: str,
              bar: mapimage.ColourBar) -> np.ndarray:
    """Compose a reduced image of the result (row 0 at the top, y growing downwards) with axes
    in its space unit, a scale bar and the colour bar, save it; returns the picture."""
    r = _rendering(result)
    rows, cols = r.density.shape[-2:]
    step = r.pixel_size * display_factor((rows, cols))          # the edge of a drawn pixel
    left, top = r.extent[0] - r.pixel_size / 2.0, r.extent[2] - r.pixel_size / 2.0
    unit = utf8_text(str(result.params.space_unit))
    length = _nice_length(cols * r.pixel_size) if cols and r.pixel_size > 0 else 0.0
    picture = mapimage.compose(rgb, x_range=(left, left + rgb.shape[1] * step),
                               y_range=(top, top + rgb.shape[0] * step), x_label=f"x ({unit})",
                               y_label=f"y ({unit})", title=title, bar=bar,
                               scale_bar=(length, f"{length:g} {unit}") if length > 0 else None)
    mapimage.save_png(picture, path)
    return picture


def _finite_percentile(values: np.ndarray, q, default):
    """Percentile(s) of the finite values, or `default` when there are none."""
    finite = values[np.isfinite(values)]
    return np.percentile(finite, q) if finite.size else default


def density_scale(density: np.ndarray) -> float:
    """Top of the density colour scale: the 99.5th percentile of the finite positive pixels
    (1 without any), so that a non-finite pixel cannot blank the picture."""
    top = float(_finite_percentile(density[density > 0], 99.5, 1.0))
    return top if math.isfinite(top) and top > 0 else 1.0


@_picture("track density")
def save_density_png(result: TrackingResult, path: str | Path) -> np.ndarray:
    """The track density (a volume's summed along z) on magma, on a square-root colour scale
    up to `density_scale`. Returns the picture, RGB (height, width, 3) uint8."""
    density, _, _ = reduced(_rendering(result), result.ndim)
    top = density_scale(density)
    # NaN pixels are drawn as empty, +inf ones at the top of the scale.
    shown = np.clip(np.nan_to_num(density, nan=0.0, posinf=top, neginf=0.0), 0, None)
    rgb = mapimage.colour(shown, "magma", 0.0, top, gamma=0.5)
    return _draw_map(result, rgb, path, f"Track density ({len(result.track_end_indices)} tracks)",
                     mapimage.ColourBar("magma", 0.0, top, "summed intensity", gamma=0.5))


def speed_scale(speed: np.ndarray, weight: np.ndarray) -> tuple[float, float, float]:
    """(low, high) of the speed colour scale, the 2nd and 98th percentiles of the finite
    speeds of pixels with a finite positive weight, and the weight shown at full brightness
    (95th percentile of the finite positive weights)."""
    drawn = (weight > 0) & np.isfinite(weight) & np.isfinite(speed)
    low, high = (float(v) for v in _finite_percentile(speed[drawn], [2, 98], (0.0, 1.0)))
    if not high > low:
        high = low + 1.0
    full = float(_finite_percentile(weight[weight > 0], 95, 1.0))
    return low, high, full if math.isfinite(full) and full > 0 else 1.0


@_picture("mean speed")
def save_speed_png(result: TrackingResult, path: str | Path) -> np.ndarray:
    """The mean speed along the tracks on viridis, its brightness the square root of the
    intensity weight behind it. Returns the picture, RGB (height, width, 3) uint8."""
    _, speed, weight = reduced(_rendering(result), result.ndim)
    low, high, full = speed_scale(speed, weight)
    rgb = mapimage.colour(np.nan_to_num(speed, nan=low, posinf=high, neginf=low), "viridis", low, high)
    with np.errstate(invalid="ignore"):
        brightness = np.clip(np.nan_to_num(weight / full, nan=0.0, posinf=1.0, neginf=0.0), 0.0, 1.0) ** 0.5
    rgb = (rgb * brightness[..., None].astype(np.float32) + 0.5).astype(np.uint8)
    space, time = (utf8_text(str(u)) for u in (result.params.space_unit, result.params.time_unit))
    return _draw_map(result, rgb, path, "Mean speed along the tracks",
                     mapimage.ColourBar("viridis", low, high, f"speed ({space}/{time})"))


# --------------------------------------------------------------------------- MSD

def _finite(value) -> bool:
    return value is not None and math.isfinite(float(value))


@_picture("MSD")
def save_msd_png(emsd: pd.DataFrame, fit: dict, path: str | Path, space_unit: str = "px",
                 time_unit: str = "frame"):
    """Ensemble MSD (points) on log-log axes with the fitted MSD = A t^n (line, over the lags
    the fit used); the fitted A, n and D are in the legend. Returns the Figure."""
    from matplotlib.figure import Figure
    space, time = text_unit(space_unit), text_unit(time_unit)
    fig = Figure(figsize=(6.0, 4.5), dpi=120)
    fig.subplots_adjust(left=0.13, right=0.97, bottom=0.12, top=0.93)   # fixed margins: no layout pass
    ax = fig.add_subplot()
    shown = emsd[(emsd["count"] > 0) & np.isfinite(emsd["msd"]) & (emsd["msd"] > 0)]
    t = shown["lag_time"].to_numpy(dtype=np.float64)
    m = shown["msd"].to_numpy(dtype=np.float64)
    if len(t):
        ax.loglog(t, m, "o", ms=4, color="tab:blue", label="ensemble MSD")
    else:
        ax.text(0.5, 0.5, "no displacement pairs", transform=ax.transAxes, ha="center", va="center")
    if fit and _finite(fit.get("A")) and _finite(fit.get("n")) and len(t):
        used = max(int(fit.get("lags_used", len(t))), 2)
        line_t = np.geomspace(t[0], t[-1], 100)
        a, n, d = float(fit["A"]), float(fit["n"]), float(fit["D"])
        ax.loglog(line_t, a * line_t ** n, "-", color="tab:red", lw=1.2, alpha=0.45)
        fitted_t = np.geomspace(t[0], t[min(used, len(t)) - 1], 50)
        ax.loglog(fitted_t, a * fitted_t ** n, "-", color="tab:red", lw=2.0,
                  label=(f"fit A·t$^n$ over {used} lags: A = {a:.3g}, n = {n:.3f}\n"
                         f"D = A/(2d) = {d:.3g} {space}²/{time}"))
    ax.set_xlabel(f"lag time ({time})")
    ax.set_ylabel(f"MSD ({space}²)")
    ax.set_title("Ensemble mean squared displacement")
    ax.grid(True, which="both", alpha=0.25)
    if len(t):
        ax.legend(loc="upper left", fontsize=8)
    fig.savefig(path, pil_kwargs=PNG_OPTIONS)
    return fig


# --------------------------------------------------------------------------- overlay

def _track_segments(tracks: pd.DataFrame) -> tuple[np.ndarray, np.ndarray]:
    """Segments (m, 2, 2) in (x, y) joining consecutive points of each track, and the track
    number (0-based, in order of track id) of every segment."""
    if len(tracks) < 2:
        return np.zeros((0, 2, 2)), np.zeros(0, dtype=np.int64)
    track = tracks["track"].to_numpy()
    frame = tracks["frame"].to_numpy()
    order = np.lexsort((frame, track))
    track = track[order]
    xy = tracks[["x", "y"]].to_numpy(dtype=np.float64)[order]
    same = track[1:] == track[:-1]
    code = np.concatenate([[0], np.cumsum(~same)])
    first = np.flatnonzero(same)
    return np.stack([xy[first], xy[first + 1]], axis=1), code[first]


def _grey_frame(frame_image: np.ndarray) -> tuple[np.ndarray, tuple[int, int], float, float]:
    """The frame to draw (a volume's maximum projection), reduced by block means when large;
    its full (rows, columns); and the grey scale (1st and 99.8th percentiles of the finite
    pixels)."""
    image = np.asarray(frame_image)
    if image.ndim == 3:
        image = image.max(axis=0)
    if image.ndim != 2:
        raise ValueError(f"frame_image must be an image (rows, columns) or a volume (planes, rows, "
                         f"columns), got an array of shape {np.shape(frame_image)}")
    if not np.issubdtype(image.dtype, np.floating):
        image = image.astype(np.float32 if image.dtype.itemsize <= 2 else np.float64)
    finite = image[np.isfinite(image)]
    low, high = (float(v) for v in np.percentile(finite, [1.0, 99.8])) if finite.size else (0.0, 1.0)
    del finite
    if not high > low:
        high = low + 1.0
    rows, cols = image.shape
    factor = display_factor(image.shape)
    if factor > 1:     # a large frame is drawn as block means
        shown = np.empty((-(-rows // factor), -(-cols // factor)))
        for start, stop in _bands(rows, factor, cols):
            shown[start // factor:-(-stop // factor)] = _block_reduce(image[start:stop], factor, "nanmean", np.nan)
        image = shown
    return image, (rows, cols), low, high


@_picture("overlay")
def save_overlay_png(frame_image: np.ndarray, detections: pd.DataFrame, tracks: pd.DataFrame,
                     path: str | Path, pixel_size: float = 1.0, space_unit: str = "px",
                     frame_index: int = 0):
    """One frame in grey (a volume as its maximum projection along z) in physical units,
    pixel (row i, column j) centred on (x, y) = (j, i) * pixel_size with y pointing down as in
    an image; the detections of frame `frame_index` circled; every track drawn as a coloured
    line (one LineCollection for all of them). Returns the Figure."""
    from matplotlib import colormaps
    from matplotlib.collections import LineCollection
    from matplotlib.figure import Figure

    image, (rows, cols), low, high = _grey_frame(frame_image)
    px = float(pixel_size)
    extent = (-0.5 * px, (cols - 0.5) * px, (rows - 0.5) * px, -0.5 * px)

    # Size the figure to the frame's aspect ratio: the longer side of the image gets 6.5 in,
    # plus room for the labels and the title.
    long_side = 6.5
    scale = long_side / max(rows, cols)
    width = max(cols * scale, 2.5) + 1.2
    height = max(rows * scale, 2.5) + 1.0
    fig = Figure(figsize=(width, height), dpi=120)
    # fixed margins in inches (labels, ticks, title): no layout pass
    fig.subplots_adjust(left=0.95 / width, right=1 - 0.2 / width, bottom=0.65 / height, top=1 - 0.4 / height)
    ax = fig.add_subplot()
    ax.imshow(image, cmap="gray", vmin=low, vmax=high, extent=extent, origin="upper",
              interpolation="nearest")

    segments, owner = _track_segments(tracks)
    n_tracks = int(tracks["track"].nunique()) if len(tracks) else 0
    if len(segments):
        colours = colormaps["tab20"](owner % 20)
        # An (m, 2, 2) array is a valid sequence of segments; the stubs only name sequences.
        lines = LineCollection(segments, colors=colours, linewidths=0.9, alpha=0.9)  # type: ignore[arg-type]
        ax.add_collection(lines)

    here = detections[detections["frame"] == frame_index] if len(detections) else detections
    if len(here):
        ax.scatter(here["x"], here["y"], s=60, facecolors="none", edgecolors="yellow",
                   linewidths=1.0, label=f"detections in frame {frame_index}")
        ax.legend(loc="upper right", fontsize=8, framealpha=0.7)
    ax.set_xlim(extent[0], extent[1])
    ax.set_ylim(extent[2], extent[3])
    unit = text_unit(space_unit)
    ax.set_xlabel(f"x ({unit})")
    ax.set_ylabel(f"y ({unit})")
    ax.set_title(f"Frame {frame_index}: {len(here)} detections, {n_tracks} tracks")
    fig.savefig(path, pil_kwargs=PNG_OPTIONS)
    return fig
