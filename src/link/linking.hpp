#pragma once
// Linking localizations into tracks, in D dimensions. Every frame pair (f, f + g) with a gap
// g from 1 to max_skip + 1 is a minimum-cost assignment in which each point of frame f
// continues as one point of frame f + g or stays unlinked; candidates are the points of the
// target frame within max_distance (found through a per-frame grid of cells of that size)
// that pass an acceptance test (the intensity ratio in 2D, none in 3D). All pairs are solved
// independently on the worker pool, then merged shorter gaps first so that every point keeps
// at most one predecessor and one successor; chains of two or more points become tracks.
// The 2D and 3D entry points differ only in the acceptance test and the table columns.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "link/assignment.hpp"
#include "core/types.hpp"
#include "core/view.hpp"

namespace trakora::link {

// A frame stack as one global point list: frame 0's points in row order, then frame 1's, ...
// (the global point numbering); frame f holds points [starts[f], starts[f + 1]).
template <std::size_t D>
struct Frames {
    std::vector<TrackPoint<D>> points;
    std::vector<std::size_t> starts{0};

    std::size_t count() const { return starts.size() - 1; }
    std::size_t size(std::size_t f) const { return starts[f + 1] - starts[f]; }
    void add_frame(std::span<const TrackPoint<D>> frame);
};

// Reads frame tables whose columns are x, y[, z], intensity (further columns ignored). A
// table with rows but fewer than D + 1 columns throws InternalError (index out of bounds,
// naming `where`); a table without rows is an empty frame.
template <std::size_t D>
Frames<D> read_frames(const std::vector<View2<float>>& tables, const char* where);

// The distance limits of one linking call. Throws ValueError naming max_distance unless it
// is finite, M = trunc(max_distance * 1e6) >= 1 (costs count millionths of the distance
// unit) and max_distance <= 1e11 (so that 10 M and the solver's labels fit 64 bits).
struct Reach {
    float max_distance = 0;
    float max_distance_squared = 0;
    std::int64_t no_link_cost = 0;  // M

    static Reach of(float max_distance);
};

// The uniform grid of one frame: cells of size max_distance, keyed by
// (floor(x / s), floor(y / s)[, floor(z / s)]) as unsigned 64-bit integers (negative or NaN
// quotients give 0, too large ones 2^64 - 1). The occupied cells are kept sorted by key, so
// that the cells around a stream of increasing keys are found by cursors that only move
// forward (see link_frame_pair); each cell lists its points' rows in row order.
template <std::size_t D>
class Mapper {
public:
    using Key = std::array<std::uint64_t, D>;

    Mapper() = default;
    Mapper(const TrackPoint<D>* points, std::size_t count, float cell_size);

    Key key_of(const TrackPoint<D>& p) const;

    std::size_t cells() const { return keys_.size(); }
    const Key& cell_key(std::size_t c) const { return keys_[c]; }
    std::span<const std::uint32_t> cell_rows(std::size_t c) const {
        return {rows_.data() + cell_start_[c], rows_.data() + cell_start_[c + 1]};
    }
    // The first cell whose key is not below `key` (cells() if none).
    std::size_t lower_bound(const Key& key) const;
    // Whether some cell key has a component 2^64 - 1 (coordinates beyond the key range).
    bool has_saturated_key() const { return has_saturated_key_; }
    // Smallest and largest key component of the occupied cells, per axis.
    const Key& lowest() const { return lowest_; }
    const Key& highest() const { return highest_; }

private:
    float cell_size_ = 1;
    bool has_saturated_key_ = false;
    Key lowest_{}, highest_{};
    std::vector<Key> keys_;                  // occupied cells, increasing
    std::vector<std::uint32_t> cell_start_;  // cell c holds rows_[cell_start_[c] .. cell_start_[c + 1])
    std::vector<std::uint32_t> rows_;        // the frame's rows grouped by cell, row order inside a cell
};

// Acceptance tests applied after the distance test.
struct IntensityRatioTest {
    float max_ratio;
    // Neither intensity exceeds max_ratio times the other (a comparison with NaN is false).
    bool operator()(const Point2D& p, const Point2D& q) const {
        return !(q.intensity > max_ratio * p.intensity) && !(p.intensity > max_ratio * q.intensity);
    }
};
struct AnyIntensity {
    bool operator()(const Point3D&, const Point3D&) const { return true; }
};

// How frame pairs are solved: grouped sparse solve, or the dense reference matrix.
enum class PairSolver { Grouped, Dense };

// Links of one frame pair: for each source row, the target row it continues as or no_link.
using PairLinks = std::vector<std::uint32_t>;

template <std::size_t D>
std::vector<Mapper<D>> build_mappers(const Frames<D>& frames, float cell_size);

// Frame pairs (f, t) of all gaps, gap-major: g = 1 .. min(max_skip + 1, F - 1), then f = 0 ..
// F - g - 1, solved as one parallel loop; results in that order.
template <std::size_t D, class Accept>
std::vector<PairLinks> link_pairs(const Frames<D>& frames, const std::vector<Mapper<D>>& mappers, std::uint64_t max_skip,
                            const Reach& reach, Accept accept, PairSolver solver);

template <std::size_t D, class Accept>
PairLinks link_frame_pair(const Frames<D>& frames, const std::vector<Mapper<D>>& mappers, const Reach& reach,
                          Accept accept, PairSolver solver, std::size_t source, std::size_t target);

// The track matrices of chains of points (`successor[p]`: the next point of p's track, or
// 2^64 - 1): every chain of two or more points, in the global order of its first point;
// `sources`, when given, receives each row's global point number.
template <std::size_t D>
ExportMatrices<D> export_chains(const Frames<D>& frames, const std::vector<std::uint64_t>& successor,
                                const std::vector<bool>& has_predecessor, std::vector<std::uint64_t>* sources);

// Validates max_distance, links, merges and returns the track matrices. When `sources` is
// given it receives, for every matrix row, the point's global number in `frames` (its frame
// and row follow from `frames.starts`).
template <std::size_t D, class Accept>
ExportMatrices<D> link_and_export(Frames<D> frames, std::uint64_t max_skip, float max_distance, Accept accept,
                                  PairSolver solver = PairSolver::Grouped, std::vector<std::uint64_t>* sources = nullptr);

// 2D: frame tables with columns x, y, intensity.
Frames<2> read_frames(const std::vector<View2<float>>& tables);

// 2D: points (x, y, intensity), links only within max_intensity_ratio.
ExportMatrices2D link_and_export(Frames<2> frames, std::uint64_t max_skip, float max_distance,
                                 float max_intensity_ratio, PairSolver solver = PairSolver::Grouped,
                                 std::vector<std::uint64_t>* sources = nullptr);

// 3D: frame tables with columns x, y, z, intensity.
Frames<3> read_frames_3d(const std::vector<View2<float>>& tables);

// 3D: points (x, y, z, intensity), the distance taken as ((dx^2 + dy^2) + dz^2), a grid of 27
// neighbouring cells, no intensity test.
ExportMatrices3D link_and_export_3d(Frames<3> frames, std::uint64_t max_skip, float max_distance,
                                    PairSolver solver = PairSolver::Grouped,
                                    std::vector<std::uint64_t>* sources = nullptr);

}  // namespace trakora::link
