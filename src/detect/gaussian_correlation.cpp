#include "detect/gaussian_correlation.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/pool.hpp"

namespace trakora::detect {
namespace {

float square(float v) { return v * v; }

float pearson(const float* data, const float* model, std::size_t n) {
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

// Correlates peaks with one template. Peaks whose whole 5x5x5 neighbourhood lies inside the
// volume (nearly all) reuse the template's centred values and its sum of squares, computed
// once in the same order, so they get exactly the value of the general path.
class Correlator {
public:
    Correlator(const View3<float>& volume, const std::array<float, 125>& tmpl) : volume_(volume), tmpl_(tmpl) {
        float sum_t = -0.0f;
        for (float t : tmpl_) sum_t += t;
        const float mt = sum_t / 125.0f;
        for (std::size_t e = 0; e < 125; ++e) {
            centred_[e] = tmpl_[e] - mt;
            stt_ += centred_[e] * centred_[e];
            const std::ptrdiff_t a = static_cast<std::ptrdiff_t>(e / 25) - 2;
            const std::ptrdiff_t b = static_cast<std::ptrdiff_t>(e / 5 % 5) - 2;
            const std::ptrdiff_t c = static_cast<std::ptrdiff_t>(e % 5) - 2;
            offset_[e] = a * volume.strides[0] + b * volume.strides[1] + c * volume.strides[2];
        }
    }

    // Sets the correlation of every peak in [first, last).
    void correlate(Peak3D* first, Peak3D* last) const {
        std::array<Peak3D*, batch_size> batch{};
        std::size_t count = 0;
        for (Peak3D* p = first; p != last; ++p) {
            if (!interior(p->index)) {
                p->correlation = border_correlation(p->index);
                continue;
            }
            batch[count++] = p;
            if (count == batch_size) {
                interior_batch(batch, count);
                count = 0;
            }
        }
        if (count > 0) interior_batch(batch, count);
    }

private:
    static constexpr std::size_t batch_size = 8;

    bool interior(const std::array<std::uint64_t, 3>& index) const {
        bool inside = true;
        for (std::size_t k = 0; k < 3; ++k) inside = inside && index[k] >= 2 && index[k] + 2 < volume_.shape[k];
        return inside;
    }

    // Up to batch_size interior peaks side by side: every lane adds its own terms in the stated
    // order, so each result equals the one-peak computation, while the independent lanes
    // keep the adder busy (one peak alone is a chain of 125 dependent additions).
    void interior_batch(const std::array<Peak3D*, batch_size>& batch, std::size_t count) const {
        std::array<const char*, batch_size> centre{};
        for (std::size_t b = 0; b < batch_size; ++b) {
            const auto& index = batch[b < count ? b : 0]->index;
            centre[b] = volume_.data;
            for (std::size_t k = 0; k < 3; ++k)
                centre[b] += static_cast<std::ptrdiff_t>(index[k]) * volume_.strides[k];
        }
        float data[125][batch_size];
        float sum[batch_size], md[batch_size], sdt[batch_size], sdd[batch_size];
        for (std::size_t b = 0; b < batch_size; ++b) sum[b] = -0.0f;
        for (std::size_t e = 0; e < 125; ++e)
            for (std::size_t b = 0; b < batch_size; ++b) {
                std::memcpy(&data[e][b], centre[b] + offset_[e], sizeof(float));
                sum[b] += data[e][b];
            }
        for (std::size_t b = 0; b < batch_size; ++b) {
            md[b] = sum[b] / 125.0f;
            sdt[b] = sdd[b] = 0.0f;
        }
        for (std::size_t e = 0; e < 125; ++e)
            for (std::size_t b = 0; b < batch_size; ++b) {
                const float dd = data[e][b] - md[b];
                sdt[b] += dd * centred_[e];
                sdd[b] += dd * dd;
            }
        for (std::size_t b = 0; b < count; ++b) {
            const float den = sdd[b] * stt_;
            batch[b]->correlation = den == 0.0f ? 0.0f : sdt[b] / std::sqrt(den);
        }
    }

    // Only the voxels inside the volume take part, on both sides; no padding.
    float border_correlation(const std::array<std::uint64_t, 3>& index) const {
        std::array<float, 125> data{}, model{};
        std::size_t n = 0;
        for (std::int64_t a = 0; a < 5; ++a)
            for (std::int64_t b = 0; b < 5; ++b)
                for (std::int64_t c = 0; c < 5; ++c) {
                    const std::array<std::int64_t, 3> m{static_cast<std::int64_t>(index[0]) + a - 2,
                                                        static_cast<std::int64_t>(index[1]) + b - 2,
                                                        static_cast<std::int64_t>(index[2]) + c - 2};
                    bool inside = true;
                    for (std::size_t k = 0; k < 3; ++k)
                        inside = inside && m[k] >= 0 && static_cast<std::uint64_t>(m[k]) < volume_.shape[k];
                    if (!inside) continue;
                    data[n] = volume_(m[0], m[1], m[2]);
                    model[n] = tmpl_[static_cast<std::size_t>((a * 5 + b) * 5 + c)];
                    ++n;
                }
        return n == 0 ? 0.0f : pearson(data.data(), model.data(), n);
    }

    const View3<float>& volume_;
    const std::array<float, 125>& tmpl_;
    std::array<float, 125> centred_{};
    std::array<std::ptrdiff_t, 125> offset_{};
    float stt_ = 0.0f;
};

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
    const Correlator correlator(volume, tmpl);
    // Peaks are independent; each task writes only its own records.
    parallel_for(peaks.size(), 512, [&](std::size_t begin, std::size_t end) {
        correlator.correlate(peaks.data() + begin, peaks.data() + end);
    });
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

}  // namespace trakora::detect
