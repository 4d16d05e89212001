// A sink that fails (full disk) while an encoder is inside its codec library:
// the sink's error must come out of the encoder, whatever the library.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <random>

#include "common/pictures.h"
#include "encode_testutil.h"
#include "imaging/encode.h"
#include "imaging/error.h"

namespace imbrix::imaging {
namespace {

// Noise does not compress, so every encoder writes several blocks of output.
Raster noiseRaster(std::uint32_t width, std::uint32_t height) {
    std::mt19937 random(7);
    return test::makeRaster(width, height, [&](int, int) {
        return std::array<int, 4>{static_cast<int>(random() % 256),
                                  static_cast<int>(random() % 256),
                                  static_cast<int>(random() % 256), 128};
    });
}

struct Encoder {
    const char* name;
    std::function<void(const Raster&, Sink&)> encode;
};

const Encoder kEncoders[] = {
    {"png", [](const Raster& r, Sink& s) { encodePng(test::pictureOf(r), {}, s); }},
    {"jpeg",
     [](const Raster& r, Sink& s) { encodeJpeg(test::pictureOf(r), test::withQuality(100), s); }},
    {"webp lossy",
     [](const Raster& r, Sink& s) { encodeWebp(test::pictureOf(r), test::withQuality(90), s); }},
    {"webp lossless",
     [](const Raster& r, Sink& s) { encodeWebp(test::pictureOf(r), test::withQuality(100), s); }},
    {"tiff", [](const Raster& r, Sink& s) { encodeTiff(test::pictureOf(r), {}, s); }},
    {"jpeg xr", [](const Raster& r, Sink& s) { encodeJpegXr(test::pictureOf(r), {}, s); }},
};

TEST(EncodeSink, SinkErrorsComeOutOfEveryEncoder) {
    const Raster raster = noiseRaster(300, 200);
    for (const Encoder& encoder : kEncoders) {
        MemorySink memory;
        encoder.encode(raster, memory);
        ASSERT_GT(memory.bytes.size(), 10000u) << encoder.name;
        // Failing at once, and halfway through the output.
        for (const std::size_t limit : {std::size_t{0}, memory.bytes.size() / 2}) {
            SCOPED_TRACE(std::string(encoder.name) + " after " + std::to_string(limit));
            test::FailingSink sink(limit);
            try {
                encoder.encode(raster, sink);
                ADD_FAILURE() << "no error";
            } catch (const Error& e) {
                EXPECT_STREQ(e.what(), "Cannot write file \"out\". No space left on device");
            }
        }
        // Nothing was left half-set: the same encoder still writes the same file.
        MemorySink again;
        encoder.encode(raster, again);
        EXPECT_EQ(again.bytes, memory.bytes) << encoder.name;
    }
}

TEST(EncodeSink, FullDiskIsReportedWithThePath) {
    const int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    // Small output stays in the sink's buffer until flush; large output fails
    // inside the encoder.
    for (const std::uint32_t side : {8u, 800u}) {
        SCOPED_TRACE(side);
        FileSink sink(fd, "/out/photo.png");
        try {
            encodePng(test::pictureOf(noiseRaster(side, side)), {}, sink);
            sink.flush();
            ADD_FAILURE() << "no error";
        } catch (const Error& e) {
            EXPECT_STREQ(e.what(), "Cannot write file \"/out/photo.png\". No space left on device");
        }
    }
    ::close(fd);
}

}  // namespace
}  // namespace imbrix::imaging
