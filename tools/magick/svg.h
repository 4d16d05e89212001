// SVG in and out: librsvg renders SVG sources; SVG outputs embed the picture as PNG.
#pragma once

#include <string>
#include <string_view>

namespace imbrix::magick {

/// Renders the SVG document `svg` (plain or gzip-compressed) at its own size (CSS
/// pixels, 96 per inch) into the PNG file `pngPath`, keeping transparency, as the
/// program's own SVG decoder does: checked by the SVG guard
/// (imaging/formats/svgguard.h), read from memory without a base file, so that
/// nothing but the document itself is read. Empty string on success, otherwise
/// the reason. A picture without a size, or larger than 16384 pixels on a side
/// or 128 megapixels in all, is refused.
std::string renderSvgToPng(std::string_view svg, const std::string& pngPath);

/// Writes an SVG document to `svgPath` that shows the PNG file `pngPath` at its
/// pixel size: width, height and viewBox from the PNG header, the picture as a
/// data: URL. Empty string on success, otherwise the reason.
std::string writeSvgWithPng(const std::string& pngPath, const std::string& svgPath);

}  // namespace imbrix::magick
