"""The workflow's parameters: each declared once, as a `TrackingParams` field whose metadata
(`Declared`) holds its kind, bounds, choices, help, group and command-line option.

From these declarations come the type and range checks (in `__post_init__`, so a
`TrackingParams` that exists is valid), the command's options and their conversion back
(cli.py), the fields of the napari widget (trakora_napari), and the parameter table of
docs/workflow.md (`python -m trakora_workflow.params --markdown`).

Every check raises `ParameterError`, which names the field. Messages and warnings write the
names of other fields in backticks (`max_distance`), so that the command can print the option
a user typed instead (`--max-distance`) and Python callers read the field.
"""
from __future__ import annotations

import math
import numbers
import re
import reprlib
from dataclasses import MISSING, dataclass, field, fields, replace
from typing import Any

from .errors import ParameterError
from .text import utf8_text

METHODS = ("radial_symmetry", "gaussian_fitting")
MAX_DISTANCE_RANGE = (1e-6, 1e11)      # what the linkers accept
INT32_MAX = 2**31 - 1
MAX_IMAGE_PIXELS = 2**28
MAX_POSITION = 1e30                     # positions (index x spacing) stay below this
MAX_SNR = 1e6                           # keeps median + snr x spread finite for any float32 frame
DEFAULT_DIAMETER = 7                    # pixels, where the frames show no particle to measure
DEFAULT_MAX_SKIP = 1

GROUPS = {
    "units": "units (all distances below are in the units of `pixel_size`)",
    "detection": "detection",
    "linking": "linking, analysis and rendering",
}

KINDS = ("float", "int", "bool", "str", "choice", "floats")


@dataclass(frozen=True)
class Declared:
    """What a parameter is: the metadata of one TrackingParams field.

    `kind`: float, int, bool, str, choice or floats (a tuple of `count` floats). `low` and
    `high` bound numbers (and each of floats) inclusively, `above` exclusively from below;
    `odd` integers must be odd. `optional`: None is allowed and means `none_means` (a
    default that depends on the data). `option` is the command's option (for bools, the flag
    that flips the default), `none_choice` the option's word for None. `widget`: the napari
    widget's label (None: not in the widget); `step` its increment.
    """

    kind: str
    help: str
    group: str
    option: str
    optional: bool = False
    none_means: str | None = None
    low: float | None = None
    high: float | None = None
    above: float | None = None
    odd: bool = False
    choices: tuple[str, ...] = ()
    none_choice: str | None = None
    count: int = 0
    metavar: str | tuple[str, ...] | None = None
    widget: str | None = None
    step: float | None = None

    def allowed(self, none: bool = True) -> str:
        """The values this parameter takes, in words (`none`: saying when None is one)."""
        if self.kind == "bool":
            text = "True or False"
        elif self.kind == "str":
            text = f"a text of {int(self.low)} to {int(self.high)} characters"
        elif self.kind == "choice":
            text = "one of " + ", ".join(repr(c) for c in self.choices)
        else:
            noun = {"int": "an odd integer" if self.odd else "an integer", "float": "a number",
                    "floats": f"{self.count} numbers"}[self.kind]
            words = _range_words(self)
            text = f"{noun} {words}" if words else noun.replace("a number", "a finite number")
        return text + (" or None" if self.optional and none else "")


def _g(value: float) -> str:
    """A bound or default as written in messages: 7, 0.5, 1e-30, 2^62."""
    if isinstance(value, int) and value >= 2**20 and value & (value - 1) == 0:
        return f"2^{value.bit_length() - 1}"
    if isinstance(value, int) or float(value).is_integer() and abs(value) < 1e6:
        return str(int(value))
    return f"{value:g}".replace("e+0", "e").replace("e-0", "e-").replace("e+", "e")


def _range_words(d: Declared) -> str:
    if d.above is not None:
        low = f"> {_g(d.above)}"
        return f"{low} and <= {_g(d.high)}" if d.high is not None else low
    if d.low is not None and d.high is not None:
        return f"from {_g(d.low)} to {_g(d.high)}"
    if d.low is not None:
        return f">= {_g(d.low)}"
    return ""


def param(default: Any, **declared) -> Any:
    """A TrackingParams field with its declaration."""
    return field(default=default, metadata={"trakora": Declared(**declared)})


