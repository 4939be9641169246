"""2D rendering: rs_draw_tracks and rs_draw_tracks_value."""
import numpy as np
import pytest

import reference
import trakora

f32 = np.float32


def random_scene(rng, n_tracks, n_points, span, columns, nan_fraction=0.0):
    steps = rng.normal(0, 2.5, (n_tracks, n_points, 2)).cumsum(axis=1)
    starts = rng.uniform(-0.2 * span, 1.2 * span, (n_tracks, 1, 2))
    xy = (steps + starts).reshape(-1, 2)
    cols = [xy, rng.uniform(0.0, 5.0, (len(xy), 1))]
    if columns == 4:
        cols.append(rng.uniform(-3.0, 3.0, (len(xy), 1)))
    m = np.hstack(cols).astype(f32)
    if nan_fraction:
        m[rng.random(len(m)) < nan_fraction, 2:] = np.nan
    # Repeat some points exactly, so repeated positions occur.
    m[1::7] = m[0:-1:7][: len(m[1::7])]
    lengths = rng.integers(0, 2 * n_points, n_tracks)
    ends = np.minimum(np.cumsum(lengths), len(m)).astype(np.int32)
    return m, ends


def draw(matrix, ends, extent=(0, 10, 0, 10), pixel_size=1.0):
    return trakora.rs_draw_tracks(np.asarray(matrix, f32), np.asarray(ends, np.int32), extent, pixel_size)


def draw_value(matrix, ends, extent=(0, 10, 0, 10), pixel_size=1.0):
    return trakora.rs_draw_tracks_value(np.asarray(matrix, f32), np.asarray(ends, np.int32), extent, pixel_size)


def points(*rows):
    """One single-point track per row."""
    return np.array(rows, f32), np.arange(1, len(rows) + 1, dtype=np.int32)


def is_panic(exc):
    return type(exc).__name__ == "PanicException" and type(exc).__module__ == "pyo3_runtime"


# ---- against the reference ---------------------------------------------------------------

@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("with_value", [False, True])
def test_random_scenes_match_the_per_pixel_reference(seed, with_value):
    rng = np.random.default_rng(seed)
    m, ends = random_scene(rng, 25, 12, 20, 4 if with_value else 3, nan_fraction=0.05)
    extent, ps = (0.0, 20.0, -1.0, 14.0), 0.8
    arrays, adjusted = reference.draw(m, ends, extent, ps, 2, with_value)
    got = (draw_value if with_value else draw)(m, ends, extent, ps)
    assert got[-1] == adjusted
    for g, r in zip(got[:-1], arrays):
        assert g.dtype == r.dtype and g.shape == r.shape
        np.testing.assert_array_equal(g, r)


@pytest.mark.parametrize("ends", [[3, 2, 5], [10], [2, 5, 7], [], [0, 0, 7], [7, 7, 3, 9]])
@pytest.mark.parametrize("with_value", [False, True])
def test_odd_end_indices_match_the_reference(ends, with_value):
    m = np.array([[x, 0.5 * x * x, 1 + x, 10 * x] for x in range(7)], f32)
    m = m if with_value else m[:, :3]
    arrays, _ = reference.draw(m, ends, (0, 10, 0, 20), 1.0, 2, with_value)
    got = (draw_value if with_value else draw)(m, ends, (0, 10, 0, 20))
    for g, r in zip(got[:-1], arrays):
        np.testing.assert_array_equal(g, r)


# ---- readers -------------------------------------------------------------------------------

ROW_OF_FIVE = np.array([[x, 0.0, 1.0] for x in range(5)], f32)


@pytest.mark.parametrize(
    "ends, counts_along_x",
    [([3, 2, 5], [1, 1, 2, 1, 1]),  # rows 0-2, nothing, rows 2-4: row 2 is read twice
     ([10], [1, 1, 1, 1, 1]),       # rows beyond the matrix are skipped
     ([2, 5], [1, 1, 1, 1, 1]),
     ([], [0, 0, 0, 0, 0])])
def test_reader_track_ranges(ends, counts_along_x):
    _, counts, _ = draw(ROW_OF_FIVE, ends)
    np.testing.assert_array_equal(counts[:5, 0], counts_along_x)
    assert counts.sum() == sum(counts_along_x)


