"""3D rendering: rs_draw_tracks_3d and rs_draw_tracks_value_3d."""
import numpy as np
import pytest

import reference
import trakora

f32 = np.float32
CUBE = (0, 10, 0, 10, 0, 10)


def random_scene(rng, n_tracks, n_points, span, columns, nan_fraction=0.0):
    steps = rng.normal(0, 2.0, (n_tracks, n_points, 3)).cumsum(axis=1)
    xyz = (steps + rng.uniform(-0.2 * span, 1.2 * span, (n_tracks, 1, 3))).reshape(-1, 3)
    cols = [xyz, rng.uniform(0.0, 5.0, (len(xyz), 1))]
    if columns == 5:
        cols.append(rng.uniform(-3.0, 3.0, (len(xyz), 1)))
    m = np.hstack(cols).astype(f32)
    if nan_fraction:
        m[rng.random(len(m)) < nan_fraction, 3:] = np.nan
    m[1::6] = m[0:-1:6][: len(m[1::6])]
    ends = np.minimum(np.cumsum(rng.integers(0, 2 * n_points, n_tracks)), len(m)).astype(np.int32)
    return m, ends


def draw(matrix, ends, extent=CUBE, pixel_size=1.0):
    return trakora.rs_draw_tracks_3d(np.asarray(matrix, f32), np.asarray(ends, np.int32), extent, pixel_size)


def draw_value(matrix, ends, extent=CUBE, pixel_size=1.0):
    return trakora.rs_draw_tracks_value_3d(np.asarray(matrix, f32), np.asarray(ends, np.int32), extent, pixel_size)


def points(*rows):
    return np.array(rows, f32), np.arange(1, len(rows) + 1, dtype=np.int32)


def is_panic(exc):
    return type(exc).__name__ == "PanicException" and type(exc).__module__ == "pyo3_runtime"


BOTH = pytest.mark.parametrize("fn, columns", [(trakora.rs_draw_tracks_3d, 4), (trakora.rs_draw_tracks_value_3d, 5)])


# ---- against the reference -----------------------------------------------------------------

@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("with_value", [False, True])
def test_random_scenes_match_the_reference(seed, with_value):
    rng = np.random.default_rng(seed)
    m, ends = random_scene(rng, 20, 10, 12, 5 if with_value else 4, nan_fraction=0.05)
    extent, ps = (0.0, 12.0, -1.0, 10.0, 2.0, 11.0), 0.9
    arrays, adjusted = reference.draw(m, ends, extent, ps, 3, with_value)
    got = (draw_value if with_value else draw)(m, ends, extent, ps)
    assert got[-1] == adjusted
    for g, r in zip(got[:-1], arrays):
        assert g.dtype == r.dtype and g.shape == r.shape
        np.testing.assert_array_equal(g, r)


@pytest.mark.parametrize("ends", [[3, 2, 5], [10], [0, 0, 7], [7, 7, 3, 9], []])
@pytest.mark.parametrize("with_value", [False, True])
def test_odd_end_indices_match_the_reference(ends, with_value):
    m = np.array([[x, 0.5 * x, 9 - x, 1 + x, 10 * x] for x in range(7)], f32)
    m = m if with_value else m[:, :4]
    arrays, _ = reference.draw(m, ends, CUBE, 1.0, 3, with_value)
    got = (draw_value if with_value else draw)(m, ends)
    for g, r in zip(got[:-1], arrays):
        np.testing.assert_array_equal(g, r)


# ---- readers and conversion ----------------------------------------------------------------

@BOTH
def test_too_few_columns_fail_only_when_a_row_is_read(fn, columns):
    short = np.ones((3, columns - 1), f32)
    out = fn(short, np.array([0, 0], np.int32), CUBE, 1.0)
    assert all(not a.any() for a in out[:-1])
    with pytest.raises(BaseException) as info:
        fn(short, np.array([1], np.int32), CUBE, 1.0)
    assert is_panic(info.value)


@BOTH
def test_negative_end_index_is_refused(fn, columns):
    with pytest.raises(ValueError, match="track_end_indices"):
        fn(np.ones((3, columns), f32), np.array([-2], np.int32), CUBE, 1.0)


@pytest.mark.parametrize("x, ix", [(2.5, 3), (2.49, 2), (-0.4, 0), (10.0, None), (-7.0, None), (np.nan, 0),
                                   (1e30, None), (-1e30, None)])
def test_conversion_to_voxel_indices(x, ix):
    sums, counts, _ = draw(*points([x, 4.0, 6.0, 2.0]))
    if ix is None:
        assert counts.sum() == 0
    else:
        assert (counts[ix, 4, 6], sums[ix, 4, 6], counts.sum()) == (1, 2.0, 1)


def test_track_inside_one_voxel_adds_its_first_intensity_once():
    sums, counts, _ = draw(np.array([[1.1, 1, 1, 3.0], [0.9, 1.2, 1, 8.0], [1, 1, 0.8, 5.0]], f32), [3])
    assert (sums[1, 1, 1], counts.sum()) == (3.0, 1)


