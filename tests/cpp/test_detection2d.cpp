#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "check.hpp"
#include "detect/detection.hpp"
#include "localize/gaussian_fitting.hpp"
#include "localize/localize.hpp"

using namespace trakora;
using namespace trakora::detect;
using namespace trakora::localize;

namespace {

constexpr float nan_f = std::numeric_limits<float>::quiet_NaN();

// A noisy image with small integer values (so plateaus and ties are common) and some NaNs.
Array<float, 2> tie_heavy_image(std::size_t rows, std::size_t cols, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> level(0, 4);
    Array<float, 2> img({rows, cols});
    for (float& v : img.data) v = static_cast<float>(level(gen));
    for (std::size_t k = 0; k < img.data.size(); k += 37) img.data[k] = nan_f;
    return img;
}

bool same_peaks(const std::vector<Peak2D>& a, const std::vector<Peak2D>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t k = 0; k < a.size(); ++k) {
        if (a[k].row != b[k].row || a[k].col != b[k].col || a[k].intensity != b[k].intensity) return false;
        if (std::memcmp(&a[k].position, &b[k].position, sizeof a[k].position) != 0) return false;
    }
    return true;
}

Extent2D unit_extent(std::size_t rows, std::size_t cols) {
    Extent2D e;
    e.last = {static_cast<float>(rows - 1), static_cast<float>(cols - 1)};
    return e;
}

}  // namespace

TEST_CASE("row scan: dense, unaligned, reversed and strided rows all follow the neighbourhood rule") {
    const std::size_t rows = 23, cols = 70;  // 70 columns: full threshold blocks and a tail
    const auto img = tie_heavy_image(rows, cols, 7);
    const Extent2D extent = unit_extent(rows, cols);

    // Reference: every interior pixel through is_peak on the dense view.
    std::vector<std::vector<Peak2D>> expected(rows);
    for (std::size_t r = 1; r + 1 < rows; ++r)
        for (std::size_t c = 1; c + 1 < cols; ++c) {
            const float v = img.data[r * cols + c];
            if (!(v < 2.0f) && is_peak(img.view(), {r, c})) {
                Peak2D p;
                p.row = r;
                p.col = c;
                p.position = {static_cast<float>(r), static_cast<float>(c)};
                p.intensity = v;
                expected[r].push_back(p);
            }
        }

    // The same pixels one byte off float alignment, and with the row order reversed.
    std::vector<char> unaligned(img.data.size() * sizeof(float) + 1);
    std::memcpy(unaligned.data() + 1, img.data.data(), img.data.size() * sizeof(float));
    View2<float> shifted = img.view();
    shifted.data = unaligned.data() + 1;
    std::vector<float> flipped(img.data.size());
    for (std::size_t r = 0; r < rows; ++r)
        std::memcpy(&flipped[(rows - 1 - r) * cols], &img.data[r * cols], cols * sizeof(float));
    View2<float> reversed = View2<float>::contiguous(flipped.data(), {rows, cols});
    reversed.data += static_cast<std::ptrdiff_t>((rows - 1) * cols * sizeof(float));
    reversed.strides[0] = -reversed.strides[0];
    // Every other float: rows that skip the pre-test of dense blocks.
    std::vector<float> spread(2 * img.data.size(), nan_f);
    for (std::size_t k = 0; k < img.data.size(); ++k) spread[2 * k] = img.data[k];
    View2<float> strided = View2<float>::contiguous(spread.data(), {rows, 2 * cols});
    strided.shape[1] = cols;
    strided.strides[1] *= 2;

    std::size_t total = 0;
    for (std::size_t r = 1; r + 1 < rows; ++r) {
        total += expected[r].size();
        for (const View2<float>& view : {img.view(), shifted, reversed, strided})
            CHECK(same_peaks(find_peaks(view, extent, 2.0f, {r}), expected[r]));
    }
    CHECK(total > 10);  // the image really exercises the rule
}

