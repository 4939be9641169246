"""Failure modes of the workflow and the command: interrupted or concurrent writes of the outputs, strict JSON, non-finite pixels, unusable
output directories, one-line errors naming the option, signals."""
import json
import os
import re
import signal
import subprocess
import sys
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

import trakora
from commandline import cli_env, one_line_error, run_cli
from trakora_workflow import output, simulate_recording
from trakora_workflow.output import (OutputDir, OutputDirBusy, OutputDirError, check_output_dir,
                                     save_outputs, to_json_safe)
from trakora_workflow.pipeline import Rendering


# ---- outputs: one run's, complete or not at all --------------------------------------------------

class _Result:
    """What the writers read of a tracking result: two tracks over a 20 x 30 field, one point
    of infinite intensity, a summary with non-finite numbers."""

    ndim = 2
    params = SimpleNamespace(space_unit="px", time_unit="frame", pixel_size=1.0, frame_interval=1.0)
    analysis = None

    def __init__(self, intensity=np.inf):
        self.matrix = np.float32([(2, 5, 10), (8, 5, intensity), (8, 9, 10), (20, 3, 5), (25, 12, 7)])
        self.track_end_indices = np.array([3, 5], np.int32)
        density, counts, extent = trakora.rs_draw_tracks(self.matrix, self.track_end_indices,
                                                         (0.0, 30.0, 0.0, 20.0), 1.0)
        valued = np.column_stack([self.matrix, np.float32([1, 2, 3, 4, 5])]).astype(np.float32)
        weight, speed, _, _ = trakora.rs_draw_tracks_value(valued, self.track_end_indices, extent, 1.0)
        self.rendering = Rendering(density=density.T, counts=counts.T, speed=speed.T, weight=weight.T,
                                   extent=tuple(extent), pixel_size=1.0)

    def table(self):
        return pd.DataFrame({"track": [0, 0, 0, 1, 1], "frame": [0, 1, 2, 0, 1], "x": self.matrix[:, 0],
                             "y": self.matrix[:, 1], "intensity": self.matrix[:, 2]})

    def detections(self):
        return self.table().drop(columns="track")

    def summary(self):
        return {"tracks": np.int64(2), "median_point_speed": float("nan"), "frame_shape": (20, 30),
                "intensity": {"max": np.float32(np.inf), "per_point": self.matrix[:, 2]}}


def _snapshot(directory):
    """Every file under `directory` and its bytes, and the temporary folders next to it."""
    files = {str(p.relative_to(directory)): p.read_bytes() for p in sorted(directory.rglob("*")) if p.is_file()}
    temps = sorted(p.name for p in directory.parent.iterdir() if ".tmp-" in p.name)
    temps += sorted(p.name for p in directory.iterdir() if ".tmp-" in p.name)
    return files, temps


@pytest.fixture
def previous_run(tmp_path):
    """An output directory holding a complete earlier run (including a file of the demo
    that a plain run does not write) and a file of the user's."""
    out = tmp_path / "out"
    save_outputs(_Result(intensity=3.0), out, {"run": "previous"})
    (out / "ground_truth.csv").write_text("particle,frame\n")
    (out / "notes.txt").write_text("mine\n")
    return out


class _Boom(Exception):
    pass


@pytest.mark.parametrize("error", [_Boom, KeyboardInterrupt, SystemExit])
def test_a_failing_writer_leaves_the_previous_outputs(previous_run, monkeypatch, error):
    before = _snapshot(previous_run)

    def broken(result, path):
        Path(path).write_bytes(b"\x89PNG half")
        raise error()
    monkeypatch.setattr(output, "save_speed_png", broken)
    with pytest.raises(error):
        save_outputs(_Result(), previous_run, {"run": "failed"})
    assert _snapshot(previous_run) == before
    with OutputDir(previous_run):       # and the lock was released
        pass


def test_a_run_replaces_the_previous_outputs_and_keeps_other_files(previous_run):
    summary = save_outputs(_Result(), previous_run, {"run": "new"})
    files, temps = _snapshot(previous_run)
    assert sorted(files) == [".trakora.lock", "density.png", "notes.txt", "speed.png", "summary.json",
                             "tracks.csv"]
    assert temps == []
    assert json.loads(files["summary.json"]) == summary and summary["run"] == "new"
    assert files["notes.txt"] == b"mine\n"


