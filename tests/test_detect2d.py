"""rs_detect_peaks: the peak rule, distance thinning, window localization and the pipeline."""
import numpy as np
import pytest

import trakora

WINDOW_MESSAGE = "localization_window_size must be an odd integer >= 3"
METHODS = ["radial_symmetry", "gaussian_fitting"]


def unit_extent(img):
    return (0.0, img.shape[0] - 1.0, 0.0, img.shape[1] - 1.0)


def detect(img, threshold=0.5, min_distance=1.0, method=None, window=None, cap=None, extent=None):
    return trakora.rs_detect_peaks(img, extent or unit_extent(img), threshold, min_distance, method, window, cap)


def spot_image(shape, centres, sigma=1.2, amplitude=10.0, background=0.0):
    rows, cols = np.mgrid[: shape[0], : shape[1]]
    img = np.full(shape, background, np.float64)
    for r, c in centres:
        img += amplitude * np.exp(-((rows - r) ** 2 + (cols - c) ** 2) / (2 * sigma**2))
    return img.astype(np.float32)


# ---- the peak rule --------------------------------------------------------------------


@pytest.mark.parametrize("at,found", [((5, 7), True), ((0, 7), False), ((9, 7), False), ((5, 0), False),
                                      ((5, 19), False), ((0, 0), False), ((9, 19), False)])
def test_single_pixel_is_a_peak_only_inside(at, found):
    img = np.zeros((10, 20), np.float32)
    img[at] = 1.0
    positions, intensities = detect(img)
    expected = [list(at)] if found else np.zeros((0, 2))
    np.testing.assert_array_equal(positions, expected)
    assert intensities.tolist() == ([1.0] if found else [])


def test_plateau_reports_its_last_pixel_in_raster_order():
    img = np.zeros((10, 10), np.float32)
    img[3:5, 3:5] = 2.0
    positions, _ = detect(img)
    np.testing.assert_array_equal(positions, [[4, 4]])


def test_threshold_is_inclusive():
    img = np.zeros((9, 9), np.float32)
    img[2, 2] = 0.5
    img[6, 6] = np.nextafter(np.float32(0.5), np.float32(0))
    positions, _ = detect(img, threshold=0.5)
    np.testing.assert_array_equal(positions, [[2, 2]])


@pytest.mark.parametrize("offset", [(-1, -1), (-1, 0), (-1, 1), (0, -1), (0, 1), (1, -1), (1, 0), (1, 1)])
@pytest.mark.parametrize("neighbour", [np.nan, 5.0])
def test_equal_or_nan_neighbour_suppresses_only_when_later(offset, neighbour):
    img = np.zeros((7, 7), np.float32)
    img[3, 3] = 5.0
    img[3 + offset[0], 3 + offset[1]] = neighbour
    positions, _ = detect(img, min_distance=0.0)
    later = offset > (0, 0)
    centre_found = [3.0, 3.0] in positions.tolist()
    assert centre_found == (not later)


def test_nan_pixels_are_never_peaks_and_nan_threshold_passes_everything():
    img = np.full((7, 7), -10.0, np.float32)
    img[2, 2] = np.nan
    img[4, 4] = -5.0
    positions, intensities = detect(img, threshold=float("nan"))
    np.testing.assert_array_equal(positions, [[4, 4]])
    assert intensities.tolist() == [-5.0]


@pytest.mark.parametrize("shape", [(2, 9), (9, 2), (0, 5), (5, 0), (1, 1)])
def test_images_without_interior_have_no_peaks(shape):
    img = np.ones(shape, np.float32)
    for method in [None, *METHODS]:
        positions, intensities = detect(img, threshold=-1.0, method=method)
        assert positions.shape == (0, 2) and intensities.shape == (0,)
        assert positions.dtype == intensities.dtype == np.float32


# ---- ordering and thinning --------------------------------------------------------------


def row_of_peaks(values_at_columns, shape=(9, 20)):
    img = np.zeros(shape, np.float32)
    for col, value in values_at_columns:
        img[4, col] = value
    return img


@pytest.mark.parametrize("min_distance,kept", [(4.0, [10, 9]), (-4.0, [10, 9]), (4.001, [10]), (0.0, [10, 9])])
def test_thinning_is_strict_at_the_exact_distance(min_distance, kept):
    img = row_of_peaks([(5, 9.0), (9, 10.0)])
    _, intensities = detect(img, min_distance=min_distance)
    assert intensities.tolist() == kept


def test_dropped_peak_does_not_suppress_others():
    img = row_of_peaks([(5, 10.0), (8, 9.0), (11, 8.0)])  # P-Q 3, Q-S 3, P-S 6
    positions, intensities = detect(img, min_distance=4.0)
    assert intensities.tolist() == [10.0, 8.0]
    np.testing.assert_array_equal(positions, [[4, 5], [4, 11]])


def test_thinning_uses_physical_distance():
    img = row_of_peaks([(5, 10.0), (8, 9.0)])
    extent = (0.0, 8.0, 0.0, 2.0 * 19)  # two units per column
    positions, _ = detect(img, min_distance=5.0, extent=extent)
    np.testing.assert_array_equal(positions, [[4, 10], [4, 16]])
    assert len(detect(img, min_distance=5.0)[0]) == 1


