"""Real recordings in: image sequences and stacks read lazily, dark particles on an unevenly lit
background, the band-pass, and the warnings for a degraded result."""
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import imageio.v3 as iio
import numpy as np
import pytest
import tifffile

import trakora_workflow
from trakora_workflow import (StackError, TrackingParams, open_recording, score, simulate_recording,
                              track)


def bright_field(frames=12, seed=1, **kw):
    """Dark spots of sigma 1.8 px on a background four times brighter on the right than on the
    left, with noise: what a bright-field microscope records."""
    options = dict(n_channels=0, n_brownian=40, dark=True, illumination=0.6, background=400.0,
                   amplitude=(150.0, 220.0), spot_sigma=1.8, noise=8.0, seed=seed)
    options.update(kw)
    return simulate_recording(frames=frames, shape=(160, 240), **options)


@pytest.fixture(scope="module")
def dark_recording():
    return bright_field()


def write_png_sequence(folder, stack, rgba=True):
    folder.mkdir()
    frames = np.clip(stack / 2.0, 0, 255).astype(np.uint8)
    for i, f in enumerate(frames):     # frame_2 must come before frame_10
        data = np.dstack([f, f, f, np.full_like(f, 255)]) if rgba else f
        iio.imwrite(folder / f"frame_{i}.png", data)
    return frames


def test_png_sequence_in_natural_order_as_luminance(tmp_path, dark_recording):
    frames = write_png_sequence(tmp_path / "seq", dark_recording.stack)
    for given in (tmp_path / "seq", str(tmp_path / "seq" / "*.png"),
                  sorted((tmp_path / "seq").glob("*.png"), key=lambda p: -int(p.stem[6:]))):
        source = open_recording(given)
        assert source.shape == frames.shape and "luminance" in source.note
        assert [p.name for p in source.paths][:3] == ["frame_0.png", "frame_1.png", "frame_2.png"]
        np.testing.assert_allclose(source[10], frames[10], atol=1e-3)   # grey RGB: luminance = grey


def test_odd_frame_shape_names_the_file(tmp_path):
    folder = tmp_path / "seq"
    folder.mkdir()
    for i, shape in enumerate([(8, 8), (8, 8), (9, 8)]):
        iio.imwrite(folder / f"f{i}.png", np.zeros(shape, np.uint8))
    with pytest.raises(StackError, match=r"f2\.png.*shape \(9, 8\)"):
        open_recording(folder)


@pytest.mark.parametrize("compression", [None, "zlib"])
def test_tiff_frames_are_read_one_at_a_time(tmp_path, compression):
    data = np.random.default_rng(0).integers(0, 4000, (7, 3, 20, 30), dtype=np.uint16)
    path = tmp_path / "tzyx.ome.tif"
    tifffile.imwrite(path, data, ome=True, metadata={"axes": "TZYX"}, compression=compression)
    source = open_recording(path)
    assert source.shape == data.shape
    for f in (0, 4, 6):
        np.testing.assert_array_equal(source[f], data[f])


def test_channel_picks_one_channel_of_a_multichannel_stack(tmp_path):
    data = np.random.default_rng(1).integers(0, 100, (4, 2, 16, 16), dtype=np.uint16)
    path = tmp_path / "tcyx.ome.tif"
    tifffile.imwrite(path, data, ome=True, metadata={"axes": "TCYX"})
    with pytest.raises(StackError, match=r"tcyx\.ome\.tif' is a multi-channel stack.*pick one with channel$"):
        open_recording(path)
    np.testing.assert_array_equal(open_recording(path, channel=1)[3], data[3, 1])


@pytest.mark.parametrize("data, message", [
    ([np.zeros((16, 16)), np.zeros((16, 17))], "frame 1 has shape"),
    ([np.zeros((16, 16), np.uint8), np.zeros((16, 16), np.uint16)], "frame 1 holds uint16 values"),
])
def test_track_refuses_ragged_lists(data, message):
    with pytest.raises(StackError, match=message):
        track(data)


def test_list_of_frames_gives_the_same_result_as_the_stack(dark_recording):
    params = TrackingParams(invert=True, diameter=9)
    stacked = track(dark_recording.stack[:5], params)
    listed = track(list(dark_recording.stack[:5]), params)
    assert stacked.matrix.tobytes() == listed.matrix.tobytes()


