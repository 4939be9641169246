#pragma once
// What the 2D and 3D renderers share, written once with the dimension as a parameter:
// the grid rule, tracks read from track matrices and converted to grid indices, the walk
// of a prepared track over the grid, the grouping of visits by cell in one flat buffer
// (a counting sort) and the trimmed reductions of each cell's group.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <type_traits>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "core/numeric.hpp"
#include "core/view.hpp"

namespace trakora::render {

// ---- grid geometry -----------------------------------------------------------------------

// A grid of cells of edge `pixel_size`: the shape and the extent whose maxima lie on whole
// cells (max = min + pixel_size * n). Axis 0 is the slowest in the flat cell index.
template <std::size_t D>
struct Grid {
    std::array<std::uint64_t, D> shape{};
    std::array<float, D> min{};
    std::array<float, D> max{};

    std::size_t cells() const {  // make_grid has checked that the product fits
        std::size_t n = 1;
        for (auto s : shape) n *= s;
        return n;
    }
    std::array<std::size_t, D> array_shape() const {
        std::array<std::size_t, D> s{};
        for (std::size_t i = 0; i < D; ++i) s[i] = shape[i];
        return s;
    }
    // (min0, max0, min1, max1, ...): the order of the drawing extent tuple.
    std::array<float, 2 * D> extent() const {
        std::array<float, 2 * D> e{};
        for (std::size_t i = 0; i < D; ++i) e[2 * i] = min[i], e[2 * i + 1] = max[i];
        return e;
    }
};

// Throws ValueError unless pixel_size is positive and finite: zero, negative, NaN or
// infinite sizes describe no grid at all.
void check_pixel_size(float pixel_size);

// Throws std::length_error (MemoryError at the boundary) when `count` elements of `bytes`
// each cannot be represented or exceed the machine's physical memory. Such a buffer could
// not be allocated, or only by overcommitting, and zero-filling it would end in the
// out-of-memory killer instead of an exception.
void check_allocation(std::uint64_t count, std::size_t bytes);

// The grid for a drawing extent (min0, max0, min1, max1, ...). Per axis, in 32-bit floats:
// n = (pixel_size * 0.999 + (max - min)) / pixel_size truncated with saturation, so a span
// is rounded up to whole cells unless it exceeds them by less than a thousandth of a cell.
template <std::size_t D>
Grid<D> make_grid(const std::array<float, 2 * D>& extent, float pixel_size) {
    check_pixel_size(pixel_size);
    Grid<D> g;
    const float tol = pixel_size * 0.999f;
    std::uint64_t cells = 1;
    bool representable = true;
    for (std::size_t i = 0; i < D; ++i) {
        const float lo = extent[2 * i], hi = extent[2 * i + 1];
        const std::uint64_t n = saturating_cast<std::uint64_t>((tol + (hi - lo)) / pixel_size);
        g.shape[i] = n;
        g.min[i] = lo;
        g.max[i] = lo + pixel_size * static_cast<float>(n);
        // Array dimensions are signed 64-bit on the Python side.
        representable = representable && n <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
        representable = representable && !__builtin_mul_overflow(cells, n, &cells);
    }
    if (!representable) throw std::length_error("the drawing grid is too large to be represented");
    return g;
}

// Physical coordinate -> grid index on one axis: q = ((v - min) / (max - min)) * n in 32-bit
// floats, rounded half away from zero and saturated to 32 bits (NaN gives 0). Indices
// outside [0, n) lie outside the grid.
inline std::int32_t grid_index(float v, float min, float max, std::uint64_t n) {
    return saturating_round<std::int32_t>(((v - min) / (max - min)) * static_cast<float>(n));
}

// ---- tracks ------------------------------------------------------------------------------

template <std::size_t D>
struct GridPoint {
    std::array<std::int32_t, D> index{};
    float intensity = 0;
};

template <std::size_t D>
struct GridValuePoint {
    std::array<std::int32_t, D> index{};
    float intensity = 0;
    float value = 0;
};

// A track point as read from a matrix row: D coordinates, then intensity.
template <std::size_t D>
struct Point {
    static constexpr std::size_t columns = D + 1;
    std::array<float, D> position{};
    float intensity = 0;