# ---- grid rule -----------------------------------------------------------------------------

@pytest.mark.parametrize(
    "extent, pixel_size, shape, adjusted",
    [(CUBE, 1.0, (10, 10, 10), CUBE),
     (CUBE, 3.0, (4, 4, 4), (0, 12, 0, 12, 0, 12)),
     ((0, 10.0005, 0, 10.002, -1, 1), 1.0, (10, 11, 2), (0, 10, 0, 11, -1, 1)),
     ((0, 10, 3, 1, 0, 2), 1.0, (10, 0, 2), (0, 10, 3, 3, 0, 2)),
     ((0, 0.0005, 0, 2, 0, 2), 1.0, (0, 2, 2), (0, 0, 0, 2, 0, 2)),
     ((0, 2, 0, 2, 0, 2, 5.0), 1.0, (2, 2, 2), (0, 2, 0, 2, 0, 2))])
def test_grid_rule(extent, pixel_size, shape, adjusted):
    for fn, columns in ((trakora.rs_draw_tracks_3d, 4), (trakora.rs_draw_tracks_value_3d, 5)):
        out = fn(np.full((1, columns), 0.5, f32), np.array([1], np.int32), extent, pixel_size)
        assert all(a.shape == shape for a in out[:-1])
        assert out[-1] == pytest.approx(adjusted, abs=1e-6)
        assert all(type(v) is float for v in out[-1])


@BOTH
def test_empty_track_list_gives_zero_arrays(fn, columns):
    out = fn(np.zeros((0, columns), f32), np.zeros(0, np.int32), (0, 3, 0, 4, 0, 5), 1.0)
    assert [a.shape for a in out[:-1]] == [(3, 4, 5)] * (len(out) - 1)
    assert out[-2].dtype == np.uint32 and all(a.dtype == np.float32 for a in out[:-2])
    assert all(not a.any() for a in out[:-1])


@BOTH
@pytest.mark.parametrize("pixel_size", [0.0, -2.0, np.nan, np.inf])
def test_pixel_size_without_a_grid_is_refused(fn, columns, pixel_size):
    with pytest.raises(ValueError, match="pixel_size"):
        fn(np.zeros((1, columns), f32), np.array([1], np.int32), CUBE, pixel_size)


@BOTH
@pytest.mark.parametrize("extent, pixel_size", [((0, 1e6, 0, 1e6, 0, 1e6), 1.0), ((0, 1e30, 0, 1, 0, 1), 1.0),
                                                (CUBE, 1e-30)])
def test_grid_too_large_raises_memory_error(fn, columns, extent, pixel_size):
    with pytest.raises(MemoryError):
        fn(np.zeros((1, columns), f32), np.array([1], np.int32), extent, pixel_size)


# ---- traversal and worked examples ---------------------------------------------------------

def test_interpolated_segment():
    sums, counts, _ = draw(np.array([[0, 0, 0, 1.0], [3, 0, 0, 4.0]], f32), [2])
    np.testing.assert_array_equal(sums[:4, 0, 0], [1, 2, 3, 4])
    np.testing.assert_array_equal(counts[:4, 0, 0], [1, 1, 1, 1])
    assert counts.sum() == 4


def test_walk_to_2_1_0_visits_two_voxels_before_the_end():
    sums, counts, _ = draw(np.array([[0, 0, 0, 1.0], [2, 1, 0, 1.0]], f32), [2])
    assert {tuple(int(i) for i in v) for v in np.argwhere(counts)} == {(0, 0, 0), (1, 0, 0), (2, 1, 0)}


def test_density_sums_are_plain_sums_in_visiting_order():
    sums, counts, _ = draw(*points([2, 2, 2, 4.0], [2, 2, 2, 1.0], [2, 2, 2, 3.0], [2, 2, 2, 2.0]))
    assert (sums[2, 2, 2], counts[2, 2, 2]) == (10.0, 4)  # nothing is discarded in the 3D density


def test_interpolated_value_segment():
    i, v, c, _ = draw_value(np.array([[0, 0, 0, 1.0, 10.0], [3, 0, 0, 4.0, 40.0]], f32), [2])
    np.testing.assert_array_equal(i[:4, 0, 0], [1, 2, 3, 4])
    np.testing.assert_array_equal(v[:4, 0, 0], [10, 20, 30, 40])
    np.testing.assert_array_equal(c[:4, 0, 0], [1, 1, 1, 1])


def test_two_tracks_through_voxel_2_0_0():
    # (0,0,0) I=1 V=10 -> (4,0,0) I=5 V=50 passes (2,0,0) with (3, 30); the second track has (4, 40) there.
    m = np.array([[0, 0, 0, 1, 10], [4, 0, 0, 5, 50], [2, 0, 0, 4, 40]], f32)
    i, v, c, _ = draw_value(m, [2, 3])
    assert (c[2, 0, 0], i[2, 0, 0]) == (2, 7.0)
    assert v[2, 0, 0] == (f32(3) * f32(30) + f32(4) * f32(40)) / f32(7)


