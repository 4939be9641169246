"""No result of any of the ten functions depends on the memory layout of its inputs (any
strides, negative or not, unaligned or read-only buffers; inputs are never written) or on
the number of worker threads: worked inputs for every function, generated ones for the
array functions, and one script run with several thread counts."""
import hashlib
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import trakora
from reference import layouts
from test_detect2d import spot_image
from test_detect3d import gaussian
from test_link2d import random_frames as random_frames_2d
from test_link3d import random_frames as random_frames_3d
from test_properties import frame_stacks, images, track_matrices, volumes
from test_render2d import random_scene as random_scene_2d
from test_render3d import random_scene as random_scene_3d

F32 = np.float32
LAYOUTS = list(layouts(np.zeros((1, 1), F32)))
METHODS = [None, "radial_symmetry", "gaussian_fitting"]
SETTINGS = settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])


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


def variant(a, layout):
    """`a` in another layout, checked to hold the same values."""
    other = layouts(a)[layout]
    np.testing.assert_array_equal(other, a)
    return other


# ---- worked inputs, one test per function family ------------------------------------------------

@pytest.mark.parametrize("layout", LAYOUTS)
def test_radial_symmetry_2d(layout):
    y, x = np.mgrid[0:7, 0:9]
    a = np.exp(-((y - 3.25) ** 2 + (x - 3.5) ** 2) / (2 * 1.5**2)).astype(F32)
    other = variant(a, layout)
    before = other.copy()
    assert trakora.rs_radial_symmetry_2d(other) == trakora.rs_radial_symmetry_2d(a)
    np.testing.assert_array_equal(other, before)  # inputs are never written


def noisy_frame(shape=(256, 300), seed=1):
    rng = np.random.default_rng(seed)
    centres = rng.uniform(8, np.array(shape) - 8, size=(60, 2))
    img = spot_image(shape, centres, sigma=1.3, amplitude=50.0, background=10.0)
    # Integer-valued noise makes ties between candidates common.
    return np.rint(img + rng.normal(0, 3, shape)).astype(F32)


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("method", METHODS)
def test_detect_peaks(layout, method):
    img = noisy_frame()
    other = variant(img, layout)
    extent = (0.0, img.shape[0] - 1.0, 0.0, img.shape[1] - 1.0)
    expected = trakora.rs_detect_peaks(img, extent, 25.0, 3.0, method, None, None)
    result = trakora.rs_detect_peaks(other, extent, 25.0, 3.0, method, None, None)
    assert len(expected[0]) > 20
    for a, b in zip(result, expected):
        assert a.tobytes() == b.tobytes()


def noisy_volume():
    rng = np.random.default_rng(4)
    vol = rng.normal(10, 2, (18, 40, 50))
    for c in rng.uniform(2, (16, 38, 48), (25, 3)):
        vol += gaussian(vol.shape, c, sigma=1.3, amplitude=30.0)
    return vol.astype(F32)


@pytest.mark.parametrize("layout", LAYOUTS)
def test_detect_peaks3d(layout):
    vol = noisy_volume()
    other = variant(vol, layout)
    extent = (0.0, 17.0, 0.0, 39.0, 0.0, 49.0)
    for method in METHODS:
        args = (extent, 20.0, 2.0, None, method, (1.3, 1.3, 1.3), None, None)
        expected = trakora.rs_detect_peaks3d(vol, *args)
        result = trakora.rs_detect_peaks3d(other, *args)
        assert len(expected[0]) > 15
        for a, b in zip(result, expected):
            assert a.tobytes() == b.tobytes()


DRAWING = [("rs_draw_tracks", 2, 3), ("rs_draw_tracks_value", 2, 4),
           ("rs_draw_tracks_3d", 3, 4), ("rs_draw_tracks_value_3d", 3, 5)]


@pytest.mark.parametrize("name, dims, columns", DRAWING)
@pytest.mark.parametrize("layout", LAYOUTS)
def test_drawing(name, dims, columns, layout):
    rng = np.random.default_rng(5)
    scene = random_scene_2d if dims == 2 else random_scene_3d
    m, ends = scene(rng, 20, 10, 15, columns)
    fn = getattr(trakora, name)
    extent = (0.0, 15.0) * dims
    expected = fn(m, ends, extent, 1.0)
    got = fn(variant(m, layout), variant(ends, layout), extent, 1.0)
    assert got[-1] == expected[-1]
    for a, b in zip(got[:-1], expected[:-1]):
        np.testing.assert_array_equal(a, b)


