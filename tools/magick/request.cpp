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
                                    const std::string& out, const imaging::ResizeOptions& resize,
                                    bool grayscale, bool strip) {
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
    r.resize = resize;
    r.grayscale = grayscale;
    r.stripMetadata = strip;
    r.quality = *q;
    return r;
}

std::optional<Request> animateRequest(const std::string& in, const std::string& out,
                                      const imaging::ResizeOptions& resize, bool grayscale,
                                      bool strip) {
    if (formatOfPath(out) != OutputFormat::Webp) {
        return std::nullopt;
    }
    Request r;
    r.mode = Mode::Animate;
    r.input = in;
    r.output = out;
    r.format = OutputFormat::Webp;
    r.resize = resize;
    r.grayscale = grayscale;
    r.stripMetadata = strip;
    return r;
}

// Walks the words of the Write and Animate forms one option at a time.
class Words {
public:
    explicit Words(const std::vector<std::string>& words) : words_(words) {}

    bool done() const { return at_ == words_.size(); }

    // Takes the next word when it is `word`.
    bool take(std::string_view word) {
        if (at_ < words_.size() && words_[at_] == word) {
            ++at_;
            return true;
        }
        return false;
    }

    // Takes the next word, whatever it is (the source's path, a value).
    std::optional<std::string> next() {
        if (at_ == words_.size()) {
            return std::nullopt;
        }
        return words_[at_++];
    }

    // "-colorspace Gray" when it comes next: true when taken; nullopt when
    // "-colorspace" comes with another value.
    std::optional<bool> takeGray() {
        if (!take("-colorspace")) {
            return false;
        }
        const auto value = next();
        if (!value || !isGray(*value)) {
            return std::nullopt;
        }
        return true;
    }

    // "-resize G" when it comes next: mode None when it does not; nullopt when
    // G is no geometry the program writes.
    std::optional<imaging::ResizeOptions> takeResize() {
        if (!take("-resize")) {
            return imaging::ResizeOptions{};
        }
        const auto value = next();
        if (!value) {
            return std::nullopt;
        }
        return imaging::parseResizeGeometry(*value);
    }

private:
    const std::vector<std::string>& words_;
    std::size_t at_ = 0;
};

// IN -auto-orient [-resize G] [-colorspace Gray] -quality N
std::optional<Request> parseWrite(const std::vector<std::string>& a, const std::string& out,
                                  bool strip) {
    Words words(a);
    const auto in = words.next();
    if (!in || !words.take("-auto-orient")) {
        return std::nullopt;
    }
    const auto resize = words.takeResize();
    const auto gray = words.takeGray();
    if (!resize || !gray || !words.take("-quality")) {
        return std::nullopt;
    }
    const auto quality = words.next();
    if (!quality || !words.done()) {
        return std::nullopt;
    }
    return writeRequest(*in, *quality, out, *resize, *gray, strip);
}

// [-colorspace Gray] IN -auto-orient -coalesce [-resize G]
std::optional<Request> parseAnimate(const std::vector<std::string>& a, const std::string& out,
                                    bool strip) {
    Words words(a);
    const auto gray = words.takeGray();
    if (!gray) {
        return std::nullopt;
    }
    const auto in = words.next();
    if (!in || !words.take("-auto-orient") || !words.take("-coalesce")) {
        return std::nullopt;
    }
    const auto resize = words.takeResize();
    if (!resize || !words.done()) {
        return std::nullopt;
    }
    return animateRequest(*in, out, *resize, *gray, strip);
}

// The words of the Write and Animate forms before OUT, after the optional
// "+profile !icc,*" pair has been taken off.
std::optional<Request> writeOrAnimateRequest(const std::vector<std::string>& a,
                                             const std::string& out, bool strip) {
    if (auto request = parseWrite(a, out, strip)) {
        return request;
    }
    return parseAnimate(a, out, strip);
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
           "       magick IN -auto-orient [-resize G] [-colorspace Gray] -quality N "
           "[+profile '!icc,*'] OUT\n"
           "       magick [-colorspace Gray] IN -auto-orient -coalesce [-resize G] "
           "[+profile '!icc,*'] OUT.webp\n"
           "  OUT of the -quality forms: .avif .psd .svg .tga .jxl .jp2 .pdf .bmp .gif .ico\n"
           "  N: 1 to 100\n"
           "  G: WxH (fit inside W x H) or P% (P percent), each with a trailing '>' to shrink\n"
           "     only; W and H 1 to 65535, P 1 to 1000\n"
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
