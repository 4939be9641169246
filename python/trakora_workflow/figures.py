"""Figures of the track analysis: the ensemble MSD with its power-law fit, and one frame with
its detections and all tracks drawn over it.

Figures are built with the object-oriented `matplotlib.figure.Figure` (no pyplot state, safe in
threads and scripts), saved to the given path and returned for further use.
"""
from __future__ import annotations

import math
import warnings
from pathlib import Path

import numpy as np
import pandas as pd

__all__ = ["save_msd_png", "save_overlay_png"]


def _finite(value) -> bool:
    return value is not None and math.isfinite(float(value))


def save_msd_png(emsd: pd.DataFrame, fit: dict, path: str | Path, space_unit: str = "px",
                 time_unit: str = "frame"):
    """Ensemble MSD (points) on log-log axes with the fitted MSD = A t^n (line, over the lags
    the fit used); the fitted A, n and D are in the legend. Returns the Figure."""
    from matplotlib.figure import Figure
    fig = Figure(figsize=(6.0, 4.5), dpi=120, layout="constrained")
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
                         f"D = A/(2d) = {d:.3g} {space_unit}²/{time_unit}"))
    ax.set_xlabel(f"lag time ({time_unit})")
    ax.set_ylabel(f"MSD ({space_unit}²)")
    ax.set_title("Ensemble mean squared displacement")
    ax.grid(True, which="both", alpha=0.25)
    if len(t):
        ax.legend(loc="upper left", fontsize=8)
    fig.savefig(path)
    return fig


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


DISPLAY_PIXELS = 1600    # longest side of an image drawn into a PNG (the PNGs are ~900 px wide)


def display_factor(shape: tuple[int, ...]) -> int:
    """By how much an image of this shape is reduced before it is drawn (1: not at all)."""
    return -(-max(shape) // DISPLAY_PIXELS)


def blocks(image: np.ndarray, factor: int, fill: float = 0.0) -> np.ndarray:
    """The image as (rows // factor, factor, columns // factor, factor) blocks, padded with
    `fill`; reduce over axes (1, 3)."""
    rows, cols = (-(-n // factor) * factor for n in image.shape)
    padded = np.full((rows, cols), fill, dtype=np.float64)
    padded[:image.shape[0], :image.shape[1]] = image
    return padded.reshape(rows // factor, factor, cols // factor, factor)


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

    image = np.asarray(frame_image, dtype=np.float64)
    if image.ndim == 3:
        image = image.max(axis=0)
    if image.ndim != 2:
        raise ValueError(f"frame_image must be an image (rows, columns) or a volume (planes, rows, "
                         f"columns), got an array of shape {np.shape(frame_image)}")
    rows, cols = image.shape
    px = float(pixel_size)
    extent = (-0.5 * px, (cols - 0.5) * px, (rows - 0.5) * px, -0.5 * px)

    # Size the figure to the frame's aspect ratio: the longer side of the image gets 6.5 in,
    # plus room for the labels and the title.
    long_side = 6.5
    scale = long_side / max(rows, cols)
    width = max(cols * scale, 2.5) + 1.2
    height = max(rows * scale, 2.5) + 1.0
    fig = Figure(figsize=(width, height), dpi=120, layout="constrained")
    ax = fig.add_subplot()
    finite = image[np.isfinite(image)]
    low, high = (np.percentile(finite, [1.0, 99.8]) if finite.size else (0.0, 1.0))
    if high <= low:
        high = low + 1.0
    factor = display_factor(image.shape)
    if factor > 1:     # a large frame is drawn as block means
        with warnings.catch_warnings():        # blocks of only NaN pixels stay NaN
            warnings.simplefilter("ignore", RuntimeWarning)
            image = np.nanmean(blocks(image, factor, np.nan), axis=(1, 3))
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
    ax.set_xlabel(f"x ({space_unit})")
    ax.set_ylabel(f"y ({space_unit})")
    ax.set_title(f"Frame {frame_index}: {len(here)} detections, {n_tracks} tracks")
    fig.savefig(path)
    return fig
