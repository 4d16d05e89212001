// Metadata: read from real files with exiv2, rewritten for upright output, and
// written by every encoder; read back with exiftool and ImageMagick.
#include "imaging/metadata.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/testsupport.h"
#include "encode_testutil.h"
#include "imaging/decode.h"
#include "imaging/encode.h"

namespace imbrix::test {
namespace {

namespace fs = std::filesystem;
using imaging::Metadata;
using imaging::Picture;

const char* const kProfile = "/usr/share/color/icc/colord/AdobeRGB1998.icc";

// Every tag exiftool reads from a file, as "Group:Tag" -> value (numbers as
// numbers); a tag given twice keeps its last value.
std::map<std::string, std::string> exiftoolTags(const std::string& path) {
    std::string output;
    EXPECT_EQ(runCommand({"exiftool", "-args", "-n", "-G1", "-a", path}, &output), 0) << output;
    std::map<std::string, std::string> tags;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t eq = line.find('=');
        if (line.size() > 1 && line[0] == '-' && eq != std::string::npos) {
            tags[line.substr(1, eq - 1)] = line.substr(eq + 1);
        }
    }
    return tags;
}

bool hasGroup(const std::map<std::string, std::string>& tags, const std::string& group) {
    return std::any_of(tags.begin(), tags.end(),
                       [&](const auto& tag) { return tag.first.rfind(group + ":", 0) == 0; });
}

std::vector<std::uint8_t> exiftoolProfile(const std::string& path) {
    std::string output;
    EXPECT_EQ(runCommand({"exiftool", "-icc_profile", "-b", path}, &output), 0);
    return std::vector<std::uint8_t>(output.begin(), output.end());
}

struct EncoderCase {
    const char* name;
    const char* extension;
    std::function<void(const Picture&, imaging::Sink&)> encode;
    bool keepsIptc;
    /// A tool that writes the file as PNG, where ImageMagick cannot read it.
    const char* pngWriter = nullptr;
};

const EncoderCase kEncoders[] = {
    {"jpeg", "jpg", [](const Picture& p, imaging::Sink& s) { imaging::encodeJpeg(p, {}, s); },
     true},
    {"png", "png", [](const Picture& p, imaging::Sink& s) { imaging::encodePng(p, {}, s); }, true},
    {"webp", "webp", [](const Picture& p, imaging::Sink& s) { imaging::encodeWebp(p, {}, s); },
     false},
    {"tiff", "tif", [](const Picture& p, imaging::Sink& s) { imaging::encodeTiff(p, {}, s); },
     true},
    {"jxl", "jxl", [](const Picture& p, imaging::Sink& s) { imaging::encodeJxl(p, {}, s); }, false,
     "djxl"},
    {"avif", "avif", [](const Picture& p, imaging::Sink& s) { imaging::encodeAvif(p, {}, s); },
     false},
};

// Two camera JPEGs with GPS, a creator (XMP) and keywords (IPTC) added: a
// portrait photo stored on its side (Orientation 6 in EXIF and XMP, with a
// thumbnail), and a landscape one carrying its own XMP and IPTC.
class MetadataOutput : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        scratch_ = new ScratchDir;
        const std::vector<std::string> tagging = {
            "-GPSLatitude=48.8583", "-GPSLatitudeRef=N",           "-GPSLongitude=2.2945",
            "-GPSLongitudeRef=E",   "-XMP-dc:Creator=Ada Example", "-IPTC:Keywords=imbrix"};
        const std::string side = scratch_->file("side.jpg");
        fs::copy_file(corpusDir() / "photos/exif-orientation/bug143608-comment.jpg", side);
        std::vector<std::string> argv = {"exiftool", "-q", "-overwrite_original",
                                         "-XMP-tiff:Orientation#=6"};
        argv.insert(argv.end(), tagging.begin(), tagging.end());
        argv.push_back(side);
        mustRun(argv);
        // ImageMagick keeps EXIF (thumbnail included), XMP and IPTC when it resizes.
        const std::string leaf = scratch_->file("leaf.jpg");
        mustRun({"/usr/bin/convert", (corpusDir() / "photos/camera/kde_FallenLeaf.jpg").string(),
                 "-resize", "320x200", leaf});
        argv = {"exiftool", "-q", "-overwrite_original"};
        argv.insert(argv.end(), tagging.begin(), tagging.end());
        argv.push_back(leaf);
        mustRun(argv);
    }
    static void TearDownTestSuite() {
        delete scratch_;
        scratch_ = nullptr;
    }

    // The photo decoded upright, its metadata read, the profile given.
    static Picture load(const std::string& name, bool strip = false) {
        const std::vector<std::uint8_t> bytes = readBytes(scratch_->file(name));
        Picture picture{imaging::decodeWithPictureLoader("jpg", bytes), {}};
        imaging::metadata::read(bytes, picture.meta);
        if (strip) {
            picture.meta.stripDescriptive();
        }
        picture.meta.icc = readBytes(kProfile);
        return picture;
    }

    static std::string encodeToFile(const EncoderCase& encoder, const Picture& picture,
                                    const ScratchDir& dir) {
        imaging::MemorySink sink;
        encoder.encode(picture, sink);
        const std::string path = dir.file(std::string("out.") + encoder.extension);
        std::filesystem::remove(path);
        writeBytes(path, sink.bytes);
        return path;
    }

    // The file's profile as exiftool reads it. libjxl stores a profile it can
    // describe by its primaries and curve as such, and djxl writes one of its own
    // making from that: only its presence can be compared there (the colours it
    // gives are checked in encode_jxl_avif_test.cpp).
    static void expectProfile(const EncoderCase& encoder, const std::string& out,
                              const std::vector<std::uint8_t>& profile, const ScratchDir& dir) {
        if (!encoder.pngWriter) {
            EXPECT_EQ(exiftoolProfile(out), profile);
            return;
        }
        const std::string png = dir.file("profile.png");
        std::filesystem::remove(png);
        mustRun({encoder.pngWriter, out, png});
        EXPECT_FALSE(exiftoolProfile(png).empty());
    }

    static ScratchDir* scratch_;
};

