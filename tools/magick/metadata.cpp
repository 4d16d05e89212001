#include "tools/magick/metadata.h"

#include <zlib.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string_view>
#include <vector>

#include "imaging/metadata.h"

namespace imbrix::magick {

namespace {

using namespace std::string_view_literals;

void putBigEndian32(std::string& to, std::uint64_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        to.push_back(static_cast<char>((value >> shift) & 0xff));
    }
}

std::uint32_t bigEndian32(std::string_view bytes) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value = value << 8 | static_cast<unsigned char>(bytes[i]);
    }
    return value;
}

std::string pngChunk(std::string_view type, std::string_view data) {
    std::string chunk;
    putBigEndian32(chunk, data.size());
    chunk.append(type);
    chunk.append(data);
    uLong crc = crc32(0, Z_NULL, 0);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(chunk.data() + 4),
                static_cast<uInt>(chunk.size() - 4));
    putBigEndian32(chunk, crc);
    return chunk;
}

std::string box(std::string_view type, std::string_view data) {
    std::string b;
    putBigEndian32(b, data.size() + 8);
    b.append(type);
    b.append(data);
    return b;
}

bool readWhole(const std::string& path, std::string& data) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    data = bytes.str();
    return static_cast<bool>(in);
}

bool writeWhole(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.close();
    return static_cast<bool>(out);
}

// The largest box or chunk written: PNG chunks are limited to 2^31 - 1 bytes,
// and no real EXIF or XMP comes near this.
constexpr std::size_t kMaxBlock = 64u * 1024 * 1024;

}  // namespace

CarriedMetadata readCarriedMetadata(const std::string& path, std::string& problem,
                                    std::uint32_t width, std::uint32_t height) {
    // The program's own reader: the same tags dropped, Orientation 1, no
    // thumbnail; the sizes of a resized output.
    imaging::Metadata source;
    imaging::metadata::readFile(path, source);
    const std::vector<std::uint8_t> exif =
        imaging::metadata::exifForOutput(source.exif, width, height);
    const std::vector<std::uint8_t> xmp =
        imaging::metadata::xmpForOutput(source.xmp, width, height);
    CarriedMetadata metadata;
    metadata.exif.assign(exif.begin(), exif.end());
    metadata.xmp.assign(xmp.begin(), xmp.end());
    if (metadata.exif.size() > kMaxBlock || metadata.xmp.size() > kMaxBlock) {
        problem = "the metadata is too large";
        return {};
    }
    return metadata;
}

std::string replacePngMetadata(const std::string& path, const CarriedMetadata& metadata) {
    std::string png;
    if (!readWhole(path, png)) {
        return "cannot read the intermediate PNG file";
    }
    // The signature, then IHDR: 4 bytes of length, 4 of type, 13 of data, 4 of CRC.
    constexpr std::size_t kAfterHeader = 8 + 4 + 4 + 13 + 4;
    if (png.size() < kAfterHeader || png.compare(0, 8, "\x89PNG\r\n\x1a\n"sv) != 0 ||
        png.compare(12, 4, "IHDR") != 0 || bigEndian32(std::string_view(png).substr(8)) != 13) {
        return "the intermediate file is not a PNG file";
    }
    std::string result = png.substr(0, kAfterHeader);
    if (!metadata.exif.empty()) {
        result += pngChunk("eXIf", metadata.exif);
    }
    if (!metadata.xmp.empty()) {
        // Keyword, no compression (flag and method 0), no language, no translated keyword.
        std::string text("XML:com.adobe.xmp\0\0\0\0\0"sv);
        text += metadata.xmp;
        result += pngChunk("iTXt", text);
    }
    for (std::size_t at = kAfterHeader; at < png.size();) {
        if (png.size() - at < 12) {
            return "the intermediate PNG file is truncated";
        }
        const std::uint64_t length = bigEndian32(std::string_view(png).substr(at));
        if (length > png.size() - at - 12) {
            return "the intermediate PNG file is truncated";
        }
        const std::string_view type = std::string_view(png).substr(at + 4, 4);
        const std::size_t size = static_cast<std::size_t>(length) + 12;
        if (type != "tEXt" && type != "zTXt" && type != "iTXt" && type != "eXIf") {
            result.append(png, at, size);
        }
        at += size;
    }
    if (!writeWhole(path, result)) {
        return "cannot write the intermediate PNG file";
    }
    return {};
}

