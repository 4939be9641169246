#include "localize/radial_symmetry.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace trakora::localize {

namespace {

// 3x3 box mean of an n x m row-major array into `out` (same shape, distinct memory).
void box_mean(const float* in, std::size_t n, std::size_t m, float* out) {
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t i0 = i == 0 ? 0 : i - 1;
        const std::size_t i1 = std::min(i + 1, n - 1);
        const bool interior_row = i > 0 && i + 1 < n;
        for (std::size_t j = 0; j < m; ++j) {
            if (interior_row && j > 0 && j + 1 < m) {
                // Same terms in the same order as the general loop below, unrolled.
                const float* up = in + (i - 1) * m + j;
                const float* mid = up + m;
                const float* down = mid + m;
                float sum = 0.0f;
                sum += up[-1]; sum += up[0]; sum += up[1];
                sum += mid[-1]; sum += mid[0]; sum += mid[1];
                sum += down[-1]; sum += down[0]; sum += down[1];
                out[i * m + j] = sum / 9.0f;
                continue;
            }
            const std::size_t j0 = j == 0 ? 0 : j - 1;
            const std::size_t j1 = std::min(j + 1, m - 1);
            float sum = 0.0f;
            for (std::size_t a = i0; a <= i1; ++a)
                for (std::size_t b = j0; b <= j1; ++b) sum += in[a * m + b];
            out[i * m + j] = sum / 9.0f;
        }
    }
}

}  // namespace

Array<float, 2> apply_averaging_filter(const Array<float, 2>& input) {
    Array<float, 2> out(input.shape);
    box_mean(input.data.data(), input.shape[0], input.shape[1], out.data.data());
    return out;
}

float gradient_line_slope(float f1, float f2, float d1, float d2) {
    float m = -(f1 + f2) / (f1 - f2);
    // The fallback has no leading minus sign: it is the slope of the raw differences'
    // own convention, kept as is.
    if (std::isnan(m)) m = (d1 + d2) / (d1 - d2);
    if (std::isnan(m)) m = 0.0f;
    if (std::isinf(m)) m = 1000000.0f;
    return m;
}

std::optional<std::array<float, 2>> localize_radial_symmetry(const View2<float>& window) {
    const std::size_t H = window.shape[0];
    const std::size_t W = window.shape[1];
    if (H == 0 || W == 0) return std::nullopt;
    const std::size_t n = H - 1;  // corner rows
    const std::size_t m = W - 1;  // corner columns

    // One scratch block: the window copy, then per corner d1, d2, f1, f2, slope, intercept
    // and gradient strength.
    const std::size_t corners = n * m;
    std::vector<float> scratch(H * W + 7 * corners);
    float* pixels = scratch.data();
    float* d1 = pixels + H * W;
    float* d2 = d1 + corners;
    float* f1 = d2 + corners;
    float* f2 = f1 + corners;
    float* slope = f2 + corners;
    float* intercept = slope + corners;
    float* strength = intercept + corners;
    for (std::size_t i = 0; i < H; ++i)
        for (std::size_t j = 0; j < W; ++j) pixels[i * W + j] = window(i, j);
    for (std::size_t i = 0; i < n; ++i) {
        const float* row = pixels + i * W;
        const float* next = row + W;
        for (std::size_t j = 0; j < m; ++j) {
            d1[i * m + j] = next[j] - row[j + 1];
            d2[i * m + j] = row[j] - next[j + 1];
        }
    }
    box_mean(d1, n, m, f1);
    box_mean(d2, n, m, f2);

    // Corner coordinates relative to the window centre. The literal forms here and below
    // ("+ -1.0f", sums from 0.0f or -0.0f) fix the float operations and their order: results
    // are part of the contract bit for bit, so do not simplify them.
    const float r0 = 0.5f - (static_cast<float>(H) + -1.0f) * 0.5f;
    const float c0 = 0.5f - (static_cast<float>(W) + -1.0f) * 0.5f;

    float s = 0.0f;
    float sum_gr = 0.0f;
    float sum_gc = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const float r = r0 + static_cast<float>(i);
        for (std::size_t j = 0; j < m; ++j) {
            const std::size_t k = i * m + j;
            const float c = c0 + static_cast<float>(j);
            const float a = f1[k];
            const float b = f2[k];
            const float mm = gradient_line_slope(a, b, d1[k], d2[k]);
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

}  // namespace trakora::localize
