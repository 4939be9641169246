#include "link/assignment.hpp"

#include <algorithm>
#include <functional>
#include <string>

#include "core/errors.hpp"

namespace trakora::link {

// ---- the dense solver ---------------------------------------------------------------

Matrix::Matrix(std::size_t rows_, std::size_t cols_, std::int64_t fill)
    : rows(rows_), cols(cols_), data(rows_ * cols_, fill) {}

namespace {

[[noreturn]] void throw_outside(const char* what, std::size_t index, std::size_t len) {
    throw InternalError(std::string("trying to access ") + what + " " + std::to_string(index) + " (max " +
                        std::to_string(static_cast<long long>(len) - 1) + ")");
}

}  // namespace

std::int64_t Matrix::at(std::size_t r, std::size_t c) const {
    if (r >= rows) throw_outside("row", r, rows);
    if (c >= cols) throw_outside("column", c, cols);
    return data[r * cols + c];
}

void Matrix::set(std::size_t r, std::size_t c, std::int64_t value) {
    if (r >= rows) throw_outside("row", r, rows);
    if (c >= cols) throw_outside("column", c, cols);
    data[r * cols + c] = value;
}

Matrix neg(const Matrix& m) {
    Matrix out = m;
    // Two's-complement negation; the most negative value stays itself instead of overflowing.
    for (auto& v : out.data) v = static_cast<std::int64_t>(0 - static_cast<std::uint64_t>(v));
    return out;
}

std::pair<std::int64_t, std::vector<std::size_t>> kuhn_munkres_min(const Matrix& costs) {
    const std::size_t n = costs.rows;
    const std::size_t m = costs.cols;
    if (n > m) throw InternalError("number of rows must not be larger than number of columns");
    constexpr std::size_t none = std::numeric_limits<std::size_t>::max();

    const Matrix w = neg(costs);
    std::vector<std::int64_t> lx(n), ly(m, 0), slack(m);
    std::vector<std::size_t> xy(n, none), yx(m, none), slackx(m), tree(m);
    std::vector<std::size_t> in_tree_rows;
    for (std::size_t r = 0; r < n; ++r) {
        std::int64_t best = w.at(r, 0);
        for (std::size_t c = 1; c < m; ++c) best = std::max(best, w.at(r, c));
        lx[r] = best;
    }

    for (std::size_t root = 0; root < n; ++root) {
        std::fill(tree.begin(), tree.end(), none);
        in_tree_rows.assign(1, root);
        for (std::size_t c = 0; c < m; ++c) {
            slack[c] = lx[root] + ly[c] - w.at(root, c);
            slackx[c] = root;
        }
        std::size_t y = 0;
        for (;;) {
            std::int64_t delta = std::numeric_limits<std::int64_t>::max();
            std::size_t x = 0;
            y = 0;
            for (std::size_t c = 0; c < m; ++c) {
                if (tree[c] == none && slack[c] < delta) {
                    delta = slack[c];
                    y = c;
                    x = slackx[c];
                }
            }
            if (delta > 0) {
                for (std::size_t s : in_tree_rows) lx[s] -= delta;
                for (std::size_t c = 0; c < m; ++c) {
                    if (tree[c] != none) {
                        ly[c] += delta;
                    } else {
                        slack[c] -= delta;
                    }
                }
            }
            tree[y] = x;
            if (yx[y] == none) break;
            const std::size_t joined = yx[y];
            in_tree_rows.push_back(joined);
            for (std::size_t c = 0; c < m; ++c) {
                if (tree[c] != none) continue;
                const std::int64_t a = lx[joined] + ly[c] - w.at(joined, c);
                if (slack[c] > a) {
                    slack[c] = a;
                    slackx[c] = joined;
                }
            }
        }
        for (;;) {
            const std::size_t x = tree[y];
            const std::size_t next = xy[x];
            yx[y] = x;
            xy[x] = y;
            if (next == none) break;
            y = next;
        }
    }

    std::uint64_t label_sum = 0;
    for (std::int64_t v : lx) label_sum += static_cast<std::uint64_t>(v);
    for (std::int64_t v : ly) label_sum += static_cast<std::uint64_t>(v);
    return {static_cast<std::int64_t>(0 - label_sum), std::move(xy)};
}

// ---- frame-pair link problems ---------------------------------------------------------

Matrix link_cost_matrix(const LinkProblem& problem) {
    const std::size_t n = problem.sources();
    const std::size_t m = problem.targets;
    const std::int64_t big = 10 * problem.no_link_cost;
    Matrix matrix(n, m + n, big);
    for (std::size_t r = 0; r < n; ++r) {
        matrix.set(r, m + r, problem.no_link_cost);
        for (std::size_t k = problem.row_begin[r]; k < problem.row_begin[r + 1]; ++k)
            matrix.set(r, problem.candidates[k].target, problem.candidates[k].cost);
    }
    return matrix;
}

std::vector<std::uint32_t> solve_link_problem_dense(const LinkProblem& problem) {
    const std::size_t n = problem.sources();
    std::vector<std::uint32_t> links(n, no_link);
    if (n == 0 || problem.targets == 0) return links;
    const auto assignment = kuhn_munkres_min(link_cost_matrix(problem)).second;
    for (std::size_t r = 0; r < n; ++r)
        if (assignment[r] < problem.targets) links[r] = static_cast<std::uint32_t>(assignment[r]);
    return links;
}

// ---- the grouped sparse solve -----------------------------------------------------------
//
// Why solve_link_problem returns exactly the links of solve_link_problem_dense, ties included.
//
// In the dense matrix every row r has finite cells: its candidates (cost 0 .. M) and its own
// no-link column m + r (cost M); every other cell is the fill F = 10 M. Candidate costs never
// exceed M: d^2 <= md * md (32-bit) gives sqrt(d^2) <= md, because sqrt(fl(md * md)) == md in
// binary floating point, and the later steps (times 1e6, truncation) are monotone.
//
// 1. No matching the solver holds uses a fill cell. After each root's phase the labels are
//    feasible, matched cells are tight and unmatched columns have ly = 0 (a column gains ly
//    only inside a tree, and every tree column ends the phase matched), so the matching of
//    the rows processed so far has minimum cost. Moving each row that sits on a fill cell to
//    its own no-link column (reachable without the fill only from its owner, hence free or
//    held by another fill row that moves too) saves 9 M per row. So a root's own no-link
//    column is free when its phase starts.
// 2. Label bounds, at every step: ly >= 0 (it only grows) and lx <= 0 (it starts at minus
//    the row's cheapest cost and only shrinks). A row matched to a target has its own no-link
//    column free (ly = 0) so lx >= -M by feasibility, and that target's ly = -cost - lx <= M.
//    A row matched to its own no-link column with a candidate c has lx >= -cost(c) - ly[c]
//    >= -2 M (a row without candidates is never reached from another root and keeps -M).
//    The root has lx >= -M: it starts at -(cheapest cost) and a phase moves labels by at
//    most the initial slack of the root's own no-link column, M - cheapest cost.
// 3. A column without a finite cell in any row of the tree S is never selected. Every chosen
//    slack is at most that of the root's free no-link column, lx[root] + M <= M, while such
//    a column's slack is min over S of lx + ly + F >= -2 M + 0 + 10 M = 8 M. The same
//    margin decides the strict update "slack > a" of a column that has a finite cell in S:
//    finite terms are <= 0 + M + M = 2 M, fill terms >= 8 M, so its slack and slackx are
//    those of its finite cells alone, in the order their rows joined S.
//
// Hence the tree of a root only holds rows and columns joined to it by finite cells: the
// root's group (sources and targets connected by candidates, plus the no-link columns of
// those sources). Other groups' phases never read or write this group's labels, matching or
// slacks (slacks are re-initialised every phase), so each group evolves exactly as the dense
// solver on the group's own matrix, and so does any union of whole groups solved together,
// provided each group's columns keep their relative order: ties between equal slacks go to
// the lowest column index, so the columns must be the targets in their original order, then
// the rows' no-link columns in row order (in the full matrix all targets precede all no-link
// columns). Another order can return a different one of several equal-cost optima.
//
// solve_link_problem therefore links a source that is alone in its group (none of its
// candidates is another source's candidate) directly, and solves all other sources with all
// their candidates (a union of whole groups) in one sparse solve. Only finite cells are
// stored; columns without a finite cell in S are left out of the scan (point 3); the uniform
// slack decrease by delta is kept as one offset added to every key (order and ties
// unchanged); the labels of the tree are brought up to date at the end of the phase
// (mid-phase the solver reads lx only of a row joining S and ly only of columns outside the
// tree, which are both still current). A phase thus costs time in its own group only.
//
// It stops holding when M = 0 (all cells equal, the lowest index of any group wins), when a
// candidate costs more than M or the fill is not far enough above M (the 8 M > M margin),
// when labels overflow 64 bits, or when a group's columns are reordered. The linkers rule
// out the first and the third by validating max_distance; the check below guards the second.

namespace {

constexpr std::uint32_t none32 = std::numeric_limits<std::uint32_t>::max();

// kuhn_munkres_min on the rows and targets of a union of whole groups, with sparse costs.
// Columns are numbered 0 .. targets - 1 (the targets in original order), then targets + i
// for the no-link column of the i-th row.
class GroupSolver {
public:
    GroupSolver(const LinkProblem& problem) : p_(problem), local_target_(problem.targets, none32) {}

