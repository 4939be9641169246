"""Reading recordings: stack files (.npy, TIFF / OME-TIFF), image sequences, arrays.

`open_recording` turns what a user has (a path, a directory, several files, a glob pattern,
an array or a list of arrays) into a `FrameSource`: a lazy sequence of frames that reads one
frame at a time. Sources made from files hold only their paths and reopen the files where
they are used, so they can be sent to Dask workers, which then read their own frames.

Frames come out as 2-D images (rows, columns) or 3-D volumes (planes, rows, columns). Colour
frames become luminance (0.2125 R + 0.7154 G + 0.0721 B, alpha ignored) unless `channel`
picks one channel.
"""
from __future__ import annotations

import glob as _glob
import logging
import os
import re
from pathlib import Path

import numpy as np

from .errors import InputError

TIFF_SUFFIXES = (".tif", ".tiff")
IMAGE_SUFFIXES = (".png", ".jpg", ".jpeg", ".bmp", ".gif", ".webp", ".jp2", ".pgm", ".ppm", ".pbm")
STACK_SUFFIXES = (".npy", *TIFF_SUFFIXES)
LUMINANCE = np.array([0.2125, 0.7154, 0.0721])


class StackError(InputError):
    """A recording that cannot be read; the message is one line."""


def _first_line(exc: BaseException) -> str:
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__


def natural_key(path: str | Path) -> list:
    """Sort key that puts frame_2 before frame_10."""
    return [int(part) if part.isdigit() else part.lower() for part in re.split(r"(\d+)", str(path))]


def _colour(frame: np.ndarray, channel: int | None, name: str) -> np.ndarray:
    """A frame whose last axis holds colour samples, reduced to one channel or luminance."""
    if channel is not None:
        if not 0 <= channel < frame.shape[-1]:
            raise StackError(f"--channel {channel} is out of range for '{name}', which has "
                             f"{frame.shape[-1]} channels (0 to {frame.shape[-1] - 1})")
        return frame[..., channel]
    rgb = frame[..., :3].astype(np.float32)
    return (rgb[..., 0] * np.float32(LUMINANCE[0]) + rgb[..., 1] * np.float32(LUMINANCE[1])
            + rgb[..., 2] * np.float32(LUMINANCE[2]))


class FrameSource:
    """A recording as a lazy sequence of frames.

    `shape` is (frames, rows, columns) or (frames, planes, rows, columns); `source[f]` reads
    frame f, `source[a:b]` a block of frames as one array. `note` says what was done to the
    data on reading (colour converted to luminance), or is None.
    """

    name: str = "array"
    shape: tuple[int, ...] = ()
    dtype: np.dtype = np.dtype(np.float32)
    note: str | None = None

    @property
    def ndim(self) -> int:
        """Spatial dimensions of a frame: 2 or 3."""
        return len(self.shape) - 1

    @property
    def frame_shape(self) -> tuple[int, ...]:
        return tuple(self.shape[1:])

    def __len__(self) -> int:
        return self.shape[0]

    def read(self, index: int) -> np.ndarray:
        raise NotImplementedError

    def __getitem__(self, key):
        if isinstance(key, slice):
            indices = range(*key.indices(len(self)))
            if not len(indices):
                return np.zeros((0, *self.frame_shape), dtype=self.dtype)
            return np.stack([self.read(i) for i in indices])
        index = int(key)
        if index < 0:
            index += len(self)
        if not 0 <= index < len(self):
            raise IndexError(f"frame {key} is out of range for {len(self)} frames")
        return self.read(index)

    def __array__(self, dtype=None, copy=None):
        data = self[:]
        return data if dtype is None else data.astype(dtype)

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.name!r} shape={self.shape} dtype={self.dtype}>"

    def __getstate__(self):
        state = dict(self.__dict__)
        state.pop("_handle", None)           # open files are not sent; the receiver reopens
        return state


