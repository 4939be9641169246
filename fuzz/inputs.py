"""Turns a byte string into a call of one trakora function, and judges its outcome.

The same decoder serves the coverage-guided fuzzer (atheris mutates the bytes) and the
plain random driver (it draws the bytes from a seeded generator), so a corpus file means
the same call in both. Inputs are kept to a few kilobytes; what is hostile about them is
their shapes, strides, dtypes, special values and extreme parameters, not their size.

A call may return, or raise one of the errors the module documents for bad input. A
"Finding" is anything else: a wrong exception type, an internal failure where none is
allowed, a result that breaks a cheap invariant, or (caught by the sanitizers and the
fuzzer's limits, not here) a crash, a hang or an oversized allocation.
"""
from __future__ import annotations

import math
import struct
import warnings

import numpy as np

FUNCTIONS = (
    "rs_detect_peaks", "rs_detect_peaks3d", "rs_draw_tracks", "rs_draw_tracks_3d",
    "rs_draw_tracks_value", "rs_draw_tracks_value_3d", "rs_radial_symmetry_2d",
    "rs_radial_symmetry_3d", "rs_link_points", "rs_link_points_3d",
)

F32 = np.float32
SPECIAL_FLOATS = (
    0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 3.0, 7.0, 1e-45, 1e-38, 1e-7, 1e-6, 1e-3, 0.999, 1e3, 1e6,
    1e9, 2.0**24, 2.0**31, 2.0**32, 2.0**63, 2.0**64, 1e30, 3.4e38, 1e300, -1e-45, -1e6, -1e9,
    -1e30, -3.4e38, math.inf, -math.inf, math.nan,
)
SPECIAL_SIZES = (
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 11, 2**31 - 1, 2**31, 2**32 - 1, 2**32, 2**32 + 1,
    2**63 - 1, 2**63, 2**63 + 1, 2**64 - 2, 2**64 - 1,
)
SPECIAL_INT32 = (0, 1, 2, 3, -1, -2, 2**31 - 1, -2**31, 2**30, 1000)
# Bytes per grid cell of the largest output a drawing call builds (values + counts, or
# three arrays in the value images) plus the same again as working memory.
BYTES_PER_CELL = 32
# Drawing grids up to this size are built; larger grids that can still be represented are
# legitimate but slow outputs and are not called. Grids beyond any machine's memory are
# called and must fail at once with MemoryError.
MAX_GRID_BYTES = 64 << 20
UNALLOCATABLE_BYTES = 1 << 50


class Finding(AssertionError):
    """A call that broke one of the module's promises."""


