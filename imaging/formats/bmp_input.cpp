// Windows bitmaps (BMP files and the DIBs inside icons), our own reader.
//
// Headers: OS/2 core (12 bytes), OS/2 2.x (16 to 64), BITMAPINFOHEADER (40) and
// its V2 to V5 successors. Pixels: 1, 4 and 8 bits with a palette, RLE4 and RLE8,
// 16 and 32 bits with or without bit fields, 24 bits; rows bottom-up or top-down.
// The fourth byte of a 32-bit pixel (or an alpha bit field) is used as alpha
// unless it is zero everywhere, as writers that ignore it leave it.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "imaging/colour.h"
#include "imaging/error.h"
#include "imaging/formats/inputs.h"

namespace imbrix::imaging::formats {

namespace {

enum Compression : std::uint32_t {
    kRgb = 0,
    kRle8 = 1,
    kRle4 = 2,
    kBitfields = 3,
    kJpeg = 4,
    kPng = 5,
    kAlphaBitfields = 6,
};

[[noreturn]] void fail(const std::string& why) {
    throw Error("BMP error: " + why);
}

std::uint32_t u16(Bytes d, std::size_t at) {
    if (at > d.size() || d.size() - at < 2) {
        fail("the file is truncated");
    }
    return std::uint32_t{d[at]} | std::uint32_t{d[at + 1]} << 8;
}

std::uint32_t u32(Bytes d, std::size_t at) {
    return u16(d, at) | u16(d, at + 2) << 16;
}

// One colour channel stored under a bit mask, scaled to 8 bits.
struct Channel {
    std::uint32_t mask = 0;
    int shift = 0;
    std::uint32_t max = 0;