ScratchDir* MetadataOutput::scratch_ = nullptr;

TEST_F(MetadataOutput, EveryEncoderWritesTheSourcesMetadataForUprightPixels) {
    struct Source {
        const char* file;
        const char* model;
        const char* taken;
        bool xmpOrientation;
    };
    const Source sources[] = {
        {"side.jpg", "DMC-GF1", "2013:06:23 16:49:15", true},
        {"leaf.jpg", "Canon EOS 70D", "2015:10:29 15:44:44", false},
    };
    const std::vector<std::uint8_t> profile = readBytes(kProfile);
    for (const Source& source : sources) {
        const Picture picture = load(source.file);
        const std::string width = std::to_string(picture.pixels.width());
        const std::string height = std::to_string(picture.pixels.height());
        for (const EncoderCase& encoder : kEncoders) {
            SCOPED_TRACE(std::string(source.file) + " as " + encoder.name);
            ScratchDir dir;
            const std::string out = encodeToFile(encoder, picture, dir);
            auto tags = exiftoolTags(out);
            EXPECT_EQ(tags["IFD0:Model"], source.model);
            EXPECT_EQ(tags["ExifIFD:DateTimeOriginal"], source.taken);
            EXPECT_EQ(tags["GPS:GPSLatitude"], "48.8583");
            EXPECT_EQ(tags["GPS:GPSLongitude"], "2.2945");
            EXPECT_EQ(tags["IFD0:Orientation"], "1");
            EXPECT_EQ(tags["ExifIFD:ExifImageWidth"], width);
            EXPECT_EQ(tags["ExifIFD:ExifImageHeight"], height);
            EXPECT_FALSE(hasGroup(tags, "IFD1")) << "the thumbnail must go";
            EXPECT_EQ(tags["XMP-dc:Creator"], "Ada Example");
            if (source.xmpOrientation) {
                EXPECT_EQ(tags["XMP-tiff:Orientation"], "1");
            }
            if (encoder.keepsIptc) {
                EXPECT_EQ(tags["IPTC:Keywords"], "imbrix");
            }
            expectProfile(encoder, out, profile, dir);
            // ImageMagick still reads the picture, at its size.
            std::string readable = out;
            if (encoder.pngWriter) {
                readable = dir.file("out.png");
                mustRun({encoder.pngWriter, out, readable});
            }
            const Decoded decoded = decodeWithImageMagick(
                readBytes(readable), encoder.pngWriter ? "png" : encoder.extension);
            EXPECT_EQ(std::to_string(decoded.width), width);
            EXPECT_EQ(std::to_string(decoded.height), height);
        }
    }
}

