"""The parameters of an ultrasound localization microscopy run, in space units (the unit of
the wavelength and the pixel sizes) and seconds."""
from __future__ import annotations

import math
from dataclasses import dataclass, fields, replace

from ..errors import ParameterError

__all__ = ["UlmParams"]

METHODS = ("gaussian", "radial")


def _positive(name: str, value, allow_none: bool = True) -> None:
    if value is None and allow_none:
        return
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value) or value <= 0:
        raise ParameterError(name, f"must be a positive number, got {value!r}")


@dataclass(frozen=True)
class UlmParams:
    """`wavelength` is required; the rest default from it, from the frame rate and from what
    the block files store.

    pixel_size / axial_pixel_size: lateral (column) and depth (row) pixel sizes (axial
        defaults to the lateral one); frame_rate in Hz.
    svd_cutoff: singular vectors removed per block (None: read off the singular values).
    bandpass: (low, high) Hz temporal band-pass after the SVD, or None.
    threshold_db: candidates reach the block's noise level (median envelope) + this many dB.
    spot_sigma: expected spot standard deviations (axial, lateral) in wavelengths; the
        localization window extends 2 of them on each side along each axis.
    method: "gaussian" (a Gaussian with a width per axis) or "radial" (radial symmetry).
    prefilter: candidates are found on the envelope smoothed by a Gaussian this fraction of
        the spot widths (0: none); the fit uses the envelope itself.
    crowd_ratio: a window holding another maximum of at least this fraction of its own peak
        is dropped.
    max_distance: largest step between linked frames (default: wavelength / 2 at 1 kHz,
        scaled by 1000 / frame_rate and never above one wavelength).
    max_skip: frames a track may miss.
    min_length: shortest track kept, in points (default: 10 ms of frames, at least 5).
    smooth_span: points of the local line fit that smooths tracks and gives their velocity
        (default: 5 ms of frames, odd, at least 5).
    grid: pixel size of the maps (default: wavelength / 10).
    """
    wavelength: float
    pixel_size: float | None = None
    axial_pixel_size: float | None = None
    frame_rate: float | None = None
    svd_cutoff: int | None = None
    bandpass: tuple[float, float] | None = None
    threshold_db: float = 12.0
    spot_sigma: tuple[float, float] = (0.3, 0.6)
    method: str = "gaussian"
    crowd_ratio: float = 0.5
    prefilter: float = 0.5
    max_distance: float | None = None
    max_skip: int = 1
    min_length: int | None = None
    smooth_span: int | None = None
    grid: float | None = None
    space_unit: str = "mm"

    def check(self) -> None:
        _positive("wavelength", self.wavelength, allow_none=False)
        for name in ("pixel_size", "axial_pixel_size", "frame_rate", "max_distance", "grid"):
            _positive(name, getattr(self, name))
        if self.svd_cutoff is not None and (isinstance(self.svd_cutoff, bool) or not isinstance(self.svd_cutoff, int)
                                            or self.svd_cutoff < 0):
            raise ParameterError("svd_cutoff", f"must be an integer >= 0, got {self.svd_cutoff!r}")
        if self.bandpass is not None:
            if len(self.bandpass) != 2 or not all(isinstance(v, (int, float)) and math.isfinite(v)
                                                  for v in self.bandpass):
                raise ParameterError("bandpass", f"must be two frequencies (low, high), got {self.bandpass!r}")
            if not 0 < self.bandpass[0] < self.bandpass[1]:
                raise ParameterError("bandpass", f"needs 0 < low < high, got {self.bandpass[0]:g}, {self.bandpass[1]:g}")
        if not isinstance(self.threshold_db, (int, float)) or not math.isfinite(self.threshold_db):
            raise ParameterError("threshold_db", f"must be a number, got {self.threshold_db!r}")
        if len(self.spot_sigma) != 2:
            raise ParameterError("spot_sigma", f"must be two widths (axial, lateral), got {self.spot_sigma!r}")
        for v in self.spot_sigma:
            _positive("spot_sigma", v, allow_none=False)
        if self.method not in METHODS:
            raise ParameterError("method", f"must be one of {', '.join(METHODS)}, got {self.method!r}")
        if not isinstance(self.crowd_ratio, (int, float)) or not 0 <= self.crowd_ratio <= 1e6:
            raise ParameterError("crowd_ratio", f"must be >= 0, got {self.crowd_ratio!r}")
        if not isinstance(self.prefilter, (int, float)) or not 0 <= self.prefilter <= 10:
            raise ParameterError("prefilter", f"must be between 0 and 10, got {self.prefilter!r}")
        for name in ("max_skip",):
            v = getattr(self, name)
            if isinstance(v, bool) or not isinstance(v, int) or v < 0:
                raise ParameterError(name, f"must be an integer >= 0, got {v!r}")
        for name in ("min_length", "smooth_span"):
            v = getattr(self, name)
            if v is not None and (isinstance(v, bool) or not isinstance(v, int) or v < 1):
                raise ParameterError(name, f"must be an integer >= 1, got {v!r}")
        if not isinstance(self.space_unit, str) or not self.space_unit.strip():
            raise ParameterError("space_unit", "must be a unit name")

    def resolve(self, settings: dict | None = None) -> "UlmParams":
        """A copy with every default filled in: pixel sizes and frame rate from `settings`
        (what the files store) unless given, then the derived defaults. Raises
        ParameterError for what is still missing."""
        self.check()
        settings = settings or {}
        p = self
        for name in ("pixel_size", "axial_pixel_size", "frame_rate"):
            if getattr(p, name) is None and settings.get(name) is not None:
                p = replace(p, **{name: float(settings[name])})
        if p.pixel_size is None:
            raise ParameterError("pixel_size", "is not stored in the blocks; give the lateral pixel size")
        if p.axial_pixel_size is None:
            p = replace(p, axial_pixel_size=p.pixel_size)
        if p.frame_rate is None:
            raise ParameterError("frame_rate", "is not stored in the blocks; give the frame rate in Hz")
        lam, rate = p.wavelength, p.frame_rate
        if p.max_distance is None:
            p = replace(p, max_distance=min(lam, 0.5 * lam * 1000.0 / rate))
        if p.min_length is None:
            p = replace(p, min_length=max(5, int(math.ceil(0.010 * rate))))
        if p.smooth_span is None:
            span = max(5, int(math.ceil(0.005 * rate)))
            p = replace(p, smooth_span=span + 1 - span % 2)
        if p.grid is None:
            p = replace(p, grid=lam / 10)
        if p.bandpass is not None and not p.bandpass[1] < rate / 2:
            raise ParameterError("bandpass", f"high {p.bandpass[1]:g} Hz must be below half the frame rate "
                                 f"({rate / 2:g} Hz)")
        p.check()
        widths = (p.spot_sigma[0] * lam / p.axial_pixel_size, p.spot_sigma[1] * lam / p.pixel_size)
        if min(widths) < 0.05 or max(p.half_window) > 256:
            raise ParameterError("spot_sigma", f"gives spot widths of {widths[0]:.3g} x {widths[1]:.3g} pixels "
                                 "(axial x lateral); they must be between 0.05 and 128 pixels")
        return p

    @property
    def half_window(self) -> tuple[int, int]:
        """Half sizes (rows, columns) of the localization window, in pixels."""
        sz, sx = self.spot_sigma
        return (max(1, int(round(2 * sz * self.wavelength / self.axial_pixel_size))),
                max(1, int(round(2 * sx * self.wavelength / self.pixel_size))))

    def as_dict(self) -> dict:
        return {f.name: getattr(self, f.name) for f in fields(self)}
