#include "detection3d.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "pool.hpp"

namespace trakora {
namespace {

using NeighbourOffsets3D = std::array<std::array<std::int64_t, 3>, 26>;

// The 26 offsets in lexicographic order, (0, 0, 0) left out.
NeighbourOffsets3D neighbour_offsets_3d() {
    NeighbourOffsets3D offsets{};
    std::size_t n = 0;
    for (std::int64_t d0 = -1; d0 <= 1; ++d0)
        for (std::int64_t d1 = -1; d1 <= 1; ++d1)
            for (std::int64_t d2 = -1; d2 <= 1; ++d2)
                if (d0 != 0 || d1 != 0 || d2 != 0) offsets[n++] = {d0, d1, d2};
    return offsets;
}

// On an equal (or NaN) neighbour: a later axis-0 plane rejects; an earlier one does not;
// within the plane a larger axis-1 index or a smaller axis-2 index rejects.
bool rejects_on_tie(const std::array<std::int64_t, 3>& d) {
    if (d[0] != 0) return d[0] > 0;
    return d[1] > 0 || d[2] < 0;
}

float load(const char* p) {
    float v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

float voxel_position(float first, float last, std::uint64_t i, std::uint64_t n) {
    return first + ((last - first) * static_cast<float>(i)) / static_cast<float>(n - 1);
}

// The 26 neighbours of an interior voxel as byte offsets, with their tie flags, built once
// per call and shared by all workers.
struct Neighbourhood {
    std::array<std::ptrdiff_t, 26> offset{};
    std::array<bool, 26> strict{};

    explicit Neighbourhood(const View3<float>& volume) {
        // Nearest neighbours first (same line, then same plane): on the flank of a spot they
        // are the likeliest to be brighter, so most voxels are settled after one or two reads.
        NeighbourOffsets3D offsets = neighbour_offsets_3d();
        std::stable_sort(offsets.begin(), offsets.end(), [](const auto& a, const auto& b) {
            const auto rank = [](const auto& d) { return 4 * (d[0] != 0) + 2 * (d[1] != 0) + (d[2] != 0); };
            return rank(a) < rank(b);
        });
        for (std::size_t n = 0; n < offsets.size(); ++n) {
            const auto& d = offsets[n];
            offset[n] = d[0] * volume.strides[0] + d[1] * volume.strides[1] + d[2] * volume.strides[2];
            strict[n] = rejects_on_tie(d);
        }
    }

    // A tie-rejecting neighbour must be strictly smaller, any other one not larger. Each
    // neighbour is tested on its own, so the answer does not depend on their order.
    bool is_peak_in_neighborhood(const char* centre, float v) const {
        for (std::size_t n = 0; n < 26; ++n) {
            const float w = load(centre + offset[n]);
            if (w > v) return false;
            if (strict[n] && !(w < v)) return false;
        }
        return true;
    }
};

// Four floats compared at once (GCC/Clang vector extensions; plain SSE2 on x86-64).
typedef float Float4 __attribute__((vector_size(16)));
typedef std::int32_t Mask4 __attribute__((vector_size(16)));

// True when any of the 16 contiguous floats at p is not below the threshold (NaN included).
bool any_reaches(const char* p, float threshold) {
    Mask4 passing{};
    for (std::size_t q = 0; q < 4; ++q) {
        Float4 v;
        std::memcpy(&v, p + q * sizeof(Float4), sizeof v);
        passing |= ~(v < threshold);
    }
    return (passing[0] | passing[1]) | (passing[2] | passing[3]);
}

// Scans the interior voxels of one line. Most voxels lie below the threshold, so blocks of
// a contiguous line are first tested as a whole.
template <class Emit>
void scan_line(const char* line, std::ptrdiff_t step, std::size_t n2, float threshold, const Neighbourhood& hood,
               Emit&& emit) {
    constexpr std::size_t block = 16;
    std::size_t k = 1;
    const std::size_t end = n2 - 1;
    if (step == static_cast<std::ptrdiff_t>(sizeof(float)) && end >= 1 + block) {
        for (; k + block <= end; k += block) {
            const char* p = line + k * sizeof(float);
            if (!any_reaches(p, threshold)) continue;
            for (std::size_t b = 0; b < block; ++b) {
                const float v = load(p + b * sizeof(float));
                if (!(v < threshold) && hood.is_peak_in_neighborhood(p + b * sizeof(float), v)) emit(k + b, v);
            }
        }
        // The rest of the line is tested as the last whole block, overlapping the one before.
        if (k < end && !any_reaches(line + (end - block) * sizeof(float), threshold)) k = end;
    }
    for (; k < end; ++k) {
        const char* p = line + static_cast<std::ptrdiff_t>(k) * step;
        const float v = load(p);
        if (!(v < threshold) && hood.is_peak_in_neighborhood(p, v)) emit(k, v);
    }
}

struct PeakFinder {
    const View3<float>& volume;
    const DetectionExtent3D& extent;
    float threshold;
    Neighbourhood hood;

    // Appends the candidates of line (i0, i1) to `out`, in increasing axis-2 order.
    void find_peaks(std::uint64_t i0, std::uint64_t i1, std::vector<Peak3D>& out) const {
        const char* line = volume.data + static_cast<std::ptrdiff_t>(i0) * volume.strides[0] +
                           static_cast<std::ptrdiff_t>(i1) * volume.strides[1];
        const float p0 = voxel_position(extent.first(0), extent.last(0), i0, volume.shape[0]);
        const float p1 = voxel_position(extent.first(1), extent.last(1), i1, volume.shape[1]);
        scan_line(line, volume.strides[2], volume.shape[2], threshold, hood, [&](std::size_t i2, float v) {
            Peak3D peak;
            peak.index = {i0, i1, i2};
            peak.position = {p0, p1, voxel_position(extent.first(2), extent.last(2), i2, volume.shape[2])};
            peak.intensity = v;
            out.push_back(peak);
        });
    }
};

bool has_interior(const View3<float>& volume) {
    return volume.shape[0] >= 3 && volume.shape[1] >= 3 && volume.shape[2] >= 3;
}

float squared_distance(const std::array<float, 3>& a, const std::array<float, 3>& b) {
    const float d0 = a[0] - b[0], d1 = a[1] - b[1], d2 = a[2] - b[2];
    return (d0 * d0 + d1 * d1) + d2 * d2;
}

std::vector<Peak3D> thin_brute_force(const std::vector<Peak3D>& sorted, float d2) {
    std::vector<Peak3D> kept;
    for (const Peak3D& p : sorted) {
        bool near = false;
        for (const Peak3D& k : kept)
            if (squared_distance(p.position, k.position) < d2) {
                near = true;
                break;
            }
        if (!near) kept.push_back(p);
    }
    return kept;
}

// The same greedy thinning with the kept peaks binned in a grid of cells at least a little
// wider than the distance on each axis: a kept peak outside the 27 cells round a candidate
// is then farther than the distance even after rounding, so only those cells are searched
// and the result equals the brute-force one. Needs finite positions and a normal d2.
std::vector<Peak3D> thin_with_grid(const std::vector<Peak3D>& sorted, float min_distance, float d2) {
    std::array<double, 3> lo, hi;
    lo.fill(std::numeric_limits<double>::infinity());
    hi.fill(-std::numeric_limits<double>::infinity());
    for (const Peak3D& p : sorted)
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::min(lo[k], static_cast<double>(p.position[k]));
            hi[k] = std::max(hi[k], static_cast<double>(p.position[k]));
        }
    const double budget = std::min(double(1 << 22), 8.0 * static_cast<double>(sorted.size()) + 64.0);
    const double per_axis = std::ceil(std::cbrt(budget));
    std::array<double, 3> cell;
    std::array<std::int64_t, 3> cells;
    for (int k = 0; k < 3; ++k) {
        cell[k] = std::max(std::fabs(static_cast<double>(min_distance)) * 1.001, (hi[k] - lo[k]) / per_axis);
        cells[k] = static_cast<std::int64_t>((hi[k] - lo[k]) / cell[k]) + 1;
    }
    auto cell_of = [&](const Peak3D& p, int k) {
        const auto c = static_cast<std::int64_t>((static_cast<double>(p.position[k]) - lo[k]) / cell[k]);
        return std::clamp<std::int64_t>(c, 0, cells[k] - 1);
    };
    std::vector<std::int64_t> head(static_cast<std::size_t>(cells[0] * cells[1] * cells[2]), -1);
    std::vector<std::int64_t> next;
    std::vector<Peak3D> kept;
    for (const Peak3D& p : sorted) {
        const std::int64_t c0 = cell_of(p, 0), c1 = cell_of(p, 1), c2 = cell_of(p, 2);
        bool near = false;
        for (std::int64_t a = std::max<std::int64_t>(c0 - 1, 0); !near && a <= std::min(c0 + 1, cells[0] - 1); ++a)
            for (std::int64_t b = std::max<std::int64_t>(c1 - 1, 0); !near && b <= std::min(c1 + 1, cells[1] - 1);
                 ++b)
                for (std::int64_t c = std::max<std::int64_t>(c2 - 1, 0); !near && c <= std::min(c2 + 1, cells[2] - 1);
                     ++c)
                    for (std::int64_t q = head[static_cast<std::size_t>((a * cells[1] + b) * cells[2] + c)]; q >= 0;
                         q = next[static_cast<std::size_t>(q)])
                        if (squared_distance(p.position, kept[static_cast<std::size_t>(q)].position) < d2) {
                            near = true;
                            break;
                        }
        if (near) continue;
        auto& slot = head[static_cast<std::size_t>((c0 * cells[1] + c1) * cells[2] + c2)];
        next.push_back(slot);
        slot = static_cast<std::int64_t>(kept.size());
        kept.push_back(p);
    }
    return kept;
}

}  // namespace

void sort_peaks_by_intensity(std::vector<Peak3D>& peaks) {
    pool::parallel_sort_unstable(peaks, [](const Peak3D& a, const Peak3D& b) { return b.intensity < a.intensity; });
}

std::vector<Peak3D> thin_peaks_by_distance(const std::vector<Peak3D>& sorted, float min_distance) {
    const float d2 = min_distance * min_distance;
    if (!(d2 > 0.0f)) return sorted;  // zero or NaN: no distance is below it
    const bool finite = std::all_of(sorted.begin(), sorted.end(), [](const Peak3D& p) {
        return std::isfinite(p.position[0]) && std::isfinite(p.position[1]) && std::isfinite(p.position[2]);
    });
    if (sorted.size() < 64 || !finite || !std::isnormal(d2)) return thin_brute_force(sorted, d2);
    return thin_with_grid(sorted, min_distance, d2);
}

std::vector<Peak3D> detect_peaks_3d(const View3<float>& volume, const DetectionExtent3D& extent, float threshold,
                                    float min_distance) {
    if (!has_interior(volume)) return {};
    const PeakFinder finder{volume, extent, threshold, Neighbourhood(volume)};
    const std::size_t lines0 = volume.shape[0] - 2, lines1 = volume.shape[1] - 2;
    const std::size_t lines = lines0 * lines1;
    // About 32k voxels per task, so that small volumes are scanned inline.
    const std::size_t grain = std::max<std::size_t>(1, (std::size_t(1) << 15) / volume.shape[2]);
    const std::size_t tasks = (lines + grain - 1) / grain;
    std::vector<std::vector<Peak3D>> found(tasks);
    pool::run(tasks, [&](std::size_t t) {
        const std::size_t end = std::min(lines, (t + 1) * grain);
        for (std::size_t line = t * grain; line < end; ++line)
            finder.find_peaks(1 + line / lines1, 1 + line % lines1, found[t]);
    });
    std::size_t total = 0;
    for (const auto& f : found) total += f.size();
    std::vector<Peak3D> candidates;
    candidates.reserve(total);
    for (auto& f : found) candidates.insert(candidates.end(), f.begin(), f.end());
    sort_peaks_by_intensity(candidates);
    return thin_peaks_by_distance(candidates, min_distance);
}

PeakArrays3D build_output_arrays(const std::vector<Peak3D>& peaks) {
    std::vector<float> positions;
    std::vector<float> intensities;
    positions.reserve(3 * peaks.size());
    intensities.reserve(peaks.size());
    for (const Peak3D& p : peaks) {
        positions.insert(positions.end(), p.position.begin(), p.position.end());
        intensities.push_back(p.intensity);
    }
    return {std::move(positions), std::move(intensities)};
}

}  // namespace trakora