class ArraySource(FrameSource):
    """Frames of an array (or array-like) of shape (frames, rows, columns[, samples]) or
    (frames, planes, rows, columns), or of a list of equally shaped 2-D/3-D arrays."""

    def __init__(self, data, name: str = "array", channel: int | None = None, colour: bool = False):
        self.data = data
        self.name = name
        self.channel = channel
        self.colour = colour
        first = np.asarray(data[0]) if len(data) else None
        frame_shape = tuple(np.shape(data)[1:]) if first is None else first.shape
        if colour:
            frame_shape = frame_shape[:-1]
            self.note = (f"colour frames of '{name}' converted to luminance (0.2125 R + 0.7154 G + "
                         "0.0721 B)" if channel is None else None)
        self.shape = (len(data), *frame_shape)
        self.dtype = np.dtype(np.float32) if (colour and channel is None) else (
            first.dtype if first is not None else np.asarray(data).dtype)

    def read(self, index: int) -> np.ndarray:
        frame = np.asarray(self.data[index])
        return _colour(frame, self.channel, self.name) if self.colour else frame


class NpySource(ArraySource):
    """A .npy stack, memory-mapped (pages of the file, not memory of the process)."""

    def __init__(self, path: Path, channel: int | None = None):
        self.path = Path(path)
        data = np.load(self.path, mmap_mode="r", allow_pickle=False)
        colour = channel is not None and (data.ndim == 5 or (data.ndim == 4 and data.shape[-1] <= 4))
        if channel is not None and not colour:
            raise StackError(f"--channel {channel} given, but '{path}' (shape {data.shape}) has no channel axis")
        super().__init__(data, name=str(path), channel=channel, colour=colour)
        self._raw_shape = data.shape

    def __getstate__(self):
        state = super().__getstate__()
        state["data"] = None
        return state

    def read(self, index: int) -> np.ndarray:
        if self.data is None:
            self.data = np.load(self.path, mmap_mode="r", allow_pickle=False)
        return super().read(index)


def _quiet_tifffile():
    """tifffile logs warnings of its own; they would add lines to our one-line messages."""
    logger = logging.getLogger("tifffile")
    logger.disabled = True


