"""The tracking workflow: ground-truth recovery, frame bookkeeping, speeds, rendering, scoring."""
import numpy as np
import pandas as pd
import pytest

from trakora_workflow import TrackingParams, link_tables, point_speeds, score, simulate_recording, track
from trakora_workflow.pipeline import TrackingResult


def f32(rows, ncol=3):
    return np.asarray(rows, dtype=np.float32).reshape(-1, ncol)


@pytest.fixture(scope="module")
def recording_2d():
    return simulate_recording(frames=30, shape=(128, 128), n_channels=2, spots_per_channel=6,
                              n_brownian=10, seed=3)


@pytest.fixture(scope="module")
def recording_3d():
    return simulate_recording(frames=12, shape=(20, 48, 48), n_channels=1, spots_per_channel=4,
                              n_brownian=8, spot_sigma=1.3, z_sigma=1.6, seed=5)


# Tolerances: the simulated spots have amplitude 150-250 over noise 8 and sigma 1.3 px;
# the misses are spots closer than about 3 px to another one, which merge into one peak (more
# of them once the band-pass has smoothed the frames).
@pytest.mark.parametrize("preprocess, jaccard", [(False, 0.93), (True, 0.9)])
@pytest.mark.parametrize("method", ["radial_symmetry", "gaussian_fitting"])
def test_2d_workflow_recovers_ground_truth(recording_2d, method, preprocess, jaccard):
    result = track(recording_2d.stack, TrackingParams(localization_method=method, preprocess=preprocess))
    s = score(result, recording_2d.truth)
    assert s["jaccard"] >= jaccard
    assert s["rmse_px"] <= 0.25
    assert s["links_recovered"] >= 0.9
    frames = result.table().groupby("track")["frame"]
    assert (frames.diff().dropna().between(1, 2)).all()   # max_skip 1


# 3D radial symmetry is biased by its gradient rule (a shift along one axis is under-estimated
# and leaks into the others), hence its wider RMSE bound.
@pytest.mark.parametrize("method, rmse", [("radial_symmetry", 0.5), ("gaussian_fitting", 0.35)])
def test_3d_workflow_recovers_ground_truth(recording_3d, method, rmse):
    result = track(recording_3d.stack, TrackingParams(localization_method=method))
    s = score(result, recording_3d.truth, margin=3)
    assert s["jaccard"] >= 0.85
    assert s["rmse_px"] <= rmse
    assert s["links_recovered"] >= 0.8
    assert result.rendering.density.shape == recording_3d.stack.shape[1:]


def test_anisotropic_voxels_are_scored_in_pixels(recording_3d):
    """Planes 2 units apart: positions along z come back in physical units, scores in pixels."""
    params = TrackingParams(pixel_size=0.5, z_step=1.0, preprocess=False, localization_method="radial_symmetry")
    result = track(recording_3d.stack, params)
    s = score(result, recording_3d.truth, margin=3)
    assert s["jaccard"] >= 0.85 and s["rmse_px"] <= 0.5
    z = result.table()["z"]
    assert z.max() <= (recording_3d.stack.shape[1] - 1) * 1.0 and z.max() > 5.0


def _linked_frames(tables, max_skip, ndim=2):
    params = TrackingParams(max_distance=1.0, max_skip=max_skip).resolve((3,) * ndim)
    return link_tables(tables, params, ndim)


def test_frames_survive_linking_with_skipped_frames():
    # particle A at x = 10 + 0.3 f, missing in frame 2; particle B at x = 30 - 0.2 f, missing in 1 and 3
    tables = []
    for f in range(6):
        rows = []
        if f != 2:
            rows.append((10 + 0.3 * f, 5.0, 100.0))
        if f not in (1, 3):
            rows.append((30 - 0.2 * f, 7.0, 120.0))
        tables.append(f32(rows))
    matrix, ends, frames, rows = _linked_frames(tables, max_skip=1)
    assert list(ends) == [5, 9]
    assert list(frames) == [0, 1, 3, 4, 5, 0, 2, 4, 5]
    for i, (f, r) in enumerate(zip(frames, rows)):
        assert tables[f][r].tobytes() == matrix[i].tobytes()


def test_frames_survive_linking_in_3d():
    tables = [f32([(1.0 + 0.1 * f, 2.0, 3.0 + 0.2 * f, 50.0)], 4) if f != 1 else f32([], 4) for f in range(4)]
    matrix, ends, frames, _ = _linked_frames(tables, max_skip=1, ndim=3)
    assert list(ends) == [3] and list(frames) == [0, 2, 3]


def test_identical_rows_in_several_frames_are_resolved_along_the_track():
    still = (4.0, 4.0, 100.0)
    tables = [f32([still, (20.0 + 0.5 * f, 1.0, 50.0)]) for f in range(4)]
    tables[2] = f32([(20.0 + 0.5 * 2, 1.0, 50.0)])          # the still spot is missed in frame 2
    matrix, ends, frames, rows = _linked_frames(tables, max_skip=1)
    still_track = [k for k in range(len(ends)) if matrix[ends[k] - 1][0] == 4.0][0]
    start = 0 if still_track == 0 else ends[still_track - 1]
    assert list(frames[start:ends[still_track]]) == [0, 1, 3]


