#include "detect/detection.hpp"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/errors.hpp"
#include "core/neighbours.hpp"
#include "core/pool.hpp"

namespace trakora::detect {
namespace {

// ---- what differs by dimension -----------------------------------------------------------

template <std::size_t D>
struct Rules;

template <>
struct Rules<2> {
    using Peak = Peak2D;
    using Extent = Extent2D;

    // Tie rule: an equal (or NaN) neighbour later in raster order rejects the pixel, an
    // earlier one does not, so a plateau yields its first pixel in raster order.
    static constexpr bool rejects_on_tie(const Offset<2>& d) { return d[0] > 0 || (d[0] == 0 && d[1] > 0); }

    // Positions: first + spacing * i, the spacing computed once per axis. The two position
    // formulas differ in float order, and each is part of the results bit for bit.
    struct Positions {
        std::array<float, 2> first{};
        std::array<float, 2> spacing{};
        Positions(const Extent2D& extent, const std::array<std::size_t, 2>& shape) : first(extent.first) {
            for (std::size_t k = 0; k < 2; ++k)
                spacing[k] = (extent.last[k] - extent.first[k]) / static_cast<float>(shape[k] - 1);
        }
        float at(std::size_t axis, std::size_t i) const { return first[axis] + spacing[axis] * static_cast<float>(i); }
    };

    static Peak2D make_peak(const std::array<std::size_t, 2>& index, const std::array<float, 2>& position, float v) {
        Peak2D p;
        p.row = index[0];
        p.col = index[1];
        p.position = position;
        p.intensity = v;
        return p;
    }
};

template <>
struct Rules<3> {
    using Peak = Peak3D;
    using Extent = DetectionExtent3D;

    // Tie rule: an equal (or NaN) neighbour in a later axis-0 plane rejects the voxel, one in
    // an earlier plane does not; within the plane a larger axis-1 index or a smaller axis-2
    // index rejects it.
    static constexpr bool rejects_on_tie(const Offset<3>& d) {
        if (d[0] != 0) return d[0] > 0;
        return d[1] > 0 || d[2] < 0;
    }

    // Positions: first + ((last - first) * i) / (n - 1), in this order for every voxel.
    struct Positions {
        DetectionExtent3D extent;
        std::array<std::size_t, 3> shape{};
        Positions(const DetectionExtent3D& e, const std::array<std::size_t, 3>& s) : extent(e), shape(s) {}
        float at(std::size_t axis, std::size_t i) const {
            const float first = extent.first(axis), last = extent.last(axis);
            return first + ((last - first) * static_cast<float>(i)) / static_cast<float>(shape[axis] - 1);
        }
    };

