"""Invariants checked on generated inputs: memory layout and thread count do not change any
result; linking makes tracks of at least two points within reach, each point used once;
rendered cells hold exactly the visits of the line walk; detected peaks are separated local
maxima above the threshold, and every candidate left out lies near a kept brighter one."""
import hashlib
import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import trakora

F32 = np.float32
SETTINGS = settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])


# ---- layouts ------------------------------------------------------------------------------

def layouts(a):
    """The same logical array in other memory layouts: Fortran order, negative strides,
    a strided view into a larger buffer, and a misaligned buffer."""
    out = [np.asfortranarray(a)]
    flipped = np.ascontiguousarray(a[tuple(slice(None, None, -1) for _ in range(a.ndim))])
    out.append(flipped[tuple(slice(None, None, -1) for _ in range(a.ndim))])
    big = np.full(tuple(2 * s + 1 for s in a.shape), -7, a.dtype)
    view = big[tuple(slice(1, None, 2) for _ in range(a.ndim))]
    view[...] = a
    out.append(view)
    raw = bytearray(a.nbytes + 3)
    misaligned = np.frombuffer(raw, a.dtype, a.size, offset=3).reshape(a.shape)
    misaligned[...] = a
    out.append(misaligned)
    return out


def canonical(result):
    """Bytes of a result, NaN payloads included, for exact comparison."""
    if isinstance(result, np.ndarray):
        return (result.dtype.str, result.shape, result.tobytes())
    if isinstance(result, tuple):
        return tuple(canonical(r) for r in result)
    if isinstance(result, float):
        return np.float64(result).tobytes()
    return result


def outcome(fn, *args):
    try:
        return canonical(fn(*args))
    except ValueError as e:
        return ("ValueError", str(e))


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
method = st.sampled_from([None, "radial_symmetry", "gaussian_fitting"])


@SETTINGS
@given(images, method, st.sampled_from([3, 5, 7]))
def test_detect_peaks_ignores_layout(image, method, window):
    extent = (0.0, image.shape[0] - 1.0, 0.0, image.shape[1] - 1.0)
    expected = outcome(trakora.rs_detect_peaks, image, extent, 1.0, 1.5, method, window, None)
    for variant in layouts(image):
        assert outcome(trakora.rs_detect_peaks, variant, extent, 1.0, 1.5, method, window, None) == expected


@SETTINGS
@given(volumes, method, st.sampled_from([None, (1.0, 1.0, 1.0)]))
def test_detect_peaks3d_ignores_layout(volume, method, sigmas):
    extent = (0.0, 7.0, 0.0, 7.0, 0.0, 7.0)
    args = (extent, 1.0, 1.5, 3, method, sigmas, None, None)
    expected = outcome(trakora.rs_detect_peaks3d, volume, *args)
    for variant in layouts(volume):
        assert outcome(trakora.rs_detect_peaks3d, variant, *args) == expected


@SETTINGS
@given(st.one_of(images.filter(lambda a: a.size > 0), volumes.filter(lambda a: a.size > 0)))
def test_radial_symmetry_ignores_layout(window):
    fn = trakora.rs_radial_symmetry_2d if window.ndim == 2 else trakora.rs_radial_symmetry_3d
    expected = outcome(fn, window)
    for variant in layouts(window):
        assert outcome(fn, variant) == expected


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
def test_linking_ignores_layout(dims, data):
    frames = data.draw(frame_stacks(dims))
    expected = canonical(link(frames, dims, 1.0, 1, 1e9))
    for i in range(4):
        variant = [layouts(t)[i] if t.size else t for t in frames]
        assert canonical(link(variant, dims, 1.0, 1, 1e9)) == expected


def solve_min_cost(cost):
    """Kuhn-Munkres on the negated matrix, labelling form with per-column slack, with the
    documented search order (lowest column among equal slacks): the reference for ties."""
    n, m = len(cost), len(cost[0]) if cost else 0
    w = [[-c for c in row] for row in cost]
    lx, ly = [max(row) for row in w], [0] * m
    xy, yx = [None] * n, [None] * m
    for root in range(n):
        reached = [None] * m
        rows = [root]
        slack = [lx[root] + ly[c] - w[root][c] for c in range(m)]
        slackx = [root] * m
        while True:
            delta, y, x = 2**63 - 1, 0, 0
            for c in range(m):
                if reached[c] is None and slack[c] < delta:
                    delta, y, x = slack[c], c, slackx[c]
            if delta > 0:
                for r in rows:
                    lx[r] -= delta
                for c in range(m):
                    if reached[c] is not None:
                        ly[c] += delta
                    else:
                        slack[c] -= delta
            reached[y] = x
            if yx[y] is None:
                break
            x2 = yx[y]
            rows.append(x2)
            for c in range(m):
                if reached[c] is None:
                    a = lx[x2] + ly[c] - w[x2][c]
                    if slack[c] > a:
                        slack[c], slackx[c] = a, x2
        c = y
        while c is not None:
            x = reached[c]
            c_next = xy[x]
            yx[c], xy[x] = x, c
            c = c_next
    return xy


