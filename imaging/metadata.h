// Imbrix imaging layer: what a file says besides its pixels (EXIF, XMP, IPTC,
// comment), read and prepared for the encoders through exiv2.
//
// Safe to call from many threads at once: exiv2's XMP toolkit is set up once,
// with a lock, on first use. exiv2's own log output is kept off stderr.
#pragma once

#include <cstdint>
#include <vector>

#include "imaging/picture.h"
#include "imaging/source.h"

namespace imbrix::imaging::metadata {

/// Reads EXIF, XMP, IPTC and the comment of a whole file in any container exiv2
/// knows (JPEG, PNG, WEBP, TIFF, PSD, JPEG 2000, GIF, AVIF/HEIF/JPEG XL, ...) into
/// `into`, replacing what it held there; the profile (`into.icc`) is left alone.
/// Never throws: whatever cannot be read (an unknown container, damaged or hostile
/// metadata) stays empty, so that the picture still converts without it.
void read(Bytes file, Metadata& into);

/// read() for the file at `path`, which exiv2 maps rather than reads whole
/// (for large sources outside the program, such as the converter's).
void readFile(const std::string& path, Metadata& into);

/// The EXIF block to write beside upright pixels of `width` x `height`: the
/// orientation 1, no embedded thumbnail, PixelXDimension and PixelYDimension
/// (and ImageWidth and ImageLength when present) the output's size, and none of
/// the source's own image-layout tags (strips, compression, samples, embedded
/// profile, XMP or IPTC: those go where the output format keeps them). Accepts
/// the block with or without the "Exif\0\0" prefix. Empty when the block is
/// empty or damaged (a bad header, an offset or a size out of the block).
/// A size of 0 x 0 (not known) leaves the size tags as they are.
std::vector<std::uint8_t> exifForOutput(Bytes exif, std::uint32_t width, std::uint32_t height);

/// The XMP packet to write beside upright pixels of `width` x `height`:
/// tiff:Orientation 1 and the dimension properties (exif:PixelXDimension,
/// exif:PixelYDimension, tiff:ImageWidth, tiff:ImageLength) the output's size,
/// where the packet has them; the packet as it is when it names none of them
/// (unparsed: the XMP toolkit refuses some packets that lenient readers take).
/// Empty when the text is no XMP, or when it names one of them and cannot be
/// parsed: an orientation we cannot reset would turn the upright pixels again
/// in any viewer that does read it. A size of 0 x 0 leaves the size properties
/// as they are.
std::vector<std::uint8_t> xmpForOutput(Bytes xmp, std::uint32_t width, std::uint32_t height);

/// `tiff` (a whole TIFF file of one image) with EXIF (as exifForOutput gives
/// it: its tags join the file's first directory and its EXIF and GPS
/// directories, the file's own tags win), the XMP packet and the IPTC records
/// written in by exiv2, which lays the file out anew around the same pixels.
/// Throws Error when exiv2 cannot.
std::vector<std::uint8_t> writeIntoTiff(Bytes tiff, Bytes exif, Bytes xmp, Bytes iptc);

}  // namespace imbrix::imaging::metadata
