// The converter front against sources made to harm: SVG documents that pull in
// the files beside them, SVG under other formats' names, entity bombs, a FIFO in
// a picture's place, an animation that asks for hours of work. Each either
// converts without reading anything but the source, or fails as unreadable
// (status 3) with the reason, quickly and within bounded memory.
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "magick/magick_support.h"
#include "tools/magick/messages.h"
#include "tools/magick/tga.h"

namespace imbrix::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSecretText = "TOPSECRET-PASSWORD-4711";
// The secret picture's colour, found nowhere else in the document.
constexpr int kSecret[3] = {0x13, 0x57, 0x9b};

// Draws the secret picture where it is allowed to, and the secret text as
// glyphs: a render that reads them differs from one that does not.
constexpr const char* kNosySvg = R"(<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink"
     xmlns:xi="http://www.w3.org/2001/XInclude" width="96" height="48">
  <rect width="96" height="48" fill="#ffffff"/>
  <rect x="64" width="32" height="24" fill="#ff8000"/>
  <image x="0" y="0" width="48" height="48" xlink:href="secret.png"/>
  <image x="0" y="0" width="48" height="48" xlink:href="sub/secret.png"/>
  <text x="2" y="40" font-size="14" fill="#000000"><xi:include href="secret.txt" parse="text"/></text>
</svg>
)";

bool hasSecretColour(const Picture& picture) {
    for (std::size_t i = 0; i + 3 < picture.rgba.size(); i += 4) {
        if (std::abs(picture.rgba[i] - kSecret[0]) < 12 &&
            std::abs(picture.rgba[i + 1] - kSecret[1]) < 12 &&
            std::abs(picture.rgba[i + 2] - kSecret[2]) < 12 && picture.rgba[i + 3] > 128) {
            return true;
        }
    }
    return false;
}

bool fileContains(const fs::path& file, const std::string& text) {
    const auto bytes = readBytes(file);
    return std::search(bytes.begin(), bytes.end(), text.begin(), text.end()) != bytes.end();
}

class HostileSourceTest : public MagickTest {
protected:
    // The document in a folder with secrets beside it and below it, and in a
    // folder with nothing else: what is drawn must be the same.
    void SetUp() override {
        MagickTest::SetUp();
        nosy_ = dir() / "nosy";
        plain_ = dir() / "plain";
        fs::create_directories(nosy_ / "sub");
        fs::create_directories(plain_);
        for (const fs::path& folder : {nosy_, nosy_ / "sub"}) {
            writeText(folder / "secret.txt", std::string(kSecretText) + "\n");
            ASSERT_EQ(runCommand({"/usr/bin/convert", "-size", "16x16", "xc:#13579b",
                                  "png:" + (folder / "secret.png").string()}),
                      0);
        }
        writeText(nosy_ / "picture.svg", kNosySvg);
        writeText(plain_ / "picture.svg", kNosySvg);
    }

    // Converts `source` into `out` (by the extension of `out`: PNG by decode,
    // anything else by the write route).
    RunResult convert(const fs::path& source, const fs::path& out) {
        if (out.extension() == ".png") {
            return runMagick({source.string(), out.string()});
        }
        return runMagick({source.string(), "-auto-orient", "-quality", "90", out.string()});
    }

    fs::path nosy_;
    fs::path plain_;
};

// Every route of the front, with the SVG named as SVG: the output is the picture
// without the secrets, and holds none of their bytes.
TEST_F(HostileSourceTest, SvgReadsNoOtherFileOnAnyRoute) {
    for (const std::string ext :
         {"png", "bmp", "gif", "ico", "tga", "psd", "svg", "jxl", "jp2", "avif", "pdf"}) {
        SCOPED_TRACE(ext);
        const fs::path withSecrets = dir() / ("nosy." + ext);
        const fs::path without = dir() / ("plain." + ext);
        const RunResult nosyRun = convert(nosy_ / "picture.svg", withSecrets);
        const RunResult plainRun = convert(plain_ / "picture.svg", without);
        ASSERT_EQ(nosyRun.status, 0) << nosyRun.output;
        ASSERT_EQ(plainRun.status, 0) << plainRun.output;
        EXPECT_FALSE(fileContains(withSecrets, kSecretText));
        const Picture got = readOutput(withSecrets, ext, dir());
        const Picture reference = readOutput(without, ext, dir());
        ASSERT_FALSE(got.empty());
        EXPECT_FALSE(hasSecretColour(got));
        EXPECT_LT(got.meanDifference(reference), 0.5) << "the text or picture beside it was drawn";
        // The orange corner shows that the document itself was drawn.
        const std::size_t corner = (std::size_t{4} * static_cast<std::size_t>(got.width) + 90) * 4;
        EXPECT_GT(got.rgba[corner], 200);
        EXPECT_LT(got.rgba[corner + 2], 60);
    }
}