@dataclass(frozen=True)
class TrackingParams:
    """Parameters of the workflow; distances are in the physical units of `pixel_size`.

    `None` means a default that depends on the data (see `resolve`): `threshold` from the
    (preprocessed) frames, `window_size` = `diameter`, `min_distance` = (diameter - 1) / 2
    pixels, `max_distance` 5 pixels, `z_step` = `pixel_size`, `render_pixel_size` =
    `pixel_size`. `localization_method="auto"` is radial symmetry for images and Gaussian
    fitting for volumes; `None` keeps integer positions. Values are checked on construction
    (ParameterError naming the field); NumPy numbers are taken as Python numbers.
    """

    pixel_size: float = param(
        1.0, kind="float", low=1e-30, high=1e30, group="units", option="--pixel-size",
        help="size of a row/column pixel in space units", widget="pixel size", step=0.001)
    z_step: float | None = param(
        None, kind="float", optional=True, none_means="`pixel_size`", low=1e-30, high=1e30, group="units",
        option="--z-step", help="plane spacing of volumes", widget="z step", step=0.001)
    frame_interval: float = param(
        1.0, kind="float", low=1e-30, high=1e30, group="units", option="--frame-interval",
        help="time between frames", widget="frame interval", step=0.001)
    diameter: int | None = param(
        None, kind="int", optional=True, none_means="measured from the frames (the scale of the strongest blobs)",
        low=3, high=1001, odd=True, group="detection", option="--diameter", metavar="PIXELS",
        help="apparent particle diameter in pixels; sets the defaults of `window_size`, `min_distance` "
             "and the band-pass", widget="diameter (px)", step=2)
    invert: bool | None = param(
        None, kind="bool", optional=True, none_means="from the frames (dark spots are inverted)",
        group="detection", option="--invert",
        help="dark particles on a light background (--no-invert: bright ones)", widget="dark particles (invert)")
    preprocess: bool = param(
        True, kind="bool", group="detection", option="--no-preprocess",
        help="band-pass the frames before detection (needless for background-free data)",
        widget="band-pass frames")
    threshold: float | None = param(
        None, kind="float", optional=True,
        none_means="`false_positives` noise peaks per frame, raised into a clear gap above side lobes",
        group="detection", option="--threshold", help="intensity threshold on the prepared frames",
        widget="threshold", step=1.0)
    threshold_snr: float | None = param(
        None, kind="float", optional=True, none_means="the noise threshold (see `threshold`)", above=0.0,
        high=MAX_SNR, group="detection", option="--snr",
        help="threshold at median + this many robust standard deviations of the prepared frames instead",
        widget="threshold SNR", step=0.5)
    false_positives: float = param(
        1.0, kind="float", above=0.0, high=1e6, group="detection", option="--false-positives", metavar="PER_FRAME",
        help="noise peaks per frame that the automatic threshold lets through", widget="false positives / frame",
        step=0.1)
    extend_tracks: bool = param(
        True, kind="bool", group="detection", option="--no-extend-tracks",
        help="keep fainter detections (down to 30 noise peaks per frame) where they belong to a track that "
             "also has detections above the automatic noise threshold", widget="extend tracks with faint spots")
    min_distance: float | None = param(
        None, kind="float", optional=True, none_means="(diameter - 1) / 2 pixels", low=0.0, high=1e30,
        group="detection", option="--min-distance", help="minimum distance between peaks")
    localization_method: str | None = param(
        "auto", kind="choice", optional=True, choices=("auto", *METHODS), none_choice="none",
        group="detection", option="--method",
        help="sub-pixel localization: auto is radial_symmetry for images, gaussian_fitting for "
             "volumes; None (none) keeps integer positions", widget="localization")
    window_size: int | None = param(
        None, kind="int", optional=True, none_means="`diameter`", low=3, high=1001, odd=True,
        group="detection", option="--window-size", help="localization window in pixels")
    max_num_peaks: int | None = param(
        None, kind="int", optional=True, none_means="no cap", low=0, high=INT32_MAX, group="detection",
        option="--max-peaks", metavar="N", help="brightest peaks kept per frame")
    correlation_sigmas: tuple[float, float, float] | None = param(
        None, kind="floats", count=3, optional=True, none_means="no template filter", above=0.0, high=1e30,
        group="detection", option="--correlation-sigmas", metavar=("SZ", "SY", "SX"),
        help="volumes: Gaussian template sigmas per axis z, y, x")
    correlation_threshold: float | None = param(
        None, kind="float", optional=True, none_means="no template filter", group="detection",
        option="--correlation-threshold", help="volumes: drop peaks whose template correlation is below this")
    max_distance: float | None = param(
        None, kind="float", optional=True,
        none_means="from the displacements of detections between frames (5 pixels without enough of them)",
        low=MAX_DISTANCE_RANGE[0], high=MAX_DISTANCE_RANGE[1], group="linking", option="--max-distance",
        help="maximum link distance (with motion linking, from each track's predicted position)",
        widget="max distance", step=0.1)
    max_skip: int | None = param(
        None, kind="int", optional=True, none_means="1, or 2 where detections blink", low=0, high=INT32_MAX,
        group="linking", option="--max-skip", metavar="FRAMES", help="frames a track may skip", widget="max skip")
    linking: str = param(
        "motion", kind="choice", choices=("motion", "nearest"), group="linking", option="--linking",
        help="motion: each track's position predicted from its own motion (still or directed), then gaps "
             "closed; nearest: frame pairs by distance alone", widget="linking")
    max_intensity_ratio: float | None = param(
        None, kind="float", optional=True, none_means="no test", low=1.0, high=1e30, group="linking",
        option="--max-intensity-ratio", help="2D only: largest intensity ratio of linked points")
    min_length: int | None = param(
        None, kind="int", optional=True, none_means="keep all", low=1, high=INT32_MAX, group="linking",
        option="--min-length", metavar="N",
        help="tracks of fewer points are dropped from the tracks, images and statistics", widget="min length")
    drift: bool = param(
        False, kind="bool", group="linking", option="--drift",
        help="subtract the ensemble drift before the MSD and speed statistics", widget="subtract drift")
    max_lag: int | None = param(
        None, kind="int", optional=True,
        none_means="the longest lag (at most 100) the tracks sample with 30 non-overlapping displacements",
        low=1, high=INT32_MAX,
        group="linking", option="--max-lag", metavar="FRAMES",
        help="largest MSD lag in frames (at most frames - 1)")
    render_pixel_size: float | None = param(
        None, kind="float", optional=True, none_means="`pixel_size`", low=1e-30, high=1e30, group="linking",
        option="--render-pixel-size", help="pixel size of the rendered images (at most the field of view)")
    max_image_pixels: int = param(
        MAX_IMAGE_PIXELS, kind="int", low=1, high=2**62, group="linking", option="--max-image-pixels",
        help="largest rendered image in pixels; a larger one is refused before allocating")
    space_unit: str = param(
        "px", kind="str", low=1, high=40, group="units", option="--space-unit",
        help="name of the space unit (plots and summary)", widget="space unit")
    time_unit: str = param(
        "frame", kind="str", low=1, high=40, group="units", option="--time-unit",
        help="name of the time unit (plots and summary)", widget="time unit")

    def __post_init__(self):
        for f in fields(self):
            object.__setattr__(self, f.name, _checked(f.name, getattr(self, f.name), f.metadata["trakora"]))

    def check(self) -> None:
        """The checks that need no data (already made on construction); raises ParameterError."""
        for f in fields(self):
            _checked(f.name, getattr(self, f.name), f.metadata["trakora"])

    def resolve(self, frame_shape: tuple[int, ...], frames: int | None = None) -> TrackingParams:
        """A copy with the defaults that need only the frame shape (and the number of frames)
        filled in; `threshold` stays None (it needs the frames). What `track` measures from
        the frames (`invert`, `diameter`, `max_distance`, `max_skip`) takes its fixed default
        here when still None: not inverted, 7 pixels, 5 pixels, 1 frame. `max_lag` is clipped to the
        recording's frames - 1 (`ignored` says so). Raises ParameterError."""
        self.check()
        ndim = len(frame_shape)
        px = self.pixel_size
        z_step = px if self.z_step is None else self.z_step
        spacing = ((z_step,) if ndim == 3 else ()) + (px, px)
        names = (("z_step",) if ndim == 3 else ()) + ("pixel_size", "pixel_size")
        for n, s, name in zip(frame_shape, spacing, names):
            if n * s > MAX_POSITION:
                raise ParameterError(name, f"{_g(s)} puts positions beyond {_g(MAX_POSITION)} ({n} pixels x {_g(s)}); "
                                     "use larger space units")
        method = self.localization_method
        if method == "auto":
            method = "gaussian_fitting" if ndim == 3 else "radial_symmetry"
        max_distance = self.max_distance
        if max_distance is None:
            max_distance = 5.0 * px
            low, high = MAX_DISTANCE_RANGE
            if not low <= max_distance <= high:
                raise ParameterError("pixel_size", f"{px!r} makes the default `max_distance` (5 pixels = "
                                     f"{max_distance:g}) fall outside {low:g} .. {high:g}; give `max_distance` "
                                     "or use other space units")
        max_lag = self.max_lag
        if max_lag is not None and frames is not None:
            max_lag = min(max_lag, max(1, frames - 1))
        diameter = DEFAULT_DIAMETER if self.diameter is None else self.diameter
        filled = replace(
            self, z_step=z_step, localization_method=method, diameter=diameter,
            invert=bool(self.invert), max_skip=DEFAULT_MAX_SKIP if self.max_skip is None else self.max_skip,
            window_size=diameter if self.window_size is None else self.window_size,
            min_distance=(diameter - 1) / 2 * px if self.min_distance is None else self.min_distance,
            max_distance=max_distance, max_lag=max_lag,
            render_pixel_size=px if self.render_pixel_size is None else self.render_pixel_size)
        render_grid(frame_shape, filled)
        return filled

    def ignored(self, ndim: int, frames: int | None = None) -> list[str]:
        """Warnings for values that have no effect (or not the one asked for) on this data:
        options of the other dimensionality, and with the number of frames, a `max_lag` beyond
        the recording or a `min_length` no track can reach."""
        notes = []
        if ndim == 2:
            for name in ("z_step", "correlation_sigmas", "correlation_threshold"):
                if getattr(self, name) is not None:
                    notes.append(f"`{name}` applies to volumes only; ignored for these 2D frames")
        elif self.max_intensity_ratio is not None:
            notes.append("`max_intensity_ratio` applies to 2D frames only; ignored for these volumes")
        if frames is not None:
            if self.max_lag is not None and self.max_lag > max(1, frames - 1):
                notes.append(f"`max_lag` {self.max_lag} is beyond the recording's {frames} frames; "
                             f"the MSD goes up to lag {max(1, frames - 1)}")
            if self.min_length is not None and self.min_length > frames:
                notes.append(f"`min_length` {self.min_length} is longer than the recording's {frames} frames, "
                             "so no track is kept; lower `min_length`")
        return notes


