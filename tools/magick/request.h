// The converter's command lines and the formats it writes.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "imaging/resize.h"

namespace imbrix::magick {

enum class OutputFormat { Png, Avif, Psd, Svg, Tga, Jxl, Jp2, Pdf, Bmp, Gif, Ico, Webp };

enum class Mode {
    Decode,  ///< IN OUT, IN -flatten OUT: a source the program cannot read, into a PNG
    /// IN -auto-orient [-resize G] [-colorspace Gray] -quality N [+profile !icc,*] OUT
    Write,
    /// [-colorspace Gray] IN -auto-orient -coalesce [-resize G] [+profile !icc,*] OUT:
    /// every frame into a WEBP
    Animate,
};

struct Request {
    Mode mode = Mode::Decode;
    std::string input;
    std::string output;
    OutputFormat format = OutputFormat::Png;
    bool flatten = false;
    /// "-resize G" (Write and Animate): the upright picture, every frame of an
    /// animation, gets the size imaging::resizeTarget() gives for its full upright
    /// size. Mode None without it.
    imaging::ResizeOptions resize;
    bool grayscale = false;
    /// "+profile !icc,*": the output keeps no EXIF, XMP, IPTC or comment of the
    /// source (its colour profile is still carried or converted).
    bool stripMetadata = false;
    int quality = 0;  ///< 1..100 in Mode::Write, 0 otherwise
};

/// The argument vectors the converter accepts (without the program name):
///   IN OUT.png                                   IN -flatten OUT.png
///   IN -auto-orient -quality N OUT               IN -auto-orient -colorspace Gray -quality N OUT
///   IN -auto-orient -coalesce OUT.webp           -colorspace Gray IN -auto-orient -coalesce
///   OUT.webp
/// and the forms with -quality or -coalesce with `-resize G` right after -auto-orient
/// (-quality forms) or -coalesce, and with the two words `+profile !icc,*` right
/// before OUT (ImageMagick's meaning: remove every profile but the colour one),
/// where OUT of the -quality forms ends in .avif .psd .svg .tga .jxl .jp2 .pdf .bmp .gif or
/// .ico (any letter case), N is 1..100 in decimal and G a geometry that
/// imaging::parseResizeGeometry() reads. Anything else gives nullopt.
std::optional<Request> parseRequest(const std::vector<std::string>& args);

/// The usage text printed for any other argument vector.
std::string usageText();

/// Lower-case name of the format as ImageMagick names its coder ("avif", "jp2", ...).
std::string_view coderName(OutputFormat format);
/// Upper-case name for messages ("AVIF").
std::string_view displayName(OutputFormat format);

/// True when `head` (the first bytes of a finished file) is data of `format`.
/// Guards against a back end that exits successfully but writes another format
/// (ImageMagick 6 writes PNG bytes for an unknown ".jxl") or a stub.
bool looksLike(OutputFormat format, std::string_view head);

}  // namespace imbrix::magick