// The same document under the names of formats that other readers take by
// name (gdk-pixbuf's SVG loader, ImageMagick's MSVG and TEXT coders): read as
// the SVG it is, through the same guarded renderer.
TEST_F(HostileSourceTest, SvgUnderAnotherNameIsReadAsSvg) {
    const Picture reference = [&] {
        const RunResult run = convert(plain_ / "picture.svg", dir() / "reference.png");
        EXPECT_EQ(run.status, 0) << run.output;
        return loadPng(dir() / "reference.png");
    }();
    ASSERT_FALSE(reference.empty());
    for (const std::string ext : {"tga", "psd", "avif", "heic", "jp2", "png", "jpg"}) {
        SCOPED_TRACE(ext);
        const fs::path source = nosy_ / ("picture." + ext);
        fs::copy_file(nosy_ / "picture.svg", source);
        for (const std::string out : {"png", "bmp"}) {
            const fs::path target = dir() / ("from-" + ext + "." + out);
            const RunResult run = convert(source, target);
            ASSERT_EQ(run.status, 0) << run.output;
            EXPECT_FALSE(fileContains(target, kSecretText));
            const Picture got = readOutput(target, out, dir());
            EXPECT_FALSE(hasSecretColour(got));
            EXPECT_LT(got.meanDifference(reference), 0.5);
        }
    }
}

std::string repeat(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += piece;
    }
    return out;
}

