#include <cmath>
#include <limits>

#include "check.hpp"
#include "localize/radial_symmetry.hpp"

using namespace trakora;
using namespace trakora::localize;

TEST_CASE("averaging filter divides by nine with zero padding") {
    Array<float, 2> ones2({2, 2}, 1.0f);
    for (float v : apply_averaging_filter(ones2).data) CHECK_EQ(v, 4.0f / 9.0f);
    Array<float, 2> ones3({3, 3}, 1.0f);
    const auto f = apply_averaging_filter(ones3);
    CHECK_EQ(f.data[0], 4.0f / 9.0f);
    CHECK_EQ(f.data[1], 6.0f / 9.0f);
    CHECK_EQ(f.data[4], 1.0f);
    CHECK_EQ(f.data[8], 4.0f / 9.0f);
    CHECK(apply_averaging_filter(Array<float, 2>({0, 5})).data.empty());
}

TEST_CASE("averaging filter leaves its input unchanged") {
    Array<float, 2> a({2, 3});
    for (std::size_t i = 0; i < a.data.size(); ++i) a.data[i] = static_cast<float>(i);
    const auto copy = a.data;
    (void)apply_averaging_filter(a);
    CHECK(a.data == copy);
}

TEST_CASE("a symmetric 2x2 spot is centred between its pixels") {
    Array<float, 2> w({4, 4}, 0.0f);
    w.data[1 * 4 + 1] = w.data[1 * 4 + 2] = w.data[2 * 4 + 1] = w.data[2 * 4 + 2] = 1.0f;
    const auto r = localize_radial_symmetry(w.view());
    REQUIRE(r.has_value());
    CHECK_NEAR((*r)[0], 0.0, 1e-5);
    CHECK_NEAR((*r)[1], 0.0, 1e-5);
}

TEST_CASE("gradient line slope replacements") {
    // Regular case: -(f1 + f2) / (f1 - f2).
    CHECK_EQ(gradient_line_slope(3.0f, 1.0f, 0.0f, 0.0f), -2.0f);
    // Smoothed differences both zero: 0/0 -> slope from the raw differences, no minus sign.
    CHECK_EQ(gradient_line_slope(0.0f, 0.0f, 1.0f, 0.5f), 3.0f);
    // Both quotients 0/0 -> 0.
    CHECK_EQ(gradient_line_slope(0.0f, 0.0f, 0.0f, 0.0f), 0.0f);
    // Equal non-zero smoothed differences: -2/0 = -inf -> +1e6 whatever the sign.
    CHECK_EQ(gradient_line_slope(1.0f, 1.0f, 5.0f, 1.0f), 1000000.0f);
    CHECK_EQ(gradient_line_slope(-1.0f, -1.0f, 5.0f, 1.0f), 1000000.0f);
    // Raw fallback that is itself infinite -> 1e6.
    CHECK_EQ(gradient_line_slope(0.0f, 0.0f, 1.0f, 1.0f), 1000000.0f);
}

TEST_CASE("radial symmetry follows the window's strides") {
    // The same spot read through a transposing view gives swapped offsets.
    Array<float, 2> w({7, 9});
    for (std::size_t i = 0; i < 7; ++i)
        for (std::size_t j = 0; j < 9; ++j) {
            const double dy = double(i) - 3.25, dx = double(j) - 3.5;
            w.data[i * 9 + j] = static_cast<float>(std::exp(-(dy * dy + dx * dx) / 4.5));
        }
    const auto direct = localize_radial_symmetry(w.view());
    View2<float> transposed = w.view();
    std::swap(transposed.shape[0], transposed.shape[1]);
    std::swap(transposed.strides[0], transposed.strides[1]);
    const auto swapped = localize_radial_symmetry(transposed);
    REQUIRE(direct && swapped);
    CHECK_NEAR((*direct)[0], 0.25, 0.02);
    CHECK_NEAR((*direct)[1], -0.5, 0.02);
    CHECK_NEAR((*swapped)[0], (*direct)[1], 1e-5);
    CHECK_NEAR((*swapped)[1], (*direct)[0], 1e-5);
}
