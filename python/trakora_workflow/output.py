"""Pictures and files written for a tracking result, all of one run, complete or not at all.

Outputs: density.png, speed.png, tracks.csv, detections.csv, msd.png, msd.csv, drift.csv,
overlay.png, summary.json (and ground_truth.csv from the demo). Volumes are shown as
projections along z (density summed, speed averaged with the intensity weights).

A run writes into an `OutputDir`:

    with OutputDir("out") as out:          # checks "out", locks it, makes a temporary folder
        ...                                # the work; files go to out.path("tracks.csv") etc.
        out.write_json("summary.json", summary)
        out.commit()                       # (also done on leaving the block without an error)

Until the commit every file lives in a temporary folder next to the output directory
(`<parent>/.<name>.tmp-<random>`, the same filesystem), so the directory keeps the previous
run's outputs whatever happens to this run. An exception, Ctrl-C or a SIGTERM turned into an
exception removes the temporary folder; a process killed outright leaves it behind, and the
next run into the directory removes it. The commit syncs the new files to disk, removes the
previous summary.json, moves the new files in by rename (each file under a final name is
always complete, the old one or the new one), removes the previous run's outputs of known
names that this run did not write, and moves summary.json in last: a summary.json in the
directory means its outputs all come from the run it describes. Other files in the directory
are never touched. Ctrl-C and SIGTERM arriving during the commit take effect once it is done.

A lock (`flock` on `<dir>/.trakora.lock`) is held from entering the block to leaving it, so
two runs into one directory never interleave: the second is refused at once.
"""
from __future__ import annotations

import json
import math
import numbers
import os
import shutil
import signal
import tempfile
import threading
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from .errors import OutputError
from .figures import blocks, display_factor

if TYPE_CHECKING:
    import pandas as pd

    from .pipeline import Rendering, TrackingResult

__all__ = ["OUTPUT_NAMES", "OutputDir", "OutputDirBusy", "OutputDirError", "check_output_dir",
           "save_density_png", "save_outputs", "save_speed_png", "to_json_safe", "write_csv",
           "write_json", "write_outputs"]

#: Files a run may write; those a run does not write are removed from the directory on commit.
OUTPUT_NAMES = ("density.png", "speed.png", "msd.png", "overlay.png", "tracks.csv", "detections.csv",
                "drift.csv", "msd.csv", "track_speeds.csv", "summary.json", "ground_truth.csv")
SUMMARY = "summary.json"
LOCK_NAME = ".trakora.lock"


class OutputDirError(OutputError):
    """The output directory cannot be used; the message is one line naming --out."""


class OutputDirBusy(OutputDirError):
    """Another run holds the output directory."""


# --------------------------------------------------------------------------- JSON

def to_json_safe(obj: Any) -> Any:
    """A copy of `obj` that strict JSON can hold: NumPy scalars and arrays as Python numbers
    and lists, tuples as lists, non-finite floats (also inside arrays and nested containers)
    as None, paths as strings; other numbers as floats, anything else as its text."""
    if obj is None or isinstance(obj, (bool, str)):
        return obj
    if isinstance(obj, np.ndarray):
        return to_json_safe(obj.tolist())
    if isinstance(obj, np.generic):
        return to_json_safe(obj.item())
    if isinstance(obj, int):
        return int(obj)
    if isinstance(obj, float):
        return obj if math.isfinite(obj) else None
    if isinstance(obj, dict):
        return {_json_key(k): to_json_safe(v) for k, v in obj.items()}
    if isinstance(obj, (list, tuple, set, frozenset)):
        return [to_json_safe(v) for v in obj]
    if isinstance(obj, os.PathLike):
        return os.fspath(obj)
    if isinstance(obj, numbers.Real):
        return to_json_safe(float(obj))
    return str(obj)


def _json_key(key: Any) -> str | int | float | bool | None:
    key = key.item() if isinstance(key, np.generic) else key
    if isinstance(key, float) and not math.isfinite(key):
        return str(key)
    return key if isinstance(key, (str, int, float, bool)) or key is None else str(key)


def json_text(obj: Any) -> str:
    """Strict JSON (no NaN or Infinity) of `to_json_safe(obj)`, indented, ending in a newline."""
    return json.dumps(to_json_safe(obj), indent=2, allow_nan=False) + "\n"


def write_json(obj: Any, path: str | Path) -> None:
    """Write `obj` as strict JSON (see `json_text`)."""
    Path(path).write_text(json_text(obj), encoding="utf-8")