TEST_CASE("thinning with a grid equals the plain greedy rule") {
    std::mt19937 gen(3);
    std::uniform_real_distribution<float> pos(-20.0f, 20.0f);
    std::uniform_int_distribution<int> level(0, 5);
    const float inf = std::numeric_limits<float>::infinity();
    for (int trial = 0; trial < 40; ++trial) {
        std::vector<Peak2D> peaks(300);
        for (auto& p : peaks) {
            // Quarter-unit positions: many pairs at exactly the thinning distance.
            p.position = {std::round(pos(gen) * 4.0f) / 4.0f, std::round(pos(gen) * 4.0f) / 4.0f};
            p.intensity = static_cast<float>(level(gen));
        }
        peaks[5].position[0] = nan_f;
        peaks[6].position[1] = inf;
        for (int k = 0; k < 4; ++k) peaks[10 + k].position = {static_cast<float>(k) * 1e-20f, 0.0f};
        sort_peaks_by_intensity(peaks);
        for (const float d : {0.0f, 1.0f, -1.5f, 2.25f, 7.0f, 1e-20f, 1.5e-20f, 1e25f, nan_f, 60.0f}) {
            const float d2 = d * d;
            std::vector<Peak2D> expected;
            for (const auto& p : peaks) {
                bool dropped = false;
                for (const auto& k : expected) {
                    const float a = k.position[0] - p.position[0];
                    const float b = k.position[1] - p.position[1];
                    dropped = dropped || a * a + b * b < d2;
                }
                if (!dropped) expected.push_back(p);
            }
            CHECK(same_peaks(thin_peaks_by_distance(peaks, d), expected));
        }
    }
}

// ---- regional maxima and the window centroid ----------------------------------------------

namespace {

Array<float, 2> window_with(std::size_t w, std::initializer_list<std::array<float, 3>> pixels, float fill = 0.0f) {
    Array<float, 2> win({w, w}, fill);
    for (const auto& [i, j, v] : pixels) win.data[static_cast<std::size_t>(i) * w + static_cast<std::size_t>(j)] = v;
    return win;
}

}  // namespace

TEST_CASE("regional maxima: isolated maxima, plateaus, non-positive values and NaN") {
    CHECK_EQ(count_regional_maxima(window_with(7, {{3, 3, 5.0f}, {0, 6, 2.0f}})), 2u);
    CHECK_EQ(count_regional_maxima(window_with(7, {{3, 3, 5.0f}, {0, 6, 2.0f}, {6, 0, 1.0f}})), 3u);
    // A plateau of three equal maximal pixels counts three times.
    CHECK_EQ(count_regional_maxima(window_with(7, {{3, 2, 4.0f}, {3, 3, 4.0f}, {3, 4, 4.0f}})), 3u);
    // A plateau touching a brighter pixel is not a maximum.
    CHECK_EQ(count_regional_maxima(window_with(7, {{3, 2, 4.0f}, {3, 3, 4.0f}, {3, 4, 4.0f}, {4, 5, 6.0f}})), 1u);
    // A zero background is a plateau whose maximum is not positive; negative maxima neither.
    CHECK_EQ(count_regional_maxima(window_with(7, {{3, 3, 5.0f}}, 0.0f)), 1u);
    CHECK_EQ(count_regional_maxima(window_with(7, {{1, 1, -1.0f}, {5, 5, -1.0f}, {3, 3, 5.0f}}, -2.0f)), 1u);
    CHECK_EQ(count_regional_maxima(window_with(7, {{1, 1, nan_f}, {3, 3, 5.0f}})), 1u);
}

TEST_CASE("window centroid is measured from the centre pixel") {
    const auto c = window_centroid(window_with(7, {{3, 3, 1.0f}, {5, 4, 3.0f}}));
    CHECK_NEAR(c[0], 1.5, 1e-6);   // (3 + 15) / 4 - 3
    CHECK_NEAR(c[1], 0.75, 1e-6);  // (3 + 12) / 4 - 3
    const auto zero = window_centroid(window_with(7, {{3, 3, 1.0f}, {0, 0, -1.0f}}));
    CHECK_EQ(zero[0], 0.0f);
    CHECK_EQ(zero[1], 0.0f);
}

// ---- the dispatcher with a scripted localizer ---------------------------------------------

