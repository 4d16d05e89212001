// Helpers shared by the decoder tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "common/testsupport.h"
#include "imaging/decode.h"
#include "imaging/error.h"
#include "imaging/raster.h"

namespace imbrix::test {

/// A pixel as ImageMagick prints it (`convert f -crop 1x1+X+Y txt:`): straight
/// (not premultiplied) red, green, blue and alpha.
struct ExpectedPixel {
    std::uint32_t x;
    std::uint32_t y;
    std::uint32_t rgba;  // 0xRRGGBBAA
};

inline std::filesystem::path corpusFile(const std::string& relative) {
    return corpusDir() / relative;
}

/// Checks one pixel of a premultiplied raster against a straight colour; the
/// colour is premultiplied first, as the decoders store it.
inline ::testing::AssertionResult pixelNear(const imaging::Raster& raster, const ExpectedPixel& e,
                                            int tolerance) {
    if (e.x >= raster.width() || e.y >= raster.height()) {
        return ::testing::AssertionFailure() << "pixel (" << e.x << "," << e.y << ") outside "
                                             << raster.width() << "x" << raster.height();
    }
    const std::uint8_t* p = raster.row(e.y) + std::size_t{e.x} * 4;
    const int a = static_cast<int>(e.rgba & 0xFF);
    auto premul = [a](std::uint32_t c) { return static_cast<int>((c * a + 127) / 255); };
    const int want[4] = {premul((e.rgba >> 8) & 0xFF), premul((e.rgba >> 16) & 0xFF),
                         premul(e.rgba >> 24), a};  // B, G, R, A
    for (int c = 0; c < 4; ++c) {
        if (std::abs(p[c] - want[c]) > tolerance) {
            std::ostringstream s;
            s << "pixel (" << e.x << "," << e.y << ") is BGRA " << int{p[0]} << "," << int{p[1]}
              << "," << int{p[2]} << "," << int{p[3]} << ", expected " << want[0] << "," << want[1]
              << "," << want[2] << "," << want[3] << " (+-" << tolerance << ")";
            return ::testing::AssertionFailure() << s.str();
        }
    }
    return ::testing::AssertionSuccess();
}

/// Largest difference of any channel between two rasters of the same size.
inline int maxDifference(const imaging::Raster& a, const imaging::Raster& b) {
    int worst = 0;
    for (std::uint32_t y = 0; y < a.height(); ++y) {
        for (std::size_t i = 0; i < std::size_t{a.width()} * 4; ++i) {
            worst = std::max(worst, std::abs(a.row(y)[i] - b.row(y)[i]));
        }
    }
    return worst;
}

/// Mean absolute difference over all channels of two rasters of the same size.
inline double meanDifference(const imaging::Raster& a, const imaging::Raster& b) {
    double sum = 0;
    for (std::uint32_t y = 0; y < a.height(); ++y) {
        for (std::size_t i = 0; i < std::size_t{a.width()} * 4; ++i) {
            sum += std::abs(a.row(y)[i] - b.row(y)[i]);
        }
    }
    return sum / (static_cast<double>(a.width()) * a.height() * 4);
}

/// Every pixel's colour is at most its alpha: the raster is validly premultiplied.
inline bool validPremultiplied(const imaging::Raster& raster) {
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        const std::uint8_t* p = raster.row(y);
        for (std::uint32_t x = 0; x < raster.width(); ++x, p += 4) {
            if (p[0] > p[3] || p[1] > p[3] || p[2] > p[3]) {
                return false;
            }
        }
    }
    return true;
}

/// Recomputes the CRC of the PNG chunk whose length field starts at `at`, so a
/// test can change a chunk's contents and leave only that change.
inline void fixPngChunkCrc(std::vector<std::uint8_t>& png, std::size_t at) {
    const std::size_t length = std::size_t{png[at]} << 24 | std::size_t{png[at + 1]} << 16 |
                               std::size_t{png[at + 2]} << 8 | png[at + 3];
    std::uint32_t crc = 0xFFFFFFFF;
    for (std::size_t i = at + 4; i < at + 8 + length; ++i) {
        crc ^= png[i];
        for (int k = 0; k < 8; ++k) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
        }
    }
    crc = ~crc;
    for (int i = 0; i < 4; ++i) {
        png[at + 8 + length + static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    }
}

/// The message of the imaging::Error that `f` throws; fails the test when it
/// throws nothing or something else.
template <typename F>
std::string errorMessage(F&& f) {
    try {
        f();
    } catch (const imaging::Error& e) {
        return e.what();
    } catch (const std::exception& e) {
        ADD_FAILURE() << "threw a non-imaging error: " << e.what();
        return {};
    }
    ADD_FAILURE() << "threw nothing";
    return {};
}

}  // namespace imbrix::test
