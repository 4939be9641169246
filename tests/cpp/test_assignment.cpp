#include <algorithm>
#include <functional>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "link/assignment.hpp"
#include "check.hpp"
#include "core/errors.hpp"
#include "link/linking.hpp"

using namespace trakora;
using namespace trakora::link;

namespace {

Matrix matrix_of(std::size_t rows, std::size_t cols, std::vector<std::int64_t> cells) {
    Matrix m(rows, cols, 0);
    m.data = std::move(cells);
    return m;
}

std::string internal_failure_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const InternalError& e) {
        return e.what();
    }
    return "";
}

// Minimum total over all injective row -> column maps.
std::int64_t brute_force_min(const Matrix& m) {
    std::vector<std::size_t> cols(m.cols);
    std::iota(cols.begin(), cols.end(), 0);
    std::int64_t best = std::numeric_limits<std::int64_t>::max();
    do {
        std::int64_t sum = 0;
        for (std::size_t r = 0; r < m.rows; ++r) sum += m.at(r, cols[r]);
        best = std::min(best, sum);
    } while (std::next_permutation(cols.begin(), cols.end()));
    return best;
}

}  // namespace

TEST_CASE("solver: worked examples and their tie order") {
    const auto empty = kuhn_munkres_min(Matrix(0, 3, 0));
    CHECK_EQ(empty.first, 0);
    CHECK(empty.second.empty());

    CHECK(kuhn_munkres_min(matrix_of(1, 3, {5, 5, 7})).second == std::vector<std::size_t>{0});

    const auto square = kuhn_munkres_min(matrix_of(2, 2, {1, 2, 1, 5}));
    CHECK_EQ(square.first, 3);
    CHECK(square.second == (std::vector<std::size_t>{1, 0}));

    // Both rows tie for column 0, each with its own cheaper spare: the later row keeps it.
    const auto contested = kuhn_munkres_min(matrix_of(2, 3, {500000, 1000000, 10000000, 500000, 10000000, 1000000}));
    CHECK(contested.second == (std::vector<std::size_t>{1, 0}));
    CHECK_EQ(contested.first, 1500000);
}

TEST_CASE("solver: internal failures name the broken precondition") {
    CHECK_EQ(internal_failure_of([] { kuhn_munkres_min(Matrix(3, 2, 0)); }),
             std::string("number of rows must not be larger than number of columns"));
    const Matrix m(2, 3, 0);
    CHECK_EQ(internal_failure_of([&] { (void)m.at(5, 0); }), std::string("trying to access row 5 (max 1)"));
    CHECK_EQ(internal_failure_of([&] { (void)m.at(0, 3); }), std::string("trying to access column 3 (max 2)"));
    CHECK(neg(matrix_of(1, 2, {4, -7})).data == (std::vector<std::int64_t>{-4, 7}));
}

TEST_CASE("solver: optimum equals brute force on tiny tie-heavy matrices") {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 3000; ++trial) {
        const std::size_t n = rng() % 5;
        const std::size_t m = n + rng() % 3;
        Matrix costs(n, m, 0);
        for (auto& c : costs.data) c = static_cast<std::int64_t>(rng() % 4) * 5 - (trial % 3 == 0 ? 7 : 0);
        const auto [total, assignment] = kuhn_munkres_min(costs);
        REQUIRE(assignment.size() == n);
        std::vector<bool> used(m, false);
        std::int64_t sum = 0;
        for (std::size_t r = 0; r < n; ++r) {
            REQUIRE(assignment[r] < m);
            CHECK(!used[assignment[r]]);
            used[assignment[r]] = true;
            sum += costs.at(r, assignment[r]);
        }
        CHECK_EQ(sum, total);
        if (n > 0) CHECK_EQ(total, brute_force_min(costs));
    }
}