    explicit Channel(std::uint32_t m = 0) : mask(m) {
        if (mask) {
            shift = std::countr_zero(mask);
            max = mask >> shift;
        }
    }
    std::uint8_t operator()(std::uint32_t pixel) const {
        if (!mask) {
            return 0;
        }
        const std::uint64_t v = (pixel & mask) >> shift;
        return static_cast<std::uint8_t>((v * 255 + max / 2) / max);
    }
};

struct Dib {
    std::uint32_t width = 0;
    std::uint32_t height = 0;  // of the colour bitmap
    bool topDown = false;
    std::uint32_t bitCount = 0;
    std::uint32_t compression = kRgb;
    std::array<std::uint32_t, 4> masks{};  // red, green, blue, alpha
    bool hasMasks = false;
    std::vector<std::array<std::uint8_t, 3>> palette;  // blue, green, red
    std::size_t pixels = 0;                            // offset of the pixel data within the DIB
};

// Parses the header and palette of a DIB. `pixelOffset` is where the file header
// says the pixels start (relative to the DIB), when there is one.
Dib parseDib(Bytes dib, std::optional<std::size_t> pixelOffset, bool icon) {
    Dib d;
    const std::uint32_t headerSize = u32(dib, 0);
    std::size_t paletteEntry = 4;
    std::int64_t height = 0;
    std::uint32_t colorsUsed = 0;
    if (headerSize == 12) {
        d.width = u16(dib, 4);
        height = u16(dib, 6);
        d.bitCount = u16(dib, 10);
        paletteEntry = 3;
    } else if (headerSize >= 16 && headerSize <= 124) {
        const auto w = static_cast<std::int32_t>(u32(dib, 4));
        const auto h = static_cast<std::int32_t>(u32(dib, 8));
        if (w <= 0 || h == std::numeric_limits<std::int32_t>::min()) {
            fail("wrong picture size");
        }
        d.width = static_cast<std::uint32_t>(w);
        height = h;
        d.bitCount = u16(dib, 14);
        if (headerSize >= 20) {
            d.compression = u32(dib, 16);
        }
        if (headerSize >= 36) {
            colorsUsed = u32(dib, 32);
        }
        // OS/2 2.x headers (16 or 64 bytes) number their compressions differently.
        if ((headerSize == 16 || headerSize == 64) && d.compression > kRle4) {
            fail("unsupported OS/2 compression");
        }
    } else {
        fail("unknown header (" + std::to_string(headerSize) + " bytes)");
    }
    if (height < 0) {
        d.topDown = true;
        height = -height;
    }
    if (icon) {
        height /= 2;  // the AND mask follows the colour bitmap
    }
    d.height = static_cast<std::uint32_t>(height);
    checkPictureSize(d.width, d.height);

    switch (d.bitCount) {
        case 1:
        case 4:
        case 8:
        case 16:
        case 24:
        case 32:
            break;
        default:
            fail("unsupported bit depth " + std::to_string(d.bitCount));
    }
    std::size_t at = headerSize;
    switch (d.compression) {
        case kRgb:
            break;
        case kRle8:
            if (d.bitCount != 8)
                fail("RLE8 needs 8 bits per pixel");
            break;
        case kRle4:
            if (d.bitCount != 4)
                fail("RLE4 needs 4 bits per pixel");
            break;
        case kBitfields:
        case kAlphaBitfields: {
            if (d.bitCount != 16 && d.bitCount != 32) {
                fail("bit fields need 16 or 32 bits per pixel");
            }
            const std::size_t count = d.compression == kAlphaBitfields || headerSize >= 56 ? 4 : 3;
            // At offset 40 either way: right after a 40-byte header, or inside
            // the longer ones.
            for (std::size_t i = 0; i < count; ++i) {
                d.masks[i] = u32(dib, 40 + 4 * i);
            }
            if (headerSize == 40) {
                at += 4 * count;
            }
            d.hasMasks = true;
            break;
        }
        case kJpeg:
        case kPng:
            fail("embedded JPEG or PNG pixels are not supported");
        default:
            fail("unknown compression " + std::to_string(d.compression));
    }
    if (d.topDown && (d.compression == kRle4 || d.compression == kRle8)) {
        fail("compressed bitmaps cannot be top-down");
    }

    if (d.bitCount <= 8) {
        const std::size_t full = std::size_t{1} << d.bitCount;
        const std::size_t count = colorsUsed == 0 ? full : std::min<std::size_t>(colorsUsed, 256);
        // A palette that runs into the pixels (or the file's end) is cut short there.
        std::size_t end = pixelOffset.value_or(dib.size());
        end = std::min(end, dib.size());
        d.palette.reserve(count);
        for (std::size_t i = 0; i < count && at + paletteEntry <= end; ++i, at += paletteEntry) {
            d.palette.push_back({dib[at], dib[at + 1], dib[at + 2]});
        }
        if (d.palette.empty()) {
            fail("the palette is missing");
        }
    } else if (headerSize == 12 || colorsUsed == 0) {
        // no palette
    } else {
        at += std::min<std::uint64_t>(colorsUsed, 256) * paletteEntry;  // a palette nobody needs
    }
    d.pixels = pixelOffset && *pixelOffset >= at && *pixelOffset < dib.size() ? *pixelOffset : at;
    return d;
}

std::size_t rowBytes(std::uint32_t width, std::uint32_t bits) {
    return static_cast<std::size_t>((std::uint64_t{width} * bits + 31) / 32 * 4);
}

void putPaletteColor(const Dib& d, std::uint8_t* out, unsigned index) {
    if (index < d.palette.size()) {
        out[kBlue] = d.palette[index][0];
        out[kGreen] = d.palette[index][1];
        out[kRed] = d.palette[index][2];
    } else {
        out[kBlue] = out[kGreen] = out[kRed] = 0;
    }
    out[kAlpha] = 255;
}

// Uncompressed rows. Returns true when the pixels carry an alpha channel.
bool readRows(const Dib& d, Bytes dib, Raster& picture) {
    const std::size_t stride = rowBytes(d.width, d.bitCount);
    if (dib.size() < d.pixels || (dib.size() - d.pixels) / stride < d.height) {
        fail("the file is truncated");
    }
    std::array<std::uint32_t, 4> masks = d.masks;
    bool alpha = false;
    if (!d.hasMasks && d.bitCount == 16) {
        masks = {0x7C00, 0x03E0, 0x001F, 0};
    } else if (!d.hasMasks && d.bitCount == 32) {
        masks = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
    }
    const Channel red(masks[0]), green(masks[1]), blue(masks[2]), alphaChannel(masks[3]);
    alpha = (d.bitCount == 16 || d.bitCount == 32) && masks[3] != 0;

    for (std::uint32_t y = 0; y < d.height; ++y) {
        const std::uint8_t* in = dib.data() + d.pixels + std::size_t{y} * stride;
        std::uint8_t* out = picture.row(d.topDown ? y : d.height - 1 - y);
        for (std::uint32_t x = 0; x < d.width; ++x, out += 4) {
            switch (d.bitCount) {
                case 1:
                    putPaletteColor(d, out, (in[x >> 3] >> (7 - (x & 7))) & 1);
                    break;
                case 4:
                    putPaletteColor(d, out, (in[x >> 1] >> ((x & 1) ? 0 : 4)) & 0xF);
                    break;
                case 8:
                    putPaletteColor(d, out, in[x]);
                    break;
                case 24:
                    out[kBlue] = in[3 * x];
                    out[kGreen] = in[3 * x + 1];
                    out[kRed] = in[3 * x + 2];
                    out[kAlpha] = 255;
                    break;
                default: {
                    const std::uint32_t p =
                        d.bitCount == 16
                            ? std::uint32_t{in[2 * x]} | std::uint32_t{in[2 * x + 1]} << 8
                            : std::uint32_t{in[4 * x]} | std::uint32_t{in[4 * x + 1]} << 8 |
                                  std::uint32_t{in[4 * x + 2]} << 16 |
                                  std::uint32_t{in[4 * x + 3]} << 24;
                    out[kBlue] = blue(p);
                    out[kGreen] = green(p);
                    out[kRed] = red(p);
                    out[kAlpha] = alpha ? alphaChannel(p) : 255;
                    break;
                }
            }
        }
    }
    return alpha;
}

// RLE4 and RLE8: runs, literal stretches, end of line, end of bitmap and jumps.
// Pixels the data skips stay transparent.
void readRle(const Dib& d, Bytes dib, Raster& picture) {
    const bool four = d.compression == kRle4;
    std::size_t at = d.pixels;
    std::uint32_t x = 0;
    std::uint32_t y = 0;  // counted from the bottom row
    auto put = [&](unsigned index) {
        if (x < d.width && y < d.height) {
            putPaletteColor(d, picture.row(d.height - 1 - y) + std::size_t{x} * 4, index);
        }
        ++x;
    };
    auto byte = [&]() -> unsigned {
        if (at >= dib.size()) {
            fail("the file is truncated");
        }
        return dib[at++];
    };
    while (y < d.height) {
        const unsigned count = byte();
        const unsigned value = byte();
        if (count > 0) {
            for (unsigned i = 0; i < count && x < d.width; ++i) {
                put(four ? (i & 1 ? value & 0xF : value >> 4) : value);
            }
        } else if (value == 0) {  // end of line
            x = 0;
            ++y;
        } else if (value == 1) {  // end of bitmap
            break;
        } else if (value == 2) {  // jump
            x += byte();
            y += byte();
        } else {  // `value` literal pixels, padded to a 16-bit boundary
            const std::size_t bytes = four ? (value + 1) / 2 : value;
            unsigned current = 0;
            for (unsigned i = 0; i < value; ++i) {
                if (!four) {
                    put(byte());
                } else {
                    if (!(i & 1)) {
                        current = byte();
                    }
                    put(i & 1 ? current & 0xF : current >> 4);
                }
            }
            if (bytes & 1) {
                byte();
            }
        }
    }
}

// Writers that ignore alpha leave the fourth byte zero; such a picture is opaque.
void opaqueIfAlphaUnused(Raster& picture) {
    for (std::uint32_t y = 0; y < picture.height(); ++y) {
        const std::uint8_t* p = picture.row(y);
        for (std::uint32_t x = 0; x < picture.width(); ++x, p += 4) {
            if (p[kAlpha] != 0) {
                return;
            }
        }
    }
    for (std::uint32_t y = 0; y < picture.height(); ++y) {
        std::uint8_t* p = picture.row(y);
        for (std::uint32_t x = 0; x < picture.width(); ++x, p += 4) {
            p[kAlpha] = 255;
        }
    }
}

bool anyAlpha(const Raster& picture) {
    for (std::uint32_t y = 0; y < picture.height(); ++y) {
        const std::uint8_t* p = picture.row(y);
        for (std::uint32_t x = 0; x < picture.width(); ++x, p += 4) {
            if (p[kAlpha] != 0) {
                return true;
            }
        }
    }
    return false;
}

// The icon's AND mask: one bit a pixel, bottom-up, set where the picture is
// transparent. An icon cut off before its mask stays opaque.
void applyAndMask(const Dib& d, Bytes dib, Raster& picture) {
    const std::size_t colorBytes = rowBytes(d.width, d.bitCount) * d.height;
    const std::size_t stride = rowBytes(d.width, 1);
    const std::size_t maskAt = d.pixels + colorBytes;
    if (maskAt > dib.size() || (dib.size() - maskAt) / stride < d.height) {
        return;
    }
    for (std::uint32_t y = 0; y < d.height; ++y) {
        const std::uint8_t* in = dib.data() + maskAt + std::size_t{y} * stride;
        std::uint8_t* out = picture.row(d.topDown ? y : d.height - 1 - y);
        for (std::uint32_t x = 0; x < d.width; ++x, out += 4) {
            if ((in[x >> 3] >> (7 - (x & 7))) & 1) {
                std::memset(out, 0, 4);
            }
        }
    }
}

Raster decodeDib(Bytes dib, std::optional<std::size_t> pixelOffset, bool icon) {
    const Dib d = parseDib(dib, pixelOffset, icon);
    Raster picture(d.width, d.height);
    bool alpha = false;
    if (d.compression == kRle4 || d.compression == kRle8) {
        readRle(d, dib, picture);
    } else {
        alpha = readRows(d, dib, picture);
    }
    if (icon) {
        if (!(d.bitCount == 32 && anyAlpha(picture))) {
            opaqueIfAlphaUnused(picture);
            applyAndMask(d, dib, picture);
        }
    } else if (alpha) {
        opaqueIfAlphaUnused(picture);
    }
    picture.premultiplied = false;
    premultiply(picture);
    return picture;
}

// The profile a V5 header says is embedded ("MBED"), as bytes of the DIB (its
// offset counts from the header's start); empty when there is none or it lies
// outside the file. Linked profiles (a file name) are never followed.
Bytes embeddedProfile(Bytes dib) {
    constexpr std::uint32_t kV5HeaderSize = 124;
    constexpr std::uint32_t kProfileEmbedded = 0x4D424544;  // 'MBED'
    if (dib.size() < kV5HeaderSize || u32(dib, 0) < kV5HeaderSize ||
        u32(dib, 56) != kProfileEmbedded) {
        return {};
    }
    const std::uint64_t offset = u32(dib, 112);
    const std::uint64_t size = u32(dib, 116);
    if (offset > dib.size() || size > dib.size() - offset) {
        return {};
    }
    return dib.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(size));
}

}  // namespace

Picture decodeBmp(Bytes data) {
    if (data.size() < 14 + 12 || data[0] != 'B' || data[1] != 'M') {
        fail("not a Windows bitmap");
    }
    const std::uint32_t offBits = u32(data, 10);
    std::optional<std::size_t> pixelOffset;
    if (offBits >= 14 + 12) {
        pixelOffset = offBits - 14;
    }
    const Bytes dib = data.subspan(14);
    Picture picture{decodeDib(dib, pixelOffset, false), {}};
    colour::adoptProfile(picture, embeddedProfile(dib), colour::SourceModel::Rgb);
    return picture;
}

Raster decodeIconDib(Bytes dib) {
    return decodeDib(dib, std::nullopt, true);
}

}  // namespace imbrix::imaging::formats
