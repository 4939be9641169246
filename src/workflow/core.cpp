// trakora_workflow._core: the workflow's own extension, built from the same kernels as the
// `trakora` module. It returns what the workflow needs and the ten functions do not give:
// the frame and row of every linked point, and which detections the localizer refined.
// Kernels run with the interpreter lock released; the arguments' arrays are held (and only
// read) for the whole call, and the frame tables are copied before the lock is released.
// Parameters come in one order for images and volumes.
#define TRAKORA_IMPORT_NUMPY_API
#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "detect/detection.hpp"
#include "detect/gaussian_correlation.hpp"
#include "link/linking.hpp"
#include "link/motion.hpp"
#include "localize/localize.hpp"
#include "localize/localize3d.hpp"
#include "python/boundary.hpp"
#include "render/density.hpp"
#include "render/value_image.hpp"
#include "workflow/lock.hpp"
#include "workflow/ulm.hpp"

namespace trakora::workflow {
namespace {

using py::Ref;

// Parses exactly the named parameters (positional or keyword, all required) into borrowed
// references, in the interpreter's own TypeError words.
template <std::size_t N>
std::array<PyObject*, N> parse(PyObject* args, PyObject* kwargs, const char* format, const char* const (&names)[N + 1]) {
    std::array<PyObject*, N> values{};
    bool ok = false;
    if constexpr (N == 4)
        ok = PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names), &values[0], &values[1],
                                         &values[2], &values[3]);
    else if constexpr (N == 5)
        ok = PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names), &values[0], &values[1],
                                         &values[2], &values[3], &values[4]);
    else if constexpr (N == 10)
        ok = PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names), &values[0], &values[1],
                                         &values[2], &values[3], &values[4], &values[5], &values[6], &values[7],
                                         &values[8], &values[9]);
    if (!ok) throw py::PythonError{};
    return values;
}

Ref bool_array(std::vector<std::uint8_t>&& flags) {
    const std::size_t n = flags.size();
    auto box = std::make_unique<std::vector<std::uint8_t>>(std::move(flags));
    Ref capsule = Ref::check(PyCapsule_New(box.get(), "trakora.buffer", &py::destroy_vector_capsule<std::uint8_t>));
    std::vector<std::uint8_t>* owned = box.release();
    return py::wrap_buffer(std::move(capsule), owned->data(), n, NPY_BOOL, {static_cast<npy_intp>(n)});
}

// ---- detection ------------------------------------------------------------------------

// detect(frame, extent, threshold, min_distance, method, window_size, max_num_peaks,
//        correlation_sigmas, correlation_threshold, border_windows=False)
//   -> (positions (n, D), intensities (n,), refined (n,) bool, correlations (n,) or None)
// The positions and intensities are those of rs_detect_peaks (D = 2; correlation_sigmas and
// correlation_threshold must be None) or rs_detect_peaks3d (D = 3) for the same arguments;
// `refined` is True where the localizer's result is the position. With border_windows, an
// image's peaks whose window crosses the border are refined in the window shifted inward
// instead of dropped (as volumes always are).
Ref detect_image(PyObject* frame, PyObject* extent_arg, const std::array<PyObject*, 10>& v) {
    const auto image = py::to_array<float, 2>(frame, "frame");
    PyObject* extent = py::to_tuple(extent_arg, "extent");
    const float threshold = py::to_f32(v[2], "threshold");
    const float min_distance = py::to_f32(v[3], "min_distance");
    const auto method = py::to_opt_text(v[4], "method");
    const auto window_size = py::to_opt_size(v[5], "window_size");
    const auto max_num_peaks = py::to_opt_size(v[6], "max_num_peaks");
    if (v[7] != Py_None || v[8] != Py_None) throw ValueError("correlation applies to volumes only");
    const int shift = v[9] == nullptr ? 0 : PyObject_IsTrue(v[9]);
    if (shift < 0) throw py::PythonError{};
    const auto border = shift ? localize::BorderWindows::Shift : localize::BorderWindows::Drop;
    const auto items = py::tuple_floats<4>(extent);
    const Extent2D extent2d{{items[0], items[2]}, {items[1], items[3]}};
    std::optional<LocalizationMethod> parsed;
    std::uint64_t window = window_size.value_or(7);
    if (method) {
        if (window < 3 || window % 2 == 0) throw ValueError("localization_window_size must be an odd integer >= 3");
        parsed = parse_localization_method(*method);
    }
    std::vector<std::uint8_t> refined;
    std::vector<Peak2D> peaks = without_lock([&] {
        std::vector<Peak2D> found = detect::detect_peaks(image.view, extent2d, threshold, min_distance);
        if (!parsed) {
            if (max_num_peaks && found.size() > *max_num_peaks) found.resize(*max_num_peaks);
            refined.assign(found.size(), 0);
            return found;
        }
        const localize::DetectionGeometry2D geometry{image.view.shape[0], image.view.shape[1], extent2d};
        return localize::localize_peaks(image.view, found, window, geometry, localize::single_spot_maxima, *parsed,
                                        max_num_peaks, &refined, border);
    });
    detect::PeakArrays out = detect::build_output_arrays(peaks);
    const std::size_t n = peaks.size();
    return py::tuple_of(py::to_numpy(std::move(out.positions), {n, 2}), py::to_numpy(std::move(out.intensities), {n}),
                        bool_array(std::move(refined)), Ref::borrow(Py_None));
}

