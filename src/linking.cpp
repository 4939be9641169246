#include "linking.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "errors.hpp"
#include "numeric.hpp"
#include "pool.hpp"

namespace trakora::linking {

// ---- frames -----------------------------------------------------------------------------

template <std::size_t D>
void Frames<D>::add_frame(std::span<const TrackPoint<D>> frame) {
    points.insert(points.end(), frame.begin(), frame.end());
    starts.push_back(points.size());
}

template <std::size_t D>
Frames<D> read_frames(const std::vector<View2<float>>& tables, const char* where) {
    Frames<D> frames;
    std::size_t total = 0;
    for (const auto& t : tables) total += t.shape[0];
    frames.points.reserve(total);
    frames.starts.reserve(tables.size() + 1);
    for (const auto& t : tables) {
        const std::size_t rows = t.shape[0];
        if (rows == 0) {
            frames.starts.push_back(frames.points.size());
            continue;
        }
        check_index(where, D, t.shape[1]);
        // Rows within a frame are 32-bit throughout the linker.
        if (rows >= no_link) throw ValueError("a frame of points_list has too many rows to link (at most 2^32 - 2)");
        for (std::size_t i = 0; i < rows; ++i) {
            TrackPoint<D> p;
            for (std::size_t k = 0; k < D; ++k) p.position[k] = t(i, k);
            p.intensity = t(i, D);
            frames.points.push_back(p);
        }
        frames.starts.push_back(frames.points.size());
    }
    return frames;
}

// ---- costs ------------------------------------------------------------------------------

namespace {

constexpr float cost_scale = 1000000.0f;  // costs count millionths of the distance unit
constexpr float largest_max_distance = 1e11f;

std::int64_t cost_of(float squared_distance) {
    return saturating_cast<std::int64_t>(std::sqrt(squared_distance) * cost_scale);
}

// The squares of the coordinate differences, added from the first axis on.
template <std::size_t D>
float squared_distance(const TrackPoint<D>& p, const TrackPoint<D>& q) {
    const float d0 = p.position[0] - q.position[0];
    float sum = d0 * d0;
    for (std::size_t k = 1; k < D; ++k) {
        const float d = p.position[k] - q.position[k];
        sum = sum + d * d;
    }
    return sum;
}

}  // namespace

Reach Reach::of(float max_distance) {
    Reach r;
    r.max_distance = max_distance;
    r.max_distance_squared = max_distance * max_distance;
    r.no_link_cost = saturating_cast<std::int64_t>(max_distance * cost_scale);
    if (!std::isfinite(max_distance) || r.no_link_cost < 1 || max_distance > largest_max_distance)
        throw ValueError("max_distance must be a finite number from 1e-6 to 1e11 (linking costs count millionths "
                         "of it in 64-bit integers), got " +
                         std::to_string(max_distance));
    return r;
}

// ---- the cell grid ----------------------------------------------------------------------

namespace {

template <std::size_t D>
std::uint64_t hash_key(const std::array<std::uint64_t, D>& key) {
    std::uint64_t h = 0x9E3779B97F4A7C15ull;
    for (std::uint64_t k : key) {
        h = (h ^ k) * 0xBF58476D1CE4E5B9ull;
        h ^= h >> 31;
    }
    return h;
}

std::size_t table_size(std::size_t entries) {
    std::size_t size = 4;
    while (size < entries + entries / 2) size *= 2;
    return size;
}

}  // namespace

template <std::size_t D>
Mapper<D>::Mapper(const std::vector<TrackPoint<D>>& points, std::size_t first, std::size_t count, float cell_size)
    : points_(&points), first_(first), cell_size_(cell_size) {
    if (count == 0) return;
    // Assign cell indices in order of first appearance, with the keys at hand.
    std::vector<Key> keys(count);
    std::vector<std::uint32_t> cell_of(count), first_row;
    std::vector<std::uint32_t> table(table_size(count), 0);
    const std::size_t mask = table.size() - 1;
    for (std::size_t row = 0; row < count; ++row) {
        keys[row] = key_of(points[first + row]);
        for (std::size_t s = hash_key(keys[row]) & mask;; s = (s + 1) & mask) {
            if (table[s] == 0) {
                first_row.push_back(static_cast<std::uint32_t>(row));
                table[s] = static_cast<std::uint32_t>(first_row.size());
                cell_of[row] = table[s] - 1;
                break;
            }
            if (keys[first_row[table[s] - 1]] == keys[row]) {
                cell_of[row] = table[s] - 1;
                break;
            }
        }
    }
    const std::size_t cells = first_row.size();
    // Group the rows by cell, keeping row order (a counting sort).
    cell_start_.assign(cells + 1, 0);
    for (std::uint32_t c : cell_of) ++cell_start_[c + 1];
    for (std::size_t c = 0; c < cells; ++c) cell_start_[c + 1] += cell_start_[c];
    rows_.resize(count);
    {
        std::vector<std::uint32_t> next(cell_start_.begin(), cell_start_.end() - 1);
        for (std::size_t row = 0; row < count; ++row) rows_[next[cell_of[row]]++] = static_cast<std::uint32_t>(row);
    }
    // The kept table is sized by cells; a cell's key is recomputed from its first point.
    slots_.assign(table_size(cells), 0);
    const std::size_t kept_mask = slots_.size() - 1;
    for (std::size_t c = 0; c < cells; ++c) {
        std::size_t s = hash_key(keys[first_row[c]]) & kept_mask;
        while (slots_[s] != 0) s = (s + 1) & kept_mask;
        slots_[s] = static_cast<std::uint32_t>(c + 1);
    }
}

template <std::size_t D>
typename Mapper<D>::Key Mapper<D>::key_of(const TrackPoint<D>& p) const {
    Key key;
    for (std::size_t k = 0; k < D; ++k) key[k] = saturating_floor<std::uint64_t>(p.position[k] / cell_size_);
    return key;
}

template <std::size_t D>
std::span<const std::uint32_t> Mapper<D>::cell(const Key& key) const {
    if (slots_.empty()) return {};
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t s = hash_key(key) & mask;; s = (s + 1) & mask) {
        const std::uint32_t entry = slots_[s];
        if (entry == 0) return {};
        const std::uint32_t begin = cell_start_[entry - 1];
        if (key_of((*points_)[first_ + rows_[begin]]) == key)
            return {rows_.data() + begin, rows_.data() + cell_start_[entry]};
    }
}

