#include "tools/magick/pdf.h"

#include <glib.h>

#include <exception>
#include <memory>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFExc.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFWriter.hh>

namespace imbrix::magick {

namespace {

// `text` with every byte that is not UTF-8 replaced by U+FFFD: a file name on
// Linux is bytes.
std::string validUtf8(const std::string& text) {
    const std::unique_ptr<gchar, decltype(&g_free)> valid(
        g_utf8_make_valid(text.data(), static_cast<gssize>(text.size())), &g_free);
    return valid ? std::string(valid.get()) : std::string();
}

}  // namespace

std::string copyPdfWithTitle(const std::string& fromPath, const std::string& toPath,
                             const std::string& title) {
    try {
        QPDF pdf;
        pdf.setSuppressWarnings(true);
        pdf.processFile(fromPath.c_str());
        QPDFObjectHandle trailer = pdf.getTrailer();
        QPDFObjectHandle info = trailer.getKey("/Info");
        if (!info.isDictionary()) {
            info = pdf.makeIndirectObject(QPDFObjectHandle::newDictionary());
            trailer.replaceKey("/Info", info);
        }
        // PDFDocEncoding where it holds every letter, UTF-16 otherwise; brackets
        // and backslashes are escaped.
        info.replaceKey("/Title", QPDFObjectHandle::newUnicodeString(validUtf8(title)));
        QPDFWriter writer(pdf, toPath.c_str());
        writer.setDeterministicID(true);
        writer.write();
        return {};
    } catch (const QPDFExc& e) {
        return e.getMessageDetail().empty() ? std::string(e.what()) : e.getMessageDetail();
    } catch (const std::exception& e) {
        return e.what();
    }
}

}  // namespace imbrix::magick
