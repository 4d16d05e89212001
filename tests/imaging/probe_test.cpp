// The probe: real files of every source format at the sizes ImageMagick (or the
// format's own tool) reads, and tiny files whose headers claim what their data
// cannot hold.
#include "imaging/probe.h"

#include <gtest/gtest.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/testsupport.h"
#include "encode_testutil.h"
#include "imaging/encode.h"
#include "imaging/error.h"
#include "imaging/sink.h"

namespace imbrix::imaging {
namespace {

using Bytes8 = std::vector<std::uint8_t>;

std::optional<PictureExtent> probe(const Bytes8& bytes) {
    return probePicture(Bytes(bytes.data(), bytes.size()));
}

struct CorpusCase {
    const char* path;
    std::uint32_t width, height;
    std::uint64_t frames;
};

// Sizes as `identify -format "%W %H"` reads them (jxlinfo for JPEG XL, which
// ImageMagick 6 does not read); bench/probe_sweep.py checks the whole corpus.
constexpr CorpusCase kCorpus[] = {
    {"photos/camera/kde_BytheWater.jpg", 2560, 1600, 1},
    {"photos/jpeg-variants/video-001.progressive.jpeg", 150, 103, 1},
    {"photos/jpeg-variants/flower_small.q85_420_non_interleaved.jpg", 0, 0, 1},
    {"png-misc/skimage/brick.png", 512, 512, 1},
    {"pngsuite/basi0g01.png", 32, 32, 1},
    {"gif/animated/newtonscradle.gif", 200, 150, 36},
    {"bmp/misc/not_kitty.bmp", 32, 32, 1},
    {"ico/bugcatcher.ico", 16, 16, 1},
    {"tiff/misc/sample1.tif", 1728, 2376, 1},
    {"tiff/skimage/multipage_rgb.tif", 10, 10, 1},
    {"webp/gnome-backgrounds/adwaita-l.webp", 4096, 4096, 1},
    {"psd/psd.psd", 640, 400, 1},
    {"tga/lunapaint-tombexcavator/TGA_24_rle.tga", 200, 286, 1},
    {"jxl/cropped_traffic_light.jxl", 50, 80, 4},
    {"heic/derived/picosdeeuropa_q80.heic", 3264, 2448, 1},
    {"avif/avif.avif", 320, 180, 1},
    {"jp2/nemo.jp2", 2592, 1456, 1},
    {"jp2/goodstuff.j2k", 480, 800, 1},
};

TEST(Probe, ReadsTheSizeOfRealFilesOfEverySourceFormat) {
    for (const CorpusCase& c : kCorpus) {
        SCOPED_TRACE(c.path);
        const Bytes8 bytes = test::readBytes(test::corpusDir() / c.path);
        const std::optional<PictureExtent> extent = probe(bytes);
        ASSERT_TRUE(extent.has_value());
        if (c.width == 0) {
            // Sizes not listed here are checked against ImageMagick's.
            std::string out;
            ASSERT_EQ(
                test::runCommand(
                    {"identify", "-format", "%w %h", (test::corpusDir() / c.path).string()}, &out),
                0);
            EXPECT_EQ(out, std::to_string(extent->width) + " " + std::to_string(extent->height));
        } else {
            EXPECT_EQ(extent->width, c.width);
            EXPECT_EQ(extent->height, c.height);
        }
        EXPECT_EQ(extent->frames, c.frames);
    }
}

TEST(Probe, ReadsJpegXrHeaders) {
    MemorySink sink;
    Picture picture;
    picture.pixels = test::gradientRaster(37, 21);
    encodeJpegXr(picture, {}, sink);
    const std::optional<PictureExtent> extent = probe(sink.bytes);
    ASSERT_TRUE(extent.has_value());
    EXPECT_EQ(extent->width, 37u);
    EXPECT_EQ(extent->height, 21u);
}

TEST(Probe, KnowsNoSizeForSvgAndUnknownData) {
    EXPECT_FALSE(
        probe(test::readBytes(test::corpusDir() / "broken/librsvg-crash/800-font-inherit.svg"))
            .has_value());
    EXPECT_FALSE(probe(Bytes8{}).has_value());
    EXPECT_FALSE(probe(Bytes8{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l',
                              'd', '!', '!', '!', '!', '!', '!', '!', '!', '!'})
                     .has_value());
}

TEST(Probe, AcceptsARealPhotoCutShort) {
    // A broken download still holds its picture's DC values for what arrived.
    Bytes8 bytes = test::readBytes(test::corpusDir() / "photos/camera/kde_BytheWater.jpg");
    bytes.resize(bytes.size() / 10);
    const std::optional<PictureExtent> extent = probe(bytes);
    ASSERT_TRUE(extent.has_value());
    EXPECT_EQ(extent->width, 2560u);
}

// --- hostile headers -----------------------------------------------------------

void put16be(Bytes8& b, unsigned v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}
void put16le(Bytes8& b, unsigned v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32be(Bytes8& b, std::uint32_t v) {
    put16be(b, v >> 16);
    put16be(b, v & 0xFFFF);
}
void put32le(Bytes8& b, std::uint32_t v) {
    put16le(b, v & 0xFFFF);
    put16le(b, v >> 16);
}

// SOI, a frame header of `marker` (three components, 4:2:0), a little padding, EOI.
Bytes8 jpegClaiming(unsigned marker, unsigned width, unsigned height, std::size_t padding) {
    Bytes8 b{0xFF, 0xD8, 0xFF, static_cast<std::uint8_t>(marker)};
    put16be(b, 17);
    b.push_back(8);
    put16be(b, height);
    put16be(b, width);
    b.push_back(3);
    for (std::uint8_t id = 1; id <= 3; ++id) {
        b.insert(b.end(), {id, static_cast<std::uint8_t>(id == 1 ? 0x22 : 0x11), 0});
    }
    b.insert(b.end(), padding, 0);
    b.insert(b.end(), {0xFF, 0xD9});
    return b;
}

Bytes8 pngClaiming(std::uint32_t width, std::uint32_t height) {
    Bytes8 b{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    put32be(b, 13);
    b.insert(b.end(), {'I', 'H', 'D', 'R'});
    put32be(b, width);
    put32be(b, height);
    b.insert(b.end(), {8, 6, 0, 0, 0, 0, 0, 0, 0});
    b.resize(b.size() + 200);
    return b;
}

// A screen and one frame whose LZW data is `codeBytes` bytes.
Bytes8 gifClaiming(unsigned screenW, unsigned screenH, unsigned frameW, unsigned frameH,
                   std::size_t codeBytes) {
    Bytes8 b{'G', 'I', 'F', '8', '9', 'a'};
    put16le(b, screenW);
    put16le(b, screenH);
    b.insert(b.end(), {0x80, 0, 0, 0, 0, 0, 255, 255, 255});  // two colours
    b.push_back(0x2C);
    put16le(b, 0);
    put16le(b, 0);
    put16le(b, frameW);
    put16le(b, frameH);
    b.push_back(0);
    b.push_back(2);  // LZW minimum code size
    while (codeBytes > 0) {
        const std::size_t n = std::min<std::size_t>(codeBytes, 255);
        b.push_back(static_cast<std::uint8_t>(n));
        b.insert(b.end(), n, 0);
        codeBytes -= n;
    }
    b.insert(b.end(), {0, 0x3B});
    return b;
}

Bytes8 bmpClaiming(std::int32_t width, std::int32_t height, unsigned bits, unsigned compression) {
    Bytes8 b{'B', 'M'};
    put32le(b, 0);
    put32le(b, 0);
    put32le(b, 54);
    put32le(b, 40);
    put32le(b, static_cast<std::uint32_t>(width));
    put32le(b, static_cast<std::uint32_t>(height));
    put16le(b, 1);
    put16le(b, bits);
    put32le(b, compression);
    b.resize(54 + 64);
    return b;
}

Bytes8 tgaClaiming(unsigned width, unsigned height) {
    Bytes8 b{0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    put16le(b, width);
    put16le(b, height);
    b.insert(b.end(), {24, 0x20});
    b.resize(b.size() + 30);
    return b;
}

TEST(Probe, RefusesClaimsTheDataCannotHold) {
    const struct {
        const char* name;
        Bytes8 bytes;
        const char* message;
    } cases[] = {
        {"progressive JPEG of 16000 x 16000 in 873 bytes", jpegClaiming(0xC2, 16000, 16000, 850),
         "JPEG error: the header claims 16000 x 16000 pixels, more than a file of 873 bytes can "
         "hold"},
        {"baseline JPEG", jpegClaiming(0xC0, 4000, 3000, 100), "JPEG error"},
        {"PNG of 100000 x 100000", pngClaiming(100000, 100000), "PNG error: the header claims"},
        {"GIF frame of 10000 x 10000 in 20 code bytes", gifClaiming(10000, 10000, 10000, 10000, 20),
         "GIF error: the header claims 10000 x 10000 pixels"},
        {"BMP of 30000 x 30000", bmpClaiming(30000, 30000, 24, 0), "BMP error"},
        {"BMP stored top-down", bmpClaiming(30000, -30000, 1, 0), "BMP error"},
        {"TGA of 60000 x 60000", tgaClaiming(60000, 60000), "TGA error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            probe(c.bytes);
            ADD_FAILURE() << "not refused";
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

TEST(Probe, AcceptsWhatTheFormatCanHoldInFewBytes) {
    // Arithmetic coding spends less than a bit on a flat block.
    EXPECT_EQ(probe(jpegClaiming(0xC9, 16000, 16000, 100))->pixels(), 16000ull * 16000);
    // Enough LZW data for its frame; a small frame on a large screen.
    EXPECT_EQ(probe(gifClaiming(100, 100, 100, 100, 40))->pixels(), 10000u);
    const std::optional<PictureExtent> screen = probe(gifClaiming(12000, 10000, 1, 1, 2));
    ASSERT_TRUE(screen.has_value());
    EXPECT_EQ(screen->width, 12000u);
    EXPECT_EQ(screen->height, 10000u);
    // Run-length BMP: one escape ends the picture.
    EXPECT_EQ(probe(bmpClaiming(30000, 30000, 8, 1))->width, 30000u);
    // Deflate of a PNG this size can expand to its rows.
    EXPECT_EQ(probe(pngClaiming(300, 200))->height, 200u);
}

// An animation of `frames` small frames, its canvas then widened to `canvas`
// on each side: a canvas libwebp allocates in full, described in a few bytes.
Bytes8 animatedWebp(int frames, unsigned canvas) {
    WebPAnimEncoderOptions options;
    EXPECT_TRUE(WebPAnimEncoderOptionsInit(&options));
    WebPAnimEncoder* encoder = WebPAnimEncoderNew(4, 4, &options);
    WebPConfig config;
    WebPConfigInit(&config);
    config.lossless = 1;
    for (int i = 0; i < frames; ++i) {
        WebPPicture picture;
        WebPPictureInit(&picture);
        picture.use_argb = 1;
        picture.width = picture.height = 4;
        WebPPictureAlloc(&picture);
        for (int p = 0; p < 16; ++p) {
            picture.argb[p] = 0xFF000000u | static_cast<std::uint32_t>(p * 997 * (i + 1));
        }
        EXPECT_TRUE(WebPAnimEncoderAdd(encoder, &picture, i * 100, &config));
        WebPPictureFree(&picture);
    }
    WebPAnimEncoderAdd(encoder, nullptr, frames * 100, nullptr);
    WebPData data;
    WebPDataInit(&data);
    EXPECT_TRUE(WebPAnimEncoderAssemble(encoder, &data));
    Bytes8 bytes(data.bytes, data.bytes + data.size);
    WebPDataClear(&data);
    WebPAnimEncoderDelete(encoder);
    // VP8X: the canvas minus one, 24 bits each, at bytes 24 and 27.
    for (int side = 0; side < 2; ++side) {
        for (int i = 0; i < 3; ++i) {
            bytes.at(24 + 3 * side + i) = static_cast<std::uint8_t>((canvas - 1) >> (8 * i));
        }
    }
    return bytes;
}

TEST(Probe, CountsTheFramesOfAnAnimatedWebpOnItsCanvas) {
    const Bytes8 bytes = animatedWebp(3, 16000);
    const std::optional<PictureExtent> extent = probe(bytes);
    ASSERT_TRUE(extent.has_value());
    EXPECT_EQ(extent->width, 16000u);
    EXPECT_EQ(extent->height, 16000u);
    EXPECT_EQ(extent->frames, 3u);
    EXPECT_LT(bytes.size(), 300u);
}

TEST(Probe, PixelsSaturateInsteadOfWrapping) {
    const PictureExtent huge{0xFFFFFFFFu, 0xFFFFFFFFu, std::uint64_t{1} << 40};
    EXPECT_EQ(huge.pixels(), UINT64_MAX);
    const PictureExtent frames{12000, 10000, 200};
    EXPECT_EQ(frames.pixels(), 24'000'000'000ull);
}

}  // namespace
}  // namespace imbrix::imaging
