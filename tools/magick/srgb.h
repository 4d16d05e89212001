// The sRGB profile that pictures of other colour spaces are converted into.
#pragma once

#include <string>

namespace imbrix::magick {

/// Writes lcms2's sRGB profile to `path`. Returns the problem, empty when done.
std::string writeSrgbProfile(const std::string& path);

}  // namespace imbrix::magick
