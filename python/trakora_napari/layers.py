"""napari layer data from a tracking result (plain Python: no Qt, no napari import).

World coordinates are physical: a frame pixel (row r, column c, plane p) lies at
(p * z_step, r * pixel_size, c * pixel_size), and the time axis counts frames times
`frame_scale`. The workflow's tables hold physical positions (x = column, y = row,
z = plane); detections and tracks are handed to napari in data pixels of the recording,
(t, (z,) y, x), with a `scale` that maps them onto the same world as the recording's own
layer (see `image_scale`). The density and speed images keep the rendered grid, element i
centred on i * render pixel size.
"""
from __future__ import annotations

import numpy as np
import pandas as pd

LayerDataTuple = tuple  # (data, kwargs, layer type), as napari reads it

SUFFIXES = ("detections", "tracks", "density", "speed")


def layer_names(name: str) -> dict[str, str]:
    """Names of the layers a run over the layer `name` makes, by kind."""
    return {kind: f"{name} {kind}".strip() for kind in SUFFIXES}


def image_scale(params, ndim: int, frame_scale: float = 1.0) -> tuple[float, ...]:
    """Scale of a (t, (z,) y, x) recording layer in the world of the result layers."""
    spatial = ((params.z_step or params.pixel_size,) if ndim == 3 else ()) + (params.pixel_size,) * 2
    return (float(frame_scale), *map(float, spatial))


def _pixels(table: pd.DataFrame, params, ndim: int) -> np.ndarray:
    """(n, (z,) y, x) data-pixel coordinates of a table of physical x, y(, z)."""
    px = float(params.pixel_size)
    columns = [table["y"].to_numpy(np.float64) / px, table["x"].to_numpy(np.float64) / px]
    if ndim == 3:
        columns.insert(0, table["z"].to_numpy(np.float64) / float(params.z_step or px))
    return np.column_stack(columns) if len(table) else np.zeros((0, ndim))


def _limits(values: np.ndarray) -> list[float]:
    finite = values[np.isfinite(values)]
    if not finite.size:
        return [0.0, 1.0]
    low, high = float(finite.min()), float(finite.max())
    return [low, high if high > low else low + 1.0]


def detections_layer(result, frame_scale: float = 1.0, name: str = "") -> LayerDataTuple:
    """Points (t, (z,) y, x) of every detection, with the detection's features."""
    table = result.detections()
    ndim = result.ndim
    data = np.column_stack([table["frame"].to_numpy(np.float64), _pixels(table, result.params, ndim)])
    spatial = {"x", "y", "z"}
    features = pd.DataFrame({c: table[c].to_numpy() for c in table.columns if c not in spatial})
    diameter = getattr(result.params, "diameter", None) or getattr(result.params, "window_size", None) or 7
    kwargs = {
        "name": layer_names(name)["detections"],
        "scale": image_scale(result.params, ndim, frame_scale),
        "features": features,
        "size": float(diameter),
        "symbol": "ring",
        "face_color": "transparent",
        "border_color": "#ffd400",
        "border_width": 0.08,
        "opacity": 0.8,
        "ndim": ndim + 1,
        "metadata": {"source": "trakora"},
    }
    return data, kwargs, "points"


def tracks_layer(result, frame_scale: float = 1.0, name: str = "") -> LayerDataTuple | None:
    """Tracks (id, t, (z,) y, x) coloured by speed, or None when no track has a point."""
    table = result.table()
    if not len(table):
        return None
    order = np.lexsort((table["frame"].to_numpy(), table["track"].to_numpy()))
    table = table.iloc[order].reset_index(drop=True)
    ndim = result.ndim
    data = np.column_stack([table["track"].to_numpy(np.float64), table["frame"].to_numpy(np.float64),
                            _pixels(table, result.params, ndim)])
    speed = table["speed"].to_numpy(np.float64)
    features = pd.DataFrame({
        # A track of one point has no speed; it is drawn with the lowest colour.
        "speed": np.where(np.isfinite(speed), speed, 0.0),
        "intensity": table["intensity"].to_numpy(np.float64),
        "time": table["time"].to_numpy(np.float64),
    })
    kwargs = {
        "name": layer_names(name)["tracks"],
        "scale": image_scale(result.params, ndim, frame_scale),
        "features": features,
        "color_by": "speed",
        "colormap": "turbo",
        "tail_length": 30,
        "tail_width": 2,
        "metadata": {"source": "trakora", "space_unit": result.params.space_unit,
                     "time_unit": result.params.time_unit},
    }
    return data, kwargs, "tracks"


def rendering_layers(result, name: str = "") -> list[LayerDataTuple]:
    """The density and speed images on their physical grid (hidden at first)."""
    rendering = result.rendering
    scale = (float(rendering.pixel_size),) * result.ndim
    names = layer_names(name)
    units = f"{result.params.space_unit}/{result.params.time_unit}"
    density = np.asarray(rendering.density, dtype=np.float32)
    speed = np.asarray(rendering.speed, dtype=np.float32)
    counts = getattr(rendering, "counts", None)
    visited = np.asarray(counts) > 0 if counts is not None else np.isfinite(speed)
    common = {"scale": scale, "blending": "additive", "visible": False}
    return [
        (density, {**common, "name": names["density"], "colormap": "magma",
                   "contrast_limits": _limits(density), "metadata": {"source": "trakora"}}, "image"),
        (speed, {**common, "name": names["speed"], "colormap": "turbo",
                 "contrast_limits": _limits(speed[visited]),
                 "metadata": {"source": "trakora", "unit": units}}, "image"),
    ]


def layers_from_result(result, frame_scale: float = 1.0, name: str = "") -> list[LayerDataTuple]:
    """All layers of a run: detections (Points), tracks (Tracks, when any), density and
    speed (Image). `name` prefixes the layer names (usually the recording layer's name)."""
    layers = [detections_layer(result, frame_scale, name)]
    tracks = tracks_layer(result, frame_scale, name)
    if tracks is not None:
        layers.append(tracks)
    layers.extend(rendering_layers(result, name))
    return layers
