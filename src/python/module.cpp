// The trakora extension module: the function table and one thin body per Python-callable
// function (parse -> convert -> call a kernel -> wrap the result). Everything that touches
// Python lives here and in python/boundary.*; kernels only see views and owned buffers.
#define TRAKORA_IMPORT_NUMPY_API
#include "core/errors.hpp"
#include "detect/detection.hpp"
#include "detect/gaussian_correlation.hpp"
#include "link/linking.hpp"
#include "localize/localize.hpp"
#include "localize/localize3d.hpp"
#include "localize/radial_symmetry2d.hpp"
#include "localize/radial_symmetry3d.hpp"
#include "python/boundary.hpp"
#include "render/density.hpp"
#include "render/value_image.hpp"

namespace trakora {
namespace {

using py::Ref;

// ---- rs_detect_peaks ------------------------------------------------------------------
PyObject* rs_detect_peaks(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> Ref {
        const auto a = py::parse_args<7>(args, kwargs, "rs_detect_peaks",
                                         {"array", "extent", "threshold", "min_distance", "localization_method",
                                          "localization_window_size", "max_num_peaks"});
        const auto image = py::to_array<float, 2>(a[0], "array");
        PyObject* extent = py::to_tuple(a[1], "extent");
        const float threshold = py::to_f32(a[2], "threshold");
        const float min_distance = py::to_f32(a[3], "min_distance");
        const auto method = py::to_opt_text(a[4], "localization_method");
        const auto window_size = py::to_opt_size(a[5], "localization_window_size");
        const auto max_num_peaks = py::to_opt_size(a[6], "max_num_peaks");
        // The tuple is (row first, row last, col first, col last).
        const auto items = py::tuple_floats<4>(extent);
        const Extent2D extent2d{{items[0], items[2]}, {items[1], items[3]}};

        std::vector<Peak2D> peaks = detect::detect_peaks(image.view, extent2d, threshold, min_distance);
        if (!method) {
            if (max_num_peaks && peaks.size() > *max_num_peaks) peaks.resize(*max_num_peaks);
        } else {
            const std::uint64_t window = window_size.value_or(7);
            if (window < 3 || window % 2 == 0) throw ValueError("localization_window_size must be an odd integer >= 3");
            const LocalizationMethod parsed = parse_localization_method(*method);
            const localize::DetectionGeometry2D geometry{image.view.shape[0], image.view.shape[1], extent2d};
            peaks = localize::localize_peaks(image.view, peaks, window, geometry, localize::MAX_WINDOW_MAXIMA, parsed, max_num_peaks);
        }
        detect::PeakArrays out = detect::build_output_arrays(peaks);
        const std::size_t n = peaks.size();
        return py::tuple_of(py::to_numpy(std::move(out.positions), {n, 2}), py::to_numpy(std::move(out.intensities), {n}));
    });
}

// ---- rs_detect_peaks3d ----------------------------------------------------------------
PyObject* rs_detect_peaks3d(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> Ref {
        const auto a = py::parse_args<9>(args, kwargs, "rs_detect_peaks3d",
                                         {"array", "extent", "threshold", "min_distance", "localization_window_size",
                                          "localization_method", "correlation_sigmas", "correlation_threshold",
                                          "max_num_peaks"});
        const auto volume = py::to_array<float, 3>(a[0], "array");
        PyObject* extent = py::to_tuple(a[1], "extent");
        const float threshold = py::to_f32(a[2], "threshold");
        const float min_distance = py::to_f32(a[3], "min_distance");
        const auto window_size = py::to_opt_size(a[4], "localization_window_size");
        const auto method = py::to_opt_text(a[5], "localization_method");
        PyObject* sigmas = py::to_opt_tuple(a[6], "correlation_sigmas");
        const auto correlation_threshold = py::to_opt_f32(a[7], "correlation_threshold");
        const auto max_num_peaks = py::to_opt_size(a[8], "max_num_peaks");
        const DetectionExtent3D detection_extent{py::tuple_floats<6>(extent)};
        std::vector<Peak3D> peaks = detect::detect_peaks_3d(volume.view, detection_extent, threshold, min_distance);
        if (sigmas != nullptr) {
            detect::compute_correlations(volume.view, detection_extent, peaks, py::tuple_floats<3>(sigmas));
        }
        if (correlation_threshold) detect::keep_correlated(peaks, *correlation_threshold);
        if (method) {
            const std::uint64_t w = window_size.value_or(7);
            const LocalizationMethod parsed = parse_localization_method(*method);
            peaks = localize::localize_peaks_3d(volume.view, peaks, w, {volume.view.shape, detection_extent}, parsed, max_num_peaks);
        } else if (max_num_peaks && peaks.size() > *max_num_peaks) {
            peaks.resize(*max_num_peaks);
        }
        const std::size_t n = peaks.size();
        detect::PeakArrays out = detect::build_output_arrays(peaks);
        auto correlations = detect::correlation_column(peaks);
        return py::tuple_of(py::to_numpy(std::move(out.positions), {n, 3}), py::to_numpy(std::move(out.intensities), {n}),
                            correlations ? py::to_numpy(std::move(*correlations), {n}) : Ref::borrow(Py_None));
    });
}

