"""IQ blocks on disk: MATLAB .mat (v5 through scipy.io, v7.3 through h5py), HDF5 and .npy.

A block is one 3-D array of one acquisition, complex IQ or real envelope. In .mat and HDF5
files it is laid out as MATLAB writes it, depth x lateral x frames (HDF5 stores MATLAB's
column-major arrays with the axes reversed: frames x lateral x depth on disk); in .npy it is
frames x depth x lateral. Every block comes out as frames x depth x lateral, complex64 (IQ)
or float32 (envelope).

The variable is found by itself: the one 3-D numeric array of the file (`variable` picks one
by name when there are several). Acquisition settings stored beside it are read when present:
a scalar named like frame_rate / FrameRate, pixel_size / dx (lateral) and axial_pixel_size /
dz (depth), at the top of the file or one level down in a struct or group.
"""
from __future__ import annotations

import glob
import os
import re
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from ..errors import InputError

__all__ = ["Block", "BlockInfo", "BlockSet", "expand_inputs", "open_blocks", "read_block"]

SUFFIXES = (".mat", ".h5", ".hdf5", ".npy")
_SETTINGS = {
    "frame_rate": ("framerate", "framerateuf", "fs_frame", "prf"),
    "pixel_size": ("pixelsize", "lateralpixelsize", "dx"),
    "axial_pixel_size": ("axialpixelsize", "dz"),
}


@dataclass(frozen=True)
class BlockInfo:
    """What a block file holds: its path, the variable, the shape (frames, depth, lateral),
    whether it is complex, and the acquisition settings found in it (None when absent)."""
    path: str
    variable: str | None
    shape: tuple[int, int, int]
    complex: bool
    settings: dict = field(default_factory=dict)


@dataclass
class Block:
    info: BlockInfo
    data: np.ndarray           # frames x depth x lateral, complex64 or float32


def _natural_key(text: str):
    return [int(part) if part.isdigit() else part.lower() for part in re.split(r"(\d+)", text)]


def expand_inputs(inputs) -> list[str]:
    """File names and glob patterns to files, each pattern's matches in natural order
    (blk2 before blk10); a missing file or a pattern matching nothing is an InputError."""
    if isinstance(inputs, (str, os.PathLike)):
        inputs = [inputs]
    paths: list[str] = []
    for item in inputs:
        text = os.fspath(item)
        if any(ch in text for ch in "*?["):
            matches = sorted(glob.glob(text), key=_natural_key)
            if not matches:
                raise InputError(f"'{text}' matches no file", text)
            paths.extend(matches)
        else:
            if not os.path.isfile(text):
                raise InputError(f"'{text}': no such file", text)
            paths.append(text)
    if not paths:
        raise InputError("no input block given")
    for p in paths:
        if Path(p).suffix.lower() not in SUFFIXES:
            raise InputError(f"'{p}': not a block file (.mat, .h5, .hdf5 or .npy)", p)
    return paths


def _norm(name: str) -> str:
    return re.sub(r"[^a-z0-9]", "", name.lower())


def _setting_of(name: str) -> str | None:
    n = _norm(re.split(r"[/.]", name)[-1])
    for key, names in _SETTINGS.items():
        if n in names:
            return key
    return None


def _scalar(value) -> float | None:
    try:
        arr = np.asarray(value)
        if arr.dtype.kind in "iuf" and arr.size == 1:
            v = float(arr.reshape(-1)[0])
            return v if np.isfinite(v) and v > 0 else None
    except (TypeError, ValueError):
        return None
    return None


def _is_complex_compound(dtype) -> bool:
    names = dtype.names or ()
    return len(names) == 2 and {n.lower() for n in names} == {"real", "imag"}


# ------------------------------------------------------------------ MATLAB v5 (scipy.io)

def _mat5_candidates(path: str):
    import scipy.io
    try:
        contents = scipy.io.loadmat(path, squeeze_me=False, struct_as_record=False, mat_dtype=False)
    except NotImplementedError:
        raise  # v7.3: read through HDF5
    except Exception as exc:
        raise InputError(f"'{path}': cannot read the MATLAB file ({_one_line(exc)})", path) from None
    arrays, settings = {}, {}
    for name, value in contents.items():
        if name.startswith("__"):
            continue
        _collect_mat5(name, value, arrays, settings, depth=0)
    return arrays, settings


