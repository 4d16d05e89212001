// The converter front writes every output format it is asked for, for real: the
// right signature, a picture another reader opens at the right size, upright,
// gray when asked, animation frames kept.
#include <cctype>
#include <sstream>
#include <string>
#include <vector>

#include "magick/magick_support.h"

namespace imbrix::test {
namespace {

namespace fs = std::filesystem;

// A camera photo stored sideways (640 x 428) with EXIF orientation 6: upright it is 428 x 640.
fs::path sidewaysPhoto() {
    return corpusDir() / "photos" / "exif-orientation" / "bug725582-testrotate.jpg";
}

struct FormatCase {
    std::string extension;
    std::size_t magicOffset;
    std::string magic;
    int width;
    int height;
};

void PrintTo(const FormatCase& c, std::ostream* os) {
    *os << c.extension;
}

using namespace std::string_literals;

const std::vector<FormatCase> kFormats{
    {"avif", 4, "ftypavif", 428, 640},
    {"psd", 0, "8BPS", 428, 640},
    {"svg", 0, "<?xml", 428, 640},
    // TGA has no signature: colour map type 0 and the size, little-endian, at byte 12.
    {"tga", 12, "\xac\x01\x80\x02", 428, 640},
    // The photo's EXIF goes into a box: the codestream is in the container.
    {"jxl", 0, "\0\0\0\x0cJXL \r\n\x87\n"s, 428, 640},
    {"jp2", 0, "\0\0\0\x0cjP  \r\n\x87\n"s, 428, 640},
    {"pdf", 0, "%PDF-", 428, 640},
    {"bmp", 0, "BM", 428, 640},
    {"gif", 0, "GIF89a", 428, 640},
    // An icon holds at most 256 x 256: the upright photo shrinks to 171 x 256.
    {"ico", 0, "\0\0\1\0"s, 171, 256},
};

class OutputFormatTest : public MagickTest,
                         public ::testing::WithParamInterface<std::tuple<FormatCase, bool>> {};

TEST_P(OutputFormatTest, WritesUprightPictureInTheFormat) {
    const auto& [format, grayscale] = GetParam();
    const std::string out = file("photo." + format.extension);
    std::vector<std::string> args{sidewaysPhoto().string(), "-auto-orient"};
    if (grayscale) {
        args.insert(args.end(), {"-colorspace", "Gray"});
    }
    args.insert(args.end(), {"-quality", "85", out});

    const RunResult run = runMagick(args);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(headBytes(out, format.magicOffset + format.magic.size()).substr(format.magicOffset),
              format.magic);
    const Picture picture = readOutput(out, format.extension, dir());
    ASSERT_FALSE(picture.empty());
    EXPECT_EQ(picture.width, format.width);
    EXPECT_EQ(picture.height, format.height);
    if (grayscale) {
        // Lossy coders may round a channel by a step or two.
        EXPECT_LE(picture.maxChroma(), 4);
    } else {
        EXPECT_GT(picture.maxChroma(), 40) << "the colours are lost";
    }
}

INSTANTIATE_TEST_SUITE_P(EveryFormat, OutputFormatTest,
                         ::testing::Combine(::testing::ValuesIn(kFormats), ::testing::Bool()),
                         [](const auto& p) {
                             return std::get<0>(p.param).extension +
                                    (std::get<1>(p.param) ? "_gray" : "_colour");
                         });

// Sources whose pixels are stored in the less common ways (a palette, 4-bit
// gray, 16 bits a sample) reach every format with their picture. None of them
// names a gamma or colour space, which ImageMagick would apply.
class SampleLayoutTest
    : public MagickTest,
      public ::testing::WithParamInterface<std::tuple<std::string, std::string>> {};

TEST_P(SampleLayoutTest, KeepsThePicture) {
    const auto& [source, extension] = GetParam();
    const fs::path png = corpusDir() / source;
    const std::string out = file("layout." + extension);
    const RunResult run = runMagick({png.string(), "-auto-orient", "-quality", "90", out});
    ASSERT_EQ(run.status, 0) << run.output;
    const Picture picture = readOutput(out, extension, dir());
    const Picture original = loadPng(png);
    ASSERT_FALSE(picture.empty());
    // Lossy coders at quality 90.
    const bool lossy =
        extension == "avif" || extension == "jxl" || extension == "jp2" || extension == "pdf";
    EXPECT_LE(picture.meanDifference(original), lossy ? 6.0 : 1.0);
}

INSTANTIATE_TEST_SUITE_P(
    EveryFormat, SampleLayoutTest,
    ::testing::Combine(
        ::testing::Values("tga/gdk-pixbuf-reftests/gtk-logo-cmap.ref.png", "pngsuite/f99n0g04.png",
                          "png-misc/skimage/chessboard_RGB.png"),
        ::testing::Values("avif", "psd", "svg", "tga", "jxl", "jp2", "pdf", "bmp", "gif", "ico")),
    [](const auto& p) {
        const std::string source = std::get<0>(p.param);
        const std::string kind = source.find("cmap") != std::string::npos  ? "palette"
                                 : source.find("g04") != std::string::npos ? "gray4"
                                                                           : "rgb16";
        return kind + "_" + std::get<1>(p.param);
    });

// Transparency survives in every format that holds it; PDF shows the picture on
// white. The source's transparency runs from clear to opaque.
class TransparencyTest : public MagickTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(TransparencyTest, KeepsTheTransparentParts) {
    const std::string extension = GetParam();
    const fs::path source = corpusDir() / "pngsuite" / "basn6a08.png";
    const Picture original = loadPng(source);
    const std::string out = file("clear." + extension);
    const RunResult run = runMagick({source.string(), "-auto-orient", "-quality", "90", out});
    ASSERT_EQ(run.status, 0) << run.output;
    const Picture picture =
        extension == "ico" ? readWithImageMagick(out, dir()) : readOutput(out, extension, dir());
    ASSERT_EQ(picture.width, original.width);
    ASSERT_EQ(picture.height, original.height);

