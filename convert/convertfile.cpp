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
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "convert/converter.h"
#include "imaging/decode.h"
#include "imaging/encode.h"
#include "imaging/error.h"
#include "imaging/grayscale.h"
#include "imaging/memory.h"
#include "imaging/metadata.h"
#include "imaging/probe.h"
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

using Clock = std::chrono::steady_clock;

// "95 seconds", "1 second", "250 milliseconds".
std::string limitText(std::chrono::milliseconds limit) {
    const auto ms = limit.count();
    if (ms < 1000) {
        return std::to_string(ms) + (ms == 1 ? " millisecond" : " milliseconds");
    }
    const auto s = (ms + 500) / 1000;
    return std::to_string(s) + (s == 1 ? " second" : " seconds");
}

// Requests a stop of the file's steps when its deadline passes. The deadline
// may move (once the picture's size is known); the thread ends with the object.
class Watchdog {
public:
    explicit Watchdog(std::stop_source target) : target_(std::move(target)) {}
    ~Watchdog() {
        if (thread_.joinable()) {
            thread_.request_stop();
            thread_.join();
        }
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    void arm(Clock::time_point deadline) {
        {
            std::lock_guard lock(mutex_);
            deadline_ = deadline;
        }
        changed_.notify_all();
        if (!thread_.joinable()) {
            thread_ = std::jthread([this](std::stop_token stop) { watch(stop); });
        }
    }
    bool expired() const { return expired_; }

private:
    void watch(std::stop_token stop) {
        std::unique_lock lock(mutex_);
        while (!stop.stop_requested()) {
            const Clock::time_point deadline = deadline_;
            if (changed_.wait_until(lock, stop, deadline, [&] { return deadline_ != deadline; }) ||
                stop.stop_requested()) {
                continue;
            }
            if (Clock::now() >= deadline_) {
                expired_ = true;
                target_.request_stop();
                return;
            }
        }
    }

    std::stop_source target_;
    std::mutex mutex_;
    std::condition_variable_any changed_;
    Clock::time_point deadline_{};
    std::atomic<bool> expired_{false};
    std::jthread thread_;  // last: started once everything it uses exists
};

class FileConversion {
public:
    FileConversion(PreparedFile& file, const std::string& outputFolder,
                   const FileSettings& settings, const imaging::StageList& stages,
                   std::stop_token stop, std::uint64_t memoryAtLeast)
        : file_(file),
          settings_(settings),
          output_(outputFormatOf(settings.format)),
          stages_(stages),
          runStop_(std::move(stop)),
          forwardStop_(runStop_, [this] { fileStop_.request_stop(); }),
          stop_(fileStop_.get_token()),
          outputFolder_(outputFolder.empty() ? "./" : outputFolder),
          ext_(platform::asciiLower(platform::extractFileExt(file.source))),
          source_(imaging::findSourceFormat(ext_)),
          memoryAtLeast_(memoryAtLeast) {}