Ref detect_volume(PyObject* frame, PyObject* extent_arg, const std::array<PyObject*, 10>& v) {
    const auto volume = py::to_array<float, 3>(frame, "frame");
    PyObject* extent = py::to_tuple(extent_arg, "extent");
    const float threshold = py::to_f32(v[2], "threshold");
    const float min_distance = py::to_f32(v[3], "min_distance");
    const auto method = py::to_opt_text(v[4], "method");
    const auto window_size = py::to_opt_size(v[5], "window_size");
    const auto max_num_peaks = py::to_opt_size(v[6], "max_num_peaks");
    PyObject* sigmas_arg = py::to_opt_tuple(v[7], "correlation_sigmas");
    const auto correlation_threshold = py::to_opt_f32(v[8], "correlation_threshold");
    const DetectionExtent3D detection_extent{py::tuple_floats<6>(extent)};
    std::optional<std::array<float, 3>> sigmas;
    if (sigmas_arg != nullptr) sigmas = py::tuple_floats<3>(sigmas_arg);
    std::optional<LocalizationMethod> parsed;
    if (method) parsed = parse_localization_method(*method);
    const std::uint64_t w = window_size.value_or(7);
    std::vector<std::uint8_t> refined;
    std::vector<Peak3D> peaks = without_lock([&] {
        std::vector<Peak3D> found = detect::detect_peaks_3d(volume.view, detection_extent, threshold, min_distance);
        if (sigmas) detect::compute_correlations(volume.view, detection_extent, found, *sigmas);
        if (correlation_threshold) detect::keep_correlated(found, *correlation_threshold);
        if (parsed)
            return localize::localize_peaks_3d(volume.view, found, w, {volume.view.shape, detection_extent}, *parsed,
                                               max_num_peaks, &refined);
        if (max_num_peaks && found.size() > *max_num_peaks) found.resize(*max_num_peaks);
        refined.assign(found.size(), 0);
        return found;
    });
    const std::size_t n = peaks.size();
    detect::PeakArrays out = detect::build_output_arrays(peaks);
    auto correlations = detect::correlation_column(peaks);
    return py::tuple_of(py::to_numpy(std::move(out.positions), {n, 3}), py::to_numpy(std::move(out.intensities), {n}),
                        bool_array(std::move(refined)),
                        correlations ? py::to_numpy(std::move(*correlations), {n}) : Ref::borrow(Py_None));
}

PyObject* detect(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> Ref {
        static const char* const names[] = {"frame", "extent", "threshold", "min_distance", "method", "window_size",
                                            "max_num_peaks", "correlation_sigmas", "correlation_threshold",
                                            "border_windows", nullptr};
        const auto v = parse<10>(args, kwargs, "OOOOOOOOO|O:detect", names);
        if (PyArray_Check(v[0]) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(v[0])) == 3)
            return detect_volume(v[0], v[1], v);
        return detect_image(v[0], v[1], v);
    });
}

// ---- linking --------------------------------------------------------------------------

