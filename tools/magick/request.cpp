#include "tools/magick/request.h"

#include <array>
#include <cstdint>

#include "imaging/fileformats.h"
#include "platform/files.h"

namespace imbrix::magick {

namespace {

// The front's formats and their names in the program's format table, which
// gives their extensions and coder names.
struct FormatInfo {
    OutputFormat format;
    std::string_view name;
};

constexpr std::array<FormatInfo, 12> kFormats{{
    {OutputFormat::Png, "PNG"},
    {OutputFormat::Avif, "AVIF"},
    {OutputFormat::Psd, "PSD"},
    {OutputFormat::Svg, "SVG"},
    {OutputFormat::Tga, "TGA"},
    {OutputFormat::Jxl, "JXL"},
    {OutputFormat::Jp2, "JP2"},
    {OutputFormat::Pdf, "PDF"},
    {OutputFormat::Bmp, "BMP"},
    {OutputFormat::Gif, "GIF"},
    {OutputFormat::Ico, "ICO"},
    {OutputFormat::Webp, "WEBP"},
}};

constexpr const imaging::FileFormat& tableEntry(std::string_view name) {
    const imaging::FileFormat* format = imaging::findOutputFormat(name);
    return format ? *format : imaging::kFileFormats[0];
}

static_assert(
    [] {
        for (const FormatInfo& entry : kFormats) {
            if (!imaging::findOutputFormat(entry.name) ||
                tableEntry(entry.name).converterCoder.empty()) {
                return false;
            }
        }
        return true;
    }(),
    "every format of the front is one the format table gives to the converter");

const imaging::FileFormat& info(OutputFormat format) {
    for (const auto& entry : kFormats) {
        if (entry.format == format) {
            return tableEntry(entry.name);
        }
    }
    return tableEntry(kFormats[0].name);
}

std::optional<OutputFormat> formatOfPath(const std::string& path) {
    const std::string ext = platform::asciiLower(platform::extractFileExt(path));
    for (const auto& entry : kFormats) {
        if (tableEntry(entry.name).extension == ext) {
            return entry.format;
        }
    }
    return std::nullopt;
}

// The -quality forms write these; PNG and WEBP have forms of their own.
bool isQualityFormat(OutputFormat format) {
    return format != OutputFormat::Png && format != OutputFormat::Webp;
}

std::optional<int> parseQuality(const std::string& text) {
    if (text.empty() || text.size() > 3) {
        return std::nullopt;
    }
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 100) {
        return std::nullopt;
    }
    return value;
}

bool isGray(const std::string& word) {
    return platform::asciiLower(word) == "gray";
}

std::optional<Request> decodeRequest(const std::string& in, const std::string& out, bool flatten) {
    if (formatOfPath(out) != OutputFormat::Png) {
        return std::nullopt;
    }
    Request r;
    r.mode = Mode::Decode;
    r.input = in;
    r.output = out;
    r.format = OutputFormat::Png;
    r.flatten = flatten;
    return r;
}

std::optional<Request> writeRequest(const std::string& in, const std::string& quality,
                                    const std::string& out, bool grayscale, bool strip) {
    const auto format = formatOfPath(out);
    const auto q = parseQuality(quality);
    if (!format || !isQualityFormat(*format) || !q) {
        return std::nullopt;
    }
    Request r;
    r.mode = Mode::Write;
    r.input = in;
    r.output = out;
    r.format = *format;
    r.grayscale = grayscale;
    r.stripMetadata = strip;
    r.quality = *q;
    return r;
}

std::optional<Request> animateRequest(const std::string& in, const std::string& out, bool grayscale,
                                      bool strip) {
    if (formatOfPath(out) != OutputFormat::Webp) {
        return std::nullopt;
    }
    Request r;
    r.mode = Mode::Animate;
    r.input = in;
    r.output = out;
    r.format = OutputFormat::Webp;
    r.grayscale = grayscale;
    r.stripMetadata = strip;
    return r;
}

// The words of the Write and Animate forms before OUT, after the optional
// "+profile !icc,*" pair has been taken off.
std::optional<Request> writeOrAnimateRequest(const std::vector<std::string>& a,
                                             const std::string& out, bool strip) {
    switch (a.size()) {
        case 3:
            if (a[1] == "-auto-orient" && a[2] == "-coalesce") {
                return animateRequest(a[0], out, false, strip);
            }
            break;
        case 4:
            if (a[1] == "-auto-orient" && a[2] == "-quality") {
                return writeRequest(a[0], a[3], out, false, strip);
            }
            break;
        case 5:
            if (a[0] == "-colorspace" && isGray(a[1]) && a[3] == "-auto-orient" &&
                a[4] == "-coalesce") {
                return animateRequest(a[2], out, true, strip);
            }
            break;
        case 6:
            if (a[1] == "-auto-orient" && a[2] == "-colorspace" && isGray(a[3]) &&
                a[4] == "-quality") {
                return writeRequest(a[0], a[5], out, true, strip);
            }
            break;
        default:
            break;
    }
    return std::nullopt;
}

}  // namespace

