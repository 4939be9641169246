"""The trakora command: demo, run on files, and its error paths."""
import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import tifffile

import trakora
import trakora_workflow
from trakora_workflow import load_stack, simulate_recording
from trakora_workflow.io import StackError


def run_cli(*args, cwd=None):
    paths = [str(Path(trakora_workflow.__file__).parents[1]), str(Path(trakora.__file__).parent)]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths + [os.environ.get("PYTHONPATH", "")]))
    return subprocess.run([sys.executable, "-m", "trakora_workflow", *map(str, args)], capture_output=True,
                          text=True, env=env, cwd=cwd, timeout=300)


@pytest.fixture(scope="module")
def small_stack(tmp_path_factory):
    rec = simulate_recording(frames=12, shape=(64, 64), n_channels=1, spots_per_channel=4, n_brownian=5, seed=2)
    path = tmp_path_factory.mktemp("stack") / "stack.npy"
    np.save(path, rec.stack)
    return path


def test_demo_writes_images_and_prints_both_scores(tmp_path):
    out = tmp_path / "demo"
    proc = run_cli("demo", "--frames", 15, "--size", 64, "--quiet", "--out", out)
    assert proc.returncode == 0, proc.stderr
    for name in ("density.png", "speed.png", "tracks.csv", "summary.json", "ground_truth.csv"):
        assert (out / name).stat().st_size > 0
    table = [line for line in proc.stdout.splitlines() if line.startswith("| ")]
    assert [line.split("|")[1].strip() for line in table[1:]] == ["radial_symmetry", "gaussian_fitting"]
    scores = json.loads((out / "summary.json").read_text())["scores"]
    assert all(s["jaccard"] > 0.8 and s["links_recovered"] > 0.7 for s in scores)

    on_cluster = tmp_path / "demo-cluster"
    proc = run_cli("demo", "--frames", 15, "--size", 64, "--quiet", "--out", on_cluster, "--workers", 2)
    assert proc.returncode == 0, proc.stderr
    assert (on_cluster / "tracks.csv").read_text() == (out / "tracks.csv").read_text()


def test_run_on_npy_and_tiff_gives_the_same_tracks(small_stack, tmp_path):
    tiff = tmp_path / "stack.ome.tif"
    tifffile.imwrite(tiff, np.load(small_stack), metadata={"axes": "TYX"})
    outputs = []
    for k, source in enumerate((small_stack, tiff)):
        out = tmp_path / f"out{k}"
        proc = run_cli("run", source, "--quiet", "--out", out, "--max-skip", 0, "--threshold", 160, "--no-preprocess")
        assert proc.returncode == 0, proc.stderr
        outputs.append((out / "tracks.csv").read_text())
    assert outputs[0] == outputs[1] and len(outputs[0].splitlines()) > 10


def test_run_on_a_volume_stack(tmp_path):
    rec = simulate_recording(frames=6, shape=(12, 40, 40), n_channels=1, spots_per_channel=3, n_brownian=4, seed=4)
    path = tmp_path / "volumes.npy"
    np.save(path, rec.stack)
    proc = run_cli("run", path, "--quiet", "--out", tmp_path / "out", "--z-step", 2, "--method", "gaussian_fitting")
    assert proc.returncode == 0, proc.stderr
    header = (tmp_path / "out" / "tracks.csv").read_text().splitlines()[0]
    assert header == "track,frame,time,x,y,z,intensity,speed"
    assert (tmp_path / "out" / "speed.png").stat().st_size > 0


def _one_line_error(proc):
    assert proc.returncode != 0
    lines = proc.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("trakora: error:"), proc.stderr
    return lines[0]


def test_missing_file_is_a_one_line_error(tmp_path):
    assert "no such file" in _one_line_error(run_cli("run", tmp_path / "absent.tif", "--out", tmp_path))


def test_one_dimensional_array_is_a_one_line_error(tmp_path):
    path = tmp_path / "line.npy"
    np.save(path, np.arange(10, dtype=np.float32))
    assert "shape (10,)" in _one_line_error(run_cli("run", path, "--out", tmp_path))


@pytest.mark.parametrize("args", [("run", "x.npy", "--no-such-option"), ("demo", "--frames", "0"),
                                  ("frobnicate",), ("run", "x.npy", "--method", "centroid")])
def test_usage_errors_are_one_line(args):
    proc = run_cli(*args)
    assert proc.returncode == 2
    _one_line_error(proc)


def test_unreadable_tiff_is_a_one_line_error(tmp_path):
    path = tmp_path / "broken.tif"
    path.write_bytes(b"II*\x00garbage")
    assert "cannot read" in _one_line_error(run_cli("run", path, "--out", tmp_path))


