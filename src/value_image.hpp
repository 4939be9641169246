#pragma once
// The 2D value image: tracks whose points carry a value besides the intensity, walked as in
// the density image; every pixel keeps the intensity sum and the intensity-weighted mean
// value of its samples after the lowest-intensity quarter is discarded.
#include <cstdint>
#include <vector>

#include "raster.hpp"
#include "tracks.hpp"
#include "view.hpp"

namespace trakora::value_image {

using ValueArrays = raster::ValueArrays<2>;  // intensity sums, mean values, counts

// The accumulator over one grid. draw reads and walks the tracks twice (count, then place
// every sample into one flat buffer grouped by pixel) and reduces each pixel's group.
class ValueImage {
public:
    explicit ValueImage(const tracks::Grid& grid);  // checks that the outputs fit in memory
    ValueArrays draw(const tracks::TrackValueSource& source) &&;

private:
    tracks::Grid grid_;
};

// The whole drawing: read the tracks, prepare them for the grid, draw and reduce them.
ValueArrays draw_tracks_value(const View2<float>& matrix, const View1<std::int32_t>& ends, const tracks::Grid& grid);

}  // namespace trakora::value_image
