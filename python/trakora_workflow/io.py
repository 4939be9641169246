"""Reading stacks from .npy and TIFF / OME-TIFF files."""
from __future__ import annotations

import logging
from pathlib import Path

import numpy as np

TIFF_SUFFIXES = (".tif", ".tiff")


class StackError(ValueError):
    """A file that cannot be read as a stack; the message is one line."""


def _first_line(exc: BaseException) -> str:
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__


def _from_axes(array: np.ndarray, axes: str) -> np.ndarray:
    """Put labelled axes into (T, [Z,] Y, X) order; length-1 axes other than Y and X are
    dropped. Labels other than T, Z, Y, X leave the array in its stored order."""
    keep = [i for i, a in enumerate(axes) if array.shape[i] > 1 or a in "YX"]
    array = array.reshape([array.shape[i] for i in keep])
    axes = "".join(axes[i] for i in keep)
    if "C" in axes or "S" in axes:
        raise StackError(f"multi-channel stacks are not supported (axes {axes}, shape {array.shape}); "
                         "save one channel")
    if set(axes) <= set("TZYX") and "Y" in axes and "X" in axes:
        order = [axes.index(a) for a in "TZYX" if a in axes]
        array = np.transpose(array, order)
    return array


def load_stack(path: str | Path) -> np.ndarray:
    """A stack from a .npy file or a TIFF / OME-TIFF file (its first series).

    Raises StackError with a one-line message when the file is missing or unreadable. The
    dimensionality is checked by the workflow (`check_stack`).
    """
    path = Path(path)
    if not path.exists():
        raise StackError(f"no such file: '{path}'")
    if path.is_dir():
        raise StackError(f"'{path}' is a directory, not a stack file")
    name = path.name.lower()
    try:
        if name.endswith(".npy"):
            return np.load(path, mmap_mode="r", allow_pickle=False)
        if name.endswith(TIFF_SUFFIXES):
            import tifffile
            logger = logging.getLogger("tifffile")   # its warnings would add lines to our message
            was_disabled, logger.disabled = logger.disabled, True
            try:
                with tifffile.TiffFile(path) as tif:
                    if not tif.series:
                        raise StackError(f"cannot read '{path}': no image data found")
                    series = tif.series[0]
                    return _from_axes(series.asarray(), series.axes)
            finally:
                logger.disabled = was_disabled
    except StackError:
        raise
    except Exception as exc:  # any reader failure becomes one line naming the file
        raise StackError(f"cannot read '{path}': {_first_line(exc)}") from exc
    raise StackError(f"unsupported file type '{path.suffix}' for '{path}'; use .npy, .tif or .tiff")
