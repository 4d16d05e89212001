// TGA encoder: uncompressed rows, top-down (the origin bit set), as ImageMagick
// writes them: gray as 8-bit gray, otherwise 24- or 32-bit true colour.
#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "imaging/encode.h"
#include "imaging/error.h"
#include "imaging/formats/outputs.h"

namespace imbrix::imaging {

namespace {

constexpr std::uint8_t kTrueColour = 2;
constexpr std::uint8_t kGray = 3;
constexpr std::uint8_t kTopDown = 0x20;
constexpr std::uint32_t kMaxSide = 0xFFFF;

}  // namespace

void encodeTga(const Picture& picture, const EncodeOptions& /*options*/, Sink& out) {
    const Raster& raster = picture.pixels;
    if (raster.empty()) {
        throw Error("Cannot write TGA: the picture has no pixels");
    }
    const std::uint32_t width = raster.width();
    const std::uint32_t height = raster.height();
    if (width > kMaxSide || height > kMaxSide) {
        throw Error("Cannot write TGA: the picture is too large for the format (" +
                    std::to_string(width) + " x " + std::to_string(height) +
                    " pixels, at most 65535 a side)");
    }
    const bool alpha = !formats::isOpaque(raster);
    const bool gray = !alpha && formats::isGray(raster);
    const unsigned bytesPerPixel = gray ? 1 : alpha ? 4 : 3;

    std::array<std::uint8_t, 18> header{};
    header[2] = gray ? kGray : kTrueColour;
    header[12] = static_cast<std::uint8_t>(width);
    header[13] = static_cast<std::uint8_t>(width >> 8);
    header[14] = static_cast<std::uint8_t>(height);
    header[15] = static_cast<std::uint8_t>(height >> 8);
    header[16] = static_cast<std::uint8_t>(bytesPerPixel * 8);
    header[17] = static_cast<std::uint8_t>(kTopDown | (alpha ? 8 : 0));  // alpha bits
    out.write(header.data(), header.size());

    std::vector<std::uint8_t> row(std::size_t{width} * bytesPerPixel);
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint8_t* src = raster.row(y);
        if (alpha) {
            // TGA stores B, G, R, A: the raster's own order, unpremultiplied.
            if (raster.premultiplied) {
                formats::unpremultiplyRow(src, row.data(), width);
            } else {
                std::copy_n(src, row.size(), row.data());
            }
        } else if (gray) {
            for (std::uint32_t x = 0; x < width; ++x) {
                row[x] = src[std::size_t{x} * 4 + kGreen];
            }
        } else {
            formats::bgrRow(src, row.data(), width);
        }
        out.write(row.data(), row.size());
    }
}

}  // namespace imbrix::imaging
