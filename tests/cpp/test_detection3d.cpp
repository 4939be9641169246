// Kernel pieces of 3D detection that Python cannot reach: the filters and sums of radial
// symmetry, the Gaussian fit on non-cubic windows, window placement and the range test of
// the dispatcher, correlations of peaks that peak finding never reports, and the grid used
// for distance thinning.
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "check.hpp"
#include "detect/detection.hpp"
#include "detect/gaussian_correlation.hpp"
#include "localize/gaussian_fitting3d.hpp"
#include "localize/localize3d.hpp"
#include "localize/radial_symmetry3d.hpp"

using namespace trakora;
using namespace trakora::detect;
using namespace trakora::localize;

namespace {

using Grid = Array<float, 3>;
constexpr float nan_f = std::numeric_limits<float>::quiet_NaN();

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The box mean written out literally: in-array neighbours, axis 0 outermost, from 0.0, / 27.
Grid reference_box_mean(const Grid& in) {
    const auto [n0, n1, n2] = in.shape;
    Grid out(in.shape);
    for (std::size_t i = 0; i < n0; ++i)
        for (std::size_t j = 0; j < n1; ++j)
            for (std::size_t k = 0; k < n2; ++k) {
                float sum = 0.0f;
                for (std::size_t a = i ? i - 1 : 0; a <= std::min(i + 1, n0 - 1); ++a)
                    for (std::size_t b = j ? j - 1 : 0; b <= std::min(j + 1, n1 - 1); ++b)
                        for (std::size_t c = k ? k - 1 : 0; c <= std::min(k + 1, n2 - 1); ++c)
                            sum += in.data[(a * n1 + b) * n2 + c];
                out.data[(i * n1 + j) * n2 + k] = sum / 27.0f;
            }
    return out;
}

Grid gaussian_window(std::array<std::size_t, 3> shape, std::array<float, 3> centre, float sigma, float amplitude,
                     float background) {
    Grid w(shape);
    std::size_t e = 0;
    for (std::size_t i = 0; i < shape[0]; ++i)
        for (std::size_t j = 0; j < shape[1]; ++j)
            for (std::size_t k = 0; k < shape[2]; ++k) {
                const double r2 = std::pow(i - centre[0], 2) + std::pow(j - centre[1], 2) + std::pow(k - centre[2], 2);
                w.data[e++] = static_cast<float>(amplitude * std::exp(-r2 / (2.0 * sigma * sigma)) + background);
            }
    return w;
}

}  // namespace

TEST_CASE("3D averaging filter: 8/27 for 2x2x2 ones, and the literal sum bit for bit") {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> uniform(-3.0f, 3.0f);
    const std::array<std::array<std::size_t, 3>, 6> shapes{
        {{1, 1, 1}, {1, 5, 3}, {2, 3, 7}, {6, 6, 6}, {5, 7, 9}, {4, 1, 11}}};
    for (const auto& shape : shapes) {
        Grid in(shape);
        for (std::size_t e = 0; e < in.data.size(); ++e) {
            switch (rng() % 5) {
                case 0: in.data[e] = 0.0f; break;
                case 1: in.data[e] = -0.0f; break;
                default: in.data[e] = uniform(rng);
            }
        }
        const Grid before = in;
        const Grid got = apply_averaging_filter_3d(in);
        const Grid want = reference_box_mean(in);
        REQUIRE(got.shape == want.shape);
        for (std::size_t e = 0; e < got.data.size(); ++e) CHECK(same_bits(got.data[e], want.data[e]));
        CHECK(in.data == before.data);
    }
    for (float v : apply_averaging_filter_3d(Grid({2, 2, 2}, 1.0f)).data) CHECK_EQ(v, 8.0f / 27.0f);
    // All terms -0.0: the sums start from +0.0, so every cell is +0.0.
    for (float v : apply_averaging_filter_3d(Grid({3, 3, 3}, -0.0f)).data) CHECK(same_bits(v, 0.0f));
    Grid with_nan({3, 3, 3}, 1.0f);
    with_nan.data[0] = nan_f;
    const Grid f = apply_averaging_filter_3d(with_nan);
    CHECK(std::isnan(f.data[(1 * 3 + 1) * 3 + 1]));
    CHECK_EQ(f.data[(2 * 3 + 2) * 3 + 2], 8.0f / 27.0f);  // beyond the NaN's reach
}

