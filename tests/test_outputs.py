"""The outputs of a run: published whole or not at all (failures at every step of the commit,
SIGTERM, SIGKILL), the user's files never touched, one run at a time, strict UTF-8 JSON
whatever the locale, pictures for any unit and within bounded memory."""
import errno
import json
import os
import random
import signal
import subprocess
import sys
import time
import tracemalloc
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

import trakora
from commandline import cli_env
from trakora_workflow import outdir, output, pictures
from trakora_workflow.errors import OutputError
from trakora_workflow.jsonsafe import to_json_safe, utf8_text
from trakora_workflow.outdir import OutputDir, OutputDirBusy, OutputDirError, check_output_dir
from trakora_workflow.output import write_outputs
from trakora_workflow.pipeline import Rendering


class _Result:
    """What the writers read of a tracking result: two tracks over a 20 x 30 field, one point
    of infinite intensity, a summary with non-finite numbers."""

    ndim = 2
    analysis = None

    def __init__(self, intensity=np.inf, space_unit="px", time_unit="frame"):
        self.params = SimpleNamespace(space_unit=space_unit, time_unit=time_unit, pixel_size=1.0,
                                      frame_interval=1.0)
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


def publish(directory, result, extra=None, **kwargs):
    """One run writing every output of `result` into `directory`; returns the names written."""
    with OutputDir(directory) as out:
        return write_outputs(result, out, extra_summary=extra, **kwargs)


def visible(directory):
    """What a reader of `directory` sees: every name (trakora's own folder aside) with its
    bytes, through the links; a name that resolves to nothing is absent, a folder is "<dir>"."""
    seen = {}
    for entry in sorted(Path(directory).iterdir()):
        if entry.name == ".trakora" or not entry.exists():
            continue
        seen[entry.name] = "<dir>" if entry.is_dir() else entry.read_bytes()
    return seen


def leftovers(directory):
    """What a finished run must not leave: folders of unpublished or replaced results,
    half-made links, links that resolve to nothing, temporary folders next to the directory."""
    private = Path(directory) / ".trakora"
    current = os.readlink(private / "current") if (private / "current").is_symlink() else None
    left = [p.name for p in private.iterdir() if p.name not in ("lock", "current", current)]
    left += [p.name for p in Path(directory).iterdir() if p.is_symlink() and not p.exists()]
    left += [p.name for p in Path(directory).parent.iterdir() if ".tmp-" in p.name]
    return sorted(left)


@pytest.fixture
def previous_run(tmp_path):
    """An output directory holding a complete earlier run and two files of the user's, one
    under a name the demo writes."""
    out = tmp_path / "out"
    publish(out, _Result(intensity=3.0), {"run": "previous"})
    (out / "ground_truth.csv").write_text("particle,frame\n")
    (out / "notes.txt").write_text("mine\n")
    return out


class _Boom(Exception):
    pass


# ---- whole or not at all ------------------------------------------------------------------------

@pytest.mark.parametrize("error", [_Boom, KeyboardInterrupt, SystemExit])
def test_a_failing_writer_leaves_the_previous_outputs(previous_run, monkeypatch, error):
    before = visible(previous_run)

    def broken(result, path):
        Path(path).write_bytes(b"\x89PNG half")
        raise error()
    monkeypatch.setattr(output, "save_speed_png", broken)
    with pytest.raises(error):
        publish(previous_run, _Result(), {"run": "failed"})
    assert visible(previous_run) == before and leftovers(previous_run) == []
    with OutputDir(previous_run):       # and the lock was released
        pass


def test_a_run_replaces_the_previous_outputs_and_keeps_other_files(previous_run):
    umask = os.umask(0o027)
    try:
        publish(previous_run, _Result(), {"run": "new"})
    finally:
        os.umask(umask)
    # readable as the umask allows, like files written straight into the directory
    result = previous_run / ".trakora" / os.readlink(previous_run / ".trakora" / "current")
    assert result.stat().st_mode & 0o777 == 0o750 and (previous_run / "tracks.csv").stat().st_mode & 0o777 == 0o640
    files = visible(previous_run)
    assert sorted(files) == ["density.png", "detections.csv", "ground_truth.csv", "notes.txt", "speed.png",
                             "summary.json", "tracks.csv"]
    assert json.loads(files["summary.json"])["run"] == "new"
    assert files["notes.txt"] == b"mine\n" and files["ground_truth.csv"] == b"particle,frame\n"
    assert leftovers(previous_run) == []


