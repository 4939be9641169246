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

// The tracks of a point matrix and its end indices, read one at a time.
using TrackSource = raster::TrackSource<Track>;
using TrackValueSource = raster::TrackSource<TrackValue>;

inline TrackSource track_source(const View2<float>& matrix, const View1<std::int32_t>& ends) {
    return raster::track_source<Track>(matrix, ends);
}
inline TrackValueSource track_value_source(const View2<float>& matrix, const View1<std::int32_t>& ends) {
    return raster::track_source<TrackValue>(matrix, ends);
}

}  // namespace trakora::tracks

namespace trakora::raster {
extern template struct Track<2>;
extern template struct TrackValue<2>;
extern template class TrackSource<Track<2>>;
extern template class TrackSource<TrackValue<2>>;
}  // namespace trakora::raster