namespace {

struct Scene {
    Array<float, 2> img;
    std::vector<Peak2D> peaks;
    DetectionGeometry2D geometry;
};

// A 20 x 20 image with single bright pixels at the given (row, col), brightest first.
Scene scene(std::initializer_list<std::array<std::size_t, 2>> at) {
    Scene s{Array<float, 2>({20, 20}), {}, {20, 20, unit_extent(20, 20)}};
    float value = 100.0f;
    for (const auto& [r, c] : at) {
        s.img.data[r * 20 + c] = value;
        Peak2D p;
        p.row = r;
        p.col = c;
        p.position = {static_cast<float>(r), static_cast<float>(c)};
        p.intensity = value;
        s.peaks.push_back(p);
        value -= 1.0f;
    }
    return s;
}

WindowLocalizer constant(std::optional<std::array<float, 2>> result, int* calls = nullptr) {
    return [=](const View2<float>&) {
        if (calls) ++*calls;
        return result;
    };
}

}  // namespace

TEST_CASE("dispatch: out-of-range offsets fall back to the window centroid") {
    Scene s = scene({{10, 10}});
    s.img.data[12 * 20 + 11] = 25.0f;  // centroid of the 7x7 window: (0.4, 0.2) from the peak
    const auto far = localize_peaks(s.img.view(), s.peaks, 7, s.geometry, 2, constant({{{5.0f, 0.0f}}}), std::nullopt);
    REQUIRE(far.size() == 1u);
    CHECK_NEAR(far[0].position[0], 10.4, 1e-5);
    CHECK_NEAR(far[0].position[1], 10.2, 1e-5);
    const auto edge = localize_peaks(s.img.view(), s.peaks, 7, s.geometry, 2, constant({{{3.5f, 0.0f}}}), std::nullopt);
    REQUIRE(edge.size() == 1u);
    CHECK_EQ(edge[0].position[0], 13.5f);
    CHECK_EQ(edge[0].position[1], 10.0f);
    CHECK_EQ(edge[0].intensity, 100.0f);
    const auto nan_offsets =
        localize_peaks(s.img.view(), s.peaks, 7, s.geometry, 2, constant({{{nan_f, 0.0f}}}), std::nullopt);
    REQUIRE(nan_offsets.size() == 1u);
    CHECK(std::isnan(nan_offsets[0].position[0]));
}

TEST_CASE("dispatch: a zero-sum window with an out-of-range result keeps the pixel position") {
    Scene s = scene({{10, 10}});
    s.img.data[8 * 20 + 8] = -100.0f;
    const auto out = localize_peaks(s.img.view(), s.peaks, 7, s.geometry, 2, constant({{{0.0f, -9.0f}}}), std::nullopt);
    REQUIRE(out.size() == 1u);
    CHECK_EQ(out[0].position[0], 10.0f);
    CHECK_EQ(out[0].position[1], 10.0f);
}

TEST_CASE("dispatch: failures drop, crowded windows skip the localizer, the cap is a maximum") {
    int calls = 0;
    Scene two = scene({{10, 10}, {12, 12}});  // each window sees both maxima: refined
    auto out = localize_peaks(two.img.view(), two.peaks, 7, two.geometry, 2, constant({{{0.25f, -0.5f}}}, &calls),
                        std::nullopt);
    CHECK_EQ(calls, 2);
    REQUIRE(out.size() == 2u);
    CHECK_EQ(out[0].position[0], 10.25f);
    CHECK_EQ(out[0].position[1], 9.5f);

    calls = 0;
    Scene three = scene({{10, 10}, {12, 12}, {8, 12}});
    out = localize_peaks(three.img.view(), three.peaks, 7, three.geometry, 2, constant({{{0.25f, -0.5f}}}, &calls),
                   std::nullopt);
    REQUIRE(out.size() == 3u);
    CHECK_EQ(out[0].position[0], 10.0f);  // the first window holds all three
    CHECK_EQ(out[0].position[1], 10.0f);
    CHECK_EQ(calls, 2);  // (12, 12) and (8, 12) are 4 rows apart: two maxima each

    out = localize_peaks(two.img.view(), two.peaks, 7, two.geometry, 2, constant(std::nullopt), std::nullopt);
    CHECK(out.empty());

    for (const std::uint64_t cap : {0u, 1u, 2u, 5u}) {
        out = localize_peaks(three.img.view(), three.peaks, 7, three.geometry, 2, constant({{{0.0f, 0.0f}}}), cap);
        const std::size_t expected = cap < 3 ? cap : 3;
        CHECK_EQ(out.size(), expected);
        if (!out.empty()) CHECK_EQ(out[0].intensity, 100.0f);
    }
    // Dropped peaks do not use up the cap.
    Scene border = scene({{1, 1}, {10, 10}});
    out = localize_peaks(border.img.view(), border.peaks, 7, border.geometry, 2, constant({{{0.0f, 0.0f}}}), 1);
    REQUIRE(out.size() == 1u);
    CHECK_EQ(out[0].row, 10u);
}

