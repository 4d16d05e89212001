// "-resize G": the converter front gives every output the size the program's own
// encoders give (imaging::resizeTarget of the upright picture), with the
// program's own kind of resampling, animations frame by frame.
#include <cctype>
#include <cmath>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "imaging/raster.h"
#include "imaging/resize.h"
#include "magick/magick_support.h"
#include "tools/magick/request.h"

namespace imbrix::test {
namespace {

namespace fs = std::filesystem;
using imaging::ResizeMode;
using imaging::ResizeOptions;

// --- The command lines ------------------------------------------------------------

struct ParsedCase {
    const char* label;
    std::vector<std::string> args;
    magick::Mode mode;
    ResizeOptions resize;
    bool grayscale;
    bool strip;
};

void PrintTo(const ParsedCase& c, std::ostream* os) {
    *os << c.label;
}

constexpr ResizeOptions fit(std::uint32_t w, std::uint32_t h, bool enlarge) {
    return {ResizeMode::Fit, w, h, 0, 0, enlarge};
}
constexpr ResizeOptions percent(std::uint32_t p, bool enlarge) {
    return {ResizeMode::Percent, 0, 0, 0, p, enlarge};
}

const std::vector<ParsedCase> kParsed{
    {"write_without_resize",
     {"in.jpg", "-auto-orient", "-quality", "80", "out.avif"},
     magick::Mode::Write,
     {},
     false,
     false},
    {"write_fit",
     {"in.jpg", "-auto-orient", "-resize", "800x600>", "-quality", "80", "out.avif"},
     magick::Mode::Write,
     fit(800, 600, false),
     false,
     false},
    {"write_every_option",
     {"in.jpg", "-auto-orient", "-resize", "50%", "-colorspace", "Gray", "-quality", "80",
      "+profile", "!icc,*", "out.PDF"},
     magick::Mode::Write,
     percent(50, true),
     true,
     true},
    {"write_long_side_reads_as_fit",
     {"in.jpg", "-auto-orient", "-resize", "1024x1024", "-quality", "1", "+profile", "!icc,*",
      "out.ico"},
     magick::Mode::Write,
     fit(1024, 1024, true),
     false,
     true},
    {"animate_resized",
     {"in.gif", "-auto-orient", "-coalesce", "-resize", "320x200>", "out.webp"},
     magick::Mode::Animate,
     fit(320, 200, false),
     false,
     false},
    {"animate_every_option",
     {"-colorspace", "gray", "in.gif", "-auto-orient", "-coalesce", "-resize", "1000%>", "+profile",
      "!icc,*", "out.webp"},
     magick::Mode::Animate,
     percent(1000, false),
     true,
     true},
};

class ResizeCommandLineTest : public ::testing::TestWithParam<ParsedCase> {};

TEST_P(ResizeCommandLineTest, ReadsEveryOption) {
    const ParsedCase& c = GetParam();
    const auto request = magick::parseRequest(c.args);
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->mode, c.mode);
    EXPECT_EQ(request->resize, c.resize);
    EXPECT_EQ(request->grayscale, c.grayscale);
    EXPECT_EQ(request->stripMetadata, c.strip);
    EXPECT_EQ(request->input, c.args[c.args[0] == "-colorspace" ? 2 : 0]);
    EXPECT_EQ(request->output, c.args.back());
}

INSTANTIATE_TEST_SUITE_P(Forms, ResizeCommandLineTest, ::testing::ValuesIn(kParsed),
                         [](const auto& p) { return std::string(p.param.label); });

// Whatever the program does not write is refused (the runs of the built
// program over such lines are in magick_failure_test.cpp).
TEST(ResizeCommandLineRefusal, RefusesOtherGeometriesAndPlaces) {
    const std::vector<std::vector<std::string>> refused{
        {"in", "-auto-orient", "-resize", "0x10>", "-quality", "80", "out.gif"},
        {"in", "-auto-orient", "-resize", "10x", "-quality", "80", "out.gif"},
        {"in", "-auto-orient", "-resize", "x10", "-quality", "80", "out.gif"},
        {"in", "-auto-orient", "-resize", "10x10<", "-quality", "80", "out.gif"},
        {"in", "-auto-orient", "-resize", "10x10^", "-quality", "80", "out.gif"},
        {"in", "-auto-orient", "-resize", "+10x10", "-quality", "80", "out.gif"},
        {"in", "-auto-orient", "-resize", "10.5x10", "-quality", "80", "out.gif"},
        {"in", "-auto-orient", "-resize", "65536x10", "-quality", "80", "out.gif"},
        {"in", "-auto-orient", "-resize", "1001%", "-quality", "80", "out.gif"},
        {"in", "-auto-orient", "-resize", "0%", "-quality", "80", "out.gif"},
        {"in", "-auto-orient", "-resize", "50%%", "-quality", "80", "out.gif"},
        {"in", "-auto-orient", "-resize", "-50%", "-quality", "80", "out.gif"},
        {"in", "-auto-orient", "-resize", "50", "-quality", "80", "out.gif"},
        {"in", "-auto-orient", "-resize", " 50%", "-quality", "80", "out.gif"},
        // Only right after -auto-orient (-quality forms) or -coalesce.
        {"in", "-auto-orient", "-colorspace", "Gray", "-resize", "50%", "-quality", "80",
         "out.gif"},
        {"in", "-resize", "50%", "-auto-orient", "-quality", "80", "out.gif"},
        {"in", "-auto-orient", "-quality", "80", "-resize", "50%", "out.gif"},
        {"in", "-auto-orient", "-quality", "80", "+profile", "!icc,*", "-resize", "50%", "out.gif"},
        {"in", "-auto-orient", "-resize", "50%", "-resize", "50%", "-quality", "80", "out.gif"},
        {"in", "-auto-orient", "-resize", "-quality", "80", "out.gif"},
        {"in", "-auto-orient", "-resize", "50%", "-coalesce", "out.webp"},
        {"-resize", "50%", "in", "-auto-orient", "-coalesce", "out.webp"},
        {"in", "-auto-orient", "-coalesce", "-resize", "out.webp"},
        // Not in the decoding forms, nor into PNG.
        {"in", "-resize", "50%", "out.png"},
        {"in", "-auto-orient", "-resize", "50%", "-quality", "80", "out.png"},
    };
    for (const auto& args : refused) {
        std::string line;
        for (const auto& word : args) {
            line += " " + word;
        }
        EXPECT_FALSE(magick::parseRequest(args).has_value()) << line;
    }
}

TEST(ResizeCommandLineRefusal, UsageNamesTheOption) {
    const std::string usage = magick::usageText();
    EXPECT_NE(usage.find("-auto-orient [-resize G] [-colorspace Gray] -quality N"),
              std::string::npos);
    EXPECT_NE(usage.find("-coalesce [-resize G]"), std::string::npos);
}

// --- Sizes and pictures -----------------------------------------------------------

// A camera photo, 2572 x 1740, no orientation tag.
fs::path cameraPhoto() {
    return corpusDir() / "photos" / "camera" / "Picture_0B_by_freespace.jpg";
}
// A photo stored sideways (640 x 428) with EXIF orientation 6: upright 428 x 640.
fs::path sidewaysPhoto() {
    return corpusDir() / "photos" / "exif-orientation" / "bug725582-testrotate.jpg";
}
// A small photo, 50 x 70, no orientation.
fs::path smallPhoto() {
    return corpusDir() / "photos" / "exif-orientation" / "orientation_0.jpg";
}

// A picture turned upright and decoded at full size by ImageMagick, read once
// for all the cases that use it.
const Picture& uprightPicture(const fs::path& source) {
    static std::map<fs::path, Picture> read;
    const auto known = read.find(source);
    if (known != read.end()) {
        return known->second;
    }
    const ScratchDir work;
    const fs::path full = work.path() / "full.png";
    std::string output;
    if (runCommand({"/usr/bin/convert", source.string() + "[0]", "-auto-orient", "-define",
                    "png:compression-level=0", "png32:" + full.string()},
                   &output) != 0) {
        ADD_FAILURE() << "ImageMagick cannot read " << source << ": " << output;
    }
    return read[source] = loadPng(full);
}

// The program's own resize (imaging::resample) of `source`, upright and at full
// size, to width x height.
Picture programResize(const fs::path& source, int width, int height) {
    const Picture& picture = uprightPicture(source);
    if (picture.empty()) {
        return {};
    }
    imaging::Raster raster(static_cast<std::uint32_t>(picture.width),
                           static_cast<std::uint32_t>(picture.height));
    raster.premultiplied = false;
    for (int y = 0; y < picture.height; ++y) {
        std::uint8_t* row = raster.row(static_cast<std::uint32_t>(y));
        for (int x = 0; x < picture.width; ++x) {
            const std::uint8_t* px = &picture.rgba[(static_cast<std::size_t>(y) * picture.width +
                                                    static_cast<std::size_t>(x)) *
                                                   4];
            row[x * 4 + imaging::kRed] = px[0];
            row[x * 4 + imaging::kGreen] = px[1];
            row[x * 4 + imaging::kBlue] = px[2];
            row[x * 4 + imaging::kAlpha] = px[3];
        }
    }
    imaging::Raster resized = imaging::resample(raster, static_cast<std::uint32_t>(width),
                                                static_cast<std::uint32_t>(height));
    imaging::unpremultiply(resized);
    Picture result;
    result.width = width;
    result.height = height;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = resized.row(static_cast<std::uint32_t>(y));
        for (int x = 0; x < width; ++x) {
            result.rgba.insert(result.rgba.end(),
                               {row[x * 4 + imaging::kRed], row[x * 4 + imaging::kGreen],
                                row[x * 4 + imaging::kBlue], row[x * 4 + imaging::kAlpha]});
        }
    }
    return result;
}

