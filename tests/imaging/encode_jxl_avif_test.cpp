// JPEG XL and AVIF output, read back with libjxl's djxl and libavif's avifdec
// (and exiftool for the profile).
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "common/pictures.h"
#include "encode_testutil.h"
#include "imaging/decode.h"
#include "imaging/encode.h"
#include "imaging/error.h"

namespace imbrix::imaging {
namespace {

// Not symmetric: a flip, a channel swap or a colour shift shows.
constexpr const char* kPhoto = "photos/jpeg-variants/Bush-dog.jpg";
// A photo with an alpha channel that varies over the whole picture.
constexpr const char* kTransparent = "png-misc/hdr/flower_alpha.png";
constexpr const char* kWideGamut = "png-misc/wide-gamut/P3-sRGB-color-ring.png";

// Encoded bytes as a reader that is not ours draws them: the tool writes a
// PNG (with an alpha channel only where the file has one, gray where it is
// gray), which ImageMagick turns into a PAM.
test::Decoded decodeWith(const std::string& tool, const std::vector<std::uint8_t>& encoded,
                         const std::string& extension) {
    test::ScratchDir dir;
    const std::string in = dir.file("in." + extension);
    const std::string png = dir.file("out.png");
    const std::string pam = dir.file("out.pam");
    test::writeBytes(in, encoded);
    test::mustRun({tool, in, png});
    test::mustRun({"/usr/bin/convert", png, "-depth", "8", pam});
    return test::readNetpbm(pam);
}

// A corpus picture with its alpha channel, cut to `crop` (an ImageMagick
// geometry), premultiplied as decoders deliver it.
Raster transparentRaster(const std::string& crop) {
    test::ScratchDir dir;
    const std::string pam = dir.file("cut.pam");
    test::mustRun({"/usr/bin/convert", (test::corpusDir() / kTransparent).string(), "-crop", crop,
                   "+repage", "-depth", "8", "-type", "TrueColorAlpha", pam});
    const test::Decoded cut = test::readNetpbm(pam);
    return test::makeRaster(cut.width, cut.height, [&](int x, int y) {
        const auto c = cut.at(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y));
        return std::array<int, 4>{c[2], c[1], c[0], c[3]};
    });
}

// PSNR of the decoded colours against the raster's, both premultiplied (so
// that colours under little alpha count for little), over R, G and B.
double psnr(const Raster& raster, const test::Decoded& decoded) {
    double squares = 0;
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        const std::uint8_t* p = raster.row(y);
        for (std::uint32_t x = 0; x < raster.width(); ++x, p += 4) {
            const auto d = decoded.at(x, y);
            const int channel[3] = {kRed, kGreen, kBlue};
            for (int c = 0; c < 3; ++c) {
                const double mine =
                    raster.premultiplied ? p[channel[c]] : p[channel[c]] * p[kAlpha] / 255.0;
                const double theirs = d[c] * d[3] / 255.0;
                squares += (mine - theirs) * (mine - theirs);
            }
        }
    }
    const double mse = squares / (3.0 * raster.width() * raster.height());
    return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

int maxAlphaDifference(const Raster& raster, const test::Decoded& decoded) {
    int worst = 0;
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        for (std::uint32_t x = 0; x < raster.width(); ++x) {
            worst = std::max(worst, std::abs(raster.row(y)[x * 4 + kAlpha] - decoded.at(x, y)[3]));
        }
    }
    return worst;
}

struct Format {
    const char* name;
    const char* extension;
    const char* reader;
    std::function<void(const Picture&, const EncodeOptions&, Sink&)> encode;
    double photoFloor;        // PSNR of the photo at quality 80 at least
    double transparentFloor;  // the same for the transparent picture
};

void PrintTo(const Format& format, std::ostream* os) {
    *os << format.name;
}

const Format kFormats[] = {
    {"jxl", "jxl", "djxl",
     [](const Picture& p, const EncodeOptions& o, Sink& s) { encodeJxl(p, o, s); }, 34.0, 36.0},
    {"avif", "avif", "avifdec",
     [](const Picture& p, const EncodeOptions& o, Sink& s) { encodeAvif(p, o, s); }, 36.0, 36.0},
};

