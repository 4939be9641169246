#include "python/boundary.hpp"

#include <cmath>
#include <new>
#include <stdexcept>
#include <string>

namespace trakora::py {

Arguments::Arguments(const Declaration& function, PyObject* args, PyObject* kwargs) : function_(function) {
    const std::size_t n = function.size();
    const std::string name(function.name);
    const Py_ssize_t given = PyTuple_Size(args);
    if (given < 0) throw PythonError{};
    const Py_ssize_t keywords = kwargs == nullptr ? 0 : PyDict_Size(kwargs);
    if (static_cast<std::size_t>(given) > n) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zu argument%s (%zd given)", name.c_str(), n,
                     n == 1 ? "" : "s", given + keywords);
        throw PythonError{};
    }
    for (Py_ssize_t i = 0; i < given; ++i) values_[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    for (Py_ssize_t pos = 0; keywords > 0 && PyDict_Next(kwargs, &pos, &key, &value);) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", name.c_str());
            throw PythonError{};
        }
        std::size_t i = 0;
        while (i < n && PyUnicode_CompareWithASCIIString(key, function.parameters[i].name.data()) != 0) ++i;
        if (i == n) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name.c_str(), key);
            throw PythonError{};
        }
        if (i < static_cast<std::size_t>(given)) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", name.c_str(), key);
            throw PythonError{};
        }
        values_[i] = value;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (values_[i] != nullptr) continue;
        PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", name.c_str(),
                     function.parameters[i].name.data(), i + 1);
        throw PythonError{};
    }
}

const Parameter& Arguments::expect(std::size_t i, Kind kind) const {
    if (i >= function_.size() || function_.parameters[i].kind != kind)
        throw InternalError(std::string(function_.name) + ": parameter " + std::to_string(i) +
                            " is not declared as the kind the body reads");
    return function_.parameters[i];
}

std::vector<ArrayArg<float, 2>> Arguments::array_list(std::size_t i) const {
    return to_array_list(values_[i], expect(i, Kind::array_list).name.data());
}
float Arguments::f32(std::size_t i) const { return to_f32(values_[i], expect(i, Kind::f32).name.data()); }
std::optional<float> Arguments::opt_f32(std::size_t i) const {
    return to_opt_f32(values_[i], expect(i, Kind::opt_f32).name.data());
}
std::uint64_t Arguments::size(std::size_t i) const { return to_size(values_[i], expect(i, Kind::size).name.data()); }
std::optional<std::uint64_t> Arguments::opt_size(std::size_t i) const {
    return to_opt_size(values_[i], expect(i, Kind::opt_size).name.data());
}
std::optional<std::string> Arguments::opt_text(std::size_t i) const {
    return to_opt_text(values_[i], expect(i, Kind::opt_text).name.data());
}
PyObject* Arguments::tuple(std::size_t i) const { return to_tuple(values_[i], expect(i, Kind::tuple).name.data()); }
PyObject* Arguments::opt_tuple(std::size_t i) const {
    return to_opt_tuple(values_[i], expect(i, Kind::opt_tuple).name.data());
}

namespace {

std::string type_name(PyObject* obj) {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
    if (name && PyUnicode_Check(name.get())) {
        if (const char* s = PyUnicode_AsUTF8AndSize(name.get(), nullptr)) return s;
    }
    PyErr_Clear();
    return "object";
}

}  // namespace

// Frozen message texts of the Python contract, kept as callers see them (tests and user code
// match them): the wrong-type TypeErrors name the targets "PyArray<T, D>", "PyTuple",
// "PyString" and "Sequence", a str given as a list of arrays is "Can't extract `str` to
// `Vec`", and internal failures raise "pyo3_runtime.PanicException" (panic_exception_type).
// They look foreign to this code base on purpose; do not rename them.
[[noreturn]] void raise_wrong_type(PyObject* obj, const char* target) {
    const std::string message = "'" + type_name(obj) + "' object cannot be converted to '" + target + "'";
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw PythonError{};
}

[[noreturn]] void raise_argument_error(const char* name) {
    // Only TypeErrors get the parameter prefix; the new error keeps the old one's cause.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonError{};
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref t = Ref::steal(type), v = Ref::steal(value), tb = Ref::steal(traceback);
    Ref text = Ref::steal(v ? PyObject_Str(v.get()) : nullptr);
    if (!text) throw PythonError{};
    Ref message = Ref::check(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    Ref error = Ref::check(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (PyObject* cause = PyException_GetCause(v.get())) PyException_SetCause(error.get(), cause);  // steals
    PyErr_SetObject(PyExc_TypeError, error.get());
    throw PythonError{};
}

float to_f32(PyObject* obj, const char* name) {
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) raise_argument_error(name);
    return static_cast<float>(value);
}

std::optional<float> to_opt_f32(PyObject* obj, const char* name) {
    if (obj == Py_None) return std::nullopt;
    return to_f32(obj, name);
}

std::uint64_t to_size(PyObject* obj, const char* name) {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) raise_argument_error(name);
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_argument_error(name);
    return value;
}

std::optional<std::uint64_t> to_opt_size(PyObject* obj, const char* name) {
    if (obj == Py_None) return std::nullopt;
    return to_size(obj, name);
}

