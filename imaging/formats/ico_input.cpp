// Windows icons and cursors: a directory of PNG or DIB images; we take the largest.
#include <algorithm>
#include <iterator>
#include <string>

#include "imaging/error.h"
#include "imaging/formats/inputs.h"

namespace imbrix::imaging::formats {

namespace {

constexpr std::size_t kHeaderSize = 6;
constexpr std::size_t kEntrySize = 16;

std::uint32_t u16(Bytes d, std::size_t at) {
    return std::uint32_t{d[at]} | std::uint32_t{d[at + 1]} << 8;
}
std::uint32_t u32(Bytes d, std::size_t at) {
    return u16(d, at) | u16(d, at + 2) << 16;
}

[[noreturn]] void fail(const std::string& why) {
    throw Error("ICO error: " + why);
}

}  // namespace

Picture decodeIco(Bytes data) {
    if (data.size() < kHeaderSize || u16(data, 0) != 0 ||
        (u16(data, 2) != 1 && u16(data, 2) != 2)) {
        fail("not an icon file");
    }
    const std::size_t count = u16(data, 4);
    if (count == 0) {
        fail("the icon holds no image");
    }
    // The largest by the directory's own sizes (0 stands for 256), then the
    // deepest colour; entries that point outside the file are passed over.
    std::size_t best = count;
    std::uint64_t bestArea = 0;
    std::uint32_t bestBits = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t entry = kHeaderSize + i * kEntrySize;
        if (entry + kEntrySize > data.size()) {
            break;
        }
        const std::uint32_t width = data[entry] ? data[entry] : 256;
        const std::uint32_t height = data[entry + 1] ? data[entry + 1] : 256;
        const std::uint32_t bits = u16(data, entry + 6);
        const std::uint32_t size = u32(data, entry + 8);
        const std::uint32_t offset = u32(data, entry + 12);
        if (size == 0 || offset > data.size() || data.size() - offset < size) {
            continue;
        }
        const std::uint64_t area = std::uint64_t{width} * height;
        if (best == count || area > bestArea || (area == bestArea && bits > bestBits)) {
            best = i;
            bestArea = area;
            bestBits = bits;
        }
    }
    if (best == count) {
        fail("the file is truncated: no image of the icon lies within it");
    }
    const std::size_t entry = kHeaderSize + best * kEntrySize;
    const Bytes image = data.subspan(u32(data, entry + 12), u32(data, entry + 8));
    static constexpr std::uint8_t kPngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (image.size() >= sizeof kPngSignature &&
        std::equal(std::begin(kPngSignature), std::end(kPngSignature), image.begin())) {
        return decodePng(image);
    }
    return Picture{decodeIconDib(image), {}};
}

}  // namespace imbrix::imaging::formats
