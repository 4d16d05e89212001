// PSD outputs: one flattened picture compressed with RLE, as readers other than
// ImageMagick (Pillow) read it too; a picture with transparency keeps one layer,
// where Photoshop and GIMP look for it. GraphicsMagick as built for Debian reads
// no PSD at all.
#include <cstdlib>
#include <sstream>
#include <string>

#include "magick/magick_support.h"

namespace imbrix::test {
namespace {

namespace fs = std::filesystem;

// The flattened picture as Pillow reads it, as RGBA.
Picture readWithPillow(const fs::path& psd, const fs::path& work) {
    const fs::path png = work / "read-back-by-pillow.png";
    std::string output;
    const int status = runCommand({"/usr/bin/python3", "-c",
                                   "import sys\n"
                                   "from PIL import Image\n"
                                   "Image.open(sys.argv[1]).convert('RGBA').save(sys.argv[2])\n",
                                   psd.string(), png.string()},
                                  &output);
    if (status != 0) {
        ADD_FAILURE() << "Pillow could not read " << psd << ": " << output;
        return {};
    }
    return loadPng(png);
}

// Number of pictures ImageMagick finds in the file (the flattened one, then the
// layers) and the compression of the first.
struct Layout {
    int pictures = 0;
    std::string compression;
};

Layout layoutOf(const fs::path& psd) {
    std::string text;
    EXPECT_EQ(runCommand({"/usr/bin/identify", "-format", "%n %C\n", psd.string()}, &text), 0)
        << text;
    Layout layout;
    std::istringstream(text) >> layout.pictures >> layout.compression;
    return layout;
}

// Largest difference of one channel of one pixel; 255 for pictures of other sizes.
int maxDifference(const Picture& a, const Picture& b) {
    if (a.width != b.width || a.height != b.height || a.rgba.empty()) {
        return 255;
    }
    int worst = 0;
    for (std::size_t i = 0; i < a.rgba.size(); ++i) {
        worst = std::max(worst, std::abs(int{a.rgba[i]} - int{b.rgba[i]}));
    }
    return worst;
}

class PsdTest : public MagickTest {
protected:
    // Converts `source` (in the corpus) to PSD with the front, and the reference:
    // the same picture upright through ImageMagick into PNG.
    std::string convert(const std::string& source, bool grayscale = false) {
        const fs::path from = corpusDir() / source;
        std::vector<std::string> args{from.string(), "-auto-orient"};
        std::vector<std::string> refArgs{"/usr/bin/convert", from.string(), "-auto-orient"};
        if (grayscale) {
            args.insert(args.end(), {"-colorspace", "Gray"});
            refArgs.insert(refArgs.end(), {"-colorspace", "Gray"});
        }
        const std::string out = file("picture.psd");
        args.insert(args.end(), {"-quality", "80", out});
        const RunResult run = runMagick(args);
        EXPECT_EQ(run.status, 0) << run.output;
        const fs::path png = dir() / "reference.png";
        refArgs.push_back("png:" + png.string());
        EXPECT_EQ(runCommand(refArgs), 0);
        reference_ = loadPng(png);
        return out;
    }

