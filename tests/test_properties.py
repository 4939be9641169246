"""Invariants checked on generated inputs: linking makes tracks of at least two points within
reach, each point used once, exactly as the dense reference does; rendered cells hold exactly
the visits of the line walks; detected peaks are separated local maxima above the threshold,
and every candidate left out lies near a kept brighter one. (Layout and thread-count
invariance: test_invariance.py.)"""
import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import reference
import trakora

F32 = np.float32
SETTINGS = settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])

values = st.one_of(st.sampled_from([0.0, 1.0, 2.0, 5.0, 10.0, math.nan, -1.0]),
                   st.floats(-100, 100, width=32))


def arrays(dims, max_side):
    """Arrays whose every element is drawn (no fill value): plateaus, NaN and ties from the
    small values, many distinct local maxima from the floats."""
    shapes = hnp.array_shapes(min_dims=dims, max_dims=dims, min_side=0, max_side=max_side)
    plain = hnp.arrays(F32, shapes, elements=values, fill=st.nothing())
    noisy = hnp.arrays(F32, shapes, elements=st.floats(0, 100, width=32), fill=st.nothing())
    return st.one_of(plain, noisy)


images = arrays(2, 14)
volumes = arrays(3, 8)
# ---- linking --------------------------------------------------------------------------------

@st.composite
def frame_stacks(draw, dims):
    """Frames of points on a coarse lattice (ties and exact distances are common). The last
    column numbers the points, so every track row can be traced back to its input row."""
    n_frames = draw(st.integers(0, 6))
    frames, label = [], 1.0
    for _ in range(n_frames):
        rows = draw(st.integers(0, 6))
        coords = draw(hnp.arrays(F32, (rows, dims), elements=st.sampled_from([0.0, 0.25, 0.5, 1.0, 1.25, 2.0, 3.5])))
        labels = np.arange(label, label + rows, dtype=F32)[:, None]
        label += rows
        frames.append(np.hstack([coords, labels]).astype(F32))
    return frames


def link(frames, dims, max_distance, max_skip, ratio):
    if dims == 2:
        return trakora.rs_link_points(frames, max_distance, max_skip, ratio)
    return trakora.rs_link_points_3d(frames, max_distance, max_skip)


@SETTINGS
@pytest.mark.parametrize("dims", [2, 3])
@given(data=st.data())
def test_linked_tracks_are_valid(dims, data):
    frames = data.draw(frame_stacks(dims))
    max_distance = data.draw(st.sampled_from([0.3, 0.5, 1.0, 1.5]))
    max_skip = data.draw(st.sampled_from([0, 1, 2, 2**64 - 1]))
    ratio = data.draw(st.sampled_from([1e9, 3.0, 1.5]))
    matrix, ends = link(frames, dims, max_distance, max_skip, ratio)

    where = {}  # label -> (frame, row, input row)
    for f, table in enumerate(frames):
        for r, row in enumerate(table):
            where[float(row[dims])] = (f, r, row)
    bounds = [0] + ends.astype(np.int64).tolist()
    assert bounds[-1] == matrix.shape[0]
    seen, firsts = set(), []
    for k in range(len(ends)):
        track = matrix[bounds[k]:bounds[k + 1]]
        assert len(track) >= 2
        firsts.append(where[float(track[0, dims])][:2])
        for a, b in zip(track[:-1], track[1:]):
            fa, _, _ = where[float(a[dims])]
            fb, _, _ = where[float(b[dims])]
            assert 1 <= fb - fa <= max_skip + 1
            step = b[:dims] - a[:dims]
            d2 = step[0] * step[0] + step[1] * step[1]
            if dims == 3:
                d2 = d2 + step[2] * step[2]
            assert d2 <= F32(max_distance) * F32(max_distance)
            if dims == 2:
                ia, ib, r = a[2], b[2], F32(ratio)
                assert not (ib > r * ia) and not (ia > r * ib)
        for row in track:
            label = float(row[dims])
            assert label not in seen
            seen.add(label)
            assert row.tobytes() == where[label][2].tobytes()
    assert firsts == sorted(firsts)


@SETTINGS
@pytest.mark.parametrize("dims", [2, 3])
@given(data=st.data())
def test_linking_matches_the_dense_reference(dims, data):
    frames = data.draw(frame_stacks(dims))
    max_distance = data.draw(st.sampled_from([0.3, 0.5, 1.0, 1.5]))
    max_skip = data.draw(st.sampled_from([0, 1, 2]))
    ratio = data.draw(st.sampled_from([1e9, 3.0, 1.5]))
    matrix, ends = link(frames, dims, max_distance, max_skip, ratio)
    expected_matrix, expected_ends = reference.link(frames, dims, max_distance, max_skip, ratio if dims == 2 else None)
    np.testing.assert_array_equal(ends, expected_ends)
    np.testing.assert_array_equal(matrix, expected_matrix)


# ---- rendering ------------------------------------------------------------------------------