template <std::size_t D>
Ref linked(ExportMatrices<D>&& tracks, const std::vector<std::uint64_t>& sources,
           const std::vector<std::size_t>& starts) {
    const std::size_t rows = tracks.rows();
    std::vector<std::int64_t> frame(rows), row(rows);
    without_lock([&] {
        // A point's frame is the block of point numbers that holds it: a binary search each.
        for (std::size_t i = 0; i < rows; ++i) {
            const auto f = static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), sources[i]) -
                                                    starts.begin()) - 1;
            frame[i] = static_cast<std::int64_t>(f);
            row[i] = static_cast<std::int64_t>(sources[i] - starts[f]);
        }
        return 0;
    });
    const std::size_t ends = tracks.track_end_indices.size();
    Ref matrix = py::to_numpy(std::move(tracks.matrix), {rows, ExportMatrices<D>::cols});
    Ref end_indices = py::to_numpy(std::move(tracks.track_end_indices), {ends});
    return py::tuple_of(std::move(matrix), std::move(end_indices), py::to_numpy(std::move(frame), {rows}),
                        py::to_numpy(std::move(row), {rows}));
}

std::vector<View2<float>> table_views(const std::vector<py::ArrayArg<float, 2>>& tables) {
    std::vector<View2<float>> views;
    views.reserve(tables.size());
    for (const auto& t : tables) views.push_back(t.view);
    return views;
}

// (tables, ndim, max_distance, max_skip, max_intensity_ratio) -> (matrix, track_end_indices
// uint32, frame int64, row int64), for both linkers: frame[i] and row[i] locate matrix row i
// in `tables`. ndim 2 reads x, y, intensity (max_intensity_ratio None turns the intensity
// test off), ndim 3 x, y, z, intensity (max_intensity_ratio must be None).
template <class Link2, class Link3>
PyObject* link_tables(PyObject* args, PyObject* kwargs, const char* format, Link2&& link2, Link3&& link3) {
    return py::guarded([&]() -> Ref {
        static const char* const names[] = {"tables", "ndim", "max_distance", "max_skip", "max_intensity_ratio",
                                            nullptr};
        const auto v = parse<5>(args, kwargs, format, names);
        const auto tables = py::to_array_list(v[0], "tables");
        const std::uint64_t ndim = py::to_size(v[1], "ndim");
        const float max_distance = py::to_f32(v[2], "max_distance");
        const std::uint64_t max_skip = py::to_size(v[3], "max_skip");
        const auto ratio = py::to_opt_f32(v[4], "max_intensity_ratio");
        std::vector<std::uint64_t> sources;
        const std::vector<View2<float>> views = table_views(tables);
        if (ndim == 2) {
            std::vector<std::size_t> starts;
            auto tracks = without_lock([&] {
                link::Frames<2> frames = link::read_frames(views);
                starts = frames.starts;
                return link2(std::move(frames), max_distance, max_skip, ratio.value_or(NAN), sources);
            });
            return linked<2>(std::move(tracks), sources, starts);
        }
        if (ndim != 3) throw ValueError("ndim must be 2 or 3");
        if (ratio) throw ValueError("max_intensity_ratio applies to 2D points only");
        std::vector<std::size_t> starts;
        auto tracks = without_lock([&] {
            link::Frames<3> frames = link::read_frames_3d(views);
            starts = frames.starts;
            return link3(std::move(frames), max_distance, max_skip, sources);
        });
        return linked<3>(std::move(tracks), sources, starts);
    });
}

// link(...): the tracks of rs_link_points / rs_link_points_3d, bit for bit.
PyObject* link(PyObject*, PyObject* args, PyObject* kwargs) {
    return link_tables(
        args, kwargs, "OOOOO:link",
        [](link::Frames<2> frames, float max_distance, std::uint64_t max_skip, float ratio, auto& sources) {
            return link::link_and_export(std::move(frames), max_skip, max_distance, ratio, link::PairSolver::Grouped,
                                         &sources);
        },
        [](link::Frames<3> frames, float max_distance, std::uint64_t max_skip, auto& sources) {
            return link::link_and_export_3d(std::move(frames), max_skip, max_distance, link::PairSolver::Grouped,
                                            &sources);
        });
}

// link_motion(...): motion-aware linking with gap closing (link/motion.hpp).
PyObject* link_motion(PyObject*, PyObject* args, PyObject* kwargs) {
    return link_tables(
        args, kwargs, "OOOOO:link_motion",
        [](link::Frames<2> frames, float max_distance, std::uint64_t max_skip, float ratio, auto& sources) {
            return link::link_with_motion<2>(frames, {max_distance, max_skip, ratio}, &sources);
        },
        [](link::Frames<3> frames, float max_distance, std::uint64_t max_skip, auto& sources) {
            return link::link_with_motion<3>(frames, {max_distance, max_skip, NAN}, &sources);
        });
}

