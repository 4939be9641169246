"""Reading recordings: stack files (.npy, TIFF / OME-TIFF), image sequences, arrays.

`open_recording` turns what a user has (a path, a directory, several files, a glob pattern,
an array or a list of arrays) into a `FrameSource`: a lazy sequence of frames that reads one
frame at a time. Sources made from files hold only their paths and reopen the files where
they are used, so they can be sent to Dask workers, which then read their own frames.

Frames come out as 2-D images (rows, columns) or 3-D volumes (planes, rows, columns). One
rule, `layout`, decides the axes of every input, whatever its container:

* axes a file declares are used as declared: the T, Z, C, Y, X, S axes of an OME-TIFF or
  ImageJ hyperstack, and the colour samples of an RGB TIFF (contiguous or planar);
* the other axes are read from the shape, which is (frames, rows, columns),
  (frames, rows, columns, samples) when the last axis is 1 to 4 long and the shape has 4 or
  5 axes, (frames, planes, rows, columns) otherwise, and (frames, planes, rows, columns,
  samples) for 5 axes. A single image file is one frame.

Samples are grey + alpha (2), RGB (3) or RGBA (4): grey, or the luminance 0.2125 R + 0.7154 G
+ 0.0721 B, alpha ignored, unless `channel` picks one; a declared channel axis of more than one
channel needs `channel`.

Every input is read whole and right, or refused with a one-line `StackError` (an
`InputError`) naming the file: a damaged TIFF (tifffile's warnings are errors here), a page or
file of another shape or type than the others, a file given twice, a path that is not a
regular file, a zero-length axis, a frame too large for memory.
"""
from __future__ import annotations

import contextlib
import glob as _glob
import logging
import os
import re
import stat
import threading
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from .errors import InputError, ParameterError

TIFF_SUFFIXES = (".tif", ".tiff")
IMAGE_SUFFIXES = (".png", ".jpg", ".jpeg", ".bmp", ".gif", ".webp", ".jp2", ".pgm", ".ppm", ".pbm")
STACK_SUFFIXES = (".npy", *TIFF_SUFFIXES)
LUMINANCE = np.array([0.2125, 0.7154, 0.0721])
# Working copies that preparing one frame holds at once (the float copy, the two filters and
# their difference), on top of the frame as read.
WORKING_COPIES = 4


class StackError(InputError):
    """A recording that cannot be read whole and right; the message is one line."""


def _first_line(exc: BaseException) -> str:
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__


def natural_key(path: str | Path) -> list:
    """Sort key that puts frame_2 before frame_10."""
    return [int(part) if part.isdigit() else part.lower() for part in re.split(r"(\d+)", str(path))]


def available_memory() -> int:
    """Bytes of memory available to a new allocation (MemAvailable, else physical memory)."""
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    try:
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, AttributeError):
        return 1 << 62


def _wide(dtype: np.dtype) -> bool:
    """Whether float32 cannot hold every value of this type exactly."""
    return dtype.kind in "iu" and dtype.itemsize > 2 or dtype.kind == "f" and dtype.itemsize > 4


def _gigabytes(n: float) -> str:
    return f"{n / 1e9:.3g} GB"


# ---- the axes of every input ---------------------------------------------------------------

@dataclass(frozen=True)
class Layout:
    """What the stored axes of a recording are, and how a frame is made of them.

    `roles` has one letter per stored axis: T frames, Z planes, Y rows, X columns, C channels,
    S samples (grey + alpha, RGB, RGBA), or 1 for an axis of length 1 that is dropped.
    """

    name: str
    stored_shape: tuple[int, ...]
    roles: str
    frames: int
    frame_shape: tuple[int, ...]
    channel: int | None         # the channel taken, or None for grey / luminance
    luminance: bool
    dtype: np.dtype             # of the frames coming out
    note: str | None

    def frame(self, block) -> np.ndarray:
        """One frame from the stored data of one frame: `block` has the stored axes without T."""
        roles = self.roles.replace("T", "")
        block = np.asarray(block)
        index = tuple(0 if r == "1" else slice(None) for r in roles)
        block = block[index]
        kept = [r for r in roles if r != "1"]
        order = [kept.index(r) for r in "ZYXCS" if r in kept]
        block = block.transpose(order) if order != list(range(len(kept))) else block
        if not any(r in kept for r in "CS"):
            return block
        if self.channel is not None:
            return block[..., self.channel]
        if not self.luminance:                       # grey + alpha: the grey
            return block[..., 0]
        work = self.dtype.type
        return (block[..., 0].astype(work) * work(LUMINANCE[0]) + block[..., 1].astype(work) * work(LUMINANCE[1])
                + block[..., 2].astype(work) * work(LUMINANCE[2]))