    static Point read(const View2<float>& m, std::size_t r) {
        Point p;
        for (std::size_t i = 0; i < D; ++i) p.position[i] = m(r, i);
        p.intensity = m(r, D);
        return p;
    }
    GridPoint<D> to_grid(const Grid<D>& g) const {
        GridPoint<D> q;
        for (std::size_t i = 0; i < D; ++i) q.index[i] = grid_index(position[i], g.min[i], g.max[i], g.shape[i]);
        q.intensity = intensity;
        return q;
    }
};

// The same with a value column after the intensity.
template <std::size_t D>
struct ValuePoint {
    static constexpr std::size_t columns = D + 2;
    std::array<float, D> position{};
    float intensity = 0;
    float value = 0;

    static ValuePoint read(const View2<float>& m, std::size_t r) {
        ValuePoint p;
        for (std::size_t i = 0; i < D; ++i) p.position[i] = m(r, i);
        p.intensity = m(r, D);
        p.value = m(r, D + 1);
        return p;
    }
    GridValuePoint<D> to_grid(const Grid<D>& g) const {
        GridValuePoint<D> q;
        for (std::size_t i = 0; i < D; ++i) q.index[i] = grid_index(position[i], g.min[i], g.max[i], g.shape[i]);
        q.intensity = intensity;
        q.value = value;
        return q;
    }
};

// Negative end indices lie outside the track matrix format; refusing them up front means
// no reader ever walks a negative range.
void check_end_indices(const View1<std::int32_t>& ends);

// Tracks read from a matrix whose columns are D coordinates and an intensity (Track) or
// D coordinates, an intensity and a value (TrackValue), and the same tracks in grid indices.
template <std::size_t D>
struct ImageTrack {
    std::vector<GridPoint<D>> points;
};
template <std::size_t D>
struct ImageTrackValue {
    std::vector<GridValuePoint<D>> points;
};

template <class Out, class In, std::size_t D>
Out convert_points(const In& track, const Grid<D>& grid) {
    Out out;
    out.points.reserve(track.points.size());
    for (const auto& p : track.points) out.points.push_back(p.to_grid(grid));
    return out;
}

// The tracks of a point matrix and its end indices, read one at a time on demand, so a
// drawing never holds all tracks at once. Track k holds rows ends[k-1] .. ends[k]-1 with
// ends[-1] = 0; an entry not above its predecessor gives an empty track and the next track
// starts at it. Rows at or beyond the matrix end are skipped. A matrix with too few columns
// fails (InternalError naming `where`) as soon as a row is actually read.
template <class TrackT>
class TrackSource {
public:
    TrackSource(const View2<float>& matrix, const View1<std::int32_t>& ends, const char* where)
        : matrix_(matrix), ends_(ends), where_(where) {
        check_end_indices(ends);
    }
    std::size_t size() const { return ends_.shape[0]; }
    TrackT read(std::size_t k) const {
        using P = typename decltype(TrackT::points)::value_type;
        const std::size_t rows = matrix_.shape[0];
        const auto start = k == 0 ? std::size_t{0} : static_cast<std::size_t>(ends_(k - 1));
        const auto end = static_cast<std::size_t>(ends_(k));
        TrackT track;
        if (start < end && start < rows) {
            check_index(where_, P::columns - 1, matrix_.shape[1]);
            const std::size_t stop = std::min(end, rows);
            track.points.reserve(stop - start);
            for (std::size_t r = start; r < stop; ++r) track.points.push_back(P::read(matrix_, r));
        }
        return track;
    }

private:
    View2<float> matrix_;
    View1<std::int32_t> ends_;
    const char* where_;
};

// Keeps only the first point of each run of consecutive points on the same cell (its
// intensity and value are the ones kept); equal positions that are not consecutive stay.
template <class GridTrack>
void drop_repeated_positions(GridTrack& track) {
    auto& p = track.points;
    p.erase(std::unique(p.begin(), p.end(), [](const auto& a, const auto& b) { return a.index == b.index; }),
            p.end());
}

template <std::size_t D>
struct Track {
    using Image = ImageTrack<D>;
    std::vector<Point<D>> points;
};

template <std::size_t D>
struct TrackValue {
    using Image = ImageTrackValue<D>;
    std::vector<ValuePoint<D>> points;
};

// The labels name the readers' modules in out-of-bounds messages (kept as users know them).
template <class TrackT>
TrackSource<TrackT> track_source(const View2<float>& matrix, const View1<std::int32_t>& ends) {
    constexpr bool flat = std::is_same_v<TrackT, Track<2>> || std::is_same_v<TrackT, TrackValue<2>>;
    return TrackSource<TrackT>(matrix, ends, flat ? "src/tracks" : "src/tracks3d");
}

// Prepares each track for drawing, in order (converted to the grid, repeated positions
// dropped; empty tracks included) and passes it to fn.
template <class TrackT, std::size_t D, class Fn>
void for_each_prepared_track(const TrackSource<TrackT>& source, const Grid<D>& grid, Fn&& fn) {
    for (std::size_t k = 0; k < source.size(); ++k) {
        auto track = convert_points<typename TrackT::Image>(source.read(k), grid);
        drop_repeated_positions(track);
        fn(track);
    }
}

// ---- walking a track ---------------------------------------------------------------------

// The value at weight t between the values at a (t = 0) and b.
inline float blend(float a, float b, float t) { return a * (1.0f - t) + t * b; }

// Draws one prepared track: each pair a -> b is walked by `walk` (a and the cells towards b,
// not b), the k-th cell of a pair of N steps weighted t = k / D with D = float(N + 1) - 1;
// then the last point on its own. Only cells inside the grid are reported:
// on_pair(cell, a, b, t) and on_point(cell, p), `cell` being the flat row-major index.
//
// walk(a, b, n, visit) calls visit(k, position) for the cells of the walk inside
// [0, n) on every axis, in ascending k (the walks of walk.hpp).
template <std::size_t D, class P, class Walk, class OnPair, class OnPoint>
void trace_track(const std::vector<P>& points, const Grid<D>& grid, Walk&& walk, OnPair&& on_pair,
                 OnPoint&& on_point) {
    if (points.empty()) return;
    // Every walked coordinate lies between two 32-bit indices, so longer axes need not be
    // seen in full; this keeps the bounds in signed 64-bit range.
    constexpr std::uint64_t reach = std::uint64_t(1) << 33;
    std::array<std::int64_t, D> n{};
    for (std::size_t i = 0; i < D; ++i) n[i] = static_cast<std::int64_t>(std::min(grid.shape[i], reach));
    const auto inside = [&](const std::array<std::int64_t, D>& pos) {
        for (std::size_t i = 0; i < D; ++i)
            if (pos[i] < 0 || pos[i] >= n[i]) return false;
        return true;
    };
    const auto cell = [&](const std::array<std::int64_t, D>& pos) {
        std::size_t c = 0;
        for (std::size_t i = 0; i < D; ++i) c = c * grid.shape[i] + static_cast<std::size_t>(pos[i]);
        return c;
    };
    const auto widen = [](const std::array<std::int32_t, D>& idx) {
        std::array<std::int64_t, D> w{};
        for (std::size_t i = 0; i < D; ++i) w[i] = idx[i];
        return w;
    };
    for (std::size_t i = 0; i + 1 < points.size(); ++i) {
        const P& a = points[i];
        const P& b = points[i + 1];
        const auto pa = widen(a.index), pb = widen(b.index);
        std::int64_t steps = 0;
        for (std::size_t j = 0; j < D; ++j) {
            const std::int64_t d = pb[j] - pa[j];
            steps = std::max(steps, d < 0 ? -d : d);
        }
        const float denom = static_cast<float>(steps + 1) - 1.0f;
        walk(pa, pb, n, [&](std::int64_t k, const std::array<std::int64_t, D>& pos) {
            if (!inside(pos)) return;  // the walk clips exactly; this guards the writes
            on_pair(cell(pos), a, b, static_cast<float>(k) / denom);
        });
    }
    const auto last = widen(points.back().index);
    if (inside(last)) on_point(cell(last), points.back());
}

// ---- grouping visits by cell -------------------------------------------------------------

namespace detail {

// Places every entry into its cell's slot of one flat buffer and reduces each group.
// On entry cursor[c] holds the number of entries of cell c; on return too.
template <class Entry, class Offset, class Walk, class Reduce>
void place_and_reduce(std::vector<Offset>& cursor, std::uint64_t total, Walk& walk, Reduce& reduce) {
    check_allocation(total, sizeof(Entry));
    const auto entries = std::make_unique_for_overwrite<Entry[]>(total);
    Offset run = 0;
    for (auto& c : cursor) c = run += c;  // now the end of each group
    walk([&](std::size_t c, const Entry& e) { entries[--cursor[c]] = e; });
    const std::size_t cells = cursor.size();
    for (std::size_t c = 0; c < cells; ++c) {  // cursor[c] is now the start of group c
        const Offset begin = cursor[c];
        const Offset end = c + 1 < cells ? cursor[c + 1] : static_cast<Offset>(total);
        cursor[c] = end - begin;
        if (end > begin) reduce(c, entries.get() + begin, entries.get() + end);
    }
}

}  // namespace detail

// Groups the entries of a rasterisation by cell without a list per cell: a counting pass
// fills the per-cell counts, a second pass places each entry into one flat buffer ordered
// by cell, then reduce(cell, first, last) runs once per non-empty cell in cell order.
// `walk(sink)` must call sink(cell, entry) for every entry, the same way on every run.
// Returns the per-cell counts (unsigned 32-bit, wrapping like any count of that type).
template <class Entry, class Walk, class Reduce>
std::vector<std::uint32_t> group_by_cell(std::size_t cells, Walk&& walk, Reduce&& reduce) {
    std::vector<std::uint32_t> counts(cells, 0);
    std::uint64_t total = 0;
    walk([&](std::size_t c, const Entry&) { ++counts[c], ++total; });
    if (total <= std::numeric_limits<std::uint32_t>::max()) {
        // The counts double as the cursor: no per-cell buffer beyond the outputs.
        detail::place_and_reduce<Entry>(counts, total, walk, reduce);
        return counts;
    }
    // More entries than 32 bits can index (some counts may have wrapped): count again wide.
    std::vector<std::uint64_t> wide(cells, 0);
    walk([&](std::size_t c, const Entry&) { ++wide[c]; });
    detail::place_and_reduce<Entry>(wide, total, walk, reduce);
    for (std::size_t c = 0; c < cells; ++c) counts[c] = static_cast<std::uint32_t>(wide[c]);
    return counts;
}

// ---- trimmed reductions ------------------------------------------------------------------

// Sorts ascending and sums positions n/4 .. n-1 one by one from -0.0: the lowest quarter is
// discarded. Values must not be NaN. Equal values are ordered -0.0 before +0.0, so the sum
// does not depend on the order in which the values arrived.
float trimmed_sum(float* first, float* last);

struct Sample {
    float intensity;
    float value;
};

struct WeightedMean {
    float intensity;  // S: the kept intensities summed
    float value;      // W / S with W the kept intensity * value products, or 0 when S <= 0
};

// Sorts ascending by intensity (ties by value, so the result does not depend on arrival
// order), discards the n/4 lowest and sums the rest one by one from -0.0.
WeightedMean trimmed_weighted_mean(Sample* first, Sample* last);

// ---- value images (2D and 3D alike) ------------------------------------------------------

template <std::size_t D>
struct ValueArrays {
    Array<float, D> intensity;
    Array<float, D> value;
    Array<std::uint32_t, D> count;
};

// Every visit of every track contributes one (intensity, value) sample to its cell; each
// cell then keeps the intensity sum and intensity-weighted mean of its upper three quarters.
// The tracks are read and walked twice (count, then place), so neither the tracks nor a
// list per cell are ever stored: memory is the outputs plus 8 bytes per sample.
template <std::size_t D, class Walk>
ValueArrays<D> render_value_image(const Grid<D>& grid, const TrackSource<TrackValue<D>>& source, Walk walk) {
    const std::size_t cells = grid.cells();
    ValueArrays<D> out;
    out.intensity = Array<float, D>(grid.array_shape());
    out.value = Array<float, D>(grid.array_shape());
    const auto visits = [&](auto&& sink) {
        for_each_prepared_track(source, grid, [&](const ImageTrackValue<D>& track) {
            trace_track(
                track.points, grid, walk,
                [&](std::size_t c, const GridValuePoint<D>& a, const GridValuePoint<D>& b, float t) {
                    const float i = blend(a.intensity, b.intensity, t);
                    const float v = blend(a.value, b.value, t);
                    if (i == i && v == v) sink(c, Sample{i, v});
                },
                [&](std::size_t c, const GridValuePoint<D>& p) {
                    if (p.intensity == p.intensity && p.value == p.value) sink(c, Sample{p.intensity, p.value});
                });
        });
    };
    auto counts = group_by_cell<Sample>(cells, visits, [&](std::size_t c, Sample* first, Sample* last) {
        const WeightedMean m = trimmed_weighted_mean(first, last);
        out.intensity.data[c] = m.intensity;
        out.value.data[c] = m.value;
    });
    out.count.shape = grid.array_shape();
    out.count.data = std::move(counts);
    return out;
}

}  // namespace trakora::render