    int wrong = 0;
    double alphaDifference = 0;
    for (std::size_t i = 0; i < original.rgba.size(); i += 4) {
        const int before = original.rgba[i + 3];
        const int after = picture.rgba[i + 3];
        alphaDifference += std::abs(before - after);
        if (extension == "pdf") {
            // Clear parts become white; the page has no transparency.
            const bool white =
                picture.rgba[i] > 240 && picture.rgba[i + 1] > 240 && picture.rgba[i + 2] > 240;
            wrong += after != 255 || (before == 0 && !white);
        } else if (extension == "gif") {
            // One transparent colour: clear or opaque, split at half.
            wrong += (before < 96 && after != 0) || (before > 160 && after != 255);
        }
    }
    EXPECT_EQ(wrong, 0);
    if (extension != "pdf" && extension != "gif") {
        EXPECT_LE(alphaDifference / (original.rgba.size() / 4), 3.0);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryFormat, TransparencyTest,
                         ::testing::Values("avif", "psd", "svg", "tga", "jxl", "jp2", "pdf", "bmp",
                                           "gif", "ico"));

// ImageMagick's warnings may hold any word. A stand-in that does the work, then
// warns with "true" in the text (as ImageMagick's warnings come after its other
// output), changes nothing the front decides about the picture: a transparent
// source stays transparent in every format whose route asks ImageMagick whether
// the picture is opaque.
class WarningWordsTest : public MagickTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(WarningWordsTest, DoNotChangeTheTransparency) {
    // The helpers' route, which some formats here no longer take by default.
    const ScopedEnv helpersOnly("IMBRIX_MAGICK_IN_PROCESS", "0");
    const std::string extension = GetParam();
    const fs::path warned = dir() / "warned";
    const ScopedEnv env("IMBRIX_MAGICK_CONVERT",
                        writeScript(dir() / "warning-convert",
                                    "/usr/bin/convert \"$@\"\n"
                                    "status=$?\n"
                                    "echo 'convert: profile option ignored (opaque: true) @ "
                                    "warning/x.c/Y/1.' >&2\n"
                                    "echo warned >> \"" +
                                        warned.string() +
                                        "\"\n"
                                        "exit $status\n"));
    const fs::path source = corpusDir() / "pngsuite" / "basn6a08.png";
    const Picture original = loadPng(source);
    const std::string out = file("clear." + extension);
    const RunResult run = runMagick({source.string(), "-auto-orient", "-quality", "90", out});
    ASSERT_EQ(run.status, 0) << run.output;
    ASSERT_TRUE(fs::exists(warned)) << "the stand-in ran";
    const Picture picture = readOutput(out, extension, dir());
    ASSERT_EQ(picture.width, original.width);
    ASSERT_EQ(picture.height, original.height);
    double alphaDifference = 0;
    int clear = 0;
    for (std::size_t i = 3; i < original.rgba.size(); i += 4) {
        alphaDifference += std::abs(original.rgba[i] - picture.rgba[i]);
        clear += picture.rgba[i] < 128;
    }
    EXPECT_GT(clear, 0);
    EXPECT_LE(alphaDifference / (original.rgba.size() / 4), 3.0);
}

INSTANTIATE_TEST_SUITE_P(OpaqueQuestion, WarningWordsTest, ::testing::Values("avif", "psd", "jp2"));

// Each orientation of the same small picture, EXIF-tagged, must come out like the
// untagged original, whatever route the format takes.
class OrientationTest : public MagickTest,
                        public ::testing::WithParamInterface<std::tuple<std::string, int>> {};

TEST_P(OrientationTest, ComesOutLikeTheUntaggedOriginal) {
    const auto& [extension, orientation] = GetParam();
    const fs::path folder = corpusDir() / "photos" / "exif-orientation";
    const fs::path referencePng = dir() / "reference.png";
    ASSERT_EQ(runCommand({"/usr/bin/convert", (folder / "orientation_0.jpg").string(),
                          "png:" + referencePng.string()}),
              0);
    const Picture reference = loadPng(referencePng);

    const std::string source =
        (folder / ("orientation_" + std::to_string(orientation) + ".jpg")).string();
    const std::string out = file("oriented." + extension);
    const RunResult run = runMagick({source, "-auto-orient", "-quality", "95", out});
    ASSERT_EQ(run.status, 0) << run.output;
    const Picture picture = readOutput(out, extension, dir());
    ASSERT_EQ(picture.width, reference.width);
    ASSERT_EQ(picture.height, reference.height);
    // A turned or mirrored picture differs by far more than coding noise.
    EXPECT_LT(picture.meanDifference(reference), 12.0);
}

INSTANTIATE_TEST_SUITE_P(EveryRoute, OrientationTest,
                         ::testing::Combine(::testing::Values("avif", "psd", "svg", "tga", "jxl",
                                                              "jp2", "pdf", "bmp", "gif", "ico"),
                                            ::testing::Values(2, 3, 5, 6, 8)),
                         [](const auto& p) {
                             return std::get<0>(p.param) + "_orientation" +
                                    std::to_string(std::get<1>(p.param));
                         });

// Frame count and total running time in milliseconds of an animation.
struct Timing {
    int frames = 0;
    long totalMs = 0;
};

// Of a GIF, as ImageMagick reads it (delays in hundredths of a second).
Timing gifTiming(const std::string& gif) {
    std::string text;
    EXPECT_EQ(runCommand({"/usr/bin/identify", "-format", "%T\n", gif}, &text), 0) << text;
    Timing timing;
    std::istringstream lines(text);
    for (long delay = 0; lines >> delay;) {
        ++timing.frames;
        timing.totalMs += delay * 10;
    }
    return timing;
}

// Of a WEBP, as libwebp's webpmux lists it; a still picture has 1 frame and no time.
Timing webpTiming(const std::string& webp) {
    std::string info;
    EXPECT_EQ(runCommand({"/usr/bin/webpmux", "-info", webp}, &info), 0) << info;
    Timing timing;
    if (info.find("Number of frames") == std::string::npos) {
        timing.frames = 1;
        return timing;
    }
    // Frame rows: "  1:    60   105    no        0        0     3000 ...", the
    // seventh field being the duration.
    std::istringstream lines(info);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string number;
        fields >> number;
        if (number.size() < 2 || number.back() != ':' || !std::isdigit(number[0])) {
            continue;
        }
        std::string skip;
        long duration = 0;
        fields >> skip >> skip >> skip >> skip >> skip >> duration;
        ++timing.frames;
        timing.totalMs += duration;
    }
    return timing;
}

class AnimationTest : public MagickTest,
                      public ::testing::WithParamInterface<std::tuple<std::string, bool>> {};

TEST_P(AnimationTest, GifToWebpKeepsEveryFrame) {
    const auto& [name, grayscale] = GetParam();
    const std::string source = (corpusDir() / "gif" / name).string();
    const std::string out = file("frames.webp");
    const RunResult run =
        grayscale ? runMagick({"-colorspace", "Gray", source, "-auto-orient", "-coalesce", out})
                  : runMagick({source, "-auto-orient", "-coalesce", out});
    ASSERT_EQ(run.status, 0) << run.output;
    const std::string head = headBytes(out, 16);
    EXPECT_EQ(head.substr(0, 4), "RIFF");
    EXPECT_EQ(head.substr(8, 4), "WEBP");
    EXPECT_EQ(std::to_string(fs::file_size(out) - 8),
              std::to_string(static_cast<unsigned char>(head[4]) |
                             static_cast<unsigned char>(head[5]) << 8 |
                             static_cast<unsigned char>(head[6]) << 16 |
                             static_cast<unsigned char>(head[7]) << 24))
        << "the RIFF size must cover the whole file, nothing appended";

    const Timing expected = gifTiming(source);
    const Timing written = webpTiming(out);
    ASSERT_GT(expected.frames, 0);
    EXPECT_EQ(written.frames, expected.frames);
    if (expected.frames > 1) {
        EXPECT_EQ(written.totalMs, expected.totalMs);
    }
    const Picture first = readOutput(out, "webp", dir());
    ASSERT_FALSE(first.empty());
    if (grayscale) {
        EXPECT_LE(first.maxChroma(), 4);
    } else {
        EXPECT_GT(first.maxChroma(), 40);
    }
}

INSTANTIATE_TEST_SUITE_P(AnimatedAndStill, AnimationTest,
                         ::testing::Combine(::testing::Values("animated/traffic_light.gif",
                                                              "animated/test-animation.gif",
                                                              "still/cat.gif"),
                                            ::testing::Bool()),
                         [](const auto& p) {
                             std::string name = fs::path(std::get<0>(p.param)).stem().string();
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) {
                                     c = '_';
                                 }
                             }
                             return name + (std::get<1>(p.param) ? "_gray" : "_colour");
                         });