std::optional<Request> parseRequest(const std::vector<std::string>& a) {
    for (const auto& arg : a) {
        if (arg.empty()) {
            return std::nullopt;
        }
    }
    if (a.size() == 2) {
        return decodeRequest(a[0], a[1], false);
    }
    if (a.size() == 3 && a[1] == "-flatten") {
        return decodeRequest(a[0], a[2], true);
    }
    if (a.size() < 2) {
        return std::nullopt;
    }
    std::vector<std::string> words(a.begin(), a.end() - 1);
    bool strip = false;
    if (words.size() >= 2 && words[words.size() - 2] == "+profile" && words.back() == "!icc,*") {
        strip = true;
        words.resize(words.size() - 2);
    }
    return writeOrAnimateRequest(words, a.back(), strip);
}

std::string usageText() {
    return "usage: magick IN OUT.png\n"
           "       magick IN -flatten OUT.png\n"
           "       magick IN -auto-orient [-colorspace Gray] -quality N [+profile '!icc,*'] OUT\n"
           "       magick [-colorspace Gray] IN -auto-orient -coalesce [+profile '!icc,*'] "
           "OUT.webp\n"
           "  OUT of the -quality forms: .avif .psd .svg .tga .jxl .jp2 .pdf .bmp .gif .ico\n"
           "  N: 1 to 100\n"
           "  +profile '!icc,*': keep no EXIF, XMP, IPTC or comment of IN, only its colours\n";
}

std::string_view coderName(OutputFormat format) {
    return info(format).converterCoder;
}
std::string_view displayName(OutputFormat format) {
    return info(format).name;
}

bool looksLike(OutputFormat format, std::string_view head) {
    auto starts = [&](std::string_view magic) { return head.substr(0, magic.size()) == magic; };
    auto byteAt = [&](std::size_t i) {
        return i < head.size() ? static_cast<std::uint8_t>(head[i]) : std::uint8_t{0};
    };
    using namespace std::string_view_literals;
    switch (format) {
        case OutputFormat::Png:
            return starts("\x89PNG\r\n\x1a\n"sv);
        case OutputFormat::Avif: {
            // An ISO media file whose ftyp box names an AVIF brand.
            if (head.size() < 16 || head.substr(4, 4) != "ftyp") {
                return false;
            }
            const std::size_t boxSize = (std::size_t{byteAt(0)} << 24) |
                                        (std::size_t{byteAt(1)} << 16) |
                                        (std::size_t{byteAt(2)} << 8) | byteAt(3);
            const std::string_view box = head.substr(8, boxSize > 8 ? boxSize - 8 : 0);
            return box.find("avif") != std::string_view::npos ||
                   box.find("avis") != std::string_view::npos;
        }
        case OutputFormat::Psd:
            return starts("8BPS"sv);
        case OutputFormat::Svg:
            return starts("<?xml"sv) && head.find("<svg") != std::string_view::npos;
        case OutputFormat::Tga: {
            // No signature: check the header's colour map type, image type and size.
            const std::uint8_t mapType = byteAt(1);
            const std::uint8_t imageType = byteAt(2);
            const bool knownType = imageType == 1 || imageType == 2 || imageType == 3 ||
                                   imageType == 9 || imageType == 10 || imageType == 11;
            const unsigned width = byteAt(12) | (unsigned{byteAt(13)} << 8);
            const unsigned height = byteAt(14) | (unsigned{byteAt(15)} << 8);
            return head.size() >= 18 && mapType <= 1 && knownType && width > 0 && height > 0;
        }
        case OutputFormat::Jxl:
            return starts("\xff\x0a"sv) || starts("\0\0\0\x0cJXL \r\n\x87\n"sv);
        case OutputFormat::Jp2:
            return starts("\0\0\0\x0cjP  \r\n\x87\n"sv);
        case OutputFormat::Pdf:
            return starts("%PDF-"sv);
        case OutputFormat::Bmp:
            return starts("BM"sv);
        case OutputFormat::Gif:
            return starts("GIF87a"sv) || starts("GIF89a"sv);
        case OutputFormat::Ico:
            return starts("\0\0\1\0"sv) && (byteAt(4) | byteAt(5)) != 0;
        case OutputFormat::Webp:
            return starts("RIFF"sv) && head.size() >= 12 && head.substr(8, 4) == "WEBP";
    }
    return false;
}

}  // namespace imbrix::magick
