"""Recovering the frame of every linked point.

The linkers' track matrices hold only x, y(, z), intensity; every row is a bit-for-bit copy
of one row of the frame tables they were given. So each matrix row is matched back to the
table rows that have exactly the same bits. A bit pattern that occurs in one table row only
(the usual case for sub-pixel positions) identifies its frame with certainty. When identical
rows occur in several frames (a spot that sits still in noise-free data, integer positions
with integer intensities), the candidates are resolved along the track, point after point,
and no table row is used twice: a point takes the earliest unused candidate in a frame after
the previous point's (so the one within `max_skip` + 1 frames of it whenever there is one),
failing that the earliest unused candidate at all.

The matching is vectorized: the rows of all tables and of the matrix are hashed to 64 bits,
sorted once together and grouped by their exact bits (rows whose hashes collide are told
apart by their bits), so that a group holds the table rows of one bit pattern in frame order
followed by the matrix rows that carry it. Only matrix rows of patterns found in several
table rows go through the resolution along the tracks, which works on runs (consecutive rows
of one pattern in one track): patterns whose runs cannot interfere are resolved all at once,
long runs each at once, and the rest row after row.
"""
from __future__ import annotations

import bisect
import operator
from typing import NamedTuple

import numpy as np
import numpy.typing as npt

_MIX = tuple(np.uint64(c) for c in (0x9E3779B97F4A7C15, 0xC2B2AE3D27D4EB4F, 0x165667B19E3779F9,
                                     0xD6E8FEB86659FD93, 0xFF51AFD7ED558CCD, 0xC4CEB9FE1A85EC53))
_BLOCK = 8192  # rows hashed at a time


def _row_words(table: np.ndarray, ncol: int) -> np.ndarray:
    """The first `ncol` float32 columns of a table as (rows, ncol) uint32 bit patterns."""
    rows = np.ascontiguousarray(np.asarray(table, dtype=np.float32)[:, :ncol])
    if len(rows) == 0:
        return np.zeros((0, ncol), dtype=np.uint32)
    keys = rows.view(f"V{4 * ncol}").ravel()
    return keys.view(np.uint32).reshape(len(keys), ncol)


def _row_hash(words: np.ndarray) -> np.ndarray:
    """A 64-bit hash of every row of a (rows, ncol) uint32 array: the sum of each word times
    its own odd constant (a product's high bits depend on all of the word's bits)."""
    h = np.zeros(len(words), dtype=np.uint64)
    term = np.empty(len(words), dtype=np.uint64)
    for k in range(words.shape[1]):
        np.multiply(words[:, k], _MIX[k % len(_MIX)], out=term)
        h += term
    return h