def _checked(name: str, value: Any, d: Declared) -> Any:
    """`value` normalised to the field's Python type (NumPy scalars become int, float,
    bool), or a ParameterError naming the field."""
    if value is None:
        if d.optional:
            return None
        raise ParameterError(name, f"must be {d.allowed()}, got None")
    if d.kind == "bool":
        if _is_bool(value):
            return bool(value)
        raise ParameterError(name, f"must be True or False, got {_shown(value)}")
    if d.kind in ("str", "choice"):
        if not isinstance(value, str):
            raise ParameterError(name, f"must be {d.allowed()}, got {_shown(value)}")
        value = utf8_text(value)          # bytes a non-UTF-8 locale could not decode
        if d.kind == "choice":
            if value not in d.choices:
                raise ParameterError(name, f"must be {d.allowed()}, got {_shown(value)}")
        elif not (d.low <= len(value) <= d.high) or not value.isprintable():
            raise ParameterError(name, f"must be printable {d.allowed()}, got {_shown(value)}")
        return value
    if d.kind == "floats":
        if isinstance(value, (str, bytes)) or not hasattr(value, "__len__") or len(value) != d.count:
            raise ParameterError(name, f"must be {d.allowed()}, got {_shown(value)}")
        return tuple(_number(name, v, d, float) for v in value)
    return _number(name, value, d, int if d.kind == "int" else float)


