"""The files a run writes for a tracking result, into an `outdir.OutputDir`.

Outputs: density.png, speed.png, tracks.csv, detections.csv (and tracks.parquet,
detections.parquet: asked for, or automatically for large tables), msd.png, msd.csv,
track_speeds.csv, drift.csv, overlay.png, summary.json (and ground_truth.csv from the demo).
Text files are UTF-8 whatever the locale; the pictures are drawn by `pictures`; tracks and
detections are written a chunk of rows at a time (`tables.write_columns`).
"""
from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING

from .errors import ParameterError
from .outdir import SUMMARY, OutputDir
from .params import OPTIONAL_BOOL_WORDS
from .tables import PARQUET_ROWS, Columns, write_columns, write_csv
from .pictures import save_density_png, save_msd_png, save_overlay_png, save_speed_png

if TYPE_CHECKING:
    import numpy as np
    import pandas as pd

    from .pipeline import TrackingResult

__all__ = ["OUTPUT_NAMES", "ParquetChoice", "choose_parquet", "write_csv", "write_outputs"]

#: Every file a run may write.
OUTPUT_NAMES = ("density.png", "speed.png", "msd.png", "overlay.png", "tracks.csv", "detections.csv",
                "tracks.parquet", "detections.parquet", "drift.csv", "msd.csv", "track_speeds.csv", "summary.json",
                "ground_truth.csv")


@dataclass(frozen=True)
class ParquetChoice:
    """Whether the large tables of a run are written as Parquet too: `written`; `automatic`:
    decided from the size of the tables (more than `tables.PARQUET_ROWS` rows in one of them)
    rather than asked; `largest`, `rows`: the table with the most rows and their number;
    `files`: the Parquet files."""

    written: bool
    automatic: bool
    largest: str
    rows: int
    files: tuple[str, ...]

    def note(self) -> str | None:
        """The line that reports an automatic choice to write Parquet (None otherwise)."""
        if not (self.automatic and self.written):
            return None
        return (f"automatic `parquet`: the {self.largest} have {self.rows} rows (more than {PARQUET_ROWS}), so "
                f"{' and '.join(self.files)} are written too")

    def summary(self) -> dict:
        return {"written": self.written, "automatic": self.automatic, "largest_table": self.largest,
                "rows": self.rows, "automatic_above_rows": PARQUET_ROWS, "note": self.note()}


def choose_parquet(parquet, rows: dict[str, int], files: tuple[str, ...]) -> ParquetChoice:
    """The Parquet choice for tables of `rows` rows by name: `parquet` True or False (or a
    form's words yes, no), None (auto) for more than PARQUET_ROWS rows in one table; a
    ParameterError naming `parquet` for anything else."""
    if isinstance(parquet, str) and parquet in OPTIONAL_BOOL_WORDS:
        parquet = (None, True, False)[OPTIONAL_BOOL_WORDS.index(parquet)]
    if parquet is not None and not isinstance(parquet, bool):
        raise ParameterError("parquet", f"must be True, False or None (auto), got {parquet!r}")
    largest = max(rows, key=lambda name: rows[name])
    automatic = parquet is None
    written = rows[largest] > PARQUET_ROWS if automatic else bool(parquet)
    return ParquetChoice(written, automatic, largest, int(rows[largest]), tuple(files))


def _table_columns(result) -> tuple[Columns, Columns]:
    """The tracks and detections of a result as `Columns` (from its DataFrames when it has no
    columns of its own)."""
    if hasattr(result, "track_columns"):
        return result.track_columns(), result.detection_columns()
    return Columns.of(result.table()), Columns.of(result.detections())


def _frame_image(frames, index: int) -> np.ndarray:
    import numpy as np
    read = getattr(frames, "read", None)
    return np.asarray(read(index) if read is not None else frames[index])


def write_outputs(result: TrackingResult, out: OutputDir, frames=None, extra_summary: dict | None = None,
                  *, overlay_frame: int = 0, parquet: bool | None = None) -> list[str]:
    """Write every output of a result into an open OutputDir: density.png and speed.png (when
    the tracks were rendered), tracks.csv, detections.csv (and tracks.parquet,
    detections.parquet when `parquet` is True, or None and a table has more than
    `tables.PARQUET_ROWS` rows), msd.csv, track_speeds.csv and msd.png (when analysed),
    drift.csv (when drift was subtracted), overlay.png (frame `overlay_frame` of `frames`, a
    stack or frame source, when given) and summary.json (the result's summary updated with
    `extra_summary`; its `parquet` says what was chosen and why, its `outputs` lists every file
    of the run in the order written, those written into `out` before this call first,
    summary.json last). Returns the names written here, summary.json last. Nothing reaches the
    directory before `out.commit()` (which leaving the OutputDir's `with` block does)."""
    tracks, detections = _table_columns(result)
    choice = choose_parquet(parquet, {"tracks": tracks.rows, "detections": detections.rows},
                            ("tracks.parquet", "detections.parquet"))
    written: list[str] = []
    if getattr(result, "rendering", None) is not None:
        save_density_png(result, out.path("density.png"))
        written.append("density.png")
        save_speed_png(result, out.path("speed.png"))
        written.append("speed.png")
    for name, columns in (("tracks", tracks), ("detections", detections)):
        write_columns(columns, out.path(f"{name}.csv"), out.path(f"{name}.parquet") if choice.written else None)
        written += [f"{name}.csv", f"{name}.parquet"] if choice.written else [f"{name}.csv"]
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
        # the points the overlay draws: every track, the detections of its frame
        shown = detections.frame(where=lambda chunk: chunk["frame"] == overlay_frame)
        save_overlay_png(_frame_image(frames, overlay_frame), shown, tracks.frame(["track", "frame", "x", "y"]),
                         out.path("overlay.png"), result.params.pixel_size, result.params.space_unit, overlay_frame)
        written.append("overlay.png")
    summary = result.summary()
    if extra_summary:
        summary.update(extra_summary)
    summary["parquet"] = choice.summary()
    summary["outputs"] = [name for name in out.written() if name != SUMMARY] + [SUMMARY]
    out.write_json(SUMMARY, summary)
    written.append(SUMMARY)
    return written
