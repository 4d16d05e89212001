// Imbrix imaging layer: what the program knows about each file format, in one table.
//
// Every part that needs to know a format asks this table: the engine (which route
// writes an output, which decoder reads a source), the decoders' registry, the
// image list's extension test and file dialog, the options page (the format box,
// whether the quality box applies) and the converter front (its coder names).
// Header only, so that the front and the window code read it without linking
// the codecs.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace imbrix::imaging {

/// Formats that decode by content recognises from a file's first bytes.
enum class ContentFormat { Unknown, Png, Jpeg, Gif, Bmp, Ico, Webp };

/// How a source file of a format is read.
enum class SourceDecoder {
    None,       ///< not a source format
    Bmp,        ///< our own reader
    Ico,        ///< our own reader (the largest image)
    Tiff,       ///< libtiff
    Jpeg,       ///< libjpeg-turbo
    Png,        ///< libpng
    Gif,        ///< giflib
    Svg,        ///< librsvg
    Webp,       ///< libwebp
    JpegXr,     ///< jxrlib
    Converter,  ///< the external converter renders it as PNG first
};

/// How an output file of a format is written.
enum class OutputRoute {
    None,       ///< not an output format
    Png,        ///< our PNG encoder
    Jpeg,       ///< our JPEG encoder
    Webp,       ///< our WEBP encoder (the converter for animated GIF sources)
    Tiff,       ///< our TIFF encoder
    JpegXr,     ///< our JPEG XR encoder
    Converter,  ///< the external converter
};

/// How much of a picture's transparency an output keeps.
enum class Transparency { None, OnOff, Full };

struct FileFormat {
    std::string_view name;       ///< upper case: the format box's item ("PNG", "JPG")
    std::string_view extension;  ///< lower case, with its dot: ".png"
    SourceDecoder decoder;
    /// The picture loaders (decode.h) register this extension: every source our
    /// own decoders read, except ".jfif", which the engine hands to the JPEG loader.
    bool pictureLoader;
    /// The format decode by content finds in a source of this extension; Unknown
    /// for the sources whose PNG, JPEG and WEBP outputs are drawn from the raster.
    ContentFormat content;
    /// The converter flattens the layers of such a source when it renders it.
    bool flattenOnDecode;
    OutputRoute route;
    bool quality;  ///< the options page offers the quality box for this output
    Transparency transparency;
    /// The converter's name for the format ("avif") when the converter writes it:
    /// its outputs, PNG (the sources it renders) and WEBP (animations); else empty.
    std::string_view converterCoder;

    constexpr bool isSource() const { return decoder != SourceDecoder::None; }
    constexpr bool isOutput() const { return route != OutputRoute::None; }
};

