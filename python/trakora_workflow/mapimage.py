"""Colour-mapped images as PNG pictures with a colour bar, axes in physical units and a title,
composed with NumPy and Pillow: no plotting library is imported, so a picture of a map costs
the colour mapping, a few lines of text and the PNG compression.

Colours come from 256-entry lookup tables (`_colourmaps`) and are picked as matplotlib picks
them: a value at fraction t of the scale takes entry floor(256 t), clipped to the table. An
image smaller than `TARGET_PIXELS` on its longer side is enlarged by whole pixel blocks (each
data pixel stays a sharp square); larger ones are drawn pixel for pixel. Row 0 of an image is
at the top; the axes say which value the outer edge of the first and of the last pixel has.

Text is drawn with the DejaVu Sans font matplotlib ships (found by its path, matplotlib is not
imported), else a system DejaVu Sans, else Pillow's own font. Text is plain: a `$` is a
dollar sign; surrogates are repaired (`text.utf8_text`).
"""
from __future__ import annotations

import functools
import importlib.util
import math
import os
from dataclasses import dataclass
from typing import Sequence

import numpy as np

from ._colourmaps import NAMES, TABLES
from .text import utf8_text

__all__ = ["COMPRESS_LEVEL", "ColourBar", "TARGET_PIXELS", "colour", "compose", "lut", "lut_indices",
           "nice_ticks", "save_png", "tick_labels"]

TARGET_PIXELS = 640   # an image is enlarged by whole blocks towards this many pixels on its longer side
COMPRESS_LEVEL = 2    # zlib level of the PNGs (level 6: maps 1.3 to 2.7 times slower to write, at most 20 % smaller)
BLACK, WHITE = (0, 0, 0), (255, 255, 255)


# --------------------------------------------------------------------------- colours

@functools.lru_cache(maxsize=None)
def lut(name: str) -> np.ndarray:
    """The lookup table of colour map `name` (one of `_colourmaps.NAMES`): (256, 3) uint8,
    read-only."""
    if name not in TABLES:
        raise ValueError(f"no colour table {name!r}; there are {', '.join(NAMES)}")
    table = np.frombuffer(bytes.fromhex("".join(TABLES[name])), dtype=np.uint8).reshape(256, 3)
    table.flags.writeable = False
    return table


def lut_indices(values: np.ndarray, low: float, high: float, gamma: float = 1.0) -> np.ndarray:
    """The table entry (intp) of each value on the scale `low`..`high`, linear or, with
    `gamma`, a power scale ((v - low) / (high - low)) ** gamma as matplotlib's PowerNorm: below
    the scale entry 0, above it entry 255. NaN gets entry 0 (callers colour it themselves)."""
    t = np.asarray(values, dtype=np.float64) - low
    if high > low:
        t /= high - low
    else:
        t[...] = 0.0
    if gamma != 1.0:
        positive = t > 0
        t[positive] = np.power(t[positive], gamma)
    with np.errstate(invalid="ignore"):
        t *= 256.0
        np.clip(t, 0.0, 255.0, out=t)
    t[np.isnan(t)] = 0.0
    return t.astype(np.intp)


def colour(values: np.ndarray, name: str, low: float, high: float, gamma: float = 1.0,
           bad: tuple[int, int, int] | None = None) -> np.ndarray:
    """RGB (..., 3) uint8 of `values` on colour map `name` (see `lut_indices`); NaN values
    take the colour `bad` (default: the bottom of the map)."""
    values = np.asarray(values)
    rgb = lut(name)[lut_indices(values, low, high, gamma)]
    if bad is not None:
        rgb[np.isnan(values)] = bad
    return rgb


# --------------------------------------------------------------------------- ticks

