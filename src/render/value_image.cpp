#include "render/value_image.hpp"

#include "render/walk.hpp"

namespace trakora::render {

template <std::size_t D>
ValueArrays<D> draw_tracks_value(const View2<float>& matrix, const View1<std::int32_t>& ends, const Grid<D>& grid) {
    check_allocation(grid.cells(), 2 * sizeof(float) + sizeof(std::uint32_t));
    const auto source = track_source<TrackValue<D>>(matrix, ends);
    if constexpr (D == 2)
        return render_value_image(grid, source, LineWalk{});
    else
        return render_value_image(grid, source, LineWalk3D{});
}

template ValueArrays<2> draw_tracks_value<2>(const View2<float>&, const View1<std::int32_t>&, const Grid<2>&);
template ValueArrays<3> draw_tracks_value<3>(const View2<float>&, const View1<std::int32_t>&, const Grid<3>&);

}  // namespace trakora::render