def test_write_outputs_of_an_analysed_run(previous_run):
    from trakora_workflow.analysis import analyze
    result = _Result(intensity=3.0)
    result.analysis = analyze(result.table(), ndim=2, drift=True, max_lag=2)
    before = visible(previous_run)
    with OutputDir(previous_run) as out:
        written = write_outputs(result, out, np.zeros((3, 20, 30), np.float32), {"input": "a.tif"},
                                overlay_frame=1)
        assert visible(previous_run) == before      # nothing visible before the commit
        summary = out.commit()
    assert written == ["density.png", "speed.png", "tracks.csv", "detections.csv", "msd.csv", "track_speeds.csv",
                       "msd.png", "drift.csv", "overlay.png", "summary.json"]
    files = visible(previous_run)
    assert sorted(files) == sorted([*written, "ground_truth.csv", "notes.txt"]) and leftovers(previous_run) == []
    assert summary["input"] == "a.tif"
    assert pd.read_csv(previous_run / "drift.csv").columns.tolist() == ["frame", "x", "y"]
    # a later run without drift: drift.csv is gone with the result it belonged to
    publish(previous_run, _Result(intensity=3.0))
    assert "drift.csv" not in visible(previous_run) and leftovers(previous_run) == []


# Each old state and new result below differ in every file, and in their names: drift.csv is
# only in the old result, overlay.png only in the new one.
OLD = {"tracks.csv": b"old tracks\n", "drift.csv": b"old drift\n", "summary.json": b'{"run": "old"}\n'}
NEW = {"tracks.csv": b"new tracks\n", "overlay.png": b"new overlay", "summary.json": b'{"run": "new"}\n'}
USER = {"notes.txt": b"mine\n", "ground_truth.csv": b"particle,frame\n"}


def _result_state(directory):
    with OutputDir(directory) as out:
        for name, data in OLD.items():
            out.path(name).write_bytes(data)
    for name, data in USER.items():
        (directory / name).write_bytes(data)


def _next_run(directory):
    """A later run, writing only summary.json: it must succeed, clean up what earlier runs
    left, and leave the user's files."""
    with OutputDir(directory) as out:
        out.path("summary.json").write_bytes(b"next")
    assert visible(directory) == {**USER, "summary.json": b"next"} and leftovers(directory) == []


def _stage_new(out):
    for name, data in NEW.items():
        out.path(name).write_bytes(data)


def _intercept(monkeypatch, step, fail_at, error):
    """Count the calls of `step` (os.fsync etc.), raising `error` at call number `fail_at`;
    returns the list of calls."""
    module = outdir.shutil if step == "rmtree" else os
    original = getattr(module, step)
    calls = []

    def intercepted(*args, **kwargs):
        calls.append(args)
        if len(calls) - 1 == fail_at:
            raise error
        return original(*args, **kwargs)
    monkeypatch.setattr(module, step, intercepted)
    return calls


# step: what failing it at each of its calls leaves (the old result published, or the new one)
OUTCOMES = {"fsync": {"old", "new"}, "symlink": {"old"}, "replace": {"old"}, "unlink": {"new"}, "rmtree": {"new"}}
EIO = OSError(errno.EIO, "injected")


@pytest.mark.parametrize("step, error", [*((step, EIO) for step in OUTCOMES), ("symlink", KeyboardInterrupt()),
                                         ("replace", KeyboardInterrupt())])
