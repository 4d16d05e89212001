// PngSuite: every valid file decodes at the size its header gives, a sample of
// pixels over the colour types and bit depths matches, and every damaged file
// (names starting with x) fails with a message.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "decode_testutil.h"

namespace imbrix::test {
namespace {

std::vector<std::filesystem::path> suiteFiles() {
    std::vector<std::filesystem::path> files;
    for (const auto& dir : {corpusDir() / "pngsuite", corpusDir() / "pngsuite/libjxl-extra"}) {
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            if (entry.is_regular_file() && entry.path().extension() == ".png") {
                files.push_back(entry.path());
            }
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::uint32_t be32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 |
           std::uint32_t{b[at + 2]} << 8 | b[at + 3];
}

TEST(PngSuite, ValidFilesDecodeAtTheirSize) {
    int valid = 0;
    for (const auto& path : suiteFiles()) {
        if (path.filename().string()[0] == 'x') {
            continue;
        }
        ++valid;
        // Width and height straight from the IHDR chunk.
        const std::vector<std::uint8_t> bytes = readBytes(path);
        ASSERT_GE(bytes.size(), 24u) << path;
        try {
            const imaging::Raster picture = imaging::loadPicture(path.string());
            EXPECT_EQ(picture.width(), be32(bytes, 16)) << path;
            EXPECT_EQ(picture.height(), be32(bytes, 20)) << path;
            EXPECT_TRUE(validPremultiplied(picture)) << path;
        } catch (const imaging::Error& e) {
            ADD_FAILURE() << path << ": " << e.what();
        }
    }
    EXPECT_GT(valid, 150);
}

TEST(PngSuite, DamagedFilesFailWithAMessage) {
    int damaged = 0;
    for (const auto& path : suiteFiles()) {
        if (path.filename().string()[0] != 'x') {
            continue;
        }
        ++damaged;
        const std::string message = errorMessage([&] { imaging::loadPicture(path.string()); });
        EXPECT_FALSE(message.empty()) << path;
    }
    EXPECT_GE(damaged, 14);
}

// Pixel values read with ImageMagick: gray 1/2/4/16 bits, RGB 16 bits, palettes,
// gray and colour with alpha (8 and 16 bits), interlaced, tRNS on RGB and palette.
// 16-bit samples are given as their 16-bit value scaled to 8 bits with rounding
// (v / 257): basn0g16 28160 -> 110, basn2c16 44395 -> 173, basn4a16 37448 -> 146
// with alpha 21141 -> 82, basn6a16 red 18724 -> 73.
TEST(PngSuite, KnownPixels) {
    const std::vector<std::pair<const char*, ExpectedPixel>> cases = {
        {"basn0g01.png", {0, 0, 0xFFFFFFFF}},   {"basn0g01.png", {31, 0, 0x000000FF}},
        {"basi0g02.png", {17, 5, 0x555555FF}},  {"basn0g04.png", {20, 3, 0x555555FF}},
        {"basn0g16.png", {10, 10, 0x6E6E6EFF}}, {"basn2c16.png", {10, 20, 0xAD5A00FF}},
        {"basn3p02.png", {5, 20, 0x0000FFFF}},  {"basn3p08.png", {12, 7, 0x3A7700FF}},
        {"basn4a08.png", {20, 5, 0xD5D5D5A4}},  {"basn4a16.png", {20, 5, 0x92929252}},
        {"basn6a16.png", {20, 5, 0x49FF0052}},  {"basi6a08.png", {20, 5, 0xFF9F07A4}},
        {"basi6a08.png", {3, 28, 0x0180FF18}},  {"tbrn2c08.png", {0, 0, 0xFFFFFF00}},
        {"tbrn2c08.png", {16, 16, 0x9E9E9EFF}}, {"tp1n3p08.png", {0, 0, 0xFFFFFF00}},
        {"tp1n3p08.png", {16, 16, 0x9E9E9EFF}}, {"s01i3p01.png", {0, 0, 0x0000FFFF}},
        {"s39i3p04.png", {20, 20, 0x0000FFFF}},
    };
    for (const auto& [file, pixel] : cases) {
        const imaging::Raster picture =
            imaging::loadPicture((corpusDir() / "pngsuite" / file).string());
        EXPECT_TRUE(pixelNear(picture, pixel, 0)) << file;
    }
}

}  // namespace
}  // namespace imbrix::test
