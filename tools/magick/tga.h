// Reading TGA sources with gdk-pixbuf's TGA loader.
//
// ImageMagick 6 is not used for them where gdk-pixbuf reads them: it keeps the
// rows in their stored order and only records the origin (bottom-left in most
// files) as the picture's orientation, which an intermediate PNG does not carry;
// and it reads 16-bit gray with alpha as 5-bit colour. GraphicsMagick mirrors the
// pictures stored right to left and reads no gray with alpha. gdk-pixbuf reads
// every origin, depth and compression of its own reference set; of the layouts
// seen in real files it reads no 15-bit colour, and it swaps red and blue of
// 15- and 16-bit colour maps: those are left to ImageMagick (Unsupported).
#pragma once

#include <string>

namespace imbrix::magick {

struct TgaReading {
    enum class Result {
        Done,         ///< the output holds the picture
        Unsupported,  ///< gdk-pixbuf misreads the layout (15-bit colour, 16-bit colour map)
        Unreadable,   ///< the file is damaged or cannot be opened
        Unwritable,   ///< the output could not be written
    };
    Result result = Result::Unreadable;
    std::string message;  ///< why, unless Done
};

enum class TgaTarget {
    Pam,  ///< for ImageMagick to read on: 8-bit RGB or RGB_ALPHA
    Png,  ///< for the program to read: 8-bit RGB or RGBA, fastest compression
};

/// Reads the TGA file `tgaPath` and writes its picture, upright, to `outPath` in
/// `target`'s format; with an alpha channel only when some pixel is not opaque,
/// and not when every pixel is transparent while the file says its alpha bytes
/// carry none (no alpha bits in the header, or an extension area's attributes
/// type 0-2): writers that fill them with zeros mean an opaque picture, not an
/// invisible one. A header claiming more than 16384 pixels a side or 128
/// megapixels is refused (Unreadable) before gdk-pixbuf allocates anything.
TgaReading readTga(const std::string& tgaPath, const std::string& outPath, TgaTarget target);

}  // namespace imbrix::magick
