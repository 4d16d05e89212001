// PDF outputs: the document title, and the one-page PDF of a picture.
#pragma once

#include <string>

#include "imaging/picture.h"
#include "imaging/sink.h"

namespace imbrix::magick {

/// Copies the PDF file `fromPath` to `toPath` with `title` as the document title
/// (the Info dictionary's /Title), stored as a PDF text string so that any
/// letters and brackets read back as they are. `title` is UTF-8; bytes that are
/// not become U+FFFD. Empty string on success, otherwise the reason.
std::string copyPdfWithTitle(const std::string& fromPath, const std::string& toPath,
                             const std::string& title);

struct PdfPageOptions {
    std::string title;  ///< the document title, as copyPdfWithTitle() stores it
    int quality = 85;   ///< of the JPEG the picture is stored as, 1..100
    /// The picture's density: the page is its size at this density (72: a
    /// point per pixel, GraphicsMagick's default).
    double dpiX = 72;
    double dpiY = 72;
};

/// Writes the PDF that GraphicsMagick's "-background white -flatten -compress
/// JPEG -quality Q" makes of the picture: one page of the picture's size, the
/// picture flattened onto white and stored as a JPEG of that quality (DCTDecode,
/// DeviceGray when every pixel is gray, else DeviceRGB, no metadata). The
/// picture is taken as it is: upright, sRGB, resized. Throws imaging::Error.
void writePicturePdf(const imaging::Picture& picture, const PdfPageOptions& options,
                     imaging::Sink& out);

}  // namespace imbrix::magick
