#include "tools/magick/pdf.h"

#include <glib.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <exception>
#include <memory>
#include <qpdf/Pipeline.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFExc.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFWriter.hh>

#include "imaging/encode.h"
#include "imaging/error.h"
#include "imaging/formats/outputs.h"

namespace imbrix::magick {

namespace {

// `text` with every byte that is not UTF-8 replaced by U+FFFD: a file name on
// Linux is bytes.
std::string validUtf8(const std::string& text) {
    const std::unique_ptr<gchar, decltype(&g_free)> valid(
        g_utf8_make_valid(text.data(), static_cast<gssize>(text.size())), &g_free);
    return valid ? std::string(valid.get()) : std::string();
}

// PDFDocEncoding where it holds every letter, UTF-16 otherwise; brackets and
// backslashes are escaped.
void setTitle(QPDF& pdf, const std::string& title) {
    QPDFObjectHandle trailer = pdf.getTrailer();
    QPDFObjectHandle info = trailer.getKey("/Info");
    if (!info.isDictionary()) {
        info = pdf.makeIndirectObject(QPDFObjectHandle::newDictionary());
        trailer.replaceKey("/Info", info);
    }
    info.replaceKey("/Title", QPDFObjectHandle::newUnicodeString(validUtf8(title)));
}

// The picture composed onto white (JPEG has no transparency); null when it is
// opaque and goes as it is.
std::unique_ptr<imaging::Picture> flattenedOnWhite(const imaging::Raster& raster) {
    if (imaging::formats::isOpaque(raster)) {
        return nullptr;
    }
    auto flat = std::make_unique<imaging::Picture>();
    flat->pixels = imaging::Raster(raster.width(), raster.height());
    flat->pixels.hasAlpha = false;
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        const std::uint8_t* src = raster.row(y);
        std::uint8_t* dst = flat->pixels.row(y);
        for (std::uint32_t x = 0; x < raster.width(); ++x, src += 4, dst += 4) {
            const unsigned a = src[imaging::kAlpha];
            for (int c = 0; c < 3; ++c) {
                // Premultiplied: the colour's share is there already, white fills the rest.
                const unsigned share = raster.premultiplied ? src[c] : (src[c] * a + 127) / 255;
                dst[c] = static_cast<std::uint8_t>(std::min(255u, share + 255 - a));
            }
            dst[imaging::kAlpha] = 255;
        }
    }
    return flat;
}

// A number as PDF writes it: no exponent, at most two decimals, a point
// whatever the locale.
std::string pdfNumber(double value) {
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, std::round(value * 100) / 100,
                                         std::chars_format::fixed);
    return ec == std::errc() ? std::string(text, end) : std::string("0");
}

class SinkPipeline final : public Pipeline {
public:
    explicit SinkPipeline(imaging::Sink& sink) : Pipeline("picture pdf", nullptr), sink_(sink) {}
    void write(unsigned char const* data, size_t size) override { sink_.write(data, size); }
    void finish() override {}

private:
    imaging::Sink& sink_;
};

}  // namespace

std::string copyPdfWithTitle(const std::string& fromPath, const std::string& toPath,
                             const std::string& title) {
    try {
        QPDF pdf;
        pdf.setSuppressWarnings(true);
        pdf.processFile(fromPath.c_str());
        setTitle(pdf, title);
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

void writePicturePdf(const imaging::Picture& picture, const PdfPageOptions& options,
                     imaging::Sink& out) {
    const imaging::Raster& raster = picture.pixels;
    if (raster.empty() || raster.width() == 0 || raster.height() == 0) {
        throw imaging::Error("Cannot write PDF: the picture has no pixels");
    }
    if (!(options.dpiX > 0) || !(options.dpiY > 0)) {
        throw imaging::Error("Cannot write PDF: the picture's density is not positive");
    }
    // The JPEG goes without the source's metadata: only its pixels count.
    std::unique_ptr<imaging::Picture> owned = flattenedOnWhite(raster);
    if (!owned && (!picture.meta.icc.empty() || picture.meta.hasDescriptive())) {
        owned = std::make_unique<imaging::Picture>(imaging::Picture{raster.clone(), {}});
    }
    const imaging::Picture& page = owned ? *owned : picture;
    const bool gray = imaging::formats::isGray(page.pixels);
    imaging::EncodeOptions encodeOptions;
    encodeOptions.quality = options.quality;
    // GraphicsMagick keeps the chroma at full size from quality 90 on.
    encodeOptions.fullChroma = options.quality >= 90;
    imaging::MemorySink jpeg;
    (gray ? imaging::encodeGrayJpeg : imaging::encodeJpeg)(page, encodeOptions, jpeg);

    // The page is the picture at its density, in whole points; the picture
    // fills it at its exact size (as GraphicsMagick places it).
    const double width = raster.width() * 72.0 / options.dpiX;
    const double height = raster.height() * 72.0 / options.dpiY;
    const std::string box =
        "[0 0 " + pdfNumber(std::round(width)) + " " + pdfNumber(std::round(height)) + "]";
    try {
        QPDF pdf;
        pdf.emptyPDF();
        QPDFObjectHandle image = QPDFObjectHandle::newStream(&pdf);
        image.replaceStreamData(std::string(jpeg.bytes.begin(), jpeg.bytes.end()),
                                QPDFObjectHandle::newName("/DCTDecode"),
                                QPDFObjectHandle::newNull());
        QPDFObjectHandle dict = image.getDict();
        dict.replaceKey("/Type", QPDFObjectHandle::newName("/XObject"));
        dict.replaceKey("/Subtype", QPDFObjectHandle::newName("/Image"));
        dict.replaceKey("/Width", QPDFObjectHandle::newInteger(raster.width()));
        dict.replaceKey("/Height", QPDFObjectHandle::newInteger(raster.height()));
        dict.replaceKey("/ColorSpace",
                        QPDFObjectHandle::newName(gray ? "/DeviceGray" : "/DeviceRGB"));
        dict.replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(8));

        const std::string drawing =
            "q\n" + pdfNumber(width) + " 0 0 " + pdfNumber(height) + " 0 0 cm\n/Im0 Do\nQ\n";
        QPDFObjectHandle contents = QPDFObjectHandle::newStream(&pdf, drawing);
        QPDFObjectHandle pageObject = pdf.makeIndirectObject(QPDFObjectHandle::parse(
            "<< /Type /Page /MediaBox " + box + " /Resources << /XObject << >> >> >>"));
        pageObject.getKey("/Resources").getKey("/XObject").replaceKey("/Im0", image);
        pageObject.replaceKey("/Contents", contents);
        QPDFPageDocumentHelper(pdf).addPage(pageObject, false);
        setTitle(pdf, options.title);

        SinkPipeline pipeline(out);
        QPDFWriter writer(pdf);
        writer.setOutputPipeline(&pipeline);
        writer.setDeterministicID(true);
        writer.write();
    } catch (const QPDFExc& e) {
        throw imaging::Error("Cannot write PDF: " + (e.getMessageDetail().empty()
                                                         ? std::string(e.what())
                                                         : e.getMessageDetail()));
    }
}

}  // namespace imbrix::magick
