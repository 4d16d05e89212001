// Which decoder and encoder each source kind and output format takes.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/pictures.h"
#include "common/testsupport.h"
#include "convert/convertfile.h"
#include "convert/fakeconverter.h"
#include "convert/outputformats.h"
#include "imaging/decode.h"
#include "imaging/encode.h"
#include "imaging/grayscale.h"
#include "imaging/metadata.h"
#include "imaging/sink.h"

namespace imbrix::convert {
namespace {

namespace fs = std::filesystem;
using test::corpusDir;

// Real sources of every supported kind, copied under the name the test needs.
const std::pair<const char*, const char*> kSources[] = {
    {"pngsuite/basn6a08.png", "src.png"},
    {"photos/exif-orientation/f1-exif.jpg", "src.jpg"},
    {"photos/exif-orientation/f2-exif.jpg", "src.jpeg"},
    {"photos/exif-orientation/f3-exif.jpg", "src.jfif"},
    {"bmp/misc/not_kitty.bmp", "src.bmp"},
    {"ico/not_kitty.ico", "src.ico"},
    {"webp/misc/not_kitty.webp", "src.webp"},
    {"gif/still/not_kitty.gif", "src.gif"},
    {"tiff/misc/not_kitty.tiff", "src.tif"},
    {"tiff/misc/not_kitty.tiff", "SCAN.TIFF"},
    {"svg/librsvg-reftests-svg2/multi-filter.svg", "src.svg"},
    {"avif/avif.avif", "src.avif"},
    {"psd/psd.psd", "src.psd"},
    {"heic/derived/picosdeeuropa_q80.heic", "src.heic"},
    {"tga/gdk-pixbuf-reftests/gtk-logo-16bpp-bottom-left.tga", "src.tga"},
    {"jxl/cropped_traffic_light.jxl", "src.jxl"},
    {"jp2/not_kitty.jp2", "src.jp2"},
};

// What a converter call was for, read from its words.
std::string callKind(const std::vector<std::string>& words) {
    for (const std::string& word : words) {
        if (word == "-coalesce") {
            return "gif";
        }
        if (word == "-quality") {
            return "out";
        }
        if (word == "-flatten") {
            return "decode-flatten";
        }
    }
    return "decode";
}

enum class Route { Own, ConverterGif, ConverterOut };

// The decision table: output group by source kind.
struct Row {
    std::vector<std::string> extensions;
    const char* decodeCall;  // the converter call of step 1, if any
    Route tiff, wmp, pngJpeg, webp, converterFormats;
};
const Row kTable[] = {
    {{".bmp", ".ico", ".png", ".jpg", ".jpeg", ".webp"},
     nullptr,
     Route::Own,
     Route::Own,
     Route::Own,
     Route::Own,
     Route::ConverterOut},
    {{".gif"},
     nullptr,
     Route::Own,
     Route::Own,
     Route::Own,
     Route::ConverterGif,
     Route::ConverterOut},
    {{".jfif"}, nullptr, Route::Own, Route::Own, Route::Own, Route::Own, Route::ConverterOut},
    {{".tif", ".tiff", ".svg"},
     nullptr,
     Route::Own,
     Route::Own,
     Route::Own,
     Route::Own,
     Route::ConverterOut},
    {{".avif", ".heic", ".tga", ".jxl", ".jp2"},
     "decode",
     Route::Own,
     Route::Own,
     Route::Own,
     Route::Own,
     Route::ConverterOut},
    {{".psd"},
     "decode-flatten",
     Route::Own,
     Route::Own,
     Route::Own,
     Route::Own,
     Route::ConverterOut},
};

Route routeFor(const Row& row, const std::string& format) {
    if (format == "TIF" || format == "TIFF") {
        return row.tiff;
    }
    if (format == "WMP") {
        return row.wmp;
    }
    if (format == "WEBP") {
        return row.webp;
    }
    if (format == "PNG" || format == "JPG" || format == "JPEG" || format == "JFIF") {
        return row.pngJpeg;
    }
    return row.converterFormats;
}

class Routes : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto& [from, name] : kSources) {
            fs::copy_file(corpusDir() / from, sources_.path() / name);
        }
        settings_.dataFolder = data_.path().string() + "/";
        settings_.converterPath = fake_.path();
        settings_.converterFolder = fake_.folder().string();
        settings_.quality = 90;
    }

    std::string source(const std::string& name) const { return sources_.file(name); }

    test::ScratchDir sources_, data_;
    test::FakeConverter fake_;
    FileSettings settings_;
};

