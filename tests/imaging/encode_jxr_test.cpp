#include <gtest/gtest.h>

#include <cstring>

#include "common/pictures.h"
#include "encode_testutil.h"
#include "imaging/encode.h"

namespace imbrix::imaging {
namespace {

TEST(EncodeJpegXr, PhotoRoundTripsThroughJxrlibsOwnDecoder) {
    // 400 x 398: the height is not a multiple of jxrlib's 16-row macroblocks.
    const Raster raster = test::photoRaster("photos/jpeg-variants/Bush-dog.jpg");
    const Raster before = raster.clone();
    MemorySink sink;
    encodeJpegXr(test::pictureOf(raster), {}, sink);
    ASSERT_GT(sink.bytes.size(), 4u);
    EXPECT_EQ(sink.bytes[0], 'I');
    EXPECT_EQ(sink.bytes[1], 'I');
    EXPECT_EQ(sink.bytes[2], 0xBC);
    // jxrlib is handed the raster's own rows and must leave them alone.
    EXPECT_EQ(std::memcmp(raster.data(), before.data(), raster.byteSize()), 0);

    const test::Decoded jxr = test::decodeWithJxrDecApp(sink.bytes);
    ASSERT_EQ(jxr.width, 400u);
    ASSERT_EQ(jxr.height, 398u);
    // Quality 0.9 is lossy but close; lossless would be several times larger.
    EXPECT_LT(test::meanColourDifference(raster, jxr), 2.0);
    EXPECT_GT(test::meanColourDifference(raster, jxr), 0.0);
    EXPECT_LT(sink.bytes.size(), std::size_t{400} * 398 * 3 / 4);
}

// No alpha: the colour values go out as they are, so premultiplied transparent
// areas are black; the file holds no alpha plane.
TEST(EncodeJpegXr, AlphaIsDropped) {
    const Raster raster = test::makeRaster(35, 21, [](int x, int) {
        return std::array<int, 4>{0, 200, 0, x < 17 ? 0 : 255};
    });
    MemorySink sink;
    encodeJpegXr(test::pictureOf(raster), {}, sink);

    const test::Decoded jxr = test::decodeWithJxrDecApp(sink.bytes);
    ASSERT_EQ(jxr.width, 35u);
    ASSERT_EQ(jxr.height, 21u);
    EXPECT_LE(jxr.at(3, 10)[1], 6);
    EXPECT_NEAR(jxr.at(30, 10)[1], 200, 6);

    test::ScratchDir dir;
    const std::string path = dir.file("in.jxr");
    test::writeBytes(path, sink.bytes);
    std::string output;
    ASSERT_EQ(test::runCommand({"JxrDecApp", "-v", "-i", path, "-o", dir.file("out.bmp")}, &output),
              0)
        << output;
    EXPECT_EQ(output.find("Alpha:        yes"), std::string::npos) << output;
}

}  // namespace
}  // namespace imbrix::imaging
