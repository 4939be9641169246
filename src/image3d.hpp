#pragma once
// The 3D density image: tracks rasterised voxel by voxel with integer error terms, every
// voxel summing the intensities interpolated along the segments that pass it.
#include <array>
#include <cstdint>
#include <utility>

#include "raster.hpp"
#include "tracks3d.hpp"
#include "types.hpp"
#include "view.hpp"

namespace trakora::image3d {

struct ShapeAndExtent {
    std::array<std::uint64_t, 3> shape;
    Extent3D extent;  // maxima moved onto whole voxels
};

// The grid rule of raster::make_grid for an Extent3D.
ShapeAndExtent get_shape_and_extent(const Extent3D& extent, float pixel_size);
tracks3d::Grid grid_geometry(const Extent3D& extent, float pixel_size);

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
void walk_line(const std::array<std::int64_t, 3>& a, const std::array<std::int64_t, 3>& b,
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

// walk_line as a callable object, for raster::trace_track.
struct LineWalk {
    template <class Visit>
    void operator()(const std::array<std::int64_t, 3>& a, const std::array<std::int64_t, 3>& b,
                    const std::array<std::int64_t, 3>& n, Visit&& visit) const {
        walk_line(a, b, n, visit);
    }
};

struct DensityArrays {
    Array<float, 3> sums;
    Array<std::uint32_t, 3> counts;
};

// The density accumulator: plain per-voxel sums and visit counts, drawn track by track.
class Image {
public:
    explicit Image(const tracks3d::Grid& grid);
    void add_track(const tracks3d::ImageTrack& track);
    DensityArrays to_arrays() &&;

private:
    tracks3d::Grid grid_;
    DensityArrays arrays_;
};

// The whole drawing: each track is read, prepared for the grid and drawn in turn.
DensityArrays draw_tracks_3d(const View2<float>& matrix, const View1<std::int32_t>& ends, const tracks3d::Grid& grid);

}  // namespace trakora::image3d
