#pragma once
// The 3D value image: tracks whose points carry a value besides the intensity, traversed as
// in the 3D density image; every voxel keeps the intensity sum and the intensity-weighted
// mean value of its samples after the lowest-intensity quarter is discarded.
#include <cstdint>
#include <vector>

#include "raster.hpp"
#include "tracks3d.hpp"
#include "view.hpp"

namespace trakora::value_image3d {

using ValueArrays = raster::ValueArrays<3>;  // intensity sums, mean values, counts

// The accumulator over one grid. draw reads and walks the tracks twice (count, then place
// every sample into one flat buffer grouped by voxel, not one list per voxel) and reduces
// each voxel's group.
class ValueImage3D {
public:
    explicit ValueImage3D(const tracks3d::Grid& grid);  // checks that the outputs fit in memory
    ValueArrays draw(const tracks3d::TrackValueSource& source) &&;

private:
    tracks3d::Grid grid_;
};

// The whole drawing: read the tracks, prepare them for the grid, draw and reduce them.
ValueArrays draw_tracks_value_3d(const View2<float>& matrix, const View1<std::int32_t>& ends,
                                 const tracks3d::Grid& grid);

}  // namespace trakora::value_image3d
