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

// The tracks of a point matrix and its end indices, read one at a time.
using TrackSource = raster::TrackSource<Track>;
using TrackValueSource = raster::TrackSource<TrackValue>;

inline TrackSource track_source(const View2<float>& matrix, const View1<std::int32_t>& ends) {
    return raster::track_source<Track>(matrix, ends);
}
inline TrackValueSource track_value_source(const View2<float>& matrix, const View1<std::int32_t>& ends) {
    return raster::track_source<TrackValue>(matrix, ends);
}

}  // namespace trakora::tracks3d

namespace trakora::raster {
extern template struct Track<3>;
extern template struct TrackValue<3>;
extern template class TrackSource<Track<3>>;
extern template class TrackSource<TrackValue<3>>;
}  // namespace trakora::raster