class EncodeJxlAvif : public ::testing::TestWithParam<Format> {
protected:
    std::vector<std::uint8_t> encode(const Picture& picture, int quality) const {
        MemorySink sink;
        GetParam().encode(picture, test::withQuality(quality), sink);
        return sink.bytes;
    }
    test::Decoded decode(const std::vector<std::uint8_t>& bytes) const {
        return decodeWith(GetParam().reader, bytes, GetParam().extension);
    }
};

TEST_P(EncodeJxlAvif, OpaquePhotoHasNoAlphaAndLowerQualityIsSmaller) {
    const Raster raster = test::photoRaster(kPhoto);
    ASSERT_TRUE(raster.hasAlpha);  // claims alpha, as decode by content delivers photos
    std::size_t previous = 0;
    for (const int quality : {1, 30, 80, 95}) {
        SCOPED_TRACE(quality);
        const std::vector<std::uint8_t> bytes = encode(test::pictureOf(raster), quality);
        EXPECT_GT(bytes.size(), previous);
        previous = bytes.size();
        if (quality == 80) {
            const test::Decoded decoded = decode(bytes);
            ASSERT_EQ(decoded.width, 400u);
            ASSERT_EQ(decoded.height, 398u);
            EXPECT_EQ(decoded.channels, 3);
            EXPECT_GT(psnr(raster, decoded), GetParam().photoFloor);
        }
    }
}

TEST_P(EncodeJxlAvif, TransparentPictureOfOddSizeKeepsItsAlpha) {
    const Raster raster = transparentRaster("301x203+900+600");
    const test::Decoded decoded = decode(encode(test::pictureOf(raster), 80));
    ASSERT_EQ(decoded.width, 301u);
    ASSERT_EQ(decoded.height, 203u);
    EXPECT_EQ(decoded.channels, 4);
    EXPECT_LE(maxAlphaDifference(raster, decoded), 24);  // lossy in both formats
    EXPECT_GT(psnr(raster, decoded), GetParam().transparentFloor);
}

TEST_P(EncodeJxlAvif, GrayPictureComesBackGray) {
    const Raster photo = test::photoRaster(kPhoto);
    Raster gray = photo.clone();
    for (std::uint32_t y = 0; y < gray.height(); ++y) {
        std::uint8_t* p = gray.row(y);
        for (std::uint32_t x = 0; x < gray.width(); ++x, p += 4) {
            p[kRed] = p[kBlue] = p[kGreen];
        }
    }
    const test::Decoded decoded = decode(encode(test::pictureOf(gray), 80));
    ASSERT_EQ(decoded.width, 400u);
    EXPECT_GT(psnr(gray, decoded), GetParam().photoFloor);
    int worstTint = 0;
    for (std::uint32_t y = 0; y < decoded.height; ++y) {
        for (std::uint32_t x = 0; x < decoded.width; ++x) {
            const auto d = decoded.at(x, y);
            worstTint = std::max({worstTint, std::abs(d[0] - d[1]), std::abs(d[2] - d[1])});
        }
    }
    EXPECT_LE(worstTint, 2);
}

// The colours as ImageMagick renders a file to sRGB through its profile.
test::Decoded renderedInSrgb(const std::string& file) {
    test::ScratchDir dir;
    const std::string pam = dir.file("srgb.pam");
    test::mustRun({"/usr/bin/convert", file, "-profile", "/usr/share/color/icc/sRGB.icc", "-depth",
                   "8", "-type", "TrueColor", pam});
    return test::readNetpbm(pam);
}