TEST_F(MetadataOutput, AStrippedPictureKeepsOnlyItsProfile) {
    const Picture picture = load("side.jpg", true);
    const std::vector<std::uint8_t> profile = readBytes(kProfile);
    for (const EncoderCase& encoder : kEncoders) {
        SCOPED_TRACE(encoder.name);
        ScratchDir dir;
        const std::string out = encodeToFile(encoder, picture, dir);
        const auto tags = exiftoolTags(out);
        for (const char* group : {"ExifIFD", "GPS", "IFD1", "XMP-dc", "XMP-tiff", "IPTC"}) {
            EXPECT_FALSE(hasGroup(tags, group)) << group;
        }
        EXPECT_EQ(tags.count("IFD0:Model"), 0u);
        expectProfile(encoder, out, profile, dir);
    }
}

TEST_F(MetadataOutput, JpegAndPngCarryTheComment) {
    Picture picture = load("leaf.jpg");
    picture.meta.comment = "Fallen leaf, caf\xc3\xa9";  // not Latin-1 safe: PNG takes iTXt
    for (const EncoderCase& encoder : {kEncoders[0], kEncoders[1]}) {
        SCOPED_TRACE(encoder.name);
        ScratchDir dir;
        const std::string out = encodeToFile(encoder, picture, dir);
        auto tags = exiftoolTags(out);
        EXPECT_EQ(tags[encoder.extension == std::string("jpg") ? "File:Comment" : "PNG:Comment"],
                  picture.meta.comment);
    }
}

TEST_F(MetadataOutput, APngWithAnRgbProfileStaysRgbWhenItsPixelsAreGray) {
    Picture picture{makeRaster(16, 8,
                               [](int x, int) {
                                   return std::array<int, 4>{x * 9, x * 9, x * 9, 255};
                               }),
                    {}};
    picture.meta.icc = readBytes(kProfile);
    ScratchDir dir;
    const std::string out = encodeToFile(kEncoders[1], picture, dir);
    EXPECT_EQ(exiftoolTags(out)["PNG:ColorType"], "2");
    EXPECT_EQ(exiftoolProfile(out), picture.meta.icc);
    picture.meta.icc.clear();
    const std::string plain = encodeToFile(kEncoders[1], picture, dir);
    EXPECT_EQ(exiftoolTags(plain)["PNG:ColorType"], "0");
}

TEST_F(MetadataOutput, TheTiffStaysValid) {
    const Picture picture = load("side.jpg");
    ScratchDir dir;
    const std::string out = encodeToFile(kEncoders[3], picture, dir);
    std::string report;
    EXPECT_EQ(runCommand({"tiffinfo", "-D", out}, &report), 0) << report;
    // libtiff 4.5.0 files EXIF's GainControl under the wrong type (SHORT is
    // right, and the camera wrote SHORT) and warns about it: that line aside,
    // no warning.
    const std::string gainControl =
        "TIFFReadCustomDirectory: Warning, Wrong data type 3 for \"GainControl\"; tag ignored.\n";
    if (const std::size_t at = report.find(gainControl); at != std::string::npos) {
        report.erase(at, gainControl.size());
    }
    EXPECT_EQ(report.find("Warning"), std::string::npos) << report;
    EXPECT_EQ(report.find("Error"), std::string::npos) << report;
    // The pixels came through the rewrite: compare with ImageMagick's reading.
    EXPECT_EQ(maxColourDifference(picture.pixels, decodeWithImageMagick(readBytes(out), "tif")), 0);
}

// A camera's EXIF block as read from its JPEG.
std::vector<std::uint8_t> cameraExif() {
    Metadata meta;
    imaging::metadata::read(
        readBytes(corpusDir() / "photos/exif-orientation/bug143608-comment.jpg"), meta);
    return meta.exif;
}

TEST(MetadataExif, DamagedBlocksGiveNothing) {
    const std::vector<std::uint8_t> good = cameraExif();
    ASSERT_GT(good.size(), 200u);
    ASSERT_FALSE(imaging::metadata::exifForOutput(good, 10, 10).empty());
    ASSERT_EQ(good[0], 'I');  // little-endian: the offsets below are written that way
    auto patched = [&](std::size_t at, std::vector<std::uint8_t> bytes) {
        std::vector<std::uint8_t> block = good;
        std::copy(bytes.begin(), bytes.end(), block.begin() + static_cast<std::ptrdiff_t>(at));
        return block;
    };
    auto cut = [&](std::size_t size) {
        return std::vector<std::uint8_t>(good.begin(),
                                         good.begin() + static_cast<std::ptrdiff_t>(size));
    };
    struct Case {
        const char* what;
        std::vector<std::uint8_t> block;
    };
    const Case cases[] = {
        {"header only", cut(8)},
        {"cut in the first directory", cut(20)},
        {"cut in half", cut(good.size() / 2)},
        {"not TIFF", patched(0, {'X', 'X'})},
        {"first directory out of the block", patched(4, {0xf0, 0xff, 0xff, 0x0f})},
        {"first value out of the block", patched(10 + 8, {0xff, 0xff, 0xff, 0x7f})},
        {"first value larger than the block", patched(10 + 4, {0xff, 0xff, 0xff, 0x0f})},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(imaging::metadata::exifForOutput(c.block, 10, 10).empty()) << c.what;
        // An encoder given such a block writes the picture without it.
        Picture picture{gradientRaster(8, 8), {}};
        picture.meta.exif = c.block;
        imaging::MemorySink sink;
        imaging::encodeJpeg(picture, {}, sink);
        ScratchDir dir;
        writeBytes(dir.file("out.jpg"), sink.bytes);
        EXPECT_FALSE(hasGroup(exiftoolTags(dir.file("out.jpg")), "IFD0")) << c.what;
    }
}

