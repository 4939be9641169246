#include "localize/localize.hpp"

#include <cmath>
#include <cstring>

#include "core/neighbours.hpp"
#include "core/errors.hpp"
#include "localize/gaussian_fitting.hpp"
#include "localize/radial_symmetry.hpp"

namespace trakora::localize {
namespace {

Array<float, 2> copy_window(const View2<float>& image, std::size_t top, std::size_t left, std::size_t size) {
    Array<float, 2> window({size, size});
    const bool dense_rows = image.last_axis_contiguous();
    for (std::size_t i = 0; i < size; ++i) {
        float* dst = window.data.data() + i * size;
        if (dense_rows) {
            const char* src = image.data + static_cast<std::ptrdiff_t>(top + i) * image.strides[0] +
                              static_cast<std::ptrdiff_t>(left) * image.strides[1];
            std::memcpy(dst, src, size * sizeof(float));
        } else {
            for (std::size_t j = 0; j < size; ++j) dst[j] = image(top + i, left + j);
        }
    }
    return window;
}

float spacing(float first, float last, std::uint64_t n) {
    return n == 0 ? 0.0f : (last - first) / static_cast<float>(n - 1);
}

}  // namespace

std::uint64_t count_regional_maxima(const Array<float, 2>& window) {
    const std::size_t rows = window.shape[0];
    const std::size_t cols = window.shape[1];
    const std::size_t n = rows * cols;
    const std::vector<float>& value = window.data;
    std::vector<bool> mask(n, true);
    std::vector<bool> visited(n, false);
    std::vector<std::size_t> queue;  // also the region: it only grows while one region is filled
    for (std::size_t start = 0; start < n; ++start) {
        if (visited[start]) continue;
        const float v = value[start];
        visited[start] = true;
        queue.assign(1, start);
        bool is_maximum = true;
        for (std::size_t q = 0; q < queue.size(); ++q) {
            const auto i = static_cast<std::int64_t>(queue[q] / cols);
            const auto j = static_cast<std::int64_t>(queue[q] % cols);
            for (const auto& [di, dj] : neighbour_offsets<2>) {
                const std::int64_t ni = i + di;
                const std::int64_t nj = j + dj;
                if (ni < 0 || nj < 0 || ni >= static_cast<std::int64_t>(rows) || nj >= static_cast<std::int64_t>(cols))
                    continue;
                const std::size_t k = static_cast<std::size_t>(ni) * cols + static_cast<std::size_t>(nj);
                if (value[k] > v) {
                    is_maximum = false;
                } else if (value[k] == v && !visited[k]) {
                    visited[k] = true;
                    queue.push_back(k);
                }
            }
        }
        if (!is_maximum)
            for (std::size_t k : queue) mask[k] = false;
    }
    std::uint64_t count = 0;
    for (std::size_t k = 0; k < n; ++k)
        if (mask[k] && value[k] > 0.0f) ++count;
    return count;
}

std::array<float, 2> window_centroid(const Array<float, 2>& window) {
    const std::size_t rows = window.shape[0];
    const std::size_t cols = window.shape[1];
    float s = 0.0f, s0 = 0.0f, s1 = 0.0f;
    for (std::size_t i = 0; i < rows; ++i)
        for (std::size_t j = 0; j < cols; ++j) {
            const float v = window.data[i * cols + j];
            s += v;
            s0 += v * static_cast<float>(i);
            s1 += v * static_cast<float>(j);
        }
    if (s == 0.0f) return {0.0f, 0.0f};
    return {s0 / s - static_cast<float>(rows / 2), s1 / s - static_cast<float>(cols / 2)};
}

std::vector<Peak2D> localize_peaks(const View2<float>& image, const std::vector<Peak2D>& peaks, std::size_t window_size,
                             const DetectionGeometry2D& geometry, std::uint64_t max_window_maxima,
                             const WindowLocalizer& localizer, std::optional<std::uint64_t> max_num_peaks,
                             std::vector<std::uint8_t>* refined_flags) {
    if (geometry.rows != image.shape[0] || geometry.cols != image.shape[1])
        throw InternalError("localize: the geometry does not match the image");
    if (window_size < 3 || window_size % 2 == 0) throw InternalError("localize: the window size must be odd and >= 3");
    std::vector<Peak2D> out;
    if (refined_flags != nullptr) refined_flags->clear();
    const std::uint64_t rows = geometry.rows;
    const std::uint64_t cols = geometry.cols;
    const std::size_t w = window_size;
    if (peaks.empty() || rows < w || cols < w) return out;

    const std::size_t h = w / 2;
    const float hf = static_cast<float>(w) * 0.5f;
    const Extent2D& e = geometry.extent;
    const float s0 = spacing(e.first[0], e.last[0], rows);
    const float s1 = spacing(e.first[1], e.last[1], cols);

    for (const Peak2D& peak : peaks) {
        // The cap is a true maximum: checked before each peak, so a cap of 0 keeps none.
        if (max_num_peaks && out.size() >= *max_num_peaks) break;
        const std::uint64_t r = peak.row;
        const std::uint64_t c = peak.col;
        if (r < h || c < h || r + h >= rows || c + h >= cols) continue;
        const Array<float, 2> window = copy_window(image, r - h, c - h, w);

        Peak2D refined = peak;
        bool localized = false;
        if (count_regional_maxima(window) > max_window_maxima) {
            refined.position = {e.first[0] + s0 * static_cast<float>(r), e.first[1] + s1 * static_cast<float>(c)};
        } else {
            const auto offsets = localizer(window.view());
            if (!offsets) continue;
            auto [d0, d1] = *offsets;
            localized = !(std::fabs(d0) > hf || std::fabs(d1) > hf);
            if (!localized) {
                const auto centroid = window_centroid(window);
                d0 = centroid[0];
                d1 = centroid[1];
            }
            refined.position = {e.first[0] + (d0 + static_cast<float>(r)) * s0,
                                e.first[1] + (d1 + static_cast<float>(c)) * s1};
        }
        out.push_back(refined);
        if (refined_flags != nullptr) refined_flags->push_back(localized ? 1 : 0);
    }
    return out;
}

std::vector<Peak2D> localize_peaks(const View2<float>& image, const std::vector<Peak2D>& peaks, std::size_t window_size,
                             const DetectionGeometry2D& geometry, std::uint64_t max_window_maxima,
                             LocalizationMethod method, std::optional<std::uint64_t> max_num_peaks,
                             std::vector<std::uint8_t>* refined) {
    const WindowLocalizer localizer = method == LocalizationMethod::RadialSymmetry
                                          ? WindowLocalizer(localize_radial_symmetry)
                                          : WindowLocalizer(localize_gaussian_fitting);
    return localize_peaks(image, peaks, window_size, geometry, max_window_maxima, localizer, max_num_peaks, refined);
}

}  // namespace trakora::localize
