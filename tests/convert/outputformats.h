// Test helpers: does a file start the way its format says?
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace imbrix::test {

inline bool hasBytesAt(const std::vector<std::uint8_t>& bytes, std::size_t offset,
                       std::string_view magic) {
    if (bytes.size() < offset + magic.size()) {
        return false;
    }
    for (std::size_t i = 0; i < magic.size(); ++i) {
        if (bytes[offset + i] != static_cast<std::uint8_t>(magic[i])) {
            return false;
        }
    }
    return true;
}

/// True when `bytes` start like a file of the output format `format` (one of
/// the 18 names). Checks signatures only, never the whole file.
inline bool looksLike(const std::vector<std::uint8_t>& bytes, const std::string& format) {
    using namespace std::string_view_literals;
    if (format == "PNG") {
        return hasBytesAt(bytes, 0, "\x89PNG\r\n\x1a\n"sv);
    }
    if (format == "WEBP") {
        return hasBytesAt(bytes, 0, "RIFF"sv) && hasBytesAt(bytes, 8, "WEBP"sv);
    }
    if (format == "JPG" || format == "JPEG" || format == "JFIF") {
        return hasBytesAt(bytes, 0, "\xFF\xD8\xFF"sv);
    }
    if (format == "TIF" || format == "TIFF") {
        return hasBytesAt(bytes, 0, "II*\0"sv) || hasBytesAt(bytes, 0, "MM\0*"sv);
    }
    if (format == "GIF") {
        return hasBytesAt(bytes, 0, "GIF87a"sv) || hasBytesAt(bytes, 0, "GIF89a"sv);
    }
    if (format == "BMP") {
        return hasBytesAt(bytes, 0, "BM"sv);
    }
    if (format == "ICO") {
        return hasBytesAt(bytes, 0, "\0\0\1\0"sv);
    }
    if (format == "WMP") {
        return hasBytesAt(bytes, 0, "II\xBC"sv);
    }
    if (format == "AVIF") {
        return hasBytesAt(bytes, 4, "ftypavif"sv) || hasBytesAt(bytes, 4, "ftypavis"sv);
    }
    if (format == "PSD") {
        return hasBytesAt(bytes, 0, "8BPS"sv);
    }
    if (format == "SVG") {
        const std::string head(bytes.begin(),
                               bytes.begin() + std::min<std::size_t>(bytes.size(), 512));
        return head.find("<svg") != std::string::npos;
    }
    if (format == "TGA") {
        // No signature: a plausible header (colour map type, image type, sizes).
        return bytes.size() > 18 && bytes[1] <= 1 &&
               (bytes[2] == 1 || bytes[2] == 2 || bytes[2] == 3 || bytes[2] == 9 ||
                bytes[2] == 10 || bytes[2] == 11) &&
               (bytes[12] | bytes[13]) != 0 && (bytes[14] | bytes[15]) != 0;
    }
    if (format == "JXL") {
        return hasBytesAt(bytes, 0, "\xFF\x0A"sv) ||
               hasBytesAt(bytes, 0, "\0\0\0\x0CJXL \r\n\x87\n"sv);
    }
    if (format == "JP2") {
        return hasBytesAt(bytes, 0, "\0\0\0\x0CjP  \r\n\x87\n"sv) ||
               hasBytesAt(bytes, 0, "\xFF\x4F\xFF\x51"sv);
    }
    if (format == "PDF") {
        return hasBytesAt(bytes, 0, "%PDF-"sv);
    }
    return false;
}

}  // namespace imbrix::test
