#include "imaging/grayscale.h"

#include <array>
#include <cmath>
#include <cstdint>

namespace imbrix::imaging {

void grayscaleRaster(Raster& raster) {
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        std::uint8_t* p = raster.row(y);
        for (std::uint32_t x = 0; x < raster.width(); ++x, p += 4) {
            const auto gray = static_cast<std::uint8_t>((p[kBlue] + p[kGreen] + p[kRed]) / 3);
            p[kBlue] = p[kGreen] = p[kRed] = gray;
            p[kAlpha] = 255;
        }
    }
    raster.hasAlpha = false;
}

namespace {

double srgbToLinear(double x) {
    return x <= 0.04045 ? x / 12.92 : std::pow((x + 0.055) / 1.055, 2.4);
}

double linearToSrgb(double x) {
    return x <= 0.0031308 ? 12.92 * x : 1.055 * std::pow(x, 1.0 / 2.4) - 0.055;
}

// Both transfer curves as tables, read with linear interpolation. 256 steps
// are exact for 8-bit inputs and within 1e-5 between them; the 4096 steps of
// the inverse curve stay within 2e-5 where it is steepest (just above 0.0031).
constexpr int kToLinearSteps = 255;
constexpr int kToSrgbSteps = 4096;

struct TransferTables {
    std::array<float, kToLinearSteps + 2> toLinear;
    std::array<float, kToSrgbSteps + 2> toSrgb;

    TransferTables() {
        for (int i = 0; i <= kToLinearSteps; ++i) {
            toLinear[i] = static_cast<float>(srgbToLinear(static_cast<double>(i) / kToLinearSteps));
        }
        toLinear[kToLinearSteps + 1] = toLinear[kToLinearSteps];  // lets x == 1 interpolate
        for (int i = 0; i <= kToSrgbSteps; ++i) {
            toSrgb[i] = static_cast<float>(linearToSrgb(static_cast<double>(i) / kToSrgbSteps));
        }
        toSrgb[kToSrgbSteps + 1] = toSrgb[kToSrgbSteps];
    }
};

// Built once, read-only afterwards (thread-safe initialisation of a local static).
const TransferTables& tables() {
    static const TransferTables instance;
    return instance;
}

// x in [0, 1]
template <std::size_t N>
float lookup(const std::array<float, N>& table, float x) {
    const float pos = x * static_cast<float>(N - 2);
    const int i = static_cast<int>(pos);
    const float frac = pos - static_cast<float>(i);
    return table[i] + (table[i + 1] - table[i]) * frac;
}

std::uint8_t toByte(float v) {
    const float scaled = v + 0.5f;
    return static_cast<std::uint8_t>(scaled >= 255.f ? 255 : scaled <= 0.f ? 0 : scaled);
}

}  // namespace

void applyLuminanceGrayscale(Raster& raster) {
    const TransferTables& t = tables();
    const bool premultiplied = raster.premultiplied;
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        std::uint8_t* p = raster.row(y);
        for (std::uint32_t x = 0; x < raster.width(); ++x, p += 4) {
            const unsigned a = p[kAlpha];
            float linear[3];
            if (!premultiplied || a == 255) {
                for (int c = 0; c < 3; ++c) {
                    linear[c] = t.toLinear[p[c]];
                }
            } else if (a == 0) {
                p[kBlue] = p[kGreen] = p[kRed] = 0;
                continue;
            } else {
                const float scale = 1.f / static_cast<float>(a);
                for (int c = 0; c < 3; ++c) {
                    const float straight = std::fmin(static_cast<float>(p[c]) * scale, 1.f);
                    linear[c] = lookup(t.toLinear, straight);
                }
            }
            float luminance =
                0.2126f * linear[kRed] + 0.7152f * linear[kGreen] + 0.0722f * linear[kBlue];
            luminance = std::fmin(std::fmax(luminance, 0.f), 1.f);
            const float srgb = lookup(t.toSrgb, luminance);
            const float scale = premultiplied ? static_cast<float>(a) : 255.f;
            p[kBlue] = p[kGreen] = p[kRed] = toByte(srgb * scale);
        }
    }
}

}  // namespace imbrix::imaging