template <std::size_t D>
void Mapper<D>::neighbours(const Key& key, std::vector<std::uint32_t>& rows) const {
    rows.clear();
    std::array<int, D> offset;
    offset.fill(-1);
    for (;;) {
        Key near;
        for (std::size_t k = 0; k < D; ++k) near[k] = key[k] + static_cast<std::uint64_t>(std::int64_t{offset[k]});
        const auto found = cell(near);
        rows.insert(rows.end(), found.begin(), found.end());
        // Next offset, the last axis fastest.
        std::size_t k = D;
        while (k > 0 && offset[k - 1] == 1) offset[--k] = -1;
        if (k == 0) return;
        ++offset[k - 1];
    }
}

template <std::size_t D>
std::vector<Mapper<D>> build_mappers(const Frames<D>& frames, float cell_size) {
    const std::size_t n = frames.count();
    const std::size_t grain = std::max<std::size_t>(1, n * 4096 / std::max<std::size_t>(1, frames.points.size()));
    return pool::parallel_map<Mapper<D>>(n, grain, [&](std::size_t f) {
        return Mapper<D>(frames.points, frames.starts[f], frames.size(f), cell_size);
    });
}

// ---- frame pairs ----------------------------------------------------------------------------

template <std::size_t D, class Accept>
PairLinks link_frame_pair(const Frames<D>& frames, const std::vector<Mapper<D>>& mappers, const Reach& reach,
                          Accept accept, PairSolver solver, std::size_t source, std::size_t target) {
    const std::size_t n = frames.size(source);
    const std::size_t m = frames.size(target);
    if (n == 0 || m == 0) return {};
    const TrackPoint<D>* sources = frames.points.data() + frames.starts[source];
    const TrackPoint<D>* targets = frames.points.data() + frames.starts[target];
    const Mapper<D>& grid = mappers[target];

    LinkProblem problem;
    problem.targets = m;
    problem.no_link_cost = reach.no_link_cost;
    problem.row_begin.reserve(n + 1);
    std::vector<std::uint32_t> near;
    for (std::size_t r = 0; r < n; ++r) {
        const TrackPoint<D>& p = sources[r];
        grid.neighbours(grid.key_of(p), near);
        for (std::uint32_t row : near) {
            const TrackPoint<D>& q = targets[row];
            const float d2 = squared_distance(p, q);
            if (d2 <= reach.max_distance_squared && accept(p, q)) problem.candidates.push_back({row, cost_of(d2)});
        }
        problem.row_begin.push_back(problem.candidates.size());
    }
    return solver == PairSolver::Dense ? solve_link_problem_dense(problem) : solve_link_problem(problem);
}

template <std::size_t D, class Accept>
std::vector<PairLinks> link(const Frames<D>& frames, const std::vector<Mapper<D>>& mappers, std::uint64_t max_skip,
                            const Reach& reach, Accept accept, PairSolver solver) {
    const std::size_t count = frames.count();
    if (count < 2) return {};
    // Gaps of F or more pair no frames: a huge max_skip costs nothing.
    const std::size_t gaps = static_cast<std::size_t>(std::min<std::uint64_t>(max_skip, count - 2)) + 1;
    std::vector<std::size_t> gap_start(gaps + 1, 0);  // flat index of gap g's first pair is gap_start[g - 1]
    for (std::size_t g = 1; g <= gaps; ++g) gap_start[g] = gap_start[g - 1] + (count - g);
    const std::size_t pairs = gap_start[gaps];

    // Small stacks run inline; otherwise tasks of a few thousand points each.
    const std::size_t work = 2 * gaps * frames.points.size();
    const std::size_t grain = work < 50000 ? pairs : std::max<std::size_t>(1, pairs * 4096 / std::max<std::size_t>(1, work));
    return pool::parallel_map<PairLinks>(pairs, grain, [&](std::size_t i) {
        const std::size_t g = static_cast<std::size_t>(std::upper_bound(gap_start.begin(), gap_start.end(), i) -
                                                       gap_start.begin());
        const std::size_t f = i - gap_start[g - 1];
        return link_frame_pair<D>(frames, mappers, reach, accept, solver, f, f + g);
    });
}

