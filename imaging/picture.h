// Imbrix imaging layer: a picture, its pixels with what the file said about them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "imaging/fileformats.h"
#include "imaging/raster.h"

namespace imbrix::imaging {

/// What a source file carries besides its pixels. Empty where a decoder does not
/// read it (yet); an encoder that has room for it writes what is there.
struct Metadata {
    /// The colour profile (ICC) the pixels are in; empty: sRGB. Never stripped:
    /// without it the colours would be wrong.
    std::vector<std::uint8_t> icc;
    std::vector<std::uint8_t> exif;  ///< the EXIF block (TIFF header onwards, no "Exif\0\0")
    std::vector<std::uint8_t> xmp;   ///< the XMP packet (UTF-8 XML)
    std::vector<std::uint8_t> iptc;  ///< IPTC-IIM records (as in Photoshop's resource 0x0404)
    std::string comment;             ///< a text comment (JPEG COM, PNG "Comment", GIF comment)
    int bitDepth = 8;                ///< bits per sample of the source
    /// The format decode by content recognised when it drew these pixels;
    /// Unknown when another decoder did.
    ContentFormat decodedByContent = ContentFormat::Unknown;
    /// The picture's full size (as shown) when a decoder drew it smaller for a
    /// resize (a DecodeHint, imaging/resize.h); 0 x 0 when the pixels have it.
    std::uint32_t fullWidth = 0;
    std::uint32_t fullHeight = 0;

    /// True when it holds something besides the colour profile that an encoder
    /// may write (EXIF, XMP, IPTC or a comment).
    bool hasDescriptive() const {
        return !exif.empty() || !xmp.empty() || !iptc.empty() || !comment.empty();
    }
    /// Drops EXIF (GPS included), XMP, IPTC and the comment; keeps the profile.
    void stripDescriptive() {
        exif.clear();
        xmp.clear();
        iptc.clear();
        comment.clear();
    }
};

/// The unit every stage and encoder works on. Move-only, as its raster.
struct Picture {
    Raster pixels;
    Metadata meta;
};

/// What an encoder is asked for besides the picture.
struct EncodeOptions {
    int quality = kDefaultQuality;  ///< 1..100, for the formats that take one
    /// Threads an encoder may start besides its caller's (0: none). A run
    /// converts a file per core already; an encoder uses more only where that
    /// was measured to pay.
    unsigned extraThreads = 0;
    /// Speed before size, for a file that is read straight back (the PNG the
    /// program hands the external converter): the lossless encoders compress at
    /// their fastest level.
    bool fastest = false;
    /// JPEG: the chroma at full size (4:4:4) rather than halved each way (4:2:0).
    bool fullChroma = false;
};

}  // namespace imbrix::imaging
