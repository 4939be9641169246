#include "core/types.hpp"

#include <limits>
#include <string>

#include "core/errors.hpp"

namespace trakora {

LocalizationMethod parse_localization_method(std::string_view name) {
    if (name == "radial_symmetry") return LocalizationMethod::RadialSymmetry;
    if (name == "gaussian_fitting") return LocalizationMethod::GaussianFitting;
    throw ValueError("Unknown localization method '" + std::string(name) +
                     "'. Choose 'radial_symmetry' or 'gaussian_fitting'.");
}

[[noreturn]] void throw_index_out_of_bounds(const char* where, std::size_t index, std::size_t len) {
    throw InternalError("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                        std::to_string(index) + " (" + where + ")");
}

template <std::size_t D>
void ExportMatrices<D>::end_track() {
    const std::size_t end = rows();
    if (end > std::numeric_limits<std::uint32_t>::max())
        throw ValueError("the tracks have more rows than 32-bit track_end_indices can address");
    track_end_indices.push_back(static_cast<std::uint32_t>(end));
}

template struct ExportMatrices<2>;
template struct ExportMatrices<3>;

}  // namespace trakora
