"""In-silico ultrasound localization microscopy: vessels with Poiseuille flow, microbubbles
entering and leaving them, an anisotropic point-spread function with its phase (complex IQ),
moving tissue clutter and noise.

Geometry: frames are depth x lateral pixels; z (depth) = row x axial pixel size, x (lateral)
= column x pixel size, both from the first pixel centre. The spot is a Gaussian of standard
deviation `spot_sigma` = (axial, lateral) wavelengths, times exp(i (4 pi z / wavelength +
phi)) for a bubble at depth z with its own phase phi. Bubble amplitudes are 1 +/- 20 %;
noise is complex Gaussian whose RMS is the mean bubble amplitude / 10^(snr / 20); the tissue
is `clutter_rank` speckle patterns with slow, drifting temporal weights, `clutter_db` above
the bubbles (RMS over the frame against the mean bubble amplitude).
"""
from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

__all__ = ["UlmSimulation", "Vessel", "simulate_ulm", "write_blocks"]


@dataclass(frozen=True)
class Vessel:
    start: tuple[float, float]          # (x, z) of the upstream end, space units
    end: tuple[float, float]
    radius: float
    max_speed: float                    # centre-line speed, space units / s
    bubbles: int                        # bubbles in it at any time


@dataclass
class UlmSimulation:
    iq: np.ndarray                      # frames x depth x lateral complex64
    truth: "object"                     # DataFrame: frame, bubble, x, z, vx, vz, amplitude
    vessels: list[Vessel]
    wavelength: float
    pixel_size: float
    axial_pixel_size: float
    frame_rate: float
    clutter_rank: int
    spot_sigma: tuple[float, float]
    settings: dict = field(default_factory=dict)

    @property
    def extent(self) -> tuple[float, float, float, float]:
        """(x first, x last, z first, z last) of the pixel centres."""
        return (0.0, (self.iq.shape[2] - 1) * self.pixel_size, 0.0, (self.iq.shape[1] - 1) * self.axial_pixel_size)


def _default_vessels(width: float, depth: float, wavelength: float, rng) -> list[Vessel]:
    lam = wavelength
    specs = [  # (x0, z0, x1, z1) as fractions of the field, radius (wavelengths), speed (wavelengths per ms)
        ((0.05, 0.15), (0.95, 0.35), 1.6, 0.30, 3),
        ((0.95, 0.55), (0.05, 0.75), 1.2, 0.25, 2),
        ((0.20, 0.98), (0.45, 0.02), 1.0, 0.20, 2),   # towards the probe
        ((0.75, 0.02), (0.60, 0.98), 1.0, 0.22, 2),   # away from the probe
        ((0.05, 0.90), (0.95, 0.88), 0.8, 0.15, 1),
    ]
    vessels = []
    for (a, b, r, v, n) in specs:
        vessels.append(Vessel((a[0] * width, a[1] * depth), (b[0] * width, b[1] * depth), r * lam,
                              v * lam * 1000.0, n))
    return vessels


