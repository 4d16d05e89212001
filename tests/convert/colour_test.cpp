// Colour profiles and metadata through whole conversions: every route of the
// engine, checked with readers that are not ours (ImageMagick with lcms,
// exiftool, JxrDecApp, djxl).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
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
using test::runCommand;

constexpr const char* kSrgb = "/usr/share/color/icc/colord/sRGB.icc";
constexpr const char* kProPhoto = "/usr/share/color/icc/colord/ProPhotoRGB.icc";
constexpr const char* kCmykProfile = "/usr/share/color/icc/ghostscript/default_cmyk.icc";

void mustRun(const std::vector<std::string>& argv) {
    std::string output;
    ASSERT_EQ(runCommand(argv, &output), 0) << argv.front() << ": " << output;
}

// The sources, made once: a camera photo moved into ProPhoto RGB (its colours
// are right only where the profile is honoured) with the camera's EXIF, GPS, an
// XMP creator and IPTC keywords, also standing on its side (Orientation 6); a
// Display P3 picture; the ProPhoto photo as an AVIF, which the converter
// reads; and an Adobe CMYK JPEG without a profile.
class ColourTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = std::make_unique<test::ScratchDir>();
        const fs::path corpus = test::corpusDir();
        const std::string photo = file("prophoto.jpg");
        mustRun({"convert", (corpus / "photos/camera/kde_Kite.jpg").string(), "-resize", "320x",
                 "-profile", kSrgb, "-profile", kProPhoto, "-quality", "97", photo});
        mustRun({"exiftool", "-q", "-overwrite_original", "-GPSLatitude=48.8583",
                 "-GPSLatitudeRef=N", "-GPSLongitude=2.2945", "-GPSLongitudeRef=E",
                 // The camera's XMP holds an empty creator list: a packet of our own.
                 "-XMP:all=", "-XMP-dc:Creator=Ada Lovelace", "-IPTC:Keywords=kite", photo});
        fs::copy_file(photo, file("sideways.jpg"));
        mustRun({"exiftool", "-q", "-overwrite_original", "-Orientation#=6", file("sideways.jpg")});
        fs::copy_file(corpus / "png-misc/wide-gamut/P3-sRGB-color-ring.png", file("p3.png"));
        mustRun({"heif-enc", "-L", photo, "-o", file("prophoto.avif")});
        fs::copy_file(corpus / "photos/jpeg-variants/video-001.cmyk.jpeg", file("cmyk.jpg"));
    }
    static void TearDownTestSuite() { dir_.reset(); }

    static std::string file(const std::string& name) { return dir_->file(name); }

    FileSettings settings(const std::string& format) const {
        return test::realConverterSettings(format, data_.path().string());
    }

    // Converts `source` and returns the output's path (a test failure when none).
    std::string convert(const std::string& source, const FileSettings& s) {
        const FileOutcome outcome = convertFile(source, out_.path().string() + "/", s);
        EXPECT_TRUE(outcome.error.empty()) << outcome.error;
        return outcome.output;
    }

    // The picture as a colour-managed reader shows it, as an sRGB PNG;
    // `assume`: the profile of a source that carries none.
    std::string rendered(const std::string& path, const char* assume = nullptr) {
        std::string input = path;
        const std::string ext = fs::path(path).extension().string();
        if (ext == ".wmp" || ext == ".avif") {
            // JxrDecApp (it goes by the extension) and ImageMagick 6 read these
            // pixels without their profile: exiftool reads the profile the file
            // carries.
            const std::string stem = data_.file("p" + std::to_string(++count_));
            if (ext == ".wmp") {
                fs::copy_file(path, stem + ".jxr");
                input = stem + ".bmp";
                mustRun({"JxrDecApp", "-i", stem + ".jxr", "-o", input});
            } else {
                input = stem + ".pixels.png";
                mustRun({"convert", path, "+profile", "*", input});
            }
            std::string icc;
            runCommand({"exiftool", "-b", "-ICC_Profile", path}, &icc);
            if (!icc.empty()) {
                test::writeText(stem + ".icc", icc);
                mustRun({"convert", input, "-profile", stem + ".icc", stem + ".png"});
                input = stem + ".png";
            }
        } else if (ext == ".jxl") {
            input = data_.file("jxl" + std::to_string(++count_) + ".png");
            mustRun({"djxl", path, input});
        }
        const std::string png = data_.file("srgb" + std::to_string(++count_) + ".png");
        std::vector<std::string> argv{"convert", input + "[0]"};
        if (assume) {
            argv.insert(argv.end(), {"-profile", assume});
        }
        argv.insert(argv.end(), {"-profile", kSrgb, "-background", "white", "-alpha", "remove",
                                 "png24:" + png});
        mustRun(argv);
        return png;
    }

    // ImageMagick's PSNR of `a` against `b` (same size), in dB.
    static double psnr(const std::string& a, const std::string& b) {
        std::string output;
        runCommand({"compare", "-metric", "PSNR", a, b, "null:"}, &output);
        if (output.rfind("inf", 0) == 0) {
            return 100.0;
        }
        return std::strtod(output.c_str(), nullptr);
    }

    // Tags as exiftool reads them ("-" for a missing one), tab-separated in,
    // a map out.
    static std::map<std::string, std::string> tags(const std::string& path) {
        const std::vector<std::string> names{
            "EXIF:Model",           "EXIF:DateTimeOriginal", "GPSLatitude",
            "XMP-dc:Creator",       "IPTC:Keywords",         "EXIF:Orientation",
            "XMP-tiff:Orientation", "ThumbnailLength",       "ProfileDescription"};
        std::vector<std::string> argv{"exiftool", "-T", "-n"};
        for (const std::string& name : names) {
            argv.push_back("-" + name);
        }
        argv.push_back(path);
        std::string output;
        runCommand(argv, &output);
        std::map<std::string, std::string> found;
        std::istringstream fields(output.substr(0, output.find('\n')));
        for (const std::string& name : names) {
            std::string value;
            std::getline(fields, value, '\t');
            found[name] = value;
        }
        return found;
    }

    static std::unique_ptr<test::ScratchDir> dir_;
    test::ScratchDir data_;
    test::ScratchDir out_;
    int count_ = 0;
};

