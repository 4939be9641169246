#include "link/linking.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "core/errors.hpp"
#include "core/numeric.hpp"
#include "core/pool.hpp"

namespace trakora::link {

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
    if (!std::isfinite(max_distance) || r.no_link_cost < 1 || max_distance > largest_max_distance) {
        char shown[32];
        std::snprintf(shown, sizeof shown, "%g", static_cast<double>(max_distance));
        throw ValueError(std::string("max_distance must be a finite number from 1e-6 to 1e11 (linking costs count "
                                     "millionths of it in 64-bit integers), got ") +
                         shown);
    }
    return r;
}

// ---- the cell grid ----------------------------------------------------------------------

namespace {

constexpr std::uint64_t key_max = std::numeric_limits<std::uint64_t>::max();

// The 3^D neighbour offsets, as wrapping additions to a key.
template <std::size_t D>
constexpr auto make_neighbour_offsets() {
    std::array<std::array<std::uint64_t, D>, D == 2 ? 9 : 27> offsets{};
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        std::size_t rest = i;
        for (std::size_t k = D; k-- > 0;) {
            offsets[i][k] = static_cast<std::uint64_t>(static_cast<std::int64_t>(rest % 3) - 1);
            rest /= 3;
        }
    }
    return offsets;
}
template <std::size_t D>
constexpr auto neighbour_offsets = make_neighbour_offsets<D>();

template <std::size_t D>
bool key_equal(const std::array<std::uint64_t, D>& a, const std::array<std::uint64_t, D>& b) {
    bool equal = true;
    for (std::size_t k = 0; k < D; ++k) equal = equal && a[k] == b[k];
    return equal;
}

template <std::size_t D>
bool key_less(const std::array<std::uint64_t, D>& a, const std::array<std::uint64_t, D>& b) {
    for (std::size_t k = 0; k + 1 < D; ++k)
        if (a[k] != b[k]) return a[k] < b[k];
    return a[D - 1] < b[D - 1];
}

}  // namespace

template <std::size_t D>
Mapper<D>::Mapper(const TrackPoint<D>* points, std::size_t count, float cell_size) : cell_size_(cell_size) {
    if (count == 0) return;
    struct Entry {
        Key key;
        std::uint32_t row;
    };
    std::vector<Entry> entries(count);
    for (std::size_t row = 0; row < count; ++row) entries[row] = {key_of(points[row]), static_cast<std::uint32_t>(row)};
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return key_less(a.key, b.key) || (key_equal(a.key, b.key) && a.row < b.row);
    });
    rows_.resize(count);
    lowest_ = highest_ = entries[0].key;
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t k = 0; k < D; ++k) {
            lowest_[k] = std::min(lowest_[k], entries[i].key[k]);
            highest_[k] = std::max(highest_[k], entries[i].key[k]);
        }
        rows_[i] = entries[i].row;
        if (i > 0 && key_equal(entries[i].key, entries[i - 1].key)) continue;
        keys_.push_back(entries[i].key);
        cell_start_.push_back(static_cast<std::uint32_t>(i));
        for (std::uint64_t k : entries[i].key) has_saturated_key_ = has_saturated_key_ || k == key_max;
    }
    cell_start_.push_back(static_cast<std::uint32_t>(count));
    keys_.shrink_to_fit();
    cell_start_.shrink_to_fit();
}

template <std::size_t D>
typename Mapper<D>::Key Mapper<D>::key_of(const TrackPoint<D>& p) const {
    Key key;
    for (std::size_t k = 0; k < D; ++k) key[k] = saturating_floor<std::uint64_t>(p.position[k] / cell_size_);
    return key;
}

template <std::size_t D>
std::size_t Mapper<D>::lower_bound(const Key& key) const {
    return static_cast<std::size_t>(std::lower_bound(keys_.begin(), keys_.end(), key, key_less<D>) - keys_.begin());
}

template <std::size_t D>
std::vector<Mapper<D>> build_mappers(const Frames<D>& frames, float cell_size) {
    const std::size_t n = frames.count();
    const std::size_t grain = std::max<std::size_t>(1, n * 4096 / std::max<std::size_t>(1, frames.points.size()));
    return parallel_map<Mapper<D>>(n, grain, [&](std::size_t f) {
        return Mapper<D>(frames.points.data() + frames.starts[f], frames.size(f), cell_size);
    });
}

namespace {

// A dense table over the box spanned by a frame's occupied cells, built when the box holds
// at most 64 slots (256 bytes) per occupied cell, plus a small allowance: a key's cell is
// one read away, and the 3^D cells around a key inside the box are fixed offsets from its
// slot.
template <std::size_t D>
class CellTable {
public:
    using Key = typename Mapper<D>::Key;

