// The track readers and the conversion to grid indices, used through their own interface.
#include <cmath>
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "render/raster.hpp"

using namespace trakora;
using namespace trakora::render;

namespace {

View1<std::int32_t> ends_view(const std::vector<std::int32_t>& e) {
    return View1<std::int32_t>::contiguous(e.data(), {e.size()});
}

template <class TrackT>
std::vector<TrackT> read_all(const View2<float>& matrix, const std::vector<std::int32_t>& ends) {
    const auto source = track_source<TrackT>(matrix, ends_view(ends));
    std::vector<TrackT> tracks;
    for (std::size_t k = 0; k < source.size(); ++k) tracks.push_back(source.read(k));
    return tracks;
}

}  // namespace

TEST_CASE("readers cut the matrix by the end indices") {
    std::vector<float> m;
    for (int r = 0; r < 7; ++r)
        for (int c = 0; c < 5; ++c) m.push_back(static_cast<float>(10 * r + c));
    const auto matrix = View2<float>::contiguous(m.data(), {7, 5});
    const auto tracks = read_all<Track<2>>(matrix, {3, 2, 5});
    REQUIRE(tracks.size() == 3);
    CHECK_EQ(tracks[0].points.size(), std::size_t{3});
    CHECK(tracks[1].points.empty());
    REQUIRE(tracks[2].points.size() == 3);
    CHECK_EQ(tracks[2].points[0].position[0], 20.0f);  // row 2 again
    CHECK_EQ(tracks[2].points[2].intensity, 42.0f);    // column 2 of row 4; columns 3, 4 ignored
    const auto values = read_all<TrackValue<3>>(matrix, {10});
    REQUIRE(values.size() == 1 && values[0].points.size() == 7);
    CHECK_EQ(values[0].points[6].position[2], 62.0f);
    CHECK_EQ(values[0].points[6].value, 64.0f);
}

TEST_CASE("conversion to grid indices saturates to 32 bits") {
    const auto grid = make_grid<2>({0, 10, 0, 10}, 1.0f);
    Track<2> t;
    for (float x : {2.5f, 2.49f, -0.4f, -7.0f, 10.0f, NAN, 1e30f, -1e30f}) t.points.push_back({{x, 1.0f}, 1.0f});
    const auto image = convert_points<ImageTrack<2>>(t, grid);
    std::vector<std::int32_t> ix;
    for (const auto& p : image.points) ix.push_back(p.index[0]);
    CHECK(ix == (std::vector<std::int32_t>{3, 2, 0, -7, 10, 0, INT32_MAX, INT32_MIN}));
}
