// The formats the front writes in process (BMP, TGA, PSD, ICO from JPEG, PNG,
// WEBP, BMP, TIFF, GIF and ICO sources) against what ImageMagick makes of the
// same command line: upright, in sRGB, resized, gray, with or without
// metadata. The in-process route needs no helper: every test here runs with
// ImageMagick's convert out of the front's reach, so a conversion that went to
// the helpers would fail.
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "magick/magick_support.h"

namespace imbrix::test {
namespace {

namespace fs = std::filesystem;

double psnr(const Picture& a, const Picture& b) {
    if (a.width != b.width || a.height != b.height || a.rgba.empty()) {
        return 0;
    }
    double sum = 0;
    std::size_t n = 0;
    for (std::size_t i = 0; i < a.rgba.size(); i += 4) {
        for (std::size_t c = i; c < i + 3; ++c) {
            const double d = static_cast<double>(a.rgba[c]) - b.rgba[c];
            sum += d * d;
            ++n;
        }
    }
    return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * static_cast<double>(n) / sum);
}

class DirectTest : public MagickTest {
protected:
    // Converts `source` with the front into `name`, `words` between
    // "-auto-orient" and the quality, `tail` before the output.
    std::string convert(const fs::path& source, const std::string& name,
                        const std::vector<std::string>& words = {},
                        const std::vector<std::string>& tail = {}) {
        const std::string out = file(name);
        std::vector<std::string> args{source.string(), "-auto-orient"};
        args.insert(args.end(), words.begin(), words.end());
        args.insert(args.end(), {"-quality", "80"});
        args.insert(args.end(), tail.begin(), tail.end());
        args.push_back(out);
        const ScopedEnv noHelper("IMBRIX_MAGICK_CONVERT", "/nonexistent/convert");
        const RunResult run = runMagick(args);
        EXPECT_EQ(run.status, 0) << run.output;
        return out;
    }

    // ImageMagick's picture of `source` with `words` (after -auto-orient).
    Picture reference(const fs::path& source, const std::vector<std::string>& words = {}) {
        const fs::path png = dir() / "reference.png";
        std::vector<std::string> args{"/usr/bin/convert", source.string(), "-auto-orient"};
        args.insert(args.end(), words.begin(), words.end());
        args.push_back("png:" + png.string());
        EXPECT_EQ(runCommand(args), 0);
        return loadPng(png);
    }