TEST_CASE("dispatch: an image smaller than the window gives nothing") {
    Scene s = scene({{2, 2}});
    const Array<float, 2> small({5, 20});
    const DetectionGeometry2D geometry{5, 20, unit_extent(5, 20)};
    CHECK(localize_peaks(small.view(), s.peaks, 7, geometry, 2, constant({{{0.0f, 0.0f}}}), std::nullopt).empty());
}

// ---- Gaussian fitting ----------------------------------------------------------------------

namespace {

Array<float, 2> spot(std::size_t w, float r, float c, float sigma, float amplitude, float background) {
    Array<float, 2> win({w, w});
    const float h = static_cast<float>(w / 2);
    for (std::size_t i = 0; i < w; ++i)
        for (std::size_t j = 0; j < w; ++j) {
            const float di = static_cast<float>(i) - h - r;
            const float dj = static_cast<float>(j) - h - c;
            win.data[i * w + j] = amplitude * std::exp(-(di * di + dj * dj) / (2.0f * sigma * sigma)) + background;
        }
    return win;
}

}  // namespace

TEST_CASE("Gaussian fit: worked examples") {
    const auto centred = localize_gaussian_fitting(spot(7, 0.0f, 0.0f, 1.0f, 1.0f, 0.0f).view());
    REQUIRE(centred.has_value());
    CHECK_NEAR((*centred)[0], 0.0, 1e-5);
    CHECK_NEAR((*centred)[1], 0.0, 1e-5);

    const auto shifted = localize_gaussian_fitting(spot(7, 0.4f, -0.2f, 1.0f, 1.0f, 0.0f).view());
    REQUIRE(shifted.has_value());
    CHECK_NEAR((*shifted)[0], 0.40, 0.02);
    CHECK_NEAR((*shifted)[1], -0.20, 0.02);

    const auto wide = localize_gaussian_fitting(spot(7, 0.4f, -0.2f, 1.5f, 5.0f, 1.0f).view());
    REQUIRE(wide.has_value());
    CHECK_NEAR((*wide)[0], 0.40, 0.05);
    CHECK_NEAR((*wide)[1], -0.20, 0.05);

    // A non-square window measures from ((H-1)/2, (W-1)/2).
    Array<float, 2> rect({7, 9});
    for (std::size_t i = 0; i < 7; ++i)
        for (std::size_t j = 0; j < 9; ++j) {
            const float di = static_cast<float>(i) - 3.3f, dj = static_cast<float>(j) - 3.8f;
            rect.data[i * 9 + j] = std::exp(-(di * di + dj * dj) / 2.0f);
        }
    const auto off = localize_gaussian_fitting(rect.view());
    REQUIRE(off.has_value());
    CHECK_NEAR((*off)[0], 0.3, 0.02);
    CHECK_NEAR((*off)[1], -0.2, 0.02);
}

TEST_CASE("Gaussian fit: failures and NaN") {
    CHECK(!localize_gaussian_fitting(Array<float, 2>({1, 1}, 3.0f).view()).has_value());
    CHECK(!localize_gaussian_fitting(Array<float, 2>({0, 4}).view()).has_value());
    CHECK(!localize_gaussian_fitting(Array<float, 2>({7, 7}, 0.0f).view()).has_value());
    CHECK(!localize_gaussian_fitting(spot(7, 0.0f, 0.0f, 1.0f, -1.0f, -0.5f).view()).has_value());
    CHECK(!localize_gaussian_fitting(Array<float, 2>({3, 3}, nan_f).view()).has_value());
    auto with_nan = spot(7, 0.4f, -0.2f, 1.0f, 1.0f, 0.0f);
    with_nan.data[10] = nan_f;
    const auto r = localize_gaussian_fitting(with_nan.view());
    REQUIRE(r.has_value());
    CHECK(std::isnan((*r)[0]));
    CHECK(std::isnan((*r)[1]));
}