def _sorted_groups(words: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Order the rows so that identical rows are adjacent, in their original order.

    Returns (order, first): `order` lists row indices; `first[k]` tells whether position k of
    `order` starts a group of identical rows.
    """
    n = len(words)
    bits = max(1, (n - 1).bit_length())
    # Each sort key carries the row index in its low bits, so one value sort orders the rows
    # by hash and, within a hash, by index. Keys are made in blocks that stay in cache.
    low = np.uint64((1 << bits) - 1)
    packed = np.empty(n, dtype=np.uint64)
    for a in range(0, n, _BLOCK):
        b = min(a + _BLOCK, n)
        block = packed[a:b]
        block[:] = _row_hash(words[a:b])
        block &= ~low
        block |= np.arange(a, b, dtype=np.uint64)
    packed.sort()
    if n < 2**31:
        order: npt.NDArray[np.signedinteger] = np.empty(n, dtype=np.int32)
        np.bitwise_and(packed, low, out=order, casting="unsafe")
    else:
        order = (packed & low).view(np.int64)
    packed >>= np.uint64(bits)
    new_hash = np.empty(n, dtype=bool)
    new_hash[0] = True
    np.not_equal(packed[1:], packed[:-1], out=new_hash[1:])
    del packed
    # Neighbours in that order compared bit for bit, a block of rows at a time.
    first = np.empty(n, dtype=bool)
    for a in range(0, n, 8 * _BLOCK):
        b = min(a + 8 * _BLOCK, n)
        rows = np.take(words, order[max(a - 1, 0):b], axis=0)
        first[a:b] = _differs_from_previous(rows)[1:] if a else _differs_from_previous(rows)
    collided = np.flatnonzero(first & ~new_hash)
    if len(collided):
        # Different rows with one hash: sort each such run by its bits (stably, so that identical
        # rows keep their order) and compare again.
        run_starts = np.flatnonzero(new_hash)
        run_ends = np.append(run_starts[1:], n)
        for r in np.unique(np.searchsorted(run_starts, collided, side="right") - 1):
            a, b = int(run_starts[r]), int(run_ends[r])
            run = np.take(words, order[a:b], axis=0)
            perm = np.lexsort(run.T[::-1])
            order[a:b] = order[a:b][perm]
            first[a:b] = _differs_from_previous(run[perm])
    return order, first


def _differs_from_previous(rows: np.ndarray) -> np.ndarray:
    """For each row, whether it is the first or differs from the one before."""
    out = np.empty(len(rows), dtype=bool)
    out[:1] = True
    differs = out[1:]
    differs[:] = False
    for k in range(rows.shape[1]):
        differs |= rows[1:, k] != rows[:-1, k]
    return out


def _track_ranges(track_end_indices) -> tuple[np.ndarray, np.ndarray]:
    """The non-empty row ranges [start, end) walked for the tracks, in order.

    A track starts where the furthest previous track ended; ranges tile [0, max end)."""
    ends = np.asarray(track_end_indices, dtype=np.int64)
    if ends.ndim != 1:
        iter(ends)  # a scalar is no list of end indices (TypeError)
        if len(ends):
            operator.index(ends[0])  # nor is a list of lists (TypeError)
        ends = np.zeros(0, dtype=np.int64)
    starts = np.maximum.accumulate(np.concatenate([[0], ends]))[:-1]
    walked = ends > starts
    return starts[walked], ends[walked]


def recover_points(tables: list[np.ndarray], matrix: np.ndarray, track_end_indices: np.ndarray,
                   max_skip: int | None = None) -> tuple[np.ndarray, np.ndarray]:
    """For each row of a track matrix, the frame it came from and its row in that frame's table.

    `tables` are the frame tables given to the linker, `matrix` and `track_end_indices` its
    result, `max_skip` the linker's (the earliest candidate after the previous point is the
    one within `max_skip` + 1 frames whenever there is one, so it does not change the result).
    Raises ValueError if a matrix row matches no table row, repeats a table row matched by
    another matrix row (the first such row is named), or else (among identical rows in several
    frames) finds every candidate already used. Rows outside every track keep frame and row
    -1 when their pattern occurs in several frames.
    """
    ncol = matrix.shape[1]
    table_words = [_row_words(table, ncol) for table in tables]
    matrix_words = _row_words(matrix, ncol)
    n = len(matrix_words)
    frames = np.full(n, -1, dtype=np.int64)
    rows = np.full(n, -1, dtype=np.int64)
    ambiguous = _match(table_words, matrix_words, frames, rows) if n else None

    range_starts, range_ends = _track_ranges(track_end_indices)
    reach = int(range_ends[-1]) if len(range_ends) else 0
    if ambiguous is not None:
        todo = np.flatnonzero(frames < 0)
        todo = todo[todo < reach]
        if len(todo):
            _resolve_along_tracks(todo, range_starts, range_ends, frames, rows, ambiguous)
    if reach > n:
        # The tracks run past the last row of the matrix.
        raise IndexError(f"index {n} is out of bounds for axis 0 with size {n}")
    return frames, rows


class _Ambiguous(NamedTuple):
    """Matrix rows whose pattern occurs in several table rows, and where to find those."""

    rows: np.ndarray        # matrix row indices
    lo: np.ndarray          # their candidates are order[lo:hi], in frame order
    hi: np.ndarray
    order: np.ndarray       # positions in the concatenated tables (then matrix), grouped
    frame_of: np.ndarray    # frame of every position in the concatenated tables
    offsets: np.ndarray     # first position of every frame's table


def _match(table_words: list[np.ndarray], matrix_words: np.ndarray, frames: np.ndarray,
           rows: np.ndarray) -> _Ambiguous | None:
    """Fill frames/rows of the matrix rows whose pattern occurs in one table row; raise for
    rows that match nothing or repeat such a row; leave the ambiguous rows at -1."""
    counts = np.array([len(w) for w in table_words], dtype=np.int64)
    offsets = np.concatenate([[0], np.cumsum(counts)])
    n_table = int(offsets[-1])
    n = len(matrix_words)
    words = np.concatenate([*table_words, matrix_words]) if n_table else matrix_words
    order, first = _sorted_groups(words)
    del words
    size = len(order)
    is_table = order < n_table
    # Table rows come first in every group (lower indices), in frame order, then the matrix
    # rows, in row order. The usual group is one table row and one matrix row.
    pair = np.zeros(size, dtype=bool)
    if size > 1:
        np.logical_and(first[:-1], is_table[:-1], out=pair[1:])
        pair[1:] &= ~is_table[1:]
        pair[1:-1] &= first[2:]
    at = np.flatnonzero(pair)
    i = order[at] - n_table
    p = order[at - 1]
    del pair
    others = np.flatnonzero(~is_table)
    several = None
    if len(others) != len(at):
        others = others[~np.isin(others, at, assume_unique=True)]
        several = _match_others(order, first, is_table, others, n_table, n)
    frame_of = np.repeat(np.arange(len(counts), dtype=np.int32 if len(counts) < 2**31 else np.int64), counts)
    fp = frame_of[p]
    frames[i] = fp
    rows[i] = p - offsets[fp]
    return None if several is None else _Ambiguous(*several, order, frame_of, offsets)


def _match_others(order: np.ndarray, first: np.ndarray, is_table: np.ndarray, at: np.ndarray,
                  n_table: int, n: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The matrix rows at sorted positions `at` that are not the one matrix row of a group with
    one table row: raise for the first that matches nothing or repeats a point, else return
    them (all ambiguous then) with the range of their candidates in `order`."""
    starts = np.flatnonzero(first)
    s = starts[np.searchsorted(starts, at, side="right") - 1]
    tables_before = np.concatenate([[0], np.cumsum(is_table, dtype=np.int64)])
    found = tables_before[at] - tables_before[s]
    i = order[at] - n_table
    unmatched = i[found == 0]
    repeated = i[(found == 1) & (at > s + 1)]
    if len(unmatched) or len(repeated):
        first_unmatched = unmatched.min() if len(unmatched) else n
        first_repeated = repeated.min() if len(repeated) else n
        if first_unmatched < first_repeated:
            raise ValueError(f"row {first_unmatched} of the track matrix matches no row of the frame tables")
        raise ValueError(f"row {first_repeated} of the track matrix repeats a point used by another row")
    return i, s, s + found