def _not_a_stack(name: str, shape: tuple[int, ...]) -> str:
    return ("expected a stack of images (frames, rows, columns) or of volumes (frames, planes, rows, "
            f"columns), colour samples last; '{name}' has shape {shape}")


def layout(shape, dtype, name: str, *, channel: int | None = None, roles: str | None = None,
           path: str | None = None, label: str | None = None) -> Layout:
    """The layout of stored data of this shape and type (see the module's rule).

    `roles` are the axes the container declares, one letter per axis (T, Z, Y, X, C, S) or ?
    where it declares none; None declares none. `label` names the data in the note (default:
    the name, quoted). Raises StackError for shapes that are no
    recording or a frame too large for memory, ParameterError naming `channel` for a channel
    the data does not have."""
    shape = tuple(int(n) for n in shape)
    dtype = np.dtype(dtype)
    n = len(shape)
    axes = list("?" * n if roles is None else roles)
    if len(axes) != n:
        raise ValueError(f"roles {roles!r} do not match shape {shape}")
    if 0 in shape:
        raise StackError(f"'{name}' has an axis of length 0 (shape {shape}); it holds no image data", path)
    if not (np.issubdtype(dtype, np.integer) or np.issubdtype(dtype, np.floating) or dtype == np.bool_):
        raise StackError(f"'{name}' holds {dtype} values; expected real numbers", path)
    for i, r in enumerate(axes):
        if r in "ZCS" and shape[i] == 1:
            axes[i] = "1"
    unknown = [i for i, r in enumerate(axes) if r == "?"]
    if unknown:
        if "Y" not in axes and "X" not in axes:
            if not any(r in "CS" for r in axes) and n in (4, 5) and unknown[-1] == n - 1 and shape[-1] <= 4:
                axes[-1] = "S" if shape[-1] > 1 else "1"
                unknown.pop()
            if len(unknown) < 2:
                raise StackError(_not_a_stack(name, shape), path)
            axes[unknown.pop()] = "X"
            axes[unknown.pop()] = "Y"
        free = [r for r in "TZ" if r not in axes]
        for i in unknown:
            if i > axes.index("Y") or not free:
                if shape[i] == 1:
                    axes[i] = "1"
                    continue
                raise StackError(_not_a_stack(name, shape), path)
            axes[i] = free.pop(0)
    for r in "TZYXCS":
        if axes.count(r) > 1:
            raise StackError(f"'{name}' has two {r} axes ({''.join(axes)}, shape {shape})", path)
    if "Y" not in axes or "X" not in axes or any(r not in "TZYXCS1" for r in axes):
        raise StackError(f"'{name}' has axes {''.join(axes)} (shape {shape}) that are no frames of "
                         "(planes,) rows and columns", path)
    if "C" in axes and "S" in axes:
        raise StackError(f"'{name}' has both channels and colour samples (axes {''.join(axes)}, "
                         f"shape {shape})", path)
    size = {r: shape[i] for i, r in enumerate(axes)}
    samples = size.get("C", size.get("S", 1))
    luminance, note, out, quoted = False, None, dtype, f"'{name}'"
    if channel is not None:
        if samples == 1:
            raise ParameterError("channel", f"{channel} is given, but '{name}' has one channel (shape {shape})")
        if channel >= samples:
            raise ParameterError("channel", f"{channel} is outside the {samples} channels of '{name}' "
                                 f"(0 to {samples - 1})")
    elif "S" in size and samples in (2, 3, 4):
        if samples == 2:
            note = f"grey + alpha frames of {label or quoted}: alpha ignored"
        else:
            luminance = True
            out = np.dtype(np.float64 if _wide(dtype) else np.float32)
            note = f"colour frames of {label or quoted} converted to luminance (0.2125 R + 0.7154 G + 0.0721 B)"
    elif samples > 1:
        raise StackError(f"'{name}' is a multi-channel stack ({samples} channels, axes {''.join(axes)}, "
                         f"shape {shape}); pick one with channel", path)
    frame_shape = tuple(size[r] for r in "ZYX" if r in size)
    layout_ = Layout(name=name, stored_shape=shape, roles="".join(axes), frames=size.get("T", 1),
                     frame_shape=frame_shape, channel=channel, luminance=luminance, dtype=out, note=note)
    _check_fits(layout_, dtype, samples, path)
    return layout_


