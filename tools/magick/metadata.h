// The source's EXIF and XMP for the outputs whose writers drop them (cjxl 0.7
// reads them from a PNG but writes no box; heif-enc reads no XMP that
// ImageMagick writes; ImageMagick 6 writes neither into PSD), and the ways they
// go in: chunks of the intermediate PNG, boxes of the finished JPEG XL file,
// image resources of the finished PSD file.
#pragma once

#include <cstdint>
#include <string>

namespace imbrix::magick {

struct CarriedMetadata {
    /// TIFF-structured EXIF ("II*\0..." or "MM\0*..."): Orientation 1, since the
    /// pixels are turned upright, and no thumbnail, which would still show the
    /// picture as it was stored.
    std::string exif;
    /// An XMP packet, its tiff:Orientation 1 likewise.
    std::string xmp;

    bool empty() const { return exif.empty() && xmp.empty(); }
};

/// The EXIF and XMP of the picture file at `path`, read with exiv2, for an
/// upright output of `width` x `height` pixels (0 x 0: the source's size, whose
/// size tags then stay). A file with none gives an empty result; one whose
/// metadata cannot be read gives an empty result and the reason in `problem`.
CarriedMetadata readCarriedMetadata(const std::string& path, std::string& problem,
                                    std::uint32_t width = 0, std::uint32_t height = 0);

/// Gives the PNG file at `path` the metadata in `metadata` and no other: every
/// text chunk (ImageMagick writes the fields of the EXIF as text, GPS position
/// included) and eXIf chunk goes, and an eXIf chunk and an iTXt chunk
/// "XML:com.adobe.xmp" (where `metadata` has them) follow the IHDR chunk, where
/// every PNG reader looks for them. The colour profile stays. Returns the
/// problem, empty when done.
std::string replacePngMetadata(const std::string& path, const CarriedMetadata& metadata);

/// Adds the EXIF (resource 1058) and XMP (resource 1060) in `metadata` to the
/// image resources of the PSD file at `path`, where it has none of its own.
/// Returns the problem, empty when done.
std::string addPsdMetadata(const std::string& path, const CarriedMetadata& metadata);

/// Adds an "Exif" box and an "xml " box (where `metadata` has them) to the
/// JPEG XL file at `path`, before its codestream; a bare codestream first goes
/// into the container. Returns the problem, empty when done.
std::string addJxlMetadata(const std::string& path, const CarriedMetadata& metadata);

}  // namespace imbrix::magick