def test_write_outputs_of_an_analysed_run(previous_run):
    from trakora_workflow.analysis import analyze
    result = _Result(intensity=3.0)
    result.analysis = analyze(result.table(), ndim=2, drift=True, max_lag=2)
    with OutputDir(previous_run) as out:
        written = output.write_outputs(result, out, np.zeros((3, 20, 30), np.float32), {"input": "a.tif"},
                                       overlay_frame=1)
        assert not (previous_run / "drift.csv").exists()      # nothing moved in before the commit
        summary = out.commit()
    assert written == ["density.png", "speed.png", "tracks.csv", "detections.csv", "msd.csv", "track_speeds.csv",
                       "msd.png", "drift.csv", "overlay.png", "summary.json"]
    files, temps = _snapshot(previous_run)
    assert sorted(files) == sorted([*written, ".trakora.lock", "notes.txt"]) and temps == []
    assert summary["input"] == "a.tif"
    assert pd.read_csv(previous_run / "drift.csv").columns.tolist() == ["frame", "x", "y"]


def test_summary_json_is_strict_json(tmp_path):
    summary = save_outputs(_Result(), tmp_path / "out")

    def refuse(constant):
        raise ValueError(f"not strict JSON: {constant}")
    text = (tmp_path / "out" / "summary.json").read_text()
    assert json.loads(text, parse_constant=refuse) == summary
    assert summary["median_point_speed"] is None and summary["intensity"]["max"] is None
    assert summary["intensity"]["per_point"] == [10.0, None, 10.0, 5.0, 7.0]
    assert summary["tracks"] == 2 and summary["frame_shape"] == [20, 30]


@pytest.mark.parametrize("value, expected", [
    (float("nan"), None),
    ((np.float32(-np.inf), np.float64(1.5), np.int32(3), np.bool_(True)), [None, 1.5, 3, True]),
    ({np.int64(4): [np.array([[1.0, np.nan]]), (float("inf"),)]}, {4: [[[1.0, None]], [None]]}),
    (np.array(np.nan), None),
    ({"path": Path("a/b"), "empty": np.zeros((0, 2))}, {"path": "a/b", "empty": []}),
])
def test_to_json_safe(value, expected):
    safe = to_json_safe(value)
    assert safe == expected
    json.dumps(safe, allow_nan=False)


def _image_area(path):
    """The pixels of a saved picture inside its axes (which span (0.08, 0.1)-(0.80, 0.9) of
    the figure), less a margin."""
    import matplotlib.image
    pixels = matplotlib.image.imread(path)[..., :3]
    h, w = pixels.shape[:2]
    return pixels[int(0.15 * h):int(0.85 * h), int(0.1 * w):int(0.78 * w)]


@pytest.mark.parametrize("writer", ["save_density_png", "save_speed_png"])
def test_a_non_finite_pixel_does_not_blank_the_pictures(tmp_path, writer):
    finite, infinite = _Result(intensity=3.0), _Result(intensity=np.inf)
    assert not np.isfinite(infinite.rendering.density).all()
    for result, name in ((finite, "finite.png"), (infinite, "inf.png")):
        getattr(output, writer)(result, tmp_path / name)
    shown, reference = _image_area(tmp_path / "inf.png"), _image_area(tmp_path / "finite.png")
    assert shown.var() > 0.3 * reference.var()                 # the tracks are drawn
    assert (shown.sum(axis=-1) < 0.1).mean() > 0.5              # on a black background
    # the scales come from the finite pixels: the same as with the non-finite ones left out
    r = infinite.rendering
    finite_only = [np.where(np.isfinite(a), a, 0.0) for a in (r.density, r.speed, r.weight)]
    assert output.density_scale(r.density) == output.density_scale(finite_only[0]) > 1
    assert output.speed_scale(r.speed, r.weight) == output.speed_scale(finite_only[1], finite_only[2])


