#include <gtest/gtest.h>

#include "common/pictures.h"
#include "encode_testutil.h"
#include "imaging/encode.h"
#include "imaging/error.h"

namespace imbrix::imaging {
namespace {

constexpr const char* kPhoto = "photos/jpeg-variants/Bush-dog.jpg";

bool isJp2(const std::vector<std::uint8_t>& bytes) {
    static constexpr std::uint8_t kSignature[] = {0,   0,   0,  12, 'j',  'P',
                                                  ' ', ' ', 13, 10, 0x87, 10};
    return bytes.size() > sizeof kSignature &&
           std::equal(std::begin(kSignature), std::end(kSignature), bytes.begin());
}

// The same photo with R = G = B (its green), premultiplied, claiming alpha.
Raster grayPhoto() {
    const Raster photo = test::photoRaster(kPhoto);
    return test::makeRaster(photo.width(), photo.height(), [&](int x, int y) {
        const int g = photo.row(static_cast<std::uint32_t>(y))[x * 4 + kGreen];
        return std::array<int, 4>{g, g, g, 255};
    });
}

// A picture with every kind of alpha, odd in both sizes, colours different on
// every axis (a flip or a channel swap shows).
Raster transparentRaster() {
    static constexpr int kAlphas[] = {255, 0, 1, 7, 100, 128, 254};
    return test::makeRaster(41, 37, [](int x, int y) {
        return std::array<int, 4>{(x * 31) % 256, (y * 17) % 256, (x ^ y) * 4 % 256,
                                  kAlphas[(x + 2 * y) % 7]};
    });
}

std::size_t jpegSize(const Raster& raster, int quality) {
    MemorySink sink;
    encodeJpeg(test::pictureOf(raster), test::withQuality(quality), sink);
    return sink.bytes.size();
}

// The rule of the lossy qualities: the bytes a JPEG of that quality takes, spent
// by the wavelet coding, which keeps more of the picture than the JPEG does.
TEST(EncodeJp2, LossyPhotoTakesTheBytesOfAJpegOfTheSameQuality) {
    const Raster raster = test::photoRaster(kPhoto);
    double previousPsnr = 0;
    for (const int quality : {30, 80, 95}) {
        SCOPED_TRACE(quality);
        MemorySink sink;
        encodeJp2(test::pictureOf(raster), test::withQuality(quality), sink);
        ASSERT_TRUE(isJp2(sink.bytes));
        const auto budget = static_cast<double>(jpegSize(raster, quality));
        EXPECT_LE(static_cast<double>(sink.bytes.size()), budget * 1.01);
        EXPECT_GE(static_cast<double>(sink.bytes.size()), budget * 0.9);

        const test::Decoded jp2 = test::decodeWithOpjDecompress(sink.bytes);
        ASSERT_EQ(jp2.width, 400u);
        ASSERT_EQ(jp2.height, 398u);
        EXPECT_EQ(jp2.channels, 3);
        const double quality2k = test::colourPsnr(raster, jp2);
        EXPECT_GT(quality2k, previousPsnr);
        previousPsnr = quality2k;

        MemorySink jpeg;
        encodeJpeg(test::pictureOf(raster), test::withQuality(quality), jpeg);
        EXPECT_GT(quality2k,
                  test::colourPsnr(raster, test::decodeWithImageMagick(jpeg.bytes, "jpg")));
    }
}

TEST(EncodeJp2, Quality100IsLossless) {
    const Raster photo = test::photoRaster(kPhoto);
    const Raster gray = grayPhoto();
    const struct {
        const char* name;
        const Raster& raster;
        int channels;
    } cases[] = {{"photo", photo, 3}, {"gray photo", gray, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemorySink sink;
        encodeJp2(test::pictureOf(c.raster), test::withQuality(100), sink);
        const test::Decoded jp2 = test::decodeWithOpjDecompress(sink.bytes);
        EXPECT_EQ(jp2.channels, c.channels);
        ASSERT_EQ(jp2.width, c.raster.width());
        ASSERT_EQ(jp2.height, c.raster.height());
        EXPECT_EQ(test::maxColourDifference(c.raster, jp2), 0);
    }
}

TEST(EncodeJp2, Quality100KeepsTransparencyExactly) {
    const Raster raster = transparentRaster();
    MemorySink sink;
    encodeJp2(test::pictureOf(raster), test::withQuality(100), sink);
    const test::Decoded jp2 = test::decodeWithOpjDecompress(sink.bytes);
    EXPECT_EQ(jp2.channels, 4);
    ASSERT_EQ(jp2.width, 41u);
    ASSERT_EQ(jp2.height, 37u);
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        for (std::uint32_t x = 0; x < raster.width(); ++x) {
            const std::uint8_t* p = raster.row(y) + x * 4;
            const auto d = jp2.at(x, y);
            const int a = p[kAlpha];
            ASSERT_EQ(d[3], a) << x << "," << y;
            // Straight colours in the file that premultiply back to the raster's.
            EXPECT_EQ((d[0] * a + 127) / 255, p[kRed]) << x << "," << y;
            EXPECT_EQ((d[1] * a + 127) / 255, p[kGreen]) << x << "," << y;
            EXPECT_EQ((d[2] * a + 127) / 255, p[kBlue]) << x << "," << y;
        }
    }
}

TEST(EncodeJp2, LossyKeepsTheComponentsThePictureHas) {
    const Raster gray = grayPhoto();
    const Raster halfTransparent = test::makeRaster(57, 33, [](int x, int y) {
        return std::array<int, 4>{x * 4, y * 7, 200 - x, x < 20 ? 255 : 0};
    });
    MemorySink graySink;
    encodeJp2(test::pictureOf(gray), test::withQuality(80), graySink);
    const test::Decoded grayJp2 = test::decodeWithOpjDecompress(graySink.bytes);
    EXPECT_EQ(grayJp2.channels, 1);
    // Sized by a gray JPEG, as a gray picture is stored, not by a colour one.
    MemorySink grayJpeg;
    encodeGrayJpeg(test::pictureOf(gray), test::withQuality(80), grayJpeg);
    EXPECT_LE(graySink.bytes.size(), grayJpeg.bytes.size() * 101 / 100);
    EXPECT_GE(graySink.bytes.size(), grayJpeg.bytes.size() * 90 / 100);
    EXPECT_LT(grayJpeg.bytes.size(), jpegSize(gray, 80));
    EXPECT_GT(test::colourPsnr(gray, grayJp2), 30.0);

    MemorySink alphaSink;
    encodeJp2(test::pictureOf(halfTransparent), test::withQuality(80), alphaSink);
    const test::Decoded alphaJp2 = test::decodeWithOpjDecompress(alphaSink.bytes);
    EXPECT_EQ(alphaJp2.channels, 4);
    ASSERT_EQ(alphaJp2.width, 57u);
    for (const std::uint32_t x : {0u, 10u, 30u, 56u}) {
        EXPECT_NEAR(alphaJp2.at(x, 16)[3], x < 20 ? 255 : 0, 8) << x;
    }
    // Blue 40, green 112, red 190.
    EXPECT_NEAR(alphaJp2.at(10, 16)[0], 190, 8);
    EXPECT_NEAR(alphaJp2.at(10, 16)[1], 112, 8);
    EXPECT_NEAR(alphaJp2.at(10, 16)[2], 40, 8);
}

// Fewer resolution levels where a side is short: every level must keep a pixel.
TEST(EncodeJp2, TinyPicturesRoundTrip) {
    for (const auto& [width, height] :
         {std::pair{1u, 1u}, std::pair{1u, 9u}, std::pair{5u, 2u}, std::pair{33u, 70u}}) {
        for (const int quality : {80, 100}) {
            SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height) + " quality " +
                         std::to_string(quality));
            const Raster raster = test::makeRaster(width, height, [](int x, int y) {
                return std::array<int, 4>{x * 7, y * 3, 100 + x - y, 255};
            });
            MemorySink sink;
            encodeJp2(test::pictureOf(raster), test::withQuality(quality), sink);
            const test::Decoded jp2 = test::decodeWithOpjDecompress(sink.bytes);
            ASSERT_EQ(jp2.width, width);
            ASSERT_EQ(jp2.height, height);
            EXPECT_LE(test::maxColourDifference(raster, jp2), quality == 100 ? 0 : 24);
        }
    }
}

TEST(EncodeJp2, FailuresCarryAMessage) {
    MemorySink sink;
    try {
        encodeJp2(Picture{}, test::withQuality(80), sink);
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "Cannot write JPEG 2000: the picture has no pixels");
    }
    test::FailingSink full(100);
    try {
        encodeJp2(test::pictureOf(test::photoRaster(kPhoto)), test::withQuality(80), full);
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "Cannot write file \"out\". No space left on device");
    }
}

}  // namespace
}  // namespace imbrix::imaging
