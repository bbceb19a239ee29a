#include "ui/Resample.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>

namespace vt {
namespace {

Picture Filled(int width, int height, Pixel colour) {
    return Picture{
        width, height,
        std::vector<Pixel>(static_cast<size_t>(width) * static_cast<size_t>(height), colour)};
}

Picture Noise(int width, int height, uint32_t seed) {
    std::mt19937 random(seed);
    Picture p = Filled(width, height, {});
    for (Pixel& pixel : p.pixels) {
        pixel = Pixel{static_cast<uint8_t>(random()), static_cast<uint8_t>(random()),
                      static_cast<uint8_t>(random())};
    }
    return p;
}

const Pixel& At(const Picture& p, int x, int y) {
    return p.pixels[static_cast<size_t>(y) * static_cast<size_t>(p.width) + static_cast<size_t>(x)];
}

struct Size {
    int fromWidth, fromHeight, toWidth, toHeight;
};

// Reductions and enlargements the banners meet (200 % to 150 %, 125 %, 100 %) and odd ones.
constexpr Size kSizes[] = {{320, 160, 240, 120}, {320, 160, 200, 100}, {320, 160, 160, 80},
                           {7, 5, 3, 2},         {5, 3, 11, 7},        {1, 1, 4, 4},
                           {9, 9, 1, 1},         {640, 220, 421, 145}};

TEST(Resample, AUniformPictureStaysUniformAtEverySize) {
    const Pixel colours[] = {{0, 0, 0}, {255, 255, 255}, {12, 200, 77}, {255, 0, 128}};
    for (const Size& s : kSizes) {
        for (const Pixel& colour : colours) {
            Picture out =
                Resample(Filled(s.fromWidth, s.fromHeight, colour), s.toWidth, s.toHeight);
            ASSERT_EQ(out.width, s.toWidth);
            ASSERT_EQ(out.height, s.toHeight);
            ASSERT_EQ(out.pixels.size(), static_cast<size_t>(s.toWidth * s.toHeight));
            for (const Pixel& p : out.pixels) {
                ASSERT_EQ(p, colour) << s.fromWidth << "x" << s.fromHeight << " to " << s.toWidth
                                     << "x" << s.toHeight;
            }
        }
    }
}

TEST(Resample, HalvingAveragesEachTwoByTwoBlock) {
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        Picture in =
            Noise(2 * (3 + static_cast<int>(seed % 5)), 2 * (2 + static_cast<int>(seed % 3)), seed);
        Picture out = Resample(in, in.width / 2, in.height / 2);
        for (int y = 0; y < out.height; ++y) {
            for (int x = 0; x < out.width; ++x) {
                auto average = [&](uint8_t Pixel::*channel) {
                    int sum = At(in, 2 * x, 2 * y).*channel + At(in, 2 * x + 1, 2 * y).*channel +
                              At(in, 2 * x, 2 * y + 1).*channel +
                              At(in, 2 * x + 1, 2 * y + 1).*channel;
                    return sum / 4.0;
                };
                const Pixel& p = At(out, x, y);
                // The exact average, rounded: within half a step (and the rounding of doubles).
                EXPECT_LE(std::abs(p.blue - average(&Pixel::blue)), 0.5001) << seed;
                EXPECT_LE(std::abs(p.green - average(&Pixel::green)), 0.5001) << seed;
                EXPECT_LE(std::abs(p.red - average(&Pixel::red)), 0.5001) << seed;
            }
        }
    }
}

TEST(Resample, TheSameSizeIsTheSamePicture) {
    Picture in = Noise(13, 7, 42);
    EXPECT_EQ(Resample(in, 13, 7).pixels, in.pixels);
}

TEST(Resample, EveryPixelLiesBetweenTheDarkestAndLightestOfTheSource) {
    // An area average never rings: no value outside the source's range in any channel.
    for (const Size& s : kSizes) {
        Picture in = Noise(s.fromWidth, s.fromHeight, static_cast<uint32_t>(s.toWidth));
        uint8_t low = 255;
        uint8_t high = 0;
        for (const Pixel& p : in.pixels) {
            low = std::min({low, p.blue, p.green, p.red});
            high = std::max({high, p.blue, p.green, p.red});
        }
        for (const Pixel& p : Resample(in, s.toWidth, s.toHeight).pixels) {
            for (uint8_t c : {p.blue, p.green, p.red}) {
                EXPECT_GE(c, low);
                EXPECT_LE(c, high);
            }
        }
    }
}

TEST(Resample, AnEdgeBetweenTwoColoursBlendsOnlyWhereAPixelCoversBoth) {
    // Two black columns and two white ones, 4 to 3: the middle pixel covers two thirds of a
    // black column and two thirds of a white one; the outer ones cover one colour only.
    Picture in = Filled(4, 1, {0, 0, 0});
    for (int x = 2; x < 4; ++x) {
        in.pixels[static_cast<size_t>(x)] = Pixel{255, 255, 255};
    }
    Picture out = Resample(in, 3, 1);
    EXPECT_EQ(out.pixels[0], (Pixel{0, 0, 0}));
    // Half of each: 127.5, which the weights' rounding may put on either side.
    for (uint8_t c : {out.pixels[1].blue, out.pixels[1].green, out.pixels[1].red}) {
        EXPECT_TRUE(c == 127 || c == 128) << static_cast<int>(c);
    }
    EXPECT_EQ(out.pixels[2], (Pixel{255, 255, 255}));
}

}  // namespace
}  // namespace vt
