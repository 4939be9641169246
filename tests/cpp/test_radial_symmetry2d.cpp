#include <cmath>
#include <limits>

#include "check.hpp"
#include "radial_symmetry2d.hpp"

using namespace trakora;

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
