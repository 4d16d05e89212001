// Recognising a source by its first bytes, to pick the tool that reads it.
#pragma once

#include <string>
#include <string_view>

namespace imbrix::magick {

enum class SourceKind {
    JpegXl,  ///< read with djxl (ImageMagick 6 has no JPEG XL coder)
    Svg,     ///< rendered with librsvg (ImageMagick 6 here has no SVG coder)
    JpegXr,  ///< read with JxrDecApp (Windows Media Photo, ".wmp")
    Jpeg,    ///< read by ImageMagick or GraphicsMagick
    Png,     ///< read by ImageMagick or GraphicsMagick
    Gif,     ///< animations go to gif2webp (ImageMagick 6 writes broken animated WEBP)
    Tga,     ///< ".tga" without another signature: read with gdk-pixbuf (see tga.h)
    Other,   ///< left to ImageMagick, which recognises it by content or extension
};

/// Kind of a source from its first bytes (`head`); `extension` (lower case, with
/// its dot) only decides when the content has no signature we know.
SourceKind classifySource(std::string_view head, std::string_view extension);

}  // namespace imbrix::magick