def _check_fits(lay: Layout, stored: np.dtype, samples: int, path: str | None) -> None:
    """Refuse a frame that preparing it would not fit in the memory available."""
    pixels = int(np.prod(lay.frame_shape, dtype=np.float64))
    work = 8 if _wide(lay.dtype) else 4
    need = pixels * (stored.itemsize * samples + WORKING_COPIES * work)
    have = available_memory()
    if need > have:
        raise StackError(f"a frame of '{lay.name}' ({' x '.join(map(str, lay.frame_shape))} pixels of {stored}) "
                         f"needs about {_gigabytes(need)} of memory to read and prepare, more than the "
                         f"{_gigabytes(have)} available", path)


# ---- frame sources -------------------------------------------------------------------------

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

    def _use(self, lay: Layout) -> None:
        self.layout = lay
        self.shape = (lay.frames, *lay.frame_shape)
        self.dtype = lay.dtype
        self.note = lay.note

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
    """Frames of an array (or array-like) laid out by `layout`, or of a list of equally shaped
    and typed 2-D / 3-D arrays (frames first)."""

    def __init__(self, data, name: str = "array", channel: int | None = None, path: str | None = None):
        self.data = data
        self.name = name
        self.channel = channel
        if isinstance(data, list):
            shape, dtype = (len(data), *np.shape(data[0])), np.asarray(data[0]).dtype
        else:
            shape, dtype = tuple(data.shape), np.dtype(data.dtype)
        if len(shape) < 3:
            raise StackError(f"expected a stack of images (frames, rows, columns) or of volumes (frames, planes, "
                             f"rows, columns), got shape {shape}" + (f" in '{name}'" if path else ""), path)
        self._use(layout(shape, dtype, name, channel=channel, roles="T" + "?" * (len(shape) - 1), path=path))

    def read(self, index: int) -> np.ndarray:
        return self.layout.frame(self.data[index])


class NpySource(ArraySource):
    """A .npy stack, memory-mapped (pages of the file, not memory of the process)."""

    def __init__(self, path: Path, channel: int | None = None):
        self.path = Path(path)
        data = np.load(self.path, mmap_mode="r", allow_pickle=False)
        super().__init__(data, name=str(path), channel=channel, path=str(path))

    def __getstate__(self):
        state = super().__getstate__()
        state["data"] = None
        return state

    def read(self, index: int) -> np.ndarray:
        if self.data is None:
            self.data = np.load(self.path, mmap_mode="r", allow_pickle=False)
        return super().read(index)


# ---- TIFF ----------------------------------------------------------------------------------

class _Heard(logging.Handler):
    """tifffile's log records of one thread (it logs what it finds damaged, and reads on)."""

    def __init__(self):
        super().__init__(logging.WARNING)
        self.thread = threading.get_ident()
        self.messages: list[str] = []

    def emit(self, record):
        if record.thread == self.thread:
            text = re.sub(r"^<[^>]*>\s*", "", record.getMessage().strip())
            self.messages.append(text.splitlines()[0] if text else record.levelname)


_listening = threading.Lock()
_listeners = [0, None]     # calls listening now; the tifffile logger's settings before the first


@contextlib.contextmanager
def _tifffile_heard(name: str, doing: str = "read"):
    """Run a tifffile call; what tifffile logs as a warning or error becomes a StackError.

    While any such call runs, tifffile's logger is on at WARNING whatever it was set to, and
    keeps its records to these calls (the StackError carries them); then it is as it was."""
    logger = logging.getLogger("tifffile")
    heard = _Heard()
    with _listening:
        if _listeners[0] == 0:
            _listeners[1] = (logger.disabled, logger.level, logger.propagate)
            logger.disabled, logger.propagate = False, False
            logger.setLevel(logging.WARNING)
        _listeners[0] += 1
        logger.addHandler(heard)
    try:
        yield
    except Exception as exc:
        if heard.messages:           # what tifffile found is the cause of what failed after it
            raise StackError(f"cannot {doing} '{name}' whole: {heard.messages[0]}", name) from exc
        raise
    finally:
        with _listening:
            logger.removeHandler(heard)
            _listeners[0] -= 1
            if _listeners[0] == 0:
                logger.disabled, level, logger.propagate = _listeners[1]
                logger.setLevel(level)
    if heard.messages:
        raise StackError(f"cannot {doing} '{name}' whole: {heard.messages[0]}", name)


def _page_key(page) -> tuple:
    return (tuple(page.shape), str(page.dtype), page.bitspersample, page.samplesperpixel,
            int(page.planarconfig), int(page.photometric))


def _describe(key: tuple) -> str:
    shape, dtype, bits, samples = key[:4]
    return f"shape {shape}, {dtype}, {bits} bits x {samples} samples"