// Runs the front under a 1 GiB address space and a minute's time, so that a
// front that gives in to a source fails the test instead of taking the machine.
RunResult runBounded(const std::vector<std::string>& args) {
    std::vector<std::string> argv{
        "/usr/bin/prlimit", "--as=1073741824", "--", "/usr/bin/timeout", "-s", "KILL", "60",
        magickPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult run;
    run.status = runCommand(argv, &run.output);
    return run;
}

// Refused as unreadable, naming the source, with the reason, and nothing written.
void expectUnreadable(const RunResult& run, const fs::path& source, const fs::path& out,
                      const std::string& reason) {
    EXPECT_EQ(run.status, 3) << run.output;
    EXPECT_EQ(run.lastLine().rfind("magick: cannot read " + source.string() + ": ", 0), 0u)
        << run.lastLine();
    EXPECT_NE(run.lastLine().find(reason), std::string::npos) << run.lastLine();
    EXPECT_FALSE(fs::exists(out));
}

TEST_F(MagickTest, SvgEntityBombsAreRefusedAsUnreadable) {
    // One 10,000-character entity referenced 2,000 times: 26 KB of file, 20 MB
    // of text, which librsvg alone lays out for minutes in gigabytes.
    const std::string bomb = "<?xml version=\"1.0\"?>\n<!DOCTYPE svg [<!ENTITY e \"" +
                             std::string(10000, 'A') +
                             "\">]>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"10\" "
                             "height=\"10\"><text>" +
                             repeat("&e;", 2000) + "</text></svg>";
    std::string laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE svg [<!ENTITY l0 \"lol\">";
    for (int i = 1; i <= 9; ++i) {
        laughs += "<!ENTITY l" + std::to_string(i) + " \"" +
                  repeat("&l" + std::to_string(i - 1) + ";", 10) + "\">";
    }
    laughs +=
        "]>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"10\" height=\"10\">"
        "<text>&l9;</text></svg>";
    struct Case {
        std::string name;
        std::string text;
        std::string reason;
    };
    for (const Case& c : {Case{"flat.svg", bomb, "entity references expand to more than"},
                          Case{"flat.tga", bomb, "entity references expand to more than"},
                          Case{"laughs.svg", laughs, "entity"}}) {
        SCOPED_TRACE(c.name);
        const fs::path source = dir() / c.name;
        writeText(source, c.text);
        const fs::path out = dir() / (c.name + ".png");
        expectUnreadable(runBounded({source.string(), out.string()}), source, out, c.reason);
    }
}

TEST_F(MagickTest, FifoSourceIsRefusedWithoutWaiting) {
    const fs::path fifo = dir() / "waiting.tga";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const fs::path out = dir() / "out.png";
    expectUnreadable(runBounded({fifo.string(), out.string()}), fifo, out, "not a regular file");
}

// A GIF of a few kilobytes: 200 frames of one pixel on a 12000 x 10000 screen.
std::vector<std::uint8_t> hugeAnimation() {
    std::vector<std::uint8_t> gif = {'G',  'I', 'F', '8', '9', 'a', 0xe0, 0x2e, 0x10, 0x27,
                                     0x80, 0,   0,   0,   0,   0,   0xff, 0xff, 0xff};
    const std::vector<std::uint8_t> loop = {0x21, 0xff, 0x0b, 'N', 'E', 'T', 'S', 'C', 'A', 'P',
                                            'E',  '2',  '.',  '0', 3,   1,   0,   0,   0};
    gif.insert(gif.end(), loop.begin(), loop.end());
    for (int i = 0; i < 200; ++i) {
        const std::vector<std::uint8_t> frame = {0x21, 0xf9, 4, 0, 10,   0,    0, 0,  // 0.1 s
                                                 0x2c, 0,    0, 0, 0,    1,    0, 1,
                                                 0,    0,    2, 2, 0x44, 0x01, 0};
        gif.insert(gif.end(), frame.begin(), frame.end());
    }
    gif.push_back(0x3b);
    return gif;
}

TEST_F(MagickTest, AnimationAskingForTooMuchWorkIsRefusedBeforeItStarts) {
    const fs::path source = dir() / "huge.gif";
    writeBytes(source, hugeAnimation());
    const fs::path out = dir() / "out.webp";
    expectUnreadable(runBounded({source.string(), "-auto-orient", "-coalesce", out.string()}),
                     source, out, "the animation asks for too much work");
    // The largest animation of the corpus (45 frames of 660 x 666) still converts.
    const fs::path honest = corpusDir() / "gif/animated/1_partyanimsm2.gif";
    const fs::path honestOut = dir() / "honest.webp";
    const RunResult run =
        runBounded({honest.string(), "-auto-orient", "-coalesce", honestOut.string()});
    EXPECT_EQ(run.status, 0) << run.output;
}

// tests/magick/crashers: inputs with which fuzzing took the front's readers
// down. Each now fails as unreadable with its message, in the reader itself and
// through the front; every file of the folder needs its line here.
TEST_F(MagickTest, CrashersFailAsUnreadableWithTheirMessage) {
    const std::map<std::string, std::string> expected = {
        // gdk-pixbuf's TGA loader allocated whatever these headers claim.
        {"tga-huge-rle-32bit.tga", "the picture is too large (22627 x 26435 pixels)"},
        {"tga-huge-rle-16bit.tga", "the picture is too large (65307 x 24831 pixels)"},
    };
    std::size_t checked = 0;
    for (const auto& entry : fs::directory_iterator(sourceDir() / "tests/magick/crashers")) {
        const std::string name = entry.path().filename().string();
        SCOPED_TRACE(name);
        const auto it = expected.find(name);
        if (it == expected.end()) {
            ADD_FAILURE() << "no expected message";
            continue;
        }
        const magick::TgaReading reading =
            magick::readTga(entry.path().string(), file("direct.pam"), magick::TgaTarget::Pam);
        EXPECT_EQ(reading.result, magick::TgaReading::Result::Unreadable);
        EXPECT_EQ(reading.message, it->second);
        const fs::path out = dir() / (name + ".png");
        expectUnreadable(runBounded({entry.path().string(), out.string()}), entry.path(), out,
                         it->second);
        ++checked;
    }
    EXPECT_EQ(checked, expected.size());
}

// The line of a helper's output that says what went wrong.
TEST(MagickMessages, ProblemLineIsTheRealError) {
    struct Case {
        const char* output;
        const char* line;
    };
    const Case cases[] = {
        // djxl on a truncated file: an informational line of libjxl first.
        {"./lib/jxl/fields.cc:520: Skipping 17-bit extension(s)\n"
         "Input file is truncated and allow_partial_input was disabled."
         "DecompressJxlToPackedPixelFile failed\n",
         "Input file is truncated and allow_partial_input was disabled"},
        {"./lib/jxl/decode.cc:2123: invalid signature\nDecompressJxlToPackedPixelFile failed\n",
         "invalid signature"},
        {"convert-im6.q16: improper image header `x.heic' @ error/heic.c/ReadHEICImage/226.\n"
         "convert-im6.q16: no images defined `png:y' @ error/convert.c/ConvertImageCommand/3229.\n",
         "convert-im6.q16: improper image header `x.heic' @ error/heic.c/ReadHEICImage/226."},
        {"[INFO] tile number 1\n[ERROR] Number of resolutions is too high\nfailed to encode "
         "image\n",
         "[ERROR] Number of resolutions is too high"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(magick::problemLine(c.output), c.line) << c.output;
    }
}

}  // namespace
}  // namespace imbrix::test