def nice_ticks(low: float, high: float, count: int) -> list[float]:
    """At most `count` (at least 2) round values (steps of 1, 2 or 5 times a power of
    ten) from `low` to `high`, both included when they are round; [low] for an empty or
    non-finite range."""
    span = high - low
    if not (math.isfinite(low) and math.isfinite(span) and span > 0):
        return [low] if math.isfinite(low) else []
    power = 10.0 ** math.floor(math.log10(span / max(1, count)))
    for step in (m * power * scale for scale in (0.1, 1.0, 10.0, 100.0) for m in (1, 2, 5)):
        first, last = math.ceil(low / step - 1e-9), math.floor(high / step + 1e-9)
        if last - first + 1 <= max(2, count):
            break
    return [k * step for k in range(first, last + 1)]


def tick_labels(values: Sequence[float]) -> list[str]:
    """Labels of evenly spaced tick values with the same number of decimals, enough for the
    step between them ("0.0", "0.5", "1.0"; "0", "250", "500")."""
    if not len(values):
        return []
    biggest = max(abs(v) for v in values)
    step = abs(values[1] - values[0]) if len(values) > 1 else biggest
    if biggest >= 1e6 or 0 < step < 1e-4:
        return [f"{v:.3g}" for v in values]
    decimals = 0
    while decimals < 6 and step > 0 and abs(round(step, decimals) - step) > 1e-6 * step:
        decimals += 1
    return [f"{0.0 if abs(v) < 1e-12 * max(step, 1e-300) else v:.{decimals}f}" for v in values]


# --------------------------------------------------------------------------- text

def _font_files() -> list[str]:
    found = []
    spec = importlib.util.find_spec("matplotlib")     # finds the package without importing it
    for folder in (spec.submodule_search_locations or []) if spec else []:
        found.append(os.path.join(folder, "mpl-data", "fonts", "ttf", "DejaVuSans.ttf"))
    found.append("DejaVuSans.ttf")                      # Pillow looks in the system's font folders
    return found


@functools.lru_cache(maxsize=16)
def _font(size: int):
    """A scalable font of `size` pixels, or Pillow's bitmap font when there is none."""
    from PIL import ImageFont
    for file in _font_files():
        try:
            return ImageFont.truetype(file, size)
        except OSError:
            continue
    try:
        return ImageFont.load_default(size=size)        # scalable from Pillow 10.1
    except TypeError:
        return ImageFont.load_default()


def _printable(font, text: str) -> str:
    """`text` with surrogates repaired; for a bitmap font (Latin-1 only) the other characters
    replaced by "?"."""
    from PIL import ImageFont
    text = utf8_text(str(text))
    if not isinstance(font, ImageFont.FreeTypeFont):
        return text.encode("latin-1", "replace").decode("latin-1")
    return text


def _width(font, text: str) -> int:
    if hasattr(font, "getbbox"):
        return int(math.ceil(font.getbbox(text)[2])) if text else 0
    return int(font.getsize(text)[0])                   # Pillow before 9.2


@functools.lru_cache(maxsize=16)
def _line_height(font) -> int:
    if hasattr(font, "getmetrics"):
        ascent, descent = font.getmetrics()
        return int(ascent + descent)
    return _width_height(font, "Ag")[1]


def _width_height(font, text: str) -> tuple[int, int]:
    if hasattr(font, "getbbox"):
        box = font.getbbox(text)
        return int(math.ceil(box[2])), int(math.ceil(box[3]))
    return tuple(font.getsize(text))                     # type: ignore[return-value]


def _wrapped(font, text: str, room: int) -> list[str]:
    """`text` as lines of at most `room` pixels, broken at spaces (a word longer than the room
    keeps a line of its own)."""
    lines: list[str] = []
    for word in text.split(" "):
        if lines and _width(font, lines[-1] + " " + word) <= room:
            lines[-1] += " " + word
        else:
            lines.append(word)
    return lines