# The recording's field is four times brighter on the right than on the left. Without the
# band-pass a global threshold misses the dim side; with it the dark spots are found all over.
@pytest.mark.parametrize("preprocess, recall, rmse", [(True, 0.9, 0.3), (False, 0.0, None)])
def test_dark_particles_on_uneven_light(dark_recording, preprocess, recall, rmse):
    result = track(dark_recording.stack, TrackingParams(invert=True, diameter=9, preprocess=preprocess))
    s = score(result, dark_recording.truth)
    found = s["true_positives"] / (s["true_positives"] + s["false_negatives"])
    if preprocess:
        assert found >= recall and s["rmse_px"] <= rmse and s["links_recovered"] >= 0.85
        assert result.unrefined <= 0.05 * s["detections"]
    else:
        assert found < 0.6


@pytest.mark.parametrize("case, params, expected", [
    ("dark, told not inverted", {"invert": False}, "use `invert`"),
    ("threshold above the data", {"invert": True, "threshold": 1e6}, "at or above the largest"),
    ("no detection", {"invert": True, "threshold": 1e6}, "no detection in any frame"),
    ("raw frames, large window", {"invert": True, "preprocess": False, "threshold": 100.0, "window_size": 11},
     "were not placed by the localizer"),
])
def test_degraded_results_are_reported(dark_recording, case, params, expected):
    result = track(dark_recording.stack[:4], TrackingParams(diameter=9, **params))
    assert any(expected in w for w in result.warnings), (case, result.warnings)
    assert result.summary()["warnings"] == list(result.warnings)


def test_integer_data_with_mostly_equal_pixels_gets_a_sound_threshold():
    """Sparse photon counts: most pixels 0, so the MAD is 0; the threshold must not be 0 (which
    would make every lone photon a spot)."""
    rng = np.random.default_rng(3)
    stack = rng.poisson(0.3, (6, 64, 64)).astype(np.uint16)
    stack[:, 30:33, 30:33] += 40
    result = track(stack, TrackingParams(preprocess=False))
    assert 0 < result.threshold.threshold < 40
    table = result.detections()
    near = np.hypot(table["x"] - 31, table["y"] - 31) < 1.5
    assert table[near]["frame"].nunique() == 6 and len(table) < 20


def test_volumes_use_gaussian_fitting_and_the_band_pass():
    rec = simulate_recording(frames=8, shape=(16, 40, 40), n_channels=0, n_brownian=10, illumination=0.5,
                             spot_sigma=1.3, z_sigma=1.6, seed=5)
    found = {}
    for preprocess in (True, False):
        result = track(rec.stack, TrackingParams(preprocess=preprocess))
        assert result.params.localization_method == "gaussian_fitting"
        found[preprocess] = score(result, rec.truth, margin=3)
    # a global threshold finds the bright side only; the band-pass at least doubles the recall
    assert found[True]["true_positives"] > 2 * found[False]["true_positives"]
    assert found[True]["rmse_px"] <= 0.4 and found[True]["jaccard"] >= 0.5


MEMORY_SCRIPT = textwrap.dedent("""
    import sys, threading, time
    from trakora_workflow import TrackingParams, open_recording, track

    def anonymous_kib():
        for line in open("/proc/self/status"):
            if line.startswith("RssAnon:"):
                return int(line.split()[1])

    peak = [0]
    def watch():
        while True:
            peak[0] = max(peak[0], anonymous_kib())
            time.sleep(0.005)
    import numpy as np
    track(np.random.default_rng(0).random((2, 64, 64)), TrackingParams())   # imports everything
    source = open_recording(sys.argv[1])
    base = anonymous_kib()
    threading.Thread(target=watch, daemon=True).start()
    track(source, TrackingParams(max_num_peaks=5))
    time.sleep(0.05)
    print((max(peak[0], anonymous_kib()) - base) / 1024)
""")


@pytest.mark.skipif(os.environ.get("TRAKORA_SANITIZE") == "1",
                    reason="AddressSanitizer's shadow memory and quarantine swamp the process's own memory")
@pytest.mark.parametrize("compression", [None, "zlib"])
def test_a_tiff_stack_is_streamed_not_loaded(tmp_path, compression):
    """120 frames of 1 MiB: the process's own memory grows by a few frames, not by the stack."""
    path = tmp_path / "big.tif"
    frame = np.random.default_rng(0).integers(0, 1000, (512, 1024), dtype=np.uint16)
    with tifffile.TiffWriter(path) as tif:
        for f in range(120):                    # uncompressed: one series; zlib: a series per page
            tif.write(np.roll(frame, f, axis=1), compression=compression, contiguous=compression is None)
    assert len(open_recording(path)) == 120
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(Path(trakora_workflow.__file__).parents[1]),
                                                      os.environ.get("PYTHONPATH", "")]))
    proc = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT, str(path)], capture_output=True, text=True,
                          timeout=300, env=env)
    assert proc.returncode == 0, proc.stderr
    assert float(proc.stdout.split()[-1]) < 40.0      # MiB; the stack is 120 MiB
