#include "localize/localize3d.hpp"

#include <cmath>

#include "core/errors.hpp"
#include "localize/gaussian_fitting3d.hpp"
#include "localize/radial_symmetry3d.hpp"

namespace trakora::localize {

std::uint64_t window_start(std::uint64_t i, std::uint64_t w, std::uint64_t n) {
    const std::uint64_t h = w / 2;
    std::uint64_t start = i < h ? 0 : i - h;
    if (start + w > n) start = n - w;
    return start;
}

std::vector<Peak3D> localize_peaks_3d(const View3<float>& volume, const std::vector<Peak3D>& peaks, std::uint64_t w,
                                const DetectionGeometry3D& geometry, const WindowLocalizer3D& localizer,
                                std::optional<std::uint64_t> cap, std::vector<std::uint8_t>* refined_flags) {
    std::vector<Peak3D> out;
    if (refined_flags != nullptr) refined_flags->clear();
    const auto& n = geometry.shape;
    if (n != volume.shape) throw InternalError("localize_peaks_3d: geometry does not match the volume");
    if (peaks.empty() || n[0] < w || n[1] < w || n[2] < w) return out;
    const float hf = static_cast<float>(w) * 0.5f;
    std::array<float, 3> spacing{};
    for (std::size_t k = 0; k < 3; ++k)
        spacing[k] = n[k] == 0 ? 0.0f
                               : (geometry.extent.last(k) - geometry.extent.first(k)) / static_cast<float>(n[k] - 1);

    Array<float, 3> window({w, w, w});
    for (const Peak3D& peak : peaks) {
        if (cap && out.size() >= *cap) break;
        std::array<std::uint64_t, 3> start{};
        for (std::size_t k = 0; k < 3; ++k) start[k] = window_start(peak.index[k], w, n[k]);
        std::size_t e = 0;
        for (std::uint64_t a = 0; a < w; ++a)
            for (std::uint64_t b = 0; b < w; ++b)
                for (std::uint64_t c = 0; c < w; ++c)
                    window.data[e++] = volume(start[0] + a, start[1] + b, start[2] + c);

        auto centre = localizer(window.view());
        if (!centre) continue;
        auto& c = *centre;
        // Far out of range: fall back to the window's centre point (w / 2, not the voxel w div 2).
        const bool localized = !((std::fabs(c[0]) - hf) > hf || (std::fabs(c[1]) - hf) > hf || (std::fabs(c[2]) - hf) > hf);
        if (!localized) c = {hf, hf, hf};

        Peak3D refined = peak;
        for (std::size_t k = 0; k < 3; ++k)
            refined.position[k] = geometry.extent.first(k) + (static_cast<float>(start[k]) + c[k]) * spacing[k];
        out.push_back(refined);
        if (refined_flags != nullptr) refined_flags->push_back(localized ? 1 : 0);
    }
    return out;
}

std::vector<Peak3D> localize_peaks_3d(const View3<float>& volume, const std::vector<Peak3D>& peaks, std::uint64_t w,
                                const DetectionGeometry3D& geometry, LocalizationMethod method,
                                std::optional<std::uint64_t> cap, std::vector<std::uint8_t>* refined) {
    switch (method) {
        case LocalizationMethod::RadialSymmetry:
            return localize_peaks_3d(volume, peaks, w, geometry, WindowLocalizer3D(localize_radial_symmetry_3d), cap, refined);
        case LocalizationMethod::GaussianFitting:
            return localize_peaks_3d(volume, peaks, w, geometry, WindowLocalizer3D(localize_gaussian_fitting_3d), cap, refined);
    }
    throw InternalError("localize_peaks_3d: unknown localization method");
}

}  // namespace trakora::localize
