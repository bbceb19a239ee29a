#pragma once
// Area-average (box filter) resampling of a picture: each target pixel is the average of the
// source pixels it covers, weighted by how much of it each covers. A reduced picture stays
// sharp and never rings. Portable, so the arithmetic is tested without Windows.

#include <cstdint>
#include <vector>

namespace vt {

struct Pixel {
    uint8_t blue = 0;
    uint8_t green = 0;
    uint8_t red = 0;
    friend bool operator==(const Pixel&, const Pixel&) = default;
};

// Rows top-down, width pixels each.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<Pixel> pixels;
};

// A copy of source at width x height (both above 0).
Picture Resample(const Picture& source, int width, int height);

}  // namespace vt
