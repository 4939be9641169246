"""Choices the workflow makes from the recording itself: polarity, apparent particle size,
threshold and link distance.

Each estimator looks at a few sampled frames (or at the detections of a few frame pairs) and
returns its choice with the evidence behind it, so that the command can print one line per
choice and store it in the summary; every choice has a parameter that overrides it.

- **Polarity** (`estimate_polarity`): the frame minus its local background (a box mean over
  `BACKGROUND_BOX` pixels) has a long bright tail for bright spots, a long dark tail for dark
  ones. Bright centres inside dark rings (defocused bright-field colloids) show both tails,
  and the mean radial profile round the brightest maxima dips below the background: those are
  tracked by their bright centres, with a diameter that spans the ring.
- **Diameter** (`estimate_diameter`): the scale of the strongest blobs in scale space (the
  sigma that maximises the scale-normalised Laplacian of Gaussian at each blob, median over
  blobs) gives 2 round(2 sigma) + 1; for rings, the radius where the radial profile comes back
  to the background after its dark minimum gives 2 r + 1.
- **Noise** (`pixel_noise`): from differences of neighbouring pixels, which spots (smooth and
  sparse) hardly touch, so that the threshold does not rise with the density of spots.
- **Link distance** (`estimate_link_distance`): from the distances of detections to their
  nearest detection in the next frame against the spacing of detections within a frame.
"""
from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from .threads import map_threads

BACKGROUND_BOX = 41          # pixels: the local background for the polarity and size estimates
SAMPLE_FRAMES = 2            # frames the image estimators look at
CROP = 512                   # the central crop of a large frame that they look at
SCALES = np.geomspace(0.6, 12.0, 14)   # LoG sigmas (pixels), refined between steps
SMOOTHING = 1.0              # pixels: the Gaussian that finds blob centres
# The noise sigma after that Gaussian, per unit of pixel noise: the root of the sum of the
# squared kernel weights (1 / (2 sqrt(pi) sigma) in the continuum).
SMOOTHED_NOISE = 1.0 / (2.0 * math.sqrt(math.pi) * SMOOTHING)
MIN_DIAMETER, MAX_DIAMETER = 3, 101


@dataclass(frozen=True)
class Polarity:
    """`kind`: "bright", "dark" or "ring" (bright centres inside dark rings); `bright_tail`
    and `dark_tail`: the share of pixels beyond 5 noise sigmas above and below the local
    background; `ring_dip`: the radial profile's lowest value round the brightest maxima, in
    noise sigmas (negative when there is a dark ring)."""

    kind: str
    bright_tail: float
    dark_tail: float
    ring_dip: float

    @property
    def invert(self) -> bool:
        return self.kind == "dark"

    def summary(self) -> dict:
        return {"kind": self.kind, "bright_tail": self.bright_tail, "dark_tail": self.dark_tail,
                "ring_dip": self.ring_dip}


@dataclass(frozen=True)
class Size:
    """`diameter`: the odd apparent diameter in pixels; `sigma`: the blobs' scale (pixels);
    `blobs`: how many blobs it was measured on (0: nothing to measure, the default kept);
    `window`: for rings, the localization window that holds the bright centre inside the dark
    ring (the ring's lobes and the background beyond it would crowd a window of the whole
    diameter), else None (the diameter)."""

    diameter: int
    sigma: float
    blobs: int
    window: int | None = None

    def summary(self) -> dict:
        return {"diameter": self.diameter, "sigma_px": self.sigma, "blobs": self.blobs, "window": self.window}


@dataclass(frozen=True)
class LinkReach:
    """`max_distance` (physical units), `max_skip` (frames); `step`: the median displacement
    to the nearest detection of the next frame; `spacing`: the median distance between
    detections of a frame; `ambiguous`: the displacements are too large for the density."""

    max_distance: float
    max_skip: int
    step: float
    spacing: float
    reappearing: float
    ambiguous: bool

    def summary(self) -> dict:
        return {"max_distance": self.max_distance, "max_skip": self.max_skip, "median_step": self.step,
                "median_spacing": self.spacing, "reappearing_share": self.reappearing,
                "ambiguous": self.ambiguous}