    // `slots` receives the table.
    CellTable(const Mapper<D>& grid, std::vector<std::uint32_t>& slots) : grid_(grid), slots_(slots) {
        const std::size_t cells = grid.cells();
        if (cells == 0) return;
        const std::uint64_t limit = 64 * std::uint64_t{cells} + 4096;
        std::uint64_t volume = 1;
        for (std::size_t k = 0; k < D; ++k) {
            width_[k] = grid.highest()[k] - grid.lowest()[k] + 1;  // 0 when it spans every key
            if (width_[k] == 0 || width_[k] > limit / volume) return;
            volume *= width_[k];
        }
        std::uint64_t stride = 1;
        for (std::size_t k = D; k-- > 0;) {
            stride_[k] = stride;
            stride *= width_[k];
        }
        for (std::size_t i = 0; i < neighbour_offsets<D>.size(); ++i) {
            std::uint64_t step = 0;  // wrapping: a signed sum of strides
            for (std::size_t k = 0; k < D; ++k) step += neighbour_offsets<D>[i][k] * stride_[k];
            step_[i] = step;
        }
        slots_.assign(static_cast<std::size_t>(volume), 0);
        for (std::size_t c = 0; c < cells; ++c) {
            std::uint64_t index = 0;
            for (std::size_t k = 0; k < D; ++k) index += (grid.cell_key(c)[k] - grid.lowest()[k]) * stride_[k];
            slots_[static_cast<std::size_t>(index)] = static_cast<std::uint32_t>(c + 1);
        }
        built_ = true;
    }

    bool built() const { return built_; }

    template <class Visit>
    void around(const Key& key, Visit&& visit) const {
        std::array<std::uint64_t, D> relative;
        bool interior = true;
        std::uint64_t base = 0;
        for (std::size_t k = 0; k < D; ++k) {
            relative[k] = key[k] - grid_.lowest()[k];  // wrapping: huge when below the box
            interior = interior && relative[k] >= 1 && relative[k] < width_[k] - 1;
            base += relative[k] * stride_[k];
        }
        if (interior) {
            for (std::uint64_t step : step_) {
                const std::uint32_t slot = slots_[static_cast<std::size_t>(base + step)];
                if (slot != 0) visit(slot - 1);
            }
            return;
        }
        for (const auto& offset : neighbour_offsets<D>) {
            std::uint64_t index = 0;
            bool inside = true;
            for (std::size_t k = 0; k < D && inside; ++k) {
                const std::uint64_t r = relative[k] + offset[k];
                inside = r < width_[k];
                index += r * stride_[k];
            }
            if (inside && slots_[static_cast<std::size_t>(index)] != 0) visit(slots_[static_cast<std::size_t>(index)] - 1);
        }
    }

private:
    const Mapper<D>& grid_;
    std::vector<std::uint32_t>& slots_;
    std::array<std::uint64_t, D> width_{}, stride_{};
    std::array<std::uint64_t, neighbour_offsets<D>.size()> step_{};
    bool built_ = false;
};

// The target cells among the 3^D cells around each of a stream of increasing source keys,
// neighbours wrapping around at 0 and 2^64 - 1. The 3^D cells form 3^(D-1) strips of three
// consecutive keys along the last axis. For a strip whose leading components did not wrap,
// its lowest key grows with the source key, so a cursor per strip only moves forward; the
// rare strips that wrapped, and the wrapped end of a strip (last component 0 or 2^64 - 1),
// are found by binary search, or skipped at once when the target frame has no saturated key.
// Which order the cells come in does not matter: the candidates of a source are a set to
// the assignment.
template <std::size_t D>
class NeighbourScan {
public:
    using Key = typename Mapper<D>::Key;
    static constexpr std::size_t strips = D == 2 ? 3 : 9;

    explicit NeighbourScan(const Mapper<D>& grid) : grid_(grid) { cursor_.fill(0); }