    // Links the rows (increasing source rows) to the targets (increasing target rows).
    void solve(const std::vector<std::uint32_t>& rows, const std::vector<std::uint32_t>& targets,
               std::vector<std::uint32_t>& links) {
        const std::size_t g = rows.size();
        const std::size_t t = targets.size();
        const std::size_t cols = t + g;
        const std::int64_t M = p_.no_link_cost;
        for (std::size_t j = 0; j < t; ++j) local_target_[targets[j]] = static_cast<std::uint32_t>(j);

        edge_begin_.assign(1, 0);
        edges_.clear();
        lx_.resize(g);
        for (std::size_t i = 0; i < g; ++i) {
            std::int64_t cheapest = M;
            for (std::size_t k = p_.row_begin[rows[i]]; k < p_.row_begin[rows[i] + 1]; ++k) {
                const Candidate& c = p_.candidates[k];
                edges_.push_back({local_target_[c.target], c.cost});
                cheapest = std::min(cheapest, c.cost);
            }
            edges_.push_back({static_cast<std::uint32_t>(t + i), M});
            edge_begin_.push_back(edges_.size());
            lx_[i] = -cheapest;
        }
        ly_.assign(cols, 0);
        xy_.assign(g, none32);
        yx_.assign(cols, none32);
        key_.resize(cols);
        slackx_.resize(cols);
        tree_from_.resize(cols);
        tree_offset_.resize(cols);
        join_offset_.resize(g);
        key_phase_.assign(cols, 0);
        tree_phase_.assign(cols, 0);
        for (std::size_t root = 0; root < g; ++root) run_phase(static_cast<std::uint32_t>(root), root + 1);

        for (std::size_t i = 0; i < g; ++i)
            if (xy_[i] < t) links[rows[i]] = targets[xy_[i]];
    }

private:
    struct Edge {
        std::uint32_t col;
        std::int64_t cost;
    };
    using Entry = std::pair<std::int64_t, std::uint32_t>;  // (slack + offset, column)

