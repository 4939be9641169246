// The trakora extension module: one thin body per Python-callable function (convert the
// arguments -> call a kernel -> wrap the result), and the method table built from the
// declarations in functions.hpp. Everything that touches Python lives here and in
// boundary.*; kernels only see views and owned buffers.
#define TRAKORA_IMPORT_NUMPY_API
#include <string>
#include <utility>

#include "core/errors.hpp"
#include "detect/detection.hpp"
#include "detect/gaussian_correlation.hpp"
#include "link/linking.hpp"
#include "localize/localize.hpp"
#include "localize/localize3d.hpp"
#include "localize/radial_symmetry.hpp"
#include "localize/radial_symmetry3d.hpp"
#include "python/boundary.hpp"
#include "python/functions.hpp"
#include "render/density.hpp"
#include "render/value_image.hpp"

namespace trakora {
namespace {

using py::Arguments;
using py::declared;
using py::Ref;

// The body of function F of the table. Arguments are converted in parameter order, so the
// first failing one is the one reported.
template <std::size_t F>
Ref body(const Arguments& a);

// ---- detection ------------------------------------------------------------------------

template <>
Ref body<declared("rs_detect_peaks")>(const Arguments& a) {
    const auto image = a.array<float, 2>(0);
    PyObject* extent = a.tuple(1);
    const float threshold = a.f32(2);
    const float min_distance = a.f32(3);
    const auto method = a.opt_text(4);
    const auto window_size = a.opt_size(5);
    const auto max_num_peaks = a.opt_size(6);
    // The tuple is (row first, row last, col first, col last).
    const auto items = a.tuple_items<4>(1, extent);
    const Extent2D extent2d{{items[0], items[2]}, {items[1], items[3]}};

    std::vector<Peak2D> peaks = detect::detect_peaks(image.view, extent2d, threshold, min_distance);
    if (!method) {
        if (max_num_peaks && peaks.size() > *max_num_peaks) peaks.resize(*max_num_peaks);
    } else {
        const std::uint64_t window = window_size.value_or(7);
        if (window < 3 || window % 2 == 0) throw ValueError("localization_window_size must be an odd integer >= 3");
        const LocalizationMethod parsed = parse_localization_method(*method);
        const localize::DetectionGeometry2D geometry{image.view.shape[0], image.view.shape[1], extent2d};
        peaks = localize::localize_peaks(image.view, peaks, window, geometry, localize::single_spot_maxima, parsed,
                                         max_num_peaks);
    }
    detect::PeakArrays out = detect::build_output_arrays(peaks);
    const std::size_t n = peaks.size();
    return py::tuple_of(py::to_numpy(std::move(out.positions), {n, 2}), py::to_numpy(std::move(out.intensities), {n}));
}

template <>
Ref body<declared("rs_detect_peaks3d")>(const Arguments& a) {
    const auto volume = a.array<float, 3>(0);
    PyObject* extent = a.tuple(1);
    const float threshold = a.f32(2);
    const float min_distance = a.f32(3);
    const auto window_size = a.opt_size(4);
    const auto method = a.opt_text(5);
    PyObject* sigmas = a.opt_tuple(6);
    const auto correlation_threshold = a.opt_f32(7);
    const auto max_num_peaks = a.opt_size(8);
    const DetectionExtent3D detection_extent{a.tuple_items<6>(1, extent)};
    std::vector<Peak3D> peaks = detect::detect_peaks_3d(volume.view, detection_extent, threshold, min_distance);
    if (sigmas != nullptr) {
        detect::compute_correlations(volume.view, detection_extent, peaks, a.tuple_items<3>(6, sigmas));
    }
    if (correlation_threshold) detect::keep_correlated(peaks, *correlation_threshold);
    if (method) {
        const std::uint64_t w = window_size.value_or(7);
        const LocalizationMethod parsed = parse_localization_method(*method);
        peaks = localize::localize_peaks_3d(volume.view, peaks, w, {volume.view.shape, detection_extent}, parsed,
                                            max_num_peaks);
    } else if (max_num_peaks && peaks.size() > *max_num_peaks) {
        peaks.resize(*max_num_peaks);
    }
    const std::size_t n = peaks.size();
    detect::PeakArrays out = detect::build_output_arrays(peaks);
    auto correlations = detect::correlation_column(peaks);
    return py::tuple_of(py::to_numpy(std::move(out.positions), {n, 3}), py::to_numpy(std::move(out.intensities), {n}),
                        correlations ? py::to_numpy(std::move(*correlations), {n}) : Ref::borrow(Py_None));
}

// ---- drawing --------------------------------------------------------------------------

// (matrix, track_end_indices, extent, pixel_size) -> the kernel's arrays and the extent of
// the grid, for the four drawing functions.
template <std::size_t D, class Draw>
Ref draw(const Arguments& a, Draw&& kernel) {
    const auto matrix = a.array<float, 2>(0);
    const auto ends = a.array<std::int32_t, 1>(1);
    PyObject* extent = a.tuple(2);
    const float pixel_size = a.f32(3);
    const auto grid = render::make_grid<D>(a.tuple_items<2 * D>(2, extent), pixel_size);
    return kernel(matrix.view, ends.view, grid);
}

template <>
Ref body<declared("rs_draw_tracks")>(const Arguments& a) {
    return draw<2>(a, [](const auto& matrix, const auto& ends, const auto& grid) {
        auto out = render::draw_tracks(matrix, ends, grid);
        return py::tuple_of(py::to_numpy(std::move(out.values)), py::to_numpy(std::move(out.counts)),
                            py::float_tuple(grid.extent()));
    });
}

template <>
Ref body<declared("rs_draw_tracks_3d")>(const Arguments& a) {
    return draw<3>(a, [](const auto& matrix, const auto& ends, const auto& grid) {
        auto out = render::draw_tracks_3d(matrix, ends, grid);
        return py::tuple_of(py::to_numpy(std::move(out.values)), py::to_numpy(std::move(out.counts)),
                            py::float_tuple(grid.extent()));
    });
}

template <std::size_t D>
Ref draw_value(const Arguments& a) {
    return draw<D>(a, [](const auto& matrix, const auto& ends, const auto& grid) {
        auto out = render::draw_tracks_value<D>(matrix, ends, grid);
        return py::tuple_of(py::to_numpy(std::move(out.intensity)), py::to_numpy(std::move(out.value)),
                            py::to_numpy(std::move(out.count)), py::float_tuple(grid.extent()));
    });
}

template <>
Ref body<declared("rs_draw_tracks_value")>(const Arguments& a) {
    return draw_value<2>(a);
}

template <>
Ref body<declared("rs_draw_tracks_value_3d")>(const Arguments& a) {
    return draw_value<3>(a);
}

// ---- single-spot localization ---------------------------------------------------------

template <>
Ref body<declared("rs_radial_symmetry_2d")>(const Arguments& a) {
    const auto window = a.array<float, 2>(0);
    if (window.view.shape[0] == 0 || window.view.shape[1] == 0)
        throw ValueError("rs_radial_symmetry_2d needs an array with at least one row and one column");
    const auto offsets = localize::localize_radial_symmetry(window.view);
    if (!offsets) throw ValueError("Radial symmetry localization failed");
    return py::tuple_of(py::to_float((*offsets)[0]), py::to_float((*offsets)[1]));
}

template <>
Ref body<declared("rs_radial_symmetry_3d")>(const Arguments& a) {
    const auto window = a.array<float, 3>(0);
    const auto centre = localize::localize_radial_symmetry_3d(window.view);
    if (!centre) throw ValueError("3D radial symmetry localization failed");
    return py::tuple_of(py::to_float((*centre)[0]), py::to_float((*centre)[1]), py::to_float((*centre)[2]));
}

// ---- linking --------------------------------------------------------------------------

std::vector<View2<float>> table_views(const std::vector<py::ArrayArg<float, 2>>& frames) {
    std::vector<View2<float>> views;
    views.reserve(frames.size());
    for (const auto& f : frames) views.push_back(f.view);
    return views;
}

// (point matrix rows x (D + 1) float32, track_end_indices uint32)
template <std::size_t D>
Ref track_matrices(ExportMatrices<D>&& tracks) {
    const std::size_t rows = tracks.rows();
    const std::size_t ends = tracks.track_end_indices.size();
    Ref matrix = py::to_numpy(std::move(tracks.matrix), {rows, ExportMatrices<D>::cols});
    return py::tuple_of(std::move(matrix), py::to_numpy(std::move(tracks.track_end_indices), {ends}));
}

template <>
Ref body<declared("rs_link_points")>(const Arguments& a) {
    const auto frames = a.array_list(0);
    const float max_distance = a.f32(1);
    const std::uint64_t max_skip = a.size(2);
    const float max_intensity_ratio = a.f32(3);
    return track_matrices(
        link::link_and_export(link::read_frames(table_views(frames)), max_skip, max_distance, max_intensity_ratio));
}

template <>
Ref body<declared("rs_link_points_3d")>(const Arguments& a) {
    const auto frames = a.array_list(0);
    const float max_distance = a.f32(1);
    const std::uint64_t max_skip = a.size(2);
    return track_matrices(link::link_and_export_3d(link::read_frames_3d(table_views(frames)), max_skip, max_distance));
}

// ---- the module -----------------------------------------------------------------------

template <std::size_t F>
PyObject* entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> Ref { return body<F>(Arguments(py::functions[F], args, kwargs)); });
}

