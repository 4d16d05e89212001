// The picture size a JPEG XL file declares, read from its header with libjxl.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace imbrix::magick {

struct PictureSize {
    std::uint64_t width = 0;
    std::uint64_t height = 0;
};

/// The size in the header of the JPEG XL file `path` (codestream or container),
/// without decoding any pixels; nullopt when the header cannot be read (the
/// decoder then gives the reason).
std::optional<PictureSize> jxlPictureSize(const std::string& path);

}  // namespace imbrix::magick
