"""Ultrasound localization microscopy from IQ blocks to maps.

Per block (one at a time, or as Dask tasks): clutter filter (`clutter.filter_block`), then
the native anisotropic localizer (`_core.localize_spots`) on the envelope. Then, over the
whole recording: linking (`_core.link`), tracks smoothed by a local line fit (which gives
their velocity), and the maps rendered from the smoothed tracks, interpolated so that a
track visits every map pixel it crosses, each track counted once per pixel.

Coordinates: x lateral = column x pixel_size, z depth = row x axial_pixel_size, both from
the first pixel centre; time = frame / frame_rate with frames counted over all blocks.
"""
from __future__ import annotations

import math
import time
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from .. import _core
from ..errors import InputError, ParameterError
from .blocks import BlockSet, open_blocks
from .clutter import filter_block
from .params import UlmParams

__all__ = ["BlockLocalizations", "Maps", "UlmResult", "localize_block", "localize_envelope", "link_localizations",
           "smooth_tracks", "render_maps", "process_blocks", "run_ulm"]


@dataclass
class BlockLocalizations:
    table: pd.DataFrame        # frame (within the block), row, col, intensity, sigma_row, sigma_col
    cutoff: int
    singular_values: np.ndarray
    counts: tuple[int, int, int]   # candidates, crowded, failed
    threshold: float


def localize_envelope(envelope: np.ndarray, params: UlmParams, threshold: float | None = None):
    """(table, counts, threshold) of the spots of an envelope stack (frames x depth x lateral)
    for resolved `params`; `threshold` defaults to the stack's median + threshold_db."""
    env = np.ascontiguousarray(envelope, dtype=np.float32)
    if threshold is None:
        # the median of an evenly spread sample of at most 2^20 values: the noise level
        flat = env.reshape(-1)
        sample = flat[::max(1, flat.size >> 20)] if flat.size else flat
        noise = float(np.median(sample)) if sample.size else 0.0
        threshold = noise * 10 ** (params.threshold_db / 20) if noise > 0 else float(np.finfo(np.float32).tiny)
    hr, hc = params.half_window
    sr = params.spot_sigma[0] * params.wavelength / params.axial_pixel_size
    sc = params.spot_sigma[1] * params.wavelength / params.pixel_size
    frame, row, col, intensity, sig_r, sig_c, counts = _core.localize_spots(
        env, float(threshold), hr, hc, float(sr), float(sc), float(params.crowd_ratio), params.method,
        float(params.prefilter * sr), float(params.prefilter * sc))
    table = pd.DataFrame({"frame": frame, "row": row, "col": col, "intensity": intensity,
                          "sigma_row": sig_r, "sigma_col": sig_c})
    return table, tuple(int(c) for c in counts), float(threshold)


def localize_block(block: np.ndarray, params: UlmParams) -> BlockLocalizations:
    """Clutter filter and localization of one block (frames x depth x lateral)."""
    filtered = filter_block(block, params.svd_cutoff, params.frame_rate, params.bandpass)
    table, counts, threshold = localize_envelope(filtered.envelope, params)
    return BlockLocalizations(table, filtered.cutoff, filtered.singular_values, counts, threshold)


def _block_task(path: str, variable: str | None, params: UlmParams) -> BlockLocalizations:
    from .blocks import read_block
    return localize_block(read_block(path, variable).data, params)


def process_blocks(blocks: BlockSet, params: UlmParams, client=None, progress=None) -> list[BlockLocalizations]:
    """Every block's localizations, in order; blocks are read one at a time (or by the Dask
    workers of `client`, as many at once as it runs tasks)."""
    if client is not None:
        futures = [client.submit(_block_task, p, blocks.variable, params, pure=False) for p in blocks.paths]
        return client.gather(futures)
    from concurrent.futures import ThreadPoolExecutor
    out = []
    # the next block is read while this one is processed (two blocks in memory at most)
    with ThreadPoolExecutor(max_workers=1, thread_name_prefix="trakora-ulm-read") as reader:
        pending = reader.submit(blocks.read, 0) if len(blocks) else None
        for i in range(len(blocks)):
            block = pending.result()
            pending = reader.submit(blocks.read, i + 1) if i + 1 < len(blocks) else None
            out.append(localize_block(block, params))
            del block
            if progress is not None:
                progress(i, out[-1])
    return out


