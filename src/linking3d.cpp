#include "linking3d.hpp"

#include <utility>

namespace trakora::linking3d {

Frames read_frames(const std::vector<View2<float>>& tables) { return linking::read_frames<3>(tables, "src/linking3d"); }

ExportMatrices3D link_and_export(Frames frames, std::uint64_t max_skip, float max_distance,
                                 linking::PairSolver solver) {
    return linking::link_and_export<3>(std::move(frames), max_skip, max_distance, linking::AnyIntensity{}, solver);
}

}  // namespace trakora::linking3d