// ---- rs_draw_tracks -------------------------------------------------------------------
PyObject* rs_draw_tracks(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> Ref {
        const auto a = py::parse_args<4>(args, kwargs, "rs_draw_tracks",
                                         {"matrix_x_y_intensity", "track_end_indices", "extent", "pixel_size"});
        const auto matrix = py::to_array<float, 2>(a[0], "matrix_x_y_intensity");
        const auto ends = py::to_array<std::int32_t, 1>(a[1], "track_end_indices");
        PyObject* extent = py::to_tuple(a[2], "extent");
        const float pixel_size = py::to_f32(a[3], "pixel_size");
        const auto grid = render::make_grid<2>(py::tuple_floats<4>(extent), pixel_size);
        auto out = render::draw_tracks(matrix.view, ends.view, grid);
        return py::tuple_of(py::to_numpy(std::move(out.values)), py::to_numpy(std::move(out.counts)),
                            py::float_tuple(grid.extent()));
    });
}

// ---- rs_draw_tracks_3d ----------------------------------------------------------------
PyObject* rs_draw_tracks_3d(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> Ref {
        const auto a = py::parse_args<4>(args, kwargs, "rs_draw_tracks_3d",
                                         {"matrix_x_y_z_intensity", "track_end_indices", "extent", "pixel_size"});
        const auto matrix = py::to_array<float, 2>(a[0], "matrix_x_y_z_intensity");
        const auto ends = py::to_array<std::int32_t, 1>(a[1], "track_end_indices");
        PyObject* extent = py::to_tuple(a[2], "extent");
        const float pixel_size = py::to_f32(a[3], "pixel_size");
        const auto grid = render::make_grid<3>(py::tuple_floats<6>(extent), pixel_size);
        auto out = render::draw_tracks_3d(matrix.view, ends.view, grid);
        return py::tuple_of(py::to_numpy(std::move(out.values)), py::to_numpy(std::move(out.counts)),
                            py::float_tuple(grid.extent()));
    });
}

// ---- rs_draw_tracks_value -------------------------------------------------------------
PyObject* rs_draw_tracks_value(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> Ref {
        const auto a = py::parse_args<4>(args, kwargs, "rs_draw_tracks_value",
                                         {"matrix_x_y_intensity_value", "track_end_indices", "extent", "pixel_size"});
        const auto matrix = py::to_array<float, 2>(a[0], "matrix_x_y_intensity_value");
        const auto ends = py::to_array<std::int32_t, 1>(a[1], "track_end_indices");
        PyObject* extent = py::to_tuple(a[2], "extent");
        const float pixel_size = py::to_f32(a[3], "pixel_size");
        const auto grid = render::make_grid<2>(py::tuple_floats<4>(extent), pixel_size);
        auto out = render::draw_tracks_value<2>(matrix.view, ends.view, grid);
        return py::tuple_of(py::to_numpy(std::move(out.intensity)), py::to_numpy(std::move(out.value)),
                            py::to_numpy(std::move(out.count)), py::float_tuple(grid.extent()));
    });
}