TEST_CASE("derivative component: halves of two differences, a zero difference is +0.0") {
    Grid a({1, 1, 4}), b({1, 1, 4}), c({1, 1, 4}), d({1, 1, 4});
    a.data = {3.0f, 0.0f, -0.0f, 1.0f};
    b.data = {1.0f, 0.0f, 0.0f, 1.0f};
    c.data = {-2.0f, -0.0f, 0.0f, 5.0f};
    d.data = {2.0f, -0.0f, -0.0f, 5.0f};
    const Grid out = compute_derivative_component(a, b, c, d);
    CHECK_EQ(out.data[0], -1.0f);
    for (std::size_t e = 1; e < 4; ++e) {
        CHECK_EQ(out.data[e], 0.0f);
        CHECK(!std::signbit(out.data[e]));
    }
}

TEST_CASE("sum of products starts from -0.0, right-hand side from +0.0") {
    Grid neg({1, 2, 2}, -0.0f), one({1, 2, 2}, 1.0f);
    const float s = elementwise_sum_product(neg, one);
    CHECK(s == 0.0f && std::signbit(s));
    const float r = compute_rhs_element(neg, one, one, one, {1.0f}, {1.0f, 2.0f}, {1.0f, 2.0f});
    CHECK(r == 0.0f && !std::signbit(r));

    // One cell: w * ((z * a + y * b) + x * c) = 2 * ((3 * 1 + 5 * 2) + 7 * 3) = 68.
    Grid w({1, 1, 1}, 2.0f), a({1, 1, 1}, 1.0f), b({1, 1, 1}, 2.0f), c({1, 1, 1}, 3.0f);
    CHECK_EQ(compute_rhs_element(w, a, b, c, {3.0f}, {5.0f}, {7.0f}), 68.0f);
    CHECK_EQ(elementwise_sum_product(a, c), 3.0f);
}

TEST_CASE("3D Gaussian fit: non-cubic window, 1x1x1, non-positive and NaN windows") {
    const Grid w = gaussian_window({5, 7, 9}, {2.3f, 3.2f, 4.1f}, 1.0f, 1.0f, 0.0f);
    const auto r = localize_gaussian_fitting_3d(w.view());
    REQUIRE(r.has_value());
    CHECK_NEAR((*r)[0], 2.30, 5e-3);
    CHECK_NEAR((*r)[1], 3.20, 5e-3);
    CHECK_NEAR((*r)[2], 4.10, 5e-3);

    CHECK(!localize_gaussian_fitting_3d(Grid({1, 1, 1}, 5.0f).view()).has_value());
    CHECK(!localize_gaussian_fitting_3d(Grid({7, 7, 7}, 0.0f).view()).has_value());
    CHECK(!localize_gaussian_fitting_3d(Grid({7, 7, 7}, -1.0f).view()).has_value());
    CHECK(!localize_gaussian_fitting_3d(Grid({7, 7, 7}, nan_f).view()).has_value());
    CHECK(!localize_gaussian_fitting_3d(Grid({0, 7, 7}).view()).has_value());
}

TEST_CASE("window placement shifts inward at the faces") {
    CHECK_EQ(window_start(1, 7, 20), 0u);
    CHECK_EQ(window_start(18, 7, 20), 13u);
    CHECK_EQ(window_start(10, 7, 20), 7u);
    CHECK_EQ(window_start(19, 7, 20), 13u);
    CHECK_EQ(window_start(10, 4, 20), 8u);  // covers i - 2 ... i + 1
    CHECK_EQ(window_start(19, 4, 20), 16u);
    CHECK_EQ(window_start(5, 7, 7), 0u);
}

namespace {

// A volume whose voxel value is its flat index, so a window's first value tells its start.
struct IndexVolume {
    Grid grid;
    DetectionGeometry3D geometry;
    explicit IndexVolume(std::array<std::size_t, 3> shape) : grid(shape) {
        for (std::size_t e = 0; e < grid.data.size(); ++e) grid.data[e] = static_cast<float>(e);
        geometry.shape = shape;
        geometry.extent.e = {0.0f, float(shape[0] - 1), 0.0f, float(shape[1] - 1), 0.0f, float(shape[2] - 1)};
    }
};

Peak3D peak_at(std::uint64_t i0, std::uint64_t i1, std::uint64_t i2) {
    Peak3D p;
    p.index = {i0, i1, i2};
    p.intensity = 1.0f;
    return p;
}

}  // namespace