def reference_link(frames, dims, max_distance, max_skip, ratio):
    """Every frame pair of every gap solved densely against an empty link table, then merged
    shorter gaps first; chains of two or more points become tracks."""
    points = [row[:dims + 1] for t in frames for row in t]
    index, first = [], 0
    for t in frames:
        index.append(list(range(first, first + len(t))))
        first += len(t)
    md = F32(max_distance)
    unit = int(md * F32(1e6))
    succ, pred = {}, {}
    for gap in range(1, min(max_skip + 1, len(frames)) + 1):
        for f in range(len(frames) - gap):
            src, dst = index[f], index[f + gap]
            n, m = len(src), len(dst)
            if not n or not m:
                continue
            cost = [[10 * unit] * (m + n) for _ in range(n)]
            for r, p in enumerate(src):
                cost[r][m + r] = unit
                for c, q in enumerate(dst):
                    a, b = points[p], points[q]
                    d = [a[i] - b[i] for i in range(dims)]
                    d2 = d[0] * d[0] + d[1] * d[1]
                    if dims == 3:
                        d2 = d2 + d[2] * d[2]
                    if not d2 <= md * md:
                        continue
                    if dims == 2 and (b[2] > F32(ratio) * a[2] or a[2] > F32(ratio) * b[2]):
                        continue
                    cost[r][c] = int(np.sqrt(d2) * F32(1e6))
            for r, c in enumerate(solve_min_cost(cost)):
                if c < m and src[r] not in succ and dst[c] not in pred:
                    succ[src[r]], pred[dst[c]] = dst[c], src[r]
    rows, ends = [], []
    for p in range(len(points)):
        if p not in pred and p in succ:
            while p is not None:
                rows.append(points[p])
                p = succ.get(p)
            ends.append(len(rows))
    return np.array(rows, F32).reshape(len(rows), dims + 1), np.array(ends, np.uint32)


@SETTINGS
@pytest.mark.parametrize("dims", [2, 3])
@given(data=st.data())
def test_linking_matches_the_dense_reference(dims, data):
    frames = data.draw(frame_stacks(dims))
    max_distance = data.draw(st.sampled_from([0.3, 0.5, 1.0, 1.5]))
    max_skip = data.draw(st.sampled_from([0, 1, 2]))
    ratio = data.draw(st.sampled_from([1e9, 3.0, 1.5]))
    matrix, ends = link(frames, dims, max_distance, max_skip, ratio)
    expected_matrix, expected_ends = reference_link(frames, dims, max_distance, max_skip, ratio)
    np.testing.assert_array_equal(ends, expected_ends)
    np.testing.assert_array_equal(matrix, expected_matrix)


# ---- rendering: a plain reference of the grid rule and the line walks -----------------------

def grid(extent, pixel_size, dims):
    ps = F32(pixel_size)
    tol = ps * F32(0.999)
    shape, lo, hi = [], [], []
    for i in range(dims):
        a, b = F32(extent[2 * i]), F32(extent[2 * i + 1])
        n = max(0, int((tol + (b - a)) / ps))
        shape.append(n)
        lo.append(a)
        hi.append(a + ps * F32(n))
    return shape, lo, hi


def grid_index(v, lo, hi, n):
    """Rounded half away from zero, saturated to signed 32 bits (NaN gives 0), in 2D as in
    3D: a point before the grid's start stays outside the grid."""
    with np.errstate(all="ignore"):
        q = float(((F32(v) - lo) / (hi - lo)) * F32(n))
    if math.isnan(q):
        return 0
    if math.isinf(q):
        return 2**31 - 1 if q > 0 else -2**31
    r = int(math.copysign(math.floor(abs(q) + 0.5), q))
    return max(-2**31, min(r, 2**31 - 1))