def write_csv(table: pd.DataFrame, path: str | Path, *, index: bool = False) -> None:
    """Write a table as CSV (without its index unless asked): with pyarrow's multi-threaded
    writer when it is installed (about 8x faster than pandas on millions of rows), else
    pandas. Numbers are written in their shortest exact form; strings are not quoted unless
    they must be."""
    if index:
        table = table.reset_index()
    try:
        import pyarrow as pa
        import pyarrow.csv as pcsv
    except ImportError:
        table.to_csv(path, index=False)
        return
    with open(path, "wb") as sink:
        sink.write((",".join(map(str, table.columns)) + "\n").encode())
        if len(table):
            pcsv.write_csv(pa.Table.from_pandas(table, preserve_index=False), sink,
                           pcsv.WriteOptions(include_header=False, quoting_style="needed"))


# --------------------------------------------------------------------------- the directory

def check_output_dir(path: str | Path) -> Path:
    """Make sure `path` can take the outputs: create it if missing, check that it is a
    directory that this process can write to. Returns it; raises OutputDirError (one line
    naming --out) otherwise."""
    path = Path(path)
    try:
        path.mkdir(parents=True, exist_ok=True)
    except FileExistsError:
        raise OutputDirError(f"--out '{path}' exists and is not a directory; choose a directory for --out") from None
    except OSError as exc:
        raise OutputDirError(f"--out '{path}': cannot create the directory ({exc.strerror or exc}); "
                             "choose another --out") from None
    if not path.is_dir():
        raise OutputDirError(f"--out '{path}' is not a directory; choose a directory for --out")
    try:
        fd, probe = tempfile.mkstemp(prefix=".trakora-probe-", dir=path)
        os.close(fd)
        os.unlink(probe)
    except OSError as exc:
        raise OutputDirError(f"--out '{path}' is not writable ({exc.strerror or exc}); fix its permissions "
                             "or choose another --out") from None
    return path


def _fsync_path(path: Path, directory: bool = False) -> None:
    fd = os.open(path, os.O_RDONLY | (getattr(os, "O_DIRECTORY", 0) if directory else 0))
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


class _DeferredSignals:
    """Holds SIGINT and SIGTERM back (main thread only) and delivers them on exit."""

    SIGNALS = tuple(s for s in (getattr(signal, "SIGINT", None), getattr(signal, "SIGTERM", None)) if s)

    def __enter__(self):
        self.caught: list[int] = []
        self.previous: dict[int, Any] = {}
        if threading.current_thread() is threading.main_thread():
            for sig in self.SIGNALS:
                current = signal.getsignal(sig)
                if current is not None:         # None: a handler Python cannot put back
                    self.previous[sig] = signal.signal(sig, lambda signum, frame: self.caught.append(signum))
        return self

    def __exit__(self, *exc):
        for sig, handler in self.previous.items():
            signal.signal(sig, handler)
        for sig in self.caught:
            handler = self.previous[sig]
            if callable(handler):
                handler(sig, None)
            elif handler == signal.SIG_DFL:
                os.kill(os.getpid(), sig)
        return False


