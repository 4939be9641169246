#include "localize/gaussian_fitting3d.hpp"

#include <cmath>
#include <limits>
#include <vector>

namespace trakora::localize {
namespace {

constexpr int iterations = 5;
constexpr float min_determinant = 1e-10f;

// Voxel centres relative to the window centre, and the centre itself ((n - 1) / 2).
struct Axis {
    float centre;
    std::vector<float> coords;
    explicit Axis(std::size_t n) : centre(static_cast<float>(n - 1) * 0.5f), coords(n) {
        for (std::size_t i = 0; i < n; ++i) coords[i] = static_cast<float>(i) - centre;
    }
};

}  // namespace

std::optional<std::array<float, 3>> localize_gaussian_fitting_3d(const View3<float>& window) {
    const auto [n0, n1, n2] = window.shape;
    float peak = -std::numeric_limits<float>::infinity();
    for (std::size_t i = 0; i < n0; ++i)
        for (std::size_t j = 0; j < n1; ++j)
            for (std::size_t k = 0; k < n2; ++k) {
                const float v = window(i, j, k);
                if (v > peak) peak = v;  // NaN never wins
            }
    if (!(peak > 0.0f)) return std::nullopt;

    const Axis a0(n0), a1(n1), a2(n2);
    float p0 = 0.0f, p1 = 0.0f, p2 = 0.0f;
    for (int step = 0; step < iterations; ++step) {
        float h00 = 0.0f, h01 = 0.0f, h02 = 0.0f, h11 = 0.0f, h12 = 0.0f, h22 = 0.0f;
        float b0 = 0.0f, b1 = 0.0f, b2 = 0.0f;
        for (std::size_t i = 0; i < n0; ++i) {
            const float dz = a0.coords[i] - p0;
            // The exponent accumulated axis by axis, each square scaled by -0.5 on its own:
            // the float order of the results bit for bit.
            const float ez = (dz * dz) * -0.5f;
            for (std::size_t j = 0; j < n1; ++j) {
                const float dy = a1.coords[j] - p1;
                const float ey = ez + (dy * dy) * -0.5f;
                for (std::size_t k = 0; k < n2; ++k) {
                    const float dx = a2.coords[k] - p2;
                    const float g = std::exp(ey + (dx * dx) * -0.5f);
                    const float r = window(i, j, k) / peak - g;
                    const float jz = dz * g, jy = dy * g, jx = dx * g;
                    h00 += jz * jz;
                    h01 += jz * jy;
                    h02 += jz * jx;
                    h11 += jy * jy;
                    h12 += jy * jx;
                    h22 += jx * jx;
                    b0 += jz * r;
                    b1 += jy * r;
                    b2 += jx * r;
                }
            }
        }
        const float k0 = h11 * h22 - h12 * h12;
        const float k1 = h01 * h22 - h12 * h02;
        const float k2 = h01 * h12 - h11 * h02;
        const float det = h02 * k2 + (h00 * k0 - h01 * k1);
        if (std::fabs(det) < min_determinant) return std::nullopt;
        const float t1 = b1 * h22 - b2 * h12;
        const float t2 = b1 * h12 - b2 * h11;
        const float t3 = b2 * h01 - b1 * h02;
        p0 += (h02 * t2 + (b0 * k0 - h01 * t1)) / det;
        p1 += (h02 * t3 + (h00 * t1 - b0 * k1)) / det;
        p2 += (k2 * b0 + (h00 * (b2 * h11 - b1 * h12) - h01 * t3)) / det;
    }
    return std::array<float, 3>{a0.centre + p0, a1.centre + p1, a2.centre + p2};
}

}  // namespace trakora::localize