def test_a_failure_at_any_step_of_the_commit_leaves_one_complete_result(tmp_path, monkeypatch, step, error):
    expected_old, expected_new = {**OLD, **USER}, {**NEW, **USER}
    dry = tmp_path / "dry"
    _result_state(dry)
    with OutputDir(dry) as out:
        _stage_new(out)
        with monkeypatch.context() as patch:
            counted = _intercept(patch, step, None, error)
            out.commit()
    calls = len(counted)
    assert visible(dry) == expected_new and calls > 0
    outcomes = set()
    for k in range(calls):
        directory = tmp_path / f"k{k}"
        _result_state(directory)
        out = OutputDir(directory)
        out.open()
        try:
            _stage_new(out)
            with monkeypatch.context() as patch:
                _intercept(patch, step, k, error)
                try:
                    out.commit()
                    failed = False
                except (OutputDirError, KeyboardInterrupt) as exc:
                    failed = True
                    assert isinstance(exc, OutputDirError if isinstance(error, OSError) else KeyboardInterrupt)
                    assert exc.__context__ is error or exc is error
        finally:
            out.close()
        seen = visible(directory)
        # a failure is reported only when the previous result is still the one published
        assert seen == (expected_old if failed else expected_new), (step, k)
        assert (directory / "tracks.csv").is_symlink() and not (directory / "notes.txt").is_symlink()
        outcomes.add("old" if failed else "new")
        _next_run(directory)
    assert outcomes == OUTCOMES[step]


KILLED = """
import os, sys, time
from trakora_workflow.outdir import OutputDir
slow = float(sys.argv[2])
for step in ("fsync", "symlink", "replace", "unlink"):
    def slowed(*args, _original=getattr(os, step), **kwargs):
        time.sleep(slow)
        return _original(*args, **kwargs)
    setattr(os, step, slowed)
out = OutputDir(sys.argv[1])
out.open()
for i in range(6):
    out.path(f"new{i}.csv").write_bytes(b"new %d" % i)
out.path("tracks.csv").write_bytes(b"new tracks")
out.path("summary.json").write_bytes(b"new summary")
print("commit", flush=True)
start = time.perf_counter()
out.commit()
print(time.perf_counter() - start, flush=True)
"""


