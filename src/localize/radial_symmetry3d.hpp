#pragma once
// Spot centre in a 3-D window by radial symmetry. A gradient is estimated at the centre of
// every 2x2x2 block of voxels from three body-diagonal differences; each gradient is taken
// as a line through its block centre, and the point closest to all lines (weighted least
// squares) is the spot centre. One pass, no iteration. This is the 2-D method of
// R. Parthasarathy, Nature Methods 9, 724-726 (2012), carried to three dimensions.
#include <array>
#include <optional>
#include <vector>

#include "core/view.hpp"

namespace trakora::localize {

// The spot centre in window voxel coordinates, axis 0 first ((0, 0, 0) is the centre of the
// first voxel). Nothing for a window with fewer than 3 voxels along an axis or without any
// smoothed gradient. A degenerate system falls back to the gradient-weighted centroid;
// NaN voxels give (NaN, NaN, NaN).
std::optional<std::array<float, 3>> localize_radial_symmetry_3d(const View3<float>& window);

// 3x3x3 box mean with zero padding: the sum of the in-array neighbours (axis 0 outermost,
// axis 2 innermost), always divided by 27. The input is left unchanged.
Array<float, 3> apply_averaging_filter_3d(const Array<float, 3>& input);

// Element by element half(a - b) + half(c - d), where half(t) = t * 0.5 and a zero
// difference of either sign gives +0.0. All four arrays have the shape of `a`.
Array<float, 3> compute_derivative_component(const Array<float, 3>& a, const Array<float, 3>& b,
                                             const Array<float, 3>& c, const Array<float, 3>& d);

// Sum of a * b over all elements in row-major order, accumulated from -0.0.
float elementwise_sum_product(const Array<float, 3>& a, const Array<float, 3>& b);

// Sum over all cells (i, j, k), in row-major order from 0.0, of
// w * ((z[i] * a + y[j] * b) + x[k] * c).
float compute_rhs_element(const Array<float, 3>& w, const Array<float, 3>& a, const Array<float, 3>& b,
                          const Array<float, 3>& c, const std::vector<float>& z, const std::vector<float>& y,
                          const std::vector<float>& x);

}  // namespace trakora::localize