    Picture reference_;
};

struct OpaqueCase {
    const char* name;
    const char* source;
    bool grayscale;
};

void PrintTo(const OpaqueCase& c, std::ostream* os) {
    *os << c.name;
}

class PsdOpaqueTest : public PsdTest, public ::testing::WithParamInterface<OpaqueCase> {};

TEST_P(PsdOpaqueTest, OneFlattenedPictureReadByBothReaders) {
    const std::string out = convert(GetParam().source, GetParam().grayscale);
    const Layout layout = layoutOf(out);
    EXPECT_EQ(layout.pictures, 1) << "no layer beside the flattened picture";
    EXPECT_EQ(layout.compression, "RLE");
    // Lossless, but for a step of rounding where grayscale passes a colour space.
    EXPECT_LE(maxDifference(readWithImageMagick(out, dir()), reference_), 1) << "ImageMagick";
    EXPECT_LE(maxDifference(readWithPillow(out, dir()), reference_), 1) << "Pillow";
}

INSTANTIATE_TEST_SUITE_P(RealPictures, PsdOpaqueTest,
                         ::testing::Values(
                             // An alpha channel that is opaque everywhere: stored without it.
                             OpaqueCase{"colour", "png-misc/skimage/logo.png", false},
                             OpaqueCase{"gray", "png-misc/skimage/text.png", false},
                             // Stored sideways with an EXIF orientation.
                             OpaqueCase{"grayscale_photo",
                                        "photos/exif-orientation/bug725582-testrotate.jpg", true}),
                         [](const auto& p) { return std::string(p.param.name); });

// Transparency from clear to opaque over a photo: the layer carries the picture
// as it is; the flattened copy is blended with white as Photoshop stores it, and
// ImageMagick undoes that blend when it reads.
TEST_F(PsdTest, ColourTransparencyKeepsOneLayer) {
    const std::string out = convert("png-misc/go/benchNRGBA-gradient.png");
    const Layout layout = layoutOf(out);
    EXPECT_EQ(layout.pictures, 2) << "the flattened picture and one layer";
    EXPECT_EQ(layout.compression, "RLE");

    const Picture magick = readWithImageMagick(out, dir());
    ASSERT_EQ(magick.rgba.size(), reference_.rgba.size());
    Picture blended = reference_;
    int alphaWrong = 0;
    for (std::size_t i = 0; i < blended.rgba.size(); i += 4) {
        const int alpha = reference_.rgba[i + 3];
        alphaWrong += magick.rgba[i + 3] != alpha;
        for (std::size_t c = i; c < i + 3; ++c) {
            blended.rgba[c] = static_cast<std::uint8_t>(
                (reference_.rgba[c] * alpha + 255 * (255 - alpha) + 127) / 255);
        }
    }
    EXPECT_EQ(alphaWrong, 0);
    // The pictures pass through cairo, which keeps colours premultiplied: where
    // the picture is nearly clear they come back a few steps off.
    EXPECT_LE(magick.meanDifference(reference_), 0.5) << "ImageMagick";
    EXPECT_LE(readWithPillow(out, dir()).meanDifference(blended), 0.5) << "Pillow";
}

// A gray picture with transparency. Only its layer, which Photoshop and GIMP
// read, can be checked from outside: Pillow 9.4 opens no gray PSD with a
// transparent layer (its layer parser knows no gray-and-alpha layer), and
// ImageMagick 6 reads a gray flattened picture with alpha through a palette that
// spoils a few of its pixels.
TEST_F(PsdTest, GrayTransparencyKeepsOneLayer) {
    const std::string out = convert("tga/gdk-pixbuf-reftests/gtk-logo-gray.ref.png");
    const Layout layout = layoutOf(out);
    EXPECT_EQ(layout.pictures, 2) << "the flattened picture and one layer";
    EXPECT_EQ(layout.compression, "RLE");
    const fs::path layerPng = dir() / "layer.png";
    ASSERT_EQ(runCommand({"/usr/bin/convert", out + "[1]", "png:" + layerPng.string()}), 0);
    EXPECT_EQ(maxDifference(loadPng(layerPng), reference_), 0);
}

// A picture of flat areas takes far less than its uncompressed size; a camera
// photo (80 KB as JPEG) took two uncompressed copies, 11.5 MB.
TEST_F(PsdTest, FarSmallerThanUncompressed) {
    const std::pair<const char*, double> cases[] = {{"png-misc/skimage/logo.png", 0.5},
                                                    {"photos/camera/mate_FreshFlower.jpg", 0.75}};
    for (const auto& [source, share] : cases) {
        const std::string out = convert(source);
        const double raw = 3.0 * reference_.width * reference_.height;
        const double size = static_cast<double>(fs::file_size(out));
        EXPECT_LT(size, share * raw) << source << ": " << size << " bytes, uncompressed " << raw;
        fs::remove(out);
    }
}

}  // namespace
}  // namespace imbrix::test
