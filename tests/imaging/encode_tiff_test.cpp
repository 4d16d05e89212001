#include <gtest/gtest.h>

#include "common/pictures.h"
#include "encode_testutil.h"
#include "imaging/encode.h"
#include "imaging/grayscale.h"

namespace imbrix::imaging {
namespace {

std::string tiffinfo(const std::vector<std::uint8_t>& tiff) {
    test::ScratchDir dir;
    const std::string path = dir.file("in.tif");
    test::writeBytes(path, tiff);
    std::string output;
    EXPECT_EQ(test::runCommand({"tiffinfo", path}, &output), 0) << output;
    return output;
}

TEST(EncodeTiff, PhotoIsLosslessRgbWithoutAlpha) {
    const Raster raster = test::photoRaster("photos/jpeg-variants/Bush-dog.jpg");
    MemorySink sink;
    encodeTiff(test::pictureOf(raster), {}, sink);

    const std::string info = tiffinfo(sink.bytes);
    EXPECT_NE(info.find("Image Width: 400 Image Length: 398"), std::string::npos) << info;
    EXPECT_NE(info.find("Bits/Sample: 8"), std::string::npos) << info;
    EXPECT_NE(info.find("Samples/Pixel: 3"), std::string::npos) << info;
    EXPECT_NE(info.find("Compression Scheme: LZW"), std::string::npos) << info;
    EXPECT_NE(info.find("Predictor: horizontal differencing"), std::string::npos) << info;
    EXPECT_EQ(info.find("Extra Samples"), std::string::npos) << info;

    const test::Decoded tiff = test::decodeWithImageMagick(sink.bytes, "tif");
    ASSERT_EQ(tiff.width, 400u);
    ASSERT_EQ(tiff.height, 398u);
    EXPECT_FALSE(tiff.hasAlphaChannel());
    EXPECT_EQ(test::maxColourDifference(raster, tiff), 0);
}

// Colour values are written as they are: premultiplied transparent areas are black.
TEST(EncodeTiff, TransparentAreasKeepTheirPremultipliedColours) {
    const Raster raster = test::makeRaster(20, 70, [](int, int y) {
        return std::array<int, 4>{40, 120, 240, y < 35 ? 0 : 128};
    });
    MemorySink sink;
    encodeTiff(test::pictureOf(raster), {}, sink);
    const test::Decoded tiff = test::decodeWithImageMagick(sink.bytes, "tif");
    ASSERT_EQ(tiff.height, 70u);
    EXPECT_EQ(tiff.at(5, 10), (std::array<int, 4>{0, 0, 0, 255}));
    EXPECT_EQ(tiff.at(5, 50), (std::array<int, 4>{120, 60, 20, 255}));
}

TEST(EncodeTiff, GrayscaleRasterGivesEqualChannels) {
    Raster raster = test::photoRaster("photos/jpeg-variants/DSCN0614_small.jpg");
    grayscaleRaster(raster);
    MemorySink sink;
    encodeTiff(test::pictureOf(raster), {}, sink);
    EXPECT_NE(tiffinfo(sink.bytes).find("Samples/Pixel: 3"), std::string::npos);

    const test::Decoded tiff = test::decodeWithImageMagick(sink.bytes, "tif");
    ASSERT_EQ(tiff.width, 400u);
    ASSERT_EQ(tiff.height, 300u);
    int distinctValues = 0;
    std::array<bool, 256> seen{};
    for (std::uint32_t y = 0; y < tiff.height; ++y) {
        for (std::uint32_t x = 0; x < tiff.width; ++x) {
            const auto d = tiff.at(x, y);
            ASSERT_EQ(d[0], d[1]) << x << "," << y;
            ASSERT_EQ(d[1], d[2]) << x << "," << y;
            distinctValues += seen[d[0]] ? 0 : 1;
            seen[d[0]] = true;
        }
    }
    EXPECT_GT(distinctValues, 100);  // a photo, not a flat picture
    EXPECT_EQ(test::maxColourDifference(raster, tiff), 0);
}

}  // namespace
}  // namespace imbrix::imaging