    std::string exiftool(const std::string& path) {
        std::string text;
        EXPECT_EQ(runCommand({"exiftool", "-s", "-Orientation#", "-ExifImageWidth", "-Make", path},
                             &text),
                  0);
        return text;
    }
};

// Every EXIF orientation of a JPEG comes out as ImageMagick's -auto-orient
// turns it (the pictures are not symmetric: a wrong turn differs everywhere).
TEST_F(DirectTest, JpegOrientationsComeOutUpright) {
    for (int orientation = 1; orientation <= 8; ++orientation) {
        const fs::path source = corpusDir() / "photos" / "exif-orientation" /
                                ("orientation_" + std::to_string(orientation) + ".jpg");
        const std::string out = convert(source, "turned.bmp");
        const Picture got = readOutput(out, "bmp", dir());
        const Picture want = reference(source);
        ASSERT_EQ(got.width, want.width) << orientation;
        ASSERT_EQ(got.height, want.height) << orientation;
        EXPECT_GT(psnr(got, want), 40) << "orientation " << orientation;
        fs::remove(out);
    }
}

// A TIFF stored on its side (50 x 70, RightTop) is turned by ImageMagick; the
// in-process decoder leaves that to it, and the output is upright all the same.
TEST_F(DirectTest, SidewaysTiffComesOutUpright) {
    const fs::path tiff = dir() / "sideways.tif";
    const fs::path source = corpusDir() / "photos/exif-orientation/orientation_1.jpg";
    ASSERT_EQ(runCommand({"/usr/bin/convert", source.string(), "-rotate", "270", "-orient",
                          "RightTop", tiff.string()}),
              0);
    const std::string out = file("tiff.bmp");
    const RunResult run = runMagick({tiff.string(), "-auto-orient", "-quality", "80", out});
    ASSERT_EQ(run.status, 0) << run.output;
    const Picture got = readOutput(out, "bmp", dir());
    const Picture upright = reference(source);
    ASSERT_EQ(got.width, upright.width);
    ASSERT_EQ(got.height, upright.height);
    EXPECT_GT(psnr(got, upright), 40);
}

// A Display P3 or Rec. 2020 PNG comes out in sRGB, as ImageMagick converts it.
TEST_F(DirectTest, WideGamutPngBecomesSrgb) {
    for (const char* name : {"P3-sRGB-color-ring.png", "R2020-sRGB-color-bars.png"}) {
        const fs::path source = corpusDir() / "png-misc/wide-gamut" / name;
        const std::string out = convert(source, "srgb.bmp");
        const Picture got = readOutput(out, "bmp", dir());
        const Picture srgb = reference(
            source, {"-intent", "Perceptual", "-profile", "/usr/share/color/icc/sRGB.icc"});
        const Picture raw = reference(source, {"+profile", "*"});
        const double converted = psnr(got, srgb);
        std::printf("[ colours  ] %s: %.1f dB to the converted, %.1f dB to the unconverted\n", name,
                    converted, psnr(got, raw));
        EXPECT_GT(converted, 35) << name;
        EXPECT_GT(converted, psnr(got, raw) + 3) << name << ": the profile was applied";
        fs::remove(out);
    }
}

// A camera photo, resized and shrunk to fit an icon, as ImageMagick's Lanczos
// resize to the same size makes it.
TEST_F(DirectTest, ResizedJpegIntoIcon) {
    const fs::path source = corpusDir() / "photos/camera/kde_Kite.jpg";
    const std::string out = convert(source, "icon.ico", {"-resize", "50%"});
    const Picture got = readWithImageMagick(out, dir());
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(std::max(got.width, got.height), 256);
    const Picture want =
        reference(source, {"-filter", "Lanczos", "-resize",
                           std::to_string(got.width) + "x" + std::to_string(got.height) + "!"});
    EXPECT_GT(psnr(got, want), 35);
}

// "-colorspace Gray" as ImageMagick 6 makes it (Rec. 709 weights on the sRGB
// values), into TGA and PSD.
TEST_F(DirectTest, GrayAsImageMagicksGray) {
    const fs::path source = corpusDir() / "photos/camera/kde_Kite.jpg";
    const Picture want = reference(source, {"-colorspace", "Gray"});
    for (const char* ext : {"tga", "psd"}) {
        const std::string out =
            convert(source, std::string("gray.") + ext, {"-colorspace", "Gray"});
        const Picture got = readWithImageMagick(out, dir());
        EXPECT_EQ(got.maxChroma(), 0) << ext;
        const double db = psnr(got, want);
        std::printf("[ gray     ] %s: %.1f dB to ImageMagick's\n", ext, db);
        EXPECT_GT(db, 45) << ext;
    }
}

// PSD keeps the EXIF, upright and at the output's size; stripped, none.
TEST_F(DirectTest, PsdMetadataKeptOrStripped) {
    const fs::path source = corpusDir() / "photos/exif-orientation/orientation_6.jpg";
    const std::string kept = convert(source, "kept.psd", {"-resize", "50%"});
    const std::string text = exiftool(kept);
    EXPECT_NE(text.find("Orientation                     : 1"), std::string::npos) << text;
    const Picture picture = readWithImageMagick(kept, dir());
    EXPECT_NE(text.find("ExifImageWidth                  : " + std::to_string(picture.width)),
              std::string::npos)
        << text;

    const std::string stripped = convert(source, "stripped.psd", {}, {"+profile", "!icc,*"});
    const std::string none = exiftool(stripped);
    EXPECT_EQ(none.find("Orientation"), std::string::npos) << none;
}

// A damaged source read in process fails as unreadable, naming the source:
// a photo whose frame header claims 9-bit samples.
TEST_F(DirectTest, DamagedSourceIsUnreadable) {
    const fs::path small = dir() / "small.jpg";
    ASSERT_EQ(runCommand({"/usr/bin/convert", (corpusDir() / "photos/camera/kde_Kite.jpg").string(),
                          "-strip", "-resize", "64x64", small.string()}),
              0);
    std::string bytes = headBytes(small, 1 << 20);
    const auto frame = bytes.find("\xff\xc0");
    ASSERT_NE(frame, std::string::npos);
    bytes[frame + 4] = 9;  // the sample precision
    const fs::path damaged = dir() / "damaged.jpg";
    std::ofstream(damaged, std::ios::binary) << bytes;
    const ScopedEnv noHelper("IMBRIX_MAGICK_CONVERT", "/nonexistent/convert");
    const std::string out = file("x.bmp");
    const RunResult run = runMagick({damaged.string(), "-auto-orient", "-quality", "80", out});
    EXPECT_EQ(run.status, 3) << run.output;
    EXPECT_EQ(run.lastLine().rfind("magick: cannot read " + damaged.string() + ": ", 0), 0u)
        << run.output;
    EXPECT_FALSE(fs::exists(out));
}

}  // namespace
}  // namespace imbrix::test
