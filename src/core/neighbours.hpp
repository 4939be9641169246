#pragma once
// The 3^D - 1 neighbours of a pixel (D = 2) or voxel (D = 3) as index offsets, in
// lexicographic order with axis 0 slowest and the centre left out: the first half come
// before the centre in raster order, the second half after it.
#include <array>
#include <cstddef>
#include <cstdint>

namespace trakora {

template <std::size_t D>
using Offset = std::array<std::int64_t, D>;

template <std::size_t D>
inline constexpr std::size_t neighbour_count = D == 2 ? 8 : D == 3 ? 26 : 0;

template <std::size_t D>
constexpr std::array<Offset<D>, neighbour_count<D>> make_neighbour_offsets() {
    std::array<Offset<D>, neighbour_count<D>> offsets{};
    std::size_t n = 0;
    for (std::size_t code = 0; code < neighbour_count<D> + 1; ++code) {
        Offset<D> d{};
        std::size_t rest = code;
        bool centre = true;
        for (std::size_t k = D; k-- > 0;) {
            d[k] = static_cast<std::int64_t>(rest % 3) - 1;
            centre = centre && d[k] == 0;
            rest /= 3;
        }
        if (!centre) offsets[n++] = d;
    }
    return offsets;
}

template <std::size_t D>
inline constexpr auto neighbour_offsets = make_neighbour_offsets<D>();

}  // namespace trakora
