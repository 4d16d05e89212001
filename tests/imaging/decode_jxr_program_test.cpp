// The JPEG XR decoder's own program: each way it can fail reaches the caller as
// a message, promptly, and a reply is taken only when it is whole.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>

#include "decode_testutil.h"
#include "imaging/colour.h"
#include "imaging/formats/jxr_input.h"
#include "imaging/formats/jxr_reply.h"

namespace imbrix::test {
namespace {

using namespace std::chrono_literals;

// A stand-in for imbrix-jxrdecode: a shell script with `body`.
std::string fakeDecoder(const ScratchDir& dir, const std::string& body) {
    const std::string path = dir.file("imbrix-jxrdecode");
    writeText(path, "#!/bin/sh\n" + body);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
}

// A reply header as the program writes it (little-endian words), then `rest`.
std::string reply(int status, int width, int height, const std::string& rest) {
    auto word = [](int v) {
        return "\\" + std::to_string((v & 0xFF) / 64) + std::to_string((v & 0x3F) / 8) +
               std::to_string(v & 7) + "\\000\\000\\000";
    };
    return "cat >/dev/null; printf '" + word(status) + word(width) + word(height) + word(0) +
           word(0) + word(0) + word(0) + rest + "'\n";
}

TEST(JpegXrDecoderProgram, EachFailureGivesItsMessagePromptly) {
    struct Case {
        const char* name;
        std::string body;  // empty: no program at all
        std::string message;
    };
    const Case cases[] = {
        {"crashes on the data", "cat >/dev/null; kill -SEGV $$\n",
         "JPEG XR error: the file is damaged"},
        {"hangs", "exec sleep 300\n", "JPEG XR error: the decoder stopped responding"},
        {"hangs before it reads", "trap '' TERM; sleep 300\n",
         "JPEG XR error: the decoder stopped responding"},
        {"missing", "", ""},
        {"ends the reply early", "cat >/dev/null; printf 'abc'\n",
         "JPEG XR error: the decoder program's reply is incomplete"},
        {"sends too few pixels", reply(0, 2, 1, "\\001\\002\\003\\004"),
         "JPEG XR error: the decoder program's reply is incomplete"},
        {"sends too many pixels", reply(0, 1, 1, "\\001\\002\\003\\004\\005"),
         "JPEG XR error: the decoder program wrote more than a picture"},
        {"sends a wrong status", reply(9, 1, 1, ""), "JPEG XR error: the file is damaged"},
    };
    const std::vector<std::uint8_t> data(100000, 0x57);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        const std::string path =
            c.body.empty() ? dir.file("imbrix-jxrdecode") : fakeDecoder(dir, c.body);
        const std::string message =
            c.body.empty() ? "JPEG XR error: the decoder program " + path + " is missing"
                           : c.message;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(errorMessage([&] {
                      imaging::formats::decodeJxrWith(imaging::Bytes(data), {path, 500ms});
                  }),
                  message);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    }
}

// What a well-formed reply says arrives as it is: two pixels, unpremultiplied
// in the reply, premultiplied in the picture.
TEST(JpegXrDecoderProgram, WholeReplyBecomesThePicture) {
    ScratchDir dir;
    // Words: decoded, 2 x 1, not premultiplied, no message, no profile, not
    // gray; then BGRA, BGRA.
    const std::string path =
        fakeDecoder(dir,
                    "cat >/dev/null; printf '\\000\\000\\000\\000\\002\\000\\000\\000"
                    "\\001\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000"
                    "\\000\\000\\000\\000\\000\\000\\000\\000"
                    "\\012\\024\\036\\377\\200\\200\\200\\200'\n");
    const std::vector<std::uint8_t> data(10, 1);
    const imaging::Raster picture =
        imaging::formats::decodeJxrWith(imaging::Bytes(data), {path, 5s}).pixels;
    ASSERT_EQ(picture.width(), 2u);
    ASSERT_EQ(picture.height(), 1u);
    EXPECT_TRUE(picture.premultiplied);
    const std::uint8_t* row = picture.row(0);
    EXPECT_EQ((std::vector<std::uint8_t>(row, row + 8)),
              (std::vector<std::uint8_t>{10, 20, 30, 255, 64, 64, 64, 128}));
}

// The colour context the program sends with the pixels becomes the picture's
// profile as for every decoder: an RGB one is kept, a gray one on gray samples
// is applied, one that cannot be read is dropped.
TEST(JpegXrDecoderProgram, ProfileArrivesWithThePicture) {
    ScratchDir dir;
    std::string log;
    ASSERT_EQ(runCommand({"exiftool", "-b", "-ICC_Profile",
                          corpusFile("png-misc/wide-gamut/P3-sRGB-color-ring.png").string()},
                         &log),
              0);
    const std::vector<std::uint8_t> p3(log.begin(), log.end());
    const std::vector<std::uint8_t> lStar = readBytes("/usr/share/color/icc/Gray-CIE_L.icc");
    struct Case {
        const char* name;
        std::vector<std::uint8_t> profile;
        bool gray;
        std::vector<std::uint8_t> icc;  // what the picture carries
        bool pixelsChange;
    };
    const std::vector<Case> cases = {
        {"RGB", p3, false, p3, false},
        {"gray", lStar, true, {}, true},
        {"unreadable", std::vector<std::uint8_t>(200, 7), false, {}, false},
    };
    const std::vector<std::uint8_t> pixels = {60, 60, 60, 255, 200, 200, 200, 255};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        imaging::jxr::Reply header{
            imaging::jxr::kDecoded, 2, 1, 0, 0, static_cast<std::uint32_t>(c.profile.size()),
            c.gray ? 1u : 0u};
        std::vector<std::uint8_t> bytes(sizeof header);
        std::memcpy(bytes.data(), &header, sizeof header);
        bytes.insert(bytes.end(), c.profile.begin(), c.profile.end());
        bytes.insert(bytes.end(), pixels.begin(), pixels.end());
        writeBytes(dir.path() / "reply", bytes);
        const std::string path =
            fakeDecoder(dir, "cat >/dev/null; cat \"$(dirname \"$0\")/reply\"\n");
        const std::vector<std::uint8_t> data(10, 1);
        const imaging::Picture picture =
            imaging::formats::decodeJxrWith(imaging::Bytes(data), {path, 5s});
        EXPECT_EQ(picture.meta.icc, c.icc);
        const std::uint8_t* row = picture.pixels.row(0);
        EXPECT_EQ(std::vector<std::uint8_t>(row, row + 8) != pixels, c.pixelsChange);
    }
}

}  // namespace
}  // namespace imbrix::test