std::string addPsdMetadata(const std::string& path, const CarriedMetadata& metadata) {
    if (metadata.empty()) {
        return {};
    }
    // The 26-byte header, the colour mode data and the image resources, each of
    // the two with a 4-byte length first; only these are read into memory, the
    // image data is copied over as it is.
    constexpr std::size_t kHeaderSize = 26;
    std::ifstream in(path, std::ios::binary);
    std::string head(kHeaderSize + 4, '\0');
    if (!in.read(head.data(), static_cast<std::streamsize>(head.size())) ||
        head.compare(0, 4, "8BPS") != 0) {
        return "the PSD file has an unknown layout";
    }
    const auto readMore = [&in, &head](std::size_t count) {
        const std::size_t had = head.size();
        head.resize(had + count);
        return static_cast<bool>(in.read(head.data() + had, static_cast<std::streamsize>(count)));
    };
    const std::size_t modeLength = bigEndian32(std::string_view(head).substr(kHeaderSize));
    if (modeLength > kMaxBlock || !readMore(modeLength + 4)) {
        return "the PSD file is truncated";
    }
    const std::size_t resourcesAt = kHeaderSize + 4 + modeLength;
    const std::size_t resourcesLength = bigEndian32(std::string_view(head).substr(resourcesAt));
    if (resourcesLength > kMaxBlock || !readMore(resourcesLength)) {
        return "the PSD file is truncated";
    }
    // The resources it has: "8BIM", the number, a padded Pascal name, a 4-byte
    // length and the data, padded to an even length.
    bool hasExif = false;
    bool hasXmp = false;
    const std::string_view resources = std::string_view(head).substr(resourcesAt + 4);
    for (std::size_t at = 0; at + 12 <= resources.size();) {
        const unsigned id = static_cast<unsigned>(static_cast<unsigned char>(resources[at + 4]))
                                << 8 |
                            static_cast<unsigned char>(resources[at + 5]);
        const std::size_t nameSize = (static_cast<unsigned char>(resources[at + 6]) + 2u) & ~1u;
        if (at + 6 + nameSize + 4 > resources.size()) {
            break;
        }
        const std::size_t dataSize = bigEndian32(resources.substr(at + 6 + nameSize));
        hasExif = hasExif || id == 1058;
        hasXmp = hasXmp || id == 1060;
        at += 6 + nameSize + 4 + ((dataSize + 1) & ~std::size_t{1});
    }
    std::string added;
    const auto addResource = [&added](unsigned id, const std::string& data) {
        added += "8BIM";
        added.push_back(static_cast<char>(id >> 8));
        added.push_back(static_cast<char>(id & 0xff));
        added.append(2, '\0');  // no name
        putBigEndian32(added, data.size());
        added += data;
        if (data.size() % 2 != 0) {
            added.push_back('\0');
        }
    };
    if (!hasExif && !metadata.exif.empty()) {
        addResource(1058, metadata.exif);
    }
    if (!hasXmp && !metadata.xmp.empty()) {
        addResource(1060, metadata.xmp);
    }
    if (added.empty()) {
        return {};
    }
    const std::string written = path + ".metadata";
    std::ofstream out(written, std::ios::binary | std::ios::trunc);
    std::string lead = head.substr(0, resourcesAt);
    putBigEndian32(lead, resourcesLength + added.size());
    out << lead << resources << added;
    if (in.peek() != std::ifstream::traits_type::eof()) {
        out << in.rdbuf();
    }
    out.close();
    if (!out || std::rename(written.c_str(), path.c_str()) != 0) {
        std::remove(written.c_str());
        return "cannot write the PSD file";
    }
    return {};
}

std::string addJxlMetadata(const std::string& path, const CarriedMetadata& metadata) {
    if (metadata.empty()) {
        return {};
    }
    std::string jxl;
    if (!readWhole(path, jxl)) {
        return "cannot read the JPEG XL file";
    }
    constexpr std::string_view kSignature("\0\0\0\x0cJXL \r\n\x87\n", 12);
    std::string boxes;
    if (!metadata.exif.empty()) {
        // The offset of the TIFF header within the box's data, then the TIFF data.
        boxes += box("Exif", std::string("\0\0\0\0"sv) + metadata.exif);
    }
    if (!metadata.xmp.empty()) {
        boxes += box("xml ", metadata.xmp);
    }
    std::string result;
    if (jxl.compare(0, 2, "\xff\x0a"sv) == 0) {
        // A bare codestream: the signature, the file type, the metadata, then the
        // codestream in a box of its own.
        result.append(kSignature);
        result += box("ftyp", "jxl \0\0\0\0jxl "sv);
        result += boxes;
        result += box("jxlc", jxl);
    } else {
        // The container: the metadata goes after the signature, the file type and
        // the level box (which must come early), before the codestream.
        if (jxl.compare(0, kSignature.size(), kSignature) != 0) {
            return "the JPEG XL file has an unknown layout";
        }
        std::size_t at = kSignature.size();
        for (const std::string_view early : {"ftyp"sv, "jxll"sv}) {
            if (jxl.size() >= at + 8 && jxl.compare(at + 4, 4, early) == 0) {
                const std::uint32_t size = bigEndian32(std::string_view(jxl).substr(at));
                if (size < 8 || size > jxl.size() - at) {
                    return "the JPEG XL file has an unknown layout";
                }
                at += size;
            }
        }
        result = jxl.substr(0, at) + boxes + jxl.substr(at);
    }
    if (!writeWhole(path, result)) {
        return "cannot write the JPEG XL file";
    }
    return {};
}

}  // namespace imbrix::magick