@pytest.mark.parametrize("fn", [trakora.rs_draw_tracks, trakora.rs_draw_tracks_value])
def test_too_few_columns_fail_only_when_a_row_is_read(fn):
    two_columns = np.ones((3, 2), f32)
    out = fn(two_columns, np.array([0, 0], np.int32), (0, 10, 0, 10), 1.0)
    assert all(not a.any() for a in out[:-1])
    fn(np.ones((0, 2), f32), np.array([4], np.int32), (0, 10, 0, 10), 1.0)  # range beyond the rows
    with pytest.raises(BaseException) as info:
        fn(two_columns, np.array([1], np.int32), (0, 10, 0, 10), 1.0)
    assert is_panic(info.value)
    assert not isinstance(info.value, Exception)


def test_columns_beyond_those_read_are_ignored():
    rng = np.random.default_rng(3)
    m, ends = random_scene(rng, 10, 8, 10, 3)
    wide = np.hstack([m, rng.normal(size=(len(m), 2)).astype(f32)])
    for a, b in zip(draw(m, ends)[:2], draw(wide, ends)[:2]):
        np.testing.assert_array_equal(a, b)
    mv, ends = random_scene(rng, 10, 8, 10, 4)
    widev = np.hstack([mv, np.full((len(mv), 1), 7, f32)])
    for a, b in zip(draw_value(mv, ends)[:3], draw_value(widev, ends)[:3]):
        np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize("fn", [trakora.rs_draw_tracks, trakora.rs_draw_tracks_value])
def test_negative_end_index_is_refused(fn):
    with pytest.raises(ValueError, match="track_end_indices"):
        fn(np.ones((4, 4), f32), np.array([2, -1, 4], np.int32), (0, 10, 0, 10), 1.0)


# ---- conversion to pixels ------------------------------------------------------------------

@pytest.mark.parametrize("x, ix", [(2.5, 3), (2.49, 2), (-0.4, 0), (0.0, 0), (9.49, 9),
                                   (10.0, None), (9.5, None), (-0.5, None), (-7.0, None),
                                   (np.nan, 0), (np.inf, None), (-np.inf, None), (1e30, None)])
def test_conversion_to_pixel_indices(x, ix):
    values, counts, _ = draw(*points([x, 4.0, 2.0]))
    if ix is None:
        assert counts.sum() == 0
    else:
        assert counts[ix, 4] == 1 and values[ix, 4] == 2.0 and counts.sum() == 1


def test_repeated_positions_keep_the_first_point_of_a_run():
    # (1,1), (1,1), (2,1), (1,1) after conversion: the second point is dropped with its intensity.
    m = np.array([[1.0, 1.0, 5.0], [1.2, 1.1, 7.0], [2.0, 1.0, 1.0], [1.0, 1.0, 3.0]], f32)
    values, counts, _ = draw(m, [4])
    assert (values[1, 1], counts[1, 1]) == (8.0, 2)
    assert (values[2, 1], counts[2, 1]) == (1.0, 1)
    assert counts.sum() == 3


@pytest.mark.parametrize("with_value", [False, True])
def test_track_inside_one_pixel_adds_its_first_point_once(with_value):
    m = np.array([[3.1, 3.0, 2.0, 5.0], [3.2, 2.9, 9.0, 1.0], [2.8, 3.1, 4.0, 2.0]], f32)
    if with_value:
        i, v, c, _ = draw_value(m, [3])
        assert (i[3, 3], v[3, 3], c.sum()) == (2.0, 5.0, 1)
    else:
        values, counts, _ = draw(m[:, :3], [3])
        assert (values[3, 3], counts.sum()) == (2.0, 1)


# ---- grid rule -----------------------------------------------------------------------------