    void run() {
        try {
            startBudgets();
            steps();
        } catch (const imaging::Error&) {
            // A step cut short by the file's time limit says so.
            if (stop_.stop_requested()) {
                throw stopError();
            }
            throw;
        }
    }

private:
    void steps() {
        if (encodeJpegPlanesAsWebp()) {
            return;
        }
        // Every file is decoded, so that a source that cannot be decoded fails
        // even where the converter would write the output from it.
        Picture picture = decode();
        if (!extent_) {
            // Now that its size is known, the picture gets the time it needs.
            const bool drawnSmaller = picture.meta.fullWidth != 0;
            setTimeLimit(
                std::uint64_t{drawnSmaller ? picture.meta.fullWidth : picture.pixels.width()} *
                (drawnSmaller ? picture.meta.fullHeight : picture.pixels.height()));
        }
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

    void checkStop() const {
        if (stop_.stop_requested()) {
            throw stopError();
        }
    }

    imaging::Error stopError() const {
        if (watchdog_.expired() && !runStop_.stop_requested()) {
            return imaging::Error("The conversion took longer than its time limit of " +
                                  limitText(timeLimit_));
        }
        return imaging::Error(imaging::kStoppedMessage);
    }

    // The probe, then the memory the picture needs (waiting for it holds
    // nothing: not even the source's bytes), then the clock starts.
    void startBudgets() {
        if (source_) {
            try {
                sourceBytes_.emplace(file_.source);
            } catch (const imaging::Error&) {
                // Not readable: the decoder or the converter says why.
            }
            if (sourceBytes_) {
                extent_ = imaging::probePicture(sourceBytes_->bytes());
            }
        }
        if (settings_.memory) {
            const std::uint64_t need = std::max(
                memoryNeed(sourceBytes_ ? sourceBytes_->bytes().size() : 0), memoryAtLeast_);
            imaging::MemoryReservation ready =
                imaging::MemoryReservation::tryReserve(*settings_.memory, need);
            if (!ready.empty()) {
                reservation_.emplace(std::move(ready));
            } else {
                sourceBytes_.reset();
                reservation_.emplace(*settings_.memory, need, runStop_);
            }
            scope_.emplace(*reservation_);
        }
        started_ = Clock::now();
        setTimeLimit(extent_ ? extent_->pixels() : 0);
    }

    std::uint64_t memoryNeed(std::uint64_t fileBytes) const {
        if (!extent_) {
            return kUnknownPictureMemory + fileBytes;
        }
        const std::uint64_t frame = std::uint64_t{extent_->width} * extent_->height;
        const auto times = [](std::uint64_t a, std::uint64_t b) {
            return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b;
        };
        // A resize holds its result beside the picture (either side may be
        // turned; the area is the same).
        const std::uint64_t resized = resizedPixels(frame);
        std::uint64_t need = times(frame, kOwnBytesPerPixel);
        if (resized != frame) {
            need = times(frame + resized, kOwnBytesPerPixel);
        }
        const bool converterReads =
            output_.route == OutputRoute::Converter ||
            source_->decoder == SourceDecoder::Converter ||
            (output_.route == OutputRoute::Webp && source_->decoder == SourceDecoder::Gif);
        if (converterReads) {
            const std::uint64_t frames =
                times(std::max(extent_->pixels(), resizedPixels(extent_->pixels())),
                      converterBytesPerPixel(settings_.format));
            need = std::max(need, frames > UINT64_MAX - need ? UINT64_MAX : frames + need);
        }
        return need > UINT64_MAX - fileBytes ? UINT64_MAX : need + fileBytes;
    }

    // The pixels of a picture of `pixels` after the resize (the same when it
    // keeps its size), from the extent's shape.
    std::uint64_t resizedPixels(std::uint64_t pixels) const {
        if (!settings_.resize.active() || !extent_ || extent_->width == 0 || extent_->height == 0) {
            return pixels;
        }
        const imaging::PixelSize target =
            imaging::resizeTarget(settings_.resize, {extent_->width, extent_->height});
        const double scale = static_cast<double>(target.width) * target.height /
                             (static_cast<double>(extent_->width) * extent_->height);
        const double scaled = static_cast<double>(pixels) * scale;
        return scaled >= 1.8e19 ? UINT64_MAX : static_cast<std::uint64_t>(scaled) + 1;
    }

    void setTimeLimit(std::uint64_t pixels) {
        // An enlarged picture takes the encoders longer.
        pixels = std::max(pixels, resizedPixels(pixels));
        const double megapixels = static_cast<double>(pixels) / 1e6;
        const double ms = static_cast<double>(settings_.timeBase.count()) +
                          static_cast<double>(settings_.timePerMegapixel.count()) * megapixels;
        const auto ceiling = settings_.converterDeadline.count() > 0
                                 ? settings_.converterDeadline
                                 : std::chrono::milliseconds(kConverterDeadline);
        timeLimit_ = ms >= static_cast<double>(ceiling.count())
                         ? ceiling
                         : std::chrono::milliseconds(static_cast<std::int64_t>(ms));
        watchdog_.arm(started_ + timeLimit_);
    }

    // The picture with its colour profile, and the metadata of its file where
    // one of our encoders writes the output.
    Picture decode() {
        if (source_ && source_->decoder == SourceDecoder::Converter) {
            return decodeThroughConverter();
        }
        // ".jfif" is a JPEG: read by the JPEG loader straight from the file.
        const std::string loader = ext_ == ".jfif" ? "jpg" : ext_.substr(ext_.empty() ? 0 : 1);
        if (!imaging::hasPictureLoader(loader)) {
            // "Unknown picture file extension (...)"
            return imaging::loadPictureWithProfile(file_.source);
        }
        if (!sourceBytes_) {
            sourceBytes_.emplace(file_.source);
        }
        Picture picture = imaging::decodePicture(loader, sourceBytes_->bytes(), decodeHint());
        readMetadata(sourceBytes_->bytes(), picture.meta);
        return picture;
    }

    // Where the converter reads the source itself, the decode only proves that
    // the source can be decoded: a JPEG is drawn at an eighth of its size, which
    // reads and checks all of its coded data but spares the full-size work.
    imaging::DecodeHint decodeHint() const {
        if (output_.route != OutputRoute::Converter || !stages_.emptyForConverter()) {
            return stages_.decodeHint();
        }
        imaging::DecodeHint smallest;
        smallest.resize.mode = imaging::ResizeMode::Fit;
        smallest.resize.width = 1;
        smallest.resize.height = 1;
        return smallest;
    }

    // EXIF, XMP, IPTC and the comment of `file`, for the outputs our own
    // encoders write, unless the user asked for none. The converter keeps or
    // drops them itself where it reads the source.
    void readMetadata(imaging::Bytes file, imaging::Metadata& meta) const {
        if (settings_.stripMetadata) {
            return;
        }
        bool ownEncoder = false;
        switch (output_.route) {
            case OutputRoute::Png:
            case OutputRoute::Jpeg:
            case OutputRoute::Tiff:
            case OutputRoute::JpegXr:
                ownEncoder = true;
                break;
            case OutputRoute::Webp:
                ownEncoder = !(source_ && source_->decoder == SourceDecoder::Gif);
                break;
            case OutputRoute::Converter:
                ownEncoder = !stages_.emptyForConverter();  // it reads our PNG
                break;
            case OutputRoute::None:
                break;
        }
        if (ownEncoder) {
            imaging::metadata::read(file, meta);
        }
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
        readMetadata(sourceBytes_->bytes(), planes->meta);
        sourceBytes_.reset();
        checkStop();
        encodeToOutput(std::move(*planes),
                       [](imaging::YuvPicture&& p, const imaging::EncodeOptions& options,
                          imaging::Sink& out) { imaging::encodeWebp(std::move(p), options, out); });
        return true;
    }

    // The converter writes a PNG under a name of this process and call in the
    // data folder; it is read and removed on every way out.
    Picture decodeThroughConverter() {
        sourceBytes_.reset();  // the converter reads the file
        platform::TempFile png = makeTemp(settings_.dataFolder, "decode", ".png");
        png.close();
        const ConsoleResult result = RunConsoleCommand(
            ImageMagickIleDonustur(settings_.converterPath, file_.source, png.path()),
            settings_.converterFolder, converterLimits());
        keepLog(result);
        checkConverterTime(result);
        if (!result.succeeded || platform::fileSizeBytes(png.path()) <= 0) {
            // The decoded copy is ours, not the user's: the failure is the source's.
            failWithoutOutput(result);
            throw imaging::Error(
                withDetail("File cannot be read: " + file_.source,
                           replaceAll(result.lastErrorLine, png.path(), settings_.dataFolder)));
        }
        // The PNG keeps the source's profile and metadata.
        imaging::FileBytes bytes(png.path());
        Picture picture = imaging::decodePicture("png", bytes.bytes());
        readMetadata(bytes.bytes(), picture.meta);
        return picture;
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
                // The pixels and their profile as decode by content reads them;
                // the file's metadata as read before.
                Picture byContent = imaging::decodePictureByContent(
                    sourceBytes_->bytes(), file_.source, stages_.decodeHint());
                picture.pixels = std::move(byContent.pixels);
                picture.meta = std::move(decoded.meta);
                picture.meta.icc = std::move(byContent.meta.icc);
                picture.meta.fullWidth = byContent.meta.fullWidth;
                picture.meta.fullHeight = byContent.meta.fullHeight;
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
        ConverterWriteOptions options{settings_.quality, settings_.grayscale,
                                      settings_.stripMetadata, settings_.resize};
        if (!stages_.emptyForConverter()) {
            stages_.applyForConverter(picture, stop_);
            // The staged picture may have been drawn smaller for the resize:
            // it is resized here, to the size of the whole picture's target.
            imaging::resizeStage(settings_.resize)(picture, stop_);
            options.resize = {};
            staged.emplace(makeTemp(settings_.dataFolder, "staged", ".png"));
            imaging::FileSink sink(staged->fd(), staged->path());
            // Read straight back by the converter: speed before size.
            imaging::EncodeOptions fastest;
            fastest.fastest = true;
            imaging::encodePng(std::move(picture), fastest, sink);
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
            gifToWebp
                ? ImageMagickIleGIFDonustur(settings_.converterPath, input, temp.path(), options)
                : ImageMagickIleAVIFDonustur(settings_.converterPath, input, temp.path(), options);
        const ConsoleResult result =
            RunConsoleCommand(command, settings_.converterFolder, converterLimits());
        keepLog(result);
        checkConverterTime(result);
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
        if (settings_.createOutputFolders && !platform::folderExists(outputFolder_)) {
            std::error_code error;
            if (!platform::createFolders(outputFolder_, error)) {
                throw OutputNotCreated{"The folder " + outputFolder_ +
                                       " cannot be created: " + error.message()};
            }
        }
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

    // The converter gets what is left of the file's time, and its reservation.
    ConverterLimits converterLimits() const {
        ConverterLimits limits;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            started_ + timeLimit_ - Clock::now());
        limits.deadline = std::max(left, std::chrono::milliseconds(1));
        limits.stop = stop_;
        if (reservation_) {
            limits.memory = std::max(reservation_->bytes(), kConverterMemoryFloor);
        }
        return limits;
    }

    // A converter call ended by the file's time limit fails the file saying so.
    void checkConverterTime(const ConsoleResult& result) const {
        if (result.timedOut && !runStop_.stop_requested()) {
            throw imaging::Error("The conversion took longer than its time limit of " +
                                 limitText(timeLimit_));
        }
        if (result.stopped) {
            throw stopError();
        }
    }

    // The failures of a converter call that are not about the file it writes:
    // a stop, a converter that is missing or cannot be started, and a source
    // that the converter cannot read.
    void failWithoutOutput(const ConsoleResult& result) const {
        if (result.stopped) {
            throw stopError();
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
    const std::stop_token runStop_;
    std::stop_source fileStop_;  // the run's stop, or the file's time limit
    std::stop_callback<std::function<void()>> forwardStop_;
    const std::stop_token stop_;
    const std::string outputFolder_;
    const std::string ext_;
    const FileFormat* const source_;  // null for an extension that is no source format
    const std::uint64_t memoryAtLeast_;
    std::optional<imaging::FileBytes> sourceBytes_;
    std::optional<imaging::PictureExtent> extent_;
    std::optional<imaging::MemoryReservation> reservation_;
    std::optional<imaging::MemoryScope> scope_;  // after the reservation it binds
    Clock::time_point started_ = Clock::now();
    std::chrono::milliseconds timeLimit_{0};
    Watchdog watchdog_{fileStop_};
};

}  // namespace

imaging::StageList stagesFor(const FileSettings& settings) {
    const FileFormat& output = outputFormatOf(settings.format);
    const bool grayscale = settings.grayscale;
    imaging::StageList stages;
    if (settings.resize.active()) {
        // First, so that the later stages work on fewer pixels.
        stages.add(imaging::resizeStage(settings.resize), true);
        stages.setDecodeHint({settings.resize});
    }
    if (output.route == OutputRoute::JpegXr && !grayscale) {
        // JPEG XR readers other than Windows' own ignore a profile: the colours
        // go into the pixels (the grayscale stages work on sRGB anyway).
        stages.add(imaging::toSrgbStage());
    }
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

namespace {

// The source's modification time on the finished temporary file, before it
// takes its name: a final name never shows another time, even after a crash.
void keepSourceTime(const PreparedFile& file, const std::optional<platform::FileTime>& time) {
    if (!time) {
        throw OutputNotCreated{"The modification time of " + file.source + " cannot be read"};
    }
    try {
        platform::setModificationTime(file.output->path(), *time);
    } catch (const std::system_error& e) {
        throw OutputNotCreated{"Its modification time cannot be set: " + e.code().message()};
    }
}

}  // namespace

PreparedFile prepareFile(const std::string& source, const std::string& outputFolder,
                         const FileSettings& settings, std::stop_token stop) {
    PreparedFile file;
    const auto started = std::chrono::steady_clock::now();
    const auto took = [&file, started] {
        file.elapsedMs =
            static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - started)
                                           .count());
    };
    try {
        file.source = source;
        file.existingOutput = settings.existingOutput;
        file.sourceSize = GetFileSizeBytes(source);
        file.candidate = outputCandidate(source, outputFolder, settings.format);
        if (stop.stop_requested()) {
            throw imaging::Error(imaging::kStoppedMessage);  // nothing started
        }
        if (settings.existingOutput == ExistingOutput::Skip &&
            platform::nameTaken(file.candidate)) {
            file.skipped = true;  // before any work: nothing is read or reserved
            took();
            return file;
        }
        // The time of the source as it is read, so the output gets the
        // version it was made from.
        std::optional<platform::FileTime> sourceTime;
        if (settings.keepFileDates) {
            sourceTime = platform::modificationTime(source);
        }
        std::optional<imaging::StageList> ownStages;
        if (!settings.stages) {
            ownStages = stagesFor(settings);
        }
        // A picture whose rasters outgrow its reservation while other files
        // hold the rest of the budget gives everything back and starts again
        // with a larger one.
        std::uint64_t memoryAtLeast = 0;
        for (int attempt = 1;; ++attempt) {
            try {
                FileConversion(file, outputFolder, settings,
                               settings.stages ? *settings.stages : *ownStages, stop, memoryAtLeast)
                    .run();
                break;
            } catch (const imaging::MemoryShortfall& shortfall) {
                file.output.reset();
                if (attempt == 4 || !settings.memory) {
                    throw;
                }
                memoryAtLeast = std::min(settings.memory->limit(),
                                         std::max(shortfall.needed(), memoryAtLeast * 2));
            }
        }
        if (settings.keepFileDates && file.output) {
            keepSourceTime(file, sourceTime);
        }
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
    took();
    return file;
}

FileOutcome finishFile(PreparedFile& prepared) {
    FileOutcome outcome;
    outcome.source = prepared.source;
    if (prepared.skipped) {
        prepared.output.reset();
        outcome.output = prepared.candidate;
        outcome.skipped = true;
        return outcome;
    }
    if (prepared.output && !prepared.error) {
        try {
            if (prepared.existingOutput == ExistingOutput::AddNumber) {
                outcome.output = prepared.output->publishUnique(prepared.candidate);
            } else if (prepared.output->publishExact(prepared.candidate)) {
                outcome.output = prepared.candidate;
            } else {
                // Taken since the file was started: by an earlier entry of the
                // list, or by someone else. The finished output is dropped.
                prepared.output.reset();
                prepared.skipped = true;
                outcome.output = prepared.candidate;
                outcome.skipped = true;
                return outcome;
            }
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
