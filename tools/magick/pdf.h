// PDF outputs: the document title.
#pragma once

#include <string>

namespace imbrix::magick {

/// Copies the PDF file `fromPath` to `toPath` with `title` as the document title
/// (the Info dictionary's /Title), stored as a PDF text string so that any
/// letters and brackets read back as they are. `title` is UTF-8; bytes that are
/// not become U+FFFD. Empty string on success, otherwise the reason.
std::string copyPdfWithTitle(const std::string& fromPath, const std::string& toPath,
                             const std::string& title);

}  // namespace imbrix::magick
