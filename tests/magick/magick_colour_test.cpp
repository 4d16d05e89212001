// Colour profiles and metadata through the converter front. Every output, read by
// a colour-managed reader that is not the writer (ImageMagick rendering to sRGB,
// after libheif's or libjxl's own decoder where ImageMagick 6 would lose the
// profile), shows the colours of a wide-gamut source; EXIF and XMP stay where the
// format holds them, with Orientation 1, and go when asked; gray comes from the
// colours, not from the raw numbers; decoded sources keep their profile.
#include <cmath>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "magick/magick_support.h"

namespace imbrix::test {
namespace {

namespace fs = std::filesystem;

const std::string kSrgbProfile = "/usr/share/color/icc/colord/sRGB.icc";
const std::string kProPhotoProfile = "/usr/share/color/icc/colord/ProPhotoRGB.icc";

// Runs a tool that must succeed; returns what it printed.
std::string mustRun(const std::vector<std::string>& argv) {
    std::string output;
    const int status = runCommand(argv, &output);
    EXPECT_EQ(status, 0) << argv[0] << " failed: " << output;
    return output;
}

// Peak signal-to-noise ratio over the colour channels, in dB (99 for equal pictures).
double psnr(const Picture& a, const Picture& b) {
    if (a.empty() || a.width != b.width || a.height != b.height) {
        ADD_FAILURE() << "pictures of different sizes: " << a.width << "x" << a.height << " and "
                      << b.width << "x" << b.height;
        return 0;
    }
    double sum = 0;
    for (std::size_t i = 0; i < a.rgba.size(); ++i) {
        if (i % 4 != 3) {
            const double d = static_cast<double>(a.rgba[i]) - static_cast<double>(b.rgba[i]);
            sum += d * d;
        }
    }
    const double mse = sum / (double(a.rgba.size()) * 3 / 4);
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

// The pictures the tests start from, made once: a camera photo (scaled down,
// stored sideways with EXIF Orientation 6) with a ProPhoto profile assigned and
// EXIF (camera, date, GPS) and XMP added; a Display P3 PNG of the corpus; each
// with its rendering to sRGB and its pixels read as if they were sRGB.
struct Fixtures {
    ScratchDir dir;
    std::string photo;     ///< ProPhoto JPEG with metadata
    std::string photoRef;  ///< the photo rendered to sRGB, upright (PNG, no profile)
    std::string photoRaw;  ///< the photo's numbers taken as sRGB, upright
    std::string p3;        ///< Display P3 PNG
    std::string p3Ref;
    std::string p3Raw;
    std::string photoPng;  ///< the photo upright as a PNG with its profile and EXIF

    Fixtures() {
        photo = dir.file("photo.jpg");
        const std::string camera =
            (corpusDir() / "photos" / "camera" / "kde_FallenLeaf.jpg").string();
        mustRun({"/usr/bin/convert", camera, "-resize", "240x150", "+profile", "*", "-profile",
                 kProPhotoProfile, "-quality", "95", photo});
        mustRun({"/usr/bin/exiftool", "-q", "-overwrite_original", "-Model=TestCam X1",
                 "-DateTimeOriginal=2021:05:06 07:08:09", "-GPSLatitude=48.8583",
                 "-GPSLatitudeRef=N", "-GPSLongitude=2.2945", "-GPSLongitudeRef=E",
                 "-XMP-dc:Title=Leaf title", "-Orientation#=6", photo});
        photoRef = render(photo, "photo-ref.png");
        photoRaw = dir.file("photo-raw.png");
        mustRun({"/usr/bin/convert", photo, "-auto-orient", "+profile", "*", photoRaw});
        photoPng = dir.file("photo-upright.png");
        mustRun({"/usr/bin/convert", photo, "-auto-orient", photoPng});

        p3 = dir.file("p3.png");
        const std::string ring =
            (corpusDir() / "png-misc" / "wide-gamut" / "P3-sRGB-color-ring.png").string();
        mustRun({"/usr/bin/convert", ring, "-resize", "160x160", "-depth", "8", p3});
        p3Ref = render(p3, "p3-ref.png");
        p3Raw = dir.file("p3-raw.png");
        mustRun({"/usr/bin/convert", p3, "+profile", "*", p3Raw});
    }

    std::string render(const std::string& from, const std::string& name) const {
        const std::string to = dir.file(name);
        mustRun({"/usr/bin/convert", from + "[0]", "-auto-orient", "-profile", kSrgbProfile,
                 "+profile", "*", "-depth", "8", "png24:" + to});
        return to;
    }
};

const Fixtures& fixtures() {
    static const auto made = std::make_unique<Fixtures>();
    return *made;
}

// The fixtures are made before the first test points the temporary folder at
// its own scratch folder, which must end empty.
class ColourTest : public MagickTest {
protected:
    static void SetUpTestSuite() { fixtures(); }
};

// A file the converter wrote, rendered to sRGB by ImageMagick after a reader
// that keeps the format's profile: libjxl (JPEG XL), poppler (the JPEG inside a
// PDF), librsvg (SVG). ImageMagick 6 reads the pixels of AVIF, HEIC and WEBP but
// not their profile: exiftool gives it.
Picture renderOutput(const std::string& file, const std::string& ext, const fs::path& work) {
    std::string readable = file;
    std::vector<std::string> assign;
    if (ext == "avif" || ext == "heic" || ext == "webp") {
        std::string icc;
        if (runCommand({"/usr/bin/exiftool", "-b", "-ICC_Profile", file}, &icc) == 0 &&
            !icc.empty()) {
            const fs::path profile = work / "carried.icc";
            writeText(profile, icc);
            assign = {"+profile", "*", "-profile", profile.string()};
        }
    } else if (ext == "jxl") {
        readable = (work / "decoded-by-djxl.png").string();
        mustRun({"/usr/bin/djxl", file, readable});
    } else if (ext == "svg" || ext == "pdf") {
        return readOutput(file, ext, work);  // these hold sRGB pixels without a profile
    }
    const fs::path rendered = work / "rendered.png";
    std::vector<std::string> args{"/usr/bin/convert", readable + "[0]"};
    args.insert(args.end(), assign.begin(), assign.end());
    args.insert(args.end(), {"-profile", kSrgbProfile, "+profile", "*", "-depth", "8",
                             "png24:" + rendered.string()});
    mustRun(args);
    return loadPng(rendered);
}

// The name of the ICC profile an output carries, as exiftool (jxlinfo for JPEG
// XL, whose profile sits in the codestream) reads it; empty without one.
std::string profileOf(const std::string& file, const std::string& ext) {
    if (ext == "tga") {
        return "";  // no room for a profile (and exiftool does not read gray TGA)
    }
    if (ext == "jxl") {
        const std::string info = mustRun({"/usr/bin/jxlinfo", file});
        return info.find("ICC profile") != std::string::npos ? "ICC" : "";
    }
    std::string out =
        mustRun({"/usr/bin/exiftool", "-f", "-p", "$ICC_Profile:ProfileDescription", file});
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) {
        out.pop_back();
    }
    return out == "-" ? "" : out;
}

// What exiftool reads of the metadata the tests put in, one "Tag=value" a line.
std::string metadataOf(const std::string& file) {
    return mustRun({"/usr/bin/exiftool", "-n", "-s", "-s", "-f", "-sep", ",", "-p",
                    "Model=$Model\nDate=$DateTimeOriginal\nGPS=$GPSLatitude\n"
                    "Orientation=$Orientation\nTitle=$XMP-dc:Title",
                    file});
}

struct OutputCase {
    std::string ext;
    bool keepsProfile;   ///< the source's profile travels; otherwise sRGB pixels
    bool keepsMetadata;  ///< EXIF and XMP travel
    double minPsnr;      ///< against the source rendered to sRGB
};

void PrintTo(const OutputCase& c, std::ostream* os) {
    *os << c.ext;
}

// Lossy and palette coders lose some on their own; the others only rounding.
const std::vector<OutputCase> kOutputs{
    {"avif", true, true, 30},  {"jxl", true, true, 30},   {"psd", true, true, 40},
    {"svg", false, false, 40}, {"tga", false, false, 40}, {"jp2", false, false, 30},
    {"pdf", false, false, 30}, {"bmp", false, false, 40}, {"gif", false, false, 24},
    {"ico", false, false, 40},
};

class ColourOutputTest : public ColourTest, public ::testing::WithParamInterface<OutputCase> {
protected:
    // Writes `source` as the case's format; with `extra` words before OUT.
    std::string write(const std::string& source, const std::string& name,
                      const std::vector<std::string>& extra = {}, bool gray = false) {
        const std::string out = file(name + "." + GetParam().ext);
        std::vector<std::string> args{source, "-auto-orient"};
        if (gray) {
            args.insert(args.end(), {"-colorspace", "Gray"});
        }
        args.insert(args.end(), {"-quality", "92"});
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(out);
        const RunResult run = runMagick(args);
        EXPECT_EQ(run.status, 0) << run.output;
        return out;
    }
};

TEST_P(ColourOutputTest, ShowsTheSourcesColours) {
    const OutputCase& c = GetParam();
    const Fixtures& f = fixtures();
    struct Source {
        const char* name;
        std::string path;
        std::string ref;
        std::string raw;
        const char* profile;
    };
    for (const Source& s : {Source{"photo", f.photo, f.photoRef, f.photoRaw, "ProPhoto RGB"},
                            Source{"p3", f.p3, f.p3Ref, f.p3Raw, "DCI-P3-D65-2_2-Gamma"}}) {
        const std::string out = write(s.path, s.name);
        const Picture ref = loadPng(s.ref);
        const double got = psnr(renderOutput(out, c.ext, dir()), ref);
        const double ignored = psnr(loadPng(s.raw), ref);
        std::printf("[ colour   ] %-4s %-5s PSNR %.1f dB (profile ignored: %.1f dB)\n",
                    c.ext.c_str(), s.name, got, ignored);
        EXPECT_GE(got, c.minPsnr) << s.name;
        EXPECT_GE(got, ignored + 6) << s.name;
        if (c.keepsProfile) {
            EXPECT_EQ(profileOf(out, c.ext), c.ext == "jxl" ? "ICC" : s.profile) << s.name;
        } else {
            EXPECT_EQ(profileOf(out, c.ext), "") << s.name;
        }
    }
}

TEST_P(ColourOutputTest, KeepsMetadataWhereTheFormatHoldsIt) {
    const OutputCase& c = GetParam();
    const std::string out = write(fixtures().photo, "photo");
    const std::string metadata = metadataOf(out);
    if (c.keepsMetadata) {
        EXPECT_EQ(metadata,
                  "Model=TestCam X1\nDate=2021:05:06 07:08:09\nGPS=48.8583\n"
                  "Orientation=1\nTitle=Leaf title\n");
    } else {
        EXPECT_EQ(metadata, "Model=-\nDate=-\nGPS=-\nOrientation=-\nTitle=-\n");
    }
}

TEST_P(ColourOutputTest, StrippedOutputKeepsColoursOnly) {
    const OutputCase& c = GetParam();
    const std::string out = write(fixtures().photo, "stripped", {"+profile", "!icc,*"});
    EXPECT_EQ(metadataOf(out), "Model=-\nDate=-\nGPS=-\nOrientation=-\nTitle=-\n");
    const double got = psnr(renderOutput(out, c.ext, dir()), loadPng(fixtures().photoRef));
    EXPECT_GE(got, c.minPsnr);
    EXPECT_EQ(profileOf(out, c.ext).empty(), !c.keepsProfile);
}

TEST_P(ColourOutputTest, GrayComesFromTheRenderedColours) {
    const OutputCase& c = GetParam();
    // The same picture in sRGB, without a profile: its gray is the reference.
    const std::string fromProPhoto = write(fixtures().photo, "gray-prophoto", {}, true);
    const std::string fromSrgb = write(fixtures().photoRef, "gray-srgb", {}, true);
    const std::string fromRaw = write(fixtures().photoRaw, "gray-raw", {}, true);
    const Picture reference = renderOutput(fromSrgb, c.ext, dir());
    const Picture gray = renderOutput(fromProPhoto, c.ext, dir());
    const double got = psnr(gray, reference);
    const double ignored = psnr(renderOutput(fromRaw, c.ext, dir()), reference);
    std::printf("[ gray     ] %-4s PSNR %.1f dB (profile ignored: %.1f dB)\n", c.ext.c_str(), got,
                ignored);
    EXPECT_GE(got, ignored + 6);
    EXPECT_LE(gray.maxChroma(), 4);
    EXPECT_EQ(profileOf(fromProPhoto, c.ext), "") << "a gray picture with an RGB profile";
}

INSTANTIATE_TEST_SUITE_P(EveryFormat, ColourOutputTest, ::testing::ValuesIn(kOutputs),
                         [](const auto& p) { return p.param.ext; });

using ColourAnimationTest = ColourTest;

// An animated GIF with a ProPhoto profile (ImageMagick writes it as an ICCRGBG1
// extension) keeps it in the animated WEBP.
TEST_F(ColourAnimationTest, AnimatedWebpKeepsTheGifsProfile) {
    const Fixtures& f = fixtures();
    const std::string gif = file("anim.gif");
    mustRun({"/usr/bin/convert", f.photoPng, "(", "+clone", "-flop", ")", "-loop", "0", gif});
    ASSERT_EQ(profileOf(gif, "gif"), "ProPhoto RGB");
    const std::string out = file("anim.webp");
    const RunResult run = runMagick({gif, "-auto-orient", "-coalesce", out});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(profileOf(out, "webp"), "ProPhoto RGB");
    const Picture got = renderOutput(out, "webp", dir());
    const Picture want = loadPng(f.render(gif, "anim-ref.png"));
    EXPECT_GE(psnr(got, want), 40);

    // Without metadata the colours stay.
    const std::string stripped = file("stripped.webp");
    const RunResult strip =
        runMagick({gif, "-auto-orient", "-coalesce", "+profile", "!icc,*", stripped});
    ASSERT_EQ(strip.status, 0) << strip.output;
    EXPECT_EQ(profileOf(stripped, "webp"), "ProPhoto RGB");
}

struct DecodeCase {
    std::string ext;
    std::vector<std::string> make;  ///< makes SRC from IN (a PNG with profile and EXIF)
    bool exactProfile;              ///< the decoded PNG holds the source's very profile
    bool exif;                      ///< the source holds the EXIF (cjxl 0.7 drops it)
};

void PrintTo(const DecodeCase& c, std::ostream* os) {
    *os << c.ext;
}

class ColourDecodeTest : public ColourTest, public ::testing::WithParamInterface<DecodeCase> {};

// A source the program cannot read keeps its profile, and its EXIF, in the PNG
// the front decodes it into.
TEST_P(ColourDecodeTest, DecodedPngKeepsTheProfile) {
    const DecodeCase& c = GetParam();
    const std::string source = file("source." + c.ext);
    std::vector<std::string> make;
    for (const std::string& word : c.make) {
        make.push_back(word == "IN" ? fixtures().photoPng : word == "SRC" ? source : word);
    }
    mustRun(make);
    const std::string png = file("decoded.png");
    const RunResult run = runMagick({source, png});
    ASSERT_EQ(run.status, 0) << run.output;
    if (c.exactProfile) {
        const std::string icc = file("decoded.icc");
        mustRun({"/usr/bin/convert", png, "icc:" + icc});
        EXPECT_EQ(readBytes(icc), readBytes(kProPhotoProfile));
    }
    const Picture ref = loadPng(fixtures().photoRef);
    EXPECT_GE(psnr(renderOutput(png, "png", dir()), ref), 30);
    if (c.exif) {
        EXPECT_NE(metadataOf(png).find("Model=TestCam X1"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sources, ColourDecodeTest,
    ::testing::Values(
        DecodeCase{"avif", {"/usr/bin/heif-enc", "-A", "-q", "90", "IN", "-o", "SRC"}, true, true},
        DecodeCase{"heic", {"/usr/bin/heif-enc", "-q", "90", "IN", "-o", "SRC"}, true, true},
        // ImageMagick 6 writes no EXIF into PSD.
        DecodeCase{"psd", {"/usr/bin/convert", "IN", "SRC"}, true, false},
        // djxl gives the colours in a profile of its own choosing.
        DecodeCase{"jxl", {"/usr/bin/cjxl", "IN", "SRC", "-q", "95"}, false, false}),
    [](const auto& p) { return p.param.ext; });

}  // namespace
}  // namespace imbrix::test
