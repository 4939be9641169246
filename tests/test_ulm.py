"""Ultrasound localization microscopy: block files, the clutter filter, the anisotropic
localizer, tracks and maps, the end-to-end scores on the simulator and the command's
failures."""
import contextlib
import io

import numpy as np
import pandas as pd
import pytest

from trakora_workflow import _core
from trakora_workflow.cli import main
from trakora_workflow.errors import InputError, ParameterError
from trakora_workflow.ulm import (UlmParams, filter_block, read_block, render_maps, run_ulm, score_ulm,
                                  simulate_ulm, smooth_tracks, write_blocks, write_matlab_hdf5)

LAMBDA = 0.1


@pytest.fixture(scope="module")
def small_sim():
    return simulate_ulm(frames=300, wavelength=LAMBDA, seed=3)


def _params(sim, **kw):
    return UlmParams(wavelength=LAMBDA, pixel_size=sim.pixel_size, frame_rate=sim.frame_rate, **kw)


# ------------------------------------------------------------------ block files

def _write(fmt, path, iq_mdl, sim):
    """iq_mdl: depth x lateral x frames (MATLAB's layout)."""
    settings = dict(frame_rate=sim.frame_rate, pixel_size=sim.pixel_size)
    if fmt == "mat5":
        import scipy.io
        scipy.io.savemat(path, {"IQ": iq_mdl, "notes": np.ones((2, 2)), **settings})
    elif fmt == "mat73":
        write_matlab_hdf5(path, "IQ", iq_mdl, settings, userblock=True)
    elif fmt == "h5":
        write_matlab_hdf5(path, "IQ", iq_mdl, settings)
    else:
        np.save(path, np.transpose(iq_mdl, (2, 0, 1)))


@pytest.mark.parametrize("fmt,suffix", [("mat5", ".mat"), ("mat73", ".mat"), ("h5", ".h5"), ("npy", ".npy")])
def test_every_format_gives_the_same_block_and_result(tmp_path, small_sim, fmt, suffix):
    iq = small_sim.iq[:150]
    paths = []
    for k, start in enumerate((0, 75)):
        path = tmp_path / f"blk{k + 1}{suffix}"
        _write(fmt, path, np.transpose(iq[start:start + 75], (1, 2, 0)), small_sim)
        paths.append(str(path))
    block = read_block(paths[1])
    assert block.data.dtype == np.complex64 and block.info.complex
    np.testing.assert_array_equal(block.data, iq[75:150])
    if fmt != "npy":
        assert block.info.settings["frame_rate"] == small_sim.frame_rate
        assert block.info.settings["pixel_size"] == pytest.approx(small_sim.pixel_size)
    # stored settings stand in for the options where the file has them
    given = _params(small_sim, svd_cutoff=3) if fmt == "npy" else UlmParams(wavelength=LAMBDA, svd_cutoff=3)
    result = run_ulm(paths, given)
    assert len(result.localizations) > 50
    # the same two blocks written as .npy (frames x depth x lateral), options in place of settings
    npy = []
    for k, start in enumerate((0, 75)):
        np.save(tmp_path / f"ref{k}.npy", iq[start:start + 75])
        npy.append(tmp_path / f"ref{k}.npy")
    same = run_ulm(npy, _params(small_sim, svd_cutoff=3))
    pd.testing.assert_frame_equal(result.localizations, same.localizations)
    pd.testing.assert_frame_equal(result.tracks, same.tracks)


def test_the_block_variable_is_found_and_named(tmp_path, small_sim):
    import scipy.io
    iq = np.transpose(small_sim.iq[:20], (1, 2, 0))
    path = tmp_path / "two.mat"
    scipy.io.savemat(path, {"IQ": iq, "Other": np.abs(iq)})
    assert read_block(path).info.variable == "IQ"               # the one complex array
    env = read_block(path, "Other")
    assert not env.info.complex and env.data.dtype == np.float32
    np.testing.assert_allclose(env.data, np.abs(small_sim.iq[:20]), rtol=1e-6)
    with pytest.raises(InputError, match="no 3-D numeric array named 'Nope'"):
        read_block(path, "Nope")


# ------------------------------------------------------------------ clutter filter