struct SizeCase {
    const char* label;
    fs::path (*source)();
    std::string extension;
    std::string geometry;
    int width;
    int height;
    /// Largest mean difference per channel from the program's own resize (which
    /// decodes at full size: libjpeg's reduced decoding and lossy coding add to it;
    /// nearest-pixel sampling comes to 5 and more).
    double tolerance;
};

void PrintTo(const SizeCase& c, std::ostream* os) {
    *os << c.label;
}

// The sizes as imaging::resizeTarget gives them: the constraining side exact,
// the other rounded half up. The camera photo is 2572 x 1740.
const std::vector<SizeCase> kSizes{
    // 2572 / 64 = 40.19 is the larger ratio: 1740 / 40.19 = 43.3.
    {"avif_fit", cameraPhoto, "avif", "64x64>", 64, 43, 6},
    {"jxl_fit", cameraPhoto, "jxl", "80x80>", 80, 54, 6},
    // 128.6 x 87.
    {"psd_percent", cameraPhoto, "psd", "5%>", 129, 87, 2},
    // The height constrains: 1740 / 100 = 17.4, 2572 / 17.4 = 147.8.
    {"svg_fit_by_height", cameraPhoto, "svg", "150x100>", 148, 100, 2},
    {"tga_percent", cameraPhoto, "tga", "10%", 257, 174, 1},
    {"jp2_fit", cameraPhoto, "jp2", "96x96>", 96, 65, 6},
    {"pdf_fit", cameraPhoto, "pdf", "120x120>", 120, 81, 6},
    {"bmp_fit", cameraPhoto, "bmp", "300x200", 296, 200, 1},
    // 180.04 x 121.8; the palette of 256 colours costs a few steps.
    {"gif_percent", cameraPhoto, "gif", "7%>", 180, 122, 6},
    // 1000 x 677 fits no icon: then 256 x 256 is the box.
    {"ico_fit_then_icon_box", cameraPhoto, "ico", "1000x1000>", 256, 173, 1},
    // A still picture through the animation form.
    {"webp_still_fit", cameraPhoto, "webp", "200x200>", 200, 135, 6},
    // The sideways photo fits the box upright: 428 x 640 into 100 x 100.
    {"bmp_upright", sidewaysPhoto, "bmp", "100x100>", 67, 100, 1},
    {"jp2_upright", sidewaysPhoto, "jp2", "100x100>", 67, 100, 6},
    {"pdf_upright", sidewaysPhoto, "pdf", "100x100>", 67, 100, 6},
    {"svg_upright", sidewaysPhoto, "svg", "100x100>", 67, 100, 1},
    {"webp_upright", sidewaysPhoto, "webp", "100x100>", 67, 100, 6},
    // Enlarging only when the geometry has no '>'.
    {"tga_not_enlarged", smallPhoto, "tga", "100x100>", 50, 70, 0.5},
    {"bmp_enlarged", smallPhoto, "bmp", "100x100", 71, 100, 0.5},
    // 500 x 700, then into the icon's box.
    {"ico_enlarged_then_icon_box", smallPhoto, "ico", "1000%", 183, 256, 0.5},
};

