// JP2 outputs take the quality as the other lossy formats do: a higher quality
// gives a larger file of a better picture, and quality 80 comes out near a JPEG
// of quality 80 in size and picture. Pictures are measured by ImageMagick.
#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "magick/magick_support.h"

namespace imbrix::test {
namespace {

namespace fs = std::filesystem;

// PSNR in dB of `picture` against `reference` over all channels, as ImageMagick's
// compare measures it; infinity for equal pictures.
double psnr(const fs::path& reference, const fs::path& picture) {
    std::string text;
    const int status = runCommand(
        {"/usr/bin/compare", "-metric", "PSNR", reference.string(), picture.string(), "null:"},
        &text);
    // 0: equal, 1: different; anything else is trouble.
    EXPECT_TRUE(status == 0 || status == 1) << text;
    if (text.rfind("inf", 0) == 0) {
        return std::numeric_limits<double>::infinity();
    }
    std::istringstream in(text);
    double value = 0;
    in >> value;
    EXPECT_FALSE(in.fail()) << text;
    return value;
}

class Jp2QualityTest : public MagickTest {
protected:
    // The source turned upright, as a PNG: what every output is measured against.
    fs::path reference(const fs::path& source) {
        const fs::path png = dir() / "reference.png";
        EXPECT_EQ(runCommand(
                      {"/usr/bin/convert", source.string(), "-auto-orient", "png:" + png.string()}),
                  0);
        return png;
    }

    std::string writeJp2(const fs::path& source, int quality) {
        const std::string out = file("q" + std::to_string(quality) + ".jp2");
        const RunResult run =
            runMagick({source.string(), "-auto-orient", "-quality", std::to_string(quality), out});
        EXPECT_EQ(run.status, 0) << run.output;
        return out;
    }
};

TEST_F(Jp2QualityTest, HigherQualityGivesLargerFileOfBetterPicture) {
    // A camera photo stored at JPEG quality 97.
    const fs::path source =
        corpusDir() / "photos" / "exif-orientation" / "bug725582-testrotate.jpg";
    const fs::path ref = reference(source);
    std::uintmax_t lastSize = 0;
    double lastPsnr = 0;
    for (int quality : {1, 10, 30, 50, 80, 95, 99, 100}) {
        const std::string out = writeJp2(source, quality);
        const std::uintmax_t size = fs::file_size(out);
        const double measured = psnr(ref, out);
        EXPECT_GT(size, lastSize) << "quality " << quality;
        EXPECT_GT(measured, lastPsnr) << "quality " << quality;
        // Even the lowest quality is the picture, coarsely: not noise.
        EXPECT_GT(measured, 25.0) << "quality " << quality;
        lastSize = size;
        lastPsnr = measured;
    }
    EXPECT_TRUE(std::isinf(lastPsnr)) << "quality 100 is lossless, PSNR " << lastPsnr;
}

struct Photo {
    const char* name;
    const char* path;  // in the corpus
};

void PrintTo(const Photo& photo, std::ostream* os) {
    *os << photo.name;
}

class Jp2LikeJpegTest : public Jp2QualityTest, public ::testing::WithParamInterface<Photo> {};

TEST_P(Jp2LikeJpegTest, Quality80ComesNearJpeg80) {
    const fs::path source = corpusDir() / GetParam().path;
    const fs::path ref = reference(source);
    // The program's JPEG keeps 4:2:0 chroma at every quality; so does this one.
    const std::string jpeg = file("q80.jpg");
    ASSERT_EQ(runCommand({"/usr/bin/convert", source.string(), "-auto-orient", "-strip",
                          "-sampling-factor", "2x2", "-quality", "80", jpeg}),
              0);
    const std::string jp2 = writeJp2(source, 80);

    const double jpegBytes = static_cast<double>(fs::file_size(jpeg));
    const double jp2Bytes = static_cast<double>(fs::file_size(jp2));
    EXPECT_GT(jp2Bytes, 0.8 * jpegBytes) << "JP2 " << jp2Bytes << " bytes, JPEG " << jpegBytes;
    EXPECT_LT(jp2Bytes, 1.2 * jpegBytes) << "JP2 " << jp2Bytes << " bytes, JPEG " << jpegBytes;
    // In as many bytes the JPEG 2000 wavelet keeps at least as much of the picture.
    EXPECT_GE(psnr(ref, jp2), psnr(ref, jpeg));
}

// Two photos stored losslessly and a camera JPEG of quality 97.
INSTANTIATE_TEST_SUITE_P(RealPhotos, Jp2LikeJpegTest,
                         ::testing::Values(Photo{"coffee", "png-misc/skimage/coffee.png"},
                                           Photo{"cat", "png-misc/skimage/chelsea.png"},
                                           Photo{"camera",
                                                 "photos/exif-orientation/"
                                                 "bug725582-testrotate.jpg"}),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace imbrix::test
