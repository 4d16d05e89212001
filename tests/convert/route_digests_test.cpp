// The outputs of every route, pinned byte for byte.
//
// A batch of real sources of every kind goes to all 18 formats, in colour and in
// gray, through the real converter. Each output's SHA-256 (or the file's failure
// message) must equal the line recorded in route_digests.txt. The converter's SVG
// and PDF outputs carry the time they were written: that part is left out. A change of the
// engine's shape must leave every one of these files as it was; a deliberate
// change of an output rewrites the table:
//   IMBRIX_WRITE_ROUTE_DIGESTS=1 build/tests/imbrix_convert_tests --gtest_filter='RouteDigests.*'
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "common/testsupport.h"
#include "convert/run.h"
#include "platform/files.h"

namespace imbrix::convert {
namespace {

namespace fs = std::filesystem;

// Every source kind, and the special cases of the routes: JPEGs with half-size
// chroma (taken as planes to WEBP, one turned by its EXIF orientation, one of odd
// width), full-size chroma, an animation, transparency, a mislabelled file.
const std::pair<const char*, const char*> kSources[] = {
    {"pngsuite/basn6a08.png", "alpha.png"},
    {"pngsuite/basn3p04.png", "palette.png"},
    {"photos/exif-orientation/orientation_6.jpg", "sideways.jpg"},
    {"photos/exif-orientation/has-lens-info.jpg", "camera.jpeg"},
    {"photos/exif-orientation/f3-exif.jpg", "full-chroma.jfif"},
    {"bmp/misc/not_kitty.bmp", "kitty.bmp"},
    {"ico/not_kitty.ico", "kitty.ico"},
    {"webp/misc/not_kitty.webp", "kitty.webp"},
    {"gif/animated/traffic_light.gif", "animated.gif"},
    {"tiff/misc/not_kitty.tiff", "kitty.tif"},
    {"svg/librsvg-reftests-svg2/multi-filter.svg", "drawing.svg"},
    {"avif/avif.avif", "picture.avif"},
    {"psd/psd.psd", "layers.psd"},
    {"tga/gdk-pixbuf-reftests/gtk-logo-16bpp-bottom-left.tga", "logo.tga"},
    {"jxl/cropped_traffic_light.jxl", "light.jxl"},
    {"jp2/not_kitty.jp2", "kitty.jp2"},
    {"pngsuite/basn6a08.png", "png-named.jpg"},
    {"pngsuite/basn6a08.png", "png-named.gif"},
};

std::string hex(const unsigned char* data, std::size_t size) {
    static const char* const kHex = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += kHex[data[i] >> 4];
        text += kHex[data[i] & 15];
    }
    return text;
}

std::string sha256(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr), 1);
    return hex(digest, size);
}

std::uint32_t bigEndian32(const std::string& bytes, std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) << 24 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 8 |
           static_cast<unsigned char>(bytes[at + 3]);
}

// A PNG without the chunks that tell when it was written (tIME, and the text
// chunks ImageMagick fills with dates).
std::string withoutPngTimes(const std::string& png) {
    std::string kept = png.substr(0, 8);
    for (std::size_t at = 8; at + 12 <= png.size();) {
        const std::size_t length = bigEndian32(png, at);
        const std::string type = png.substr(at + 4, 4);
        const std::size_t whole = std::min(png.size() - at, length + 12);
        if (type != "tIME" && type != "tEXt" && type != "zTXt" && type != "iTXt") {
            kept += png.substr(at, whole);
        }
        at += whole;
    }
    return kept;
}

// The bytes that are the same from one conversion of a file to the next: the
// converter's SVG embeds a PNG that carries the time it was written, its PDF
// dates and identifies the document.
std::string stableBytes(const fs::path& path) {
    const std::vector<std::uint8_t> raw = test::readBytes(path);
    std::string bytes(raw.begin(), raw.end());
    if (path.extension() == ".svg") {
        const std::string mark = "base64,";
        const std::size_t start = bytes.find(mark);
        const std::size_t end = start == std::string::npos ? start : bytes.find('"', start);
        if (end != std::string::npos) {
            const std::string encoded =
                bytes.substr(start + mark.size(), end - start - mark.size());
            std::string decoded(encoded.size() / 4 * 3 + 3, '\0');
            const int size = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                                             reinterpret_cast<const unsigned char*>(encoded.data()),
                                             static_cast<int>(encoded.size()));
            EXPECT_GT(size, 0) << path;
            decoded.resize(static_cast<std::size_t>(std::max(size, 0)));
            bytes = bytes.substr(0, start) + withoutPngTimes(decoded) + bytes.substr(end);
        }
    } else if (path.extension() == ".pdf") {
        bytes = std::regex_replace(bytes, std::regex("D:[0-9]{14}"), "D:<time>");
        bytes = std::regex_replace(bytes, std::regex("/ID \\[<[0-9a-fA-F]*><[0-9a-fA-F]*>\\]"),
                                   "/ID [<id>]");
    }
    return bytes;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// One line per file: "FORMAT gray|colour source -> output digest", or the
// failure's message with the test's folders replaced by names.
std::vector<std::string> convertAll(const test::ScratchDir& sources) {
    std::vector<std::string> files;
    for (const auto& [from, name] : kSources) {
        files.push_back(sources.file(name));
    }
    std::vector<std::string> lines;
    for (const char* format : kOutputFormats) {
        for (const bool gray : {false, true}) {
            test::ScratchDir out, data;
            ConversionOptions options;
            options.format = format;
            options.grayscale = gray;
            options.quality = 80;
            options.destination = out.path().string();
            ConversionEnvironment environment;
            environment.programFolder = test::binDir().string() + "/";
            environment.dataFolder = data.path().string() + "/";
            RunReporter reporter;
            const std::optional<RunSummary> summary =
                runConversion(files, options, environment, reporter, nullptr);
            if (!summary) {
                ADD_FAILURE() << "the run did not start";
                return lines;
            }
            for (const FileOutcome& file : summary->files) {
                std::string line = std::string(format) + (gray ? " gray " : " colour ") +
                                   platform::extractFileName(file.source) + " -> ";
                if (file.error.empty()) {
                    line += platform::extractFileName(file.output) + " " +
                            sha256(stableBytes(file.output));
                } else {
                    std::string message = replaceAll(file.error, out.path().string(), "<out>");
                    message = replaceAll(message, data.path().string(), "<data>");
                    line += "failed: " + replaceAll(message, "\n", " | ");
                }
                lines.push_back(std::move(line));
            }
        }
    }
    return lines;
}

TEST(RouteDigests, EveryOutputOfEveryRouteIsPinned) {
    test::ScratchDir sources;
    for (const auto& [from, name] : kSources) {
        fs::copy_file(test::corpusDir() / from, sources.path() / name);
    }
    const std::vector<std::string> lines = convertAll(sources);
    const fs::path table = test::sourceDir() / "tests/convert/route_digests.txt";

    if (const char* write = std::getenv("IMBRIX_WRITE_ROUTE_DIGESTS"); write && *write) {
        std::ofstream file(table);
        for (const std::string& line : lines) {
            file << line << '\n';
        }
        GTEST_SKIP() << "wrote " << table;
    }

    std::ifstream file(table);
    ASSERT_TRUE(file) << "missing " << table;
    std::vector<std::string> expected;
    for (std::string line; std::getline(file, line);) {
        expected.push_back(line);
    }
    ASSERT_EQ(lines.size(), expected.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i], expected[i]);
    }
}

}  // namespace
}  // namespace imbrix::convert
