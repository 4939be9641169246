// The line walks of the renderers against literal step-by-step references, and the clipped
// walks against the full ones: every pixel or voxel inside the grid must get the same k.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

#include "check.hpp"
#include "render/raster.hpp"
#include "render/walk.hpp"

using namespace trakora;
using namespace trakora::render;
using I64 = std::int64_t;
using Visit2 = std::tuple<I64, I64, I64>;  // k, x, y
using Visit3 = std::tuple<I64, I64, I64, I64>;

namespace {

// Bresenham in octant form, written out from its table: classify, map into the first
// octant with T_o, step with the running difference, map back with F_o.
std::vector<Visit2> reference_walk_2d(I64 ax, I64 ay, I64 bx, I64 by) {
    I64 dx = bx - ax, dy = by - ay;
    int o = 0;
    if (dy < 0) dx = -dx, dy = -dy, o += 4;
    if (dx < 0) {
        const I64 t = dx;
        dx = dy, dy = -t, o += 2;
    }
    if (dx < dy) o += 1;
    const auto T = [o](I64 p, I64 q) -> std::array<I64, 2> {
        switch (o) {
            case 0: return {p, q};
            case 1: return {q, p};
            case 2: return {q, -p};
            case 3: return {-p, q};
            case 4: return {-p, -q};
            case 5: return {-q, -p};
            case 6: return {-q, p};
            default: return {p, -q};
        }
    };
    const auto F = [o](I64 u, I64 v) -> std::array<I64, 2> {
        switch (o) {
            case 0: return {u, v};
            case 1: return {v, u};
            case 2: return {-v, u};
            case 3: return {-u, v};
            case 4: return {-u, -v};
            case 5: return {-v, -u};
            case 6: return {v, -u};
            default: return {u, -v};
        }
    };
    auto [u, v] = T(ax, ay);
    const auto [ue, ve] = T(bx, by);
    const I64 DX = ue - u, DY = ve - v;
    I64 diff = DY - DX;
    std::vector<Visit2> out;
    for (I64 k = 0; k < DX; ++k) {
        const auto [x, y] = F(u, v);
        out.emplace_back(k, x, y);
        if (diff >= 0) ++v, diff -= DX;
        diff += DY;
        ++u;
    }
    return out;
}

std::vector<Visit3> reference_walk_3d(std::array<I64, 3> a, std::array<I64, 3> b) {
    std::array<I64, 3> d{}, s{}, err{};
    I64 N = 0;
    for (int i = 0; i < 3; ++i) {
        d[i] = b[i] - a[i];
        s[i] = (d[i] > 0) - (d[i] < 0);
        N = std::max(N, d[i] < 0 ? -d[i] : d[i]);
    }
    for (auto& e : err) e = N / 2;
    std::vector<Visit3> out;
    for (I64 k = 0; k < N; ++k) {
        out.emplace_back(k, a[0], a[1], a[2]);
        for (int i = 0; i < 3; ++i) {
            err[i] -= d[i] < 0 ? -d[i] : d[i];
            if (err[i] < 0) err[i] += N, a[i] += s[i];
        }
    }
    return out;
}

std::vector<Visit2> clipped_walk_2d(I64 ax, I64 ay, I64 bx, I64 by, I64 nx, I64 ny) {
    std::vector<Visit2> out;
    walk_line({ax, ay}, {bx, by}, {nx, ny},
                     [&](I64 k, const std::array<I64, 2>& p) { out.emplace_back(k, p[0], p[1]); });
    return out;
}

std::vector<Visit3> clipped_walk_3d(std::array<I64, 3> a, std::array<I64, 3> b, std::array<I64, 3> n) {
    std::vector<Visit3> out;
    walk_line_3d(a, b, n, [&](I64 k, const std::array<I64, 3>& p) { out.emplace_back(k, p[0], p[1], p[2]); });
    return out;
}

std::vector<Visit2> inside_2d(const std::vector<Visit2>& walk, I64 nx, I64 ny) {
    std::vector<Visit2> out;
    for (const auto& [k, x, y] : walk)
        if (x >= 0 && x < nx && y >= 0 && y < ny) out.emplace_back(k, x, y);
    return out;
}

std::vector<Visit3> inside_3d(const std::vector<Visit3>& walk, std::array<I64, 3> n) {
    std::vector<Visit3> out;
    for (const auto& [k, x, y, z] : walk)
        if (x >= 0 && x < n[0] && y >= 0 && y < n[1] && z >= 0 && z < n[2]) out.emplace_back(k, x, y, z);
    return out;
}

}  // namespace

