// Colour profiles: the decoders find them, keep the layer's promise about
// meta.icc, and convertToSrgb() gives what ImageMagick's -profile gives.
#include "imaging/colour.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "decode_testutil.h"
#include "imaging/decode.h"
#include "imaging/grayscale.h"
#include "imaging/stages.h"

namespace imbrix::test {
namespace {

namespace colour = imaging::colour;
using imaging::Picture;
using imaging::Raster;

const std::string kSrgbIcc = "/usr/share/color/icc/colord/sRGB.icc";
const std::string kProPhotoIcc = "/usr/share/color/icc/colord/ProPhotoRGB.icc";

// Peak signal-to-noise ratio over the colour channels of two rasters of one size.
double psnr(const Raster& a, const Raster& b) {
    double sum = 0;
    for (std::uint32_t y = 0; y < a.height(); ++y) {
        for (std::uint32_t x = 0; x < a.width(); ++x) {
            for (int c = 0; c < 3; ++c) {
                const double d = a.row(y)[x * 4 + c] - b.row(y)[x * 4 + c];
                sum += d * d;
            }
        }
    }
    const double mse = sum / (3.0 * a.width() * a.height());
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

Picture decodeFile(const std::filesystem::path& path) {
    const std::vector<std::uint8_t> bytes = readBytes(path);
    return imaging::decodePicture(path.extension().string().substr(1), bytes);
}

// What ImageMagick makes of `args` (a source and its operations), read back
// as sRGB pixels.
Raster magick(const ScratchDir& dir, std::vector<std::string> args) {
    const std::string out = dir.file("magick-reference.png");
    args.insert(args.begin(), "convert");
    args.push_back("png24:" + out);
    std::string log;
    EXPECT_EQ(runCommand(args, &log), 0) << log;
    Raster reference = imaging::loadPicture(out);
    std::filesystem::remove(out);
    return reference;
}

// The profile exiftool finds in a file.
std::vector<std::uint8_t> profileOf(const std::filesystem::path& file) {
    std::string bytes;
    EXPECT_EQ(runCommand({"exiftool", "-b", "-ICC_Profile", file.string()}, &bytes), 0);
    return {bytes.begin(), bytes.end()};
}

// Wide-gamut PNGs (iCCP): converted, they match ImageMagick's conversion;
// taken as sRGB they would not. The RGB-to-GBR profile swaps channels.
TEST(ColourConversion, WideGamutPngsMatchImageMagick) {
    const ScratchDir dir;
    for (const char* name :
         {"P3-sRGB-color-ring.png", "R2020-sRGB-color-bars.png", "rgb-to-gbr-test.png"}) {
        SCOPED_TRACE(name);
        const auto path = corpusFile(std::string("png-misc/wide-gamut/") + name);
        Picture picture = decodeFile(path);
        ASSERT_FALSE(picture.meta.icc.empty());
        EXPECT_FALSE(colour::isSrgb(picture.meta.icc));
        const Raster asIs = picture.pixels.clone();
        colour::convertToSrgb(picture);
        EXPECT_TRUE(picture.meta.icc.empty());
        const Raster reference = magick(dir, {path.string(), "-profile", kSrgbIcc});
        const double converted = psnr(picture.pixels, reference);
        const double ignored = psnr(asIs, reference);
        EXPECT_GT(converted, 45) << "ignoring the profile: " << ignored << " dB";
        EXPECT_LT(ignored, converted - 10);
        std::cout << name << ": " << converted << " dB converted, " << ignored
                  << " dB with the profile ignored\n";
    }
}

// A real photo with ProPhoto assigned (not converted): the decoder keeps the
// profile, the planes route too, and the conversion matches ImageMagick's.
TEST(ColourConversion, ProPhotoJpegMatchesImageMagick) {
    const ScratchDir dir;
    const std::string jpeg = dir.file("prophoto.jpg");
    std::string log;
    ASSERT_EQ(runCommand({"convert", corpusFile("photos/camera/mate_LadyBird.jpg").string(),
                          "-resize", "640x", "-profile", kProPhotoIcc, jpeg},
                         &log),
              0)
        << log;
    const std::vector<std::uint8_t> proPhoto = readBytes(kProPhotoIcc);
    Picture picture = decodeFile(jpeg);
    EXPECT_EQ(picture.meta.icc, proPhoto);
    const auto planes = imaging::decodeJpegYuv420(readBytes(jpeg));
    ASSERT_TRUE(planes.has_value());
    EXPECT_EQ(planes->meta.icc, proPhoto);

    const Raster asIs = picture.pixels.clone();
    colour::convertToSrgb(picture);
    const Raster reference = magick(dir, {jpeg, "-profile", kSrgbIcc});
    EXPECT_GT(psnr(picture.pixels, reference), 45);
    EXPECT_LT(psnr(asIs, reference), 30);
}

// Adobe CMYK without a profile goes through the generic CMYK profile, as
// ImageMagick does with that profile assigned and sRGB's applied.
TEST(ColourConversion, CmykJpegWithoutProfileMatchesImageMagick) {
    const ScratchDir dir;
    const auto path = corpusFile("photos/jpeg-variants/video-001.cmyk.jpeg");
    const Picture picture = decodeFile(path);
    EXPECT_TRUE(picture.meta.icc.empty());
    const Raster reference = magick(
        dir, {path.string(), "-profile", colour::kDefaultCmykProfilePath, "-profile", kSrgbIcc});
    const double converted = psnr(picture.pixels, reference);
    EXPECT_GT(converted, 40);
    // The plain formula is far off.
    const Raster formula = magick(dir, {path.string(), "-colorspace", "sRGB"});
    std::cout << "CMYK: " << converted << " dB through the profile, " << psnr(formula, reference)
              << " dB by formula\n";
    EXPECT_FALSE(imaging::decodeJpegYuv420(readBytes(path)).has_value());
}

// CMYK files written by ImageMagick from a real photo, with the CMYK profile
// embedded or without one: TIFF (0 is no ink) and JPEG (Adobe, inverted).
TEST(ColourConversion, CmykFilesMatchImageMagick) {
    const ScratchDir dir;
    const std::string photo = corpusFile("photos/camera/mate_LadyBird.jpg").string();
    const std::string cmykIcc = colour::kDefaultCmykProfilePath;
    struct Case {
        const char* file;
        std::vector<std::string> make;       // after the photo
        std::vector<std::string> reference;  // after the file
    };
    const std::vector<Case> cases = {
        {"embedded.tif", {"-profile", kSrgbIcc, "-profile", cmykIcc}, {"-profile", kSrgbIcc}},
        {"embedded.jpg", {"-profile", kSrgbIcc, "-profile", cmykIcc}, {"-profile", kSrgbIcc}},
        {"plain.tif", {"-colorspace", "CMYK"}, {"-profile", cmykIcc, "-profile", kSrgbIcc}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string file = dir.file(c.file);
        std::vector<std::string> make = {"convert", photo, "-resize", "400x"};
        make.insert(make.end(), c.make.begin(), c.make.end());
        make.push_back(file);
        std::string log;
        ASSERT_EQ(runCommand(make, &log), 0) << log;
        const Picture picture = decodeFile(file);
        EXPECT_TRUE(picture.meta.icc.empty());
        std::vector<std::string> reference = {file};
        reference.insert(reference.end(), c.reference.begin(), c.reference.end());
        const double converted = psnr(picture.pixels, magick(dir, reference));
        EXPECT_GT(converted, 40);
        std::cout << c.file << ": " << converted << " dB\n";
    }
}

TEST(ColourProfiles, SrgbInEffect) {
    const ScratchDir dir;
    struct Case {
        std::string what;
        std::vector<std::uint8_t> icc;
        bool srgb;
    };
    const std::vector<Case> cases = {
        {"none", {}, true},
        {"Little CMS's own", colour::srgbProfile(), true},
        {"colord", readBytes(kSrgbIcc), true},
        {"icc-profiles-free", readBytes("/usr/share/color/icc/sRGB.icc"), true},
        {"gdk-pixbuf's", readBytes(corpusFile("gif/gdk-pixbuf-gif-test-suite/sRGB.icc")), true},
        {"a camera's", profileOf(corpusFile("photos/camera/kde_Kite.jpg")), true},
        {"Display P3", profileOf(corpusFile("png-misc/wide-gamut/P3-sRGB-color-ring.png")), false},
        {"ProPhoto", readBytes(kProPhotoIcc), false},
        {"Adobe RGB", readBytes("/usr/share/color/icc/colord/AdobeRGB1998.icc"), false},
        {"Rec. 709 (sRGB's primaries, another curve)",
         readBytes("/usr/share/color/icc/colord/Rec709.icc"), false},
        {"gray", readBytes("/usr/share/color/icc/Gray.icc"), false},
        {"CMYK", readBytes(colour::kDefaultCmykProfilePath), false},
        {"garbage", std::vector<std::uint8_t>(600, 0x5A), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(colour::isSrgb(c.icc), c.srgb) << c.what;
        if (c.what != "none" && c.what != "garbage") {
            EXPECT_GT(c.icc.size(), 128u) << c.what;
        }
    }
    // The sRGB profile for writers is compact and reads back as sRGB.
    EXPECT_LT(colour::srgbProfile().size(), 1024u);
}

// A JPEG whose APP2 holds profile chunks that are not a usable RGB profile
// decodes to the same pixels as without one, and carries none.
std::vector<std::uint8_t> withIccSegment(std::vector<std::uint8_t> jpeg,
                                         const std::vector<std::uint8_t>& icc) {
    // APP2: "ICC_PROFILE", a zero, chunk 1 of 1, the profile.
    const std::size_t length = 2 + 14 + icc.size();
    std::vector<std::uint8_t> segment = {0xFF, 0xE2, static_cast<std::uint8_t>(length >> 8),
                                         static_cast<std::uint8_t>(length)};
    for (const char c : std::string_view("ICC_PROFILE")) {
        segment.push_back(static_cast<std::uint8_t>(c));
    }
    for (const std::uint8_t b : {0, 1, 1}) {
        segment.push_back(b);
    }
    segment.insert(segment.end(), icc.begin(), icc.end());
    jpeg.insert(jpeg.begin() + 2, segment.begin(), segment.end());
    return jpeg;
}

TEST(ColourProfiles, UnusableProfilesAreDropped) {
    const std::vector<std::uint8_t> plain =
        readBytes(corpusFile("photos/jpeg-variants/flower.png.im_q85_420.jpg"));
    const Raster expected = imaging::decodeWithPictureLoader("jpg", plain);
    std::vector<std::uint8_t> truncated = readBytes(kProPhotoIcc);
    truncated.resize(300);  // the header and part of the tag table
    std::vector<std::uint8_t> badHeader = readBytes(kProPhotoIcc);
    badHeader[36] = 'X';  // the "acsp" signature
    const std::vector<std::pair<const char*, std::vector<std::uint8_t>>> cases = {
        {"garbage", std::vector<std::uint8_t>(3000, 0xA5)},
        {"truncated", truncated},
        {"bad signature", badHeader},
        {"gray on colour", readBytes("/usr/share/color/icc/Gray.icc")},
        {"CMYK on colour", readBytes(colour::kDefaultCmykProfilePath)},
    };
    for (const auto& [what, icc] : cases) {
        SCOPED_TRACE(what);
        if (icc.size() > 65000) {
            continue;  // one APP2 segment holds less; the CMYK profile is checked below
        }
        const std::vector<std::uint8_t> jpeg = withIccSegment(plain, icc);
        const Picture picture = imaging::decodePicture("jpg", jpeg);
        EXPECT_TRUE(picture.meta.icc.empty());
        EXPECT_EQ(maxDifference(picture.pixels, expected), 0);
    }
    // A P3 profile in the same place is kept: the splice itself works.
    const ScratchDir dir;
    const std::vector<std::uint8_t> p3 =
        profileOf(corpusFile("png-misc/wide-gamut/P3-sRGB-color-ring.png"));
    EXPECT_EQ(imaging::decodePicture("jpg", withIccSegment(plain, p3)).meta.icc, p3);
    // convertToSrgb() on a profile that is not RGB leaves the pixels alone.
    Picture cmyk{expected.clone(), {}};
    cmyk.meta.icc = readBytes(colour::kDefaultCmykProfilePath);
    colour::convertToSrgb(cmyk);
    EXPECT_TRUE(cmyk.meta.icc.empty());
    EXPECT_EQ(maxDifference(cmyk.pixels, expected), 0);
}

// The other containers carry the profile too: the same P3 picture written by
// ImageMagick into each decodes with its profile and converts to the same
// pixels as the PNG.
TEST(ColourProfiles, EveryContainerCarriesIt) {
    const ScratchDir dir;
    const auto source = corpusFile("png-misc/wide-gamut/P3-sRGB-color-ring.png");
    const std::string small = dir.file("small.png");
    std::string log;
    ASSERT_EQ(runCommand({"convert", source.string(), "-resize", "200x", small}, &log), 0) << log;
    Picture png = decodeFile(small);
    ASSERT_FALSE(png.meta.icc.empty());
    const std::vector<std::uint8_t> p3 = png.meta.icc;
    colour::convertToSrgb(png);
    struct Case {
        const char* file;
        std::vector<std::string> options;
    };
    const std::vector<Case> cases = {
        {"p3.tif", {}},
        {"p3.webp", {"-define", "webp:lossless=true"}},
        {"p3.gif", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        std::vector<std::string> args = {"convert", small};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back(dir.file(c.file));
        ASSERT_EQ(runCommand(args, &log), 0) << log;
        Picture picture = decodeFile(dir.file(c.file));
        EXPECT_EQ(picture.meta.icc, p3);
        colour::convertToSrgb(picture);
        if (std::string(c.file) != "p3.gif") {  // GIF's palette has changed the pixels
            EXPECT_LE(maxDifference(picture.pixels, png.pixels), 1);
        }
    }
}

// A 2 x 1 bitmap with a V5 header whose colour space is `csType`, and a
// profile placed after the pixels (at `offset` from the header's start when
// given, else where it is).
std::vector<std::uint8_t> bmpV5(std::uint32_t csType, const std::vector<std::uint8_t>& icc,
                                std::optional<std::uint32_t> offset = std::nullopt) {
    std::vector<std::uint8_t> b(14 + 124 + 8);
    auto put32 = [&b](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
        }
    };
    b[0] = 'B';
    b[1] = 'M';
    put32(2, static_cast<std::uint32_t>(b.size() + icc.size()));
    put32(10, 14 + 124);
    put32(14, 124);
    put32(18, 2);
    put32(22, 1);
    b[26] = 1;   // planes
    b[28] = 24;  // bits per pixel
    put32(14 + 56, csType);
    put32(14 + 112, offset.value_or(124 + 8));
    put32(14 + 116, static_cast<std::uint32_t>(icc.size()));
    const std::uint8_t pixels[6] = {40, 90, 200, 250, 120, 10};  // BGR, BGR
    std::copy(std::begin(pixels), std::end(pixels), b.begin() + 14 + 124);
    b.insert(b.end(), icc.begin(), icc.end());
    return b;
}

TEST(ColourProfiles, BitmapV5EmbeddedProfile) {
    const std::vector<std::uint8_t> p3 =
        profileOf(corpusFile("png-misc/wide-gamut/P3-sRGB-color-ring.png"));
    constexpr std::uint32_t kEmbedded = 0x4D424544;   // 'MBED'
    constexpr std::uint32_t kSrgbSpace = 0x73524742;  // 'sRGB'
    EXPECT_EQ(imaging::decodePicture("bmp", bmpV5(kEmbedded, p3)).meta.icc, p3);
    EXPECT_TRUE(imaging::decodePicture("bmp", bmpV5(kSrgbSpace, p3)).meta.icc.empty());
    for (const std::uint32_t offset : {0xFFFFFFF0u, 124u + 8u + 100u}) {
        const Picture picture = imaging::decodePicture("bmp", bmpV5(kEmbedded, p3, offset));
        EXPECT_TRUE(picture.meta.icc.empty()) << offset;
        EXPECT_EQ(picture.pixels.row(0)[0], 40);
    }
}

// Gray profiles are applied at decode: a gray JPEG with a gray profile (L*
// curve, not sRGB's) comes out as ImageMagick converts it to sRGB, and carries
// no profile.
TEST(ColourProfiles, GrayProfileIsAppliedAtDecode) {
    const ScratchDir dir;
    const std::string gray = dir.file("gray.jpg");
    std::string log;
    ASSERT_EQ(
        runCommand({"convert", corpusFile("photos/jpeg-variants/tower_grayscale.jpg").string(),
                    "-resize", "300x", "-profile", "/usr/share/color/icc/Gray-CIE_L.icc", gray},
                   &log),
        0)
        << log;
    const Picture picture = decodeFile(gray);
    EXPECT_TRUE(picture.meta.icc.empty());
    const Raster reference = magick(dir, {gray, "-profile", kSrgbIcc});
    const Raster asIs = magick(dir, {gray, "+profile", "*"});
    const double converted = psnr(picture.pixels, reference);
    EXPECT_GT(converted, 45);
    EXPECT_LT(psnr(asIs, reference), converted - 10);
}

// PNG's cHRM and gAMA: sRGB's values make no profile; others make one that
// converts as the numbers say.
TEST(ColourProfiles, PngChromaticitiesAndGamma) {
    const colour::PngChromaticities srgb{0.3127, 0.3290, 0.64, 0.33, 0.30, 0.60, 0.15, 0.06};
    EXPECT_TRUE(colour::profileFromPngChunks(std::nullopt, std::nullopt).empty());
    EXPECT_TRUE(colour::profileFromPngChunks(std::nullopt, 0.45455).empty());
    EXPECT_TRUE(colour::profileFromPngChunks(srgb, 0.45455).empty());
    EXPECT_TRUE(colour::profileFromPngChunks(srgb, std::nullopt).empty());
    EXPECT_TRUE(colour::profileFromPngChunks(std::nullopt, 0.0).empty());
    EXPECT_TRUE(colour::profileFromPngChunks(std::nullopt, -1.0).empty());
    EXPECT_TRUE(colour::profileFromPngChunks(
                    colour::PngChromaticities{0.3127, 0, 0.64, 0.33, 0.3, 0.6, 0.15, 0.06}, 0.45)
                    .empty());

    // Linear light: 50 % encodes as sRGB's 188 (0.5 ^ (1 / 2.4) * 1.055 - 0.055).
    Picture linear{Raster(2, 1), {}};
    linear.meta.icc = colour::profileFromPngChunks(std::nullopt, 1.0);
    ASSERT_FALSE(linear.meta.icc.empty());
    std::uint8_t* p = linear.pixels.row(0);
    const std::uint8_t pixels[8] = {128, 128, 128, 255, 0, 0, 255, 255};  // gray, pure red
    std::copy(std::begin(pixels), std::end(pixels), p);
    colour::convertToSrgb(linear);
    EXPECT_NEAR(p[0], 188, 1);
    EXPECT_NEAR(p[1], 188, 1);
    EXPECT_NEAR(p[2], 188, 1);
    EXPECT_EQ(p[4], 0);
    EXPECT_EQ(p[5], 0);
    EXPECT_EQ(p[6], 255);

    // PngSuite: gamma 1.0 and 2.5 files carry a profile; cHRM too.
    for (const char* file :
         {"pngsuite/g10n2c08.png", "pngsuite/g25n0g16.png", "pngsuite/ccwn2c08.png"}) {
        EXPECT_FALSE(decodeFile(corpusFile(file)).meta.icc.empty()) << file;
    }
}

// Premultiplied and straight rasters convert alike, and keep their state and
// their alpha. A premultiplied raster converts as its straight colours do
// (near black sRGB is steep: one step of a straight colour rounded from a
// premultiplied one may become several after the conversion, so the exact
// comparison is with the colours that the premultiplied raster holds).
TEST(ColourConversion, KeepsAlphaAndPremultiplication) {
    Picture source = decodeFile(corpusFile("png-misc/wide-gamut/P3-sRGB-color-ring.png"));
    Raster& pixels = source.pixels;
    for (std::uint32_t y = 0; y < pixels.height(); ++y) {
        for (std::uint32_t x = 0; x < pixels.width(); ++x) {
            pixels.row(y)[x * 4 + 3] = static_cast<std::uint8_t>((x + 3 * y) % 256);
        }
    }
    pixels.premultiplied = false;
    Picture straight{pixels.clone(), source.meta};
    Picture premultiplied{pixels.clone(), source.meta};
    imaging::premultiply(premultiplied.pixels);
    Picture viaStraight{premultiplied.pixels.clone(), source.meta};
    imaging::unpremultiply(viaStraight.pixels);

    colour::convertToSrgb(straight);
    colour::convertToSrgb(premultiplied);
    colour::convertToSrgb(viaStraight);
    EXPECT_FALSE(straight.pixels.premultiplied);
    EXPECT_TRUE(premultiplied.pixels.premultiplied);
    EXPECT_TRUE(validPremultiplied(premultiplied.pixels));
    for (std::uint32_t y = 0; y < pixels.height(); ++y) {
        for (std::uint32_t x = 0; x < pixels.width(); ++x) {
            ASSERT_EQ(straight.pixels.row(y)[x * 4 + 3], pixels.row(y)[x * 4 + 3]);
            ASSERT_EQ(premultiplied.pixels.row(y)[x * 4 + 3], pixels.row(y)[x * 4 + 3]);
        }
    }
    imaging::premultiply(viaStraight.pixels);
    EXPECT_EQ(maxDifference(viaStraight.pixels, premultiplied.pixels), 0);
    imaging::premultiply(straight.pixels);
    EXPECT_LT(meanDifference(straight.pixels, premultiplied.pixels), 0.5);
    // The colours did change: the conversion was not skipped for either.
    EXPECT_GT(meanDifference(straight.pixels,
                             [&] {
                                 Raster asIs = pixels.clone();
                                 imaging::premultiply(asIs);
                                 return asIs;
                             }()),
              2.0);
}

// Both grayscale stages see sRGB values: a P3 picture grays as its sRGB
// rendering does, and comes out without a profile.
TEST(ColourConversion, GrayscaleOfAWideGamutPicture) {
    for (const imaging::Stage& stage :
         {imaging::luminanceGrayscaleStage(), imaging::equalWeightGrayscaleStage()}) {
        Picture p3 = decodeFile(corpusFile("png-misc/wide-gamut/P3-sRGB-color-ring.png"));
        Picture srgb{p3.pixels.clone(), p3.meta};
        colour::convertToSrgb(srgb);
        stage(p3, {});
        stage(srgb, {});
        EXPECT_TRUE(p3.meta.icc.empty());
        EXPECT_EQ(maxDifference(p3.pixels, srgb.pixels), 0);
    }
    Picture p3 = decodeFile(corpusFile("png-misc/wide-gamut/P3-sRGB-color-ring.png"));
    Picture asIs{p3.pixels.clone(), {}};
    imaging::luminanceGrayscaleStage()(p3, {});
    imaging::luminanceGrayscaleStage()(asIs, {});
    EXPECT_GT(meanDifference(p3.pixels, asIs.pixels), 1.0);
}

// Threads converting through different profiles at once (sharing the cache of
// transforms, and evicting from it) get what one thread alone gets.
TEST(ColourConversion, ThreadsShareTheTransforms) {
    const Picture source = decodeFile(corpusFile("png-misc/wide-gamut/P3-sRGB-color-ring.png"));
    std::vector<std::vector<std::uint8_t>> profiles = {
        source.meta.icc, readBytes(kProPhotoIcc),
        readBytes("/usr/share/color/icc/colord/AdobeRGB1998.icc"),
        readBytes("/usr/share/color/icc/colord/WideGamutRGB.icc")};
    for (const char* name : {"AppleRGB", "BestRGB", "BetaRGB", "BruceRGB", "CIE-RGB",
                             "ColorMatchRGB", "DonRGB4", "ECI-RGBv2"}) {
        profiles.push_back(readBytes(std::string("/usr/share/color/icc/colord/") + name + ".icc"));
    }
    auto convert = [&](const std::vector<std::uint8_t>& icc) {
        Picture picture{source.pixels.clone(), {}};
        picture.meta.icc = icc;
        colour::convertToSrgb(picture);
        return picture;
    };
    std::vector<Picture> expected;
    for (const auto& icc : profiles) {
        expected.push_back(convert(icc));
    }
    std::vector<int> worst(4, 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < worst.size(); ++t) {
        threads.emplace_back([&, t] {
            for (std::size_t i = 0; i < profiles.size(); ++i) {
                const std::size_t k = (i + t * 3) % profiles.size();
                worst[t] = std::max(worst[t],
                                    maxDifference(convert(profiles[k]).pixels, expected[k].pixels));
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const int w : worst) {
        EXPECT_EQ(w, 0);
    }
}

}  // namespace
}  // namespace imbrix::test
