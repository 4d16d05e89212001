#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "common/pictures.h"
#include "encode_testutil.h"
#include "imaging/decode.h"
#include "imaging/encode.h"
#include "imaging/error.h"

namespace imbrix::imaging {
namespace {

using test::decodeWithImageMagick;
using test::makeRaster;

// Straight colours with every kind of alpha: opaque, transparent, and partial
// values down to 1, where unpremultiplying loses the most.
std::array<int, 4> mixedAlpha(int x, int y) {
    static constexpr int kAlphas[] = {255, 0, 1, 3, 64, 128, 200, 254};
    return {(x * 37) % 256, (y * 53) % 256, (x * y) % 256, kAlphas[(x + y) % 8]};
}

TEST(EncodePng, PremultipliedRasterComesBackStraightWithItsAlpha) {
    const Raster raster = makeRaster(23, 17, mixedAlpha);
    MemorySink sink;
    encodePng(test::pictureOf(raster), {}, sink);

    const test::Decoded png = decodeWithImageMagick(sink.bytes, "png");
    ASSERT_EQ(png.width, 23u);
    ASSERT_EQ(png.height, 17u);
    ASSERT_TRUE(png.hasAlphaChannel());
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        for (std::uint32_t x = 0; x < raster.width(); ++x) {
            const std::uint8_t* p = raster.row(y) + x * 4;
            const auto d = png.at(x, y);
            ASSERT_EQ(d[3], p[kAlpha]) << x << "," << y;
            // The file holds straight colours that premultiply back to the raster's.
            const int a = p[kAlpha];
            EXPECT_EQ((d[0] * a + 127) / 255, p[kRed]) << x << "," << y;
            EXPECT_EQ((d[1] * a + 127) / 255, p[kGreen]) << x << "," << y;
            EXPECT_EQ((d[2] * a + 127) / 255, p[kBlue]) << x << "," << y;
        }
    }
}

TEST(EncodePng, StraightRasterIsWrittenExactly) {
    const Raster raster = makeRaster(9, 31, mixedAlpha, /*premultiplied=*/false);
    MemorySink sink;
    encodePng(test::pictureOf(raster), {}, sink);

    const test::Decoded png = decodeWithImageMagick(sink.bytes, "png");
    ASSERT_EQ(png.width, 9u);
    ASSERT_EQ(png.height, 31u);
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        for (std::uint32_t x = 0; x < raster.width(); ++x) {
            const auto c = mixedAlpha(static_cast<int>(x), static_cast<int>(y));
            EXPECT_EQ(png.at(x, y)[3], c[3]);
            if (c[3] != 0) {  // a transparent pixel's colour is not kept
                EXPECT_EQ(png.at(x, y)[0], c[2]) << x << "," << y;
            }
        }
    }
}

