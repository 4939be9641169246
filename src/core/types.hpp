#pragma once
// Records shared between subsystems.
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace trakora {

// Physical coordinates of the first and last pixel centre along each axis of an image,
// axis 0 (rows) first: the Python tuple (row first, row last, col first, col last) is held
// as first = {row first, col first}, last = {row last, col last}.
struct Extent2D {
    std::array<float, 2> first{};
    std::array<float, 2> last{};
};

// The same for a volume, kept in tuple order: (first0, last0, first1, last1, first2, last2).
struct DetectionExtent3D {
    std::array<float, 6> e{};
    float first(std::size_t axis) const { return e[2 * axis]; }
    float last(std::size_t axis) const { return e[2 * axis + 1]; }
};

struct Peak2D {
    std::uint64_t row = 0;
    std::uint64_t col = 0;
    std::array<float, 2> position{};
    float intensity = 0;
};

struct Peak3D {
    std::optional<float> correlation;
    std::array<std::uint64_t, 3> index{};
    std::array<float, 3> position{};
    float intensity = 0;
};

enum class LocalizationMethod { RadialSymmetry, GaussianFitting };

// Exact, case-sensitive match; anything else throws ValueError with the user-facing text.
LocalizationMethod parse_localization_method(std::string_view name);

// A localized point as the linkers carry it: position (x, y[, z]) and intensity, copied
// bit for bit from its frame table row.
template <std::size_t D>
struct TrackPoint {
    std::array<float, D> position{};
    float intensity = 0;
};
using Point2D = TrackPoint<2>;
using Point3D = TrackPoint<3>;

// Track matrices as the linkers return them: a row-major rows x (D + 1) float matrix
// (x, y[, z], intensity) holding every point of every track, track after track, and the
// exclusive end row of each track.
template <std::size_t D>
struct ExportMatrices {
    static constexpr std::size_t cols = D + 1;
    std::vector<float> matrix;
    std::vector<std::uint32_t> track_end_indices;

    std::size_t rows() const { return matrix.size() / cols; }

    // Track building appends points one by one and closes each track; the end of a track
    // is the number of rows written so far. Throws ValueError when the rows no longer fit
    // the 32-bit end indices.
    void append_point(const TrackPoint<D>& p) {
        matrix.insert(matrix.end(), p.position.begin(), p.position.end());
        matrix.push_back(p.intensity);
    }
    void end_track();

};
using ExportMatrices2D = ExportMatrices<2>;  // x, y, intensity
using ExportMatrices3D = ExportMatrices<3>;  // x, y, z, intensity

}  // namespace trakora
