// Resizing through whole conversions: every kind of route gives the size the
// size rule gives, upright, from real photos, checked with readers that are not
// ours (ImageMagick's identify and compare, exiftool).
#include "imaging/resize.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/testsupport.h"
#include "convert/convertfile.h"
#include "convert/realconverter.h"

namespace imbrix::convert {
namespace {

namespace fs = std::filesystem;
using imaging::PixelSize;
using imaging::ResizeMode;
using imaging::ResizeOptions;
using test::runCommand;

void mustRun(const std::vector<std::string>& argv) {
    std::string output;
    ASSERT_EQ(runCommand(argv, &output), 0) << argv.front() << ": " << output;
}

// "W H" of the first picture of `path` as ImageMagick reads it (JPEG XR
// through its reference decoder).
std::string sizeOf(const std::string& path, const fs::path& scratch) {
    std::string input = path;
    if (fs::path(path).extension() == ".wmp") {
        const fs::path jxr = scratch / "size.jxr";
        fs::remove(jxr);
        fs::copy_file(path, jxr);
        input = (scratch / "size.bmp").string();
        mustRun({"JxrDecApp", "-i", jxr.string(), "-o", input});
    }
    std::string size;
    runCommand({"identify", "-quiet", "-format", "%w %h", input + "[0]"}, &size);
    return size;
}

std::string text(PixelSize size) {
    return std::to_string(size.width) + " " + std::to_string(size.height);
}

class ResizeTest : public ::testing::Test {
protected:
    FileSettings settings(const std::string& format, const ResizeOptions& resize) const {
        FileSettings s = test::realConverterSettings(format, data_.path().string());
        s.quality = 90;
        s.resize = resize;
        return s;
    }

    std::string convert(const std::string& source, const FileSettings& s) {
        const FileOutcome outcome = convertFile(source, out_.path().string() + "/", s);
        EXPECT_TRUE(outcome.error.empty()) << outcome.error;
        return outcome.output;
    }

    static std::string corpus(const std::string& name) {
        return (test::corpusDir() / name).string();
    }

