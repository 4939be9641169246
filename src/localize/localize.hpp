#pragma once
// Sub-pixel refinement of detected peaks: a square window is cut round each peak (brightest
// first), windows holding a single spot go to the chosen localizer, results that leave the
// window fall back to the window's centroid, and positions are mapped to physical units.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "core/types.hpp"
#include "core/view.hpp"

namespace trakora::localize {

// A window with more regional-maximum pixels than this holds several spots.
inline constexpr std::uint64_t single_spot_maxima = 2;

struct DetectionGeometry2D {
    std::uint64_t rows = 0;
    std::uint64_t cols = 0;
    Extent2D extent;
};

// Offsets (row, column) of a spot from the centre pixel of a window, or nothing.
using WindowLocalizer = std::function<std::optional<std::array<float, 2>>(const View2<float>&)>;

// Refines `peaks` (brightest first) with windows of odd size `window_size` >= 3. Peaks whose
// window crosses the border or whose localizer fails are dropped; windows with more than
// `max_window_maxima` positive regional-maximum pixels keep their pixel position. Stops once
// `max_num_peaks` peaks are in the output (so 0 returns none). When `refined` is given it
// receives one flag per output peak: 1 where the localizer's result is the position, 0 where
// the peak kept its pixel (a crowded window) or fell back to the window's centroid.
std::vector<Peak2D> localize_peaks(const View2<float>& image, const std::vector<Peak2D>& peaks, std::size_t window_size,
                             const DetectionGeometry2D& geometry, std::uint64_t max_window_maxima,
                             LocalizationMethod method, std::optional<std::uint64_t> max_num_peaks,
                             std::vector<std::uint8_t>* refined = nullptr);

// The same with any localizer in place of a named method.
std::vector<Peak2D> localize_peaks(const View2<float>& image, const std::vector<Peak2D>& peaks, std::size_t window_size,
                             const DetectionGeometry2D& geometry, std::uint64_t max_window_maxima,
                             const WindowLocalizer& localizer, std::optional<std::uint64_t> max_num_peaks,
                             std::vector<std::uint8_t>* refined = nullptr);

// Number of pixels of a square row-major window that belong to a regional maximum (a
// plateau of equal values with no brighter neighbour, found by flood fill) and are > 0.
std::uint64_t count_regional_maxima(const Array<float, 2>& window);

// Intensity-weighted centroid of a square window as offsets from its centre pixel;
// (0, 0) when the values sum to exactly 0.
std::array<float, 2> window_centroid(const Array<float, 2>& window);

}  // namespace trakora::localize
