#pragma once
// Sub-voxel refinement of 3D peaks: a cubic window that holds the peak and lies wholly in
// the volume (shifted inward at the faces) is handed to a localizer, whose result in window
// voxel coordinates is mapped back to physical coordinates.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "core/types.hpp"
#include "core/view.hpp"

namespace trakora::localize {

struct DetectionGeometry3D {
    std::array<std::uint64_t, 3> shape{};
    DetectionExtent3D extent;
};

// A localizer: the spot centre in window voxel coordinates, or nothing.
using WindowLocalizer3D = std::function<std::optional<std::array<float, 3>>(const View3<float>&)>;

// First index of the window of size w round index i on an axis of n voxels (n >= w).
std::uint64_t window_start(std::uint64_t i, std::uint64_t w, std::uint64_t n);

// Refines each peak in order, dropping those the localizer fails on and stopping once
// `cap` peaks are kept (cap 0 keeps none). A result with (|c| - w/2) > w/2 on any axis is
// replaced by (w/2, w/2, w/2). Empty when a volume axis is shorter than w. When `refined`
// is given it receives one flag per output peak: 1 where the localizer's result is the
// position, 0 where it was replaced by the window's centre.
std::vector<Peak3D> localize_peaks_3d(const View3<float>& volume, const std::vector<Peak3D>& peaks, std::uint64_t w,
                                const DetectionGeometry3D& geometry, const WindowLocalizer3D& localizer,
                                std::optional<std::uint64_t> cap, std::vector<std::uint8_t>* refined = nullptr);

std::vector<Peak3D> localize_peaks_3d(const View3<float>& volume, const std::vector<Peak3D>& peaks, std::uint64_t w,
                                const DetectionGeometry3D& geometry, LocalizationMethod method,
                                std::optional<std::uint64_t> cap, std::vector<std::uint8_t>* refined = nullptr);

}  // namespace trakora::localize