TEST_CASE("dispatch: window coordinates are added to the window start") {
    IndexVolume v({20, 20, 20});
    std::vector<float> firsts;
    const WindowLocalizer3D fixed = [&](const View3<float>& w) -> std::optional<std::array<float, 3>> {
        CHECK_EQ(w.shape[0], 7u);
        firsts.push_back(w(0, 0, 0));
        return std::array<float, 3>{3.0f, 3.0f, 3.0f};
    };
    const auto out = localize_peaks_3d(v.grid.view(), {peak_at(10, 10, 10), peak_at(1, 18, 10)}, 7, v.geometry, fixed,
                                 std::nullopt);
    REQUIRE(out.size() == 2);
    CHECK_EQ(out[0].position[0], 10.0f);
    CHECK_EQ(out[0].position[1], 10.0f);
    CHECK_EQ(out[0].position[2], 10.0f);
    CHECK_EQ(out[1].position[0], 3.0f);   // start 0
    CHECK_EQ(out[1].position[1], 16.0f);  // start 13
    CHECK_EQ(firsts[0], float((7 * 20 + 7) * 20 + 7));
    CHECK_EQ(firsts[1], float((0 * 20 + 13) * 20 + 7));
    CHECK_EQ(out[1].index[1], 18u);
}

TEST_CASE("dispatch: far results fall back to w/2, near ones and NaN are kept") {
    IndexVolume v({20, 20, 20});
    struct Case {
        std::array<float, 3> result;
        std::array<float, 3> expected;
    };
    const Case cases[] = {
        {{3.0f, 7.5f, 1.0f}, {3.5f, 3.5f, 3.5f}},
        {{3.0f, 7.0f, 1.0f}, {3.0f, 7.0f, 1.0f}},
        {{3.0f, -6.0f, 1.0f}, {3.0f, -6.0f, 1.0f}},
        {{-7.5f, 0.0f, 0.0f}, {3.5f, 3.5f, 3.5f}},
        {{0.0f, 0.0f, 7.0001f}, {3.5f, 3.5f, 3.5f}},
    };
    for (const Case& c : cases) {
        const WindowLocalizer3D fixed = [&](const View3<float>&) { return std::optional(c.result); };
        const auto out = localize_peaks_3d(v.grid.view(), {peak_at(10, 10, 10)}, 7, v.geometry, fixed, std::nullopt);
        REQUIRE(out.size() == 1);
        for (std::size_t k = 0; k < 3; ++k) CHECK_EQ(out[0].position[k], 7.0f + c.expected[k]);
    }
    const WindowLocalizer3D nan = [](const View3<float>&) { return std::optional(std::array{nan_f, 3.0f, 3.0f}); };
    const auto out = localize_peaks_3d(v.grid.view(), {peak_at(10, 10, 10)}, 7, v.geometry, nan, std::nullopt);
    REQUIRE(out.size() == 1);
    CHECK(std::isnan(out[0].position[0]));
    CHECK_EQ(out[0].position[1], 10.0f);
}

TEST_CASE("dispatch: failures drop peaks, the cap is a true maximum, small volumes give nothing") {
    IndexVolume v({20, 20, 20});
    const std::vector<Peak3D> peaks{peak_at(5, 5, 5), peak_at(10, 10, 10), peak_at(15, 15, 15)};
    // Fails on the window of the first peak only.
    const WindowLocalizer3D picky = [](const View3<float>& w) -> std::optional<std::array<float, 3>> {
        if (w(0, 0, 0) == float((2 * 20 + 2) * 20 + 2)) return std::nullopt;
        return std::array<float, 3>{3.0f, 3.0f, 3.0f};
    };
    const auto all = localize_peaks_3d(v.grid.view(), peaks, 7, v.geometry, picky, std::nullopt);
    REQUIRE(all.size() == 2);
    CHECK_EQ(all[0].index[0], 10u);
    CHECK_EQ(all[1].index[0], 15u);
    const auto capped = localize_peaks_3d(v.grid.view(), peaks, 7, v.geometry, picky, 1);
    REQUIRE(capped.size() == 1);
    CHECK_EQ(capped[0].index[0], 10u);
    CHECK(localize_peaks_3d(v.grid.view(), peaks, 7, v.geometry, picky, 0).empty());

    IndexVolume thin({5, 30, 30});
    CHECK(localize_peaks_3d(thin.grid.view(), {peak_at(2, 15, 15)}, 7, thin.geometry, LocalizationMethod::RadialSymmetry,
                      std::nullopt)
              .empty());
}