_LONG_RUN = 16  # rows of one pattern in a row in one track, from which a run is taken at once


def _resolve_along_tracks(todo: np.ndarray, range_starts: np.ndarray, range_ends: np.ndarray,
                          frames: np.ndarray, rows: np.ndarray, amb: _Ambiguous) -> None:
    """Give each ambiguous row (in `todo`, ascending) its table row, in track order: the
    patterns whose runs cannot interfere at once, then run after run in row order."""
    order, frame_of, offsets = amb.order, amb.frame_of, amb.offsets
    by_row = np.argsort(amb.rows)
    pick = by_row[np.searchsorted(amb.rows[by_row], todo)]
    track = np.searchsorted(range_ends, todo, side="right")
    starts, ends, lo, hi = range_starts[track], range_ends[track], amb.lo[pick], amb.hi[pick]
    left = _resolve_runs(todo, starts, lo, hi, frames, rows, amb, ends[-1] > len(frames))
    todo, starts, ends, lo, hi = todo[left], starts[left], ends[left], lo[left], hi[left]
    if not len(todo):
        return
    n = len(frames)
    # The unused candidates of every pattern met so far: positions in `order` and their frames,
    # both ascending; NumPy arrays while long runs take them, lists while single rows do.
    free: dict[int, tuple] = {}

    new_run = np.ones(len(todo), dtype=bool)
    new_run[1:] = (todo[1:] != todo[:-1] + 1) | (starts[1:] != starts[:-1]) | (lo[1:] != lo[:-1])
    bounds = np.append(np.flatnonzero(new_run), len(todo)).tolist()
    for first, stop in zip(bounds[:-1], bounds[1:]):
        row, start, end, a, b = (int(todo[first]), int(starts[first]), int(ends[first]), int(lo[first]),
                                 int(hi[first]))
        if a not in free:
            free[a] = (np.arange(a, b), frame_of[order[a:b]].astype(np.int64))
        positions, cand_frames = free[a]
        count = stop - first
        last = row + count - 1
        after = int(frames[row - 1]) + 1 if row > start else 0
        if count >= _LONG_RUN and len(cand_frames) and not (last + 1 < end and last + 1 >= n):
            # One after the other, the rows take the first unused candidate of every later frame.
            p, f = np.asarray(positions, dtype=np.int64), np.asarray(cand_frames, dtype=np.int64)
            block = np.flatnonzero(np.concatenate([[True], f[1:] != f[:-1]]))
            block = block[np.searchsorted(f[block], after):][:count]
            taken = slice(row, row + len(block))
            frames[taken] = f[block]
            rows[taken] = order[p[block]] - offsets[f[block]]
            free[a] = positions, cand_frames = np.delete(p, block), np.delete(f, block)
            row += len(block)
        if row <= last and isinstance(positions, np.ndarray):
            free[a] = positions, cand_frames = positions.tolist(), cand_frames.tolist()
        for row in range(row, last + 1):
            if row + 1 < end and row + 1 >= n:
                raise IndexError(f"index {n} is out of bounds for axis 0 with size {n}")
            if row > start:
                after = int(frames[row - 1]) + 1
            index = bisect.bisect_left(cand_frames, after)
            if index == len(cand_frames):
                index = 0
                if not cand_frames:
                    raise ValueError(f"row {row} of the track matrix matches no unused row of the frame tables")
            frames[row] = cand_frames[index]
            rows[row] = int(order[positions[index]]) - int(offsets[cand_frames[index]])
            del positions[index], cand_frames[index]


