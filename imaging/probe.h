// Imbrix imaging layer: a picture's extent, read from its header alone.
//
// Before a file is decoded, the engine asks how large its picture is, so that
// it can reserve the memory the conversion needs and give the file time in
// proportion to its pixels. The probe reads headers only (for GIF and WEBP it
// walks the blocks to count the frames) and never allocates pixel memory.
// Every source format is recognised by its content, never by a file name.
#pragma once

#include <cstdint>
#include <optional>

#include "imaging/source.h"

namespace imbrix::imaging {

struct PictureExtent {
    std::uint32_t width = 0, height = 0;  ///< the canvas (a GIF's logical screen)
    std::uint64_t frames = 1;             ///< of an animation; 1 for a still picture
    /// width x height x frames, saturating at the largest 64-bit value.
    std::uint64_t pixels() const;
};

/// The extent declared by the header of `data`: PNG, JPEG, GIF, BMP, ICO, TIFF
/// (its first directory), WEBP, JPEG XR, PSD, TGA, JPEG XL, HEIC/AVIF and
/// JPEG 2000. Nothing for SVG, for data of no format it knows and for a header
/// too damaged to tell (the decoder then gives the reason).
///
/// Throws Error when the header claims a picture that data of this size cannot
/// possibly hold: a JPEG with fewer bits than its scans need for the blocks'
/// DC values, a PNG beyond what deflate can expand its file to, a GIF frame
/// beyond what its LZW codes can cover, an uncompressed BMP without room for
/// its rows, a TGA beyond what its run-length packets can cover.
std::optional<PictureExtent> probePicture(Bytes data);

}  // namespace imbrix::imaging
