#pragma once
// Float-to-integer conversions that saturate instead of invoking undefined behaviour:
// NaN gives 0, values beyond the target range give its nearest limit. Fractions are
// truncated toward zero unless the name says otherwise.
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace trakora {

template <class Int, class Float>
constexpr Int saturating_cast(Float value) {
    static_assert(std::is_integral_v<Int> && std::is_floating_point_v<Float>);
    if (value != value) return 0;
    constexpr Int lo = std::numeric_limits<Int>::min();
    constexpr Int hi = std::numeric_limits<Int>::max();
    // Both limits are powers of two (or zero), hence exact in any float type; hi + 1 is 2^k.
    const Float lo_f = static_cast<Float>(lo);
    const Float hi_plus_one = static_cast<Float>(hi / 2 + 1) * Float(2);
    if (value <= lo_f) return lo;
    if (value >= hi_plus_one) return hi;
    return static_cast<Int>(value);
}

// Floor toward minus infinity, then saturate.
template <class Int>
inline Int saturating_floor(float value) {
    return saturating_cast<Int>(std::floor(value));
}

// Round half away from zero (2.5 -> 3, -2.5 -> -3), then saturate.
template <class Int>
inline Int saturating_round(float value) {
    return saturating_cast<Int>(std::round(value));
}

}  // namespace trakora