@pytest.mark.parametrize(
    "extent, pixel_size, shape, adjusted",
    [((0, 10, 0, 10), 1.0, (10, 10), (0, 10, 0, 10)),
     ((0, 10, 0, 10), 3.0, (4, 4), (0, 12, 0, 12)),
     ((0, 10.0005, 0, 10.002), 1.0, (10, 11), (0, 10, 0, 11)),  # the 0.999 tolerance
     ((-5, 5, 2, 7), 0.5, (20, 10), (-5, 5, 2, 7)),
     ((0, 10, 5, 1), 1.0, (10, 0), (0, 10, 5, 5)),  # max < min
     ((0, 0.0005, 0, 3), 1.0, (0, 3), (0, 0, 0, 3)),  # a span below a thousandth of a pixel
     ((0, 10, 0, 10, 99, 99), 1.0, (10, 10), (0, 10, 0, 10))])  # extra items are ignored
def test_grid_rule(extent, pixel_size, shape, adjusted):
    m, ends = points([0.5, 0.5, 1.0])
    for out in (draw(m, ends, extent, pixel_size), draw_value(np.hstack([m, m[:, :1]]), ends, extent, pixel_size)):
        assert all(a.shape == shape for a in out[:-1])
        assert out[-1] == pytest.approx(adjusted, abs=1e-6)
        assert all(type(v) is float for v in out[-1])


@pytest.mark.parametrize("fn", [trakora.rs_draw_tracks, trakora.rs_draw_tracks_value])
def test_empty_track_list_gives_zero_arrays(fn):
    out = fn(np.zeros((0, 4), f32), np.zeros(0, np.int32), (0, 7, 0, 5), 1.0)
    assert [a.shape for a in out[:-1]] == [(7, 5)] * (len(out) - 1)
    assert [a.dtype for a in out[:-1]] == [np.float32] * (len(out) - 2) + [np.uint32]
    assert all(not a.any() for a in out[:-1])


@pytest.mark.parametrize("fn", [trakora.rs_draw_tracks, trakora.rs_draw_tracks_value])
@pytest.mark.parametrize("pixel_size", [0.0, -1.0, np.nan, np.inf])
def test_pixel_size_without_a_grid_is_refused(fn, pixel_size):
    with pytest.raises(ValueError, match="pixel_size"):
        fn(np.zeros((1, 4), f32), np.array([1], np.int32), (0, 10, 0, 10), pixel_size)


@pytest.mark.parametrize("fn", [trakora.rs_draw_tracks, trakora.rs_draw_tracks_value])
@pytest.mark.parametrize("extent, pixel_size", [((0, 1e9, 0, 1e9), 1.0), ((0, 1e30, 0, 1e30), 1.0),
                                                ((0, 1.0, 0, 1.0), 1e-30), ((0, 3e38, 0, 0), 1e-30)])
def test_grid_too_large_raises_memory_error(fn, extent, pixel_size):
    with pytest.raises(MemoryError):
        fn(np.zeros((1, 4), f32), np.array([1], np.int32), extent, pixel_size)


def test_extent_errors():
    m, ends = points([1.0, 1.0, 1.0])
    with pytest.raises(TypeError, match="argument 'extent': 'list' object cannot be converted to 'PyTuple'"):
        trakora.rs_draw_tracks(m, ends, [0, 10, 0, 10], 1.0)
    with pytest.raises(IndexError):
        trakora.rs_draw_tracks(m, ends, (0, 10, 0), 1.0)
    with pytest.raises(TypeError, match="argument 'track_end_indices'"):
        trakora.rs_draw_tracks(m, ends.astype(np.uint32), (0, 10, 0, 10), 1.0)


# ---- walks and worked examples -------------------------------------------------------------

@pytest.mark.parametrize("a, b, visited", [((0, 0), (2, 1), [(0, 0), (1, 0)]),
                                           ((2, 1), (0, 0), [(2, 1), (1, 1)]),
                                           ((5, 5), (2, 7), [(5, 5), (4, 5), (3, 6)]),
                                           ((1, 6), (1, 2), [(1, 6), (1, 5), (1, 4), (1, 3)])])
def test_segment_walks(a, b, visited):
    values, counts, _ = draw(np.array([[*a, 1.0], [*b, 1.0]], f32), [2])
    expected = np.zeros((10, 10), np.uint32)
    for p in visited + [b]:
        expected[p] += 1
    np.testing.assert_array_equal(counts, expected)


