// Recognising sources by content: the front reads every file as what its bytes
// are, whatever its name says, and refuses what it does not know.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "common/testsupport.h"
#include "tools/magick/content.h"

namespace imbrix::test {
namespace {

using magick::SourceKind;
using namespace std::string_literals;

std::string gzipped(const std::string& text) {
    ScratchDir scratch;
    const std::string path = scratch.file("doc.svg");
    writeText(path, text);
    EXPECT_EQ(runCommand({"/bin/gzip", "-n", "-f", path}), 0);
    const auto bytes = readBytes(path + ".gz");
    return std::string(bytes.begin(), bytes.end());
}

std::string utf16le(const std::string& ascii) {
    std::string out = "\xff\xfe";
    for (const char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

TEST(MagickContent, SourcesAreRecognisedByTheirBytes) {
    const std::string svg = R"(<svg xmlns="http://www.w3.org/2000/svg" width="4" height="4"/>)";
    // A prolog far longer than any fixed peek, with markup-like text in it.
    const std::string prolog =
        "\xef\xbb\xbf<?xml version=\"1.0\"?>\n<!-- <g> " + std::string(20000, '-') +
        " -->\n<!DOCTYPE svg [\n<!ENTITY a \"<g> ]> x\">\n<!-- ]> <p> -->\n]>\n";
    const std::string tga =
        "\0\0\x02\0\0\0\0\0\0\0\0\0\x04\0\x04\0\x18\x20"s + std::string(48, 'x');
    struct Case {
        const char* label;
        std::string head;
        const char* extension;
        SourceKind kind;
    };
    const std::vector<Case> cases = {
        {"svg named tga", svg, ".tga", SourceKind::Svg},
        {"svg after a long prolog, named psd", prolog + svg, ".psd", SourceKind::Svg},
        {"prefixed root", "<svg:svg xmlns:svg=\"http://www.w3.org/2000/svg\"/>", ".jp2",
         SourceKind::Svg},
        {"utf-16 svg", utf16le(svg), ".heic", SourceKind::Svg},
        {"compressed svg named avif", gzipped(svg), ".avif", SourceKind::Svg},
        {"other xml named tga", "<?xml version=\"1.0\"?><html/>", ".tga", SourceKind::Unknown},
        {"other xml named svg: librsvg says why", "<html/>", ".svg", SourceKind::Svg},
        {"text named svg", "hello", ".svg", SourceKind::Unknown},
        {"tga header named tga", tga, ".tga", SourceKind::Tga},
        {"tga header named png", tga, ".png", SourceKind::Unknown},
        {"text named tga", "not a picture at all, but long enough", ".tga", SourceKind::Unknown},
        {"png named tga", "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR"s, ".tga", SourceKind::Png},
        {"psd", "8BPS\0\x01"s, ".tga", SourceKind::Psd},
        {"jp2", "\0\0\0\x0cjP  \r\n\x87\n"s, ".heic", SourceKind::Jp2},
        {"avif",
         "\0\0\0\x1c"
         "ftypavif\0\0\0\0mif1miaf"s,
         ".heic", SourceKind::Avif},
        {"heic",
         "\0\0\0\x18"
         "ftypheic\0\0\0\0mif1heic"s,
         ".avif", SourceKind::Heic},
        {"mp4 is no picture",
         "\0\0\0\x18"
         "ftypisom\0\0\0\0isomiso2"s,
         ".heic", SourceKind::Unknown},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(magick::classifySource(c.head, c.extension), c.kind) << c.label;
    }
}

TEST(MagickContent, HeaderSizesAndFrames) {
    // PNG 70000 x 3: a side beyond the limits, read from IHDR.
    const std::string png = "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\x01\x11\x70\0\0\0\x03"s;
    const auto size = magick::headerSize(SourceKind::Png, png);
    ASSERT_TRUE(size);
    EXPECT_EQ(size->width, 70000u);
    EXPECT_EQ(size->height, 3u);
    // A JPEG's frame header after an APP0 segment: 640 x 480.
    const std::string jpeg = "\xff\xd8\xff\xe0\0\x04\0\0\xff\xc2\0\x11\x08\x01\xe0\x02\x80"s;
    const auto photo = magick::headerSize(SourceKind::Jpeg, jpeg);
    ASSERT_TRUE(photo);
    EXPECT_EQ(photo->width, 640u);
    EXPECT_EQ(photo->height, 480u);
    // Frames of a real animation, and a count that stops at the cap.
    std::istringstream party(std::string([] {
        const auto b = readBytes(corpusDir() / "gif/animated/1_partyanimsm2.gif");
        return std::string(b.begin(), b.end());
    }()));
    EXPECT_EQ(magick::countGifFrames(party, 1000), 45u);
    party.clear();
    party.seekg(0);
    EXPECT_EQ(magick::countGifFrames(party, 10), 11u);
}

}  // namespace
}  // namespace imbrix::test
