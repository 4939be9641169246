"""The workflow's native core against the module's functions: the same tracks and detections,
plus the frame and row of every linked point and the refined flag of every detection; the
interpreter lock released while the kernels run."""
import threading

import numpy as np
import pytest
import trakora
from trakora_workflow import _core


def _random_tables(rng, ndim, n_frames, lattice):
    """Frame tables on a coarse lattice (equal distances, so ties) with empty frames (gaps),
    and sometimes a still point repeated bit for bit in every frame."""
    still = rng.random() < 0.3
    tables = []
    for _ in range(n_frames):
        n = 0 if rng.random() < 0.2 else int(rng.integers(1, 12))
        coords = rng.integers(0, 8, size=(n, ndim)) * lattice if lattice else rng.random((n, ndim)) * 8
        intensity = rng.integers(1, 4, size=(n, 1)).astype(np.float64)
        table = np.hstack([coords, intensity]).astype(np.float32)
        if still:
            table = np.vstack([table, np.float32([[3.0] * ndim + [2.0]])])
        tables.append(table)
    return tables


def _check_provenance(tables, matrix, ends, frames, rows, max_skip):
    for i in range(len(matrix)):
        assert tables[frames[i]][rows[i]].tobytes() == matrix[i].tobytes()
    assert len(set(zip(frames.tolist(), rows.tolist()))) == len(matrix)        # each point once
    starts = np.concatenate([[0], ends[:-1]]).astype(np.int64)
    for a, b in zip(starts, ends.astype(np.int64)):
        gaps = np.diff(frames[a:b])
        assert (gaps >= 1).all() and (gaps <= max_skip + 1).all()


@pytest.mark.parametrize("ndim", [2, 3])
@pytest.mark.parametrize("lattice", [0.5, None])
def test_link_gives_the_module_tracks_and_where_each_point_came_from(ndim, lattice):
    rng = np.random.default_rng(ndim * 10 + (lattice is None))
    for _ in range(150):
        tables = _random_tables(rng, ndim, int(rng.integers(0, 9)), lattice)
        max_distance = float(rng.choice([0.5, 1.0, 1.5, 3.0]))
        max_skip = int(rng.integers(0, 3))
        if ndim == 2:
            ratio = None if rng.random() < 0.5 else float(rng.choice([1.0, 2.0]))
            expected = trakora.rs_link_points(tables, max_distance, max_skip, np.nan if ratio is None else ratio)
        else:
            ratio = None
            expected = trakora.rs_link_points_3d(tables, max_distance, max_skip)
        matrix, ends, frames, rows = _core.link(tables, ndim, max_distance, max_skip, ratio)
        assert matrix.tobytes() == expected[0].tobytes() and matrix.shape == expected[0].shape
        assert ends.tobytes() == expected[1].tobytes() and ends.dtype == expected[1].dtype
        assert frames.dtype == rows.dtype == np.int64
        _check_provenance(tables, matrix, ends, frames, rows, max_skip)


def test_a_still_point_keeps_its_frames_across_a_miss():
    still = (4.0, 4.0, 100.0)
    tables = [np.float32([still, (20.0 + 0.5 * f, 1.0, 50.0)]) for f in range(5)]
    tables[2] = np.float32([(21.0, 1.0, 50.0)])
    matrix, ends, frames, rows = _core.link(tables, 2, 1.0, 1, None)
    track_of_still = [k for k in range(len(ends)) if matrix[ends[k] - 1][0] == 4.0][0]
    start = 0 if track_of_still == 0 else int(ends[track_of_still - 1])
    assert frames[start:ends[track_of_still]].tolist() == [0, 1, 3, 4]
    assert rows[start:ends[track_of_still]].tolist() == [0, 0, 0, 0]


@pytest.mark.parametrize("args, message", [
    (([np.zeros((1, 3), np.float32)], 2, 0.0, 1, None), "max_distance must be a finite number"),
    (([np.zeros((1, 4), np.float32)], 3, 1.0, 1, 2.0), "max_intensity_ratio applies to 2D points only"),
    (([np.zeros((1, 4), np.float32)], 4, 1.0, 1, None), "ndim must be 2 or 3"),
])
def test_link_refuses_what_cannot_work(args, message):
    with pytest.raises(ValueError, match=message):
        _core.link(*args)