// ---- rs_draw_tracks_value_3d ----------------------------------------------------------
PyObject* rs_draw_tracks_value_3d(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> Ref {
        const auto a = py::parse_args<4>(
            args, kwargs, "rs_draw_tracks_value_3d",
            {"matrix_x_y_z_intensity_value", "track_end_indices", "extent", "pixel_size"});
        const auto matrix = py::to_array<float, 2>(a[0], "matrix_x_y_z_intensity_value");
        const auto ends = py::to_array<std::int32_t, 1>(a[1], "track_end_indices");
        PyObject* extent = py::to_tuple(a[2], "extent");
        const float pixel_size = py::to_f32(a[3], "pixel_size");
        const auto grid = render::make_grid<3>(py::tuple_floats<6>(extent), pixel_size);
        auto out = render::draw_tracks_value<3>(matrix.view, ends.view, grid);
        return py::tuple_of(py::to_numpy(std::move(out.intensity)), py::to_numpy(std::move(out.value)),
                            py::to_numpy(std::move(out.count)), py::float_tuple(grid.extent()));
    });
}

// ---- rs_radial_symmetry_2d ------------------------------------------------------------
PyObject* rs_radial_symmetry_2d(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> Ref {
        const auto a = py::parse_args<1>(args, kwargs, "rs_radial_symmetry_2d", {"array"});
        const auto window = py::to_array<float, 2>(a[0], "array");
        if (window.view.shape[0] == 0 || window.view.shape[1] == 0)
            throw ValueError("rs_radial_symmetry_2d needs an array with at least one row and one column");
        const auto offsets = localize::localize_radial_symmetry(window.view);
        if (!offsets) throw ValueError("Radial symmetry localization failed");
        return py::tuple_of(py::to_float((*offsets)[0]), py::to_float((*offsets)[1]));
    });
}

// ---- rs_radial_symmetry_3d ------------------------------------------------------------
PyObject* rs_radial_symmetry_3d(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> Ref {
        const auto a = py::parse_args<1>(args, kwargs, "rs_radial_symmetry_3d", {"array"});
        const auto window = py::to_array<float, 3>(a[0], "array");
        const auto centre = localize::localize_radial_symmetry_3d(window.view);
        if (!centre) throw ValueError("3D radial symmetry localization failed");
        return py::tuple_of(py::to_float((*centre)[0]), py::to_float((*centre)[1]), py::to_float((*centre)[2]));
    });
}

// ---- rs_link_points -------------------------------------------------------------------
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

PyObject* rs_link_points(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> Ref {
        const auto a = py::parse_args<4>(args, kwargs, "rs_link_points",
                                         {"points_list", "max_distance", "max_skip", "max_intensity_ratio"});
        const auto frames = py::to_array_list(a[0], "points_list");
        const float max_distance = py::to_f32(a[1], "max_distance");
        const std::uint64_t max_skip = py::to_size(a[2], "max_skip");
        const float max_intensity_ratio = py::to_f32(a[3], "max_intensity_ratio");
        auto tracks = link::link_and_export(link::read_frames(table_views(frames)), max_skip, max_distance,
                                               max_intensity_ratio);
        return track_matrices(std::move(tracks));
    });
}

// ---- rs_link_points_3d ----------------------------------------------------------------
PyObject* rs_link_points_3d(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> Ref {
        const auto a = py::parse_args<3>(args, kwargs, "rs_link_points_3d", {"points_list", "max_distance", "max_skip"});
        const auto frames = py::to_array_list(a[0], "points_list");
        const float max_distance = py::to_f32(a[1], "max_distance");
        const std::uint64_t max_skip = py::to_size(a[2], "max_skip");
        auto tracks = link::link_and_export_3d(link::read_frames_3d(table_views(frames)), max_skip, max_distance);
        return track_matrices(std::move(tracks));
    });
}