def _number(name: str, value: Any, d: Declared, kind: type) -> int | float:
    numeric = numbers.Integral if kind is int else numbers.Real
    if _is_bool(value) or not isinstance(value, numeric):
        raise ParameterError(name, f"must be {d.allowed()}, got {_shown(value)}")
    value = kind(value)
    ok = (math.isfinite(value) and (d.low is None or value >= d.low) and (d.high is None or value <= d.high)
          and (d.above is None or value > d.above))
    if not ok:
        raise ParameterError(name, f"must be {d.allowed(none=False)}, got {value!r}")
    if d.odd and value % 2 == 0:
        raise ParameterError(name, f"must be odd, got {value}")
    return value


def _is_bool(value: Any) -> bool:
    """A Python or NumPy boolean (NumPy's is no subclass of bool)."""
    dtype = getattr(value, "dtype", None)
    return isinstance(value, bool) or (dtype is not None and getattr(value, "shape", None) == () and dtype.kind == "b")


def _shown(value: Any) -> str:
    return f"{reprlib.repr(value)} ({type(value).__name__})"


def render_grid(frame_shape: tuple[int, ...], params: TrackingParams) -> tuple[int, ...]:
    """The rendered image shape for frames of this shape, or a ParameterError naming
    render_pixel_size when it is larger than the field of view or gives more than
    `max_image_pixels` pixels."""
    size = params.render_pixel_size or params.pixel_size
    spacing = ((params.z_step or params.pixel_size,) if len(frame_shape) == 3 else ()) + (params.pixel_size,) * 2
    extents = [n * s for n, s in zip(frame_shape, spacing)]
    if size > max(extents):
        raise ParameterError("render_pixel_size", f"{_g(size)} is larger than the field of view "
                             f"({' x '.join(map(_g, extents))} space units); use at most {_g(max(extents))}")
    cells = [e / size for e in extents]
    total = math.prod(c + 1 for c in cells)
    if not math.isfinite(total) or total > params.max_image_pixels:
        raise ParameterError("render_pixel_size", f"{size!r} gives a rendered grid of about "
                             f"{' x '.join(f'{c + 1:.3g}' for c in cells)} = {total:.3g} pixels, above the limit "
                             f"of {params.max_image_pixels:.3g} (`max_image_pixels`); use a larger render pixel size")
    shape = tuple(int(math.ceil(c)) + 1 for c in cells)
    total = math.prod(shape)
    if total > params.max_image_pixels:
        raise ParameterError("render_pixel_size", f"{size!r} gives a rendered grid of "
                             f"{' x '.join(map(str, shape))} = {total:.3g} pixels, above the limit of "
                             f"{params.max_image_pixels:.3g} (`max_image_pixels`); use a larger render pixel size")
    return shape


