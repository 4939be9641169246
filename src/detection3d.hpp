#pragma once
// Peaks of one volume: interior voxels that reach a threshold and are maxima of their
// 26-neighbourhood, brightest first, thinned so that no two kept peaks are closer than a
// minimum physical distance.
#include <vector>

#include "types.hpp"
#include "view.hpp"

namespace trakora {

// Candidates of the whole volume (lines (i0, i1) on the worker pool, gathered in raster
// order), sorted by intensity and thinned by distance. No cap is applied.
//
// Tie rule on plateaus: an equal (or NaN) neighbour in a later axis-0 plane rejects a voxel,
// one in an earlier plane does not; within the plane one with a larger axis-1 index or a
// smaller axis-2 index rejects it. A NaN voxel is never a peak; face voxels are never
// examined. Positions are first + ((last - first) * i) / (n - 1) per axis.
std::vector<Peak3D> detect_peaks_3d(const View3<float>& volume, const DetectionExtent3D& extent, float threshold,
                                    float min_distance);

// Descending intensity; the order of equal intensities is unspecified but does not depend
// on the number of threads.
void sort_peaks_by_intensity(std::vector<Peak3D>& peaks);

// Greedy thinning in list order: a peak whose squared distance to a kept one,
// ((d0 * d0 + d1 * d1) + d2 * d2) in floats, is below min_distance * min_distance is dropped.
std::vector<Peak3D> thin_peaks_by_distance(const std::vector<Peak3D>& sorted, float min_distance);

// Positions (N x 3, row-major, axis 0 first) and intensities (N) of a peak list.
struct PeakArrays3D {
    std::vector<float> positions;
    std::vector<float> intensities;
};
PeakArrays3D build_output_arrays(const std::vector<Peak3D>& peaks);

}  // namespace trakora
