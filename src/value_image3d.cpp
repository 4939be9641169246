#include "value_image3d.hpp"

#include "image3d.hpp"

namespace trakora::value_image3d {

ValueImage3D::ValueImage3D(const tracks3d::Grid& grid) : grid_(grid) {
    raster::check_allocation(grid.cells(), 2 * sizeof(float) + sizeof(std::uint32_t));
}

void ValueImage3D::add_track(tracks3d::ImageTrackValue track) { tracks_.push_back(std::move(track)); }

ValueArrays ValueImage3D::to_arrays() && {
    ValueArrays out = raster::render_value_image(grid_, tracks_, image3d::LineWalk{});
    tracks_.clear();
    return out;
}

ValueArrays draw_tracks_value_3d(const View2<float>& matrix, const View1<std::int32_t>& ends,
                                 const tracks3d::Grid& grid) {
    ValueImage3D image(grid);
    for (auto& track : tracks3d::prepare_for_drawing(tracks3d::TrackValue::from_matrices(matrix, ends), grid))
        image.add_track(std::move(track));
    return std::move(image).to_arrays();
}

}  // namespace trakora::value_image3d