TEST_F(Routes, EveryRowOfTheDecisionTable) {
    for (const auto& [from, name] : kSources) {
        const std::string ext = platform::asciiLower(platform::extractFileExt(name));
        const Row* row = nullptr;
        for (const Row& candidate : kTable) {
            for (const std::string& e : candidate.extensions) {
                row = e == ext ? &candidate : row;
            }
        }
        ASSERT_NE(row, nullptr) << ext;
        test::ScratchDir out;
        for (const char* format : kOutputFormats) {
            SCOPED_TRACE(std::string(name) + " to " + format);
            fake_.clearCalls();
            settings_.format = format;
            const FileOutcome outcome =
                convertFile(source(name), out.path().string() + "/", settings_);
            ASSERT_EQ(outcome.error, "");
            EXPECT_EQ(outcome.output, out.path().string() + "/" + platform::stripFileExt(name) +
                                          "." + platform::asciiLower(format));

            std::vector<std::string> expectedCalls;
            if (row->decodeCall) {
                expectedCalls.push_back(row->decodeCall);
            }
            const Route route = routeFor(*row, format);
            if (route == Route::ConverterGif) {
                expectedCalls.push_back("gif");
            } else if (route == Route::ConverterOut) {
                expectedCalls.push_back("out");
            }
            std::vector<std::string> calls;
            for (const auto& words : fake_.calls()) {
                calls.push_back(callKind(words));
            }
            EXPECT_EQ(calls, expectedCalls);

            const std::vector<std::uint8_t> bytes = test::readBytes(outcome.output);
            if (route == Route::Own) {
                EXPECT_TRUE(test::looksLike(bytes, format));
            } else {
                EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "FAKE-OUTPUT");
            }
        }
        // Nothing of the conversions stays behind: no temporary file anywhere.
        EXPECT_TRUE(fs::is_empty(data_.path()));
        std::size_t files = 0;
        for (const auto& entry : fs::directory_iterator(out.path())) {
            EXPECT_EQ(entry.path().string().find("imbrix-tmp"), std::string::npos) << entry.path();
            ++files;
        }
        EXPECT_EQ(files, std::size(kOutputFormats));
    }
}

// Writes a small opaque picture of one colour in the format of `name`'s extension.
void writeSolid(const std::string& path, std::uint8_t b, std::uint8_t g, std::uint8_t r) {
    imaging::Raster raster(4, 3);
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        for (std::uint32_t x = 0; x < raster.width(); ++x) {
            std::uint8_t* p = raster.row(y) + 4 * x;
            p[0] = b, p[1] = g, p[2] = r, p[3] = 255;
        }
    }
    imaging::MemorySink sink;
    if (path.ends_with(".png")) {
        imaging::encodePng(test::pictureOf(raster), {}, sink);
    } else {
        imaging::encodeTiff(test::pictureOf(raster), {}, sink);
    }
    test::writeBytes(path, sink.bytes);
}

// PNG, JPEG and WEBP outputs take the luminance filter; where their source is the
// raster, the raster's equal-weight grayscale comes first. Pure red tells them apart.
TEST_F(Routes, GrayscaleFollowsTheEncoderSource) {
    writeSolid(source("red.png"), 0, 0, 255);
    writeSolid(source("red.tif"), 0, 0, 255);
    test::ScratchDir out;
    settings_.grayscale = true;
    settings_.format = "PNG";
    struct Case {
        const char* source;
        int gray;
    };
    for (const Case c : {Case{"red.png", 127}, Case{"red.tif", 85}}) {
        const FileOutcome outcome =
            convertFile(source(c.source), out.path().string() + "/", settings_);
        ASSERT_EQ(outcome.error, "") << c.source;
        const imaging::Raster picture = imaging::loadPicture(outcome.output);
        const std::uint8_t* p = picture.row(1) + 4;
        EXPECT_EQ(p[0], p[1]) << c.source;
        EXPECT_EQ(p[1], p[2]) << c.source;
        EXPECT_NEAR(p[2], c.gray, 2) << c.source;
    }
}

// TIFF (and JPEG XR) outputs carry no alpha; with grayscale every pixel is gray.
TEST_F(Routes, TiffHasNoAlphaAndGrayscaleIsGray) {
    test::ScratchDir out;
    settings_.format = "TIFF";
    for (bool gray : {false, true}) {
        settings_.grayscale = gray;
        const FileOutcome outcome =
            convertFile(source("src.png"), out.path().string() + "/", settings_);  // RGBA source
        ASSERT_EQ(outcome.error, "");
        const imaging::Raster picture = imaging::loadPicture(outcome.output);
        bool allOpaque = true, allGray = true;
        for (std::uint32_t y = 0; y < picture.height(); ++y) {
            for (std::uint32_t x = 0; x < picture.width(); ++x) {
                const std::uint8_t* p = picture.row(y) + 4 * x;
                allOpaque = allOpaque && p[3] == 255;
                allGray = allGray && p[0] == p[1] && p[1] == p[2];
            }
        }
        EXPECT_TRUE(allOpaque) << gray;
        EXPECT_EQ(allGray, gray);
    }
}