TEST_CASE("correlation of peaks peak finding never reports") {
    const std::array<std::size_t, 3> shape{20, 20, 20};
    DetectionExtent3D extent;
    extent.e = {0, 20, 0, 20, 0, 20};
    auto volume_around = [&](std::array<float, 3> c, float amplitude) {
        return gaussian_window(shape, c, 1.0f, amplitude, 7.0f);
    };
    struct Case {
        std::array<float, 3> centre;
        float amplitude;
        float expected;
    };
    for (const Case& c : {Case{{10, 10, 10}, 3.0f, 1.0f}, Case{{10, 10, 10}, -3.0f, -1.0f},
                          Case{{0, 0, 0}, 3.0f, 1.0f}, Case{{19, 0, 19}, -3.0f, -1.0f}}) {
        const Grid v = volume_around(c.centre, c.amplitude);
        std::vector<Peak3D> peaks{peak_at(std::uint64_t(c.centre[0]), std::uint64_t(c.centre[1]),
                                          std::uint64_t(c.centre[2]))};
        compute_correlations(v.view(), extent, peaks, {1.0f, 1.0f, 1.0f});
        REQUIRE(peaks[0].correlation.has_value());
        CHECK_NEAR(*peaks[0].correlation, c.expected, 1e-4);
    }

    // At a corner only the 27 voxels of the neighbourhood inside the volume take part: a
    // template-shaped 3x3x3 corner block correlates perfectly whatever lies beyond it.
    Grid corner({20, 20, 20}, 1000.0f);
    const auto t = gaussian_template(extent, shape, {1.0f, 1.0f, 1.0f});
    for (std::size_t a = 0; a < 3; ++a)
        for (std::size_t b = 0; b < 3; ++b)
            for (std::size_t c = 0; c < 3; ++c)
                corner.data[(a * 20 + b) * 20 + c] = 5.0f * t[((a + 2) * 5 + b + 2) * 5 + c + 2];
    std::vector<Peak3D> at_corner{peak_at(0, 0, 0)};
    compute_correlations(corner.view(), extent, at_corner, {1.0f, 1.0f, 1.0f});
    CHECK_NEAR(*at_corner[0].correlation, 1.0, 1e-5);

    std::vector<Peak3D> flat{peak_at(10, 10, 10)};
    compute_correlations(Grid(shape, 4.0f).view(), extent, flat, {1.0f, 1.0f, 1.0f});
    CHECK_EQ(*flat[0].correlation, 0.0f);

    std::vector<Peak3D> none;
    compute_correlations(Grid(shape, 4.0f).view(), extent, none, {1.0f, 1.0f, 1.0f});
    CHECK(none.empty());
}

TEST_CASE("Gaussian template: peak 1/sum at the centre, exp(-1/2) one voxel off") {
    DetectionExtent3D extent;
    extent.e = {0, 20, 0, 20, 0, 20};
    const auto t = gaussian_template(extent, {20, 20, 20}, {1.0f, 1.0f, 1.0f});
    double total = 0.0;
    for (int a = -2; a <= 2; ++a)
        for (int b = -2; b <= 2; ++b)
            for (int c = -2; c <= 2; ++c) total += std::exp(-(a * a + b * b + c * c) / 2.0);
    const float centre = t[(2 * 5 + 2) * 5 + 2];
    CHECK_NEAR(centre, 1.0 / total, 1e-7);
    CHECK_NEAR(t[(2 * 5 + 2) * 5 + 3] / centre, std::exp(-0.5), 1e-6);
    for (float v : t) CHECK(v <= centre);
    // Voxel size divides by the count: span 10 over 20 voxels is 0.5, so with sigma 0.5 the
    // template equals the one of voxel size 1 and sigma 1.
    DetectionExtent3D half;
    half.e = {0, 10, 0, 10, 0, 10};
    const auto u = gaussian_template(half, {20, 20, 20}, {0.5f, 0.5f, 0.5f});
    for (std::size_t e = 0; e < 125; ++e) CHECK_NEAR(u[e], t[e], 1e-7);
}

