#pragma once
// 3D tracks: read from track matrices (columns x, y, z, intensity[, value]) and converted to
// voxel indices of a drawing grid. Indices are signed 32-bit: a point before the grid's
// start stays outside it.
#include "raster.hpp"

namespace trakora::tracks3d {

using Grid = raster::Grid<3>;
using Track = raster::Track<3>;                    // points (x, y, z, intensity)
using TrackValue = raster::TrackValue<3>;          // points (x, y, z, intensity, value)
using ImageTrack = raster::ImageTrack<3>;          // points (ix, iy, iz, intensity)
using ImageTrackValue = raster::ImageTrackValue<3>;  // points (ix, iy, iz, intensity, value)

// Converts the tracks to the grid and drops repeated consecutive positions.
std::vector<ImageTrack> prepare_for_drawing(const std::vector<Track>& tracks, const Grid& grid);
std::vector<ImageTrackValue> prepare_for_drawing(const std::vector<TrackValue>& tracks, const Grid& grid);

}  // namespace trakora::tracks3d
