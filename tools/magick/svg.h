// SVG in and out: librsvg renders SVG sources; SVG outputs embed the picture as PNG.
#pragma once

#include <string>

namespace imbrix::magick {

/// Renders the SVG file `svgPath` at its own size (CSS pixels, 96 per inch) into
/// the PNG file `pngPath`, keeping transparency. Empty string on success,
/// otherwise the reason. A picture without a size, or larger than 16384 pixels
/// on a side or 128 megapixels in all, is refused.
std::string renderSvgToPng(const std::string& svgPath, const std::string& pngPath);

/// Writes an SVG document to `svgPath` that shows the PNG file `pngPath` at its
/// pixel size: width, height and viewBox from the PNG header, the picture as a
/// data: URL. Empty string on success, otherwise the reason.
std::string writeSvgWithPng(const std::string& pngPath, const std::string& svgPath);

}  // namespace imbrix::magick
