"""Opening recordings in napari: the inputs `trakora run` accepts, as lazy Image layers.

A recording becomes one Image layer of shape (t, y, x) or (t, z, y, x), read frame by frame
on demand through a Dask array with one frame per chunk, so that a recording larger than
memory opens at once and only the frames on screen are read. Colour frames arrive as
luminance (or one channel) from the workflow's reader.
"""
from __future__ import annotations

import os
import uuid
from pathlib import Path

import numpy as np


def _suffixes() -> tuple[str, ...]:
    from trakora_workflow.io import IMAGE_SUFFIXES, STACK_SUFFIXES
    return (*STACK_SUFFIXES, *IMAGE_SUFFIXES)


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
            return np.asarray(self.source[first])[(slice(None), *rest)]
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
        return any(entry.is_file() and entry.name.lower().endswith(_suffixes()) for entry in os.scandir(path))
    return path.lower().endswith(_suffixes())       # a file, or a glob pattern of files


def get_reader(path: str | list[str]):
    """napari's reader hook: a reader function for recordings trakora can open, else None."""
    paths = [os.fspath(p) for p in path] if isinstance(path, (list, tuple)) else [os.fspath(path)]
    return read_recording if paths and all(_readable(p) for p in paths) else None


def read_recording(path: str | list[str]) -> list[tuple]:
    """One Image layer (t, (z,) y, x) for a recording, read lazily. Files given as a list
    become frames in the order given (directories and patterns in natural order)."""
    paths = [os.fspath(p) for p in path] if isinstance(path, (list, tuple)) else os.fspath(path)
    from trakora_workflow import open_recording
    from trakora_workflow.io import check_frames
    source = open_recording(paths, sort=False)
    check_frames(source)
    metadata = {"source": paths, "trakora_frames": len(source)}
    note = getattr(source, "note", None)
    if note:                        # e.g. colour frames converted to luminance
        metadata["note"] = note
        from napari.utils.notifications import show_info
        show_info(f"trakora: {note}")
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