class GifOutputTest : public MagickTest {};

TEST_F(GifOutputTest, AnimatedSourceKeepsEveryFrame) {
    const std::string source = (corpusDir() / "gif" / "animated" / "traffic_light.gif").string();
    const std::string out = file("frames.gif");
    const RunResult run = runMagick({source, "-auto-orient", "-quality", "80", out});
    ASSERT_EQ(run.status, 0) << run.output;
    const Timing expected = gifTiming(source);
    const Timing written = gifTiming(out);
    EXPECT_GT(expected.frames, 1);
    EXPECT_EQ(written.frames, expected.frames);
    EXPECT_EQ(written.totalMs, expected.totalMs);
}

// The quality reaches the lossy coders: a lower one gives a smaller file of the
// same picture.
class QualityTest : public MagickTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(QualityTest, LowerQualityGivesSmallerFile) {
    const std::string extension = GetParam();
    std::uintmax_t sizes[2] = {0, 0};
    const char* qualities[2] = {"20", "90"};
    for (int i = 0; i < 2; ++i) {
        const std::string out = file(std::string("q") + qualities[i] + "." + extension);
        const RunResult run =
            runMagick({sidewaysPhoto().string(), "-auto-orient", "-quality", qualities[i], out});
        ASSERT_EQ(run.status, 0) << run.output;
        const Picture picture = readOutput(out, extension, dir());
        EXPECT_EQ(picture.width, 428);
        EXPECT_EQ(picture.height, 640);
        sizes[i] = fs::file_size(out);
    }
    EXPECT_LT(sizes[0] * 3 / 2, sizes[1]) << "quality 20: " << sizes[0] << ", 90: " << sizes[1];
}

