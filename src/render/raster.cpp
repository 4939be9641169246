#include "render/raster.hpp"

#include <bit>
#include <cmath>
#include <stdexcept>
#include <string>

#if defined(__unix__) || defined(__APPLE__)
#include <unistd.h>
#endif

namespace trakora::render {

namespace {

std::uint64_t physical_memory_bytes() {
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGE_SIZE)
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && page > 0) return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
#endif
    return std::numeric_limits<std::uint64_t>::max();
}

// A key whose integer order is a total order of the non-NaN floats, -0.0 before +0.0.
inline std::int32_t order_key(float f) {
    const auto b = std::bit_cast<std::int32_t>(f);
    return b < 0 ? b ^ 0x7fffffff : b;
}

// Groups are mostly tiny (one to a few entries): insertion sort, std::sort beyond.
template <class T, class Less>
void sort_group(T* first, T* last, Less less) {
    if (last - first > 16) {
        std::sort(first, last, less);
        return;
    }
    for (T* i = first + 1; i < last; ++i) {
        const T x = *i;
        T* j = i;
        for (; j > first && less(x, *(j - 1)); --j) *j = *(j - 1);
        *j = x;
    }
}

}  // namespace

void check_pixel_size(float pixel_size) {
    if (!(pixel_size > 0.0f) || std::isinf(pixel_size))
        throw ValueError("pixel_size must be a positive, finite number, got " + std::to_string(pixel_size));
}

void check_allocation(std::uint64_t count, std::size_t bytes) {
    std::uint64_t total = 0;
    if (__builtin_mul_overflow(count, static_cast<std::uint64_t>(bytes), &total) || total > physical_memory_bytes())
        throw std::length_error("cannot allocate " + std::to_string(count) + " elements of " + std::to_string(bytes) +
                                " bytes for the drawing: more than the machine's memory");
}

void check_end_indices(const View1<std::int32_t>& ends) {
    for (std::size_t k = 0; k < ends.shape[0]; ++k) {
        const std::int32_t e = ends(k);
        if (e < 0)
            throw ValueError("track_end_indices must not be negative, but entry " + std::to_string(k) + " is " +
                             std::to_string(e));
    }
}

float trimmed_sum(float* first, float* last) {
    sort_group(first, last, [](float a, float b) { return order_key(a) < order_key(b); });
    const std::ptrdiff_t n = last - first;
    float sum = -0.0f;
    for (float* p = first + n / 4; p < last; ++p) sum += *p;
    return sum;
}

WeightedMean trimmed_weighted_mean(Sample* first, Sample* last) {
    sort_group(first, last, [](const Sample& a, const Sample& b) {
        const auto ka = order_key(a.intensity), kb = order_key(b.intensity);
        return ka < kb || (ka == kb && order_key(a.value) < order_key(b.value));
    });
    const std::ptrdiff_t n = last - first;
    float s = -0.0f;
    float w = -0.0f;
    for (const Sample* p = first + n / 4; p < last; ++p) {
        s += p->intensity;
        w += p->intensity * p->value;
    }
    return {s, s > 0.0f ? w / s : 0.0f};
}

}  // namespace trakora::render
