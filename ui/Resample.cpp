#include "ui/Resample.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <utility>

namespace vt {
namespace {

using Weights = std::vector<std::vector<std::pair<int, double>>>;

// Source pixels covering each target pixel and their share of it.
Weights CoverWeights(int from, int to) {
    Weights weights(static_cast<size_t>(to));
    double scale = static_cast<double>(from) / to;
    for (int d = 0; d < to; ++d) {
        double begin = d * scale;
        double end = (d + 1) * scale;
        for (int s = static_cast<int>(std::floor(begin)); s < from && s < end; ++s) {
            double overlap = std::min(end, s + 1.0) - std::max(begin, static_cast<double>(s));
            if (overlap > 0) {
                weights[static_cast<size_t>(d)].emplace_back(s, overlap / scale);
            }
        }
    }
    return weights;
}

using Sums = std::array<double, 3>;  // blue, green, red

// Across: each source row to the new width, unrounded.
std::vector<Sums> Across(const Picture& source, int width) {
    Weights across = CoverWeights(source.width, width);
    std::vector<Sums> wide(static_cast<size_t>(width) * static_cast<size_t>(source.height));
    for (int y = 0; y < source.height; ++y) {
        for (int x = 0; x < width; ++x) {
            Sums& out =
                wide[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
            for (auto [s, w] : across[static_cast<size_t>(x)]) {
                const Pixel& p =
                    source.pixels[static_cast<size_t>(y) * static_cast<size_t>(source.width) +
                                  static_cast<size_t>(s)];
                out[0] += w * p.blue;
                out[1] += w * p.green;
                out[2] += w * p.red;
            }
        }
    }
    return wide;
}

uint8_t Channel(double sum) {
    return static_cast<uint8_t>(std::clamp(std::lround(sum), 0L, 255L));
}

}  // namespace

Picture Resample(const Picture& source, int width, int height) {
    std::vector<Sums> wide = Across(source, width);
    Weights down = CoverWeights(source.height, height);
    Picture result{width, height, {}};
    result.pixels.reserve(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            Sums sum{0, 0, 0};
            for (auto [s, w] : down[static_cast<size_t>(y)]) {
                const Sums& in = wide[static_cast<size_t>(s) * static_cast<size_t>(width) +
                                      static_cast<size_t>(x)];
                for (size_t c = 0; c < 3; ++c) {
                    sum[c] += w * in[c];
                }
            }
            result.pixels.push_back(Pixel{Channel(sum[0]), Channel(sum[1]), Channel(sum[2])});
        }
    }
    return result;
}

}  // namespace vt
