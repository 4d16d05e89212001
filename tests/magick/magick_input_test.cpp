// The converter front reads every kind of source the program hands it: the
// sources the program cannot decode itself become a PNG it can read, and any
// source reaches the output formats. Each result is compared with the same
// source read by another reader.
#include <functional>
#include <string>
#include <vector>

#include "magick/magick_support.h"

namespace imbrix::test {
namespace {

namespace fs = std::filesystem;

fs::path corpus(const std::string& relative) {
    return corpusDir() / relative;
}

// Runs a tool that makes a fixture or a reference; a failure fails the test.
void make(const std::vector<std::string>& argv) {
    std::string output;
    ASSERT_EQ(runCommand(argv, &output), 0) << argv[0] << ": " << output;
}

// A small photo of the corpus, the original behind the fixtures made below.
fs::path originalPhoto() {
    return corpus("png-misc/skimage/coffee.png");
}

struct InputCase {
    std::string label;
    /// The source to convert (made in `work` when the corpus has no small one).
    std::function<fs::path(const fs::path& work)> source;
    std::vector<std::string> options;  ///< between the source and the output
    std::string outputExtension;       ///< "png" (decoding) or another output format
    /// The same picture through another reader; none where no other reader exists.
    std::function<Picture(const fs::path& source, const fs::path& work)> reference;
    int width;
    int height;
    double tolerance;  ///< mean difference per channel allowed against the reference
};

void PrintTo(const InputCase& c, std::ostream* os) {
    *os << c.label;
}

std::function<fs::path(const fs::path&)> inCorpus(const std::string& relative) {
    return [relative](const fs::path&) { return corpus(relative); };
}

// heif-convert (libheif's own tool) for AVIF and HEIC.
Picture byHeifConvert(const fs::path& source, const fs::path& work) {
    const fs::path png = work / "reference.png";
    make({"/usr/bin/heif-convert", source.string(), png.string()});
    return loadPng(png);
}

// GraphicsMagick, whose coders are its own.
Picture byGraphicsMagick(const fs::path& source, const fs::path& work) {
    const fs::path png = work / "reference.png";
    make({"/usr/bin/gm", "convert", source.string(), "png:" + png.string()});
    return loadPng(png);
}

Picture theOriginalPhoto(const fs::path&, const fs::path&) {
    return loadPng(originalPhoto());
}

Picture noReference(const fs::path&, const fs::path&) {
    return {};
}

const std::vector<InputCase> kInputs{
    {"avif", inCorpus("avif/avif.avif"), {}, "png", byHeifConvert, 320, 180, 1.0},
    // An image sequence: its first picture.
    {"avif_sequence", inCorpus("avif/avifsequence.avif"), {}, "png", noReference, 499, 479, 0},
    {"heic",
     [](const fs::path& work) {
         const fs::path heic = work / "photo.heic";
         make({"/usr/bin/heif-enc", "-q", "80", originalPhoto().string(), "-o", heic.string()});
         return heic;
     },
     {},
     "png",
     byHeifConvert,
     600,
     400,
     1.0},
    // A composite and one layer: flattened, they give the stored composite.
    {"psd_flattened",
     inCorpus("psd/psd.psd"),
     {"-flatten"},
     "png",
     [](const fs::path& source, const fs::path& work) {
         const fs::path png = work / "composite.png";
         make({"/usr/bin/convert", source.string() + "[0]", "png:" + png.string()});
         return loadPng(png);
     },
     640,
     400,
     0},
    {"psd_photo",
     [](const fs::path& work) {
         const fs::path psd = work / "photo.psd";
         make({"/usr/bin/convert", originalPhoto().string(), "psd:" + psd.string()});
         return psd;
     },
     {"-flatten"},
     "png",
     theOriginalPhoto,
     600,
     400,
     0.5},
    {"tga_colour_mapped",
     inCorpus("tga/lunapaint-conformance/ucm8.tga"),
     {},
     "png",
     byGraphicsMagick,
     128,
     128,
     0.5},
    {"tga_compressed_gray",
     inCorpus("tga/lunapaint-conformance/cbw8.tga"),
     {},
     "png",
     byGraphicsMagick,
     128,
     128,
     0.5},
    {"tga_compressed_truecolour",
     inCorpus("tga/lunapaint-conformance/ctc24.tga"),
     {},
     "png",
     byGraphicsMagick,
     128,
     128,
     0.5},
    {"jxl_lossless",
     [](const fs::path& work) {
         const fs::path jxl = work / "photo.jxl";
         make({"/usr/bin/cjxl", originalPhoto().string(), jxl.string(), "-d", "0", "-e", "1"});
         return jxl;
     },
     {},
     "png",
     theOriginalPhoto,
     600,
     400,
     0.5},
    // With alpha: decoded another way than the plain colour pictures above.
    {"jxl_with_alpha",
     [](const fs::path& work) {
         const fs::path jxl = work / "clear.jxl";
         make({"/usr/bin/cjxl", corpus("pngsuite/basn6a08.png").string(), jxl.string(), "-d", "0",
               "-e", "1"});
         return jxl;
     },
     {},
     "png",
     [](const fs::path&, const fs::path&) { return loadPng(corpus("pngsuite/basn6a08.png")); },
     32,
     32,
     0.5},
    {"jxl_with_exif", inCorpus("jxl/1x1_exif_xmp.jxl"), {}, "png", byGraphicsMagick, 1, 1, 1.0},
    {"jp2", inCorpus("jp2/not_kitty.jp2"), {}, "png", noReference, 32, 32, 0},
    {"j2k_codestream", inCorpus("jp2/goodstuff.j2k"), {}, "png", noReference, 480, 800, 0},
    // JPEG XR, stored losslessly from the original.
    {"wmp",
     [](const fs::path& work) {
         const fs::path bmp = work / "photo.bmp";
         const fs::path wmp = work / "photo.wmp";
         make({"/usr/bin/convert", originalPhoto().string(), "-type", "TrueColor",
               "bmp3:" + bmp.string()});
         make({"/usr/bin/JxrEncApp", "-i", bmp.string(), "-o", wmp.string(), "-q", "1"});
         return wmp;
     },
     {},
     "png",
     theOriginalPhoto,
     600,
     400,
     0.5},
    // Sources that reach an output format straight away.
    {"svg_to_bmp",
     inCorpus("svg/librsvg-reftests-top/483-attribute-selectors.svg"),
     {"-auto-orient", "-quality", "90"},
     "bmp",
     [](const fs::path&, const fs::path&) {
         return loadPng(corpus("svg/librsvg-reftests-top/483-attribute-selectors-ref.png"));
     },
     150,
     100,
     1.0},
    {"jxl_to_tga",
     [](const fs::path& work) {
         const fs::path jxl = work / "photo.jxl";
         make({"/usr/bin/cjxl", originalPhoto().string(), jxl.string(), "-d", "0", "-e", "1"});
         return jxl;
     },
     {"-auto-orient", "-quality", "90"},
     "tga",
     theOriginalPhoto,
     600,
     400,
     0.5},
    {"heic_to_gif",
     [](const fs::path& work) {
         const fs::path heic = work / "photo.heic";
         make({"/usr/bin/heif-enc", "-q", "80", originalPhoto().string(), "-o", heic.string()});
         return heic;
     },
     // GIF has 256 colours: the photo is dithered.
     {"-auto-orient", "-quality", "90"},
     "gif",
     byHeifConvert,
     600,
     400,
     8.0},
};

class InputTest : public MagickTest, public ::testing::WithParamInterface<InputCase> {};

TEST_P(InputTest, ReadsTheSourceLikeAnotherReader) {
    const InputCase& c = GetParam();
    const fs::path work = dir() / "work";
    fs::create_directory(work);
    const fs::path source = c.source(work);
    if (HasFatalFailure()) {
        return;
    }
    const std::string out = file("result." + c.outputExtension);
    std::vector<std::string> args{source.string()};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back(out);

    const RunResult run = runMagick(args);
    ASSERT_EQ(run.status, 0) << run.output;
    const Picture picture = readOutput(out, c.outputExtension, work);
    ASSERT_FALSE(picture.empty());
    EXPECT_EQ(picture.width, c.width);
    EXPECT_EQ(picture.height, c.height);

    const Picture reference = c.reference(source, work);
    if (!reference.empty()) {
        EXPECT_LE(picture.meanDifference(reference), c.tolerance);
    } else {
        // No other reader: at least a picture, not a flat area.
        bool varies = false;
        for (std::size_t i = 4; i < picture.rgba.size() && !varies; ++i) {
            varies = picture.rgba[i] != picture.rgba[i % 4];
        }
        EXPECT_TRUE(varies) << "the picture is one flat colour";
    }
}

INSTANTIATE_TEST_SUITE_P(EverySourceKind, InputTest, ::testing::ValuesIn(kInputs),
                         [](const auto& p) { return p.param.label; });

}  // namespace
}  // namespace imbrix::test
