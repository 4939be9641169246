"""The choices made from the recording: polarity, diameter, noise threshold, intensity gap,
link distance, each against simulations with known truth."""
import math

import numpy as np
import pytest

from trakora_workflow import _core, simulate_recording
from trakora_workflow.autotune import (estimate_diameter, estimate_link_distance, estimate_polarity,
                                       intensity_gap, noise_threshold, pixel_noise)
from trakora_workflow.detect import Preparation

FIELD = dict(frames=2, shape=(256, 256), n_channels=0)


@pytest.mark.parametrize("case, kwargs, kind, diameters", [
    ("fluorescent spots", dict(n_brownian=60), "bright", {7}),
    ("small dense spots", dict(n_brownian=400, spot_sigma=1.0, amplitude=(60, 100)), "bright", {5, 7}),
    ("large sparse spots", dict(n_brownian=5, spot_sigma=3.0), "bright", {13}),
    ("dim spots (SNR 3)", dict(n_brownian=100, amplitude=(24, 24)), "bright", {7}),
    ("dark spheres, uneven light", dict(n_brownian=120, dark=True, illumination=0.5, background=170.0,
                                        amplitude=(90.0, 120.0), spot_sigma=2.6, noise=6.0, shape=(300, 400)),
     "dark", {11}),
    ("bright centres in dark rings", dict(n_brownian=5, spot_sigma=1.5, ring_radius=5.0, background=150.0,
                                          amplitude=(60.0, 80.0), noise=4.0), "ring", {15}),
])
def test_polarity_and_diameter_from_the_frames(case, kwargs, kind, diameters):
    rec = simulate_recording(seed=1, **{**FIELD, **kwargs})
    polarity = estimate_polarity(list(rec.stack))
    assert polarity.kind == kind, (case, polarity)
    assert polarity.invert == (kind == "dark")
    size = estimate_diameter(list(rec.stack), polarity)
    assert size.diameter in diameters and size.blobs > 0, (case, size)


def test_a_flat_recording_keeps_the_default_diameter():
    flat = [np.full((64, 64), 7.0, np.float32)] * 2
    assert estimate_diameter(flat, estimate_polarity(flat), default=9).diameter == 9


@pytest.mark.parametrize("noise", [3.0, 40.0])
def test_pixel_noise_ignores_the_spots(noise):
    rec = simulate_recording(seed=3, frames=1, shape=(200, 200), n_channels=0, n_brownian=300, noise=noise)
    assert pixel_noise(rec.stack[0]) == pytest.approx(noise, rel=0.1)


@pytest.mark.parametrize("shape, diameter", [((256, 256), 7), ((300, 500), 11)])
def test_the_noise_threshold_gives_the_asked_false_positives(shape, diameter):
    """On frames of pure noise (not those it was set on), the peaks above the threshold
    number about the asked rate per frame."""
    rng = np.random.default_rng(0)
    prep = Preparation(preprocess=True, background_size=2 * diameter + 1)
    distance = (diameter - 1) / 2

    def peaks(image):
        return _core.detect(image, (0.0, image.shape[0] - 1.0, 0.0, image.shape[1] - 1.0), 0.0, distance, None, None,
                            None, None, None)[1]
    sample = [rng.normal(100, 10, shape).astype(np.float32) for _ in range(2)]
    chosen = noise_threshold(sample, shape, prep, peaks, 2.0)
    assert chosen.noise == pytest.approx(10, rel=0.05)
    counts = [np.count_nonzero(peaks(prep(rng.normal(100, 10, shape).astype(np.float32))) > chosen.threshold)
              for _ in range(20)]
    assert 0.7 <= np.mean(counts) <= 4.0


@pytest.mark.parametrize("values, noise_level, expected", [
    ([50, 48, 45, 8, 7, 6, 5.5], 5.0, math.sqrt(45 * 8)),     # side lobes under a clear gap
    ([50, 48, 45, 30, 28, 8, 7], 5.0, math.sqrt(28 * 8)),     # two real populations kept
    ([200, 190, 60, 55, 52, 50], 5.0, None),                  # bright aggregates over real particles
    ([20, 18, 15, 12, 10, 8, 6], 5.0, None),                  # no gap
    ([100, 7, 6], 5.0, None),                                  # one candidate above: no population
])
def test_intensity_gap(values, noise_level, expected):
    got = intensity_gap(np.array(values, float), noise_level)
    assert got == (pytest.approx(expected) if expected is not None else None)