def _spots(rng, shape, n, sigma):
    grids = np.meshgrid(*[np.arange(s) for s in shape], indexing="ij")
    image = rng.normal(10, 2, size=shape)
    for _ in range(n):
        centre = [rng.uniform(2, s - 3) for s in shape]
        r2 = sum((g - c) ** 2 for g, c in zip(grids, centre))
        image += rng.uniform(50, 200) * np.exp(-r2 / (2 * sigma**2))
    return image.astype(np.float32)


@pytest.mark.parametrize("ndim", [2, 3])
@pytest.mark.parametrize("method", [None, "radial_symmetry", "gaussian_fitting"])
def test_detect_gives_the_module_detections(ndim, method):
    rng = np.random.default_rng(ndim + 7 * (method is None))
    for k in range(8):
        shape = (48, 40) if ndim == 2 else (14, 20, 18)
        image = _spots(rng, shape, int(rng.integers(1, 12)), float(rng.uniform(1.0, 2.0)))
        if k % 2:
            image = image[::-1, ...]            # strided input
        extent = tuple(float(v) for s in shape for v in (0.0, (s - 1) * 0.5))
        window = int(rng.choice([5, 7]))
        cap = None if k % 3 else int(rng.integers(0, 5))
        if ndim == 2:
            expected = trakora.rs_detect_peaks(image, extent, 30.0, 1.0, method, window, cap)
            got = _core.detect(image, extent, 30.0, 1.0, method, window, cap, None, None)
            assert got[3] is None
        else:
            sigmas = (1.0, 1.0, 1.0) if k % 2 else None
            threshold = 0.2 if sigmas else None
            expected = trakora.rs_detect_peaks3d(image, extent, 30.0, 1.0, window, method, sigmas, threshold, cap)
            got = _core.detect(image, extent, 30.0, 1.0, method, window, cap, sigmas, threshold)
            assert (got[3] is None) == (expected[2] is None)
            if got[3] is not None:
                assert got[3].tobytes() == expected[2].tobytes()
        for a, b in zip(got[:2], expected[:2]):
            assert a.tobytes() == b.tobytes() and a.shape == b.shape
        assert got[2].dtype == bool and len(got[2]) == len(got[1])
        if method is None:
            assert not got[2].any()


def _gaussian(shape, centres, sigma=1.3, amplitude=100.0):
    grids = np.meshgrid(*[np.arange(s) for s in shape], indexing="ij")
    image = np.zeros(shape)
    for c in centres:
        image += amplitude * np.exp(-sum((g - v) ** 2 for g, v in zip(grids, c)) / (2 * sigma**2))
    return image.astype(np.float32)


@pytest.mark.parametrize("centres, refined", [
    ([(15.3, 16.6)], [True]),
    # three spots in each window: several maxima, the pixel kept, not refined
    ([(14.0, 13.0), (14.0, 16.0), (17.0, 14.0)], [False, False, False]),
])
def test_refined_says_whether_the_localizer_placed_the_spot(centres, refined):
    image = _gaussian((32, 32), centres, sigma=1.0)
    positions, _, flags, _ = _core.detect(image, (0.0, 31.0, 0.0, 31.0), 10.0, 1.0, "radial_symmetry", 7, None,
                                          None, None)
    assert flags.tolist() == refined
    on_pixels = (positions == np.round(positions)).all(axis=1)
    assert (on_pixels == ~flags).all()


def test_refined_in_a_volume():
    volume = _gaussian((16, 16, 16), [(7.4, 8.2, 7.7)])
    positions, _, flags, _ = _core.detect(volume, (0.0, 15.0) * 3, 10.0, 1.0, "gaussian_fitting", 7, None, None, None)
    assert flags.tolist() == [True]
    np.testing.assert_allclose(positions[0], (7.4, 8.2, 7.7), atol=0.05)


