#include "render/density.hpp"

#include "render/walk.hpp"

namespace trakora::render {

DensityArrays<2> draw_tracks(const View2<float>& matrix, const View1<std::int32_t>& ends, const Grid<2>& grid) {
    check_allocation(grid.cells(), sizeof(float) + sizeof(std::uint32_t));
    const auto source = track_source<Track<2>>(matrix, ends);
    DensityArrays<2> out;
    out.values = Array<float, 2>(grid.array_shape());
    // Walked twice (count, then place each entry into its pixel's group), so neither the
    // tracks nor a list per pixel are stored.
    const auto visits = [&](auto&& sink) {
        for_each_prepared_track(source, grid, [&](const ImageTrack<2>& track) {
            trace_track(
                track.points, grid, LineWalk{},
                [&](std::size_t c, const GridPoint<2>& a, const GridPoint<2>& b, float t) {
                    const float v = blend(a.intensity, b.intensity, t);
                    if (v == v) sink(c, v);
                },
                [&](std::size_t c, const GridPoint<2>& p) {
                    if (p.intensity == p.intensity) sink(c, p.intensity);
                });
        });
    };
    out.counts.data = group_by_cell<float>(grid.cells(), visits, [&](std::size_t c, float* first, float* last) {
        out.values.data[c] = trimmed_sum(first, last);
    });
    out.counts.shape = grid.array_shape();
    return out;
}

DensityArrays<3> draw_tracks_3d(const View2<float>& matrix, const View1<std::int32_t>& ends, const Grid<3>& grid) {
    check_allocation(grid.cells(), sizeof(float) + sizeof(std::uint32_t));
    DensityArrays<3> out;
    out.values = Array<float, 3>(grid.array_shape());
    out.counts = Array<std::uint32_t, 3>(grid.array_shape());
    float* sums = out.values.data.data();
    std::uint32_t* counts = out.counts.data.data();
    for_each_prepared_track(track_source<Track<3>>(matrix, ends), grid, [&](const ImageTrack<3>& track) {
        trace_track(
            track.points, grid, LineWalk3D{},
            [&](std::size_t c, const GridPoint<3>& a, const GridPoint<3>& b, float t) {
                const float v = blend(a.intensity, b.intensity, t);
                if (v == v) sums[c] += v, counts[c] += 1;
            },
            [&](std::size_t c, const GridPoint<3>& p) {
                if (p.intensity == p.intensity) sums[c] += p.intensity, counts[c] += 1;
            });
    });
    return out;
}

}  // namespace trakora::render
