#pragma once
// A read-only N-d view over borrowed memory. Strides are in bytes and may be negative or
// not a multiple of the element size; elements are read with memcpy, so unaligned arrays
// are handled without undefined behaviour (the compiler turns it into a plain load).
#include <array>
#include <cstddef>
#include <cstring>
#include <vector>

namespace trakora {

template <class T, std::size_t N>
struct View {
    const char* data = nullptr;
    std::array<std::size_t, N> shape{};
    std::array<std::ptrdiff_t, N> strides{};  // bytes

    // A view over contiguous row-major owned data (for example a window copy).
    static View contiguous(const T* ptr, std::array<std::size_t, N> shape) {
        View v;
        v.data = reinterpret_cast<const char*>(ptr);
        v.shape = shape;
        std::ptrdiff_t step = sizeof(T);
        for (std::size_t k = N; k-- > 0;) {
            v.strides[k] = step;
            step *= static_cast<std::ptrdiff_t>(shape[k]);
        }
        return v;
    }

    std::size_t size() const {
        std::size_t n = 1;
        for (auto s : shape) n *= s;
        return n;
    }
    bool empty() const { return size() == 0; }

    template <class... I>
    T operator()(I... idx) const {
        static_assert(sizeof...(I) == N, "one index per axis");
        const std::size_t ix[N] = {static_cast<std::size_t>(idx)...};
        std::ptrdiff_t off = 0;
        for (std::size_t k = 0; k < N; ++k) off += static_cast<std::ptrdiff_t>(ix[k]) * strides[k];
        T value;
        std::memcpy(&value, data + off, sizeof(T));
        return value;
    }

    // True when the last axis is densely packed, so rows can be read as plain arrays.
    bool last_axis_contiguous() const { return strides[N - 1] == static_cast<std::ptrdiff_t>(sizeof(T)); }
};

template <class T>
using View1 = View<T, 1>;
template <class T>
using View2 = View<T, 2>;
template <class T>
using View3 = View<T, 3>;

// An owned row-major N-d array: the buffer a kernel returns, with its shape.
template <class T, std::size_t N>
struct Array {
    std::vector<T> data;
    std::array<std::size_t, N> shape{};

    Array() = default;
    Array(std::array<std::size_t, N> shape_, T fill = T{}) : shape(shape_) {
        std::size_t n = 1;
        for (auto s : shape) n *= s;
        data.assign(n, fill);
    }
    View<T, N> view() const { return View<T, N>::contiguous(data.data(), shape); }
};

}  // namespace trakora