// The text signature "name(p1, p2, ...)\n--\n\n": the interpreter shows it as
// __text_signature__ and leaves the visible docstring empty.
std::string text_signature(const py::Declaration& function) {
    std::string doc(function.name);
    doc += '(';
    for (std::size_t i = 0; i < function.size(); ++i) {
        if (i > 0) doc += ", ";
        doc += function.parameters[i].name;
    }
    return doc + ")\n--\n\n";
}

template <std::size_t... F>
constexpr std::array<PyCFunction, py::function_count> entries(std::index_sequence<F...>) {
    return {reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<F>))...};
}

// Built once by the init function; the interpreter keeps pointers into them for good.
std::array<std::string, py::function_count> signatures;
std::array<PyMethodDef, py::function_count> methods;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "trakora", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace trakora

PyMODINIT_FUNC PyInit_trakora() {
    using trakora::py::Ref;
    namespace py = trakora::py;
    try {
        if (PyArray_ImportNumPyAPI() < 0) return nullptr;
        if (py::panic_exception_type() == nullptr) return nullptr;
        Ref module = Ref::check(PyModule_Create(&trakora::module_def));
        Ref module_name = Ref::check(PyUnicode_FromString("trakora"));
        const auto entries = trakora::entries(std::make_index_sequence<py::function_count>());
        for (std::size_t f = 0; f < py::function_count; ++f) {
            trakora::signatures[f] = trakora::text_signature(py::functions[f]);
            trakora::methods[f] = {py::functions[f].name.data(), entries[f], METH_VARARGS | METH_KEYWORDS,
                                   trakora::signatures[f].c_str()};
            PyMethodDef& def = trakora::methods[f];
            Ref function = Ref::check(PyCFunction_NewEx(&def, module.get(), module_name.get()));
            if (PyModule_AddObjectRef(module.get(), def.ml_name, function.get()) < 0) return nullptr;
        }
        return module.release();
    } catch (...) {
        trakora::py::set_error_from_current_exception();
        return nullptr;
    }
}
