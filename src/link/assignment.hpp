#pragma once
// Minimum-cost rectangular assignment, and the frame-pair link problem that the linkers
// solve with it.
//
// The solver is the Hungarian method of H. W. Kuhn, "The Hungarian method for the
// assignment problem", Naval Research Logistics Quarterly 2, 83-97 (1955), and J. Munkres,
// "Algorithms for the assignment and transportation problems", J. SIAM 5, 32-38 (1957), in
// its O(n^3) primal-dual form: vertex labels, one alternating tree grown per row with a slack
// per column (as in E. L. Lawler, Combinatorial Optimization: Networks and Matroids, 1976,
// ch. 5), run as a maximum-weight problem on the negated matrix. It is not the
// Jonker-Volgenant variant (no column reduction, no shortest-path augmentation).
//
// The search order of kuhn_munkres_min is part of its contract: among several optimal
// assignments it decides which one is returned. solve_link_problem returns exactly what
// kuhn_munkres_min returns on link_cost_matrix of the same problem, ties included, but
// without building the dense matrix (see the proof in assignment.cpp).
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace trakora::link {

// n rows x m columns of 64-bit costs, row-major: cell (r, c) is data[r * cols + c].
struct Matrix {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<std::int64_t> data;

    Matrix() = default;
    Matrix(std::size_t rows, std::size_t cols, std::int64_t fill);

    // Reading or writing outside the matrix throws InternalError "trying to access row
    // <r> (max <rows - 1>)" or "trying to access column <c> (max <cols - 1>)".
    std::int64_t at(std::size_t r, std::size_t c) const;
    void set(std::size_t r, std::size_t c, std::int64_t value);
};

// Every cell negated (two's complement).
Matrix neg(const Matrix& m);

// Returns (total cost, column of each row). Needs rows <= cols, otherwise throws
// InternalError "number of rows must not be larger than number of columns". The total is
// exact whenever it fits 64 bits (it is summed with wrap-around); the assignment never
// depends on it.
std::pair<std::int64_t, std::vector<std::size_t>> kuhn_munkres_min(const Matrix& costs);

// ---- frame-pair link problems -------------------------------------------------------

inline constexpr std::uint32_t no_link = std::numeric_limits<std::uint32_t>::max();

struct Candidate {
    std::uint32_t target;  // row of the target frame
    std::int64_t cost;     // 0 <= cost <= no_link_cost
};

// One frame pair: `sources()` rows, each with its accepted candidates (distinct targets);
// leaving a source unlinked costs no_link_cost (M > 0), any other pairing 10 * M.
struct LinkProblem {
    std::size_t targets = 0;
    std::int64_t no_link_cost = 0;
    std::vector<std::size_t> row_begin{0};  // candidates of row r: [row_begin[r], row_begin[r + 1])
    std::vector<Candidate> candidates;

    std::size_t sources() const { return row_begin.size() - 1; }
};

// The dense n x (m + n) cost matrix: every cell 10 * M, column t of row r the candidate's
// cost, column m + r (row r's own no-link column) M.
Matrix link_cost_matrix(const LinkProblem& problem);

// For each source, the target it is linked to, or no_link. The reference: kuhn_munkres_min
// on link_cost_matrix.
std::vector<std::uint32_t> solve_link_problem_dense(const LinkProblem& problem);

// The same links computed group by group with sparse costs; needs 1 <= M and every
// candidate cost <= M (InternalError otherwise).
std::vector<std::uint32_t> solve_link_problem(const LinkProblem& problem);

}  // namespace trakora::link
