#pragma once
// The density images. Their rules differ by dimension, hence two functions:
// - 2D: tracks walked pixel by pixel (walk_line); each pixel collects the intensities
//   interpolated along the segments that pass it and keeps the sum of its upper three
//   quarters (trimmed_sum), with the visits grouped in one flat buffer (group_by_cell);
// - 3D: tracks walked voxel by voxel (walk_line_3d); each voxel sums every interpolated
//   intensity that reaches it.
// Both also count the visits of each cell.
#include <cstdint>

#include "core/view.hpp"
#include "render/raster.hpp"

namespace trakora::render {

template <std::size_t D>
struct DensityArrays {
    Array<float, D> values;  // 2D: trimmed sums; 3D: plain sums
    Array<std::uint32_t, D> counts;
};

// Each call reads the tracks of the point matrix one at a time, prepares them for the grid
// and draws them; the grid is checked to fit in memory before any track is read.
DensityArrays<2> draw_tracks(const View2<float>& matrix, const View1<std::int32_t>& ends, const Grid<2>& grid);
DensityArrays<3> draw_tracks_3d(const View2<float>& matrix, const View1<std::int32_t>& ends, const Grid<3>& grid);

}  // namespace trakora::render
