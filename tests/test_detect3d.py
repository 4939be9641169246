"""rs_detect_peaks3d and rs_radial_symmetry_3d: the peak rule, localization, correlation and the pipeline."""
import itertools

import numpy as np
import pytest

import trakora

METHODS = ["radial_symmetry", "gaussian_fitting"]
UNKNOWN = "Unknown localization method '{}'. Choose 'radial_symmetry' or 'gaussian_fitting'."
RS_FAILED = "3D radial symmetry localization failed"
OFFSETS = [d for d in itertools.product((-1, 0, 1), repeat=3) if d != (0, 0, 0)]


def unit_extent(vol):
    n0, n1, n2 = vol.shape
    return (0.0, n0 - 1.0, 0.0, n1 - 1.0, 0.0, n2 - 1.0)


def detect(vol, threshold=0.5, min_distance=0.0, window=None, method=None, sigmas=None, corr_threshold=None,
           cap=None, extent=None):
    return trakora.rs_detect_peaks3d(vol, extent or unit_extent(vol), threshold, min_distance, window, method,
                                     sigmas, corr_threshold, cap)


def gaussian(shape, centre, sigma=1.0, amplitude=1.0, background=0.0):
    grids = np.indices(shape, dtype=np.float64)
    r2 = sum((g - c) ** 2 for g, c in zip(grids, centre))
    return (amplitude * np.exp(-r2 / (2 * sigma**2)) + background).astype(np.float32)


def reference_peaks(vol, threshold):
    """Indices of the voxels the peak rule accepts, by whole-array comparisons."""
    if min(vol.shape) < 3:
        return set()
    n0, n1, n2 = vol.shape
    centre = vol[1:-1, 1:-1, 1:-1]
    ok = ~(centre < threshold)
    for d0, d1, d2 in OFFSETS:
        w = vol[1 + d0:n0 - 1 + d0, 1 + d1:n1 - 1 + d1, 1 + d2:n2 - 1 + d2]
        tie_rejects = d0 > 0 if d0 else (d1 > 0 or d2 < 0)
        ok &= (w < centre) if tie_rejects else ~(w > centre)
    return {tuple(int(v) + 1 for v in i) for i in np.argwhere(ok)}


def found_indices(positions):
    return [tuple(int(v) for v in p) for p in positions]


# ---- the peak rule --------------------------------------------------------------------


@pytest.mark.parametrize("second,survivor", [
    ((4, 5, 7), (4, 5, 6)),   # along axis 2 the smaller index survives
    ((4, 6, 6), (4, 6, 6)),   # along axis 1 the larger
    ((5, 5, 6), (5, 5, 6)),   # along axis 0 the larger
    ((4, 6, 7), None),        # diagonal in one plane: neither
    ((4, 4, 7), (4, 5, 6)),   # the other in-plane diagonal: the first one
    ((5, 4, 5), (5, 4, 5)),   # a later plane always wins
])
def test_tie_rule_for_two_equal_voxels(second, survivor):
    vol = np.zeros((10, 12, 14), np.float32)
    vol[4, 5, 6] = vol[second] = 2.0
    positions, intensities, correlations = detect(vol)
    assert found_indices(positions) == ([survivor] if survivor else [])
    assert correlations is None


@pytest.mark.parametrize("at", [(0, 5, 6), (9, 5, 6), (4, 0, 6), (4, 11, 6), (4, 5, 0), (4, 5, 13), (0, 0, 0),
                                (9, 11, 13)])
def test_voxels_on_a_face_are_never_reported(at):
    vol = np.zeros((10, 12, 14), np.float32)
    vol[4, 5, 6] = 1.0
    vol[at] = 5.0
    positions, intensities, _ = detect(vol)
    assert found_indices(positions) == [(4, 5, 6)]
    assert intensities.tolist() == [1.0]


@pytest.mark.parametrize("shape", [(2, 10, 10), (10, 2, 10), (10, 10, 2), (1, 1, 1), (0, 5, 5)])
def test_thin_volumes_have_no_peaks(shape):
    vol = np.ones(shape, np.float32)
    positions, intensities, correlations = detect(vol, threshold=-1.0, method="radial_symmetry", sigmas=(1, 1, 1))
    assert positions.shape == (0, 3) and intensities.shape == (0,) and correlations is None