TEST_CASE("2D walk: the worked examples, both directions") {
    CHECK(clipped_walk_2d(0, 0, 2, 1, 10, 10) == (std::vector<Visit2>{{0, 0, 0}, {1, 1, 0}}));
    CHECK(clipped_walk_2d(2, 1, 0, 0, 10, 10) == (std::vector<Visit2>{{0, 2, 1}, {1, 1, 1}}));
    CHECK(clipped_walk_2d(0, 0, 3, 0, 10, 10) == (std::vector<Visit2>{{0, 0, 0}, {1, 1, 0}, {2, 2, 0}}));
    CHECK(clipped_walk_2d(4, 4, 4, 4, 10, 10).empty());
}

TEST_CASE("2D walk equals the octant reference for every short segment") {
    // Endpoints in [0, 12]^2 cover all eight octants and their boundaries; the grid holds them all.
    for (I64 ax = 0; ax <= 12; ++ax)
        for (I64 ay = 0; ay <= 12; ++ay)
            for (I64 bx = 0; bx <= 12; ++bx)
                for (I64 by = 0; by <= 12; ++by) {
                    const auto ref = reference_walk_2d(ax, ay, bx, by);
                    const auto got = clipped_walk_2d(ax, ay, bx, by, 13, 13);
                    CHECK(got == ref);
                    CHECK_EQ(static_cast<I64>(ref.size()), I64{std::max(std::abs(bx - ax), std::abs(by - ay))});
                }
}

TEST_CASE("2D clipped walk keeps each in-grid pixel's k") {
    // Segments from well outside to well inside a small grid, in every direction.
    for (I64 ax = -9; ax <= 13; ax += 2)
        for (I64 ay = -8; ay <= 14; ay += 2)
            for (I64 bx = -9; bx <= 13; ++bx)
                for (I64 by = -8; by <= 14; ++by)
                    CHECK(clipped_walk_2d(ax, ay, bx, by, 5, 7) == inside_2d(reference_walk_2d(ax, ay, bx, by), 5, 7));
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<I64> far(-300000, 300000), near(-20, 80);
    for (int i = 0; i < 300; ++i) {
        const I64 ax = far(rng), ay = near(rng), bx = near(rng), by = far(rng);
        const auto ref = inside_2d(reference_walk_2d(ax, ay, bx, by), 64, 48);
        CHECK(clipped_walk_2d(ax, ay, bx, by, 64, 48) == ref);
        CHECK(clipped_walk_2d(ay, ax, by, bx, 48, 64) == inside_2d(reference_walk_2d(ay, ax, by, bx), 48, 64));
    }
}

TEST_CASE("2D walk between saturated coordinates visits only the grid") {
    const I64 lo = std::numeric_limits<std::int32_t>::min(), hi = std::numeric_limits<std::int32_t>::max();
    std::vector<Visit2> diagonal, horizontal, vertical_down;
    for (I64 x = 0; x < 10; ++x) diagonal.emplace_back(-lo + x, x, x);
    for (I64 x = 0; x < 10; ++x) horizontal.emplace_back(-lo + x, x, 3);
    for (I64 y = 9; y >= 0; --y) vertical_down.emplace_back(hi - y, 4, y);
    CHECK(clipped_walk_2d(lo, lo, hi, hi, 10, 10) == diagonal);
    CHECK(clipped_walk_2d(lo, 3, hi, 3, 10, 10) == horizontal);
    CHECK(clipped_walk_2d(4, hi, 4, lo, 10, 10) == vertical_down);
    CHECK(clipped_walk_2d(lo, hi, hi, lo, 10, 10).empty());  // the anti-diagonal misses the corner grid
}

TEST_CASE("3D walk: the worked examples") {
    CHECK(clipped_walk_3d({0, 0, 0}, {3, 0, 0}, {10, 10, 10}) ==
          (std::vector<Visit3>{{0, 0, 0, 0}, {1, 1, 0, 0}, {2, 2, 0, 0}}));
    CHECK(clipped_walk_3d({0, 0, 0}, {2, 1, 0}, {10, 10, 10}) == (std::vector<Visit3>{{0, 0, 0, 0}, {1, 1, 0, 0}}));
}

TEST_CASE("3D walk equals the error-term reference, clipped or not") {
    std::mt19937_64 rng(11);
    std::uniform_int_distribution<I64> small(-6, 12);
    for (int i = 0; i < 20000; ++i) {
        const std::array<I64, 3> a{small(rng), small(rng), small(rng)}, b{small(rng), small(rng), small(rng)};
        const auto ref = reference_walk_3d(a, b);
        CHECK(clipped_walk_3d(a, b, {1000, 1000, 1000}) == inside_3d(ref, {1000, 1000, 1000}));
        CHECK(clipped_walk_3d(a, b, {5, 4, 7}) == inside_3d(ref, {5, 4, 7}));
    }
    std::uniform_int_distribution<I64> far(-200000, 200000), near(-10, 40);
    for (int i = 0; i < 200; ++i) {
        const std::array<I64, 3> a{far(rng), near(rng), near(rng)}, b{near(rng), far(rng), near(rng)};
        CHECK(clipped_walk_3d(a, b, {30, 20, 25}) == inside_3d(reference_walk_3d(a, b), {30, 20, 25}));
    }
}

