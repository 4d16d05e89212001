// What a JPEG XL file declares in its header, read with libjxl.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

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

/// The header of the JPEG XL data that `read` hands out in order (it fills up
/// to n bytes and returns how many; 0 at the end), codestream or container,
/// without decoding any pixels; nullopt when it cannot be read (the decoder
/// then gives the reason).
std::optional<JxlHeader> readJxlHeader(
    const std::function<std::size_t(std::uint8_t*, std::size_t)>& read);

/// readJxlHeader() of the open file `fd`, from its start (pread: the file
/// position stays).
std::optional<JxlHeader> readJxlHeaderOfFile(int fd);

/// readJxlHeader() of bytes in memory.
std::optional<JxlHeader> readJxlHeaderOfData(std::string_view data);

}  // namespace imbrix::magick
