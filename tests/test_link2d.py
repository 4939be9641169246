"""rs_link_points: frame-pair assignment over all gaps, the merge and the track matrices."""
import numpy as np
import pytest
import reference
import trakora

NAN = float("nan")


def frame(*points):
    """A frame table with rows (x, y, intensity)."""
    return np.array(points, np.float32).reshape(-1, 3)


def link(frames, max_distance=1.0, max_skip=0, ratio=10.0):
    return trakora.rs_link_points(frames, max_distance, max_skip, ratio)


def track(*points):
    """An expected track: (x, y) tuples as the float32 values the linker carries."""
    return [tuple(float(np.float32(c)) for c in p) for p in points]


def tracks_of(result):
    """The tracks as lists of (x, y) tuples."""
    matrix, ends = result
    starts = np.concatenate([[0], ends[:-1]]).astype(int)
    return [[tuple(map(float, row[:2])) for row in matrix[s:e]] for s, e in zip(starts, ends)]


@pytest.mark.parametrize("frames", [
    [],
    [frame((0, 0, 1))],
    [frame(), frame()],
    [np.zeros((0, 1), np.float32), np.zeros((0, 7), np.float32)],
    [frame((0, 0, 1)), frame((5, 5, 1))],
])
def test_no_tracks_gives_a_0x3_matrix(frames):
    matrix, ends = link(frames)
    assert matrix.shape == (0, 3) and matrix.dtype == np.float32
    assert ends.shape == (0,) and ends.dtype == np.uint32


def test_three_frame_track_in_frame_order():
    matrix, ends = link([frame((0, 0, 100)), frame((0.5, 0, 100)), frame((1.0, 0, 100))], 1.0, 0, 2.0)
    np.testing.assert_array_equal(matrix, [[0, 0, 100], [0.5, 0, 100], [1.0, 0, 100]])
    np.testing.assert_array_equal(ends, [3])
    assert matrix.flags.c_contiguous


@pytest.mark.parametrize("max_skip, expected", [(0, []), (1, [track((0, 0), (0.5, 0))]),
                                                (2**64 - 1, [track((0, 0), (0.5, 0))])])
def test_a_link_across_an_empty_frame_needs_max_skip(max_skip, expected):
    assert tracks_of(link([frame((0, 0, 1)), frame(), frame((0.5, 0, 1))], 1.0, max_skip)) == expected


@pytest.mark.parametrize("first, second, ratio, linked", [
    (100, 300, 2.0, False), (300, 100, 2.0, False),
    (100, 300, 3.0, True), (300, 100, 3.0, True),
    (100, NAN, 2.0, True),  # a comparison with NaN is never "greater"
])
def test_intensity_ratio_bounds_links_both_ways(first, second, ratio, linked):
    matrix, ends = link([frame((0, 0, first)), frame((0.5, 0, second))], 1.0, 0, ratio)
    assert len(ends) == int(linked)
    if linked:
        np.testing.assert_array_equal(matrix[:, 2], np.array([first, second], np.float32))


@pytest.mark.parametrize("target, max_distance", [((1.0, 0.0), 1.0), ((0.0, -1.0), 1.0), ((0.3, 0.4), 0.5)])
def test_a_target_at_exactly_max_distance_is_linked(target, max_distance):
    t = np.float32(target)
    d2 = t[0] * t[0] + t[1] * t[1]
    assert d2 == np.float32(max_distance) * np.float32(max_distance)  # the case really is exact
    assert len(link([frame((0, 0, 1)), frame((*target, 1))], max_distance)[1]) == 1


def test_just_beyond_max_distance_is_not_linked():
    beyond = float(np.nextafter(np.float32(1.0), np.float32(2.0)))
    assert len(link([frame((0, 0, 1)), frame((beyond, 0, 1))], 1.0)[1]) == 0


def test_shorter_gaps_win_the_merge():
    a, e = (0.0, 0.0), (0.3, 0.0)
    b = (0.05, 0.0)
    k, d = (0.32, 0.0), (0.3, 0.5)
    frames = [frame((*a, 1), (*e, 1)), frame((*b, 1)), frame((*k, 1), (*d, 1))]
    # The gap-2 pair alone would link A->D and E->K; both are dropped by the merge.
    assert tracks_of(link(frames, 1.0, 1, 10.0)) == [track(a, b, k)]
    assert tracks_of(link([frames[0], frame(), frames[2]], 1.0, 1, 10.0)) == [track(a, d), track(e, k)]