def _crop(frame: np.ndarray) -> np.ndarray:
    """The central CROP x CROP part (of each plane) of a frame, as float64 with non-finite
    pixels replaced by the median."""
    slices = tuple(slice(max(0, (n - CROP) // 2), max(0, (n - CROP) // 2) + CROP) for n in frame.shape)
    out = np.array(frame[slices], dtype=np.float64)
    bad = ~np.isfinite(out)
    if bad.any():
        good = out[~bad]
        out[bad] = np.median(good) if good.size else 0.0
    return out


def _difference_sigma(diff: np.ndarray) -> float:
    diff = diff[np.isfinite(diff)]
    if diff.size == 0:
        return 0.0
    mad = np.median(np.abs(diff - np.median(diff)))
    if mad == 0:
        return float(np.std(diff) / math.sqrt(2.0))
    return float(mad / 0.6744897501960817 / math.sqrt(2.0))


def pixel_noise(frame: np.ndarray) -> float:
    """Standard deviation of the pixel noise, from differences of neighbouring pixels along
    the last axis (for white noise of sigma s they have sigma s * sqrt(2)), taken where the
    frame is background: pixels whose smoothed local contrast is within three noise sigmas,
    so that steep, crowded spots do not count; 0 for a flat frame."""
    from scipy import ndimage
    frame = np.asarray(frame, dtype=np.float64)
    if frame.shape[-1] < 2 or frame.size < 4:
        return 0.0
    diff = np.diff(frame, axis=-1)
    sigma = _difference_sigma(diff.ravel())
    if sigma == 0 or min(frame.shape) < 5:
        return sigma
    contrast = np.abs(ndimage.gaussian_filter(_residual(frame), SMOOTHING))
    for _ in range(2):
        quiet = contrast < 3 * SMOOTHED_NOISE * sigma
        pairs = quiet[..., 1:] & quiet[..., :-1]
        if np.count_nonzero(pairs) < 100:
            break
        sigma = _difference_sigma(diff[pairs])
    return sigma


def _residual(frame: np.ndarray) -> np.ndarray:
    from scipy import ndimage
    box = min(BACKGROUND_BOX, *[2 * (n // 2) + 1 for n in frame.shape])
    return frame - ndimage.uniform_filter(frame, box, mode="nearest")


def _maxima(image: np.ndarray, level: float, count: int, separation: int = 5) -> np.ndarray:
    """Indices (k, ndim) of up to `count` local maxima above `level`, brightest first, at
    least `separation` pixels from the border."""
    from scipy import ndimage
    peaks = (image == ndimage.maximum_filter(image, size=separation, mode="nearest")) & (image > level)
    border = np.zeros_like(peaks)
    inner = tuple(slice(separation, n - separation) for n in image.shape)
    border[inner] = True
    index = np.argwhere(peaks & border)
    if len(index) == 0:
        return index
    values = image[tuple(index.T)]
    return index[np.argsort(-values, kind="stable")[:count]]


def _radial_profile(image: np.ndarray, centres: np.ndarray, radius: int) -> np.ndarray:
    """Mean of `image` at integer distances 0..radius from the centres (2-D images)."""
    total = np.zeros(radius + 1)
    count = np.zeros(radius + 1)
    offsets = np.arange(-radius, radius + 1)
    dy, dx = np.meshgrid(offsets, offsets, indexing="ij")
    ring = np.rint(np.hypot(dy, dx)).astype(np.int64).ravel()
    inside = ring <= radius
    for r, c in centres:
        rows, cols = r + dy.ravel(), c + dx.ravel()
        ok = inside & (rows >= 0) & (rows < image.shape[0]) & (cols >= 0) & (cols < image.shape[1])
        total += np.bincount(ring[ok], image[rows[ok], cols[ok]], minlength=radius + 1)[:radius + 1]
        count += np.bincount(ring[ok], minlength=radius + 1)[:radius + 1]
    with np.errstate(invalid="ignore", divide="ignore"):
        return total / count


def _planes(frame: np.ndarray) -> list[np.ndarray]:
    """The 2-D images an estimator looks at: the frame, or the middle plane of a volume."""
    return [frame] if frame.ndim == 2 else [frame[frame.shape[0] // 2]]


def estimate_polarity(frames: list[np.ndarray]) -> Polarity:
    """Bright spots, dark spots or bright centres in dark rings, from sampled raw frames."""
    from scipy import ndimage

    def look(image: np.ndarray) -> tuple[float, float, float | None] | None:
        """(bright share, dark share, ring dip or None) of one image; None without noise."""
        noise = pixel_noise(image)
        if noise == 0:
            return None
        residual = _residual(image)
        dip = None
        centres = _maxima(ndimage.gaussian_filter(residual, SMOOTHING), 6 * SMOOTHED_NOISE * noise, 30, separation=7)
        if len(centres):
            profile = _radial_profile(residual, centres, min(25, min(image.shape) // 4))
            dip = float(np.nanmin(profile[2:]) / noise) if len(profile) > 2 else 0.0
            dip = dip if profile[0] > 5 * noise else 0.0
        return float(np.mean(residual > 5 * noise)), float(np.mean(residual < -5 * noise)), dip

    bright = dark = 0.0
    dips = []
    for seen in map_threads(look, [image for frame in frames for image in _planes(_crop(frame))]):
        if seen is None:
            continue
        bright += seen[0] / len(frames)
        dark += seen[1] / len(frames)
        if seen[2] is not None:
            dips.append(seen[2])
    dip = float(np.median(dips)) if dips else 0.0
    if bright > 0 and dark > 0.2 * bright and dip < -3.0:
        kind = "ring"
    elif dark > 1.5 * bright:
        kind = "dark"
    else:
        kind = "bright"
    return Polarity(kind=kind, bright_tail=bright, dark_tail=dark, ring_dip=dip)


def _oriented(residual: np.ndarray, polarity: Polarity) -> np.ndarray:
    return -residual if polarity.kind == "dark" else residual


LOG_TRUNCATE = 4.0           # the Gaussian kernels' radius in sigmas (SciPy's default)


def _half_kernel(sigma: float, order: int) -> np.ndarray:
    """SciPy's Gaussian (derivative) kernel of `order` for `sigma`, taps 0..radius (it is
    symmetric for orders 0 and 2), read off its response to an impulse."""
    from scipy import ndimage
    radius = int(LOG_TRUNCATE * float(sigma) + 0.5)
    impulse = np.zeros(2 * radius + 1)
    impulse[radius] = 1.0
    taps = ndimage.gaussian_filter1d(impulse, sigma, order=order, mode="constant", truncate=LOG_TRUNCATE)
    return taps[::-1][radius:]


def _symmetric_pass(at, taps: np.ndarray) -> np.ndarray:
    """A symmetric correlation evaluated at chosen points, summed in SciPy's order (the
    centre tap, then pairs from the farthest in): `at(j)` holds the input j steps away."""
    out = at(0) * taps[0]
    for j in range(len(taps) - 1, 0, -1):
        out = out + (at(-j) + at(j)) * taps[j]
    return out


def gaussian_laplace_at(image: np.ndarray, centres: np.ndarray, sigma: float) -> np.ndarray:
    """`scipy.ndimage.gaussian_laplace(image, sigma, mode="nearest")` of a float64 image at
    the pixels `centres` (k, 2) only, bit for bit: the same separable passes in the same
    order of summation, at the rows and columns that the centres reach."""
    smooth, curved = _half_kernel(sigma, 0), _half_kernel(sigma, 2)
    radius = len(smooth) - 1
    rows, cols = image.shape
    r, c = centres[:, 0], centres[:, 1]
    columns = np.clip(c[:, None] + np.arange(-radius, radius + 1), 0, cols - 1)

    def term(along_rows: np.ndarray, along_columns: np.ndarray) -> np.ndarray:
        first = _symmetric_pass(lambda j: image[np.clip(r + j, 0, rows - 1)[:, None], columns], along_rows)
        return _symmetric_pass(lambda j: first[:, radius + j], along_columns)
    return term(curved, smooth) + term(smooth, curved)


def _log_scale(image: np.ndarray, centres: np.ndarray) -> np.ndarray:
    """Per centre, the sigma of the largest scale-normalised LoG response (bright blobs),
    refined by a parabola through the three responses round the best step (in log sigma)."""
    responses = np.empty((len(SCALES), len(centres)))
    for k, s in enumerate(SCALES):
        responses[k] = -(s * s) * gaussian_laplace_at(image, centres, s)
    best = np.clip(np.argmax(responses, axis=0), 1, len(SCALES) - 2)
    columns = np.arange(len(centres))
    left, mid, right = (responses[best + k, columns] for k in (-1, 0, 1))
    curvature = left - 2 * mid + right
    with np.errstate(invalid="ignore", divide="ignore"):
        shift = np.where(curvature < 0, 0.5 * (left - right) / curvature, 0.0)
    step = math.log(SCALES[1] / SCALES[0])
    return np.exp(np.log(SCALES[best]) + np.clip(shift, -1, 1) * step)


def _odd(value: float) -> int:
    d = int(round(value))
    d += (d + 1) % 2
    return int(min(MAX_DIAMETER, max(MIN_DIAMETER, d)))


def estimate_diameter(frames: list[np.ndarray], polarity: Polarity, default: int = 7) -> Size:
    """The apparent diameter (odd, pixels) of the particles in sampled raw frames."""
    from scipy import ndimage

    def look(image: np.ndarray) -> tuple[str, object] | None:
        """("ring", (outer radius, lowest radius)) or ("blobs", sigmas) of one image; None
        without noise or blobs."""
        noise = pixel_noise(image)
        if noise == 0 or min(image.shape) < 9:
            return None
        residual = _oriented(_residual(image), polarity)
        centres = _maxima(ndimage.gaussian_filter(residual, SMOOTHING), 6 * SMOOTHED_NOISE * noise, 40,
                          separation=5)
        if len(centres) == 0:
            return None
        if polarity.kind == "ring":
            profile = _radial_profile(residual, centres, min(40, min(image.shape) // 3))
            # the outer half-depth radius of the dark ring
            low = int(np.nanargmin(profile[1:])) + 1
            after = np.flatnonzero(profile[low:] > 0.5 * profile[low])
            return "ring", (low + (int(after[0]) if len(after) else len(profile) - 1 - low), low)
        return "blobs", _log_scale(residual, centres).tolist()

    sigmas, ring_radii, ring_lows = [], [], []
    for seen in map_threads(look, [image for frame in frames for image in _planes(_crop(frame))]):
        if seen is None:
            continue
        if seen[0] == "ring":
            ring_radii.append(seen[1][0])
            ring_lows.append(seen[1][1])
        else:
            sigmas.extend(seen[1])
    if polarity.kind == "ring" and ring_radii:
        radius = float(np.median(ring_radii))
        return Size(diameter=_odd(2 * radius + 1), sigma=radius / 2.0, blobs=len(ring_radii),
                    window=_odd(2 * float(np.median(ring_lows)) + 1))
    if not sigmas:
        return Size(diameter=default, sigma=math.nan, blobs=0)
    sigma = float(np.median(sigmas))
    # a quarter pixel on the radius for the low bias of the scale in noise
    return Size(diameter=_odd(2 * round(2 * sigma + 0.25) + 1), sigma=sigma, blobs=len(sigmas))


@dataclass(frozen=True)
class NoiseThreshold:
    """`threshold`: the prepared-frame value that pure noise of the recording's pixel noise
    exceeds at `false_positives` local maxima per frame on average; `noise`: the pixel noise
    of the raw frames; `gain`: the preparation's noise gain (prepared noise sigma per unit of
    pixel noise)."""

    threshold: float
    noise: float
    gain: float
    false_positives: float

    def summary(self) -> dict:
        return {"threshold": self.threshold, "pixel_noise": self.noise, "noise_gain": self.gain,
                "false_positives_per_frame": self.false_positives}


NOISE_PATCH = 256            # pixels: the side of the noise images the threshold is set on
NOISE_PATCHES = 16
NOISE_BUDGET = 2**23         # pixels of noise prepared at most (volumes take fewer patches)


def noise_threshold(frames: list[np.ndarray], frame_shape: tuple[int, ...], prepare, detect_peaks,
                    false_positives: float, seed: int = 0) -> NoiseThreshold | None:
    """The threshold for `false_positives` noise peaks per frame, set on white Gaussian noise
    of the sampled frames' pixel noise, prepared by `prepare` and detected by `detect_peaks`
    (a function of a prepared image returning its peak values), so that it holds for the
    preparation and the detection rules actually used. Spots do not raise it: the noise is
    measured from neighbouring pixel differences. None when the frames have no noise."""
    noise = float(np.median(map_threads(lambda f: pixel_noise(_crop(f)), frames))) if frames else 0.0
    if not (noise > 0 and math.isfinite(noise)):
        return None
    rng = np.random.default_rng(seed)
    side = [min(n, NOISE_PATCH) for n in frame_shape[-2:]]
    shape = tuple(frame_shape[:-2]) + tuple(side)
    patches = int(max(2, min(NOISE_PATCHES, NOISE_BUDGET // math.prod(shape))))
    area = patches * math.prod(shape)

    def measured(patch: np.ndarray) -> tuple[float, np.ndarray]:
        prepared = prepare(patch)
        inner = tuple(slice(min(6, n // 4), n - min(6, n // 4)) for n in prepared.shape)
        return float(np.std(prepared[inner])) / noise, np.asarray(detect_peaks(prepared), dtype=np.float64)
    # the patches drawn in order from one generator, prepared and detected side by side
    looks = map_threads(measured, (rng.normal(0.0, noise, shape).astype(np.float32) for _ in range(patches)))
    gains = [gain for gain, _ in looks]
    peaks = np.sort(np.concatenate([values for _, values in looks]))[::-1]
    # the k-th largest of the patches' noise peaks, k scaled from the patches' area to a frame's
    k = false_positives * area / math.prod(frame_shape)
    if len(peaks) == 0:
        return NoiseThreshold(threshold=0.0, noise=noise, gain=float(np.median(gains)), false_positives=false_positives)
    position = min(len(peaks) - 1, max(0.0, k - 1))
    low = int(math.floor(position))
    high = min(len(peaks) - 1, low + 1)
    threshold = float(peaks[low] + (peaks[high] - peaks[low]) * (position - low))
    return NoiseThreshold(threshold=threshold, noise=noise, gain=float(np.median(gains)),
                          false_positives=false_positives)


GAP_RATIO = 2.5             # a clear gap between candidate intensities
NOISE_LIKE = 2.0            # candidates below this many noise thresholds may be side lobes


def intensity_gap(values: np.ndarray, noise_level: float) -> float | None:
    """A threshold in a clear gap of the candidates' intensities, or None.

    Above the noise threshold, the faint side lobes and rings round real particles (and the
    noise's own peaks) form a group of candidates just above it; real particles of one kind
    sit well above. Where the sorted intensities drop by GAP_RATIO or more to values below
    NOISE_LIKE noise thresholds, the threshold goes into that gap (the geometric mean of its
    ends), so that a dim population well above the noise is never cut off."""
    v = np.sort(np.asarray(values, dtype=np.float64)[np.asarray(values) > 0])[::-1]
    if len(v) < 3 or noise_level <= 0:
        return None
    ratio = v[:-1] / v[1:]
    ok = (ratio >= GAP_RATIO) & (v[1:] < NOISE_LIKE * noise_level)
    ok[:1] = False                       # at least two candidates above the gap
    if not ok.any():
        return None
    i = int(np.flatnonzero(ok)[np.argmax(ratio[ok])])
    return float(math.sqrt(v[i] * v[i + 1]))


def estimate_link_distance(tables: list[np.ndarray], ndim: int, pixel_size: float,
                           pairs: int = 20) -> LinkReach | None:
    """max_distance and max_skip from the detections of up to `pairs` consecutive frame pairs
    spread over the recording; None when there are too few detections to tell."""
    from scipy.spatial import cKDTree
    usable = [f for f in range(len(tables) - 2) if len(tables[f]) >= 2 and len(tables[f + 1]) >= 1]
    if not usable:
        return None
    picks = np.unique(np.linspace(0, len(usable) - 1, min(pairs, len(usable))).round().astype(int))
    steps, spacing, clear = [], [], []
    for f in (usable[i] for i in picks):
        here = tables[f][:, :ndim].astype(np.float64)
        there = cKDTree(tables[f + 1][:, :ndim].astype(np.float64))
        step = there.query(here)[0]
        gap = cKDTree(here).query(here, k=2)[0][:, 1]
        steps.append(step)
        spacing.append(gap)
        # steps well inside the spacing: not a missed partner's stand-in
        clear.append(step[step < 0.5 * gap])
    step = np.concatenate(steps)
    step = step[np.isfinite(step)]
    if step.size < 10:
        return None
    median_step = float(np.median(step))
    median_spacing = float(np.median(np.concatenate(spacing)))
    clear_steps = np.concatenate(clear)
    clear_steps = clear_steps[np.isfinite(clear_steps)]
    # A Rayleigh step of median m has its 99.9 % quantile at 3.2 m; directed steps bunch near
    # their speed, which 1.3 times the 95th percentile of the clear steps covers; at least a
    # pixel.
    # steps to a detection well inside the spacing are the particle's own (a missed partner's
    # stand-in is about a spacing away): the estimate rests on them where there are enough
    typical = float(np.median(clear_steps)) if clear_steps.size >= 10 else median_step
    directed = 1.3 * float(np.percentile(clear_steps, 95)) if clear_steps.size >= 10 else 0.0
    max_distance = max(3.2 * typical, directed, 1.0 * pixel_size)
    ambiguous = max_distance > 0.5 * median_spacing
    # Detections with nothing within reach in the next frame but something in the one after:
    # blinking or missed detections, which a gap of a frame bridges.
    reappearing = 0.0
    gone = []
    for f in (usable[i] for i in picks):
        if len(tables[f + 2]) == 0:
            continue
        here = tables[f][:, :ndim].astype(np.float64)
        near1 = cKDTree(tables[f + 1][:, :ndim].astype(np.float64)).query(here)[0] > max_distance
        near2 = cKDTree(tables[f + 2][:, :ndim].astype(np.float64)).query(here)[0] <= max_distance
        gone.append(np.mean(near1 & near2))
    if gone:
        reappearing = float(np.mean(gone))
    max_skip = 2 if reappearing > 0.03 else 1
    return LinkReach(max_distance=max_distance, max_skip=max_skip, step=median_step, spacing=median_spacing,
                     reappearing=reappearing, ambiguous=ambiguous)
