#include "image.hpp"

namespace trakora::image {

tracks::Grid grid_geometry(const std::array<float, 4>& extent, float pixel_size) {
    return raster::make_grid<2>(extent, pixel_size);
}

Image::Image(const tracks::Grid& grid) : grid_(grid) {
    raster::check_allocation(grid.cells(), sizeof(float) + sizeof(std::uint32_t));
}

void Image::add_track(tracks::ImageTrack track) { tracks_.push_back(std::move(track)); }

DensityArrays Image::to_arrays() && {
    DensityArrays out;
    out.values = Array<float, 2>(grid_.array_shape());
    const auto visits = [&](auto&& sink) {
        for (const auto& track : tracks_) {
            raster::trace_track(
                track.points, grid_, LineWalk{},
                [&](std::size_t c, const raster::GridPoint<2>& a, const raster::GridPoint<2>& b, float t) {
                    const float v = raster::blend(a.intensity, b.intensity, t);
                    if (v == v) sink(c, v);
                },
                [&](std::size_t c, const raster::GridPoint<2>& p) {
                    if (p.intensity == p.intensity) sink(c, p.intensity);
                });
        }
    };
    out.counts.data = raster::group_by_cell<float>(grid_.cells(), visits, [&](std::size_t c, float* first, float* last) {
        out.values.data[c] = raster::trimmed_sum(first, last);
    });
    out.counts.shape = grid_.array_shape();
    tracks_.clear();
    return out;
}

DensityArrays draw_tracks(const View2<float>& matrix, const View1<std::int32_t>& ends, const tracks::Grid& grid) {
    Image image(grid);
    for (auto& track : tracks::prepare_for_drawing(tracks::Track::from_matrices(matrix, ends), grid))
        image.add_track(std::move(track));
    return std::move(image).to_arrays();
}

}  // namespace trakora::image
