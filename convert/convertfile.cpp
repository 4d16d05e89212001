// Imbrix conversion engine: one file, from its source to its output.
//
// The five steps of a conversion: decode the source (1) into a raster (2),
// raster grayscale (3), the output name (4, claimed last, in finishFile) and
// encode (5) by one of these routes, the first that matches:
//   TIF, TIFF                 TIFF encoder, from the raster
//   WMP                       JPEG XR encoder, from the raster
//   WEBP from a .gif source   the converter, from the source file (-coalesce)
//   AVIF PSD SVG TGA JXL JP2 PDF BMP GIF ICO
//                             the converter, from the source file
//   PNG JPG JPEG JFIF WEBP    our PNG/JPEG/WEBP encoders, from the source file
//                             decoded by content (for the extensions below), else
//                             from the raster; grayscale by the luminance filter
// A JPEG going to lossy WEBP without grayscale, whose chroma is stored at half
// size, is decoded once into its own luma and chroma planes (turned as its
// EXIF orientation says where they turn exactly), which the WEBP encoder codes
// as they are: steps 1 and 2 and the encoder's decode of the source are then
// that one decode (the picture is the same), and no raster, chroma upsampling
// or RGB round trip is needed.
#include "convert/convertfile.h"

#include <algorithm>
#include <array>
#include <optional>
#include <system_error>
#include <utility>

#include "convert/converter.h"
#include "imaging/decode.h"
#include "imaging/encode.h"
#include "imaging/error.h"
#include "imaging/grayscale.h"
#include "imaging/sink.h"
#include "imaging/source.h"

namespace imbrix::convert {

namespace {

using imaging::ContentFormat;
using imaging::Raster;

template <std::size_t N>
bool isOneOf(const std::string& text, const std::array<const char*, N>& list) {
    for (const char* item : list) {
        if (text == item) {
            return true;
        }
    }
    return false;
}

// Sources our decoders cannot read: the converter renders them as PNG first.
constexpr std::array<const char*, 6> kConverterSources = {".avif", ".psd", ".heic",
                                                          ".tga",  ".jxl", ".jp2"};
// Output formats the converter writes.
constexpr std::array<const char*, 10> kConverterOutputs = {"AVIF", "PSD", "SVG", "TGA", "JXL",
                                                           "JP2",  "PDF", "BMP", "GIF", "ICO"};

// The format a picture loader reads, for the sources that the encoder route
// decodes by content; Unknown for the others, whose encoder source is the raster.
ContentFormat contentSourceFormat(const std::string& ext) {
    if (ext == ".jpg" || ext == ".jpeg" || ext == ".jfif") {
        return ContentFormat::Jpeg;
    }
    if (ext == ".png") {
        return ContentFormat::Png;
    }
    if (ext == ".gif") {
        return ContentFormat::Gif;
    }
    if (ext == ".bmp") {
        return ContentFormat::Bmp;
    }
    if (ext == ".ico") {
        return ContentFormat::Ico;
    }
    if (ext == ".webp") {
        return ContentFormat::Webp;
    }
    return ContentFormat::Unknown;
}

std::string withDetail(const std::string& message, const std::string& detail) {
    return detail.empty() ? message : message + "\n" + detail;
}

class FileConversion {
public:
    FileConversion(PreparedFile& file, const std::string& outputFolder,
                   const FileSettings& settings)
        : file_(file),
          settings_(settings),
          outputFolder_(outputFolder.empty() ? "./" : outputFolder),
          ext_(platform::asciiLower(platform::extractFileExt(file.source))) {}