def test_correlation_is_refused_for_images():
    with pytest.raises(ValueError, match="volumes only"):
        _core.detect(np.zeros((8, 8), np.float32), (0.0, 7.0, 0.0, 7.0), 1.0, 1.0, None, 7, None, (1.0, 1.0, 1.0),
                     None)


@pytest.mark.parametrize("ndim", [2, 3])
def test_render_gives_the_module_images(ndim):
    rng = np.random.default_rng(ndim)
    for _ in range(20):
        n = int(rng.integers(0, 40))
        matrix = np.hstack([rng.random((n, ndim)) * 10, rng.random((n, 1)) * 5]).astype(np.float32)
        cuts = np.sort(rng.choice(np.arange(1, n), size=min(3, max(n - 1, 0)), replace=False)) if n > 1 else []
        ends = np.append(cuts, n).astype(np.int32) if n else np.zeros(0, np.int32)
        valued = np.hstack([matrix, rng.random((n, 1)).astype(np.float32)])
        extent = (0.0, 10.0) * ndim
        size = float(rng.choice([0.5, 1.0, 2.5]))
        if ndim == 2:
            density = trakora.rs_draw_tracks(matrix, ends, extent, size)
            value = trakora.rs_draw_tracks_value(valued, ends, extent, size)
        else:
            density = trakora.rs_draw_tracks_3d(matrix, ends, extent, size)
            value = trakora.rs_draw_tracks_value_3d(valued, ends, extent, size)
        got = _core.render(matrix, ends, valued, extent, size)
        for a, b in zip(got[:4], density[:2] + value[:2]):
            assert a.tobytes() == b.tobytes() and a.shape == b.shape and a.dtype == b.dtype
        assert got[4] == density[2]


def test_render_refuses_what_the_module_refuses():
    with pytest.raises(ValueError) as expected:
        trakora.rs_draw_tracks(np.zeros((2, 3), np.float32), np.array([2], np.int32), (0.0, 1.0, 0.0, 1.0), 0.0)
    with pytest.raises(ValueError) as got:
        _core.render(np.zeros((2, 3), np.float32), np.array([2], np.int32), np.zeros((2, 4), np.float32),
                     (0.0, 1.0, 0.0, 1.0), 0.0)
    assert str(got.value) == str(expected.value)


def _large_link_args():
    rng = np.random.default_rng(0)
    base = rng.random((4000, 2)) * 2000
    tables = [np.hstack([base + rng.normal(0, 0.3, base.shape), np.ones((4000, 1))]).astype(np.float32)
              for _ in range(150)]
    return (tables, 2, 2.0, 1, None)


def _large_detect_args():
    patch = _gaussian((15, 15), [(7.3, 6.8)])
    image = np.tile(patch, (100, 100)) + np.random.default_rng(1).normal(0, 1, (1500, 1500)).astype(np.float32)
    return (image, (0.0, 1499.0, 0.0, 1499.0), 30.0, 2.0, "gaussian_fitting", 7, None, None, None)


def _large_render_args():
    matrix, ends, _, _ = _core.link(*_large_link_args())
    valued = np.hstack([matrix, np.ones((len(matrix), 1), np.float32)])
    return (matrix, ends.astype(np.int32), valued, (0.0, 2000.0, 0.0, 2000.0), 1.0)


@pytest.mark.parametrize("function, arguments", [(_core.link, _large_link_args), (_core.detect, _large_detect_args),
                                                 (_core.render, _large_render_args)])
def test_other_threads_run_while_a_kernel_runs(function, arguments):
    """While the call is in progress (between the two flags), the main thread keeps counting;
    with the lock held it could count only at the edges of the call."""
    args = arguments()
    state = {"started": False, "done": False}

    def call():
        state["started"] = True
        function(*args)
        state["done"] = True

    worker = threading.Thread(target=call)
    during = 0
    worker.start()
    while not state["done"]:
        if state["started"]:
            during += 1
    worker.join()
    assert during > 10_000
