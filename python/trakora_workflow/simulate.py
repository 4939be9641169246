"""Synthetic recordings with known ground truth.

A recording holds spots that flow along a few curved channels and spots that diffuse
freely. Each spot is drawn as a Gaussian on a flat background and Gaussian noise is added.
Ground truth is kept in pixel units, with the same axis names as the workflow uses:
x is the column (last axis), y the row, z the plane (first spatial axis of a volume).
"""
from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import pandas as pd


@dataclass
class Recording:
    """A simulated stack and its ground truth.

    `stack` has shape (frames, rows, columns) or (frames, planes, rows, columns), float32.
    `truth` has one row per visible spot and frame: columns particle, frame, x, y, (z,)
    amplitude, kind ("channel" or "brownian"); coordinates in pixels.
    """

    stack: np.ndarray
    truth: pd.DataFrame
    pixel_size: float
    frame_interval: float
    spot_sigma: float


def _channel_paths(rng: np.random.Generator, n_channels: int, width: float, height: float):
    """Sinuous channels running left to right, as densely sampled polylines (x, y)."""
    paths = []
    for k in range(n_channels):
        y0 = height * (k + 1) / (n_channels + 1) + rng.uniform(-0.05, 0.05) * height
        amplitude = rng.uniform(0.08, 0.14) * height
        wavelength = rng.uniform(0.8, 1.3) * width
        phase = rng.uniform(0, 2 * np.pi)
        x = np.linspace(-0.1 * width, 1.1 * width, 2000)
        y = y0 + amplitude * np.sin(2 * np.pi * x / wavelength + phase)
        paths.append(np.column_stack([x, y]))
    return paths


def _along(path: np.ndarray, s: np.ndarray) -> np.ndarray:
    """Points at arc lengths `s` along a polyline (clamped to its ends)."""
    seg = np.hypot(*np.diff(path, axis=0).T)
    cumulative = np.concatenate([[0.0], np.cumsum(seg)])
    return np.column_stack([np.interp(s, cumulative, path[:, 0]), np.interp(s, cumulative, path[:, 1])])


def _path_length(path: np.ndarray) -> float:
    return float(np.hypot(*np.diff(path, axis=0).T).sum())


def _render(shape: tuple[int, ...], centres: np.ndarray, amplitudes: np.ndarray,
            sigmas: tuple[float, ...]) -> np.ndarray:
    """Sum of Gaussian spots; centres are (x, y[, z]) in pixels, sigmas per (x, y[, z])."""
    axes = [np.arange(n, dtype=np.float64) for n in shape]  # shape is (rows, cols) or (planes, rows, cols)
    # profiles[k] belongs to coordinate k of the centres (x -> last axis, y -> next, z -> first)
    profiles = []
    for k in range(centres.shape[1]):
        grid = axes[len(shape) - 1 - k]
        profiles.append(np.exp(-((grid[None, :] - centres[:, k:k + 1]) ** 2) / (2.0 * sigmas[k] ** 2)))
    if len(shape) == 2:
        gx, gy = profiles
        return (gy * amplitudes[:, None]).T @ gx
    gx, gy, gz = profiles
    return np.einsum("k,kz,ky,kx->zyx", amplitudes, gz, gy, gx, optimize=True)


def _render_rings(shape: tuple[int, int], centres: np.ndarray, amplitudes: np.ndarray, sigma: float,
                  radius: float) -> np.ndarray:
    """Bright centres (Gaussians of `sigma`) inside dark rings of `radius` (Gaussian cross
    section of `sigma`, 0.6 of the centre's amplitude), as defocused colloids look in bright
    field; centres are (x, y) in pixels."""
    image = np.zeros(shape)
    reach = int(math.ceil(radius + 4 * sigma))
    offsets = np.arange(-reach, reach + 1)
    for (x, y), a in zip(centres, amplitudes):
        rows = np.clip(int(round(y)) + offsets, 0, shape[0] - 1)
        cols = np.clip(int(round(x)) + offsets, 0, shape[1] - 1)
        rows, cols = np.unique(rows), np.unique(cols)
        r = np.hypot(rows[:, None] - y, cols[None, :] - x)
        spot = np.exp(-r**2 / (2 * sigma**2)) - 0.6 * np.exp(-(r - radius) ** 2 / (2 * sigma**2))
        image[np.ix_(rows, cols)] += a * spot
    return image


