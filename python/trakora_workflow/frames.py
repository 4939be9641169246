"""Recovering the frame of every linked point.

The linkers' track matrices hold only x, y(, z), intensity; every row is a bit-for-bit copy
of one row of the frame tables they were given. So each matrix row is matched back to the
table rows that have exactly the same bits. A bit pattern that occurs in one table row only
(the usual case for sub-pixel positions) identifies its frame with certainty. When identical
rows occur in several frames (a spot that sits still in noise-free data, integer positions
with integer intensities), the candidates are resolved along the track: frames increase by at
least 1 and at most `max_skip` + 1 from one point to the next, and no table row is used twice;
among the candidates that fit, the earliest frame is taken.
"""
from __future__ import annotations

import numpy as np


def _row_keys(table: np.ndarray, ncol: int) -> list[bytes]:
    rows = np.ascontiguousarray(np.asarray(table, dtype=np.float32)[:, :ncol])
    if len(rows) == 0:
        return []
    return rows.view(f"V{4 * ncol}").ravel().tolist()


def recover_points(tables: list[np.ndarray], matrix: np.ndarray, track_end_indices: np.ndarray,
                   max_skip: int | None = None) -> tuple[np.ndarray, np.ndarray]:
    """For each row of a track matrix, the frame it came from and its row in that frame's table.

    `tables` are the frame tables given to the linker, `matrix` and `track_end_indices` its
    result. Raises ValueError if a matrix row matches no unused table row.
    """
    ncol = matrix.shape[1]
    slots: dict[bytes, list[tuple[int, int]]] = {}
    for f, table in enumerate(tables):
        for r, key in enumerate(_row_keys(table, ncol)):
            slots.setdefault(key, []).append((f, r))

    keys = _row_keys(matrix, ncol)
    n = len(keys)
    frames = np.full(n, -1, dtype=np.int64)
    rows = np.full(n, -1, dtype=np.int64)
    used: set[tuple[int, int]] = set()
    candidates: list[list[tuple[int, int]]] = []
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