def link(frames, dims, *args):
    if dims == 2:
        return trakora.rs_link_points(frames, *args)
    return trakora.rs_link_points_3d(frames, *args[:2])


@pytest.mark.parametrize("dims", [2, 3])
@pytest.mark.parametrize("layout", LAYOUTS + ["wider"])
def test_linking(dims, layout):
    rng = np.random.default_rng(2)
    if dims == 2:
        frames = random_frames_2d(rng, 6, 30, columns=5)
    else:
        frames = [np.column_stack([f, rng.normal(size=(len(f), 2))]).astype(F32)
                  for f in random_frames_3d(rng, 6, 25, 3.0)]
    expected = link(frames, dims, 1.2, 2, 1.5)
    if layout == "wider":  # columns after x, y[, z], intensity are never read
        frames = [f[:, :dims + 1].copy() for f in frames]
    else:
        frames = [variant(f, layout) if f.size else f for f in frames]
    for a, b in zip(link(frames, dims, 1.2, 2, 1.5), expected):
        np.testing.assert_array_equal(a, b)


# ---- generated inputs ---------------------------------------------------------------------------

method = st.sampled_from(METHODS)


@SETTINGS
@given(images, method, st.sampled_from([3, 5, 7]))
def test_detect_peaks_generated(image, method, window):
    extent = (0.0, image.shape[0] - 1.0, 0.0, image.shape[1] - 1.0)
    expected = outcome(trakora.rs_detect_peaks, image, extent, 1.0, 1.5, method, window, None)
    for other in layouts(image).values():
        assert outcome(trakora.rs_detect_peaks, other, extent, 1.0, 1.5, method, window, None) == expected


@SETTINGS
@given(volumes, method, st.sampled_from([None, (1.0, 1.0, 1.0)]))
def test_detect_peaks3d_generated(volume, method, sigmas):
    args = ((0.0, 7.0, 0.0, 7.0, 0.0, 7.0), 1.0, 1.5, 3, method, sigmas, None, None)
    expected = outcome(trakora.rs_detect_peaks3d, volume, *args)
    for other in layouts(volume).values():
        assert outcome(trakora.rs_detect_peaks3d, other, *args) == expected


@SETTINGS
@given(st.one_of(images.filter(lambda a: a.size > 0), volumes.filter(lambda a: a.size > 0)))
def test_radial_symmetry_generated(window):
    fn = trakora.rs_radial_symmetry_2d if window.ndim == 2 else trakora.rs_radial_symmetry_3d
    expected = outcome(fn, window)
    for other in layouts(window).values():
        assert outcome(fn, other) == expected


@SETTINGS
@pytest.mark.parametrize("dims", [2, 3])
@given(data=st.data())
def test_linking_generated(dims, data):
    frames = data.draw(frame_stacks(dims))
    expected = canonical(link(frames, dims, 1.0, 1, 1e9))
    for layout in LAYOUTS:
        others = [layouts(t)[layout] if t.size else t for t in frames]
        assert canonical(link(others, dims, 1.0, 1, 1e9)) == expected


@SETTINGS
@pytest.mark.parametrize("name, dims, with_value", [(n, d, c == d + 2) for n, d, c in DRAWING])
@given(data=st.data())
def test_drawing_generated(name, dims, with_value, data):
    matrix, ends = data.draw(track_matrices(dims, with_value))
    extent = (0.0, 10.0) * dims
    fn = getattr(trakora, name)
    expected = canonical(fn(matrix, ends, extent, 1.0))
    for m, e in zip(layouts(matrix).values(), layouts(ends).values()):
        assert canonical(fn(m, e, extent, 1.0)) == expected


# ---- thread count -------------------------------------------------------------------------------