    template <class Visit>
    void around(const Key& key, Visit&& visit) {
        const std::size_t cells = grid_.cells();
        const std::uint64_t last = key[D - 1];
        for (std::size_t i = 0; i < strips; ++i) {
            Key low;
            bool wrapped = false;
            std::size_t rest = i;
            for (std::size_t k = D - 1; k-- > 0;) {
                const int offset = static_cast<int>(rest % 3) - 1;
                rest /= 3;
                low[k] = key[k] + static_cast<std::uint64_t>(std::int64_t{offset});
                wrapped = wrapped || (offset == -1 && key[k] == 0) || (offset == 1 && key[k] == key_max);
            }
            bool prefix_saturated = false;
            for (std::size_t k = 0; k + 1 < D; ++k) prefix_saturated = prefix_saturated || low[k] == key_max;
            if (prefix_saturated && !grid_.has_saturated_key()) continue;
            low[D - 1] = last == 0 ? 0 : last - 1;
            const std::uint64_t high = last == key_max ? key_max : last + 1;
            std::size_t c;
            if (wrapped) {
                c = grid_.lower_bound(low);
            } else {
                std::size_t& cursor = cursor_[i];
                while (cursor < cells && key_less(grid_.cell_key(cursor), low)) ++cursor;
                c = cursor;
            }
            for (; c < cells && same_prefix(grid_.cell_key(c), low) && grid_.cell_key(c)[D - 1] <= high; ++c) visit(c);
            if (last == 0 || last == key_max) {
                low[D - 1] = last == 0 ? key_max : 0;
                if (low[D - 1] == key_max && !grid_.has_saturated_key()) continue;
                c = grid_.lower_bound(low);
                if (c < cells && key_equal(grid_.cell_key(c), low)) visit(c);
            }
        }
    }

private:
    static bool same_prefix(const Key& a, const Key& b) {
        for (std::size_t k = 0; k + 1 < D; ++k)
            if (a[k] != b[k]) return false;
        return true;
    }

    const Mapper<D>& grid_;
    std::array<std::size_t, strips> cursor_;
};

}  // namespace

// ---- frame pairs ----------------------------------------------------------------------------

template <std::size_t D, class Accept>
PairLinks link_frame_pair(const Frames<D>& frames, const std::vector<Mapper<D>>& mappers, const Reach& reach,
                          Accept accept, PairSolver solver, std::size_t source, std::size_t target) {
    const std::size_t n = frames.size(source);
    const std::size_t m = frames.size(target);
    if (n == 0 || m == 0) return {};
    const TrackPoint<D>* sources = frames.points.data() + frames.starts[source];
    const TrackPoint<D>* targets = frames.points.data() + frames.starts[target];
    const Mapper<D>& from = mappers[source];
    const Mapper<D>& grid = mappers[target];

    // The target cells around each source cell, found cell by cell in key order (the source
    // frame's grid has the same cell size, so its keys are the sources' keys in the target
    // grid) through the dense table when it fits, else by the cursors; then the candidates
    // of each source, row by row.
    std::vector<std::size_t> near_begin(from.cells() + 1, 0);
    std::vector<std::uint32_t> near, cell_of_row(n);
    std::vector<std::uint32_t> table_slots;
    const CellTable<D> table(grid, table_slots);
    NeighbourScan<D> scan(grid);
    const auto add = [&](std::size_t cell) { near.push_back(static_cast<std::uint32_t>(cell)); };
    near.reserve(2 * from.cells());
    for (std::size_t c = 0; c < from.cells(); ++c) {
        if (table.built()) {
            table.around(from.cell_key(c), add);
        } else {
            scan.around(from.cell_key(c), add);
        }
        near_begin[c + 1] = near.size();
        for (std::uint32_t r : from.cell_rows(c)) cell_of_row[r] = static_cast<std::uint32_t>(c);
    }

    LinkProblem problem;
    problem.targets = m;
    problem.no_link_cost = reach.no_link_cost;
    problem.row_begin.reserve(n + 1);
    problem.candidates.reserve(2 * n);
    for (std::size_t r = 0; r < n; ++r) {
        const TrackPoint<D>& p = sources[r];
        const std::uint32_t c = cell_of_row[r];
        for (std::size_t k = near_begin[c]; k < near_begin[c + 1]; ++k) {
            for (std::uint32_t row : grid.cell_rows(near[k])) {
                const TrackPoint<D>& q = targets[row];
                const float d2 = squared_distance(p, q);
                if (d2 <= reach.max_distance_squared && accept(p, q)) problem.candidates.push_back({row, cost_of(d2)});
            }
        }
        problem.row_begin.push_back(problem.candidates.size());
    }
    return solver == PairSolver::Dense ? solve_link_problem_dense(problem) : solve_link_problem(problem);
}

template <std::size_t D, class Accept>
std::vector<PairLinks> link_pairs(const Frames<D>& frames, const std::vector<Mapper<D>>& mappers, std::uint64_t max_skip,
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
    return parallel_map<PairLinks>(pairs, grain, [&](std::size_t i) {
        const std::size_t g = static_cast<std::size_t>(std::upper_bound(gap_start.begin(), gap_start.end(), i) -
                                                       gap_start.begin());
        const std::size_t f = i - gap_start[g - 1];
        return link_frame_pair<D>(frames, mappers, reach, accept, solver, f, f + g);
    });
}