    void run() {
        if (encodeJpegPlanesAsWebp()) {
            return;
        }
        // Steps 1 and 2 for every file, so that a source that cannot be decoded
        // fails even where the converter would write the output from it.
        Raster raster = decode();
        const std::string& format = settings_.format;
        if (format == "TIFF" || format == "TIF") {
            rasterGrayscale(raster);
            encodeFromRaster(
                raster, [](const Raster& r, imaging::Sink& out) { imaging::encodeTiff(r, out); });
        } else if (format == "WMP") {
            rasterGrayscale(raster);
            encodeFromRaster(
                raster, [](const Raster& r, imaging::Sink& out) { imaging::encodeJpegXr(r, out); });
        } else if (format == "WEBP" && ext_ == ".gif") {
            // Step 3's result is not used on the converter routes, and it cannot fail.
            convertWithConverter(true);
        } else if (isOneOf(format, kConverterOutputs)) {
            convertWithConverter(false);
        } else {
            encodeWithOwnEncoders(std::move(raster));
        }
    }

private:
    Raster decode() {
        if (isOneOf(ext_, kConverterSources)) {
            return decodeThroughConverter();
        }
        // ".jfif" is a JPEG: read by the JPEG loader straight from the file.
        const std::string loader = ext_ == ".jfif" ? "jpg" : ext_.substr(ext_.empty() ? 0 : 1);
        if (!imaging::hasPictureLoader(loader)) {
            return imaging::loadPicture(file_.source);  // "Unknown picture file extension (...)"
        }
        if (!sourceBytes_) {
            sourceBytes_.emplace(file_.source);
        }
        return imaging::decodeWithPictureLoader(loader, sourceBytes_->bytes());
    }

    // The planes route above. False, with nothing written, for every other file,
    // and for a JPEG that fails to decode this way: the normal route decodes it
    // again and fails with the decoder's own message.
    bool encodeJpegPlanesAsWebp() {
        if (settings_.format != "WEBP" || settings_.grayscale ||
            std::clamp(settings_.quality, 1, 100) == 100 ||
            (ext_ != ".jpg" && ext_ != ".jpeg" && ext_ != ".jfif")) {
            return false;
        }
        sourceBytes_.emplace(file_.source);
        if (imaging::sniffContent(sourceBytes_->bytes()) != ContentFormat::Jpeg) {
            return false;
        }
        std::optional<imaging::YuvPicture> planes =
            imaging::decodeJpegYuv420(sourceBytes_->bytes());
        if (!planes) {
            return false;
        }
        sourceBytes_.reset();
        const int quality = settings_.quality;
        encodeFromRaster(std::move(*planes),
                         [quality](imaging::YuvPicture&& p, imaging::Sink& out) {
                             imaging::encodeWebp(std::move(p), quality, out);
                         });
        return true;
    }

    // The converter writes a PNG under a name of this process and call in the
    // data folder; it is read and removed on every way out.
    Raster decodeThroughConverter() {
        platform::TempFile png = makeTemp(settings_.dataFolder, "decode", ".png");
        png.close();
        const ConsoleResult result = RunConsoleCommand(
            ImageMagickIleDonustur(settings_.converterPath, file_.source, png.path()),
            settings_.converterFolder);
        keepLog(result);
        if (!result.succeeded || platform::fileSizeBytes(png.path()) <= 0) {
            throw imaging::Error(
                withDetail("File cannot be created: " + png.path(), result.lastErrorLine));
        }
        imaging::FileBytes bytes(png.path());
        return imaging::decodeWithPictureLoader("png", bytes.bytes());
    }

    void rasterGrayscale(Raster& raster) const {
        if (settings_.grayscale) {
            imaging::grayscaleRaster(raster);
        }
    }

    void encodeWithOwnEncoders(Raster raster) {
        Raster picture;
        const ContentFormat expected = contentSourceFormat(ext_);
        if (expected != ContentFormat::Unknown) {
            // The source file decoded by content. Where that reads the same bytes
            // with the same decoder as step 1, the step-1 picture is that result.
            if (imaging::sniffContent(sourceBytes_->bytes()) == expected) {
                picture = std::move(raster);
            } else {
                picture = imaging::decodeByContent(sourceBytes_->bytes(), file_.source);
            }
        } else {
            rasterGrayscale(raster);
            picture = std::move(raster);
        }
        sourceBytes_.reset();
        if (settings_.grayscale) {
            imaging::applyLuminanceGrayscale(picture);
        }
        const std::string& format = settings_.format;
        const int quality = settings_.quality;
        if (format == "PNG") {
            // The PNG encoder lets the picture go once it has filtered its rows.
            encodeFromRaster(std::move(picture), [](Raster&& r, imaging::Sink& out) {
                imaging::encodePng(std::move(r), out);
            });
            return;
        }
        encodeFromRaster(picture, [&format, quality](const Raster& r, imaging::Sink& out) {
            if (format == "WEBP") {
                imaging::encodeWebp(r, quality, out);
            } else {
                imaging::encodeJpeg(r, quality, out);
            }
        });
    }

