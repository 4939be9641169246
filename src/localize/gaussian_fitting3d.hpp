#pragma once
// Spot centre in a 3-D window by fitting a Gaussian of fixed shape (peak value 1, standard
// deviation one voxel on every axis, no background) to the window normalised by its
// maximum: five undamped Gauss-Newton steps on the three centre coordinates.
#include <array>
#include <optional>

#include "core/view.hpp"

namespace trakora::localize {

// The fitted centre in window voxel coordinates, axis 0 first ((0, 0, 0) is the centre of
// the first voxel); it may lie outside the window. Nothing for an empty window, a maximum
// <= 0 (or all NaN), or a near-singular normal matrix in any step. NaN voxels other than
// the maximum give (NaN, NaN, NaN).
std::optional<std::array<float, 3>> localize_gaussian_fitting_3d(const View3<float>& window);

}  // namespace trakora::localize
