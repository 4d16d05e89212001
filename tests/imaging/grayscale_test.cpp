#include "imaging/grayscale.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <random>

#include "imaging/raster.h"

namespace imbrix::imaging {
namespace {

Raster onePixel(int b, int g, int r, int a, bool premultiplied = true) {
    Raster raster(1, 1);
    std::uint8_t* p = raster.row(0);
    p[kBlue] = static_cast<std::uint8_t>(b);
    p[kGreen] = static_cast<std::uint8_t>(g);
    p[kRed] = static_cast<std::uint8_t>(r);
    p[kAlpha] = static_cast<std::uint8_t>(a);
    raster.premultiplied = premultiplied;
    return raster;
}

std::array<int, 4> pixel(const Raster& raster, std::uint32_t x = 0, std::uint32_t y = 0) {
    const std::uint8_t* p = raster.row(y) + x * 4;
    return {p[kBlue], p[kGreen], p[kRed], p[kAlpha]};
}

TEST(GrayscaleRaster, AveragesTruncatedAndDropsAlpha) {
    struct Case {
        std::array<int, 4> bgra;
        int gray;
    };
    const Case cases[] = {
        {{10, 20, 31, 255}, 20},  // 61 / 3 = 20.33
        {{0, 0, 2, 255}, 0},      // 0.67 truncates to 0
        {{255, 255, 254, 255}, 254},
        {{255, 255, 255, 0}, 255},  // colour kept as it is, alpha dropped
        {{0, 0, 0, 0}, 0},          // transparent black becomes opaque black
        {{30, 60, 90, 128}, 60},
    };
    for (const Case& c : cases) {
        Raster raster = onePixel(c.bgra[0], c.bgra[1], c.bgra[2], c.bgra[3]);
        grayscaleRaster(raster);
        EXPECT_EQ(pixel(raster), (std::array<int, 4>{c.gray, c.gray, c.gray, 255}))
            << c.bgra[0] << " " << c.bgra[1] << " " << c.bgra[2] << " " << c.bgra[3];
        EXPECT_FALSE(raster.hasAlpha);
    }
}

// Values computed by hand from the sRGB curves and the Rec. 709 weights.
TEST(LuminanceGrayscale, KnownColours) {
    struct Case {
        const char* name;
        std::array<int, 4> bgra;  // premultiplied
        int gray;
    };
    const Case cases[] = {
        {"pure red", {0, 0, 255, 255}, 127},    // 127.10
        {"pure green", {0, 255, 0, 255}, 220},  // 219.93
        {"pure blue", {255, 0, 0, 255}, 76},    // 75.96
        {"yellow", {0, 255, 255, 255}, 247},    // 246.73
        {"mid grey", {128, 128, 128, 255}, 128},
        {"black", {0, 0, 0, 255}, 0},
        {"white", {255, 255, 255, 255}, 255},
        {"half-transparent white", {128, 128, 128, 128}, 128},
        {"half-transparent red", {0, 0, 64, 128}, 30},  // 30.23
        {"dark blue-gray", {31, 20, 10, 255}, 19},      // 19.26
        {"transparent", {0, 0, 0, 0}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Raster raster = onePixel(c.bgra[0], c.bgra[1], c.bgra[2], c.bgra[3]);
        applyLuminanceGrayscale(raster);
        EXPECT_EQ(pixel(raster), (std::array<int, 4>{c.gray, c.gray, c.gray, c.bgra[3]}));
        EXPECT_TRUE(raster.premultiplied);
    }
}

TEST(LuminanceGrayscale, GraysStayExactlyThemselves) {
    Raster raster(256, 1);
    for (int v = 0; v < 256; ++v) {
        std::uint8_t* p = raster.row(0) + v * 4;
        p[0] = p[1] = p[2] = static_cast<std::uint8_t>(v);
        p[kAlpha] = 255;
    }
    applyLuminanceGrayscale(raster);
    for (std::uint32_t v = 0; v < 256; ++v) {
        EXPECT_EQ(pixel(raster, v), (std::array<int, 4>{int(v), int(v), int(v), 255}));
    }
}

// The same steps in double precision, without tables.
int reference(int b, int g, int r, int a, bool premultiplied) {
    auto toLinear = [](double x) {
        return x <= 0.04045 ? x / 12.92 : std::pow((x + 0.055) / 1.055, 2.4);
    };
    auto toSrgb = [](double x) {
        return x <= 0.0031308 ? 12.92 * x : 1.055 * std::pow(x, 1.0 / 2.4) - 0.055;
    };
    if (premultiplied && a == 0) {
        return 0;
    }
    const double divisor = premultiplied ? a : 255.0;
    auto straight = [&](int c) { return std::fmin(c / divisor, 1.0); };
    double y = 0.2126 * toLinear(straight(r)) + 0.7152 * toLinear(straight(g)) +
               0.0722 * toLinear(straight(b));
    y = std::fmin(std::fmax(y, 0.0), 1.0);
    return static_cast<int>(std::lround(toSrgb(y) * (premultiplied ? a : 255.0)));
}

// Random colours at every alpha, premultiplied and straight: within one step of
// the exact math everywhere, alpha untouched, the raster's state kept.
TEST(LuminanceGrayscale, MatchesExactMathWithinOneStep) {
    std::mt19937 random(2024);
    for (const bool premultiplied : {true, false}) {
        SCOPED_TRACE(premultiplied ? "premultiplied" : "straight");
        Raster raster(256, 64);
        raster.premultiplied = premultiplied;
        std::vector<std::array<int, 4>> source;
        for (std::uint32_t y = 0; y < raster.height(); ++y) {
            for (std::uint32_t x = 0; x < raster.width(); ++x) {
                const int a = static_cast<int>(x);  // every alpha value
                const int limit = premultiplied ? a : 255;
                std::array<int, 4> bgra{static_cast<int>(random() % (limit + 1)),
                                        static_cast<int>(random() % (limit + 1)),
                                        static_cast<int>(random() % (limit + 1)), a};
                std::uint8_t* p = raster.row(y) + x * 4;
                for (int c = 0; c < 4; ++c) {
                    p[c] = static_cast<std::uint8_t>(bgra[c]);
                }
                source.push_back(bgra);
            }
        }
        applyLuminanceGrayscale(raster);
        EXPECT_EQ(raster.premultiplied, premultiplied);
        int worst = 0;
        std::size_t i = 0;
        for (std::uint32_t y = 0; y < raster.height(); ++y) {
            for (std::uint32_t x = 0; x < raster.width(); ++x, ++i) {
                const auto& s = source[i];
                const auto out = pixel(raster, x, y);
                ASSERT_EQ(out[kAlpha], s[3]);
                ASSERT_EQ(out[0], out[1]);
                ASSERT_EQ(out[1], out[2]);
                const int expected = reference(s[0], s[1], s[2], s[3], premultiplied);
                worst = std::max(worst, std::abs(out[0] - expected));
            }
        }
        EXPECT_LE(worst, 1);
    }
}

}  // namespace
}  // namespace imbrix::imaging
