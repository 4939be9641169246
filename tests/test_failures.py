"""Failure modes of the command: one-line errors naming the option, NaN pixels, signals.
(The outputs' own failure modes are in test_outputs.py.)"""
import json
import subprocess
import sys

import numpy as np
import pytest

from commandline import cli_env, one_line_error, run_cli
from test_outputs import leftovers, visible
from trakora_workflow import simulate_recording


# ---- the command: one-line errors, options checked up front, signals ---------------------------

def test_missing_file_is_aone_line_error(tmp_path):
    assert "no such file" in one_line_error(run_cli("run", tmp_path / "absent.tif", "--out", tmp_path))


def test_one_dimensional_array_is_aone_line_error(tmp_path):
    path = tmp_path / "line.npy"
    np.save(path, np.arange(10, dtype=np.float32))
    assert "shape (10,)" in one_line_error(run_cli("run", path, "--out", tmp_path))


@pytest.mark.parametrize("args", [("run", "x.npy", "--no-such-option"), ("demo", "--frames", "0"),
                                  ("frobnicate",), ("run", "x.npy", "--method", "centroid")])
def test_usage_errors_are_one_line(args):
    proc = run_cli(*args)
    assert proc.returncode == 2
    one_line_error(proc)


def test_unreadable_tiff_is_aone_line_error(tmp_path):
    path = tmp_path / "broken.tif"
    path.write_bytes(b"II*\x00garbage")
    assert "cannot read" in one_line_error(run_cli("run", path, "--out", tmp_path))


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
    line = one_line_error(run_cli("run", small_stack, "--out", tmp_path / "out", *args))
    assert option in line
    assert not (tmp_path / "out" / "summary.json").exists()


@pytest.mark.parametrize("args, option", [(("--size", "20000"), "--size"), (("--seed", "-1"), "--seed")])
def test_bad_demo_options_are_one_line(tmp_path, args, option):
    assert option in one_line_error(run_cli("demo", "--out", tmp_path, *args))


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
    before = visible(out)
    proc = subprocess.Popen([sys.executable, "-m", "trakora_workflow", "run", str(tmp_path / "long.npy"),
                             "--quiet", "--out", str(out)], stderr=subprocess.PIPE, text=True, env=cli_env())
    deadline = time.monotonic() + 60
    while not leftovers(out) and time.monotonic() < deadline:     # the run's own folder is made
        time.sleep(0.02)
    time.sleep(0.3)                           # inside detection
    proc.send_signal(signum)
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == status and err.strip().splitlines() == [f"trakora: {word}"]
    assert visible(out) == before and leftovers(out) == []
