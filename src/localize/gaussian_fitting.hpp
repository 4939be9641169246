#pragma once
// Spot centre in a 2-D window by fitting a Gaussian of fixed width (one pixel) and of the
// window's maximum as amplitude, with five undamped Gauss-Newton steps on the centre only.
#include <array>
#include <optional>

#include "core/view.hpp"

namespace trakora::localize {

// (row offset, column offset) from the window centre ((H-1)/2, (W-1)/2), or nothing for an
// empty window, a maximum <= 0, or a nearly singular step. The result is not bounded to the
// window; NaN pixels give (NaN, NaN).
std::optional<std::array<float, 2>> localize_gaussian_fitting(const View2<float>& window);

}  // namespace trakora::localize