namespace {

// A random frame-pair problem: costs from a few values so that ties are everywhere, some
// candidates costing exactly M.
LinkProblem random_problem(std::mt19937& rng) {
    LinkProblem p;
    const std::size_t n = 1 + rng() % 14;
    p.targets = 1 + rng() % 14;
    p.no_link_cost = 6;
    const unsigned density = 1 + rng() % 5;  // out of 8
    for (std::size_t r = 0; r < n; ++r) {
        for (std::uint32_t t = 0; t < p.targets; ++t)
            if (rng() % 8 < density) p.candidates.push_back({t, static_cast<std::int64_t>(rng() % 4) * 2});
        // Candidates arrive in grid order, not target order.
        std::shuffle(p.candidates.begin() + static_cast<std::ptrdiff_t>(p.row_begin.back()), p.candidates.end(), rng);
        p.row_begin.push_back(p.candidates.size());
    }
    return p;
}

}  // namespace

TEST_CASE("grouped solve returns the dense links on random contended problems") {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 20000; ++trial) {
        const LinkProblem p = random_problem(rng);
        const auto dense = solve_link_problem_dense(p);
        const auto grouped = solve_link_problem(p);
        CHECK(dense == grouped);
        if (dense != grouped) return;
    }
}

namespace {

// Frames of points on a half-unit grid (many exact ties at max_distance 1, duplicates,
// equal intensities, a few negative coordinates).
template <std::size_t D>
Frames<D> grid_frames(std::mt19937& rng, std::size_t frames, std::size_t max_points, int extent) {
    Frames<D> out;
    for (std::size_t f = 0; f < frames; ++f) {
        std::vector<TrackPoint<D>> frame(rng() % (max_points + 1));
        for (auto& p : frame) {
            for (auto& x : p.position) x = static_cast<float>(static_cast<int>(rng() % extent) - 2) * 0.5f;
            p.intensity = static_cast<float>(1 + rng() % 3);
        }
        out.add_frame(frame);
    }
    return out;
}

template <std::size_t D, class Accept>
void check_fast_path_matches_dense(std::mt19937& rng, Accept accept, int trials) {
    for (int trial = 0; trial < trials; ++trial) {
        const auto frames = grid_frames<D>(rng, 2 + rng() % 5, 24, D == 2 ? 9 : 6);
        const float max_distance = (trial % 2 == 0) ? 1.0f : 1.5f;
        const auto reach = Reach::of(max_distance);
        const auto mappers = build_mappers(frames, max_distance);
        for (std::uint64_t max_skip = 0; max_skip <= 3; ++max_skip) {
            const auto fast = link_pairs(frames, mappers, max_skip, reach, accept, PairSolver::Grouped);
            const auto dense = link_pairs(frames, mappers, max_skip, reach, accept, PairSolver::Dense);
            CHECK(fast == dense);
            if (fast != dense) return;
            const auto fast_tracks = link_and_export(frames, max_skip, max_distance, accept);
            const auto dense_tracks =
                link_and_export(frames, max_skip, max_distance, accept, PairSolver::Dense);
            CHECK(fast_tracks.matrix == dense_tracks.matrix);
            CHECK(fast_tracks.track_end_indices == dense_tracks.track_end_indices);
        }
    }
}

}  // namespace

TEST_CASE("linking 2D: grouped pairs equal the dense reference for max_skip 0-3") {
    std::mt19937 rng(3);
    check_fast_path_matches_dense<2>(rng, IntensityRatioTest{2.0f}, 300);
}

TEST_CASE("linking 3D: grouped pairs equal the dense reference for max_skip 0-3") {
    std::mt19937 rng(5);
    check_fast_path_matches_dense<3>(rng, AnyIntensity{}, 300);
}

TEST_CASE("track matrices: tracks of 2, 3 and 2 points end at 2, 5, 7") {
    ExportMatrices2D m;
    float v = 0;
    for (std::size_t length : {2, 3, 2}) {
        for (std::size_t k = 0; k < length; ++k, v += 1) m.append_point({{v, v + 0.5f}, v + 0.25f});
        m.end_track();
    }
    CHECK(m.track_end_indices == (std::vector<std::uint32_t>{2, 5, 7}));
    REQUIRE(m.rows() == 7);
    CHECK_EQ(m.matrix[4 * 3 + 0], 4.0f);
    CHECK_EQ(m.matrix[4 * 3 + 1], 4.5f);
    CHECK_EQ(m.matrix[4 * 3 + 2], 4.25f);
    CHECK(ExportMatrices3D{}.rows() == 0);
}
