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


@pytest.fixture(scope="module")
def small_volumes(tmp_path_factory):
    rec = simulate_recording(frames=3, shape=(4, 24, 24), n_channels=1, spots_per_channel=2, n_brownian=2, seed=1)
    path = tmp_path_factory.mktemp("volumes") / "volumes.npy"
    np.save(path, rec.stack)
    return path


# argv (INPUT: the small recording, VOLUMES: small volumes), a fragment of the one-line error,
# the exit status
BAD_OPTIONS = [
    (("run", "INPUT", "--max-skip", "99999999999999999999"), "--max-skip must be an integer from 0", 1),
    (("run", "INPUT", "--window-size", "-3"), "--window-size must be an odd integer", 1),
    (("run", "INPUT", "--max-peaks", "-1"), "--max-peaks", 1),
    (("run", "INPUT", "--diameter", "8"), "--diameter must be odd", 1),
    (("run", "INPUT", "--diameter", "7.5"), "--diameter: invalid int value", 2),
    (("run", "INPUT", "--render-pixel-size", "1e-4"), "--render-pixel-size 0.0001 gives a rendered grid", 1),
    (("run", "INPUT", "--render-pixel-size", "1e-300"), "--render-pixel-size must be a number from 1e-30", 1),
    (("run", "INPUT", "--render-pixel-size", "1e30"), "--render-pixel-size 1e30 is larger than the field of view", 1),
    (("run", "INPUT", "--pixel-size", "1e300"), "--pixel-size must be a number from 1e-30 to 1e30", 1),
    (("run", "VOLUMES", "--z-step", "1e30"), "--z-step 1e30 puts positions beyond 1e30", 1),
    (("run", "INPUT", "--snr", "1e308"), "--snr must be a number > 0 and <= 1e6", 1),
    (("run", "INPUT", "--threshold", "nan"), "--threshold must be a finite number", 1),
    (("run", "INPUT", "--max-intensity-ratio", "0"), "--max-intensity-ratio", 1),
    (("run", "INPUT", "--space-unit", ""), "--space-unit must be printable", 1),
    (("run", "INPUT", "--overlay-frame", "99"), "--overlay-frame 99 is outside the recording's frames 0 to 11", 1),
    (("run", "INPUT", "--workers", "100000"), "--workers must be at most", 1),
    (("run", "INPUT", "--channel", "1"), "--channel", 1),
    (("demo", "--frames", "3", "--size", "32", "--overlay-frame", "5"), "--overlay-frame 5 is outside", 1),
    (("demo", "--size", "20000"), "--size 20000 with --frames 100 needs", 1),
    (("demo", "--seed", "-1"), "--seed must be an integer from 0", 1),
    (("demo", "--frames", "3", "--size", "32", "--render-pixel-size", "1e3"),
     "--render-pixel-size 1000 is larger than the field of view (3.2 x 3.2 space units)", 1),
    (("demo", "--pixel-size", "2"), "unrecognized arguments: --pixel-size", 2),
]


@pytest.mark.parametrize("argv, fragment, status", BAD_OPTIONS)
def test_bad_options_are_one_line_naming_the_option_before_any_work(small_stack, small_volumes, tmp_path,
                                                                    argv, fragment, status):
    inputs = {"INPUT": small_stack, "VOLUMES": small_volumes}
    out = tmp_path / "out"
    proc = run_cli(*[inputs.get(a, a) for a in argv], "--out", out)
    assert proc.returncode == status
    assert fragment in one_line_error(proc)
    assert not out.exists() or [p.name for p in out.iterdir() if not p.name.startswith(".")] == []
    assert [p.name for p in tmp_path.iterdir()] in ([], ["out"])


def test_negative_threshold_parses_and_ignored_options_are_warned(small_stack, tmp_path):
    proc = run_cli("run", small_stack, "--quiet", "--out", tmp_path, "--threshold", "-1e30",
                   "--max-peaks", "3", "--correlation-sigmas", "1", "1", "1")
    assert proc.returncode == 0, proc.stderr
    assert "trakora: warning: --correlation-sigmas applies to volumes only" in proc.stderr
    assert json.loads((tmp_path / "summary.json").read_text())["threshold"]["threshold"] == -1e30


@pytest.mark.parametrize("args, warning", [
    (("--max-lag", "1000"), "--max-lag 1000 is beyond the recording's 12 frames; the MSD goes up to lag 11"),
    (("--min-length", "13"), "--min-length 13 is longer than the recording's 12 frames, so no track is kept; "
                             "lower --min-length"),
    (("--threshold", "1e30"), "lower --threshold or --snr"),
    (("--z-step", "2"), "--z-step applies to volumes only"),
])
def test_warnings_name_the_options_to_change(small_stack, tmp_path, args, warning):
    proc = run_cli("run", small_stack, "--quiet", "--out", tmp_path, *args)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stderr.splitlines()
    assert lines and all(line.startswith("trakora: warning: ") for line in lines)
    assert any(warning in line for line in lines) and "`" not in proc.stderr
    summary = json.loads((tmp_path / "summary.json").read_text())
    assert len(summary["warnings"]) == len(lines)
    if args[0] == "--max-lag":
        assert summary["params"]["max_lag"] == 11 and len((tmp_path / "msd.csv").read_text().splitlines()) <= 12


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