std::optional<std::string> to_opt_text(PyObject* obj, const char* name) {
    if (obj == Py_None) return std::nullopt;
    if (!PyUnicode_Check(obj)) {
        try {
            raise_wrong_type(obj, "PyString");
        } catch (const PythonError&) {
            raise_argument_error(name);
        }
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (text == nullptr) raise_argument_error(name);
    return std::string(text, static_cast<std::size_t>(size));
}

PyObject* to_tuple(PyObject* obj, const char* name) {
    if (!PyTuple_Check(obj)) {
        try {
            raise_wrong_type(obj, "PyTuple");
        } catch (const PythonError&) {
            raise_argument_error(name);
        }
    }
    return obj;
}

PyObject* to_opt_tuple(PyObject* obj, const char* name) {
    if (obj == Py_None) return nullptr;
    return to_tuple(obj, name);
}

float tuple_item_f32(PyObject* tuple, Py_ssize_t i) {
    PyObject* item = PyTuple_GetItem(tuple, i);  // borrowed; IndexError when too short
    if (item == nullptr) throw PythonError{};
    const double value = PyFloat_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred()) throw PythonError{};
    return static_cast<float>(value);
}

bool view_array(PyObject* obj, int type_num, int ndim, const char** data, std::size_t* shape,
                std::ptrdiff_t* strides) {
    bool ok = PyArray_Check(obj) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(obj)) == ndim;
    if (ok) {
        auto* array = reinterpret_cast<PyArrayObject*>(obj);
        // Equivalent element type in native byte order: only such data is read directly.
        ok = PyArray_EquivTypenums(PyArray_TYPE(array), type_num) && PyArray_ISNOTSWAPPED(array);
        if (ok) {
            *data = PyArray_BYTES(array);
            for (int k = 0; k < ndim; ++k) {
                shape[k] = static_cast<std::size_t>(PyArray_DIMS(array)[k]);
                strides[k] = static_cast<std::ptrdiff_t>(PyArray_STRIDES(array)[k]);
            }
        }
    }
    if (!ok) {
        try {
            raise_wrong_type(obj, "PyArray<T, D>");
        } catch (const PythonError&) {
            return false;
        }
    }
    return true;
}

std::vector<ArrayArg<float, 2>> to_array_list(PyObject* obj, const char* name) {
    std::vector<ArrayArg<float, 2>> out;
    try {
        if (PyUnicode_Check(obj)) {
            PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
            throw PythonError{};
        }
        if (!PySequence_Check(obj)) raise_wrong_type(obj, "Sequence");
        const Py_ssize_t n = PySequence_Size(obj);
        if (n < 0) throw PythonError{};
        out.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref item = Ref::check(PySequence_GetItem(obj, i));
            ArrayArg<float, 2> arg;
            if (!view_array(item.get(), NPY_FLOAT32, 2, &arg.view.data, arg.view.shape.data(),
                            arg.view.strides.data()))
                throw PythonError{};
            arg.array = std::move(item);
            out.push_back(std::move(arg));
        }
    } catch (const PythonError&) {
        raise_argument_error(name);
    }
    return out;
}

Ref wrap_buffer(Ref capsule, void* data, std::size_t length, int type_num, const std::vector<npy_intp>& shape) {
    std::size_t expected = 1;
    for (npy_intp d : shape) expected *= static_cast<std::size_t>(d);
    if (expected != length) {
        std::string dims;
        for (std::size_t k = 0; k < shape.size(); ++k) dims += (k ? ", " : "") + std::to_string(shape[k]);
        if (shape.size() == 1) dims += ",";
        throw ValueError("Error creating ndarray: cannot reshape array of size " + std::to_string(length) +
                         " into shape (" + dims + ")");
    }
    if (length == 0) data = nullptr;  // NumPy allocates its own zero-size block
    Ref array = Ref::steal(PyArray_New(&PyArray_Type, static_cast<int>(shape.size()),
                                       const_cast<npy_intp*>(shape.data()), type_num, nullptr, data, 0,
                                       NPY_ARRAY_CARRAY, nullptr));
    if (!array) {
        // A shape NumPy cannot represent: report it as the output that could not be made.
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw PythonError{};
        PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        Ref t = Ref::steal(type), v = Ref::steal(value), tb = Ref::steal(traceback);
        Ref reason = Ref::steal(v ? PyObject_Str(v.get()) : nullptr);
        if (!reason) throw PythonError{};
        PyErr_Format(PyExc_ValueError, "Error creating ndarray: %U", reason.get());
        throw PythonError{};
    }
    if (length == 0) return array;
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0)
        throw PythonError{};
    return array;
}

Ref to_float(float value) { return Ref::check(PyFloat_FromDouble(static_cast<double>(value))); }

Ref make_tuple(std::initializer_list<PyObject*> stolen_items) {
    std::vector<Ref> items;
    for (PyObject* p : stolen_items) items.push_back(Ref::steal(p));
    Ref tuple = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!items[i]) throw PythonError{};
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), items[i].release());
    }
    return tuple;
}

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;  // created once per process, never released
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException",
                                         "An internal failure of the native code (a broken invariant).",
                                         PyExc_BaseException, nullptr);
    }
    return type;
}

void raise_panic(const char* message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // the error of creating the type stays set
    PyErr_SetString(type, message);
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) raise_panic("a Python error was reported but none is set");
    } catch (const ValueError& e) {
        // The whole message, NUL characters included (it may quote a name the caller gave).
        const std::string& text = e.message();
        Ref message = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
        if (message) PyErr_SetObject(PyExc_ValueError, message.get());  // otherwise the decoding error stays set
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown internal failure");
    }
}

}  // namespace trakora::py