def localizations_table(results: list[BlockLocalizations], frames_per_block: list[int],
                        params: UlmParams) -> pd.DataFrame:
    """frame (over all blocks), time, x, z, intensity of every localization."""
    parts = []
    offset = 0
    for res, n in zip(results, frames_per_block):
        t = res.table
        parts.append(pd.DataFrame({
            "frame": t["frame"].to_numpy(np.int64) + offset,
            "x": t["col"].to_numpy(np.float64) * params.pixel_size,
            "z": t["row"].to_numpy(np.float64) * params.axial_pixel_size,
            "intensity": t["intensity"].to_numpy(np.float64)}))
        offset += n
    table = pd.concat(parts, ignore_index=True) if parts else pd.DataFrame(columns=["frame", "x", "z", "intensity"])
    table.insert(1, "time", table["frame"].to_numpy(np.float64) / params.frame_rate)
    return table


def link_localizations(locs: pd.DataFrame, frames: int, params: UlmParams) -> pd.DataFrame:
    """Raw tracks (track, frame, x, z) of the localizations, tracks shorter than min_length
    removed; tracks numbered from 0 in the linker's order."""
    frame = locs["frame"].to_numpy(np.int64)
    order = np.argsort(frame, kind="stable")
    xz = np.column_stack([locs["x"].to_numpy(np.float32)[order], locs["z"].to_numpy(np.float32)[order],
                          locs["intensity"].to_numpy(np.float32)[order]]).astype(np.float32)
    bounds = np.searchsorted(frame[order], np.arange(frames + 1))
    tables = [np.ascontiguousarray(xz[bounds[f]:bounds[f + 1]]) for f in range(frames)]
    matrix, ends, fr, _ = _core.link(tables, 2, float(params.max_distance), int(params.max_skip), None)
    ends = np.asarray(ends, dtype=np.int64)
    lengths = np.diff(np.concatenate([[0], ends]))
    keep = lengths >= params.min_length
    track = np.repeat(np.arange(len(lengths)), lengths)
    mask = np.repeat(keep, lengths)
    renumber = np.cumsum(keep) - 1
    return pd.DataFrame({"track": renumber[track[mask]], "frame": np.asarray(fr, np.int64)[mask],
                         "x": matrix[mask, 0].astype(np.float64), "z": matrix[mask, 1].astype(np.float64)})