def test_peaks_come_brightest_first_and_the_cap_applies_without_a_method():
    img = row_of_peaks([(3, 1.0), (7, 4.0), (11, 2.0), (15, 3.0)])
    _, intensities = detect(img, window=4)  # the window size is not looked at without a method
    assert intensities.tolist() == [4.0, 3.0, 2.0, 1.0]
    for cap in [0, 1, 3, 10]:
        assert detect(img, cap=cap, window=4)[1].tolist() == [4.0, 3.0, 2.0, 1.0][:cap]


# ---- localization -------------------------------------------------------------------------


@pytest.mark.parametrize("method", METHODS)
def test_border_rows_for_the_default_window(method):
    centres = [(2, 10), (3, 30), (96, 50), (97, 70)]
    img = spot_image((100, 100), centres)
    positions, _ = detect(img, min_distance=3.0, method=method)
    assert sorted(np.rint(positions[:, 0]).astype(int).tolist()) == [3, 96]
    # A 5x5 window reaches row 2 and row 97 as well.
    assert len(detect(img, min_distance=3.0, method=method, window=5)[0]) == 4


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("extras,refined", [
    ([(17, 23)], True),                # two maxima: refined
    ([(17, 23), (23, 17)], False),     # three maxima: kept on the pixel grid
    ([(20, 19), (20, 21)], False),     # a plateau of three equal maxima
])
def test_crowded_windows_keep_the_pixel_position(method, extras, refined):
    img = spot_image((40, 40), [(20.3, 19.8)], sigma=1.0)
    peak = img[20, 20]
    for r, c in extras:
        img[r, c] = peak if abs(c - 20) == 1 else 1.0
    positions, intensities = detect(img, min_distance=5.0, method=method)
    assert intensities[0] == peak
    on_grid = np.array_equal(positions[0], np.rint(positions[0]))
    assert on_grid == (not refined)


def test_radial_symmetry_offsets_are_mapped_to_physical_units():
    img = spot_image((30, 40), [(12.3, 21.6)])
    extent = (10.0, 10.0 + 2.0 * 29, -5.0, -5.0 + 0.5 * 39)
    positions, _ = detect(img, min_distance=3.0, method="radial_symmetry", window=5, extent=extent)
    d0, d1 = trakora.rs_radial_symmetry_2d(img[10:15, 20:25].copy())
    f32 = np.float32
    s0 = (f32(extent[1]) - f32(extent[0])) / f32(29)
    s1 = (f32(extent[3]) - f32(extent[2])) / f32(39)
    expected = [f32(extent[0]) + (f32(d0) + f32(12)) * s0, f32(extent[2]) + (f32(d1) + f32(22)) * s1]
    assert positions[0].tolist() == [float(v) for v in expected]
    assert abs(d0 - 0.3) < 0.1 and abs(d1 + 0.4) < 0.1


def test_gaussian_fitting_end_to_end():
    img = spot_image((30, 30), [(14.4, 15.8)], sigma=1.0, amplitude=1.0)
    positions, _ = detect(img, threshold=0.1, min_distance=3.0, method="gaussian_fitting")
    np.testing.assert_allclose(positions, [[14.4, 15.8]], atol=0.02)


@pytest.mark.parametrize("method", METHODS)
def test_cap_is_a_true_maximum_with_a_method(method):
    img = spot_image((40, 60), [(10, 10), (10, 30), (30, 50), (1, 50)])
    full = detect(img, min_distance=3.0, method=method)
    assert len(full[0]) == 3  # (1, 50) is too close to the border
    for cap in [0, 1, 2, 3, 4]:
        positions, intensities = detect(img, min_distance=3.0, method=method, cap=cap)
        np.testing.assert_array_equal(positions, full[0][:cap])
        np.testing.assert_array_equal(intensities, full[1][:cap])


# ---- the pipeline: errors and defaults ---------------------------------------------------------


@pytest.mark.parametrize("window", [0, 1, 2, 4, 6])
def test_bad_window_sizes_are_rejected_before_the_method_name(window):
    img = spot_image((20, 20), [(10, 10)])
    for method in ["radial_symmetry", "no_such_method"]:
        with pytest.raises(ValueError, match=f"^{WINDOW_MESSAGE}$"):
            detect(img, method=method, window=window)


@pytest.mark.parametrize("name", ["Radial_Symmetry", " radial_symmetry", "gaussian", ""])
def test_unknown_method_names(name):
    img = spot_image((20, 20), [(10, 10)])
    message = f"Unknown localization method '{name}'. Choose 'radial_symmetry' or 'gaussian_fitting'."
    with pytest.raises(ValueError) as err:
        detect(img, method=name)
    assert str(err.value) == message


@pytest.mark.parametrize("window", [3, 5, 7, 9])
def test_default_window_is_seven(window):
    img = spot_image((30, 30), [(10.2, 9.7), (20.6, 19.1)])
    default = detect(img, min_distance=3.0, method="radial_symmetry")
    explicit = detect(img, min_distance=3.0, method="radial_symmetry", window=window)
    assert np.array_equal(default[0], explicit[0]) == (window == 7)


def test_below_threshold_gives_empty_arrays():
    img = spot_image((20, 20), [(10, 10)])
    for method in [None, *METHODS]:
        positions, intensities = detect(img, threshold=100.0, method=method)
        assert positions.shape == (0, 2) and intensities.shape == (0,)