// The file takes the smallest colour type that holds the picture, and the
// pixels come back exactly.
TEST(EncodePng, ColourTypeIsTheSmallestThatHoldsThePicture) {
    struct Case {
        const char* name;
        std::function<std::array<int, 4>(int, int)> pixel;
        bool hasAlpha;
        int colourType;  // IHDR colour type
    };
    const Case cases[] = {
        {"colour",
         [](int x, int y) {
             return std::array<int, 4>{x * 9, y * 7, 200, 255};
         },
         true, 2},
        {"colour without alpha channel",
         [](int x, int y) {
             return std::array<int, 4>{x * 9, y * 7, 200, 0};
         },
         false, 2},
        {"gray",
         [](int x, int) {
             return std::array<int, 4>{x * 9, x * 9, x * 9, 255};
         },
         true, 0},
        {"colour with alpha",
         [](int x, int y) {
             return std::array<int, 4>{x * 9, y * 7, 200, 255 - y * 8};
         },
         true, 6},
        {"gray with alpha",
         [](int x, int y) {
             return std::array<int, 4>{x * 9, x * 9, x * 9, 255 - y * 8};
         },
         true, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Raster raster = makeRaster(27, 30, c.pixel, /*premultiplied=*/false);
        if (!c.hasAlpha) {
            for (std::uint32_t y = 0; y < raster.height(); ++y) {
                for (std::uint32_t x = 0; x < raster.width(); ++x) {
                    raster.row(y)[x * 4 + kAlpha] = 255;
                }
            }
            raster.hasAlpha = false;
        }
        MemorySink sink;
        encodePng(test::pictureOf(raster), {}, sink);
        ASSERT_GT(sink.bytes.size(), 26u);
        EXPECT_EQ(sink.bytes[25], c.colourType);

        const test::Decoded png = decodeWithImageMagick(sink.bytes, "png");
        ASSERT_EQ(png.width, 27u);
        ASSERT_EQ(png.height, 30u);
        EXPECT_EQ(test::maxColourDifference(raster, png), 0);
        for (std::uint32_t y = 0; y < raster.height(); ++y) {
            EXPECT_EQ(png.at(0, y)[3], raster.row(y)[kAlpha]);
        }
    }
}

// Every row filter is chosen somewhere in a photo and in noise; narrow and
// short pictures have rows shorter than a pixel's left neighbour reaches. All
// come back exactly, and the overload that takes the raster writes the same file.
TEST(EncodePng, EveryShapeComesBackExactly) {
    const auto noise = [](int x, int y) {
        const unsigned h =
            static_cast<unsigned>(x * 2654435761u) ^ static_cast<unsigned>(y * 40503u);
        return std::array<int, 4>{int(h & 255), int((h >> 8) & 255), int((h >> 16) & 255),
                                  int((h >> 24) | 1)};
    };
    struct Case {
        const char* name;
        Raster raster;
    };
    Case cases[] = {
        {"photo", test::photoRaster("photos/jpeg-variants/Bush-dog.jpg")},
        {"noise with alpha", makeRaster(61, 47, noise, /*premultiplied=*/false)},
        {"one pixel", makeRaster(1, 1, noise, false)},
        {"one column", makeRaster(1, 40, noise, false)},
        {"one row", makeRaster(40, 1, noise, false)},
        {"gray column", makeRaster(1, 9,
                                   [](int, int y) {
                                       return std::array<int, 4>{y, y, y, 255};
                                   })},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemorySink kept, released;
        encodePng(test::pictureOf(c.raster), {}, kept);
        const test::Decoded png = decodeWithImageMagick(kept.bytes, "png");
        ASSERT_EQ(png.width, c.raster.width());
        ASSERT_EQ(png.height, c.raster.height());
        EXPECT_EQ(test::maxColourDifference(c.raster, png), 0);
        encodePng(imaging::Picture{std::move(c.raster), {}}, {}, released);
        EXPECT_EQ(released.bytes, kept.bytes);
    }
}

// The compression settings: a photo's PNG stays close to ImageMagick's.
TEST(EncodePng, PhotoSizeIsNearImageMagicks) {
    const Raster raster = test::photoRaster("photos/jpeg-variants/Bush-dog.jpg");
    MemorySink sink;
    encodePng(test::pictureOf(raster), {}, sink);

    test::ScratchDir dir;
    const std::string reference = dir.file("reference.png");
    test::mustRun({"/usr/bin/convert",
                   (test::corpusDir() / "photos/jpeg-variants/Bush-dog.jpg").string(), reference});
    const auto referenceSize = std::filesystem::file_size(reference);
    EXPECT_LT(static_cast<double>(sink.bytes.size()), 1.05 * static_cast<double>(referenceSize))
        << "ours " << sink.bytes.size() << " bytes, ImageMagick " << referenceSize;
}

// The fastest setting (for the PNG the converter reads straight back): the same
// pixels, as ImageMagick and our decoder by content read them, a little larger.
TEST(EncodePng, FastestKeepsThePixels) {
    const Raster raster = test::photoRaster("photos/jpeg-variants/Bush-dog.jpg");
    MemorySink normal;
    encodePng(test::pictureOf(raster), {}, normal);
    EncodeOptions fastest;
    fastest.fastest = true;
    MemorySink quick;
    encodePng(test::pictureOf(raster), fastest, quick);

    EXPECT_NE(quick.bytes, normal.bytes);
    EXPECT_LT(static_cast<double>(quick.bytes.size()),
              1.25 * static_cast<double>(normal.bytes.size()));
    EXPECT_EQ(test::maxColourDifference(raster, test::decodeWithImageMagick(quick.bytes, "png")),
              0);
    const Picture back = decodePictureByContent(quick.bytes, "staged.png");
    ASSERT_EQ(back.pixels.width(), raster.width());
    ASSERT_EQ(back.pixels.height(), raster.height());
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        ASSERT_TRUE(
            std::equal(raster.row(y), raster.row(y) + raster.width() * 4, back.pixels.row(y)))
            << "row " << y;
    }
}

}  // namespace
}  // namespace imbrix::imaging
