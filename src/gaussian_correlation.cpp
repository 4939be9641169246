#include "gaussian_correlation.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace trakora {
namespace {

float square(float v) { return v * v; }

float correlation(const View3<float>& volume, const std::array<std::uint64_t, 3>& index,
                  const std::array<float, 125>& tmpl) {
    std::array<float, 125> data{}, model{};
    std::size_t n = 0;
    for (std::int64_t a = 0; a < 5; ++a)
        for (std::int64_t b = 0; b < 5; ++b)
            for (std::int64_t c = 0; c < 5; ++c) {
                const std::int64_t m0 = static_cast<std::int64_t>(index[0]) + a - 2;
                const std::int64_t m1 = static_cast<std::int64_t>(index[1]) + b - 2;
                const std::int64_t m2 = static_cast<std::int64_t>(index[2]) + c - 2;
                if (m0 < 0 || m1 < 0 || m2 < 0 || static_cast<std::uint64_t>(m0) >= volume.shape[0] ||
                    static_cast<std::uint64_t>(m1) >= volume.shape[1] ||
                    static_cast<std::uint64_t>(m2) >= volume.shape[2])
                    continue;
                data[n] = volume(m0, m1, m2);
                model[n] = tmpl[static_cast<std::size_t>((a * 5 + b) * 5 + c)];
                ++n;
            }
    if (n == 0) return 0.0f;
    const float count = static_cast<float>(n);
    float sum_d = -0.0f, sum_t = -0.0f;
    for (std::size_t e = 0; e < n; ++e) {
        sum_d += data[e];
        sum_t += model[e];
    }
    const float md = sum_d / count, mt = sum_t / count;
    float sdt = 0.0f, sdd = 0.0f, stt = 0.0f;
    for (std::size_t e = 0; e < n; ++e) {
        const float dd = data[e] - md, dt = model[e] - mt;
        sdt += dd * dt;
        sdd += dd * dd;
        stt += dt * dt;
    }
    const float den = sdd * stt;
    return den == 0.0f ? 0.0f : sdt / std::sqrt(den);
}

}  // namespace

std::array<float, 125> gaussian_template(const DetectionExtent3D& extent, const std::array<std::size_t, 3>& shape,
                                         const std::array<float, 3>& sigmas) {
    std::array<float, 3> size{};
    for (std::size_t k = 0; k < 3; ++k) size[k] = (extent.last(k) - extent.first(k)) / static_cast<float>(shape[k]);
    const float s2 = size[2], sigma2 = sigmas[2];
    const std::array<float, 5> tc{square((s2 * -2.0f) / sigma2), square((-s2) / sigma2), square((s2 * 0.0f) / sigma2),
                                  square(s2 / sigma2), square((s2 + s2) / sigma2)};
    std::array<float, 125> t{};
    for (int a = 0; a < 5; ++a) {
        const float ta = square((size[0] * static_cast<float>(a - 2)) / sigmas[0]);
        for (int b = 0; b < 5; ++b) {
            const float tab = ta + square((size[1] * static_cast<float>(b - 2)) / sigmas[1]);
            for (int c = 0; c < 5; ++c) t[(a * 5 + b) * 5 + c] = std::exp((tc[c] + tab) * -0.5f);
        }
    }
    float total = 0.0f;
    for (float v : t) total += v;
    for (float& v : t) v /= total;
    return t;
}

void compute_correlations(const View3<float>& volume, const DetectionExtent3D& extent, std::vector<Peak3D>& peaks,
                          const std::array<float, 3>& sigmas) {
    if (peaks.empty()) return;
    const std::array<float, 125> tmpl = gaussian_template(extent, volume.shape, sigmas);
    for (Peak3D& peak : peaks) peak.correlation = correlation(volume, peak.index, tmpl);
}

void keep_correlated(std::vector<Peak3D>& peaks, float threshold) {
    std::erase_if(peaks, [&](const Peak3D& p) { return !(p.correlation.value_or(0.0f) >= threshold); });
}

std::optional<std::vector<float>> correlation_column(const std::vector<Peak3D>& peaks) {
    if (std::none_of(peaks.begin(), peaks.end(), [](const Peak3D& p) { return p.correlation.has_value(); }))
        return std::nullopt;
    std::vector<float> column;
    column.reserve(peaks.size());
    for (const Peak3D& p : peaks) column.push_back(p.correlation.value_or(0.0f));
    return column;
}

}  // namespace trakora