def test_a_second_run_into_the_same_directory_is_refused(tmp_path):
    out = tmp_path / "out"
    with OutputDir(out) as first:
        with pytest.raises(OutputDirBusy) as refused:
            OutputDir(out).__enter__()
        first.write_json("summary.json", {"run": 1})
    assert str(refused.value) == (f"output directory '{out}' is in use by another trakora run; "
                                  "wait for it or choose another --out")
    with OutputDir(out) as again:       # free once the first run is done
        again.write_json("summary.json", {"run": 2})
    assert json.loads((out / "summary.json").read_text()) == {"run": 2}


def _unusable(tmp_path, kind):
    if kind == "read-only":
        if os.geteuid() == 0:
            pytest.skip("root writes into read-only directories")
        path = tmp_path / "locked"
        path.mkdir()
        path.chmod(0o500)
        return path, "not writable"
    (tmp_path / "file").write_text("x")
    if kind == "a file":
        return tmp_path / "file", "not a directory"
    return tmp_path / "file" / "out", "cannot create the directory"


@pytest.mark.parametrize("kind", ["read-only", "a file", "under a file"])
def test_an_unusable_out_is_one_line_naming_the_option(tmp_path, kind):
    path, reason = _unusable(tmp_path, kind)
    for attempt in (lambda: check_output_dir(path), lambda: OutputDir(path).__enter__()):
        with pytest.raises(OutputDirError) as error:
            attempt()
        message = str(error.value)
        assert message.startswith(f"--out '{path}'") and reason in message and "\n" not in message
    assert sorted(p.name for p in tmp_path.iterdir()) in (["locked"], ["file"])


def test_signals_during_the_commit_take_effect_after_it():
    reached = False
    with pytest.raises(KeyboardInterrupt):
        with output._DeferredSignals():
            os.kill(os.getpid(), signal.SIGINT)
            reached = True
    assert reached


WRITER = """
import signal, sys, time
from pathlib import Path
from trakora_workflow.output import OutputDir
if sys.argv[2] == "handled":
    def stop(signum, frame):
        raise SystemExit(143)
    signal.signal(signal.SIGTERM, stop)
with OutputDir(sys.argv[1]) as out:
    (out.path("density.png")).write_bytes(b"new")
    with open(out.path("tracks.csv"), "w") as f:
        f.write("track,frame\\n" * 1000)
        f.flush()
        print("writing", flush=True)
        while True:
            f.write("0,0\\n")
            time.sleep(0.01)
"""


@pytest.mark.parametrize("handling", ["default", "handled"])
def test_sigterm_while_writing_leaves_the_previous_outputs(previous_run, handling):
    """Killed by SIGTERM's default action, the process leaves its temporary folder behind but
    no file under an output name changes; the next run removes the folder. With a handler
    that raises, the folder is removed at once."""
    before, _ = _snapshot(previous_run)
    env = {**os.environ, "PYTHONPATH": str(Path(output.__file__).parents[1])}
    child = subprocess.Popen([sys.executable, "-c", WRITER, str(previous_run), handling], env=env,
                             stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "writing\n"
        child.send_signal(signal.SIGTERM)
        status = child.wait(timeout=60)
    finally:
        child.kill()
    assert status == (-signal.SIGTERM if handling == "default" else 143)
    files, temps = _snapshot(previous_run)
    assert files == before
    assert len(temps) == (1 if handling == "default" else 0)
    save_outputs(_Result(), previous_run)
    assert _snapshot(previous_run)[1] == []


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
    before = {p.name: p.read_bytes() for p in out.iterdir()}
    proc = subprocess.Popen([sys.executable, "-m", "trakora_workflow", "run", str(tmp_path / "long.npy"),
                             "--quiet", "--out", str(out)], stderr=subprocess.PIPE, text=True, env=cli_env())
    deadline = time.monotonic() + 60
    while not list(tmp_path.glob(".out.tmp-*")) and time.monotonic() < deadline:
        time.sleep(0.02)
    time.sleep(0.3)                           # inside detection
    proc.send_signal(signum)
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == status and err.strip().splitlines() == [f"trakora: {word}"]
    assert {p.name: p.read_bytes() for p in out.iterdir()} == before
    assert not list(tmp_path.glob(".out.tmp-*"))
