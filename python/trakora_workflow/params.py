"""The workflow's parameters, their defaults and their checks.

Every check raises `ParameterError`, which names the parameter; the command line turns the
name into its option (`max_skip` -> `--max-skip`), so that a bad value is reported before any
work starts, in one line that says which option to change.
"""
from __future__ import annotations

import math
from dataclasses import dataclass, fields, replace

from .errors import ParameterError

METHODS = ("radial_symmetry", "gaussian_fitting")
MAX_DISTANCE_RANGE = (1e-6, 1e11)      # what the linkers accept
INT32_MAX = 2**31 - 1
MAX_IMAGE_PIXELS = 2**28


@dataclass(frozen=True)
class TrackingParams:
    """Parameters of the workflow; distances are in the physical units of `pixel_size`.

    `None` means a default that depends on the data (see `resolve`): `threshold` from the
    (preprocessed) frames, `window_size` = `diameter`, `min_distance` = (diameter - 1) / 2
    pixels, `max_distance` 5 pixels, `z_step` = `pixel_size`, `render_pixel_size` =
    `pixel_size`. `localization_method="auto"` is radial symmetry for images and Gaussian
    fitting for volumes; `None` keeps integer positions.
    """

    pixel_size: float = 1.0
    z_step: float | None = None
    frame_interval: float = 1.0
    diameter: int = 7
    invert: bool = False
    preprocess: bool = True
    threshold: float | None = None
    threshold_snr: float = 6.0
    min_distance: float | None = None
    localization_method: str | None = "auto"
    window_size: int | None = None
    max_num_peaks: int | None = None
    correlation_sigmas: tuple[float, float, float] | None = None
    correlation_threshold: float | None = None
    max_distance: float | None = None
    max_skip: int = 1
    max_intensity_ratio: float | None = None
    min_length: int | None = None
    drift: bool = False
    max_lag: int | None = None
    render_pixel_size: float | None = None
    max_image_pixels: int = MAX_IMAGE_PIXELS
    space_unit: str = "px"
    time_unit: str = "frame"

    def check(self) -> None:
        """Range checks that need no data; raises ParameterError."""
        def positive(name, value, optional=False):
            if value is None and optional:
                return
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not (math.isfinite(value) and value > 0):
                raise ParameterError(name, f"must be a positive number, got {value!r}")

        def integer(name, value, low, high=INT32_MAX, optional=False):
            if value is None and optional:
                return
            if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
                raise ParameterError(name, f"must be an integer from {low} to {high}, got {value!r}")

        positive("pixel_size", self.pixel_size)
        if not 1e-30 <= self.pixel_size <= 1e30:
            raise ParameterError("pixel_size", f"{self.pixel_size!r} is outside 1e-30 .. 1e30")
        positive("z_step", self.z_step, optional=True)
        if self.z_step is not None and not 1e-30 <= self.z_step <= 1e30:
            raise ParameterError("z_step", f"{self.z_step!r} is outside 1e-30 .. 1e30")
        positive("frame_interval", self.frame_interval)
        positive("threshold_snr", self.threshold_snr)
        integer("diameter", self.diameter, 3, 1001)
        if self.diameter % 2 == 0:
            raise ParameterError("diameter", f"must be odd (the particle's apparent size in pixels), got {self.diameter}")
        if self.threshold is not None and not (isinstance(self.threshold, (int, float)) and math.isfinite(self.threshold)):
            raise ParameterError("threshold", f"must be a finite number, got {self.threshold!r}")
        if self.min_distance is not None and not (math.isfinite(self.min_distance) and self.min_distance >= 0):
            raise ParameterError("min_distance", f"must be a number >= 0, got {self.min_distance!r}")
        if self.localization_method not in (None, "auto", *METHODS):
            raise ParameterError("localization_method", f"must be one of auto, {', '.join(METHODS)} or None, "
                                 f"got {self.localization_method!r}")
        integer("window_size", self.window_size, 3, 1001, optional=True)
        if self.window_size is not None and self.window_size % 2 == 0:
            raise ParameterError("window_size", f"must be odd, got {self.window_size}")
        integer("max_num_peaks", self.max_num_peaks, 0, optional=True)
        if self.correlation_sigmas is not None:
            if len(self.correlation_sigmas) != 3:
                raise ParameterError("correlation_sigmas", "needs three sigmas (z, y, x)")
            for s in self.correlation_sigmas:
                positive("correlation_sigmas", s)
        if self.correlation_threshold is not None and not math.isfinite(self.correlation_threshold):
            raise ParameterError("correlation_threshold", f"must be a finite number, got {self.correlation_threshold!r}")
        if self.max_distance is not None:
            positive("max_distance", self.max_distance)
            low, high = MAX_DISTANCE_RANGE
            if not low <= self.max_distance <= high:
                raise ParameterError("max_distance", f"{self.max_distance!r} is outside {low:g} .. {high:g}")
        integer("max_skip", self.max_skip, 0)
        positive("max_intensity_ratio", self.max_intensity_ratio, optional=True)
        if self.max_intensity_ratio is not None and self.max_intensity_ratio < 1:
            raise ParameterError("max_intensity_ratio", f"must be >= 1 (a ratio below 1 refuses every link), "
                                 f"got {self.max_intensity_ratio!r}")
        integer("min_length", self.min_length, 1, optional=True)
        integer("max_lag", self.max_lag, 1, optional=True)
        positive("render_pixel_size", self.render_pixel_size, optional=True)
        integer("max_image_pixels", self.max_image_pixels, 1, 2**62)

    def resolve(self, frame_shape: tuple[int, ...]) -> TrackingParams:
        """A copy with the defaults that need only the frame shape filled in, after the checks;
        `threshold` stays None (it needs the frames). Raises ParameterError."""
        self.check()
        ndim = len(frame_shape)
        px = self.pixel_size
        z_step = px if self.z_step is None else self.z_step
        spacing = ((z_step,) if ndim == 3 else ()) + (px, px)
        if max(n * s for n, s in zip(frame_shape, spacing)) > 1e30:
            raise ParameterError("pixel_size", f"{px!r} puts positions beyond 1e30; use larger space units")
        method = self.localization_method
        if method == "auto":
            method = "gaussian_fitting" if ndim == 3 else "radial_symmetry"
        max_distance = self.max_distance
        if max_distance is None:
            max_distance = 5.0 * px
            low, high = MAX_DISTANCE_RANGE
            if not low <= max_distance <= high:
                raise ParameterError("pixel_size", f"{px!r} makes the default max_distance (5 pixels = "
                                     f"{max_distance:g}) fall outside {low:g} .. {high:g}; give max_distance "
                                     "or use other space units")
        filled = replace(
            self, z_step=z_step, localization_method=method,
            window_size=self.diameter if self.window_size is None else self.window_size,
            min_distance=(self.diameter - 1) / 2 * px if self.min_distance is None else self.min_distance,
            max_distance=max_distance,
            render_pixel_size=px if self.render_pixel_size is None else self.render_pixel_size)
        render_grid(frame_shape, filled)
        return filled

    def resolved(self, stack) -> TrackingParams:
        """`resolve` for the frames of a stack (array or frame source), with the threshold
        chosen from its prepared frames when it is None."""
        from .detect import choose_threshold, preparation
        from .io import open_recording
        source = open_recording(stack)
        filled = self.resolve(source.frame_shape)
        if filled.threshold is None:
            report = choose_threshold(source, filled, preparation(filled, source))
            filled = replace(filled, threshold=report.threshold)
        return filled

    def ignored(self, ndim: int) -> list[str]:
        """Warnings for options that have no effect on data of this dimensionality."""
        notes = []
        if ndim == 2:
            for name in ("correlation_sigmas", "correlation_threshold"):
                if getattr(self, name) is not None:
                    notes.append(f"{name} applies to volumes only; ignored for these 2D frames")
        elif self.max_intensity_ratio is not None:
            notes.append("max_intensity_ratio applies to 2D frames only; ignored for these volumes")
        return notes


def render_grid(frame_shape: tuple[int, ...], params: TrackingParams) -> tuple[int, ...]:
    """The rendered image shape for frames of this shape, or a ParameterError naming
    render_pixel_size when it has more than `max_image_pixels` pixels."""
    size = params.render_pixel_size or params.pixel_size
    spacing = ((params.z_step or params.pixel_size,) if len(frame_shape) == 3 else ()) + (params.pixel_size,) * 2
    shape = tuple(int(math.ceil(n * s / size)) + 1 for n, s in zip(frame_shape, spacing))
    total = math.prod(shape)
    if total > params.max_image_pixels:
        raise ParameterError("render_pixel_size", f"{size!r} gives a rendered grid of "
                             f"{' x '.join(map(str, shape))} = {total:.3g} pixels, above the limit of "
                             f"{params.max_image_pixels:.3g} (max_image_pixels); use a larger render pixel size")
    return shape


FIELD_NAMES = tuple(f.name for f in fields(TrackingParams))
