"""Detection: preparing frames (invert, band-pass), the automatic threshold, and detecting
frames with the module.

The module's detectors and localizers assume a background-free image: a peak is a local
maximum above the threshold, and a localization window holding more than one regional
maximum is left unrefined. Raw microscope frames break both (a background that varies across
the field, pixel noise that makes every window hold many maxima), so frames are band-passed
first, as in other particle trackers:

    prepared = max(0, G_1 * frame - U_(2d+1) * frame)

where G_1 is a Gaussian of sigma 1 pixel (removes pixel noise), U_w the mean over a w-wide box
(the local background, w = 2 * diameter + 1) and d the particle diameter. A linear background
passes both filters unchanged, so it cancels. Dark particles on a light background are
inverted first (`invert`). Both pipelines, serial and Dask, prepare every frame here.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, NamedTuple

import numpy as np

from . import _core
from .autotune import intensity_gap, noise_threshold
from .params import DEFAULT_DIAMETER
from .threads import map_threads

if TYPE_CHECKING:
    from .params import TrackingParams

NOISE_SIGMA = 1.0        # pixels
NOISE_SAMPLE = 3         # frames the noise threshold is measured on
DEFAULT_SNR = 6.0        # the SNR rule's default, for frames without pixel noise
TRACK_FALSE_POSITIVES = 30.0   # noise peaks per frame of the lower threshold of track extension
THRESHOLD_SAMPLE = 8     # frames sampled for the automatic threshold
SAMPLE_VALUES = 2**16    # values taken from each sampled frame


def _relative(frame: np.ndarray) -> tuple[np.ndarray, float | int]:
    """(x, offset) with frame == x + offset exactly: x a float array (a copy, as frames may be
    read-only maps) of a type that holds the frame's values exactly, offset a number.

    Integers of up to 16 bits, booleans and float16 / float32 values are float32 as they are.
    Wider integers are taken relative to their minimum (exact integer arithmetic), then
    float32 when their range fits in 24 bits, else float64 (exact up to a range of 2^53).
    float64 values are taken relative to their smallest finite value, in float64.
    """
    a = np.asarray(frame)
    kind, size = a.dtype.kind, a.dtype.itemsize
    if kind == "b" or (kind in "iu" and size <= 2) or (kind == "f" and size <= 4):
        return np.array(a, dtype=np.float32), 0
    if kind in "iu":
        if a.size == 0:
            return np.zeros(a.shape, np.float32), 0
        least = int(a.min())
        if kind == "i":     # a - low in two's complement: exact, as 0 <= a - low < 2^64
            d = a.astype(np.int64, copy=False).view(np.uint64) - np.uint64(least % 2**64)
        else:
            d = a.astype(np.uint64, copy=False) - np.uint64(least)
        wide = int(d.max()) >= 2**24
        return d.astype(np.float64 if wide else np.float32), least
    x = np.array(a, dtype=np.float64)
    finite = x[np.isfinite(x)]
    low = float(finite.min()) if finite.size else 0.0
    x -= low
    return x, low


@dataclass(frozen=True)
class Preparation:
    """What is done to a raw frame before detection (picklable, sent to Dask workers)."""

    invert: bool = False
    reference: float | int = 0.0    # inverted frames are reference - frame
    preprocess: bool = True
    background_size: int = 15

    def bandpass(self, frame: np.ndarray) -> np.ndarray:
        """Inverted and band-passed, not clipped, float32; non-finite pixels are replaced by the
        frame's median of finite values first (so that they cannot spread through the filters).

        The frame is worked on relative to an offset, in a type that holds it exactly (see
        `_relative`): the band-pass cancels constants, so data far from 0 (a camera offset,
        integers of 32 or 64 bits) is prepared as exactly as data near it."""
        from scipy import ndimage
        x, offset = _relative(frame)
        if self.invert:                       # reference - frame = (reference - offset) - x
            np.negative(x, out=x)
            offset = self.reference - offset
        if not self.preprocess:
            if offset == 0:
                return x.astype(np.float32, copy=False)
            return (x.astype(np.float64) + float(offset)).astype(np.float32)
        bad = ~np.isfinite(x)
        if bad.any():
            good = x[~bad]
            x[bad] = np.median(good) if good.size else 0.0
        smooth = ndimage.gaussian_filter(x, NOISE_SIGMA, mode="nearest", truncate=3.0)
        background = ndimage.uniform_filter(x, self.background_size, mode="nearest")
        np.subtract(smooth, background, out=smooth)
        return smooth.astype(np.float32, copy=False)

    def __call__(self, frame: np.ndarray) -> np.ndarray:
        out = self.bandpass(frame)
        if self.preprocess:
            np.maximum(out, 0.0, out=out)
        return out


def preparation(params: TrackingParams, source) -> Preparation:
    """The Preparation for these parameters and this source. The reference of inverted data
    is the largest value of its type for integers of up to 16 bits (1 for booleans), else the
    largest finite value of the sampled frames (exact, an int, for wider integers)."""
    reference: float | int = 0.0
    if params.invert:
        dtype = np.dtype(source.dtype)
        if dtype.kind in "iu" and dtype.itemsize <= 2:
            reference = float(np.iinfo(dtype).max)
        elif dtype == np.bool_:
            reference = 1.0
        elif dtype.kind in "iu":
            reference = max(map_threads(lambda i: int(np.asarray(source[i]).max()), sample_indices(len(source))),
                            default=0)
        else:
            def largest(i: int) -> float:
                frame = np.asarray(source[i])
                finite = frame[np.isfinite(frame)]
                return float(finite.max()) if finite.size else -np.inf
            reference = max(map_threads(largest, sample_indices(len(source))), default=-np.inf)
            reference = reference if np.isfinite(reference) else 0.0
    diameter = DEFAULT_DIAMETER if params.diameter is None else params.diameter
    return Preparation(invert=bool(params.invert), reference=reference, preprocess=params.preprocess,
                       background_size=2 * diameter + 1)


def sample_indices(n_frames: int, sample: int = THRESHOLD_SAMPLE) -> np.ndarray:
    if n_frames == 0:
        return np.zeros(0, dtype=np.int64)
    return np.unique(np.linspace(0, n_frames - 1, min(sample, n_frames)).astype(np.int64))


def robust_threshold(values: np.ndarray, snr: float) -> tuple[float, float, float]:
    """(threshold, centre, spread): median + snr * robust standard deviation of the finite values.

    The spread is 1.4826 * MAD; where more than half of the values are equal (sparse, clipped
    or integer data) the MAD is 0 and the spread falls back to the standard deviation of the
    values between their 0.5th and 99.5th percentiles (of all values when those are equal);
    it is 0 only when all values are equal.
    """
    values = np.asarray(values, dtype=np.float64).ravel()
    values = values[np.isfinite(values)]
    if values.size == 0:
        return float("nan"), float("nan"), float("nan")
    centre = float(np.median(values))
    deviation = np.abs(values - centre)
    spread = 1.4826 * float(np.median(deviation))
    if spread == 0.0:
        # the standard deviation of the values between the 0.5th and 99.5th percentiles: the
        # noise without the spots, for counts where most pixels are equal
        low, high = np.percentile(values, [0.5, 99.5])
        core = values[(values >= low) & (values <= high)]
        spread = float(core.std()) or float(values.std())
    return centre + snr * spread, centre, spread


@dataclass
class ThresholdReport:
    """How the threshold was chosen and what the sampled frames look like. `rule`: "given",
    "noise" (`false_positives` noise peaks per frame; `noise` is then the pixel noise of the
    raw frames and `gain` the preparation's noise gain), "gap" (raised from the noise
    threshold into a clear gap of the candidates' intensities) or "snr" (median +
    `threshold_snr` robust standard deviations; `centre` and `spread` are those)."""

    threshold: float
    automatic: bool
    rule: str = "given"
    centre: float = float("nan")
    spread: float = float("nan")
    noise: float = float("nan")
    gain: float = float("nan")
    noise_threshold: float = float("nan")
    false_positives: float = float("nan")
    low_threshold: float = float("nan")     # the hysteresis threshold (NaN: none)
    raw_range: tuple[float, float] = (float("nan"), float("nan"))
    prepared_max: float = float("nan")
    looks_dark_on_light: bool = False

    def summary(self) -> dict:
        return {"threshold": self.threshold, "automatic": self.automatic, "rule": self.rule,
                "background": self.centre, "spread": self.spread, "pixel_noise": self.noise,
                "noise_gain": self.gain, "noise_threshold": self.noise_threshold,
                "false_positives_per_frame": self.false_positives, "track_threshold": self.low_threshold,
                "data_range": list(self.raw_range),
                "prepared_max": self.prepared_max}


class _Look(NamedTuple):
    raw_range: tuple[float, float] | None     # of the finite raw values
    values: np.ndarray                        # up to about SAMPLE_VALUES band-passed values, evenly spread
    tails: tuple[float, float] | None         # median - 0.05th and 99.95th percentile - median
    prepared_max: float


def _look(raw: np.ndarray, prep: Preparation) -> _Look:
    """What the threshold and the warnings need of one sampled frame."""
    finite = raw[np.isfinite(raw)] if raw.dtype.kind == "f" else raw.ravel()
    raw_range = (float(finite.min()), float(finite.max())) if finite.size else None
    b = prep.bandpass(raw)
    step = max(1, b.size // SAMPLE_VALUES)
    values = b.ravel()[::step].copy()
    finite_b = b[np.isfinite(b)]
    if not finite_b.size:
        return _Look(raw_range, values, None, -np.inf)
    # spots stand out of the background on one side: a long tail below it means dark spots
    q = np.percentile(finite_b, [0.05, 50, 99.95])
    top = float(finite_b.max()) if not prep.preprocess else float(max(finite_b.max(), 0.0))
    return _Look(raw_range, values, (q[1] - q[0], q[2] - q[1]), top)


def choose_threshold(source, params: TrackingParams, prep: Preparation) -> ThresholdReport:
    """The threshold for the prepared frames (params.threshold, or automatic from a sample of
    up to 8 frames), with what the warnings need."""
    raw_lo, raw_hi, prepared_max = np.inf, -np.inf, -np.inf
    banded, low_tail, high_tail = [], [], []
    for look in map_threads(lambda i: _look(np.asarray(source[i]), prep), sample_indices(len(source))):
        if look.raw_range is not None:
            raw_lo, raw_hi = min(raw_lo, look.raw_range[0]), max(raw_hi, look.raw_range[1])
        banded.append(look.values)
        if look.tails is not None:
            low_tail.append(look.tails[0])
            high_tail.append(look.tails[1])
            prepared_max = max(prepared_max, look.prepared_max)
    dark = bool(low_tail) and not params.invert and float(np.median(low_tail)) > 1.5 * float(np.median(high_tail))
    report = ThresholdReport(threshold=float("nan"), automatic=params.threshold is None,
                             raw_range=(float(raw_lo), float(raw_hi)), prepared_max=float(prepared_max),
                             looks_dark_on_light=dark)
    if params.threshold is not None:
        report.threshold = float(params.threshold)
        return report
    if params.threshold_snr is None and params.preprocess:
        noise = _noise_rule(source, params, prep, report)
        if noise is not None:
            return noise
    values = np.concatenate(banded) if banded else np.zeros(0)
    threshold, report.centre, report.spread = robust_threshold(values, params.threshold_snr or DEFAULT_SNR)
    if not np.isfinite(threshold):
        threshold = 0.0
    report.threshold = float(threshold)
    report.rule = "snr"
    return report


def _peak_values(params: TrackingParams):
    """The intensities of a prepared frame's peaks under the detection's own rules."""
    def peaks(frame: np.ndarray) -> np.ndarray:
        spacing = (params.z_step,) * (frame.ndim == 3) + (params.pixel_size,) * 2
        extent = tuple(v for n, s in zip(frame.shape, spacing) for v in (0.0, (n - 1) * s))
        return _core.detect(np.ascontiguousarray(frame, dtype=np.float32), extent, -np.inf, params.min_distance,
                            None, None, None, None, None)[1]
    return peaks


FAINT = 1.6              # spots whose median candidate is below this many thresholds are faint


def _faint(candidates: np.ndarray, threshold: float) -> bool:
    """Whether the candidates above the threshold are mostly close to it: spots so faint that
    many of their detections fall below it."""
    above = candidates[candidates > threshold]
    return bool(above.size) and float(np.median(above)) < FAINT * threshold


def _noise_rule(source, params: TrackingParams, prep: Preparation, report: ThresholdReport) -> ThresholdReport | None:
    """The threshold for `false_positives` noise peaks per frame (autotune.noise_threshold),
    raised into a clear gap of the sampled frames' candidate intensities; None for frames
    without noise (the SNR rule then applies)."""
    sample = [np.asarray(source[i]) for i in sample_indices(len(source), NOISE_SAMPLE)]
    peaks = _peak_values(params)
    chosen = noise_threshold(sample, source.frame_shape, prep, peaks, params.false_positives)
    if chosen is None:
        return None
    report.rule, report.noise, report.gain = "noise", chosen.noise, chosen.gain
    report.noise_threshold = report.threshold = chosen.threshold
    report.false_positives = params.false_positives
    candidates = np.concatenate(map_threads(lambda frame: peaks(prep(frame)), sample))
    gap = intensity_gap(candidates[candidates > chosen.threshold], chosen.threshold)
    if gap is not None:
        report.rule, report.threshold = "gap", gap
    elif params.extend_tracks and _faint(candidates, chosen.threshold):
        # no gap and faint spots: real ones reach below the threshold; fainter detections down
        # to TRACK_FALSE_POSITIVES noise peaks per frame are kept where they extend a track
        low = noise_threshold(sample, source.frame_shape, prep, peaks, TRACK_FALSE_POSITIVES)
        if low is not None and low.threshold < report.threshold:
            report.low_threshold = low.threshold
    return report


class FrameDetections(NamedTuple):
    """One frame's detections: `table`, float32 (n, 3) x, y, intensity or (n, 4) x, y, z,
    intensity (the linkers' frame table), and `refined`, bool (n,): True where the localizer's
    result is the position (False where it stayed on the pixel or fell back to a centroid,
    and for every detection without localization)."""

    table: np.ndarray
    refined: np.ndarray


def detect_frame(frame: np.ndarray, params: TrackingParams, prep: Preparation | None = None) -> FrameDetections:
    """Detect one raw image or volume. `params` must be resolved (threshold included); `prep`
    prepares the frame first (None: the frame is used as it is). Peaks near the border are
    refined in windows shifted into the frame rather than dropped. The native work runs
    without the interpreter lock."""
    frame = prep(frame) if prep is not None else np.asarray(frame, dtype=np.float32)
    px = params.pixel_size
    if frame.ndim == 2:
        rows, cols = frame.shape
        extent = (0.0, (rows - 1) * px, 0.0, (cols - 1) * px)
        sigmas = None
    else:
        planes, rows, cols = frame.shape
        extent = (0.0, (planes - 1) * params.z_step, 0.0, (rows - 1) * px, 0.0, (cols - 1) * px)
        sigmas = None if params.correlation_sigmas is None else tuple(float(s) for s in params.correlation_sigmas)
    positions, intensities, refined, _ = _core.detect(
        frame, extent, params.threshold, params.min_distance, params.localization_method, params.window_size,
        params.max_num_peaks, sigmas, params.correlation_threshold if frame.ndim == 3 else None, True)
    ndim = frame.ndim
    table = np.empty((len(intensities), ndim + 1), dtype=np.float32)
    table[:, :ndim] = positions[:, ::-1]          # array axes (z,) y, x -> x, y(, z)
    table[:, ndim] = intensities
    return FrameDetections(table, refined)


def detect_range(source, start: int, stop: int, params: TrackingParams,
                 prep: Preparation | None = None) -> list[FrameDetections]:
    """Detections of frames start .. stop - 1 of a source, read one at a time."""
    return [detect_frame(source[f], params, prep) for f in range(start, stop)]
