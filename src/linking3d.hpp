#pragma once
// Linking volume localizations into tracks: the scheme of linking.hpp with points
// (x, y, z, intensity), a grid of 27 neighbouring cells, the distance taken in three
// dimensions ((dx^2 + dy^2) + dz^2) and no intensity test.
#include <cstdint>
#include <vector>

#include "linking.hpp"

namespace trakora::linking3d {

using Frames = linking::Frames<3>;
using Mapper = linking::Mapper<3>;

// Frame tables with columns x, y, z, intensity; too few columns in a table with rows throws
// InternalError (index out of bounds).
Frames read_frames(const std::vector<View2<float>>& tables);

// Validates max_distance (ValueError), links and returns the N x 4 track matrices.
ExportMatrices3D link_and_export(Frames frames, std::uint64_t max_skip, float max_distance,
                                 linking::PairSolver solver = linking::PairSolver::Grouped);

}  // namespace trakora::linking3d