std::unique_ptr<test::ScratchDir> ColourTest::dir_;

struct Output {
    const char* format;
    double minDb;  // against the colour-managed rendering of the source
    bool exifXmp;  // the format keeps EXIF and XMP
    bool iptc;     // and IPTC
};

// Without colour management the ProPhoto photo scores about 20 dB and the P3
// picture about 15: every threshold here is far above that.
const Output kOutputs[] = {
    {"PNG", 45, true, true},   {"WEBP", 45, true, false}, {"JPG", 38, true, true},
    {"TIF", 45, true, true},   {"WMP", 33, false, false}, {"AVIF", 30, true, false},
    {"PSD", 45, true, true},   {"JXL", 30, true, false},  {"JP2", 45, false, false},
    {"GIF", 28, false, false}, {"BMP", 45, false, false}, {"TGA", 45, false, false},
};

TEST_F(ColourTest, EveryOutputShowsTheSourcesColoursAndKeepsItsMetadata) {
    const std::string reference = rendered(file("prophoto.jpg"));
    for (const Output& o : kOutputs) {
        SCOPED_TRACE(o.format);
        const std::string output = convert(file("prophoto.jpg"), settings(o.format));
        if (output.empty()) {
            continue;
        }
        EXPECT_GT(psnr(rendered(output), reference), o.minDb);
        if (!o.exifXmp) {
            continue;
        }
        const auto found = tags(output);
        EXPECT_EQ(found.at("EXIF:Model"), "E-M1");
        EXPECT_EQ(found.at("EXIF:DateTimeOriginal"), "2015:07:21 16:17:44");
        EXPECT_NEAR(std::strtod(found.at("GPSLatitude").c_str(), nullptr), 48.8583, 1e-3);
        EXPECT_EQ(found.at("XMP-dc:Creator"), "Ada Lovelace");
        EXPECT_EQ(found.at("IPTC:Keywords"), o.iptc ? "kite" : "-");
        EXPECT_EQ(found.at("ThumbnailLength"), "-");  // the camera's thumbnail is gone
    }
}

