"""Pictures and files written for a tracking result: density.png, speed.png, tracks.csv,
summary.json. Volumes are shown as projections along z (density summed, speed averaged with
the intensity weights)."""
from __future__ import annotations

import json
import math
from pathlib import Path

import numpy as np

from .pipeline import TrackingResult


def _projected(result: TrackingResult) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    r = result.rendering
    if result.ndim == 2:
        return r.density, r.speed, r.weight
    weight = r.weight.sum(axis=0)
    with np.errstate(invalid="ignore", divide="ignore"):
        speed = np.where(weight > 0, (r.weight * r.speed).sum(axis=0) / weight, 0.0)
    return r.density.sum(axis=0), speed, weight


def _nice_length(span: float) -> float:
    """A round length (1, 2 or 5 times a power of ten) of about a fifth of `span`."""
    target = span / 5.0
    power = 10.0 ** math.floor(math.log10(target))
    return max(m * power for m in (1, 2, 5) if m * power <= target)


def _image_axes(fig, result: TrackingResult):
    r = result.rendering
    half = r.pixel_size / 2.0
    x_min, x_max, y_min, y_max = r.extent[:4]
    ax = fig.add_axes((0.08, 0.1, 0.72, 0.8))
    extent = (x_min - half, x_max - half, y_max - half, y_min - half)
    unit = result.params.space_unit
    ax.set_xlabel(f"x ({unit})")
    ax.set_ylabel(f"y ({unit})")
    return ax, extent


def _scale_bar(ax, result: TrackingResult):
    from matplotlib.font_manager import FontProperties
    from mpl_toolkits.axes_grid1.anchored_artists import AnchoredSizeBar
    x_min, x_max = result.rendering.extent[:2]
    length = _nice_length(x_max - x_min)
    label = f"{length:g} {result.params.space_unit}"
    bar = AnchoredSizeBar(ax.transData, length, label, "lower right", pad=0.5, color="white",
                          frameon=False, size_vertical=(x_max - x_min) / 150,
                          fontproperties=FontProperties(size=9))
    ax.add_artist(bar)


def save_density_png(result: TrackingResult, path: str | Path) -> None:
    from matplotlib import colors
    from matplotlib.figure import Figure
    density, _, _ = _projected(result)
    fig = Figure(figsize=(6.4, 5.4), dpi=120)
    ax, extent = _image_axes(fig, result)
    top = float(np.percentile(density[density > 0], 99.5)) if (density > 0).any() else 1.0
    shown = ax.imshow(np.clip(density, 0, None), extent=extent, cmap="magma", interpolation="nearest",
                      norm=colors.PowerNorm(0.5, vmin=0.0, vmax=top))
    ax.set_title(f"Track density ({len(result.track_end_indices)} tracks)")
    _scale_bar(ax, result)
    bar = fig.colorbar(shown, cax=fig.add_axes((0.83, 0.1, 0.035, 0.8)))
    bar.set_label("summed intensity")
    fig.savefig(path)


def save_speed_png(result: TrackingResult, path: str | Path) -> None:
    from matplotlib import cm, colormaps, colors
    from matplotlib.figure import Figure
    _, speed, weight = _projected(result)
    fig = Figure(figsize=(6.4, 5.4), dpi=120)
    ax, extent = _image_axes(fig, result)
    drawn = weight > 0
    low, high = (np.percentile(speed[drawn], [2, 98]) if drawn.any() else (0.0, 1.0))
    if high <= low:
        high = low + 1.0
    norm = colors.Normalize(vmin=float(low), vmax=float(high))
    cmap = colormaps["viridis"]
    rgb = cmap(norm(speed))[..., :3]
    brightness = np.zeros_like(weight, dtype=np.float64)
    if drawn.any():
        brightness = np.clip(weight / np.percentile(weight[drawn], 95), 0.0, 1.0) ** 0.5
    ax.imshow(rgb * brightness[..., None], extent=extent, interpolation="nearest")
    ax.set_title("Mean speed along the tracks")
    _scale_bar(ax, result)
    bar = fig.colorbar(cm.ScalarMappable(norm=norm, cmap=cmap), cax=fig.add_axes((0.83, 0.1, 0.035, 0.8)))
    bar.set_label(f"speed ({result.params.space_unit}/{result.params.time_unit})")
    fig.savefig(path)


def save_outputs(result: TrackingResult, directory: str | Path, extra_summary: dict | None = None) -> dict:
    """Write density.png, speed.png, tracks.csv and summary.json; returns the summary."""
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    save_density_png(result, directory / "density.png")
    save_speed_png(result, directory / "speed.png")
    result.table().to_csv(directory / "tracks.csv", index=False)
    summary = result.summary()
    if extra_summary:
        summary.update(extra_summary)
    (directory / "summary.json").write_text(json.dumps(summary, indent=2, default=float) + "\n")
    return summary
