#pragma once
// The boundary toolkit: the only code that touches PyObject*. Owned references, argument
// parsing and conversion, read-only views of NumPy arrays, NumPy arrays that take over
// native buffers, and the mapping of C++ failures to Python exceptions.
//
// Convention: a function that leaves a Python error set throws PythonError; `guarded`
// turns it (and every C++ exception) into a NULL return with the right exception set.
#include "python/numpy_api.hpp"

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "core/view.hpp"
#include "python/functions.hpp"

namespace trakora::py {

// A Python error is already set.
struct PythonError {};

// A strong reference, released on destruction.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) { return Ref(p); }
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    // Steals p; throws PythonError when p is NULL (the API call that made it failed).
    static Ref check(PyObject* p) {
        if (p == nullptr) throw PythonError{};
        return Ref(p);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

// ---- argument conversion (one converter per argument kind) ------------------------
// Each names its parameter: a TypeError is re-raised as "argument '<name>': <message>".

float to_f32(PyObject* obj, const char* name);
std::optional<float> to_opt_f32(PyObject* obj, const char* name);
std::uint64_t to_size(PyObject* obj, const char* name);
std::optional<std::uint64_t> to_opt_size(PyObject* obj, const char* name);
std::optional<std::string> to_opt_text(PyObject* obj, const char* name);
PyObject* to_tuple(PyObject* obj, const char* name);  // borrowed
PyObject* to_opt_tuple(PyObject* obj, const char* name);  // borrowed, NULL for None

// Item i of a tuple as a 32-bit float. Errors (IndexError, TypeError) propagate unchanged.
float tuple_item_f32(PyObject* tuple, Py_ssize_t i);

// Items 0 .. N-1 of a tuple as 32-bit floats, converted in order (extra items are ignored).
template <std::size_t N>
std::array<float, N> tuple_floats(PyObject* tuple) {
    std::array<float, N> out{};
    for (std::size_t i = 0; i < N; ++i) out[i] = tuple_item_f32(tuple, static_cast<Py_ssize_t>(i));
    return out;
}

// A NumPy array held for the call, read through a view. Never written.
template <class T, std::size_t N>
struct ArrayArg {
    Ref array;
    View<T, N> view;
};

template <class T>
constexpr int numpy_type_of();
template <>
constexpr int numpy_type_of<float>() { return NPY_FLOAT32; }
template <>
constexpr int numpy_type_of<std::int32_t>() { return NPY_INT32; }
template <>
constexpr int numpy_type_of<std::uint32_t>() { return NPY_UINT32; }
template <>
constexpr int numpy_type_of<std::int64_t>() { return NPY_INT64; }

// Views the array's memory if `obj` is a NumPy array with exactly `ndim` dimensions and a
// dtype equivalent to `type_num` in native byte order; otherwise sets the wrong-type error.
bool view_array(PyObject* obj, int type_num, int ndim, const char** data, std::size_t* shape,
                std::ptrdiff_t* strides);

template <class T, std::size_t N>
ArrayArg<T, N> to_array(PyObject* obj, const char* name);

std::vector<ArrayArg<float, 2>> to_array_list(PyObject* obj, const char* name);

[[noreturn]] void raise_argument_error(const char* name);
[[noreturn]] void raise_wrong_type(PyObject* obj, const char* target);

template <class T, std::size_t N>
ArrayArg<T, N> to_array(PyObject* obj, const char* name) {
    ArrayArg<T, N> out;
    if (!view_array(obj, numpy_type_of<T>(), static_cast<int>(N), &out.view.data, out.view.shape.data(),
                    out.view.strides.data()))
        raise_argument_error(name);
    out.array = Ref::borrow(obj);
    return out;
}

// ---- one call's arguments ------------------------------------------------------------

// The arguments of one call, parsed against the function's declaration (positional, then by
// keyword; every parameter required) into borrowed references in parameter order. Parsing
// errors are TypeErrors in the interpreter's words, naming the function and, for an unknown
// or repeated keyword, that keyword.
//
// The getters convert parameter i as its declared kind, naming the parameter in a
// conversion error; asking for another kind than the declared one is an InternalError.
class Arguments {
public:
    Arguments(const Declaration& function, PyObject* args, PyObject* kwargs);

    template <class T, std::size_t N>
    ArrayArg<T, N> array(std::size_t i) const {
        constexpr Kind kind = N == 1 ? Kind::array1_i32 : N == 2 ? Kind::array2_f32 : Kind::array3_f32;
        static_assert(std::is_same_v<T, std::int32_t> == (N == 1) && (N == 1 || std::is_same_v<T, float>));
        return to_array<T, N>(values_[i], expect(i, kind).name.data());
    }
    std::vector<ArrayArg<float, 2>> array_list(std::size_t i) const;
    float f32(std::size_t i) const;
    std::optional<float> opt_f32(std::size_t i) const;
    std::uint64_t size(std::size_t i) const;
    std::optional<std::uint64_t> opt_size(std::size_t i) const;
    std::optional<std::string> opt_text(std::size_t i) const;
    PyObject* tuple(std::size_t i) const;      // borrowed
    PyObject* opt_tuple(std::size_t i) const;  // borrowed, NULL for None

    // The numbers of tuple argument i (the tuple that tuple() or opt_tuple() returned), as
    // many as declared: tuple_floats, whose errors propagate without the parameter's name.
    template <std::size_t N>
    std::array<float, N> tuple_items(std::size_t i, PyObject* tuple) const {
        if (function_.parameters[i].items != N) throw InternalError("tuple_items: the declaration says otherwise");
        return tuple_floats<N>(tuple);
    }

private:
    const Parameter& expect(std::size_t i, Kind kind) const;

    const Declaration& function_;
    std::array<PyObject*, max_parameters> values_{};
};

// ---- results ------------------------------------------------------------------------

// A C-contiguous NumPy array over `data` whose memory `capsule` owns (the array keeps the
// capsule as its base, so nothing is copied). The shape must match the buffer's length,
// otherwise ValueError "Error creating ndarray: ...".
Ref wrap_buffer(Ref capsule, void* data, std::size_t length, int type_num, const std::vector<npy_intp>& shape);

template <class T>
void destroy_vector_capsule(PyObject* capsule) {
    delete static_cast<std::vector<T>*>(PyCapsule_GetPointer(capsule, "trakora.buffer"));
}

template <class T>
Ref to_numpy(std::vector<T>&& buffer, const std::vector<npy_intp>& shape) {
    auto box = std::make_unique<std::vector<T>>(std::move(buffer));
    Ref capsule = Ref::check(PyCapsule_New(box.get(), "trakora.buffer", &destroy_vector_capsule<T>));
    std::vector<T>* owned = box.release();
    return wrap_buffer(std::move(capsule), owned->data(), owned->size(), numpy_type_of<T>(), shape);
}

template <class T>
Ref to_numpy(std::vector<T>&& buffer, std::initializer_list<std::size_t> shape) {
    std::vector<npy_intp> dims;
    for (std::size_t s : shape) dims.push_back(static_cast<npy_intp>(s));
    return to_numpy(std::move(buffer), dims);
}

template <class T, std::size_t N>
Ref to_numpy(Array<T, N>&& array) {
    std::vector<npy_intp> dims;
    for (std::size_t s : array.shape) dims.push_back(static_cast<npy_intp>(s));
    return to_numpy(std::move(array.data), dims);
}

Ref to_float(float value);
Ref make_tuple(std::initializer_list<PyObject*> stolen_items);  // steals every item
template <class... R>
Ref tuple_of(R&&... items) {
    return make_tuple({items.release()...});
}

// A tuple of Python floats widened from 32-bit values.
template <std::size_t N>
Ref float_tuple(const std::array<float, N>& values) {
    Ref tuple = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(N)));
    for (std::size_t i = 0; i < N; ++i)
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), to_float(values[i]).release());
    return tuple;
}

// ---- failures ---------------------------------------------------------------------

// The internal-failure type "pyo3_runtime.PanicException" (derives from BaseException); the
// module name is part of the Python contract (see the frozen texts in boundary.cpp).
PyObject* panic_exception_type();
void raise_panic(const char* message);

// Runs body() (returning Ref) and maps every failure to a Python exception.
template <class Body>
PyObject* guarded(Body&& body) noexcept;

void set_error_from_current_exception() noexcept;

template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

}  // namespace trakora::py