    template <typename R, typename Encode>
    void encodeFromRaster(R&& raster, Encode encode) {
        std::optional<platform::TempFile> temp = outputTemp();
        if (!temp) {
            return;
        }
        imaging::FileSink sink(temp->fd(), file_.candidate);
        encode(std::forward<R>(raster), sink);
        sink.flush();
        temp->close();
        file_.output = std::move(temp);
    }

    void convertWithConverter(bool gifToWebp) {
        std::optional<platform::TempFile> temp = outputTemp();
        if (!temp) {
            return;
        }
        temp->close();
        const ConverterCommand command =
            gifToWebp
                ? ImageMagickIleGIFDonustur(settings_.converterPath, file_.source, temp->path(),
                                            settings_.grayscale)
                : ImageMagickIleAVIFDonustur(settings_.converterPath, file_.source, temp->path(),
                                             settings_.quality, settings_.grayscale);
        const ConsoleResult result = RunConsoleCommand(command, settings_.converterFolder);
        keepLog(result);
        if (!result.succeeded || platform::fileSizeBytes(temp->path()) <= 0) {
            file_.outputNotCreated = true;
            file_.outputErrorDetail = result.lastErrorLine;
            return;  // the temporary file goes with `temp`
        }
        file_.output = std::move(temp);
    }

    // The output's temporary file, with the output's extension so the converter
    // picks the format; none (and the file failed) when the folder refuses it.
    std::optional<platform::TempFile> outputTemp() {
        try {
            return platform::TempFile(
                outputFolder_, platform::stripFileExt(platform::extractFileName(file_.source)),
                "." + platform::asciiLower(settings_.format));
        } catch (const std::system_error& e) {
            file_.outputNotCreated = true;
            file_.outputErrorDetail = e.code().message();
            return std::nullopt;
        }
    }

    static platform::TempFile makeTemp(const std::string& folder, const std::string& stem,
                                       const std::string& suffix) {
        try {
            return platform::TempFile(folder, stem, suffix);
        } catch (const std::system_error& e) {
            throw imaging::Error("Cannot create a temporary file in \"" + folder +
                                 "\": " + e.code().message());
        }
    }

    void keepLog(const ConsoleResult& result) {
        if (result.ran) {
            file_.converterLogs.push_back(result.log);
        }
    }

    PreparedFile& file_;
    const FileSettings& settings_;
    const std::string outputFolder_;
    const std::string ext_;
    std::optional<imaging::FileBytes> sourceBytes_;
};

}  // namespace

PreparedFile prepareFile(const std::string& source, const std::string& outputFolder,
                         const FileSettings& settings) {
    PreparedFile file;
    file.source = source;
    file.sourceSize = GetFileSizeBytes(source);
    file.candidate = outputCandidate(source, outputFolder, settings.format);
    try {
        FileConversion(file, outputFolder, settings).run();
    } catch (const std::bad_alloc&) {
        file.output.reset();
        file.error = "Out of memory";
    } catch (const std::exception& e) {
        file.output.reset();
        file.error = e.what();
    }
    return file;
}

FileOutcome finishFile(PreparedFile& prepared) {
    FileOutcome outcome;
    outcome.source = prepared.source;
    if (prepared.output) {
        try {
            outcome.output = prepared.output->publishUnique(prepared.candidate);
        } catch (const std::system_error& e) {
            prepared.outputNotCreated = true;
            prepared.outputErrorDetail = e.code().message();
        }
        prepared.output.reset();
    }
    if (prepared.outputNotCreated) {
        outcome.output.clear();
        outcome.error =
            withDetail("File cannot be created: " + platform::uniqueFileName(prepared.candidate),
                       prepared.outputErrorDetail);
    } else if (outcome.output.empty()) {
        outcome.error = prepared.error.empty() ? "File cannot be created: " + prepared.candidate
                                               : prepared.error;
    }
    return outcome;
}

FileOutcome convertFile(const std::string& source, const std::string& outputFolder,
                        const FileSettings& settings) {
    PreparedFile prepared = prepareFile(source, outputFolder, settings);
    return finishFile(prepared);
}

}  // namespace imbrix::convert
