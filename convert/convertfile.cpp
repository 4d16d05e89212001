// Imbrix conversion engine: one file, from its source to its output.
//
// The steps of a conversion: decode the source into a picture, run the run's
// stages on it, claim the output's name (last, in finishFile) and encode. The
// output format's route (the format table) picks the encoder:
//   Tiff, JpegXr         our TIFF and JPEG XR encoders, from the decoded picture
//   Png, Jpeg, Webp      our PNG, JPEG and WEBP encoders, from the source decoded
//                        by content where the content decoders read its kind (the
//                        decoded picture itself when the two decoders agree), else
//                        from the decoded picture
//   Converter            the converter, from the source file; WEBP from a GIF
//                        source goes this way too, keeping the animation
// The rule for the converter's routes: while the run has no stage, the converter
// reads the source file itself (every source is still decoded first, so that one
// that cannot be decoded fails on every route). With stages, the picture is
// decoded once, goes through the stages and reaches the converter as a lossless
// PNG in the data folder, so that every route shows the stages' result.
//
// A JPEG going to lossy WEBP in a run without stages, whose chroma is stored at
// half size, is decoded once into its own luma and chroma planes (turned as its
// EXIF orientation says where they turn exactly), which the WEBP encoder codes
// as they are: no raster, chroma upsampling or RGB round trip is needed.
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
using imaging::FileFormat;
using imaging::OutputRoute;
using imaging::Picture;
using imaging::Raster;
using imaging::SourceDecoder;

