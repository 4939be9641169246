#include "radial_symmetry2d.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace trakora {

Array<float, 2> apply_averaging_filter(const Array<float, 2>& input) {
    const std::size_t n = input.shape[0];
    const std::size_t m = input.shape[1];
    Array<float, 2> out({n, m});
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t i0 = i == 0 ? 0 : i - 1;
        const std::size_t i1 = std::min(i + 1, n - 1);
        for (std::size_t j = 0; j < m; ++j) {
            const std::size_t j0 = j == 0 ? 0 : j - 1;
            const std::size_t j1 = std::min(j + 1, m - 1);
            float sum = 0.0f;
            for (std::size_t a = i0; a <= i1; ++a)
                for (std::size_t b = j0; b <= j1; ++b) sum += input.data[a * m + b];
            out.data[i * m + j] = sum / 9.0f;
        }
    }
    return out;
}

std::optional<std::array<float, 2>> localize_radial_symmetry(const View2<float>& window) {
    const std::size_t H = window.shape[0];
    const std::size_t W = window.shape[1];
    if (H == 0 || W == 0) return std::nullopt;
    const std::size_t n = H - 1;  // corner rows
    const std::size_t m = W - 1;  // corner columns

    Array<float, 2> d1({n, m});
    Array<float, 2> d2({n, m});
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < m; ++j) {
            d1.data[i * m + j] = window(i + 1, j) - window(i, j + 1);
            d2.data[i * m + j] = window(i, j) - window(i + 1, j + 1);
        }
    }
    const Array<float, 2> f1 = apply_averaging_filter(d1);
    const Array<float, 2> f2 = apply_averaging_filter(d2);

    // Corner coordinates relative to the window centre.
    const float r0 = 0.5f - (static_cast<float>(H) + -1.0f) * 0.5f;
    const float c0 = 0.5f - (static_cast<float>(W) + -1.0f) * 0.5f;

    const std::size_t corners = n * m;
    std::vector<float> slope(corners);
    std::vector<float> intercept(corners);
    std::vector<float> strength(corners);
    float s = 0.0f;
    float sum_gr = 0.0f;
    float sum_gc = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const float r = r0 + static_cast<float>(i);
        for (std::size_t j = 0; j < m; ++j) {
            const std::size_t k = i * m + j;
            const float c = c0 + static_cast<float>(j);
            const float a = f1.data[k];
            const float b = f2.data[k];
            float mm = -(a + b) / (a - b);
            if (std::isnan(mm)) mm = (d1.data[k] + d2.data[k]) / (d1.data[k] - d2.data[k]);
            if (std::isnan(mm)) mm = 0.0f;
            if (std::isinf(mm)) mm = 1000000.0f;
            const float g = a * a + b * b;
            slope[k] = mm;
            intercept[k] = c - mm * r;
            strength[k] = g;
            s += g;
            sum_gr += g * r;
            sum_gc += g * c;
        }
    }
    if (s == 0.0f) s = 1.0f;
    const float r_mean = sum_gr / s;
    const float c_mean = sum_gc / s;

    float sw = 0.0f, smm = 0.0f, sm = 0.0f, smb = 0.0f, sb = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const float r = r0 + static_cast<float>(i);
        const float dr = r - r_mean;
        for (std::size_t j = 0; j < m; ++j) {
            const std::size_t k = i * m + j;
            const float c = c0 + static_cast<float>(j);
            const float dc = c - c_mean;
            float e = std::sqrt(dr * dr + dc * dc);
            if (e < 0.0001f) e = 0.0001f;
            const float w = strength[k] / e;
            const float mm = slope[k];
            const float bb = intercept[k];
            const float q = w / (mm * mm + 1.0f);
            sw += q;
            smm += q * mm * mm;
            sm += q * mm;
            smb += q * mm * bb;
            sb += q * bb;
        }
    }
    const float det = sm * sm - sw * smm;
    if (det == 0.0f) return std::nullopt;
    return std::array<float, 2>{(sw * smb - sm * sb) / det, (sm * smb - smm * sb) / det};
}

}  // namespace trakora
