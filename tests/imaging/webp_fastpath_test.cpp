// Lossy WEBP straight from a JPEG's own luma and chroma planes: as good as the
// route through a raster, on real photos of every shape and orientation; every
// JPEG the planes cannot stand for is left to the raster route.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/pictures.h"
#include "encode_testutil.h"
#include "imaging/decode.h"
#include "imaging/encode.h"
#include "imaging/error.h"

namespace imbrix::imaging {
namespace {

// PSNR of the decoded picture's colours against the raster's, over R, G and B.
double psnr(const Raster& raster, const test::Decoded& decoded) {
    double squares = 0;
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        const std::uint8_t* p = raster.row(y);
        for (std::uint32_t x = 0; x < raster.width(); ++x, p += 4) {
            const auto d = decoded.at(x, y);
            const double dr = d[0] - p[kRed], dg = d[1] - p[kGreen], db = d[2] - p[kBlue];
            squares += dr * dr + dg * dg + db * db;
        }
    }
    const double mse = squares / (3.0 * raster.width() * raster.height());
    return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

std::vector<std::uint8_t> webpFromRaster(const Raster& raster, int quality) {
    MemorySink sink;
    encodeWebp(test::pictureOf(raster), test::withQuality(quality), sink);
    return sink.bytes;
}

std::vector<std::uint8_t> webpFromPlanes(YuvPicture planes, int quality) {
    MemorySink sink;
    encodeWebp(std::move(planes), test::withQuality(quality), sink);
    return sink.bytes;
}

// A 4:2:0 JPEG of the given size, cut from a real photo by our encoder.
std::vector<std::uint8_t> cutJpeg(std::uint32_t width, std::uint32_t height) {
    const Raster photo = test::photoRaster("photos/jpeg-variants/Bush-dog.jpg");
    Raster cut(width, height);
    for (std::uint32_t y = 0; y < cut.height(); ++y) {
        std::memcpy(cut.row(y), photo.row(y + 3), std::size_t{cut.width()} * 4);
    }
    MemorySink sink;
    encodeJpeg(test::pictureOf(cut), test::withQuality(88), sink);
    return sink.bytes;
}

// The JPEG with the EXIF block of a corpus photo tagged with `orientation`
// (photos/exif-orientation/orientation_N.jpg) placed after its start marker.
std::vector<std::uint8_t> withOrientation(const std::vector<std::uint8_t>& jpeg, int orientation) {
    const std::vector<std::uint8_t> tagged =
        test::readBytes(test::corpusDir() / ("photos/exif-orientation/orientation_" +
                                             std::to_string(orientation) + ".jpg"));
    // Walk the tagged file's segments to its APP1 (FF E1, then a two-byte length).
    std::size_t at = 2;
    while (at + 4 <= tagged.size() && tagged[at] == 0xFF && tagged[at + 1] != 0xE1) {
        at += 2 + (std::size_t{tagged[at + 2]} << 8 | tagged[at + 3]);
    }
    if (at + 4 > tagged.size() || tagged[at + 1] != 0xE1) {
        ADD_FAILURE() << "no EXIF block in orientation_" << orientation << ".jpg";
        return jpeg;
    }
    const std::size_t length = 2 + (std::size_t{tagged[at + 2]} << 8 | tagged[at + 3]);
    std::vector<std::uint8_t> out(jpeg.begin(), jpeg.begin() + 2);
    out.insert(out.end(), tagged.begin() + static_cast<std::ptrdiff_t>(at),
               tagged.begin() + static_cast<std::ptrdiff_t>(at + length));
    out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}

TEST(WebpFromJpegPlanes, AsGoodAsThroughTheRaster) {
    struct Case {
        const char* path;  // in the corpus; empty: cutJpeg(397, 251)
        std::uint32_t width, height;
    };
    const Case cases[] = {
        {"photos/camera/mate_GreenMeadow.jpg", 1280, 1024},  // progressive camera photo
        {"photos/jpeg-variants/flower_cropped.jpg", 1040, 1040},
        {"photos/jpeg-variants/flower_small.q85_420_non_interleaved.jpg", 510, 532},
        {"photos/jpeg-variants/flower_small.q85_420_partially_interleaved.jpg", 510, 532},
        {"photos/jpeg-variants/video-001.q50.420.jpeg", 150, 103},
        {"photos/jpeg-variants/video-001.q50.420.progressive.jpeg", 150, 103},
        {"photos/jpeg-variants/video-001.separate.dc.progression.progressive.jpeg", 150, 103},
        {"photos/exif-orientation/geodegrees_as_string.jpg", 205, 102},
        {"photos/exif-orientation/orientation_1.jpg", 50, 70},    // tagged "as it is"
        {"photos/exif-orientation/has-lens-info.jpg", 102, 205},  // 6: odd width, not mirrored
        {"", 397, 251},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(*c.path ? c.path : "odd-sized cut");
        const std::vector<std::uint8_t> jpeg =
            *c.path ? test::readBytes(test::corpusDir() / c.path) : cutJpeg(397, 251);
        const Raster raster = decodeWithPictureLoader("jpg", Bytes(jpeg.data(), jpeg.size()));
        std::optional<YuvPicture> planes = decodeJpegYuv420(Bytes(jpeg.data(), jpeg.size()));
        ASSERT_TRUE(planes.has_value());
        ASSERT_EQ(planes->width, c.width);
        ASSERT_EQ(planes->height, c.height);
        ASSERT_EQ(raster.width(), c.width);
        ASSERT_EQ(raster.height(), c.height);

        for (const int quality : {80, 30}) {
            SCOPED_TRACE(quality);
            const std::vector<std::uint8_t> viaRaster = webpFromRaster(raster, quality);
            const std::vector<std::uint8_t> viaPlanes = webpFromPlanes(*planes, quality);
            const test::Decoded fromRaster = test::decodeWithDwebp(viaRaster);
            const test::Decoded fromPlanes = test::decodeWithDwebp(viaPlanes);
            ASSERT_EQ(fromPlanes.width, c.width);
            ASSERT_EQ(fromPlanes.height, c.height);
            const double rasterPsnr = psnr(raster, fromRaster);
            const double planesPsnr = psnr(raster, fromPlanes);
            EXPECT_GE(planesPsnr, rasterPsnr - 0.3) << rasterPsnr;
            EXPECT_GT(planesPsnr, 25.0);  // and both are the picture
            // The decoder's own chroma is sharper than chroma taken back from
            // upsampled RGB: a few per cent more bytes on small pictures, for a
            // higher PSNR.
            EXPECT_LE(static_cast<double>(viaPlanes.size()), viaRaster.size() * 1.08)
                << viaRaster.size();
        }
    }
}

// Every EXIF orientation turns the planes as it turns the raster: the coded
// picture matches the turned photo as closely as the raster route's does.
TEST(WebpFromJpegPlanes, TurnedAsTheirExifOrientationSays) {
    const std::vector<std::uint8_t> plain = cutJpeg(396, 250);
    for (const int orientation : {2, 3, 4, 5, 6, 7, 8}) {
        SCOPED_TRACE(orientation);
        const std::vector<std::uint8_t> jpeg = withOrientation(plain, orientation);
        const Bytes bytes(jpeg.data(), jpeg.size());
        const Raster raster = decodeWithPictureLoader("jpg", bytes);
        std::optional<YuvPicture> planes = decodeJpegYuv420(bytes);
        ASSERT_TRUE(planes.has_value());
        ASSERT_EQ(planes->width, raster.width());
        ASSERT_EQ(planes->height, raster.height());
        ASSERT_EQ(raster.width(), orientation >= 5 ? 250u : 396u);
        const double rasterPsnr = psnr(raster, test::decodeWithDwebp(webpFromRaster(raster, 80)));
        const double planesPsnr =
            psnr(raster, test::decodeWithDwebp(webpFromPlanes(std::move(*planes), 80)));
        EXPECT_GE(planesPsnr, rasterPsnr - 0.3) << rasterPsnr;
    }
}

// The planes stand for the picture only where they are 4:2:0 YCbCr and turn
// exactly; everything else (and anything that fails) is the raster route's.
TEST(WebpFromJpegPlanes, OtherJpegsAreLeftToTheRaster) {
    struct Case {
        const char* path;
        bool decodes;  // through the picture loader
    };
    const Case cases[] = {
        {"photos/jpeg-variants/video-001.q50.422.jpeg", true},
        {"photos/jpeg-variants/video-001.q50.444.progressive.jpeg", true},
        {"photos/jpeg-variants/video-001.q50.440.jpeg", true},
        {"photos/jpeg-variants/video-001.q50.411.jpeg", true},
        {"photos/jpeg-variants/video-001.q50.410.jpeg", true},
        {"photos/jpeg-variants/video-001.221212.jpeg", true},
        {"photos/jpeg-variants/video-005.gray.q50.2x2.jpeg", true},
        {"photos/jpeg-variants/video-001.cmyk.jpeg", true},
        {"photos/jpeg-variants/video-001.rgb.jpeg", true},        // RGB coded, 2x2 sampled
        {"photos/exif-orientation/bug143608-comment.jpg", true},  // 4:2:2, on its side
        {"broken/misc/truncated.jpg", false},
        {"pngsuite/basn2c08.png", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const std::vector<std::uint8_t> data = test::readBytes(test::corpusDir() / c.path);
        const Bytes bytes(data.data(), data.size());
        EXPECT_FALSE(decodeJpegYuv420(bytes).has_value());
        if (c.decodes) {
            EXPECT_FALSE(decodeWithPictureLoader("jpg", bytes).empty());
        } else {
            EXPECT_THROW(decodeWithPictureLoader("jpg", bytes), Error);
        }
    }
    EXPECT_FALSE(decodeJpegYuv420(Bytes()).has_value());

    // 4:2:0 with both sides odd: mirrored in either direction, the half-size
    // chroma cannot follow exactly; transposed it can.
    for (const int orientation : {2, 3, 4, 5, 6, 7, 8}) {
        SCOPED_TRACE(orientation);
        const std::vector<std::uint8_t> jpeg = withOrientation(cutJpeg(397, 251), orientation);
        const Bytes bytes(jpeg.data(), jpeg.size());
        const Raster raster = decodeWithPictureLoader("jpg", bytes);
        ASSERT_EQ(raster.width(), orientation >= 5 ? 251u : 397u);  // the tag is read
        EXPECT_EQ(decodeJpegYuv420(bytes).has_value(), orientation == 5);
    }
}

TEST(WebpFromJpegPlanes, EncoderRefusesWhatThePlanesCannotCode) {
    const std::vector<std::uint8_t> jpeg =
        test::readBytes(test::corpusDir() / "photos/jpeg-variants/video-001.q50.420.jpeg");
    const std::optional<YuvPicture> planes = decodeJpegYuv420(Bytes(jpeg.data(), jpeg.size()));
    ASSERT_TRUE(planes.has_value());

    EXPECT_THROW(webpFromPlanes(*planes, 100), Error);  // lossless needs RGB
    YuvPicture shortChroma = *planes;
    shortChroma.v.pop_back();
    EXPECT_THROW(webpFromPlanes(shortChroma, 80), Error);
    YuvPicture empty;
    EXPECT_THROW(webpFromPlanes(empty, 80), Error);
    // Out-of-range qualities are clamped as for rasters: 0 is 1, not an error.
    EXPECT_EQ(webpFromPlanes(*planes, 0), webpFromPlanes(*planes, 1));
}

}  // namespace
}  // namespace imbrix::imaging
