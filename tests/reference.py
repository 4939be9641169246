"""Plain, literal models of what the module computes, written from the documented rules
without the module's shortcuts (no clipping, no grouping, no sparse solve): the drawing grid,
the conversion to grid indices, the two line walks, the drawings cell by cell, the dense
assignment solver with its tie order, and the linker built on it. Tests compare the module
against these; they are slow and meant for small inputs."""
import math

import numpy as np

F32 = np.float32
I32_MIN, I32_MAX = -(2**31), 2**31 - 1


# ---- drawing grid ---------------------------------------------------------------------------

def grid(extent, pixel_size, dims):
    """Shape and float32 bounds (lo, hi) per axis: n = trunc((0.999 ps + (max - min)) / ps),
    hi = min + ps * n."""
    ps = F32(pixel_size)
    tol = ps * F32(0.999)
    shape, lo, hi = [], [], []
    for axis in range(dims):
        a, b = F32(extent[2 * axis]), F32(extent[2 * axis + 1])
        q = (tol + (b - a)) / ps
        n = int(q) if q > 0 else 0
        shape.append(n)
        lo.append(a)
        hi.append(a + ps * F32(n))
    return shape, lo, hi


def adjusted_extent(lo, hi):
    """The extent tuple the drawing functions return: (min0, max0, min1, max1, ...)."""
    return tuple(float(v) for pair in zip(lo, hi) for v in pair)


def grid_index(v, lo, hi, n):
    """((v - lo) / (hi - lo)) * n in float32, rounded half away from zero and saturated to
    signed 32 bits (NaN gives 0), in 2D as in 3D: a point before the grid stays outside it."""
    with np.errstate(all="ignore"):
        q = float(((F32(v) - F32(lo)) / (F32(hi) - F32(lo))) * F32(n))
    if math.isnan(q):
        return 0
    if math.isinf(q):
        return I32_MAX if q > 0 else I32_MIN
    r = int(math.copysign(math.floor(abs(q) + 0.5), q))
    return max(I32_MIN, min(r, I32_MAX))


# ---- line walks -----------------------------------------------------------------------------

def walk_2d(a, b):
    """Cells visited from a towards b (not b): Bresenham in its octant form, step by step."""
    dx, dy, o = b[0] - a[0], b[1] - a[1], 0
    if dy < 0:
        dx, dy, o = -dx, -dy, o + 4
    if dx < 0:
        dx, dy, o = dy, -dx, o + 2
    if dx < dy:
        o += 1
    to = [lambda p, q: (p, q), lambda p, q: (q, p), lambda p, q: (q, -p), lambda p, q: (-p, q),
          lambda p, q: (-p, -q), lambda p, q: (-q, -p), lambda p, q: (-q, p), lambda p, q: (p, -q)][o]
    back = [lambda u, v: (u, v), lambda u, v: (v, u), lambda u, v: (-v, u), lambda u, v: (-u, v),
            lambda u, v: (-u, -v), lambda u, v: (-v, -u), lambda u, v: (v, -u), lambda u, v: (u, -v)][o]
    (u, v), (ue, ve) = to(*a), to(*b)
    big_dx, big_dy = ue - u, ve - v
    diff = big_dy - big_dx
    for _ in range(big_dx):
        yield back(u, v)
        if diff >= 0:
            v += 1
            diff -= big_dx
        diff += big_dy
        u += 1