    static Peak3D make_peak(const std::array<std::size_t, 3>& index, const std::array<float, 3>& position, float v) {
        Peak3D p;
        p.index = {index[0], index[1], index[2]};
        p.position = position;
        p.intensity = v;
        return p;
    }
};

// ---- the neighbourhood rule --------------------------------------------------------------

float load(const char* p) {
    float v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <std::size_t D>
const char* element(const View<float, D>& view, const std::array<std::size_t, D>& index) {
    const char* p = view.data;
    for (std::size_t k = 0; k < D; ++k) p += static_cast<std::ptrdiff_t>(index[k]) * view.strides[k];
    return p;
}

// The neighbours of an interior element as byte offsets with their tie flags, built once
// per call and shared by all workers.
template <std::size_t D>
struct Neighbourhood {
    std::array<std::ptrdiff_t, neighbour_count<D>> offset{};
    std::array<bool, neighbour_count<D>> strict{};  // an equal or NaN neighbour rejects

    explicit Neighbourhood(const View<float, D>& view) {
        // Nearest neighbours first (same line, then same plane): on the flank of a spot they
        // are the likeliest to be brighter, so most elements are settled after one or two
        // reads. Each neighbour is tested on its own, so the order never changes the answer.
        auto offsets = neighbour_offsets<D>;
        const auto rank = [](const Offset<D>& d) {
            int r = 0;
            for (std::size_t k = 0; k < D; ++k) r = 2 * r + (d[k] != 0);
            return r;
        };
        std::stable_sort(offsets.begin(), offsets.end(), [&](const auto& a, const auto& b) { return rank(a) < rank(b); });
        for (std::size_t n = 0; n < offsets.size(); ++n) {
            for (std::size_t k = 0; k < D; ++k) offset[n] += offsets[n][k] * view.strides[k];
            strict[n] = Rules<D>::rejects_on_tie(offsets[n]);
        }
    }

    // No neighbour is larger, and each tie-rejecting one is strictly smaller.
    bool admits(const char* centre, float v) const {
        for (std::size_t n = 0; n < offset.size(); ++n) {
            const float w = load(centre + offset[n]);
            if (w > v || (strict[n] && !(w < v))) return false;
        }
        return true;
    }
};

// ---- scan --------------------------------------------------------------------------------

// Elements tested at once by the threshold pre-test.
constexpr std::size_t block = 16;

// Bit b set when float b of the `block` contiguous floats at p is not below the threshold
// (a NaN included): the pre-test of dense lines, the one vector code of the detector. Four
// floats per compare through the GCC/Clang vector extensions (SSE2 on x86-64, NEON on ARM),
// unaligned loads. Nearly every block yields 0, which takes one combined test; only the
// others gather their bits (one movmskps per four on x86-64, lane by lane elsewhere).
inline unsigned reaching_bits(const char* p, float threshold) {
    typedef float Float4 __attribute__((vector_size(16)));
    typedef std::int32_t Mask4 __attribute__((vector_size(16)));  // lanes all ones or all zeros
    const auto lane_bits = [](Mask4 m) {
#if defined(__SSE2__)
        return static_cast<unsigned>(_mm_movemask_ps(reinterpret_cast<__m128>(m)));
#else
        return static_cast<unsigned>((m[0] & 1) | (m[1] & 2) | (m[2] & 4) | (m[3] & 8));
#endif
    };
    std::array<Mask4, block / 4> reaching;
    Mask4 any{};
    for (std::size_t q = 0; q < reaching.size(); ++q) {
        Float4 v;
        std::memcpy(&v, p + q * sizeof v, sizeof v);
        reaching[q] = ~(v < threshold);
        any |= reaching[q];
    }
    if (lane_bits(any) == 0) return 0;
    unsigned bits = 0;
    for (std::size_t q = 0; q < reaching.size(); ++q) bits |= lane_bits(reaching[q]) << (4 * q);
    return bits;
}

template <std::size_t D>
struct Scanner {
    using Peak = typename Rules<D>::Peak;

    const View<float, D>& view;
    float threshold;
    Neighbourhood<D> hood;
    typename Rules<D>::Positions positions;

    // Appends the peaks of interior line `line` (all indices but the last) to `out`, in
    // increasing last index. Nearly every element fails the threshold: on a dense line,
    // blocks where all do are skipped after one cheap test.
    void scan_line(const std::array<std::size_t, D - 1>& line, std::vector<Peak>& out) const {
        std::array<std::size_t, D> index{};
        std::array<float, D> position{};
        for (std::size_t k = 0; k + 1 < D; ++k) {
            index[k] = line[k];
            position[k] = positions.at(k, line[k]);
        }
        const char* base = element(view, index);
        const std::ptrdiff_t step = view.strides[D - 1];
        const std::size_t end = view.shape[D - 1] - 1;
        const auto emit = [&](std::size_t i) {
            index[D - 1] = i;
            position[D - 1] = positions.at(D - 1, i);
            out.push_back(Rules<D>::make_peak(index, position, load(base + static_cast<std::ptrdiff_t>(i) * step)));
        };
        // Element i reaches the threshold and passes the neighbourhood rule.
        const auto test = [&](std::size_t i) {
            const char* p = base + static_cast<std::ptrdiff_t>(i) * step;
            const float v = load(p);
            if (!(v < threshold) && hood.admits(p, v)) emit(i);
        };
        std::size_t i = 1;
        if (step == static_cast<std::ptrdiff_t>(sizeof(float)) && end >= 1 + block) {
            // The next line is fetched ahead: passing blocks read it as a neighbour, and it is
            // scanned next, so the array still streams through memory once.
            const char* next_line = base + view.strides[D - 2];
            for (; i + block <= end; i += block) {
                if (i + 5 * block <= end) __builtin_prefetch(next_line + (i + 4 * block) * sizeof(float));
                // Only the elements that reach the threshold meet the neighbourhood rule.
                for (unsigned bits = reaching_bits(base + i * sizeof(float), threshold); bits != 0; bits &= bits - 1) {
                    const std::size_t e = i + static_cast<std::size_t>(std::countr_zero(bits));
                    const char* p = base + e * sizeof(float);
                    if (hood.admits(p, load(p))) emit(e);
                }
            }
            // The rest of the line is pre-tested as the last whole block, overlapping the one before.
            if (i < end && reaching_bits(base + (end - block) * sizeof(float), threshold) == 0) i = end;
        }
        for (; i < end; ++i) test(i);
    }
};

template <std::size_t D>
bool has_interior(const View<float, D>& view) {
    return std::all_of(view.shape.begin(), view.shape.end(), [](std::size_t n) { return n >= 3; });
}

// Interior line number l (raster order of the first D - 1 axes) as indices.
template <std::size_t D>
std::array<std::size_t, D - 1> interior_line(std::size_t l, const std::array<std::size_t, D>& shape) {
    std::array<std::size_t, D - 1> line{};
    for (std::size_t k = D - 1; k-- > 0;) {
        const std::size_t n = shape[k] - 2;
        line[k] = 1 + l % n;
        l /= n;
    }
    return line;
}

// ---- thin --------------------------------------------------------------------------------

template <class Peak>
bool finite_position(const Peak& p) {
    return std::all_of(p.position.begin(), p.position.end(), [](float x) { return std::isfinite(x); });
}

template <class Peak>
bool too_close(const Peak& a, const Peak& b, float d2) {
    float sum = 0.0f;
    for (std::size_t k = 0; k < a.position.size(); ++k) {
        const float d = a.position[k] - b.position[k];
        sum = k == 0 ? d * d : sum + d * d;
    }
    return sum < d2;
}

// The greedy rule as stated, every candidate against every kept peak, except that peaks
// with a non-finite coordinate skip the comparisons: their distance to any peak is NaN or
// infinite, which never passes the test (not even against an infinite d2).
template <class Peak>
std::vector<Peak> thin_quadratic(const std::vector<Peak>& sorted, float d2) {
    std::vector<Peak> kept;
    std::vector<Peak> kept_finite;
    for (const Peak& p : sorted) {
        if (finite_position(p)) {
            const auto close = [&](const Peak& k) { return too_close(k, p, d2); };
            if (std::any_of(kept_finite.begin(), kept_finite.end(), close)) continue;
            kept_finite.push_back(p);
        }
        kept.push_back(p);
    }
    return kept;
}

// The same rule with kept peaks filed in a grid of cubic cells at least 1% wider than the
// largest coordinate difference that can pass the float test (sqrt(d2), or sqrt(FLT_MIN)
// when d2 is subnormal, where squares round coarsely): any pair that passes lies in
// adjacent cells, so only those are compared and the result (set and order) is exactly that
// of thin_quadratic. Peaks with a non-finite coordinate stay out of the grid.
template <class Peak>
std::vector<Peak> thin_with_grid(const std::vector<Peak>& sorted, float d2) {
    constexpr std::size_t D = std::tuple_size_v<decltype(Peak::position)>;
    std::array<double, D> lo, hi;
    lo.fill(std::numeric_limits<double>::infinity());
    hi.fill(-std::numeric_limits<double>::infinity());
    std::size_t n_finite = 0;
    for (const Peak& p : sorted) {
        if (!finite_position(p)) continue;
        ++n_finite;
        for (std::size_t k = 0; k < D; ++k) {
            lo[k] = std::min(lo[k], double(p.position[k]));
            hi[k] = std::max(hi[k], double(p.position[k]));
        }
    }
    // Wider cells are always correct; cap the grid at a few cells per peak.
    const double budget = std::min(double(1 << 22), 4.0 * double(n_finite) + 64.0);
    const double per_axis = std::ceil(D == 2 ? std::sqrt(budget) : std::cbrt(budget));
    double cell = 1.01 * std::sqrt(std::max(double(d2), double(FLT_MIN)));
    std::array<std::size_t, D> cells;
    cells.fill(1);
    if (n_finite > 0) {
        for (std::size_t k = 0; k < D; ++k) cell = std::max(cell, (hi[k] - lo[k]) / per_axis);
        for (std::size_t k = 0; k < D; ++k) cells[k] = static_cast<std::size_t>((hi[k] - lo[k]) / cell) + 1;
    }
    std::size_t total = 1;
    for (std::size_t n : cells) total *= n;

    constexpr std::size_t none = std::numeric_limits<std::size_t>::max();
    std::vector<std::size_t> head(total, none);
    std::vector<std::size_t> next;  // next kept peak in the same cell, by output index
    std::vector<Peak> kept;
    constexpr std::size_t around = D == 2 ? 9 : 27;
    for (const Peak& p : sorted) {
        if (!finite_position(p)) {
            kept.push_back(p);
            next.push_back(none);
            continue;
        }
        std::array<std::size_t, D> at;
        for (std::size_t k = 0; k < D; ++k)
            at[k] = std::min(cells[k] - 1, static_cast<std::size_t>((double(p.position[k]) - lo[k]) / cell));
        bool dropped = false;
        for (std::size_t code = 0; code < around && !dropped; ++code) {
            // Cell at + (digit - 1) per axis, the digits of `code` in base 3.
            std::array<std::size_t, D> shifted;  // the cell index plus one
            for (std::size_t k = D, rest = code; k-- > 0; rest /= 3) shifted[k] = at[k] + rest % 3;
            bool inside = true;
            std::size_t flat = 0;
            for (std::size_t k = 0; k < D; ++k) {
                inside = inside && shifted[k] >= 1 && shifted[k] <= cells[k];
                flat = flat * cells[k] + (shifted[k] - 1);
            }
            if (!inside) continue;
            for (std::size_t q = head[flat]; q != none; q = next[q])
                if (too_close(kept[q], p, d2)) {
                    dropped = true;
                    break;
                }
        }
        if (dropped) continue;
        std::size_t flat = 0;
        for (std::size_t k = 0; k < D; ++k) flat = flat * cells[k] + at[k];
        kept.push_back(p);
        next.push_back(head[flat]);
        head[flat] = kept.size() - 1;
    }
    return kept;
}

template <class Peak>
std::vector<Peak> thin(const std::vector<Peak>& sorted, float min_distance) {
    const float d2 = min_distance * min_distance;
    // No squared distance is below 0 or NaN.
    if (!(d2 > 0.0f)) return sorted;
    // An infinite d2 needs no grid: every finite distance passes, so few peaks are kept.
    if (d2 > FLT_MAX) return thin_quadratic(sorted, d2);
    return thin_with_grid(sorted, d2);
}

template <class Peak>
void sort_brightest_first(std::vector<Peak>& peaks) {
    parallel_sort_unstable(peaks, [](const Peak& a, const Peak& b) { return b.intensity < a.intensity; });
}

// ---- the skeleton ------------------------------------------------------------------------

template <std::size_t D>
std::vector<typename Rules<D>::Peak> detect(const View<float, D>& view, const typename Rules<D>::Extent& extent,
                                            float threshold, float min_distance) {
    using Peak = typename Rules<D>::Peak;
    if (!has_interior(view)) return {};
    const Scanner<D> scanner{view, threshold, Neighbourhood<D>(view), typename Rules<D>::Positions(extent, view.shape)};

    // Interior lines in tasks of about 32k elements (small arrays run inline as one task);
    // each task keeps its lines' peaks in raster order and tasks are joined in line order.
    std::size_t lines = 1;
    for (std::size_t k = 0; k + 1 < D; ++k) lines *= view.shape[k] - 2;
    const std::size_t grain = std::max<std::size_t>(1, (std::size_t(1) << 15) / view.shape[D - 1]);
    const std::size_t tasks = (lines + grain - 1) / grain;
    auto parts = parallel_map<std::vector<Peak>>(tasks, 1, [&](std::size_t t) {
        std::vector<Peak> found;
        const std::size_t end = std::min(lines, (t + 1) * grain);
        for (std::size_t l = t * grain; l < end; ++l) scanner.scan_line(interior_line<D>(l, view.shape), found);
        return found;
    });
    std::size_t total = 0;
    for (const auto& part : parts) total += part.size();
    std::vector<Peak> peaks;
    peaks.reserve(total);
    for (const auto& part : parts) peaks.insert(peaks.end(), part.begin(), part.end());

    sort_brightest_first(peaks);
    return thin(peaks, min_distance);
}

template <std::size_t D>
std::vector<typename Rules<D>::Peak> find_line_peaks(const View<float, D>& view,
                                                     const typename Rules<D>::Extent& extent, float threshold,
                                                     const std::array<std::size_t, D - 1>& line) {
    std::vector<typename Rules<D>::Peak> out;
    if (!has_interior(view)) return out;
    for (std::size_t k = 0; k + 1 < D; ++k)
        if (line[k] == 0 || line[k] + 1 >= view.shape[k])
            throw InternalError("find_peaks: line index " + std::to_string(line[k]) + " is not interior");
    const Scanner<D> scanner{view, threshold, Neighbourhood<D>(view), typename Rules<D>::Positions(extent, view.shape)};
    scanner.scan_line(line, out);
    return out;
}

template <std::size_t D>
bool is_peak_at(const View<float, D>& view, const std::array<std::size_t, D>& index) {
    const float v = load(element(view, index));
    for (const Offset<D>& d : neighbour_offsets<D>) {
        std::array<std::size_t, D> at;
        for (std::size_t k = 0; k < D; ++k) at[k] = static_cast<std::size_t>(static_cast<std::int64_t>(index[k]) + d[k]);
        const float w = load(element(view, at));
        if (w > v) return false;
        if (Rules<D>::rejects_on_tie(d) && !(w < v)) return false;
    }
    return true;
}

template <class Peak>
PeakArrays output_arrays(const std::vector<Peak>& peaks) {
    PeakArrays out;
    out.positions.reserve(peaks.size() * std::tuple_size_v<decltype(Peak::position)>);
    out.intensities.reserve(peaks.size());
    for (const Peak& p : peaks) {
        out.positions.insert(out.positions.end(), p.position.begin(), p.position.end());
        out.intensities.push_back(p.intensity);
    }
    return out;
}

}  // namespace

bool is_peak(const View2<float>& image, const std::array<std::size_t, 2>& index) { return is_peak_at(image, index); }
bool is_peak(const View3<float>& volume, const std::array<std::size_t, 3>& index) { return is_peak_at(volume, index); }

std::vector<Peak2D> find_peaks(const View2<float>& image, const Extent2D& extent, float threshold,
                               const std::array<std::size_t, 1>& line) {
    return find_line_peaks<2>(image, extent, threshold, line);
}
std::vector<Peak3D> find_peaks(const View3<float>& volume, const DetectionExtent3D& extent, float threshold,
                               const std::array<std::size_t, 2>& line) {
    return find_line_peaks<3>(volume, extent, threshold, line);
}

std::vector<Peak2D> detect_peaks(const View2<float>& image, const Extent2D& extent, float threshold,
                                 float min_distance) {
    return detect<2>(image, extent, threshold, min_distance);
}
std::vector<Peak3D> detect_peaks_3d(const View3<float>& volume, const DetectionExtent3D& extent, float threshold,
                                    float min_distance) {
    return detect<3>(volume, extent, threshold, min_distance);
}

void sort_peaks_by_intensity(std::vector<Peak2D>& peaks) { sort_brightest_first(peaks); }
void sort_peaks_by_intensity(std::vector<Peak3D>& peaks) { sort_brightest_first(peaks); }

std::vector<Peak2D> thin_peaks_by_distance(const std::vector<Peak2D>& sorted, float min_distance) {
    return thin(sorted, min_distance);
}
std::vector<Peak3D> thin_peaks_by_distance(const std::vector<Peak3D>& sorted, float min_distance) {
    return thin(sorted, min_distance);
}

PeakArrays build_output_arrays(const std::vector<Peak2D>& peaks) { return output_arrays(peaks); }
PeakArrays build_output_arrays(const std::vector<Peak3D>& peaks) { return output_arrays(peaks); }

}  // namespace trakora::detect