@pytest.mark.parametrize("rank,frames", [(1, 120), (2, 120), (5, 120), (3, 400), (8, 400)])
def test_svd_cutoff_finds_the_clutter_rank(rank, frames):
    """Tissue of an exact rank (its strongest mode 40 dB over the bubbles, its weakest 25 dB)
    on the simulator's bubbles and noise: the cut-off read off the curve is that rank, and
    the envelope left holds bubbles and noise only."""
    sim = simulate_ulm(frames=frames, shape=(40, 48), clutter_rank=0, seed=rank)
    rng = np.random.default_rng(rank)
    levels = 10 ** (np.linspace(40, 25, rank) / 20)
    u = rng.standard_normal((frames, rank)) + 1j * rng.standard_normal((frames, rank))
    v = rng.standard_normal((rank, 40 * 48)) + 1j * rng.standard_normal((rank, 40 * 48))
    tissue = ((u * levels / np.sqrt(2)) @ (v / np.sqrt(2))).reshape(frames, 40, 48).astype(np.complex64)
    res = filter_block(sim.iq + tissue)
    assert res.cutoff == rank
    clean = filter_block(sim.iq, cutoff=0).envelope
    assert np.median(res.envelope) == pytest.approx(np.median(clean), rel=0.1)
    assert np.median(np.abs(tissue)) > 100 * np.median(clean)


def test_svd_cutoff_given_and_out_of_range():
    sim = simulate_ulm(frames=50, shape=(30, 30), clutter_rank=2, seed=1)
    assert filter_block(sim.iq, cutoff=5).cutoff == 5
    with pytest.raises(ParameterError, match="svd_cutoff"):
        filter_block(sim.iq, cutoff=50)


# ------------------------------------------------------------------ anisotropic localizer

def _spots(n, shape, sigma, rng, noise=0.02, min_gap=None):
    rows, cols = shape
    stack = np.zeros((n, rows, cols), np.float32)
    truth = []
    r, c = np.mgrid[0:rows, 0:cols]
    for f in range(n):
        z, x = rng.uniform(10, rows - 10), rng.uniform(15, cols - 15)
        stack[f] = np.exp(-(r - z) ** 2 / (2 * sigma[0] ** 2) - (c - x) ** 2 / (2 * sigma[1] ** 2))
        truth.append((z, x))
    stack += np.abs(rng.normal(0, noise, stack.shape)).astype(np.float32)
    return stack, np.array(truth)


@pytest.mark.parametrize("method,tolerance", [("gaussian", 0.06), ("radial", 0.25)])
def test_anisotropic_localizer_against_truth(method, tolerance):
    rng = np.random.default_rng(5)
    sigma = (1.8, 3.6)
    stack, truth = _spots(60, (48, 64), sigma, rng)
    frame, row, col, amp, sr, sc, counts = _core.localize_spots(stack, 0.3, 4, 7, 1.8, 3.6, 0.5, method, 0.9, 1.8)
    assert list(frame) == list(range(60)) and counts == (60, 0, 0)
    err = np.hypot(row - truth[:, 0], col - truth[:, 1])
    assert np.sqrt(np.mean(err ** 2)) < tolerance
    if method == "gaussian":      # widths per axis and the amplitude come out of the fit
        assert np.median(sr) == pytest.approx(1.8, rel=0.05) and np.median(sc) == pytest.approx(3.6, rel=0.05)
        assert np.median(amp) == pytest.approx(1.0, rel=0.05)


@pytest.mark.parametrize("gap,kept", [((0, 4), 0), ((4, 0), 0), ((0, 20), 2), ((12, 0), 2)])
def test_crowded_windows_are_dropped(gap, kept):
    rows, cols = np.mgrid[0:50, 0:80]
    frame = np.zeros((1, 50, 80), np.float32)
    for dz, dx in ((0, 0), gap):
        frame[0] += np.exp(-(rows - 20 - dz) ** 2 / (2 * 1.5 ** 2) - (cols - 30 - dx) ** 2 / (2 * 1.5 ** 2))
    # a window of 4 x 8 half sizes: 4 columns apart is inside it, 20 is outside, 4 rows inside, 12 outside
    out = _core.localize_spots(frame, 0.2, 4, 8, 1.5, 1.5, 0.5, "gaussian", 0.0, 0.0)
    assert len(out[0]) == kept
    assert out[6][1] == 2 - kept


