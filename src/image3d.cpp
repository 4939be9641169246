#include "image3d.hpp"

namespace trakora::image3d {

tracks3d::Grid grid_geometry(const Extent3D& e, float pixel_size) {
    return raster::make_grid<3>({e.x_min, e.x_max, e.y_min, e.y_max, e.z_min, e.z_max}, pixel_size);
}

ShapeAndExtent get_shape_and_extent(const Extent3D& extent, float pixel_size) {
    const tracks3d::Grid g = grid_geometry(extent, pixel_size);
    return {g.shape, Extent3D{g.min[0], g.max[0], g.min[1], g.max[1], g.min[2], g.max[2]}};
}

Image::Image(const tracks3d::Grid& grid) : grid_(grid) {
    raster::check_allocation(grid.cells(), sizeof(float) + sizeof(std::uint32_t));
    arrays_.sums = Array<float, 3>(grid.array_shape());
    arrays_.counts = Array<std::uint32_t, 3>(grid.array_shape());
}

void Image::add_track(const tracks3d::ImageTrack& track) {
    float* sums = arrays_.sums.data.data();
    std::uint32_t* counts = arrays_.counts.data.data();
    raster::trace_track(
        track.points, grid_, LineWalk{},
        [&](std::size_t c, const raster::GridPoint<3>& a, const raster::GridPoint<3>& b, float t) {
            const float v = raster::blend(a.intensity, b.intensity, t);
            if (v == v) sums[c] += v, counts[c] += 1;
        },
        [&](std::size_t c, const raster::GridPoint<3>& p) {
            if (p.intensity == p.intensity) sums[c] += p.intensity, counts[c] += 1;
        });
}

DensityArrays Image::to_arrays() && { return std::move(arrays_); }

DensityArrays draw_tracks_3d(const View2<float>& matrix, const View1<std::int32_t>& ends, const tracks3d::Grid& grid) {
    Image image(grid);
    raster::for_each_prepared_track(tracks3d::track_source(matrix, ends), grid,
                                    [&](const tracks3d::ImageTrack& track) { image.add_track(track); });
    return std::move(image).to_arrays();
}

}  // namespace trakora::image3d
