// The front's one-page PDF of a picture, read back by poppler (pdfinfo,
// pdfimages) and ImageMagick.
#include <gtest/gtest.h>

#include <regex>

#include "common/pictures.h"
#include "imaging/encode_testutil.h"
#include "imaging/error.h"
#include "tools/magick/pdf.h"

namespace imbrix::magick {
namespace {

constexpr const char* kPhoto = "photos/jpeg-variants/Bush-dog.jpg";

struct ReadBack {
    std::string info;   // pdfinfo's report
    std::string image;  // pdfimages' row of the page's picture
    test::Decoded pixels;
};

ReadBack readBack(const std::vector<std::uint8_t>& pdf) {
    test::ScratchDir dir;
    const std::string file = dir.file("out.pdf");
    test::writeBytes(file, pdf);
    ReadBack back;
    EXPECT_EQ(test::runCommand({"/usr/bin/pdfinfo", "-enc", "UTF-8", file}, &back.info), 0)
        << back.info;
    std::string list;
    EXPECT_EQ(test::runCommand({"/usr/bin/pdfimages", "-list", file}, &list), 0) << list;
    std::smatch row;
    if (std::regex_search(list, row, std::regex(R"(\n\s*1\s+0\s+image[^\n]*)"))) {
        back.image = row.str();
    }
    test::mustRun({"/usr/bin/pdfimages", "-j", file, dir.file("page")});
    test::mustRun({"/usr/bin/convert", dir.file("page-000.jpg"), "-depth", "8", "-type",
                   "TrueColor", dir.file("page.pam")});
    back.pixels = test::readNetpbm(dir.file("page.pam"));
    return back;
}

std::string infoLine(const std::string& info, const std::string& key) {
    std::smatch m;
    return std::regex_search(info, m, std::regex(key + R"(:\s*([^\n]*))")) ? m[1].str() : "";
}

// "1 0 image 400 398 rgb 3 8 jpeg ..." as its words.
std::vector<std::string> words(const std::string& row) {
    std::istringstream in(row);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

std::vector<std::uint8_t> pdfOf(const imaging::Raster& raster, const PdfPageOptions& options) {
    imaging::MemorySink sink;
    writePicturePdf(test::pictureOf(raster), options, sink);
    return sink.bytes;
}

TEST(PicturePdf, PhotoIsAJpegPageOfItsSize) {
    const imaging::Raster photo = test::photoRaster(kPhoto);
    PdfPageOptions options;
    options.title = "Holiday (2) \\ é";
    options.quality = 80;
    const ReadBack pdf = readBack(pdfOf(photo, options));
    EXPECT_EQ(infoLine(pdf.info, "Page size"), "400 x 398 pts");
    EXPECT_EQ(infoLine(pdf.info, "Title"), "Holiday (2) \\ é");
    EXPECT_EQ(infoLine(pdf.info, "Pages"), "1");
    const std::vector<std::string> image = words(pdf.image);
    ASSERT_GE(image.size(), 9u) << pdf.image;
    EXPECT_EQ(image[3], "400");
    EXPECT_EQ(image[4], "398");
    EXPECT_EQ(image[5], "rgb");
    EXPECT_EQ(image[8], "jpeg");
    ASSERT_EQ(pdf.pixels.width, 400u);
    ASSERT_EQ(pdf.pixels.height, 398u);
    EXPECT_GT(test::colourPsnr(photo, pdf.pixels), 32.0);

    // The quality is the JPEG's: a lower one keeps less of the photo.
    options.quality = 20;
    const double lower = test::colourPsnr(photo, readBack(pdfOf(photo, options)).pixels);
    EXPECT_LT(lower, test::colourPsnr(photo, pdf.pixels) - 2.0);
}

TEST(PicturePdf, TransparencyGoesOntoWhite) {
    const imaging::Raster raster = test::makeRaster(41, 37, [](int x, int y) {
        const int alpha = x < 13 ? 0 : x < 26 ? 128 : 255;
        return std::array<int, 4>{30, 60 + y, 200, alpha};  // blue, green, red, alpha
    });
    const ReadBack pdf = readBack(pdfOf(raster, {}));
    EXPECT_EQ(infoLine(pdf.info, "Page size"), "41 x 37 pts");
    ASSERT_EQ(pdf.pixels.width, 41u);
    ASSERT_EQ(pdf.pixels.height, 37u);
    for (const std::uint32_t y : {2u, 18u, 34u}) {
        SCOPED_TRACE(y);
        const int green = 60 + static_cast<int>(y);
        const struct {
            std::uint32_t x;
            std::array<int, 3> rgb;
        } expected[] = {
            {5, {255, 255, 255}},
            {19, {(200 + 255) / 2, (green + 255) / 2, (30 + 255) / 2}},
            {33, {200, green, 30}},
        };
        for (const auto& e : expected) {
            const auto d = pdf.pixels.at(e.x, y);
            for (int c = 0; c < 3; ++c) {
                EXPECT_NEAR(d[c], e.rgb[c], 6) << "x " << e.x << " channel " << c;
            }
        }
    }
}

TEST(PicturePdf, GrayPictureIsDeviceGray) {
    const imaging::Raster photo = test::photoRaster(kPhoto);
    const imaging::Raster gray = test::makeRaster(photo.width(), photo.height(), [&](int x, int y) {
        const int g = photo.row(static_cast<std::uint32_t>(y))[x * 4 + imaging::kGreen];
        return std::array<int, 4>{g, g, g, 255};
    });
    const ReadBack pdf = readBack(pdfOf(gray, {}));
    const std::vector<std::string> image = words(pdf.image);
    ASSERT_GE(image.size(), 9u) << pdf.image;
    EXPECT_EQ(image[5], "gray");
    EXPECT_EQ(image[6], "1");
    EXPECT_GT(test::colourPsnr(gray, pdf.pixels), 32.0);
}

// The page is the picture's size at its density, rounded to whole points, as
// GraphicsMagick sizes it.
TEST(PicturePdf, PageSizeFollowsTheDensity) {
    const imaging::Raster raster = test::gradientRaster(400, 267);
    const struct {
        double dpi;
        const char* size;
    } cases[] = {{72, "400 x 267 pts"}, {300, "96 x 64 pts"}, {127, "227 x 151 pts"}};
    for (const auto& c : cases) {
        PdfPageOptions options;
        options.dpiX = options.dpiY = c.dpi;
        EXPECT_EQ(infoLine(readBack(pdfOf(raster, options)).info, "Page size"), c.size) << c.dpi;
    }
}

TEST(PicturePdf, FailuresCarryAMessage) {
    imaging::MemorySink sink;
    try {
        writePicturePdf(imaging::Picture{}, {}, sink);
        FAIL() << "no error";
    } catch (const imaging::Error& e) {
        EXPECT_STREQ(e.what(), "Cannot write PDF: the picture has no pixels");
    }
    test::FailingSink full(100);
    try {
        writePicturePdf(test::pictureOf(test::photoRaster(kPhoto)), {}, full);
        FAIL() << "no error";
    } catch (const imaging::Error& e) {
        EXPECT_STREQ(e.what(), "Cannot write file \"out\". No space left on device");
    }
}

}  // namespace
}  // namespace imbrix::magick
