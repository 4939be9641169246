"""Type stubs for the `trakora` extension module.

Arrays are NumPy arrays of the stated dtype; any memory layout is accepted on input and
outputs are C-contiguous. Every parameter is required; `None` stands for an optional value.
"""
from collections.abc import Sequence
from typing import Literal

import numpy as np
from numpy.typing import NDArray

_F32 = NDArray[np.float32]
_Method = Literal["radial_symmetry", "gaussian_fitting"]
_Extent2D = tuple[float, float, float, float]
_Extent3D = tuple[float, float, float, float, float, float]

def rs_detect_peaks(
    array: _F32,
    extent: _Extent2D,
    threshold: float,
    min_distance: float,
    localization_method: _Method | None,
    localization_window_size: int | None,
    max_num_peaks: int | None,
) -> tuple[_F32, _F32]:
    """Peaks of one image: positions (N, 2) as (row, column) physical coordinates, intensities (N,).

    `extent` = (centre of row 0, centre of the last row, centre of column 0, centre of the last column).
    """

def rs_detect_peaks3d(
    array: _F32,
    extent: _Extent3D,
    threshold: float,
    min_distance: float,
    localization_window_size: int | None,
    localization_method: _Method | None,
    correlation_sigmas: tuple[float, float, float] | None,
    correlation_threshold: float | None,
    max_num_peaks: int | None,
) -> tuple[_F32, _F32, _F32 | None]:
    """Peaks of one volume: positions (N, 3) per axis 0, 1, 2, intensities (N,), and the template
    correlations (N,) or None when no correlation was computed.

    `extent` = (first, last voxel centre) of axis 0, then of axis 1, then of axis 2.
    """

def rs_draw_tracks(
    matrix_x_y_intensity: _F32,
    track_end_indices: NDArray[np.int32],
    extent: _Extent2D,
    pixel_size: float,
) -> tuple[_F32, NDArray[np.uint32], _Extent2D]:
    """Density image (nx, ny), visit counts (nx, ny) and the adjusted extent (x_min, x_max, y_min, y_max)."""

def rs_draw_tracks_3d(
    matrix_x_y_z_intensity: _F32,
    track_end_indices: NDArray[np.int32],
    extent: _Extent3D,
    pixel_size: float,
) -> tuple[_F32, NDArray[np.uint32], _Extent3D]:
    """Summed intensities (nx, ny, nz), visit counts and the adjusted extent (x, y, z min/max pairs)."""

def rs_draw_tracks_value(
    matrix_x_y_intensity_value: _F32,
    track_end_indices: NDArray[np.int32],
    extent: _Extent2D,
    pixel_size: float,
) -> tuple[_F32, _F32, NDArray[np.uint32], _Extent2D]:
    """Intensity sums, intensity-weighted mean values, counts (each (nx, ny)) and the adjusted extent."""

def rs_draw_tracks_value_3d(
    matrix_x_y_z_intensity_value: _F32,
    track_end_indices: NDArray[np.int32],
    extent: _Extent3D,
    pixel_size: float,
) -> tuple[_F32, _F32, NDArray[np.uint32], _Extent3D]:
    """Intensity sums, intensity-weighted mean values, counts (each (nx, ny, nz)) and the adjusted extent."""

def rs_radial_symmetry_2d(array: _F32) -> tuple[float, float]:
    """Spot centre as (row, column) offsets from the centre pixel; ValueError if it cannot be found."""

def rs_radial_symmetry_3d(array: _F32) -> tuple[float, float, float]:
    """Spot centre in voxel coordinates, axis 0 first; ValueError if it cannot be found."""

def rs_link_points(
    points_list: Sequence[_F32],
    max_distance: float,
    max_skip: int,
    max_intensity_ratio: float,
) -> tuple[_F32, NDArray[np.uint32]]:
    """Link per-frame tables (columns x, y, intensity) into tracks: an (N, 3) point matrix and
    the exclusive end row of each track."""

def rs_link_points_3d(
    points_list: Sequence[_F32],
    max_distance: float,
    max_skip: int,
) -> tuple[_F32, NDArray[np.uint32]]:
    """Link per-frame tables (columns x, y, z, intensity) into tracks: an (N, 4) point matrix and
    the exclusive end row of each track."""
