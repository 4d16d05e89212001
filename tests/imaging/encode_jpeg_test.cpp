#include <gtest/gtest.h>

#include "common/pictures.h"
#include "encode_testutil.h"
#include "imaging/encode.h"

namespace imbrix::imaging {
namespace {

constexpr const char* kPhoto = "photos/jpeg-variants/Bush-dog.jpg";

std::string identify(const std::vector<std::uint8_t>& jpeg, const std::string& format) {
    test::ScratchDir dir;
    const std::string path = dir.file("in.jpg");
    test::writeBytes(path, jpeg);
    std::string output;
    EXPECT_EQ(test::runCommand({"identify", "-format", format, path}, &output), 0) << output;
    return output;
}

TEST(EncodeJpeg, PhotoRoundTripsWithItsSizeAndColours) {
    const Raster raster = test::photoRaster(kPhoto);
    MemorySink sink;
    encodeJpeg(test::pictureOf(raster), test::withQuality(90), sink);

    const test::Decoded jpeg = test::decodeWithImageMagick(sink.bytes, "jpg");
    ASSERT_EQ(jpeg.width, 400u);
    ASSERT_EQ(jpeg.height, 398u);
    EXPECT_LT(test::meanColourDifference(raster, jpeg), 2.5);
    // 4:2:0 chroma and the quality as libjpeg's standard tables encode it.
    EXPECT_EQ(identify(sink.bytes, "%[jpeg:sampling-factor] %Q"), "2x2,1x1,1x1 90");
}

TEST(EncodeJpeg, QualityReachesTheFileAndLowerIsSmaller) {
    const Raster raster = test::photoRaster(kPhoto);
    std::size_t previous = 0;
    for (const int quality : {1, 30, 75, 100}) {
        SCOPED_TRACE(quality);
        MemorySink sink;
        encodeJpeg(test::pictureOf(raster), test::withQuality(quality), sink);
        EXPECT_EQ(identify(sink.bytes, "%Q"), std::to_string(quality));
        EXPECT_GT(sink.bytes.size(), previous);
        previous = sink.bytes.size();
    }
}

// Premultiplied colours go out as they are: transparent areas are black, a
// half-transparent white is mid gray.
TEST(EncodeJpeg, AlphaIsDroppedAndTransparentAreasComeOutBlack) {
    const Raster raster = test::makeRaster(48, 32, [](int x, int) {
        if (x < 16) {
            return std::array<int, 4>{255, 255, 255, 0};
        }
        if (x < 32) {
            return std::array<int, 4>{255, 255, 255, 128};
        }
        return std::array<int, 4>{0, 0, 255, 255};  // opaque red
    });
    MemorySink sink;
    encodeJpeg(test::pictureOf(raster), test::withQuality(95), sink);

    const test::Decoded jpeg = test::decodeWithImageMagick(sink.bytes, "jpg");
    ASSERT_EQ(jpeg.width, 48u);
    EXPECT_FALSE(jpeg.hasAlphaChannel());
    const auto transparent = jpeg.at(4, 16);
    const auto half = jpeg.at(24, 16);
    const auto red = jpeg.at(44, 16);
    for (int c = 0; c < 3; ++c) {
        EXPECT_LE(transparent[c], 4);
        EXPECT_NEAR(half[c], 128, 4);
    }
    EXPECT_GE(red[0], 245);
    EXPECT_LE(red[1], 10);
}

// Rows are fed to libjpeg in groups; sizes around the group and MCU edges.
TEST(EncodeJpeg, OddSizesKeepTheirSize) {
    for (const auto& [w, h] : {std::pair{1u, 1u}, {17u, 15u}, {3u, 33u}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        const Raster raster = test::gradientRaster(w, h);
        MemorySink sink;
        encodeJpeg(test::pictureOf(raster), test::withQuality(85), sink);
        const test::Decoded jpeg = test::decodeWithImageMagick(sink.bytes, "jpg");
        EXPECT_EQ(jpeg.width, w);
        EXPECT_EQ(jpeg.height, h);
    }
}

// libjpeg refuses a side above 65500 pixels: its own words, after ours.
TEST(EncodeJpeg, LibjpegsRefusalIsReportedInItsWords) {
    for (const auto& [w, h] : {std::pair{65501u, 1u}, {1u, 65501u}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        const Raster raster = test::gradientRaster(w, h);
        MemorySink sink;
        try {
            encodeJpeg(test::pictureOf(raster), test::withQuality(85), sink);
            ADD_FAILURE() << "no error";
        } catch (const Error& e) {
            EXPECT_STREQ(e.what(),
                         "Cannot write JPEG: Maximum supported image dimension is 65500 pixels");
        }
        EXPECT_TRUE(sink.bytes.empty());
    }
}

}  // namespace
}  // namespace imbrix::imaging
