"""rs_link_points_3d: the linking scheme with a z coordinate, 27 cells and no intensity test."""
import numpy as np
import pytest

import reference
import trakora
from test_link2d import NAN, with_outliers


def frame(*points):
    """A frame table with rows (x, y, z, intensity)."""
    return np.array(points, np.float32).reshape(-1, 4)


def link(frames, max_distance=1.0, max_skip=0):
    return trakora.rs_link_points_3d(frames, max_distance, max_skip)


@pytest.mark.parametrize("frames", [[], [frame((0, 0, 0, 1))], [frame(), np.zeros((0, 2), np.float32)],
                                    [frame((0, 0, 0, 1)), frame((0, 0, 5, 1))]])
def test_no_tracks_gives_a_0x4_matrix(frames):
    matrix, ends = link(frames)
    assert matrix.shape == (0, 4) and matrix.dtype == np.float32
    assert ends.shape == (0,) and ends.dtype == np.uint32


@pytest.mark.parametrize("intensities", [(1, 1), (1, 1000), (1000, 1), (1, NAN)])
def test_intensities_play_no_part(intensities):
    matrix, ends = link([frame((0, 0, 0, intensities[0])), frame((0, 0, 0.9, intensities[1]))])
    np.testing.assert_array_equal(ends, [2])
    np.testing.assert_array_equal(matrix, frame((0, 0, 0, intensities[0]), (0, 0, 0.9, intensities[1])))


@pytest.mark.parametrize("target, linked", [
    ((0, 0, 1.1), False),       # x and y agree, z too far
    ((0.6, 0.6, 0.6), False),   # each axis within one cell, distance about 1.04
    ((0, 0, -1.0), True),       # exactly max_distance, below zero
    ((0.6, 0.0, 0.8), True),
    ((-0.5, -0.5, -0.5), True),
    ((NAN, 0, 0), False),
])
def test_the_distance_is_taken_in_three_dimensions(target, linked):
    assert len(link([frame((0, 0, 0, 1)), frame((*target, 1))])[1]) == int(linked)


def test_shorter_gaps_win_the_merge_with_z_zero():
    frames = [frame((0, 0, 0, 1), (0.3, 0, 0, 5)), frame((0.05, 0, 0, 100)), frame((0.32, 0, 0, 1), (0.3, 0.5, 0, 1))]
    matrix, ends = link(frames, 1.0, 1)
    np.testing.assert_array_equal(ends, [3])
    np.testing.assert_array_equal(matrix[:, 0], np.float32([0, 0.05, 0.32]))


def random_frames(rng, count, points, extent):
    return [np.column_stack([rng.uniform(-1, extent, (n, 3)), rng.uniform(1, 100, n)]).astype(np.float32)
            for n in rng.integers(0, points + 1, count)]


@pytest.mark.parametrize("seed, max_skip", [(s, k) for s in range(3) for k in range(4)])
@pytest.mark.parametrize("outliers", [False, True])
def test_random_scenes_match_an_independent_model(seed, max_skip, outliers):
    rng = np.random.default_rng(seed)
    frames = random_frames(rng, 7, 40, 3.5)
    if outliers:
        frames = with_outliers(rng, frames, 3)
    with np.errstate(all="ignore"):
        expected = reference.link(frames, 3, 1.0, max_skip, None, solve=reference.solve_any_optimum)
    for ours, theirs in zip(link(frames, 1.0, max_skip), expected):
        np.testing.assert_array_equal(ours, theirs)


def test_huge_max_skip_equals_the_largest_useful_one():
    rng = np.random.default_rng(5)
    frames = random_frames(rng, 6, 25, 3.0)
    for a, b in zip(link(frames, 1.0, 2**64 - 1), link(frames, 1.0, 4)):
        np.testing.assert_array_equal(a, b)


def test_too_few_columns_is_an_internal_failure():
    with pytest.raises(BaseException) as info:
        link([frame((0, 0, 0, 1)), np.zeros((2, 3), np.float32)])
    assert info.type.__name__ == "PanicException" and info.type.__module__ == "pyo3_runtime"
    assert not issubclass(info.type, Exception)
    assert "src/linking3d" in str(info.value)


@pytest.mark.parametrize("max_distance", [NAN, float("inf"), 0.0, -2.0, 1e-7, 1e12])
def test_unusable_max_distance_raises(max_distance):
    with pytest.raises(ValueError, match="max_distance"):
        link([frame((0, 0, 0, 1)), frame((0, 0, 0, 1))], max_distance)
