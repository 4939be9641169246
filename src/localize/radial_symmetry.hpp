#pragma once
// Spot centre in a 2-D window by radial symmetry: every gradient of a radially symmetric
// spot points at its centre, so the point closest (weighted least squares) to all the
// gradient lines through the pixel corners is the centre. One pass, no iteration.
// Method: R. Parthasarathy, "Rapid, accurate particle tracking by calculation of radial
// symmetry centers", Nature Methods 9, 724-726 (2012).
#include <array>
#include <optional>

#include "core/view.hpp"

namespace trakora::localize {

// (row offset, column offset) of the spot centre from the window centre ((H-1)/2, (W-1)/2),
// or nothing when the lines determine no point (constant window, one row or column, all
// lines parallel). NaN values give (NaN, NaN).
std::optional<std::array<float, 2>> localize_radial_symmetry(const View2<float>& window);

// Slope d(column)/d(row) of the gradient line at one corner from the smoothed (f1, f2) and
// unsmoothed (d1, d2) diagonal differences; NaN and infinite slopes are replaced so that
// every corner yields a usable line.
float gradient_line_slope(float f1, float f2, float d1, float d2);

// 3x3 box mean with zero padding: the sum of the in-array neighbours, always divided by 9.
Array<float, 2> apply_averaging_filter(const Array<float, 2>& input);

}  // namespace trakora::localize
