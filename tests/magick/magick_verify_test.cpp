// The front checks that what its helpers wrote is whole, not only that it begins
// right: a helper that ends successfully after writing part of the file, or less
// than its own header promises, makes the conversion fail ("cannot write ..."),
// and nothing is published under the output's name.
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "magick/magick_support.h"

namespace imbrix::test {
namespace {

namespace fs = std::filesystem;

fs::path smallPhoto() {
    return corpusDir() / "photos" / "exif-orientation" / "orientation_6.jpg";
}
fs::path clearPng() {
    return corpusDir() / "pngsuite" / "basn6a08.png";
}
fs::path smallGif() {
    return corpusDir() / "gif" / "animated" / "traffic_light.gif";
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

// The helpers that write outputs, by the variable that replaces each.
const std::vector<std::pair<std::string, std::string>> kWriters{
    {"IMBRIX_MAGICK_CONVERT", "/usr/bin/convert"},
    {"IMBRIX_MAGICK_GM", "/usr/bin/gm"},
    {"IMBRIX_MAGICK_CJXL", "/usr/bin/cjxl"},
    {"IMBRIX_MAGICK_HEIFENC", "/usr/bin/heif-enc"},
    {"IMBRIX_MAGICK_GIF2WEBP", "/usr/bin/gif2webp"},
    {"IMBRIX_MAGICK_OPJCOMPRESS", "/usr/bin/opj_compress"},
};

struct CutCase {
    std::string label;
    std::function<fs::path()> source;
    std::vector<std::string> args;  ///< after the source; the output's extension last
    /// The name, in the workspace, of the file whose end a helper loses.
    std::string cutName;
    /// What the message says after "cannot write OUT: "; empty: any reason.
    std::string expected;
    /// Losing only the last bytes loses part of the picture.
    bool lastBytesCount = true;
};

void PrintTo(const CutCase& c, std::ostream* os) {
    *os << c.label;
}

std::vector<std::string> writeArgs() {
    return {"-auto-orient", "-quality", "80"};
}

const std::vector<CutCase> kCuts{
    {"png", smallPhoto, {}, "out.png", "the converter wrote an incomplete PNG file ("},
    {"webp_animation",
     smallGif,
     {"-auto-orient", "-coalesce"},
     "out.webp",
     "the converter wrote an incomplete WEBP file ("},
    {"avif", smallPhoto, writeArgs(), "out.avif", "the converter wrote an incomplete AVIF file ("},
    {"psd", clearPng, writeArgs(), "out.psd", "the converter wrote an incomplete PSD file ("},
    {"tga", smallPhoto, writeArgs(), "out.tga", "the converter wrote an incomplete TGA file ("},
    {"jp2", smallPhoto, writeArgs(), "out.jp2", "the converter wrote an incomplete JP2 file ("},
    {"bmp", smallPhoto, writeArgs(), "out.bmp", "the converter wrote an incomplete BMP file ("},
    {"gif", smallPhoto, writeArgs(), "out.gif", "the converter wrote an incomplete GIF file ("},
    {"ico", smallPhoto, writeArgs(), "out.ico", "the converter wrote an incomplete ICO file ("},
    // The front finishes these itself from what GraphicsMagick and ImageMagick
    // wrote: any failure will do, as long as it is one.
    // A PDF whose last bytes ("F" and the line end of "%%EOF") are lost keeps its
    // whole page, and the front writes it out whole.
    {"pdf", smallPhoto, writeArgs(), "mid.pdf", "", false},
    {"psd_opaque", smallPhoto, writeArgs(), "mid.psd", ""},
    // Not here: JXL, which cjxl writes as a bare codestream, whose end no length
    // tells; SVG, which the front writes itself.
};

// Every helper that writes runs for real, then loses the end of the file named
// `cutName` in the workspace: a third of it, or its last two bytes.
class CutWriteTest : public MagickTest,
                     public ::testing::WithParamInterface<std::tuple<CutCase, bool>> {};

TEST_P(CutWriteTest, IsReportedAsAFailure) {
    // The helpers' route, which some formats here no longer take by default.
    const ScopedEnv helpersOnly("IMBRIX_MAGICK_IN_PROCESS", "0");
    const auto& [c, lastBytes] = GetParam();
    const std::string keep = lastBytes ? "$((size - 2))" : "$((size * 2 / 3))";
    std::vector<std::unique_ptr<ScopedEnv>> env;
    for (const auto& [variable, real] : kWriters) {
        const std::string script = writeScript(dir() / ("cut-" + variable),
                                               "\"" + real +
                                                   "\" \"$@\"\n"
                                                   "status=$?\n"
                                                   "for word in \"$@\"; do\n"
                                                   "  path=${word#*:}\n"
                                                   "  case \"$path\" in\n"
                                                   "    */" +
                                                   c.cutName +
                                                   ")\n"
                                                   // Never through a link: that may be the
                                                   // source, a file of the shared corpus.
                                                   "      [ -L \"$path\" ] || { size=$(stat -c %s "
                                                   "\"$path\") && truncate -s " +
                                                   keep +
                                                   " \"$path\"; };;\n"
                                                   "  esac\n"
                                                   "done\n"
                                                   "exit $status\n");
        env.push_back(std::make_unique<ScopedEnv>(variable, script));
    }
    const std::string extension = fs::path(c.cutName).extension().string();
    const std::string out = file("out" + extension);
    std::vector<std::string> args{c.source().string()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back(out);

    const RunResult run = runMagick(args);
    EXPECT_EQ(run.status, 1) << run.output;
    const std::string prefix = "magick: cannot write " + out + ": " + c.expected;
    EXPECT_TRUE(startsWith(run.lastLine(), prefix)) << run.output;
    EXPECT_FALSE(fs::exists(out));
}

// Each case a third short, and, where that loses picture, two bytes short.
std::vector<std::tuple<CutCase, bool>> cutRuns() {
    std::vector<std::tuple<CutCase, bool>> runs;
    for (const CutCase& c : kCuts) {
        runs.emplace_back(c, false);
        if (c.lastBytesCount) {
            runs.emplace_back(c, true);
        }
    }
    return runs;
}

INSTANTIATE_TEST_SUITE_P(EveryWriter, CutWriteTest, ::testing::ValuesIn(cutRuns()),
                         [](const auto& p) {
                             return std::get<0>(p.param).label +
                                    (std::get<1>(p.param) ? "_last_bytes" : "_a_third");
                         });

// The fault that made the front check whole files: ImageMagick 6 wrote a 16-bit
// picture as TGA with a header of 24 bits a pixel over 16-bit pixels, and ended
// successfully. A stand-in that writes just that, whatever it is asked for.
class ShortTgaTest : public MagickTest {};

TEST_F(ShortTgaTest, TwentyFourBitHeaderOverSixteenBitPixelsIsAFailure) {
    // The helpers' route, which some formats here no longer take by default.
    const ScopedEnv helpersOnly("IMBRIX_MAGICK_IN_PROCESS", "0");
    const fs::path sixteenBit =
        corpusDir() / "tga" / "gdk-pixbuf-reftests" / "gtk-logo-16bpp-top-left.tga";
    const ScopedEnv env("IMBRIX_MAGICK_CONVERT",
                        writeScript(dir() / "old-convert",
                                    "for last; do :; done\n"
                                    "exec /usr/bin/convert \"" +
                                        sixteenBit.string() + "\" \"$last\"\n"));
    const std::string out = file("out.tga");
    const RunResult run = runMagick({smallPhoto().string(), "-auto-orient", "-quality", "80", out});
    EXPECT_EQ(run.status, 1) << run.output;
    // 48 x 48 pixels: 6912 bytes at 24 bits, 4608 written.
    EXPECT_EQ(run.lastLine(), "magick: cannot write " + out +
                                  ": the converter wrote an incomplete TGA file (the pixel data "
                                  "ends after 4608 of 6912 bytes)")
        << run.output;
    EXPECT_FALSE(fs::exists(out));
}

// Whole files of every format pass.
class WholeFileTest : public MagickTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(WholeFileTest, PassesTheCheck) {
    const std::string out = file("whole." + GetParam());
    const RunResult run =
        GetParam() == "png"
            ? runMagick({smallPhoto().string(), out})
            : runMagick({smallPhoto().string(), "-auto-orient", "-quality", "80", out});
    EXPECT_EQ(run.status, 0) << run.output;
}

INSTANTIATE_TEST_SUITE_P(EveryFormat, WholeFileTest,
                         ::testing::Values("png", "avif", "psd", "svg", "tga", "jxl", "jp2", "pdf",
                                           "bmp", "gif", "ico"));

// Run-length coded TGA and BMP, whose packets the check walks to the last pixel
// or the end mark. ImageMagick keeps a source's run-length coding: a 256-colour
// RLE8 bitmap gives both.
TEST_F(WholeFileTest, RunLengthCodedTgaAndBmpPass) {
    // The helpers' route, which some formats here no longer take by default.
    const ScopedEnv helpersOnly("IMBRIX_MAGICK_IN_PROCESS", "0");
    const fs::path source = dir() / "rle8.bmp";
    std::string output;
    ASSERT_EQ(runCommand({"/usr/bin/convert", smallPhoto().string(), "-colors", "200", "-compress",
                          "RLE", "bmp3:" + source.string()},
                         &output),
              0)
        << output;
    for (const std::string extension : {"tga", "bmp"}) {
        const std::string out = file("rle." + extension);
        const RunResult run = runMagick({source.string(), "-auto-orient", "-quality", "80", out});
        EXPECT_EQ(run.status, 0) << run.output;
        const std::string head = headBytes(out, 34);
        ASSERT_EQ(head.size(), 34u);
        if (extension == "tga") {
            EXPECT_GE(static_cast<unsigned char>(head[2]), 9) << "a run-length image type";
        } else {
            EXPECT_EQ(head[30], 1) << "RLE8";
        }
    }
}

}  // namespace
}  // namespace imbrix::test
