#pragma once
// How much the neighbourhood of each 3D peak looks like a Gaussian spot of a given physical
// size: the Pearson correlation between a 5x5x5 Gaussian template and the voxels round the
// peak that lie inside the volume.
#include <array>
#include <optional>
#include <vector>

#include "core/types.hpp"
#include "core/view.hpp"

namespace trakora::detect {

// The 5x5x5 template (row-major, centre (2, 2, 2)), normalised to sum 1. Voxel sizes are
// the extent's span divided by the voxel count (not count - 1); sigmas are in the extent's
// units, one per axis.
std::array<float, 125> gaussian_template(const DetectionExtent3D& extent, const std::array<std::size_t, 3>& shape,
                                         const std::array<float, 3>& sigmas);

// Sets the correlation of every peak (0.0 for a flat neighbourhood or template, NaN when a
// sigma is 0 or a neighbour is NaN). Order and number of peaks are unchanged.
void compute_correlations(const View3<float>& volume, const DetectionExtent3D& extent, std::vector<Peak3D>& peaks,
                          const std::array<float, 3>& sigmas);

// Keeps, in order, the peaks whose correlation (0.0 when absent) is >= threshold; a NaN
// correlation is removed.
void keep_correlated(std::vector<Peak3D>& peaks, float threshold);

// Every peak's correlation (0.0 when absent), or nothing when no peak carries one.
std::optional<std::vector<float>> correlation_column(const std::vector<Peak3D>& peaks);

}  // namespace trakora::detect