@pytest.mark.parametrize("ratio, linked", [(None, True), (2.0, False)])
def test_intensity_test_is_off_by_default_even_for_negative_intensities(ratio, linked):
    tables = [f32([(0.0, 0.0, -5.0)]), f32([(0.5, 0.0, -5.0)])]
    params = TrackingParams(max_distance=1.0, max_intensity_ratio=ratio).resolve((3, 3))
    assert len(link_tables(tables, params, 2).track_end_indices) == int(linked)


@pytest.mark.parametrize("interval, expected", [(1.0, [5.0, 4.0, 3.0, 2.0, 2.0]), (0.5, [10.0, 8.0, 6.0, 4.0, 4.0])])
def test_point_speeds(interval, expected):
    # track 0: (0,0) f0 -> (3,4) f1 -> (3,10) f3 ; track 1: (50,0) f0 -> (52,0) f1
    matrix = f32([(0, 0, 1), (3, 4, 1), (3, 10, 1), (50, 0, 1), (52, 0, 1)])
    speed = point_speeds(matrix, np.array([3, 5], np.int32), np.array([0, 1, 3, 0, 1]), interval, 2)
    np.testing.assert_allclose(speed, expected)


def test_rendered_images_keep_the_orientation_of_the_frames():
    """A track along x (columns) at row 5 lights row 5 of the density image, columns 2..8."""
    stack = np.zeros((2, 12, 20), dtype=np.float32)
    params = TrackingParams(threshold=1.0).resolve(stack.shape[1:])
    from trakora_workflow import render_tracks
    matrix = f32([(2.0, 5.0, 10.0), (8.0, 5.0, 10.0)])
    speed = np.array([3.0, 3.0], np.float32)
    r = render_tracks(matrix, np.array([2], np.int32), speed, (12, 20), params)
    assert r.density.shape == (12, 20)
    assert set(np.flatnonzero(r.counts.sum(axis=1))) == {5}
    assert set(np.flatnonzero(r.counts[5])) == set(range(2, 9))
    np.testing.assert_allclose(r.speed[5, 2:9], 3.0)


def test_score_counts_matches_misses_and_links():
    truth = pd.DataFrame({"particle": [0, 0, 0, 1, 1, 1], "frame": [0, 1, 2, 0, 1, 2],
                          "x": [10.0, 11, 12, 30, 30, 30], "y": [10.0, 10, 10, 20, 21, 22]})
    # particle 0 found in all frames (0.1 px off in x) and linked; particle 1 missed in frame 2;
    # one spurious detection in frame 1; particle 1 left unlinked
    tables = [f32([(10.1, 10, 1), (30, 20, 1)]), f32([(11.1, 10, 1), (30, 21, 1), (50, 50, 1)]),
              f32([(12.1, 10, 1)])]
    matrix = f32([(10.1, 10, 1), (11.1, 10, 1), (12.1, 10, 1)])
    ends = np.array([3], np.int32)
    params = TrackingParams(threshold=0.0).resolve((64, 64))
    result = TrackingResult(ndim=2, frame_shape=(64, 64), params=params, tables=tables,
                            refined=[np.ones(len(t), bool) for t in tables], matrix=matrix,
                            track_end_indices=ends, frames=np.array([0, 1, 2]), rows=np.array([0, 0, 0]),
                            speed=np.zeros(3, np.float32), analysis=None, rendering=None, threshold=None)
    s = score(result, truth, radius=1.0, margin=4)
    assert (s["true_positives"], s["false_negatives"], s["false_positives"]) == (5, 1, 1)
    assert s["jaccard"] == pytest.approx(5 / 7)
    assert s["rmse_px"] == pytest.approx(np.sqrt(3 * 0.01 / 5), rel=1e-4)
    assert s["true_links"] == 4 and s["links_recovered"] == pytest.approx(0.5)


def test_table_has_one_row_per_linked_point(recording_2d):
    result = track(recording_2d.stack[:8])
    table = result.table()
    assert list(table.columns) == ["track", "frame", "time", "x", "y", "intensity", "speed"]
    assert len(table) == len(result.matrix)
    assert (table.groupby("track").size() >= 2).all()
    assert table["track"].is_monotonic_increasing


@pytest.mark.parametrize("change, message", [
    ({"pixel_size": 0.0}, "pixel_size"), ({"frame_interval": -1.0}, "frame_interval"),
    ({"max_distance": 0.0}, "max_distance"), ({"max_skip": -1}, "max_skip"),
])
def test_invalid_parameters_are_refused(change, message):
    with pytest.raises(ValueError, match=message):
        TrackingParams(**change)


@pytest.mark.parametrize("shape", [(10,), (4, 4), (2, 2, 2, 2, 8), (2,) * 6])
def test_stacks_of_wrong_dimensionality_are_refused(shape):
    with pytest.raises(ValueError, match="expected a stack"):
        track(np.zeros(shape, np.float32))


