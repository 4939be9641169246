#include "value_image3d.hpp"

#include "image3d.hpp"

namespace trakora::value_image3d {

ValueImage3D::ValueImage3D(const tracks3d::Grid& grid) : grid_(grid) {
    raster::check_allocation(grid.cells(), 2 * sizeof(float) + sizeof(std::uint32_t));
}

ValueArrays ValueImage3D::draw(const tracks3d::TrackValueSource& source) && {
    return raster::render_value_image(grid_, source, image3d::LineWalk{});
}

ValueArrays draw_tracks_value_3d(const View2<float>& matrix, const View1<std::int32_t>& ends,
                                 const tracks3d::Grid& grid) {
    ValueImage3D image(grid);
    return std::move(image).draw(tracks3d::track_value_source(matrix, ends));
}

}  // namespace trakora::value_image3d