THREAD_SCRIPT = textwrap.dedent("""
    import hashlib, numpy as np, trakora
    rng = np.random.default_rng(7)
    h = hashlib.sha256()
    def feed(result):
        for r in (result if isinstance(result, tuple) else (result,)):
            h.update(np.asarray(r).tobytes() if r is not None else b"None")
    # Detection: many ties; more than 16384 candidates, so that the sort runs in parallel.
    ties = np.random.default_rng(5).integers(0, 50, size=(700, 900)).astype(np.float32)
    for method in (None, "radial_symmetry", "gaussian_fitting"):
        for dist in (0.0, 3.0):
            feed(trakora.rs_detect_peaks(ties, (0.0, 699.0, 0.0, 899.0), 20.0, dist, method, None, None))
    ties3 = np.random.default_rng(9).integers(0, 40, size=(40, 90, 100)).astype(np.float32)
    sizes = []
    for method in (None, "radial_symmetry", "gaussian_fitting"):
        for dist in (0.0, 3.0):
            out = trakora.rs_detect_peaks3d(ties3, (0.0, 39.0, 0.0, 89.0, 0.0, 99.0), 20.0, dist, None, method,
                                            (1.0, 1.0, 1.0), 0.1, None)
            sizes.append(len(out[0]))
            feed(out)
    image = rng.normal(10, 1, (300, 400)).astype(np.float32)
    image[rng.integers(5, 295, 300), rng.integers(5, 395, 300)] += 40
    image[100:104, 100:104] = 60  # a plateau: equal intensities
    noise = rng.normal(0, 1, (400, 400)).astype(np.float32)
    feed(trakora.rs_detect_peaks(noise, (0.0, 399.0, 0.0, 399.0), -10.0, 1.5, None, None, None))
    for m in (None, "radial_symmetry", "gaussian_fitting"):
        feed(trakora.rs_detect_peaks(image, (0.0, 299.0, 0.0, 399.0), 14.0, 3.0, m, 7, None))
    volume = rng.normal(10, 1, (40, 50, 60)).astype(np.float32)
    volume[rng.integers(3, 37, 200), rng.integers(3, 47, 200), rng.integers(3, 57, 200)] += 40
    for m in (None, "radial_symmetry", "gaussian_fitting"):
        feed(trakora.rs_detect_peaks3d(volume, (0.0, 39.0, 0.0, 49.0, 0.0, 59.0), 14.0, 2.0, 7, m,
                                       (1.0, 1.0, 1.0), 0.1, None))
    # Linking: walkers, and a dense crowd in 2D and 3D.
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
    crowd = np.random.default_rng(4)
    pos = crowd.uniform(0, 60, (800, 2))
    flat, flat3 = [], []
    for f in range(40):
        pos = pos + crowd.normal(0, 0.3, pos.shape)
        keep = crowd.random(len(pos)) > 0.05
        flat.append(np.column_stack([pos[keep], np.ones(keep.sum())]).astype(np.float32))
        flat3.append(np.column_stack([pos[keep], pos[keep, :1] * 0, np.ones(keep.sum())]).astype(np.float32))
    feed(trakora.rs_link_points(flat, 1.0, 2, 2.0) + trakora.rs_link_points_3d(flat3, 1.0, 2))
    # Drawing the linked tracks.
    e2, e3 = e2.astype(np.int32), e3.astype(np.int32)
    value2 = np.column_stack([m2, rng.uniform(0, 1, len(m2))]).astype(np.float32)
    value3 = np.column_stack([m3, rng.uniform(0, 1, len(m3))]).astype(np.float32)
    feed(trakora.rs_draw_tracks(m2, e2, (0.0, 50.0, 0.0, 50.0), 0.5))
    feed(trakora.rs_draw_tracks_value(value2, e2, (0.0, 50.0, 0.0, 50.0), 0.5))
    feed(trakora.rs_draw_tracks_3d(m3, e3, (0.0, 50.0, 0.0, 50.0, 0.0, 50.0), 1.0))
    feed(trakora.rs_draw_tracks_value_3d(value3, e3, (0.0, 50.0, 0.0, 50.0, 0.0, 50.0), 1.0))
    feed(trakora.rs_radial_symmetry_2d(image[95:110, 95:110]))
    feed(trakora.rs_radial_symmetry_3d(volume[:9, :9, :9]))
    print(min(sizes), h.hexdigest())
""")


def test_results_do_not_depend_on_the_number_of_threads():
    digests = {}
    for threads in (1, 2, 3, 8):
        env = dict(os.environ, TRAKORA_NUM_THREADS=str(threads))
        run = subprocess.run([sys.executable, "-c", THREAD_SCRIPT], capture_output=True, text=True,
                             env=env, timeout=600)
        assert run.returncode == 0, run.stderr
        digests[threads] = run.stdout.strip()
    assert len(set(digests.values())) == 1, digests
    fewest, digest = digests[1].split()
    assert int(fewest) > 1000 and len(digest) == len(hashlib.sha256().hexdigest())