TEST(MetadataExif, TheOutputBlockFollowsTheOutput) {
    const std::vector<std::uint8_t> raw = cameraExif();
    const std::vector<std::uint8_t> block = imaging::metadata::exifForOutput(raw, 428, 640);
    ScratchDir dir;
    writeBytes(dir.file("out.exif"), block);
    auto tags = exiftoolTags(dir.file("out.exif"));
    EXPECT_EQ(tags["IFD0:Orientation"], "1");
    EXPECT_EQ(tags["ExifIFD:ExifImageWidth"], "428");
    EXPECT_EQ(tags["ExifIFD:ExifImageHeight"], "640");
    EXPECT_EQ(tags["IFD0:Model"], "DMC-GF1");
    EXPECT_FALSE(hasGroup(tags, "IFD1"));
    // The "Exif\0\0" prefix of a JPEG segment is accepted too.
    std::vector<std::uint8_t> prefixed = {'E', 'x', 'i', 'f', 0, 0};
    prefixed.insert(prefixed.end(), raw.begin(), raw.end());
    EXPECT_EQ(imaging::metadata::exifForOutput(prefixed, 428, 640), block);

    // A size not known (0 x 0) leaves the source's size tags as they are.
    writeBytes(dir.file("raw.exif"), raw);
    writeBytes(dir.file("unsized.exif"), imaging::metadata::exifForOutput(raw, 0, 0));
    auto source = exiftoolTags(dir.file("raw.exif"));
    auto unsized = exiftoolTags(dir.file("unsized.exif"));
    EXPECT_EQ(unsized["IFD0:Orientation"], "1");
    EXPECT_EQ(unsized["ExifIFD:ExifImageWidth"], source["ExifIFD:ExifImageWidth"]);
    EXPECT_NE(unsized["ExifIFD:ExifImageWidth"], "");
}

std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

TEST(MetadataXmp, PropertiesFollowTheOutputAndTheRestStays) {
    const std::string head =
        "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF "
        "xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description "
        "xmlns:tiff='http://ns.adobe.com/tiff/1.0/' xmlns:exif='http://ns.adobe.com/exif/1.0/' "
        "xmlns:dc='http://purl.org/dc/elements/1.1/'";
    const std::string turned = head +
                               " tiff:Orientation='6' exif:PixelXDimension='4000' "
                               "exif:PixelYDimension='3000'><dc:format>image/jpeg</dc:format>"
                               "</rdf:Description></rdf:RDF></x:xmpmeta>";
    const std::vector<std::uint8_t> out =
        imaging::metadata::xmpForOutput(bytesOf(turned), 300, 400);
    ScratchDir dir;
    writeBytes(dir.file("out.xmp"), out);
    auto tags = exiftoolTags(dir.file("out.xmp"));
    EXPECT_EQ(tags["XMP-tiff:Orientation"], "1");
    EXPECT_EQ(tags["XMP-exif:ExifImageWidth"], "300");
    EXPECT_EQ(tags["XMP-exif:ExifImageHeight"], "400");
    EXPECT_EQ(tags["XMP-dc:Format"], "image/jpeg");

    // Nothing to change: the packet as it is, even one the XMP toolkit would
    // refuse (a property twice).
    const std::string twice = head +
                              "><dc:format>a</dc:format><dc:format>b</dc:format>"
                              "</rdf:Description></rdf:RDF></x:xmpmeta>";
    EXPECT_EQ(imaging::metadata::xmpForOutput(bytesOf(twice), 1, 1), bytesOf(twice));
    // An orientation in a packet that cannot be parsed cannot be reset: dropped.
    const std::string broken = head + " tiff:Orientation='6'><dc:format>a</dc:format>";
    EXPECT_TRUE(imaging::metadata::xmpForOutput(bytesOf(broken), 1, 1).empty());
    EXPECT_TRUE(imaging::metadata::xmpForOutput(bytesOf("no XMP at all"), 1, 1).empty());
}

