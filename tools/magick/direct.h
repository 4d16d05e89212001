// The in-process route: sources that the program's imaging layer decodes, into
// formats it encodes, without any helper program or intermediate file. The
// picture comes out as the helpers' route makes it: upright, resized to the
// size planned the same way, in the colours the format takes, gray as
// ImageMagick's "-colorspace Gray" makes it, with the metadata the format keeps.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

#include "imaging/encode.h"
#include "imaging/source.h"
#include "tools/magick/content.h"
#include "tools/magick/request.h"

namespace imbrix::magick {

using DirectEncode = void (*)(const imaging::Picture&, const imaging::EncodeOptions&,
                              imaging::Sink&);

/// An output format the imaging layer writes, and what it keeps of the source.
struct DirectEncoder {
    OutputFormat format;
    /// Null for PDF, whose page also takes the title and the source's density.
    DirectEncode encode;
    /// The source's colour profile goes in (unless the picture is made gray);
    /// otherwise the pixels are converted to sRGB.
    bool keepsProfile;
    /// The source's EXIF, XMP and IPTC go in (unless the request strips them).
    bool keepsMetadata;
    /// The picture shrinks to fit 256 x 256 (after any resize the request asks for).
    bool iconSize;
};

/// The in-process encoder of `format`; null when the helpers write it.
const DirectEncoder* directEncoder(OutputFormat format);

/// True when the source (its kind and all its bytes) is read in process for
/// `request`: a kind the imaging layer decodes, and a source whose picture the
/// decoder draws as ImageMagick reads it (the first picture of an icon and of
/// a GIF, the orientation of a TIFF, ...). An animated GIF written as GIF keeps
/// every frame on the helpers' route.
bool decodesInProcess(const Request& request, SourceKind kind, imaging::Bytes file);

/// Why the in-process route stopped: the text after "cannot read <input>: " or
/// "cannot write <output>: ".
class DirectFailure : public std::runtime_error {
public:
    DirectFailure(const std::string& why, bool source) : std::runtime_error(why), source_(source) {}
    /// The source cannot be read (damaged, too large, ...).
    bool source() const { return source_; }

private:
    bool source_;
};

/// The largest picture read and written, as the helpers' route limits it.
struct PictureLimits {
    std::uint64_t maxSide;
    std::uint64_t maxPixels;
};

/// Decodes `file` (the source `request.input`, of `kind`), makes the picture the
/// request asks for and writes it with `encoder` into the open file `fd`. A
/// PDF gets `title` as its document title. Throws DirectFailure.
void writeInProcess(const Request& request, const DirectEncoder& encoder, SourceKind kind,
                    imaging::Bytes file, const PictureLimits& limits, int fd,
                    const std::string& title);

/// The density a PDF page takes from the source, as GraphicsMagick reads it:
/// a JPEG's JFIF density (in dots per inch or per centimetre; none when its
/// unit is unknown), a PNG's pHYs in dots per metre. Nothing when the source
/// says none, and the page is then a point per pixel (72 dpi).
struct Density {
    double x = 72;
    double y = 72;
};
std::optional<Density> pdfDensity(SourceKind kind, imaging::Bytes file);

}  // namespace imbrix::magick