std::string withDetail(const std::string& message, const std::string& detail) {
    return detail.empty() ? message : message + "\n" + detail;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    if (from.empty()) {
        return text;
    }
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// The file failed in a way that names its output: finishFile() makes the message.
struct OutputNotCreated {
    std::string detail;
};

const FileFormat& outputFormatOf(const std::string& name) {
    const FileFormat* format = imaging::findOutputFormat(name);
    if (!format) {
        throw std::invalid_argument("Unknown output format \"" + name + "\"");
    }
    return *format;
}

class FileConversion {
public:
    FileConversion(PreparedFile& file, const std::string& outputFolder,
                   const FileSettings& settings, const imaging::StageList& stages,
                   std::stop_token stop)
        : file_(file),
          settings_(settings),
          output_(outputFormatOf(settings.format)),
          stages_(stages),
          stop_(std::move(stop)),
          outputFolder_(outputFolder.empty() ? "./" : outputFolder),
          ext_(platform::asciiLower(platform::extractFileExt(file.source))),
          source_(imaging::findSourceFormat(ext_)) {}

    void run() {
        if (encodeJpegPlanesAsWebp()) {
            return;
        }
        // Every file is decoded, so that a source that cannot be decoded fails
        // even where the converter would write the output from it.
        Picture picture{decode(), {}};
        checkStop();
        switch (output_.route) {
            case OutputRoute::Tiff:
                stages_.apply(picture, stop_);
                encodeToOutput(picture, imaging::encodeTiff);
                break;
            case OutputRoute::JpegXr:
                stages_.apply(picture, stop_);
                encodeToOutput(picture, imaging::encodeJpegXr);
                break;
            case OutputRoute::Webp:
                if (source_ && source_->decoder == SourceDecoder::Gif) {
                    convertWithConverter(std::move(picture), true);
                } else {
                    encodeWithOwnEncoders(std::move(picture));
                }
                break;
            case OutputRoute::Png:
            case OutputRoute::Jpeg:
                encodeWithOwnEncoders(std::move(picture));
                break;
            case OutputRoute::Converter:
                convertWithConverter(std::move(picture), false);
                break;
            case OutputRoute::None:
                throw std::invalid_argument("Not an output format: " + settings_.format);
        }
    }

private:
    void checkStop() const {
        if (stop_.stop_requested()) {
            throw imaging::Error(imaging::kStoppedMessage);
        }
    }

    Raster decode() {
        if (source_ && source_->decoder == SourceDecoder::Converter) {
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
        if (output_.route != OutputRoute::Webp || !stages_.empty() ||
            std::clamp(settings_.quality, 1, 100) == 100 || !source_ ||
            source_->decoder != SourceDecoder::Jpeg) {
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
        checkStop();
        encodeToOutput(std::move(*planes),
                       [](imaging::YuvPicture&& p, const imaging::EncodeOptions& options,
                          imaging::Sink& out) { imaging::encodeWebp(std::move(p), options, out); });
        return true;
    }

    // The converter writes a PNG under a name of this process and call in the
    // data folder; it is read and removed on every way out.
    Raster decodeThroughConverter() {
        platform::TempFile png = makeTemp(settings_.dataFolder, "decode", ".png");
        png.close();
        const ConsoleResult result = RunConsoleCommand(
            ImageMagickIleDonustur(settings_.converterPath, file_.source, png.path()),
            settings_.converterFolder, converterLimits());
        keepLog(result);
        if (!result.succeeded || platform::fileSizeBytes(png.path()) <= 0) {
            // The decoded copy is ours, not the user's: the failure is the source's.
            failWithoutOutput(result);
            throw imaging::Error(
                withDetail("File cannot be read: " + file_.source,
                           replaceAll(result.lastErrorLine, png.path(), settings_.dataFolder)));
        }
        imaging::FileBytes bytes(png.path());
        return imaging::decodeWithPictureLoader("png", bytes.bytes());
    }

    void encodeWithOwnEncoders(Picture decoded) {
        Picture picture;
        const ContentFormat expected = source_ ? source_->content : ContentFormat::Unknown;
        if (expected != ContentFormat::Unknown) {
            // The source file decoded by content. Where that reads the same bytes
            // with the same decoder as the first decode, that picture is the result.
            const ContentFormat found = imaging::sniffContent(sourceBytes_->bytes());
            if (found == expected) {
                picture = std::move(decoded);
            } else {
                picture.pixels = imaging::decodeByContent(sourceBytes_->bytes(), file_.source);
            }
            picture.meta.decodedByContent = found;
        } else {
            picture = std::move(decoded);
        }
        sourceBytes_.reset();
        stages_.apply(picture, stop_);
        switch (output_.route) {
            case OutputRoute::Png:
                // The PNG encoder lets the picture go once it has filtered its rows.
                encodeToOutput(
                    std::move(picture),
                    [](Picture&& p, const imaging::EncodeOptions& options, imaging::Sink& out) {
                        imaging::encodePng(std::move(p), options, out);
                    });
                return;
            case OutputRoute::Webp:
                encodeToOutput(picture,
                               [](const Picture& p, const imaging::EncodeOptions& options,
                                  imaging::Sink& out) { imaging::encodeWebp(p, options, out); });
                return;
            default:
                encodeToOutput(picture, imaging::encodeJpeg);
                return;
        }
    }

    template <typename P, typename Encode>
    void encodeToOutput(P&& picture, Encode encode) {
        checkStop();
        platform::TempFile temp = outputTemp();
        imaging::FileSink sink(temp.fd(), file_.candidate);
        imaging::EncodeOptions options;
        options.quality = settings_.quality;
        encode(std::forward<P>(picture), options, sink);
        sink.flush();
        temp.close();
        file_.output = std::move(temp);
    }

    void convertWithConverter(Picture picture, bool gifToWebp) {
        // With stages, the converter reads their result, not the source.
        std::optional<platform::TempFile> staged;
        std::string input = file_.source;
        if (!stages_.emptyForConverter()) {
            stages_.applyForConverter(picture, stop_);
            staged.emplace(makeTemp(settings_.dataFolder, "staged", ".png"));
            imaging::FileSink sink(staged->fd(), staged->path());
            imaging::encodePng(std::move(picture), {}, sink);
            sink.flush();
            staged->close();
            input = staged->path();
        } else {
            picture = {};  // the converter reads the source itself
        }
        checkStop();
        platform::TempFile temp = outputTemp();
        temp.close();
        const ConverterCommand command =
            gifToWebp ? ImageMagickIleGIFDonustur(settings_.converterPath, input, temp.path(),
                                                  settings_.grayscale)
                      : ImageMagickIleAVIFDonustur(settings_.converterPath, input, temp.path(),
                                                   settings_.quality, settings_.grayscale);
        const ConsoleResult result =
            RunConsoleCommand(command, settings_.converterFolder, converterLimits());
        keepLog(result);
        if (!result.succeeded || platform::fileSizeBytes(temp.path()) <= 0) {
            // The temporary file goes with `temp`; no message names it.
            failWithoutOutput(result);
            std::string detail = replaceAll(result.lastErrorLine, temp.path(), file_.candidate);
            if (staged) {
                detail = replaceAll(detail, staged->path(), file_.source);
            }
            throw OutputNotCreated{detail};
        }
        file_.output = std::move(temp);
    }

    // The output's temporary file, with the output's extension so the converter
    // picks the format; the file fails naming its output when the folder refuses it.
    platform::TempFile outputTemp() {
        try {
            return platform::TempFile(
                outputFolder_, platform::stripFileExt(platform::extractFileName(file_.source)),
                "." + platform::asciiLower(settings_.format));
        } catch (const std::system_error& e) {
            throw OutputNotCreated{e.code().message()};
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

    ConverterLimits converterLimits() const {
        ConverterLimits limits;
        limits.deadline = settings_.converterDeadline;
        limits.stop = stop_;
        return limits;
    }

    // The failures of a converter call that are not about the file it writes:
    // a stop, a converter that is missing or cannot be started, and a source
    // that the converter cannot read.
    void failWithoutOutput(const ConsoleResult& result) const {
        if (result.stopped) {
            throw imaging::Error(imaging::kStoppedMessage);
        }
        if (!result.ran || !result.started) {
            throw imaging::Error(result.lastErrorLine);
        }
        if (result.sourceUnreadable) {
            throw imaging::Error(
                withDetail("File cannot be read: " + file_.source, result.lastErrorLine));
        }
    }

    void keepLog(const ConsoleResult& result) {
        if (result.ran) {
            file_.converterLogs.push_back(result.log);
        }
    }

    PreparedFile& file_;
    const FileSettings& settings_;
    const FileFormat& output_;
    const imaging::StageList& stages_;
    const std::stop_token stop_;
    const std::string outputFolder_;
    const std::string ext_;
    const FileFormat* const source_;  // null for an extension that is no source format
    std::optional<imaging::FileBytes> sourceBytes_;
};

}  // namespace

imaging::StageList stagesFor(const FileFormat& output, bool grayscale) {
    imaging::StageList stages;
    if (grayscale) {
        switch (output.route) {
            case OutputRoute::Tiff:
            case OutputRoute::JpegXr:
                stages.add(imaging::equalWeightGrayscaleStage());
                break;
            case OutputRoute::Png:
            case OutputRoute::Jpeg:
                stages.add(imaging::luminanceGrayscaleStage());
                break;
            case OutputRoute::Webp:
                // WEBP from a GIF goes through the converter, which makes it gray.
                stages.add(imaging::luminanceGrayscaleStage(), true);
                break;
            case OutputRoute::Converter:
            case OutputRoute::None:
                break;
        }
    }
    return stages;
}

PreparedFile prepareFile(const std::string& source, const std::string& outputFolder,
                         const FileSettings& settings, std::stop_token stop) {
    PreparedFile file;
    try {
        file.source = source;
        file.sourceSize = GetFileSizeBytes(source);
        file.candidate = outputCandidate(source, outputFolder, settings.format);
        if (stop.stop_requested()) {
            throw imaging::Error(imaging::kStoppedMessage);  // nothing started
        }
        std::optional<imaging::StageList> ownStages;
        if (!settings.stages) {
            ownStages = stagesFor(outputFormatOf(settings.format), settings.grayscale);
        }
        FileConversion(file, outputFolder, settings,
                       settings.stages ? *settings.stages : *ownStages, std::move(stop))
            .run();
    } catch (const OutputNotCreated& failure) {
        file.output.reset();
        file.error = FileError{FileError::Kind::OutputNotCreated, failure.detail};
    } catch (const std::bad_alloc&) {
        file.output.reset();
        file.error = FileError{FileError::Kind::OutOfMemory, {}};
    } catch (const std::exception& e) {
        file.output.reset();
        file.error = FileError{FileError::Kind::Failed, e.what()};
    } catch (...) {
        file.output.reset();
        file.error = FileError{FileError::Kind::Failed, "Unknown error"};
    }
    return file;
}

FileOutcome finishFile(PreparedFile& prepared) {
    FileOutcome outcome;
    outcome.source = prepared.source;
    if (prepared.output && !prepared.error) {
        try {
            outcome.output = prepared.output->publishUnique(prepared.candidate);
        } catch (const std::system_error& e) {
            prepared.error = FileError{FileError::Kind::OutputNotCreated, e.code().message()};
        }
    }
    prepared.output.reset();
    if (!prepared.error && outcome.output.empty()) {
        prepared.error = FileError{FileError::Kind::NoOutput, {}};
    }
    if (prepared.error) {
        outcome.output.clear();
        const FileError& error = *prepared.error;
        switch (error.kind) {
            case FileError::Kind::Failed:
                outcome.error = error.detail;
                break;
            case FileError::Kind::OutOfMemory:
                outcome.error = "Out of memory";
                break;
            case FileError::Kind::OutputNotCreated:
                outcome.error = withDetail(
                    "File cannot be created: " + platform::uniqueFileName(prepared.candidate),
                    error.detail);
                break;
            case FileError::Kind::NoOutput:
                outcome.error = "File cannot be created: " + prepared.candidate;
                break;
        }
    }
    return outcome;
}

FileOutcome convertFile(const std::string& source, const std::string& outputFolder,
                        const FileSettings& settings) {
    PreparedFile prepared = prepareFile(source, outputFolder, settings);
    return finishFile(prepared);
}

}  // namespace imbrix::convert
