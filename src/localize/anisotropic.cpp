#include "localize/anisotropic.hpp"

#include <algorithm>
#include <cmath>

#include "core/pool.hpp"
#include "localize/radial_symmetry.hpp"

namespace trakora::localize {
namespace {

constexpr int n_params = 6;  // amplitude, row, col, sigma_row, sigma_col, floor

// Solves the symmetric positive definite system a x = b (6 x 6) by Cholesky; false when it
// is not positive definite.
bool solve(std::array<double, 36> a, std::array<double, 6>& b) {
    for (int j = 0; j < n_params; ++j) {
        double d = a[j * 6 + j];
        for (int k = 0; k < j; ++k) d -= a[j * 6 + k] * a[j * 6 + k];
        if (!(d > 0) || !std::isfinite(d)) return false;
        d = std::sqrt(d);
        a[j * 6 + j] = d;
        for (int i = j + 1; i < n_params; ++i) {
            double s = a[i * 6 + j];
            for (int k = 0; k < j; ++k) s -= a[i * 6 + k] * a[j * 6 + k];
            a[i * 6 + j] = s / d;
        }
    }
    for (int i = 0; i < n_params; ++i) {
        double s = b[i];
        for (int k = 0; k < i; ++k) s -= a[i * 6 + k] * b[k];
        b[i] = s / a[i * 6 + i];
    }
    for (int i = n_params; i-- > 0;) {
        double s = b[i];
        for (int k = i + 1; k < n_params; ++k) s -= a[k * 6 + i] * b[k];
        b[i] = s / a[i * 6 + i];
    }
    return true;
}

struct Problem {
    const float* values;
    std::size_t rows, cols;
    double row0, col0;  // offset of pixel (0, 0) from the reference pixel
};

// exp(-d^2 / (2 sigma^2)) for the offsets origin + 0 .. n-1 from `centre`: the model is
// separable, so a window needs rows + cols exponentials, not rows x cols.
void axis_profile(std::vector<double>& out, std::size_t n, double origin, double centre, double sigma) {
    out.resize(n);
    const double inv = 1.0 / (2.0 * sigma * sigma);
    for (std::size_t i = 0; i < n; ++i) {
        const double d = origin + static_cast<double>(i) - centre;
        out[i] = std::exp(-(d * d) * inv);
    }
}

double residual_sum(const Problem& pb, const std::array<double, 6>& p) {
    thread_local std::vector<double> gr, gc;
    axis_profile(gr, pb.rows, pb.row0, p[1], p[3]);
    axis_profile(gc, pb.cols, pb.col0, p[2], p[4]);
    double sum = 0;
    for (std::size_t i = 0; i < pb.rows; ++i) {
        const double ar = p[0] * gr[i];
        for (std::size_t j = 0; j < pb.cols; ++j) {
            const double e = ar * gc[j] + p[5] - pb.values[i * pb.cols + j];
            sum += e * e;
        }
    }
    return sum;
}

// Levenberg-Marquardt from `p`; offsets relative to the reference pixel.
std::optional<std::array<double, 6>> levenberg_marquardt(const Problem& pb, std::array<double, 6> p) {
    double lambda = 1e-3;
    double cost = residual_sum(pb, p);
    if (!std::isfinite(cost)) return std::nullopt;
    for (int iteration = 0; iteration < 25; ++iteration) {
        std::array<double, 36> jtj{};
        std::array<double, 6> jte{};
        const double sr2 = p[3] * p[3], sc2 = p[4] * p[4];
        thread_local std::vector<double> gr, gc;
        axis_profile(gr, pb.rows, pb.row0, p[1], p[3]);
        axis_profile(gc, pb.cols, pb.col0, p[2], p[4]);
        for (std::size_t i = 0; i < pb.rows; ++i) {
            const double dr = pb.row0 + static_cast<double>(i) - p[1];
            for (std::size_t j = 0; j < pb.cols; ++j) {
                const double dc = pb.col0 + static_cast<double>(j) - p[2];
                const double g = gr[i] * gc[j];
                const double ag = p[0] * g;
                const double e = pb.values[i * pb.cols + j] - (ag + p[5]);
                const std::array<double, 6> d = {g, ag * dr / sr2, ag * dc / sc2, ag * dr * dr / (sr2 * p[3]),
                                                 ag * dc * dc / (sc2 * p[4]), 1.0};
                for (int a = 0; a < n_params; ++a) {
                    jte[a] += d[a] * e;
                    for (int b = 0; b <= a; ++b) jtj[a * 6 + b] += d[a] * d[b];
                }
            }
        }
        for (int a = 0; a < n_params; ++a)
            for (int b = a + 1; b < n_params; ++b) jtj[a * 6 + b] = jtj[b * 6 + a];
        bool improved = false;
        for (int attempt = 0; attempt < 10 && !improved; ++attempt) {
            std::array<double, 36> damped = jtj;
            for (int a = 0; a < n_params; ++a) damped[a * 6 + a] *= 1.0 + lambda;
            std::array<double, 6> step = jte;
            if (!solve(damped, step)) {
                lambda *= 10.0;
                continue;
            }
            std::array<double, 6> trial = p;
            for (int a = 0; a < n_params; ++a) trial[a] += step[a];
            if (!(trial[3] > 0.05) || !(trial[4] > 0.05)) {
                lambda *= 10.0;
                continue;
            }
            const double trial_cost = residual_sum(pb, trial);
            if (std::isfinite(trial_cost) && trial_cost <= cost) {
                const double gain = cost - trial_cost;
                p = trial;
                cost = trial_cost;
                lambda = std::max(lambda * 0.1, 1e-9);
                improved = true;
                double move = 0;
                for (int a = 1; a < 5; ++a) move = std::max(move, std::abs(step[a]));
                if (move < 1e-4 || gain <= 1e-10 * cost) return p;
            } else {
                lambda *= 10.0;
            }
        }
        if (!improved) return p;  // no step lowers the cost: at a minimum to working precision
    }
    return p;
}

std::optional<GaussianFit> fit_window(const float* values, std::size_t rows, std::size_t cols, double row0,
                                      double col0, float sigma_rows, float sigma_cols) {
    if (rows == 0 || cols == 0 || !(sigma_rows > 0) || !(sigma_cols > 0)) return std::nullopt;
    float lo = values[0], hi = values[0];
    for (std::size_t k = 0; k < rows * cols; ++k) {
        if (!std::isfinite(values[k])) return std::nullopt;
        lo = std::min(lo, values[k]);
        hi = std::max(hi, values[k]);
    }
    if (!(hi > lo)) return std::nullopt;
    // The reference pixel's value when it lies in the window, else the maximum.
    const auto ri = static_cast<std::ptrdiff_t>(std::lround(-row0)), ci = static_cast<std::ptrdiff_t>(std::lround(-col0));
    const bool inside = ri >= 0 && ci >= 0 && ri < static_cast<std::ptrdiff_t>(rows) && ci < static_cast<std::ptrdiff_t>(cols);
    const double top = inside ? values[static_cast<std::size_t>(ri) * cols + static_cast<std::size_t>(ci)] : hi;
    std::array<double, 6> p = {top - lo, 0.0, 0.0, sigma_rows, sigma_cols, lo};
    const Problem pb{values, rows, cols, row0, col0};
    auto fitted = levenberg_marquardt(pb, p);
    if (!fitted) return std::nullopt;
    for (double v : *fitted)
        if (!std::isfinite(v)) return std::nullopt;
    const auto& q = *fitted;
    return GaussianFit{q[1], q[2], q[0], q[5], std::abs(q[3]), std::abs(q[4])};
}

}  // namespace

std::optional<GaussianFit> fit_anisotropic_gaussian(const float* window, std::size_t rows, std::size_t cols,
                                                    float sigma_rows, float sigma_cols) {
    return fit_window(window, rows, cols, -static_cast<double>(rows - 1) / 2.0, -static_cast<double>(cols - 1) / 2.0,
                      sigma_rows, sigma_cols);
}

std::vector<Candidate> find_candidates(const View2<float>& frame, const SpotParams& params) {
    std::vector<Candidate> out;
    const std::size_t rows = frame.shape[0], cols = frame.shape[1];
    if (rows < 3 || cols < 3) return out;
    for (std::size_t i = 1; i + 1 < rows; ++i) {
        for (std::size_t j = 1; j + 1 < cols; ++j) {
            const float v = frame(i, j);
            if (!(v >= params.threshold) || !(v > 0)) continue;
            bool peak = true;
            for (int di = -1; di <= 1 && peak; ++di) {
                for (int dj = -1; dj <= 1; ++dj) {
                    if (di == 0 && dj == 0) continue;
                    const float w = frame(i + di, j + dj);
                    const bool later = di > 0 || (di == 0 && dj > 0);
                    // NaN neighbours count as equal; an equal earlier neighbour wins the plateau.
                    if (w > v || (!(w < v) && !later)) {
                        peak = false;
                        break;
                    }
                }
            }
            if (peak) out.push_back({i, j, v});
        }
    }
    std::stable_sort(out.begin(), out.end(), [](const Candidate& a, const Candidate& b) { return a.value > b.value; });
    return out;
}

namespace {

std::vector<double> gaussian_taps(float sigma) {
    if (!(sigma >= 1e-3f)) return {1.0};  // narrower than a thousandth of a pixel: no smoothing
    const auto radius = static_cast<std::ptrdiff_t>(std::ceil(3.0 * std::min(sigma, 256.0f)));
    std::vector<double> taps(static_cast<std::size_t>(2 * radius + 1));
    for (std::ptrdiff_t k = -radius; k <= radius; ++k)
        taps[static_cast<std::size_t>(k + radius)] = std::exp(-0.5 * static_cast<double>(k * k) / (sigma * sigma));
    return taps;
}

// One axis of the separable filter over a row-major (rows, cols) buffer; `along_rows`
// filters down the columns. Taps that fall outside are left out and the rest renormalised;
// the inner loops run along the contiguous axis.
void filter_axis(const std::vector<float>& in, std::vector<float>& out, std::size_t rows, std::size_t cols,
                 const std::vector<double>& taps, bool along_rows) {
    const auto radius = static_cast<std::ptrdiff_t>(taps.size() / 2);
    std::vector<float> w(taps.begin(), taps.end());
    std::vector<float> acc(cols);
    if (along_rows) {
        for (std::size_t i = 0; i < rows; ++i) {
            std::fill(acc.begin(), acc.end(), 0.0f);
            float weight = 0;
            for (std::ptrdiff_t k = -radius; k <= radius; ++k) {
                const std::ptrdiff_t q = static_cast<std::ptrdiff_t>(i) + k;
                if (q < 0 || q >= static_cast<std::ptrdiff_t>(rows)) continue;
                const float wk = w[static_cast<std::size_t>(k + radius)];
                weight += wk;
                const float* src = in.data() + static_cast<std::size_t>(q) * cols;
                for (std::size_t j = 0; j < cols; ++j) acc[j] += wk * src[j];
            }
            float* dst = out.data() + i * cols;
            for (std::size_t j = 0; j < cols; ++j) dst[j] = acc[j] / weight;
        }
        return;
    }
    const auto n = static_cast<std::ptrdiff_t>(cols);
    for (std::size_t i = 0; i < rows; ++i) {
        const float* src = in.data() + i * cols;
        float* dst = out.data() + i * cols;
        const std::ptrdiff_t lo = std::min(radius, n), hi = std::max(lo, n - radius);
        // interior: every tap inside
        std::fill(acc.begin(), acc.end(), 0.0f);
        float total = 0;
        for (std::ptrdiff_t k = -radius; k <= radius; ++k) {
            const float wk = w[static_cast<std::size_t>(k + radius)];
            total += wk;
            for (std::ptrdiff_t j = lo; j < hi; ++j) acc[static_cast<std::size_t>(j)] += wk * src[j + k];
        }
        for (std::ptrdiff_t j = lo; j < hi; ++j) dst[j] = acc[static_cast<std::size_t>(j)] / total;
        // the border columns, renormalised
        for (std::ptrdiff_t j = 0; j < n; ++j) {
            if (j >= lo && j < hi) continue;
            float sum = 0, weight = 0;
            for (std::ptrdiff_t k = -radius; k <= radius; ++k) {
                const std::ptrdiff_t q = j + k;
                if (q < 0 || q >= n) continue;
                const float wk = w[static_cast<std::size_t>(k + radius)];
                sum += wk * src[q];
                weight += wk;
            }
            dst[j] = sum / weight;
        }
    }
}

}  // namespace

Array<float, 2> gaussian_smooth(const View2<float>& frame, float sigma_rows, float sigma_cols) {
    const std::size_t rows = frame.shape[0], cols = frame.shape[1];
    Array<float, 2> out({rows, cols});
    for (std::size_t i = 0; i < rows; ++i)
        for (std::size_t j = 0; j < cols; ++j) out.data[i * cols + j] = frame(i, j);
    std::vector<float> tmp(out.data.size());
    if (sigma_rows > 0) {
        filter_axis(out.data, tmp, rows, cols, gaussian_taps(sigma_rows), true);
        out.data.swap(tmp);
    }
    if (sigma_cols > 0) {
        filter_axis(out.data, tmp, rows, cols, gaussian_taps(sigma_cols), false);
        out.data.swap(tmp);
    }
    return out;
}

namespace {

// The spots of frame `f` of the stack; `label` is a rows x cols scratch buffer of -1s (left
// as it was found).
std::vector<Spot> localize_frame(const View3<float>& stack, std::size_t f, const SpotParams& params,
                                 std::vector<std::int32_t>& label, SpotCounts& counts) {
    std::vector<Spot> spots;
    std::vector<float> window;
    const std::size_t rows = stack.shape[1], cols = stack.shape[2];
    const std::size_t hr = params.half_rows, hc = params.half_cols;
    const double max_row_shift = std::max(1.0, static_cast<double>(hr) / 2.0);
    const double max_col_shift = std::max(1.0, static_cast<double>(hc) / 2.0);
    View2<float> frame;
    frame.data = stack.data + static_cast<std::ptrdiff_t>(f) * stack.strides[0];
    frame.shape = {rows, cols};
    frame.strides = {stack.strides[1], stack.strides[2]};
    const bool smooth = params.smooth_rows > 0 || params.smooth_cols > 0;
    Array<float, 2> smoothed;
    if (smooth) smoothed = gaussian_smooth(frame, params.smooth_rows, params.smooth_cols);
    const std::vector<Candidate> found = find_candidates(smooth ? smoothed.view() : frame, params);
    counts.candidates += found.size();
    for (std::size_t k = 0; k < found.size(); ++k) label[found[k].row * cols + found[k].col] = static_cast<std::int32_t>(k);
    for (std::size_t k = 0; k < found.size(); ++k) {
        const Candidate& c = found[k];
        const std::size_t top = c.row > hr ? c.row - hr : 0, left = c.col > hc ? c.col - hc : 0;
        const std::size_t bottom = std::min(rows - 1, c.row + hr), right = std::min(cols - 1, c.col + hc);
        bool crowded = false;
        for (std::size_t i = top; i <= bottom && !crowded; ++i)
            for (std::size_t j = left; j <= right; ++j) {
                const std::int32_t other = label[i * cols + j];
                if (other >= 0 && static_cast<std::size_t>(other) != k &&
                    found[static_cast<std::size_t>(other)].value >= params.crowd_ratio * c.value) {
                    crowded = true;
                    break;
                }
            }
        if (crowded) {
            ++counts.crowded;
            continue;
        }
        const std::size_t h = bottom - top + 1, w = right - left + 1;
        window.resize(h * w);
        for (std::size_t i = 0; i < h; ++i)
            for (std::size_t j = 0; j < w; ++j) window[i * w + j] = frame(top + i, left + j);
        const double row0 = static_cast<double>(top) - static_cast<double>(c.row);
        const double col0 = static_cast<double>(left) - static_cast<double>(c.col);
        std::optional<Spot> spot;
        if (params.method == SpotMethod::gaussian) {
            const auto fit = fit_window(window.data(), h, w, row0, col0, params.sigma_rows, params.sigma_cols);
            if (fit && fit->amplitude > 0 && std::abs(fit->row) <= max_row_shift && std::abs(fit->col) <= max_col_shift &&
                fit->sigma_row >= 0.25 * params.sigma_rows && fit->sigma_row <= 4.0 * params.sigma_rows &&
                fit->sigma_col >= 0.25 * params.sigma_cols && fit->sigma_col <= 4.0 * params.sigma_cols)
                spot = Spot{f, static_cast<float>(static_cast<double>(c.row) + fit->row),
                            static_cast<float>(static_cast<double>(c.col) + fit->col),
                            static_cast<float>(fit->amplitude), static_cast<float>(fit->sigma_row),
                            static_cast<float>(fit->sigma_col)};
        } else {
            const auto off = localize_radial_symmetry(View2<float>::contiguous(window.data(), {h, w}));
            if (off) {
                const double r = row0 + static_cast<double>(h - 1) / 2.0 + (*off)[0];
                const double q = col0 + static_cast<double>(w - 1) / 2.0 + (*off)[1];
                if (std::isfinite(r) && std::isfinite(q) && std::abs(r) <= max_row_shift && std::abs(q) <= max_col_shift)
                    spot = Spot{f, static_cast<float>(static_cast<double>(c.row) + r),
                                static_cast<float>(static_cast<double>(c.col) + q), c.value, 0.0f, 0.0f};
            }
        }
        if (spot)
            spots.push_back(*spot);
        else
            ++counts.failed;
    }
    for (const Candidate& c : found) label[c.row * cols + c.col] = -1;
    return spots;
}

}  // namespace

std::vector<Spot> localize_spots(const View3<float>& stack, const SpotParams& params, SpotCounts* counts) {
    const std::size_t frames = stack.shape[0], rows = stack.shape[1], cols = stack.shape[2];
    constexpr std::size_t grain = 8;  // frames per task
    const std::size_t chunks = (frames + grain - 1) / grain;
    std::vector<std::vector<Spot>> parts(chunks);
    std::vector<SpotCounts> part_counts(chunks);
    run_tasks(chunks, [&](std::size_t c) {
        std::vector<std::int32_t> label(rows * cols, -1);
        for (std::size_t f = c * grain; f < std::min(frames, (c + 1) * grain); ++f) {
            std::vector<Spot> one = localize_frame(stack, f, params, label, part_counts[c]);
            parts[c].insert(parts[c].end(), one.begin(), one.end());
        }
    });
    std::vector<Spot> spots;
    SpotCounts total;
    for (std::size_t c = 0; c < chunks; ++c) {
        spots.insert(spots.end(), parts[c].begin(), parts[c].end());
        total.candidates += part_counts[c].candidates;
        total.crowded += part_counts[c].crowded;
        total.failed += part_counts[c].failed;
    }
    if (counts != nullptr) *counts = total;
    return spots;
}

}  // namespace trakora::localize
