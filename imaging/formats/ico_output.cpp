// ICO encoder: one entry, stored as PNG (which Windows reads in icons since
// Vista, and every other icon reader too).
#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "imaging/colour.h"
#include "imaging/encode.h"
#include "imaging/error.h"
#include "imaging/formats/outputs.h"

namespace imbrix::imaging {

namespace {

constexpr std::uint32_t kMaxIconSide = 256;
constexpr std::size_t kHeaderSize = 6 + 16;  // ICONDIR and one ICONDIRENTRY

}  // namespace

void encodeIco(const Picture& picture, const EncodeOptions& options, Sink& out) {
    const Raster& raster = picture.pixels;
    if (raster.empty()) {
        throw Error("Cannot write ICO: the picture has no pixels");
    }
    const std::uint32_t width = raster.width();
    const std::uint32_t height = raster.height();
    if (width > kMaxIconSide || height > kMaxIconSide) {
        throw Error("Cannot write ICO: an icon holds at most 256 x 256 pixels (the picture has " +
                    std::to_string(width) + " x " + std::to_string(height) + ")");
    }
    // Icon readers ignore colour profiles and metadata: sRGB pixels alone.
    Picture plain{raster.clone(), {}};
    plain.meta.icc = picture.meta.icc;
    colour::convertToSrgb(plain);
    plain.meta.icc.clear();
    MemorySink png;
    encodePng(std::move(plain), options, png);

    std::array<std::uint8_t, kHeaderSize> header{};
    formats::putLe16(header.data() + 2, 1);  // type: icon
    formats::putLe16(header.data() + 4, 1);  // one entry
    std::uint8_t* entry = header.data() + 6;
    entry[0] = static_cast<std::uint8_t>(width == kMaxIconSide ? 0 : width);  // 0 means 256
    entry[1] = static_cast<std::uint8_t>(height == kMaxIconSide ? 0 : height);
    formats::putLe16(entry + 4, 1);   // planes
    formats::putLe16(entry + 6, 32);  // bits per pixel
    formats::putLe32(entry + 8, static_cast<std::uint32_t>(png.bytes.size()));
    formats::putLe32(entry + 12, static_cast<std::uint32_t>(kHeaderSize));
    out.write(header.data(), header.size());
    out.write(png.bytes.data(), png.bytes.size());
}

}  // namespace imbrix::imaging