def walk_3d(a, b):
    """Voxels visited from a towards b (not b): per-axis error terms starting at N // 2."""
    d = [q - p for p, q in zip(a, b)]
    n = max(abs(x) for x in d)
    err = [n // 2] * 3
    cur = list(a)
    for _ in range(n):
        yield tuple(cur)
        for i in range(3):
            err[i] -= abs(d[i])
            if err[i] < 0:
                err[i] += n
                cur[i] += (d[i] > 0) - (d[i] < 0)


# ---- drawings -------------------------------------------------------------------------------

def track_rows(matrix, ends):
    """The rows of each track: ends[k-1] .. ends[k] - 1 (ends[-1] = 0), rows beyond the
    matrix skipped, an end not above its predecessor giving an empty track."""
    tracks, start = [], 0
    for e in [int(e) for e in ends]:
        tracks.append([matrix[r] for r in range(start, min(e, len(matrix)))] if start < e else [])
        start = e
    return tracks


def cell_entries(matrix, ends, extent, pixel_size, dims, with_value):
    """Per cell, the (intensity, value) entries of every visit in visiting order (value 0
    without a value column): repeated positions dropped, each segment walked and
    interpolated, the last point of a track added on its own, NaN entries left out."""
    shape, lo, hi = grid(extent, pixel_size, dims)
    walk = walk_2d if dims == 2 else walk_3d
    cells = {}

    def add(cell, i, v):
        if not (math.isnan(i) or math.isnan(v)) and all(0 <= x < n for x, n in zip(cell, shape)):
            cells.setdefault(cell, []).append((F32(i), F32(v)))

    for rows in track_rows(matrix, ends):
        points = []
        for row in rows:
            cell = tuple(grid_index(row[i], lo[i], hi[i], shape[i]) for i in range(dims))
            if not points or points[-1][0] != cell:
                points.append((cell, F32(row[dims]), F32(row[dims + 1]) if with_value else F32(0)))
        for (ca, ia, va), (cb, ib, vb) in zip(points, points[1:]):
            denom = F32(max(abs(q - p) for p, q in zip(ca, cb)) + 1) - F32(1)
            for k, cell in enumerate(walk(ca, cb)):
                t = F32(k) / denom
                add(cell, ia * (F32(1) - t) + t * ib, va * (F32(1) - t) + t * vb)
        if points:
            add(*points[-1])
    return shape, lo, hi, cells


def trimmed(entries):
    """Sorted by (intensity, value), the lowest quarter discarded, the rest summed one by one
    from -0.0: (intensity sum, weighted mean value or 0 when the sum is not positive)."""
    kept = sorted(entries)[len(entries) // 4:]
    s = w = F32(-0.0)
    for i, v in kept:
        s = s + i
        w = w + i * v
    return s, (w / s if s > 0 else F32(0))


def draw(matrix, ends, extent, pixel_size, dims, with_value):
    """The arrays of the drawing function (density or value image) and the adjusted extent.
    The 2D density keeps trimmed sums; the 3D density plain sums in visiting order."""
    shape, lo, hi, cells = cell_entries(matrix, ends, extent, pixel_size, dims, with_value)
    first, second = np.zeros(shape, F32), np.zeros(shape, F32)
    counts = np.zeros(shape, np.uint32)
    for cell, entries in cells.items():
        counts[cell] = len(entries)
        if dims == 3 and not with_value:
            s = F32(0)
            for i, _ in entries:
                s = s + i
            first[cell] = s
        else:
            first[cell], second[cell] = trimmed(entries)
    arrays = (first, second, counts) if with_value else (first, counts)
    return arrays, adjusted_extent(lo, hi)


# ---- linking --------------------------------------------------------------------------------

def solve_min_cost(cost):
    """Kuhn-Munkres on the negated matrix, labelling form with per-column slack, with the
    documented search order (lowest column among equal slacks): the reference for ties."""
    n, m = len(cost), len(cost[0]) if cost else 0
    w = [[-c for c in row] for row in cost]
    lx, ly = [max(row) for row in w], [0] * m
    xy, yx = [None] * n, [None] * m
    for root in range(n):
        reached = [None] * m
        rows = [root]
        slack = [lx[root] + ly[c] - w[root][c] for c in range(m)]
        slackx = [root] * m
        while True:
            delta, y, x = 2**63 - 1, 0, 0
            for c in range(m):
                if reached[c] is None and slack[c] < delta:
                    delta, y, x = slack[c], c, slackx[c]
            if delta > 0:
                for r in rows:
                    lx[r] -= delta
                for c in range(m):
                    if reached[c] is not None:
                        ly[c] += delta
                    else:
                        slack[c] -= delta
            reached[y] = x
            if yx[y] is None:
                break
            x2 = yx[y]
            rows.append(x2)
            for c in range(m):
                if reached[c] is None:
                    a = lx[x2] + ly[c] - w[x2][c]
                    if slack[c] > a:
                        slack[c], slackx[c] = a, x2
        c = y
        while c is not None:
            x = reached[c]
            c_next = xy[x]
            yx[c], xy[x] = x, c
            c = c_next
    return xy


def solve_any_optimum(cost):
    """An optimal assignment from SciPy, with its own choice among equal optima: an
    independent solver for data without ties."""
    from scipy.optimize import linear_sum_assignment

    return list(linear_sum_assignment(np.array(cost, np.int64))[1])


def link(frames, dims, max_distance, max_skip, ratio, solve=solve_min_cost):
    """Every frame pair of every gap solved densely (each source continues as a candidate
    target within max_distance, and within the intensity ratio unless ratio is None, or stays
    unlinked), then merged shorter gaps first; chains of two or more points become tracks.
    `solve(cost)` returns the column of each row; the default keeps the module's tie order,
    any other optimal solver is usable on tie-free data."""
    tables = [np.asarray(t, F32)[:, :dims + 1].reshape(len(t), dims + 1) for t in frames]
    points = [row for t in tables for row in t]
    offsets = np.cumsum([0] + [len(t) for t in tables])
    md = F32(max_distance)
    unit = int(md * F32(1e6))
    successor, predecessor = {}, set()
    for gap in range(1, min(max_skip + 1, len(frames)) + 1):
        for f in range(len(frames) - gap):
            src, dst = tables[f], tables[f + gap]
            n, m = len(src), len(dst)
            if not n or not m:
                continue
            with np.errstate(all="ignore"):
                d2 = np.zeros((n, m), F32)
                for axis in range(dims):  # ((dx * dx + dy * dy) + dz * dz) in float32
                    diff = src[:, None, axis] - dst[None, :, axis]
                    d2 = diff * diff if axis == 0 else d2 + diff * diff
                ok = d2 <= md * md
                if ratio is not None:
                    a, b, r = src[:, None, dims], dst[None, :, dims], F32(ratio)
                    ok &= ~(b > r * a) & ~(a > r * b)
                cost = np.full((n, m + n), 10 * unit, np.int64)
                cost[:, :m][ok] = np.trunc(np.sqrt(d2[ok]) * F32(1e6)).astype(np.int64)
            cost[np.arange(n), m + np.arange(n)] = unit
            for r, c in enumerate(solve(cost.tolist())):
                p, q = offsets[f] + r, offsets[f + gap] + c
                if c < m and p not in successor and q not in predecessor:
                    successor[p] = q
                    predecessor.add(q)
    rows, ends = [], []
    for p in range(len(points)):
        if p in successor and p not in predecessor:
            while p is not None:
                rows.append(points[p])
                p = successor.get(p)
            ends.append(len(rows))
    return np.array(rows, F32).reshape(len(rows), dims + 1), np.array(ends, np.uint32)


# ---- memory layouts -------------------------------------------------------------------------

def layouts(a):
    """The same logical array in other memory layouts, by name: Fortran order, a strided view
    into a larger buffer, negative strides, axes permuted in memory, a buffer one byte off
    float alignment, and a read-only copy."""
    big = np.full(tuple(2 * s + 1 for s in a.shape), -7, a.dtype)
    strided = big[tuple(slice(1, None, 2) for _ in a.shape)]
    strided[...] = a
    reverse = tuple(slice(None, None, -1) for _ in a.shape)
    raw = np.zeros(a.nbytes + 1, np.uint8)
    unaligned = np.frombuffer(raw.data, a.dtype, a.size, offset=1).reshape(a.shape)
    unaligned[...] = a
    readonly = a.copy()
    readonly.flags.writeable = False
    return {
        "fortran": np.asfortranarray(a),
        "strided": strided,
        "negative": np.ascontiguousarray(a[reverse])[reverse],
        "transposed": np.ascontiguousarray(a.T).T,
        "unaligned": unaligned,
        "readonly": readonly,
    }