    // One root's phase of kuhn_munkres_min with slacks kept as key = slack + offset.
    void run_phase(std::uint32_t root, std::size_t phase) {
        std::int64_t offset = 0;
        heap_.clear();
        joined_.assign(1, root);
        tree_cols_.clear();
        join_offset_[root] = 0;
        relax(root, phase, offset);
        std::uint32_t y = 0;
        for (;;) {
            Entry top;
            do {
                std::pop_heap(heap_.begin(), heap_.end(), std::greater<Entry>{});
                top = heap_.back();
                heap_.pop_back();
            } while (tree_phase_[top.second] == phase || key_[top.second] != top.first);
            offset = top.first;  // slack = key - offset >= 0, so this adds delta
            y = top.second;
            tree_phase_[y] = phase;
            tree_from_[y] = slackx_[y];
            tree_offset_[y] = offset;
            tree_cols_.push_back(y);
            if (yx_[y] == none32) break;
            const std::uint32_t joined = yx_[y];
            joined_.push_back(joined);
            join_offset_[joined] = offset;
            relax(joined, phase, offset);
        }
        for (std::uint32_t s : joined_) lx_[s] -= offset - join_offset_[s];
        for (std::uint32_t c : tree_cols_) ly_[c] += offset - tree_offset_[c];
        for (;;) {
            const std::uint32_t x = tree_from_[y];
            const std::uint32_t next = xy_[x];
            yx_[y] = x;
            xy_[x] = y;
            if (next == none32) break;
            y = next;
        }
    }

