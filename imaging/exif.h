// Imbrix imaging layer: the EXIF orientation of photos.
//
// Cameras store a portrait photo as landscape pixels plus an Orientation tag
// (1 to 8, as in TIFF); we turn the pixels so that the picture comes out the
// way the tag says. Reentrant: no state.
#pragma once

#include "imaging/raster.h"
#include "imaging/source.h"

namespace imbrix::imaging::exif {

/// The Orientation tag (1..8) of an EXIF block: the TIFF structure, with or
/// without the "Exif\0\0" prefix of a JPEG APP1 segment or a WebP EXIF chunk.
/// 1 when the block is damaged, has no such tag, or holds a value out of range.
int orientation(Bytes exif);

/// True when `orientation` puts the picture on its side (5 to 8): width and
/// height swap.
inline bool swapsSides(int orientation) {
    return orientation >= 5 && orientation <= 8;
}

/// Returns the picture turned as `orientation` says (1 or an invalid value: as it is).
Raster applyOrientation(Raster picture, int orientation);

}  // namespace imbrix::imaging::exif