@pytest.mark.parametrize("seed,levels,threshold", [(0, 3, 1.0), (1, 8, 0.0), (2, 1000, 500.0), (3, 4, np.nan)])
def test_peaks_match_the_rule_on_random_volumes(seed, levels, threshold):
    rng = np.random.default_rng(seed)
    vol = rng.integers(0, levels, size=(9, 23, 41)).astype(np.float32)  # many ties, lines not a block multiple
    vol[rng.random(vol.shape) < 0.01] = np.nan
    positions, intensities, _ = detect(vol, threshold=threshold)
    found = found_indices(positions)
    assert len(found) == len(set(found))
    assert set(found) == reference_peaks(vol, threshold)
    assert len(found) > 0
    assert np.all(np.diff(intensities) <= 0)
    np.testing.assert_array_equal(intensities, [vol[i] for i in found])


@pytest.mark.parametrize("k", [2, 17, 30, 38])
def test_threshold_is_inclusive(k):
    # Long lines are tested block by block before voxel by voxel; k = 38 lies in the tail.
    vol = np.zeros((5, 5, 40), np.float32)
    vol[2, 2, k] = 0.5
    vol[2, 1, (k + 20) % 38 + 1] = np.nextafter(np.float32(0.5), np.float32(0))
    assert found_indices(detect(vol, threshold=0.5)[0]) == [(2, 2, k)]


def test_positions_multiply_before_dividing():
    vol = np.zeros((11, 11, 11), np.float32)
    for i in range(1, 10, 2):
        vol[i, i, 10 - i] = 1.0 + i
    extent = (0.0, 1.0, 2.0, 2.7, -1.0, 0.3)
    positions, _, _ = detect(vol, extent=extent)
    f32 = np.float32
    first, last = np.array(extent[0::2], f32), np.array(extent[1::2], f32)
    index = np.array([[i, i, 10 - i] for i in range(9, 0, -2)], f32)
    expected = first + ((last - first) * index) / f32(10)
    np.testing.assert_array_equal(positions, expected)
    assert not np.array_equal(expected, first + ((last - first) / f32(10)) * index)


def test_thinning_is_greedy_and_strict():
    vol = np.zeros((12, 12, 30), np.float32)
    vol[5, 5, 5], vol[5, 5, 8], vol[5, 5, 11] = 10.0, 9.0, 8.0  # P, Q, S three apart
    vol[5, 5, 20], vol[5, 8, 24] = 7.0, 6.0                      # exactly 5 apart
    ext = unit_extent(vol)
    kept = lambda d: found_indices(detect(vol, min_distance=d, extent=ext)[0])  # noqa: E731
    assert kept(0.0) == [(5, 5, 5), (5, 5, 8), (5, 5, 11), (5, 5, 20), (5, 8, 24)]
    assert kept(3.5) == [(5, 5, 5), (5, 5, 11), (5, 5, 20), (5, 8, 24)]  # Q dropped, so S stays
    assert kept(5.0) == [(5, 5, 5), (5, 5, 11), (5, 5, 20), (5, 8, 24)]
    assert kept(-5.01) == [(5, 5, 5), (5, 5, 11), (5, 5, 20)]


# ---- single-spot radial symmetry ----------------------------------------------------


@pytest.mark.parametrize("centre,expected,tol", [
    ((3, 3, 3), (3.0, 3.0, 3.0), 1e-5),
    ((3.3, 3, 3), (3.17, 2.96, 3.02), 0.005),
    ((3, 3, 3.3), (2.97, 3.14, 3.04), 0.005),
])
def test_radial_symmetry_worked_examples(centre, expected, tol):
    spot = gaussian((7, 7, 7), centre, sigma=1.5)
    result = trakora.rs_radial_symmetry_3d(spot)
    assert isinstance(result, tuple) and all(type(v) is float for v in result)
    np.testing.assert_allclose(result, expected, atol=tol)
    np.testing.assert_allclose(trakora.rs_radial_symmetry_3d(spot + np.float32(50)), result, atol=2e-4)


def test_radial_symmetry_single_voxel():
    w = np.zeros((5, 5, 5), np.float32)
    w[2, 2, 2] = 1.0
    assert trakora.rs_radial_symmetry_3d(array=w) == (2.0, 2.0, 2.0)


