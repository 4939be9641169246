#include "types.hpp"

#include <string>

#include "errors.hpp"

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

}  // namespace trakora