TEST(MetadataRead, EveryContainerExiv2Knows) {
    struct Case {
        const char* file;
        bool exif, xmp;
        bool tagged;  // a copy with EXIF and XMP added by exiftool
    };
    // Each container's own way of carrying metadata. exiv2 0.27 reads nothing
    // from GIF, and nothing from AVIF or HEIF files as exiftool writes them.
    const Case cases[] = {
        {"photos/camera/kde_FallenLeaf.jpg", true, true, false},
        {"png-misc/raw.pixls-16bit/Nikon-D300-12bit_srgb8_dt.png", true, false, false},
        {"tiff/misc/sample1.tif", true, false, false},
        {"jp2/nemo.jp2", false, true, false},
        {"jxl/1x1_exif_xmp.jxl", true, true, false},
        {"webp/misc/not_kitty.webp", true, true, true},
        {"psd/psd.psd", true, true, true},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        fs::path path = corpusDir() / c.file;
        if (c.tagged) {
            const std::string copy = dir.file(path.filename().string());
            fs::copy_file(path, copy);
            mustRun({"exiftool", "-q", "-overwrite_original", "-Model=Probe", "-XMP-dc:Creator=Ada",
                     copy});
            path = copy;
        }
        Metadata meta;
        meta.icc = {1, 2, 3};
        meta.comment = "left from before";
        imaging::metadata::read(readBytes(path), meta);
        EXPECT_EQ(!meta.exif.empty(), c.exif) << c.file;
        EXPECT_EQ(!meta.xmp.empty(), c.xmp) << c.file;
        EXPECT_EQ(meta.icc, (std::vector<std::uint8_t>{1, 2, 3})) << "the profile is left alone";
        EXPECT_TRUE(meta.comment.empty()) << c.file;
        if (c.tagged) {
            writeBytes(dir.file("read.exif"), meta.exif);
            EXPECT_EQ(exiftoolTags(dir.file("read.exif"))["IFD0:Model"], "Probe") << c.file;
        }
    }
}

std::vector<fs::path> filesUnder(const fs::path& dir) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file()) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

TEST(MetadataRead, DamagedAndOrdinaryFilesNeverStopIt) {
    std::vector<fs::path> files = filesUnder(corpusDir() / "photos");
    const std::vector<fs::path> broken = filesUnder(corpusDir() / "broken");
    files.insert(files.end(), broken.begin(), broken.end());
    ASSERT_GT(files.size(), 50u);
    std::size_t withExif = 0;
    for (const fs::path& file : files) {
        Metadata meta;
        imaging::metadata::read(readBytes(file), meta);
        withExif += meta.exif.empty() ? 0 : 1;
        // Whatever was read can be prepared for output without trouble.
        imaging::metadata::exifForOutput(meta.exif, 1, 1);
        imaging::metadata::xmpForOutput(meta.xmp, 1, 1);
    }
    EXPECT_GT(withExif, 20u);
}

TEST(MetadataRead, ManyThreadsReadWhatOneReads) {
    const std::vector<fs::path> files = filesUnder(corpusDir() / "photos");
    std::vector<std::vector<std::uint8_t>> contents;
    for (const fs::path& file : files) {
        contents.push_back(readBytes(file));
    }
    auto readAll = [&](std::vector<Metadata>& into) {
        into.resize(contents.size());
        for (std::size_t i = 0; i < contents.size(); ++i) {
            imaging::metadata::read(contents[i], into[i]);
            into[i].exif = imaging::metadata::exifForOutput(into[i].exif, 7, 9);
            into[i].xmp = imaging::metadata::xmpForOutput(into[i].xmp, 7, 9);
        }
    };
    std::vector<Metadata> expected;
    readAll(expected);
    std::vector<std::vector<Metadata>> results(4);
    std::vector<std::thread> threads;
    for (auto& result : results) {
        threads.emplace_back([&] { readAll(result); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (const auto& result : results) {
        for (std::size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(result[i].exif, expected[i].exif) << files[i];
            EXPECT_EQ(result[i].xmp, expected[i].xmp) << files[i];
            EXPECT_EQ(result[i].iptc, expected[i].iptc) << files[i];
            EXPECT_EQ(result[i].comment, expected[i].comment) << files[i];
        }
    }
}

}  // namespace
}  // namespace imbrix::test
