// Imbrix imaging layer: encoding.
//
// Every encoder reads a picture and one options value and writes the whole file to a Sink; it never
// touches the file system itself (publishing a finished file under its final
// name is the caller's job, see platform/files.h). Reentrant: no global state.
#pragma once

#include "imaging/picture.h"
#include "imaging/sink.h"

namespace imbrix::imaging {

/// PNG (the quality is not used): rows filtered adaptively, compressed by libdeflate, framed by
/// libpng. 8-bit; alpha kept (written unpremultiplied) unless every pixel is opaque, and gray when
/// every pixel is gray.
void encodePng(const Picture& picture, const EncodeOptions& options, Sink& out);
/// The same, letting the raster go as soon as its rows are filtered, so that the
/// picture and its compressed data are never held at once.
void encodePng(Picture&& picture, const EncodeOptions& options, Sink& out);

/// JPEG through libjpeg-turbo: quality 1..100, 4:2:0 chroma, optimised Huffman
/// coding. Colour values are written as they are and alpha is dropped, so the
/// transparent areas of a premultiplied raster come out black.
void encodeJpeg(const Picture& picture, const EncodeOptions& options, Sink& out);
/// The same with one gray component, for a picture whose pixels are all gray
/// (its green channel is written; alpha dropped as above).
void encodeGrayJpeg(const Picture& picture, const EncodeOptions& options, Sink& out);

/// WEBP through libwebp. Quality 100 is lossless (effort as at quality 75,
/// method 0); any other quality is lossy at that quality (method 3). Alpha kept
/// (unpremultiplied first).
void encodeWebp(const Picture& picture, const EncodeOptions& options, Sink& out);

struct YuvPicture;
/// Lossy WEBP (quality 1..99, method 3, as above) straight from luma and chroma
/// planes; no alpha. Quality 100 has no lossy form and throws Error.
void encodeWebp(YuvPicture&& picture, const EncodeOptions& options, Sink& out);

/// TIFF through libtiff (the quality is not used): 8-bit RGB, three samples, no alpha, LZW with the
/// horizontal predictor. Colour values are written as they are.
void encodeTiff(const Picture& picture, const EncodeOptions& options, Sink& out);

/// JPEG XR through jxrlib (the quality is not used): no alpha, lossy at image quality 0.9 (jxrlib's
/// own quality-to-quantiser mapping). Colour values are written as they are.
void encodeJpegXr(const Picture& picture, const EncodeOptions& options, Sink& out);

// The encoders of the external converter's formats. They read the picture as
// it is (upright, resized, gray and in the colours the format takes: the
// caller's stages did that) and write the colour profile and the EXIF, XMP and
// IPTC that meta holds where the format has room for them. Transparency is kept
// where the format has it, and no alpha channel is written for an opaque
// picture. A picture that cannot be written (too large for the format, ...)
// throws Error with a message that says why.

/// BMP (the quality is not used): 24-bit BGR when opaque, else 32-bit BGRA
/// with the masks that readers take for alpha.
void encodeBmp(const Picture& picture, const EncodeOptions& options, Sink& out);
/// TGA (the quality is not used): 24- or 32-bit true colour, or 8-bit gray
/// when opaque and every pixel is gray (as ImageMagick writes it); rows top-down.
void encodeTga(const Picture& picture, const EncodeOptions& options, Sink& out);
/// PSD (the quality is not used): one flat RGB or RGBA picture, channels
/// compressed with PackBits (RLE); the profile, EXIF, XMP and IPTC as image
/// resources.
void encodePsd(const Picture& picture, const EncodeOptions& options, Sink& out);
/// ICO (the quality is not used): one picture of at most 256 x 256, stored as PNG.
void encodeIco(const Picture& picture, const EncodeOptions& options, Sink& out);
/// GIF: one frame, the colours reduced to a palette of at most 256 (dithered),
/// with one transparent entry where the picture has transparency.
void encodeGif(const Picture& picture, const EncodeOptions& options, Sink& out);
/// JPEG XL through libjxl: quality 1..100 as cjxl's -q takes it (100 lossless).
void encodeJxl(const Picture& picture, const EncodeOptions& options, Sink& out);
/// AVIF through libheif (AV1): quality 1..100 as heif-enc's -q takes it.
void encodeAvif(const Picture& picture, const EncodeOptions& options, Sink& out);
/// JPEG 2000 (JP2) through OpenJPEG: the bytes a JPEG of that quality takes,
/// coded with the irreversible wavelet; 100 is lossless.
void encodeJp2(const Picture& picture, const EncodeOptions& options, Sink& out);

}  // namespace imbrix::imaging