def test_interpolated_segment():
    values, counts, _ = draw(np.array([[0.0, 0.0, 1.0], [3.0, 0.0, 4.0]], f32), [2])
    np.testing.assert_array_equal(values[:4, 0], [1, 2, 3, 4])
    np.testing.assert_array_equal(counts[:4, 0], [1, 1, 1, 1])
    assert counts.sum() == 4


def test_interpolated_value_segment():
    i, v, c, _ = draw_value(np.array([[0.0, 0.0, 1.0, 10.0], [3.0, 0.0, 4.0, 40.0]], f32), [2])
    np.testing.assert_array_equal(i[:4, 0], [1, 2, 3, 4])
    np.testing.assert_array_equal(v[:4, 0], [10, 20, 30, 40])
    np.testing.assert_array_equal(c[:4, 0], [1, 1, 1, 1])


@pytest.mark.parametrize("m", range(1, 10))
def test_discard_rule_keeps_the_upper_three_quarters(m):
    intensities = np.arange(m, 0, -1, dtype=f32)  # arriving in descending order
    values, counts, _ = draw(*points(*[[4.0, 4.0, x] for x in intensities]))
    assert counts[4, 4] == m
    assert values[4, 4] == sum(range(m // 4 + 1, m + 1))
    i, v, c, _ = draw_value(*points(*[[4.0, 4.0, x, 2.0 * x] for x in intensities]))
    kept = np.arange(m // 4 + 1, m + 1, dtype=f32)
    assert c[4, 4] == m and i[4, 4] == kept.sum()
    assert v[4, 4] == pytest.approx((kept * 2 * kept).sum() / kept.sum(), rel=1e-6)


def test_trimmed_sums_nine_and_six():
    values, counts, _ = draw(*points([2, 2, 4], [2, 2, 1], [2, 2, 3], [2, 2, 2], [5, 5, 1], [5, 5, 2], [5, 5, 3]))
    assert (values[2, 2], counts[2, 2]) == (9.0, 4)
    assert (values[5, 5], counts[5, 5]) == (6.0, 3)


def test_value_mean_sixteen_ninths():
    i, v, c, _ = draw_value(*points([1, 1, 4, 1], [1, 1, 1, 100], [1, 1, 3, 2], [1, 1, 2, 3]))
    assert (i[1, 1], c[1, 1]) == (9.0, 4)
    assert v[1, 1] == f32(16) / f32(9)


@pytest.mark.parametrize("intensities, total", [([0, 0, 0], 0.0), ([-1, -2, 0.5], -2.5), ([0, -0.0], 0.0)])
def test_non_positive_sums_keep_value_zero(intensities, total):
    i, v, c, _ = draw_value(*points(*[[1, 1, x, 5.0] for x in intensities]))
    assert (i[1, 1], v[1, 1], c[1, 1]) == (total, 0.0, len(intensities))


def test_negative_intensities_are_summed_by_the_density_image():
    values, counts, _ = draw(*points([3, 3, -4], [3, 3, 2], [3, 3, 1], [3, 3, -1]))
    assert (values[3, 3], counts[3, 3]) == (2.0, 4)  # -4 is discarded


# ---- NaN -------------------------------------------------------------------------------------

@pytest.mark.parametrize("a, b, expected_counts_x", [(np.nan, 4.0, [0, 0, 0, 1]),
                                                     (1.0, np.nan, [0, 0, 0, 0]),
                                                     (np.nan, np.nan, [0, 0, 0, 0])])
def test_nan_intensity_skips_the_segment(a, b, expected_counts_x):
    values, counts, _ = draw(np.array([[0, 0, a], [3, 0, b]], f32), [2])
    np.testing.assert_array_equal(counts[:4, 0], expected_counts_x)
    assert not np.isnan(values).any()


@pytest.mark.parametrize("column, a, b, expected_counts_x", [(3, np.nan, 40.0, [0, 0, 0, 1]),
                                                             (3, 10.0, np.nan, [0, 0, 0, 0]),
                                                             (2, 1.0, np.nan, [0, 0, 0, 0])])
def test_nan_value_or_intensity_skips_value_entries(column, a, b, expected_counts_x):
    m = np.array([[0, 0, 1, 10], [3, 0, 4, 40]], f32)
    m[0, column], m[1, column] = a, b
    i, v, c, _ = draw_value(m, [2])
    np.testing.assert_array_equal(c[:4, 0], expected_counts_x)
    assert not (np.isnan(i).any() or np.isnan(v).any())


# ---- points outside the grid and far segments ----------------------------------------------

def test_points_before_the_grid_are_outside():
    # From (-3, 2) to (2, 2): only x = 0, 1 of the segment lie inside, with t = 3/5 and 4/5.
    values, counts, _ = draw(np.array([[-3, 2, 0.0], [2, 2, 5.0]], f32), [2])
    np.testing.assert_array_equal(counts[:, 2], [1, 1, 1] + [0] * 7)
    np.testing.assert_array_equal(values[:3, 2], [f32(3) / f32(5) * f32(5), f32(4) / f32(5) * f32(5), 5.0])
    assert counts.sum() == 3


@pytest.mark.parametrize("fn", [trakora.rs_draw_tracks, trakora.rs_draw_tracks_value])
def test_far_segment_is_clipped_with_the_full_walks_weights(fn):
    # The coordinates saturate to the 32-bit limits: N = 2^32 - 1 steps, of which ten are inside.
    m = np.array([[-1e30, 5.0, 1.0, 1.0], [1e30, 5.0, 3.0, 3.0]], f32)
    out = fn(m, np.array([2], np.int32), (0, 10, 0, 10), 1.0)
    counts = out[-2]
    np.testing.assert_array_equal(counts[:, 5], [1] * 10)
    assert counts.sum() == 10
    d = f32(2**32) - f32(1)
    t = np.array([f32(2**31 + x) / d for x in range(10)], f32)
    np.testing.assert_array_equal(out[0][:, 5], f32(1) * (f32(1) - t) + t * f32(3))


# ---- track order ---------------------------------------------------------------------------

@pytest.mark.parametrize("fn, columns", [(trakora.rs_draw_tracks, 3), (trakora.rs_draw_tracks_value, 4)])
def test_track_order_does_not_matter(fn, columns):
    rng = np.random.default_rng(9)
    m, ends = random_scene(rng, 30, 8, 10, columns)
    starts = np.concatenate([[0], ends[:-1]])
    tracks = [m[s:e] for s, e in zip(starts, ends) if e > s]
    order = rng.permutation(len(tracks))
    shuffled = np.vstack([tracks[k] for k in order])
    shuffled_ends = np.cumsum([len(tracks[k]) for k in order]).astype(np.int32)
    expected = fn(np.vstack(tracks), np.cumsum([len(t) for t in tracks]).astype(np.int32), (0, 10, 0, 10), 0.5)
    got = fn(shuffled, shuffled_ends, (0, 10, 0, 10), 0.5)
    for a, b in zip(got[:-1], expected[:-1]):
        np.testing.assert_array_equal(a, b)


# ---- tracks from the linker ------------------------------------------------------------------

def test_linker_output_reads_as_the_same_tracks():
    rng = np.random.default_rng(2)
    truth = rng.uniform(2, 38, (12, 2))
    frames = []
    for f in range(6):
        pos = truth + 0.3 * f
        frames.append(np.hstack([pos, np.full((len(pos), 1), 100.0)]).astype(f32))
    try:
        matrix, ends = trakora.rs_link_points(frames, 1.0, 0, 2.0)
    except NotImplementedError:
        pytest.skip("rs_link_points is not built yet")
    assert ends.dtype == np.uint32
    with pytest.raises(TypeError):
        trakora.rs_draw_tracks(matrix, ends, (0, 40, 0, 40), 1.0)
    ends32 = ends.astype(np.int32)
    arrays, adjusted = reference.draw(matrix, ends32, (0, 40, 0, 40), 1.0, 2, False)
    got = trakora.rs_draw_tracks(matrix, ends32, (0, 40, 0, 40), 1.0)
    for g, r in zip(got[:-1], arrays):
        np.testing.assert_array_equal(g, r)
    assert len(ends) == 12 and int(ends[-1]) == len(matrix) == 72
