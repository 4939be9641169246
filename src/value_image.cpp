#include "value_image.hpp"

#include "image.hpp"

namespace trakora::value_image {

ValueImage::ValueImage(const tracks::Grid& grid) : grid_(grid) {
    raster::check_allocation(grid.cells(), 2 * sizeof(float) + sizeof(std::uint32_t));
}

ValueArrays ValueImage::draw(const tracks::TrackValueSource& source) && {
    return raster::render_value_image(grid_, source, image::LineWalk{});
}

ValueArrays draw_tracks_value(const View2<float>& matrix, const View1<std::int32_t>& ends, const tracks::Grid& grid) {
    ValueImage image(grid);
    return std::move(image).draw(tracks::track_value_source(matrix, ends));
}

}  // namespace trakora::value_image
