// Imbrix imaging layer: pixel helpers shared by the encoders.
#pragma once

#include <cstdint>

#include "imaging/raster.h"

namespace imbrix::imaging::formats {

/// True when every pixel of the raster is fully opaque (always for a raster
/// without alpha). Such a raster reads the same premultiplied or not.
inline bool isOpaque(const Raster& raster) {
    if (!raster.hasAlpha) {
        return true;
    }
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        const std::uint8_t* p = raster.row(y);
        for (std::uint32_t x = 0; x < raster.width(); ++x, p += 4) {
            if (p[kAlpha] != 255) {
                return false;
            }
        }
    }
    return true;
}

/// True when every pixel has red = green = blue (premultiplied or not: the
/// premultiplication keeps gray gray).
inline bool isGray(const Raster& raster) {
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        const std::uint8_t* p = raster.row(y);
        for (std::uint32_t x = 0; x < raster.width(); ++x, p += 4) {
            if (p[kRed] != p[kGreen] || p[kGreen] != p[kBlue]) {
                return false;
            }
        }
    }
    return true;
}

/// Copies `width` premultiplied BGRA pixels from `src` to `dst` unpremultiplied,
/// with the same rounding as unpremultiply() in raster.h (alpha 0 gives 0).
inline void unpremultiplyRow(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t width) {
    for (std::uint32_t x = 0; x < width; ++x, src += 4, dst += 4) {
        const unsigned a = src[kAlpha];
        dst[kAlpha] = static_cast<std::uint8_t>(a);
        if (a == 255) {
            dst[0] = src[0];
            dst[1] = src[1];
            dst[2] = src[2];
            continue;
        }
        for (int c = 0; c < 3; ++c) {
            const unsigned v = a == 0 ? 0 : (src[c] * 255u + a / 2) / a;
            dst[c] = static_cast<std::uint8_t>(v > 255 ? 255 : v);
        }
    }
}

/// Little-endian fields of a file header (BMP, ICO).
inline void putLe16(std::uint8_t* at, std::uint32_t value) {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}
inline void putLe32(std::uint8_t* at, std::uint32_t value) {
    putLe16(at, value & 0xFFFF);
    putLe16(at + 2, value >> 16);
}

/// Copies `width` BGRA pixels from `src` to `dst` as BGR, the alpha byte dropped.
inline void bgrRow(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t width) {
    for (std::uint32_t x = 0; x < width; ++x, src += 4, dst += 3) {
        dst[0] = src[kBlue];
        dst[1] = src[kGreen];
        dst[2] = src[kRed];
    }
}

}  // namespace imbrix::imaging::formats