def simulate_recording(
    *,
    frames: int = 60,
    shape: tuple[int, ...] = (128, 128),
    n_channels: int = 3,
    spots_per_channel: int = 8,
    channel_speed: tuple[float, float] = (1.0, 2.5),
    n_brownian: int = 15,
    diffusion: float = 0.15,
    amplitude: tuple[float, float] = (150.0, 250.0),
    spot_sigma: float = 1.3,
    z_sigma: float | None = None,
    background: float = 100.0,
    noise: float = 8.0,
    pixel_size: float = 1.0,
    frame_interval: float = 1.0,
    seed: int = 0,
    dark: bool = False,
    illumination: float = 0.0,
    blinking: float = 0.0,
    drift: tuple[float, ...] | None = None,
    ring_radius: float | None = None,
) -> Recording:
    """Simulate a 2D+t (`shape` = (rows, cols)) or 3D+t (`shape` = (planes, rows, cols)) stack.

    Channel spots move along their channel at a constant speed drawn from `channel_speed`
    (pixels per frame), spread along it with some jitter; Brownian spots take steps with
    variance 2 * `diffusion` per axis and frame and are reflected at the edges. In a volume
    the channels lie in planes at random depths and the Brownian spots move in all three axes.

    Like a bright-field recording: `dark` draws the spots dark on a light background
    (background minus spots); `illumination` > 0 lights the field unevenly: background and spot
    contrast are scaled by 1 + `illumination` * g, where g runs from -1 at the left edge to +1
    at the right edge (so 0.6 makes the right edge 4x brighter than the left).
    `blinking` is the chance that a spot is not visible in a frame (it is left out of the
    truth for that frame). `drift` (pixels per frame, per axis x, y(, z)) moves every spot.
    `ring_radius` (2D only) draws every spot as a bright centre of `spot_sigma` inside a dark
    ring of that radius, as defocused colloids in bright field.
    """
    if len(shape) not in (2, 3):
        raise ValueError("shape must be (rows, columns) or (planes, rows, columns)")
    rng = np.random.default_rng(seed)
    ndim = len(shape)
    height, width = shape[-2], shape[-1]
    depth = shape[0] if ndim == 3 else 1

    positions = []   # per particle: (frames, ndim) array of (x, y[, z]) or NaN when absent
    kinds = []
    for path in _channel_paths(rng, n_channels, width, height):
        length = _path_length(path)
        speed = rng.uniform(*channel_speed)
        span = length + speed * frames
        spacing = span / spots_per_channel
        starts = (np.arange(spots_per_channel) + rng.uniform(0.2, 0.8, spots_per_channel) * 0.5) * spacing
        starts -= speed * frames
        z_plane = rng.uniform(0.3, 0.7) * (depth - 1) if ndim == 3 else None
        for s0 in starts:
            s = s0 + speed * np.arange(frames)
            xy = _along(path, np.clip(s, 0.0, length))
            xy[(s < 0) | (s > length)] = np.nan
            if ndim == 3:
                xy = np.column_stack([xy, np.full(frames, z_plane)])
            positions.append(xy)
            kinds.append("channel")

    upper = np.array([width - 1, height - 1, depth - 1][:ndim], dtype=np.float64)
    step = np.sqrt(2.0 * diffusion)
    for _ in range(n_brownian):
        start = rng.uniform(0.1, 0.9, ndim) * upper
        walk = start + np.cumsum(np.vstack([np.zeros(ndim), rng.normal(0.0, step, (frames - 1, ndim))]), axis=0)
        walk = np.abs(walk)                          # reflect at 0 ...
        walk = upper - np.abs(upper - walk)          # ... and at the far edge
        positions.append(walk)
        kinds.append("brownian")

    if not positions:
        raise ValueError("a recording needs at least one channel spot or Brownian spot")
    amplitudes = rng.uniform(*amplitude, len(positions))
    track = np.stack(positions)  # (particles, frames, ndim)
    sigmas = (spot_sigma, spot_sigma) + ((z_sigma or spot_sigma),) * (ndim == 3)

    if drift is not None:
        track = track + np.arange(frames)[None, :, None] * np.asarray(drift, dtype=np.float64)[None, None, :ndim]
    light = np.ones(shape)
    if illumination:
        light = light + illumination * np.linspace(-1.0, 1.0, width)
    stack = np.empty((frames, *shape), dtype=np.float32)
    rows = []
    names = ["x", "y", "z"][:ndim]
    for f in range(frames):
        centres = track[:, f, :]
        inside = ~np.isnan(centres).any(axis=1)
        inside &= (centres >= 0).all(axis=1) & (centres <= upper).all(axis=1)
        visible = inside & (rng.random(len(centres)) >= blinking) if blinking > 0 else inside
        if ring_radius is not None and ndim == 2:
            spots = _render_rings(tuple(shape), centres[visible], amplitudes[visible], spot_sigma, ring_radius)
        else:
            spots = _render(tuple(shape), centres[visible], amplitudes[visible], sigmas)
        image = (background - spots if dark else background + spots) * light
        stack[f] = image + rng.normal(0.0, noise, shape)
        for p in np.flatnonzero(visible):
            rows.append((p, f, *centres[p], amplitudes[p], kinds[p]))
    truth = pd.DataFrame(rows, columns=["particle", "frame", *names, "amplitude", "kind"])
    return Recording(stack=stack, truth=truth, pixel_size=pixel_size,
                     frame_interval=frame_interval, spot_sigma=spot_sigma)
