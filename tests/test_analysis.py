"""Track analysis against tracks with a known answer: simulated Brownian motion (known D,
localization noise, blinking, drift), uniform flow, and small hand-made tables."""
import json
import struct

import numpy as np
import pandas as pd
import pytest

from trakora_workflow.analysis import (analyze, compute_drift, ensemble_msd, filter_tracks,
                                       fit_power_law, msd, subtract_drift, track_speeds)
from trakora_workflow.pictures import save_msd_png, save_overlay_png

DT = 0.1


def simulated_tracks(ndim, *, diffusion=0.0, velocity=None, sigma=0.0, blink=0.0,
                     particles=2000, frames=200, seed=0):
    """Tracks table of particles with diffusion coefficient `diffusion` (per axis step
    variance 2 D DT), moving at `velocity` (space per time) and seen with localization noise
    `sigma` per axis; each is present for a random part of the recording and misses a random
    `blink` fraction of its frames (so tracks skip frames)."""
    rng = np.random.default_rng(seed)
    steps = rng.normal(0.0, np.sqrt(2 * diffusion * DT), (particles, frames, ndim))
    steps[:, 0] = rng.uniform(0, 100, (particles, ndim))
    pos = np.cumsum(steps, axis=1) + rng.normal(0.0, sigma, steps.shape)
    if velocity is not None:
        pos += np.asarray(velocity) * DT * np.arange(frames)[None, :, None]
    start = rng.integers(0, frames // 2, particles)
    stop = start + rng.integers(frames // 4, frames // 2 + 1, particles)
    f = np.arange(frames)
    present = (f >= start[:, None]) & (f < stop[:, None]) & (rng.random((particles, frames)) >= blink)
    track, frame = np.nonzero(present)
    table = pd.DataFrame({"track": track, "frame": frame, "time": frame * DT})
    for k, axis in enumerate("xyz"[:ndim]):
        table[axis] = pos[track, frame, k]
    return table.sample(frac=1.0, random_state=seed)  # the functions must not rely on row order


@pytest.mark.parametrize("ndim", [2, 3])
@pytest.mark.parametrize("seed", [1, 2])
def test_diffusion_coefficient_after_drift_subtraction(ndim, seed):
    d_true = 0.5
    velocity = [1.0, -0.6, 0.4][:ndim]
    # sigma = 0.02: the noise offset 2 ndim sigma^2 is under 1 % of the lag-1 MSD 2 ndim D DT.
    table = simulated_tracks(ndim, diffusion=d_true, velocity=velocity, sigma=0.02, blink=0.2, seed=seed)
    result = analyze(table, ndim=ndim, frame_interval=DT, drift=True, max_lag=20, fit_lags=10)
    assert result.fit["lags_used"] == 10
    assert result.fit["D"] == pytest.approx(d_true, rel=0.05)
    assert result.fit["n"] == pytest.approx(1.0, abs=0.05)
    # Without the drift correction the directed motion shows: the fit is superdiffusive.
    raw = analyze(table, ndim=ndim, frame_interval=DT, max_lag=20, fit_lags=10)
    assert raw.fit["n"] > 1.1
    summary = result.summary()
    json.dumps(summary, allow_nan=False)
    assert summary["tracks_kept"] == table["track"].nunique()
    assert summary["drift"]["total"] == pytest.approx(list(result.drift.iloc[-1]))


@pytest.mark.parametrize("ndim", [2, 3])
def test_drift_of_uniform_flow(ndim):
    velocity = np.array([2.0, -1.5, 0.7][:ndim])
    table = simulated_tracks(ndim, velocity=velocity, sigma=0.05, blink=0.3, particles=300, seed=ndim)
    drift = compute_drift(table)
    frames = np.arange(table["frame"].min(), table["frame"].max() + 1)
    assert drift.index.tolist() == frames.tolist()
    assert list(drift.columns) == list("xyz"[:ndim])
    expected = np.outer((frames - frames[0]) * DT, velocity)
    error = np.abs(drift.to_numpy() - expected).max()
    assert error <= 0.02 * np.abs(expected).max()
    corrected = subtract_drift(table, drift)
    spread = corrected.groupby("track")[list("xyz"[:ndim])].std()
    assert spread.max().max() < 0.2  # each particle now stands still up to its noise


def test_drift_spreads_a_gap_over_the_frames_it_spans():
    table = pd.DataFrame({"track": [1, 1, 1, 2, 2], "frame": [0, 1, 4, 1, 2],
                          "x": [0.0, 1.0, 7.0, 5.0, 8.0], "y": [0.0, 0.0, 3.0, 0.0, 0.0]})
    drift = compute_drift(table)
    # transitions 0->1: 1; 1->2: mean(2, 3) = 2.5; 2->3, 3->4: 2 in x and 1 in y.
    assert drift["x"].tolist() == pytest.approx([0.0, 1.0, 3.5, 5.5, 7.5])
    assert drift["y"].tolist() == pytest.approx([0.0, 0.0, 0.5, 1.5, 2.5])
    with pytest.raises(ValueError, match="frame 9"):
        subtract_drift(pd.DataFrame({"frame": [9], "x": [0.0], "y": [0.0]}), drift)


def hand_table():
    # Track 7 skips frames 2 and 3, track 3 frame 6; track 5 is a single point. Rows scrambled.
    return pd.DataFrame({"track": [7, 3, 7, 7, 3, 5, 3], "frame": [4, 5, 0, 1, 7, 9, 8],
                         "x": [5.0, 0.0, 0.0, 1.0, 2.0, 1.0, 2.0], "y": [0.0] * 6 + [0.0]})


@pytest.mark.parametrize("max_lag, expected", [
    (4, {1: (0.5, 2), 2: (4.0, 1), 3: (10.0, 2), 4: (25.0, 1)}),
    (3, {1: (0.5, 2), 2: (4.0, 1), 3: (10.0, 2)}),
])
def test_msd_counts_lags_in_frames(max_lag, expected):
    table = hand_table()
    e = ensemble_msd(table, max_lag, frame_interval=0.5)
    assert e["lag"].tolist() == list(range(1, max_lag + 1))
    assert e["lag_time"].tolist() == pytest.approx([0.5 * lag for lag in range(1, max_lag + 1)])
    assert e.set_index("lag")["msd"].to_dict() == pytest.approx({k: v[0] for k, v in expected.items()})
    assert e.set_index("lag")["count"].to_dict() == {k: v[1] for k, v in expected.items()}
    per_track = msd(table, max_lag, frame_interval=0.5)
    got = {(t, lag): (m, c) for t, lag, m, c in per_track[["track", "lag", "msd", "count"]].itertuples(index=False)}
    want = {(7, 1): (1.0, 1), (7, 3): (16.0, 1), (7, 4): (25.0, 1),
            (3, 1): (0.0, 1), (3, 2): (4.0, 1), (3, 3): (4.0, 1)}
    assert got == {k: v for k, v in want.items() if k[1] <= max_lag}


def test_track_speeds_and_filter():
    speeds = track_speeds(hand_table(), frame_interval=0.5).set_index("track")
    assert speeds.loc[7, ["length", "duration", "net_speed"]].tolist() == pytest.approx([3, 2.0, 2.5])
    assert speeds.loc[7, "mean_step_speed"] == pytest.approx((1.0 / 0.5 + 4.0 / 1.5) / 2)
    assert speeds.loc[3, ["net_speed", "mean_step_speed"]].tolist() == pytest.approx([2.0 / 1.5, 1.0])
    assert speeds.loc[5, ["net_speed", "mean_step_speed"]].isna().all()
    assert sorted(filter_tracks(hand_table(), 3)["track"].unique()) == [3, 7]
    assert sorted(filter_tracks(hand_table(), 4)["track"].unique()) == []
    assert len(filter_tracks(hand_table(), None)) == 7


@pytest.mark.parametrize("rows", [0, 1, 3])
def test_too_little_data_gives_empty_values_not_errors(rows):
    fit = fit_power_law(ensemble_msd(hand_table().iloc[:rows], 3, 1.0), ndim=2)
    assert np.isnan(fit["A"]) and np.isnan(fit["D"])
    summary = analyze(hand_table().iloc[:rows], frame_interval=1.0, drift=True).summary()
    json.dumps(summary, allow_nan=False)
    assert summary["msd"]["D"] is None


def test_power_law_exponent_and_prefactor():
    t = np.arange(1, 21) * 0.2
    e = pd.DataFrame({"lag": np.arange(1, 21), "lag_time": t, "msd": 3.0 * t ** 1.5, "count": 5})
    fit = fit_power_law(e, ndim=3, max_lag=8)
    assert (fit["A"], fit["n"], fit["D"], fit["lags_used"]) == pytest.approx((3.0, 1.5, 0.5, 8))


def png_size(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", data[16:24])


@pytest.mark.parametrize("shape", [(424, 640), (640, 424), (5, 424, 640)])
def test_figures_are_complete_pngs(tmp_path, shape):
    rng = np.random.default_rng(0)
    frame = rng.normal(100, 5, shape).astype(np.float32)
    tracks = simulated_tracks(2, diffusion=4.0, particles=50, frames=30)
    tracks[["x", "y"]] *= 0.13 * np.array(shape[-1:-3:-1]) / 100
    detections = tracks[["frame", "x", "y"]]
    fig = save_overlay_png(frame, detections, tracks, tmp_path / "overlay.png", pixel_size=0.13,
                           space_unit="µm", frame_index=10)
    width, height = png_size(tmp_path / "overlay.png")
    assert (width > height) == (shape[-1] > shape[-2]) and min(width, height) > 300
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    renderer = FigureCanvasAgg(fig).get_renderer()
    fig.draw(renderer)
    ax = fig.axes[0]
    for label in (ax.xaxis.label, ax.yaxis.label, ax.title):
        assert fig.bbox.contains(*label.get_window_extent(renderer).min)
        assert fig.bbox.contains(*label.get_window_extent(renderer).max)
    assert len(ax.collections[0].get_segments()) == len(tracks) - tracks["track"].nunique()

    result = analyze(tracks, frame_interval=DT, max_lag=10)
    fig = save_msd_png(result.emsd, result.fit, tmp_path / "msd.png", "µm", "s")
    assert min(png_size(tmp_path / "msd.png")) > 300
    assert "n = " in fig.axes[0].get_legend().get_texts()[1].get_text()


@pytest.mark.parametrize("directed, diffusive", [(0.0, True), (2.0, False)])
def test_a_diffusion_coefficient_is_flagged_when_the_motion_is_not_diffusive(directed, diffusive):
    rng = np.random.default_rng(4)
    rows = []
    for track in range(40):
        steps = rng.normal(0, 1, (60, 2)) + np.array([directed, 0.0])
        for f, (x, y) in enumerate(np.cumsum(steps, axis=0)):
            rows.append((track, f, x, y))
    result = analyze(pd.DataFrame(rows, columns=["track", "frame", "x", "y"]))
    assert result.diffusive is diffusive
    assert result.summary()["diffusive"] is diffusive
    assert bool(result.warnings()) is not diffusive
    if not diffusive:
        assert "not diffusive" in result.warnings()[0] and result.fit["n"] > 1.2


@pytest.mark.parametrize("tracks, length, lag", [(40, 60, 59), (5, 60, 9), (3, 21, 2), (1, 2, 1)])
def test_msd_lags_end_where_the_tracks_stop_sampling_them(tracks, length, lag):
    """The default lags: the longest with 30 non-overlapping displacements (a track of S
    frames has (S - 1) // L at lag L), at least two where the frames allow."""
    rows = [(t, f, float(f), 0.0) for t in range(tracks) for f in range(length)]
    result = analyze(pd.DataFrame(rows, columns=["track", "frame", "x", "y"]))
    assert int(result.emsd["lag"].max()) == lag