class TiffSource(FrameSource):
    """The first series of a TIFF / OME-TIFF file, read frame by frame.

    Uncompressed contiguous series are memory-mapped; others are read page by page, so a
    frame costs the memory of its own pages only.
    """

    def __init__(self, path: Path, channel: int | None = None):
        import tifffile
        _quiet_tifffile()
        self.path = Path(path)
        self.name = str(path)
        self.channel = channel
        with tifffile.TiffFile(self.path) as tif:
            if not tif.series:
                raise StackError(f"cannot read '{path}': no image data found")
            series = tif.series[0]
            axes, shape = series.axes, tuple(series.shape)
            self.dtype = np.dtype(series.dtype)
            self.memmappable = series.dataoffset is not None and len(series.pages) > 0
            # pages written one by one may each form a series of their own: one frame per page
            self.page_series = len(tif.series) > 1 and all(
                s.shape == series.shape and s.dtype == series.dtype and len(s.pages) == 1 for s in tif.series)
            if self.page_series:
                axes, shape = "I" + axes, (len(tif.series), *shape)
                self.memmappable = False
        self._layout(axes, shape)

    def _layout(self, axes: str, shape: tuple[int, ...]) -> None:
        """Find which stored axes are time, planes, channels and colour samples."""
        self.stored_shape = shape
        self.stored_axes = axes
        frame_axes = [a for a in axes if a not in "YXS"]   # one page per combination of these
        self.page_axes = "".join(frame_axes)
        self.page_shape = tuple(shape[axes.index(a)] for a in frame_axes)
        samples = shape[axes.index("S")] if "S" in axes else 1
        roles = {}
        for a in frame_axes:
            n = shape[axes.index(a)]
            role = {"T": "T", "I": "T", "Q": "T", "Z": "Z", "C": "C"}.get(a)
            if n == 1:
                continue
            if role is None or role in roles:
                raise StackError(f"cannot read '{self.name}': unsupported axes {axes} (shape {shape}); "
                                 "expected time, planes, rows, columns and at most one channel axis")
            roles[role] = a
        if "C" in roles and "S" in axes and samples > 1:
            raise StackError(f"cannot read '{self.name}': both channels and colour samples (axes {axes})")
        self.roles = roles
        self.samples = samples
        n_channels = shape[axes.index(roles["C"])] if "C" in roles else samples
        if n_channels > 1 and self.channel is None and not ("S" in axes and samples in (3, 4)):
            raise StackError(f"'{self.name}' is a multi-channel stack ({n_channels} channels, axes {axes}, "
                             f"shape {shape}); pick one with --channel N (channel=N)")
        if self.channel is not None and not 0 <= self.channel < n_channels:
            raise StackError(f"--channel {self.channel} is out of range for '{self.name}', which has "
                             f"{n_channels} channel(s)")
        if self.samples in (3, 4) and self.channel is None:
            self.note = f"colour frames of '{self.name}' converted to luminance (0.2125 R + 0.7154 G + 0.0721 B)"
            self.dtype = np.dtype(np.float32)
        frames = shape[axes.index(roles["T"])] if "T" in roles else 1
        planes = (shape[axes.index(roles["Z"])],) if "Z" in roles else ()
        self.shape = (frames, *planes, shape[axes.index("Y")], shape[axes.index("X")])

    def _pages(self, index: int) -> np.ndarray:
        """Page numbers of frame `index`, in plane order."""
        pages = np.arange(int(np.prod(self.page_shape, dtype=np.int64))).reshape(self.page_shape)
        select = []
        for a in self.page_axes:
            role = next((r for r, b in self.roles.items() if b == a), None)
            if role == "T":
                select.append(index)
            elif role == "C":
                select.append(self.channel)
            elif role == "Z":
                select.append(slice(None))
            else:
                select.append(0)
        return np.atleast_1d(pages[tuple(select)])

    def _handle_open(self):
        handle = self.__dict__.get("_handle")
        if handle is None:
            import tifffile
            _quiet_tifffile()
            if self.memmappable:
                try:
                    handle = ("memmap", tifffile.memmap(self.path, series=0, mode="r"))
                except Exception:
                    self.memmappable = False
            if handle is None:
                handle = ("file", tifffile.TiffFile(self.path))
            self._handle = handle
        return handle

    def read(self, index: int) -> np.ndarray:
        try:
            return self._read(index)
        except StackError:
            raise
        except Exception as exc:
            raise StackError(f"cannot read frame {index} of '{self.name}': {_first_line(exc)}") from exc

    def _read(self, index: int) -> np.ndarray:
        kind, handle = self._handle_open()
        pages = self._pages(index)
        if kind == "memmap":
            data = handle.reshape(-1, *handle.shape[len(self.page_shape):])[pages]
        elif self.page_series:
            data = handle.series[index].asarray()[None]
        else:
            data = handle.asarray(key=[int(p) for p in pages], series=0)
            data = data.reshape(len(pages), *data.shape[-(2 + (self.samples > 1)):])
        if self.samples > 1:
            data = _colour(data, self.channel, self.name)
        data = np.asarray(data)
        return data if "Z" in self.roles else data[0]

    def close(self) -> None:
        handle = self.__dict__.pop("_handle", None)
        if handle is not None and handle[0] == "file":
            handle[1].close()


def _image_shape(path: Path) -> tuple[tuple[int, ...], str]:
    """Shape and dtype of a single-image file, from its header."""
    if path.suffix.lower() in TIFF_SUFFIXES:
        import tifffile
        _quiet_tifffile()
        with tifffile.TiffFile(path) as tif:
            series = tif.series[0]
            return tuple(series.shape), str(series.dtype)
    import imageio.v3 as iio
    props = iio.improps(path)
    return tuple(props.shape), str(props.dtype)