class Source:
    """Reads typed choices from a byte string; an exhausted source yields zeros."""

    def __init__(self, data: bytes):
        self.data = data
        self.pos = 0

    def take(self, n: int) -> bytes:
        chunk = self.data[self.pos:self.pos + n]
        self.pos += n
        return chunk.ljust(n, b"\0")

    def u8(self) -> int:
        return self.take(1)[0]

    def u32(self) -> int:
        return struct.unpack("<I", self.take(4))[0]

    def below(self, n: int) -> int:
        """An integer in [0, n)."""
        if n <= 256:
            return self.u8() % n
        return self.u32() % n

    def chance(self, one_in: int) -> bool:
        """True once in `one_in`; False when the source is exhausted."""
        return self.below(one_in) == one_in - 1

    def pick(self, options):
        return options[self.below(len(options))]

    def raw_f32(self) -> float:
        return float(np.frombuffer(self.take(4), dtype=F32)[0])

    def number(self) -> float:
        """A float that is often special, sometimes arbitrary bits, often small and plain."""
        kind = self.below(4)
        if kind == 0:
            return self.pick(SPECIAL_FLOATS)
        if kind == 1:
            return self.raw_f32()
        return float(self.below(41) - 20) / self.pick((1.0, 2.0, 4.0, 10.0))

    def positive(self) -> float:
        """A mostly plain positive float (distances, pixel sizes), sometimes anything."""
        if self.chance(4):
            return self.number()
        return self.pick((0.25, 0.5, 1.0, 1.5, 2.0, 3.0, 5.0))

    def size(self) -> int:
        if self.chance(3):
            return self.pick(SPECIAL_SIZES)
        return self.below(12)

    def values(self, count: int) -> np.ndarray:
        """`count` float32 values in one of several styles."""
        style = self.below(6)
        if style == 0:  # arbitrary bits: NaN payloads, infinities, denormals
            return np.frombuffer(self.take(4 * count), dtype=F32).copy()
        if style == 1:  # small integers: plateaus and ties
            return np.array([self.below(4) for _ in range(count)], dtype=F32)
        if style == 2:  # a few special values over a plain background
            out = np.full(count, self.pick((0.0, 1.0, 10.0)), dtype=F32)
            for _ in range(min(count, self.below(5))):
                out[self.below(max(count, 1))] = self.number()
            return out
        if style == 3:
            return np.full(count, self.number(), dtype=F32)
        # smooth random data with bright spots: exercises the localizers past the guards
        rng = np.random.default_rng(self.u32())
        out = rng.normal(10.0, 1.0, count).astype(F32)
        if count:
            out[rng.integers(0, count, max(1, count // 16))] += F32(50.0)
        return out


def layout(src: Source, a: np.ndarray):
    """The same logical array in a memory layout chosen by `src` (or a wrong kind of value)."""
    choice = src.below(12)
    if choice == 0:
        return np.asfortranarray(a)
    if choice == 1:  # reversed axes: negative strides
        return a[tuple(slice(None, None, -1) for _ in range(a.ndim))]
    if choice == 2:  # every other element of a larger array
        big = np.zeros(tuple(2 * s for s in a.shape), dtype=a.dtype)
        big[tuple(slice(None, None, 2) for _ in range(a.ndim))] = a
        return big[tuple(slice(None, None, 2) for _ in range(a.ndim))]
    if choice == 3:  # misaligned: one byte into a buffer
        raw = bytearray(a.nbytes + 1)
        out = np.frombuffer(raw, dtype=a.dtype, count=a.size, offset=1).reshape(a.shape)
        out[...] = a
        return out
    if choice == 4 and a.ndim >= 1 and a.shape[0] > 0:  # zero stride along axis 0
        return np.broadcast_to(a[:1], a.shape)
    if choice == 5:  # read-only
        a = a.copy()
        a.flags.writeable = False
        return a
    if choice == 6:  # wrong byte order: must be refused
        return a.astype(a.dtype.newbyteorder())
    if choice == 7 and src.chance(2):  # wrong dtype or dimensionality: must be refused
        return src.pick((a.astype(np.float64), a.astype(np.int64), a[..., None], a.tolist(), None, "array"))
    return np.ascontiguousarray(a)


def float_array(src: Source, ndim: int, max_side: int) -> np.ndarray:
    shape = tuple(src.below(max_side + 1) for _ in range(ndim))
    return src.values(int(np.prod(shape))).reshape(shape)


def tuple_of_floats(src: Source, n: int, sane=None):
    if src.chance(8):  # wrong kinds: refused, or too short: IndexError from inside the call
        return src.pick((None, [0.0] * n, tuple([0.0] * (n - 1)), ("a",) * n, 3.0))
    if sane is not None and not src.chance(4):
        return tuple(sane)
    return tuple(src.number() for _ in range(n))


class Case:
    """One decoded call: arguments and what the judge needs to know about them."""

    def __init__(self, name: str):
        self.name = name
        self.args: list = []
        self.narrow = False     # a table with too few columns is read: PanicException allowed
        self.memory_error = "forbidden"  # or "required" (unallocatable grid), or "allowed"
        self.skip = False       # a legitimate but large output: not called


def columns_for(src: Source, needed: int) -> int:
    return needed if src.below(6) else src.below(needed + 3)


def gen_detect_peaks(src: Source, case: Case):
    image = float_array(src, 2, 16)
    method = src.pick((None, None, "radial_symmetry", "gaussian_fitting", "Radial_Symmetry", ""))
    window = src.pick((None, 3, 5, 7, 7, src.size()))
    side = image.shape
    extent = tuple_of_floats(src, 4, (0.0, side[0] - 1.0, 0.0, side[1] - 1.0))
    case.args = [layout(src, image), extent, src.number(), src.positive(), method, window,
                 src.pick((None, None, 1, 0, src.size()))]
    enlarge(src, case, 2, 260)


def gen_detect_peaks3d(src: Source, case: Case):
    volume = float_array(src, 3, 9)
    s = volume.shape
    extent = tuple_of_floats(src, 6, (0.0, s[0] - 1.0, 0.0, s[1] - 1.0, 0.0, s[2] - 1.0))
    sigmas = None if src.chance(2) else tuple_of_floats(src, 3, (1.0, 1.0, 1.0))
    method = src.pick((None, None, "radial_symmetry", "gaussian_fitting", "gauss"))
    case.args = [layout(src, volume), extent, src.number(), src.positive(),
                 src.pick((None, 3, 4, 5, 7, src.size())), method, sigmas,
                 src.pick((None, None, 0.0, 0.5, src.number())), src.pick((None, None, 1, 0, src.size()))]
    enlarge(src, case, 3, 36)


def track_matrix(src: Source, case: Case, dims: int, extra: int):
    needed = dims + 1 + extra
    rows, cols = src.below(13), columns_for(src, needed)
    coords = src.pick(("plain", "plain", "special", "raw"))
    m = np.empty((rows, cols), dtype=F32)
    for r in range(rows):
        for c in range(cols):
            if coords == "plain" and c < dims:
                m[r, c] = F32(src.below(25) - 2) / F32(src.pick((1.0, 2.0, 3.0)))
            elif coords == "raw" or src.chance(4):
                m[r, c] = src.number()
            else:
                m[r, c] = F32(src.below(10))
    n_tracks = src.below(7)
    if src.chance(4):
        ends = [src.pick(SPECIAL_INT32) for _ in range(n_tracks)]
    else:
        ends = sorted(src.below(rows + 4) for _ in range(n_tracks))
        if src.chance(3):
            ends.reverse()
    ends = np.array(ends, dtype=np.int32)
    # A track reads rows only if some range [start, e) is non-empty within the matrix.
    start = 0
    for e in ends.tolist():
        if e < 0:
            break
        if start < e and start < rows:
            case.narrow = case.narrow or cols < needed
        start = e
    return m, ends


def predict_grid(extent, pixel_size, dims: int):
    """Axis lengths of the drawing grid, or None when the call fails before building it."""
    try:
        e = [F32(float(extent[i])) for i in range(2 * dims)]
        ps = F32(float(pixel_size))
    except (TypeError, ValueError, IndexError, OverflowError):
        return None
    if not (math.isfinite(ps) and ps > 0):
        return None
    tol = ps * F32(0.999)
    shape = []
    with np.errstate(all="ignore"):
        for i in range(dims):
            q = float((tol + (e[2 * i + 1] - e[2 * i])) / ps)
            shape.append(0 if (q != q or q < 0) else (2**64 - 1 if q >= 2.0**64 else int(q)))
    return shape


def gen_draw(src: Source, case: Case, dims: int, extra: int):
    m, ends = track_matrix(src, case, dims, extra)
    extent = tuple_of_floats(src, 2 * dims, [0.0, float(src.below(12))] * dims)
    pixel_size = src.positive()
    if src.chance(16):
        pixel_size = src.pick((None, "1", [1.0]))
    case.args = [layout(src, m), layout(src, ends) if src.chance(4) else ends, extent, pixel_size]
    shape = predict_grid(extent, pixel_size, dims) if isinstance(extent, tuple) else None
    if shape is not None:
        cells = math.prod(shape)
        # an empty grid whose other axes are too long for an array: either answer is fine
        spread = math.prod(n for n in shape if n) * BYTES_PER_CELL
        if cells * BYTES_PER_CELL >= UNALLOCATABLE_BYTES:
            case.memory_error = "required"
        elif cells == 0 and spread >= UNALLOCATABLE_BYTES:
            case.memory_error = "allowed"
        case.skip = MAX_GRID_BYTES < cells * BYTES_PER_CELL < UNALLOCATABLE_BYTES


def points_list(src: Source, case: Case, needed: int):
    frames = []
    for _ in range(src.below(6)):
        rows, cols = src.below(9), columns_for(src, needed)
        if src.chance(2):  # points on a coarse lattice: ties and exact distances
            t = np.array([[src.below(8) * 0.5 for _ in range(cols)] for _ in range(rows)], dtype=F32).reshape(rows, cols)
        else:
            t = src.values(rows * cols).reshape(rows, cols)
        case.narrow = case.narrow or (rows > 0 and cols < needed)
        frames.append(layout(src, t))
    if src.chance(16):
        return src.pick(("frames", None, 3, [1.0], np.zeros((2, 3), F32)))
    return frames if src.below(3) else tuple(frames)


def gen_link(src: Source, case: Case, dims: int):
    case.args = [points_list(src, case, dims + 1), src.positive(), src.size()]
    if dims == 2:
        case.args.append(src.pick((2.0, 10.0, 1.0, src.number())))
    if src.chance(12) and isinstance(case.args[0], (list, tuple)) and abs(case.args[1]) < 100:
        # 150 copies of every frame, 1000 units apart: enough points for the linker to
        # spread its frame pairs over the worker pool, in groups that stay independent
        # (with a max_distance that spans the copies, the dense solve would take seconds)
        case.args[0] = [replicate(t, dims, 150) for t in case.args[0]]


def replicate(table, dims: int, copies: int):
    if not (isinstance(table, np.ndarray) and table.dtype == F32 and table.ndim == 2 and table.shape[1] >= dims):
        return table
    shift = np.zeros((copies, 1, table.shape[1]), F32)
    shift[:, 0, 0] = np.arange(copies, dtype=F32) * F32(1000.0)
    return (table[None, :, :] + shift).reshape(-1, table.shape[1])


def enlarge(src: Source, case: Case, dims: int, side: int):
    """Sometimes tiles the image or volume to at least `side` along every axis, so that the
    peak finder spreads its rows over the worker pool. Decided by the last byte read, so
    that the inputs of a stored corpus keep their meaning."""
    a = case.args[0]
    if not src.chance(12) or not (isinstance(a, np.ndarray) and a.dtype == F32 and a.ndim == dims and a.size):
        return
    case.args[0] = np.tile(a, tuple(-(-side // n) for n in a.shape))
    if case.args[1] == tuple(v for n in a.shape for v in (0.0, n - 1.0)):
        case.args[1] = tuple(v for n in case.args[0].shape for v in (0.0, n - 1.0))
    # The pool serves peak finding only: localizing thousands of peaks of a tiled array
    # would cost seconds under the sanitizers and teach nothing new, so cap it.
    cap = case.args[-1]
    case.args[-1] = 8 if cap is None else min(cap, 8)


GENERATORS = {
    "rs_detect_peaks": gen_detect_peaks,
    "rs_detect_peaks3d": gen_detect_peaks3d,
    "rs_draw_tracks": lambda s, c: gen_draw(s, c, 2, 0),
    "rs_draw_tracks_3d": lambda s, c: gen_draw(s, c, 3, 0),
    "rs_draw_tracks_value": lambda s, c: gen_draw(s, c, 2, 1),
    "rs_draw_tracks_value_3d": lambda s, c: gen_draw(s, c, 3, 1),
    "rs_radial_symmetry_2d": lambda s, c: c.args.append(layout(s, float_array(s, 2, 12))),
    "rs_radial_symmetry_3d": lambda s, c: c.args.append(layout(s, float_array(s, 3, 8))),
    "rs_link_points": lambda s, c: gen_link(s, c, 2),
    "rs_link_points_3d": lambda s, c: gen_link(s, c, 3),
}


def decode(name: str, data: bytes) -> Case:
    src = Source(data)
    case = Case(name)
    GENERATORS[name](src, case)
    return case


# ---- judging the outcome ----------------------------------------------------------------

ALLOWED = (TypeError, ValueError, OverflowError, IndexError)


def _require(ok: bool, what: str):
    if not ok:
        raise Finding(what)


def _array(a, dtype, shape_rule: str, ndim: int):
    _require(isinstance(a, np.ndarray), f"{shape_rule}: not an ndarray but {type(a).__name__}")
    _require(a.dtype == dtype and a.ndim == ndim, f"{shape_rule}: dtype {a.dtype}, ndim {a.ndim}")
    _require(a.flags.c_contiguous, f"{shape_rule}: not C-contiguous")


def check_detect(case: Case, out, dims: int):
    n_out = 3 if dims == 3 else 2
    _require(isinstance(out, tuple) and len(out) == n_out, "detection result is not a tuple of the right length")
    positions, intensities = out[0], out[1]
    _array(positions, F32, "positions", 2)
    _array(intensities, F32, "intensities", 1)
    n = intensities.shape[0]
    _require(positions.shape == (n, dims), f"positions shape {positions.shape} for {n} peaks")
    _require(not np.isnan(intensities).any(), "a NaN pixel was reported as a peak")
    _require(bool(np.all(intensities[:-1] >= intensities[1:])), "peaks are not brightest first")
    threshold = F32(case.args[2])
    if not math.isnan(threshold):
        _require(bool(np.all(intensities >= threshold)), "a peak below the threshold")
    array = case.args[0]
    _require(n <= max(array.size, 1), "more peaks than pixels")
    if dims == 3:
        corr = out[2]
        if corr is not None:
            _array(corr, F32, "correlations", 1)
            _require(corr.shape == (n,), "correlations of the wrong length")
            _require(case.args[6] is not None, "correlations without correlation_sigmas")


def check_localizer(case: Case, out, dims: int):
    _require(isinstance(out, tuple) and len(out) == dims and all(type(v) is float for v in out),
             f"localizer result {out!r}")


def check_link(case: Case, out, dims: int):
    _require(isinstance(out, tuple) and len(out) == 2, "linking result is not a pair")
    matrix, ends = out
    _array(matrix, F32, "track matrix", 2)
    _array(ends, np.uint32, "track_end_indices", 1)
    _require(matrix.shape[1] == dims + 1, f"track matrix has {matrix.shape[1]} columns")
    bounds = np.concatenate(([0], ends.astype(np.int64)))
    _require(bool(np.all(np.diff(bounds) >= 2)), "a track with fewer than two points")
    _require(int(bounds[-1]) == matrix.shape[0], "the last end index is not the row count")
    # every row is an input point, and no input point is used twice
    available: dict[bytes, int] = {}
    for table in case.args[0]:
        t = np.asarray(table)
        if t.ndim == 2 and t.shape[1] >= dims + 1:
            for row in np.ascontiguousarray(t[:, :dims + 1], dtype=F32):
                key = row.tobytes()
                available[key] = available.get(key, 0) + 1
    for row in matrix:
        key = row.tobytes()
        _require(available.get(key, 0) > 0, f"track row {row} is not an unused input point")
        available[key] -= 1
    # no link longer than max_distance, whenever costs can tell links apart (M > 0, 10M fits)
    max_distance = F32(case.args[1])
    with np.errstate(all="ignore"):
        cost_unit = max_distance * F32(1e6)
    if F32(1.0) <= cost_unit < F32(9e17):
        with np.errstate(all="ignore"):
            for k in range(len(ends)):
                track = matrix[bounds[k]:bounds[k + 1], :dims]
                step = track[1:] - track[:-1]
                d2 = step[:, 0] * step[:, 0] + step[:, 1] * step[:, 1]
                if dims == 3:
                    d2 = d2 + step[:, 2] * step[:, 2]
                _require(bool(np.all(d2 <= max_distance * max_distance)), "a link longer than max_distance")


def check_draw(case: Case, out, dims: int, arrays: int):
    _require(isinstance(out, tuple) and len(out) == arrays + 1, "drawing result has the wrong length")
    extent = out[-1]
    _require(isinstance(extent, tuple) and len(extent) == 2 * dims and all(type(v) is float for v in extent),
             f"adjusted extent {extent!r}")
    shape = out[0].shape
    _require(len(shape) == dims, f"image of shape {shape}")
    for k, a in enumerate(out[:-1]):
        _array(a, np.uint32 if k == arrays - 1 else F32, f"image {k}", dims)
        _require(a.shape == shape, "images of different shapes")
    _require(list(shape) == predict_grid(case.args[2], case.args[3], dims), "unexpected grid shape")
    counts = out[arrays - 1]
    matrix = case.args[0]
    rows_read = 0
    start = 0
    for e in np.asarray(case.args[1]).tolist():
        rows_read += max(0, min(e, matrix.shape[0]) - start)
        start = e
    empty = counts == 0
    for a in out[:arrays - 1]:
        _require(bool(np.all(a[empty] == 0)), "a value in a cell that nothing visited")
    if rows_read == 0:
        _require(not counts.any(), "counts without any track point")


CHECKS = {
    "rs_detect_peaks": lambda c, o: check_detect(c, o, 2),
    "rs_detect_peaks3d": lambda c, o: check_detect(c, o, 3),
    "rs_draw_tracks": lambda c, o: check_draw(c, o, 2, 2),
    "rs_draw_tracks_3d": lambda c, o: check_draw(c, o, 3, 2),
    "rs_draw_tracks_value": lambda c, o: check_draw(c, o, 2, 3),
    "rs_draw_tracks_value_3d": lambda c, o: check_draw(c, o, 3, 3),
    "rs_radial_symmetry_2d": lambda c, o: check_localizer(c, o, 2),
    "rs_radial_symmetry_3d": lambda c, o: check_localizer(c, o, 3),
    "rs_link_points": lambda c, o: check_link(c, o, 2),
    "rs_link_points_3d": lambda c, o: check_link(c, o, 3),
}


def run_one(module, name: str, data: bytes) -> str:
    """Decodes `data`, calls the function and judges the outcome; returns a short label of
    what happened, raises Finding when a promise was broken."""
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")  # float32 overflow of special values while decoding
        return _run_one(module, name, data)


def _run_one(module, name: str, data: bytes) -> str:
    case = decode(name, data)
    if case.skip:
        return "skipped"
    function = getattr(module, name)
    try:
        out = function(*case.args)
    except MemoryError:
        _require(case.memory_error != "forbidden", f"MemoryError for an input of a few kilobytes: {describe(case)}")
        return "MemoryError"
    except ALLOWED as e:
        return type(e).__name__
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:  # noqa: BLE001 - the judge decides which failures are allowed
        if type(e).__name__ == "PanicException" and case.narrow:
            return "PanicException"
        raise Finding(f"{type(e).__name__}: {e} for {describe(case)}") from e
    _require(case.memory_error != "required", f"an unallocatable grid was drawn: {describe(case)}")
    CHECKS[name](case, out)
    return "ok"


def describe(case: Case) -> str:
    def one(a):
        if isinstance(a, np.ndarray):
            return f"ndarray(shape={a.shape}, dtype={a.dtype}, strides={a.strides})"
        if isinstance(a, (list, tuple)) and a and isinstance(a[0], np.ndarray):
            return f"{type(a).__name__}[{', '.join(one(x) for x in a)}]"
        return repr(a)
    return f"{case.name}({', '.join(one(a) for a in case.args)})"