// ---- merge and tracks ---------------------------------------------------------------------

template <std::size_t D>
ExportMatrices<D> export_chains(const Frames<D>& frames, const std::vector<std::uint64_t>& successor,
                                const std::vector<bool>& has_predecessor, std::vector<std::uint64_t>* sources) {
    constexpr std::uint64_t none = std::numeric_limits<std::uint64_t>::max();
    const std::size_t total = frames.points.size();
    // Tracks start at points with a successor but no predecessor, in global order.
    std::size_t rows = 0, tracks = 0;
    for (std::size_t p = 0; p < total; ++p) {
        if (successor[p] != none || has_predecessor[p]) ++rows;
        if (successor[p] != none && !has_predecessor[p]) ++tracks;
    }
    ExportMatrices<D> out;
    out.matrix.reserve(rows * ExportMatrices<D>::cols);
    out.track_end_indices.reserve(tracks);
    if (sources != nullptr) {
        sources->clear();
        sources->reserve(rows);
    }
    for (std::size_t p = 0; p < total; ++p) {
        if (has_predecessor[p] || successor[p] == none) continue;
        for (std::uint64_t q = p; q != none; q = successor[q]) {
            out.append_point(frames.points[q]);
            if (sources != nullptr) sources->push_back(q);
        }
        out.end_track();
    }
    return out;
}

template <std::size_t D, class Accept>
ExportMatrices<D> link_and_export(Frames<D> frames, std::uint64_t max_skip, float max_distance, Accept accept,
                                  PairSolver solver, std::vector<std::uint64_t>* sources) {
    const Reach reach = Reach::of(max_distance);
    std::vector<PairLinks> results;
    {
        const auto mappers = build_mappers(frames, reach.max_distance);
        results = link_pairs(frames, mappers, max_skip, reach, accept, solver);
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

    return export_chains(frames, successor, has_predecessor, sources);
}

// The module labels in out-of-bounds messages are kept as users know them.
Frames<2> read_frames(const std::vector<View2<float>>& tables) { return read_frames<2>(tables, "src/linking"); }

ExportMatrices2D link_and_export(Frames<2> frames, std::uint64_t max_skip, float max_distance,
                                 float max_intensity_ratio, PairSolver solver, std::vector<std::uint64_t>* sources) {
    return link_and_export<2>(std::move(frames), max_skip, max_distance, IntensityRatioTest{max_intensity_ratio},
                              solver, sources);
}

Frames<3> read_frames_3d(const std::vector<View2<float>>& tables) { return read_frames<3>(tables, "src/linking3d"); }

ExportMatrices3D link_and_export_3d(Frames<3> frames, std::uint64_t max_skip, float max_distance, PairSolver solver,
                                    std::vector<std::uint64_t>* sources) {
    return link_and_export<3>(std::move(frames), max_skip, max_distance, AnyIntensity{}, solver, sources);
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
template std::vector<PairLinks> link_pairs<2, IntensityRatioTest>(const Frames<2>&, const std::vector<Mapper<2>>&,
                                                            std::uint64_t, const Reach&, IntensityRatioTest,
                                                            PairSolver);
template std::vector<PairLinks> link_pairs<3, AnyIntensity>(const Frames<3>&, const std::vector<Mapper<3>>&, std::uint64_t,
                                                      const Reach&, AnyIntensity, PairSolver);
template PairLinks link_frame_pair<2, IntensityRatioTest>(const Frames<2>&, const std::vector<Mapper<2>>&,
                                                         const Reach&, IntensityRatioTest, PairSolver, std::size_t,
                                                         std::size_t);
template PairLinks link_frame_pair<3, AnyIntensity>(const Frames<3>&, const std::vector<Mapper<3>>&, const Reach&,
                                                   AnyIntensity, PairSolver, std::size_t, std::size_t);
template ExportMatrices<2> export_chains<2>(const Frames<2>&, const std::vector<std::uint64_t>&,
                                           const std::vector<bool>&, std::vector<std::uint64_t>*);
template ExportMatrices<3> export_chains<3>(const Frames<3>&, const std::vector<std::uint64_t>&,
                                           const std::vector<bool>&, std::vector<std::uint64_t>*);
template ExportMatrices<2> link_and_export<2, IntensityRatioTest>(Frames<2>, std::uint64_t, float, IntensityRatioTest,
                                                                  PairSolver, std::vector<std::uint64_t>*);
template ExportMatrices<3> link_and_export<3, AnyIntensity>(Frames<3>, std::uint64_t, float, AnyIntensity,
                                                            PairSolver, std::vector<std::uint64_t>*);

}  // namespace trakora::link