@pytest.mark.parametrize("window", [
    np.zeros((2, 7, 7), np.float32), np.zeros((7, 2, 7), np.float32), np.zeros((7, 7, 2), np.float32),
    np.full((6, 6, 6), 3.0, np.float32),
    np.pad(np.ones((1, 1, 1), np.float32), 1),  # 3x3x3 with only the centre set: no smoothed gradient
])
def test_radial_symmetry_failures_raise(window):
    with pytest.raises(ValueError, match=f"^{RS_FAILED}$"):
        trakora.rs_radial_symmetry_3d(window)


def test_radial_symmetry_nan_gives_nan():
    spot = gaussian((7, 7, 7), (3, 3, 3), sigma=1.5)
    spot[1, 2, 3] = np.nan
    assert all(np.isnan(v) for v in trakora.rs_radial_symmetry_3d(spot))


# ---- localization through the pipeline ------------------------------------------------


@pytest.mark.parametrize("spot,expected,tol", [
    (gaussian((7, 7, 7), (3, 3, 3)), (3.0, 3.0, 3.0), 1e-5),
    (gaussian((7, 7, 7), (3.4, 2.8, 3.1)), (3.40, 2.80, 3.10), 0.005),
    (gaussian((7, 7, 7), (3.4, 2.8, 3.1), sigma=1.5, amplitude=5.0, background=1.0), (3.40, 2.80, 3.10), 0.02),
])
def test_gaussian_fit_worked_examples(spot, expected, tol):
    # The volume is the window itself: window start 0, positions are window coordinates.
    positions, _, _ = detect(spot, threshold=0.5, method="gaussian_fitting")
    np.testing.assert_allclose(positions, [expected], atol=tol)


@pytest.mark.parametrize("method", METHODS)
def test_a_nan_in_the_window_gives_nan_positions(method):
    spot = gaussian((7, 7, 7), (3.2, 3, 3), sigma=1.5, amplitude=10.0)
    spot[0, 0, 0] = np.nan
    positions, intensities, _ = detect(spot, threshold=5.0, method=method)
    assert positions.shape == (1, 3) and np.isnan(positions).all()
    assert intensities.tolist() == [spot[3, 3, 3]]


def test_windows_shift_inward_near_faces():
    # Peaks (1, 10, 10), (18, 2, 18), (10, 10, 10): window starts (0, 7, 7), (13, 0, 13), (7, 7, 7).
    spots = [(1.2, 10.0, 10.0), (18.0, 2.0, 17.9), (10.0, 10.3, 9.8)]
    vol = sum(gaussian((20, 20, 20), c, sigma=1.2, amplitude=10.0) for c in spots)
    positions, _, _ = detect(vol, threshold=3.0, method="radial_symmetry")
    starts = [(0, 7, 7), (13, 0, 13), (7, 7, 7)]
    expected = [np.add(s, trakora.rs_radial_symmetry_3d(vol[s[0]:s[0] + 7, s[1]:s[1] + 7, s[2]:s[2] + 7]))
                for s in starts]
    assert len(positions) == 3
    for e in expected:
        assert np.abs(positions - np.float32(e)).max(axis=1).min() == 0.0


@pytest.mark.parametrize("window,start", [(4, (3, 4, 4)), (5, (3, 4, 4)), (3, (4, 5, 5)), (8, (1, 2, 2))])
def test_even_and_odd_windows_round_the_peak(window, start):
    # Peak voxel (5, 6, 6); an even window of size w covers i - w/2 ... i + w/2 - 1.
    vol = gaussian((12, 12, 12), (5.2, 6.0, 5.9), sigma=1.2, amplitude=10.0)
    positions, _, _ = detect(vol, threshold=3.0, window=window, method="radial_symmetry")
    cut = vol[start[0]:start[0] + window, start[1]:start[1] + window, start[2]:start[2] + window]
    np.testing.assert_array_equal(positions, [np.float32(np.add(start, trakora.rs_radial_symmetry_3d(cut)))])


@pytest.mark.parametrize("window,methods", [(0, METHODS), (1, METHODS), (2, ["radial_symmetry"])])
def test_tiny_windows_drop_every_peak(window, methods):
    vol = gaussian((12, 12, 12), (5.2, 6.0, 5.9), sigma=1.2, amplitude=10.0)
    for method in methods:
        positions, intensities, _ = detect(vol, threshold=3.0, window=window, method=method)
        assert positions.shape == (0, 3) and intensities.shape == (0,)