TEST_F(ColourTest, StrippingDropsTheMetadataButKeepsTheColours) {
    const std::string reference = rendered(file("prophoto.jpg"));
    for (const Output& o : kOutputs) {
        if (!o.exifXmp) {
            continue;
        }
        SCOPED_TRACE(o.format);
        FileSettings s = settings(o.format);
        s.stripMetadata = true;
        const std::string output = convert(file("prophoto.jpg"), s);
        if (output.empty()) {
            continue;
        }
        const auto found = tags(output);
        for (const char* gone : {"EXIF:Model", "GPSLatitude", "XMP-dc:Creator", "IPTC:Keywords"}) {
            EXPECT_EQ(found.at(gone), "-") << gone;
        }
        EXPECT_GT(psnr(rendered(output), reference), o.minDb);
    }
}

// The pixels are turned upright, so the orientation written is 1 (in EXIF and
// in XMP) and the picture reads the same in every reader.
TEST_F(ColourTest, AnUprightOutputSaysOrientationOne) {
    for (const char* format : {"PNG", "JPG", "WEBP", "TIF", "AVIF", "JXL", "PSD"}) {
        SCOPED_TRACE(format);
        const std::string output = convert(file("sideways.jpg"), settings(format));
        if (output.empty()) {
            continue;
        }
        const auto found = tags(output);
        EXPECT_EQ(found.at("EXIF:Orientation"), "1");
        EXPECT_NE(found.at("XMP-tiff:Orientation"), "6");
        std::string size;
        runCommand({"identify", "-quiet", "-format", "%w %h", rendered(output)}, &size);
        EXPECT_EQ(size, "200 320");  // the 320 x 200 photo on its side
    }
}

TEST_F(ColourTest, WideGamutAndCmykSourcesOfEveryDecoder) {
    struct Case {
        const char* source;
        const char* format;
        const char* assume;  // the profile of a source without one
        double minDb;
    };
    const Case cases[] = {
        {"p3.png", "PNG", nullptr, 45},
        {"p3.png", "JPG", nullptr, 38},
        {"p3.png", "GIF", nullptr, 28},
        {"p3.png", "PDF", nullptr, 33},
        {"prophoto.avif", "PNG", nullptr, 35},
        {"prophoto.avif", "WEBP", nullptr, 35},
        {"cmyk.jpg", "PNG", kCmykProfile, 35},
        {"cmyk.jpg", "JPG", kCmykProfile, 33},
        // The converter reads these itself.
        {"cmyk.jpg", "GIF", kCmykProfile, 30},
        {"cmyk.jpg", "PSD", kCmykProfile, 45},
        {"cmyk.jpg", "AVIF", kCmykProfile, 30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.source) + " to " + c.format);
        const std::string output = convert(file(c.source), settings(c.format));
        if (output.empty()) {
            continue;
        }
        std::string shown = output;
        if (std::string(c.format) == "PDF") {
            // The picture inside the page, at its own size.
            const std::string stem = data_.file("page");
            mustRun({"pdfimages", "-png", output, stem});
            shown = stem + "-000.png";
        }
        EXPECT_GT(psnr(rendered(shown), rendered(file(c.source), c.assume)), c.minDb);
    }
}

// Gray is computed from sRGB values: a ProPhoto photo made gray equals the
// gray of its sRGB rendering, and carries no RGB profile.
TEST_F(ColourTest, GrayscaleWorksOnTheColoursAsShown) {
    const std::string srgb = data_.file("srgb-photo.png");
    mustRun({"convert", file("prophoto.jpg"), "-profile", kSrgb, "png24:" + srgb});
    for (const char* format : {"PNG", "JPG", "TIF", "AVIF"}) {
        SCOPED_TRACE(format);
        FileSettings s = settings(format);
        s.grayscale = true;
        const std::string fromProPhoto = convert(file("prophoto.jpg"), s);
        const std::string fromSrgb = convert(srgb, s);
        if (fromProPhoto.empty() || fromSrgb.empty()) {
            continue;
        }
        EXPECT_EQ(tags(fromProPhoto).at("ProfileDescription").find("ProPhoto"), std::string::npos);
        EXPECT_GT(psnr(rendered(fromProPhoto), rendered(fromSrgb)), 38);
    }
}

}  // namespace
}  // namespace imbrix::convert
