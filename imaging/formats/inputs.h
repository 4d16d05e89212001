// Imbrix imaging layer: the decoders behind decode.h, one per format file.
//
// Each takes the whole encoded file and returns the picture drawn with its own
// transparency over a zeroed raster (premultiplied BGRA), with the colour
// profile it carries in meta.icc as colour.h says (gray and CMYK samples already
// turned into sRGB), and meta.bitDepth where the format tells. Each checks the size cap
// from the header before it allocates pixel memory, keeps its library's error
// callbacks to itself and throws imaging::Error with the text the user sees.
#pragma once

#include "imaging/picture.h"
#include "imaging/raster.h"
#include "imaging/resize.h"
#include "imaging/source.h"

namespace imbrix::imaging::formats {

/// libjpeg-turbo. Errors read "JPEG error #<libjpeg message code>". The EXIF
/// orientation is applied. A hint that asks for a resize lets it draw the
/// picture smaller by libjpeg's DCT scaling (shrinkFactor(): 1/2, 1/4 or 1/8);
/// meta.fullWidth/fullHeight then hold the full upright size.
Picture decodeJpeg(Bytes data, const DecodeHint& hint = {});

/// libpng: every bit depth and colour type, 16-bit samples scaled to 8 bits.
Picture decodePng(Bytes data);

/// giflib: the first frame, composed on the logical screen.
Picture decodeGif(Bytes data);

/// libtiff: the first page, any photometric interpretation.
Picture decodeTiff(Bytes data);

/// libwebp: a still picture, or the first frame of an animation. The EXIF
/// orientation is applied. A hint that asks for a resize lets it draw a still
/// picture smaller with libwebp's scaler (webpShrinkTarget()); meta.fullWidth/
/// fullHeight then hold the full upright size. An animation's first frame
/// keeps its canvas size.
Picture decodeWebp(Bytes data, const DecodeHint& hint = {});

/// librsvg through cairo, at the picture's own size. Nothing outside `data` is read.
Picture decodeSvg(Bytes data);

/// Windows bitmaps, our own reader (BMP file header + DIB).
Picture decodeBmp(Bytes data);

/// A DIB without its file header, as icons store them: the height covers the
/// colour bitmap and the AND mask below it; the mask gives the transparency
/// unless a 32-bit bitmap carries an alpha channel of its own.
Raster decodeIconDib(Bytes dib);

/// Windows icons and cursors: the largest image of the file (PNG or DIB).
Picture decodeIco(Bytes data);

/// JPEG XR through jxrlib: 8-bit gray, 24/32-bit RGB(A) and 16-bit integer
/// layouts. jxrlib is not safe on damaged data, so it runs in a program of its
/// own (formats/jxr_input.h says where it is found); a crash there is "JPEG XR
/// error: the file is damaged", a stall "JPEG XR error: the decoder stopped
/// responding".
Picture decodeJxr(Bytes data);

}  // namespace imbrix::imaging::formats