INSTANTIATE_TEST_SUITE_P(LossyFormats, QualityTest, ::testing::Values("avif", "jxl", "jp2", "pdf"));

struct TitleCase {
    const char* name;
    std::string file;
    std::string title;
};

void PrintTo(const TitleCase& c, std::ostream* os) {
    *os << c.name;
}

class PdfTitleTest : public MagickTest, public ::testing::WithParamInterface<TitleCase> {};

TEST_P(PdfTitleTest, NamedAfterTheUsersFile) {
    const std::string out = file(GetParam().file);
    const RunResult run =
        runMagick({sidewaysPhoto().string(), "-auto-orient", "-quality", "50", out});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(pdfTitle(out), GetParam().title);
}

INSTANTIATE_TEST_SUITE_P(
    Names, PdfTitleTest,
    ::testing::Values(
        TitleCase{"brackets", "Holiday (2).pdf", "Holiday (2)"},
        TitleCase{"other_scripts", "Zo\xC3\xAB, A\xC4\x9Fr\xC4\xB1 & \xE5\x86\x99\xE7\x9C\x9F.pdf",
                  "Zo\xC3\xAB, A\xC4\x9Fr\xC4\xB1 & \xE5\x86\x99\xE7\x9C\x9F"},
        // GraphicsMagick's file-name syntax and the characters PDF strings escape.
        TitleCase{"syntax", "x[1] %d \\ )(.pdf", "x[1] %d \\ )("},
        // The temporary file the program has the front write for "Zoë (2).pdf".
        TitleCase{"temporary", ".Zo\xC3\xAB (2).4242-7.imbrix-tmp.pdf", "Zo\xC3\xAB (2)"},
        // A Latin-1 name: the byte that is no UTF-8 becomes U+FFFD.
        TitleCase{"not_utf8", "caf\xE9.pdf", "caf\xEF\xBF\xBD"}),
    [](const auto& p) { return std::string(p.param.name); });

class IconSizeTest : public MagickTest {};

TEST_F(IconSizeTest, LargePictureShrinksToFitKeepingProportions) {
    // 2572 x 1740 camera photo.
    const std::string source =
        (corpusDir() / "photos" / "camera" / "Picture_0B_by_freespace.jpg").string();
    const std::string out = file("big.ico");
    const RunResult run = runMagick({source, "-auto-orient", "-quality", "80", out});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(headBytes(out, 4), std::string("\0\0\1\0", 4));
    const Picture icon = readOutput(out, "ico", dir());
    EXPECT_EQ(icon.width, 256);
    EXPECT_EQ(icon.height, 173);  // 1740 * 256 / 2572 = 173.2
}

TEST_F(IconSizeTest, SmallPictureKeepsItsSize) {
    const std::string source = (corpusDir() / "gif" / "still" / "cat.gif").string();
    const std::string out = file("small.ico");
    const RunResult run = runMagick({source, "-auto-orient", "-quality", "80", out});
    ASSERT_EQ(run.status, 0) << run.output;
    const Picture icon = readOutput(out, "ico", dir());
    EXPECT_EQ(icon.width, 113);
    EXPECT_EQ(icon.height, 146);
}

}  // namespace
}  // namespace imbrix::test