class SequenceSource(FrameSource):
    """One frame per file (PNG, JPEG, TIFF, BMP, ...), in the given order."""

    def __init__(self, paths: list[Path], channel: int | None = None):
        self.paths = [Path(p) for p in paths]
        self.name = f"{self.paths[0].parent}/{self.paths[0].name} ... ({len(self.paths)} files)"
        self.channel = channel
        try:
            first_shape, dtype = _image_shape(self.paths[0])
        except Exception as exc:
            raise StackError(f"cannot read '{self.paths[0]}': {_first_line(exc)}") from exc
        self.file_shape = first_shape
        for p in self.paths[1:]:
            try:
                shape, _ = _image_shape(p)
            except Exception as exc:
                raise StackError(f"cannot read '{p}': {_first_line(exc)}") from exc
            if shape != first_shape:
                raise StackError(f"'{p}' has shape {shape}, unlike the first file '{self.paths[0]}' "
                                 f"with shape {first_shape}; all frames of a sequence must have one shape")
        self.colour = len(first_shape) == 3 and first_shape[-1] in (3, 4)
        if len(first_shape) == 3 and first_shape[-1] == 2:        # grey + alpha
            self.colour = True
        if len(first_shape) not in (2, 3):
            raise StackError(f"'{self.paths[0]}' has shape {first_shape}; expected one image per file")
        frame_shape = first_shape[:-1] if self.colour else first_shape
        self.shape = (len(self.paths), *frame_shape)
        self.dtype = np.dtype(dtype)
        if self.colour and channel is None:
            if first_shape[-1] == 2:
                self.note = f"grey + alpha frames of '{self.name}': alpha ignored"
            else:
                self.note = (f"colour frames of {len(self.paths)} files converted to luminance "
                             "(0.2125 R + 0.7154 G + 0.0721 B)")
                self.dtype = np.dtype(np.float32)
        elif channel is not None and not self.colour:
            raise StackError(f"--channel {channel} given, but '{self.paths[0]}' has one channel")

    def read(self, index: int) -> np.ndarray:
        path = self.paths[index]
        try:
            if path.suffix.lower() in TIFF_SUFFIXES:
                import tifffile
                _quiet_tifffile()
                frame = tifffile.imread(path)
            else:
                import imageio.v3 as iio
                frame = iio.imread(path)
        except Exception as exc:
            raise StackError(f"cannot read '{path}': {_first_line(exc)}") from exc
        if frame.shape != self.file_shape:
            raise StackError(f"'{path}' has shape {frame.shape}, unlike the first file with shape {self.file_shape}")
        if self.colour:
            if frame.shape[-1] == 2:
                return frame[..., 0]
            return _colour(frame, self.channel, str(path))
        return frame


def _expand(inputs) -> list[Path]:
    """Files named by paths, directories and glob patterns, in natural order per argument."""
    files: list[Path] = []
    for item in inputs:
        path = Path(item)
        if path.is_dir():
            found = sorted((p for p in path.iterdir() if p.is_file() and not p.name.startswith(".")
                            and p.suffix.lower() in IMAGE_SUFFIXES + STACK_SUFFIXES), key=natural_key)
            if not found:
                raise StackError(f"directory '{path}' holds no image files ({', '.join(IMAGE_SUFFIXES + STACK_SUFFIXES)})")
            files.extend(found)
        elif path.exists():
            files.append(path)
        elif _glob.has_magic(str(item)):
            found = sorted((Path(p) for p in _glob.glob(os.path.expanduser(str(item)))
                            if Path(p).is_file()), key=natural_key)
            if not found:
                raise StackError(f"no file matches '{item}'")
            files.extend(found)
        else:
            raise StackError(f"no such file: '{path}'")
    return files


def _open_file(path: Path, channel: int | None) -> FrameSource:
    name = path.name.lower()
    try:
        if name.endswith(".npy"):
            return NpySource(path, channel)
        if name.endswith(TIFF_SUFFIXES):
            return TiffSource(path, channel)
        if name.endswith(IMAGE_SUFFIXES):
            return SequenceSource([path], channel)
    except StackError:
        raise
    except Exception as exc:  # any reader failure becomes one line naming the file
        raise StackError(f"cannot read '{path}': {_first_line(exc)}") from exc
    raise StackError(f"unsupported file type '{path.suffix}' for '{path}'; use .npy, TIFF, or "
                     "image files (PNG, JPEG, BMP, ...)")


