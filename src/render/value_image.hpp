#pragma once
// The value images, 2D and 3D alike: tracks whose points carry a value besides the
// intensity, walked as in the density images; every cell keeps the intensity sum and the
// intensity-weighted mean value of its samples after the lowest-intensity quarter is
// discarded (render_value_image in raster.hpp).
#include <cstdint>

#include "core/view.hpp"
#include "render/raster.hpp"

namespace trakora::render {

// Checks that the outputs fit in memory, then reads, prepares, draws and reduces the tracks.
template <std::size_t D>
ValueArrays<D> draw_tracks_value(const View2<float>& matrix, const View1<std::int32_t>& ends, const Grid<D>& grid);

extern template ValueArrays<2> draw_tracks_value<2>(const View2<float>&, const View1<std::int32_t>&, const Grid<2>&);
extern template ValueArrays<3> draw_tracks_value<3>(const View2<float>&, const View1<std::int32_t>&, const Grid<3>&);

}  // namespace trakora::render