@pytest.mark.parametrize("q2, expected", [
    ((1.1, 0.0), [track((0, 0), (0.5, 0)), track((0.6, 0), (1.1, 0))]),
    ((1.5, 0.0), [track((0.6, 0), (0.5, 0))]),
])
def test_the_whole_frame_pair_is_optimised(q2, expected):
    frames = [frame((0, 0, 1), (0.6, 0, 1)), frame((0.5, 0, 1), (*q2, 1))]
    assert tracks_of(link(frames)) == expected


@pytest.mark.parametrize("sources, targets, expected", [
    ([(0, 0), (1, 0)], [(0.5, 0)], [track((1, 0), (0.5, 0))]),  # the later source keeps the target
    ([(0.5, 0)], [(0, 0), (1, 0)], [track((0.5, 0), (0, 0))]),  # the first target wins
])
def test_ties_follow_the_solver_search_order(sources, targets, expected):
    frames = [frame(*[(*p, 1) for p in sources]), frame(*[(*p, 1) for p in targets])]
    assert tracks_of(link(frames)) == expected


def test_negative_coordinates_near_zero_are_found():
    assert tracks_of(link([frame((-0.5, 0, 1)), frame((0.4, 0, 1))])) == [track((-0.5, 0), (0.4, 0))]
    assert tracks_of(link([frame((-3.2, -7.9, 1)), frame((-2.6, -7.5, 1))])) == [track((-3.2, -7.9), (-2.6, -7.5))]


@pytest.mark.parametrize("bad", [(NAN, 0.0), (0.0, NAN), (float("inf"), 0.0)])
def test_points_without_a_finite_distance_are_never_linked(bad):
    matrix, ends = link([frame((*bad, 1), (5, 5, 1)), frame((0, 0, 1), (5.2, 5, 1)), frame((*bad, 1))], 1.0, 1)
    np.testing.assert_array_equal(ends, [2])
    np.testing.assert_array_equal(matrix[:, :2], np.float32([[5, 5], [5.2, 5]]))


def random_frames(rng, count, points, extent=10.0, columns=3):
    return [np.column_stack([rng.uniform(-1, extent, (n, 2)), rng.uniform(1, 2, n),
                             rng.normal(size=(n, columns - 3))]).astype(np.float32)
            for n in rng.integers(0, points + 1, count)]


def test_huge_max_skip_equals_the_largest_useful_one():
    frames = random_frames(np.random.default_rng(1), 7, 12)
    expected = link(frames, 1.5, 5, 1.5)
    for max_skip in (6, 1000, 2**64 - 1):
        for a, b in zip(link(frames, 1.5, max_skip, 1.5), expected):
            np.testing.assert_array_equal(a, b)


FAR = [1e9, -1e9, 1e30, float("inf"), -float("inf"), NAN]


def with_outliers(rng, frames, dims):
    """Frames with a few far or non-finite points appended, which spread the cells of a
    frame over a huge range of keys."""
    out = []
    for f in frames:
        far = np.column_stack([rng.choice(FAR, (3, dims)), np.ones(3)]).astype(np.float32)
        out.append(np.concatenate([f[:, :dims + 1], far]))
    return out


@pytest.mark.parametrize("seed, max_skip", [(s, k) for s in range(4) for k in range(4)])
@pytest.mark.parametrize("outliers", [False, True])
def test_random_scenes_match_an_independent_model(seed, max_skip, outliers):
    rng = np.random.default_rng(seed)
    frames = random_frames(rng, 8, 40, extent=6.0)
    if outliers:
        frames = with_outliers(rng, frames, 2)
    with np.errstate(all="ignore"):
        expected = reference.link(frames, 2, 1.0, max_skip, 1.4, solve=reference.solve_any_optimum)
    for ours, theirs in zip(link(frames, 1.0, max_skip, 1.4), expected):
        np.testing.assert_array_equal(ours, theirs)


def test_too_few_columns_is_an_internal_failure():
    with pytest.raises(BaseException) as info:
        link([frame((0, 0, 1)), np.zeros((1, 2), np.float32)])
    assert info.type.__name__ == "PanicException" and info.type.__module__ == "pyo3_runtime"
    assert not issubclass(info.type, Exception)
    assert "src/linking" in str(info.value)


@pytest.mark.parametrize("max_distance", [NAN, float("inf"), -float("inf"), 0.0, -1.0, 1e-7, 5e-7, 2e11, 1e30])
def test_unusable_max_distance_raises(max_distance):
    with pytest.raises(ValueError, match="max_distance"):
        link([frame((0, 0, 1)), frame((0, 0, 1))], max_distance)


@pytest.mark.parametrize("max_distance", [1e-6, 1e11])
def test_the_extreme_usable_max_distances_link(max_distance):
    assert len(link([frame((0, 0, 1)), frame((0, 0, 1))], max_distance)[1]) == 1
