#include <gtest/gtest.h>

#include "common/pictures.h"
#include "encode_testutil.h"
#include "imaging/encode.h"
#include "imaging/error.h"

namespace imbrix::imaging {
namespace {

constexpr const char* kPhoto = "photos/jpeg-variants/Bush-dog.jpg";

std::string firstChunk(const std::vector<std::uint8_t>& webp) {
    return webp.size() < 16 ? "" : std::string(webp.begin() + 12, webp.begin() + 16);
}

bool hasChunk(const std::vector<std::uint8_t>& webp, const std::string& fourcc) {
    return std::search(webp.begin(), webp.end(), fourcc.begin(), fourcc.end()) != webp.end();
}

TEST(EncodeWebp, Quality100IsLosslessWithAlpha) {
    static constexpr int kAlphas[] = {255, 0, 1, 7, 100, 128, 254};
    const Raster raster = test::makeRaster(41, 37, [](int x, int y) {
        return std::array<int, 4>{(x * 31) % 256, (y * 17) % 256, (x ^ y) * 4 % 256,
                                  kAlphas[(x + 2 * y) % 7]};
    });
    MemorySink sink;
    encodeWebp(test::pictureOf(raster), test::withQuality(100), sink);
    EXPECT_EQ(firstChunk(sink.bytes), "VP8L");

    const test::Decoded webp = test::decodeWithDwebp(sink.bytes);
    ASSERT_EQ(webp.width, 41u);
    ASSERT_EQ(webp.height, 37u);
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        for (std::uint32_t x = 0; x < raster.width(); ++x) {
            const std::uint8_t* p = raster.row(y) + x * 4;
            const auto d = webp.at(x, y);
            const int a = p[kAlpha];
            ASSERT_EQ(d[3], a) << x << "," << y;
            // Straight colours in the file that premultiply back to the raster's.
            EXPECT_EQ((d[0] * a + 127) / 255, p[kRed]) << x << "," << y;
            EXPECT_EQ((d[1] * a + 127) / 255, p[kGreen]) << x << "," << y;
            EXPECT_EQ((d[2] * a + 127) / 255, p[kBlue]) << x << "," << y;
        }
    }
}

TEST(EncodeWebp, Quality100IsExactForAPhoto) {
    const Raster raster = test::photoRaster(kPhoto);
    MemorySink sink;
    encodeWebp(test::pictureOf(raster), test::withQuality(100), sink);
    EXPECT_EQ(firstChunk(sink.bytes), "VP8L");
    const test::Decoded webp = test::decodeWithDwebp(sink.bytes);
    ASSERT_EQ(webp.width, 400u);
    ASSERT_EQ(webp.height, 398u);
    EXPECT_EQ(test::maxColourDifference(raster, webp), 0);
}

// Lossy pictures with transparency are converted in bands of rows; this one
// has an opaque band, a half-transparent band and a transparent tail.
TEST(EncodeWebp, LossyKeepsAlphaAcrossBands) {
    auto alphaOfRow = [](int y) { return y < 64 ? 255 : y < 128 ? 128 : 0; };
    const Raster raster = test::makeRaster(150, 131, [&](int x, int y) {
        return std::array<int, 4>{x, 255 - x, 200, alphaOfRow(y)};
    });
    MemorySink sink;
    encodeWebp(test::pictureOf(raster), test::withQuality(90), sink);
    EXPECT_EQ(firstChunk(sink.bytes), "VP8X");
    EXPECT_TRUE(hasChunk(sink.bytes, "ALPH"));

    const test::Decoded webp = test::decodeWithDwebp(sink.bytes);
    ASSERT_EQ(webp.width, 150u);
    ASSERT_EQ(webp.height, 131u);
    for (const std::uint32_t y : {0u, 62u, 63u, 64u, 65u, 100u, 127u, 128u, 130u}) {
        SCOPED_TRACE(y);
        for (std::uint32_t x = 0; x < 150; x += 7) {
            const auto d = webp.at(x, y);
            ASSERT_EQ(d[3], alphaOfRow(static_cast<int>(y)));
            // Straight colours, as in the source; not next to the transparent
            // tail, whose flattened colour the deblocking filter blends in.
            if (y < 125) {
                EXPECT_NEAR(d[0], 200, 6);
                EXPECT_NEAR(d[1], 255 - static_cast<int>(x), 6);
                EXPECT_NEAR(d[2], static_cast<int>(x), 6);
            }
        }
    }
}

TEST(EncodeWebp, LossyPhotoIsCloseAndLowerQualityIsSmaller) {
    const Raster raster = test::photoRaster(kPhoto);
    std::size_t previous = 0;
    for (const int quality : {10, 50, 80, 99}) {
        SCOPED_TRACE(quality);
        MemorySink sink;
        encodeWebp(test::pictureOf(raster), test::withQuality(quality), sink);
        EXPECT_EQ(firstChunk(sink.bytes), "VP8 ");  // opaque: the simple lossy format
        EXPECT_GT(sink.bytes.size(), previous);
        previous = sink.bytes.size();
        if (quality == 80) {
            const test::Decoded webp = test::decodeWithDwebp(sink.bytes);
            ASSERT_EQ(webp.width, 400u);
            ASSERT_EQ(webp.height, 398u);
            EXPECT_LT(test::meanColourDifference(raster, webp), 5.0);
        }
    }
}

TEST(EncodeWebp, PictureBeyondTheFormatsLimitFailsWithAMessage) {
    const Raster raster(16384, 1);
    MemorySink sink;
    try {
        encodeWebp(test::pictureOf(raster), test::withQuality(80), sink);
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(),
                     "Cannot write WEBP: the picture is too large for WEBP (16384 x 1 pixels, at "
                     "most 16383 x 16383)");
    }
    EXPECT_TRUE(sink.bytes.empty());
}

}  // namespace
}  // namespace imbrix::imaging
