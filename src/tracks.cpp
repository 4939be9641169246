#include "tracks.hpp"

namespace trakora::tracks {

std::vector<ImageTrack> prepare_for_drawing(const std::vector<Track>& tracks, const Grid& grid) {
    return raster::prepare_for_drawing(tracks, grid);
}

std::vector<ImageTrackValue> prepare_for_drawing(const std::vector<TrackValue>& tracks, const Grid& grid) {
    return raster::prepare_for_drawing(tracks, grid);
}

}  // namespace trakora::tracks
