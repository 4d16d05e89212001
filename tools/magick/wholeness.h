// Whether a finished output file is whole: its structure checked against what
// its own headers and lengths say, without decoding any pixels. A writer that
// ends early, or writes less than its header promises (ImageMagick 6 wrote TGA
// headers of 24 bits over 16-bit pixel data), is caught here.
#pragma once

#include <string>
#include <string_view>

#include "tools/magick/request.h"

namespace imbrix::magick {

/// Empty when `data` is a whole file of `format` as far as its structure tells;
/// otherwise what is missing or wrong ("the pixel data ends after 4608 of 6912
/// bytes"). Checked per format:
///   PNG   the chunks, each complete, from IHDR to IEND, with image data
///   TGA   the header, colour map and pixel data (run-length packets walked)
///   BMP   the header and the pixel rows (run-length data walked to its end mark)
///   GIF   the blocks and their sub-blocks, up to the trailer, with a picture
///   ICO   the directory, each picture inside the file and complete (PNG or bitmap)
///   WEBP  the RIFF size and its chunks, with a picture
///   AVIF  the boxes, each complete, with ftyp, meta and mdat
///   JXL   the container's boxes, each complete (a bare codestream has no lengths to check)
///   JP2   the boxes, each complete, and the codestream from SOC to EOC
///   PSD   the sections and the image data (run-length row sizes summed)
///   PDF   the end mark and the cross-reference offset
///   SVG   the closing tag
std::string findDamage(OutputFormat format, std::string_view data);

/// findDamage() on the file at `path`, read whole into memory.
std::string findDamageInFile(OutputFormat format, const std::string& path);

}  // namespace imbrix::magick
