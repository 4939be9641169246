#pragma once
// The line walks of the renderers: which cells a segment a -> b visits, each with its step
// index k. The 2D and 3D walks follow different rules (Bresenham's octant form in 2D,
// per-axis error terms in 3D), so each has its own function. Both visit a and the cells
// towards b, not b, and start directly at the first cell inside the grid, so a segment
// reaching far outside costs only its cells inside.
#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

namespace trakora::render {

namespace detail {

// F_o of octant o as a signed permutation: x = xu*u + xv*v, y = yu*u + yv*v. Its inverse
// T_o (a point into the first octant) is the transpose: u = xu*x + yu*y, v = xv*x + yv*y.
struct Octant {
    int xu, xv, yu, yv;
};
inline constexpr Octant octants[8] = {
    {1, 0, 0, 1},    // (u, v)
    {0, 1, 1, 0},    // (v, u)
    {0, -1, 1, 0},   // (-v, u)
    {-1, 0, 0, 1},   // (-u, v)
    {-1, 0, 0, -1},  // (-u, -v)
    {0, -1, -1, 0},  // (-v, -u)
    {0, 1, -1, 0},   // (v, -u)
    {1, 0, 0, -1},   // (u, -v)
};

inline int octant_of(std::int64_t dx, std::int64_t dy) {
    int o = 0;
    if (dy < 0) dx = -dx, dy = -dy, o += 4;
    if (dx < 0) {
        const std::int64_t t = dx;
        dx = dy, dy = -t, o += 2;
    }
    if (dx < dy) o += 1;
    return o;
}

// The offsets g with 0 <= c * (w0 + g) < n, for c = +1 or -1 and n >= 1.
inline std::pair<std::int64_t, std::int64_t> offsets_inside(int c, std::int64_t w0, std::int64_t n) {
    return c > 0 ? std::pair{-w0, n - 1 - w0} : std::pair{-w0 - (n - 1), -w0};
}

inline std::uint64_t ceil_div(std::uint64_t a, std::uint64_t b) { return a / b + (a % b != 0); }

// In the first octant the k-th pixel has v - v0 = floor(k * DY / DX), 0 <= DY <= DX.
// The first k whose v offset is at least g (DX when none is).
inline std::int64_t first_k_at_least(std::int64_t g, std::int64_t DX, std::int64_t DY) {
    if (g <= 0) return 0;
    if (g >= DY) return DX;  // the offset never exceeds DY - 1 for k < DX
    return static_cast<std::int64_t>(ceil_div(static_cast<std::uint64_t>(g) * static_cast<std::uint64_t>(DX),
                                              static_cast<std::uint64_t>(DY)));
}

// The last k whose v offset is at most g (-1 when none is).
inline std::int64_t last_k_at_most(std::int64_t g, std::int64_t DX, std::int64_t DY) {
    if (g < 0) return -1;
    if (g >= DY - 1) return DX - 1;
    return static_cast<std::int64_t>(ceil_div(static_cast<std::uint64_t>(g + 1) * static_cast<std::uint64_t>(DX),
                                              static_cast<std::uint64_t>(DY))) - 1;
}

}  // namespace detail

// Bresenham's line from a to b in octant form: the segment is mapped into the first octant,
// u steps by one and v by one whenever the running difference (starting at DY - DX) is
// non-negative, and each pixel is mapped back. The walk visits N = max(|dx|, |dy|) pixels:
// a and those towards b, not b. Because the k-th pixel has v - v0 = floor(k * DY / DX), the
// walk starts directly at the first k inside [0, n[0]) x [0, n[1]) and stops after the
// last one, so a segment reaching far outside the grid costs only its pixels inside.
// visit(k, {x, y}) is called for those pixels in ascending k. Coordinates are 32-bit values
// held in 64 bits, so no difference overflows; n[i] <= 2^33.
template <class Visit>
void walk_line(const std::array<std::int64_t, 2>& a, const std::array<std::int64_t, 2>& b,
               const std::array<std::int64_t, 2>& n, Visit&& visit) {
    using detail::octants;
    const detail::Octant f = octants[detail::octant_of(b[0] - a[0], b[1] - a[1])];
    const std::int64_t u0 = f.xu * a[0] + f.yu * a[1];
    const std::int64_t v0 = f.xv * a[0] + f.yv * a[1];
    const std::int64_t DX = f.xu * b[0] + f.yu * b[1] - u0;
    const std::int64_t DY = f.xv * b[0] + f.yv * b[1] - v0;
    if (DX <= 0 || n[0] <= 0 || n[1] <= 0) return;

    std::int64_t k0 = 0, k1 = DX - 1;
    const auto clip = [&](int cu, int cv, std::int64_t len) {
        if (cu != 0) {
            const auto [lo, hi] = detail::offsets_inside(cu, u0, len);
            k0 = std::max(k0, lo), k1 = std::min(k1, hi);
        } else {
            const auto [lo, hi] = detail::offsets_inside(cv, v0, len);
            k0 = std::max(k0, detail::first_k_at_least(lo, DX, DY));
            k1 = std::min(k1, detail::last_k_at_most(hi, DX, DY));
        }
    };
    clip(f.xu, f.xv, n[0]);
    clip(f.yu, f.yv, n[1]);
    if (k0 > k1) return;

    // State of the walk at k0: k0 * DY = m * DX + r gives v = v0 + m and diff = r + DY - DX.
    const std::uint64_t along = static_cast<std::uint64_t>(k0) * static_cast<std::uint64_t>(DY);
    const std::int64_t m = static_cast<std::int64_t>(along / static_cast<std::uint64_t>(DX));
    std::int64_t diff = static_cast<std::int64_t>(along % static_cast<std::uint64_t>(DX)) + DY - DX;
    std::array<std::int64_t, 2> p{f.xu * (u0 + k0) + f.xv * (v0 + m), f.yu * (u0 + k0) + f.yv * (v0 + m)};
    for (std::int64_t k = k0; k <= k1; ++k) {
        visit(k, p);
        if (diff >= 0) p[0] += f.xv, p[1] += f.yv, diff -= DX;
        diff += DY;
        p[0] += f.xu, p[1] += f.yu;
    }
}

namespace detail {

// Per axis the walk moves m_k = ceil((k * A - h) / N) times in its first k advances, where
// A = |d| on that axis, N = max |d| and h = N / 2 (the error term starts at h, loses A per
// advance and gains N per move, so it stays in [0, N)).
// The first k with m_k >= g (N when none is).
inline std::int64_t first_k_moved(std::int64_t g, std::int64_t A, std::int64_t N, std::int64_t h) {
    if (g <= 0) return 0;
    if (g > A) return N;  // m_k never exceeds A
    const auto num = static_cast<std::uint64_t>(g - 1) * static_cast<std::uint64_t>(N) + static_cast<std::uint64_t>(h);
    return static_cast<std::int64_t>(num / static_cast<std::uint64_t>(A)) + 1;
}

// The last k with m_k <= g (-1 when none is).
inline std::int64_t last_k_moved(std::int64_t g, std::int64_t A, std::int64_t N, std::int64_t h) {
    if (g < 0) return -1;
    if (g >= A) return N - 1;
    const auto num = static_cast<std::uint64_t>(g) * static_cast<std::uint64_t>(N) + static_cast<std::uint64_t>(h);
    return static_cast<std::int64_t>(num / static_cast<std::uint64_t>(A));
}

}  // namespace detail

// The traversal from a to b: N = max(|dx|, |dy|, |dz|) visits, the current voxel starting at
// a; after each visit every axis subtracts |d| from its error term (which starts at N / 2)
// and, when it turns negative, adds N back and moves one step towards b. So a and the
// voxels towards b are visited, not b. The number of moves per axis has a closed form
// (detail::first_k_moved), so the walk starts at the first k inside [0, n) on all axes and
// stops after the last one, each voxel keeping its k. visit(k, {x, y, z}) is called for
// those voxels in ascending k. Coordinates are 32-bit values held in 64 bits; n[i] <= 2^33.
template <class Visit>
void walk_line_3d(const std::array<std::int64_t, 3>& a, const std::array<std::int64_t, 3>& b,
               const std::array<std::int64_t, 3>& n, Visit&& visit) {
    std::array<std::int64_t, 3> A{}, s{};
    std::int64_t N = 0;
    for (int i = 0; i < 3; ++i) {
        const std::int64_t d = b[i] - a[i];
        A[i] = d < 0 ? -d : d;
        s[i] = (d > 0) - (d < 0);
        N = std::max(N, A[i]);
    }
    if (N == 0 || n[0] <= 0 || n[1] <= 0 || n[2] <= 0) return;
    const std::int64_t h = N / 2;

    std::int64_t k0 = 0, k1 = N - 1;
    for (int i = 0; i < 3; ++i) {
        // Moves m with 0 <= a + s * m < n (an axis that does not move needs a inside).
        const std::int64_t lo = s[i] < 0 ? a[i] - (n[i] - 1) : -a[i];
        const std::int64_t hi = s[i] < 0 ? a[i] : n[i] - 1 - a[i];
        k0 = std::max(k0, detail::first_k_moved(lo, A[i], N, h));
        k1 = std::min(k1, detail::last_k_moved(hi, A[i], N, h));
    }
    if (k0 > k1) return;

    // State at k0: with x = k0 * A + N - 1 - h, m = x / N moves were made and the error
    // term is N - 1 - x % N.
    std::array<std::int64_t, 3> p{}, err{};
    for (int i = 0; i < 3; ++i) {
        const std::uint64_t x = static_cast<std::uint64_t>(k0) * static_cast<std::uint64_t>(A[i]) +
                                static_cast<std::uint64_t>(N - 1 - h);
        const auto moved = static_cast<std::int64_t>(x / static_cast<std::uint64_t>(N));
        err[i] = N - 1 - static_cast<std::int64_t>(x % static_cast<std::uint64_t>(N));
        p[i] = a[i] + s[i] * moved;
    }
    for (std::int64_t k = k0; k <= k1; ++k) {
        visit(k, p);
        for (int i = 0; i < 3; ++i) {
            err[i] -= A[i];
            if (err[i] < 0) err[i] += N, p[i] += s[i];
        }
    }
}

// The walks as callable objects, for trace_track.
struct LineWalk {
    template <class Visit>
    void operator()(const std::array<std::int64_t, 2>& a, const std::array<std::int64_t, 2>& b,
                    const std::array<std::int64_t, 2>& n, Visit&& visit) const {
        walk_line(a, b, n, visit);
    }
};
struct LineWalk3D {
    template <class Visit>
    void operator()(const std::array<std::int64_t, 3>& a, const std::array<std::int64_t, 3>& b,
                    const std::array<std::int64_t, 3>& n, Visit&& visit) const {
        walk_line_3d(a, b, n, visit);
    }
};

}  // namespace trakora::render