    test::ScratchDir data_, out_, scratch_;
};

// A landscape camera photo fit into a portrait box and a long side, on our own
// encoders' routes and on the converter's: the same size everywhere, the one
// the size rule gives (the constraining side exact, the other rounded).
TEST_F(ResizeTest, EveryRouteGivesTheRulesSize) {
    const std::string photo = corpus("photos/camera/Picture_0B_by_freespace.jpg");  // 2572 x 1740
    const ResizeOptions fit{ResizeMode::Fit, 301, 401, 0, 0, false};
    const ResizeOptions longSide{ResizeMode::LongSide, 0, 0, 333, 0, false};
    EXPECT_EQ(text(imaging::resizeTarget(fit, {2572, 1740})), "301 204");
    EXPECT_EQ(text(imaging::resizeTarget(longSide, {2572, 1740})), "333 225");
    for (const char* format : {"PNG", "JPG", "WEBP", "TIF", "WMP", "GIF", "BMP", "TGA", "AVIF"}) {
        SCOPED_TRACE(format);
        const std::string output = convert(photo, settings(format, fit));
        ASSERT_FALSE(output.empty());
        EXPECT_EQ(sizeOf(output, scratch_.path()), "301 204");
    }
    for (const char* format : {"PNG", "WEBP", "JP2"}) {
        SCOPED_TRACE(format);
        const std::string output = convert(photo, settings(format, longSide));
        ASSERT_FALSE(output.empty());
        EXPECT_EQ(sizeOf(output, scratch_.path()), "333 225");
    }
}

// The box applies to the picture as it is shown: a photo stored on its side
// (EXIF orientation 6) comes out upright and fits a portrait box by its height.
TEST_F(ResizeTest, TheBoxFitsThePictureAsShown) {
    // A 2560 x 1600 photo made to stand on its side: shown 1600 x 2560.
    const std::string sideways = scratch_.file("sideways.jpg");
    fs::copy_file(corpus("photos/camera/kde_Kite.jpg"), sideways);
    mustRun({"exiftool", "-q", "-overwrite_original", "-Orientation#=6", sideways});
    const ResizeOptions box{ResizeMode::Fit, 500, 400, 0, 0, false};
    for (const char* format : {"PNG", "WEBP", "GIF"}) {
        SCOPED_TRACE(format);
        const std::string output = convert(sideways, settings(format, box));
        ASSERT_FALSE(output.empty());
        EXPECT_EQ(sizeOf(output, scratch_.path()), "250 400");
    }
    // The same pixels as ImageMagick's Lanczos of the upright photo, within
    // what two good resamplers differ by.
    const std::string ours = convert(sideways, settings("PNG", box));
    const std::string theirs = scratch_.file("reference.png");
    mustRun(
        {"convert", sideways, "-auto-orient", "-filter", "Lanczos", "-resize", "250x400!", theirs});
    std::string psnr;
    runCommand({"compare", "-metric", "PSNR", ours, theirs, "null:"}, &psnr);
    EXPECT_GE(std::stod(psnr), 38.0) << psnr;
}

// Never larger unless asked; a percentage; the EXIF of the output tells its
// new size.
TEST_F(ResizeTest, EnlargesOnlyWhenAskedAndTheOutputSaysItsSize) {
    const std::string small = corpus("photos/camera/mate_GreenMeadow.jpg");  // 1280 x 1024
    ResizeOptions box{ResizeMode::Fit, 2000, 2000, 0, 0, false};
    EXPECT_EQ(sizeOf(convert(small, settings("JPG", box)), scratch_.path()), "1280 1024");
    box.enlarge = true;
    EXPECT_EQ(sizeOf(convert(small, settings("JPG", box)), scratch_.path()), "2000 1600");

    const ResizeOptions quarter{ResizeMode::Percent, 0, 0, 0, 25, false};
    EXPECT_EQ(sizeOf(convert(small, settings("JPG", quarter)), scratch_.path()), "320 256");

    // A camera photo whose EXIF gives its size (2560 x 1600): the outputs'
    // EXIF gives theirs, on our encoders' routes and the converter's.
    const std::string camera = corpus("photos/camera/kde_Kite.jpg");
    const ResizeOptions tenth{ResizeMode::Percent, 0, 0, 0, 10, false};
    for (const char* format : {"JPG", "PNG", "WEBP", "TIF", "PSD", "AVIF"}) {
        SCOPED_TRACE(format);
        const std::string output = convert(camera, settings(format, tenth));
        ASSERT_FALSE(output.empty());
        std::string tags;
        runCommand({"exiftool", "-s3", "-ExifImageWidth", "-ExifImageHeight", output}, &tags);
        EXPECT_EQ(tags, "256\n160\n");
    }
}

// Animated GIFs keep every frame, each at the new size.
TEST_F(ResizeTest, AnAnimationKeepsEveryFrame) {
    const std::string gif = corpus("gif/animated/traffic_light.gif");
    std::string frames;
    runCommand({"identify", "-quiet", "-format", "%W %H\n", gif}, &frames);
    ASSERT_FALSE(frames.empty());
    std::istringstream first(frames);
    std::uint32_t width = 0, height = 0;
    first >> width >> height;
    const ResizeOptions half{ResizeMode::Percent, 0, 0, 0, 50, false};
    const PixelSize target = imaging::resizeTarget(half, {width, height});
    for (const char* format : {"GIF", "WEBP"}) {
        SCOPED_TRACE(format);
        const std::string output = convert(gif, settings(format, half));
        ASSERT_FALSE(output.empty());
        std::string sizes;
        runCommand({"identify", "-quiet", "-format", "%W %H\n", output}, &sizes);
        std::istringstream lines(sizes);
        std::string line;
        int count = 0;
        while (std::getline(lines, line)) {
            EXPECT_EQ(line, text(target));
            ++count;
        }
        EXPECT_GT(count, 1);
    }
}

}  // namespace
}  // namespace imbrix::convert