// ---- the module -----------------------------------------------------------------------

template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
constexpr PyCFunction as_cfunction() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef functions[] = {
    {"rs_detect_peaks", as_cfunction<rs_detect_peaks>(), METH_VARARGS | METH_KEYWORDS,
     "rs_detect_peaks(array, extent, threshold, min_distance, localization_method, localization_window_size, "
     "max_num_peaks)\n--\n\n"},
    {"rs_detect_peaks3d", as_cfunction<rs_detect_peaks3d>(), METH_VARARGS | METH_KEYWORDS,
     "rs_detect_peaks3d(array, extent, threshold, min_distance, localization_window_size, localization_method, "
     "correlation_sigmas, correlation_threshold, max_num_peaks)\n--\n\n"},
    {"rs_draw_tracks", as_cfunction<rs_draw_tracks>(), METH_VARARGS | METH_KEYWORDS,
     "rs_draw_tracks(matrix_x_y_intensity, track_end_indices, extent, pixel_size)\n--\n\n"},
    {"rs_draw_tracks_3d", as_cfunction<rs_draw_tracks_3d>(), METH_VARARGS | METH_KEYWORDS,
     "rs_draw_tracks_3d(matrix_x_y_z_intensity, track_end_indices, extent, pixel_size)\n--\n\n"},
    {"rs_draw_tracks_value", as_cfunction<rs_draw_tracks_value>(), METH_VARARGS | METH_KEYWORDS,
     "rs_draw_tracks_value(matrix_x_y_intensity_value, track_end_indices, extent, pixel_size)\n--\n\n"},
    {"rs_draw_tracks_value_3d", as_cfunction<rs_draw_tracks_value_3d>(), METH_VARARGS | METH_KEYWORDS,
     "rs_draw_tracks_value_3d(matrix_x_y_z_intensity_value, track_end_indices, extent, pixel_size)\n--\n\n"},
    {"rs_radial_symmetry_2d", as_cfunction<rs_radial_symmetry_2d>(), METH_VARARGS | METH_KEYWORDS,
     "rs_radial_symmetry_2d(array)\n--\n\n"},
    {"rs_radial_symmetry_3d", as_cfunction<rs_radial_symmetry_3d>(), METH_VARARGS | METH_KEYWORDS,
     "rs_radial_symmetry_3d(array)\n--\n\n"},
    {"rs_link_points", as_cfunction<rs_link_points>(), METH_VARARGS | METH_KEYWORDS,
     "rs_link_points(points_list, max_distance, max_skip, max_intensity_ratio)\n--\n\n"},
    {"rs_link_points_3d", as_cfunction<rs_link_points_3d>(), METH_VARARGS | METH_KEYWORDS,
     "rs_link_points_3d(points_list, max_distance, max_skip)\n--\n\n"},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "trakora", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace trakora

PyMODINIT_FUNC PyInit_trakora() {
    using trakora::py::Ref;
    try {
        if (PyArray_ImportNumPyAPI() < 0) return nullptr;
        if (trakora::py::panic_exception_type() == nullptr) return nullptr;
        Ref module = Ref::check(PyModule_Create(&trakora::module_def));
        Ref module_name = Ref::check(PyUnicode_FromString("trakora"));
        for (PyMethodDef& def : trakora::functions) {
            Ref function = Ref::check(PyCFunction_NewEx(&def, module.get(), module_name.get()));
            if (PyModule_AddObjectRef(module.get(), def.ml_name, function.get()) < 0) return nullptr;
        }
        return module.release();
    } catch (...) {
        trakora::py::set_error_from_current_exception();
        return nullptr;
    }
}