FIELD_NAMES = tuple(f.name for f in fields(TrackingParams))
DECLARED = {f.name: f.metadata["trakora"] for f in fields(TrackingParams)}
DEFAULTS = {f.name: f.default for f in fields(TrackingParams) if f.default is not MISSING}

OPTIONAL_BOOL_WORDS = ("auto", "yes", "no")   # a form's words for None, True, False


def params_from_values(values: dict[str, Any]) -> TrackingParams:
    """TrackingParams from values by field as a form gives them (the command's options, the
    napari widget): a choice's word for None (`none`) is None, a list of floats a tuple, and
    an optional switch's words (auto, yes, no) None, True, False."""
    converted = {}
    for name, value in values.items():
        d = DECLARED.get(name)
        if d is not None and d.kind == "bool" and d.optional and value in OPTIONAL_BOOL_WORDS:
            value = (None, True, False)[OPTIONAL_BOOL_WORDS.index(value)]
        elif d is not None and d.kind == "choice" and d.none_choice is not None and value == d.none_choice:
            value = None
        elif d is not None and d.kind == "floats" and isinstance(value, list):
            value = tuple(value)
        converted[name] = value
    return TrackingParams(**converted)


_NAMED = re.compile(r"`([a-z_]+)`")


def rename_fields(text: str, names: dict[str, str]) -> str:
    """`text` with every backticked field name replaced by `names[name]` (unknown names lose
    only their backticks)."""
    return _NAMED.sub(lambda m: names.get(m.group(1), m.group(1)), text)


def default_words(name: str) -> str:
    """The default of a field, in words (for help texts and the documentation)."""
    d, default = DECLARED[name], DEFAULTS[name]
    if default is None:
        return d.none_means or "None"
    return repr(default) if isinstance(default, str) else _g(default) if not isinstance(default, bool) else str(default)


def markdown_table() -> str:
    """The parameter table of docs/workflow.md."""
    lines = ["| field | option | default | values | meaning |", "|---|---|---|---|---|"]
    for name, d in DECLARED.items():
        option = d.option
        if d.kind == "choice":
            option += " {" + ",".join(d.choices + ((d.none_choice,) if d.none_choice else ())) + "}"
        meaning = d.help.replace("|", "\\|")
        lines.append(f"| `{name}` | `{option}` | {_code(default_words(name))} | {d.allowed()} | {meaning} |")
    return "\n".join(lines)


def _code(text: str) -> str:
    return text if "`" in text else f"`{text}`" if re.fullmatch(r"[\w.'^]+", text) else text


TABLE_START = "<!-- parameter table: python -m trakora_workflow.params --write docs/workflow.md -->"
TABLE_END = "<!-- end of the parameter table -->"


def with_table(document: str) -> str:
    """`document` with the text between TABLE_START and TABLE_END replaced by the table."""
    head, start, rest = document.partition(TABLE_START)
    _, end, tail = rest.partition(TABLE_END)
    if not start or not end:
        raise ValueError("the document has no parameter table markers")
    return f"{head}{TABLE_START}\n{markdown_table()}\n{TABLE_END}{tail}"


if __name__ == "__main__":
    import sys
    from pathlib import Path
    if sys.argv[1:] == ["--markdown"]:
        print(markdown_table())
    elif len(sys.argv) == 3 and sys.argv[1] == "--write":
        doc = Path(sys.argv[2])
        doc.write_text(with_table(doc.read_text(encoding="utf-8")), encoding="utf-8")
    else:
        sys.exit("usage: python -m trakora_workflow.params --markdown | --write docs/workflow.md")