class OutputDir:
    """The output directory of one run (see the module's description).

    Entering locks the directory (OutputDirBusy when another run holds it) and makes the
    temporary folder; `path(name)` is where a writer puts output `name`; `commit()` moves
    everything in and returns the summary written with `write_json("summary.json", ...)`
    (or None). Leaving the block commits when it ends normally and nothing was committed
    yet, discards the files when it ends with an exception, and releases the lock.
    """

    def __init__(self, directory: str | Path):
        self.directory = Path(directory)
        self.temp: Path | None = None
        self.summary: dict | None = None
        self.committed = False
        self._real = self.directory
        self._lock_fd: int | None = None

    # -- lifetime
    def __enter__(self) -> OutputDir:
        self.open()
        return self

    def __exit__(self, exc_type, exc, tb) -> None:
        try:
            if exc_type is None and not self.committed:
                self.commit()
        finally:
            self.close()

    def open(self) -> None:
        """Check and lock the directory, then make the temporary folder."""
        check_output_dir(self.directory)
        real = self.directory.resolve()
        try:
            fd = os.open(real / LOCK_NAME, os.O_RDWR | os.O_CREAT | getattr(os, "O_CLOEXEC", 0), 0o644)
        except OSError as exc:
            raise OutputDirError(f"--out '{self.directory}': cannot open its lock file {LOCK_NAME} "
                                 f"({exc.strerror or exc}); fix its permissions or choose another --out") from None
        try:
            import fcntl
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(fd)
            raise OutputDirBusy(f"output directory '{self.directory}' is in use by another trakora run; "
                                "wait for it or choose another --out") from None
        except BaseException:
            os.close(fd)
            raise
        self._lock_fd = fd
        try:
            parent = self._temp_parent(real)
            self._remove_leftovers(parent, real.name)
            self.temp = Path(tempfile.mkdtemp(prefix=f".{real.name}.tmp-", dir=parent))
            self._real = real
            if parent != real:
                self._remove_leftovers(real, real.name)
        except BaseException:
            self.close()
            raise

    @staticmethod
    def _temp_parent(real: Path) -> Path:
        """Next to the directory when the parent is writable and on the same filesystem,
        else inside the directory itself."""
        parent = real.parent
        try:
            if os.stat(parent).st_dev == os.stat(real).st_dev and os.access(parent, os.W_OK | os.X_OK):
                return parent
        except OSError:
            pass
        return real

    @staticmethod
    def _remove_leftovers(parent: Path, name: str) -> None:
        """Temporary folders of runs that were killed. Only a holder of the lock writes
        them, so none is in use; only output names are removed from them, and a folder
        holding anything else is left alone."""
        prefix = f".{name}.tmp-"
        for folder in parent.iterdir():
            try:
                if not folder.name.startswith(prefix) or folder.is_symlink() or not folder.is_dir():
                    continue
                for entry in folder.iterdir():
                    if entry.name in OUTPUT_NAMES and entry.is_file() and not entry.is_symlink():
                        entry.unlink()
                folder.rmdir()
            except OSError:
                continue

    def close(self) -> None:
        """Remove the temporary folder (when not committed) and release the lock."""
        try:
            if self.temp is not None:
                shutil.rmtree(self.temp, ignore_errors=True)
                self.temp = None
        finally:
            if self._lock_fd is not None:
                os.close(self._lock_fd)
                self._lock_fd = None

    # -- writing
    def path(self, name: str) -> Path:
        """Where to write output `name` (a plain file name) during the run."""
        if self.temp is None:
            raise RuntimeError("the output directory is not open (use it in a `with` block)")
        if not name or name != Path(name).name or name in (".", ".."):
            raise ValueError(f"output names are plain file names, got {name!r}")
        return self.temp / name

    def write_json(self, name: str, obj: Any) -> Any:
        """Write `obj` as strict JSON; returns what was written (see `to_json_safe`)."""
        safe = to_json_safe(obj)
        self.path(name).write_text(json.dumps(safe, indent=2, allow_nan=False) + "\n", encoding="utf-8")
        if name == SUMMARY:
            self.summary = safe
        return safe

    def write_csv(self, name: str, table: pd.DataFrame, *, index: bool = False) -> None:
        write_csv(table, self.path(name), index=index)

    def written(self) -> list[str]:
        """Names of the files written so far."""
        if self.temp is None:
            return []
        return sorted(entry.name for entry in self.temp.iterdir() if entry.is_file())

    # -- commit
    def commit(self) -> dict | None:
        """Move the run's files into the directory (see the module's description) and
        remove the temporary folder; returns the summary written, if any."""
        if self.committed:
            raise RuntimeError("the outputs were committed already")
        if self.temp is None:
            raise RuntimeError("the output directory is not open (use it in a `with` block)")
        names = self.written()
        target = self._real
        for name in names:
            if (target / name).is_dir() and not (target / name).is_symlink():
                raise OutputDirError(f"--out '{self.directory}' holds a directory named {name}, where an output "
                                     "file goes; move it away or choose another --out")
            _fsync_path(self.temp / name)
        with _DeferredSignals():
            if (target / SUMMARY).is_file():
                os.unlink(target / SUMMARY)
                _fsync_path(target, directory=True)
            for name in names:
                if name != SUMMARY:
                    os.replace(self.temp / name, target / name)
            for name in OUTPUT_NAMES:
                stale = target / name
                if name not in names and name != SUMMARY and (stale.is_file() or stale.is_symlink()):
                    os.unlink(stale)
            if SUMMARY in names:
                _fsync_path(target, directory=True)
                os.replace(self.temp / SUMMARY, target / SUMMARY)
            _fsync_path(target, directory=True)
            self.committed = True
            shutil.rmtree(self.temp, ignore_errors=True)
            self.temp = None
        return self.summary


# --------------------------------------------------------------------------- pictures

def _rendering(result: TrackingResult) -> Rendering:
    if result.rendering is None:
        raise ValueError("the result has no rendered images (its tracks were not rendered)")
    return result.rendering