# Tags that decide a page's shape and type (subfile type, width, length, bits, photometric,
# samples, planar configuration, tile size, extra samples, sample format, depth), and those that
# place its data (strip / tile offsets and byte counts).
_KEY_TAGS = frozenset((254, 256, 257, 258, 262, 277, 284, 322, 323, 338, 339, 32997))
_DATA_TAGS = {273: "offsets", 324: "offsets", 279: "counts", 325: "counts"}
_TAG_TYPES = {1: "u1", 3: "u2", 4: "u4", 13: "u4", 16: "u8", 18: "u8"}


def _raw_pages(path: Path, tiff, first: int, size: int) -> list[tuple[tuple, int]] | None:
    """For every page, in file order: the raw values of its shape and type tags, and the end
    of its data; read from the page headers directly (fast for many pages). None where the
    file has anything else (the caller then reads every page with tifffile)."""
    import mmap
    import struct
    header = struct.Struct(tiff.tagheaderformat)
    count_format, offset_format = struct.Struct(tiff.tagnoformat), struct.Struct(tiff.offsetformat)
    inline, entry = tiff.tagoffsetthreshold, tiff.tagsize
    out: list[tuple[tuple, int]] = []
    seen: set[int] = set()
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        offset = first
        while offset:
            if offset in seen or offset + tiff.tagnosize > size:
                return None
            seen.add(offset)
            (n,) = count_format.unpack_from(m, offset)
            at = offset + tiff.tagnosize
            if n > 4096 or at + n * entry + tiff.offsetsize > size:
                return None
            key, data = [], {}
            for k in range(n):
                code, kind, count, value = header.unpack_from(m, at + k * entry)
                if code not in _KEY_TAGS and code not in _DATA_TAGS:
                    continue
                item = _TAG_TYPES.get(kind)
                if item is None:
                    return None
                nbytes = count * int(item[1])
                if nbytes <= inline:
                    raw = bytes(value[:nbytes])
                else:
                    (where,) = offset_format.unpack(value)
                    if where + nbytes > size:
                        return None
                    raw = m[where:where + nbytes]
                if code in _KEY_TAGS:
                    key.append((code, kind, count, raw))
                else:
                    data[_DATA_TAGS[code]] = np.frombuffer(raw, tiff.byteorder + item).astype(np.uint64)
            starts, lengths = data.get("offsets"), data.get("counts")
            if starts is None or lengths is None or len(starts) != len(lengths):
                return None
            used = starts != 0
            out.append((tuple(key), int((starts[used] + lengths[used]).max()) if used.any() else 0))
            (offset,) = offset_format.unpack_from(m, at + n * entry)
    return out


def _check_pages(path: Path, name: str) -> int:
    """Every page of a TIFF file alike and within the file; returns the number of pages."""
    import tifffile
    size = os.path.getsize(path)
    with tifffile.TiffFile(path) as tif:
        pages = tif.pages
        pages.useframes = False              # full pages: each one's own shape and type
        pages.cache = False
        count = len(pages)
        if count == 0:
            return 0
        first = _page_key(pages[0])
        found = None if tif.tiff.is_ndpi else _raw_pages(path, tif.tiff, pages[0].offset, size)
        raw: list[tuple[tuple | None, int | None]] = (
            list(found) if found is not None and len(found) == count else [(None, None)] * count)
        for i, (key, end) in enumerate(raw):
            page = None
            if key is None or key != raw[0][0]:       # tifffile tells what this page is
                page = pages[i]
                if _page_key(page) != first:
                    raise StackError(f"page {i} of '{name}' has {_describe(_page_key(page))}, unlike page 0 "
                                     f"with {_describe(first)}; every page of a stack must be alike", name)
            if end is None:
                page = pages[i] if page is None else page
                ends = [o + c for o, c in zip(page.dataoffsets, page.databytecounts) if o]
                end = max(ends) if ends else 0
            if end > size:
                raise StackError(f"page {i} of '{name}' is cut short: its data runs to byte {end}, "
                                 f"past the end of the file ({size} bytes)", name)
    return count


def _tiff_roles(series) -> str:
    """The axes a TIFF series declares (see `layout`)."""
    import tifffile
    colour = int(series.keyframe.photometric) in (int(tifffile.PHOTOMETRIC.RGB), int(tifffile.PHOTOMETRIC.YCBCR))
    if series.kind.lower() == "shaped":      # the shape of the array written, axes unknown
        return "".join("S" if a == "S" and colour else "?" for a in series.axes)
    return "".join({"T": "T", "Z": "Z", "C": "C", "Y": "Y", "X": "X", "S": "S"}.get(a, "?") for a in series.axes)


