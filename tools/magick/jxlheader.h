// What a JPEG XL file declares in its header, read with libjxl.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace imbrix::magick {

struct JxlHeader {
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    bool alpha = false;  ///< has an alpha channel
    bool gray = false;   ///< one colour channel
    /// The decoded pixels are plain sRGB, so that a file format without a colour
    /// profile (PPM) carries them without change.
    bool srgb = false;
};

/// The header of the JPEG XL file `path` (codestream or container), without
/// decoding any pixels; nullopt when it cannot be read (the decoder then gives
/// the reason).
std::optional<JxlHeader> readJxlHeader(const std::string& path);

}  // namespace imbrix::magick