def test_volume_smaller_than_the_window_gives_nothing():
    vol = gaussian((5, 30, 30), (2, 15, 15), sigma=1.2, amplitude=10.0)
    assert len(detect(vol, threshold=3.0)[0]) == 1
    assert detect(vol, threshold=3.0, method="radial_symmetry")[0].shape == (0, 3)
    assert len(detect(vol, threshold=3.0, window=5, method="radial_symmetry")[0]) == 1


# ---- correlation --------------------------------------------------------------------------


def reference_correlation(vol, index, sizes, sigmas):
    a = np.arange(-2, 3)
    t = np.exp(-0.5 * sum(((s * g) / sg) ** 2 for s, g, sg in zip(sizes, np.meshgrid(a, a, a, indexing="ij"),
                                                                   sigmas)))
    lo = [max(i - 2, 0) for i in index]
    hi = [min(i + 3, n) for i, n in zip(index, vol.shape)]
    data = vol[lo[0]:hi[0], lo[1]:hi[1], lo[2]:hi[2]].astype(np.float64).ravel()
    tmpl = t[lo[0] - index[0] + 2:hi[0] - index[0] + 2, lo[1] - index[1] + 2:hi[1] - index[1] + 2,
             lo[2] - index[2] + 2:hi[2] - index[2] + 2].ravel()
    return np.corrcoef(data, tmpl)[0, 1]


def test_a_matching_spot_correlates_perfectly():
    vol = gaussian((20, 20, 20), (10, 10, 10), amplitude=3.0, background=7.0)
    positions, intensities, correlations = detect(vol, threshold=8.0, sigmas=(1, 1, 1), extent=(0, 20) * 3)
    assert intensities.tolist() == [10.0]
    np.testing.assert_allclose(correlations, [1.0], atol=1e-5)
    assert correlations.dtype == np.float32


def test_correlations_match_pearson_inside_and_at_the_border():
    rng = np.random.default_rng(11)
    vol = rng.normal(0, 1, (16, 30, 24)).astype(np.float32)
    extent = (-3.0, 9.0, 0.0, 45.0, 1.0, 13.0)
    sigmas = (1.1, 2.0, 0.9)
    _, _, plain = detect(vol, threshold=1.0, extent=extent)
    positions, intensities, correlations = detect(vol, threshold=1.0, sigmas=sigmas, extent=extent)
    assert plain is None and len(correlations) == len(intensities) > 50
    n = np.array(vol.shape, np.float32)
    sizes = (np.array(extent[1::2], np.float32) - np.array(extent[0::2], np.float32)) / n
    on_border = 0
    for value, intensity in zip(correlations, intensities):
        index = tuple(np.argwhere(vol == intensity)[0])
        on_border += min(min(index), *(np.array(vol.shape) - 1 - index)) < 2
        assert value == pytest.approx(reference_correlation(vol, index, sizes, sigmas), abs=2e-5)
    assert on_border > 5


def test_flat_template_and_zero_sigma():
    vol = gaussian((12, 12, 12), (5, 6, 6), amplitude=3.0, background=1.0)
    vol[3, 3, 9] = 2.0
    _, _, flat = detect(vol, threshold=1.5, sigmas=(1, 1, 1), extent=(5.0,) * 6)
    # Every template entry is 1/125; the mean carries the rounding of their float sum, so
    # the correlation is zero up to rounding rather than exactly 0.0.
    assert len(flat) == 2 and np.abs(flat).max() < 1e-5
    _, intensities, nan = detect(vol, threshold=1.5, sigmas=(1, 0, 1))
    assert len(intensities) == 2 and np.isnan(nan).all()
    positions, intensities, removed = detect(vol, threshold=1.5, sigmas=(1, 0, 1), corr_threshold=-1.0)
    assert positions.shape == (0, 3) and intensities.shape == (0,) and removed is None


