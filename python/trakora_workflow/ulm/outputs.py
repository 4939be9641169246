"""The output folder of a ULM run: localizations.csv, tracks.csv (and localizations.parquet,
tracks.parquet: asked for, or automatically for large tables), the maps as .npy and 32-bit
TIFF, their pictures and summary.json, written through `OutputDir` so that a run leaves all
of them or none."""
from __future__ import annotations

import numpy as np

from ..output import OutputDir, choose_parquet
from ..tables import Columns, write_columns

__all__ = ["ULM_OUTPUTS", "UlmWriter", "save_map_pngs"]

ULM_OUTPUTS = ("localizations.csv", "tracks.csv", "localizations.parquet", "tracks.parquet", "density.npy", "density.tif", "velocity.npy", "velocity.tif",
               "direction.npy", "direction.tif", "density.png", "velocity.png", "direction.png", "summary.json")


def _imshow(ax, image, extent, **kwargs):
    x0, x1, z0, z1 = extent
    g = (x1 - x0) / max(1, image.shape[1] - 1) if image.shape[1] > 1 else 1.0
    h = (z1 - z0) / max(1, image.shape[0] - 1) if image.shape[0] > 1 else 1.0
    return ax.imshow(image, extent=(x0 - g / 2, x1 + g / 2, z1 + h / 2, z0 - h / 2), interpolation="nearest",
                     aspect="equal", **kwargs)


def save_map_pngs(maps, unit: str, paths: dict) -> None:
    """density.png (tracks per pixel, compressed as in ULM papers: the cube root on the
    'hot' map), velocity.png (mean speed) and direction.png (the compressed density signed by
    the axial direction on a diverging map), each with a colour bar in its units."""
    import matplotlib
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from mpl_toolkits.axes_grid1 import make_axes_locatable
    from matplotlib.ticker import FuncFormatter

    d = maps.density.astype(np.float64)
    top = max(1.0, float(np.percentile(d[d > 0], 99.5)) if (d > 0).any() else 1.0)
    comp = np.cbrt(np.minimum(d, top))
    h, w = d.shape
    size = (6.4, max(3.0, 6.4 * h / max(w, 1)))

    counts = [n for n in (1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000) if n <= top] or [1]
    cube_ticks = [0.0] + [float(np.cbrt(n)) for n in counts]
    cube_labels = FuncFormatter(lambda v, _: f"{abs(v) ** 3:.0f}")

    def figure(image, cmap, vmin, vmax, label, name, ticks=None):
        fig = Figure(figsize=size, dpi=100)
        FigureCanvasAgg(fig)
        ax = fig.add_axes((0.11, 0.1, 0.68, 0.85))
        cax = make_axes_locatable(ax).append_axes("right", size="4%", pad=0.12)
        try:
            ax.set_facecolor("black")
            im = _imshow(ax, image, maps.extent, cmap=cmap, vmin=vmin, vmax=vmax)
            ax.set_xlabel(f"x, lateral ({unit})")
            ax.set_ylabel(f"z, depth ({unit})")
            bar = fig.colorbar(im, cax=cax)
            bar.set_label(label)
            if ticks is not None:
                bar.set_ticks(ticks)
                bar.ax.yaxis.set_major_formatter(cube_labels)
            fig.savefig(paths[name])
        finally:
            fig.clear()

    figure(comp, "hot", 0, np.cbrt(top), "tracks per pixel (cube-root scale)", "density", cube_ticks)
    vel = np.where(d > 0, maps.velocity, np.nan)
    vtop = float(np.nanpercentile(vel, 99)) if np.isfinite(vel).any() else 1.0
    cmap = matplotlib.colormaps["jet"].with_extremes(bad="black")
    figure(vel, cmap, 0, max(vtop, 1e-12), f"mean speed ({unit}/s)", "velocity")
    signed = comp * np.sign(maps.direction)
    signed = np.where(d > 0, signed, 0.0)
    lim = np.cbrt(top)
    figure(signed, "RdBu_r", -lim, lim, "tracks per pixel, red: away from the probe, blue: towards", "direction",
           sorted({-t for t in cube_ticks} | set(cube_ticks)))


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
