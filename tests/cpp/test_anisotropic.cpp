// The anisotropic spot localizer's parts: the fit on exact spots, the prefilter's border
// renormalisation, and spots that do not depend on the number of threads.
#include <cmath>
#include <vector>

#include "check.hpp"
#include "localize/anisotropic.hpp"

using namespace trakora;
using namespace trakora::localize;

namespace {

std::vector<float> spot(std::size_t rows, std::size_t cols, double r0, double c0, double sr, double sc, double amp,
                        double floor) {
    std::vector<float> v(rows * cols);
    for (std::size_t i = 0; i < rows; ++i)
        for (std::size_t j = 0; j < cols; ++j) {
            const double dr = static_cast<double>(i) - r0, dc = static_cast<double>(j) - c0;
            v[i * cols + j] = static_cast<float>(amp * std::exp(-dr * dr / (2 * sr * sr) - dc * dc / (2 * sc * sc)) + floor);
        }
    return v;
}

}  // namespace

TEST_CASE("anisotropic Gaussian fit recovers centre, widths, amplitude and floor of an exact spot") {
    // a 9 x 15 window, centre pixel (4, 7); the spot off it by (0.3, -0.6)
    const auto w = spot(9, 15, 4.3, 6.4, 1.7, 3.4, 2.0, 0.25);
    const auto fit = fit_anisotropic_gaussian(w.data(), 9, 15, 1.5, 3.0);
    REQUIRE(fit.has_value());
    CHECK_NEAR(fit->row, 0.3, 1e-4);
    CHECK_NEAR(fit->col, -0.6, 1e-4);
    CHECK_NEAR(fit->sigma_row, 1.7, 1e-4);
    CHECK_NEAR(fit->sigma_col, 3.4, 1e-4);
    CHECK_NEAR(fit->amplitude, 2.0, 1e-4);
    CHECK_NEAR(fit->floor, 0.25, 1e-4);
}

TEST_CASE("anisotropic Gaussian fit refuses constant and non-finite windows") {
    std::vector<float> flat(9 * 9, 1.0f);
    CHECK(!fit_anisotropic_gaussian(flat.data(), 9, 9, 1.0f, 1.0f).has_value());
    auto w = spot(9, 9, 4, 4, 1.5, 1.5, 1.0, 0.0);
    w[10] = NAN;
    CHECK(!fit_anisotropic_gaussian(w.data(), 9, 9, 1.0f, 1.0f).has_value());
}

TEST_CASE("prefilter keeps a constant frame constant up to its borders and spreads an impulse symmetrically") {
    const std::vector<float> ones(7 * 11, 3.0f);
    const auto smooth = gaussian_smooth(View2<float>::contiguous(ones.data(), {7, 11}), 1.2f, 2.5f);
    for (float v : smooth.data) CHECK_NEAR(v, 3.0, 1e-5);
    // an impulse whose spread stays clear of the renormalised borders keeps its sum
    std::vector<float> impulse(21 * 31, 0.0f);
    impulse[10 * 31 + 15] = 1.0f;
    const auto spread = gaussian_smooth(View2<float>::contiguous(impulse.data(), {21, 31}), 1.0f, 2.0f);
    double total = 0;
    for (float v : spread.data) total += v;
    CHECK_NEAR(total, 1.0, 1e-5);
    CHECK_NEAR(spread.data[10 * 31 + 13], spread.data[10 * 31 + 17], 1e-7);
    CHECK(spread.data[10 * 31 + 17] > spread.data[12 * 31 + 15]);  // wider along the columns
}

TEST_CASE("spots of a stack come out in frame order whatever the number of threads") {
    const std::size_t frames = 37, rows = 30, cols = 40;
    std::vector<float> stack(frames * rows * cols);
    for (std::size_t f = 0; f < frames; ++f) {
        const auto s = spot(rows, cols, 10 + 0.3 * static_cast<double>(f % 7), 12 + 0.5 * static_cast<double>(f % 11),
                            1.5, 3.0, 1.0, 0.0);
        std::copy(s.begin(), s.end(), stack.begin() + static_cast<std::ptrdiff_t>(f * rows * cols));
    }
    SpotParams params;
    params.half_rows = 3;
    params.half_cols = 6;
    params.threshold = 0.5f;
    params.sigma_rows = 1.5f;
    params.sigma_cols = 3.0f;
    params.smooth_rows = 0.75f;
    params.smooth_cols = 1.5f;
    SpotCounts counts;
    const auto spots = localize_spots(View3<float>::contiguous(stack.data(), {frames, rows, cols}), params, &counts);
    REQUIRE(spots.size() == frames);
    CHECK_EQ(counts.candidates, frames);
    for (std::size_t f = 0; f < frames; ++f) {
        CHECK_EQ(spots[f].frame, f);
        CHECK_NEAR(spots[f].row, 10 + 0.3 * static_cast<double>(f % 7), 1e-3);
        CHECK_NEAR(spots[f].col, 12 + 0.5 * static_cast<double>(f % 11), 1e-3);
    }
}
