// imbrix-cli under a 1 GB address-space limit, with its default memory budget:
// tiny files whose headers claim huge pictures fail one by one with a message,
// instead of the program being killed or the machine running out.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/testsupport.h"

namespace imbrix::test {
namespace {

using Bytes8 = std::vector<std::uint8_t>;

void put16(Bytes8& b, unsigned v, bool bigEndian) {
    const auto hi = static_cast<std::uint8_t>(v >> 8), lo = static_cast<std::uint8_t>(v);
    b.insert(b.end(), bigEndian ? std::initializer_list<std::uint8_t>{hi, lo}
                                : std::initializer_list<std::uint8_t>{lo, hi});
}

// 873 bytes: a progressive JPEG frame header of 16000 x 16000 and no scan.
Bytes8 progressiveJpeg() {
    Bytes8 b{0xFF, 0xD8, 0xFF, 0xC2};
    put16(b, 17, true);
    b.push_back(8);
    put16(b, 16000, true);
    put16(b, 16000, true);
    b.insert(b.end(), {3, 1, 0x22, 0, 2, 0x11, 0, 3, 0x11, 0});
    b.insert(b.end(), 850, 0);
    b.insert(b.end(), {0xFF, 0xD9});
    return b;
}

// 35 bytes: a 1 x 1 frame on a screen of 16384 x 16384.
Bytes8 hugeScreenGif() {
    Bytes8 b{'G', 'I', 'F', '8', '9', 'a'};
    put16(b, 16384, false);
    put16(b, 16384, false);
    b.insert(b.end(), {0x80, 0, 0, 0, 0, 0, 255, 255, 255,  0x2C, 0, 0,   0,
                       0,    1, 0, 1, 0, 0, 2,   2,   0x44, 0x01, 0, 0x3B});
    return b;
}

// An animated WEBP of three 4 x 4 frames whose canvas claims 16383 x 16383.
Bytes8 hugeCanvasWebp(const ScratchDir& dir) {
    const std::string red = dir.file("red.png"), blue = dir.file("blue.png");
    const std::string anim = dir.file("anim.webp");
    EXPECT_EQ(runCommand({"convert", "-size", "4x4", "xc:red", red}), 0);
    EXPECT_EQ(runCommand({"convert", "-size", "4x4", "xc:blue", blue}), 0);
    EXPECT_EQ(runCommand({"img2webp", "-lossless", red, blue, red, "-o", anim}), 0);
    Bytes8 b = readBytes(anim);
    EXPECT_EQ(std::string(b.begin() + 12, b.begin() + 16), "VP8X");
    for (int side = 0; side < 2; ++side) {
        for (int i = 0; i < 3; ++i) {
            b.at(24 + 3 * side + i) = static_cast<std::uint8_t>(16382 >> (8 * i));
        }
    }
    return b;
}

TEST(CliBudget, HostileTinyFilesFailWithMessagesUnderAnAddressSpaceLimit) {
    ScratchDir sources, out;
    writeBytes(sources.file("claim.jpg"), progressiveJpeg());
    writeBytes(sources.file("screen.gif"), hugeScreenGif());
    writeBytes(sources.file("canvas.webp"), hugeCanvasWebp(sources));
    for (const char* format : {"PNG", "WEBP"}) {
        SCOPED_TRACE(format);
        std::string output;
        const int status =
            runCommand({"prlimit", "--as=1073741824", "--", (binDir() / "imbrix-cli").string(),
                        "-f", format, "-d", out.path().string(), sources.file("claim.jpg"),
                        sources.file("screen.gif"), sources.file("canvas.webp")},
                       &output);
        EXPECT_EQ(status, 1) << output;  // files failed; nothing killed the program
        EXPECT_NE(output.find("claim.jpg: JPEG error: the header claims 16000 x 16000 pixels, "
                              "more than a file of 873 bytes can hold"),
                  std::string::npos)
            << output;
        for (const char* name :
             {"screen.gif: The picture needs ", "canvas.webp: The picture needs "}) {
            EXPECT_NE(output.find(name), std::string::npos) << output;
        }
        EXPECT_NE(output.find("more than the 512 MB this run may use"), std::string::npos)
            << output;
        EXPECT_NE(output.find("Processed Image Files: 3"), std::string::npos) << output;
    }
}

TEST(CliBudget, MemoryAndJobsOptions) {
    const struct {
        std::vector<std::string> args;
        int status;
        const char* text;
    } cases[] = {
        {{"--memory", "10M"}, 2, "memory must be a size of at least 64M"},
        {{"--memory", "2X"},
         2,
         "memory must be a size of at least 64M (as 512M or 2G), not \"2X\""},
        {{"--jobs", "1000"}, 1, "Note: --jobs 1000 reduced to"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{(binDir() / "imbrix-cli").string()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        argv.push_back("/nonexistent/picture.png");
        std::string output;
        EXPECT_EQ(runCommand(argv, &output), c.status) << output;
        EXPECT_NE(output.find(c.text), std::string::npos) << output;
    }
}

}  // namespace
}  // namespace imbrix::test