@pytest.mark.parametrize("shape, particles", [((256, 256), 40), ((24, 96, 96), 25)])
def test_diffusion_and_drift_are_recovered_from_the_images(shape, particles):
    """End to end: Brownian spots (D = 0.3 px²/frame) that blink (10 % of frames missed) and
    drift at a constant velocity are detected, linked over the gaps, the drift is estimated and
    subtracted, and the MSD fit gives D and n = 1."""
    velocity = (0.3, -0.2, 0.1)[:len(shape)]
    rec = simulate_recording(frames=80, shape=shape, n_channels=0, n_brownian=particles, diffusion=0.3,
                             drift=velocity, blinking=0.1, seed=1)
    # the link distance given (the measured one is checked in test_autotune.py): D of 25-40
    # particles moves by a few percent with the reach
    result = track(rec.stack, TrackingParams(drift=True, max_distance=5.0, max_skip=2, min_length=10))
    fit = result.analysis.fit
    assert fit["D"] == pytest.approx(0.3, rel=0.05) and fit["n"] == pytest.approx(1.0, abs=0.05)
    total = result.summary()["drift"]["total"]
    np.testing.assert_allclose(total, np.array(velocity) * 79, rtol=0.05)


def test_faint_detections_are_kept_only_where_they_extend_a_confirmed_track():
    from trakora_workflow.pipeline import keep_confirmed
    # particle A: faint (5) but bright (50) in frame 2; particle B: faint all along; C: one bright
    # detection alone; D: faint, linked over two frames only
    tables = [f32([(10 + f, 5, 50.0 if f == 2 else 5.0), (40, 30 + 0.5 * f, 5.0)]
                  + ([(70, 70, 60.0)] if f == 1 else []) + ([(90, 90 + f, 5.0)] if f < 2 else []))
              for f in range(5)]
    refined = [np.ones(len(t), bool) for t in tables]
    params = TrackingParams(max_distance=2.0, max_skip=0).resolve((128, 128))
    links = link_tables(tables, params, 2)
    kept_tables, kept_refined, kept = keep_confirmed(tables, refined, links, 20.0, 2)
    assert kept.track_end_indices.tolist() == [5]                       # A only
    assert (kept.matrix[:, 0] == [10, 11, 12, 13, 14]).all()
    for i, (f, r) in enumerate(zip(kept.frames, kept.rows)):
        assert kept_tables[f][r].tobytes() == kept.matrix[i].tobytes()
    assert [len(t) for t in kept_tables] == [1, 2, 1, 1, 1]             # A everywhere, C in frame 1
    assert [len(r) for r in kept_refined] == [len(t) for t in kept_tables]


def test_rendered_images_larger_than_the_memory_available_are_refused_before_any_work(monkeypatch):
    from trakora_workflow import ParameterError, pipeline
    monkeypatch.setattr(pipeline, "available_memory", lambda: 2**20)
    monkeypatch.setattr(pipeline, "_automatic_detection", lambda *a, **k: pytest.fail("frames were read"))
    with pytest.raises(ParameterError, match="render_pixel_size: 0.1 gives rendered images of 641 x 641 pixels"):
        track(np.zeros((3, 64, 64), np.float32), TrackingParams(render_pixel_size=0.1))


class _FailingAt:
    """Frames of an array; reading frame `bad` fails (and counts every read)."""

    def __init__(self, stack, bad):
        from trakora_workflow.io import ArraySource
        self.inner = ArraySource(stack)
        self.bad, self.reads = bad, []

    def source(self):
        from trakora_workflow.errors import InputError
        from trakora_workflow.io import FrameSource
        outer = self

        class Source(FrameSource):
            def read(self, index):
                outer.reads.append(index)
                if index in outer.bad:
                    raise InputError(f"frame {index} is damaged")
                return outer.inner.read(index)
        s = Source()
        s.name, s.shape, s.dtype = "failing", outer.inner.shape, outer.inner.dtype
        return s


@pytest.mark.parametrize("threads", ["1", "2", "3"])
def test_frames_detected_side_by_side_give_the_serial_result_and_are_decoded_once(monkeypatch, recording_2d, threads):
    from trakora_workflow.io import ArraySource
    monkeypatch.setenv("TRAKORA_NUM_THREADS", "1")
    serial = track(ArraySource(recording_2d.stack))
    monkeypatch.setenv("TRAKORA_NUM_THREADS", threads)
    counting = _FailingAt(recording_2d.stack, bad=())
    result = track(counting.source())
    pd.testing.assert_frame_equal(result.table(), serial.table())
    pd.testing.assert_frame_equal(result.detections(), serial.detections())
    assert sorted(counting.reads) == list(range(len(recording_2d.stack)))


@pytest.mark.parametrize("bad", [(17,), (9, 23)])
def test_the_first_unreadable_frame_in_order_is_reported(monkeypatch, recording_2d, bad):
    from trakora_workflow.errors import InputError
    monkeypatch.setenv("TRAKORA_NUM_THREADS", "2")
    with pytest.raises(InputError, match=f"frame {bad[0]} is damaged"):
        track(_FailingAt(recording_2d.stack, bad=bad).source(), TrackingParams(invert=False, diameter=7))