def simulate_ulm(frames: int = 1000, shape: tuple[int, int] = (100, 120), wavelength: float = 0.1,
                 pixel_size: float | None = None, axial_pixel_size: float | None = None,
                 frame_rate: float = 1000.0, snr: float = 20.0, clutter_db: float = 30.0,
                 clutter_rank: int = 3, spot_sigma: tuple[float, float] = (0.3, 0.6),
                 bubble_scale: float = 1.0, vessels: list[Vessel] | None = None, seed: int = 0) -> UlmSimulation:
    """A recording of `frames` frames of `shape` (depth, lateral) pixels; pixel sizes default
    to wavelength / 6. `bubble_scale` multiplies the number of bubbles of each vessel."""
    import pandas as pd
    rng = np.random.default_rng(seed)
    dx = wavelength / 6 if pixel_size is None else pixel_size
    dz = dx if axial_pixel_size is None else axial_pixel_size
    rows, cols = shape
    width, depth = (cols - 1) * dx, (rows - 1) * dz
    vessels = _default_vessels(width, depth, wavelength, rng) if vessels is None else vessels
    sz, sx = spot_sigma[0] * wavelength, spot_sigma[1] * wavelength
    zs = np.arange(rows) * dz
    xs = np.arange(cols) * dx
    dt = 1.0 / frame_rate

    # bubbles: per vessel a pool of slots; each slot holds one bubble that runs from the
    # upstream end (or anywhere, at the start) to the downstream end, then a new one enters
    records = []
    state = []      # per slot: vessel, s (along), r (across), amplitude, phase, id
    next_id = 0

    def new_bubble(v: Vessel, anywhere: bool):
        nonlocal next_id
        length = float(np.hypot(v.end[0] - v.start[0], v.end[1] - v.start[1]))
        u = np.sqrt(rng.uniform(0, 1))          # uniform over the cross-section of a tube (2-D disc slice)
        r = v.radius * u * rng.choice([-1.0, 1.0])
        s = rng.uniform(0, length) if anywhere else rng.uniform(-0.5 * wavelength, 0)
        b = dict(s=s, r=r, length=length, amp=rng.uniform(0.8, 1.2), phase=rng.uniform(0, 2 * np.pi),
                 id=next_id, delay=0 if anywhere else int(rng.integers(0, 20)))
        next_id += 1
        return b

    for vi, v in enumerate(vessels):
        for _ in range(max(0, int(round(v.bubbles * bubble_scale)))):
            state.append((vi, new_bubble(v, True)))

    iq = np.empty((frames, rows, cols), dtype=np.complex64)
    for f in range(frames):
        gz_rows, gx_rows = [], []
        for k, (vi, b) in enumerate(state):
            v = vessels[vi]
            t = np.array([v.end[0] - v.start[0], v.end[1] - v.start[1]]) / b["length"]
            n = np.array([-t[1], t[0]])
            speed = v.max_speed * max(0.0, 1 - (b["r"] / v.radius) ** 2)
            if b["delay"] > 0:
                b["delay"] -= 1
            elif 0 <= b["s"] <= b["length"]:
                p = np.array(v.start) + b["s"] * t + b["r"] * n
                if -0.5 * dx <= p[0] <= width + 0.5 * dx and -0.5 * dz <= p[1] <= depth + 0.5 * dz:
                    records.append((f, b["id"], p[0], p[1], speed * t[0], speed * t[1], b["amp"]))
                    gz = np.exp(-((zs - p[1]) ** 2) / (2 * sz * sz)) * np.exp(
                        1j * (4 * np.pi * p[1] / wavelength + b["phase"]))
                    gx = np.exp(-((xs - p[0]) ** 2) / (2 * sx * sx))
                    gz_rows.append(b["amp"] * gz)
                    gx_rows.append(gx)
            if b["delay"] == 0:
                b["s"] += speed * dt
                if b["s"] > b["length"]:
                    state[k] = (vi, new_bubble(v, False))
        if gz_rows:
            iq[f] = (np.array(gz_rows, dtype=np.complex64).T @ np.array(gx_rows, dtype=np.complex64))
        else:
            iq[f] = 0

    # tissue: clutter_rank smooth speckle patterns, weights drifting slowly in amplitude and phase
    if clutter_rank > 0 and np.isfinite(clutter_db):
        patterns = []
        for _ in range(clutter_rank):
            raw = rng.standard_normal((rows, cols)) + 1j * rng.standard_normal((rows, cols))
            ker_z = np.exp(-(np.arange(-6, 7) * dz) ** 2 / (2 * sz * sz))
            ker_x = np.exp(-(np.arange(-12, 13) * dx) ** 2 / (2 * sx * sx))
            sm = np.apply_along_axis(lambda c: np.convolve(c, ker_z, "same"), 0, raw)
            sm = np.apply_along_axis(lambda r: np.convolve(r, ker_x, "same"), 1, sm)
            patterns.append(sm / np.sqrt(np.mean(np.abs(sm) ** 2)))
        time = np.arange(frames) * dt
        weights = []
        for k in range(clutter_rank):
            f_motion = rng.uniform(0.5, 3.0)
            w = (1.0 / (k + 1)) * (1 + 0.3 * np.sin(2 * np.pi * f_motion * time + rng.uniform(0, 2 * np.pi)))
            w = w * np.exp(1j * (2 * np.pi * rng.uniform(-4, 4) * time + rng.uniform(0, 2 * np.pi)))
            weights.append(w)
        weights = np.array(weights)                     # rank x frames
        rms = np.sqrt(np.mean(np.sum(np.abs(weights) ** 2, axis=0)))
        level = 10 ** (clutter_db / 20) / rms
        tissue = (weights.T @ np.array(patterns).reshape(clutter_rank, -1)) * level
        iq += tissue.reshape(frames, rows, cols).astype(np.complex64)
    if np.isfinite(snr):
        sigma = 10 ** (-snr / 20) / np.sqrt(2)
        iq += (sigma * (rng.standard_normal(iq.shape) + 1j * rng.standard_normal(iq.shape))).astype(np.complex64)
    truth = pd.DataFrame.from_records(records, columns=["frame", "bubble", "x", "z", "vx", "vz", "amplitude"])
    return UlmSimulation(iq, truth, list(vessels), wavelength, dx, dz, frame_rate, clutter_rank,
                         tuple(spot_sigma), dict(snr=snr, clutter_db=clutter_db, seed=seed))


