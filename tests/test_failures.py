"""Failure modes of the workflow and the command: frame recovery on awkward inputs, one-line
errors naming the option, NaN pixels, signals. (The outputs' own failure modes are in
test_outputs.py.)"""
import json
import re
import subprocess
import sys

import numpy as np
import pytest

from commandline import cli_env, one_line_error, run_cli
from test_outputs import leftovers, visible
from trakora_workflow import frames as frames_module
from trakora_workflow import simulate_recording
from trakora_workflow.frames import recover_points


# ---- recover_points against the plain-Python matching it replaced -----------------------------

def _reference_row_keys(table, ncol):
    rows = np.ascontiguousarray(np.asarray(table, dtype=np.float32)[:, :ncol])
    if len(rows) == 0:
        return []
    return rows.view(f"V{4 * ncol}").ravel().tolist()


def reference_recover_points(tables, matrix, track_end_indices, max_skip=None):
    ncol = matrix.shape[1]
    slots = {}
    for f, table in enumerate(tables):
        for r, key in enumerate(_reference_row_keys(table, ncol)):
            slots.setdefault(key, []).append((f, r))
    keys = _reference_row_keys(matrix, ncol)
    n = len(keys)
    frames = np.full(n, -1, dtype=np.int64)
    rows = np.full(n, -1, dtype=np.int64)
    used = set()
    candidates = []
    for i, key in enumerate(keys):
        found = slots.get(key)
        if found is None:
            raise ValueError(f"row {i} of the track matrix matches no row of the frame tables")
        candidates.append(found)
        if len(found) == 1:
            if found[0] in used:
                raise ValueError(f"row {i} of the track matrix repeats a point used by another row")
            used.add(found[0])
            frames[i], rows[i] = found[0]
    gap = None if max_skip is None else max_skip + 1
    start = 0
    for end in np.asarray(track_end_indices, dtype=np.int64):
        for i in range(start, end):
            if frames[i] >= 0:
                continue
            first = frames[i - 1] + 1 if i > start else 0
            last = frames[i - 1] + gap if (i > start and gap is not None) else np.inf
            if i + 1 < end and frames[i + 1] >= 0:
                last = min(last, frames[i + 1] - 1)
            free = [c for c in candidates[i] if c not in used]
            fitting = [c for c in free if first <= c[0] <= last] or [c for c in free if c[0] >= first] or free
            if not fitting:
                raise ValueError(f"row {i} of the track matrix matches no unused row of the frame tables")
            used.add(fitting[0])
            frames[i], rows[i] = fitting[0]
        start = max(start, int(end))
    return frames, rows


def _outcome(fn, *args):
    try:
        frames, rows = fn(*args)
    except Exception as exc:  # the error is part of the result
        return type(exc).__name__, str(exc)
    return frames.tolist(), rows.tolist()


def _random_case(rng, ncol):
    """Frame tables with many repeated rows (a small pool of values) and a matrix of tracks
    taken from them, now and then with a row that is not in the tables, a repeated row, or
    track ends that leave rows out or run past the matrix."""
    n_frames = int(rng.integers(0, 8))
    if rng.random() < 0.7:
        pool = np.array([0.0, -0.0, 1.0, 2.5, np.nan], dtype=np.float32)[:int(rng.integers(1, 6))]
        value = lambda size: rng.choice(pool, size)  # noqa: E731
    else:
        value = lambda size: rng.normal(0, 10, size)  # noqa: E731
    extra = int(rng.random() < 0.2)
    tables = [value((int(rng.integers(0, 5)), ncol + extra)).astype(np.float32) for _ in range(n_frames)]
    points = [(f, r) for f, t in enumerate(tables) for r in range(len(t))]
    rng.shuffle(points)
    tracks = []
    while points:
        take = int(rng.integers(1, 5))
        track, points = sorted(points[:take]), points[take:]
        if rng.random() < 0.2:
            rng.shuffle(track)
        tracks.append([tables[f][r, :ncol] for f, r in track])
    if tracks and rng.random() < 0.1:
        tracks[int(rng.integers(len(tracks)))].append(np.float32(rng.normal(50, 1, ncol)))
    if tracks and rng.random() < 0.1:
        tracks[int(rng.integers(len(tracks)))].append(tracks[0][0])
    rng.shuffle(tracks)
    matrix = (np.array([p for t in tracks for p in t], dtype=np.float32).reshape(-1, ncol))
    ends = np.cumsum([len(t) for t in tracks]).astype(np.int32)
    if len(ends) and rng.random() < 0.15:
        ends = ends[:-1] if rng.random() < 0.5 else np.append(ends, ends[-1] + int(rng.integers(1, 3)))
    if len(ends) > 1 and rng.random() < 0.1:
        ends = rng.permutation(ends)
    max_skip = [None, 0, 1, 3][int(rng.integers(4))]
    return tables, matrix, ends, max_skip


