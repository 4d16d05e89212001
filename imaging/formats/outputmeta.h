// Imbrix imaging layer: what the encoders write beside the pixels.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "imaging/picture.h"
#include "imaging/source.h"

namespace imbrix::imaging::formats {

/// A picture's metadata as it goes into a file of `width` x `height` upright
/// pixels: the profile and comment as they are, EXIF and XMP rewritten for the
/// output (metadata::exifForOutput, xmpForOutput). Each part is empty when the
/// picture has none (or it could not be kept); the views point into the
/// picture's metadata.
struct OutputMetadata {
    Bytes icc;
    std::vector<std::uint8_t> exif;  ///< TIFF header onwards, no "Exif\0\0"
    std::vector<std::uint8_t> xmp;
    Bytes iptc;  ///< IPTC-IIM records
    std::string_view comment;

    bool hasDescriptive() const {
        return !exif.empty() || !xmp.empty() || !iptc.empty() || !comment.empty();
    }
    bool empty() const { return icc.empty() && !hasDescriptive(); }
};

/// Costs nothing for a picture without descriptive metadata.
OutputMetadata prepareMetadata(const Metadata& meta, std::uint32_t width, std::uint32_t height);

/// The IPTC records as a Photoshop image resource block (resource 0x0404, as
/// JPEG's APP13 "Photoshop 3.0" segment and PNG's "Raw profile type iptc" carry it).
std::vector<std::uint8_t> iptcResourceBlock(Bytes iptc);

}  // namespace imbrix::imaging::formats
