#include "imaging/exif.h"

#include <cstdint>
#include <cstring>
#include <utility>

namespace imbrix::imaging::exif {

namespace {

constexpr std::uint16_t kOrientationTag = 0x0112;
constexpr std::uint16_t kTypeShort = 3;

// Reads the TIFF structure's integers in its own byte order, bounds-checked.
class TiffReader {
public:
    TiffReader(Bytes data, bool bigEndian) : data_(data), bigEndian_(bigEndian) {}

    bool u16(std::size_t at, std::uint16_t& value) const {
        if (at > data_.size() || data_.size() - at < 2) {
            return false;
        }
        value = bigEndian_ ? static_cast<std::uint16_t>(data_[at] << 8 | data_[at + 1])
                           : static_cast<std::uint16_t>(data_[at + 1] << 8 | data_[at]);
        return true;
    }
    bool u32(std::size_t at, std::uint32_t& value) const {
        std::uint16_t a = 0;
        std::uint16_t b = 0;
        if (!u16(at, a) || !u16(at + 2, b)) {
            return false;
        }
        value = bigEndian_ ? (std::uint32_t{a} << 16 | b) : (std::uint32_t{b} << 16 | a);
        return true;
    }

private:
    Bytes data_;
    bool bigEndian_;
};

}  // namespace

int orientation(Bytes exif) {
    static constexpr std::uint8_t kExifPrefix[] = {'E', 'x', 'i', 'f', 0, 0};
    if (exif.size() >= sizeof kExifPrefix &&
        std::memcmp(exif.data(), kExifPrefix, sizeof kExifPrefix) == 0) {
        exif = exif.subspan(sizeof kExifPrefix);
    }
    if (exif.size() < 8) {
        return 1;
    }
    bool bigEndian = false;
    if (exif[0] == 'I' && exif[1] == 'I') {
        bigEndian = false;
    } else if (exif[0] == 'M' && exif[1] == 'M') {
        bigEndian = true;
    } else {
        return 1;
    }
    const TiffReader tiff(exif, bigEndian);
    std::uint16_t magic = 0;
    std::uint32_t ifd = 0;
    std::uint16_t count = 0;
    if (!tiff.u16(2, magic) || magic != 42 || !tiff.u32(4, ifd) || !tiff.u16(ifd, count)) {
        return 1;
    }
    // Only the first IFD (the main picture) carries the orientation that applies.
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t entry = std::size_t{ifd} + 2 + std::size_t{i} * 12;
        std::uint16_t tag = 0;
        std::uint16_t type = 0;
        std::uint32_t n = 0;
        std::uint16_t value = 0;
        if (!tiff.u16(entry, tag) || !tiff.u16(entry + 2, type) || !tiff.u32(entry + 4, n) ||
            !tiff.u16(entry + 8, value)) {
            return 1;
        }
        if (tag == kOrientationTag) {
            return type == kTypeShort && n >= 1 && value >= 1 && value <= 8 ? value : 1;
        }
    }
    return 1;
}

Raster applyOrientation(Raster picture, int orientation) {
    if (orientation < 2 || orientation > 8 || picture.empty()) {
        return picture;
    }
    const std::uint32_t w = picture.width();
    const std::uint32_t h = picture.height();
    const bool swap = swapsSides(orientation);
    Raster turned(swap ? h : w, swap ? w : h);
    turned.premultiplied = picture.premultiplied;
    turned.hasAlpha = picture.hasAlpha;
    for (std::uint32_t y = 0; y < turned.height(); ++y) {
        std::uint8_t* out = turned.row(y);
        for (std::uint32_t x = 0; x < turned.width(); ++x, out += 4) {
            // Where the pixel shown at (x, y) is stored.
            std::uint32_t sx = x;
            std::uint32_t sy = y;
            switch (orientation) {
                case 2:
                    sx = w - 1 - x;
                    break;  // mirrored left-right
                case 3:
                    sx = w - 1 - x;
                    sy = h - 1 - y;
                    break;  // turned 180 degrees
                case 4:
                    sy = h - 1 - y;
                    break;  // mirrored top-bottom
                case 5:
                    sx = y;
                    sy = x;
                    break;  // transposed
                case 6:
                    sx = y;
                    sy = h - 1 - x;
                    break;  // needs 90 degrees clockwise
                case 7:
                    sx = w - 1 - y;
                    sy = h - 1 - x;
                    break;  // transversed
                default:
                    sx = w - 1 - y;
                    sy = x;
                    break;  // 8: 90 degrees anticlockwise
            }
            std::memcpy(out, picture.row(sy) + std::size_t{sx} * 4, 4);
        }
    }
    return turned;
}

}  // namespace imbrix::imaging::exif