class ResizedOutputTest : public MagickTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(ResizedOutputTest, HasTheProgramsSizeAndPicture) {
    const SizeCase& c = GetParam();
    const fs::path source = c.source();
    const std::string out = file("resized." + c.extension);
    const RunResult run =
        c.extension == "webp"
            ? runMagick({source.string(), "-auto-orient", "-coalesce", "-resize", c.geometry, out})
            : runMagick(
                  {source.string(), "-auto-orient", "-resize", c.geometry, "-quality", "90", out});
    ASSERT_EQ(run.status, 0) << run.output;
    const Picture picture = readOutput(out, c.extension, dir());
    ASSERT_FALSE(picture.empty());
    EXPECT_EQ(picture.width, c.width);
    EXPECT_EQ(picture.height, c.height);
    const Picture expected = programResize(source, c.width, c.height);
    EXPECT_LE(picture.meanDifference(expected), c.tolerance)
        << "turned, mirrored, recoloured or resampled otherwise";
}

INSTANTIATE_TEST_SUITE_P(EveryFormat, ResizedOutputTest, ::testing::ValuesIn(kSizes),
                         [](const auto& p) { return std::string(p.param.label); });

// The page of a PDF follows the resized picture: same resolution, fewer pixels.
TEST_F(ResizedOutputTest, PdfPageFollowsThePicture) {
    const std::string full = file("full.pdf");
    const std::string half = file("half.pdf");
    ASSERT_EQ(runMagick({cameraPhoto().string(), "-auto-orient", "-quality", "50", full}).status,
              0);
    ASSERT_EQ(runMagick({cameraPhoto().string(), "-auto-orient", "-resize", "50%", "-quality", "50",
                         half})
                  .status,
              0);
    auto pageSize = [](const std::string& pdf) {
        std::string info;
        EXPECT_EQ(runCommand({"/usr/bin/pdfinfo", pdf}, &info), 0) << info;
        double width = 0;
        double height = 0;
        const auto at = info.find("Page size:");
        if (at != std::string::npos) {
            std::sscanf(info.c_str() + at, "Page size: %lf x %lf", &width, &height);
        }
        return std::pair{width, height};
    };
    const auto [fullWidth, fullHeight] = pageSize(full);
    const auto [halfWidth, halfHeight] = pageSize(half);
    ASSERT_GT(fullWidth, 0);
    EXPECT_NEAR(halfWidth, fullWidth / 2, 1.0);
    EXPECT_NEAR(halfHeight, fullHeight / 2, 1.0);
}