TEST_CASE("3D walk between saturated coordinates visits only the grid") {
    const I64 lo = std::numeric_limits<std::int32_t>::min(), hi = std::numeric_limits<std::int32_t>::max();
    std::vector<Visit3> diagonal;
    // N = 2^32 - 1 is odd, so h = N / 2 = 2^31 - 1 and every axis moves at every step.
    for (I64 x = 0; x < 6; ++x) diagonal.emplace_back(-lo + x, x, x, x);
    CHECK(clipped_walk_3d({lo, lo, lo}, {hi, hi, hi}, {6, 6, 6}) == diagonal);
    const auto flat = clipped_walk_3d({lo, 2, 1}, {hi, 2, 1}, {8, 3, 3});
    REQUIRE(flat.size() == 8);
    CHECK(flat.front() == (Visit3{-lo, 0, 2, 1}));
    CHECK(flat.back() == (Visit3{-lo + 7, 7, 2, 1}));
}

TEST_CASE("visits grouped by cell with 32-bit and 64-bit cursors") {
    // cells 0..4; entries arrive interleaved; each group must hold exactly its cell's values.
    const std::vector<std::pair<std::size_t, float>> visits{{3, 1.f}, {0, 2.f}, {3, 3.f}, {1, 4.f}, {3, 5.f}, {0, 6.f}};
    const auto walk = [&](auto&& sink) {
        for (const auto& [c, v] : visits) sink(c, v);
    };
    const auto check_groups = [&](auto offset_zero) {
        using Offset = decltype(offset_zero);
        std::vector<Offset> cursor(5, 0);
        for (const auto& v : visits) ++cursor[v.first];
        std::vector<std::vector<float>> groups(5);
        std::vector<std::size_t> order;
        auto reduce = [&](std::size_t c, float* f, float* l) {
            order.push_back(c);
            groups[c].assign(f, l);
            std::sort(groups[c].begin(), groups[c].end());
        };
        auto w = walk;
        detail::place_and_reduce<float>(cursor, visits.size(), w, reduce);
        CHECK(cursor == (std::vector<Offset>{2, 1, 0, 3, 0}));
        CHECK(order == (std::vector<std::size_t>{0, 1, 3}));
        CHECK(groups[0] == (std::vector<float>{2.f, 6.f}));
        CHECK(groups[1] == (std::vector<float>{4.f}));
        CHECK(groups[3] == (std::vector<float>{1.f, 3.f, 5.f}));
    };
    check_groups(std::uint32_t{0});
    check_groups(std::uint64_t{0});
}

TEST_CASE("trimmed reductions discard the lowest quarter") {
    std::vector<float> v{4, 1, 3, 2};
    CHECK_EQ(trimmed_sum(v.data(), v.data() + v.size()), 9.0f);
    std::vector<float> three{3, 1, 2};
    CHECK_EQ(trimmed_sum(three.data(), three.data() + 3), 6.0f);
    std::vector<float> eight{8, 7, 6, 5, 4, 3, 2, 1};
    CHECK_EQ(trimmed_sum(eight.data(), eight.data() + 8), 33.0f);
    std::vector<float> zeros{0.0f, -0.0f};
    CHECK(!std::signbit(trimmed_sum(zeros.data(), zeros.data() + 2)));

    std::vector<Sample> s{{4, 1}, {1, 100}, {3, 2}, {2, 3}};
    const auto m = trimmed_weighted_mean(s.data(), s.data() + s.size());
    CHECK_EQ(m.intensity, 9.0f);
    CHECK_EQ(m.value, 16.0f / 9.0f);
    std::vector<Sample> nonpositive{{0, 5}, {0, 7}, {-1, 2}};
    const auto z = trimmed_weighted_mean(nonpositive.data(), nonpositive.data() + 3);
    CHECK_EQ(z.intensity, -1.0f);
    CHECK_EQ(z.value, 0.0f);
    // Equal intensities straddling the discarded quarter: the lowest value goes, whatever the arrival order.
    std::vector<Sample> ties_a{{1, 9}, {1, 2}, {5, 1}, {5, 1}}, ties_b{{5, 1}, {1, 2}, {5, 1}, {1, 9}};
    const auto ta = trimmed_weighted_mean(ties_a.data(), ties_a.data() + 4);
    const auto tb = trimmed_weighted_mean(ties_b.data(), ties_b.data() + 4);
    CHECK_EQ(ta.value, tb.value);
    CHECK_EQ(ta.value, (1.0f * 9.0f + 5.0f + 5.0f) / 11.0f);
}