TEST_F(Routes, PngKeepsTheSourcesTransparency) {
    test::ScratchDir out;
    settings_.format = "PNG";
    const FileOutcome outcome =
        convertFile(source("src.png"), out.path().string() + "/", settings_);
    ASSERT_EQ(outcome.error, "");
    const imaging::Raster picture = imaging::loadPicture(outcome.output);
    const imaging::Raster original = imaging::loadPicture(source("src.png"));
    ASSERT_EQ(picture.byteSize(), original.byteSize());
    EXPECT_TRUE(std::equal(picture.data(), picture.data() + picture.byteSize(), original.data()));
}

TEST_F(Routes, FailuresOfDecodingFailTheFileEvenForConverterFormats) {
    test::ScratchDir out;
    fs::copy_file(corpusDir() / "pngsuite/basn6a08.png", sources_.path() / "fake.jpg");
    fs::copy_file(corpusDir() / "broken/misc/truncated.jpg", sources_.path() / "cut.jpg");
    test::writeText(sources_.path() / "notes.txt", "hello");
    test::writeText(sources_.path() / "empty.jpg", "");
    test::writeText(sources_.path() / "byte.jfif", "\xff");
    struct Case {
        const char* source;
        const char* message;  // what the message starts with
    };
    const Case cases[] = {
        {"fake.jpg", "JPEG error #53"},      {"empty.jpg", "JPEG error #53"},
        {"byte.jfif", "JPEG error #53"},     {"notes.txt", "Unknown picture file extension (.txt)"},
        {"missing.png", "Cannot open file"}, {"cut.jpg", ""},
    };
    for (const char* format : {"PDF", "PNG", "TIFF", "WEBP"}) {
        settings_.format = format;
        for (const Case& c : cases) {
            const FileOutcome outcome =
                convertFile(source(c.source), out.path().string() + "/", settings_);
            EXPECT_EQ(outcome.output, "") << c.source;
            EXPECT_FALSE(outcome.error.empty()) << c.source;
            EXPECT_EQ(outcome.error.rfind(c.message, 0), 0u) << c.source << ": " << outcome.error;
        }
    }
    EXPECT_TRUE(fake_.calls().empty());
    EXPECT_TRUE(fs::is_empty(out.path()));
}

// A JPEG going to lossy WEBP is coded from its own luma and chroma planes where
// they are the picture (4:2:0, turned exactly, no grayscale); every other JPEG
// and option takes the raster, exactly as before.
TEST_F(Routes, JpegToLossyWebpCodesThePlanesOnlyWhereTheyAreThePicture) {
    struct Case {
        const char* from;  // in the corpus
        const char* name;
        bool grayscale;
        int quality;
        bool planes;
    };
    const Case cases[] = {
        {"photos/jpeg-variants/video-001.q50.420.progressive.jpeg", "a.jpg", false, 80, true},
        {"photos/exif-orientation/geodegrees_as_string.jpg", "b.jfif", false, 35, true},
        {"photos/jpeg-variants/flower_small.q85_420_non_interleaved.jpg", "c.jpeg", false, 90,
         true},
        {"photos/jpeg-variants/video-001.q50.420.jpeg", "d.jpg", true, 80, false},
        {"photos/jpeg-variants/video-001.q50.420.jpeg", "e.jpg", false, 100, false},
        {"photos/jpeg-variants/video-001.q50.422.jpeg", "f.jpg", false, 80, false},
        {"photos/jpeg-variants/video-001.cmyk.jpeg", "g.jpg", false, 80, false},
        {"photos/exif-orientation/orientation_6.jpg", "h.jpg", false, 80, true},
        {"photos/exif-orientation/bug143608-comment.jpg", "i.jpg", false, 80, false},
    };
    test::ScratchDir out;
    settings_.format = "WEBP";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::copy_file(corpusDir() / c.from, sources_.path() / c.name);
        settings_.grayscale = c.grayscale;
        settings_.quality = c.quality;
        const FileOutcome outcome =
            convertFile(source(c.name), out.path().string() + "/", settings_);
        ASSERT_EQ(outcome.error, "");

        const std::vector<std::uint8_t> jpeg = test::readBytes(corpusDir() / c.from);
        const imaging::Bytes bytes(jpeg.data(), jpeg.size());
        imaging::MemorySink expected;
        // Either way the output carries the file's profile and metadata.
        if (c.planes) {
            imaging::YuvPicture planes = *imaging::decodeJpegYuv420(bytes);
            imaging::metadata::read(bytes, planes.meta);
            imaging::encodeWebp(std::move(planes), test::withQuality(c.quality), expected);
        } else {
            imaging::Picture picture = imaging::decodePicture("jpg", bytes);
            imaging::metadata::read(bytes, picture.meta);
            if (c.grayscale) {
                imaging::applyLuminanceGrayscale(picture.pixels);
            }
            imaging::encodeWebp(picture, test::withQuality(c.quality), expected);
        }
        EXPECT_EQ(test::readBytes(outcome.output), expected.bytes);
    }
    EXPECT_TRUE(fake_.calls().empty());
}

}  // namespace
}  // namespace imbrix::convert