    // Row x joins the tree: lower the slack of each column outside the tree that it reaches
    // by a finite cell, if strictly lower.
    void relax(std::uint32_t x, std::size_t phase, std::int64_t offset) {
        for (std::size_t k = edge_begin_[x]; k < edge_begin_[x + 1]; ++k) {
            const std::uint32_t c = edges_[k].col;
            if (tree_phase_[c] == phase) continue;
            const std::int64_t key = lx_[x] + ly_[c] + edges_[k].cost + offset;
            if (key_phase_[c] != phase || key_[c] > key) {
                key_phase_[c] = phase;
                key_[c] = key;
                slackx_[c] = x;
                heap_.push_back({key, c});
                std::push_heap(heap_.begin(), heap_.end(), std::greater<Entry>{});
            }
        }
    }

    const LinkProblem& p_;
    std::vector<std::uint32_t> local_target_;
    std::vector<std::size_t> edge_begin_;
    std::vector<Edge> edges_;
    std::vector<std::int64_t> lx_, ly_, key_, tree_offset_, join_offset_;
    std::vector<std::uint32_t> xy_, yx_, slackx_, tree_from_, joined_, tree_cols_;
    std::vector<std::size_t> key_phase_, tree_phase_;
    std::vector<Entry> heap_;
};

// A source alone in its group takes its cheapest candidate, ties to the lowest target row:
// in its dense phase every slack is cost - cheapest, the lowest column among the zeros wins,
// and targets precede the no-link column (a candidate costing exactly M beats it).
std::uint32_t link_alone(const LinkProblem& problem, std::size_t r) {
    std::uint32_t best_target = no_link;
    std::int64_t best = std::numeric_limits<std::int64_t>::max();
    for (std::size_t k = problem.row_begin[r]; k < problem.row_begin[r + 1]; ++k) {
        const Candidate& c = problem.candidates[k];
        if (c.cost < best || (c.cost == best && c.target < best_target)) {
            best = c.cost;
            best_target = c.target;
        }
    }
    return best_target;
}

}  // namespace

std::vector<std::uint32_t> solve_link_problem(const LinkProblem& problem) {
    const std::size_t n = problem.sources();
    const std::size_t m = problem.targets;
    const std::int64_t M = problem.no_link_cost;
    std::vector<std::uint32_t> links(n, no_link);
    if (n == 0 || m == 0) return links;
    if (M < 1) throw InternalError("the grouped link solve needs a positive no-link cost");
    if (n + m >= none32) throw InternalError("frame pair too large for 32-bit group indices");

    // A source none of whose candidates is a candidate of another source is alone in its
    // group. The others, with all their candidates, form a union of whole groups, solved
    // together: each root's search stays inside its own group.
    std::vector<std::uint8_t> claims(m, 0);  // candidate of how many sources: 0, 1, 2 = more
    for (const Candidate& c : problem.candidates) {
        if (c.cost < 0 || c.cost > M) throw InternalError("a candidate costs more than leaving its source unlinked");
        claims[c.target] = static_cast<std::uint8_t>(std::min(claims[c.target] + 1, 2));
    }
    std::vector<std::uint32_t> rows;
    for (std::size_t r = 0; r < n; ++r) {
        bool contested = false;
        for (std::size_t k = problem.row_begin[r]; k < problem.row_begin[r + 1]; ++k)
            contested = contested || claims[problem.candidates[k].target] == 2;
        if (contested) {
            rows.push_back(static_cast<std::uint32_t>(r));
        } else {
            links[r] = link_alone(problem, r);
        }
    }
    if (rows.empty()) return links;
    constexpr std::uint8_t in_union = 3;
    for (std::uint32_t r : rows)
        for (std::size_t k = problem.row_begin[r]; k < problem.row_begin[r + 1]; ++k)
            claims[problem.candidates[k].target] = in_union;
    std::vector<std::uint32_t> targets;
    for (std::size_t j = 0; j < m; ++j)
        if (claims[j] == in_union) targets.push_back(static_cast<std::uint32_t>(j));
    GroupSolver(problem).solve(rows, targets, links);
    return links;
}

}  // namespace trakora::link
