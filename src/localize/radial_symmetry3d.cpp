#include "localize/radial_symmetry3d.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/errors.hpp"

namespace trakora::localize {
namespace {

using Grid = Array<float, 3>;

void require_same_shape(const Grid& a, const Grid& b, const char* where) {
    if (a.shape != b.shape) throw InternalError(std::string(where) + ": arrays of different shapes");
}

// Centres of the cells along an axis of n voxels, relative to the window centre. The
// literal forms in this file ("+ -1.0f", "+ -0.5f", sums from 0.0f or -0.0f) fix the float
// operations and their order: results are part of the contract bit for bit, so do not
// simplify them.
std::vector<float> cell_coordinates(std::size_t n) {
    const float first = 0.5f - (static_cast<float>(n) + -1.0f) * 0.5f;
    std::vector<float> u(n - 1);
    for (std::size_t m = 0; m < u.size(); ++m) u[m] = first + static_cast<float>(m);
    return u;
}

// acc[t] += src[t] for t < n, four at a time (n is a multiple of 4).
void add_run(float* acc, const float* src, std::size_t n) {
    typedef float Float4 __attribute__((vector_size(16)));
    for (std::size_t t = 0; t < n; t += 4) {
        Float4 a, b;
        std::memcpy(&a, acc + t, sizeof a);
        std::memcpy(&b, src + t, sizeof b);
        a += b;
        std::memcpy(acc + t, &a, sizeof a);
    }
}

float half_difference(float p, float q) {
    const float t = p - q;
    return t == 0.0f ? 0.0f : t * 0.5f;  // no -0.0 from equal values
}

// Converts a centred coordinate to window voxel coordinates.
float to_voxel(std::size_t n, float c) { return (static_cast<float>(n) * 0.5f + c) + -0.5f; }

}  // namespace

// The sums run over a zero-padded copy, always 27 terms in the stated order. The padding
// changes no sum: a running sum that starts at +0.0 is never -0.0, and x + 0.0 == x for
// every other x. A plane of sums is accumulated at once over the padded row layout (the
// extra sums per row are discarded), four cells per instruction, while each cell still
// adds its own terms in order.
Grid apply_averaging_filter_3d(const Grid& input) {
    const auto [n0, n1, n2] = input.shape;
    Grid out(input.shape);
    if (out.data.empty()) return out;
    const std::size_t p1 = n1 + 2, p2 = n2 + 2;
    const std::size_t plane = (n1 * p2 + 3) / 4 * 4;
    // Slack for the discarded sums at the end of the last plane.
    std::vector<float> padded((n0 + 2) * p1 * p2 + (plane - n1 * p2) + 2, 0.0f);
    for (std::size_t i = 0; i < n0; ++i)
        for (std::size_t j = 0; j < n1; ++j)
            std::copy_n(&input.data[(i * n1 + j) * n2], n2, &padded[((i + 1) * p1 + j + 1) * p2 + 1]);
    std::vector<float> sums(plane);
    for (std::size_t i = 0; i < n0; ++i) {
        std::fill(sums.begin(), sums.end(), 0.0f);
        for (std::size_t a = 0; a < 3; ++a)
            for (std::size_t b = 0; b < 3; ++b)
                for (std::size_t c = 0; c < 3; ++c) {
                    add_run(sums.data(), &padded[((i + a) * p1 + b) * p2 + c], plane);
                }
        for (std::size_t j = 0; j < n1; ++j)
            for (std::size_t k = 0; k < n2; ++k) out.data[(i * n1 + j) * n2 + k] = sums[j * p2 + k] / 27.0f;
    }
    return out;
}

Grid compute_derivative_component(const Grid& a, const Grid& b, const Grid& c, const Grid& d) {
    require_same_shape(a, b, "compute_derivative_component");
    require_same_shape(a, c, "compute_derivative_component");
    require_same_shape(a, d, "compute_derivative_component");
    Grid out(a.shape);
    for (std::size_t e = 0; e < out.data.size(); ++e)
        out.data[e] = half_difference(a.data[e], b.data[e]) + half_difference(c.data[e], d.data[e]);
    return out;
}

float elementwise_sum_product(const Grid& a, const Grid& b) {
    require_same_shape(a, b, "elementwise_sum_product");
    float sum = -0.0f;
    for (std::size_t e = 0; e < a.data.size(); ++e) sum += a.data[e] * b.data[e];
    return sum;
}

float compute_rhs_element(const Grid& w, const Grid& a, const Grid& b, const Grid& c, const std::vector<float>& z,
                          const std::vector<float>& y, const std::vector<float>& x) {
    require_same_shape(w, a, "compute_rhs_element");
    require_same_shape(w, b, "compute_rhs_element");
    require_same_shape(w, c, "compute_rhs_element");
    const auto [n0, n1, n2] = w.shape;
    if (z.size() != n0 || y.size() != n1 || x.size() != n2)
        throw InternalError("compute_rhs_element: coordinate vectors do not match the cell grid");
    float sum = 0.0f;
    std::size_t e = 0;
    for (std::size_t i = 0; i < n0; ++i)
        for (std::size_t j = 0; j < n1; ++j)
            for (std::size_t k = 0; k < n2; ++k, ++e)
                sum += w.data[e] * ((z[i] * a.data[e] + y[j] * b.data[e]) + x[k] * c.data[e]);
    return sum;
}

std::optional<std::array<float, 3>> localize_radial_symmetry_3d(const View3<float>& window) {
    const auto [n0, n1, n2] = window.shape;
    if (n0 < 3 || n1 < 3 || n2 < 3) return std::nullopt;
    const std::vector<float> z = cell_coordinates(n0);
    const std::vector<float> y = cell_coordinates(n1);
    const std::vector<float> x = cell_coordinates(n2);
    const std::array<std::size_t, 3> cells{n0 - 1, n1 - 1, n2 - 1};
    const std::size_t count = cells[0] * cells[1] * cells[2];

    // Body-diagonal differences of every 2x2x2 block.
    Grid d1(cells), d2(cells), d3(cells);
    std::size_t e = 0;
    for (std::size_t i = 0; i < cells[0]; ++i)
        for (std::size_t j = 0; j < cells[1]; ++j)
            for (std::size_t k = 0; k < cells[2]; ++k, ++e) {
                d1.data[e] = window(i + 1, j + 1, k + 1) - window(i, j, k);
                d2.data[e] = window(i + 1, j, k) - window(i, j + 1, k + 1);
                d3.data[e] = window(i + 1, j + 1, k) - window(i, j, k + 1);
            }
    const Grid f1 = apply_averaging_filter_3d(d1);
    const Grid f2 = apply_averaging_filter_3d(d2);
    const Grid f3 = apply_averaging_filter_3d(d3);

    // Gradient direction: smoothed and raw differences in equal parts, cyclic 1-3, 2-1, 3-2.
    const Grid c1 = compute_derivative_component(f1, f3, d1, d3);
    const Grid c2 = compute_derivative_component(f2, f1, d2, d1);
    const Grid c3 = compute_derivative_component(f3, f2, d3, d2);

    // Gradient strength from the smoothed differences only.
    Grid g(cells);
    float s = 0.0f;
    for (e = 0; e < count; ++e) {
        g.data[e] = (f1.data[e] * f1.data[e] + f2.data[e] * f2.data[e]) + f3.data[e] * f3.data[e];
        s += g.data[e];
    }
    if (s == 0.0f) return std::nullopt;

    float sz = 0.0f, sy = 0.0f, sx = 0.0f;
    e = 0;
    for (std::size_t i = 0; i < cells[0]; ++i)
        for (std::size_t j = 0; j < cells[1]; ++j)
            for (std::size_t k = 0; k < cells[2]; ++k, ++e) {
                sz += g.data[e] * z[i];
                sy += g.data[e] * y[j];
                sx += g.data[e] * x[k];
            }
    const float cz = sz / s, cy = sy / s, cx = sx / s;
    const std::array<float, 3> centroid{to_voxel(n0, cz), to_voxel(n1, cy), to_voxel(n2, cx)};

    // Each line is weighted by its strength over its distance from the centroid; the 1/Q
    // normalises the gradient in the projector terms below.
    Grid w(cells, 0.0f);
    Grid a00(cells), a11(cells), a22(cells), a01(cells), a02(cells), a12(cells);
    e = 0;
    for (std::size_t i = 0; i < cells[0]; ++i)
        for (std::size_t j = 0; j < cells[1]; ++j)
            for (std::size_t k = 0; k < cells[2]; ++k, ++e) {
                const float g1 = c1.data[e], g2 = c2.data[e], g3 = c3.data[e];
                const float q = (g1 * g1 + g2 * g2) + g3 * g3;
                const float dz = z[i] - cz, dy = y[j] - cy, dx = x[k] - cx;
                const float dist2 = (dz * dz + dy * dy) + dx * dx;
                if (dist2 > 0.0f && q > 0.0f) w.data[e] = (g.data[e] / q) / std::sqrt(dist2);
                a00.data[e] = (g2 * g2 + g3 * g3) * -2.0f;
                a11.data[e] = (g3 * g3 + g1 * g1) * -2.0f;
                a22.data[e] = (g2 * g2 + g1 * g1) * -2.0f;
                a01.data[e] = (2.0f * g2) * g1;
                a02.data[e] = (2.0f * g3) * g1;
                a12.data[e] = (2.0f * g3) * g2;
            }

    const float s00 = elementwise_sum_product(w, a00);
    const float s01 = elementwise_sum_product(w, a01);
    const float s02 = elementwise_sum_product(w, a02);
    const float s11 = elementwise_sum_product(w, a11);
    const float s12 = elementwise_sum_product(w, a12);
    const float s22 = elementwise_sum_product(w, a22);
    const float b0 = compute_rhs_element(w, a00, a01, a02, z, y, x);
    const float b1 = compute_rhs_element(w, a01, a11, a12, z, y, x);
    const float b2 = compute_rhs_element(w, a02, a12, a22, z, y, x);

    // Symmetric 3x3 system by cofactors.
    const float k00 = s11 * s22 - s12 * s12;
    const float k01 = s01 * s22 - s02 * s12;
    const float k02 = s01 * s12 - s02 * s11;
    const float det = (s00 * k00 - s01 * k01) + s02 * k02;
    if (!(det < 0.0f || det > 0.0f)) return centroid;
    const float k11 = s00 * s11 - s01 * s01;
    const float k22 = s00 * s22 - s02 * s02;
    const float k12 = s00 * s12 - s01 * s02;
    const float inv = 1.0f / det;
    const float p0 = inv * ((b0 * k00 - k01 * b1) + k02 * b2);
    const float p1 = inv * ((k22 * b1 - b0 * k01) - k12 * b2);
    const float p2 = inv * ((k02 * b0 - k12 * b1) + k11 * b2);
    if (std::isnan(p0) || std::isnan(p1) || std::isnan(p2)) return centroid;
    return std::array<float, 3>{to_voxel(n0, p0), to_voxel(n1, p1), to_voxel(n2, p2)};
}

}  // namespace trakora::localize
