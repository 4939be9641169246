"""Failure paths of the workflow: frame recovery on awkward inputs, interrupted or concurrent
writes of the outputs, strict JSON, non-finite pixels, unusable output directories."""
import numpy as np
import pytest

from trakora_workflow import frames as frames_module
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


def _weak_hash(words):
    """Collides for most rows, to exercise the exact comparison behind the hash."""
    return (words[:, 0] & np.uint32(3)).astype(np.uint64)


@pytest.mark.parametrize("ncol", [3, 4])
@pytest.mark.parametrize("hashing", ["normal", "colliding"])
def test_recover_points_equals_the_reference_on_random_inputs(ncol, hashing, monkeypatch):
    if hashing == "colliding":
        monkeypatch.setattr(frames_module, "_row_hash", _weak_hash)
    rng = np.random.default_rng(ncol)
    kinds = set()
    for _ in range(1500):
        case = _random_case(rng, ncol)
        expected = _outcome(reference_recover_points, *case)
        assert _outcome(recover_points, *case) == expected, case
        kinds.add(expected[0] if isinstance(expected[0], str) else "ok")
    # every outcome shows up: results and each kind of error
    assert kinds == {"ok", "ValueError", "IndexError"}


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