// Gray and without metadata, resized: every option of the line at once.
TEST_F(ResizedOutputTest, GrayAndStrippedTogether) {
    const std::string out = file("gray.jxl");
    const RunResult run =
        runMagick({cameraPhoto().string(), "-auto-orient", "-resize", "64x64>", "-colorspace",
                   "Gray", "-quality", "80", "+profile", "!icc,*", out});
    ASSERT_EQ(run.status, 0) << run.output;
    const Picture picture = readOutput(out, "jxl", dir());
    EXPECT_EQ(picture.width, 64);
    EXPECT_EQ(picture.height, 43);
    EXPECT_LE(picture.maxChroma(), 4);
}

// A resize past the limits of a picture is refused before any work, and nothing
// is written.
TEST_F(ResizedOutputTest, RefusesAHugeResult) {
    const std::string out = file("huge.bmp");
    const RunResult run = runMagick(
        {cameraPhoto().string(), "-auto-orient", "-resize", "1000%", "-quality", "80", out});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(
        run.lastLine().find("cannot write " + out +
                            ": the resized picture would be too large (25720 x 17400 pixels)"),
        std::string::npos)
        << run.output;
    EXPECT_FALSE(fs::exists(out));
}

// --- Reduced decoding of JPEG ------------------------------------------------------