@pytest.mark.parametrize("stack,kwargs,error", [
    (np.zeros((2, 8, 8), np.float64), {}, TypeError),
    (np.zeros((2, 8, 8), np.float32), {"half_rows": 0}, ValueError),
    (np.zeros((2, 8, 8), np.float32), {"sigma_cols": float("nan")}, ValueError),
    (np.zeros((2, 8, 8), np.float32), {"sigma_rows": 1e-30}, ValueError),
    (np.zeros((2, 8, 8), np.float32), {"threshold": float("nan")}, ValueError),
    (np.zeros((2, 8, 8), np.float32), {"method": "centroid"}, ValueError),
    (np.zeros((2, 8, 8), np.float32), {"smooth_rows": -1.0}, ValueError),
])
def test_localizer_rejects_bad_arguments(stack, kwargs, error):
    args = dict(threshold=0.1, half_rows=2, half_cols=2, sigma_rows=1.0, sigma_cols=1.0, crowd_ratio=0.5,
                method="gaussian", smooth_rows=0.0, smooth_cols=0.0)
    args.update(kwargs)
    with pytest.raises(error):
        _core.localize_spots(stack, **args)


@pytest.mark.parametrize("fill", [np.nan, np.inf, -np.inf, 0.0, 1e30])
def test_localizer_survives_hostile_frames(fill):
    rng = np.random.default_rng(0)
    stack = rng.random((3, 20, 2000 // 100), dtype=np.float32)
    stack[:, ::3, ::2] = fill
    out = _core.localize_spots(stack, -1e38, 3, 3, 1.0, 1.0, 0.0, "gaussian", 1.0, 1.0)
    assert all(np.isfinite(out[1])) and all(np.isfinite(out[2]))
    tiny = _core.localize_spots(np.ones((2, 2, 2), np.float32), 0.0, 3, 3, 1.0, 1.0, 0.5, "radial", 0.0, 0.0)
    assert len(tiny[0]) == 0


# ------------------------------------------------------------------ tracks and maps

def test_line_fit_velocity_is_unbiased_where_raw_steps_are_not():
    rng = np.random.default_rng(2)
    n, v, rate, noise = 400, 5.0, 1000.0, 0.002      # 5 mm/s, 5 um steps, 2 um localization noise
    f = np.arange(n)
    tracks = pd.DataFrame({"track": f // 40, "frame": f, "x": v * f / rate + rng.normal(0, noise, n),
                           "z": rng.normal(0, noise, n)})
    smooth = smooth_tracks(tracks, 9, rate)
    raw = np.hypot(np.diff(tracks.x), np.diff(tracks.z))[np.diff(tracks.track) == 0] * rate
    assert np.median(raw) > 1.1 * v                   # noise inflates step speeds
    assert np.median(smooth.speed) == pytest.approx(v, rel=0.05)
    assert np.median(smooth.vx) == pytest.approx(v, rel=0.05)


def test_each_track_counts_once_per_pixel():
    p = UlmParams(wavelength=1.0, pixel_size=0.1, frame_rate=100.0).resolve()
    # track 0 dwells on one pixel for 30 frames, track 1 crosses the map in big steps
    t0 = pd.DataFrame({"track": 0, "frame": np.arange(30), "x": 0.5, "z": 0.5})
    t1 = pd.DataFrame({"track": 1, "frame": np.arange(5), "x": np.arange(5) * 0.9, "z": 1.0})
    tracks = smooth_tracks(pd.concat([t0, t1], ignore_index=True), 5, 100.0)
    maps = render_maps(tracks, (21, 41), p)
    assert maps.density.shape == (21, 41) and maps.extent == (0.0, pytest.approx(4.0), 0.0, pytest.approx(2.0))
    assert maps.density.max() == 1
    assert maps.density[5, 5] == 1
    row = maps.density[10]
    assert (row[:37] == 1).all() and (row[37:] == 0).all()   # interpolated: no gap between 0.9 steps
    assert maps.velocity[10, 20] == pytest.approx(90.0, rel=1e-6)
    assert maps.direction[10, 20] == 0 and maps.direction[5, 5] == 0


# ------------------------------------------------------------------ end to end

def test_end_to_end_scores_on_the_simulator(tmp_path):
    sim = simulate_ulm(frames=400, wavelength=LAMBDA, snr=20, seed=11)
    paths = write_blocks(sim, tmp_path / "blocks", frames_per_block=200, fmt="mat")
    out = tmp_path / "out"
    result = run_ulm(paths, UlmParams(wavelength=LAMBDA), out=out)
    s = score_ulm(result, sim.truth, LAMBDA)
    assert s["jaccard"] >= 0.6
    assert s["rmse"] <= LAMBDA / 12
    assert s["median_abs_speed_error"] <= 0.05
    assert result.cutoffs == [3, 3]
    names = {p.name for p in out.iterdir()}
    for name in ("localizations.csv", "tracks.csv", "density.npy", "density.tif", "velocity.tif", "direction.npy",
                 "density.png", "velocity.png", "direction.png", "summary.json"):
        assert name in names
    import json
    import tifffile
    summary = json.loads((out / "summary.json").read_text())
    assert summary["svd_cutoff"] == [3, 3] and summary["parameters"]["frame_rate"] == 1000.0
    density = np.load(out / "density.npy")
    np.testing.assert_array_equal(tifffile.imread(out / "density.tif"), density)
    assert density.dtype == np.float32 and density.sum() > 0
    locs = pd.read_csv(out / "localizations.csv")
    assert list(locs.columns) == ["frame", "time", "x", "z", "intensity"]
    assert list(pd.read_csv(out / "tracks.csv").columns) == ["track", "frame", "time", "x", "z", "vx", "vz", "speed"]


# ------------------------------------------------------------------ the command's failures

def _cli(argv):
    err = io.StringIO()
    with contextlib.redirect_stderr(err), contextlib.redirect_stdout(io.StringIO()):
        rc = main(argv)
    return rc, err.getvalue().strip().splitlines()


def _bad_inputs(tmp, sim):
    import scipy.io
    good = tmp / "good.mat"
    scipy.io.savemat(good, {"IQ": np.transpose(sim.iq[:20], (1, 2, 0))})
    no_iq = tmp / "noiq.mat"
    scipy.io.savemat(no_iq, {"image": np.ones((10, 10)), "rate": 1000.0})
    other = tmp / "other.mat"
    scipy.io.savemat(other, {"IQ": np.transpose(sim.iq[:20, :50], (1, 2, 0))})
    full = tmp / "full.mat"
    write_matlab_hdf5(full, "IQ", np.transpose(sim.iq[:20], (1, 2, 0)), userblock=True)
    truncated = tmp / "truncated.mat"
    truncated.write_bytes(full.read_bytes()[: full.stat().st_size // 2])
    return {"no complex 3-D array": ([str(no_iq)], [], "noiq.mat"),
            "another shape": ([str(good), str(other)], [], "other.mat"),
            "truncated HDF5": ([str(truncated)], [], "truncated.mat"),
            "wavelength 0": ([str(good)], ["--wavelength", "0"], "--wavelength"),
            "bad band": ([str(good)], ["--bandpass", "300,100"], "--bandpass")}


def test_demo_prints_the_scores(tmp_path):
    err, out = io.StringIO(), io.StringIO()
    with contextlib.redirect_stderr(err), contextlib.redirect_stdout(out):
        rc = main(["ulm-demo", "--frames", "300", "--quiet", "--out", str(tmp_path / "demo")])
    assert rc == 0, err.getvalue()
    text = out.getvalue()
    jaccard = float(text.split("Jaccard ")[1].split()[0])
    assert 0.6 <= jaccard <= 1 and "median |speed error|" in text
    assert (tmp_path / "demo" / "direction.png").is_file()


@pytest.mark.parametrize("case", ["no complex 3-D array", "another shape", "truncated HDF5", "wavelength 0",
                                  "bad band"])
def test_bad_input_is_one_line_and_writes_nothing(tmp_path, small_sim, case):
    inputs, extra, named = _bad_inputs(tmp_path, small_sim)[case]
    out = tmp_path / "out"
    argv = ["ulm", *inputs, "--out", str(out), "--pixel-size", "0.0166667", "--frame-rate", "1000"]
    if "--wavelength" not in extra:
        argv += ["--wavelength", "0.1"]
    rc, lines = _cli(argv + extra)
    assert rc == 1 and len(lines) == 1 and lines[0].startswith("trakora: error:"), lines
    assert named in lines[0]
    assert not out.exists() or not any(out.iterdir())


def test_blocks_on_a_dask_cluster_give_the_serial_result(tmp_path, small_sim):
    pytest.importorskip("distributed")
    from trakora_workflow.distributed import dask_client
    paths = write_blocks(small_sim, tmp_path, frames_per_block=100, fmt="npy")
    params = _params(small_sim)
    serial = run_ulm(paths, params)
    with dask_client(workers=2) as client:
        parallel = run_ulm(paths, params, client=client)
    pd.testing.assert_frame_equal(serial.localizations, parallel.localizations)
    np.testing.assert_array_equal(serial.maps.density, parallel.maps.density)
    assert serial.cutoffs == parallel.cutoffs


# ------------------------------------------------------------------ inputs, parameters, filter options

def test_blocks_in_natural_order_with_settings_from_a_struct(tmp_path, small_sim):
    import scipy.io
    from trakora_workflow.ulm import open_blocks
    for k in (10, 2, 1):
        start = {1: 0, 2: 20, 10: 40}[k]
        scipy.io.savemat(tmp_path / f"blk{k}.mat", {"IQ": np.transpose(small_sim.iq[start:start + 20], (1, 2, 0)),
                                                    "UF": {"FrameRate": 500.0, "dx": 0.02, "dz": 0.01}})
    blocks = open_blocks(str(tmp_path / "blk*.mat"))
    assert [p.rsplit("/", 1)[1] for p in blocks.paths] == ["blk1.mat", "blk2.mat", "blk10.mat"]
    assert blocks.settings == {"frame_rate": 500.0, "pixel_size": 0.02, "axial_pixel_size": 0.01}
    np.testing.assert_array_equal(blocks.read(1), small_sim.iq[20:40])
    given = UlmParams(wavelength=LAMBDA, frame_rate=1000.0).resolve(blocks.settings)
    assert (given.frame_rate, given.pixel_size, given.axial_pixel_size) == (1000.0, 0.02, 0.01)


@pytest.mark.parametrize("rate,max_distance,min_length,span", [(1000.0, 0.05, 10, 5), (500.0, 0.1, 5, 5),
                                                               (4000.0, 0.0125, 40, 21), (10.0, 0.1, 5, 5)])
def test_defaults_follow_wavelength_and_frame_rate(rate, max_distance, min_length, span):
    p = UlmParams(wavelength=LAMBDA, pixel_size=LAMBDA / 6, frame_rate=rate).resolve()
    assert p.max_distance == pytest.approx(max_distance)
    assert (p.min_length, p.smooth_span, p.grid) == (min_length, span, pytest.approx(LAMBDA / 10))
    assert p.half_window == (4, 7)


@pytest.mark.parametrize("params,field", [
    (dict(wavelength=0.1), "pixel_size"),
    (dict(wavelength=0.1, pixel_size=0.01), "frame_rate"),
    (dict(wavelength=-1.0, pixel_size=0.01, frame_rate=1.0), "wavelength"),
    (dict(wavelength=0.1, pixel_size=0.01, frame_rate=1000.0, bandpass=(100.0, 600.0)), "bandpass"),
    (dict(wavelength=0.1, pixel_size=0.01, frame_rate=1000.0, spot_sigma=(0.3, 100.0)), "spot_sigma"),
    (dict(wavelength=0.1, pixel_size=0.01, frame_rate=1000.0, method="centroid"), "method"),
])
def test_parameters_that_cannot_work_name_their_field(params, field):
    with pytest.raises(ParameterError) as info:
        UlmParams(**params).resolve()
    assert info.value.name == field


def test_bandpass_removes_what_lies_outside_the_band():
    t = np.arange(400) / 1000.0
    slow = np.exp(2j * np.pi * 5 * t)          # 5 Hz: below the band
    fast = np.exp(2j * np.pi * 150 * t)        # 150 Hz: inside it
    block = (slow[:, None, None] * np.ones((1, 6, 6)) + fast[:, None, None] * np.eye(6)[None]).astype(np.complex64)
    env = filter_block(block, cutoff=0, frame_rate=1000.0, bandpass=(50.0, 300.0)).envelope[50:-50]
    np.testing.assert_allclose(env[:, np.eye(6, dtype=bool)], 1.0, atol=0.05)
    assert env[:, ~np.eye(6, dtype=bool)].max() < 0.05


def test_envelope_blocks_run_and_a_failed_run_keeps_the_previous_outputs(tmp_path, small_sim):
    env = np.abs(filter_block(small_sim.iq, cutoff=3).envelope)
    np.save(tmp_path / "env.npy", env)
    out = tmp_path / "out"
    first = run_ulm([tmp_path / "env.npy"], _params(small_sim), out=out)
    assert len(first.localizations) > 100
    before = {p.name: p.read_bytes() for p in out.iterdir() if p.is_file()}
    # a second run whose second block turns out unusable once read (after the output
    # directory was opened and the first block processed): it fails, the first run's files stay
    np.save(tmp_path / "blk1.npy", small_sim.iq[:100])
    bad = small_sim.iq[100:200].copy()
    bad[5, 5, 5] = np.nan
    np.save(tmp_path / "blk2.npy", bad)
    with pytest.raises(InputError, match="blk2.npy.*NaN"):
        run_ulm([tmp_path / "blk1.npy", tmp_path / "blk2.npy"], _params(small_sim), out=out)
    assert {p.name: p.read_bytes() for p in out.iterdir() if p.is_file()} == before


# ------------------------------------------------------------------ scores

def test_localization_scores_count_pairs_and_hits():
    from trakora_workflow.ulm import score_localizations
    truth = pd.DataFrame({"frame": [0, 0, 1, 1, 2], "x": [0.0, 1.0, 0.0, 1.0, 0.5], "z": [0.0, 0.0, 0.0, 0.0, 0.5]})
    found = pd.DataFrame({"frame": [0, 0, 1, 1, 3],
                          # a hit (0.02), a pair but no hit (0.04 > lambda/4), a hit (0.01), a miss, a stray frame
                          "x": [0.02, 1.04, 0.0, 1.3, 0.5], "z": [0.0, 0.0, 0.01, 0.0, 0.5]})
    s = score_localizations(found, truth, LAMBDA)
    assert (s["pairs"], s["hits"]) == (3, 2)
    assert s["precision"] == pytest.approx(2 / 5) and s["recall"] == pytest.approx(2 / 5)
    assert s["jaccard"] == pytest.approx(2 / (5 + 5 - 2))
    assert s["rmse"] == pytest.approx(np.sqrt((0.02 ** 2 + 0.01 ** 2) / 2))


def test_saturation_curve_grows_to_the_full_map(tmp_path, small_sim):
    from trakora_workflow.ulm.scores import saturation_curve, vessel_mask
    np.save(tmp_path / "rec.npy", small_sim.iq)
    result = run_ulm([tmp_path / "rec.npy"], _params(small_sim))
    curve = saturation_curve(result.tracks, small_sim.truth, result.frames, result.maps.density.shape, result.maps.grid)
    fractions = curve["vessel_fraction"]
    assert curve["frames"][-1] == result.frames and all(np.diff(fractions) >= 0) and 0 < fractions[-1] <= 1
    mask = vessel_mask(small_sim.truth, result.maps.density.shape, result.maps.grid)
    assert fractions[-1] == pytest.approx(((result.maps.density > 0) & mask).sum() / mask.sum())


def test_several_real_arrays_need_a_variable(tmp_path, small_sim):
    env = np.abs(np.transpose(small_sim.iq[:10], (1, 2, 0)))
    path = tmp_path / "two.h5"
    write_matlab_hdf5(path, "a", env)
    import h5py
    with h5py.File(path, "a") as h5:
        h5.create_dataset("b", data=np.transpose(env, (2, 1, 0)))
    with pytest.raises(InputError, match="several 3-D arrays.*variable"):
        read_block(path)
    np.testing.assert_allclose(read_block(path, "b").data, np.abs(small_sim.iq[:10]), rtol=1e-6)
