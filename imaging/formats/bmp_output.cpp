// BMP encoder: uncompressed rows, bottom-up as every reader expects them.
#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "imaging/encode.h"
#include "imaging/error.h"
#include "imaging/formats/outputs.h"

namespace imbrix::imaging {

namespace {

constexpr std::size_t kFileHeaderSize = 14;
// BITMAPV5HEADER: the one with an alpha mask that ImageMagick, GIMP, Pillow and
// Windows all read as transparency.
constexpr std::size_t kInfoHeaderSize = 124;
constexpr std::uint32_t kBiRgb = 0;
constexpr std::uint32_t kBiBitfields = 3;
constexpr std::uint32_t kSrgbColourSpace = 0x73524742;  // 'sRGB'
constexpr std::uint32_t kIntentImages = 4;              // LCS_GM_IMAGES
constexpr std::uint32_t kPixelsPerMetre = 2835;         // 72 dpi

}  // namespace

void encodeBmp(const Picture& picture, const EncodeOptions& /*options*/, Sink& out) {
    const Raster& raster = picture.pixels;
    if (raster.empty()) {
        throw Error("Cannot write BMP: the picture has no pixels");
    }
    const bool alpha = !formats::isOpaque(raster);
    const std::uint32_t width = raster.width();
    const std::uint32_t height = raster.height();
    const std::uint64_t rowBytes = (std::uint64_t{width} * (alpha ? 32 : 24) / 8 + 3) & ~3ull;
    const std::uint64_t headers = kFileHeaderSize + kInfoHeaderSize;
    const std::uint64_t fileSize = headers + rowBytes * height;
    if (fileSize > std::numeric_limits<std::uint32_t>::max() ||
        width > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max()) ||
        height > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max())) {
        throw Error("Cannot write BMP: the picture is too large for the format (" +
                    std::to_string(width) + " x " + std::to_string(height) + " pixels)");
    }

    std::array<std::uint8_t, kFileHeaderSize + kInfoHeaderSize> header{};
    std::uint8_t* h = header.data();
    h[0] = 'B';
    h[1] = 'M';
    formats::putLe32(h + 2, static_cast<std::uint32_t>(fileSize));
    formats::putLe32(h + 10, static_cast<std::uint32_t>(headers));
    std::uint8_t* info = h + kFileHeaderSize;
    formats::putLe32(info, kInfoHeaderSize);
    formats::putLe32(info + 4, width);
    formats::putLe32(info + 8, height);  // positive: bottom-up
    formats::putLe16(info + 12, 1);      // planes
    formats::putLe16(info + 14, alpha ? 32 : 24);
    formats::putLe32(info + 16, alpha ? kBiBitfields : kBiRgb);
    formats::putLe32(info + 20, static_cast<std::uint32_t>(rowBytes * height));
    formats::putLe32(info + 24, kPixelsPerMetre);
    formats::putLe32(info + 28, kPixelsPerMetre);
    if (alpha) {
        formats::putLe32(info + 40, 0x00FF0000);  // red
        formats::putLe32(info + 44, 0x0000FF00);  // green
        formats::putLe32(info + 48, 0x000000FF);  // blue
        formats::putLe32(info + 52, 0xFF000000);  // alpha
    }
    formats::putLe32(info + 56, kSrgbColourSpace);
    formats::putLe32(info + 108, kIntentImages);
    out.write(header.data(), header.size());

    std::vector<std::uint8_t> row(static_cast<std::size_t>(rowBytes), 0);
    for (std::uint32_t y = height; y-- > 0;) {
        const std::uint8_t* src = raster.row(y);
        if (alpha) {
            // BGRA in memory is what the masks above describe.
            if (raster.premultiplied) {
                formats::unpremultiplyRow(src, row.data(), width);
            } else {
                std::copy_n(src, std::size_t{width} * 4, row.data());
            }
        } else {
            formats::bgrRow(src, row.data(), width);
        }
        out.write(row.data(), row.size());
    }
}

}  // namespace imbrix::imaging
