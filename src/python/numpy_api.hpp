#pragma once
// Python and NumPy C API, shared by every boundary translation unit. The NumPy API table
// is imported once, in the module's init function (the file that defines
// TRAKORA_IMPORT_NUMPY_API).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL trakora_ARRAY_API
#ifndef TRAKORA_IMPORT_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