@dataclass(frozen=True)
class _TiffHeader:
    shape: tuple[int, ...]
    roles: str
    dtype: np.dtype
    bits: int
    page_index: list[int]       # the file's page of every page of the series, in order
    page_series: bool           # pages written one by one, a series each
    memmappable: bool
    lead: int                   # the leading axes of `shape` number the pages


def _series_pages(series) -> list[int | None]:
    """The file's page number of every page of a series (None for a page it lacks), without
    reading the pages of a contiguous series (tifffile keeps its first page only: the others
    follow it)."""
    kept = getattr(series, "_pages", None)
    if isinstance(kept, list) and len(kept) == 1 and kept[0] is not None and len(series) > 1:
        return list(range(kept[0].index, kept[0].index + len(series)))
    return [None if p is None else p.index for p in series]


def _tiff_header(path: Path, name: str) -> _TiffHeader:
    """The one image series of a TIFF file, its declared axes and pages; every page checked
    (`_check_pages`) and every page part of the series, else a StackError."""
    import tifffile
    with _tifffile_heard(name):
        count = _check_pages(path, name)
        with tifffile.TiffFile(path) as tif:
            series = tif.series
            if not series or count == 0:
                raise StackError(f"cannot read '{path}': no image data found", name)
            first = series[0]
            page_series = len(series) > 1 and all(
                s.shape == first.shape and s.dtype == first.dtype and len(s.pages) == 1 for s in series)
            if page_series:      # pages written one by one: a series each, one frame per page
                shape, roles = (len(series), *first.shape), "?" + _tiff_roles(first)
                page_index = [s.pages[0].index for s in series if s.pages[0] is not None]
                memmappable = False
            elif len(series) > 1:
                raise StackError(f"'{path}' holds {len(series)} image series of different shapes "
                                 f"({first.shape}, {series[1].shape}); give a file with one", name)
            else:
                shape, roles = tuple(first.shape), _tiff_roles(first)
                numbers = _series_pages(first)
                if None in numbers:
                    raise StackError(f"'{path}' holds {len(numbers) - numbers.count(None)} of the "
                                     f"{len(numbers)} pages its image series describes", name)
                page_index = [int(k) for k in numbers if k is not None]
                memmappable = first.dataoffset is not None
            keyframe = first.keyframe
            page_size = int(np.prod(keyframe.shape, dtype=np.int64))
            if len(page_index) * page_size != int(np.prod(shape, dtype=np.int64)):
                raise StackError(f"'{path}' holds {len(page_index)} pages of {keyframe.shape}, "
                                 f"not the shape {shape} its metadata describes", name)
            if sorted(page_index) != list(range(count)):
                outside = sorted(set(range(count)) - set(page_index))
                if outside:
                    raise StackError(f"page {outside[0]} of '{path}' is not part of its image series "
                                     f"({shape}); every page of a stack must be a frame or plane", name)
                raise StackError(f"the image series of '{path}' uses pages outside the file or a page "
                                 "twice", name)
            dtype, bits = np.dtype(first.dtype), int(keyframe.bitspersample)
    lead = next((k for k in range(len(shape) + 1)
                 if int(np.prod(shape[:k], dtype=np.int64)) == len(page_index)), None)
    if lead is None:
        raise StackError(f"'{path}': pages of shape {keyframe.shape} do not tile its shape {shape}", name)
    return _TiffHeader(shape=shape, roles=roles, dtype=dtype, bits=bits, page_index=page_index,
                       page_series=page_series, memmappable=memmappable, lead=lead)


_opening = threading.RLock()     # TIFF files are opened, and their pages read, one thread at a time