def check_frames(source: FrameSource) -> int:
    """The spatial dimensionality (2 or 3) of a source, or a StackError naming its shape."""
    if len(source.shape) not in (3, 4):
        raise StackError("expected a stack of images (frames, rows, columns) or of volumes "
                         f"(frames, planes, rows, columns), got shape {source.shape}")
    if len(source) == 0:
        raise StackError(f"'{source.name}' holds no frames")
    dtype = source.dtype
    if not (np.issubdtype(dtype, np.integer) or np.issubdtype(dtype, np.floating) or dtype == np.bool_):
        raise StackError(f"expected a stack of real numbers, got dtype {dtype}")
    return len(source.shape) - 1


def open_recording(source, *, channel: int | None = None) -> FrameSource:
    """A lazy frame source for a recording.

    `source` is a path to one stack file (.npy, multi-page TIFF, OME-TIFF), a directory of
    image files, a glob pattern, a list of such paths (single-image files become frames in
    natural sort order), an array (frames, rows, columns) / (frames, planes, rows, columns),
    a list of 2-D or 3-D arrays, or a `FrameSource` (returned as it is). `channel` picks one
    channel of a multi-channel or colour recording (default: luminance for colour, refusal for
    several channels). Raises StackError with a one-line message.
    """
    if isinstance(source, FrameSource):
        return source
    if channel is not None and (isinstance(channel, bool) or int(channel) != channel or channel < 0):
        raise StackError(f"--channel must be an integer >= 0, got {channel!r}")
    if isinstance(source, (str, os.PathLike)):
        items = [source]
    elif isinstance(source, (list, tuple)) and source and all(isinstance(s, (str, os.PathLike)) for s in source):
        items = list(source)
    else:
        return _array_source(source, channel)
    files = sorted(_expand(items), key=natural_key)   # a shell's glob puts frame_10 before frame_2
    if len(files) == 1:
        return _open_file(files[0], channel)
    stacks = [f for f in files if f.suffix.lower() == ".npy"]
    if stacks:
        raise StackError(f"'{stacks[0]}' is a stack file; give one stack file, or image files with one frame each")
    return SequenceSource(files, channel)


def _array_source(data, channel: int | None) -> FrameSource:
    if isinstance(data, (list, tuple)):
        if not data:
            raise StackError("an empty list holds no frames")
        frames = [np.asarray(f) for f in data]
        shapes = {f.shape for f in frames}
        if len(shapes) > 1:
            odd = next(i for i, f in enumerate(frames) if f.shape != frames[0].shape)
            raise StackError(f"frame {odd} has shape {frames[odd].shape}, unlike frame 0 with shape "
                             f"{frames[0].shape}; all frames must have one shape")
        if frames[0].ndim not in (2, 3):
            raise StackError(f"expected a list of 2-D images or 3-D volumes, got frames of shape {frames[0].shape}")
        data, shape = frames, (len(frames), *frames[0].shape)
    else:
        if not hasattr(data, "shape"):
            data = np.asarray(data)
        shape = tuple(data.shape)
    ndim = len(shape)
    if ndim == 4 and shape[-1] in (3, 4):
        if channel is None:
            raise StackError(f"an array of shape {shape} looks like colour frames (last axis {shape[-1]}); "
                             "convert it to grey or pick a channel (channel=N)")
        return ArraySource(data, channel=channel, colour=True)
    if channel is not None:
        if ndim == 5 or (ndim == 4 and shape[-1] <= 4):
            return ArraySource(data, channel=channel, colour=True)
        raise StackError(f"channel={channel} given, but the array of shape {shape} has no channel axis")
    return ArraySource(data)


def load_stack(path: str | Path) -> np.ndarray:
    """A whole stack from a .npy file or a TIFF / OME-TIFF file (its first series), as an
    array: a memory map for .npy, otherwise read into memory. Prefer `open_recording`, which
    reads frame by frame. Raises StackError with a one-line message."""
    path = Path(path)
    if not path.exists():
        raise StackError(f"no such file: '{path}'")
    if path.is_dir():
        raise StackError(f"'{path}' is a directory, not a stack file")
    source = _open_file(path, None)
    if isinstance(source, NpySource):
        return source.data
    try:
        return source[:]
    except StackError:
        raise
    except Exception as exc:
        raise StackError(f"cannot read '{path}': {_first_line(exc)}") from exc