def _collect_mat5(name, value, arrays, settings, depth):
    import scipy.io.matlab as sm
    if isinstance(value, np.ndarray) and value.dtype.kind in "iufc" and value.ndim == 3:
        arrays[name] = value
        return
    key = _setting_of(name)
    if key is not None and _scalar(value) is not None:
        settings.setdefault(key, _scalar(value))
        return
    if depth == 0 and isinstance(value, np.ndarray) and value.dtype == object and value.size == 1:
        value = value.reshape(-1)[0]
    if depth == 0 and isinstance(value, sm.mat_struct):
        for sub in value._fieldnames:
            _collect_mat5(f"{name}.{sub}", getattr(value, sub), arrays, settings, depth + 1)


# ------------------------------------------------------------------ HDF5 (v7.3 and .h5)

def _h5_open(path: str):
    import h5py
    try:
        return h5py.File(path, "r")
    except Exception as exc:
        raise InputError(f"'{path}': cannot read the HDF5 file ({_one_line(exc)})", path) from None


def _h5_candidates(h5, path: str):
    import h5py
    arrays, settings = {}, {}

    def visit(name, obj):
        if not isinstance(obj, h5py.Dataset):
            return
        if name.count("/") > 1:
            return
        dt = obj.dtype
        numeric = dt.kind in "iufc" or _is_complex_compound(dt)
        if numeric and obj.ndim == 3:
            arrays[name] = obj
        elif numeric and obj.size == 1:
            key = _setting_of(name)
            if key is not None:
                try:
                    value = _scalar(obj[()])
                except Exception:
                    value = None
                if value is not None:
                    settings.setdefault(key, value)
    try:
        h5.visititems(visit)
        for name, value in h5.attrs.items():
            key = _setting_of(name)
            if key is not None and _scalar(value) is not None:
                settings.setdefault(key, _scalar(value))
    except Exception as exc:
        raise InputError(f"'{path}': cannot read the HDF5 file ({_one_line(exc)})", path) from None
    return arrays, settings


def _h5_read(dataset, path: str) -> np.ndarray:
    try:
        raw = dataset[()]
    except Exception as exc:
        raise InputError(f"'{path}': cannot read '{dataset.name.lstrip('/')}' ({_one_line(exc)})", path) from None
    if raw.dtype.names:
        names = {n.lower(): n for n in raw.dtype.names}
        raw = raw[names["real"]].astype(np.float32) + 1j * raw[names["imag"]].astype(np.float32)
    return raw           # MATLAB's depth x lateral x frames, reversed: frames x lateral x depth


def _is_hdf5(path: str) -> bool:
    try:
        with open(path, "rb") as fh:
            head = fh.read(1024)
    except OSError as exc:
        raise InputError(f"'{path}': cannot open ({exc.strerror or exc})", path) from None
    return b"\x89HDF\r\n\x1a\n" in head[:8] or head[512:520] == b"\x89HDF\r\n\x1a\n"


def _choose(arrays: dict, variable: str | None, path: str) -> str:
    if variable is not None:
        if variable not in arrays:
            raise InputError(f"'{path}' has no 3-D numeric array named '{variable}'"
                             + (f" (it has {', '.join(sorted(arrays))})" if arrays else ""), path)
        return variable
    if not arrays:
        raise InputError(f"'{path}' holds no 3-D numeric array (IQ or envelope)", path)
    if len(arrays) == 1:
        return next(iter(arrays))
    complex_ones = [n for n, a in arrays.items() if _array_is_complex(a)]
    if len(complex_ones) == 1:
        return complex_ones[0]
    raise InputError(f"'{path}' holds several 3-D arrays ({', '.join(sorted(arrays))}); choose one with "
                     "variable", path)


def _array_is_complex(a) -> bool:
    dt = a.dtype
    return dt.kind == "c" or _is_complex_compound(dt)


def _as_block(data: np.ndarray, path: str) -> np.ndarray:
    if data.dtype.kind == "c":
        out = np.ascontiguousarray(data, dtype=np.complex64)
        finite = np.isfinite(out.real).all() and np.isfinite(out.imag).all()
    else:
        out = np.ascontiguousarray(data, dtype=np.float32)
        finite = np.isfinite(out).all()
    if not finite:
        raise InputError(f"'{path}': the block holds NaN or infinite values", path)
    if min(out.shape) < 1:
        raise InputError(f"'{path}': the block is empty (shape {out.shape})", path)
    return out