class TiffSource(FrameSource):
    """A TIFF / OME-TIFF file, read frame by frame.

    Uncompressed contiguous series are memory-mapped; others are read page by page, so a
    frame costs the memory of its own pages only. Every page is checked on opening: alike in
    shape and type, within the file, and part of the one image series read.
    """

    def __init__(self, path: Path, channel: int | None = None):
        self.path = Path(path)
        self.name = str(path)
        self.channel = channel
        header = _tiff_header(self.path, self.name)
        self.page_index, self.memmappable, self.lead = header.page_index, header.memmappable, header.lead
        self._use(layout(header.shape, header.dtype, self.name, channel=channel, roles=header.roles,
                         path=self.name))

    def _handle_open(self):
        handle = self.__dict__.get("_handle")
        if handle is None:
            with _opening:
                return self._handle_open_locked()
        return handle

    def _handle_open_locked(self):
        handle = self.__dict__.get("_handle")
        if handle is None:
            import tifffile
            if self.memmappable:
                try:
                    with _tifffile_heard(self.name):
                        handle = ("memmap", tifffile.memmap(self.path, series=0, mode="r"))
                except Exception:
                    self.memmappable = False
            if handle is None:
                handle = ("file", tifffile.TiffFile(self.path))
            self._handle = handle
        return handle

    def read(self, index: int) -> np.ndarray:
        try:
            with _tifffile_heard(self.name, f"read frame {index} of"):
                return self._read(index)
        except StackError:
            raise
        except Exception as exc:
            raise StackError(f"cannot read frame {index} of '{self.name}': {_first_line(exc)}", self.name) from exc

    def _read(self, index: int) -> np.ndarray:
        lay = self.layout
        shape, roles = lay.stored_shape, lay.roles
        t = roles.find("T")
        kind, handle = self._handle_open()
        if kind == "memmap":
            data = handle.reshape(shape)
            return lay.frame(np.take(data, index, axis=t) if t >= 0 else data)
        lead = shape[:self.lead]
        numbers = np.arange(len(self.page_index)).reshape(lead)
        inside = 0 <= t < self.lead
        if inside:
            numbers = np.take(numbers, index, axis=t)
        with _opening:           # one open file: its pages are read by one thread at a time
            pages = [handle.pages[self.page_index[k]].asarray() for k in numbers.ravel()]
        block = np.stack(pages).reshape(*numbers.shape, *shape[self.lead:])
        if t >= 0 and not inside:
            block = np.take(block, index, axis=t)
        return lay.frame(block)

    def close(self) -> None:
        handle = self.__dict__.pop("_handle", None)
        if handle is not None and handle[0] == "file":
            handle[1].close()


# ---- image sequences -----------------------------------------------------------------------

def _image_info(path: Path) -> tuple[tuple[int, ...], np.dtype, int | None, str | None]:
    """Shape, type, bits per sample (TIFF) and declared axes of a file of one frame (an image,
    or a volume for TIFF), from its header."""
    if path.suffix.lower() in TIFF_SUFFIXES:
        header = _tiff_header(path, str(path))
        if header.page_series:
            raise StackError(f"'{path}' holds {header.shape[0]} images written one by one; give it alone as "
                             "a stack, or one frame per file", str(path))
        return header.shape, header.dtype, header.bits, header.roles
    import imageio.v3 as iio
    props = iio.improps(path)
    if props.is_batch and props.shape[0] != 1:
        raise StackError(f"'{path}' holds {props.shape[0]} images (an animation); give a TIFF stack or one "
                         "image per file", str(path))
    return tuple(props.shape[int(props.is_batch):]), np.dtype(props.dtype), None, None


def _read_image(path: Path) -> np.ndarray:
    if path.suffix.lower() in TIFF_SUFFIXES:
        import tifffile
        with _tifffile_heard(str(path)):
            return tifffile.imread(path, series=0)
    import imageio.v3 as iio
    return iio.imread(path)


class SequenceSource(FrameSource):
    """One frame per file (PNG, JPEG, TIFF, BMP, ...), in the given order; every file of one
    shape and type, checked on opening (from the headers) and on reading."""

    def __init__(self, paths: list[Path], channel: int | None = None):
        self.paths = [Path(p) for p in paths]
        self.name = (f"{self.paths[0].parent}/{self.paths[0].name} ... ({len(self.paths)} files)"
                     if len(self.paths) > 1 else str(self.paths[0]))
        self.channel = channel
        infos = []
        for p in self.paths:
            try:
                infos.append(_image_info(p))
            except StackError:
                raise
            except Exception as exc:
                raise StackError(f"cannot read '{p}': {_first_line(exc)}", str(p)) from exc
            shape, dtype, bits, _ = infos[-1]
            first_shape, first_dtype, first_bits, _ = infos[0]
            if shape != first_shape:
                raise StackError(f"'{p}' has shape {shape}, unlike the first file '{self.paths[0]}' "
                                 f"with shape {first_shape}; all frames of a sequence must have one shape", str(p))
            if dtype != first_dtype:
                raise StackError(f"'{p}' holds {dtype} values, unlike the first file '{self.paths[0]}' with "
                                 f"{first_dtype}; all frames of a sequence must have one type", str(p))
            if bits != first_bits:
                raise StackError(f"'{p}' holds {bits}-bit samples, unlike the first file '{self.paths[0]}' with "
                                 f"{first_bits}-bit; all frames of a sequence must have one bit depth", str(p))
        self.file_shape, self.file_dtype, _, roles = infos[0]
        roles = "T" + (roles or "?" * len(self.file_shape))
        self._use(layout((len(self.paths), *self.file_shape), self.file_dtype, self.name, channel=channel,
                         roles=roles, path=str(self.paths[0]),
                         label=f"{len(self.paths)} files" if len(self.paths) > 1 else None))

    def read(self, index: int) -> np.ndarray:
        path = self.paths[index]
        try:
            frame = _read_image(path)
        except StackError:
            raise
        except Exception as exc:
            raise StackError(f"cannot read '{path}': {_first_line(exc)}", str(path)) from exc
        if frame.ndim == len(self.file_shape) + 1 and frame.shape[0] == 1:
            frame = frame[0]                        # a batch of one image (GIF, WebP)
        if frame.shape != self.file_shape or frame.dtype != self.file_dtype:
            raise StackError(f"'{path}' reads as {frame.shape} {frame.dtype}, unlike its header and the first "
                             f"file ({self.file_shape} {self.file_dtype})", str(path))
        return self.layout.frame(frame)