def test_ome_axes_are_put_in_frame_plane_row_column_order(tmp_path):
    data = np.arange(3 * 4 * 5 * 6, dtype=np.uint16).reshape(3, 4, 5, 6)   # stored as Z, T, Y, X
    path = tmp_path / "zt.ome.tif"
    tifffile.imwrite(path, data, ome=True, metadata={"axes": "ZTYX"})
    stack = load_stack(path)
    assert stack.shape == (4, 3, 5, 6)
    np.testing.assert_array_equal(stack[1, 2], data[2, 1])


def test_multichannel_tiff_is_refused(tmp_path):
    path = tmp_path / "two_channels.ome.tif"
    tifffile.imwrite(path, np.zeros((3, 2, 8, 8), np.uint16), ome=True, metadata={"axes": "TCYX"})
    with pytest.raises(StackError, match="multi-channel"):
        load_stack(path)


@pytest.mark.parametrize("args, option", [
    (("--max-skip", "99999999999999999999"), "--max-skip"),
    (("--window-size", "-3"), "--window-size"),
    (("--max-peaks", "-1"), "--max-peaks"),
    (("--diameter", "8"), "--diameter"),
    (("--render-pixel-size", "1e-4"), "--render-pixel-size"),
    (("--pixel-size", "1e300"), "--pixel-size"),
    (("--max-intensity-ratio", "0"), "--max-intensity-ratio"),
    (("--overlay-frame", "99"), "--overlay-frame"),
    (("--channel", "1"), "--channel"),
])
def test_bad_options_are_one_line_naming_the_option_before_any_work(small_stack, tmp_path, args, option):
    line = _one_line_error(run_cli("run", small_stack, "--out", tmp_path / "out", *args))
    assert option in line
    assert not (tmp_path / "out" / "summary.json").exists()


@pytest.mark.parametrize("args, option", [(("--size", "20000"), "--size"), (("--seed", "-1"), "--seed")])
def test_bad_demo_options_are_one_line(tmp_path, args, option):
    assert option in _one_line_error(run_cli("demo", "--out", tmp_path, *args))


def test_negative_threshold_parses_and_ignored_options_are_warned(small_stack, tmp_path):
    proc = run_cli("run", small_stack, "--quiet", "--out", tmp_path, "--threshold", "-1e30",
                   "--max-peaks", "3", "--correlation-sigmas", "1", "1", "1")
    assert proc.returncode == 0, proc.stderr
    assert "trakora: warning: --correlation-sigmas applies to volumes only" in proc.stderr
    assert json.loads((tmp_path / "summary.json").read_text())["threshold"]["threshold"] == -1e30


def test_nan_pixels_leave_the_threshold_and_the_summary_sound(tmp_path):
    rec = simulate_recording(frames=8, shape=(64, 64), n_channels=1, spots_per_channel=4, n_brownian=5, seed=2)
    stack = rec.stack.copy()
    stack[:, 5, 7] = np.nan
    stack[3, 40, 40] = np.inf
    np.save(tmp_path / "nan.npy", stack)
    proc = run_cli("run", tmp_path / "nan.npy", "--quiet", "--out", tmp_path / "out")
    assert proc.returncode == 0, proc.stderr
    summary = json.loads((tmp_path / "out" / "summary.json").read_text(),
                         parse_constant=lambda c: pytest.fail(f"summary.json holds {c}"))
    clean = json.loads(run_cli("run", tmp_path / "nan.npy", "--quiet", "--out", tmp_path / "out").stdout and
                       (tmp_path / "out" / "summary.json").read_text())
    assert np.isfinite(summary["threshold"]["threshold"]) and summary["detections"] == clean["detections"]
    assert 25 <= summary["detections"] <= 80


@pytest.mark.parametrize("signum, status, word", [(2, 130, "interrupted"), (15, 143, "terminated")])
def test_interrupted_run_keeps_the_previous_outputs(tmp_path, signum, status, word):
    import time
    rec = simulate_recording(frames=400, shape=(192, 192), n_channels=1, spots_per_channel=5, n_brownian=10, seed=1)
    np.save(tmp_path / "long.npy", rec.stack)
    out = tmp_path / "out"
    assert run_cli("run", tmp_path / "long.npy", "--quiet", "--out", out, "--max-peaks", "2").returncode == 0
    before = {p.name: p.read_bytes() for p in out.iterdir()}
    paths = [str(Path(trakora_workflow.__file__).parents[1]), str(Path(trakora.__file__).parent)]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths + [os.environ.get("PYTHONPATH", "")]))
    proc = subprocess.Popen([sys.executable, "-m", "trakora_workflow", "run", str(tmp_path / "long.npy"),
                             "--quiet", "--out", str(out)], stderr=subprocess.PIPE, text=True, env=env)
    deadline = time.monotonic() + 60
    while not list(tmp_path.glob(".out.tmp-*")) and time.monotonic() < deadline:
        time.sleep(0.02)
    time.sleep(0.3)                           # inside detection
    proc.send_signal(signum)
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == status and err.strip().splitlines() == [f"trakora: {word}"]
    assert {p.name: p.read_bytes() for p in out.iterdir()} == before
    assert not list(tmp_path.glob(".out.tmp-*"))
