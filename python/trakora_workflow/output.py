"""The files a run writes for a tracking result, into an `outdir.OutputDir`.

Outputs: density.png, speed.png, tracks.csv, detections.csv, msd.png, msd.csv,
track_speeds.csv, drift.csv, overlay.png, summary.json (and ground_truth.csv from the demo).
Text files are UTF-8 whatever the locale; the pictures are drawn by `pictures`.
"""
from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING

from .outdir import SUMMARY, OutputDir
from .tables import write_csv
from .pictures import save_density_png, save_msd_png, save_overlay_png, save_speed_png

if TYPE_CHECKING:
    import numpy as np
    import pandas as pd

    from .pipeline import TrackingResult

__all__ = ["OUTPUT_NAMES", "write_csv", "write_outputs"]

#: Every file a run may write.
OUTPUT_NAMES = ("density.png", "speed.png", "msd.png", "overlay.png", "tracks.csv", "detections.csv",
                "drift.csv", "msd.csv", "track_speeds.csv", "summary.json", "ground_truth.csv")


def _frame_image(frames, index: int) -> np.ndarray:
    import numpy as np
    read = getattr(frames, "read", None)
    return np.asarray(read(index) if read is not None else frames[index])


def write_outputs(result: TrackingResult, out: OutputDir, frames=None, extra_summary: dict | None = None,
                  *, overlay_frame: int = 0) -> list[str]:
    """Write every output of a result into an open OutputDir: density.png and speed.png (when
    the tracks were rendered), tracks.csv, detections.csv, msd.csv, track_speeds.csv and
    msd.png (when analysed), drift.csv (when drift was subtracted), overlay.png (frame
    `overlay_frame` of `frames`, a stack or frame source, when given) and summary.json (the
    result's summary updated with `extra_summary`). Returns the names written, summary.json
    last. Nothing reaches the directory before `out.commit()` (which leaving the OutputDir's
    `with` block does)."""
    written: list[str] = []
    if getattr(result, "rendering", None) is not None:
        save_density_png(result, out.path("density.png"))
        written.append("density.png")
        save_speed_png(result, out.path("speed.png"))
        written.append("speed.png")
    tracks = result.table()
    out.write_csv("tracks.csv", tracks)
    written.append("tracks.csv")
    detections = result.detections()
    out.write_csv("detections.csv", detections)
    written.append("detections.csv")
    analysis = getattr(result, "analysis", None)
    if analysis is not None:
        out.write_csv("msd.csv", analysis.emsd)
        out.write_csv("track_speeds.csv", analysis.speeds)
        save_msd_png(analysis.emsd, analysis.fit, out.path("msd.png"), result.params.space_unit,
                     result.params.time_unit)
        written += ["msd.csv", "track_speeds.csv", "msd.png"]
        if analysis.drift is not None:
            out.write_csv("drift.csv", analysis.drift, index=True)
            written.append("drift.csv")
    if frames is not None and len(frames) > 0:
        save_overlay_png(_frame_image(frames, overlay_frame), detections, tracks, out.path("overlay.png"),
                         result.params.pixel_size, result.params.space_unit, overlay_frame)
        written.append("overlay.png")
    summary = result.summary()
    if extra_summary:
        summary.update(extra_summary)
    out.write_json(SUMMARY, summary)
    written.append(SUMMARY)
    return written