def _projected(result: TrackingResult) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(density, speed, weight) to draw: volumes projected along z (density summed, speed
    averaged with the weights), and images larger than DISPLAY_PIXELS reduced by blocks
    (density: block maximum, so thin tracks stay visible; weight: block sum; speed: weighted
    mean), which bounds the memory and time of drawing."""
    r = _rendering(result)
    density, speed, weight = r.density, r.speed, r.weight
    if result.ndim == 3:
        density, speed, weight = density.sum(axis=0), None, weight.sum(axis=0)
        with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
            speed = np.where(weight > 0, (r.weight * r.speed).sum(axis=0) / weight, 0.0)
    factor = display_factor(density.shape)
    if factor > 1:
        with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
            weighted = blocks(np.where(weight > 0, weight * speed, 0.0), factor).sum(axis=(1, 3))
            density = blocks(density, factor).max(axis=(1, 3))
            weight = blocks(weight, factor).sum(axis=(1, 3))
            speed = np.where(weight > 0, weighted / weight, 0.0)
    return density, speed, weight


def _nice_length(span: float) -> float:
    """A round length (1, 2 or 5 times a power of ten) of about a fifth of `span`."""
    target = span / 5.0
    power = 10.0 ** math.floor(math.log10(target))
    return max(m * power for m in (1, 2, 5) if m * power <= target)


def _image_figure(result: TrackingResult):
    """A figure sized to the frame's aspect ratio (labels never clipped: constrained layout),
    its image axes in physical units, and the imshow extent."""
    from matplotlib.figure import Figure
    r = _rendering(result)
    half = r.pixel_size / 2.0
    x_min, x_max, y_min, y_max = r.extent[:4]
    aspect = (y_max - y_min) / (x_max - x_min) if x_max > x_min else 1.0
    width = 7.0
    height = float(np.clip(width * 0.85 * aspect + 0.9, 2.5, 11.0))
    fig = Figure(figsize=(width, height), dpi=120, layout="constrained")
    ax = fig.add_subplot()
    extent = (x_min - half, x_max - half, y_max - half, y_min - half)
    unit = result.params.space_unit
    ax.set_xlabel(f"x ({unit})")
    ax.set_ylabel(f"y ({unit})")
    return fig, ax, extent


def _scale_bar(ax, result: TrackingResult):
    from matplotlib.font_manager import FontProperties
    from mpl_toolkits.axes_grid1.anchored_artists import AnchoredSizeBar  # type: ignore[import-untyped]
    x_min, x_max = _rendering(result).extent[:2]
    length = _nice_length(x_max - x_min)
    label = f"{length:g} {result.params.space_unit}"
    bar = AnchoredSizeBar(ax.transData, length, label, "lower right", pad=0.5, color="white",
                          frameon=False, size_vertical=(x_max - x_min) / 150,
                          fontproperties=FontProperties(size=9))
    ax.add_artist(bar)


def _finite_percentile(values: np.ndarray, q, default):
    """Percentile(s) of the finite values, or `default` when there are none."""
    finite = values[np.isfinite(values)]
    return np.percentile(finite, q) if finite.size else default


def density_scale(density: np.ndarray) -> float:
    """Top of the density colour scale: the 99.5th percentile of the finite positive pixels
    (1 without any), so that a non-finite pixel cannot blank the picture."""
    top = float(_finite_percentile(density[density > 0], 99.5, 1.0))
    return top if math.isfinite(top) and top > 0 else 1.0


def save_density_png(result: TrackingResult, path: str | Path) -> None:
    from matplotlib import colors
    density, _, _ = _projected(result)
    top = density_scale(density)
    # NaN pixels are drawn as empty, +inf ones at the top of the scale.
    shown = np.clip(np.nan_to_num(density, nan=0.0, posinf=top, neginf=0.0), 0, None)
    fig, ax, extent = _image_figure(result)
    image = ax.imshow(shown, extent=extent, cmap="magma", interpolation="nearest",
                      norm=colors.PowerNorm(0.5, vmin=0.0, vmax=top))
    ax.set_title(f"Track density ({len(result.track_end_indices)} tracks)")
    _scale_bar(ax, result)
    bar = fig.colorbar(image, ax=ax, fraction=0.046, pad=0.02)
    bar.set_label("summed intensity")
    fig.savefig(path)


def speed_scale(speed: np.ndarray, weight: np.ndarray) -> tuple[float, float, float]:
    """(low, high) of the speed colour scale, the 2nd and 98th percentiles of the finite
    speeds of pixels with a finite positive weight, and the weight shown at full brightness
    (95th percentile of the finite positive weights)."""
    drawn = (weight > 0) & np.isfinite(weight) & np.isfinite(speed)
    low, high = (float(v) for v in _finite_percentile(speed[drawn], [2, 98], (0.0, 1.0)))
    if not high > low:
        high = low + 1.0
    full = float(_finite_percentile(weight[weight > 0], 95, 1.0))
    return low, high, full if math.isfinite(full) and full > 0 else 1.0


def save_speed_png(result: TrackingResult, path: str | Path) -> None:
    from matplotlib import cm, colormaps, colors
    _, speed, weight = _projected(result)
    low, high, full = speed_scale(speed, weight)
    norm = colors.Normalize(vmin=low, vmax=high)
    cmap = colormaps["viridis"]
    rgb = cmap(norm(np.nan_to_num(speed, nan=low, posinf=high, neginf=low)))[..., :3]
    with np.errstate(invalid="ignore"):
        brightness = np.clip(np.nan_to_num(weight / full, nan=0.0, posinf=1.0, neginf=0.0), 0.0, 1.0) ** 0.5
    fig, ax, extent = _image_figure(result)
    ax.imshow(rgb * brightness[..., None], extent=extent, interpolation="nearest")
    ax.set_title("Mean speed along the tracks")
    _scale_bar(ax, result)
    bar = fig.colorbar(cm.ScalarMappable(norm=norm, cmap=cmap), ax=ax, fraction=0.046, pad=0.02)
    bar.set_label(f"speed ({result.params.space_unit}/{result.params.time_unit})")
    fig.savefig(path)


# --------------------------------------------------------------------------- a run's outputs

def _frame_image(frames, index: int) -> np.ndarray:
    read = getattr(frames, "read", None)
    return np.asarray(read(index) if read is not None else frames[index])


def write_outputs(result: TrackingResult, out: OutputDir, frames=None, extra_summary: dict | None = None,
                  *, overlay_frame: int = 0) -> list[str]:
    """Write every output of a result into an open OutputDir: density.png and speed.png (when
    the tracks were rendered), tracks.csv, detections.csv, msd.csv and msd.png (when analysed),
    drift.csv (when drift was subtracted), overlay.png (frame `overlay_frame` of `frames`, a
    stack or frame source, when given) and summary.json (the result's summary updated with
    `extra_summary`). Returns the names written, summary.json last.
    Nothing reaches the directory before `out.commit()`."""
    written: list[str] = []

    def wrote(name: str) -> None:
        written.append(name)

    if getattr(result, "rendering", None) is not None:
        save_density_png(result, out.path("density.png"))
        wrote("density.png")
        save_speed_png(result, out.path("speed.png"))
        wrote("speed.png")
    tracks = result.table()
    out.write_csv("tracks.csv", tracks)
    wrote("tracks.csv")
    detections = result.detections()
    out.write_csv("detections.csv", detections)
    wrote("detections.csv")
    analysis = getattr(result, "analysis", None)
    if analysis is not None:
        from .figures import save_msd_png
        out.write_csv("msd.csv", analysis.emsd)
        wrote("msd.csv")
        out.write_csv("track_speeds.csv", analysis.speeds)
        wrote("track_speeds.csv")
        save_msd_png(analysis.emsd, analysis.fit, out.path("msd.png"), result.params.space_unit,
                     result.params.time_unit)
        wrote("msd.png")
        if analysis.drift is not None:
            out.write_csv("drift.csv", analysis.drift, index=True)
            wrote("drift.csv")
    if frames is not None and len(frames) > 0:
        from .figures import save_overlay_png
        save_overlay_png(_frame_image(frames, overlay_frame), detections, tracks, out.path("overlay.png"),
                         result.params.pixel_size, result.params.space_unit, overlay_frame)
        wrote("overlay.png")
    summary = result.summary()
    if extra_summary:
        summary.update(extra_summary)
    out.write_json(SUMMARY, summary)
    wrote(SUMMARY)
    return written


def save_outputs(result: TrackingResult, directory: str | Path, extra_summary: dict | None = None) -> dict:
    """Write density.png, speed.png, tracks.csv and summary.json into `directory`, as one
    run's outputs (see the module's description); returns the summary as written."""
    with OutputDir(directory) as out:
        save_density_png(result, out.path("density.png"))
        save_speed_png(result, out.path("speed.png"))
        out.write_csv("tracks.csv", result.table())
        summary = result.summary()
        if extra_summary:
            summary.update(extra_summary)
        written = out.write_json(SUMMARY, summary)
    return written