def test_correlation_threshold_filters_in_order():
    vol = gaussian((20, 20, 30), (6, 6, 6), amplitude=5.0) + gaussian((20, 20, 30), (12, 12, 20), amplitude=4.0)
    vol[14, 4, 12] = 4.5  # a lone bright voxel correlates worse than a spot
    _, intensities, correlations = detect(vol, threshold=1.0, sigmas=(1, 1, 1), extent=(0, 20, 0, 20, 0, 30))
    assert intensities.tolist() == [5.0, 4.5, 4.0]
    assert correlations[0] > 0.99 and correlations[2] > 0.99 and correlations[1] < 0.5
    _, kept, kept_corr = detect(vol, threshold=1.0, sigmas=(1, 1, 1), corr_threshold=0.9,
                                extent=(0, 20, 0, 20, 0, 30))
    assert kept.tolist() == [5.0, 4.0]
    np.testing.assert_array_equal(kept_corr, correlations[[0, 2]])


@pytest.mark.parametrize("corr_threshold,count", [(0.5, 0), (0.0, 3), (-0.5, 3), (None, 3)])
def test_correlation_threshold_without_sigmas_counts_zero(corr_threshold, count):
    vol = np.zeros((10, 10, 20), np.float32)
    vol[3, 3, 3], vol[5, 5, 10], vol[7, 7, 16] = 3.0, 2.0, 1.0
    positions, intensities, correlations = detect(vol, corr_threshold=corr_threshold)
    assert positions.shape == (count, 3) and intensities.shape == (count,) and correlations is None


# ---- the pipeline ---------------------------------------------------------------------------


def three_spots():
    vol = np.zeros((15, 15, 40), np.float32)
    for z, amplitude in [(8, 3.0), (20, 5.0), (32, 4.0)]:
        vol += gaussian(vol.shape, (7.0, 7.0, z + 0.3), sigma=1.2, amplitude=amplitude)
    return vol


@pytest.mark.parametrize("method", [None] + METHODS)
@pytest.mark.parametrize("cap,count", [(None, 3), (5, 3), (2, 2), (1, 1), (0, 0)])
def test_the_cap_keeps_the_brightest(method, cap, count):
    vol = three_spots()
    positions, intensities, correlations = detect(vol, threshold=1.0, method=method, cap=cap, sigmas=(1, 1, 1),
                                                  extent=(0, 15, 0, 15, 0, 40))
    np.testing.assert_array_equal(intensities, np.sort(vol[7, 7, [8, 20, 32]])[::-1][:count])
    assert positions.shape == (count, 3)
    assert (correlations is None) == (count == 0)


def test_argument_order_puts_the_window_before_the_method():
    vol = three_spots()
    ext = unit_extent(vol)
    by_position = trakora.rs_detect_peaks3d(vol, ext, 1.0, 0.0, 5, "radial_symmetry", None, None, None)
    by_keyword = trakora.rs_detect_peaks3d(array=vol, extent=ext, threshold=1.0, min_distance=0.0,
                                           localization_method="radial_symmetry", localization_window_size=5,
                                           correlation_sigmas=None, correlation_threshold=None,
                                           max_num_peaks=None)
    assert len(by_position[0]) == 3
    for a, b in zip(by_position[:2], by_keyword[:2]):
        assert a.tobytes() == b.tobytes()
    with pytest.raises(TypeError, match="^argument 'localization_window_size': "):
        trakora.rs_detect_peaks3d(vol, ext, 1.0, 0.0, "radial_symmetry", 5, None, None, None)


@pytest.mark.parametrize("name", ["gauss", "Radial_Symmetry", "radial_symmetry "])
def test_unknown_method_names(name):
    with pytest.raises(ValueError) as err:
        detect(three_spots(), threshold=1.0, method=name, sigmas=(1, 1, 1))
    assert str(err.value) == UNKNOWN.format(name)


@pytest.mark.parametrize("extent,sigmas,error", [
    ((0, 1, 0, 1, 0), None, IndexError),
    ((0, 1, 0, 1, 0, "x"), None, TypeError),
    ((0, 1, 0, 1, 0, 1), (1, 1), IndexError),
    ((0, 1, 0, 1, 0, 1), (1, None, 1), TypeError),
])
def test_tuple_items_fail_unprefixed(extent, sigmas, error):
    with pytest.raises(error) as err:
        detect(three_spots(), threshold=1.0, sigmas=sigmas, extent=extent)
    assert not str(err.value).startswith("argument")