// ---- rendering ------------------------------------------------------------------------

// render(matrix, track_end_indices, valued, extent, pixel_size)
//   -> (density, counts, weight, mean, extent)
// rs_draw_tracks(_3d)(matrix, ...) and rs_draw_tracks_value(_3d)(valued, ...) in one call:
// `valued` is the matrix with a value column appended; the dimension follows from the
// extent (4 or 6 numbers).
template <std::size_t D>
Ref render_tracks(const py::ArrayArg<float, 2>& matrix, const py::ArrayArg<float, 2>& valued,
                  const py::ArrayArg<std::int32_t, 1>& ends, PyObject* extent, float pixel_size) {
    const auto grid = render::make_grid<D>(py::tuple_floats<2 * D>(extent), pixel_size);
    auto images = without_lock([&] {
        auto density = [&] {
            if constexpr (D == 2) return render::draw_tracks(matrix.view, ends.view, grid);
            else return render::draw_tracks_3d(matrix.view, ends.view, grid);
        }();
        auto value = render::draw_tracks_value<D>(valued.view, ends.view, grid);
        return std::make_pair(std::move(density), std::move(value));
    });
    return py::tuple_of(py::to_numpy(std::move(images.first.values)), py::to_numpy(std::move(images.first.counts)),
                        py::to_numpy(std::move(images.second.intensity)), py::to_numpy(std::move(images.second.value)),
                        py::float_tuple(grid.extent()));
}

PyObject* render(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> Ref {
        static const char* const names[] = {"matrix", "track_end_indices", "valued", "extent", "pixel_size", nullptr};
        const auto v = parse<5>(args, kwargs, "OOOOO:render", names);
        const auto matrix = py::to_array<float, 2>(v[0], "matrix");
        const auto ends = py::to_array<std::int32_t, 1>(v[1], "track_end_indices");
        const auto valued = py::to_array<float, 2>(v[2], "valued");
        PyObject* extent = py::to_tuple(v[3], "extent");
        const float pixel_size = py::to_f32(v[4], "pixel_size");
        const Py_ssize_t items = PyTuple_Size(extent);
        if (items == 6) return render_tracks<3>(matrix, valued, ends, extent, pixel_size);
        if (items == 4) return render_tracks<2>(matrix, valued, ends, extent, pixel_size);
        throw ValueError("extent must hold 4 numbers (2D) or 6 (3D)");
    });
}

PyMethodDef methods[] = {
    {"detect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&detect)), METH_VARARGS | METH_KEYWORDS,
     "detect(frame, extent, threshold, min_distance, method, window_size, max_num_peaks, correlation_sigmas, "
     "correlation_threshold, border_windows=False)\n--\n\nPeaks of an image or volume with a refined flag per peak."},
    {"link", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&link)), METH_VARARGS | METH_KEYWORDS,
     "link(tables, ndim, max_distance, max_skip, max_intensity_ratio)\n--\n\nTracks of per-frame tables with "
     "the frame and row of every linked point."},
    {"link_motion", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&link_motion)),
     METH_VARARGS | METH_KEYWORDS,
     "link_motion(tables, ndim, max_distance, max_skip, max_intensity_ratio)\n--\n\nMotion-aware tracks with gap "
     "closing, with the frame and row of every linked point."},
    {"render", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&render)), METH_VARARGS | METH_KEYWORDS,
     "render(matrix, track_end_indices, valued, extent, pixel_size)\n--\n\nDensity, counts, value weight and "
     "mean value images of tracks."},
    {"localize_spots", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&ulm_localize_spots)),
     METH_VARARGS | METH_KEYWORDS,
     "localize_spots(stack, threshold, half_rows, half_cols, sigma_rows, sigma_cols, crowd_ratio, method, "
     "smooth_rows, smooth_cols)\n--\n\n"
     "Anisotropic spots of every frame of a stack: frame, row, col, intensity, widths and counts."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "trakora_workflow._core", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace trakora::workflow

PyMODINIT_FUNC PyInit__core() {
    if (PyArray_ImportNumPyAPI() < 0) return nullptr;
    if (trakora::py::panic_exception_type() == nullptr) return nullptr;
    return PyModule_Create(&trakora::workflow::module_def);
}