@st.composite
def track_matrices(draw, dims, with_value):
    rows = draw(st.integers(0, 10))
    coord = st.one_of(st.integers(-6, 16).map(lambda k: k * 0.5), st.sampled_from([math.nan, -0.4, 9.99, 10.0]))
    number = st.one_of(st.sampled_from([1.0, 2.0, 4.0, 0.0, -1.0, math.nan]), st.floats(-10, 10, width=32))
    columns = [coord] * dims + [number] * (1 + with_value)
    matrix = np.array([[draw(c) for c in columns] for _ in range(rows)], dtype=F32).reshape(rows, len(columns))
    ends = np.array(draw(st.lists(st.integers(0, rows + 2), max_size=5)), dtype=np.int32)
    return matrix, ends


DRAWING = [
    ("rs_draw_tracks", 2, False), ("rs_draw_tracks_value", 2, True),
    ("rs_draw_tracks_3d", 3, False), ("rs_draw_tracks_value_3d", 3, True),
]


@SETTINGS
@pytest.mark.parametrize("name,dims,with_value", DRAWING)
@given(data=st.data())
def test_drawn_cells_hold_exactly_the_walked_visits(name, dims, with_value, data):
    matrix, ends = data.draw(track_matrices(dims, with_value))
    pixel_size = data.draw(st.sampled_from([1.0, 0.5, 2.0, 3.0]))
    extent = tuple(v for _ in range(dims) for v in (0.0, float(data.draw(st.integers(0, 10)))))
    out = getattr(trakora, name)(matrix, ends, extent, pixel_size)
    expected, adjusted = reference.draw(matrix, ends, extent, pixel_size, dims, with_value)
    assert out[-1] == adjusted
    for got, want in zip(out[:-1], expected):
        assert got.dtype == want.dtype and got.shape == want.shape
        np.testing.assert_array_equal(got, want)


# ---- detection --------------------------------------------------------------------------------

def candidates(a, threshold):
    """Interior pixels or voxels that pass the threshold and the neighbourhood test."""
    dims = a.ndim
    found = []
    for idx in np.ndindex(*a.shape):
        if any(i < 1 or i > n - 2 for i, n in zip(idx, a.shape)):
            continue
        v = a[idx]
        if v < threshold:
            continue
        peak = True
        for off in np.ndindex(*(3,) * dims):
            off = tuple(o - 1 for o in off)
            if not any(off):
                continue
            w = a[tuple(i + o for i, o in zip(idx, off))]
            if w > v:
                peak = False
            elif w < v:
                continue
            elif dims == 2:  # ties and NaN: a later neighbour in raster order wins
                peak = off < (0, 0)
            else:
                peak = off[0] < 0 or (off[0] == 0 and off[1] <= 0 and off[2] >= 0)
            if not peak:
                break
        if peak:
            found.append(idx)
    return found


def too_close(p, q, min_distance):
    d = [F32(x) - F32(y) for x, y in zip(p, q)]
    d2 = d[0] * d[0] + d[1] * d[1]
    if len(d) == 3:
        d2 = d2 + d[2] * d[2]
    return d2 < F32(min_distance) * F32(min_distance)


@SETTINGS
@given(st.one_of(images, volumes), st.sampled_from([1.0, 0.0, -5.0, math.nan, 9.5]),
       st.sampled_from([0.0, 1.0, 1.5, 2.0, 3.0, -2.0]))
def test_detected_peaks_are_separated_local_maxima(array, threshold, min_distance):
    if array.ndim == 2:
        extent = (0.0, array.shape[0] - 1.0, 0.0, array.shape[1] - 1.0)
        positions, intensities = trakora.rs_detect_peaks(array, extent, threshold, min_distance, None, None, None)
    else:
        extent = tuple(v for n in array.shape for v in (0.0, n - 1.0))
        positions, intensities, _ = trakora.rs_detect_peaks3d(
            array, extent, threshold, min_distance, None, None, None, None, None)
    cands = candidates(array, F32(threshold))
    kept = [tuple(int(x) for x in p) for p in positions]
    assert np.array_equal(positions, np.array(kept, dtype=F32).reshape(positions.shape))
    assert set(kept) <= set(cands)
    assert [array[k] for k in kept] == intensities.tolist()
    assert np.all(intensities[:-1] >= intensities[1:])
    for i, p in enumerate(kept):
        assert not any(too_close(p, q, min_distance) for q in kept[:i])
    for c in set(cands) - set(kept):  # dropped only in favour of a kept peak at least as bright
        assert any(too_close(c, k, min_distance) and array[k] >= array[c] for k in kept)
    values = [array[c] for c in cands]
    if len(set(values)) == len(values):  # no ties: the greedy order is fully determined
        greedy = []
        for c in sorted(cands, key=lambda c: -array[c]):
            if not any(too_close(c, k, min_distance) for k in greedy):
                greedy.append(c)
        assert kept == greedy
