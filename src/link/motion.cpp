#include "link/motion.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "link/assignment.hpp"

namespace trakora::link {
namespace {

constexpr std::uint64_t none = std::numeric_limits<std::uint64_t>::max();
constexpr double error_weight = 0.2;     // exponential smoothing of the squared errors
constexpr double velocity_weight = 0.5;  // exponential smoothing of the velocity
constexpr double prior_steps = 1.0;      // weight of the prior against a track's own errors
constexpr double evidence_cap = 10.0;    // steps beyond this add no more confidence
constexpr double radius_factor = 4.0;    // search radius in root-mean-square errors
constexpr double directed_margin = 0.5;  // the directed model must halve the still model's error

template <std::size_t D>
struct Track {
    std::uint64_t first = 0, last = 0;   // global point numbers
    std::size_t first_frame = 0, last_frame = 0;
    std::array<double, D> velocity{};    // per frame
    double still_error = 0, directed_error = 0;  // squared errors per frame of gap
    std::uint32_t steps = 0;

    // Directed only when clearly better: for Brownian steps the velocity is noise, and
    // following it would widen the misses.
    bool directed() const { return steps >= 2 && directed_error < directed_margin * still_error; }
};

template <std::size_t D>
struct Prediction {
    std::array<double, D> position{};
    double radius = 0;
};

template <std::size_t D>
Prediction<D> predict(const Track<D>& track, const TrackPoint<D>& last, std::size_t gap, double max_distance) {
    Prediction<D> out;
    const bool directed = track.directed();
    for (std::size_t k = 0; k < D; ++k)
        out.position[k] = last.position[k] + (directed ? track.velocity[k] * static_cast<double>(gap) : 0.0);
    const double prior = max_distance * max_distance / (radius_factor * radius_factor);
    const double evidence = std::min<double>(track.steps, evidence_cap);
    const double error = directed ? track.directed_error : track.still_error;
    const double variance = (evidence * error + prior_steps * prior) / (evidence + prior_steps);
    // A gap of g frames lets a diffusing particle go sqrt(g) times as far: so may the reach.
    out.radius = std::min(max_distance * std::sqrt(static_cast<double>(gap)),
                          radius_factor * std::sqrt(variance * static_cast<double>(gap)));
    return out;
}

template <std::size_t D>
void extend(Track<D>& track, const TrackPoint<D>& from, const TrackPoint<D>& to, std::size_t gap) {
    const double g = static_cast<double>(gap);
    double still = 0, directed = 0;
    std::array<double, D> step{};
    for (std::size_t k = 0; k < D; ++k) {
        const double d = static_cast<double>(to.position[k]) - static_cast<double>(from.position[k]);
        step[k] = d / g;
        still += d * d;
        const double r = d - track.velocity[k] * g;
        directed += r * r;
    }
    still /= g;
    directed /= g;
    if (track.steps == 0) {
        track.still_error = still;
        track.directed_error = still;
        track.velocity = step;
    } else {
        track.still_error += error_weight * (still - track.still_error);
        track.directed_error = track.steps == 1 ? directed : track.directed_error + error_weight * (directed - track.directed_error);
        for (std::size_t k = 0; k < D; ++k) track.velocity[k] += velocity_weight * (step[k] - track.velocity[k]);
    }
    ++track.steps;
}

template <std::size_t D>
double distance(const Prediction<D>& p, const TrackPoint<D>& q) {
    double sum = 0;
    for (std::size_t k = 0; k < D; ++k) {
        const double d = static_cast<double>(q.position[k]) - p.position[k];
        sum += d * d;
    }
    return std::sqrt(sum);
}

// The rows of a frame's grid in the (2 reach + 1)^D cells round a point (each row once).
template <std::size_t D, class Visit>
void around(const Mapper<D>& grid, const TrackPoint<D>& centre, std::uint64_t reach, Visit&& visit) {
    if (grid.cells() == 0) return;
    const auto key = grid.key_of(centre);
    const std::uint64_t side = 2 * reach + 1;
    std::size_t count = 1;
    for (std::size_t k = 0; k < D; ++k) count *= side;
    std::vector<typename Mapper<D>::Key> keys(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t rest = i;
        for (std::size_t k = D; k-- > 0;) {
            keys[i][k] = key[k] + static_cast<std::uint64_t>(static_cast<std::int64_t>(rest % side) -
                                                             static_cast<std::int64_t>(reach));
            rest /= side;
        }
    }
    std::sort(keys.begin(), keys.end());
    const auto end = std::unique(keys.begin(), keys.end());  // saturated keys can coincide
    for (auto it = keys.begin(); it != end; ++it) {
        const std::size_t c = grid.lower_bound(*it);
        if (c < grid.cells() && grid.cell_key(c) == *it)
            for (std::uint32_t row : grid.cell_rows(c)) visit(row);
    }
}

template <std::size_t D>
bool acceptable(const MotionLinking& options, const TrackPoint<D>& p, const TrackPoint<D>& q) {
    if constexpr (D == 2) {
        return IntensityRatioTest{options.max_intensity_ratio}(p, q);
    } else {
        return true;
    }
}

std::int64_t scaled_cost(double distance, double radius, std::int64_t no_link_cost) {
    const double share = radius > 0 ? distance / radius : 0.0;
    return std::min(no_link_cost, static_cast<std::int64_t>(share * static_cast<double>(no_link_cost)));
}

}  // namespace

template <std::size_t D>
ExportMatrices<D> link_with_motion(const Frames<D>& frames, const MotionLinking& options,
                                   std::vector<std::uint64_t>* sources) {
    const Reach reach = Reach::of(options.max_distance);
    const double max_distance = reach.max_distance;
    const std::size_t count = frames.count();
    const std::size_t total = frames.points.size();
    std::vector<std::uint64_t> successor(total, none);
    std::vector<bool> has_predecessor(total, false);
    std::vector<Track<D>> tracks;
    std::vector<std::uint32_t> current;  // tracks whose last point is in the previous frame

    const auto start_track = [&](std::uint64_t p, std::size_t f) {
        Track<D> t;
        t.first = t.last = p;
        t.first_frame = t.last_frame = f;
        tracks.push_back(t);
        return static_cast<std::uint32_t>(tracks.size() - 1);
    };
    if (count > 0)
        for (std::uint64_t p = frames.starts[0]; p < frames.starts[1]; ++p) current.push_back(start_track(p, 0));

    std::vector<Mapper<D>> grids;
    grids.reserve(count);
    for (std::size_t f = 0; f < count; ++f)
        grids.emplace_back(frames.points.data() + frames.starts[f], frames.size(f), reach.max_distance);

    // Frame after frame: the tracks of the previous frame against this frame's points.
    std::vector<bool> taken;
    for (std::size_t f = 1; f < count; ++f) {
        const std::uint64_t base = frames.starts[f];
        const std::size_t m = frames.size(f);
        LinkProblem problem;
        problem.targets = m;
        problem.no_link_cost = reach.no_link_cost;
        for (std::uint32_t t : current) {
            const TrackPoint<D>& last = frames.points[tracks[t].last];
            const Prediction<D> guess = predict(tracks[t], last, 1, max_distance);
            TrackPoint<D> centre = last;
            for (std::size_t k = 0; k < D; ++k) centre.position[k] = static_cast<float>(guess.position[k]);
            around(grids[f], centre, 1, [&](std::uint32_t row) {
                const TrackPoint<D>& q = frames.points[base + row];
                const double d = distance(guess, q);
                if (d <= guess.radius && acceptable(options, last, q))
                    problem.candidates.push_back({row, scaled_cost(d, guess.radius, reach.no_link_cost)});
            });
            // Candidates of one source in increasing row order, as the frame-pair problems have them.
            std::sort(problem.candidates.begin() + static_cast<std::ptrdiff_t>(problem.row_begin.back()),
                      problem.candidates.end(), [](const Candidate& a, const Candidate& b) { return a.target < b.target; });
            problem.row_begin.push_back(problem.candidates.size());
        }
        const std::vector<std::uint32_t> links = solve_link_problem(problem);
        taken.assign(m, false);
        std::vector<std::uint32_t> next;
        next.reserve(m);
        for (std::size_t i = 0; i < current.size(); ++i) {
            if (links[i] == no_link) continue;
            Track<D>& t = tracks[current[i]];
            const std::uint64_t q = base + links[i];
            extend(t, frames.points[t.last], frames.points[q], 1);
            successor[t.last] = q;
            has_predecessor[q] = true;
            t.last = q;
            t.last_frame = f;
            taken[links[i]] = true;
            next.push_back(current[i]);
        }
        for (std::size_t r = 0; r < m; ++r)
            if (!taken[r]) next.push_back(start_track(base + r, f));
        std::sort(next.begin(), next.end(), [&](std::uint32_t a, std::uint32_t b) { return tracks[a].last < tracks[b].last; });
        current = std::move(next);
    }

    // Gap closing: every track end against the track starts 2 .. max_skip + 1 frames later.
    const std::size_t longest_gap =
        static_cast<std::size_t>(std::min<std::uint64_t>(options.max_skip, count > 1 ? count - 1 : 0)) + 1;
    if (longest_gap >= 2 && !tracks.empty()) {
        std::vector<std::uint32_t> start_of_point(total, no_link);  // index among the starts
        std::vector<std::uint32_t> start_track_of;                  // starts in global point order
        std::vector<std::uint32_t> by_first(tracks.size());
        for (std::uint32_t t = 0; t < tracks.size(); ++t) by_first[t] = t;
        std::sort(by_first.begin(), by_first.end(), [&](std::uint32_t a, std::uint32_t b) { return tracks[a].first < tracks[b].first; });
        for (std::uint32_t t : by_first) {
            start_of_point[tracks[t].first] = static_cast<std::uint32_t>(start_track_of.size());
            start_track_of.push_back(t);
        }
        std::vector<std::uint32_t> ends = by_first;
        std::sort(ends.begin(), ends.end(), [&](std::uint32_t a, std::uint32_t b) { return tracks[a].last < tracks[b].last; });
        LinkProblem problem;
        problem.targets = start_track_of.size();
        problem.no_link_cost = reach.no_link_cost;
        for (std::uint32_t t : ends) {
            const Track<D>& track = tracks[t];
            const TrackPoint<D>& last = frames.points[track.last];
            const std::size_t row_start = problem.candidates.size();
            for (std::size_t gap = 2; gap <= longest_gap && track.last_frame + gap < count; ++gap) {
                const std::size_t f = track.last_frame + gap;
                const Prediction<D> guess = predict(track, last, gap, max_distance);
                TrackPoint<D> centre = last;
                for (std::size_t k = 0; k < D; ++k) centre.position[k] = static_cast<float>(guess.position[k]);
                const auto cells = static_cast<std::uint64_t>(std::ceil(guess.radius / max_distance));
                around(grids[f], centre, cells, [&](std::uint32_t row) {
                    const std::uint64_t p = frames.starts[f] + row;
                    const std::uint32_t s = start_of_point[p];
                    if (s == no_link) return;
                    const TrackPoint<D>& q = frames.points[p];
                    const double d = distance(guess, q);
                    if (d <= guess.radius && acceptable(options, last, q))
                        problem.candidates.push_back({s, scaled_cost(d, guess.radius, reach.no_link_cost)});
                });
            }
            std::sort(problem.candidates.begin() + static_cast<std::ptrdiff_t>(row_start), problem.candidates.end(),
                      [](const Candidate& a, const Candidate& b) { return a.target < b.target; });
            problem.row_begin.push_back(problem.candidates.size());
        }
        const std::vector<std::uint32_t> joins = solve_link_problem(problem);
        for (std::size_t i = 0; i < ends.size(); ++i) {
            if (joins[i] == no_link) continue;
            const std::uint64_t from = tracks[ends[i]].last;
            const std::uint64_t to = tracks[start_track_of[joins[i]]].first;
            successor[from] = to;
            has_predecessor[to] = true;
        }
    }

    return export_chains(frames, successor, has_predecessor, sources);
}

template ExportMatrices<2> link_with_motion<2>(const Frames<2>&, const MotionLinking&, std::vector<std::uint64_t>*);
template ExportMatrices<3> link_with_motion<3>(const Frames<3>&, const MotionLinking&, std::vector<std::uint64_t>*);

}  // namespace trakora::link
