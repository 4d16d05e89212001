#include <gtest/gtest.h>

#include <cmath>

#include "common/pictures.h"
#include "encode_testutil.h"
#include "imaging/encode.h"
#include "imaging/error.h"

namespace imbrix::imaging {
namespace {

constexpr const char* kPhoto = "photos/jpeg-variants/Bush-dog.jpg";

// The Graphic Control Extension's transparent index, or -1 without one.
int transparentIndex(const std::vector<std::uint8_t>& gif) {
    static constexpr std::uint8_t kControl[] = {0x21, 0xf9, 0x04};
    const auto at = std::search(gif.begin(), gif.end(), std::begin(kControl), std::end(kControl));
    if (at == gif.end() || gif.end() - at < 8 || (at[3] & 1) == 0) {
        return -1;
    }
    return at[6];
}

int paletteEntries(const std::vector<std::uint8_t>& gif) {
    return gif.size() > 10 && (gif[10] & 0x80) ? 2 << (gif[10] & 7) : 0;
}

TEST(EncodeGif, PhotoIsReducedToAPaletteCloseToIt) {
    const Raster raster = test::photoRaster(kPhoto);
    MemorySink sink;
    encodeGif(test::pictureOf(raster), test::withQuality(80), sink);
    ASSERT_GT(sink.bytes.size(), 13u);
    EXPECT_EQ(std::string(sink.bytes.begin(), sink.bytes.begin() + 6), "GIF89a");
    EXPECT_EQ(paletteEntries(sink.bytes), 256);
    EXPECT_EQ(transparentIndex(sink.bytes), -1);

    const test::Decoded gif = test::decodeWithImageMagick(sink.bytes, "gif");
    ASSERT_EQ(gif.width, 400u);
    ASSERT_EQ(gif.height, 398u);
    EXPECT_LT(test::meanColourDifference(raster, gif), 5.0);
    for (std::uint32_t y = 0; y < gif.height; y += 13) {
        for (std::uint32_t x = 0; x < gif.width; x += 11) {
            ASSERT_EQ(gif.at(x, y)[3], 255);
        }
    }
}

// Alpha below half is the transparent entry; from half up the pixel is opaque
// in its straight colour. Few colours: the palette holds them exactly.
TEST(EncodeGif, TransparencyIsOneIndexAtHalfAlpha) {
    static constexpr int kAlphas[] = {255, 0, 1, 127, 128, 200};
    const auto colour = [](int x, int y) {
        return std::array<int, 3>{x < 20 ? 250 : 10, y < 18 ? 30 : 220,
                                  x < 20 && y < 18 ? 90 : 160};
    };
    const Raster raster = test::makeRaster(41, 37, [&](int x, int y) {
        const auto c = colour(x, y);
        return std::array<int, 4>{c[0], c[1], c[2], kAlphas[(x + 3 * y) % 6]};
    });
    MemorySink sink;
    encodeGif(test::pictureOf(raster), test::withQuality(80), sink);
    EXPECT_EQ(std::string(sink.bytes.begin(), sink.bytes.begin() + 6), "GIF89a");
    const int index = transparentIndex(sink.bytes);
    ASSERT_GE(index, 0);
    EXPECT_LT(index, paletteEntries(sink.bytes));

    const test::Decoded gif = test::decodeWithImageMagick(sink.bytes, "gif");
    ASSERT_EQ(gif.width, 41u);
    ASSERT_EQ(gif.height, 37u);
    for (std::uint32_t y = 0; y < 37; ++y) {
        for (std::uint32_t x = 0; x < 41; ++x) {
            const int alpha = kAlphas[(x + 3 * y) % 6];
            const auto d = gif.at(x, y);
            ASSERT_EQ(d[3], alpha < 128 ? 0 : 255) << x << "," << y;
            if (alpha >= 128) {
                // Premultiplied and back: within one step of the colour.
                const auto c = colour(static_cast<int>(x), static_cast<int>(y));
                EXPECT_NEAR(d[0], c[2], 1) << x << "," << y;
                EXPECT_NEAR(d[1], c[1], 1) << x << "," << y;
                EXPECT_NEAR(d[2], c[0], 1) << x << "," << y;
            }
        }
    }
}

TEST(EncodeGif, SinglePixelPictures) {
    for (const int alpha : {255, 0}) {
        SCOPED_TRACE(alpha);
        const Raster raster = test::makeRaster(1, 1, [&](int, int) {
            return std::array<int, 4>{20, 90, 240, alpha};
        });
        MemorySink sink;
        encodeGif(test::pictureOf(raster), test::withQuality(80), sink);
        EXPECT_EQ(transparentIndex(sink.bytes) >= 0, alpha == 0);
        const test::Decoded gif = test::decodeWithImageMagick(sink.bytes, "gif");
        ASSERT_EQ(gif.width, 1u);
        ASSERT_EQ(gif.height, 1u);
        EXPECT_EQ(gif.at(0, 0)[3], alpha);
        if (alpha == 255) {  // libimagequant's palette is within a step of the colour
            EXPECT_NEAR(gif.at(0, 0)[0], 240, 1);
            EXPECT_NEAR(gif.at(0, 0)[1], 90, 1);
            EXPECT_NEAR(gif.at(0, 0)[2], 20, 1);
        }
    }
}

TEST(EncodeGif, FailuresCarryAMessage) {
    MemorySink sink;
    const struct {
        Raster raster;
        const char* message;
    } cases[] = {
        {Raster(), "Cannot write GIF: the picture has no pixels"},
        {Raster(65536, 1),
         "Cannot write GIF: the picture is too large for GIF (65536 x 1 pixels, at most 65535 x "
         "65535)"},
    };
    for (const auto& c : cases) {
        try {
            encodeGif(test::pictureOf(c.raster), test::withQuality(80), sink);
            ADD_FAILURE() << "no error for " << c.message;
        } catch (const Error& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
    EXPECT_TRUE(sink.bytes.empty());
    test::FailingSink full(100);
    try {
        encodeGif(test::pictureOf(test::photoRaster(kPhoto)), test::withQuality(80), full);
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "Cannot write file \"out\". No space left on device");
    }
}

}  // namespace
}  // namespace imbrix::imaging