class _Canvas:
    """A white RGB picture being drawn on."""

    def __init__(self, width: int, height: int):
        from PIL import Image, ImageDraw
        self.image = Image.new("RGB", (width, height), WHITE)
        self.draw = ImageDraw.Draw(self.image)

    def text(self, x: float, y: float, text: str, font, colour=BLACK, align: str = "left") -> None:
        """`text` with the top of its line at y; x is its left end, centre or right end."""
        width = _width(font, text)
        left = x - {"left": 0, "centre": width / 2, "right": width}[align]
        self.draw.text((int(round(left)), int(round(y))), text, fill=colour, font=font)

    def text_upwards(self, x: float, y_centre: float, lines: list[str], font) -> None:
        """Lines turned a quarter turn anticlockwise (read bottom to top), the first line's
        top at column x, centred on row y_centre."""
        from PIL import Image, ImageDraw
        line = _line_height(font)
        width = max(_width(font, t) for t in lines)
        mask = Image.new("L", (max(1, width), line * len(lines)), 0)
        pen = ImageDraw.Draw(mask)
        for k, t in enumerate(lines):
            pen.text(((width - _width(font, t)) // 2, k * line), t, fill=255, font=font)
        turned = mask.transpose(Image.Transpose.ROTATE_90)
        self.image.paste(BLACK, (int(x), int(round(y_centre - turned.height / 2))), turned)

    def line(self, points, colour=BLACK, width: int = 1) -> None:
        self.draw.line(points, fill=colour, width=width)

    def box(self, left: int, top: int, right: int, bottom: int, colour=BLACK, fill=None) -> None:
        """A rectangle around (outline) or over (fill) the pixels left..right-1, top..bottom-1."""
        if fill is not None:
            self.draw.rectangle((left, top, right - 1, bottom - 1), fill=fill)
        else:
            self.draw.rectangle((left - 1, top - 1, right, bottom), outline=colour)


# --------------------------------------------------------------------------- composition

@dataclass(frozen=True)
class ColourBar:
    """A vertical colour bar: map `cmap` from `low` (bottom) to `high` (top), on the power
    scale `gamma` (1: linear), labelled `label`. `ticks`: (value, label) pairs, thinned where
    they would overlap; None: round values chosen to fit."""

    cmap: str
    low: float
    high: float
    label: str
    gamma: float = 1.0
    ticks: Sequence[tuple[float, str]] | None = None

    def fraction(self, value: float) -> float:
        """Where `value` sits on the bar, 0 at the bottom and 1 at the top."""
        if not self.high > self.low:
            return 0.0
        t = min(1.0, max(0.0, (value - self.low) / (self.high - self.low)))
        return t ** self.gamma if t > 0 else 0.0


def _upscale(image: np.ndarray, factor: int) -> np.ndarray:
    if factor == 1:
        return np.ascontiguousarray(image)
    h, w = image.shape[:2]
    return np.ascontiguousarray(np.broadcast_to(image[:, None, :, None], (h, factor, w, factor, 3))
                                .reshape(h * factor, w * factor, 3))


def _axis_ticks(first: float, last: float, length: int, room) -> list[tuple[float, str]]:
    """(offset in pixels from the first edge, label) of round values between the edge values
    `first` and `last` of an axis `length` pixels long; the most ticks (up to 8) whose labels
    keep `room(labels)` pixels apart."""
    low, high = min(first, last), max(first, last)
    if not (math.isfinite(low) and math.isfinite(high) and high > low):
        return []
    best: list[tuple[float, str]] = []
    for count in range(8, 1, -1):
        values = nice_ticks(low, high, count)
        labels = tick_labels(values)
        offsets = [(v - first) / (last - first) * length for v in values]
        best = list(zip(offsets, labels))
        if len(values) < 2 or abs(offsets[1] - offsets[0]) >= room(labels):
            return best
    return best[:1] + best[-1:] if len(best) > 2 else best


def _bar_ticks(bar: ColourBar, length: int, gap: int) -> list[tuple[float, str]]:
    """(offset in pixels from the bar's bottom, label) of the bar's ticks, `gap` pixels apart
    at least (kept from the bottom up)."""
    if bar.ticks is None:
        chosen: list[tuple[float, str]] = []
        for count in range(8, 1, -1):
            values = nice_ticks(bar.low, bar.high, count)
            chosen = [(bar.fraction(v) * length, t) for v, t in zip(values, tick_labels(values))]
            if all(b[0] - a[0] >= gap for a, b in zip(chosen, chosen[1:])):
                return chosen
        candidates = chosen
    else:
        candidates = sorted((bar.fraction(v) * length, t) for v, t in bar.ticks
                            if bar.low - 1e-9 * abs(bar.low) <= v <= bar.high + 1e-9 * abs(bar.high))
    kept: list[tuple[float, str]] = []
    for offset, text in candidates:
        if not kept or offset - kept[-1][0] >= gap:
            kept.append((offset, text))
    return kept


def compose(image: np.ndarray, *, x_range: tuple[float, float], y_range: tuple[float, float],
            x_label: str, y_label: str, title: str, bar: ColourBar,
            scale_bar: tuple[float, str] | None = None) -> np.ndarray:
    """The picture of an RGB image (rows, columns, 3) uint8, row 0 at the top: a title above,
    x ticks and label below, y ticks and label on the left, the colour bar on the right.
    `x_range`: the values at the left edge of the first column and the right edge of the
    last; `y_range`: at the top edge of row 0 and the bottom edge of the last row (so y grows
    downwards when y_range[0] < y_range[1]). `scale_bar`: (length in x units, label) drawn in
    white in the lower right corner of the image. Returns the picture, (height, width, 3)
    uint8."""
    image = np.asarray(image, dtype=np.uint8)
    if image.shape[0] == 0 or image.shape[1] == 0:
        image = np.zeros((max(1, image.shape[0]), max(1, image.shape[1]), 3), np.uint8)
    rows, cols = image.shape[:2]
    factor = max(1, round(TARGET_PIXELS / max(rows, cols)))
    shown = _upscale(image, factor)
    H, W = shown.shape[:2]

    size = int(np.clip(round(0.018 * max(W, H) + 4.5), 14, 28))
    font, title_font, small = _font(size), _font(round(size * 1.2)), _font(max(11, round(size * 0.9)))
    title, x_label, y_label = (_printable(font, t) for t in (title, x_label, y_label))
    bar_label = _printable(font, bar.label)
    line, title_line = _line_height(font), _line_height(title_font)
    tick, pad, margin = max(4, size // 3), max(3, size // 4), size

    x_ticks = _axis_ticks(x_range[0], x_range[1], W, lambda labels: max(_width(font, t) for t in labels) + size)
    y_ticks = _axis_ticks(y_range[0], y_range[1], H, lambda labels: 2.2 * line)
    region = max(H, 10 * line)                       # the colour bar's height
    ticks_on_bar = [(o, _printable(font, t)) for o, t in _bar_ticks(bar, region, int(1.6 * line))]
    label_lines = _wrapped(font, bar_label, region) if bar_label else []
    label_length = max((_width(font, t) for t in label_lines), default=0)
    overflow = max(0, label_length - region)

    # columns: margin | y label | y tick labels | ticks | image | gap | bar | ticks | labels | bar label | margin
    y_text = max((_width(font, t) for _, t in y_ticks), default=0)
    image_left = margin + (line + pad if y_label else 0) + y_text + pad + tick
    bar_left = image_left + W + max(size, round(0.03 * W))
    bar_width = int(np.clip(round(0.045 * W), size, 2 * size))
    bar_text_left = bar_left + bar_width + tick + pad
    bar_text = max((_width(font, t) for _, t in ticks_on_bar), default=0)
    label_left = bar_text_left + bar_text + pad
    width = label_left + line * len(label_lines) + margin
    width = max(width, _width(title_font, title) + 2 * margin, _width(font, x_label) + 2 * margin)

    # rows: margin | title | region (image centred on the bar) | ticks | tick labels | x label | margin
    region_top = margin + (title_line + 2 * pad if title else line // 2) + overflow // 2
    image_top = region_top + (region - H) // 2
    bar_top, bar_height = region_top, region
    x_text_top = image_top + H + tick + pad
    height = max(x_text_top + (line if x_ticks else 0) + (pad + line if x_label else 0),
                 region_top + region + line // 2) + margin + overflow - overflow // 2

    canvas = _Canvas(width, height)
    canvas.image.paste(_pil_image(shown), (image_left, image_top))
    canvas.box(image_left, image_top, image_left + W, image_top + H)
    for offset, text in x_ticks:
        x = image_left + min(W, max(0, int(round(offset))))
        canvas.line([(x, image_top + H), (x, image_top + H + tick)])
        canvas.text(x, x_text_top, text, font, align="centre")
    for offset, text in y_ticks:
        y = image_top + min(H, max(0, int(round(offset))))
        canvas.line([(image_left - 1 - tick, y), (image_left - 1, y)])
        canvas.text(image_left - 1 - tick - pad, y - line / 2, text, font, align="right")
    if x_label:
        centre = min(max(image_left + W / 2, margin + _width(font, x_label) / 2),
                     width - margin - _width(font, x_label) / 2)
        canvas.text(centre, x_text_top + (line if x_ticks else 0) + pad, x_label, font, align="centre")
    if y_label:
        canvas.text_upwards(margin, image_top + H / 2, [y_label], font)
    if title:
        centre = min(max(image_left + W / 2, margin + _width(title_font, title) / 2),
                     width - margin - _width(title_font, title) / 2)
        canvas.text(centre, margin + overflow // 2, title, title_font, align="centre")

    # the colour bar: row k from the top shows the colour at fraction 1 - (k + 0.5) / height
    fractions = 1.0 - (np.arange(bar_height) + 0.5) / bar_height
    strip = lut(bar.cmap)[np.clip((fractions * 256).astype(np.intp), 0, 255)]
    canvas.image.paste(_pil_image(np.ascontiguousarray(np.broadcast_to(strip[:, None], (bar_height, bar_width, 3)))),
                       (bar_left, bar_top))
    canvas.box(bar_left, bar_top, bar_left + bar_width, bar_top + bar_height)
    for offset, text in ticks_on_bar:
        y = bar_top + bar_height - min(bar_height, max(0, int(round(offset))))
        canvas.line([(bar_left + bar_width, y), (bar_left + bar_width + tick, y)])
        canvas.text(bar_text_left, y - line / 2, text, font)
    if label_lines:
        canvas.text_upwards(label_left, bar_top + bar_height / 2, label_lines, font)

    if scale_bar is not None:
        _draw_scale_bar(canvas, scale_bar, x_range, (image_left, image_top, W, H), small)
    return np.asarray(canvas.image)


def _draw_scale_bar(canvas: _Canvas, scale_bar, x_range, box, font) -> None:
    """A white bar `length` x units long with its label under it, in the image's lower right
    corner; left out when it would not fit."""
    length, text = scale_bar
    left, top, W, H = box
    span = abs(x_range[1] - x_range[0])
    text = _printable(font, text)
    line = _line_height(font)
    pixels = int(round(length / span * W)) if span > 0 and math.isfinite(length / span) else 0
    inset = max(6, line // 2)
    if not (2 <= pixels <= W - 2 * inset) or _width(font, text) > W - 2 * inset or H < 4 * line:
        return
    thick = max(2, round(W / 150))
    right, bottom = left + W - inset, top + H - inset
    centre = right - pixels / 2
    centre = min(centre, right - _width(font, text) / 2)
    canvas.text(centre, bottom - line, text, font, colour=WHITE, align="centre")
    bar_bottom = bottom - line - max(2, line // 6)
    canvas.box(right - pixels, bar_bottom - thick, right, bar_bottom, fill=WHITE)


def _pil_image(rgb: np.ndarray):
    from PIL import Image
    return Image.fromarray(np.ascontiguousarray(rgb, dtype=np.uint8))


def save_png(picture: np.ndarray, path: str | os.PathLike) -> None:
    """Write an RGB picture (height, width, 3) uint8 as a PNG (zlib level `COMPRESS_LEVEL`)."""
    _pil_image(picture).save(os.fspath(path), format="PNG", compress_level=COMPRESS_LEVEL)
