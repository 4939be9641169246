#include "tracks.hpp"

// The readers are templates shared with the 3D twin; their 2D forms are compiled here once.
namespace trakora::raster {
template struct Track<2>;
template struct TrackValue<2>;
template class TrackSource<Track<2>>;
template class TrackSource<TrackValue<2>>;
}  // namespace trakora::raster
