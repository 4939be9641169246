"""Simulates particles, links them into tracks and renders density and speed images.

Particles diffuse in a 40 x 40 field: slowly on the left, fast on the right, and carried
along a diagonal band. Each frame's positions become a frame table (x, y, intensity), the
linker joins them into tracks, and the tracks are drawn twice: as a density image and as a
value image whose value is each point's speed (distance to the next point of its track).

    PYTHONPATH=build/<dir> python examples/render_scene.py [output directory]
"""
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

import trakora

FIELD, FRAMES, PARTICLES, PIXEL = 40.0, 60, 300, 0.05


def simulate(rng):
    pos = rng.uniform(0, FIELD, (PARTICLES, 2))
    intensity = rng.uniform(80, 120, PARTICLES)
    frames = []
    for _ in range(FRAMES):
        frames.append(np.column_stack([pos, intensity * rng.uniform(0.9, 1.1, PARTICLES)]).astype(np.float32))
        sigma = np.where(pos[:, 0] < FIELD / 2, 0.05, 0.25)
        step = rng.normal(0, 1, pos.shape) * sigma[:, None]
        in_band = np.abs(pos[:, 0] - pos[:, 1]) < 4
        step[in_band] += 0.3
        pos = np.clip(pos + step, 0, FIELD)
    return frames


def with_speed(matrix, ends):
    """Appends each point's distance to the next point of its track (the last repeats it)."""
    speed = np.zeros(len(matrix), np.float32)
    start = 0
    for end in ends:
        d = np.linalg.norm(np.diff(matrix[start:end, :2], axis=0), axis=1)
        if len(d):
            speed[start:end - 1], speed[end - 1] = d, d[-1]
        start = end
    return np.column_stack([matrix, speed]).astype(np.float32)


def main(out_dir):
    out_dir.mkdir(parents=True, exist_ok=True)
    frames = simulate(np.random.default_rng(1))
    matrix, ends = trakora.rs_link_points(frames, 1.0, 1, 1.5)
    ends = ends.astype(np.int32)  # the drawing functions take int32 end indices
    extent = (0.0, FIELD, 0.0, FIELD)

    density, counts, adjusted = trakora.rs_draw_tracks(matrix, ends, extent, PIXEL)
    intensity, speed, _, _ = trakora.rs_draw_tracks_value(with_speed(matrix, ends), ends, extent, PIXEL)
    image_extent = (adjusted[0], adjusted[1], adjusted[2], adjusted[3])  # x across, y up

    fig, ax = plt.subplots(figsize=(6, 5.2))
    im = ax.imshow(np.log1p(density).T, origin="lower", extent=image_extent, cmap="magma")
    fig.colorbar(im, ax=ax, label="log(1 + summed intensity)")
    ax.set(title=f"Density of {len(ends)} tracks", xlabel="x", ylabel="y")
    fig.savefig(out_dir / "density.png", dpi=110, bbox_inches="tight")

    fig, ax = plt.subplots(figsize=(6, 5.2))
    shown = np.ma.masked_where(intensity <= 0, speed)
    im = ax.imshow(shown.T, origin="lower", extent=image_extent, cmap="viridis", vmin=0, vmax=0.6)
    fig.colorbar(im, ax=ax, label="intensity-weighted mean speed per frame")
    ax.set(title="Speed along the tracks", xlabel="x", ylabel="y")
    fig.savefig(out_dir / "value.png", dpi=110, bbox_inches="tight")
    print(f"{len(ends)} tracks, {len(matrix)} points; images of {density.shape[0]} x {density.shape[1]} "
          f"pixels written to {out_dir}")


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parents[1] / "docs" / "img")