def _read(path: str, variable: str | None, load: bool):
    """(BlockInfo, data or None)."""
    suffix = Path(path).suffix.lower()
    if suffix == ".npy":
        try:
            arr = np.load(path, mmap_mode="r", allow_pickle=False)
        except Exception as exc:
            raise InputError(f"'{path}': cannot read the .npy file ({_one_line(exc)})", path) from None
        if arr.ndim != 3 or arr.dtype.kind not in "iufc":
            raise InputError(f"'{path}' holds a {arr.ndim}-D {arr.dtype} array, not a 3-D numeric block "
                             "(frames x depth x lateral)", path)
        info = BlockInfo(path, None, tuple(int(s) for s in arr.shape), arr.dtype.kind == "c", {})
        return info, (_as_block(np.asarray(arr), path) if load else None)
    if suffix in (".h5", ".hdf5") or _is_hdf5(path):
        with _h5_open(path) as h5:
            arrays, settings = _h5_candidates(h5, path)
            name = _choose(arrays, variable, path)
            ds = arrays[name]
            shape = tuple(int(s) for s in ds.shape)   # frames x lateral x depth
            info = BlockInfo(path, name, (shape[0], shape[2], shape[1]), _array_is_complex(ds), settings)
            data = None
            if load:
                data = _as_block(np.transpose(_h5_read(ds, path), (0, 2, 1)), path)
        return info, data
    try:
        arrays, settings = _mat5_candidates(path)
    except NotImplementedError:   # scipy says v7.3, but it is not HDF5: truncated or damaged
        raise InputError(f"'{path}': cannot read the MATLAB v7.3 file (damaged or truncated)", path) from None
    name = _choose(arrays, variable, path)
    arr = arrays[name]                 # depth x lateral x frames
    info = BlockInfo(path, name, (int(arr.shape[2]), int(arr.shape[0]), int(arr.shape[1])),
                     arr.dtype.kind == "c", settings)
    data = _as_block(np.transpose(arr, (2, 0, 1)), path) if load else None
    return info, data


def read_block(path: str, variable: str | None = None) -> Block:
    """The block of one file (see the module's description)."""
    info, data = _read(os.fspath(path), variable, True)
    return Block(info, data)


class BlockSet:
    """The blocks of a recording, checked for one frame shape and kind, read one at a time."""

    def __init__(self, paths: list[str], variable: str | None = None):
        self.paths = paths
        self.variable = variable
        self.infos: list[BlockInfo] = [_read(p, variable, False)[0] for p in paths]
        first = self.infos[0]
        for info in self.infos[1:]:
            if info.shape[1:] != first.shape[1:]:
                raise InputError(f"'{info.path}': frames of {info.shape[1]} x {info.shape[2]} (depth x lateral), "
                                 f"but '{first.path}' has {first.shape[1]} x {first.shape[2]}", info.path)
            if info.complex != first.complex:
                raise InputError(f"'{info.path}' holds {'IQ' if info.complex else 'envelope'} data, but "
                                 f"'{first.path}' holds {'IQ' if first.complex else 'envelope'} data", info.path)
        self.frame_shape = first.shape[1:]
        self.complex = first.complex
        self.settings: dict = {}
        for info in self.infos:
            for k, v in info.settings.items():
                self.settings.setdefault(k, v)

    def __len__(self) -> int:
        return len(self.paths)

    @property
    def frames(self) -> int:
        return sum(info.shape[0] for info in self.infos)

    def read(self, i: int) -> np.ndarray:
        data = read_block(self.paths[i], self.variable).data
        if data.shape != self.infos[i].shape:
            raise InputError(f"'{self.paths[i]}' changed while it was read", self.paths[i])
        return data


def open_blocks(inputs, variable: str | None = None) -> BlockSet:
    """The blocks named by file names and glob patterns, in natural order."""
    return BlockSet(expand_inputs(inputs), variable)


def _one_line(exc: BaseException) -> str:
    text = str(exc).strip().splitlines()
    return text[0] if text else type(exc).__name__
