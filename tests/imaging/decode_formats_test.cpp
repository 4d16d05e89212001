// Real files of every format through the picture loaders and decode by content:
// right size, known pixels (values read with ImageMagick), valid premultiplied
// BGRA, and the same pixels whichever way a file comes in.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decode_testutil.h"

namespace imbrix::test {
namespace {

using imaging::ContentFormat;
using imaging::Raster;

struct FileCase {
    std::string file;  // relative to the corpus
    std::uint32_t width;
    std::uint32_t height;
    int tolerance;  // lossy decoders differ a little from ImageMagick's
    std::vector<ExpectedPixel> pixels;
};

void PrintTo(const FileCase& c, std::ostream* os) {
    *os << c.file;
}

const std::vector<FileCase> kRegistryCases = {
    // bmp: 24-bit, 8-bit palette, 4-bit palette, 32-bit bit fields with alpha (V5 header)
    {"bmp/x-image/video-001.bmp", 150, 103, 0, {{0, 0, 0x7D0E02FF}, {75, 50, 0xA44F00FF}}},
    {"bmp/x-image/colormap.bmp", 150, 103, 0, {{10, 10, 0x851A00FF}, {100, 90, 0xFCFBF5FF}}},
    {"bmp/x-image/yellow_rose-small-v5.bmp", 16, 12, 0, {{5, 5, 0xBE6501FF}}},
    {"bmp/misc/not_kitty.bmp", 32, 32, 0, {{10, 20, 0x66CCCCFF}}},
    {"bmp/pngsuite-as-bmp/basn6a08.bmp",
     32,
     32,
     0,
     {{0, 0, 0xFF000800}, {31, 31, 0x0020FFFF}, {16, 8, 0xFFFF0683}}},
    // ico: a single DIB; PNG entries, the 256x256 one is the largest
    {"ico/squares.ico", 100, 100, 0, {{10, 10, 0xB16C42FF}, {50, 50, 0xD92D6AFF}}},
    {"ico/imagemagick-favicon.ico", 256, 256, 0, {{0, 0, 0x00000000}}},
    {"ico/bugcatcher.ico", 16, 16, 0, {{8, 8, 0x808080FF}, {0, 0, 0xFFFFFFFF}}},
    {"ico/graphicsmagick-favicon.ico", 32, 26, 0, {{16, 13, 0x00B24FFF}, {0, 0, 0xFEFEFEFF}}},
    // tif/tiff: RGB, palette, 16-bit, bilevel CCITT G4, alpha, first page of several
    {"tiff/x-image/video-001.tiff", 150, 103, 0, {{0, 0, 0x7D0E02FF}, {75, 50, 0xA44F00FF}}},
    {"tiff/x-image/video-001-paletted.tiff", 150, 103, 0, {{75, 50, 0xA04800FF}}},
    {"tiff/x-image/video-001-16bit.tiff", 150, 103, 1, {{75, 50, 0xA44F00FF}}},
    {"tiff/x-image/video-001-tile-64x64.tiff", 150, 103, 0, {{75, 50, 0xA44F00FF}}},
    {"tiff/x-image/bw-gopher_ccittGroup4.tiff", 153, 55, 0, {{40, 20, 0xFFFFFFFF}}},
    {"tiff/rust-tiff/Transparency-lzw.tif",
     300,
     300,
     0,
     {{0, 0, 0xFFFFFF00}, {150, 150, 0xFFF214FF}}},
    {"tiff/skimage/multipage.tif", 10, 15, 0, {{5, 5, 0x5E5E5EFF}, {2, 12, 0xD1D1D1FF}}},
    // jpg/jpeg: baseline, progressive, gray, Adobe CMYK (without a profile: through
    // Ghostscript's generic CMYK profile, as `convert -profile default_cmyk.icc
    // -profile sRGB.icc` gives it)
    {"photos/jpeg-variants/video-001.jpeg", 150, 103, 3, {{75, 50, 0xA44F00FF}}},
    {"photos/jpeg-variants/video-001.progressive.jpeg", 150, 103, 3, {{75, 50, 0xA44F00FF}}},
    {"photos/jpeg-variants/video-005.gray.jpeg", 150, 103, 3, {{75, 50, 0x2E2E2EFF}}},
    {"photos/jpeg-variants/video-001.cmyk.jpeg",
     150,
     103,
     3,
     {{75, 50, 0x772F11FF}, {0, 0, 0x570D07FF}}},
    // png
    {"pngsuite/basn6a16.png", 32, 32, 0, {{20, 5, 0x49FF0052}}},
    // gif: interlaced; transparent background
    {"gif/still/video-001.interlaced.gif", 150, 103, 0, {{75, 50, 0xA24D00FF}, {0, 0, 0x7D0C00FF}}},
    {"gif/still/triangle-001.gif", 256, 128, 0, {{0, 0, 0x00000000}, {128, 100, 0xBF0002FF}}},
    {"gif/still/cat.gif", 113, 146, 0, {{60, 70, 0x5A5E5CFF}, {0, 0, 0x070808FF}}},
    // an animation: the first frame (the second paints (30,40) orange)
    {"gif/animated/traffic_light.gif", 60, 105, 0, {{30, 40, 0x767676FF}}},
    // webp: lossy, lossy with alpha, lossless
    {"webp/x-image/video-001.lossy.webp", 150, 103, 2, {{75, 50, 0xA04D00FF}}},
    {"webp/x-image/yellow_rose.lossy-with-alpha.webp",
     400,
     301,
     2,
     {{0, 0, 0x00000000}, {200, 150, 0x994C02FF}}},
    {"webp/x-image/yellow_rose.lossless.webp", 400, 301, 0, {{200, 150, 0x994B01FF}}},
};

class RegistryFiles : public ::testing::TestWithParam<FileCase> {};

TEST_P(RegistryFiles, DecodeAtTheirSizeWithKnownPixels) {
    const FileCase& c = GetParam();
    const Raster picture = imaging::loadPicture(corpusFile(c.file).string());
    ASSERT_EQ(picture.width(), c.width);
    ASSERT_EQ(picture.height(), c.height);
    EXPECT_TRUE(picture.premultiplied);
    EXPECT_TRUE(validPremultiplied(picture));
    for (const ExpectedPixel& p : c.pixels) {
        EXPECT_TRUE(pixelNear(picture, p, c.tolerance));
    }
}

INSTANTIATE_TEST_SUITE_P(Corpus, RegistryFiles, ::testing::ValuesIn(kRegistryCases));

// Decode by content reads the same files from their bytes alone, and gives the
// pixels the picture loader gives: the engine decodes such a file only once.
struct ContentCase {
    std::string file;
    ContentFormat format;
};

void PrintTo(const ContentCase& c, std::ostream* os) {
    *os << c.file;
}

class ContentFiles : public ::testing::TestWithParam<ContentCase> {};

TEST_P(ContentFiles, SniffedAndDecodedLikeThePictureLoader) {
    const ContentCase& c = GetParam();
    const std::filesystem::path path = corpusFile(c.file);
    const imaging::FileBytes file(path.string());
    EXPECT_EQ(imaging::sniffContent(file.bytes()), c.format);
    const Raster byContent = imaging::decodeByContent(file.bytes(), path.filename().string());
    const Raster byLoader = imaging::loadPicture(path.string());
    ASSERT_EQ(byContent.width(), byLoader.width());
    ASSERT_EQ(byContent.height(), byLoader.height());
    EXPECT_EQ(maxDifference(byContent, byLoader), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Corpus, ContentFiles,
    ::testing::Values(
        ContentCase{"pngsuite/basi6a08.png", ContentFormat::Png},
        ContentCase{"photos/jpeg-variants/video-001.progressive.jpeg", ContentFormat::Jpeg},
        ContentCase{"photos/exif-orientation/orientation_6.jpg", ContentFormat::Jpeg},
        ContentCase{"gif/still/triangle-001.gif", ContentFormat::Gif},
        ContentCase{"bmp/pngsuite-as-bmp/basn6a08.bmp", ContentFormat::Bmp},
        ContentCase{"ico/bugcatcher.ico", ContentFormat::Ico},
        ContentCase{"ico/imagemagick-favicon.ico", ContentFormat::Ico},
        ContentCase{"webp/x-image/yellow_rose.lossy-with-alpha.webp", ContentFormat::Webp}));

TEST(DecodeByContent, IgnoresTheExtension) {
    // A PNG named .jpg: the picture loader follows the name and fails, decode by
    // content follows the bytes.
    ScratchDir dir;
    const std::string path = dir.file("mislabelled.jpg");
    writeBytes(path, readBytes(corpusFile("pngsuite/basn2c08.png")));
    EXPECT_EQ(errorMessage([&] { imaging::loadPicture(path); }), "JPEG error #53");
    const imaging::FileBytes file(path);
    const Raster picture = imaging::decodeByContent(file.bytes(), path);
    EXPECT_EQ(picture.width(), 32u);
    EXPECT_EQ(picture.height(), 32u);
}

TEST(PictureLoaders, ExtensionsAnyCase) {
    for (const char* ext : {"bmp", "ico", "tif", "tiff", "jpg", "jpeg", "png", "gif", "svg", "webp",
                            "wmp", "JPG", "Tiff", "WMP"}) {
        EXPECT_TRUE(imaging::hasPictureLoader(ext)) << ext;
    }
    for (const char* ext : {"", "jfif", "avif", "psd", "heic", "tga", "jxl", "jp2", ".png", "pn"}) {
        EXPECT_FALSE(imaging::hasPictureLoader(ext)) << ext;
    }
    const imaging::FileBytes file(corpusFile("gif/still/cat.gif").string());
    EXPECT_EQ(imaging::decodeWithPictureLoader("GIF", file.bytes()).width(), 113u);
}

// An animated WEBP gives its first frame, composed on the canvas. gif2webp makes
// one (lossless by default) from a real animated GIF, whose first frame giflib gives us.
TEST(WebpDecoder, AnimationGivesItsFirstFrame) {
    const std::filesystem::path gif = corpusFile("gif/animated/test-animation.gif");
    ScratchDir dir;
    const std::string webp = dir.file("animation.webp");
    std::string log;
    ASSERT_EQ(runCommand({"gif2webp", "-quiet", gif.string(), "-o", webp}, &log), 0) << log;
    const imaging::FileBytes file(webp);
    const Raster frame = imaging::decodeWithPictureLoader("webp", file.bytes());
    const Raster expected = imaging::loadPicture(gif.string());
    ASSERT_EQ(frame.width(), expected.width());
    ASSERT_EQ(frame.height(), expected.height());
    EXPECT_LE(maxDifference(frame, expected), 1);
}

// JPEG XR: no such file in the corpus, so the codec's own encoder makes them,
// losslessly, from real files in several pixel formats (ImageMagick first writes
// the deeper ones as PNM or TIFF, which JxrEncApp reads). Each decodes to the
// pixels our other loaders give for the original.
TEST(JpegXrDecoder, DecodesWhatJxrEncAppWritesInEachPixelFormat) {
    struct Case {
        const char* source;  // in the corpus
        const char* input;   // the file JxrEncApp reads, made by ImageMagick unless .bmp
        const char* format;  // JxrEncApp's -c value
        bool alpha;
        std::uint32_t width, height;
        ExpectedPixel pixel;
    };
    const std::vector<Case> cases = {
        {"bmp/x-image/video-001.bmp", "in.bmp", "0", false, 150, 103, {75, 50, 0xA44F00FF}},
        {"pngsuite/basn0g08.png", "in.tif", "2", false, 32, 32, {10, 10, 0xB4B4B4FF}},
        {"pngsuite/basn0g16.png", "in.tif", "3", false, 32, 32, {10, 10, 0x6E6E6EFF}},
        {"tiff/x-image/video-001-16bit.tiff",
         "in.pnm",
         "10",
         false,
         150,
         103,
         {75, 50, 0xA44F00FF}},
        {"bmp/pngsuite-as-bmp/basn6a08.bmp", "in.bmp", "22", true, 32, 32, {16, 8, 0xFFFF0683}},
        {"pngsuite/basn6a16.png", "in.tif", "23", true, 32, 32, {20, 5, 0x49FF0052}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.source) + " as format " + c.format);
        ScratchDir dir;
        const std::string input = dir.file(c.input);
        std::string log;
        if (std::string(c.input).ends_with(".bmp")) {
            writeBytes(input, readBytes(corpusFile(c.source)));
        } else {
            // Binary PNM, uncompressed TIFF: what JxrEncApp reads.
            std::vector<std::string> convert = {"convert", corpusFile(c.source).string()};
            if (std::string(c.input).ends_with(".tif")) {
                convert.insert(convert.end(), {"-compress", "none"});
            }
            convert.push_back(input);
            ASSERT_EQ(runCommand(convert, &log), 0) << log;
        }
        const std::string jxr = dir.file("picture.jxr");
        std::vector<std::string> encode = {"JxrEncApp", "-i", input, "-o", jxr, "-c", c.format};
        if (c.alpha) {
            encode.insert(encode.end(), {"-a", "3"});
        }
        ASSERT_EQ(runCommand(encode, &log), 0) << log;
        const imaging::FileBytes file(jxr);
        const Raster picture = imaging::decodeWithPictureLoader("wmp", file.bytes());
        const Raster original = imaging::loadPicture(corpusFile(c.source).string());
        ASSERT_EQ(picture.width(), c.width);
        ASSERT_EQ(picture.height(), c.height);
        EXPECT_TRUE(validPremultiplied(picture));
        EXPECT_LE(maxDifference(picture, original), 1);
        EXPECT_TRUE(pixelNear(picture, c.pixel, 1));
    }
}

TEST(JpegXrDecoder, RefusesAFormatItCannotTake) {
    // 128-bit floating point RGBA: refused by name, not decoded into nonsense.
    // JxrEncApp reads only uncompressed TIFF; tiffcp takes the compression off.
    ScratchDir dir;
    const std::string deflated = dir.file("deflated.tif");
    const std::string input = dir.file("in.tif");
    std::string log;
    ASSERT_EQ(runCommand({"convert", corpusFile("pngsuite/basn6a16.png").string(), "-depth", "32",
                          "-define", "quantum:format=floating-point", deflated},
                         &log),
              0)
        << log;
    ASSERT_EQ(runCommand({"tiffcp", "-c", "none", deflated, input}, &log), 0) << log;
    const std::string jxr = dir.file("float.jxr");
    ASSERT_EQ(runCommand({"JxrEncApp", "-i", input, "-o", jxr, "-c", "28", "-a", "3"}, &log), 0)
        << log;
    const imaging::FileBytes file(jxr);
    EXPECT_EQ(errorMessage([&] { imaging::decodeWithPictureLoader("wmp", file.bytes()); }),
              "JPEG XR error: unsupported pixel format");
}

// SVG at its own size (width/height in px, or in physical units at 96 dpi),
// drawn with its transparency.
TEST(SvgDecoder, RendersAtItsOwnSize) {
    struct Case {
        const char* svg;
        std::uint32_t width, height;
        std::vector<ExpectedPixel> pixels;
    };
    const std::vector<Case> cases = {
        {R"(<svg xmlns="http://www.w3.org/2000/svg" width="40" height="20">
              <rect x="0" y="0" width="20" height="20" fill="#ff0000"/>
              <rect x="20" y="0" width="20" height="20" fill="#0000ff" fill-opacity="0.5"/>
            </svg>)",
         40,
         20,
         {{5, 5, 0xFF0000FF}, {30, 10, 0x0000FF80}}},
        {R"(<svg xmlns="http://www.w3.org/2000/svg" width="1in" height="0.5in"/>)",
         96,
         48,
         {{10, 10, 0x00000000}}},
        // No size: the viewBox gives it.
        {R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 24 12">
              <rect width="24" height="12" fill="#00ff00"/></svg>)",
         24,
         12,
         {{3, 3, 0x00FF00FF}}},
        // Neither size nor viewBox: the default size of a CSS replaced element.
        {R"(<svg xmlns="http://www.w3.org/2000/svg"><rect width="10" height="10"/></svg>)",
         300,
         150,
         {{5, 5, 0x000000FF}, {50, 50, 0x00000000}}},
    };
    for (const Case& c : cases) {
        const std::string text = c.svg;
        const imaging::Bytes bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
        const Raster picture = imaging::decodeWithPictureLoader("svg", bytes);
        ASSERT_EQ(picture.width(), c.width) << c.svg;
        ASSERT_EQ(picture.height(), c.height) << c.svg;
        for (const ExpectedPixel& p : c.pixels) {
            EXPECT_TRUE(pixelNear(picture, p, 1)) << c.svg;
        }
    }
}