def write_blocks(sim: UlmSimulation, directory, frames_per_block: int = 200, fmt: str = "mat",
                 name: str = "IQ") -> list[str]:
    """Write the IQ as blocks blk001.mat ... (MATLAB v5: depth x lateral x frames, with the
    frame rate and pixel sizes beside it), .h5 (HDF5 laid out as MATLAB v7.3 writes it:
    complex as a real/imag compound, axes reversed) or .npy (frames x depth x lateral)."""
    from pathlib import Path
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    paths = []
    for i, start in enumerate(range(0, sim.iq.shape[0], frames_per_block)):
        block = sim.iq[start:start + frames_per_block]
        path = directory / f"blk{i + 1:03d}.{fmt}"
        settings = dict(frame_rate=sim.frame_rate, pixel_size=sim.pixel_size, axial_pixel_size=sim.axial_pixel_size)
        if fmt == "mat":
            import scipy.io
            scipy.io.savemat(path, {name: np.transpose(block, (1, 2, 0)), **settings})
        elif fmt in ("h5", "hdf5"):
            write_matlab_hdf5(path, name, np.transpose(block, (1, 2, 0)), settings)
        elif fmt == "npy":
            np.save(path, block)
        else:
            raise ValueError(f"unknown block format {fmt!r}")
        paths.append(str(path))
    return paths


def write_matlab_hdf5(path, name: str, array: np.ndarray, settings: dict | None = None, userblock: bool = False):
    """Write `array` (MATLAB axis order) as MATLAB v7.3 does: the axes reversed on disk,
    complex as a compound of real and imag; with `userblock` the file starts with MATLAB's
    512-byte header (a .mat v7.3 file)."""
    import h5py
    data = np.ascontiguousarray(np.transpose(array, tuple(range(array.ndim))[::-1]))
    kwargs = {"userblock_size": 512} if userblock else {}
    with h5py.File(path, "w", **kwargs) as h5:
        if np.iscomplexobj(data):
            dt = np.dtype([("real", np.float32), ("imag", np.float32)])
            out = np.empty(data.shape, dtype=dt)
            out["real"], out["imag"] = data.real, data.imag
            h5.create_dataset(name, data=out)
        else:
            h5.create_dataset(name, data=data)
        for k, v in (settings or {}).items():
            h5.create_dataset(k, data=np.array([[float(v)]]))
    if userblock:
        header = b"MATLAB 7.3 MAT-file, Platform: GLNXA64, Created on: Thu Jan  1 00:00:00 1970 HDF5 schema 1.00 ."
        with open(path, "r+b") as fh:
            fh.write(header.ljust(116, b" ") + b"\x00" * 8 + b"\x00\x02IM")