@pytest.mark.parametrize("m", range(1, 10))
def test_discard_rule(m):
    kept = np.arange(m // 4 + 1, m + 1, dtype=f32)
    i, v, c, _ = draw_value(*points(*[[5, 5, 5, x, 3.0 - x] for x in range(m, 0, -1)]))
    assert c[5, 5, 5] == m  # counted before discarding
    assert i[5, 5, 5] == kept.sum()
    assert v[5, 5, 5] == pytest.approx((kept * (3.0 - kept)).sum() / kept.sum(), rel=1e-6, abs=1e-6)


@pytest.mark.parametrize("intensities, total", [([0, 0], 0.0), ([-3, 1, 1], -1.0)])
def test_non_positive_sums_keep_value_zero(intensities, total):
    i, v, c, _ = draw_value(*points(*[[1, 2, 3, x, 9.0] for x in intensities]))
    assert (i[1, 2, 3], v[1, 2, 3], c[1, 2, 3]) == (total, 0.0, len(intensities))


@pytest.mark.parametrize("row, value_column", [(0, 3), (1, 3), (0, 4), (1, 4)])
def test_nan_skips_segment_and_last_point(row, value_column):
    m = np.array([[0, 0, 0, 1.0, 10.0], [3, 0, 0, 4.0, 40.0]], f32)
    m[row, value_column] = np.nan
    i, v, c, _ = draw_value(m, [2])
    assert c[:3].sum() == 0  # every blend of the segment is NaN
    assert c[3, 0, 0] == (1 if row == 0 else 0)
    assert not (np.isnan(i).any() or np.isnan(v).any())
    if value_column == 3:
        sums, counts, _ = draw(m[:, :4], [2])
        np.testing.assert_array_equal(counts, c)
        assert not np.isnan(sums).any()


# ---- outside the grid ------------------------------------------------------------------------

def test_points_at_negative_coordinates_are_skipped_but_their_segments_enter():
    sums, counts, _ = draw(np.array([[-2, 1, 1, 0.0], [2, 1, 1, 4.0]], f32), [2])
    np.testing.assert_array_equal(counts[:, 1, 1], [1, 1, 1] + [0] * 7)
    np.testing.assert_array_equal(sums[:3, 1, 1], [f32(2) / f32(4) * f32(4), f32(3) / f32(4) * f32(4), 4.0])


@BOTH
def test_far_segment_is_clipped_with_the_full_walks_weights(fn, columns):
    m = np.array([[-1e30, -1e30, -1e30, 1.0, 1.0], [1e30, 1e30, 1e30, 3.0, 3.0]], f32)[:, :columns]
    out = fn(m, np.array([2], np.int32), (0, 6, 0, 6, 0, 6), 1.0)
    counts = out[-2]
    assert counts.sum() == 6 and all(counts[x, x, x] == 1 for x in range(6))
    d = f32(2**32) - f32(1)
    for x in range(6):
        t = f32(2**31 + x) / d
        assert out[0][x, x, x] == f32(1) * (f32(1) - t) + t * f32(3)


# ---- track order ------------------------------------------------------------------------

def test_value_image_does_not_depend_on_track_order():
    rng = np.random.default_rng(8)
    m, ends = random_scene(rng, 25, 8, 8, 5)
    starts = np.concatenate([[0], ends[:-1]])
    tracks = [m[s:e] for s, e in zip(starts, ends) if e > s]
    order = rng.permutation(len(tracks))
    a = draw_value(np.vstack(tracks), np.cumsum([len(t) for t in tracks]).astype(np.int32), (0, 8, 0, 8, 0, 8), 0.5)
    b = draw_value(np.vstack([tracks[k] for k in order]),
                   np.cumsum([len(tracks[k]) for k in order]).astype(np.int32), (0, 8, 0, 8, 0, 8), 0.5)
    for x, y in zip(a[:-1], b[:-1]):
        np.testing.assert_array_equal(x, y)


# ---- tracks from the linker ------------------------------------------------------------------

def test_linker_output_reads_as_the_same_tracks():
    rng = np.random.default_rng(6)
    truth = rng.uniform(2, 18, (10, 3))
    frames = [np.hstack([truth + 0.4 * f, np.full((10, 1), 50.0)]).astype(f32) for f in range(5)]
    try:
        matrix, ends = trakora.rs_link_points_3d(frames, 1.0, 0)
    except NotImplementedError:
        pytest.skip("rs_link_points_3d is not built yet")
    assert matrix.shape == (50, 4) and ends.dtype == np.uint32 and len(ends) == 10
    ends32 = ends.astype(np.int32)
    arrays, _ = reference.draw(matrix, ends32, (0, 20, 0, 20, 0, 20), 1.0, 3, False)
    got = trakora.rs_draw_tracks_3d(matrix, ends32, (0, 20, 0, 20, 0, 20), 1.0)
    for g, r in zip(got[:-1], arrays):
        np.testing.assert_array_equal(g, r)
