// EXIF orientation: photos stored sideways or mirrored come out the way up their
// tag says, through the JPEG loader, decode by content and WEBP alike.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decode_testutil.h"
#include "imaging/exif.h"

namespace imbrix::test {
namespace {

using imaging::Raster;

Raster load(const std::string& relative) {
    return imaging::loadPicture(corpusFile(relative).string());
}

// orientation_N.jpg and fN-exif.jpg: one picture stored in each of the eight
// ways, each with the tag that undoes it. All must look like number 1.
TEST(ExifOrientation, AllEightComeOutTheSameWayUp) {
    for (const std::string& prefix : {std::string("orientation_"), std::string("f")}) {
        const std::string suffix = prefix == "f" ? "-exif.jpg" : ".jpg";
        const Raster upright = load("photos/exif-orientation/" + prefix + "1" + suffix);
        for (int n = 2; n <= 8; ++n) {
            const std::string file =
                "photos/exif-orientation/" + prefix + std::to_string(n) + suffix;
            const imaging::FileBytes bytes(corpusFile(file).string());
            const Raster turned = imaging::loadPicture(corpusFile(file).string());
            ASSERT_EQ(turned.width(), upright.width()) << file;
            ASSERT_EQ(turned.height(), upright.height()) << file;
            // Re-encoded JPEGs differ a little; a wrong turn differs a lot.
            EXPECT_LT(meanDifference(turned, upright), 6.0) << file;
            const Raster byContent = imaging::decodeByContent(bytes.bytes(), file);
            EXPECT_EQ(maxDifference(byContent, turned), 0) << file;
        }
    }
}

TEST(ExifOrientation, SidesSwapWhereTheTagSaysSo) {
    // Stored landscape, tagged 6 (turn clockwise) and 8: portrait once decoded.
    for (const char* file : {"photos/exif-orientation/orientation_6.jpg",
                             "photos/exif-orientation/orientation_8.jpg"}) {
        const imaging::FileBytes bytes(corpusFile(file).string());
        const Raster picture = imaging::loadPicture(corpusFile(file).string());
        const Raster upright = load("photos/exif-orientation/orientation_1.jpg");
        EXPECT_EQ(picture.width(), upright.width()) << file;
        EXPECT_EQ(picture.height(), upright.height()) << file;
        EXPECT_NE(upright.width(), upright.height());
    }
}

// The tag parser on hand-made blocks: both byte orders, the APP1 prefix, and
// damaged blocks that must read as "as stored".
TEST(ExifOrientation, ParsesTheTag) {
    auto block = [](bool bigEndian, std::uint16_t type, std::uint16_t value) {
        std::vector<std::uint8_t> b = {'E', 'x', 'i', 'f', 0, 0};
        auto u16 = [&](std::uint16_t v) {
            if (bigEndian) {
                b.push_back(static_cast<std::uint8_t>(v >> 8));
                b.push_back(static_cast<std::uint8_t>(v));
            } else {
                b.push_back(static_cast<std::uint8_t>(v));
                b.push_back(static_cast<std::uint8_t>(v >> 8));
            }
        };
        b.push_back(bigEndian ? 'M' : 'I');
        b.push_back(bigEndian ? 'M' : 'I');
        u16(42);
        u16(bigEndian ? 0 : 8);
        u16(bigEndian ? 8 : 0);
        u16(2);  // two entries: something else, then the orientation
        for (std::uint16_t tag : {std::uint16_t{0x010F}, std::uint16_t{0x0112}}) {
            u16(tag);
            u16(type);
            u16(bigEndian ? 0 : 1);
            u16(bigEndian ? 1 : 0);
            u16(tag == 0x0112 ? value : 0);
            u16(0);
        }
        return b;
    };
    auto orientation = [](const std::vector<std::uint8_t>& b, std::size_t skip = 0) {
        return imaging::exif::orientation(imaging::Bytes(b.data() + skip, b.size() - skip));
    };
    EXPECT_EQ(orientation(block(false, 3, 6)), 6);
    EXPECT_EQ(orientation(block(true, 3, 8)), 8);
    EXPECT_EQ(orientation(block(true, 3, 3), 6), 3);  // without the "Exif" prefix
    EXPECT_EQ(orientation(block(false, 3, 9)), 1);    // out of range
    EXPECT_EQ(orientation(block(false, 3, 0)), 1);
    EXPECT_EQ(orientation(block(false, 4, 6)), 1);  // not a SHORT
    std::vector<std::uint8_t> cut = block(false, 3, 6);
    cut.resize(cut.size() - 8);  // the orientation entry cut off
    EXPECT_EQ(orientation(cut), 1);
    std::vector<std::uint8_t> farIfd = block(false, 3, 6);
    farIfd[10] = 0xFF;  // first IFD offset far beyond the block
    EXPECT_EQ(orientation(farIfd), 1);
}

// The eight turns on a 3x2 raster whose pixels are numbered, checked against
// where each orientation puts the stored top-left corner.
TEST(ExifOrientation, TurnsPixels) {
    auto numbered = [] {
        Raster r(3, 2);
        for (std::uint32_t y = 0; y < 2; ++y) {
            for (std::uint32_t x = 0; x < 3; ++x) {
                r.row(y)[x * 4] = static_cast<std::uint8_t>(1 + x + 3 * y);
                r.row(y)[x * 4 + 3] = 255;
            }
        }
        return r;
    };
    // Stored pixels 1 2 3 / 4 5 6. Each row: orientation, shown rows.
    const std::vector<std::pair<int, std::vector<std::vector<int>>>> cases = {
        {1, {{1, 2, 3}, {4, 5, 6}}},   {2, {{3, 2, 1}, {6, 5, 4}}},   {3, {{6, 5, 4}, {3, 2, 1}}},
        {4, {{4, 5, 6}, {1, 2, 3}}},   {5, {{1, 4}, {2, 5}, {3, 6}}}, {6, {{4, 1}, {5, 2}, {6, 3}}},
        {7, {{6, 3}, {5, 2}, {4, 1}}}, {8, {{3, 6}, {2, 5}, {1, 4}}},
    };
    for (const auto& [o, rows] : cases) {
        const Raster turned = imaging::exif::applyOrientation(numbered(), o);
        ASSERT_EQ(turned.height(), rows.size()) << o;
        ASSERT_EQ(turned.width(), rows[0].size()) << o;
        for (std::uint32_t y = 0; y < turned.height(); ++y) {
            for (std::uint32_t x = 0; x < turned.width(); ++x) {
                EXPECT_EQ(turned.row(y)[x * 4], rows[y][x]) << "orientation " << o;
            }
        }
    }
}

// WEBP carries EXIF in a chunk of its own; webpmux puts one there. A lossless
// WEBP of a landscape photo tagged 6 decodes portrait, by loader and by content.
TEST(ExifOrientation, AppliesToWebp) {
    ScratchDir dir;
    const std::string jpeg = corpusFile("photos/exif-orientation/orientation_6.jpg").string();
    // The EXIF block of the JPEG: the APP1 segment after FF D8.
    const std::vector<std::uint8_t> jpegBytes = readBytes(jpeg);
    std::vector<std::uint8_t> exifBlock;
    for (std::size_t i = 2; i + 4 < jpegBytes.size();) {
        const std::size_t length = std::size_t{jpegBytes[i + 2]} << 8 | jpegBytes[i + 3];
        if (jpegBytes[i + 1] == 0xE1) {
            exifBlock.assign(jpegBytes.begin() + static_cast<std::ptrdiff_t>(i + 4),
                             jpegBytes.begin() + static_cast<std::ptrdiff_t>(i + 2 + length));
            break;
        }
        i += 2 + length;
    }
    ASSERT_FALSE(exifBlock.empty());
    ASSERT_EQ(imaging::exif::orientation({exifBlock.data(), exifBlock.size()}), 6);
    writeBytes(dir.file("exif.bin"), exifBlock);

    const std::string plain = dir.file("plain.webp");
    const std::string tagged = dir.file("tagged.webp");
    std::string log;
    ASSERT_EQ(runCommand({"cwebp", "-quiet", "-lossless",
                          corpusFile("pngsuite/basn2c08.png").string(), "-o", plain},
                         &log),
              0)
        << log;
    ASSERT_EQ(
        runCommand({"webpmux", "-set", "exif", dir.file("exif.bin"), plain, "-o", tagged}, &log), 0)
        << log;
    const Raster stored = imaging::loadPicture(plain);
    const Raster turned = imaging::loadPicture(tagged);
    const imaging::FileBytes bytes(tagged);
    const Raster byContent = imaging::decodeByContent(bytes.bytes(), tagged);
    EXPECT_EQ(maxDifference(turned, imaging::exif::applyOrientation(stored.clone(), 6)), 0);
    EXPECT_EQ(maxDifference(byContent, turned), 0);
}

// PNG keeps its pixels as stored even with an eXIf chunk. exif2c08's chunk says
// orientation 1; the same file with the tag set to 6 (turn clockwise) must still
// decode to the very same pixels, by loader and by content.
TEST(ExifOrientation, NotAppliedToPng) {
    std::vector<std::uint8_t> png = readBytes(corpusFile("pngsuite/exif2c08.png"));
    // Chunks from byte 8: IHDR (13 bytes of data), then eXIf. Its TIFF block is
    // big-endian with the orientation as the first IFD entry; the value sits 18
    // bytes into the block.
    const std::size_t exifChunk = 8 + 12 + 13;
    ASSERT_EQ(std::string(png.begin() + exifChunk + 4, png.begin() + exifChunk + 8), "eXIf");
    const std::size_t value = exifChunk + 8 + 18;
    ASSERT_EQ(png[value - 8], 0x01);  // tag 0x0112
    ASSERT_EQ(png[value - 7], 0x12);
    ASSERT_EQ(png[value + 1], 1);
    png[value + 1] = 6;
    fixPngChunkCrc(png, exifChunk);
    ASSERT_EQ(imaging::exif::orientation({png.data() + exifChunk + 8, png.size() - exifChunk - 8}),
              6);

    const Raster stored = load("pngsuite/exif2c08.png");
    const Raster tagged = imaging::decodeWithPictureLoader("png", {png.data(), png.size()});
    const Raster byContent = imaging::decodeByContent({png.data(), png.size()}, "tagged.png");
    ASSERT_EQ(tagged.width(), stored.width());
    ASSERT_EQ(tagged.height(), stored.height());
    EXPECT_EQ(maxDifference(tagged, stored), 0);
    EXPECT_EQ(maxDifference(byContent, stored), 0);
    // The picture is not symmetric: a turn would have shown.
    EXPECT_GT(maxDifference(imaging::exif::applyOrientation(stored.clone(), 6), stored), 0);
}

}  // namespace
}  // namespace imbrix::test
