#include "image.hpp"

namespace trakora::image {

tracks::Grid grid_geometry(const std::array<float, 4>& extent, float pixel_size) {
    return raster::make_grid<2>(extent, pixel_size);
}

Image::Image(const tracks::Grid& grid) : grid_(grid) {
    raster::check_allocation(grid.cells(), sizeof(float) + sizeof(std::uint32_t));
}

DensityArrays Image::draw(const tracks::TrackSource& source) && {
    DensityArrays out;
    out.values = Array<float, 2>(grid_.array_shape());
    const auto visits = [&](auto&& sink) {
        raster::for_each_prepared_track(source, grid_, [&](const tracks::ImageTrack& track) {
            raster::trace_track(
                track.points, grid_, LineWalk{},
                [&](std::size_t c, const raster::GridPoint<2>& a, const raster::GridPoint<2>& b, float t) {
                    const float v = raster::blend(a.intensity, b.intensity, t);
                    if (v == v) sink(c, v);
                },
                [&](std::size_t c, const raster::GridPoint<2>& p) {
                    if (p.intensity == p.intensity) sink(c, p.intensity);
                });
        });
    };
    out.counts.data = raster::group_by_cell<float>(grid_.cells(), visits, [&](std::size_t c, float* first, float* last) {
        out.values.data[c] = raster::trimmed_sum(first, last);
    });
    out.counts.shape = grid_.array_shape();
    return out;
}

DensityArrays draw_tracks(const View2<float>& matrix, const View1<std::int32_t>& ends, const tracks::Grid& grid) {
    Image image(grid);
    return std::move(image).draw(tracks::track_source(matrix, ends));
}

}  // namespace trakora::image