// libjpeg draws a big photo smaller right away, yet leaves the resampler at least
// twice the target on both sides. A stand-in for ImageMagick logs its arguments.
struct ReductionCase {
    const char* label;
    fs::path (*source)();
    std::string geometry;
    int width;  ///< the target, upright
    int height;
    bool reduced;  ///< whether a smaller decoding fits the rule at all
};

void PrintTo(const ReductionCase& c, std::ostream* os) {
    *os << c.label;
}

class JpegReductionTest : public MagickTest, public ::testing::WithParamInterface<ReductionCase> {};

TEST_P(JpegReductionTest, KeepsTwiceTheTarget) {
    // The helpers' route, which some formats here no longer take by default.
    const ScopedEnv helpersOnly("IMBRIX_MAGICK_IN_PROCESS", "0");
    const ReductionCase& c = GetParam();
    const fs::path log = dir() / "convert-args";
    const ScopedEnv env(
        "IMBRIX_MAGICK_CONVERT",
        writeScript(dir() / "logging-convert", "printf '%s\\n' \"$@\" >> '" + log.string() +
                                                   "'\nexec /usr/bin/convert \"$@\"\n"));
    const std::string out = file("reduced.bmp");
    const RunResult run = runMagick(
        {c.source().string(), "-auto-orient", "-resize", c.geometry, "-quality", "80", out});
    ASSERT_EQ(run.status, 0) << run.output;
    const Picture picture = readOutput(out, "bmp", dir());
    EXPECT_EQ(picture.width, c.width);
    EXPECT_EQ(picture.height, c.height);

    std::ifstream in(log);
    std::optional<std::string> size;
    for (std::string word; std::getline(in, word);) {
        if (word.rfind("jpeg:size=", 0) == 0) {
            size = word.substr(10);
        }
    }
    ASSERT_EQ(size.has_value(), c.reduced);
    if (!size) {
        return;
    }
    // The size libjpeg really decodes at with that hint, stored sideways or not.
    std::string decoded;
    ASSERT_EQ(
        runCommand({"/usr/bin/convert", "-define", "jpeg:size=" + *size,
                    "jpeg:" + c.source().string(), "-auto-orient", "-format", "%w %h", "info:"},
                   &decoded),
        0)
        << decoded;
    int width = 0;
    int height = 0;
    std::istringstream(decoded) >> width >> height;
    std::string full;
    ASSERT_EQ(runCommand({"/usr/bin/convert", c.source().string(), "-auto-orient", "-format",
                          "%w %h", "info:"},
                         &full),
              0);
    int fullWidth = 0;
    int fullHeight = 0;
    std::istringstream(full) >> fullWidth >> fullHeight;
    EXPECT_GE(width, 2 * c.width) << decoded;
    EXPECT_GE(height, 2 * c.height) << decoded;
    // libjpeg draws a side of n pixels at 1 / k as ceil(n / k) pixels.
    const int scale = (fullWidth + width - 1) / width;
    EXPECT_TRUE(scale == 2 || scale == 4 || scale == 8) << decoded << " of " << full;
    if (scale < 8) {
        // The next smaller scale would leave less than twice the target.
        const int next = 2 * scale;
        EXPECT_TRUE((fullWidth + next - 1) / next < 2 * c.width ||
                    (fullHeight + next - 1) / next < 2 * c.height)
            << "decoded at " << decoded << " when 1/" << next << " would do";
    }
}