def _still_spots_case(rng, ncol):
    """Spots that sit still over many frames (one pattern each, now and then twice in a frame),
    among moving ones; each spot's points in frame order cut into tracks, some points left out,
    some tracks led by a moving spot, tracks in any order."""
    n_frames = int(rng.integers(2, 40))
    spots = np.float32(rng.integers(0, 3, (int(rng.integers(1, 5)), ncol)))
    tables, moving, still = [], [], []
    for f in range(n_frames):
        here = [s for s in spots for _ in range(int(rng.choice([0, 1, 1, 1, 1, 2])))]
        spot_rows = list(np.float32(rng.normal(0, 10, (int(rng.integers(0, 3)), ncol))))
        tables.append(np.array(here + spot_rows, np.float32).reshape(-1, ncol))
        moving += [[m] for m in spot_rows]
    for spot in spots:
        points = [spot for t in tables for row in t if row.tobytes() == spot.tobytes()]
        points = [p for p in points if rng.random() < 0.9]
        cuts = np.sort(rng.integers(0, len(points) + 1, int(rng.integers(0, 3))))
        for part in np.split(np.array(points).reshape(-1, ncol), cuts):
            if len(part):
                lead = moving.pop() if moving and rng.random() < 0.4 else []    # after a moving spot
                still.append(lead + list(part))
    tracks = moving + still
    order = rng.permutation(len(tracks))
    tracks = [tracks[k] for k in order]
    matrix = np.array([p for t in tracks for p in t], np.float32).reshape(-1, ncol)
    ends = np.cumsum([len(t) for t in tracks]).astype(np.int32)
    return tables, matrix, ends, 1


def _weak_hash(words):
    """Collides for most rows, to exercise the exact comparison behind the hash."""
    return (words[:, 0] & np.uint32(3)).astype(np.uint64)


@pytest.mark.parametrize("ncol", [3, 4])
@pytest.mark.parametrize("variant", ["plain", "colliding hashes", "every run at once"])
def test_recover_points_equals_the_reference_on_random_inputs(ncol, variant, monkeypatch):
    if variant == "colliding hashes":
        monkeypatch.setattr(frames_module, "_row_hash", _weak_hash)
    if variant == "every run at once":     # runs of identical rows taken at once from one row on
        monkeypatch.setattr(frames_module, "_LONG_RUN", 1)
    rng = np.random.default_rng(ncol)
    kinds = set()
    for k in range(1500):
        case = (_random_case if k % 3 else _still_spots_case)(rng, ncol)
        expected = _outcome(reference_recover_points, *case)
        assert _outcome(recover_points, *case) == expected, case
        kinds.add("ok" if not isinstance(expected[0], str) else re.sub(r"\d+", "N", expected[1]))
    # every outcome shows up: results and each kind of error
    assert kinds == {"ok", "row N of the track matrix matches no row of the frame tables",
                     "row N of the track matrix repeats a point used by another row",
                     "row N of the track matrix matches no unused row of the frame tables",
                     "index N is out of bounds for axis N with size N"}, kinds


@pytest.mark.parametrize("matrix, ends, expected", [
    ([(5, 5, 1)], [1], "row 0 of the track matrix matches no row of the frame tables"),
    ([(1, 1, 1), (1, 1, 1)], [2], "row 1 of the track matrix repeats a point used by another row"),
    ([(2, 2, 2)] * 3, [3], "row 2 of the track matrix matches no unused row of the frame tables"),
    # the first failing row is reported, whatever its kind
    ([(1, 1, 1), (9, 9, 9), (1, 1, 1)], [3], "row 1 of the track matrix matches no row"),
])
def test_recover_points_errors(matrix, ends, expected):
    tables = [np.float32([(1, 1, 1), (2, 2, 2)]), np.float32([(2, 2, 2)])]
    with pytest.raises(ValueError, match=expected):
        recover_points(tables, np.float32(matrix), np.array(ends, np.int32), 1)


def test_recover_points_on_a_still_spot_over_many_frames():
    """Every row identical in 300 frames, two tracks taking turns: resolved like the reference."""
    still = np.float32([(3, 4, 7)])
    tables = [still.copy() for _ in range(300)]
    matrix = np.repeat(still, 300, axis=0)
    ends = np.array([120, 300], np.int32)
    expected = reference_recover_points(tables, matrix, ends, 1)
    got = recover_points(tables, matrix, ends, 1)
    assert [a.tolist() for a in got] == [a.tolist() for a in expected]
    assert got[0].tolist() == list(range(300))


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
