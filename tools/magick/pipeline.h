// One conversion, from the request to the finished output file.
#pragma once

#include <string>

#include "tools/magick/request.h"

namespace imbrix::magick {

/// The helper programs, at their Debian paths unless the environment names others
/// (IMBRIX_MAGICK_CONVERT, IMBRIX_MAGICK_GM, IMBRIX_MAGICK_CJXL, IMBRIX_MAGICK_DJXL,
/// IMBRIX_MAGICK_JXRDEC, IMBRIX_MAGICK_GIF2WEBP, IMBRIX_MAGICK_HEIFENC,
/// IMBRIX_MAGICK_OPJCOMPRESS, IMBRIX_MAGICK_HEIFCONVERT), and whether the front
/// writes some formats itself (IMBRIX_MAGICK_IN_PROCESS).
struct Tools {
    std::string convert = "/usr/bin/convert";           ///< ImageMagick 6
    std::string gm = "/usr/bin/gm";                     ///< GraphicsMagick: PDF
    std::string cjxl = "/usr/bin/cjxl";                 ///< JPEG XL encoder
    std::string djxl = "/usr/bin/djxl";                 ///< JPEG XL decoder
    std::string jxrDecoder = "/usr/bin/JxrDecApp";      ///< JPEG XR decoder
    std::string gif2webp = "/usr/bin/gif2webp";         ///< animated GIF to animated WEBP
    std::string heifEnc = "/usr/bin/heif-enc";          ///< AVIF encoder (keeps transparency)
    std::string opjCompress = "/usr/bin/opj_compress";  ///< JPEG 2000 encoder (OpenJPEG)
    /// HEIF and AVIF decoder, for the sources with an ICC profile (ImageMagick 6
    /// loses it).
    std::string heifConvert = "/usr/bin/heif-convert";
    /// The formats the imaging layer writes are written in process (direct.h);
    /// IMBRIX_MAGICK_IN_PROCESS=0 hands them to the helpers too (to compare the
    /// routes, and to test the helpers' route).
    bool inProcess = true;

    static Tools fromEnvironment();
};

/// How a conversion ended.
struct Outcome {
    enum class Status {
        Written,     ///< the output holds the picture
        Failed,      ///< the output could not be made
        Unreadable,  ///< the source cannot be read (damaged, unknown format, too large, ...)
    };
    Status status = Status::Written;
    /// Unless Written: one line naming the file and the problem ("cannot read
    /// /x/y.heic: ..."; always that form when Unreadable, with the source's path
    /// as the request gave it).
    std::string message;
};

/// Runs the request. The helpers' console output goes to standard output as it
/// arrives. When the result is not Written, nothing has been written under the
/// output's name.
Outcome convertFile(const Request& request, const Tools& tools);

}  // namespace imbrix::magick