// The AVIF holds the profile as it is (exiftool reads it back). libjxl keeps a
// profile it can describe by primaries and curve as that description, and djxl
// writes a profile of its own making: there the colours rendered to sRGB must
// match the source's.
TEST_P(EncodeJxlAvif, TheProfileIsCarried) {
    const std::string source = (test::corpusDir() / kWideGamut).string();
    const Picture picture = decodePictureByContent(test::readBytes(source), kWideGamut);
    ASSERT_GT(picture.meta.icc.size(), 100u);
    test::ScratchDir dir;
    const std::string out = dir.file(std::string("out.") + GetParam().extension);
    test::writeBytes(out, encode(picture, 90));
    if (GetParam().name == std::string("avif")) {
        std::string profile;
        ASSERT_EQ(test::runCommand({"exiftool", "-b", "-ICC_Profile", out}, &profile), 0);
        EXPECT_EQ(std::vector<std::uint8_t>(profile.begin(), profile.end()), picture.meta.icc);
        return;
    }
    const std::string png = dir.file("out.png");
    test::mustRun({"djxl", out, png});
    const test::Decoded expected = renderedInSrgb(source);
    const test::Decoded rendered = renderedInSrgb(png);
    ASSERT_EQ(rendered.width, expected.width);
    const Raster expectedRaster =
        test::makeRaster(expected.width, expected.height, [&](int x, int y) {
            const auto c =
                expected.at(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y));
            return std::array<int, 4>{c[2], c[1], c[0], 255};
        });
    EXPECT_GT(psnr(expectedRaster, rendered), 35.0);
    // Read as sRGB, the wide-gamut numbers would be far off: the check can fail.
    const test::Decoded asIs = decodeWith("djxl", test::readBytes(out), "jxl");
    EXPECT_LT(psnr(expectedRaster, asIs), 30.0);
}

TEST_P(EncodeJxlAvif, ErrorsCarryAMessage) {
    const Raster empty;
    MemorySink sink;
    try {
        GetParam().encode(test::pictureOf(empty), test::withQuality(80), sink);
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("the picture has no pixels"), std::string::npos);
    }
    test::FailingSink full(10);
    try {
        GetParam().encode(test::pictureOf(test::gradientRaster(64, 48)), test::withQuality(80),
                          full);
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "Cannot write file \"out\". No space left on device");
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, EncodeJxlAvif, ::testing::ValuesIn(kFormats),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(EncodeJxl, Quality100IsLossless) {
    for (const bool transparent : {false, true}) {
        SCOPED_TRACE(transparent);
        Raster raster =
            transparent ? transparentRaster("157x99+1200+700") : test::photoRaster(kPhoto);
        unpremultiply(raster);  // straight colours: the file holds these exactly
        MemorySink sink;
        encodeJxl(test::pictureOf(raster), test::withQuality(100), sink);
        const test::Decoded decoded = decodeWith("djxl", sink.bytes, "jxl");
        ASSERT_EQ(decoded.width, raster.width());
        ASSERT_EQ(decoded.height, raster.height());
        EXPECT_EQ(decoded.channels, transparent ? 4 : 3);
        EXPECT_EQ(test::maxColourDifference(raster, decoded), 0);
        EXPECT_EQ(maxAlphaDifference(raster, decoded), 0);
    }
}

// Gray pictures are stored as gray: one channel, or gray and alpha (straight
// values, exact at quality 100).
TEST(EncodeJxl, GrayIsStoredAsGrayWithAlphaWhereThereIsSome) {
    for (const bool transparent : {false, true}) {
        SCOPED_TRACE(transparent);
        const Raster gray = test::makeRaster(
            37, 23,
            [&](int x, int y) {
                const int v = (x * 7 + y * 3) % 256;
                return std::array<int, 4>{v, v, v, transparent ? (x * 13 + y * 5) % 256 : 255};
            },
            false);
        MemorySink sink;
        encodeJxl(test::pictureOf(gray), test::withQuality(100), sink);
        test::ScratchDir dir;
        const std::string out = dir.file("gray.jxl");
        test::writeBytes(out, sink.bytes);
        std::string info;
        ASSERT_EQ(test::runCommand({"jxlinfo", out}, &info), 0) << info;
        EXPECT_NE(info.find(transparent ? "8-bit Grayscale+Alpha" : "8-bit Grayscale"),
                  std::string::npos)
            << info;
        const test::Decoded decoded = decodeWith("djxl", sink.bytes, "jxl");
        EXPECT_EQ(decoded.hasAlphaChannel(), transparent);
        EXPECT_EQ(maxAlphaDifference(gray, decoded), 0);
        // Where alpha is 0 the colour carries nothing.
        for (std::uint32_t y = 0; y < gray.height(); ++y) {
            for (std::uint32_t x = 0; x < gray.width(); ++x) {
                const std::uint8_t* p = gray.row(y) + x * 4;
                const auto c = decoded.at(x, y);
                if (p[kAlpha] != 0) {
                    ASSERT_EQ(c[0], p[kRed]) << x << "," << y;
                }
            }
        }
    }
}

}  // namespace
}  // namespace imbrix::imaging
