#pragma once
// Motion-aware linking: frames are linked one after the other, each track's next position
// predicted from its own motion, then track ends and starts separated by a gap are joined by
// one global assignment (gap closing).
//
// Every track carries two models of its steps: still (Brownian: the next position is the
// last one) and directed (the last position plus a smoothed velocity). It follows the model
// whose recent squared prediction errors are clearly smaller (the directed one must halve
// them), so a track switches between them as
// its motion changes. The search radius round the prediction follows the model's
// root-mean-square error (four times it), blended with a prior that makes it max_distance
// for young tracks, and
// never above max_distance; a candidate's cost is its distance to the prediction as a share
// of that radius, so a track whose motion is well known competes only for close targets.
//
// Deterministic and single-threaded per call; the frame-pair assignments use the module's
// solver (solve_link_problem).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/types.hpp"
#include "link/linking.hpp"

namespace trakora::link {

struct MotionLinking {
    float max_distance = 0;       // the largest distance of a link from its prediction
    std::uint64_t max_skip = 0;   // frames a track may miss (gap closing spans up to max_skip + 1)
    float max_intensity_ratio = std::numeric_limits<float>::quiet_NaN();  // 2D; NaN: no test
};

// Tracks of two or more points in the layout of link_and_export (tracks in the order of
// their first point's global number, points in frame order); `sources` receives each row's
// global point number. Throws ValueError for a max_distance that Reach::of refuses.
template <std::size_t D>
ExportMatrices<D> link_with_motion(const Frames<D>& frames, const MotionLinking& options,
                                   std::vector<std::uint64_t>* sources);

}  // namespace trakora::link
