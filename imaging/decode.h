// Imbrix imaging layer: decoding.
//
// Two ways in, as the conversion needs them:
//  - the picture loaders: a table from file extension to decoder; the extension
//    alone picks the decoder, and a file of another format fails with that
//    decoder's message ("JPEG error #53" for a .jpg that is not a JPEG);
//  - decode by content: the first bytes pick the decoder, the extension is
//    never looked at.
// Both return the picture drawn with its own transparency over a zeroed raster:
// premultiplied BGRA. Both apply the EXIF orientation of JPEG sources; decode by
// content also that of WEBP sources.
//
// Colour: the Picture functions return the pixels with the profile they are in
// (meta.icc, as imaging/colour.h says: empty for sRGB). Gray and CMYK sources
// come out already converted to sRGB. The Raster functions are the same
// decoders without the profile: an RGB profile is not applied to their pixels
// (colour::convertToSrgb() on the Picture does that).
// Every function here is reentrant: no global state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "imaging/fileformats.h"
#include "imaging/picture.h"
#include "imaging/raster.h"
#include "imaging/resize.h"
#include "imaging/source.h"

namespace imbrix::imaging {

/// True when the picture loaders have a decoder for `extension` (without its
/// dot, any letter case): bmp ico tif tiff jpg jpeg png gif svg webp wmp.
bool hasPictureLoader(std::string_view extension);

/// Decodes `data` with the picture loader registered for `extension` (without
/// its dot, any letter case). Throws Error("Unknown picture file extension (.%s)")
/// for an extension without a loader, and the decoder's own Error otherwise.
/// The picture carries its profile and its bit depth in meta. With a hint that
/// asks for a smaller picture, the JPEG and WEBP decoders may draw it smaller
/// (never below the target; meta.fullWidth/fullHeight then hold the full size).
Picture decodePicture(std::string_view extension, Bytes data, const DecodeHint& hint = {});
/// decodePicture() without the profile.
Raster decodeWithPictureLoader(std::string_view extension, Bytes data);

/// Loads the file at `path` through the picture loaders, choosing by its
/// extension. The extension is checked before the file is opened.
Picture loadPictureWithProfile(const std::string& path);
/// loadPictureWithProfile() without the profile.
Raster loadPicture(const std::string& path);

/// Recognises a format by its first bytes.
ContentFormat sniffContent(Bytes data);

/// Decodes by content. `name` (a file name or path) only appears in messages.
/// Damaged or unrecognised data throws an Error that names it.
/// meta.decodedByContent names the format that was recognised.
/// A hint works as for decodePicture().
Picture decodePictureByContent(Bytes data, std::string_view name, const DecodeHint& hint = {});
/// decodePictureByContent() without the profile.
Raster decodeByContent(Bytes data, std::string_view name);

/// A picture as a luma plane and two chroma planes of half its width and height
/// (rounded up), in the video range a lossy WEBP codes (ITU-R BT.601: luma
/// 16..235, chroma 16..240). Rows top-down, `width` and `chromaWidth()` bytes
/// apart.
struct YuvPicture {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> y;
    std::vector<std::uint8_t> u;
    std::vector<std::uint8_t> v;
    /// The profile and what else the source carries, as for a Picture.
    Metadata meta;

    std::uint32_t chromaWidth() const { return (width + 1) / 2; }
    std::uint32_t chromaHeight() const { return (height + 1) / 2; }
};

/// Decodes a JPEG whose chroma is stored at half width and height (YCbCr 4:2:0)
/// into its own planes, without upsampling the chroma or converting to RGB, and
/// turns them as its EXIF orientation says. Empty for every other JPEG (other
/// sampling, gray, CMYK, RGB, or an orientation that mirrors an odd side, where
/// the half-size chroma cannot follow exactly) and for data that fails to decode
/// or exceeds the size cap: decodeWithPictureLoader() is then the way, and it
/// reports the error. meta.icc holds the file's RGB profile unless it is sRGB;
/// a file whose profile is gray or CMYK is left to the raster route too.
std::optional<YuvPicture> decodeJpegYuv420(Bytes data);

}  // namespace imbrix::imaging
