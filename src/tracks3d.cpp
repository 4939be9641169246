#include "tracks3d.hpp"

// The readers are templates shared with the 2D twin; their 3D forms are compiled here once.
namespace trakora::raster {
template struct Track<3>;
template struct TrackValue<3>;
template class TrackSource<Track<3>>;
template class TrackSource<TrackValue<3>>;
}  // namespace trakora::raster