def _resolve_runs(todo: np.ndarray, starts: np.ndarray, lo: np.ndarray, hi: np.ndarray, frames: np.ndarray,
                  rows: np.ndarray, amb: _Ambiguous, past_end: bool) -> np.ndarray:
    """Resolve at once the ambiguous rows of the patterns where taking candidates one after
    the other cannot go differently: every run of consecutive rows of the pattern within a
    track follows a resolved row (or starts its track), and the candidates the runs take, in
    strictly increasing frames from the first one after that row, exist and do not overlap.
    (A spot that sits still in one track over many frames is such a pattern.) Returns the
    mask of the rows left to resolve one by one."""
    k = len(todo)
    # runs: consecutive matrix rows of one track and one pattern
    new_run = np.ones(k, dtype=bool)
    new_run[1:] = (todo[1:] != todo[:-1] + 1) | (starts[1:] != starts[:-1]) | (lo[1:] != lo[:-1])
    run_first = np.flatnonzero(new_run)
    run_len = np.diff(np.append(run_first, k))
    first_row = todo[run_first]
    at_start = first_row == starts[run_first]
    before = frames[np.maximum(first_row - 1, 0)]
    after = np.where(at_start, 0, before + 1)
    group, run_group = np.unique(lo[run_first], return_inverse=True)
    group_end = hi[run_first][np.unique(run_group, return_index=True)[1]]
    # the candidates of every pattern, side by side: pattern g holds [base[g], base[g + 1])
    sizes = group_end - group
    base = np.concatenate([[0], np.cumsum(sizes)])
    position = np.repeat(group - base[:-1], sizes) + np.arange(base[-1])
    cand_frame = amb.frame_of[amb.order[position]].astype(np.int64)
    span = int(cand_frame.max()) + 2 if len(cand_frame) else 1
    key = np.repeat(np.arange(len(group), dtype=np.int64), sizes) * span + cand_frame
    first_cand = np.searchsorted(key, run_group * span + np.minimum(after, span - 1))
    last_cand = first_cand + run_len              # one past the run's last candidate
    rising = np.concatenate([[0], np.cumsum(cand_frame[1:] <= cand_frame[:-1])])
    fits = at_start | (before >= 0)               # a run after an unresolved row waits for it
    fits &= last_cand <= base[run_group + 1]
    end = len(cand_frame) - 1
    fits &= rising[np.minimum(last_cand - 1, end)] == rising[np.minimum(first_cand, end)]
    # runs of one pattern must not share candidates
    by_place = np.lexsort((first_cand, run_group))
    clash = (run_group[by_place][1:] == run_group[by_place][:-1]) & (first_cand[by_place][1:] < last_cand[by_place][:-1])
    bad_group = np.zeros(len(group), dtype=bool)
    bad_group[run_group[by_place][1:][clash]] = True
    bad_group[run_group[~fits]] = True
    if past_end:
        bad_group[run_group[-1]] = True           # the last row raises IndexError in order
    done_run = ~bad_group[run_group]
    done = np.repeat(done_run, run_len)
    take = (np.repeat(first_cand - run_first, run_len) + np.arange(k))[done]
    resolved_frames = cand_frame[take]
    frames[todo[done]] = resolved_frames
    rows[todo[done]] = amb.order[position[take]] - amb.offsets[resolved_frames]
    return ~done