INSTANTIATE_TEST_SUITE_P(Photos, JpegReductionTest,
                         ::testing::Values(
                             // 2572 x 1740 by 8: 322 x 218, twice 64 x 43 and more.
                             ReductionCase{"eighth", cameraPhoto, "64x64>", 64, 43, true},
                             // By 4 (643 x 435) for 300 x 203; by 8 would leave 322 < 600.
                             ReductionCase{"quarter", cameraPhoto, "300x300>", 300, 203, true},
                             // Upright 428 x 640 to 67 x 100: by 2 (214 x 320).
                             ReductionCase{"sideways_half", sidewaysPhoto, "100x100>", 67, 100,
                                           true},
                             // Half the size: no reduction leaves twice that.
                             ReductionCase{"none_for_half", cameraPhoto, "50%", 1286, 870, false}),
                         [](const auto& p) { return std::string(p.param.label); });

// --- Transparency -----------------------------------------------------------------

// Shapes on a transparent background whose hidden colour is black: resampling
// that does not weigh pixels by their opacity darkens the edges.
class TransparentEdgeTest : public MagickTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(TransparentEdgeTest, NoDarkFringe) {
    const std::string extension = GetParam();
    const std::string source = file("shapes.png");
    ASSERT_EQ(runCommand({"/usr/bin/convert", "-size", "240x160", "xc:none", "-fill", "#ff2000",
                          "-draw", "circle 80,60 80,10", "-fill", "#20ff00", "-draw",
                          "rectangle 150,100 220,150", "png32:" + source}),
              0);
    const std::string out = file("shapes." + extension);
    const RunResult run =
        extension == "webp"
            ? runMagick({source, "-auto-orient", "-coalesce", "-resize", "37%", out})
            : runMagick({source, "-auto-orient", "-resize", "37%", "-quality", "90", out});
    ASSERT_EQ(run.status, 0) << run.output;
    const Picture picture =
        extension == "ico" ? readWithImageMagick(out, dir()) : readOutput(out, extension, dir());
    ASSERT_EQ(picture.width, 89);  // 88.8 x 59.2
    ASSERT_EQ(picture.height, 59);
    int visible = 0;
    int clear = 0;
    int dark = 0;
    for (std::size_t i = 0; i < picture.rgba.size(); i += 4) {
        const int alpha = picture.rgba[i + 3];
        const int brightest = std::max(picture.rgba[i], picture.rgba[i + 1]);
        if (alpha >= 64) {
            ++visible;
            // Red or green at full strength, in any blend with the other (PDF:
            // with white), never darker.
            dark += brightest < 200;
        } else {
            ++clear;
        }
    }
    EXPECT_GT(visible, 0);
    if (extension != "pdf") {
        EXPECT_GT(clear, 0) << "the transparency is lost";
    }
    EXPECT_EQ(dark, 0) << "of " << visible << " visible pixels";
}

INSTANTIATE_TEST_SUITE_P(FormatsWithAlphaAndPdf, TransparentEdgeTest,
                         ::testing::Values("psd", "svg", "tga", "ico", "gif", "webp", "pdf"));

// --- Animations -------------------------------------------------------------------