# ---- frames read once ----------------------------------------------------------------------

class KeptFrames(FrameSource):
    """A source that keeps the frames read from it, up to `budget` bytes, until `release()`;
    after that, a kept frame is handed out once more and forgotten. The frames sampled for
    the automatic choices are so decoded once, then detected from memory. Kept frames are
    read-only. Reads may come from several threads."""

    def __init__(self, source: FrameSource, budget: int):
        self.source = source
        self.name, self.shape, self.dtype, self.note = source.name, source.shape, source.dtype, source.note
        self.layout = getattr(source, "layout", None)
        self._budget = int(budget)
        self._kept: dict[int, np.ndarray] = {}
        self._keeping = True
        self._lock = threading.Lock()

    def read(self, index: int) -> np.ndarray:
        with self._lock:
            frame = self._kept.get(index) if self._keeping else self._kept.pop(index, None)
        if frame is not None:
            return frame
        frame = np.asarray(self.source.read(index))
        with self._lock:
            if self._keeping and frame.nbytes <= self._budget:
                frame = frame.view()
                frame.flags.writeable = False
                self._kept[index] = frame
                self._budget -= frame.nbytes
        return frame

    def release(self) -> None:
        """Keep no more frames; each kept one is handed out once more."""
        with self._lock:
            self._keeping = False

    def __getstate__(self):
        raise TypeError("a KeptFrames source stays in its process; send its `source`")


# ---- paths ---------------------------------------------------------------------------------

def _regular(path: Path) -> Path:
    """The path, if it names a regular file (following links); else a StackError."""
    try:
        mode = os.stat(path).st_mode
    except OSError as exc:
        raise StackError(f"cannot read '{path}': {exc.strerror or exc}", str(path)) from None
    if not stat.S_ISREG(mode):
        raise StackError(f"'{path}' is not a regular file; give image or stack files", str(path))
    return path


def _expand(inputs) -> list[Path]:
    """Files named by paths, directories and glob patterns, in natural order per argument."""
    files: list[Path] = []
    suffixes = IMAGE_SUFFIXES + STACK_SUFFIXES
    for item in inputs:
        path = Path(item)
        if path.is_dir():
            found = sorted((p for p in path.iterdir() if not p.name.startswith(".")
                            and p.suffix.lower() in suffixes and not p.is_dir()), key=natural_key)
            if not found:
                raise StackError(f"directory '{path}' holds no image files ({', '.join(suffixes)})", str(path))
            files.extend(_regular(p) for p in found)
        elif os.path.lexists(path):
            files.append(_regular(path))
        elif _glob.has_magic(str(item)):
            found = sorted((Path(p) for p in _glob.glob(os.path.expanduser(str(item)))
                            if not Path(p).is_dir()), key=natural_key)
            if not found:
                raise StackError(f"no file matches '{item}'", str(item))
            files.extend(_regular(p) for p in found)
        else:
            raise StackError(f"no such file: '{path}'", str(path))
    seen: dict[tuple[int, int], Path] = {}
    for f in files:
        st = os.stat(f)
        key = (st.st_dev, st.st_ino)
        if key in seen:
            again = "" if seen[key] == f else f" (as '{seen[key]}')"
            raise StackError(f"'{f}' is given twice{again}; give each frame once", str(f))
        seen[key] = f
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
    except (StackError, ParameterError):
        raise
    except Exception as exc:  # any reader failure becomes one line naming the file
        raise StackError(f"cannot read '{path}': {_first_line(exc)}", str(path)) from exc
    raise StackError(f"unsupported file type '{path.suffix}' for '{path}'; use .npy, TIFF, or "
                     "image files (PNG, JPEG, BMP, ...)", str(path))


