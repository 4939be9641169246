"""Single-spot localization by radial symmetry in 2D."""
import math

import numpy as np
import pytest

import trakora


def gaussian(shape, centre, sigma):
    y, x = np.mgrid[0:shape[0], 0:shape[1]]
    return np.exp(-((y - centre[0]) ** 2 + (x - centre[1]) ** 2) / (2 * sigma**2)).astype(np.float32)


@pytest.mark.parametrize("shape, centre, expected", [
    ((9, 9), (4.3, 3.3), (0.30, -0.70)),
    ((7, 9), (3.25, 3.5), (0.25, -0.50)),
    ((9, 9), (4.0, 4.0), (0.0, 0.0)),
    ((15, 15), (6.6, 8.2), (-0.4, 1.2)),
])
def test_spot_offsets_from_the_window_centre(shape, centre, expected):
    row, col = trakora.rs_radial_symmetry_2d(gaussian(shape, centre, 1.5))
    assert isinstance(row, float) and isinstance(col, float)
    assert row == pytest.approx(expected[0], abs=0.03)
    assert col == pytest.approx(expected[1], abs=0.03)


def test_result_is_a_widened_float32():
    row, col = trakora.rs_radial_symmetry_2d(gaussian((9, 9), (4.3, 3.3), 1.5))
    assert np.float32(row) == row and np.float32(col) == col


def test_background_does_not_move_the_centre():
    a = gaussian((9, 9), (4.3, 3.3), 1.5)
    r0 = trakora.rs_radial_symmetry_2d(a)
    r1 = trakora.rs_radial_symmetry_2d(a * 5 + np.float32(100))
    assert r1 == pytest.approx(r0, abs=2e-3)


@pytest.mark.parametrize("window", [
    np.full((7, 7), 3.0, np.float32),
    np.zeros((7, 7), np.float32),
    np.arange(9, dtype=np.float32).reshape(1, 9),
    np.arange(9, dtype=np.float32).reshape(9, 1),
    np.ones((1, 1), np.float32),
], ids=["constant", "zeros", "one-row", "one-column", "single-pixel"])
def test_degenerate_windows_fail(window):
    with pytest.raises(ValueError) as info:
        trakora.rs_radial_symmetry_2d(window)
    assert str(info.value) == "Radial symmetry localization failed"


@pytest.mark.parametrize("shape", [(0, 5), (5, 0), (0, 0)])
def test_empty_axes_are_rejected_clearly(shape):
    with pytest.raises(ValueError, match="at least one row and one column"):
        trakora.rs_radial_symmetry_2d(np.zeros(shape, np.float32))


def test_nan_spreads_without_error():
    a = gaussian((9, 9), (4.3, 3.3), 1.5)
    a[2, 6] = np.nan
    row, col = trakora.rs_radial_symmetry_2d(a)
    assert math.isnan(row) and math.isnan(col)


def test_two_by_two_block_is_centred_between_pixels():
    a = np.zeros((6, 6), np.float32)
    a[2:4, 2:4] = 1.0
    row, col = trakora.rs_radial_symmetry_2d(a)
    assert row == pytest.approx(0.0, abs=1e-6) and col == pytest.approx(0.0, abs=1e-6)


def test_transposed_window_swaps_the_offsets():
    a = gaussian((7, 9), (3.25, 3.5), 1.5)
    row, col = trakora.rs_radial_symmetry_2d(a)
    row_t, col_t = trakora.rs_radial_symmetry_2d(a.T)
    assert (row_t, col_t) == pytest.approx((col, row), abs=1e-6)
