// Resizing: the target size of each mode (checked against libvips' own), the
// decoders' reduction, the converter's geometry text, and the resampled
// pixels: against libvips' Lanczos-3 on real photos, upright after an EXIF
// turn, without dark fringes at transparent edges, and with the JPEG and WEBP
// decoders drawing the picture smaller first.
#include "imaging/resize.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <stop_token>
#include <string>
#include <vector>

#include "common/testsupport.h"
#include "decode_testutil.h"
#include "imaging/decode.h"
#include "imaging/error.h"
#include "imaging/stages.h"

namespace imbrix::imaging {

// For the test's messages (found by argument-dependent lookup).
static std::ostream& operator<<(std::ostream& out, const PixelSize& s) {
    return out << s.width << " x " << s.height;
}

namespace {

using test::corpusFile;
using test::runCommand;
using test::ScratchDir;

ResizeOptions fit(std::uint32_t width, std::uint32_t height, bool enlarge = false) {
    ResizeOptions o;
    o.mode = ResizeMode::Fit;
    o.width = width;
    o.height = height;
    o.enlarge = enlarge;
    return o;
}

ResizeOptions longSide(std::uint32_t side, bool enlarge = false) {
    ResizeOptions o;
    o.mode = ResizeMode::LongSide;
    o.longSide = side;
    o.enlarge = enlarge;
    return o;
}

ResizeOptions percent(std::uint32_t p, bool enlarge = false) {
    ResizeOptions o;
    o.mode = ResizeMode::Percent;
    o.percent = p;
    o.enlarge = enlarge;
    return o;
}

bool haveVips() {
    static const bool found = [] {
        try {
            return runCommand({"vips", "--version"}) == 0;
        } catch (const std::exception&) {
            return false;
        }
    }();
    return found;
}

#define SKIP_WITHOUT_VIPS()                                                    \
    if (!haveVips()) {                                                         \
        GTEST_SKIP() << "libvips' command line tool (vips) is not installed: " \
                        "scripts/install-deps.sh installs it";                 \
    }

Picture decodeFile(const std::filesystem::path& path, const DecodeHint& hint = {}) {
    const std::vector<std::uint8_t> bytes = test::readBytes(path);
    return decodePicture(path.extension().string().substr(1), bytes, hint);
}

// Runs a vips command line that writes `out` (a PNG) and decodes what it wrote.
Raster vipsResult(const std::vector<std::string>& argv, const std::string& out) {
    std::string output;
    EXPECT_EQ(runCommand(argv, &output), 0) << output;
    return decodeFile(out).pixels;
}

// libvips' thumbnailer (shrink-on-load, then Lanczos-3) fitting `source` into
// width x height, upright, never enlarging.
Raster vipsThumbnail(const std::string& source, std::uint32_t width, std::uint32_t height,
                     const ScratchDir& dir) {
    const std::string out = dir.file("vips-thumbnail.png");
    std::filesystem::remove(out);
    return vipsResult({"vips", "thumbnail", source, out, std::to_string(width), "--height",
                       std::to_string(height), "--size", "down"},
                      out);
}

// libvips' Lanczos-3 resize by `scale` of the whole picture, decoded in full
// and turned upright: the reference without any reduction on load.
Raster vipsResize(const std::string& source, double scale, const ScratchDir& dir) {
    const std::string upright = dir.file("vips-upright.v");
    const std::string out = dir.file("vips-resize.png");
    std::filesystem::remove(upright);
    std::filesystem::remove(out);
    std::string output;
    EXPECT_EQ(runCommand({"vips", "autorot", source, upright}, &output), 0) << output;
    return vipsResult({"vips", "resize", upright, out, std::to_string(scale)}, out);
}

// Peak signal-to-noise ratio of two rasters of the same size over the first
// `channels` bytes of each pixel (3: blue, green, red; 4: with alpha).
double psnr(const Raster& a, const Raster& b, int channels = 3) {
    EXPECT_EQ(a.width(), b.width());
    EXPECT_EQ(a.height(), b.height());
    if (a.width() != b.width() || a.height() != b.height()) {
        return 0;
    }
    double sum = 0;
    for (std::uint32_t y = 0; y < a.height(); ++y) {
        const std::uint8_t* p = a.row(y);
        const std::uint8_t* q = b.row(y);
        for (std::uint32_t x = 0; x < a.width(); ++x, p += 4, q += 4) {
            for (int c = 0; c < channels; ++c) {
                const double d = static_cast<double>(p[c]) - q[c];
                sum += d * d;
            }
        }
    }
    const double mse = sum / (static_cast<double>(a.width()) * a.height() * channels);
    return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

PixelSize sizeOf(const Raster& r) {
    return {r.width(), r.height()};
}

// ---------------------------------------------------------------------------
// The target size

struct TargetCase {
    const char* name;
    ResizeOptions options;
    PixelSize full;
    PixelSize expected;
};

const TargetCase kTargetCases[] = {
    {"fit landscape", fit(1024, 1024), {2560, 1600}, {1024, 640}},
    {"fit portrait", fit(1024, 1024), {1600, 2560}, {640, 1024}},
    {"fit odd landscape", fit(500, 500), {1001, 667}, {500, 333}},
    {"fit odd portrait", fit(500, 500), {667, 1001}, {333, 500}},
    {"fit, the height constrains", fit(300, 200), {1000, 1000}, {200, 200}},
    {"fit a sliver", fit(100, 100), {7, 1000}, {1, 100}},
    {"fit, smaller picture kept", fit(2000, 2000), {1001, 667}, {1001, 667}},
    {"fit, smaller picture enlarged", fit(2000, 2000, true), {1001, 667}, {2000, 1333}},
    {"long side landscape", longSide(800), {1001, 667}, {800, 533}},
    {"long side portrait", longSide(800), {667, 1001}, {533, 800}},
    {"long side, smaller picture kept", longSide(1200), {1001, 667}, {1001, 667}},
    {"percent half, odd sides round up", percent(50), {1001, 667}, {501, 334}},
    {"percent a third", percent(33), {1001, 667}, {330, 220}},
    {"percent above 100 kept", percent(150), {1001, 667}, {1001, 667}},
    {"percent above 100 enlarged", percent(150, true), {1001, 667}, {1502, 1001}},
    {"none", ResizeOptions{}, {1001, 667}, {1001, 667}},
};

TEST(ResizeTarget, EachModeGivesTheSizeLibvipsGives) {
    for (const TargetCase& c : kTargetCases) {
        EXPECT_EQ(resizeTarget(c.options, c.full), c.expected) << c.name;
    }
}

// The table's sizes are libvips' own: its thumbnailer for a box or a long side
// (--size down never enlarges, --size both does), its resize for a percentage.
TEST(ResizeTarget, TableAgreesWithLibvips) {
    SKIP_WITHOUT_VIPS();
    ScratchDir dir;
    for (const TargetCase& c : kTargetCases) {
        const ResizeOptions& o = c.options;
        const bool vipsEnlarges = o.mode == ResizeMode::Percent && o.percent > 100;
        if (o.mode == ResizeMode::None || (vipsEnlarges && !o.enlarge)) {
            continue;  // nothing of libvips' to compare with: the size is kept
        }
        const std::string in = dir.file("in.png");
        std::filesystem::remove(in);
        ASSERT_EQ(runCommand({"vips", "black", in, std::to_string(c.full.width),
                              std::to_string(c.full.height)}),
                  0);
        const std::string out = dir.file("out.png");
        std::filesystem::remove(out);
        std::vector<std::string> argv;
        if (o.mode == ResizeMode::Percent) {
            argv = {"vips", "resize", in, out, std::to_string(o.percent / 100.0)};
        } else {
            const std::uint32_t w = o.mode == ResizeMode::Fit ? o.width : o.longSide;
            const std::uint32_t h = o.mode == ResizeMode::Fit ? o.height : o.longSide;
            argv = {"vips",
                    "thumbnail",
                    in,
                    out,
                    std::to_string(w),
                    "--height",
                    std::to_string(h),
                    "--size",
                    o.enlarge ? "both" : "down"};
        }
        EXPECT_EQ(sizeOf(vipsResult(argv, out)), c.expected) << c.name;
    }
}

TEST(ShrinkFactor, LeavesTheResamplerAtLeastAFactorOfTwo) {
    struct Case {
        const char* name;
        ResizeOptions options;
        PixelSize full;
        unsigned expected;
    };
    const Case cases[] = {
        {"2.5 times smaller: nothing to spare", fit(1024, 1024), {2560, 1600}, 1},
        {"just under 4 times", fit(1024, 1024), {4000, 3000}, 1},
        {"24 megapixels into 1024", fit(1024, 1024), {6000, 4000}, 2},
        {"8 times: 4 leaves exactly two", fit(320, 320), {2560, 1600}, 4},
        {"16 times", fit(500, 500), {8000, 6000}, 8},
        {"far beyond 16 times stays at 8", fit(10, 10), {8000, 6000}, 8},
        {"a portrait picture", fit(1024, 1024), {4000, 6000}, 2},
        {"odd sides: ceil(1365 / 4) = 342 < 2 * 200", fit(200, 200), {1365, 1074}, 2},
        {"percent 10", percent(10), {1000, 1000}, 4},
        // 3000 / 16 = 187.5 rounds up to 188: 375 rows are short of twice that.
        {"long side, the rounded short side decides", longSide(250), {4000, 3000}, 4},
        {"no resize", ResizeOptions{}, {6000, 4000}, 1},
        {"an enlargement", fit(2000, 2000, true), {1000, 1000}, 1},
        {"a smaller picture kept", fit(2000, 2000), {1000, 1000}, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(shrinkFactor({c.options}, c.full), c.expected) << c.name;
    }
}

// ---------------------------------------------------------------------------
// The converter's geometry

TEST(ResizeGeometry, ReadsBackWhatItWrites) {
    struct Case {
        ResizeOptions options;
        const char* geometry;
        ResizeOptions readBack;
    };
    const Case cases[] = {
        {fit(1024, 768), "1024x768>", fit(1024, 768)},
        {fit(1024, 768, true), "1024x768", fit(1024, 768, true)},
        {fit(1, 65535), "1x65535>", fit(1, 65535)},
        {longSide(800), "800x800>", fit(800, 800)},
        {longSide(800, true), "800x800", fit(800, 800, true)},
        {percent(50), "50%>", percent(50)},
        {percent(1000, true), "1000%", percent(1000, true)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(resizeGeometry(c.options), c.geometry);
        const std::optional<ResizeOptions> read = parseResizeGeometry(c.geometry);
        ASSERT_TRUE(read.has_value()) << c.geometry;
        EXPECT_EQ(*read, c.readBack) << c.geometry;
        // A long side read as a square box gives every picture the same size.
        for (const PixelSize full : {PixelSize{1001, 667}, PixelSize{667, 1001}}) {
            EXPECT_EQ(resizeTarget(*read, full), resizeTarget(c.options, full)) << c.geometry;
        }
    }
    EXPECT_EQ(resizeGeometry(ResizeOptions{}), "");
}

TEST(ResizeGeometry, RefusesAnythingElse) {
    for (const char* bad : {"",        ">",       "%",        "x",
                            "1024",    "1024x",   "x768",     "0x10",
                            "10x0",    "+10x10",  "10x+10",   "-10x10",
                            "10x10>>", "10x10<",  "10x10!",   "65536x1",
                            "1x65536", "0%",      "1001%",    "-5%",
                            "50%%",    "10.5x10", "10 x 10",  "10x10 ",
                            "50% ",    "abc",     "10x10x10", "99999999999999999999x1"}) {
        EXPECT_FALSE(parseResizeGeometry(bad).has_value()) << '"' << bad << '"';
    }
}

// ---------------------------------------------------------------------------
// The resampler

// A picture resampled to its own size comes back pixel for pixel: the filter
// is centred on each pixel, neither shifted nor mirrored.
TEST(Resample, ToTheSameSizeIsACopy) {
    const Raster photo =
        decodeFile(corpusFile("photos/exif-orientation/bug725582-testrotate.jpg")).pixels;
    const Raster same = resample(photo, photo.width(), photo.height());
    EXPECT_EQ(test::maxDifference(photo, same), 0);
}

// A straight (not premultiplied) source is premultiplied first: the colour
// of its transparent pixels never reaches the result. The fixture: an opaque
// red square on a fully transparent field whose pixels hold bright green.
TEST(Resample, TransparentPixelsLendNoColour) {
    Raster straight(64, 64);
    straight.premultiplied = false;
    for (std::uint32_t y = 0; y < 64; ++y) {
        for (std::uint32_t x = 0; x < 64; ++x) {
            std::uint8_t* p = straight.row(y) + x * 4;
            const bool inside = x >= 20 && x < 44 && y >= 16 && y < 40;
            p[kBlue] = 0;
            p[kGreen] = inside ? 0 : 255;
            p[kRed] = inside ? 255 : 0;
            p[kAlpha] = inside ? 255 : 0;
        }
    }
    Raster small = resample(straight, 21, 21);
    EXPECT_TRUE(small.premultiplied);
    EXPECT_TRUE(test::validPremultiplied(small));
    int edgePixels = 0;
    for (std::uint32_t y = 0; y < small.height(); ++y) {
        for (std::uint32_t x = 0; x < small.width(); ++x) {
            const std::uint8_t* p = small.row(y) + x * 4;
            if (p[kAlpha] >= 16 && p[kAlpha] < 240) {
                ++edgePixels;
                // Unpremultiplied, an edge pixel is the square's red.
                EXPECT_GE(p[kRed] * 255 / p[kAlpha], 245) << x << "," << y;
                EXPECT_LE(p[kGreen] * 255 / p[kAlpha], 10) << x << "," << y;
            }
        }
    }
    EXPECT_GT(edgePixels, 8);
}

TEST(Resample, StopsWhenAsked) {
    const Raster photo =
        decodeFile(corpusFile("photos/exif-orientation/bug725582-testrotate.jpg")).pixels;
    std::stop_source stop;
    stop.request_stop();
    EXPECT_EQ(test::errorMessage([&] { (void)resample(photo, 100, 60, stop.get_token()); }),
              kStoppedMessage);
}

TEST(Resample, RefusesAnEmptyTarget) {
    const Raster photo =
        decodeFile(corpusFile("photos/exif-orientation/bug725582-testrotate.jpg")).pixels;
    EXPECT_EQ(test::errorMessage([&] { (void)resample(photo, 0, 10); }),
              "Picture has no pixels (0 x 10)");
}

// Extreme shapes: a one-pixel result, and a sliver enlarged, keep their
// colour (every weight set sums to one) and do not crash.
TEST(Resample, ExtremeFactorsKeepAFlatColour) {
    Raster flat(3000, 7);
    for (std::uint32_t y = 0; y < flat.height(); ++y) {
        for (std::uint32_t x = 0; x < flat.width(); ++x) {
            std::uint8_t* p = flat.row(y) + x * 4;
            p[kBlue] = 40;
            p[kGreen] = 120;
            p[kRed] = 200;
            p[kAlpha] = 255;
        }
    }
    flat.hasAlpha = false;
    for (const PixelSize size : {PixelSize{1, 1}, PixelSize{5, 900}, PixelSize{3000, 1}}) {
        const Raster out = resample(flat, size.width, size.height);
        ASSERT_EQ(sizeOf(out), size);
        EXPECT_FALSE(out.hasAlpha);
        for (std::uint32_t y = 0; y < out.height(); ++y) {
            for (std::uint32_t x = 0; x < out.width(); ++x) {
                const std::uint8_t* p = out.row(y) + x * 4;
                ASSERT_EQ(p[kBlue], 40) << size;
                ASSERT_EQ(p[kGreen], 120) << size;
                ASSERT_EQ(p[kRed], 200) << size;
                ASSERT_EQ(p[kAlpha], 255) << size;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Real photos through the decoders' reduction and the resize stage, against
// libvips' thumbnailer (which reduces JPEGs on load as we do)

Picture resizedPhoto(const std::filesystem::path& path, const ResizeOptions& options) {
    Picture picture = decodeFile(path, {options});
    resizeStage(options)(picture, {});
    return picture;
}

TEST(ResizeQuality, PhotosAreWithin38DbOfLibvipsThumbnail) {
    SKIP_WITHOUT_VIPS();
    struct Case {
        const char* photo;
        std::uint32_t box;
    };
    // 1024: no reduction on load (2.5 times smaller); 200: reduced by 2 or 4 on
    // load, with sides the reduction does not divide (1365, 1074, 1050).
    const Case cases[] = {
        {"kde_Path.jpg", 1024},
        {"Picture_0B_by_freespace.jpg", 1024},
        {"mate_Wood.jpg", 1024},
        {"mate_Dune.jpg", 200},
        {"Picture_1A_by_freespace.jpg", 200},
        {"mate_FreshFlower.jpg", 200},
        {"mate_Storm.jpg", 200},
    };
    ScratchDir dir;
    for (const Case& c : cases) {
        const std::filesystem::path path = corpusFile("photos/camera") / c.photo;
        const Picture ours = resizedPhoto(path, fit(c.box, c.box));
        const Raster vips = vipsThumbnail(path.string(), c.box, c.box, dir);
        ASSERT_EQ(sizeOf(ours.pixels), sizeOf(vips)) << c.photo;
        EXPECT_GE(psnr(ours.pixels, vips), 38.0) << c.photo << " into " << c.box;
        EXPECT_EQ(ours.meta.fullWidth, 0u) << "the stage clears the full size";
    }
}

// The percent mode against libvips' resize of the whole picture.
TEST(ResizeQuality, PercentIsWithin38DbOfLibvipsResize) {
    SKIP_WITHOUT_VIPS();
    ScratchDir dir;
    const std::filesystem::path path = corpusFile("photos/camera/mate_LadyBird.jpg");
    const Picture ours = resizedPhoto(path, percent(30));
    const Raster vips = vipsResize(path.string(), 0.3, dir);
    ASSERT_EQ(sizeOf(ours.pixels), sizeOf(vips));
    EXPECT_GE(psnr(ours.pixels, vips), 38.0);
}

// A picture decoded whole and made 12.8 times smaller: block averages of 6
// first, then Lanczos-3 for the rest.
TEST(ResizeQuality, ALargeReductionAfterAFullDecode) {
    SKIP_WITHOUT_VIPS();
    ScratchDir dir;
    const std::filesystem::path path = corpusFile("photos/camera/mate_TwoWings.jpg");
    Picture picture = decodeFile(path);
    ASSERT_EQ(sizeOf(picture.pixels), (PixelSize{2560, 1600}));
    resizeStage(fit(200, 200))(picture, {});
    const Raster vips = vipsResize(path.string(), 200.0 / 2560, dir);
    ASSERT_EQ(sizeOf(picture.pixels), sizeOf(vips));
    EXPECT_GE(psnr(picture.pixels, vips), 38.0);
}

// ---------------------------------------------------------------------------
// Shrink-on-load

TEST(ShrinkOnLoad, JpegIsDrawnSmallerAndKeepsItsFullSize) {
    const std::filesystem::path path = corpusFile("photos/camera/kde_Path.jpg");
    const Picture whole = decodeFile(path);
    EXPECT_EQ(sizeOf(whole.pixels), (PixelSize{2560, 1600}));
    EXPECT_EQ(whole.meta.fullWidth, 0u);

    const Picture reduced = decodeFile(path, {fit(300, 300)});
    EXPECT_EQ(sizeOf(reduced.pixels), (PixelSize{640, 400}));  // libjpeg's 1/4
    EXPECT_EQ(reduced.meta.fullWidth, 2560u);
    EXPECT_EQ(reduced.meta.fullHeight, 1600u);
    EXPECT_EQ(reduced.meta.icc, whole.meta.icc);

    // Decode by content takes the hint as well.
    const std::vector<std::uint8_t> bytes = test::readBytes(path);
    const Picture byContent = decodePictureByContent(bytes, "kde_Path.jpg", {fit(300, 300)});
    EXPECT_EQ(sizeOf(byContent.pixels), (PixelSize{640, 400}));
    EXPECT_EQ(byContent.meta.fullWidth, 2560u);
}

// Every kind of JPEG reduced on load comes out like its full decode resized:
// progressive scans, gray, Adobe CMYK (turned into sRGB after the reduction),
// 4:4:4 and 4:1:0 chroma, stored RGB.
TEST(ShrinkOnLoad, EveryKindOfJpegReducesLikeItsFullDecode) {
    struct Case {
        const char* file;
        std::uint32_t box;
        PixelSize reduced;
    };
    const Case cases[] = {
        {"tower_progressive.jpg", 60, {128, 128}},
        {"tower_grayscale.jpg", 60, {128, 128}},
        {"video-001.cmyk.jpeg", 32, {75, 52}},
        {"video-001.q50.444.jpeg", 32, {75, 52}},
        {"video-001.q50.410.progressive.jpeg", 32, {75, 52}},
        {"flower.png.im_q85_rgb.jpg", 200, {567, 378}},
    };
    for (const Case& c : cases) {
        const std::filesystem::path path = corpusFile("photos/jpeg-variants") / c.file;
        Picture reduced = decodeFile(path, {fit(c.box, c.box)});
        EXPECT_EQ(sizeOf(reduced.pixels), c.reduced) << c.file;
        Picture whole = decodeFile(path);
        EXPECT_EQ(reduced.meta.icc, whole.meta.icc) << c.file;
        resizeStage(fit(c.box, c.box))(reduced, {});
        resizeStage(fit(c.box, c.box))(whole, {});
        EXPECT_GE(psnr(reduced.pixels, whole.pixels), 40.0) << c.file;
    }
}

TEST(ShrinkOnLoad, ReducedJpegStillMatchesLibvips) {
    SKIP_WITHOUT_VIPS();
    ScratchDir dir;
    const std::filesystem::path path = corpusFile("photos/camera/kde_Kite.jpg");
    Picture picture = decodeFile(path, {fit(300, 300)});
    ASSERT_LT(picture.pixels.width(), 2560u);
    resizeStage(fit(300, 300))(picture, {});
    EXPECT_EQ(sizeOf(picture.pixels), (PixelSize{300, 188}));
    EXPECT_GE(psnr(picture.pixels, vipsThumbnail(path.string(), 300, 300, dir)), 38.0);
    // And against libvips' resize of the whole picture, with no reduction on load.
    EXPECT_GE(psnr(picture.pixels, vipsResize(path.string(), 300.0 / 2560, dir)), 38.0);
}

// A WEBP photo with transparency: libwebp's scaler draws it at floor(side / 2)
// (301 rows: 150), and the result matches libvips' Lanczos-3 of the whole
// picture. (libvips' thumbnailer has libwebp scale straight to the target,
// which is a box filter: not the reference here.)
TEST(ShrinkOnLoad, WebpIsDrawnSmallerAndStillMatchesLibvips) {
    const std::filesystem::path path = corpusFile("webp/x-image/yellow_rose.lossy-with-alpha.webp");
    Picture picture = decodeFile(path, {fit(100, 100)});
    EXPECT_EQ(sizeOf(picture.pixels), (PixelSize{200, 150}));
    EXPECT_EQ(picture.meta.fullWidth, 400u);
    EXPECT_EQ(picture.meta.fullHeight, 301u);
    EXPECT_TRUE(test::validPremultiplied(picture.pixels));
    resizeStage(fit(100, 100))(picture, {});
    EXPECT_EQ(sizeOf(picture.pixels), (PixelSize{100, 75}));
    SKIP_WITHOUT_VIPS();
    ScratchDir dir;
    EXPECT_GE(psnr(picture.pixels, vipsResize(path.string(), 0.25, dir), 4), 38.0);
}

TEST(ShrinkOnLoad, ALargeWebpIsDrawnSmaller) {
    const Picture picture =
        decodeFile(corpusFile("webp/gnome-backgrounds/adwaita-l.webp"), {fit(300, 300)});
    EXPECT_EQ(sizeOf(picture.pixels), (PixelSize{1024, 1024}));
    EXPECT_EQ(picture.meta.fullWidth, 4096u);
    EXPECT_EQ(picture.meta.fullHeight, 4096u);
}

// The reduction is chosen on the picture as shown: a photo stored 205 x 102
// and turned a quarter (orientation 6) fits a 50 x 50 box as 25 x 50. (libvips'
// thumbnailer, which drops the half block its reduction leaves, comes out
// 37.5 dB from its own resize of the whole picture here; ours 48 dB.)
TEST(ShrinkOnLoad, ExifTurnedPhotoFitsUpright) {
    const std::filesystem::path path = corpusFile("photos/exif-orientation/has-lens-info.jpg");
    Picture picture = decodeFile(path, {fit(50, 50)});
    EXPECT_EQ(sizeOf(picture.pixels), (PixelSize{51, 103}));
    EXPECT_EQ(picture.meta.fullWidth, 102u);
    EXPECT_EQ(picture.meta.fullHeight, 205u);
    resizeStage(fit(50, 50))(picture, {});
    EXPECT_EQ(sizeOf(picture.pixels), (PixelSize{25, 50}));
    SKIP_WITHOUT_VIPS();
    ScratchDir dir;
    EXPECT_GE(psnr(picture.pixels, vipsResize(path.string(), 50.0 / 205, dir)), 38.0);
}

// A photo 1365 pixels wide reduced by 2 ends in a half block. Turned half
// round (orientation 3) that block would come first, so it is decoded whole;
// turned a quarter (6) it stays last, and the reduction is kept.
TEST(ShrinkOnLoad, ATurnThatPutsAPartialBlockFirstKeepsTheExactPicture) {
    ScratchDir dir;
    struct Case {
        int orientation;
        PixelSize decoded;
        PixelSize resized;
    };
    for (const Case& c : {Case{3, {1365, 1074}, {200, 157}}, Case{6, {537, 683}, {157, 200}}}) {
        const std::string path = dir.file("turned" + std::to_string(c.orientation) + ".jpg");
        test::writeBytes(path,
                         test::readBytes(corpusFile("photos/camera/Picture_1A_by_freespace.jpg")));
        std::string output;
        ASSERT_EQ(runCommand({"exiftool", "-q", "-overwrite_original", "-n",
                              "-Orientation=" + std::to_string(c.orientation), path},
                             &output),
                  0)
            << output;
        Picture picture = decodeFile(path, {fit(200, 200)});
        EXPECT_EQ(sizeOf(picture.pixels), c.decoded) << c.orientation;
        resizeStage(fit(200, 200))(picture, {});
        EXPECT_EQ(sizeOf(picture.pixels), c.resized) << c.orientation;
        if (haveVips()) {
            EXPECT_GE(psnr(picture.pixels, vipsResize(path, 200.0 / 1365, dir)), 38.0)
                << c.orientation;
        }
    }
}

// ---------------------------------------------------------------------------
// Transparency

// A photo cut out on a transparent field: the semi-transparent pixels at its
// edge keep the colour ImageMagick's Lanczos gives them (which weights colour
// by alpha): no dark fringe.
TEST(ResizeAlpha, EdgesOfACutOutKeepTheirColour) {
    const std::filesystem::path path = corpusFile("webp/x-image/yellow_rose.lossy-with-alpha.webp");
    const Picture ours = resizedPhoto(path, fit(100, 100));
    ScratchDir dir;
    const std::string out = dir.file("magick.png");
    std::string output;
    ASSERT_EQ(
        runCommand({"convert", path.string(), "-filter", "Lanczos", "-resize", "100x100", out},
                   &output),
        0)
        << output;
    const Raster magick = decodeFile(out).pixels;
    ASSERT_EQ(sizeOf(ours.pixels), sizeOf(magick));
    EXPECT_TRUE(test::validPremultiplied(ours.pixels));
    EXPECT_GE(psnr(ours.pixels, magick, 4), 35.0);

    // Unpremultiplied brightness of the edge pixels, ours against ImageMagick's.
    double oursSum = 0, magickSum = 0;
    int edge = 0;
    for (std::uint32_t y = 0; y < magick.height(); ++y) {
        for (std::uint32_t x = 0; x < magick.width(); ++x) {
            const std::uint8_t* p = ours.pixels.row(y) + x * 4;
            const std::uint8_t* q = magick.row(y) + x * 4;
            if (p[kAlpha] < 64 || p[kAlpha] > 192 || q[kAlpha] < 64 || q[kAlpha] > 192) {
                continue;
            }
            ++edge;
            for (int c = 0; c < 3; ++c) {
                oursSum += 255.0 * p[c] / p[kAlpha];
                magickSum += 255.0 * q[c] / q[kAlpha];
            }
        }
    }
    ASSERT_GT(edge, 20);
    EXPECT_NEAR(oursSum / (3 * edge), magickSum / (3 * edge), 6.0);
}

}  // namespace
}  // namespace imbrix::imaging
