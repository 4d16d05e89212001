// Recognising a source by its content, to pick the tool that reads it and to
// tell ImageMagick which coder to use: a file is always read as the format its
// bytes are, never as whatever its name or a reader's guess says.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <string_view>

namespace imbrix::magick {

enum class SourceKind {
    Unknown,  ///< no format the front reads: the source is refused
    JpegXl,   ///< read with djxl (ImageMagick 6 has no JPEG XL coder)
    Svg,      ///< rendered with librsvg (ImageMagick 6 here has no SVG coder)
    JpegXr,   ///< read with JxrDecApp (Windows Media Photo, ".wmp")
    Jpeg,     ///< the rest are read by ImageMagick (or GraphicsMagick)
    Png,
    Gif,  ///< animations go to gif2webp (ImageMagick 6 writes broken animated WEBP)
    Bmp,
    Ico,
    Tiff,
    Webp,
    Psd,
    Jp2,  ///< JPEG 2000 file format (boxes)
    J2k,  ///< JPEG 2000 codestream
    Heic,
    Avif,
    Tga,  ///< no signature: a ".tga" file whose header is sound; read with gdk-pixbuf (see tga.h)
};

/// The bytes at the start of a source that classifySource() and headerSize() look at.
inline constexpr std::size_t kHeadSize = 64 * 1024;

/// Kind of a source from its first bytes (`head`, up to kHeadSize). `extension`
/// (lower case, with its dot) only decides for TGA, which has no signature, and
/// for an XML or gzip file named ".svg" or ".svgz" whose start says nothing else
/// (the SVG reader then gives the reason when it is not one).
SourceKind classifySource(std::string_view head, std::string_view extension);

/// ImageMagick's coder name for a kind it reads ("png", "psd"); empty for the
/// kinds other tools read first (JPEG XL, SVG, JPEG XR, TGA) and for Unknown.
std::string_view magickCoder(SourceKind kind);

/// A name for messages ("PSD").
std::string_view kindName(SourceKind kind);

struct PictureSize {
    std::uint64_t width = 0;
    std::uint64_t height = 0;
};

/// The picture size the header in `head` claims, when it is there to read (the
/// largest one for the kinds that hold several); nullopt otherwise.
std::optional<PictureSize> headerSize(SourceKind kind, std::string_view head);

/// True when an HEIF or AVIF file's header in `head` has a colour property
/// ("colr") that holds an ICC profile, which ImageMagick 6 does not read.
bool heifHasIccProfile(std::string_view head);

/// True when the JPEG whose first bytes are `head` stores CMYK (or YCCK) and
/// carries no ICC profile before its frame header: ImageMagick would turn its
/// inks into RGB by the plain formula. False for anything else, and when the
/// frame header lies beyond `head`.
bool jpegIsCmykWithoutProfile(std::string_view head);

/// The number of frames (image descriptors) of the GIF in `in`, walked block by
/// block without decoding; stops counting at `cap` + 1. nullopt when the stream
/// is not a GIF or ends before its first frame.
std::optional<std::uint64_t> countGifFrames(std::istream& in, std::uint64_t cap);

}  // namespace imbrix::magick