def check_frames(source: FrameSource) -> int:
    """The spatial dimensionality (2 or 3) of a source, or a StackError naming its shape."""
    path = getattr(source, "path", None)
    path = None if path is None else str(path)
    if len(source.shape) not in (3, 4):
        raise StackError("expected a stack of images (frames, rows, columns) or of volumes "
                         f"(frames, planes, rows, columns), got shape {source.shape}", path)
    if len(source) == 0:
        raise StackError(f"'{source.name}' holds no frames", path)
    dtype = source.dtype
    if not (np.issubdtype(dtype, np.integer) or np.issubdtype(dtype, np.floating) or dtype == np.bool_):
        raise StackError(f"expected a stack of real numbers, got dtype {dtype}", path)
    return len(source.shape) - 1


def open_recording(source, *, channel: int | None = None, sort: bool = True) -> FrameSource:
    """A lazy frame source for a recording.

    `source` is a path to one stack file (.npy, multi-page TIFF, OME-TIFF), a directory of
    image files, a glob pattern, a list of such paths (single-image files become frames, in
    natural sort order, or in the order given with `sort=False`; directories and patterns
    expand in natural order), an array, a list of 2-D or 3-D arrays, or a `FrameSource`
    (returned as it is). The axes follow `layout`. `channel` picks one channel of a
    multi-channel or colour recording (default: grey or luminance for colour, refusal for
    several channels). Raises StackError (an InputError) with a one-line message naming the
    file, or ParameterError naming `channel`.
    """
    if isinstance(source, FrameSource):
        return source
    if channel is not None and (isinstance(channel, bool) or not isinstance(channel, (int, np.integer))
                                or channel < 0):
        raise ParameterError("channel", f"must be an integer >= 0, got {channel!r}")
    channel = None if channel is None else int(channel)
    if isinstance(source, (str, os.PathLike)):
        items = [source]
    elif isinstance(source, (list, tuple)) and source and all(isinstance(s, (str, os.PathLike)) for s in source):
        items = list(source)
    else:
        return _array_source(source, channel)
    files = _expand(items)
    if sort:
        files = sorted(files, key=natural_key)   # a shell's glob puts frame_10 before frame_2
    if len(files) == 1:
        return _open_file(files[0], channel)
    stacks = [f for f in files if f.suffix.lower() == ".npy"]
    if stacks:
        raise StackError(f"'{stacks[0]}' is a stack file; give one stack file, or image files with one frame each",
                         str(stacks[0]))
    unknown = [f for f in files if not f.name.lower().endswith(IMAGE_SUFFIXES + TIFF_SUFFIXES)]
    if unknown:
        raise StackError(f"unsupported file type '{unknown[0].suffix}' for '{unknown[0]}'; use image files "
                         "(PNG, JPEG, TIFF, ...)", str(unknown[0]))
    return SequenceSource(files, channel)


def _array_source(data, channel: int | None) -> FrameSource:
    if isinstance(data, (list, tuple)):
        if not data:
            raise StackError("an empty list holds no frames")
        frames = [np.asarray(f) for f in data]
        for i, f in enumerate(frames):
            if f.shape != frames[0].shape:
                raise StackError(f"frame {i} has shape {f.shape}, unlike frame 0 with shape "
                                 f"{frames[0].shape}; all frames must have one shape")
            if f.dtype != frames[0].dtype:
                raise StackError(f"frame {i} holds {f.dtype} values, unlike frame 0 with {frames[0].dtype}; "
                                 "all frames must have one type")
        if frames[0].ndim not in (2, 3, 4):
            raise StackError(f"expected a list of 2-D images or 3-D volumes, got frames of shape {frames[0].shape}")
        return ArraySource(frames, channel=channel)
    if not hasattr(data, "shape") or not hasattr(data, "dtype"):
        data = np.asarray(data)
    return ArraySource(data, channel=channel)


def load_stack(path: str | Path) -> np.ndarray:
    """A whole stack from a .npy file or a TIFF / OME-TIFF file, as an array: a memory map for
    a .npy file of plain frames, otherwise read into memory. Prefer `open_recording`, which
    reads frame by frame. Raises StackError with a one-line message."""
    path = Path(path)
    if not path.exists():
        raise StackError(f"no such file: '{path}'", str(path))
    if path.is_dir():
        raise StackError(f"'{path}' is a directory, not a stack file", str(path))
    source = _open_file(_regular(path), None)
    if isinstance(source, NpySource) and source.layout.roles in ("TYX", "TZYX"):
        return source.data
    try:
        return source[:]
    except StackError:
        raise
    except Exception as exc:
        raise StackError(f"cannot read '{path}': {_first_line(exc)}", str(path)) from exc
