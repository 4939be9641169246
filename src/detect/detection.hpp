#pragma once
// Peak finding in one image (D = 2) or volume (D = 3), written once over the dimension:
//
//   scan    every interior element that reaches the threshold and passes the neighbourhood
//           rule, line by line along the last axis on the worker pool;
//   gather  the lines' peaks in raster order;
//   sort    brightest first;
//   thin    greedily, so that no two kept peaks are closer than a minimum physical distance;
//   output  positions (N x D) and intensities (N).
//
// What differs by dimension is stated in detection.cpp as the small policy Rules<D>: the
// tie rule on plateaus and the position formula. The border policy is shared: elements on
// a face of the array are never examined, and an array with an axis shorter than 3 has no
// peaks.
#include <array>
#include <cstddef>
#include <vector>

#include "core/types.hpp"
#include "core/view.hpp"

namespace trakora::detect {

// The neighbourhood rule for interior element `index`: no neighbour is brighter, and no
// neighbour that the dimension's tie rule names is equal (a NaN on either side counts as
// equal, so a NaN element is never a peak). Read through the view's strides: the
// definition that the scan implements.
bool is_peak(const View2<float>& image, const std::array<std::size_t, 2>& index);
bool is_peak(const View3<float>& volume, const std::array<std::size_t, 3>& index);

// The peaks of one interior line along the last axis (row `line[0]` of an image; the line
// (line[0], line[1]) of a volume) that reach `threshold`, in increasing last index.
std::vector<Peak2D> find_peaks(const View2<float>& image, const Extent2D& extent, float threshold,
                               const std::array<std::size_t, 1>& line);
std::vector<Peak3D> find_peaks(const View3<float>& volume, const DetectionExtent3D& extent, float threshold,
                               const std::array<std::size_t, 2>& line);

// All peaks, brightest first, thinned by distance; no cap is applied.
//
// 2D tie rule: an equal (or NaN) neighbour later in raster order rejects a pixel, an earlier
// one does not. Positions are first + spacing * i per axis, spacing = (last - first) / (n - 1).
std::vector<Peak2D> detect_peaks(const View2<float>& image, const Extent2D& extent, float threshold,
                                 float min_distance);
// 3D tie rule: an equal (or NaN) neighbour in a later axis-0 plane rejects a voxel, one in an
// earlier plane does not; within the plane one with a larger axis-1 index or a smaller
// axis-2 index rejects it. Positions are first + ((last - first) * i) / (n - 1) per axis.
std::vector<Peak3D> detect_peaks_3d(const View3<float>& volume, const DetectionExtent3D& extent, float threshold,
                                    float min_distance);

// Descending intensity; the order of equal intensities depends on the input alone, never on
// the number of threads.
void sort_peaks_by_intensity(std::vector<Peak2D>& peaks);
void sort_peaks_by_intensity(std::vector<Peak3D>& peaks);

// Greedy minimum-distance thinning of a list sorted brightest first: a peak is dropped when
// its squared physical distance to an already kept peak, summed axis by axis in floats
// ((d0 * d0 + d1 * d1) + d2 * d2), is below min_distance * min_distance.
std::vector<Peak2D> thin_peaks_by_distance(const std::vector<Peak2D>& sorted, float min_distance);
std::vector<Peak3D> thin_peaks_by_distance(const std::vector<Peak3D>& sorted, float min_distance);

// Positions (N x D, row-major, axis 0 first) and intensities (N) of a peak list.
struct PeakArrays {
    std::vector<float> positions;
    std::vector<float> intensities;
};
PeakArrays build_output_arrays(const std::vector<Peak2D>& peaks);
PeakArrays build_output_arrays(const std::vector<Peak3D>& peaks);

}  // namespace trakora::detect