def _brownian_tables(n, frames, sigma, field, seed=0):
    rng = np.random.default_rng(seed)
    pos = rng.uniform(0, field, (n, 2))
    tables = []
    for _ in range(frames):
        pos = pos + rng.normal(0, sigma, pos.shape)
        tables.append(np.column_stack([pos, np.ones(n)]).astype(np.float32))
    return tables


@pytest.mark.parametrize("n, sigma, ambiguous", [(100, 1.0, False), (3000, 4.0, True)])
def test_link_distance_from_the_displacements(n, sigma, ambiguous):
    reach = estimate_link_distance(_brownian_tables(n, 30, sigma, 500.0), 2, 1.0)
    assert reach.ambiguous == ambiguous
    if not ambiguous:
        # 99.9 % of 2D Gaussian steps of sigma 1 are within 3.7
        assert 3.2 <= reach.max_distance <= 4.6
        assert reach.max_skip == 1


def test_link_distance_allows_a_gap_where_detections_blink():
    tables = _brownian_tables(100, 30, 1.0, 500.0, seed=2)
    rng = np.random.default_rng(1)
    blinking = [t[rng.random(len(t)) > 0.15] for t in tables]
    assert estimate_link_distance(blinking, 2, 1.0).max_skip == 2
    assert estimate_link_distance([np.zeros((0, 3), np.float32)] * 5, 2, 1.0) is None


@pytest.mark.parametrize("case, kwargs, kind", [
    ("bright centres in dark rings", dict(spot_sigma=1.5, ring_radius=5.0, background=150.0,
                                          amplitude=(60.0, 80.0), noise=4.0), "ring"),
    ("dark spheres", dict(spot_sigma=2.6, dark=True, illumination=0.5, background=170.0, amplitude=(90.0, 120.0),
                          noise=6.0), "dark"),
    ("large bright spots", dict(spot_sigma=3.0), "bright"),
])
def test_a_sparse_recording_tracked_with_no_options(case, kwargs, kind):
    """Five particles, no option: five tracks over the whole recording, positions within
    0.25 px, and every choice in the summary."""
    from trakora_workflow import score, track
    rec = simulate_recording(seed=1, frames=15, shape=(256, 256), n_channels=0, n_brownian=5, **kwargs)
    result = track(rec.stack)
    s = score(result, rec.truth)
    lengths = np.diff(np.concatenate([[0], result.track_end_indices]))
    assert (lengths >= 10).sum() == 5 and len(lengths) <= 7, (case, lengths)
    assert s["rmse_px"] <= 0.25 and s["jaccard"] >= 0.95, (case, s)
    automatic = result.summary()["automatic"]
    assert automatic["polarity"]["kind"] == kind and automatic["size"]["diameter"] == result.params.diameter
    assert automatic["link"]["max_distance"] == result.params.max_distance
    assert sum(line.startswith("automatic") for line in result.notes) == 3


def test_given_parameters_are_not_measured():
    from trakora_workflow import TrackingParams, track
    rec = simulate_recording(seed=1, frames=8, shape=(96, 96), n_channels=0, n_brownian=10)
    result = track(rec.stack, TrackingParams(invert=False, diameter=9, max_distance=4.0, max_skip=1,
                                             threshold=20.0))
    assert result.summary()["automatic"] == {"polarity": None, "size": None, "link": None}
    assert (result.params.diameter, result.params.max_distance, result.params.threshold) == (9, 4.0, 20.0)
    assert not any(line.startswith("automatic") for line in result.notes)


@pytest.mark.parametrize("shape", [(20, 130), (97, 64), (300, 41)])
def test_the_laplacian_at_centres_is_scipys_bit_for_bit(shape):
    from scipy import ndimage
    from trakora_workflow.autotune import SCALES, gaussian_laplace_at
    rng = np.random.default_rng(shape[0])
    image = rng.normal(size=shape) * 10 + np.linspace(0, 50, shape[1])
    # centres everywhere, the corners and edges included (the kernels reach past them)
    centres = np.vstack([np.column_stack([rng.integers(0, shape[0], 40), rng.integers(0, shape[1], 40)]),
                         [[0, 0], [shape[0] - 1, shape[1] - 1], [0, shape[1] // 2]]])
    for sigma in SCALES:
        expected = ndimage.gaussian_laplace(image, sigma, mode="nearest")[tuple(centres.T)]
        assert np.array_equal(gaussian_laplace_at(image, centres, sigma), expected)