def smooth_tracks(tracks: pd.DataFrame, span: int, frame_rate: float) -> pd.DataFrame:
    """Each point replaced by the value at its frame of a straight line fitted (least squares
    over frames) to the `span` points centred on it (fewer at the ends of a track); the
    line's slope is the velocity (vx, vz) in space units per second. Tracks must be sorted by
    frame within each track and contiguous (as `link_localizations` gives them)."""
    n = len(tracks)
    out = tracks.copy()
    if n == 0:
        for c in ("vx", "vz", "speed"):
            out[c] = np.zeros(0)
        return out
    track = tracks["track"].to_numpy()
    t = tracks["frame"].to_numpy(np.float64)
    starts_mask = np.r_[True, track[1:] != track[:-1]]
    first = np.maximum.accumulate(np.where(starts_mask, np.arange(n), 0))
    ends_mask = np.r_[track[1:] != track[:-1], True]
    last = np.minimum.accumulate(np.where(ends_mask, np.arange(n), n)[::-1])[::-1]
    h = max(1, span // 2)
    i = np.arange(n)
    lo = np.maximum(i - h, first)
    hi = np.minimum(i + h, last) + 1
    tr = t - t[first]            # relative time per track for precision

    def window_sum(v):
        cs = np.concatenate([[0.0], np.cumsum(v)])
        return cs[hi] - cs[lo]

    cnt = (hi - lo).astype(np.float64)
    st, stt = window_sum(tr), window_sum(tr * tr)
    den = cnt * stt - st * st
    for c, vc in (("x", "vx"), ("z", "vz")):
        v = tracks[c].to_numpy(np.float64)
        sv, stv = window_sum(v), window_sum(tr * v)
        with np.errstate(invalid="ignore", divide="ignore"):
            slope = np.where(den > 0, (cnt * stv - st * sv) / den, 0.0)
        mean_t, mean_v = st / cnt, sv / cnt
        out[c] = mean_v + slope * (tr - mean_t)
        out[vc] = slope * frame_rate
    out["speed"] = np.hypot(out["vx"], out["vz"])
    return out


@dataclass
class Maps:
    density: np.ndarray            # tracks per pixel (rows: z, columns: x)
    velocity: np.ndarray           # mean speed of the tracks through each pixel (0 where none)
    direction: np.ndarray          # mean sign of vz of those tracks: +1 away from the probe, -1 towards
    extent: tuple[float, float, float, float]   # x of the first / last pixel centre, z likewise
    grid: float


def map_geometry(shape: tuple[int, int], params: UlmParams) -> tuple[tuple[int, int], tuple[float, float, float, float]]:
    rows, cols = shape
    width, depth = (cols - 1) * params.pixel_size, (rows - 1) * params.axial_pixel_size
    g = params.grid
    nx, nz = int(math.floor(width / g + 1e-9)) + 1, int(math.floor(depth / g + 1e-9)) + 1
    return (nz, nx), (0.0, (nx - 1) * g, 0.0, (nz - 1) * g)


MAX_MAP_PIXELS = 2 ** 26


def track_visits(tracks: pd.DataFrame, shape: tuple[int, int], grid: float):
    """(track, pixel, speed, vz) samples along the tracks, linearly interpolated between
    consecutive points at steps of at most grid / 2, then reduced to one sample per (track,
    pixel): its mean speed and vz there."""
    nz, nx = shape
    if len(tracks) == 0:
        z = np.zeros(0, np.int64)
        return z, z, np.zeros(0), np.zeros(0)
    track = tracks["track"].to_numpy(np.int64)
    x, zz = tracks["x"].to_numpy(np.float64), tracks["z"].to_numpy(np.float64)
    sp, vz = tracks["speed"].to_numpy(np.float64), tracks["vz"].to_numpy(np.float64)
    same = track[1:] == track[:-1]
    step = np.hypot(np.diff(x), np.diff(zz))
    sub = np.where(same, np.maximum(1, np.ceil(step / (0.5 * grid))).astype(np.int64), 0)
    # each point, then sub - 1 interpolated samples after it towards the next point
    counts = np.ones(len(x), np.int64)
    counts[:-1] += np.maximum(sub - 1, 0)
    owner = np.repeat(np.arange(len(x)), counts)
    base = np.repeat(np.cumsum(counts) - counts, counts)
    k = np.arange(len(owner)) - base
    nxt = np.minimum(owner + 1, len(x) - 1)
    denom = np.concatenate([sub, [1]])[owner].astype(np.float64)
    frac = np.where(k > 0, k / np.maximum(denom, 1), 0.0)
    sx = x[owner] + frac * (x[nxt] - x[owner])
    sz = zz[owner] + frac * (zz[nxt] - zz[owner])
    ix = np.rint(sx / grid).astype(np.int64)
    iz = np.rint(sz / grid).astype(np.int64)
    inside = (ix >= 0) & (ix < nx) & (iz >= 0) & (iz < nz)
    pixel = iz[inside] * nx + ix[inside]
    key_track = track[owner][inside]
    keys = key_track * (nz * nx) + pixel
    uniq, inverse, n = np.unique(keys, return_inverse=True, return_counts=True)
    mean_speed = np.bincount(inverse, sp[owner][inside], minlength=len(uniq)) / n
    mean_vz = np.bincount(inverse, vz[owner][inside], minlength=len(uniq)) / n
    return uniq // (nz * nx), uniq % (nz * nx), mean_speed, mean_vz


def render_maps(tracks: pd.DataFrame, frame_shape: tuple[int, int], params: UlmParams) -> Maps:
    """Density, velocity and direction maps of smoothed tracks (see `Maps`)."""
    shape, extent = map_geometry(frame_shape, params)
    if shape[0] * shape[1] > MAX_MAP_PIXELS:
        raise ParameterError("grid", f"gives maps of {shape[1]} x {shape[0]} pixels, more than {MAX_MAP_PIXELS}; "
                             "choose a coarser grid")
    _, pixel, speed, vz = track_visits(tracks, shape, params.grid)
    npx = shape[0] * shape[1]
    density = np.bincount(pixel, minlength=npx).astype(np.float64)
    with np.errstate(invalid="ignore", divide="ignore"):
        velocity = np.where(density > 0, np.bincount(pixel, speed, minlength=npx) / density, 0.0)
        direction = np.where(density > 0, np.bincount(pixel, np.sign(vz), minlength=npx) / density, 0.0)
    return Maps(density.reshape(shape).astype(np.float32), velocity.reshape(shape).astype(np.float32),
                direction.reshape(shape).astype(np.float32), extent, params.grid)


@dataclass
class UlmResult:
    params: UlmParams
    localizations: pd.DataFrame
    tracks: pd.DataFrame           # track, frame, time, x, z, vx, vz, speed (smoothed)
    maps: Maps
    frames: int
    frame_shape: tuple[int, int]
    cutoffs: list[int]
    singular_values: list[list[float]]
    counts: dict
    seconds: dict = field(default_factory=dict)
    notes: list[str] = field(default_factory=list)     # automatic choices of the writing

    def summary(self) -> dict:
        p = self.params
        lengths = self.tracks.groupby("track").size() if len(self.tracks) else pd.Series(dtype=int)
        return {
            "frames": self.frames, "blocks": len(self.cutoffs), "frame_shape": list(self.frame_shape),
            "space_unit": p.space_unit, "parameters": p.as_dict(),
            "window_half_size_pixels": list(p.half_window),
            "svd_cutoff": self.cutoffs, "singular_values_db": [
                [round(20 * math.log10(max(v, 1e-30) / max(s[0], 1e-30)), 2) for v in s] for s in self.singular_values],
            "localizations": int(len(self.localizations)), "localizations_per_frame":
                float(len(self.localizations) / max(1, self.frames)),
            "candidates": self.counts["candidates"], "crowded_dropped": self.counts["crowded"],
            "fits_dropped": self.counts["failed"],
            "tracks": int(self.tracks["track"].nunique()) if len(self.tracks) else 0,
            "track_points": int(len(self.tracks)),
            "median_track_length": float(lengths.median()) if len(lengths) else None,
            "median_speed": float(self.tracks["speed"].median()) if len(self.tracks) else None,
            "maps": {"shape": list(self.maps.density.shape), "pixel_size": self.maps.grid,
                     "extent": {"x": [self.maps.extent[0], self.maps.extent[1]],
                                "z": [self.maps.extent[2], self.maps.extent[3]]},
                     "density": "tracks per pixel", "velocity": f"{p.space_unit}/s",
                     "direction": "mean sign of vz: +1 away from the probe, -1 towards"},
            "seconds": self.seconds,
        }


def analyze(results: list[BlockLocalizations], frames_per_block: list[int], frame_shape, params: UlmParams,
            seconds: dict | None = None) -> UlmResult:
    """Tracks and maps of the blocks' localizations."""
    t0 = time.perf_counter()
    locs = localizations_table(results, frames_per_block, params)
    frames = int(sum(frames_per_block))
    raw = link_localizations(locs, frames, params)
    tracks = smooth_tracks(raw, params.smooth_span, params.frame_rate)
    tracks.insert(2, "time", tracks["frame"].to_numpy(np.float64) / params.frame_rate)
    tracks = tracks[["track", "frame", "time", "x", "z", "vx", "vz", "speed"]]
    maps = render_maps(tracks, tuple(frame_shape), params)
    seconds = dict(seconds or {})
    seconds["tracking_and_maps"] = round(time.perf_counter() - t0, 3)
    counts = {k: int(sum(r.counts[i] for r in results)) for i, k in enumerate(("candidates", "crowded", "failed"))}
    return UlmResult(params, locs, tracks, maps, frames, tuple(int(s) for s in frame_shape),
                     [r.cutoff for r in results], [list(map(float, r.singular_values[:min(len(r.singular_values), 32)]))
                                                   for r in results], counts, seconds)


def run_ulm(inputs, params: UlmParams, out=None, variable: str | None = None, client=None,
            progress=None, extra_summary: dict | None = None, parquet: bool | None = None) -> UlmResult:
    """The whole run on block files (names or glob patterns, natural order): returns the
    result and, with `out`, writes the outputs there (all or none, see `outputs`; `parquet`:
    the tables as Parquet too, True, False or None for large tables only)."""
    params.check()
    blocks = open_blocks(inputs, variable)
    params = params.resolve(blocks.settings)
    rows, cols = blocks.frame_shape
    if rows < 3 or cols < 3:
        raise InputError(f"'{blocks.paths[0]}': frames of {rows} x {cols} pixels are too small (3 x 3 at least)",
                         blocks.paths[0])
    writer = None
    if out is not None:
        from .outputs import UlmWriter
        writer = UlmWriter(out)
        writer.open()
    try:
        t0 = time.perf_counter()
        results = process_blocks(blocks, params, client=client, progress=progress)
        seconds = {"blocks": round(time.perf_counter() - t0, 3)}
        result = analyze(results, [info.shape[0] for info in blocks.infos], blocks.frame_shape, params, seconds)
        if writer is not None:
            summary = {"input": list(blocks.paths), "variable": blocks.infos[0].variable,
                       "data": "IQ" if blocks.complex else "envelope", **(extra_summary or {})}
            writer.write(result, summary, parquet=parquet)
            writer.commit()
    finally:
        if writer is not None:
            writer.close()
    return result