/// Every format, the 18 outputs first in the format box's order.
inline constexpr std::array<FileFormat, 19> kFileFormats{{
    // name, extension, decoder, picture loader, content, flatten, route, quality,
    // transparency, the converter's coder
    {"PNG", ".png", SourceDecoder::Png, true, ContentFormat::Png, false, OutputRoute::Png, false,
     Transparency::Full, "png"},
    {"WEBP", ".webp", SourceDecoder::Webp, true, ContentFormat::Webp, false, OutputRoute::Webp,
     true, Transparency::Full, "webp"},
    {"JPG", ".jpg", SourceDecoder::Jpeg, true, ContentFormat::Jpeg, false, OutputRoute::Jpeg, true,
     Transparency::None, ""},
    {"JPEG", ".jpeg", SourceDecoder::Jpeg, true, ContentFormat::Jpeg, false, OutputRoute::Jpeg,
     true, Transparency::None, ""},
    {"JFIF", ".jfif", SourceDecoder::Jpeg, false, ContentFormat::Jpeg, false, OutputRoute::Jpeg,
     true, Transparency::None, ""},
    {"TIF", ".tif", SourceDecoder::Tiff, true, ContentFormat::Unknown, false, OutputRoute::Tiff,
     false, Transparency::None, ""},
    {"TIFF", ".tiff", SourceDecoder::Tiff, true, ContentFormat::Unknown, false, OutputRoute::Tiff,
     false, Transparency::None, ""},
    {"GIF", ".gif", SourceDecoder::Gif, true, ContentFormat::Gif, false, OutputRoute::Converter,
     false, Transparency::OnOff, "gif"},
    {"BMP", ".bmp", SourceDecoder::Bmp, true, ContentFormat::Bmp, false, OutputRoute::Converter,
     false, Transparency::Full, "bmp"},
    {"ICO", ".ico", SourceDecoder::Ico, true, ContentFormat::Ico, false, OutputRoute::Converter,
     false, Transparency::Full, "ico"},
    {"WMP", ".wmp", SourceDecoder::JpegXr, true, ContentFormat::Unknown, false, OutputRoute::JpegXr,
     false, Transparency::None, ""},
    {"AVIF", ".avif", SourceDecoder::Converter, false, ContentFormat::Unknown, false,
     OutputRoute::Converter, true, Transparency::Full, "avif"},
    {"PSD", ".psd", SourceDecoder::Converter, false, ContentFormat::Unknown, true,
     OutputRoute::Converter, false, Transparency::Full, "psd"},
    {"SVG", ".svg", SourceDecoder::Svg, true, ContentFormat::Unknown, false, OutputRoute::Converter,
     false, Transparency::Full, "svg"},
    {"TGA", ".tga", SourceDecoder::Converter, false, ContentFormat::Unknown, false,
     OutputRoute::Converter, false, Transparency::Full, "tga"},
    {"JXL", ".jxl", SourceDecoder::Converter, false, ContentFormat::Unknown, false,
     OutputRoute::Converter, false, Transparency::Full, "jxl"},
    {"JP2", ".jp2", SourceDecoder::Converter, false, ContentFormat::Unknown, false,
     OutputRoute::Converter, false, Transparency::Full, "jp2"},
    // PDF pages show the picture on white.
    {"PDF", ".pdf", SourceDecoder::None, false, ContentFormat::Unknown, false,
     OutputRoute::Converter, false, Transparency::None, "pdf"},
    // A source only.
    {"HEIC", ".heic", SourceDecoder::Converter, false, ContentFormat::Unknown, false,
     OutputRoute::None, false, Transparency::None, ""},
}};

/// The number of output formats (the format box's items).
inline constexpr std::size_t kOutputFormatCount = 18;

static_assert(
    [] {
        for (std::size_t i = 0; i < kFileFormats.size(); ++i) {
            if ((i < kOutputFormatCount) != kFileFormats[i].isOutput()) {
                return false;
            }
        }
        return true;
    }(),
    "the outputs come first in the format table");

/// The quality a run uses when none is given (the settings file's default too).
inline constexpr int kDefaultQuality = 100;

namespace detail {
constexpr char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
constexpr bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}
}  // namespace detail

/// The output format named `name` (exact, upper case, as in the format box), or null.
constexpr const FileFormat* findOutputFormat(std::string_view name) {
    for (const FileFormat& format : kFileFormats) {
        if (format.isOutput() && format.name == name) {
            return &format;
        }
    }
    return nullptr;
}

/// The format of a file extension (with or without its dot, any letter case), or null.
constexpr const FileFormat* findFormatByExtension(std::string_view extension) {
    if (!extension.empty() && extension.front() == '.') {
        extension.remove_prefix(1);
    }
    for (const FileFormat& format : kFileFormats) {
        if (detail::equalsIgnoringCase(format.extension.substr(1), extension)) {
            return &format;
        }
    }
    return nullptr;
}

/// The source format of a file extension (with or without its dot, any letter case), or null.
constexpr const FileFormat* findSourceFormat(std::string_view extension) {
    const FileFormat* format = findFormatByExtension(extension);
    return format && format->isSource() ? format : nullptr;
}

}  // namespace imbrix::imaging