// librsvg's own reference tests come with the PNG each should render to.
TEST(SvgDecoder, RealFilesMatchTheirReferenceRenderings) {
    for (const char* name : {"483-attribute-selectors", "525-specificity", "filter-conv-bounds"}) {
        const std::filesystem::path dir = corpusFile("svg/librsvg-reftests-top");
        const Raster picture = imaging::loadPicture((dir / (std::string(name) + ".svg")).string());
        const Raster reference =
            imaging::loadPicture((dir / (std::string(name) + "-ref.png")).string());
        ASSERT_EQ(picture.width(), reference.width()) << name;
        ASSERT_EQ(picture.height(), reference.height()) << name;
        EXPECT_LT(meanDifference(picture, reference), 1.0) << name;
    }
    const Raster wallpaper =
        imaging::loadPicture(corpusFile("svg/desktop/xfce-shapes.svg").string());
    EXPECT_EQ(wallpaper.width(), 2560u);
    EXPECT_EQ(wallpaper.height(), 1440u);
}

TEST(SvgDecoder, LoadsNothingFromOutside) {
    // An image reference to a real file next to nothing in particular: with no
    // base file, librsvg must not read it, so the area stays transparent.
    const std::string png = corpusFile("pngsuite/basn2c08.png").string();
    const std::string text = R"(<svg xmlns="http://www.w3.org/2000/svg"
        xmlns:xlink="http://www.w3.org/1999/xlink" width="32" height="32">
        <image width="32" height="32" xlink:href="file://)" +
                             png + R"("/></svg>)";
    const imaging::Bytes bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    const Raster picture = imaging::decodeWithPictureLoader("svg", bytes);
    ASSERT_EQ(picture.width(), 32u);
    EXPECT_TRUE(pixelNear(picture, {16, 16, 0x00000000}, 0));
}

}  // namespace
}  // namespace imbrix::test
