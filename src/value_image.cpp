#include "value_image.hpp"

#include "image.hpp"

namespace trakora::value_image {

ValueImage::ValueImage(const tracks::Grid& grid) : grid_(grid) {
    raster::check_allocation(grid.cells(), 2 * sizeof(float) + sizeof(std::uint32_t));
}

void ValueImage::add_track(tracks::ImageTrackValue track) { tracks_.push_back(std::move(track)); }

ValueArrays ValueImage::to_arrays() && {
    ValueArrays out = raster::render_value_image(grid_, tracks_, image::LineWalk{});
    tracks_.clear();
    return out;
}

ValueArrays draw_tracks_value(const View2<float>& matrix, const View1<std::int32_t>& ends, const tracks::Grid& grid) {
    ValueImage image(grid);
    for (auto& track : tracks::prepare_for_drawing(tracks::TrackValue::from_matrices(matrix, ends), grid))
        image.add_track(std::move(track));
    return std::move(image).to_arrays();
}

}  // namespace trakora::value_image
