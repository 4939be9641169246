#include "workflow/ulm.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "localize/anisotropic.hpp"
#include "python/boundary.hpp"
#include "workflow/lock.hpp"

namespace trakora::workflow {

namespace {
constexpr std::uint64_t max_half_window = 256;
}

PyObject* ulm_localize_spots(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> py::Ref {
        static const char* const names[] = {"stack", "threshold", "half_rows", "half_cols", "sigma_rows",
                                            "sigma_cols", "crowd_ratio", "method", "smooth_rows", "smooth_cols", nullptr};
        PyObject* v[10] = {};
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOOOOO:localize_spots", const_cast<char**>(names), &v[0],
                                         &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9]))
            throw py::PythonError{};
        const auto stack = py::to_array<float, 3>(v[0], "stack");
        localize::SpotParams params;
        params.threshold = py::to_f32(v[1], "threshold");
        const std::uint64_t half_rows = py::to_size(v[2], "half_rows");
        const std::uint64_t half_cols = py::to_size(v[3], "half_cols");
        params.sigma_rows = py::to_f32(v[4], "sigma_rows");
        params.sigma_cols = py::to_f32(v[5], "sigma_cols");
        params.crowd_ratio = py::to_f32(v[6], "crowd_ratio");
        const auto method = py::to_opt_text(v[7], "method");
        params.smooth_rows = py::to_f32(v[8], "smooth_rows");
        params.smooth_cols = py::to_f32(v[9], "smooth_cols");
        if (!(params.smooth_rows >= 0) || !(params.smooth_cols >= 0) || !(params.smooth_rows <= 256) ||
            !(params.smooth_cols <= 256))
            throw ValueError("smooth_rows and smooth_cols must be between 0 and 256");
        if (std::isnan(params.threshold)) throw ValueError("threshold must be a number");
        if (half_rows < 1 || half_cols < 1 || half_rows > max_half_window || half_cols > max_half_window)
            throw ValueError("half_rows and half_cols must be between 1 and 256");
        if (!(params.sigma_rows >= 1e-3f) || !(params.sigma_cols >= 1e-3f) || !(params.sigma_rows <= 1e4f) ||
            !(params.sigma_cols <= 1e4f))
            throw ValueError("sigma_rows and sigma_cols must be between 0.001 and 10000 pixels");
        if (!(params.crowd_ratio >= 0) || !std::isfinite(params.crowd_ratio))
            throw ValueError("crowd_ratio must be >= 0 and finite");
        params.half_rows = half_rows;
        params.half_cols = half_cols;
        const std::string m = method.value_or("gaussian");
        if (m == "gaussian")
            params.method = localize::SpotMethod::gaussian;
        else if (m == "radial")
            params.method = localize::SpotMethod::radial;
        else
            throw ValueError("method must be 'gaussian' or 'radial', got '" + m + "'");
        localize::SpotCounts counts;
        std::vector<localize::Spot> spots = without_lock([&] { return localize::localize_spots(stack.view, params, &counts); });
        const std::size_t n = spots.size();
        std::vector<std::int64_t> frame(n);
        std::vector<float> row(n), col(n), intensity(n), sigma_row(n), sigma_col(n);
        for (std::size_t i = 0; i < n; ++i) {
            frame[i] = static_cast<std::int64_t>(spots[i].frame);
            row[i] = spots[i].row;
            col[i] = spots[i].col;
            intensity[i] = spots[i].intensity;
            sigma_row[i] = spots[i].sigma_row;
            sigma_col[i] = spots[i].sigma_col;
        }
        py::Ref stats = py::Ref::check(Py_BuildValue("(KKK)", static_cast<unsigned long long>(counts.candidates),
                                                     static_cast<unsigned long long>(counts.crowded),
                                                     static_cast<unsigned long long>(counts.failed)));
        return py::tuple_of(py::to_numpy(std::move(frame), {n}), py::to_numpy(std::move(row), {n}),
                            py::to_numpy(std::move(col), {n}), py::to_numpy(std::move(intensity), {n}),
                            py::to_numpy(std::move(sigma_row), {n}), py::to_numpy(std::move(sigma_col), {n}),
                            std::move(stats));
    });
}

}  // namespace trakora::workflow
