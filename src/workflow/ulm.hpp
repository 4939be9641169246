#pragma once
// trakora_workflow._core functions for ultrasound localization microscopy.
#include "python/numpy_api.hpp"

namespace trakora::workflow {

// localize_spots(stack, threshold, half_rows, half_cols, sigma_rows, sigma_cols, crowd_ratio, method,
//                smooth_rows, smooth_cols)
//   -> (frame int64 (n,), row f32 (n,), col f32 (n,), intensity f32 (n,), sigma_row f32 (n,),
//       sigma_col f32 (n,), (candidates, crowded, failed))
// The anisotropic spots of a float32 stack (frames, rows, columns); see localize/anisotropic.hpp.
PyObject* ulm_localize_spots(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace trakora::workflow
