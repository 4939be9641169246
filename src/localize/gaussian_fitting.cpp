#include "localize/gaussian_fitting.hpp"

#include <cmath>
#include <limits>
#include <vector>

namespace trakora::localize {

std::optional<std::array<float, 2>> localize_gaussian_fitting(const View2<float>& window) {
    const std::size_t rows = window.shape[0];
    const std::size_t cols = window.shape[1];
    if (rows == 0 || cols == 0) return std::nullopt;

    float peak = -std::numeric_limits<float>::infinity();
    for (std::size_t i = 0; i < rows; ++i)
        for (std::size_t j = 0; j < cols; ++j) {
            const float v = window(i, j);
            if (v > peak) peak = v;  // NaN never compares greater
        }
    if (peak <= 0.0f) return std::nullopt;

    std::vector<float> y(rows);
    std::vector<float> x(cols);
    const float row_centre = static_cast<float>(rows - 1) / 2.0f;
    const float col_centre = static_cast<float>(cols - 1) / 2.0f;
    for (std::size_t i = 0; i < rows; ++i) y[i] = static_cast<float>(i) - row_centre;
    for (std::size_t j = 0; j < cols; ++j) x[j] = static_cast<float>(j) - col_centre;

    float r = 0.0f;
    float c = 0.0f;
    for (int step = 0; step < 5; ++step) {
        float srr = 0.0f, src = 0.0f, scc = 0.0f, srv = 0.0f, scv = 0.0f;
        for (std::size_t i = 0; i < rows; ++i) {
            const float dr = y[i] - r;
            for (std::size_t j = 0; j < cols; ++j) {
                const float dc = x[j] - c;
                // Each square scaled by -0.5 on its own, then added: the float order of the
                // results bit for bit, not -0.5 * (dr^2 + dc^2).
                const float g = std::exp((dr * dr) * (-0.5f) + (dc * dc) * (-0.5f));
                const float v = window(i, j) / peak - g;
                const float jr = dr * g;
                const float jc = dc * g;
                srr += jr * jr;
                src += jr * jc;
                scc += jc * jc;
                srv += jr * v;
                scv += jc * v;
            }
        }
        const float det = scc * srr - src * src;
        if (std::fabs(det) < 1e-10f) return std::nullopt;
        r += (scc * srv - scv * src) / det;
        c += (scv * srr - src * srv) / det;
    }
    return std::array<float, 2>{r, c};
}

}  // namespace trakora::localize