def walk_2d(a, b):
    """Cells visited from a towards b (not b): Bresenham in its octant form."""
    dx, dy, o = b[0] - a[0], b[1] - a[1], 0
    if dy < 0:
        dx, dy, o = -dx, -dy, o + 4
    if dx < 0:
        dx, dy, o = dy, -dx, o + 2
    if dx < dy:
        o += 1
    to = [lambda p, q: (p, q), lambda p, q: (q, p), lambda p, q: (q, -p), lambda p, q: (-p, q),
          lambda p, q: (-p, -q), lambda p, q: (-q, -p), lambda p, q: (-q, p), lambda p, q: (p, -q)][o]
    back = [lambda u, v: (u, v), lambda u, v: (v, u), lambda u, v: (-v, u), lambda u, v: (-u, v),
            lambda u, v: (-u, -v), lambda u, v: (-v, -u), lambda u, v: (v, -u), lambda u, v: (u, -v)][o]
    (u, v), (ue, ve) = to(*a), to(*b)
    big_dx, big_dy = ue - u, ve - v
    diff = big_dy - big_dx
    for _ in range(big_dx):
        yield back(u, v)
        if diff >= 0:
            v += 1
            diff -= big_dx
        diff += big_dy
        u += 1


def walk_3d(a, b):
    d = [q - p for p, q in zip(a, b)]
    n = max(abs(x) for x in d)
    err = [n // 2] * 3
    cur = list(a)
    for _ in range(n):
        yield tuple(cur)
        for i in range(3):
            err[i] -= abs(d[i])
            if err[i] < 0:
                err[i] += n
                cur[i] += (d[i] > 0) - (d[i] < 0)


def reference_drawing(matrix, ends, extent, pixel_size, dims, with_value):
    """Per cell, the list of (intensity, value) entries that the drawing must collect."""
    shape, lo, hi = grid(extent, pixel_size, dims)
    cells = {}
    start = 0
    for e in ends.tolist():
        rows = matrix[start:max(start, min(e, len(matrix)))]
        start = e
        track = []
        for row in rows:
            idx = tuple(grid_index(row[i], lo[i], hi[i], shape[i]) for i in range(dims))
            if not track or track[-1][0] != idx:
                track.append((idx, row[dims], row[dims + 1] if with_value else F32(0)))

        def add(idx, i, v):
            if math.isnan(i) or math.isnan(v):
                return
            if all(0 <= x < n for x, n in zip(idx, shape)):
                cells.setdefault(idx, []).append((F32(i), F32(v)))

        walk = walk_2d if dims == 2 else walk_3d
        for (ia, a_i, a_v), (ib, b_i, b_v) in zip(track[:-1], track[1:]):
            steps = list(walk(ia, ib))
            denom = F32(len(steps) + 1) - F32(1)
            for k, cell in enumerate(steps):
                t = F32(k) / denom
                add(cell, a_i * (F32(1) - t) + t * b_i, a_v * (F32(1) - t) + t * b_v)
        if track:
            add(*track[-1])
    return shape, cells


def trimmed(entries):
    entries = sorted(entries, key=lambda e: e[0])
    kept = entries[len(entries) // 4:]
    s = w = F32(-0.0)
    for i, v in kept:
        s = s + i
        w = w + i * v
    return s, w, len({i for i, _ in entries}) == len(entries)


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
    shape, cells = reference_drawing(matrix, ends, extent, pixel_size, dims, with_value)
    counts = out[-2]
    assert counts.shape == tuple(shape)
    expected_counts = np.zeros(shape, np.uint32)
    for idx, entries in cells.items():
        expected_counts[idx] = len(entries)
    assert counts.sum() == sum(len(e) for e in cells.values())
    np.testing.assert_array_equal(counts, expected_counts)
    for idx, entries in cells.items():
        s, w, distinct = trimmed(entries)
        if name == "rs_draw_tracks_3d":  # a plain sum in visiting order, nothing discarded
            s = F32(0)
            for i, _ in entries:
                s = s + i
        assert out[0][idx] == s, idx
        if with_value and distinct:
            assert out[1][idx] == (w / s if s > 0 else F32(0)), idx


@SETTINGS
@pytest.mark.parametrize("name,dims,with_value", DRAWING)
@given(data=st.data())
def test_drawing_ignores_layout(name, dims, with_value, data):
    matrix, ends = data.draw(track_matrices(dims, with_value))
    extent = (0.0, 10.0) * dims
    fn = getattr(trakora, name)
    expected = canonical(fn(matrix, ends, extent, 1.0))
    for m, e in zip(layouts(matrix), layouts(ends)):
        assert canonical(fn(m, e, extent, 1.0)) == expected


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


# ---- thread count -------------------------------------------------------------------------------

THREAD_SCRIPT = textwrap.dedent("""
    import hashlib, numpy as np, trakora
    rng = np.random.default_rng(7)
    h = hashlib.sha256()
    def feed(result):
        for r in (result if isinstance(result, tuple) else (result,)):
            h.update(np.asarray(r).tobytes() if r is not None else b"None")
    image = rng.normal(10, 1, (300, 400)).astype(np.float32)
    image[rng.integers(5, 295, 300), rng.integers(5, 395, 300)] += 40
    image[100:104, 100:104] = 60  # a plateau: equal intensities
    noise = rng.normal(0, 1, (400, 400)).astype(np.float32)  # > 16384 candidates: a parallel sort
    feed(trakora.rs_detect_peaks(noise, (0.0, 399.0, 0.0, 399.0), -10.0, 1.5, None, None, None))
    for m in (None, "radial_symmetry", "gaussian_fitting"):
        feed(trakora.rs_detect_peaks(image, (0.0, 299.0, 0.0, 399.0), 14.0, 3.0, m, 7, None))
    volume = rng.normal(10, 1, (40, 50, 60)).astype(np.float32)
    volume[rng.integers(3, 37, 200), rng.integers(3, 47, 200), rng.integers(3, 57, 200)] += 40
    for m in (None, "radial_symmetry", "gaussian_fitting"):
        feed(trakora.rs_detect_peaks3d(volume, (0.0, 39.0, 0.0, 49.0, 0.0, 59.0), 14.0, 2.0, 7, m,
                                       (1.0, 1.0, 1.0), 0.1, None))
    walkers = rng.uniform(0, 50, (400, 3))
    frames2, frames3 = [], []
    for f in range(40):
        walkers += rng.normal(0, 0.3, walkers.shape)
        keep = rng.random(len(walkers)) > 0.1
        pts = walkers[keep]
        frames2.append(np.column_stack([pts[:, :2], rng.uniform(50, 100, len(pts))]).astype(np.float32))
        frames3.append(np.column_stack([pts, rng.uniform(50, 100, len(pts))]).astype(np.float32))
    m2, e2 = trakora.rs_link_points(frames2, 1.0, 2, 3.0)
    m3, e3 = trakora.rs_link_points_3d(frames3, 1.0, 2)
    feed((m2, e2, m3, e3))
    e2, e3 = e2.astype(np.int32), e3.astype(np.int32)
    value2 = np.column_stack([m2, rng.uniform(0, 1, len(m2))]).astype(np.float32)
    value3 = np.column_stack([m3, rng.uniform(0, 1, len(m3))]).astype(np.float32)
    feed(trakora.rs_draw_tracks(m2, e2, (0.0, 50.0, 0.0, 50.0), 0.5))
    feed(trakora.rs_draw_tracks_value(value2, e2, (0.0, 50.0, 0.0, 50.0), 0.5))
    feed(trakora.rs_draw_tracks_3d(m3, e3, (0.0, 50.0, 0.0, 50.0, 0.0, 50.0), 1.0))
    feed(trakora.rs_draw_tracks_value_3d(value3, e3, (0.0, 50.0, 0.0, 50.0, 0.0, 50.0), 1.0))
    feed(trakora.rs_radial_symmetry_2d(image[95:110, 95:110]))
    feed(trakora.rs_radial_symmetry_3d(volume[:9, :9, :9]))
    print(h.hexdigest())
""")


def test_results_do_not_depend_on_the_number_of_threads():
    digests = {}
    for threads in (1, 2, 3, 8):
        env = dict(os.environ, TRAKORA_NUM_THREADS=str(threads))
        run = subprocess.run([sys.executable, "-c", THREAD_SCRIPT], capture_output=True, text=True,
                             env=env, timeout=300)
        assert run.returncode == 0, run.stderr
        digests[threads] = run.stdout.strip()
    assert len(set(digests.values())) == 1, digests
    assert len(digests[1]) == len(hashlib.sha256().hexdigest())
