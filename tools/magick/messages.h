// Reading the helper programs' console output: which line says what went wrong,
// and whether it is about the input.
#pragma once

#include <string>
#include <vector>

namespace imbrix::magick {

/// Replaces every `from` in `text` with `to`.
void replaceAll(std::string& text, const std::string& from, const std::string& to);

/// The non-empty lines of a helper's output, ImageMagick's indented continuation
/// lines joined to the line before them.
std::vector<std::string> nonEmptyLines(const std::string& text);

/// The line of a helper's output that best says what went wrong: ImageMagick's and
/// GraphicsMagick's first error that is not the closing "no images defined",
/// OpenJPEG's first "[ERROR]" line, libjxl's failed check, otherwise the last
/// line printed.
std::string problemLine(const std::string& output);

/// True when ImageMagick or GraphicsMagick read no picture at all.
bool readNothing(const std::string& output);

/// True when a message in `output` other than a warning names the file `name`,
/// or nothing was read: a problem with the input.
bool blamesInput(const std::string& output, const std::string& name);

/// A problem line without the tool's name and ImageMagick's source location:
/// "convert-im6.q16: improper image header `x' @ error/heic.c/ReadHEICImage/226."
/// becomes "improper image header `x'".
std::string tidy(std::string line);

}  // namespace imbrix::magick