// Each frame of an animation as a whole picture (ImageMagick puts them together),
// as PNG files `prefix`-0.png, ... Returns how many.
int coalescedFrames(const std::vector<std::string>& readArgs, const fs::path& prefix) {
    std::vector<std::string> argv{"/usr/bin/convert"};
    argv.insert(argv.end(), readArgs.begin(), readArgs.end());
    argv.push_back("png32:" + prefix.string() + "-%d.png");
    std::string output;
    EXPECT_EQ(runCommand(argv, &output), 0) << output;
    int frames = 0;
    while (fs::exists(prefix.string() + "-" + std::to_string(frames) + ".png")) {
        ++frames;
    }
    return frames;
}

// Delays of a GIF's or WEBP's frames (ImageMagick's hundredths of a second).
std::vector<int> delays(const std::string& file) {
    std::string text;
    EXPECT_EQ(runCommand({"/usr/bin/identify", "-format", "%T\n", file}, &text), 0) << text;
    std::vector<int> values;
    std::istringstream lines(text);
    for (int delay = 0; lines >> delay;) {
        values.push_back(delay);
    }
    return values;
}

struct AnimationCase {
    const char* label;
    std::string extension;
    bool grayscale;
};

void PrintTo(const AnimationCase& c, std::ostream* os) {
    *os << c.label;
}

class ResizedAnimationTest : public MagickTest,
                             public ::testing::WithParamInterface<AnimationCase> {};

// traffic_light.gif: 60 x 105, four frames, three of them smaller than the
// screen and placed on it. Resized by half: 30 x 52.5, so 30 x 53.
TEST_P(ResizedAnimationTest, EveryFrameWholeAtTheTargetSize) {
    const AnimationCase& c = GetParam();
    const std::string source = (corpusDir() / "gif" / "animated" / "traffic_light.gif").string();
    const std::string out = file("lights." + c.extension);
    std::vector<std::string> args;
    if (c.extension == "webp") {
        if (c.grayscale) {
            args = {"-colorspace", "Gray"};
        }
        args.insert(args.end(), {source, "-auto-orient", "-coalesce", "-resize", "50%>", out});
    } else {
        args = {source, "-auto-orient", "-resize", "50%>"};
        if (c.grayscale) {
            args.insert(args.end(), {"-colorspace", "Gray"});
        }
        args.insert(args.end(), {"-quality", "80", out});
    }
    const RunResult run = runMagick(args);
    ASSERT_EQ(run.status, 0) << run.output;

    std::string canvas;
    ASSERT_EQ(runCommand({"/usr/bin/identify", "-format", "%W %H\n", out + "[0]"}, &canvas), 0);
    EXPECT_EQ(canvas, "30 53\n");
    EXPECT_EQ(delays(out), delays(source));

    const int expected = coalescedFrames(
        {source, "-coalesce", "-filter", "Lanczos", "-resize", "30x53!"}, dir() / "expected");
    const int written = coalescedFrames({out, "-coalesce"}, dir() / "written");
    ASSERT_EQ(expected, 4);
    ASSERT_EQ(written, expected);
    for (int i = 0; i < written; ++i) {
        const Picture want = loadPng(dir() / ("expected-" + std::to_string(i) + ".png"));
        const Picture got = loadPng(dir() / ("written-" + std::to_string(i) + ".png"));
        ASSERT_EQ(got.width, 30);
        ASSERT_EQ(got.height, 53);
        if (c.grayscale) {
            EXPECT_LE(got.maxChroma(), 4) << "frame " << i;
        } else {
            // A frame drawn at the wrong size or place differs by tens.
            EXPECT_LE(got.meanDifference(want), 4.0) << "frame " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(GifSources, ResizedAnimationTest,
                         ::testing::Values(AnimationCase{"webp", "webp", false},
                                           AnimationCase{"webp_gray", "webp", true},
                                           AnimationCase{"gif", "gif", false}),
                         [](const auto& p) { return std::string(p.param.label); });

}  // namespace
}  // namespace imbrix::test
