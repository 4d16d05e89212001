// The SVG decoder against hostile documents: entity bombs of every shape, an
// outside entity and a compressed document that inflates without end are
// refused with a message; honest documents that use entities still render.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <string>
#include <vector>

#include "decode_testutil.h"

namespace imbrix::test {
namespace {

std::string repeat(const std::string& piece, int times) {
    std::string out;
    out.reserve(piece.size() * static_cast<std::size_t>(times));
    for (int i = 0; i < times; ++i) {
        out += piece;
    }
    return out;
}

std::string document(const std::string& subset, const std::string& body) {
    return "<?xml version=\"1.0\"?>\n<!DOCTYPE svg [" + subset +
           "]>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"10\" height=\"10\">" + body +
           "</svg>";
}

// Decodes `data` in a child process whose address space is capped at 1 GiB and
// whose time is capped at 60 seconds, and returns the decoder's message ("" when
// it decoded). A decoder that gives in to the document fails the test instead
// of taking the machine's memory.
std::string decodeInChild(const std::vector<std::uint8_t>& data) {
    const ChildResult child = runInChild(
        [&data]() -> std::string {
            const rlimit limit{1ull << 30, 1ull << 30};
            ::setrlimit(RLIMIT_AS, &limit);
            try {
                imaging::decodeWithPictureLoader("svg", imaging::Bytes(data.data(), data.size()));
                return "";
            } catch (const imaging::Error& e) {
                return e.what();
            } catch (const std::bad_alloc&) {
                return "out of memory";
            }
        },
        60);
    EXPECT_TRUE(child.finished) << "the decoder's process ended by signal " << child.signal
                                << " (SIGALRM: still at work after 60 s)";
    return child.finished ? child.text : "no answer";
}

struct HostileCase {
    const char* label;
    std::string data;
    const char* message;  // the message contains this
};

// Each refused quickly, with its reason, within a gigabyte: without the guard
// librsvg takes gigabytes and minutes on the first four.
TEST(SvgGuard, HostileDocumentsAreRefusedWithTheirReason) {
    const std::string ten = repeat("A", 10000);
    const std::string bomb = "the SVG document's entity references expand to more than";
    const std::vector<HostileCase> cases = {
        // One long entity, referenced flat in text (26 KB of file, 20 MB of text).
        {"flat text",
         document("<!ENTITY e \"" + ten + "\">", "<text>" + repeat("&e;", 2000) + "</text>"),
         bomb.c_str()},
        // The same in attribute values.
        {"flat attributes",
         document("<!ENTITY e \"" + ten + "\">", repeat("<g class=\"&e;&e;&e;&e;\"/>", 500)),
         bomb.c_str()},
        // Two levels, each below what libxml2 notices by itself.
        {"two levels",
         document(
             "<!ENTITY a \"" + repeat("A", 1000) + "\"><!ENTITY b \"" + repeat("&a;", 100) + "\">",
             "<text>" + repeat("&b;", 500) + "</text>"),
         bomb.c_str()},
        // The classic: ten levels of ten.
        {"billion laughs",
         [] {
             std::string subset = "<!ENTITY l0 \"lol\">";
             for (int i = 1; i <= 9; ++i) {
                 subset += "<!ENTITY l" + std::to_string(i) + " \"" +
                           repeat("&l" + std::to_string(i - 1) + ";", 10) + "\">";
             }
             return document(subset, "<text>&l9;</text>");
         }(),
         "entit"},
        {"outside entity", document("<!ENTITY s SYSTEM \"secret.txt\">", "<text>&s;</text>"),
         "outside entity"},
        {"entity loop", document("<!ENTITY a \"&b;\"><!ENTITY b \"&a;\">", "<text>&a;</text>"),
         "entit"},
    };
    for (const HostileCase& c : cases) {
        const std::string message =
            decodeInChild(std::vector<std::uint8_t>(c.data.begin(), c.data.end()));
        EXPECT_EQ(message.rfind("SVG error: ", 0), 0u) << c.label << ": " << message;
        EXPECT_NE(message.find(c.message), std::string::npos) << c.label << ": " << message;
    }
}

// A compressed document that inflates beyond the limit is refused without
// inflating it whole.
TEST(SvgGuard, CompressedDocumentInflatingWithoutEndIsRefused) {
    ScratchDir scratch;
    const std::string packed = scratch.file("huge.svgz");
    // 65 MiB of zero bytes, compressed to some 64 KB.
    ASSERT_EQ(
        runCommand({"/bin/sh", "-c", "head -c 68157440 /dev/zero | gzip -1 >\"$1\"", "sh", packed}),
        0);
    const std::vector<std::uint8_t> data = readBytes(packed);
    ASSERT_LT(data.size(), 1024u * 1024);
    const std::string message = decodeInChild(data);
    EXPECT_EQ(message, "SVG error: the compressed SVG document inflates to more than 64 MiB");
}

// Entities as illustration programs write them (colours, a namespace), in a
// plain and in a compressed document: drawn as without them.
TEST(SvgGuard, HonestDocumentsWithEntitiesRender) {
    const std::string text = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE svg PUBLIC "-//W3C//DTD SVG 1.1//EN" "http://www.w3.org/Graphics/SVG/1.1/DTD/svg11.dtd" [
  <!ENTITY ns_xlink "http://www.w3.org/1999/xlink">
  <!ENTITY red "#ff0000">
  <!ENTITY blue "#0000ff">
  <!ENTITY half "width=&quot;20&quot;">
  <!ENTITY both "&red; &blue;">
]>
<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="&ns_xlink;" width="40" height="20">
  <!-- &both; -->
  <rect width="20" height="20" fill="&red;"/>
  <rect x="20" width="20" height="10" fill="&blue;"/>
</svg>)";
    ScratchDir scratch;
    const std::string plain = scratch.file("honest.svg");
    writeText(plain, text);
    ASSERT_EQ(runCommand({"/bin/gzip", "-k", "-f", plain}), 0);
    for (const std::string& path : {plain, plain + ".gz"}) {
        const std::vector<std::uint8_t> data = readBytes(path);
        const imaging::Raster picture =
            imaging::decodeWithPictureLoader("svg", imaging::Bytes(data.data(), data.size()));
        ASSERT_EQ(picture.width(), 40u) << path;
        ASSERT_EQ(picture.height(), 20u) << path;
        EXPECT_TRUE(pixelNear(picture, {5, 10, 0xff0000ff}, 0)) << path;
        EXPECT_TRUE(pixelNear(picture, {30, 5, 0x0000ffff}, 0)) << path;
        EXPECT_TRUE(pixelNear(picture, {30, 15, 0x00000000}, 0)) << path;
    }
}

}  // namespace
}  // namespace imbrix::test
