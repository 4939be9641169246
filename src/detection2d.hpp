#pragma once
// Peak finding in one image: interior pixels that reach a threshold and are strict local
// maxima of their 8-neighbourhood (ties broken by raster order), brightest first, thinned
// so that no two kept peaks are closer than a minimum physical distance.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "types.hpp"
#include "view.hpp"

namespace trakora {

using NeighbourOffsets2D = std::array<std::array<std::int64_t, 2>, 8>;

// (row offset, column offset) of the eight neighbours; the first four come earlier in
// raster order than the centre, the last four later.
inline constexpr NeighbourOffsets2D NEIGHBOUR_OFFSETS_2D = {{
    {-1, -1}, {-1, 0}, {-1, 1}, {0, -1}, {0, 1}, {1, -1}, {1, 0}, {1, 1}}};

// True when no neighbour is brighter and no neighbour later in raster order is equal
// (a NaN on either side counts as equal). Neighbours outside the image are skipped.
bool is_peak_in_neighborhood(const View2<float>& image, std::size_t row, std::size_t col,
                             const NeighbourOffsets2D& offsets);

// The peaks of interior row `row` (1 <= row <= R - 2) that reach `threshold`, in increasing
// column order, with their physical positions.
std::vector<Peak2D> find_peaks(const View2<float>& image, const Extent2D& extent, float threshold,
                               std::size_t row, const NeighbourOffsets2D& offsets);

// Descending intensity; the order of equal intensities is fixed by the input alone.
void sort_peaks_by_intensity(std::vector<Peak2D>& peaks);

// Greedy minimum-distance thinning of a list sorted brightest first: a peak is dropped
// when its squared physical distance to an already kept peak is below min_distance².
std::vector<Peak2D> thin_peaks_by_distance(const std::vector<Peak2D>& sorted, float min_distance);

// All peaks of the image, brightest first, thinned by distance.
std::vector<Peak2D> detect_peaks(const View2<float>& image, const Extent2D& extent, float threshold,
                                 float min_distance);

// Positions (N x 2, row-major, axis 0 first) and intensities (N) of a peak list.
struct PeakArrays2D {
    std::vector<float> positions;
    std::vector<float> intensities;
};
PeakArrays2D build_output_arrays(const std::vector<Peak2D>& peaks);

}  // namespace trakora
