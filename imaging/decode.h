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
// content also that of WEBP sources. Embedded ICC profiles are not applied.
// Every function here is reentrant: no global state.
#pragma once

#include <string>
#include <string_view>

#include "imaging/raster.h"
#include "imaging/source.h"

namespace imbrix::imaging {

/// True when the picture loaders have a decoder for `extension` (without its
/// dot, any letter case): bmp ico tif tiff jpg jpeg png gif svg webp wmp.
bool hasPictureLoader(std::string_view extension);

/// Decodes `data` with the picture loader registered for `extension` (without
/// its dot, any letter case). Throws Error("Unknown picture file extension (.%s)")
/// for an extension without a loader, and the decoder's own Error otherwise.
Raster decodeWithPictureLoader(std::string_view extension, Bytes data);

/// Loads the file at `path` through the picture loaders, choosing by its
/// extension. The extension is checked before the file is opened.
Raster loadPicture(const std::string& path);

/// Formats that decode by content recognises.
enum class ContentFormat { Unknown, Png, Jpeg, Gif, Bmp, Ico, Webp };

/// Recognises a format by its first bytes.
ContentFormat sniffContent(Bytes data);

/// Decodes by content. `name` (a file name or path) only appears in messages.
/// Damaged or unrecognised data throws an Error that names it.
Raster decodeByContent(Bytes data, std::string_view name);

}  // namespace imbrix::imaging