// ---- merge and tracks ---------------------------------------------------------------------

template <std::size_t D, class Accept>
ExportMatrices<D> link_and_export(Frames<D> frames, std::uint64_t max_skip, float max_distance, Accept accept,
                                  PairSolver solver) {
    const Reach reach = Reach::of(max_distance);
    std::vector<PairLinks> results;
    {
        const auto mappers = build_mappers(frames, reach.max_distance);
        results = link(frames, mappers, max_skip, reach, accept, solver);
    }

    // Merge gap after gap, frame after frame: a link stands only if its source has no
    // successor and its target no predecessor yet, so shorter gaps win.
    constexpr std::uint64_t none = std::numeric_limits<std::uint64_t>::max();
    const std::size_t total = frames.points.size();
    std::vector<std::uint64_t> successor(total, none);
    std::vector<bool> has_predecessor(total, false);
    std::size_t index = 0;
    for (std::size_t g = 1; index < results.size(); ++g) {
        for (std::size_t f = 0; f + g < frames.count(); ++f, ++index) {
            PairLinks& links = results[index];
            const std::size_t source_base = frames.starts[f];
            const std::size_t target_base = frames.starts[f + g];
            for (std::size_t r = 0; r < links.size(); ++r) {
                if (links[r] == no_link) continue;
                const std::size_t a = source_base + r;
                const std::size_t b = target_base + links[r];
                if (successor[a] == none && !has_predecessor[b]) {
                    successor[a] = b;
                    has_predecessor[b] = true;
                }
            }
            PairLinks().swap(links);
        }
    }

    // Tracks start at points with a successor but no predecessor, in global order.
    std::size_t rows = 0, tracks = 0;
    for (std::size_t p = 0; p < total; ++p) {
        if (successor[p] != none || has_predecessor[p]) ++rows;
        if (successor[p] != none && !has_predecessor[p]) ++tracks;
    }
    ExportMatrices<D> out;
    out.matrix.reserve(rows * ExportMatrices<D>::cols);
    out.track_end_indices.reserve(tracks);
    for (std::size_t p = 0; p < total; ++p) {
        if (has_predecessor[p] || successor[p] == none) continue;
        for (std::uint64_t q = p; q != none; q = successor[q]) out.append_point(frames.points[q]);
        out.end_track();
    }
    return out;
}

Frames<2> read_frames(const std::vector<View2<float>>& tables) { return read_frames<2>(tables, "src/linking"); }

ExportMatrices2D link_and_export(Frames<2> frames, std::uint64_t max_skip, float max_distance,
                                 float max_intensity_ratio, PairSolver solver) {
    return link_and_export<2>(std::move(frames), max_skip, max_distance, IntensityRatioTest{max_intensity_ratio},
                              solver);
}

// The two instantiations: 2D with the intensity ratio test, 3D without one.
template struct Frames<2>;
template struct Frames<3>;
template class Mapper<2>;
template class Mapper<3>;
template Frames<2> read_frames<2>(const std::vector<View2<float>>&, const char*);
template Frames<3> read_frames<3>(const std::vector<View2<float>>&, const char*);
template std::vector<Mapper<2>> build_mappers<2>(const Frames<2>&, float);
template std::vector<Mapper<3>> build_mappers<3>(const Frames<3>&, float);
template std::vector<PairLinks> link<2, IntensityRatioTest>(const Frames<2>&, const std::vector<Mapper<2>>&,
                                                            std::uint64_t, const Reach&, IntensityRatioTest,
                                                            PairSolver);
template std::vector<PairLinks> link<3, AnyIntensity>(const Frames<3>&, const std::vector<Mapper<3>>&, std::uint64_t,
                                                      const Reach&, AnyIntensity, PairSolver);
template PairLinks link_frame_pair<2, IntensityRatioTest>(const Frames<2>&, const std::vector<Mapper<2>>&,
                                                         const Reach&, IntensityRatioTest, PairSolver, std::size_t,
                                                         std::size_t);
template PairLinks link_frame_pair<3, AnyIntensity>(const Frames<3>&, const std::vector<Mapper<3>>&, const Reach&,
                                                   AnyIntensity, PairSolver, std::size_t, std::size_t);
template ExportMatrices<2> link_and_export<2, IntensityRatioTest>(Frames<2>, std::uint64_t, float, IntensityRatioTest,
                                                                  PairSolver);
template ExportMatrices<3> link_and_export<3, AnyIntensity>(Frames<3>, std::uint64_t, float, AnyIntensity,
                                                            PairSolver);

}  // namespace trakora::linking
