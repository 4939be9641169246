#pragma once
// 2D tracks: read from track matrices (columns x, y, intensity[, value]) and converted to
// pixel indices of a drawing grid. Indices are signed 32-bit: a point before the grid's
// start stays outside it, exactly as in 3D.
#include "raster.hpp"

namespace trakora::tracks {

using Grid = raster::Grid<2>;
using Track = raster::Track<2>;                    // points (x, y, intensity)
using TrackValue = raster::TrackValue<2>;          // points (x, y, intensity, value)
using ImageTrack = raster::ImageTrack<2>;          // points (ix, iy, intensity)
using ImageTrackValue = raster::ImageTrackValue<2>;  // points (ix, iy, intensity, value)

// Converts the tracks to the grid and drops repeated consecutive positions.
std::vector<ImageTrack> prepare_for_drawing(const std::vector<Track>& tracks, const Grid& grid);
std::vector<ImageTrackValue> prepare_for_drawing(const std::vector<TrackValue>& tracks, const Grid& grid);

}  // namespace trakora::tracks
