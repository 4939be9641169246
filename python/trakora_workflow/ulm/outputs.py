"""The output folder of a ULM run: localizations.csv, tracks.csv (and localizations.parquet,
tracks.parquet: asked for, or automatically for large tables), the maps as .npy and 32-bit
TIFF, their pictures and summary.json, written through `OutputDir` so that a run leaves all
of them or none."""
from __future__ import annotations

import math

import numpy as np

from ..output import OutputDir, choose_parquet
from ..tables import Columns, write_columns
from ..text import utf8_text

__all__ = ["ULM_OUTPUTS", "UlmWriter", "save_map_pngs"]

ULM_OUTPUTS = ("localizations.csv", "tracks.csv", "localizations.parquet", "tracks.parquet", "density.npy", "density.tif", "velocity.npy", "velocity.tif",
               "direction.npy", "direction.tif", "density.png", "velocity.png", "direction.png", "summary.json")


def _finite_percentile(values: np.ndarray, q: float, default: float) -> float:
    finite = values[np.isfinite(values)]
    top = float(np.percentile(finite, q)) if finite.size else default
    return top if math.isfinite(top) else default


def _count_ticks(top: float, signed: bool = False) -> list[tuple[float, str]]:
    """Ticks of a cube-root scale labelled in tracks per pixel: 0 and the round counts up to
    `top`, at their cube roots (and their negatives for a signed scale)."""
    counts = [n for n in (1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000) if n <= top] or [1]
    ticks = [(0.0, "0")] + [(float(np.cbrt(n)), f"{n}") for n in counts]
    return ticks + [(-v, t) for v, t in ticks[1:]] if signed else ticks


def save_map_pngs(maps, unit: str, paths: dict) -> None:
    """density.png (tracks per pixel, compressed as in ULM papers: the cube root on the
    'hot' map), velocity.png (mean speed on 'jet', black where no track passed) and
    direction.png (the compressed density signed by the axial direction on a diverging map,
    black where the direction is undefined), each with a colour bar in its units. Rows are
    depth z (growing downwards), columns lateral x, both in `unit`."""
    from .. import mapimage

    unit = utf8_text(str(unit))
    d = maps.density.astype(np.float64)
    top = max(1.0, _finite_percentile(d[d > 0], 99.5, 1.0))
    comp = np.cbrt(np.minimum(np.nan_to_num(d, nan=0.0, posinf=top, neginf=0.0), top))
    h, w = d.shape
    x0, x1, z0, z1 = (float(v) for v in maps.extent)
    g = (x1 - x0) / (w - 1) if w > 1 else float(maps.grid)       # pixel edges: centres -+ half a pixel
    k = (z1 - z0) / (h - 1) if h > 1 else float(maps.grid)
    axes = {"x_range": (x0 - g / 2, x1 + g / 2), "y_range": (z0 - k / 2, z1 + k / 2),
            "x_label": f"x, lateral ({unit})", "y_label": f"z, depth ({unit})"}

    def draw(rgb, name, title, bar):
        mapimage.save_png(mapimage.compose(rgb, title=title, bar=bar, **axes), paths[name])

    lim = float(np.cbrt(top))
    draw(mapimage.colour(comp, "hot", 0.0, lim), "density", "Track density",
         mapimage.ColourBar("hot", 0.0, lim, "tracks per pixel (cube-root scale)", ticks=_count_ticks(top)))

    vel = np.where(d > 0, maps.velocity, np.nan)
    vtop = max(_finite_percentile(vel, 99, 1.0), 1e-12)
    shown = np.where(np.isnan(vel), np.nan, np.nan_to_num(vel, posinf=vtop, neginf=0.0))
    draw(mapimage.colour(shown, "jet", 0.0, vtop, bad=(0, 0, 0)), "velocity", "Mean speed",
         mapimage.ColourBar("jet", 0.0, vtop, f"mean speed ({unit}/s)"))

    signed = np.where(d > 0, comp * np.sign(maps.direction), 0.0)
    draw(mapimage.colour(signed, "RdBu_r", -lim, lim, bad=(0, 0, 0)), "direction", "Axial flow direction",
         mapimage.ColourBar("RdBu_r", -lim, lim, "tracks per pixel, red: away from the probe, blue: towards",
                            ticks=_count_ticks(top, signed=True)))


class UlmWriter:
    def __init__(self, directory):
        self.out = OutputDir(directory)

    def open(self) -> None:
        self.out.open()

    def close(self) -> None:
        self.out.close()

    def commit(self) -> dict | None:
        return self.out.commit()

    def write(self, result, extra: dict, parquet: bool | None = None) -> list[str]:
        """Write every output of `result` (its summary updated with `extra`; `parquet` as for
        `output.write_outputs`); returns the names written, in order, summary.json last. The
        automatic Parquet choice's note is added to `result.notes`."""
        import tifffile
        out = self.out
        tables = {"localizations": Columns.of(result.localizations[["frame", "time", "x", "z", "intensity"]]),
                  "tracks": Columns.of(result.tracks)}
        choice = choose_parquet(parquet, {name: c.rows for name, c in tables.items()},
                                tuple(f"{name}.parquet" for name in tables))
        for name, columns in tables.items():
            write_columns(columns, out.path(f"{name}.csv"), out.path(f"{name}.parquet") if choice.written else None)
        if choice.note():
            result.notes.append(choice.note())
        maps = result.maps
        for name in ("density", "velocity", "direction"):
            image = getattr(maps, name).astype(np.float32)
            np.save(out.path(f"{name}.npy"), image)
            tifffile.imwrite(out.path(f"{name}.tif"), image, photometric="minisblack",
                             metadata={"axes": "YX"})
        save_map_pngs(maps, result.params.space_unit,
                      {n: out.path(f"{n}.png") for n in ("density", "velocity", "direction")})
        summary = {**extra, **result.summary(), "parquet": choice.summary()}
        summary["outputs"] = [name for name in out.written() if name != "summary.json"] + ["summary.json"]
        out.write_json("summary.json", summary)
        return out.written()
