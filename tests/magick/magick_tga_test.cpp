// TGA sources come out upright and in their own colours on every route: decoded
// for the program (the front alone, and the engine's convertFile through it) and
// written into every output format. The references are gdk-pixbuf's test
// pictures: one logo stored in every TGA layout (16/24/32 bits, colour map, gray
// with alpha, run-length coded) and from each of the four corners, each beside
// the PNG of how it must look. The logo is not symmetric: a flipped or mirrored
// picture differs from it everywhere.
#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "convert/convertfile.h"
#include "magick/magick_support.h"

namespace imbrix::test {
namespace {

namespace fs = std::filesystem;

fs::path referenceFolder() {
    return corpusDir() / "tga" / "gdk-pixbuf-reftests";
}

// Every reference TGA's name without ".tga", sorted.
std::vector<std::string> referenceTgas() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(referenceFolder())) {
        if (entry.path().extension() == ".tga") {
            names.push_back(entry.path().stem().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

fs::path tgaPath(const std::string& name) {
    return referenceFolder() / (name + ".tga");
}

// The PNG beside it, read by cairo (libpng).
Picture referenceOf(const std::string& name) {
    return loadPng(referenceFolder() / (name + ".tga.ref.png"));
}

std::string testName(std::string name) {
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) {
            c = '_';
        }
    }
    return name;
}

// The largest difference of any channel of any pixel (alpha included); 255 when
// the sizes differ.
int maxDifference(const Picture& a, const Picture& b) {
    if (a.width != b.width || a.height != b.height || a.rgba.size() != b.rgba.size()) {
        return 255;
    }
    int worst = 0;
    for (std::size_t i = 0; i < a.rgba.size(); ++i) {
        worst = std::max(worst, std::abs(int{a.rgba[i]} - int{b.rgba[i]}));
    }
    return worst;
}

// The picture laid on white, opaque: what a viewer shows, and the way to compare
// with formats that keep less of the transparency (GIF's one clear colour, PDF's none).
Picture onWhite(const Picture& p) {
    Picture out = p;
    for (std::size_t i = 0; i + 3 < out.rgba.size(); i += 4) {
        const int alpha = p.rgba[i + 3];
        for (std::size_t c = 0; c < 3; ++c) {
            out.rgba[i + c] = static_cast<std::uint8_t>(
                (p.rgba[i + c] * alpha + 255 * (255 - alpha) + 127) / 255);
        }
        out.rgba[i + 3] = 255;
    }
    return out;
}

// The same picture turned upside down: what a wrong reading of the origin gives.
Picture flipped(const Picture& p) {
    Picture out = p;
    const std::size_t row = static_cast<std::size_t>(p.width) * 4;
    for (int y = 0; y < p.height; ++y) {
        std::copy_n(p.rgba.begin() + static_cast<std::ptrdiff_t>(y * row), row,
                    out.rgba.begin() + static_cast<std::ptrdiff_t>((p.height - 1 - y) * row));
    }
    return out;
}

// Near-exact: 16-bit layouts widen 5-bit samples, which readers may round
// differently by one step.
constexpr int kExact = 1;

class TgaReferenceTest : public MagickTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(TgaReferenceTest, TheFrontDecodesLikeTheReference) {
    const std::string out = file("decoded.png");
    const RunResult run = runMagick({tgaPath(GetParam()).string(), out});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_LE(maxDifference(loadPng(out), referenceOf(GetParam())), kExact);
}

TEST_P(TgaReferenceTest, TheEngineDecodesLikeTheReference) {
    // The program's own route: convertFile asks the front for a PNG, decodes it
    // with our PNG decoder and encodes the output with our PNG encoder.
    const fs::path data = dir() / "data";
    const fs::path outFolder = dir() / "out";
    fs::create_directories(data);
    fs::create_directories(outFolder);
    convert::FileSettings settings;
    settings.format = "PNG";
    settings.quality = 90;
    settings.dataFolder = data.string() + "/";
    settings.converterPath = magickPath();
    settings.converterFolder = (binDir() / "imagemagick").string();
    const convert::FileOutcome outcome =
        convert::convertFile(tgaPath(GetParam()).string(), outFolder.string() + "/", settings);
    ASSERT_EQ(outcome.error, "");
    EXPECT_LE(maxDifference(loadPng(outcome.output), referenceOf(GetParam())), kExact);
    EXPECT_TRUE(fs::is_empty(data)) << "the intermediate PNG is removed";
}

// TGA written by ImageMagick, read back by GraphicsMagick and by ImageMagick: for
// the 16-bit sources ImageMagick 6 wrote a 24-bit header over 16-bit pixels,
// which no reader opens.
TEST_P(TgaReferenceTest, WrittenAsTgaReadsBackInBothMagicks) {
    const std::string out = file("written.tga");
    const RunResult run =
        runMagick({tgaPath(GetParam()).string(), "-auto-orient", "-quality", "90", out});
    ASSERT_EQ(run.status, 0) << run.output;
    const Picture reference = referenceOf(GetParam());
    EXPECT_LE(maxDifference(readOutput(out, "tga", dir()), reference), kExact)
        << "read by GraphicsMagick";
    EXPECT_LE(maxDifference(readWithImageMagick(out, dir()), reference), kExact)
        << "read by ImageMagick";
}

INSTANTIATE_TEST_SUITE_P(GdkPixbufReferences, TgaReferenceTest,
                         ::testing::ValuesIn(referenceTgas()),
                         [](const auto& p) { return testName(p.param); });

TEST(TgaReferenceSet, HoldsEveryLayoutFromEveryCorner) {
    // 11 layouts from 4 corners: a missing corpus must not pass as an empty test.
    EXPECT_EQ(referenceTgas().size(), 44u);
}

// Every output format, from the four corners of two layouts: colour without
// alpha, and gray with alpha (which ImageMagick 6 read as colour). Each comes out
// as the reference PNG itself does through the same route, read back by the
// same reader: the format's own ways (a lossy coder, GIF's palette, a reader's
// idea of icon transparency) are the same for both, and a flipped, mirrored or
// miscoloured reading of the TGA stands out.
class TgaEveryFormatTest
    : public MagickTest,
      public ::testing::WithParamInterface<std::tuple<std::string, std::string>> {};

TEST_P(TgaEveryFormatTest, ComesOutLikeTheReferencePng) {
    // Both through the helpers (a PNG source would be written in process), so
    // that only the reading of the TGA differs.
    const ScopedEnv helpersOnly("IMBRIX_MAGICK_IN_PROCESS", "0");
    const auto& [name, extension] = GetParam();
    const fs::path work = dir() / "work";
    fs::create_directory(work);
    Picture pictures[2];
    const fs::path sources[2] = {tgaPath(name), referenceFolder() / (name + ".tga.ref.png")};
    for (int i = 0; i < 2; ++i) {
        const std::string out = file(std::to_string(i) + "." + extension);
        const RunResult run =
            runMagick({sources[i].string(), "-auto-orient", "-quality", "90", out});
        ASSERT_EQ(run.status, 0) << run.output;
        pictures[i] = onWhite(readOutput(out, extension, work));
    }
    const Picture& fromTga = pictures[0];
    const Picture& fromPng = pictures[1];
    ASSERT_EQ(fromTga.width, 48);
    ASSERT_EQ(fromTga.height, 48);
    const double difference = fromTga.meanDifference(fromPng);
    EXPECT_LE(difference, 1.0);
    EXPECT_LT(difference * 3, fromTga.meanDifference(flipped(fromPng)))
        << "nearer to the upright picture than to the flipped one";
}

INSTANTIATE_TEST_SUITE_P(
    FourCorners, TgaEveryFormatTest,
    ::testing::Combine(
        ::testing::Values("gtk-logo-rle-24bpp-bottom-left", "gtk-logo-rle-24bpp-bottom-right",
                          "gtk-logo-rle-24bpp-top-left", "gtk-logo-rle-24bpp-top-right",
                          "gtk-logo-gray-16bpp-bottom-left", "gtk-logo-gray-16bpp-bottom-right",
                          "gtk-logo-gray-16bpp-top-left", "gtk-logo-gray-16bpp-top-right"),
        ::testing::Values("avif", "psd", "svg", "tga", "jxl", "jp2", "pdf", "bmp", "gif", "ico")),
    [](const auto& p) { return testName(std::get<0>(p.param) + "_" + std::get<1>(p.param)); });

// Layouts gdk-pixbuf does not read (15-bit colour) are read by ImageMagick and
// turned upright there; the corpus has them stored bottom-up.
class FifteenBitTest : public MagickTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(FifteenBitTest, DecodedAndWrittenUpright) {
    const fs::path source = corpusDir() / "tga" / "lunapaint-tombexcavator" / (GetParam() + ".tga");
    const Picture reference = loadPng(source.parent_path() / (GetParam() + ".png"));
    const std::string png = file("decoded.png");
    RunResult run = runMagick({source.string(), png});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_LE(maxDifference(loadPng(png), reference), 4) << "decoded";

    const std::string tga = file("written.tga");
    run = runMagick({source.string(), "-auto-orient", "-quality", "90", tga});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_LE(maxDifference(readOutput(tga, "tga", dir()), reference), 4) << "written as TGA";
}

INSTANTIATE_TEST_SUITE_P(BottomUp, FifteenBitTest,
                         ::testing::Values("rgb15", "rgb15rle", "rgb16rle"));

// Truevision's conformance suite: one opaque picture of colour bars stored as
// 16-, 24- and 32-bit colour and through 16-bit colour maps (which gdk-pixbuf
// reads with red and blue swapped), plain and run-length coded. Each comes out
// like the plain 24-bit file read by GraphicsMagick. The 32-bit and 16-bit files
// hold alpha bytes of 0 that their extension area calls undefined: opaque, not
// invisible.
class TgaConformanceTest : public MagickTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(TgaConformanceTest, LooksLikeThePlain24BitFile) {
    const fs::path folder = corpusDir() / "tga" / "lunapaint-conformance";
    const fs::path reference = dir() / "utc24.png";
    ASSERT_EQ(runCommand({"/usr/bin/gm", "convert", (folder / "utc24.tga").string(),
                          "png:" + reference.string()}),
              0);
    const std::string out = file("decoded.png");
    const RunResult run = runMagick({(folder / (GetParam() + ".tga")).string(), out});
    ASSERT_EQ(run.status, 0) << run.output;
    // 5-bit samples, widened: up to 7 steps from the 8-bit ones.
    EXPECT_LE(maxDifference(loadPng(out), loadPng(reference)), 7);
}

INSTANTIATE_TEST_SUITE_P(Truevision, TgaConformanceTest,
                         ::testing::Values("ccm8", "ucm8", "ctc24", "utc16", "utc24", "utc32"));

// 32-bit pixels whose header gives no alpha bits and whose fourth byte is always
// 0: an opaque picture, as the reference beside it shows, not an invisible one.
class TgaAlphaTest : public MagickTest {};

TEST_F(TgaAlphaTest, ThirtyTwoBitsWithoutAlphaBitsAreOpaque) {
    const fs::path folder = corpusDir() / "tga" / "lunapaint-fileformat";
    for (const std::string name : {"flag_b32", "flag_t32", "xing_b32", "xing_t32"}) {
        SCOPED_TRACE(name);
        const std::string png = file(name + ".png");
        const RunResult run = runMagick({(folder / (name + ".tga")).string(), png});
        ASSERT_EQ(run.status, 0) << run.output;
        EXPECT_LE(maxDifference(loadPng(png), loadPng(folder / (name + ".png"))), kExact);
    }
}

}  // namespace
}  // namespace imbrix::test
