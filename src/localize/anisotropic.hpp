#pragma once
// Localization of an anisotropic spot (the ultrasound point-spread function: narrow along
// depth, wide across it) in a stack of envelope frames. Per frame:
//
//   prefilter   candidates are looked for in the frame smoothed by a Gaussian of
//               (smooth_rows, smooth_cols) pixels (none when 0), which removes the noise
//               ripples that split a wide spot into several maxima; fits use the frame itself;
//   candidates  pixels >= threshold that no 8-neighbour beats (on a plateau the first pixel
//               in raster order wins), away from the border by the window's half sizes;
//   crowding    a candidate whose (2 hr + 1) x (2 hc + 1) window holds another candidate of
//               at least crowd_ratio times its value is dropped, not kept at its pixel;
//   refinement  a Gaussian with its own width per axis and a constant floor, fitted by
//               Levenberg-Marquardt (or radial symmetry on the same window); a fit that
//               fails, leaves the window's central half or gives widths outside
//               [0.25, 4] times the expected ones is dropped.
//
// Positions are in pixels (row, column) of the frame; the caller applies pixel sizes.
// Frames run in parallel on the worker pool; the spots come out in frame order, the same for
// any number of threads.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/view.hpp"

namespace trakora::localize {

enum class SpotMethod { gaussian, radial };

struct SpotParams {
    std::size_t half_rows = 3;      // window half size along axis 0 (depth)
    std::size_t half_cols = 3;      // window half size along axis 1 (lateral)
    float threshold = 0;            // candidates reach this value
    float crowd_ratio = 0.5f;       // another candidate this bright (relative) crowds a window
    float sigma_rows = 1;           // expected spot widths (standard deviations), in pixels
    float sigma_cols = 1;
    SpotMethod method = SpotMethod::gaussian;
    float smooth_rows = 0;          // prefilter widths (standard deviations), in pixels
    float smooth_cols = 0;
};

struct Spot {
    std::uint64_t frame = 0;
    float row = 0;
    float col = 0;
    float intensity = 0;            // the fitted amplitude over the floor (the peak value for radial)
    float sigma_row = 0;            // fitted widths (0 for radial)
    float sigma_col = 0;
};

struct SpotCounts {
    std::uint64_t candidates = 0;
    std::uint64_t crowded = 0;
    std::uint64_t failed = 0;
};

struct GaussianFit {
    double row = 0, col = 0;        // offsets from the window centre
    double amplitude = 0, floor = 0;
    double sigma_row = 0, sigma_col = 0;
};

// Fits A exp(-(r - r0)^2 / (2 sr^2) - (c - c0)^2 / (2 sc^2)) + B to a window (row-major
// `rows` x `cols` values, offsets from the centre pixel), starting from the centre and the
// expected widths. Nothing for a non-finite window or one that does not converge.
std::optional<GaussianFit> fit_anisotropic_gaussian(const float* window, std::size_t rows, std::size_t cols,
                                                    float sigma_rows, float sigma_cols);

// The spots of every frame of `stack` (frames x rows x cols), frame by frame in order.
std::vector<Spot> localize_spots(const View3<float>& stack, const SpotParams& params, SpotCounts* counts = nullptr);

// The candidates of one frame (row, column, value), brightest first.
struct Candidate {
    std::size_t row, col;
    float value;
};
std::vector<Candidate> find_candidates(const View2<float>& frame, const SpotParams& params);

// `frame` smoothed by a separable Gaussian of standard deviations (sigma_rows, sigma_cols)
// pixels (3 of them each side, truncated at the border and renormalised there); an axis
// with sigma 0 is left as it is. Row-major rows x cols.
Array<float, 2> gaussian_smooth(const View2<float>& frame, float sigma_rows, float sigma_cols);

}  // namespace trakora::localize
