#include "detection2d.hpp"

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

#include "errors.hpp"
#include "pool.hpp"

namespace trakora {
namespace {

// Index-to-physical mapping of one image: first + spacing · index per axis.
struct PixelMapping {
    std::array<float, 2> first{};
    std::array<float, 2> spacing{};

    PixelMapping(const Extent2D& extent, std::size_t rows, std::size_t cols) : first(extent.first) {
        spacing[0] = (extent.last[0] - extent.first[0]) / static_cast<float>(rows - 1);
        spacing[1] = (extent.last[1] - extent.first[1]) / static_cast<float>(cols - 1);
    }

    Peak2D peak(std::size_t row, std::size_t col, float value) const {
        Peak2D p;
        p.row = row;
        p.col = col;
        p.position = {first[0] + spacing[0] * static_cast<float>(row), first[1] + spacing[1] * static_cast<float>(col)};
        p.intensity = value;
        return p;
    }
};

// Rows can be read as plain float arrays when the last axis is dense and every row starts
// on a float boundary.
bool rows_are_float_arrays(const View2<float>& image) {
    return image.last_axis_contiguous() && reinterpret_cast<std::uintptr_t>(image.data) % alignof(float) == 0 &&
           image.strides[0] % static_cast<std::ptrdiff_t>(alignof(float)) == 0;
}

const float* row_pointer(const View2<float>& image, std::size_t row) {
    return reinterpret_cast<const float*>(image.data + static_cast<std::ptrdiff_t>(row) * image.strides[0]);
}

// The neighbourhood rule on dense rows: earlier neighbours must not be brighter, later
// ones must be strictly darker (so an equal or NaN later neighbour rejects the centre).
inline bool is_peak_in_rows(const float* up, const float* mid, const float* down, std::size_t c, float v) {
    if (up[c - 1] > v || up[c] > v || up[c + 1] > v || mid[c - 1] > v) return false;
    return mid[c + 1] < v && down[c - 1] < v && down[c] < v && down[c + 1] < v;
}

// Pixels tested at once: four vectors of four floats.
constexpr std::size_t block = 16;

// True when all `block` values starting at p are below the threshold (a NaN is not below).
inline bool all_below(const float* p, float threshold) {
#if defined(__SSE2__)
    const __m128 t = _mm_set1_ps(threshold);
    const auto below = [&](const float* q) { return _mm_cmplt_ps(_mm_loadu_ps(q), t); };
    const __m128 all = _mm_and_ps(_mm_and_ps(below(p), below(p + 4)), _mm_and_ps(below(p + 8), below(p + 12)));
    return _mm_movemask_ps(all) == 0xF;
#else
    bool below = true;
    for (std::size_t k = 0; k < block; ++k) below &= p[k] < threshold;
    return below;
#endif
}

// Bit k is set when pixel c + k of the middle row reaches the threshold and is a peak.
inline unsigned peak_bits(const float* up, const float* mid, const float* down, std::size_t c, float threshold) {
    unsigned bits = 0;
#if defined(__SSE2__)
    const __m128 t = _mm_set1_ps(threshold);
    for (std::size_t q = 0; q < block; q += 4) {
        const std::size_t k = c + q;
        const __m128 v = _mm_loadu_ps(mid + k);
        const auto brighter = [&](const float* p) { return _mm_cmpgt_ps(_mm_loadu_ps(p), v); };
        const auto not_darker = [&](const float* p) { return _mm_cmpnlt_ps(_mm_loadu_ps(p), v); };  // NaN too
        const __m128 reject = _mm_or_ps(
            _mm_or_ps(_mm_or_ps(_mm_cmplt_ps(v, t), brighter(up + k - 1)), _mm_or_ps(brighter(up + k), brighter(up + k + 1))),
            _mm_or_ps(_mm_or_ps(brighter(mid + k - 1), not_darker(mid + k + 1)),
                      _mm_or_ps(_mm_or_ps(not_darker(down + k - 1), not_darker(down + k)), not_darker(down + k + 1))));
        bits |= static_cast<unsigned>(~_mm_movemask_ps(reject) & 0xF) << q;
    }
#else
    for (std::size_t k = 0; k < block; ++k) {
        const float v = mid[c + k];
        if (!(v < threshold) && is_peak_in_rows(up, mid, down, c + k, v)) bits |= 1u << k;
    }
#endif
    return bits;
}

void scan_dense_row(const View2<float>& image, const PixelMapping& mapping, float threshold, std::size_t row,
                    std::vector<Peak2D>& out) {
    const float* up = row_pointer(image, row - 1);
    const float* mid = row_pointer(image, row);
    const float* down = row_pointer(image, row + 1);
    const std::size_t end = image.shape[1] - 1;
    // Nearly every pixel fails the threshold: blocks where all do are skipped after one
    // cheap test; the others get the whole neighbourhood rule for all their pixels at once.
    // The row below is fetched ahead as well: blocks that pass read it, and it is the next
    // row's middle row, so the image still streams through memory once.
    std::size_t c = 1;
    for (; c + block <= end; c += block) {
#if defined(__SSE2__)
        if (c + 5 * block <= end) _mm_prefetch(reinterpret_cast<const char*>(down + c + 4 * block), _MM_HINT_T0);
#endif
        if (all_below(mid + c, threshold)) continue;
        for (unsigned bits = peak_bits(up, mid, down, c, threshold); bits != 0; bits &= bits - 1) {
            const std::size_t k = c + static_cast<std::size_t>(std::countr_zero(bits));
            out.push_back(mapping.peak(row, k, mid[k]));
        }
    }
    for (; c < end; ++c) {
        const float v = mid[c];
        if (!(v < threshold) && is_peak_in_rows(up, mid, down, c, v)) out.push_back(mapping.peak(row, c, v));
    }
}

void scan_strided_row(const View2<float>& image, const PixelMapping& mapping, float threshold, std::size_t row,
                      const NeighbourOffsets2D& offsets, std::vector<Peak2D>& out) {
    const std::size_t end = image.shape[1] - 1;
    for (std::size_t c = 1; c < end; ++c) {
        const float v = image(row, c);
        if (!(v < threshold) && is_peak_in_neighborhood(image, row, c, offsets)) out.push_back(mapping.peak(row, c, v));
    }
}

bool too_close(const Peak2D& a, const Peak2D& b, float d2) {
    const float d0 = a.position[0] - b.position[0];
    const float d1 = a.position[1] - b.position[1];
    return d0 * d0 + d1 * d1 < d2;
}

bool finite_position(const Peak2D& p) { return std::isfinite(p.position[0]) && std::isfinite(p.position[1]); }

// The same rule with kept peaks filed in a grid of cells at least 1% wider than the
// largest coordinate difference that can pass the float test (sqrt(d2), or sqrt(FLT_MIN)
// when d2 is subnormal, where squares round coarsely): any pair that passes lies in adjacent
// cells, so only those are compared and the result (set and order) is exactly that of
// thin_quadratic. Peaks with a non-finite coordinate stay out of the grid.
// The greedy rule as stated, every candidate against every kept peak, except that peaks
// with a non-finite coordinate skip the comparisons: their distance to any peak is NaN or
// infinite, which never passes the test (not even against an infinite d2).
std::vector<Peak2D> thin_quadratic(const std::vector<Peak2D>& sorted, float d2) {
    std::vector<Peak2D> kept;
    std::vector<Peak2D> kept_finite;
    for (const Peak2D& p : sorted) {
        if (finite_position(p)) {
            const auto close = [&](const Peak2D& k) { return too_close(k, p, d2); };
            if (std::any_of(kept_finite.begin(), kept_finite.end(), close)) continue;
            kept_finite.push_back(p);
        }
        kept.push_back(p);
    }
    return kept;
}

std::vector<Peak2D> thin_with_grid(const std::vector<Peak2D>& sorted, float d2) {
    double lo0 = std::numeric_limits<double>::infinity(), lo1 = lo0;
    double hi0 = -lo0, hi1 = -lo0;
    std::size_t n_finite = 0;
    for (const Peak2D& p : sorted) {
        if (!finite_position(p)) continue;
        ++n_finite;
        lo0 = std::min(lo0, double(p.position[0]));
        hi0 = std::max(hi0, double(p.position[0]));
        lo1 = std::min(lo1, double(p.position[1]));
        hi1 = std::max(hi1, double(p.position[1]));
    }
    // Wider cells are always correct; cap the grid at a few cells per peak.
    const double per_axis = std::ceil(std::sqrt(4.0 * double(n_finite) + 64.0));
    double cell = 1.01 * std::sqrt(std::max(double(d2), double(FLT_MIN)));
    if (n_finite > 0) cell = std::max({cell, (hi0 - lo0) / per_axis, (hi1 - lo1) / per_axis});
    const std::size_t nx = n_finite ? static_cast<std::size_t>((hi0 - lo0) / cell) + 1 : 1;
    const std::size_t ny = n_finite ? static_cast<std::size_t>((hi1 - lo1) / cell) + 1 : 1;

    constexpr std::size_t none = std::numeric_limits<std::size_t>::max();
    std::vector<std::size_t> head(nx * ny, none);
    std::vector<std::size_t> next;  // next kept peak in the same cell, by output index
    std::vector<Peak2D> kept;
    for (const Peak2D& p : sorted) {
        if (!finite_position(p)) {
            kept.push_back(p);
            next.push_back(none);
            continue;
        }
        const std::size_t ix = std::min(nx - 1, static_cast<std::size_t>((double(p.position[0]) - lo0) / cell));
        const std::size_t iy = std::min(ny - 1, static_cast<std::size_t>((double(p.position[1]) - lo1) / cell));
        bool dropped = false;
        for (std::size_t gx = ix == 0 ? 0 : ix - 1; gx <= std::min(nx - 1, ix + 1) && !dropped; ++gx)
            for (std::size_t gy = iy == 0 ? 0 : iy - 1; gy <= std::min(ny - 1, iy + 1) && !dropped; ++gy)
                for (std::size_t k = head[gx * ny + gy]; k != none; k = next[k])
                    if (too_close(kept[k], p, d2)) {
                        dropped = true;
                        break;
                    }
        if (dropped) continue;
        kept.push_back(p);
        next.push_back(head[ix * ny + iy]);
        head[ix * ny + iy] = kept.size() - 1;
    }
    return kept;
}

}  // namespace

bool is_peak_in_neighborhood(const View2<float>& image, std::size_t row, std::size_t col,
                             const NeighbourOffsets2D& offsets) {
    const auto rows = static_cast<std::int64_t>(image.shape[0]);
    const auto cols = static_cast<std::int64_t>(image.shape[1]);
    const float v = image(row, col);
    for (const auto& [dr, dc] : offsets) {
        const std::int64_t r = static_cast<std::int64_t>(row) + dr;
        const std::int64_t c = static_cast<std::int64_t>(col) + dc;
        if (r < 0 || c < 0 || r >= rows || c >= cols) continue;
        const float w = image(r, c);
        if (w > v) return false;
        if (w < v) continue;
        const bool later = dr > 0 || (dr == 0 && dc > 0);
        if (later) return false;
    }
    return true;
}

std::vector<Peak2D> find_peaks(const View2<float>& image, const Extent2D& extent, float threshold,
                               std::size_t row, const NeighbourOffsets2D& offsets) {
    std::vector<Peak2D> out;
    if (image.shape[1] < 3) return out;
    if (row == 0 || row + 1 >= image.shape[0]) throw InternalError("find_peaks: row " + std::to_string(row) + " is not interior");
    const PixelMapping mapping(extent, image.shape[0], image.shape[1]);
    if (rows_are_float_arrays(image))
        scan_dense_row(image, mapping, threshold, row, out);
    else
        scan_strided_row(image, mapping, threshold, row, offsets, out);
    return out;
}

void sort_peaks_by_intensity(std::vector<Peak2D>& peaks) {
    pool::parallel_sort_unstable(peaks, [](const Peak2D& a, const Peak2D& b) { return b.intensity < a.intensity; });
}

std::vector<Peak2D> thin_peaks_by_distance(const std::vector<Peak2D>& sorted, float min_distance) {
    const float d2 = min_distance * min_distance;
    // No squared distance is below 0 or NaN.
    if (!(d2 > 0.0f)) return sorted;
    // An infinite d2 needs no grid: every finite distance passes, so few peaks are kept.
    if (d2 > FLT_MAX) return thin_quadratic(sorted, d2);
    return thin_with_grid(sorted, d2);
}

std::vector<Peak2D> detect_peaks(const View2<float>& image, const Extent2D& extent, float threshold,
                                 float min_distance) {
    const std::size_t rows = image.shape[0];
    const std::size_t cols = image.shape[1];
    if (rows < 3 || cols < 3) return {};
    const NeighbourOffsets2D offsets = NEIGHBOUR_OFFSETS_2D;

    // Interior rows in tasks of about 64k pixels (small images run inline as one task);
    // each task keeps its rows' peaks in raster order and tasks are joined in row order.
    const std::size_t interior = rows - 2;
    const std::size_t grain = std::max<std::size_t>(1, (std::size_t(1) << 16) / cols);
    const std::size_t tasks = (interior + grain - 1) / grain;
    auto parts = pool::parallel_map<std::vector<Peak2D>>(tasks, 1, [&](std::size_t t) {
        std::vector<Peak2D> found;
        const std::size_t end = std::min(interior, (t + 1) * grain) + 1;
        for (std::size_t r = t * grain + 1; r < end; ++r) {
            const std::vector<Peak2D> row_peaks = find_peaks(image, extent, threshold, r, offsets);
            found.insert(found.end(), row_peaks.begin(), row_peaks.end());
        }
        return found;
    });
    std::size_t total = 0;
    for (const auto& part : parts) total += part.size();
    std::vector<Peak2D> peaks;
    peaks.reserve(total);
    for (const auto& part : parts) peaks.insert(peaks.end(), part.begin(), part.end());

    sort_peaks_by_intensity(peaks);
    return thin_peaks_by_distance(peaks, min_distance);
}

PeakArrays2D build_output_arrays(const std::vector<Peak2D>& peaks) {
    PeakArrays2D out;
    out.positions.reserve(2 * peaks.size());
    out.intensities.reserve(peaks.size());
    for (const Peak2D& p : peaks) {
        out.positions.push_back(p.position[0]);
        out.positions.push_back(p.position[1]);
        out.intensities.push_back(p.intensity);
    }
    return out;
}

}  // namespace trakora
