#pragma once
// The ten Python-callable functions, declared once: name and parameters in order, each with
// the kind of argument it takes (how it is converted; the opt_ kinds accept None, and no
// parameter has a default). The method table, the text signatures and the argument parsing
// are built from this table; tests/declarations.py reads it to check the type stubs, the
// boundary tests and the fuzz harness against it, so keep one function per entry in the
// form below.
#include <array>
#include <cstddef>
#include <string_view>

namespace trakora::py {

enum class Kind {
    array1_i32,  // a 1-D int32 array
    array2_f32,  // a 2-D float32 array
    array3_f32,  // a 3-D float32 array
    array_list,  // a sequence (not str) of 2-D float32 arrays
    f32,         // a number, rounded to a 32-bit float
    opt_f32,
    size,        // an int (or __index__) that fits 64 bits unsigned
    opt_size,
    opt_text,    // a str
    tuple,       // a tuple (or subclass) of `items` numbers, read later by the body
    opt_tuple,
};

struct Parameter {
    std::string_view name;
    Kind kind = Kind::f32;
    std::size_t items = 0;  // the tuple kinds: how many numbers the body reads
};

inline constexpr std::size_t max_parameters = 9;

struct Declaration {
    std::string_view name;
    std::array<Parameter, max_parameters> parameters{};

    constexpr std::size_t size() const {
        std::size_t n = 0;
        while (n < max_parameters && !parameters[n].name.empty()) ++n;
        return n;
    }
};

// In the order in which the module adds them.
inline constexpr Declaration functions[] = {
    {"rs_detect_peaks",
     {{{"array", Kind::array2_f32}, {"extent", Kind::tuple, 4}, {"threshold", Kind::f32},
       {"min_distance", Kind::f32}, {"localization_method", Kind::opt_text},
       {"localization_window_size", Kind::opt_size}, {"max_num_peaks", Kind::opt_size}}}},
    {"rs_detect_peaks3d",
     {{{"array", Kind::array3_f32}, {"extent", Kind::tuple, 6}, {"threshold", Kind::f32},
       {"min_distance", Kind::f32}, {"localization_window_size", Kind::opt_size},
       {"localization_method", Kind::opt_text}, {"correlation_sigmas", Kind::opt_tuple, 3},
       {"correlation_threshold", Kind::opt_f32}, {"max_num_peaks", Kind::opt_size}}}},
    {"rs_draw_tracks",
     {{{"matrix_x_y_intensity", Kind::array2_f32}, {"track_end_indices", Kind::array1_i32},
       {"extent", Kind::tuple, 4}, {"pixel_size", Kind::f32}}}},
    {"rs_draw_tracks_3d",
     {{{"matrix_x_y_z_intensity", Kind::array2_f32}, {"track_end_indices", Kind::array1_i32},
       {"extent", Kind::tuple, 6}, {"pixel_size", Kind::f32}}}},
    {"rs_draw_tracks_value",
     {{{"matrix_x_y_intensity_value", Kind::array2_f32}, {"track_end_indices", Kind::array1_i32},
       {"extent", Kind::tuple, 4}, {"pixel_size", Kind::f32}}}},
    {"rs_draw_tracks_value_3d",
     {{{"matrix_x_y_z_intensity_value", Kind::array2_f32}, {"track_end_indices", Kind::array1_i32},
       {"extent", Kind::tuple, 6}, {"pixel_size", Kind::f32}}}},
    {"rs_radial_symmetry_2d",
     {{{"array", Kind::array2_f32}}}},
    {"rs_radial_symmetry_3d",
     {{{"array", Kind::array3_f32}}}},
    {"rs_link_points",
     {{{"points_list", Kind::array_list}, {"max_distance", Kind::f32}, {"max_skip", Kind::size},
       {"max_intensity_ratio", Kind::f32}}}},
    {"rs_link_points_3d",
     {{{"points_list", Kind::array_list}, {"max_distance", Kind::f32}, {"max_skip", Kind::size}}}},
};

inline constexpr std::size_t function_count = std::size(functions);

// The index of function `name` in the table; used in constant expressions, where an unknown
// name does not compile.
consteval std::size_t declared(std::string_view name) {
    for (std::size_t f = 0; f < function_count; ++f)
        if (functions[f].name == name) return f;
    throw "no such function in the table";
}

}  // namespace trakora::py