TEST_CASE("grid thinning keeps exactly the peaks the brute-force walk keeps") {
    std::mt19937 rng(3);
    for (float min_distance : {0.7f, 2.0f, -2.0f, 5.0f, 40.0f}) {
        std::uniform_real_distribution<float> coord(0.0f, 30.0f);
        std::vector<Peak3D> peaks(600);
        for (std::size_t n = 0; n < peaks.size(); ++n) {
            // Snap to a lattice so that many distances equal min_distance exactly.
            for (auto& p : peaks[n].position) p = std::round(coord(rng) * 2.0f) / 2.0f;
            peaks[n].intensity = static_cast<float>(peaks.size() - n);
        }
        peaks[1].position = peaks[0].position;
        peaks[2].position = peaks[0].position;
        peaks[2].position[1] += 2.0f;  // exactly at distance 2

        const float d2 = min_distance * min_distance;
        std::vector<Peak3D> want;
        for (const Peak3D& p : peaks) {
            bool near = false;
            for (const Peak3D& k : want) {
                const float a = p.position[0] - k.position[0], b = p.position[1] - k.position[1],
                            c = p.position[2] - k.position[2];
                near = near || (a * a + b * b) + c * c < d2;
            }
            if (!near) want.push_back(p);
        }
        const auto got = thin_peaks_by_distance(peaks, min_distance);
        REQUIRE(got.size() == want.size());
        for (std::size_t n = 0; n < got.size(); ++n) CHECK_EQ(got[n].intensity, want[n].intensity);
    }
}

// ---- the line scan ---------------------------------------------------------------------------

namespace {

// The 3D rule written out: no neighbour brighter; an equal or NaN neighbour rejects when it
// lies in a later plane, or in the same plane at a larger axis-1 or smaller axis-2 index.
bool literal_rule(const Grid& g, std::size_t i, std::size_t j, std::size_t k) {
    const auto [n0, n1, n2] = g.shape;
    const float v = g.data[(i * n1 + j) * n2 + k];
    for (int a = -1; a <= 1; ++a)
        for (int b = -1; b <= 1; ++b)
            for (int c = -1; c <= 1; ++c) {
                if (a == 0 && b == 0 && c == 0) continue;
                const float w = g.data[((i + a) * n1 + (j + b)) * n2 + (k + c)];
                if (w > v) return false;
                const bool tie_rejects = a != 0 ? a > 0 : (b > 0 || c < 0);
                if (tie_rejects && !(w < v)) return false;
            }
    return true;
}

}  // namespace

TEST_CASE("3D line scan: dense, unaligned and strided lines follow the written-out rule") {
    const std::size_t n0 = 6, n1 = 8, n2 = 41;  // lines of 39 interior voxels: two blocks and a tail
    Grid g({n0, n1, n2});
    std::mt19937 gen(11);
    std::uniform_int_distribution<int> level(0, 30);  // ties are common, peaks not rare
    for (float& v : g.data) v = static_cast<float>(level(gen));
    for (std::size_t e = 0; e < g.data.size(); e += 29) g.data[e] = nan_f;
    DetectionExtent3D extent;
    extent.e = {0, float(n0 - 1), 0, float(n1 - 1), 0, float(n2 - 1)};

    std::vector<char> unaligned(g.data.size() * sizeof(float) + 1);
    std::memcpy(unaligned.data() + 1, g.data.data(), g.data.size() * sizeof(float));
    View3<float> shifted = g.view();
    shifted.data = unaligned.data() + 1;
    std::vector<float> spread(2 * g.data.size(), nan_f);
    for (std::size_t e = 0; e < g.data.size(); ++e) spread[2 * e] = g.data[e];
    View3<float> strided = View3<float>::contiguous(spread.data(), {n0, n1, 2 * n2});
    strided.shape[2] = n2;
    strided.strides[2] *= 2;

    std::size_t total = 0;
    for (std::size_t i = 1; i + 1 < n0; ++i)
        for (std::size_t j = 1; j + 1 < n1; ++j) {
            std::vector<std::size_t> expected;
            for (std::size_t k = 1; k + 1 < n2; ++k) {
                const bool peak = !(g.data[(i * n1 + j) * n2 + k] < 1.0f) && literal_rule(g, i, j, k);
                if (peak) expected.push_back(k);
                CHECK_EQ(is_peak(g.view(), {i, j, k}), literal_rule(g, i, j, k));
            }
            total += expected.size();
            for (const View3<float>& view : {g.view(), shifted, strided}) {
                const auto found = find_peaks(view, extent, 1.0f, {i, j});
                std::vector<std::size_t> at;
                for (const Peak3D& p : found) {
                    at.push_back(p.index[2]);
                    CHECK(p.index[0] == i && p.index[1] == j);
                    CHECK(same_bits(p.intensity, g.data[(i * n1 + j) * n2 + p.index[2]]));
                }
                CHECK(at == expected);
            }
        }
    CHECK(total > 10);  // the volume really exercises the rule
}