def _killed_run(directory, slow, delay):
    child = subprocess.Popen([sys.executable, "-c", KILLED, str(directory), str(slow)], env=cli_env(),
                             stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "commit\n"
        if delay is None:
            return float(child.stdout.readline())
        time.sleep(delay)
        child.send_signal(signal.SIGKILL)
        return child.wait(timeout=60)
    finally:
        child.kill()
        child.wait()


def test_sigkill_during_the_commit_leaves_one_complete_result(tmp_path):
    new = {**{f"new{i}.csv": b"new %d" % i for i in range(6)}, "tracks.csv": b"new tracks",
           "summary.json": b"new summary"}
    calibration = tmp_path / "calibration"
    _result_state(calibration)
    seconds = _killed_run(calibration, 0.004, None)
    assert visible(calibration) == {**new, **USER}
    rng = random.Random(7)
    for i in range(6):
        directory = tmp_path / f"run{i}"
        _result_state(directory)
        _killed_run(directory, 0.004, rng.uniform(0.0, 1.3 * seconds))
        assert visible(directory) in ({**OLD, **USER}, {**new, **USER}), i
        _next_run(directory)


WRITER = """
import signal, sys, time
from pathlib import Path
from trakora_workflow.outdir import OutputDir
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
    """Killed by SIGTERM's default action, the process leaves its folder behind but nothing
    visible changes; the next run removes the folder. With a handler that raises, the folder
    is removed at once."""
    before = visible(previous_run)
    child = subprocess.Popen([sys.executable, "-c", WRITER, str(previous_run), handling], env=cli_env(),
                             stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "writing\n"
        child.send_signal(signal.SIGTERM)
        status = child.wait(timeout=60)
    finally:
        child.kill()
    assert status == (-signal.SIGTERM if handling == "default" else 143)
    assert visible(previous_run) == before
    assert len(leftovers(previous_run)) == (1 if handling == "default" else 0)
    publish(previous_run, _Result())
    assert leftovers(previous_run) == []


def test_signals_during_the_commit_take_effect_after_it():
    reached = False
    with pytest.raises(KeyboardInterrupt):
        with outdir._DeferredSignals():
            os.kill(os.getpid(), signal.SIGINT)
            reached = True
    assert reached


# ---- the user's files -----------------------------------------------------------------------------

def _users(path, kind):
    if kind == "file":
        path.write_bytes(b"user data\n")
    elif kind == "folder":
        path.mkdir()
        (path / "inside.txt").write_bytes(b"user data\n")
    else:
        (path.parent / "elsewhere.csv").write_bytes(b"user data\n")
        path.symlink_to("elsewhere.csv")


@pytest.mark.parametrize("first_run", [True, False], ids=["first run", "over a previous run"])
@pytest.mark.parametrize("kind", ["file", "folder", "link"])
@pytest.mark.parametrize("name, written", [("ground_truth.csv", False), ("drift.csv", False),
                                           ("tracks.csv", True), ("summary.json", True)])
def test_a_file_of_the_users_under_an_output_name_is_never_touched(tmp_path, first_run, kind, name, written):
    out = tmp_path / "out"
    if not first_run:       # a previous run wrote all these names but the user's
        with OutputDir(out) as previous:
            for old in {"ground_truth.csv", "drift.csv", "tracks.csv", "summary.json"} - {name}:
                previous.path(old).write_bytes(b"old")
    out.mkdir(exist_ok=True)
    _users(out / name, kind)
    before = visible(out)
    if written:
        with pytest.raises(OutputDirError) as refused:
            publish(out, _Result())
        assert str(refused.value) == (f"'{out / name}' is a {'folder' if kind == 'folder' else 'file'} trakora "
                                      "did not write; move it away or choose another output directory")
        assert refused.value.path == str(out / name)
        assert visible(out) == before
    else:
        publish(out, _Result())
        assert visible(out)[name] == before[name]
        assert visible(out)["summary.json"] != before.get("summary.json")
    assert (out / name).is_symlink() == (kind == "link") and leftovers(out) == []


def test_a_name_taken_after_the_writing_is_refused_at_the_commit(previous_run):
    before = visible(previous_run)
    with OutputDir(previous_run) as out:
        write_outputs(_Result(), out, extra_summary={"run": "new"})
        (previous_run / "density.png").unlink()
        (previous_run / "density.png").write_bytes(b"the user's picture")
        with pytest.raises(OutputDirError, match="density.png"):
            out.commit()
    assert visible(previous_run) == {**before, "density.png": b"the user's picture"}


# ---- the directory ---------------------------------------------------------------------------------

def test_a_second_run_into_the_same_directory_is_refused(tmp_path):
    out = tmp_path / "out"
    with OutputDir(out) as first:
        with pytest.raises(OutputDirBusy) as refused:
            OutputDir(out).__enter__()
        first.write_json("summary.json", {"run": 1})
    assert str(refused.value) == (f"output directory '{out}' is in use by another trakora run; "
                                  "wait for it or choose another")
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
        return path, "is not writable"
    (tmp_path / "file").write_text("x")
    if kind == "a file":
        return tmp_path / "file", "exists and is not a directory"
    return tmp_path / "file" / "out", "cannot create the directory"


@pytest.mark.parametrize("kind", ["read-only", "a file", "under a file"])
def test_an_unusable_directory_is_one_line_naming_it(tmp_path, kind):
    path, reason = _unusable(tmp_path, kind)
    for attempt in (lambda: check_output_dir(path), lambda: OutputDir(path).__enter__()):
        with pytest.raises(OutputDirError) as error:
            attempt()
        message = str(error.value)
        assert message.startswith(f"output directory '{path}'") and reason in message and "\n" not in message
        assert "--" not in message and error.value.path == str(path)
    assert sorted(p.name for p in tmp_path.iterdir()) in (["locked"], ["file"])


@pytest.mark.parametrize("case, reason", [(".trakora is a file", "cannot hold trakora's folder .trakora"),
                                          (".trakora is a link", "holds .trakora, which is not trakora's folder"),
                                          ("no symbolic links", "is on a filesystem without symbolic links")])
def test_a_directory_that_cannot_hold_the_layout_is_refused(tmp_path, monkeypatch, case, reason):
    out = tmp_path / "out"
    out.mkdir()
    (out / "notes.txt").write_bytes(b"mine\n")
    if case == ".trakora is a file":
        (out / ".trakora").write_bytes(b"mine too\n")
    elif case == ".trakora is a link":
        (tmp_path / "elsewhere").mkdir()
        (out / ".trakora").symlink_to(tmp_path / "elsewhere")
    else:
        def refused(*args, **kwargs):
            raise OSError(errno.EPERM, "Operation not permitted")
        monkeypatch.setattr(os, "symlink", refused)
    before = visible(out)
    with pytest.raises(OutputDirError) as error:
        OutputDir(out).__enter__()
    assert str(error.value).startswith(f"output directory '{out}' {reason}") and "\n" not in str(error.value)
    assert visible(out) == before
    assert sorted(p.name for p in out.iterdir()) == sorted([*before, ".trakora"])
    if case == "no symbolic links":
        assert sorted(p.name for p in (out / ".trakora").iterdir()) == ["lock"]
    else:
        assert list((tmp_path / "elsewhere").iterdir() if case == ".trakora is a link" else []) == []


# ---- JSON and text ---------------------------------------------------------------------------------

def test_summary_json_is_strict_json(tmp_path):
    publish(tmp_path / "out", _Result())

    def refuse(constant):
        raise ValueError(f"not strict JSON: {constant}")
    summary = json.loads((tmp_path / "out" / "summary.json").read_text(encoding="utf-8"), parse_constant=refuse)
    assert summary["median_point_speed"] is None and summary["intensity"]["max"] is None
    assert summary["intensity"]["per_point"] == [10.0, None, 10.0, 5.0, 7.0]
    assert summary["tracks"] == 2 and summary["frame_shape"] == [20, 30]


@pytest.mark.parametrize("value, expected", [
    (float("nan"), None),
    ((np.float32(-np.inf), np.float64(1.5), np.int32(3), np.bool_(True)), [None, 1.5, 3, True]),
    ({np.int64(4): [np.array([[1.0, np.nan]]), (float("inf"),)]}, {4: [[[1.0, None]], [None]]}),
    (np.array(np.nan), None),
    ({"path": Path("a/b"), "empty": np.zeros((0, 2))}, {"path": "a/b", "empty": []}),
    # "µm" read from a command line under the C locale, a lone surrogate, a plain string
    ({"\udcc2\udcb5m": "\udcc2\udcb5m/s"}, {"µm": "µm/s"}),
    (["\ud800x", "\udcffy", "µm"], ["\ufffdx", "\ufffdy", "µm"]),
])
def test_to_json_safe(value, expected):
    safe = to_json_safe(value)
    assert safe == expected
    json.dumps(safe, allow_nan=False, ensure_ascii=False).encode("utf-8")


ENCODING = """
import json, locale, sys
from trakora_workflow import TrackingParams, simulate_recording, track
from trakora_workflow.outdir import OutputDir
from trakora_workflow.output import write_outputs
print(locale.getpreferredencoding(False), ascii(sys.argv[2]))
rec = simulate_recording(frames=10, shape=(48, 48), n_channels=1, spots_per_channel=3, n_brownian=4, seed=1)
result = track(rec.stack, TrackingParams(space_unit=sys.argv[2], time_unit="s", drift=True))
with OutputDir(sys.argv[1]) as out:
    out.write_csv("ground_truth.csv", rec.truth)
    write_outputs(result, out, rec.stack, {"note": sys.argv[2]})
    table = rec.truth.head(2).assign(**{"\\u00b5m": 1.5, "kind": "\\u00b5"})
    out.write_csv("pyarrow.csv", table)
    sys.modules["pyarrow"] = None                # the writer without pyarrow
    out.write_csv("pandas.csv", table)
"""


@pytest.mark.parametrize("unit, shown", [("µm", "µm"), ("$x^$", "$x^$")])
def test_outputs_are_utf8_whatever_the_locale(tmp_path, unit, shown):
    env = {**cli_env(), "LC_ALL": "C", "LANG": "C", "PYTHONIOENCODING": "ascii", "PYTHONUTF8": "0",
           "PYTHONCOERCECLOCALE": "0"}
    proc = subprocess.run([sys.executable, "-c", ENCODING, str(tmp_path / "out"), unit], env=env,
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    encoding, _ = proc.stdout.split(" ", 1)
    assert encoding.lower() in ("ansi_x3.4-1968", "ascii", "us-ascii")   # the locale really is ASCII
    summary = json.loads((tmp_path / "out" / "summary.json").read_bytes().decode("utf-8"))
    assert summary["units"]["space"] == shown and summary["note"] == shown
    files = visible(tmp_path / "out")
    assert {"density.png", "speed.png", "msd.png", "overlay.png", "drift.csv"} <= set(files)
    for name, data in files.items():
        if name.endswith(".csv"):
            data.decode("utf-8")
    for writer in ("pyarrow", "pandas"):
        table = pd.read_csv(tmp_path / "out" / f"{writer}.csv", encoding="utf-8")
        assert table.columns[-1] == "µm" and table["kind"].tolist() == ["µ", "µ"], writer


# ---- pictures ----------------------------------------------------------------------------------------

def _image_area(path):
    """The pixels of a saved picture of the 20 x 30 field well inside its image (which spans
    about (0.08, 0.08)-(0.86, 0.87) of the picture)."""
    import matplotlib.image
    pixels = matplotlib.image.imread(path)[..., :3]
    h, w = pixels.shape[:2]
    return pixels[int(0.15 * h):int(0.85 * h), int(0.1 * w):int(0.78 * w)]


@pytest.mark.parametrize("writer", ["save_density_png", "save_speed_png"])
def test_a_non_finite_pixel_does_not_blank_the_pictures(tmp_path, writer):
    finite, infinite = _Result(intensity=3.0), _Result(intensity=np.inf)
    assert not np.isfinite(infinite.rendering.density).all()
    for result, name in ((finite, "finite.png"), (infinite, "inf.png")):
        getattr(pictures, writer)(result, tmp_path / name)
    shown, reference = _image_area(tmp_path / "inf.png"), _image_area(tmp_path / "finite.png")
    assert shown.var() > 0.3 * reference.var()                 # the tracks are drawn
    assert (shown.sum(axis=-1) < 0.1).mean() > 0.5              # on a black background
    # the scales come from the finite pixels: the same as with the non-finite ones left out
    r = infinite.rendering
    finite_only = [np.where(np.isfinite(a), a, 0.0) for a in (r.density, r.speed, r.weight)]
    assert pictures.density_scale(r.density) == pictures.density_scale(finite_only[0]) > 1
    assert pictures.speed_scale(r.speed, r.weight) == pictures.speed_scale(finite_only[1], finite_only[2])


def _draw(which, result, path):
    if which in ("density", "speed"):
        return getattr(pictures, f"save_{which}_png")(result, path)
    if which == "msd":
        emsd = pd.DataFrame({"lag_time": [1.0, 2.0, 3.0], "msd": [1.0, 2.1, 2.9], "count": [4, 3, 2]})
        return pictures.save_msd_png(emsd, {"A": 1.0, "n": 1.0, "D": 0.25, "lags_used": 3}, path,
                                     result.params.space_unit, result.params.time_unit)
    return pictures.save_overlay_png(np.arange(600, dtype=np.uint16).reshape(20, 30), result.detections(),
                                     result.table(), path, 1.0, result.params.space_unit)


PICTURES = ["density", "speed", "msd", "overlay"]


@pytest.mark.parametrize("which", PICTURES)
@pytest.mark.parametrize("unit", ["µm", "$x^$", "\udcc2\udcb5m", "a_b^c \\alpha", "$\\mu$m"])
def test_any_unit_is_drawn_as_text(tmp_path, drawn_texts, which, unit):
    fig = _draw(which, _Result(intensity=3.0, space_unit=unit, time_unit=unit), tmp_path / "p.png")
    assert (tmp_path / "p.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    if which in ("density", "speed"):
        texts = drawn_texts
    else:
        texts = [t.get_text().replace("\\$", "$") for t in fig.findobj(lambda a: hasattr(a, "get_text"))]
    assert [t for t in texts if utf8_text(unit) in t], "the unit appears in no label"


@pytest.mark.parametrize("which", PICTURES)
def test_running_out_of_memory_while_drawing_is_one_line_naming_the_picture(tmp_path, monkeypatch, which):
    from matplotlib.figure import Figure

    from trakora_workflow import mapimage

    def exhausted(*args, **kwargs):
        raise MemoryError()
    monkeypatch.setattr(Figure, "savefig", exhausted)
    monkeypatch.setattr(mapimage, "save_png", exhausted)
    with pytest.raises(OutputError) as error:
        _draw(which, _Result(intensity=3.0), tmp_path / f"{which}.png")
    message = str(error.value)
    assert message.startswith("not enough memory to draw the ") and message.endswith(f" {which}.png")
    assert error.value.path == str(tmp_path / f"{which}.png") and "\n" not in message


def _full_size_reduction(r, ndim, factor):
    """The pictures' images computed the plain way, with full-size float64 copies."""
    density, speed, weight = (np.asarray(a, np.float64) for a in (r.density, r.speed, r.weight))
    with np.errstate(invalid="ignore", divide="ignore"):
        if ndim == 3:
            projected = (weight * speed).sum(axis=0)
            density, weight = density.sum(axis=0), weight.sum(axis=0)
            speed = np.where(weight > 0, projected / weight, 0.0)
        weighted = np.where(weight > 0, weight * speed, 0.0)
        rows, cols = (-(-n // factor) * factor for n in density.shape)

        def blocks(a):
            padded = np.zeros((rows, cols))
            padded[:a.shape[0], :a.shape[1]] = a
            return padded.reshape(rows // factor, factor, cols // factor, factor)
        w = blocks(weight).sum(axis=(1, 3))
        return blocks(density).max(axis=(1, 3)), np.where(w > 0, blocks(weighted).sum(axis=(1, 3)) / w, 0.0), w


@pytest.mark.parametrize("shape", [(37, 23), (64, 64), (5, 41, 19)])
def test_the_banded_reduction_equals_the_full_size_one(monkeypatch, shape):
    monkeypatch.setattr(pictures, "DISPLAY_PIXELS", 10)
    monkeypatch.setattr(pictures, "BAND_ELEMENTS", 100)          # many bands, the last one short
    rng = np.random.default_rng(3)
    arrays = [rng.random(shape, dtype=np.float32) * (rng.random(shape) < 0.3) for _ in range(3)]
    arrays[0][(0,) * len(shape)] = np.inf
    arrays[1][(1,) * len(shape)] = np.nan
    r = SimpleNamespace(density=arrays[0], speed=arrays[1], weight=arrays[2])
    factor = pictures.display_factor(shape[-2:])
    assert factor > 1
    for got, expected in zip(pictures.reduced(r, len(shape)), _full_size_reduction(r, len(shape), factor)):
        np.testing.assert_allclose(got, expected, rtol=1e-5, atol=1e-9)


def _big_result(shape):
    result = _Result(intensity=3.0)
    rng = np.random.default_rng(0)
    image = rng.random(shape, dtype=np.float32)
    result.ndim = len(shape)
    result.rendering = Rendering(density=image, counts=image, speed=image.copy(), weight=image.copy(),
                                 extent=(0.0, float(shape[-1]), 0.0, float(shape[-2])), pixel_size=1.0)
    return result


@pytest.mark.parametrize("shape", [(16000, 320), (10, 4000, 128)])
def test_drawing_a_large_rendering_needs_no_full_size_copy(tmp_path, shape):
    """Traced allocations (NumPy reports its buffers) while drawing density and speed, over
    those of a rendering already of the drawn size: less than half of one rendered image."""
    big = _big_result(shape)
    factor = pictures.display_factor(shape[-2:])
    small = _big_result((-(-shape[-2] // factor), -(-shape[-1] // factor)))

    def peak(result):
        pictures.save_density_png(result, tmp_path / "warm.png")     # fonts, colour maps loaded
        tracemalloc.start()
        try:
            pictures.save_density_png(result, tmp_path / "d.png")
            pictures.save_speed_png(result, tmp_path / "s.png")
            return tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
    extra = peak(big) - peak(small)
    assert extra < 0.5 * big.rendering.density.nbytes, (extra, big.rendering.density.nbytes)
