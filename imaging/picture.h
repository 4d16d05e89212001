// Imbrix imaging layer: a picture, its pixels with what the file said about them.
#pragma once

#include <cstdint>
#include <vector>

#include "imaging/fileformats.h"
#include "imaging/raster.h"

namespace imbrix::imaging {

/// What a source file carries besides its pixels. Empty where a decoder does not
/// read it (yet); an encoder that has room for it writes what is there.
struct Metadata {
    std::vector<std::uint8_t> icc;   ///< the colour profile (ICC); empty: sRGB
    std::vector<std::uint8_t> exif;  ///< the EXIF block (TIFF header onwards)
    std::vector<std::uint8_t> xmp;   ///< the XMP packet
    int bitDepth = 8;                ///< bits per sample of the source
    /// The format decode by content recognised when it drew these pixels;
    /// Unknown when another decoder did.
    ContentFormat decodedByContent = ContentFormat::Unknown;
};

/// The unit every stage and encoder works on. Move-only, as its raster.
struct Picture {
    Raster pixels;
    Metadata meta;
};

/// What an encoder is asked for besides the picture.
struct EncodeOptions {
    int quality = kDefaultQuality;  ///< 1..100, for the formats that take one
};

}  // namespace imbrix::imaging
