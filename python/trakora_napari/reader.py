"""Opening recordings in napari: the inputs `trakora run` accepts, as lazy Image layers.

A recording becomes one Image layer of shape (t, y, x) or (t, z, y, x), read frame by frame
on demand through a Dask array with one frame per chunk, so that a recording larger than
memory opens at once and only the frames on screen are read. Colour frames arrive as
luminance (or one channel) from the workflow's reader.
"""
from __future__ import annotations

import glob
import os
import uuid
from pathlib import Path

import numpy as np

STACK_SUFFIXES = (".npy", ".tif", ".tiff")
IMAGE_SUFFIXES = (".png", ".jpg", ".jpeg", ".bmp", ".gif", ".webp", ".jp2", ".pgm", ".ppm", ".pbm")


def _suffixes() -> tuple[str, ...]:
    from trakora_workflow import io
    return tuple(dict.fromkeys(getattr(io, "STACK_SUFFIXES", STACK_SUFFIXES)
                               + getattr(io, "IMAGE_SUFFIXES", IMAGE_SUFFIXES)))


def _sequences_supported() -> bool:
    import trakora_workflow
    return hasattr(trakora_workflow, "open_recording")


def open_source(source, channel: int | None = None):
    """The workflow's lazy frame source for `source` (path, directory, glob, list of paths).

    With a workflow that predates `open_recording`, one .npy or TIFF file is read through
    `load_stack` (a memory map for .npy)."""
    import trakora_workflow
    if hasattr(trakora_workflow, "open_recording"):
        return trakora_workflow.open_recording(source, channel=channel)
    if isinstance(source, (list, tuple)):
        if len(source) != 1:
            raise trakora_workflow.StackError("several files as one recording need a newer trakora_workflow")
        source = source[0]
    return _NamedArray(trakora_workflow.load_stack(source), Path(source).name)


class _NamedArray:
    """An array with the frame source's `name`."""

    def __init__(self, array: np.ndarray, name: str):
        self.array, self.name = array, name
        self.shape, self.dtype = tuple(array.shape), array.dtype

    def __len__(self) -> int:
        return len(self.array)

    def __getitem__(self, key):
        return self.array[key]


class _FrameArray:
    """A frame source seen as an n-dimensional array, for `dask.array.from_array`."""

    def __init__(self, source):
        self.source = source
        self.shape = tuple(int(n) for n in source.shape)
        self.dtype = np.dtype(source.dtype)
        self.ndim = len(self.shape)

    def __getitem__(self, key):
        key = key if isinstance(key, tuple) else (key,)
        first, rest = key[0], key[1:]
        if isinstance(first, slice):
            indices = range(*first.indices(self.shape[0]))
            if len(indices) == 1:         # one frame: read it alone
                frames = np.asarray(self.source[indices[0]])[None]
            elif first.step in (None, 1):
                frames = np.asarray(self.source[first])
            else:
                frames = np.stack([np.asarray(self.source[i]) for i in indices]) if len(indices) \
                    else np.zeros((0, *self.shape[1:]), dtype=self.dtype)
            return frames[(slice(None), *rest)]
        return np.asarray(self.source[int(first)])[rest]


def lazy_frames(source):
    """A Dask array over a frame source, one frame per chunk; reads happen on compute, one
    at a time (file handles of a source are not shared between threads)."""
    import dask.array as da
    frame_shape = tuple(int(n) for n in source.shape[1:])
    frames = _FrameArray(source)
    return da.from_array(frames, chunks=(1, *frame_shape), lock=True, asarray=True, fancy=False,
                         name=f"trakora-frames-{uuid.uuid4().hex}",
                         meta=np.empty((0,) * frames.ndim, dtype=frames.dtype))


def _readable(path: str) -> bool:
    if os.path.isdir(path):
        if not _sequences_supported():
            return False
        suffixes = _suffixes()
        return any(entry.is_file() and entry.name.lower().endswith(suffixes) for entry in os.scandir(path))
    name = path.lower()
    if glob.has_magic(path) and not os.path.exists(path):
        return _sequences_supported() and name.endswith(_suffixes())
    if name.endswith(STACK_SUFFIXES):
        return True
    return _sequences_supported() and name.endswith(_suffixes())


def get_reader(path: str | list[str]):
    """napari's reader hook: a reader function for recordings trakora can open, else None."""
    paths = [os.fspath(p) for p in path] if isinstance(path, (list, tuple)) else [os.fspath(path)]
    if not paths or not all(_readable(p) for p in paths):
        return None
    if len(paths) > 1 and not _sequences_supported():
        return None
    return read_recording


def read_recording(path: str | list[str]) -> list[tuple]:
    """One Image layer (t, (z,) y, x) for a recording, read lazily."""
    paths = [os.fspath(p) for p in path] if isinstance(path, (list, tuple)) else os.fspath(path)
    source = open_source(paths)
    if len(source.shape) not in (3, 4):
        from trakora_workflow import StackError
        raise StackError(f"'{source.name}' has shape {tuple(source.shape)}; a recording is "
                         "(frames, rows, columns) or (frames, planes, rows, columns)")
    metadata = {"source": paths, "trakora_frames": len(source)}
    note = getattr(source, "note", None)
    if note:
        metadata["note"] = note
    return [(lazy_frames(source), {"name": recording_name(paths, source), "metadata": metadata}, "image")]


def recording_name(paths, source) -> str:
    """A directory's name for image sequences (a directory, a glob pattern, several files);
    the file's name without suffixes for a stack file."""
    first = Path(paths[0] if isinstance(paths, list) else paths).resolve()
    if first.is_dir():
        return first.name
    if (isinstance(paths, list) and len(paths) > 1) or not first.exists():
        return first.parent.name or layer_name(source.name)
    return layer_name(source.name)


def layer_name(name) -> str:
    """A recording's name without its directory and file suffixes ('a/cells.ome.tif' -> 'cells')."""
    name = Path(str(name)).name
    for suffix in (*_suffixes(), ".ome"):
        if name.lower().endswith(suffix) and len(name) > len(suffix):
            name = name[:-len(suffix)]
    return name or "recording"


def simulated_recording() -> list[tuple]:
    """napari sample data: 60 frames of 128 x 128 pixels of spots in channels and diffusing."""
    from trakora_workflow import simulate_recording
    recording = simulate_recording(frames=60, shape=(128, 128), seed=0)
    return [(recording.stack, {"name": "simulated recording"}, "image")]
